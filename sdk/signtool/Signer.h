#pragma once

// Signs one file through osslsigncode and reports the outcome as the lines
// the tool prints for it, so that a caller may print them at once or keep
// them until the files before it are done.

#include "CertStore.h"

#include <string>
#include <vector>

namespace signtool {

struct SignArgs;

struct OutputLine {
    enum Stream { Out, Err };
    Stream stream = Out;
    std::string text;
};

struct FileOutcome {
    bool signedOk = false;
    // With /v first "Signing: FILE" and the certificate; then exactly one
    // outcome line: "Successfully signed: FILE" or "SignTool Error: ...".
    std::vector<OutputLine> lines;
    int warnings = 0; // "SignTool Warning: " lines among them
};

FileOutcome signFile(const SigningIdentity &identity, const SignArgs &args, const std::string &file);

// The osslsigncode command line for signing `in` into `out`. The password,
// if any, is read from descriptor 3.
std::vector<std::string> osslsigncodeArguments(const SigningIdentity &identity, const SignArgs &args,
                                               const std::string &in, const std::string &out);

// osslsigncode's output without its noise (status words, OpenSSL's error
// queue dump), as one line.
std::string signerMessage(const std::string &output);

} // namespace signtool
