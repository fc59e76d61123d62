#include "CatalogCommand.h"

#include "Catalog.h"
#include "CatalogDatabase.h"
#include "OpenedFile.h"
#include "PeImage.h"
#include "SignArgs.h"
#include "ToolSupport.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace sdktool;

namespace signtool {

namespace {

// The catalog file as the user named it, read whole (bounded) and checked
// to be a catalog; empty with `problem` otherwise.
std::string catalogBytes(const std::string &file, std::string &problem)
{
    Fd fd(open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat st {};
    if (!fd || fstat(fd.get(), &st) != 0) {
        problem = errno == ENOENT ? "it does not exist" : "it cannot be opened: " + errnoText(errno);
        return {};
    }
    if (!S_ISREG(st.st_mode) || st.st_size == 0
        || static_cast<uint64_t>(st.st_size) > kMaxCatalogBytes) {
        problem = !S_ISREG(st.st_mode) ? "it is not a file"
                  : st.st_size == 0    ? "it is empty"
                                       : "it is larger than " + sizeText(static_cast<off_t>(kMaxCatalogBytes));
        return {};
    }
    std::string der(static_cast<size_t>(st.st_size), '\0');
    if (!readAt(fd.get(), 0, der.data(), der.size())) {
        problem = "it cannot be read: " + errnoText(errno ? errno : EIO);
        return {};
    }
    if (!parseCatalog(der, problem))
        return {};
    return der;
}

} // namespace

CatdbCounts catdbFiles(const SignArgs &args, const std::function<void(const std::vector<OutputLine> &)> &print)
{
    CatdbCounts counts;
    const std::string folder = catalogDatabaseFolder();
    const std::string guid = !args.catalogGuid.empty() ? args.catalogGuid
                             : args.defaultDatabase   ? std::string(kDefaultCatalogGuid)
                                                      : std::string(kSystemCatalogGuid);
    if (const std::string refusal = databaseRefusal(folder); !refusal.empty()) {
        print({{OutputLine::Err, "SignTool Error: The catalog database " + folder + " is not used: " + refusal + "."}});
        counts.errors = static_cast<int>(args.files.size());
        return counts;
    }
    for (const std::string &file : args.files) {
        std::vector<OutputLine> lines;
        std::string problem;
        if (args.removeCatalogs) {
            // The database knows catalogs by name, as Windows' does.
            const std::string name = baseName(file);
            problem = removeCatalog(folder, guid, name);
            if (problem.empty()) {
                lines.push_back({OutputLine::Out, "Successfully removed: " + name});
                if (args.verbose)
                    lines.push_back({OutputLine::Out, "    From: " + folder + "/" + guid});
            } else {
                lines.push_back({OutputLine::Err, "SignTool Error: The catalog " + name + " cannot be removed: "
                                                      + problem + "."});
            }
        } else {
            const std::string der = catalogBytes(file, problem);
            std::string storedAs;
            if (der.empty()) {
                lines.push_back({OutputLine::Err, "SignTool Error: " + file + " is not a catalog file: " + problem
                                                      + "."});
            } else if (problem = addCatalog(folder, guid, baseName(file), der, args.uniqueNames, storedAs);
                       !problem.empty()) {
                lines.push_back({OutputLine::Err, "SignTool Error: " + file
                                                      + " cannot be added to the catalog database: " + problem + "."});
            } else {
                lines.push_back({OutputLine::Out, "Successfully added: " + file});
                if (args.verbose)
                    lines.push_back({OutputLine::Out, "    Stored as: " + folder + "/" + guid + "/" + storedAs});
            }
        }
        ++(problem.empty() ? counts.done : counts.errors);
        print(lines);
    }
    return counts;
}

} // namespace signtool
