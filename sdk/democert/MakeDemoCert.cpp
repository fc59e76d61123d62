// Makes the demo code-signing certificate that the stand-in signtool.exe
// finds in its certificate store with /a, so that signing works out of the
// box on a fresh build or installation. The build runs it on every build,
// the set-up script on every installation.
//
//   quillmark-make-demo-cert OUTPUT.pfx
//
// The certificate is made once per store and never again:
// - an existing file is kept, so rebuilds do not change the certificate users
//   may already have trusted;
// - a store that holds a certificate file of its own gets none: the demo
//   certificate has no place beside a real one;
// - once made, a marker file in the store (kDemoMadeMarker) remembers it, so
//   an administrator's removal stands through reinstalls and rebuilds.
// The file is a PKCS#12 without a password (the store's convention),
// readable by its owner only. It is made on the machine, never in the
// sources.

#include "ToolSupport.h"

#include <openssl/err.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <string>
#include <strings.h>
#include <sys/stat.h>
#include <vector>

using namespace sdktool;

namespace {

bool makeFolders(const std::string &folder)
{
    if (folder.empty() || folder == "/" || folder == ".")
        return true;
    struct stat st {};
    if (stat(folder.c_str(), &st) == 0)
        return S_ISDIR(st.st_mode);
    if (!makeFolders(folderOf(folder)))
        return false;
    return mkdir(folder.c_str(), 0755) == 0 || errno == EEXIST;
}

int fail(const std::string &message)
{
    std::fprintf(stderr, "quillmark-make-demo-cert: %s\n", message.c_str());
    return 1;
}

// In the store beside the certificate: its presence means "made here once".
constexpr const char *kDemoMadeMarker = ".quillmark-demo-certificate-made";

bool isStoreFileName(const std::string &name)
{
    if (name.size() < 4 || name[0] == '.')
        return false;
    const char *ext = name.c_str() + name.size() - 4;
    return strcasecmp(ext, ".pfx") == 0 || strcasecmp(ext, ".p12") == 0;
}

// The certificate files of the store besides `own` (signtool.exe reads
// *.pfx and *.p12); none when the folder does not exist yet.
std::vector<std::string> otherStoreFiles(const std::string &folder, const std::string &own)
{
    std::vector<std::string> names;
    DIR *dir = opendir(folder.c_str());
    if (!dir)
        return names;
    while (const dirent *entry = readdir(dir)) {
        if (isStoreFileName(entry->d_name) && own != entry->d_name)
            names.push_back(entry->d_name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

bool exists(const std::string &path)
{
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

bool rememberMade(const std::string &marker, std::string &error)
{
    const std::string text = "The demo code-signing certificate was made in this folder. While this file exists it\n"
                             "is not made again, so removing the certificate is for good.\n";
    return writeFileAtomically(marker, text, false, 0644, error) != WriteResult::Failed;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2)
        return fail("usage: quillmark-make-demo-cert OUTPUT.pfx");
    const std::string output = argv[1];
    const std::string folder = folderOf(output);
    const std::string marker = folder + "/" + kDemoMadeMarker;
    std::string error;
    if (exists(output)) {
        // Made before the marker existed: remembered from now on.
        if (!exists(marker) && !rememberMade(marker, error))
            return fail("cannot write " + marker + ": " + error);
        return 0;
    }
    if (exists(marker)) {
        std::printf("No demo certificate made: one was made in %s before and has been removed since.\n",
                    folder.c_str());
        return 0;
    }
    const std::string ownName = output.substr(output.find_last_of('/') + 1);
    if (const auto others = otherStoreFiles(folder, ownName); !others.empty()) {
        std::printf("No demo certificate made: %s holds certificates of its own (%s%s).\n", folder.c_str(),
                    others.front().c_str(), others.size() > 1 ? ", ..." : "");
        return 0;
    }
    if (!makeFolders(folder))
        return fail("cannot create the folder of " + output + ": " + errnoText(errno));

    KeyPtr key(EVP_RSA_gen(3072));
    CertPtr cert(X509_new());
    if (!key || !cert)
        return fail("cannot make the key: " + takeOpensslError());

    if (!setRandomSerialNumber(cert.get()))
        return fail("cannot make the serial number: " + takeOpensslError());

    X509_set_version(cert.get(), X509_VERSION_3);
    X509_NAME *name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char *>(kDemoCommonName), -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8, reinterpret_cast<const unsigned char *>("Quillmark"), -1,
                               -1, 0);
    X509_set_issuer_name(cert.get(), name);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_time_adj_ex(X509_getm_notAfter(cert.get()), 3 * 365 + 1, 0, nullptr);
    X509_set_pubkey(cert.get(), key.get());

    if (!sdktool::addCertificateExtension(cert.get(), NID_basic_constraints, "critical,CA:FALSE")
        || !sdktool::addCertificateExtension(cert.get(), NID_key_usage, "critical,digitalSignature")
        || !sdktool::addCertificateExtension(cert.get(), NID_ext_key_usage, "codeSigning")
        || !sdktool::addCertificateExtension(cert.get(), NID_subject_key_identifier, "hash"))
        return fail("cannot add the certificate extensions: " + takeOpensslError());
    if (!X509_sign(cert.get(), key.get(), EVP_sha256()))
        return fail("cannot sign the certificate: " + takeOpensslError());

    // No password: neither bag encrypted (-1) nor a MAC (-1).
    Pkcs12Ptr p12(PKCS12_create(nullptr, kDemoCommonName, key.get(), cert.get(), nullptr, -1, -1, 0,
                                -1, 0));
    if (!p12)
        return fail("cannot build the PKCS#12 file: " + takeOpensslError());
    BioPtr bio(BIO_new(BIO_s_mem()));
    i2d_PKCS12_bio(bio.get(), p12.get());
    char *bytes = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &bytes);

    switch (writeFileAtomically(output, std::string(bytes, static_cast<size_t>(length)), false, 0600, error)) {
    case WriteResult::Written:
        if (!rememberMade(marker, error))
            return fail("cannot write " + marker + ": " + error);
        std::printf("Made the demo code-signing certificate %s\n", output.c_str());
        return 0;
    case WriteResult::Exists:
        return 0;
    case WriteResult::Failed:
        break;
    }
    return fail("cannot write " + output + ": " + error);
}
