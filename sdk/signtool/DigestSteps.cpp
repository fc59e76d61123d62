#include "DigestSteps.h"

#include "CertStore.h"
#include "DerWriter.h"
#include "DigestSigning.h"
#include "FormatStrategy.h"
#include "OpenedFile.h"
#include "SignArgs.h"
#include "ToolSupport.h"
#include "safefile/PathWalk.h"
#include "safefile/SafeWrite.h"

#include <openssl/err.h>
#include <openssl/pem.h>

#include <cctype>
#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <set>

using namespace sdktool;

namespace signtool {

namespace {

// A digest is at most 64 bytes: a larger .dig file is not of /dg.
constexpr size_t kMaxDigFileBytes = 16 * 1024;

std::string joined(const std::string &folder, const std::string &name)
{
    return folder.empty() || folder.back() == '/' ? folder + name : folder + "/" + name;
}

std::string upperCase(std::string text)
{
    for (char &c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

void failed(FileOutcome &outcome, const std::string &message)
{
    outcome.signedOk = false;
    outcome.lines.push_back({OutputLine::Err, "SignTool Error: " + message});
}

struct StepFolder {
    Fd fd;
    std::string error;
};

StepFolder openStepFolder(const std::string &path, const char *option)
{
    StepFolder folder;
    safefile::WalkProblem problem;
    if (safefile::openFolder(path, folder.fd, &problem) != 0)
        folder.error = std::string("Cannot open the folder ") + path + " given with " + option + ": "
                       + safefile::walkProblemText(problem) + ".";
    return folder;
}

// The PFX's chain and the certificates of /ac, for the unsigned signature.
std::vector<CertPtr> chainOf(const SigningIdentity &identity, const SignArgs &args, std::string &error)
{
    std::vector<CertPtr> chain;
    if (!identity.pfxData.empty()) {
        Pkcs12Contents contents;
        std::string detail;
        if (parsePkcs12(identity.pfxData, identity.password, contents, detail) == Pkcs12Status::Ok)
            chain = std::move(contents.others);
    }
    for (const std::string &path : args.additionalCertificates) {
        const std::string pem = additionalCertificatesPem(path, error);
        if (pem.empty())
            return {};
        BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
        while (X509 *cert = bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr)
            chain.emplace_back(cert);
        ERR_clear_error();
    }
    return chain;
}

FileOutcome generateDigest(const std::string &file, const SignArgs &args, const SigningKey &certificate,
                           int folder, const std::string &folderShown, std::set<std::string> &written)
{
    FileOutcome outcome;
    if (args.verbose)
        outcome.lines.push_back({OutputLine::Out, "Making the digest to sign of: " + file});
    std::string error;
    const OpenedFile opened = openFileToSign(file, error);
    if (!opened.file) {
        failed(outcome, error);
        return outcome;
    }
    const FormatStrategy &format = formatOf(opened.file.get());
    if (!format.readsSignaturesInProcess()) {
        failed(outcome, "Cannot sign " + file + " in steps (/dg): only program files can be; osslsigncode, which "
                        "signs this format, cannot make a digest to be signed elsewhere.");
        return outcome;
    }
    if (const std::string problem = format.damage(opened.file.get()); !problem.empty()) {
        failed(outcome, "Cannot sign " + file + ": the file is truncated or damaged (" + problem + ").");
        return outcome;
    }
    const std::string name = fileNameOf(file);
    if (!written.insert(name).second) {
        failed(outcome, "Cannot sign " + file + " in steps (/dg): another file of this run is named " + name
                        + " too, and its digest files would take the same names.");
        return outcome;
    }
    const EVP_MD *md = EVP_get_digestbyname(digestName(args.fileDigest));
    const std::optional<KnownDigest> digest = format.digest(opened.file.get(), md);
    if (!digest) {
        failed(outcome, "Cannot sign " + file + ": it cannot be read.");
        return outcome;
    }
    PeSignOptions options;
    options.md = md;
    options.description = args.description.value_or(std::string());
    options.descriptionUrl = args.descriptionUrl.value_or(std::string());
    Pkcs7Ptr p7 = unsignedAuthenticodeSignature(*digest, certificate, options, error);
    PKCS7_SIGNER_INFO *si = p7 ? sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(p7.get()), 0) : nullptr;
    const std::optional<Bytes> toSign = si ? signedAttributesDigest(si, md) : std::nullopt;
    if (!toSign) {
        failed(outcome, "Cannot sign " + file + ": " + (error.empty() ? "its digest cannot be made" : error) + ".");
        return outcome;
    }
    std::vector<std::pair<std::string, std::string>> files{{name + ".dig", base64Text(*toSign) + "\r\n"},
                                                           {name + ".p7u", [&] { const Bytes der = derOf<PKCS7, i2d_PKCS7>(p7.get()); return std::string(der.begin(), der.end()); }()}};
    if (args.digestXml)
        files.push_back({name + ".dig.xml", digestXml(*toSign, md, certificate.cert)});
    for (const auto &[target, content] : files) {
        if (const std::string problem = writeInFolder(folder, target, content); !problem.empty()) {
            failed(outcome, "Cannot write " + joined(folderShown, target) + ": " + problem + ".");
            return outcome;
        }
        if (args.verbose)
            outcome.lines.push_back({OutputLine::Out, "    Written: " + joined(folderShown, target)});
    }
    outcome.signedOk = true;
    outcome.lines.push_back({OutputLine::Out, "Successfully generated the digest to sign: " + file});
    if (args.verbose)
        outcome.lines.push_back({OutputLine::Out, std::string()});
    return outcome;
}

FileOutcome signDigestFile(const std::string &file, const SignArgs &args, const SigningIdentity &identity,
                           EVP_PKEY *key)
{
    FileOutcome outcome;
    safefile::Place place;
    safefile::WalkProblem problem;
    if (safefile::walkToPlace(file, safefile::FinalLink::Follow, place, &problem) != 0) {
        failed(outcome, problem.error == ENOENT ? "File not found: " + file
                                                : "Cannot open " + file + ": " + safefile::walkProblemText(problem)
                                                      + ".");
        return outcome;
    }
    std::string content, error;
    if (!readInFolder(place.folder.get(), place.name, kMaxDigFileBytes, content, error)) {
        failed(outcome, "Cannot read the digest file " + file + ": " + error + ".");
        return outcome;
    }
    const std::optional<Bytes> digest = digestOfDigFile(content);
    const EVP_MD *md = EVP_get_digestbyname(digestName(args.fileDigest));
    if (!digest) {
        failed(outcome, file + " holds no digest (the base64 text of /dg's .dig file).");
        return outcome;
    }
    if (static_cast<int>(digest->size()) != EVP_MD_get_size(md)) {
        failed(outcome, file + " holds a digest of " + std::to_string(digest->size()) + " bytes, not one of "
                        + upperCase(digestName(args.fileDigest)) + " (/fd " + digestName(args.fileDigest)
                        + "): give /ds the /fd that /dg had.");
        return outcome;
    }
    Bytes signature;
    identity.useKey(file, [&] {
        signature = signDigestValue(key, md, *digest, error);
        return !signature.empty();
    });
    if (signature.empty()) {
        failed(outcome, "Signing the digest of " + file + " failed: " + error + ".");
        return outcome;
    }
    const std::string target = place.name + ".signed";
    if (const std::string written = writeInFolder(place.folder.get(), target, base64Text(signature) + "\r\n");
        !written.empty()) {
        failed(outcome, "Cannot write " + file + ".signed: " + written + ".");
        return outcome;
    }
    outcome.signedOk = true;
    outcome.lines.push_back({OutputLine::Out, "Successfully signed the digest: " + file});
    return outcome;
}

} // namespace

IdentityChoice chooseDigestCertificate(const SignArgs &args)
{
    if (!args.pfxFile)
        return chooseIdentity(args);
    std::string data, problem;
    if (!readPfxFile(AT_FDCWD, *args.pfxFile, data, problem))
        return chooseIdentity(args); // says why in its own words
    const unsigned char *p = reinterpret_cast<const unsigned char *>(data.data());
    CertPtr cert(d2i_X509(nullptr, &p, static_cast<long>(data.size())));
    if (!cert) {
        BioPtr bio(BIO_new_mem_buf(data.data(), static_cast<int>(data.size())));
        cert.reset(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    }
    ERR_clear_error();
    if (!cert)
        return chooseIdentity(args); // a PFX
    IdentityChoice choice;
    if (!isValidAt(cert.get(), std::time(nullptr))) {
        choice.error = "The certificate in " + *args.pfxFile + " is not valid now (valid from "
                       + timeText(X509_get0_notBefore(cert.get())) + " to "
                       + timeText(X509_get0_notAfter(cert.get())) + ").";
        return choice;
    }
    if (!isCodeSigningUsable(cert.get())) {
        choice.error = "The certificate in " + *args.pfxFile + " is not meant for code signing.";
        return choice;
    }
    SigningIdentity identity;
    identity.pfxPath = *args.pfxFile;
    identity.cert = std::move(cert);
    choice.identity = std::move(identity);
    return choice;
}

RunCounts generateDigests(const SignArgs &args, const SigningIdentity &identity,
                          const std::function<void(const FileOutcome &)> &print)
{
    RunCounts counts;
    const StepFolder folder = openStepFolder(*args.digestOutFolder, "/dg");
    std::string error;
    const std::vector<CertPtr> chain = folder.error.empty() ? chainOf(identity, args, error) : std::vector<CertPtr>();
    if (!folder.error.empty() || !error.empty() || !identity.cert) {
        FileOutcome outcome;
        failed(outcome, !folder.error.empty() ? folder.error
                        : !error.empty()      ? error
                                              : std::string("The chosen certificate cannot be read."));
        print(outcome);
        counts.errors = 1;
        return counts;
    }
    SigningKey certificate;
    certificate.cert = identity.cert.get();
    certificate.key = X509_get0_pubkey(identity.cert.get());
    for (const CertPtr &cert : chain)
        certificate.chain.push_back(cert.get());
    std::set<std::string> written;
    for (const std::string &file : args.files) {
        const FileOutcome outcome = generateDigest(file, args, certificate, folder.fd.get(), *args.digestOutFolder,
                                                   written);
        print(outcome);
        ++(outcome.signedOk ? counts.signedFiles : counts.errors);
    }
    return counts;
}

RunCounts signDigestFiles(const SignArgs &args, const SigningIdentity &identity,
                          const std::function<void(const FileOutcome &)> &print)
{
    RunCounts counts;
    Pkcs12Contents contents;
    std::string detail;
    EVP_PKEY *key = identity.tokenKey ? identity.tokenKey->key() : nullptr;
    if (!key && !identity.token && !identity.pfxData.empty()
        && parsePkcs12(identity.pfxData, identity.password, contents, detail) == Pkcs12Status::Ok)
        key = contents.key.get();
    if (!key) {
        FileOutcome outcome;
        failed(outcome, identity.token ? "The key of the token's certificate cannot be used (" + identity.where() + ")."
                                       : "The private key of " + identity.pfxPath + " cannot be read.");
        print(outcome);
        counts.errors = 1;
        return counts;
    }
    for (const std::string &file : args.files) {
        const FileOutcome outcome = signDigestFile(file, args, identity, key);
        print(outcome);
        ++(outcome.signedOk ? counts.signedFiles : counts.errors);
    }
    return counts;
}

} // namespace signtool
