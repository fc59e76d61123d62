#include "TestData.h"

#include "ToolSupport.h"

#include "platform/Platform.h"

#include <QDir>
#include <QFile>
#include <QProcess>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/pkcs7.h>
#include <openssl/provider.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <sys/stat.h>
#include <unistd.h>

namespace testdata {

namespace {

struct BioFree {
    void operator()(BIO *b) const { BIO_free_all(b); }
};
using Bio = std::unique_ptr<BIO, BioFree>;

std::shared_ptr<EVP_PKEY> ownKey(EVP_PKEY *key)
{
    return std::shared_ptr<EVP_PKEY>(key, EVP_PKEY_free);
}

std::shared_ptr<X509> ownCert(X509 *cert)
{
    return std::shared_ptr<X509>(cert, X509_free);
}

QByteArray bioBytes(BIO *bio)
{
    char *data = nullptr;
    const long len = BIO_get_mem_data(bio, &data);
    return QByteArray(data, static_cast<qsizetype>(len));
}

bool setTime(ASN1_TIME *field, const QDateTime &when)
{
    return ASN1_TIME_set(field, static_cast<time_t>(when.toSecsSinceEpoch())) != nullptr;
}

// PVK encryption uses RC4, which only the legacy provider has. A context of
// our own keeps it out of the default one that the checks use.
OSSL_LIB_CTX *legacyContext()
{
    static OSSL_LIB_CTX *ctx = [] {
        OSSL_LIB_CTX *c = OSSL_LIB_CTX_new();
        OSSL_PROVIDER_load(c, "legacy");
        OSSL_PROVIDER_load(c, "default");
        return c;
    }();
    return ctx;
}

int passwordCallback(char *buf, int size, int, void *user)
{
    const QByteArray *password = static_cast<const QByteArray *>(user);
    if (password->size() > size)
        return -1;
    memcpy(buf, password->constData(), static_cast<size_t>(password->size()));
    return static_cast<int>(password->size());
}

} // namespace

void putLe16(QByteArray &bytes, int at, quint16 value)
{
    bytes[at] = char(value & 0xFF);
    bytes[at + 1] = char(value >> 8);
}

void putLe32(QByteArray &bytes, int at, quint32 value)
{
    for (int i = 0; i < 4; ++i)
        bytes[at + i] = char((value >> (8 * i)) & 0xFF);
}

void putLe64(QByteArray &bytes, int at, quint64 value)
{
    putLe32(bytes, at, quint32(value));
    putLe32(bytes, at + 4, quint32(value >> 32));
}

quint32 le32(const QByteArray &bytes, int at)
{
    quint32 value = 0;
    for (int i = 3; i >= 0; --i)
        value = (value << 8) | quint8(bytes[at + i]);
    return value;
}

QString KeyAndCert::subject() const
{
    if (!cert)
        return {};
    Bio bio(BIO_new(BIO_s_mem()));
    X509_NAME_print_ex(bio.get(), X509_get_subject_name(cert.get()), 0, XN_FLAG_ONELINE & ~XN_FLAG_SPC_EQ);
    return QString::fromUtf8(bioBytes(bio.get()));
}

QDateTime KeyAndCert::notAfter() const
{
    struct tm tm {};
    if (!cert || ASN1_TIME_to_tm(X509_get0_notAfter(cert.get()), &tm) != 1)
        return {};
    return QDateTime::fromSecsSinceEpoch(timegm(&tm), Qt::UTC);
}

KeyAndCert unsignedCertificate(const KeyAndCert *issuer, const QString &name, long from, long until)
{
    KeyAndCert pair;
    auto key = ownKey(EVP_RSA_gen(2048));
    auto cert = ownCert(X509_new());
    if (!key || !cert || !sdktool::setRandomSerialNumber(cert.get()))
        return pair;
    X509_set_version(cert.get(), X509_VERSION_3);
    const QByteArray cn = name.toUtf8();
    X509_NAME_add_entry_by_txt(X509_get_subject_name(cert.get()), "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char *>(cn.constData()), -1, -1, 0);
    X509_set_issuer_name(cert.get(), issuer ? X509_get_subject_name(issuer->cert.get())
                                            : X509_get_subject_name(cert.get()));
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), from);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), until);
    X509_set_pubkey(cert.get(), key.get());
    pair.key = key;
    pair.cert = cert;
    return pair;
}

KeyAndCert signIssued(const KeyAndCert &pair, const KeyAndCert *issuer, bool extensionsAdded)
{
    if (!extensionsAdded || pair.isNull()
        || !X509_sign(pair.cert.get(), issuer ? issuer->key.get() : pair.key.get(), EVP_sha256()))
        return {};
    return pair;
}

KeyAndCert makeCertificate(const CertOptions &options)
{
    KeyAndCert pair;
    auto key = ownKey(EVP_RSA_gen(static_cast<unsigned>(options.rsaBits)));
    auto cert = ownCert(X509_new());
    if (!key || !cert)
        return pair;

    if (!sdktool::setRandomSerialNumber(cert.get()))
        return pair;

    X509_set_version(cert.get(), X509_VERSION_3);
    X509_NAME *name = X509_get_subject_name(cert.get());
    const QByteArray cn = options.commonName.toUtf8();
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char *>(cn.constData()),
                               -1, -1, 0);
    X509_set_issuer_name(cert.get(), name);

    const QDateTime now = QDateTime::currentDateTimeUtc();
    const QDateTime from = options.notBefore.isValid() ? options.notBefore : now.addSecs(-3600);
    const QDateTime until = options.notAfter.isValid() ? options.notAfter : now.addDays(365);
    if (!setTime(X509_getm_notBefore(cert.get()), from) || !setTime(X509_getm_notAfter(cert.get()), until))
        return pair;
    X509_set_pubkey(cert.get(), key.get());

    bool ok = sdktool::addCertificateExtension(cert.get(), NID_basic_constraints, "critical,CA:FALSE")
              && sdktool::addCertificateExtension(cert.get(), NID_key_usage, "critical,digitalSignature")
              && sdktool::addCertificateExtension(cert.get(), NID_subject_key_identifier, "hash");
    if (options.usage == Usage::CodeSigning)
        ok = ok && sdktool::addCertificateExtension(cert.get(), NID_ext_key_usage, "codeSigning");
    else if (options.usage == Usage::ServerAuthOnly)
        ok = ok && sdktool::addCertificateExtension(cert.get(), NID_ext_key_usage, "serverAuth");
    else if (options.usage == Usage::TimeStamping)
        ok = ok && sdktool::addCertificateExtension(cert.get(), NID_ext_key_usage, "critical,timeStamping");
    if (!options.subjectAltName.isEmpty())
        ok = ok && sdktool::addCertificateExtension(cert.get(), NID_subject_alt_name, options.subjectAltName.toLatin1().constData());
    if (!ok || !X509_sign(cert.get(), key.get(), EVP_sha256()))
        return pair;

    pair.key = key;
    pair.cert = cert;
    return pair;
}

bool writePrivateKeyPem(const QString &path, const KeyAndCert &pair)
{
    if (pair.isNull())
        return false;
    BIO *bio = BIO_new_file(QFile::encodeName(path).constData(), "wb");
    if (!bio)
        return false;
    const bool ok = PEM_write_bio_PrivateKey(bio, pair.key.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1;
    BIO_free(bio);
    return ok;
}

bool writePkcs12(const QString &path, const KeyAndCert &pair, const QString &password)
{
    if (pair.isNull())
        return false;
    const QByteArray pass = password.toUtf8();
    PKCS12 *p12 = nullptr;
    if (password.isEmpty()) {
        p12 = PKCS12_create(nullptr, "test", pair.key.get(), pair.cert.get(), nullptr, -1, -1, 0, -1, 0);
    } else {
        p12 = PKCS12_create(pass.constData(), "test", pair.key.get(), pair.cert.get(), nullptr, NID_aes_256_cbc,
                            NID_aes_256_cbc, PKCS12_DEFAULT_ITER, -1, 0);
        if (p12 && !PKCS12_set_mac(p12, pass.constData(), -1, nullptr, 0, PKCS12_DEFAULT_ITER, EVP_sha256())) {
            PKCS12_free(p12);
            p12 = nullptr;
        }
    }
    if (!p12)
        return false;
    Bio bio(BIO_new(BIO_s_mem()));
    const bool ok = i2d_PKCS12_bio(bio.get(), p12) == 1;
    PKCS12_free(p12);
    return ok && writeBytes(path, bioBytes(bio.get()));
}

bool writePvk(const QString &path, const KeyAndCert &pair, const QString &password)
{
    if (pair.isNull())
        return false;
    Bio bio(BIO_new(BIO_s_mem()));
    QByteArray pass = password.toUtf8();
    const int written = password.isEmpty()
                            ? i2b_PVK_bio_ex(bio.get(), pair.key.get(), 0, nullptr, nullptr, nullptr, nullptr)
                            : i2b_PVK_bio_ex(bio.get(), pair.key.get(), 2, passwordCallback, &pass, legacyContext(),
                                             nullptr);
    return written > 0 && writeBytes(path, bioBytes(bio.get()));
}

bool writeSpc(const QString &path, const KeyAndCert &pair, Encoding encoding, const QList<KeyAndCert> &extraCerts)
{
    if (pair.isNull())
        return false;
    PKCS7 *p7 = PKCS7_new();
    bool ok = p7 && PKCS7_set_type(p7, NID_pkcs7_signed) && ASN1_INTEGER_set(p7->d.sign->version, 1)
              && PKCS7_content_new(p7, NID_pkcs7_data) && PKCS7_add_certificate(p7, pair.cert.get());
    for (const auto &extra : extraCerts)
        ok = ok && !extra.isNull() && PKCS7_add_certificate(p7, extra.cert.get());
    Bio bio(BIO_new(BIO_s_mem()));
    if (ok)
        ok = encoding == Encoding::Der ? i2d_PKCS7_bio(bio.get(), p7) == 1 : PEM_write_bio_PKCS7(bio.get(), p7) == 1;
    PKCS7_free(p7);
    return ok && writeBytes(path, bioBytes(bio.get()));
}

bool writeCertificatePem(const QString &path, const KeyAndCert &pair)
{
    if (pair.isNull())
        return false;
    Bio bio(BIO_new(BIO_s_mem()));
    return PEM_write_bio_X509(bio.get(), pair.cert.get()) == 1 && writeBytes(path, bioBytes(bio.get()));
}

QByteArray peFileBytes(quint32 variant, PeKind kind)
{
    constexpr int kFileAlignment = 0x200;
    const bool plus = kind == PeKind::Pe32Plus;
    QByteArray pe(2 * kFileAlignment, '\0');

    // DOS header: the signature and where the PE header starts.
    pe[0] = 'M';
    pe[1] = 'Z';
    putLe32(pe, 0x3C, 0x40);

    // PE signature and COFF header: i386 or x86-64, one section, executable
    // image.
    const int coff = 0x40;
    const int optionalSize = plus ? 240 : 224;
    pe[coff] = 'P';
    pe[coff + 1] = 'E';
    putLe16(pe, coff + 4, plus ? 0x8664 : 0x014C);
    putLe16(pe, coff + 6, 1);
    putLe16(pe, coff + 20, quint16(optionalSize));
    putLe16(pe, coff + 22, plus ? 0x0022 : 0x0102); // executable; large-address-aware or 32-bit machine

    // The optional header with all 16 data directories (all empty, so the
    // certificate table entry is there for the signer to fill). PE32+ has no
    // base of data and 64-bit image base, stack and heap sizes.
    const int opt = coff + 24;
    putLe16(pe, opt + 0, plus ? 0x020B : 0x010B);
    pe[opt + 2] = 14;
    putLe32(pe, opt + 4, kFileAlignment);  // size of code
    putLe32(pe, opt + 16, 0x1000);         // entry point
    putLe32(pe, opt + 20, 0x1000);         // base of code
    if (plus) {
        putLe64(pe, opt + 24, 0x140000000ULL); // image base
    } else {
        putLe32(pe, opt + 24, 0x2000);     // base of data
        putLe32(pe, opt + 28, 0x00400000); // image base
    }
    putLe32(pe, opt + 32, 0x1000);         // section alignment
    putLe32(pe, opt + 36, kFileAlignment); // file alignment
    putLe16(pe, opt + 40, 6);              // OS version 6.0
    putLe16(pe, opt + 48, 6);              // subsystem version 6.0
    putLe32(pe, opt + 56, 0x2000);         // size of image
    putLe32(pe, opt + 60, kFileAlignment); // size of headers
    putLe16(pe, opt + 68, 3);              // console subsystem
    // Dynamic base, NX, terminal-server aware (and high-entropy addresses).
    putLe16(pe, opt + 70, plus ? 0x8160 : 0x8140);
    if (plus) {
        putLe64(pe, opt + 72, 0x100000);   // stack reserve, commit; heap reserve, commit
        putLe64(pe, opt + 80, 0x1000);
        putLe64(pe, opt + 88, 0x100000);
        putLe64(pe, opt + 96, 0x1000);
        putLe32(pe, opt + 108, 16);        // number of data directories
    } else {
        putLe32(pe, opt + 72, 0x100000);
        putLe32(pe, opt + 76, 0x1000);
        putLe32(pe, opt + 80, 0x100000);
        putLe32(pe, opt + 84, 0x1000);
        putLe32(pe, opt + 92, 16);
    }

    // One section header: .text, code, read + execute.
    const int sec = opt + optionalSize;
    const char name[] = ".text";
    for (int i = 0; i < 5; ++i)
        pe[sec + i] = name[i];
    putLe32(pe, sec + 8, 6);                // virtual size
    putLe32(pe, sec + 12, 0x1000);          // virtual address
    putLe32(pe, sec + 16, kFileAlignment);  // raw size
    putLe32(pe, sec + 20, kFileAlignment);  // raw offset
    putLe32(pe, sec + 36, 0x60000020);

    // mov eax, variant ; ret
    const int code = kFileAlignment;
    pe[code] = char(0xB8);
    putLe32(pe, code + 1, variant);
    pe[code + 5] = char(0xC3);
    return pe;
}

bool writePeFile(const QString &path, quint32 variant)
{
    return writeBytes(path, peFileBytes(variant));
}

// A PE file of about `megabytes` MB: the test PE file with its one section
// grown to fill it, the section's bytes a pattern that differs per file.
bool writeLargePeFile(const QString &path, quint32 variant, qint64 megabytes)
{
    constexpr int kFileAlignment = 0x200;
    QByteArray head = peFileBytes(variant);
    const quint32 coff = le32(head, 0x3C);
    const int sections = int(coff) + 24 + 224;
    const qint64 rawSize = std::max<qint64>(kFileAlignment, megabytes * 1024 * 1024 - head.size() + kFileAlignment)
                           / kFileAlignment * kFileAlignment;
    putLe32(head, sections + 8, quint32(rawSize));                  // virtual size
    putLe32(head, sections + 16, quint32(rawSize));                 // raw size
    putLe32(head, int(coff) + 24 + 56, quint32((0x1000 + rawSize + 0xFFF) / 0x1000 * 0x1000)); // size of image
    putLe32(head, int(coff) + 24 + 4, quint32(rawSize));            // size of code
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(head) != head.size())
        return false;
    QByteArray block(1 << 20, '\0');
    for (int i = 0; i < block.size(); i += 4)
        putLe32(block, i, quint32(i) * 2654435761U ^ variant);
    qint64 left = rawSize - kFileAlignment;
    while (left > 0) {
        const qint64 n = std::min<qint64>(left, block.size());
        if (file.write(block.constData(), n) != n)
            return false;
        left -= n;
    }
    return file.flush();
}

QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

bool writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

void removeFolderContents(const QString &folder)
{
    for (const QString &name : platform::folderEntryNames(folder)) {
        const QString path = folder + u'/' + name;
        const QByteArray bytes = platform::encodeFileName(path);
        struct stat info {};
        if (::lstat(bytes.constData(), &info) != 0)
            continue;
        if (S_ISDIR(info.st_mode)) {
            ::chmod(bytes.constData(), 0700);
            removeFolderContents(path);
            ::rmdir(bytes.constData());
        } else {
            ::unlink(bytes.constData());
        }
    }
}

std::optional<KeyAndCert> readPkcs12(const QString &path, const QString &password)
{
    const QByteArray data = fileBytes(path);
    if (data.isEmpty())
        return std::nullopt;
    Bio bio(BIO_new_mem_buf(data.constData(), static_cast<int>(data.size())));
    PKCS12 *p12 = d2i_PKCS12_bio(bio.get(), nullptr);
    if (!p12)
        return std::nullopt;
    EVP_PKEY *key = nullptr;
    X509 *cert = nullptr;
    const QByteArray pass = password.toUtf8();
    const bool ok = PKCS12_parse(p12, pass.constData(), &key, &cert, nullptr) == 1;
    PKCS12_free(p12);
    ERR_clear_error();
    KeyAndCert pair{ownKey(key), ownCert(cert)};
    if (!ok || pair.isNull())
        return std::nullopt;
    return pair;
}

bool sameKey(const KeyAndCert &a, const KeyAndCert &b)
{
    return a.key && b.key && EVP_PKEY_eq(a.key.get(), b.key.get()) == 1;
}

RunResult runProgram(const QString &program, const QStringList &arguments, const QProcessEnvironment &environment,
                     int timeoutMs)
{
    RunResult result;
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setStandardInputFile(QProcess::nullDevice());
    if (!environment.isEmpty())
        process.setProcessEnvironment(environment);
    process.start(program, arguments);
    if (!process.waitForStarted(timeoutMs)) {
        result.output = process.errorString();
        return result;
    }
    result.started = true;
    if (!process.waitForFinished(timeoutMs)) {
        result.timedOut = true;
        process.kill();
        process.waitForFinished();
    }
    result.output = QString::fromUtf8(process.readAll());
    if (!result.timedOut && process.exitStatus() == QProcess::NormalExit)
        result.exitCode = process.exitCode();
    return result;
}

QString sdkToolPath(const QString &fileName)
{
    return QStringLiteral(QUILLMARK_SDK_BIN_DIR) + fileName;
}

RunResult verifySignature(const QString &path, const QString &caFile)
{
    QStringList args{QStringLiteral("verify"), QStringLiteral("-in"), path};
    if (!caFile.isEmpty())
        args << QStringLiteral("-CAfile") << caFile;
    return runProgram(QStringLiteral("osslsigncode"), args);
}

} // namespace testdata
