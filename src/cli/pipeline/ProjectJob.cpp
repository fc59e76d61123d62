#include "pipeline/ProjectJob.h"

#include "base/IniFile.h"
#include "options/OptionTable.h"
#include "base/ProgramFolder.h"
#include "filelist/FileListEntry.h"
#include "platform/Platform.h"
#include "projects/FileUtils.h"
#include "projects/ProjectFile.h"

#include <QHash>
#include <QPair>
#include <QSet>

QString ProjectFileFor(const QString &project, bool projectIsFile, const QString &programFolder)
{
    if (projectIsFile)
        return project;
    return ProjectsFolderIn(programFolder) + project + ProjectExtension;
}

void ListFiles(const QStringList &listed, QStringList &files, QStringList &missing)
{
    QSet<QString> fullPaths;
    QSet<QPair<quint64, quint64>> identities;
    const QString currentFolder = platform::currentFolder();
    for (const QString &path : listed) {
        if (!FileExists(path)) {
            missing.append(path);
            continue;
        }
        const std::optional<filelist::SplitPath> split = filelist::splitPath(path, currentFolder);
        if (!split)
            continue;
        const QString full = split->folder + split->name;
        const std::optional<platform::FileFacts> facts = platform::fileFacts(full);
        if (!facts) {
            // Gone between the two looks.
            missing.append(path);
            continue;
        }
        if (facts->isFolder)
            continue;
        const QPair<quint64, quint64> identity{facts->identity.device, facts->identity.inode};
        if (fullPaths.contains(full) || identities.contains(identity))
            continue;
        fullPaths.insert(full);
        identities.insert(identity);
        files.append(full);
    }
}

QString SettingsSdkFolder(const QString &programFolder)
{
    // The same folder the window starts with, the stand-in tools' own
    // folder included when the settings name none.
    return ReadSettingsOptions(IniFile(SettingsFileIn(programFolder)), programFolder).sdkBinFolder;
}

ProjectJob ReadProjectJob(const IniFile &project, const QString &sdkFolder)
{
    // The window shows the settings file's options and then a project's
    // over them: the project decides everything but the SDK folder.
    StoredOptions stored = ReadOptions(project, OptionScope::Project);
    stored.sdkBinFolder = sdkFolder;
    ProjectJob job;
    job.options = ToSignOptions(stored, QString());
    job.addCommandLine = stored.addCmdLineToConsole;
    ListFiles(ListedProjectPaths(project), job.files, job.missing);
    return job;
}
