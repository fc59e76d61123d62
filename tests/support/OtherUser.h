#pragma once

// Tests of what a hostile local user can do need a real second user. They
// run only as root, where the unprivileged "nobody" is at hand; elsewhere
// they skip with a message saying so.

#include <QtGlobal>

#include <cerrno>
#include <functional>
#include <optional>

#include <grp.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

namespace otheruser {

struct Account {
    uid_t uid;
    gid_t gid;
};

// The "nobody" account when the test runs as root, else nothing.
inline std::optional<Account> nobodyWhenRoot()
{
    if (::geteuid() != 0)
        return std::nullopt;
    const passwd *entry = ::getpwnam("nobody");
    if (!entry || entry->pw_uid == 0)
        return std::nullopt;
    return Account{entry->pw_uid, entry->pw_gid};
}

// Runs `work` in a child process that has become `account` for good, and
// returns the child's exit code (work's result), or -1 when the child could
// not be made or did not end normally.
inline int runAs(const Account &account, const std::function<int()> &work)
{
    const pid_t child = ::fork();
    if (child < 0)
        return -1;
    if (child == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(account.gid) != 0
            || ::setuid(account.uid) != 0)
            ::_exit(125);
        ::_exit(work());
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace otheruser

#define QM_SKIP_UNLESS_ROOT(account)                                                           \
    const std::optional<otheruser::Account> account = otheruser::nobodyWhenRoot();             \
    if (!account)                                                                               \
        QSKIP("needs root and the user nobody, to plant files as a real other user")
