#include "ProcessPool.h"

#include "ToolSupport.h"
#include "safefile/ChildStart.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <linux/close_range.h>
#include <poll.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace sdktool;

namespace signtool {

namespace {

// The running children, for killRunning().
safefile::KillList g_running;

int childMain(void *setup)
{
    safefile::startChild(*static_cast<const safefile::ChildSetup *>(setup));
}

// Starts the child as vfork does: it shares this process's memory until its
// exec, while this thread waits, so nothing of the tool's memory is copied
// for it (a fork's page tables were a good part of the tool's own cost per
// file). Other threads go on meanwhile; safefile::startChild writes nothing
// but its own stack.
pid_t cloneChild(const safefile::ChildSetup &setup, char *stack, size_t stackSize)
{
    return clone(childMain, stack + stackSize, CLONE_VM | CLONE_VFORK | SIGCHLD,
                 const_cast<safefile::ChildSetup *>(&setup));
}

} // namespace

size_t defaultPoolSize()
{
    const long cores = sysconf(_SC_NPROCESSORS_ONLN);
    return std::max<size_t>(8, cores > 0 ? 2 * static_cast<size_t>(cores) : 0);
}

ProcessPool::ProcessPool(size_t size) : m_size(std::clamp<size_t>(size, 1, kMaxSize)) {}

void ProcessPool::setChildEnvironment(std::vector<std::string> environment)
{
    m_environment = std::move(environment);
    m_environmentPointers.clear();
    for (std::string &entry : m_environment)
        m_environmentPointers.push_back(entry.data());
    m_environmentPointers.push_back(nullptr);
}

ProcessPool::~ProcessPool()
{
    for (auto &child : m_children) {
        if (child.pid > 0) {
            kill(child.pid, SIGKILL);
            safefile::reapChild(child.pid, g_running);
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
    g_running.killAll(SIGKILL);
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
    safefile::ChildSetup setup;
    setup.program = program.c_str();
    setup.argv = argv.data();
    if (!m_environmentPointers.empty())
        setup.environment = m_environmentPointers.data();
    setup.output = out[1];
    setup.handOver = spec.fds.data();
    setup.handOverCount = spec.fds.size();
    setup.report = report[1];
    setup.parent = getpid();
    setup.umask = 077;
    if (spec.memoryLimitBytes > 0)
        setup.limits[0] = {RLIMIT_DATA, static_cast<rlim_t>(spec.memoryLimitBytes)};
    if (!m_childStack)
        m_childStack = std::make_unique<char[]>(kChildStackSize);
    const pid_t pid = cloneChild(setup, m_childStack.get(), kChildStackSize);
    const int forkErrno = errno;
    if (pid > 0)
        g_running.add(pid);
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
    const bool startFailed = safefile::readStartError(report[0], execErrno);
    close(report[0]);
    if (startFailed) {
        safefile::reapChild(pid, g_running);
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
        // Off the kill list before the wait, which frees its id for reuse.
        const int status = safefile::reapChild(child.pid, g_running);
        exit.exitCode = status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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
