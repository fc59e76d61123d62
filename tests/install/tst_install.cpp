// The installed program: `cmake --install` into a temporary DESTDIR, then
// the layout, the menu entry and AppStream file (with their validators when
// the machine has them), the set-up script, and the installed program and
// tools at work.

#include "support/TestData.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

class TestInstall : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void programFolderHoldsProgramToolsAndEmptyStore();
    void desktopFilesAreInstalledAndAgree();
    void desktopEntryPassesItsValidator();
    void appStreamFilePassesItsValidator();
    void setupMakesCertificateSettingsAndAccess();
    void adminGroupsCanReplaceWhatAnotherAdminSaved();
    void setupRunAgainKeepsWhatExists();
    void setupTakesBackWriteAccessToWhatRootRuns();
    void installedSigntoolSignsWithTheMachinesCertificate();
    void installedSigntoolSignsWithAPfxFile();
    void installedPvk2pfxConverts();
    void installedProgramStarts();

private:
    QString programFolder() const { return m_root.path() + QStringLiteral(QUILLMARK_INSTALL_FOLDER); }
    QString desktopFolder() const { return m_root.path() + QStringLiteral(QUILLMARK_DESKTOP_PREFIX); }
    QString installed(const QString &relative) const { return programFolder() + "/" + relative; }
    QString certificatePath() const
    {
        return installed(QStringLiteral("sdk-bin/certstore/quillmark-demo-code-signing.pfx"));
    }
    void requireSetUp();

    QTemporaryDir m_root;
    QTemporaryDir m_work;
    bool m_setUpRan = false;
};

namespace {

// The tools read the store beside themselves unless this says otherwise.
QProcessEnvironment toolEnvironment()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("QUILLMARK_CERT_STORE"));
    return env;
}

QString readText(const QString &path)
{
    return QString::fromUtf8(testdata::fileBytes(path));
}

// "Key=value" lines of a desktop entry's main group.
QString desktopValue(const QString &entry, const QString &key)
{
    const QRegularExpression line(QStringLiteral("^%1=(.*)$").arg(QRegularExpression::escape(key)),
                                  QRegularExpression::MultilineOption);
    return line.match(entry).captured(1);
}

bool isRoot()
{
    return geteuid() == 0;
}

QStringList adminGroupsOnThisMachine()
{
    QStringList groups;
    for (const char *name : {"sudo", "wheel", "admin"}) {
        if (getgrnam(name))
            groups << QString::fromLatin1(name);
    }
    return groups;
}

} // namespace

void TestInstall::initTestCase()
{
    QVERIFY(m_root.isValid() && m_work.isValid());
    // Other users look into the installed folder too (as the package leaves
    // it): the temporary folder opens only to its owner.
    QVERIFY(QFile::setPermissions(m_root.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                                     | QFile::ReadGroup | QFile::ExeGroup
                                                     | QFile::ReadOther | QFile::ExeOther));
    QProcess install;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DESTDIR"), m_root.path());
    install.setProcessEnvironment(env);
    install.setProcessChannelMode(QProcess::MergedChannels);
    install.start(QStringLiteral(QUILLMARK_CMAKE_COMMAND),
                  {QStringLiteral("--install"), QStringLiteral(QUILLMARK_BUILD_DIR)});
    QVERIFY2(install.waitForFinished(120000), "cmake --install did not finish in two minutes");
    const QString output = QString::fromUtf8(install.readAll());
    QVERIFY2(install.exitStatus() == QProcess::NormalExit && install.exitCode() == 0,
             qPrintable("cmake --install failed (are the program and tools built?):\n" + output));
}

void TestInstall::programFolderHoldsProgramToolsAndEmptyStore()
{
    for (const char *program : {"quillmark", "sdk-bin/signtool.exe", "sdk-bin/pvk2pfx.exe",
                                "libexec/quillmark-setup", "libexec/quillmark-make-demo-cert"}) {
        const QFileInfo info(installed(QString::fromLatin1(program)));
        QVERIFY2(info.isFile() && info.isExecutable(), program);
    }
    // The store is there, but empty: a key made on the build machine would be
    // every installation's key.
    const QDir store(installed(QStringLiteral("sdk-bin/certstore")));
    QVERIFY2(store.exists(), "no certificate store folder");
    QCOMPARE(store.entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden), QStringList());
    // Made on the machine by the set-up, never installed.
    QVERIFY(!QFileInfo::exists(installed(QStringLiteral("Quillmark.ini"))));
    QVERIFY(!QFileInfo::exists(installed(QStringLiteral("Projects"))));

    const QFileInfo help(installed(QStringLiteral("Quillmark.chm")));
    if (QUILLMARK_HELP_BUILT) {
        QVERIFY2(help.isFile() && help.size() > 1000, "the help file is missing or empty");
        QCOMPARE(testdata::fileBytes(help.filePath()).left(4), QByteArray("ITSF"));
    } else {
        QVERIFY2(!help.exists(), "a help file is installed though none was built");
        qInfo("Quillmark.chm was not built (no chmcmd/cmark-gfm); not checked");
    }
}

void TestInstall::desktopFilesAreInstalledAndAgree()
{
    if (!QUILLMARK_DESKTOP_FILES)
        QSKIP("configured with QUILLMARK_INSTALL_DESKTOP_FILES=OFF: no launcher, menu entry or icon");
    const QFileInfo launcher(desktopFolder() + "/bin/quillmark");
    QVERIFY2(launcher.isSymLink(), "the launcher is not a link to the program");
    QCOMPARE(launcher.symLinkTarget(), QStringLiteral(QUILLMARK_INSTALL_FOLDER "/quillmark"));

    const QString entry = readText(desktopFolder() + "/share/applications/quillmark.desktop");
    QVERIFY2(!entry.isEmpty(), "no desktop entry");
    // The menu runs what the launcher is called and shows the icon installed.
    QCOMPARE(desktopValue(entry, "Exec"), QStringLiteral("quillmark"));
    QCOMPARE(desktopValue(entry, "Icon"), QStringLiteral("quillmark"));
    const QStringList categories = desktopValue(entry, "Categories").split(';', Qt::SkipEmptyParts);
    QVERIFY2(categories.contains("Development") || categories.contains("Utility"),
             qPrintable(categories.join(';')));

    const QByteArray icon =
        testdata::fileBytes(desktopFolder() + "/share/icons/hicolor/scalable/apps/quillmark.svg");
    QVERIFY2(icon.contains("<svg"), "the scalable icon is missing or not SVG");
    for (const int size : {16, 48, 256}) {
        const QImage png(QStringLiteral("%1/share/icons/hicolor/%2x%2/apps/quillmark.png")
                             .arg(desktopFolder())
                             .arg(size));
        QVERIFY2(png.size() == QSize(size, size), qPrintable(QString::number(size)));
    }

    const QString metainfo =
        readText(desktopFolder() + "/share/metainfo/org.quillmark.Quillmark.metainfo.xml");
    QVERIFY2(metainfo.contains("<id>org.quillmark.Quillmark</id>"),
             "the AppStream file's name and its id differ");
    QVERIFY(metainfo.contains("<launchable type=\"desktop-id\">quillmark.desktop</launchable>"));
    QVERIFY2(metainfo.contains("<screenshot"), "the AppStream file shows no screenshot");
}

void TestInstall::desktopEntryPassesItsValidator()
{
    if (!QUILLMARK_DESKTOP_FILES)
        QSKIP("configured with QUILLMARK_INSTALL_DESKTOP_FILES=OFF: nothing to validate");
    const QString validator = QStandardPaths::findExecutable(QStringLiteral("desktop-file-validate"));
    if (validator.isEmpty())
        QSKIP("desktop-file-validate is not installed (package desktop-file-utils); entry not validated");
    const auto run = testdata::runProgram(
        validator, {desktopFolder() + "/share/applications/quillmark.desktop"});
    QVERIFY2(run.ok() && run.output.trimmed().isEmpty(), qPrintable(run.output));
}

void TestInstall::appStreamFilePassesItsValidator()
{
    if (!QUILLMARK_DESKTOP_FILES)
        QSKIP("configured with QUILLMARK_INSTALL_DESKTOP_FILES=OFF: nothing to validate");
    const QString validator = QStandardPaths::findExecutable(QStringLiteral("appstreamcli"));
    if (validator.isEmpty())
        QSKIP("appstreamcli is not installed (package appstream); AppStream file not validated");
    const auto run = testdata::runProgram(
        validator, {QStringLiteral("validate"), QStringLiteral("--no-net"),
                    desktopFolder() + "/share/metainfo/org.quillmark.Quillmark.metainfo.xml"});
    QVERIFY2(run.ok(), qPrintable(run.output));
    // Errors and warnings fail the run above only in part; none is wanted.
    QVERIFY2(!run.output.contains(QRegularExpression(QStringLiteral("^[EW]: "),
                                                     QRegularExpression::MultilineOption)),
             qPrintable(run.output));
}

void TestInstall::requireSetUp()
{
    if (!isRoot())
        QSKIP("the set-up script gives groups access and runs as root only");
    if (m_setUpRan)
        return;
    const auto run = testdata::runProgram(installed(QStringLiteral("libexec/quillmark-setup")), {});
    QVERIFY2(run.ok(), qPrintable(run.output));
    m_setUpRan = true;
}

void TestInstall::setupMakesCertificateSettingsAndAccess()
{
    requireSetUp();
    if (QTest::currentTestFailed())
        return;
    // The settings point the program at the tools installed beside it.
    QCOMPARE(readText(installed(QStringLiteral("Quillmark.ini"))),
             QStringLiteral("[Settings]\nSDKBinFolder=%1/sdk-bin/\n").arg(programFolder()));
    QVERIFY(QFileInfo(installed(QStringLiteral("Projects"))).isDir());

    struct stat st {};
    QCOMPARE(::stat(QFile::encodeName(certificatePath()).constData(), &st), 0);
    // The group bits show the ACL's mask; nobody else may read the key.
    QVERIFY2((st.st_mode & 07007) == 0, "the demo certificate's key is readable by everyone");
    QCOMPARE(st.st_mode & 0700, mode_t(0600));
    QVERIFY(testdata::readPkcs12(certificatePath(), QString()).has_value());

    const QStringList groups = adminGroupsOnThisMachine();
    const QString getfacl = QStandardPaths::findExecutable(QStringLiteral("getfacl"));
    if (groups.isEmpty() || getfacl.isEmpty())
        QSKIP("no admin group or no getfacl here: the groups' access is not checked");
    struct Expected { QString path; QString entry; };
    for (const QString &group : groups) {
        // What root runs, and the folders above it, give the groups nothing.
        for (const QString &rootOnly : {programFolder(), installed("quillmark"), installed("sdk-bin"),
                                        installed("sdk-bin/signtool.exe"), installed("sdk-bin/pvk2pfx.exe"),
                                        installed("libexec")}) {
            const auto acl = testdata::runProgram(getfacl, {QStringLiteral("-p"), rootOnly});
            QVERIFY2(acl.ok() && !acl.output.contains(group), qPrintable(rootOnly + ":\n" + acl.output));
        }
        const Expected expectations[] = {
            {installed("Projects"), "group:" + group + ":rwx"},
            {installed("Projects"), "default:group:" + group + ":rwx"},
            {installed("Quillmark.ini"), "group:" + group + ":rw-"},
            {certificatePath(), "group:" + group + ":r--"},
        };
        for (const Expected &expected : expectations) {
            const auto acl = testdata::runProgram(getfacl, {QStringLiteral("-p"), expected.path});
            QVERIFY2(acl.ok() && acl.output.split('\n').contains(expected.entry),
                     qPrintable(expected.path + " lacks " + expected.entry + ":\n" + acl.output));
        }
    }
}

void TestInstall::adminGroupsCanReplaceWhatAnotherAdminSaved()
{
    requireSetUp();
    if (QTest::currentTestFailed())
        return;
    const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
    if (setpriv.isEmpty())
        QSKIP("setpriv (util-linux) is missing: cannot act as another user");

    // Save the settings and a project the way the program does (a new file
    // renamed over the old one), as root here, the way another admin would.
    const QString settings = installed(QStringLiteral("Quillmark.ini"));
    const QString project = installed(QStringLiteral("Projects/Saved by root.qmk"));
    {
        QSaveFile file(project);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("[Settings]\nSDKBinFolder=" + QFile::encodeName(programFolder()) + "/sdk-bin/\n");
        QVERIFY(file.commit());
    }

    // A user with no rights of their own but one admin group must be able to
    // replace a project (the rename needs the folder) and rewrite the
    // settings in place; without the group, neither. The program folder
    // itself takes no new file from them: root runs what lies there.
    const auto canWrite = [&](const QString &path, const QString &folder, const QStringList &groups) {
        const QStringList groupArgs = groups.isEmpty()
            ? QStringList{QStringLiteral("--clear-groups")}
            : QStringList{QStringLiteral("--groups=") + groups.join(',')};
        return testdata::runProgram(setpriv,
                                    QStringList{QStringLiteral("--reuid=65534"),
                                                QStringLiteral("--regid=65534")}
                                        + groupArgs
                                        + QStringList{QStringLiteral("sh"), QStringLiteral("-c"),
                                                      QStringLiteral("test -w \"$1\" && test -w \"$2\""),
                                                      QStringLiteral("sh"), path, folder})
            .ok();
    };
    const QString projects = QFileInfo(project).absolutePath();
    for (const QString &group : adminGroupsOnThisMachine()) {
        const QString gid = QString::number(getgrnam(group.toLocal8Bit().constData())->gr_gid);
        QVERIFY2(canWrite(settings, settings, {gid}), qPrintable(group + " cannot write the settings"));
        QVERIFY2(canWrite(project, projects, {gid}), qPrintable(group + " cannot replace a project"));
        QVERIFY2(!canWrite(settings, programFolder(), {gid}), qPrintable(group + " may write the program folder"));
        QVERIFY2(!canWrite(installed("sdk-bin/signtool.exe"), installed("sdk-bin"), {gid}),
                 qPrintable(group + " may change the tools"));
    }
    QVERIFY2(!canWrite(settings, settings, {}), "a user outside the admin groups can write the settings");
    QVERIFY2(!canWrite(project, projects, {}), "a user outside the admin groups can replace a project");
    QVERIFY(QFile::remove(project));
}

void TestInstall::setupRunAgainKeepsWhatExists()
{
    requireSetUp();
    if (QTest::currentTestFailed())
        return;
    const QByteArray certificate = testdata::fileBytes(certificatePath());
    const QString settings = installed(QStringLiteral("Quillmark.ini"));
    const QByteArray changed("[Settings]\nSDKBinFolder=/elsewhere/\nKeepWndTopMost=1\n");
    QVERIFY(testdata::writeBytes(settings, changed));

    const auto again = testdata::runProgram(installed(QStringLiteral("libexec/quillmark-setup")), {});
    QVERIFY2(again.ok(), qPrintable(again.output));
    QCOMPARE(testdata::fileBytes(certificatePath()), certificate);
    QCOMPARE(testdata::fileBytes(settings), changed);

    // A link planted in the settings file's place is refused, not followed.
    const QString victim = m_work.filePath(QStringLiteral("victim"));
    QVERIFY(testdata::writeBytes(victim, "untouched"));
    QVERIFY(QFile::remove(settings));
    QVERIFY(QFile::link(victim, settings));
    const auto refused = testdata::runProgram(installed(QStringLiteral("libexec/quillmark-setup")), {});
    QVERIFY2(!refused.ok() && refused.output.contains("symbolic link"), qPrintable(refused.output));
    QCOMPARE(testdata::fileBytes(victim), QByteArray("untouched"));
    QVERIFY(QFile::remove(settings));
    QVERIFY(testdata::writeBytes(settings, changed));
}

// An older set-up gave the groups write access to the program folder (with
// a default entry, inherited by sdk-bin/ and the tools): running it again
// takes that back, and keeps the data's access.
void TestInstall::setupTakesBackWriteAccessToWhatRootRuns()
{
    requireSetUp();
    if (QTest::currentTestFailed())
        return;
    const QString setfacl = QStandardPaths::findExecutable(QStringLiteral("setfacl"));
    const QString getfacl = QStandardPaths::findExecutable(QStringLiteral("getfacl"));
    if (setfacl.isEmpty() || getfacl.isEmpty() || adminGroupsOnThisMachine().isEmpty())
        QSKIP("no admin group or no setfacl here");
    const QString group = adminGroupsOnThisMachine().first();
    const QStringList rootOnly{programFolder(), installed("sdk-bin"), installed("sdk-bin/signtool.exe"),
                               installed("quillmark")};
    for (const QString &path : rootOnly) {
        const QString entries = QFileInfo(path).isDir() ? "g:" + group + ":rwx,d:g:" + group + ":rwx"
                                                        : "g:" + group + ":rwx";
        QVERIFY(testdata::runProgram(setfacl, {"-m", entries, path}).ok());
    }
    QVERIFY(::chmod(QFile::encodeName(installed("sdk-bin")).constData(), 0777) == 0);

    const auto again = testdata::runProgram(installed(QStringLiteral("libexec/quillmark-setup")), {});
    QVERIFY2(again.ok(), qPrintable(again.output));
    for (const QString &path : rootOnly) {
        const auto acl = testdata::runProgram(getfacl, {QStringLiteral("-p"), path});
        QVERIFY2(acl.ok() && !acl.output.contains(group), qPrintable(path + ":\n" + acl.output));
        struct stat st {};
        QCOMPARE(::stat(QFile::encodeName(path).constData(), &st), 0);
        QCOMPARE(st.st_mode & 022, mode_t(0));
    }
    for (const QString &data : {installed("Projects"), installed("Quillmark.ini"), certificatePath()}) {
        const auto acl = testdata::runProgram(getfacl, {QStringLiteral("-p"), data});
        QVERIFY2(acl.ok() && acl.output.contains("group:" + group + ":"), qPrintable(data + ":\n" + acl.output));
    }
}

void TestInstall::installedSigntoolSignsWithTheMachinesCertificate()
{
    requireSetUp();
    if (QTest::currentTestFailed())
        return;
    const QString exe = m_work.filePath(QStringLiteral("store.exe"));
    QVERIFY(testdata::writePeFile(exe, 1));
    const auto run = testdata::runProgram(installed(QStringLiteral("sdk-bin/signtool.exe")),
                                          {"sign", "/a", "/v", exe}, toolEnvironment());
    QVERIFY2(run.ok(), qPrintable(run.output));
    QVERIFY2(run.output.contains("Successfully signed: " + exe), qPrintable(run.output));

    const auto demo = testdata::readPkcs12(certificatePath(), QString());
    QVERIFY(demo.has_value());
    const QString ca = m_work.filePath(QStringLiteral("demo.pem"));
    QVERIFY(testdata::writeCertificatePem(ca, *demo));
    const auto verify = testdata::verifySignature(exe, ca);
    QVERIFY2(verify.ok(), qPrintable(verify.output));
    QVERIFY2(verify.output.contains("Quillmark Demo Code Signing"), qPrintable(verify.output));
}

void TestInstall::installedSigntoolSignsWithAPfxFile()
{
    const QString signtool = installed(QStringLiteral("sdk-bin/signtool.exe"));
    const auto usage = testdata::runProgram(signtool, {}, toolEnvironment());
    QVERIFY2(usage.started && usage.exitCode == 1 && usage.output.contains("Usage: signtool.exe"),
             qPrintable(usage.output));

    const auto pair = testdata::makeCertificate();
    QVERIFY(!pair.isNull());
    const QString pfx = m_work.filePath(QStringLiteral("mine.pfx"));
    const QString ca = m_work.filePath(QStringLiteral("mine.pem"));
    const QString exe = m_work.filePath(QStringLiteral("pfx.exe"));
    QVERIFY(testdata::writePkcs12(pfx, pair, QStringLiteral("secret")));
    QVERIFY(testdata::writeCertificatePem(ca, pair));
    QVERIFY(testdata::writePeFile(exe, 2));
    const auto run = testdata::runProgram(signtool, {"sign", "/f", pfx, "/p", "secret", exe},
                                          toolEnvironment());
    QVERIFY2(run.ok(), qPrintable(run.output));
    const auto verify = testdata::verifySignature(exe, ca);
    QVERIFY2(verify.ok(), qPrintable(verify.output));
}

void TestInstall::installedPvk2pfxConverts()
{
    const auto pair = testdata::makeCertificate();
    QVERIFY(!pair.isNull());
    const QString pvk = m_work.filePath(QStringLiteral("key.pvk"));
    const QString spc = m_work.filePath(QStringLiteral("cert.spc"));
    const QString pfx = m_work.filePath(QStringLiteral("made.pfx"));
    QVERIFY(testdata::writePvk(pvk, pair, QStringLiteral("keypass")));
    QVERIFY(testdata::writeSpc(spc, pair));
    const auto run = testdata::runProgram(installed(QStringLiteral("sdk-bin/pvk2pfx.exe")),
                                          {"-pvk", pvk, "-pi", "keypass", "-spc", spc, "-pfx", pfx,
                                           "-po", "pfxpass"},
                                          toolEnvironment());
    QVERIFY2(run.ok(), qPrintable(run.output));
    const auto made = testdata::readPkcs12(pfx, QStringLiteral("pfxpass"));
    QVERIFY2(made.has_value(), "the PFX made by the installed pvk2pfx.exe cannot be read");
    QVERIFY(testdata::sameKey(*made, pair));
}

void TestInstall::installedProgramStarts()
{
    // It finds its libraries and Qt's platform plugin and reaches its event
    // loop: an administrator sees the main window, anyone else the refusal
    // box; either way it keeps running until closed, and a missing library
    // or plugin ends it at once.
    QProcess program;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    program.setProcessEnvironment(env);
    program.setProcessChannelMode(QProcess::MergedChannels);
    program.setWorkingDirectory(m_work.path());
    program.start(installed(QStringLiteral("quillmark")), {});
    QVERIFY2(program.waitForStarted(10000), qPrintable(program.errorString()));
    const bool ended = program.waitForFinished(3000);
    const QString output = QString::fromUtf8(program.readAll());
    if (!ended) {
        program.kill();
        program.waitForFinished(10000);
    }
    QVERIFY2(!ended, qPrintable("the installed program ended at once:\n" + output));
    QVERIFY2(!output.contains("Could not"), qPrintable(output));
}

QTEST_GUILESS_MAIN(TestInstall)
#include "tst_install.moc"
