#pragma once

// File names with "*" or "?" on the command line, expanded by the tool as
// the SDK's tool does (a shell on Windows leaves them to it): each pattern
// in its place, its matches sorted by name; a pattern that matches nothing
// is an error of its own ("File not found: PATTERN"). A name that exists as
// typed is taken as it is, wildcard characters and all.

#include <string>
#include <vector>

namespace signtool {

struct ExpandedFiles {
    std::vector<std::string> files;
    std::vector<std::string> unmatched; // the patterns without a match, in order
};

ExpandedFiles expandFilePatterns(const std::vector<std::string> &arguments);

} // namespace signtool
