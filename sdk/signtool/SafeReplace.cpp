#include "SafeReplace.h"

#include "ToolSupport.h"
#include "safefile/SafeWrite.h"

#include <cerrno>
#include <csignal>
#include <dirent.h>
#include <ctime>
#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace sdktool;

namespace signtool {

namespace {

std::string randomName()
{
    const std::string random = randomHex(12);
    return random.empty() ? std::string() : ".signtool-" + random + ".tmp";
}

using safefile::sameFile;

// Removes the copy and then the folder, but the folder only while its name
// in `parent` still is that folder: someone who owns the parent may have
// moved it and put something else there.
void removeFolder(int parent, int folder, const char *name, const struct stat &st)
{
    // Everything in it is this process's: the copies and links it made.
    const int copy = fcntl(folder, F_DUPFD_CLOEXEC, 3);
    if (DIR *dir = copy >= 0 ? fdopendir(copy) : nullptr) {
        rewinddir(dir);
        while (const dirent *entry = readdir(dir)) {
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
                unlinkat(folder, entry->d_name, 0);
        }
        closedir(dir);
    } else if (copy >= 0) {
        close(copy);
    }
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

// The cleaner: one process for the whole run, started before any thread,
// told through a socket about every private folder (with descriptors for
// the folder and its parent) and about every folder the tool removed
// itself. When the socket closes (the tool has ended, however), it removes
// the folders still on its list. Its own session keeps it out of a kill of
// the tool's process group.
struct CleanerMessage {
    // 'W': watch this folder (with descriptors for its parent and itself);
    // 'D': done with it; 'R': release this replaced file (its descriptor).
    char kind = 0;
    uint64_t id = 0;
    dev_t device = 0;
    ino_t inode = 0;
    char name[64] = {};
};

struct Watched {
    Fd parent;
    Fd folder;
    std::string name;
    struct stat st {};
};

int g_cleanerSocket = -1;
bool g_cleanerTried = false;
int g_cleanerErrno = 0;
uint64_t g_nextFolderId = 0;

bool receive(int socket, CleanerMessage &message, int fds[2])
{
    char control[CMSG_SPACE(2 * sizeof(int))];
    iovec iov{&message, sizeof message};
    msghdr header{};
    header.msg_iov = &iov;
    header.msg_iovlen = 1;
    header.msg_control = control;
    header.msg_controllen = sizeof control;
    ssize_t n;
    while ((n = recvmsg(socket, &header, MSG_CMSG_CLOEXEC)) < 0 && errno == EINTR) {
    }
    if (n != static_cast<ssize_t>(sizeof message))
        return false;
    fds[0] = fds[1] = -1;
    for (cmsghdr *c = CMSG_FIRSTHDR(&header); c; c = CMSG_NXTHDR(&header, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS)
            continue;
        if (c->cmsg_len == CMSG_LEN(2 * sizeof(int)))
            std::memcpy(fds, CMSG_DATA(c), 2 * sizeof(int));
        else if (c->cmsg_len == CMSG_LEN(sizeof(int)))
            std::memcpy(fds, CMSG_DATA(c), sizeof(int));
    }
    return true;
}

[[noreturn]] void runCleaner(int socket)
{
    std::map<uint64_t, Watched> watched;
    CleanerMessage message;
    int fds[2];
    while (receive(socket, message, fds)) {
        // What came along is closed at the end of the turn unless kept.
        Fd first(fds[0]);
        Fd second(fds[1]);
        if (message.kind == 'W' && first && second) {
            Watched entry{std::move(first), std::move(second),
                          std::string(message.name, strnlen(message.name, sizeof message.name)), {}};
            entry.st.st_dev = message.device;
            entry.st.st_ino = message.inode;
            watched[message.id] = std::move(entry);
        } else if (message.kind == 'D') {
            watched.erase(message.id);
        }
        // 'R': `first` is the last reference to a replaced file; closing it
        // frees the file's blocks here instead of in the tool.
    }
    // osslsigncode dies with the tool but may still be creating its output
    // for a moment, so the removal is tried for a while.
    for (int attempt = 0; attempt < 250 && !watched.empty(); ++attempt) {
        for (auto it = watched.begin(); it != watched.end();) {
            removeFolder(it->second.parent.get(), it->second.folder.get(), it->second.name.c_str(), it->second.st);
            struct stat now {};
            const bool gone = fstatat(it->second.parent.get(), it->second.name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0
                              || !sameFile(now, it->second.st);
            it = gone ? watched.erase(it) : std::next(it);
        }
        if (!watched.empty())
            pause(20);
    }
    _exit(0);
}

// With no descriptor, one (`first`) or two.
bool sendToCleaner(const CleanerMessage &message, int first = -1, int second = -1)
{
    iovec iov{const_cast<CleanerMessage *>(&message), sizeof message};
    msghdr header{};
    header.msg_iov = &iov;
    header.msg_iovlen = 1;
    char control[CMSG_SPACE(2 * sizeof(int))] = {};
    if (first >= 0) {
        const int count = second >= 0 ? 2 : 1;
        const int fds[2] = {first, second};
        header.msg_control = control;
        header.msg_controllen = CMSG_SPACE(count * sizeof(int));
        cmsghdr *c = CMSG_FIRSTHDR(&header);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(count * sizeof(int));
        std::memcpy(CMSG_DATA(c), fds, count * sizeof(int));
    }
    ssize_t n;
    while ((n = sendmsg(g_cleanerSocket, &header, MSG_NOSIGNAL)) < 0 && errno == EINTR) {
    }
    return n == static_cast<ssize_t>(sizeof message);
}

} // namespace

bool PrivateFolder::startCleaner()
{
    // One try only: a later fork could come after a PKCS#11 module started
    // threads, and a child forked then may hang on a lock one of them held.
    if (g_cleanerTried)
        return g_cleanerSocket >= 0;
    g_cleanerTried = true;
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) {
        g_cleanerErrno = errno;
        return false;
    }
    const pid_t first = fork();
    if (first < 0) {
        g_cleanerErrno = errno;
        close(pair[0]);
        close(pair[1]);
        return false;
    }
    if (first == 0) {
        // The grandchild, a child of init, so nobody has to wait for it.
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
        // Nothing open but its end of the socket: it must not hold the
        // tool's pipes or files open.
        if (dup2(pair[1], 3) < 0)
            _exit(1);
        close_range(4, ~0U, 0);
        runCleaner(3);
    }
    close(pair[1]);
    int status = 0;
    while (waitpid(first, &status, 0) < 0 && errno == EINTR) {
    }
    g_cleanerSocket = pair[0];
    return true;
}

bool PrivateFolder::cleanerRunning(int &startErrno)
{
    startErrno = g_cleanerErrno;
    return g_cleanerSocket >= 0;
}

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
    CleanerMessage watch;
    watch.kind = 'W';
    watch.id = ++g_nextFolderId;
    watch.device = st.st_dev;
    watch.inode = st.st_ino;
    std::memcpy(watch.name, name.data(), std::min(name.size(), sizeof watch.name));
    int startErrno = 0;
    if (!cleanerRunning(startErrno) || !sendToCleaner(watch, parent, folder.get())) {
        const int err = g_cleanerSocket >= 0 ? errno : startErrno;
        unlinkat(parent, name.c_str(), AT_REMOVEDIR);
        error = "cannot hand the temporary folder to its cleaner: " + errnoText(err ? err : EIO);
        return made;
    }
    made.m_id = watch.id;
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
    if (m_id != 0) {
        CleanerMessage done;
        done.kind = 'D';
        done.id = m_id;
        sendToCleaner(done);
        m_id = 0;
    }
    m_folder = Fd();
    m_parent = Fd();
}

PrivateFolder::~PrivateFolder()
{
    remove();
}

namespace {

// A file this size or larger is released in the cleaner at once.
constexpr off_t kReleaseAsideBytes = off_t(4) << 20;

void releaseInBackground(Fd replaced)
{
    if (!replaced || g_cleanerSocket < 0)
        return;
    CleanerMessage release;
    release.kind = 'R';
    sendToCleaner(release, replaced.get());
}

size_t defaultMaxReplacedFiles()
{
    struct rlimit limit {};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return 1024;
    return std::clamp<size_t>(size_t(limit.rlim_cur / 4), 1, 1024);
}

} // namespace

ReplacedFiles::ReplacedFiles(size_t maxFiles, off_t maxBytes)
    : m_maxFiles(maxFiles > 0 ? maxFiles : defaultMaxReplacedFiles()), m_maxBytes(maxBytes)
{
}

void ReplacedFiles::add(Fd file, off_t size)
{
    if (!file)
        return;
    if (size >= kReleaseAsideBytes) {
        releaseInBackground(std::move(file));
        return;
    }
    if (m_files.size() >= m_maxFiles || m_bytes + size > m_maxBytes)
        releaseAll();
    m_files.push_back(std::move(file));
    m_bytes += size;
}

void ReplacedFiles::releaseAll()
{
    m_files.clear();
    m_bytes = 0;
}

Replacement replaceWithCopy(int copy, int folder, const char *copyName, const OpenedFile &original,
                            const std::string &shownName)
{
    Replacement result;
    const mode_t setId = S_ISUID | S_ISGID;
    result.setIdDropped = (original.st.st_mode & setId) != 0;
    safefile::Keep keep;
    keep.setIdBits = false;
    if (const int err = safefile::takeOverMetadata(original.file.get(), original.st, copy, keep); err != 0) {
        struct stat copyStat {};
        const bool ownerDiffers = fstat(copy, &copyStat) == 0
            && (copyStat.st_uid != original.st.st_uid || copyStat.st_gid != original.st.st_gid);
        if (err == EPERM && ownerDiffers)
            result.error = "Cannot sign " + shownName + ": its owner and group (uid " + std::to_string(original.st.st_uid)
                + ", gid " + std::to_string(original.st.st_gid)
                + ") cannot be given to the signed copy (" + errnoText(err) + "); the file was not changed.";
        else
            result.error = "Cannot give the signed copy of " + shownName
                + " the permissions, ACL and extended attributes of the file (" + errnoText(err)
                + "); the file was not changed.";
        return result;
    }
    if (!stillNames(original.folder.get(), original.name, original.st)) {
        result.error = shownName + " was replaced or removed while it was being signed; nothing was changed.";
        return result;
    }
    if (renameat(folder, copyName, original.folder.get(), original.name.c_str()) != 0) {
        result.error = "Cannot replace " + shownName + " with its signed copy: " + errnoText(errno) + ".";
        return result;
    }
    return result;
}

} // namespace signtool
