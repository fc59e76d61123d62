// The console output window: its look, its lines, and Escape.

#include "console/u_frmConsoleOutput.h"

#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextLayout>
#include <QStatusBar>
#include <QTimer>
#include <QtTest>

class TestConsoleWindow : public QObject {
    Q_OBJECT
private slots:
    void lookAndSize();
    void linesAreAddedClearedAndKept();
    void escapeClosesWhateverModifiers_data();
    void escapeClosesWhateverModifiers();
    void otherKeysReachTheText();
    void longLinesAreNotWrapped();
    void showsEightyColumns();
};

void TestConsoleWindow::lookAndSize()
{
    TfrmConsoleOutput console;
    QCOMPARE(console.windowTitle(), QStringLiteral("Quillmark - Console Output"));
    QCOMPARE(console.size(), QSize(592, 443));
    QCOMPARE(console.minimumSize(), QSize(113, 29));
    QVERIFY(console.windowFlags().testFlag(Qt::WindowMinMaxButtonsHint));
    QVERIFY(console.windowFlags().testFlag(Qt::WindowCloseButtonHint));
    QCOMPARE(console.memoConsoleOutput->objectName(), QStringLiteral("memoConsoleOutput"));
    QVERIFY(console.memoConsoleOutput->isReadOnly());
    QCOMPARE(console.memoConsoleOutput->lineWrapMode(), QPlainTextEdit::NoWrap);
    QCOMPARE(console.memoConsoleOutput->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    QCOMPARE(console.memoConsoleOutput->font().pixelSize(), 11);
    QVERIFY(QFontInfo(console.memoConsoleOutput->font()).fixedPitch());
    QCOMPARE(console.statBar->objectName(), QStringLiteral("statBar"));
    QCOMPARE(console.statBar->height(), 19);
    QVERIFY(console.statBar->currentMessage().isEmpty());

    // The text area follows the window's size, down to the minimum.
    console.show();
    console.resize(console.minimumSize());
    QTRY_VERIFY(console.memoConsoleOutput->height() <= console.height());
}

void TestConsoleWindow::linesAreAddedClearedAndKept()
{
    TfrmConsoleOutput console;
    QCOMPARE(console.lines(), QStringList());
    console.addLine(QString());
    QCOMPARE(console.lines(), QStringList{QString()});
    console.addLines({"one", "", "three"});
    console.addLine("four");
    QCOMPARE(console.lines(), (QStringList{"", "one", "", "three", "four"}));
    console.addLines({});
    QCOMPARE(console.lines().size(), 5);

    // Showing the window twice without a run in between shows the same text.
    for (int i = 0; i < 2; ++i) {
        QTimer::singleShot(0, &console, [&] { console.reject(); });
        console.showModal();
        QCOMPARE(console.lines(), (QStringList{"", "one", "", "three", "four"}));
    }
    console.clear();
    QCOMPARE(console.lines(), QStringList());
    QCOMPARE(console.memoConsoleOutput->toPlainText(), QString());
}

void TestConsoleWindow::escapeClosesWhateverModifiers_data()
{
    QTest::addColumn<int>("modifiers");
    QTest::newRow("plain") << int(Qt::NoModifier);
    QTest::newRow("shift") << int(Qt::ShiftModifier);
    QTest::newRow("ctrl") << int(Qt::ControlModifier);
    QTest::newRow("ctrl+alt+shift") << int(Qt::ControlModifier | Qt::AltModifier | Qt::ShiftModifier);
}

void TestConsoleWindow::escapeClosesWhateverModifiers()
{
    QFETCH(int, modifiers);
    TfrmConsoleOutput console;
    bool wasShown = false;
    QTimer::singleShot(0, &console, [&] {
        wasShown = console.isVisible();
        // The text area has the focus; the window still sees the key first.
        console.memoConsoleOutput->setFocus();
        QTest::keyClick(console.memoConsoleOutput, Qt::Key_Escape,
                        Qt::KeyboardModifiers(modifiers));
    });
    QTimer::singleShot(2000, &console, [&] { console.done(42); });
    console.showModal();
    QVERIFY(wasShown);
    QCOMPARE(console.result(), int(QDialog::Rejected));
}

void TestConsoleWindow::otherKeysReachTheText()
{
    TfrmConsoleOutput console;
    console.addLines({"first line", "second line"});
    console.show();
    console.memoConsoleOutput->setFocus();
    QTest::keyClick(console.memoConsoleOutput, Qt::Key_A, Qt::ControlModifier);
    QCOMPARE(console.memoConsoleOutput->textCursor().selectedText().size(),
             QStringLiteral("first line\u2029second line").size());
    QVERIFY(console.isVisible());
}

void TestConsoleWindow::longLinesAreNotWrapped()
{
    TfrmConsoleOutput console;
    const QString longLine(2000, QLatin1Char('x'));
    console.addLine(longLine);
    console.show();
    QCOMPARE(console.memoConsoleOutput->document()->blockCount(), 1);
    QCOMPARE(console.memoConsoleOutput->document()->firstBlock().layout()->lineCount(), 1);
    QVERIFY(!console.memoConsoleOutput->horizontalScrollBar()->isVisible());
    // The caret reaches the end of the line.
    console.memoConsoleOutput->setFocus();
    QTest::keyClick(console.memoConsoleOutput, Qt::Key_End);
    QCOMPARE(console.memoConsoleOutput->textCursor().positionInBlock(), 2000);
}

// The stand-in tools word their own lines to 80 characters, since the text
// cannot scroll sideways; the console at its first size shows that many.
void TestConsoleWindow::showsEightyColumns()
{
    TfrmConsoleOutput console;
    console.show();
    QVERIFY(QTest::qWaitForWindowExposed(&console));
    QPlainTextEdit *text = console.memoConsoleOutput;
    const QString eighty(80, QLatin1Char('W'));
    console.addLines({eighty, QStringLiteral("short")});
    QApplication::processEvents();
    QVERIFY2(text->fontInfo().fixedPitch(), qPrintable(text->fontInfo().family()));
    const QRectF line = text->document()->firstBlock().layout()->lineAt(0).naturalTextRect();
    const qreal room = text->viewport()->width() - 2 * text->document()->documentMargin();
    QVERIFY2(line.width() <= room,
             qPrintable(QStringLiteral("80 characters take %1 pixels, the console shows %2 (%3)")
                            .arg(line.width()).arg(room).arg(text->fontInfo().family())));
    QCOMPARE(text->horizontalScrollBar()->maximum(), 0);
}

QTEST_MAIN(TestConsoleWindow)
#include "tst_consolewindow.moc"
