// Lines given while a tool's output arrives must be the very lines that the
// console gets from the whole output, however the output is cut in pieces.

#include "pipeline/CaptureLineStream.h"
#include "signing/ToolRunner.h"

#include <QtTest>

class TestCaptureLineStream : public QObject {
    Q_OBJECT
private slots:
    void everyCutGivesTheConsolesLines_data();
    void everyCutGivesTheConsolesLines();
    void aLineComesAsSoonAsItsEndArrives();
};

namespace {

// The streamed lines followed by what the whole output has beyond them,
// as the command writes them.
QStringList streamedThenRest(const QList<QByteArray> &pieces)
{
    CaptureLineStream stream;
    QStringList lines;
    QByteArray whole;
    for (const QByteArray &piece : pieces) {
        lines += stream.feed(piece);
        whole += piece;
    }
    const QStringList all = SplitCaptureLines(whole);
    // What was streamed is what the console has at its start.
    if (all.mid(0, lines.size()) != lines)
        return {QStringLiteral("<streamed lines differ>")};
    return lines + all.mid(lines.size());
}

} // namespace

void TestCaptureLineStream::everyCutGivesTheConsolesLines_data()
{
    QTest::addColumn<QByteArray>("output");
    QTest::newRow("LF") << QByteArray("Done Adding Additional Store\nSuccessfully signed: a.exe\n");
    QTest::newRow("CR LF") << QByteArray("one\r\ntwo\r\n\r\nfour");
    QTest::newRow("lone CR") << QByteArray("progress 1\rprogress 2\r\rdone\n");
    QTest::newRow("LF CR") << QByteArray("a\n\rb\n\r");
    QTest::newRow("no line end") << QByteArray("last words");
    QTest::newRow("NUL ends the text") << QByteArray("kept\nkept too\0gone\nalso gone\n", 33);
    QTest::newRow("NUL after CR") << QByteArray("kept\r\0\n", 7);
    QTest::newRow("not UTF-8") << QByteArray("caf\xe9\nna\xc3\xafve\n\xe2\x82\n\xff\xfe tail");
    QTest::newRow("UTF-8 cut by the line end") << QByteArray("\xe2\x82\r\n\xac ok\n");
    QTest::newRow("empty") << QByteArray();
}

void TestCaptureLineStream::everyCutGivesTheConsolesLines()
{
    QFETCH(QByteArray, output);
    const QStringList expected = SplitCaptureLines(output);
    QCOMPARE(streamedThenRest({output}), expected);
    // Cut once at every place, and byte by byte.
    for (qsizetype at = 0; at <= output.size(); ++at)
        QCOMPARE(streamedThenRest({output.left(at), output.mid(at)}), expected);
    QList<QByteArray> bytes;
    for (const char c : output)
        bytes.append(QByteArray(1, c));
    QCOMPARE(streamedThenRest(bytes), expected);
}

void TestCaptureLineStream::aLineComesAsSoonAsItsEndArrives()
{
    CaptureLineStream stream;
    QCOMPARE(stream.feed("Successfully sig"), QStringList());
    QCOMPARE(stream.feed("ned: a.exe\r"), QStringList({"Successfully signed: a.exe"}));
    // The LF of that CR LF is no second line end.
    QCOMPARE(stream.feed("\nSuccess"), QStringList());
    QCOMPARE(stream.feed("fully signed: b.exe\n"), QStringList({"Successfully signed: b.exe"}));
    QCOMPARE(stream.completed(), 2);
}

QTEST_APPLESS_MAIN(TestCaptureLineStream)
#include "tst_capturelinestream.moc"
