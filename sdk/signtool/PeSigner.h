#pragma once

// Authenticode signatures of PE files made in this process with OpenSSL,
// instead of starting osslsigncode for each file: the key is decrypted once
// per run and every file costs its digest and one private-key operation.
//
// The original is read once. Each piece read is hashed (the Authenticode
// digest), summed (the PE checksum) and written to the copy, so the digest
// the signature embeds is made from exactly the bytes the copy holds. After
// the original's content (up to an old certificate table, which a new
// signature replaces) come the zeros that pad it to a multiple of 8 and one
// WIN_CERTIFICATE (revision 2.0, PKCS#7 SignedData, 8-byte aligned); the
// certificate table's directory entry and the checksum are then written in
// place.

#include "PageHashes.h"
#include "PeImage.h"
#include "ToolSupport.h"

#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <functional>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace signtool {

// The key and the certificates that go into every signature of a run.
struct SigningKey {
    EVP_PKEY *key = nullptr; // a PFX's, or a token's that libp11 hands OpenSSL (TokenStore.h)
    X509 *cert = nullptr;
    std::vector<X509 *> chain; // the PFX's other certificates, then those of /ac
};

struct PeSignOptions {
    const EVP_MD *md = nullptr;
    std::string description;    // /d, SpcSpOpusInfo's program name; empty: none
    std::string descriptionUrl; // /du, its "more info" link
    // Appends the new signature to the file's primary one (nested), keeping
    // every existing signature byte for byte; an unsigned file gets it as
    // its primary signature.
    bool append = false;
    // Page hashes (/ph) in the signed content, made from the same pieces
    // as the digest; SHA-1 or SHA-256 after `md` (PageHashes.h).
    bool pageHashes = false;
    // Called once the new signature is made, before it is written out: adds
    // what belongs to it unsigned (a time stamp). Empty when done, else why
    // the file cannot be signed.
    std::function<std::string(PKCS7 *, PKCS7_SIGNER_INFO *)> beforeWriting;
    // Runs the one private-key operation, the signature value: a token's
    // key is used one file at a time and under a deadline (TokenKey::use).
    // Empty: it is run directly.
    std::function<bool(const std::function<bool()> &)> keyOperation;
    // A signature made elsewhere (sign /di): given the digest made while
    // the file is copied, the SignedData (DER) to embed, or empty with the
    // reason set. Replaces the signature made with the key.
    std::function<std::vector<unsigned char>(const KnownDigest &, std::string &)> finishedSignature;
};

struct PeSignResult {
    std::string error;           // empty when the copy was written
    KnownDigest digest;          // the Authenticode digest the signature embeds
    uint64_t size = 0;           // of the copy
    uint32_t certTableOffset = 0;
    uint32_t certTableSize = 0;
    int signatures = 0;          // how many the copy carries
};

// Writes the signed copy of the PE file on `originalFd` (whose layout is
// `layout`) to `copyFd`, an empty file open for writing. Nothing is synced.
PeSignResult signPeFile(int originalFd, const PeLayout &layout, int copyFd, const SigningKey &key,
                        const PeSignOptions &options);

// The PKCS#7 SignedData (DER) of one Authenticode signature over a PE file
// whose digest is `digest`, for tests and for the digest of other callers;
// with `pageHashes`, its SpcPeImageData carries them.
std::vector<unsigned char> authenticodeSignature(const KnownDigest &digest, const SigningKey &key,
                                                 const PeSignOptions &options, std::string &error,
                                                 const PageHashTable *pageHashes = nullptr);

// What "timestamp" adds a time stamp to, and how.
struct PeStampOptions {
    int index = 0;              // the signature: 0 the primary, 1.. the appended ones (/tp)
    const EVP_MD *md = nullptr; // the copy's digest made on the way (the stamped signature's); null: none
    // Adds the time stamp to `si`, the signer of `p7` (the signature to
    // stamp, without the stamps it had, which the new one replaces). Empty
    // when done, else why the file cannot be time-stamped.
    std::function<std::string(PKCS7 *, PKCS7_SIGNER_INFO *)> stamp;
};

// Writes the signed PE file on `originalFd` to `copyFd` with signature
// `options.index` time-stamped: its old time stamp replaced, every other
// byte of the signatures kept, the content copied (and hashed) in one
// pass, the entry and the checksum made anew. result.digest is the copy's
// digest when options.md is given.
PeSignResult stampPeFile(int originalFd, const PeLayout &layout, int copyFd, const PeStampOptions &options);

// authenticodeSignature's SignedData before it is signed: every signed
// attribute in place, the signature value empty, for a key elsewhere to
// sign (sign /dg). `key.key` may be the certificate's public key: it only
// picks the signature algorithm.
sdktool::Pkcs7Ptr unsignedAuthenticodeSignature(const KnownDigest &digest, const SigningKey &key,
                                                const PeSignOptions &options, std::string &error,
                                                const PageHashTable *pageHashes = nullptr);

// Writes the PE file on `originalFd` without its certificate table to
// `copyFd`: the entry emptied, the checksum made anew. Empty when done,
// else what is wrong.
std::string removePeSignature(int originalFd, const PeLayout &layout, int copyFd);

// Writes the PE file on `originalFd` to `copyFd` with the PKCS#7 of its one
// signature replaced by what `edit` makes of it (DER in, DER out; empty out
// with its error set: nothing can be made), in a WIN_CERTIFICATE of its own
// size, the directory entry and the checksum made anew. The content before
// the table is copied as it is.
PeSignResult replacePeSignature(int originalFd, const PeLayout &layout, int copyFd,
                                const std::function<std::vector<unsigned char>(const std::vector<unsigned char> &,
                                                                               std::string &)> &edit);

// The PE checksum of the bytes of a file: its 16-bit words (the checksum
// field itself left out) added with their carries folded back, plus the
// file's size. Exposed for tests.
class PeChecksum {
public:
    // `data` lies at `offset` in the file.
    void add(const unsigned char *data, size_t size, uint64_t offset);
    uint32_t value(uint64_t fileSize) const;

private:
    uint64_t m_sum = 0;
};

} // namespace signtool
