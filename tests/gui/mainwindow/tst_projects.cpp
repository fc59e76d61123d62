// Signing projects through the real main window: saving, the project list,
// loading by a user's pick, and what a load leaves in the project file.

#include "mainwindow/u_frmMain.h"
#include "filelist/TDivFileList.h"
#include "platform/Platform.h"
#include "support/FileContents.h"
#include "support/FifoRescuer.h"
#include "support/MainWindowFixture.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QAbstractItemView>
#include <QWheelEvent>
#include <QtTest>


namespace {

using testfiles::readAll;
using testfiles::writeAll;

// One notch of a real mouse wheel over the widget (down for a negative
// delta), delivered as the window system delivers it, so the application
// gives the focus by the widget's focus policy as it would.
void wheelNotch(QWidget *widget, int delta)
{
    const QPointF at = QRectF(widget->rect()).center();
    QWheelEvent event(at, widget->mapToGlobal(at), QPoint(), QPoint(0, delta), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QSpontaneKeyEvent::setSpontaneous(&event);
    qApp->notify(widget, &event);
}

// Makes a file whose full path is exactly `length` bytes, below `base`,
// through as many folders as names may be long.
QString fileWithPathLength(const QString &base, int length)
{
    QString path = base;
    while (length - path.size() > 201)
        path += "/" + QString(199, u'd');
    path += "/" + QString(length - path.size() - 1, u'f');
    QDir().mkpath(path.left(path.lastIndexOf(u'/')));
    writeAll(path, "MZ");
    return path;
}

} // namespace

class TestProjects : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void listShowsSortedNamesWithNothingSelected();
    void firstSaveCreatesTheFolderWritesKeysInOrderAndSelects();
    void savedElsewhereOrUnderAnotherExtensionIsNotListed();
    void savingOverAProjectKeepsItsOtherLines();
    void loadSetsOptionsButNotSdkFolderOrPassword();
    void wheelWithoutFocusLeavesTheListAlone();
    void wheelStepWithTheFocusLoadsWhatItLandsOn();
    void clickInTheOpenListLoads();
    void loadStopsAtTheFirstGapAndKeepsWhatItDidNotRead();
    void loadReadsAtMostAThousandEntries();
    void hundredThousandEntriesLoadAsFewDo();
    void unreadEntriesOfEverySectionAreKept();
    void missingFilesAreReportedAndDropped_data();
    void missingFilesAreReportedAndDropped();
    void samePathTwiceLoadsAndStaysOnce();
    void fileNameEndingInABlankSurvivesSaveAndLoad();
    void missingProjectChangesNothing();
    void oversizedProjectIsRefusedUnread();
    void pathsThatAreNotUtf8LoadAsTheirOwnFiles();
    void unwritableProjectIsReportedAfterLoading();
    void projectsFolderThatCannotBeMadeStillLetsTheUserSave();
    void saveIntoAnUnwritablePlace();
    void pathsThatCannotBeReadBackRefuseTheSave();
    void readOnlyProjectIsNotOverwritten();

private:
    QString projects() const { return m_fixture->folder() + "/Projects/"; }
    QString makeFile(const QString &name);
    void pick(const QString &name);
    void save(const QString &answer);
    void showWindow();
    template <typename T = QWidget> T *find(const char *name) { return m_fixture->find<T>(name); }
    ScriptedDialogs &dialogs() { return m_fixture->dialogs(); }

    MainWindowFixture *m_fixture = nullptr;
};

void TestProjects::init()
{
    m_fixture = new MainWindowFixture;
}

void TestProjects::cleanup()
{
    delete m_fixture;
    m_fixture = nullptr;
}

QString TestProjects::makeFile(const QString &name)
{
    QDir().mkpath(m_fixture->folder() + "/files");
    const QString path = m_fixture->folder() + "/files/" + name;
    writeAll(path, "MZ");
    return path;
}

// As a user picks: the keyboard moves the selection, which is what the
// combo box reports as the user's choice.
void TestProjects::pick(const QString &name)
{
    auto *combo = find<QComboBox>("cbxProject");
    const int index = combo->findText(name);
    QVERIFY(index >= 0);
    combo->setCurrentIndex(index - 1);
    QTest::keyClick(combo, Qt::Key_Down);
    QCOMPARE(combo->currentText(), name);
}

void TestProjects::showWindow()
{
    m_fixture->start()->show();
    QApplication::setActiveWindow(m_fixture->window);
    QVERIFY(QTest::qWaitForWindowActive(m_fixture->window));
}

void TestProjects::save(const QString &answer)
{
    dialogs().fileAnswers.enqueue(answer);
    m_fixture->window->btnSaveProjectClick();
}

void TestProjects::listShowsSortedNamesWithNothingSelected()
{
    QDir().mkpath(projects());
    for (const char *name : {"zeta.qmk", "a-b.qmk", "a.qmk", "B.qmk", "notes.txt", "loud.QMK"})
        writeAll(projects() + name, "");
    m_fixture->start();
    auto *combo = find<QComboBox>("cbxProject");
    QStringList items;
    for (int i = 0; i < combo->count(); ++i)
        items << combo->itemText(i);
    QCOMPARE(items, QStringList({"a", "a-b", "B", "zeta"}));
    QCOMPARE(combo->currentIndex(), -1);
}

void TestProjects::firstSaveCreatesTheFolderWritesKeysInOrderAndSelects()
{
    m_fixture->start();
    QCOMPARE(find<QComboBox>("cbxProject")->count(), 0);
    QVERIFY(!QFileInfo::exists(projects()));

    const QString a = makeFile("a.exe"), b = makeFile("b.exe");
    m_fixture->window->DivDropFilesDrop({a, b});
    find<QLineEdit>("edPlatformSDKFolder")->setText("/sdk/bin/");
    find<QCheckBox>("cbUsePFXFile")->setChecked(true);
    find<QLineEdit>("edCertName")->setText("/keys/cert.pfx");
    find<QLineEdit>("edPassword")->setText("secret");
    find<QCheckBox>("cbAddDesc")->setChecked(true);
    find<QLineEdit>("edAddDesc")->setText("My app");
    find<QLineEdit>("edTimeStampURL")->setText("http://ts.example");

    QSignalSpy listChanges(m_fixture->window->DivFileList, &TDivFileList::changed);
    save(projects() + "Nightly.qmk");

    QCOMPARE(dialogs().dialogs.size(), 1);
    const ShownDialog shown = dialogs().dialogs.first();
    QCOMPARE(shown.kind, ShownDialog::SaveFile);
    QCOMPARE(shown.caption, QStringLiteral("Save as Quillmark Project..."));
    QCOMPARE(shown.filter, QStringLiteral("QMK Project (*.qmk)"));
    QCOMPARE(shown.defaultSuffix, QStringLiteral("qmk"));
    QCOMPARE(shown.startPath, projects());

    QCOMPARE(readAll(projects() + "Nightly.qmk"),
             "[Settings]\nUseBestCert=0\nUsePFXFile=1\nPFXFilename=/keys/cert.pfx\n"
             "AddDescription=1\nDescriptionText=My app\nDescriptionURL=\nTimeStamp=0\n"
             "TimeStampURL=http://ts.example\nVerboseOutput=1\nAddCmdLineToConsole=0\n"
             "KeepWndTopMost=0\n[Files]\nFile.0="
                 + a.toUtf8() + "\nFile.1=" + b.toUtf8() + "\n");
    auto *combo = find<QComboBox>("cbxProject");
    QCOMPARE(combo->count(), 1);
    QCOMPARE(combo->currentText(), QStringLiteral("Nightly"));
    QCOMPARE(listChanges.count(), 0);   // selected, not loaded
    QVERIFY(dialogs().messages.isEmpty());
}

void TestProjects::savedElsewhereOrUnderAnotherExtensionIsNotListed()
{
    QDir().mkpath(projects());
    writeAll(projects() + "Other.qmk", "");
    m_fixture->start();
    save(projects() + "Nightly.txt");
    QVERIFY(QFileInfo::exists(projects() + "Nightly.txt"));
    auto *combo = find<QComboBox>("cbxProject");
    QCOMPARE(combo->count(), 1);
    QCOMPARE(combo->currentIndex(), -1);

    // Elsewhere, but a listed project has the same name: that one is selected.
    save(m_fixture->folder() + "/Other.qmk");
    QVERIFY(QFileInfo::exists(m_fixture->folder() + "/Other.qmk"));
    QCOMPARE(readAll(projects() + "Other.qmk"), QByteArray());
    QCOMPARE(combo->currentText(), QStringLiteral("Other"));
}

void TestProjects::savingOverAProjectKeepsItsOtherLines()
{
    QDir().mkpath(projects());
    writeAll(projects() + "Job.qmk", "[Files]\nFile.0=/old\n[Settings]\nVerboseOutput=0\n"
                                     "SDKBinFolder=/keep/me\nCustom=x\n[Other]\nKey=v\n");
    m_fixture->start();
    const QString a = makeFile("a.exe");
    m_fixture->window->DivDropFilesDrop({a});
    save(projects() + "Job.qmk");
    QCOMPARE(readAll(projects() + "Job.qmk"),
             "[Settings]\nVerboseOutput=1\nSDKBinFolder=/keep/me\nCustom=x\nUseBestCert=1\n"
             "UsePFXFile=0\nPFXFilename=\nAddDescription=0\nDescriptionText=\n"
             "DescriptionURL=\nTimeStamp=0\nTimeStampURL=\nAddCmdLineToConsole=0\n"
             "KeepWndTopMost=0\n[Other]\nKey=v\n[Files]\nFile.0="
                 + a.toUtf8() + "\n");
}

void TestProjects::loadSetsOptionsButNotSdkFolderOrPassword()
{
    QDir().mkpath(projects());
    const QByteArray project = "[Settings]\nUseBestCert=1\nUsePFXFile=1\nPFXFilename=/p.pfx\n"
                               "TimeStamp=1\nTimeStampURL= \"http://ts\" \nVerboseOutput=0\n"
                               "KeepWndTopMost=1\nSDKBinFolder=/from/project/\n";
    writeAll(projects() + "Empty.qmk", project);
    m_fixture->start();
    m_fixture->window->DivDropFilesDrop({makeFile("a.exe")});
    find<QLineEdit>("edPlatformSDKFolder")->setText("/sdk/");
    find<QLineEdit>("edPassword")->setText("secret");
    find<QCheckBox>("cbAddDesc")->setChecked(true);

    pick("Empty");
    QCOMPARE(m_fixture->window->DivFileList->count(), 0);
    QCOMPARE(find<QLabel>("lbDivFileList")->text(),
             QStringLiteral("Files to be Digitally Signed: (0)"));
    QVERIFY(find<QCheckBox>("cbUsePFXFile")->isChecked());
    QVERIFY(!find<QCheckBox>("cbSelectBestCert")->isChecked());
    QVERIFY(find("edCertName")->isEnabled());
    QCOMPARE(find<QLineEdit>("edCertName")->text(), QStringLiteral("/p.pfx"));
    QVERIFY(find("edTimeStampURL")->isEnabled());
    QCOMPARE(find<QLineEdit>("edTimeStampURL")->text(), QStringLiteral("http://ts"));
    QVERIFY(!find<QCheckBox>("cbVerboseOutput")->isChecked());
    QVERIFY(!find<QCheckBox>("cbAddDesc")->isChecked());   // missing: the default
    QVERIFY(!find("edAddDesc")->isEnabled());
    QVERIFY(m_fixture->window->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    QCOMPARE(find<QLineEdit>("edPlatformSDKFolder")->text(), QStringLiteral("/sdk/"));
    QCOMPARE(find<QLineEdit>("edPassword")->text(), QStringLiteral("secret"));
    QCOMPARE(find<QComboBox>("cbxProject")->currentText(), QStringLiteral("Empty"));
    QCOMPARE(readAll(projects() + "Empty.qmk"), project);   // nothing to rewrite
}

void TestProjects::wheelWithoutFocusLeavesTheListAlone()
{
    QDir().mkpath(projects());
    writeAll(projects() + "Alpha.qmk", "[Settings]\nAddDescription=1\nDescriptionText=alpha\n");
    writeAll(projects() + "Beta.qmk", "[Settings]\nAddDescription=1\nDescriptionText=beta\n");
    showWindow();
    m_fixture->window->DivDropFilesDrop({makeFile("a.exe")});
    auto *combo = find<QComboBox>("cbxProject");
    find("cbVerboseOutput")->setFocus();

    for (int delta : {-120, -120, 120}) {
        wheelNotch(combo, delta);
        QVERIFY2(!combo->hasFocus(), "the wheel gave the project list the focus");
        QCOMPARE(combo->currentIndex(), -1);
    }
    QVERIFY(!find<QCheckBox>("cbAddDesc")->isChecked());
    QCOMPARE(m_fixture->window->DivFileList->count(), 1);
}

// With the focus, a wheel step behaves as an arrow key: the name it lands
// on is loaded, so the drop-down never names a project that is not loaded.
void TestProjects::wheelStepWithTheFocusLoadsWhatItLandsOn()
{
    QDir().mkpath(projects());
    writeAll(projects() + "Alpha.qmk", "[Settings]\nAddDescription=1\nDescriptionText=alpha\n");
    writeAll(projects() + "Beta.qmk", "[Settings]\nAddDescription=1\nDescriptionText=beta\n");
    showWindow();
    m_fixture->window->DivDropFilesDrop({makeFile("a.exe")});
    auto *combo = find<QComboBox>("cbxProject");
    combo->setFocus();
    QVERIFY(combo->hasFocus());

    wheelNotch(combo, -120);
    QCOMPARE(combo->currentText(), QStringLiteral("Alpha"));
    QCOMPARE(find<QLineEdit>("edAddDesc")->text(), QStringLiteral("alpha"));
    QVERIFY(find<QCheckBox>("cbAddDesc")->isChecked());
    QCOMPARE(m_fixture->window->DivFileList->count(), 0);
    wheelNotch(combo, -120);
    QCOMPARE(combo->currentText(), QStringLiteral("Beta"));
    QCOMPARE(find<QLineEdit>("edAddDesc")->text(), QStringLiteral("beta"));
    wheelNotch(combo, 120);
    QCOMPARE(combo->currentText(), QStringLiteral("Alpha"));
    QCOMPARE(find<QLineEdit>("edAddDesc")->text(), QStringLiteral("alpha"));

    // A key does the same.
    QTest::keyClick(combo, Qt::Key_Down);
    QCOMPARE(find<QLineEdit>("edAddDesc")->text(), QStringLiteral("beta"));
}

void TestProjects::clickInTheOpenListLoads()
{
    QDir().mkpath(projects());
    writeAll(projects() + "Alpha.qmk", "[Settings]\nAddDescription=1\nDescriptionText=alpha\n");
    writeAll(projects() + "Beta.qmk", "[Settings]\nAddDescription=1\nDescriptionText=beta\n");
    showWindow();
    auto *combo = find<QComboBox>("cbxProject");
    combo->showPopup();
    QAbstractItemView *view = combo->view();
    QVERIFY(QTest::qWaitForWindowExposed(view->window()));
    // A release right after the list opened counts as the opening click.
    QTest::qWait(QApplication::doubleClickInterval() + 50);
    const QRect beta = view->visualRect(view->model()->index(1, 0));
    QTest::mouseMove(view->viewport(), beta.center());
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, beta.center());
    QCOMPARE(combo->currentText(), QStringLiteral("Beta"));
    QCOMPARE(find<QLineEdit>("edAddDesc")->text(), QStringLiteral("beta"));
}

void TestProjects::loadStopsAtTheFirstGapAndKeepsWhatItDidNotRead()
{
    QDir().mkpath(projects());
    const QString a = makeFile("a.exe"), b = makeFile("b.exe"), d = makeFile("d.exe");
    writeAll(projects() + "Gap.qmk", "[Files]\nFile.0=" + a.toUtf8() + "\nFile.1=/gone\nFile.2="
                                         + b.toUtf8() + "\nFile.4= \"" + d.toUtf8() + "\" \n");
    m_fixture->start();
    pick("Gap");
    QCOMPARE(m_fixture->window->DivFileList->count(), 2);
    QCOMPARE(dialogs().messages.size(), 1);
    // The entry past the gap stays as it was, still past a gap.
    const QByteArray expected = "[Files]\nFile.0=" + a.toUtf8() + "\nFile.1=" + b.toUtf8()
        + "\nFile.4=\"" + d.toUtf8() + "\"\n";
    QCOMPARE(readAll(projects() + "Gap.qmk"), expected);
    pick("Gap");
    QCOMPARE(m_fixture->window->DivFileList->count(), 2);
    QCOMPARE(readAll(projects() + "Gap.qmk"), expected);
}

void TestProjects::loadReadsAtMostAThousandEntries()
{
    QDir().mkpath(projects());
    QByteArray project = "[Files]\n";
    for (int n = 0; n < 1002; ++n)
        project += "File." + QByteArray::number(n) + "=/gone/" + QByteArray::number(n) + "\n";
    writeAll(projects() + "Big.qmk", project);
    m_fixture->start();
    dialogs().messageAnswers.enqueue(DialogButton::All);
    pick("Big");
    QCOMPARE(dialogs().messages.size(), 1);
    // The thousand that were read are gone; the two beyond were never read.
    QCOMPARE(readAll(projects() + "Big.qmk"),
             QByteArray("[Files]\nFile.1000=/gone/1000\nFile.1001=/gone/1001\n"));
}

// A project far longer than a load reads: the same boxes, the same list,
// and every entry past the gap kept byte for byte after the loaded ones.
// (How long it takes is measured in the file-list benchmark.)
void TestProjects::hundredThousandEntriesLoadAsFewDo()
{
    QDir().mkpath(projects());
    const int entries = 100000;
    const int readable = 25;   // File.0 to File.24, then the gap at File.25
    QByteArray project = "[Settings]\nVerboseOutput=0\n\n[Files]\n";
    QByteArray expectedListed;
    QByteArray expectedUnread;
    QStringList missing;
    int listed = 0;
    for (int n = 0; n <= entries; ++n) {
        if (n == readable)
            continue;
        const QByteArray key = "File." + QByteArray::number(n);
        if (n < readable && n % 5 == 3) {
            const QString gone = m_fixture->folder() + "/gone/" + QString::number(n) + ".exe";
            missing << gone;
            project += key + "=" + gone.toUtf8() + "\n";
        } else if (n < readable) {
            const QByteArray file = makeFile(QString::number(n) + ".exe").toUtf8();
            project += key + "=" + file + "\n";
            expectedListed += "File." + QByteArray::number(listed++) + "=" + file + "\n";
        } else {
            // Unread values are kept as stored, blanks around them aside.
            const QByteArray value = n % 1000 == 0 ? "  \"/q/" + QByteArray::number(n) + "\"  "
                                                   : "/far/" + QByteArray::number(n) + ".exe";
            project += key + "=" + value + "\n";
            expectedUnread += key + "=" + value.trimmed() + "\n";
        }
    }
    writeAll(projects() + "Huge.qmk", project);
    m_fixture->start();
    dialogs().messageAnswers.enqueue(DialogButton::Ok);
    dialogs().messageAnswers.enqueue(DialogButton::All);
    pick("Huge");

    QCOMPARE(missing.size(), 5);
    QCOMPARE(dialogs().messages.size(), 2);
    QVERIFY(dialogs().messages.at(1).text.contains(missing.at(1)));
    QCOMPARE(m_fixture->window->DivFileList->count(), readable - 5);
    QCOMPARE(find<QLabel>("lbDivFileList")->text(),
             QStringLiteral("Files to be Digitally Signed: (20)"));
    QVERIFY(!find<QCheckBox>("cbVerboseOutput")->isChecked());
    const QByteArray written = readAll(projects() + "Huge.qmk");
    QCOMPARE(written.size(), QByteArray("[Settings]\nVerboseOutput=0\n\n[Files]\n").size()
                                 + expectedListed.size() + expectedUnread.size());
    QVERIFY(written == "[Settings]\nVerboseOutput=0\n\n[Files]\n" + expectedListed + expectedUnread);

    // A second load reads the same twenty and leaves the file as it is.
    pick("Huge");
    QCOMPARE(m_fixture->window->DivFileList->count(), readable - 5);
    QCOMPARE(dialogs().messages.size(), 2);
    QVERIFY(readAll(projects() + "Huge.qmk") == written);
}

// A file written elsewhere: a byte-order mark, CR LF line ends, a comment,
// and a second [files] section. A load reads the first section only, and
// what it did not read, from either, stays (a name's first key only).
void TestProjects::unreadEntriesOfEverySectionAreKept()
{
    QDir().mkpath(projects());
    const QByteArray a = makeFile("a.exe").toUtf8();
    writeAll(projects() + "Mixed.qmk",
             "\xEF\xBB\xBF[Files]\r\nFile.0=" + a + "\r\n; comment\r\nFile.2=/past/gap\r\n"
             "[Other]\r\nx=1\r\n[files]\r\nFILE.7 = /seven \r\nfile.2=dup\r\n"
             "File.1=/second/section\r\n");
    m_fixture->start();
    pick("Mixed");
    QCOMPARE(m_fixture->window->DivFileList->count(), 1);
    QVERIFY(dialogs().messages.isEmpty());
    QCOMPARE(readAll(projects() + "Mixed.qmk"),
             "\xEF\xBB\xBF[Other]\r\nx=1\r\n[Files]\r\nFile.0=" + a
                 + "\r\nFile.2=/past/gap\r\nFILE.7=/seven\r\nFile.1=/second/section\r\n");
}

void TestProjects::missingFilesAreReportedAndDropped_data()
{
    QTest::addColumn<bool>("answerAll");
    QTest::addColumn<int>("boxes");
    QTest::newRow("OK each time") << false << 3;
    QTest::newRow("All at once") << true << 1;
}

void TestProjects::missingFilesAreReportedAndDropped()
{
    QFETCH(bool, answerAll);
    QFETCH(int, boxes);
    QDir().mkpath(projects());
    const QString a = makeFile("a.exe");
    const QString gone = m_fixture->folder() + "/gone/";
    writeAll(projects() + "P.qmk", "[Files]\nFile.0=" + gone.toUtf8() + "1.exe\nFile.1=" + a.toUtf8()
                                       + "\nFile.2=" + gone.toUtf8() + "2.exe\nFile.3="
                                       + gone.toUtf8() + "3.exe\n");
    m_fixture->start();
    dialogs().messageAnswers.enqueue(answerAll ? DialogButton::All : DialogButton::Ok);
    pick("P");
    QCOMPARE(dialogs().messages.size(), boxes);
    const ShownMessage first = dialogs().messages.first();
    QCOMPARE(first.kind, MessageKind::Warning);
    QCOMPARE(first.caption, QStringLiteral("Warning"));
    QCOMPARE(first.buttons, DialogButton::Ok | DialogButton::All);
    QCOMPARE(first.text, "This file was not found, it may have been moved or deleted:\n\n" + gone
                 + "1.exe\n\nIt will now be removed from the project file list.");
    QCOMPARE(m_fixture->window->DivFileList->count(), 1);
    QCOMPARE(readAll(projects() + "P.qmk"), "[Files]\nFile.0=" + a.toUtf8() + "\n");
}

void TestProjects::samePathTwiceLoadsAndStaysOnce()
{
    QDir().mkpath(projects());
    const QString a = makeFile("a.exe");
    const QString otherSpelling = m_fixture->folder() + "/files/../files/a.exe";
    writeAll(projects() + "Twice.qmk", "[Files]\nFile.0=" + a.toUtf8() + "\nFile.1=" + a.toUtf8()
                                           + "\nFile.2=" + otherSpelling.toUtf8() + "\n");
    m_fixture->start();
    pick("Twice");
    QCOMPARE(m_fixture->window->DivFileList->count(), 1);
    QCOMPARE(readAll(projects() + "Twice.qmk"), "[Files]\nFile.0=" + a.toUtf8() + "\n");
}

void TestProjects::fileNameEndingInABlankSurvivesSaveAndLoad()
{
    m_fixture->start();
    const QString plain = makeFile("a.exe"), padded = makeFile("b.exe ");
    m_fixture->window->DivDropFilesDrop({plain, padded});
    save(projects() + "Blank.qmk");
    const QByteArray written = "File.0=" + plain.toUtf8() + "\nFile.1=\"" + padded.toUtf8() + "\"\n";
    QVERIFY(readAll(projects() + "Blank.qmk").endsWith(written));

    pick("Blank");
    QVERIFY(dialogs().messages.isEmpty());
    QCOMPARE(m_fixture->window->DivFileList->count(), 2);
    QCOMPARE(m_fixture->window->DivFileList->fullPath(1), padded);
    QVERIFY(readAll(projects() + "Blank.qmk").endsWith(written));
}

void TestProjects::missingProjectChangesNothing()
{
    QDir().mkpath(projects());
    writeAll(projects() + "Stale.qmk", "[Settings]\nVerboseOutput=0\n");
    QDir().mkpath(projects() + "Folder.qmk");
    // Anyone who may write the Projects folder can put a FIFO there; an
    // open that waits for a writer would hang the window for good.
    FifoRescuer fifo(projects() + "Fifo.qmk");
    QVERIFY(fifo.made());
    m_fixture->start();
    m_fixture->window->DivDropFilesDrop({makeFile("a.exe")});
    QFile::remove(projects() + "Stale.qmk");
    for (const char *name : {"Stale", "Folder", "Fifo"}) {
        pick(name);
        QCOMPARE(dialogs().messageTexts().constLast(),
                 QStringLiteral("Sorry, unable to find this project file!"));
        QCOMPARE(m_fixture->window->DivFileList->count(), 1);
        QVERIFY(find<QCheckBox>("cbVerboseOutput")->isChecked());
    }
    QVERIFY2(!fifo.rescued(), "the load waited on a FIFO until it was freed");
    QCOMPARE(dialogs().messages.size(), 3);
}

// A project file of more than 4 MiB is refused by its size: nothing loads,
// the list and options stay, and the file is not rewritten.
void TestProjects::oversizedProjectIsRefusedUnread()
{
    QDir().mkpath(projects());
    QByteArray huge = "[Settings]\nVerboseOutput=0\n\n[Files]\nFile.0=/nowhere/a.exe\n";
    huge += "; " + QByteArray(4 * 1024 * 1024, 'x') + "\n";
    writeAll(projects() + "Huge.qmk", huge);
    m_fixture->start();
    m_fixture->window->DivDropFilesDrop({makeFile("a.exe")});
    pick("Huge");
    QCOMPARE(dialogs().messageTexts().constLast(),
             QStringLiteral("The project file %1 cannot be read: it is larger than 4 MiB.")
                 .arg(projects() + "Huge.qmk"));
    QCOMPARE(m_fixture->window->DivFileList->count(), 1);
    QVERIFY(find<QCheckBox>("cbVerboseOutput")->isChecked());
    QVERIFY(readAll(projects() + "Huge.qmk") == huge);
}

// Paths with the Latin-1 byte E9, as an older version or a person wrote
// them: each loads as the file its bytes name, and every entry, read or
// not, is written back byte for byte.
void TestProjects::pathsThatAreNotUtf8LoadAsTheirOwnFiles()
{
    QDir().mkpath(projects());
    const QString a = makeFile("a.exe");
    const QByteArray folder = QFile::encodeName(m_fixture->folder()) + "/files/";
    const QByteArray latin1 = folder + "caf\xE9.exe";
    // Qt's own file functions cannot name these files; the platform's can.
    QCOMPARE(platform::rewriteFile(platform::decodeFileName(latin1), "MZ"), 0);
    // A decoy under the name Qt would make of the Latin-1 one.
    makeFile(QString::fromUtf8("caf\uFFFD.exe"));
    const QByteArray pfx = "/keys/caf\xE9.pfx";
    const QByteArray project = "[Settings]\nUsePFXFile=1\nPFXFilename=" + pfx + "\n[Files]\nFile.0="
        + latin1 + "\nFile.1=" + a.toUtf8() + "\nFile.3=/past/the/gap/\xE9.exe\nFil\xE9.0=/other\n";
    writeAll(projects() + "Latin.qmk", project);
    m_fixture->start();
    pick("Latin");

    QVERIFY2(dialogs().messages.isEmpty(), qPrintable(dialogs().messageTexts().join('|')));
    auto *list = m_fixture->window->DivFileList;
    QCOMPARE(list->count(), 2);
    QCOMPARE(list->fullPath(0), platform::decodeFileName(latin1));
    QCOMPARE(find<QLineEdit>("edCertName")->text(), platform::decodeFileName(pfx));
    QCOMPARE(readAll(projects() + "Latin.qmk"), project);

    // Saved again, the same bytes; loaded again, the same files.
    save(projects() + "Again.qmk");
    QVERIFY(readAll(projects() + "Again.qmk").contains("\nPFXFilename=" + pfx + "\n"));
    QVERIFY(readAll(projects() + "Again.qmk").endsWith("[Files]\nFile.0=" + latin1 + "\nFile.1=" + a.toUtf8() + "\n"));
    list->clear();
    pick("Again");
    QCOMPARE(list->count(), 2);
    QCOMPARE(list->fullPath(0), platform::decodeFileName(latin1));
    QVERIFY(dialogs().messages.isEmpty());

    // A project whose own name is not UTF-8 is listed, shown as a person
    // reads it, and loads.
    writeAll(projects() + "plain.qmk", "");
    QCOMPARE(platform::rewriteFile(platform::decodeFileName(QFile::encodeName(projects())
                                                            + "Caf\xE9.qmk"),
                                   "[Files]\nFile.0=" + a.toUtf8() + "\n"),
             0);
    m_fixture->window->FillProjectList();
    auto *combo = find<QComboBox>("cbxProject");
    QVERIFY2(combo->findText(QString::fromUtf8("Caf\uFFFD")) >= 0, "not listed");
    list->clear();
    pick(QString::fromUtf8("Caf\uFFFD"));
    QCOMPARE(list->count(), 1);
    QCOMPARE(list->fullPath(0), a);
    QVERIFY(dialogs().messages.isEmpty());

    // A missing one is named as the file list would show it.
    const QByteArray gone = folder + "gone\xE9.exe";
    writeAll(projects() + "Gone.qmk", "[Files]\nFile.0=" + gone + "\n");
    m_fixture->window->FillProjectList();
    pick("Gone");
    QCOMPARE(dialogs().messageTexts(),
             QStringList("This file was not found, it may have been moved or deleted:\n\n"
                         + QFile::decodeName(gone)
                         + "\n\nIt will now be removed from the project file list."));
}

void TestProjects::unwritableProjectIsReportedAfterLoading()
{
    QDir().mkpath(projects());
    const QString a = makeFile("a.exe");
    const QByteArray project = "[Settings]\nTimeStamp=1\n[Files]\nFile.0=/gone.exe\nFile.1="
        + a.toUtf8() + "\n";
    writeAll(projects() + "P.qmk", project);
    m_fixture->start();
    // While the not-found box is up, the Projects folder is moved away and a
    // plain file takes its name: the rewrite cannot land, not even as root.
    const QString moved = m_fixture->folder() + "/Moved";
    dialogs().onMessage = [&](const ShownMessage &) {
        if (QDir().rename(projects(), moved))
            writeAll(m_fixture->folder() + "/Projects", "");
    };
    pick("P");
    QVERIFY(find<QCheckBox>("cbTimeStamp")->isChecked());
    QCOMPARE(m_fixture->window->DivFileList->count(), 1);
    QCOMPARE(find<QLabel>("lbDivFileList")->text(),
             QStringLiteral("Files to be Digitally Signed: (1)"));
    QCOMPARE(dialogs().messages.size(), 2);
    const ShownMessage error = dialogs().messages.at(1);
    QCOMPARE(error.kind, MessageKind::Error);
    QCOMPARE(error.caption, QStringLiteral("Quillmark"));
    QCOMPARE(error.text, "Unable to write to " + projects() + "P.qmk.");
    QCOMPARE(readAll(moved + "/P.qmk"), project);
}

void TestProjects::projectsFolderThatCannotBeMadeStillLetsTheUserSave()
{
    // A plain file named "Projects" beside the program: the folder cannot be
    // made, which stops nothing; the dialog opens and the user saves
    // elsewhere.
    writeAll(m_fixture->folder() + "/Projects", "");
    m_fixture->start();
    const QString elsewhere = m_fixture->folder() + "/Job.qmk";
    save(elsewhere);
    QCOMPARE(dialogs().dialogs.size(), 1);
    QCOMPARE(dialogs().dialogs.first().kind, ShownDialog::SaveFile);
    QCOMPARE(dialogs().dialogs.first().caption, QStringLiteral("Save as Quillmark Project..."));
    QVERIFY2(dialogs().messages.isEmpty(), qPrintable(dialogs().messageTexts().join(" | ")));
    QVERIFY(readAll(elsewhere).startsWith("[Settings]\nUseBestCert=1\n"));
    QVERIFY(QFileInfo(m_fixture->folder() + "/Projects").isFile());
    QCOMPARE(readAll(m_fixture->folder() + "/Projects"), QByteArray());
    QCOMPARE(find<QComboBox>("cbxProject")->count(), 0);
}

void TestProjects::saveIntoAnUnwritablePlace()
{
    m_fixture->start();
    writeAll(m_fixture->folder() + "/plain", "");
    save(m_fixture->folder() + "/plain/Job.qmk");
    QCOMPARE(dialogs().messages.size(), 1);
    QCOMPARE(dialogs().messages.at(0).caption, QStringLiteral("Quillmark"));
    QCOMPARE(dialogs().messages.at(0).text,
             "Unable to write to " + m_fixture->folder() + "/plain/Job.qmk.");
}

void TestProjects::pathsThatCannotBeReadBackRefuseTheSave()
{
    m_fixture->start();
    const QString plain = makeFile("a.exe");
    const QString broken = makeFile("first\nsecond.exe");
    // A real file whose path is one byte longer than a read keeps.
    const QString longPath = fileWithPathLength(m_fixture->folder() + "/long", 2048);

    struct Case {
        QString path;
        QString reason;
    };
    // (A name that is not UTF-8 is stored as its bytes, and is no reason.)
    const QList<Case> cases = {{broken, "its path holds a line break"},
                               {longPath, "its path is longer than 2047 bytes"}};
    for (const Case &refused : cases) {
        auto *list = m_fixture->window->DivFileList;
        list->clear();
        m_fixture->window->DivDropFilesDrop({plain, refused.path});
        QCOMPARE(list->count(), 2);
        dialogs().messages.clear();
        dialogs().dialogs.clear();

        save(projects() + "Refused.qmk");
        // Told which file and why; no dialog, no folder, no file.
        QCOMPARE(dialogs().messages.size(), 1);
        const ShownMessage box = dialogs().messages.first();
        QCOMPARE(box.caption, QStringLiteral("Information"));
        QCOMPARE(box.text, "This file cannot be kept in a project, because " + refused.reason
                               + ":\n\n" + platform::displayFileName(refused.path)
                               + "\n\nThe project was not saved. Remove the file from the list "
                                 "to save the project.");
        QVERIFY(dialogs().dialogs.isEmpty());
        QVERIFY(!QFileInfo::exists(projects() + "Refused.qmk"));
        dialogs().fileAnswers.clear();
    }

    // Without the file the project saves, and loads back what was listed.
    m_fixture->window->DivFileList->clear();
    const QString atLimit = fileWithPathLength(m_fixture->folder() + "/limit", 2047);
    m_fixture->window->DivDropFilesDrop({plain, atLimit});
    save(projects() + "Fine.qmk");
    QVERIFY(QFileInfo::exists(projects() + "Fine.qmk"));
    pick("Fine");
    QCOMPARE(m_fixture->window->DivFileList->count(), 2);
    QCOMPARE(m_fixture->window->DivFileList->fullPath(1), atLimit);
}

void TestProjects::readOnlyProjectIsNotOverwritten()
{
    QDir().mkpath(projects());
    const QString path = projects() + "Locked.qmk";
    const QByteArray locked = "[Settings]\nTimeStamp=1\n[Files]\n";
    writeAll(path, locked);
    QVERIFY(QFile::setPermissions(path, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
    m_fixture->start();
    m_fixture->window->DivDropFilesDrop({makeFile("a.exe")});

    // Saved over after the dialog's confirmation: even root leaves it.
    save(path);
    QCOMPARE(dialogs().messageTexts(), QStringList("Unable to write to " + path + "."));
    QCOMPARE(readAll(path), locked);
    const auto userBits = QFile::ReadUser | QFile::WriteUser | QFile::ExeUser;   // the viewer's
    QCOMPARE(QFile::permissions(path) & ~userBits,
             QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther);
}

QTEST_MAIN(TestProjects)
#include "tst_projects.moc"
