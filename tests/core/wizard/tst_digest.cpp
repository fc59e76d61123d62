// The file digest: the CRC-32 the wizard relies on, checked against a
// bit-at-a-time CRC-32/BZIP2 written here, block edges, result codes and the
// untouched text on every failure, and 64-bit sizes.

#include "wizard/CryptoAPI.h"
#include "support/FifoRescuer.h"
#include "support/TestData.h"

#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// CRC-32/BZIP2 one bit at a time, then its four bytes reversed: what
// selector 260 must give, computed without any table.
QString referenceCrc(const QByteArray &bytes)
{
    quint32 crc = 0xFFFFFFFFu;
    for (const char c : bytes) {
        crc ^= quint32(quint8(c)) << 24;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
    }
    crc = ~crc;
    const quint32 reversed = (crc >> 24) | ((crc >> 8) & 0xFF00u) | ((crc << 8) & 0xFF0000u)
        | (crc << 24);
    return QString::asprintf("%08x", reversed);
}

QByteArray randomBytes(int size, quint32 seed)
{
    QRandomGenerator generator(seed);
    QByteArray bytes(size, Qt::Uninitialized);
    for (char &c : bytes)
        c = char(generator.bounded(256));
    return bytes;
}

} // namespace

class TestDigest : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void crcMatchesBzip2WithBytesReversed_data();
    void crcMatchesBzip2WithBytesReversed();
    void knownTexts_data();
    void knownTexts();
    void anySingleChangedByteChangesTheText();
    void identicalFilesGiveTheSameText();
    void failuresLeaveTheTextAsItWas_data();
    void failuresLeaveTheTextAsItWas();
    void fifoIsNeverWaitedOn();
    void codesOfTheStepOperations();
    void rangeShorterThanAskedIsAFailure();
    void sizesBeyondFourGibibytesAreNotCut();

private:
    QString write(const QString &name, const QByteArray &bytes);
    QTemporaryDir *m_dir = nullptr;
};

void TestDigest::init()
{
    m_dir = new QTemporaryDir;
    QVERIFY(m_dir->isValid());
}

void TestDigest::cleanup()
{
    delete m_dir;
}

QString TestDigest::write(const QString &name, const QByteArray &bytes)
{
    const QString path = m_dir->filePath(name);
    if (!testdata::writeBytes(path, bytes))
        return QString();
    return path;
}

void TestDigest::crcMatchesBzip2WithBytesReversed_data()
{
    QTest::addColumn<int>("size");
    QTest::newRow("1 byte") << 1;
    QTest::newRow("4095") << 4095;
    QTest::newRow("4096, one whole block") << 4096;
    QTest::newRow("4097, a block and a byte") << 4097;
    QTest::newRow("three blocks and a bit") << 3 * 4096 + 17;
}

void TestDigest::crcMatchesBzip2WithBytesReversed()
{
    QFETCH(int, size);
    const QByteArray bytes = randomBytes(size, quint32(size));
    const QString path = write("data.bin", bytes);
    QString text;
    QCOMPARE(DigestFile(DigestSelector::CRC32Reversed, path, text), quint32(DigestOk));
    QCOMPARE(text, referenceCrc(bytes));
    QCOMPARE(text.size(), 8);
}

void TestDigest::knownTexts_data()
{
    QTest::addColumn<quint32>("selector");
    QTest::addColumn<QString>("expected");
    QTest::newRow("260 CRC-32 reversed") << quint32(260) << "73bb8c64";
    QTest::newRow("261 reflected CRC-32") << quint32(261) << "c2412435";
    QTest::newRow("259 MD5") << quint32(259) << "900150983cd24fb0d6963f7d28e17f72";
    QTest::newRow("269 SHA-1") << quint32(269) << "a9993e364706816aba3e25717850c26c9cd0d89d";
    QTest::newRow("270 SHA-256") << quint32(270)
                                 << "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
    QTest::newRow("271 SHA-384")
        << quint32(271)
        << "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed8086072ba1e7cc2358baeca134c825a7";
    QTest::newRow("272 SHA-512")
        << quint32(272)
        << "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f";
}

void TestDigest::knownTexts()
{
    QFETCH(quint32, selector);
    QFETCH(QString, expected);
    QString text = "old";
    QCOMPARE(DigestFile(selector, write("abc.txt", "abc"), text), quint32(DigestOk));
    QCOMPARE(text, expected);
}

void TestDigest::anySingleChangedByteChangesTheText()
{
    const QByteArray original = randomBytes(5000, 7);
    QString originalText;
    QCOMPARE(DigestFile(260, write("a.bin", original), originalText), quint32(DigestOk));
    // Both ends, both sides of the block edge, and the last byte.
    for (int position : {0, 1, 4095, 4096, 4999}) {
        QByteArray changed = original;
        changed[position] = char(changed[position] ^ 0x01);
        QString text;
        QCOMPARE(DigestFile(260, write("b.bin", changed), text), quint32(DigestOk));
        QVERIFY2(text != originalText, qPrintable(QString::number(position)));
    }
}

void TestDigest::identicalFilesGiveTheSameText()
{
    const QByteArray bytes = randomBytes(9000, 11);
    QString first, second;
    QCOMPARE(DigestFile(260, write("one.pfx", bytes), first), quint32(DigestOk));
    QCOMPARE(DigestFile(260, write("two.pfx", bytes), second), quint32(DigestOk));
    QCOMPARE(first, second);
}

void TestDigest::failuresLeaveTheTextAsItWas_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<quint32>("selector");
    QTest::addColumn<quint32>("code");
    QTest::newRow("empty file") << "empty" << quint32(260) << quint32(DigestShortRead);
    QTest::newRow("missing file") << "missing" << quint32(260) << quint32(DigestOpenFailed);
    QTest::newRow("a folder") << "folder" << quint32(260) << quint32(DigestOpenFailed);
    QTest::newRow("unknown selector") << "abc" << quint32(300) << quint32(DigestBadSelector);
    QTest::newRow("selector 0") << "abc" << quint32(0) << quint32(DigestBadSelector);
    QTest::newRow("listed but not provided (MD2)") << "abc" << quint32(257)
                                                  << quint32(DigestBadSelector);
    QTest::newRow("missing file beats bad selector") << "missing" << quint32(300)
                                                     << quint32(DigestOpenFailed);
}

void TestDigest::failuresLeaveTheTextAsItWas()
{
    QFETCH(QString, kind);
    QFETCH(quint32, selector);
    QFETCH(quint32, code);
    QString path = m_dir->filePath("target");
    if (kind == "empty")
        path = write("empty.pfx", QByteArray());
    else if (kind == "folder")
        QVERIFY(QDir().mkdir(path));
    else if (kind == "abc")
        path = write("abc.txt", "abc");
    QString text = "earlier digest";
    QCOMPARE(DigestFile(selector, path, text), code);
    QCOMPARE(text, QString("earlier digest"));
}

// A FIFO at the digested path (anyone may make one where a PFX is to be
// written) is no file: an open that waits for its writer would never end.
void TestDigest::fifoIsNeverWaitedOn()
{
    const QString path = m_dir->filePath("new.pfx");
    FifoRescuer fifo(path);
    QVERIFY(fifo.made());
    QString text = "earlier digest";
    QCOMPARE(DigestFile(260, path, text), quint32(DigestOpenFailed));
    QCOMPARE(DigestFileSize(path), qint64(-1));
    DigestContext context;
    QCOMPARE(DigestInit(&context, 260), quint32(DigestOk));
    QVERIFY(!DigestFileRange(&context, path, 0, 10));
    QVERIFY2(!fifo.rescued(), "the digest waited on a FIFO until it was freed");
    QCOMPARE(text, QString("earlier digest"));
}

void TestDigest::codesOfTheStepOperations()
{
    QString text = "kept";
    QCOMPARE(DigestInit(nullptr, 260), quint32(DigestNoContext));
    QCOMPARE(DigestUpdate(nullptr, "x", 1), quint32(DigestNoContext));
    QCOMPARE(DigestFinal(nullptr, text), quint32(DigestNoContext));

    DigestContext context;
    QCOMPARE(DigestUpdate(&context, "x", 1), quint32(DigestNoState));
    // A context that was never initialised holds no recognised selector.
    QCOMPARE(DigestFinal(&context, text), quint32(DigestBadSelector));
    QCOMPARE(text, QString("kept"));

    // Fed in pieces of any size, the text is that of the whole.
    QCOMPARE(DigestInit(&context, 260), quint32(DigestOk));
    QCOMPARE(DigestUpdate(&context, "a", 1), quint32(DigestOk));
    QCOMPARE(DigestUpdate(&context, "", 0), quint32(DigestOk));
    QCOMPARE(DigestUpdate(&context, "bc", 2), quint32(DigestOk));
    QCOMPARE(DigestFinal(&context, text), quint32(DigestOk));
    QCOMPARE(text, QString("73bb8c64"));
    // The state is released: nothing more can be fed.
    QVERIFY(!context.state);
    QCOMPARE(DigestUpdate(&context, "a", 1), quint32(DigestNoState));
    QCOMPARE(DigestFinal(&context, text), quint32(DigestNoState));
    QCOMPARE(text, QString("73bb8c64"));

    DigestContext tiger;
    QCOMPARE(DigestInit(&tiger, DigestSelector::Tiger128), quint32(DigestBadSelector));
    QCOMPARE(tiger.passes, quint32(3));
    QVERIFY(!tiger.state);
}

void TestDigest::rangeShorterThanAskedIsAFailure()
{
    // A file that is shorter than its measured size (it shrank, or a read
    // stopped early) must never yield a digest of the bytes read so far.
    const QByteArray bytes = randomBytes(5000, 3);
    const QString path = write("short.bin", bytes);
    DigestContext context;
    QCOMPARE(DigestInit(&context, 260), quint32(DigestOk));
    QVERIFY(!DigestFileRange(&context, path, 0, bytes.size() + 1));

    // Bytes beyond the measured size are left out.
    DigestContext prefix;
    QCOMPARE(DigestInit(&prefix, 260), quint32(DigestOk));
    QVERIFY(DigestFileRange(&prefix, path, 0, 4097));
    QString text;
    QCOMPARE(DigestFinal(&prefix, text), quint32(DigestOk));
    QCOMPARE(text, referenceCrc(bytes.left(4097)));
}

void TestDigest::sizesBeyondFourGibibytesAreNotCut()
{
    // A sparse file: four gibibytes of holes, then "abc".
    const qint64 fourGiB = qint64(1) << 32;
    const QString path = m_dir->filePath("huge.pfx");
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    if (!file.seek(fourGiB) || file.write("abc") != 3) {
        file.close();
        QSKIP("This file system cannot hold a sparse file of 4 GiB");
    }
    file.close();

    QCOMPARE(DigestFileSize(path), fourGiB + 3);
    DigestContext context;
    QCOMPARE(DigestInit(&context, 260), quint32(DigestOk));
    QVERIFY(DigestFileRange(&context, path, fourGiB, fourGiB + 3));
    QString text;
    QCOMPARE(DigestFinal(&context, text), quint32(DigestOk));
    QCOMPARE(text, QString("73bb8c64"));
}

QTEST_GUILESS_MAIN(TestDigest)
#include "tst_digest.moc"
