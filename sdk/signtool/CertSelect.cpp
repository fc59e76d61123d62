#include "CertSelect.h"

#include "CertificatePath.h"
#include "PeSignatures.h"
#include "ToolSupport.h"

#include <openssl/asn1.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cctype>

namespace signtool {

namespace {

std::string lowerAscii(std::string text)
{
    for (char &c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// `rootSubject`: the subject of the root `cert` chains to, when /r asks.
bool matches(X509 *cert, const SelectionRule &rule, const std::string &rootSubject)
{
    if (rule.sha1 && sdktool::sha1Thumbprint(cert) != *rule.sha1)
        return false;
    if (rule.subjectName && !commonNameContains(cert, *rule.subjectName))
        return false;
    if (rule.issuerName && !issuerNameContains(cert, *rule.issuerName))
        return false;
    if (rule.usageOid && !allowsUsage(cert, *rule.usageOid))
        return false;
    if (rule.templateName && !hasTemplate(cert, *rule.templateName))
        return false;
    if (rule.rootSubject && lowerAscii(rootSubject).find(lowerAscii(*rule.rootSubject)) == std::string::npos)
        return false;
    return true;
}

// /a passes over the demo certificate while a real one is left.
void dropDemoBesideOthers(const std::vector<X509 *> &candidates, std::vector<size_t> &left)
{
    const auto isDemo = [&](size_t i) { return isDemoCertificate(candidates[i]); };
    if (!std::all_of(left.begin(), left.end(), isDemo))
        left.erase(std::remove_if(left.begin(), left.end(), isDemo), left.end());
}

// A path longer than this is no real one: a loop of cross-certificates.
constexpr int kMaxChainLength = 16;

using ObjectPtr = std::unique_ptr<ASN1_OBJECT, sdktool::OsslDeleter>;
struct TypeDeleter {
    void operator()(ASN1_TYPE *p) const { ASN1_TYPE_free(p); }
};
using TypePtr = std::unique_ptr<ASN1_TYPE, TypeDeleter>;
using StoreCtxPtr = std::unique_ptr<X509_STORE_CTX, sdktool::OsslDeleter>;

// The value of the extension `oid` of `cert`, decoded as any ASN.1 type.
TypePtr extensionValue(X509 *cert, const char *oid)
{
    ObjectPtr object(OBJ_txt2obj(oid, 1));
    const int index = object ? X509_get_ext_by_OBJ(cert, object.get(), -1) : -1;
    if (index < 0)
        return nullptr;
    const ASN1_OCTET_STRING *data = X509_EXTENSION_get_data(X509_get_ext(cert, index));
    const unsigned char *p = ASN1_STRING_get0_data(data);
    TypePtr value(d2i_ASN1_TYPE(nullptr, &p, ASN1_STRING_length(data)));
    ERR_clear_error();
    return value;
}

std::string utf8Of(const ASN1_STRING *text)
{
    unsigned char *utf8 = nullptr;
    const int length = ASN1_STRING_to_UTF8(&utf8, text);
    if (length < 0)
        return std::string();
    std::string out(reinterpret_cast<char *>(utf8), static_cast<size_t>(length));
    OPENSSL_free(utf8);
    return out;
}

// The template name of a version 1 extension: a BMPString by Windows'
// enrollment, another string type by some other CAs.
std::string templateNameOf(X509 *cert)
{
    const TypePtr value = extensionValue(cert, "1.3.6.1.4.1.311.20.2");
    if (!value)
        return std::string();
    switch (value->type) {
    case V_ASN1_BMPSTRING:
    case V_ASN1_UTF8STRING:
    case V_ASN1_PRINTABLESTRING:
    case V_ASN1_IA5STRING:
        return utf8Of(value->value.asn1_string);
    default:
        return std::string();
    }
}

// The template of a version 2 extension: SEQUENCE { templateID, major
// version, minor version }. The OID, and its name where OpenSSL knows one
// (a name a configuration file registered); a template's name is not in
// the certificate.
std::vector<std::string> templateIdsOf(X509 *cert)
{
    std::vector<std::string> ids;
    const TypePtr value = extensionValue(cert, "1.3.6.1.4.1.311.21.7");
    if (!value || value->type != V_ASN1_SEQUENCE)
        return ids;
    const ASN1_STRING *sequence = value->value.sequence;
    const unsigned char *p = ASN1_STRING_get0_data(sequence);
    long length = 0;
    int tag = 0, cls = 0;
    if (ASN1_get_object(&p, &length, &tag, &cls, ASN1_STRING_length(sequence)) & 0x80) {
        ERR_clear_error();
        return ids;
    }
    ObjectPtr id(d2i_ASN1_OBJECT(nullptr, &p, length));
    ERR_clear_error();
    char text[128];
    if (!id || OBJ_obj2txt(text, sizeof text, id.get(), 1) <= 0)
        return ids;
    ids.emplace_back(text);
    if (const int nid = OBJ_obj2nid(id.get()); nid != NID_undef) {
        for (const char *name : {OBJ_nid2ln(nid), OBJ_nid2sn(nid)}) {
            if (name)
                ids.emplace_back(name);
        }
    }
    return ids;
}

} // namespace

std::vector<std::string> rootSubjectsOf(const std::vector<X509 *> &certs, const std::vector<X509 *> &pool)
{
    std::vector<std::string> subjects(certs.size());
    // One store for all: the system's trusted certificates are read once.
    StorePtr store(X509_STORE_new());
    if (!store || X509_STORE_set_default_paths(store.get()) != 1)
        return subjects;
    for (X509 *other : pool)
        X509_STORE_add_cert(store.get(), other); // a duplicate is refused, which is fine
    ERR_clear_error();
    for (size_t i = 0; i < certs.size(); ++i) {
        StoreCtxPtr context(X509_STORE_CTX_new());
        if (!context || X509_STORE_CTX_init(context.get(), store.get(), certs[i], nullptr) != 1)
            continue;
        X509_up_ref(certs[i]);
        sdktool::CertPtr current(certs[i]);
        for (int length = 0; length < kMaxChainLength; ++length) {
            if (X509_check_issued(current.get(), current.get()) == X509_V_OK) {
                subjects[i] = subjectOf(current.get());
                break;
            }
            X509 *issuer = nullptr;
            if (X509_STORE_CTX_get1_issuer(&issuer, context.get(), current.get()) != 1 || !issuer)
                break;
            current.reset(issuer);
        }
        ERR_clear_error();
    }
    return subjects;
}

bool hasTemplate(X509 *cert, const std::string &name)
{
    const std::string wanted = lowerAscii(name);
    const std::string v1 = templateNameOf(cert);
    if (!v1.empty() && lowerAscii(v1) == wanted)
        return true;
    for (const std::string &id : templateIdsOf(cert)) {
        if (lowerAscii(id) == wanted)
            return true;
    }
    return false;
}

bool isDemoCertificate(X509 *cert)
{
    if (!cert)
        return false;
    return commonName(cert) == sdktool::kDemoCommonName
           && X509_NAME_cmp(X509_get_subject_name(cert), X509_get_issuer_name(cert)) == 0;
}

std::string nameEntry(const X509_NAME *subject);

std::string commonName(X509 *cert)
{
    return nameEntry(X509_get_subject_name(cert));
}

bool issuerNameContains(X509 *cert, const std::string &part)
{
    return lowerAscii(nameEntry(X509_get_issuer_name(cert))).find(lowerAscii(part)) != std::string::npos;
}

bool allowsUsage(X509 *cert, const std::string &oid)
{
    auto *eku = static_cast<EXTENDED_KEY_USAGE *>(X509_get_ext_d2i(cert, NID_ext_key_usage, nullptr, nullptr));
    if (!eku)
        return !(X509_get_extension_flags(cert) & EXFLAG_XKUSAGE);
    bool allowed = false;
    for (int i = 0; i < sk_ASN1_OBJECT_num(eku) && !allowed; ++i) {
        const ASN1_OBJECT *object = sk_ASN1_OBJECT_value(eku, i);
        char text[80];
        allowed = OBJ_obj2nid(object) == NID_anyExtendedKeyUsage
                  || (OBJ_obj2txt(text, sizeof text, object, 1) > 0 && oid == text);
    }
    sk_ASN1_OBJECT_pop_free(eku, ASN1_OBJECT_free);
    return allowed;
}

std::string nameEntry(const X509_NAME *subject)
{
    const int index = X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
    if (index < 0)
        return std::string();
    const ASN1_STRING *data = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, index));
    unsigned char *utf8 = nullptr;
    const int length = ASN1_STRING_to_UTF8(&utf8, data);
    if (length < 0)
        return std::string();
    std::string name(reinterpret_cast<char *>(utf8), static_cast<size_t>(length));
    OPENSSL_free(utf8);
    return name;
}

bool commonNameContains(X509 *cert, const std::string &part)
{
    return lowerAscii(commonName(cert)).find(lowerAscii(part)) != std::string::npos;
}

Selection selectCertificate(const std::vector<X509 *> &candidates, const SelectionRule &rule)
{
    Selection selection;
    std::vector<size_t> left;
    const std::vector<std::string> roots = rule.rootSubject ? rootSubjectsOf(candidates, rule.chainCertificates)
                                                            : std::vector<std::string>(candidates.size());
    for (size_t i = 0; i < candidates.size(); ++i) {
        if (matches(candidates[i], rule, roots[i]))
            left.push_back(i);
    }
    selection.matching = left.size();
    if (left.empty()) {
        selection.problem = Selection::Problem::NoneMatches;
        return selection;
    }
    // A thumbprint names one certificate; the same one may sit both in a
    // store file and on a token, which is no reason to refuse.
    if (!rule.autoSelect && !rule.sha1 && left.size() > 1) {
        selection.problem = Selection::Problem::SeveralMatch;
        return selection;
    }
    if (rule.autoSelect)
        dropDemoBesideOthers(candidates, left);
    // Stable, so an equal expiry keeps the listed order.
    std::stable_sort(left.begin(), left.end(), [&](size_t a, size_t b) {
        return ASN1_TIME_compare(X509_get0_notAfter(candidates[a]), X509_get0_notAfter(candidates[b])) > 0;
    });
    selection.index = left.front();
    return selection;
}

} // namespace signtool
