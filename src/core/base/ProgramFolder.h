#pragma once

// The program folder (the executable's folder) and the files the program
// keeps in it, for the window and the build-server command alike. Folders
// are held with their trailing "/".

#include <QString>

// The executable's folder by its own bytes, so that a folder whose name is
// not UTF-8 still finds its settings file and Projects folder.
QString ExecutableProgramFolder();

inline QString SettingsFileIn(const QString &programFolder)
{
    return programFolder + QStringLiteral("Quillmark.ini");
}

inline QString HelpFileIn(const QString &programFolder)
{
    return programFolder + QStringLiteral("Quillmark.chm");
}

inline QString ProjectsFolderIn(const QString &programFolder)
{
    return programFolder + QStringLiteral("Projects/");
}
