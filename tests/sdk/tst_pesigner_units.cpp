// The in-process PE signer as plain logic: the checksum against the
// textbook word-by-word sum, signing into a copy and reading it back with
// the tool's verifier, removing a signature, and the format choice.

#include "FormatStrategy.h"
#include "PeImage.h"
#include "PeSignatures.h"
#include "PeSigner.h"
#include "support/TestData.h"

#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <openssl/evp.h>

#include <ctime>
#include <fcntl.h>
#include <unistd.h>

using namespace testdata;
using namespace signtool;

namespace {

class Fd {
public:
    explicit Fd(int fd) : m_fd(fd) {}
    ~Fd()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    int get() const { return m_fd; }

private:
    int m_fd;
};

Fd openRead(const QString &path)
{
    return Fd(::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC));
}

Fd openNew(const QString &path)
{
    return Fd(::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
}

// The PE checksum as the format's documentation describes it: 16-bit words,
// each carry folded back at once, the checksum field skipped, plus the size.
uint32_t textbookChecksum(const QByteArray &file, int checksumAt)
{
    uint32_t sum = 0;
    for (int i = 0; i < file.size(); i += 2) {
        if (i >= checksumAt && i < checksumAt + 4)
            continue;
        uint32_t word = uint8_t(file[i]);
        if (i + 1 < file.size())
            word |= uint32_t(uint8_t(file[i + 1])) << 8;
        sum += word;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return sum + uint32_t(file.size());
}

constexpr int kChecksumAt = 0x40 + 24 + 64;

} // namespace

class TestPeSignerUnits : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    KeyAndCert m_cert;
    int m_files = 0;

    QString newPath() { return m_dir.filePath(QStringLiteral("u%1.exe").arg(++m_files)); }

    SigningKey key() const
    {
        SigningKey k;
        k.key = m_cert.key.get();
        k.cert = m_cert.cert.get();
        return k;
    }

    // Signs `source` into a new file; its path, or empty on failure.
    QString signedCopy(const QString &source, const char *digest, bool append, PeSignResult &result)
    {
        const QString out = newPath();
        Fd in = openRead(source);
        Fd copy = openNew(out);
        std::string problem;
        const auto layout = readPeLayout(in.get(), problem);
        if (!layout) {
            qWarning("not a PE file: %s", problem.c_str());
            return {};
        }
        PeSignOptions options;
        options.md = EVP_get_digestbyname(digest);
        options.append = append;
        result = signPeFile(in.get(), *layout, copy.get(), key(), options);
        return result.error.empty() ? out : QString();
    }

    PeJudgement judge(const QString &path)
    {
        StorePtr anchors(X509_STORE_new());
        X509_STORE_add_cert(anchors.get(), m_cert.cert.get());
        TrustPolicy policy;
        policy.anchors = anchors.get();
        policy.now = std::time(nullptr);
        Fd fd = openRead(path);
        return judgePeFile(fd.get(), policy);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_cert = makeCertificate();
        QVERIFY(!m_cert.isNull());
    }

    // Pieces at odd offsets and of odd sizes add up to the textbook sum.
    void checksumMatchesTextbookSum()
    {
        QByteArray bytes(5001, '\0');
        QRandomGenerator random(26);
        for (char &c : bytes)
            c = char(random.bounded(256));
        for (int i = kChecksumAt; i < kChecksumAt + 4; ++i)
            bytes[i] = 0;
        const uint32_t expected = textbookChecksum(bytes, kChecksumAt);
        for (int piece : {1, 3, 7, 8, 64, 4999, 5001}) {
            PeChecksum sum;
            for (int at = 0; at < bytes.size(); at += piece) {
                const int size = std::min(piece, int(bytes.size()) - at);
                sum.add(reinterpret_cast<const unsigned char *>(bytes.constData()) + at, size_t(size), uint64_t(at));
            }
            QCOMPARE(sum.value(uint64_t(bytes.size())), expected);
        }
        // All ones carry around and around.
        QByteArray ones(4096, char(0xFF));
        PeChecksum sum;
        sum.add(reinterpret_cast<const unsigned char *>(ones.constData()), size_t(ones.size()), 0);
        QCOMPARE(sum.value(4096), textbookChecksum(ones, 1 << 30));
    }

    void signedCopyVerifiesAndCarriesItsDigest()
    {
        for (PeKind kind : {PeKind::Pe32, PeKind::Pe32Plus}) {
            const QString source = newPath();
            QVERIFY(writeBytes(source, peFileBytes(9, kind)));
            PeSignResult made;
            const QString copy = signedCopy(source, "sha384", false, made);
            QVERIFY2(!copy.isEmpty(), made.error.c_str());
            QCOMPARE(made.signatures, 1);
            QCOMPARE(qint64(made.size), QFile(copy).size());
            QCOMPARE(made.certTableOffset % 8, 0u);
            // The digest made while copying is the file's, read anew.
            Fd in = openRead(source);
            std::string problem;
            const auto layout = readPeLayout(in.get(), problem);
            QVERIFY(layout);
            QCOMPARE(*authenticodeDigest(in.get(), *layout, EVP_sha384()), made.digest.value);
            const PeJudgement judgement = judge(copy);
            QCOMPARE(judgement.status, PeJudgement::Status::Signed);
            QCOMPARE(judgement.signatures.size(), size_t(1));
            QCOMPARE(int(judgement.signatures[0].finding.verdict), int(Verdict::Good));
            const QByteArray bytes = fileBytes(copy);
            QCOMPARE(le32(bytes, kChecksumAt), textbookChecksum(bytes, kChecksumAt));
        }
    }

    // Removing gives the content back with a checksum of its own; the
    // digest is the one the signature had embedded.
    void removingRestoresTheContent()
    {
        const QString source = newPath();
        const QByteArray original = peFileBytes(10, PeKind::Pe32Plus);
        QVERIFY(writeBytes(source, original));
        PeSignResult made;
        const QString signedFile = signedCopy(source, "sha256", false, made);
        QVERIFY(!signedFile.isEmpty());
        const QString stripped = newPath();
        {
            Fd in = openRead(signedFile);
            Fd out = openNew(stripped);
            QCOMPARE(formatOf(in.get()).remove(in.get(), out.get()), std::string());
        }
        QByteArray bytes = fileBytes(stripped);
        QCOMPARE(bytes.size(), original.size());
        QCOMPARE(le32(bytes, kChecksumAt), textbookChecksum(bytes, kChecksumAt));
        QByteArray withoutChecksum = bytes;
        for (int i = kChecksumAt; i < kChecksumAt + 4; ++i)
            withoutChecksum[i] = original[i];
        QCOMPARE(withoutChecksum, original);
        QCOMPARE(judge(stripped).status, PeJudgement::Status::Unsigned);
        Fd in = openRead(stripped);
        const auto digest = formatOf(in.get()).digest(in.get(), EVP_sha256());
        QVERIFY(digest);
        QCOMPARE(digest->value, made.digest.value);
    }

    // /as: the new signature is the last, the earlier ones are unchanged.
    void appendingNestsAfterTheOthers()
    {
        const QString source = newPath();
        QVERIFY(writeBytes(source, peFileBytes(11, PeKind::Pe32)));
        PeSignResult made;
        QString file = signedCopy(source, "sha256", true, made);
        QVERIFY(!file.isEmpty());
        QCOMPARE(made.signatures, 1);
        const char *digests[] = {"sha1", "sha512", "sha384"};
        for (int round = 0; round < 3; ++round) {
            file = signedCopy(file, digests[round], true, made);
            QVERIFY2(!file.isEmpty(), made.error.c_str());
            QCOMPARE(made.signatures, round + 2);
            const PeJudgement judgement = judge(file);
            QCOMPARE(judgement.signatures.size(), size_t(round + 2));
            for (const PeSignature &signature : judgement.signatures)
                QCOMPARE(int(signature.finding.verdict), int(Verdict::Good));
            QCOMPARE(QString::fromStdString(judgement.signatures.back().finding.digest),
                     QString::fromLatin1(digests[round]).toUpper());
        }
    }

    // A signer whose unsigned attributes are written primitive ([1] as
    // 0x81, which OpenSSL reads though DER has it constructed) gets no
    // signature appended: a second [1] after it would leave a signature
    // that nothing can read (found by the fuzz target).
    void appendingRefusesAPrimitiveUnsignedAttributesTag()
    {
        const QString source = newPath();
        QVERIFY(writeBytes(source, peFileBytes(11, PeKind::Pe32)));
        PeSignResult made;
        QString file = signedCopy(source, "sha256", true, made);
        file = signedCopy(file, "sha256", true, made);
        QVERIFY2(!file.isEmpty(), made.error.c_str());
        QByteArray bytes = fileBytes(file);
        const QByteArray nestedOid = QByteArray::fromHex("060a2b060104018237020401");
        const int oid = bytes.indexOf(nestedOid);
        QVERIFY(oid >= 8);
        QCOMPARE(quint8(bytes[oid - 8]), quint8(0xA1)); // [1] 82 LL LL, SEQUENCE 82 LL LL, the OID
        QCOMPARE(quint8(bytes[oid - 4]), quint8(0x30));
        bytes[oid - 8] = char(0x81);
        const QString primitive = newPath();
        QVERIFY(writeBytes(primitive, bytes));
        QCOMPARE(judge(primitive).signatures.size(), size_t(2));

        QVERIFY(signedCopy(primitive, "sha256", true, made).isEmpty());
        QVERIFY2(QString::fromStdString(made.error).contains(QLatin1String("no signature can be appended")),
                 made.error.c_str());
    }

    // The choice by content: "MZ" is a program file, anything else is
    // osslsigncode's, which does nothing in-process.
    void formatIsChosenByContent()
    {
        const QString pe = newPath(), script = newPath();
        QVERIFY(writeBytes(pe, peFileBytes()));
        QVERIFY(writeBytes(script, "Write-Host 'MZ later'\n"));
        Fd peFd = openRead(pe), scriptFd = openRead(script);
        const FormatStrategy &peFormat = formatOf(peFd.get());
        const FormatStrategy &other = formatOf(scriptFd.get());
        QVERIFY(peFormat.readsSignaturesInProcess());
        QVERIFY(!other.readsSignaturesInProcess());
        SigningNeeds needs;
        needs.keyInMemory = true;
        QVERIFY(peFormat.signsInProcess(needs));
        QVERIFY(!other.signsInProcess(needs));
        needs.osslsigncodeAsked = true;
        QVERIFY(!peFormat.signsInProcess(needs)); // QUILLMARK_PE_SIGNER=osslsigncode
        needs = {};
        QVERIFY(!peFormat.signsInProcess(needs)); // a token's key
        QCOMPARE(peFormat.signatureCount(peFd.get()), std::optional<int>(0));
        QCOMPARE(other.signatureCount(scriptFd.get()), std::optional<int>());
        QVERIFY(!other.digest(scriptFd.get(), EVP_sha256()));
        // A cut program file is damaged, a script never.
        QByteArray cut = peFileBytes();
        cut.truncate(300);
        const QString cutPath = newPath();
        QVERIFY(writeBytes(cutPath, cut));
        Fd cutFd = openRead(cutPath);
        QVERIFY(!formatOf(cutFd.get()).damage(cutFd.get()).empty());
        QVERIFY(other.damage(scriptFd.get()).empty());
    }
};

QTEST_GUILESS_MAIN(TestPeSignerUnits)
#include "tst_pesigner_units.moc"
