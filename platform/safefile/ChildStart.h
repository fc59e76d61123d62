#pragma once

// Starting a child program without a shell: the one place that sets up the
// child between fork and exec for the window and the tools. The child gets
// only the descriptors handed to it, dies with its parent when asked
// (PR_SET_PDEATHSIG), makes no core dump (a tool's memory may hold a PIN),
// starts with default signal dispositions and none blocked, and runs under
// the resource limits given.

#include <atomic>
#include <cstddef>
#include <utility>

#include <sys/resource.h>
#include <sys/types.h>

namespace safefile {

struct ResourceLimit {
    int resource = -1; // RLIMIT_*; -1: none
    rlim_t value = 0;  // soft and hard limit
};

struct ChildSetup {
    const char *program = nullptr;   // a path, not searched on PATH
    char *const *argv = nullptr;
    char *const *environment = nullptr;  // null: the parent's
    const char *workingFolder = nullptr; // null: the parent's
    int input = -1;     // becomes descriptor 0 (-1: /dev/null)
    int output = -1;    // becomes 1 (-1: /dev/null)
    int errors = -1;    // becomes 2 (-1: the same as 1)
    const std::pair<int, int> *handOver = nullptr; // (descriptor here, its number in the child), 3 to 18
    size_t handOverCount = 0;                      // at most kMaxHandOver
    int report = -1;    // a failed start writes its errno here (close-on-exec); -1: not reported
    pid_t parent = 0;   // above 0: killed when that parent ends
    bool lowestPriority = false;
    bool noCoreDump = true;
    int umask = -1;     // 0 to 0777: set; -1: inherited
    // Time and memory limits (RLIMIT_CPU, RLIMIT_AS, ...): room for a few.
    ResourceLimit limits[4];
};

constexpr size_t kMaxHandOver = 16;

// In the child after fork: only async-signal-safe calls. Sets the child up
// as `setup` says and executes the program; on any failure writes errno to
// `setup.report` and ends with 127.
[[noreturn]] void startChild(const ChildSetup &setup) noexcept;

// In the parent: reads the errno that a failed start sends. True (with
// `error` set) when the start failed; false when the exec succeeded (the
// pipe closed on exec without data).
bool readStartError(int report, int &error);

// The children that a signal handler may still kill: ids only, no locks,
// every operation async-signal-safe.
class KillList {
public:
    static constexpr size_t kPlaces = 256;
    bool add(pid_t pid);       // false when the list is full
    void remove(pid_t pid);
    bool contains(pid_t pid) const;
    void killAll(int signal) const;

private:
    std::atomic<pid_t> m_places[kPlaces] {};
};

// Reaps `pid`, taking it off `list` first: once waitpid has collected it,
// its id may belong to a new process at any moment, and a signal handler
// that still found it listed would kill that one. (Until the wait, the
// ended child keeps its id, so a kill in between only reaches it.) Returns
// waitpid's status, or -1 when the child was already collected elsewhere.
// `waiter` replaces waitpid in tests.
using Waiter = pid_t (*)(pid_t, int *, int);
int reapChild(pid_t pid, KillList &list, Waiter waiter = nullptr);

} // namespace safefile
