#pragma once

// The signing options that the settings file and the project files carry:
// one table of their keys, kinds and defaults, in the order the keys are
// written, and the reads and writes that walk it. Qt Core only, so that a
// program without windows reads the same files into the same values as the
// main window does; the window binds each key to its control apart from
// this (u_frmMain_Options.cpp). An option is added here, in the table, and
// there, in the binding.

#include "signing/CommandLine.h"

#include <QString>

#include <span>

class IniFile;

// Every stored option with its value. The password is not among them: it
// is never stored anywhere.
struct StoredOptions {
    // Each option at its default, as the table gives it.
    StoredOptions();

    QString sdkBinFolder;
    bool selectBestCert;
    bool usePfxFile;
    QString pfxFilename;
    bool addDescription;
    QString descriptionText;
    QString descriptionUrl;
    bool timeStamp;
    QString timeStampUrl;
    bool verboseOutput;
    bool addCmdLineToConsole;
    bool keepWindowOnTop;

    bool operator==(const StoredOptions &) const = default;
};

enum class OptionKind {
    Flag,     // "1"/"0", read as an INI integer
    Text,     // a text, read trimmed and unquoted
    FileName, // a text that names a file or folder: its bytes are kept
};

struct OptionSpec {
    const char *key;
    OptionKind kind;
    bool defaultOn;    // the default of a flag; texts default to empty
    bool inProjects;   // false: the settings file alone carries it
    bool StoredOptions::*flag = nullptr;    // a Flag's value
    QString StoredOptions::*text = nullptr; // a Text's or FileName's value
};

// Where options are read from and written to: the settings file carries
// every option, a project all but the SDK folder, which belongs to the
// machine rather than to the job.
enum class OptionScope { Settings, Project };

// Both kinds of file keep their options in this section.
inline const QString OptionsSection = QStringLiteral("Settings");

// The options in the order their keys are written to a new file.
std::span<const OptionSpec> OptionTable();

// Whether the option belongs to files of that scope.
bool InScope(const OptionSpec &option, OptionScope scope);

// The options the file holds; a missing key (or, for a project, an option
// it does not carry) gives the default. Of the two certificate flags the
// stored "UsePFXFile" decides: "UseBestCert" is always its opposite.
StoredOptions ReadOptions(const IniFile &file, OptionScope scope);

// The folder of our stand-in signing tools that a program in
// `programFolder` (with its trailing "/") finds beside it: the sdk-bin
// folder of an installation (beside the program) or of a build (beside the
// program's own folder of the build), with its trailing "/"; empty when
// neither holds both tools.
QString StandInSdkBinFolder(const QString &programFolder);

// The settings file's options as the program starts with them: a file
// that names no SDK folder at all (a program started from its build or
// installation for the first time) is offered the stand-in tools' folder.
StoredOptions ReadSettingsOptions(const IniFile &settings, const QString &programFolder);

// Writes the options of the scope in table order.
void WriteOptions(IniFile &file, const StoredOptions &options, OptionScope scope);

// What the signing tool's command line is built from.
SignOptions ToSignOptions(const StoredOptions &options, const QString &pfxPassword);
