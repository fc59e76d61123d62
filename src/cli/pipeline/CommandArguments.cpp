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
    {"--sign-project", true}, {"--skip-missing", false}, {"--dry-run", false},
    {"--password-fd", true},  {"--password-file", true}, {"--sdk-folder", true},
    {"--list-projects", false}, {"--help", false},       {"--version", false},
};

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
        if (findOption(optionName(argument)))
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

    auto fail = [&](const QString &reason) {
        if (firstError.isEmpty())
            firstError = reason;
    };

    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        const QString written = optionName(argument);
        const OptionSpec *option = findOption(written);
        if (!option) {
            const QString &name = written;
            fail(argument.startsWith(u'-')
                     ? QStringLiteral("unknown option '%1'").arg(name)
                     : QStringLiteral("unexpected argument '%1'").arg(argument));
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
            } else if (name == QLatin1String("--sdk-folder")) {
                // As the folder picker stores it: with its trailing "/".
                result.sdkFolder = value.endsWith(u'/') ? value : value + u'/';
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
        if (!signOptionsGiven.isEmpty())
            return usageError(QStringLiteral("%1 needs --sign-project").arg(signOptionsGiven.first()));
        result.action = listProjects ? CommandAction::ListProjects : CommandAction::Window;
        return result;
    }
    if (result.passwordFd && !result.passwordFile.isEmpty())
        return usageError(QStringLiteral("--password-fd and --password-file exclude each other"));

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
        "Usage: quillmark --sign-project NAME|FILE.qmk [OPTION]...\n"
        "       quillmark --list-projects\n"
        "Signs the files of a saved Quillmark project without a window, with the options\n"
        "saved in it and the SDK folder of the settings file, and writes what the signing\n"
        "tool prints to standard output. Without any of these options Quillmark opens its\n"
        "window.\n"
        "\n"
        "  --sign-project NAME     sign the project NAME of the Projects folder\n"
        "  --sign-project FILE.qmk sign the project saved in FILE.qmk\n"
        "  --skip-missing          sign the listed files that are there and name the others\n"
        "                          (without it a missing file stops the run)\n"
        "  --password-fd N         read the PFX file's password from descriptor N\n"
        "  --password-file FILE    read it from FILE, which no other user may read\n"
        "  --sdk-folder DIR        the folder of signtool.exe, instead of the settings file's\n"
        "  --dry-run               print the command line (password masked) and the files,\n"
        "                          and run nothing\n"
        "  --list-projects         list the saved projects, one per line\n"
        "  --help                  show this help and end\n"
        "  --version               show the version and end\n"
        "\n"
        "Exit status: the signing tool's (0 when every file was signed); 2 for a usage\n"
        "error or a missing password; 3 when the project cannot be used (not found,\n"
        "unreadable, a listed file missing, a check of the options failed) or the tool\n"
        "cannot be run; 4 when the user is not an administrator.\n"
        "\n"
        "A project never holds a password and is never rewritten by this command.\n");
}
