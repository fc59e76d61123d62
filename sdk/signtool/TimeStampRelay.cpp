#include "TimeStampRelay.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace signtool {

namespace {

using Clock = std::chrono::steady_clock;

// What a request's head may take; far beyond osslsigncode's few lines.
constexpr size_t kMaxHeadBytes = 64 * 1024;
// What a request may send on: a time-stamp request is a few hundred bytes.
constexpr size_t kMaxRequestBytes = 1024 * 1024;
// Connections served at once; osslsigncode makes one.
constexpr int kMaxConnections = 4;

void closeFd(int fd)
{
    if (fd >= 0)
        ::close(fd);
}

} // namespace

struct TimeStampRelay::State {
    ServerAddress server;
    int listener = -1;
    int wake = -1; // an eventfd, readable for good once the relay stops
    unsigned short port = 0;
    Clock::time_point deadline;
    std::atomic<bool> tooLarge{false};
    std::atomic<int> connections{0};

    ~State()
    {
        closeFd(listener);
        closeFd(wake);
    }

    int millisecondsLeft() const
    {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        return static_cast<int>(std::clamp<long long>(left, 0, 1 << 30));
    }

    // Waits until `fd` is ready for `events`; false when the relay stops,
    // the time is up or the peer is gone.
    bool waitFor(int fd, short events) const
    {
        for (;;) {
            const int left = millisecondsLeft();
            if (left == 0)
                return false;
            pollfd fds[2] = {{fd, events, 0}, {wake, POLLIN, 0}};
            const int ready = ::poll(fds, 2, left);
            if (ready < 0 && errno == EINTR)
                continue;
            if (ready <= 0 || fds[1].revents)
                return false;
            return (fds[0].revents & events) || (fds[0].revents & (POLLHUP | POLLERR));
        }
    }

    bool sendAll(int fd, const char *data, size_t size) const
    {
        while (size > 0) {
            if (!waitFor(fd, POLLOUT))
                return false;
            const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            if (n <= 0)
                return false;
            data += n;
            size -= static_cast<size_t>(n);
        }
        return true;
    }
};

namespace {

using State = TimeStampRelay::State;

// The user id that owns the other end of an accepted loopback connection,
// from the kernel's socket table; -1 when it cannot be told.
long long peerUser(const sockaddr_in &peer, unsigned short ourPort)
{
    char local[32], remote[32];
    std::snprintf(local, sizeof local, "%08X:%04X", peer.sin_addr.s_addr, ntohs(peer.sin_port));
    // The table writes an address as its four bytes read as a number in
    // this machine's order, a port as a plain number.
    in_addr loopback{};
    loopback.s_addr = htonl(INADDR_LOOPBACK);
    std::snprintf(remote, sizeof remote, "%08X:%04X", loopback.s_addr, ourPort);
    std::ifstream table("/proc/net/tcp");
    std::string line;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, localField, remoteField, state, queues, timer, retransmits;
        long long uid = -1;
        if (!(fields >> slot >> localField >> remoteField >> state >> queues >> timer >> retransmits >> uid))
            continue;
        if (localField == local && remoteField == remote)
            return uid;
    }
    return -1;
}

int connectToServer(const State &state)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (::getaddrinfo(state.server.host.c_str(), state.server.port.c_str(), &hints, &found) != 0)
        return -1;
    int result = -1;
    for (addrinfo *at = found; at && result < 0; at = at->ai_next) {
        const int fd = ::socket(at->ai_family, at->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, at->ai_protocol);
        if (fd < 0)
            continue;
        if (::connect(fd, at->ai_addr, at->ai_addrlen) == 0) {
            result = fd;
            break;
        }
        int error = errno;
        if (error == EINPROGRESS && state.waitFor(fd, POLLOUT)) {
            socklen_t size = sizeof error;
            if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0) {
                result = fd;
                break;
            }
        }
        ::close(fd);
    }
    ::freeaddrinfo(found);
    return result;
}

// What a plain HTTP answer held so far says about its size: too large
// already (a Content-Length past the limit), complete (its Content-Length
// reached, or the last chunk of a chunked body), or neither yet.
enum class AnswerSize { Open, Complete, TooLarge };

AnswerSize answerSize(const std::string &answer)
{
    const size_t headEnd = answer.find("\r\n\r\n");
    if (headEnd == std::string::npos)
        return AnswerSize::Open;
    std::string head = answer.substr(0, headEnd + 2);
    std::transform(head.begin(), head.end(), head.begin(), [](unsigned char c) { return std::tolower(c); });
    const size_t length = head.find("\r\ncontent-length:");
    if (length != std::string::npos) {
        const unsigned long long declared = std::strtoull(head.c_str() + length + 17, nullptr, 10);
        if (declared > TimeStampRelay::kMaxAnswerBytes)
            return AnswerSize::TooLarge;
        return answer.size() >= headEnd + 4 + declared ? AnswerSize::Complete : AnswerSize::Open;
    }
    if (head.find("\r\ntransfer-encoding:") != std::string::npos && answer.size() >= headEnd + 9
        && answer.compare(answer.size() - 5, 5, "0\r\n\r\n") == 0)
        return AnswerSize::Complete;
    return AnswerSize::Open;
}

// Passes bytes both ways until either side ends; an answer past the limit
// cuts both. A plain HTTP answer is held here until it is complete and only
// then passed on, so that its whole size is known whether or not the client
// reads on (OpenSSL's client gives up on some answers by itself, with a
// message that would not say why); an encrypted one is passed on as it
// comes, and counted.
void pump(State &state, int client, int server, bool holdAnswer)
{
    size_t answered = 0, requested = 0;
    std::string held;
    char buffer[16 * 1024];
    for (;;) {
        const int left = state.millisecondsLeft();
        if (left == 0)
            return;
        pollfd fds[3] = {{client, POLLIN, 0}, {server, POLLIN, 0}, {state.wake, POLLIN, 0}};
        const int ready = ::poll(fds, 3, left);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0 || fds[2].revents)
            return;
        for (int side = 0; side < 2; ++side) {
            if (!fds[side].revents)
                continue;
            const int from = side == 0 ? client : server;
            const int to = side == 0 ? server : client;
            const ssize_t n = ::recv(from, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            if (n <= 0) {
                // The server's end completes a held answer.
                if (side == 1 && holdAnswer)
                    state.sendAll(client, held.data(), held.size());
                return;
            }
            size_t &count = side == 0 ? requested : answered;
            count += static_cast<size_t>(n);
            if (side == 1 && count > TimeStampRelay::kMaxAnswerBytes) {
                state.tooLarge = true;
                return;
            }
            if (side == 0 && count > kMaxRequestBytes)
                return;
            if (side == 1 && holdAnswer) {
                held.append(buffer, static_cast<size_t>(n));
                const AnswerSize size = answerSize(held);
                if (size == AnswerSize::TooLarge) {
                    state.tooLarge = true;
                    return;
                }
                if (size == AnswerSize::Complete) {
                    state.sendAll(client, held.data(), held.size());
                    return;
                }
                continue;
            }
            if (!state.sendAll(to, buffer, static_cast<size_t>(n)))
                return;
        }
    }
}

void refuse(const State &state, int client, const char *status)
{
    const std::string answer = std::string("HTTP/1.1 ") + status + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    state.sendAll(client, answer.data(), answer.size());
}

void serve(std::shared_ptr<State> state, int client)
{
    std::string head;
    size_t headEnd = std::string::npos;
    char buffer[4096];
    while (headEnd == std::string::npos && head.size() < kMaxHeadBytes && state->waitFor(client, POLLIN)) {
        const ssize_t n = ::recv(client, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            break;
        head.append(buffer, static_cast<size_t>(n));
        headEnd = head.find("\r\n\r\n");
    }
    if (headEnd != std::string::npos) {
        const std::string line = head.substr(0, head.find("\r\n"));
        const bool tunnel = line.compare(0, 8, "CONNECT ") == 0;
        const std::string firstLine = tunnel ? line : originFormRequestLine(line);
        if (firstLine.empty() || tunnel != state->server.tls) {
            refuse(*state, client, "400 Bad Request");
        } else if (const int server = connectToServer(*state); server < 0) {
            refuse(*state, client, "502 Bad Gateway");
        } else {
            bool ready;
            if (tunnel) {
                static const char established[] = "HTTP/1.1 200 Connection established\r\n\r\n";
                const std::string rest = head.substr(headEnd + 4);
                ready = state->sendAll(client, established, sizeof established - 1)
                        && state->sendAll(server, rest.data(), rest.size());
            } else {
                const std::string request = firstLine + head.substr(line.size());
                ready = state->sendAll(server, request.data(), request.size());
            }
            if (ready)
                pump(*state, client, server, !tunnel);
            ::close(server);
        }
    }
    ::close(client);
    --state->connections;
}

void acceptConnections(std::shared_ptr<State> state)
{
    while (state->waitFor(state->listener, POLLIN)) {
        sockaddr_in peer{};
        socklen_t size = sizeof peer;
        const int client = ::accept4(state->listener, reinterpret_cast<sockaddr *>(&peer), &size,
                                     SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (client < 0)
            continue;
        if (peerUser(peer, state->port) != static_cast<long long>(::geteuid())
            || state->connections >= kMaxConnections) {
            ::close(client);
            continue;
        }
        ++state->connections;
        std::thread(serve, state, client).detach();
    }
}

} // namespace

bool serverOfUrl(const std::string &url, ServerAddress &server)
{
    // Without a scheme osslsigncode asks with plain HTTP.
    const size_t found = url.find("://");
    const size_t schemeEnd = found == std::string::npos ? 0 : found;
    std::string scheme = found == std::string::npos ? "http" : url.substr(0, schemeEnd);
    std::transform(scheme.begin(), scheme.end(), scheme.begin(), [](unsigned char c) { return std::tolower(c); });
    if (scheme != "http" && scheme != "https")
        return false;
    server.tls = scheme == "https";
    const size_t start = found == std::string::npos ? 0 : schemeEnd + 3;
    const size_t end = url.find_first_of("/?#", start);
    std::string authority = url.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (const size_t at = authority.rfind('@'); at != std::string::npos)
        authority.erase(0, at + 1);
    std::string port;
    if (!authority.empty() && authority[0] == '[') {
        const size_t close = authority.find(']');
        if (close == std::string::npos)
            return false;
        server.host = authority.substr(1, close - 1);
        if (close + 1 < authority.size()) {
            if (authority[close + 1] != ':')
                return false;
            port = authority.substr(close + 2);
        }
    } else {
        const size_t colon = authority.rfind(':');
        server.host = authority.substr(0, colon);
        if (colon != std::string::npos)
            port = authority.substr(colon + 1);
    }
    if (port.empty())
        port = server.tls ? "443" : "80";
    if (port.find_first_not_of("0123456789") != std::string::npos || port.size() > 5)
        return false;
    server.port = port;
    return !server.host.empty();
}

std::string originFormRequestLine(const std::string &line)
{
    const size_t methodEnd = line.find(' ');
    const size_t targetEnd = line.rfind(' ');
    if (methodEnd == std::string::npos || targetEnd == methodEnd)
        return {};
    std::string target = line.substr(methodEnd + 1, targetEnd - methodEnd - 1);
    if (target.empty())
        return {};
    if (target[0] != '/') {
        const size_t schemeEnd = target.find("://");
        if (schemeEnd == std::string::npos)
            return {};
        const size_t pathStart = target.find_first_of("/?", schemeEnd + 3);
        target = pathStart == std::string::npos ? "/" : target.substr(pathStart);
        if (target[0] == '?')
            target.insert(0, "/");
    }
    return line.substr(0, methodEnd + 1) + target + line.substr(targetEnd);
}

TimeStampRelay::TimeStampRelay(std::shared_ptr<State> state) : m_state(std::move(state)) {}

TimeStampRelay::~TimeStampRelay()
{
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(m_state->wake, &one, sizeof one);
}

std::unique_ptr<TimeStampRelay> TimeStampRelay::start(const std::string &url, int seconds, std::string &error)
{
    auto state = std::make_shared<State>();
    if (!serverOfUrl(url, state->server)) {
        error = "the URL names no http or https server";
        return nullptr;
    }
    state->deadline = Clock::now() + std::chrono::seconds(seconds);
    state->wake = ::eventfd(0, EFD_CLOEXEC);
    state->listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (state->wake < 0 || state->listener < 0
        || ::bind(state->listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0
        || ::listen(state->listener, 8) != 0
        || ::getsockname(state->listener, reinterpret_cast<sockaddr *>(&address), &size) != 0) {
        error = std::string("no local port for the relay: ") + std::strerror(errno);
        return nullptr;
    }
    state->port = ntohs(address.sin_port);
    std::thread(acceptConnections, state).detach();
    return std::unique_ptr<TimeStampRelay>(new TimeStampRelay(std::move(state)));
}

std::string TimeStampRelay::proxyUrl() const
{
    return "http://127.0.0.1:" + std::to_string(m_state->port);
}

bool TimeStampRelay::answerTooLarge() const
{
    return m_state->tooLarge;
}

} // namespace signtool
