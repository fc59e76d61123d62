#pragma once

// The file that receives a child's output while it runs, in a folder that
// other users may write to. It is always created anew and exclusively
// (O_EXCL | O_NOFOLLOW, mode 0600), so no one else's file is ever written or
// read. A plain file already under the name is removed first when it
// belongs to the running user or to root (a folder, link or FIFO of theirs
// is refused and stays); another user's entry of any kind stays, and a
// private name beside it is used instead. What the child wrote is read back
// through the same descriptor, never by name.

#include "PathWalk.h"

#include <string>

namespace safefile {

class CaptureFile {
public:
    CaptureFile() = default;
    CaptureFile(CaptureFile &&) = default;
    CaptureFile &operator=(CaptureFile &&) = default;

    // Creates the file for `path` (the folders on it walked with the link
    // rule). Returns 0 or the errno of the failure.
    int create(const std::string &path, WalkProblem *problem = nullptr);

    int fd() const { return m_fd.get(); }
    // The name used in the folder: the one asked for, or a private one
    // beside it when another user's entry holds that name.
    const std::string &name() const { return m_name; }
    // The path of the file made, in the form of the path asked for.
    const std::string &path() const { return m_path; }
    const struct stat &info() const { return m_info; }

    // Everything written to the file so far, read through its descriptor.
    int readAll(std::string &data) const;

    // 0 while the name still names this file; else ENOENT (gone), EINVAL
    // (something other than a plain file there) or EBUSY (another file).
    int stillNamed() const;

    // Removes the name: this file, or what the running user or root put in
    // its place (not a folder); another user's entry stays.
    void remove();

private:
    Descriptor m_folder;
    Descriptor m_fd;
    std::string m_name;
    std::string m_path;
    struct stat m_info {};
};

} // namespace safefile
