#pragma once

// One plain-HTTP exchange for the revocation checks (CRLs and OCSP), made
// the way the time-stamp relay reaches its servers (TimeStampRelay.cpp): our
// own connect, refused at once when the server refuses, OpenSSL's HTTP
// client over it, the whole exchange under one time-out and the answer
// bounded in size. Revocation servers are plain http by design (their
// answers are signed); an https URL is not fetched.

#include <cstddef>
#include <string>

namespace signtool {

struct HttpAnswer {
    bool ok = false;        // a 200 answer within the bounds: `body` holds it
    std::string body;
    std::string error;      // otherwise why not, in a few words
};

// A TCP connection to host:port within `timeoutSeconds`, refused at once
// when the server refuses it (OpenSSL's own connect retries a refusal until
// its time-out); -1 with `error` set and errno the last connect error
// (ETIMEDOUT for the time-out) otherwise. Shared with the time-stamp relay.
int connectWithin(const char *host, const char *port, int timeoutSeconds, std::string &error);

// GET `url` when `contentType` is empty, else POST `body` with it.
HttpAnswer httpExchange(const std::string &url, const std::string &contentType, const std::string &body,
                        int timeoutSeconds, size_t maxAnswer);

} // namespace signtool
