// Signing projects: named snapshots of the signing options and the file
// list, kept as "*.qmk" INI files in the Projects folder and offered in the
// project drop-down. A project never carries the SDK folder (it belongs to
// the machine, not the job) nor the password (never stored anywhere).

#include "mainwindow/u_frmMain.h"

#include "base/AppError.h"
#include "base/IniFile.h"
#include "options/OptionTable.h"
#include "app/QuillmarkApplication.h"
#include "base/UserDialogs.h"
#include "filelist/TDivFileList.h"
#include "platform/Platform.h"
#include "projects/FileUtils.h"
#include "projects/ProjectFile.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileInfo>
#include <QHash>
#include <QLineEdit>

#include <optional>
#include <vector>

namespace {

// Shows the not-found box for one listed file; true when the user answered
// All (no more such boxes during this load).
bool askMissingFile(const QString &path)
{
    MessageRequest request;
    request.kind = MessageKind::Warning;
    request.caption = QStringLiteral("Warning");
    request.text = MissingFileText(path);
    request.buttons = DialogButton::Ok | DialogButton::All;
    request.defaultButton = DialogButton::Ok;
    request.escapeButton = DialogButton::Ok;
    return UserDialogs::current().showMessage(request) == DialogButton::All;
}

} // namespace

void TfrmMain::btnSaveProjectClick()
{
    // A project that would load other files than the ones listed is not
    // saved at all.
    for (int i = 0; i < DivFileList->count(); ++i) {
        const QString path = DivFileList->fullPath(i);
        if (const std::optional<QString> reason = UnstorableReason(path)) {
            Messages::information(UnstorableFileText(path, *reason));
            return;
        }
    }

    QString chosen;
    try {
        // A folder that cannot be made is no reason to stop: the dialog
        // lets the user choose another place.
        ForceFolders(projectsFolder());

        SaveFileRequest request;
        request.caption = QStringLiteral("Save as Quillmark Project...");
        request.filter = QStringLiteral("QMK Project (*.qmk)");
        request.defaultSuffix = QStringLiteral("qmk");
        request.startFolder = projectsFolder();
        request.confirmOverwrite = true;
        const std::optional<QString> answer = UserDialogs::current().getSaveFileName(request);
        if (!answer)
            return;
        chosen = *answer;
        SaveProject(chosen);
    } catch (const AppError &error) {
        ShowApplicationError(error.message());
        return;
    }

    FillProjectList();
    // A project saved elsewhere, or under another extension, is not listed;
    // a listed project that happens to have the same name is selected all
    // the same. Selecting by code does not load it.
    const QString name = ProjectName(QFileInfo(chosen).fileName());
    for (int i = 0; i < cbxProject->count(); ++i) {
        if (projectItemName(i) == name)
            cbxProject->setCurrentIndex(i);
    }
}

void TfrmMain::cbxProjectSelect()
{
    const QString name = projectItemName(cbxProject->currentIndex());
    if (!name.isEmpty())
        LoadProject(projectsFolder() + name + ProjectExtension);
}

// Each item shows the name as a person reads it and holds the name itself
// (a file name that is not UTF-8 differs in the two), by which it loads.
void TfrmMain::FillProjectList()
{
    cbxProject->clear();
    for (const QString &name :
         ProjectNames(BuildFileList(projectsFolder(), QStringLiteral("*.qmk"))))
        cbxProject->addItem(platform::displayFileName(name), name);
    cbxProject->setCurrentIndex(-1);
}

QString TfrmMain::projectItemName(int index) const
{
    return index < 0 ? QString() : cbxProject->itemData(index).toString();
}

// Throws AppError when the file cannot be written; the file is then left as
// it was.
void TfrmMain::SaveProject(const QString &path)
{
    IniFile project(path);
    WriteOptions(project, shownOptions(), OptionScope::Project);
    WriteProjectFileList(project);
    project.commit();
}

void TfrmMain::WriteProjectFileList(IniFile &project)
{
    project.replaceSection(ProjectFilesSection, ListedFileEntries(listedFilePaths()));
}

void TfrmMain::LoadProject(const QString &path)
{
    // Read once, and only if it is a regular file: a folder of that name, a
    // file without read permission, or a FIFO, which a plain open would
    // wait on for good, is not "loaded" as all defaults and then rewritten.
    // A project is a few kilobytes; one of gigabytes in a folder others can
    // write would hold the window and its memory, so it is judged by its
    // size, unread.
    IniFile project(path, MaxProjectFileBytes);
    if (project.tooLarge()) {
        Messages::warning(QStringLiteral("The project file %1 cannot be read: it is larger than %2 MiB.")
                              .arg(platform::displayFileName(path))
                              .arg(MaxProjectFileBytes / (1024 * 1024)));
        return;
    }
    if (!project.fileExisted() || project.readFailed()) {
        Messages::warning(QStringLiteral("Sorry, unable to find this project file!"));
        return;
    }

    DivFileList->clear();

    showOptions(ReadOptions(project, OptionScope::Project), OptionScope::Project);

    const QStringList listed = ListedProjectPaths(project);
    const int read = int(listed.size());
    bool quiet = false;
    withOneCaptionUpdate([&] {
        for (const QString &file : listed) {
            if (FileExists(file))
                DivFileList->AddFileEntry(file);
            else if (!quiet)
                quiet = askMissingFile(file);
        }
    });

    // [Files] is rewritten from the list, so files that are gone, folders
    // and second listings of a file leave the project. Entries this load
    // did not read (past a gap in the numbering, past File.999, or under
    // other key names) were never offered to the user and must not be lost
    // by it: they go back after the loaded ones under their own key names
    // and with their values byte for byte. Keeping their numbers keeps
    // their meaning too: the rewritten numbering stops at or before the old
    // gap (or bound), so the next load again reads exactly what this one
    // read, less what it dropped.
    std::vector<IniEntry> entries = ListedFileEntries(listedFilePaths());
    std::vector<IniEntry> unread = UnreadFileEntries(project, read);
    entries.insert(entries.end(), std::make_move_iterator(unread.begin()),
                   std::make_move_iterator(unread.end()));
    project.replaceSection(ProjectFilesSection, entries);

    // A failed write leaves the project file as it was; the options and
    // files are loaded all the same, and the count is brought up to date
    // before the error is shown.
    QString failure;
    try {
        project.commit();
    } catch (const AppError &error) {
        failure = error.message();
    }
    UpdateFileCountCaption();
    if (!failure.isEmpty())
        ShowApplicationError(failure);
}
