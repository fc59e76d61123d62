// What the platform layer makes of a path: which entry it names (the link
// or what it leads to), and reading and copying only regular files, never
// waiting on a FIFO that someone put in a file's place.

#include "platform/Platform.h"
#include "support/OtherUser.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMap>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <cstdio>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

class TestFiles : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void linkAndTargetAreTwoEntries();
    void folderEntryIdentitiesFollowLinks();
    void onlyRegularFilesAreOpenedForReading_data();
    void onlyRegularFilesAreOpenedForReading();
    void readingAFifoNeverWaits();
    void copyTakesOnlyARegularSource();
    void copyKeepsPermissionsAndTime();
    void writesRefuseAnotherUsersFolderLink();
    void currentFolderKeepsItsBytes();
    void executableFolderKeepsItsBytes();
    void removeEntryTakesTheLinkNotItsTarget();

private:
    QString path(const char *name) const { return m_folder->filePath(QString::fromLatin1(name)); }
    void makeEntries();

    QTemporaryDir *m_folder = nullptr;
};

void TestFiles::init()
{
    m_folder = new QTemporaryDir;
    QVERIFY(m_folder->isValid());
    makeEntries();
}

void TestFiles::cleanup()
{
    delete m_folder;
    m_folder = nullptr;
}

// file (regular, "data"), folder/, fifo, link -> file, dangling -> missing.
void TestFiles::makeEntries()
{
    QFile file(path("file"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write("data"), qint64(4));
    file.close();
    QCOMPARE(::mkdir(QFile::encodeName(path("folder")).constData(), 0700), 0);
    QCOMPARE(::mkfifo(QFile::encodeName(path("fifo")).constData(), 0600), 0);
    QCOMPARE(::symlink("file", QFile::encodeName(path("link")).constData()), 0);
    QCOMPARE(::symlink("missing", QFile::encodeName(path("dangling")).constData()), 0);
}

void TestFiles::linkAndTargetAreTwoEntries()
{
    const auto target = platform::fileIdentity(path("file"));
    QVERIFY(target);
    QCOMPARE(platform::fileIdentity(path("link")), target);
    QVERIFY(platform::entryIdentity(path("link")));
    QVERIFY(platform::entryIdentity(path("link")) != target);

    // A dangling link is an entry but names no file.
    QVERIFY(platform::pathExists(path("dangling")));
    QVERIFY(!platform::fileIdentity(path("dangling")));
    QVERIFY(platform::entryIdentity(path("dangling")));
    QVERIFY(!platform::pathExists(path("missing")));
    QVERIFY(!platform::entryIdentity(path("missing")));
    QVERIFY(!platform::pathExists(QString()));

    QVERIFY(platform::folderExists(path("folder")));
    QVERIFY(!platform::folderExists(path("file")));
    const auto facts = platform::fileFacts(path("link"));
    QVERIFY(facts && !facts->isFolder);
    QCOMPARE(facts->size, qint64(4));
    QCOMPARE(facts->identity, *target);
}

void TestFiles::onlyRegularFilesAreOpenedForReading_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("error");
    QTest::newRow("file") << "file" << 0;
    QTest::newRow("link to a file") << "link" << 0;
    QTest::newRow("folder") << "folder" << EISDIR;
    QTest::newRow("fifo") << "fifo" << EINVAL;
    QTest::newRow("dangling link") << "dangling" << ENOENT;
    QTest::newRow("missing") << "missing" << ENOENT;
}

void TestFiles::onlyRegularFilesAreOpenedForReading()
{
    QFETCH(QString, name);
    QFETCH(int, error);
    int reported = -1;
    const int fd = platform::openRegularFile(m_folder->filePath(name), &reported);
    QCOMPARE(reported, error);
    QCOMPARE(fd >= 0, error == 0);
    if (fd >= 0) {
        // An ordinary blocking descriptor that reads the file.
        char buffer[8] = {};
        QCOMPARE(::read(fd, buffer, sizeof buffer), ssize_t(4));
        QCOMPARE(QByteArray(buffer, 4), QByteArray("data"));
        ::close(fd);
    }

    const platform::FileReadResult read = platform::readRegularFile(m_folder->filePath(name));
    QCOMPARE(read.ok, error == 0);
    QCOMPARE(read.exists, error != ENOENT);
    QCOMPARE(read.errorCode, error);
    if (read.ok)
        QCOMPARE(read.data, QByteArray("data"));
}

void TestFiles::readingAFifoNeverWaits()
{
    // No writer ever comes: a plain open would wait for good.
    QElapsedTimer clock;
    clock.start();
    int error = 0;
    QCOMPARE(platform::openRegularFile(path("fifo"), &error), -1);
    QCOMPARE(platform::copyFileReplacing(path("fifo"), path("copy")), EINVAL);
    QVERIFY(clock.elapsed() < 5000);
    QVERIFY(!QFile::exists(path("copy")));
}

void TestFiles::copyTakesOnlyARegularSource()
{
    QFile target(path("target"));
    QVERIFY(target.open(QIODevice::WriteOnly));
    target.write("old");
    target.close();
    QCOMPARE(platform::copyFileReplacing(path("folder"), path("target")), EISDIR);
    QCOMPARE(platform::copyFileReplacing(path("missing"), path("target")), ENOENT);
    QVERIFY(target.open(QIODevice::ReadOnly));
    QCOMPARE(target.readAll(), QByteArray("old"));
    // Nothing but the target is left in the folder: no temporary remains.
    QCOMPARE(QDir(m_folder->path()).entryList(QDir::Files | QDir::Hidden | QDir::System).size(),
             5);   // file, fifo, link, dangling, target
}

// A group member replaced Projects/ (or a copy's target folder) with a link
// to a root-only folder: a project save and Copy File(s) To refuse to go
// there (EACCES, "Unable to write to ..." for the user), and the folder
// stays as it was.
void TestFiles::writesRefuseAnotherUsersFolderLink()
{
    QM_SKIP_UNLESS_ROOT(nobody);
    const QByteArray vault = QFile::encodeName(path("vault"));
    QCOMPARE(::mkdir(vault.constData(), 0700), 0);
    QFile project(path("vault/Release.ini"));
    QVERIFY(project.open(QIODevice::WriteOnly));
    QCOMPARE(project.write("root's"), qint64(6));
    project.close();
    const QByteArray link = QFile::encodeName(path("Projects"));
    QCOMPARE(::symlink(vault.constData(), link.constData()), 0);
    QCOMPARE(::lchown(link.constData(), nobody->uid, nobody->gid), 0);

    QCOMPARE(platform::rewriteFile(path("Projects/Release.ini"), "[Project]\n"), EACCES);
    QCOMPARE(platform::rewriteFile(path("Projects/New.ini"), "[Project]\n"), EACCES);
    QCOMPARE(platform::copyFileReplacing(path("file"), path("Projects/file")), EACCES);
    QCOMPARE(platform::folderEntryNames(path("vault")), QStringList{"Release.ini"});
    QCOMPARE(platform::readRegularFile(path("vault/Release.ini")).data, QByteArray("root's"));
}

void TestFiles::copyKeepsPermissionsAndTime()
{
    const QByteArray source = QFile::encodeName(path("file"));
    QCOMPARE(::chmod(source.constData(), 0750), 0);
    const struct timespec times[2] = {{0, UTIME_OMIT}, {1'000'000'000, 0}};
    QCOMPARE(::utimensat(AT_FDCWD, source.constData(), times, 0), 0);

    QCOMPARE(platform::copyFileReplacing(path("link"), path("copy")), 0);
    struct stat info {};
    QCOMPARE(::lstat(QFile::encodeName(path("copy")).constData(), &info), 0);
    QVERIFY(S_ISREG(info.st_mode));
    QCOMPARE(info.st_mode & 07777, mode_t(0750));
    QCOMPARE(info.st_mtim.tv_sec, time_t(1'000'000'000));
    QFile copy(path("copy"));
    QVERIFY(copy.open(QIODevice::ReadOnly));
    QCOMPARE(copy.readAll(), QByteArray("data"));
}

void TestFiles::currentFolderKeepsItsBytes()
{
    const QByteArray folder = QFile::encodeName(m_folder->path()) + "/caf\xE9";
    QCOMPARE(::mkdir(folder.constData(), 0700), 0);
    const QString previous = QDir::currentPath();
    QCOMPARE(::chdir(folder.constData()), 0);
    const QString current = platform::currentFolder();
    QCOMPARE(::chdir(QFile::encodeName(previous).constData()), 0);
    QCOMPARE(platform::encodeFileName(current), folder);
    QVERIFY(platform::folderExists(current));
    QCOMPARE(::rmdir(folder.constData()), 0);   // QTemporaryDir cannot see such a name
}

// This very test program, copied into a folder named in Latin-1, says
// where it runs from (see main below).
void TestFiles::executableFolderKeepsItsBytes()
{
    QCOMPARE(platform::executableFolder(), QCoreApplication::applicationDirPath());

    const QByteArray folder = QFile::encodeName(m_folder->path()) + "/caf\xE9";
    QCOMPARE(::mkdir(folder.constData(), 0700), 0);
    const QString copy = platform::decodeFileName(folder + "/tst_Files");
    QCOMPARE(platform::copyFileReplacing(QCoreApplication::applicationFilePath(), copy), 0);
    const QString output = path("printed");
    const platform::ProcessOutcome outcome = platform::runProcess(
        {copy, {QStringLiteral("--print-executable-folder")}, {}, output, false});
    const QByteArray printed = platform::readRegularFile(output).data;
    QCOMPARE(platform::removeEntry(copy), 0);
    QCOMPARE(::rmdir(folder.constData()), 0);   // QTemporaryDir cannot see such a name
    QVERIFY(outcome.started);
    QCOMPARE(outcome.exitCode, 0);
    QCOMPARE(printed, folder);
}

void TestFiles::folderEntryIdentitiesFollowLinks()
{
    QMap<QString, platform::FileIdentity> found;
    for (const auto &[name, identity] : platform::folderEntryIdentities(m_folder->path() + "/"))
        found.insert(name, identity);
    // The dangling link names no file and is left out; the link is the file.
    QCOMPARE(found.keys(), QStringList({"fifo", "file", "folder", "link"}));
    for (const QString &name : found.keys())
        QVERIFY2(found.value(name) == *platform::fileIdentity(path(qPrintable(name))),
                 qPrintable(name));
    QVERIFY(found.value("link") == found.value("file"));
    QVERIFY(platform::folderEntryIdentities(path("missing")).isEmpty());
}

void TestFiles::removeEntryTakesTheLinkNotItsTarget()
{
    QCOMPARE(platform::removeEntry(path("link")), 0);
    QVERIFY(!platform::pathExists(path("link")));
    QVERIFY(QFile::exists(path("file")));
    QCOMPARE(platform::removeEntry(path("missing")), ENOENT);
    QCOMPARE(platform::removeEntry(QString()), ENOENT);
}

int main(int argc, char **argv)
{
    if (argc == 2 && QByteArray(argv[1]) == "--print-executable-folder") {
        const QByteArray folder = platform::encodeFileName(platform::executableFolder());
        return std::fwrite(folder.constData(), 1, size_t(folder.size()), stdout)
                == size_t(folder.size())
            ? 0
            : 1;
    }
    QCoreApplication app(argc, argv);
    TestFiles test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_Files.moc"
