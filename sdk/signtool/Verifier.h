#pragma once

// "signtool.exe verify /pa FILE...": each file must carry an Authenticode
// signature whose digest matches the file and whose certificate chains to a
// root the system trusts or to a certificate of the store (its PKCS#12
// files and the PKCS#11 tokens' certificates). osslsigncode verify judges;
// this unit hands it the trust list and the file through descriptors, bounds
// each run in time and turns osslsigncode's report into one reason.

#include "Signer.h"

#include <functional>
#include <string>
#include <vector>

namespace signtool {

struct SignArgs;

struct VerifyCounts {
    int verified = 0;
    int errors = 0;
};

// Verifies every file of `args`, handing each file's lines to `print` in the
// order of the command line.
VerifyCounts verifyFiles(const SignArgs &args, const std::function<void(const std::vector<OutputLine> &)> &print);

// Why osslsigncode verify refused a file, in a few words.
std::string verifyFailureReason(const std::string &output);

// The lines worth showing with /v: the signer and the time stamp.
std::vector<std::string> verifyDetails(const std::string &output);

} // namespace signtool
