// The installed program: `cmake --install` into a temporary DESTDIR, then
// the layout, the menu entry and AppStream file (with their validators when
// the machine has them), the set-up script, and the installed program and
// tools at work.

#include "support/OtherUser.h"
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
    void demoMakerMakesOneOnlyInAStoreThatNeverHadOne();
    void addCertificateInstallsItForTheAdminGroups();
    void addCertificateRefusesWhatCannotSign();
    void addCertificateFollowsNoLinkOfAnotherUser();
    void addCertificateRefusesAHugeFileUnread();
    void setupNeverBringsBackTheRemovedDemo();
    void installedProgramStarts();
    void buildServerCommandIsInstalled();
    void everyReleaseHasItsVersionEverywhere();

private:
    QString programFolder() const { return m_root.path() + QStringLiteral(QUILLMARK_INSTALL_FOLDER); }
    QString desktopFolder() const { return m_root.path() + QStringLiteral(QUILLMARK_DESKTOP_PREFIX); }
    QString installed(const QString &relative) const { return programFolder() + "/" + relative; }
    QString certificatePath() const
    {
        return installed(QStringLiteral("sdk-bin/certstore/quillmark-demo-code-signing.pfx"));
    }
    void requireSetUp();
    testdata::RunResult setup(const QStringList &arguments) const
    {
        return testdata::runProgram(installed(QStringLiteral("libexec/quillmark-setup")), arguments);
    }
    QString store() const { return installed(QStringLiteral("sdk-bin/certstore")); }

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

QString demoMarker(const QString &store)
{
    return store + QStringLiteral("/.quillmark-demo-certificate-made");
}

// getfacl's entries of `path`, without its comment lines.
QStringList aclEntries(const QString &path)
{
    const QString getfacl = QStandardPaths::findExecutable(QStringLiteral("getfacl"));
    if (getfacl.isEmpty())
        return {};
    const auto run = testdata::runProgram(getfacl, {QStringLiteral("-p"), path});
    QStringList entries;
    for (const QString &line : run.output.split('\n', Qt::SkipEmptyParts)) {
        if (!line.startsWith('#'))
            entries << line;
    }
    return entries;
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

// The maker on its own (as the build runs it): one demo certificate per
// store, never beside a certificate of the store's own, never again once
// it was removed; one made before the marker existed is remembered.
void TestInstall::demoMakerMakesOneOnlyInAStoreThatNeverHadOne()
{
    const QString maker = installed(QStringLiteral("libexec/quillmark-make-demo-cert"));
    const QString fresh = m_work.filePath(QStringLiteral("fresh-store"));
    const QString demo = fresh + QStringLiteral("/quillmark-demo-code-signing.pfx");
    auto run = testdata::runProgram(maker, {demo});
    QVERIFY2(run.ok() && QFileInfo::exists(demo) && QFileInfo::exists(demoMarker(fresh)), qPrintable(run.output));

    QVERIFY(QFile::remove(demo));
    run = testdata::runProgram(maker, {demo});
    QVERIFY2(run.ok() && run.output.contains("has been removed since"), qPrintable(run.output));
    QVERIFY2(!QFileInfo::exists(demo), "the removed demo certificate came back");

    const QString shared = m_work.filePath(QStringLiteral("store-with-real"));
    QVERIFY(QDir().mkpath(shared));
    QVERIFY(testdata::writePkcs12(shared + "/Real.P12", testdata::makeCertificate()));
    run = testdata::runProgram(maker, {shared + "/quillmark-demo-code-signing.pfx"});
    QVERIFY2(run.ok() && run.output.contains("holds certificates of its own (Real.P12)"), qPrintable(run.output));
    QVERIFY(!QFileInfo::exists(shared + "/quillmark-demo-code-signing.pfx"));

    // An older installation's demo certificate, made before the marker.
    const QString older = m_work.filePath(QStringLiteral("older-store"));
    QVERIFY(QDir().mkpath(older));
    QVERIFY(testdata::writePkcs12(older + "/quillmark-demo-code-signing.pfx", testdata::makeCertificate()));
    run = testdata::runProgram(maker, {older + "/quillmark-demo-code-signing.pfx"});
    QVERIFY2(run.ok() && QFileInfo::exists(demoMarker(older)), qPrintable(run.output));
}

void TestInstall::addCertificateInstallsItForTheAdminGroups()
{
    requireSetUp();
    if (QTest::currentTestFailed())
        return;
    testdata::CertOptions options;
    options.commonName = QStringLiteral("Real Release Signer");
    options.notAfter = QDateTime::currentDateTimeUtc().addDays(100);
    const auto real = testdata::makeCertificate(options);
    QVERIFY(!real.isNull());
    const QString source = m_work.filePath(QStringLiteral("real-release"));
    QVERIFY(testdata::writePkcs12(source, real));
    // The source is the administrator's own business: its mode is not copied.
    QVERIFY(QFile::setPermissions(source, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther));

    const auto run = setup({QStringLiteral("--add-certificate"), source});
    QVERIFY2(run.ok(), qPrintable(run.output));
    const QString added = store() + QStringLiteral("/real-release.pfx");
    QVERIFY2(run.output.contains("added " + added) && run.output.contains("CN=Real Release Signer"),
             qPrintable(run.output));
    QCOMPARE(testdata::fileBytes(added), testdata::fileBytes(source));
    struct stat st {};
    QCOMPARE(::lstat(QFile::encodeName(added).constData(), &st), 0);
    QVERIFY(S_ISREG(st.st_mode));
    QCOMPARE(st.st_uid, uid_t(0));
    QCOMPARE(st.st_gid, gid_t(0));
    QCOMPARE(st.st_mode & 07777, mode_t(0640));
    QVERIFY2(QDir(store()).entryList({QStringLiteral(".add-certificate-*")}, QDir::Hidden | QDir::Files).isEmpty(),
             "the temporary copy was left in the store");

    // Exactly the certificate entries: read for each admin group, nothing more.
    const QStringList groups = adminGroupsOnThisMachine();
    QStringList expected{QStringLiteral("user::rw-")};
    if (!groups.isEmpty())
        expected << QStringLiteral("group::r--");
    for (const QString &group : groups)
        expected << "group:" + group + ":r--";
    expected << (groups.isEmpty() ? QStringLiteral("group::r--") : QStringLiteral("mask::r--"))
             << QStringLiteral("other::---");
    const QStringList entries = aclEntries(added);
    if (entries.isEmpty())
        QSKIP("getfacl is missing: the group entries are not checked");
    QCOMPARE(entries, expected);

    // The real certificate signs with /a, although the demo one lasts longer.
    const QString exe = m_work.filePath(QStringLiteral("release.exe"));
    QVERIFY(testdata::writePeFile(exe, 4));
    const auto sign = testdata::runProgram(installed(QStringLiteral("sdk-bin/signtool.exe")),
                                           {"sign", "/a", "/v", exe}, toolEnvironment());
    QVERIFY2(sign.ok() && sign.output.contains("Issued to: CN=Real Release Signer"), qPrintable(sign.output));
    QVERIFY2(!sign.output.contains("demo certificate"), qPrintable(sign.output));

    // An admin group's member reads it; anyone else does not.
    const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
    if (setpriv.isEmpty() || groups.isEmpty())
        return;
    const auto canRead = [&](const QStringList &groupArgs) {
        return testdata::runProgram(setpriv, QStringList{QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534")}
                                                 + groupArgs
                                                 + QStringList{QStringLiteral("test"), QStringLiteral("-r"), added})
            .ok();
    };
    const QString gid = QString::number(getgrnam(groups.first().toLocal8Bit().constData())->gr_gid);
    QVERIFY2(canRead({"--groups=" + gid}), qPrintable(groups.first() + " cannot read the added certificate"));
    QVERIFY2(!canRead({QStringLiteral("--clear-groups")}), "anyone can read the added certificate");
    QVERIFY(QFile::remove(added));
}

void TestInstall::addCertificateRefusesWhatCannotSign()
{
    requireSetUp();
    if (QTest::currentTestFailed())
        return;
    const auto valid = testdata::makeCertificate();
    testdata::CertOptions expiredOptions;
    expiredOptions.notBefore = QDateTime::currentDateTimeUtc().addDays(-30);
    expiredOptions.notAfter = QDateTime::currentDateTimeUtc().addDays(-1);
    testdata::CertOptions serverOptions;
    serverOptions.usage = testdata::Usage::ServerAuthOnly;
    struct Case { QString name; QByteArray expected; };
    const QList<Case> cases{
        {QStringLiteral("locked.pfx"), "has a password"},
        {QStringLiteral("expired.pfx"), "is not valid now"},
        {QStringLiteral("server.pfx"), "is not meant for code signing"},
        {QStringLiteral("notes.pfx"), "is not a PFX (PKCS#12) file"},
        {QStringLiteral("missing.pfx"), "cannot be read"},
    };
    QVERIFY(testdata::writePkcs12(m_work.filePath(cases[0].name), valid, QStringLiteral("secret")));
    QVERIFY(testdata::writePkcs12(m_work.filePath(cases[1].name), testdata::makeCertificate(expiredOptions)));
    QVERIFY(testdata::writePkcs12(m_work.filePath(cases[2].name), testdata::makeCertificate(serverOptions)));
    QVERIFY(testdata::writeBytes(m_work.filePath(cases[3].name), "not a certificate"));
    const QStringList before = QDir(store()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    for (const Case &refused : cases) {
        const auto run = setup({QStringLiteral("--add-certificate"), m_work.filePath(refused.name)});
        QVERIFY2(!run.ok() && run.output.contains(QString::fromLatin1(refused.expected)),
                 qPrintable(refused.name + ": " + run.output));
    }
    QCOMPARE(QDir(store()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), before);

    // A name already in the store is never replaced.
    const QString twice = m_work.filePath(QStringLiteral("twice.pfx"));
    QVERIFY(testdata::writePkcs12(twice, valid));
    QVERIFY(setup({QStringLiteral("--add-certificate"), twice}).ok());
    const QByteArray first = testdata::fileBytes(store() + "/twice.pfx");
    QVERIFY(testdata::writePkcs12(twice, testdata::makeCertificate()));
    const auto again = setup({QStringLiteral("--add-certificate"), twice});
    QVERIFY2(!again.ok() && again.output.contains("already there"), qPrintable(again.output));
    QCOMPARE(testdata::fileBytes(store() + "/twice.pfx"), first);
    QVERIFY(QFile::remove(store() + "/twice.pfx"));
}

void TestInstall::addCertificateFollowsNoLinkOfAnotherUser()
{
    requireSetUp();
    if (QTest::currentTestFailed())
        return;
    QM_SKIP_UNLESS_ROOT(nobody);
    // Root's own signing key, readable by root alone, and a folder of another
    // user holding that user's link to it: the set-up must not install the
    // key for the admin groups on the strength of the link.
    const QString secret = m_work.filePath(QStringLiteral("root-only.pfx"));
    QVERIFY(testdata::writePkcs12(secret, testdata::makeCertificate()));
    QVERIFY(QFile::setPermissions(secret, QFile::ReadOwner | QFile::WriteOwner));
    const QString theirs = m_work.filePath(QStringLiteral("theirs"));
    QVERIFY(QDir().mkpath(theirs));
    QCOMPARE(::chown(QFile::encodeName(theirs).constData(), nobody->uid, nobody->gid), 0);
    const QString planted = theirs + QStringLiteral("/planted.pfx");
    QVERIFY(QFile::link(secret, planted));
    QCOMPARE(::lchown(QFile::encodeName(planted).constData(), nobody->uid, nobody->gid), 0);

    const QStringList before = QDir(store()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    const auto run = setup({QStringLiteral("--add-certificate"), planted});
    QVERIFY2(!run.ok() && run.output.contains("belongs to another user (uid " + QString::number(nobody->uid)),
             qPrintable(run.output));
    QCOMPARE(QDir(store()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), before);

    // Root's own link is the administrator's choice, and is followed.
    const QString own = m_work.filePath(QStringLiteral("own-link.pfx"));
    QVERIFY(QFile::link(secret, own));
    const auto followed = setup({QStringLiteral("--add-certificate"), own});
    QVERIFY2(followed.ok(), qPrintable(followed.output));
    QCOMPARE(testdata::fileBytes(store() + "/own-link.pfx"), testdata::fileBytes(secret));
    QVERIFY(QFile::remove(store() + "/own-link.pfx"));
}

void TestInstall::addCertificateRefusesAHugeFileUnread()
{
    requireSetUp();
    if (QTest::currentTestFailed())
        return;
    // A sparse 1 GB file costs no disk; read whole, it would take a gigabyte
    // of memory or more. Under a 512 MB address-space limit only a refusal
    // by size, before reading, answers as it should.
    const QString huge = m_work.filePath(QStringLiteral("huge.pfx"));
    QFile file(huge);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.resize(qint64(1) << 30));
    file.close();
    QElapsedTimer timer;
    timer.start();
    const auto run = testdata::runProgram(
        QStringLiteral("/bin/sh"),
        {QStringLiteral("-c"), QStringLiteral("ulimit -v 524288 && exec \"$0\" --add-certificate \"$1\""),
         installed(QStringLiteral("libexec/quillmark-setup")), huge});
    const qint64 elapsedMs = timer.elapsed();
    QVERIFY(QFile::remove(huge));
    QVERIFY2(!run.ok() && run.output.contains(huge + " is too large to be a PFX file (more than 16 MB)"),
             qPrintable(run.output));
    QVERIFY2(elapsedMs < 10000, qPrintable(QStringLiteral("the refusal took %1 ms").arg(elapsedMs)));
}

// Runs last among the set-up's tests: it removes the demo certificate.
void TestInstall::setupNeverBringsBackTheRemovedDemo()
{
    requireSetUp();
    if (QTest::currentTestFailed())
        return;
    QVERIFY2(QFileInfo::exists(demoMarker(store())), "the set-up did not remember making the demo certificate");
    QVERIFY(QFile::remove(certificatePath()));
    for (const QStringList &arguments : {QStringList{}, QStringList{QStringLiteral("--upgrade")}}) {
        const auto run = setup(arguments);
        QVERIFY2(run.ok(), qPrintable(run.output));
        QVERIFY2(!QFileInfo::exists(certificatePath()), qPrintable("the demo certificate came back: " + run.output));
    }

    // An upgrade makes none even where none was ever made (an older package
    // did not remember a removal).
    QVERIFY(QFile::remove(demoMarker(store())));
    auto run = setup({QStringLiteral("--upgrade")});
    QVERIFY2(run.ok() && !QFileInfo::exists(certificatePath()), qPrintable(run.output));
    // A first installation does, into an empty store.
    run = setup({});
    QVERIFY2(run.ok() && QFileInfo::exists(certificatePath()), qPrintable(run.output));
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

void TestInstall::buildServerCommandIsInstalled()
{
    // The command runs from the installed folder without a display.
    QProcess program;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(QString::fromLatin1(name));
    program.setProcessEnvironment(env);
    program.start(installed(QStringLiteral("quillmark")), {QStringLiteral("--help")});
    QVERIFY(program.waitForFinished(20000));
    QCOMPARE(program.exitCode(), 0);
    QVERIFY(program.readAllStandardOutput().contains("--sign-project"));

    // The window without a display names the program as it was started.
    program.start(installed(QStringLiteral("quillmark")), {});
    QVERIFY(program.waitForFinished(20000));
    QCOMPARE(program.exitCode(), 2);
    const QString hint = QString::fromLocal8Bit(program.readAllStandardError());
    QVERIFY2(hint.contains("\n  xvfb-run -a " + installed(QStringLiteral("quillmark")) + "\n"), qPrintable(hint));

    if (!QUILLMARK_DESKTOP_FILES)
        QSKIP("configured with QUILLMARK_INSTALL_DESKTOP_FILES=OFF: no launcher on the path, "
              "so no manual page or completion for it");
    QProcess gunzip;
    gunzip.start(QStringLiteral("gzip"),
                 {QStringLiteral("-dc"), desktopFolder() + "/share/man/man1/quillmark.1.gz"});
    QVERIFY(gunzip.waitForFinished(20000));
    const QString manual = QString::fromUtf8(gunzip.readAllStandardOutput());
    QVERIFY2(manual.contains("sign\\-project") && manual.contains("EXIT STATUS"),
             "no manual page of the command");
    const QString completion =
        readText(desktopFolder() + "/share/bash-completion/completions/quillmark");
    QVERIFY2(completion.contains("complete -F _quillmark quillmark"), "no bash completion");
}

void TestInstall::everyReleaseHasItsVersionEverywhere()
{
    // The changelog: one entry a release, newest first, versions rising.
    const QString changelog = readText(QStringLiteral(QUILLMARK_SOURCE_DIR "/packaging/debian/changelog"));
    const QRegularExpression heading(QStringLiteral("^quillmark \\(([^)]+)\\) "), QRegularExpression::MultilineOption);
    QStringList versions;
    for (auto it = heading.globalMatch(changelog); it.hasNext();)
        versions << it.next().captured(1);
    QVERIFY2(versions.size() >= 2, qPrintable("one entry for every release, the changelog has " + versions.join(", ")));
    const QString dpkg = QStandardPaths::findExecutable(QStringLiteral("dpkg"));
    for (qsizetype i = 1; !dpkg.isEmpty() && i < versions.size(); ++i) {
        QVERIFY2(testdata::runProgram(dpkg, {"--compare-versions", versions[i - 1], "gt", versions[i]}).ok(),
                 qPrintable("changelog entry " + versions[i - 1] + " is not newer than the one below, " + versions[i]));
    }
    const QString version = versions.first();
    QCOMPARE(version, QStringLiteral(QUILLMARK_PROJECT_VERSION));

    // What the user sees: the program's --version, the manual pages, the
    // AppStream file's newest release.
    const auto shown = testdata::runProgram(installed(QStringLiteral("quillmark")), {QStringLiteral("--version")});
    QVERIFY2(shown.ok(), qPrintable(shown.output));
    QCOMPARE(shown.output.trimmed(), "quillmark " + version);
    if (!QUILLMARK_DESKTOP_FILES)
        QSKIP("configured with QUILLMARK_INSTALL_DESKTOP_FILES=OFF: no manual pages or AppStream file");
    for (const char *page : {"quillmark.1.gz", "signtool.exe.1.gz"}) {
        const auto unpacked = testdata::runProgram(
            QStringLiteral("gzip"), {QStringLiteral("-dc"), desktopFolder() + "/share/man/man1/" + page});
        QVERIFY2(unpacked.output.section('\n', 0, 0).contains("\"Quillmark " + version + "\""),
                 qPrintable(QString::fromLatin1(page) + ": " + unpacked.output.section('\n', 0, 0)));
    }
    const QString metainfo = readText(desktopFolder() + "/share/metainfo/org.quillmark.Quillmark.metainfo.xml");
    const QRegularExpression release(QStringLiteral("<release version=\"([^\"]+)\""));
    QCOMPARE(release.match(metainfo).captured(1), version);
}

QTEST_GUILESS_MAIN(TestInstall)
#include "tst_install.moc"
