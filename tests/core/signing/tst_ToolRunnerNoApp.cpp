#include "signing/ConsoleText.h"
#include "signing/ToolRunner.h"

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>
#include <QTest>

// Without an application object there are no windows to keep painting: the
// runner just waits for the tool.
class TestToolRunnerNoApp : public QObject {
    Q_OBJECT

private slots:
    void runsWithoutAnApplication()
    {
        QVERIFY(!QCoreApplication::instance());
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString previous = QDir::currentPath();
        QVERIFY(QDir::setCurrent(dir.path()));

        ConsoleLines console;
        const bool ok = RunAndCapture(console, {}, QStringLiteral(QUILLMARK_RUNNER_CHILD),
                                      QStringLiteral("sleep:100 out:waited exit:0"), false);
        const bool captureLeft = QFile::exists(CaptureFileName());
        QDir::setCurrent(previous);

        QVERIFY(ok);
        QCOMPARE(console.lines(), QStringList{"waited"});
        QVERIFY(!captureLeft);
        QVERIFY(!IsToolRunning());
    }
};

QTEST_APPLESS_MAIN(TestToolRunnerNoApp)
#include "tst_ToolRunnerNoApp.moc"
