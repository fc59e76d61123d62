// signtool.exe remove (/s, /c, /u) and the certificate filters of sign /r
// (the root a certificate chains to) and /c (its certificate template).
// What remove leaves is judged by osslsigncode verify and by reading the
// signature with OpenSSL here, never by the tool's own report.

#include "support/SignToolFixture.h"
#include "support/TestData.h"
#include "support/TsaServer.h"

#include "CertSelect.h"
#include "PeSigner.h"
#include "SignatureEdit.h"
#include "ToolSupport.h"

#include <QFile>
#include <QFileInfo>
#include <QTest>

#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pkcs12.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

using namespace testdata;

namespace {

using Pkcs7Ptr = std::unique_ptr<PKCS7, decltype(&PKCS7_free)>;

// A certificate issued by `issuer` (self-signed when null); a CA when
// `authority`, else one for code signing. `extensions` as (OID or name,
// value in the config syntax) pairs.
KeyAndCert issue(const KeyAndCert *issuer, const QString &name, bool authority,
                 const QList<QPair<QByteArray, QByteArray>> &extensions = {})
{
    const KeyAndCert pair = testdata::unsignedCertificate(issuer, name, -3600, 300L * 86400);
    if (pair.isNull())
        return pair;
    const std::shared_ptr<X509> &cert = pair.cert;
    bool ok = authority ? sdktool::addCertificateExtension(cert.get(), NID_basic_constraints, "critical,CA:TRUE")
                              && sdktool::addCertificateExtension(cert.get(), NID_key_usage,
                                                                  "critical,keyCertSign,cRLSign,digitalSignature")
                        : sdktool::addCertificateExtension(cert.get(), NID_ext_key_usage, "codeSigning");
    for (const auto &extension : extensions) {
        X509V3_CTX context;
        X509V3_set_ctx_nodb(&context);
        X509V3_set_ctx(&context, issuer ? issuer->cert.get() : cert.get(), cert.get(), nullptr, nullptr, 0);
        X509_EXTENSION *made = X509V3_EXT_conf(nullptr, &context, extension.first.constData(),
                                               extension.second.constData());
        ok = ok && made && X509_add_ext(cert.get(), made, -1) == 1;
        X509_EXTENSION_free(made);
    }
    return testdata::signIssued(pair, issuer, ok);
}

// A PKCS#12 file without a password holding `pair` and, as its chain, `chain`.
bool writePkcs12WithChain(const QString &path, const KeyAndCert &pair, const QList<KeyAndCert> &chain)
{
    STACK_OF(X509) *others = sk_X509_new_null();
    for (const KeyAndCert &other : chain)
        sk_X509_push(others, other.cert.get());
    PKCS12 *p12 = PKCS12_create(nullptr, nullptr, pair.key.get(), pair.cert.get(), others, 0, 0, 0, 0, 0);
    sk_X509_free(others);
    if (!p12)
        return false;
    unsigned char *der = nullptr;
    const int length = i2d_PKCS12(p12, &der);
    PKCS12_free(p12);
    const bool written = length > 0 && writeBytes(path, QByteArray(reinterpret_cast<char *>(der), length));
    OPENSSL_free(der);
    return written;
}

// The offset of the PE checksum in the files peFileBytes makes.
int checksumOffset(const QByteArray &file)
{
    return int(le32(file, 0x3C)) + 24 + 64;
}

// The PE checksum as Microsoft's ImageHlp computes it, written into the file.
void setChecksum(QByteArray &file)
{
    const int at = checksumOffset(file);
    quint32 sum = 0;
    for (int i = 0; i < file.size(); i += 2) {
        if (i >= at && i < at + 4)
            continue;
        quint32 word = quint8(file[i]);
        if (i + 1 < file.size())
            word |= quint32(quint8(file[i + 1])) << 8;
        sum += word;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    putLe32(file, at, sum + quint32(file.size()));
}

// The primary signature of a signed PE file, read here with OpenSSL.
Pkcs7Ptr primarySignature(const QByteArray &file)
{
    const int peHeader = int(le32(file, 0x3C));
    const bool pe32plus = quint8(file[peHeader + 24]) == 0x0B && quint8(file[peHeader + 25]) == 0x02;
    const int entry = peHeader + 24 + (pe32plus ? 112 : 96) + 4 * 8;
    const int table = int(le32(file, entry));
    if (table <= 0 || table + 8 >= file.size())
        return Pkcs7Ptr(nullptr, PKCS7_free);
    const unsigned char *p = reinterpret_cast<const unsigned char *>(file.constData()) + table + 8;
    return Pkcs7Ptr(d2i_PKCS7(nullptr, &p, file.size() - table - 8), PKCS7_free);
}

int certificateCount(PKCS7 *p7)
{
    return p7 && PKCS7_type_is_signed(p7) ? sk_X509_num(p7->d.sign->cert) : -1;
}

int unsignedAttributeCount(PKCS7 *p7)
{
    PKCS7_SIGNER_INFO *si = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(p7), 0);
    if (!si)
        return -1;
    const STACK_OF(X509_ATTRIBUTE) *attributes = PKCS7_get_attributes(si);
    return attributes ? sk_X509_ATTRIBUTE_num(attributes) : 0;
}

} // namespace

class TestSignToolRemove : public QObject, private SignToolFixture {
    Q_OBJECT

private:
    KeyAndCert m_ca;
    KeyAndCert m_intermediate;
    KeyAndCert m_leaf;
    QString m_leafPfx;
    QString m_intermediatePem;
    QString m_chainPem; // the root and the intermediate, osslsigncode's -CAfile
    QString m_tsaPem, m_tsaKey;

    // A PE file whose checksum is its own and whose length is a multiple of
    // 8, as linkers write them: removing the signature gives it back whole.
    QString unsignedPeFile(quint32 variant, PeKind kind = PeKind::Pe32)
    {
        QByteArray bytes = peFileBytes(variant, kind);
        bytes.append(QByteArray((8 - bytes.size() % 8) % 8, '\0'));
        setChecksum(bytes);
        const QString path = newFolder() + QStringLiteral("/app.exe");
        return writeBytes(path, bytes) ? path : QString();
    }

    RunResult signLeaf(const QString &file, const QStringList &more = {})
    {
        return signtool(QStringList{"sign", "/fd", "sha256", "/f", m_leafPfx, "/ac", m_intermediatePem} + more
                        + QStringList{file});
    }

    RunResult osslVerify(const QString &file)
    {
        return runProgram(QStringLiteral("osslsigncode"), {"verify", "-ignore-cdp", "-CAfile", m_chainPem,
                                                           "-TSA-CAfile", m_tsaPem, "-in", file});
    }

private slots:
    void initTestCase();
    void removeSignatureGivesTheUnsignedFileBack();
    void removeCertificatesKeepsTheSignerAlone();
    void removeUnauthenticatedDropsStampAndAppendedSignature();
    void removeCertificatesKeepsTheCounterSigner();
    void unsignedAndReadOnlyFilesAreRefused();
    void linksFollowTheSigningRules();
    void otherFormatsThroughOsslsigncode_data();
    void otherFormatsThroughOsslsigncode();
    void cutSignatureKeepsTheRestByteForByte();
    void rootAndTemplateChooseTheCertificate();
    void rootAndTemplateFromTheStore();
};

void TestSignToolRemove::initTestCase()
{
    QVERIFY(m_root.isValid());
    QVERIFY2(QFileInfo(sdkToolPath(QStringLiteral("signtool.exe"))).isExecutable(), "signtool.exe not built");
    m_ca = issue(nullptr, QStringLiteral("Remove Test Root"), true);
    m_intermediate = issue(&m_ca, QStringLiteral("Remove Test Intermediate"), true);
    m_leaf = issue(&m_intermediate, QStringLiteral("Remove Test Leaf"), false);
    QVERIFY(!m_ca.isNull() && !m_intermediate.isNull() && !m_leaf.isNull());
    m_leafPfx = m_root.filePath(QStringLiteral("leaf.pfx"));
    m_intermediatePem = m_root.filePath(QStringLiteral("intermediate.pem"));
    m_chainPem = m_root.filePath(QStringLiteral("chain.pem"));
    QVERIFY(writePkcs12(m_leafPfx, m_leaf));
    QVERIFY(writeCertificatePem(m_intermediatePem, m_intermediate));
    const QString rootPem = m_root.filePath(QStringLiteral("root.pem"));
    QVERIFY(writeCertificatePem(rootPem, m_ca));
    QVERIFY(writeBytes(m_chainPem, fileBytes(rootPem) + fileBytes(m_intermediatePem)));
    CertOptions tsa;
    tsa.commonName = QStringLiteral("Remove Test Time Stamping");
    tsa.usage = Usage::TimeStamping;
    const KeyAndCert tsaPair = makeCertificate(tsa);
    m_tsaPem = m_root.filePath(QStringLiteral("tsa.pem"));
    m_tsaKey = m_root.filePath(QStringLiteral("tsa.key"));
    QVERIFY(writeCertificatePem(m_tsaPem, tsaPair) && writePrivateKeyPem(m_tsaKey, tsaPair));
}

// /s: signed, once or with an appended signature, then removed, the file is
// the unsigned original byte for byte, its mode kept.
void TestSignToolRemove::removeSignatureGivesTheUnsignedFileBack()
{
    for (PeKind kind : {PeKind::Pe32, PeKind::Pe32Plus}) {
        for (bool appended : {false, true}) {
            const QString file = unsignedPeFile(appended ? 3 : 4, kind);
            QVERIFY(!file.isEmpty());
            const QByteArray original = fileBytes(file);
            QVERIFY(QFile::setPermissions(file, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup));
            RunResult run = signLeaf(file);
            QVERIFY2(run.ok(), qPrintable(run.output));
            if (appended) {
                run = signLeaf(file, {"/as", "/fd", "sha384"});
                QVERIFY2(run.ok(), qPrintable(run.output));
            }
            QVERIFY(fileBytes(file) != original);

            run = signtool({"remove", "/s", "/v", file});
            QVERIFY2(run.ok(), qPrintable(run.output));
            QVERIFY2(run.output.contains("Successfully removed the signature: " + file), qPrintable(run.output));
            QVERIFY(run.output.contains(QLatin1String("Number of files successfully Removed: 1")));
            QVERIFY2(fileBytes(file) == original, "the file is not the unsigned original again");
            struct stat st {};
            QCOMPARE(::stat(QFile::encodeName(file).constData(), &st), 0);
            QCOMPARE(st.st_mode & 07777, mode_t(0640));
            QCOMPARE(entries(QFileInfo(file).path()), QStringList{"app.exe"});
            QVERIFY(!osslVerify(file).ok());
        }
    }
}

// /c: the signer's certificate alone stays, in the primary signature and in
// the appended one; both still verify (the chain's other certificates given
// to osslsigncode as its own).
void TestSignToolRemove::removeCertificatesKeepsTheSignerAlone()
{
    const QString file = unsignedPeFile(5);
    RunResult run = signLeaf(file);
    QVERIFY2(run.ok(), qPrintable(run.output));
    run = signLeaf(file, {"/as"});
    QVERIFY2(run.ok(), qPrintable(run.output));
    const Pkcs7Ptr before = primarySignature(fileBytes(file));
    QCOMPARE(certificateCount(before.get()), 2); // the leaf and the /ac intermediate
    const int attributesBefore = unsignedAttributeCount(before.get());

    run = signtool({"remove", "/c", file});
    QVERIFY2(run.ok(), qPrintable(run.output));
    QVERIFY2(run.output.contains("Successfully removed the other certificates: " + file), qPrintable(run.output));
    const Pkcs7Ptr after = primarySignature(fileBytes(file));
    QCOMPARE(certificateCount(after.get()), 1);
    QCOMPARE(X509_cmp(sk_X509_value(after->d.sign->cert, 0), m_leaf.cert.get()), 0);
    QCOMPARE(unsignedAttributeCount(after.get()), attributesBefore); // the appended signature stays
    const RunResult verified = osslVerify(file);
    QVERIFY2(verified.ok(), qPrintable(verified.output));
    QVERIFY2(verified.output.contains(QLatin1String("Signature Index: 1 ")), qPrintable(verified.output));
    // Without the intermediate, which the file no longer carries, the
    // chain cannot be built.
    const QString rootOnly = m_root.filePath(QStringLiteral("root.pem"));
    QVERIFY(!runProgram(QStringLiteral("osslsigncode"), {"verify", "-ignore-cdp", "-CAfile", rootOnly, "-in", file})
                 .ok());
}

// /u: the primary's time stamp and the appended signature go; the primary
// still verifies, with every certificate it had.
void TestSignToolRemove::removeUnauthenticatedDropsStampAndAppendedSignature()
{
    TsaServer server(QStringLiteral("rfc3161"), m_tsaPem, m_tsaKey, QString());
    QVERIFY2(!server.url().isEmpty(), "the time-stamp server did not start");
    const QString file = unsignedPeFile(6, PeKind::Pe32Plus);
    RunResult run = signLeaf(file, {"/tr", server.url(), "/td", "sha256"});
    QVERIFY2(run.ok(), qPrintable(run.output));
    run = signLeaf(file, {"/as", "/fd", "sha512"});
    QVERIFY2(run.ok(), qPrintable(run.output));
    RunResult verified = osslVerify(file);
    QVERIFY2(verified.output.contains(QLatin1String("Signature Index: 1 ")), qPrintable(verified.output));
    QVERIFY2(verified.output.contains(QLatin1String("Timestamp Server Signature verification: ok")),
             qPrintable(verified.output));

    run = signtool({"remove", "/u", "/q", file});
    QVERIFY2(run.ok(), qPrintable(run.output));
    QVERIFY2(run.output.trimmed().isEmpty(), qPrintable(run.output)); // /q: errors only
    const Pkcs7Ptr after = primarySignature(fileBytes(file));
    QCOMPARE(unsignedAttributeCount(after.get()), 0);
    QCOMPARE(certificateCount(after.get()), 2);
    verified = osslVerify(file);
    QVERIFY2(verified.ok(), qPrintable(verified.output));
    QVERIFY2(!verified.output.contains(QLatin1String("Signature Index: 1 ")), qPrintable(verified.output));
    QVERIFY2(!verified.output.contains(QLatin1String("Timestamp Server Signature")), qPrintable(verified.output));

    // /c and /u together, on what is left: the signer alone, nothing unsigned.
    run = signtool({"remove", "/c", "/u", file});
    QVERIFY2(run.ok(), qPrintable(run.output));
    QVERIFY2(run.output.contains("Successfully removed the other certificates and unauthenticated attributes: "
                                 + file),
             qPrintable(run.output));
    QCOMPARE(certificateCount(primarySignature(fileBytes(file)).get()), 1);
    QVERIFY(osslVerify(file).ok());
}

// A legacy (Authenticode) time stamp is a counter-signature whose signer's
// certificate sits beside the file signer's: /c keeps it, so the time
// stamp still verifies; /u then takes the time stamp and it alike.
void TestSignToolRemove::removeCertificatesKeepsTheCounterSigner()
{
    TsaServer server(QStringLiteral("authenticode"), m_tsaPem, m_tsaKey, QString());
    QVERIFY2(!server.url().isEmpty(), "the time-stamp server did not start");
    const QString file = unsignedPeFile(10);
    RunResult run = signLeaf(file, {"/t", server.url()});
    QVERIFY2(run.ok(), qPrintable(run.output));
    QCOMPARE(certificateCount(primarySignature(fileBytes(file)).get()), 3); // leaf, intermediate, time stamper

    run = signtool({"remove", "/c", file});
    QVERIFY2(run.ok(), qPrintable(run.output));
    const Pkcs7Ptr after = primarySignature(fileBytes(file));
    QCOMPARE(certificateCount(after.get()), 2);
    for (int i = 0; i < 2; ++i)
        QVERIFY(X509_cmp(sk_X509_value(after->d.sign->cert, i), m_intermediate.cert.get()) != 0);
    RunResult verified = osslVerify(file);
    QVERIFY2(verified.ok(), qPrintable(verified.output));
    QVERIFY2(verified.output.contains(QLatin1String("Timestamp Server Signature verification: ok")),
             qPrintable(verified.output));

    run = signtool({"remove", "/u", "/c", file});
    QVERIFY2(run.ok(), qPrintable(run.output));
    QCOMPARE(certificateCount(primarySignature(fileBytes(file)).get()), 1);
    verified = osslVerify(file);
    QVERIFY2(verified.ok(), qPrintable(verified.output));
    QVERIFY2(!verified.output.contains(QLatin1String("Timestamp Server Signature")), qPrintable(verified.output));
}

void TestSignToolRemove::unsignedAndReadOnlyFilesAreRefused()
{
    const QString unsigned_ = unsignedPeFile(7);
    const QByteArray original = fileBytes(unsigned_);
    for (const char *what : {"/s", "/c", "/u"}) {
        const RunResult run = signtool({"remove", what, unsigned_});
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.output.contains("SignTool Error: " + unsigned_ + " is not signed; there is no signature to "
                                                                      "remove."),
                 qPrintable(run.output));
        QVERIFY(run.output.contains(QLatin1String("Number of errors: 1")));
        QCOMPARE(fileBytes(unsigned_), original);
    }

    const QString locked = unsignedPeFile(8);
    QVERIFY(signLeaf(locked).ok());
    const QByteArray signedBytes = fileBytes(locked);
    QVERIFY(QFile::setPermissions(locked, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
    RunResult run = signtool({"remove", "/s", locked});
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.output.contains("SignTool Error: Cannot change " + locked + ": the file is read-only."),
             qPrintable(run.output));
    QCOMPARE(fileBytes(locked), signedBytes);
    QCOMPARE(entries(QFileInfo(locked).path()), QStringList{"app.exe"});

    // A section whose data runs on over the certificate table: without the
    // table the file would lose part of its code. The copy is checked and
    // refused before it could take the file's place.
    const QString overlapping = unsignedPeFile(11);
    QVERIFY(signLeaf(overlapping).ok());
    QByteArray bytes = fileBytes(overlapping);
    const int peHeader = int(le32(bytes, 0x3C));
    const int section = peHeader + 24 + (quint8(bytes[peHeader + 20]) | (quint8(bytes[peHeader + 21]) << 8));
    putLe32(bytes, section + 16, quint32(bytes.size() - int(le32(bytes, section + 20))));
    QVERIFY(writeBytes(overlapping, bytes));
    run = signtool({"remove", "/s", overlapping});
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.output.contains("SignTool Error: Removing from " + overlapping
                                 + " failed: the new copy is not a complete program file; the file was left as it "
                                   "was."),
             qPrintable(run.output));
    QCOMPARE(fileBytes(overlapping), bytes);
    QCOMPARE(entries(QFileInfo(overlapping).path()), QStringList{"app.exe"});

    // Neither /s, /c nor /u: nothing is touched.
    QVERIFY(QFile::setPermissions(locked, QFile::ReadOwner | QFile::WriteOwner));
    run = signtool({"remove", "/v", locked});
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.output.contains(QLatin1String("SignTool Error: remove needs /s, /c or /u: what to remove")),
             qPrintable(run.output));
    QCOMPARE(fileBytes(locked), signedBytes);
}

// A link of the user's own is followed and its target changed; one another
// user could have planted is not followed.
void TestSignToolRemove::linksFollowTheSigningRules()
{
    const QString target = unsignedPeFile(9);
    const QByteArray original = fileBytes(target);
    QVERIFY(signLeaf(target).ok());
    const QString dir = QFileInfo(target).path();
    const QString own = dir + "/own.exe";
    QVERIFY(QFile::link(target, own));
    RunResult run = signtool({"remove", "/s", own});
    QVERIFY2(run.ok(), qPrintable(run.output));
    QVERIFY(QFileInfo(own).isSymLink());
    QCOMPARE(fileBytes(target), original);

    if (geteuid() != 0)
        QSKIP("a link of another user needs root to be made");
    QVERIFY(signLeaf(target).ok());
    const QByteArray signedBytes = fileBytes(target);
    const QString planted = dir + "/planted.exe";
    QVERIFY(QFile::link(target, planted));
    QCOMPARE(::lchown(QFile::encodeName(planted).constData(), 65534, 65534), 0);
    run = signtool({"remove", "/s", planted});
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.output.contains("SignTool Error: Cannot change " + planted
                                 + ": the symbolic link planted.exe on its path belongs to another user"),
             qPrintable(run.output));
    QCOMPARE(fileBytes(target), signedBytes);
}

// Other formats: /s through osslsigncode (a script and a cabinet given back
// byte for byte, an installer left without signature); /c and /u refused
// with the reason.
void TestSignToolRemove::otherFormatsThroughOsslsigncode_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("script") << QStringLiteral("setup.ps1");
    QTest::newRow("cabinet") << QStringLiteral("data.cab");
    QTest::newRow("installer") << QStringLiteral("setup.msi");
}

void TestSignToolRemove::otherFormatsThroughOsslsigncode()
{
    QFETCH(QString, name);
    const QString folder = newFolder();
    const QString file = folder + "/" + name;
    if (name.endsWith(".ps1")) {
        QVERIFY(writeBytes(file, "Write-Host \"Quillmark\"\r\n"));
    } else if (name.endsWith(".cab")) {
        QVERIFY(writeBytes(folder + "/readme.txt", "hello\n"));
        const RunResult made = runProgram(QStringLiteral("sh"), {"-c", "cd \"$1\" && gcab -c \"$2\" readme.txt && "
                                                                       "rm readme.txt", "sh", folder, name});
        QVERIFY2(made.ok(), qPrintable("gcab (apt-get install gcab): " + made.output));
    } else {
        QVERIFY(writeBytes(folder + "/readme.txt", "hello\n"));
        QVERIFY(writeBytes(folder + "/p.wxs", R"(<?xml version="1.0"?>
<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">
  <Product Id="*" Name="Remove" Language="1033" Version="1.0.0" Manufacturer="Quillmark"
           UpgradeCode="6c1d1f9e-8f57-4a8e-9b76-0c2f4b7c1a21">
    <Package InstallerVersion="200" Compressed="yes"/>
    <Media Id="1" Cabinet="p.cab" EmbedCab="yes"/>
    <Directory Id="TARGETDIR" Name="SourceDir"><Directory Id="ProgramFilesFolder"><Directory Id="D" Name="Remove">
      <Component Id="C" Guid="6c1d1f9e-8f57-4a8e-9b76-0c2f4b7c1a22"><File Id="F" Source="readme.txt"/></Component>
    </Directory></Directory></Directory>
    <Feature Id="Main" Level="1"><ComponentRef Id="C"/></Feature>
  </Product>
</Wix>
)"));
        const RunResult made = runProgram(QStringLiteral("sh"), {"-c", "cd \"$1\" && wixl -o \"$2\" p.wxs && "
                                                                       "rm p.wxs readme.txt", "sh", folder, name});
        QVERIFY2(made.ok(), qPrintable("wixl (apt-get install wixl): " + made.output));
    }
    const QByteArray original = fileBytes(file);
    RunResult run = signLeaf(file);
    QVERIFY2(run.ok(), qPrintable(run.output));
    const QByteArray signedBytes = fileBytes(file);
    QVERIFY(signedBytes != original);

    for (const char *part : {"/c", "/u"}) {
        run = signtool({"remove", part, file});
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.output.contains("SignTool Error: Cannot change " + file
                                     + ": osslsigncode, which signs this format, can only remove its signature as a "
                                       "whole (/s)"),
                 qPrintable(run.output));
        QCOMPARE(fileBytes(file), signedBytes);
    }

    run = signtool({"remove", "/s", file});
    QVERIFY2(run.ok(), qPrintable(run.output));
    QVERIFY(run.output.contains("Successfully removed the signature: " + file));
    if (!name.endsWith(".msi"))
        QVERIFY2(fileBytes(file) == original, "the file is not the unsigned original again");
    const RunResult verified = runProgram(QStringLiteral("osslsigncode"), {"verify", "-ignore-cdp", "-in", file});
    QVERIFY2(!verified.ok() && verified.output.contains(QLatin1String("no signature"), Qt::CaseInsensitive),
             qPrintable(verified.output));
    QCOMPARE(entries(folder), QStringList{name});

    const QByteArray removed = fileBytes(file);
    run = signtool({"remove", "/s", file});
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.output.contains("SignTool Error: " + file + " is not signed; there is no signature to remove."),
             qPrintable(run.output));
    QCOMPARE(fileBytes(file), removed);
}

// The DER edit alone: what stays keeps its bytes, a signature that would
// lose its signer's certificate or cannot be read is refused.
void TestSignToolRemove::cutSignatureKeepsTheRestByteForByte()
{
    signtool::SigningKey key;
    key.key = m_leaf.key.get();
    key.cert = m_leaf.cert.get();
    key.chain = {m_intermediate.cert.get(), m_ca.cert.get()};
    signtool::PeSignOptions options;
    options.md = EVP_sha256();
    const signtool::KnownDigest digest{NID_sha256, std::vector<unsigned char>(32, 0x5A)};
    std::string error;
    const std::vector<unsigned char> der = signtool::authenticodeSignature(digest, key, options, error);
    QVERIFY2(!der.empty(), error.c_str());

    signtool::SignatureCut nothingUnsigned;
    nothingUnsigned.unauthenticated = true;
    QVERIFY(signtool::cutSignature(der, nothingUnsigned, error) == der); // it has no unsigned attributes

    signtool::SignatureCut certificates;
    certificates.certificates = true;
    const std::vector<unsigned char> cut = signtool::cutSignature(der, certificates, error);
    QVERIFY2(!cut.empty(), error.c_str());
    QCOMPARE(der.size() - cut.size(), size_t(i2d_X509(m_intermediate.cert.get(), nullptr)
                                            + i2d_X509(m_ca.cert.get(), nullptr)));
    const unsigned char *p = cut.data();
    Pkcs7Ptr p7(d2i_PKCS7(nullptr, &p, long(cut.size())), PKCS7_free);
    QVERIFY(p7);
    QCOMPARE(certificateCount(p7.get()), 1);
    // The signer's value and everything it signs are the same bytes.
    PKCS7_SIGNER_INFO *si = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(p7.get()), 0);
    QVERIFY(si);
    QVERIFY(std::search(der.begin(), der.end(), si->enc_digest->data, si->enc_digest->data + si->enc_digest->length)
            != der.end());

    // Without its signer's certificate a signature could not be verified:
    // refused, not written.
    const unsigned char *q = der.data();
    Pkcs7Ptr stripped(d2i_PKCS7(nullptr, &q, long(der.size())), PKCS7_free);
    QVERIFY(stripped);
    X509 *signer = sk_X509_delete(stripped->d.sign->cert, 0);
    QCOMPARE(X509_cmp(signer, m_leaf.cert.get()), 0);
    X509_free(signer);
    unsigned char *encoded = nullptr;
    const int length = i2d_PKCS7(stripped.get(), &encoded);
    QVERIFY(length > 0);
    const std::vector<unsigned char> withoutSigner(encoded, encoded + length);
    OPENSSL_free(encoded);
    error.clear();
    QVERIFY(signtool::cutSignature(withoutSigner, certificates, error).empty());
    QCOMPARE(error, std::string("the signer's certificate is not in it"));

    // Cut short, or not a signature at all.
    for (size_t keep : {size_t(0), size_t(1), der.size() / 2, der.size() - 1}) {
        error.clear();
        const std::vector<unsigned char> part(der.begin(), der.begin() + long(keep));
        QVERIFY(signtool::cutSignature(part, certificates, error).empty());
        QVERIFY(!error.empty());
    }
    std::vector<unsigned char> other = der;
    other[6] ^= 0x01; // in the content type's OID
    error.clear();
    QVERIFY(signtool::cutSignature(other, nothingUnsigned, error).empty());
    QCOMPARE(error, std::string("it is not a PKCS#7 signature"));
}

// The filters themselves: /r by the subject of the root a chain reaches
// (through the other certificates given, letter case ignored), /c by a
// version 1 template's name or a version 2 template's OID.
void TestSignToolRemove::rootAndTemplateChooseTheCertificate()
{
    const KeyAndCert otherRoot = issue(nullptr, QStringLiteral("Other Test Root"), true);
    const KeyAndCert underOther = issue(&otherRoot, QStringLiteral("Signer Under Other"), false,
                                        {{"1.3.6.1.4.1.311.20.2", "ASN1:BMPSTRING:CodeSigningV1"}});
    const KeyAndCert templated = issue(&m_intermediate, QStringLiteral("Signer With Template"), false,
                                       {{"1.3.6.1.4.1.311.21.7", "DER:300C060A2B0601040182370A0301"}});
    QVERIFY(!otherRoot.isNull() && !underOther.isNull() && !templated.isNull());
    const std::vector<X509 *> candidates{m_leaf.cert.get(), underOther.cert.get(), templated.cert.get()};

    signtool::SelectionRule rule;
    rule.autoSelect = true;
    rule.rootSubject = "remove test ROOT";
    rule.chainCertificates = {m_intermediate.cert.get(), m_ca.cert.get(), otherRoot.cert.get()};
    signtool::Selection chosen = signtool::selectCertificate(candidates, rule);
    QCOMPARE(chosen.matching, size_t(2)); // the leaf and the templated one, both under the intermediate
    rule.rootSubject = "Other Test";
    chosen = signtool::selectCertificate(candidates, rule);
    QVERIFY(chosen.index);
    QCOMPARE(*chosen.index, size_t(1));
    // Without the intermediate no chain reaches that root.
    rule.rootSubject = "Remove Test Root";
    rule.chainCertificates = {m_ca.cert.get()};
    chosen = signtool::selectCertificate(candidates, rule);
    QCOMPARE(chosen.problem, signtool::Selection::Problem::NoneMatches);

    signtool::SelectionRule byTemplate;
    byTemplate.templateName = "codesigningv1";
    chosen = signtool::selectCertificate(candidates, byTemplate);
    QVERIFY(chosen.index);
    QCOMPARE(*chosen.index, size_t(1));
    byTemplate.templateName = "1.3.6.1.4.1.311.10.3.1";
    chosen = signtool::selectCertificate(candidates, byTemplate);
    QVERIFY(chosen.index);
    QCOMPARE(*chosen.index, size_t(2));
    byTemplate.templateName = "CodeSigning"; // a part of a name is no template
    QCOMPARE(signtool::selectCertificate(candidates, byTemplate).problem,
             signtool::Selection::Problem::NoneMatches);
    // A version 2 template by its name, where the OID has one here (as
    // OpenSSL's configuration registers them).
    QVERIFY(OBJ_create("1.3.6.1.4.1.311.21.8.4242.1", "QuillmarkTemplate", "Quillmark Code Signing Template")
            != NID_undef);
    const KeyAndCert named = issue(&m_ca, QStringLiteral("Signer Named Template"), false,
                                   {{"1.3.6.1.4.1.311.21.7", "DER:300E060C2B0601040182371508A11201"}});
    QVERIFY(!named.isNull());
    byTemplate.templateName = "quillmark code signing TEMPLATE";
    chosen = signtool::selectCertificate({m_leaf.cert.get(), named.cert.get()}, byTemplate);
    QVERIFY(chosen.index);
    QCOMPARE(*chosen.index, size_t(1));
}

// Through the tool: the store's certificates carry their chains.
void TestSignToolRemove::rootAndTemplateFromTheStore()
{
    const KeyAndCert otherRoot = issue(nullptr, QStringLiteral("Other Store Root"), true);
    const KeyAndCert underOther = issue(&otherRoot, QStringLiteral("Store Signer Other"), false,
                                        {{"1.3.6.1.4.1.311.20.2", "ASN1:BMPSTRING:QuillmarkSigning"}});
    const QString store = newFolder();
    QVERIFY(writePkcs12WithChain(store + "/a.pfx", m_leaf, {m_intermediate, m_ca}));
    QVERIFY(writePkcs12WithChain(store + "/b.pfx", underOther, {otherRoot}));
    const QString file = newFolder() + "/app.exe";
    QVERIFY(writePeFile(file));

    RunResult run = signtool({"sign", "/fd", "sha256", "/r", "other STORE root", "/v", file},
                             storeEnvironment(store));
    QVERIFY2(run.ok(), qPrintable(run.output));
    QVERIFY2(run.output.contains(QLatin1String("Issued to: CN=Store Signer Other")), qPrintable(run.output));
    run = signtool({"sign", "/fd", "sha256", "/r", "Remove Test Root", "/v", file}, storeEnvironment(store));
    QVERIFY2(run.ok(), qPrintable(run.output));
    QVERIFY2(run.output.contains(QLatin1String("Issued to: CN=Remove Test Leaf")), qPrintable(run.output));
    run = signtool({"sign", "/fd", "sha256", "/c", "QUILLMARKSIGNING", "/v", file}, storeEnvironment(store));
    QVERIFY2(run.ok(), qPrintable(run.output));
    QVERIFY2(run.output.contains(QLatin1String("Issued to: CN=Store Signer Other")), qPrintable(run.output));

    const QByteArray before = fileBytes(file);
    run = signtool({"sign", "/fd", "sha256", "/r", "Nowhere Root", "/c", "QuillmarkSigning", file},
                   storeEnvironment(store));
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.output.contains(QLatin1String("SignTool Error: No certificates were found that met all the given "
                                               "criteria"))
                 && run.output.contains(QLatin1String("a root whose subject contains \"Nowhere Root\""))
                 && run.output.contains(QLatin1String("the certificate template \"QuillmarkSigning\"")),
             qPrintable(run.output));
    QCOMPARE(fileBytes(file), before);
}

QTEST_GUILESS_MAIN(TestSignToolRemove)
#include "tst_signtool_remove.moc"
