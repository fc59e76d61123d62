// The PE layout checks and the signed-copy check of signtool.exe, on files
// made here and signed by the real osslsigncode.

#include "PeImage.h"
#include "SignatureCheck.h"
#include "support/TestData.h"

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <openssl/bn.h>
#include <openssl/evp.h>

#include <fcntl.h>
#include <unistd.h>

using namespace testdata;
using namespace signtool;

namespace {

// Layout of the test PE file (see TestData.cpp).
constexpr int kPeHeader = 0x40;
constexpr int kOptionalHeader = kPeHeader + 24;
constexpr int kCertEntry = kOptionalHeader + 96 + 4 * 8;

class File {
public:
    explicit File(const QString &path) : m_fd(::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC)) {}
    ~File()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    int fd() const { return m_fd; }

private:
    int m_fd;
};

} // namespace

class TestPeImage : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    KeyAndCert m_cert;
    KeyAndCert m_other;
    QString m_pfx;
    QString m_otherPfx;
    int m_files = 0;

    QString newPath() { return m_dir.filePath(QStringLiteral("f%1.exe").arg(++m_files)); }

    QString write(const QByteArray &bytes)
    {
        const QString path = newPath();
        if (!writeBytes(path, bytes))
            qFatal("cannot write a test file");
        return path;
    }

    // A copy of `source` signed by osslsigncode itself with `pfx`.
    QString signedCopy(const QString &source, const QString &pfx)
    {
        const QString out = newPath();
        const RunResult run = runProgram(QStringLiteral("osslsigncode"),
                                         {"sign", "-pkcs12", pfx, "-h", "sha256", "-in", source, "-out", out});
        if (!run.ok())
            qFatal("osslsigncode failed: %s", qPrintable(run.output));
        return out;
    }

    // The check as a small file gets it (every digest made here), and as a
    // large one does with the file's digest made beforehand and the copy
    // compared with the file instead of hashed: both must say the same.
    static std::string check(const QString &original, const QString &copy, X509 *signer,
                             const CopyExpectation &expected = {})
    {
        File a(original), b(copy);
        const std::string hashed = checkSignedCopy(a.fd(), b.fd(), signer, expected);
        std::string problem;
        const auto layout = readPeLayout(a.fd(), problem);
        const EVP_MD *md = EVP_get_digestbyname(expected.fileDigest.c_str());
        const auto digest = layout ? authenticodeDigest(a.fd(), *layout, md) : std::nullopt;
        if (!digest)
            return hashed;
        const KnownDigest known{EVP_MD_get_type(md), *digest};
        const bool same = sameDigestedContent(a.fd(), b.fd());
        const std::string compared = checkSignedCopy(a.fd(), b.fd(), signer, expected, &known, same ? &known : nullptr);
        if (compared != hashed)
            qFatal("the compared copy is judged \"%s\", the hashed one \"%s\"", compared.c_str(), hashed.c_str());
        return hashed;
    }

    static bool sameContent(const QString &original, const QString &copy)
    {
        File a(original), b(copy);
        return sameDigestedContent(a.fd(), b.fd());
    }

    // A copy of `signedFile` with one more signature, appended with `pfx`.
    QString appendedCopy(const QString &signedFile, const QString &pfx, const char *digest = "sha256")
    {
        const QString out = newPath();
        const RunResult run = runProgram(QStringLiteral("osslsigncode"), {"sign", "-nest", "-pkcs12", pfx, "-h", digest,
                                                                          "-in", signedFile, "-out", out});
        if (!run.ok())
            qFatal("osslsigncode failed: %s", qPrintable(run.output));
        return out;
    }

private slots:
    void initTestCase();
    void layoutOfAGoodFile();
    void damagedFileIsRefused_data();
    void damagedFileIsRefused();
    void signedCopyHasTheOriginalsDigest();
    void signedCopyPassesTheCheck();
    void pe32PlusFile();
    void badCopyFailsTheCheck_data();
    void badCopyFailsTheCheck();
    void copyMustHoldExactlyTheExpectedSignatures();
    void comparedContentStandsForTheDigest();
    void comparedContentOfALargeFile();
    void verifyReportOfOtherFormats_data();
    void verifyReportOfOtherFormats();
};

void TestPeImage::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_cert = makeCertificate();
    CertOptions other;
    other.commonName = QStringLiteral("Someone Else");
    m_other = makeCertificate(other);
    QVERIFY(!m_cert.isNull() && !m_other.isNull());
    m_pfx = m_dir.filePath(QStringLiteral("me.pfx"));
    m_otherPfx = m_dir.filePath(QStringLiteral("other.pfx"));
    QVERIFY(writePkcs12(m_pfx, m_cert));
    QVERIFY(writePkcs12(m_otherPfx, m_other));
}

void TestPeImage::layoutOfAGoodFile()
{
    const QString path = write(peFileBytes(3));
    File file(path);
    QVERIFY(startsLikePe(file.fd()));
    std::string problem;
    const auto layout = readPeLayout(file.fd(), problem);
    QVERIFY2(layout, problem.c_str());
    QCOMPARE(layout->fileSize, quint64(1024));
    QCOMPARE(layout->headerOffset, quint32(kPeHeader));
    QVERIFY(!layout->pe32plus);
    QCOMPARE(layout->checksumOffset, quint64(kOptionalHeader + 64));
    QCOMPARE(layout->certEntryOffset, quint64(kCertEntry));
    QCOMPARE(layout->certTableOffset, quint32(0));

    const QString text = write("MZ is not enough for a program file");
    File notPe(write("not a program"));
    QVERIFY(!startsLikePe(notPe.fd()));
    File shortPe(text);
    QVERIFY(!readPeLayout(shortPe.fd(), problem));
}

void TestPeImage::damagedFileIsRefused_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("problem");

    const QByteArray good = peFileBytes();
    QTest::newRow("head of the file") << good.left(1000) << "the section \".text\" runs past the end of the file";
    QByteArray farHeader = good;
    putLe32(farHeader, 0x3C, 0x10000);
    QTest::newRow("PE header past the end") << farHeader << "the PE header lies past the end of the file";
    QByteArray noSignature = good;
    noSignature[kPeHeader] = 'X';
    QTest::newRow("no PE signature") << noSignature << "the PE signature is missing";
    QByteArray manySections = good;
    putLe16(manySections, kPeHeader + 6, 40);
    QTest::newRow("section table past the end") << manySections << "the section table runs past the end of the file";
    QByteArray bigHeaders = good;
    putLe32(bigHeaders, kOptionalHeader + 60, 0x100000);
    QTest::newRow("headers past the end") << bigHeaders << "the headers run past the end of the file";
    QByteArray outsideTable = good;
    putLe32(outsideTable, kCertEntry, 0x300);
    putLe32(outsideTable, kCertEntry + 4, 0x200);
    QTest::newRow("certificate table outside") << outsideTable << "its certificate table lies outside the file";
    QTest::newRow("optional header cut") << good.left(kOptionalHeader + 50)
                                         << "the optional header runs past the end of the file";
}

void TestPeImage::damagedFileIsRefused()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, problem);
    File file(write(bytes));
    std::string found;
    QVERIFY(!readPeLayout(file.fd(), found));
    QCOMPARE(QString::fromStdString(found), problem);
}

void TestPeImage::signedCopyHasTheOriginalsDigest()
{
    // 1024 bytes: a multiple of 8; 1021 bytes of trailing data make the
    // signer pad the file, which the digest of the original must match.
    for (const QByteArray &bytes : {peFileBytes(1), peFileBytes(2) + QByteArray(997, 'x')}) {
        const QString original = write(bytes);
        const QString copy = signedCopy(original, m_pfx);
        File a(original), b(copy);
        std::string problem;
        const auto layoutA = readPeLayout(a.fd(), problem);
        const auto layoutB = readPeLayout(b.fd(), problem);
        QVERIFY(layoutA && layoutB);
        QVERIFY(layoutB->certTableOffset > 0);
        QCOMPARE(quint64(layoutB->certTableOffset) + layoutB->certTableSize, layoutB->fileSize);
        const auto digestA = authenticodeDigest(a.fd(), *layoutA, EVP_sha256());
        const auto digestB = authenticodeDigest(b.fd(), *layoutB, EVP_sha256());
        QVERIFY(digestA && digestB);
        QCOMPARE(digestA->size(), size_t(32));
        QVERIFY(*digestA == *digestB);
    }
    // Another file has another digest.
    File one(write(peFileBytes(1))), two(write(peFileBytes(2)));
    std::string problem;
    QVERIFY(*authenticodeDigest(one.fd(), *readPeLayout(one.fd(), problem), EVP_sha256())
            != *authenticodeDigest(two.fd(), *readPeLayout(two.fd(), problem), EVP_sha256()));
}

void TestPeImage::signedCopyPassesTheCheck()
{
    const QString original = write(peFileBytes(5));
    const QString copy = signedCopy(original, m_pfx);
    QCOMPARE(QString::fromStdString(check(original, copy, m_cert.cert.get())), QString());
    // Signing a signed file again replaces the signature: still the
    // original's content.
    const QString again = signedCopy(copy, m_pfx);
    QCOMPARE(QString::fromStdString(check(copy, again, m_cert.cert.get())), QString());
}

void TestPeImage::pe32PlusFile()
{
    const QString original = write(peFileBytes(6, PeKind::Pe32Plus));
    File file(original);
    std::string problem;
    const auto layout = readPeLayout(file.fd(), problem);
    QVERIFY2(layout, problem.c_str());
    QVERIFY(layout->pe32plus);
    QCOMPARE(layout->checksumOffset, quint64(kOptionalHeader + 64));
    QCOMPARE(layout->certEntryOffset, quint64(kOptionalHeader + 112 + 4 * 8));

    const QString copy = signedCopy(original, m_pfx);
    QCOMPARE(QString::fromStdString(check(original, copy, m_cert.cert.get())), QString());
    QByteArray bytes = fileBytes(copy);
    bytes[0x200] = char(0x90);
    const std::string found = check(original, write(bytes), m_cert.cert.get());
    QVERIFY2(QString::fromStdString(found).contains("does not match its signature"), found.c_str());
}

void TestPeImage::badCopyFailsTheCheck_data()
{
    QTest::addColumn<QString>("damage");
    QTest::addColumn<QString>("problem");
    QTest::newRow("cut short") << "cut" << "the signed copy is damaged";
    QTest::newRow("unsigned") << "unsigned" << "the signed copy carries no signature";
    QTest::newRow("other signer") << "other" << "no signature with the chosen certificate";
    QTest::newRow("code changed") << "code" << "does not match its signature";
    QTest::newRow("signature changed") << "signature" << "does not verify";
    QTest::newRow("another file") << "another" << "does not hold the file's content";
    QTest::newRow("garbage after") << "appended" << "the signed copy is incomplete";
}

void TestPeImage::badCopyFailsTheCheck()
{
    QFETCH(QString, damage);
    QFETCH(QString, problem);
    const QString original = write(peFileBytes(9));
    QByteArray copy = fileBytes(signedCopy(original, damage == "other" ? m_otherPfx : m_pfx));
    const int table = int(le32(copy, kCertEntry));
    if (damage == "cut") {
        copy.chop(100);
    } else if (damage == "unsigned") {
        copy = peFileBytes(9);
    } else if (damage == "code") {
        copy[0x200 + 1] = char(copy[0x200 + 1] ^ 0x40);
    } else if (damage == "signature") {
        const int derEnd = table + int(le32(copy, table));
        copy[derEnd - 10] = char(copy[derEnd - 10] ^ 0x01);
    } else if (damage == "another") {
        const QString other = write(peFileBytes(10));
        copy = fileBytes(signedCopy(other, m_pfx));
    } else if (damage == "appended") {
        copy += QByteArray(16, '\0');
    }
    const std::string found = check(original, write(copy), m_cert.cert.get());
    QVERIFY2(QString::fromStdString(found).contains(problem), found.c_str());
}

// After /as the copy holds one more signature than the file, the new one by
// the chosen certificate with the /fd digest; after a plain sign exactly
// the new one. A copy that osslsigncode left with the old signatures only
// (or with more) must not take the file's place.
void TestPeImage::copyMustHoldExactlyTheExpectedSignatures()
{
    const QString original = write(peFileBytes(11));
    const QString once = signedCopy(original, m_pfx);
    const QString twice = appendedCopy(once, m_otherPfx, "sha384");

    CopyExpectation plain;
    QCOMPARE(QString::fromStdString(check(original, once, m_cert.cert.get(), plain)), QString());
    std::string found = check(original, twice, m_cert.cert.get(), plain);
    QVERIFY2(QString::fromStdString(found).contains("carries 2 signatures where 1 were expected"), found.c_str());

    CopyExpectation appended;
    appended.signatures = 2;
    appended.newIndex = 1;
    appended.fileDigest = "sha384";
    QCOMPARE(QString::fromStdString(check(original, twice, m_other.cert.get(), appended)), QString());
    // Nothing appended: the old signature by the same certificate is no
    // proof of the new one.
    found = check(original, once, m_cert.cert.get(), appended);
    QVERIFY2(QString::fromStdString(found).contains("the new signature was not added"), found.c_str());
    // The appended one is not by the chosen certificate.
    found = check(original, twice, m_cert.cert.get(), appended);
    QVERIFY2(QString::fromStdString(found).contains("no signature with the chosen certificate"), found.c_str());
    appended.fileDigest = "sha512";
    found = check(original, twice, m_other.cert.get(), appended);
    QVERIFY2(QString::fromStdString(found).contains("uses SHA384, not the requested sha512"), found.c_str());

    CopyExpectation stamped;
    stamped.stamp = StampKind::Rfc3161;
    stamped.stampUrl = "http://tsa.invalid/";
    found = check(original, once, m_cert.cert.get(), stamped);
    QVERIFY2(QString::fromStdString(found).contains("carries no time stamp from the time-stamp server http://tsa.invalid/"),
             found.c_str());
}

// A copy compared byte for byte with its file has the file's digest: what
// the digest leaves out (the checksum, the certificate table and its entry)
// may differ, and so may the padding, but only as zeros.
void TestPeImage::comparedContentStandsForTheDigest()
{
    const QString aligned = write(peFileBytes(12));
    const QString unaligned = write(peFileBytes(13) + QByteArray(997, 'x'));
    const QString signedAligned = signedCopy(aligned, m_pfx);
    const QString signedUnaligned = signedCopy(unaligned, m_pfx);
    QVERIFY(sameContent(aligned, signedAligned));
    QVERIFY(sameContent(unaligned, signedUnaligned));
    // Signed again (the signature replaced) and with one appended.
    QVERIFY(sameContent(signedAligned, signedCopy(signedAligned, m_otherPfx)));
    QVERIFY(sameContent(signedAligned, appendedCopy(signedAligned, m_otherPfx)));
    QVERIFY(sameContent(aligned, appendedCopy(signedAligned, m_otherPfx)));

    QVERIFY(!sameContent(aligned, aligned));                // no signature
    QVERIFY(!sameContent(aligned, signedUnaligned));        // another file
    QVERIFY(!sameContent(signedAligned, aligned));          // the other way round

    const QByteArray good = fileBytes(signedUnaligned);
    const int table = int(le32(good, kCertEntry));
    const int end = fileBytes(unaligned).size();
    QVERIFY(table > end);
    auto changed = [&](int at) {
        QByteArray bytes = good;
        bytes[at] = char(bytes[at] ^ 0x01);
        return write(bytes);
    };
    QVERIFY(sameContent(unaligned, changed(kOptionalHeader + 64)));    // the checksum
    QVERIFY(sameContent(unaligned, changed(table + 20)));             // inside the signature
    QVERIFY(!sameContent(unaligned, changed(0x10)));                   // the DOS header
    QVERIFY(!sameContent(unaligned, changed(kCertEntry - 1)));        // just before the entry
    QVERIFY(!sameContent(unaligned, changed(kCertEntry + 8)));        // just after it
    QVERIFY(!sameContent(unaligned, changed(end - 1)));               // the last byte
    QVERIFY(!sameContent(unaligned, changed(end)));                   // the padding
    // The copy cut before the padding and its table: no table at all.
    QVERIFY(!sameContent(unaligned, write(good.left(end))));
}

// Large files are compared on two threads: a difference in either half
// counts, and a file that is shorter than its layout says is no match.
void TestPeImage::comparedContentOfALargeFile()
{
    const QString original = newPath();
    QVERIFY(writeLargePeFile(original, 3, 40));
    const QString copy = signedCopy(original, m_pfx);
    QVERIFY(sameContent(original, copy));
    QCOMPARE(QString::fromStdString(check(original, copy, m_cert.cert.get())), QString());

    const QByteArray good = fileBytes(copy);
    for (const int at : {int(good.size() / 4), int(good.size() / 2) + 4096, int(le32(good, kCertEntry)) - 1}) {
        QByteArray bytes = good;
        bytes[at] = char(bytes[at] ^ 0x80);
        const QString damaged = write(bytes);
        QVERIFY2(!sameContent(original, damaged), qPrintable(QString::number(at)));
        const std::string found = check(original, damaged, m_cert.cert.get());
        QVERIFY2(QString::fromStdString(found).contains("does not match its signature"), found.c_str());
    }
}

void TestPeImage::verifyReportOfOtherFormats_data()
{
    QTest::addColumn<QString>("report");
    QTest::addColumn<QString>("problem");
    // As osslsigncode 2.9 prints it; the serial is filled in.
    const QString good = "Message digest algorithm  : SHA256\n"
                         "Current message digest    : 7BBF92A9DD\n"
                         "Calculated message digest : 7BBF92A9DD\n"
                         "Signer's certificate:\n"
                         "\tSigner #0:\n"
                         "\t\tSubject: /CN=Quillmark Test Code Signing\n"
                         "\t\tSerial : @SERIAL\n"
                         "Signature verification: failed\n";
    QTest::newRow("good, chain not trusted") << good << "";
    QTest::newRow("digest differs") << QString(good).replace("Calculated message digest : 7B", "Calculated message digest : 00")
                                    << "does not match its signature";
    QTest::newRow("nothing read") << "Failed\n" << "cannot be read as a signed file";
    QTest::newRow("other signer") << QString(good).replace("@SERIAL", "0123ABCD") << "no signature with the chosen certificate";
    // An MSI compares its DigitalSignature stream; a catalog compares no
    // digest at all.
    const QString msi = "Signature Index: 0  (Primary Signature)\n"
                        "Message digest algorithm         : SHA256\n"
                        "Current DigitalSignature         : DA3811BAA9\n"
                        "Calculated DigitalSignature      : DA3811BAA9\n"
                        "Calculated message digest        : 6E8D7D552D\n"
                        "Signer's certificate:\n"
                        "\tSigner #0:\n"
                        "\t\tSubject: /CN=Quillmark Test Code Signing\n"
                        "\t\tSerial : @SERIAL\n"
                        "Signature verification: ok\n";
    QTest::newRow("MSI") << msi << "";
    QTest::newRow("MSI, stream changed") << QString(msi).replace("Calculated DigitalSignature      : DA", "Calculated DigitalSignature      : 00")
                                         << "does not match its signature";
    QTest::newRow("catalog") << QString(msi).remove(QRegularExpression("(Current|Calculated)[^\n]*\n")) << "";
    QTest::newRow("two where one is expected") << msi + QString(msi).replace("Index: 0  (Primary Signature)", "Index: 1")
                                               << "carries 2 signatures where 1 were expected";
}

void TestPeImage::verifyReportOfOtherFormats()
{
    QFETCH(QString, report);
    QFETCH(QString, problem);
    BIGNUM *number = ASN1_INTEGER_to_BN(X509_get0_serialNumber(m_cert.cert.get()), nullptr);
    char *hex = BN_bn2hex(number);
    report.replace("@SERIAL", QString::fromLatin1(hex));
    OPENSSL_free(hex);
    BN_free(number);
    const std::string found = checkVerifyReport(report.toStdString(), m_cert.cert.get());
    if (problem.isEmpty())
        QCOMPARE(QString::fromStdString(found), QString());
    else
        QVERIFY2(QString::fromStdString(found).contains(problem), found.c_str());
}

QTEST_GUILESS_MAIN(TestPeImage)
#include "tst_peimage.moc"
