#pragma once

// Putting a signed copy in the place of the file it was made from, so that
// the file's name only ever shows the old or the complete new content.

#include <string>
#include <sys/stat.h>

namespace signtool {

// A fresh, unguessable name for a temporary file in the folder of `target`
// (the same file system, so the final rename is atomic). Empty, with
// `error` set, when no random bytes could be had or the path is too long.
std::string temporaryNameBeside(const std::string &target, std::string &error);

// The temporary file in use, so that a signal handler can remove it. One at
// a time; forgetTemporary() once it is renamed or removed.
void rememberTemporary(const std::string &path);
void forgetTemporary();
// Async-signal-safe.
void removeRememberedTemporary();

// Syncs `copy` to disk, gives it the permissions (and, where allowed, the
// owner) of `original` and renames it over `target`. Returns the error
// text naming the file as `shownName`, empty on success; on failure `copy`
// is left for the caller.
std::string replaceWithCopy(const std::string &copy, const std::string &target, const struct stat &original,
                            const std::string &shownName);

} // namespace signtool
