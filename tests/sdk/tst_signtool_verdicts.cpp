// signtool.exe's verdicts against an independent verifier: a corpus of
// files made here (every format, and PE files damaged in each part of their
// signature, expired, untrusted, of the wrong purpose, with a bad primary
// and a good appended signature, ...) where "verify /pa" must agree with
// "osslsigncode verify", or the case says why the tool is right; time-stamp
// servers that lie, whose replies must never reach a file; and /as.
//
// Trust: a test root in the store folder (a PKCS#12 file with its key)
// issues the signers and the time-stamp server's certificate;
// osslsigncode gets the same root as its -CAfile.

#include "support/SignToolFixture.h"
#include "support/TestData.h"
#include "support/TsaServer.h"

#include "ToolSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <QTest>
#include <QThread>

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <openssl/rand.h>
#include <openssl/x509.h>

#include <ctime>
#include <memory>

using namespace testdata;

namespace {

enum class Purpose {
    CodeSigning,
    ServerAuth,
    TimeStamping,
    Authority,
    ServerAuthAuthority,   // a CA whose extended key usage allows serverAuth only
    CodeSigningNoSignature // codeSigning, but a key usage without digitalSignature
};

// A certificate issued by `issuer` (self-signed when it is null), valid
// from `from` seconds from now (an hour ago unless given) until `seconds`
// seconds from now.
// `extensions`: more of them, as (NID, value) pairs ("URI:http://...").
KeyAndCert issue(const KeyAndCert *issuer, const QString &name, Purpose purpose, long seconds, long from = -3600,
                 const QList<QPair<int, QString>> &extensions = {})
{
    const KeyAndCert pair = testdata::unsignedCertificate(issuer, name, from, seconds);
    if (pair.isNull())
        return pair;
    const std::shared_ptr<X509> &cert = pair.cert;
    bool ok = true;
    switch (purpose) {
    case Purpose::Authority:
        ok = sdktool::addCertificateExtension(cert.get(), NID_basic_constraints, "critical,CA:TRUE")
             && sdktool::addCertificateExtension(cert.get(), NID_key_usage,
                                                 "critical,keyCertSign,cRLSign,digitalSignature");
        break;
    case Purpose::ServerAuthAuthority:
        ok = sdktool::addCertificateExtension(cert.get(), NID_basic_constraints, "critical,CA:TRUE")
             && sdktool::addCertificateExtension(cert.get(), NID_key_usage, "critical,keyCertSign,cRLSign")
             && sdktool::addCertificateExtension(cert.get(), NID_ext_key_usage, "serverAuth");
        break;
    case Purpose::CodeSigning:
        ok = sdktool::addCertificateExtension(cert.get(), NID_ext_key_usage, "codeSigning");
        break;
    case Purpose::CodeSigningNoSignature:
        ok = sdktool::addCertificateExtension(cert.get(), NID_ext_key_usage, "codeSigning")
             && sdktool::addCertificateExtension(cert.get(), NID_key_usage, "critical,keyEncipherment");
        break;
    case Purpose::ServerAuth:
        ok = sdktool::addCertificateExtension(cert.get(), NID_ext_key_usage, "serverAuth");
        break;
    case Purpose::TimeStamping:
        ok = sdktool::addCertificateExtension(cert.get(), NID_ext_key_usage, "critical,timeStamping");
        break;
    }
    for (const auto &extension : extensions)
        ok = ok && sdktool::addCertificateExtension(cert.get(), extension.first, extension.second.toUtf8().constData());
    return testdata::signIssued(pair, issuer, ok);
}

QByteArray der(X509 *cert)
{
    unsigned char *bytes = nullptr;
    const int length = i2d_X509(cert, &bytes);
    QByteArray out(reinterpret_cast<const char *>(bytes), length > 0 ? length : 0);
    OPENSSL_free(bytes);
    return out;
}

// The primary signature of a signed PE file.
PKCS7 *primarySignature(const QByteArray &file)
{
    const int peHeader = int(le32(file, 0x3C));
    const bool pe32plus = quint8(file[peHeader + 24]) == 0x0B && quint8(file[peHeader + 25]) == 0x02;
    const int entry = peHeader + 24 + (pe32plus ? 112 : 96) + 4 * 8;
    const int table = int(le32(file, entry));
    const unsigned char *p = reinterpret_cast<const unsigned char *>(file.constData()) + table + 8;
    return d2i_PKCS7(nullptr, &p, file.size() - table - 8);
}

void flipByteAt(QByteArray &bytes, int at)
{
    bytes[at] = char(bytes[at] ^ 0x21);
}

// A signed PE file whose primary signature carries `copies` copies of itself
// as appended signatures (all in one nested-signature attribute, as
// osslsigncode -nest writes them): each copy is a valid signature of the
// file. Empty when the file cannot be rewritten so.
QByteArray withNestedCopies(const QByteArray &file, int copies)
{
    std::unique_ptr<PKCS7, decltype(&PKCS7_free)> p7(primarySignature(file), PKCS7_free);
    if (!p7)
        return {};
    unsigned char *own = nullptr;
    const int ownLength = i2d_PKCS7(p7.get(), &own);
    PKCS7_SIGNER_INFO *si = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(p7.get()), 0);
    ASN1_OBJECT *nestedOid = OBJ_txt2obj("1.3.6.1.4.1.311.2.4.1", 1);
    X509_ATTRIBUTE *attribute = ownLength > 0 && si && nestedOid
        ? X509_ATTRIBUTE_create_by_OBJ(nullptr, nestedOid, V_ASN1_SEQUENCE, own, ownLength)
        : nullptr;
    bool ok = attribute != nullptr;
    for (int i = 1; ok && i < copies; ++i)
        ok = X509_ATTRIBUTE_set1_data(attribute, V_ASN1_SEQUENCE, own, ownLength) == 1;
    OPENSSL_free(own);
    ASN1_OBJECT_free(nestedOid);
    if (ok && !si->unauth_attr)
        si->unauth_attr = sk_X509_ATTRIBUTE_new_null();
    if (!ok || !si->unauth_attr || sk_X509_ATTRIBUTE_push(si->unauth_attr, attribute) <= 0) {
        X509_ATTRIBUTE_free(attribute);
        return {};
    }
    unsigned char *bytes = nullptr;
    const int length = i2d_PKCS7(p7.get(), &bytes);
    if (length <= 0)
        return {};
    QByteArray entry(8, '\0');
    entry.append(reinterpret_cast<const char *>(bytes), length);
    OPENSSL_free(bytes);
    entry.append(QByteArray((8 - entry.size() % 8) % 8, '\0'));
    putLe32(entry, 0, quint32(entry.size()));
    putLe16(entry, 4, 0x0200); // revision 2
    putLe16(entry, 6, 0x0002); // PKCS#7 signed data
    const int peHeader = int(le32(file, 0x3C));
    const bool pe32plus = quint8(file[peHeader + 24]) == 0x0B && quint8(file[peHeader + 25]) == 0x02;
    const int directory = peHeader + 24 + (pe32plus ? 112 : 96) + 4 * 8;
    QByteArray result = file.left(int(le32(file, directory))) + entry;
    putLe32(result, directory + 4, quint32(entry.size()));
    return result;
}

// The number of signatures osslsigncode finds in a file.
int signatureCount(const RunResult &verify)
{
    return int(verify.output.count(QLatin1String("Signature Index: ")));
}

} // namespace

class TestSignToolVerdicts : public QObject, private SignToolFixture {
    Q_OBJECT

private:
    KeyAndCert m_ca, m_signer, m_tls, m_stranger;
    QString m_store, m_rootPem, m_signerPfx, m_tlsPfx, m_strangerPfx, m_tsaPem, m_tsaKey;
    const QString m_password = QStringLiteral("verdict pw");
    int m_files = 0;

    QProcessEnvironment environment() const
    {
        QProcessEnvironment env = storeEnvironment(m_store);
        env.insert(QStringLiteral("QUILLMARK_PKCS11_MODULE"), QStringLiteral("/nonexistent"));
        return env;
    }

    QString peFile(const QString &folder = {})
    {
        const QString file = (folder.isEmpty() ? newFolder() : folder) + QStringLiteral("/app%1.exe").arg(++m_files);
        if (!writePeFile(file, quint32(m_files)))
            qFatal("cannot write a PE file");
        return file;
    }

    // osslsigncode itself signs the corpus, so that the files do not depend
    // on the tool under test.
    bool osslSign(const QString &file, const QString &pfx, const QStringList &extra = {})
    {
        const QString out = file + QStringLiteral(".signed");
        const RunResult run = runProgram(QStringLiteral("osslsigncode"),
                                         QStringList{"sign", "-pkcs12", pfx, "-pass", m_password, "-h", "sha256"}
                                             + extra + QStringList{"-in", file, "-out", out});
        if (!run.ok()) {
            qWarning("osslsigncode sign: %s", qPrintable(run.output));
            return false;
        }
        return QFile::remove(file) && QFile::rename(out, file);
    }

    bool osslStamp(const QString &file, const QString &url)
    {
        const QString out = file + QStringLiteral(".stamped");
        const RunResult run = runProgram(QStringLiteral("osslsigncode"),
                                         {"add", "-ts", url, "-h", "sha256", "-in", file, "-out", out});
        return QFileInfo::exists(out) && QFile::remove(file) && QFile::rename(out, file) && run.started;
    }

    RunResult osslVerify(const QString &file)
    {
        return runProgram(QStringLiteral("osslsigncode"),
                          {"verify", "-ignore-cdp", "-CAfile", m_rootPem, "-TSA-CAfile", m_rootPem, "-in", file});
    }

    RunResult verify(const QStringList &options, const QStringList &files)
    {
        return signtool(QStringList{"verify", "/pa"} + options + files, environment());
    }

private slots:
    void initTestCase();
    void corpusAgreesWithOsslsigncode_data();
    void corpusAgreesWithOsslsigncode();
    void expiredSignerCountsOnlyWithTimeStamp();
    void primaryDecidesAndAllChecksEvery();
    void stampOfAnUntrustedServerIsRefused();
    void verboseListsEverySignature();
    void everyFormatSignsAndVerifies_data();
    void everyFormatSignsAndVerifies();
    void lyingTimeStampServerNeverReachesTheFile_data();
    void lyingTimeStampServerNeverReachesTheFile();
    void appendSignature();
    void timeStampDigestNeedsRfc3161Server();
    void wildcardsAreExpandedInOrder();
    void timestampVerbStampsSignedFiles();
    void intermediatePageHashesAndSha1();
    void nestedSignaturesShareTheFileDigest();
    void signaturesPastTheBoundAreRefused();
    void certificateTableHidesNothing_data();
    void certificateTableHidesNothing();
    void signerJudgedAtTheStampsTime();
    void everyCertificateOfThePathAllowsCodeSigning();
    void messagesAreTheToolsOwn();
    void revokedCertificatesFail();
    void revocationAfterTheStampAndUnreachableServers();
    void documentedSwitchesOfVerifyAndSign();
};

void TestSignToolVerdicts::initTestCase()
{
    QVERIFY(m_root.isValid());
    QVERIFY2(QFileInfo(sdkToolPath(QStringLiteral("signtool.exe"))).isExecutable(), "signtool.exe not built");
    m_ca = issue(nullptr, QStringLiteral("Quillmark Verdict Root"), Purpose::Authority, 3650L * 86400);
    m_signer = issue(&m_ca, QStringLiteral("Verdict Signer"), Purpose::CodeSigning, 365L * 86400);
    m_tls = issue(&m_ca, QStringLiteral("TLS Only"), Purpose::ServerAuth, 365L * 86400);
    m_stranger = issue(nullptr, QStringLiteral("Stranger"), Purpose::CodeSigning, 365L * 86400);
    const KeyAndCert tsa = issue(&m_ca, QStringLiteral("Verdict Time Stamps"), Purpose::TimeStamping, 365L * 86400);
    QVERIFY(!m_ca.isNull() && !m_signer.isNull() && !m_tls.isNull() && !m_stranger.isNull() && !tsa.isNull());

    m_store = newFolder();
    QVERIFY(writePkcs12(m_store + QStringLiteral("/root.pfx"), m_ca));
    const QString keys = newFolder();
    m_rootPem = keys + QStringLiteral("/root.pem");
    m_signerPfx = keys + QStringLiteral("/signer.pfx");
    m_tlsPfx = keys + QStringLiteral("/tls.pfx");
    m_strangerPfx = keys + QStringLiteral("/stranger.pfx");
    m_tsaPem = keys + QStringLiteral("/tsa.pem");
    m_tsaKey = keys + QStringLiteral("/tsa.key");
    QVERIFY(writeCertificatePem(m_rootPem, m_ca));
    QVERIFY(writePkcs12(m_signerPfx, m_signer, m_password));
    QVERIFY(writePkcs12(m_tlsPfx, m_tls, m_password));
    QVERIFY(writePkcs12(m_strangerPfx, m_stranger, m_password));
    QVERIFY(writeCertificatePem(m_tsaPem, tsa));
    QVERIFY(writePrivateKeyPem(m_tsaKey, tsa));
}

// Each row: how the file is made, the tool's verdict (empty: verified, else
// a part of the reason) and osslsigncode's exit code where it disagrees
// (with the reason in the row's comment).
void TestSignToolVerdicts::corpusAgreesWithOsslsigncode_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<bool>("osslAgrees");
    QTest::newRow("good") << "good" << "" << true;
    QTest::newRow("byte changed in code") << "code" << "its digest does not match the file" << true;
    QTest::newRow("byte changed in signature value") << "signature" << "its signature is invalid" << true;
    QTest::newRow("byte changed in certificate") << "certificate" << "certificate signature failure" << true;
    QTest::newRow("byte changed in embedded digest") << "embedded" << "its signature is invalid" << true;
    QTest::newRow("untrusted") << "untrusted" << "does not chain to a trusted root" << true;
    QTest::newRow("wrong purpose") << "purpose" << "not meant for code signing (wrong purpose)" << true;
    QTest::newRow("unsigned") << "unsigned" << "it carries no signature" << true;
    QTest::newRow("cut") << "cut" << "its signature is damaged" << true;
    // osslsigncode reports the failed primary signature and exits 0 since
    // the appended one verifies; Windows judges by the primary
    // (TRUST_E_BAD_DIGEST), and so does the tool.
    QTest::newRow("bad primary, good appended") << "badPrimary" << "its primary signature: its digest does not match"
                                                << false;
    // osslsigncode prints "Timestamp Server Signature verification: failed"
    // and exits 0; a time stamp that does not verify vouches for nothing and
    // marks a file someone tampered with, so the tool refuses it.
    QTest::newRow("time stamp with a wrong imprint") << "badStamp" << "its time stamp cannot be verified" << false;
    QTest::newRow("good, time-stamped") << "stamped" << "" << true;
}

void TestSignToolVerdicts::corpusAgreesWithOsslsigncode()
{
    QFETCH(QString, kind);
    QFETCH(QString, reason);
    QFETCH(bool, osslAgrees);
    const QString file = peFile();
    if (kind != "unsigned") {
        const QString pfx = kind == "untrusted" ? m_strangerPfx : kind == "purpose" ? m_tlsPfx : m_signerPfx;
        QVERIFY(osslSign(file, pfx));
    }
    QByteArray bytes = fileBytes(file);
    std::unique_ptr<PKCS7, decltype(&PKCS7_free)> p7(kind == "unsigned" ? nullptr : primarySignature(bytes),
                                                     PKCS7_free);
    if (kind == "code") {
        flipByteAt(bytes, 600);
    } else if (kind == "signature") {
        PKCS7_SIGNER_INFO *si = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(p7.get()), 0);
        const QByteArray value(reinterpret_cast<const char *>(si->enc_digest->data), si->enc_digest->length);
        const int at = int(bytes.indexOf(value));
        QVERIFY(at > 0);
        flipByteAt(bytes, at + value.size() / 2);
    } else if (kind == "certificate") {
        const QByteArray cert = der(m_signer.cert.get());
        const int at = int(bytes.indexOf(cert));
        QVERIFY(at > 0);
        flipByteAt(bytes, at + cert.size() - 20); // in the issuer's signature over it
    } else if (kind == "embedded") {
        const RunResult report = osslVerify(file);
        const QRegularExpression digestLine(QStringLiteral("Current message digest\\s*:\\s*([0-9A-F]+)"));
        const QByteArray digest = QByteArray::fromHex(digestLine.match(report.output).captured(1).toLatin1());
        QCOMPARE(digest.size(), 32);
        const int at = int(bytes.indexOf(digest));
        QVERIFY(at > 0);
        flipByteAt(bytes, at + 5);
    } else if (kind == "cut") {
        bytes.chop(200);
    }
    QVERIFY(writeBytes(file, bytes));
    if (kind == "badPrimary") {
        QVERIFY(writeBytes(file, [&] { QByteArray b = bytes; flipByteAt(b, 600); return b; }()));
        QVERIFY(osslSign(file, m_signerPfx, {"-nest"}));
    } else if (kind == "badStamp" || kind == "stamped") {
        TsaServer server(kind == "stamped" ? QStringLiteral("rfc3161") : QStringLiteral("wrong-imprint"), m_tsaPem,
                         m_tsaKey, QString());
        QVERIFY(!server.url().isEmpty());
        QVERIFY(osslStamp(file, server.url()));
    }

    const RunResult tool = verify({}, {file});
    const RunResult ossl = osslVerify(file);
    const QString both = tool.output + "\n--- osslsigncode:\n" + ossl.output;
    if (reason.isEmpty()) {
        QVERIFY2(tool.ok(), qPrintable(both));
        QVERIFY(tool.output.contains(QStringLiteral("Successfully verified: ") + file));
    } else {
        QCOMPARE(tool.exitCode, 1);
        QVERIFY2(tool.output.contains(QStringLiteral("SignTool Error: ") + file + " is not validly signed: "),
                 qPrintable(both));
        QVERIFY2(tool.output.contains(reason), qPrintable(both));
    }
    QVERIFY2(ossl.started && !ossl.timedOut, qPrintable(ossl.output));
    QCOMPARE((ossl.exitCode == 0) == tool.ok(), osslAgrees);
}

// A signer that has expired since: the signature still counts when a
// time stamp from before the expiry vouches for it, never without one.
void TestSignToolVerdicts::expiredSignerCountsOnlyWithTimeStamp()
{
    const KeyAndCert brief = issue(&m_ca, QStringLiteral("Brief Signer"), Purpose::CodeSigning, 6);
    const QString pfx = newFolder() + QStringLiteral("/brief.pfx");
    QVERIFY(writePkcs12(pfx, brief, m_password));
    const QString folder = newFolder();
    const QString stamped = peFile(folder), bare = peFile(folder);
    TsaServer server(QStringLiteral("rfc3161"), m_tsaPem, m_tsaKey, QString());
    QVERIFY(!server.url().isEmpty());
    QVERIFY(osslSign(stamped, pfx, {"-ts", server.url()}));
    QVERIFY(osslSign(bare, pfx));
    const QDateTime expiry = QDateTime::currentDateTimeUtc().addSecs(8);
    while (QDateTime::currentDateTimeUtc() < expiry)
        QThread::msleep(250);

    const RunResult run = verify({}, {stamped, bare});
    QVERIFY2(run.output.contains(QStringLiteral("Successfully verified: ") + stamped), qPrintable(run.output));
    QVERIFY2(run.output.contains(bare + " is not validly signed: its certificate has expired and the signature is "
                                        "not time-stamped"),
             qPrintable(run.output));
    QVERIFY(osslVerify(stamped).ok());
    QVERIFY(!osslVerify(bare).ok());
}

// A time stamp vouches for the signing time only when its server chains to
// a trusted root: a token from a server of an unknown root is refused, even
// though the token itself is whole and answers the signature.
void TestSignToolVerdicts::stampOfAnUntrustedServerIsRefused()
{
    const KeyAndCert unknownRoot = issue(nullptr, QStringLiteral("Unknown Stamp Root"), Purpose::Authority, 3650L * 86400);
    const KeyAndCert tsa = issue(&unknownRoot, QStringLiteral("Unknown Time Stamps"), Purpose::TimeStamping, 365L * 86400);
    QVERIFY(!unknownRoot.isNull() && !tsa.isNull());
    const QString keys = newFolder();
    QVERIFY(writeCertificatePem(keys + "/tsa.pem", tsa) && writePrivateKeyPem(keys + "/tsa.key", tsa));
    TsaServer untrusted(QStringLiteral("rfc3161"), keys + "/tsa.pem", keys + "/tsa.key", QString());
    TsaServer trusted(QStringLiteral("rfc3161"), m_tsaPem, m_tsaKey, QString());
    QVERIFY(!untrusted.url().isEmpty() && !trusted.url().isEmpty());
    const QString folder = newFolder();
    const QString strange = peFile(folder), known = peFile(folder);
    QVERIFY(osslSign(strange, m_signerPfx, {"-ts", untrusted.url()}));
    QVERIFY(osslSign(known, m_signerPfx, {"-ts", trusted.url()}));

    const RunResult run = verify({}, {strange, known});
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.output.contains(strange + " is not validly signed: its time stamp cannot be verified ("),
             qPrintable(run.output));
    QVERIFY2(run.output.contains(QStringLiteral("Successfully verified: ") + known), qPrintable(run.output));
}

// The primary signature decides; /all wants every signature to pass.
void TestSignToolVerdicts::primaryDecidesAndAllChecksEvery()
{
    const QString goodThenStranger = peFile(), strangerThenGood = peFile();
    QVERIFY(osslSign(goodThenStranger, m_signerPfx));
    QVERIFY(osslSign(goodThenStranger, m_strangerPfx, {"-nest"}));
    QVERIFY(osslSign(strangerThenGood, m_strangerPfx));
    QVERIFY(osslSign(strangerThenGood, m_signerPfx, {"-nest"}));

    RunResult run = verify({}, {goodThenStranger, strangerThenGood});
    QVERIFY2(run.output.contains(QStringLiteral("Successfully verified: ") + goodThenStranger), qPrintable(run.output));
    QVERIFY2(run.output.contains(strangerThenGood + " is not validly signed: its primary signature: its certificate "
                                                    "does not chain"),
             qPrintable(run.output));
    QCOMPARE(run.exitCode, 1);

    run = verify({"/all"}, {goodThenStranger});
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.output.contains(goodThenStranger + " is not validly signed: its signature 2 (appended): its "
                                                    "certificate does not chain"),
             qPrintable(run.output));
}

void TestSignToolVerdicts::verboseListsEverySignature()
{
    const QString file = peFile();
    TsaServer server(QStringLiteral("both"), m_tsaPem, m_tsaKey, QString());
    QVERIFY(!server.url().isEmpty());
    QVERIFY(osslSign(file, m_signerPfx, {"-ts", server.url()}));
    QVERIFY(osslSign(file, m_signerPfx, {"-nest", "-h", "sha512", "-t", server.url()}));
    const RunResult run = verify({"/v", "/tw"}, {file});
    QVERIFY2(run.ok(), qPrintable(run.output));
    const QString text = run.output;
    const int first = int(text.indexOf(QLatin1String("Signature 1 (primary):")));
    const int second = int(text.indexOf(QLatin1String("Signature 2 (appended):")));
    QVERIFY2(first >= 0 && second > first, qPrintable(text));
    const QString one = text.mid(first, second - first), two = text.mid(second);
    QVERIFY2(one.contains(QLatin1String("Signed by: /CN=Verdict Signer")), qPrintable(text));
    QVERIFY(one.contains(QLatin1String("Digest algorithm: SHA256")));
    QVERIFY(one.contains(QLatin1String("Time stamp: RFC 3161, ")));
    QVERIFY(two.contains(QLatin1String("Digest algorithm: SHA512")));
    QVERIFY2(two.contains(QLatin1String("Time stamp: Authenticode, ")), qPrintable(text));
    QVERIFY(!text.contains(QLatin1String("is not time-stamped")));
    QVERIFY(text.contains(QLatin1String("Number of warnings: 0")));

    const QString bare = peFile();
    QVERIFY(osslSign(bare, m_signerPfx));
    const RunResult warned = verify({"/tw"}, {bare});
    QVERIFY2(warned.ok(), qPrintable(warned.output));
    QVERIFY(warned.output.contains(QStringLiteral("SignTool Warning: ") + bare + " is not time-stamped."));
}

void TestSignToolVerdicts::everyFormatSignsAndVerifies_data()
{
    QTest::addColumn<QString>("name");
    for (const char *name : {"setup.msi", "data.cab", "drivers.cat", "package.appx", "script.ps1", "module.psm1",
                             "manifest.psd1", "console.psc1", "types.ps1xml", "cmdlets.cdxml", "schema.mof"})
        QTest::newRow(name) << QString::fromLatin1(name);
}

void TestSignToolVerdicts::everyFormatSignsAndVerifies()
{
    QFETCH(QString, name);
    const QString folder = newFolder();
    const QString file = folder + "/" + name;
    const QString suffix = QFileInfo(name).suffix();
    if (suffix == "msi") {
        QVERIFY(writeBytes(folder + "/readme.txt", "hello\n"));
        QVERIFY(writeBytes(folder + "/p.wxs", R"(<?xml version="1.0"?>
<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">
  <Product Id="*" Name="Verdict" Language="1033" Version="1.0.0" Manufacturer="Quillmark"
           UpgradeCode="6c1d1f9e-8f57-4a8e-9b76-0c2f4b7c1a11">
    <Package InstallerVersion="200" Compressed="yes"/>
    <Media Id="1" Cabinet="p.cab" EmbedCab="yes"/>
    <Directory Id="TARGETDIR" Name="SourceDir"><Directory Id="ProgramFilesFolder"><Directory Id="D" Name="Verdict">
      <Component Id="C" Guid="6c1d1f9e-8f57-4a8e-9b76-0c2f4b7c1a12"><File Id="F" Source="readme.txt"/></Component>
    </Directory></Directory></Directory>
    <Feature Id="Main" Level="1"><ComponentRef Id="C"/></Feature>
  </Product>
</Wix>
)"));
        const RunResult made = runProgram(QStringLiteral("sh"), {"-c", "cd \"$1\" && wixl -o \"$2\" p.wxs", "sh",
                                                                 folder, name});
        QVERIFY2(made.ok(), qPrintable("wixl (apt-get install wixl): " + made.output));
    } else if (suffix == "cab") {
        QVERIFY(writeBytes(folder + "/readme.txt", "hello\n"));
        const RunResult made = runProgram(QStringLiteral("sh"), {"-c", "cd \"$1\" && gcab -c \"$2\" readme.txt", "sh",
                                                                 folder, name});
        QVERIFY2(made.ok(), qPrintable("gcab (apt-get install gcab): " + made.output));
    } else if (suffix == "cat") {
        // An empty catalog as makecat writes one: a PKCS#7 SignedData without
        // signers around a certificate trust list.
        QVERIFY(writeBytes(file, QByteArray::fromHex(
                                     "306606092a864886f70d010702a05930570201013100304e06092b0601040182370a01a04130"
                                     "3f300c060a2b0601040182370c0101041000112233445566778899aabbccddeeff170d"
                                     "3236303130313030303030305a300e060a2b0601040182370c010205003100")));
    } else if (suffix == "appx") {
        QVERIFY(QDir(folder).mkpath("pkg"));
        QVERIFY(writeBytes(folder + "/pkg/AppxManifest.xml",
                           "<?xml version=\"1.0\" encoding=\"UTF-8\"?><Package "
                           "xmlns=\"http://schemas.microsoft.com/appx/manifest/foundation/windows10\"/>"));
        QVERIFY(writeBytes(folder + "/pkg/AppxBlockMap.xml",
                           "<?xml version=\"1.0\" encoding=\"UTF-8\"?><BlockMap "
                           "xmlns=\"http://schemas.microsoft.com/appx/2010/blockmap\" "
                           "HashMethod=\"http://www.w3.org/2001/04/xmlenc#sha256\"></BlockMap>"));
        QVERIFY(writeBytes(folder + "/pkg/[Content_Types].xml",
                           "<?xml version=\"1.0\" encoding=\"UTF-8\"?><Types "
                           "xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\"><Default "
                           "Extension=\"xml\" ContentType=\"application/vnd.ms-appx.manifest+xml\"/></Types>"));
        const RunResult made = runProgram(QStringLiteral("sh"), {"-c", "cd \"$1\"/pkg && zip -q -X \"../$2\" *", "sh",
                                                                 folder, name});
        QVERIFY2(made.ok(), qPrintable("zip (apt-get install zip): " + made.output));
    } else if (suffix == "mof") {
        QVERIFY(writeBytes(file, "#pragma namespace(\"\\\\\\\\.\\\\root\\\\cimv2\")\r\n"));
    } else if (suffix.endsWith("xml")) {
        QVERIFY(writeBytes(file, "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<Types></Types>\r\n"));
    } else {
        QVERIFY(writeBytes(file, "Write-Output 'Quillmark'\r\n"));
    }
    const QByteArray before = fileBytes(file);
    QVERIFY(!before.isEmpty());

    const RunResult run = signtool({"sign", "/f", m_signerPfx, "/p", m_password, file}, environment());
    QVERIFY2(run.ok(), qPrintable(run.output));
    QVERIFY(run.output.contains(QStringLiteral("Successfully signed: ") + file));
    const RunResult ossl = osslVerify(file);
    QVERIFY2(ossl.ok(), qPrintable(ossl.output));
    QVERIFY(ossl.output.contains(QLatin1String("/CN=Verdict Signer")));

    RunResult checked = verify({}, {file});
    QVERIFY2(checked.ok(), qPrintable(checked.output));
    QVERIFY(checked.output.contains(QStringLiteral("Successfully verified: ") + file));

    // Signed by someone the store does not know: refused, with the reason.
    const QString foreign = folder + "/foreign." + suffix;
    QVERIFY(writeBytes(foreign, before));
    QVERIFY(signtool({"sign", "/f", m_strangerPfx, "/p", m_password, foreign}, environment()).ok());
    checked = verify({}, {foreign});
    QCOMPARE(checked.exitCode, 1);
    QVERIFY2(checked.output.contains(foreign + " is not validly signed: its certificate does not chain"),
             qPrintable(checked.output));
    QVERIFY(!osslVerify(foreign).ok());
}

void TestSignToolVerdicts::lyingTimeStampServerNeverReachesTheFile_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QString>("option");
    QTest::addColumn<QString>("reason");
    QTest::newRow("wrong imprint, /tr") << "wrong-imprint" << "/tr" << "its imprint is not the digest of the signature";
    QTest::newRow("wrong imprint, /t fallback") << "wrong-imprint" << "/t"
                                                << "its imprint is not the digest of the signature";
    QTest::newRow("wrong nonce") << "wrong-nonce" << "/tr" << "its nonce is not the one sent";
    QTest::newRow("signer without time-stamping purpose") << "wrong-purpose" << "/tr"
                                                          << "not meant for time stamping";
    QTest::newRow("garbage") << "garbage" << "/tr" << "Time-stamping";
}

void TestSignToolVerdicts::lyingTimeStampServerNeverReachesTheFile()
{
    QFETCH(QString, mode);
    QFETCH(QString, option);
    QFETCH(QString, reason);
    TsaServer server(mode, m_tsaPem, m_tsaKey, QString());
    QVERIFY(!server.url().isEmpty());
    const QString file = peFile();
    const QByteArray before = fileBytes(file);
    const QStringList entriesBefore = QDir(QFileInfo(file).path()).entryList(QDir::AllEntries | QDir::Hidden);
    const RunResult run = signtool({"sign", "/f", m_signerPfx, "/p", m_password, option, server.url(), file},
                                   environment());
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.output.contains(QLatin1String("SignTool Error: ")), qPrintable(run.output));
    QVERIFY2(run.output.contains(reason), qPrintable(run.output));
    QVERIFY(!run.output.contains(QLatin1String("Successfully signed")));
    QCOMPARE(fileBytes(file), before);
    QCOMPARE(QDir(QFileInfo(file).path()).entryList(QDir::AllEntries | QDir::Hidden), entriesBefore);
}

// /as: an unsigned file gets the signature as its primary one; a signed
// file one more, by the chosen certificate with the /fd digest; a plain
// sign leaves exactly the new signature.
void TestSignToolVerdicts::appendSignature()
{
    const QString file = peFile();
    RunResult run = signtool({"sign", "/f", m_signerPfx, "/p", m_password, "/as", file}, environment());
    QVERIFY2(run.ok(), qPrintable(run.output));
    RunResult ossl = osslVerify(file);
    QVERIFY2(ossl.ok(), qPrintable(ossl.output));
    QCOMPARE(signatureCount(ossl), 1);

    run = signtool({"sign", "/f", m_strangerPfx, "/p", m_password, "/as", "/fd", "sha384", file}, environment());
    QVERIFY2(run.ok(), qPrintable(run.output));
    ossl = osslVerify(file);
    QCOMPARE(signatureCount(ossl), 2);
    const QString appended = ossl.output.mid(int(ossl.output.indexOf(QLatin1String("Signature Index: 1"))));
    QVERIFY2(appended.contains(QLatin1String("/CN=Stranger")), qPrintable(ossl.output));
    QVERIFY(appended.contains(QLatin1String("SHA384")));
    QVERIFY(verify({}, {file}).ok()); // the primary decides
    QCOMPARE(verify({"/all"}, {file}).exitCode, 1);

    run = signtool({"sign", "/f", m_signerPfx, "/p", m_password, file}, environment());
    QVERIFY2(run.ok(), qPrintable(run.output));
    QCOMPARE(signatureCount(osslVerify(file)), 1);

    // Scripts and installers take appended signatures as well.
    const QString script = newFolder() + QStringLiteral("/tool.ps1");
    QVERIFY(writeBytes(script, "Write-Output 'as'\r\n"));
    QVERIFY(signtool({"sign", "/f", m_signerPfx, "/p", m_password, "/as", script}, environment()).ok());
    run = signtool({"sign", "/f", m_signerPfx, "/p", m_password, "/as", script}, environment());
    QVERIFY2(run.ok(), qPrintable(run.output));
    QCOMPARE(signatureCount(osslVerify(script)), 2);
}

void TestSignToolVerdicts::timeStampDigestNeedsRfc3161Server()
{
    const QString file = peFile();
    const QByteArray before = fileBytes(file);
    for (const char *digest : {"sha256", "sha384"}) {
        const RunResult run = signtool({"sign", "/f", m_signerPfx, "/p", m_password, "/td", digest, file}, environment());
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.output.contains(QLatin1String("The option /td needs /tr")), qPrintable(run.output));
    }
    QCOMPARE(fileBytes(file), before);
}

// "*" and "?" are expanded by the tool, sorted; a pattern without a match
// is an error of its own, and the other files are still signed.
void TestSignToolVerdicts::wildcardsAreExpandedInOrder()
{
    const QString folder = newFolder();
    for (const char *name : {"b.exe", "a.exe", "c.dll", "a2.exe"})
        QVERIFY(writePeFile(folder + "/" + name, quint32(++m_files)));
    const RunResult run = signtool({"sign", "/f", m_signerPfx, "/p", m_password, folder + "/?.exe",
                                    folder + "/none*.exe", folder + "/c.*"},
                                   environment());
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.output.contains("SignTool Error: File not found: " + folder + "/none*.exe"), qPrintable(run.output));
    const int a = int(run.output.indexOf("Successfully signed: " + folder + "/a.exe"));
    const int b = int(run.output.indexOf("Successfully signed: " + folder + "/b.exe"));
    const int c = int(run.output.indexOf("Successfully signed: " + folder + "/c.dll"));
    QVERIFY2(a >= 0 && b > a && c > b, qPrintable(run.output));
    QVERIFY(!run.output.contains(folder + "/a2.exe"));
    QVERIFY(run.output.contains(QLatin1String("Number of errors: 1")));
    QVERIFY(osslVerify(folder + "/b.exe").ok());
    QVERIFY(!osslVerify(folder + "/a2.exe").ok());

    const RunResult checked = verify({}, {folder + "/*.exe"});
    QCOMPARE(checked.exitCode, 1); // a2.exe is not signed
    QVERIFY(checked.output.contains("Successfully verified: " + folder + "/a.exe"));
    QVERIFY(checked.output.contains(folder + "/a2.exe is not validly signed: it carries no signature"));
}

// /ac puts an intermediate into the signature: a signer whose issuer only
// the file carries verifies against the root. /ph adds page hashes; /fd
// sha1 signs with SHA-1 and warns; /s My and /sm name the one store.
void TestSignToolVerdicts::intermediatePageHashesAndSha1()
{
    const KeyAndCert intermediate = issue(&m_ca, QStringLiteral("Verdict Intermediate"), Purpose::Authority,
                                          365L * 86400);
    const KeyAndCert leaf = issue(&intermediate, QStringLiteral("Leaf Signer"), Purpose::CodeSigning, 300L * 86400);
    const QString keys = newFolder();
    QVERIFY(writePkcs12(keys + "/leaf.pfx", leaf, m_password));
    QVERIFY(writeCertificatePem(keys + "/intermediate.pem", intermediate));

    const QString without = peFile(), with = peFile();
    RunResult run = signtool({"sign", "/f", keys + "/leaf.pfx", "/p", m_password, without}, environment());
    QVERIFY2(run.ok(), qPrintable(run.output));
    QCOMPARE(verify({}, {without}).exitCode, 1);
    run = signtool({"sign", "/f", keys + "/leaf.pfx", "/p", m_password, "/ac", keys + "/intermediate.pem", "/ph",
                    "/fd", "sha1", with},
                   environment());
    QVERIFY2(run.ok(), qPrintable(run.output));
    QVERIFY2(run.output.contains(QLatin1String("SignTool Warning: /fd sha1 makes a SHA-1 signature")),
             qPrintable(run.output));
    const RunResult ossl = osslVerify(with);
    QVERIFY2(ossl.ok(), qPrintable(ossl.output));
    QVERIFY(ossl.output.contains(QLatin1String("Page hash algorithm")));
    QVERIFY(ossl.output.contains(QLatin1String("SHA1")));
    const RunResult checked = verify({"/v"}, {with});
    QVERIFY2(checked.ok(), qPrintable(checked.output));
    QVERIFY(checked.output.contains(QLatin1String("Digest algorithm: SHA1")));

    const QString store = newFolder();
    QVERIFY(writePkcs12(store + "/signer.pfx", m_signer));
    QProcessEnvironment env = storeEnvironment(store);
    env.insert(QStringLiteral("QUILLMARK_PKCS11_MODULE"), QStringLiteral("/nonexistent"));
    const QString file = peFile();
    QVERIFY(signtool({"sign", "/s", "MY", "/sm", file}, env).ok());
    run = signtool({"sign", "/s", "Root", file}, env);
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.output.contains("The certificate store \"Root\" does not exist. Quillmark has one store, \"My\"")
                 && run.output.contains("the folder " + store),
             qPrintable(run.output));
}

// "timestamp": a time stamp for files already signed, through the same
// checks of the reply and the same safe replacement as when signing.
void TestSignToolVerdicts::timestampVerbStampsSignedFiles()
{
    const QString program = peFile();
    const QString script = QFileInfo(program).path() + QStringLiteral("/tool.ps1");
    const QString bare = peFile();
    QVERIFY(writeBytes(script, "Write-Output 'stamp me'\r\n"));
    QVERIFY(osslSign(program, m_signerPfx));
    QVERIFY(signtool({"sign", "/f", m_signerPfx, "/p", m_password, script}, environment()).ok());
    const QByteArray bareBefore = fileBytes(bare);

    TsaServer liar(QStringLiteral("wrong-imprint"), m_tsaPem, m_tsaKey, QString());
    QVERIFY(!liar.url().isEmpty());
    const QByteArray programBefore = fileBytes(program);
    RunResult run = signtool({"timestamp", "/tr", liar.url(), program}, environment());
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.output.contains("Time-stamping " + program + " at " + liar.url() + " failed: ")
                 && run.output.contains(QLatin1String("its imprint is not the digest of the signature")),
             qPrintable(run.output));
    QCOMPARE(fileBytes(program), programBefore);

    TsaServer server(QStringLiteral("both"), m_tsaPem, m_tsaKey, QString());
    QVERIFY(!server.url().isEmpty());
    run = signtool({"timestamp", "/tr", server.url(), "/td", "sha384", program, script, bare}, environment());
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.output.contains("Successfully timestamped: " + program), qPrintable(run.output));
    QVERIFY(run.output.contains("Successfully timestamped: " + script));
    QVERIFY(run.output.contains("SignTool Error: Cannot time-stamp " + bare + ": it carries no signature."));
    QVERIFY(run.output.contains(QLatin1String("Number of errors: 1")));
    QCOMPARE(fileBytes(bare), bareBefore);
    for (const QString &file : {program, script}) {
        const RunResult ossl = osslVerify(file);
        QVERIFY2(ossl.ok() && ossl.output.contains(QLatin1String("Timestamp Server Signature verification: ok")),
                 qPrintable(ossl.output));
        QCOMPARE(signatureCount(ossl), 1);
    }
    const RunResult checked = verify({"/v"}, {program});
    QVERIFY2(checked.ok() && checked.output.contains(QLatin1String("Time stamp: RFC 3161, ")), qPrintable(checked.output));

    run = signtool({"timestamp", "/t", server.url(), program}, environment());
    QVERIFY2(run.ok(), qPrintable(run.output));
    QVERIFY2(verify({"/v"}, {program}).output.contains(QLatin1String("Time stamp: Authenticode, ")),
             qPrintable(verify({"/v"}, {program}).output));
}

// Every signature of a file is judged against the file's digest, made once
// per digest algorithm: 50 signatures of SHA-256 on a 48 MB file cost
// hardly more than 2 (the file is read once either way), where a digest
// per signature made them cost 25 times the reading.
void TestSignToolVerdicts::nestedSignaturesShareTheFileDigest()
{
    const QString folder = newFolder();
    const QString signedFile = folder + QStringLiteral("/large.exe");
    QVERIFY(writeLargePeFile(signedFile, 31, 48));
    QVERIFY(osslSign(signedFile, m_signerPfx));
    const QByteArray bytes = fileBytes(signedFile);
    const QString two = folder + QStringLiteral("/two.exe"), fifty = folder + QStringLiteral("/fifty.exe");
    QVERIFY(writeBytes(two, withNestedCopies(bytes, 1)));
    QVERIFY(writeBytes(fifty, withNestedCopies(bytes, 49)));

    // Once each first, so that both are read from the page cache alike.
    QVERIFY2(verify({"/all"}, {two}).ok(), "two signatures do not verify");
    QElapsedTimer timer;
    timer.start();
    const RunResult twoRun = verify({"/all"}, {two});
    const qint64 twoMs = timer.restart();
    const RunResult fiftyRun = verify({"/all", "/v"}, {fifty});
    const qint64 fiftyMs = timer.elapsed();
    QVERIFY2(twoRun.ok(), qPrintable(twoRun.output));
    QVERIFY2(fiftyRun.ok(), qPrintable(fiftyRun.output));
    QCOMPARE(int(fiftyRun.output.count(QLatin1String("(appended):"))), 49);
    qInfo("verify /pa /all of a 48 MB file: %lld ms with 2 signatures, %lld ms with 50", twoMs, fiftyMs);
    QVERIFY2(fiftyMs < 2 * twoMs + 1500,
             qPrintable(QStringLiteral("50 signatures took %1 ms, 2 took %2 ms").arg(fiftyMs).arg(twoMs)));
}

// At most 64 signatures of a file are read: one more makes the file fail
// with a message that says so, at once, however many there are.
void TestSignToolVerdicts::signaturesPastTheBoundAreRefused()
{
    const QString file = peFile();
    QVERIFY(osslSign(file, m_signerPfx));
    const QByteArray bytes = fileBytes(file);
    const QString folder = newFolder();
    const QString atBound = folder + QStringLiteral("/64.exe"), pastBound = folder + QStringLiteral("/65.exe"),
                  far = folder + QStringLiteral("/1001.exe");
    QVERIFY(writeBytes(atBound, withNestedCopies(bytes, 63)));
    QVERIFY(writeBytes(pastBound, withNestedCopies(bytes, 64)));
    QVERIFY(writeBytes(far, withNestedCopies(bytes, 1000)));

    const RunResult good = verify({"/all"}, {atBound});
    QVERIFY2(good.ok(), qPrintable(good.output));

    QElapsedTimer timer;
    timer.start();
    const RunResult run = verify({}, {pastBound, far});
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.output.contains(QStringLiteral("SignTool Error: ") + pastBound
                                 + " is not validly signed: it carries 65 signatures, more than the 64 that are "
                                   "checked."),
             qPrintable(run.output));
    QVERIFY2(run.output.contains(QStringLiteral("SignTool Error: ") + far
                                 + " is not validly signed: it carries 1001 signatures, more than the 64 that are "
                                   "checked."),
             qPrintable(run.output));
    QVERIFY2(timer.elapsed() < 20000, "the signatures past the bound were read");
}

// Where a signed PE file's certificate table is and what it holds: the
// directory entry and the table's offset in the optional header.
struct TablePlace {
    int entry = 0;
    int offset = 0;
    int size = 0;
};

TablePlace tablePlace(const QByteArray &file)
{
    const int peHeader = int(le32(file, 0x3C));
    const bool pe32plus = quint8(file[peHeader + 24]) == 0x0B && quint8(file[peHeader + 25]) == 0x02;
    TablePlace place;
    place.entry = peHeader + 24 + (pe32plus ? 112 : 96) + 4 * 8;
    place.offset = int(le32(file, place.entry));
    place.size = int(le32(file, place.entry + 4));
    return place;
}

// Data hidden in or after a certificate table changes no digest; Windows
// (with the padding check that MS13-098 brought) and osslsigncode refuse
// such a file, and so does the tool.
void TestSignToolVerdicts::certificateTableHidesNothing_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<QString>("reason");
    QTest::newRow("data appended after the table") << "appended" << "data follows its certificate table";
    QTest::newRow("table grown with data after its entry") << "grown" << "after its only entry";
    QTest::newRow("table grown with zeros after its entry") << "grownZeros" << "after its only entry";
    QTest::newRow("entry grown with data after the signature") << "entryGrown" << "after the signature it holds";
    QTest::newRow("revision 1.0") << "revision1" << "revision 1.0";
    QTest::newRow("revision 3.0") << "revision3" << "revision 3.0";
}

void TestSignToolVerdicts::certificateTableHidesNothing()
{
    QFETCH(QString, change);
    QFETCH(QString, reason);
    const QString file = peFile();
    QVERIFY(osslSign(file, m_signerPfx));
    QVERIFY(verify({}, {file}).ok());
    QByteArray bytes = fileBytes(file);
    const TablePlace table = tablePlace(bytes);
    QCOMPARE(table.offset + table.size, int(bytes.size()));
    const QByteArray payload("hidden payload!!");
    if (change == "appended") {
        bytes += payload;
    } else if (change == "grown" || change == "grownZeros") {
        bytes += change == "grown" ? payload : QByteArray(payload.size(), '\0');
        putLe32(bytes, table.entry + 4, quint32(table.size + payload.size()));
    } else if (change == "entryGrown") {
        bytes += payload;
        putLe32(bytes, table.entry + 4, quint32(table.size + payload.size()));
        putLe32(bytes, table.offset, le32(bytes, table.offset) + quint32(payload.size()));
    } else {
        bytes[table.offset + 5] = char(change == "revision1" ? 0x01 : 0x03);
    }
    QVERIFY(writeBytes(file, bytes));
    const RunResult run = verify({}, {file});
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.output.contains("SignTool Error: " + file + " is not validly signed: "), qPrintable(run.output));
    QVERIFY2(run.output.contains(reason), qPrintable(run.output));
    QCOMPARE(verify({"/all"}, {file}).exitCode, 1);
}

// Windows judges the signer's chain at the time the verified time stamp
// vouches for: a stamp from before the certificate became valid proves a
// signature made by a certificate that was not valid yet.
void TestSignToolVerdicts::signerJudgedAtTheStampsTime()
{
    const KeyAndCert early = issue(&m_ca, QStringLiteral("Early Signer"), Purpose::CodeSigning, 365L * 86400, 4);
    const QString pfx = newFolder() + QStringLiteral("/early.pfx");
    QVERIFY(writePkcs12(pfx, early, m_password));
    const QString folder = newFolder();
    const QString stamped = peFile(folder), bare = peFile(folder);
    TsaServer server(QStringLiteral("rfc3161"), m_tsaPem, m_tsaKey, QString());
    QVERIFY(!server.url().isEmpty());
    QVERIFY(osslSign(stamped, pfx, {"-ts", server.url()}));
    QVERIFY(osslSign(bare, pfx));

    // Not yet valid now: said so, not "does not chain".
    RunResult run = verify({}, {bare});
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.output.contains(bare + " is not validly signed: its certificate is not yet valid"),
             qPrintable(run.output));
    QVERIFY(!run.output.contains(QLatin1String("does not chain")));

    const QDateTime valid = QDateTime::currentDateTimeUtc().addSecs(6);
    while (QDateTime::currentDateTimeUtc() < valid)
        QThread::msleep(250);
    run = verify({}, {stamped, bare});
    QVERIFY2(run.output.contains(QStringLiteral("Successfully verified: ") + bare), qPrintable(run.output));
    QVERIFY2(run.output.contains(stamped + " is not validly signed: its certificate was not yet valid at the time "
                                           "its time stamp vouches for"),
             qPrintable(run.output));
}

// An extended key usage limits every certificate below it: a code-signing
// leaf under a CA meant for TLS servers only is refused, naming that CA.
void TestSignToolVerdicts::everyCertificateOfThePathAllowsCodeSigning()
{
    const KeyAndCert tlsCa = issue(&m_ca, QStringLiteral("TLS Only CA"), Purpose::ServerAuthAuthority, 365L * 86400);
    const KeyAndCert leaf = issue(&tlsCa, QStringLiteral("Leaf Under TLS CA"), Purpose::CodeSigning, 300L * 86400);
    const QString keys = newFolder();
    QVERIFY(writePkcs12(keys + "/leaf.pfx", leaf, m_password));
    QVERIFY(writeCertificatePem(keys + "/ca.pem", tlsCa));
    const QString file = peFile();
    QVERIFY(osslSign(file, keys + "/leaf.pfx", {"-ac", keys + "/ca.pem"}));
    const RunResult run = verify({}, {file});
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.output.contains(file + " is not validly signed: the certificate /CN=TLS Only CA of its chain is not "
                                        "meant for code signing"),
             qPrintable(run.output));
}

// Every verdict in the tool's own words, naming the file as it was given:
// no osslsigncode text, no private paths, each line once.
void TestSignToolVerdicts::messagesAreTheToolsOwn()
{
    const KeyAndCert noSignature = issue(&m_ca, QStringLiteral("Encipherment Only"),
                                         Purpose::CodeSigningNoSignature, 365L * 86400);
    const QString folder = newFolder();
    QVERIFY(writePkcs12(folder + "/enc.pfx", noSignature, m_password));
    const QString keyUsage = peFile(folder);
    QVERIFY(osslSign(keyUsage, folder + "/enc.pfx"));
    RunResult run = verify({}, {keyUsage});
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.output.contains(keyUsage + " is not validly signed: its certificate's key usage does not allow "
                                            "digital signatures"),
             qPrintable(run.output));
    QVERIFY(!run.output.contains(QLatin1String("not meant for code signing")));

    const QString before = QDir::currentPath();
    QVERIFY(QDir::setCurrent(folder));
    QVERIFY(writeBytes(folder + "/empty.exe", QByteArray()));
    QVERIFY(writeBytes(folder + "/tool.js", "WScript.Echo('hi');\r\n"));
    QVERIFY(writeBytes(folder + "/tool.vbs", "WScript.Echo \"hi\"\r\n"));
    QVERIFY(writeBytes(folder + "/notes.txt", "plain text\n"));
    const QStringList names{"empty.exe", "tool.js", "tool.vbs", "notes.txt"};
    run = verify({}, names);
    QDir::setCurrent(before);
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.output.contains(QLatin1String("SignTool Error: empty.exe is not validly signed: it is empty")),
             qPrintable(run.output));
    for (const QString &script : {QStringLiteral("tool.js"), QStringLiteral("tool.vbs")})
        QVERIFY2(run.output.contains("SignTool Error: " + script + " is not validly signed: signatures of Windows "
                                     "Script Host files"),
                 qPrintable(run.output));
    QVERIFY2(run.output.contains(QLatin1String("SignTool Error: notes.txt is not validly signed: it is of no format "
                                               "that carries Authenticode signatures")),
             qPrintable(run.output));
    for (const char *foreign : {"/dev/fd", "osslsigncode", "Initialization error", "Failed", ":error:"})
        QVERIFY2(!run.output.contains(QLatin1String(foreign)), qPrintable(run.output));
    const QStringList lines = run.output.split('\n', Qt::SkipEmptyParts);
    QCOMPARE(QSet<QString>(lines.begin(), lines.end()).size(), lines.size());
}

namespace {

// A revocation list of `ca`, current for an hour, listing each serial
// number with its revocation time.
bool writeCrl(const QString &path, const KeyAndCert &ca, const QList<QPair<X509 *, time_t>> &revoked)
{
    std::unique_ptr<X509_CRL, decltype(&X509_CRL_free)> crl(X509_CRL_new(), X509_CRL_free);
    if (!crl || X509_CRL_set_version(crl.get(), 1) != 1
        || X509_CRL_set_issuer_name(crl.get(), X509_get_subject_name(ca.cert.get())) != 1)
        return false;
    std::unique_ptr<ASN1_TIME, decltype(&ASN1_TIME_free)> last(X509_gmtime_adj(nullptr, -60), ASN1_TIME_free);
    std::unique_ptr<ASN1_TIME, decltype(&ASN1_TIME_free)> next(X509_gmtime_adj(nullptr, 3600), ASN1_TIME_free);
    X509_CRL_set1_lastUpdate(crl.get(), last.get());
    X509_CRL_set1_nextUpdate(crl.get(), next.get());
    for (const auto &entry : revoked) {
        X509_REVOKED *one = X509_REVOKED_new();
        ASN1_TIME *when = ASN1_TIME_set(nullptr, entry.second);
        X509_REVOKED_set_serialNumber(one, X509_get_serialNumber(entry.first));
        X509_REVOKED_set_revocationDate(one, when);
        ASN1_TIME_free(when);
        X509_CRL_add0_revoked(crl.get(), one);
    }
    X509_CRL_sort(crl.get());
    if (!X509_CRL_sign(crl.get(), ca.key.get(), EVP_sha256()))
        return false;
    unsigned char *der = nullptr;
    const int length = i2d_X509_CRL(crl.get(), &der);
    const QByteArray bytes(reinterpret_cast<const char *>(der), length > 0 ? length : 0);
    OPENSSL_free(der);
    return length > 0 && writeBytes(path, bytes);
}

QString serialHex(X509 *cert)
{
    BIGNUM *number = ASN1_INTEGER_to_BN(X509_get_serialNumber(cert), nullptr);
    char *hex = number ? BN_bn2hex(number) : nullptr;
    const QString text = QString::fromLatin1(hex ? hex : "");
    OPENSSL_free(hex);
    BN_free(number);
    return text;
}

// A CA of its own with a CRL and an OCSP responder on 127.0.0.1 (the test
// time-stamp server in mode "revocation"), its store and environment.
struct RevocationSite {
    KeyAndCert ca;
    QString folder, store, log, caPem, caKey;
    std::unique_ptr<TsaServer> server;
    QString crlUrl() const { return server->base() + QStringLiteral("/crl/ca.crl"); }
    QString ocspUrl() const { return server->base() + QStringLiteral("/ocsp"); }
    QList<QPair<int, QString>> crlExtension() const { return {{NID_crl_distribution_points, "URI:" + crlUrl()}}; }
    QList<QPair<int, QString>> ocspExtension() const
    {
        return {{NID_info_access, "OCSP;URI:" + ocspUrl()}};
    }
    int logged(const QString &line) const
    {
        return int(fileBytes(log).split('\n').count(line.toUtf8()));
    }
};

} // namespace

// A revoked signer fails, named with the time it was revoked, whether the
// CRL or the OCSP responder says so; every answer is asked for once a run.
void TestSignToolVerdicts::revokedCertificatesFail()
{
    RevocationSite site;
    site.ca = issue(nullptr, QStringLiteral("Revocation Root"), Purpose::Authority, 3650L * 86400);
    site.folder = newFolder();
    site.store = newFolder();
    site.log = site.folder + QStringLiteral("/requests.log");
    site.caPem = site.folder + QStringLiteral("/ca.pem");
    site.caKey = site.folder + QStringLiteral("/ca.key");
    QVERIFY(writeCertificatePem(site.caPem, site.ca) && writePrivateKeyPem(site.caKey, site.ca));
    QVERIFY(writePkcs12(site.store + QStringLiteral("/root.pfx"), site.ca));
    site.server = std::make_unique<TsaServer>(QStringLiteral("revocation"), site.caPem, site.caKey, site.log,
                                              TsaServer::Timing{}, TsaServer::Https{}, site.folder);
    QVERIFY(!site.server->url().isEmpty());
    QVERIFY(writeCrl(site.folder + "/ca.crl", site.ca, {}));

    const KeyAndCert byCrl = issue(&site.ca, QStringLiteral("CRL Signer"), Purpose::CodeSigning, 365L * 86400, -3600,
                                   site.crlExtension());
    const KeyAndCert byOcsp = issue(&site.ca, QStringLiteral("OCSP Signer"), Purpose::CodeSigning, 365L * 86400,
                                    -3600, site.ocspExtension());
    QVERIFY(!byCrl.isNull() && !byOcsp.isNull());
    const QString keys = newFolder();
    QVERIFY(writePkcs12(keys + "/crl.pfx", byCrl, m_password) && writePkcs12(keys + "/ocsp.pfx", byOcsp, m_password));
    const QString folder = newFolder();
    QStringList crlFiles, ocspFiles;
    for (int i = 0; i < 3; ++i) {
        crlFiles << peFile(folder);
        QVERIFY(osslSign(crlFiles.last(), keys + "/crl.pfx"));
        ocspFiles << peFile(folder);
        QVERIFY(osslSign(ocspFiles.last(), keys + "/ocsp.pfx"));
    }
    QProcessEnvironment env = storeEnvironment(site.store);
    env.insert(QStringLiteral("QUILLMARK_PKCS11_MODULE"), QStringLiteral("/nonexistent"));

    RunResult run = signtool(QStringList{"verify", "/pa"} + crlFiles + ocspFiles, env);
    QVERIFY2(run.ok(), qPrintable(run.output));
    QVERIFY2(!run.output.contains(QLatin1String("Warning")), qPrintable(run.output));
    QCOMPARE(site.logged(QStringLiteral("crl ca.crl")), 1);
    QCOMPARE(site.logged(QStringLiteral("ocsp")), 1);

    const time_t revokedAt = std::time(nullptr) - 600;
    QVERIFY(writeCrl(site.folder + "/ca.crl", site.ca, {{byCrl.cert.get(), revokedAt}}));
    QVERIFY(writeBytes(site.folder + "/revoked",
                       QStringLiteral("%1 %2\n").arg(serialHex(byOcsp.cert.get())).arg(revokedAt).toUtf8()));
    run = signtool(QStringList{"verify", "/pa"} + crlFiles.mid(0, 1) + ocspFiles.mid(0, 1), env);
    QCOMPARE(run.exitCode, 1);
    const QString when = QDateTime::fromSecsSinceEpoch(revokedAt, Qt::UTC).toString(QStringLiteral("yyyy"));
    for (const QString &file : {crlFiles.first(), ocspFiles.first()}) {
        const QRegularExpression revoked(QRegularExpression::escape(file + " is not validly signed: its certificate "
                                                                           "was revoked on ")
                                         + ".*" + when);
        QVERIFY2(revoked.match(run.output).hasMatch(), qPrintable(run.output));
    }
}

// A signer revoked after its time-stamp server vouched for the signing time
// leaves that signature valid, one revoked before it does not; the
// time-stamp server's certificate is judged the same way; a revocation
// server that cannot be reached leaves the verdict to the rest, with a
// warning, as on Windows.
void TestSignToolVerdicts::revocationAfterTheStampAndUnreachableServers()
{
    RevocationSite site;
    site.ca = issue(nullptr, QStringLiteral("Revocation Root 2"), Purpose::Authority, 3650L * 86400);
    site.folder = newFolder();
    site.store = newFolder();
    site.log = site.folder + QStringLiteral("/requests.log");
    site.caPem = site.folder + QStringLiteral("/ca.pem");
    site.caKey = site.folder + QStringLiteral("/ca.key");
    QVERIFY(writeCertificatePem(site.caPem, site.ca) && writePrivateKeyPem(site.caKey, site.ca));
    QVERIFY(writePkcs12(site.store + QStringLiteral("/root.pfx"), site.ca));
    site.server = std::make_unique<TsaServer>(QStringLiteral("revocation"), site.caPem, site.caKey, site.log,
                                              TsaServer::Timing{}, TsaServer::Https{}, site.folder);
    QVERIFY(!site.server->url().isEmpty());
    QVERIFY(writeCrl(site.folder + "/ca.crl", site.ca, {}));

    const KeyAndCert early = issue(&site.ca, QStringLiteral("Revoked Later"), Purpose::CodeSigning, 365L * 86400,
                                   -3600, site.crlExtension());
    const KeyAndCert before = issue(&site.ca, QStringLiteral("Revoked Before"), Purpose::CodeSigning, 365L * 86400,
                                    -3600, site.crlExtension());
    const KeyAndCert tsa = issue(&site.ca, QStringLiteral("Revocable Time Stamps"), Purpose::TimeStamping,
                                 365L * 86400, -7200, site.crlExtension());
    // A server that accepts and never answers, and one that is gone.
    TsaServer silent(QStringLiteral("silent"), m_tsaPem, m_tsaKey, QString());
    QString goneUrl;
    {
        TsaServer gone(QStringLiteral("silent"), m_tsaPem, m_tsaKey, QString());
        goneUrl = gone.base() + QStringLiteral("/crl/gone.crl");
    }
    const KeyAndCert slow = issue(&site.ca, QStringLiteral("Slow CRL"), Purpose::CodeSigning, 365L * 86400, -3600,
                                  {{NID_crl_distribution_points, "URI:" + silent.base() + "/crl/slow.crl"}});
    const KeyAndCert dead = issue(&site.ca, QStringLiteral("Dead CRL"), Purpose::CodeSigning, 365L * 86400, -3600,
                                  {{NID_crl_distribution_points, "URI:" + goneUrl}});
    const QString keys = newFolder();
    QVERIFY(writeCertificatePem(keys + "/tsa.pem", tsa) && writePrivateKeyPem(keys + "/tsa.key", tsa));
    TsaServer stamps(QStringLiteral("rfc3161"), keys + "/tsa.pem", keys + "/tsa.key", QString());
    QVERIFY(!stamps.url().isEmpty());
    const QString folder = newFolder();
    const QString laterFile = peFile(folder), beforeFile = peFile(folder), slowFile = peFile(folder),
                  deadFile = peFile(folder);
    const QList<QPair<QString, const KeyAndCert *>> signing{
        {laterFile, &early}, {beforeFile, &before}, {slowFile, &slow}, {deadFile, &dead}};
    for (const auto &one : signing) {
        const QString pfx = keys + "/" + QFileInfo(one.first).baseName() + ".pfx";
        QVERIFY(writePkcs12(pfx, *one.second, m_password));
        QVERIFY(osslSign(one.first, pfx, {"-ts", stamps.url()}));
    }
    const time_t now = std::time(nullptr);
    QVERIFY(writeCrl(site.folder + "/ca.crl", site.ca, {{early.cert.get(), now + 1}, {before.cert.get(), now - 600}}));
    QThread::msleep(1500);

    QProcessEnvironment env = storeEnvironment(site.store);
    env.insert(QStringLiteral("QUILLMARK_PKCS11_MODULE"), QStringLiteral("/nonexistent"));
    env.insert(QStringLiteral("QUILLMARK_REVOCATION_TIMEOUT"), QStringLiteral("2"));
    QElapsedTimer timer;
    timer.start();
    RunResult run = signtool({"verify", "/pa", "/v", laterFile, beforeFile, slowFile, deadFile}, env);
    QVERIFY2(timer.elapsed() < 30000, qPrintable(run.output));
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.output.contains("Successfully verified: " + laterFile), qPrintable(run.output));
    QVERIFY2(run.output.contains(QLatin1String("after the time its time stamp vouches for")), qPrintable(run.output));
    QVERIFY2(run.output.contains(beforeFile + " is not validly signed: its certificate was revoked on "),
             qPrintable(run.output));
    QVERIFY2(run.output.contains(QLatin1String(", before the time its time stamp vouches for")),
             qPrintable(run.output));
    for (const QString &file : {slowFile, deadFile}) {
        QVERIFY2(run.output.contains("Successfully verified: " + file), qPrintable(run.output));
        QVERIFY2(run.output.contains("SignTool Warning: " + file + ": the revocation of its certificate could not be "
                                                                    "checked"),
                 qPrintable(run.output));
    }

    // The time-stamp server's certificate revoked before the stamps were
    // made: they vouch for nothing.
    QVERIFY(writeCrl(site.folder + "/ca.crl", site.ca, {{tsa.cert.get(), now - 3600}}));
    run = signtool({"verify", "/pa", laterFile}, env);
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.output.contains(laterFile + " is not validly signed: its time stamp cannot be verified (the "
                                             "time-stamp server's certificate was revoked on "),
             qPrintable(run.output));
}

// verify /d prints the description, /r names the root the chain must end
// at, /ds N judges one signature; sign without /fd warns as SignTool did
// before it refused.
void TestSignToolVerdicts::documentedSwitchesOfVerifyAndSign()
{
    const QString described = peFile();
    QVERIFY(osslSign(described, m_signerPfx, {"-n", "Quillmark Tool", "-i", "https://quillmark.example/tool"}));
    RunResult run = verify({"/d", "/r", "verdict ROOT"}, {described});
    QVERIFY2(run.ok(), qPrintable(run.output));
    QVERIFY2(run.output.contains(QLatin1String("Description: Quillmark Tool\n")), qPrintable(run.output));
    QVERIFY2(run.output.contains(QLatin1String("Description URL: https://quillmark.example/tool\n")),
             qPrintable(run.output));
    run = verify({"/r", "Some Other Root"}, {described});
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.output.contains(described + " is not validly signed: its certificate does not chain to a trusted "
                                             "root or to a certificate of the store (it ends at /CN=Quillmark Verdict "
                                             "Root, whose subject does not contain \"Some Other Root\" as /r asks)"),
             qPrintable(run.output));

    // A description cannot forge a line of the output.
    const QString forging = peFile();
    QVERIFY(osslSign(forging, m_strangerPfx, {"-n", "Tool\nSuccessfully verified: " + forging}));
    run = verify({"/d"}, {forging});
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(!run.output.contains("\nSuccessfully verified: " + forging), qPrintable(run.output));
    QVERIFY2(run.output.contains("Description: Tool?Successfully verified: " + forging), qPrintable(run.output));

    const QString strangerFirst = peFile();
    QVERIFY(osslSign(strangerFirst, m_strangerPfx));
    QVERIFY(osslSign(strangerFirst, m_signerPfx, {"-nest"}));
    QVERIFY2(verify({"/ds", "1"}, {strangerFirst}).ok(), qPrintable(verify({"/ds", "1"}, {strangerFirst}).output));
    run = verify({"/ds", "0"}, {strangerFirst});
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.output.contains(strangerFirst + " is not validly signed: its certificate does not chain"),
             qPrintable(run.output));
    run = verify({"/ds", "2"}, {strangerFirst});
    QVERIFY2(run.exitCode == 1 && run.output.contains(QLatin1String("it has no signature 2")), qPrintable(run.output));

    const QString unnamed = peFile(), named = peFile();
    run = signtool({"sign", "/f", m_signerPfx, "/p", m_password, unnamed}, environment());
    QVERIFY2(run.ok(), qPrintable(run.output));
    QVERIFY2(run.output.contains(QLatin1String("SignTool Warning: No file digest algorithm was given; SHA-256 is "
                                               "used.\nThe newest SignTool refuses to sign without /fd")),
             qPrintable(run.output));
    run = signtool({"sign", "/f", m_signerPfx, "/p", m_password, "/fd", "sha256", named}, environment());
    QVERIFY2(run.ok() && !run.output.contains(QLatin1String("Warning")), qPrintable(run.output));
}

QTEST_GUILESS_MAIN(TestSignToolVerdicts)
#include "tst_signtool_verdicts.moc"
