#include "filelist/FileListActions.h"

#include "base/UserDialogs.h"
#include "filelist/FileListEntry.h"
#include "filelist/TDivFileList.h"
#include "platform/Platform.h"

#include <QHash>
#include <QPair>

void RemoveFolderEntries(TDivFileList &list)
{
    // The list knows which entries are folders from when it read them, so a
    // list without any costs nothing here, however often this runs.
    if (list.folderEntryCount() == 0)
        return;
    for (int row = list.count() - 1; row >= 0; --row)
        if (list.isFolderEntry(row))
            list.deleteEntry(row);
}

void AddDroppedPaths(TDivFileList &list, const QStringList &paths)
{
    for (const QString &path : paths) {
        if (platform::folderExists(path))
            continue;
        list.AddFileEntry(path);
    }
}

bool RemoveSelectedEntries(TDivFileList &list)
{
    if (list.count() == 0 || list.selectedCount() == 0)
        return false;
    if (!Messages::confirm(QStringLiteral("Do you want to remove any selected files from the list?\n\n"
                                          "(To select more than one file hold down the CTRL key)")))
        return false;
    bool removed = false;
    for (int row = list.count() - 1; row >= 0; --row) {
        if (list.isSelected(row)) {
            list.deleteEntry(row);
            removed = true;
        }
    }
    return removed;
}

bool ClearAllEntries(TDivFileList &list)
{
    if (list.count() == 0)
        return false;
    if (!Messages::confirm(QStringLiteral("Do you want to clear all files from the list?")))
        return false;
    list.clear();
    return true;
}

QString CopyFileReplacing(const QString &source, const QString &target)
{
    // The target folder may be shared with other users: the copy goes into
    // an exclusively created temporary there and is renamed over the name,
    // so nothing planted at the name (a link to a system file) is ever
    // written through, and a read-only file there stays as it is.
    const int error = platform::copyFileReplacing(source, target);
    if (error == 0)
        return {};
    return platform::systemErrorText(error);
}

CopyOutcome CopyAllEntriesTo(TDivFileList &list, const QString &targetFolder)
{
    CopyOutcome outcome;
    if (targetFolder.isEmpty()) {
        for (int row = 0; row < list.count(); ++row)
            outcome.failures.append({list.fullPath(row), QStringLiteral("No folder was chosen")});
        return outcome;
    }
    outcome.targetFolder = filelist::folderText(targetFolder);

    using Key = QPair<quint64, quint64>;
    auto keyOf = [](const platform::FileIdentity &identity) {
        return Key(identity.device, identity.inode);
    };
    // The topmost entry of each file: a copy must not overwrite a listed
    // file that is still to be copied (it would copy the wrong content).
    QHash<Key, int> topmostRowOf;
    for (int row = 0; row < list.count(); ++row)
        if (const auto identity = platform::fileIdentity(list.fullPath(row)))
            if (!topmostRowOf.contains(keyOf(*identity)))
                topmostRowOf.insert(keyOf(*identity), row);

    QList<CopyFailure> failures;
    for (int row = list.count() - 1; row >= 0; --row) {
        const QString source = list.fullPath(row);
        const QString target =
            outcome.targetFolder + source.mid(source.lastIndexOf(QLatin1Char('/')) + 1);
        const auto sourceIdentity = platform::fileIdentity(source);
        // The name itself, not what a link there leads to: a link planted
        // at the name is replaced, never taken for the file in place.
        const auto targetIdentity = platform::entryIdentity(target);

        bool done = false;
        if (sourceIdentity && targetIdentity && *sourceIdentity == *targetIdentity) {
            done = true;   // already in place: copying a file onto itself would empty it
        } else if (targetIdentity && topmostRowOf.value(keyOf(*targetIdentity), row) < row) {
            // The target is a file listed above, which is copied later and
            // wins anyway; overwriting it now would lose it.
            done = true;
        } else {
            const QString reason = CopyFileReplacing(source, target);
            if (reason.isEmpty())
                done = true;
            else
                failures.prepend({source, reason});
        }
        if (done) {
            ++outcome.copied;
            list.deleteEntry(row);
        }
    }
    outcome.failures = failures;
    return outcome;
}

QString CopyReportText(const CopyOutcome &outcome)
{
    if (outcome.allCopied())
        return QStringLiteral("Your files have been copied to this folder:\n\n") + outcome.targetFolder;
    QString text = QStringLiteral("Some files could not be copied to this folder:\n\n")
        + outcome.targetFolder + QStringLiteral("\n");
    for (const CopyFailure &failure : outcome.failures)
        text += QLatin1Char('\n') + platform::displayFileName(failure.source) + QStringLiteral(": ")
            + failure.reason;
    return text;
}

void ShowCopyReport(const CopyOutcome &outcome)
{
    if (outcome.allCopied())
        Messages::information(CopyReportText(outcome));
    else
        Messages::warning(CopyReportText(outcome));
}
