// The sign action through the real runner: its checks, the console text it
// leaves, the wait panel, and real signatures made by the stand-in tool.

#include "app/u_frmMain.h"
#include "filelist/TDivFileList.h"
#include "signing/u_frmConsoleOutput.h"
#include "support/ScriptedDialogs.h"
#include "support/SoftHsmToken.h"
#include "support/TestData.h"
#include "support/TsaServer.h"

#include <QCheckBox>
#include <QDir>
#include <QDragEnterEvent>
#include <QFile>
#include <QFrame>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTreeView>
#include <QtTest>

namespace {

// Closes the console as soon as it is shown, noting what the user saw then.
class ConsoleWatcher : public QObject {
public:
    ConsoleWatcher(TfrmConsoleOutput *console, QFrame *waitPanel)
        : m_console(console)
        , m_waitPanel(waitPanel)
    {
        console->installEventFilter(this);
    }

    int shown = 0;
    bool waitPanelVisibleAtShow = false;
    QStringList linesAtShow;

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Show) {
            ++shown;
            waitPanelVisibleAtShow = m_waitPanel->isVisible();
            linesAtShow = m_console->lines();
            QTimer::singleShot(0, m_console, [this] { m_console->reject(); });
        }
        return false;
    }

private:
    TfrmConsoleOutput *m_console;
    QFrame *m_waitPanel;
};

void writeScript(const QString &path, const QByteArray &body)
{
    QVERIFY(testdata::writeBytes(path, "#!/bin/sh\n" + body));
    QVERIFY(QFile::setPermissions(path, QFile::permissions(path) | QFile::ExeOwner));
}

} // namespace

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
    void signsWithATokenCertificateEndToEnd();
    void modernTimeStampServerTypedIntoTheWindowWorks();

private:
    QString fakeSdk(const QByteArray &script);
    void addFiles(const QStringList &paths);
    void dropFiles(const QStringList &paths);
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
    m_window = new TfrmMain(m_folder->path() + "/");
    m_console = new TfrmConsoleOutput(m_window);
    m_window->setConsoleWindow(m_console);
    m_watcher = new ConsoleWatcher(m_console, m_window->pnlWait);
    m_window->show();
}

void TestSignAction::cleanup()
{
    delete m_watcher;
    delete m_window;
    delete m_dialogs;
    QDir::setCurrent(m_previousFolder);
    QVERIFY(!QFile::exists(m_folder->path() + "/$tmp$.tmp"));
    delete m_folder;
    for (const char *name : {"QUILLMARK_CERT_STORE", "QUILLMARK_PKCS11_MODULE", "QUILLMARK_PINENTRY", "SOFTHSM2_CONF"})
        qunsetenv(name);
}

QString TestSignAction::fakeSdk(const QByteArray &script)
{
    const QString sdk = m_folder->path() + "/fake sdk/";
    QDir().mkpath(sdk);
    writeScript(sdk + "signtool.exe", script);
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
    QWidget *viewport = m_window->DivFileList->detailsView()->viewport();
    QDragEnterEvent enter({10, 10}, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(viewport, &enter);
    QDropEvent drop({10, 10}, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(viewport, &drop);
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
    const QString store = m_folder->path() + "/store";
    QDir().mkpath(store);
    testdata::CertOptions options;
    options.commonName = "Best Store Certificate";
    const testdata::KeyAndCert best = testdata::makeCertificate(options);
    QVERIFY(testdata::writePkcs12(store + "/best.pfx", best));
    const QString trusted = m_folder->path() + "/trusted.pem";
    QVERIFY(testdata::writeCertificatePem(trusted, best));
    qputenv("QUILLMARK_CERT_STORE", store.toLocal8Bit());

    m_window->edPlatformSDKFolder->setText(QStringLiteral(QUILLMARK_SDK_BIN_DIR));
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
#include "test_signaction.moc"
