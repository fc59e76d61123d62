#pragma once

// Certificates on PKCS#11 tokens (USB tokens, smart cards, HSMs), read with
// libp11. The private key never leaves its token: this unit finds the
// certificates, logs in once with the PIN and hands the token's key to
// OpenSSL (TokenKey) for the program files signed in this process, and
// names the objects for osslsigncode's own PKCS#11 support, which signs the
// other formats.
//
// Modules: the paths in $QUILLMARK_PKCS11_MODULE (separated by ":"), which
// then replace the registry, else every module registered with p11-kit
// (softhsm2, opensc and vendor modules register themselves there) except
// trust-policy modules, which hold CA certificates and never a key. The
// registry is read from its files without opening any module
// (ModuleRegistry.h); scanTokens opens each one only after the check of its
// path.
//
// A certificate is offered when its token holds a private key with the same
// CKA_ID. Most tokens hide private keys until the user logs in, so before the
// login a public key with that CKA_ID (the other half of the pair, visible
// without a PIN) stands in for it; after the login openTokenKey makes sure the
// private key is really there.
//
// Every use of a module (loading, listing, logging in, unloading) runs under
// a ModuleDeadline: a module that never returns ends the tool with a message
// naming it instead of blocking it for good.

#include "ToolSupport.h"

#include <openssl/evp.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace signtool {

struct TokenCertificate {
    std::string modulePath;
    unsigned long slotId = 0;
    std::string tokenLabel;
    std::string tokenSerial;
    std::string tokenManufacturer;
    std::string tokenModel;
    std::string objectLabel; // the certificate's CKA_LABEL
    std::string keyLabel;    // its key's (the public half's while the private one is hidden)
    std::vector<unsigned char> id; // CKA_ID shared by certificate and key
    bool loginRequired = false;
    bool protectedAuthPath = false; // a PIN pad: the token asks for the PIN itself
    bool pinLocked = false;
    bool pinFinalTry = false;
    sdktool::CertPtr cert;

    // RFC 7512 URIs of the certificate and the private key, precise enough
    // to tell this token from another one of the same module.
    std::string certificateUri() const;
    std::string privateKeyUri() const;
    // "token "LABEL" (slot N)" for messages.
    std::string where() const;
};

struct TokenScan {
    std::vector<TokenCertificate> certificates; // with a key, in module and slot order
    std::vector<std::string> passedOver;        // "why" lines for /v
    std::vector<std::string> refusedModules;    // of those, the modules root does not load
    std::vector<std::string> moduleErrors;      // modules that could not be used
    std::vector<std::string> tokenLabels;       // of every token seen, with a key or not
};

// The modules to scan, as described above. `error` is set when the registry
// cannot be read; an empty list without error means there are none.
// `names`, when given, gets each module's p11-kit name beside it (empty for
// those of $QUILLMARK_PKCS11_MODULE).
std::vector<std::string> pkcs11Modules(std::string &error, std::vector<std::string> *names = nullptr);

TokenScan scanTokens(const std::vector<std::string> &modulePaths);

enum class PinCheck { Correct, Wrong, Locked, KeyMissing, Failed };

// A token's private key, held for the run: its module stays loaded and
// logged in (one login for every file), and libp11 hands OpenSSL the key,
// whose private-key operations become calls into the module (C_Sign): a
// program file is signed with it in this process like with a PFX key.
class TokenKey {
public:
    struct Impl;
    explicit TokenKey(std::unique_ptr<Impl> impl);
    ~TokenKey(); // frees the key, logs out and unloads the module, under a deadline
    TokenKey(const TokenKey &) = delete;
    TokenKey &operator=(const TokenKey &) = delete;

    EVP_PKEY *key() const;

    // Runs `operation`, which uses key(). One at a time, whichever thread
    // asks: a token is one device, libp11 shares its sessions between
    // threads, but not every module takes calls from several threads at
    // once. A module that does not return within `seconds` cannot be
    // interrupted: the tool ends with `messageIfHung` (ModuleDeadline.h).
    bool use(const std::function<bool()> &operation, const std::string &messageIfHung, int seconds) const;

private:
    std::unique_ptr<Impl> m_impl;
};

// How long one signature with a token's key may take: five times a
// module's answer time (5 minutes by default), room for a PIN pad and a
// slow token, never for a module that hangs.
int tokenSignatureTimeoutSeconds();

// Loads the token's module, logs in once with `pin` (never retried: tokens
// lock after a few wrong PINs; null: a token that needs no PIN, or its PIN
// pad, where the user types it) and takes the private key with the
// certificate's CKA_ID; `key` is set only when Correct. `detail` explains
// Failed. Loading and the login run under a ModuleDeadline (a PIN pad's
// login that of a signature).
PinCheck openTokenKey(const TokenCertificate &token, const std::string *pin, std::unique_ptr<TokenKey> &key,
                      std::string &detail);

// Percent-encoding for a pkcs11: URI attribute value.
std::string uriEscape(const std::string &value);
std::string uriEscape(const std::vector<unsigned char> &bytes);

} // namespace signtool
