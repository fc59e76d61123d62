#include "CaptureFile.h"

#include "SafeWrite.h"

namespace safefile {

namespace {

int createExclusively(int folder, const std::string &name)
{
    return openAtRetrying(folder, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
}

// Why an entry of the running user's own (or root's) cannot serve as the
// capture file: only a plain file is replaced; a folder, a link or a FIFO
// there is someone's deliberate choice and stays.
int ownEntryProblem(const struct stat &there)
{
    if (S_ISREG(there.st_mode))
        return 0;
    return S_ISDIR(there.st_mode) ? EISDIR : S_ISLNK(there.st_mode) ? ELOOP : ENXIO;
}

} // namespace

int CaptureFile::create(const std::string &path, WalkProblem *problem)
{
    Place place;
    if (const int error = walkToPlace(path, FinalLink::Stop, place, problem))
        return error;
    std::string name = place.name;
    Descriptor fd(createExclusively(place.folder.get(), name));
    if (!fd && errno == EEXIST) {
        struct stat there {};
        if (::fstatat(place.folder.get(), name.c_str(), &there, AT_SYMLINK_NOFOLLOW) != 0)
            return errno == ENOENT ? EAGAIN : errno; // gone again meanwhile: someone is at work there
        if (trustedLinkOwner(there.st_uid)) {
            if (const int error = ownEntryProblem(there))
                return error;
            if (::unlinkat(place.folder.get(), name.c_str(), 0) != 0)
                return errno;
            fd.reset(createExclusively(place.folder.get(), name));
        } else {
            // Another user's: neither written nor removed.
            Temporary beside;
            if (const int error = beside.create(place.folder.get(), name.substr(0, 200) + ".", ".tmp", 0600))
                return error;
            fd.reset(::dup(beside.fd()));
            name = beside.name();
            beside = Temporary(); // handed on, not discarded
        }
    }
    if (!fd)
        return errno;
    if (::fstat(fd.get(), &m_info) != 0)
        return errno;
    // The umask may have narrowed the mode; it may not widen it.
    if ((m_info.st_mode & 07777) != 0600 && ::fchmod(fd.get(), 0600) != 0)
        return errno;
    m_folder = std::move(place.folder);
    m_fd = std::move(fd);
    m_name = name;
    const size_t slash = path.rfind('/');
    m_path = slash == std::string::npos ? name : path.substr(0, slash + 1) + name;
    return 0;
}

int CaptureFile::readAll(std::string &data) const
{
    return readAllAt(m_fd.get(), 0, data);
}

int CaptureFile::stillNamed() const
{
    struct stat there {};
    if (::fstatat(m_folder.get(), m_name.c_str(), &there, AT_SYMLINK_NOFOLLOW) != 0)
        return errno;
    if (sameFile(there, m_info))
        return 0;
    return S_ISREG(there.st_mode) ? EBUSY : EINVAL;
}

void CaptureFile::remove()
{
    if (m_fd && !m_name.empty()) {
        // The file made, or what the running user (or root) put in its
        // place; never another user's entry.
        struct stat there {};
        if (::fstatat(m_folder.get(), m_name.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISDIR(there.st_mode)
            && (sameFile(there, m_info) || trustedLinkOwner(there.st_uid)))
            ::unlinkat(m_folder.get(), m_name.c_str(), 0);
    }
    m_name.clear();
}

} // namespace safefile
