// The main window's file-list handlers. Each is a thin wrapper over the
// file-list actions, which do the work and are tested on their own.

#include "mainwindow/u_frmMain.h"

#include "base/UserDialogs.h"
#include "filelist/FileListActions.h"
#include "filelist/FileListEntry.h"
#include "filelist/TDivDropFiles.h"
#include "filelist/TDivFileList.h"

#include <QAction>
#include <QLabel>

#include <optional>

#include <utility>

void TfrmMain::DivDropFilesDrop(const QStringList &paths)
{
    withOneCaptionUpdate([&] { AddDroppedPaths(*DivFileList, paths); });
}

void TfrmMain::withOneCaptionUpdate(const std::function<void()> &work)
{
    struct Batch {
        TfrmMain &window;
        explicit Batch(TfrmMain &w) : window(w) { ++window.m_captionBatches; }
        ~Batch()
        {
            if (--window.m_captionBatches == 0 && std::exchange(window.m_captionStale, false))
                window.UpdateFileCountCaption();
        }
    } batch(*this);
    work();
}

void TfrmMain::DivFileListAddItem(int, bool &)
{
    RemoveFolderEntries(*DivFileList);
    UpdateFileCountCaption();
}

void TfrmMain::DivFileListChange()
{
    UpdateFileCountCaption();
}

void TfrmMain::UpdateFileCountCaption()
{
    if (m_captionBatches > 0) {
        m_captionStale = true;
        return;
    }
    setFileCountCaption(FileCountCaption(DivFileList->count()));
}

void TfrmMain::setFileCountCaption(const QString &caption)
{
    // The label sizes itself to its text, as it did on the form, so the
    // count is never cut off.
    lbDivFileList->setText(caption);
    lbDivFileList->resize(lbDivFileList->sizeHint().width(), lbDivFileList->height());
}

void TfrmMain::btnRemSelClick()
{
    withOneCaptionUpdate([this] {
        if (RemoveSelectedEntries(*DivFileList))
            UpdateFileCountCaption();
    });
}

void TfrmMain::btnClearFilesClick()
{
    if (ClearAllEntries(*DivFileList))
        setFileCountCaption(BareFileCountCaption());
}

void TfrmMain::menuFileListPopup()
{
    menitmCopyFilesTo->setEnabled(DivFileList->count() > 0);
}

void TfrmMain::menitmAddFilesClick()
{
    OpenFileRequest request;
    request.caption = QStringLiteral("Add Files");
    request.filter = QStringLiteral("All Files (*)");
    request.startFolder = m_addFilesFolder;
    const std::optional<QStringList> chosen = UserDialogs::current().getOpenFileNames(request);
    if (!chosen || chosen->isEmpty())
        return;
    m_addFilesFolder = filelist::folderText(chosen->constFirst().left(
        chosen->constFirst().lastIndexOf(QLatin1Char('/')) + 1));
    DivFileList->dropTarget()->deliver(*chosen);
}

void TfrmMain::menitmLargeIconsClick()
{
    DivFileList->setViewStyle(TDivFileList::ViewStyle::LargeIcons);
}

void TfrmMain::menitmSmallIconsClick()
{
    DivFileList->setViewStyle(TDivFileList::ViewStyle::SmallIcons);
}

void TfrmMain::menitmListClick()
{
    DivFileList->setViewStyle(TDivFileList::ViewStyle::List);
}

void TfrmMain::menitmDetailsClick()
{
    DivFileList->setViewStyle(TDivFileList::ViewStyle::Details);
}

void TfrmMain::menitmCopyFilesToClick()
{
    DivBrowseForFolder.Title = QStringLiteral("Select the Folder to copy the files to...");
    if (!DivBrowseForFolder.Execute())
        return;
    showWaitPanel();
    CopyOutcome outcome;
    withOneCaptionUpdate([&] {
        outcome = CopyAllEntriesTo(*DivFileList, DivBrowseForFolder.Path);
        UpdateFileCountCaption();
    });
    hideWaitPanel();
    ShowCopyReport(outcome);
}
