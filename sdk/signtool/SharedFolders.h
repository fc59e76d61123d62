#pragma once

// The private folders (SafeReplace.h) of one run: one per folder of files,
// shared by the files of that folder that are being signed at the same
// time. A folder of its own for each file took some fifteen system calls
// and two messages to the cleaner per file, and on ext4 without a journal
// each removed folder slowed the making of every file after it.

#include "SafeReplace.h"

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace signtool {

// One file's share of a private folder: the names it claimed there, which
// it removes when it lets go. The folder itself is removed with the last
// share of it.
class FolderShare {
public:
    FolderShare() = default;
    FolderShare(std::shared_ptr<PrivateFolder> folder, std::string prefix);
    FolderShare(FolderShare &&) = default;
    FolderShare &operator=(FolderShare &&other);
    ~FolderShare() { remove(); }

    explicit operator bool() const { return m_folder && *m_folder; }
    int descriptor() const { return m_folder ? m_folder->descriptor() : -1; }

    // A name in the folder that no other share uses, `name` with this
    // share's prefix (its extension stays last); removed with the share.
    std::string claim(const std::string &name);

    // Removes the claimed names and lets go of the folder.
    void remove();

private:
    std::shared_ptr<PrivateFolder> m_folder;
    std::string m_prefix;
    std::vector<std::string> m_claimed;
};

class PrivateFolders {
public:
    // A share of the private folder inside `parent`, made when no file of
    // that folder holds one; on failure the result is empty and `error`
    // says why. Not thread-safe: the run prepares its files one by one.
    FolderShare shareIn(int parent, std::string &error);

private:
    std::map<std::pair<dev_t, ino_t>, std::weak_ptr<PrivateFolder>> m_folders;
    unsigned long long m_shares = 0;
};

} // namespace signtool
