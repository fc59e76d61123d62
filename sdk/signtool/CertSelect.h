#pragma once

// The rule that picks one signing certificate among the usable ones (valid
// now, usable for code signing, with their private key) of the store files
// and the PKCS#11 tokens:
//   /sha1 HASH  only the certificate with that SHA-1 thumbprint;
//   /n NAME     only certificates whose subject common name contains NAME,
//               letter case ignored;
//   /i NAME     only certificates whose issuer's common name contains NAME;
//   /r NAME     only certificates that chain to a root whose subject
//               contains NAME (the chain built through `chainCertificates`
//               and the system's trusted certificates);
//   /c NAME     only certificates of the certificate template NAME: the
//               name of a version 1 template extension, or the OID of a
//               version 2 one (letter case ignored);
//   /u OID      only certificates whose extended key usage lists OID (/uw:
//               Windows System Component Verification); one without an
//               extended key usage allows every usage;
//   /a          the one of the rest that stays valid longest (a tie goes to
//               the one listed first), the demo certificate only when no
//               other one is left: it expires last, yet must never sign a
//               release in place of a real certificate;
//   neither /a nor /sha1: exactly one may be left, as with the Windows tool.

#include <openssl/x509.h>

#include <optional>
#include <string>
#include <vector>

namespace signtool {

struct SelectionRule {
    bool autoSelect = false;
    std::optional<std::string> sha1;        // normalized: 40 upper-case hex digits
    std::optional<std::string> subjectName; // part of the common name
    std::optional<std::string> issuerName;  // part of the issuer's common name
    std::optional<std::string> usageOid;    // dotted, "1.3.6.1.4.1.311.10.3.6"
    std::optional<std::string> rootSubject; // part of the root's subject
    std::optional<std::string> templateName; // a template's name or OID
    // Certificates a chain may pass through besides the system's trusted
    // ones (the store files' other certificates): only for /r.
    std::vector<X509 *> chainCertificates;
};

struct Selection {
    std::optional<size_t> index; // into the candidates
    // When nothing was chosen: NoneMatches or SeveralMatch, with the number
    // left after the filters.
    enum class Problem { None, NoneMatches, SeveralMatch } problem = Problem::None;
    size_t matching = 0;
};

Selection selectCertificate(const std::vector<X509 *> &candidates, const SelectionRule &rule);

// The self-signed certificate that Quillmark makes on each machine for a
// first try (subject and issuer "CN=Quillmark Demo Code Signing, ...").
bool isDemoCertificate(X509 *cert);

// The subject's common name as UTF-8 ("" when it has none).
std::string commonName(X509 *cert);

// "NAME" contained in the common name, ASCII letter case ignored.
bool commonNameContains(X509 *cert, const std::string &part);

// "NAME" contained in the issuer's common name, ASCII letter case ignored.
bool issuerNameContains(X509 *cert, const std::string &part);

// For each of `certs` the subject of the root it chains to, through `pool`
// and the system's trusted certificates ("/CN=..."); empty where no chain
// reaches a self-issued certificate.
std::vector<std::string> rootSubjectsOf(const std::vector<X509 *> &certs, const std::vector<X509 *> &pool);

// Whether the certificate names the template `name`: its version 1
// template extension (1.3.6.1.4.1.311.20.2) holds that name, or its
// version 2 one (1.3.6.1.4.1.311.21.7) that OID; letter case ignored.
bool hasTemplate(X509 *cert, const std::string &name);

// Whether the certificate's extended key usage lists `oid` (dotted) or any
// usage; a certificate without one allows every usage.
bool allowsUsage(X509 *cert, const std::string &oid);

} // namespace signtool
