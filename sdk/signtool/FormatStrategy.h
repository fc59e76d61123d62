#pragma once

// What signing and verifying means for one kind of file, chosen once per
// opened file by its content (formatOf): the tool asks the file's strategy
// instead of asking "is this a program file?" at every step.
//
// Program files (PE: "MZ") are handled in this process with OpenSSL:
// their layout is checked, their signatures counted and judged, their
// digest made, and they are signed (and signatures appended or removed)
// without a child. Every other format osslsigncode knows (MSI, CAB, CAT,
// APPX, scripts) is signed and read by osslsigncode children, as the
// strategy's own methods say (they answer "not here" for in-process work).
// A program file is still signed by osslsigncode where this process does
// not make the signature itself: where QUILLMARK_PE_SIGNER=osslsigncode
// asks for it (see signsInProcess).

#include "PeSignatures.h"
#include "PeSigner.h"
#include "SignatureEdit.h"

#include <openssl/evp.h>

#include <optional>
#include <string>

namespace signtool {

// What the signing of a run asks for, as far as a strategy's choice
// depends on it.
struct SigningNeeds {
    // A key this process signs with: a PFX or store key decrypted by the
    // tool, or a token's that libp11 hands OpenSSL (TokenStore.h).
    bool keyInMemory = false;
    // QUILLMARK_PE_SIGNER=osslsigncode: program files are signed by
    // osslsigncode children as the other formats are (see Signer.h).
    bool osslsigncodeAsked = false;
};

class FormatStrategy {
public:
    virtual ~FormatStrategy() = default;

    // "program file" or "osslsigncode format", for messages and tests.
    virtual const char *name() const = 0;

    // Whether this tool reads the format's signatures itself (counting them,
    // verify /pa, the check of a signed copy); otherwise osslsigncode's
    // verify does, and osslsigncode reads the file through a link named
    // with its extension (it tells scripts by their name).
    virtual bool readsSignaturesInProcess() const = 0;

    // Why the file open on `fd` cannot be signed as it is (a truncated or
    // damaged program file), in a few words; empty when it can.
    virtual std::string damage(int fd) const = 0;

    // How many signatures the file carries: -1 when it or its signature
    // cannot be read, nullopt when this process does not read them.
    virtual std::optional<int> signatureCount(int fd) const = 0;

    // Whether this process makes the signature itself (sign()); otherwise
    // an osslsigncode child does.
    virtual bool signsInProcess(const SigningNeeds &needs) const = 0;

    // Signs the file on `fd` into the empty file `copyFd` (options.append:
    // a nested signature after the existing ones, /as).
    virtual PeSignResult sign(int fd, int copyFd, const SigningKey &key, const PeSignOptions &options) const = 0;

    // Writes the signed file on `fd` into `copyFd` with one of its
    // signatures time-stamped ("timestamp"); only where signsInProcess().
    virtual PeSignResult stamp(int fd, int copyFd, const PeStampOptions &options) const = 0;

    // Writes the file without any signature into `copyFd`; empty when done.
    virtual std::string remove(int fd, int copyFd) const = 0;

    // Writes the file into `copyFd` with its signature cut as `cut` says
    // (remove /c, /u); empty when done, else why not.
    virtual std::string trimSignature(int fd, int copyFd, const SignatureCut &cut) const = 0;

    // Judges every signature of the file; only where
    // readsSignaturesInProcess().
    virtual PeJudgement verify(int fd, const TrustPolicy &policy, const KnownDigest *known = nullptr) const = 0;

    // The digest a signature of the file embeds, made with `md`; nullopt
    // when it cannot be made here.
    virtual std::optional<KnownDigest> digest(int fd, const EVP_MD *md) const = 0;
};

// The strategy for the file open on `fd`, by its first bytes.
const FormatStrategy &formatOf(int fd);

} // namespace signtool
