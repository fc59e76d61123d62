#include "filelist/FileListActions.h"

#include "app/UserDialogs.h"
#include "filelist/FileListEntry.h"
#include "filelist/TDivFileList.h"
#include "platform/Platform.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QPair>
#include <QSaveFile>

QString FileCountCaption(int count)
{
    return QStringLiteral("Files to be Digitally Signed: (") + QString::number(count)
        + QLatin1Char(')');
}

QString BareFileCountCaption()
{
    return QStringLiteral("Files to be Digitally Signed:");
}

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
    QFile input(source);
    if (QFileInfo(source).isDir())
        return QStringLiteral("Is a folder");
    if (!input.open(QIODevice::ReadOnly))
        return input.errorString();

    // Written beside the target and renamed over it on commit: until then
    // an existing target stays as it was, and a failed copy never leaves a
    // half-written file behind.
    QSaveFile output(target);
    output.setDirectWriteFallback(false);
    if (!output.open(QIODevice::WriteOnly))
        return output.errorString();

    QByteArray buffer(1 << 16, Qt::Uninitialized);
    for (;;) {
        const qint64 read = input.read(buffer.data(), buffer.size());
        if (read < 0) {
            output.cancelWriting();
            return input.errorString();
        }
        if (read == 0)
            break;
        if (output.write(buffer.constData(), read) != read) {
            const QString reason = output.errorString();
            output.cancelWriting();
            return reason;
        }
    }
    // Program files must stay runnable, and a copy keeps its file's time.
    output.setPermissions(input.permissions());
    if (!output.flush())
        return output.errorString();
    output.setFileTime(input.fileTime(QFileDevice::FileModificationTime),
                       QFileDevice::FileModificationTime);
    if (!output.commit())
        return output.errorString();
    return {};
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
        const auto targetIdentity = platform::fileIdentity(target);

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
        text += QLatin1Char('\n') + failure.source + QStringLiteral(": ") + failure.reason;
    return text;
}

void ShowCopyReport(const CopyOutcome &outcome)
{
    if (outcome.allCopied())
        Messages::information(CopyReportText(outcome));
    else
        Messages::warning(CopyReportText(outcome));
}
