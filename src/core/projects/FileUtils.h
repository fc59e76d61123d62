#pragma once

// Small file and folder helpers shared by the project files, the settings
// and the sign action. Paths use "/" and folders may or may not carry a
// trailing "/".

#include <QString>
#include <QStringList>
#include <QStringView>

// True when the path names an entry of any kind; an existing folder counts.
bool FileExists(const QString &path);

// True when the path names an existing folder.
bool FolderExists(const QString &path);

// Creates the folder together with every missing parent. Trailing "/" are
// ignored and an existing folder counts as done. Returns false when a
// folder could not be made (a file in its place, no permission), which is
// no error: a caller such as the project save goes on and lets the user
// choose another place. Only an empty path is an error: AppError "Unable
// to create directory".
bool ForceFolders(const QString &path);

// Bare names of the entries of folder that match the wildcard mask (for
// example "*.qmk"; letter case counts, as it does in the file system),
// hidden ones included, without "." and "..", sorted by name: letter case
// ignored first, then code-point order for names that differ only in case.
// Names that are not UTF-8 are included, their bytes kept as
// platform::decodeFileName keeps them. A missing folder gives an empty list.
QStringList BuildFileList(const QString &folder, const QString &mask);

// The order of listed names: letter case ignored first, then code-point
// order for names that differ only in case.
bool ListedNameLess(const QString &a, const QString &b);

// True when the whole name matches the mask, in which "*" stands for any
// run of characters (none included) and "?" for any one character; every
// other character stands for itself, letter case included.
bool MatchesWildcard(QStringView name, QStringView mask);
