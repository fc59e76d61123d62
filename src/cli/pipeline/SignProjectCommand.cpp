#include "pipeline/SignProjectCommand.h"

#include "base/AdminCheck.h"
#include "base/AppError.h"
#include "base/IniFile.h"
#include "base/ProgramFolder.h"
#include "base/ApplicationTitle.h"
#include "base/UserDialogs.h"
#include "filelist/FileListEntry.h"
#include "pipeline/ProjectJob.h"
#include "pipeline/StreamedConsole.h"
#include "projects/FileUtils.h"
#include "projects/ProjectFile.h"
#include "signing/CommandLine.h"
#include "signing/SignProgress.h"
#include "signing/SignTask.h"
#include "signing/ToolRunner.h"

#include <QCoreApplication>
#include <QFile>
#include <QUrl>

#include <initializer_list>
#include <optional>

#include <unistd.h>

namespace {

// Every message of the command, and every box that the shared code would
// show, as "quillmark: " and the text on standard error.
void report(QIODevice &err, const QString &text)
{
    WriteLine(err, QStringLiteral("quillmark: ") + text);
}

// The boxes of the shared code (the tool runner's start failure) become
// lines on standard error; a question takes the answer that Escape gives.
class StandardErrorDialogs final : public UserDialogs {
public:
    explicit StandardErrorDialogs(QIODevice &err) : m_err(err) {}
    DialogButton showMessage(const MessageRequest &request) override
    {
        report(m_err, request.text);
        return request.escapeButton;
    }
    std::optional<QString> getOpenFileName(const OpenFileRequest &) override { return {}; }
    std::optional<QString> getSaveFileName(const SaveFileRequest &) override { return {}; }
    std::optional<QString> getExistingFolder(const FolderRequest &) override { return {}; }
    void openUrl(const QUrl &) override {}

private:
    QIODevice &m_err;
};

class DialogsInstalled {
public:
    explicit DialogsInstalled(QIODevice &err)
        : m_previous(UserDialogs::install(std::make_unique<StandardErrorDialogs>(err)))
    {
    }
    ~DialogsInstalled() { UserDialogs::install(std::move(m_previous)); }
    DialogsInstalled(const DialogsInstalled &) = delete;
    DialogsInstalled &operator=(const DialogsInstalled &) = delete;

private:
    std::unique_ptr<UserDialogs> m_previous;
};

struct PasswordSupply {
    bool ok = true;
    QString password;
};

PasswordSupply readPassword(const CommandArguments &arguments, const CommandContext &context)
{
    platform::SecretRead read;
    if (arguments.passwordFd)
        read = platform::readSecretFromDescriptor(*arguments.passwordFd, context.passwordTimeoutMs);
    else
        read = platform::readPrivateSecretFile(arguments.passwordFile);
    PasswordSupply supply;
    if (!read.ok) {
        report(*context.err, read.error);
        supply.ok = false;
        return supply;
    }
    supply.password = QString::fromUtf8(read.secret);
    platform::wipe(read.secret);
    return supply;
}

ArgumentLimits argumentLimitsOf(const CommandContext &context)
{
    if (context.argumentLimits)
        return *context.argumentLimits;
    const platform::ArgumentSpace space = platform::childArgumentSpace();
    return {UsableArgumentSpace(space.argMax, space.environmentBytes), space.longestArgument};
}

// What a run would do: the command line (password masked) and the files,
// with the batches they would be signed in.
void printDryRun(QIODevice &out, const SignOptions &masked, const QStringList &files,
                 const ArgumentLimits &limits)
{
    for (const QString &line : CommandLineBlock(masked))
        WriteLine(out, line);
    WriteLine(out, FileCountCaption(int(files.size())));
    const QList<FileBatch> batches = PlanSignBatches(
        GetSignToolPath(masked.sdkBinFolder), SplitArguments(BuildSignOptions(masked)), files,
        limits);
    for (const FileBatch &batch : batches) {
        if (batches.size() > 1)
            WriteLine(out, BatchHeader(batch, int(files.size())));
        for (const QString &file : files.mid(batch.first, batch.count))
            WriteLine(out, platform::displayFileName(file));
    }
}

// Wipes the secrets it is given whichever way the command leaves.
class SecretsWiped {
public:
    explicit SecretsWiped(std::initializer_list<QString *> secrets) : m_secrets(secrets) {}
    ~SecretsWiped()
    {
        for (QString *secret : m_secrets)
            platform::wipe(*secret);
    }
    SecretsWiped(const SecretsWiped &) = delete;
    SecretsWiped &operator=(const SecretsWiped &) = delete;

private:
    QList<QString *> m_secrets;
};

// The project as a job, or the exit code when it cannot be used.
std::optional<int> loadJob(const CommandArguments &arguments, const CommandContext &context,
                           ProjectJob &job)
{
    QIODevice &err = *context.err;
    const QString path =
        ProjectFileFor(arguments.project, arguments.projectIsFile, context.programFolder);
    const IniFile project(path, MaxProjectFileBytes);
    if (!project.fileExisted()) {
        report(err, QStringLiteral("Sorry, unable to find this project file! (%1)")
                        .arg(platform::displayFileName(path)));
        return CommandExit::ProjectUnusable;
    }
    if (project.tooLarge()) {
        report(err, QStringLiteral("the project file %1 cannot be read: it is larger than %2 MiB")
                        .arg(platform::displayFileName(path))
                        .arg(MaxProjectFileBytes / (1024 * 1024)));
        return CommandExit::ProjectUnusable;
    }
    if (project.readFailed()) {
        report(err, QStringLiteral("the project file %1 cannot be read")
                        .arg(platform::displayFileName(path)));
        return CommandExit::ProjectUnusable;
    }

    const QString sdkFolder = arguments.sdkFolder.isEmpty()
        ? SettingsSdkFolder(context.programFolder)
        : arguments.sdkFolder;
    job = ReadProjectJob(project, sdkFolder);
    for (const QString &missing : job.missing) {
        report(err, (arguments.skipMissing ? QStringLiteral("skipped, not found: %1")
                                           : QStringLiteral("listed file not found: %1"))
                        .arg(platform::displayFileName(missing)));
    }
    if (!job.missing.isEmpty() && !arguments.skipMissing) {
        report(err, QStringLiteral("nothing was signed; --skip-missing signs the files that "
                                   "are there"));
        return CommandExit::ProjectUnusable;
    }
    return std::nullopt;
}

// The PFX password into the options where they sign with a PFX file, or
// the exit code when there is none to be had.
std::optional<int> supplyPassword(const CommandArguments &arguments,
                                  const CommandContext &context, SignOptions &options)
{
    if (!options.usePfxFile)
        return std::nullopt;
    QIODevice &err = *context.err;
    if (!arguments.passwordFd && arguments.passwordFile.isEmpty()) {
        if (arguments.dryRun) {
            // Nothing runs, so nothing needs it; the line shows the mask.
            options.pfxPassword = MaskedPassword;
            return std::nullopt;
        }
        report(err, QStringLiteral("Please enter the PFX file password! The project signs with "
                                   "a PFX file: give its password with --password-fd N or "
                                   "--password-file FILE."));
        return CommandExit::UsageError;
    }
    PasswordSupply supply = readPassword(arguments, context);
    if (!supply.ok)
        return CommandExit::UsageError;
    options.pfxPassword = std::move(supply.password);
    if (options.pfxPassword.isEmpty()) {
        report(err, QStringLiteral("Please enter the PFX file password! (the password given is "
                                   "empty)"));
        return CommandExit::UsageError;
    }
    return std::nullopt;
}

// Runs the tool as the sign action does, but the password never reaches a
// log: the command line block shows it masked.
int runSigning(const ProjectJob &job, const SignOptions &masked, const ArgumentLimits &limits,
               const CommandContext &context)
{
    const SignOptions &options = job.options;
    StreamedConsole console(*context.out);
    if (job.addCommandLine)
        console.addLines(CommandLineBlock(masked));

    SignRunRequest request;
    request.workingFolder = options.sdkBinFolder;
    request.program = GetSignToolPath(options.sdkBinFolder);
    request.options = BuildSignOptions(options);
    request.files = job.files;
    request.limits = limits;
    request.minimised = !options.selectBestCert;
    const SecretsWiped wiped{&request.options};

    SignTask task(console, request);
    QObject::connect(&task, &SignTask::outputGrew,
                     [&console](const QByteArray &added) { console.outputGrew(added); });
    int shownDone = 0;
    if (context.progressToErr) {
        QObject::connect(&task, &SignTask::progress, [&](int done, int total) {
            if (done <= 0 || done == shownDone)
                return;
            shownDone = done;
            WriteLine(*context.err, ProgressText(done, total));
        });
    }

    SignRunOutcome outcome;
    try {
        outcome = task.run();
    } catch (const AppError &error) {
        report(*context.err, error.message());
        return CommandExit::ProjectUnusable;
    }
    if (outcome.startFailed)
        return CommandExit::ProjectUnusable;
    return outcome.exitCode;
}

int signProject(const CommandArguments &arguments, const CommandContext &context)
{
    ProjectJob job;
    if (const std::optional<int> unusable = loadJob(arguments, context, job))
        return *unusable;
    const SecretsWiped wiped{&job.options.pfxPassword};
    if (const std::optional<int> noPassword = supplyPassword(arguments, context, job.options))
        return *noPassword;

    // The window's checks, in the window's order.
    QString refusal = CheckSignRequest(job.options, int(job.files.size()),
                                       FileExists(GetSignToolPath(job.options.sdkBinFolder)));
    if (refusal.isEmpty())
        refusal = CheckForDoubleQuotes(job.options, job.files);
    if (!refusal.isEmpty()) {
        report(*context.err, refusal);
        return CommandExit::ProjectUnusable;
    }

    SignOptions masked = job.options;
    if (!masked.selectBestCert)
        masked.pfxPassword = MaskedPassword;
    const ArgumentLimits limits = argumentLimitsOf(context);
    if (arguments.dryRun) {
        printDryRun(*context.out, masked, job.files, limits);
        return CommandExit::Signed;
    }
    return runSigning(job, masked, limits, context);
}

int listProjects(const CommandContext &context)
{
    const QStringList names =
        ProjectNames(BuildFileList(ProjectsFolderIn(context.programFolder), QStringLiteral("*.qmk")));
    // The names' own bytes, so that each can be handed back to --sign-project.
    for (const QString &name : names)
        context.out->write(platform::encodeFileName(name) + '\n');
    return CommandExit::Signed;
}

} // namespace

int RunCommand(const CommandArguments &arguments, const CommandContext &context)
{
    QIODevice &err = *context.err;
    switch (arguments.action) {
    case CommandAction::Help:
        context.out->write(CommandHelpText().toUtf8());
        return CommandExit::Signed;
    case CommandAction::Version:
        WriteLine(*context.out, QStringLiteral("quillmark ") + context.version);
        return CommandExit::Signed;
    case CommandAction::UsageError:
    case CommandAction::Window:
        report(err, arguments.action == CommandAction::Window ? QStringLiteral("nothing to do")
                                                              : arguments.usageError);
        WriteLine(err, UsageHint());
        return CommandExit::UsageError;
    case CommandAction::ListProjects:
    case CommandAction::SignProject:
        break;
    }

    if (!IsAdminIdentity(context.identity)) {
        report(err, NonAdminRefusalText());
        return CommandExit::NotAdministrator;
    }
    DialogsInstalled dialogs(err);
    if (arguments.action == CommandAction::ListProjects)
        return listProjects(context);
    return signProject(arguments, context);
}

int RunCommandLine(int argc, char **argv, const QString &version)
{
    // A password may sit in this process's memory from here on.
    platform::forbidCoreDumps();
    platform::ignoreClosedOutput();

    const QStringList arguments = DecodedArguments(argc, argv);

    // Qt reads nothing of the command line here: it gets the program name.
    int qtArgc = 1;
    char *qtArgv[] = {argv[0], nullptr};
    QCoreApplication application(qtArgc, qtArgv);
    QCoreApplication::setApplicationName(QString::fromLatin1(ApplicationTitle));
    QCoreApplication::setApplicationVersion(version);

    QFile out;
    QFile err;
    out.open(STDOUT_FILENO, QIODevice::WriteOnly | QIODevice::Unbuffered);
    err.open(STDERR_FILENO, QIODevice::WriteOnly | QIODevice::Unbuffered);

    CommandContext context;
    context.programFolder = ExecutableProgramFolder();
    context.identity = platform::currentUserIdentity();
    context.out = &out;
    context.err = &err;
    context.progressToErr = platform::isTerminal(STDERR_FILENO);
    context.version = version;
    return RunCommand(ParseCommandArguments(arguments), context);
}
