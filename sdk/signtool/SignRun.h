#pragma once

// Signs the files of one command line: several at a time through a pool of
// children, each file's outcome handed on in command-line order as soon as
// the files before it are done, so the output reads as if they had been
// signed one after another.

#include "Signer.h"

#include <functional>
#include <string>
#include <vector>

namespace signtool {

struct RunCounts {
    int signedFiles = 0;
    int warnings = 0;
    int errors = 0;
};

// `poolSize` children at a time (0: the default). `oneSignatureAtATime`
// keeps to one signing child (a token, which is one device), while other
// steps (time stamps) still run side by side. `print` gets each file's
// outcome, in order.
RunCounts signInOrder(const Signer &signer, const std::vector<std::string> &files, size_t poolSize,
                      bool oneSignatureAtATime, const std::function<void(const FileOutcome &)> &print);

} // namespace signtool
