// The option table without a window: what a program that reads the
// settings file or a project gets, and what it writes.

#include "base/IniFile.h"
#include "options/OptionTable.h"

#include "support/FileContents.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

using testfiles::readAll;
using testfiles::writeAll;

class TestOptionTable : public QObject {
    Q_OBJECT
private slots:
    void init();

    void tableKeysAreDistinctAndTyped();
    void missingFileGivesTheWindowsDefaults();
    void newFileGetsTheKeysInTheirOrder_data();
    void newFileGetsTheKeysInTheirOrder();
    void storedPfxFlagDecidesThePair_data();
    void storedPfxFlagDecidesThePair();
    void projectNeverCarriesTheSdkFolder();
    void valuesComeBackAsTheyWereWritten();
    void signOptionsTakeThePasswordFromTheCaller();
    void standInToolsOfferedWhenTheSettingsNameNoFolder_data();
    void standInToolsOfferedWhenTheSettingsNameNoFolder();

private:
    QString path(const char *name) const { return m_folder->filePath(QString::fromLatin1(name)); }
    std::unique_ptr<QTemporaryDir> m_folder;
};

void TestOptionTable::init()
{
    m_folder = std::make_unique<QTemporaryDir>();
    QVERIFY(m_folder->isValid());
}

void TestOptionTable::tableKeysAreDistinctAndTyped()
{
    QSet<QByteArray> keys;
    for (const OptionSpec &option : OptionTable()) {
        QVERIFY2(!keys.contains(option.key), option.key);
        keys.insert(option.key);
        // A flag has a flag's value and no text, a text the other way round.
        QCOMPARE(option.flag != nullptr, option.kind == OptionKind::Flag);
        QCOMPARE(option.text != nullptr, option.kind != OptionKind::Flag);
    }
    QCOMPARE(keys.size(), 12);
}

void TestOptionTable::missingFileGivesTheWindowsDefaults()
{
    const StoredOptions read = ReadOptions(IniFile(path("none.ini")), OptionScope::Settings);
    QVERIFY(read == StoredOptions());
    QVERIFY(read.selectBestCert);
    QVERIFY(read.verboseOutput);
    QVERIFY(!read.usePfxFile && !read.timeStamp && !read.addDescription);
    QVERIFY(!read.addCmdLineToConsole && !read.keepWindowOnTop);
    QVERIFY(read.sdkBinFolder.isEmpty() && read.pfxFilename.isEmpty());
}

void TestOptionTable::newFileGetsTheKeysInTheirOrder_data()
{
    QTest::addColumn<bool>("project");
    QTest::addColumn<QByteArray>("expected");
    const QByteArray rest = "UseBestCert=1\nUsePFXFile=0\nPFXFilename=\nAddDescription=0\n"
                            "DescriptionText=\nDescriptionURL=\nTimeStamp=0\nTimeStampURL=\n"
                            "VerboseOutput=1\nAddCmdLineToConsole=0\nKeepWndTopMost=0\n";
    QTest::newRow("settings") << false << "[Settings]\nSDKBinFolder=\n" + rest;
    QTest::newRow("project") << true << "[Settings]\n" + rest;
}

void TestOptionTable::newFileGetsTheKeysInTheirOrder()
{
    QFETCH(bool, project);
    QFETCH(QByteArray, expected);
    IniFile file(path("new.ini"));
    WriteOptions(file, StoredOptions(), project ? OptionScope::Project : OptionScope::Settings);
    file.commit();
    QCOMPARE(readAll(path("new.ini")), expected);
}

void TestOptionTable::storedPfxFlagDecidesThePair_data()
{
    QTest::addColumn<QByteArray>("stored");
    QTest::addColumn<bool>("pfx");
    QTest::newRow("nothing stored") << QByteArray() << false;
    QTest::newRow("both on") << QByteArray("UseBestCert=1\nUsePFXFile=1\n") << true;
    QTest::newRow("both off") << QByteArray("UseBestCert=0\nUsePFXFile=0\n") << false;
    QTest::newRow("best off alone") << QByteArray("UseBestCert=0\n") << false;
    QTest::newRow("pfx on alone") << QByteArray("UsePFXFile=-1\n") << true;
}

void TestOptionTable::storedPfxFlagDecidesThePair()
{
    QFETCH(QByteArray, stored);
    QFETCH(bool, pfx);
    writeAll(path("pair.ini"), "[Settings]\n" + stored);
    for (OptionScope scope : {OptionScope::Settings, OptionScope::Project}) {
        const StoredOptions read = ReadOptions(IniFile(path("pair.ini")), scope);
        QCOMPARE(read.usePfxFile, pfx);
        QCOMPARE(read.selectBestCert, !pfx);
    }
}

void TestOptionTable::projectNeverCarriesTheSdkFolder()
{
    const QByteArray before = "[Settings]\nSDKBinFolder=/opt/sdk/\nTimeStamp=1\n";
    writeAll(path("job.qmk"), before);
    IniFile project(path("job.qmk"));
    const StoredOptions read = ReadOptions(project, OptionScope::Project);
    QVERIFY(read.sdkBinFolder.isEmpty());
    QVERIFY(read.timeStamp);

    StoredOptions written = read;
    written.sdkBinFolder = QStringLiteral("/elsewhere/");
    WriteOptions(project, written, OptionScope::Project);
    project.commit();
    // The folder the file had stays as it was; the window's is not written.
    QVERIFY(readAll(path("job.qmk")).startsWith(before.left(before.indexOf("TimeStamp"))));
    QVERIFY(!readAll(path("job.qmk")).contains("elsewhere"));
}

void TestOptionTable::valuesComeBackAsTheyWereWritten()
{
    StoredOptions options;
    options.sdkBinFolder = QStringLiteral("/opt/Pl\u00E4tform SDK/bin/");
    options.selectBestCert = false;
    options.usePfxFile = true;
    options.pfxFilename = QStringLiteral("/keys/Sch\u00FCssel.pfx");
    options.addDescription = true;
    options.descriptionText = QStringLiteral("Quill \u00BB mark");
    options.descriptionUrl = QStringLiteral("https://example.org/q");
    options.timeStamp = true;
    options.timeStampUrl = QStringLiteral("http://tsa.example.org");
    options.verboseOutput = false;
    options.addCmdLineToConsole = true;
    options.keepWindowOnTop = true;
    {
        IniFile file(path("round.ini"));
        WriteOptions(file, options, OptionScope::Settings);
        file.commit();
    }
    QVERIFY(ReadOptions(IniFile(path("round.ini")), OptionScope::Settings) == options);

    StoredOptions withoutFolder = options;
    withoutFolder.sdkBinFolder.clear();
    QVERIFY(ReadOptions(IniFile(path("round.ini")), OptionScope::Project) == withoutFolder);
}

void TestOptionTable::signOptionsTakeThePasswordFromTheCaller()
{
    writeAll(path("sign.ini"), "[Settings]\nSDKBinFolder=/sdk/\nUsePFXFile=1\n"
                               "PFXFilename=/k.pfx\nTimeStamp=1\nTimeStampURL=http://t\n"
                               "AddDescription=1\nDescriptionText=d\nDescriptionURL=u\n"
                               "VerboseOutput=0\n");
    const SignOptions sign = ToSignOptions(
        ReadOptions(IniFile(path("sign.ini")), OptionScope::Settings), QStringLiteral("secret"));
    QCOMPARE(sign.sdkBinFolder, QStringLiteral("/sdk/"));
    QVERIFY(!sign.selectBestCert);
    QVERIFY(sign.usePfxFile);
    QCOMPARE(sign.pfxFilename, QStringLiteral("/k.pfx"));
    QCOMPARE(sign.pfxPassword, QStringLiteral("secret"));
    QVERIFY(sign.timeStamp);
    QCOMPARE(sign.timeStampUrl, QStringLiteral("http://t"));
    QVERIFY(sign.addDescription);
    QCOMPARE(sign.descriptionText, QStringLiteral("d"));
    QCOMPARE(sign.descriptionUrl, QStringLiteral("u"));
    QVERIFY(!sign.verboseOutput);
}

void TestOptionTable::standInToolsOfferedWhenTheSettingsNameNoFolder_data()
{
    QTest::addColumn<QString>("programFolder");  // below the temporary folder
    QTest::addColumn<QStringList>("tools");       // made, below the temporary folder
    QTest::addColumn<QByteArray>("settings");
    QTest::addColumn<QString>("offered");         // below the temporary folder, or empty

    const QStringList both = {"sdk-bin/signtool.exe", "sdk-bin/pvk2pfx.exe"};
    const QStringList inBuild = {"build/sdk-bin/signtool.exe", "build/sdk-bin/pvk2pfx.exe"};
    QTest::newRow("installation, no settings file")
        << "" << both << QByteArray() << "sdk-bin/";
    QTest::newRow("build, no settings file")
        << "build/src/" << inBuild << QByteArray() << "build/sdk-bin/";
    QTest::newRow("settings without the folder")
        << "" << both << QByteArray("[Settings]\nTimeStamp=1\n") << "sdk-bin/";
    QTest::newRow("a folder chosen by the user stays")
        << "" << both << QByteArray("[Settings]\nSDKBinFolder=/opt/sdk/\n") << "/opt/sdk/";
    QTest::newRow("an emptied folder stays empty")
        << "" << both << QByteArray("[Settings]\nSDKBinFolder=\n") << "";
    QTest::newRow("one tool only")
        << "" << QStringList{"sdk-bin/signtool.exe"} << QByteArray() << "";
    QTest::newRow("a folder in the tool's place")
        << "" << QStringList{"sdk-bin/signtool.exe/", "sdk-bin/pvk2pfx.exe"} << QByteArray() << "";
}

void TestOptionTable::standInToolsOfferedWhenTheSettingsNameNoFolder()
{
    QFETCH(QString, programFolder);
    QFETCH(QStringList, tools);
    QFETCH(QByteArray, settings);
    QFETCH(QString, offered);
    const QString root = m_folder->path() + QLatin1Char('/');
    QVERIFY(QDir().mkpath(root + programFolder));
    for (const QString &tool : tools) {
        if (tool.endsWith(QLatin1Char('/'))) {
            QVERIFY(QDir().mkpath(root + tool));
        } else {
            QVERIFY(QDir().mkpath(QFileInfo(root + tool).path()));
            writeAll(root + tool, "#!/bin/sh\n");
        }
    }
    const QString settingsPath = root + programFolder + QStringLiteral("Quillmark.ini");
    if (!settings.isEmpty())
        writeAll(settingsPath, settings);

    const QString expected =
        offered.isEmpty() || offered.startsWith(QLatin1Char('/')) ? offered : root + offered;
    QCOMPARE(ReadSettingsOptions(IniFile(settingsPath), root + programFolder).sdkBinFolder,
             expected);
    // Reading the file alone never offers anything.
    if (!offered.startsWith(QLatin1Char('/')))
        QVERIFY(ReadOptions(IniFile(settingsPath), OptionScope::Settings).sdkBinFolder.isEmpty());
}

QTEST_GUILESS_MAIN(TestOptionTable)
#include "tst_optiontable.moc"
