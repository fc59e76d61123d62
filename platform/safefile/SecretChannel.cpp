#include "SecretChannel.h"

#include <cerrno>
#include <chrono>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace safefile {

int secretPipe(const std::string &secret)
{
    if (secret.size() > kMaxSecretBytes) {
        errno = E2BIG;
        return -1;
    }
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return -1;
    std::size_t done = 0;
    while (done < secret.size()) {
        const ssize_t n = ::write(fds[1], secret.data() + done, secret.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int error = n < 0 ? errno : EIO;
            ::close(fds[0]);
            ::close(fds[1]);
            errno = error;
            return -1;
        }
        done += static_cast<std::size_t>(n);
    }
    ::close(fds[1]);
    return fds[0];
}

std::string readSecret(int fd, int timeoutSeconds, SecretBuffer &secret)
{
    const std::string name = "descriptor " + std::to_string(fd);
    if (::fcntl(fd, F_GETFD) < 0)
        return name + " is not open";
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    std::string &bytes = secret.bytes();
    wipeSecret(bytes);
    // Room for all of it at once: a string that grows leaves copies of the
    // secret behind in the memory it gives back.
    bytes.reserve(kMaxSecretBytes + 1);
    char chunk[512];
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    std::string problem;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) {
            problem = name + " did not reach its end within " + std::to_string(timeoutSeconds) + " seconds";
            break;
        }
        pollfd wait{fd, POLLIN, 0};
        const int ready = ::poll(&wait, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0) {
            problem = name + " cannot be read: " + std::strerror(errno);
            break;
        }
        if (ready == 0)
            continue;
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n < 0) {
            problem = name + " cannot be read: " + std::strerror(errno);
            break;
        }
        if (n == 0)
            break;
        if (bytes.size() + static_cast<std::size_t>(n) > kMaxSecretBytes) {
            problem = name + " holds more than " + std::to_string(kMaxSecretBytes) + " bytes";
            break;
        }
        bytes.append(chunk, static_cast<std::size_t>(n));
    }
    OPENSSL_cleanse(chunk, sizeof chunk);
    ::close(fd);
    if (!problem.empty())
        wipeSecret(bytes);
    return problem;
}

int secretDescriptorNumber(const std::string &text)
{
    if (text.empty() || text.size() > 6)
        return -1;
    int value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return -1;
        value = value * 10 + (c - '0');
    }
    return value >= 3 ? value : -1;
}

} // namespace safefile
