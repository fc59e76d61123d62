// signtool.exe signing in steps (sign /dg, /ds, /di, /dxml: a digest signed
// by a key elsewhere, then embedded) and PKCS#7 signatures of any file
// (sign /p7 /p7co /p7ce, verify /p7). Each signed program file is judged by
// osslsigncode, by the tool's own verify and by check_authenticode.py; each
// PKCS#7 file by "openssl cms -verify" and by verify /p7.

#include "support/SignToolFixture.h"
#include "support/TestData.h"
#include "support/TsaServer.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>

using namespace testdata;

namespace {

const QString kPython = QStringLiteral("/usr/bin/python3");
const QString kCiPolicyOid = QStringLiteral("1.3.6.1.4.1.311.79.1");

RunResult independentCheck(const QString &file, const QStringList &expectations)
{
    return runProgram(kPython, QStringList{QStringLiteral(QUILLMARK_AUTHENTICODE_CHECKER), file} + expectations);
}

RunResult opensslCmsVerify(const QString &p7, const QString &caPem, const QString &content = {})
{
    QStringList args{"cms", "-verify", "-inform", "DER", "-in", p7, "-CAfile", caPem, "-purpose", "any", "-binary"};
    if (!content.isEmpty())
        args += QStringList{"-content", content};
    return runProgram(QStringLiteral("openssl"), args);
}

} // namespace

class TestSignToolSteps : public QObject, private SignToolFixture {
    Q_OBJECT

private:
    const QString m_password = QStringLiteral("steps pass");
    QString m_store; // holds the signer, so that verify trusts it
    QString m_otherPfx; // a key of another certificate
    QString m_tsaPem, m_tsaKey;

    // The three steps: /dg with the certificate alone (no key), /ds with the
    // PFX, /di with no certificate at all.
    RunResult generate(const QString &dir, const QStringList &switches, const QStringList &files)
    {
        return signtool(QStringList{"sign", "/f", m_caPem, "/dg", dir} + switches + files);
    }
    RunResult signDigest(const QString &pfx, const QStringList &switches, const QStringList &digFiles)
    {
        return signtool(QStringList{"sign", "/f", pfx, "/p", m_password, "/ds"} + switches + digFiles);
    }
    RunResult ingest(const QString &dir, const QStringList &switches, const QStringList &files)
    {
        return signtool(QStringList{"sign", "/di", dir} + switches + files);
    }

    void judgedGood(const QString &file, const QStringList &expectations)
    {
        const RunResult ossl = verifySignature(file, m_caPem);
        QVERIFY2(ossl.ok(), qPrintable(ossl.output));
        const RunResult own = signtool({"verify", "/pa", file}, storeEnvironment(m_store));
        QVERIFY2(own.ok(), qPrintable(own.output));
        const RunResult independent = independentCheck(file, expectations);
        QVERIFY2(independent.ok(), qPrintable(independent.output));
    }

private slots:
    void initTestCase();
    void threeStepsMakeAGoodSignature_data();
    void threeStepsMakeAGoodSignature();
    void digestSignedByAnotherKeyIsRefused();
    void fileChangedBetweenStepsIsRefused();
    void timeStampIsAddedWhenSignatureIsPutIn();
    void linksInTheDigestFolderAreNeverFollowed();
    void otherFormatsAreRefusedWithAReason();
    void stepSwitchesCombineOnlyAsDocumented();
    void pkcs7EmbeddedCarriesContentAndType();
    void pkcs7DetachedFormsLeaveContentOut();
    void pkcs7TamperedOrUntrustedIsRefused();
    void pkcs7IsTimeStamped_data();
    void pkcs7IsTimeStamped();
    void existingPkcs7IsTimeStampedInItsForm();
};

void TestSignToolSteps::initTestCase()
{
    QVERIFY(m_root.isValid());
    QVERIFY2(QFileInfo(sdkToolPath(QStringLiteral("signtool.exe"))).isExecutable(), "signtool.exe not built");
    const RunResult modules = runProgram(kPython, {"-c", "import pefile, asn1crypto"});
    QVERIFY2(modules.ok(), "python3-pefile and python3-asn1crypto are needed (scripts/install-deps.sh)");
    QVERIFY(useSigner(certificate(QStringLiteral("Quillmark Steps Signing"), 365), m_password));
    m_store = newFolder();
    QVERIFY(writePkcs12(m_store + "/signer.pfx", m_cert));
    m_otherPfx = m_root.filePath(QStringLiteral("other.pfx"));
    QVERIFY(writePkcs12(m_otherPfx, certificate(QStringLiteral("Quillmark Steps Other"), 365), m_password));
    const KeyAndCert tsa = certificate(QStringLiteral("Quillmark Steps Time Stamping"), 365, Usage::TimeStamping);
    m_tsaPem = m_root.filePath(QStringLiteral("tsa.pem"));
    m_tsaKey = m_root.filePath(QStringLiteral("tsa.key"));
    QVERIFY(writeCertificatePem(m_tsaPem, tsa) && writePrivateKeyPem(m_tsaKey, tsa));
}

void TestSignToolSteps::threeStepsMakeAGoodSignature_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("digest");
    QTest::addColumn<bool>("xml");
    QTest::newRow("PE32 sha256") << int(PeKind::Pe32) << "sha256" << false;
    QTest::newRow("PE32+ sha384 /dxml") << int(PeKind::Pe32Plus) << "sha384" << true;
    QTest::newRow("PE32 sha512") << int(PeKind::Pe32) << "sha512" << false;
}

void TestSignToolSteps::threeStepsMakeAGoodSignature()
{
    QFETCH(int, kind);
    QFETCH(QString, digest);
    QFETCH(bool, xml);
    const QString folder = newFolder(), steps = newFolder();
    const QString file = folder + "/app.exe", second = folder + "/tool.dll";
    QVERIFY(writeBytes(file, peFileBytes(21, PeKind(kind))));
    QVERIFY(writeBytes(second, peFileBytes(22, PeKind(kind))));
    const QByteArray before = fileBytes(file);

    QStringList switches{"/fd", digest, "/d", "Steps Test", "/du", "https://example.invalid/steps"};
    if (xml)
        switches << "/dxml";
    RunResult run = generate(steps, switches, {file, second});
    QVERIFY2(run.ok(), qPrintable(run.output));
    QVERIFY2(run.output.contains("Successfully generated the digest to sign: " + file), qPrintable(run.output));
    QCOMPARE(fileBytes(file), before); // /dg leaves the file as it is
    const QByteArray dig = QByteArray::fromBase64(fileBytes(steps + "/app.exe.dig").trimmed());
    const int size = digest == "sha256" ? 32 : digest == "sha384" ? 48 : 64;
    QCOMPARE(dig.size(), size);
    QVERIFY(QFileInfo(steps + "/app.exe.p7u").size() > 0);
    QCOMPARE(QFileInfo::exists(steps + "/app.exe.dig.xml"), xml);
    if (xml)
        QVERIFY2(fileBytes(steps + "/app.exe.dig.xml").contains("<Digest>" + dig.toBase64() + "</Digest>"),
                 "the XML form holds another digest than the .dig file");

    // The digest is the one the key signs: /ds with the signer's PFX. The
    // XML form signs the same way.
    const QString digFile = steps + (xml ? "/app.exe.dig.xml" : "/app.exe.dig");
    run = signDigest(m_pfx, {"/fd", digest}, {digFile, steps + "/tool.dll.dig"});
    QVERIFY2(run.ok(), qPrintable(run.output));
    if (xml)
        QVERIFY(QFile::rename(steps + "/app.exe.dig.xml.signed", steps + "/app.exe.dig.signed"));
    QVERIFY(QFileInfo::exists(steps + "/app.exe.dig.signed"));

    run = ingest(steps, {}, {file, second});
    QVERIFY2(run.ok(), qPrintable(run.output));
    QVERIFY2(run.output.contains("Successfully signed: " + file), qPrintable(run.output));
    judgedGood(file, {"--signatures", "1", "--digest", digest, "--description", "Steps Test", "--url",
                      "https://example.invalid/steps"});
    judgedGood(second, {"--signatures", "1", "--digest", digest});
}

void TestSignToolSteps::digestSignedByAnotherKeyIsRefused()
{
    const QString folder = newFolder(), steps = newFolder();
    const QString file = folder + "/app.exe";
    QVERIFY(writeBytes(file, peFileBytes(23, PeKind::Pe32)));
    QVERIFY(generate(steps, {"/fd", "sha256"}, {file}).ok());
    QVERIFY(signDigest(m_otherPfx, {"/fd", "sha256"}, {steps + "/app.exe.dig"}).ok());
    const QByteArray before = fileBytes(file);
    const RunResult run = ingest(steps, {}, {file});
    QVERIFY(!run.ok());
    QVERIFY2(run.output.contains("Cannot sign " + file + ": the signature in " + steps
                                 + "/app.exe.dig.signed was not made by the key of the certificate"),
             qPrintable(run.output));
    QCOMPARE(fileBytes(file), before);

    // A digest of another algorithm than /fd says is refused by /ds.
    const RunResult mismatch = signDigest(m_pfx, {"/fd", "sha512"}, {steps + "/app.exe.dig"});
    QVERIFY(!mismatch.ok());
    QVERIFY2(mismatch.output.contains("holds a digest of 32 bytes, not one of SHA512"), qPrintable(mismatch.output));
}

void TestSignToolSteps::fileChangedBetweenStepsIsRefused()
{
    const QString folder = newFolder(), steps = newFolder();
    const QString file = folder + "/changed.exe";
    QVERIFY(writeBytes(file, peFileBytes(24, PeKind::Pe32Plus)));
    QVERIFY(generate(steps, {"/fd", "sha256"}, {file}).ok());
    QVERIFY(signDigest(m_pfx, {"/fd", "sha256"}, {steps + "/changed.exe.dig"}).ok());
    QByteArray changed = fileBytes(file);
    changed[changed.size() - 9] = char(changed[changed.size() - 9] ^ 0x5A);
    QVERIFY(writeBytes(file, changed));
    const RunResult run = ingest(steps, {}, {file});
    QVERIFY(!run.ok());
    QVERIFY2(run.output.contains("Signing " + file + " failed: the file changed after its digest was made with /dg"),
             qPrintable(run.output));
    QCOMPARE(fileBytes(file), changed);
    QVERIFY2(!run.output.contains("Successfully"), qPrintable(run.output));
}

void TestSignToolSteps::timeStampIsAddedWhenSignatureIsPutIn()
{
    TsaServer server(QStringLiteral("rfc3161"), m_tsaPem, m_tsaKey, QString());
    QVERIFY2(!server.url().isEmpty(), "the time-stamp server did not start");
    const QString folder = newFolder(), steps = newFolder();
    const QString file = folder + "/stamped.exe";
    QVERIFY(writeBytes(file, peFileBytes(25, PeKind::Pe32)));
    QVERIFY(generate(steps, {"/fd", "sha256"}, {file}).ok());
    QVERIFY(signDigest(m_pfx, {"/fd", "sha256"}, {steps + "/stamped.exe.dig"}).ok());
    const RunResult run = ingest(steps, {"/tr", server.url(), "/td", "sha256"}, {file});
    QVERIFY2(run.ok(), qPrintable(run.output));
    const RunResult ossl = runProgram(QStringLiteral("osslsigncode"),
                                      {"verify", "-in", file, "-CAfile", m_caPem, "-TSA-CAfile", m_tsaPem});
    QVERIFY2(ossl.output.contains(QLatin1String("Timestamp Server Signature verification: ok")),
             qPrintable(ossl.output));
    const RunResult independent = independentCheck(file, {"--signatures", "1", "--stamped", "rfc3161"});
    QVERIFY2(independent.ok(), qPrintable(independent.output));
    // A time stamp with /dg has no signature to stamp yet.
    const RunResult early = generate(steps, {"/fd", "sha256", "/tr", server.url()}, {file});
    QVERIFY(!early.ok());
    QVERIFY2(early.output.contains("give /t or /tr with /di"), qPrintable(early.output));
}

void TestSignToolSteps::linksInTheDigestFolderAreNeverFollowed()
{
    const QString folder = newFolder(), steps = newFolder();
    const QString file = folder + "/linked.exe";
    QVERIFY(writeBytes(file, peFileBytes(26, PeKind::Pe32)));
    // A link planted where /dg writes: it is replaced, its target untouched.
    const QString victim = newFolder() + "/victim.txt";
    QVERIFY(writeBytes(victim, "keep me"));
    QVERIFY(QFile::link(victim, steps + "/linked.exe.dig"));
    QVERIFY(generate(steps, {"/fd", "sha256"}, {file}).ok());
    QCOMPARE(fileBytes(victim), QByteArray("keep me"));
    QVERIFY(!QFileInfo(steps + "/linked.exe.dig").isSymLink());
    QVERIFY(signDigest(m_pfx, {"/fd", "sha256"}, {steps + "/linked.exe.dig"}).ok());
    // A .p7u that is a link is not read.
    const QString elsewhere = newFolder() + "/linked.exe.p7u";
    QVERIFY(QFile::rename(steps + "/linked.exe.p7u", elsewhere));
    QVERIFY(QFile::link(elsewhere, steps + "/linked.exe.p7u"));
    const QByteArray before = fileBytes(file);
    const RunResult run = ingest(steps, {}, {file});
    QVERIFY(!run.ok());
    QVERIFY2(run.output.contains("linked.exe.p7u cannot be read (it is a symbolic link"), qPrintable(run.output));
    QCOMPARE(fileBytes(file), before);
}

void TestSignToolSteps::otherFormatsAreRefusedWithAReason()
{
    const QString folder = newFolder(), steps = newFolder();
    const QString script = folder + "/setup.ps1";
    QVERIFY(writeBytes(script, "Write-Host 'hello'\r\n"));
    const RunResult run = generate(steps, {"/fd", "sha256"}, {script});
    QVERIFY(!run.ok());
    QVERIFY2(run.output.contains("Cannot sign " + script + " in steps (/dg): only program files can be"),
             qPrintable(run.output));
    QVERIFY(QDir(steps).entryList(QDir::Files | QDir::Hidden).isEmpty());
}

void TestSignToolSteps::stepSwitchesCombineOnlyAsDocumented()
{
    const QString file = newFolder() + "/app.exe";
    QVERIFY(writeBytes(file, peFileBytes(27, PeKind::Pe32)));
    const struct {
        QStringList args;
        QString message;
    } cases[] = {
        {{"sign", "/f", m_pfx, "/p", m_password, "/dg", "x", "/as", file}, "/as and /ph cannot be combined"},
        {{"sign", "/dg", "x", "/di", "y", file}, "/dg, /ds, /di and /p7 cannot be combined"},
        {{"sign", "/di", "x", "/f", m_pfx, file}, "it chooses no certificate"},
        {{"sign", "/f", m_pfx, "/dxml", file}, "/dxml needs /dg"},
        {{"sign", "/f", m_pfx, "/p7co", "1.2.3", file}, "/p7co and /p7ce need /p7"},
        {{"sign", "/f", m_pfx, "/p7", "x", "/p7ce", "Inside", file}, "must be Embedded, DetachedSignedData"},
        {{"verify", "/p7", "/pa", file}, "takes none of /pa"},
        {{"sign", "/f", m_pfx, "/p", m_password, "/ds", "/t", "http://127.0.0.1:9/", file}, "give /t or /tr with /di"},
        {{"timestamp", "/p7", file}, "timestamp needs a time-stamp server"},
    };
    for (const auto &c : cases) {
        const RunResult run = signtool(c.args);
        QVERIFY2(!run.ok(), qPrintable(c.args.join(' ')));
        QVERIFY2(run.output.contains(c.message), qPrintable(c.args.join(' ') + "\n" + run.output));
    }
    // No longer refused: each one is taken.
    for (const char *name : {"/dg", "/di", "/p7"}) {
        const RunResult run = signtool({"sign", QString::fromLatin1(name)});
        QVERIFY2(run.output.contains("Missing value for option " + QString::fromLatin1(name) + ": it needs a folder"),
                 qPrintable(run.output));
    }
}

void TestSignToolSteps::pkcs7EmbeddedCarriesContentAndType()
{
    const QString folder = newFolder(), out = newFolder();
    const QString file = folder + "/policy.bin";
    const QByteArray content("App Control policy \x01\x02\x00 bytes", 30);
    QVERIFY(writeBytes(file, content));
    const RunResult run = signtool({"sign", "/f", m_pfx, "/p", m_password, "/fd", "sha256", "/p7", out, "/p7co",
                                    kCiPolicyOid, file});
    QVERIFY2(run.ok(), qPrintable(run.output));
    const QString p7 = out + "/policy.bin.p7";
    const RunResult cms = opensslCmsVerify(p7, m_caPem);
    QVERIFY2(cms.ok(), qPrintable(cms.output));
    QVERIFY2(cms.output.toLatin1().contains(QByteArray("App Control policy")), qPrintable(cms.output));
    const RunResult printed = runProgram(QStringLiteral("openssl"), {"cms", "-cmsout", "-print", "-inform", "DER",
                                                                      "-in", p7});
    QVERIFY2(printed.output.contains("eContentType: undefined (" + kCiPolicyOid + ")"), qPrintable(printed.output));
    const RunResult own = signtool({"verify", "/p7", "/v", p7}, storeEnvironment(m_store));
    QVERIFY2(own.ok(), qPrintable(own.output));
    QVERIFY2(own.output.contains("Successfully verified: " + p7), qPrintable(own.output));
    // Without /p7co the content is PKCS#7 data.
    QVERIFY(signtool({"sign", "/f", m_pfx, "/p", m_password, "/fd", "sha256", "/p7", out, file}).ok());
    const RunResult plain = runProgram(QStringLiteral("openssl"), {"cms", "-cmsout", "-print", "-inform", "DER",
                                                                    "-in", p7});
    QVERIFY2(plain.output.contains("eContentType: pkcs7-data (1.2.840.113549.1.7.1)"), qPrintable(plain.output));
}

void TestSignToolSteps::pkcs7DetachedFormsLeaveContentOut()
{
    const QString folder = newFolder();
    const QString file = folder + "/notes.txt";
    const QByteArray content("detached content that stays outside\n");
    QVERIFY(writeBytes(file, content));
    const QString p7 = folder + "/notes.txt.p7";
    // A whole PKCS#7 ContentInfo without the content.
    RunResult run = signtool({"sign", "/f", m_pfx, "/p", m_password, "/fd", "sha384", "/p7", folder, "/p7ce",
                              "Pkcs7DetachedSignedData", file});
    QVERIFY2(run.ok(), qPrintable(run.output));
    QVERIFY(!fileBytes(p7).contains(content.left(20)));
    RunResult cms = opensslCmsVerify(p7, m_caPem, file);
    QVERIFY2(cms.ok(), qPrintable(cms.output));
    RunResult own = signtool({"verify", "/p7", p7}, storeEnvironment(m_store));
    QVERIFY2(own.ok(), qPrintable(own.output));
    const QByteArray wholeForm = fileBytes(p7);

    // The bare SignedData: the ContentInfo's inner part.
    run = signtool({"sign", "/f", m_pfx, "/p", m_password, "/fd", "sha384", "/p7", folder, "/p7ce",
                    "DetachedSignedData", file});
    QVERIFY2(run.ok(), qPrintable(run.output));
    const QByteArray bare = fileBytes(p7);
    QVERIFY(!bare.contains(content.left(20)));
    QVERIFY(bare.size() < wholeForm.size());
    // The ContentInfo starts with the signedData type; the bare form with
    // the SignedData's SEQUENCE and its version.
    const QByteArray signedDataOid = QByteArray::fromHex("06092a864886f70d010702");
    QVERIFY(wholeForm.left(8).contains(signedDataOid.left(4)));
    QVERIFY(!bare.left(24).contains(signedDataOid));
    QCOMPARE(quint8(bare.at(0)), quint8(0x30));
    own = signtool({"verify", "/p7", p7}, storeEnvironment(m_store));
    QVERIFY2(own.ok(), qPrintable(own.output));
}

void TestSignToolSteps::pkcs7TamperedOrUntrustedIsRefused()
{
    const QString folder = newFolder();
    const QString file = folder + "/data.txt";
    QVERIFY(writeBytes(file, "the content as signed\n"));
    const QString p7 = folder + "/data.txt.p7";
    QVERIFY(signtool({"sign", "/f", m_pfx, "/p", m_password, "/fd", "sha256", "/p7", folder, file}).ok());
    // Embedded: a byte of the content inside changed.
    QByteArray bytes = fileBytes(p7);
    const int at = bytes.indexOf("as signed");
    QVERIFY(at > 0);
    bytes[at] = 'A';
    QVERIFY(writeBytes(p7, bytes));
    RunResult own = signtool({"verify", "/p7", p7}, storeEnvironment(m_store));
    QVERIFY(!own.ok());
    QVERIFY2(own.output.contains(p7 + " is not validly signed: its digest does not match"), qPrintable(own.output));
    QVERIFY(!opensslCmsVerify(p7, m_caPem).ok());

    // Detached: the file beside it changed after signing.
    QVERIFY(signtool({"sign", "/f", m_pfx, "/p", m_password, "/fd", "sha256", "/p7", folder, "/p7ce",
                      "Pkcs7DetachedSignedData", file})
                .ok());
    QVERIFY(signtool({"verify", "/p7", p7}, storeEnvironment(m_store)).ok());
    QVERIFY(writeBytes(file, "the content, changed\n"));
    own = signtool({"verify", "/p7", p7}, storeEnvironment(m_store));
    QVERIFY(!own.ok());
    QVERIFY2(own.output.contains("its digest does not match"), qPrintable(own.output));
    QVERIFY(!opensslCmsVerify(p7, m_caPem, file).ok());
    // Its content gone: said so.
    QVERIFY(QFile::remove(file));
    own = signtool({"verify", "/p7", p7}, storeEnvironment(m_store));
    QVERIFY2(own.output.contains("the file it signs, " + file + ", cannot be opened"), qPrintable(own.output));

    // A signer the store does not hold: the same trust rules as /pa.
    QVERIFY(writeBytes(file, "content\n"));
    QVERIFY(signtool({"sign", "/f", m_otherPfx, "/p", m_password, "/fd", "sha256", "/p7", folder, file}).ok());
    own = signtool({"verify", "/p7", p7}, storeEnvironment(m_store));
    QVERIFY(!own.ok());
    QVERIFY2(own.output.contains("does not chain to a trusted root"), qPrintable(own.output));
}

void TestSignToolSteps::pkcs7IsTimeStamped_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QStringList>("switches"); // the URL follows
    QTest::addColumn<QString>("embedding");
    QTest::addColumn<QString>("shown");
    QTest::newRow("/tr embedded") << "rfc3161" << QStringList{"/td", "sha256", "/tr"} << "Embedded" << "RFC 3161";
    QTest::newRow("/tr detached") << "rfc3161" << QStringList{"/td", "sha384", "/tr"} << "Pkcs7DetachedSignedData"
                                  << "RFC 3161";
    QTest::newRow("/t") << "authenticode" << QStringList{"/t"} << "Embedded" << "Authenticode";
}

void TestSignToolSteps::pkcs7IsTimeStamped()
{
    QFETCH(QString, mode);
    QFETCH(QStringList, switches);
    QFETCH(QString, embedding);
    QFETCH(QString, shown);
    TsaServer server(mode, m_tsaPem, m_tsaKey, QString());
    QVERIFY2(!server.url().isEmpty(), "the time-stamp server did not start");
    const QString folder = newFolder();
    const QString file = folder + "/policy.bin";
    QVERIFY(writeBytes(file, "stamped policy\n"));
    const RunResult run = signtool(QStringList{"sign", "/f", m_pfx, "/p", m_password, "/fd", "sha256", "/p7", folder,
                                               "/p7ce", embedding}
                                   + switches + QStringList{server.url(), file});
    QVERIFY2(run.ok(), qPrintable(run.output));
    const QString p7 = folder + "/policy.bin.p7";
    const RunResult cms = opensslCmsVerify(p7, m_caPem, embedding == "Embedded" ? QString() : file);
    QVERIFY2(cms.ok(), qPrintable(cms.output));
    // The tool's verify reads the stamp: imprint and token signature hold;
    // its self-signed server is trusted by no store (which holds code
    // signing certificates only), and that alone is what it says.
    const RunResult own = signtool({"verify", "/p7", "/v", p7}, storeEnvironment(m_store));
    QVERIFY2(own.output.contains("Time stamp: " + shown), qPrintable(own.output));
    QVERIFY2(own.output.contains("its time stamp cannot be verified (its signer is not trusted: self-signed "
                                 "certificate)"),
             qPrintable(own.output));
    // A server that does not answer: nothing is written.
    QVERIFY(QFile::remove(p7));
    const RunResult silent = signtool(QStringList{"sign", "/f", m_pfx, "/p", m_password, "/fd", "sha256", "/p7",
                                                  folder, "/tr", "http://127.0.0.1:9/tsa", "/td", "sha256", file});
    QVERIFY(!silent.ok());
    QVERIFY(!QFile::exists(p7));
}

void TestSignToolSteps::existingPkcs7IsTimeStampedInItsForm()
{
    TsaServer server(QStringLiteral("rfc3161"), m_tsaPem, m_tsaKey, QString());
    QVERIFY2(!server.url().isEmpty(), "the time-stamp server did not start");
    const QString folder = newFolder();
    const QString file = folder + "/later.bin";
    QVERIFY(writeBytes(file, "stamped afterwards\n"));
    const QString p7 = folder + "/later.bin.p7";
    QVERIFY(signtool({"sign", "/f", m_pfx, "/p", m_password, "/fd", "sha256", "/p7", folder, "/p7ce",
                      "DetachedSignedData", file})
                .ok());
    QVERIFY(QFile::setPermissions(p7, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup));
    const RunResult run = signtool({"timestamp", "/p7", "/tr", server.url(), "/td", "sha256", p7});
    QVERIFY2(run.ok(), qPrintable(run.output));
    QVERIFY2(run.output.contains("Successfully timestamped: " + p7), qPrintable(run.output));
    const QByteArray stamped = fileBytes(p7);
    const QByteArray signedDataOid = QByteArray::fromHex("06092a864886f70d010702");
    QVERIFY2(!stamped.left(24).contains(signedDataOid), "the bare SignedData became a ContentInfo");
    QCOMPARE(QFileInfo(p7).permissions() & (QFile::ReadGroup | QFile::ReadOther),
             QFileDevice::Permissions(QFile::ReadGroup));
    const RunResult own = signtool({"verify", "/p7", "/v", p7}, storeEnvironment(m_store));
    QVERIFY2(own.output.contains("Time stamp: RFC 3161"), qPrintable(own.output));
    QVERIFY2(!own.output.contains("digest does not match") && !own.output.contains("signature is invalid"),
             qPrintable(own.output));
    // A second stamp is refused, the file kept.
    const RunResult again = signtool({"timestamp", "/p7", "/tr", server.url(), "/td", "sha256", p7});
    QVERIFY(!again.ok());
    QVERIFY2(again.output.contains("already carries unsigned attributes"), qPrintable(again.output));
    QCOMPARE(fileBytes(p7), stamped);
}

QTEST_GUILESS_MAIN(TestSignToolSteps)
#include "tst_signtool_steps.moc"
