#include "platform/Platform.h"
#include "CurrentFolder.h"

#include <cerrno>
#include <cstring>
#include <vector>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

// What the path names, following links (stat) or not (lstat).
bool statPath(const QString &path, struct stat &info, bool followLinks = true)
{
    if (path.isEmpty())
        return false;
    const QByteArray encoded = encodeFileName(path);
    return (followLinks ? ::stat(encoded.constData(), &info)
                        : ::lstat(encoded.constData(), &info))
        == 0;
}

FileIdentity identityOf(const struct stat &info)
{
    return {static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)};
}

// Calls `visit` with the open folder's descriptor and each name in it
// other than "." and ".."; a folder that cannot be opened has none.
template <typename Visit>
void forEachFolderEntry(const QString &folder, Visit visit)
{
    DIR *stream = ::opendir(encodeFileName(folder).constData());
    if (!stream)
        return;
    while (const dirent *entry = ::readdir(stream)) {
        const char *name = entry->d_name;
        if (std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0)
            visit(::dirfd(stream), name);
    }
    ::closedir(stream);
}

} // namespace

std::optional<FileIdentity> fileIdentity(const QString &path)
{
    struct stat info {};
    if (!statPath(path, info))
        return std::nullopt;
    return identityOf(info);
}

std::optional<FileIdentity> entryIdentity(const QString &path)
{
    struct stat info {};
    if (!statPath(path, info, /*followLinks*/ false))
        return std::nullopt;
    return identityOf(info);
}

std::optional<FileFacts> fileFacts(const QString &path)
{
    struct stat info {};
    if (!statPath(path, info))
        return std::nullopt;
    FileFacts facts;
    facts.identity = identityOf(info);
    facts.isFolder = S_ISDIR(info.st_mode);
    facts.size = facts.isFolder ? 0 : qint64(info.st_size);
    facts.modifiedMs = qint64(info.st_mtim.tv_sec) * 1000 + info.st_mtim.tv_nsec / 1000000;
    return facts;
}

QStringList folderEntryNames(const QString &folder)
{
    QStringList names;
    forEachFolderEntry(folder, [&](int, const char *name) { names.append(decodeFileName(name)); });
    return names;
}

QList<std::pair<QString, FileIdentity>> folderEntryIdentities(const QString &folder)
{
    QList<std::pair<QString, FileIdentity>> entries;
    forEachFolderEntry(folder, [&](int folderFd, const char *name) {
        struct stat info {};
        if (::fstatat(folderFd, name, &info, 0) == 0)
            entries.append({decodeFileName(name), identityOf(info)});
    });
    return entries;
}

bool pathExists(const QString &path)
{
    // A dangling symbolic link is still an entry of the folder.
    struct stat info {};
    return statPath(path, info) || statPath(path, info, /*followLinks*/ false);
}

QString currentFolder()
{
    QByteArray folder;
    if (posix::currentFolderBytes(folder) != 0)
        return QString();
    return decodeFileName(folder);
}

QString executableFolder()
{
    std::vector<char> buffer(4096);
    for (;;) {
        const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (length < 0)
            return QString();
        if (size_t(length) < buffer.size()) {
            const QByteArray path(buffer.data(), length);
            const qsizetype slash = path.lastIndexOf('/');
            return slash <= 0 ? QStringLiteral("/") : decodeFileName(path.left(slash));
        }
        buffer.resize(buffer.size() * 2);
    }
}

int removeEntry(const QString &path)
{
    if (path.isEmpty())
        return ENOENT;
    return ::unlink(encodeFileName(path).constData()) == 0 ? 0 : errno;
}

bool folderExists(const QString &path)
{
    struct stat info {};
    return statPath(path, info) && S_ISDIR(info.st_mode);
}

} // namespace platform
