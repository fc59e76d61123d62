#pragma once

// The catalog database of "signtool.exe catdb" and of "verify /a, /ad, /as,
// /ag": a folder ($QUILLMARK_CATALOG_DB, else "catroot" beside
// signtool.exe, as the certificate store sits beside it) with one subfolder
// per database, named by its GUID as Windows names the folders of its
// catroot ("{F750E6C3-38EE-11D1-85E5-00C04FC295EE}"), each holding catalog
// files under their own names.
//
// Catalogs are written through an exclusive temporary renamed into place
// relative to the database folder's descriptor, and read through
// descriptors opened without following links. Run as root, the database
// decides what verifies, so it must be root's alone: the folder and every
// folder above it, each database folder and each catalog owned by root and
// writable by no one else (the rule root's programs are held to,
// safefile/TrustedProgram.h); otherwise it is refused, not read.

#include <string>
#include <vector>

namespace signtool {

// The system component and driver database: catdb's default, verify /as.
inline constexpr const char *kSystemCatalogGuid = "{F750E6C3-38EE-11D1-85E5-00C04FC295EE}";
// The default catalog database: catdb /d, verify /ad.
inline constexpr const char *kDefaultCatalogGuid = "{127D0A1D-4EF2-11D1-8608-00C04FC295EE}";

// $QUILLMARK_CATALOG_DB, else "catroot" beside the tool.
std::string catalogDatabaseFolder();

// A GUID as typed ("127d0a1d-4ef2-11d1-8608-00c04fc295ee", with or without
// braces) in the form of the database's folder names: braces, upper case.
// Empty when it is not a GUID.
std::string normalizedGuid(const std::string &text);

// Why this process must not use the database folder `folder` (running as
// root: it or a folder above it could have been changed by another user);
// empty when it may.
std::string databaseRefusal(const std::string &folder);

// Stores the catalog `der` (already read and checked to be one) under
// `name` in the database `guid` of `folder`, made when missing. A catalog
// of that name is replaced, unless `unique`: then a name of its own is
// made ("name_1a2b3c4d.cat"). `storedAs` gets the name used. Empty when
// done, else what went wrong.
std::string addCatalog(const std::string &folder, const std::string &guid, const std::string &name,
                       const std::string &der, bool unique, std::string &storedAs);

// Removes the catalog `name` (a name, no folder) from the database `guid`.
// Empty when done, else what went wrong ("it is not in the database").
std::string removeCatalog(const std::string &folder, const std::string &guid, const std::string &name);

// A catalog found in the database: its path (for messages) and its bytes.
struct StoredCatalog {
    std::string path;
    std::string der;
};

// The catalogs of the databases `guids` of `folder` (empty: of every
// database there), in name order. What could not be read, or was refused as
// another user's while running as root, is named in `problems`.
std::vector<StoredCatalog> storedCatalogs(const std::string &folder, const std::vector<std::string> &guids,
                                          std::vector<std::string> &problems);

// The last part of a path ("a/b.cat" -> "b.cat").
std::string baseName(const std::string &path);

} // namespace signtool
