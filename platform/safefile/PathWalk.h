#pragma once

// Finding what a path names without letting another user steer the search.
// A path is walked one component at a time, each folder opened relative to
// the one before; a symbolic link is followed only when it belongs to the
// running user or to root (the user's own choice, or the system's). Anyone
// else's link, in place of a folder or of the file itself, could aim a
// write or a read made by root at any file of the system.

#include "Descriptor.h"

#include <string>
#include <vector>

#include <sys/stat.h>
#include <sys/types.h>

namespace safefile {

// Whether a link with this owner is followed.
bool trustedLinkOwner(uid_t owner);

// Why a walk stopped.
struct WalkProblem {
    int error = 0;            // errno; EACCES for a link that is not followed
    std::string untrustedLink; // the link's name as found on the path, when that was the cause
    uid_t linkOwner = 0;
};

// An entry in an open folder.
struct Place {
    Descriptor folder;  // O_RDONLY | O_DIRECTORY: fit for creating and renaming entries
    std::string name;   // the entry's name in it
    bool exists = false;
    struct stat info {}; // the entry itself (a link not followed), when it exists
};

enum class FinalLink {
    Stop,    // the last component is taken as it is, a link included
    Follow,  // a trusted link at the last component leads on to its target
};

// Walks `path` and opens the folder that holds its last component. The last
// component must be a name (not empty, ".", "..": EISDIR). With
// FinalLink::Follow a trusted link there is followed, to any depth (ELOOP
// after 40 links, as the kernel); the place is then the end of the chain.
// Returns 0, or the errno of the failure with `problem` (when given) saying
// more.
int walkToPlace(const std::string &path, FinalLink finalLink, Place &place, WalkProblem *problem = nullptr);

// Walks `path` to a folder and opens it (O_RDONLY | O_DIRECTORY), with the
// link rule on every component. Returns 0 or the errno of the failure.
int openFolder(const std::string &path, Descriptor &folder, WalkProblem *problem = nullptr);

// The folder part of a path ("." for a bare name, "/" for a name at the root).
std::string folderOf(const std::string &path);

// Whether `name` in `folder` is still the regular file that `st` describes.
bool stillNames(int folder, const std::string &name, const struct stat &st);

inline bool sameFile(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The names between the slashes of `path`, empty ones (from "//" or a
// leading or trailing slash) left out.
std::vector<std::string> pathComponents(const std::string &path);

} // namespace safefile
