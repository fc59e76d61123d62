#pragma once

// One row of the file list and the small value functions that turn paths,
// sizes and times into the texts the list shows.

#include "platform/Platform.h"

#include <QDateTime>
#include <QLocale>
#include <QString>
#include <QUrl>
#include <QVariant>

#include <optional>

namespace filelist {

// Columns of the details view, in their fixed order.
enum Column { NameColumn = 0, FolderColumn, SizeColumn, TypeColumn, ChangedColumn, ColumnCount };

struct FileEntry {
    QString caption;      // the file's name
    QString folder;       // absolute, cleaned, exactly one trailing "/"
    QString storedPath;   // as handed to AddFileEntry (or the new path after a rename on disk)
    platform::FileIdentity identity;
    bool isFolder = false;
    qint64 size = 0;
    qint64 modified = 0;  // last write, milliseconds since the epoch (UTC)

    // Looked up when first shown: type names and icons cost a mime lookup
    // each, which a drop of thousands of files should not pay up front.
    mutable std::optional<QString> typeName;
    // The icon is a QIcon, kept as a QVariant: the window's list model
    // fills it, and the entry itself needs nothing of Qt Gui.
    mutable QVariant icon;
    mutable std::optional<QString> changedText;

    // Where the entry sat when the model last numbered its rows; the model
    // checks it before trusting it.
    int rowHint = -1;

    QString fullPath() const { return folder + caption; }
    void forgetShownTexts()
    {
        typeName.reset();
        icon.clear();
        changedText.reset();
    }
};

struct SplitPath {
    QString folder;   // absolute, cleaned, exactly one trailing "/"
    QString name;
};

// Makes `path` absolute against `currentFolder`, drops one trailing "/",
// cleans it ("//", "./", "..") and splits it into folder and name. Nothing
// for an empty path and for the root itself, which has no name.
std::optional<SplitPath> splitPath(const QString &path, const QString &currentFolder);

// An absolute folder path cleaned and given exactly one trailing "/"; the
// root stays "/".
QString folderText(const QString &folder);

// The file URL of a path, for dragging out and opening. A name that is not
// UTF-8 goes into the URL as its own bytes, percent-encoded.
QUrl fileUrl(const QString &path);

// The Size column: whole kilobytes, rounded, with thousands separators and
// " KB"; 1 to 1023 bytes count as 1 KB, an empty file is "0 KB".
QString sizeText(qint64 bytes, const QLocale &locale = QLocale::system());

// The Changed column: short date, a blank, short time.
QString changedText(const QDateTime &when, const QLocale &locale = QLocale::system());

// Case-blind comparison that orders runs of digits by their value, so
// "file9" comes before "file10". Negative, zero or positive.
int naturalCompare(const QString &a, const QString &b);

} // namespace filelist

// The caption above the list: "Files to be Digitally Signed: (n)", or
// without the count while the list is being filled.
QString FileCountCaption(int count);
QString BareFileCountCaption();
