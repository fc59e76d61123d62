#pragma once

// Opens a file to sign once, so that everything afterwards works on what was
// opened and no name is looked up again. The path is walked one component
// at a time: a symbolic link is followed only when it belongs to the running
// user or to root (the user's own choice, or the system's), since another
// user could swap a link of theirs for one to any file of the system.

#include "Fd.h"

#include <string>
#include <sys/stat.h>

namespace signtool {

struct OpenedFile {
    Fd file;          // read-only, on the file itself
    Fd folder;        // the folder holding it (the folder of a link's target)
    std::string name; // its name in that folder
    struct stat st {};
};

// Opens `path` for reading. Returns an empty `file` with `error` set (a
// complete sentence naming `path`) when the path cannot be walked, a link of
// another user is in the way, or it is not a regular file.
OpenedFile openFileToSign(const std::string &path, std::string &error);

// Whether `name` in `folder` is still the file that `st` describes.
bool stillNames(int folder, const std::string &name, const struct stat &st);

} // namespace signtool
