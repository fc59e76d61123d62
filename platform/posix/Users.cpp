#include "platform/Platform.h"

#include <grp.h>
#include <unistd.h>

#include <vector>

namespace platform {

namespace {

QString groupName(gid_t gid)
{
    // getgrgid_r wants a caller buffer; grow it until the entry fits.
    std::vector<char> buffer(1024);
    for (;;) {
        struct group entry {};
        struct group *found = nullptr;
        const int rc = ::getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found);
        if (rc == ERANGE && buffer.size() < (1u << 20)) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (rc != 0 || found == nullptr)
            return QString();
        return QString::fromLocal8Bit(found->gr_name);
    }
}

} // namespace

UserIdentity currentUserIdentity()
{
    UserIdentity identity;
    identity.effectiveUserId = ::geteuid();

    // The group list is sized by the system: ask for the count first.
    const int count = ::getgroups(0, nullptr);
    std::vector<gid_t> groups(count > 0 ? count : 0);
    if (count > 0 && ::getgroups(count, groups.data()) < 0)
        groups.clear();
    groups.push_back(::getgid());
    groups.push_back(::getegid());

    for (gid_t gid : groups) {
        const QString name = groupName(gid);
        if (!name.isEmpty() && !identity.groupNames.contains(name))
            identity.groupNames.append(name);
    }
    return identity;
}

} // namespace platform
