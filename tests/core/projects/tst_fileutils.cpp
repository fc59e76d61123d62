#include "base/AppError.h"
#include "platform/Platform.h"
#include "projects/FileUtils.h"
#include "support/TestData.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {

void touch(const QString &path)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
}

QString forceError(const QString &path)
{
    try {
        ForceFolders(path);
    } catch (const AppError &error) {
        return error.message();
    }
    return QStringLiteral("<no error>");
}

} // namespace

class TestFileUtils : public QObject {
    Q_OBJECT

private slots:
    void cleanupTestCase() { testdata::removeFolderContents(m_dir.path()); }
    void existence();
    void forceFolders();
    void forceFoldersFailures();
    void buildFileList();
    void buildFileListKeepsNamesThatAreNotUtf8();
    void wildcards_data();
    void wildcards();

private:
    QTemporaryDir m_dir;
    QString path(const QString &name) const { return m_dir.filePath(name); }
};

void TestFileUtils::existence()
{
    touch(path("file.exe"));
    QVERIFY(QDir().mkpath(path("folder")));
    QVERIFY(QFile::link(path("gone"), path("dangling")));
    QVERIFY(QFile::link(path("folder"), path("folder-link")));

    QVERIFY(FileExists(path("file.exe")));
    QVERIFY(FileExists(path("folder")));          // a folder counts as an entry
    QVERIFY(FileExists(path("folder/")));
    QVERIFY(FileExists(path("dangling")));        // so does a link to nothing
    QVERIFY(!FileExists(path("missing.exe")));
    QVERIFY(!FileExists(path("File.exe")));       // letter case counts
    QVERIFY(!FileExists(QString()));
    QVERIFY(!FileExists(path("file.exe/x")));

    QVERIFY(FolderExists(path("folder")));
    QVERIFY(FolderExists(path("folder/")));
    QVERIFY(FolderExists(path("folder-link")));
    QVERIFY(!FolderExists(path("file.exe")));
    QVERIFY(!FolderExists(path("missing")));
    QVERIFY(!FolderExists(path("dangling")));
    QVERIFY(!FolderExists(QString()));
}

void TestFileUtils::forceFolders()
{
    const QString deep = path("Projects/a/b c/d");
    ForceFolders(deep);
    QVERIFY(QFileInfo(deep).isDir());

    ForceFolders(deep);                           // existing: done, no error
    ForceFolders(path("Projects/"));              // trailing "/" ignored
    ForceFolders(path("trail//"));
    QVERIFY(QFileInfo(path("trail")).isDir());
    ForceFolders("/");

    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(m_dir.path()));
    ForceFolders("relative/child");
    QDir::setCurrent(previous);
    QVERIFY(QFileInfo(path("relative/child")).isDir());
}

void TestFileUtils::forceFoldersFailures()
{
    // Only an empty path is an error.
    QCOMPARE(forceError(QString()), QString("Unable to create directory"));

    // A file stands where a parent folder should be made: no error, a false
    // result, and nothing is made past it.
    touch(path("plain"));
    QCOMPARE(forceError(path("plain/sub/deeper/")), QStringLiteral("<no error>"));
    QVERIFY(!ForceFolders(path("plain/sub/deeper/")));
    QVERIFY(QFileInfo(path("plain")).isFile());

    touch(path("leaf"));
    QCOMPARE(forceError(path("leaf")), QStringLiteral("<no error>"));
    QVERIFY(!ForceFolders(path("leaf")));
    QVERIFY(QFileInfo(path("leaf")).isFile());
    QVERIFY(ForceFolders(path("made/here")));
}

void TestFileUtils::buildFileList()
{
    const QString folder = path("list");
    QVERIFY(QDir().mkpath(folder));
    for (const char *name : {"Nightly.qmk", "alpha.qmk", "Beta.qmk", "beta.qmk", ".hidden.qmk",
                             "upper.QMK", "other.txt", "notes.qmk.bak", "x.qmkx"})
        touch(folder + "/" + name);
    QVERIFY(QDir().mkpath(folder + "/folder.qmk"));

    const QStringList expected{".hidden.qmk", "alpha.qmk", "Beta.qmk", "beta.qmk", "folder.qmk",
                               "Nightly.qmk"};
    QCOMPARE(BuildFileList(folder, "*.qmk"), expected);
    QCOMPARE(BuildFileList(folder + "/", "*.qmk"), expected);

    const QStringList all = BuildFileList(folder, "*");
    QCOMPARE(all.size(), 10);
    QVERIFY(!all.contains("."));
    QVERIFY(!all.contains(".."));
    QCOMPARE(BuildFileList(folder, "other.txt"), QStringList{"other.txt"});

    QVERIFY(BuildFileList(path("no-such-folder"), "*.qmk").isEmpty());
    QVERIFY(BuildFileList(folder + "/other.txt", "*").isEmpty());
    QVERIFY(QDir().mkpath(path("empty")));
    QVERIFY(BuildFileList(path("empty"), "*.qmk").isEmpty());
}

void TestFileUtils::buildFileListKeepsNamesThatAreNotUtf8()
{
    const QString folder = path("latin1");
    QVERIFY(QDir().mkpath(folder));
    touch(folder + "/plain.qmk");
    const QByteArray latin1 = QFile::encodeName(folder) + "/caf\xE9.qmk";
    QCOMPARE(platform::rewriteFile(platform::decodeFileName(latin1), ""), 0);
    QCOMPARE(BuildFileList(folder, "*.qmk"),
             QStringList({platform::decodeFileName("caf\xE9.qmk"), "plain.qmk"}));
}

void TestFileUtils::wildcards_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("mask");
    QTest::addColumn<bool>("matches");
    QTest::newRow("extension") << "a.qmk" << "*.qmk" << true;
    QTest::newRow("only the extension") << ".qmk" << "*.qmk" << true;
    QTest::newRow("letter case counts") << "a.QMK" << "*.qmk" << false;
    QTest::newRow("more after") << "a.qmk.bak" << "*.qmk" << false;
    QTest::newRow("extension twice") << "a.qmk.qmk" << "*.qmk" << true;
    QTest::newRow("star alone") << "anything" << "*" << true;
    QTest::newRow("star matches none") << "" << "*" << true;
    QTest::newRow("question mark is one") << "ab" << "a?" << true;
    QTest::newRow("question mark is not none") << "a" << "a?" << false;
    QTest::newRow("plain name") << "other.txt" << "other.txt" << true;
    QTest::newRow("plain name, shorter") << "other.tx" << "other.txt" << false;
    QTest::newRow("two stars") << "a-b-c.qmk" << "*-*.qmk" << true;
    QTest::newRow("star needs a step back") << "aab" << "*ab" << true;
    QTest::newRow("kept byte") << platform::decodeFileName("caf\xE9.qmk") << "caf?.qmk" << true;
}

void TestFileUtils::wildcards()
{
    QFETCH(QString, name);
    QFETCH(QString, mask);
    QFETCH(bool, matches);
    QCOMPARE(MatchesWildcard(name, mask), matches);
}

QTEST_GUILESS_MAIN(TestFileUtils)
#include "tst_fileutils.moc"
