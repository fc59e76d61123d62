#include "SignatureCheck.h"

#include "PeImage.h"
#include "PeSignatures.h"
#include "VerifyReport.h"
#include "ToolSupport.h"

#include <openssl/bn.h>

#include <cctype>
#include <ctime>

using namespace sdktool;

namespace signtool {

namespace {

std::string lowerCase(std::string text)
{
    for (char &c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string serialHex(X509 *cert)
{
    std::string serial;
    if (BIGNUM *number = ASN1_INTEGER_to_BN(X509_get0_serialNumber(cert), nullptr)) {
        if (char *hex = BN_bn2hex(number)) {
            serial = normalizedSerial(hex);
            OPENSSL_free(hex);
        }
        BN_free(number);
    }
    return serial;
}

std::string countProblem(int found, const CopyExpectation &expected)
{
    if (found < expected.signatures)
        return "the signed copy carries " + std::to_string(found) + " signature(s) where "
               + std::to_string(expected.signatures) + " were expected: the new signature was not added";
    return "the signed copy carries " + std::to_string(found) + " signatures where " + std::to_string(expected.signatures)
           + " were expected";
}

std::string stampProblem(StampKind kind, bool verified, const std::string &digest, const std::string &detail,
                         const CopyExpectation &expected)
{
    const std::string server = expected.stampUrl.empty() ? std::string("the time-stamp server")
                                                          : "the time-stamp server " + expected.stampUrl;
    if (kind == StampKind::None)
        return "the signed copy carries no time stamp from " + server;
    const bool rfcWanted = expected.stamp == StampKind::Rfc3161;
    const bool rightKind = kind == expected.stamp || (expected.stamp == StampKind::Authenticode && kind == StampKind::Rfc3161);
    if (!rightKind)
        return "the time stamp from " + server + " is not of the kind asked for";
    if (!verified)
        return "the reply of " + server + " was refused: " + (detail.empty() ? "its time stamp does not verify" : detail);
    const std::string wantedDigest = rfcWanted ? expected.stampDigest : std::string("sha256");
    if (kind == StampKind::Rfc3161 && digest != wantedDigest)
        return "the reply of " + server + " was refused: its imprint uses " + digest + ", not the requested "
               + wantedDigest;
    return {};
}

} // namespace

std::string checkSignedCopy(int originalFd, int copyFd, X509 *signer, const CopyExpectation &expected,
                            const KnownDigest *original, const KnownDigest *copyDigest)
{
    std::string problem;
    const auto copy = readPeLayout(copyFd, problem);
    if (!copy)
        return "the signed copy is damaged (" + problem + ")";
    if (copy->certTableOffset == 0)
        return "the signed copy carries no signature";
    if (uint64_t(copy->certTableOffset) + copy->certTableSize != copy->fileSize)
        return "the signed copy is incomplete";

    // The chosen certificate is the only trusted one here: a private
    // certificate signs as well as one of a public authority.
    StorePtr anchors(X509_STORE_new());
    if (!anchors || X509_STORE_add_cert(anchors.get(), signer) != 1)
        return "the chosen certificate cannot be used to check the copy";
    TrustPolicy policy;
    policy.anchors = anchors.get();
    policy.stampChains = false;
    policy.now = std::time(nullptr);
    const PeJudgement judgement = judgePeFile(copyFd, policy, copyDigest);
    if (judgement.status == PeJudgement::Status::Unsigned)
        return "the signed copy carries no signature";
    if (judgement.status == PeJudgement::Status::Damaged
        || judgement.status == PeJudgement::Status::TooManySignatures)
        return "the signature of the signed copy cannot be read (" + judgement.problem + ")";
    const int found = static_cast<int>(judgement.signatures.size());
    if (found != expected.signatures || expected.newIndex >= found)
        return countProblem(found, expected);

    const PeSignature &added = judgement.signatures[static_cast<size_t>(expected.newIndex)];
    if (!added.signer || X509_cmp(added.signer.get(), signer) != 0)
        return "the signed copy carries no signature with the chosen certificate";
    const SignatureFinding &finding = added.finding;
    switch (finding.verdict) {
    case Verdict::Damaged:
        return "the signature of the signed copy is damaged";
    case Verdict::SignatureInvalid:
        return "the signature of the signed copy does not verify";
    case Verdict::DigestMismatch:
        return "the signed copy does not match its signature";
    default:
        break;
    }
    if (lowerCase(finding.digest) != lowerCase(expected.fileDigest))
        return "the new signature uses " + finding.digest + ", not the requested " + expected.fileDigest;
    if (expected.stamp != StampKind::None || finding.stampKind != StampKind::None) {
        if (expected.stamp == StampKind::None)
            return "the signed copy carries a time stamp that was not asked for";
        if (const std::string stamp = stampProblem(finding.stampKind, added.stampVerified, added.stampDigest,
                                                   finding.detail, expected);
            !stamp.empty())
            return stamp;
    }
    if (finding.verdict == Verdict::WrongPurpose)
        return "the chosen certificate is not meant for code signing";

    std::optional<std::vector<unsigned char>> originalDigest;
    if (original && added.fileDigest && original->mdType == EVP_MD_get_type(added.fileDigest)) {
        originalDigest = original->value;
    } else {
        const auto layout = readPeLayout(originalFd, problem);
        originalDigest = layout ? authenticodeDigest(originalFd, *layout, added.fileDigest) : std::nullopt;
    }
    if (!originalDigest || *originalDigest != added.fileDigestValue)
        return "the signed copy does not hold the file's content (was the file changed meanwhile?)";
    return {};
}

std::string checkVerifyReport(const std::string &report, X509 *signer, const CopyExpectation &expected)
{
    const std::vector<ReportedSignature> signatures = readVerifyReport(report);
    if (signatures.empty())
        return "the signed copy cannot be read as a signed file";
    for (const ReportedSignature &signature : signatures) {
        if (!signature.digestsMatch)
            return "the signed copy does not match its signature";
    }
    const int found = static_cast<int>(signatures.size());
    if (found != expected.signatures || expected.newIndex >= found)
        return countProblem(found, expected);
    const ReportedSignature &added = signatures[static_cast<size_t>(expected.newIndex)];
    // "timestamp" chooses no certificate: the signatures stay whose they are.
    const std::string serial = signer ? serialHex(signer) : std::string();
    if (signer && (serial.empty() || added.signerSerial != serial))
        return "the signed copy carries no signature with the chosen certificate";
    if (!added.digestAlgorithm.empty() && !expected.fileDigest.empty()
        && lowerCase(added.digestAlgorithm) != lowerCase(expected.fileDigest))
        return "the new signature uses " + added.digestAlgorithm + ", not the requested " + expected.fileDigest;
    if (expected.stamp != StampKind::None) {
        // osslsigncode's report does not tell a token whose signature fails
        // from one whose signer is not among the trusted ones (the copy is
        // checked with the chosen certificate alone), nor which protocol or
        // digest the token uses: only its presence counts here.
        if (!added.timeStamped)
            return stampProblem(StampKind::None, false, {}, {}, expected);
    }
    return {};
}

int appendedSignatureCount(int fd)
{
    const int count = countPeSignatures(fd);
    return count > 0 ? count - 1 : -1;
}

} // namespace signtool
