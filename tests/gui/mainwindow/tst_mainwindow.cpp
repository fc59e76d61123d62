// The main window as the user first meets it: every control by name, its
// place, caption, state, tab order and hint; and the window commands.

#include "widgets/ClickableLabel.h"
#include "widgets/Skin.h"
#include "mainwindow/u_frmMain.h"
#include "filelist/TDivFileList.h"
#include "platform/Platform.h"
#include "support/MainWindowFixture.h"
#include "wizard/u_frmPvk2PfxWizard.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

namespace {

struct Control {
    const char *name;
    const char *className;
    QRect bounds;
    QString caption;
};

// Bounds as the window's designers laid them out. Labels and check boxes
// may grow to the right when the font is wider than theirs, never shrink.
const Control controls[] = {
    {"btnWeb", "ImageButton", {666, 22, 24, 24}, {}},
    {"btnHelp", "ImageButton", {695, 22, 24, 24}, {}},
    {"btnMinimize", "ImageButton", {724, 22, 24, 24}, {}},
    {"btnClose", "ImageButton", {753, 22, 24, 24}, {}},
    {"lbPlatformSDKFolder", "QLabel", {40, 73, 133, 13}, "MS Platform SDK Bin Folder:"},
    {"edPlatformSDKFolder", "QLineEdit", {40, 90, 305, 19}, ""},
    {"bntSelSignTool", "QPushButton", {350, 89, 20, 20}, "..."},
    {"cbSelectBestCert", "QCheckBox", {40, 131, 155, 19}, "Auto Select Best Certificate"},
    {"cbUsePFXFile", "QCheckBox", {40, 154, 242, 19}, "Use Personal Information Exchange (PFX) File"},
    {"lbCertName", "QLabel", {40, 178, 66, 13}, "PFX File Path:"},
    {"edCertName", "QLineEdit", {40, 194, 305, 19}, ""},
    {"btnSelPFXFile", "QPushButton", {350, 193, 20, 20}, "..."},
    {"lbPassword", "QLabel", {40, 218, 90, 13}, "PFX File Password:"},
    {"edPassword", "QLineEdit", {40, 234, 330, 19}, ""},
    {"cbAddDesc", "QCheckBox", {40, 270, 107, 19}, "Add a Description"},
    {"lbAddDesc", "QLabel", {40, 293, 57, 13}, "Description:"},
    {"edAddDesc", "QLineEdit", {40, 309, 330, 19}, ""},
    {"lbAddDescURL", "QLabel", {40, 333, 130, 13}, "Description URL (Optional):"},
    {"edAddDescURL", "QLineEdit", {40, 349, 330, 19}, ""},
    {"cbTimeStamp", "QCheckBox", {40, 384, 102, 19}, "Time Stamp Files"},
    {"lbTimeStampURL", "QLabel", {40, 406, 78, 13}, "TimeStamp URL:"},
    {"edTimeStampURL", "QLineEdit", {40, 422, 330, 19}, ""},
    {"lblOptions", "QLabel", {40, 460, 78, 13}, "Other Options"},
    {"cbVerboseOutput", "QCheckBox", {40, 477, 140, 19}, "Verbose Console Output"},
    {"cbStayOnTop", "QCheckBox", {220, 477, 148, 19}, "Keep QKM Window On Top"},
    {"cbAddCmdLnToConsole", "QCheckBox", {40, 502, 168, 19}, "Add Command Line to Console"},
    {"btnPvk2Pfx", "QPushButton", {220, 502, 17, 19}, ""},
    {"lbPvk2Pfx", "ClickableLabel", {240, 505, 115, 13}, "Launch PVK2PFX Wizard"},
    {"lbLoadProject", "QLabel", {384, 73, 98, 13}, "Saved QMK Projects:"},
    {"cbxProject", "QComboBox", {384, 89, 352, 21}, {}},
    {"btnSaveProject", "QPushButton", {741, 89, 20, 20}, "..."},
    {"lbDivFileList", "QLabel", {385, 118, 128, 13}, "Files to be Digitally Signed:"},
    {"DivFileList", "TDivFileList", {384, 135, 377, 386}, {}},
    {"btnClearFiles", "QPushButton", {384, 553, 90, 27}, "&Clear List"},
    {"btnRemSel", "QPushButton", {479, 553, 90, 27}, "&Remove"},
    {"btnSign", "QPushButton", {575, 553, 90, 27}, "&Sign"},
    {"btnExit", "QPushButton", {671, 553, 90, 27}, "&Exit"},
    {"pnlWait", "QFrame", {265, 262, 271, 76}, {}},
};

QString captionOf(QWidget *widget)
{
    if (auto *label = qobject_cast<QLabel *>(widget))
        return label->text();
    if (auto *button = qobject_cast<QAbstractButton *>(widget))
        return button->text();
    return {};
}

} // namespace

class TestMainWindow : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void windowIsAFramelessFace();
    void everyControlInPlace();
    void initialStates();
    void onlyTheCopyrightLineShowsAHand();
    void tabOrder();
    void hints();
    void fileListMenu();
    void waitPanel();

    void exitAndCloseClose();
    void escapeIsNoWindowCommand();
    void helpOpensTheHelpFileBesideTheProgram();
    void webSiteFromButtonAndLabel();
    void f1WithAnyModifiersRunsHelp();
    void deleteStillReachesTheEditBox();
    void wizardOpensFromButtonAndLabelAgainAndAgain();
    void minimizeTakesTheWholeApplication();

private:
    template <typename T = QWidget> T *find(const char *name) { return m_fixture->find<T>(name); }

    MainWindowFixture *m_fixture = nullptr;
    TfrmMain *m_window = nullptr;
};

void TestMainWindow::init()
{
    m_fixture = new MainWindowFixture;
    m_window = m_fixture->start();
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window));
}

void TestMainWindow::cleanup()
{
    delete m_fixture;
    m_fixture = nullptr;
}

void TestMainWindow::windowIsAFramelessFace()
{
    QCOMPARE(m_window->objectName(), QStringLiteral("frmMain"));
    QCOMPARE(m_window->windowTitle(), QStringLiteral("Quillmark"));
    QVERIFY(m_window->windowFlags().testFlag(Qt::FramelessWindowHint));
    QCOMPARE(m_window->size(), QSize(800, 600));
    QCOMPARE(m_window->palette().color(QPalette::Window), QColor(124, 159, 187));
    QCOMPARE(Skin::mainFace().size(), QSize(800, 600));
}

void TestMainWindow::everyControlInPlace()
{
    for (const Control &control : controls) {
        QWidget *widget = find(control.name);
        QVERIFY2(widget, control.name);
        QVERIFY2(widget->inherits(control.className), control.name);
        const QRect bounds = widget->geometry();
        const bool grows = qobject_cast<QLabel *>(widget) || qobject_cast<QCheckBox *>(widget);
        QVERIFY2(bounds.topLeft() == control.bounds.topLeft()
                     && bounds.height() == control.bounds.height()
                     && (grows ? bounds.width() >= control.bounds.width()
                               : bounds.width() == control.bounds.width()),
                 qPrintable(QStringLiteral("%1 at %2,%3 %4x%5")
                                .arg(control.name)
                                .arg(bounds.x())
                                .arg(bounds.y())
                                .arg(bounds.width())
                                .arg(bounds.height())));
        if (!control.caption.isNull())
            QCOMPARE(captionOf(widget), control.caption);
    }
    // The drag-and-drop note sits at the right end of the list's caption row.
    auto *dragDrop = find<QLabel>("lbDragDrop");
    QCOMPARE(dragDrop->text(), QStringLiteral("(Drag & Drop Files Here)"));
    QCOMPARE(dragDrop->geometry().right(), 760);
    QCOMPARE(dragDrop->y(), 118);
    QVERIFY(!find<QLabel>("lbCopyRight")->text().isEmpty());
    QVERIFY(find<QLabel>("lbCopyRight")->font().bold());
    QVERIFY(find<QLabel>("lblOptions")->font().bold());
    QVERIFY(find<QComboBox>("cbxProject")->font().bold());
}

void TestMainWindow::initialStates()
{
    auto checked = [&](const char *name) { return find<QCheckBox>(name)->isChecked(); };
    QVERIFY(checked("cbSelectBestCert"));
    QVERIFY(!checked("cbUsePFXFile"));
    QVERIFY(!checked("cbAddDesc"));
    QVERIFY(!checked("cbTimeStamp"));
    QVERIFY(checked("cbVerboseOutput"));
    QVERIFY(!checked("cbAddCmdLnToConsole"));
    QVERIFY(!checked("cbStayOnTop"));

    for (const char *name : {"edCertName", "btnSelPFXFile", "edPassword", "edAddDesc",
                             "edAddDescURL", "edTimeStampURL"})
        QVERIFY2(!find(name)->isEnabled(), name);
    for (const char *name : {"bntSelSignTool", "btnSaveProject", "btnPvk2Pfx", "btnSign",
                             "btnExit", "btnClearFiles", "btnRemSel"})
        QVERIFY2(find(name)->isEnabled(), name);

    QVERIFY(find<QLineEdit>("edPlatformSDKFolder")->isReadOnly());
    QVERIFY(find<QLineEdit>("edCertName")->isReadOnly());
    QCOMPARE(find<QLineEdit>("edPassword")->echoMode(), QLineEdit::Password);
    QVERIFY(!find<QComboBox>("cbxProject")->isEditable());
    QCOMPARE(find<QComboBox>("cbxProject")->maxVisibleItems(), 20);
    QCOMPARE(find<TDivFileList>("DivFileList")->count(), 0);
    QVERIFY(!find("pnlWait")->isVisible());
    QVERIFY(!m_window->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
}

// The title strip's image buttons aside, the hand is the sign of the
// maker's line alone; the wizard's label is clickable with the arrow.
void TestMainWindow::onlyTheCopyrightLineShowsAHand()
{
    QStringList hands;
    for (QWidget *widget : m_window->findChildren<QWidget *>()) {
        if (widget->inherits("ImageButton") || !widget->testAttribute(Qt::WA_SetCursor))
            continue;
        if (widget->cursor().shape() == Qt::PointingHandCursor)
            hands << widget->objectName();
    }
    QCOMPARE(hands, QStringList{"lbCopyRight"});
    QVERIFY(!find("lbPvk2Pfx")->testAttribute(Qt::WA_SetCursor));
}

void TestMainWindow::tabOrder()
{
    const QStringList expected = {
        "bntSelSignTool", "cbSelectBestCert", "cbUsePFXFile", "btnSelPFXFile", "edPassword",
        "cbAddDesc", "edAddDesc", "edAddDescURL", "cbTimeStamp", "edTimeStampURL",
        "cbVerboseOutput", "btnPvk2Pfx", "DivFileList", "btnClearFiles", "btnRemSel", "btnSign",
        "btnExit", "cbAddCmdLnToConsole", "cbxProject", "cbStayOnTop", "btnSaveProject"};
    // Enable everything so disabled controls do not drop out of the chain.
    find<QCheckBox>("cbUsePFXFile")->setChecked(true);
    find<QCheckBox>("cbAddDesc")->setChecked(true);
    find<QCheckBox>("cbTimeStamp")->setChecked(true);
    m_window->activateWindow();
    find("bntSelSignTool")->setFocus();
    QTRY_COMPARE(QApplication::focusWidget(), find("bntSelSignTool"));

    QStringList visited = {QApplication::focusWidget()->objectName()};
    for (int i = 1; i < expected.size(); ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QWidget *focus = QApplication::focusWidget();
        // Focus may rest on an inner part of a compound control.
        while (focus && focus->objectName().isEmpty())
            focus = focus->parentWidget();
        visited << (focus ? focus->objectName() : QString());
    }
    QCOMPARE(visited, expected);

    for (const char *name : {"edPlatformSDKFolder", "edCertName"})
        QVERIFY2(!(find(name)->focusPolicy() & Qt::TabFocus), name);
    for (const char *name : {"btnWeb", "btnHelp", "btnMinimize", "btnClose"})
        QCOMPARE(find(name)->focusPolicy(), Qt::NoFocus);
}

void TestMainWindow::hints()
{
    const QString sdk = "Select the path to the MS Platform SDK Bin folder on\nyour hard drive "
                        "(i.e. Where the SignTool.exe resides).";
    const QString pfx = "Select this option to specify a PFX file,\nenter the file path and the "
                        "password.";
    const QList<QPair<const char *, QString>> hints = {
        {"edPlatformSDKFolder", sdk},
        {"bntSelSignTool", sdk},
        {"cbUsePFXFile", pfx},
        {"edPassword", pfx},
        {"cbAddCmdLnToConsole",
         "This option writes the full command line used with the signtool.exe to the\ntop line "
         "of the console output. It can then be copied and pasted for use \nwith VS .NET as a "
         "macro or used with any other IDE of your choice."},
        {"lbPvk2Pfx", "This Wizard helps create a PFX file from your SPC and PVK files."},
        {"DivFileList", "Drag and drop the files you wish to sign here."},
        {"btnRemSel", "Clear any selected files from the list (to select\nmore than one file "
                      "hold down the CTRL key)."},
        {"btnSign", "Digitally Sign all files in the list."},
        {"btnExit", "Exit this program."},
    };
    for (const auto &[name, hint] : hints) {
        QCOMPARE(find(name)->toolTip(), hint);
        QCOMPARE(find(name)->toolTipDuration(), 20000);
    }
    for (const char *name : {"btnWeb", "btnHelp", "btnMinimize", "btnClose"})
        QVERIFY2(find(name)->toolTip().isEmpty(), name);
    QCOMPARE(QApplication::style()->styleHint(QStyle::SH_ToolTip_WakeUpDelay), 100);
}

void TestMainWindow::fileListMenu()
{
    auto *menu = find<QMenu>("menuFileList");
    QVERIFY(menu);
    QStringList captions;
    QStringList names;
    for (QAction *action : menu->actions()) {
        captions << (action->isSeparator() ? QStringLiteral("-") : action->text());
        names << action->objectName();
        QVERIFY(action->shortcut().isEmpty());
        QVERIFY(!action->isCheckable());
    }
    QCOMPARE(captions, (QStringList{"Add Files...", "-", "Large Icons", "Small Icons", "List",
                                    "Details", "-", "Copy File(s) To..."}));
    QCOMPARE(names, (QStringList{"menitmAddFiles", "N0", "menitmLargeIcons", "menitmSmallIcons",
                                 "menitmList", "menitmDetails", "N1", "menitmCopyFilesTo"}));
}

void TestMainWindow::waitPanel()
{
    auto *panel = find<QFrame>("pnlWait");
    QVERIFY(!panel->isVisible());
    QCOMPARE(find<QLabel>("lbWorking")->text(), QStringLiteral("Working, please wait..."));
    QCOMPARE(find<QLabel>("lbWorking")->pos(), QPoint(90, 43));
    QCOMPARE(find<QLabel>("imgHourglass")->geometry(), QRect(68, 41, 16, 16));
    QVERIFY(!find<QLabel>("imgHourglass")->pixmap().isNull());
    QCOMPARE(panel->findChild<QLabel *>("lbWaitTitle")->text(), QStringLiteral("Quillmark"));
    // The signing progress row waits, hidden, in the panel's own body under
    // the text, so that showing it never changes the panel's bounds.
    for (const char *name : {"lbProgress", "pbProgress"}) {
        QWidget *row = panel->findChild<QWidget *>(name);
        QVERIFY2(row && !row->isVisibleTo(panel), name);
        QVERIFY2(panel->contentsRect().contains(row->geometry()), name);
        QVERIFY2(row->geometry().top() > find<QLabel>("imgHourglass")->geometry().bottom(), name);
    }
}

void TestMainWindow::exitAndCloseClose()
{
    for (const char *name : {"btnExit", "btnClose"}) {
        m_window->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_window));
        QTest::mouseClick(find<QAbstractButton>(name), Qt::LeftButton);
        QVERIFY2(!m_window->isVisible(), name);
    }
    // Alt+E is the Exit button's access key.
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window));
    m_window->activateWindow();
    QTest::keyClick(m_window, Qt::Key_E, Qt::AltModifier);
    QTRY_VERIFY(!m_window->isVisible());
    QVERIFY(m_fixture->dialogs().messages.isEmpty());
}

void TestMainWindow::escapeIsNoWindowCommand()
{
    auto *edit = find<QLineEdit>("edAddDescURL");
    for (Qt::KeyboardModifiers modifiers : {Qt::NoModifier, Qt::ShiftModifier})
        QTest::keyClick(edit, Qt::Key_Escape, modifiers);
    QTest::keyClick(m_window, Qt::Key_Escape);
    QVERIFY(m_window->isVisible());
}

void TestMainWindow::helpOpensTheHelpFileBesideTheProgram()
{
    QTest::mouseClick(find<QAbstractButton>("btnHelp"), Qt::LeftButton);
    QCOMPARE(m_fixture->dialogs().openedUrls,
             QList<QUrl>{QUrl::fromLocalFile(m_fixture->folder() + "/Quillmark.chm")});
    // The help file is missing, and the program says nothing of its own.
    QVERIFY(m_fixture->dialogs().messages.isEmpty());

    // A program folder named in Latin-1: the URL carries its very bytes.
    TfrmMain latin1(platform::decodeFileName("/nonexistent/caf\xE9/"));
    latin1.btnHelpClick();
    QCOMPARE(m_fixture->dialogs().openedUrls.size(), 2);
    QCOMPARE(m_fixture->dialogs().openedUrls.last().toEncoded(),
             QByteArray("file:///nonexistent/caf%E9/Quillmark.chm"));
}

void TestMainWindow::webSiteFromButtonAndLabel()
{
    QTest::mouseClick(find<QAbstractButton>("btnWeb"), Qt::LeftButton);
    QTest::mouseClick(find<QLabel>("lbCopyRight"), Qt::LeftButton);
    QCOMPARE(m_fixture->dialogs().openedUrls.size(), 2);
    for (const QUrl &url : m_fixture->dialogs().openedUrls)
        QCOMPARE(url, QUrl(TfrmMain::webSiteUrl()));
}

void TestMainWindow::f1WithAnyModifiersRunsHelp()
{
    auto *edit = find<QLineEdit>("edTimeStampURL");
    find<QCheckBox>("cbTimeStamp")->setChecked(true);
    edit->setFocus();
    for (Qt::KeyboardModifiers modifiers :
         {Qt::NoModifier, Qt::ControlModifier, Qt::ShiftModifier, Qt::AltModifier})
        QTest::keyClick(edit, Qt::Key_F1, modifiers);
    QCOMPARE(m_fixture->dialogs().openedUrls.size(), 4);
}

void TestMainWindow::deleteStillReachesTheEditBox()
{
    find<QCheckBox>("cbAddDesc")->setChecked(true);
    auto *edit = find<QLineEdit>("edAddDesc");
    edit->setText(QStringLiteral("abc"));
    edit->setFocus();
    edit->setCursorPosition(0);
    QTest::keyClick(edit, Qt::Key_Delete);
    QTest::keyClick(edit, Qt::Key_Delete);
    // The list is empty, so the window's Delete asks nothing; the edit box
    // deleted a character for each key.
    QVERIFY(m_fixture->dialogs().messages.isEmpty());
    QCOMPARE(edit->text(), QStringLiteral("c"));
}

void TestMainWindow::wizardOpensFromButtonAndLabelAgainAndAgain()
{
    TfrmPvk2PfxWizard wizard(m_window);
    m_window->setWizardWindow(&wizard);
    int shown = 0;
    auto closeWhenShown = [&] {
        QTimer::singleShot(0, &wizard, [&] {
            QVERIFY(wizard.isVisible());
            QVERIFY(wizard.isModal());
            ++shown;
            QTest::keyClick(&wizard, Qt::Key_Escape, Qt::ShiftModifier);
        });
    };
    closeWhenShown();
    QTest::mouseClick(find<QAbstractButton>("btnPvk2Pfx"), Qt::LeftButton);
    closeWhenShown();
    QTest::mouseClick(find<QLabel>("lbPvk2Pfx"), Qt::LeftButton);
    closeWhenShown();
    QTest::mouseClick(find<QAbstractButton>("btnPvk2Pfx"), Qt::LeftButton);
    QCOMPARE(shown, 3);
    QVERIFY(!wizard.isVisible());
}

void TestMainWindow::minimizeTakesTheWholeApplication()
{
    QWidget other;
    other.show();
    QTest::mouseClick(find<QAbstractButton>("btnMinimize"), Qt::LeftButton);
    QTRY_VERIFY(m_window->isMinimized());
    QTRY_VERIFY(other.isMinimized());
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
