#pragma once

// "signtool.exe verify /pa FILE...": each file must carry an Authenticode
// signature whose digest matches the file and whose certificate chains to a
// root the system trusts or to a certificate of the store (its PKCS#12
// files and the PKCS#11 tokens' certificates). The primary signature
// decides, as on Windows; with /all every signature must pass. A time stamp
// that is there must verify.
//
// PE files are judged in-process (PeSignatures.h). The other formats are
// judged by osslsigncode verify, which gets the trust list and the opened
// file through descriptors (the file under a name with its extension, which
// osslsigncode tells scripts by), runs under a time-out, and whose report is
// read signature by signature (VerifyReport.h).

#include "Signer.h"
#include "SignatureVerdict.h"

#include <functional>
#include <string>
#include <vector>

namespace signtool {

struct SignArgs;

struct VerifyCounts {
    int verified = 0;
    int warnings = 0;
    int errors = 0;
};

// Verifies every file of `args`, handing each file's lines to `print` in the
// order of the command line.
VerifyCounts verifyFiles(const SignArgs &args, const std::function<void(const std::vector<OutputLine> &)> &print);

// The file's verdict from its signatures: empty when it passes (the primary
// is good, or with `all` every one), else the reason that follows "FILE is
// not validly signed: ".
std::string fileVerdict(const std::vector<SignatureFinding> &signatures, bool all);

// The verdict of signature `index` alone (verify /ds N; 0 the primary), in
// the same terms: empty when it passes.
std::string indexedVerdict(const std::vector<SignatureFinding> &signatures, int index);

} // namespace signtool
