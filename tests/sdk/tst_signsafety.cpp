// signtool.exe as an administrator's tool: what it must never do to a file,
// tried with hostile users, failing disks and lying helpers. Signatures are
// checked with "osslsigncode verify", never with the tool's own report.

#include "support/FakeTools.h"
#include "support/SignToolFixture.h"
#include "support/TestData.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <csignal>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

using namespace testdata;

namespace {

constexpr uid_t kNobody = 65534;
constexpr gid_t kNogroup = 65534;

struct stat statOf(const QString &path)
{
    struct stat st {};
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        st.st_ino = 0;
    return st;
}

bool processGone(pid_t pid)
{
    if (::kill(pid, 0) != 0 && errno == ESRCH)
        return true;
    // A zombie (waiting for whoever inherited it) has ended too.
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return true;
    const QByteArray line = stat.readAll();
    const int paren = line.lastIndexOf(')');
    return paren > 0 && line.mid(paren + 2, 1) == "Z";
}

QByteArray attribute(const QString &path, const char *name)
{
    char value[4096];
    const ssize_t n = ::lgetxattr(QFile::encodeName(path).constData(), name, value, sizeof value);
    return n < 0 ? QByteArray("<none>") : QByteArray(value, int(n));
}

} // namespace

class TestSignSafety : public QObject, private SignToolFixture {
    Q_OBJECT

private:
    const QString m_password = QStringLiteral("pw");

    QStringList signWithPfx(const QStringList &files) const
    {
        return QStringList{"sign", "/f", m_pfx, "/p", m_password} + files;
    }

    // Program files are signed in this process; run with the environment
    // of osslsigncodeForProgramFiles, osslsigncode signs them (with page
    // hashes), and its copy is checked.
    QStringList signThroughOsslsigncode(const QStringList &files) const
    {
        return QStringList{"sign", "/f", m_pfx, "/p", m_password, "/ph"} + files;
    }

    // The run failed for `file`, said so, and left it and its folder alone.
    void expectUntouched(const RunResult &run, const QString &file, const QByteArray &original,
                         const QStringList &before, const QString &message)
    {
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.output.contains(QLatin1String("SignTool Error: ")), qPrintable(run.output));
        QVERIFY2(run.output.contains(message), qPrintable(run.output));
        QVERIFY2(!run.output.contains(QLatin1String("Successfully signed")), qPrintable(run.output));
        QCOMPARE(fileBytes(file), original);
        QTRY_COMPARE_WITH_TIMEOUT(entries(QFileInfo(file).path()), before, 5000);
    }

private slots:
    void initTestCase();
    void damagedPeIsRefused_data();
    void damagedPeIsRefused();
    void lyingOsslsigncodeIsCaught_data();
    void lyingOsslsigncodeIsCaught();
    void largeFileIsCheckedCompletely_data();
    void largeFileIsCheckedCompletely();
    void scriptIsSignedAndChecked();
    void scriptIsSignedWithoutTheSystemsCaBundle();
    void fullDiskLeavesFileUntouched();
    void fifoInStoreIsPassedOver();
    void fifoAsPfxIsRefused();
    void killedToolTakesOsslsigncodeAlong();
    void hardLinksAreNamed();
    void setIdBitsAreDropped();
    void aclAndAttributesAreKept();
    void ownerThatCannotBeKeptFailsTheFile();
    void cleanerIsNeverStartedTwice();
    void linkOfAnotherUserIsNotFollowed();
    void swappedNamesNeverReachOtherFiles();
    void hangingTokenModuleEndsTheRun_data();
    void hangingTokenModuleEndsTheRun();
};

void TestSignSafety::initTestCase()
{
    QVERIFY(m_root.isValid());
    QVERIFY2(QFileInfo(sdkToolPath(QStringLiteral("signtool.exe"))).isExecutable(), "signtool.exe not built");
    QVERIFY(useSigner(makeCertificate(), m_password));
}

// A cut or damaged program file is refused before osslsigncode writes a
// signature over its sections.
void TestSignSafety::damagedPeIsRefused_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("problem");
    const QByteArray good = peFileBytes(4);
    QTest::newRow("1000-byte head") << good.left(1000) << "the section \".text\" runs past the end of the file";
    QTest::newRow("PE header only") << good.left(0x60) << "the optional header runs past the end of the file";
}

void TestSignSafety::damagedPeIsRefused()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, problem);
    const QString dir = newFolder();
    const QString file = dir + "/cut.exe";
    QVERIFY(writeBytes(file, bytes));
    const QStringList before = entries(dir);
    const RunResult run = signtool(signWithPfx({file}));
    expectUntouched(run, file, bytes, before,
                    QStringLiteral("SignTool Error: Cannot sign %1: the file is truncated or damaged (%2).")
                        .arg(file, problem));
}

// osslsigncode 2.9 exits 0 after a failed write; its exit code alone must
// never put a copy in the file's place.
void TestSignSafety::lyingOsslsigncodeIsCaught_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("message");
    QTest::newRow("cut copy") << QByteArray("\"$real\" \"$@\" >/dev/null 2>&1 && truncate -s -300 \"$out\"\n"
                                            "echo Succeeded\nexit 0\n")
                              << "the signed copy is damaged";
    QTest::newRow("unsigned copy") << QByteArray("cat \"$in\" > \"$out\"\nexit 0\n")
                                   << "the signed copy carries no signature";
    QTest::newRow("empty copy") << QByteArray(": > \"$out\"\nexit 0\n") << "wrote no signed copy";
    QTest::newRow("no copy") << QByteArray("exit 0\n") << "wrote no signed copy";
    QTest::newRow("changed code") << QByteArray("\"$real\" \"$@\" >/dev/null 2>&1 &&\n"
                                                "printf '\\220' | dd of=\"$out\" bs=1 seek=513 conv=notrunc 2>/dev/null\n"
                                                "exit 0\n")
                                  << "does not match its signature";
}

void TestSignSafety::lyingOsslsigncodeIsCaught()
{
    QFETCH(QByteArray, body);
    QFETCH(QString, message);
    const QProcessEnvironment env = osslsigncodeForProgramFiles(fakeOsslsigncode(newFolder(), body));
    const QString dir = newFolder();
    const QString file = dir + "/app.exe";
    QVERIFY(writePeFile(file, 11));
    const QByteArray original = fileBytes(file);
    const RunResult run = signtool(signThroughOsslsigncode({file}), env);
    expectUntouched(run, file, original, {"app.exe"}, message);
}

// A large program file is hashed while osslsigncode signs it, and its copy
// synced while it is checked. The copy is compared with the file in full
// while the file keeps its read lease, and hashed in full when it cannot
// have one (another program has it open for writing); a write to the file
// after the early hash is still noticed, and the writer is not kept waiting
// for the lease (every thread of the tool blocks the break signal, and a
// thread of its own gives the lease up).
void TestSignSafety::largeFileIsCheckedCompletely_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("openForWriting"); // by this test, all along
    QTest::addColumn<qint64>("changedAt"); // in the original, by the stand-in; -1: not changed
    QTest::addColumn<QString>("message");  // empty: signed
    const QByteArray plain("exec \"$real\" \"$@\"\n");
    const QByteArray copyChanged("\"$real\" \"$@\" >/dev/null 2>&1 &&\n"
                                 "printf '\\220' | dd of=\"$out\" bs=1 seek=5000000 conv=notrunc 2>/dev/null\n"
                                 "exit 0\n");
    QTest::newRow("signed") << plain << false << qint64(-1) << QString();
    QTest::newRow("signed, no lease") << plain << true << qint64(-1) << QString();
    QTest::newRow("copy changed deep inside") << copyChanged << false << qint64(-1) << "does not match its signature";
    QTest::newRow("copy changed, no lease") << copyChanged << true << qint64(-1) << "does not match its signature";
    QTest::newRow("original written meanwhile")
        << QByteArray("\"$real\" \"$@\" >/dev/null 2>&1 &&\n"
                      "printf '\\220' | dd of=\"$in\" bs=1 seek=5000000 conv=notrunc 2>/dev/null\n"
                      "exit 0\n")
        << false << qint64(5000000) << "was the file changed meanwhile?";
}

void TestSignSafety::largeFileIsCheckedCompletely()
{
    QFETCH(QByteArray, body);
    QFETCH(bool, openForWriting);
    QFETCH(qint64, changedAt);
    QFETCH(QString, message);
    const QProcessEnvironment env = osslsigncodeForProgramFiles(fakeOsslsigncode(newFolder(), body));
    const QString dir = newFolder();
    const QString file = dir + "/large.exe";
    QVERIFY(writeLargePeFile(file, 12, 6));
    QByteArray expected = fileBytes(file);
    if (changedAt >= 0)
        expected[changedAt] = char(0220);
    QFile writer(file);
    if (openForWriting)
        QVERIFY(writer.open(QIODevice::ReadWrite));
    QElapsedTimer timer;
    timer.start();
    const RunResult run = signtool(signThroughOsslsigncode({file}), env);
    // A writer would wait for an unbroken lease for up to 45 s.
    QVERIFY2(timer.elapsed() < 20000, qPrintable(QString::number(timer.elapsed())));
    writer.close();
    if (message.isEmpty()) {
        QVERIFY2(run.ok(), qPrintable(run.output));
        QVERIFY(verifySignature(file, m_caPem).ok());
        QCOMPARE(entries(dir), QStringList{"large.exe"});
        return;
    }
    expectUntouched(run, file, expected, {"large.exe"}, message);
}

// A script is told apart by its extension, which the descriptor's name
// lacks; its copy is checked through osslsigncode's own verify.
void TestSignSafety::scriptIsSignedAndChecked()
{
    const QString dir = newFolder();
    const QString script = dir + "/Setup.ps1";
    const QByteArray text = "Write-Host \"hello\"\r\n";
    QVERIFY(writeBytes(script, text));
    RunResult run = signtool(signWithPfx({script}));
    QVERIFY2(run.ok(), qPrintable(run.output));
    QVERIFY(verifySignature(script, m_caPem).ok());
    QCOMPARE(entries(dir), QStringList{"Setup.ps1"});

    const QString cut = dir + "/Cut.ps1";
    QVERIFY(writeBytes(cut, text));
    const QProcessEnvironment env = fakeOsslsigncode(newFolder(), "[ \"$1\" = verify ] && exec \"$real\" \"$@\"\n"
                                                                  "\"$real\" \"$@\" >/dev/null 2>&1 &&\n"
                                                                  "truncate -s -200 \"$out\"\nexit 0\n");
    run = signtool(signWithPfx({cut}), env);
    expectUntouched(run, cut, text, {"Cut.ps1", "Setup.ps1"}, "the signed copy cannot be read as a signed file");
}

// A system without the CA bundle (Debian's minimal install has none): the
// check of a script's signed copy must still read osslsigncode's report,
// which says nothing at all when its default trust list is missing.
void TestSignSafety::scriptIsSignedWithoutTheSystemsCaBundle()
{
    if (geteuid() != 0)
        QSKIP("hiding the CA bundle needs a mount namespace of root's");
    const QString dir = newFolder();
    const QString script = dir + "/Setup.ps1";
    QVERIFY(writeBytes(script, "Write-Host \"hello\"\r\n"));
    const QStringList hideBundle = {"--mount", "--propagation", "private", "sh", "-c",
                                    "mount -t tmpfs tmpfs /etc/ssl/certs && exec \"$0\" \"$@\"",
                                    sdkToolPath(QStringLiteral("signtool.exe"))};
    const RunResult probe = runProgram(QStringLiteral("unshare"), {"--mount", "true"});
    if (!probe.ok())
        QSKIP(qPrintable("no mount namespace here (" + probe.output.trimmed() + ")"));
    const RunResult run = runProgram(QStringLiteral("unshare"), hideBundle + signWithPfx({script}));
    QVERIFY2(run.ok(), qPrintable(run.output));
    QVERIFY(verifySignature(script, m_caPem).ok());
}

// A full disk on a small tmpfs mounted here: osslsigncode cannot write the
// copy, and the file must stay as it was.
void TestSignSafety::fullDiskLeavesFileUntouched()
{
    if (geteuid() != 0)
        QSKIP("mounting a small tmpfs needs root; the full disk is not tried");
    QTemporaryDir mountPoint;
    QVERIFY(mountPoint.isValid());
    const RunResult mount = runProgram(QStringLiteral("mount"),
                                       {"-t", "tmpfs", "-o", "size=64k,mode=0755", "tmpfs", mountPoint.path()});
    if (!mount.ok())
        QSKIP(qPrintable("mounting a tmpfs is not allowed here (" + mount.output.trimmed()
                         + "); the full disk is not tried"));
    struct Unmount {
        QString path;
        ~Unmount() { runProgram(QStringLiteral("umount"), {"-l", path}); }
    } unmount{mountPoint.path()};

    // A program of 23.5 KB and room for 24 KB: the copy's body fits, its
    // signature does not. osslsigncode 2.9 then says "Succeeded", exits 0
    // and leaves the copy cut at 24 KB.
    const QString file = mountPoint.filePath(QStringLiteral("app.exe"));
    QVERIFY(writeBytes(file, peFileBytes(12) + QByteArray(22 * 1024 + 512, 'd')));
    const QByteArray original = fileBytes(file);
    {
        QFile filler(mountPoint.filePath(QStringLiteral("filler")));
        QVERIFY(filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
        const QByteArray block(4096, 'f');
        while (filler.write(block) == block.size()) {
        }
        QVERIFY(filler.resize(filler.size() - 24 * 1024));
    }
    const QStringList before = entries(mountPoint.path());
    const RunResult run = signtool(signWithPfx({file}));
    expectUntouched(run, file, original, before, QStringLiteral("Signing ") + file + " failed");
}

void TestSignSafety::fifoInStoreIsPassedOver()
{
    const QString store = newFolder();
    QVERIFY(writePkcs12(store + "/good.pfx", m_cert));
    QCOMPARE(::mkfifo(QFile::encodeName(store + "/a-pipe.pfx").constData(), 0600), 0);
    const QString dir = newFolder();
    const QString file = dir + "/app.exe";
    QVERIFY(writePeFile(file));
    const RunResult run = signtool({"sign", "/a", "/v", file}, storeEnvironment(store), 30000);
    QVERIFY2(!run.timedOut, "signtool.exe hung on a FIFO in the store");
    QVERIFY2(run.ok(), qPrintable(run.output));
    QVERIFY2(run.output.contains("Passed over " + store + "/a-pipe.pfx: it is not a regular file."),
             qPrintable(run.output));
    QVERIFY(verifySignature(file, m_caPem).ok());
}

void TestSignSafety::fifoAsPfxIsRefused()
{
    const QString dir = newFolder();
    const QString pipe = dir + "/key.pfx";
    QCOMPARE(::mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);
    const QString file = dir + "/app.exe";
    QVERIFY(writePeFile(file));
    const QByteArray original = fileBytes(file);
    const RunResult run = signtool({"sign", "/f", pipe, file}, {}, 30000);
    QVERIFY2(!run.timedOut, "signtool.exe hung on a FIFO given with /f");
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.output.contains("SignTool Error: The PFX file " + pipe + " cannot be read: it is not a regular file."),
             qPrintable(run.output));
    QCOMPARE(fileBytes(file), original);
}

// kill -9 of the tool: osslsigncode dies with it and the temporary folder
// beside the file goes too.
void TestSignSafety::killedToolTakesOsslsigncodeAlong()
{
    const QString record = newFolder();
    const QProcessEnvironment env = osslsigncodeForProgramFiles(fakeOsslsigncode(
        newFolder(), QStringLiteral("echo partial > \"$out\"\necho $$ > '%1/pid'\nexec sleep 60\n").arg(record).toUtf8()));
    const QString dir = newFolder();
    const QString file = dir + "/app.exe";
    QVERIFY(writePeFile(file));
    const QByteArray original = fileBytes(file);

    QProcess process;
    process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(sdkToolPath(QStringLiteral("signtool.exe")), signThroughOsslsigncode({file}));
    QVERIFY(process.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(!fileBytes(record + "/pid").trimmed().isEmpty(), 10000);
    const pid_t child = fileBytes(record + "/pid").trimmed().toInt();
    QVERIFY(child > 0);
    QVERIFY(!processGone(child));
    QCOMPARE(entries(dir).size(), 2);

    process.kill(); // SIGKILL: no handler of the tool runs
    QVERIFY(process.waitForFinished(10000));
    QTRY_VERIFY_WITH_TIMEOUT(processGone(child), 10000);
    QTRY_COMPARE_WITH_TIMEOUT(entries(dir), QStringList{"app.exe"}, 10000);
    QCOMPARE(fileBytes(file), original);
}

void TestSignSafety::hardLinksAreNamed()
{
    const QString dir = newFolder();
    const QString file = dir + "/app.exe";
    const QString other = dir + "/other-name.exe";
    QVERIFY(writePeFile(file, 21));
    QCOMPARE(::link(QFile::encodeName(file).constData(), QFile::encodeName(other).constData()), 0);
    const QByteArray original = fileBytes(file);
    const RunResult run = signtool(QStringList{"sign", "/f", m_pfx, "/p", m_password, "/fd", "sha256", "/v", file});
    QVERIFY2(run.ok(), qPrintable(run.output));
    QVERIFY2(run.output.contains("SignTool Warning: " + file
                                 + " has 2 hard links; the signed file is separate from its other names"),
             qPrintable(run.output));
    QVERIFY(run.output.contains(QLatin1String("Number of warnings: 1")));
    QVERIFY(verifySignature(file, m_caPem).ok());
    QCOMPARE(fileBytes(other), original);
    QCOMPARE(statOf(file).st_nlink, nlink_t(1));
}

void TestSignSafety::setIdBitsAreDropped()
{
    const QString dir = newFolder();
    const QString file = dir + "/tool.exe";
    QVERIFY(writePeFile(file, 22));
    QCOMPARE(::chmod(QFile::encodeName(file).constData(), 06755), 0);
    const RunResult run = signtool(signWithPfx({file}));
    QVERIFY2(run.ok(), qPrintable(run.output));
    QVERIFY2(run.output.contains("SignTool Warning: " + file + " lost its set-user-ID/set-group-ID bit"),
             qPrintable(run.output));
    QCOMPARE(statOf(file).st_mode & 07777, mode_t(0755));
    QVERIFY(verifySignature(file, m_caPem).ok());
}

// The signed copy takes over the file's ACL (a colleague's access) and its
// extended attributes, which a plain replacement would drop.
void TestSignSafety::aclAndAttributesAreKept()
{
    if (QStandardPaths::findExecutable(QStringLiteral("setfacl")).isEmpty())
        QSKIP("setfacl (package acl) is missing");
    const QString dir = newFolder();
    const QString file = dir + "/shared.exe";
    QVERIFY(writePeFile(file, 24));
    QCOMPARE(QProcess::execute(QStringLiteral("setfacl"), {"-m", "u:nobody:rw,g:adm:r", file}), 0);
    const QByteArray origin("build 42");
    QCOMPARE(::setxattr(QFile::encodeName(file).constData(), "user.origin", origin.constData(), size_t(origin.size()), 0),
             0);
    const QByteArray acl = attribute(file, "system.posix_acl_access");
    QVERIFY(acl != "<none>");
    const struct stat before = statOf(file);

    const RunResult run = signtool(signWithPfx({file}));
    QVERIFY2(run.ok(), qPrintable(run.output));
    QVERIFY(statOf(file).st_ino != before.st_ino);
    QCOMPARE(attribute(file, "system.posix_acl_access"), acl);
    QCOMPARE(attribute(file, "user.origin"), origin);
    QCOMPARE(statOf(file).st_mode, before.st_mode);
    QVERIFY(verifySignature(file, m_caPem).ok());
}

// A user who may write a file of someone else's (through its group) but
// may not give a file away: the signed copy would belong to them, so the
// file is refused and left as it was, rather than changing hands quietly.
void TestSignSafety::ownerThatCannotBeKeptFailsTheFile()
{
    if (geteuid() != 0 || QStandardPaths::findExecutable(QStringLiteral("setpriv")).isEmpty())
        QSKIP("needs root and setpriv, to sign as another user");
    QTemporaryDir shared;
    QVERIFY(shared.isValid());
    QCOMPARE(::chmod(QFile::encodeName(shared.path()).constData(), 0755), 0);
    const QString dir = shared.filePath(QStringLiteral("work"));
    QVERIFY(QDir().mkdir(dir));
    QCOMPARE(::chown(QFile::encodeName(dir).constData(), kNobody, kNogroup), 0);
    const QString pfx = shared.filePath(QStringLiteral("signer.pfx"));
    QVERIFY(QFile::copy(m_pfx, pfx));
    QCOMPARE(::chmod(QFile::encodeName(pfx).constData(), 0644), 0);
    const gid_t team = 100; // "users": nobody joins it for this run only
    const QString file = dir + "/team.exe";
    QVERIFY(writePeFile(file, 25));
    QCOMPARE(::chown(QFile::encodeName(file).constData(), 0, team), 0);
    QCOMPARE(::chmod(QFile::encodeName(file).constData(), 0664), 0);
    const QByteArray original = fileBytes(file);
    const QStringList before = entries(dir);

    QProcess tool;
    tool.setProcessChannelMode(QProcess::MergedChannels);
    tool.start(QStringLiteral("setpriv"), {"--reuid=nobody", "--regid=nogroup", "--groups=" + QString::number(team),
                                           sdkToolPath(QStringLiteral("signtool.exe")), "sign", "/f", pfx, "/p",
                                           m_password, file});
    QVERIFY(tool.waitForFinished(120000));
    RunResult run;
    run.started = true;
    run.exitCode = tool.exitCode();
    run.output = QString::fromUtf8(tool.readAll());
    expectUntouched(run, file, original, before,
                    "Cannot sign " + file + ": its owner and group (uid 0, gid 100) cannot be given to the signed copy");
    QCOMPARE(statOf(file).st_uid, uid_t(0));
    QCOMPARE(statOf(file).st_gid, team);
}

// The cleaner is forked once, before a PKCS#11 module may have started
// threads; when that fork fails the run says so instead of forking again
// later (played by a library that fails the process's first fork).
void TestSignSafety::cleanerIsNeverStartedTwice()
{
    const QString file = newFolder() + "/app.exe";
    QVERIFY(writePeFile(file, 26));
    const QByteArray original = fileBytes(file);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(QUILLMARK_FIRST_FORK_FAILS));
    const RunResult run = signtool(signWithPfx({file}), env);
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.output.contains(QLatin1String("SignTool Error: Cannot start the cleaner of temporary folders: "
                                               "Resource temporarily unavailable.")),
             qPrintable(run.output));
    QCOMPARE(fileBytes(file), original);
}

void TestSignSafety::linkOfAnotherUserIsNotFollowed()
{
    if (geteuid() != 0)
        QSKIP("giving a link to another user needs root");
    const QString dir = newFolder();
    const QString target = dir + "/system.exe";
    const QString link = dir + "/planted.exe";
    QVERIFY(writePeFile(target, 23));
    const QByteArray original = fileBytes(target);
    QVERIFY(QFile::link(target, link));
    QCOMPARE(::lchown(QFile::encodeName(link).constData(), kNobody, kNogroup), 0);
    const RunResult run = signtool(signWithPfx({link}));
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.output.contains("SignTool Error: Cannot sign " + link
                                 + ": the symbolic link planted.exe on its path belongs to another user"),
             qPrintable(run.output));
    QCOMPARE(fileBytes(target), original);
}

// The owner of a folder swaps names for links to root's files while root
// signs there, from a tight loop. Nothing outside the folder may change.
void TestSignSafety::swappedNamesNeverReachOtherFiles()
{
    if (geteuid() != 0)
        QSKIP("the race needs root running the tool and another user attacking; not root here");
    if (QStandardPaths::findExecutable(QStringLiteral("setpriv")).isEmpty())
        QSKIP("setpriv (util-linux) is missing; the race cannot run as another user");

    QTemporaryDir shared;
    QVERIFY(shared.isValid());
    QCOMPARE(::chmod(QFile::encodeName(shared.path()).constData(), 0755), 0);
    const QString attack = shared.filePath(QStringLiteral("attack"));
    QVERIFY(QDir().mkdir(attack));
    QCOMPARE(::chown(QFile::encodeName(attack).constData(), kNobody, kNogroup), 0);

    // Root's files the attacker would like: a secret, and a program.
    const QString vault = newFolder();
    const QString secret = vault + "/secret";
    const QString program = vault + "/program.exe";
    QVERIFY(writeBytes(secret, "root only\n"));
    QCOMPARE(::chmod(QFile::encodeName(secret).constData(), 0600), 0);
    QVERIFY(writePeFile(program, 30));
    const QByteArray programBytes = fileBytes(program);
    const struct stat secretBefore = statOf(secret);
    const struct stat programBefore = statOf(program);

    const int fileCount = 4;
    QStringList files;
    for (int i = 0; i < fileCount; ++i) {
        files << attack + QStringLiteral("/app%1.exe").arg(i);
        QVERIFY(writePeFile(files.last(), 40 + i));
        QCOMPARE(::chown(QFile::encodeName(files.last()).constData(), kNobody, kNogroup), 0);
        QCOMPARE(::chmod(QFile::encodeName(files.last()).constData(), 0666), 0);
    }

    // Every pass: the temporary folders moved away and replaced by links to
    // the secret; each program name briefly a link to root's program.
    const QString script = QStringLiteral(
        "cd '%1' || exit 1\n"
        "end=$(( $(date +%s) + 60 ))\n"
        "while [ ! -e stop ] && [ $(date +%s) -lt $end ]; do\n"
        "  for f in .signtool-*; do\n"
        "    [ -d \"$f\" ] && [ ! -L \"$f\" ] && mv \"$f\" \"moved$f\" 2>/dev/null && ln -s '%2' \"$f\"\n"
        "  done\n"
        "  for i in 0 1 2 3; do\n"
        "    mv app$i.exe keep$i.exe 2>/dev/null && ln -s '%3' app$i.exe; rm -f app$i.exe; mv keep$i.exe app$i.exe 2>/dev/null\n"
        "  done\n"
        "done\n")
                               .arg(attack, secret, program);
    QProcess attacker;
    attacker.start(QStringLiteral("setpriv"), {"--reuid=nobody", "--regid=nogroup", "--clear-groups", "sh", "-c", script});
    QVERIFY(attacker.waitForStarted());

    int signedRuns = 0;
    for (int round = 0; round < 6; ++round) {
        const RunResult run = signtool(QStringList{"sign", "/f", m_pfx, "/p", m_password, "/mt", "4"} + files);
        QVERIFY2(run.started && !run.timedOut, qPrintable(run.output));
        signedRuns += run.output.count(QLatin1String("Successfully signed"));
        // Every file has exactly one outcome, whatever happened to it.
        QCOMPARE(run.output.count(QLatin1String("Successfully signed")) + run.output.count(QLatin1String("SignTool Error")),
                 fileCount);
    }
    QVERIFY(writeBytes(attack + "/stop", QByteArray()));
    QVERIFY(attacker.waitForFinished(30000));

    const struct stat secretAfter = statOf(secret);
    QCOMPARE(fileBytes(secret), QByteArray("root only\n"));
    QCOMPARE(secretAfter.st_uid, secretBefore.st_uid);
    QCOMPARE(secretAfter.st_mode, secretBefore.st_mode);
    QCOMPARE(secretAfter.st_ino, secretBefore.st_ino);
    const struct stat programAfter = statOf(program);
    QCOMPARE(fileBytes(program), programBytes);
    QCOMPARE(programAfter.st_uid, programBefore.st_uid);
    QCOMPARE(programAfter.st_mode, programBefore.st_mode);
    QCOMPARE(programAfter.st_ino, programBefore.st_ino);
    // The files that were signed belong to their owner still.
    for (const QString &file : files) {
        const struct stat st = statOf(file);
        if (st.st_ino != 0 && S_ISREG(st.st_mode))
            QCOMPARE(st.st_uid, kNobody);
    }
    qInfo("%d of %d signings succeeded under attack", signedRuns, 6 * fileCount);
}

void TestSignSafety::hangingTokenModuleEndsTheRun_data()
{
    QTest::addColumn<QString>("hangsIn");
    QTest::addColumn<QString>("verb");
    QTest::newRow("slot list, sign") << "slots" << "sign";
    QTest::newRow("initialization, sign") << "initialize" << "sign";
    QTest::newRow("slot list, verify") << "slots" << "verify";
}

// A network HSM's module whose server is gone never returns from listing its
// slots; the run must end after the module time-out (shortened here), name
// the module, and leave every file as it was.
void TestSignSafety::hangingTokenModuleEndsTheRun()
{
    QFETCH(QString, hangsIn);
    QFETCH(QString, verb);
    const QString module = QStringLiteral(QUILLMARK_HANGING_PKCS11);
    const QString store = newFolder();
    QVERIFY(writePkcs12(store + "/good.pfx", m_cert));
    const QString dir = newFolder();
    const QString file = dir + "/app.exe";
    QVERIFY(writePeFile(file, 24));
    const QByteArray original = fileBytes(file);
    const QStringList before = entries(dir);

    QProcessEnvironment env = storeEnvironment(store);
    env.insert(QStringLiteral("QUILLMARK_PKCS11_MODULE"), module);
    env.insert(QStringLiteral("QUILLMARK_PKCS11_TIMEOUT"), QStringLiteral("2"));
    env.insert(QStringLiteral("QUILLMARK_TEST_PKCS11_HANG"), hangsIn);
    const QStringList args = verb == "sign" ? QStringList{"sign", "/a", file} : QStringList{"verify", "/pa", file};
    QElapsedTimer timer;
    timer.start();
    const RunResult run = signtool(args, env, 60000);
    QVERIFY2(!run.timedOut, "signtool.exe waited for the module for good");
    QVERIFY(timer.elapsed() >= 1900);
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.output.contains("SignTool Error: The PKCS#11 module " + module
                                 + " did not answer within 2 seconds while listing its tokens"),
             qPrintable(run.output));
    QVERIFY2(run.output.endsWith(QLatin1String("Number of errors: 1\n")), qPrintable(run.output));
    QCOMPARE(fileBytes(file), original);
    QCOMPARE(entries(dir), before);
}

QTEST_GUILESS_MAIN(TestSignSafety)
#include "tst_signsafety.moc"
