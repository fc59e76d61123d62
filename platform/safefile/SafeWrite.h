#pragma once

// Writing files so that no other user can steer or read the write: every
// step after a name is looked up works on a descriptor, temporaries are
// created exclusively (O_EXCL | O_NOFOLLOW) beside the file, renames go
// relative to the folder's descriptor, and a file that takes the place of
// another keeps its owner, group, mode, ACL and extended attributes.

#include "PathWalk.h"

#include <string>
#include <string_view>

#include <sys/stat.h>

namespace safefile {

// An exclusively created file beside others in an open folder. It is
// removed with its owner unless committed.
class Temporary {
public:
    Temporary() = default;
    Temporary(Temporary &&) = default;
    Temporary &operator=(Temporary &&) = default;
    ~Temporary() { discard(); }

    // Creates "<prefix><random><suffix>" in `folder` with `mode`, never
    // opening a name that exists (another name is tried). The descriptor is
    // open for reading and writing. Returns 0 or the errno of the failure.
    int create(int folder, const std::string &prefix, const std::string &suffix, mode_t mode);

    int fd() const { return m_fd.get(); }
    const std::string &name() const { return m_name; }
    explicit operator bool() const { return m_fd.valid(); }

    // Syncs the file and renames it over `name` in the same folder; with
    // `expected`, only while `name` is still that entry (EBUSY otherwise).
    // The folder is synced after. Returns 0 or the errno of the failure.
    int commit(const std::string &name, const struct stat *expected);

    // Removes the name (only while it is still this file) and closes it.
    void discard();

private:
    int m_folder = -1; // the caller's; outlives the temporary
    Descriptor m_fd;
    std::string m_name;
};

// What a file's replacement takes over from it.
struct Keep {
    bool owner = true;            // owner and group (fchown, its result checked)
    bool setIdBits = true;        // false: set-user-ID and set-group-ID dropped (new content)
    bool attributes = true;       // ACL and the other extended attributes
};

// Gives `to` the owner, group and mode that `original` (the file `from`)
// has, then its ACL and extended attributes, as `keep` says. The security
// capability travels only with the set-id bits: like them it grants a
// program rights that new content must not inherit. Returns 0, or the errno
// of the first step that failed (EPERM when the owner cannot be given).
int takeOverMetadata(int from, const struct stat &original, int to, const Keep &keep);

// Copies the extended attributes (the access ACL among them) of `from` to
// `to`; `skipCapability` leaves security.capability out. Returns 0 or the
// errno of the failure.
int copyAttributes(int from, int to, bool skipCapability);

// Whether the running user may write the file `name` in `folder` that
// `info` describes. A file without any write bit counts as read-only, even
// for root, who could write anything.
bool writableByUs(int folder, const std::string &name, const struct stat &info);

// Replaces the contents of the file at `path` with `data`, as one step: a
// temporary beside it is written, synced and renamed over the name.
// - Every folder on the path and a link at the name itself are followed
//   only when they belong to the running user or to root (else EACCES);
//   the file a link leads to is rewritten and the link stays.
// - A file that the running user may not write, or that has no write bit,
//   is never written (EACCES); a folder there gives EISDIR.
// - Owner, group, mode, ACL and extended attributes are kept. Where the
//   temporary cannot be given them (changing the owner is not permitted),
//   or the folder takes no new file while the file itself is writable, the
//   file is written in place through its descriptor.
// - A new file is created with mode 0666 less the umask.
// Returns 0 or the errno of the failure.
int rewriteFile(const std::string &path, std::string_view data, WalkProblem *problem = nullptr);

// Copies the regular file `source` to the name `target`, through an
// exclusive temporary in the target's folder renamed over the name. The
// target's folders are walked with the link rule; a link at the target
// itself is replaced, not followed. A file there that the running user may
// not write, or that has no write bit, stays (EACCES); a folder gives
// EISDIR. The copy gets the source's permission bits (rwx) and its time of
// last writing. Returns 0 or the errno of the failure.
int copyFileReplacing(const std::string &source, const std::string &target, WalkProblem *problem = nullptr);

// Writes `data` to `path` so that readers only ever see the old file or the
// complete new one. With `replace` false an existing entry, a link
// included, is never touched. With `replace` a link at `path` is replaced,
// not followed. The file gets `newFileMode` either way, never the mode of
// what it replaces. The folders on the path are walked with the link rule.
enum class WriteResult { Written, Exists, Failed };
WriteResult writeFileAtomically(const std::string &path, const std::string &data, bool replace,
                                mode_t newFileMode, std::string &error);

// A temporary name's random part: `size` random bytes as hex digits. Empty
// (errno set) when the kernel has none.
std::string randomHex(size_t size);

// The system's text for an errno value.
std::string errnoText(int error);

// Why a walk failed, as the end of a sentence ("a symbolic link of another
// user (uid 65534) is in the way: Projects", or the system's text).
std::string walkProblemText(const WalkProblem &problem);

} // namespace safefile
