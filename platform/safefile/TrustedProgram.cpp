#include "TrustedProgram.h"

#include "PathWalk.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace safefile {

namespace {

// The kernel's form of a POSIX ACL in the "system.posix_acl_access"
// attribute: a version word, then entries of tag, permissions and id, all
// little-endian.
constexpr std::uint32_t kAclVersion = 2;
constexpr std::uint16_t kAclUser = 0x02;
constexpr std::uint16_t kAclGroupObj = 0x04;
constexpr std::uint16_t kAclGroup = 0x08;
constexpr std::uint16_t kAclWrite = 0x02;
constexpr int kMaxLinkHops = 40;

std::uint32_t littleEndian(const unsigned char *bytes, int size)
{
    std::uint32_t value = 0;
    for (int i = size - 1; i >= 0; --i)
        value = value << 8 | bytes[i];
    return value;
}

std::string userName(uid_t uid)
{
    passwd entry {};
    passwd *found = nullptr;
    char buffer[4096];
    if (::getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) == 0 && found)
        return found->pw_name;
    return std::to_string(uid);
}

std::string groupName(gid_t gid)
{
    group entry {};
    group *found = nullptr;
    char buffer[8192];
    if (::getgrgid_r(gid, &entry, buffer, sizeof buffer, &found) == 0 && found)
        return found->gr_name;
    return std::to_string(gid);
}

std::string errorText(int error)
{
    return std::strerror(error);
}

// Who besides the owner may write the entry, by its ACL; empty when no
// one (or when it has no ACL beyond its mode bits).
std::string aclWriter(const std::string &path, const struct stat &info)
{
    unsigned char acl[4 + 8 * 256];
    const ssize_t size = ::lgetxattr(path.c_str(), "system.posix_acl_access", acl, sizeof acl);
    if (size < 0) {
        // ERANGE: more entries than anyone sets by hand; not trusted.
        return errno == ERANGE ? "has more ACL entries than can be checked" : std::string();
    }
    if (size < 4 || littleEndian(acl, 4) != kAclVersion || (size - 4) % 8 != 0)
        return "has an ACL that cannot be read";
    for (ssize_t at = 4; at < size; at += 8) {
        const std::uint16_t tag = static_cast<std::uint16_t>(littleEndian(acl + at, 2));
        const std::uint16_t permissions = static_cast<std::uint16_t>(littleEndian(acl + at + 2, 2));
        const std::uint32_t id = littleEndian(acl + at + 4, 4);
        if (!(permissions & kAclWrite))
            continue;
        if (tag == kAclUser && id != 0)
            return "is writable by user " + userName(id);
        if (tag == kAclGroup)
            return "is writable by group " + groupName(id);
        if (tag == kAclGroupObj)
            return "is writable by group " + groupName(info.st_gid);
    }
    return {};
}

// A folder of root's with the sticky bit (/tmp): others may add entries to
// it, but only root may rename or remove root's entries there, so a path
// through it stays root's as long as each entry on it is root's.
bool rootsStickyFolder(const struct stat &info)
{
    return S_ISDIR(info.st_mode) && (info.st_mode & S_ISVTX) && info.st_uid == 0;
}

// Why this one entry (a folder, the program or a link on the way) could
// have been changed by a user other than root; empty when it could not.
std::string entryProblem(const std::string &path, const struct stat &info)
{
    const std::string shown = path.empty() ? "/" : path;
    if (info.st_uid != 0)
        return shown + " is owned by user " + userName(info.st_uid);
    if (S_ISLNK(info.st_mode))
        return {}; // a link's own mode bits mean nothing; its folder was checked
    if (rootsStickyFolder(info))
        return {}; // the next entry's owner decides (see rootsStickyFolder)
    if (info.st_mode & S_IWOTH)
        return shown + " is writable by every user";
    if (const std::string writer = aclWriter(shown, info); !writer.empty())
        return shown + " " + writer;
    // Without an ACL the group bits are the owning group's; with one they
    // are the mask, which aclWriter has judged through the entries.
    char probe[4];
    const bool hasAcl = ::lgetxattr(shown.c_str(), "system.posix_acl_access", probe, 0) > 0;
    if ((info.st_mode & S_IWGRP) && !hasAcl)
        return shown + " is writable by group " + groupName(info.st_gid);
    return {};
}

} // namespace

std::string untrustedProgramReason(const std::string &path)
{
    if (path.empty())
        return "no program was named";
    std::string absolute = path;
    if (absolute[0] != '/') {
        char folder[4096];
        if (!::getcwd(folder, sizeof folder))
            return path + " cannot be checked: the current folder is unknown";
        absolute = std::string(folder) + "/" + path;
    }

    // The walk goes through the names one at a time, as the kernel would
    // when it starts the program, so that every folder it passes counts.
    std::vector<std::string> pending = pathComponents(absolute);
    std::vector<std::string> walked; // the folders reached, from the root down
    int hops = 0;
    struct stat info {};
    if (::lstat("/", &info) != 0)
        return "/ cannot be checked: " + errorText(errno);
    if (std::string problem = entryProblem("", info); !problem.empty())
        return problem;
    const bool rootIsSticky = rootsStickyFolder(info);
    bool inStickyFolder = rootIsSticky;
    while (!pending.empty()) {
        const std::string name = pending.front();
        pending.erase(pending.begin());
        if (name == ".")
            continue;
        if (name == "..") {
            if (!walked.empty())
                walked.pop_back();
            inStickyFolder = true; // not known here: a missing entry is refused
            continue;
        }
        std::string here;
        for (const std::string &folder : walked)
            here += "/" + folder;
        here += "/" + name;
        if (::lstat(here.c_str(), &info) != 0) {
            // Nothing there to run, and only root could put something there:
            // the folders up to here are root's alone. In a sticky folder
            // anyone could, between this check and the start.
            if (errno == ENOENT)
                return inStickyFolder ? here + " does not exist, and every user may make it" : std::string();
            return here + " cannot be checked: " + errorText(errno);
        }
        if (std::string problem = entryProblem(here, info); !problem.empty())
            return problem;
        if (S_ISLNK(info.st_mode)) {
            if (++hops > kMaxLinkHops)
                return here + " leads through too many symbolic links";
            std::vector<char> target(static_cast<size_t>(info.st_size > 0 ? info.st_size : 4096) + 1);
            const ssize_t length = ::readlink(here.c_str(), target.data(), target.size());
            if (length < 0 || static_cast<size_t>(length) >= target.size())
                return here + " cannot be checked: " + errorText(length < 0 ? errno : ENAMETOOLONG);
            const std::string text(target.data(), static_cast<size_t>(length));
            if (!text.empty() && text[0] == '/') {
                walked.clear();
                inStickyFolder = rootIsSticky;
            }
            std::vector<std::string> rest = pathComponents(text);
            rest.insert(rest.end(), pending.begin(), pending.end());
            pending = std::move(rest);
            continue;
        }
        // Whatever is not a folder ends the walk: a program, or something
        // the start refuses by itself (a device, or a file in place of a
        // folder), all of them root's alone as checked.
        if (pending.empty() || !S_ISDIR(info.st_mode))
            return {};
        walked.push_back(name);
        inStickyFolder = rootsStickyFolder(info);
    }
    return {}; // a folder: the start refuses it
}

std::string programRefusalForRoot(const std::string &path)
{
    if (::geteuid() != 0)
        return {};
    return untrustedProgramReason(path);
}

} // namespace safefile
