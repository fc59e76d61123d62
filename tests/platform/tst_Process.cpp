#include "platform/Platform.h"
#include "support/TestData.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

const QString kChild = QStringLiteral(QUILLMARK_RUNNER_CHILD);

} // namespace

class TestProcess : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        QVERIFY(m_dir.isValid());
        m_output = m_dir.filePath(QStringLiteral("out.txt"));
        QFile::remove(m_output);
    }

    void exitCodes_data()
    {
        QTest::addColumn<int>("code");
        QTest::newRow("zero") << 0;
        QTest::newRow("one") << 1;
        QTest::newRow("forty-two") << 42;
        QTest::newRow("255") << 255;
    }
    void exitCodes()
    {
        QFETCH(int, code);
        const auto outcome =
            platform::runProcess({kChild, {QStringLiteral("exit:%1").arg(code)}, {}, m_output});
        QVERIFY(outcome.started);
        QCOMPARE(outcome.exitCode, code);
    }

    void killedBySignalGives128PlusSignal_data()
    {
        QTest::addColumn<int>("signal");
        QTest::newRow("SIGTERM") << int(SIGTERM);
        QTest::newRow("SIGKILL") << int(SIGKILL);
    }
    void killedBySignalGives128PlusSignal()
    {
        QFETCH(int, signal);
        const auto outcome =
            platform::runProcess({kChild, {QStringLiteral("raise:%1").arg(signal)}, {}, m_output});
        QVERIFY(outcome.started);
        QCOMPARE(outcome.exitCode, 128 + signal);
    }

    void startFailures_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QString>("workingFolder");
        QTest::addColumn<int>("error");

        const QString missing = m_dir.filePath(QStringLiteral("no-such-tool"));
        QTest::newRow("missing program") << missing << QString() << ENOENT;
        QTest::newRow("empty program") << QString() << QString() << ENOENT;
        QTest::newRow("program is a folder") << m_dir.path() << QString() << EACCES;
        QTest::newRow("missing working folder")
            << kChild << m_dir.filePath(QStringLiteral("no-such-folder")) << ENOENT;
        // Found only through PATH: a program path is never searched for.
        QTest::newRow("bare name") << QStringLiteral("true") << QString() << ENOENT;
    }
    void startFailures()
    {
        QFETCH(QString, program);
        QFETCH(QString, workingFolder);
        QFETCH(int, error);

        const QString before = QDir::currentPath();
        QVERIFY(QDir::setCurrent(m_dir.path()));
        const auto outcome = platform::runProcess({program, {}, workingFolder, m_output});
        QDir::setCurrent(before);

        QVERIFY(!outcome.started);
        QCOMPARE(outcome.errorCode, error);
        QCOMPARE(outcome.errorText, platform::systemErrorText(error));
        QVERIFY(!outcome.outputFileFailed);
    }

    void notExecutableGivesEacces()
    {
        const QString plain = m_dir.filePath(QStringLiteral("plain-file"));
        QVERIFY(QFile::copy(kChild, plain));
        QVERIFY(QFile::setPermissions(plain, QFile::ReadOwner | QFile::WriteOwner));
        const auto outcome = platform::runProcess({plain, {}, {}, m_output});
        QVERIFY(!outcome.started);
        QCOMPARE(outcome.errorCode, EACCES);
        QCOMPARE(outcome.errorText, QStringLiteral("Permission denied"));
    }

    void outputFileThatCannotBeOpenedStopsTheStart()
    {
        const QString marker = m_dir.filePath(QStringLiteral("ran"));
        const auto outcome = platform::runProcess(
            {kChild,
             {QStringLiteral("touch:") + marker},
             {},
             m_dir.filePath(QStringLiteral("missing/out.txt"))});
        QVERIFY(!outcome.started);
        QVERIFY(outcome.outputFileFailed);
        QCOMPARE(outcome.errorCode, ENOENT);
        QVERIFY(!QFile::exists(marker));
    }

    void outputAndErrorShareOneFileInWriteOrder()
    {
        QFile stale(m_output);
        QVERIFY(stale.open(QIODevice::WriteOnly));
        stale.write(QByteArray(1000, 'x'));
        stale.close();

        const auto outcome = platform::runProcess(
            {kChild,
             {QStringLiteral("out:a\\n"), QStringLiteral("err:b\\n"), QStringLiteral("out:c"),
              QStringLiteral("err:d\\0e")},
             {},
             m_output});
        QVERIFY(outcome.started);
        QCOMPARE(testdata::fileBytes(m_output), QByteArray("a\nb\ncd\0e", 8));
    }

    void argumentsArriveUnchanged()
    {
        const auto outcome = platform::runProcess(
            {kChild,
             {QStringLiteral("argv"), QString(), QStringLiteral("two words"),
              QStringLiteral("\"quoted\""), QStringLiteral("$HOME;|*")},
             {},
             m_output});
        QVERIFY(outcome.started);
        QCOMPARE(testdata::fileBytes(m_output),
                 "argc=6\narg[0]=<" + QFile::encodeName(kChild)
                     + ">\narg[1]=<argv>\narg[2]=<>\narg[3]=<two words>\narg[4]=<\"quoted\">\n"
                       "arg[5]=<$HOME;|*>\n");
    }

    void argumentsThatAreNotUtf8ArriveByteForByte()
    {
        // A file name with a Latin-1 byte, as the file list holds it.
        const QString name = platform::decodeFileName("/data/caf\xE9 \xFF.exe");
        const auto outcome = platform::runProcess(
            {kChild, {QStringLiteral("argv"), name}, {}, m_output});
        QVERIFY(outcome.started);
        QCOMPARE(testdata::fileBytes(m_output), "argc=3\narg[0]=<" + QFile::encodeName(kChild)
                                         + ">\narg[1]=<argv>\narg[2]=</data/caf\xE9 \xFF.exe>\n");
    }

    void childSetting()
    {
        const QString folder = m_dir.filePath(QStringLiteral("work folder"));
        QVERIFY(QDir().mkpath(folder));
        const auto outcome = platform::runProcess(
            {kChild,
             {QStringLiteral("cwd"), QStringLiteral("nice"), QStringLiteral("stdin")},
             folder,
             m_output});
        QVERIFY(outcome.started);
        QCOMPARE(testdata::fileBytes(m_output),
                 "cwd=" + QFile::encodeName(QDir(folder).canonicalPath())
                     + "\nnice=19\nstdin=0\n");
    }

    void toolGetsOnlyTheStandardDescriptors()
    {
        // Opened without close-on-exec, as a careless library might.
        const int leaked = ::open("/dev/null", O_RDONLY);
        QVERIFY(leaked > 2);
        const auto outcome = platform::runProcess({kChild, {QStringLiteral("fds")}, {}, m_output});
        ::close(leaked);
        QVERIFY(outcome.started);
        QCOMPARE(testdata::fileBytes(m_output), QByteArray("fds=0 1 2\n"));
    }

    void parentWithoutStandardInput()
    {
        // With descriptor 0 free, the output file is opened as 0; the child
        // must still get it as its output and /dev/null as its input.
        const int savedInput = ::dup(0);
        QVERIFY(savedInput >= 0);
        ::close(0);
        const auto outcome = platform::runProcess(
            {kChild, {QStringLiteral("out:x\\n"), QStringLiteral("stdin"), QStringLiteral("err:y")},
             {}, m_output});
        ::dup2(savedInput, 0);
        ::close(savedInput);
        QVERIFY(outcome.started);
        QCOMPARE(testdata::fileBytes(m_output), QByteArray("x\nstdin=0\ny"));
    }

    void normalPriorityWhenAsked()
    {
        errno = 0;
        const int ours = getpriority(PRIO_PROCESS, 0);
        platform::ProcessRequest request{kChild, {QStringLiteral("nice")}, {}, m_output};
        request.lowestPriority = false;
        QVERIFY(platform::runProcess(request).started);
        QCOMPARE(testdata::fileBytes(m_output), QByteArray("nice=") + QByteArray::number(ours) + "\n");
    }

    // The output is followed through the descriptor the child writes to: a
    // file put under the output's name during the run is never read.
    void outputFollowedThroughItsOwnDescriptor()
    {
        QByteArray seen;
        QList<QByteArray> pieces;
        bool replaced = false;
        platform::ProcessRequest request{kChild,
                                         {QStringLiteral("out:one\\n"), QStringLiteral("sleep:300"),
                                          QStringLiteral("err:two\\n"), QStringLiteral("sleep:300")},
                                         {},
                                         m_output};
        request.outputGrew = [&](const QByteArray &added) {
            pieces.append(added);
            seen += added;
            if (!replaced) {
                replaced = true;
                QVERIFY(QFile::rename(m_output, m_output + QStringLiteral(".moved")));
                QFile planted(m_output);
                QVERIFY(planted.open(QIODevice::WriteOnly));
                planted.write("planted, must not be read\n");
            }
        };
        int waits = 0;
        const auto outcome = platform::runProcess(request, [&waits] { ++waits; });
        QVERIFY(outcome.started);
        QCOMPARE(outcome.exitCode, 0);
        QCOMPARE(pieces, (QList<QByteArray>{"one\n", "two\n"}));
        QCOMPARE(testdata::fileBytes(m_output + QStringLiteral(".moved")), QByteArray("one\ntwo\n"));
        QVERIFY(waits >= 5);

        // Without a caller's wait the output is followed all the same.
        pieces.clear();
        replaced = true;
        QVERIFY(platform::runProcess(request).started);
        QCOMPARE(pieces, (QList<QByteArray>{"one\n", "two\n"}));
    }

    void argumentSpaceOfTheSystem()
    {
        const platform::ArgumentSpace before = platform::childArgumentSpace();
        QVERIFY(before.argMax >= 128 * 1024);
        QVERIFY(before.argMax <= 6 * 1024 * 1024);
        QCOMPARE(before.longestArgument, 32 * std::int64_t(sysconf(_SC_PAGESIZE)));
        // The environment counts with its strings, NULs and pointers.
        qputenv("QUILLMARK_TEST_PADDING", QByteArray(1000, 'p'));
        const platform::ArgumentSpace after = platform::childArgumentSpace();
        qunsetenv("QUILLMARK_TEST_PADDING");
        QCOMPARE(after.environmentBytes - before.environmentBytes,
                 std::int64_t(sizeof("QUILLMARK_TEST_PADDING=") - 1 + 1000 + 1 + sizeof(char *)));
    }

    void knownStartErrorsAreExplained()
    {
        for (int error : {E2BIG, ENOENT, EACCES, ENOEXEC})
            QVERIFY(platform::startErrorIsExplained(error));
        for (int error : {ENOTDIR, EIO, ENOMEM, EAGAIN, 0})
            QVERIFY(!platform::startErrorIsExplained(error));
    }

    void whileWaitingRunsUntilTheChildEnds()
    {
        int calls = 0;
        QElapsedTimer clock;
        clock.start();
        const auto outcome = platform::runProcess(
            {kChild, {QStringLiteral("sleep:300"), QStringLiteral("exit:3")}, {}, m_output},
            [&calls] { ++calls; });
        QVERIFY(outcome.started);
        QCOMPARE(outcome.exitCode, 3);
        QVERIFY(clock.elapsed() >= 300);
        // Every ~10 ms for 300 ms; generous for a loaded machine.
        QVERIFY2(calls >= 5, qPrintable(QString::number(calls)));
    }

    void waitingSurvivesSignalsToTheParent()
    {
        // A handler without SA_RESTART makes waitpid and read fail with
        // EINTR; the wait must carry on.
        struct sigaction action {};
        action.sa_handler = [](int) {};
        struct sigaction previous {};
        QCOMPARE(sigaction(SIGALRM, &action, &previous), 0);
        itimerval timer{{0, 20000}, {0, 20000}};
        setitimer(ITIMER_REAL, &timer, nullptr);

        const auto blocking = platform::runProcess(
            {kChild, {QStringLiteral("sleep:150"), QStringLiteral("exit:7")}, {}, m_output});
        const auto polling = platform::runProcess(
            {kChild, {QStringLiteral("sleep:150"), QStringLiteral("exit:8")}, {}, m_output},
            [] {});

        itimerval off{};
        setitimer(ITIMER_REAL, &off, nullptr);
        sigaction(SIGALRM, &previous, nullptr);

        QVERIFY(blocking.started);
        QCOMPARE(blocking.exitCode, 7);
        QVERIFY(polling.started);
        QCOMPARE(polling.exitCode, 8);
    }

    void systemErrorTexts()
    {
        QCOMPARE(platform::systemErrorText(ENOENT), QStringLiteral("No such file or directory"));
        QCOMPARE(platform::systemErrorText(EACCES), QStringLiteral("Permission denied"));
        QVERIFY(!platform::systemErrorText(123456).isEmpty());
    }

private:
    QTemporaryDir m_dir;
    QString m_output;
};

QTEST_GUILESS_MAIN(TestProcess)
#include "tst_Process.moc"
