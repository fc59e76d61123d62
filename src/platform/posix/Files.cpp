#include "platform/Platform.h"

#include <sys/stat.h>

namespace platform {

namespace {

bool statPath(const QString &path, struct stat &info)
{
    if (path.isEmpty())
        return false;
    const QByteArray encoded = path.toLocal8Bit();
    return ::stat(encoded.constData(), &info) == 0;
}

} // namespace

std::optional<FileIdentity> fileIdentity(const QString &path)
{
    struct stat info {};
    if (!statPath(path, info))
        return std::nullopt;
    return FileIdentity{static_cast<std::uint64_t>(info.st_dev),
                        static_cast<std::uint64_t>(info.st_ino)};
}

bool pathExists(const QString &path)
{
    struct stat info {};
    if (statPath(path, info))
        return true;
    // A dangling symbolic link is still an entry of the folder.
    const QByteArray encoded = path.toLocal8Bit();
    return !path.isEmpty() && ::lstat(encoded.constData(), &info) == 0;
}

bool folderExists(const QString &path)
{
    struct stat info {};
    return statPath(path, info) && S_ISDIR(info.st_mode);
}

} // namespace platform
