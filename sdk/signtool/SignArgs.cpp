#include "SignArgs.h"

#include <cctype>
#include <strings.h>

namespace signtool {

namespace {

bool looksLikeSwitch(const std::string &arg)
{
    if (arg.size() < 2 || arg.size() > 12 || (arg[0] != '/' && arg[0] != '-'))
        return false;
    for (size_t i = 1; i < arg.size(); ++i) {
        if (!std::isalnum(static_cast<unsigned char>(arg[i])))
            return false;
    }
    return true;
}

std::string switchName(const std::string &arg)
{
    std::string name = arg.substr(1);
    for (char &c : name)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return name;
}

// Only the switches this tool knows end a value early: "/p -x7" is a
// password, "/p /t" is a forgotten password.
bool isKnownSwitch(const std::string &arg)
{
    if (!looksLikeSwitch(arg))
        return false;
    const std::string name = switchName(arg);
    return name == "a" || name == "v" || name == "f" || name == "p" || name == "t" || name == "d"
        || name == "du";
}

} // namespace

const char *usageText()
{
    return "Usage: signtool.exe sign [/a | /f PFX [/p PASSWORD]] [/t URL] [/d TEXT] [/du URL] [/v] FILE...";
}

ParseResult parseSignArgs(const std::vector<std::string> &argv)
{
    ParseResult result;
    if (argv.empty()) {
        result.error = "No command given; the only command is \"sign\".";
        return result;
    }
    if (strcasecmp(argv[0].c_str(), "sign") != 0) {
        result.error = "Unknown command: " + argv[0] + " (the only command is \"sign\").";
        return result;
    }

    SignArgs args;
    for (size_t i = 1; i < argv.size(); ++i) {
        const std::string &arg = argv[i];
        if (!looksLikeSwitch(arg)) {
            args.files.push_back(arg);
            continue;
        }
        const std::string name = switchName(arg);
        if (name == "a") {
            args.autoSelect = true;
            continue;
        }
        if (name == "v") {
            args.verbose = true;
            continue;
        }
        std::optional<std::string> *target = nullptr;
        const char *what = nullptr;
        if (name == "f") {
            target = &args.pfxFile;
            what = "a PFX file";
        } else if (name == "p") {
            target = &args.password;
            what = "a password";
        } else if (name == "t") {
            target = &args.timestampUrl;
            what = "a time-stamp server URL";
        } else if (name == "d") {
            target = &args.description;
            what = "a description";
        } else if (name == "du") {
            target = &args.descriptionUrl;
            what = "a description URL";
        } else {
            result.error = "Unknown option: " + arg;
            return result;
        }
        if (i + 1 >= argv.size() || isKnownSwitch(argv[i + 1])) {
            result.error = "Missing value for option " + arg + ": it needs " + what + ".";
            return result;
        }
        *target = argv[++i];
    }

    if (args.autoSelect && args.pfxFile) {
        result.error = "The options /a and /f cannot be combined.";
        return result;
    }
    if (args.password && !args.pfxFile) {
        result.error = "The option /p needs /f with the PFX file.";
        return result;
    }
    if (args.files.empty()) {
        result.error = "No files to sign were given.";
        return result;
    }
    result.args = std::move(args);
    return result;
}

} // namespace signtool
