// The safe writer when the system fails it: a file planted at the name a
// temporary would take, and a write, an fsync or a rename that fails. The
// seam is the C library itself: this program defines pwrite, fsync,
// renameat and getrandom, which the safe-file layer linked into it calls,
// and passes each call on to the real one unless a test armed a failure.

#include "safefile/SafeWrite.h"
#include "safefile/Descriptor.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

namespace {

// How many of the next calls of one function fail, and with which errno.
struct Failure {
    int calls = 0;
    int error = 0;
    bool take()
    {
        if (calls <= 0)
            return false;
        --calls;
        errno = error;
        return true;
    }
};
Failure g_pwrite, g_fsync, g_renameat;
// Random bytes of zeros for the next getrandom calls, so that the name a
// temporary tries first is known beforehand.
int g_zeroRandom = 0;

template <typename F>
F real(const char *name)
{
    return reinterpret_cast<F>(::dlsym(RTLD_NEXT, name));
}

} // namespace

extern "C" {
ssize_t pwrite(int fd, const void *buffer, size_t size, off_t offset)
{
    if (g_pwrite.take())
        return -1;
    static const auto next = real<ssize_t (*)(int, const void *, size_t, off_t)>("pwrite");
    return next(fd, buffer, size, offset);
}

int fsync(int fd)
{
    if (g_fsync.take())
        return -1;
    static const auto next = real<int (*)(int)>("fsync");
    return next(fd);
}

int renameat(int oldFolder, const char *oldName, int newFolder, const char *newName) noexcept
{
    if (g_renameat.take())
        return -1;
    static const auto next = real<int (*)(int, const char *, int, const char *)>("renameat");
    return next(oldFolder, oldName, newFolder, newName);
}

ssize_t getrandom(void *buffer, size_t size, unsigned int flags)
{
    if (g_zeroRandom > 0) {
        --g_zeroRandom;
        std::memset(buffer, 0, size);
        return ssize_t(size);
    }
    static const auto next = real<ssize_t (*)(void *, size_t, unsigned int)>("getrandom");
    return next(buffer, size, flags);
}
}

class TestSafeWriteFaults : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        g_pwrite = g_fsync = g_renameat = Failure();
        g_zeroRandom = 0;
        QVERIFY(m_dir.isValid());
        const QDir dir(m_dir.path());
        for (const QString &entry : dir.entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot))
            QVERIFY(QFile::remove(dir.filePath(entry)));
        QVERIFY(writeAll(target(), "old"));
    }

    void cleanup()
    {
        g_pwrite = g_fsync = g_renameat = Failure();
        g_zeroRandom = 0;
    }

    // The first name a temporary tries (random part of zeros) holds a file
    // or a link that someone planted: it is never opened, written or moved,
    // and the write goes through under another name.
    void plantedEntryAtTheTemporarysNameStays_data()
    {
        QTest::addColumn<bool>("asLink");
        QTest::newRow("a file") << false;
        QTest::newRow("a link to another file") << true;
    }
    void plantedEntryAtTheTemporarysNameStays()
    {
        QFETCH(bool, asLink);
        const QString planted = m_dir.filePath(QStringLiteral(".target.tmp-") + QString(18, u'0'));
        const QString victim = m_dir.filePath(QStringLiteral("victim"));
        QVERIFY(writeAll(victim, "victim's"));
        if (asLink)
            QVERIFY(QFile::link(victim, planted));
        else
            QVERIFY(writeAll(planted, "planted"));

        g_zeroRandom = 1;
        std::string error;
        QCOMPARE(safefile::writeFileAtomically(path(target()), "new", true, 0600, error),
                 safefile::WriteResult::Written);
        QCOMPARE(g_zeroRandom, 0); // the planted name was the one tried first
        QCOMPARE(read(target()), QByteArray("new"));
        QCOMPARE(read(victim), QByteArray("victim's"));
        QCOMPARE(QFileInfo(planted).isSymLink(), asLink);
        if (!asLink)
            QCOMPARE(read(planted), QByteArray("planted"));
        QStringList expected{"target", "victim", QFileInfo(planted).fileName()};
        std::sort(expected.begin(), expected.end());
        QCOMPARE(entries(), expected);
    }

    void temporaryNeverOpensAPlantedName()
    {
        const std::string first = "t." + std::string(18, '0') + ".tmp";
        QVERIFY(writeAll(m_dir.filePath(QString::fromStdString(first)), "planted"));
        safefile::Descriptor folder(::open(path(m_dir.path()).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        QVERIFY(folder.valid());
        // Every one of its tries names the planted file: it gives up, and
        // the planted file is neither opened for writing nor truncated.
        g_zeroRandom = 1000;
        safefile::Temporary temporary;
        QCOMPARE(temporary.create(folder.get(), "t.", ".tmp", 0600), EEXIST);
        QVERIFY(!temporary);
        QVERIFY(g_zeroRandom < 1000 - 1);
        QCOMPARE(read(m_dir.filePath(QString::fromStdString(first))), QByteArray("planted"));
        g_zeroRandom = 0;
        QCOMPARE(temporary.create(folder.get(), "t.", ".tmp", 0600), 0);
        QVERIFY(temporary.name() != first);
    }

    // A step that fails leaves the old file whole and no temporary behind,
    // and says so.
    void failedStepKeepsTheOldFile_data()
    {
        QTest::addColumn<int>("step"); // 0 write, 1 fsync, 2 rename
        QTest::addColumn<int>("error");
        QTest::newRow("write: disk full") << 0 << ENOSPC;
        QTest::newRow("write: I/O error") << 0 << EIO;
        QTest::newRow("fsync: I/O error") << 1 << EIO;
        QTest::newRow("rename: read-only file system") << 2 << EROFS;
    }
    void failedStepKeepsTheOldFile()
    {
        QFETCH(int, step);
        QFETCH(int, error);
        Failure &failure = step == 0 ? g_pwrite : step == 1 ? g_fsync : g_renameat;
        failure = {1, error};
        std::string reason;
        QCOMPARE(safefile::writeFileAtomically(path(target()), "new content", true, 0600, reason),
                 safefile::WriteResult::Failed);
        QCOMPARE(failure.calls, 0); // the armed step was reached
        QCOMPARE(reason, std::string(std::strerror(error)));
        QCOMPARE(read(target()), QByteArray("old"));
        QCOMPARE(entries(), QStringList{"target"});

        // Once the system works again, so does the writer.
        QCOMPARE(safefile::writeFileAtomically(path(target()), "new content", true, 0600, reason),
                 safefile::WriteResult::Written);
        QCOMPARE(read(target()), QByteArray("new content"));
    }

    void commitThatCannotSyncOrRenameKeepsTheFile_data()
    {
        QTest::addColumn<bool>("failSync");
        QTest::newRow("fsync") << true;
        QTest::newRow("rename") << false;
    }
    void commitThatCannotSyncOrRenameKeepsTheFile()
    {
        QFETCH(bool, failSync);
        safefile::Descriptor folder(::open(path(m_dir.path()).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        QVERIFY(folder.valid());
        {
            safefile::Temporary temporary;
            QCOMPARE(temporary.create(folder.get(), "c.", ".tmp", 0600), 0);
            QCOMPARE(safefile::writeAllAt(temporary.fd(), "committed?", 0), 0);
            (failSync ? g_fsync : g_renameat) = {1, EIO};
            QCOMPARE(temporary.commit("target", nullptr), EIO);
        }
        QCOMPARE(read(target()), QByteArray("old"));
        QCOMPARE(entries(), QStringList{"target"});
    }

private:
    static std::string path(const QString &name) { return QFile::encodeName(name).toStdString(); }
    QString target() const { return m_dir.filePath(QStringLiteral("target")); }
    QStringList entries() const
    {
        QStringList names = QDir(m_dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::System
                                                         | QDir::NoDotAndDotDot);
        std::sort(names.begin(), names.end());
        return names;
    }
    static QByteArray read(const QString &name)
    {
        QFile file(name);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
    }
    static bool writeAll(const QString &name, const QByteArray &bytes)
    {
        QFile file(name);
        return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
    }

    QTemporaryDir m_dir;
};

QTEST_GUILESS_MAIN(TestSafeWriteFaults)
#include "tst_SafeWriteFaults.moc"
