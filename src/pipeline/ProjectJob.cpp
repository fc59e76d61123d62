#include "pipeline/ProjectJob.h"

#include "app/IniFile.h"
#include "app/ProgramFolder.h"
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

// The keys, defaults and pair rule of the window's LoadProject and FormCreate.
// "UsePFXFile" decides the pair, as the boxes' reactions make it there.
QString SettingsSdkFolder(const QString &programFolder)
{
    const IniFile settings(SettingsFileIn(programFolder));
    return settings.readFileName(QStringLiteral("Settings"), QStringLiteral("SDKBinFolder"), {});
}

ProjectJob ReadProjectJob(const IniFile &project, const QString &sdkFolder)
{
    ProjectJob job;
    const QString s = ProjectSettingsSection;
    job.options.sdkBinFolder = sdkFolder;
    job.options.usePfxFile = project.readBool(s, QStringLiteral("UsePFXFile"), false);
    job.options.selectBestCert = !job.options.usePfxFile;
    job.options.pfxFilename = project.readFileName(s, QStringLiteral("PFXFilename"), {});
    job.options.addDescription = project.readBool(s, QStringLiteral("AddDescription"), false);
    job.options.descriptionText = project.readString(s, QStringLiteral("DescriptionText"), {});
    job.options.descriptionUrl = project.readString(s, QStringLiteral("DescriptionURL"), {});
    job.options.timeStamp = project.readBool(s, QStringLiteral("TimeStamp"), false);
    job.options.timeStampUrl = project.readString(s, QStringLiteral("TimeStampURL"), {});
    job.options.verboseOutput = project.readBool(s, QStringLiteral("VerboseOutput"), true);
    job.addCommandLine = project.readBool(s, QStringLiteral("AddCmdLineToConsole"), false);
    ListFiles(ListedProjectPaths(project), job.files, job.missing);
    return job;
}
