#pragma once

// A bounded pool of child processes (osslsigncode runs), started without a
// shell and collected as they end, and of tasks of this process that block
// (checking and syncing a file), each on a thread of its own. A child dies
// with this tool: it gets SIGKILL when the tool ends in any way
// (PR_SET_PDEATHSIG, kill -9 included), and killRunning() stops them all
// from a signal handler. A child gets only the descriptors handed to it.

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <thread>
#include <utility>
#include <vector>

namespace signtool {

struct ChildSpec {
    // Work of this process instead of a child: run on a thread of its own
    // (taking a slot like a child), its return value is the exit code. For
    // work that blocks, such as syncing a file to disk.
    std::function<int()> task;
    std::vector<std::string> argv;           // argv[0] is looked up on PATH
    std::vector<std::pair<int, int>> fds;    // (descriptor here, its number in the child), from 3 up
    int timeoutSeconds = 0;                  // above 0: killed when still running after that long
    // Above 0: the most memory the child may take for its data (RLIMIT_DATA),
    // so that what a peer sends it cannot fill the machine's memory.
    unsigned long long memoryLimitBytes = 0;
};

struct ChildExit {
    bool started = false;
    int startErrno = 0;
    int exitCode = -1;  // -1 when killed by a signal
    bool timedOut = false; // killed at its time-out
    std::string output; // standard output and standard error, interleaved
};

class ProcessPool {
public:
    // At most kMaxSize children at a time, whatever is asked for.
    static constexpr size_t kMaxSize = 64;
    explicit ProcessPool(size_t size);
    ~ProcessPool(); // kills what still runs
    ProcessPool(const ProcessPool &) = delete;
    ProcessPool &operator=(const ProcessPool &) = delete;

    size_t size() const { return m_size; }
    // The environment of the children started from now on ("NAME=value");
    // by default this process's own.
    void setChildEnvironment(std::vector<std::string> environment);
    size_t running() const { return m_children.size(); }

    using ExitHandler = std::function<void(ChildExit)>;
    // Starts `spec` now, first waiting for a free slot (handling the children
    // that end meanwhile). `onExit` runs from within the pool's waits, once.
    // A child that cannot be started gets `onExit` at once.
    void start(const ChildSpec &spec, ExitHandler onExit);
    // Waits until at least one running child has ended and is handled.
    void waitForOne();
    void waitForAll();

    // Async-signal-safe: SIGKILL to every running child of any pool.
    static void killRunning();

private:
    struct Child {
        pid_t pid = -1;             // -1 for a task
        std::thread thread;         // a task's
        int output = -1;            // a task writes its result here
        bool outputEnded = false;
        int pidfd = -1;             // readable once the child has ended
        std::string collected;
        ExitHandler onExit;
        std::optional<std::chrono::steady_clock::time_point> deadline;
        bool timedOut = false;
    };
    void startTask(std::function<int()> task, ExitHandler onExit);
    void collect(int timeoutMs);
    void reap(size_t index);

    size_t m_size;
    // The stack of a child until its exec (one at a time: the starting
    // thread waits for the exec).
    static constexpr size_t kChildStackSize = 256 * 1024;
    std::unique_ptr<char[]> m_childStack;
    std::vector<Child> m_children;
    size_t m_ended = 0;
    std::vector<std::string> m_environment;
    std::vector<char *> m_environmentPointers; // into m_environment, null-ended; empty: inherited
    std::map<std::string, std::string> m_programs; // PATH look-ups made
};

// The pool size by default: 8, or twice the number of cores where that is
// more (most of a signature's time is a time-stamp server's answer).
size_t defaultPoolSize();

} // namespace signtool
