// libFuzzer target for the PE code of signtool.exe, which reads files that
// anyone may have made: the layout check, the Authenticode digest, the
// signatures' count and verdicts (page hashes too), signing (which parses
// an existing signature to append to it, makes page hashes and copies the
// file), time-stamping (which rewrites a signature in its bytes) and the
// removal of a signature or its parts (which edits its DER) must neither
// crash nor
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

// Time-stamps signature `index` of the signed file on `fd` with a stand-in
// token: the copy must keep as many signatures as the file has.
void stampCopy(int fd, int index)
{
    std::string problem;
    const auto layout = readPeLayout(fd, problem);
    const int stamped = memoryFile("fuzz-stamped", nullptr, 0);
    if (!layout || stamped < 0)
        return;
    PeStampOptions options;
    options.index = index;
    options.md = EVP_sha256();
    options.stamp = [](PKCS7 *, PKCS7_SIGNER_INFO *si) {
        const unsigned char token[] = {0x30, 0x03, 0x02, 0x01, 0x01};
        X509_ATTRIBUTE *attribute = X509_ATTRIBUTE_create_by_txt(nullptr, "1.3.6.1.4.1.311.3.3.1", V_ASN1_SEQUENCE,
                                                                 token, sizeof token);
        if (!attribute)
            return std::string("no attribute");
        if (!si->unauth_attr)
            si->unauth_attr = sk_X509_ATTRIBUTE_new_null();
        sk_X509_ATTRIBUTE_push(si->unauth_attr, attribute);
        return std::string();
    };
    const int before = countPeSignatures(fd);
    const PeSignResult made = stampPeFile(fd, *layout, stamped, options);
    if (made.error.empty() && countPeSignatures(stamped) != before)
        __builtin_trap();
    close(stamped);
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
        policy.pageHashes = true;
        (void)judgePeFile(fd, policy);
        policy.pageHashes = false;
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
                stampCopy(copy, size > 0 ? data[0] % 3 : 0);
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
        const int paged = memoryFile("fuzz-paged", nullptr, 0);
        if (paged >= 0) {
            SigningKey key;
            key.key = signer.key;
            key.cert = signer.cert;
            PeSignOptions options;
            options.md = EVP_sha256();
            options.pageHashes = true;
            const PeSignResult made = signPeFile(fd, *layout, paged, key, options);
            // Page hashes that were made must hold for the copy.
            if (made.error.empty()) {
                policy.pageHashes = true;
                const PeJudgement judgement = judgePeFile(paged, policy);
                if (judgement.status != PeJudgement::Status::Signed || judgement.signatures.empty()
                    || judgement.signatures.front().finding.verdict != Verdict::Good)
                    __builtin_trap();
            }
            close(paged);
        }
    }
    close(fd);
    return 0;
}
