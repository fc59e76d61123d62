#include "platform/Platform.h"
#include "CurrentFolder.h"
#include "safefile/CaptureFile.h"
#include "safefile/ChildStart.h"
#include "safefile/Descriptor.h"
#include "safefile/SecretChannel.h"

#include <algorithm>
#include <cstdint>
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

using Fd = safefile::Descriptor;
using safefile::openRetrying;

ProcessOutcome failedStart(int error, bool outputFileFailed = false)
{
    ProcessOutcome outcome;
    outcome.started = false;
    outcome.errorCode = error;
    outcome.errorText = systemErrorText(error);
    outcome.outputFileFailed = outputFileFailed;
    return outcome;
}

// The secrets' pipes go to descriptors 3, 4, ... of the child.
constexpr int kMaxSecretInputs = 8;

int exitCodeOf(int status)
{
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

// How long a child told to end may take before it is killed.
constexpr int kStopGraceMs = 5000;

std::int64_t monotonicMs()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Waits for the child to end and returns its exit code. Once `stop` gives
// true the child gets SIGTERM, and SIGKILL when it outlives the grace time.
int waitForChild(pid_t pid, const std::function<void()> &whileWaiting,
                 const std::function<bool()> &stop, bool &stopped)
{
    const bool polling = whileWaiting || stop;
    std::int64_t killAt = 0;
    int status = 0;
    for (;;) {
        const pid_t done = ::waitpid(pid, &status, polling ? WNOHANG : 0);
        if (done == pid)
            return exitCodeOf(status);
        if (done < 0) {
            if (errno == EINTR)
                continue;
            return -1;   // ECHILD: reaped elsewhere, the outcome is unknown (never success)
        }
        if (!stopped && stop && stop()) {
            stopped = true;
            ::kill(pid, SIGTERM);
            killAt = monotonicMs() + kStopGraceMs;
        } else if (stopped && killAt != 0 && monotonicMs() >= killAt) {
            ::kill(pid, SIGKILL);
            killAt = 0;
        }
        if (whileWaiting)
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
    // The file is made anew and exclusively: in a folder that others can
    // write to, an entry of theirs under that name (a file of mode 0666, a
    // hard link, a symbolic link, a FIFO) is neither written nor read; a
    // private name beside it is used instead.
    safefile::CaptureFile capture;
    struct CaptureRemover {
        safefile::CaptureFile &capture;
        bool armed = false;
        ~CaptureRemover()
        {
            if (armed)
                capture.remove();
        }
    } remover{capture};
    Fd output;
    if (request.outputFile.isEmpty()) {
        output.reset(openRetrying("/dev/null", O_WRONLY | O_CLOEXEC));
        if (!output.valid())
            return failedStart(errno);
    } else {
        if (const int error = capture.create(encodeFileName(request.outputFile).toStdString()))
            return failedStart(error, true);
        remover.armed = request.removeOutputFile;
        output.reset(::fcntl(capture.fd(), F_DUPFD_CLOEXEC, 3));
        if (!output.valid())
            return failedStart(errno, true);
    }

    std::optional<OutputFollower> follower;
    if (request.outputGrew && !request.outputFile.isEmpty()) {
        const int copy = ::fcntl(capture.fd(), F_DUPFD_CLOEXEC, 3);
        if (copy < 0)
            return failedStart(errno);
        follower.emplace(copy, request.outputGrew);
    }

    if (request.secretInputs.size() > kMaxSecretInputs)
        return failedStart(E2BIG);
    std::vector<Fd> secretPipes;
    std::pair<int, int> handOver[kMaxSecretInputs];
    for (const QByteArray &secret : request.secretInputs) {
        std::string bytes(secret.constData(), size_t(secret.size()));
        const safefile::SecretWiper wiper(bytes);
        secretPipes.emplace_back(safefile::secretPipe(bytes));
        if (!secretPipes.back().valid())
            return failedStart(errno);
        const int index = int(secretPipes.size()) - 1;
        handOver[index] = {secretPipes.back().get(), 3 + index};
    }

    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        return failedStart(errno);
    Fd errorRead(pipeFds[0]);
    Fd errorWrite(pipeFds[1]);

    safefile::ChildSetup setup;
    setup.program = program.constData();
    setup.argv = argv.data();
    setup.workingFolder = request.workingFolder.isEmpty() ? nullptr : workingFolder.constData();
    setup.output = output.get();
    setup.report = errorWrite.get();
    setup.lowestPriority = request.lowestPriority;
    // A tool must not sign on for a parent that is gone (killed, or ended
    // without waiting): it dies with this process.
    setup.parent = ::getpid();
    setup.handOver = handOver;
    setup.handOverCount = secretPipes.size();
    const pid_t pid = ::fork();
    if (pid < 0)
        return failedStart(errno);
    if (pid == 0)
        safefile::startChild(setup);

    // Our copies must go, or the read below would never see end of file.
    errorWrite.reset();
    output.reset();
    secretPipes.clear();

    int startError = 0;
    if (safefile::readStartError(errorRead.get(), startError)) {
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
    outcome.exitCode = waitForChild(pid, poll, request.stopRequested, outcome.stopped);
    if (!request.outputFile.isEmpty()) {
        outcome.outputFileUsed = decodeFileName(QByteArray::fromStdString(capture.path()));
        // The output is read through the descriptor either way; a name
        // that no longer names the file means someone else was at work in
        // the folder, and the run's output is not taken as it stands.
        std::string captured;
        outcome.outputReadError = capture.stillNamed();
        if (outcome.outputReadError == 0)
            outcome.outputReadError = capture.readAll(captured);
        if (outcome.outputReadError == 0)
            outcome.output = QByteArray::fromStdString(captured);
    }
    return outcome;
}

} // namespace platform
