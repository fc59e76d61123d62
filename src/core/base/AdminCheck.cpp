#include "base/AdminCheck.h"

bool IsAdminIdentity(const platform::UserIdentity &identity)
{
    if (identity.effectiveUserId == 0)
        return true;
    static const QStringList adminGroups = {QStringLiteral("sudo"), QStringLiteral("wheel"),
                                            QStringLiteral("admin")};
    for (const QString &group : identity.groupNames) {
        // Group names are case-sensitive on Linux: "Sudo" is another group.
        if (adminGroups.contains(group))
            return true;
    }
    return false;
}

QString NonAdminRefusalText()
{
    // The Windows wording stays as it is; the last line says what it means
    // here. Group membership is read at login, so a user added just now
    // still lacks it.
    return QStringLiteral(
        "Restricted Non-Admin Windows Logon Detected!\n\n"
        "Quillmark cannot be used in a protected mode, please log onto Windows in Admin Mode.\n\n"
        "Now shutting down Quillmark.\n\n"
        "On Linux, Quillmark runs for root and the members of the groups sudo, wheel and admin; "
        "after being added to one of them, log out and in again.");
}
