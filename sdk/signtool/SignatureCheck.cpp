#include "SignatureCheck.h"

#include "PeImage.h"
#include "ToolSupport.h"

#include <openssl/asn1.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>

#include <cctype>
#include <vector>

using namespace sdktool;

namespace signtool {

namespace {

const char kIndirectDataOid[] = "1.3.6.1.4.1.311.2.1.4";
const char kNestedSignatureOid[] = "1.3.6.1.4.1.311.2.4.1";
constexpr uint16_t kCertificateTypePkcsSignedData = 2;

struct SigDeleter {
    void operator()(X509_SIG *p) const { X509_SIG_free(p); }
};

bool hasOid(const ASN1_OBJECT *object, const char *oid)
{
    char text[80];
    return object && OBJ_obj2txt(text, sizeof text, object, 1) > 0 && std::string(text) == oid;
}

// The value bytes of a DER element (what follows its tag and length).
bool elementValue(const unsigned char *&p, long available, const unsigned char *&value, long &length)
{
    int tag = 0, xclass = 0;
    const unsigned char *start = p;
    const int rc = ASN1_get_object(&p, &length, &tag, &xclass, available);
    if (rc & 0x80)
        return false;
    value = p;
    if (length > available - (p - start))
        return false;
    p += length;
    return true;
}

// SpcIndirectDataContent ::= SEQUENCE { data SpcAttributeTypeAndOptionalValue,
//                                       messageDigest DigestInfo }
struct IndirectData {
    const unsigned char *signedBytes = nullptr; // the SEQUENCE's value: what the signature covers
    long signedLength = 0;
    std::unique_ptr<X509_SIG, SigDeleter> digestInfo;
};

std::optional<IndirectData> indirectData(PKCS7 *p7)
{
    if (!PKCS7_type_is_signed(p7) || !p7->d.sign->contents
        || !hasOid(p7->d.sign->contents->type, kIndirectDataOid))
        return std::nullopt;
    const ASN1_TYPE *content = p7->d.sign->contents->d.other;
    if (!content || content->type != V_ASN1_SEQUENCE)
        return std::nullopt;
    IndirectData data;
    const unsigned char *p = content->value.sequence->data;
    if (!elementValue(p, content->value.sequence->length, data.signedBytes, data.signedLength))
        return std::nullopt;
    const unsigned char *inner = data.signedBytes;
    const unsigned char *skipped = nullptr;
    long skippedLength = 0;
    if (!elementValue(inner, data.signedLength, skipped, skippedLength))
        return std::nullopt;
    const unsigned char *digestInfoStart = inner;
    const long rest = data.signedLength - (inner - data.signedBytes);
    data.digestInfo.reset(d2i_X509_SIG(nullptr, &digestInfoStart, rest));
    if (!data.digestInfo)
        return std::nullopt;
    return data;
}

// The signature over the signed attributes, and their message digest over
// the indirect data, hold for `signer`.
bool signatureHolds(PKCS7 *p7, PKCS7_SIGNER_INFO *si, X509 *signer, const IndirectData &data)
{
    const EVP_MD *md = EVP_get_digestbyobj(si->digest_alg->algorithm);
    if (!md)
        return false;
    BioPtr chain(BIO_new(BIO_f_md()));
    if (!chain || BIO_set_md(chain.get(), md) != 1)
        return false;
    BIO *content = BIO_new_mem_buf(data.signedBytes, static_cast<int>(data.signedLength));
    if (!content)
        return false;
    BIO_push(chain.get(), content);
    unsigned char buffer[4096];
    while (BIO_read(chain.get(), buffer, sizeof buffer) > 0) {
    }
    const bool ok = PKCS7_signatureVerify(chain.get(), p7, si, signer) == 1;
    ERR_clear_error();
    return ok;
}

// This signature and the ones nested in its first signer's unsigned
// attributes (an appended signature).
std::vector<Pkcs7Ptr> signaturesOf(PKCS7 *outer)
{
    std::vector<Pkcs7Ptr> all;
    STACK_OF(PKCS7_SIGNER_INFO) *infos = PKCS7_get_signer_info(outer);
    if (!infos || sk_PKCS7_SIGNER_INFO_num(infos) < 1)
        return all;
    PKCS7_SIGNER_INFO *si = sk_PKCS7_SIGNER_INFO_value(infos, 0);
    const STACK_OF(X509_ATTRIBUTE) *unsignedAttributes = PKCS7_get_attributes(si);
    for (int i = 0; i < sk_X509_ATTRIBUTE_num(unsignedAttributes); ++i) {
        X509_ATTRIBUTE *attribute = sk_X509_ATTRIBUTE_value(unsignedAttributes, i);
        if (!hasOid(X509_ATTRIBUTE_get0_object(attribute), kNestedSignatureOid))
            continue;
        for (int v = 0; v < X509_ATTRIBUTE_count(attribute); ++v) {
            const ASN1_TYPE *value = X509_ATTRIBUTE_get0_type(attribute, v);
            if (!value || value->type != V_ASN1_SEQUENCE)
                continue;
            const unsigned char *p = value->value.sequence->data;
            if (PKCS7 *nested = d2i_PKCS7(nullptr, &p, value->value.sequence->length))
                all.emplace_back(nested);
        }
    }
    return all;
}

} // namespace

std::string checkSignedCopy(int originalFd, int copyFd, X509 *signer, const KnownDigest *original)
{
    std::string problem;
    const auto copy = readPeLayout(copyFd, problem);
    if (!copy)
        return "the signed copy is damaged (" + problem + ")";
    const auto table = certificateTable(copyFd, *copy);
    if (!table || table->size() < 8)
        return "the signed copy carries no signature";
    if (uint64_t(copy->certTableOffset) + copy->certTableSize != copy->fileSize)
        return "the signed copy is incomplete";
    const unsigned char *entry = table->data();
    const uint32_t entryLength = uint32_t(entry[0]) | (uint32_t(entry[1]) << 8) | (uint32_t(entry[2]) << 16)
                                 | (uint32_t(entry[3]) << 24);
    const uint16_t entryType = static_cast<uint16_t>(entry[6] | (entry[7] << 8));
    if (entryLength < 8 || entryLength > table->size() || entryType != kCertificateTypePkcsSignedData)
        return "the signature of the signed copy is damaged";
    const unsigned char *der = entry + 8;
    Pkcs7Ptr outer(d2i_PKCS7(nullptr, &der, static_cast<long>(entryLength - 8)));
    ERR_clear_error();
    if (!outer)
        return "the signature of the signed copy cannot be read";

    std::vector<Pkcs7Ptr> nested = signaturesOf(outer.get());
    std::vector<PKCS7 *> candidates{outer.get()};
    for (const auto &p7 : nested)
        candidates.push_back(p7.get());

    for (PKCS7 *p7 : candidates) {
        const auto data = indirectData(p7);
        if (!data)
            continue;
        STACK_OF(PKCS7_SIGNER_INFO) *infos = PKCS7_get_signer_info(p7);
        if (!infos || sk_PKCS7_SIGNER_INFO_num(infos) != 1)
            continue;
        PKCS7_SIGNER_INFO *si = sk_PKCS7_SIGNER_INFO_value(infos, 0);
        X509 *signerInFile = X509_find_by_issuer_and_serial(p7->d.sign->cert, si->issuer_and_serial->issuer,
                                                            si->issuer_and_serial->serial);
        if (!signerInFile || X509_cmp(signerInFile, signer) != 0)
            continue;
        if (!signatureHolds(p7, si, signer, *data))
            return "the signature of the signed copy does not verify";

        const X509_ALGOR *algorithm = nullptr;
        const ASN1_OCTET_STRING *embedded = nullptr;
        X509_SIG_get0(data->digestInfo.get(), &algorithm, &embedded);
        const EVP_MD *md = EVP_get_digestbyobj(algorithm->algorithm);
        if (!md)
            return "the signed copy names a digest this tool does not know";
        const auto copyDigest = authenticodeDigest(copyFd, *copy, md);
        if (!copyDigest)
            return "the signed copy cannot be read";
        if (copyDigest->size() != static_cast<size_t>(ASN1_STRING_length(embedded))
            || !std::equal(copyDigest->begin(), copyDigest->end(), ASN1_STRING_get0_data(embedded)))
            return "the signed copy does not match its signature";
        std::optional<std::vector<unsigned char>> originalDigest;
        if (original && original->mdType == EVP_MD_get_type(md)) {
            originalDigest = original->value;
        } else {
            const auto layout = readPeLayout(originalFd, problem);
            originalDigest = layout ? authenticodeDigest(originalFd, *layout, md) : std::nullopt;
        }
        if (!originalDigest || *originalDigest != *copyDigest)
            return "the signed copy does not hold the file's content (was the file changed meanwhile?)";
        return {};
    }
    return "the signed copy carries no signature with the chosen certificate";
}

namespace {

// The value after "NAME :" on each line that starts (after blanks) with NAME.
std::vector<std::string> reportValues(const std::string &report, const std::string &name)
{
    std::vector<std::string> values;
    for (const std::string &line : trimmedLines(report)) {
        if (line.compare(0, name.size(), name) != 0)
            continue;
        const size_t colon = line.find(':', name.size());
        if (colon == std::string::npos || line.find_first_not_of(" \t", name.size()) != colon)
            continue;
        values.push_back(trimmed(line.substr(colon + 1)));
    }
    return values;
}

std::string withoutLeadingZeros(std::string hex)
{
    for (char &c : hex)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const size_t first = hex.find_first_not_of('0');
    return first == std::string::npos ? std::string("0") : hex.substr(first);
}

} // namespace

std::string checkVerifyReport(const std::string &report, X509 *signer)
{
    const std::vector<std::string> current = reportValues(report, "Current message digest");
    const std::vector<std::string> calculated = reportValues(report, "Calculated message digest");
    if (current.empty() || calculated.empty() || current.front().empty())
        return "the signed copy cannot be read as a signed file";
    if (current.front() != calculated.front())
        return "the signed copy does not match its signature";
    std::string serial;
    if (BIGNUM *number = ASN1_INTEGER_to_BN(X509_get0_serialNumber(signer), nullptr)) {
        if (char *hex = BN_bn2hex(number)) {
            serial = withoutLeadingZeros(hex);
            OPENSSL_free(hex);
        }
        BN_free(number);
    }
    for (const std::string &value : reportValues(report, "Serial")) {
        if (!serial.empty() && withoutLeadingZeros(value) == serial)
            return {};
    }
    return "the signed copy carries no signature with the chosen certificate";
}

int appendedSignatureCount(int fd)
{
    std::string problem;
    const auto layout = readPeLayout(fd, problem);
    if (!layout)
        return -1;
    const auto table = certificateTable(fd, *layout);
    if (!table || table->size() < 8)
        return -1;
    const unsigned char *der = table->data() + 8;
    Pkcs7Ptr outer(d2i_PKCS7(nullptr, &der, static_cast<long>(table->size() - 8)));
    ERR_clear_error();
    return outer ? static_cast<int>(signaturesOf(outer.get()).size()) : -1;
}

} // namespace signtool
