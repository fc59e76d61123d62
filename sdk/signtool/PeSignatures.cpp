#include "PeSignatures.h"

#include "CertificatePath.h"
#include "PageHashes.h"
#include "PeImage.h"
#include "Revocation.h"

#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/ts.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <functional>
#include <map>
#include <optional>

using namespace sdktool;

namespace signtool {

namespace {

const char kIndirectDataOid[] = "1.3.6.1.4.1.311.2.1.4";
const char kNestedSignatureOid[] = "1.3.6.1.4.1.311.2.4.1";
const char kRfc3161TokenOid[] = "1.3.6.1.4.1.311.3.3.1";
const char kOpusInfoOid[] = "1.3.6.1.4.1.311.2.1.12";
constexpr uint16_t kCertificateTypePkcsSignedData = 2;

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
    std::unique_ptr<X509_SIG, sdktool::OsslDeleter> digestInfo;
};

std::optional<IndirectData> indirectData(PKCS7 *p7)
{
    if (!PKCS7_type_is_signed(p7) || !p7->d.sign->contents || !hasOid(p7->d.sign->contents->type, kIndirectDataOid))
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

// The signer's signature (and, with signed attributes, their message
// digest) holds over `data` for `cert`.
bool signerInfoHolds(PKCS7 *p7, PKCS7_SIGNER_INFO *si, X509 *cert, const unsigned char *data, long length)
{
    const EVP_MD *md = EVP_get_digestbyobj(si->digest_alg->algorithm);
    if (!md || length < 0)
        return false;
    BioPtr chain(BIO_new(BIO_f_md()));
    if (!chain || BIO_set_md(chain.get(), md) != 1)
        return false;
    BIO *content = BIO_new_mem_buf(data, static_cast<int>(length));
    if (!content)
        return false;
    BIO_push(chain.get(), content);
    unsigned char buffer[4096];
    while (BIO_read(chain.get(), buffer, sizeof buffer) > 0) {
    }
    const bool ok = PKCS7_signatureVerify(chain.get(), p7, si, cert) == 1;
    ERR_clear_error();
    return ok;
}

X509 *certificateOf(PKCS7 *p7, PKCS7_SIGNER_INFO *si)
{
    if (!PKCS7_type_is_signed(p7) || !si->issuer_and_serial)
        return nullptr;
    return X509_find_by_issuer_and_serial(p7->d.sign->cert, si->issuer_and_serial->issuer,
                                          si->issuer_and_serial->serial);
}

PKCS7_SIGNER_INFO *onlySigner(PKCS7 *p7)
{
    STACK_OF(PKCS7_SIGNER_INFO) *infos = PKCS7_type_is_signed(p7) ? PKCS7_get_signer_info(p7) : nullptr;
    return infos && sk_PKCS7_SIGNER_INFO_num(infos) == 1 ? sk_PKCS7_SIGNER_INFO_value(infos, 0) : nullptr;
}

// The DER values of the unsigned attribute `oid` of a signer.
std::vector<const ASN1_STRING *> unsignedValues(PKCS7_SIGNER_INFO *si, const char *oid)
{
    std::vector<const ASN1_STRING *> values;
    const STACK_OF(X509_ATTRIBUTE) *attributes = PKCS7_get_attributes(si);
    for (int i = 0; i < sk_X509_ATTRIBUTE_num(attributes); ++i) {
        X509_ATTRIBUTE *attribute = sk_X509_ATTRIBUTE_value(attributes, i);
        if (!hasOid(X509_ATTRIBUTE_get0_object(attribute), oid))
            continue;
        for (int v = 0; v < X509_ATTRIBUTE_count(attribute); ++v) {
            const ASN1_TYPE *value = X509_ATTRIBUTE_get0_type(attribute, v);
            if (value && value->type == V_ASN1_SEQUENCE)
                values.push_back(value->value.sequence);
        }
    }
    return values;
}

std::string upperCase(std::string text)
{
    for (char &c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

std::string lowerCase(std::string text)
{
    for (char &c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::optional<std::vector<unsigned char>> digestOf(const EVP_MD *md, const unsigned char *data, size_t size)
{
    std::vector<unsigned char> digest(EVP_MAX_MD_SIZE);
    unsigned int length = 0;
    if (!md || EVP_Digest(data, size, digest.data(), &length, md, nullptr) != 1)
        return std::nullopt;
    digest.resize(length);
    return digest;
}

bool sameBytes(const std::vector<unsigned char> &bytes, const ASN1_STRING *string)
{
    return string && bytes.size() == static_cast<size_t>(ASN1_STRING_length(string))
           && std::equal(bytes.begin(), bytes.end(), ASN1_STRING_get0_data(string));
}

// Why a path that does not hold fails, as the reason to follow "FILE is not
// validly signed: " or a time stamp's problem. `whose` names the leaf ("its
// certificate"), `when` the time it was judged at ("" for now).
std::string pathFailure(const CertificatePath &path, const std::string &whose, const std::string &when)
{
    const std::string which = path.failingDepth == 0 || path.failingSubject.empty()
                                  ? whose
                                  : "the certificate " + path.failingSubject + " of its chain";
    switch (path.code) {
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return which + (when.empty() ? " is not yet valid" : " was not yet valid at " + when) + " (valid from "
               + path.failingValidFrom + ")";
    case X509_V_ERR_CERT_HAS_EXPIRED:
        return which + (when.empty() ? " has expired" : " had expired at " + when) + " (valid until "
               + path.failingValidUntil + ")";
    default:
        return path.error;
    }
}

// UCS-2 (big-endian, as a BMPString holds it) as UTF-8.
std::string utf8FromBmp(const unsigned char *data, long length)
{
    std::string text;
    for (long i = 0; i + 1 < length; i += 2) {
        const unsigned code = (unsigned(data[i]) << 8) | data[i + 1];
        if (code < 0x80) {
            text += static_cast<char>(code);
        } else if (code < 0x800) {
            text += static_cast<char>(0xC0 | (code >> 6));
            text += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            text += static_cast<char>(0xE0 | (code >> 12));
            text += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            text += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    return text;
}

// An SpcLink's url ([0] IMPLICIT IA5String) from the element at `p`; its
// other forms (a moniker, a file) name no address.
std::string spcLinkUrl(const unsigned char *p, long available)
{
    long length = 0;
    int tag = 0, xclass = 0;
    const int rc = ASN1_get_object(&p, &length, &tag, &xclass, available);
    if ((rc & 0x80) || xclass != V_ASN1_CONTEXT_SPECIFIC || tag != 0 || (rc & V_ASN1_CONSTRUCTED))
        return {};
    return std::string(reinterpret_cast<const char *>(p), static_cast<size_t>(length));
}

// A text from a signature, fit to print on a line of its own: control
// characters (a line end that would forge a "Successfully verified" line)
// become "?".
std::string printable(std::string text)
{
    for (char &c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = '?';
    }
    return text;
}

// The description and its URL of SpcSpOpusInfo ::= SEQUENCE {
//   programName [0] EXPLICIT SpcString OPTIONAL,
//   moreInfo    [1] EXPLICIT SpcLink OPTIONAL }, a signed attribute.
void readOpusInfo(PKCS7_SIGNER_INFO *si, SignatureFinding &finding)
{
    const STACK_OF(X509_ATTRIBUTE) *attributes = PKCS7_get_signed_attributes(si);
    for (int i = 0; i < sk_X509_ATTRIBUTE_num(attributes); ++i) {
        X509_ATTRIBUTE *attribute = sk_X509_ATTRIBUTE_value(attributes, i);
        if (!hasOid(X509_ATTRIBUTE_get0_object(attribute), kOpusInfoOid))
            continue;
        const ASN1_TYPE *value = X509_ATTRIBUTE_get0_type(attribute, 0);
        if (!value || value->type != V_ASN1_SEQUENCE)
            return;
        const unsigned char *p = value->value.sequence->data;
        const unsigned char *end = p + value->value.sequence->length;
        const unsigned char *inner = nullptr;
        long innerLength = 0;
        if (!elementValue(p, end - p, inner, innerLength))
            return;
        const unsigned char *field = inner;
        const unsigned char *fieldsEnd = inner + innerLength;
        while (field < fieldsEnd) {
            long length = 0;
            int tag = 0, xclass = 0;
            const unsigned char *content = field;
            const int rc = ASN1_get_object(&content, &length, &tag, &xclass, fieldsEnd - field);
            if ((rc & 0x80) || length > fieldsEnd - content)
                return;
            if (xclass == V_ASN1_CONTEXT_SPECIFIC && tag == 0) {
                // A BMPString ([0]) or an IA5String ([1]).
                const unsigned char *q = content;
                long textLength = 0;
                int textTag = 0, textClass = 0;
                const int textRc = ASN1_get_object(&q, &textLength, &textTag, &textClass, length);
                if (!(textRc & 0x80) && textLength <= length - (q - content))
                    finding.description = printable(textTag == 0 ? utf8FromBmp(q, textLength)
                                                                 : std::string(reinterpret_cast<const char *>(q),
                                                                               static_cast<size_t>(textLength)));
            } else if (xclass == V_ASN1_CONTEXT_SPECIFIC && tag == 1) {
                finding.descriptionUrl = printable(spcLinkUrl(content, length));
            }
            field = content + length;
        }
        ERR_clear_error();
        return;
    }
}

// What the revocation servers said about a path's certificates.
struct PathRevocation {
    std::string revoked;               // the reason it fails, when it does
    std::vector<std::string> later;    // revoked after the time vouched for: the signature stands
    std::vector<std::string> unknown;  // could not be checked
};

// Asks about every certificate of `path` but its anchor (a root, or a
// certificate of the store, trusted as it is). A certificate revoked after
// `vouched` (the time a verified time stamp vouches for) does not undo what
// was signed before: Windows compares the revocation date with the stamp's
// time. Without a stamp any revocation counts.
PathRevocation revocationOf(const std::vector<CertPtr> &path, RevocationChecker &checker,
                            std::optional<time_t> vouched, const std::string &leafName,
                            const std::string &vouchedText)
{
    PathRevocation result;
    for (size_t i = 0; i + 1 < path.size(); ++i) {
        const RevocationStatus status = checker.check(path[i].get(), path[i + 1].get());
        const std::string who = i == 0 ? leafName : "the certificate " + subjectOf(path[i].get()) + " of its chain";
        const std::string since = status.revokedAtText.empty() ? std::string() : " on " + status.revokedAtText;
        switch (status.state) {
        case RevocationStatus::State::Revoked:
            if (vouched && status.revokedAt && *status.revokedAt > *vouched) {
                result.later.push_back(who + " was revoked" + since + ", after " + vouchedText
                                       + ": what it signed before stays valid");
                break;
            }
            result.revoked = who + " was revoked" + since;
            return result;
        case RevocationStatus::State::Unknown:
            result.unknown.push_back("the revocation of " + who + " could not be checked: " + status.problem);
            break;
        case RevocationStatus::State::Good:
        case RevocationStatus::State::NotChecked:
            break;
        }
    }
    return result;
}

struct StampResult {
    StampKind kind = StampKind::None;
    bool verified = false;
    std::string problem;
    std::vector<std::string> notes;
    std::vector<std::string> warnings;
    std::optional<time_t> time;
    std::string timeText;
    std::string digest; // RFC 3161: the imprint's digest
};

// The time-stamp signer is meant for time stamping and, when asked for,
// chains to the anchors at the stamp's time.
bool stampSignerUsable(X509 *tsa, STACK_OF(X509) *untrusted, const TrustPolicy &policy, time_t at,
                       StampResult &stamp)
{
    std::string &problem = stamp.problem;
    if (X509_check_purpose(tsa, X509_PURPOSE_TIMESTAMP_SIGN, 0) != 1) {
        ERR_clear_error();
        problem = "its signer's certificate is not meant for time stamping";
        return false;
    }
    if (!policy.stampChains)
        return true;
    const CertificatePath path = buildPath(tsa, untrusted, policy.anchors, at);
    if (path.code != X509_V_OK) {
        problem = "its signer is not trusted: " + pathFailure(path, "its certificate", "the time it names");
        return false;
    }
    if (const std::string usage = pathUsageProblem(path.certificates, NID_time_stamp, "time stamping");
        !usage.empty()) {
        problem = "its signer is not trusted: " + usage;
        return false;
    }
    if (policy.revocation) {
        // A time-stamp server revoked before the time it names vouches for
        // nothing; one revoked since leaves its earlier stamps standing.
        PathRevocation revocation = revocationOf(path.certificates, *policy.revocation, at,
                                                 "the time-stamp server's certificate", "the time it names");
        if (!revocation.revoked.empty()) {
            problem = revocation.revoked + ", before the time it names";
            return false;
        }
        stamp.notes = std::move(revocation.later);
        stamp.warnings = std::move(revocation.unknown);
    }
    return true;
}

StampResult rfc3161Stamp(const ASN1_STRING *der, PKCS7_SIGNER_INFO *si, const TrustPolicy &policy)
{
    StampResult stamp;
    stamp.kind = StampKind::Rfc3161;
    const unsigned char *p = ASN1_STRING_get0_data(der);
    Pkcs7Ptr token(d2i_PKCS7(nullptr, &p, ASN1_STRING_length(der)));
    std::unique_ptr<TS_TST_INFO, sdktool::OsslDeleter> info(token ? PKCS7_to_TS_TST_INFO(token.get()) : nullptr);
    PKCS7_SIGNER_INFO *tsi = token ? onlySigner(token.get()) : nullptr;
    ERR_clear_error();
    if (!info || !tsi || !token->d.sign->contents->d.other
        || token->d.sign->contents->d.other->type != V_ASN1_OCTET_STRING) {
        stamp.problem = "its token cannot be read";
        return stamp;
    }
    stamp.time = timeOf(TS_TST_INFO_get_time(info.get()));
    stamp.timeText = timeText(TS_TST_INFO_get_time(info.get()));
    TS_MSG_IMPRINT *imprint = TS_TST_INFO_get_msg_imprint(info.get());
    const EVP_MD *md = EVP_get_digestbyobj(TS_MSG_IMPRINT_get_algo(imprint)->algorithm);
    stamp.digest = md ? lowerCase(OBJ_nid2sn(EVP_MD_get_type(md))) : "";
    const auto expected = digestOf(md, si->enc_digest->data, static_cast<size_t>(si->enc_digest->length));
    if (!expected || !sameBytes(*expected, TS_MSG_IMPRINT_get_msg(imprint))) {
        stamp.problem = "its imprint is not the digest of the signature";
        return stamp;
    }
    X509 *tsa = certificateOf(token.get(), tsi);
    const ASN1_OCTET_STRING *content = token->d.sign->contents->d.other->value.octet_string;
    if (!tsa || !signerInfoHolds(token.get(), tsi, tsa, content->data, content->length)) {
        stamp.problem = "its token's signature does not verify";
        return stamp;
    }
    if (!stampSignerUsable(tsa, token->d.sign->cert, policy, stamp.time.value_or(policy.now), stamp))
        return stamp;
    stamp.verified = true;
    return stamp;
}

StampResult counterSignature(PKCS7 *p7, const ASN1_STRING *der, PKCS7_SIGNER_INFO *si, const TrustPolicy &policy)
{
    StampResult stamp;
    stamp.kind = StampKind::Authenticode;
    const unsigned char *p = ASN1_STRING_get0_data(der);
    std::unique_ptr<PKCS7_SIGNER_INFO, sdktool::OsslDeleter> counter(
        d2i_PKCS7_SIGNER_INFO(nullptr, &p, ASN1_STRING_length(der)));
    ERR_clear_error();
    if (!counter) {
        stamp.problem = "its counter-signature cannot be read";
        return stamp;
    }
    if (const ASN1_TYPE *signingTime = PKCS7_get_signed_attribute(counter.get(), NID_pkcs9_signingTime)) {
        if (signingTime->type == V_ASN1_UTCTIME || signingTime->type == V_ASN1_GENERALIZEDTIME) {
            stamp.time = timeOf(signingTime->value.utctime);
            stamp.timeText = timeText(signingTime->value.utctime);
        }
    }
    X509 *tsa = certificateOf(p7, counter.get());
    // The counter-signature's message digest is the digest of the signature
    // value: signerInfoHolds checks both.
    if (!tsa || !signerInfoHolds(p7, counter.get(), tsa, si->enc_digest->data, si->enc_digest->length)) {
        stamp.problem = "its counter-signature does not verify or is not over this signature";
        return stamp;
    }
    if (!stampSignerUsable(tsa, p7->d.sign->cert, policy, stamp.time.value_or(policy.now), stamp))
        return stamp;
    stamp.verified = true;
    return stamp;
}

StampResult timeStampOf(PKCS7 *p7, PKCS7_SIGNER_INFO *si, const TrustPolicy &policy)
{
    for (const ASN1_STRING *der : unsignedValues(si, kRfc3161TokenOid))
        return rfc3161Stamp(der, si, policy);
    const STACK_OF(X509_ATTRIBUTE) *attributes = PKCS7_get_attributes(si);
    for (int i = 0; i < sk_X509_ATTRIBUTE_num(attributes); ++i) {
        X509_ATTRIBUTE *attribute = sk_X509_ATTRIBUTE_value(attributes, i);
        if (OBJ_obj2nid(X509_ATTRIBUTE_get0_object(attribute)) != NID_pkcs9_countersignature)
            continue;
        const ASN1_TYPE *value = X509_ATTRIBUTE_get0_type(attribute, 0);
        if (value && value->type == V_ASN1_SEQUENCE)
            return counterSignature(p7, value->value.sequence, si, policy);
        StampResult broken;
        broken.kind = StampKind::Authenticode;
        broken.problem = "its counter-signature cannot be read";
        return broken;
    }
    return {};
}

// The chain verdict. A verified time stamp fixes the time the chain is
// judged at, as on Windows: a certificate that expired since still counts,
// one that was not valid yet when the stamp was made does not. Without one
// the chain is judged now. Every certificate of the path must allow code
// signing.
void judgeChain(PeSignature &signature, PKCS7 *p7, const StampResult &stamp, const TrustPolicy &policy)
{
    SignatureFinding &finding = signature.finding;
    const bool vouched = stamp.verified && stamp.time;
    const CertificatePath path =
        buildPath(signature.signer.get(), p7->d.sign->cert, policy.anchors, vouched ? *stamp.time : policy.now);
    const std::string when = vouched ? "the time its time stamp vouches for" : "";
    switch (path.code) {
    case X509_V_OK:
        break;
    case X509_V_ERR_CERT_NOT_YET_VALID:
        finding.verdict = Verdict::NotYetValid;
        finding.detail = pathFailure(path, "its certificate", when);
        return;
    case X509_V_ERR_CERT_HAS_EXPIRED:
        finding.verdict = Verdict::Expired;
        finding.detail = vouched ? pathFailure(path, "its certificate", when) : path.error;
        return;
    default:
        finding.verdict = Verdict::NotTrusted;
        finding.detail = path.error;
        return;
    }
    if (!policy.rootSubject.empty() && !path.certificates.empty()) {
        X509 *root = path.certificates.back().get();
        const std::string subject = subjectOf(root);
        if (lowerCase(subject).find(lowerCase(policy.rootSubject)) == std::string::npos) {
            finding.verdict = Verdict::NotTrusted;
            finding.detail = "it ends at " + subject + ", whose subject does not contain \"" + policy.rootSubject
                             + "\" as /r asks";
            return;
        }
    }
    if (const std::string usage = pathUsageProblem(path.certificates, NID_code_sign, "code signing"); !usage.empty()) {
        finding.verdict = Verdict::WrongPurpose;
        finding.detail = usage;
        return;
    }
    if (policy.revocation) {
        const PathRevocation revocation =
            revocationOf(path.certificates, *policy.revocation,
                         vouched ? stamp.time : std::nullopt, "its certificate", "the time its time stamp vouches for");
        finding.notes.insert(finding.notes.end(), revocation.later.begin(), revocation.later.end());
        finding.warnings.insert(finding.warnings.end(), revocation.unknown.begin(), revocation.unknown.end());
        if (!revocation.revoked.empty()) {
            finding.verdict = Verdict::Revoked;
            finding.detail = revocation.revoked + (vouched ? ", before the time its time stamp vouches for" : "");
            return;
        }
    }
    finding.verdict = Verdict::Good;
}

// The steps every signature is judged by, whatever it signs: its signer's
// certificate, then `signedContentHolds` (the signature value and digests
// over what this kind of signature signs; false once it has given the
// verdict), the time stamp, the signer's purpose (code signing) and the
// chain. `signature.finding` holds Damaged and the digest's name on entry.
void judgeSigner(PeSignature &signature, PKCS7 *p7, PKCS7_SIGNER_INFO *si, const TrustPolicy &policy,
                 const std::function<bool(X509 *cert)> &signedContentHolds)
{
    SignatureFinding &finding = signature.finding;
    X509 *cert = certificateOf(p7, si);
    if (!cert) {
        finding.detail = "the signer's certificate is missing";
        return;
    }
    X509_up_ref(cert);
    signature.signer.reset(cert);
    finding.signer = subjectOf(cert);
    if (!signedContentHolds(cert))
        return;
    const StampResult stamp = timeStampOf(p7, si, policy);
    finding.stampKind = stamp.kind;
    finding.stampTime = stamp.timeText;
    finding.notes.insert(finding.notes.end(), stamp.notes.begin(), stamp.notes.end());
    finding.warnings = stamp.warnings;
    signature.stampDigest = stamp.digest;
    signature.stampVerified = stamp.verified;
    if (stamp.kind != StampKind::None && !stamp.verified) {
        finding.verdict = Verdict::TimeStampInvalid;
        finding.detail = stamp.problem;
        return;
    }
    if (const auto usage = leafUsageProblem(cert, NID_code_sign)) {
        finding.verdict = Verdict::WrongPurpose;
        finding.detail = *usage;
        return;
    }
    judgeChain(signature, p7, stamp, policy);
}

// The file's Authenticode digest under each digest algorithm, made once per
// algorithm however many signatures use it: each one reads the whole file.
class FileDigests {
public:
    FileDigests(int fd, const PeLayout &layout, const KnownDigest *known) : m_fd(fd), m_layout(layout)
    {
        if (known)
            m_digests.emplace(known->mdType, known->value);
    }

    std::optional<std::vector<unsigned char>> of(const EVP_MD *md)
    {
        if (!md)
            return std::nullopt;
        const int type = EVP_MD_get_type(md);
        auto it = m_digests.find(type);
        if (it == m_digests.end())
            it = m_digests.emplace(type, authenticodeDigest(m_fd, m_layout, md)).first;
        return it->second;
    }

    // The file's page hashes of the kind `embedded` is, made once per kind;
    // `problem` says why when they cannot be made.
    const std::optional<PageHashTable> &pageHashes(int mdType, std::string &problem)
    {
        auto it = m_pageHashes.find(mdType);
        if (it == m_pageHashes.end()) {
            std::string why;
            auto table = pageHashesOfFile(m_fd, m_layout, pageHashDigestFor(mdType), why);
            it = m_pageHashes.emplace(mdType, std::make_pair(std::move(table), why)).first;
        }
        problem = it->second.second;
        return it->second.first;
    }

private:
    int m_fd;
    const PeLayout &m_layout;
    std::map<int, std::optional<std::vector<unsigned char>>> m_digests;
    std::map<int, std::pair<std::optional<PageHashTable>, std::string>> m_pageHashes;
};

// verify /ph: the page hashes a signature carries against the file's
// pages. Checked before the digest of the whole file, so that a changed
// page is named. False when the verdict is given.
bool pageHashesHold(const IndirectData &data, FileDigests &digests, SignatureFinding &finding)
{
    std::string problem;
    const auto embedded = embeddedPageHashes(data.signedBytes, data.signedLength, problem);
    if (!embedded) {
        if (!problem.empty()) {
            finding.verdict = Verdict::Damaged;
            finding.detail = problem;
            return false;
        }
        finding.notes.push_back("Page hashes: none");
        return true;
    }
    const auto &computed = digests.pageHashes(embedded->mdType, problem);
    if (!computed) {
        finding.verdict = Verdict::PageHashMismatch;
        finding.detail = "its page hashes cannot be checked: " + problem;
        return false;
    }
    if (const std::string mismatch = pageHashMismatch(*embedded, *computed); !mismatch.empty()) {
        finding.verdict = Verdict::PageHashMismatch;
        finding.detail = mismatch;
        return false;
    }
    const size_t entry = 4 + static_cast<size_t>(EVP_MD_get_size(pageHashDigestFor(embedded->mdType)));
    finding.notes.push_back("Page hashes: " + std::to_string(computed->entries.size() / entry - 1) + " pages ("
                            + upperCase(OBJ_nid2sn(embedded->mdType)) + "), checked");
    return true;
}

PeSignature judgeSignature(PKCS7 *p7, int index, FileDigests &digests, const TrustPolicy &policy)
{
    PeSignature signature;
    SignatureFinding &finding = signature.finding;
    finding.index = index;
    finding.verdict = Verdict::Damaged;
    const auto data = indirectData(p7);
    PKCS7_SIGNER_INFO *si = onlySigner(p7);
    if (!data || !si) {
        finding.detail = "it holds no Authenticode signature of a program file";
        return signature;
    }
    const X509_ALGOR *algorithm = nullptr;
    const ASN1_OCTET_STRING *embedded = nullptr;
    X509_SIG_get0(data->digestInfo.get(), &algorithm, &embedded);
    signature.fileDigest = EVP_get_digestbyobj(algorithm->algorithm);
    finding.digest = upperCase(OBJ_nid2sn(OBJ_obj2nid(algorithm->algorithm)));
    judgeSigner(signature, p7, si, policy, [&](X509 *cert) {
        readOpusInfo(si, finding);
        if (!signerInfoHolds(p7, si, cert, data->signedBytes, data->signedLength)) {
            finding.verdict = Verdict::SignatureInvalid;
            return false;
        }
        if (policy.pageHashes && !pageHashesHold(*data, digests, finding))
            return false;
        const auto fileDigest = digests.of(signature.fileDigest);
        if (!fileDigest) {
            finding.detail = "its digest algorithm is unknown or the file cannot be read";
            return false;
        }
        signature.fileDigestValue = *fileDigest;
        if (!sameBytes(*fileDigest, embedded)) {
            finding.verdict = Verdict::DigestMismatch;
            return false;
        }
        return true;
    });
    return signature;
}

} // namespace

StorePtr trustStoreFromPem(const std::string &pem)
{
    StorePtr store(X509_STORE_new());
    if (!store)
        return store;
    BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    STACK_OF(X509_INFO) *infos = bio ? PEM_X509_INFO_read_bio(bio.get(), nullptr, nullptr, nullptr) : nullptr;
    for (int i = 0; i < sk_X509_INFO_num(infos); ++i) {
        X509_INFO *info = sk_X509_INFO_value(infos, i);
        if (info->x509)
            X509_STORE_add_cert(store.get(), info->x509);
    }
    sk_X509_INFO_pop_free(infos, X509_INFO_free);
    ERR_clear_error();
    return store;
}

namespace {

constexpr uint16_t kCertificateRevision2 = 0x0200;

bool onlyZeros(const unsigned char *from, const unsigned char *to)
{
    return std::all_of(from, to, [](unsigned char c) { return c == 0; });
}

// What a signed file may not hide where no digest reaches, as Windows
// judges it since MS13-098 with its padding check (EnableCertPaddingCheck):
// the certificate table ends the file; it holds one WIN_CERTIFICATE of
// revision 2.0, the current one (1.0 is a legacy form whose verification is
// not documented, so it is refused rather than guessed at); the entry holds
// the signature and at most the zeros that pad it to 8 bytes; the table
// holds the entry and at most the zeros that pad it. A table of several
// entries is not documented either: Windows reads the first alone, which
// would leave the others unjudged, so it is refused too.
std::string tableProblem(const PeLayout &layout, const std::vector<unsigned char> &table, uint32_t entryLength,
                         const unsigned char *derEnd)
{
    const uint64_t tableEnd = uint64_t(layout.certTableOffset) + layout.certTableSize;
    if (tableEnd < layout.fileSize)
        return "data follows its certificate table (" + std::to_string(layout.fileSize - tableEnd)
               + " bytes that no digest covers), where Windows allows none";
    const uint16_t revision = static_cast<uint16_t>(table[4] | (table[5] << 8));
    if (revision != kCertificateRevision2)
        return "its certificate table entry has revision " + std::to_string(revision >> 8) + "."
               + std::to_string(revision & 0xFF) + ", where Windows documents the verification of revision 2.0 only";
    const unsigned char *entryEnd = table.data() + entryLength;
    if (entryEnd - derEnd >= 8 || !onlyZeros(derEnd, entryEnd))
        return "its certificate table entry holds " + std::to_string(entryEnd - derEnd)
               + " bytes after the signature it holds, which no digest covers";
    const size_t padded = (size_t(entryLength) + 7) & ~size_t(7);
    const unsigned char *tableEnd8 = table.data() + table.size();
    const unsigned char *paddedEnd = table.data() + std::min(padded, table.size());
    if (tableEnd8 != paddedEnd || !onlyZeros(entryLength + table.data(), paddedEnd))
        return "its certificate table holds " + std::to_string(table.size() - entryLength)
               + " bytes after its only entry, which no digest covers";
    return {};
}

// The signatures of the certificate table: the primary one and the PKCS#7
// of each appended one (null when that cannot be read). Damaged (with the
// problem) or Unsigned when there is none to read. `strict`: also refused
// (Damaged) when the table hides data (tableProblem).
PeJudgement::Status readSignatures(int fd, const PeLayout &layout, Pkcs7Ptr &outer, std::vector<Pkcs7Ptr> &nested,
                                   std::string &problem, bool strict = false, int *count = nullptr)
{
    const auto table = certificateTable(fd, layout);
    if (!table) {
        problem = "its certificate table cannot be read";
        return layout.certTableOffset == 0 ? PeJudgement::Status::Unsigned : PeJudgement::Status::Damaged;
    }
    if (table->size() < 8) {
        problem = "its certificate table is cut short";
        return PeJudgement::Status::Damaged;
    }
    const unsigned char *entry = table->data();
    const uint32_t entryLength = uint32_t(entry[0]) | (uint32_t(entry[1]) << 8) | (uint32_t(entry[2]) << 16)
                                 | (uint32_t(entry[3]) << 24);
    const uint16_t entryType = static_cast<uint16_t>(entry[6] | (entry[7] << 8));
    if (entryLength < 8 || entryLength > table->size() || entryType != kCertificateTypePkcsSignedData) {
        problem = "its certificate table entry is not a PKCS#7 signature";
        return PeJudgement::Status::Damaged;
    }
    const unsigned char *der = entry + 8;
    outer.reset(d2i_PKCS7(nullptr, &der, static_cast<long>(entryLength - 8)));
    ERR_clear_error();
    if (!outer || !PKCS7_type_is_signed(outer.get())) {
        problem = "its PKCS#7 data cannot be read";
        return PeJudgement::Status::Damaged;
    }
    if (strict) {
        problem = tableProblem(layout, *table, entryLength, der);
        if (!problem.empty())
            return PeJudgement::Status::Damaged;
    }
    if (PKCS7_SIGNER_INFO *si = onlySigner(outer.get())) {
        const std::vector<const ASN1_STRING *> values = unsignedValues(si, kNestedSignatureOid);
        const size_t signatures = 1 + values.size();
        if (count)
            *count = static_cast<int>(std::min<size_t>(signatures, INT_MAX));
        // Counted before any is read: each costs a chain check.
        if (signatures > static_cast<size_t>(kMaxPeSignatures)) {
            problem = "it carries " + std::to_string(signatures) + " signatures, more than the "
                      + std::to_string(kMaxPeSignatures) + " that are checked";
            return PeJudgement::Status::TooManySignatures;
        }
        for (const ASN1_STRING *value : values) {
            const unsigned char *p = ASN1_STRING_get0_data(value);
            Pkcs7Ptr one(d2i_PKCS7(nullptr, &p, ASN1_STRING_length(value)));
            ERR_clear_error();
            if (one && !PKCS7_type_is_signed(one.get()))
                one.reset();
            nested.push_back(std::move(one));
        }
    }
    return PeJudgement::Status::Signed;
}

} // namespace

PeJudgement judgePeFile(int fd, const TrustPolicy &policy, const KnownDigest *known)
{
    PeJudgement judgement;
    const auto layout = readPeLayout(fd, judgement.problem);
    if (!layout || layout->trailingBytes != 0) {
        if (layout)
            judgement.problem = kTrailingDataProblem;
        judgement.status = PeJudgement::Status::Damaged;
        return judgement;
    }
    Pkcs7Ptr outer;
    std::vector<Pkcs7Ptr> nested;
    judgement.status = readSignatures(fd, *layout, outer, nested, judgement.problem, true);
    if (judgement.status != PeJudgement::Status::Signed)
        return judgement;
    FileDigests digests(fd, *layout, known);
    judgement.signatures.push_back(judgeSignature(outer.get(), 0, digests, policy));
    for (const Pkcs7Ptr &p7 : nested) {
        const int index = static_cast<int>(judgement.signatures.size());
        if (p7) {
            judgement.signatures.push_back(judgeSignature(p7.get(), index, digests, policy));
        } else {
            PeSignature broken;
            broken.finding.index = index;
            broken.finding.detail = "an appended signature cannot be read";
            judgement.signatures.push_back(std::move(broken));
        }
    }
    return judgement;
}

int countPeSignatures(int fd)
{
    std::string problem;
    const auto layout = readPeLayout(fd, problem);
    if (!layout)
        return -1;
    Pkcs7Ptr outer;
    std::vector<Pkcs7Ptr> nested;
    int count = 1;
    switch (readSignatures(fd, *layout, outer, nested, problem, false, &count)) {
    case PeJudgement::Status::Unsigned:
        return 0;
    case PeJudgement::Status::Damaged:
        return -1;
    case PeJudgement::Status::TooManySignatures:
    case PeJudgement::Status::Signed:
        break;
    }
    return count;
}

namespace {

// The signature value of `si` over its signed attributes (or, without any,
// over the content's digest `contentDigest`).
bool contentSignatureHolds(PKCS7_SIGNER_INFO *si, X509 *cert, const EVP_MD *md,
                           const std::vector<unsigned char> &contentDigest)
{
    EVP_PKEY *key = X509_get0_pubkey(cert);
    const ASN1_OCTET_STRING *value = si->enc_digest;
    if (!key || !value)
        return false;
    bool ok = false;
    if (sk_X509_ATTRIBUTE_num(si->auth_attr) > 0) {
        unsigned char *der = nullptr;
        const int length = ASN1_item_i2d(reinterpret_cast<ASN1_VALUE *>(si->auth_attr), &der,
                                         ASN1_ITEM_rptr(PKCS7_ATTR_VERIFY));
        std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
        ok = length > 0 && ctx && EVP_DigestVerifyInit(ctx.get(), nullptr, md, nullptr, key) == 1
             && EVP_DigestVerify(ctx.get(), ASN1_STRING_get0_data(value), ASN1_STRING_length(value), der,
                                 static_cast<size_t>(length)) == 1;
        OPENSSL_free(der);
    } else {
        std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(EVP_PKEY_CTX_new(key, nullptr),
                                                                         EVP_PKEY_CTX_free);
        ok = ctx && EVP_PKEY_verify_init(ctx.get()) == 1 && EVP_PKEY_CTX_set_signature_md(ctx.get(), md) == 1
             && EVP_PKEY_verify(ctx.get(), ASN1_STRING_get0_data(value), ASN1_STRING_length(value),
                                contentDigest.data(), contentDigest.size()) == 1;
    }
    ERR_clear_error();
    return ok;
}

std::optional<std::vector<unsigned char>> digestOfContent(BIO *content, const EVP_MD *md)
{
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!ctx || EVP_DigestInit_ex(ctx.get(), md, nullptr) != 1)
        return std::nullopt;
    std::vector<unsigned char> buffer(1 << 16);
    int n = 0;
    while ((n = BIO_read(content, buffer.data(), static_cast<int>(buffer.size()))) > 0)
        EVP_DigestUpdate(ctx.get(), buffer.data(), static_cast<size_t>(n));
    if (n < 0 && !BIO_eof(content))
        return std::nullopt;
    std::vector<unsigned char> digest(EVP_MAX_MD_SIZE);
    unsigned int size = 0;
    if (EVP_DigestFinal_ex(ctx.get(), digest.data(), &size) != 1)
        return std::nullopt;
    digest.resize(size);
    return digest;
}

} // namespace

PeSignature judgeStreamedContentSignature(PKCS7 *p7, BIO *content, const TrustPolicy &policy)
{
    PeSignature signature;
    SignatureFinding &finding = signature.finding;
    finding.verdict = Verdict::Damaged;
    PKCS7_SIGNER_INFO *si = onlySigner(p7);
    if (!si) {
        finding.detail = "it holds no signature of one signer";
        return signature;
    }
    const EVP_MD *md = EVP_get_digestbyobj(si->digest_alg->algorithm);
    finding.digest = upperCase(OBJ_nid2sn(OBJ_obj2nid(si->digest_alg->algorithm)));
    judgeSigner(signature, p7, si, policy, [&](X509 *cert) {
        const auto contentDigest = md ? digestOfContent(content, md) : std::nullopt;
        if (!contentDigest) {
            finding.detail = "its digest algorithm is unknown or the content cannot be read";
            return false;
        }
        signature.fileDigest = md;
        signature.fileDigestValue = *contentDigest;
        if (sk_X509_ATTRIBUTE_num(si->auth_attr) > 0) {
            const ASN1_OCTET_STRING *attribute = PKCS7_digest_from_attributes(si->auth_attr);
            if (!attribute) {
                finding.detail = "its signed attributes hold no message digest";
                return false;
            }
            if (!sameBytes(*contentDigest, attribute)) {
                finding.verdict = Verdict::DigestMismatch;
                return false;
            }
        }
        if (!contentSignatureHolds(si, cert, md, *contentDigest)) {
            finding.verdict = Verdict::SignatureInvalid;
            return false;
        }
        return true;
    });
    return signature;
}

SignatureFinding judgeEmbeddedContentSignature(PKCS7 *p7, const char *contentOid, const TrustPolicy &policy)
{
    PeSignature signature;
    SignatureFinding &finding = signature.finding;
    finding.verdict = Verdict::Damaged;
    PKCS7_SIGNER_INFO *si = p7 ? onlySigner(p7) : nullptr;
    const ASN1_TYPE *content = si && p7->d.sign->contents && hasOid(p7->d.sign->contents->type, contentOid)
                                   ? p7->d.sign->contents->d.other
                                   : nullptr;
    if (!si || !content || content->type != V_ASN1_SEQUENCE) {
        finding.detail = si ? "it signs no content of the expected type" : "it carries no signature";
        return finding;
    }
    // As with SpcIndirectDataContent, the signature covers the content's
    // value, not its tag and length.
    const unsigned char *p = content->value.sequence->data;
    const unsigned char *signedBytes = nullptr;
    long signedLength = 0;
    if (!elementValue(p, content->value.sequence->length, signedBytes, signedLength)) {
        finding.detail = "its content cannot be read";
        return finding;
    }
    finding.digest = upperCase(OBJ_nid2sn(OBJ_obj2nid(si->digest_alg->algorithm)));
    judgeSigner(signature, p7, si, policy, [&](X509 *cert) {
        readOpusInfo(si, finding);
        if (!signerInfoHolds(p7, si, cert, signedBytes, signedLength)) {
            finding.verdict = Verdict::SignatureInvalid;
            return false;
        }
        return true;
    });
    return finding;
}

} // namespace signtool
