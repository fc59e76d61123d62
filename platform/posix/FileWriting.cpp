// Reading, rewriting and copying files without trusting names: the Qt side
// of the safe-file layer (safefile/SafeWrite.h), which does the writing.

#include "platform/Platform.h"
#include "safefile/Descriptor.h"
#include "safefile/SafeWrite.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

using safefile::Descriptor;

// Opens what `path` names for reading, following links, only if it is a
// regular file; `info` then describes it. The open never waits: a FIFO,
// which a plain open would wait on for good until someone writes to it, is
// refused, as is anything else that is not a regular file (EISDIR for a
// folder, EINVAL for the rest). Returns 0 or the errno of the failure.
int openRegularForReading(const QByteArray &path, Descriptor &fd, struct stat &info)
{
    if (path.isEmpty())
        return ENOENT;
    fd.reset(safefile::openAtRetrying(AT_FDCWD, path.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid() || ::fstat(fd.get(), &info) != 0)
        return errno;
    if (!S_ISREG(info.st_mode))
        return S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
    return safefile::clearNonBlocking(fd.get());
}

} // namespace

int openRegularFile(const QString &path, int *errorCode)
{
    Descriptor fd;
    struct stat info {};
    const int error = openRegularForReading(encodeFileName(path), fd, info);
    if (errorCode)
        *errorCode = error;
    return error == 0 ? fd.release() : -1;
}

FileReadResult readRegularFile(const QString &path, qint64 maxBytes)
{
    FileReadResult result;
    const QByteArray encoded = encodeFileName(path);
    struct stat info {};
    if (encoded.isEmpty() || ::lstat(encoded.constData(), &info) != 0) {
        result.errorCode = errno;
        return result;
    }
    result.exists = true;
    Descriptor fd;
    result.errorCode = openRegularForReading(encoded, fd, info);
    if (result.errorCode != 0) {
        // A link to nothing: there is no file yet, as for a missing one.
        if (result.errorCode == ENOENT)
            result.exists = false;
        return result;
    }
    // The size of what was opened decides; the reading stops there too,
    // for a file that grows meanwhile.
    const bool bounded = maxBytes >= 0;
    if (bounded && info.st_size > maxBytes) {
        result.errorCode = EFBIG;
        return result;
    }
    QByteArray data;
    char buffer[65536];
    for (;;) {
        const ssize_t n = safefile::readRetrying(fd.get(), buffer, sizeof buffer);
        if (n < 0) {
            result.errorCode = errno;
            return result;
        }
        if (n == 0)
            break;
        if (bounded && data.size() + n > maxBytes) {
            result.errorCode = EFBIG;
            return result;
        }
        data.append(buffer, n);
    }
    result.ok = true;
    result.data = data;
    return result;
}

int rewriteFile(const QString &path, const QByteArray &data)
{
    return safefile::rewriteFile(encodeFileName(path).toStdString(),
                                 std::string_view(data.constData(), size_t(data.size())));
}

int copyFileReplacing(const QString &source, const QString &target)
{
    return safefile::copyFileReplacing(encodeFileName(source).toStdString(),
                                       encodeFileName(target).toStdString());
}

} // namespace platform
