#include "projects/FileUtils.h"

#include "app/AppError.h"
#include "platform/Platform.h"

#include <QDir>

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

QStringList BuildFileList(const QString &folder, const QString &mask)
{
    if (folder.isEmpty() || !FolderExists(folder))
        return {};
    const QDir dir(folder);
    QStringList names = dir.entryList(QStringList{mask},
                                      QDir::AllEntries | QDir::Hidden | QDir::System
                                          | QDir::NoDotAndDotDot | QDir::CaseSensitive,
                                      QDir::NoSort);
    std::sort(names.begin(), names.end(), [](const QString &a, const QString &b) {
        const int folded = a.compare(b, Qt::CaseInsensitive);
        return folded != 0 ? folded < 0 : a < b;
    });
    return names;
}
