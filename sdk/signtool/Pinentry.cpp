#include "Pinentry.h"

#include "ToolSupport.h"
#include "safefile/ChildStart.h"
#include "safefile/Descriptor.h"
#include "safefile/SecretBuffer.h"
#include "safefile/TrustedProgram.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace signtool {

namespace {

// gpg-error codes pinentry answers with (the low 16 bits of an ERR line).
constexpr unsigned long gpgErrTimeout = 62;
constexpr unsigned long gpgErrCanceled = 99;
constexpr unsigned long gpgErrFullyCanceled = 198;

using Clock = std::chrono::steady_clock;

class PinentrySession {
public:
    // Room reserved up front for everything that may hold the PIN, so that no
    // string holding it ever moves to a larger block and leaves a copy.
    static constexpr size_t kMaxLineBytes = 65536 + 512;

    explicit PinentrySession(Clock::time_point deadline) : m_deadline(deadline) { m_buffer.reserve(kMaxLineBytes); }
    ~PinentrySession()
    {
        stop();
        wipe(m_buffer);
    }
    PinentrySession(const PinentrySession &) = delete;
    PinentrySession &operator=(const PinentrySession &) = delete;

    std::string start(const std::string &program)
    {
        int toChild[2], fromChild[2];
        if (pipe2(toChild, O_CLOEXEC) != 0)
            return sdktool::errnoText(errno);
        if (pipe2(fromChild, O_CLOEXEC) != 0) {
            const int err = errno;
            close(toChild[0]);
            close(toChild[1]);
            return sdktool::errnoText(err);
        }
        char *const argv[] = {const_cast<char *>(program.c_str()), nullptr};
        const safefile::Descriptor devNull(open("/dev/null", O_WRONLY | O_CLOEXEC));
        safefile::ChildSetup setup;
        setup.program = program.c_str();
        setup.argv = argv;
        setup.input = toChild[0];
        setup.output = fromChild[1];
        setup.errors = devNull.get();
        // The dialog must not outlive a killed signtool.exe.
        setup.parent = getpid();
        m_pid = fork();
        if (m_pid == 0)
            safefile::startChild(setup);
        const int forkErrno = errno;
        close(toChild[0]);
        close(fromChild[1]);
        m_in = toChild[1];
        m_out = fromChild[0];
        if (m_pid < 0) {
            m_pid = 0;
            return sdktool::errnoText(forkErrno);
        }
        return std::string();
    }

    // One response: the data lines and the closing OK or ERR line.
    struct Response {
        bool complete = false; // false: the pipe closed or the time ran out
        bool ok = false;
        unsigned long errorCode = 0;
        std::string errorText;
        std::string data;
    };

    Response readResponse()
    {
        Response response;
        std::string line;
        line.reserve(kMaxLineBytes);
        while (readLine(line)) {
            if (line == "OK" || line.rfind("OK ", 0) == 0) {
                response.complete = response.ok = true;
                return response;
            }
            if (line.rfind("ERR ", 0) == 0) {
                response.complete = true;
                response.errorCode = std::strtoul(line.c_str() + 4, nullptr, 10);
                const size_t blank = line.find(' ', 4);
                response.errorText = blank == std::string::npos ? line.substr(4) : line.substr(blank + 1);
                return response;
            }
            // Decoded straight into the answer, which has room for it all:
            // a temporary string, or a copy left behind when the answer
            // grows, would keep the PIN in freed memory.
            if (line.rfind("D ", 0) == 0) {
                response.data.reserve(kMaxLineBytes);
                appendAssuanUnescaped(line, 2, response.data);
            }
            // Status ("S ...") and comment ("#") lines carry nothing we need.
            wipe(line);
        }
        wipe(line);
        return response;
    }

    bool send(const std::string &command)
    {
        return sdktool::writeAll(m_in, command + "\n");
    }

    Response command(const std::string &text)
    {
        if (!send(text))
            return Response{};
        return readResponse();
    }

    void stop()
    {
        if (m_in >= 0) {
            send("BYE");
            close(m_in);
            m_in = -1;
        }
        if (m_out >= 0) {
            close(m_out);
            m_out = -1;
        }
        if (m_pid > 0) {
            // A well-behaved pinentry ends at BYE; give it a moment, then
            // make sure no dialog is left on the screen.
            int status = 0;
            for (int i = 0; i < 50; ++i) {
                if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
                    m_pid = 0;
                    return;
                }
                usleep(20000);
            }
            kill(m_pid, SIGKILL);
            waitpid(m_pid, &status, 0);
            m_pid = 0;
        }
    }

private:
    bool readLine(std::string &line)
    {
        line.clear();
        for (;;) {
            const size_t newline = m_buffer.find('\n');
            if (newline != std::string::npos) {
                line.assign(m_buffer, 0, newline);
                // Erasing shifts the rest down within the same block, so no
                // copy of a PIN is left behind in freed memory.
                m_buffer.erase(0, newline + 1);
                return true;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(m_deadline - Clock::now());
            if (left.count() <= 0)
                return false;
            pollfd pfd{m_out, POLLIN, 0};
            const int ready = poll(&pfd, 1, static_cast<int>(std::min<long long>(left.count(), 1000)));
            if (ready < 0 && errno != EINTR)
                return false;
            if (ready <= 0)
                continue;
            char chunk[512];
            const ssize_t n = read(m_out, chunk, sizeof chunk);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            if (m_buffer.size() + static_cast<size_t>(n) > kMaxLineBytes)
                return false; // not a pinentry
            m_buffer.append(chunk, static_cast<size_t>(n));
            OPENSSL_cleanse(chunk, sizeof chunk);
        }
    }

    Clock::time_point m_deadline;
    pid_t m_pid = 0;
    int m_in = -1;
    int m_out = -1;
    std::string m_buffer;
};

std::string pinentryProgram()
{
    if (const char *configured = std::getenv("QUILLMARK_PINENTRY"); configured && *configured)
        return configured;
    return sdktool::findOnPath("pinentry");
}

bool isCancel(unsigned long code)
{
    const unsigned long reason = code & 0xFFFF;
    return reason == gpgErrCanceled || reason == gpgErrFullyCanceled || reason == gpgErrTimeout;
}

} // namespace

std::string assuanEscape(const std::string &text)
{
    std::string result;
    for (char c : text) {
        if (c == '%' || c == '\n' || c == '\r') {
            static const char hex[] = "0123456789ABCDEF";
            const unsigned char byte = static_cast<unsigned char>(c);
            result += '%';
            result += hex[byte >> 4];
            result += hex[byte & 15];
        } else {
            result += c;
        }
    }
    return result;
}

void appendAssuanUnescaped(const std::string &data, size_t from, std::string &out)
{
    auto hexValue = [](char c) -> int {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    };
    for (size_t i = from; i < data.size(); ++i) {
        if (data[i] == '%' && i + 2 < data.size()) {
            const int high = hexValue(data[i + 1]), low = hexValue(data[i + 2]);
            if (high >= 0 && low >= 0) {
                out += static_cast<char>(high * 16 + low);
                i += 2;
                continue;
            }
        }
        out += data[i];
    }
}

std::string assuanUnescape(const std::string &data)
{
    std::string result;
    appendAssuanUnescaped(data, 0, result);
    return result;
}

void wipe(std::string &secret)
{
    safefile::wipeSecret(secret);
}

PinAnswer askForPin(const PinRequest &request)
{
    PinAnswer answer;
    const std::string program = pinentryProgram();
    if (program.empty()) {
        answer.detail = "no pinentry program was found (install pinentry-gnome3, pinentry-qt or pinentry-curses, "
                        "or set QUILLMARK_PINENTRY)";
        return answer;
    }

    // Running as root, the dialog would run with root's rights.
    if (const std::string refusal = safefile::programRefusalForRoot(program); !refusal.empty()) {
        answer.detail = program + " is not used: " + refusal;
        return answer;
    }

    if (access(program.c_str(), X_OK) != 0) {
        answer.detail = program + " cannot be started: " + sdktool::errnoText(errno);
        return answer;
    }

    // A pinentry that dies mid-talk must not kill this tool with SIGPIPE.
    struct sigaction ignore {}, previous {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, &previous);

    // The dialog closes itself at the time-out (SETTIMEOUT); one that does
    // not is ended a second later.
    PinentrySession session(Clock::now() + std::chrono::seconds(request.timeoutSeconds + 1));
    if (const std::string error = session.start(program); !error.empty()) {
        answer.detail = program + " cannot be started: " + error;
    } else if (const auto greeting = session.readResponse(); !greeting.ok) {
        answer.detail = program + " does not speak the pinentry protocol";
    } else {
        // The terminal, for a text-mode pinentry run from a console.
        for (int fd : {0, 1, 2}) {
            if (const char *tty = isatty(fd) ? ttyname(fd) : nullptr) {
                session.command("OPTION ttyname=" + assuanEscape(tty));
                if (const char *term = std::getenv("TERM"))
                    session.command("OPTION ttytype=" + assuanEscape(term));
                break;
            }
        }
        session.command("SETTIMEOUT " + std::to_string(request.timeoutSeconds));
        const bool setUp = session.command("SETTITLE " + assuanEscape(request.title)).ok
            && session.command("SETDESC " + assuanEscape(request.description)).ok
            && session.command("SETPROMPT " + assuanEscape(request.prompt)).ok;
        if (!setUp) {
            answer.detail = program + " refused the dialog's texts";
        } else {
            auto reply = session.command("GETPIN");
            if (reply.ok && !reply.data.empty()) {
                answer.status = PinAnswer::Status::Entered;
                answer.pin.swap(reply.data);
            } else if (reply.ok || (reply.complete && isCancel(reply.errorCode))) {
                // An empty PIN is never right; asking the token with it would
                // only use up one of its tries.
                answer.status = PinAnswer::Status::Cancelled;
            } else if (reply.complete) {
                answer.detail = program + " failed: " + reply.errorText;
            } else {
                answer.status = PinAnswer::Status::Cancelled;
                answer.detail = "no answer in time";
            }
            wipe(reply.data);
        }
    }
    session.stop();
    sigaction(SIGPIPE, &previous, nullptr);
    return answer;
}

} // namespace signtool
