#include "ReadLease.h"

#include <cerrno>
#include <csignal>
#include <mutex>
#include <system_error>
#include <thread>

#include <fcntl.h>
#include <pthread.h>

namespace safefile {

namespace {

// A real-time signal tells which descriptor's lease is being broken
// (si_fd); SIGIO, the default, would end the process.
int breakSignal()
{
    return SIGRTMIN + 3;
}

void releaseLease(int fd);

void onLeaseBreak(int, siginfo_t *info, void *)
{
    const int savedErrno = errno;
    releaseLease(info->si_fd);
    errno = savedErrno;
}

void releaseLease(int fd)
{
    // The writer waits until the lease is gone: it goes now. A descriptor
    // closed (and its number reused) before this runs loses nothing but a
    // lease, which only makes its holder take the slower way.
    ::fcntl(fd, F_SETLEASE, F_UNLCK);
}

// Takes the break signals of threads that block it (keepBreaksOffOtherThreads),
// for the life of the process, so that no wait of theirs is cut short.
void runBreaker()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, breakSignal());
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    for (;;) {
        siginfo_t info {};
        if (sigwaitinfo(&set, &info) == breakSignal())
            releaseLease(info.si_fd);
    }
}

bool breakHandlerInstalled()
{
    static std::once_flag once;
    static bool installed = false;
    std::call_once(once, [] {
        // The handler covers a thread that does not block the signal; the
        // breaker thread every other one.
        struct sigaction action {};
        action.sa_sigaction = onLeaseBreak;
        action.sa_flags = SA_SIGINFO | SA_RESTART;
        sigemptyset(&action.sa_mask);
        installed = ::sigaction(breakSignal(), &action, nullptr) == 0;
        try {
            std::thread(runBreaker).detach();
        } catch (const std::system_error &) {
            // Only the handler, then; it still gives every lease up.
        }
    });
    return installed;
}

} // namespace

ReadLease::ReadLease(int fd)
{
    if (fd < 0 || !breakHandlerInstalled())
        return;
    if (::fcntl(fd, F_SETSIG, breakSignal()) != 0)
        return;
    if (::fcntl(fd, F_SETLEASE, F_RDLCK) == 0)
        m_fd = fd;
}

bool ReadLease::keepBreaksOffOtherThreads()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, breakSignal());
    return pthread_sigmask(SIG_BLOCK, &set, nullptr) == 0;
}

ReadLease &ReadLease::operator=(ReadLease &&other) noexcept
{
    if (this != &other) {
        // A lease is the descriptor's, not the object's: one taken again on
        // the same descriptor is the same lease, which must stay.
        if (m_fd != other.m_fd)
            release();
        m_fd = other.m_fd;
        other.m_fd = -1;
    }
    return *this;
}

bool ReadLease::held() const
{
    // While a break is under way the lease reports what it is being
    // lowered to: F_UNLCK for a writer.
    return m_fd >= 0 && ::fcntl(m_fd, F_GETLEASE) == F_RDLCK;
}

void ReadLease::release()
{
    if (m_fd < 0)
        return;
    ::fcntl(m_fd, F_SETLEASE, F_UNLCK);
    m_fd = -1;
}

} // namespace safefile
