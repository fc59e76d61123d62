// Start-up: who is let in, and what a refused user sees and leaves behind.

#include "base/AdminCheck.h"
#include "app/QuillmarkApplication.h"
#include "startup/Startup.h"
#include "mainwindow/u_frmMain.h"
#include "console/u_frmConsoleOutput.h"
#include "support/ScriptedDialogs.h"
#include "wizard/u_frmPvk2PfxWizard.h"

#include <QApplication>
#include <QDir>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QtTest>

class TestStartup : public QObject {
    Q_OBJECT
private slots:
    void adminRule_data();
    void adminRule();
    void refusedUserSeesOnlyTheBoxAndNothingIsWritten();
    void adminGetsTheMainWindowAndAllThreeWindows();
    void currentIdentityListsTheProcessGroups();
    void windowCaptionsStayAsTheyAre();
    void everyWindowShowsTheApplicationIcon();
    void noDisplayHintNamesTheProgramAsStarted_data();
    void noDisplayHintNamesTheProgramAsStarted();
};

namespace {

// Whether a display name was set explicitly. Qt appends such a name to every
// window's caption on X11 and Wayland ("Information — Quillmark"); an unset
// one just follows the application name.
bool displayNameSetExplicitly()
{
    const QString saved = QCoreApplication::applicationName();
    QCoreApplication::setApplicationName(QStringLiteral("name-probe"));
    const bool set = QGuiApplication::applicationDisplayName() != QStringLiteral("name-probe");
    QCoreApplication::setApplicationName(saved);
    return set;
}

// The program started for one user over a fresh, empty program folder, with
// scripted dialogs. Its windows go with it, or earlier by destroyWindows().
class StartedProgram {
public:
    explicit StartedProgram(const platform::UserIdentity &identity)
    {
        StartupOptions options;
        options.programFolder = m_folder.path() + "/";
        options.identity = identity;
        admitted = StartQuillmark(options);
    }
    ~StartedProgram() { destroyWindows(); }
    StartedProgram(const StartedProgram &) = delete;
    StartedProgram &operator=(const StartedProgram &) = delete;

    void destroyWindows() { DestroyQuillmarkWindows(); }
    QString folder() const { return m_folder.path(); }
    ScriptedDialogs &dialogs() { return *m_dialogs; }

    bool admitted = false;

private:
    ScriptedDialogsGuard m_dialogs;
    QTemporaryDir m_folder;
};

} // namespace

void TestStartup::adminRule_data()
{
    QTest::addColumn<unsigned>("uid");
    QTest::addColumn<QStringList>("groups");
    QTest::addColumn<bool>("admin");

    QTest::newRow("root without groups") << 0u << QStringList{} << true;
    QTest::newRow("sudo member") << 1000u << QStringList{"users", "sudo"} << true;
    QTest::newRow("wheel member") << 1000u << QStringList{"wheel"} << true;
    QTest::newRow("admin member") << 1000u << QStringList{"admin"} << true;
    QTest::newRow("ordinary user") << 1000u << QStringList{"users", "audio", "video"} << false;
    QTest::newRow("no groups at all") << 1000u << QStringList{} << false;
    QTest::newRow("names that only resemble admin groups")
        << 1000u << QStringList{"Sudo", "sudoers", "wheels", "administrators", " sudo"} << false;

    // A list far longer than any fixed buffer would hold still finds the
    // group at its end.
    QStringList many;
    for (int i = 0; i < 5000; ++i)
        many << QStringLiteral("group%1").arg(i);
    QTest::newRow("many groups, none admin") << 1000u << many << false;
    QTest::newRow("many groups, sudo last") << 1000u << (QStringList(many) << "sudo") << true;
}

void TestStartup::adminRule()
{
    QFETCH(unsigned, uid);
    QFETCH(QStringList, groups);
    QFETCH(bool, admin);
    QCOMPARE(IsAdminIdentity({uid, groups}), admin);
}

void TestStartup::refusedUserSeesOnlyTheBoxAndNothingIsWritten()
{
    StartedProgram program({1000u, {"users"}});
    QVERIFY(!program.admitted);

    QCOMPARE(program.dialogs().messages.size(), 1);
    const ShownMessage &box = program.dialogs().messages.first();
    QCOMPARE(box.kind, MessageKind::Information);
    QCOMPARE(box.caption, QStringLiteral("Quillmark"));
    QCOMPARE(box.buttons, DialogButtons(DialogButton::Ok));
    QCOMPARE(box.text,
             QStringLiteral("Restricted Non-Admin Windows Logon Detected!\n\nQuillmark cannot be "
                            "used in a protected mode, please log onto Windows in Admin Mode.\n\n"
                            "Now shutting down Quillmark.\n\n"
                            "On Linux, Quillmark runs for root and the members of the groups sudo, "
                            "wheel and admin; after being added to one of them, log out and in again."));

    for (QWidget *window : QApplication::topLevelWidgets())
        QVERIFY2(!window->isVisible(), qPrintable(window->objectName()));
    // The windows were made (the settings were read) but none closes on this
    // path, so the program folder stays empty.
    QVERIFY(frmMain && frmConsoleOutput && frmPvk2PfxWizard);
    program.destroyWindows();
    QCOMPARE(QDir(program.folder()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
             QStringList());
}

void TestStartup::adminGetsTheMainWindowAndAllThreeWindows()
{
    StartedProgram program({1000u, {"wheel"}});
    QVERIFY(program.admitted);

    QVERIFY(program.dialogs().messages.isEmpty());
    QVERIFY(frmMain->isVisible());
    QCOMPARE(frmMain->windowTitle(), QStringLiteral("Quillmark"));
    QVERIFY(!frmConsoleOutput->isVisible());
    QCOMPARE(frmConsoleOutput->windowTitle(), QStringLiteral("Quillmark - Console Output"));
    QVERIFY(!frmPvk2PfxWizard->isVisible());
    QCOMPARE(frmPvk2PfxWizard->windowTitle(), QStringLiteral("PVK2PFX Wizard"));
}

void TestStartup::currentIdentityListsTheProcessGroups()
{
    const platform::UserIdentity me = platform::currentUserIdentity();
    QCOMPARE(me.effectiveUserId, unsigned(geteuid()));
    QVERIFY(!me.groupNames.isEmpty());
}

void TestStartup::windowCaptionsStayAsTheyAre()
{
    StartedProgram program({0u, {}});
    QVERIFY(program.admitted);
    QCOMPARE(QCoreApplication::applicationName(), QStringLiteral("Quillmark"));
    QVERIFY(!displayNameSetExplicitly());
}

void TestStartup::everyWindowShowsTheApplicationIcon()
{
    // The icon comes from PNGs compiled in; a missing resource gives a null
    // icon, and a broken render an empty picture.
    const QIcon icon = ApplicationIcon();
    QVERIFY2(!icon.isNull(), "the icon resources are missing");
    for (const int size : {16, 32, 48, 256})
        QVERIFY2(icon.availableSizes().contains(QSize(size, size)), qPrintable(QString::number(size)));
    const QImage picture = icon.pixmap(48, 48).toImage().convertToFormat(QImage::Format_ARGB32);
    QCOMPARE(picture.size(), QSize(48, 48));
    QVERIFY2(qAlpha(picture.pixel(24, 24)) == 255, "the icon's middle is not painted");
    QVERIFY2(qAlpha(picture.pixel(0, 0)) < 255, "the icon's rounded corner is painted over");

    StartedProgram program({0u, {}});
    QVERIFY(program.admitted);
    QCOMPARE(QGuiApplication::desktopFileName(), QStringLiteral("quillmark"));
    const QImage appPicture = QApplication::windowIcon().pixmap(32, 32).toImage();
    QCOMPARE(appPicture, icon.pixmap(32, 32).toImage());
    // The three windows and a box without a parent, as the program's message
    // boxes are, all fall back to the application's icon.
    QMessageBox box(QMessageBox::Information, QStringLiteral("Quillmark"), QStringLiteral("text"));
    const QList<QWidget *> windows{frmMain, frmConsoleOutput, frmPvk2PfxWizard, &box};
    for (QWidget *window : windows)
        QVERIFY2(window->windowIcon().pixmap(32, 32).toImage() == appPicture,
                 qPrintable(window->objectName() + " has another icon"));
}

void TestStartup::noDisplayHintNamesTheProgramAsStarted_data()
{
    QTest::addColumn<QString>("startedAs");
    QTest::addColumn<QString>("command");
    QTest::newRow("build folder") << "./quillmark" << "xvfb-run -a ./quillmark";
    QTest::newRow("installed") << "/opt/quillmark/quillmark" << "xvfb-run -a /opt/quillmark/quillmark";
    QTest::newRow("from the PATH") << "quillmark" << "xvfb-run -a quillmark";
    QTest::newRow("blank in the folder") << "/home/ann/my tools/quillmark"
                                         << "xvfb-run -a '/home/ann/my tools/quillmark'";
    QTest::newRow("quote and dollar") << "/srv/ann's $HOME/quillmark"
                                      << "xvfb-run -a '/srv/ann'\\''s $HOME/quillmark'";
    QTest::newRow("no argv[0]") << "" << "xvfb-run -a quillmark";
}

void TestStartup::noDisplayHintNamesTheProgramAsStarted()
{
    QFETCH(QString, startedAs);
    QFETCH(QString, command);
    const QString message = NoDisplayMessage(startedAs);
    QVERIFY2(message.startsWith(QStringLiteral("Quillmark is a desktop program and needs a display")), qPrintable(message));
    QVERIFY2(message.endsWith("virtual display:\n  " + command + "\n"), qPrintable(message));
}

QTEST_MAIN(TestStartup)
#include "tst_startup.moc"
