#pragma once

// The signing identity of signtool.exe: which certificate (and key) signs.
//
//   /f PFX [/p PASSWORD]  the certificate and key of that PKCS#12 file;
//   /a                    the best one of the certificate store and the
//                         PKCS#11 tokens: among the certificates valid now,
//                         usable for code signing and with their private key,
//                         the one that stays valid longest (a tie goes to the
//                         store file name sorted first, tokens after files);
//   /sha1, /n             only the certificates with that thumbprint or name;
//   none of these         the only usable certificate, as the Windows tool
//                         does when it finds exactly one.
// The store is a folder of PKCS#12 files (*.pfx, *.p12) without a password:
// $QUILLMARK_CERT_STORE when set, else "certstore" beside this program. The
// tokens are those of TokenStore.h.
// "Usable for code signing": no extended key usage at all, or one that lists
// codeSigning (or anyExtendedKeyUsage); a key usage, if present, must allow
// digital signatures.

#include "TokenStore.h"
#include "ToolSupport.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace signtool {

struct SignArgs;

// What osslsigncode needs to sign with the chosen certificate.
struct SigningIdentity {
    std::string pfxPath;   // the PKCS#12 file
    std::string password;  // the PFX password or the token's PIN; empty: none
    sdktool::CertPtr cert; // the certificate, for reports and expiry
    // Set when the key lives on a PKCS#11 token.
    std::optional<TokenCertificate> token;

    // A PFX file's bytes as read and checked: osslsigncode gets these, not
    // the name, so a file swapped after the choice changes nothing.
    std::string pfxData;

    // The token's key, logged in once for the run: program files, digests
    // (/ds) and PKCS#7 files (/p7) are signed with it in this process.
    std::shared_ptr<const TokenKey> tokenKey;

    // Where the certificate lives: "store file PATH", "PFX file PATH" or
    // "token "LABEL" (slot N)".
    std::string where() const;

    // Runs `operation`, one use of the private key for `file`: a key in
    // memory at once; a token's one at a time, under the deadline of one
    // signature, where a module that hangs ends the tool with a line that
    // names the file and the module (TokenKey::use).
    bool useKey(const std::string &file, const std::function<bool()> &operation) const;
};

struct IdentityChoice {
    std::optional<SigningIdentity> identity;
    std::vector<std::string> notes; // why candidates were passed over (for /v)
    // PKCS#11 modules that could not be opened: on a machine with OpenSC or
    // SoftHSM2 installed but not set up, one on every run, so said only with
    // /debug or when no certificate was found at all.
    std::vector<std::string> moduleNotes;
    std::string error;              // when there is no identity, without "SignTool Error: "
    // Modules that /csp or /kc pointed to and that root does not load (see
    // scanTokens): said with the error, since they are why nothing was found.
    std::vector<std::string> refusedModules;
};

// The identity the command line asks for: /f, or the choice among the store
// files and the tokens' certificates (see CertSelect.h); a token's PIN is
// asked for here, once for the whole run.
IdentityChoice chooseIdentity(const SignArgs &args);

// The store folder in use.
std::string storeFolder();

// The usable certificates of the store folder, in file name order; why
// others were passed over goes to `notes`. Empty, with `error` set, when the
// folder cannot be read.
std::vector<SigningIdentity> usableStoreCertificates(const std::string &folder, std::vector<std::string> &notes,
                                                     std::string &error);

IdentityChoice openPfx(const std::string &path, const std::string &password);

// Reads a PFX file: only a regular file of sensible size, opened without
// blocking (a FIFO or a device in the store or after /f would block the tool
// or feed it without end). `folder` is a descriptor for relative names
// (AT_FDCWD for none). False with `problem` set ("it is not a regular
// file") otherwise.
bool readPfxFile(int folder, const std::string &name, std::string &data, std::string &problem);

// osslsigncode reads one block of at most 4095 bytes from the password file,
// drops trailing line breaks and a leading UTF-8 byte order mark: such a
// password would arrive changed.
bool passwordSurvivesReadpass(const std::string &password);

// The /v description of the certificate and where it lives, one line each.
std::vector<std::string> certificateLines(const SigningIdentity &identity);

} // namespace signtool
