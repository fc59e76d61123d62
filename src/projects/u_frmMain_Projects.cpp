// Signing projects: named snapshots of the signing options and the file
// list, kept as "*.qmk" INI files in the Projects folder and offered in the
// project drop-down. A project never carries the SDK folder (it belongs to
// the machine, not the job) nor the password (never stored anywhere).

#include "app/u_frmMain.h"

#include "app/AppError.h"
#include "app/IniFile.h"
#include "app/QuillmarkApplication.h"
#include "app/UserDialogs.h"
#include "filelist/TDivFileList.h"
#include "platform/Platform.h"
#include "projects/FileUtils.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileInfo>
#include <QHash>
#include <QLineEdit>
#include <QSet>

#include <algorithm>
#include <optional>
#include <vector>

namespace {

const QString SettingsSection = QStringLiteral("Settings");
const QString FilesSection = QStringLiteral("Files");
const QString ProjectExtension = QStringLiteral(".qmk");

// A load reads File.0 to File.999 at most.
constexpr int MaxProjectFiles = 1000;

QString fileKey(int index)
{
    return QStringLiteral("File.") + QString::number(index);
}

// A project's name is its file name without the last four characters
// (".qmk"); a name too short for that is empty.
QString projectName(const QString &fileName)
{
    return fileName.left(std::max<qsizetype>(0, fileName.size() - 4));
}

// The names shown in the drop-down, sorted as the list sorts: letter case
// ignored first, then code-point order. Sorting the full file names is not
// enough, since "a-b.qmk" comes before "a.qmk" but "a" before "a-b".
QStringList projectNames(const QStringList &fileNames)
{
    QStringList names;
    for (const QString &fileName : fileNames)
        names.append(projectName(fileName));
    std::sort(names.begin(), names.end(), [](const QString &a, const QString &b) {
        const int folded = a.compare(b, Qt::CaseInsensitive);
        return folded != 0 ? folded < 0 : a < b;
    });
    return names;
}

// The [Files] entries that a load did not read: everything but File.0 to
// File.(readCount - 1), in file order.
std::vector<IniEntry> unreadFileEntries(const IniFile &project, int readCount)
{
    QSet<QString> read;
    read.reserve(readCount);
    for (int n = 0; n < readCount; ++n)
        read.insert(fileKey(n).toCaseFolded());
    std::vector<IniEntry> unread;
    // From every [Files] section: the rewrite replaces them all.
    for (IniEntry &entry : project.sectionEntries(FilesSection, IniFile::Sections::Every)) {
        if (!read.contains(entry.key.toCaseFolded()))
            unread.push_back(std::move(entry));
    }
    return unread;
}

// The stored values of a section by key name (letter case folded), as a
// read finds them: in its first section, the first key of a name.
QHash<QString, QByteArray> storedValuesByKey(const IniFile &file, const QString &section)
{
    QHash<QString, QByteArray> values;
    const std::vector<IniEntry> entries = file.sectionEntries(section);
    values.reserve(qsizetype(entries.size()));
    for (const IniEntry &entry : entries)
        values.insert(entry.key.trimmed().toCaseFolded(), entry.value);
    return values;
}

// A read drops the blanks around a value, and a file name here may well
// begin or end with one; such a path is written in double quotes, which a
// read takes off again, so that it names the same file at the next load.
QString storedProjectPath(const QString &path)
{
    auto blank = [](QChar c) { return c == u' ' || c == u'\t'; };
    if (!path.isEmpty() && (blank(path.front()) || blank(path.back())))
        return u'"' + path + u'"';
    return path;
}

// Why a listed path cannot go into a project, or nothing when it can. A
// path must come back from the file as the same path: a line break would
// end the value early, and a read keeps only IniMaxTextBytes bytes.
std::optional<QString> unstorableReason(const QString &path)
{
    if (path.contains(u'\n') || path.contains(u'\r'))
        return QStringLiteral("its path holds a line break");
    // A path is stored as the file name's own bytes, UTF-8 or not.
    if (platform::encodeFileName(path).size() > IniMaxTextBytes)
        return QStringLiteral("its path is longer than %1 bytes").arg(IniMaxTextBytes);
    return std::nullopt;
}

QString unstorableFileText(const QString &path, const QString &reason)
{
    return QStringLiteral("This file cannot be kept in a project, because ") + reason
        + QStringLiteral(":\n\n") + platform::displayFileName(path)
        + QStringLiteral("\n\nThe project was not saved. Remove the file from the list to save "
                         "the project.");
}

QString missingFileText(const QString &path)
{
    return QStringLiteral("This file was not found, it may have been moved or deleted:\n\n")
        + platform::displayFileName(path)
        + QStringLiteral("\n\nIt will now be removed from the project file list.");
}

// Shows the not-found box for one listed file; true when the user answered
// All (no more such boxes during this load).
bool askMissingFile(const QString &path)
{
    MessageRequest request;
    request.kind = MessageKind::Warning;
    request.caption = QStringLiteral("Warning");
    request.text = missingFileText(path);
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
        if (const std::optional<QString> reason = unstorableReason(path)) {
            Messages::information(unstorableFileText(path, *reason));
            return;
        }
    }

    QString chosen;
    try {
        if (!FolderExists(projectsFolder()))
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
    const QString name = projectName(QFileInfo(chosen).fileName());
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
         projectNames(BuildFileList(projectsFolder(), QStringLiteral("*.qmk"))))
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
    writeOptionKeys(project);
    WriteProjectFileList(project);
    project.commit();
}

void TfrmMain::WriteProjectFileList(IniFile &project)
{
    project.replaceSection(FilesSection, listedProjectEntries());
}

// "File." + i = the full path of entry i, for every entry in list order.
std::vector<IniEntry> TfrmMain::listedProjectEntries() const
{
    std::vector<IniEntry> entries;
    entries.reserve(size_t(DivFileList->count()));
    for (int i = 0; i < DivFileList->count(); ++i)
        entries.push_back(
            {fileKey(i), platform::encodeFileName(storedProjectPath(DivFileList->fullPath(i)))});
    return entries;
}

void TfrmMain::LoadProject(const QString &path)
{
    // Read once, and only if it is a regular file: a folder of that name, a
    // file without read permission, or a FIFO, which a plain open would
    // wait on for good, is not "loaded" as all defaults and then rewritten.
    IniFile project(path);
    if (!project.fileExisted() || project.readFailed()) {
        Messages::warning(QStringLiteral("Sorry, unable to find this project file!"));
        return;
    }

    DivFileList->clear();

    // Table order: "UsePFXFile" after "UseBestCert", so the stored PFX flag
    // decides the pair through the boxes' reactions.
    auto text = [&](const char *key, QLineEdit *edit) {
        edit->setText(project.readString(SettingsSection, QString::fromLatin1(key), QString()));
    };
    auto fileName = [&](const char *key, QLineEdit *edit) {
        edit->setText(project.readFileName(SettingsSection, QString::fromLatin1(key), QString()));
    };
    auto flag = [&](const char *key, QCheckBox *box, bool defaultValue) {
        box->setChecked(project.readBool(SettingsSection, QString::fromLatin1(key), defaultValue));
    };
    flag("UseBestCert", cbSelectBestCert, true);
    flag("UsePFXFile", cbUsePFXFile, false);
    fileName("PFXFilename", edCertName);
    flag("AddDescription", cbAddDesc, false);
    text("DescriptionText", edAddDesc);
    text("DescriptionURL", edAddDescURL);
    flag("TimeStamp", cbTimeStamp, false);
    text("TimeStampURL", edTimeStampURL);
    flag("VerboseOutput", cbVerboseOutput, true);
    flag("AddCmdLineToConsole", cbAddCmdLnToConsole, false);
    flag("KeepWndTopMost", cbStayOnTop, false);

    // Looked up in one table: a project may list far more files than a
    // load reads, and a search of [Files] per key would grow with both.
    const QHash<QString, QByteArray> stored = storedValuesByKey(project, FilesSection);
    int read = 0;
    bool quiet = false;
    for (; read < MaxProjectFiles; ++read) {
        const auto value = stored.constFind(fileKey(read).toCaseFolded());
        if (value == stored.cend())
            break;
        // The path's own bytes: a name that is not UTF-8 still finds its file.
        const QString file = platform::decodeFileName(cleanIniBytes(*value));
        if (FileExists(file))
            DivFileList->AddFileEntry(file);
        else if (!quiet)
            quiet = askMissingFile(file);
    }

    // [Files] is rewritten from the list, so files that are gone, folders
    // and second listings of a file leave the project. Entries this load
    // did not read (past a gap in the numbering, past File.999, or under
    // other key names) were never offered to the user and must not be lost
    // by it: they go back after the loaded ones under their own key names
    // and with their values byte for byte. Keeping their numbers keeps
    // their meaning too: the rewritten numbering stops at or before the old
    // gap (or bound), so the next load again reads exactly what this one
    // read, less what it dropped.
    std::vector<IniEntry> entries = listedProjectEntries();
    std::vector<IniEntry> unread = unreadFileEntries(project, read);
    entries.insert(entries.end(), std::make_move_iterator(unread.begin()),
                   std::make_move_iterator(unread.end()));
    project.replaceSection(FilesSection, entries);

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
