#include "CertStore.h"

#include "ModuleDeadline.h"

#include "CertSelect.h"
#include "Pinentry.h"
#include "SignArgs.h"
#include "TokenChoice.h"
#include "safefile/ShownText.h"

#include <openssl/err.h>
#include <openssl/pem.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace sdktool;

namespace signtool {

namespace {

bool hasStoreExtension(const std::string &name)
{
    if (name.size() < 4)
        return false;
    const std::string ext = name.substr(name.size() - 4);
    return strcasecmp(ext.c_str(), ".pfx") == 0 || strcasecmp(ext.c_str(), ".p12") == 0;
}

// Far above any certificate chain with its key; a bigger "PFX file" is
// something else and is not read into memory.
constexpr off_t kMaxPfxSize = 16 * 1024 * 1024;

// Why a certificate of the store or of a token cannot sign now; null when
// it can.
const char *unusableReason(X509 *cert, time_t now)
{
    if (!isValidAt(cert, now))
        return "not valid now";
    if (!isCodeSigningUsable(cert))
        return "not for code signing";
    return nullptr;
}

// The other certificates of the store files (their chains, without a
// password as the store keeps them), through which /r builds a path.
std::vector<CertPtr> storeChainCertificates(const std::vector<SigningIdentity> &usable)
{
    std::vector<CertPtr> chains;
    for (const SigningIdentity &identity : usable) {
        Pkcs12Contents contents;
        std::string detail;
        if (identity.token || identity.pfxData.empty()
            || parsePkcs12(identity.pfxData, std::string(), contents, detail) != Pkcs12Status::Ok)
            continue;
        for (auto &other : contents.others)
            chains.push_back(std::move(other));
    }
    return chains;
}

IdentityChoice failure(std::string error)
{
    IdentityChoice choice;
    choice.error = std::move(error);
    return choice;
}

std::string describeRule(const SignArgs &args)
{
    std::string text;
    if (args.certSha1)
        text += " with the SHA-1 hash " + *args.certSha1;
    if (args.subjectName)
        text += std::string(text.empty() ? " with" : " and with") + " \"" + *args.subjectName
                + "\" in the subject name";
    if (args.issuerName)
        text += std::string(text.empty() ? " with" : " and with") + " \"" + *args.issuerName + "\" in the issuer name";
    if (args.usageOid)
        text += std::string(text.empty() ? " with" : " and with") + " the usage " + *args.usageOid;
    if (args.rootSubject)
        text += std::string(text.empty() ? " with" : " and with") + " a root whose subject contains \""
                + *args.rootSubject + "\"";
    if (args.templateName)
        text += std::string(text.empty() ? " with" : " and with") + " the certificate template \""
                + *args.templateName + "\"";
    return text;
}

// With /f beside /csp or /kc the file is the certificate, as on Windows
// (a .cer: PEM or DER): its thumbprint, or empty with `error` set.
std::string certificateFileThumbprint(const std::string &path, std::string &error)
{
    // A certificate is a few kilobytes; anything far larger is not read.
    constexpr off_t kMaxCertificateFileBytes = 1024 * 1024;
    std::string data, readError;
    if (!readWholeFile(path, data, readError, kMaxCertificateFileBytes)) {
        error = "Cannot read the certificate file " + path + " given with /f: " + readError + ".";
        return std::string();
    }
    BioPtr bio(BIO_new_mem_buf(data.data(), static_cast<int>(data.size())));
    CertPtr cert(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!cert) {
        const unsigned char *p = reinterpret_cast<const unsigned char *>(data.data());
        cert.reset(d2i_X509(nullptr, &p, static_cast<long>(data.size())));
    }
    ERR_clear_error();
    if (!cert) {
        error = "The certificate file " + path + " given with /f beside /csp or /kc holds no certificate (PEM or DER).";
        return std::string();
    }
    return sha1Thumbprint(cert.get());
}

// Certificates of the store files first (in name order), then those of the
// tokens: the order that breaks a tie between equal expiry dates. With /csp
// or /kc only the tokens' (TokenChoice.h).
IdentityChoice chooseAmongStoreAndTokens(const SignArgs &args)
{
    IdentityChoice choice;
    const bool tokenNamed = args.cryptoProvider || args.keyContainer;
    std::optional<std::string> sha1 = args.certSha1;
    if (tokenNamed && args.pfxFile) {
        std::string error;
        sha1 = certificateFileThumbprint(*args.pfxFile, error);
        if (sha1->empty())
            return failure(error);
    }
    const std::string folder = storeFolder();
    std::string storeError;
    std::vector<SigningIdentity> usable;
    if (!tokenNamed)
        usable = usableStoreCertificates(folder, choice.notes, storeError);
    if (!storeError.empty())
        choice.notes.push_back(storeError);

    std::string registryError;
    std::vector<std::string> names;
    std::vector<std::string> modules = pkcs11Modules(registryError, &names);
    if (!registryError.empty())
        choice.notes.push_back("PKCS#11 tokens are not searched: " + registryError + ".");
    std::optional<TokenFilter> filter;
    if (tokenNamed) {
        std::string error;
        filter = tokenFilter(args.cryptoProvider, args.keyContainer, modules, names, error);
        if (!filter)
            return failure(error);
        modules = filter->modules;
    }
    TokenScan scan = scanTokens(modules);
    choice.moduleNotes = std::move(scan.moduleErrors);
    choice.notes.insert(choice.notes.end(), scan.passedOver.begin(), scan.passedOver.end());
    if (tokenNamed)
        choice.refusedModules = std::move(scan.refusedModules);
    if (filter && !filter->providerAsTokenLabel.empty() && !filter->namesTokenAmong(scan.tokenLabels)) {
        choice.error = "/csp " + *args.cryptoProvider + " names no PKCS#11 module or token here: name the module's "
                       "file, its p11-kit name or its token's label (Windows' providers do not exist here).";
        return choice;
    }
    const time_t now = std::time(nullptr);
    for (TokenCertificate &found : scan.certificates) {
        if (filter && !filter->matches(found))
            continue;
        if (const char *skip = unusableReason(found.cert.get(), now)) {
            choice.notes.push_back("Passed over \"" + commonName(found.cert.get()) + "\" on " + found.where() + ": "
                                   + skip + ".");
            continue;
        }
        SigningIdentity identity;
        identity.cert = std::move(found.cert);
        identity.token = std::move(found);
        usable.push_back(std::move(identity));
    }

    std::vector<X509 *> candidates;
    for (const auto &identity : usable)
        candidates.push_back(identity.cert.get());
    SelectionRule selectionRule;
    selectionRule.autoSelect = args.autoSelect;
    selectionRule.sha1 = sha1;
    selectionRule.subjectName = args.subjectName;
    selectionRule.issuerName = args.issuerName;
    selectionRule.usageOid = args.usageOid;
    selectionRule.rootSubject = args.rootSubject;
    selectionRule.templateName = args.templateName;
    const std::vector<CertPtr> chains = args.rootSubject ? storeChainCertificates(usable) : std::vector<CertPtr>();
    selectionRule.chainCertificates = candidates;
    for (const auto &cert : chains)
        selectionRule.chainCertificates.push_back(cert.get());
    const Selection selection = selectCertificate(candidates, selectionRule);
    if (selection.index) {
        choice.identity = std::move(usable[*selection.index]);
        return choice;
    }
    if (usable.empty() && !storeError.empty()) {
        choice.error = storeError + (modules.empty() ? "" : " No PKCS#11 token holds a usable certificate either.");
        return choice;
    }
    const std::string searched = tokenNamed ? std::string("PKCS#11 tokens")
                                            : "store: " + folder
                                                  + (modules.empty() ? std::string() : ", and PKCS#11 tokens");
    std::string rule = describeRule(args) + (filter ? filter->describe() : std::string());
    if (tokenNamed && args.pfxFile)
        rule += (rule.empty() ? " that is" : " and that is") + std::string(" the certificate in ") + *args.pfxFile;
    if (selection.problem == Selection::Problem::SeveralMatch)
        choice.error = std::to_string(selection.matching) + " usable certificates were found" + rule + " ("
                       + searched + "); choose with /a (the best one), /sha1, /n"
                       + (tokenNamed ? " or /kc." : " or /f (a PFX file).");
    else
        choice.error = "No certificates were found that met all the given criteria (" + searched + ")"
                       + (rule.empty() ? std::string() : ": a certificate" + rule) + ".";
    return choice;
}

// The token's key for the run, opened with `pin` (null: none, or the PIN
// pad's); empty when it is open, else the error.
std::string openKey(SigningIdentity &identity, const std::string *pin)
{
    const TokenCertificate &token = *identity.token;
    const std::string who = "\"" + commonName(identity.cert.get()) + "\"";
    std::unique_ptr<TokenKey> key;
    std::string detail;
    switch (openTokenKey(token, pin, key, detail)) {
    case PinCheck::Correct:
        identity.tokenKey = std::move(key);
        return std::string();
    case PinCheck::Wrong:
        return "The PIN of " + token.where() + " is not correct. It was not tried again, since the token locks "
               "after a few wrong PINs.";
    case PinCheck::Locked:
        return "The PIN of " + token.where() + " is locked; unlock the token with its own tool first.";
    case PinCheck::KeyMissing:
        return "The private key of the certificate " + who + " is not on " + token.where() + ".";
    case PinCheck::Failed:
        break;
    }
    return "Logging in to " + token.where() + " failed: " + detail + ".";
}

std::string unlockToken(SigningIdentity &identity, bool pageHashes)
{
    const TokenCertificate &token = *identity.token;
    // Not "\"" + a temporary: GCC 12 warns about that (-Wrestrict, a false alarm).
    const std::string name = commonName(identity.cert.get());
    const std::string who = "\"" + name + "\"";
    if (token.pinLocked)
        return "The PIN of " + token.where() + " is locked; unlock the token with its own tool first.";
    // A PIN pad takes the PIN itself, and some tokens need none at all. With
    // /ph osslsigncode signs every file and logs in itself: nothing to
    // check here.
    if (!token.loginRequired || token.protectedAuthPath)
        return pageHashes ? std::string() : openKey(identity, nullptr);

    PinRequest request;
    request.title = "Token PIN";
    request.description = "Please enter the PIN of " + token.where() + " to sign with the certificate " + who + "."
        + (token.pinFinalTry ? " This is the last try before the token locks." : "");
    request.prompt = "PIN:";
    // A run that must not wait long (QUILLMARK_PKCS11_TIMEOUT set) gives the
    // dialog that long too, not the five minutes a person at the desk gets.
    if (const char *limit = std::getenv("QUILLMARK_PKCS11_TIMEOUT"); limit && *limit)
        request.timeoutSeconds = ModuleDeadline::timeoutSeconds();
    PinAnswer answer = askForPin(request);
    if (answer.status == PinAnswer::Status::Cancelled)
        return "The PIN was not entered.";
    if (answer.status == PinAnswer::Status::Failed)
        return "The PIN cannot be asked for: " + answer.detail + ".";
    // The one login of the run; the PIN is kept only for osslsigncode,
    // which signs the other formats (and /ph) with its own login.
    std::string error = openKey(identity, &answer.pin);
    if (error.empty() && pageHashes)
        identity.tokenKey.reset();
    if (error.empty())
        identity.password.swap(answer.pin);
    wipe(answer.pin);
    return error;
}

} // namespace

std::string storeFolder()
{
    const char *env = std::getenv("QUILLMARK_CERT_STORE");
    if (env && *env)
        return env;
    return ownFolder() + "certstore";
}

bool readPfxFile(int folder, const std::string &name, std::string &data, std::string &problem)
{
    struct stat st {};
    if (fstatat(folder, name.c_str(), &st, 0) != 0) {
        problem = errnoText(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        problem = S_ISDIR(st.st_mode) ? "it is a folder" : "it is not a regular file";
        return false;
    }
    const int fd = openat(folder, name.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        problem = errnoText(errno);
        return false;
    }
    // Checked again on what was opened: the name may have changed since.
    if (fstat(fd, &st) != 0)
        problem = errnoText(errno);
    else if (!S_ISREG(st.st_mode))
        problem = "it is not a regular file";
    else if (st.st_size > kMaxPfxSize)
        problem = "it is too large to be a PFX file";
    data.clear();
    char buffer[65536];
    while (problem.empty()) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            problem = errnoText(errno);
        else if (n == 0)
            break;
        else if (data.size() + static_cast<size_t>(n) > static_cast<size_t>(kMaxPfxSize))
            problem = "it is too large to be a PFX file";
        else
            data.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    return problem.empty();
}

std::vector<SigningIdentity> usableStoreCertificates(const std::string &folder, std::vector<std::string> &notes,
                                                     std::string &error)
{
    std::vector<std::string> names;
    DIR *dir = opendir(folder.c_str());
    if (!dir) {
        error = "The certificate store " + folder + " cannot be opened: " + errnoText(errno) + ".";
        return {};
    }
    while (const dirent *entry = readdir(dir)) {
        if (hasStoreExtension(entry->d_name))
            names.push_back(entry->d_name);
    }
    std::sort(names.begin(), names.end());

    const time_t now = std::time(nullptr);
    std::vector<SigningIdentity> usable;
    for (const auto &name : names) {
        const std::string path = folder + "/" + name;
        std::string data;
        std::string problem;
        if (!readPfxFile(dirfd(dir), name, data, problem)) {
            notes.push_back("Passed over " + path + ": " + problem + ".");
            continue;
        }
        Pkcs12Contents contents;
        std::string detail;
        const Pkcs12Status status = parsePkcs12(data, std::string(), contents, detail);
        const char *skip = nullptr;
        if (status == Pkcs12Status::WrongPassword)
            skip = "protected by a password";
        else if (status != Pkcs12Status::Ok)
            skip = "no readable certificate with its private key";
        else
            skip = unusableReason(contents.cert.get(), now);
        if (skip) {
            notes.push_back("Passed over " + path + ": " + skip + ".");
            continue;
        }
        usable.push_back(
            SigningIdentity{path, std::string(), std::move(contents.cert), std::nullopt, std::move(data), nullptr});
    }
    closedir(dir);
    return usable;
}

IdentityChoice openPfx(const std::string &path, const std::string &password)
{
    std::string data;
    std::string detail;
    if (!readPfxFile(AT_FDCWD, path, data, detail))
        return failure("The PFX file " + path + " cannot be read: " + detail + ".");
    Pkcs12Contents contents;
    switch (parsePkcs12(data, password, contents, detail)) {
    case Pkcs12Status::Ok:
        break;
    case Pkcs12Status::NotPkcs12:
        return failure(path + " is not a readable PFX file" + (detail.empty() ? "" : " (" + detail + ")") + ".");
    case Pkcs12Status::WrongPassword:
        return failure(password.empty() ? "The PFX file " + path + " needs a password (/p)."
                                        : std::string("The specified PFX password is not correct."));
    case Pkcs12Status::NoKeyOrCert:
        return failure("The PFX file " + path + " holds no certificate with its private key.");
    }
    X509 *cert = contents.cert.get();
    if (!isValidAt(cert, std::time(nullptr)))
        return failure("The certificate in " + path + " is not valid now (valid from "
                       + timeText(X509_get0_notBefore(cert)) + " to " + timeText(X509_get0_notAfter(cert)) + ").");
    if (!isCodeSigningUsable(cert))
        return failure("The certificate in " + path + " is not meant for code signing.");
    IdentityChoice choice;
    choice.identity = SigningIdentity{path, password, std::move(contents.cert), std::nullopt, std::move(data), nullptr};
    return choice;
}

IdentityChoice chooseIdentity(const SignArgs &args)
{
    // Beside /csp or /kc, /f names the token's certificate, as on Windows.
    const bool pfx = args.pfxFile && !args.cryptoProvider && !args.keyContainer;
    IdentityChoice choice = pfx ? openPfx(*args.pfxFile, args.password.value_or(std::string()))
                                : chooseAmongStoreAndTokens(args);
    if (choice.identity && choice.identity->token) {
        if (std::string error = unlockToken(*choice.identity, args.pageHashes); !error.empty()) {
            choice.identity.reset();
            choice.error = std::move(error);
        }
    }
    if (choice.identity && !passwordSurvivesReadpass(choice.identity->password)) {
        choice.identity.reset();
        choice.error = "This PFX password cannot be handed to osslsigncode (it is longer than 4095 bytes, "
                       "ends in a line break or starts with a byte order mark).";
    }
    return choice;
}

bool SigningIdentity::useKey(const std::string &file, const std::function<bool()> &operation) const
{
    if (!tokenKey)
        return operation();
    // Written out by the watchdog as it is: the names shown escaped.
    const int seconds = tokenSignatureTimeoutSeconds();
    const std::string message = "Signing " + safefile::shownText(file) + " failed: the PKCS#11 module "
                                + safefile::shownText(token ? token->modulePath : std::string())
                                + " did not answer within " + std::to_string(seconds)
                                + " seconds; the file was left as it was.";
    return tokenKey->use(operation, message, seconds);
}

std::string SigningIdentity::where() const
{
    if (token)
        return token->where();
    return "file " + pfxPath;
}

bool passwordSurvivesReadpass(const std::string &password)
{
    if (password.size() > 4095)
        return false;
    if (!password.empty() && (password.back() == '\n' || password.back() == '\r'))
        return false;
    return password.compare(0, 3, "\xEF\xBB\xBF") != 0;
}

std::vector<std::string> certificateLines(const SigningIdentity &identity)
{
    X509 *cert = identity.cert.get();
    std::vector<std::string> lines{
        "The following certificate was selected:",
        "    Issued to: " + nameText(X509_get_subject_name(cert)),
        "    Issued by: " + nameText(X509_get_issuer_name(cert)),
        "    Expires:   " + timeText(X509_get0_notAfter(cert)),
        "    SHA1 hash: " + sha1Thumbprint(cert),
    };
    // The window's console is about 80 characters wide and cannot scroll
    // sideways: a file's path goes on a line of its own, under the label.
    if (identity.token) {
        lines.push_back("    Stored in: " + identity.where());
    } else {
        lines.push_back("    Stored in: file");
        lines.push_back("      " + identity.pfxPath);
    }
    return lines;
}

} // namespace signtool
