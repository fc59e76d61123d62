#pragma once

// A file verified by a catalog instead of a signature of its own (verify
// /c CATALOG, and /a, /ad, /as, /ag through the catalog database, see
// CatalogDatabase.h), as WinVerifyTrust does it:
// - the file's hash is looked up among the catalog's members: the
//   Authenticode digest of a program file, the hash of the whole file for
//   any other; SHA-256 and then SHA-1 (catalogs of both kinds exist), or the
//   one /hash names;
// - with /o, the catalog must be meant for that Windows version (OSAttr);
// - the catalog's own signature is judged like a program file's embedded
//   one: its value over the trust list, its time stamp, its certificate's
//   purpose (code signing) and chain at the stamp's time, revocation.
// Catalogs are read and their signatures judged once per run, however many
// files they vouch for.

#include "Catalog.h"
#include "PeSignatures.h"
#include "SignatureVerdict.h"

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace signtool {

struct SignArgs;

struct CatalogVerdict {
    bool ok = false;
    std::string catalog;               // the catalog that vouches for the file (or was judged)
    std::string error;                 // when not ok: the whole message, after "SignTool Error: "
    std::vector<std::string> details;  // for verify /v: the catalog and its signature
    std::vector<std::string> warnings; // e.g. a revocation that could not be checked
};

// The hash of the file on `fd` that catalogs list: "SHA256" or "SHA1"
// with its value.
struct FileHash {
    std::string name;
    std::vector<unsigned char> value;
};
// The hashes looked up, in the order tried: `only` ("sha1", "sha256") or
// SHA-256 then SHA-1. Empty with `problem` when the file cannot be hashed
// (a damaged program file).
std::vector<FileHash> catalogHashes(int fd, const std::string &only, std::string &problem);

class CatalogLookup {
public:
    // The catalogs `args` names: /c's file, or the database(s) of /a, /ad,
    // /as or /ag. `policy` judges their signatures; it must outlive this.
    CatalogLookup(const SignArgs &args, const TrustPolicy &policy);
    ~CatalogLookup();

    // Whether the file open on `fd` (named `file` as the user gave it) is
    // vouched for by a catalog.
    CatalogVerdict verify(int fd, const std::string &file);

private:
    struct Entry;
    void load();
    CatalogVerdict judgeListed(Entry &entry, const std::string &file, const FileHash &hash);

    const SignArgs &m_args;
    const TrustPolicy &m_policy;
    bool m_loaded = false;
    bool m_database = false;        // a database search, not /c
    std::string m_where;            // /c's file, or the database folder
    std::vector<std::string> m_problems;
    std::vector<std::unique_ptr<Entry>> m_entries;
};

} // namespace signtool
