#include "HttpFetch.h"

#include "ToolSupport.h"

#include <openssl/err.h>
#include <openssl/http.h>
#include <openssl/httperr.h>

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <memory>

using namespace sdktool;

namespace signtool {

namespace {

struct UrlParts {
    char *host = nullptr;
    char *port = nullptr;
    char *path = nullptr;
    ~UrlParts()
    {
        OPENSSL_free(host);
        OPENSSL_free(port);
        OPENSSL_free(path);
    }
};

std::string openSslReason()
{
    const unsigned long code = ERR_peek_last_error();
    const int reason = ERR_GET_REASON(code);
    if (reason == BIO_R_TRANSFER_TIMEOUT || reason == HTTP_R_RETRY_TIMEOUT)
        return "no answer within the time-out";
    if (ERR_GET_LIB(code) == ERR_LIB_HTTP
        && (reason == HTTP_R_MAX_RESP_LEN_EXCEEDED || reason == HTTP_R_ASN1_LEN_EXCEEDS_MAX_RESP_LEN))
        return "its answer is too large";
    if (ERR_GET_LIB(code) == ERR_LIB_HTTP && reason == HTTP_R_RECEIVED_ERROR)
        return "it answered with an HTTP error";
    if (ERR_GET_LIB(code) == ERR_LIB_HTTP)
        return "its answer is not a usable HTTP answer";
    return "no usable answer";
}

} // namespace

// A TCP connection to host:port within `timeoutSeconds`, refused at once
// when the server refuses it (OpenSSL's own connect retries a refusal until
// its time-out); -1 with `error` set otherwise.
int connectWithin(const char *host, const char *port, int timeoutSeconds, std::string &error)
{
    addrinfo hints {};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (const int rc = getaddrinfo(host, port, &hints, &found); rc != 0) {
        error = std::string("cannot find ") + host + ": " + gai_strerror(rc);
        return -1;
    }
    int connected = -1;
    int lastError = 0;
    for (addrinfo *at = found; at && connected < 0; at = at->ai_next) {
        const int fd = socket(at->ai_family, at->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, at->ai_protocol);
        if (fd < 0)
            continue;
        int err = 0;
        if (connect(fd, at->ai_addr, at->ai_addrlen) != 0) {
            err = errno;
            if (err == EINPROGRESS) {
                pollfd pfd{fd, POLLOUT, 0};
                socklen_t length = sizeof err;
                err = poll(&pfd, 1, timeoutSeconds * 1000) == 1
                              && getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &length) == 0
                          ? err
                          : ETIMEDOUT;
            }
        }
        if (err == 0) {
            connected = fd;
        } else {
            error = std::string("cannot connect to ") + host + ": " + safefile::errnoText(err);
            lastError = err;
            close(fd);
        }
    }
    freeaddrinfo(found);
    // The caller tells a time-out from a refusal by errno.
    if (connected < 0)
        errno = lastError;
    return connected;
}

HttpAnswer httpExchange(const std::string &url, const std::string &contentType, const std::string &body,
                        int timeoutSeconds, size_t maxAnswer)
{
    HttpAnswer answer;
    UrlParts parts;
    int useTls = 0;
    if (OSSL_HTTP_parse_url(url.c_str(), &useTls, nullptr, &parts.host, &parts.port, nullptr, &parts.path, nullptr,
                            nullptr)
            != 1
        || useTls) {
        ERR_clear_error();
        answer.error = useTls ? "only plain http is used for revocation answers" : "the address cannot be read";
        return answer;
    }
    const time_t deadline = std::time(nullptr) + timeoutSeconds;
    const int fd = connectWithin(parts.host, parts.port, timeoutSeconds, answer.error);
    if (fd < 0) {
        if (errno == ETIMEDOUT)
            answer.error = "no answer within " + std::to_string(timeoutSeconds) + " seconds";
        return answer;
    }
    BIO *connection = BIO_new_socket(fd, BIO_CLOSE);
    if (!connection) {
        close(fd);
        answer.error = "out of memory";
        return answer;
    }
    BIO_set_nbio(connection, 1);
    std::unique_ptr<BIO, decltype(&BIO_free)> request(
        contentType.empty() ? nullptr : BIO_new_mem_buf(body.data(), static_cast<int>(body.size())), BIO_free);
    const int left = std::max(1, static_cast<int>(deadline - std::time(nullptr)));
    BIO *reply = OSSL_HTTP_transfer(nullptr, parts.host, parts.port, parts.path, 0, nullptr, nullptr, connection,
                                    connection, nullptr, nullptr, 0, nullptr,
                                    contentType.empty() ? nullptr : contentType.c_str(), request.get(), nullptr, 0,
                                    maxAnswer, left, 0);
    if (reply) {
        // A reply without a length comes as the connection's own stream:
        // read until it ends, passes the bound or the time is up.
        char buffer[8192];
        while (answer.body.size() <= maxAnswer) {
            const int n = BIO_read(reply, buffer, sizeof buffer);
            if (n > 0)
                answer.body.append(buffer, static_cast<size_t>(n));
            else if (!BIO_should_retry(reply) || BIO_wait(reply, deadline, 50) <= 0)
                break;
        }
        BIO_free_all(reply);
        if (answer.body.size() > maxAnswer) {
            answer.body.clear();
            answer.error = "its answer is too large";
        } else {
            answer.ok = true;
        }
    } else {
        answer.error = openSslReason();
    }
    ERR_clear_error();
    BIO_free_all(connection);
    return answer;
}

} // namespace signtool
