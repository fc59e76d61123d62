#include "PathWalk.h"

#include <climits>
#include <deque>
#include <vector>

namespace safefile {

namespace {

constexpr int kMaxLinks = 40; // as the kernel's own limit

void appendComponents(std::deque<std::string> &to, const std::string &path, bool atFront)
{
    const std::vector<std::string> parts = pathComponents(path);
    if (atFront)
        to.insert(to.begin(), parts.begin(), parts.end());
    else
        to.insert(to.end(), parts.begin(), parts.end());
}

int fail(WalkProblem *problem, int error)
{
    if (problem)
        problem->error = error;
    return error;
}

int openRoot(bool absolute, Descriptor &folder)
{
    folder.reset(openRetrying(absolute ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    return folder ? 0 : errno;
}

// Where a walk ends: the folder of the last component (or the last folder
// itself when everything was a folder).
struct WalkEnd {
    Descriptor folder; // O_PATH
    std::string name;  // empty when the path named the folder itself
    bool exists = false;
    struct stat info {};
};

// The walk itself. With `everyComponentAFolder` the last component is
// opened as a folder too (and may be "." or ".."), and `end.name` stays
// empty; otherwise it ends at the last name.
int walk(const std::string &path, FinalLink finalLink, bool everyComponentAFolder, WalkEnd &end,
         WalkProblem *problem)
{
    if (path.empty())
        return fail(problem, ENOENT);
    if (const int error = openRoot(path[0] == '/', end.folder))
        return fail(problem, error);
    std::deque<std::string> rest;
    appendComponents(rest, path, false);
    const bool endsWithSlash = path.back() == '/';
    if (!everyComponentAFolder && (rest.empty() || endsWithSlash))
        return fail(problem, EISDIR);
    int links = 0;
    while (!rest.empty()) {
        const std::string part = rest.front();
        rest.pop_front();
        const bool last = rest.empty();
        if (part == "." || (part == ".." && everyComponentAFolder) || (part == ".." && !last)) {
            if (part == "..") {
                Descriptor up(openAtRetrying(end.folder.get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
                if (!up)
                    return fail(problem, errno);
                end.folder = std::move(up);
            } else if (last && !everyComponentAFolder) {
                return fail(problem, EISDIR);
            }
            continue;
        }
        if (part == "..")
            return fail(problem, EISDIR);
        struct stat st {};
        if (::fstatat(end.folder.get(), part.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (last && !everyComponentAFolder && errno == ENOENT) {
                end.name = part;
                end.exists = false;
                return 0;
            }
            return fail(problem, errno);
        }
        if (S_ISLNK(st.st_mode) && !(last && !everyComponentAFolder && finalLink == FinalLink::Stop)) {
            if (!trustedLinkOwner(st.st_uid)) {
                if (problem) {
                    problem->untrustedLink = part;
                    problem->linkOwner = st.st_uid;
                }
                return fail(problem, EACCES);
            }
            if (++links > kMaxLinks)
                return fail(problem, ELOOP);
            char target[PATH_MAX];
            const ssize_t n = ::readlinkat(end.folder.get(), part.c_str(), target, sizeof target - 1);
            if (n <= 0)
                return fail(problem, n < 0 ? errno : ENOENT);
            const std::string text(target, static_cast<size_t>(n));
            const size_t before = rest.size();
            appendComponents(rest, text, true);
            if (text[0] == '/') {
                if (const int error = openRoot(true, end.folder))
                    return fail(problem, error);
            }
            // A link that ends the path and leads to a folder itself ("/",
            // ".", "sub/"): nothing is left to name as a file.
            if (!everyComponentAFolder && last && (rest.size() == before || text.back() == '/'))
                return fail(problem, EISDIR);
            continue;
        }
        if (!last || everyComponentAFolder) {
            // A folder on the way: never a link (it was not one a moment
            // ago; if it is now, the open fails).
            Descriptor next(openAtRetrying(end.folder.get(), part.c_str(),
                                           O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (!next)
                return fail(problem, errno);
            end.folder = std::move(next);
            continue;
        }
        end.name = part;
        end.exists = true;
        end.info = st;
        return 0;
    }
    return 0;
}

// An O_PATH folder reopened for reading, creating and renaming entries.
int reopenFolder(const Descriptor &pathOnly, Descriptor &folder)
{
    folder.reset(openAtRetrying(pathOnly.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return folder ? 0 : errno;
}

} // namespace

bool trustedLinkOwner(uid_t owner)
{
    return owner == 0 || owner == ::geteuid();
}

int walkToPlace(const std::string &path, FinalLink finalLink, Place &place, WalkProblem *problem)
{
    WalkEnd end;
    if (const int error = walk(path, finalLink, false, end, problem))
        return error;
    if (const int error = reopenFolder(end.folder, place.folder))
        return fail(problem, error);
    place.name = end.name;
    place.exists = end.exists;
    place.info = end.info;
    return 0;
}

int openFolder(const std::string &path, Descriptor &folder, WalkProblem *problem)
{
    WalkEnd end;
    if (const int error = walk(path, FinalLink::Follow, true, end, problem))
        return error;
    if (const int error = reopenFolder(end.folder, folder))
        return fail(problem, error);
    return 0;
}

std::string folderOf(const std::string &path)
{
    const auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

bool stillNames(int folder, const std::string &name, const struct stat &st)
{
    struct stat now {};
    return ::fstatat(folder, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(now.st_mode)
        && sameFile(now, st);
}

std::vector<std::string> pathComponents(const std::string &path)
{
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        if (end > start)
            parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

} // namespace safefile
