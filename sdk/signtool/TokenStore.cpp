#include "TokenStore.h"

#include "safefile/ShownText.h"
#include "safefile/TrustedProgram.h"

#include "ModuleDeadline.h"
#include "ModuleRegistry.h"

#include <libp11.h>
#include <openssl/err.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

namespace signtool {

namespace {

// PKCS#11 return values this unit tells apart.
constexpr unsigned long ckrPinIncorrect = 0xA0;
constexpr unsigned long ckrPinLenRange = 0xA2;
constexpr unsigned long ckrPinLocked = 0xA4;

struct ContextDeleter {
    void operator()(PKCS11_CTX *ctx) const
    {
        PKCS11_CTX_unload(ctx);
        PKCS11_CTX_free(ctx);
    }
};
using ContextPtr = std::unique_ptr<PKCS11_CTX, ContextDeleter>;

// A module loaded with its slot list; the slots go before the context.
class LoadedModule {
public:
    explicit LoadedModule(const std::string &path) : m_path(path) {}
    ~LoadedModule()
    {
        if (m_slots)
            PKCS11_release_all_slots(m_ctx.get(), m_slots, m_slotCount);
    }
    LoadedModule(const LoadedModule &) = delete;
    LoadedModule &operator=(const LoadedModule &) = delete;

    // Empty on success, else why the module cannot be used.
    std::string load()
    {
        m_ctx.reset(PKCS11_CTX_new());
        if (!m_ctx)
            return "out of memory";
        ERR_clear_error();
        if (PKCS11_CTX_load(m_ctx.get(), m_path.c_str()) != 0) {
            const std::string reason = sdktool::takeOpensslError();
            // A context whose module never loaded must not be unloaded:
            // libp11 would call into the missing module and crash.
            PKCS11_CTX_free(m_ctx.release());
            return reason.empty() ? "it cannot be loaded" : reason;
        }
        if (PKCS11_enumerate_slots(m_ctx.get(), &m_slots, &m_slotCount) != 0) {
            m_slots = nullptr;
            m_slotCount = 0;
            const std::string reason = sdktool::takeOpensslError();
            return reason.empty() ? "its slots cannot be listed" : reason;
        }
        return std::string();
    }

    unsigned slotCount() const { return m_slotCount; }
    PKCS11_SLOT *slot(unsigned i) const { return m_slots + i; }

    PKCS11_SLOT *slotById(unsigned long id) const
    {
        for (unsigned i = 0; i < m_slotCount; ++i) {
            if (m_slots[i].token && PKCS11_get_slotid_from_slot(m_slots + i) == id)
                return m_slots + i;
        }
        return nullptr;
    }

private:
    std::string m_path;
    ContextPtr m_ctx;
    PKCS11_SLOT *m_slots = nullptr;
    unsigned m_slotCount = 0;
};

std::string text(const char *value)
{
    return value ? std::string(value) : std::string();
}

bool sameId(const unsigned char *a, size_t aLen, const std::vector<unsigned char> &b)
{
    return aLen == b.size() && (aLen == 0 || std::memcmp(a, b.data(), aLen) == 0);
}

PKCS11_KEY *keyWithId(PKCS11_KEY *keys, unsigned count, const std::vector<unsigned char> &id)
{
    for (unsigned i = 0; i < count; ++i) {
        if (sameId(keys[i].id, keys[i].id_len, id))
            return keys + i;
    }
    return nullptr;
}

bool hasKeyWithId(PKCS11_KEY *keys, unsigned count, const std::vector<unsigned char> &id)
{
    return keyWithId(keys, count, id) != nullptr;
}

std::string hexId(const std::vector<unsigned char> &id)
{
    return id.empty() ? "(none)" : sdktool::hexText(id.data(), id.size());
}

// "token "Label" (slot 3)": how the output names a token.
std::string tokenWhere(const std::string &label, unsigned long slotId)
{
    return "token \"" + label + "\" (slot " + std::to_string(slotId) + ")";
}

void scanSlot(const std::string &modulePath, PKCS11_SLOT *slot, TokenScan &scan)
{
    PKCS11_TOKEN *token = slot->token;
    if (!token || !token->initialized)
        return;
    const std::string label = text(token->label);
    const unsigned long slotId = PKCS11_get_slotid_from_slot(slot);
    const std::string where = tokenWhere(label, slotId);
    scan.tokenLabels.push_back(label);

    PKCS11_CERT *certs = nullptr;
    unsigned certCount = 0;
    if (PKCS11_enumerate_certs(token, &certs, &certCount) != 0) {
        scan.moduleErrors.push_back("The certificates of " + where + " cannot be listed: "
                                    + sdktool::takeOpensslError());
        return;
    }
    if (certCount == 0)
        return;
    PKCS11_KEY *privateKeys = nullptr, *publicKeys = nullptr;
    unsigned privateCount = 0, publicCount = 0;
    if (PKCS11_enumerate_keys(token, &privateKeys, &privateCount) != 0)
        privateCount = 0;
    if (PKCS11_enumerate_public_keys(token, &publicKeys, &publicCount) != 0)
        publicCount = 0;
    ERR_clear_error();

    for (unsigned i = 0; i < certCount; ++i) {
        const PKCS11_CERT &cert = certs[i];
        if (!cert.x509)
            continue;
        std::vector<unsigned char> id(cert.id, cert.id + cert.id_len);
        const bool keyVisible = hasKeyWithId(privateKeys, privateCount, id);
        // A hidden private key shows through its public half.
        const bool pairVisible = token->loginRequired && hasKeyWithId(publicKeys, publicCount, id);
        if (id.empty() || (!keyVisible && !pairVisible)) {
            scan.passedOver.push_back("Passed over the certificate \"" + text(cert.label) + "\" (id " + hexId(id)
                                      + ") on " + where + ": no private key with its id.");
            continue;
        }
        TokenCertificate found;
        found.modulePath = modulePath;
        found.slotId = slotId;
        found.tokenLabel = label;
        found.tokenSerial = text(token->serialnr);
        found.tokenManufacturer = text(token->manufacturer);
        found.tokenModel = text(token->model);
        found.objectLabel = text(cert.label);
        const PKCS11_KEY *key = keyWithId(privateKeys, privateCount, id);
        if (!key)
            key = keyWithId(publicKeys, publicCount, id);
        found.keyLabel = key ? text(key->label) : std::string();
        found.id = std::move(id);
        found.loginRequired = token->loginRequired;
        found.protectedAuthPath = token->secureLogin;
        found.pinLocked = token->userPinLocked;
        found.pinFinalTry = token->userPinFinalTry;
        found.cert.reset(X509_dup(cert.x509));
        if (found.cert)
            scan.certificates.push_back(std::move(found));
    }
}

} // namespace

std::string uriEscape(const std::string &value)
{
    std::string result;
    for (unsigned char c : value) {
        // RFC 7512's unreserved characters stay as they are.
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~')
            result += static_cast<char>(c);
        else
            result += '%' + sdktool::hexText(&c, 1, true);
    }
    return result;
}

std::string uriEscape(const std::vector<unsigned char> &bytes)
{
    std::string result;
    for (unsigned char c : bytes)
        result += '%' + sdktool::hexText(&c, 1, true);
    return result;
}

std::string TokenCertificate::certificateUri() const
{
    std::string uri = "pkcs11:";
    if (!tokenModel.empty())
        uri += "model=" + uriEscape(tokenModel) + ";";
    if (!tokenManufacturer.empty())
        uri += "manufacturer=" + uriEscape(tokenManufacturer) + ";";
    if (!tokenSerial.empty())
        uri += "serial=" + uriEscape(tokenSerial) + ";";
    uri += "token=" + uriEscape(tokenLabel) + ";id=" + uriEscape(id);
    return uri + ";type=cert";
}

std::string TokenCertificate::privateKeyUri() const
{
    const std::string certUri = certificateUri();
    return certUri.substr(0, certUri.size() - std::strlen("cert")) + "private";
}

std::string TokenCertificate::where() const
{
    return tokenWhere(tokenLabel, slotId);
}

std::vector<std::string> pkcs11Modules(std::string &error, std::vector<std::string> *names)
{
    error.clear();
    if (const char *list = std::getenv("QUILLMARK_PKCS11_MODULE"); list && *list) {
        std::vector<std::string> paths = sdktool::splitNonEmpty(list, ':');
        if (names)
            names->assign(paths.size(), std::string());
        return paths;
    }

    // Read, not loaded: each module is opened by scanTokens, after the
    // check of its path (ModuleRegistry.h).
    RegisteredModules registered = registeredModules(systemRegistryPlaces());
    if (!registered.error.empty())
        error = "the p11-kit module registry cannot be read: " + registered.error;
    if (names)
        *names = registered.names;
    return registered.paths;
}

TokenScan scanTokens(const std::vector<std::string> &modulePaths)
{
    TokenScan scan;
    for (const std::string &path : modulePaths) {
        // Declared first, so that it also covers the module's unloading.
        // Running as root, a module is code that runs with root's rights.
        if (const std::string refusal = safefile::programRefusalForRoot(path); !refusal.empty()) {
            // A warning about root's safety, not a module that failed to
            // open: shown with /v, whatever was found.
            scan.passedOver.push_back("Passed over the PKCS#11 module " + path + ": it is not used: " + refusal
                                        + ".");
            scan.refusedModules.push_back(scan.passedOver.back());
            continue;
        }
        const ModuleDeadline deadline(path, "listing its tokens");
        LoadedModule module(path);
        if (const std::string error = module.load(); !error.empty()) {
            scan.moduleErrors.push_back("Passed over the PKCS#11 module " + path + ": " + error + ".");
            continue;
        }
        for (unsigned i = 0; i < module.slotCount(); ++i)
            scanSlot(path, module.slot(i), scan);
    }
    return scan;
}

struct TokenKey::Impl {
    explicit Impl(const std::string &path) : module(path), modulePath(path) {}
    ~Impl()
    {
        EVP_PKEY_free(key);
        if (loggedIn)
            PKCS11_logout(slot);
    }
    LoadedModule module;
    std::string modulePath;
    PKCS11_SLOT *slot = nullptr;
    bool loggedIn = false;
    EVP_PKEY *key = nullptr;
    std::mutex operations;
};

TokenKey::TokenKey(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}

TokenKey::~TokenKey()
{
    // Logging out and unloading are calls into the module too.
    const int seconds = ModuleDeadline::timeoutSeconds();
    const ModuleDeadline deadline("The PKCS#11 module " + safefile::shownText(m_impl->modulePath) + " did not answer within "
                                      + std::to_string(seconds)
                                      + " seconds while logging out, after the files were signed as reported.",
                                  seconds);
    m_impl.reset();
}

EVP_PKEY *TokenKey::key() const
{
    return m_impl->key;
}

bool TokenKey::use(const std::function<bool()> &operation, const std::string &messageIfHung, int seconds) const
{
    const std::lock_guard<std::mutex> oneAtATime(m_impl->operations);
    const ModuleDeadline deadline(messageIfHung, seconds);
    return operation();
}

namespace {

// The private key with `id` among those the token shows now.
PKCS11_KEY *privateKeyWithId(PKCS11_TOKEN *token, const std::vector<unsigned char> &id)
{
    PKCS11_KEY *keys = nullptr;
    unsigned count = 0;
    return PKCS11_enumerate_keys(token, &keys, &count) == 0 ? keyWithId(keys, count, id) : nullptr;
}

// One login, never retried: tokens lock after a few wrong PINs.
PinCheck logIn(PKCS11_SLOT *slot, const char *pin, std::string &detail)
{
    ERR_clear_error();
    if (PKCS11_login(slot, 0, pin) == 0)
        return PinCheck::Correct;
    const unsigned long code = ERR_peek_last_error();
    const unsigned long reason = static_cast<unsigned long>(ERR_GET_REASON(code));
    detail = sdktool::takeOpensslError();
    if (reason == ckrPinIncorrect || reason == ckrPinLenRange)
        return PinCheck::Wrong;
    if (reason == ckrPinLocked)
        return PinCheck::Locked;
    return PinCheck::Failed;
}

} // namespace

int tokenSignatureTimeoutSeconds()
{
    return 5 * ModuleDeadline::timeoutSeconds();
}

PinCheck openTokenKey(const TokenCertificate &token, const std::string *pin, std::unique_ptr<TokenKey> &key,
                      std::string &detail)
{
    key.reset();
    // A PIN pad waits for the user as the PIN dialog does: the time of a
    // signature, not that of a module's answer.
    const bool pinPad = token.loginRequired && !pin;
    const int seconds = pinPad ? tokenSignatureTimeoutSeconds() : ModuleDeadline::timeoutSeconds();
    const char *doing = pinPad ? "waiting for the PIN on the token's PIN pad" : "checking the PIN";
    const ModuleDeadline deadline(ModuleDeadline::expiryMessage(token.modulePath, doing, seconds), seconds);
    auto impl = std::make_unique<TokenKey::Impl>(token.modulePath);
    if (const std::string error = impl->module.load(); !error.empty()) {
        detail = "the PKCS#11 module " + token.modulePath + " cannot be used: " + error;
        return PinCheck::Failed;
    }
    impl->slot = impl->module.slotById(token.slotId);
    if (!impl->slot) {
        detail = token.where() + " is no longer present";
        return PinCheck::Failed;
    }
    if (token.loginRequired) {
        const PinCheck login = logIn(impl->slot, pin ? pin->c_str() : nullptr, detail);
        if (login != PinCheck::Correct)
            return login;
        impl->loggedIn = true;
    }
    PKCS11_KEY *found = privateKeyWithId(impl->slot->token, token.id);
    impl->key = found ? PKCS11_get_private_key(found) : nullptr;
    ERR_clear_error();
    if (!impl->key)
        return PinCheck::KeyMissing;
    key.reset(new TokenKey(std::move(impl)));
    return PinCheck::Correct;
}

} // namespace signtool
