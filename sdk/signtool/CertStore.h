#pragma once

// The signing identity of signtool.exe: which certificate (and key) signs.
//
//   /f PFX [/p PASSWORD]  the certificate and key of that PKCS#12 file;
//   /a                    the best one of the certificate store: among the
//                         certificates valid now, usable for code signing and
//                         with their private key, the one that stays valid
//                         longest (a tie goes to the file name sorted first);
//   neither               the store's only usable certificate, as the Windows
//                         tool does when it finds exactly one.
// The store is a folder of PKCS#12 files (*.pfx, *.p12) without a password:
// $QUILLMARK_CERT_STORE when set, else "certstore" beside this program.
// "Usable for code signing": no extended key usage at all, or one that lists
// codeSigning (or anyExtendedKeyUsage); a key usage, if present, must allow
// digital signatures.

#include "ToolSupport.h"

#include <optional>
#include <string>
#include <vector>

namespace signtool {

struct SignArgs;

// What osslsigncode needs to sign with the chosen certificate.
struct SigningIdentity {
    std::string pfxPath;   // the PKCS#12 file, for osslsigncode -pkcs12
    std::string password;  // empty: none
    sdktool::CertPtr cert; // the certificate, for reports and expiry
};

struct IdentityChoice {
    std::optional<SigningIdentity> identity;
    std::vector<std::string> notes; // why store entries were passed over (for /v)
    std::string error;              // when there is no identity, without "SignTool Error: "
};

// The identity the command line asks for: /f, /a, or the store's only one.
IdentityChoice chooseIdentity(const SignArgs &args);

// The store folder in use.
std::string storeFolder();

// `requireSingle` is the no-/a case: more than one usable certificate is an
// error then.
IdentityChoice chooseFromStore(const std::string &folder, bool requireSingle);

IdentityChoice openPfx(const std::string &path, const std::string &password);

// osslsigncode reads one block of at most 4095 bytes from the password file,
// drops trailing line breaks and a leading UTF-8 byte order mark: such a
// password would arrive changed.
bool passwordSurvivesReadpass(const std::string &password);

// The /v description of the certificate, one line each.
std::vector<std::string> certificateLines(X509 *cert);

} // namespace signtool
