// A PKCS#11 module that leaves a mark when it is loaded: its constructor,
// which runs as soon as the library is opened (before any PKCS#11 call),
// appends a line to the file named by QUILLMARK_TEST_PKCS11_MARKER. It has
// no slots. Only for tests that a module is (or is not) loaded at all.

#include <p11-kit/pkcs11.h>

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

__attribute__((constructor)) void markLoaded()
{
    const char *marker = std::getenv("QUILLMARK_TEST_PKCS11_MARKER");
    if (!marker || !*marker)
        return;
    const int fd = ::open(marker, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    [[maybe_unused]] const ssize_t n = ::write(fd, "loaded\n", 7);
    ::close(fd);
}

CK_RV initialize(void *)
{
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

CK_RV getSlotList(CK_BBOOL, CK_SLOT_ID *, CK_ULONG *count)
{
    *count = 0;
    return CKR_OK;
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
    functions.C_GetFunctionList = C_GetFunctionList;
    *list = &functions;
    return CKR_OK;
}
