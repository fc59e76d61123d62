#include "CatalogDatabase.h"

#include "Catalog.h"
#include "OpenedFile.h"
#include "PeImage.h"
#include "ToolSupport.h"
#include "safefile/PathWalk.h"
#include "safefile/SafeWrite.h"
#include "safefile/TrustedProgram.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace sdktool;

namespace signtool {

namespace {

// Bounds on a search: a database is read whole for each run, so one that
// grew past these (by mistake or on purpose) is read only in part, and
// says so.
constexpr size_t kMaxCatalogs = 4096;
constexpr size_t kMaxDatabaseBytes = 512u << 20;

bool isGuidFolderName(const std::string &name)
{
    return !normalizedGuid(name).empty() && normalizedGuid(name) == name;
}

bool isCatalogName(const std::string &name)
{
    if (name.size() < 5 || name[0] == '.')
        return false;
    std::string extension = name.substr(name.size() - 4);
    for (char &c : extension)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return extension == ".cat";
}

// A name that stays inside the folder it is given for.
bool plainName(const std::string &name)
{
    return !name.empty() && name != "." && name != ".." && name.size() <= 255 && name.find('/') == std::string::npos
           && name.find('\0') == std::string::npos;
}

// The sorted entry names of an open folder (its descriptor stays open).
std::vector<std::string> entryNames(int folder)
{
    std::vector<std::string> names;
    const int copy = fcntl(folder, F_DUPFD_CLOEXEC, 0);
    DIR *dir = copy >= 0 ? fdopendir(copy) : nullptr;
    if (!dir) {
        if (copy >= 0)
            close(copy);
        return names;
    }
    rewinddir(dir);
    while (const dirent *entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

// Running as root: what another user could have changed at `path`.
std::string rootRefusal(const std::string &path)
{
    return safefile::programRefusalForRoot(path);
}

// Opens (making it when missing, with `create`) the database folder and
// its subfolder `guid`.
Fd openDatabase(const std::string &folder, const std::string &guid, bool create, std::string &error)
{
    safefile::Descriptor base;
    safefile::WalkProblem problem;
    int rc = safefile::openFolder(folder, base, &problem);
    if (rc == ENOENT && create) {
        safefile::Place place;
        rc = safefile::walkToPlace(folder, safefile::FinalLink::Stop, place, &problem);
        if (rc == 0 && mkdirat(place.folder.get(), place.name.c_str(), 0755) != 0 && errno != EEXIST)
            rc = errno;
        if (rc == 0)
            rc = safefile::openFolder(folder, base, &problem);
    }
    if (rc != 0) {
        error = "the catalog database " + folder + " cannot be opened: " + safefile::walkProblemText(problem);
        return Fd();
    }
    if (create && mkdirat(base.get(), guid.c_str(), 0755) != 0 && errno != EEXIST) {
        error = "the catalog database " + folder + "/" + guid + " cannot be made: " + errnoText(errno);
        return Fd();
    }
    Fd database(openat(base.get(), guid.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!database) {
        error = errno == ENOENT ? "the catalog database " + folder + "/" + guid + " does not exist"
                                : "the catalog database " + folder + "/" + guid + " cannot be opened: "
                                      + errnoText(errno);
        return Fd();
    }
    return database;
}

bool nameExists(int folder, const std::string &name)
{
    struct stat st {};
    return fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

// "name_1a2b3c4d.cat" for "name.cat": a name not yet in the folder.
std::string uniqueName(int folder, const std::string &name)
{
    const size_t dot = name.rfind('.');
    const std::string stem = dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
    const std::string extension = dot == std::string::npos || dot == 0 ? std::string() : name.substr(dot);
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string candidate = stem + "_" + randomHex(4) + extension;
        if (candidate.size() <= 255 && !nameExists(folder, candidate))
            return candidate;
    }
    return {};
}

// Reads one catalog of an open database folder, without following a link.
bool readStored(int database, const std::string &name, const std::string &path, StoredCatalog &stored,
                std::string &problem)
{
    Fd fd(openat(database, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat st {};
    if (!fd || fstat(fd.get(), &st) != 0) {
        problem = path + " cannot be read: " + errnoText(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        problem = path + " is not a file";
        return false;
    }
    if (static_cast<uint64_t>(st.st_size) > kMaxCatalogBytes) {
        problem = path + " is larger than " + sizeText(static_cast<off_t>(kMaxCatalogBytes));
        return false;
    }
    stored.path = path;
    stored.der.assign(static_cast<size_t>(st.st_size), '\0');
    if (!readAt(fd.get(), 0, stored.der.data(), stored.der.size())) {
        problem = path + " cannot be read: " + errnoText(errno ? errno : EIO);
        return false;
    }
    return true;
}

} // namespace

std::string catalogDatabaseFolder()
{
    const char *env = std::getenv("QUILLMARK_CATALOG_DB");
    if (env && *env)
        return env;
    return ownFolder() + "catroot";
}

std::string normalizedGuid(const std::string &text)
{
    std::string bare = text;
    if (bare.size() == 38 && bare.front() == '{' && bare.back() == '}')
        bare = bare.substr(1, 36);
    if (bare.size() != 36)
        return {};
    for (size_t i = 0; i < bare.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? bare[i] != '-' : !std::isxdigit(static_cast<unsigned char>(bare[i])))
            return {};
        bare[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(bare[i])));
    }
    return "{" + bare + "}";
}

std::string databaseRefusal(const std::string &folder)
{
    return rootRefusal(folder);
}

std::string baseName(const std::string &path)
{
    std::string trimmedPath = path;
    while (trimmedPath.size() > 1 && trimmedPath.back() == '/')
        trimmedPath.pop_back();
    const size_t slash = trimmedPath.rfind('/');
    return slash == std::string::npos ? trimmedPath : trimmedPath.substr(slash + 1);
}

std::string addCatalog(const std::string &folder, const std::string &guid, const std::string &name,
                       const std::string &der, bool unique, std::string &storedAs)
{
    if (!plainName(name))
        return "\"" + name + "\" cannot be the name of a catalog in the database";
    std::string error;
    const Fd database = openDatabase(folder, guid, true, error);
    if (!database)
        return error;
    if (const std::string refusal = rootRefusal(folder + "/" + guid); !refusal.empty())
        return "the catalog database is not used: " + refusal;
    storedAs = unique && nameExists(database.get(), name) ? uniqueName(database.get(), name) : name;
    if (storedAs.empty())
        return "no unique name could be made for it";
    safefile::Temporary temporary;
    if (const int rc = temporary.create(database.get(), ".catdb-", ".tmp", 0644); rc != 0)
        return "it cannot be written to " + folder + "/" + guid + ": " + errnoText(rc);
    if (!writeAll(temporary.fd(), der) || fchmod(temporary.fd(), 0644) != 0)
        return "it cannot be written to " + folder + "/" + guid + ": " + errnoText(errno);
    // Replacing a catalog of the same name is catdb's way (without /u); a
    // folder of that name is never replaced.
    struct stat there {};
    if (fstatat(database.get(), storedAs.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(there.st_mode))
        return folder + "/" + guid + "/" + storedAs + " is a folder";
    if (const int rc = temporary.commit(storedAs, nullptr); rc != 0)
        return "it cannot be stored in " + folder + "/" + guid + ": " + errnoText(rc);
    return {};
}

std::string removeCatalog(const std::string &folder, const std::string &guid, const std::string &name)
{
    if (!plainName(name))
        return "\"" + name + "\" is not the name of a catalog in the database";
    std::string error;
    const Fd database = openDatabase(folder, guid, false, error);
    if (!database)
        return error;
    if (const std::string refusal = rootRefusal(folder + "/" + guid); !refusal.empty())
        return "the catalog database is not used: " + refusal;
    struct stat st {};
    if (fstatat(database.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? "it is not in the catalog database " + folder + "/" + guid
                               : "it cannot be removed: " + errnoText(errno);
    if (S_ISDIR(st.st_mode))
        return folder + "/" + guid + "/" + name + " is a folder, not a catalog";
    if (unlinkat(database.get(), name.c_str(), 0) != 0)
        return "it cannot be removed: " + errnoText(errno);
    fsync(database.get());
    return {};
}

std::vector<StoredCatalog> storedCatalogs(const std::string &folder, const std::vector<std::string> &guids,
                                          std::vector<std::string> &problems)
{
    std::vector<StoredCatalog> catalogs;
    if (const std::string refusal = rootRefusal(folder); !refusal.empty()) {
        problems.push_back("the catalog database is not used: " + refusal);
        return catalogs;
    }
    std::vector<std::string> databases = guids;
    if (databases.empty()) {
        safefile::Descriptor base;
        if (safefile::openFolder(folder, base) == 0) {
            for (const std::string &name : entryNames(base.get())) {
                if (isGuidFolderName(name))
                    databases.push_back(name);
            }
        }
    }
    size_t bytes = 0;
    for (const std::string &guid : databases) {
        std::string error;
        const Fd database = openDatabase(folder, guid, false, error);
        if (!database) {
            problems.push_back(error);
            continue;
        }
        const std::string where = folder + "/" + guid;
        if (const std::string refusal = rootRefusal(where); !refusal.empty()) {
            problems.push_back("the catalog database is not used: " + refusal);
            continue;
        }
        for (const std::string &name : entryNames(database.get())) {
            if (!isCatalogName(name))
                continue;
            const std::string path = where + "/" + name;
            if (catalogs.size() >= kMaxCatalogs || bytes >= kMaxDatabaseBytes) {
                problems.push_back("the catalog database holds more than " + std::to_string(kMaxCatalogs)
                                   + " catalogs or " + sizeText(static_cast<off_t>(kMaxDatabaseBytes))
                                   + "; the rest were not searched");
                return catalogs;
            }
            if (const std::string refusal = rootRefusal(path); !refusal.empty()) {
                problems.push_back("a catalog is not used: " + refusal);
                continue;
            }
            StoredCatalog stored;
            std::string problem;
            if (!readStored(database.get(), name, path, stored, problem)) {
                problems.push_back(problem);
                continue;
            }
            bytes += stored.der.size();
            catalogs.push_back(std::move(stored));
        }
    }
    return catalogs;
}

} // namespace signtool
