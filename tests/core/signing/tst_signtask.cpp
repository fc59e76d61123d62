// The sign run as a task: its signals, its typed result, cancel(), and the
// exit code it passes on when runs fail.

#include "base/AppError.h"
#include "signing/ConsoleText.h"
#include "signing/SignBatches.h"
#include "signing/SignTask.h"
#include "support/FileContents.h"
#include "support/ScriptedDialogs.h"
#include "support/TestData.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QElapsedTimer>

#include <csignal>

#include <memory>

namespace {

// A stand-in signing tool: each run appends its file arguments to a log,
// prints the outcome line of every file, sleeps for a file named *slow*
// (and becomes a long `sleep` itself for one named *stuck*), and ends with
// 3 or 5 when a file named *fail3* or *fail5* is among its files (the
// first such file decides).
const QByteArray kTool = R"(
for f in "$@"; do case "$f" in /*) printf '%s ' "$f" >> "$(dirname "$0")/runs.log";; esac; done
echo >> "$(dirname "$0")/runs.log"
for f in "$@"; do case "$f" in *slow*) sleep 0.4;; *stuck*) exec sleep 20.875;; esac; done
for f in "$@"; do case "$f" in /*) echo "Successfully signed: $f";; esac; done
for f in "$@"; do case "$f" in *fail3*) exit 3;; *fail5*) exit 5;; esac; done
exit 0
)";

} // namespace

class TestSignTask : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        testfiles::writeScript(toolPath(), kTool);
    }
    void cleanup() { m_dir.reset(); }

    void failingBatchesGiveTheFirstCode_data()
    {
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("5 then 3") << QStringList{"fail5.exe", "ok.exe", "fail3.exe"} << 5;
        QTest::newRow("3 then 5") << QStringList{"fail3.exe", "fail5.exe", "ok.exe"} << 3;
        QTest::newRow("a good batch first") << QStringList{"ok.exe", "fail3.exe", "fail5.exe"} << 3;
        QTest::newRow("all good") << QStringList{"a.exe", "b.exe", "c.exe"} << 0;
    }
    void failingBatchesGiveTheFirstCode()
    {
        QFETCH(QStringList, names);
        QFETCH(int, exitCode);
        ConsoleLines console;
        SignTask task(console, requestFor(names));
        QSignalSpy running(&task, &SignTask::toolRunningChanged);
        QSignalSpy progress(&task, &SignTask::progress);
        QSignalSpy finished(&task, &SignTask::finished);

        const SignRunOutcome outcome = task.run();

        // Every batch ran, one file each, whatever the batches before gave.
        QCOMPARE(loggedRuns().size(), names.size());
        QCOMPARE(outcome.exitCode, exitCode);
        QVERIFY(!outcome.startFailed);
        QVERIFY(!outcome.cancelled);
        QCOMPARE(outcome.succeeded(), exitCode == 0);
        QCOMPARE(outcome.signedFiles, int(names.size()));
        QCOMPARE(task.result().exitCode, exitCode);
        QVERIFY(!task.isRunning());

        QCOMPARE(finished.size(), 1);
        QCOMPARE(finished.first().first().value<SignRunOutcome>().exitCode, exitCode);
        // The tool runs three times: on, off, on, off, on, off.
        QCOMPARE(running.size(), 2 * names.size());
        for (qsizetype i = 0; i < running.size(); ++i)
            QCOMPARE(running.at(i).first().toBool(), i % 2 == 0);
        QVERIFY(!progress.isEmpty());
        QCOMPARE(progress.last().at(0).toInt(), int(names.size()));
        QCOMPARE(progress.last().at(1).toInt(), int(names.size()));
        QCOMPARE(console.lines().last(), SignedTotalLine(int(names.size()), int(names.size())));
    }

    void cancelBetweenRunsLeavesTheRestOut()
    {
        ConsoleLines console;
        SignTask task(console, requestFor({"a.exe", "b.exe", "c.exe"}));
        // Cancelled as the first tool ends: no further batch starts.
        connect(&task, &SignTask::toolRunningChanged, &task, [&task](bool running) {
            if (!running)
                task.cancel();
        });
        QSignalSpy finished(&task, &SignTask::finished);

        const SignRunOutcome outcome = task.run();

        QCOMPARE(loggedRuns().size(), 1);
        QVERIFY(outcome.cancelled);
        QVERIFY(task.isCancelled());
        QVERIFY(!outcome.succeeded());
        QCOMPARE(outcome.exitCode, 0);
        QCOMPARE(outcome.signedFiles, 1);
        QCOMPARE(finished.size(), 1);
    }

    void cancelWhileAToolRunsLetsItFinish()
    {
        ConsoleLines console;
        SignTask task(console, requestFor({"slow.exe", "b.exe"}));
        bool runningWhenCancelled = false;
        QTimer::singleShot(100, &task, [&] {
            runningWhenCancelled = task.isRunning();
            task.cancel();
        });

        const SignRunOutcome outcome = task.run();

        QVERIFY2(runningWhenCancelled, "the timer did not fire while the tool ran");
        QCOMPARE(loggedRuns().size(), 1);
        QVERIFY(outcome.cancelled);
        // The running tool was not killed half-way: its file is signed.
        QCOMPARE(outcome.signedFiles, 1);
        QVERIFY(console.lines().contains("Successfully signed: " + m_dir->filePath("slow.exe")));
    }

    void stopEndsTheRunningToolAtOnce()
    {
        // stop() (a signal or a time-out of the command): the tool in hand
        // is told to end, and no further batch starts.
        ConsoleLines console;
        SignTask task(console, requestFor({"stuck.exe", "b.exe"}));
        QTimer::singleShot(200, &task, [&task] { task.stop(); });
        QElapsedTimer timer;
        timer.start();

        const SignRunOutcome outcome = task.run();

        QVERIFY2(timer.elapsed() < 5000, qPrintable(QString::number(timer.elapsed())));
        QVERIFY(outcome.stopped && outcome.cancelled);
        QVERIFY(!outcome.succeeded());
        QCOMPARE(loggedRuns().size(), 1);
        QCOMPARE(outcome.signedFiles, 0);
        QCOMPARE(outcome.exitCode, 128 + SIGTERM);
    }

    void startFailureIsPartOfTheResult()
    {
        ScriptedDialogsGuard dialogs;
        ConsoleLines console;
        SignRunRequest request = requestFor({"a.exe"});
        request.program = m_dir->filePath(QStringLiteral("missing/signtool.exe"));
        SignTask task(console, request);

        const SignRunOutcome outcome = task.run();

        QVERIFY(outcome.startFailed);
        QVERIFY(!outcome.succeeded());
        QCOMPARE(dialogs->messages.size(), 1);
    }

    void aTaskRunsOnce()
    {
        ConsoleLines console;
        SignTask task(console, requestFor({"a.exe"}));
        QVERIFY(task.run().succeeded());
        QVERIFY_THROWS_EXCEPTION(AppError, task.run());
        QCOMPARE(loggedRuns().size(), 1);
    }

private:
    QString toolPath() const { return m_dir->filePath(QStringLiteral("signtool.exe")); }

    QStringList loggedRuns() const
    {
        return QString::fromUtf8(testdata::fileBytes(m_dir->filePath(QStringLiteral("runs.log"))))
            .split(u'\n', Qt::SkipEmptyParts);
    }

    // One batch per file: the largest space that still takes one file only
    // (files of one name length).
    SignRunRequest requestFor(const QStringList &names) const
    {
        SignRunRequest request;
        request.workingFolder = m_dir->path();
        request.program = toolPath();
        request.options = QStringLiteral("sign /a ");
        for (const QString &name : names)
            request.files.append(m_dir->filePath(name));
        const QStringList options{QStringLiteral("sign"), QStringLiteral("/a")};
        request.limits = {1 << 16, 1 << 17};
        while (request.limits.total > 0
               && PlanSignBatches(request.program, options, request.files, request.limits).size()
                      != names.size())
            --request.limits.total;
        return request;
    }

    std::unique_ptr<QTemporaryDir> m_dir;
};

QTEST_GUILESS_MAIN(TestSignTask)
#include "tst_signtask.moc"
