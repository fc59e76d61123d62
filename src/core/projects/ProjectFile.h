#pragma once

// What a project file holds and how its names and entries are formed: the
// value-in, value-out part of the main window's project handlers. A
// project is an INI file with a [Settings] section of option keys and a
// [Files] section of "File.<n>" keys, n from 0, one per listed file.

#include "base/IniFile.h"

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

inline const QString ProjectSettingsSection = QStringLiteral("Settings");
inline const QString ProjectFilesSection = QStringLiteral("Files");
inline const QString ProjectExtension = QStringLiteral(".qmk");

// A load reads File.0 to File.999 at most.
inline constexpr int MaxProjectFiles = 1000;

// The largest project file that is read: its settings and 1,000 paths of at
// most IniMaxTextBytes each come to about 2 MB.
inline constexpr qint64 MaxProjectFileBytes = 4 * 1024 * 1024;

// "File." + index.
QString ProjectFileKey(int index);

// A project's name is its file name without the last four characters
// (".qmk"); a name too short for that is empty.
QString ProjectName(const QString &fileName);

// The names for the drop-down, sorted as the list sorts: letter case
// ignored first, then code-point order. Sorting the full file names is not
// enough, since "a-b.qmk" comes before "a.qmk" but "a" before "a-b".
QStringList ProjectNames(const QStringList &fileNames);

// How a listed path is written so that a read gives it back: a path that
// begins or ends with a blank (which a read drops) goes in double quotes
// (which a read takes off).
QString StoredProjectPath(const QString &path);

// "File." + i = the stored path of paths[i], as the file name's own bytes.
std::vector<IniEntry> ListedFileEntries(const QStringList &paths);

// Why a listed path cannot go into a project, or nothing when it can. A
// path must come back from the file as the same path: a line break would
// end the value early, and a read keeps only IniMaxTextBytes bytes.
std::optional<QString> UnstorableReason(const QString &path);

// The information box's text for a path that cannot be stored.
QString UnstorableFileText(const QString &path, const QString &reason);

// The warning box's text for a listed file that is gone.
QString MissingFileText(const QString &path);

// The paths that a load reads from [Files], in order: File.0, File.1, ...
// up to the first number without a key, at most MaxProjectFiles of them,
// each as the file name's own bytes (a name that is not UTF-8 still finds
// its file).
QStringList ListedProjectPaths(const IniFile &project);

// The [Files] entries that a load reading File.0 to File.(readCount - 1)
// did not read, in file order, from every [Files] section (the rewrite
// after a load replaces them all).
std::vector<IniEntry> UnreadFileEntries(const IniFile &project, int readCount);

// The stored values of a section by key name (letter case folded), as a
// read finds them: in its first section, the first key of a name.
QHash<QString, QByteArray> StoredValuesByKey(const IniFile &file, const QString &section);
