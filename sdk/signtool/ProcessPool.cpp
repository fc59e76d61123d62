#include "ProcessPool.h"

#include "ToolSupport.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <linux/close_range.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace sdktool;

namespace signtool {

namespace {

// The running children's ids for killRunning(); 0 marks a free place.
volatile pid_t g_running[ProcessPool::kMaxSize];

void registerChild(pid_t pid)
{
    for (auto &slot : g_running) {
        if (slot == 0) {
            slot = pid;
            return;
        }
    }
}

void unregisterChild(pid_t pid)
{
    for (auto &slot : g_running) {
        if (slot == pid)
            slot = 0;
    }
}

// In the child between fork and exec: only async-signal-safe calls.
[[noreturn]] void execChild(const char *program, char *const argv[], char *const envp[],
                            const std::pair<int, int> *fds, size_t fdCount, int output, int report, pid_t parent,
                            unsigned long long memoryLimit)
{
    // Dies with the tool; a tool that died before this line is caught by
    // the parent check.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent)
        _exit(127);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGCHLD})
        signal(sig, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    umask(077);
    if (memoryLimit > 0) {
        const rlimit limit{memoryLimit, memoryLimit};
        if (setrlimit(RLIMIT_DATA, &limit) != 0)
            _exit(127);
    }

    // Move everything out of the way of the target numbers first, the
    // report pipe too: it may hold a number a handed-over descriptor takes,
    // and a failed exec must still be reported through it.
    report = fcntl(report, F_DUPFD_CLOEXEC, 32);
    if (report < 0)
        _exit(127);
    int moved[16];
    const size_t count = std::min<size_t>(fdCount, 16);
    for (size_t i = 0; i < count; ++i) {
        moved[i] = fcntl(fds[i].first, F_DUPFD_CLOEXEC, 32);
        if (moved[i] < 0)
            goto failed;
    }
    output = fcntl(output, F_DUPFD_CLOEXEC, 32);
    if (output < 0)
        goto failed;
    {
        const int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (null < 0 || dup2(null, 0) < 0 || dup2(output, 1) < 0 || dup2(output, 2) < 0)
            goto failed;
    }
    {
        int highest = 2;
        for (size_t i = 0; i < count; ++i) {
            if (dup2(moved[i], fds[i].second) < 0)
                goto failed;
            highest = std::max(highest, fds[i].second);
        }
        // Nothing else of the tool's reaches the child, even a descriptor
        // someone opened without O_CLOEXEC (marked, not closed: the report
        // pipe must stay until exec).
        close_range(static_cast<unsigned>(highest) + 1, ~0U, CLOSE_RANGE_CLOEXEC);
    }
    execve(program, argv, envp);
failed:
    const int err = errno;
    [[maybe_unused]] const ssize_t n = write(report, &err, sizeof err);
    _exit(127);
}

} // namespace

size_t defaultPoolSize()
{
    const long cores = sysconf(_SC_NPROCESSORS_ONLN);
    return std::max<size_t>(8, cores > 0 ? 2 * static_cast<size_t>(cores) : 0);
}

ProcessPool::ProcessPool(size_t size) : m_size(std::clamp<size_t>(size, 1, kMaxSize)) {}

ProcessPool::~ProcessPool()
{
    for (auto &child : m_children) {
        if (child.pid > 0) {
            kill(child.pid, SIGKILL);
            int status = 0;
            while (waitpid(child.pid, &status, 0) < 0 && errno == EINTR) {
            }
            unregisterChild(child.pid);
        }
        if (child.thread.joinable())
            child.thread.join();
        close(child.output);
        if (child.pidfd >= 0)
            close(child.pidfd);
    }
}

void ProcessPool::killRunning()
{
    for (auto &slot : g_running) {
        const pid_t pid = slot;
        if (pid > 0)
            kill(pid, SIGKILL);
    }
}

void ProcessPool::start(const ChildSpec &spec, ExitHandler onExit)
{
    while (m_children.size() >= m_size)
        waitForOne();
    if (spec.task) {
        startTask(spec.task, std::move(onExit));
        return;
    }

    ChildExit failed;
    auto known = m_programs.find(spec.argv.at(0));
    if (known == m_programs.end())
        known = m_programs.emplace(spec.argv.at(0), findOnPath(spec.argv.at(0))).first;
    const std::string &program = known->second;
    if (program.empty()) {
        failed.startErrno = ENOENT;
        onExit(std::move(failed));
        return;
    }
    std::vector<char *> argv;
    for (const auto &arg : spec.argv)
        argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);
    // The environment as it is, less what the child must not get; made
    // before the fork, where allocating is still safe.
    std::vector<char *> envp;
    for (char **variable = environ; *variable; ++variable) {
        const std::string_view entry(*variable);
        const bool dropped = std::any_of(spec.withoutEnvironment.begin(), spec.withoutEnvironment.end(),
                                         [&entry](const std::string &name) {
                                             return entry.size() > name.size() && entry[name.size()] == '='
                                                    && entry.compare(0, name.size(), name) == 0;
                                         });
        if (!dropped)
            envp.push_back(*variable);
    }
    envp.push_back(nullptr);

    int out[2];
    int report[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        failed.startErrno = errno;
        onExit(std::move(failed));
        return;
    }
    if (pipe2(report, O_CLOEXEC) != 0) {
        failed.startErrno = errno;
        close(out[0]);
        close(out[1]);
        onExit(std::move(failed));
        return;
    }
    // The signal handler must not see a half-registered child: signals
    // wait while the child is made and entered.
    sigset_t all, previous;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &previous);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0)
        execChild(program.c_str(), argv.data(), envp.data(), spec.fds.data(), spec.fds.size(), out[1], report[1],
                  parent, spec.memoryLimitBytes);
    const int forkErrno = errno;
    if (pid > 0)
        registerChild(pid);
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    close(out[1]);
    close(report[1]);
    if (pid < 0) {
        close(out[0]);
        close(report[0]);
        failed.startErrno = forkErrno;
        onExit(std::move(failed));
        return;
    }
    // The report pipe closes on a successful exec; otherwise it carries the
    // reason.
    int execErrno = 0;
    ssize_t n;
    while ((n = read(report[0], &execErrno, sizeof execErrno)) < 0 && errno == EINTR) {
    }
    close(report[0]);
    if (n == sizeof execErrno) {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        unregisterChild(pid);
        close(out[0]);
        failed.startErrno = execErrno;
        onExit(std::move(failed));
        return;
    }
    Child child;
    child.pid = pid;
    child.output = out[0];
    // Without a pidfd (an old kernel) the end is waited for after the
    // output closes.
    child.pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (child.pidfd >= 0)
        fcntl(child.pidfd, F_SETFD, FD_CLOEXEC);
    child.onExit = std::move(onExit);
    if (spec.timeoutSeconds > 0)
        child.deadline = std::chrono::steady_clock::now() + std::chrono::seconds(spec.timeoutSeconds);
    m_children.push_back(std::move(child));
}

void ProcessPool::startTask(std::function<int()> task, ExitHandler onExit)
{
    int result[2];
    if (pipe2(result, O_CLOEXEC) != 0) {
        ChildExit failed;
        failed.startErrno = errno;
        onExit(std::move(failed));
        return;
    }
    Child child;
    child.output = result[0];
    child.onExit = std::move(onExit);
    const int writeEnd = result[1];
    child.thread = std::thread([task = std::move(task), writeEnd] {
        const int code = task();
        [[maybe_unused]] const ssize_t n = write(writeEnd, &code, sizeof code);
        close(writeEnd);
    });
    m_children.push_back(std::move(child));
}

void ProcessPool::collect(int timeoutMs)
{
    using Clock = std::chrono::steady_clock;
    std::vector<pollfd> fds;
    const Clock::time_point now = Clock::now();
    for (auto &child : m_children) {
        // A process whose output has ended is awaited through its pidfd:
        // it may still take a moment to exit, and blocking in waitpid
        // meanwhile would hold up every other child.
        fds.push_back(pollfd{child.outputEnded ? child.pidfd : child.output, POLLIN, 0});
        if (!child.deadline || child.timedOut)
            continue;
        // A child past its time-out is killed; its output then ends and it
        // is reaped like any other.
        if (*child.deadline <= now) {
            if (child.pid > 0)
                kill(child.pid, SIGKILL);
            child.timedOut = true;
            continue;
        }
        const long long left
            = std::chrono::duration_cast<std::chrono::milliseconds>(*child.deadline - now).count() + 1;
        if (timeoutMs < 0 || left < timeoutMs)
            timeoutMs = static_cast<int>(std::min<long long>(left, 1 << 30));
    }
    const int ready = poll(fds.data(), fds.size(), timeoutMs);
    if (ready <= 0)
        return;
    // From the back, so reaping (which erases) keeps the other indexes.
    for (size_t i = fds.size(); i-- > 0;) {
        if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
            continue;
        Child &child = m_children[i];
        if (child.pid < 0 || child.outputEnded) {
            reap(i); // a task's result is there, or the process has ended
            continue;
        }
        char buffer[4096];
        const ssize_t n = read(child.output, buffer, sizeof buffer);
        if (n > 0) {
            child.collected.append(buffer, static_cast<size_t>(n));
        } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
            child.outputEnded = true;
            if (child.pidfd < 0)
                reap(i);
        }
    }
}

void ProcessPool::reap(size_t index)
{
    Child child = std::move(m_children[index]);
    m_children.erase(m_children.begin() + static_cast<std::ptrdiff_t>(index));
    ChildExit exit;
    exit.started = true;
    if (child.pid < 0) {
        int code = -1;
        ssize_t n;
        while ((n = read(child.output, &code, sizeof code)) < 0 && errno == EINTR) {
        }
        exit.exitCode = n == sizeof code ? code : -1;
        child.thread.join();
    } else {
        int status = 0;
        while (waitpid(child.pid, &status, 0) < 0 && errno == EINTR) {
        }
        unregisterChild(child.pid);
        exit.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    close(child.output);
    if (child.pidfd >= 0)
        close(child.pidfd);
    exit.timedOut = child.timedOut;
    ++m_ended;
    exit.output = std::move(child.collected);
    child.onExit(std::move(exit));
}

void ProcessPool::waitForOne()
{
    // Counted by ends, since a handler may start the file's next child.
    const size_t before = m_ended;
    while (!m_children.empty() && m_ended == before)
        collect(-1);
}

void ProcessPool::waitForAll()
{
    while (!m_children.empty())
        collect(-1);
}

} // namespace signtool
