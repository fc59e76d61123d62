#pragma once

// The Authenticode signatures of a PE file, judged in-process with OpenSSL:
// the file's own Authenticode digest (PeImage.h) against the one each
// signature embeds, each signature's value over what it signs, its
// certificate's purpose and chain, and each time stamp's token (an
// Authenticode counter-signature or an RFC 3161 token): its imprint must be
// the digest of the signature value, its signature must verify and its
// signer must be meant for time stamping. The primary signature sits in the
// certificate table; appended ones are nested in its unsigned attributes
// (1.3.6.1.4.1.311.2.4.1).

#include "PeImage.h"
#include "SignatureVerdict.h"
#include "ToolSupport.h"

#include <openssl/x509_vfy.h>

#include <ctime>
#include <memory>
#include <string>
#include <vector>

namespace signtool {

using StorePtr = std::unique_ptr<X509_STORE, sdktool::OsslDeleter>;

// The certificates of a PEM bundle as trust anchors; any of them may end a
// chain (a store certificate is trusted as it is, not only a root).
StorePtr trustStoreFromPem(const std::string &pem);

class RevocationChecker;

struct TrustPolicy {
    X509_STORE *anchors = nullptr;
    // Whether a time stamp's signer must chain to the anchors too; when
    // false it only has to be meant for time stamping (the check of a signed
    // copy, which knows no trusted time-stamp roots).
    bool stampChains = true;
    time_t now = 0;
    // Asked whether the certificates of the signer's and the time-stamp
    // server's paths are revoked; none: not asked (the check of a signed
    // copy, made before anyone could have revoked anything).
    RevocationChecker *revocation = nullptr;
    // verify /r: the root the signer's chain ends at must have this in its
    // subject (letter case ignored).
    std::string rootSubject;
    // verify /ph: the page hashes a signature carries must match the file's
    // pages (PageHashes.h).
    bool pageHashes = false;
};

// One signature with what the checks of a signed copy need besides the
// verdict.
struct PeSignature {
    SignatureFinding finding;
    sdktool::CertPtr signer;           // null when the signature names none it carries
    const EVP_MD *fileDigest = nullptr;
    std::vector<unsigned char> fileDigestValue;
    std::string stampDigest;           // an RFC 3161 imprint's digest, "sha256"
    bool stampVerified = false;
};

// The most signatures of one file that are read. Windows itself sets no
// bound, but a file carries one or two (SHA-1 and SHA-256 for old and new
// systems), rarely a few more; each one read costs a chain check, and one
// of another digest a pass over the whole file. 64 leaves room for any real
// use and keeps the work of a file bounded: a file with more is refused
// without reading any of them.
inline constexpr int kMaxPeSignatures = 64;

struct PeJudgement {
    enum class Status { Signed, Unsigned, Damaged, TooManySignatures } status = Status::Unsigned;
    std::string problem;               // when Damaged or TooManySignatures: what is wrong, in a few words
    std::vector<PeSignature> signatures; // the primary first, then the appended ones in order
};

// `known`, when given, is the file's digest of one algorithm, proven some
// other way: a signature with that algorithm is judged against it instead
// of hashing the file. The file is hashed once per digest algorithm that its
// signatures use, however many use it.
PeJudgement judgePeFile(int fd, const TrustPolicy &policy, const KnownDigest *known = nullptr);

// A PKCS#7 signature of any content (sign /p7), the content given apart
// as a stream, judged by the rules of judgePeFile: the content's digest
// (read from `content` to its end) against the signed messageDigest, the
// signature value, the signer's purpose (code signing) and chain, and a
// time stamp.
PeSignature judgeStreamedContentSignature(PKCS7 *p7, BIO *content, const TrustPolicy &policy);

// The signature of a PKCS#7 SignedData whose content is of type
// `contentOid` (a catalog's certificate trust list) and not a file's
// digest: judged with the same rules as a program file's signature (its
// value over the content, its time stamp, its certificate's purpose and
// chain at the stamp's time, revocation). `finding.detail` says what is
// wrong when the content is not of that type.
SignatureFinding judgeEmbeddedContentSignature(PKCS7 *p7, const char *contentOid, const TrustPolicy &policy);

// How many signatures the PE file on `fd` carries, without judging them: 0
// when it is unsigned, -1 when it or its signature cannot be read (a count
// above kMaxPeSignatures is given as it is).
int countPeSignatures(int fd);

} // namespace signtool
