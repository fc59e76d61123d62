// The window's input block around a console tool: the windows keep
// painting while the tool runs but take no input and refuse to close; once
// it has ended, nothing held back is replayed and input works again.

#include "signing/ConsoleText.h"
#include "signing/ToolRunner.h"
#include "widgets/UserInputBlock.h"

#include <QCloseEvent>
#include <QDir>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QVBoxLayout>
#include <QWindow>

namespace {

const QString kChild = QStringLiteral(QUILLMARK_RUNNER_CHILD);

class PaintCounter : public QWidget {
public:
    int paints = 0;

protected:
    void paintEvent(QPaintEvent *) override { ++paints; }
};

} // namespace

class TestInputBlock : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        m_previousFolder = QDir::currentPath();
        QVERIFY(m_dir.isValid());
        QVERIFY(QDir::setCurrent(m_dir.path()));
    }
    void cleanup() { QDir::setCurrent(m_previousFolder); }

    void windowsPaintButTakeNoInputDuringRun()
    {
        QWidget window;
        auto *layout = new QVBoxLayout(&window);
        auto *edit = new QLineEdit(&window);
        auto *button = new QPushButton(QStringLiteral("Sign"), &window);
        auto *painted = new PaintCounter;
        painted->setMinimumSize(20, 20);
        layout->addWidget(edit);
        layout->addWidget(button);
        layout->addWidget(painted);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        window.activateWindow();
        edit->setFocus();
        QSignalSpy clicks(button, &QPushButton::clicked);

        bool timerRan = false;
        bool runningSeen = false;
        bool closeAccepted = true;
        int paintsAtStart = -1;
        int paintsLater = -1;
        QTimer::singleShot(50, &window, [&] {
            timerRan = true;
            runningSeen = IsToolRunning();
            QTest::keyClick(edit, Qt::Key_A);
            QTest::mouseClick(button, Qt::LeftButton);
            QCoreApplication::postEvent(
                edit, new QKeyEvent(QEvent::KeyPress, Qt::Key_B, Qt::NoModifier, QStringLiteral("b")));
            closeAccepted = window.close();
            QCoreApplication::postEvent(window.windowHandle(), new QCloseEvent);
            paintsAtStart = painted->paints;
            painted->update();
        });
        QTimer::singleShot(200, &window, [&] { paintsLater = painted->paints; });

        // The window blocks its input from the tool's start to its end.
        ConsoleLines console;
        UserInputBlock inputBlock;
        QVERIFY(RunAndCapture(console, {}, kChild, QStringLiteral("sleep:400 out:done"), false, {},
                              nullptr, [&](bool running) { inputBlock.setBlocked(running); }));

        QVERIFY(timerRan);
        QVERIFY(runningSeen);
        QCOMPARE(console.lines(), QStringList{"done"});
        QCOMPARE(edit->text(), QString());
        QCOMPARE(clicks.count(), 0);
        QVERIFY(!closeAccepted);
        QVERIFY(window.isVisible());
        QVERIFY2(paintsLater > paintsAtStart,
                 qPrintable(QStringLiteral("%1 -> %2").arg(paintsAtStart).arg(paintsLater)));
        QVERIFY(!IsToolRunning());

        // Nothing held back is replayed, and input works again.
        QCoreApplication::processEvents();
        QCOMPARE(edit->text(), QString());
        QTest::keyClick(edit, Qt::Key_C);
        QCOMPARE(edit->text(), QStringLiteral("c"));
        QTest::mouseClick(button, Qt::LeftButton);
        QCOMPARE(clicks.count(), 1);
        QVERIFY(window.close());
    }

    void blockEndsWithItsScope()
    {
        QLineEdit edit;
        edit.show();
        QVERIFY(QTest::qWaitForWindowExposed(&edit));
        {
            UserInputBlock block;
            block.setBlocked(true);
            QVERIFY(block.isBlocked());
            QTest::keyClick(&edit, Qt::Key_A);
            QCOMPARE(edit.text(), QString());
        }
        // A block left set when its scope ends (an error thrown through the
        // run) is lifted all the same.
        QTest::keyClick(&edit, Qt::Key_B);
        QCOMPARE(edit.text(), QStringLiteral("b"));
    }

private:
    QString m_previousFolder;
    QTemporaryDir m_dir;
};

QTEST_MAIN(TestInputBlock)
#include "tst_inputblock.moc"
