// libFuzzer target for the PE code of signtool.exe, which reads files that
// anyone may have made: the layout check, the Authenticode digest, the
// signatures' count and verdicts, signing (which parses an existing
// signature to append to it and copies the file) and the removal of a
// signature or its parts (which edits its DER) must neither crash nor
// read or write out of bounds whatever the bytes. Built with clang and
// AddressSanitizer/UBSan (tests/fuzz/CMakeLists.txt).

#include "PeImage.h"
#include "PeSignatures.h"
#include "PeSigner.h"
#include "SignatureEdit.h"

#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <ctime>
#include <sys/mman.h>
#include <unistd.h>

using namespace signtool;

namespace {

// One EC key and certificate for every input: key generation is not what
// is tested.
struct Signer {
    EVP_PKEY *key = nullptr;
    X509 *cert = nullptr;
    Signer()
    {
        key = EVP_EC_gen("P-256");
        cert = X509_new();
        X509_set_version(cert, 2);
        ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
        X509_NAME_add_entry_by_txt(X509_get_subject_name(cert), "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char *>("Fuzz"), -1, -1, 0);
        X509_set_issuer_name(cert, X509_get_subject_name(cert));
        X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
        X509_gmtime_adj(X509_getm_notAfter(cert), 3600);
        X509_set_pubkey(cert, key);
        X509_sign(cert, key, EVP_sha256());
    }
};

int memoryFile(const char *name, const uint8_t *data, size_t size)
{
    const int fd = memfd_create(name, MFD_CLOEXEC);
    if (fd >= 0 && size > 0 && write(fd, data, size) != static_cast<ssize_t>(size)) {
        close(fd);
        return -1;
    }
    return fd;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static Signer signer;
    static X509_STORE *anchors = [] {
        X509_STORE *store = X509_STORE_new();
        X509_STORE_add_cert(store, signer.cert);
        return store;
    }();
    const int fd = memoryFile("fuzz-in", data, size);
    if (fd < 0)
        return 0;
    std::string problem;
    if (const auto layout = readPeLayout(fd, problem)) {
        (void)authenticodeDigest(fd, *layout, EVP_sha256());
        (void)certificateTable(fd, *layout);
        (void)countPeSignatures(fd);
        TrustPolicy policy;
        policy.anchors = anchors;
        policy.now = std::time(nullptr);
        (void)judgePeFile(fd, policy);
        const int copy = memoryFile("fuzz-out", nullptr, 0);
        if (copy >= 0) {
            SigningKey key;
            key.key = signer.key;
            key.cert = signer.cert;
            PeSignOptions options;
            options.md = EVP_sha256();
            options.append = true;
            const PeSignResult made = signPeFile(fd, *layout, copy, key, options);
            // What was signed must read back as signed, with the new
            // signature last and intact.
            if (made.error.empty()) {
                const PeJudgement judgement = judgePeFile(copy, policy);
                if (judgement.status != PeJudgement::Status::Signed
                    || judgement.signatures.size() != static_cast<size_t>(made.signatures)
                    || judgement.signatures.back().finding.verdict != Verdict::Good)
                    __builtin_trap();
            }
            close(copy);
        }
        // Whatever remove /c and /u make of a signature is a program file
        // whose layout reads back.
        for (int cut = 1; cut <= 3; ++cut) {
            const int trimmed = memoryFile("fuzz-cut", nullptr, 0);
            if (trimmed < 0)
                break;
            SignatureCut what;
            what.certificates = (cut & 1) != 0;
            what.unauthenticated = (cut & 2) != 0;
            const PeSignResult made = replacePeSignature(
                fd, *layout, trimmed,
                [&what](const Bytes &der, std::string &error) { return cutSignature(der, what, error); });
            std::string unused;
            if (made.error.empty() && !readPeLayout(trimmed, unused))
                __builtin_trap();
            close(trimmed);
        }
        // remove /s: a copy that reads as a program file carries no
        // signature. (One whose sections lay past the table does not read,
        // and the tool refuses it.)
        if (const int stripped = memoryFile("fuzz-strip", nullptr, 0); stripped >= 0) {
            std::string unused;
            if (removePeSignature(fd, *layout, stripped).empty() && readPeLayout(stripped, unused)
                && countPeSignatures(stripped) != 0)
                __builtin_trap();
            close(stripped);
        }
    }
    close(fd);
    return 0;
}
