// Black-box tests of the stand-in pvk2pfx.exe. The PFX files it writes are
// checked with the openssl command (without its legacy provider) and with
// OpenSSL's default library context, never with the tool itself.

#include "support/TestData.h"
#include "support/TestFolders.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <QProcess>
#include <QStandardPaths>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace testdata;

class TestPvk2Pfx : public QObject, private TestFolders {
    Q_OBJECT

private:
    KeyAndCert m_pair;
    KeyAndCert m_other;
    const QString m_pvkPassword = QStringLiteral("pvk pass \"1\"");
    QString m_plainPvk, m_lockedPvk, m_spcDer, m_spcPem, m_otherSpc;

    static RunResult pvk2pfx(const QStringList &args)
    {
        return runProgram(sdkToolPath(QStringLiteral("pvk2pfx.exe")), args);
    }

    // The independent reader: "openssl pkcs12" as shipped, legacy provider
    // not loaded, password through the environment.
    static RunResult opensslReads(const QString &pfx, const QString &password)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QM_PFX_PASS"), password);
        return runProgram(QStringLiteral("openssl"),
                          {"pkcs12", "-in", pfx, "-passin", "env:QM_PFX_PASS", "-info", "-noout"}, env);
    }

private slots:
    void initTestCase();
    void writesPfx_data();
    void writesPfx();
    void existingOutputNeedsForce();
    void forcedOutputIsPrivateAndReplacesLinks();
    void linkAtOutputWithoutForceIsKept();
    void hostileUserSwappingLinksGainsNothing();
    void folderLinkOfAnotherUserIsNotFollowed();
    void legacyFormOpensWithoutLegacyProvider();
    void nonRegularInputIsRefused_data();
    void nonRegularInputIsRefused();
    void oversizedInputIsRefusedUnread_data();
    void oversizedInputIsRefusedUnread();
    void failureWritesNothing_data();
    void failureWritesNothing();
    void usageError_data();
    void usageError();
};

void TestPvk2Pfx::initTestCase()
{
    QVERIFY(m_root.isValid());
    QVERIFY2(QFileInfo(sdkToolPath(QStringLiteral("pvk2pfx.exe"))).isExecutable(), "pvk2pfx.exe not built");
    CertOptions options;
    options.commonName = QStringLiteral("Quillmark PVK Test");
    m_pair = makeCertificate(options);
    options.commonName = QStringLiteral("Somebody Else");
    m_other = makeCertificate(options);
    QVERIFY(!m_pair.isNull() && !m_other.isNull());

    m_plainPvk = m_root.filePath(QStringLiteral("plain.pvk"));
    m_lockedPvk = m_root.filePath(QStringLiteral("locked.pvk"));
    m_spcDer = m_root.filePath(QStringLiteral("cert.spc"));
    m_spcPem = m_root.filePath(QStringLiteral("chain.spc"));
    m_otherSpc = m_root.filePath(QStringLiteral("other.spc"));
    QVERIFY(writePvk(m_plainPvk, m_pair));
    QVERIFY(writePvk(m_lockedPvk, m_pair, m_pvkPassword));
    QVERIFY(fileBytes(m_plainPvk) != fileBytes(m_lockedPvk));
    QVERIFY(writeSpc(m_spcDer, m_pair));
    // The matching certificate second: the tool must pick it by its key.
    QVERIFY(writeSpc(m_spcPem, m_other, Encoding::Pem, {m_pair}));
    QVERIFY(writeSpc(m_otherSpc, m_other));
}

void TestPvk2Pfx::writesPfx_data()
{
    QTest::addColumn<QString>("pvk");
    QTest::addColumn<QString>("spc");
    QTest::addColumn<QString>("newPassword"); // empty: no -po
    QTest::addColumn<QString>("pfxPassword");

    QTest::newRow("encrypted PVK, new password") << "locked" << "der" << "new secret" << "new secret";
    QTest::newRow("encrypted PVK, keeps its password") << "locked" << "der" << "" << "@pvk";
    QTest::newRow("plain PVK, new password") << "plain" << "der" << "fresh" << "fresh";
    QTest::newRow("plain PVK, PEM SPC with two certificates") << "plain" << "pem" << "" << "@pvk";
}

void TestPvk2Pfx::writesPfx()
{
    QFETCH(QString, pvk);
    QFETCH(QString, spc);
    QFETCH(QString, newPassword);
    QFETCH(QString, pfxPassword);
    if (pfxPassword == QLatin1String("@pvk"))
        pfxPassword = m_pvkPassword;

    const QString pfx = newFolder() + "/out.pfx";
    QStringList args{"-pvk", pvk == QLatin1String("locked") ? m_lockedPvk : m_plainPvk,
                     "-pi", m_pvkPassword,
                     "-spc", spc == QLatin1String("der") ? m_spcDer : m_spcPem,
                     "-pfx", pfx};
    if (!newPassword.isEmpty())
        args << "-po" << newPassword;
    const RunResult run = pvk2pfx(args);
    QVERIFY2(run.ok(), qPrintable(run.output));
    QVERIFY(run.output.contains(pfx));

    const RunResult check = opensslReads(pfx, pfxPassword);
    QVERIFY2(check.ok(), qPrintable(check.output));
    QVERIFY2(check.output.contains(QLatin1String("AES-256-CBC")), qPrintable(check.output));
    QVERIFY2(check.output.contains(QLatin1String("sha256")), qPrintable(check.output));

    const auto read = readPkcs12(pfx, pfxPassword);
    QVERIFY(read);
    QVERIFY(sameKey(*read, m_pair));
    QCOMPARE(read->subject(), QStringLiteral("CN=Quillmark PVK Test"));
    QVERIFY(!readPkcs12(pfx, pfxPassword + "x"));
    QCOMPARE(QFileInfo(pfx).permissions() & (QFile::ReadOther | QFile::ReadGroup), QFile::Permissions());
}

void TestPvk2Pfx::existingOutputNeedsForce()
{
    const QString dir = newFolder();
    const QString pfx = dir + "/existing.pfx";
    const QByteArray old("an older PFX file");
    QVERIFY(writeBytes(pfx, old));
    const QStringList base{"-pvk", m_lockedPvk, "-pi", m_pvkPassword, "-spc", m_spcDer, "-pfx", pfx, "-po", "pw"};

    RunResult run = pvk2pfx(base);
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.output.contains(QLatin1String("already exists")), qPrintable(run.output));
    QCOMPARE(fileBytes(pfx), old);

    run = pvk2pfx(base + QStringList{"-f"});
    QVERIFY2(run.ok(), qPrintable(run.output));
    QVERIFY(fileBytes(pfx) != old);
    QVERIFY2(opensslReads(pfx, "pw").ok(), "the replaced file is no valid PFX");
    QCOMPARE(entries(dir), QStringList{"existing.pfx"});
}

// A PFX holds a private key: whatever file stood at the name before, and
// whatever a link there led to, the result is a plain file of the owner's
// only, and nothing beyond the link is touched.
void TestPvk2Pfx::forcedOutputIsPrivateAndReplacesLinks()
{
    const QString dir = newFolder();
    const QString victimDir = newFolder();
    const QString victim = victimDir + "/victim.txt";
    QVERIFY(writeBytes(victim, "not a PFX"));
    QVERIFY(QFile::setPermissions(victim, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther));

    const QString open = dir + "/open.pfx";
    QVERIFY(writeBytes(open, "an older PFX, readable by everyone"));
    QVERIFY(QFile::setPermissions(open, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther));
    const QString link = dir + "/link.pfx";
    QVERIFY(QFile::link(victim, link));
    const QString dangling = dir + "/dangling.pfx";
    QVERIFY(QFile::link(dir + "/nowhere/else.pfx", dangling));

    for (const QString &pfx : {open, link, dangling}) {
        const RunResult run = pvk2pfx({"-pvk", m_lockedPvk, "-pi", m_pvkPassword, "-spc", m_spcDer, "-pfx", pfx,
                                       "-po", "pw", "-f"});
        QVERIFY2(run.ok(), qPrintable(pfx + ": " + run.output));
        struct stat st {};
        QCOMPARE(lstat(QFile::encodeName(pfx).constData(), &st), 0);
        QVERIFY2(S_ISREG(st.st_mode), qPrintable(pfx + " is not a plain file now"));
        QCOMPARE(st.st_mode & 07777, mode_t(0600));
        QVERIFY2(opensslReads(pfx, "pw").ok(), qPrintable(pfx + " holds no valid PFX"));
    }
    QCOMPARE(fileBytes(victim), QByteArray("not a PFX"));
    QCOMPARE(entries(victimDir), QStringList{"victim.txt"});
    QCOMPARE(entries(dir), (QStringList{"dangling.pfx", "link.pfx", "open.pfx"}));
}

void TestPvk2Pfx::linkAtOutputWithoutForceIsKept()
{
    const QString dir = newFolder();
    const QString victim = newFolder() + "/victim.txt";
    QVERIFY(writeBytes(victim, "untouched"));
    const QString link = dir + "/link.pfx";
    const QString dangling = dir + "/dangling.pfx";
    QVERIFY(QFile::link(victim, link));
    QVERIFY(QFile::link(dir + "/nowhere.pfx", dangling));

    for (const QString &pfx : {link, dangling}) {
        const RunResult run = pvk2pfx({"-pvk", m_plainPvk, "-spc", m_spcDer, "-pfx", pfx, "-po", "pw"});
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.output.contains(QLatin1String("already exists")), qPrintable(run.output));
        QVERIFY(QFileInfo(pfx).isSymLink());
    }
    QCOMPARE(fileBytes(victim), QByteArray("untouched"));
    QVERIFY(!QFileInfo::exists(dir + "/nowhere.pfx"));
    QCOMPARE(entries(dir), (QStringList{"dangling.pfx", "link.pfx"}));
}

// Root writes a PFX with -f into a folder that an unprivileged user owns,
// and that user plays every link trick there while the tool runs: a link
// at the output name beforehand, and each temporary file swapped for a link
// the moment it appears. Whatever the timing, the file the links lead to is
// never touched, and success is reported only for a private plain file
// holding the new PFX.
void TestPvk2Pfx::hostileUserSwappingLinksGainsNothing()
{
    if (geteuid() != 0)
        QSKIP("Needs root: the tool runs as root against an unprivileged user.");
    const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
    const passwd *nobody = getpwnam("nobody");
    if (setpriv.isEmpty() || !nobody)
        QSKIP("Needs setpriv (util-linux) and the user nobody.");

    // A place the other user can reach: /tmp's own temporary folders are
    // private to root.
    QTemporaryDir place(QDir::tempPath() + "/qm-shared-XXXXXX");
    QVERIFY(place.isValid());
    QVERIFY(QFile::setPermissions(place.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                                    | QFile::ReadOther | QFile::ExeOther));
    const QString shared = place.filePath("shared");
    QVERIFY(QDir().mkdir(shared));
    QCOMPARE(chown(QFile::encodeName(shared).constData(), nobody->pw_uid, nobody->pw_gid), 0);
    const QString victim = place.filePath("victim");
    const QByteArray victimBytes("root's own file, readable by all");
    QVERIFY(writeBytes(victim, victimBytes));
    QVERIFY(QFile::setPermissions(victim, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther));

    int swaps = 0;
    int refused = 0;
    for (int run = 0; run < 5; ++run) {
        QProcess planter;
        planter.start(setpriv, {"--reuid=" + QString::number(nobody->pw_uid),
                                "--regid=" + QString::number(nobody->pw_gid), "--clear-groups",
                                QStringLiteral(QUILLMARK_LINK_PLANTER), shared, "out.pfx", ".out.pfx.tmp",
                                victim, "20"});
        QVERIFY2(planter.waitForStarted(10000), "the link planter did not start");
        QVERIFY2(planter.waitForReadyRead(10000) && planter.readLine().startsWith("swapped out.pfx"),
                 "the link planter could not plant its link");
        QVERIFY(QFileInfo(shared + "/out.pfx").isSymLink());

        const QString pfx = shared + "/out.pfx";
        const RunResult tool = pvk2pfx({"-pvk", m_plainPvk, "-spc", m_spcDer, "-pfx", pfx, "-po", "pw", "-f"});
        planter.kill();
        planter.waitForFinished(10000);
        swaps += QString::fromUtf8(planter.readAllStandardOutput()).count(QStringLiteral("swapped .out.pfx.tmp"));

        QCOMPARE(fileBytes(victim), victimBytes);
        if (tool.ok()) {
            struct stat st {};
            QCOMPARE(lstat(QFile::encodeName(pfx).constData(), &st), 0);
            QVERIFY2(S_ISREG(st.st_mode), "success was reported, but the output is no plain file");
            QCOMPARE(st.st_mode & 07777, mode_t(0600));
            QCOMPARE(st.st_uid, uid_t(0));
            QVERIFY(opensslReads(pfx, "pw").ok());
        } else {
            QCOMPARE(tool.exitCode, 1);
            QVERIFY2(tool.output.contains(QLatin1String("changed by someone else")), qPrintable(tool.output));
            ++refused;
        }
    }
    qInfo("temporary files swapped for links in %d of 5 runs, %d runs reported the interference", swaps,
          refused);
}

// The older form (3DES, SHA-1) is what Mono and Windows before 2018 open;
// OpenSSL 3 reads it without its legacy provider too.
// A group member replaced the folder the PFX goes to with a link to a
// root-only folder: root's write is refused, nothing lands there.
void TestPvk2Pfx::folderLinkOfAnotherUserIsNotFollowed()
{
    if (geteuid() != 0)
        QSKIP("Needs root: giving a link to another user.");
    const passwd *nobody = getpwnam("nobody");
    if (!nobody)
        QSKIP("Needs the user nobody.");
    const QString dir = newFolder();
    const QString vault = newFolder();
    QVERIFY(QFile::setPermissions(vault, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    const QString link = dir + "/Keys";
    QVERIFY(QFile::link(vault, link));
    QCOMPARE(lchown(QFile::encodeName(link).constData(), nobody->pw_uid, nobody->pw_gid), 0);

    const QString pfx = link + "/out.pfx";
    const RunResult run = pvk2pfx({"-pvk", m_plainPvk, "-spc", m_spcDer, "-pfx", pfx, "-po", "pw", "-f"});
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.output.contains("Cannot write " + pfx), qPrintable(run.output));
    QVERIFY2(run.output.contains(QLatin1String("the symbolic link Keys on its path belongs to another user")),
             qPrintable(run.output));
    QCOMPARE(entries(vault), QStringList{});

    // Root's own link to the same folder is followed.
    QCOMPARE(lchown(QFile::encodeName(link).constData(), 0, 0), 0);
    QVERIFY2(pvk2pfx({"-pvk", m_plainPvk, "-spc", m_spcDer, "-pfx", pfx, "-po", "pw", "-f"}).ok(),
             qPrintable(run.output));
    QCOMPARE(entries(vault), QStringList{"out.pfx"});
}

void TestPvk2Pfx::legacyFormOpensWithoutLegacyProvider()
{
    const QString pfx = newFolder() + "/old-readers.pfx";
    const RunResult run = pvk2pfx({"-pvk", m_lockedPvk, "-pi", m_pvkPassword, "-spc", m_spcPem, "-pfx", pfx,
                                   "-po", "older", "/LEGACY"});
    QVERIFY2(run.ok(), qPrintable(run.output));

    const RunResult check = opensslReads(pfx, "older");
    QVERIFY2(check.ok(), qPrintable(check.output));
    QVERIFY2(check.output.contains(QLatin1String("MAC: sha1")), qPrintable(check.output));
    QVERIFY2(check.output.contains(QLatin1String("pbeWithSHA1And3-KeyTripleDES-CBC")), qPrintable(check.output));
    QVERIFY2(!check.output.contains(QLatin1String("AES-256")), qPrintable(check.output));
    QVERIFY2(!check.output.contains(QLatin1String("RC2")), qPrintable(check.output));

    const auto read = readPkcs12(pfx, "older");
    QVERIFY(read);
    QVERIFY(sameKey(*read, m_pair));
    QCOMPARE(QFileInfo(pfx).permissions() & (QFile::ReadOther | QFile::ReadGroup), QFile::Permissions());
}

void TestPvk2Pfx::nonRegularInputIsRefused_data()
{
    QTest::addColumn<QString>("which");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("message");
    QTest::newRow("FIFO as PVK") << "pvk" << "fifo" << "Cannot read the PVK file @: it is a FIFO";
    QTest::newRow("FIFO as SPC") << "spc" << "fifo" << "Cannot read the SPC file @: it is a FIFO";
    QTest::newRow("device as SPC") << "spc" << "device" << "Cannot read the SPC file @: it is a device";
    QTest::newRow("folder as PVK") << "pvk" << "folder" << "Cannot read the PVK file @: it is a folder";
}

// Read only regular files: a FIFO would keep the tool waiting for a writer,
// a device would never end.
void TestPvk2Pfx::nonRegularInputIsRefused()
{
    QFETCH(QString, which);
    QFETCH(QString, kind);
    QFETCH(QString, message);

    const QString dir = newFolder();
    QString input = dir + "/input";
    if (kind == QLatin1String("fifo"))
        QCOMPARE(mkfifo(QFile::encodeName(input).constData(), 0600), 0);
    else if (kind == QLatin1String("device"))
        input = QStringLiteral("/dev/null");
    else
        QVERIFY(QDir().mkpath(input));

    const QString pfx = dir + "/out.pfx";
    QStringList args{"-pvk", which == QLatin1String("pvk") ? input : m_plainPvk,
                     "-spc", which == QLatin1String("spc") ? input : m_spcDer, "-pfx", pfx};
    const RunResult run = runProgram(sdkToolPath(QStringLiteral("pvk2pfx.exe")), args, {}, 20000);
    QVERIFY2(!run.timedOut, "pvk2pfx.exe waited on a file that is not a regular file");
    QCOMPARE(run.exitCode, 1);
    message.replace(QLatin1Char('@'), input);
    QVERIFY2(run.output.contains(message), qPrintable(run.output));
    QVERIFY(!QFileInfo::exists(pfx));
}

void TestPvk2Pfx::oversizedInputIsRefusedUnread_data()
{
    QTest::addColumn<QString>("which");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<QString>("message");
    QTest::newRow("PVK just past 1 MiB") << "pvk" << qint64(1024 * 1024 + 1)
                                         << "Cannot read the PVK file @: it is larger than 1 MiB.";
    QTest::newRow("PVK of 1 GiB") << "pvk" << (qint64(1) << 30) << "Cannot read the PVK file @: it is larger than 1 MiB.";
    QTest::newRow("SPC just past 4 MiB") << "spc" << qint64(4 * 1024 * 1024 + 1)
                                         << "Cannot read the SPC file @: it is larger than 4 MiB.";
    QTest::newRow("SPC of 1 GiB") << "spc" << (qint64(1) << 30) << "Cannot read the SPC file @: it is larger than 4 MiB.";
}

// A PVK key or an SPC file is a few kilobytes: a larger file is refused by
// its size, before any of it is read (a sparse file of 1 GiB here, which
// would take the tool seconds and a gigabyte of memory to read).
void TestPvk2Pfx::oversizedInputIsRefusedUnread()
{
    QFETCH(QString, which);
    QFETCH(qint64, size);
    QFETCH(QString, message);
    const QString dir = newFolder();
    const QString input = dir + "/large input";
    QFile large(input);
    QVERIFY(large.open(QIODevice::WriteOnly) && large.resize(size));
    large.close();

    const QString pfx = dir + "/out.pfx";
    const QStringList args{"-pvk", which == QLatin1String("pvk") ? input : m_plainPvk,
                           "-spc", which == QLatin1String("spc") ? input : m_spcDer, "-pfx", pfx};
    QElapsedTimer timer;
    timer.start();
    const RunResult run = runProgram(sdkToolPath(QStringLiteral("pvk2pfx.exe")), args, {}, 20000);
    QVERIFY2(timer.elapsed() < 5000, qPrintable(QStringLiteral("the refusal took %1 ms").arg(timer.elapsed())));
    QCOMPARE(run.exitCode, 1);
    message.replace(QLatin1Char('@'), input);
    QVERIFY2(run.output.contains(message), qPrintable(run.output));
    QVERIFY(!QFileInfo::exists(pfx));
}

void TestPvk2Pfx::failureWritesNothing_data()
{
    QTest::addColumn<QString>("pvk");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("spc");
    QTest::addColumn<QString>("message");

    QTest::newRow("wrong PVK password") << "locked" << "not it" << "der" << "PVK password is not correct";
    QTest::newRow("key and certificate do not match") << "locked" << "@" << "other"
                                                      << "does not belong to any certificate";
    QTest::newRow("missing PVK") << "missing" << "@" << "der" << "Cannot read the PVK file";
    QTest::newRow("not a PVK") << "garbage" << "@" << "der" << "is not a PVK file";
    QTest::newRow("not an SPC") << "plain" << "@" << "garbage" << "holds no certificates";
    QTest::newRow("missing SPC") << "plain" << "@" << "missing" << "Cannot read the SPC file";
}

void TestPvk2Pfx::failureWritesNothing()
{
    QFETCH(QString, pvk);
    QFETCH(QString, password);
    QFETCH(QString, spc);
    QFETCH(QString, message);

    const QString dir = newFolder();
    const QString garbage = dir + "/garbage.bin";
    QVERIFY(writeBytes(garbage, QByteArray(300, 'x')));
    const auto pick = [&](const QString &which) {
        if (which == QLatin1String("locked"))
            return m_lockedPvk;
        if (which == QLatin1String("plain"))
            return m_plainPvk;
        if (which == QLatin1String("der"))
            return m_spcDer;
        if (which == QLatin1String("other"))
            return m_otherSpc;
        if (which == QLatin1String("garbage"))
            return garbage;
        return dir + "/does-not-exist";
    };
    const QStringList args{"-pvk", pick(pvk), "-pi", password == QLatin1String("@") ? m_pvkPassword : password,
                           "-spc", pick(spc)};

    // A fresh name stays absent...
    const QString fresh = dir + "/new.pfx";
    RunResult run = pvk2pfx(args + QStringList{"-pfx", fresh});
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.output.contains(message), qPrintable(run.output));
    QVERIFY(!QFileInfo::exists(fresh));

    // ...and an existing file survives even with -f.
    const QString existing = dir + "/old.pfx";
    QVERIFY(writeBytes(existing, "keep me"));
    run = pvk2pfx(args + QStringList{"-pfx", existing, "-f"});
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.output.contains(message), qPrintable(run.output));
    QCOMPARE(fileBytes(existing), QByteArray("keep me"));
    QCOMPARE(entries(dir), (QStringList{"garbage.bin", "old.pfx"}));
}

void TestPvk2Pfx::usageError_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("message");
    QTest::newRow("no -pfx") << QStringList{"-pvk", "@pvk", "-pi", "x", "-spc", "@spc"}
                             << QStringLiteral("(-pfx) is missing");
    QTest::newRow("unknown switch") << QStringList{"-pvk", "@pvk", "-spc", "@spc", "-pfx", "@out", "-q"}
                                    << QStringLiteral("Unknown option: -q");
    QTest::newRow("value missing") << QStringList{"-pvk", "@pvk", "-pi", "-spc", "@spc", "-pfx", "@out"}
                                   << QStringLiteral("Missing value for option -pi");
}

void TestPvk2Pfx::usageError()
{
    QFETCH(QStringList, args);
    QFETCH(QString, message);
    const QString out = newFolder() + "/out.pfx";
    args.replaceInStrings(QStringLiteral("@pvk"), m_plainPvk);
    args.replaceInStrings(QStringLiteral("@spc"), m_spcDer);
    args.replaceInStrings(QStringLiteral("@out"), out);
    const RunResult run = pvk2pfx(args);
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.output.contains(message), qPrintable(run.output));
    QVERIFY(run.output.contains(QLatin1String("Usage: pvk2pfx.exe")));
    QVERIFY(!QFileInfo::exists(out));
}

QTEST_GUILESS_MAIN(TestPvk2Pfx)
#include "tst_pvk2pfx.moc"
