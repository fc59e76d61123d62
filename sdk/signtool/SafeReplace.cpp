#include "SafeReplace.h"

#include "ToolSupport.h"

#include <cerrno>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace sdktool;

namespace signtool {

namespace {

std::string randomName()
{
    unsigned char random[12];
    if (getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random))
        return {};
    static const char hex[] = "0123456789abcdef";
    std::string name = ".signtool-";
    for (unsigned char byte : random) {
        name += hex[byte >> 4];
        name += hex[byte & 15];
    }
    return name + ".tmp";
}

bool sameFile(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Removes the copy and then the folder, but the folder only while its name
// in `parent` still is that folder: someone who owns the parent may have
// moved it and put something else there.
void removeFolder(int parent, int folder, const char *name, const struct stat &st)
{
    unlinkat(folder, PrivateFolder::kSigned, 0);
    unlinkat(folder, PrivateFolder::kStamped, 0);
    struct stat now {};
    if (fstatat(parent, name, &now, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(now.st_mode) && sameFile(now, st))
        unlinkat(parent, name, AT_REMOVEDIR);
}

void pause(long milliseconds)
{
    struct timespec ts {milliseconds / 1000, (milliseconds % 1000) * 1000000};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

// Runs in the cleaner: waits until the tool says the folder is its own
// business again (one byte) or dies (end of file), and in the latter case
// removes the folder. osslsigncode dies with the tool but may still be
// creating its output for a moment, so the removal is tried for a while.
[[noreturn]] void runCleaner(int pipe, int parent, int folder, const char *name, const struct stat &st)
{
    char word = 0;
    ssize_t n;
    while ((n = read(pipe, &word, 1)) < 0 && errno == EINTR) {
    }
    if (n == 1)
        _exit(0);
    for (int attempt = 0; attempt < 250; ++attempt) {
        removeFolder(parent, folder, name, st);
        struct stat now {};
        if (fstatat(parent, name, &now, AT_SYMLINK_NOFOLLOW) != 0 || !sameFile(now, st))
            _exit(0);
        pause(20);
    }
    _exit(0);
}

// A process of its own session (so a kill of the tool's process group
// spares it), child of init (so nobody has to wait for it), with nothing
// open but what it needs.
bool startCleaner(int parent, int folder, const std::string &name, const struct stat &st, Fd &pipeOut)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return false;
    const pid_t first = fork();
    if (first < 0) {
        close(fds[0]);
        close(fds[1]);
        return false;
    }
    if (first == 0) {
        if (fork() != 0)
            _exit(0);
        setsid();
        for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE})
            signal(sig, SIG_IGN);
        const int nullFd = open("/dev/null", O_RDWR);
        if (nullFd >= 0) {
            dup2(nullFd, 0);
            dup2(nullFd, 1);
            dup2(nullFd, 2);
        }
        // Keep the three descriptors at 3, 4 and 5, close everything else.
        const int p = fcntl(fds[0], F_DUPFD, 10);
        const int d = fcntl(parent, F_DUPFD, 10);
        const int f = fcntl(folder, F_DUPFD, 10);
        if (p < 0 || d < 0 || f < 0 || dup2(p, 3) < 0 || dup2(d, 4) < 0 || dup2(f, 5) < 0)
            _exit(1);
        close_range(6, ~0U, 0);
        runCleaner(3, 4, 5, name.c_str(), st);
    }
    close(fds[0]);
    int status = 0;
    while (waitpid(first, &status, 0) < 0 && errno == EINTR) {
    }
    pipeOut = Fd(fds[1]);
    return true;
}

} // namespace

PrivateFolder PrivateFolder::create(int parent, std::string &error)
{
    PrivateFolder made;
    const std::string name = randomName();
    if (name.empty()) {
        error = "cannot make a temporary name: " + errnoText(errno);
        return made;
    }
    if (mkdirat(parent, name.c_str(), 0700) != 0) {
        error = "cannot make a temporary folder beside it: " + errnoText(errno);
        return made;
    }
    Fd folder(openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    // The name may have been swapped for another folder between mkdir and
    // open; only a folder of this process's user will do (no other user can
    // make one). The umask may have narrowed the mode further.
    if (!folder || fstat(folder.get(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid()
        || fchmod(folder.get(), 0700) != 0) {
        error = "the temporary folder beside it was tampered with";
        return made;
    }
    Fd parentCopy(fcntl(parent, F_DUPFD_CLOEXEC, 3));
    if (!parentCopy) {
        error = errnoText(errno);
        return made;
    }
    if (!startCleaner(parent, folder.get(), name, st, made.m_cleanerPipe)) {
        const int err = errno;
        unlinkat(parent, name.c_str(), AT_REMOVEDIR);
        error = "cannot start the cleaner of the temporary folder: " + errnoText(err);
        return made;
    }
    made.m_parent = std::move(parentCopy);
    made.m_folder = std::move(folder);
    made.m_name = name;
    made.m_st = st;
    return made;
}

void PrivateFolder::remove()
{
    if (!m_folder)
        return;
    removeFolder(m_parent.get(), m_folder.get(), m_name.c_str(), m_st);
    if (m_cleanerPipe) {
        const char done = 'd';
        [[maybe_unused]] const ssize_t n = write(m_cleanerPipe.get(), &done, 1);
        m_cleanerPipe = Fd();
    }
    m_folder = Fd();
    m_parent = Fd();
}

PrivateFolder::~PrivateFolder()
{
    remove();
}

Replacement replaceWithCopy(int copy, const PrivateFolder &folder, const char *copyName, int parent,
                            const std::string &name, const struct stat &original, const std::string &shownName)
{
    Replacement result;
    // osslsigncode closes its output without syncing it; renamed over the
    // original before it reaches the disk, a crash could leave the user's
    // file empty or cut short.
    if (fsync(copy) != 0) {
        result.error = "Cannot write the signed copy of " + shownName + ": " + errnoText(errno) + ".";
        return result;
    }
    struct stat copyStat {};
    if (fstat(copy, &copyStat) != 0) {
        result.error = "Cannot write the signed copy of " + shownName + ": " + errnoText(errno) + ".";
        return result;
    }
    if (copyStat.st_uid != original.st_uid || copyStat.st_gid != original.st_gid) {
        // Only root may give a file away; anyone else keeps their own.
        [[maybe_unused]] const int ignored = fchown(copy, original.st_uid, original.st_gid);
    }
    const mode_t setId = S_ISUID | S_ISGID;
    result.setIdDropped = (original.st_mode & setId) != 0;
    if (fchmod(copy, original.st_mode & 07777 & ~setId) != 0) {
        result.error = "Cannot set the permissions of the signed copy of " + shownName + ": " + errnoText(errno) + ".";
        return result;
    }
    if (!stillNames(parent, name, original)) {
        result.error = shownName + " was replaced or removed while it was being signed; nothing was changed.";
        return result;
    }
    if (renameat(folder.descriptor(), copyName, parent, name.c_str()) != 0) {
        result.error = "Cannot replace " + shownName + " with its signed copy: " + errnoText(errno) + ".";
        return result;
    }
    // The rename itself reaches the disk with the folder.
    fsync(parent);
    return result;
}

} // namespace signtool
