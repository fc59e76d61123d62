#include "platform/Platform.h"
#include "CurrentFolder.h"
#include "Descriptor.h"
#include "SecretChannel.h"

#include <algorithm>
#include <optional>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace platform {

namespace {

using Fd = posix::Descriptor;
using posix::openRetrying;

ProcessOutcome failedStart(int error, bool outputFileFailed = false)
{
    ProcessOutcome outcome;
    outcome.started = false;
    outcome.errorCode = error;
    outcome.errorText = systemErrorText(error);
    outcome.outputFileFailed = outputFileFailed;
    return outcome;
}

// Only async-signal-safe calls from here on: the parent may have threads
// (Qt starts some), and one of them may hold a lock of the C library.
constexpr int kMaxSecretInputs = 8;
// Above the descriptors handed over, so that moving those into place
// overwrites nothing still needed.
constexpr int kChildScratchFd = 3 + kMaxSecretInputs;

[[noreturn]] void runChild(const char *program, char *const argv[], const char *workingFolder,
                           int inputFd, int outputFd, int errorPipe, bool lowestPriority,
                           const int *secretFds, int secretCount)
{
    // Dispositions set to "ignore" survive exec; the tool should start with
    // the defaults and with no signal blocked.
    struct sigaction defaultAction {};
    defaultAction.sa_handler = SIG_DFL;
    for (int signal = 1; signal < NSIG; ++signal) {
        if (signal != SIGKILL && signal != SIGSTOP)
            ::sigaction(signal, &defaultAction, nullptr);
    }
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);

    int reportFd = errorPipe;
    auto fail = [&reportFd]() {
        const int error = errno;
        ssize_t written;
        do {
            written = ::write(reportFd, &error, sizeof error);
        } while (written < 0 && errno == EINTR);
        ::_exit(127);
    };

    if (lowestPriority)
        ::setpriority(PRIO_PROCESS, 0, 19);   // best effort: a failure leaves normal priority

    // A parent started with 0, 1 or 2 closed may have been given one of them
    // for our descriptors; lift all three above 2 first so that the dup2
    // calls below cannot overwrite each other. dup2 leaves 0, 1 and 2
    // without close-on-exec, the copies above them keep it.
    // The secrets' pipes go to 3, 4, ... the same way, from copies above
    // those numbers.
    const int pipeCopy = ::fcntl(errorPipe, F_DUPFD_CLOEXEC, kChildScratchFd);
    if (pipeCopy < 0)
        fail();
    reportFd = pipeCopy;
    const int inputCopy = ::fcntl(inputFd, F_DUPFD_CLOEXEC, kChildScratchFd);
    const int outputCopy = ::fcntl(outputFd, F_DUPFD_CLOEXEC, kChildScratchFd);
    if (inputCopy < 0 || outputCopy < 0)
        fail();
    int secretCopies[kMaxSecretInputs];
    for (int i = 0; i < secretCount; ++i) {
        secretCopies[i] = ::fcntl(secretFds[i], F_DUPFD_CLOEXEC, kChildScratchFd);
        if (secretCopies[i] < 0)
            fail();
    }
    if (::dup2(inputCopy, STDIN_FILENO) < 0 || ::dup2(outputCopy, STDOUT_FILENO) < 0
        || ::dup2(outputCopy, STDERR_FILENO) < 0)
        fail();
    for (int i = 0; i < secretCount; ++i) {
        if (::dup2(secretCopies[i], 3 + i) < 0)
            fail();
    }

    // Descriptors that other parts of the program opened without
    // close-on-exec are none of the tool's business.
    const int firstFree = 3 + secretCount;
    if (pipeCopy > firstFree)
        ::close_range(static_cast<unsigned>(firstFree), static_cast<unsigned>(pipeCopy) - 1, 0);
    ::close_range(static_cast<unsigned>(pipeCopy) + 1, ~0U, 0);

    if (workingFolder && ::chdir(workingFolder) != 0)
        fail();
    ::execv(program, argv);
    fail();
    ::_exit(127);   // not reached; keeps [[noreturn]] honest for the compiler
}

// Reads the errno that the child sends when exec fails. End of file without
// data means the exec succeeded (the pipe closed on exec).
bool readStartError(int fd, int &error)
{
    int value = 0;
    std::size_t got = 0;
    while (got < sizeof value) {
        const ssize_t n = ::read(fd, reinterpret_cast<char *>(&value) + got, sizeof value - got);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (n == 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    if (got < sizeof value)
        return false;
    error = value;
    return true;
}

int exitCodeOf(int status)
{
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

// Waits for the child to end and returns its exit code.
int waitForChild(pid_t pid, const std::function<void()> &whileWaiting)
{
    int status = 0;
    for (;;) {
        const pid_t done = ::waitpid(pid, &status, whileWaiting ? WNOHANG : 0);
        if (done == pid)
            return exitCodeOf(status);
        if (done < 0) {
            if (errno == EINTR)
                continue;
            return -1;   // ECHILD: reaped elsewhere, the outcome is unknown (never success)
        }
        whileWaiting();
        timespec pause{0, 10 * 1000 * 1000};
        ::nanosleep(&pause, nullptr);   // an interrupted pause just polls sooner
    }
}

// Hands what the child has added to the output file since the last call to
// the caller, read through our own descriptor of the file. A poll reads at
// most a few megabytes, so that a tool that floods its output cannot hold
// the caller's windows still; the rest comes at the next poll.
class OutputFollower {
public:
    OutputFollower(int fd, const std::function<void(const QByteArray &)> &outputGrew)
        : m_fd(fd), m_outputGrew(outputGrew) {}

    void poll()
    {
        constexpr qsizetype Chunk = 64 * 1024;
        constexpr int MaxChunks = 64;
        QByteArray added;
        for (int chunk = 0; chunk < MaxChunks; ++chunk) {
            const qsizetype had = added.size();
            added.resize(had + Chunk);
            const ssize_t n = ::pread(m_fd.get(), added.data() + had, Chunk, m_offset);
            if (n < 0 && errno == EINTR) {
                added.resize(had);
                continue;
            }
            added.resize(had + std::max<ssize_t>(n, 0));
            if (n <= 0)
                break;
            m_offset += n;
            if (n < Chunk)
                break;
        }
        if (!added.isEmpty())
            m_outputGrew(added);
    }

private:
    Fd m_fd;
    const std::function<void(const QByteArray &)> &m_outputGrew;
    off_t m_offset = 0;
};

// strerror_r comes in two flavours; these overloads take whichever the C
// library declares.
[[maybe_unused]] const char *errorTextFrom(int result, const char *buffer)
{
    return result == 0 ? buffer : nullptr;
}
[[maybe_unused]] const char *errorTextFrom(const char *result, const char *)
{
    return result;
}

} // namespace

ArgumentSpace childArgumentSpace()
{
    ArgumentSpace space;
    // glibc gives a quarter of the stack limit, unbounded when the stack
    // is; the kernel takes at most three quarters of its default stack
    // limit (6 MiB) whatever the stack, so that is the real bound.
    constexpr std::int64_t KernelCap = 6 * 1024 * 1024;
    const long argMax = ::sysconf(_SC_ARG_MAX);
    space.argMax = argMax > 0 ? std::min<std::int64_t>(argMax, KernelCap) : 128 * 1024;
    // A single string may not exceed 32 pages (MAX_ARG_STRLEN).
    const long page = ::sysconf(_SC_PAGESIZE);
    space.longestArgument = 32 * std::int64_t(page > 0 ? page : 4096);
    std::int64_t environment = sizeof(char *);   // the terminating null pointer
    for (char **variable = environ; variable && *variable; ++variable)
        environment += std::int64_t(std::strlen(*variable)) + 1 + std::int64_t(sizeof(char *));
    space.environmentBytes = environment;
    return space;
}

bool startErrorIsExplained(int errorCode)
{
    return errorCode == E2BIG || errorCode == ENOENT || errorCode == EACCES
        || errorCode == ENOEXEC;
}

QString systemErrorText(int errorCode)
{
    char buffer[256] = {};
    const char *text = errorTextFrom(::strerror_r(errorCode, buffer, sizeof buffer), buffer);
    if (!text || !*text)
        return QStringLiteral("Unknown error %1").arg(errorCode);
    return QString::fromLocal8Bit(text);
}

ProcessOutcome runProcess(const ProcessRequest &request,
                          const std::function<void()> &whileWaiting)
{
    if (request.program.isEmpty())
        return failedStart(ENOENT);

    // The child changes folder before exec, so a relative program path is
    // fixed against our folder now.
    QByteArray program = encodeFileName(request.program);
    if (!program.startsWith('/')) {
        QByteArray base;
        if (const int error = posix::currentFolderBytes(base))
            return failedStart(error);
        if (!base.endsWith('/'))
            base.append('/');
        program.prepend(base);
    }

    std::vector<QByteArray> argumentBytes;
    argumentBytes.reserve(request.arguments.size() + 1);
    argumentBytes.push_back(program);
    // Plain text goes out as UTF-8; a file name that is not UTF-8 goes out
    // as the very bytes it has on disk.
    for (const QString &argument : request.arguments)
        argumentBytes.push_back(encodeFileName(argument));
    std::vector<char *> argv;
    for (QByteArray &argument : argumentBytes)
        argv.push_back(argument.data());
    argv.push_back(nullptr);

    const QByteArray workingFolder = encodeFileName(request.workingFolder);

    // Standard output and standard error share one open file description,
    // so what the tool writes to either lands in the order it was written.
    Fd output;
    if (request.outputFile.isEmpty()) {
        output.reset(openRetrying("/dev/null", O_WRONLY | O_CLOEXEC));
        if (!output.valid())
            return failedStart(errno);
    } else {
        // A symbolic link in the output's place is not followed: in a folder
        // that others can write to, it could aim our truncating write (made
        // as root, for an administrator's program) at any file.
        // Nor is anything but a plain file taken: a FIFO would block this
        // open (or later the tool) for good, with the windows frozen.
        const QByteArray outputPath = encodeFileName(request.outputFile);
        // Read and write when the caller follows the output while the
        // child runs: the reading is done through a copy of this descriptor.
        const int access = request.outputGrew ? O_RDWR : O_WRONLY;
        output.reset(openRetrying(outputPath.constData(),
                                  access | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW
                                      | O_NONBLOCK,
                                  0666));
        if (!output.valid())
            return failedStart(errno, true);
        struct stat info {};
        if (::fstat(output.get(), &info) != 0)
            return failedStart(errno, true);
        if (!S_ISREG(info.st_mode))
            return failedStart(ENXIO, true);
        if (const int error = posix::clearNonBlocking(output.get()))
            return failedStart(error, true);
    }

    std::optional<OutputFollower> follower;
    if (request.outputGrew && !request.outputFile.isEmpty()) {
        const int copy = ::fcntl(output.get(), F_DUPFD_CLOEXEC, 3);
        if (copy < 0)
            return failedStart(errno);
        follower.emplace(copy, request.outputGrew);
    }

    Fd input(openRetrying("/dev/null", O_RDONLY | O_CLOEXEC));
    if (!input.valid())
        return failedStart(errno);

    if (request.secretInputs.size() > kMaxSecretInputs)
        return failedStart(E2BIG);
    std::vector<Fd> secretPipes;
    int secretFds[kMaxSecretInputs] = {};
    for (const QByteArray &secret : request.secretInputs) {
        std::string bytes(secret.constData(), size_t(secret.size()));
        const posix::SecretWiper wiper(bytes);
        secretPipes.emplace_back(posix::secretPipe(bytes));
        if (!secretPipes.back().valid())
            return failedStart(errno);
        secretFds[secretPipes.size() - 1] = secretPipes.back().get();
    }

    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        return failedStart(errno);
    Fd errorRead(pipeFds[0]);
    Fd errorWrite(pipeFds[1]);

    const pid_t pid = ::fork();
    if (pid < 0)
        return failedStart(errno);
    if (pid == 0) {
        runChild(program.constData(), argv.data(),
                 request.workingFolder.isEmpty() ? nullptr : workingFolder.constData(),
                 input.get(), output.get(), errorWrite.get(), request.lowestPriority, secretFds,
                 int(secretPipes.size()));
    }

    // Our copies must go, or the read below would never see end of file and
    // the capture file would stay open while the caller reads it back.
    errorWrite.reset();
    input.reset();
    output.reset();
    secretPipes.clear();

    int startError = 0;
    if (readStartError(errorRead.get(), startError)) {
        int status;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        return failedStart(startError);
    }
    errorRead.reset();

    ProcessOutcome outcome;
    outcome.started = true;
    std::function<void()> poll = whileWaiting;
    if (follower) {
        poll = [&follower, &whileWaiting] {
            follower->poll();
            if (whileWaiting)
                whileWaiting();
        };
    }
    outcome.exitCode = waitForChild(pid, poll);
    return outcome;
}

} // namespace platform
