#pragma once

// A time-stamp server's answer is read by osslsigncode, which takes
// whatever the server sends: an endless or gigabyte-sized answer would
// fill its memory. So osslsigncode talks to the server through this relay
// (its -p proxy option): a thread of this tool listening on 127.0.0.1 that
// passes the request on to the server named in the time-stamp URL, and the
// answer back, and cuts the connection once the answer passes
// kMaxAnswerBytes. osslsigncode then fails, and answerTooLarge() tells why.
//
// The relay connects only to the URL's own server, whatever a request
// names, and serves only connections of this tool's own user (another
// local user could otherwise reach the server through it). It takes plain
// HTTP requests (the target rewritten to the server's path) and CONNECT for
// https URLs, whose encrypted stream is passed on and counted as it is.

#include <memory>
#include <string>

namespace signtool {

class TimeStampRelay {
public:
    // 1 MB for the whole answer, headers included: a time-stamp answer is a
    // few kilobytes.
    static constexpr size_t kMaxAnswerBytes = 1024 * 1024;

    // Listens for osslsigncode's connections to the server of `url`, for at
    // most `seconds`. Null, with the reason in `error`, when the URL names
    // no server or no port can be had.
    static std::unique_ptr<TimeStampRelay> start(const std::string &url, int seconds, std::string &error);
    ~TimeStampRelay(); // stops listening and cuts its connections

    TimeStampRelay(const TimeStampRelay &) = delete;
    TimeStampRelay &operator=(const TimeStampRelay &) = delete;

    // "http://127.0.0.1:PORT", for osslsigncode's -p.
    std::string proxyUrl() const;
    // True once an answer was cut for being larger than kMaxAnswerBytes.
    bool answerTooLarge() const;

    struct State;

private:
    explicit TimeStampRelay(std::shared_ptr<State> state);
    std::shared_ptr<State> m_state;
};

struct ServerAddress {
    bool tls = false;
    std::string host; // without brackets for an IPv6 literal
    std::string port; // the scheme's port when the URL names none
};

// The server of an http:// or https:// URL; false when it names none.
bool serverOfUrl(const std::string &url, ServerAddress &server);

// The first line of a proxied HTTP request with its target made a plain
// path: "POST http://host:80/tsa?x HTTP/1.1" -> "POST /tsa?x HTTP/1.1".
// Empty when the line is not one.
std::string originFormRequestLine(const std::string &line);

} // namespace signtool
