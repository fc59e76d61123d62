#include "pipeline/SignProjectCommand.h"

#include "base/AdminCheck.h"
#include "base/AppError.h"
#include "base/IniFile.h"
#include "base/ProgramFolder.h"
#include "base/ApplicationTitle.h"
#include "base/UserDialogs.h"
#include "filelist/FileListEntry.h"
#include "pipeline/ProjectJob.h"
#include "pipeline/RunReport.h"
#include "pipeline/StreamedConsole.h"
#include "projects/FileUtils.h"
#include "projects/ProjectFile.h"
#include "signing/CommandLine.h"
#include "signing/SignProgress.h"
#include "signing/SignTask.h"
#include "signing/ToolRunner.h"

#include <QCoreApplication>
#include <QFile>
#include <QTimer>
#include <QUrl>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <initializer_list>
#include <optional>

#include <fcntl.h>
#include <sys/stat.h>
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

PasswordSupply readPassword(const CommandArguments &arguments, const CommandContext &context,
                            std::optional<QByteArray> &environmentSecret)
{
    platform::SecretRead read;
    if (!arguments.passwordEnv.isEmpty()) {
        // Moved, not copied: one buffer to wipe, below.
        read.ok = environmentSecret.has_value();
        if (read.ok)
            read.secret = std::move(*environmentSecret);
        else
            read.error = QStringLiteral("the environment variable %1 (--password-env) is not set")
                             .arg(arguments.passwordEnv);
        environmentSecret.reset();
    } else if (arguments.passwordFd)
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

// What a run would do: for each run of the tool, one command line that a
// shell can run (the password masked, the files included).
void printDryRun(QIODevice &out, const SignOptions &masked, const QStringList &files,
                 const ArgumentLimits &limits)
{
    const QString program = GetSignToolPath(masked.sdkBinFolder);
    const QStringList options = SplitArguments(BuildSignOptions(masked));
    for (const FileBatch &batch : PlanSignBatches(program, options, files, limits)) {
        QList<QByteArray> arguments{platform::encodeFileName(program)};
        for (const QString &option : options)
            arguments.append(platform::encodeFileName(option));
        for (const QString &file : files.mid(batch.first, batch.count))
            arguments.append(platform::encodeFileName(file));
        out.write(ShellCommandLine(arguments) + '\n');
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

// The paths of --files-from: one a line (a CR before the line end is
// dropped, empty lines are skipped), "-" for standard input.
QStringList readFileList(const QString &from, QString &problem)
{
    constexpr qint64 MaxListBytes = 64 * 1024 * 1024;
    QFile file;
    int own = -1;
    if (from != u'-') {
        // A named list must be a plain file: a FIFO or a device would hold
        // the run without end.
        own = ::open(platform::encodeFileName(from).constData(),
                     O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        struct stat facts {};
        const int error = own < 0 ? errno : ::fstat(own, &facts) != 0 ? errno : 0;
        if (error != 0 || !S_ISREG(facts.st_mode)) {
            problem = QStringLiteral("the file list %1 cannot be read: %2")
                          .arg(platform::displayFileName(from),
                               error != 0 ? platform::systemErrorText(error)
                                          : QStringLiteral("it is not a regular file"));
            if (own >= 0)
                ::close(own);
            return {};
        }
    }
    if (!file.open(own >= 0 ? own : STDIN_FILENO, QIODevice::ReadOnly,
                   own >= 0 ? QFileDevice::AutoCloseHandle : QFileDevice::DontCloseHandle)) {
        problem = QStringLiteral("the file list %1 cannot be read: %2")
                      .arg(platform::displayFileName(from), file.errorString());
        if (own >= 0)
            ::close(own);
        return {};
    }
    const QByteArray bytes = file.read(MaxListBytes + 1);
    if (bytes.size() > MaxListBytes) {
        problem = QStringLiteral("the file list %1 is larger than 64 MiB")
                      .arg(platform::displayFileName(from));
        return {};
    }
    QStringList paths;
    for (QByteArray line : bytes.split('\n')) {
        if (line.endsWith('\r'))
            line.chop(1);
        if (!line.isEmpty())
            paths.append(platform::decodeFileName(line));
    }
    if (paths.isEmpty())
        problem = QStringLiteral("the file list %1 names no file").arg(platform::displayFileName(from));
    return paths;
}

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
    if (!arguments.files.isEmpty() || !arguments.filesFrom.isEmpty()) {
        QStringList named = arguments.files;
        if (!arguments.filesFrom.isEmpty()) {
            QString problem;
            named = readFileList(arguments.filesFrom, problem);
            if (!problem.isEmpty()) {
                report(err, problem);
                return CommandExit::UsageError;
            }
        }
        job.files.clear();
        job.missing.clear();
        ListFiles(named, job.files, job.missing);
    }
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
                                  const CommandContext &context, SignOptions &options,
                                  std::optional<QByteArray> &environmentSecret)
{
    if (!options.usePfxFile)
        return std::nullopt;
    QIODevice &err = *context.err;
    if (!arguments.passwordFd && arguments.passwordFile.isEmpty() && arguments.passwordEnv.isEmpty()) {
        if (arguments.dryRun) {
            // Nothing runs, so nothing needs it; the line shows the mask.
            options.pfxPassword = MaskedPassword;
            return std::nullopt;
        }
        report(err, QStringLiteral("Please enter the PFX file password! The project signs with "
                                   "a PFX file: give its password with --password-fd N, "
                                   "--password-file FILE or --password-env VAR."));
        return CommandExit::UsageError;
    }
    PasswordSupply supply = readPassword(arguments, context, environmentSecret);
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

// Set by the stop signals' handler. Outside a run nothing is left to tidy
// away and the handler ends the process itself; while a run has a tool and
// a capture file, it only notes the signal and the run stops.
volatile sig_atomic_t g_stopSignal = 0;
volatile sig_atomic_t g_stopDeferred = 0;

extern "C" void onStopSignal(int signal)
{
    if (!g_stopDeferred)
        ::_exit(CommandExit::StoppedBySignal + signal);
    if (!g_stopSignal)
        g_stopSignal = signal;
}

int pendingStopSignal()
{
    return g_stopSignal;
}

// For as long as it lives, a stop signal waits for the run to tidy up.
class StopDeferred {
public:
    StopDeferred() { g_stopDeferred = 1; }
    ~StopDeferred() { g_stopDeferred = 0; }
    StopDeferred(const StopDeferred &) = delete;
    StopDeferred &operator=(const StopDeferred &) = delete;
};

int stopSignalOf(const CommandContext &context)
{
    return context.stopSignal ? context.stopSignal() : 0;
}

// A folder of one run's own (mode 0700, a new name made exclusively by
// mkdtemp) for its capture file, so that runs at once from one working
// folder never meet, and a working folder others can write to is never
// written. It is removed with the run, by its name in the folder that was
// opened before it was made: a parent renamed or swapped for a link in the
// meantime cannot point the removal elsewhere.
class RunFolder {
public:
    explicit RunFolder(const QString &temporaryFolder)
    {
        QByteArray parent = platform::encodeFileName(temporaryFolder);
        if (parent.isEmpty()) {
            const char *tmpdir = std::getenv("TMPDIR");
            parent = tmpdir && tmpdir[0] == '/' ? QByteArray(tmpdir) : QByteArray("/tmp");
        }
        while (parent.size() > 1 && parent.endsWith('/'))
            parent.chop(1);
        m_parent = ::open(parent.constData(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (m_parent < 0) {
            m_error = errno;
            return;
        }
        // mkdtemp works on a path; /proc/self/fd/N names the folder opened
        // above, whatever its path is by now.
        QByteArray pattern = "/proc/self/fd/" + QByteArray::number(m_parent) + "/quillmark-run.XXXXXX";
        if (!::mkdtemp(pattern.data())) {
            m_error = errno;
            return;
        }
        m_name = pattern.mid(pattern.lastIndexOf('/') + 1);
        m_path = parent + '/' + m_name;
    }
    ~RunFolder()
    {
        if (!m_name.isEmpty())
            ::unlinkat(m_parent, m_name.constData(), AT_REMOVEDIR);
        if (m_parent >= 0)
            ::close(m_parent);
    }
    RunFolder(const RunFolder &) = delete;
    RunFolder &operator=(const RunFolder &) = delete;

    bool made() const { return !m_name.isEmpty(); }
    QString path() const { return platform::decodeFileName(m_path); }
    int error() const { return m_error; }

private:
    int m_parent = -1;
    QByteArray m_name;
    QByteArray m_path;
    int m_error = 0;
};

// One run of the tool over the files as a task, its output streamed to
// `console`; a stop signal ends it at once.
SignRunOutcome runTask(ConsoleText &console, const SignRunRequest &request,
                       const CommandContext &context,
                       const std::function<void(int done, int total)> &progress)
{
    SignTask task(console, request);
    if (auto *streamed = dynamic_cast<StreamedConsole *>(&console)) {
        QObject::connect(&task, &SignTask::outputGrew,
                         [streamed](const QByteArray &added) { streamed->outputGrew(added); });
    }
    if (progress)
        QObject::connect(&task, &SignTask::progress, progress);
    // The tool runner processes events while the tool runs.
    QTimer stopWatch;
    QObject::connect(&stopWatch, &QTimer::timeout, [&] {
        if (stopSignalOf(context))
            task.stop();
    });
    stopWatch.start(20);
    if (stopSignalOf(context))
        task.stop();
    return task.run();
}

QString toolEndedText(int code)
{
    return QStringLiteral("the signing tool ended with exit code %1").arg(code);
}

// Runs the tool as the sign action does, but the password never reaches a
// log: the command line block shows it masked. Verifies with --verify,
// reports each file with --json, and returns the command's exit code.
int runSigning(const CommandArguments &arguments, const ProjectJob &job, const SignOptions &masked,
               const ArgumentLimits &limits, const CommandContext &context)
{
    const SignOptions &options = job.options;
    QIODevice &err = *context.err;
    // With --json standard output carries the JSON lines alone.
    QIODevice &toolOutput = arguments.json ? err : *context.out;
    StreamedConsole console(toolOutput);
    if (job.addCommandLine)
        console.addLines(CommandLineBlock(masked));

    const StopDeferred deferred;
    const RunFolder folder(context.temporaryFolder);
    if (!folder.made()) {
        report(err, QStringLiteral("no private folder for the capture file can be made: %1")
                        .arg(platform::systemErrorText(folder.error())));
        return CommandExit::ProjectUnusable;
    }

    SignRunRequest request;
    request.workingFolder = options.sdkBinFolder;
    request.program = GetSignToolPath(options.sdkBinFolder);
    request.options = BuildSignOptions(options);
    request.files = job.files;
    request.limits = limits;
    request.minimised = !options.selectBestCert;
    request.captureFolder = folder.path();
    const SecretsWiped wiped{&request.options};

    int shownDone = 0;
    std::function<void(int, int)> progress;
    if (context.progressToErr) {
        // Every file counts: when the tool reports several outcomes at
        // once, each count still gets its line.
        progress = [&](int done, int total) {
            while (shownDone < std::min(done, total))
                WriteLine(err, ProgressText(++shownDone, total));
        };
    }

    SignRunOutcome outcome;
    SignRunOutcome verifyOutcome;
    QList<FileOutcome> outcomes;
    try {
        outcome = runTask(console, request, context, progress);
        if (outcome.startFailed)
            return CommandExit::ProjectUnusable;
        const int stopped = stopSignalOf(context);
        const QString fallback = stopped
            ? QStringLiteral("not signed: the run was stopped by signal %1").arg(stopped)
            : outcome.exitCode != 0 ? QStringLiteral("not signed (%1)").arg(toolEndedText(outcome.exitCode))
                                    : QStringLiteral("the signing tool did not report it signed");
        outcomes = SignOutcomes(job.files, console.lines(), fallback);

        if (arguments.verify && !stopped) {
            QStringList signedFiles;
            for (const FileOutcome &file : outcomes) {
                if (file.status == FileStatus::Signed)
                    signedFiles.append(file.file);
            }
            if (!signedFiles.isEmpty()) {
                StreamedConsole verifyConsole(toolOutput);
                SignRunRequest verify = request;
                verify.options = arguments.verifyAll ? QStringLiteral("verify /pa /all /v ")
                                                     : QStringLiteral("verify /pa /v ");
                verify.files = signedFiles;
                verify.minimised = false;
                verifyOutcome = runTask(verifyConsole, verify, context, {});
                if (verifyOutcome.startFailed)
                    return CommandExit::ProjectUnusable;
                ApplyVerifyOutcomes(outcomes, verifyConsole.lines(),
                                    stopSignalOf(context)
                                        ? QStringLiteral("not verified: the run was stopped")
                                        : QStringLiteral("not verified (%1)")
                                              .arg(QStringLiteral("the verifying tool ended with exit code %1")
                                                       .arg(verifyOutcome.exitCode)));
            }
        }
    } catch (const AppError &error) {
        report(err, error.message());
        return CommandExit::ProjectUnusable;
    }

    for (const QString &missing : job.missing) {
        FileOutcome skipped;
        skipped.file = missing;
        skipped.status = FileStatus::Skipped;
        skipped.message = QStringLiteral("not found");
        outcomes.append(skipped);
    }

    RunSummary summary;
    summary.toolExitCode = outcome.exitCode != 0 ? outcome.exitCode : verifyOutcome.exitCode;
    summary.stoppedBy = stopSignalOf(context);
    summary.verified = arguments.verify;
    bool allDone = true;
    for (const FileOutcome &file : outcomes)
        allDone = allDone && (file.status == FileStatus::Signed || file.status == FileStatus::Skipped);
    summary.exitCode = summary.stoppedBy ? CommandExit::StoppedBySignal + summary.stoppedBy
        : allDone && summary.toolExitCode == 0 ? CommandExit::Signed
                                               : CommandExit::NotSigned;

    if (outcome.exitCode != 0 && !summary.stoppedBy)
        report(err, toolEndedText(outcome.exitCode));
    if (verifyOutcome.exitCode != 0 && !summary.stoppedBy)
        report(err, QStringLiteral("the verifying tool ended with exit code %1").arg(verifyOutcome.exitCode));
    for (const FileOutcome &file : outcomes) {
        if (file.status == FileStatus::NotVerified)
            report(err, QStringLiteral("did not verify: %1").arg(platform::displayFileName(file.file)));
    }
    if (summary.stoppedBy)
        report(err, QStringLiteral("stopped by signal %1 (SIG%2); the file in hand keeps its old "
                                   "content")
                        .arg(summary.stoppedBy)
                        .arg(QString::fromLatin1(sigabbrev_np(summary.stoppedBy))));
    if (arguments.json) {
        for (const FileOutcome &file : outcomes)
            context.out->write(JsonLine(FileOutcomeJson(file)));
        context.out->write(JsonLine(SummaryJson(outcomes, summary)));
    }
    return summary.exitCode;
}

// Each signing option the command line names, over the project's.
void applyOverrides(const CommandArguments &arguments, SignOptions &options)
{
    if (arguments.pfx) {
        options.usePfxFile = true;
        options.selectBestCert = false;
        // The tool runs in the SDK folder: a relative path is ours.
        QString pfx = *arguments.pfx;
        if (!pfx.startsWith(u'/')) {
            const QString here = platform::currentFolder();
            pfx = (here.endsWith(u'/') ? here : here + u'/') + pfx;
        }
        options.pfxFilename = pfx;
    }
    if (arguments.bestCertificate) {
        options.selectBestCert = true;
        options.usePfxFile = false;
    }
    if (arguments.timestampUrl) {
        options.timeStamp = true;
        options.timeStampUrl = *arguments.timestampUrl;
    }
    if (arguments.noTimestamp)
        options.timeStamp = false;
    if (arguments.description) {
        options.addDescription = true;
        options.descriptionText = *arguments.description;
    }
    if (arguments.descriptionUrl) {
        options.addDescription = true;
        options.descriptionUrl = *arguments.descriptionUrl;
    }
    if (arguments.verbose)
        options.verboseOutput = true;
}

// The variable of --password-env, taken out of the environment (and its
// text there wiped) before anything is started, so no child inherits it.
std::optional<QByteArray> takeEnvironmentSecret(const QString &name)
{
    const QByteArray key = name.toLocal8Bit();
    char *value = std::getenv(key.constData());
    if (!value)
        return std::nullopt;
    QByteArray secret(value);
    std::memset(value, 0, std::strlen(value));
    ::unsetenv(key.constData());
    return secret;
}

int signProject(const CommandArguments &arguments, const CommandContext &context)
{
    std::optional<QByteArray> environmentSecret;
    if (!arguments.passwordEnv.isEmpty())
        environmentSecret = takeEnvironmentSecret(arguments.passwordEnv);
    struct EnvironmentSecretWiped {
        std::optional<QByteArray> &secret;
        ~EnvironmentSecretWiped()
        {
            if (secret)
                platform::wipe(*secret);
        }
    } environmentWiped{environmentSecret};

    ProjectJob job;
    if (const std::optional<int> unusable = loadJob(arguments, context, job))
        return *unusable;
    const SecretsWiped wiped{&job.options.pfxPassword};
    applyOverrides(arguments, job.options);
    if (const std::optional<int> noPassword =
            supplyPassword(arguments, context, job.options, environmentSecret))
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
    return runSigning(arguments, job, masked, limits, context);
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
    context.stopSignal = pendingStopSignal;

    // A build job's time-out, Ctrl+C or kill: the tool in hand is ended at
    // once, the capture file removed, and the exit code says which signal.
    struct sigaction stop {};
    stop.sa_handler = onStopSignal;
    sigemptyset(&stop.sa_mask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGALRM})
        ::sigaction(signal, &stop, nullptr);
    const CommandArguments parsed = ParseCommandArguments(arguments);
    if (parsed.action == CommandAction::SignProject && parsed.timeoutSeconds)
        ::alarm(unsigned(*parsed.timeoutSeconds));
    return RunCommand(parsed, context);
}
