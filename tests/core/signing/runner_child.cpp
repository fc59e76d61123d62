// A console tool for the runner's tests. It carries out its arguments in
// order, each a command:
//   out:TEXT    write TEXT to standard output
//   err:TEXT    write TEXT to standard error
//   nice        print "nice=N" (its scheduling priority)
//   cwd         print "cwd=PATH"
//   argv        print "argc=N" and then "arg[I]=<VALUE>" for every argument
//   stdin       print "stdin=N", the number of bytes standard input gave
//   fds         print "fds=" and the open descriptors, e.g. "fds=0 1 2"
//   touch:PATH  create the file PATH
//   rm:PATH     delete the file PATH
//   mkfifo:PATH make a FIFO at PATH
//   exists:PATH print "exists=1" or "exists=0"
//   sleep:MS    sleep MS milliseconds
//   exit:N      end with exit code N
//   raise:SIG   end by signal SIG
// TEXT knows the escapes \r \n \0 \\ and \xHH. Output is written with
// write(2), unbuffered, so the order between the two streams is exactly the
// order of the commands.

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <set>
#include <string>

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string unescape(const char *text)
{
    std::string bytes;
    for (const char *p = text; *p; ++p) {
        if (*p != '\\' || !p[1]) {
            bytes.push_back(*p);
            continue;
        }
        ++p;
        switch (*p) {
        case 'r': bytes.push_back('\r'); break;
        case 'n': bytes.push_back('\n'); break;
        case '0': bytes.push_back('\0'); break;
        case 'x':
            if (p[1] && p[2]) {
                const char hex[3] = {p[1], p[2], 0};
                bytes.push_back(static_cast<char>(std::strtol(hex, nullptr, 16)));
                p += 2;
            }
            break;
        default: bytes.push_back(*p); break;
        }
    }
    return bytes;
}

void writeAll(int fd, const std::string &bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            std::_Exit(90);
        }
        done += static_cast<std::size_t>(n);
    }
}

bool startsWith(const char *text, const char *prefix, const char **rest)
{
    const std::size_t length = std::strlen(prefix);
    if (std::strncmp(text, prefix, length) != 0)
        return false;
    *rest = text + length;
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        const char *rest = nullptr;
        if (startsWith(argv[i], "out:", &rest)) {
            writeAll(1, unescape(rest));
        } else if (startsWith(argv[i], "err:", &rest)) {
            writeAll(2, unescape(rest));
        } else if (std::strcmp(argv[i], "nice") == 0) {
            errno = 0;
            const int value = ::getpriority(PRIO_PROCESS, 0);
            writeAll(1, "nice=" + std::to_string(value) + "\n");
        } else if (std::strcmp(argv[i], "cwd") == 0) {
            char buffer[4096];
            writeAll(1, std::string("cwd=") + (::getcwd(buffer, sizeof buffer) ? buffer : "?")
                            + "\n");
        } else if (std::strcmp(argv[i], "argv") == 0) {
            writeAll(1, "argc=" + std::to_string(argc) + "\n");
            for (int k = 0; k < argc; ++k)
                writeAll(1, "arg[" + std::to_string(k) + "]=<" + argv[k] + ">\n");
        } else if (std::strcmp(argv[i], "stdin") == 0) {
            std::size_t total = 0;
            char buffer[512];
            for (;;) {
                const ssize_t n = ::read(0, buffer, sizeof buffer);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0)
                    break;
                total += static_cast<std::size_t>(n);
            }
            writeAll(1, "stdin=" + std::to_string(total) + "\n");
        } else if (std::strcmp(argv[i], "fds") == 0) {
            std::set<int> open;
            if (DIR *dir = ::opendir("/proc/self/fd")) {
                while (const dirent *entry = ::readdir(dir)) {
                    if (entry->d_name[0] != '.' && std::atoi(entry->d_name) != ::dirfd(dir))
                        open.insert(std::atoi(entry->d_name));
                }
                ::closedir(dir);
            }
            std::string line = "fds=";
            for (int fd : open)
                line += (line.size() > 4 ? " " : "") + std::to_string(fd);
            writeAll(1, line + "\n");
        } else if (startsWith(argv[i], "touch:", &rest)) {
            const int fd = ::open(rest, O_WRONLY | O_CREAT, 0644);
            if (fd >= 0)
                ::close(fd);
        } else if (startsWith(argv[i], "rm:", &rest)) {
            ::unlink(rest);
        } else if (startsWith(argv[i], "mkfifo:", &rest)) {
            ::mkfifo(rest, 0600);
        } else if (startsWith(argv[i], "exists:", &rest)) {
            writeAll(1, std::string("exists=") + (::access(rest, F_OK) == 0 ? "1" : "0") + "\n");
        } else if (startsWith(argv[i], "sleep:", &rest)) {
            const long ms = std::strtol(rest, nullptr, 10);
            timespec pause{ms / 1000, (ms % 1000) * 1000000L};
            while (::nanosleep(&pause, &pause) != 0 && errno == EINTR) {
            }
        } else if (startsWith(argv[i], "exit:", &rest)) {
            return std::atoi(rest);
        } else if (startsWith(argv[i], "raise:", &rest)) {
            std::signal(std::atoi(rest), SIG_DFL);
            std::raise(std::atoi(rest));
        }
    }
    return 0;
}
