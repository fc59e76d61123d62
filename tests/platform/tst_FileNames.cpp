// File names that are not UTF-8: kept exactly from the disk to a listing,
// a copy or a tool's argument list, and shown with replacement characters.

#include "platform/Platform.h"
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

QTEST_GUILESS_MAIN(TestFileNames)
#include "tst_FileNames.moc"
