#include "ModuleRegistry.h"

#include "ToolSupport.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <map>
#include <optional>

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/auxv.h>
#include <sys/stat.h>
#include <unistd.h>

namespace signtool {

namespace {

// A configuration file is a few lines; a folder holds a few of them.
constexpr off_t kMaxConfigBytes = 64 * 1024;
constexpr size_t kMaxModuleFiles = 1000;

using Settings = std::map<std::string, std::string>;

enum class UserMode { None, Merge, Only, Invalid };

std::string trimmedText(const std::string &text)
{
    const char *blanks = " \t\r\f\v";
    const size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

// The settings of one file's text; nullopt with `error` set when a line is
// no setting.
std::optional<Settings> parseSettings(const std::string &text, const std::string &shownName, std::string &error)
{
    Settings settings;
    size_t start = 0;
    int lineNumber = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = trimmedText(text.substr(start, end - start));
        start = end + 1;
        ++lineNumber;
        if (line.empty() || line[0] == '#')
            continue;
        const size_t colon = line.find(':');
        if (line[0] == '[' || line.rfind("-----BEGIN", 0) == 0 || colon == std::string::npos || colon == 0) {
            error = shownName + " line " + std::to_string(lineNumber) + " is no \"name: value\" setting";
            return std::nullopt;
        }
        settings[trimmedText(line.substr(0, colon))] = trimmedText(line.substr(colon + 1));
    }
    return settings;
}

// Reads the regular file `name` (relative to the folder `dirFd`, or a path
// with AT_FDCWD) through its descriptor, at most kMaxConfigBytes. A missing
// file (and, when `deniedIsMissing`, one that may not be read) gives empty
// settings.
std::optional<Settings> readSettings(int dirFd, const std::string &name, const std::string &shownName,
                                     bool deniedIsMissing, std::string &error)
{
    const int fd = ::openat(dirFd, name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR || (deniedIsMissing && (errno == EACCES || errno == EPERM)))
            return Settings();
        error = shownName + " cannot be read: " + sdktool::errnoText(errno);
        return std::nullopt;
    }
    struct stat st {};
    std::string text;
    if (::fstat(fd, &st) != 0)
        error = shownName + " cannot be read: " + sdktool::errnoText(errno);
    else if (!S_ISREG(st.st_mode))
        error = shownName + " is not a regular file";
    else if (st.st_size > kMaxConfigBytes)
        error = shownName + " is larger than 64 KiB";
    char buffer[8192];
    while (error.empty()) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            error = shownName + " cannot be read: " + sdktool::errnoText(errno);
        else if (n == 0)
            break;
        else if (text.size() + static_cast<size_t>(n) > static_cast<size_t>(kMaxConfigBytes))
            error = shownName + " is larger than 64 KiB";
        else
            text.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    if (!error.empty())
        return std::nullopt;
    if (text.find('\0') != std::string::npos) {
        error = shownName + " holds a NUL byte";
        return std::nullopt;
    }
    return parseSettings(text, shownName, error);
}

UserMode userModeOf(const Settings &settings, UserMode fallback)
{
    const auto it = settings.find("user-config");
    if (it == settings.end())
        return fallback;
    if (it->second == "none")
        return UserMode::None;
    if (it->second == "merge")
        return UserMode::Merge;
    if (it->second == "only" || it->second == "override")
        return UserMode::Only;
    return UserMode::Invalid;
}

// p11-kit names a module by its file name less ".module"; a name of other
// characters is taken whole.
std::string moduleName(const std::string &fileName)
{
    constexpr const char suffix[] = ".module";
    constexpr size_t suffixLength = sizeof suffix - 1;
    bool plain = !fileName.empty() && std::isalnum(static_cast<unsigned char>(fileName[0]));
    for (const char c : fileName)
        plain = plain && (std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.');
    if (plain && fileName.size() > suffixLength && fileName.compare(fileName.size() - suffixLength, suffixLength, suffix) == 0)
        return fileName.substr(0, fileName.size() - suffixLength);
    return fileName;
}

// Adds the module files of `folder` to `modules`: a name already there only
// gains the settings it lacks. A missing folder (or, with
// `deniedIsMissing`, one that may not be read) adds nothing.
bool addModuleFiles(const std::string &folder, bool deniedIsMissing, std::map<std::string, Settings> &modules,
                    std::string &error)
{
    if (folder.empty())
        return true;
    const int dirFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0) {
        if (errno == ENOENT || errno == ENOTDIR || (deniedIsMissing && (errno == EACCES || errno == EPERM)))
            return true;
        error = "the folder " + folder + " cannot be read: " + sdktool::errnoText(errno);
        return false;
    }
    DIR *dir = ::fdopendir(dirFd);
    if (!dir) {
        error = "the folder " + folder + " cannot be read: " + sdktool::errnoText(errno);
        ::close(dirFd);
        return false;
    }
    std::vector<std::string> names;
    while (const dirent *entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == ".." || entry->d_type == DT_DIR)
            continue;
        names.push_back(name);
        if (names.size() > kMaxModuleFiles) {
            error = "the folder " + folder + " holds more than " + std::to_string(kMaxModuleFiles) + " files";
            ::closedir(dir);
            return false;
        }
    }
    bool ok = true;
    for (const std::string &name : names) {
        struct stat st {};
        if (::fstatat(dirFd, name.c_str(), &st, 0) == 0 && S_ISDIR(st.st_mode))
            continue;
        const auto settings = readSettings(dirFd, name, folder + "/" + name, deniedIsMissing, error);
        if (!settings) {
            ok = false;
            break;
        }
        Settings &known = modules[moduleName(name)];
        known.insert(settings->begin(), settings->end()); // keeps what is there
    }
    ::closedir(dir);
    return ok;
}

bool listNames(const std::string &list, const std::string &name)
{
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find_first_of(", \t", start);
        if (end == std::string::npos)
            end = list.size();
        if (end > start && list.compare(start, end - start, name) == 0)
            return true;
        start = end + 1;
    }
    return false;
}

// enable-in wins over disable-in when both are there, as in p11-kit.
bool enabledFor(const Settings &settings, const std::string &program)
{
    const auto enable = settings.find("enable-in");
    if (enable != settings.end())
        return !program.empty() && listNames(enable->second, program);
    const auto disable = settings.find("disable-in");
    return disable == settings.end() || program.empty() || !listNames(disable->second, program);
}

std::string setting(const Settings &settings, const char *name)
{
    const auto it = settings.find(name);
    return it == settings.end() ? std::string() : it->second;
}

std::string homeFolder()
{
    if (const char *home = std::getenv("HOME"); home && *home)
        return home;
    passwd entry {};
    passwd *found = nullptr;
    char buffer[4096];
    if (::getpwuid_r(::getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found && found->pw_dir)
        return found->pw_dir;
    return {};
}

} // namespace

RegistryPlaces systemRegistryPlaces()
{
    RegistryPlaces places;
    places.systemConfig = "/etc/pkcs11/pkcs11.conf";
    places.systemModules = "/etc/pkcs11/modules";
    places.packageModules = "/usr/share/p11-kit/modules";
    places.moduleFolder = QUILLMARK_P11_MODULE_PATH;
    // Neither root nor a set-user-id program takes anything of a user's
    // folder, as p11-kit does not.
    const bool userConfig = ::getuid() != 0 && !::getauxval(AT_SECURE);
    const std::string home = userConfig ? homeFolder() : std::string();
    if (!home.empty()) {
        places.userConfig = home + "/.config/pkcs11/pkcs11.conf";
        places.userModules = home + "/.config/pkcs11/modules";
    }
    places.programName = program_invocation_short_name;
    return places;
}

RegisteredModules registeredModules(const RegistryPlaces &places)
{
    RegisteredModules result;
    std::string &error = result.error;
    const auto global = readSettings(AT_FDCWD, places.systemConfig, places.systemConfig, false, error);
    if (!global)
        return result;
    UserMode mode = userModeOf(*global, UserMode::Merge);
    if (mode != UserMode::None && !places.userConfig.empty()) {
        const auto user = readSettings(AT_FDCWD, places.userConfig, places.userConfig, true, error);
        if (!user)
            return result;
        mode = userModeOf(*user, mode);
    }
    if (mode == UserMode::Invalid) {
        error = "its setting user-config has a value other than none, merge and only";
        return result;
    }

    std::map<std::string, Settings> modules;
    if (mode != UserMode::None && !addModuleFiles(places.userModules, true, modules, error))
        return result;
    if (mode != UserMode::Only
        && (!addModuleFiles(places.systemModules, false, modules, error)
            || !addModuleFiles(places.packageModules, false, modules, error)))
        return result;

    struct Entry {
        int priority;
        std::string name;
        std::string path;
    };
    std::vector<Entry> entries;
    for (const auto &[name, settings] : modules) {
        const std::string module = setting(settings, "module");
        if (module.empty() || !setting(settings, "remote").empty() || setting(settings, "trust-policy") == "yes"
            || !enabledFor(settings, places.programName))
            continue;
        const std::string path = module[0] == '/' ? module : places.moduleFolder + "/" + module;
        entries.push_back({std::atoi(setting(settings, "priority").c_str()), name, path});
    }
    std::stable_sort(entries.begin(), entries.end(), [](const Entry &a, const Entry &b) {
        return a.priority != b.priority ? a.priority > b.priority : a.name < b.name;
    });
    for (Entry &entry : entries) {
        result.paths.push_back(std::move(entry.path));
        result.names.push_back(std::move(entry.name));
    }
    return result;
}

} // namespace signtool
