#include "pipeline/CommandArguments.h"

#include "platform/Platform.h"
#include "projects/ProjectFile.h"

namespace {

// The options of the command; those that take a value say so.
struct OptionSpec {
    const char *name;
    bool takesValue;
};

constexpr OptionSpec Options[] = {
    {"--sign-project", true},     {"--skip-missing", false},   {"--dry-run", false},
    {"--password-fd", true},      {"--password-file", true},   {"--password-env", true},
    {"--sdk-folder", true},       {"--files-from", true},      {"--pfx", true},
    {"--best-certificate", false}, {"--timestamp-url", true},  {"--no-timestamp", false},
    {"--description", true},      {"--description-url", true}, {"--verbose", false},
    {"--verify", false},          {"--verify-all", false},     {"--json", false},
    {"--timeout", true},          {"--list-projects", false},  {"--help", false},
    {"--version", false},
};

// Qt's own options of a window program (QGuiApplication, QApplication and
// the xcb platform), which Qt takes with one dash or two: these, and only
// these, still open the window.
constexpr const char *QtWindowOptions[] = {
    "-platform", "-platformpluginpath", "-platformtheme", "-plugin", "-qmljsdebugger",
    "-qwindowgeometry", "-qwindowicon", "-qwindowtitle", "-reverse", "-session",
    "-style", "-stylesheet", "-widgetcount", "-display", "-geometry", "-name", "-title",
    "-visual", "-ncols", "-cmap", "-nograb", "-dograb", "-sync",
};

bool isQtWindowOption(QString name)
{
    if (name.startsWith(QLatin1String("--")))
        name.remove(0, 1);
    for (const char *option : QtWindowOptions) {
        if (name == QLatin1String(option))
            return true;
    }
    return false;
}

const OptionSpec *findOption(const QString &name)
{
    for (const OptionSpec &option : Options) {
        if (name == QLatin1String(option.name))
            return &option;
    }
    if (name == QLatin1String("-h"))
        return findOption(QStringLiteral("--help"));
    return nullptr;
}

// "--name=value" gives the name and the value; anything else only a name.
QString optionName(const QString &argument)
{
    if (!argument.startsWith(QLatin1String("--")))
        return argument;
    const qsizetype equals = argument.indexOf(u'=');
    return equals < 0 ? argument : argument.left(equals);
}

std::optional<int> descriptorNumber(const QString &text)
{
    if (text.isEmpty() || text.size() > 9)
        return std::nullopt;
    for (const QChar c : text) {
        if (c < u'0' || c > u'9')
            return std::nullopt;
    }
    return text.toInt();
}

constexpr int MaxTimeoutSeconds = 7 * 24 * 3600;

std::optional<int> secondsNumber(const QString &text)
{
    const std::optional<int> number = descriptorNumber(text);
    if (!number || *number < 1 || *number > MaxTimeoutSeconds)
        return std::nullopt;
    return number;
}

CommandArguments usageError(const QString &reason)
{
    CommandArguments result;
    result.action = CommandAction::UsageError;
    result.usageError = reason;
    return result;
}

} // namespace

QStringList DecodedArguments(int argc, char **argv)
{
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments.append(platform::decodeFileName(QByteArray(argv[i])));
    return arguments;
}

bool SelectsCommand(const QStringList &arguments)
{
    for (const QString &argument : arguments) {
        // A lone "-" and a plain word (a value of Qt's options, a file a
        // desktop passes) leave the window be.
        if (argument.size() < 2 || !argument.startsWith(u'-'))
            continue;
        const QString name = argument.section(u'=', 0, 0);
        if (findOption(optionName(argument)) || !isQtWindowOption(name))
            return true;
    }
    return false;
}

CommandArguments ParseCommandArguments(const QStringList &arguments)
{
    CommandArguments result;
    QString firstError;
    bool help = false;
    bool version = false;
    bool listProjects = false;
    std::optional<QString> project;
    QStringList signOptionsGiven;   // options that only --sign-project takes
    QStringList positional;
    bool optionsEnded = false;      // after "--" every argument is a file

    auto fail = [&](const QString &reason) {
        if (firstError.isEmpty())
            firstError = reason;
    };

    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        if (optionsEnded || argument == u'-' || !argument.startsWith(u'-')) {
            positional.append(argument);
            continue;
        }
        if (argument == QLatin1String("--")) {
            optionsEnded = true;
            continue;
        }
        const QString written = optionName(argument);
        const OptionSpec *option = findOption(written);
        if (!option) {
            const QString &name = written;
            fail(QStringLiteral("unknown option '%1'").arg(name));
            continue;
        }
        const bool inlineValue = written.size() < argument.size();
        const QString name = QLatin1String(option->name);
        QString value;
        if (option->takesValue) {
            if (inlineValue) {
                value = argument.mid(written.size() + 1);
            } else if (i + 1 < arguments.size()) {
                value = arguments.at(++i);
            } else {
                fail(QStringLiteral("%1 needs a value").arg(name));
                continue;
            }
            if (value.isEmpty()) {
                fail(QStringLiteral("%1 needs a value").arg(name));
                continue;
            }
        } else if (inlineValue) {
            fail(QStringLiteral("%1 takes no value").arg(name));
            continue;
        }

        if (name == QLatin1String("--help")) {
            help = true;
        } else if (name == QLatin1String("--version")) {
            version = true;
        } else if (name == QLatin1String("--list-projects")) {
            listProjects = true;
        } else if (name == QLatin1String("--sign-project")) {
            if (project)
                fail(QStringLiteral("--sign-project is given twice"));
            project = value;
        } else {
            if (signOptionsGiven.contains(name))
                fail(QStringLiteral("%1 is given twice").arg(name));
            signOptionsGiven.append(name);
            if (name == QLatin1String("--skip-missing")) {
                result.skipMissing = true;
            } else if (name == QLatin1String("--dry-run")) {
                result.dryRun = true;
            } else if (name == QLatin1String("--password-fd")) {
                result.passwordFd = descriptorNumber(value);
                if (!result.passwordFd)
                    fail(QStringLiteral("--password-fd needs a descriptor number, not '%1'")
                             .arg(value));
            } else if (name == QLatin1String("--password-file")) {
                result.passwordFile = value;
            } else if (name == QLatin1String("--password-env")) {
                result.passwordEnv = value;
            } else if (name == QLatin1String("--sdk-folder")) {
                // As the folder picker stores it: with its trailing "/".
                result.sdkFolder = value.endsWith(u'/') ? value : value + u'/';
            } else if (name == QLatin1String("--files-from")) {
                result.filesFrom = value;
            } else if (name == QLatin1String("--pfx")) {
                result.pfx = value;
            } else if (name == QLatin1String("--best-certificate")) {
                result.bestCertificate = true;
            } else if (name == QLatin1String("--timestamp-url")) {
                result.timestampUrl = value;
            } else if (name == QLatin1String("--no-timestamp")) {
                result.noTimestamp = true;
            } else if (name == QLatin1String("--description")) {
                result.description = value;
            } else if (name == QLatin1String("--description-url")) {
                result.descriptionUrl = value;
            } else if (name == QLatin1String("--verbose")) {
                result.verbose = true;
            } else if (name == QLatin1String("--verify")) {
                result.verify = true;
            } else if (name == QLatin1String("--verify-all")) {
                result.verify = result.verifyAll = true;
            } else if (name == QLatin1String("--json")) {
                result.json = true;
            } else if (name == QLatin1String("--timeout")) {
                result.timeoutSeconds = secondsNumber(value);
                if (!result.timeoutSeconds)
                    fail(QStringLiteral("--timeout needs a number of seconds from 1 to %1, not '%2'")
                             .arg(MaxTimeoutSeconds)
                             .arg(value));
            }
        }
    }

    if (help) {
        result.action = CommandAction::Help;
        return result;
    }
    if (version) {
        result.action = CommandAction::Version;
        return result;
    }
    if (!firstError.isEmpty())
        return usageError(firstError);
    if (listProjects && project)
        return usageError(QStringLiteral("--list-projects and --sign-project exclude each other"));
    if (!project) {
        if (!positional.isEmpty())
            return usageError(QStringLiteral("unexpected argument '%1'").arg(positional.first()));
        if (!signOptionsGiven.isEmpty())
            return usageError(QStringLiteral("%1 needs --sign-project").arg(signOptionsGiven.first()));
        result.action = listProjects ? CommandAction::ListProjects : CommandAction::Window;
        return result;
    }
    const int passwordSources = int(result.passwordFd.has_value()) + int(!result.passwordFile.isEmpty())
        + int(!result.passwordEnv.isEmpty());
    if (passwordSources > 1)
        return usageError(QStringLiteral("--password-fd, --password-file and --password-env exclude "
                                         "each other"));
    if (result.pfx && result.bestCertificate)
        return usageError(QStringLiteral("--pfx and --best-certificate exclude each other"));
    if (result.timestampUrl && result.noTimestamp)
        return usageError(QStringLiteral("--timestamp-url and --no-timestamp exclude each other"));
    if (result.json && result.dryRun)
        return usageError(QStringLiteral("--json and --dry-run exclude each other"));
    if (!positional.isEmpty() && !result.filesFrom.isEmpty())
        return usageError(QStringLiteral("files on the command line and --files-from exclude each "
                                         "other"));
    if (result.filesFrom == u'-' && result.passwordFd == 0)
        return usageError(QStringLiteral("--files-from - and --password-fd 0 both read standard "
                                         "input"));
    result.files = positional;

    result.projectIsFile = project->endsWith(ProjectExtension);
    if (!result.projectIsFile && project->contains(u'/'))
        return usageError(QStringLiteral("'%1' is no project name (a name holds no '/'); give the "
                                         "path of its %2 file instead")
                              .arg(*project, ProjectExtension));
    result.project = *project;
    result.action = CommandAction::SignProject;
    return result;
}

QString UsageHint()
{
    return QStringLiteral("Try 'quillmark --help' for more information.");
}

QString CommandHelpText()
{
    return QStringLiteral(
        "Usage: quillmark --sign-project NAME|FILE.qmk [OPTION]... [FILE]...\n"
        "       quillmark --list-projects\n"
        "Signs the files of a saved Quillmark project without a window, with the options\n"
        "saved in it and the SDK folder of the settings file, and writes what the signing\n"
        "tool prints to standard output. The files named on the command line, or in a\n"
        "list given with --files-from, are signed instead of the project's list.\n"
        "Without any option Quillmark opens its window.\n"
        "\n"
        "  --sign-project NAME     sign the project NAME of the Projects folder\n"
        "  --sign-project FILE.qmk sign the project saved in FILE.qmk\n"
        "  --files-from FILE       sign the files named in FILE, one path a line\n"
        "                          (- reads standard input)\n"
        "  --skip-missing          sign the listed files that are there and name the others\n"
        "                          (without it a missing file stops the run)\n"
        "\n"
        "Signing options, instead of the project's:\n"
        "  --pfx FILE              sign with the certificate of the PFX file FILE\n"
        "  --best-certificate      select the best signing certificate automatically\n"
        "  --timestamp-url URL     time-stamp the signatures with the server at URL\n"
        "  --no-timestamp          no time stamp\n"
        "  --description TEXT      the description of the signed content\n"
        "  --description-url URL   the web address of the description\n"
        "  --verbose               the tool's verbose output\n"
        "  --sdk-folder DIR        the folder of signtool.exe, instead of the settings file's\n"
        "\n"
        "The PFX file's password (a project never holds one):\n"
        "  --password-fd N         read it from descriptor N\n"
        "  --password-file FILE    read it from FILE, which no other user may read\n"
        "  --password-env VAR      take it from the environment variable VAR, which is\n"
        "                          removed before anything is started\n"
        "\n"
        "The run:\n"
        "  --verify                verify each signed file afterwards (verify /pa)\n"
        "  --verify-all            the same, every signature of each file (/all)\n"
        "  --json                  one JSON object per file and a summary on standard\n"
        "                          output, and nothing else there\n"
        "  --timeout SECONDS       stop the whole run after SECONDS, as a signal would\n"
        "  --dry-run               print one command line per run of the tool (password\n"
        "                          masked, files included), and run nothing\n"
        "  --list-projects         list the saved projects, one per line\n"
        "  --help                  show this help and end\n"
        "  --version               show the version and end\n"
        "\n"
        "Exit status: 0 when every file was signed (and verified with --verify); 1 when a\n"
        "file was not signed or did not verify (the tool's own exit code is shown); 2 for\n"
        "a usage error or a missing password; 3 when the project cannot be used (not\n"
        "found, unreadable, a listed file missing, a check of the options failed) or the\n"
        "tool cannot be run; 4 when the user is not an administrator; 128+N when stopped\n"
        "by signal N (SIGINT, SIGTERM, SIGHUP; SIGALRM for --timeout). A stop ends the\n"
        "signing tool at once; a file is only ever replaced by its complete signed copy.\n"
        "\n"
        "A project never holds a password and is never rewritten by this command.\n");
}
