#pragma once

// The report of "osslsigncode verify", read signature by signature. For the
// formats this tool does not parse itself (MSI, CAB, CAT, APPX, scripts),
// osslsigncode judges, and its report is all there is: each signature's
// digests as stored and as calculated, its signer, whether its signature
// (and chain) verified and how its time stamp fared. Its exit code says too
// little: it exits 0 when an appended signature verifies and the first does
// not.

#include <optional>
#include <string>
#include <vector>

namespace signtool {

struct ReportedSignature {
    int index = 0;                    // "Signature Index: N"; 0 the primary
    std::string digestAlgorithm;      // "SHA256"
    bool digestsCompared = false;     // some stored digest was compared with a calculated one
    bool digestsMatch = true;         // every stored digest equals its calculated one
    std::string signerSubject;        // "/CN=..."
    std::string signerSerial;         // upper-case hex without leading zeros
    std::optional<bool> verified;     // "Signature verification: ok" or "failed"
    std::string chainError;           // "self-signed certificate", when the chain failed
    bool timeStamped = false;
    std::optional<bool> timeStampVerified;
    std::string timeStampTime;
};

// The signatures of a report in their order; empty when it shows none.
std::vector<ReportedSignature> readVerifyReport(const std::string &report);

// A certificate serial number as the report prints it: upper-case hex
// without leading zeros.
std::string normalizedSerial(std::string hex);

} // namespace signtool
