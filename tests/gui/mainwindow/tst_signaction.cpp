// The sign action through the real runner: its checks, the console text it
// leaves, the wait panel, and real signatures made by the stand-in tool.

#include "mainwindow/u_frmMain.h"
#include "filelist/TDivFileList.h"
#include "signing/SignBatches.h"
#include "platform/Platform.h"
#include "console/u_frmConsoleOutput.h"
#include "support/ConsoleWatcher.h"
#include "support/FileContents.h"
#include "support/ScriptedDialogs.h"
#include "support/SoftHsmToken.h"
#include "support/TestData.h"
#include "support/TsaServer.h"

#include <QCheckBox>
#include <QDir>
#include <QDragEnterEvent>
#include <QFile>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTreeView>
#include <QAccessible>
#include <QtTest>

#include <cstdio>
#include <sys/stat.h>
#include <sys/resource.h>

class TestSignAction : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void emptyListIsReportedBeforeAMissingTool();
    void pfxModeAsksForThePathFirst();
    void descriptionAndTimeStampChecks();
    void bestCertificateModeIgnoresEmptyPfxFields();
    void doubleQuoteInAValueRunsNothing();
    void silentToolWithCommandLineGivesFourLines();
    void secondRunStartsWithAnEmptyConsole();
    void failedCheckKeepsTheLastConsoleText();
    void waitPanelDuringTheRunOnly();
    void signsWithAPfxFileEndToEnd();
    void signsWithTheBestCertificateEndToEnd();
    void wrongPasswordLeavesEveryFileUnchanged();
    void fileNamedInLatin1IsSignedUnderItsOwnName();
    void latin1SdkFolderAndPfxPathFromTheSettingsReachTheTool();
    void progressFollowsTheToolsOutcomes();
    void silentToolLeavesThePanelAsItWas();
    void listBeyondTheLimitRunsInBatches();
    void listBeyondTheSystemsLimitIsSignedWhole();
    void signsWithATokenCertificateEndToEnd();
    void modernTimeStampServerTypedIntoTheWindowWorks();

private:
    void openWindow();
    QString fakeSdk(const QByteArray &script);
    void addFiles(const QStringList &paths);
    void dropFiles(const QStringList &paths);
    void drop(const QMimeData &data);
    // A certificate store folder holding one certificate with its key, for
    // the real tool's /a; returns the certificate as a PEM file to trust
    // when checking signatures.
    QString useCertificateStore(const QString &commonName);
    void sign() { QTest::mouseClick(m_window->btnSign, Qt::LeftButton); }
    QStringList messages() const { return m_dialogs->get().messageTexts(); }

    QTemporaryDir *m_folder = nullptr;
    ScriptedDialogsGuard *m_dialogs = nullptr;
    TfrmMain *m_window = nullptr;
    TfrmConsoleOutput *m_console = nullptr;
    ConsoleWatcher *m_watcher = nullptr;
    QString m_previousFolder;
};

void TestSignAction::init()
{
    m_folder = new QTemporaryDir;
    QVERIFY(m_folder->isValid());
    // The capture file lies in the current folder; keep it in ours.
    m_previousFolder = QDir::currentPath();
    QDir::setCurrent(m_folder->path());
    m_dialogs = new ScriptedDialogsGuard;
    openWindow();
}

// A new main window (and console), which reads the settings file afresh.
void TestSignAction::openWindow()
{
    delete m_watcher;
    delete m_window;
    m_window = new TfrmMain(m_folder->path() + "/");
    m_console = new TfrmConsoleOutput(m_window);
    m_window->setConsoleWindow(m_console);
    m_watcher = new ConsoleWatcher(m_console, m_window->pnlWait);
    m_window->show();
}

void TestSignAction::cleanup()
{
    delete m_watcher;
    m_watcher = nullptr;
    delete m_window;
    m_window = nullptr;
    delete m_dialogs;
    QDir::setCurrent(m_previousFolder);
    QVERIFY(!QFile::exists(m_folder->path() + "/$tmp$.tmp"));
    testdata::removeFolderContents(m_folder->path());
    delete m_folder;
    for (const char *name : {"QUILLMARK_CERT_STORE", "QUILLMARK_PKCS11_MODULE", "QUILLMARK_PINENTRY", "SOFTHSM2_CONF"})
        qunsetenv(name);
}

QString TestSignAction::fakeSdk(const QByteArray &script)
{
    const QString sdk = m_folder->path() + "/fake sdk/";
    QDir().mkpath(sdk);
    testfiles::writeScript(sdk + "signtool.exe", script);
    m_window->edPlatformSDKFolder->setText(sdk);
    return sdk;
}

void TestSignAction::addFiles(const QStringList &paths)
{
    for (const QString &path : paths) {
        if (!QFile::exists(path))
            QVERIFY(testdata::writePeFile(path));
        QVERIFY(m_window->DivFileList->AddFileEntry(path) >= 0);
    }
}

void TestSignAction::dropFiles(const QStringList &paths)
{
    QMimeData data;
    QList<QUrl> urls;
    for (const QString &path : paths)
        urls << QUrl::fromLocalFile(path);
    data.setUrls(urls);
    drop(data);
}

void TestSignAction::drop(const QMimeData &data)
{
    QWidget *viewport = m_window->DivFileList->detailsView()->viewport();
    QDragEnterEvent enter({10, 10}, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(viewport, &enter);
    QDropEvent dropEvent({10, 10}, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(viewport, &dropEvent);
}

QString TestSignAction::useCertificateStore(const QString &commonName)
{
    const QString store = m_folder->path() + "/store";
    QDir().mkpath(store);
    testdata::CertOptions options;
    options.commonName = commonName;
    const testdata::KeyAndCert certificate = testdata::makeCertificate(options);
    const QString trusted = m_folder->path() + "/trusted.pem";
    if (!testdata::writePkcs12(store + "/cert.pfx", certificate)
        || !testdata::writeCertificatePem(trusted, certificate))
        QTest::qFail("cannot write the certificate store", __FILE__, __LINE__);
    qputenv("QUILLMARK_CERT_STORE", store.toLocal8Bit());
    m_window->edPlatformSDKFolder->setText(QStringLiteral(QUILLMARK_SDK_BIN_DIR));
    return trusted;
}

void TestSignAction::emptyListIsReportedBeforeAMissingTool()
{
    m_window->edPlatformSDKFolder->setText(m_folder->path() + "/nowhere/");
    sign();
    QCOMPARE(messages(), QStringList{"No files have been added to the list!"});
    QCOMPARE(m_dialogs->get().messages.first().caption, QStringLiteral("Information"));
    QCOMPARE(m_watcher->shown, 0);

    addFiles({m_folder->path() + "/a.exe"});
    sign();
    QCOMPARE(messages().size(), 2);
    QVERIFY(messages().last().contains(m_folder->path() + "/nowhere/signtool.exe\n\n"));
    QCOMPARE(m_watcher->shown, 0);
}

void TestSignAction::pfxModeAsksForThePathFirst()
{
    fakeSdk("exit 0\n");
    addFiles({m_folder->path() + "/a.exe"});
    m_window->cbUsePFXFile->setChecked(true);
    sign();
    QCOMPARE(messages(), QStringList{"Please select the PFX file!"});
    m_window->edCertName->setText("/keys/x.pfx");
    sign();
    QCOMPARE(messages().last(), QStringLiteral("Please enter the PFX file password!"));
    m_window->edPassword->setText(" ");   // blanks count as a password
    sign();
    QCOMPARE(messages().size(), 2);
    QCOMPARE(m_watcher->shown, 1);
}

void TestSignAction::descriptionAndTimeStampChecks()
{
    fakeSdk("exit 0\n");
    addFiles({m_folder->path() + "/a.exe"});
    m_window->cbAddDesc->setChecked(true);
    m_window->cbTimeStamp->setChecked(true);
    sign();
    QCOMPARE(messages(), QStringList{"Please enter a Description for the signed file(s)!"});
    m_window->edAddDesc->setText("Release");
    sign();
    QCOMPARE(messages().last(), QStringLiteral("Please enter the Time Stamp URL!"));
    QCOMPARE(m_watcher->shown, 0);
}

void TestSignAction::bestCertificateModeIgnoresEmptyPfxFields()
{
    fakeSdk("echo \"$@\"\n");
    addFiles({m_folder->path() + "/a b.exe"});
    sign();
    QVERIFY(messages().isEmpty());
    QCOMPARE(m_watcher->shown, 1);
    // The tool got its arguments split as they were quoted.
    QCOMPARE(m_watcher->linesAtShow,
             QStringList{"sign /a /v " + m_folder->path() + "/a b.exe"});
}

void TestSignAction::doubleQuoteInAValueRunsNothing()
{
    const QString sdk = fakeSdk("touch ran\n");
    const QString sneaky = m_folder->path() + "/a\" \"b.exe";
    addFiles({sneaky});
    sign();
    QCOMPARE(messages().size(), 1);
    QVERIFY(messages().first().contains("contains a double quote"));
    QVERIFY(messages().first().contains(sneaky));
    QCOMPARE(m_watcher->shown, 0);
    QVERIFY(!QFile::exists(sdk + "ran"));
}

void TestSignAction::silentToolWithCommandLineGivesFourLines()
{
    const QString sdk = fakeSdk("exit 0\n");
    addFiles({m_folder->path() + "/a.exe"});
    m_window->cbAddCmdLnToConsole->setChecked(true);
    m_window->cbVerboseOutput->setChecked(false);
    sign();
    QCOMPARE(m_watcher->linesAtShow,
             (QStringList{"Full Command Line Used:", "",
                          "\"" + sdk + "signtool.exe\" sign /a ", ""}));
}

void TestSignAction::secondRunStartsWithAnEmptyConsole()
{
    fakeSdk("echo run $$\n");
    addFiles({m_folder->path() + "/a.exe"});
    sign();
    const QStringList first = m_watcher->linesAtShow;
    sign();
    QCOMPARE(m_watcher->shown, 2);
    QCOMPARE(m_watcher->linesAtShow.size(), 1);
    QVERIFY(m_watcher->linesAtShow != first);
}

void TestSignAction::failedCheckKeepsTheLastConsoleText()
{
    fakeSdk("echo kept\n");
    addFiles({m_folder->path() + "/a.exe"});
    sign();
    m_window->cbUsePFXFile->setChecked(true);
    sign();
    QCOMPARE(messages(), QStringList{"Please select the PFX file!"});
    QCOMPARE(m_console->lines(), QStringList{"kept"});
}

void TestSignAction::waitPanelDuringTheRunOnly()
{
    fakeSdk("sleep 0.4\necho done\n");
    addFiles({m_folder->path() + "/a.exe"});
    bool visibleDuringRun = false;
    QTimer::singleShot(150, m_window, [&] { visibleDuringRun = m_window->pnlWait->isVisible(); });
    sign();
    QVERIFY(visibleDuringRun);
    QCOMPARE(m_watcher->shown, 1);
    QVERIFY(!m_watcher->waitPanelVisibleAtShow);
    QVERIFY(!m_window->pnlWait->isVisible());
}

void TestSignAction::signsWithAPfxFileEndToEnd()
{
    const QString pfx = m_folder->path() + "/release key.pfx";
    const testdata::KeyAndCert certificate = testdata::makeCertificate();
    QVERIFY(testdata::writePkcs12(pfx, certificate, "pa ss"));
    // Trusting the certificate lets every osslsigncode version show the
    // whole signature.
    const QString trusted = m_folder->path() + "/trusted.pem";
    QVERIFY(testdata::writeCertificatePem(trusted, certificate));
    m_window->edPlatformSDKFolder->setText(QStringLiteral(QUILLMARK_SDK_BIN_DIR));
    m_window->cbUsePFXFile->setChecked(true);
    m_window->edCertName->setText(pfx);
    m_window->edPassword->setText("pa ss");
    m_window->cbAddDesc->setChecked(true);
    m_window->edAddDesc->setText("Quillmark test build");

    const QString added = m_folder->path() + "/first app.exe";
    const QString dropped = m_folder->path() + "/dropped.dll";
    QVERIFY(testdata::writePeFile(dropped, 1));
    addFiles({added});
    dropFiles({dropped});
    QCOMPARE(m_window->DivFileList->count(), 2);
    sign();

    QVERIFY2(messages().isEmpty(), qPrintable(messages().join("|")));
    const QString report = m_watcher->linesAtShow.join('\n');
    QVERIFY2(report.contains("Successfully signed: " + added), qPrintable(report));
    QVERIFY2(report.contains("Successfully signed: " + dropped), qPrintable(report));
    for (const QString &file : {added, dropped}) {
        const testdata::RunResult verified = testdata::verifySignature(file, trusted);
        QVERIFY2(verified.ok() && verified.output.contains("Quillmark test build"),
                 qPrintable(verified.output));
    }
}

void TestSignAction::signsWithTheBestCertificateEndToEnd()
{
    const QString trusted = useCertificateStore("Best Store Certificate");
    const QString file = m_folder->path() + "/tool.exe";
    addFiles({file});
    sign();
    const QString report = m_watcher->linesAtShow.join('\n');
    QVERIFY2(report.contains("Successfully signed: " + file), qPrintable(report));
    QVERIFY2(report.contains("Best Store Certificate"), qPrintable(report));   // verbose
    const testdata::RunResult verified = testdata::verifySignature(file, trusted);
    QVERIFY2(verified.ok() && verified.output.contains("Best Store Certificate"),
             qPrintable(verified.output));
}

void TestSignAction::wrongPasswordLeavesEveryFileUnchanged()
{
    const QString pfx = m_folder->path() + "/key.pfx";
    QVERIFY(testdata::writePkcs12(pfx, testdata::makeCertificate(), "right"));
    m_window->edPlatformSDKFolder->setText(QStringLiteral(QUILLMARK_SDK_BIN_DIR));
    m_window->cbUsePFXFile->setChecked(true);
    m_window->edCertName->setText(pfx);
    m_window->edPassword->setText("wrong");
    const QStringList files = {m_folder->path() + "/one.exe", m_folder->path() + "/two.exe"};
    addFiles(files);
    QList<QByteArray> before;
    for (const QString &file : files)
        before << testdata::fileBytes(file);

    sign();
    for (int i = 0; i < files.size(); ++i)
        QCOMPARE(testdata::fileBytes(files[i]), before[i]);
    // The tool's reason, written to its error stream, reaches the console.
    const QString report = m_watcher->linesAtShow.join('\n');
    QVERIFY2(report.contains("Error", Qt::CaseInsensitive), qPrintable(report));
    QVERIFY(!report.contains("Successfully signed"));
    QCOMPARE(QDir(m_folder->path()).entryList({"*.tmp"}, QDir::Files | QDir::Hidden), QStringList());
}

void TestSignAction::fileNamedInLatin1IsSignedUnderItsOwnName()
{
    // A program whose name carries the Latin-1 byte E9, beside one whose
    // name really holds U+FFFD (what Qt would make of the first).
    const QString trusted = useCertificateStore("Latin-1 Test Certificate");

    const QString plainName = m_folder->path() + "/plain.exe";
    const QString decoy = m_folder->path() + QString::fromUtf8("/caf\uFFFD.exe");
    QVERIFY(testdata::writePeFile(plainName));
    QVERIFY(testdata::writePeFile(decoy));
    const QByteArray decoyBytes = testdata::fileBytes(decoy);
    const QByteArray raw = QFile::encodeName(m_folder->path()) + "/caf\xE9.exe";
    QCOMPARE(::rename(QFile::encodeName(plainName).constData(), raw.constData()), 0);

    QMimeData data;
    data.setData("text/uri-list", "file://" + raw.toPercentEncoding("/") + "\r\n");
    drop(data);
    QCOMPARE(m_window->DivFileList->count(), 1);

    sign();
    // The tool's report shows the name with a replacement character, but
    // the file it signed is the one named by the Latin-1 byte.
    const QString report = m_watcher->linesAtShow.join('\n');
    QVERIFY2(report.contains("Successfully signed: " + decoy), qPrintable(report));
    QCOMPARE(testdata::fileBytes(decoy), decoyBytes);   // the other file is untouched
    // The file with the Latin-1 name carries the signature.
    QCOMPARE(::rename(raw.constData(), QFile::encodeName(plainName).constData()), 0);
    const testdata::RunResult verified = testdata::verifySignature(plainName, trusted);
    QVERIFY2(verified.ok() && verified.output.contains("Latin-1 Test Certificate"),
             qPrintable(verified.output));
}

// An SDK folder and a PFX file named with the Latin-1 byte E9, as another
// program wrote them into the settings file: the tool is found there, and
// gets the PFX file's own name.
void TestSignAction::latin1SdkFolderAndPfxPathFromTheSettingsReachTheTool()
{
    const QByteArray sdk = QFile::encodeName(m_folder->path()) + "/sdk\xE9/";
    const QByteArray pfx = QFile::encodeName(m_folder->path()) + "/key\xE9.pfx";
    QCOMPARE(::mkdir(sdk.constData(), 0700), 0);
    // (Qt's own file functions cannot name these files; the platform's can.)
    QCOMPARE(platform::rewriteFile(platform::decodeFileName(pfx), "not read by the fake tool"), 0);
    // The tool notes its arguments, one a line, in its working folder.
    const QByteArray tool = sdk + "signtool.exe";
    QCOMPARE(platform::rewriteFile(platform::decodeFileName(tool),
                                   "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done "
                                   "> arguments\n"),
             0);
    QCOMPARE(::chmod(tool.constData(), 0700), 0);
    QVERIFY(testdata::writeBytes(m_folder->path() + "/Quillmark.ini",
                                 "[Settings]\nSDKBinFolder=" + sdk
                                     + "\nUseBestCert=0\nUsePFXFile=1\nPFXFilename=" + pfx + "\n"));
    openWindow();
    addFiles({m_folder->path() + "/a.exe"});
    m_window->edPassword->setText(QStringLiteral("secret"));
    m_window->cbAddCmdLnToConsole->setChecked(true);
    sign();

    QVERIFY2(messages().isEmpty(), qPrintable(messages().join('|')));
    QCOMPARE(m_watcher->shown, 1);
    const QByteArray arguments =
        platform::readRegularFile(platform::decodeFileName(sdk + "arguments")).data;
    QVERIFY2(arguments.contains("\n/f\n" + pfx + "\n"), arguments.constData());
    QVERIFY(arguments.endsWith("\n" + QFile::encodeName(m_folder->path()) + "/a.exe\n"));
    // The console shows the names as the file list does.
    const QString shownSdk = QFile::decodeName(sdk);
    QCOMPARE(m_watcher->linesAtShow.value(2).left(shownSdk.size() + 1), '"' + shownSdk);
    QVERIFY(m_watcher->linesAtShow.value(2).contains("/f \"" + QFile::decodeName(pfx) + "\" "));
}

namespace {

// What the wait panel's progress row shows, each new state once, sampled
// while the tool runs.
class ProgressSampler : public QObject {
public:
    explicit ProgressSampler(TfrmMain *window) : m_window(window)
    {
        m_timer.setInterval(10);
        connect(&m_timer, &QTimer::timeout, this, [this] { sample(); });
        m_timer.start();
    }

    QStringList texts;
    QList<int> values;
    QList<int> accessibleValues;
    QStringList accessibleTexts;
    QList<QRect> panelBounds;
    QStringList workingTexts;
    QList<QList<int>> rowGaps;
    bool sawPanel = false;

private:
    void sample()
    {
        if (!m_window->pnlWait->isVisible())
            return;
        sawPanel = true;
        if (!m_window->lbProgress->isVisible())
            return;
        const QString text = m_window->lbProgress->text();
        if (texts.isEmpty() || texts.constLast() != text) {
            texts.append(text);
            values.append(m_window->pbProgress->value());
            // As a screen reader finds it: a progress bar with that value.
            QAccessibleInterface *bar =
                QAccessible::queryAccessibleInterface(m_window->pbProgress);
            accessibleValues.append(bar->role() == QAccessible::ProgressBar
                                            && bar->valueInterface()
                                        ? bar->valueInterface()->currentValue().toInt()
                                        : -1);
            accessibleTexts.append(bar->text(QAccessible::Description));
            panelBounds.append(m_window->pnlWait->geometry());
            workingTexts.append(m_window->lbWorking->text());
            // Above the hourglass, between it and the bar, below the bar.
            const QRect icon = m_window->imgHourglass->geometry();
            const QRect row = m_window->pbProgress->geometry();
            const int bodyTop = 22;
            const int bodyBottom = m_window->pnlWait->contentsRect().bottom() + 1;
            rowGaps.append(QList<int>{icon.top() - bodyTop, row.top() - icon.bottom() - 1,
                                      bodyBottom - row.bottom() - 1});
        }
    }

    TfrmMain *m_window;
    QTimer m_timer;
};

} // namespace

void TestSignAction::progressFollowsTheToolsOutcomes()
{
    // Each file's outcome comes a while after the last; the failure goes to
    // the error stream, as the real tool writes it.
    fakeSdk("for f in \"$@\"; do\n"
            "  case \"$f\" in\n"
            "    *b.exe) sleep 0.3; echo \"SignTool Error: $f is not a PE file.\" >&2;;\n"
            "    *.exe) sleep 0.3; echo \"Signing: $f\"; echo \"Successfully signed: $f\";;\n"
            "  esac\n"
            "done\n"
            "echo 'Number of errors: 1'\n"
            "sleep 0.3\n");
    addFiles({m_folder->path() + "/a.exe", m_folder->path() + "/b.exe", m_folder->path() + "/c.exe"});
    ProgressSampler sampler(m_window);
    sign();

    // The row appears with the first file done and counts up from there.
    QCOMPARE(sampler.texts, (QStringList{"1 of 3 files done", "2 of 3 files done",
                                         "3 of 3 files done"}));
    QCOMPARE(sampler.values, (QList<int>{1, 2, 3}));
    QCOMPARE(sampler.accessibleValues, sampler.values);
    QCOMPARE(sampler.accessibleTexts, sampler.texts);
    QCOMPARE(m_window->pbProgress->maximum(), 3);
    // The panel keeps its place and size, and the row lies inside it.
    for (const QRect &bounds : sampler.panelBounds)
        QCOMPARE(bounds, QRect(265, 262, 271, 76));
    for (QWidget *row : {static_cast<QWidget *>(m_window->lbProgress),
                         static_cast<QWidget *>(m_window->pbProgress)}) {
        QVERIFY(m_window->pnlWait->contentsRect().contains(row->geometry()));
        QVERIFY(row->geometry().top() > m_window->lbWorking->geometry().bottom());
    }
    for (const QString &working : sampler.workingTexts)
        QCOMPARE(working, QStringLiteral("Working, please wait..."));
    // The rows are spread evenly over the panel's body.
    for (const QList<int> &gaps : sampler.rowGaps)
        QCOMPARE(gaps, (QList<int>{8, 8, 8}));
    QCOMPARE(m_watcher->shown, 1);
    QVERIFY(!m_window->pnlWait->isVisible());
    QCOMPARE(m_watcher->linesAtShow.size(), 6);   // nothing of the run lost

    // Another wait, the copy of the listed files, shows the panel as it was.
    bool progressShownWhileCopying = true;
    int heightWhileCopying = 0;
    m_dialogs->get().folderAnswers.enqueue(m_folder->path() + "/copies");
    QDir().mkpath(m_folder->path() + "/copies");
    class ShowProbe : public QObject {
    public:
        bool *progress;
        int *height;
        bool eventFilter(QObject *watched, QEvent *event) override
        {
            if (event->type() == QEvent::Show) {
                auto *panel = static_cast<QWidget *>(watched);
                *progress = panel->findChild<QLabel *>("lbProgress")->isVisibleTo(panel);
                *height = panel->height();
            }
            return false;
        }
    } showProbe;
    showProbe.progress = &progressShownWhileCopying;
    showProbe.height = &heightWhileCopying;
    m_window->pnlWait->installEventFilter(&showProbe);
    m_window->menitmCopyFilesToClick();
    QVERIFY(!progressShownWhileCopying);
    QCOMPARE(heightWhileCopying, 76);
    // The hourglass and its text are back in the middle of the body.
    QCOMPARE(m_window->imgHourglass->geometry(), QRect(68, 41, 16, 16));
    QCOMPARE(m_window->lbWorking->pos(), QPoint(90, 43));
}

void TestSignAction::silentToolLeavesThePanelAsItWas()
{
    fakeSdk("sleep 0.4\n");
    addFiles({m_folder->path() + "/a.exe", m_folder->path() + "/b.exe"});
    ProgressSampler sampler(m_window);
    sign();
    // The panel as it always was: no row, no count stuck at nothing.
    QVERIFY(sampler.sawPanel);
    QCOMPARE(sampler.texts, QStringList());
    QCOMPARE(m_watcher->shown, 1);
    QCOMPARE(m_watcher->linesAtShow, QStringList());
}

void TestSignAction::listBeyondTheLimitRunsInBatches()
{
    // Every run says how many arguments it got and signs its files; the run
    // with c.exe fails, which must not keep the next run from its files.
    const QString sdk = fakeSdk("echo \"run with $# arguments\"\n"
                                "for f in \"$@\"; do\n"
                                "  case \"$f\" in\n"
                                "    *c.exe) echo \"SignTool Error: $f\";;\n"
                                "    *.exe) echo \"Successfully signed: $f\";;\n"
                                "  esac\n"
                                "done\n"
                                "case \"$*\" in *c.exe*) exit 1;; esac\n");
    QStringList files;
    for (const char *name : {"a", "b", "c", "d", "e"})
        files << m_folder->path() + "/" + name + ".exe";
    addFiles(files);
    m_window->cbAddCmdLnToConsole->setChecked(true);

    // Room for the program, "sign /a /v" and exactly two of the files.
    const std::int64_t pointer = sizeof(char *);
    const QByteArray program = QFile::encodeName(sdk + "signtool.exe");
    const std::int64_t fixed = ArgumentCost(program.size()) + program.size() + 1 + pointer
        + ArgumentCost(4) + 2 * ArgumentCost(2);
    const std::int64_t twoFiles = 2 * ArgumentCost(QFile::encodeName(files.first()).size());
    m_window->setArgumentLimits(ArgumentLimits{fixed + twoFiles, 128 * 1024});
    sign();

    QStringList expected = {"Full Command Line Used:", "", "\"" + sdk + "signtool.exe\" sign /a /v ",
                            ""};
    expected << "Files 1 to 2 of 5:" << "run with 5 arguments"
             << "Successfully signed: " + files[0] << "Successfully signed: " + files[1]
             << "" << "Files 3 to 4 of 5:" << "run with 5 arguments"
             << "SignTool Error: " + files[2] << "Successfully signed: " + files[3]
             << "" << "Files 5 to 5 of 5:" << "run with 4 arguments"
             << "Successfully signed: " + files[4]
             // The totals, counted from the outcome lines.
             << "Files signed: 4 of 5";
    QCOMPARE(m_watcher->linesAtShow, expected);
    QVERIFY(messages().isEmpty());

    // One byte less, and no two files fit together any more.
    m_window->setArgumentLimits(ArgumentLimits{fixed + twoFiles - 1, 128 * 1024});
    sign();
    QCOMPARE(m_watcher->linesAtShow.filter(QRegularExpression("^Files \\d")),
             (QStringList{"Files 1 to 1 of 5:", "Files 2 to 2 of 5:", "Files 3 to 3 of 5:",
                          "Files 4 to 4 of 5:", "Files 5 to 5 of 5:"}));
    QCOMPARE(m_watcher->linesAtShow.filter("Successfully signed: ").size(), 4);
    QCOMPARE(m_watcher->linesAtShow.last(), QStringLiteral("Files signed: 4 of 5"));

    // Room for all: one run, and no batch line.
    m_window->setArgumentLimits(std::nullopt);
    sign();
    QCOMPARE(m_watcher->linesAtShow.filter(QRegularExpression("^Files \\d")), QStringList());
    QCOMPARE(m_watcher->linesAtShow.filter("run with").size(), 1);
    QCOMPARE(m_watcher->linesAtShow.filter("Files signed:"), QStringList());
}

// Against the system itself: with a small stack limit the argument space
// is a quarter of it, and a list far longer than that is signed in runs
// that the system takes, with no "Argument list too long".
void TestSignAction::listBeyondTheSystemsLimitIsSignedWhole()
{
    rlimit stack{};
    QCOMPARE(::getrlimit(RLIMIT_STACK, &stack), 0);
    const rlimit original = stack;
    stack.rlim_cur = 1024 * 1024;   // ARG_MAX becomes 256 KiB
    if (original.rlim_max != RLIM_INFINITY && original.rlim_max < stack.rlim_cur)
        QSKIP("the hard stack limit is below 1 MiB");
    QCOMPARE(::setrlimit(RLIMIT_STACK, &stack), 0);
    auto restore = qScopeGuard([&] { ::setrlimit(RLIMIT_STACK, &original); });

    fakeSdk("n=0\nfor f in \"$@\"; do case \"$f\" in *.exe) n=$((n+1));; esac; done\n"
            "echo \"signed $n\"\n");
    // Long paths, so that 2,000 of them take about 470 KiB.
    const QString folder = m_folder->path() + "/" + QString(200, u'd');
    QVERIFY(QDir().mkpath(folder));
    QStringList files;
    for (int i = 0; i < 2000; ++i) {
        const QString path = folder + QStringLiteral("/file%1.exe").arg(i, 4, 10, QLatin1Char('0'));
        QVERIFY(testdata::writeBytes(path, "MZ"));
        files << path;
    }
    m_window->DivDropFilesDrop(files);
    QCOMPARE(m_window->DivFileList->count(), 2000);
    sign();

    QVERIFY2(messages().isEmpty(), qPrintable(messages().join('|')));
    const QStringList headers = m_watcher->linesAtShow.filter(QRegularExpression("^Files \\d"));
    QVERIFY2(headers.size() >= 2, qPrintable(m_watcher->linesAtShow.join('\n')));
    QVERIFY(headers.first().startsWith("Files 1 to "));
    QVERIFY(headers.last().endsWith(" to 2,000 of 2,000:"));
    int signedFiles = 0;
    for (const QString &line : m_watcher->linesAtShow.filter(QRegularExpression("^signed ")))
        signedFiles += line.mid(7).toInt();
    QCOMPARE(signedFiles, 2000);
}

// "Auto Select Best Certificate" passes /a, and /a finds a certificate on a
// PKCS#11 token: the PIN is asked through pinentry, once, and the key never
// leaves the token.
void TestSignAction::signsWithATokenCertificateEndToEnd()
{
    if (const QString missing = testdata::SoftHsmToken::missingTools(); !missing.isEmpty())
        QSKIP(qPrintable(missing));
    const QString tokenFolder = m_folder->path() + "/token";
    QDir().mkpath(tokenFolder);
    testdata::SoftHsmToken token(tokenFolder, "Release Token", "246810");
    testdata::CertOptions options;
    options.commonName = "Token Release Signing";
    const testdata::KeyAndCert onToken = testdata::makeCertificate(options);
    QVERIFY2(token.importPair(onToken, "5a", "release"), qPrintable(token.error()));
    const testdata::ScriptedPinentry pinentry(tokenFolder, testdata::ScriptedPinentry::Answer::Pin, "246810");
    const QString emptyStore = m_folder->path() + "/empty store";
    QDir().mkpath(emptyStore);
    QProcessEnvironment env;
    token.addTo(env);
    pinentry.addTo(env);
    for (const QString &name : env.keys())
        qputenv(name.toLocal8Bit().constData(), env.value(name).toLocal8Bit());
    qputenv("QUILLMARK_PKCS11_MODULE", testdata::SoftHsmToken::modulePath().toLocal8Bit());
    qputenv("QUILLMARK_CERT_STORE", emptyStore.toLocal8Bit());

    m_window->edPlatformSDKFolder->setText(QStringLiteral(QUILLMARK_SDK_BIN_DIR));
    m_window->cbSelectBestCert->setChecked(true);
    const QStringList files = {m_folder->path() + "/app.exe", m_folder->path() + "/lib.dll"};
    addFiles(files);
    sign();

    QCOMPARE(m_watcher->shown, 1);
    const QString report = m_watcher->linesAtShow.join('\n');
    QCOMPARE(pinentry.timesAsked(), 1);
    const QString trusted = m_folder->path() + "/token.pem";
    QVERIFY(testdata::writeCertificatePem(trusted, onToken));
    for (const QString &file : files) {
        QVERIFY2(report.contains("Successfully signed: " + file), qPrintable(report));
        const testdata::RunResult verified = testdata::verifySignature(file, trusted);
        QVERIFY2(verified.ok() && verified.output.contains("Token Release Signing"), qPrintable(verified.output));
    }
    QVERIFY2(report.contains("Number of files successfully Signed: 2"), qPrintable(report));
    QVERIFY(!report.contains("246810"));
}

// The window passes /t with the URL typed in; a server that speaks only RFC
// 3161 (most today) still time-stamps the files, and the console says how.
void TestSignAction::modernTimeStampServerTypedIntoTheWindowWorks()
{
    testdata::CertOptions tsaOptions;
    tsaOptions.commonName = "Window Test TSA";
    tsaOptions.usage = testdata::Usage::TimeStamping;
    const testdata::KeyAndCert tsa = testdata::makeCertificate(tsaOptions);
    const testdata::KeyAndCert signer = testdata::makeCertificate();
    const QString dir = m_folder->path();
    QVERIFY(testdata::writeCertificatePem(dir + "/tsa.pem", tsa));
    QVERIFY(testdata::writePrivateKeyPem(dir + "/tsa.key", tsa));
    QVERIFY(testdata::writeCertificatePem(dir + "/signer.pem", signer));
    QVERIFY(testdata::writePkcs12(dir + "/signer.pfx", signer, "pw"));
    const testdata::TsaServer server("rfc3161", dir + "/tsa.pem", dir + "/tsa.key", dir + "/requests");
    QVERIFY2(!server.url().isEmpty(), "the time-stamp server did not start");

    m_window->edPlatformSDKFolder->setText(QStringLiteral(QUILLMARK_SDK_BIN_DIR));
    m_window->cbUsePFXFile->setChecked(true);
    m_window->edCertName->setText(dir + "/signer.pfx");
    m_window->edPassword->setText("pw");
    m_window->cbTimeStamp->setChecked(true);
    m_window->edTimeStampURL->setText(server.url());
    const QString file = dir + "/stamped.exe";
    addFiles({file});
    sign();

    const QString report = m_watcher->linesAtShow.join('\n');
    QVERIFY2(report.contains("Successfully signed: " + file), qPrintable(report));
    QVERIFY2(report.contains(server.url() + " did not answer the Authenticode time-stamp protocol"), qPrintable(report));
    const testdata::RunResult verified = testdata::runProgram(
        "osslsigncode", {"verify", "-in", file, "-CAfile", dir + "/signer.pem", "-TSA-CAfile", dir + "/tsa.pem"});
    QVERIFY2(verified.ok() && verified.output.contains("Timestamp Server Signature verification: ok"),
             qPrintable(verified.output));
}

QTEST_MAIN(TestSignAction)
#include "tst_signaction.moc"
