#pragma once

// A saved project turned into a signing job, as the window would have it
// after loading the project: the options read by the window's own rules,
// the SDK folder from the settings file (or the command line), and the
// listed files that the window's file list would hold. Reading never
// writes: the project file stays exactly as it is.

#include "signing/CommandLine.h"

#include <QString>
#include <QStringList>

class IniFile;

struct ProjectJob {
    SignOptions options;          // the password is not in it: a project never holds one
    bool addCommandLine = false;  // "Add Command Line to Console"
    QStringList files;            // full paths, in list order
    QStringList missing;          // listed paths that name nothing, in list order
};

// The project file that --sign-project names: a name is looked up in the
// Projects folder of the program folder, a ".qmk" path is taken as given.
QString ProjectFileFor(const QString &project, bool projectIsFile, const QString &programFolder);

// The SDK folder that the window would start with.
QString SettingsSdkFolder(const QString &programFolder);

// The job of a project file that has been read (the caller has made sure
// that it exists and could be read).
ProjectJob ReadProjectJob(const IniFile &project, const QString &sdkFolder);

// What the window's file list makes of the listed paths, in order: a path
// that names nothing is missing; a folder is not listed; a file listed
// under another spelling before (the same full path, or the same file
// through a link) is listed once.
void ListFiles(const QStringList &listed, QStringList &files, QStringList &missing);
