#pragma once

// /csp and /kc of Windows' SignTool, mapped to PKCS#11. On Windows a build
// script reaches a token's key through its vendor's cryptographic service
// provider (/csp) and a key container (/kc); here the same token is reached
// through its PKCS#11 module, and these two switches say which module,
// token and key.
//
// /csp NAME, the first of these that fits:
//   - a path (it holds a "/"): that PKCS#11 module alone;
//   - the name of a module registered with p11-kit (its .module file's name
//     less the extension: "softhsm2", "opensc-pkcs11") or the file name of
//     a module's library ("libsofthsm2.so"), among the modules in use
//     (p11-kit's, or those of QUILLMARK_PKCS11_MODULE);
//   - the label of a token in one of those modules.
//   A Windows provider's name ("eToken Base Cryptographic Provider") is
//   none of these: the run ends with a message saying what /csp takes here.
// /kc NAME:
//   - a pkcs11: URI (RFC 7512): token, manufacturer, serial, model, object
//     (the key's or its certificate's label), id, type (private or cert);
//     module-path and module-name in its query name the module as /csp does;
//   - SafeNet's form "[READER]=NAME" (written "[{{PIN}}]=NAME" on Windows):
//     READER, when given, is the token's label, NAME as below;
//   - NAME: the label of the key or of its certificate, or the key's CKA_ID
//     in hex ("a1", "A1", "a1:b2").
// The certificate is the one on that token with that key.
//
// A PIN is never taken from /kc ("{{PIN}}", pin-value, pin-source): every
// user of the computer can read a command line (/proc/PID/cmdline), and a
// PIN in a build script is a PIN in its logs. Such a /kc is refused; the
// PIN is asked for through pinentry, once per run, as for every token.

#include "TokenStore.h"

#include <optional>
#include <string>
#include <vector>

namespace signtool {

struct TokenFilter {
    std::vector<std::string> modules; // where to look
    // The token, each empty for any.
    std::string tokenLabel;
    std::string manufacturer;
    std::string serial;
    std::string model;
    // The key: its label or its certificate's, its CKA_ID, or a bare name
    // that is either; each empty (or unset) for any.
    std::string objectLabel;
    std::optional<std::vector<unsigned char>> id;
    std::string labelOrId;
    // /csp named a token's label: a run that finds no token of that label
    // says that /csp named nothing here.
    std::string providerAsTokenLabel;

    bool matches(const TokenCertificate &certificate) const;
    // Whether providerAsTokenLabel is the label of one of these tokens.
    bool namesTokenAmong(const std::vector<std::string> &tokenLabels) const;
    // " with the key NAME on the token LABEL", for messages.
    std::string describe() const;
};

// Why the value of /kc cannot be used (a PIN in it, a URI that cannot be
// read), or empty. The message never repeats the value: it may hold a PIN.
std::string keyContainerProblem(const std::string &text);

// The filter for /csp and /kc (either may be unset), the modules taken from
// `modulesInUse` and their p11-kit names `moduleNames` (empty where there is
// none). Unset, with `error`, when /csp names no module or /kc cannot be read.
std::optional<TokenFilter> tokenFilter(const std::optional<std::string> &provider,
                                       const std::optional<std::string> &keyContainer,
                                       const std::vector<std::string> &modulesInUse,
                                       const std::vector<std::string> &moduleNames, std::string &error);

} // namespace signtool
