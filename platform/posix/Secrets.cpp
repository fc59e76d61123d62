#include "platform/Platform.h"
#include "safefile/Descriptor.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

using safefile::Descriptor;

SecretRead refused(const QString &error)
{
    SecretRead result;
    result.error = error;
    return result;
}

QString errnoText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// The first line of what was read, without CR LF or LF; the rest wiped.
SecretRead firstLine(QByteArray &bytes)
{
    SecretRead result;
    qsizetype end = bytes.indexOf('\n');
    if (end < 0)
        end = bytes.size();
    if (end > 0 && bytes.at(end - 1) == '\r')
        --end;
    result.ok = true;
    result.secret = bytes.left(end);
    wipe(bytes);
    return result;
}

} // namespace

SecretRead readSecretFromDescriptor(int fd, int timeoutMs)
{
    if (fd < 0 || ::fcntl(fd, F_GETFD) < 0)
        return refused(QStringLiteral("descriptor %1 is not open").arg(fd));
    if (::isatty(fd))
        return refused(QStringLiteral("descriptor %1 is a terminal, where the password would "
                                      "show; hand it over through a pipe")
                           .arg(fd));

    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    QByteArray bytes;
    bytes.reserve(SecretMaxBytes + 1);
    char buffer[512];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - Clock::now()).count();
        if (left <= 0) {
            wipe(bytes);
            return refused(QStringLiteral("no password came through descriptor %1 within %2 "
                                          "seconds")
                               .arg(fd)
                               .arg(timeoutMs / 1000));
        }
        pollfd waitFor{fd, POLLIN, 0};
        const int ready = ::poll(&waitFor, 1, int(std::min<long long>(left, 1000)));
        if (ready < 0 && errno != EINTR) {
            wipe(bytes);
            return refused(QStringLiteral("descriptor %1 cannot be read: %2")
                               .arg(fd)
                               .arg(errnoText(errno)));
        }
        if (ready <= 0)
            continue;
        const ssize_t n = safefile::readRetrying(fd, buffer, sizeof buffer);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            continue;
        if (n < 0) {
            const int error = errno;
            wipe(bytes);
            explicit_bzero(buffer, sizeof buffer);
            return refused(QStringLiteral("descriptor %1 cannot be read: %2")
                               .arg(fd)
                               .arg(errnoText(error)));
        }
        bytes.append(buffer, n);
        explicit_bzero(buffer, sizeof buffer);
        if (n == 0 || bytes.contains('\n'))
            break;
        if (bytes.size() > SecretMaxBytes) {
            wipe(bytes);
            return refused(QStringLiteral("the password from descriptor %1 is longer than %2 "
                                          "bytes")
                               .arg(fd)
                               .arg(SecretMaxBytes));
        }
    }
    return firstLine(bytes);
}

SecretRead readPrivateSecretFile(const QString &path)
{
    const QString shown = displayFileName(path);
    // Not through a link, and never waiting on a FIFO.
    Descriptor file(safefile::openRetrying(encodeFileName(path).constData(),
                                        O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC
                                            | O_NOCTTY));
    if (!file.valid()) {
        if (errno == ELOOP)
            return refused(QStringLiteral("the password file %1 is a symbolic link").arg(shown));
        return refused(QStringLiteral("the password file %1 cannot be opened: %2")
                           .arg(shown, errnoText(errno)));
    }
    struct stat info {};
    if (::fstat(file.get(), &info) != 0)
        return refused(QStringLiteral("the password file %1 cannot be examined: %2")
                           .arg(shown, errnoText(errno)));
    if (!S_ISREG(info.st_mode))
        return refused(QStringLiteral("the password file %1 is not a regular file").arg(shown));
    // Its owner can always give themselves the right to read it.
    if (info.st_uid != ::geteuid())
        return refused(QStringLiteral("the password file %1 belongs to another user").arg(shown));
    // With an access control list the group bits are its mask, so they
    // show a named user or group that may read the file too.
    if (info.st_mode & (S_IRGRP | S_IROTH))
        return refused(QStringLiteral("the password file %1 can be read by other users (its "
                                      "mode is %2; make it 600)")
                           .arg(shown)
                           .arg(info.st_mode & 07777, 4, 8, QLatin1Char('0')));
    if (const int error = safefile::clearNonBlocking(file.get()))
        return refused(QStringLiteral("the password file %1 cannot be read: %2")
                           .arg(shown, errnoText(error)));

    QByteArray bytes(SecretMaxBytes + 1, '\0');
    qsizetype used = 0;
    while (used < bytes.size()) {
        const ssize_t n = safefile::readRetrying(file.get(), bytes.data() + used,
                                              size_t(bytes.size() - used));
        if (n < 0) {
            const int error = errno;
            wipe(bytes);
            return refused(QStringLiteral("the password file %1 cannot be read: %2")
                               .arg(shown, errnoText(error)));
        }
        if (n == 0)
            break;
        used += n;
    }
    bytes.truncate(used);
    if (used > SecretMaxBytes && bytes.indexOf('\n') < 0) {
        wipe(bytes);
        return refused(QStringLiteral("the password file %1 holds more than %2 bytes on its "
                                      "first line")
                           .arg(shown)
                           .arg(SecretMaxBytes));
    }
    return firstLine(bytes);
}

void wipe(QByteArray &bytes)
{
    if (!bytes.isEmpty())
        explicit_bzero(bytes.data(), size_t(bytes.size()));
    bytes.clear();
}

void wipe(QString &text)
{
    if (!text.isEmpty())
        explicit_bzero(text.data(), size_t(text.size()) * sizeof(QChar));
    text.clear();
}

} // namespace platform
