#include "TimeStampRelay.h"

#include "HttpFetch.h"
#include "TimeStamp.h"
#include "ToolSupport.h"

#include <openssl/err.h>

#include <algorithm>
#include <openssl/http.h>
#include <openssl/httperr.h>
#include <openssl/ssl.h>
#include <openssl/ts.h>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

using namespace sdktool;

namespace signtool {

namespace {

constexpr size_t kMaxRequest = 64 * 1024;
constexpr size_t kMaxReply = 1024 * 1024;

using Clock = std::chrono::steady_clock;

struct Route {
    std::string target;
    bool rfc3161 = false;
    int sharesDeadlineOf = -1; // the route whose deadline this one keeps
    std::string refusal;
    bool timedOut = false; // the server did not answer within the time-out
    bool tooLarge = false;
    std::optional<Clock::time_point> deadline; // set when its request came
};

// Whole seconds left until `deadline`, rounded up; 0 once it has passed.
int secondsLeft(Clock::time_point deadline)
{
    const auto left = std::chrono::ceil<std::chrono::seconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

bool sendAll(int fd, const std::string &data)
{
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

void answer(int fd, int status, const char *reason, const char *contentType, const std::string &body)
{
    sendAll(fd, "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\nContent-Type: " + contentType
                    + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
}

// One HTTP request of osslsigncode: its path and body; false when it is
// not one (or too large, or too slow).
bool readRequest(int fd, std::string &path, std::string &body, int timeoutSeconds)
{
    std::string data;
    char buffer[8192];
    size_t headerEnd = std::string::npos;
    size_t length = 0;
    for (;;) {
        pollfd pfd{fd, POLLIN, 0};
        if (poll(&pfd, 1, timeoutSeconds * 1000) <= 0)
            return false;
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            return false;
        data.append(buffer, static_cast<size_t>(n));
        if (data.size() > kMaxRequest)
            return false;
        if (headerEnd == std::string::npos && (headerEnd = data.find("\r\n\r\n")) != std::string::npos) {
            std::string head = data.substr(0, headerEnd);
            for (char &c : head)
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            const size_t at = head.find("content-length:");
            length = at == std::string::npos ? 0 : std::strtoul(head.c_str() + at + 15, nullptr, 10);
            const size_t space = data.find(' ');
            const size_t end = space == std::string::npos ? space : data.find(' ', space + 1);
            if (end == std::string::npos)
                return false;
            path = data.substr(space + 1, end - space - 1);
        }
        if (headerEnd != std::string::npos && data.size() >= headerEnd + 4 + length) {
            body = data.substr(headerEnd + 4, length);
            return true;
        }
    }
}

struct TlsTarget {
    SSL_CTX *ctx = nullptr;
    std::string host;
    int verifyError = X509_V_OK; // why the server's certificate was refused
};

// Keeps the first reason the server's certificate is refused for, which
// OpenSSL's HTTP client would report only as a failed send.
int noteVerifyError(int preverifyOk, X509_STORE_CTX *store)
{
    if (!preverifyOk) {
        auto *ssl = static_cast<SSL *>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
        auto *target = ssl ? static_cast<TlsTarget *>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl))) : nullptr;
        if (target && target->verifyError == X509_V_OK)
            target->verifyError = X509_STORE_CTX_get_error(store);
    }
    return preverifyOk;
}

// Whether `host` is an IPv4 or IPv6 address (bracketed or not) rather than a
// name.
bool isAddress(std::string host)
{
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    unsigned char address[sizeof(in6_addr)];
    return inet_pton(AF_INET, host.c_str(), address) == 1 || inet_pton(AF_INET6, host.c_str(), address) == 1;
}

// OpenSSL's HTTP client calls this to put TLS onto the connection.
BIO *tlsLayer(BIO *bio, void *arg, int connect, int detail)
{
    auto *target = static_cast<TlsTarget *>(arg);
    if (!connect || !detail)
        return bio;
    SSL *ssl = SSL_new(target->ctx);
    BIO *sslBio = BIO_new(BIO_f_ssl());
    if (!ssl || !sslBio) {
        SSL_free(ssl);
        BIO_free(sslBio);
        return nullptr;
    }
    // A server name is a host name; an address is never sent as one (RFC
    // 6066), though the certificate must still name it.
    if (!isAddress(target->host))
        SSL_set_tlsext_host_name(ssl, target->host.c_str());
    SSL_set1_host(ssl, target->host.c_str());
    SSL_set_connect_state(ssl);
    BIO_set_ssl(sslBio, ssl, BIO_CLOSE);
    return BIO_push(sslBio, bio);
}

// Whether OpenSSL's HTTP client gave up on the reply for its size.
bool replyTooLarge(unsigned long error)
{
    return ERR_GET_LIB(error) == ERR_LIB_HTTP
           && (ERR_GET_REASON(error) == HTTP_R_MAX_RESP_LEN_EXCEEDED
               || ERR_GET_REASON(error) == HTTP_R_ASN1_LEN_EXCEEDS_MAX_RESP_LEN);
}

// Sends `body` to `url` and returns the reply's body; empty with `error`
// set when the server cannot be reached or does not answer 200, and
// `timedOut` when that is because `deadline` passed (one deadline for the
// connection, the request and the whole reply, however slowly it comes),
// `tooLarge` when its reply passed kMaxReply.
std::string forward(const std::string &url, const std::string &contentType, const std::string &body,
                    Clock::time_point deadline, std::string &error, bool &timedOut, bool &tooLarge)
{
    const int timeoutSeconds = secondsLeft(deadline);
    if (timeoutSeconds <= 0) {
        timedOut = true;
        error = "no time was left";
        return {};
    }
    char *host = nullptr, *port = nullptr, *path = nullptr;
    int useTls = 0;
    if (OSSL_HTTP_parse_url(url.c_str(), &useTls, nullptr, &host, &port, nullptr, &path, nullptr, nullptr) != 1) {
        ERR_clear_error();
        error = "the URL cannot be read";
        return {};
    }
    TlsTarget tls;
    tls.host = host;
    if (useTls) {
        tls.ctx = SSL_CTX_new(TLS_client_method());
        if (tls.ctx) {
            SSL_CTX_set_default_verify_paths(tls.ctx);
            SSL_CTX_set_app_data(tls.ctx, &tls);
            SSL_CTX_set_verify(tls.ctx, SSL_VERIFY_PEER, noteVerifyError);
        }
    }
    BioPtr request(BIO_new_mem_buf(body.data(), static_cast<int>(body.size())));
    // The connection to the server itself (not to a proxy of the
    // environment: http_proxy, https_proxy) is made here, for http and
    // https alike, so that a refusal ends the request at once: OpenSSL's own
    // connect takes a refusal for a server not yet up and tries again until
    // the time-out. TLS then goes on top of it here too, as OpenSSL's client
    // takes a connection of the caller's only as it is.
    BIO *connection = nullptr;
    const bool viaProxy = OSSL_HTTP_adapt_proxy(nullptr, nullptr, host, useTls) != nullptr;
    if (!viaProxy) {
        const int fd = connectWithin(host, port, timeoutSeconds, error);
        timedOut = fd < 0 && errno == ETIMEDOUT;
        BIO *socketBio = fd < 0 ? nullptr : BIO_new_socket(fd, BIO_CLOSE);
        if (socketBio) {
            BIO_set_nbio(socketBio, 1);
            connection = useTls ? tlsLayer(socketBio, &tls, 1, 1) : socketBio;
            if (!connection) {
                BIO_free_all(socketBio);
                error = "TLS cannot be set up";
            }
        } else if (fd >= 0) {
            close(fd);
            error = "the connection cannot be used";
        }
        if (!connection) {
            SSL_CTX_free(tls.ctx);
            OPENSSL_free(host);
            OPENSSL_free(port);
            OPENSSL_free(path);
            return {};
        }
    }
    // On a connection of its own, the client speaks plain HTTP over what
    // it is given (the TLS layer included).
    const bool clientTls = useTls && viaProxy;
    const int transferSeconds = std::max(1, secondsLeft(deadline));
    BIO *reply = OSSL_HTTP_transfer(nullptr, host, port, path, clientTls, nullptr, nullptr, connection, connection,
                                    clientTls ? tlsLayer : nullptr, &tls, 0, nullptr, contentType.c_str(),
                                    request.get(), nullptr, 0, kMaxReply, transferSeconds, 0);
    std::string data;
    if (reply) {
        // A reply without a length (a chunked one) comes as the
        // connection's own stream, which may have nothing yet: waited on
        // until it ends, passes the bound or the deadline passes.
        char buffer[8192];
        const time_t until = std::time(nullptr) + secondsLeft(deadline);
        bool late = false;
        while (data.size() <= kMaxReply) {
            const int n = BIO_read(reply, buffer, sizeof buffer);
            if (n > 0) {
                data.append(buffer, static_cast<size_t>(n));
                continue;
            }
            if (!BIO_should_retry(reply))
                break;
            const int ready = Clock::now() < deadline ? BIO_wait(reply, until, 50) : 0;
            if (ready <= 0) {
                late = ready == 0;
                break;
            }
        }
        BIO_free_all(reply);
        if (data.size() > kMaxReply) {
            tooLarge = true;
            error = "its reply passed 1 MiB";
            data.clear();
        } else if (late) {
            timedOut = true;
            error = "its reply was not complete within the time-out";
            data.clear();
        }
    } else {
        const int reason = ERR_GET_REASON(ERR_peek_last_error());
        timedOut = reason == BIO_R_TRANSFER_TIMEOUT || reason == HTTP_R_RETRY_TIMEOUT;
        tooLarge = replyTooLarge(ERR_peek_error()) || replyTooLarge(ERR_peek_last_error());
        error = takeOpensslError();
        if (tls.verifyError != X509_V_OK)
            error = std::string("its certificate was refused: ") + X509_verify_cert_error_string(tls.verifyError);
        else if (error.empty())
            error = "no reply";
    }
    ERR_clear_error();
    BIO_free_all(connection); // a connection made here is freed here
    SSL_CTX_free(tls.ctx);
    OPENSSL_free(host);
    OPENSSL_free(port);
    OPENSSL_free(path);
    return data;
}

} // namespace

struct TimeStampRelay::State {
    int listener = -1;
    int port = 0;
    std::string secret;
    mutable std::mutex mutex;
    std::map<int, Route> routes;
    int nextRoute = 0;

    void serve(int fd)
    {
        std::string path, body;
        const int timeout = timeStampTimeoutSeconds();
        const Clock::time_point arrived = Clock::now();
        if (!readRequest(fd, path, body, timeout)) {
            close(fd);
            return;
        }
        const std::string prefix = "/" + secret + "/";
        Route route;
        int id = -1;
        if (path.compare(0, prefix.size(), prefix) == 0) {
            id = std::atoi(path.c_str() + prefix.size());
            std::lock_guard<std::mutex> lock(mutex);
            const auto it = routes.find(id);
            if (it != routes.end()) {
                // A retry keeps the deadline of the request it retries, so
                // that the time-out named in a message is the time taken.
                const auto first = routes.find(it->second.sharesDeadlineOf);
                it->second.deadline = first != routes.end() && first->second.deadline
                                          ? *first->second.deadline
                                          : arrived + std::chrono::seconds(timeout);
                route = it->second;
            } else {
                id = -1;
            }
        }
        if (id < 0) {
            answer(fd, 404, "Not Found", "text/plain", "");
            close(fd);
            return;
        }
        std::string error;
        bool timedOut = false;
        bool tooLarge = false;
        const std::string reply = forward(route.target, route.rfc3161 ? "application/timestamp-query"
                                                                      : "application/octet-stream",
                                          body, *route.deadline, error, timedOut, tooLarge);
        if (!reply.empty() && route.rfc3161)
            error = checkTimeStampReply(body, reply);
        if (reply.empty() || !error.empty()) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                routes[id].tooLarge = tooLarge;
                routes[id].refusal = reply.empty() ? "the server gave no usable answer (" + error + ")"
                                                   : "its reply was refused: " + error;
                routes[id].timedOut = reply.empty() && timedOut;
            }
            answer(fd, 502, "Bad Gateway", "text/plain", "");
        } else {
            answer(fd, 200, "OK", route.rfc3161 ? "application/timestamp-reply" : "application/octet-stream", reply);
        }
        close(fd);
    }

    void acceptLoop()
    {
        for (;;) {
            const int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) {
                if (errno == EINTR || errno == ECONNABORTED)
                    continue;
                return;
            }
            std::thread([this, client] { serve(client); }).detach();
        }
    }
};

TimeStampRelay *TimeStampRelay::instance(std::string &error)
{
    // Made once and never torn down: its threads may still wait on a
    // server when the tool ends.
    static TimeStampRelay *relay = nullptr;
    static std::string startError;
    static std::once_flag once;
    std::call_once(once, [] {
        auto state = std::make_shared<State>();
        state->secret = randomHex(16);
        state->listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (state->secret.empty() || state->listener < 0
            || bind(state->listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0
            || listen(state->listener, 64) != 0
            || getsockname(state->listener, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
            startError = "Cannot start the time-stamp relay: " + errnoText(errno) + ".";
            return;
        }
        state->port = ntohs(address.sin_port);
        std::thread([state] { state->acceptLoop(); }).detach();
        relay = new TimeStampRelay(state);
    });
    error = startError;
    return relay;
}

std::string TimeStampRelay::localUrl(const std::string &target, bool rfc3161, int &route, int sharesDeadlineOf)
{
    std::lock_guard<std::mutex> lock(m_state->mutex);
    route = m_state->nextRoute++;
    Route added;
    added.target = target;
    added.rfc3161 = rfc3161;
    added.sharesDeadlineOf = sharesDeadlineOf;
    m_state->routes[route] = added;
    return "http://127.0.0.1:" + std::to_string(m_state->port) + "/" + m_state->secret + "/" + std::to_string(route);
}

bool TimeStampRelay::answerTooLarge(int route) const
{
    std::lock_guard<std::mutex> lock(m_state->mutex);
    const auto it = m_state->routes.find(route);
    return it != m_state->routes.end() && it->second.tooLarge;
}

std::string TimeStampRelay::refusal(int route) const
{
    std::lock_guard<std::mutex> lock(m_state->mutex);
    const auto it = m_state->routes.find(route);
    return it == m_state->routes.end() ? std::string() : it->second.refusal;
}

bool TimeStampRelay::timedOut(int route) const
{
    std::lock_guard<std::mutex> lock(m_state->mutex);
    const auto it = m_state->routes.find(route);
    return it != m_state->routes.end() && it->second.timedOut;
}

std::string checkTimeStampReply(const std::string &request, const std::string &reply)
{
    const unsigned char *p = reinterpret_cast<const unsigned char *>(request.data());
    std::unique_ptr<TS_REQ, sdktool::OsslDeleter> req(d2i_TS_REQ(nullptr, &p, static_cast<long>(request.size())));
    p = reinterpret_cast<const unsigned char *>(reply.data());
    std::unique_ptr<TS_RESP, sdktool::OsslDeleter> resp(d2i_TS_RESP(nullptr, &p, static_cast<long>(reply.size())));
    ERR_clear_error();
    if (!req)
        return "the request cannot be read";
    if (!resp)
        return "the reply is no time-stamp reply";
    // The request's imprint and nonce; the token's signature is checked on
    // the signed copy, where its signer's purpose is judged too.
    std::unique_ptr<TS_VERIFY_CTX, sdktool::OsslDeleter> ctx(TS_REQ_to_TS_VERIFY_CTX(req.get(), nullptr));
    if (!ctx)
        return "the request cannot be read";
    int flags = TS_VFY_VERSION | TS_VFY_IMPRINT;
    if (TS_REQ_get_nonce(req.get()))
        flags |= TS_VFY_NONCE;
    TS_VERIFY_CTX_set_flags(ctx.get(), flags);
    if (TS_RESP_verify_response(ctx.get(), resp.get()) == 1) {
        ERR_clear_error();
        return {};
    }
    std::string why = takeOpensslError();
    if (why.find("nonce") != std::string::npos)
        return "its nonce is not the one sent";
    if (why.find("imprint") != std::string::npos)
        return "its imprint is not the digest of the signature";
    return why.empty() ? "it does not answer the request" : "it does not answer the request (" + why + ")";
}

ServerReply askTimeStampServer(const std::string &url, bool rfc3161, const std::string &request,
                               Clock::time_point deadline)
{
    ServerReply reply;
    reply.body = forward(url, rfc3161 ? "application/timestamp-query" : "application/octet-stream", request,
                         deadline, reply.error, reply.timedOut, reply.tooLarge);
    return reply;
}

Clock::time_point timeStampDeadline()
{
    return Clock::now() + std::chrono::seconds(timeStampTimeoutSeconds());
}

std::vector<std::string> environmentForRelayClients(const std::vector<std::string> &environment)
{
    const std::string relayHost = "127.0.0.1";
    std::vector<std::string> result;
    bool lower = false, upper = false;
    for (const std::string &entry : environment) {
        const bool isLower = entry.rfind("no_proxy=", 0) == 0;
        const bool isUpper = entry.rfind("NO_PROXY=", 0) == 0;
        if (!isLower && !isUpper) {
            result.push_back(entry);
            continue;
        }
        lower = lower || isLower;
        upper = upper || isUpper;
        const std::string list = entry.substr(9);
        bool named = false;
        size_t start = 0;
        while (start <= list.size()) {
            const size_t end = std::min(list.find(',', start), list.size());
            std::string item = list.substr(start, end - start);
            item.erase(0, item.find_first_not_of(" \t"));
            item.erase(item.find_last_not_of(" \t") + 1);
            named = named || item == relayHost || item == "*";
            start = end + 1;
        }
        result.push_back(named ? entry : entry + (list.empty() ? "" : ",") + relayHost);
    }
    if (!lower)
        result.push_back("no_proxy=" + relayHost);
    if (!upper)
        result.push_back("NO_PROXY=" + relayHost);
    return result;
}

} // namespace signtool
