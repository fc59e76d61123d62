#pragma once

// What the main window's file-list handlers do, as free functions over the
// list so that each can be run and checked without the window.

#include "filelist/FileListEntry.h"

#include <QList>
#include <QString>
#include <QStringList>

class TDivFileList;

// No folder entry survives an add: removes every entry that names a folder.
void RemoveFolderEntries(TDivFileList &list);

// A drop: every path that is not a folder goes through AddFileEntry, in order.
void AddDroppedPaths(TDivFileList &list, const QStringList &paths);

// Asks first; true when entries were removed.
bool RemoveSelectedEntries(TDivFileList &list);
bool ClearAllEntries(TDivFileList &list);

struct CopyFailure {
    QString source;
    QString reason;
};

struct CopyOutcome {
    QString targetFolder;        // with exactly one trailing "/"
    int copied = 0;              // including files already in place
    QList<CopyFailure> failures; // in the order the copies were tried
    bool allCopied() const { return failures.isEmpty(); }
};

// Copies every listed file into `targetFolder`, from the last entry to the
// first, replacing files of the same name. Each copy is written into an
// exclusively created temporary beside its target and renamed over it, so
// a failed copy leaves an existing file whole, a link at the name is
// replaced rather than written through, and a read-only file there stays
// (a failed copy). Entries whose file is in place afterwards are removed;
// the entries of files that could not be copied stay.
CopyOutcome CopyAllEntriesTo(TDivFileList &list, const QString &targetFolder);

// The closing message of a copy.
QString CopyReportText(const CopyOutcome &outcome);
// Shows it: an information box when all went well, else a warning.
void ShowCopyReport(const CopyOutcome &outcome);

// Copies one file onto `target` through an exclusive temporary file in the
// target's folder; on failure the reason, else an empty text.
QString CopyFileReplacing(const QString &source, const QString &target);
