// Program files signed by signtool.exe itself (no osslsigncode child), each
// output judged three ways: by "osslsigncode verify", by the tool's own
// "verify /pa", and by check_authenticode.py, a checker of its own (pefile
// and asn1crypto) that recomputes the digest and the checksum and checks
// the directory entry, WIN_CERTIFICATE, the signed attributes, the
// signature values and nested signatures.

#include "support/FakeTools.h"
#include "support/SignToolFixture.h"
#include "support/TestData.h"
#include "support/TsaServer.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>

using namespace testdata;

namespace {

// Debian's python3 with python3-pefile and python3-asn1crypto (an other
// python3 first on PATH may lack them).
const QString kPython = QStringLiteral("/usr/bin/python3");

RunResult independentCheck(const QString &file, const QStringList &expectations)
{
    return runProgram(kPython, QStringList{QStringLiteral(QUILLMARK_AUTHENTICODE_CHECKER), file} + expectations);
}

// A program file with three sections whose raw data spans several pages and
// ends mid-page: .text 0x2200 bytes, .rdata 0x1000, .data 0x300, each
// filled with a pattern of its own, so that every page hash differs.
QByteArray multiSectionPe(PeKind kind)
{
    QByteArray pe = peFileBytes(21, kind);
    const int coff = int(le32(pe, 0x3C));
    const int optionalSize = kind == PeKind::Pe32Plus ? 240 : 224;
    const int table = coff + 24 + optionalSize;
    putLe16(pe, coff + 6, 3);
    struct Section {
        const char *name;
        quint32 size;
    };
    const Section sections[] = {{".text", 0x2200}, {".rdata", 0x1000}, {".data", 0x300}};
    quint32 raw = 0x200, virtualAddress = 0x1000;
    pe.truncate(0x200);
    for (int i = 0; i < 3; ++i) {
        const int header = table + 40 * i;
        for (int c = 0; c < 8; ++c)
            pe[header + c] = c < int(qstrlen(sections[i].name)) ? sections[i].name[c] : '\0';
        putLe32(pe, header + 8, sections[i].size);
        putLe32(pe, header + 12, virtualAddress);
        putLe32(pe, header + 16, sections[i].size);
        putLe32(pe, header + 20, raw);
        putLe32(pe, header + 36, i == 0 ? 0x60000020 : 0x40000040);
        QByteArray data(int(sections[i].size), '\0');
        for (int b = 0; b < data.size(); ++b)
            data[b] = char((b * 31 + i * 7 + b / 4096) & 0xFF);
        pe.append(data);
        raw += sections[i].size;
        virtualAddress += (sections[i].size + 0xFFF) / 0x1000 * 0x1000;
    }
    putLe32(pe, coff + 24 + 56, virtualAddress); // size of image
    return pe;
}

// The page-hash table "osslsigncode verify -verbose" shows as the one a
// signature carries, as hex.
QString shownPageHashes(const QString &file, const QString &caPem)
{
    const RunResult run =
        runProgram(QStringLiteral("osslsigncode"), {"verify", "-verbose", "-in", file, "-CAfile", caPem});
    for (const QString &line : run.output.split('\n')) {
        if (line.startsWith(QLatin1String("Page hash            :")))
            return line.section(':', 1).trimmed();
    }
    return QString();
}

} // namespace

class TestPeSigner : public QObject, private SignToolFixture {
    Q_OBJECT

private:
    const QString m_password = QStringLiteral("engine pass");
    QString m_store; // holds the signer, so that verify /pa trusts it
    QString m_tsaPem, m_tsaKey;

    RunResult sign(const QStringList &switches, const QStringList &files, const QProcessEnvironment &env = {})
    {
        return signtool(QStringList{"sign", "/f", m_pfx, "/p", m_password} + switches + files, env);
    }

    // All three judges accept `file`.
    void judgedGood(const QString &file, const QStringList &expectations)
    {
        const RunResult ossl = verifySignature(file, m_caPem);
        QVERIFY2(ossl.ok(), qPrintable(ossl.output));
        const RunResult own = signtool({"verify", "/pa", "/all", file}, storeEnvironment(m_store));
        QVERIFY2(own.ok(), qPrintable(own.output));
        const RunResult independent = independentCheck(file, expectations);
        QVERIFY2(independent.ok(), qPrintable(independent.output));
    }

    // An osslsigncode that must not be started: signing it would leave a
    // mark, and it fails.
    QProcessEnvironment forbiddenOsslsigncode(QString &mark)
    {
        const QString bin = newFolder();
        mark = bin + "/osslsigncode-ran";
        return fakeOsslsigncode(bin, "echo \"$@\" >> '" + QFile::encodeName(mark) + "'\nexit 1\n");
    }

private slots:
    void initTestCase();
    void signsBothKindsInProcess_data();
    void signsBothKindsInProcess();
    void resigningReplacesSignature();
    void appendingKeepsEverySignature();
    void appendsToOsslsigncodeSignature();
    void oddSizedFileIsPaddedAndAligned();
    void refusesToAppendToDamagedSignature();
    void signsManyFilesAtOnce();
    void dataAfterTheTableIsRefusedByBoth();
    void largeFileIsCopiedAroundThePageCache();
    void timeStampsAreMadeInProcess_data();
    void timeStampsAreMadeInProcess();
    void pageHashesAreOsslsigncodes_data();
    void pageHashesAreOsslsigncodes();
    void changedPageFailsVerifyWithPageHashes();
    void pageHashesNeedAPageHashDigest();
    void timestampVerbStampsInProcess_data();
    void timestampVerbStampsInProcess();
    void timestampIndexOutOfRangeIsRefused();
    void timestampReplacesTheStamp();
    void timestampIndexReachesOsslsigncode();
};

void TestPeSigner::initTestCase()
{
    QVERIFY(m_root.isValid());
    QVERIFY2(QFileInfo(sdkToolPath(QStringLiteral("signtool.exe"))).isExecutable(), "signtool.exe not built");
    const RunResult modules = runProgram(kPython, {"-c", "import pefile, asn1crypto"});
    QVERIFY2(modules.ok(), "python3-pefile and python3-asn1crypto are needed (scripts/install-deps.sh)");
    QVERIFY(useSigner(certificate(QStringLiteral("Quillmark Engine Signing"), 365), m_password));
    m_store = newFolder();
    QVERIFY(writePkcs12(m_store + "/signer.pfx", m_cert));
    const KeyAndCert tsa = certificate(QStringLiteral("Quillmark Engine Time Stamping"), 365, Usage::TimeStamping);
    m_tsaPem = m_root.filePath(QStringLiteral("tsa.pem"));
    m_tsaKey = m_root.filePath(QStringLiteral("tsa.key"));
    QVERIFY(writeCertificatePem(m_tsaPem, tsa) && writePrivateKeyPem(m_tsaKey, tsa));
}

void TestPeSigner::signsBothKindsInProcess_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("digest");
    QTest::newRow("PE32 sha256") << int(PeKind::Pe32) << "sha256";
    QTest::newRow("PE32+ sha256") << int(PeKind::Pe32Plus) << "sha256";
    QTest::newRow("PE32 sha384") << int(PeKind::Pe32) << "sha384";
    QTest::newRow("PE32+ sha512") << int(PeKind::Pe32Plus) << "sha512";
    QTest::newRow("PE32 sha1") << int(PeKind::Pe32) << "sha1";
}

void TestPeSigner::signsBothKindsInProcess()
{
    QFETCH(int, kind);
    QFETCH(QString, digest);
    const QString file = newFolder() + "/app.exe";
    QVERIFY(writeBytes(file, peFileBytes(3, PeKind(kind))));
    QString mark;
    const QString description = QStringLiteral("Quillmark Engine Test");
    const QString url = QStringLiteral("https://example.invalid/engine");
    const RunResult run = sign({"/fd", digest, "/d", description, "/du", url}, {file}, forbiddenOsslsigncode(mark));
    QVERIFY2(run.ok(), qPrintable(run.output));
    QVERIFY(run.output.contains("Successfully signed: " + file));
    QVERIFY2(!QFile::exists(mark), "osslsigncode was started for a program file");
    judgedGood(file, {"--signatures", "1", "--digest", digest, "--description", description, "--url", url});
    // The tool's own report shows what it embedded.
    const RunResult verbose = signtool({"verify", "/pa", "/v", file}, storeEnvironment(m_store));
    QVERIFY2(verbose.output.contains(digest.toUpper()), qPrintable(verbose.output));
}

void TestPeSigner::resigningReplacesSignature()
{
    const QString file = newFolder() + "/twice.exe";
    QVERIFY(writeBytes(file, peFileBytes(4, PeKind::Pe32Plus)));
    QVERIFY(sign({"/fd", "sha512"}, {file}).ok());
    const qint64 firstSize = QFileInfo(file).size();
    const RunResult again = sign({}, {file});
    QVERIFY2(again.ok(), qPrintable(again.output));
    judgedGood(file, {"--signatures", "1", "--digest", "sha256"});
    // The old table went: the new one took its place, not a second one.
    QVERIFY(QFileInfo(file).size() < firstSize + 64);
}

void TestPeSigner::appendingKeepsEverySignature()
{
    const QString dir = newFolder();
    const QString file = dir + "/nested.exe";
    QVERIFY(writeBytes(file, peFileBytes(5, PeKind::Pe32)));
    // /as on an unsigned file makes the primary signature.
    QVERIFY(sign({"/as", "/fd", "sha1"}, {file}).ok());
    judgedGood(file, {"--signatures", "1", "--digest", "sha1"});
    const QString once = dir + "/once.exe";
    QVERIFY(QFile::copy(file, once));

    RunResult run = sign({"/as", "/fd", "sha256"}, {file});
    QVERIFY2(run.ok(), qPrintable(run.output));
    judgedGood(file, {"--signatures", "2", "--digest", "sha1", "--digest", "sha256", "--kept", once});
    const QString twice = dir + "/twice.exe";
    QVERIFY(QFile::copy(file, twice));

    run = sign({"/as", "/fd", "sha512"}, {file});
    QVERIFY2(run.ok(), qPrintable(run.output));
    judgedGood(file, {"--signatures", "3", "--digest", "sha1", "--digest", "sha256", "--digest", "sha512", "--kept",
                      twice});
}

void TestPeSigner::appendsToOsslsigncodeSignature()
{
    const QString dir = newFolder();
    const QString source = dir + "/source.exe", file = dir + "/by-ossl.exe";
    QVERIFY(writeBytes(source, peFileBytes(6, PeKind::Pe32Plus)));
    const RunResult ossl = runProgram(QStringLiteral("osslsigncode"),
                                      {"sign", "-pkcs12", m_pfx, "-pass", m_password, "-h", "sha384", "-in", source,
                                       "-out", file});
    QVERIFY2(ossl.ok(), qPrintable(ossl.output));
    const QString earlier = dir + "/earlier.exe";
    QVERIFY(QFile::copy(file, earlier));
    const RunResult run = sign({"/as"}, {file});
    QVERIFY2(run.ok(), qPrintable(run.output));
    judgedGood(file, {"--signatures", "2", "--digest", "sha384", "--digest", "sha256", "--kept", earlier});
}

void TestPeSigner::oddSizedFileIsPaddedAndAligned()
{
    const QString file = newFolder() + "/odd.exe";
    QByteArray bytes = peFileBytes(7, PeKind::Pe32);
    bytes.append("xyz", 3); // data after the last section: the digest pads it to 8 bytes
    QVERIFY(writeBytes(file, bytes));
    const RunResult run = sign({}, {file});
    QVERIFY2(run.ok(), qPrintable(run.output));
    judgedGood(file, {"--signatures", "1"});
    // The file's bytes stay, then zeros up to the 8-byte aligned table.
    const QByteArray signedBytes = fileBytes(file);
    QCOMPARE(signedBytes.mid(bytes.size() - 3, 3), QByteArray("xyz"));
    QCOMPARE(signedBytes.mid(bytes.size(), 5), QByteArray(5, '\0'));
}

void TestPeSigner::refusesToAppendToDamagedSignature()
{
    const QString file = newFolder() + "/broken.exe";
    QVERIFY(writeBytes(file, peFileBytes(8, PeKind::Pe32)));
    QVERIFY(sign({}, {file}).ok());
    QByteArray bytes = fileBytes(file);
    const quint32 table = le32(bytes, 0x40 + 24 + 96 + 4 * 8);
    bytes[int(table) + 8] = char(0x05); // the PKCS#7 is no SEQUENCE any more
    QVERIFY(writeBytes(file, bytes));
    const RunResult run = sign({"/as"}, {file});
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.output.contains("SignTool Error: Cannot sign " + file + ": its signature is damaged"),
             qPrintable(run.output));
    QCOMPARE(fileBytes(file), bytes);
}

// Many files with /mt: every one signed, in one process, in order.
void TestPeSigner::signsManyFilesAtOnce()
{
    const QString dir = newFolder();
    QStringList files;
    for (quint32 i = 0; i < 40; ++i) {
        files << dir + QStringLiteral("/m%1.exe").arg(i, 2, 10, QLatin1Char('0'));
        QVERIFY(writeBytes(files.last(), peFileBytes(100 + i, i % 2 ? PeKind::Pe32Plus : PeKind::Pe32)));
    }
    QString mark;
    const RunResult run = sign({"/mt", "4"}, files, forbiddenOsslsigncode(mark));
    QVERIFY2(run.ok(), qPrintable(run.output));
    QVERIFY(!QFile::exists(mark));
    int at = 0;
    for (const QString &file : files) {
        const int next = run.output.indexOf("Successfully signed: " + file + "\n");
        QVERIFY2(next >= at, qPrintable(run.output));
        at = next;
    }
    for (const QString &file : {files.first(), files.last()})
        judgedGood(file, {"--signatures", "1"});
    QCOMPARE(QDir(dir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden).size(), files.size());
}

// Bytes after the certificate table are covered by no signature: signing
// would drop them and verifying would pass them, so both refuse the file.
void TestPeSigner::dataAfterTheTableIsRefusedByBoth()
{
    const QString file = newFolder() + "/tail.exe";
    QVERIFY(writeBytes(file, peFileBytes(12, PeKind::Pe32)));
    QVERIFY(sign({}, {file}).ok());
    QByteArray bytes = fileBytes(file);
    bytes.append("appended after the signature");
    QVERIFY(writeBytes(file, bytes));
    const RunResult verify = signtool({"verify", "/pa", file}, storeEnvironment(m_store));
    QCOMPARE(verify.exitCode, 1);
    QVERIFY2(verify.output.contains("data follows its certificate table"), qPrintable(verify.output));
    const RunResult run = sign({}, {file});
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.output.contains("Cannot sign " + file
                                 + ": the file is truncated or damaged (data follows its certificate table)."),
             qPrintable(run.output));
    QCOMPARE(fileBytes(file), bytes);
}

// A large file's copy is written with O_DIRECT in aligned pieces, its odd
// tail and the table through the page cache: every byte must still be
// where the digest and the checksum say.
void TestPeSigner::largeFileIsCopiedAroundThePageCache()
{
    const QString file = newFolder() + "/large.exe";
    QVERIFY(writeLargePeFile(file, 14, 20));
    QFile grow(file);
    QVERIFY(grow.open(QIODevice::Append));
    QCOMPARE(grow.write("odd", 3), qint64(3)); // no multiple of the pieces or of 8
    grow.close();
    const QByteArray original = fileBytes(file);
    QString mark;
    const RunResult run = sign({"/fd", "sha384"}, {file}, forbiddenOsslsigncode(mark));
    QVERIFY2(run.ok(), qPrintable(run.output));
    QVERIFY(!QFile::exists(mark));
    judgedGood(file, {"--signatures", "1", "--digest", "sha384"});
    const QByteArray signedBytes = fileBytes(file);
    const int checksumAt = 0x40 + 24 + 64, entryAt = 0x40 + 24 + 96 + 4 * 8;
    QCOMPARE(signedBytes.mid(entryAt + 8, original.size() - entryAt - 8), original.mid(entryAt + 8));
    QCOMPARE(signedBytes.left(checksumAt), original.left(checksumAt));
}

// Time stamps asked for by the tool itself, for the primary signature and
// for an appended one: no osslsigncode runs, and the stamp is checked by
// osslsigncode, the tool's verify and the independent checker.
void TestPeSigner::timeStampsAreMadeInProcess_data()
{
    QTest::addColumn<QString>("mode");        // the server's
    QTest::addColumn<QStringList>("switches"); // the URL follows
    QTest::addColumn<QString>("kind");        // the stamp the file gets
    QTest::addColumn<bool>("append");
    QTest::addColumn<QString>("warning");
    QTest::newRow("/tr") << "rfc3161" << QStringList{"/fd", "sha256", "/td", "sha256", "/tr"} << "rfc3161" << false << QString();
    QTest::newRow("/tr /td sha384 /fd sha512") << "rfc3161" << QStringList{"/fd", "sha512", "/td", "sha384", "/tr"}
                                               << "rfc3161" << false << QString();
    QTest::newRow("/t") << "authenticode" << QStringList{"/fd", "sha256", "/t"} << "authenticode" << false << QString();
    QTest::newRow("/t at an RFC 3161 server") << "rfc3161" << QStringList{"/t"} << "rfc3161" << false
                                              << "did not answer the Authenticode time-stamp protocol";
    QTest::newRow("/as /tr") << "rfc3161" << QStringList{"/as", "/fd", "sha256", "/td", "sha256", "/tr"} << "rfc3161" << true << QString();
}

void TestPeSigner::timeStampsAreMadeInProcess()
{
    QFETCH(QString, mode);
    QFETCH(QStringList, switches);
    QFETCH(QString, kind);
    QFETCH(bool, append);
    QFETCH(QString, warning);
    TsaServer server(mode, m_tsaPem, m_tsaKey, QString());
    QVERIFY2(!server.url().isEmpty(), "the time-stamp server did not start");
    const QString file = newFolder() + "/stamped.exe";
    QVERIFY(writeBytes(file, peFileBytes(13, PeKind::Pe32Plus)));
    if (append)
        QVERIFY(sign({}, {file}).ok());
    QString mark;
    const RunResult run = sign(switches + QStringList{server.url()}, {file}, forbiddenOsslsigncode(mark));
    QVERIFY2(run.ok(), qPrintable(run.output));
    QVERIFY2(!QFile::exists(mark), "osslsigncode was started");
    QCOMPARE(run.output.contains(QLatin1String("SignTool Warning: ")), !warning.isEmpty());
    if (!warning.isEmpty())
        QVERIFY2(run.output.contains(warning), qPrintable(run.output));
    const RunResult ossl = runProgram(QStringLiteral("osslsigncode"),
                                      {"verify", "-in", file, "-CAfile", m_caPem, "-TSA-CAfile", m_tsaPem});
    QVERIFY2(ossl.output.contains(QLatin1String("Timestamp Server Signature verification: ok")),
             qPrintable(ossl.output));
    // The tool's own verify sees the stamp; it trusts no self-signed time-stamp
    // signer (the store holds code-signing certificates only), so its chain
    // is not what is judged here: the signing run checked imprint, token
    // signature and purpose on the copy before it replaced the file.
    const RunResult own = signtool({"verify", "/pa", "/all", "/v", file}, storeEnvironment(m_store));
    const QString shownKind = kind == "rfc3161" ? QStringLiteral("RFC 3161") : QStringLiteral("Authenticode");
    QVERIFY2(own.output.count("Time stamp: " + shownKind) == 1, qPrintable(own.output));
    QVERIFY2(own.output.contains(QLatin1String("its signer is not trusted: self-signed certificate")),
             qPrintable(own.output));
    QVERIFY2(!own.output.contains(QLatin1String("digest does not match")), qPrintable(own.output));
    const RunResult independent =
        independentCheck(file, {"--signatures", append ? "2" : "1", "--stamped", kind});
    QVERIFY2(independent.ok(), qPrintable(independent.output));
}

// /ph in this process: the same table osslsigncode makes for the same file
// (its own -ph), accepted by osslsigncode's verify (which recomputes it),
// by the independent checker (which recomputes it too) and by verify /ph.
void TestPeSigner::pageHashesAreOsslsigncodes_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("digest");
    QTest::newRow("PE32 sha256") << int(PeKind::Pe32) << "sha256";
    QTest::newRow("PE32+ sha256") << int(PeKind::Pe32Plus) << "sha256";
    QTest::newRow("PE32 sha1") << int(PeKind::Pe32) << "sha1";
}

void TestPeSigner::pageHashesAreOsslsigncodes()
{
    QFETCH(int, kind);
    QFETCH(QString, digest);
    const QString dir = newFolder();
    const QString file = dir + "/paged.exe", source = dir + "/source.exe", byOssl = dir + "/by-ossl.exe";
    QVERIFY(writeBytes(file, multiSectionPe(PeKind(kind))));
    QVERIFY(QFile::copy(file, source));
    QString mark;
    const RunResult run = sign({"/fd", digest, "/ph"}, {file}, forbiddenOsslsigncode(mark));
    QVERIFY2(run.ok(), qPrintable(run.output));
    QVERIFY2(!QFile::exists(mark), "osslsigncode was started for /ph");
    judgedGood(file, {"--signatures", "1", "--digest", digest, "--page-hashes", digest});

    const RunResult ossl = runProgram(QStringLiteral("osslsigncode"), {"sign", "-pkcs12", m_pfx, "-pass", m_password,
                                                                       "-h", digest, "-ph", "-in", source, "-out",
                                                                       byOssl});
    QVERIFY2(ossl.ok(), qPrintable(ossl.output));
    const QString ours = shownPageHashes(file, m_caPem);
    // The headers, 3 + 1 + 1 section pages and the end entry.
    const int entry = 2 * (4 + (digest == "sha1" ? 20 : 32));
    QCOMPARE(ours.size(), 7 * entry);
    QCOMPARE(ours, shownPageHashes(byOssl, m_caPem));

    const RunResult own = signtool({"verify", "/pa", "/ph", "/v", file}, storeEnvironment(m_store));
    QVERIFY2(own.ok(), qPrintable(own.output));
    QVERIFY2(own.output.contains("Page hashes: 6 pages (" + digest.toUpper() + "), checked"), qPrintable(own.output));
    // osslsigncode's own page hashes are read as well.
    const RunResult theirs = signtool({"verify", "/pa", "/ph", "/v", byOssl}, storeEnvironment(m_store));
    QVERIFY2(theirs.ok(), qPrintable(theirs.output));
    QVERIFY2(theirs.output.contains("Page hashes: 6 pages"), qPrintable(theirs.output));
}

// A byte of a section changed after signing: verify /ph names the page,
// plain verify still refuses by the whole file's digest, and a file
// signed without page hashes says it has none.
void TestPeSigner::changedPageFailsVerifyWithPageHashes()
{
    const QString dir = newFolder();
    const QString file = dir + "/changed.exe", plain = dir + "/plain.exe";
    QVERIFY(writeBytes(file, multiSectionPe(PeKind::Pe32Plus)));
    QVERIFY(QFile::copy(file, plain));
    QVERIFY(sign({"/fd", "sha256", "/ph"}, {file}).ok());
    QVERIFY(sign({"/fd", "sha256"}, {plain}).ok());
    const RunResult unpaged = signtool({"verify", "/pa", "/ph", "/v", plain}, storeEnvironment(m_store));
    QVERIFY2(unpaged.ok(), qPrintable(unpaged.output));
    QVERIFY2(unpaged.output.contains("Page hashes: none"), qPrintable(unpaged.output));

    QByteArray bytes = fileBytes(file);
    bytes[0x1234 + 0x200] = char(bytes[0x1234 + 0x200] ^ 0x01); // in .text's second page, at 0x1200
    QVERIFY(writeBytes(file, bytes));
    const RunResult paged = signtool({"verify", "/pa", "/ph", file}, storeEnvironment(m_store));
    QVERIFY(!paged.ok());
    QVERIFY2(paged.output.contains("SignTool Error: " + file
                                   + " is not validly signed: the page at offset 0x1200 does not match its page "
                                     "hash"),
             qPrintable(paged.output));
    const RunResult whole = signtool({"verify", "/pa", file}, storeEnvironment(m_store));
    QVERIFY(!whole.ok());
    QVERIFY2(whole.output.contains("its digest does not match the file"), qPrintable(whole.output));
}

// Windows has page hashes of SHA-1 and SHA-256 only.
void TestPeSigner::pageHashesNeedAPageHashDigest()
{
    const QString file = newFolder() + "/sha384.exe";
    QVERIFY(writeBytes(file, multiSectionPe(PeKind::Pe32)));
    const QByteArray before = fileBytes(file);
    const RunResult run = sign({"/fd", "sha384", "/ph"}, {file});
    QVERIFY(!run.ok());
    QVERIFY2(run.output.contains("page hashes exist as SHA-1 and SHA-256 only"), qPrintable(run.output));
    QCOMPARE(fileBytes(file), before);
}

// "timestamp" of a program file with two signatures, in this process: the
// signature /tp names (the primary without it) gets the stamp, the other
// keeps what it had, every signature is kept byte for byte but for the new
// stamp, and osslsigncode, verify and the independent checker accept it.
void TestPeSigner::timestampVerbStampsInProcess_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QStringList>("switches"); // the URL follows
    QTest::addColumn<int>("index");            // -1: no /tp
    QTest::addColumn<QString>("kind");
    QTest::newRow("primary /tr") << "rfc3161" << QStringList{"/td", "sha256", "/tr"} << -1 << "rfc3161";
    QTest::newRow("/tp 0 /t") << "authenticode" << QStringList{"/tp", "0", "/t"} << 0 << "authenticode";
    QTest::newRow("/tp 1 /tr /td sha384") << "rfc3161" << QStringList{"/tp", "1", "/td", "sha384", "/tr"} << 1
                                          << "rfc3161";
    QTest::newRow("/tp 1 /t") << "authenticode" << QStringList{"/tp", "1", "/t"} << 1 << "authenticode";
}

void TestPeSigner::timestampVerbStampsInProcess()
{
    QFETCH(QString, mode);
    QFETCH(QStringList, switches);
    QFETCH(int, index);
    QFETCH(QString, kind);
    TsaServer server(mode, m_tsaPem, m_tsaKey, QString());
    QVERIFY2(!server.url().isEmpty(), "the time-stamp server did not start");
    const QString dir = newFolder();
    const QString file = dir + "/stamp-me.exe", before = dir + "/before.exe";
    QVERIFY(writeBytes(file, multiSectionPe(PeKind::Pe32Plus)));
    QVERIFY(sign({"/fd", "sha256", "/ph"}, {file}).ok());
    QVERIFY(sign({"/as", "/fd", "sha384"}, {file}).ok());
    QVERIFY(QFile::copy(file, before));
    QString mark;
    const RunResult run = signtool(QStringList{"timestamp"} + switches + QStringList{server.url(), file},
                                   forbiddenOsslsigncode(mark));
    QVERIFY2(run.ok(), qPrintable(run.output));
    QVERIFY2(run.output.contains("Successfully timestamped: " + file), qPrintable(run.output));
    QVERIFY2(!QFile::exists(mark), "osslsigncode was started to time-stamp a program file");

    const int stamped = std::max(index, 0);
    QStringList expectations{"--signatures", "2", "--digest", "sha256", "--digest", "sha384", "--page-hashes",
                             "sha256", "--page-hashes", "none"};
    for (int i = 0; i < 2; ++i)
        expectations << "--stamps" << (i == stamped ? kind : QStringLiteral("none"));
    if (kind == "rfc3161" && stamped == 0)
        expectations << "--kept" << before; // the appended one byte for byte, the primary but its stamp
    const RunResult independent = independentCheck(file, expectations);
    QVERIFY2(independent.ok(), qPrintable(independent.output));
    const RunResult ossl = runProgram(QStringLiteral("osslsigncode"),
                                      {"verify", "-in", file, "-CAfile", m_caPem, "-TSA-CAfile", m_tsaPem});
    QVERIFY2(ossl.ok(), qPrintable(ossl.output));
    QCOMPARE(ossl.output.count(QLatin1String("Timestamp Server Signature verification: ok")), 1);
    // The page hashes of the primary still hold.
    const RunResult own = signtool({"verify", "/pa", "/all", "/ph", "/v", file}, storeEnvironment(m_store));
    const QString shownKind = kind == "rfc3161" ? QStringLiteral("RFC 3161") : QStringLiteral("Authenticode");
    const QString block = own.output.section(QString("Signature %1").arg(stamped + 1), 1).section("Result:", 0, 0);
    QVERIFY2(block.contains("Time stamp: " + shownKind), qPrintable(own.output));
    QCOMPARE(own.output.count(QLatin1String("Time stamp: none")), 1);
    QVERIFY2(own.output.contains(QLatin1String("Page hashes: 6 pages (SHA256), checked")), qPrintable(own.output));
}

// /tp past the last signature: refused by name before any request, the
// file left as it was.
void TestPeSigner::timestampIndexOutOfRangeIsRefused()
{
    const QString log = newFolder() + "/tsa.log";
    TsaServer server("rfc3161", m_tsaPem, m_tsaKey, log);
    QVERIFY2(!server.url().isEmpty(), "the time-stamp server did not start");
    const QString file = newFolder() + "/two.exe";
    QVERIFY(writeBytes(file, peFileBytes(31, PeKind::Pe32)));
    QVERIFY(sign({"/fd", "sha256"}, {file}).ok());
    QVERIFY(sign({"/as", "/fd", "sha256"}, {file}).ok());
    const QByteArray original = fileBytes(file);
    const RunResult run = signtool({"timestamp", "/tp", "2", "/td", "sha256", "/tr", server.url(), file});
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.output.contains("SignTool Error: Cannot time-stamp " + file
                                 + ": it has no signature 2 (/tp counts from 0, the primary; it carries 2 "
                                   "signatures)."),
             qPrintable(run.output));
    QCOMPARE(fileBytes(file), original);
    QVERIFY2(fileBytes(log).isEmpty(), "the server was asked although no signature could be stamped");
}

// Windows replaces a signature's time stamp: stamped twice, of either
// kind, a signature carries the last one only.
void TestPeSigner::timestampReplacesTheStamp()
{
    TsaServer server("both", m_tsaPem, m_tsaKey, QString());
    QVERIFY2(!server.url().isEmpty(), "the time-stamp server did not start");
    const QString file = newFolder() + "/restamped.exe";
    QVERIFY(writeBytes(file, peFileBytes(32, PeKind::Pe32Plus)));
    QVERIFY(sign({"/fd", "sha256", "/td", "sha256", "/tr", server.url()}, {file}).ok());
    RunResult run = signtool({"timestamp", "/t", server.url(), file});
    QVERIFY2(run.ok(), qPrintable(run.output));
    RunResult independent = independentCheck(file, {"--signatures", "1", "--stamps", "authenticode"});
    QVERIFY2(independent.ok(), qPrintable(independent.output));
    run = signtool({"timestamp", "/td", "sha512", "/tr", server.url(), file});
    QVERIFY2(run.ok(), qPrintable(run.output));
    independent = independentCheck(file, {"--signatures", "1", "--stamps", "rfc3161"});
    QVERIFY2(independent.ok(), qPrintable(independent.output));
    const RunResult ossl = runProgram(QStringLiteral("osslsigncode"),
                                      {"verify", "-in", file, "-CAfile", m_caPem, "-TSA-CAfile", m_tsaPem});
    QVERIFY2(ossl.ok(), qPrintable(ossl.output));
    QCOMPARE(ossl.output.count(QLatin1String("Timestamp Server Signature verification: ok")), 1);
}

// /tp on the children's way (the other formats' way): "osslsigncode add"
// is told the index, and a missing signature is refused by name as well.
void TestPeSigner::timestampIndexReachesOsslsigncode()
{
    TsaServer server("rfc3161", m_tsaPem, m_tsaKey, QString());
    QVERIFY2(!server.url().isEmpty(), "the time-stamp server did not start");
    const QString file = newFolder() + "/by-add.exe";
    QVERIFY(writeBytes(file, peFileBytes(33, PeKind::Pe32)));
    QVERIFY(sign({"/fd", "sha256"}, {file}).ok());
    QVERIFY(sign({"/as", "/fd", "sha256"}, {file}).ok());
    const QProcessEnvironment env = osslsigncodeForProgramFiles();
    RunResult run = signtool({"timestamp", "/tp", "1", "/td", "sha256", "/tr", server.url(), file}, env);
    QVERIFY2(run.ok(), qPrintable(run.output));
    const RunResult independent = independentCheck(file, {"--signatures", "2", "--stamps", "none", "--stamps",
                                                          "rfc3161"});
    QVERIFY2(independent.ok(), qPrintable(independent.output));
    run = signtool({"timestamp", "/tp", "3", "/td", "sha256", "/tr", server.url(), file}, env);
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.output.contains("Cannot time-stamp " + file + ": it has no signature 3"), qPrintable(run.output));
}

QTEST_GUILESS_MAIN(TestPeSigner)
#include "tst_pesigner.moc"
