// signtool.exe and Windows catalog files: "verify /c CATALOG" (members by
// their Authenticode digest or flat hash, /hash, /o against OSAttr, the
// catalog's own signature judged like an embedded one), the catalog
// database of "catdb" (/d, /g, /r, /u) searched by "verify /a, /ad, /as,
// /ag", and the rules root holds that database to.
//
// The catalogs are built here by hand (the certificate trust list with
// DerWriter's pieces, the PKCS#7 signature with OpenSSL), independently of
// the tool's reader, and osslsigncode checks that their signatures are
// what it expects of a catalog. The program file's Authenticode digest is
// made here too, from the PE layout, not by the tool's code.

#include "support/SignToolFixture.h"
#include "support/TestData.h"
#include "support/TsaServer.h"

#include "Catalog.h"
#include "CatalogDatabase.h"
#include "DerWriter.h"
#include "SignArgs.h"
#include "ToolSupport.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTest>
#include <QThread>

#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <sys/stat.h>
#include <unistd.h>

using namespace testdata;
using signtool::Bytes;
using signtool::concat;
using signtool::derElement;
using signtool::oidDer;

namespace {

const char kCtl[] = "1.3.6.1.4.1.311.10.1";
const char kCatalogList[] = "1.3.6.1.4.1.311.12.1.1";
const char kCatalogMember[] = "1.3.6.1.4.1.311.12.1.2";
const char kNameValue[] = "1.3.6.1.4.1.311.12.2.1";
const char kIndirectData[] = "1.3.6.1.4.1.311.2.1.4";
const char kPeImageData[] = "1.3.6.1.4.1.311.2.1.15";
const char kFlatData[] = "1.3.6.1.4.1.311.2.1.25";
const char kSystemGuid[] = "{F750E6C3-38EE-11D1-85E5-00C04FC295EE}";
const char kDefaultGuid[] = "{127D0A1D-4EF2-11D1-8608-00C04FC295EE}";

Bytes bytesOf(const QByteArray &data)
{
    return Bytes(data.begin(), data.end());
}

Bytes utf16le(const QString &text)
{
    Bytes out;
    for (QChar c : text) {
        out.push_back(static_cast<unsigned char>(c.unicode() & 0xFF));
        out.push_back(static_cast<unsigned char>(c.unicode() >> 8));
    }
    return out;
}

Bytes bmp(const QString &text)
{
    Bytes out;
    for (QChar c : text) {
        out.push_back(static_cast<unsigned char>(c.unicode() >> 8));
        out.push_back(static_cast<unsigned char>(c.unicode() & 0xFF));
    }
    return out;
}

// CatNameValue ::= SEQUENCE { tag BMPString, flags INTEGER, value OCTET STRING }
Bytes nameValue(const QString &name, const QString &value)
{
    return derElement(0x30, concat({derElement(0x1E, bmp(name)), derElement(0x02, {0x10, 0x01, 0x00, 0x01}),
                                     derElement(0x04, utf16le(value))}));
}

Bytes attribute(const char *oid, const Bytes &value)
{
    return derElement(0x30, concat({oidDer(oid), derElement(0x31, value)}));
}

enum class Algorithm { Sha1, Sha256 };

struct Member {
    QByteArray hash;  // the file's hash as the catalog lists it
    QString fileName;
    bool program = false;
    Algorithm algorithm = Algorithm::Sha256;
};

// The certificate trust list of a catalog (the content of its SignedData).
Bytes trustList(const QList<Member> &members, const QString &osAttr)
{
    Bytes subjects;
    for (const Member &member : members) {
        const Bytes digestAlgorithm = derElement(
            0x30, concat({oidDer(member.algorithm == Algorithm::Sha1 ? "1.3.14.3.2.26" : "2.16.840.1.101.3.4.2.1"),
                          Bytes{0x05, 0x00}}));
        const Bytes data = derElement(
            0x30, concat({oidDer(member.program ? kPeImageData : kFlatData), derElement(0x30, {})}));
        const Bytes indirect = derElement(
            0x30, concat({data, derElement(0x30, concat({digestAlgorithm, derElement(0x04, bytesOf(member.hash))}))}));
        const Bytes attributes = derElement(
            0x31, concat({attribute(kNameValue, nameValue(QStringLiteral("File"), member.fileName)),
                          attribute(kIndirectData, indirect)}));
        // The subject identifier is the hash tag: upper-case hex, UTF-16LE.
        const QString tag = QString::fromLatin1(member.hash.toHex().toUpper());
        subjects = concat({subjects, derElement(0x30, concat({derElement(0x04, utf16le(tag)), attributes}))});
    }
    Bytes extensions;
    if (!osAttr.isEmpty()) {
        const Bytes extension = derElement(
            0x30, concat({oidDer(kNameValue), derElement(0x04, nameValue(QStringLiteral("OSAttr"), osAttr))}));
        extensions = derElement(0xA0, derElement(0x30, extension));
    }
    const Bytes usage = derElement(0x30, oidDer(kCatalogList));
    const Bytes listId = derElement(0x04, Bytes(16, 0x5A));
    const QByteArray now = QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyMMddHHmmss")).toLatin1() + "Z";
    const Bytes thisUpdate = derElement(0x17, bytesOf(now));
    const Bytes algorithm = derElement(0x30, concat({oidDer(kCatalogMember), Bytes{0x05, 0x00}}));
    return derElement(0x30, concat({usage, listId, thisUpdate, algorithm, derElement(0x30, subjects), extensions}));
}

// The catalog: a PKCS#7 SignedData of the trust list, its messageDigest over
// the list's value (as for SpcIndirectDataContent); unsigned when `signer`
// is null (what makecat writes before signing).
QByteArray catalogFile(const Bytes &list, const KeyAndCert *signer)
{
    std::unique_ptr<PKCS7, decltype(&PKCS7_free)> p7(PKCS7_new(), PKCS7_free);
    if (!p7 || PKCS7_set_type(p7.get(), NID_pkcs7_signed) != 1)
        return {};
    PKCS7 *inner = PKCS7_new();
    ASN1_TYPE *value = ASN1_TYPE_new();
    ASN1_STRING *sequence = ASN1_STRING_type_new(V_ASN1_SEQUENCE);
    inner->type = OBJ_txt2obj(kCtl, 1);
    ASN1_STRING_set(sequence, list.data(), int(list.size()));
    ASN1_TYPE_set(value, V_ASN1_SEQUENCE, sequence);
    inner->d.other = value;
    if (PKCS7_set_content(p7.get(), inner) != 1)
        return {};
    if (signer) {
        PKCS7_SIGNER_INFO *si = PKCS7_add_signature(p7.get(), signer->cert.get(), signer->key.get(), EVP_sha256());
        if (!si || PKCS7_add_certificate(p7.get(), signer->cert.get()) != 1)
            return {};
        // The list's value: what follows its tag and length.
        const unsigned char *p = list.data();
        long length = 0;
        int tag = 0, xclass = 0;
        ASN1_get_object(&p, &length, &tag, &xclass, long(list.size()));
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int digestLength = 0;
        EVP_Digest(p, size_t(length), digest, &digestLength, EVP_sha256(), nullptr);
        if (PKCS7_add_signed_attribute(si, NID_pkcs9_contentType, V_ASN1_OBJECT, OBJ_txt2obj(kCtl, 1)) != 1
            || PKCS7_add1_attrib_digest(si, digest, int(digestLength)) != 1 || PKCS7_SIGNER_INFO_sign(si) != 1)
            return {};
    }
    unsigned char *der = nullptr;
    const int length = i2d_PKCS7(p7.get(), &der);
    QByteArray out(reinterpret_cast<const char *>(der), length > 0 ? length : 0);
    OPENSSL_free(der);
    return out;
}

// The Authenticode digest of an unsigned PE file, made here from its
// layout: everything but the checksum and the certificate table's entry.
QByteArray authenticodeDigest(const QByteArray &file, QCryptographicHash::Algorithm algorithm)
{
    const int peHeader = int(le32(file, 0x3C));
    const bool pe32plus = quint8(file[peHeader + 24]) == 0x0B && quint8(file[peHeader + 25]) == 0x02;
    const int checksum = peHeader + 24 + 64;
    const int certEntry = peHeader + 24 + (pe32plus ? 112 : 96) + 4 * 8;
    QCryptographicHash hash(algorithm);
    hash.addData(file.left(checksum));
    hash.addData(file.mid(checksum + 4, certEntry - checksum - 4));
    hash.addData(file.mid(certEntry + 8));
    hash.addData(QByteArray((8 - file.size() % 8) % 8, '\0'));
    return hash.result();
}

QByteArray flatHash(const QByteArray &file, QCryptographicHash::Algorithm algorithm)
{
    return QCryptographicHash::hash(file, algorithm);
}

enum class Purpose { Authority, CodeSigning, TimeStamping };

// A certificate issued by `issuer` (self-signed when null), valid from
// `from` seconds from now until a year from now.
KeyAndCert issue(const KeyAndCert *issuer, const QString &name, Purpose purpose, long from = -3600)
{
    const KeyAndCert pair = testdata::unsignedCertificate(issuer, name, from, 365L * 86400);
    if (pair.isNull())
        return pair;
    const std::shared_ptr<X509> &cert = pair.cert;
    bool ok = true;
    if (purpose == Purpose::Authority)
        ok = sdktool::addCertificateExtension(cert.get(), NID_basic_constraints, "critical,CA:TRUE")
             && sdktool::addCertificateExtension(cert.get(), NID_key_usage,
                                                 "critical,keyCertSign,cRLSign,digitalSignature");
    else
        ok = sdktool::addCertificateExtension(cert.get(), NID_ext_key_usage,
                                              purpose == Purpose::CodeSigning ? "codeSigning"
                                                                              : "critical,timeStamping");
    return testdata::signIssued(pair, issuer, ok);
}

} // namespace

class TestSignToolCatalog : public QObject, private SignToolFixture {
    Q_OBJECT

private:
    KeyAndCert m_signer, m_tls, m_stranger;
    QString m_store, m_signerPem, m_folder, m_app, m_readme, m_other;

    QProcessEnvironment environment(const QString &database = {}) const
    {
        QProcessEnvironment env = storeEnvironment(m_store);
        env.insert(QStringLiteral("QUILLMARK_PKCS11_MODULE"), QStringLiteral("/nonexistent"));
        env.insert(QStringLiteral("QUILLMARK_CATALOG_DB"), database.isEmpty() ? m_folder + "/nodb" : database);
        return env;
    }

    RunResult verify(const QStringList &options, const QStringList &files, const QString &database = {})
    {
        return signtool(QStringList{"verify", "/pa"} + options + files, environment(database));
    }

    RunResult catdb(const QStringList &options, const QString &database)
    {
        return signtool(QStringList{"catdb"} + options, environment(database));
    }

    // A catalog of the app and the readme, hashed with `algorithm`.
    QString writeCatalog(const QString &name, const KeyAndCert *signer, Algorithm algorithm = Algorithm::Sha256,
                         const QString &osAttr = QStringLiteral("2:6.1,2:10.0"))
    {
        const auto qt = algorithm == Algorithm::Sha1 ? QCryptographicHash::Sha1 : QCryptographicHash::Sha256;
        const QList<Member> members{
            {authenticodeDigest(fileBytes(m_app), qt), QStringLiteral("app.exe"), true, algorithm},
            {flatHash(fileBytes(m_readme), qt), QStringLiteral("readme.txt"), false, algorithm}};
        const QString path = newFolder() + "/" + name;
        const QByteArray der = catalogFile(trustList(members, osAttr), signer);
        if (der.isEmpty() || !writeBytes(path, der))
            qFatal("cannot write the catalog");
        return path;
    }

private slots:
    void initTestCase();
    void catalogStructureAsOthersReadIt();
    void membersVerifyAndOthersDoNot();
    void catalogSignedByTheTool();
    void hashChoosesTheLookup();
    void osVersionMustBeNamed();
    void catalogSignatureIsJudged();
    void damagedCatalogsAreRefusedNeverOverread();
    void signerJudgedAtTheStampsTime();
    void databaseAddRemoveAndSearch();
    void uniqueNamesAndGuids();
    void databaseOfAnotherUserIsRefusedToRoot();
    void switchesParse();
};

void TestSignToolCatalog::initTestCase()
{
    QVERIFY(m_root.isValid());
    QVERIFY2(QFileInfo(sdkToolPath(QStringLiteral("signtool.exe"))).isExecutable(), "signtool.exe not built");
    m_signer = certificate(QStringLiteral("Catalog Signer"), 365);
    m_tls = certificate(QStringLiteral("Catalog TLS Only"), 365, Usage::ServerAuthOnly);
    m_stranger = certificate(QStringLiteral("Catalog Stranger"), 365);
    QVERIFY(!m_signer.isNull() && !m_tls.isNull() && !m_stranger.isNull());
    // The store's certificates are trusted as they are: the signer and the
    // TLS certificate chain to themselves; the stranger to nothing.
    m_store = newFolder();
    QVERIFY(writePkcs12(m_store + "/signer.pfx", m_signer));
    QVERIFY(writePkcs12(m_store + "/tls.pfx", m_tls));
    m_folder = newFolder();
    m_signerPem = m_folder + "/signer.pem";
    QVERIFY(writeCertificatePem(m_signerPem, m_signer));
    m_app = m_folder + "/app.exe";
    m_readme = m_folder + "/readme.txt";
    m_other = m_folder + "/other.txt";
    QVERIFY(writePeFile(m_app, 7));
    QVERIFY(writeBytes(m_readme, "Read me first.\n"));
    QVERIFY(writeBytes(m_other, "Not in any catalog.\n"));
}

// osslsigncode reads the catalog's signature as a catalog's: the content
// type, the digest over the trust list and the signer; and the tool's own
// reader finds the members and the OSAttr this test wrote.
void TestSignToolCatalog::catalogStructureAsOthersReadIt()
{
    const QString catalog = writeCatalog(QStringLiteral("app.cat"), &m_signer);
    const RunResult ossl = runProgram(QStringLiteral("osslsigncode"),
                                      {"verify", "-ignore-cdp", "-CAfile", m_signerPem, "-in", catalog});
    QVERIFY2(ossl.ok(), qPrintable(ossl.output));
    QVERIFY2(ossl.output.contains(QLatin1String("Signature verification: ok")), qPrintable(ossl.output));

    std::string problem;
    const QByteArray der = fileBytes(catalog);
    const auto parsed = signtool::parseCatalog(der.toStdString(), problem);
    QVERIFY2(parsed, problem.c_str());
    QCOMPARE(parsed->members.size(), size_t(2));
    QCOMPARE(QString::fromStdString(parsed->members[0].fileName), QStringLiteral("app.exe"));
    QCOMPARE(QString::fromStdString(parsed->osAttr.value_or("")), QStringLiteral("2:6.1,2:10.0"));
    const QByteArray appHash = authenticodeDigest(fileBytes(m_app), QCryptographicHash::Sha256);
    QVERIFY(signtool::findMember(*parsed, bytesOf(appHash)));
    QVERIFY(!signtool::findMember(*parsed, bytesOf(flatHash(fileBytes(m_app), QCryptographicHash::Sha256))));
}

void TestSignToolCatalog::membersVerifyAndOthersDoNot()
{
    const QString catalog = writeCatalog(QStringLiteral("members.cat"), &m_signer);
    RunResult run = verify({"/c", catalog}, {m_app, m_readme});
    QVERIFY2(run.ok(), qPrintable(run.output));
    QVERIFY(run.output.contains("Successfully verified: " + m_app));
    QVERIFY(run.output.contains("Successfully verified: " + m_readme));

    run = verify({"/v", "/c", catalog}, {m_app});
    QVERIFY2(run.ok(), qPrintable(run.output));
    QVERIFY2(run.output.contains("File is signed in catalog: " + catalog), qPrintable(run.output));
    QVERIFY2(run.output.contains("Signed by: /CN=Catalog Signer"), qPrintable(run.output));
    run = verify({"/tw", "/c", catalog}, {m_readme});
    QVERIFY2(run.ok(), qPrintable(run.output));
    QVERIFY2(run.output.contains("SignTool Warning: " + m_readme + ": its catalog " + catalog
                                 + " is not time-stamped."),
             qPrintable(run.output));

    run = verify({"/c", catalog}, {m_other});
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.output.contains("SignTool Error: " + m_other + " is not a member of the catalog " + catalog
                                 + ": it does not list its SHA256 or SHA1 hash."),
             qPrintable(run.output));

    // A changed byte in the program's code: its digest is no longer listed.
    const QString changed = newFolder() + "/app.exe";
    QByteArray bytes = fileBytes(m_app);
    bytes[600] = char(bytes[600] ^ 0x5A);
    QVERIFY(writeBytes(changed, bytes));
    run = verify({"/c", catalog}, {changed});
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.output.contains(changed + " is not a member of the catalog"), qPrintable(run.output));
    // A changed checksum is outside the Authenticode digest, as on Windows.
    bytes = fileBytes(m_app);
    bytes[int(le32(bytes, 0x3C)) + 24 + 64] = char(0x77);
    QVERIFY(writeBytes(changed, bytes));
    run = verify({"/c", catalog}, {changed});
    QVERIFY2(run.ok(), qPrintable(run.output));

    // One good and one bad file: each judged, the run fails.
    run = verify({"/c", catalog}, {m_readme, m_other});
    QCOMPARE(run.exitCode, 1);
    QVERIFY(run.output.contains("Successfully verified: " + m_readme));
}

// A catalog as makecat leaves it (unsigned), signed by "signtool sign"
// (osslsigncode signs catalogs), then vouches for its members.
void TestSignToolCatalog::catalogSignedByTheTool()
{
    const QString catalog = writeCatalog(QStringLiteral("made.cat"), nullptr);
    const QString pfx = newFolder() + "/signer.pfx";
    QVERIFY(writePkcs12(pfx, m_signer, QStringLiteral("pw")));
    RunResult run = signtool({"sign", "/f", pfx, "/p", "pw", "/fd", "sha256", catalog}, environment());
    QVERIFY2(run.ok(), qPrintable(run.output));
    run = verify({"/c", catalog}, {m_app, m_readme});
    QVERIFY2(run.ok(), qPrintable(run.output));
    run = verify({"/c", catalog, "/o", "2:10.0"}, {m_other});
    QCOMPARE(run.exitCode, 1);
}

void TestSignToolCatalog::hashChoosesTheLookup()
{
    const QString sha1 = writeCatalog(QStringLiteral("sha1.cat"), &m_signer, Algorithm::Sha1);
    const QString sha256 = writeCatalog(QStringLiteral("sha256.cat"), &m_signer, Algorithm::Sha256);
    QVERIFY(verify({"/c", sha1}, {m_app, m_readme}).ok());
    RunResult run = verify({"/hash", "SHA1", "/c", sha1}, {m_app});
    QVERIFY2(run.ok(), qPrintable(run.output));
    run = verify({"/hash", "sha256", "/c", sha1}, {m_app});
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.output.contains("it does not list its SHA256 hash."), qPrintable(run.output));
    run = verify({"/hash", "SHA1", "/c", sha256}, {m_readme});
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.output.contains("it does not list its SHA1 hash."), qPrintable(run.output));
    QVERIFY(verify({"/hash", "SHA256", "/c", sha256}, {m_readme}).ok());
}

void TestSignToolCatalog::osVersionMustBeNamed()
{
    const QString catalog = writeCatalog(QStringLiteral("os.cat"), &m_signer);
    RunResult run = verify({"/o", "2:6.1", "/c", catalog}, {m_app});
    QVERIFY2(run.ok(), qPrintable(run.output));
    run = verify({"/o", "2:10.0.19045", "/c", catalog}, {m_app});
    QVERIFY2(run.ok(), qPrintable(run.output));
    run = verify({"/o", "2:6.0", "/c", catalog}, {m_app});
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.output.contains(m_app + " is listed in the catalog " + catalog
                                 + ", which is not meant for Windows version 2:6.0 (/o): it names 2:6.1,2:10.0."),
             qPrintable(run.output));
    run = verify({"/o", "1:6.1", "/c", catalog}, {m_app});
    QCOMPARE(run.exitCode, 1);

    const QString noOs = writeCatalog(QStringLiteral("noos.cat"), &m_signer, Algorithm::Sha256, QString());
    QVERIFY(verify({"/c", noOs}, {m_app}).ok());
    run = verify({"/o", "2:10.0", "/c", noOs}, {m_app});
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.output.contains("which names no Windows version (no OSAttr)"), qPrintable(run.output));

    run = verify({"/o", "Windows10", "/c", catalog}, {m_app});
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.output.contains("The value of /o is not a Windows version"), qPrintable(run.output));
}

void TestSignToolCatalog::catalogSignatureIsJudged()
{
    const QString tls = writeCatalog(QStringLiteral("tls.cat"), &m_tls);
    RunResult run = verify({"/c", tls}, {m_app});
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.output.contains(m_app + " is listed in the catalog " + tls + ", but the catalog is not validly "
                                 "signed:"),
             qPrintable(run.output));
    QVERIFY2(run.output.contains("code signing"), qPrintable(run.output));

    const QString stranger = writeCatalog(QStringLiteral("stranger.cat"), &m_stranger);
    run = verify({"/c", stranger}, {m_readme});
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.output.contains("does not chain to a trusted root"), qPrintable(run.output));

    const QString unsignedCatalog = writeCatalog(QStringLiteral("unsigned.cat"), nullptr);
    run = verify({"/c", unsignedCatalog}, {m_readme});
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.output.contains("the catalog is not validly signed: its signature is damaged (it carries no "
                                 "signature)"),
             qPrintable(run.output));

    // A member's hash changed after signing: the list no longer matches
    // its signature, whatever it lists now.
    const QString good = writeCatalog(QStringLiteral("tampered.cat"), &m_signer);
    QByteArray bytes = fileBytes(good);
    const QByteArray readmeTag = flatHash(fileBytes(m_readme), QCryptographicHash::Sha256).toHex().toUpper();
    QByteArray wideTag;
    for (char c : readmeTag)
        wideTag += QByteArray(1, c) + QByteArray(1, '\0');
    const int at = int(bytes.indexOf(wideTag));
    QVERIFY(at > 0);
    bytes[at + 2 * 63] = bytes[at + 2 * 63] == 'A' ? 'B' : 'A'; // the tag's last digit
    QVERIFY(writeBytes(good, bytes));
    run = verify({"/c", good}, {m_app});
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.output.contains("its signature is invalid"), qPrintable(run.output));

    // Not a catalog at all.
    run = verify({"/c", m_app}, {m_readme});
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.output.contains(m_readme + " cannot be verified: " + m_app + " is not a catalog file: it is not a "
                                 "PKCS#7 signed file."),
             qPrintable(run.output));
    run = verify({"/c", m_folder + "/missing.cat"}, {m_readme});
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.output.contains("missing.cat is not a catalog file: it does not exist."), qPrintable(run.output));
}

// The catalog's signer is judged at the time its verified time stamp
// vouches for, as an embedded signature's is: a signer that was not valid
// yet when the catalog was stamped fails even once it has become valid.
void TestSignToolCatalog::signerJudgedAtTheStampsTime()
{
    const KeyAndCert root = issue(nullptr, QStringLiteral("Catalog Test Root"), Purpose::Authority);
    const KeyAndCert early = issue(&root, QStringLiteral("Early Catalog Signer"), Purpose::CodeSigning, 4);
    const KeyAndCert tsa = issue(&root, QStringLiteral("Catalog Time Stamps"), Purpose::TimeStamping);
    const KeyAndCert signer = issue(&root, QStringLiteral("Stamped Catalog Signer"), Purpose::CodeSigning);
    QVERIFY(!root.isNull() && !early.isNull() && !tsa.isNull() && !signer.isNull());
    const QString keys = newFolder();
    const QString store = newFolder();
    QVERIFY(writePkcs12(store + "/root.pfx", root));
    QVERIFY(writeCertificatePem(keys + "/root.pem", root));
    QVERIFY(writeCertificatePem(keys + "/tsa.pem", tsa));
    QVERIFY(writePrivateKeyPem(keys + "/tsa.key", tsa));
    TsaServer server(QStringLiteral("rfc3161"), keys + "/tsa.pem", keys + "/tsa.key", QString());
    QVERIFY(!server.url().isEmpty());

    const QString stampedEarly = writeCatalog(QStringLiteral("early-stamped.cat"), &early);
    const QString bareEarly = writeCatalog(QStringLiteral("early.cat"), &early);
    const QString stamped = writeCatalog(QStringLiteral("stamped.cat"), &signer);
    for (const QString &catalog : {stampedEarly, stamped}) {
        const RunResult add = runProgram(QStringLiteral("osslsigncode"),
                                         {"add", "-ts", server.url(), "-in", catalog, "-out", catalog + ".ts"});
        QVERIFY2(add.ok(), qPrintable(add.output));
        QVERIFY(QFile::remove(catalog) && QFile::rename(catalog + ".ts", catalog));
    }
    QProcessEnvironment env = environment();
    env.insert(QStringLiteral("QUILLMARK_CERT_STORE"), store);

    RunResult run = signtool({"verify", "/pa", "/v", "/c", stamped, m_app}, env);
    QVERIFY2(run.ok(), qPrintable(run.output));
    QVERIFY2(run.output.contains(QLatin1String("Time stamp: RFC 3161")), qPrintable(run.output));

    const QDateTime valid = QDateTime::currentDateTimeUtc().addSecs(6);
    while (QDateTime::currentDateTimeUtc() < valid)
        QThread::msleep(250);
    run = signtool({"verify", "/pa", "/c", bareEarly, m_app}, env);
    QVERIFY2(run.ok(), qPrintable(run.output));
    run = signtool({"verify", "/pa", "/c", stampedEarly, m_app}, env);
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.output.contains(m_app + " is listed in the catalog " + stampedEarly + ", but the catalog is not "
                                 "validly signed: its certificate was not yet valid at the time its time stamp "
                                 "vouches for"),
             qPrintable(run.output));
}

// Every cut of a catalog is refused with a reason (AddressSanitizer builds
// catch a read past its end), and so is every single byte changed in its
// list's structure.
void TestSignToolCatalog::damagedCatalogsAreRefusedNeverOverread()
{
    const Bytes list = trustList({{QByteArray(32, 'x'), QStringLiteral("a.txt"), false, Algorithm::Sha256}},
                                 QStringLiteral("2:10.0"));
    const std::string whole = catalogFile(list, &m_signer).toStdString();
    std::string problem;
    QVERIFY(signtool::parseCatalog(whole, problem));
    for (size_t cut = 0; cut < whole.size(); ++cut) {
        problem.clear();
        const auto parsed = signtool::parseCatalog(whole.substr(0, cut), problem);
        QVERIFY2(!parsed && !problem.empty(), qPrintable(QStringLiteral("cut at %1").arg(cut)));
    }
    // The list alone, its bytes changed one at a time: read or refused, and
    // a member read always holds what was there.
    for (size_t i = 0; i < list.size(); ++i) {
        Bytes changed = list;
        changed[i] ^= 0xFF;
        const std::string der = catalogFile(changed, nullptr).toStdString();
        if (der.empty())
            continue; // OpenSSL itself would not write it
        problem.clear();
        const auto parsed = signtool::parseCatalog(der, problem);
        QVERIFY2(parsed || !problem.empty(), qPrintable(QStringLiteral("byte %1").arg(i)));
    }
}

void TestSignToolCatalog::databaseAddRemoveAndSearch()
{
    const QString database = newFolder() + "/catroot";
    const QString catalog = writeCatalog(QStringLiteral("product.cat"), &m_signer);

    // Nothing there yet.
    RunResult run = verify({"/as"}, {m_app}, database);
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.output.contains(m_app + " is not a member of any catalog of the catalog database " + database + "/"
                                 + kSystemGuid),
             qPrintable(run.output));

    // By default catdb adds to the system component database.
    run = catdb({"/v", catalog}, database);
    QVERIFY2(run.ok(), qPrintable(run.output));
    QVERIFY(run.output.contains("Successfully added: " + catalog));
    QVERIFY(QFileInfo::exists(database + "/" + kSystemGuid + "/product.cat"));
    QCOMPARE(fileBytes(database + "/" + kSystemGuid + "/product.cat"), fileBytes(catalog));
    QCOMPARE(entries(database + "/" + kSystemGuid), QStringList{"product.cat"}); // no temporary left

    run = verify({"/as"}, {m_app, m_readme}, database);
    QVERIFY2(run.ok(), qPrintable(run.output));
    run = verify({"/ad"}, {m_app}, database);
    QCOMPARE(run.exitCode, 1);
    // /a: an unsigned file is vouched for by a catalog of any database.
    run = verify({"/a"}, {m_app}, database);
    QVERIFY2(run.ok(), qPrintable(run.output));
    const QString stray = newFolder() + "/stray.exe";
    QVERIFY(writePeFile(stray, 8));
    run = verify({"/a"}, {stray}, database);
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.output.contains(stray + " is not validly signed: it carries no signature."), qPrintable(run.output));
    // A file of no signed format is vouched for all the same.
    run = verify({"/a"}, {m_readme}, database);
    QVERIFY2(run.ok(), qPrintable(run.output));
    // Without /a the embedded signature alone decides.
    run = verify({}, {m_app}, database);
    QCOMPARE(run.exitCode, 1);

    // /d: the default database.
    run = catdb({"/d", catalog}, database);
    QVERIFY2(run.ok(), qPrintable(run.output));
    QVERIFY(verify({"/ad", "/o", "2:10.0"}, {m_app}, database).ok());
    run = catdb({"/d", "/r", "product.cat"}, database);
    QVERIFY2(run.ok(), qPrintable(run.output));
    QVERIFY(run.output.contains("Successfully removed: product.cat"));
    QVERIFY(!QFileInfo::exists(database + "/" + kDefaultGuid + "/product.cat"));
    QCOMPARE(verify({"/ad"}, {m_app}, database).exitCode, 1);
    QVERIFY(verify({"/as"}, {m_app}, database).ok()); // the other database keeps its copy
    run = catdb({"/d", "/r", "product.cat"}, database);
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.output.contains("The catalog product.cat cannot be removed: it is not in the catalog database"),
             qPrintable(run.output));

    // A file that is not a catalog is refused and nothing is stored.
    run = catdb({"/d", m_readme}, database);
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.output.contains(m_readme + " is not a catalog file: it is not a PKCS#7 signed file."),
             qPrintable(run.output));
    QVERIFY(entries(database + "/" + kDefaultGuid).isEmpty());

    // A catalog whose signature fails does not vouch for its members.
    const QString stranger = writeCatalog(QStringLiteral("stranger.cat"), &m_stranger);
    QVERIFY(catdb({"/d", stranger}, database).ok());
    run = verify({"/ad"}, {m_app}, database);
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.output.contains("but the catalog is not validly signed"), qPrintable(run.output));
}

void TestSignToolCatalog::uniqueNamesAndGuids()
{
    const QString database = newFolder() + "/catroot";
    const QString first = writeCatalog(QStringLiteral("driver.cat"), &m_signer, Algorithm::Sha1);
    const QString second = writeCatalog(QStringLiteral("driver.cat"), &m_signer, Algorithm::Sha256);
    const QString guid = QStringLiteral("{0A1B2C3D-0000-1111-2222-333344445555}");
    QVERIFY(catdb({"/g", "0a1b2c3d-0000-1111-2222-333344445555", first}, database).ok());
    // Without /u a catalog of the same name is replaced ...
    QVERIFY(catdb({"/g", guid, second}, database).ok());
    QCOMPARE(entries(database + "/" + guid), QStringList{"driver.cat"});
    QCOMPARE(fileBytes(database + "/" + guid + "/driver.cat"), fileBytes(second));
    // ... with /u it gets a name of its own.
    RunResult run = catdb({"/v", "/u", "/g", guid, first}, database);
    QVERIFY2(run.ok(), qPrintable(run.output));
    const QStringList names = entries(database + "/" + guid);
    QCOMPARE(names.size(), 2);
    QVERIFY2(names.filter(QRegularExpression(QStringLiteral("^driver_[0-9a-f]{8}\\.cat$"))).size() == 1,
             qPrintable(names.join(',')));

    QVERIFY(verify({"/ag", guid, "/hash", "SHA1"}, {m_app}, database).ok());
    QVERIFY(verify({"/ag", guid.toLower(), "/hash", "SHA256"}, {m_app}, database).ok());
    run = verify({"/ag", "{00000000-0000-0000-0000-000000000000}"}, {m_app}, database);
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.output.contains("does not exist"), qPrintable(run.output));
    run = catdb({"/g", "not-a-guid", first}, database);
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.output.contains("The value of /g is not a GUID"), qPrintable(run.output));
}

// Run as root, the database decides what verifies: one that another user
// could change is not used, and neither is a catalog of another user's.
void TestSignToolCatalog::databaseOfAnotherUserIsRefusedToRoot()
{
    if (geteuid() != 0)
        QSKIP("the trusted-path rule applies to root only");
    const QString database = newFolder() + "/catroot";
    const QString catalog = writeCatalog(QStringLiteral("root.cat"), &m_signer);
    QVERIFY(catdb({catalog}, database).ok());
    QVERIFY(verify({"/as"}, {m_app}, database).ok());

    QVERIFY(chmod(QFile::encodeName(database).constData(), 0777) == 0);
    RunResult run = verify({"/as"}, {m_app}, database);
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.output.contains("the catalog database is not used: " + database + " is writable by every user"),
             qPrintable(run.output));
    run = catdb({catalog}, database);
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.output.contains("The catalog database " + database + " is not used"), qPrintable(run.output));
    QVERIFY(chmod(QFile::encodeName(database).constData(), 0755) == 0);

    const QString stored = database + "/" + kSystemGuid + "/root.cat";
    QVERIFY(chown(QFile::encodeName(stored).constData(), 65534, 65534) == 0);
    run = verify({"/as"}, {m_app}, database);
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.output.contains("a catalog is not used: " + stored + " is owned by user"), qPrintable(run.output));

    // A link planted in the database is not followed.
    QVERIFY(QFile::remove(stored));
    QVERIFY(QFile::link(catalog, stored));
    run = verify({"/as"}, {m_app}, database);
    QCOMPARE(run.exitCode, 1);
}

void TestSignToolCatalog::switchesParse()
{
    using signtool::parseSignArgs;
    auto parse = [](const QStringList &words) {
        std::vector<std::string> argv;
        for (const QString &word : words)
            argv.push_back(word.toStdString());
        return parseSignArgs(argv);
    };
    auto parsed = parse({"verify", "/pa", "/c", "x.cat", "/o", "2:6.1", "/hash", "Sha1", "f"});
    QVERIFY2(parsed.args, parsed.error.c_str());
    QCOMPARE(QString::fromStdString(parsed.args->catalogFile.value_or("")), QStringLiteral("x.cat"));
    QCOMPARE(QString::fromStdString(parsed.args->catalogHash), QStringLiteral("sha1"));
    parsed = parse({"verify", "/pa", "/ag", "{f750e6c3-38ee-11d1-85e5-00c04fc295ee}", "f"});
    QVERIFY2(parsed.args, parsed.error.c_str());
    QCOMPARE(QString::fromStdString(parsed.args->catalogGuid), QString::fromLatin1(kSystemGuid));
    QVERIFY(parsed.args->catalogSearch == signtool::CatalogSearch::Guid);
    parsed = parse({"catdb", "/d", "/r", "/u", "x.cat"});
    QVERIFY2(parsed.args, parsed.error.c_str());
    QVERIFY(parsed.args->verb == signtool::Verb::CatDb && parsed.args->defaultDatabase
            && parsed.args->removeCatalogs && parsed.args->uniqueNames);

    const QList<QPair<QStringList, QString>> refused{
        {{"verify", "/pa", "/c", "x.cat", "/ad", "f"}, "cannot be combined with /a, /ad, /as or /ag"},
        {{"verify", "/pa", "/o", "2:6.1", "f"}, "The option /o needs a catalog"},
        {{"verify", "/pa", "/hash", "SHA1", "f"}, "The option /hash needs a catalog"},
        {{"verify", "/pa", "/hash", "MD5", "/c", "x.cat", "f"}, "The value of /hash must be SHA1 or SHA256"},
        {{"verify", "/pa", "/ds", "1", "/c", "x.cat", "f"}, "/ds judges embedded signatures"},
        {{"catdb", "/d", "/g", "{F750E6C3-38EE-11D1-85E5-00C04FC295EE}", "x.cat"}, "/d and /g cannot be combined"},
        {{"catdb", "/v"}, "No catalog files to add were given."},
        {{"catdb", "/x", "a.cat"}, "Unknown option: /x"},
    };
    for (const auto &[words, message] : refused) {
        parsed = parse(words);
        QVERIFY2(!parsed.args, qPrintable(words.join(' ')));
        QVERIFY2(QString::fromStdString(parsed.error).contains(message),
                 qPrintable(words.join(' ') + ": " + QString::fromStdString(parsed.error)));
    }

    // sign's /c is the certificate template, never a catalog.
    parsed = parse({"sign", "/c", "tmpl", "f"});
    QVERIFY(parsed.args);
    QCOMPARE(parsed.args->templateName.value_or(std::string()), std::string("tmpl"));
    QVERIFY(!parsed.args->catalogFile);

    QVERIFY(signtool::osAttrNames("2:5.00,2:5.1, 2:6.0", *signtool::parseOsVersion("2:5.0")));
    QVERIFY(signtool::osAttrNames("2:5.00,2:5.1, 2:6.0", *signtool::parseOsVersion("2:6.0.6000")));
    QVERIFY(!signtool::osAttrNames("2:5.00,2:5.1", *signtool::parseOsVersion("2:5.2")));
    QVERIFY(!signtool::parseOsVersion("2:6"));
    QVERIFY(!signtool::parseOsVersion("2:6.1."));
    QVERIFY(!signtool::parseOsVersion(":6.1"));
    QCOMPARE(QString::fromStdString(signtool::normalizedGuid("x")), QString());
}

QTEST_GUILESS_MAIN(TestSignToolCatalog)
#include "tst_signtool_catalog.moc"
