// The in-process PE signer as plain logic: the checksum against the
// textbook word-by-word sum, signing into a copy and reading it back with
// the tool's verifier, removing a signature, page hashes (in pieces, read
// back, a changed page named), a time stamp rewritten in a signature's
// bytes, the format choice, and the DER reader the byte-for-byte edits
// share.

#include "DerReader.h"
#include "FormatStrategy.h"
#include "PageHashes.h"
#include "PeImage.h"
#include "PeSignatures.h"
#include "PeSigner.h"
#include "SignatureSplice.h"
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

// The primary signature's DER in the certificate table of `path`.
Bytes primaryDer(int fd)
{
    std::string problem;
    const auto layout = readPeLayout(fd, problem);
    const auto table = layout ? certificateTable(fd, *layout) : std::nullopt;
    if (!table || table->size() < 8)
        return {};
    const unsigned char *start = table->data() + 8, *p = start;
    PKCS7 *p7 = d2i_PKCS7(nullptr, &p, static_cast<long>(table->size() - 8));
    if (!p7)
        return {};
    PKCS7_free(p7);
    return Bytes(start, p);
}

// How many unsigned attributes of type `oid` the only signer of `der` has.
int unsignedAttributesOf(const Bytes &der, const char *oid)
{
    const unsigned char *p = der.data();
    PKCS7 *p7 = d2i_PKCS7(nullptr, &p, static_cast<long>(der.size()));
    if (!p7)
        return -1;
    PKCS7_SIGNER_INFO *si = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(p7), 0);
    ASN1_OBJECT *type = OBJ_txt2obj(oid, 1);
    int count = 0;
    for (int i = 0; i < sk_X509_ATTRIBUTE_num(si->unauth_attr); ++i)
        count += OBJ_cmp(X509_ATTRIBUTE_get0_object(sk_X509_ATTRIBUTE_value(si->unauth_attr, i)), type) == 0;
    ASN1_OBJECT_free(type);
    PKCS7_free(p7);
    return count;
}

const char kTokenOid[] = "1.3.6.1.4.1.311.3.3.1";

// A stand-in time stamp: an RFC 3161 attribute holding `marker`.
std::string addStandInStamp(PKCS7_SIGNER_INFO *si, unsigned char marker)
{
    const unsigned char token[] = {0x30, 0x03, 0x02, 0x01, marker};
    X509_ATTRIBUTE *attribute = X509_ATTRIBUTE_create_by_txt(nullptr, kTokenOid, V_ASN1_SEQUENCE, token, sizeof token);
    if (!si->unauth_attr)
        si->unauth_attr = sk_X509_ATTRIBUTE_new_null();
    return attribute && sk_X509_ATTRIBUTE_push(si->unauth_attr, attribute) > 0 ? std::string() : "no attribute";
}

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

    // The page hashes are the same however the file is handed over: in
    // pieces of any size, a page split between pieces or not.
    void pageHashesDoNotDependOnThePieces()
    {
        const QString path = newPath();
        QVERIFY(writeLargePeFile(path, 7, 1));
        Fd fd = openRead(path);
        std::string problem;
        const auto layout = readPeLayout(fd.get(), problem);
        QVERIFY(layout);
        const auto whole = pageHashesOfFile(fd.get(), *layout, EVP_sha256(), problem);
        QVERIFY2(whole, problem.c_str());
        // Headers, one page per 4 KiB of the section, the end entry.
        const size_t entry = 4 + 32;
        const uint64_t sectionSize = layout->fileSize - 0x200;
        QCOMPARE(whole->entries.size() / entry, size_t(1 + (sectionSize + 4095) / 4096 + 1));
        QCOMPARE(whole->entries.size() % entry, size_t(0));
        const Bytes last(whole->entries.end() - 32, whole->entries.end());
        QCOMPARE(last, Bytes(32, 0));

        const QByteArray bytes = fileBytes(path);
        auto hasher = PageHasher::forFile(fd.get(), *layout, EVP_sha256(), problem);
        QVERIFY(hasher);
        QRandomGenerator random(11);
        for (qsizetype at = 0; at < bytes.size();) {
            const qsizetype size = std::min<qsizetype>(1 + random.bounded(9000), bytes.size() - at);
            QVERIFY(hasher->add(reinterpret_cast<const unsigned char *>(bytes.constData()) + at, size_t(size),
                                uint64_t(at)));
            at += size;
        }
        const auto pieces = hasher->finish();
        QVERIFY(pieces);
        QCOMPARE(pieces->entries, whole->entries);
    }

    // The table travels in SpcPeImageData and reads back the same; a page
    // that differs is named by its offset, the headers as the headers.
    void pageHashTableReadsBackAndNamesTheChangedPage()
    {
        PageHashTable table;
        table.mdType = NID_sha1;
        const size_t entry = 4 + 20;
        table.entries.assign(4 * entry, 0x11);
        const uint32_t offsets[] = {0, 0x400, 0x1400, 0x1600};
        for (size_t i = 0; i < 4; ++i) {
            for (int b = 0; b < 4; ++b)
                table.entries[i * entry + size_t(b)] = static_cast<unsigned char>(offsets[i] >> (8 * b));
        }
        const Bytes imageData = derElement(0x30, concat({Bytes{0x03, 0x01, 0x00}, pageHashLink(table)}));
        const Bytes data = concat({oidDer("1.3.6.1.4.1.311.2.1.15"), imageData});
        const Bytes indirect = derElement(0x30, data);
        std::string problem;
        const auto read = embeddedPageHashes(indirect.data(), long(indirect.size()), problem);
        QVERIFY2(read, problem.c_str());
        QCOMPARE(read->mdType, NID_sha1);
        QCOMPARE(read->entries, table.entries);
        QCOMPARE(pageHashMismatch(*read, table), std::string());

        PageHashTable changed = table;
        changed.entries[2 * entry + 7] ^= 1;
        QCOMPARE(pageHashMismatch(*read, changed), std::string("the page at offset 0x1400 does not match its page hash"));
        changed = table;
        changed.entries[5] ^= 1;
        QCOMPARE(pageHashMismatch(*read, changed), std::string("its headers do not match their page hash"));
        changed = table;
        changed.entries.resize(3 * entry);
        QVERIFY(QString::fromStdString(pageHashMismatch(*read, changed)).contains("list 3 pages, the file has 2"));

        // The old file link ("<<<Obsolete>>>") carries none, and says nothing.
        const Bytes obsolete = derElement(0x30, concat({oidDer("1.3.6.1.4.1.311.2.1.15"),
                                                        derElement(0x30, concat({Bytes{0x03, 0x01, 0x00},
                                                                                 derElement(0xA0, derElement(0xA2, derElement(0x80, Bytes{0, 'x'})))}))}));
        QVERIFY(!embeddedPageHashes(obsolete.data(), long(obsolete.size()), problem));
        QVERIFY(problem.empty());
    }

    // "timestamp" rewrites one signature's stamp in place: stamped twice,
    // a signature carries the last stamp only, and the signatures not
    // stamped keep every byte; /tp past the last is refused.
    void stampReplacesOnlyTheStamp()
    {
        const QString source = newPath();
        QVERIFY(writeBytes(source, peFileBytes(12, PeKind::Pe32Plus)));
        PeSignResult made;
        QString file = signedCopy(source, "sha256", true, made);
        file = signedCopy(file, "sha384", true, made);
        file = signedCopy(file, "sha512", true, made);
        QVERIFY(!file.isEmpty());
        Bytes before;
        {
            Fd fd = openRead(file);
            before = primaryDer(fd.get());
        }
        QCOMPARE(appendedSignatureCount(before), 2);
        auto stamp = [&](const QString &in, int index, unsigned char marker, PeSignResult &result) {
            const QString out = newPath();
            Fd fd = openRead(in);
            Fd copy = openNew(out);
            std::string problem;
            const auto layout = readPeLayout(fd.get(), problem);
            PeStampOptions options;
            options.index = index;
            options.md = EVP_sha384();
            options.stamp = [marker](PKCS7 *, PKCS7_SIGNER_INFO *si) { return addStandInStamp(si, marker); };
            result = stampPeFile(fd.get(), *layout, copy.get(), options);
            return out;
        };
        PeSignResult result;
        QString once = stamp(file, 1, 1, result);
        QVERIFY2(result.error.empty(), result.error.c_str());
        QCOMPARE(result.signatures, 3);
        const QString twice = stamp(once, 1, 2, result);
        QVERIFY2(result.error.empty(), result.error.c_str());
        Bytes after;
        {
            Fd fd = openRead(twice);
            after = primaryDer(fd.get());
        }
        QCOMPARE(appendedSignatureCount(after), 2);
        const auto stamped = appendedSignature(after, 1);
        QVERIFY(stamped);
        QCOMPARE(unsignedAttributesOf(*stamped, kTokenOid), 1);
        const Bytes secondToken{0x30, 0x03, 0x02, 0x01, 0x02};
        QVERIFY(std::search(stamped->begin(), stamped->end(), secondToken.begin(), secondToken.end())
                != stamped->end());
        QCOMPARE(appendedSignature(after, 2), appendedSignature(before, 2));
        QCOMPARE(unsignedAttributesOf(after, kTokenOid), 0);
        // The copy's digest is the file's, and every signature still holds
        // (the stand-in token is no time stamp a verifier accepts).
        QCOMPARE(result.digest.mdType, NID_sha384);
        const PeJudgement judgement = judge(twice);
        QCOMPARE(judgement.signatures.size(), size_t(3));
        QCOMPARE(int(judgement.signatures[0].finding.verdict), int(Verdict::Good));
        QCOMPARE(int(judgement.signatures[1].finding.verdict), int(Verdict::TimeStampInvalid));
        QCOMPARE(int(judgement.signatures[2].finding.verdict), int(Verdict::Good));

        stamp(file, 3, 1, result);
        QVERIFY(QString::fromStdString(result.error).contains("it has no signature 3"));
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

    // The reader the signature edits share: what DER writes reads back to
    // the byte, and what DER does not allow (indefinite or over-long
    // lengths, high tag numbers, an element past its parent, children that
    // do not fill it) is refused rather than read past.
    void derReaderReadsDerAndRefusesTheRest()
    {
        const Bytes inner = derElement(0x04, Bytes(300, 0xAB)); // a long-form length
        const Bytes outer = derElement(0x30, concat({derElement(0x02, {1}), inner}));
        const auto root = derNodeAt(outer, 0, outer.size());
        QVERIFY(root);
        QCOMPARE(root->tag, static_cast<unsigned char>(0x30));
        QCOMPARE(root->end, outer.size());
        const auto children = derChildren(outer, *root);
        QVERIFY(children);
        QCOMPARE(children->size(), size_t(2));
        QCOMPARE(children->at(1).end - children->at(1).contentStart, size_t(300));
        QCOMPARE(children->at(1).start, root->end - inner.size());

        QVERIFY2(!derNodeAt(Bytes{0x30, 0x80, 0x00, 0x00}, 0, 4), "an indefinite length was read");
        QVERIFY2(!derNodeAt(Bytes{0x1F, 0x01, 0x00}, 0, 3), "a high tag number was read");
        QVERIFY2(!derNodeAt(Bytes{0x04, 0x85, 0, 0, 0, 0, 1, 0}, 0, 8), "a 5-byte length was read");
        QVERIFY2(!derNodeAt(Bytes{0x04, 0x03, 0xAA, 0xBB}, 0, 4), "an element past the data was read");
        QVERIFY2(!derNodeAt(outer, 0, outer.size() + 1), "a limit past the data was taken");
        Bytes cut = outer;
        cut.pop_back();
        QVERIFY2(!derNodeAt(cut, 0, cut.size()), "a cut element was read");
        // A parent whose last child runs past it.
        const Bytes overrun{0x30, 0x03, 0x04, 0x02, 0xAA, 0xBB};
        const DerNode parent{0x30, 0, 2, 5};
        QVERIFY2(!derChildren(overrun, parent), "a child past its parent's end was read");
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
