#pragma once

// Certificates on PKCS#11 tokens (USB tokens, smart cards, HSMs), read with
// libp11. The private key never leaves its token: this unit only finds the
// certificates, checks the PIN, and names the objects for osslsigncode's own
// PKCS#11 support, which does the signing.
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
// without a PIN) stands in for it; after the login checkPin makes sure the
// private key is really there.
//
// Every use of a module (loading, listing, logging in, unloading) runs under
// a ModuleDeadline: a module that never returns ends the tool with a message
// naming it instead of blocking it for good.

#include "ToolSupport.h"

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
    std::string objectLabel;
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
    std::vector<std::string> moduleErrors;      // modules that could not be used
};

// The modules to scan, as described above. `error` is set when the registry
// cannot be read; an empty list without error means there are none.
std::vector<std::string> pkcs11Modules(std::string &error);

TokenScan scanTokens(const std::vector<std::string> &modulePaths);

enum class PinCheck { Correct, Wrong, Locked, KeyMissing, Failed };
// Logs in once with `pin` (never retried: tokens lock after a few wrong PINs)
// and makes sure the private key is there. `detail` explains Failed.
PinCheck checkPin(const TokenCertificate &token, const std::string &pin, std::string &detail);

// Percent-encoding for a pkcs11: URI attribute value.
std::string uriEscape(const std::string &value);
std::string uriEscape(const std::vector<unsigned char> &bytes);

} // namespace signtool
