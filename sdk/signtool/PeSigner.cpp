#include "PeSigner.h"

#include "DerReader.h"
#include "DerWriter.h"
#include "SignatureSplice.h"

#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

using namespace sdktool;

namespace signtool {

namespace {

const char kIndirectDataOid[] = "1.3.6.1.4.1.311.2.1.4";
const char kPeImageDataOid[] = "1.3.6.1.4.1.311.2.1.15";
const char kOpusInfoOid[] = "1.3.6.1.4.1.311.2.1.12";
const char kStatementTypeOid[] = "1.3.6.1.4.1.311.2.1.11";
const char kIndividualCodeSigningOid[] = "1.3.6.1.4.1.311.2.1.21";
const char kNestedSignatureOid[] = "1.3.6.1.4.1.311.2.4.1";

constexpr uint16_t kWinCertRevision2 = 0x0200;
constexpr uint16_t kWinCertTypePkcsSignedData = 2;
constexpr size_t kPiece = 1 << 20;
// A large copy is handed to the disk as it is written, so that syncing it
// before the rename has little left to wait for.
constexpr uint64_t kWritebackEvery = 32ULL << 20;
// From this size on the copy is written around the page cache (O_DIRECT)
// in aligned pieces: it is synced before the rename anyway, and filling
// fresh page-cache pages cost most of the time of signing a large file
// (on a VM whose host takes unused memory back, several times the hash).
constexpr uint64_t kDirectFrom = 16ULL << 20;
constexpr size_t kDirectPiece = 4 << 20;
constexpr size_t kDirectAlignment = 4096;

bool setDirect(int fd, bool on)
{
    const int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, on ? (flags | O_DIRECT) : (flags & ~O_DIRECT)) == 0;
}

struct FreeDeleter {
    void operator()(unsigned char *p) const { std::free(p); }
};

using ObjectPtr = std::unique_ptr<ASN1_OBJECT, sdktool::OsslDeleter>;

ObjectPtr object(const char *oid)
{
    return ObjectPtr(OBJ_txt2obj(oid, 1));
}

bool writeAt(int fd, uint64_t offset, const unsigned char *data, size_t size)
{
    while (size > 0) {
        const ssize_t n = pwrite(fd, data, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return false;
        }
        data += n;
        offset += static_cast<uint64_t>(n);
        size -= static_cast<size_t>(n);
    }
    return true;
}

void putLe32(unsigned char *p, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<unsigned char>(value >> (8 * i));
}

uint32_t le32(const unsigned char *p)
{
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

Bytes textBytes(const std::string &text)
{
    return Bytes(text.begin(), text.end());
}

// SpcPeImageData: no flags, and the file link Windows has always written,
// "<<<Obsolete>>>" as a BMPString, or the page hashes in its place.
Bytes peImageData(const PageHashTable *pageHashes)
{
    const Bytes flags{0x03, 0x01, 0x00};
    if (pageHashes)
        return derElement(0x30, concat({flags, pageHashLink(*pageHashes)}));
    Bytes obsolete;
    for (char c : std::string("<<<Obsolete>>>")) {
        obsolete.push_back(0);
        obsolete.push_back(static_cast<unsigned char>(c));
    }
    const Bytes file = derElement(0xA0, derElement(0xA2, derElement(0x80, obsolete)));
    return derElement(0x30, concat({flags, file}));
}

Bytes digestInfo(const KnownDigest &digest)
{
    X509_SIG *sig = X509_SIG_new();
    Bytes out;
    if (!sig)
        return out;
    X509_ALGOR *algorithm = nullptr;
    ASN1_OCTET_STRING *value = nullptr;
    X509_SIG_getm(sig, &algorithm, &value);
    if (X509_ALGOR_set0(algorithm, OBJ_nid2obj(digest.mdType), V_ASN1_NULL, nullptr) == 1
        && ASN1_OCTET_STRING_set(value, digest.value.data(), static_cast<int>(digest.value.size())) == 1) {
        const int n = i2d_X509_SIG(sig, nullptr);
        if (n > 0) {
            out.resize(static_cast<size_t>(n));
            unsigned char *p = out.data();
            i2d_X509_SIG(sig, &p);
        }
    }
    X509_SIG_free(sig);
    return out;
}

// SpcSpOpusInfo: the program name as an ASCII SpcString, its link as a URL
// SpcLink; an empty SEQUENCE when there is neither.
Bytes opusInfo(const PeSignOptions &options)
{
    Bytes content;
    if (!options.description.empty())
        content = concat({content, derElement(0xA0, derElement(0x81, textBytes(options.description)))});
    if (!options.descriptionUrl.empty())
        content = concat({content, derElement(0xA1, derElement(0x80, textBytes(options.descriptionUrl)))});
    return derElement(0x30, content);
}

bool addSequenceAttribute(STACK_OF(X509_ATTRIBUTE) **attributes, const char *oid, const Bytes &value)
{
    ObjectPtr obj = object(oid);
    return obj
           && X509at_add1_attr_by_OBJ(attributes, obj.get(), V_ASN1_SEQUENCE, value.data(),
                                      static_cast<int>(value.size()))
                  != nullptr;
}

// The signature of a file with an old table: its first WIN_CERTIFICATE's
// PKCS#7, which a nested signature is added to.
struct ExistingSignature {
    Pkcs7Ptr p7;
    Bytes der;
};

std::optional<ExistingSignature> existingSignature(int fd, const PeLayout &layout, std::string &error)
{
    const auto table = certificateTable(fd, layout);
    if (!table || table->size() < 8) {
        error = "its certificate table cannot be read";
        return std::nullopt;
    }
    const uint32_t length = le32(table->data());
    const uint16_t type = static_cast<uint16_t>((*table)[6] | ((*table)[7] << 8));
    if (length < 8 || length > table->size() || type != kWinCertTypePkcsSignedData) {
        error = "its certificate table entry is not a PKCS#7 signature";
        return std::nullopt;
    }
    // A second entry would be lost with the table written anew.
    const uint64_t padded = (uint64_t(length) + 7) / 8 * 8;
    if (padded < table->size()
        && std::any_of(table->begin() + static_cast<long>(std::min<uint64_t>(padded, table->size())), table->end(),
                       [](unsigned char c) { return c != 0; })) {
        error = "its certificate table holds more than one entry";
        return std::nullopt;
    }
    const unsigned char *start = table->data() + 8;
    const unsigned char *p = start;
    ExistingSignature existing;
    existing.p7.reset(d2i_PKCS7(nullptr, &p, static_cast<long>(length - 8)));
    ERR_clear_error();
    STACK_OF(PKCS7_SIGNER_INFO) *infos = existing.p7 && PKCS7_type_is_signed(existing.p7.get())
                                             ? PKCS7_get_signer_info(existing.p7.get())
                                             : nullptr;
    if (!infos || sk_PKCS7_SIGNER_INFO_num(infos) != 1) {
        error = "its signature cannot be read";
        return std::nullopt;
    }
    existing.der.assign(start, p);
    return existing;
}

int nestedCount(PKCS7 *p7)
{
    PKCS7_SIGNER_INFO *si = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(p7), 0);
    ObjectPtr nested = object(kNestedSignatureOid);
    int count = 0;
    const STACK_OF(X509_ATTRIBUTE) *attributes = PKCS7_get_attributes(si);
    for (int i = 0; i < sk_X509_ATTRIBUTE_num(attributes); ++i) {
        X509_ATTRIBUTE *attribute = sk_X509_ATTRIBUTE_value(attributes, i);
        if (OBJ_cmp(X509_ATTRIBUTE_get0_object(attribute), nested.get()) != 0)
            continue;
        // Counted as the verifier reads them: a value that is no SEQUENCE
        // is no signature.
        for (int v = 0; v < X509_ATTRIBUTE_count(attribute); ++v) {
            const ASN1_TYPE *value = X509_ATTRIBUTE_get0_type(attribute, v);
            count += value && value->type == V_ASN1_SEQUENCE ? 1 : 0;
        }
    }
    return count;
}

// The last element in `parent`'s content, which must end exactly there.
std::optional<DerNode> lastChild(const Bytes &der, const DerNode &parent, int &children)
{
    std::optional<DerNode> last;
    children = 0;
    for (size_t at = parent.contentStart; at < parent.end; at = last->end) {
        last = derNodeAt(der, at, parent.end);
        if (!last)
            return std::nullopt;
        ++children;
    }
    return last;
}

// The signature `outer` (DER) with `nested` appended to its signer's
// unsigned attributes as an attribute of its own, after all the others.
// The bytes are spliced in rather than the structure encoded anew, so that
// every byte of the existing signatures stays as it was and the new
// signature is the last: OpenSSL would sort a SET by content on encoding.
// The signer is the last element of the last element of the SignedData,
// and its unsigned attributes ([1]) its own last, so only the lengths on
// that path change.
Bytes withNestedSignature(const Bytes &outer, const Bytes &nested)
{
    const Bytes attribute = derElement(0x30, concat({oidDer(kNestedSignatureOid), derElement(0x31, nested)}));
    std::vector<DerNode> path;
    auto root = derNodeAt(outer, 0, outer.size());
    if (!root || root->tag != 0x30 || root->end != outer.size())
        return {};
    path.push_back(*root);
    // ContentInfo -> [0] -> SignedData -> signerInfos -> the SignerInfo.
    const unsigned char tags[] = {0xA0, 0x30, 0x31, 0x30};
    for (unsigned char tag : tags) {
        int children = 0;
        const auto child = lastChild(outer, path.back(), children);
        if (!child || child->tag != tag || (tag == 0x30 && path.back().tag == 0x31 && children != 1))
            return {};
        path.push_back(*child);
    }
    int children = 0;
    const auto last = lastChild(outer, path.back(), children);
    if (!last)
        return {};
    // [1] written primitive (0x81) is no DER, though OpenSSL reads it: a
    // second [1] after it would make a signer that nobody can read.
    constexpr unsigned char kUnsignedAttributes = 0xA1, kTagNumberMask = 0xDF;
    if ((last->tag & kTagNumberMask) == (kUnsignedAttributes & kTagNumberMask) && last->tag != kUnsignedAttributes)
        return {};
    Bytes replaced;
    if (last->tag == kUnsignedAttributes) {
        path.push_back(*last);
        replaced = derElement(0xA1, concat({Bytes(outer.begin() + static_cast<long>(last->contentStart),
                                           outer.begin() + static_cast<long>(last->end)),
                                     attribute}));
    } else {
        const DerNode &signer = path.back();
        replaced = derElement(signer.tag, concat({Bytes(outer.begin() + static_cast<long>(signer.contentStart),
                                                 outer.begin() + static_cast<long>(signer.end)),
                                           derElement(0xA1, attribute)}));
    }
    // Outwards: each parent keeps what precedes its last element.
    for (size_t i = path.size() - 1; i > 0; --i) {
        const DerNode &child = path[i];
        const DerNode &parent = path[i - 1];
        replaced = derElement(parent.tag, concat({Bytes(outer.begin() + static_cast<long>(parent.contentStart),
                                                 outer.begin() + static_cast<long>(child.start)),
                                           replaced}));
    }
    return replaced;
}

// Zeros over the checksum and the certificate table's entry, wherever they
// fall in a piece at `from`: the copy gets its own values at the end.
void blankPatchedFields(unsigned char *data, uint64_t from, uint64_t to, const PeLayout &layout)
{
    const uint64_t fields[2][2] = {{layout.checksumOffset, layout.checksumOffset + 4},
                                   {layout.certEntryOffset, layout.certEntryOffset + 8}};
    for (const auto &field : fields) {
        const uint64_t a = std::max(field[0], from), b = std::min(field[1], to);
        if (a < b)
            std::memset(data + (a - from), 0, b - a);
    }
}

struct CopiedContent {
    std::string error;
    uint64_t end = 0;       // where the copy's certificate table starts (8-byte aligned)
    std::optional<KnownDigest> digest;
};

// Reads the original once up to its certificate table (or its end), and
// writes each piece to the copy as it is hashed and summed, then the zeros
// that align the table. `md` null: no digest. `pages`, when given, gets
// every piece too.
CopiedContent copyContent(int originalFd, const PeLayout &layout, int copyFd, const EVP_MD *md, PeChecksum &checksum,
                          PageHasher *pages = nullptr)
{
    CopiedContent copied;
    const uint64_t end = layout.certTableOffset != 0 ? layout.certTableOffset : layout.fileSize;
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(md ? EVP_MD_CTX_new() : nullptr, EVP_MD_CTX_free);
    if (md && (!ctx || EVP_DigestInit_ex(ctx.get(), md, nullptr) != 1)) {
        copied.error = "the digest cannot be made";
        return copied;
    }
    bool direct = end >= kDirectFrom && setDirect(copyFd, true);
    const size_t capacity = direct ? kDirectPiece : static_cast<size_t>(std::clamp<uint64_t>(end, 8, kPiece));
    void *memory = nullptr;
    if (posix_memalign(&memory, kDirectAlignment, capacity) != 0) {
        copied.error = "no memory to copy it";
        return copied;
    }
    std::unique_ptr<unsigned char, FreeDeleter> buffer(static_cast<unsigned char *>(memory));
    uint64_t flushedTo = 0;
    for (uint64_t at = 0; at < end;) {
        const size_t size = static_cast<size_t>(std::min<uint64_t>(capacity, end - at));
        if (!readAt(originalFd, at, buffer.get(), size)) {
            copied.error = "it cannot be read (" + (errno ? errnoText(errno) : std::string("it became shorter")) + ")";
            return copied;
        }
        if (ctx)
            hashAuthenticodeCovered(ctx.get(), buffer.get(), at, at + size, layout);
        if (pages && !pages->add(buffer.get(), size, at)) {
            copied.error = "its page hashes cannot be made";
            return copied;
        }
        blankPatchedFields(buffer.get(), at, at + size, layout);
        checksum.add(buffer.get(), size, at);
        // The last piece of an odd size, and a file system that refuses
        // direct writes, take the page cache.
        if (direct && (size % kDirectAlignment != 0 || !writeAt(copyFd, at, buffer.get(), size))) {
            direct = false;
            setDirect(copyFd, false);
        } else if (direct) {
            at += size;
            flushedTo = at;
            continue;
        }
        if (!writeAt(copyFd, at, buffer.get(), size)) {
            copied.error = "the signed copy cannot be written (" + errnoText(errno) + ")";
            return copied;
        }
        at += size;
        if (at - flushedTo >= kWritebackEvery) {
            sync_file_range(copyFd, static_cast<off_t>(flushedTo), static_cast<off_t>(at - flushedTo),
                            SYNC_FILE_RANGE_WRITE);
            flushedTo = at;
        }
    }
    if (direct)
        setDirect(copyFd, false);
    static const unsigned char zeros[8] = {};
    const size_t pad = static_cast<size_t>((8 - end % 8) % 8);
    if (pad > 0) {
        if (ctx)
            EVP_DigestUpdate(ctx.get(), zeros, pad);
        if (!writeAt(copyFd, end, zeros, pad)) {
            copied.error = "the signed copy cannot be written (" + errnoText(errno) + ")";
            return copied;
        }
    }
    copied.end = end + pad;
    if (ctx) {
        KnownDigest digest;
        digest.mdType = EVP_MD_get_type(md);
        digest.value.resize(EVP_MAX_MD_SIZE);
        unsigned int length = 0;
        if (EVP_DigestFinal_ex(ctx.get(), digest.value.data(), &length) != 1) {
            copied.error = "the digest cannot be made";
            return copied;
        }
        digest.value.resize(length);
        copied.digest = std::move(digest);
    }
    return copied;
}

// The certificate table's entry and the checksum, written in place once
// everything after them is known.
std::string patchHeaders(int copyFd, const PeLayout &layout, PeChecksum checksum, uint32_t tableOffset,
                         uint32_t tableSize, uint64_t fileSize)
{
    unsigned char entry[8];
    putLe32(entry, tableOffset);
    putLe32(entry + 4, tableSize);
    checksum.add(entry, sizeof entry, layout.certEntryOffset);
    unsigned char sum[4];
    putLe32(sum, checksum.value(fileSize));
    if (!writeAt(copyFd, layout.certEntryOffset, entry, sizeof entry)
        || !writeAt(copyFd, layout.checksumOffset, sum, sizeof sum))
        return "the signed copy cannot be written (" + errnoText(errno) + ")";
    return {};
}

// Appends one WIN_CERTIFICATE holding `signature` at `at` (8-byte aligned)
// and patches the headers; `result` gets the table's place and the copy's
// size, or the error.
void writeCertificateTable(int copyFd, const PeLayout &layout, uint64_t at, const Bytes &signature,
                           PeChecksum &checksum, PeSignResult &result)
{
    // WIN_CERTIFICATE: length (with its padding), revision, type, then the
    // SignedData, padded with zeros to a multiple of 8.
    const uint64_t length = 8 + uint64_t(signature.size());
    const uint64_t padded = (length + 7) / 8 * 8;
    if (at + padded > UINT32_MAX) {
        result.error = "the file is too large to carry a signature (the certificate table must start below 4 GB)";
        return;
    }
    Bytes table(static_cast<size_t>(padded), 0);
    putLe32(table.data(), static_cast<uint32_t>(padded));
    table[4] = kWinCertRevision2 & 0xFF;
    table[5] = kWinCertRevision2 >> 8;
    table[6] = kWinCertTypePkcsSignedData & 0xFF;
    table[7] = kWinCertTypePkcsSignedData >> 8;
    std::copy(signature.begin(), signature.end(), table.begin() + 8);
    checksum.add(table.data(), table.size(), at);
    if (!writeAt(copyFd, at, table.data(), table.size())) {
        result.error = "the signed copy cannot be written (" + errnoText(errno) + ")";
        return;
    }
    result.certTableOffset = static_cast<uint32_t>(at);
    result.certTableSize = static_cast<uint32_t>(padded);
    result.size = at + padded;
    result.error = patchHeaders(copyFd, layout, checksum, result.certTableOffset, result.certTableSize, result.size);
}

} // namespace

void PeChecksum::add(const unsigned char *data, size_t size, uint64_t offset)
{
    // A 32-bit little-endian word is its high 16-bit word times 65536 plus
    // its low one, and 65536 leaves 1 modulo 65535, the modulus of a sum
    // with end-around carries: adding whole 32-bit (or 64-bit, halved) words
    // sums the same 16-bit words, and the carries are folded back at the end.
    uint64_t sum = 0;
    size_t i = 0;
    if ((offset & 1) && size > 0) {
        sum += uint64_t(data[0]) << 8;
        i = 1;
    }
    for (; i + 8 <= size; i += 8) {
        uint64_t word;
        std::memcpy(&word, data + i, 8);
        sum += (word & 0xFFFFFFFFu) + (word >> 32);
    }
    for (size_t j = i; j < size; ++j)
        sum += uint64_t(data[j]) << (8 * ((j - i) & 1));
    m_sum += sum;
    while (m_sum >> 32)
        m_sum = (m_sum & 0xFFFFFFFFu) + (m_sum >> 32);
}

uint32_t PeChecksum::value(uint64_t fileSize) const
{
    uint64_t sum = m_sum;
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint32_t>(sum + fileSize);
}

Pkcs7Ptr unsignedAuthenticodeSignature(const KnownDigest &digest, const SigningKey &key,
                                       const PeSignOptions &options, std::string &error,
                                       const PageHashTable *pageHashes)
{
    const EVP_MD *md = EVP_get_digestbynid(digest.mdType);
    // SpcIndirectDataContent; its messageDigest covers the SEQUENCE's
    // content, not its tag and length.
    const Bytes content = concat({derElement(0x30, concat({oidDer(kPeImageDataOid), peImageData(pageHashes)})), digestInfo(digest)});
    const Bytes indirect = derElement(0x30, content);
    unsigned char contentDigest[EVP_MAX_MD_SIZE];
    unsigned int contentDigestLength = 0;
    if (!md || !key.key || !key.cert
        || EVP_Digest(content.data(), content.size(), contentDigest, &contentDigestLength, md, nullptr) != 1) {
        error = "the digest of the signed content cannot be made";
        return nullptr;
    }

    Pkcs7Ptr p7(PKCS7_new());
    if (!p7 || PKCS7_set_type(p7.get(), NID_pkcs7_signed) != 1) {
        error = "the signature cannot be built";
        return nullptr;
    }
    // The key only picks the signature algorithm here; a public key (the
    // certificate's, for a signature made elsewhere) does as well.
    PKCS7_SIGNER_INFO *si = PKCS7_add_signature(p7.get(), key.cert, key.key, md);
    bool ok = si != nullptr && PKCS7_add_certificate(p7.get(), key.cert) == 1;
    for (X509 *cert : key.chain)
        ok = ok && PKCS7_add_certificate(p7.get(), cert) == 1;
    if (ok) {
        ObjectPtr type = object(kIndirectDataOid);
        ok = type && PKCS7_add_signed_attribute(si, NID_pkcs9_contentType, V_ASN1_OBJECT, type.get()) == 1;
        if (ok)
            type.release(); // the attribute owns it now
    }
    const Bytes statement = derElement(0x30, oidDer(kIndividualCodeSigningOid));
    ok = ok && addSequenceAttribute(&si->auth_attr, kOpusInfoOid, opusInfo(options))
         && addSequenceAttribute(&si->auth_attr, kStatementTypeOid, statement)
         && PKCS7_add1_attrib_digest(si, contentDigest, static_cast<int>(contentDigestLength)) == 1;

    // The content: SpcIndirectDataContent under its own type.
    PKCS7 *inner = ok ? PKCS7_new() : nullptr;
    if (inner) {
        ASN1_TYPE *value = ASN1_TYPE_new();
        ASN1_STRING *sequence = ASN1_STRING_type_new(V_ASN1_SEQUENCE);
        inner->type = OBJ_txt2obj(kIndirectDataOid, 1);
        if (value && sequence && inner->type
            && ASN1_STRING_set(sequence, indirect.data(), static_cast<int>(indirect.size())) == 1) {
            ASN1_TYPE_set(value, V_ASN1_SEQUENCE, sequence);
            inner->d.other = value;
            sequence = nullptr;
            value = nullptr;
        } else {
            ok = false;
        }
        ASN1_STRING_free(sequence);
        ASN1_TYPE_free(value);
        if (ok && PKCS7_set_content(p7.get(), inner) != 1)
            ok = false;
        if (!ok)
            PKCS7_free(inner);
    } else {
        ok = false;
    }
    if (!ok) {
        error = "the signature cannot be built (" + takeOpensslError() + ")";
        return nullptr;
    }
    return p7;
}

std::vector<unsigned char> authenticodeSignature(const KnownDigest &digest, const SigningKey &key,
                                                 const PeSignOptions &options, std::string &error,
                                                 const PageHashTable *pageHashes)
{
    Pkcs7Ptr p7 = unsignedAuthenticodeSignature(digest, key, options, error, pageHashes);
    if (!p7)
        return {};
    PKCS7_SIGNER_INFO *si = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(p7.get()), 0);
    const auto signValue = [si] { return PKCS7_SIGNER_INFO_sign(si) == 1; };
    if (!(options.keyOperation ? options.keyOperation(signValue) : signValue())) {
        error = "the signature cannot be made (" + takeOpensslError() + ")";
        return {};
    }
    if (options.beforeWriting) {
        error = options.beforeWriting(p7.get(), si);
        if (!error.empty())
            return {};
    }
    Bytes out = derOf<PKCS7, i2d_PKCS7>(p7.get());
    if (out.empty())
        error = "the signature cannot be written out";
    return out;
}

PeSignResult signPeFile(int originalFd, const PeLayout &layout, int copyFd, const SigningKey &key,
                        const PeSignOptions &options)
{
    PeSignResult result;
    if (layout.trailingBytes != 0) {
        result.error = std::string("the file is damaged (") + kTrailingDataProblem + ")";
        return result;
    }
    std::optional<ExistingSignature> existing;
    if (options.append && layout.certTableOffset != 0) {
        existing = existingSignature(originalFd, layout, result.error);
        if (!existing) {
            result.error = "no signature can be appended: " + result.error;
            return result;
        }
    }
    std::unique_ptr<PageHasher> pages;
    if (options.pageHashes) {
        const int mdType = options.md ? EVP_MD_get_type(options.md) : 0;
        if (const std::string refusal = pageHashRefusal(mdType); !refusal.empty()) {
            result.error = refusal;
            return result;
        }
        std::string problem;
        pages = PageHasher::forFile(originalFd, layout, pageHashDigestFor(mdType), problem);
        if (!pages) {
            result.error = "it cannot carry page hashes (" + problem + ")";
            return result;
        }
    }
    PeChecksum checksum;
    CopiedContent copied = copyContent(originalFd, layout, copyFd, options.md, checksum, pages.get());
    if (!copied.error.empty()) {
        result.error = copied.error;
        return result;
    }
    result.digest = *copied.digest;
    std::optional<PageHashTable> pageTable;
    if (pages && !(pageTable = pages->finish())) {
        result.error = "its page hashes cannot be made";
        return result;
    }
    Bytes signature = options.finishedSignature
                          ? options.finishedSignature(result.digest, result.error)
                          : authenticodeSignature(result.digest, key, options, result.error,
                                                  pageTable ? &*pageTable : nullptr);
    if (signature.empty())
        return result;
    result.signatures = 1;
    if (existing) {
        signature = withNestedSignature(existing->der, signature);
        if (signature.empty()) {
            result.error = "no signature can be appended: its signature is not in the form (DER) that can be kept "
                           "byte for byte";
            return result;
        }
        result.signatures = 2 + nestedCount(existing->p7.get());
    }

    writeCertificateTable(copyFd, layout, copied.end, signature, checksum, result);
    return result;
}

namespace {

// The time stamp `stamp` adds to `signature` (DER), as the attribute and
// the certificates that go into it; the signature's own stamps are left
// out first, so that exactly the new one is added.
struct NewStamp {
    Bytes attribute;
    std::vector<Bytes> certificates;
};

std::optional<NewStamp> newStamp(const Bytes &signature, const PeStampOptions &options, std::string &error)
{
    const unsigned char *p = signature.data();
    Pkcs7Ptr p7(d2i_PKCS7(nullptr, &p, static_cast<long>(signature.size())));
    ERR_clear_error();
    STACK_OF(PKCS7_SIGNER_INFO) *infos = p7 && PKCS7_type_is_signed(p7.get()) ? PKCS7_get_signer_info(p7.get())
                                                                               : nullptr;
    if (!infos || sk_PKCS7_SIGNER_INFO_num(infos) != 1 || !p7->d.sign->contents) {
        error = "the signature to time-stamp cannot be read";
        return std::nullopt;
    }
    PKCS7_SIGNER_INFO *si = sk_PKCS7_SIGNER_INFO_value(infos, 0);
    sk_X509_ATTRIBUTE_pop_free(si->unauth_attr, X509_ATTRIBUTE_free);
    si->unauth_attr = nullptr;
    const int certificatesBefore = p7->d.sign->cert ? sk_X509_num(p7->d.sign->cert) : 0;
    error = options.stamp(p7.get(), si);
    if (!error.empty())
        return std::nullopt;
    NewStamp stamp;
    if (sk_X509_ATTRIBUTE_num(si->unauth_attr) != 1
        || (stamp.attribute = derOf<X509_ATTRIBUTE, i2d_X509_ATTRIBUTE>(sk_X509_ATTRIBUTE_value(si->unauth_attr, 0)))
               .empty()) {
        error = "the time stamp cannot be added to the signature";
        return std::nullopt;
    }
    for (int i = certificatesBefore; p7->d.sign->cert && i < sk_X509_num(p7->d.sign->cert); ++i) {
        Bytes cert = derOf<X509, i2d_X509>(sk_X509_value(p7->d.sign->cert, i));
        if (cert.empty()) {
            error = "the time-stamp server's certificates cannot be added to the signature";
            return std::nullopt;
        }
        stamp.certificates.push_back(std::move(cert));
    }
    return stamp;
}

} // namespace

PeSignResult stampPeFile(int originalFd, const PeLayout &layout, int copyFd, const PeStampOptions &options)
{
    PeSignResult result;
    if (layout.trailingBytes != 0) {
        result.error = std::string("the file is damaged (") + kTrailingDataProblem + ")";
        return result;
    }
    std::string problem;
    const auto existing = layout.certTableOffset != 0 ? existingSignature(originalFd, layout, problem) : std::nullopt;
    if (!existing) {
        result.error = layout.certTableOffset != 0 ? problem : "it carries no signature";
        return result;
    }
    const int signatures = 1 + std::max(appendedSignatureCount(existing->der), 0);
    const auto target = options.index == 0 ? std::optional<Bytes>(existing->der)
                                           : appendedSignature(existing->der, options.index);
    if (options.index < 0 || !target) {
        result.error = "it has no signature " + std::to_string(options.index) + " (/tp counts from 0, the primary; it "
                       "carries " + std::to_string(signatures) + ")";
        return result;
    }
    const auto stamp = newStamp(*target, options, result.error);
    if (!stamp)
        return result;
    const Bytes stamped = withTimeStamp(*target, stamp->attribute, stamp->certificates);
    const Bytes signature = stamped.empty() || options.index == 0
                                ? stamped
                                : withAppendedSignature(existing->der, options.index, stamped);
    if (signature.empty()) {
        result.error = "its signature is not in the form (DER) that can be kept byte for byte";
        return result;
    }
    PeChecksum checksum;
    CopiedContent copied = copyContent(originalFd, layout, copyFd, options.md, checksum);
    if (!copied.error.empty()) {
        result.error = copied.error;
        return result;
    }
    if (copied.digest)
        result.digest = *copied.digest;
    result.signatures = signatures;
    writeCertificateTable(copyFd, layout, copied.end, signature, checksum, result);
    return result;
}

std::string removePeSignature(int originalFd, const PeLayout &layout, int copyFd)
{
    PeChecksum checksum;
    CopiedContent copied = copyContent(originalFd, layout, copyFd, nullptr, checksum);
    if (!copied.error.empty())
        return copied.error;
    // Without a table no padding is needed: the copy ends with the content.
    const uint64_t end = layout.certTableOffset != 0 ? layout.certTableOffset : layout.fileSize;
    if (ftruncate(copyFd, static_cast<off_t>(end)) != 0)
        return "the copy cannot be written (" + errnoText(errno) + ")";
    // The padding went into the sum as zeros, which add nothing.
    return patchHeaders(copyFd, layout, checksum, 0, 0, end);
}

PeSignResult replacePeSignature(int originalFd, const PeLayout &layout, int copyFd,
                                const std::function<Bytes(const Bytes &, std::string &)> &edit)
{
    PeSignResult result;
    if (layout.trailingBytes != 0) {
        result.error = std::string("the file is damaged (") + kTrailingDataProblem + ")";
        return result;
    }
    const auto existing = existingSignature(originalFd, layout, result.error);
    if (!existing)
        return result;
    const Bytes signature = edit(existing->der, result.error);
    if (signature.empty()) {
        if (result.error.empty())
            result.error = "its signature cannot be changed";
        return result;
    }
    PeChecksum checksum;
    const CopiedContent copied = copyContent(originalFd, layout, copyFd, nullptr, checksum);
    if (!copied.error.empty()) {
        result.error = copied.error;
        return result;
    }
    writeCertificateTable(copyFd, layout, copied.end, signature, checksum, result);
    return result;
}

} // namespace signtool
