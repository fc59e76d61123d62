#include "CertSelect.h"

#include "ToolSupport.h"

#include <openssl/asn1.h>
#include <openssl/crypto.h>
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

bool matches(X509 *cert, const SelectionRule &rule)
{
    if (rule.sha1 && sdktool::sha1Thumbprint(cert) != *rule.sha1)
        return false;
    if (rule.subjectName && !commonNameContains(cert, *rule.subjectName))
        return false;
    if (rule.issuerName && !issuerNameContains(cert, *rule.issuerName))
        return false;
    if (rule.usageOid && !allowsUsage(cert, *rule.usageOid))
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

} // namespace

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
    for (size_t i = 0; i < candidates.size(); ++i) {
        if (matches(candidates[i], rule))
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
