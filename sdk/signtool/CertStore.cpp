#include "CertStore.h"

#include "SignArgs.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <dirent.h>
#include <strings.h>

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

IdentityChoice failure(std::string error)
{
    IdentityChoice choice;
    choice.error = std::move(error);
    return choice;
}

} // namespace

std::string storeFolder()
{
    const char *env = std::getenv("QUILLMARK_CERT_STORE");
    if (env && *env)
        return env;
    return ownFolder() + "certstore";
}

IdentityChoice chooseFromStore(const std::string &folder, bool requireSingle)
{
    std::vector<std::string> names;
    if (DIR *dir = opendir(folder.c_str())) {
        while (const dirent *entry = readdir(dir)) {
            if (hasStoreExtension(entry->d_name))
                names.push_back(entry->d_name);
        }
        closedir(dir);
    } else {
        return failure("The certificate store " + folder + " cannot be opened: " + errnoText(errno) + ".");
    }
    std::sort(names.begin(), names.end());

    IdentityChoice choice;
    const time_t now = std::time(nullptr);
    std::vector<SigningIdentity> usable;
    for (const auto &name : names) {
        const std::string path = folder + "/" + name;
        Pkcs12Contents contents;
        std::string detail;
        const Pkcs12Status status = openPkcs12(path, std::string(), contents, detail);
        const char *skip = nullptr;
        if (status == Pkcs12Status::WrongPassword)
            skip = "protected by a password";
        else if (status != Pkcs12Status::Ok)
            skip = "no readable certificate with its private key";
        else if (!isValidAt(contents.cert.get(), now))
            skip = "not valid now";
        else if (!isCodeSigningUsable(contents.cert.get()))
            skip = "not for code signing";
        if (skip) {
            choice.notes.push_back("Passed over " + path + ": " + skip + ".");
            continue;
        }
        usable.push_back(SigningIdentity{path, std::string(), std::move(contents.cert)});
    }

    if (usable.empty()) {
        choice.error = "No certificates were found that met all the given criteria (store: " + folder + ").";
        return choice;
    }
    if (requireSingle && usable.size() > 1) {
        choice.error = "The store " + folder + " holds " + std::to_string(usable.size())
                       + " usable certificates; choose with /a (the best one) or /f (a PFX file).";
        return choice;
    }
    // Stable, so equal expiry keeps the name order.
    std::stable_sort(usable.begin(), usable.end(), [](const SigningIdentity &a, const SigningIdentity &b) {
        return ASN1_TIME_compare(X509_get0_notAfter(a.cert.get()), X509_get0_notAfter(b.cert.get())) > 0;
    });
    choice.identity = std::move(usable.front());
    return choice;
}

IdentityChoice openPfx(const std::string &path, const std::string &password)
{
    Pkcs12Contents contents;
    std::string detail;
    switch (openPkcs12(path, password, contents, detail)) {
    case Pkcs12Status::Ok:
        break;
    case Pkcs12Status::Unreadable:
        return failure("The PFX file " + path + " cannot be read: " + detail + ".");
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
    choice.identity = SigningIdentity{path, password, std::move(contents.cert)};
    return choice;
}

IdentityChoice chooseIdentity(const SignArgs &args)
{
    IdentityChoice choice = args.pfxFile ? openPfx(*args.pfxFile, args.password.value_or(std::string()))
                                         : chooseFromStore(storeFolder(), !args.autoSelect);
    if (choice.identity && !passwordSurvivesReadpass(choice.identity->password)) {
        choice.identity.reset();
        choice.error = "This PFX password cannot be handed to osslsigncode (it is longer than 4095 bytes, "
                       "ends in a line break or starts with a byte order mark).";
    }
    return choice;
}

bool passwordSurvivesReadpass(const std::string &password)
{
    if (password.size() > 4095)
        return false;
    if (!password.empty() && (password.back() == '\n' || password.back() == '\r'))
        return false;
    return password.compare(0, 3, "\xEF\xBB\xBF") != 0;
}

std::vector<std::string> certificateLines(X509 *cert)
{
    return {
        "The following certificate was selected:",
        "    Issued to: " + nameText(X509_get_subject_name(cert)),
        "    Issued by: " + nameText(X509_get_issuer_name(cert)),
        "    Expires:   " + timeText(X509_get0_notAfter(cert)),
        "    SHA1 hash: " + sha1Thumbprint(cert),
    };
}

} // namespace signtool
