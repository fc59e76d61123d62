// The pieces of signing in steps and of PKCS#7 files, as plain logic: the
// digest /dg hands out is what the key signs (the signature /ds makes from
// it is the one OpenSSL makes over the same signer), base64 both ways, the
// two forms of a .dig file, and the two forms of a PKCS#7 file.

#include "DigestSigning.h"
#include "PeSigner.h"
#include "Pkcs7Files.h"
#include "support/TestData.h"

#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <QTest>

using namespace signtool;
using namespace testdata;

class TestSignToolStepsUnits : public QObject {
    Q_OBJECT

private slots:
    void base64RoundTripsEveryLength();
    void base64RefusesWhatIsNone();
    void digFileFormsGiveTheSameDigest();
    void signedDigestIsTheSignatureOpensslMakes_data();
    void signedDigestIsTheSignatureOpensslMakes();
    void bareSignedDataIsWrapped();
    void fileNameDropsTheFolder();
};

void TestSignToolStepsUnits::base64RoundTripsEveryLength()
{
    for (int size = 0; size < 70; ++size) {
        Bytes bytes(size);
        for (int i = 0; i < size; ++i)
            bytes[i] = static_cast<unsigned char>(i * 37 + 11);
        const std::string text = base64Text(bytes);
        QCOMPARE(QByteArray::fromStdString(text),
                 QByteArray(reinterpret_cast<const char *>(bytes.data()), size).toBase64());
        if (size == 0)
            continue; // an empty .dig holds no digest
        const auto back = fromBase64(text + "\r\n");
        QVERIFY2(back && *back == bytes, qPrintable(QString("length %1").arg(size)));
    }
}

void TestSignToolStepsUnits::base64RefusesWhatIsNone()
{
    QVERIFY(!fromBase64(""));
    QVERIFY(!fromBase64("abc"));          // not a multiple of four
    QVERIFY(!fromBase64("ab!d"));         // not of the alphabet
    QVERIFY(!fromBase64("<xml></xml>"));
    const auto spaced = fromBase64(" QU\nJD ");
    QVERIFY(spaced && *spaced == Bytes({'A', 'B', 'C'}));
}

void TestSignToolStepsUnits::digFileFormsGiveTheSameDigest()
{
    const KeyAndCert pair = makeCertificate();
    QVERIFY(!pair.isNull());
    Bytes digest(32);
    for (size_t i = 0; i < digest.size(); ++i)
        digest[i] = static_cast<unsigned char>(255 - i);
    const std::string xml = digestXml(digest, EVP_sha256(), pair.cert.get());
    QVERIFY(xml.find("<DigestAlgorithm>SHA256</DigestAlgorithm>") != std::string::npos);
    const auto fromXml = digestOfDigFile(xml);
    const auto fromText = digestOfDigFile(base64Text(digest) + "\r\n");
    QVERIFY(fromXml && fromText);
    QVERIFY(*fromXml == digest && *fromText == digest);
    QVERIFY(!digestOfDigFile("<Digest>unterminated"));
}

void TestSignToolStepsUnits::signedDigestIsTheSignatureOpensslMakes_data()
{
    QTest::addColumn<QString>("digest");
    QTest::newRow("sha256") << "sha256";
    QTest::newRow("sha384") << "sha384";
    QTest::newRow("sha1") << "sha1";
}

// RSA PKCS#1 v1.5 is deterministic: the value /ds makes from the .dig of
// /dg must be byte for byte the one PKCS7_SIGNER_INFO_sign makes over the
// same signed attributes, and it must verify as such.
void TestSignToolStepsUnits::signedDigestIsTheSignatureOpensslMakes()
{
    QFETCH(QString, digest);
    const KeyAndCert pair = makeCertificate();
    QVERIFY(!pair.isNull());
    const EVP_MD *md = EVP_get_digestbyname(digest.toLatin1().constData());
    KnownDigest fileDigest;
    fileDigest.mdType = EVP_MD_get_type(md);
    fileDigest.value.assign(EVP_MD_get_size(md), 0x42);
    SigningKey publicOnly;
    publicOnly.cert = pair.cert.get();
    publicOnly.key = X509_get0_pubkey(pair.cert.get());
    PeSignOptions options;
    options.md = md;
    options.description = "Units";
    std::string error;
    sdktool::Pkcs7Ptr unsignedP7 = unsignedAuthenticodeSignature(fileDigest, publicOnly, options, error);
    QVERIFY2(unsignedP7, error.c_str());
    PKCS7_SIGNER_INFO *si = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(unsignedP7.get()), 0);
    QCOMPARE(ASN1_STRING_length(si->enc_digest), 0);
    const auto toSign = signedAttributesDigest(si, md);
    QVERIFY(toSign && static_cast<int>(toSign->size()) == EVP_MD_get_size(md));
    const Bytes value = signDigestValue(pair.key.get(), md, *toSign, error);
    QVERIFY2(!value.empty(), error.c_str());

    // The same signer signed by OpenSSL with the key itself.
    SigningKey withKey = publicOnly;
    withKey.key = pair.key.get();
    sdktool::Pkcs7Ptr signedP7 = unsignedAuthenticodeSignature(fileDigest, withKey, options, error);
    QVERIFY(signedP7);
    PKCS7_SIGNER_INFO *signedSi = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(signedP7.get()), 0);
    QCOMPARE(PKCS7_SIGNER_INFO_sign(signedSi), 1);
    const Bytes expected(ASN1_STRING_get0_data(signedSi->enc_digest),
                         ASN1_STRING_get0_data(signedSi->enc_digest) + ASN1_STRING_length(signedSi->enc_digest));
    QVERIFY2(value == expected, "the signature over the .dig is not the one OpenSSL makes over the attributes");
}

void TestSignToolStepsUnits::bareSignedDataIsWrapped()
{
    const KeyAndCert pair = makeCertificate();
    QVERIFY(!pair.isNull());
    KnownDigest fileDigest{NID_sha256, Bytes(32, 7)};
    SigningKey key;
    key.cert = pair.cert.get();
    key.key = pair.key.get();
    PeSignOptions options;
    options.md = EVP_sha256();
    std::string error;
    const Bytes whole = authenticodeSignature(fileDigest, key, options, error);
    QVERIFY2(!whole.empty(), error.c_str());
    QVERIFY(asContentInfo(whole) == whole);
    // The bare SignedData: the content of the [0] after the type.
    const unsigned char *p = whole.data();
    long length = 0;
    int tag = 0, cls = 0;
    ASN1_get_object(&p, &length, &tag, &cls, static_cast<long>(whole.size()));
    ASN1_get_object(&p, &length, &tag, &cls, static_cast<long>(whole.size()));
    p += length; // the OID
    ASN1_get_object(&p, &length, &tag, &cls, static_cast<long>(whole.size()));
    const Bytes bare(p, p + length);
    const Bytes wrapped = asContentInfo(bare);
    QVERIFY(!wrapped.empty());
    const unsigned char *q = wrapped.data();
    sdktool::Pkcs7Ptr parsed(d2i_PKCS7(nullptr, &q, static_cast<long>(wrapped.size())));
    QVERIFY(parsed && PKCS7_type_is_signed(parsed.get()));
    QVERIFY(asContentInfo(Bytes{0x04, 0x01, 0x00}).empty());
    QVERIFY(asContentInfo(Bytes{0x30, 0x05, 0x00}).empty());
}

void TestSignToolStepsUnits::fileNameDropsTheFolder()
{
    QCOMPARE(QString::fromStdString(fileNameOf("a/b/app.exe")), QStringLiteral("app.exe"));
    QCOMPARE(QString::fromStdString(fileNameOf("app.exe")), QStringLiteral("app.exe"));
    QCOMPARE(QString::fromStdString(fileNameOf("/x/y/")), QStringLiteral("y"));
}

QTEST_GUILESS_MAIN(TestSignToolStepsUnits)
#include "tst_signtool_steps_units.moc"
