// The PVK to PFX wizard through the real tool runner and the stand-in
// pvk2pfx.exe: its controls, the order of its checks, the save step, the
// argument text, the verdict on the output file, and Escape.

#include "widgets/ClickableLabel.h"
#include "startup/Startup.h"
#include "mainwindow/u_frmMain.h"
#include "console/u_frmConsoleOutput.h"
#include "support/ConsoleWatcher.h"
#include "support/FileContents.h"
#include "support/FifoRescuer.h"
#include "support/ScriptedDialogs.h"
#include "support/TestData.h"
#include "wizard/Pvk2PfxRequest.h"
#include "wizard/u_frmPvk2PfxWizard.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QString kSaved = QStringLiteral("The PFX was saved as filename: ");
const QString kNotOverwritten =
    QStringLiteral("The PFX already exists here and was not overwritten: ");
const QString kNotGenerated =
    QStringLiteral("The PFX file was not generated, check your PVK/SPC files and password!");

} // namespace

class TestWizard : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void controlsAndTabOrder();
    void checksComeInOrderOnePerPress();
    void bareToolNameIsLookedUpInTheCurrentFolder();
    void newPasswordEntriesMustMatchExactly_data();
    void newPasswordEntriesMustMatchExactly();
    void saveDialogAndOutputNames_data();
    void saveDialogAndOutputNames();
    void openDialogPicksTheFilterAndRemembersTheFolder();
    void argumentText();
    void doubleQuotesAreRefusedBeforeAnythingRuns();
    void newPfxIsSavedEndToEnd();
    void newPasswordProtectsThePfx();
    void existingPfxIsKeptWithoutOverwrite();
    void existingPfxIsRewrittenWithOverwrite();
    void fifoAtThePfxPathIsNeverWaitedOn();
    void wrongPasswordGeneratesNothing();
    void truncatedOutputIsNotReportedAsSaved();
    void toolThatCannotStartStillGivesAVerdict();
    void verdictTable_data();
    void verdictTable();
    void escapeClosesWithoutRunningAnything();
    void reopenedWizardKeepsItsEntries();
    void copyrightOpensTheWebSite();
    void startUpWiresTheWizardToTheMainWindowAndTheConsole();

private:
    void makeInputs(const QString &pvkPassword = QStringLiteral("pvk secret"));
    void fillInputs(const QString &pvkPassword = QStringLiteral("pvk secret"));
    void pressSave() { QTest::mouseClick(m_wizard->btnMakePfx, Qt::LeftButton); }
    QStringList messages() const { return m_dialogs->get().messageTexts(); }
    QStringList verdictLines() const;
    QString path(const QString &name) const { return m_folder->path() + "/" + name; }

    QTemporaryDir *m_folder = nullptr;
    ScriptedDialogsGuard *m_dialogs = nullptr;
    TfrmMain *m_main = nullptr;
    TfrmConsoleOutput *m_console = nullptr;
    TfrmPvk2PfxWizard *m_wizard = nullptr;
    ConsoleWatcher *m_watcher = nullptr;
    testdata::KeyAndCert m_cert;
    QString m_previousFolder;
};

void TestWizard::init()
{
    m_folder = new QTemporaryDir;
    QVERIFY(m_folder->isValid());
    // The capture file lies in the current folder; keep it in ours.
    m_previousFolder = QDir::currentPath();
    QDir::setCurrent(m_folder->path());
    m_dialogs = new ScriptedDialogsGuard;
    m_main = new TfrmMain(m_folder->path() + "/");
    m_console = new TfrmConsoleOutput(m_main);
    m_wizard = new TfrmPvk2PfxWizard(m_main);
    m_main->setConsoleWindow(m_console);
    m_main->setWizardWindow(m_wizard);
    m_wizard->setMainWindow(m_main);
    m_wizard->setConsoleWindow(m_console);
    m_watcher = new ConsoleWatcher(m_console);
    m_main->edPlatformSDKFolder->setText(QStringLiteral(QUILLMARK_SDK_BIN_DIR));
    m_main->show();
    m_wizard->show();
}

void TestWizard::cleanup()
{
    delete m_watcher;
    delete m_main;
    delete m_dialogs;
    QDir::setCurrent(m_previousFolder);
    QVERIFY(!QFile::exists(m_folder->path() + "/$tmp$.tmp"));
    delete m_folder;
}

void TestWizard::makeInputs(const QString &pvkPassword)
{
    if (m_cert.isNull())
        m_cert = testdata::makeCertificate();
    QVERIFY(!m_cert.isNull());
    QVERIFY(testdata::writePvk(path("Team.pvk"), m_cert, pvkPassword));
    QVERIFY(testdata::writeSpc(path("Team.spc"), m_cert));
}

void TestWizard::fillInputs(const QString &pvkPassword)
{
    makeInputs(QStringLiteral("pvk secret"));
    m_wizard->edPvkFileName->setText(path("Team.pvk"));
    m_wizard->edSpcFilename->setText(path("Team.spc"));
    m_wizard->edPvkPassword->setText(pvkPassword);
}

QStringList TestWizard::verdictLines() const
{
    // What follows the tool's own output: the lines from the last empty line
    // before a verdict text.
    const QStringList lines = m_watcher->linesAtShow;
    for (qsizetype i = lines.size() - 1; i >= 0; --i) {
        if (lines[i] == kSaved || lines[i] == kNotOverwritten || lines[i] == kNotGenerated)
            return i > 0 ? lines.mid(i - 1) : lines.mid(i);
    }
    return {};
}

void TestWizard::controlsAndTabOrder()
{
    QCOMPARE(m_wizard->windowTitle(), QString("PVK2PFX Wizard"));
    QCOMPARE(m_wizard->size(), QSize(465, 350));
    QCOMPARE(m_wizard->palette().color(QPalette::Window), QColor(124, 159, 187));
    QCOMPARE(m_wizard->font().families(), m_main->font().families());
    QCOMPARE(m_wizard->font().pixelSize(), m_main->font().pixelSize());
    QVERIFY(m_wizard->isModal());

    struct Expected {
        const char *name;
        QRect bounds;
        QString text;
    };
    const Expected edits[] = {
        {"edPvkFileName", {63, 84, 314, 19}, {}},
        {"edPvkPassword", {63, 132, 340, 19}, {}},
        {"edSpcFilename", {63, 180, 314, 19}, {}},
        {"edNewPfxPassword", {63, 228, 165, 19}, {}},
        {"edNewPFXPasswordConfirm", {238, 228, 165, 19}, {}},
    };
    for (const Expected &e : edits) {
        auto *edit = m_wizard->findChild<QLineEdit *>(e.name);
        QVERIFY2(edit, e.name);
        QCOMPARE(edit->geometry(), e.bounds);
        QVERIFY(edit->text().isEmpty());
    }
    const Expected buttons[] = {
        {"btnPvkFileName", {383, 83, 20, 20}, "..."},
        {"btnSpcFilename", {383, 179, 20, 20}, "..."},
        {"btnMakePfx", {267, 308, 80, 27}, "Save &PFX"},
        {"btnExit", {355, 308, 80, 27}, "&Cancel"},
    };
    for (const Expected &e : buttons) {
        auto *button = m_wizard->findChild<QPushButton *>(e.name);
        QVERIFY2(button, e.name);
        QCOMPARE(button->geometry(), e.bounds);
        QCOMPARE(button->text(), e.text);
    }
    QVERIFY(!m_wizard->btnMakePfx->icon().isNull());
    QVERIFY(!m_wizard->btnExit->icon().isNull());
    const Expected labels[] = {
        {"lbPvkFileName", {63, 68, 0, 0}, "PVK File Path:"},
        {"lbPvkPassword", {63, 116, 0, 0}, "PVK File Password:"},
        {"lbSpcFilename", {63, 164, 0, 0}, "SPC File Path:"},
        {"lbNewPfxPassword", {63, 212, 0, 0}, "New PFX File Password (Optional):"},
        {"lbNewPFXPasswordConfirm", {238, 212, 0, 0}, "Confirm New PFX File Password:"},
    };
    for (const Expected &e : labels) {
        auto *label = m_wizard->findChild<QLabel *>(e.name);
        QVERIFY2(label, e.name);
        QCOMPARE(label->pos(), e.bounds.topLeft());
        QCOMPARE(label->text(), e.text);
        // The whole caption fits.
        QVERIFY(label->width() >= label->sizeHint().width());
    }
    QCOMPARE(m_wizard->lbCopyRight->pos(), QPoint(41, 315));
    QVERIFY(m_wizard->lbCopyRight->font().bold());
    QCOMPARE(m_wizard->lbCopyRight->cursor().shape(), Qt::PointingHandCursor);
    QCOMPARE(m_wizard->cbOverwriteOldPfxFile->text(), QString("Overwite Exisiting PFX File"));
    QCOMPARE(m_wizard->cbOverwriteOldPfxFile->pos(), QPoint(63, 262));
    QVERIFY(!m_wizard->cbOverwriteOldPfxFile->isChecked());

    // Path fields are read-only and skipped by Tab; the others are masked.
    QVERIFY(m_wizard->edPvkFileName->isReadOnly());
    QVERIFY(m_wizard->edSpcFilename->isReadOnly());
    QVERIFY(!(m_wizard->edPvkFileName->focusPolicy() & Qt::TabFocus));
    QVERIFY(!(m_wizard->edSpcFilename->focusPolicy() & Qt::TabFocus));
    for (QLineEdit *edit : {m_wizard->edPvkPassword, m_wizard->edNewPfxPassword,
                            m_wizard->edNewPFXPasswordConfirm})
        QCOMPARE(edit->echoMode(), QLineEdit::Password);

    QCOMPARE(m_wizard->edNewPfxPassword->toolTip(),
             QString("To add a new password to the PFX file enter it here, to\n"
                     "use the same password as in the PVK file leave it blank."));
    QCOMPARE(m_wizard->btnPvkFileName->toolTip(), m_wizard->edPvkFileName->toolTip());
    QCOMPARE(m_wizard->btnSpcFilename->toolTip(),
             QString("Select the SPC file you wish to use to make the PFX file."));
    QCOMPARE(m_wizard->btnExit->toolTip(), QString("Close the Pvk2Pfx Wizard Dialog."));

    // Tab walks the stops in their order and wraps around.
    QVERIFY(QTest::qWaitForWindowExposed(m_wizard));
    m_wizard->activateWindow();
    m_wizard->btnPvkFileName->setFocus();
    const QList<QWidget *> stops = {
        m_wizard->btnPvkFileName,        m_wizard->edPvkPassword, m_wizard->btnSpcFilename,
        m_wizard->edNewPfxPassword,      m_wizard->cbOverwriteOldPfxFile,
        m_wizard->btnMakePfx,            m_wizard->btnExit,
        m_wizard->edNewPFXPasswordConfirm, m_wizard->btnPvkFileName,
    };
    QTRY_COMPARE(QApplication::focusWidget(), stops.first());
    for (int i = 1; i < stops.size(); ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), stops[i]);
    }
}

void TestWizard::checksComeInOrderOnePerPress()
{
    // Tool missing with every field empty and no SDK folder: only the tool
    // message, naming the bare tool name.
    m_main->edPlatformSDKFolder->setText(QString());
    m_wizard->edNewPfxPassword->setText("a");
    pressSave();
    QCOMPARE(messages(),
             QStringList{"Sorry, unable to locate the Pvk2Pfx Tool in the following location:\n\n"
                         "pvk2pfx.exe\n\nYou need to re-install the MS Platform SDK or "
                         "re-select the correct folder path."});
    QCOMPARE(m_dialogs->get().messages.first().caption, QString("Information"));

    m_main->edPlatformSDKFolder->setText(QStringLiteral(QUILLMARK_SDK_BIN_DIR));
    pressSave();
    m_wizard->edPvkFileName->setText(path("x.pvk"));
    pressSave();
    m_wizard->edPvkPassword->setText("p");
    pressSave();
    m_wizard->edSpcFilename->setText(path("x.spc"));
    pressSave();
    QCOMPARE(messages().mid(1), (QStringList{"Please select the PVK file!",
                                             "Please enter the PVK file password!",
                                             "Please select the SPC file!",
                                             "Sorry, the New PFX file password entries do not "
                                             "match!"}));
    QVERIFY(m_dialogs->get().dialogs.isEmpty());
    QCOMPARE(m_watcher->shown, 0);
    QVERIFY(m_wizard->isVisible());
}

void TestWizard::bareToolNameIsLookedUpInTheCurrentFolder()
{
    m_main->edPlatformSDKFolder->setText(QString());
    QVERIFY(testdata::writeBytes(path("pvk2pfx.exe"), "not run"));
    pressSave();
    QCOMPARE(messages(), QStringList{"Please select the PVK file!"});
}

void TestWizard::newPasswordEntriesMustMatchExactly_data()
{
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("confirmation");
    QTest::addColumn<bool>("matches");
    QTest::newRow("confirmation only") << "" << "secret" << false;
    QTest::newRow("password only") << "secret" << "" << false;
    QTest::newRow("letter case differs") << "Secret" << "secret" << false;
    QTest::newRow("trailing blank differs") << "secret" << "secret " << false;
    QTest::newRow("both empty") << "" << "" << true;
    QTest::newRow("same") << "Secret" << "Secret" << true;
}

void TestWizard::newPasswordEntriesMustMatchExactly()
{
    QFETCH(QString, password);
    QFETCH(QString, confirmation);
    QFETCH(bool, matches);
    m_wizard->edPvkFileName->setText(path("x.pvk"));
    m_wizard->edPvkPassword->setText("p");
    m_wizard->edSpcFilename->setText(path("x.spc"));
    m_wizard->edNewPfxPassword->setText(password);
    m_wizard->edNewPFXPasswordConfirm->setText(confirmation);
    pressSave();   // the save dialog, if reached, is cancelled
    if (matches) {
        QVERIFY(messages().isEmpty());
        QCOMPARE(m_dialogs->get().dialogs.size(), 1);
    } else {
        QCOMPARE(messages(),
                 QStringList{"Sorry, the New PFX file password entries do not match!"});
        QVERIFY(m_dialogs->get().dialogs.isEmpty());
    }
    QCOMPARE(m_watcher->shown, 0);
    QVERIFY(m_wizard->isVisible());
}

void TestWizard::saveDialogAndOutputNames_data()
{
    QTest::addColumn<QString>("chosen");
    QTest::addColumn<QString>("output");
    QTest::newRow("no extension") << "out/Team" << "out/Team.pfx";
    QTest::newRow("upper case PFX") << "out/Team.PFX" << "out/Team.PFX.pfx";
    QTest::newRow("other extension") << "out/Team.p12" << "out/Team.p12.pfx";
    QTest::newRow("pfx kept") << "out/Team.pfx" << "out/Team.pfx";
    QTest::newRow("dot in a folder name only") << "out.pfx/Team" << "out.pfx/Team.pfx";
    QTest::newRow("trailing dot") << "out/Team." << "out/Team..pfx";
}

void TestWizard::saveDialogAndOutputNames()
{
    QFETCH(QString, chosen);
    QFETCH(QString, output);
    // Inputs the tool refuses, so the run is quick and writes nothing.
    m_wizard->edPvkFileName->setText(path("missing.pvk"));
    m_wizard->edPvkPassword->setText("p");
    m_wizard->edSpcFilename->setText(path("missing.spc"));
    m_dialogs->get().fileAnswers.enqueue(path(chosen));
    pressSave();

    QCOMPARE(m_dialogs->get().dialogs.size(), 1);
    const ShownDialog &save = m_dialogs->get().dialogs.first();
    QCOMPARE(save.kind, ShownDialog::SaveFile);
    QCOMPARE(save.caption, QString("Save your PFX file as..."));
    QCOMPARE(save.filter, QString("PFX file (*.pfx)"));
    QCOMPARE(save.defaultSuffix, QString("pfx"));
    QVERIFY(save.startPath.isEmpty());

    QCOMPARE(m_wizard->NewPfxFileName, path(output));
    QCOMPARE(PfxOutputName(path(chosen)), path(output));
    QCOMPARE(m_watcher->shown, 1);
    QCOMPARE(verdictLines(), (QStringList{QString(), kNotGenerated}));
    QVERIFY(!m_wizard->isVisible());
}

void TestWizard::openDialogPicksTheFilterAndRemembersTheFolder()
{
    QDir().mkpath(path("keys"));
    QDir().mkpath(path("certs"));
    m_dialogs->get().fileAnswers.enqueue(path("keys/a.pvk"));
    QTest::mouseClick(m_wizard->btnPvkFileName, Qt::LeftButton);
    m_dialogs->get().fileAnswers.enqueue(path("certs/a.spc"));
    QTest::mouseClick(m_wizard->btnSpcFilename, Qt::LeftButton);
    QTest::mouseClick(m_wizard->btnPvkFileName, Qt::LeftButton);   // cancelled

    const auto &shown = m_dialogs->get().dialogs;
    QCOMPARE(shown.size(), 3);
    // One filter text, PVK first, for both buttons; the entry of the file
    // asked for is the selected one.
    const QString filter = QStringLiteral("PVK (*.pvk);;SPC (*.spc)");
    QCOMPARE(shown[0].kind, ShownDialog::OpenFile);
    QCOMPARE(shown[0].filter, filter);
    QCOMPARE(shown[0].selectedFilter, QStringLiteral("PVK (*.pvk)"));
    QVERIFY(shown[0].startPath.isEmpty());
    QCOMPARE(shown[1].filter, filter);
    QCOMPARE(shown[1].selectedFilter, QStringLiteral("SPC (*.spc)"));
    QCOMPARE(shown[1].startPath, path("keys"));
    QCOMPARE(shown[2].filter, filter);
    QCOMPARE(shown[2].selectedFilter, QStringLiteral("PVK (*.pvk)"));
    QCOMPARE(shown[2].startPath, path("certs"));

    QCOMPARE(m_wizard->edPvkFileName->text(), path("keys/a.pvk"));
    QCOMPARE(m_wizard->edSpcFilename->text(), path("certs/a.spc"));
}

void TestWizard::argumentText()
{
    Pvk2PfxInputs inputs;
    inputs.pvkFileName = "/certs/Team.pvk";
    inputs.pvkPassword = "pass word";
    inputs.spcFileName = "/certs/Team.spc";
    QCOMPARE(BuildPvk2PfxArgs(inputs, "/out/Team.pfx"),
             QString(R"(-pvk "/certs/Team.pvk" -pi "pass word" -spc "/certs/Team.spc" )"
                     R"(-pfx "/out/Team.pfx" )"));
    inputs.newPfxPassword = "new";
    inputs.newPfxPasswordConfirm = "never passed";
    inputs.overwrite = true;
    QCOMPARE(BuildPvk2PfxArgs(inputs, "/out/Team.pfx"),
             QString(R"(-pvk "/certs/Team.pvk" -pi "pass word" -spc "/certs/Team.spc" )"
                     R"(-pfx "/out/Team.pfx" -po "new" -f)"));

    // The wizard's own method reads its controls and the last output name.
    m_main->edPlatformSDKFolder->setText("/sdk/bin/");
    QCOMPARE(m_wizard->GetPvk2PfxPath(), QString("/sdk/bin/pvk2pfx.exe"));
    m_wizard->edPvkFileName->setText("/k.pvk");
    m_wizard->edPvkPassword->setText("p");
    m_wizard->edSpcFilename->setText("/c.spc");
    m_wizard->NewPfxFileName = "/o.pfx";
    QCOMPARE(m_wizard->BuildPvk2PfxArgs(),
             QString(R"(-pvk "/k.pvk" -pi "p" -spc "/c.spc" -pfx "/o.pfx" )"));
    m_wizard->cbOverwriteOldPfxFile->setChecked(true);
    QVERIFY(m_wizard->BuildPvk2PfxArgs().endsWith(R"(-pfx "/o.pfx" -f)"));
}

void TestWizard::doubleQuotesAreRefusedBeforeAnythingRuns()
{
    fillInputs();
    m_wizard->edPvkPassword->setText("pa\"ss");
    pressSave();
    QCOMPARE(messages(), QStringList{"The PVK file password contains a double quote (\"), which "
                                     "cannot be passed to the conversion tool."});
    QVERIFY(m_dialogs->get().dialogs.isEmpty());

    m_wizard->edPvkPassword->setText("pvk secret");
    m_wizard->edNewPfxPassword->setText("n\"");
    m_wizard->edNewPFXPasswordConfirm->setText("n\"");
    pressSave();
    QVERIFY(messages().last().startsWith("The new PFX file password contains a double quote"));

    m_wizard->edNewPfxPassword->clear();
    m_wizard->edNewPFXPasswordConfirm->clear();
    m_dialogs->get().fileAnswers.enqueue(path("Te\"am"));
    pressSave();
    QCOMPARE(messages().last(), QString("The PFX file path contains a double quote (\"), which "
                                        "cannot be passed to the conversion tool."));
    QCOMPARE(m_watcher->shown, 0);
    QVERIFY(!QFile::exists(path("Te\"am.pfx")));
    QVERIFY(m_wizard->NewPfxFileName.isEmpty());
    QVERIFY(m_wizard->isVisible());
}

void TestWizard::newPfxIsSavedEndToEnd()
{
    fillInputs();
    m_dialogs->get().fileAnswers.enqueue(path("Team"));
    pressSave();

    QVERIFY(messages().isEmpty());
    QCOMPARE(m_watcher->shown, 1);
    // The tool's own report first, then the verdict.
    QVERIFY(m_watcher->linesAtShow.first().startsWith("The PFX file was written: "));
    QCOMPARE(verdictLines(), (QStringList{QString(), kSaved, QString(), path("Team.pfx")}));
    // The passwords never reach the console.
    QVERIFY(!m_watcher->linesAtShow.join('\n').contains("pvk secret"));
    const auto pfx = testdata::readPkcs12(path("Team.pfx"), "pvk secret");
    QVERIFY(pfx);
    QVERIFY(testdata::sameKey(*pfx, m_cert));
    QVERIFY(!m_wizard->isVisible());
}

void TestWizard::newPasswordProtectsThePfx()
{
    fillInputs();
    m_wizard->edNewPfxPassword->setText("New Secret");
    m_wizard->edNewPFXPasswordConfirm->setText("New Secret");
    m_dialogs->get().fileAnswers.enqueue(path("Team.pfx"));
    pressSave();
    QCOMPARE(verdictLines(), (QStringList{QString(), kSaved, QString(), path("Team.pfx")}));
    QVERIFY(testdata::readPkcs12(path("Team.pfx"), "New Secret"));
    QVERIFY(!testdata::readPkcs12(path("Team.pfx"), "pvk secret"));
}

void TestWizard::existingPfxIsKeptWithoutOverwrite()
{
    fillInputs();
    const QByteArray old = "an older PFX file";
    QVERIFY(testdata::writeBytes(path("Team.pfx"), old));
    m_dialogs->get().fileAnswers.enqueue(path("Team.pfx"));
    pressSave();
    QCOMPARE(verdictLines(),
             (QStringList{QString(), kNotOverwritten, QString(), path("Team.pfx")}));
    QCOMPARE(testdata::fileBytes(path("Team.pfx")), old);
}

void TestWizard::existingPfxIsRewrittenWithOverwrite()
{
    fillInputs();
    const QByteArray old = "an older PFX file";
    QVERIFY(testdata::writeBytes(path("Team.pfx"), old));
    m_wizard->cbOverwriteOldPfxFile->setChecked(true);
    m_dialogs->get().fileAnswers.enqueue(path("Team.pfx"));
    pressSave();
    QCOMPARE(verdictLines(), (QStringList{QString(), kSaved, QString(), path("Team.pfx")}));
    QVERIFY(testdata::fileBytes(path("Team.pfx")) != old);
    QVERIFY(testdata::readPkcs12(path("Team.pfx"), "pvk secret"));
}

// Anyone who may write the chosen folder can put a FIFO at the PFX name;
// the digests taken before and after the run must not wait on it.
void TestWizard::fifoAtThePfxPathIsNeverWaitedOn()
{
    fillInputs();
    FifoRescuer fifo(path("Team.pfx"));
    QVERIFY(fifo.made());
    m_dialogs->get().fileAnswers.enqueue(path("Team.pfx"));
    pressSave();
    QVERIFY2(!fifo.rescued(), "the wizard waited on a FIFO until it was freed");
    QCOMPARE(m_watcher->shown, 1);
    QCOMPARE(verdictLines(),
             (QStringList{QString(), kNotOverwritten, QString(), path("Team.pfx")}));
    QVERIFY(!QFileInfo(path("Team.pfx")).isFile());
}

void TestWizard::wrongPasswordGeneratesNothing()
{
    fillInputs(QStringLiteral("wrong"));
    m_dialogs->get().fileAnswers.enqueue(path("Team"));
    pressSave();
    QCOMPARE(verdictLines(), (QStringList{QString(), kNotGenerated}));
    QVERIFY(!QFile::exists(path("Team.pfx")));
    // The tool's own complaint comes first.
    QVERIFY(m_watcher->linesAtShow.size() > 2);
    QVERIFY(!m_wizard->isVisible());
}

void TestWizard::truncatedOutputIsNotReportedAsSaved()
{
    // A tool that fails half-way and leaves an empty file behind: the file
    // differs from the one before, but it is no PFX.
    const QString sdk = path("fake sdk/");
    QDir().mkpath(sdk);
    testfiles::writeScript(sdk + "pvk2pfx.exe", "echo converting\n: > \"$8\"\nexit 1\n");
    m_main->edPlatformSDKFolder->setText(sdk);
    fillInputs();
    QVERIFY(testdata::writeBytes(path("Team.pfx"), "an older PFX file"));
    m_wizard->cbOverwriteOldPfxFile->setChecked(true);
    m_dialogs->get().fileAnswers.enqueue(path("Team.pfx"));
    pressSave();
    QCOMPARE(m_watcher->linesAtShow,
             (QStringList{"converting", QString(), kNotGenerated}));

    // Nor is a new empty file one that "already exists".
    QFile::remove(path("Team.pfx"));
    m_wizard->show();
    m_dialogs->get().fileAnswers.enqueue(path("Team.pfx"));
    pressSave();
    QVERIFY(QFile::exists(path("Team.pfx")));
    QCOMPARE(verdictLines(), (QStringList{QString(), kNotGenerated}));
}

void TestWizard::toolThatCannotStartStillGivesAVerdict()
{
    const QString sdk = path("fake sdk/");
    QDir().mkpath(sdk);
    QVERIFY(testdata::writeBytes(sdk + "pvk2pfx.exe", "not a program"));
    m_main->edPlatformSDKFolder->setText(sdk);
    fillInputs();
    m_dialogs->get().fileAnswers.enqueue(path("Team"));
    pressSave();
    QCOMPARE(m_dialogs->get().messages.size(), 1);
    QVERIFY(messages().first().startsWith("Unable to retrieve the Console Output!"));
    QCOMPARE(m_watcher->linesAtShow, (QStringList{QString(), kNotGenerated}));
    QVERIFY(!m_wizard->isVisible());
}

void TestWizard::verdictTable_data()
{
    QTest::addColumn<bool>("existedBefore");
    QTest::addColumn<QString>("before");
    QTest::addColumn<bool>("existsAfter");
    QTest::addColumn<QString>("after");
    QTest::addColumn<int>("verdict");
    const int saved = int(PfxVerdict::Saved);
    const int kept = int(PfxVerdict::NotOverwritten);
    const int none = int(PfxVerdict::NotGenerated);
    QTest::newRow("absent, absent") << false << "" << false << "" << none;
    QTest::newRow("absent, written") << false << "" << true << "0badf00d" << saved;
    QTest::newRow("present, changed") << true << "11111111" << true << "22222222" << saved;
    QTest::newRow("present, same") << true << "11111111" << true << "11111111" << kept;
    QTest::newRow("present, removed") << true << "11111111" << false << "" << none;
    QTest::newRow("absent, unreadable") << false << "" << true << "" << none;
    QTest::newRow("present, now unreadable") << true << "11111111" << true << "" << none;
    QTest::newRow("unreadable, unreadable") << true << "" << true << "" << kept;
    QTest::newRow("unreadable, rewritten") << true << "" << true << "33333333" << saved;
}

void TestWizard::verdictTable()
{
    QFETCH(bool, existedBefore);
    QFETCH(QString, before);
    QFETCH(bool, existsAfter);
    QFETCH(QString, after);
    QFETCH(int, verdict);
    QCOMPARE(int(JudgePfxOutput({existedBefore, before}, {existsAfter, after})), verdict);
}

void TestWizard::escapeClosesWithoutRunningAnything()
{
    fillInputs();
    m_dialogs->get().fileAnswers.enqueue(path("Team"));
    m_wizard->hide();
    bool typedBeforeEscape = false;
    QTimer::singleShot(0, m_wizard, [&] {
        m_wizard->activateWindow();
        m_wizard->edNewPFXPasswordConfirm->setFocus();
        QTest::keyClick(m_wizard->edNewPFXPasswordConfirm, Qt::Key_X);
        typedBeforeEscape = m_wizard->edNewPFXPasswordConfirm->text() == "x";
        QTest::keyClick(m_wizard->edNewPFXPasswordConfirm, Qt::Key_Escape,
                        Qt::ControlModifier | Qt::ShiftModifier);
    });
    QTimer failsafe;
    failsafe.setSingleShot(true);
    connect(&failsafe, &QTimer::timeout, m_wizard, &QDialog::reject);
    failsafe.start(5000);
    m_main->btnPvk2PfxClick();
    QVERIFY(failsafe.isActive());
    QVERIFY(typedBeforeEscape);
    QVERIFY(!m_wizard->isVisible());
    QVERIFY(m_dialogs->get().dialogs.isEmpty());
    QVERIFY(messages().isEmpty());
    QCOMPARE(m_watcher->shown, 0);
    QVERIFY(!QFile::exists(path("Team.pfx")));
}

void TestWizard::reopenedWizardKeepsItsEntries()
{
    fillInputs();
    m_dialogs->get().fileAnswers.enqueue(path("Team"));
    pressSave();
    QVERIFY(!m_wizard->isVisible());
    m_wizard->edNewPfxPassword->setText("typed");
    m_wizard->cbOverwriteOldPfxFile->setChecked(true);

    QStringList seen;
    bool ticked = false;
    QTimer::singleShot(0, m_wizard, [&] {
        seen = {m_wizard->edPvkFileName->text(), m_wizard->edPvkPassword->text(),
                m_wizard->edSpcFilename->text(), m_wizard->edNewPfxPassword->text(),
                m_wizard->NewPfxFileName};
        ticked = m_wizard->cbOverwriteOldPfxFile->isChecked();
        QTest::mouseClick(m_wizard->btnExit, Qt::LeftButton);
    });
    m_main->lbPvk2PfxClick();
    QCOMPARE(seen, (QStringList{path("Team.pvk"), "pvk secret", path("Team.spc"), "typed",
                                path("Team.pfx")}));
    QVERIFY(ticked);
    QVERIFY(!m_wizard->isVisible());
}

void TestWizard::copyrightOpensTheWebSite()
{
    QTest::mouseClick(m_wizard->lbCopyRight, Qt::LeftButton);
    QCOMPARE(m_dialogs->get().openedUrls, QList<QUrl>{QUrl(TfrmMain::webSiteUrl())});
}

void TestWizard::startUpWiresTheWizardToTheMainWindowAndTheConsole()
{
    QTemporaryDir programFolder;
    StartupOptions options;
    options.programFolder = programFolder.path() + "/";
    options.identity = {0u, {}};
    QVERIFY(StartQuillmark(options));
    frmMain->edPlatformSDKFolder->setText(QStringLiteral(QUILLMARK_SDK_BIN_DIR));
    QCOMPARE(frmPvk2PfxWizard->GetPvk2PfxPath(), testdata::sdkToolPath("pvk2pfx.exe"));

    // A refused run reaches the console, opened from the main window.
    ConsoleWatcher watcher(frmConsoleOutput);
    QTimer::singleShot(0, frmPvk2PfxWizard, [] {
        frmPvk2PfxWizard->edPvkFileName->setText("/missing.pvk");
        frmPvk2PfxWizard->edPvkPassword->setText("p");
        frmPvk2PfxWizard->edSpcFilename->setText("/missing.spc");
        QTest::mouseClick(frmPvk2PfxWizard->btnMakePfx, Qt::LeftButton);
    });
    m_dialogs->get().fileAnswers.enqueue(path("Team"));
    frmMain->btnPvk2PfxClick();
    QCOMPARE(watcher.shown, 1);
    QCOMPARE(watcher.linesAtShow.last(), kNotGenerated);
    QVERIFY(!frmPvk2PfxWizard->isVisible());
    DestroyQuillmarkWindows();
}

QTEST_MAIN(TestWizard)
#include "tst_wizard.moc"
