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
#include "support/TestData.h"

#include <QBuffer>
#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <optional>

#include <fcntl.h>
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
    void toolsExitCodeIsPassedOn();
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
    CommandRun run(const QStringList &arguments, const QByteArray &input = {});
    CommandRun runInProcess(const QStringList &arguments, const platform::UserIdentity &identity,
                            bool progressToErr = false, std::optional<ArgumentLimits> limits = {});
    QString fakeSdk(const QByteArray &script);
    QString peFile(const QString &name, quint32 variant = 0);
    QString projects() const { return m_program + "Projects/"; }

    QTemporaryDir m_root;
    QString m_program;       // the program folder, with "/"
    QString m_case;          // this case's working folder
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
    QVERIFY(!QFile::exists(m_case + "/$tmp$.tmp"));
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

CommandRun TestSignProject::run(const QStringList &arguments, const QByteArray &input)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        environment.remove(QString::fromLatin1(name));
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(m_case);
    if (input.isNull())
        process.setStandardInputFile(QProcess::nullDevice());
    process.start(m_program + "quillmark", arguments);
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
    const CommandRun window = run({"app.exe", "-reverse", "--sign"});
    QCOMPARE(window.exitCode, 2);
    QVERIFY2(window.err.contains("needs a display"), qPrintable(window.err));
    QVERIFY(window.out.isEmpty());
}

void TestSignProject::toolsExitCodeIsPassedOn()
{
    const QString sdk = fakeSdk("echo 'SignTool Error: seven'\nexit 7\n");
    saveProject("Seven", {{peFile("app.exe")}, {}, {}});
    const CommandRun seven = run({"--sign-project", "Seven", "--sdk-folder", sdk});
    QCOMPARE(seven.exitCode, 7);
    QCOMPARE(seven.out, QString("SignTool Error: seven\n"));
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
    QCOMPARE(dry.outLines(),
             QStringList({"Full Command Line Used:", "",
                          "\"" + sdk + "signtool.exe\" sign /f \"" + m_pfx + "\" /p \""
                              + MaskedPassword + "\" /d \"Desc\" /v ",
                          "", "Files to be Digitally Signed: (2)", first, second}));
    QVERIFY(!dry.out.contains(Password) && !dry.err.contains(Password));

    // Nothing needs the password when nothing runs.
    const CommandRun withoutPassword =
        run({"--sign-project", "Rehearsal", "--dry-run", "--sdk-folder", sdk});
    QCOMPARE(withoutPassword.exitCode, 0);
    QCOMPARE(withoutPassword.outLines(), dry.outLines());
    QVERIFY(!QFile::exists(marker));
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
    QVERIFY2(terminal.err.endsWith("2 of 2 files done\n"), qPrintable(terminal.err));
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
    QCOMPARE(shell.exitCode(), 5);
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
    QString script = QStringLiteral("source '%1'\nCOMP_WORDS=(").arg(QUILLMARK_COMPLETION);
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
             QStringList({"--password-fd", "--password-file"}));
    // Names as the shell must read them back, and .qmk files beside them.
    writeAll(m_case + "/Alpha job.qmk", "");
    writeAll(m_case + "/Alpha notes.txt", "");
    QCOMPARE(complete(program, {"quillmark", "--sign-project", "Al"}),
             QStringList({"Alpha\\ two", "Alpha job.qmk"}));
    QCOMPARE(complete(program, {"quillmark", "--password-fd", ""}), QStringList());
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
    QVERIFY2(dry.outLines().contains(shown), qPrintable(dry.out));

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
