#pragma once

// Putting a signed copy in the place of the file it was made from, so that
// the file's name only ever shows the old or the complete new content, and
// nothing but that name is ever touched.
//
// osslsigncode writes its output by name and refuses a name that exists, so
// it cannot be handed an O_TMPFILE descriptor. It writes instead into a
// private folder (mode 0700, owned by this process's user) made in the
// file's own folder (the same file system, so the final rename is atomic)
// and reached only through a descriptor ("/dev/fd/N/signed"): no other user
// can enter the folder, plant a link in it, or read the copy. A cleaner
// process, which learns of every folder, removes them should this tool be
// killed before it could do so itself (kill -9 included).

#include "OpenedFile.h"

#include <cstdint>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>

namespace signtool {

class PrivateFolder {
public:
    PrivateFolder() = default;
    PrivateFolder(PrivateFolder &&) = default;
    PrivateFolder &operator=(PrivateFolder &&) = default;
    ~PrivateFolder(); // removes the folder and what is in it

    // Makes the folder inside `parent`; on failure the result is empty and
    // `error` says why.
    static PrivateFolder create(int parent, std::string &error);

    // Starts the cleaner process. Call it once, before any thread is
    // started (a PKCS#11 module may start some): it forks and runs on in the
    // child. Later calls never fork again; they say how the first went.
    static bool startCleaner();
    // Whether the cleaner runs; when not, `startErrno` says why it failed
    // to start (0: it was never started).
    static bool cleanerRunning(int &startErrno);

    explicit operator bool() const { return static_cast<bool>(m_folder); }
    int descriptor() const { return m_folder.get(); }

    // Removes the folder (and a copy left in it) now.
    void remove();

private:
    Fd m_parent;
    Fd m_folder;
    std::string m_name;
    struct stat m_st {};
    uint64_t m_id = 0; // the cleaner's name for it
};

struct Replacement {
    std::string error;    // empty on success
    bool setIdDropped = false;
};

// Puts the copy `copyName` of `folder` (its descriptor `copy`, already
// checked and synced to disk) in the place of the file `original` was opened
// as: with the original's owner and group, mode (without set-user-ID and
// set-group-ID bits: the content changed), ACL and extended attributes
// (without the security capability, for the same reason), and only while
// its name still is that file. When any of them cannot be given to the
// copy (a user who may not give a file away), nothing is replaced and
// `error` says why. `shownName` names the file in messages.
Replacement replaceWithCopy(int copy, const PrivateFolder &folder, const char *copyName, const OpenedFile &original,
                            const std::string &shownName);

// Closes the last descriptor of a file that a copy has replaced, in the
// cleaner when it runs: freeing a large file's blocks takes a while (about
// a tenth of a second per gigabyte), which the tool need not wait for.
void releaseInBackground(Fd replaced);

} // namespace signtool
