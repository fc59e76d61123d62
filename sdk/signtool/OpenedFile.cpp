#include "OpenedFile.h"

#include "ToolSupport.h"

#include <cctype>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

using namespace sdktool;

namespace signtool {

namespace {

std::string openError(const std::string &path, int err)
{
    if (err == ENOENT)
        return "File not found: " + path;
    if (err == ENOTDIR)
        return "File not found: " + path + " (a part of the path is not a folder)";
    return "Cannot open " + path + ": " + errnoText(err);
}

} // namespace

OpenedFile openFileToSign(const std::string &path, std::string &error)
{
    OpenedFile opened;
    safefile::Place place;
    safefile::WalkProblem problem;
    if (safefile::walkToPlace(path, safefile::FinalLink::Follow, place, &problem) != 0) {
        if (!problem.untrustedLink.empty())
            error = "Cannot sign " + path + ": the symbolic link " + problem.untrustedLink
                + " on its path belongs to another user (uid " + std::to_string(problem.linkOwner)
                + ") and is not followed.";
        else if (problem.error == EISDIR)
            error = path + " is not a file.";
        else
            error = openError(path, problem.error);
        return opened;
    }
    if (!place.exists) {
        error = openError(path, ENOENT);
        return opened;
    }
    // Only a regular file is opened at all: opening a device or a FIFO can
    // block or have effects of its own.
    if (!S_ISREG(place.info.st_mode)) {
        error = path + " is not a file.";
        return opened;
    }
    Fd file(openat(place.folder.get(), place.name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!file) {
        error = errno == ELOOP ? "Cannot sign " + path + ": it was replaced while it was being opened."
                               : "Cannot sign " + path + ": " + errnoText(errno) + ".";
        if (errno == EACCES)
            error = "Cannot sign " + path + ": the file is read-only or not readable.";
        return opened;
    }
    if (fstat(file.get(), &opened.st) != 0 || !S_ISREG(opened.st.st_mode) || !safefile::sameFile(opened.st, place.info)) {
        error = "Cannot sign " + path + ": it was replaced while it was being opened.";
        return opened;
    }
    // Back to blocking reads for the signer's child.
    safefile::clearNonBlocking(file.get());
    opened.file = std::move(file);
    opened.folder = std::move(place.folder);
    opened.name = place.name;
    return opened;
}

bool changedSinceOpened(const OpenedFile &opened)
{
    struct stat now {};
    const struct stat &then = opened.st;
    return fstat(opened.file.get(), &now) != 0 || now.st_size != then.st_size
           || now.st_mtim.tv_sec != then.st_mtim.tv_sec || now.st_mtim.tv_nsec != then.st_mtim.tv_nsec
           || now.st_ctim.tv_sec != then.st_ctim.tv_sec || now.st_ctim.tv_nsec != then.st_ctim.tv_nsec;
}

std::string copyExtensionOf(const std::string &name)
{
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0 || name.size() - dot > 17 || dot + 1 == name.size())
        return {};
    for (size_t i = dot + 1; i < name.size(); ++i) {
        if (!std::isalnum(static_cast<unsigned char>(name[i])))
            return {};
    }
    return name.substr(dot);
}

} // namespace signtool
