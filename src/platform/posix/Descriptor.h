#pragma once

// Private to the POSIX platform code: a file descriptor that closes itself,
// and opens and reads that retry when a signal interrupts them.

#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

namespace platform::posix {

// EINTR on close is not retried because Linux releases the descriptor even then.
class Descriptor {
public:
    explicit Descriptor(int fd = -1) : m_fd(fd) {}
    ~Descriptor() { reset(); }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    Descriptor(Descriptor &&other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }
    Descriptor &operator=(Descriptor &&other) noexcept
    {
        if (this != &other) {
            reset(other.m_fd);
            other.m_fd = -1;
        }
        return *this;
    }

    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }
    int release()
    {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    void reset(int fd = -1)
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = fd;
    }

private:
    int m_fd;
};

inline int openAtRetrying(int dir, const char *name, int flags, mode_t mode = 0)
{
    int fd;
    do {
        fd = ::openat(dir, name, flags, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

inline int openRetrying(const char *path, int flags, mode_t mode = 0)
{
    return openAtRetrying(AT_FDCWD, path, flags, mode);
}

inline ssize_t readRetrying(int fd, void *buffer, size_t size)
{
    ssize_t n;
    do {
        n = ::read(fd, buffer, size);
    } while (n < 0 && errno == EINTR);
    return n;
}

// Opens are made with O_NONBLOCK where a FIFO could be in a file's place
// (so that the open cannot wait for good); once the descriptor is known to
// be a regular file, its reads and writes may block again as usual.
inline int clearNonBlocking(int fd)
{
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0)
        return errno;
    return 0;
}

} // namespace platform::posix
