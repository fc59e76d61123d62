#include "DigestSigning.h"

#include "DerWriter.h"
#include "ToolSupport.h"
#include "safefile/Descriptor.h"
#include "safefile/SafeWrite.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace sdktool;

namespace signtool {

namespace {

// A signature is a few kilobytes, an unsigned signature its certificates:
// anything larger is not of /ds or /dg.
constexpr size_t kMaxSignedFileBytes = 64 * 1024;
constexpr size_t kMaxP7uBytes = 1024 * 1024;

using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)>;

PkeyCtxPtr contextOf(EVP_PKEY *key)
{
    return PkeyCtxPtr(key ? EVP_PKEY_CTX_new(key, nullptr) : nullptr, EVP_PKEY_CTX_free);
}

std::string upperCase(std::string text)
{
    for (char &c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

PKCS7_SIGNER_INFO *firstSigner(PKCS7 *p7)
{
    STACK_OF(PKCS7_SIGNER_INFO) *infos = p7 && PKCS7_type_is_signed(p7) ? PKCS7_get_signer_info(p7) : nullptr;
    return infos && sk_PKCS7_SIGNER_INFO_num(infos) == 1 ? sk_PKCS7_SIGNER_INFO_value(infos, 0) : nullptr;
}

bool verifiesDigest(X509 *cert, const EVP_MD *md, const Bytes &digest, const Bytes &signature)
{
    EVP_PKEY *key = X509_get0_pubkey(cert);
    PkeyCtxPtr ctx = contextOf(key);
    const bool ok = ctx && EVP_PKEY_verify_init(ctx.get()) == 1
                    && EVP_PKEY_CTX_set_signature_md(ctx.get(), md) == 1
                    && EVP_PKEY_verify(ctx.get(), signature.data(), signature.size(), digest.data(), digest.size()) == 1;
    ERR_clear_error();
    return ok;
}

// The file digest that the SpcIndirectDataContent of `p7` embeds.
std::optional<KnownDigest> embeddedFileDigest(PKCS7 *p7)
{
    PKCS7 *inner = p7->d.sign ? p7->d.sign->contents : nullptr;
    if (!inner || OBJ_obj2nid(inner->type) == NID_pkcs7_data || !inner->d.other
        || inner->d.other->type != V_ASN1_SEQUENCE)
        return std::nullopt;
    const ASN1_STRING *sequence = inner->d.other->value.sequence;
    const unsigned char *p = ASN1_STRING_get0_data(sequence);
    const long total = ASN1_STRING_length(sequence);
    const unsigned char *end = p + total;
    long length = 0;
    int tag = 0, cls = 0;
    // SpcIndirectDataContent ::= SEQUENCE { data, messageDigest DigestInfo }
    if ((ASN1_get_object(&p, &length, &tag, &cls, total) & 0x80) || tag != V_ASN1_SEQUENCE || p + length > end)
        return std::nullopt;
    if ((ASN1_get_object(&p, &length, &tag, &cls, end - p) & 0x80) || p + length > end)
        return std::nullopt;
    p += length;
    OsslPtr<X509_SIG> digestInfo(d2i_X509_SIG(nullptr, &p, end - p));
    ERR_clear_error();
    if (!digestInfo)
        return std::nullopt;
    const X509_ALGOR *algorithm = nullptr;
    const ASN1_OCTET_STRING *value = nullptr;
    X509_SIG_get0(digestInfo.get(), &algorithm, &value);
    KnownDigest digest;
    digest.mdType = OBJ_obj2nid(algorithm->algorithm);
    digest.value.assign(ASN1_STRING_get0_data(value), ASN1_STRING_get0_data(value) + ASN1_STRING_length(value));
    return digest;
}

// Whether the messageDigest attribute is the digest of the signed content.
bool contentDigestHolds(PKCS7 *p7, PKCS7_SIGNER_INFO *si, const EVP_MD *md)
{
    PKCS7 *inner = p7->d.sign->contents;
    const ASN1_STRING *sequence = inner->d.other->value.sequence;
    const unsigned char *p = ASN1_STRING_get0_data(sequence);
    long length = 0;
    int tag = 0, cls = 0;
    if (ASN1_get_object(&p, &length, &tag, &cls, ASN1_STRING_length(sequence)) & 0x80)
        return false;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    ASN1_OCTET_STRING *attribute = PKCS7_digest_from_attributes(si->auth_attr);
    return attribute && EVP_Digest(p, static_cast<size_t>(length), digest, &size, md, nullptr) == 1
           && static_cast<int>(size) == ASN1_STRING_length(attribute)
           && std::equal(digest, digest + size, ASN1_STRING_get0_data(attribute));
}

std::string joined(const std::string &folder, const std::string &name)
{
    return folder.empty() || folder.back() == '/' ? folder + name : folder + "/" + name;
}

} // namespace

std::string base64Text(const Bytes &bytes)
{
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char *>(out.data()), bytes.data(),
                                  static_cast<int>(bytes.size()));
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return out;
}

std::optional<Bytes> fromBase64(const std::string &text)
{
    std::string compact;
    for (char c : text) {
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n')
            continue;
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '/' && c != '=')
            return std::nullopt;
        compact += c;
    }
    if (compact.empty() || compact.size() % 4 != 0)
        return std::nullopt;
    Bytes out(compact.size() / 4 * 3);
    const int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char *>(compact.data()),
                                  static_cast<int>(compact.size()));
    if (n < 0)
        return std::nullopt;
    // EVP_DecodeBlock keeps the zeros that the padding stands for.
    size_t size = static_cast<size_t>(n);
    for (size_t i = compact.size(); i > 0 && compact[i - 1] == '='; --i)
        --size;
    out.resize(size);
    return out;
}

std::optional<Bytes> signedAttributesDigest(PKCS7_SIGNER_INFO *si, const EVP_MD *md)
{
    unsigned char *der = nullptr;
    const int length = ASN1_item_i2d(reinterpret_cast<ASN1_VALUE *>(si->auth_attr), &der,
                                     ASN1_ITEM_rptr(PKCS7_ATTR_SIGN));
    if (length <= 0 || !md)
        return std::nullopt;
    Bytes digest(EVP_MAX_MD_SIZE);
    unsigned int size = 0;
    const bool ok = EVP_Digest(der, static_cast<size_t>(length), digest.data(), &size, md, nullptr) == 1;
    OPENSSL_free(der);
    if (!ok)
        return std::nullopt;
    digest.resize(size);
    return digest;
}

Bytes signDigestValue(EVP_PKEY *key, const EVP_MD *md, const Bytes &digest, std::string &error)
{
    PkeyCtxPtr ctx = contextOf(key);
    size_t size = 0;
    if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1 || EVP_PKEY_CTX_set_signature_md(ctx.get(), md) != 1
        || EVP_PKEY_sign(ctx.get(), nullptr, &size, digest.data(), digest.size()) != 1) {
        error = "the key cannot sign it (" + takeOpensslError() + ")";
        return {};
    }
    Bytes signature(size);
    if (EVP_PKEY_sign(ctx.get(), signature.data(), &size, digest.data(), digest.size()) != 1) {
        error = "the key cannot sign it (" + takeOpensslError() + ")";
        return {};
    }
    signature.resize(size);
    return signature;
}

std::string digestXml(const Bytes &digest, const EVP_MD *md, X509 *cert)
{
    Bytes certDer;
    const int n = i2d_X509(cert, nullptr);
    if (n > 0) {
        certDer.resize(static_cast<size_t>(n));
        unsigned char *p = certDer.data();
        i2d_X509(cert, &p);
    }
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n"
           "<DigestSigningRequest>\r\n"
           "  <DigestAlgorithm>" + upperCase(OBJ_nid2sn(EVP_MD_get_type(md))) + "</DigestAlgorithm>\r\n"
           "  <Digest>" + base64Text(digest) + "</Digest>\r\n"
           "  <SigningCertificate>" + base64Text(certDer) + "</SigningCertificate>\r\n"
           "</DigestSigningRequest>\r\n";
}

std::optional<Bytes> digestOfDigFile(const std::string &content)
{
    const size_t start = content.find("<Digest>");
    if (start == std::string::npos)
        return fromBase64(content);
    const size_t from = start + std::string("<Digest>").size();
    const size_t end = content.find("</Digest>", from);
    if (end == std::string::npos)
        return std::nullopt;
    return fromBase64(content.substr(from, end - from));
}

bool readInFolder(int folder, const std::string &name, size_t maxBytes, std::string &data, std::string &error)
{
    safefile::Descriptor fd(openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat st {};
    if (!fd) {
        error = errno == ELOOP ? std::string("it is a symbolic link, which is not followed here") : errnoText(errno);
        return false;
    }
    if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        error = "it is not a regular file";
        return false;
    }
    if (static_cast<uint64_t>(st.st_size) > maxBytes) {
        error = "it is larger than " + sizeText(static_cast<off_t>(maxBytes));
        return false;
    }
    data.assign(static_cast<size_t>(st.st_size), '\0');
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t got = pread(fd.get(), data.data() + done, data.size() - done, static_cast<off_t>(done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            error = got < 0 ? errnoText(errno) : std::string("it became shorter while it was read");
            return false;
        }
        done += static_cast<size_t>(got);
    }
    return true;
}

std::string writeInFolder(int folder, const std::string &name, const std::string &data)
{
    safefile::Temporary temporary;
    if (const int err = temporary.create(folder, "." + name + ".", ".tmp", 0644); err != 0)
        return errnoText(err);
    // The mode given is less the umask; these files hold nothing secret.
    fchmod(temporary.fd(), 0644);
    if (!writeAll(temporary.fd(), data))
        return errnoText(errno ? errno : EIO);
    if (const int err = temporary.commit(name, nullptr); err != 0)
        return errnoText(err);
    return {};
}

std::string fileNameOf(const std::string &path)
{
    std::string trimmedPath = path;
    while (trimmedPath.size() > 1 && trimmedPath.back() == '/')
        trimmedPath.pop_back();
    const size_t slash = trimmedPath.rfind('/');
    return slash == std::string::npos ? trimmedPath : trimmedPath.substr(slash + 1);
}

std::optional<IngestedSignature> readIngestedSignature(int folder, const std::string &folderShown,
                                                       const std::string &fileName, std::string &error)
{
    IngestedSignature ingested;
    ingested.p7uShown = joined(folderShown, fileName + ".p7u");
    const std::string signedShown = joined(folderShown, fileName + ".dig.signed");
    std::string p7u, signedText, problem;
    if (!readInFolder(folder, fileName + ".p7u", kMaxP7uBytes, p7u, problem)) {
        error = "its unsigned signature " + ingested.p7uShown + " cannot be read (" + problem + ")";
        return std::nullopt;
    }
    if (!readInFolder(folder, fileName + ".dig.signed", kMaxSignedFileBytes, signedText, problem)) {
        error = "its signed digest " + signedShown + " cannot be read (" + problem + ")";
        return std::nullopt;
    }
    const unsigned char *p = reinterpret_cast<const unsigned char *>(p7u.data());
    ingested.p7.reset(d2i_PKCS7(nullptr, &p, static_cast<long>(p7u.size())));
    ERR_clear_error();
    PKCS7_SIGNER_INFO *si = firstSigner(ingested.p7.get());
    const std::optional<KnownDigest> fileDigest = si ? embeddedFileDigest(ingested.p7.get()) : std::nullopt;
    const EVP_MD *md = si ? EVP_get_digestbyobj(si->digest_alg->algorithm) : nullptr;
    if (!fileDigest || !md || !si->issuer_and_serial || !contentDigestHolds(ingested.p7.get(), si, md)) {
        error = ingested.p7uShown + " is no unsigned Authenticode signature of /dg";
        return std::nullopt;
    }
    ingested.fileDigest = *fileDigest;
    X509 *cert = X509_find_by_issuer_and_serial(ingested.p7->d.sign->cert, si->issuer_and_serial->issuer,
                                                si->issuer_and_serial->serial);
    if (!cert) {
        error = ingested.p7uShown + " does not hold its signer's certificate";
        return std::nullopt;
    }
    X509_up_ref(cert);
    ingested.signer.reset(cert);
    const std::optional<Bytes> signature = fromBase64(signedText);
    const std::optional<Bytes> digest = signedAttributesDigest(si, md);
    if (!signature || signature->empty()) {
        error = signedShown + " holds no signature (base64 text)";
        return std::nullopt;
    }
    if (!digest || !verifiesDigest(cert, md, *digest, *signature)) {
        error = "the signature in " + signedShown + " was not made by the key of the certificate "
                + nameText(X509_get_subject_name(cert)) + " over the digest of " + ingested.p7uShown;
        return std::nullopt;
    }
    if (ASN1_STRING_set(si->enc_digest, signature->data(), static_cast<int>(signature->size())) != 1) {
        error = "no memory for its signature";
        return std::nullopt;
    }
    return ingested;
}

Bytes completeIngestedSignature(IngestedSignature &ingested, const KnownDigest &made,
                                const std::function<std::string(PKCS7 *, PKCS7_SIGNER_INFO *)> &beforeWriting,
                                std::string &error)
{
    if (made.mdType != ingested.fileDigest.mdType || made.value != ingested.fileDigest.value) {
        error = "the file changed after its digest was made with /dg (its digest is no longer the one that "
                + ingested.p7uShown + " signs)";
        return {};
    }
    PKCS7_SIGNER_INFO *si = firstSigner(ingested.p7.get());
    if (beforeWriting) {
        error = beforeWriting(ingested.p7.get(), si);
        if (!error.empty())
            return {};
    }
    Bytes der = derOf<PKCS7, i2d_PKCS7>(ingested.p7.get());
    if (der.empty())
        error = "the signature cannot be written out";
    return der;
}

} // namespace signtool
