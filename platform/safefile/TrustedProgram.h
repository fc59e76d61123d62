#pragma once

// Whether root may start a program: only when no user but root could have
// placed or changed it. That holds when the file and every folder on the
// way to it (the folders that symbolic links lead through included) are
// owned by root and writable by no one else: no write bit for the group or
// for others, and no ACL entry that lets a named user or group, or the
// owning group, write. A user who may write any of them could put a program
// of their own in its place. The one exception is a sticky folder of root's
// such as /tmp: others may add entries there but cannot rename or remove
// root's, so the path through it holds when the entry under it is root's
// (and a name missing there is refused: anyone could make it).
//
// Plain C++ without Qt, so that the window and the SDK tools share it.

#include <string>

namespace safefile {

// Why root must not run the program at `path`, as a clause naming the path
// at fault ("/opt/q/sdk-bin is writable by group sudo"); empty when it may.
// A relative path is taken from the current folder. A path that names
// nothing (or no regular file) passes: starting it fails by itself, and no
// other user can put a program there, as the folders above are root's
// (unless the folder it would be in is a sticky one).
std::string untrustedProgramReason(const std::string &path);

// The rule applied only where it matters: empty unless the process runs as
// root (effective user id 0), else untrustedProgramReason(path).
std::string programRefusalForRoot(const std::string &path);

} // namespace safefile
