#include "SafeWrite.h"

#include <cstring>
#include <set>
#include <vector>

#include <sys/random.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace safefile {

namespace {

constexpr const char *kCapability = "security.capability";

// The names of a file's extended attributes; a file system without them
// has none.
int attributeNames(int fd, std::vector<std::string> &names)
{
    names.clear();
    std::vector<char> list;
    for (;;) {
        const ssize_t size = ::flistxattr(fd, nullptr, 0);
        if (size < 0)
            return errno == ENOTSUP ? 0 : errno;
        list.resize(static_cast<size_t>(size) + 1);
        const ssize_t got = ::flistxattr(fd, list.data(), list.size());
        if (got >= 0) {
            list.resize(static_cast<size_t>(got));
            break;
        }
        if (errno != ERANGE) // grown in between: ask again
            return errno;
    }
    for (size_t start = 0; start < list.size();) {
        const size_t length = ::strnlen(list.data() + start, list.size() - start);
        if (length > 0)
            names.emplace_back(list.data() + start, length);
        start += length + 1;
    }
    return 0;
}

int attributeValue(int fd, const std::string &name, std::vector<char> &value)
{
    for (;;) {
        const ssize_t size = ::fgetxattr(fd, name.c_str(), nullptr, 0);
        if (size < 0)
            return errno;
        value.resize(static_cast<size_t>(size));
        const ssize_t got = ::fgetxattr(fd, name.c_str(), value.data(), value.size());
        if (got >= 0) {
            value.resize(static_cast<size_t>(got));
            return 0;
        }
        if (errno != ERANGE)
            return errno;
    }
}

// Writes the file in place through a descriptor of the very file that was
// checked: the new bytes over the old, then the length cut, then a sync.
int rewriteInPlace(const Place &place, std::string_view data)
{
    Descriptor fd(openAtRetrying(place.folder.get(), place.name.c_str(),
                                 O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd)
        return errno;
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0)
        return errno;
    if (!S_ISREG(info.st_mode) || !sameFile(info, place.info))
        return EBUSY;
    // Room for the new contents is claimed before the old are touched, so
    // that a full disk fails here and leaves the file as it was. (A file
    // system that cannot reserve room says so and is written all the same.)
    if (off_t(data.size()) > info.st_size && ::fallocate(fd.get(), 0, 0, off_t(data.size())) != 0
        && errno != EOPNOTSUPP && errno != ENOSYS)
        return errno;
    if (const int error = writeAllAt(fd.get(), data, 0))
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

std::string temporaryPrefix(const std::string &name)
{
    // Not "." + a temporary: GCC 12 warns about that (-Wrestrict, a false alarm).
    std::string prefix = ".";
    prefix.append(name, 0, 200);
    return prefix + ".";
}

// Opens what `path` names for reading, following links, only if it is a
// regular file. The open never waits on a FIFO.
int openRegularForReading(const std::string &path, Descriptor &fd, struct stat &info)
{
    if (path.empty())
        return ENOENT;
    fd.reset(openRetrying(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd || ::fstat(fd.get(), &info) != 0)
        return errno;
    if (!S_ISREG(info.st_mode))
        return S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
    return clearNonBlocking(fd.get());
}

// Puts the finished temporary file in place of `name` without ever
// replacing an entry that is there.
int linkInNoReplace(int folder, const std::string &temporary, const std::string &name)
{
    if (::renameat2(folder, temporary.c_str(), folder, name.c_str(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return errno;
    // File systems without that flag (some network ones): link() refuses an
    // existing name just as well.
    if (::linkat(folder, temporary.c_str(), folder, name.c_str(), 0) != 0)
        return errno;
    ::unlinkat(folder, temporary.c_str(), 0);
    return 0;
}

} // namespace

int writeAllAt(int fd, std::string_view data, off_t offset)
{
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::pwrite(fd, data.data() + done, data.size() - done, offset + off_t(done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (n == 0)
            return EIO;
        done += size_t(n);
    }
    return 0;
}

int readAllAt(int fd, off_t offset, std::string &data, size_t limit)
{
    data.clear();
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::pread(fd, buffer, sizeof buffer, offset);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (n == 0)
            return 0;
        if (data.size() + size_t(n) > limit)
            return EFBIG;
        data.append(buffer, size_t(n));
        offset += n;
    }
}

std::string randomHex(size_t size)
{
    std::vector<unsigned char> random(size);
    if (::getrandom(random.data(), size, 0) != static_cast<ssize_t>(size))
        return {};
    static const char hex[] = "0123456789abcdef";
    std::string text;
    for (unsigned char byte : random) {
        text += hex[byte >> 4];
        text += hex[byte & 15];
    }
    return text;
}

std::string errnoText(int error)
{
    return std::strerror(error);
}

std::string walkProblemText(const WalkProblem &problem)
{
    if (!problem.untrustedLink.empty())
        return "the symbolic link " + problem.untrustedLink + " on its path belongs to another user (uid "
            + std::to_string(problem.linkOwner) + ") and is not followed";
    return errnoText(problem.error);
}

int Temporary::create(int folder, const std::string &prefix, const std::string &suffix, mode_t mode)
{
    discard();
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string random = randomHex(9);
        if (random.empty())
            return errno;
        const std::string name = prefix + random + suffix;
        const int fd = openAtRetrying(folder, name.c_str(),
                                      O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd >= 0) {
            m_folder = folder;
            m_fd.reset(fd);
            m_name = name;
            return 0;
        }
        if (errno != EEXIST)
            return errno;
    }
    return EEXIST;
}

int Temporary::commit(const std::string &name, const struct stat *expected)
{
    if (::fsync(m_fd.get()) != 0)
        return errno;
    if (expected) {
        struct stat now {};
        if (::fstatat(m_folder, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0)
            return errno;
        if (!sameFile(now, *expected))
            return EBUSY;
    }
    if (::renameat(m_folder, m_name.c_str(), m_folder, name.c_str()) != 0)
        return errno;
    m_name.clear();
    // The rename itself reaches the disk with the folder.
    ::fsync(m_folder);
    return 0;
}

void Temporary::discard()
{
    if (!m_name.empty() && m_fd) {
        // Only while the name is still this file: whoever else may write
        // the folder could have moved it and put something in its place.
        struct stat own {};
        struct stat there {};
        if (::fstat(m_fd.get(), &own) == 0
            && ::fstatat(m_folder, m_name.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0 && sameFile(own, there))
            ::unlinkat(m_folder, m_name.c_str(), 0);
    }
    m_name.clear();
    m_fd.reset();
}

int copyAttributes(int from, int to, bool skipCapability)
{
    std::vector<std::string> wanted;
    if (const int error = attributeNames(from, wanted))
        return error;
    std::vector<char> value;
    std::set<std::string> copied;
    for (const std::string &name : wanted) {
        if (skipCapability && name == kCapability)
            continue;
        if (const int error = attributeValue(from, name, value))
            return error;
        if (::fsetxattr(to, name.c_str(), value.data(), value.size(), 0) != 0)
            return errno;
        copied.insert(name);
    }
    // What the new file got by itself (an ACL inherited from the folder's
    // default ACL) and the original does not have goes again.
    std::vector<std::string> present;
    if (const int error = attributeNames(to, present))
        return error;
    for (const std::string &name : present) {
        if (!copied.count(name) && ::fremovexattr(to, name.c_str()) != 0 && errno != ENODATA)
            return errno;
    }
    return 0;
}

int takeOverMetadata(int from, const struct stat &original, int to, const Keep &keep)
{
    // Owner and group first: changing them clears set-id bits and the
    // capability, which are put back after.
    struct stat own {};
    if (::fstat(to, &own) != 0)
        return errno;
    if (keep.owner && (own.st_uid != original.st_uid || own.st_gid != original.st_gid)
        && ::fchown(to, original.st_uid, original.st_gid) != 0)
        return errno;
    if (keep.attributes) {
        if (const int error = copyAttributes(from, to, !keep.setIdBits))
            return error;
    }
    // The mode last: it fits the ACL's mask to the original's group bits.
    mode_t mode = original.st_mode & 07777;
    if (!keep.setIdBits)
        mode &= ~mode_t(S_ISUID | S_ISGID);
    if (::fchmod(to, mode) != 0)
        return errno;
    return 0;
}

bool writableByUs(int folder, const std::string &name, const struct stat &info)
{
    if ((info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0)
        return false;
    if (::faccessat(folder, name.c_str(), W_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) == 0)
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

int rewriteFile(const std::string &path, std::string_view data, WalkProblem *problem)
{
    Place place;
    if (const int error = walkToPlace(path, FinalLink::Follow, place, problem))
        return error;
    if (place.exists) {
        if (!S_ISREG(place.info.st_mode))
            return S_ISDIR(place.info.st_mode) ? EISDIR : EINVAL;
        if (!writableByUs(place.folder.get(), place.name, place.info))
            return EACCES;
    }

    Temporary temporary;
    if (const int error = temporary.create(place.folder.get(), temporaryPrefix(place.name), ".tmp",
                                           place.exists ? 0600 : 0666)) {
        if (place.exists && folderRefusesNewFiles(error))
            return rewriteInPlace(place, data);
        return error;
    }
    if (const int error = writeAllAt(temporary.fd(), data, 0))
        return error;
    if (place.exists) {
        Descriptor original(openAtRetrying(place.folder.get(), place.name.c_str(),
                                           O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        struct stat info {};
        if (!original || ::fstat(original.get(), &info) != 0)
            return errno;
        if (!sameFile(info, place.info))
            return EBUSY;
        const int error = takeOverMetadata(original.get(), info, temporary.fd(), Keep{});
        // The file belongs to someone we may not give a file to, or carries
        // attributes that we may not set; the file itself is writable, so
        // it is written where it is and keeps them all.
        if (error == EPERM || error == EACCES) {
            temporary.discard();
            return rewriteInPlace(place, data);
        }
        if (error)
            return error;
    }
    return temporary.commit(place.name, place.exists ? &place.info : nullptr);
}

int copyFileReplacing(const std::string &source, const std::string &target, WalkProblem *problem)
{
    Descriptor input;
    struct stat sourceInfo {};
    if (const int error = openRegularForReading(source, input, sourceInfo))
        return error;

    Place place;
    if (const int error = walkToPlace(target, FinalLink::Stop, place, problem))
        return error;
    if (place.exists) {
        if (S_ISDIR(place.info.st_mode))
            return EISDIR;
        // A link there is replaced by the copy; a read-only file stays.
        if (S_ISREG(place.info.st_mode) && !writableByUs(place.folder.get(), place.name, place.info))
            return EACCES;
    }

    Temporary temporary;
    if (const int error = temporary.create(place.folder.get(), temporaryPrefix(place.name), ".tmp", 0600))
        return error;
    char buffer[65536];
    off_t offset = 0;
    for (;;) {
        const ssize_t n = readRetrying(input.get(), buffer, sizeof buffer);
        if (n < 0)
            return errno;
        if (n == 0)
            break;
        if (const int error = writeAllAt(temporary.fd(), std::string_view(buffer, size_t(n)), offset))
            return error;
        offset += n;
    }
    // Program files must stay runnable; set-id bits are not passed on to a
    // copy that now belongs to whoever made it.
    if (::fchmod(temporary.fd(), sourceInfo.st_mode & 0777) != 0)
        return errno;
    const struct timespec times[2] = {{0, UTIME_OMIT}, sourceInfo.st_mtim};
    ::futimens(temporary.fd(), times); // a copy with today's time is still a copy
    return temporary.commit(place.name, place.exists ? &place.info : nullptr);
}

WriteResult writeFileAtomically(const std::string &path, const std::string &data, bool replace,
                                mode_t newFileMode, std::string &error)
{
    Place place;
    WalkProblem problem;
    if (walkToPlace(path, FinalLink::Stop, place, &problem) != 0) {
        error = problem.error == EISDIR ? "it is a folder"
                                        : "cannot open the folder " + folderOf(path) + ": " + walkProblemText(problem);
        return WriteResult::Failed;
    }
    // A link at the name counts as an entry: it is replaced, never followed.
    if (place.exists && !replace)
        return WriteResult::Exists;
    if (place.exists && S_ISDIR(place.info.st_mode)) {
        error = "it is a folder";
        return WriteResult::Failed;
    }

    // Created exclusively and readable by the owner only from the first
    // byte on, whatever the file it replaces allowed.
    Temporary temporary;
    std::string prefix = "."; // not "." + a temporary: -Wrestrict, as above
    prefix.append(place.name, 0, 64);
    if (const int err = temporary.create(place.folder.get(), prefix + ".tmp-", "", 0600)) {
        error = "cannot create a temporary file in " + folderOf(path) + ": " + errnoText(err);
        return WriteResult::Failed;
    }
    if (::fchmod(temporary.fd(), newFileMode) != 0 || writeAllAt(temporary.fd(), data, 0) != 0
        || ::fsync(temporary.fd()) != 0) {
        error = errnoText(errno);
        return WriteResult::Failed;
    }

    // Whoever else can write to the folder could have put something of
    // their own under the temporary name; that is never moved into place.
    // (Checked again once it is in place, for a swap in between.)
    const int folder = place.folder.get();
    auto isOurs = [&](const std::string &entry) {
        struct stat written {};
        struct stat found {};
        return ::fstat(temporary.fd(), &written) == 0
            && ::fstatat(folder, entry.c_str(), &found, AT_SYMLINK_NOFOLLOW) == 0 && sameFile(written, found);
    };
    const std::string interference = "the file was changed by someone else while it was being written";
    if (!isOurs(temporary.name())) {
        error = interference;
        return WriteResult::Failed;
    }
    // The temporary file was made here exclusively: when its name is gone
    // by the time it is moved, someone else moved or removed it.
    auto moveFailure = [&](int err) { return err == ENOENT ? interference : errnoText(err); };
    if (replace) {
        if (::renameat(folder, temporary.name().c_str(), folder, place.name.c_str()) != 0) {
            error = moveFailure(errno);
            return WriteResult::Failed;
        }
    } else if (const int err = linkInNoReplace(folder, temporary.name(), place.name); err != 0) {
        if (err == EEXIST)
            return WriteResult::Exists;
        error = moveFailure(err);
        return WriteResult::Failed;
    }
    const bool ours = isOurs(place.name);
    // The temporary's name is gone (moved into place): nothing to discard.
    Descriptor written(::dup(temporary.fd()));
    temporary = Temporary();
    ::fsync(folder);
    if (!ours) {
        error = interference;
        return WriteResult::Failed;
    }
    if (::close(written.release()) != 0) {
        error = errnoText(errno);
        return WriteResult::Failed;
    }
    return WriteResult::Written;
}

} // namespace safefile
