// What the tools lean on when files are large: a read lease that proves a
// file unchanged without reading it again (and never keeps a writer
// waiting), and the early writeback of a file another process is writing.

#include "safefile/Descriptor.h"
#include "safefile/EarlyWriteback.h"
#include "safefile/ReadLease.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <string>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

using safefile::Descriptor;
using safefile::EarlyWriteback;
using safefile::ReadLease;

namespace {

bool writeFile(const std::string &path, const std::string &text)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    const bool ok = ::write(fd, text.data(), text.size()) == ssize_t(text.size());
    return ::close(fd) == 0 && ok;
}

// Runs `action` in a child process and returns how long the parent waited
// for it, or -1 when it failed. The parent keeps handling signals meanwhile,
// as the tools do.
template <typename Action>
qint64 millisecondsInChild(Action action)
{
    QElapsedTimer timer;
    timer.start();
    const pid_t pid = ::fork();
    if (pid == 0)
        ::_exit(action() ? 0 : 1);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? timer.elapsed() : -1;
}

} // namespace

class TestLargeFiles : public QObject {
    Q_OBJECT

private slots:
    void init();
    void leaseIsHeldUntilReleased();
    void noLeaseWhileTheFileIsOpenForWriting();
    void writerBreaksTheLeaseWithoutWaiting_data();
    void writerBreaksTheLeaseWithoutWaiting();
    void writebackStartsOnceTheFileIsThere();
    void writebackWaitsForItsTurn();
    void writebackNeverFollowsALink();

private:
    std::string path(const char *name) const { return m_dir->filePath(QString::fromLatin1(name)).toStdString(); }
    // The file `name` with "content" in it, opened for reading.
    Descriptor contentFile(const char *name) const
    {
        const std::string file = path(name);
        return Descriptor(writeFile(file, "content") ? ::open(file.c_str(), O_RDONLY | O_CLOEXEC) : -1);
    }
    Descriptor folder() const
    {
        return Descriptor(::open(m_dir->path().toLocal8Bit().constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    }

    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestLargeFiles::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    // Some file systems (NFS, some overlays) and fs.leases-enable=0 grant
    // none; the tools then hash instead, and there is nothing to try here.
    if (QByteArray(QTest::currentTestFunction()).contains("ease")) {
        const Descriptor probe = contentFile("probe");
        if (!ReadLease(probe.get()).held())
            QSKIP("the temporary folder's file system grants no read leases");
    }
}

void TestLargeFiles::leaseIsHeldUntilReleased()
{
    const std::string file = path("file");
    const Descriptor reader = contentFile("file");
    QVERIFY(reader);
    const int fd = reader.get();
    {
        ReadLease lease(fd);
        QVERIFY(lease.held());
        // Reading, here and in another process, leaves it in place.
        char buffer[16];
        QCOMPARE(::pread(fd, buffer, sizeof buffer, 0), ssize_t(7));
        QVERIFY(millisecondsInChild([&] { return ::open(file.c_str(), O_RDONLY) >= 0; }) >= 0);
        QVERIFY(lease.held());
        ReadLease moved(std::move(lease));
        QVERIFY(!lease.held());
        QVERIFY(moved.held());
        moved.release();
        QVERIFY(!moved.held());
    }
    // Given up: writing no longer waits for anything, nor does a new lease.
    ReadLease again(fd);
    QVERIFY(again.held());
    // Taken once more on the same descriptor, it is still the one lease.
    again = ReadLease(fd);
    QVERIFY(again.held());
}

void TestLargeFiles::noLeaseWhileTheFileIsOpenForWriting()
{
    const Descriptor reader = contentFile("file");
    Descriptor writer(::open(path("file").c_str(), O_WRONLY | O_CLOEXEC));
    QVERIFY(writer && reader);
    QVERIFY(!ReadLease(reader.get()).held());
    writer.reset();
    QVERIFY(ReadLease(reader.get()).held());
    QVERIFY(!ReadLease(-1).held());
}

void TestLargeFiles::writerBreaksTheLeaseWithoutWaiting_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("opened for writing") << "write";
    QTest::newRow("opened for reading and writing") << "readwrite";
    QTest::newRow("truncated by name") << "truncate";
}

// The kernel would keep the writer waiting up to lease-break-time (45 s by
// default) for a holder that does not give its lease up.
void TestLargeFiles::writerBreaksTheLeaseWithoutWaiting()
{
    QFETCH(QString, how);
    const std::string file = path("file");
    const Descriptor reader = contentFile("file");
    QVERIFY(reader);
    ReadLease lease(reader.get());
    QVERIFY(lease.held());
    const qint64 waited = millisecondsInChild([&] {
        if (how == "truncate")
            return ::truncate(file.c_str(), 2) == 0;
        const int writer = ::open(file.c_str(), how == "write" ? O_WRONLY : O_RDWR);
        return writer >= 0 && ::pwrite(writer, "C", 1, 0) == 1;
    });
    QVERIFY2(waited >= 0, "the writer failed");
    QVERIFY2(waited < 5000, qPrintable(QString::number(waited)));
    QVERIFY(!lease.held());
}

void TestLargeFiles::writebackStartsOnceTheFileIsThere()
{
    const Descriptor dir = folder();
    QVERIFY(dir);
    EarlyWriteback writeback;
    QVERIFY(writeback.start(dir.get(), "copy"));
    QTest::qWait(250);
    QCOMPARE(writeback.kicks(), 0);
    QVERIFY(writeFile(path("copy"), std::string(1 << 20, 'x')));
    QTRY_VERIFY_WITH_TIMEOUT(writeback.kicks() > 0, 5000);
    QElapsedTimer timer;
    timer.start();
    writeback.stop();
    QVERIFY(timer.elapsed() < 1000);
    const int kicks = writeback.kicks();
    QTest::qWait(250);
    QCOMPARE(writeback.kicks(), kicks);
}

void TestLargeFiles::writebackWaitsForItsTurn()
{
    const Descriptor dir = folder();
    QVERIFY(dir);
    QVERIFY(writeFile(path("copy"), "data"));
    std::atomic<bool> turn{false};
    EarlyWriteback writeback;
    QVERIFY(writeback.start(dir.get(), "copy", [&turn] { return turn.load(); }));
    QTest::qWait(300);
    QCOMPARE(writeback.kicks(), 0);
    turn = true;
    QTRY_VERIFY_WITH_TIMEOUT(writeback.kicks() > 0, 5000);
    // Stopped while still waiting for its turn: it ends at once.
    std::atomic<bool> never{false};
    QVERIFY(writeback.start(dir.get(), "copy", [&never] { return never.load(); }));
    QElapsedTimer timer;
    timer.start();
    writeback.stop();
    QVERIFY(timer.elapsed() < 1000);
}

void TestLargeFiles::writebackNeverFollowsALink()
{
    const Descriptor dir = folder();
    QVERIFY(dir);
    QVERIFY(writeFile(path("target"), "data"));
    QCOMPARE(::symlink("target", path("copy").c_str()), 0);
    EarlyWriteback writeback;
    QVERIFY(writeback.start(dir.get(), "copy"));
    QTest::qWait(400);
    writeback.stop();
    QCOMPARE(writeback.kicks(), 0);
}

QTEST_GUILESS_MAIN(TestLargeFiles)
#include "tst_LargeFiles.moc"
