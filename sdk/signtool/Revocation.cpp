#include "Revocation.h"

#include "HttpFetch.h"
#include "ToolSupport.h"

#include <openssl/err.h>
#include <openssl/ocsp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <cstdlib>
#include <vector>

using namespace sdktool;

namespace signtool {

namespace {

constexpr int kDefaultTimeoutSeconds = 15;
constexpr size_t kMaxAnswer = 4 * 1024 * 1024;
constexpr size_t kMaxKept = 32 * 1024 * 1024;
// An answer made on a clock a little ahead of ours is still current.
constexpr long kClockSkewSeconds = 300;

struct StoreFree {
    void operator()(X509_STORE *p) const { X509_STORE_free(p); }
};
struct StackFree {
    void operator()(STACK_OF(X509) *p) const { sk_X509_free(p); }
};

bool isHttp(const std::string &url)
{
    return url.rfind("http://", 0) == 0 || url.rfind("HTTP://", 0) == 0;
}

std::vector<std::string> ocspUrls(X509 *cert)
{
    std::vector<std::string> urls;
    STACK_OF(OPENSSL_STRING) *found = X509_get1_ocsp(cert);
    for (int i = 0; i < sk_OPENSSL_STRING_num(found); ++i) {
        const std::string url = sk_OPENSSL_STRING_value(found, i);
        if (isHttp(url))
            urls.push_back(url);
    }
    X509_email_free(found);
    return urls;
}

std::vector<std::string> crlUrls(X509 *cert)
{
    std::vector<std::string> urls;
    auto *points = static_cast<STACK_OF(DIST_POINT) *>(
        X509_get_ext_d2i(cert, NID_crl_distribution_points, nullptr, nullptr));
    for (int i = 0; i < sk_DIST_POINT_num(points); ++i) {
        const DIST_POINT *point = sk_DIST_POINT_value(points, i);
        if (!point->distpoint || point->distpoint->type != 0)
            continue;
        const GENERAL_NAMES *names = point->distpoint->name.fullname;
        for (int n = 0; n < sk_GENERAL_NAME_num(names); ++n) {
            const GENERAL_NAME *name = sk_GENERAL_NAME_value(names, n);
            if (name->type != GEN_URI)
                continue;
            const ASN1_IA5STRING *uri = name->d.uniformResourceIdentifier;
            const std::string url(reinterpret_cast<const char *>(ASN1_STRING_get0_data(uri)),
                                  static_cast<size_t>(ASN1_STRING_length(uri)));
            if (isHttp(url))
                urls.push_back(url);
        }
    }
    sk_DIST_POINT_pop_free(points, DIST_POINT_free);
    ERR_clear_error();
    return urls;
}

RevocationStatus revokedSince(const ASN1_TIME *when)
{
    RevocationStatus status;
    status.state = RevocationStatus::State::Revoked;
    if (when) {
        status.revokedAt = timeOf(when);
        status.revokedAtText = timeText(when);
    }
    return status;
}

RevocationStatus unknown(const std::string &problem)
{
    RevocationStatus status;
    status.state = RevocationStatus::State::Unknown;
    status.problem = problem;
    return status;
}

std::string toHex(const std::string &bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char c : bytes) {
        hex += digits[c >> 4];
        hex += digits[c & 15];
    }
    return hex;
}

// The status a revocation list gives `cert`; Unknown when the list is not
// one its issuer signed or is out of date.
RevocationStatus statusFromCrl(const std::string &data, X509 *cert, X509 *issuer, const std::string &url)
{
    const unsigned char *p = reinterpret_cast<const unsigned char *>(data.data());
    std::unique_ptr<X509_CRL, sdktool::OsslDeleter> crl(d2i_X509_CRL(nullptr, &p, static_cast<long>(data.size())));
    if (!crl) {
        BioPtr bio(BIO_new_mem_buf(data.data(), static_cast<int>(data.size())));
        crl.reset(bio ? PEM_read_bio_X509_CRL(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    }
    ERR_clear_error();
    if (!crl)
        return unknown("the revocation list at " + url + " cannot be read");
    EVP_PKEY *key = X509_get0_pubkey(issuer);
    const bool signedByIssuer = X509_NAME_cmp(X509_CRL_get_issuer(crl.get()), X509_get_subject_name(issuer)) == 0
                                && key && X509_CRL_verify(crl.get(), key) == 1;
    ERR_clear_error();
    if (!signedByIssuer)
        return unknown("the revocation list at " + url + " is not signed by the certificate's issuer");
    const time_t now = std::time(nullptr);
    const auto thisUpdate = timeOf(X509_CRL_get0_lastUpdate(crl.get()));
    const ASN1_TIME *next = X509_CRL_get0_nextUpdate(crl.get());
    const auto nextUpdate = next ? timeOf(next) : std::nullopt;
    if (!thisUpdate || *thisUpdate > now + kClockSkewSeconds)
        return unknown("the revocation list at " + url + " is dated in the future");
    if (next && (!nextUpdate || *nextUpdate < now))
        return unknown("the revocation list at " + url + " is out of date (its next update was due "
                       + timeText(next) + ")");
    X509_REVOKED *entry = nullptr;
    // 2: listed, but as removeFromCRL (a hold lifted).
    if (X509_CRL_get0_by_cert(crl.get(), &entry, cert) == 1 && entry)
        return revokedSince(X509_REVOKED_get0_revocationDate(entry));
    RevocationStatus good;
    good.state = RevocationStatus::State::Good;
    return good;
}

// Whether an OCSP answer is signed by the issuer or by a responder the
// issuer named for it (OCSPSigning, issued by the issuer).
bool signedForIssuer(OCSP_BASICRESP *basic, X509 *issuer)
{
    std::unique_ptr<X509_STORE, StoreFree> store(X509_STORE_new());
    std::unique_ptr<STACK_OF(X509), StackFree> untrusted(sk_X509_new_null());
    if (!store || !untrusted || X509_STORE_add_cert(store.get(), issuer) != 1
        || !sk_X509_push(untrusted.get(), issuer))
        return false;
    X509_STORE_set_flags(store.get(), X509_V_FLAG_PARTIAL_CHAIN);
    const bool ok = OCSP_basic_verify(basic, untrusted.get(), store.get(), 0) == 1;
    ERR_clear_error();
    return ok;
}

RevocationStatus statusFromOcsp(const std::string &data, OCSP_CERTID *id, X509 *issuer, const std::string &url)
{
    const unsigned char *p = reinterpret_cast<const unsigned char *>(data.data());
    std::unique_ptr<OCSP_RESPONSE, sdktool::OsslDeleter> response(d2i_OCSP_RESPONSE(nullptr, &p, static_cast<long>(data.size())));
    ERR_clear_error();
    if (!response)
        return unknown("the answer of the OCSP responder " + url + " cannot be read");
    if (OCSP_response_status(response.get()) != OCSP_RESPONSE_STATUS_SUCCESSFUL)
        return unknown("the OCSP responder " + url + " refused the request ("
                       + OCSP_response_status_str(OCSP_response_status(response.get())) + ")");
    std::unique_ptr<OCSP_BASICRESP, sdktool::OsslDeleter> basic(OCSP_response_get1_basic(response.get()));
    if (!basic || !signedForIssuer(basic.get(), issuer))
        return unknown("the answer of the OCSP responder " + url + " is not signed for the certificate's issuer");
    int state = -1, reason = -1;
    ASN1_GENERALIZEDTIME *revoked = nullptr, *thisUpdate = nullptr, *nextUpdate = nullptr;
    if (OCSP_resp_find_status(basic.get(), id, &state, &reason, &revoked, &thisUpdate, &nextUpdate) != 1) {
        ERR_clear_error();
        return unknown("the OCSP responder " + url + " did not answer for this certificate");
    }
    if (OCSP_check_validity(thisUpdate, nextUpdate, kClockSkewSeconds, -1) != 1) {
        ERR_clear_error();
        return unknown("the answer of the OCSP responder " + url + " is out of date");
    }
    if (state == V_OCSP_CERTSTATUS_REVOKED)
        return revokedSince(revoked);
    if (state != V_OCSP_CERTSTATUS_GOOD)
        return unknown("the OCSP responder " + url + " does not know the certificate");
    RevocationStatus good;
    good.state = RevocationStatus::State::Good;
    return good;
}

} // namespace

struct RevocationChecker::Answer {
    std::mutex mutex;
    bool done = false;
    HttpAnswer http;
};

int revocationTimeoutSeconds()
{
    const char *text = std::getenv("QUILLMARK_REVOCATION_TIMEOUT");
    const int seconds = text ? std::atoi(text) : 0;
    return seconds > 0 && seconds <= 600 ? seconds : kDefaultTimeoutSeconds;
}

RevocationChecker::RevocationChecker() : RevocationChecker(revocationTimeoutSeconds()) {}

RevocationChecker::RevocationChecker(int timeoutSeconds) : m_timeoutSeconds(timeoutSeconds) {}

int RevocationChecker::requestsMade() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests;
}

std::shared_ptr<RevocationChecker::Answer> RevocationChecker::fetched(const std::string &key, const std::string &url,
                                                                      const std::string &contentType,
                                                                      const std::string &body)
{
    std::shared_ptr<Answer> answer;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::shared_ptr<Answer> &slot = m_answers[key];
        if (!slot)
            slot = std::make_shared<Answer>();
        answer = slot;
    }
    // Threads asking the same server wait for the one request.
    std::lock_guard<std::mutex> busy(answer->mutex);
    if (answer->done)
        return answer;
    answer->http = httpExchange(url, contentType, body, m_timeoutSeconds, kMaxAnswer);
    answer->done = true;
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_requests;
    if (m_kept + answer->http.body.size() > kMaxKept)
        m_answers.erase(key);
    else
        m_kept += answer->http.body.size();
    return answer;
}

RevocationStatus RevocationChecker::check(X509 *cert, X509 *issuer)
{
    const std::vector<std::string> ocsp = ocspUrls(cert);
    const std::vector<std::string> crls = crlUrls(cert);
    if (ocsp.empty() && crls.empty())
        return {};
    std::string problems;
    auto note = [&problems](const std::string &problem) { problems += (problems.empty() ? "" : "; ") + problem; };
    if (!ocsp.empty()) {
        std::unique_ptr<OCSP_CERTID, sdktool::OsslDeleter> id(OCSP_cert_to_id(EVP_sha1(), cert, issuer));
        std::unique_ptr<OCSP_REQUEST, sdktool::OsslDeleter> request(OCSP_REQUEST_new());
        OCSP_CERTID *copy = id ? OCSP_CERTID_dup(id.get()) : nullptr;
        if (copy && request && !OCSP_request_add0_id(request.get(), copy))
            OCSP_CERTID_free(copy);
        unsigned char *der = nullptr;
        const int length = request && copy ? i2d_OCSP_REQUEST(request.get(), &der) : -1;
        const std::string body = length > 0 ? std::string(reinterpret_cast<char *>(der), size_t(length)) : "";
        OPENSSL_free(der);
        ERR_clear_error();
        for (const std::string &url : ocsp) {
            if (body.empty())
                break;
            const auto answer = fetched("ocsp " + url + " " + toHex(body), url, "application/ocsp-request", body);
            if (!answer->http.ok) {
                note("the OCSP responder " + url + " gave no answer: " + answer->http.error);
                continue;
            }
            const RevocationStatus status = statusFromOcsp(answer->http.body, id.get(), issuer, url);
            if (status.state != RevocationStatus::State::Unknown)
                return status;
            note(status.problem);
        }
    }
    for (const std::string &url : crls) {
        const auto answer = fetched("crl " + url, url, {}, {});
        if (!answer->http.ok) {
            note("the revocation list at " + url + " cannot be had: " + answer->http.error);
            continue;
        }
        const RevocationStatus status = statusFromCrl(answer->http.body, cert, issuer, url);
        if (status.state != RevocationStatus::State::Unknown)
            return status;
        note(status.problem);
    }
    return unknown(problems);
}

} // namespace signtool
