#pragma once

// The check of a signed copy before it may take the place of the file it was
// made from. osslsigncode's exit code alone says little: it exits 0 after a
// failed write (a full disk) and leaves a cut file, after a time-stamp reply
// it could not verify, and after "-nest" on a file that it then left with
// the signatures it had.

#include "PeImage.h"
#include "SignatureVerdict.h"

#include <openssl/x509.h>

#include <string>
#include <vector>

namespace signtool {

// What the signing step was asked to make.
struct CopyExpectation {
    int signatures = 1;            // how many signatures the copy must carry
    int newIndex = 0;              // which of them is the new one
    std::string fileDigest = "sha256"; // the new signature's digest (/fd)
    // The new signature's time stamp: None for none asked for; Rfc3161 (/tr)
    // with `stampDigest` as its imprint's digest; Authenticode (/t), which
    // an RFC 3161 token with SHA-256 also fulfils (the fallback at the same
    // address).
    StampKind stamp = StampKind::None;
    std::string stampDigest = "sha256";
    std::string stampUrl;          // for the messages
};

// Empty when the PE file on `copyFd` is complete and carries exactly the
// expected signatures, the new one made with `signer` and the expected
// digest, its signature intact (judged against `signer` as the only trusted
// certificate) and its embedded digest the copy's own digest, which is the
// one of the original on `originalFd` (so the copy holds the original's
// content and nothing else), and its time stamp, when one was asked for,
// verifies: the imprint is the digest of the signature value under the
// requested digest, the token's signature verifies and its signer is meant
// for time stamping. Otherwise what is wrong, in a few words.
//
// `original`, when given, is the original's digest made beforehand (while
// osslsigncode signed it, on a thread of its own); the original is not read
// again when it is of the algorithm the new signature names, and the caller
// makes sure the file did not change since. `copyDigest`, when given, is the
// copy's own digest, proven without hashing it (sameDigestedContent while
// the original could not change): the copy is then not hashed either.
std::string checkSignedCopy(int originalFd, int copyFd, X509 *signer, const CopyExpectation &expected = {},
                            const KnownDigest *original = nullptr, const KnownDigest *copyDigest = nullptr);

// For the other formats osslsigncode signs (MSI, CAB, CAT, APPX, scripts),
// whose digests this tool does not compute: the report of "osslsigncode
// verify" on the copy must show the expected number of signatures, every
// stored digest equal to the calculated one, the new signature by a signer
// with `signer`'s serial number and with the expected digest, and its time
// stamp, when one was asked for, present. (The chain may not verify: a
// private certificate is fine here.) A null `signer` (time-stamping files
// already signed) and an empty expected digest are not checked. Empty when
// it does, else what is wrong.
std::string checkVerifyReport(const std::string &report, X509 *signer, const CopyExpectation &expected = {});

// How many signatures are appended to (nested in) the first signature of the
// signed PE file on `fd`; -1 when it carries none that can be read. The
// signature appended last has this number as its index for osslsigncode.
int appendedSignatureCount(int fd);

} // namespace signtool
