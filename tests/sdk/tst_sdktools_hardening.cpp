// The SDK tools as root's programs: they start no program another user could
// have placed or changed, take passwords through inherited descriptors
// (never from an argument list that every local user can read in /proc),
// and cannot be dumped or traced while they hold them.

#include "support/FakeTools.h"
#include "support/OtherUser.h"
#include "support/SignToolFixture.h"
#include "support/TestData.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTest>

#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace testdata;

namespace {

// Starts argv[0] with `actions`, its standard output and error going to
// `output`; posix_spawn's result.
int spawn(const QStringList &argv, posix_spawn_file_actions_t &actions, int output, pid_t &pid)
{
    posix_spawn_file_actions_adddup2(&actions, output, 1);
    posix_spawn_file_actions_adddup2(&actions, output, 2);
    std::vector<QByteArray> bytes;
    for (const QString &word : argv)
        bytes.push_back(QFile::encodeName(word));
    std::vector<char *> pointers;
    for (QByteArray &word : bytes)
        pointers.push_back(word.data());
    pointers.push_back(nullptr);
    return ::posix_spawn(&pid, pointers[0], &actions, nullptr, pointers.data(), environ);
}

// Everything until the writing ends are closed; closes `fd`.
QByteArray readToEnd(int fd)
{
    QByteArray text;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0)
        text.append(buffer, n);
    ::close(fd);
    return text;
}

// A tool started with a pipe at descriptor 3 whose writing end the test
// keeps: the tool waits for its end, and can be looked at meanwhile.
struct PipedTool {
    pid_t pid = -1;
    int secretWriter = -1;
    int output = -1; // the tool's standard output and error

    bool start(const QStringList &argv)
    {
        int secret[2], out[2];
        if (::pipe2(secret, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0)
            return false;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, secret[0], 3);
        const int error = spawn(argv, actions, out[1], pid);
        posix_spawn_file_actions_destroy(&actions);
        ::close(secret[0]);
        ::close(out[1]);
        secretWriter = secret[1];
        output = out[0];
        return error == 0;
    }

    // Writes the secret, closes the pipe and waits for the end: the output.
    QByteArray finish(const QByteArray &secret)
    {
        if (!secret.isEmpty())
            [[maybe_unused]] const ssize_t n = ::write(secretWriter, secret.constData(), size_t(secret.size()));
        ::close(secretWriter);
        secretWriter = -1;
        const QByteArray text = readToEnd(output);
        int status = 0;
        ::waitpid(pid, &status, 0);
        pid = -1;
        return text;
    }

    ~PipedTool()
    {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            finish({});
        }
    }
};

// Runs argv with each secret in a pipe of its own at descriptors 3, 4, ...
// (written and closed before the start); the output and whether it exited 0.
std::pair<bool, QByteArray> runWithSecrets(const QStringList &argv, const QList<QByteArray> &secrets)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    std::vector<int> readEnds;
    for (const QByteArray &secret : secrets) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0
            || ::write(fds[1], secret.constData(), size_t(secret.size())) != secret.size())
            return {false, "cannot fill a pipe"};
        ::close(fds[1]);
        posix_spawn_file_actions_adddup2(&actions, fds[0], 3 + int(readEnds.size()));
        readEnds.push_back(fds[0]);
    }
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
        return {false, "no pipe"};
    pid_t pid = -1;
    const int error = spawn(argv, actions, out[1], pid);
    posix_spawn_file_actions_destroy(&actions);
    for (int fd : readEnds)
        ::close(fd);
    ::close(out[1]);
    const QByteArray text = readToEnd(out[0]);
    int status = 0;
    if (error != 0 || ::waitpid(pid, &status, 0) != pid)
        return {false, "not started"};
    return {WIFEXITED(status) && WEXITSTATUS(status) == 0, text};
}

QString exeOf(pid_t pid)
{
    return QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(pid));
}

uid_t procOwner(pid_t pid)
{
    struct stat st {};
    if (::stat(QStringLiteral("/proc/%1/status").arg(pid).toLocal8Bit().constData(), &st) != 0)
        return uid_t(-1);
    return st.st_uid;
}

QByteArray coreLimitLine(pid_t pid)
{
    QFile limits(QStringLiteral("/proc/%1/limits").arg(pid));
    if (!limits.open(QIODevice::ReadOnly))
        return {};
    for (const QByteArray &line : limits.readAll().split('\n')) {
        if (line.startsWith("Max core file size"))
            return line.simplified();
    }
    return {};
}

bool change(const QString &command, const QString &path)
{
    const QStringList words = command.split(u' ');
    return runProgram(QStandardPaths::findExecutable(words.first()), words.mid(1) + QStringList{path}).ok();
}

} // namespace

class TestSdkToolsHardening : public QObject, private SignToolFixture {
    Q_OBJECT

private:
    const QString m_password = QStringLiteral("Pass Word 7");

private slots:
    void initTestCase()
    {
        QVERIFY(m_root.isValid());
        QVERIFY2(QFileInfo(sdkToolPath(QStringLiteral("signtool.exe"))).isExecutable(), "signtool.exe not built");
        QVERIFY(useSigner(makeCertificate(), m_password));
    }

    // ---- programs root starts ----------------------------------------------

    void osslsigncodeOfAnotherUserIsNotRun_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("reason");
        QTest::newRow("folder owned by nobody") << "chown nobody" << "is owned by user nobody";
        QTest::newRow("folder writable by the group") << "chmod g+w" << "is writable by group root";
        QTest::newRow("ACL entry of a group") << "setfacl -m g:nogroup:rwx" << "is writable by group nogroup";
    }
    void osslsigncodeOfAnotherUserIsNotRun()
    {
        QFETCH(QString, command);
        QFETCH(QString, reason);
        QM_SKIP_UNLESS_ROOT(nobody);
        const QString bin = newFolder();
        const QString ran = bin + QStringLiteral("/ran");
        QProcessEnvironment env = osslsigncodeForProgramFiles(
            fakeOsslsigncode(bin, "echo ran > '" + QFile::encodeName(ran) + "'\nexec \"$real\" \"$@\"\n"));
        const QString file = newFolder() + QStringLiteral("/app.exe");
        QVERIFY(writePeFile(file, 5));
        // Program files signed by osslsigncode, as the environment asks.
        const QStringList args{"sign", "/f", m_pfx, "/p", m_password, "/ph", file};
        // Root's own stand-in runs...
        RunResult run = signtool(args, env);
        QVERIFY2(run.ok(), qPrintable(run.output));
        QVERIFY(QFile::remove(ran));

        // ...another user's does not, and nothing is signed.
        QVERIFY(change(command, bin));
        const QByteArray original = fileBytes(file);
        run = signtool(args, env);
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.output.contains(QStringLiteral("SignTool Error: osslsigncode is not used: ") + bin + u' '
                                     + reason + u'.'),
                 qPrintable(run.output));
        QVERIFY(!QFile::exists(ran));
        QCOMPARE(fileBytes(file), original);
    }

    // ---- passwords through descriptors ---------------------------------------

    void signtoolTakesThePasswordFromADescriptor()
    {
        const QString file = newFolder() + QStringLiteral("/app.exe");
        QVERIFY(writePeFile(file, 6));
        PipedTool tool;
        QVERIFY(tool.start({sdkToolPath(QStringLiteral("signtool.exe")), "sign", "/f", m_pfx, "/pfd", "3", file}));
        const QByteArray output = tool.finish(m_password.toUtf8());
        QVERIFY2(output.contains("Successfully signed: " + QFile::encodeName(file)), output.constData());
        QVERIFY(verifySignature(file, m_caPem).ok());

        // A wrong password through the descriptor is a wrong password.
        PipedTool wrong;
        QVERIFY(wrong.start({sdkToolPath(QStringLiteral("signtool.exe")), "sign", "/f", m_pfx, "/pfd", "3", file}));
        QVERIFY(wrong.finish("Pass Word").contains("SignTool Error: The specified PFX password is not correct."));
    }

    void descriptorSwitchesRefuseWhatTheyCannotUse_data()
    {
        QTest::addColumn<QString>("tool");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("message");
        QTest::newRow("signtool: descriptor not open")
            << "signtool.exe" << QStringList{"sign", "/f", "PFX", "/pfd", "99", "FILE"}
            << "SignTool Error: The PFX password (/pfd) cannot be read: descriptor 99 is not open.";
        QTest::newRow("signtool: standard input")
            << "signtool.exe" << QStringList{"sign", "/f", "PFX", "/pfd", "0", "FILE"}
            << "SignTool Error: The value of /pfd must be the number of an inherited descriptor, 3 or more: 0";
        QTest::newRow("signtool: /p and /pfd")
            << "signtool.exe" << QStringList{"sign", "/f", "PFX", "/p", "x", "/pfd", "3", "FILE"}
            << "SignTool Error: The options /p and /pfd cannot be combined.";
        QTest::newRow("pvk2pfx: descriptor not open")
            << "pvk2pfx.exe" << QStringList{"-pvk", "PFX", "-pifd", "99", "-spc", "FILE", "-pfx", "OUT"}
            << "pvk2pfx error: The password of -pi cannot be read: descriptor 99 is not open.";
        QTest::newRow("pvk2pfx: -po and -pofd")
            << "pvk2pfx.exe" << QStringList{"-pvk", "PFX", "-po", "x", "-pofd", "3", "-spc", "FILE", "-pfx", "OUT"}
            << "pvk2pfx error: The options -po and -pofd cannot be combined.";
    }
    void descriptorSwitchesRefuseWhatTheyCannotUse()
    {
        QFETCH(QString, tool);
        QFETCH(QStringList, args);
        QFETCH(QString, message);
        const QString file = newFolder() + QStringLiteral("/app.exe");
        QVERIFY(writePeFile(file, 7));
        const QByteArray original = fileBytes(file);
        args.replaceInStrings(QStringLiteral("PFX"), m_pfx).replaceInStrings(QStringLiteral("FILE"), file);
        args.replaceInStrings(QStringLiteral("OUT"), file + QStringLiteral(".pfx"));
        const RunResult run = runProgram(sdkToolPath(tool), args);
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.output.contains(message), qPrintable(run.output));
        QCOMPARE(fileBytes(file), original);
        QVERIFY(!QFile::exists(file + QStringLiteral(".pfx")));
    }

    void pvk2pfxTakesBothPasswordsFromDescriptors()
    {
        const KeyAndCert pair = makeCertificate();
        const QString dir = newFolder();
        QVERIFY(writePvk(dir + "/key.pvk", pair, QStringLiteral("pvk secret")));
        QVERIFY(writeSpc(dir + "/key.spc", pair));
        // Each secret in a pipe of its own: the -pi one at 3, the -po one at 4.
        const auto [ok, output] = runWithSecrets({sdkToolPath(QStringLiteral("pvk2pfx.exe")), "-pvk",
                                                  dir + "/key.pvk", "-pifd", "3", "-spc", dir + "/key.spc", "-pfx",
                                                  dir + "/key.pfx", "-pofd", "4"},
                                                 {"pvk secret", "new secret"});
        QVERIFY2(ok, output.constData());
        QVERIFY(readPkcs12(dir + "/key.pfx", QStringLiteral("new secret")).has_value());
        QVERIFY(!readPkcs12(dir + "/key.pfx", QStringLiteral("pvk secret")).has_value());
    }

    // ---- no core dumps, no tracing ---------------------------------------------

    // A process that is not dumpable has its /proc entries owned by root, so
    // that its own user can neither trace it nor read its memory; run as
    // nobody, the tools' entries must turn root's at once.
    void toolsCannotBeDumpedOrTraced_data()
    {
        QTest::addColumn<QString>("tool");
        QTest::addColumn<QStringList>("args");
        QTest::newRow("signtool.exe") << "signtool.exe" << QStringList{"sign", "/f", "/nonexistent.pfx", "/pfd", "3", "/nonexistent.exe"};
        QTest::newRow("pvk2pfx.exe") << "pvk2pfx.exe" << QStringList{"-pvk", "/nonexistent.pvk", "-pifd", "3", "-spc", "/x.spc", "-pfx", "/x.pfx"};
    }
    void toolsCannotBeDumpedOrTraced()
    {
        QFETCH(QString, tool);
        QFETCH(QStringList, args);
        QM_SKIP_UNLESS_ROOT(nobody);
        const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
        if (setpriv.isEmpty())
            QSKIP("setpriv (util-linux) is missing: cannot act as another user");
        const QString program = sdkToolPath(tool);
        PipedTool running;
        QVERIFY(running.start(QStringList{setpriv, "--reuid=65534", "--regid=65534", "--clear-groups", program} + args));
        // setpriv itself is not dumpable for a moment after changing users;
        // only the tool counts.
        QTRY_COMPARE_WITH_TIMEOUT(exeOf(running.pid), QFileInfo(program).canonicalFilePath(), 10000);
        QTRY_COMPARE_WITH_TIMEOUT(procOwner(running.pid), uid_t(0), 3000);
        const QByteArray core = coreLimitLine(running.pid);
        QVERIFY2(core.startsWith("Max core file size 0 0"), core.constData());
        running.finish("x");
    }
};

QTEST_GUILESS_MAIN(TestSdkToolsHardening)
#include "tst_sdktools_hardening.moc"
