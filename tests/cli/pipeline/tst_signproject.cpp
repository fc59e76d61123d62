// The build-server command on projects saved through the main window's own
// save: the program run without a display (no DISPLAY, no QT_QPA_PLATFORM)
// from a program folder of its own, its exit codes, its output against
// what the console window shows for the same project, and what it must
// never do (run anything on a dry run, rewrite a project, print a password).

#include "mainwindow/u_frmMain.h"
#include "filelist/TDivFileList.h"
#include "pipeline/SignProjectCommand.h"
#include "signing/CommandLine.h"
#include "signing/ToolRunner.h"
#include "console/u_frmConsoleOutput.h"
#include "support/ConsoleWatcher.h"
#include "support/FileContents.h"
#include "support/ScriptedDialogs.h"
#include "support/SoftHsmToken.h"
#include "support/TestData.h"

#include <QBuffer>
#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <optional>

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>

#include <csignal>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using testfiles::readAll;
using testfiles::writeAll;

const QString Password = QStringLiteral("pa ss-w0rd");

struct CommandRun {
    int exitCode = -1;
    QString out;
    QString err;
    QStringList outLines() const
    {
        QStringList lines = out.split(u'\n');
        if (!lines.isEmpty() && lines.last().isEmpty())
            lines.removeLast();
        return lines;
    }
};

// The options a test sets in the window before it saves the project.
struct ProjectSetup {
    QStringList files;
    QString pfx;                 // empty: automatic certificate choice
    QString description;
    bool commandLine = false;    // "Add Command Line to Console"
};

} // namespace

class TestSignProject : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void signsASavedProjectWithoutADisplay();
    void outputIsWhatTheConsoleShows();
    void batchesAreWhatTheConsoleShows();
    void missingFileStopsTheRunUnlessSkipped();
    void exitCodes();
    void otherArgumentsStillOpenTheWindow();
    void misspeltOptionsNeverOpenTheWindow();
    void toolsExitCodeIsShownNotPassedOn();
    void twoRunsAtOnceInOneFolder();
    void signsTheFilesNamedInsteadOfTheList();
    void overridesTheProjectsOptions();
    void passwordFromTheEnvironmentReachesNoChild();
    void sigtermStopsTheToolAtOnce();
    void timeoutStopsTheRun();
    void runFolderIsRemovedWhereItWasMade();
    void theToolDiesWithAKilledCommand();
    void verifiesAndReportsJson();
    void signsThroughAP11KitServer();
    void notAnAdministrator();
    void passwordFromAnyDescriptor();
    void passwordFileMustBePrivate();
    void dryRunRunsNothing();
    void progressOnATerminalOnly();
    void aReaderThatGoesAwayDoesNotCutTheRunShort();
    void listsTheSavedProjects();
    void bashCompletesOptionsAndProjects();
    void oversizedProjectIsRefusedUnread();
    void controlCharactersInNamesAreShownEscaped();

private:
    TfrmMain *openWindow();
    QString saveProject(const QString &name, const ProjectSetup &setup);
    CommandRun run(const QStringList &arguments, const QByteArray &input = {},
                   const QProcessEnvironment &extra = {});
    void startCommand(QProcess &process, const QStringList &arguments,
                      const QProcessEnvironment &extra = {});
    QStringList leftInTemporaryFolder() const;
    CommandRun runInProcess(const QStringList &arguments, const platform::UserIdentity &identity,
                            bool progressToErr = false, std::optional<ArgumentLimits> limits = {});
    QString fakeSdk(const QByteArray &script);
    QString peFile(const QString &name, quint32 variant = 0);
    QString projects() const { return m_program + "Projects/"; }

    QTemporaryDir m_root;
    QString m_program;       // the program folder, with "/"
    QString m_case;          // this case's working folder
    QString m_tmp;           // the command's TMPDIR, where its runs' private folders go
    QString m_pfx;
    QString m_trusted;       // the signer's certificate, for osslsigncode verify
    QString m_previousFolder;
    ScriptedDialogsGuard *m_dialogs = nullptr;
    TfrmMain *m_window = nullptr;
    int m_cases = 0;
};

void TestSignProject::initTestCase()
{
    QVERIFY(m_root.isValid());
    m_program = m_root.filePath("program") + "/";
    QVERIFY(QDir().mkpath(m_program));
    m_tmp = m_root.filePath("tmp");
    QVERIFY(QDir().mkpath(m_tmp));
    // The program finds its settings and projects beside its executable.
    const QString program = m_program + "quillmark";
    QVERIFY(QFile::copy(QStringLiteral(QUILLMARK_PROGRAM), program));
    QVERIFY(QFile::setPermissions(program, QFile::permissions(program) | QFile::ExeOwner));

    const testdata::KeyAndCert signer = testdata::makeCertificate();
    m_pfx = m_root.filePath("release key.pfx");
    m_trusted = m_root.filePath("trusted.pem");
    QVERIFY(testdata::writePkcs12(m_pfx, signer, Password));
    QVERIFY(testdata::writeCertificatePem(m_trusted, signer));

    // The SDK folder reaches the settings file as a user's would: picked in
    // the window and written when it closes.
    ScriptedDialogsGuard dialogs;
    TfrmMain window(m_program);
    window.edPlatformSDKFolder->setText(QStringLiteral(QUILLMARK_SDK_BIN_DIR));
    QVERIFY(window.FormClose());
}

void TestSignProject::init()
{
    m_case = m_root.filePath(QStringLiteral("case%1").arg(++m_cases));
    QVERIFY(QDir().mkpath(m_case));
    // The capture file lies in the current folder; keep it in the case's.
    m_previousFolder = QDir::currentPath();
    QDir::setCurrent(m_case);
    m_dialogs = new ScriptedDialogsGuard;
}

void TestSignProject::cleanup()
{
    delete m_window;
    m_window = nullptr;
    delete m_dialogs;
    m_dialogs = nullptr;
    QDir::setCurrent(m_previousFolder);
    QDir(projects()).removeRecursively();
    // The command's capture files are its own, never the window's.
    QVERIFY(!QFile::exists(m_case + "/$tmp$.tmp"));
    QVERIFY2(leftInTemporaryFolder().isEmpty(), qPrintable(leftInTemporaryFolder().join(", ")));
}

QStringList TestSignProject::leftInTemporaryFolder() const
{
    return QDir(m_tmp).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}

TfrmMain *TestSignProject::openWindow()
{
    delete m_window;
    m_window = new TfrmMain(m_program);
    return m_window;
}

// Sets the options in the window, lists the files and saves the project
// through the window's save button and dialog; returns the project file.
QString TestSignProject::saveProject(const QString &name, const ProjectSetup &setup)
{
    TfrmMain *window = openWindow();
    window->cbUsePFXFile->setChecked(!setup.pfx.isEmpty());
    window->edCertName->setText(setup.pfx);
    // Typed, but a project never keeps it.
    window->edPassword->setText(setup.pfx.isEmpty() ? QString() : Password);
    window->cbAddDesc->setChecked(!setup.description.isEmpty());
    window->edAddDesc->setText(setup.description);
    window->cbAddCmdLnToConsole->setChecked(setup.commandLine);
    for (const QString &file : setup.files)
        window->DivFileList->AddFileEntry(file);
    const QString path = projects() + name + ".qmk";
    (*m_dialogs)->fileAnswers.enqueue(path);
    window->btnSaveProjectClick();
    delete m_window;
    m_window = nullptr;
    if (!QFile::exists(path))
        qWarning("the window did not save %s", qPrintable(path));
    return path;
}

void TestSignProject::startCommand(QProcess &process, const QStringList &arguments,
                                   const QProcessEnvironment &extra)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        environment.remove(QString::fromLatin1(name));
    environment.insert("TMPDIR", m_tmp);
    for (const QString &name : extra.keys())
        environment.insert(name, extra.value(name));
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(m_case);
    process.start(m_program + "quillmark", arguments);
}

CommandRun TestSignProject::run(const QStringList &arguments, const QByteArray &input,
                                const QProcessEnvironment &extra)
{
    QProcess process;
    if (input.isNull())
        process.setStandardInputFile(QProcess::nullDevice());
    startCommand(process, arguments, extra);
    CommandRun result;
    if (!process.waitForStarted(10000))
        return result;
    if (!input.isNull()) {
        process.write(input);
        process.closeWriteChannel();
    }
    if (!process.waitForFinished(120000)) {
        process.kill();
        process.waitForFinished();
        return result;
    }
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.out = QString::fromUtf8(process.readAllStandardOutput());
    result.err = QString::fromUtf8(process.readAllStandardError());
    return result;
}

CommandRun TestSignProject::runInProcess(const QStringList &arguments, const platform::UserIdentity &identity,
                                         bool progressToErr, std::optional<ArgumentLimits> limits)
{
    QBuffer out;
    QBuffer err;
    out.open(QIODevice::WriteOnly);
    err.open(QIODevice::WriteOnly);
    CommandContext context;
    context.programFolder = m_program;
    context.identity = identity;
    context.out = &out;
    context.err = &err;
    context.progressToErr = progressToErr;
    context.argumentLimits = limits;
    context.passwordTimeoutMs = 5000;
    context.temporaryFolder = m_tmp;
    CommandRun result;
    result.exitCode = RunCommand(ParseCommandArguments(arguments), context);
    result.out = QString::fromUtf8(out.data());
    result.err = QString::fromUtf8(err.data());
    return result;
}

QString TestSignProject::fakeSdk(const QByteArray &script)
{
    const QString sdk = m_case + "/fake sdk/";
    QDir().mkpath(sdk);
    testfiles::writeScript(sdk + "signtool.exe", script);
    return sdk;
}

QString TestSignProject::peFile(const QString &name, quint32 variant)
{
    const QString path = m_case + "/" + name;
    if (!testdata::writePeFile(path, variant))
        qWarning("cannot write %s", qPrintable(path));
    return path;
}

void TestSignProject::signsASavedProjectWithoutADisplay()
{
    const QString first = peFile("first app.exe", 1);
    const QString second = peFile("helper.dll", 2);
    const QString project = saveProject("Release", {{first, second}, m_pfx, "Quillmark test build"});
    const QByteArray saved = readAll(project);
    QVERIFY2(!saved.contains(Password.toUtf8()), saved.constData());

    // The password through standard input, as a pipeline hands it over.
    const CommandRun signing = run({"--sign-project", "Release", "--password-fd", "0"},
                                   Password.toUtf8() + "\n");
    QVERIFY2(signing.exitCode == 0, qPrintable(signing.err + signing.out));
    for (const QString &file : {first, second}) {
        QVERIFY2(signing.out.contains("Successfully signed: " + file), qPrintable(signing.out));
        const testdata::RunResult verified = testdata::verifySignature(file, m_trusted);
        QVERIFY2(verified.ok() && verified.output.contains("Quillmark test build"),
                 qPrintable(verified.output));
    }
    QVERIFY2(!signing.out.contains(Password) && !signing.err.contains(Password),
             qPrintable(signing.out + signing.err));
    // Standard error is a pipe here: no progress on it.
    QVERIFY2(!signing.err.contains("files done"), qPrintable(signing.err));
    QCOMPARE(readAll(project), saved);

    // A project named by its file, from anywhere.
    peFile("first app.exe", 1);
    const CommandRun byFile = run({"--sign-project=" + project, "--password-fd=0"},
                                  Password.toUtf8());
    QVERIFY2(byFile.exitCode == 0, qPrintable(byFile.err + byFile.out));
    QVERIFY(testdata::verifySignature(first, m_trusted).ok());
    QCOMPARE(readAll(project), saved);
}

void TestSignProject::outputIsWhatTheConsoleShows()
{
    const QString first = peFile("one.exe", 1);
    const QString second = peFile("two words.exe", 2);
    const QByteArray unsignedFirst = readAll(first);
    const QByteArray unsignedSecond = readAll(second);
    saveProject("Console", {{first, second}, m_pfx, "Same text", /*commandLine*/ true});

    const CommandRun command = run({"--sign-project", "Console", "--password-fd", "0"},
                                   Password.toUtf8());
    QVERIFY2(command.exitCode == 0, qPrintable(command.err + command.out));

    // The same project, unsigned files again, signed in the window.
    writeAll(first, unsignedFirst);
    writeAll(second, unsignedSecond);
    TfrmMain *window = openWindow();
    auto *console = new TfrmConsoleOutput(window);
    window->setConsoleWindow(console);
    ConsoleWatcher watcher(console);
    window->LoadProject(projects() + "Console.qmk");
    window->edPassword->setText(Password);
    window->btnSignClick();
    QCOMPARE(watcher.shown, 1);

    // Line for line, but the password in the command line is masked.
    QStringList expected = watcher.linesAtShow;
    QCOMPARE(expected.value(0), QString("Full Command Line Used:"));
    QVERIFY(expected.value(2).contains("/p \"" + Password + "\" "));
    expected[2].replace("/p \"" + Password + "\" ", "/p \"" + MaskedPassword + "\" ");
    QCOMPARE(command.outLines(), expected);
    QVERIFY(expected.size() > 5);
}

void TestSignProject::batchesAreWhatTheConsoleShows()
{
    // A tool that reports each file, and an argument space for two files a
    // run: the runs, their headers and the output must match the window's.
    const QString sdk = fakeSdk("for a in \"$@\"; do case \"$a\" in *.exe) "
                                "echo \"Successfully signed: $a\";; esac; done\n");
    QStringList files;
    for (int i = 0; i < 5; ++i)
        files.append(peFile(QStringLiteral("batch%1.exe").arg(i), quint32(i)));
    saveProject("Batches", {files, {}, {}, true});

    // The smallest argument space in which the runs take two files each.
    const QString program = sdk + "signtool.exe";
    const QStringList options = SplitArguments(BuildSignOptions(SignOptions()));
    ArgumentLimits limits{0, 1 << 20};
    while (PlanSignBatches(program, options, files, limits).size() != 3 && limits.total < 100000)
        limits.total += 8;
    QCOMPARE(PlanSignBatches(program, options, files, limits).size(), 3);

    TfrmMain *window = openWindow();
    window->edPlatformSDKFolder->setText(sdk);
    auto *console = new TfrmConsoleOutput(window);
    window->setConsoleWindow(console);
    window->setArgumentLimits(limits);
    ConsoleWatcher watcher(console);
    window->LoadProject(projects() + "Batches.qmk");
    window->btnSignClick();
    QCOMPARE(watcher.shown, 1);
    QVERIFY2(watcher.linesAtShow.contains("Files 1 to 2 of 5:"), qPrintable(watcher.linesAtShow.join('\n')));

    const CommandRun command
        = runInProcess({"--sign-project", "Batches", "--sdk-folder", sdk}, platform::UserIdentity{}, false, limits);
    QCOMPARE(command.exitCode, 0);
    QCOMPARE(command.out, watcher.linesAtShow.join('\n') + '\n');
}

void TestSignProject::missingFileStopsTheRunUnlessSkipped()
{
    const QString kept = peFile("kept.exe", 1);
    const QString gone = peFile("gone.exe", 2);
    const QString project = saveProject("Missing", {{kept, gone}, m_pfx, {}});
    QVERIFY(QFile::remove(gone));
    const QByteArray saved = readAll(project);
    const QByteArray unsignedKept = readAll(kept);

    const CommandRun stopped = run({"--sign-project", "Missing", "--password-fd", "0"},
                                   Password.toUtf8());
    QCOMPARE(stopped.exitCode, CommandExit::ProjectUnusable);
    QVERIFY2(stopped.err.contains("listed file not found: " + gone), qPrintable(stopped.err));
    QVERIFY2(stopped.out.isEmpty(), qPrintable(stopped.out));
    QCOMPARE(readAll(kept), unsignedKept);
    // The window drops a missing file from the project as it loads it; the
    // command never rewrites a project.
    QCOMPARE(readAll(project), saved);

    const CommandRun skipped = run({"--sign-project", "Missing", "--skip-missing",
                                    "--password-fd", "0"},
                                   Password.toUtf8());
    QVERIFY2(skipped.exitCode == 0, qPrintable(skipped.err + skipped.out));
    QVERIFY2(skipped.err.contains("skipped, not found: " + gone), qPrintable(skipped.err));
    QVERIFY2(skipped.out.contains("Successfully signed: " + kept), qPrintable(skipped.out));
    QVERIFY(testdata::verifySignature(kept, m_trusted).ok());
    QCOMPARE(readAll(project), saved);
}

void TestSignProject::exitCodes()
{
    const QString file = peFile("app.exe");
    saveProject("Pfx", {{file}, m_pfx, {}});
    const QByteArray unsignedFile = readAll(file);

    const CommandRun usage = run({"--sign-project", "Pfx", "--bogus"});
    QCOMPARE(usage.exitCode, CommandExit::UsageError);
    QVERIFY2(usage.err.contains("unknown option '--bogus'") && usage.err.contains("--help"),
             qPrintable(usage.err));
    QVERIFY(usage.out.isEmpty());

    // A project signed with a PFX file needs its password from somewhere.
    const CommandRun noPassword = run({"--sign-project", "Pfx"});
    QCOMPARE(noPassword.exitCode, CommandExit::UsageError);
    QVERIFY2(noPassword.err.contains("--password-fd"), qPrintable(noPassword.err));

    const CommandRun notFound = run({"--sign-project", "Nowhere"});
    QCOMPARE(notFound.exitCode, CommandExit::ProjectUnusable);
    QVERIFY2(notFound.err.contains("Sorry, unable to find this project file!")
                 && notFound.err.contains(projects() + "Nowhere.qmk"),
             qPrintable(notFound.err));

    // Something that cannot be read as a project: a folder of that name.
    QVERIFY(QDir().mkpath(projects() + "Folder.qmk"));
    const CommandRun unreadable = run({"--sign-project", "Folder"});
    QCOMPARE(unreadable.exitCode, CommandExit::ProjectUnusable);
    QVERIFY2(unreadable.err.contains("cannot be read"), qPrintable(unreadable.err));

    // The window's checks, in its order: the tool first.
    const QString emptySdk = m_case + "/no sdk/";
    QVERIFY(QDir().mkpath(emptySdk));
    const CommandRun noTool = run({"--sign-project", "Pfx", "--sdk-folder", emptySdk,
                                   "--password-fd", "0"},
                                  Password.toUtf8());
    QCOMPARE(noTool.exitCode, CommandExit::ProjectUnusable);
    QVERIFY2(noTool.err.contains("The MS SignTool.exe was not found")
                 && noTool.err.contains(emptySdk + "signtool.exe"),
             qPrintable(noTool.err));

    // The tool's own failure: a wrong password.
    const CommandRun wrong = run({"--sign-project", "Pfx", "--password-fd", "0"}, "not it\n");
    QVERIFY2(wrong.exitCode != 0 && wrong.exitCode != CommandExit::ProjectUnusable,
             qPrintable(wrong.err + wrong.out));
    QVERIFY2(wrong.out.contains("SignTool Error"), qPrintable(wrong.out));
    QCOMPARE(readAll(file), unsignedFile);
}

void TestSignProject::otherArgumentsStillOpenTheWindow()
{
    // The window ignores its arguments, Qt's own included; without a
    // display it says what it needs, as before the command existed.
    const CommandRun window = run({"app.exe", "-reverse", "--style=fusion"});
    QCOMPARE(window.exitCode, 2);
    QVERIFY2(window.err.contains("needs a display"), qPrintable(window.err));
    QVERIFY(window.out.isEmpty());
}

void TestSignProject::misspeltOptionsNeverOpenTheWindow()
{
    // Without a display, and with one (a build job under a virtual
    // display would wait on a window for ever): a usage error at once.
    QProcessEnvironment display;
    display.insert("QT_QPA_PLATFORM", "offscreen");
    for (const QProcessEnvironment &environment : {QProcessEnvironment(), display}) {
        for (const QStringList &arguments : {QStringList{"--sign-projct", "Release"},
                                             QStringList{"app.exe", "--sign"}}) {
            const CommandRun misspelt = run(arguments, {}, environment);
            QCOMPARE(misspelt.exitCode, CommandExit::UsageError);
            QVERIFY2(misspelt.err.contains("unknown option '" + arguments.last().section(' ', 0, 0) + "'")
                         || misspelt.err.contains("unknown option '" + arguments.first() + "'"),
                     qPrintable(misspelt.err));
            QVERIFY2(!misspelt.err.contains("needs a display"), qPrintable(misspelt.err));
            QVERIFY(misspelt.out.isEmpty());
        }
    }
}

void TestSignProject::toolsExitCodeIsShownNotPassedOn()
{
    // The tool's 2 (warnings) must not read as the command's usage error,
    // nor its 7 as anything of the command's: both are 1, and shown.
    for (const int code : {7, 2, 3}) {
        const QString sdk = fakeSdk(QStringLiteral("echo 'SignTool Error: seven'\nexit %1\n").arg(code).toUtf8());
        saveProject("Seven", {{peFile("app.exe")}, {}, {}});
        const CommandRun seven = run({"--sign-project", "Seven", "--sdk-folder", sdk});
        QCOMPARE(seven.exitCode, CommandExit::NotSigned);
        QCOMPARE(seven.out, QString("SignTool Error: seven\n"));
        QVERIFY2(seven.err.contains(QStringLiteral("the signing tool ended with exit code %1").arg(code)),
                 qPrintable(seven.err));
    }
    // A tool that ends with 0 but reports no file signed has not signed it.
    const QString silent = fakeSdk("exit 0\n");
    saveProject("Silent", {{peFile("app.exe")}, {}, {}});
    QCOMPARE(run({"--sign-project", "Silent", "--sdk-folder", silent}).exitCode, CommandExit::NotSigned);
}

void TestSignProject::notAnAdministrator()
{
    const QString file = peFile("app.exe");
    const QByteArray unsignedFile = readAll(file);
    saveProject("Admins", {{file}, {}, {}});
    platform::UserIdentity user;
    user.effectiveUserId = 1000;
    user.groupNames = {"users", "Sudo"};
    for (const QStringList &arguments : {QStringList{"--sign-project", "Admins"},
                                         QStringList{"--list-projects"}}) {
        const CommandRun refused = runInProcess(arguments, user);
        QCOMPARE(refused.exitCode, CommandExit::NotAdministrator);
        QVERIFY2(refused.err.contains("Restricted Non-Admin Windows Logon Detected!"),
                 qPrintable(refused.err));
        QVERIFY(refused.out.isEmpty());
    }
    QCOMPARE(readAll(file), unsignedFile);
    // Help is for everyone.
    QCOMPARE(runInProcess({"--help"}, user).exitCode, 0);
}

void TestSignProject::passwordFromAnyDescriptor()
{
    const QString file = peFile("piped.exe");
    saveProject("Piped", {{file}, m_pfx, {}});
    int ends[2];
    QCOMPARE(::pipe2(ends, O_CLOEXEC), 0);
    const QByteArray line = Password.toUtf8() + "\r\nnot part of it\n";
    QCOMPARE(::write(ends[1], line.constData(), size_t(line.size())), line.size());
    ::close(ends[1]);
    platform::UserIdentity root;
    const CommandRun signing = runInProcess(
        {"--sign-project", "Piped", "--password-fd", QString::number(ends[0])}, root);
    ::close(ends[0]);
    QVERIFY2(signing.exitCode == 0, qPrintable(signing.err + signing.out));
    QVERIFY(testdata::verifySignature(file, m_trusted).ok());

    // A descriptor that nothing was opened on.
    const CommandRun closed = runInProcess({"--sign-project", "Piped", "--password-fd", "987"}, root);
    QCOMPARE(closed.exitCode, CommandExit::UsageError);
    QVERIFY2(closed.err.contains("descriptor 987 is not open"), qPrintable(closed.err));
}

void TestSignProject::passwordFileMustBePrivate()
{
    const QString file = peFile("app.exe");
    saveProject("FromFile", {{file}, m_pfx, {}});
    const QString secret = m_case + "/password";
    writeAll(secret, Password.toUtf8() + "\n");

    QVERIFY(QFile::setPermissions(secret, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther));
    const CommandRun refused = run({"--sign-project", "FromFile", "--password-file", secret});
    QCOMPARE(refused.exitCode, CommandExit::UsageError);
    QVERIFY2(refused.err.contains("can be read by other users"), qPrintable(refused.err));
    QVERIFY(!testdata::verifySignature(file, m_trusted).ok());

    const QString link = m_case + "/password link";
    QVERIFY(QFile::link(secret, link));
    QVERIFY(QFile::setPermissions(secret, QFile::ReadOwner | QFile::WriteOwner));
    const CommandRun linked = run({"--sign-project", "FromFile", "--password-file", link});
    QCOMPARE(linked.exitCode, CommandExit::UsageError);
    QVERIFY2(linked.err.contains("is a symbolic link"), qPrintable(linked.err));

    const CommandRun signing = run({"--sign-project", "FromFile", "--password-file", secret});
    QVERIFY2(signing.exitCode == 0, qPrintable(signing.err + signing.out));
    QVERIFY(testdata::verifySignature(file, m_trusted).ok());
}

void TestSignProject::dryRunRunsNothing()
{
    const QString marker = m_case + "/tool ran";
    const QString sdk = fakeSdk("touch '" + marker.toUtf8() + "'\n");
    const QString first = peFile("first.exe", 1);
    const QString second = peFile("second.exe", 2);
    saveProject("Rehearsal", {{first, second}, m_pfx, "Desc"});
    const QByteArray unsignedFirst = readAll(first);

    const CommandRun dry = run({"--sign-project", "Rehearsal", "--dry-run", "--sdk-folder", sdk,
                                "--password-fd", "0"},
                               Password.toUtf8());
    QVERIFY2(dry.exitCode == 0, qPrintable(dry.err + dry.out));
    QVERIFY(!QFile::exists(marker));
    QCOMPARE(readAll(first), unsignedFirst);
    // One command line a shell can run, files included, password masked.
    QCOMPARE(dry.outLines(),
             QStringList({"'" + sdk + "signtool.exe' sign /f '" + m_pfx + "' /p '" + MaskedPassword
                          + "' /d Desc /v " + first + " " + second}));
    QVERIFY(!dry.out.contains(Password) && !dry.err.contains(Password));

    // Nothing needs the password when nothing runs.
    const CommandRun withoutPassword =
        run({"--sign-project", "Rehearsal", "--dry-run", "--sdk-folder", sdk});
    QCOMPARE(withoutPassword.exitCode, 0);
    QCOMPARE(withoutPassword.outLines(), dry.outLines());
    QVERIFY(!QFile::exists(marker));

    // One line per run of the tool; each, run by a shell, signs its files
    // (the masked password replaced), however odd their names.
    const QString odd = peFile("it's a tab\there.exe", 3);
    const QString plainSdk = QStringLiteral(QUILLMARK_SDK_BIN_DIR);
    const QStringList files{first, second, odd};
    const QStringList arguments{"--sign-project", "Rehearsal", "--dry-run", "--best-certificate",
                                "--sdk-folder", plainSdk, first, second, odd};
    // The smallest argument space that parts the three files into two runs.
    ArgumentLimits limits{0, 1 << 20};
    CommandRun batches;
    do {
        limits.total += 16;
        batches = runInProcess(arguments, platform::UserIdentity{}, false, limits);
    } while (batches.outLines().size() != 2 && limits.total < 100000);
    QCOMPARE(batches.exitCode, 0);
    QCOMPARE(batches.outLines().size(), 2);
    QList<QByteArray> before;
    for (const QString &file : files)
        before.append(readAll(file));
    for (const QString &line : batches.outLines()) {
        QProcess shell;
        shell.start("bash", {"-c", line});
        QVERIFY(shell.waitForFinished(60000));
        QVERIFY2(shell.exitCode() == 0, qPrintable(line + "\n" + shell.readAllStandardError()));
    }
    for (qsizetype i = 0; i < files.size(); ++i)
        QVERIFY2(readAll(files.at(i)) != before.at(i), qPrintable(files.at(i) + " was not signed"));
}

void TestSignProject::progressOnATerminalOnly()
{
    const QString sdk = fakeSdk("for a in \"$@\"; do case \"$a\" in *.exe) "
                                "echo \"Successfully signed: $a\";; esac; done\n");
    saveProject("Progress", {{peFile("a.exe", 1), peFile("b.exe", 2)}, {}, {}});
    platform::UserIdentity root;
    const QStringList arguments{"--sign-project", "Progress", "--sdk-folder", sdk};
    const CommandRun terminal = runInProcess(arguments, root, /*progressToErr*/ true);
    QCOMPARE(terminal.exitCode, 0);
    // Both outcomes come at once; each file is still counted.
    QCOMPARE(terminal.err, QString("1 of 2 files done\n2 of 2 files done\n"));
    QVERIFY2(!terminal.out.contains("files done"), qPrintable(terminal.out));
    const CommandRun pipe = runInProcess(arguments, root, false);
    QCOMPARE(pipe.err, QString());
    QCOMPARE(pipe.out, terminal.out);
}

void TestSignProject::aReaderThatGoesAwayDoesNotCutTheRunShort()
{
    // A log reader that stops early (`| head`): the tool still runs to its
    // end, its exit code is the command's, and no capture file is left.
    const QString finished = m_case + "/tool finished";
    const QString sdk = fakeSdk("i=0; while [ $i -lt 20000 ]; do echo \"line $i of the report\"; "
                                "i=$((i+1)); done\ntouch '" + finished.toUtf8() + "'\nexit 5\n");
    saveProject("Head", {{peFile("app.exe")}, {}, {}});
    QProcess shell;
    shell.setWorkingDirectory(m_case);
    shell.start("bash", {"-c", "\"$0\" --sign-project Head --sdk-folder \"$1\" | head -c 1 "
                               ">/dev/null; exit ${PIPESTATUS[0]}",
                         m_program + "quillmark", sdk});
    QVERIFY(shell.waitForFinished(60000));
    // The tool's 5 is shown, never passed on.
    QCOMPARE(shell.exitCode(), CommandExit::NotSigned);
    QVERIFY(QFile::exists(finished));
    QVERIFY(!QFile::exists(m_case + "/$tmp$.tmp"));
}

void TestSignProject::listsTheSavedProjects()
{
    QCOMPARE(run({"--list-projects"}).out, QString());
    saveProject("beta", {{peFile("a.exe")}, {}, {}});
    saveProject("Alpha two", {{}, {}, {}});
    writeAll(projects() + "notes.txt", "");
    const CommandRun listed = run({"--list-projects"});
    QCOMPARE(listed.exitCode, 0);
    QCOMPARE(listed.out, QString("Alpha two\nbeta\n"));
}

// What the completion offers for the words typed so far (the last one
// being completed), with the program of this test as "quillmark".
static QStringList complete(const QString &program, const QStringList &words)
{
    QString script = QStringLiteral("QUILLMARK_TEST_VARIABLE=1\nsource '%1'\nCOMP_WORDS=(").arg(QUILLMARK_COMPLETION);
    for (const QString &word : words)
        script += " '" + word + "'";
    script += QStringLiteral(" )\nCOMP_CWORD=%1\n_quillmark '%2' '%3' '%4'\n"
                             "printf '%s\\n' \"${COMPREPLY[@]}\"\n")
                  .arg(words.size() - 1)
                  .arg(program, words.last(), words.value(words.size() - 2));
    QProcess bash;
    bash.start("bash", {"--norc", "--noprofile", "-c", script});
    if (!bash.waitForFinished(20000))
        return {"<bash did not end>"};
    QStringList lines = QString::fromUtf8(bash.readAllStandardOutput()).split(u'\n');
    lines.removeAll(QString());
    return lines;
}

void TestSignProject::bashCompletesOptionsAndProjects()
{
    saveProject("Alpha two", {{}, {}, {}});
    saveProject("Beta", {{}, {}, {}});
    const QString program = m_program + "quillmark";
    QCOMPARE(complete(program, {"quillmark", "--sk"}), QStringList({"--skip-missing"}));
    QCOMPARE(complete(program, {"quillmark", "--password-"}),
             QStringList({"--password-fd", "--password-file", "--password-env"}));
    QCOMPARE(complete(program, {"quillmark", "--verify"}), QStringList({"--verify", "--verify-all"}));
    // Every option of --help is offered.
    const QStringList offered = complete(program, {"quillmark", "--"});
    for (const QString &line : CommandHelpText().split(u'\n')) {
        // The option lines: indented, the option first.
        const QString option = line.trimmed().section(u' ', 0, 0);
        if (line.startsWith("  --"))
            QVERIFY2(offered.contains(option), qPrintable(option + " is not completed: " + offered.join(u' ')));
    }
    // Names as the shell must read them back, and .qmk files beside them.
    writeAll(m_case + "/Alpha job.qmk", "");
    writeAll(m_case + "/Alpha notes.txt", "");
    QCOMPARE(complete(program, {"quillmark", "--sign-project", "Al"}),
             QStringList({"Alpha\\ two", "Alpha job.qmk"}));
    QCOMPARE(complete(program, {"quillmark", "--password-fd", ""}), QStringList());
    QCOMPARE(complete(program, {"quillmark", "--password-env", "QUILLMARK_TEST_V"}),
             QStringList({"QUILLMARK_TEST_VARIABLE"}));
}

// A tool that reports each file it is given as signed.
static const QByteArray EchoingTool = "for a in \"$@\"; do case \"$a\" in *.exe|*.dll) "
                                      "echo \"Successfully signed: $a\";; esac; done\n";

void TestSignProject::twoRunsAtOnceInOneFolder()
{
    // Each run of a tool that takes a while, started at once from one
    // working folder: every run has its capture file, and its output alone.
    const QString sdk = fakeSdk("sleep 1\n" + EchoingTool);
    QStringList first;
    QStringList second;
    for (int i = 0; i < 3; ++i) {
        first.append(peFile(QStringLiteral("first%1.exe").arg(i), quint32(i)));
        second.append(peFile(QStringLiteral("second%1.exe").arg(i), quint32(i + 10)));
    }
    saveProject("First", {first, {}, {}});
    saveProject("Second", {second, {}, {}});
    QProcess one;
    QProcess two;
    startCommand(one, {"--sign-project", "First", "--sdk-folder", sdk});
    startCommand(two, {"--sign-project", "Second", "--sdk-folder", sdk});
    QVERIFY(one.waitForFinished(60000) && two.waitForFinished(60000));
    const QString outOne = QString::fromUtf8(one.readAllStandardOutput());
    const QString outTwo = QString::fromUtf8(two.readAllStandardOutput());
    QVERIFY2(one.exitCode() == 0, qPrintable(outOne + one.readAllStandardError()));
    QVERIFY2(two.exitCode() == 0, qPrintable(outTwo + two.readAllStandardError()));
    QStringList expectedOne;
    QStringList expectedTwo;
    for (const QString &file : first)
        expectedOne.append("Successfully signed: " + file);
    for (const QString &file : second)
        expectedTwo.append("Successfully signed: " + file);
    QCOMPARE(outOne, expectedOne.join('\n') + '\n');
    QCOMPARE(outTwo, expectedTwo.join('\n') + '\n');
}

void TestSignProject::signsTheFilesNamedInsteadOfTheList()
{
    const QString sdk = fakeSdk(EchoingTool);
    const QString listed = peFile("listed.exe", 1);
    const QString named = peFile("named.exe", 2);
    const QString other = peFile("other app.dll", 3);
    saveProject("Named", {{listed}, {}, {}});

    // Relative to the working folder, as a shell's wildcard gives them.
    const CommandRun direct = run({"--sign-project", "Named", "--sdk-folder", sdk, "named.exe", "other app.dll"});
    QVERIFY2(direct.exitCode == 0, qPrintable(direct.err + direct.out));
    QCOMPARE(direct.outLines(), QStringList({"Successfully signed: " + named, "Successfully signed: " + other}));

    const QString list = m_case + "/files.txt";
    writeAll(list, "other app.dll\r\n\n" + named.toUtf8() + "\n");
    const CommandRun fromFile = run({"--sign-project", "Named", "--sdk-folder", sdk, "--files-from", list});
    QVERIFY2(fromFile.exitCode == 0, qPrintable(fromFile.err + fromFile.out));
    QCOMPARE(fromFile.outLines(), QStringList({"Successfully signed: " + other, "Successfully signed: " + named}));

    const CommandRun fromInput = run({"--sign-project", "Named", "--sdk-folder", sdk, "--files-from", "-"},
                                     "named.exe\n");
    QVERIFY2(fromInput.exitCode == 0, qPrintable(fromInput.err + fromInput.out));
    QCOMPARE(fromInput.outLines(), QStringList({"Successfully signed: " + named}));

    // A named file that is not there is as a listed one that is gone.
    const CommandRun missing = run({"--sign-project", "Named", "--sdk-folder", sdk, "named.exe", "nowhere.exe"});
    QCOMPARE(missing.exitCode, CommandExit::ProjectUnusable);
    QVERIFY2(missing.err.contains("listed file not found: nowhere.exe"), qPrintable(missing.err));
    QVERIFY(missing.out.isEmpty());
    const CommandRun empty = run({"--sign-project", "Named", "--sdk-folder", sdk, "--files-from", "-"}, "\n");
    QCOMPARE(empty.exitCode, CommandExit::UsageError);
    QVERIFY2(empty.err.contains("names no file"), qPrintable(empty.err));
    // A FIFO as the list would hold the run for ever: refused at once.
    const QString fifo = m_case + "/list.fifo";
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const CommandRun fromFifo = run({"--sign-project", "Named", "--sdk-folder", sdk, "--files-from", fifo});
    QCOMPARE(fromFifo.exitCode, CommandExit::UsageError);
    QVERIFY2(fromFifo.err.contains("it is not a regular file"), qPrintable(fromFifo.err));
}

void TestSignProject::overridesTheProjectsOptions()
{
    const QString sdk = fakeSdk(EchoingTool);
    const QString file = peFile("app.exe");
    saveProject("Base", {{file}, m_pfx, "Project text"});
    const QStringList base{"--sign-project", "Base", "--sdk-folder", sdk, "--dry-run"};
    const QString tool = "'" + sdk + "signtool.exe' sign ";

    const CommandRun best = run(base + QStringList{"--best-certificate", "--no-timestamp", "--description",
                                                   "Other text", "--description-url", "https://example.org/x"});
    QCOMPARE(best.exitCode, 0);
    QCOMPARE(best.outLines(),
             QStringList({tool + "/a /d 'Other text' /du https://example.org/x /v " + file}));

    // A relative PFX path is the working folder's, not the SDK folder's.
    QVERIFY(QFile::copy(m_pfx, m_case + "/other.pfx"));
    const CommandRun pfx = run(base + QStringList{"--pfx", "other.pfx", "--timestamp-url", "http://ts.example/"});
    QCOMPARE(pfx.exitCode, 0);
    QCOMPARE(pfx.outLines(), QStringList({tool + "/f " + m_case + "/other.pfx /p '" + MaskedPassword
                                          + "' /t http://ts.example/ /d 'Project text' /v " + file}));

    // And in a real run: the description given is the one signed in.
    const CommandRun signing = run({"--sign-project", "Base", "--description", "Given here", "--password-fd", "0"},
                                   Password.toUtf8());
    QVERIFY2(signing.exitCode == 0, qPrintable(signing.err + signing.out));
    const testdata::RunResult verified = testdata::verifySignature(file, m_trusted);
    QVERIFY2(verified.ok() && verified.output.contains("Given here"), qPrintable(verified.output));
}

void TestSignProject::passwordFromTheEnvironmentReachesNoChild()
{
    // The tool writes its environment down, then signs with the real tool.
    const QString seen = m_case + "/environment seen";
    const QString sdk = fakeSdk("env > '" + seen.toUtf8() + "'\nexec '" QUILLMARK_SDK_BIN_DIR "/signtool.exe' \"$@\"\n");
    const QString file = peFile("env.exe");
    saveProject("Env", {{file}, m_pfx, {}});
    QProcessEnvironment environment;
    environment.insert("RELEASE_PFX_PASSWORD", Password);
    const CommandRun signing = run({"--sign-project", "Env", "--sdk-folder", sdk, "--password-env",
                                    "RELEASE_PFX_PASSWORD"},
                                   {}, environment);
    QVERIFY2(signing.exitCode == 0, qPrintable(signing.err + signing.out));
    QVERIFY(testdata::verifySignature(file, m_trusted).ok());
    const QByteArray childEnvironment = readAll(seen);
    QVERIFY(childEnvironment.contains("TMPDIR="));
    QVERIFY2(!childEnvironment.contains("RELEASE_PFX_PASSWORD") && !childEnvironment.contains(Password.toUtf8()),
             childEnvironment.constData());

    const CommandRun unset = run({"--sign-project", "Env", "--sdk-folder", sdk, "--password-env", "NOT_SET_HERE"});
    QCOMPARE(unset.exitCode, CommandExit::UsageError);
    QVERIFY2(unset.err.contains("NOT_SET_HERE"), qPrintable(unset.err));
}

// The processes whose command line mentions `text`.
static QList<int> processesMentioning(const QString &text)
{
    QList<int> found;
    const QByteArray needle = text.toUtf8();
    for (const QString &entry : QDir("/proc").entryList(QDir::Dirs)) {
        bool number = false;
        const int pid = entry.toInt(&number);
        if (!number || pid == int(::getpid()))
            continue;
        QFile cmdline("/proc/" + entry + "/cmdline");
        if (cmdline.open(QIODevice::ReadOnly) && cmdline.readAll().contains(needle))
            found.append(pid);
    }
    return found;
}

void TestSignProject::sigtermStopsTheToolAtOnce()
{
    // Many files, so that the tool is still at work when the signal comes.
    QStringList files;
    QList<QByteArray> unsignedBytes;
    const QString folder = m_case + "/many/";
    QVERIFY(QDir().mkpath(folder));
    for (int i = 0; i < 150; ++i) {
        const QString file = folder + QStringLiteral("file%1.exe").arg(i);
        QVERIFY(testdata::writePeFile(file, quint32(i)));
        files.append(file);
        unsignedBytes.append(readAll(file));
    }
    saveProject("Long", {files, m_pfx, {}});
    QProcess command;
    startCommand(command, {"--sign-project", "Long", "--password-fd", "0"});
    command.write(Password.toUtf8() + "\n");
    command.closeWriteChannel();
    QString out;
    QElapsedTimer waited;
    waited.start();
    while (!out.contains("Successfully signed: ") && waited.elapsed() < 60000) {
        command.waitForReadyRead(100);
        out += QString::fromUtf8(command.readAllStandardOutput());
    }
    QVERIFY2(out.contains("Successfully signed: "), qPrintable(out));
    QVERIFY2(!processesMentioning(folder).isEmpty(), "the tool is not running");

    // SIGTERM to quillmark alone, as a CI time-out or `kill PID` sends it.
    QElapsedTimer stopping;
    stopping.start();
    ::kill(pid_t(command.processId()), SIGTERM);
    QVERIFY(command.waitForFinished(20000));
    QCOMPARE(command.exitStatus(), QProcess::NormalExit);
    QCOMPARE(command.exitCode(), 128 + SIGTERM);
    QVERIFY2(stopping.elapsed() < 8000, qPrintable(QString::number(stopping.elapsed())));
    out += QString::fromUtf8(command.readAllStandardOutput());
    QVERIFY2(QString::fromUtf8(command.readAllStandardError()).contains("stopped by signal 15"), "no word of the stop");

    // No signing process left, not one file half written: each is its old
    // self or signed in full; and not all were signed.
    QTRY_VERIFY2_WITH_TIMEOUT(processesMentioning(folder).isEmpty(), "a signing process is left", 5000);
    int signedCount = 0;
    for (qsizetype i = 0; i < files.size(); ++i) {
        const QByteArray now = readAll(files.at(i));
        if (now == unsignedBytes.at(i))
            continue;
        const testdata::RunResult verified = testdata::verifySignature(files.at(i), m_trusted);
        QVERIFY2(verified.ok(), qPrintable(files.at(i) + ": " + verified.output));
        ++signedCount;
    }
    QVERIFY2(signedCount >= 1 && signedCount < files.size(), qPrintable(QString::number(signedCount)));
    // The tool's own temporaries go with it.
    QTRY_COMPARE_WITH_TIMEOUT(QDir(folder).entryList(QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot),
                              QStringList(), 10000);
}

void TestSignProject::timeoutStopsTheRun()
{
    // The tool is `sleep` itself (an odd time, to be found by), so the
    // signal reaches what is waiting.
    const QString sdk = fakeSdk("exec sleep 30.1357\n");
    saveProject("Slow", {{peFile("slow.exe")}, {}, {}});
    QElapsedTimer timer;
    timer.start();
    const CommandRun timedOut = run({"--sign-project", "Slow", "--sdk-folder", sdk, "--timeout", "3", "--json"});
    QCOMPARE(timedOut.exitCode, 128 + SIGALRM);
    QVERIFY2(timer.elapsed() >= 3000 && timer.elapsed() < 12000, qPrintable(QString::number(timer.elapsed())));
    QVERIFY2(timedOut.err.contains("stopped by signal 14"), qPrintable(timedOut.err));
    QVERIFY(processesMentioning("30.1357").isEmpty());
    // The JSON still says how each file went, and why the run ended.
    const QStringList lines = timedOut.outLines();
    QCOMPARE(lines.size(), 2);
    const QJsonObject file = QJsonDocument::fromJson(lines.at(0).toUtf8()).object();
    QCOMPARE(file.value("status").toString(), QString("failed"));
    QVERIFY2(file.value("message").toString().contains("stopped"), qPrintable(lines.at(0)));
    const QJsonObject summary = QJsonDocument::fromJson(lines.at(1).toUtf8()).object().value("summary").toObject();
    QCOMPARE(summary.value("stopped-by-signal").toInt(), SIGALRM);
    QCOMPARE(summary.value("exit-code").toInt(), 128 + SIGALRM);
}

// The tool moves the temporary folder away while it runs and leaves an
// empty folder of the run's name at the old path: the run removes its own
// folder, where it made it, and leaves the stranger alone.
void TestSignProject::runFolderIsRemovedWhereItWasMade()
{
    const QString sdk = fakeSdk("run=$(dirname \"$(readlink /proc/$$/fd/1)\")\n"
                                "tmp=$(dirname \"$run\")\n"
                                "mv \"$tmp\" \"$tmp.away\" && mkdir -p \"$run\"\n"
                                "echo 'Successfully signed: x'\n");
    saveProject("Moved", {{peFile("moved.exe")}, {}, {}});
    const CommandRun moved = run({"--sign-project", "Moved", "--sdk-folder", sdk});
    const QString away = m_tmp + ".away";
    const QStringList leftAway = QDir(away).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    const QStringList decoys = QDir(m_tmp).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    QDir(m_tmp).removeRecursively();
    QVERIFY(QDir().rename(away, m_tmp));
    QVERIFY2(moved.exitCode == 0 || moved.exitCode == 1, qPrintable(moved.err));
    QVERIFY2(leftAway.isEmpty(), qPrintable("left behind: " + leftAway.join(", ")));
    QCOMPARE(decoys.size(), 1);
    QVERIFY2(decoys.constFirst().startsWith("quillmark-run."), qPrintable(decoys.constFirst()));
}

void TestSignProject::theToolDiesWithAKilledCommand()
{
    // Killed outright (no handler runs): the tool dies with it.
    const QString sdk = fakeSdk("exec sleep 30.2468\n");
    saveProject("Orphan", {{peFile("orphan.exe")}, {}, {}});
    QProcess command;
    startCommand(command, {"--sign-project", "Orphan", "--sdk-folder", sdk});
    QTRY_VERIFY_WITH_TIMEOUT(!processesMentioning("30.2468").isEmpty(), 20000);
    ::kill(pid_t(command.processId()), SIGKILL);
    QVERIFY(command.waitForFinished(10000));
    QTRY_VERIFY2_WITH_TIMEOUT(processesMentioning("30.2468").isEmpty(), "the tool outlived the command", 5000);
    // Nothing could tidy its private folder away; it is the command's own.
    for (const QString &left : leftInTemporaryFolder()) {
        QVERIFY2(left.startsWith("quillmark-run."), qPrintable(left));
        QDir(m_tmp + "/" + left).removeRecursively();
    }
}

void TestSignProject::verifiesAndReportsJson()
{
    // Signed with the SDK's own demo certificate, which its store trusts.
    const QString plain = peFile("plain.exe", 1);
    const QString odd = peFile("tab\there\x1b[31m.exe", 2);
    const QString gone = peFile("gone.exe", 3);
    saveProject("Json", {{plain, odd, gone}, {}, {}});
    QVERIFY(QFile::remove(gone));
    const CommandRun verified = run({"--sign-project", "Json", "--skip-missing", "--verify", "--json"});
    QVERIFY2(verified.exitCode == 0, qPrintable(verified.err + verified.out));
    // Nothing but JSON on standard output, one object a line.
    const QStringList lines = verified.outLines();
    QCOMPARE(lines.size(), 4);
    QList<QJsonObject> objects;
    for (const QString &line : lines) {
        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(line.toUtf8(), &error);
        QVERIFY2(error.error == QJsonParseError::NoError && document.isObject(), qPrintable(line));
        objects.append(document.object());
    }
    // The control characters are escaped, and the name comes back exact.
    QVERIFY2(lines.at(1).contains("tab\\there\\u001b[31m.exe"), qPrintable(lines.at(1)));
    QCOMPARE(objects.at(0).value("file").toString(), plain);
    QCOMPARE(objects.at(1).value("file").toString(), odd);
    QCOMPARE(objects.at(2).value("file").toString(), gone);
    for (int i : {0, 1}) {
        QCOMPARE(objects.at(i).value("status").toString(), QString("signed"));
        QVERIFY2(objects.at(i).value("signer").toString().contains("Quillmark Demo Code Signing"),
                 qPrintable(lines.at(i)));
        QVERIFY(objects.at(i).contains("timestamp"));
    }
    QCOMPARE(objects.at(2).value("status").toString(), QString("skipped"));
    const QJsonObject summary = objects.at(3).value("summary").toObject();
    QCOMPARE(summary.value("signed").toInt(), 2);
    QCOMPARE(summary.value("skipped").toInt(), 1);
    QCOMPARE(summary.value("exit-code").toInt(), 0);
    // The tool's output went to standard error.
    QVERIFY2(verified.err.contains("Successfully verified: " + plain), qPrintable(verified.err));

    // Signed with a key the store does not trust: signed, but not verified.
    const QString stranger = peFile("stranger.exe", 4);
    QProcessEnvironment environment;
    environment.insert("PW", Password);
    const CommandRun untrusted = run({"--sign-project", "Json", "--pfx", m_pfx, "--password-env", "PW",
                                      "--verify-all", "--json", stranger},
                                     {}, environment);
    QCOMPARE(untrusted.exitCode, CommandExit::NotSigned);
    QVERIFY(testdata::verifySignature(stranger, m_trusted).ok());
    const QJsonObject file = QJsonDocument::fromJson(untrusted.outLines().value(0).toUtf8()).object();
    QCOMPARE(file.value("status").toString(), QString("not-verified"));
    QVERIFY2(file.value("message").toString().contains("not validly signed"), qPrintable(untrusted.out));
    QVERIFY2(untrusted.err.contains("did not verify: " + stranger), qPrintable(untrusted.err));
}

// p11-kit's client module, which reaches the tokens that `p11-kit server`
// exports on a socket; empty when it is not installed.
static QString p11KitClientModule()
{
    for (const char *candidate : {"/usr/lib/x86_64-linux-gnu/pkcs11/p11-kit-client.so",
                                  "/usr/lib/aarch64-linux-gnu/pkcs11/p11-kit-client.so",
                                  "/usr/lib/pkcs11/p11-kit-client.so"}) {
        if (QFileInfo::exists(QString::fromLatin1(candidate)))
            return QString::fromLatin1(candidate);
    }
    return {};
}

void TestSignProject::signsThroughAP11KitServer()
{
    // One key for many build runners, never copied: a token exported by
    // `p11-kit server` on one socket, used through p11-kit's client module.
    if (const QString missing = testdata::SoftHsmToken::missingTools(); !missing.isEmpty())
        QSKIP(qPrintable(missing));
    if (QStandardPaths::findExecutable("p11-kit").isEmpty() || p11KitClientModule().isEmpty())
        QSKIP("p11-kit server or its client module is not installed (Debian packages p11-kit and "
              "p11-kit-modules)");
    const QString pin = QStringLiteral("246810");
    const QString farm = m_case + "/farm";
    testdata::SoftHsmToken token(farm, QStringLiteral("Farm Token"), pin);
    const testdata::KeyAndCert signer = testdata::makeCertificate({QStringLiteral("Farm Code Signing"), {}, {}});
    QVERIFY2(token.importPair(signer, QStringLiteral("b2"), QStringLiteral("farm key")), qPrintable(token.error()));
    const testdata::ScriptedPinentry pinentry(farm, testdata::ScriptedPinentry::Answer::Pin, pin);

    const QString socket = farm + "/token.socket";
    QProcess server;
    QProcessEnvironment serverEnvironment = QProcessEnvironment::systemEnvironment();
    token.addTo(serverEnvironment);
    server.setProcessEnvironment(serverEnvironment);
    server.start("p11-kit", {"server", "--foreground", "--name", socket, "--provider",
                             testdata::SoftHsmToken::modulePath(), "pkcs11:token=Farm%20Token"});
    QVERIFY2(server.waitForStarted(10000), "p11-kit server did not start");
    QTRY_VERIFY2_WITH_TIMEOUT(QFileInfo(socket).exists(), qPrintable(server.readAllStandardError()), 10000);

    const QString file = peFile("farm.exe");
    saveProject("Farm", {{file}, {}, {}});
    // The runner knows the socket and the client module only: not the
    // token's own configuration, and no certificate of a store.
    QProcessEnvironment runner;
    runner.insert("QUILLMARK_PKCS11_MODULE", p11KitClientModule());
    runner.insert("P11_KIT_SERVER_ADDRESS", "unix:path=" + socket);
    runner.insert("QUILLMARK_CERT_STORE", farm + "/empty store");
    QVERIFY(QDir().mkpath(farm + "/empty store"));
    pinentry.addTo(runner);
    QVERIFY(!runner.contains("SOFTHSM2_CONF") && !QProcessEnvironment::systemEnvironment().contains("SOFTHSM2_CONF"));
    const CommandRun signing = run({"--sign-project", "Farm", "--verbose", "--verify", "--json"}, {}, runner);
    server.terminate();
    server.waitForFinished(10000);
    QVERIFY2(signing.exitCode == 0, qPrintable(signing.err + signing.out));
    QVERIFY2(signing.err.contains("Stored in: token \"Farm Token\""), qPrintable(signing.err));
    QCOMPARE(pinentry.timesAsked(), 1);
    const QJsonObject outcome = QJsonDocument::fromJson(signing.outLines().value(0).toUtf8()).object();
    QCOMPARE(outcome.value("status").toString(), QString("signed"));
    const QString pem = farm + "/farm.pem";
    QVERIFY(testdata::writeCertificatePem(pem, signer));
    const testdata::RunResult verified = testdata::verifySignature(file, pem);
    QVERIFY2(verified.ok() && verified.output.contains("Farm Code Signing"), qPrintable(verified.output));
}

// A project is a few kilobytes (at most 1,000 listed paths of 2 KB): a
// larger file is refused by its size before any of it is read.
void TestSignProject::oversizedProjectIsRefusedUnread()
{
    QVERIFY(QDir().mkpath(projects()));
    const QString path = projects() + "Huge.qmk";
    for (const qint64 size : {qint64(4 * 1024 * 1024 + 1), qint64(1) << 30}) {
        {
            QFile huge(path);
            QVERIFY(huge.open(QIODevice::WriteOnly | QIODevice::Truncate) && huge.resize(size));
        }
        for (const QString &named : {QStringLiteral("Huge"), path}) {
            QElapsedTimer timer;
            timer.start();
            const CommandRun refused = run({"--sign-project", named, "--dry-run"});
            QVERIFY2(timer.elapsed() < 5000,
                     qPrintable(QStringLiteral("the refusal took %1 ms").arg(timer.elapsed())));
            QCOMPARE(refused.exitCode, CommandExit::ProjectUnusable);
            QVERIFY2(refused.err.contains("the project file " + path
                                          + " cannot be read: it is larger than 4 MiB"),
                     qPrintable(refused.err));
            QVERIFY(refused.out.isEmpty());
        }
    }
    QVERIFY(QFile::remove(path));
}

// A file name may hold control characters (an escape sequence, a tab, a
// line separator): the command's output shows them escaped, in its own
// lines and in the tool's, so that no name can rewrite or forge a line.
void TestSignProject::controlCharactersInNamesAreShownEscaped()
{
    const QString sdk = fakeSdk("for a in \"$@\"; do case \"$a\" in *.exe) "
                                "echo \"Successfully signed: $a\";; esac; done\n");
    const QString name = QStringLiteral("a\x1b[2Kb\tc") + QChar(0x2028) + QStringLiteral("d\x7f.exe");
    const QString file = peFile(name, 1);
    saveProject("Tricky", {{file}, {}, {}});
    QString shown = file;
    shown.replace(QStringLiteral("\x1b"), QStringLiteral("\\x1b"))
        .replace(QStringLiteral("\t"), QStringLiteral("\\t"))
        .replace(QChar(0x2028), QStringLiteral("\\u2028"))
        .replace(QStringLiteral("\x7f"), QStringLiteral("\\x7f"));

    const CommandRun dry = run({"--sign-project", "Tricky", "--dry-run", "--sdk-folder", sdk});
    QCOMPARE(dry.exitCode, 0);
    // The runnable line gives the name's bytes: a control character as \xHH
    // inside $'...', so the line stays one line that a shell reads back.
    QString quoted = file;
    quoted.replace(QStringLiteral("\x1b"), QStringLiteral("\\x1b"))
        .replace(QStringLiteral("\t"), QStringLiteral("\\x09"))
        .replace(QChar(0x2028), QStringLiteral("\\xe2\\x80\\xa8"))
        .replace(QStringLiteral("\x7f"), QStringLiteral("\\x7f"));
    QVERIFY2(dry.out.contains("$'" + quoted + "'"), qPrintable(dry.out));

    const CommandRun signing = run({"--sign-project", "Tricky", "--sdk-folder", sdk});
    QCOMPARE(signing.exitCode, 0);
    QVERIFY2(signing.outLines().contains("Successfully signed: " + shown), qPrintable(signing.out));
    for (const QString &text : {dry.out, dry.err, signing.out, signing.err}) {
        for (const QChar c : text)
            QVERIFY2(c == u'\n' || (c >= u' ' && c != QChar(0x7f) && c != QChar(0x2028)),
                     qPrintable(QStringLiteral("a control character U+%1 was printed as it is")
                                    .arg(c.unicode(), 4, 16, QLatin1Char('0'))));
    }
}

QTEST_MAIN(TestSignProject)
#include "tst_signproject.moc"
