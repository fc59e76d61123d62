#include "SwitchTable.h"

#include <strings.h>

namespace signtool {

namespace {

struct Refusal {
    const char *verbs; // the commands it is documented for, "sign timestamp verify"
    const char *name;
    const char *reason;
};

const char kCatalogs[] = "Windows keeps catalog files in its catalog database, which this system does not have; "
                         "catalog files themselves are signed and verified like any other file";
const char kSealing[] = "sealing is a Windows 11 signature form that no signer on this system makes or reads";

const Refusal kRefusals[] = {
    {"sign", "r", "the certificates here are chosen before any chain is built; choose by the issuer with /i, or by "
                  "/sha1"},
    {"sign", "c", "certificate templates are a property of Windows certificate services' enrollment; choose the "
                  "certificate with /sha1, /n or /i instead"},
    {"sign", "csp", "a cryptographic service provider is Windows' way to reach a key on a token; here tokens are "
                    "reached through their PKCS#11 modules (registered with p11-kit, or named in "
                    "QUILLMARK_PKCS11_MODULE): choose the token's certificate with /sha1 or /n"},
    {"sign", "kc", "a key container belongs to a Windows cryptographic service provider; here a token's key is the "
                   "one beside its certificate: choose the certificate with /sha1 or /n"},
    {"sign", "dg", "signing a digest made elsewhere in separate steps is not supported by this tool: sign the file "
                   "itself"},
    {"sign", "ds", "signing a digest made elsewhere in separate steps is not supported by this tool: sign the file "
                   "itself"},
    {"sign", "di", "signing a digest made elsewhere in separate steps is not supported by this tool: sign the file "
                   "itself"},
    {"sign", "dxml", "signing a digest made elsewhere in separate steps is not supported by this tool: sign the "
                     "file itself"},
    {"sign", "dlib", "it loads a Windows DLL that signs digests, which cannot be loaded here: reach a remote key "
                     "through its PKCS#11 module instead"},
    {"sign", "dmdf", "it hands metadata to a Windows DLL (/dlib) that signs digests, which cannot be loaded here"},
    {"sign timestamp verify", "p7", "detached PKCS#7 signatures of other files are not made or read by this tool"},
    {"sign", "p7co", "detached PKCS#7 signatures of other files (/p7) are not made by this tool"},
    {"sign", "p7ce", "detached PKCS#7 signatures of other files (/p7) are not made by this tool"},
    {"sign", "rmc", "relaxed marker checks concern Windows' own protected-process signing policy, which does not "
                    "exist here"},
    {"sign", "sa", "adding authenticated attributes of one's own is not supported by the signer used here"},
    {"sign", "seal", kSealing},
    {"sign", "itos", kSealing},
    {"sign timestamp", "force", kSealing},
    {"sign timestamp", "nosealwarn", kSealing},
    {"timestamp", "tseal", kSealing},
    {"verify", "sl", kSealing},
    {"verify", "ad", kCatalogs},
    {"verify", "ag", kCatalogs},
    {"verify", "as", kCatalogs},
    {"verify", "c", kCatalogs},
    {"verify", "o", "it picks catalogs by the Windows version they are meant for; Windows keeps catalog files in "
                    "its catalog database, which this system does not have"},
    {"verify", "hash", "it picks the digest by which a file is looked up in a catalog; Windows keeps catalog files "
                       "in its catalog database, which this system does not have"},
    {"verify", "kp", "the kernel-mode driver signing policy is Windows' own (its roots and cross-certificates); "
                     "/pa verifies the Authenticode signature"},
    {"verify", "pg", "WinVerifyTrust policies named by GUID exist on Windows only; /pa is the Authenticode policy"},
};

bool listedFor(const char *verbs, const std::string &verb)
{
    const std::string list = std::string(" ") + verbs + " ";
    return list.find(" " + verb + " ") != std::string::npos;
}

} // namespace

std::optional<std::string> refusedSwitchReason(const std::string &verb, const std::string &name)
{
    for (const Refusal &refusal : kRefusals) {
        if (name == refusal.name && listedFor(refusal.verbs, verb))
            return std::string(refusal.reason);
    }
    return std::nullopt;
}

std::optional<std::string> refusedCommandReason(const std::string &verb)
{
    if (strcasecmp(verb.c_str(), "catdb") == 0)
        return std::string("catdb adds catalog files to Windows' catalog database, which this system does not have");
    if (strcasecmp(verb.c_str(), "remove") == 0)
        return std::string("removing signatures is not supported by this tool; signing again without /as replaces "
                           "every signature a file has");
    return std::nullopt;
}

} // namespace signtool
