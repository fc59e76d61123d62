#include "SharedFolders.h"

#include "ToolSupport.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace signtool {

FolderShare::FolderShare(std::shared_ptr<PrivateFolder> folder, std::string prefix)
    : m_folder(std::move(folder)), m_prefix(std::move(prefix))
{
}

FolderShare &FolderShare::operator=(FolderShare &&other)
{
    if (this != &other) {
        remove();
        m_folder = std::move(other.m_folder);
        m_prefix = std::move(other.m_prefix);
        m_claimed = std::move(other.m_claimed);
    }
    return *this;
}

std::string FolderShare::claim(const std::string &name)
{
    m_claimed.push_back(m_prefix + name);
    return m_claimed.back();
}

void FolderShare::remove()
{
    if (m_folder && *m_folder) {
        for (const std::string &name : m_claimed)
            unlinkat(m_folder->descriptor(), name.c_str(), 0);
    }
    m_claimed.clear();
    m_folder.reset();
}

FolderShare PrivateFolders::shareIn(int parent, std::string &error)
{
    struct stat st {};
    if (fstat(parent, &st) != 0) {
        error = sdktool::errnoText(errno);
        return {};
    }
    std::weak_ptr<PrivateFolder> &known = m_folders[{st.st_dev, st.st_ino}];
    std::shared_ptr<PrivateFolder> folder = known.lock();
    if (!folder) {
        PrivateFolder made = PrivateFolder::create(parent, error);
        if (!made)
            return {};
        folder = std::make_shared<PrivateFolder>(std::move(made));
        known = folder;
    }
    return FolderShare(std::move(folder), std::to_string(++m_shares) + "-");
}

} // namespace signtool
