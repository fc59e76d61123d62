// The project file's names and entries without the window: how names sort,
// that every path a project stores reads back as the same path (or is
// refused with a reason), and which [Files] entries a load leaves unread.

#include "base/IniFile.h"
#include "platform/Platform.h"
#include "projects/ProjectFile.h"
#include "support/FileContents.h"

#include <QTemporaryDir>
#include <QTest>

class TestProjectFile : public QObject {
    Q_OBJECT
private slots:
    void namesSortAsTheDropDownShowsThem();
    void storedPathsReadBackUnchanged_data();
    void storedPathsReadBackUnchanged();
    void unstorablePathsAreNamedWithAReason_data();
    void unstorablePathsAreNamedWithAReason();
    void unreadEntriesComeFromEverySection();
};

void TestProjectFile::namesSortAsTheDropDownShowsThem()
{
    // "a-b.qmk" sorts before "a.qmk", but the name "a" before "a-b"; a
    // file name of four characters or less has an empty name.
    QCOMPARE(ProjectNames({"b.qmk", "a.qmk", "a-b.qmk", "A.qmk", ".qmk", "Nightly.qmk"}),
             (QStringList{"", "A", "a", "a-b", "b", "Nightly"}));
    QCOMPARE(ProjectName("x"), QString());
}

void TestProjectFile::storedPathsReadBackUnchanged_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("plain") << "/build/app.exe";
    QTest::newRow("trailing blank") << "/build/app.exe ";
    QTest::newRow("trailing tab") << "/build/app.exe\t";
    QTest::newRow("blanks inside") << "/my build/my app.exe";
    QTest::newRow("ends in a quote") << "/build/'app'";
    QTest::newRow("quoted and blank-edged") << "/build/\"x\" ";
    QTest::newRow("not UTF-8") << platform::decodeFileName("/build/caf\xE9.exe");
}

void TestProjectFile::storedPathsReadBackUnchanged()
{
    QFETCH(QString, path);
    QVERIFY(!UnstorableReason(path));
    const std::vector<IniEntry> entries = ListedFileEntries({"/first.exe", path});
    QCOMPARE(entries.size(), size_t(2));
    QCOMPARE(entries[1].key, QStringLiteral("File.1"));
    // Through a real file: what a load reads is the path itself.
    QTemporaryDir folder;
    const QString file = folder.filePath("p.qmk");
    IniFile written(file);
    written.replaceSection(ProjectFilesSection, entries);
    written.commit();
    const IniFile read(file);
    QCOMPARE(read.readFileName(ProjectFilesSection, "File.1", "<missing>"), path);
    QCOMPARE(platform::decodeFileName(cleanIniBytes(StoredValuesByKey(read, "files").value("file.1"))),
             path);
}

void TestProjectFile::unstorablePathsAreNamedWithAReason_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("reason");
    const QString tooLong = QStringLiteral("its path is longer than 2047 bytes");
    QTest::newRow("line feed") << "/a\nb.exe" << "its path holds a line break";
    QTest::newRow("carriage return") << "/a\rb.exe" << "its path holds a line break";
    QTest::newRow("2047 bytes") << "/" + QString(2046, u'x') << "";
    QTest::newRow("2048 bytes") << "/" + QString(2047, u'x') << tooLong;
    // Counted in bytes as stored: "é" takes two, a kept Latin-1 byte one.
    QTest::newRow("1024 two-byte letters") << QString(1024, QChar(0xE9)) << tooLong;
    QTest::newRow("2047 kept single bytes")
        << platform::decodeFileName(QByteArray(2047, '\xE9')) << "";
}

void TestProjectFile::unstorablePathsAreNamedWithAReason()
{
    QFETCH(QString, path);
    QFETCH(QString, reason);
    QCOMPARE(UnstorableReason(path).value_or(QString()), reason);
    if (!reason.isEmpty()) {
        const QString text = UnstorableFileText(path, reason);
        QVERIFY(text.startsWith("This file cannot be kept in a project, because " + reason));
        QVERIFY(text.endsWith("The project was not saved. Remove the file from the list to save "
                              "the project."));
    }
}

void TestProjectFile::unreadEntriesComeFromEverySection()
{
    QTemporaryDir folder;
    const QString file = folder.filePath("p.qmk");
    testfiles::writeAll(file, "[Files]\nFile.0=/a\nFile.1=/b\nFile.3=/gap\n[Other]\nx=1\n"
                              "[FILES]\nfile.1=/again\nFile.9 = /nine \n");
    const IniFile project(file);
    const std::vector<IniEntry> unread = UnreadFileEntries(project, 2);
    QCOMPARE(unread.size(), size_t(2));
    QCOMPARE(unread[0].key, QStringLiteral("File.3"));
    QCOMPARE(unread[0].value, QByteArray("/gap"));
    QCOMPARE(unread[1].key, QStringLiteral("File.9"));
    QCOMPARE(unread[1].value, QByteArray("/nine"));
    // A load of nothing leaves everything unread, each name once.
    QCOMPARE(UnreadFileEntries(project, 0).size(), size_t(4));
}

QTEST_GUILESS_MAIN(TestProjectFile)
#include "tst_projectfile.moc"
