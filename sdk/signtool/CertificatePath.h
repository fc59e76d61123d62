#pragma once

// A certificate's path to a trust anchor, built at a given time, and the
// limits its certificates place on what the leaf may do. Windows reads an
// extended key usage on any certificate of a path as a limit on every
// certificate below it, so a code-signing leaf under a CA meant for TLS
// servers only signs nothing; OpenSSL's purpose checks look at the leaf
// alone (and, for some purposes, not at a CA's extended key usage at all).

#include "ToolSupport.h"

#include <openssl/x509_vfy.h>

#include <ctime>
#include <optional>
#include <string>
#include <vector>

namespace signtool {

struct CertificatePath {
    int code = X509_V_OK;     // OpenSSL's verdict: X509_V_OK when the path holds
    std::string error;        // its text, when it does not
    std::string failingSubject; // the certificate it failed at ("/CN=..."), when known
    int failingDepth = 0;     // 0: the leaf
    std::string failingValidFrom; // that certificate's notBefore, as timeText prints it
    std::string failingValidUntil;
    std::vector<sdktool::CertPtr> certificates; // when it holds: the leaf first, the anchor last
};

// Builds `cert`'s path through `untrusted` to one of `anchors` (any of
// which may end it), judged at time `at`.
CertificatePath buildPath(X509 *cert, STACK_OF(X509) *untrusted, X509_STORE *anchors, time_t at);

// Why the certificate may not sign code at all, judged by itself: its
// extensions cannot be read, its key usage does not allow digital
// signatures, or its extended key usage names neither code signing nor any
// purpose ("" then, the caller's own wording). nullopt when it may.
std::optional<std::string> leafUsageProblem(X509 *cert, int purposeNid);

// The first certificate of `path` (below the leaf) whose extended key usage
// allows neither `purposeNid` nor any purpose, as the reason to follow
// "FILE is not validly signed: "; empty when every one allows it.
// `purposeText` names the purpose ("code signing", "time stamping").
std::string pathUsageProblem(const std::vector<sdktool::CertPtr> &path, int purposeNid, const std::string &purposeText);

// "/CN=..." of a certificate.
std::string subjectOf(X509 *cert);

} // namespace signtool
