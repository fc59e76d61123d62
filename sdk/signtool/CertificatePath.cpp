#include "CertificatePath.h"

#include <openssl/err.h>
#include <openssl/x509v3.h>

#include <memory>

using namespace sdktool;

namespace signtool {

namespace {

// The purposes an extended key usage lists, as short names ("serverAuth").
std::string purposeList(EXTENDED_KEY_USAGE *eku)
{
    std::string names;
    for (int i = 0; i < sk_ASN1_OBJECT_num(eku); ++i) {
        const ASN1_OBJECT *object = sk_ASN1_OBJECT_value(eku, i);
        const int nid = OBJ_obj2nid(object);
        std::string name;
        if (nid != NID_undef) {
            name = OBJ_nid2sn(nid);
        } else {
            char text[80];
            name = OBJ_obj2txt(text, sizeof text, object, 1) > 0 ? text : "?";
        }
        names += (names.empty() ? "" : ", ") + name;
    }
    return names;
}

// Whether `cert`'s extended key usage, when it has one, allows
// `purposeNid`; `listed` gets what it allows instead.
bool ekuAllows(X509 *cert, int purposeNid, std::string &listed)
{
    if (!(X509_get_extension_flags(cert) & EXFLAG_XKUSAGE))
        return true;
    std::unique_ptr<EXTENDED_KEY_USAGE, sdktool::OsslDeleter> eku(
        static_cast<EXTENDED_KEY_USAGE *>(X509_get_ext_d2i(cert, NID_ext_key_usage, nullptr, nullptr)));
    ERR_clear_error();
    if (!eku) {
        listed = "nothing readable";
        return false;
    }
    for (int i = 0; i < sk_ASN1_OBJECT_num(eku.get()); ++i) {
        const int nid = OBJ_obj2nid(sk_ASN1_OBJECT_value(eku.get(), i));
        if (nid == purposeNid || nid == NID_anyExtendedKeyUsage)
            return true;
    }
    listed = purposeList(eku.get());
    return false;
}

} // namespace

std::string subjectOf(X509 *cert)
{
    char *line = X509_NAME_oneline(X509_get_subject_name(cert), nullptr, 0);
    std::string text = line ? line : "";
    OPENSSL_free(line);
    return text;
}

CertificatePath buildPath(X509 *cert, STACK_OF(X509) *untrusted, X509_STORE *anchors, time_t at)
{
    CertificatePath path;
    std::unique_ptr<X509_STORE_CTX, sdktool::OsslDeleter> ctx(X509_STORE_CTX_new());
    if (!ctx || !anchors || X509_STORE_CTX_init(ctx.get(), anchors, cert, untrusted) != 1) {
        path.code = X509_V_ERR_UNSPECIFIED;
        path.error = "the chain cannot be built";
        return path;
    }
    X509_STORE_CTX_set_flags(ctx.get(), X509_V_FLAG_PARTIAL_CHAIN);
    X509_VERIFY_PARAM_set_time(X509_STORE_CTX_get0_param(ctx.get()), at);
    const bool ok = X509_verify_cert(ctx.get()) == 1;
    ERR_clear_error();
    if (ok) {
        STACK_OF(X509) *chain = X509_STORE_CTX_get0_chain(ctx.get());
        for (int i = 0; i < sk_X509_num(chain); ++i) {
            X509 *one = sk_X509_value(chain, i);
            X509_up_ref(one);
            path.certificates.emplace_back(one);
        }
        return path;
    }
    path.code = X509_STORE_CTX_get_error(ctx.get());
    if (path.code == X509_V_OK)
        path.code = X509_V_ERR_UNSPECIFIED;
    path.error = X509_verify_cert_error_string(path.code);
    path.failingDepth = X509_STORE_CTX_get_error_depth(ctx.get());
    if (X509 *failing = X509_STORE_CTX_get_current_cert(ctx.get())) {
        path.failingSubject = subjectOf(failing);
        path.failingValidFrom = timeText(X509_get0_notBefore(failing));
        path.failingValidUntil = timeText(X509_get0_notAfter(failing));
    }
    return path;
}

std::optional<std::string> leafUsageProblem(X509 *cert, int purposeNid)
{
    const uint32_t flags = X509_get_extension_flags(cert);
    if (flags & EXFLAG_INVALID)
        return std::string("its certificate's extensions cannot be read");
    if ((flags & EXFLAG_KUSAGE) && !(X509_get_key_usage(cert) & KU_DIGITAL_SIGNATURE))
        return std::string("its certificate's key usage does not allow digital signatures");
    std::string listed;
    if (!ekuAllows(cert, purposeNid, listed))
        return std::string();
    return std::nullopt;
}

std::string pathUsageProblem(const std::vector<CertPtr> &path, int purposeNid, const std::string &purposeText)
{
    for (size_t i = 1; i < path.size(); ++i) {
        std::string listed;
        if (!ekuAllows(path[i].get(), purposeNid, listed))
            return "the certificate " + subjectOf(path[i].get()) + " of its chain is not meant for " + purposeText
                   + " (its extended key usage allows " + listed + " only), which limits every certificate it issued";
    }
    return {};
}

} // namespace signtool
