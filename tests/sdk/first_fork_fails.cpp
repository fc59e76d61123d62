// Preloaded into a tool under test: the process's first fork() fails with
// EAGAIN (as when the user's process limit is reached), later ones work.

#include <atomic>
#include <cerrno>
#include <dlfcn.h>
#include <unistd.h>

extern "C" pid_t fork()
{
    static std::atomic<bool> failed{false};
    if (!failed.exchange(true)) {
        errno = EAGAIN;
        return -1;
    }
    using Fork = pid_t (*)();
    static const Fork real = reinterpret_cast<Fork>(dlsym(RTLD_NEXT, "fork"));
    return real();
}
