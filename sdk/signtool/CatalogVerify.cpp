#include "CatalogVerify.h"

#include "CatalogDatabase.h"
#include "FormatStrategy.h"
#include "OpenedFile.h"
#include "PeImage.h"
#include "SignArgs.h"

#include <openssl/evp.h>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace sdktool;

namespace signtool {

namespace {

// The hash of the whole file, read in pieces.
std::optional<std::vector<unsigned char>> flatHash(int fd, const EVP_MD *md)
{
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!ctx || EVP_DigestInit_ex(ctx.get(), md, nullptr) != 1)
        return std::nullopt;
    std::vector<unsigned char> buffer(1u << 20);
    for (off_t offset = 0;;) {
        const ssize_t n = pread(fd, buffer.data(), buffer.size(), offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return std::nullopt;
        if (n == 0)
            break;
        EVP_DigestUpdate(ctx.get(), buffer.data(), static_cast<size_t>(n));
        offset += n;
    }
    std::vector<unsigned char> value(static_cast<size_t>(EVP_MD_get_size(md)));
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(ctx.get(), value.data(), &length) != 1)
        return std::nullopt;
    value.resize(length);
    return value;
}

std::string hashNames(const std::vector<FileHash> &hashes)
{
    std::string names;
    for (size_t i = 0; i < hashes.size(); ++i)
        names += (i == 0 ? "" : i + 1 == hashes.size() ? " or " : ", ") + hashes[i].name;
    return names;
}

std::string shownHash(const FileHash &hash)
{
    return hash.name + " " + hexText(hash.value.data(), hash.value.size(), true);
}

} // namespace

std::vector<FileHash> catalogHashes(int fd, const std::string &only, std::string &problem)
{
    std::vector<FileHash> hashes;
    const FormatStrategy &format = formatOf(fd);
    const bool program = format.readsSignaturesInProcess();
    if (program) {
        // A program file is listed by its Authenticode digest; one that is
        // damaged has none, and its flat hash is not what a catalog lists.
        std::string layoutProblem;
        if (!readPeLayout(fd, layoutProblem)) {
            problem = "it is a damaged program file (" + layoutProblem + ")";
            return {};
        }
    }
    for (const auto &[name, md] : {std::pair<const char *, const EVP_MD *>{"SHA256", EVP_sha256()},
                                   std::pair<const char *, const EVP_MD *>{"SHA1", EVP_sha1()}}) {
        if (!only.empty() && only != (md == EVP_sha1() ? "sha1" : "sha256"))
            continue;
        std::optional<std::vector<unsigned char>> value;
        if (program) {
            if (auto digest = format.digest(fd, md))
                value = std::move(digest->value);
        } else {
            value = flatHash(fd, md);
        }
        if (!value) {
            problem = "it cannot be read: " + errnoText(errno ? errno : EIO);
            return {};
        }
        hashes.push_back({name, std::move(*value)});
    }
    return hashes;
}

struct CatalogLookup::Entry {
    std::string path;
    std::optional<Catalog> catalog;
    std::string problem;                       // why it is not a catalog
    std::optional<SignatureFinding> signature; // judged the first time it lists a file
};

CatalogLookup::CatalogLookup(const SignArgs &args, const TrustPolicy &policy) : m_args(args), m_policy(policy)
{
    m_database = !args.catalogFile;
    m_where = args.catalogFile ? *args.catalogFile : catalogDatabaseFolder();
}

CatalogLookup::~CatalogLookup() = default;

void CatalogLookup::load()
{
    if (m_loaded)
        return;
    m_loaded = true;
    if (!m_database) {
        auto entry = std::make_unique<Entry>();
        entry->path = m_where;
        Fd fd(open(m_where.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        if (!fd)
            entry->problem = errno == ENOENT ? "it does not exist" : "it cannot be opened: " + errnoText(errno);
        else
            entry->catalog = readCatalog(fd.get(), entry->problem);
        m_entries.push_back(std::move(entry));
        return;
    }
    std::vector<std::string> guids;
    if (m_args.catalogSearch == CatalogSearch::Default)
        guids.push_back(kDefaultCatalogGuid);
    else if (m_args.catalogSearch == CatalogSearch::System)
        guids.push_back(kSystemCatalogGuid);
    else if (m_args.catalogSearch == CatalogSearch::Guid)
        guids.push_back(m_args.catalogGuid);
    if (guids.size() == 1)
        m_where += "/" + guids.front();
    for (StoredCatalog &stored : storedCatalogs(catalogDatabaseFolder(), guids, m_problems)) {
        auto entry = std::make_unique<Entry>();
        entry->path = stored.path;
        entry->catalog = parseCatalog(stored.der, entry->problem);
        if (!entry->catalog)
            m_problems.push_back(stored.path + " is not a catalog file: " + entry->problem);
        m_entries.push_back(std::move(entry));
    }
}

CatalogVerdict CatalogLookup::judgeListed(Entry &entry, const std::string &file, const FileHash &hash)
{
    CatalogVerdict verdict;
    verdict.catalog = entry.path;
    const Catalog &catalog = *entry.catalog;
    if (m_args.osVersion) {
        const OsVersion version = *parseOsVersion(*m_args.osVersion);
        if (!catalog.osAttr) {
            verdict.error = file + " is listed in the catalog " + entry.path + ", which names no Windows version "
                            "(no OSAttr), so it is not meant for " + *m_args.osVersion + " (/o).";
            return verdict;
        }
        if (!osAttrNames(*catalog.osAttr, version)) {
            verdict.error = file + " is listed in the catalog " + entry.path + ", which is not meant for Windows "
                            "version " + *m_args.osVersion + " (/o): it names " + *catalog.osAttr + ".";
            return verdict;
        }
    }
    if (!entry.signature) {
        entry.signature = judgeEmbeddedContentSignature(catalog.p7.get(), kCtlOid, m_policy);
    }
    const SignatureFinding &finding = *entry.signature;
    verdict.details.push_back("File is signed in catalog: " + entry.path);
    verdict.details.push_back("Listed by its hash: " + shownHash(hash));
    for (const std::string &line : findingLines(finding))
        verdict.details.push_back(line == "Signature 1 (primary):" ? "Signature of the catalog:" : line);
    if (finding.verdict != Verdict::Good) {
        verdict.error = file + " is listed in the catalog " + entry.path + ", but the catalog is not validly "
                        "signed: " + verdictText(finding) + ".";
        return verdict;
    }
    verdict.ok = true;
    verdict.warnings = finding.warnings;
    if (m_args.warnUnstamped && finding.stampKind == StampKind::None)
        verdict.warnings.push_back("its catalog " + entry.path + " is not time-stamped");
    return verdict;
}

CatalogVerdict CatalogLookup::verify(int fd, const std::string &file)
{
    load();
    CatalogVerdict verdict;
    std::string problem;
    const std::vector<FileHash> hashes = catalogHashes(fd, m_args.catalogHash, problem);
    if (hashes.empty()) {
        verdict.error = file + " cannot be looked up in a catalog: " + problem + ".";
        return verdict;
    }
    if (!m_database && !m_entries.front()->catalog) {
        verdict.catalog = m_where;
        verdict.error = file + " cannot be verified: " + m_where + " is not a catalog file: "
                        + m_entries.front()->problem + ".";
        return verdict;
    }
    // The first catalog that lists the file and passes decides; one that
    // lists it but fails is reported when no other vouches for the file.
    std::optional<CatalogVerdict> failed;
    for (const FileHash &hash : hashes) {
        for (const auto &entry : m_entries) {
            if (!entry->catalog || !findMember(*entry->catalog, hash.value))
                continue;
            CatalogVerdict judged = judgeListed(*entry, file, hash);
            if (judged.ok)
                return judged;
            if (!failed)
                failed = std::move(judged);
        }
    }
    if (failed)
        return *failed;
    const std::string listed = "its " + hashNames(hashes) + " hash";
    if (!m_database) {
        verdict.catalog = m_where;
        verdict.error = file + " is not a member of the catalog " + m_where + ": it does not list " + listed + ".";
        return verdict;
    }
    verdict.error = file + " is not a member of any catalog of the catalog database " + m_where
                    + ": none lists " + listed;
    if (!m_problems.empty())
        verdict.error += " (" + m_problems.front() + ")";
    verdict.error += ".";
    return verdict;
}

} // namespace signtool
