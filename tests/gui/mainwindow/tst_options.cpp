// The signing options: the reactions that keep the controls consistent,
// the two pickers, and the settings file across restarts.

#include "mainwindow/u_frmMain.h"
#include "platform/Platform.h"
#include "support/FileContents.h"
#include "support/MainWindowFixture.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

using testfiles::readAll;
using testfiles::writeAll;

class TestOptions : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void certificateFlagsFromTheFile_data();
    void certificateFlagsFromTheFile();
    void flagValuesThatAreNotPlainNumbers();
    void topMostFromTheFileAtOnce();
    void clickingEitherCertificateBoxFlipsThePair();
    void reactionsRunOnlyOnChange();
    void newFileGetsTwelveKeysInOrder();
    void standInToolsBesideTheProgramAreOfferedAndKept();
    void passwordIsNeverWritten();
    void textsComeBackTrimmedAndUnquoted();
    void disabledPfxFieldsKeepAndSaveTheirTexts();
    void existingFileKeepsItsOtherLines();
    void unwritableSettingsAskBeforeQuitting();
    void valuesThatAreNotUtf8SurviveARestart();
    void latin1SdkFolderFromTheSettingsFindsTheTool();

    void cancelledFolderPickerStillWarnsWithBareName();
    void pickedFolderGetsOneTrailingSlash_data();
    void pickedFolderGetsOneTrailingSlash();
    void pickedFolderWithTheToolSaysNothing();
    void pfxPicker();

private:
    void restart();
    QString settingsPath() const { return m_fixture->folder() + "/Quillmark.ini"; }
    template <typename T = QWidget> T *find(const char *name) { return m_fixture->find<T>(name); }

    MainWindowFixture *m_fixture = nullptr;
};

void TestOptions::init()
{
    m_fixture = new MainWindowFixture;
}

void TestOptions::cleanup()
{
    delete m_fixture;
    m_fixture = nullptr;
}

void TestOptions::restart()
{
    m_fixture->window->show();
    QVERIFY(m_fixture->window->close());
    m_fixture->start();
}

void TestOptions::certificateFlagsFromTheFile_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<bool>("pfx");
    QTest::newRow("both 1") << QByteArray("[Settings]\nUseBestCert=1\nUsePFXFile=1\n") << true;
    QTest::newRow("both 0") << QByteArray("[Settings]\nUseBestCert=0\nUsePFXFile=0\n") << false;
    QTest::newRow("pfx only") << QByteArray("[settings]\nusepfxfile=1\n") << true;
    QTest::newRow("best off, no pfx key") << QByteArray("[Settings]\nUseBestCert=0\n") << false;
    QTest::newRow("no file") << QByteArray() << false;
}

void TestOptions::certificateFlagsFromTheFile()
{
    QFETCH(QByteArray, file);
    QFETCH(bool, pfx);
    if (!file.isEmpty())
        writeAll(settingsPath(), file);
    m_fixture->start();
    QCOMPARE(find<QCheckBox>("cbUsePFXFile")->isChecked(), pfx);
    QCOMPARE(find<QCheckBox>("cbSelectBestCert")->isChecked(), !pfx);
    for (const char *name : {"edCertName", "edPassword", "btnSelPFXFile"})
        QCOMPARE(find(name)->isEnabled(), pfx);
}

void TestOptions::flagValuesThatAreNotPlainNumbers()
{
    writeAll(settingsPath(), "[Settings]\nVerboseOutput=yes\nTimeStamp=2\nAddDescription=$0\n"
                             "AddCmdLineToConsole= 0x1 \n");
    m_fixture->start();
    QVERIFY(find<QCheckBox>("cbVerboseOutput")->isChecked());   // not a number: the default
    QVERIFY(find<QCheckBox>("cbTimeStamp")->isChecked());        // any non-zero number is on
    QVERIFY(find("edTimeStampURL")->isEnabled());
    QVERIFY(!find<QCheckBox>("cbAddDesc")->isChecked());
    QVERIFY(find<QCheckBox>("cbAddCmdLnToConsole")->isChecked());

    writeAll(settingsPath(), "[Settings]\nVerboseOutput=0x0\n");
    m_fixture->start();
    QVERIFY(!find<QCheckBox>("cbVerboseOutput")->isChecked());

    // Flags are 32-bit integers: a value beyond that range is no integer.
    writeAll(settingsPath(), "[Settings]\nTimeStamp=4294967296\nVerboseOutput=0x100000000\n");
    m_fixture->start();
    QVERIFY(!find<QCheckBox>("cbTimeStamp")->isChecked());
    QVERIFY(find<QCheckBox>("cbVerboseOutput")->isChecked());
}

void TestOptions::topMostFromTheFileAtOnce()
{
    writeAll(settingsPath(), "[Settings]\nKeepWndTopMost=1\n");
    m_fixture->start();
    QVERIFY(find<QCheckBox>("cbStayOnTop")->isChecked());
    QVERIFY(m_fixture->window->windowFlags().testFlag(Qt::WindowStaysOnTopHint));

    m_fixture->window->show();
    QTest::mouseClick(find<QCheckBox>("cbStayOnTop"), Qt::LeftButton);
    QVERIFY(!m_fixture->window->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    // Changing the flag must not leave the window hidden.
    QVERIFY(m_fixture->window->isVisible());
}

void TestOptions::clickingEitherCertificateBoxFlipsThePair()
{
    m_fixture->start();
    m_fixture->window->show();
    auto *best = find<QCheckBox>("cbSelectBestCert");
    auto *pfx = find<QCheckBox>("cbUsePFXFile");

    QTest::mouseClick(pfx, Qt::LeftButton);
    QVERIFY(pfx->isChecked() && !best->isChecked());
    QVERIFY(find("edCertName")->isEnabled() && find("btnSelPFXFile")->isEnabled());

    QTest::mouseClick(pfx, Qt::LeftButton);   // clearing one ticks the other
    QVERIFY(!pfx->isChecked() && best->isChecked());
    QVERIFY(!find("edPassword")->isEnabled());

    QTest::mouseClick(best, Qt::LeftButton);
    QVERIFY(pfx->isChecked() && !best->isChecked());
    QVERIFY(find("edPassword")->isEnabled());

    QTest::mouseClick(best, Qt::LeftButton);
    QVERIFY(!pfx->isChecked() && best->isChecked());

    QTest::mouseClick(find<QCheckBox>("cbAddDesc"), Qt::LeftButton);
    QVERIFY(find("edAddDesc")->isEnabled() && find("edAddDescURL")->isEnabled());
    QTest::mouseClick(find<QCheckBox>("cbTimeStamp"), Qt::LeftButton);
    QVERIFY(find("edTimeStampURL")->isEnabled());
}

void TestOptions::reactionsRunOnlyOnChange()
{
    m_fixture->start();
    auto *pfx = find<QCheckBox>("cbUsePFXFile");
    auto *best = find<QCheckBox>("cbSelectBestCert");
    QSignalSpy pfxChanges(pfx, &QCheckBox::toggled);
    QSignalSpy bestChanges(best, &QCheckBox::toggled);
    best->setChecked(true);   // already so: nothing runs
    QCOMPARE(pfxChanges.count() + bestChanges.count(), 0);
    pfx->setChecked(true);    // by code, like a load: the chain runs and ends
    QCOMPARE(pfxChanges.count(), 1);
    QCOMPARE(bestChanges.count(), 1);
    QVERIFY(!best->isChecked());
}

void TestOptions::newFileGetsTwelveKeysInOrder()
{
    m_fixture->start();
    find<QLineEdit>("edAddDesc")->setText("Release build");
    restart();
    const QList<QByteArray> lines = readAll(settingsPath()).split('\n');
    QStringList keys;
    for (const QByteArray &line : lines) {
        if (line.contains('='))
            keys << QString::fromUtf8(line.left(line.indexOf('=')));
    }
    QCOMPARE(keys, (QStringList{"SDKBinFolder", "UseBestCert", "UsePFXFile", "PFXFilename",
                                "AddDescription", "DescriptionText", "DescriptionURL",
                                "TimeStamp", "TimeStampURL", "VerboseOutput",
                                "AddCmdLineToConsole", "KeepWndTopMost"}));
    QCOMPARE(lines.first(), QByteArray("[Settings]"));
    QVERIFY(lines.contains("UseBestCert=1"));
    QVERIFY(lines.contains("UsePFXFile=0"));
    QVERIFY(lines.contains("DescriptionText=Release build"));
    QVERIFY(lines.contains("SDKBinFolder="));
}

// Started from an installation without a settings file, the program
// offers the stand-in tools beside it, finds the signing tool there, and
// writes the folder at Exit like any other value.
void TestOptions::standInToolsBesideTheProgramAreOfferedAndKept()
{
    const QString tools = m_fixture->folder() + "/sdk-bin/";
    QVERIFY(QDir().mkpath(tools));
    testfiles::writeScript(tools + "signtool.exe", "exit 0\n");
    testfiles::writeScript(tools + "pvk2pfx.exe", "exit 0\n");
    m_fixture->start();
    QCOMPARE(find<QLineEdit>("edPlatformSDKFolder")->text(), tools);
    QCOMPARE(m_fixture->window->GetSignToolPath(), tools + "signtool.exe");
    restart();
    QVERIFY(readAll(settingsPath()).contains("SDKBinFolder=" + QFile::encodeName(tools) + "\n"));

    // Emptied by the user, it stays empty.
    find<QLineEdit>("edPlatformSDKFolder")->clear();
    restart();
    QCOMPARE(find<QLineEdit>("edPlatformSDKFolder")->text(), QString());
}

void TestOptions::passwordIsNeverWritten()
{
    m_fixture->start();
    find<QCheckBox>("cbUsePFXFile")->setChecked(true);
    find<QLineEdit>("edPassword")->setText("s3cret-Passw0rd");
    restart();
    QVERIFY(!readAll(settingsPath()).contains("s3cret"));
    QVERIFY(!readAll(settingsPath()).toLower().contains("password"));
    QVERIFY(find<QLineEdit>("edPassword")->text().isEmpty());
    QVERIFY(find<QCheckBox>("cbUsePFXFile")->isChecked());
}

void TestOptions::textsComeBackTrimmedAndUnquoted()
{
    m_fixture->start();
    find<QLineEdit>("edAddDesc")->setText("  Release build");
    find<QLineEdit>("edAddDescURL")->setText("\"https://example.org/app\"");
    find<QLineEdit>("edTimeStampURL")->setText(QString::fromUtf8("http://tsa.example/ünïcode  "));
    restart();
    QCOMPARE(find<QLineEdit>("edAddDesc")->text(), QStringLiteral("Release build"));
    QCOMPARE(find<QLineEdit>("edAddDescURL")->text(), QStringLiteral("https://example.org/app"));
    QCOMPARE(find<QLineEdit>("edTimeStampURL")->text(),
             QString::fromUtf8("http://tsa.example/ünïcode"));
}

void TestOptions::disabledPfxFieldsKeepAndSaveTheirTexts()
{
    m_fixture->start();
    find<QCheckBox>("cbUsePFXFile")->setChecked(true);
    find<QLineEdit>("edCertName")->setText("/keys/release.pfx");
    find<QLineEdit>("edPassword")->setText("pw");
    find<QCheckBox>("cbUsePFXFile")->setChecked(false);
    QVERIFY(!find("edCertName")->isEnabled());
    QCOMPARE(find<QLineEdit>("edCertName")->text(), QStringLiteral("/keys/release.pfx"));
    QCOMPARE(find<QLineEdit>("edPassword")->text(), QStringLiteral("pw"));
    find<QCheckBox>("cbUsePFXFile")->setChecked(true);
    QCOMPARE(find<QLineEdit>("edPassword")->text(), QStringLiteral("pw"));
    find<QCheckBox>("cbUsePFXFile")->setChecked(false);

    restart();
    QVERIFY(readAll(settingsPath()).contains("PFXFilename=/keys/release.pfx"));
    QCOMPARE(find<QLineEdit>("edCertName")->text(), QStringLiteral("/keys/release.pfx"));
    QVERIFY(!find("edCertName")->isEnabled());
}

void TestOptions::existingFileKeepsItsOtherLines()
{
    const QByteArray original = "; written by hand\r\n[Other]\r\nKeep=me\r\n[Settings]\r\n"
                                "TimeStamp =  1\r\nExtra = stays\r\n";
    writeAll(settingsPath(), original);
    m_fixture->start();
    restart();
    const QByteArray now = readAll(settingsPath());
    QVERIFY(now.startsWith("; written by hand\r\n[Other]\r\nKeep=me\r\n[Settings]\r\n"));
    // A rewritten key line is "key=value"; a line not written stays as it was.
    QVERIFY(now.contains("TimeStamp=1\r\nExtra = stays\r\n"));
    QVERIFY(now.contains("KeepWndTopMost=0\r\n"));
    QVERIFY(!now.contains("\n\n"));
}

void TestOptions::unwritableSettingsAskBeforeQuitting()
{
    m_fixture->start();
    // A folder where the settings file should be: it can be neither read
    // nor replaced, even by root.
    QVERIFY(QDir().mkpath(settingsPath()));
    m_fixture->window->show();

    m_fixture->dialogs().messageAnswers.enqueue(DialogButton::Ok);
    m_fixture->dialogs().messageAnswers.enqueue(DialogButton::No);
    QVERIFY(!m_fixture->window->close());
    QVERIFY(m_fixture->window->isVisible());
    QCOMPARE(m_fixture->dialogs().messages.size(), 2);
    const ShownMessage error = m_fixture->dialogs().messages.at(0);
    QCOMPARE(error.kind, MessageKind::Error);
    QCOMPARE(error.caption, QStringLiteral("Quillmark"));
    QCOMPARE(error.text, "Unable to write to " + settingsPath() + ".");
    const ShownMessage question = m_fixture->dialogs().messages.at(1);
    QCOMPARE(question.text, QStringLiteral("Quit without saving the settings?"));
    QCOMPARE(question.buttons, DialogButton::Yes | DialogButton::No);
    QCOMPARE(question.defaultButton, DialogButton::No);

    m_fixture->dialogs().messageAnswers.enqueue(DialogButton::Ok);
    m_fixture->dialogs().messageAnswers.enqueue(DialogButton::Yes);
    QVERIFY(m_fixture->window->close());
    QVERIFY(!m_fixture->window->isVisible());
}

void TestOptions::valuesThatAreNotUtf8SurviveARestart()
{
    // Written by another program in Latin-1; nobody edits them here.
    const QByteArray latin1 = "SDKBinFolder=/opt/sdk\xE9/\n"
                              "PFXFilename=/keys/caf\xE9.pfx\n"
                              "DescriptionText=Gr\xFC\xDF" "e\n";
    writeAll(settingsPath(), "[Settings]\n" + latin1);
    m_fixture->start();
    // The two paths hold the names' own bytes, so that they name the same
    // folder and file as the settings file does; the description is text.
    QCOMPARE(find<QLineEdit>("edPlatformSDKFolder")->text(),
             platform::decodeFileName("/opt/sdk\xE9/"));
    QCOMPARE(find<QLineEdit>("edCertName")->text(), platform::decodeFileName("/keys/caf\xE9.pfx"));
    QVERIFY(find<QLineEdit>("edAddDesc")->text().contains(QChar::ReplacementCharacter));
    restart();
    restart();
    const QByteArray now = readAll(settingsPath());
    QVERIFY2(now.startsWith("[Settings]\n" + latin1), now.constData());

    // Edited, the value is the new text.
    find<QLineEdit>("edAddDesc")->setText(QString::fromUtf8("Grüße"));
    restart();
    QVERIFY(readAll(settingsPath()).contains("DescriptionText=Gr\xC3\xBC\xC3\x9F" "e\n"));
}

void TestOptions::latin1SdkFolderFromTheSettingsFindsTheTool()
{
    // Qt's own file functions cannot name this folder; the platform's can.
    const QByteArray sdk = QFile::encodeName(m_fixture->folder()) + "/sdk\xE9/";
    QCOMPARE(::mkdir(sdk.constData(), 0700), 0);
    QCOMPARE(platform::rewriteFile(platform::decodeFileName(sdk + "signtool.exe"), "#!/bin/sh\n"), 0);
    writeAll(settingsPath(), "[Settings]\nSDKBinFolder=" + sdk + "\n");
    m_fixture->start();
    // The picker cancelled, the folder from the file stays, and the tool
    // is found in it: no message.
    m_fixture->window->bntSelSignToolClick();
    QVERIFY2(m_fixture->dialogs().messages.isEmpty(),
             qPrintable(m_fixture->dialogs().messageTexts().join('|')));
    // Without the tool the message names the folder as the file list
    // would show it.
    QCOMPARE(::unlink((sdk + "signtool.exe").constData()), 0);
    m_fixture->window->bntSelSignToolClick();
    QCOMPARE(m_fixture->dialogs().messages.size(), 1);
    QVERIFY2(m_fixture->dialogs().messages.first().text.contains(
                 "\n\n" + QFile::decodeName(sdk) + "signtool.exe\n\n"),
             qPrintable(m_fixture->dialogs().messages.first().text));
    m_fixture->window->show();
    QVERIFY(m_fixture->window->close());
    QVERIFY(readAll(settingsPath()).startsWith("[Settings]\nSDKBinFolder=" + sdk + "\n"));
}

void TestOptions::cancelledFolderPickerStillWarnsWithBareName()
{
    m_fixture->start();
    QTest::mouseClick(find<QPushButton>("bntSelSignTool"), Qt::LeftButton);
    QCOMPARE(m_fixture->dialogs().dialogs.size(), 1);
    const ShownDialog dialog = m_fixture->dialogs().dialogs.first();
    QCOMPARE(dialog.kind, ShownDialog::Folder);
    QCOMPARE(dialog.caption, QStringLiteral("Select Folder"));
    QCOMPARE(dialog.prompt, QStringLiteral("Select the MS Platform SDK Bin Folder..."));
    QCOMPARE(find<QLineEdit>("edPlatformSDKFolder")->text(), QString());
    QCOMPARE(m_fixture->dialogs().messages.size(), 1);
    QCOMPARE(m_fixture->dialogs().messages.first().caption, QStringLiteral("Information"));
    QCOMPARE(m_fixture->dialogs().messages.first().text,
             QStringLiteral("Please note: The MS SignTool.exe was not found in the path you have "
                            "selected:\n\nsigntool.exe\n\nYou need to re-install the MS Platform "
                            "SDK or re-select the correct folder path."));
}

void TestOptions::pickedFolderGetsOneTrailingSlash_data()
{
    QTest::addColumn<QString>("picked");
    QTest::addColumn<QString>("shown");
    QTest::newRow("root") << "/" << "/";
    QTest::newRow("folder") << "/opt/sdk/bin" << "/opt/sdk/bin/";
    QTest::newRow("already ends in a slash") << "/opt/sdk/bin/" << "/opt/sdk/bin/";
}

void TestOptions::pickedFolderGetsOneTrailingSlash()
{
    QFETCH(QString, picked);
    QFETCH(QString, shown);
    m_fixture->start();
    m_fixture->dialogs().folderAnswers.enqueue(picked);
    m_fixture->window->bntSelSignToolClick();
    QCOMPARE(find<QLineEdit>("edPlatformSDKFolder")->text(), shown);
    // No tool there: the folder stays chosen all the same, with the message.
    QCOMPARE(m_fixture->dialogs().messages.size(), 1);
    QVERIFY(m_fixture->dialogs().messages.first().text.contains(shown + "signtool.exe\n\n"));
    // The next showing opens at the last choice.
    m_fixture->window->bntSelSignToolClick();
    QCOMPARE(m_fixture->dialogs().dialogs.last().startPath, picked);
}

void TestOptions::pickedFolderWithTheToolSaysNothing()
{
    m_fixture->start();
    writeAll(m_fixture->folder() + "/signtool.exe", "#!/bin/sh\n");
    m_fixture->dialogs().folderAnswers.enqueue(m_fixture->folder());
    m_fixture->window->bntSelSignToolClick();
    QCOMPARE(find<QLineEdit>("edPlatformSDKFolder")->text(), m_fixture->folder() + "/");
    QVERIFY(m_fixture->dialogs().messages.isEmpty());
}

void TestOptions::pfxPicker()
{
    m_fixture->start();
    find<QCheckBox>("cbUsePFXFile")->setChecked(true);
    m_fixture->dialogs().fileAnswers.enqueue(QStringLiteral("/keys/a b.pfx"));
    QTest::mouseClick(find<QPushButton>("btnSelPFXFile"), Qt::LeftButton);
    QCOMPARE(find<QLineEdit>("edCertName")->text(), QStringLiteral("/keys/a b.pfx"));
    const ShownDialog dialog = m_fixture->dialogs().dialogs.first();
    QCOMPARE(dialog.kind, ShownDialog::OpenFile);
    QCOMPARE(dialog.filter, QStringLiteral("Personal Information Exchange (*.pfx)"));
    QVERIFY(dialog.caption.isEmpty());

    // Cancel changes nothing.
    QTest::mouseClick(find<QPushButton>("btnSelPFXFile"), Qt::LeftButton);
    QCOMPARE(find<QLineEdit>("edCertName")->text(), QStringLiteral("/keys/a b.pfx"));
}

QTEST_MAIN(TestOptions)
#include "tst_options.moc"
