#include "ChildStart.h"

#include <algorithm>
#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace safefile {

namespace {

[[noreturn]] void failed(int report)
{
    const int error = errno;
    if (report < 0)
        ::_exit(127);
    ssize_t written;
    do {
        written = ::write(report, &error, sizeof error);
    } while (written < 0 && errno == EINTR);
    ::_exit(127);
}

} // namespace

void startChild(const ChildSetup &setup) noexcept
{
    int report = setup.report;
    if (setup.parent > 0) {
        // Dies with the parent; a parent that died before this line is
        // caught by the check after it.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != setup.parent)
            ::_exit(127);
    }
    // Dispositions set to "ignore" survive exec; the program should start
    // with the defaults and with no signal blocked.
    struct sigaction defaultAction {};
    defaultAction.sa_handler = SIG_DFL;
    for (int signal = 1; signal < NSIG; ++signal) {
        if (signal != SIGKILL && signal != SIGSTOP)
            ::sigaction(signal, &defaultAction, nullptr);
    }
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);

    if (setup.noCoreDump) {
        const struct rlimit zero {0, 0};
        ::setrlimit(RLIMIT_CORE, &zero);
    }
    for (const ResourceLimit &limit : setup.limits) {
        if (limit.resource < 0)
            continue;
        const struct rlimit value {limit.value, limit.value};
        if (::setrlimit(static_cast<__rlimit_resource>(limit.resource), &value) != 0)
            failed(report);
    }
    if (setup.lowestPriority)
        ::setpriority(PRIO_PROCESS, 0, 19); // best effort: a failure leaves normal priority
    if (setup.umask >= 0)
        ::umask(static_cast<mode_t>(setup.umask));

    // Everything is lifted out of the way of the target numbers first (a
    // parent started with 0, 1 or 2 closed may have been given one of them
    // for our descriptors), the report pipe too: a handed-over descriptor
    // may take its number, and a failed exec must still be reported.
    constexpr int kAbove = 3 + int(kMaxHandOver);
    if (report >= 0) {
        report = ::fcntl(report, F_DUPFD_CLOEXEC, kAbove);
        if (report < 0)
            failed(setup.report);
    }
    const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null < 0)
        failed(report);
    const int input = ::fcntl(setup.input >= 0 ? setup.input : null, F_DUPFD_CLOEXEC, kAbove);
    const int output = ::fcntl(setup.output >= 0 ? setup.output : null, F_DUPFD_CLOEXEC, kAbove);
    const int errors = setup.errors >= 0 ? ::fcntl(setup.errors, F_DUPFD_CLOEXEC, kAbove) : output;
    if (input < 0 || output < 0 || errors < 0)
        failed(report);
    int moved[kMaxHandOver];
    const size_t count = std::min(setup.handOverCount, kMaxHandOver);
    for (size_t i = 0; i < count; ++i) {
        moved[i] = ::fcntl(setup.handOver[i].first, F_DUPFD_CLOEXEC, kAbove);
        if (moved[i] < 0)
            failed(report);
    }
    // dup2 leaves its copies without close-on-exec; the originals above keep it.
    if (::dup2(input, STDIN_FILENO) < 0 || ::dup2(output, STDOUT_FILENO) < 0
        || ::dup2(errors, STDERR_FILENO) < 0)
        failed(report);
    int highest = 2;
    for (size_t i = 0; i < count; ++i) {
        if (::dup2(moved[i], setup.handOver[i].second) < 0)
            failed(report);
        highest = std::max(highest, setup.handOver[i].second);
    }
    // Nothing else of the parent's reaches the child, even a descriptor
    // opened without O_CLOEXEC (marked, not closed: the report pipe must
    // stay until exec).
    for (int fd = 3; fd < highest; ++fd) {
        bool handedOver = false;
        for (size_t i = 0; i < count; ++i)
            handedOver = handedOver || setup.handOver[i].second == fd;
        if (!handedOver)
            ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    ::close_range(static_cast<unsigned>(highest) + 1, ~0U, CLOSE_RANGE_CLOEXEC);

    if (setup.workingFolder && ::chdir(setup.workingFolder) != 0)
        failed(report);
    ::execve(setup.program, setup.argv, setup.environment ? setup.environment : environ);
    failed(report);
}

bool readStartError(int report, int &error)
{
    int value = 0;
    size_t got = 0;
    while (got < sizeof value) {
        const ssize_t n = ::read(report, reinterpret_cast<char *>(&value) + got, sizeof value - got);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (n == 0)
            break;
        got += static_cast<size_t>(n);
    }
    if (got < sizeof value)
        return false;
    error = value;
    return true;
}

bool KillList::add(pid_t pid)
{
    for (auto &place : m_places) {
        pid_t free = 0;
        if (place.compare_exchange_strong(free, pid))
            return true;
    }
    return false;
}

void KillList::remove(pid_t pid)
{
    for (auto &place : m_places) {
        pid_t listed = pid;
        place.compare_exchange_strong(listed, 0);
    }
}

bool KillList::contains(pid_t pid) const
{
    for (const auto &place : m_places) {
        if (place.load() == pid)
            return true;
    }
    return false;
}

void KillList::killAll(int signal) const
{
    for (const auto &place : m_places) {
        const pid_t pid = place.load();
        if (pid > 0)
            ::kill(pid, signal);
    }
}

int reapChild(pid_t pid, KillList &list, Waiter waiter)
{
    list.remove(pid);
    if (!waiter)
        waiter = ::waitpid;
    int status = 0;
    for (;;) {
        const pid_t done = waiter(pid, &status, 0);
        if (done == pid)
            return status;
        if (done < 0 && errno == EINTR)
            continue;
        return -1;
    }
}

} // namespace safefile
