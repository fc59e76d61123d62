// The pool that runs signtool.exe's children and tasks: exit codes and
// output, descriptors handed over, the bound on running children, time-outs.

#include "ProcessPool.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

using namespace signtool;

namespace {

ChildSpec shell(const char *script)
{
    ChildSpec spec;
    spec.argv = {"sh", "-c", script};
    return spec;
}

} // namespace

class TestProcessPool : public QObject {
    Q_OBJECT

private slots:
    void exitCodeAndOutput();
    void programThatIsMissing();
    void failedExecIsReportedWhateverTheNumbers();
    void descriptorsReachTheChild();
    void descriptorBelowAHandedOneStaysOut();
    void neverMoreThanItsSize();
    void timeOutKillsTheChild();
    void taskRunsOnAThread();
    void handlerMayStartTheNextChild();
    void defaultSize();
};

void TestProcessPool::exitCodeAndOutput()
{
    ProcessPool pool(2);
    ChildExit seen;
    pool.start(shell("echo out; echo err >&2; exit 3"), [&](ChildExit exit) { seen = std::move(exit); });
    pool.waitForAll();
    QVERIFY(seen.started);
    QCOMPARE(seen.exitCode, 3);
    QVERIFY(!seen.timedOut);
    QCOMPARE(QByteArray::fromStdString(seen.output), QByteArray("out\nerr\n"));
}

void TestProcessPool::programThatIsMissing()
{
    ProcessPool pool(1);
    ChildExit seen;
    seen.started = true;
    ChildSpec spec;
    spec.argv = {"quillmark-no-such-program"};
    pool.start(spec, [&](ChildExit exit) { seen = std::move(exit); });
    pool.waitForAll();
    QVERIFY(!seen.started);
    QCOMPARE(seen.startErrno, ENOENT);
}

// A program that cannot be executed is reported as not started, with the
// reason, even when descriptors handed to the child take the numbers of the
// pool's own pipes (the lowest free ones, as the tool's descriptors come and
// go).
void TestProcessPool::failedExecIsReportedWhateverTheNumbers()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("not-a-program"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("neither a script nor a program\n");
    file.close();
    QVERIFY(file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));

    // The numbers the pool's output and report pipes are about to get.
    int probe[4];
    QCOMPARE(pipe2(probe, O_CLOEXEC), 0);
    QCOMPARE(pipe2(probe + 2, O_CLOEXEC), 0);
    for (int fd : probe)
        close(fd);
    ChildSpec spec;
    spec.argv = {path.toStdString()};
    for (int fd : probe) {
        QVERIFY(fd > 2);
        spec.fds.push_back({0, fd});
    }

    ProcessPool pool(1);
    ChildExit seen;
    seen.started = true;
    pool.start(spec, [&](ChildExit exit) { seen = std::move(exit); });
    pool.waitForAll();
    QVERIFY2(!seen.started, seen.output.c_str());
    QCOMPARE(seen.startErrno, ENOEXEC);
}

void TestProcessPool::descriptorsReachTheChild()
{
    int fds[2];
    QCOMPARE(pipe2(fds, O_CLOEXEC), 0);
    QCOMPARE(write(fds[1], "secret", 6), ssize_t(6));
    close(fds[1]);
    const int other = fcntl(0, F_DUPFD, 50); // not handed over, and without O_CLOEXEC
    ProcessPool pool(1);
    ChildExit seen;
    // Descriptor 3 is the pipe; a descriptor the tool did not hand over is
    // not open in the child.
    ChildSpec spec = shell("cat /dev/fd/3; ls /proc/self/fd | sort -n | tr '\\n' ' '");
    spec.fds = {{fds[0], 3}};
    pool.start(spec, [&](ChildExit exit) { seen = std::move(exit); });
    pool.waitForAll();
    close(fds[0]);
    close(other);
    QCOMPARE(seen.exitCode, 0);
    const QByteArray output = QByteArray::fromStdString(seen.output);
    QVERIFY2(output.startsWith("secret0 1 2 3 "), output.constData());
    QVERIFY(other >= 50);
    QVERIFY2(!output.contains(" " + QByteArray::number(other) + " "), output.constData());
}

// A descriptor of the tool's without O_CLOEXEC whose number lies between
// those handed over (a PFX's key at 8, nothing at 7) is not the child's
// either.
void TestProcessPool::descriptorBelowAHandedOneStaysOut()
{
    const int gap = fcntl(0, F_DUPFD, 40); // without O_CLOEXEC
    QVERIFY(gap >= 40);
    int fds[2];
    QCOMPARE(pipe2(fds, O_CLOEXEC), 0);
    close(fds[1]);
    ProcessPool pool(1);
    ChildExit seen;
    ChildSpec spec = shell("ls /proc/self/fd | sort -n | tr '\\n' ' '");
    spec.fds = {{fds[0], gap + 1}};
    pool.start(spec, [&](ChildExit exit) { seen = std::move(exit); });
    pool.waitForAll();
    close(fds[0]);
    close(gap);
    QCOMPARE(seen.exitCode, 0);
    const QByteArray output = " " + QByteArray::fromStdString(seen.output);
    QVERIFY2(output.contains(" " + QByteArray::number(gap + 1) + " "), output.constData());
    QVERIFY2(!output.contains(" " + QByteArray::number(gap) + " "), output.constData());
}

void TestProcessPool::neverMoreThanItsSize()
{
    ProcessPool pool(2);
    size_t most = 0;
    int ended = 0;
    for (int i = 0; i < 6; ++i) {
        pool.start(shell("sleep 0.2"), [&](ChildExit exit) {
            QCOMPARE(exit.exitCode, 0);
            ++ended;
        });
        most = std::max(most, pool.running());
    }
    pool.waitForAll();
    QCOMPARE(ended, 6);
    QCOMPARE(most, size_t(2));
    QCOMPARE(pool.running(), size_t(0));
}

void TestProcessPool::timeOutKillsTheChild()
{
    ProcessPool pool(2);
    ChildExit slow, quick;
    ChildSpec spec = shell("exec sleep 30");
    spec.timeoutSeconds = 1;
    QElapsedTimer timer;
    timer.start();
    pool.start(spec, [&](ChildExit exit) { slow = std::move(exit); });
    pool.start(shell("exit 0"), [&](ChildExit exit) { quick = std::move(exit); });
    pool.waitForAll();
    QVERIFY(slow.timedOut);
    QCOMPARE(slow.exitCode, -1);
    QVERIFY(!quick.timedOut);
    QCOMPARE(quick.exitCode, 0);
    QVERIFY2(timer.elapsed() < 10000, "the time-out did not end the child");
}

void TestProcessPool::taskRunsOnAThread()
{
    ProcessPool pool(1);
    ChildExit seen;
    ChildSpec spec;
    std::thread::id ranOn;
    spec.task = [&] {
        ranOn = std::this_thread::get_id();
        return 7;
    };
    pool.start(spec, [&](ChildExit exit) { seen = std::move(exit); });
    pool.waitForAll();
    QVERIFY(seen.started);
    QCOMPARE(seen.exitCode, 7);
    QVERIFY(ranOn != std::this_thread::get_id());
}

// A file's steps: the handler of one child starts the next one.
void TestProcessPool::handlerMayStartTheNextChild()
{
    ProcessPool pool(1);
    QStringList order;
    pool.start(shell("echo first"), [&](ChildExit exit) {
        order << QString::fromStdString(exit.output).trimmed();
        pool.start(shell("echo second"),
                   [&](ChildExit next) { order << QString::fromStdString(next.output).trimmed(); });
    });
    pool.waitForAll();
    QCOMPARE(order, (QStringList{"first", "second"}));
}

void TestProcessPool::defaultSize()
{
    const size_t cores = static_cast<size_t>(sysconf(_SC_NPROCESSORS_ONLN));
    QCOMPARE(defaultPoolSize(), std::max<size_t>(8, 2 * cores));
    QCOMPARE(ProcessPool(0).size(), size_t(1));
    QCOMPARE(ProcessPool(100000).size(), ProcessPool::kMaxSize);
}

QTEST_GUILESS_MAIN(TestProcessPool)
#include "tst_processpool.moc"
