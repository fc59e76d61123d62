// Plays a hostile local user in a folder where a tool run by root writes:
//
//   link_planter FOLDER NAME PREFIX TARGET SECONDS
//
// First puts a symbolic link NAME -> TARGET in FOLDER (replacing what is
// there), then, for SECONDS, swaps every entry created in FOLDER whose name
// starts with PREFIX (the tool's temporary file) for a link to TARGET the
// moment inotify reports it. Prints "ready" once the watch is set and
// "swapped ENTRY" for each swap, so a test knows what it played against.
// Run it as an unprivileged user (setpriv --reuid=...).

#include <sys/inotify.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <set>
#include <string>
#include <unistd.h>

namespace {

void plantLink(int dirFd, const char *name, const char *target)
{
    unlinkat(dirFd, name, 0);
    if (symlinkat(target, dirFd, name) == 0)
        std::printf("swapped %s\n", name);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 6) {
        std::fprintf(stderr, "usage: link_planter FOLDER NAME PREFIX TARGET SECONDS\n");
        return 2;
    }
    const char *folder = argv[1];
    const char *name = argv[2];
    const std::string prefix = argv[3];
    const char *target = argv[4];
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(std::atoi(argv[5]));

    const int dirFd = open(folder, O_RDONLY | O_DIRECTORY);
    const int watch = inotify_init1(IN_CLOEXEC);
    if (dirFd < 0 || watch < 0 || inotify_add_watch(watch, folder, IN_CREATE | IN_MOVED_TO) < 0) {
        std::perror("link_planter");
        return 1;
    }
    plantLink(dirFd, name, target);
    std::printf("ready\n");
    std::fflush(stdout);

    // Its own links raise events too; each name is swapped once.
    std::set<std::string> swapped;
    alignas(inotify_event) char buffer[8192];
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd wait{watch, POLLIN, 0};
        if (poll(&wait, 1, 100) <= 0)
            continue;
        const ssize_t length = read(watch, buffer, sizeof buffer);
        for (ssize_t at = 0; at < length;) {
            const auto *event = reinterpret_cast<const inotify_event *>(buffer + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            if (event->len > 0 && std::strncmp(event->name, prefix.c_str(), prefix.size()) == 0
                && swapped.insert(event->name).second)
                plantLink(dirFd, event->name, target);
        }
    }
    return 0;
}
