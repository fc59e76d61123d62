#pragma once

// A bound on the time a PKCS#11 module may take. A module is a library of
// someone else's running inside this process: a network HSM's module may
// wait on its server for good while it lists its slots, initializes or logs
// in, and nothing can interrupt a call into it. So while a ModuleDeadline
// lives, a watchdog thread waits beside the call; should the module not
// return in time, the watchdog ends the whole tool through the handler set
// with onExpiry() (it prints the message naming the module and exits), since
// the thread stuck in the module can never be taken back.
//
// The time-out is 60 s, or $QUILLMARK_PKCS11_TIMEOUT seconds (1 to 3600).

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace signtool {

class ModuleDeadline {
public:
    // `modulePath` and `doing` ("listing its tokens") go into the message.
    ModuleDeadline(const std::string &modulePath, const std::string &doing);
    // A deadline of its own: `message` in full, after `seconds`.
    ModuleDeadline(const std::string &message, int seconds);
    ~ModuleDeadline(); // the call returned in time: the watchdog stands down
    ModuleDeadline(const ModuleDeadline &) = delete;
    ModuleDeadline &operator=(const ModuleDeadline &) = delete;

    // What ends the tool: gets the complete message (without "SignTool
    // Error: ") and must not return. Without one, the message goes to
    // standard error and the process exits with 1.
    using Handler = void (*)(const std::string &message);
    static void onExpiry(Handler handler);

    static int timeoutSeconds();

    // The message for a module that did not return.
    static std::string expiryMessage(const std::string &modulePath, const std::string &doing, int seconds);

private:
    void watch(std::string message, std::chrono::steady_clock::time_point deadline);

    std::mutex m_mutex;
    std::condition_variable m_returned;
    bool m_done = false;
    std::thread m_watchdog;
};

} // namespace signtool
