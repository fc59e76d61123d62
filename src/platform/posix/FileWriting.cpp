// Reading, rewriting and copying files without trusting names: every step
// after a name is looked up works on a descriptor, temporaries are created
// exclusively and without following links, and renames go relative to a
// directory descriptor.

#include "platform/Platform.h"
#include "Descriptor.h"

#include <QRandomGenerator>

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

using posix::Descriptor;
using posix::openAtRetrying;

bool sameFile(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// A name in an open folder.
struct Place {
    Descriptor folder;
    QByteArray name;
};

// Splits a path into its folder and last name and opens the folder.
int openPlace(const QByteArray &path, Place &place)
{
    if (path.isEmpty() || path.endsWith('/'))
        return path.isEmpty() ? ENOENT : EISDIR;
    const qsizetype slash = path.lastIndexOf('/');
    const QByteArray folder = slash < 0 ? QByteArray(".") : slash == 0 ? QByteArray("/")
                                                                       : path.left(slash);
    place.name = path.mid(slash + 1);
    if (place.name == "." || place.name == "..")
        return EISDIR;
    place.folder.reset(openAtRetrying(AT_FDCWD, folder.constData(),
                                      O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return place.folder.valid() ? 0 : errno;
}

// The kernel's protected-symlinks rule, applied everywhere: a link is
// followed only when the running user or root made it. Anyone else's link
// may aim a write made by root at any file of the system.
bool trustedLink(const struct stat &link)
{
    return link.st_uid == ::geteuid() || link.st_uid == 0;
}

// Finds the entry that a write to `path` must change: the path's own entry,
// or the end of a chain of trusted links. `info` describes the entry (not
// followed); `exists` is false when there is nothing there yet.
int resolveForWriting(const QByteArray &path, Place &place, struct stat &info, bool &exists)
{
    QByteArray current = path;
    for (int hop = 0; hop < 40; ++hop) {
        if (const int error = openPlace(current, place))
            return error;
        if (::fstatat(place.folder.get(), place.name.constData(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT)
                return errno;
            exists = false;
            return 0;
        }
        if (!S_ISLNK(info.st_mode)) {
            exists = true;
            return 0;
        }
        if (!trustedLink(info))
            return EACCES;
        QByteArray target(4096, Qt::Uninitialized);
        const ssize_t length = ::readlinkat(place.folder.get(), place.name.constData(),
                                            target.data(), size_t(target.size()));
        if (length < 0)
            return errno;
        if (length >= target.size())
            return ENAMETOOLONG;
        target.truncate(length);
        if (target.startsWith('/')) {
            current = target;
        } else {
            const qsizetype slash = current.lastIndexOf('/');
            current = (slash < 0 ? QByteArray() : current.left(slash + 1)) + target;
        }
    }
    return ELOOP;
}

// Whether the running user may write the regular file `name` described by
// `info`. A file without any write bit counts as read-only even for root,
// who could otherwise write anything.
bool writableByUs(int folder, const QByteArray &name, const struct stat &info)
{
    if ((info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0)
        return false;
    if (::faccessat(folder, name.constData(), W_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
        return false;
    // A system that cannot check without following links: the mode bits
    // alone (the entry is known not to be a link).
    if (::geteuid() == 0)
        return true;
    if (info.st_uid == ::geteuid())
        return info.st_mode & S_IWUSR;
    if (info.st_gid == ::getegid() || ::group_member(info.st_gid))
        return info.st_mode & S_IWGRP;
    return info.st_mode & S_IWOTH;
}

int writeAll(int fd, const QByteArray &data, off_t offset)
{
    qsizetype done = 0;
    while (done < data.size()) {
        const ssize_t n = ::pwrite(fd, data.constData() + done, size_t(data.size() - done),
                                   offset + done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        done += n;
    }
    return 0;
}

// A temporary beside `name`, created exclusively (a name that exists, or a
// link planted there, makes the open fail and another name is tried).
struct Temporary {
    Descriptor fd;
    QByteArray name;
};

int createTemporary(const Place &place, mode_t mode, Temporary &temporary)
{
    static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    for (int attempt = 0; attempt < 100; ++attempt) {
        QByteArray name = "." + place.name.left(200) + ".";
        for (int i = 0; i < 8; ++i)
            name += letters[QRandomGenerator::system()->bounded(int(sizeof letters - 1))];
        name += ".tmp";
        const int fd = openAtRetrying(place.folder.get(), name.constData(),
                                      O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd >= 0) {
            temporary.fd.reset(fd);
            temporary.name = name;
            return 0;
        }
        if (errno != EEXIST)
            return errno;
    }
    return EEXIST;
}

// Syncs the temporary and renames it over the place's name. The caller's
// `expected` entry (when given) must still be the one under the name, else
// someone swapped it meanwhile and nothing is replaced.
int commitTemporary(const Place &place, Temporary &temporary, const struct stat *expected)
{
    if (::fsync(temporary.fd.get()) != 0)
        return errno;
    if (expected) {
        struct stat now {};
        if (::fstatat(place.folder.get(), place.name.constData(), &now, AT_SYMLINK_NOFOLLOW) != 0)
            return errno;
        if (!sameFile(now, *expected))
            return EBUSY;
    }
    if (::renameat(place.folder.get(), temporary.name.constData(), place.folder.get(),
                   place.name.constData())
        != 0)
        return errno;
    temporary.name.clear();
    // The rename itself reaches the disk with the folder.
    ::fsync(place.folder.get());
    return 0;
}

void discardTemporary(const Place &place, Temporary &temporary)
{
    if (!temporary.name.isEmpty())
        ::unlinkat(place.folder.get(), temporary.name.constData(), 0);
    temporary.name.clear();
    temporary.fd.reset();
}

// Writes the file in place through a descriptor of the very file that was
// checked: the new bytes over the old, then the length cut, then a sync.
int rewriteInPlace(const Place &place, const struct stat &expected, const QByteArray &data)
{
    Descriptor fd(openAtRetrying(place.folder.get(), place.name.constData(),
                                 O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid())
        return errno;
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0)
        return errno;
    if (!S_ISREG(info.st_mode) || !sameFile(info, expected))
        return EBUSY;
    // Room for the new contents is claimed before the old are touched, so
    // that a full disk fails here and leaves the file as it was. (A file
    // system that cannot reserve room says so and is written all the same.)
    if (data.size() > info.st_size && ::fallocate(fd.get(), 0, 0, off_t(data.size())) != 0
        && errno != EOPNOTSUPP && errno != ENOSYS)
        return errno;
    if (const int error = writeAll(fd.get(), data, 0))
        return error;
    if (::ftruncate(fd.get(), off_t(data.size())) != 0)
        return errno;
    if (::fsync(fd.get()) != 0)
        return errno;
    return 0;
}

bool folderRefusesNewFiles(int error)
{
    return error == EACCES || error == EPERM || error == EROFS;
}

// Opens what `path` names for reading, following links, only if it is a
// regular file; `info` then describes it. The open never waits: a FIFO,
// which a plain open would wait on for good until someone writes to it, is
// refused, as is anything else that is not a regular file (EISDIR for a
// folder, EINVAL for the rest). Returns 0 or the errno of the failure.
int openRegularForReading(const QByteArray &path, Descriptor &fd, struct stat &info)
{
    if (path.isEmpty())
        return ENOENT;
    fd.reset(openAtRetrying(AT_FDCWD, path.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid() || ::fstat(fd.get(), &info) != 0)
        return errno;
    if (!S_ISREG(info.st_mode))
        return S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
    return posix::clearNonBlocking(fd.get());
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

FileReadResult readRegularFile(const QString &path)
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
    QByteArray data;
    char buffer[65536];
    for (;;) {
        const ssize_t n = posix::readRetrying(fd.get(), buffer, sizeof buffer);
        if (n < 0) {
            result.errorCode = errno;
            return result;
        }
        if (n == 0)
            break;
        data.append(buffer, n);
    }
    result.ok = true;
    result.data = data;
    return result;
}

int rewriteFile(const QString &path, const QByteArray &data)
{
    Place place;
    struct stat info {};
    bool exists = false;
    if (const int error = resolveForWriting(encodeFileName(path), place, info, exists))
        return error;
    if (exists) {
        if (!S_ISREG(info.st_mode))
            return S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
        if (!writableByUs(place.folder.get(), place.name, info))
            return EACCES;
    }

    Temporary temporary;
    if (const int error = createTemporary(place, exists ? 0600 : 0666, temporary)) {
        if (exists && folderRefusesNewFiles(error))
            return rewriteInPlace(place, info, data);
        return error;
    }
    int error = writeAll(temporary.fd.get(), data, 0);
    if (!error && exists) {
        // Owner and group first: changing them clears set-id bits, which
        // the mode then puts back exactly as they were.
        struct stat own {};
        if (::fstat(temporary.fd.get(), &own) != 0) {
            error = errno;
        } else if ((own.st_uid != info.st_uid || own.st_gid != info.st_gid)
                   && ::fchown(temporary.fd.get(), info.st_uid, info.st_gid) != 0) {
            // The file belongs to someone we may not give a file to; the
            // file itself is writable, so it is written where it is.
            if (errno == EPERM) {
                discardTemporary(place, temporary);
                return rewriteInPlace(place, info, data);
            }
            error = errno;
        }
        if (!error && ::fchmod(temporary.fd.get(), info.st_mode & 07777) != 0)
            error = errno;
    }
    if (!error)
        error = commitTemporary(place, temporary, exists ? &info : nullptr);
    discardTemporary(place, temporary);
    return error;
}

int copyFileReplacing(const QString &source, const QString &target)
{
    Descriptor input;
    struct stat sourceInfo {};
    if (const int error = openRegularForReading(encodeFileName(source), input, sourceInfo))
        return error;

    Place place;
    if (const int error = openPlace(encodeFileName(target), place))
        return error;
    struct stat targetInfo {};
    const bool targetExists =
        ::fstatat(place.folder.get(), place.name.constData(), &targetInfo, AT_SYMLINK_NOFOLLOW) == 0;
    if (!targetExists && errno != ENOENT)
        return errno;
    if (targetExists) {
        if (S_ISDIR(targetInfo.st_mode))
            return EISDIR;
        // A link there is replaced by the copy; a read-only file stays.
        if (S_ISREG(targetInfo.st_mode) && !writableByUs(place.folder.get(), place.name, targetInfo))
            return EACCES;
    }

    Temporary temporary;
    if (const int error = createTemporary(place, 0600, temporary))
        return error;
    int error = 0;
    char buffer[65536];
    off_t offset = 0;
    while (!error) {
        const ssize_t n = posix::readRetrying(input.get(), buffer, sizeof buffer);
        if (n < 0) {
            error = errno;
            break;
        }
        if (n == 0)
            break;
        error = writeAll(temporary.fd.get(), QByteArray::fromRawData(buffer, n), offset);
        offset += n;
    }
    // Program files must stay runnable; set-id bits are not passed on to a
    // copy that now belongs to whoever made it.
    if (!error && ::fchmod(temporary.fd.get(), sourceInfo.st_mode & 0777) != 0)
        error = errno;
    if (!error) {
        const struct timespec times[2] = {{0, UTIME_OMIT}, sourceInfo.st_mtim};
        ::futimens(temporary.fd.get(), times);   // a copy with today's time is still a copy
    }
    if (!error)
        error = commitTemporary(place, temporary, targetExists ? &targetInfo : nullptr);
    discardTemporary(place, temporary);
    return error;
}

} // namespace platform
