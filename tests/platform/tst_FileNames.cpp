// File names that are not UTF-8: kept exactly from the disk to a listing,
// a copy or a tool's argument list, and shown with replacement characters.

#include "platform/Platform.h"
#include "safefile/ShownText.h"
#include "support/FileContents.h"

#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

class TestFileNames : public QObject {
    Q_OBJECT

private slots:
    void roundTrip_data();
    void roundTrip();
    void randomBytesComeBackExactly();
    void ordinaryTextIsPlainUtf8();
    void filesWithSuchNamesAreFoundAndListed();
    void controlCharactersAreShownEscaped_data();
    void controlCharactersAreShownEscaped();
    void escapingTwiceChangesNothing();
};

void TestFileNames::roundTrip_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<bool>("undecodable");

    const QString r(QChar::ReplacementCharacter);
    QTest::newRow("ascii") << QByteArray("/tmp/a.exe") << "/tmp/a.exe" << false;
    QTest::newRow("utf-8") << QByteArray("/tmp/caf\xC3\xA9.exe") << QString::fromUtf8("/tmp/café.exe")
                           << false;
    QTest::newRow("latin-1") << QByteArray("/tmp/caf\xE9.exe") << "/tmp/caf" + r + ".exe" << true;
    QTest::newRow("4-byte") << QByteArray("\xF0\x9F\x96\x8B") << QString::fromUtf8("\U0001F58B")
                            << false;
    // A real U+FFFD in a name is a character like any other, not a kept byte.
    QTest::newRow("real U+FFFD") << QByteArray("x\xEF\xBF\xBDy") << "x" + r + "y" << false;
    QTest::newRow("overlong slash") << QByteArray("a\xC0\xAF" "b") << "a" + r + r + "b" << true;
    QTest::newRow("encoded surrogate") << QByteArray("\xED\xA0\x80") << r + r + r << true;
    QTest::newRow("past U+10FFFF") << QByteArray("\xF4\x90\x80\x80") << r + r + r + r << true;
    QTest::newRow("cut sequence") << QByteArray("ab\xE2\x82") << "ab" + r + r << true;
    QTest::newRow("lone continuation") << QByteArray("\x80x") << r + "x" << true;
    QTest::newRow("empty") << QByteArray() << QString() << false;
}

void TestFileNames::roundTrip()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, shown);
    QFETCH(bool, undecodable);
    const QString name = platform::decodeFileName(bytes);
    QCOMPARE(platform::encodeFileName(name), bytes);
    QCOMPARE(platform::displayFileName(name), shown);
    QCOMPARE(platform::holdsUndecodableBytes(name), undecodable);
}

void TestFileNames::randomBytesComeBackExactly()
{
    QRandomGenerator random(20261207);
    for (int round = 0; round < 2000; ++round) {
        QByteArray bytes(int(random.bounded(1, 24)), Qt::Uninitialized);
        for (char &byte : bytes) {
            // Mostly high bytes, so that valid and broken sequences mix.
            byte = char(random.bounded(4) == 0 ? random.bounded(0x20, 0x80) : random.bounded(0x80, 0x100));
        }
        const QString name = platform::decodeFileName(bytes);
        QVERIFY2(platform::encodeFileName(name) == bytes, bytes.toHex().constData());
        // Whatever is shown is valid text.
        const QString shown = platform::displayFileName(name);
        QCOMPARE(QString::fromUtf8(shown.toUtf8()), shown);
    }
}

void TestFileNames::ordinaryTextIsPlainUtf8()
{
    const QString text = QString::fromUtf8("Grüße \U0001F58B /a b/\"x\"");
    QCOMPARE(platform::encodeFileName(text), text.toUtf8());
    QCOMPARE(platform::decodeFileName(text.toUtf8()), text);
}

void TestFileNames::filesWithSuchNamesAreFoundAndListed()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QByteArray folder = QFile::encodeName(dir.path()) + "/";
    const QByteArray latin1 = folder + "caf\xE9.exe";
    const QByteArray replacement = folder + "caf\xEF\xBF\xBD.exe";
    QVERIFY(testfiles::makeRawFile(latin1, "latin-1 file"));
    QVERIFY(testfiles::makeRawFile(replacement, "the other file"));

    const QString name = platform::decodeFileName(latin1);
    QVERIFY(platform::pathExists(name));
    const auto facts = platform::fileFacts(name);
    QVERIFY(facts);
    QCOMPARE(facts->size, qint64(12));
    QVERIFY(!facts->isFolder);
    // Not the file whose name really holds U+FFFD.
    QVERIFY(facts->identity != *platform::fileIdentity(QString::fromUtf8(replacement)));

    QStringList names = platform::folderEntryNames(dir.path());
    names.sort();
    QStringList expected{platform::decodeFileName("caf\xE9.exe"), QString::fromUtf8("caf\uFFFD.exe")};
    expected.sort();
    QCOMPARE(names, expected);

    // A copy to such a name lands on exactly that name.
    const QString copy = platform::decodeFileName(folder + "copy-\xE9.exe");
    QCOMPARE(platform::copyFileReplacing(name, copy), 0);
    QCOMPARE(platform::readRegularFile(copy).data, QByteArray("latin-1 file"));
    QCOMPARE(::access((folder + "copy-\xE9.exe").constData(), F_OK), 0);
}

void TestFileNames::controlCharactersAreShownEscaped_data()
{
    QTest::addColumn<QByteArray>("bytes"); // UTF-8 text, or a name's bytes
    QTest::addColumn<QByteArray>("shown"); // the tools' form (safefile::shownText)
    QTest::newRow("plain") << QByteArray("/tmp/café app.exe") << QByteArray("/tmp/café app.exe");
    QTest::newRow("line break forging a line")
        << QByteArray("a.exe\nSuccessfully signed: FORGED.exe")
        << QByteArray("a.exe\\nSuccessfully signed: FORGED.exe");
    QTest::newRow("carriage return, tab") << QByteArray("a\rb\tc") << QByteArray("a\\rb\\tc");
    QTest::newRow("escape sequence") << QByteArray("x\x1b[2Ky") << QByteArray("x\\x1b[2Ky");
    QTest::newRow("other C0, DEL") << QByteArray("\x01\x07\x1f\x7f") << QByteArray("\\x01\\x07\\x1f\\x7f");
    QTest::newRow("C1 (NEL, CSI)") << QByteArray("a\xC2\x85" "b\xC2\x9B" "c")
                                   << QByteArray("a\\u0085b\\u009bc");
    QTest::newRow("line and paragraph separators") << QByteArray("a\xE2\x80\xA8" "b\xE2\x80\xA9" "c")
                                                   << QByteArray("a\\u2028b\\u2029c");
    QTest::newRow("right-to-left override, isolate") << QByteArray("gpj\xE2\x80\xAE.exe\xE2\x81\xA6")
                                                      << QByteArray("gpj\\u202e.exe\\u2066");
    // Right next to the escaped ones, and bytes that are not UTF-8: as they are.
    QTest::newRow("neighbours") << QByteArray("\xC2\xA0 \xE2\x80\xA7 \xE2\x80\xAF ~")
                                << QByteArray("\xC2\xA0 \xE2\x80\xA7 \xE2\x80\xAF ~");
    QTest::newRow("not UTF-8") << QByteArray("caf\xE9 \xC2 \x85") << QByteArray("caf\xE9 \xC2 \x85");
    QTest::newRow("backslash") << QByteArray("a\\nb") << QByteArray("a\\nb");
}

// A name's control characters are shown escaped, alike by the tools
// (safefile::shownText on bytes) and the window (platform::shownText and
// displayFileName on the decoded name).
void TestFileNames::controlCharactersAreShownEscaped()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QByteArray, shown);
    const std::string tools = safefile::shownText(std::string_view(bytes.constData(), size_t(bytes.size())));
    QCOMPARE(QByteArray(tools.data(), qsizetype(tools.size())), shown);

    const QString name = platform::decodeFileName(bytes);
    QCOMPARE(platform::shownText(name), platform::decodeFileName(shown));
    const QString displayed = platform::displayFileName(name);
    for (const QChar c : displayed)
        QVERIFY2(!safefile::isEscapedWhenShown(c.unicode()), qPrintable(displayed));
    if (!platform::holdsUndecodableBytes(name))
        QCOMPARE(displayed, QString::fromUtf8(shown));
}

// Output that passes through several programs (a tool's through the
// window's console) is escaped once, not again at each step.
void TestFileNames::escapingTwiceChangesNothing()
{
    QByteArray every;
    for (int c = 0; c < 0x80; ++c)
        every.append(char(c));
    every.append("\xC2\x80\xC2\x9F\xE2\x80\xA8\xE2\x81\xA9");
    const std::string once = safefile::shownText(std::string_view(every.constData(), size_t(every.size())));
    QCOMPARE(safefile::shownText(once), once);
    const QString text = QString::fromUtf8(every);
    QCOMPARE(platform::shownText(platform::shownText(text)), platform::shownText(text));
    QCOMPARE(platform::shownText(text), QString::fromStdString(once));
}

QTEST_GUILESS_MAIN(TestFileNames)
#include "tst_FileNames.moc"
