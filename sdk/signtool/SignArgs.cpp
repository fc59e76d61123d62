#include "SignArgs.h"

#include "CatalogDatabase.h"
#include "Catalog.h"
#include "SwitchTable.h"
#include "TokenChoice.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <strings.h>

namespace signtool {

namespace {

bool looksLikeSwitch(const std::string &arg)
{
    if (arg == "/?" || arg == "-?")
        return true;
    if (arg.size() < 2 || arg.size() > 12 || (arg[0] != '/' && arg[0] != '-'))
        return false;
    for (size_t i = 1; i < arg.size(); ++i) {
        if (!std::isalnum(static_cast<unsigned char>(arg[i])))
            return false;
    }
    return true;
}

std::string lowerCase(std::string text)
{
    for (char &c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string switchName(const std::string &arg)
{
    return lowerCase(arg.substr(1));
}

std::optional<DigestAlgorithm> digestByName(const std::string &name)
{
    const std::string lower = lowerCase(name);
    if (lower == "sha256")
        return DigestAlgorithm::Sha256;
    if (lower == "sha384")
        return DigestAlgorithm::Sha384;
    if (lower == "sha512")
        return DigestAlgorithm::Sha512;
    if (lower == "sha1")
        return DigestAlgorithm::Sha1;
    return std::nullopt;
}

// The value of /mt: a whole number of parallel signers, 1 to 256.
std::optional<unsigned> jobCount(const std::string &text)
{
    if (text.empty() || text.size() > 3)
        return std::nullopt;
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return std::nullopt;
    }
    const unsigned long value = std::strtoul(text.c_str(), nullptr, 10);
    if (value < 1 || value > 256)
        return std::nullopt;
    return static_cast<unsigned>(value);
}

// "3" and up: a descriptor a caller may have handed over (0 to 2 are the
// standard streams).
std::optional<int> descriptorNumber(const std::string &text)
{
    if (text.empty() || text.size() > 6 || text.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    const int value = std::stoi(text);
    if (value < 3)
        return std::nullopt;
    return value;
}

// Windows System Component Verification, the usage /uw asks for.
const char kWindowsComponentUsage[] = "1.3.6.1.4.1.311.10.3.6";

bool isDottedOid(const std::string &text)
{
    if (text.empty() || text.size() > 100 || text.front() == '.' || text.back() == '.'
        || text.find("..") != std::string::npos || text.find('.') == std::string::npos)
        return false;
    return text.find_first_not_of("0123456789.") == std::string::npos;
}

std::optional<Pkcs7Embedding> embeddingByName(const std::string &name)
{
    const std::string lower = lowerCase(name);
    if (lower == "embedded")
        return Pkcs7Embedding::Embedded;
    if (lower == "detachedsigneddata")
        return Pkcs7Embedding::DetachedSignedData;
    if (lower == "pkcs7detachedsigneddata")
        return Pkcs7Embedding::Pkcs7DetachedSignedData;
    return std::nullopt;
}

struct Parser {
    SignArgs args;
    std::string error;
    bool pkcs7EmbeddingGiven = false;

    bool fail(std::string text)
    {
        error = std::move(text);
        return false;
    }

    // A switch without a value; false when it is not one of this verb's.
    bool takeFlag(const std::string &name)
    {
        bool known = true;
        const bool signing = args.verb == Verb::Sign;
        const bool verifying = args.verb == Verb::Verify;
        const bool removing = args.verb == Verb::Remove;
        if (name == "?")
            args.showUsage = true;
        else if (name == "v")
            args.verbose = true;
        else if (name == "debug")
            args.verbose = args.debug = true;
        else if (name == "q")
            args.quiet = true;
        else if (signing && name == "a")
            args.autoSelect = true;
        else if (signing && name == "as")
            args.appendSignature = true;
        else if (signing && name == "sm")
            args.machineStore = true;
        else if ((signing || verifying) && name == "ph")
            args.pageHashes = true;
        else if (signing && name == "nph")
            args.noPageHashes = true;
        else if (signing && name == "uw")
            args.usageOid = kWindowsComponentUsage;
        else if (signing && name == "ds")
            args.signDigests = true;
        else if (signing && name == "dxml")
            args.digestXml = true;
        else if (verifying && name == "p7")
            args.verifyPkcs7 = true;
        else if (args.verb == Verb::Timestamp && name == "p7")
            args.stampPkcs7 = true;
        else if (removing && name == "s")
            args.remove.signature = true;
        else if (removing && name == "c")
            args.remove.certificates = true;
        else if (removing && name == "u")
            args.remove.unauthenticated = true;
        else if (verifying && name == "pa")
            args.authenticodePolicy = true;
        else if (verifying && name == "all")
            args.allSignatures = true;
        else if (verifying && name == "tw")
            args.warnUnstamped = true;
        else if (verifying && name == "d")
            args.printDescription = true;
        // Several signatures judged by the primary (/ms) is what /pa does
        // anyway.
        else if (verifying && name == "ms")
            known = true;
        else if (verifying && (name == "a" || name == "ad" || name == "as"))
            args.catalogSearch = name == "a" ? CatalogSearch::All
                                 : name == "ad" ? CatalogSearch::Default : CatalogSearch::System;
        else if (args.verb == Verb::CatDb && name == "d")
            args.defaultDatabase = true;
        else if (args.verb == Verb::CatDb && name == "r")
            args.removeCatalogs = true;
        else if (args.verb == Verb::CatDb && name == "u")
            args.uniqueNames = true;
        else
            known = false;
        return known;
    }

    // Which value a switch takes, for the missing-value message; null when
    // the switch takes none (or is unknown for this verb).
    const char *valueKind(const std::string &name) const
    {
        if (args.verb == Verb::Verify) {
            if (name == "r")
                return "a part of a root certificate's subject name";
            if (name == "ds")
                return "the number of a signature (0 the primary)";
            if (name == "c")
                return "a catalog file";
            if (name == "ag")
                return "the GUID of a catalog database";
            if (name == "o")
                return "a Windows version such as 2:6.1";
            if (name == "hash")
                return "SHA1 or SHA256";
            return nullptr;
        }
        if (args.verb == Verb::Timestamp && name == "tp")
            return "the number of a signature (0 the primary)";
        if (args.verb == Verb::CatDb)
            return name == "g" ? "the GUID of a catalog database" : nullptr;
        if (args.verb == Verb::Remove)
            return nullptr;
        if (args.verb == Verb::Timestamp && name != "t" && name != "tr" && name != "td" && name != "mt")
            return nullptr;
        if (name == "f")
            return "a PFX file";
        if (name == "p")
            return "a password";
        if (name == "pfd")
            return "the number of a descriptor that holds the password";
        if (name == "sha1")
            return "a SHA-1 certificate thumbprint";
        if (name == "n")
            return "a subject name";
        if (name == "i")
            return "a part of the issuer's name";
        if (name == "u")
            return "an enhanced key usage (an OID)";
        if (name == "r")
            return "a part of a root certificate's subject name";
        if (name == "c")
            return "a certificate template name";
        if (name == "s")
            return "a certificate store name";
        if (name == "csp")
            return "a PKCS#11 module, its p11-kit name or a token's label";
        if (name == "kc")
            return "a key on the token (its label, its id or a pkcs11: URI)";
        if (name == "ac")
            return "a certificate file";
        if (name == "fd")
            return "a digest algorithm";
        if (name == "t")
            return "a time-stamp server URL";
        if (name == "tr")
            return "an RFC 3161 time-stamp server URL";
        if (name == "td")
            return "a digest algorithm";
        if (name == "d")
            return "a description";
        if (name == "du")
            return "a description URL";
        if (name == "mt")
            return "a number of files to sign at a time";
        if (name == "dg" || name == "di" || name == "p7")
            return "a folder";
        if (name == "p7co")
            return "an object identifier";
        if (name == "p7ce")
            return "Embedded, DetachedSignedData or Pkcs7DetachedSignedData";
        return nullptr;
    }

    bool takeValue(const std::string &arg, const std::string &name, const std::string &value)
    {
        if (name == "f")
            args.pfxFile = value;
        else if (name == "p")
            args.password = value;
        else if (name == "pfd") {
            const std::optional<int> fd = descriptorNumber(value);
            if (!fd)
                return fail("The value of /pfd must be the number of an inherited descriptor, 3 or more: " + value);
            args.passwordFd = *fd;
        }        else if (name == "sha1") {
            const std::string hash = normalizeThumbprint(value);
            if (hash.empty())
                return fail("The value of /sha1 is not a SHA-1 thumbprint (40 hexadecimal digits): " + value);
            args.certSha1 = hash;
        } else if (name == "n") {
            if (value.empty())
                return fail("The option /n needs a part of the certificate's subject name.");
            args.subjectName = value;
        } else if (name == "i") {
            if (value.empty())
                return fail("The option /i needs a part of the issuer's name.");
            args.issuerName = value;
        } else if (name == "u") {
            if (!isDottedOid(value))
                return fail("The value of /u must be an object identifier such as 1.3.6.1.5.5.7.3.3: " + value);
            args.usageOid = value;
        } else if (name == "c" && args.verb == Verb::Sign) {
            if (value.empty())
                return fail("The option /c needs a certificate template name.");
            args.templateName = value;
        } else if (name == "r") {
            if (value.empty())
                return fail("The option /r needs a part of the root certificate's subject name.");
            args.rootSubject = value;
        } else if (name == "ds") {
            if (value.empty() || value.size() > 3 || value.find_first_not_of("0123456789") != std::string::npos)
                return fail("The value of /ds must be the number of a signature, 0 for the primary one: " + value);
            args.signatureIndex = std::stoi(value);
        } else if (name == "c") {
            if (value.empty())
                return fail("The option /c needs a catalog file.");
            args.catalogFile = value;
        } else if (name == "ag" || name == "g") {
            args.catalogGuid = normalizedGuid(value);
            if (args.catalogGuid.empty())
                return fail("The value of " + arg + " is not a GUID such as "
                            "{F750E6C3-38EE-11D1-85E5-00C04FC295EE}: " + value);
            if (name == "ag")
                args.catalogSearch = CatalogSearch::Guid;
        } else if (name == "o") {
            if (!parseOsVersion(value))
                return fail("The value of /o is not a Windows version of the form PlatformID:Major.Minor[.Build], "
                            "such as 2:6.1: " + value);
            args.osVersion = value;
        } else if (name == "hash") {
            const std::string lower = lowerCase(value);
            if (lower != "sha1" && lower != "sha256")
                return fail("The value of /hash must be SHA1 or SHA256: " + value);
            args.catalogHash = lower;
        } else if (name == "csp") {
            if (value.empty())
                return fail("The option /csp needs a PKCS#11 module, its p11-kit name or a token's label.");
            args.cryptoProvider = value;
        } else if (name == "kc") {
            // Never repeated in a message: it may hold a PIN.
            if (const std::string problem = keyContainerProblem(value); !problem.empty())
                return fail("The value of /kc cannot be used: " + problem + ".");
            args.keyContainer = value;
        } else if (name == "tp") {
            if (value.empty() || value.size() > 3 || value.find_first_not_of("0123456789") != std::string::npos)
                return fail("The value of /tp must be the number of a signature, 0 for the primary one: " + value);
            args.timestampIndex = std::stoi(value);
        } else if (name == "s") {
            args.storeName = value;
        } else if (name == "ac") {
            if (value.empty())
                return fail("The option /ac needs a certificate file.");
            args.additionalCertificates.push_back(value);
        } else if (name == "fd" || name == "td") {
            const std::optional<DigestAlgorithm> digest = digestByName(value);
            if (!digest)
                return fail("The digest algorithm " + value + " given with " + arg
                            + " is not supported; use sha256, sha384 or sha512 (sha1 only for old systems).");
            (name == "fd" ? args.fileDigest : args.timestampDigest) = *digest;
            if (name == "fd")
                args.fileDigestGiven = true;
            if (name == "td")
                args.timestampDigestGiven = true;
        } else if (name == "t")
            args.timestampUrl = value;
        else if (name == "tr")
            args.rfc3161Url = value;
        else if (name == "d")
            args.description = value;
        else if (name == "du")
            args.descriptionUrl = value;
        else if (name == "dg" || name == "di" || name == "p7") {
            if (value.empty())
                return fail("The option " + arg + " needs a folder.");
            (name == "dg" ? args.digestOutFolder : name == "di" ? args.digestInFolder : args.pkcs7Folder) = value;
        } else if (name == "p7co") {
            if (!isDottedOid(value))
                return fail("The value of /p7co must be an object identifier such as 1.3.6.1.4.1.311.79.1: " + value);
            args.pkcs7ContentType = value;
        } else if (name == "p7ce") {
            const std::optional<Pkcs7Embedding> embedding = embeddingByName(value);
            if (!embedding)
                return fail("The value of /p7ce must be Embedded, DetachedSignedData or Pkcs7DetachedSignedData: "
                            + value);
            args.pkcs7Embedding = *embedding;
            pkcs7EmbeddingGiven = true;
        } else if (name == "mt") {
            const std::optional<unsigned> jobs = jobCount(value);
            if (!jobs)
                return fail("The value of /mt must be a whole number from 1 to 256: " + value);
            args.jobs = *jobs;
        }
        return true;
    }

    std::string verbName() const
    {
        return args.verb == Verb::Sign     ? "sign"
               : args.verb == Verb::Verify ? "verify"
               : args.verb == Verb::CatDb  ? "catdb"
               : args.verb == Verb::Remove ? "remove"
                                           : "timestamp";
    }

    bool parse(const std::vector<std::string> &argv)
    {
        if (argv.empty())
            return fail("No command given; the commands are \"sign\", \"timestamp\", \"verify\", \"remove\" and "
                        "\"catdb\".");
        if (looksLikeSwitch(argv[0]) && switchName(argv[0]) == "?") {
            args.showUsage = true;
            return true;
        }
        if (strcasecmp(argv[0].c_str(), "sign") == 0)
            args.verb = Verb::Sign;
        else if (strcasecmp(argv[0].c_str(), "verify") == 0)
            args.verb = Verb::Verify;
        else if (strcasecmp(argv[0].c_str(), "timestamp") == 0)
            args.verb = Verb::Timestamp;
        else if (strcasecmp(argv[0].c_str(), "catdb") == 0)
            args.verb = Verb::CatDb;
        else if (strcasecmp(argv[0].c_str(), "remove") == 0)
            args.verb = Verb::Remove;
        else
            return fail("Unknown command: " + argv[0]
                        + " (the commands are \"sign\", \"timestamp\", \"verify\", \"remove\" and \"catdb\").");

        size_t i = 1;
        for (; i < argv.size(); ++i) {
            const std::string &arg = argv[i];
            if (!looksLikeSwitch(arg))
                break; // the first file: from here on everything is a file
            const std::string name = switchName(arg);
            if (takeFlag(name))
                continue;
            const char *kind = valueKind(name);
            if (!kind) {
                if (const auto reason = refusedSwitchReason(verbName(), name))
                    return fail("The option " + arg + " is not supported: " + *reason + ".");
                return fail("Unknown option: " + arg);
            }
            if (i + 1 >= argv.size())
                return fail("Missing value for option " + arg + ": it needs " + kind + ".");
            if (!takeValue(arg, name, argv[++i]))
                return false;
        }
        args.files.assign(argv.begin() + static_cast<std::ptrdiff_t>(i), argv.end());
        return args.showUsage || checkCombinations();
    }

    // A catalog comes from one place; /o and /hash choose among catalogs,
    // and /ds among embedded signatures.
    bool catalogCombinations()
    {
        const bool search = args.catalogSearch != CatalogSearch::None;
        if (args.catalogFile && search)
            return fail("The option /c names the catalog and cannot be combined with /a, /ad, /as or /ag.");
        if ((args.osVersion || !args.catalogHash.empty()) && !args.catalogFile && !search)
            return fail(std::string("The option ") + (args.osVersion ? "/o" : "/hash")
                        + " needs a catalog: /c CATALOG, /a, /ad, /as or /ag.");
        const bool catalogOnly = args.catalogFile || (search && args.catalogSearch != CatalogSearch::All);
        if (catalogOnly && (args.signatureIndex || args.allSignatures))
            return fail(std::string("The option ") + (args.signatureIndex ? "/ds" : "/all")
                        + " judges embedded signatures and cannot be combined with /c, /ad, /as or /ag.");
        return true;
    }

    bool checkCombinations()
    {
        if (args.verbose && args.quiet)
            return fail("The options /v and /q cannot be combined.");
        if (args.verb == Verb::Verify) {
            if (args.verifyPkcs7 && (args.authenticodePolicy || args.allSignatures || args.signatureIndex
                                     || args.printDescription || args.rootSubject))
                return fail("verify /p7 checks PKCS#7 files and takes none of /pa, /all, /ds, /d and /r.");
            if (!args.authenticodePolicy && !args.verifyPkcs7)
                return fail("verify needs /pa: only the Authenticode verification policy is supported.");
            if (args.files.empty())
                return fail("No files to verify were given.");
            if (args.allSignatures && args.signatureIndex)
                return fail("The options /all and /ds cannot be combined.");
            return catalogCombinations();
        }
        if (args.verb == Verb::CatDb) {
            if (args.defaultDatabase && !args.catalogGuid.empty())
                return fail("The options /d and /g cannot be combined.");
            if (args.files.empty())
                return fail(args.removeCatalogs ? "No catalog files to remove were given."
                                                : "No catalog files to add were given.");
            return true;
        }
        if (args.verb == Verb::Remove) {
            if (!args.remove.any())
                return fail("remove needs /s, /c or /u: what to remove (see below).");
            if (args.files.empty())
                return fail("No files to remove signatures from were given.");
            return true;
        }
        if (args.verb == Verb::Timestamp) {
            if (!args.timestampUrl && !args.rfc3161Url)
                return fail("timestamp needs a time-stamp server: /tr URL (RFC 3161) or /t URL.");
            if (args.timestampUrl && args.rfc3161Url)
                return fail("The options /t and /tr cannot be combined.");
            if (args.timestampDigestGiven && !args.rfc3161Url)
                return fail("The option /td needs /tr with an RFC 3161 time-stamp server.");
            if (args.files.empty())
                return fail("No files to time-stamp were given.");
            return true;
        }
        if (args.pageHashes && args.noPageHashes)
            return fail("The options /ph and /nph cannot be combined.");
        const bool tokenNamed = args.cryptoProvider || args.keyContainer;
        if (tokenNamed && (args.password || args.passwordFd))
            return fail(std::string("The option ") + (args.password ? "/p" : "/pfd")
                        + " gives a PFX password; with /csp or /kc the token's PIN is asked for through pinentry, "
                          "never taken from the command line.");
        if (!stepsCombinationFine())
            return false;
        if (args.pageHashes
            && (args.fileDigest == DigestAlgorithm::Sha384 || args.fileDigest == DigestAlgorithm::Sha512))
            return fail(std::string("The option /ph needs /fd sha256 (or sha1): page hashes exist as SHA-1 and "
                                    "SHA-256 only; Windows defines no form for ")
                        + digestName(args.fileDigest) + ".");
        if (args.pfxFile && (args.issuerName || args.usageOid))
            return fail("The options /i, /u and /uw choose from the certificate store and cannot be combined with /f.");
        if (args.pfxFile && (args.rootSubject || args.templateName))
            return fail("The options /r and /c choose from the certificate store and cannot be combined with /f.");
        if (args.autoSelect && args.pfxFile)
            return fail("The options /a and /f cannot be combined.");
        if (args.pfxFile && (args.certSha1 || args.subjectName || args.storeName || args.machineStore))
            return fail("The options /sha1, /n, /s and /sm choose from the certificate store and cannot be combined "
                        "with /f.");
        if (args.password && args.passwordFd)
            return fail("The options /p and /pfd cannot be combined.");
        if ((args.password || args.passwordFd) && !args.pfxFile)
            return fail(std::string("The option ") + (args.password ? "/p" : "/pfd") + " needs /f with the PFX file.");
        if (args.timestampUrl && args.rfc3161Url)
            return fail("The options /t and /tr cannot be combined.");
        if (args.timestampDigestGiven && !args.rfc3161Url)
            return fail("The option /td needs /tr with an RFC 3161 time-stamp server.");
        if (args.files.empty())
            return fail(args.signDigests ? "No digest files (.dig) to sign were given." : "No files to sign were given.");
        return true;
    }

    // Signing in steps and PKCS#7 files: one way of signing per run, and
    // only the switches that mean something for it.
    bool stepsCombinationFine()
    {
        const int ways = int(args.digestOutFolder.has_value()) + int(args.signDigests)
                         + int(args.digestInFolder.has_value()) + int(args.pkcs7Folder.has_value());
        if (ways > 1)
            return fail("The options /dg, /ds, /di and /p7 cannot be combined: each is a step of its own.");
        if (args.digestXml && !args.digestOutFolder)
            return fail("The option /dxml needs /dg.");
        if ((args.pkcs7ContentType || pkcs7EmbeddingGiven) && !args.pkcs7Folder)
            return fail("The options /p7co and /p7ce need /p7.");
        if (ways == 0)
            return true;
        if (args.appendSignature || args.pageHashes)
            return fail("The options /as and /ph cannot be combined with /dg, /ds, /di or /p7.");
        if ((args.timestampUrl || args.rfc3161Url) && !args.digestInFolder && !args.pkcs7Folder)
            return fail("A time stamp is added when the signature is put into the file: give /t or /tr with /di.");
        if (args.digestInFolder
            && (args.pfxFile || args.autoSelect || args.certSha1 || args.subjectName || args.issuerName
                || args.usageOid || args.storeName || args.machineStore || !args.additionalCertificates.empty()
                || args.description || args.descriptionUrl))
            return fail("/di takes the certificates and the description from the unsigned signature (.p7u) of /dg; "
                        "it chooses no certificate.");
        return true;
    }
};

} // namespace

const char *digestName(DigestAlgorithm algorithm)
{
    switch (algorithm) {
    case DigestAlgorithm::Sha384:
        return "sha384";
    case DigestAlgorithm::Sha512:
        return "sha512";
    case DigestAlgorithm::Sha1:
        return "sha1";
    case DigestAlgorithm::Sha256:
        break;
    }
    return "sha256";
}

std::string normalizeThumbprint(const std::string &text)
{
    static const std::string leftToRightMark = "\xE2\x80\x8E";
    std::string hex;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text.compare(i, leftToRightMark.size(), leftToRightMark) == 0) {
            i += leftToRightMark.size() - 1;
            continue;
        }
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (std::isspace(c))
            continue;
        if (!std::isxdigit(c))
            return std::string();
        hex += static_cast<char>(std::toupper(c));
    }
    return hex.size() == 40 ? hex : std::string();
}

namespace {

bool isAscii(const std::string &text)
{
    for (char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80)
            return false;
    }
    return true;
}

} // namespace

std::string descriptionProblem(const SignArgs &args)
{
    const char *why = " has characters outside ASCII; signatures made here store it as a 7-bit string, which Windows "
                      "would show garbled. Use ASCII characters only.";
    if (args.description && !isAscii(*args.description))
        return "The description \"" + *args.description + "\"" + why;
    if (args.descriptionUrl && !isAscii(*args.descriptionUrl))
        return "The description URL \"" + *args.descriptionUrl + "\"" + why
               + " (Percent-encode the URL's other characters.)";
    return std::string();
}

std::string storeNameProblem(const SignArgs &args, const std::string &storeFolder)
{
    if (!args.storeName || strcasecmp(args.storeName->c_str(), "my") == 0)
        return {};
    return "The certificate store \"" + *args.storeName + "\" does not exist. Quillmark has one store, \"My\" (/s My, "
           "/sm): the folder " + storeFolder + " (set QUILLMARK_CERT_STORE for another folder).";
}

std::vector<std::string> digestWarnings(const SignArgs &args)
{
    std::vector<std::string> warnings;
    const char *why = " makes a SHA-1 signature, which current systems do not trust; use it only beside a SHA-256 "
                      "one (/as) for old systems.";
    // SignTool of Windows SDK build 20236 and later warns without /fd and
    // /td, its newest versions refuse; a build script that never named its
    // digests keeps working here, told what it got.
    if (args.verb == Verb::Sign && !args.fileDigestGiven && !args.digestInFolder)
        warnings.push_back("SignTool Warning: No file digest algorithm was given; SHA-256 is used.\n"
                           "The newest SignTool refuses to sign without /fd: add /fd sha256.");
    if (args.rfc3161Url && !args.timestampDigestGiven)
        warnings.push_back("SignTool Warning: No time-stamp digest algorithm was given with /tr;\n"
                           "SHA-256 is used. The newest SignTool refuses this: add /td sha256.");
    if (args.fileDigest == DigestAlgorithm::Sha1)
        warnings.push_back(std::string("SignTool Warning: /fd sha1") + why);
    if (args.timestampDigestGiven && args.timestampDigest == DigestAlgorithm::Sha1)
        warnings.push_back(std::string("SignTool Warning: /td sha1") + why);
    return warnings;
}

const char *usageText()
{
    return "Usage: signtool.exe sign [/a] [/f PFX [/p PASSWORD | /pfd N]] [/sha1 HASH]\n"
           "                         [/n NAME] [/s My] [/sm]\n"
           "                         [/i ISSUER] [/r ROOT] [/c TEMPLATE] [/u OID | /uw]\n"
           "                         [/ac FILE] [/fd ALG] [/ph | /nph]\n"
           "                         [/t URL | /tr URL [/td ALG]] [/as]\n"
           "                         [/d TEXT] [/du URL] [/csp MODULE] [/kc KEY]\n"
           "                         [/mt N] [/v | /debug | /q] FILE...\n"
           "       signtool.exe timestamp (/t URL | /tr URL [/td ALG]) [/tp N] [/mt N]\n"
           "                              [/v | /debug | /q] FILE...\n"
           "       signtool.exe verify /pa [/all | /ds N] [/tw] [/d] [/r ROOT] [/a] [/ms]\n"
           "                           [/ph] [/v | /q] FILE...\n"
           "       signtool.exe verify /pa (/c CAT | /ad | /as | /ag GUID) [/o VER]\n"
           "                           [/hash ALG] [/v | /q] FILE...\n"
           "       signtool.exe catdb [/d | /g GUID] [/r] [/u] [/v | /q] CATALOG...\n"
           "       signtool.exe verify /p7 [/v | /q] FILE.p7...\n"
           "       signtool.exe timestamp /p7 (/t URL | /tr URL [/td ALG]) FILE.p7...\n"
           "       signtool.exe remove (/s | /c | /u) [/v | /q] FILE...\n"
           "\n"
           "sign options:\n"
           "  /a          choose the best certificate of the store and the PKCS#11 tokens\n"
           "  /f PFX      use the certificate and key of a PFX file; /p gives its password\n"
           "  /pfd N      read the PFX password from inherited descriptor N instead of /p\n"
           "  /sha1 HASH  use the certificate with this SHA-1 thumbprint\n"
           "  /n NAME     use a certificate whose subject name contains NAME\n"
           "  /i NAME     use a certificate whose issuer's name contains NAME\n"
           "  /r NAME     use a certificate chaining to a root whose subject contains NAME\n"
           "  /c NAME     use a certificate of the certificate template NAME (or its OID)\n"
           "  /u OID      use a certificate that allows this usage; /uw: Windows components\n"
           "  /s My, /sm  the certificate store (there is one, \"My\")\n"
           "  /csp NAME   the token's PKCS#11 module (a path, its p11-kit name), or the\n"
           "              token's label; /f CERT may name its certificate file\n"
           "  /kc KEY     the key on the token: its label, its id in hex or a pkcs11: URI;\n"
           "              never a PIN, which is asked for through pinentry\n"
           "  /ac FILE    add the certificates of FILE (an intermediate) to the signature\n"
           "  /fd ALG     file digest: sha256, sha384 or sha512; sha1 for old systems\n"
           "              (without /fd: sha256 with a warning)\n"
           "  /ph         page hashes (program files; /fd sha256 or sha1); /nph: none\n"
           "  /t URL      time stamp from an Authenticode time-stamp server\n"
           "  /tr URL     time stamp from an RFC 3161 time-stamp server; /td ALG its digest\n"
           "  /as         append this signature to those the file has\n"
           "  /d TEXT     description; /du URL its web address\n"
           "  /mt N       sign N files at a time\n"
           "  /dg DIR     write each file's digest to sign (FILE.dig, base64) and its\n"
           "              unsigned signature (FILE.p7u) to DIR; /dxml: also FILE.dig.xml\n"
           "  /ds         sign the digests (the files are FILE.dig) into FILE.dig.signed\n"
           "  /di DIR     put DIR/FILE.dig.signed into each file (with /t or /tr: stamped)\n"
           "  /p7 DIR     write a PKCS#7 signature of each file (any content) as DIR/FILE.p7\n"
           "  /p7co OID   its content type (default 1.2.840.113549.1.7.1, data)\n"
           "  /p7ce KIND  Embedded (default), DetachedSignedData (the bare SignedData)\n"
           "              or Pkcs7DetachedSignedData (a whole PKCS#7, content left out)\n"
           "  /v          verbose output; /debug: also the PKCS#11 modules that failed;\n"
           "              /q: errors only\n"
           "timestamp: add a time stamp to the primary signature of files already signed\n"
           "  /tp N       stamp signature N instead (0 the primary, 1.. appended ones)\n"
           "verify options:\n"
           "  /pa         Authenticode policy: the signature matches the file and its\n"
           "              certificate chains to a trusted root or to a certificate of the\n"
           "              store; the primary signature decides\n"
           "  /all        every signature must pass, the appended ones too\n"
           "  /tw         warn when a signature is not time-stamped\n"
           "  /ds N       judge signature N alone (0 the primary)\n"
           "  /d          print the description and its URL\n"
           "  /r NAME     the chain must end at a root whose subject contains NAME\n"
           "  /ph         check the page hashes a program file's signature carries\n"
           "  /a          the embedded signature, else a catalog of the catalog database\n"
           "  /ms         accepted: the primary signature decides\n"
           "  /c CAT      the file must be a member of the catalog CAT, which must be\n"
           "              validly signed\n"
           "  /ad, /as    find the catalog in the default (/ad) or the system component\n"
           "              (/as) catalog database; /ag GUID: in the database of GUID\n"
           "  /o VER      the catalog must be meant for this Windows version (2:6.1)\n"
           "  /hash ALG   look the file up by its SHA1 or SHA256 hash (else by both)\n"
           "  /p7         check PKCS#7 files (sign /p7); a detached one signs the file of\n"
           "              its name without .p7, beside it\n"
           "catdb: add catalogs to the system component catalog database\n"
           "  /d          the default database instead; /g GUID: the database of GUID\n"
           "  /r          remove the named catalogs; /u: add under a unique name\n"
           "remove options:\n"
           "  /s          the whole signature\n"
           "  /c          every certificate but the signer's (program files)\n"
           "  /u          time stamps and appended signatures (program files)\n"
           "A switch that takes a value takes the next argument whatever it is; after the\n"
           "first file every argument is a file. Names with * or ? are expanded, sorted.";
}

ParseResult parseSignArgs(const std::vector<std::string> &argv)
{
    Parser parser;
    ParseResult result;
    if (parser.parse(argv))
        result.args = std::move(parser.args);
    else
        result.error = std::move(parser.error);
    return result;
}

} // namespace signtool
