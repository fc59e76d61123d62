// libFuzzer target for signtool.exe's reading of catalog files, which
// anyone may have made (verify /c names any file, catdb takes any file):
// the trust list's members and attributes, the look-up of a hash, OSAttr
// and the catalog's signature must neither crash nor read out of bounds
// whatever the bytes. Built with clang and AddressSanitizer/UBSan
// (tests/fuzz/CMakeLists.txt).

#include "Catalog.h"
#include "PeSignatures.h"

#include <openssl/x509.h>

#include <string>
#include <vector>

using namespace signtool;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static X509_STORE *anchors = X509_STORE_new();
    std::string problem;
    const std::optional<Catalog> catalog = parseCatalog(std::string(reinterpret_cast<const char *>(data), size),
                                                        problem);
    if (!catalog) {
        if (problem.empty())
            __builtin_trap(); // a refusal always says why
        return 0;
    }
    for (const CatalogMember &member : catalog->members) {
        // Each member is found by its own hash, whichever form its
        // identifier takes.
        if (!member.indirectHash.empty())
            (void)findMember(*catalog, member.indirectHash);
    }
    (void)findMember(*catalog, std::vector<unsigned char>(32, 0));
    if (catalog->osAttr) {
        const auto version = parseOsVersion("2:10.0");
        (void)osAttrNames(*catalog->osAttr, *version);
    }
    TrustPolicy policy;
    policy.anchors = anchors;
    policy.now = 1700000000;
    (void)judgeEmbeddedContentSignature(catalog->p7.get(), kCtlOid, policy);
    return 0;
}
