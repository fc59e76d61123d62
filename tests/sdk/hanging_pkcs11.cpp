// A PKCS#11 module that never answers, as a network HSM's module whose
// server is gone: it initializes (or, with QUILLMARK_TEST_PKCS11_HANG=
// initialize, already hangs there) and then waits for good in
// C_GetSlotList. With QUILLMARK_TEST_PKCS11_HANG=sign it is the module
// named in QUILLMARK_TEST_PKCS11_WRAP (SoftHSM2's) in every call but
// C_Sign, where it waits for good: a token that lists, logs in and then
// stops answering. Only for tests of the tool's time-outs on modules.

#include <p11-kit/pkcs11.h>

#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <unistd.h>

namespace {

[[noreturn]] void hang()
{
    for (;;)
        pause();
}

bool hangsIn(const char *step)
{
    const char *configured = std::getenv("QUILLMARK_TEST_PKCS11_HANG");
    return std::strcmp(configured && *configured ? configured : "slots", step) == 0;
}

CK_RV initialize(void *)
{
    if (hangsIn("initialize"))
        hang();
    return CKR_OK;
}

CK_RV finalize(void *)
{
    return CKR_OK;
}

CK_RV getInfo(CK_INFO *info)
{
    std::memset(info, ' ', sizeof *info);
    info->cryptokiVersion = {2, 40};
    info->flags = 0;
    info->libraryVersion = {1, 0};
    return CKR_OK;
}

CK_RV getSlotList(CK_BBOOL, CK_SLOT_ID *, CK_ULONG *)
{
    hang();
}

CK_RV signForever(CK_SESSION_HANDLE, CK_BYTE *, CK_ULONG, CK_BYTE *, CK_ULONG *)
{
    hang();
}

CK_FUNCTION_LIST functions = [] {
    CK_FUNCTION_LIST list {};
    list.version = {2, 40};
    list.C_Initialize = initialize;
    list.C_Finalize = finalize;
    list.C_GetInfo = getInfo;
    list.C_GetSlotList = getSlotList;
    return list;
}();

} // namespace

extern "C" __attribute__((visibility("default"))) CK_RV C_GetFunctionList(CK_FUNCTION_LIST **list)
{
    if (!list)
        return CKR_ARGUMENTS_BAD;
    if (hangsIn("sign")) {
        const char *wrapped = std::getenv("QUILLMARK_TEST_PKCS11_WRAP");
        void *library = wrapped ? dlopen(wrapped, RTLD_NOW | RTLD_LOCAL) : nullptr;
        auto getList = library ? reinterpret_cast<CK_C_GetFunctionList>(dlsym(library, "C_GetFunctionList")) : nullptr;
        CK_FUNCTION_LIST *real = nullptr;
        if (!getList || getList(&real) != CKR_OK || !real)
            return CKR_GENERAL_ERROR;
        functions = *real;
        functions.C_Sign = signForever;
    }
    functions.C_GetFunctionList = C_GetFunctionList;
    *list = &functions;
    return CKR_OK;
}
