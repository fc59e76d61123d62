#include "NoCoreDump.h"

#include <cerrno>

#include <sys/prctl.h>
#include <sys/resource.h>

namespace safefile {

int forbidCoreDumps()
{
    int error = 0;
    const rlimit none{0, 0};
    if (::setrlimit(RLIMIT_CORE, &none) != 0)
        error = errno;
    if (::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0 && error == 0)
        error = errno;
    return error;
}

} // namespace safefile
