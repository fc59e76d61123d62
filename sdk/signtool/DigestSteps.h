#pragma once

// The runs of sign /dg and sign /ds (see DigestSigning.h for the steps and
// their files): one file after another, each file's lines in the Signer's
// form.

#include "SignRun.h"

#include <functional>

namespace signtool {

struct SignArgs;
struct SigningIdentity;

// sign /dg and sign /ds over every file, one after another, each file's
// lines handed to `print` (the Signer's form).
RunCounts generateDigests(const SignArgs &args, const SigningIdentity &identity,
                          const std::function<void(const FileOutcome &)> &print);
RunCounts signDigestFiles(const SignArgs &args, const SigningIdentity &identity,
                          const std::function<void(const FileOutcome &)> &print);

// The certificate /dg uses: as for signing, and besides a PFX /f also takes
// a certificate file (PEM or DER) without its key.
struct IdentityChoice;
IdentityChoice chooseDigestCertificate(const SignArgs &args);

} // namespace signtool
