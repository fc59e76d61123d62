#include "TokenChoice.h"

#include "ToolSupport.h"

#include <cctype>
#include <cerrno>
#include <strings.h>
#include <sys/stat.h>

namespace signtool {

namespace {

const char kPinRefusal[] = "a command line can be read by every user of this computer, so a PIN is never taken "
                           "from it here: leave it out, and the PIN is asked for through pinentry";

std::string trimmed(const std::string &text)
{
    const size_t start = text.find_first_not_of(' ');
    if (start == std::string::npos)
        return std::string();
    return text.substr(start, text.find_last_not_of(' ') - start + 1);
}

bool sameTokenLabel(const std::string &a, const std::string &b)
{
    return strcasecmp(trimmed(a).c_str(), trimmed(b).c_str()) == 0;
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// "a1", "A1B2", "a1:b2": a CKA_ID; unset when the text is no such thing.
std::optional<std::vector<unsigned char>> hexId(const std::string &text)
{
    std::string digits;
    for (char c : text) {
        if (c != ':')
            digits += c;
    }
    if (digits.empty() || digits.size() % 2 != 0)
        return std::nullopt;
    std::vector<unsigned char> id;
    for (size_t i = 0; i < digits.size(); i += 2) {
        const int high = hexValue(digits[i]), low = hexValue(digits[i + 1]);
        if (high < 0 || low < 0)
            return std::nullopt;
        id.push_back(static_cast<unsigned char>(high * 16 + low));
    }
    return id;
}

// RFC 7512's percent-encoding undone; unset when an escape is cut short.
std::optional<std::string> percentDecoded(const std::string &text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        const int high = i + 2 < text.size() ? hexValue(text[i + 1]) : -1;
        const int low = i + 2 < text.size() ? hexValue(text[i + 2]) : -1;
        if (high < 0 || low < 0)
            return std::nullopt;
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return out;
}

// "[READER{{PIN}}]=NAME": whether a PIN is given between the braces.
bool holdsBracedPin(const std::string &text)
{
    const size_t open = text.find("{{");
    const size_t close = open == std::string::npos ? std::string::npos : text.find("}}", open + 2);
    return close != std::string::npos && close > open + 2;
}

struct Attribute {
    std::string name;
    std::string value;
};

// The attributes of one part of a pkcs11: URI, `separator` between them.
std::optional<std::vector<Attribute>> attributes(const std::string &part, char separator, std::string &error)
{
    std::vector<Attribute> result;
    for (const std::string &item : sdktool::splitNonEmpty(part, separator)) {
        const size_t equals = item.find('=');
        const std::optional<std::string> value
            = equals == std::string::npos ? std::nullopt : percentDecoded(item.substr(equals + 1));
        if (!value) {
            error = "its pkcs11: URI cannot be read (an attribute without a value, or a broken %-escape)";
            return std::nullopt;
        }
        result.push_back({item.substr(0, equals), *value});
    }
    return result;
}

// What a pkcs11: URI names. `module` gets its module-path or module-name.
bool readUri(const std::string &uri, TokenFilter &filter, std::string &module, std::string &error)
{
    const std::string rest = uri.substr(std::string("pkcs11:").size());
    const size_t question = rest.find('?');
    const auto path = attributes(rest.substr(0, question), ';', error);
    const auto query = attributes(question == std::string::npos ? std::string() : rest.substr(question + 1), '&', error);
    if (!path || !query)
        return false;
    for (const Attribute &a : *path) {
        if (a.name == "token")
            filter.tokenLabel = a.value;
        else if (a.name == "manufacturer")
            filter.manufacturer = a.value;
        else if (a.name == "serial")
            filter.serial = a.value;
        else if (a.name == "model")
            filter.model = a.value;
        else if (a.name == "object")
            filter.objectLabel = a.value;
        else if (a.name == "id")
            filter.id = std::vector<unsigned char>(a.value.begin(), a.value.end());
        else if (a.name == "type") {
            if (a.value != "private" && a.value != "cert") {
                error = "its pkcs11: URI names objects of the type " + a.value
                        + "; it names a private key (type=private) or its certificate (type=cert)";
                return false;
            }
        } else if (a.name.rfind("library-", 0) != 0 && a.name.rfind("slot-", 0) != 0) {
            error = "its pkcs11: URI has the attribute " + a.name + ", which is not known here";
            return false;
        }
    }
    for (const Attribute &a : *query) {
        if (a.name == "pin-value" || a.name == "pin-source") {
            error = std::string(a.name == "pin-value" ? "it holds a PIN (pin-value" : "it names the PIN's source (pin-source")
                    + " in its pkcs11: URI); " + kPinRefusal;
            return false;
        }
        if (a.name == "module-path" || a.name == "module-name")
            module = a.value;
        else {
            error = "its pkcs11: URI has the query attribute " + a.name + ", which is not known here";
            return false;
        }
    }
    return true;
}

// What /kc names, into `filter`; `module` gets a module the URI names.
bool readKeyContainer(const std::string &text, TokenFilter &filter, std::string &module, std::string &error)
{
    if (holdsBracedPin(text)) {
        error = std::string("it holds a PIN ([{{PIN}}]=NAME); ") + kPinRefusal + " ([{{}}]=NAME or NAME)";
        return false;
    }
    if (text.rfind("pkcs11:", 0) == 0)
        return readUri(text, filter, module, error);
    const size_t close = text.find("]=");
    if (!text.empty() && text[0] == '[' && close != std::string::npos) {
        std::string reader = text.substr(1, close - 1);
        if (const size_t braces = reader.find("{{"); braces != std::string::npos)
            reader.erase(braces, reader.find("}}", braces) == std::string::npos ? std::string::npos : 4);
        filter.tokenLabel = trimmed(reader);
        filter.labelOrId = text.substr(close + 2);
    } else {
        filter.labelOrId = text;
    }
    if (filter.labelOrId.empty()) {
        error = "it names no key (the label of a key or of its certificate, its id in hex, or a pkcs11: URI)";
        return false;
    }
    return true;
}

std::string baseName(const std::string &path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The module /csp (or a URI's module-name) names among those in use:
// by its p11-kit name or its library's file name; empty when none.
std::string moduleNamed(const std::string &name, const std::vector<std::string> &modules,
                        const std::vector<std::string> &names)
{
    for (size_t i = 0; i < modules.size(); ++i) {
        // RFC 7512's module-name: the library's name without "lib" and ".so".
        const std::string file = baseName(modules[i]);
        if ((i < names.size() && strcasecmp(names[i].c_str(), name.c_str()) == 0) || file == name
            || file == "lib" + name + ".so")
            return modules[i];
    }
    return std::string();
}

} // namespace

bool TokenFilter::matches(const TokenCertificate &c) const
{
    if ((!tokenLabel.empty() && !sameTokenLabel(tokenLabel, c.tokenLabel))
        || (!providerAsTokenLabel.empty() && !sameTokenLabel(providerAsTokenLabel, c.tokenLabel))
        || (!manufacturer.empty() && trimmed(manufacturer) != trimmed(c.tokenManufacturer))
        || (!serial.empty() && trimmed(serial) != trimmed(c.tokenSerial))
        || (!model.empty() && trimmed(model) != trimmed(c.tokenModel)))
        return false;
    const auto labelled = [&c](const std::string &label) { return label == c.keyLabel || label == c.objectLabel; };
    if (!objectLabel.empty() && !labelled(objectLabel))
        return false;
    if (id && *id != c.id)
        return false;
    if (!labelOrId.empty() && !labelled(labelOrId)) {
        const auto asId = hexId(labelOrId);
        return asId && *asId == c.id;
    }
    return true;
}

bool TokenFilter::namesTokenAmong(const std::vector<std::string> &tokenLabels) const
{
    for (const std::string &label : tokenLabels) {
        if (sameTokenLabel(label, providerAsTokenLabel))
            return true;
    }
    return false;
}

std::string TokenFilter::describe() const
{
    std::string text;
    const std::string key = !labelOrId.empty() ? labelOrId : objectLabel;
    if (!key.empty())
        text += " with the key \"" + key + "\"";
    else if (id)
        text += " with the key of id " + (id->empty() ? std::string("(none)") : sdktool::hexText(id->data(), id->size()));
    const std::string token = !tokenLabel.empty() ? tokenLabel : providerAsTokenLabel;
    if (!token.empty())
        text += " on the token \"" + token + "\"";
    return text;
}

std::string keyContainerProblem(const std::string &text)
{
    TokenFilter unused;
    std::string module, error;
    return readKeyContainer(text, unused, module, error) ? std::string() : error;
}

std::optional<TokenFilter> tokenFilter(const std::optional<std::string> &provider,
                                       const std::optional<std::string> &keyContainer,
                                       const std::vector<std::string> &modulesInUse,
                                       const std::vector<std::string> &moduleNames, std::string &error)
{
    TokenFilter filter;
    std::string uriModule;
    if (keyContainer && !readKeyContainer(*keyContainer, filter, uriModule, error)) {
        error = "The key named with /kc cannot be used: " + error + ".";
        return std::nullopt;
    }
    const std::string named = provider ? *provider : uriModule;
    const char *how = provider ? "/csp" : "the pkcs11: URI of /kc";
    if (provider && !uriModule.empty() && uriModule != *provider
        && moduleNamed(uriModule, modulesInUse, moduleNames) != moduleNamed(*provider, modulesInUse, moduleNames)) {
        error = "/csp and the pkcs11: URI of /kc name different PKCS#11 modules.";
        return std::nullopt;
    }
    filter.modules = modulesInUse;
    if (named.empty())
        return filter;
    if (named.find('/') != std::string::npos) {
        // A module of its own choosing, checked like any other before it is
        // loaded (as root: TrustedProgram.h).
        struct stat st {};
        const bool found = stat(named.c_str(), &st) == 0;
        if (!found || !S_ISREG(st.st_mode)) {
            error = "The PKCS#11 module " + named + " named with " + how + " cannot be used: "
                    + (!found ? sdktool::errnoText(errno) : std::string("it is not a regular file")) + ".";
            return std::nullopt;
        }
        filter.modules = {named};
    } else if (const std::string module = moduleNamed(named, modulesInUse, moduleNames); !module.empty()) {
        filter.modules = {module};
    } else if (provider) {
        filter.providerAsTokenLabel = *provider;
    } else {
        error = "The module-name " + named + " of the pkcs11: URI of /kc names no PKCS#11 module in use.";
        return std::nullopt;
    }
    return filter;
}

} // namespace signtool
