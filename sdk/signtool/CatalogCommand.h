#pragma once

// "signtool.exe catdb": adds catalog files to the catalog database (see
// CatalogDatabase.h), by default the system component database, with /d
// the default one, with /g GUID the database of that GUID; with /r removes
// the catalogs of those names instead. A file that is not a catalog is
// refused before anything is stored.

#include "Signer.h"

#include <functional>
#include <vector>

namespace signtool {

struct SignArgs;

struct CatdbCounts {
    int done = 0;
    int errors = 0;
};

// Adds (or removes) every file of `args`, handing each file's lines to
// `print` in the order of the command line.
CatdbCounts catdbFiles(const SignArgs &args, const std::function<void(const std::vector<OutputLine> &)> &print);

} // namespace signtool
