#pragma once

// The command line of the build-server command:
//
//   quillmark --sign-project NAME|FILE.qmk [--skip-missing] [--dry-run]
//             [--password-fd N | --password-file FILE] [--sdk-folder DIR]
//   quillmark --list-projects
//   quillmark --help | --version
//
// Parsing is a pure function over the arguments (without the program name),
// so that every rule can be checked without starting anything. Without any
// of these options the program is the window, which reads no argument.

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

    bool skipMissing = false;
    bool dryRun = false;
    std::optional<int> passwordFd;
    QString passwordFile;           // empty: none given
    QString sdkFolder;              // empty: the settings file's; else ends in "/"
};

// argv[1..] as file names are kept: bytes that are not UTF-8 stay (a
// project file or SDK folder named so is still found).
QStringList DecodedArguments(int argc, char **argv);

// True when the arguments ask for the command rather than the window: one
// of them is an option of the command (with or without "=value").
bool SelectsCommand(const QStringList &arguments);

// The whole command line read; for anything it cannot take, UsageError with
// the reason. --help and --version win over everything else.
CommandArguments ParseCommandArguments(const QStringList &arguments);

// The text of --help.
QString CommandHelpText();

// The line that follows a usage error on standard error.
QString UsageHint();
