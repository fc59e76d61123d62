// Build-time helper: makes the demo code-signing certificate that the
// stand-in signtool.exe finds in its certificate store with /a, so signing
// works out of the box on a fresh build.
//
//   quillmark_make_demo_cert OUTPUT.pfx
//
// An existing file is kept, so rebuilds do not change the certificate users
// may already have trusted. The file is a PKCS#12 without a password (the
// store's convention), readable by its owner only. It lives in the build tree
// and is never part of the sources.

#include "ToolSupport.h"

#include <openssl/err.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <sys/stat.h>

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
    std::fprintf(stderr, "quillmark_make_demo_cert: %s\n", message.c_str());
    return 1;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2)
        return fail("usage: quillmark_make_demo_cert OUTPUT.pfx");
    const std::string output = argv[1];
    struct stat st {};
    if (stat(output.c_str(), &st) == 0)
        return 0;
    if (!makeFolders(folderOf(output)))
        return fail("cannot create the folder of " + output + ": " + errnoText(errno));

    KeyPtr key(EVP_RSA_gen(3072));
    CertPtr cert(X509_new());
    if (!key || !cert)
        return fail("cannot make the key: " + takeOpensslError());

    unsigned char serial[16];
    RAND_bytes(serial, sizeof serial);
    serial[0] &= 0x7F; // a positive serial number
    BIGNUM *bn = BN_bin2bn(serial, sizeof serial, nullptr);
    BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert.get()));
    BN_free(bn);

    X509_set_version(cert.get(), X509_VERSION_3);
    X509_NAME *name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char *>("Quillmark Demo Code Signing"), -1, -1, 0);
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
    Pkcs12Ptr p12(PKCS12_create(nullptr, "Quillmark Demo Code Signing", key.get(), cert.get(), nullptr, -1, -1, 0,
                                -1, 0));
    if (!p12)
        return fail("cannot build the PKCS#12 file: " + takeOpensslError());
    BioPtr bio(BIO_new(BIO_s_mem()));
    i2d_PKCS12_bio(bio.get(), p12.get());
    char *bytes = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &bytes);

    std::string error;
    switch (writeFileAtomically(output, std::string(bytes, static_cast<size_t>(length)), false, 0600, error)) {
    case WriteResult::Written:
        std::printf("Made the demo code-signing certificate %s\n", output.c_str());
        return 0;
    case WriteResult::Exists:
        return 0;
    case WriteResult::Failed:
        break;
    }
    return fail("cannot write " + output + ": " + error);
}
