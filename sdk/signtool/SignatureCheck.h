#pragma once

// The check of a signed copy before it may take the place of the file it was
// made from. osslsigncode's exit code alone says little: it exits 0 after a
// failed write (a full disk) and leaves a cut file.

#include <openssl/x509.h>

#include <string>
#include <vector>

namespace signtool {

// The original's Authenticode digest, made beforehand (while osslsigncode
// signs, on a thread of its own) with the digest of type `mdType`.
struct KnownDigest {
    int mdType = 0;
    std::vector<unsigned char> value;
};

// Empty when the PE file on `copyFd` is complete, carries an Authenticode
// signature (outer or nested) made with `signer` whose signature is intact
// and whose embedded digest is the copy's own digest, and that digest is the
// one of the original on `originalFd` (so the copy holds the original's
// content and nothing else). Otherwise what is wrong, in a few words. The
// original is not read again when `original` holds its digest of the
// algorithm the signature names; the caller then makes sure the file did
// not change since that digest was made.
std::string checkSignedCopy(int originalFd, int copyFd, X509 *signer, const KnownDigest *original = nullptr);

// For the other formats osslsigncode signs (MSI, CAB, scripts), whose
// digests this tool does not compute: the report of "osslsigncode verify"
// on the copy must show the embedded digest equal to the one it calculated,
// and a signer with `signer`'s serial number. (The chain may not verify: a
// private certificate is fine here.) Empty when it does, else what is wrong.
std::string checkVerifyReport(const std::string &report, X509 *signer);

// How many signatures are appended to (nested in) the first signature of the
// signed PE file on `fd`; -1 when it carries none that can be read. The
// signature appended last has this number as its index for osslsigncode.
int appendedSignatureCount(int fd);

} // namespace signtool
