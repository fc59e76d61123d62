#pragma once

// Windows catalog files (.cat), read in-process: a PKCS#7 SignedData whose
// content is a certificate trust list (CTL, 1.3.6.1.4.1.311.10.1) meant for
// catalogs (subject usage 1.3.6.1.4.1.311.12.1.1). Each entry of the list is
// one member file: its subject identifier names the file's hash (as Windows
// writes it, the hash's upper-case hex digits in UTF-16LE, the "hash tag";
// the raw hash bytes are accepted too), and its attributes may hold an
// SpcIndirectDataContent (1.3.6.1.4.1.311.2.1.4) with the same hash and a
// name-value pair (1.3.6.1.4.1.311.12.2.1) "File" with the member's name.
// The list's extensions hold the catalog's own name-value pairs, among
// them "OSAttr", the Windows versions the catalog is meant for
// ("2:6.1,2:10.0": platform 2, Windows NT, versions 6.1 and 10.0).
//
//   CertificateTrustList ::= SEQUENCE {
//       version INTEGER OPTIONAL, subjectUsage SEQUENCE OF OID,
//       listIdentifier OCTET STRING OPTIONAL, sequenceNumber INTEGER OPTIONAL,
//       thisUpdate Time, nextUpdate Time OPTIONAL,
//       subjectAlgorithm AlgorithmIdentifier,
//       trustedSubjects SEQUENCE OF SEQUENCE {
//           subjectIdentifier OCTET STRING, attributes SET OF Attribute OPTIONAL }
//           OPTIONAL,
//       extensions [0] EXPLICIT Extensions OPTIONAL }
//
// Everything read is bounded by the catalog's own bytes: a damaged or
// hostile catalog is refused with a reason, never read past its end.

#include "ToolSupport.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace signtool {

inline constexpr const char *kCtlOid = "1.3.6.1.4.1.311.10.1";
inline constexpr const char *kCatalogListOid = "1.3.6.1.4.1.311.12.1.1";

// The largest catalog read: Windows' own driver catalogs stay far below.
inline constexpr size_t kMaxCatalogBytes = 64u << 20;

struct CatalogMember {
    std::vector<unsigned char> identifier;   // the subject identifier as stored
    std::vector<unsigned char> indirectHash; // the SpcIndirectDataContent's digest, when there is one
    std::string fileName;                    // the "File" attribute, UTF-8; empty when none
};

struct Catalog {
    sdktool::Pkcs7Ptr p7;
    std::vector<CatalogMember> members;
    std::optional<std::string> osAttr; // the catalog's "OSAttr" value, when it has one
};

// Reads the catalog in `der`; nullopt with `problem` (a few words) when it
// is not one or is damaged.
std::optional<Catalog> parseCatalog(const std::string &der, std::string &problem);

// The catalog file open on `fd` (read to its end, at most kMaxCatalogBytes).
std::optional<Catalog> readCatalog(int fd, std::string &problem);

// The member listed under the file hash `hash`, or null. A member whose
// identifier names the hash but whose SpcIndirectDataContent holds another
// one does not count.
const CatalogMember *findMember(const Catalog &catalog, const std::vector<unsigned char> &hash);

// A Windows version as /o takes it: "PlatformID:Major.Minor[.Build]".
struct OsVersion {
    unsigned platform = 0;
    unsigned major = 0;
    unsigned minor = 0;
};
std::optional<OsVersion> parseOsVersion(const std::string &text);

// Whether an OSAttr value ("2:5.1,2:6.0,2:6.1", entries separated by
// commas) names `version`: the same platform, major and minor version (a
// build number given with /o is not part of an OSAttr entry).
bool osAttrNames(const std::string &osAttr, const OsVersion &version);

// UTF-16LE bytes as UTF-8, up to a NUL; for names and values of catalogs.
std::string utf8FromUtf16le(const unsigned char *data, size_t size);

} // namespace signtool
