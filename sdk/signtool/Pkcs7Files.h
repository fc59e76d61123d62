#pragma once

// PKCS#7 signatures of files of any content, as Microsoft's SignTool makes
// them with "sign /p7 DIR" (App Control policies, for one):
//
//   sign /p7 DIR [/p7co OID] [/p7ce KIND] FILE...
//       writes DIR/FILE.p7, a SignedData by the chosen key with the /fd
//       digest, the signer's chain and the certificates of /ac, whose
//       content type is /p7co (1.2.840.113549.1.7.1, data, without it).
//       /p7ce Embedded (the default) keeps the file's content inside;
//       Pkcs7DetachedSignedData leaves it out (a whole PKCS#7 ContentInfo);
//       DetachedSignedData leaves it out and writes the bare SignedData.
//   timestamp /p7 (/t URL | /tr URL [/td ALG]) FILE.p7...
//       adds a time stamp to each one (that has none) in its own form, the
//       stamped signature checked before it replaces the file.
//   verify /p7 FILE.p7...
//       judges each one as verify /pa judges a program file's signature:
//       the content's digest, the signature value, the signer's purpose
//       (code signing), chain and revocation, and a time stamp. A detached
//       signature signs the file of its name without ".p7" beside it.
//
// Only keys in memory (a PFX or the store) sign these: a token's key signs
// through osslsigncode here, which makes no such files.

#include "SignRun.h"
#include "SignatureVerdict.h"

#include <functional>
#include <string>
#include <vector>

namespace signtool {

struct SignArgs;
struct SigningIdentity;
struct TrustPolicy;

// The default content type of /p7 without /p7co: PKCS#7 data.
inline constexpr char kPkcs7DataOid[] = "1.2.840.113549.1.7.1";

// A PKCS#7 file (ContentInfo or bare SignedData) of at most this size is
// read; an embedded content larger than it is not made either.
inline constexpr long long kMaxPkcs7Bytes = 256LL << 20;

RunCounts signPkcs7Files(const SignArgs &args, const SigningIdentity &identity,
                         const std::function<void(const FileOutcome &)> &print);

RunCounts stampPkcs7Files(const SignArgs &args, const std::function<void(const FileOutcome &)> &print);

struct Pkcs7Verdict {
    std::string fileProblem; // it cannot be read, or its content cannot: the reason
    std::vector<SignatureFinding> findings;
};

// Judges the PKCS#7 file open on `fd`, named `file` as given.
Pkcs7Verdict judgePkcs7File(int fd, const std::string &file, const TrustPolicy &policy);

// The SignedData of `der` (a ContentInfo, or a bare SignedData) as a
// ContentInfo; empty when it is neither.
std::vector<unsigned char> asContentInfo(const std::vector<unsigned char> &der);

} // namespace signtool
