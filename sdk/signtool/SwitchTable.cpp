#include "SwitchTable.h"

#include <strings.h>

namespace signtool {

namespace {

struct Refusal {
    const char *verbs; // the commands it is documented for, "sign timestamp verify"
    const char *name;
    const char *reason;
};

const char kSealing[] = "sealing is a Windows 11 signature form that no signer on this system makes or reads";

const Refusal kRefusals[] = {
    {"sign", "dlib", "it loads a Windows DLL that signs digests, which cannot be loaded here: reach a remote key "
                     "through its PKCS#11 module instead"},
    {"sign", "dmdf", "it hands metadata to a Windows DLL (/dlib) that signs digests, which cannot be loaded here"},
    {"sign", "rmc", "relaxed marker checks concern Windows' own protected-process signing policy, which does not "
                    "exist here"},
    {"sign", "sa", "adding authenticated attributes of one's own is not supported by the signer used here"},
    {"sign", "seal", kSealing},
    {"sign", "itos", kSealing},
    {"sign timestamp", "force", kSealing},
    {"sign timestamp", "nosealwarn", kSealing},
    {"timestamp", "tseal", kSealing},
    {"verify", "sl", kSealing},
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

} // namespace signtool
