#include "OpenedFile.h"

#include "ToolSupport.h"

#include <cerrno>
#include <climits>
#include <deque>
#include <fcntl.h>
#include <unistd.h>

using namespace sdktool;

namespace signtool {

namespace {

constexpr int kMaxLinks = 40; // as the kernel's own limit

std::deque<std::string> components(const std::string &path)
{
    const std::vector<std::string> parts = splitNonEmpty(path, '/');
    return {parts.begin(), parts.end()};
}

std::string openError(const std::string &path, int err)
{
    if (err == ENOENT)
        return "File not found: " + path;
    if (err == ENOTDIR)
        return "File not found: " + path + " (a part of the path is not a folder)";
    return "Cannot open " + path + ": " + errnoText(err);
}

bool trustedLinkOwner(uid_t owner)
{
    return owner == 0 || owner == geteuid();
}

} // namespace

OpenedFile openFileToSign(const std::string &path, std::string &error)
{
    OpenedFile opened;
    if (path.empty()) {
        error = "File not found: " + path;
        return opened;
    }
    if (path.back() == '/') {
        error = path + " is not a file.";
        return opened;
    }
    Fd folder(open(path[0] == '/' ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!folder) {
        error = openError(path, errno);
        return opened;
    }
    std::deque<std::string> rest = components(path);
    int links = 0;
    while (!rest.empty()) {
        const std::string part = rest.front();
        rest.pop_front();
        if (part == ".")
            continue;
        struct stat st {};
        if (fstatat(folder.get(), part.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            error = openError(path, errno);
            return opened;
        }
        if (S_ISLNK(st.st_mode)) {
            if (!trustedLinkOwner(st.st_uid)) {
                error = "Cannot sign " + path + ": the symbolic link " + part + " on its path belongs to another user"
                        + " (uid " + std::to_string(st.st_uid) + ") and is not followed.";
                return opened;
            }
            if (++links > kMaxLinks) {
                error = openError(path, ELOOP);
                return opened;
            }
            char target[PATH_MAX];
            const ssize_t n = readlinkat(folder.get(), part.c_str(), target, sizeof target - 1);
            if (n <= 0) {
                error = openError(path, n < 0 ? errno : ENOENT);
                return opened;
            }
            const std::string text(target, static_cast<size_t>(n));
            std::deque<std::string> spliced = components(text);
            rest.insert(rest.begin(), spliced.begin(), spliced.end());
            if (text[0] == '/') {
                folder = Fd(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
                if (!folder) {
                    error = openError(path, errno);
                    return opened;
                }
            }
            // A link to a folder that ends the path ("dir/link" -> "sub/"):
            // there is nothing left to open as a file.
            if (rest.empty() && !spliced.empty() && text.back() == '/') {
                error = path + " is not a file.";
                return opened;
            }
            if (spliced.empty() && rest.empty()) {
                error = path + " is not a file.";
                return opened;
            }
            continue;
        }
        if (!rest.empty() || part == "..") {
            // A folder on the way: never a link (it was not one a moment
            // ago; if it is now, the open fails).
            Fd next(openat(folder.get(), part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (!next) {
                error = openError(path, errno);
                return opened;
            }
            folder = std::move(next);
            if (rest.empty()) {
                error = path + " is not a file.";
                return opened;
            }
            continue;
        }
        // The file itself. Only a regular file is opened at all: opening a
        // device or a FIFO can block or have effects of its own.
        if (!S_ISREG(st.st_mode)) {
            error = path + " is not a file.";
            return opened;
        }
        Fd file(openat(folder.get(), part.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        if (!file) {
            error = errno == ELOOP ? "Cannot sign " + path + ": it was replaced while it was being opened."
                                   : "Cannot sign " + path + ": " + errnoText(errno) + ".";
            if (errno == EACCES)
                error = "Cannot sign " + path + ": the file is read-only or not readable.";
            return opened;
        }
        if (fstat(file.get(), &opened.st) != 0 || !S_ISREG(opened.st.st_mode) || opened.st.st_dev != st.st_dev
            || opened.st.st_ino != st.st_ino) {
            error = "Cannot sign " + path + ": it was replaced while it was being opened.";
            return opened;
        }
        // Back to blocking reads for the signer's child.
        const int flags = fcntl(file.get(), F_GETFL);
        if (flags >= 0)
            fcntl(file.get(), F_SETFL, flags & ~O_NONBLOCK);
        // The folder descriptor must allow creating and renaming entries.
        Fd realFolder(openat(folder.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!realFolder) {
            error = "Cannot sign " + path + ": its folder cannot be opened: " + errnoText(errno) + ".";
            return opened;
        }
        opened.file = std::move(file);
        opened.folder = std::move(realFolder);
        opened.name = part;
        return opened;
    }
    error = path + " is not a file.";
    return opened;
}

bool stillNames(int folder, const std::string &name, const struct stat &st)
{
    struct stat now {};
    return fstatat(folder, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(now.st_mode)
           && now.st_dev == st.st_dev && now.st_ino == st.st_ino;
}

} // namespace signtool
