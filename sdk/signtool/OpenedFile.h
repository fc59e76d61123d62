#pragma once

// Opens a file to sign once, so that everything afterwards works on what was
// opened and no name is looked up again. The path is walked with the
// safe-file layer's link rule (safefile/PathWalk.h): a symbolic link is
// followed only when it belongs to the running user or to root.

#include "safefile/Descriptor.h"
#include "safefile/PathWalk.h"

#include <string>
#include <sys/stat.h>

namespace signtool {

using Fd = safefile::Descriptor;
using safefile::stillNames;

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

// Whether the file changed since it was opened, or can no longer be looked
// at. A digest made before a child finished stands for the file only if the
// file was not written since it was opened: a write changes its times.
bool changedSinceOpened(const OpenedFile &opened);

// ".ps1" of "Setup.ps1", for the name of a working copy (osslsigncode
// tells scripts by it): letters and digits only, at most 16 of them;
// otherwise none.
std::string copyExtensionOf(const std::string &name);

} // namespace signtool
