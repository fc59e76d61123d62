#include "SignatureVerdict.h"

#include "VerifyReport.h"

namespace signtool {

namespace {

std::string withDetail(const std::string &text, const std::string &detail)
{
    return detail.empty() ? text : text + " (" + detail + ")";
}

const char *stampKindName(StampKind kind)
{
    switch (kind) {
    case StampKind::Authenticode:
        return "Authenticode";
    case StampKind::Rfc3161:
        return "RFC 3161";
    case StampKind::Unnamed:
        return "present";
    case StampKind::None:
        break;
    }
    return "none";
}

bool contains(const std::string &text, const char *part)
{
    return text.find(part) != std::string::npos;
}

} // namespace

std::string verdictText(const SignatureFinding &finding)
{
    switch (finding.verdict) {
    case Verdict::Good:
        return "it is valid";
    case Verdict::Damaged:
        return withDetail("its signature is damaged", finding.detail);
    case Verdict::SignatureInvalid:
        return "its signature is invalid: the signed data or the signature value was changed";
    case Verdict::DigestMismatch:
        return "its digest does not match the file, which was changed after it was signed";
    case Verdict::PageHashMismatch:
        return finding.detail + ": the file was changed after it was signed";
    case Verdict::WrongPurpose:
        return finding.detail.empty() ? "its certificate is not meant for code signing (wrong purpose)" : finding.detail;
    case Verdict::NotYetValid:
        return finding.detail.empty() ? "its certificate is not yet valid" : finding.detail;
    case Verdict::Revoked:
        return finding.detail.empty() ? "a certificate of its chain has been revoked" : finding.detail;
    case Verdict::TimeStampInvalid:
        return withDetail("its time stamp cannot be verified", finding.detail);
    case Verdict::Expired:
        if ((finding.stampKind == StampKind::Authenticode || finding.stampKind == StampKind::Rfc3161)
            && !finding.detail.empty())
            return finding.detail;
        return withDetail("its certificate has expired and the signature is not time-stamped", finding.detail);
    case Verdict::NotTrusted:
        return withDetail("its certificate does not chain to a trusted root or to a certificate of the store",
                          finding.detail);
    }
    return "it cannot be judged";
}

std::vector<std::string> findingLines(const SignatureFinding &finding)
{
    std::vector<std::string> lines;
    lines.push_back("Signature " + std::to_string(finding.index + 1)
                    + (finding.index == 0 ? " (primary):" : " (appended):"));
    lines.push_back("    Signed by: " + (finding.signer.empty() ? std::string("unknown") : finding.signer));
    lines.push_back("    Digest algorithm: " + (finding.digest.empty() ? std::string("unknown") : finding.digest));
    std::string stamp = std::string("    Time stamp: ") + stampKindName(finding.stampKind);
    if (finding.stampKind != StampKind::None && !finding.stampTime.empty())
        stamp += ", " + finding.stampTime;
    lines.push_back(stamp);
    for (const std::string &note : finding.notes)
        lines.push_back("    Note: " + note);
    lines.push_back("    Result: " + (finding.verdict == Verdict::Good ? std::string("valid") : verdictText(finding)));
    return lines;
}

SignatureFinding findingFromReport(const ReportedSignature &reported)
{
    SignatureFinding finding;
    finding.index = reported.index;
    finding.signer = reported.signerSubject;
    finding.digest = reported.digestAlgorithm;
    if (reported.timeStamped) {
        finding.stampKind = StampKind::Unnamed;
        finding.stampTime = reported.timeStampTime;
    }
    if (!reported.digestsMatch)
        finding.verdict = Verdict::DigestMismatch;
    else if (!reported.verified)
        finding.verdict = Verdict::Damaged;
    else if (reported.timeStampVerified == false)
        finding.verdict = Verdict::TimeStampInvalid;
    else if (*reported.verified)
        finding.verdict = Verdict::Good;
    else if (reported.chainError.empty())
        finding.verdict = Verdict::SignatureInvalid;
    else if (contains(reported.chainError, "expired"))
        finding.verdict = Verdict::Expired;
    else if (contains(reported.chainError, "not yet valid"))
        finding.verdict = Verdict::NotYetValid;
    else if (contains(reported.chainError, "purpose"))
        finding.verdict = Verdict::WrongPurpose;
    else
        finding.verdict = Verdict::NotTrusted;
    if (finding.verdict == Verdict::NotTrusted || finding.verdict == Verdict::Expired)
        finding.detail = reported.chainError;
    return finding;
}

} // namespace signtool
