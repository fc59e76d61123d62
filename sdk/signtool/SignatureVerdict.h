#pragma once

// What "verify /pa" found about one signature of a file, in the same form
// whoever judged it: this tool itself (PE files, see PeSignatures.h) or
// osslsigncode's report (the other formats, see VerifyReport.h).

#include <string>
#include <vector>

namespace signtool {

struct ReportedSignature;

enum class Verdict {
    Good,
    Damaged,          // the signature cannot be read
    SignatureInvalid, // the signature value does not verify over what it signs
    DigestMismatch,   // the file changed after it was signed
    WrongPurpose,     // the certificate (or one of its chain) is not meant for code signing
    TimeStampInvalid, // a time stamp is there but does not verify
    Expired,          // the certificate expired and no time stamp vouches for the signing time
    NotTrusted,       // the chain ends at no trusted root and no certificate of the store
    NotYetValid,      // a certificate of the chain was not valid yet at the time judged
    Revoked,          // a certificate of the chain (or of its time stamp's) was revoked
    PageHashMismatch, // verify /ph: a page does not match its page hash (detail: which)
};

// Unnamed: osslsigncode's report shows a time stamp without its protocol.
enum class StampKind { None, Authenticode, Rfc3161, Unnamed };

struct SignatureFinding {
    int index = 0;            // 0: the primary signature; then the appended ones
    std::string signer;       // "/CN=...", empty when unknown
    std::string digest;       // "SHA256"
    StampKind stampKind = StampKind::None;
    std::string stampTime;    // "Dec  7 07:39:44 2029 GMT"
    Verdict verdict = Verdict::Damaged;
    // What OpenSSL said about a chain or a time stamp; for WrongPurpose,
    // NotYetValid, Revoked and an Expired signature judged at its time
    // stamp's time, when given, the whole reason.
    std::string detail;
    std::string description;    // the signer's description (/d of sign), when given
    std::string descriptionUrl; // and its URL (/du)
    std::vector<std::string> notes;    // what "verify /v" adds (a revocation after the time stamp's time)
    std::vector<std::string> warnings; // shown as warnings (a revocation that could not be checked)
};

// The reason in this tool's own words, to follow "FILE is not validly
// signed: ", e.g. "its digest does not match the file, ...".
std::string verdictText(const SignatureFinding &finding);

// The lines that "verify /v" shows for one signature, numbered from 1.
std::vector<std::string> findingLines(const SignatureFinding &finding);

// A signature of osslsigncode's report, judged in the same terms.
SignatureFinding findingFromReport(const ReportedSignature &reported);

} // namespace signtool
