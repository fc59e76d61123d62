#include "projects/FileUtils.h"

#include "base/AppError.h"
#include "platform/Platform.h"

#include <QDir>
#include <QStringView>

#include <algorithm>

bool FileExists(const QString &path)
{
    return platform::pathExists(path);
}

bool FolderExists(const QString &path)
{
    return platform::folderExists(path);
}

bool ForceFolders(const QString &path)
{
    if (path.isEmpty())
        throw AppError(QStringLiteral("Unable to create directory"));

    QString folder = path;
    while (folder.size() > 1 && folder.endsWith(u'/'))
        folder.chop(1);
    if (FolderExists(folder))
        return true;

    const qsizetype slash = folder.lastIndexOf(u'/');
    if (slash > 0 && !ForceFolders(folder.left(slash)))
        return false;

    // Another process may have made it meanwhile; that is as good.
    return QDir().mkdir(folder) || FolderExists(folder);
}

bool MatchesWildcard(QStringView name, QStringView mask)
{
    // Greedy with one step back: on a mismatch the last "*" takes one more
    // character. Linear enough for file names, and exact for "*" and "?".
    qsizetype n = 0, m = 0;
    qsizetype starMask = -1, starName = 0;
    while (n < name.size()) {
        if (m < mask.size() && (mask[m] == u'?' || mask[m] == name[n])) {
            ++n;
            ++m;
        } else if (m < mask.size() && mask[m] == u'*') {
            starMask = m++;
            starName = n;
        } else if (starMask >= 0) {
            m = starMask + 1;
            n = ++starName;
        } else {
            return false;
        }
    }
    while (m < mask.size() && mask[m] == u'*')
        ++m;
    return m == mask.size();
}

QStringList BuildFileList(const QString &folder, const QString &mask)
{
    if (folder.isEmpty() || !FolderExists(folder))
        return {};
    // The platform's listing, not QDir's: QDir leaves out names that are
    // not UTF-8, and such a project would silently never be listed.
    QStringList names;
    for (const QString &name : platform::folderEntryNames(folder)) {
        if (MatchesWildcard(name, mask))
            names.append(name);
    }
    std::sort(names.begin(), names.end(), ListedNameLess);
    return names;
}

bool ListedNameLess(const QString &a, const QString &b)
{
    const int folded = a.compare(b, Qt::CaseInsensitive);
    return folded != 0 ? folded < 0 : a < b;
}
