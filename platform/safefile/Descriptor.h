#pragma once

// A file descriptor that closes itself, and the system calls around it that
// retry when a signal interrupts them. Shared by the window and the console
// tools, so it uses nothing but the C++ library and POSIX.

#include <cerrno>
#include <cstddef>
#include <string>
#include <string_view>

#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

namespace safefile {

// EINTR on close is not retried because Linux releases the descriptor even then.
class Descriptor {
public:
    Descriptor() = default;
    explicit Descriptor(int fd) : m_fd(fd) {}
    ~Descriptor() { reset(); }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    Descriptor(Descriptor &&other) noexcept : m_fd(other.release()) {}
    Descriptor &operator=(Descriptor &&other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }

    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }
    explicit operator bool() const { return valid(); }
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
    int m_fd = -1;
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

// Writes all of `data` at `offset`, going on after interruptions and short
// writes. Returns 0 or the errno of the failure.
int writeAllAt(int fd, std::string_view data, off_t offset);

// Reads the rest of the file from `offset` on, up to `limit` bytes (more
// gives EFBIG). Returns 0 or the errno of the failure.
int readAllAt(int fd, off_t offset, std::string &data, size_t limit = size_t(1) << 30);

} // namespace safefile
