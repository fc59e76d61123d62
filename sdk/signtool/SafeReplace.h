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
#include <vector>
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

// Puts the copy `copyName` of the private folder `folder` (its descriptor
// `copy`, already checked and synced to disk) in the place of the file
// `original` was opened as: with the original's owner and group, mode
// (without set-user-ID and set-group-ID bits: the content changed), ACL and
// extended attributes (without the security capability, for the same
// reason), and only while its name still is that file. When any of them cannot be given to the
// copy (a user who may not give a file away), nothing is replaced and
// `error` says why. `shownName` names the file in messages.
Replacement replaceWithCopy(int copy, int folder, const char *copyName, const OpenedFile &original,
                            const std::string &shownName);

// The files that signed copies replaced in one run, freed together rather
// than one by one. On ext4 without a journal, making a file passes over
// every inode of its group freed in the last 30 seconds, so freeing one
// file per signed file made each new copy slower than the one before (up
// to a tenth of all the run's CPU time for 1,000 files). A large file goes to
// the cleaner at once; small ones are held, within a bound of descriptors
// and bytes, and released all together when the bound is reached and at
// the end. A large file's last descriptor is closed in the cleaner (when it
// runs): freeing its blocks takes a while (about a tenth of a second per
// gigabyte), which the tool need not wait for.
class ReplacedFiles {
public:
    // `maxFiles` 0: a quarter of the descriptors this process may open,
    // at most 1,024.
    explicit ReplacedFiles(size_t maxFiles = 0, off_t maxBytes = off_t(256) << 20);
    ~ReplacedFiles() { releaseAll(); }
    ReplacedFiles(const ReplacedFiles &) = delete;
    ReplacedFiles &operator=(const ReplacedFiles &) = delete;

    // `size`: the file's size when it was opened.
    void add(Fd file, off_t size);
    void releaseAll();
    size_t held() const { return m_files.size(); }

private:
    std::vector<Fd> m_files;
    off_t m_bytes = 0;
    size_t m_maxFiles;
    off_t m_maxBytes;
};

} // namespace signtool
