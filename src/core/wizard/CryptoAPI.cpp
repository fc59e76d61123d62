#include "wizard/CryptoAPI.h"

#include "wizard/CRC.h"

#include "platform/Platform.h"

#include <QFile>

#include <openssl/evp.h>

class DigestState {
public:
    virtual ~DigestState() = default;
    virtual void update(const unsigned char *bytes, std::size_t count) = 0;
    virtual QString finish() = 0;
};

namespace {

class CrcState final : public DigestState {
public:
    explicit CrcState(bool msbFirst)
        : m_msbFirst(msbFirst)
    {
    }
    void update(const unsigned char *bytes, std::size_t count) override
    {
        m_register = m_msbFirst ? CrcMsbUpdate(m_register, bytes, count)
                                : CrcLsbUpdate(m_register, bytes, count);
    }
    QString finish() override
    {
        return QStringLiteral("%1").arg(CrcFinal(m_register), 8, 16, QLatin1Char('0'));
    }

private:
    bool m_msbFirst;
    quint32 m_register = CrcInitialRegister;
};

// The published hashes come from OpenSSL rather than from code of our own.
class EvpState final : public DigestState {
public:
    ~EvpState() override { EVP_MD_CTX_free(m_ctx); }

    static std::unique_ptr<DigestState> create(const EVP_MD *md)
    {
        auto state = std::unique_ptr<EvpState>(new EvpState);
        state->m_ctx = EVP_MD_CTX_new();
        if (!md || !state->m_ctx || EVP_DigestInit_ex(state->m_ctx, md, nullptr) != 1)
            return nullptr;
        return state;
    }
    void update(const unsigned char *bytes, std::size_t count) override
    {
        m_ok = m_ok && EVP_DigestUpdate(m_ctx, bytes, count) == 1;
    }
    QString finish() override
    {
        unsigned char out[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        if (!m_ok || EVP_DigestFinal_ex(m_ctx, out, &length) != 1)
            return QString();
        return QString::fromLatin1(
            QByteArray(reinterpret_cast<const char *>(out), int(length)).toHex());
    }

private:
    EvpState() = default;
    EVP_MD_CTX *m_ctx = nullptr;
    bool m_ok = true;
};

// The algorithm's state, or null for a selector that is not provided.
std::unique_ptr<DigestState> makeState(quint32 selector)
{
    using namespace DigestSelector;
    switch (selector) {
    case CRC32Reversed:
        return std::make_unique<CrcState>(true);
    case CRC32Reflected:
        return std::make_unique<CrcState>(false);
    case MD5:
        return EvpState::create(EVP_md5());
    case SHA1:
        return EvpState::create(EVP_sha1());
    case SHA256:
        return EvpState::create(EVP_sha256());
    case SHA384:
        return EvpState::create(EVP_sha384());
    case SHA512:
        return EvpState::create(EVP_sha512());
    default:
        return nullptr;
    }
}

bool isProvided(quint32 selector)
{
    using namespace DigestSelector;
    return selector == MD5 || selector == CRC32Reversed || selector == CRC32Reflected
        || (selector >= SHA1 && selector <= SHA512);
}

// Opens the file for reading only when it is a regular file: anyone may put
// a FIFO at a path the user chose, and a plain open of a FIFO waits until
// someone writes to it, which may be never.
bool openRegularFile(QFile &file, const QString &fileName)
{
    const int fd = platform::openRegularFile(fileName);
    if (fd < 0)
        return false;
    // A QFile not yet open takes any open descriptor, and closes it from
    // now on.
    return file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle);
}

bool isHavalOrTiger(quint32 selector)
{
    return (selector >= DigestSelector::Haval128 && selector <= DigestSelector::Haval256)
        || (selector >= DigestSelector::Tiger128 && selector <= DigestSelector::Tiger192);
}

} // namespace

DigestContext::DigestContext() = default;
DigestContext::~DigestContext() = default;

quint32 DigestInit(DigestContext *context, quint32 selector)
{
    if (!context)
        return DigestNoContext;
    context->selector = selector;
    context->passes = isHavalOrTiger(selector) ? 3 : 0;
    context->state = makeState(selector);
    return context->state ? DigestOk : DigestBadSelector;
}

quint32 DigestUpdate(DigestContext *context, const void *bytes, std::size_t count)
{
    if (!context)
        return DigestNoContext;
    if (!context->state)
        return DigestNoState;
    context->state->update(static_cast<const unsigned char *>(bytes), count);
    return DigestOk;
}

quint32 DigestFinal(DigestContext *context, QString &digestText)
{
    if (!context)
        return DigestNoContext;
    if (!context->state)
        return isProvided(context->selector) ? DigestNoState : DigestBadSelector;
    const QString text = context->state->finish();
    context->state.reset();
    if (text.isEmpty())
        return DigestBadSelector;   // the algorithm refused (e.g. disabled in OpenSSL)
    digestText = text;
    return DigestOk;
}

qint64 DigestFileSize(const QString &fileName)
{
    QFile file;
    if (!openRegularFile(file, fileName))
        return -1;
    // Measured in 64 bits: a 32-bit size would cut files of 4 GiB and more,
    // and a signed one would turn those of 2 GiB and more into failures.
    return file.size();
}

bool DigestFileRange(DigestContext *context, const QString &fileName, qint64 offset, qint64 size)
{
    const qint64 limit = size - offset;
    if (limit <= 0)
        return false;
    QFile file;
    if (!openRegularFile(file, fileName) || !file.seek(offset))
        return false;
    char buffer[DigestBlockSize];
    qint64 total = 0;
    for (;;) {
        const qint64 got = file.read(buffer, DigestBlockSize);
        // A read error is no end of file: the bytes read so far are not the
        // file, and reporting them as its digest would let a partly read
        // file pass for a complete one.
        if (got <= 0)
            return false;
        if (total + got >= limit) {
            DigestUpdate(context, buffer, std::size_t(limit - total));
            return true;
        }
        DigestUpdate(context, buffer, std::size_t(got));
        total += got;
    }
}

quint32 DigestFile(quint32 selector, const QString &fileName, QString &digestText)
{
    DigestContext context;
    const qint64 size = DigestFileSize(fileName);
    if (size == -1)
        return DigestOpenFailed;
    quint32 code = DigestInit(&context, selector);
    if (code == DigestOk && !DigestFileRange(&context, fileName, 0, size))
        code = DigestShortRead;
    if (code != DigestOk)
        return code;
    return DigestFinal(&context, digestText);
}
