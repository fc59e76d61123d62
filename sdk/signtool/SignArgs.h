#pragma once

// Command line of the stand-in signtool.exe:
//
//   signtool.exe sign [/a | /f PFX [/p PASSWORD]] [/t URL] [/d TEXT] [/du URL] [/v] FILE...
//
// Switches start with "/" or "-" and ignore letter case (/A, -v), as the
// Windows tool's do. Any token that looks like a switch (a "/" or "-"
// followed only by letters and digits, such as "/x" or "/tr") is read as
// one wherever it stands, so an unknown one is reported instead of being
// taken for a file; everything else is a file. A switch that needs a value
// and is followed by nothing or by another switch of this tool is a usage
// error; any other token after it is its value, so "/p -Xy7" is a password.

#include <optional>
#include <string>
#include <vector>

namespace signtool {

struct SignArgs {
    bool autoSelect = false;            // /a
    std::optional<std::string> pfxFile; // /f
    std::optional<std::string> password; // /p
    std::optional<std::string> timestampUrl; // /t
    std::optional<std::string> description;  // /d
    std::optional<std::string> descriptionUrl; // /du
    bool verbose = false;               // /v
    std::vector<std::string> files;
};

struct ParseResult {
    std::optional<SignArgs> args;
    std::string error; // the usage problem when args is empty
};

// `argv` without the program name: the verb first.
ParseResult parseSignArgs(const std::vector<std::string> &argv);

const char *usageText();

} // namespace signtool
