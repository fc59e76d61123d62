#include "ModuleDeadline.h"

#include "ToolSupport.h"
#include "safefile/ShownText.h"

#include <unistd.h>

namespace signtool {

namespace {

ModuleDeadline::Handler g_handler = nullptr;

[[noreturn]] void endTool(const std::string &message)
{
    if (g_handler)
        g_handler(message);
    // Neither stdio nor new memory here: the stuck thread may hold their
    // locks.
    static const char prefix[] = "SignTool Error: ";
    [[maybe_unused]] ssize_t n = ::write(2, prefix, sizeof prefix - 1);
    n = ::write(2, message.data(), message.size());
    n = ::write(2, "\n", 1);
    _exit(1);
}

} // namespace

void ModuleDeadline::onExpiry(Handler handler)
{
    g_handler = handler;
}

int ModuleDeadline::timeoutSeconds()
{
    return sdktool::secondsFromEnvironment("QUILLMARK_PKCS11_TIMEOUT", 60);
}

std::string ModuleDeadline::expiryMessage(const std::string &modulePath, const std::string &doing, int seconds)
{
    // Written out by the watchdog as it is: the path shown escaped.
    return "The PKCS#11 module " + safefile::shownText(modulePath) + " did not answer within " + std::to_string(seconds)
           + " seconds while " + doing + "; the run was stopped before any file was touched. Check the token or "
           + "the connection to the HSM, or name the modules to use in QUILLMARK_PKCS11_MODULE.";
}

ModuleDeadline::ModuleDeadline(const std::string &modulePath, const std::string &doing)
    : ModuleDeadline(expiryMessage(modulePath, doing, timeoutSeconds()), timeoutSeconds())
{
}

ModuleDeadline::ModuleDeadline(const std::string &message, int seconds)
{
    m_watchdog = std::thread(&ModuleDeadline::watch, this, message,
                             std::chrono::steady_clock::now() + std::chrono::seconds(seconds));
}

ModuleDeadline::~ModuleDeadline()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_done = true;
    }
    m_returned.notify_one();
    m_watchdog.join();
}

void ModuleDeadline::watch(std::string message, std::chrono::steady_clock::time_point deadline)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_returned.wait_until(lock, deadline, [this] { return m_done; }))
        endTool(message);
}

} // namespace signtool
