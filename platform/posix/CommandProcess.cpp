#include "platform/Platform.h"

#include <csignal>

#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace platform {

void forbidCoreDumps()
{
    const rlimit none{0, 0};
    ::setrlimit(RLIMIT_CORE, &none);
    ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
}

void ignoreClosedOutput()
{
    // runProcess gives every child the default actions again.
    ::signal(SIGPIPE, SIG_IGN);
}

bool isTerminal(int fd)
{
    return ::isatty(fd) == 1;
}

} // namespace platform
