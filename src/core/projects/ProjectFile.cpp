#include "projects/ProjectFile.h"

#include "platform/Platform.h"
#include "projects/FileUtils.h"

#include <QSet>

#include <algorithm>

QString ProjectFileKey(int index)
{
    return QStringLiteral("File.") + QString::number(index);
}

QString ProjectName(const QString &fileName)
{
    return fileName.left(std::max<qsizetype>(0, fileName.size() - 4));
}

QStringList ProjectNames(const QStringList &fileNames)
{
    QStringList names;
    for (const QString &fileName : fileNames)
        names.append(ProjectName(fileName));
    std::sort(names.begin(), names.end(), ListedNameLess);
    return names;
}

QString StoredProjectPath(const QString &path)
{
    auto blank = [](QChar c) { return c == u' ' || c == u'\t'; };
    if (!path.isEmpty() && (blank(path.front()) || blank(path.back())))
        return u'"' + path + u'"';
    return path;
}

std::vector<IniEntry> ListedFileEntries(const QStringList &paths)
{
    std::vector<IniEntry> entries;
    entries.reserve(size_t(paths.size()));
    for (int i = 0; i < paths.size(); ++i)
        entries.push_back(
            {ProjectFileKey(i), platform::encodeFileName(StoredProjectPath(paths[i]))});
    return entries;
}

std::optional<QString> UnstorableReason(const QString &path)
{
    if (path.contains(u'\n') || path.contains(u'\r'))
        return QStringLiteral("its path holds a line break");
    // A path is stored as the file name's own bytes, UTF-8 or not.
    if (platform::encodeFileName(path).size() > IniMaxTextBytes)
        return QStringLiteral("its path is longer than %1 bytes").arg(IniMaxTextBytes);
    return std::nullopt;
}

QString UnstorableFileText(const QString &path, const QString &reason)
{
    return QStringLiteral("This file cannot be kept in a project, because ") + reason
        + QStringLiteral(":\n\n") + platform::displayFileName(path)
        + QStringLiteral("\n\nThe project was not saved. Remove the file from the list to save "
                         "the project.");
}

QString MissingFileText(const QString &path)
{
    return QStringLiteral("This file was not found, it may have been moved or deleted:\n\n")
        + platform::displayFileName(path)
        + QStringLiteral("\n\nIt will now be removed from the project file list.");
}

QStringList ListedProjectPaths(const IniFile &project)
{
    // Looked up in one table: a project may list far more files than a
    // load reads, and a search of [Files] per key would grow with both.
    const QHash<QString, QByteArray> stored = StoredValuesByKey(project, ProjectFilesSection);
    QStringList paths;
    for (int n = 0; n < MaxProjectFiles; ++n) {
        const auto value = stored.constFind(ProjectFileKey(n).toCaseFolded());
        if (value == stored.cend())
            break;
        paths.append(platform::decodeFileName(cleanIniBytes(*value)));
    }
    return paths;
}

std::vector<IniEntry> UnreadFileEntries(const IniFile &project, int readCount)
{
    QSet<QString> read;
    read.reserve(readCount);
    for (int n = 0; n < readCount; ++n)
        read.insert(ProjectFileKey(n).toCaseFolded());
    std::vector<IniEntry> unread;
    for (IniEntry &entry : project.sectionEntries(ProjectFilesSection, IniFile::Sections::Every)) {
        if (!read.contains(entry.key.toCaseFolded()))
            unread.push_back(std::move(entry));
    }
    return unread;
}

QHash<QString, QByteArray> StoredValuesByKey(const IniFile &file, const QString &section)
{
    QHash<QString, QByteArray> values;
    const std::vector<IniEntry> entries = file.sectionEntries(section);
    values.reserve(qsizetype(entries.size()));
    for (const IniEntry &entry : entries)
        values.insert(entry.key.trimmed().toCaseFolded(), entry.value);
    return values;
}
