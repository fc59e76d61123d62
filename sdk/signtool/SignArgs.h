#pragma once

// Command line of the stand-in signtool.exe:
//
//   signtool.exe sign [/a] [/f PFX [/p PASSWORD | /pfd N]] [/sha1 HASH] [/n NAME]
//                     [/i ISSUER] [/r ROOT] [/c TEMPLATE] [/u OID | /uw] [/s My] [/sm]
//                     [/csp MODULE] [/kc KEY] [/ac FILE] [/fd ALG] [/ph | /nph]
//                     [/t URL | /tr URL [/td ALG]] [/as]
//                     [/d TEXT] [/du URL] [/mt N] [/v | /debug | /q] FILE...
//   signtool.exe timestamp (/t URL | /tr URL [/td ALG]) [/mt N] [/v | /debug | /q] FILE...
//   signtool.exe verify /pa [/all | /ds N] [/tw] [/d] [/r ROOT] [/a] [/ms] [/v | /q] FILE...
//   signtool.exe verify /pa (/c CATALOG | /ad | /as | /ag GUID) [/o VERSION] [/hash ALG] FILE...
//   signtool.exe catdb [/d | /g GUID] [/r] [/u] [/v | /q] CATALOG...
//   signtool.exe sign ... /dg DIR [/dxml] FILE...   sign /ds ... FILE.dig...
//   signtool.exe sign /di DIR [/t URL | /tr URL [/td ALG]] FILE...
//   signtool.exe sign ... /p7 DIR [/p7co OID] [/p7ce KIND] FILE...
//   signtool.exe verify /p7 [/v | /q] FILE.p7...
//   signtool.exe timestamp /p7 (/t URL | /tr URL [/td ALG]) FILE.p7...
//   signtool.exe remove (/s | /c | /u ...) [/v | /q] FILE...
//   signtool.exe /?     signtool.exe sign /?
//
// Switches start with "/" or "-" and ignore letter case (/A, -v), as the
// Windows tool's do. Until the first file, a token that looks like a switch
// (a "/" or "-" followed only by letters and digits, such as "/x" or "/tr",
// or "/?") is read as one, so an unknown one is reported instead of being
// taken for a file. A switch that takes a value always takes the next
// argument, whatever it looks like: in "/p /v" the password is "/v". The
// first argument that is not a switch is the first file, and every argument
// after it is a file too, so a file named "/v" in the root folder is signed.
//
// /pfd N takes the password from the inherited descriptor N (3 or more),
// read to its end, instead of from the command line, where every local user
// can read it in /proc/PID/cmdline: Quillmark's window hands it over this
// way, e.g. "/pfd 3 3< <(printf %s "$PASSWORD")" in a shell.

#include <optional>
#include <string>
#include <vector>

namespace signtool {

// Timestamp: add a time stamp to files already signed (again, after a
// server failed), with the same checks and the same safe replacement.
// Remove: take signatures or parts of them out of files (RemoveMode).
// CatDb: add catalogs to (or, /r, remove them from) the catalog database.
enum class Verb { Sign, Timestamp, Verify, CatDb, Remove };

// Where verify looks for a catalog that lists the file: nowhere (the
// embedded signature), /a (the embedded signature, then every database),
// /ad (the default database), /as (the system component database), /ag
// (the database of a GUID).
enum class CatalogSearch { None, All, Default, System, Guid };

// What "remove" takes out: /s the whole signature; /c every certificate but
// the signers'; /u the unauthenticated attributes (time stamps, appended
// signatures). /s leaves nothing for the others to act on.
struct RemoveMode {
    bool signature = false;        // /s
    bool certificates = false;     // /c
    bool unauthenticated = false;  // /u
    bool any() const { return signature || certificates || unauthenticated; }
};

// SHA-1 only for dual signing for old systems (with a warning).
enum class DigestAlgorithm { Sha256, Sha384, Sha512, Sha1 };

// "sha256", "sha384", "sha512", "sha1": the names osslsigncode's -h takes.
const char *digestName(DigestAlgorithm algorithm);

// /p7ce: whether a PKCS#7 signature holds the content it signs, and in
// which form a detached one is written.
enum class Pkcs7Embedding {
    Embedded,                // the content inside, a ContentInfo
    DetachedSignedData,      // no content, the bare SignedData
    Pkcs7DetachedSignedData, // no content, a whole ContentInfo
};

struct SignArgs {
    Verb verb = Verb::Sign;
    bool showUsage = false;               // /? : print the usage text, exit 0
    bool autoSelect = false;              // /a
    std::optional<std::string> pfxFile;   // /f
    std::optional<std::string> password;  // /p
    std::optional<int> passwordFd;        // /pfd: the descriptor that holds the password
    std::optional<std::string> certSha1;  // /sha1, 40 upper-case hex digits
    std::optional<std::string> subjectName; // /n, a part of the subject's common name
    std::optional<std::string> issuerName;  // /i, a part of the issuer's common name
    std::optional<std::string> templateName;    // sign /c: the certificate's template (name or OID)
    std::optional<std::string> usageOid;    // /u OID, /uw: the certificate must allow this usage
    std::optional<std::string> cryptoProvider; // /csp: the token's PKCS#11 module, or the token (TokenChoice.h)
    std::optional<std::string> keyContainer;   // /kc: the key on the token, never with a PIN (TokenChoice.h)
    bool noPageHashes = false;            // /nph: no page hashes (what is made without /ph anyway)
    std::optional<std::string> storeName; // /s: only the one store, "My", exists
    bool machineStore = false;            // /sm: the same one store
    std::vector<std::string> additionalCertificates; // /ac FILE, each time given
    bool pageHashes = false;              // /ph
    DigestAlgorithm fileDigest = DigestAlgorithm::Sha256; // /fd
    std::optional<std::string> timestampUrl;      // /t, Authenticode protocol
    std::optional<std::string> rfc3161Url;        // /tr
    DigestAlgorithm timestampDigest = DigestAlgorithm::Sha256; // /td
    bool timestampDigestGiven = false;    // /td was typed (it needs /tr, whatever its value)
    bool appendSignature = false;         // /as
    std::optional<std::string> description;    // /d
    std::optional<std::string> descriptionUrl; // /du
    unsigned jobs = 0;                    // /mt; 0: the default pool size
    bool verbose = false;                 // /v, /debug
    bool debug = false;                   // /debug: also the PKCS#11 modules that failed
    bool quiet = false;                   // /q: errors only
    bool authenticodePolicy = false;      // verify /pa
    bool allSignatures = false;           // verify /all: every signature must pass, not only the primary
    bool warnUnstamped = false;           // verify /tw: warn when the signature is not time-stamped
    bool printDescription = false;        // verify /d: print each signature's description and its URL
    std::optional<std::string> rootSubject; // verify /r: the chain must end at a root whose subject contains it;
                                            // sign /r: the certificate must chain to such a root
    std::optional<int> signatureIndex;    // verify /ds N: judge signature N (0 the primary) alone
    RemoveMode remove;                    // remove /s /c /u
    std::optional<int> timestampIndex;    // timestamp /tp N: stamp signature N (0 the primary)
    bool fileDigestGiven = false;         // /fd was typed: without it the newest SignTool refuses to sign
    std::optional<std::string> catalogFile; // verify /c: the file is verified against this catalog
    CatalogSearch catalogSearch = CatalogSearch::None; // verify /a, /ad, /as, /ag
    std::string catalogGuid;              // verify /ag, catdb /g: "{...}", upper case
    std::optional<std::string> osVersion; // verify /o: the catalog must be meant for this Windows version
    std::string catalogHash;              // verify /hash: "sha1" or "sha256"; empty: SHA-256, then SHA-1
    bool defaultDatabase = false;         // catdb /d
    bool removeCatalogs = false;          // catdb /r
    bool uniqueNames = false;             // catdb /u
    // Signing in steps (DigestSigning.h): /dg DIR writes each file's digest
    // to sign and its unsigned signature there; /ds signs such digests (the
    // files are .dig files); /di DIR puts the signed digests into the files.
    std::optional<std::string> digestOutFolder; // /dg
    bool signDigests = false;             // /ds
    std::optional<std::string> digestInFolder;  // /di
    bool digestXml = false;               // /dxml: also FILE.dig.xml with /dg
    // PKCS#7 signatures of any file (Pkcs7Files.h): sign /p7 DIR writes
    // FILE.p7 there; verify /p7 checks such files.
    std::optional<std::string> pkcs7Folder;      // sign /p7
    std::optional<std::string> pkcs7ContentType; // /p7co, a dotted OID
    Pkcs7Embedding pkcs7Embedding = Pkcs7Embedding::Embedded; // /p7ce
    bool verifyPkcs7 = false;             // verify /p7
    bool stampPkcs7 = false;              // timestamp /p7: the files are PKCS#7 files of sign /p7
    std::vector<std::string> files;
};

struct ParseResult {
    std::optional<SignArgs> args;
    std::string error; // the usage problem when args is empty
};

// `argv` without the program name: the verb first.
ParseResult parseSignArgs(const std::vector<std::string> &argv);

// A SHA-1 thumbprint as typed or pasted (blanks, letter case, the invisible
// left-to-right marks a certificate viewer copies along) as 40 upper-case hex
// digits; empty when it is not one.
std::string normalizeThumbprint(const std::string &text);

// osslsigncode stores the description (and its URL) as a 7-bit string, which
// Windows shows garbled when it holds anything outside ASCII: such a value is
// refused before anything is signed. The message naming it, or empty.
std::string descriptionProblem(const SignArgs &args);

// /s names a store other than the one there is ("My", any letter case):
// the message, naming the store folder `storeFolder`; empty when it is fine.
std::string storeNameProblem(const SignArgs &args, const std::string &storeFolder);

// The warnings for SHA-1 digests (/fd sha1, /td sha1), "SignTool Warning: ...".
std::vector<std::string> digestWarnings(const SignArgs &args);

const char *usageText();

} // namespace signtool
