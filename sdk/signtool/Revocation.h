#pragma once

// Whether certificates have been revoked, asked of the servers they name:
// OCSP responders (authorityInfoAccess) first, then revocation lists
// (crlDistributionPoints), over plain http with a time-out per request
// ($QUILLMARK_REVOCATION_TIMEOUT seconds, 15 by default). An answer counts
// only when it is signed by the certificate's issuer (or, for OCSP, by a
// responder the issuer delegated to) and current. Answers are kept for the
// run, so that a hundred files signed by one certificate cost one request
// per server; each answer is bounded (4 MiB) and so is what is kept
// (32 MiB: beyond it answers are used once and dropped). Safe to use from
// the verifying threads at once.
//
// What the answers mean for a signature (SignTool's behaviour, see
// sdk/README.md) is the caller's business: this only reports them.

#include <openssl/x509.h>

#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace signtool {

struct RevocationStatus {
    enum class State {
        Good,       // a current, signed answer says it is not revoked
        Revoked,    // ... says it is, since `revokedAt`
        Unknown,    // no server could answer: `problem` says why
        NotChecked, // the certificate names no server to ask
    } state = State::NotChecked;
    std::optional<time_t> revokedAt;
    std::string revokedAtText; // "Dec  7 07:39:44 2026 GMT"
    std::string problem;
};

class RevocationChecker {
public:
    RevocationChecker();
    explicit RevocationChecker(int timeoutSeconds);

    // The status of `cert`, issued by `issuer`.
    RevocationStatus check(X509 *cert, X509 *issuer);

    // How many requests went to servers (the cache's effect, for tests and
    // the benchmark).
    int requestsMade() const;

private:
    struct Answer;
    std::shared_ptr<Answer> fetched(const std::string &key, const std::string &url, const std::string &contentType,
                                    const std::string &body);

    int m_timeoutSeconds;
    mutable std::mutex m_mutex;
    std::map<std::string, std::shared_ptr<Answer>> m_answers;
    size_t m_kept = 0;
    int m_requests = 0;
};

// The time-out of one revocation request in seconds.
int revocationTimeoutSeconds();

} // namespace signtool
