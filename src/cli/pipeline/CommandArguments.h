#pragma once

// The command line of the build-server command:
//
//   quillmark --sign-project NAME|FILE.qmk [OPTION]... [FILE]...
//   quillmark --list-projects
//   quillmark --help | --version
//
// Parsing is a pure function over the arguments (without the program name),
// so that every rule can be checked without starting anything. Without any
// option the program is the window, which reads no argument but Qt's own.

#include <QString>
#include <QStringList>

#include <optional>

enum class CommandAction { Window, Help, Version, ListProjects, SignProject, UsageError };

struct CommandArguments {
    CommandAction action = CommandAction::Window;
    QString usageError;             // for UsageError: what is wrong, one line

    // --sign-project: a project name (looked up in the Projects folder) or
    // the path of a ".qmk" file.
    QString project;
    bool projectIsFile = false;

    // Files named on the command line or in --files-from sign instead of
    // the project's list (as given; made full paths when the run starts).
    QStringList files;
    QString filesFrom;              // empty: none; "-": standard input

    // Overrides of the project's signing options, named after the window's
    // labels. An unset optional leaves the project's value.
    std::optional<QString> pfx;     // "Use PFX File" with that file
    bool bestCertificate = false;   // "Select Best Signing Certificate Automatically"
    std::optional<QString> timestampUrl;
    bool noTimestamp = false;
    std::optional<QString> description;
    std::optional<QString> descriptionUrl;
    bool verbose = false;

    bool skipMissing = false;
    bool dryRun = false;
    bool verify = false;
    bool verifyAll = false;         // verify every signature (/all), implies verify
    bool json = false;
    std::optional<int> timeoutSeconds;
    std::optional<int> passwordFd;
    QString passwordFile;           // empty: none given
    QString passwordEnv;            // empty: none given
    QString sdkFolder;              // empty: the settings file's; else ends in "/"
};

// argv[1..] as file names are kept: bytes that are not UTF-8 stay (a
// project file or SDK folder named so is still found).
QStringList DecodedArguments(int argc, char **argv);

// True when the arguments ask for the command rather than the window: any
// option that is not one of Qt's own window options (so that a misspelt
// option is a usage error, never a window that a build job waits on).
bool SelectsCommand(const QStringList &arguments);

// The whole command line read; for anything it cannot take, UsageError with
// the reason. --help and --version win over everything else.
CommandArguments ParseCommandArguments(const QStringList &arguments);

// The text of --help.
QString CommandHelpText();

// The line that follows a usage error on standard error.
QString UsageHint();
