#include "FilePatterns.h"

#include <algorithm>
#include <glob.h>
#include <sys/stat.h>

namespace signtool {

namespace {

bool hasWildcard(const std::string &name)
{
    return name.find_first_of("*?") != std::string::npos;
}

bool exists(const std::string &name)
{
    struct stat st {};
    return lstat(name.c_str(), &st) == 0;
}

} // namespace

ExpandedFiles expandFilePatterns(const std::vector<std::string> &arguments)
{
    ExpandedFiles expanded;
    for (const std::string &argument : arguments) {
        if (!hasWildcard(argument) || exists(argument)) {
            expanded.files.push_back(argument);
            continue;
        }
        // GLOB_NOESCAPE: a backslash is a character of the name, as on
        // Windows; the matches are sorted here by their bytes, whatever the
        // locale.
        glob_t found {};
        std::vector<std::string> matches;
        if (glob(argument.c_str(), GLOB_NOSORT | GLOB_NOESCAPE, nullptr, &found) == 0) {
            for (size_t i = 0; i < found.gl_pathc; ++i)
                matches.emplace_back(found.gl_pathv[i]);
        }
        globfree(&found);
        if (matches.empty()) {
            expanded.unmatched.push_back(argument);
            continue;
        }
        std::sort(matches.begin(), matches.end());
        expanded.files.insert(expanded.files.end(), matches.begin(), matches.end());
    }
    return expanded;
}

} // namespace signtool
