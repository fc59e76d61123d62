// What a screen reader finds in each window: every control a person can
// act on has a name, the names say what the controls are, and each hint
// is read as its control's description. Read through Qt's accessibility
// interface, the same one the desktop's accessibility bus is fed from.

#include "widgets/Skin.h"
#include "base/UserDialogs.h"
#include "mainwindow/u_frmMain.h"
#include "dialogs/FolderDialog.h"
#include "filelist/TDivFileList.h"
#include "console/u_frmConsoleOutput.h"
#include "support/MainWindowFixture.h"

#include <QPlainTextEdit>
#include "wizard/u_frmPvk2PfxWizard.h"

#include <QAccessible>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTimer>
#include <QTreeView>
#include <QtTest>

#include <algorithm>

namespace {

// The roles of controls a person acts on, or reads a value from.
bool isInteractiveRole(QAccessible::Role role)
{
    switch (role) {
    case QAccessible::PushButton:
    case QAccessible::CheckBox:
    case QAccessible::RadioButton:
    case QAccessible::ComboBox:
    case QAccessible::EditableText:
    case QAccessible::List:
    case QAccessible::Tree:
    case QAccessible::Table:
    case QAccessible::ProgressBar:
    case QAccessible::Slider:
    case QAccessible::SpinBox:
    case QAccessible::Link:
    case QAccessible::ButtonMenu:
    case QAccessible::ButtonDropDown:
        return true;
    default:
        return false;
    }
}

// Whether a name says something: "..." on a button says nothing.
bool saysSomething(const QString &name)
{
    return std::any_of(name.cbegin(), name.cend(), [](QChar c) { return c.isLetterOrNumber(); });
}

// "objectName (role)" of each control of the window, shown or not, that a
// person can act on (by its role, or because Tab reaches it) and that has
// no accessible name that says something.
QStringList unnamedControls(QWidget *window)
{
    QStringList unnamed;
    QList<QWidget *> widgets = window->findChildren<QWidget *>();
    widgets.prepend(window);
    for (QWidget *widget : widgets) {
        QAccessibleInterface *control = QAccessible::queryAccessibleInterface(widget);
        if (!control || control->object() != widget)
            continue;
        const QAccessible::Role role = control->role();
        const bool interactive =
            isInteractiveRole(role) || (widget->focusPolicy() & Qt::TabFocus) != 0;
        if (interactive && !saysSomething(control->text(QAccessible::Name)))
            unnamed.append(QStringLiteral("%1 (%2 role %3)")
                               .arg(widget->objectName(),
                                    QString::fromLatin1(widget->metaObject()->className()))
                               .arg(int(role)));
    }
    return unnamed;
}

QString accessibleText(QWidget *widget, QAccessible::Text text)
{
    QAccessibleInterface *control = QAccessible::queryAccessibleInterface(widget);
    return control ? control->text(text) : QStringLiteral("<no interface>");
}

// Runs `look` on the modal box `open` opens, then closes the box.
void inspectModal(const std::function<void()> &open, const std::function<void(QWidget *)> &look)
{
    bool looked = false;
    QTimer::singleShot(0, [&] {
        QWidget *box = QApplication::activeModalWidget();
        QVERIFY(box);
        look(box);
        looked = true;
        box->close();
    });
    open();
    QVERIFY(looked);
}

} // namespace

class TestAccessibility : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void everyControlOfEveryWindowHasAName();
    void editBoxesAreNamedAfterTheirLabels();
    void buttonsWithoutCaptionsSayWhatTheyDo();
    void hintsAreTheDescriptions();
    void fileListViewsCarryTheListsName();
    void namingChangesNothingVisible();
    void signingProgressIsAProgressBar();
    void mainWindowIsAnnouncedAsAWindow();
    void titleButtonsAndConsoleScrollBarAreDescribed();
    void messageBoxesAndFolderDialog();

private:
    MainWindowFixture *m_fixture = nullptr;
    TfrmMain *m_window = nullptr;
};

void TestAccessibility::init()
{
    m_fixture = new MainWindowFixture;
    m_window = m_fixture->start();
}

void TestAccessibility::cleanup()
{
    delete m_fixture;
    m_fixture = nullptr;
}

void TestAccessibility::everyControlOfEveryWindowHasAName()
{
    auto *console = new TfrmConsoleOutput(m_window);
    auto *wizard = new TfrmPvk2PfxWizard(m_window);
    FolderDialog folders;
    for (QWidget *window : {static_cast<QWidget *>(m_window), static_cast<QWidget *>(console),
                            static_cast<QWidget *>(wizard), static_cast<QWidget *>(&folders)}) {
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window));
        const QStringList unnamed = unnamedControls(window);
        QVERIFY2(unnamed.isEmpty(), qPrintable(window->objectName() + QStringLiteral(": ")
                                               + unnamed.join(QStringLiteral(", "))));
        window->hide();
    }
    // Every view style of the list, not just the one shown first.
    for (auto style : {TDivFileList::ViewStyle::LargeIcons, TDivFileList::ViewStyle::List}) {
        m_window->DivFileList->setViewStyle(style);
        QCOMPARE(unnamedControls(m_window), QStringList());
    }
}

void TestAccessibility::editBoxesAreNamedAfterTheirLabels()
{
    const QList<QPair<QWidget *, QString>> expected = {
        {m_window->edPlatformSDKFolder, "MS Platform SDK Bin Folder"},
        {m_window->edCertName, "PFX File Path"},
        {m_window->edPassword, "PFX File Password"},
        {m_window->edAddDesc, "Description"},
        {m_window->edAddDescURL, "Description URL (Optional)"},
        {m_window->edTimeStampURL, "TimeStamp URL"},
        {m_window->cbxProject, "Saved QMK Projects"},
        {m_window->DivFileList, "Files to be Digitally Signed"},
        {m_window->btnPvk2Pfx, "Launch PVK2PFX Wizard"},
    };
    for (const auto &[control, name] : expected) {
        QCOMPARE(accessibleText(control, QAccessible::Name), name);
        // The label beside it is its buddy, so the two are read together.
        QAccessibleInterface *iface = QAccessible::queryAccessibleInterface(control);
        const auto labels = iface->relations(QAccessible::Label);
        QVERIFY2(!labels.isEmpty(), qPrintable(name));
    }
    TfrmPvk2PfxWizard wizard(m_window);
    QCOMPARE(accessibleText(wizard.edPvkFileName, QAccessible::Name),
             QStringLiteral("PVK File Path"));
    QCOMPARE(accessibleText(wizard.edNewPFXPasswordConfirm, QAccessible::Name),
             QStringLiteral("Confirm New PFX File Password"));
}

void TestAccessibility::buttonsWithoutCaptionsSayWhatTheyDo()
{
    QCOMPARE(accessibleText(m_window->bntSelSignTool, QAccessible::Name),
             QStringLiteral("Browse for the SDK folder"));
    QCOMPARE(accessibleText(m_window->btnSelPFXFile, QAccessible::Name),
             QStringLiteral("Browse for the PFX file"));
    QCOMPARE(accessibleText(m_window->btnSaveProject, QAccessible::Name),
             QStringLiteral("Save as Quillmark Project"));
    QCOMPARE(accessibleText(m_window->btnClose, QAccessible::Name), QStringLiteral("Close"));
    QCOMPARE(accessibleText(m_window->btnMinimize, QAccessible::Name),
             QStringLiteral("Minimize"));
    TfrmPvk2PfxWizard wizard(m_window);
    QCOMPARE(accessibleText(wizard.btnSpcFilename, QAccessible::Name),
             QStringLiteral("Browse for the SPC file"));
    // A caption's access key is not part of the name.
    QCOMPARE(accessibleText(m_window->btnSign, QAccessible::Name), QStringLiteral("Sign"));
}

void TestAccessibility::hintsAreTheDescriptions()
{
    // On one line: the tool tip's breaks are for its shape only.
    QCOMPARE(accessibleText(m_window->edPlatformSDKFolder, QAccessible::Description),
             QStringLiteral("Select the path to the MS Platform SDK Bin folder on your hard "
                            "drive (i.e. Where the SignTool.exe resides)."));
    QCOMPARE(accessibleText(m_window->btnSign, QAccessible::Description),
             QStringLiteral("Digitally Sign all files in the list."));
    TfrmPvk2PfxWizard wizard(m_window);
    QCOMPARE(accessibleText(wizard.edPvkPassword, QAccessible::Description),
             QStringLiteral("Enter the PVK password (masked)."));
}

void TestAccessibility::fileListViewsCarryTheListsName()
{
    for (QWidget *view : {static_cast<QWidget *>(m_window->DivFileList->detailsView()),
                          static_cast<QWidget *>(m_window->DivFileList->iconView())}) {
        QCOMPARE(accessibleText(view, QAccessible::Name),
                 QStringLiteral("Files to be Digitally Signed"));
        // The hint, and the keyboard's ways to add files after it.
        const QString description = accessibleText(view, QAccessible::Description);
        QVERIFY2(description.startsWith(QStringLiteral("Drag and drop the files you wish to sign here. ")),
                 qPrintable(description));
        for (const char *key : {"Ctrl+V", "Insert", "Shift+F10"})
            QVERIFY2(description.contains(QLatin1String(key)), qPrintable(description));
    }
    // The tool tip stays the hint alone.
    QCOMPARE(m_window->DivFileList->toolTip(),
             QStringLiteral("Drag and drop the files you wish to sign here."));
}

void TestAccessibility::namingChangesNothingVisible()
{
    // A label with a buddy would show an "&" as an underline; no caption
    // beside a control holds one, and the captions keep their colons.
    for (QLabel *label : m_window->findChildren<QLabel *>()) {
        if (label->buddy())
            QVERIFY2(!label->text().contains(QLatin1Char('&')), qPrintable(label->text()));
    }
    QCOMPARE(m_window->lbPlatformSDKFolder->text(), QStringLiteral("MS Platform SDK Bin Folder:"));
    QCOMPARE(m_window->bntSelSignTool->text(), QStringLiteral("..."));
    QCOMPARE(m_window->edPlatformSDKFolder->toolTip(),
             QStringLiteral("Select the path to the MS Platform SDK Bin folder on\n"
                            "your hard drive (i.e. Where the SignTool.exe resides)."));
}

void TestAccessibility::signingProgressIsAProgressBar()
{
    QAccessibleInterface *bar = QAccessible::queryAccessibleInterface(m_window->pbProgress);
    QCOMPARE(bar->role(), QAccessible::ProgressBar);
    QCOMPARE(bar->text(QAccessible::Name), QStringLiteral("Signing progress"));
    QVERIFY(bar->valueInterface());
}

// A frameless QWidget would be read as a "filler"; the main window is a
// frame, named after its title, and holds the window's controls.
void TestAccessibility::mainWindowIsAnnouncedAsAWindow()
{
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window));
    QAccessibleInterface *window = QAccessible::queryAccessibleInterface(m_window);
    QVERIFY(window);
    QCOMPARE(window->role(), QAccessible::Window);
    QCOMPARE(window->text(QAccessible::Name), QStringLiteral("Quillmark"));
    QVERIFY(window->childCount() > 20);
    QAccessibleInterface *sign = QAccessible::queryAccessibleInterface(m_window->btnSign);
    QCOMPARE(sign->parent()->object(), static_cast<QObject *>(m_window));
    // Other windows keep the roles they had.
    TfrmPvk2PfxWizard wizard(m_window);
    QCOMPARE(QAccessible::queryAccessibleInterface(&wizard)->role(), QAccessible::Dialog);
    QWidget plain;
    QVERIFY(QAccessible::queryAccessibleInterface(&plain)->role() != QAccessible::Window);
}

void TestAccessibility::titleButtonsAndConsoleScrollBarAreDescribed()
{
    QStringList descriptions;
    for (QWidget *button : {static_cast<QWidget *>(m_window->btnWeb),
                            static_cast<QWidget *>(m_window->btnHelp),
                            static_cast<QWidget *>(m_window->btnMinimize),
                            static_cast<QWidget *>(m_window->btnClose)}) {
        const QString description = accessibleText(button, QAccessible::Description);
        QVERIFY2(saysSomething(description), qPrintable(button->objectName()));
        QVERIFY2(!descriptions.contains(description), qPrintable(description));
        descriptions.append(description);
        // Still no hint: the strip's buttons show no tool tip.
        QVERIFY(button->toolTip().isEmpty());
    }
    QVERIFY(descriptions[0].contains(QLatin1String("web site")));
    QVERIFY(descriptions[3].startsWith(QLatin1String("Closes")));

    TfrmConsoleOutput console(m_window);
    QScrollBar *bar = console.memoConsoleOutput->verticalScrollBar();
    QAccessibleInterface *scroll = QAccessible::queryAccessibleInterface(bar);
    QCOMPARE(scroll->role(), QAccessible::ScrollBar);
    QCOMPARE(scroll->text(QAccessible::Name), QStringLiteral("Console Output scroll bar"));
}

void TestAccessibility::messageBoxesAndFolderDialog()
{
    // The program's own boxes and dialogs, not the scripted ones the
    // fixture puts in.
    delete m_fixture;
    m_fixture = nullptr;

    QStringList unnamed = {QStringLiteral("<not looked at>")};
    auto look = [&](QWidget *box) { unnamed = unnamedControls(box); };

    inspectModal([] { Messages::confirm(QStringLiteral("Quit without saving the settings?")); },
                 look);
    QCOMPARE(unnamed, QStringList());

    FolderRequest folder;
    folder.caption = QStringLiteral("Select Folder");
    folder.prompt = QStringLiteral("Select the MS Platform SDK Bin Folder...");
    QString treeName;
    inspectModal([&] { UserDialogs::current().getExistingFolder(folder); },
                 [&](QWidget *box) {
                     look(box);
                     treeName = accessibleText(box->findChild<QTreeView *>(), QAccessible::Name);
                 });
    QCOMPARE(unnamed, QStringList());
    QCOMPARE(treeName, folder.prompt);

    OpenFileRequest file;
    file.filter = QStringLiteral("Personal Information Exchange (*.pfx)");
    inspectModal([&] { UserDialogs::current().getOpenFileName(file); }, look);
    QCOMPARE(unnamed, QStringList());
}

QTEST_MAIN(TestAccessibility)
#include "tst_accessibility.moc"
