#include "SafeReplace.h"

#include "ToolSupport.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

using namespace sdktool;

namespace signtool {

namespace {

char g_temporary[PATH_MAX];
volatile sig_atomic_t g_haveTemporary = 0;

// osslsigncode closes its output without syncing it; renamed over the
// original before it reaches the disk, a crash could leave the user's file
// empty or cut short.
std::string flushToDisk(const std::string &path)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errnoText(errno);
    const bool synced = fsync(fd) == 0;
    const int syncErrno = errno;
    close(fd);
    return synced ? std::string() : errnoText(syncErrno);
}

} // namespace

std::string temporaryNameBeside(const std::string &target, std::string &error)
{
    unsigned char random[12];
    if (getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) {
        error = "Cannot make a temporary file name: " + errnoText(errno) + ".";
        return {};
    }
    static const char hex[] = "0123456789abcdef";
    std::string suffix;
    for (unsigned char byte : random) {
        suffix += hex[byte >> 4];
        suffix += hex[byte & 15];
    }
    std::string name = folderOf(target) + "/.signtool-" + suffix + ".tmp";
    if (name.size() >= sizeof g_temporary)
        return {}; // too long: `error` stays empty
    return name;
}

void rememberTemporary(const std::string &path)
{
    g_haveTemporary = 0;
    std::strncpy(g_temporary, path.c_str(), sizeof g_temporary - 1);
    g_temporary[sizeof g_temporary - 1] = '\0';
    g_haveTemporary = 1;
}

void forgetTemporary()
{
    g_haveTemporary = 0;
}

void removeRememberedTemporary()
{
    if (g_haveTemporary)
        unlink(g_temporary);
}

std::string replaceWithCopy(const std::string &copy, const std::string &target, const struct stat &original,
                            const std::string &shownName)
{
    if (const std::string flushError = flushToDisk(copy); !flushError.empty())
        return "Cannot write the signed copy of " + shownName + ": " + flushError + ".";
    struct stat copyStat {};
    if (stat(copy.c_str(), &copyStat) != 0)
        return "Cannot write the signed copy of " + shownName + ": " + errnoText(errno) + ".";
    chmod(copy.c_str(), original.st_mode & 07777);
    if (copyStat.st_uid != original.st_uid || copyStat.st_gid != original.st_gid) {
        // Only root may give a file away; anyone else keeps their own.
        if (chown(copy.c_str(), original.st_uid, original.st_gid) != 0) {
        }
    }
    if (rename(copy.c_str(), target.c_str()) != 0)
        return "Cannot replace " + shownName + " with its signed copy: " + errnoText(errno) + ".";
    return {};
}

} // namespace signtool
