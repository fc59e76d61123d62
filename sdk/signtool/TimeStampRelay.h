#pragma once

// A relay on 127.0.0.1 between osslsigncode and the time-stamp servers, so
// that this tool sees each RFC 3161 request and its reply: osslsigncode
// sends a nonce of its own and embeds whatever token comes back, without
// comparing the nonce, the imprint or the status (it exits 0 after
// "Timestamp Server Signature verification: failed"). The relay forwards
// the request to the real server (OpenSSL's HTTP client; https with the
// system's roots and the server's name checked) and hands osslsigncode the
// reply only when it answers this request: granted, a token whose imprint
// is the request's (digest and value) and whose nonce is the one sent.
// Otherwise osslsigncode gets "502 Bad Gateway" and refusal() says why; the
// token's signature and signer are checked on the copy (SignatureCheck.h).
// Authenticode requests (/t) carry no nonce and are forwarded as they are.
//
// Each route has a random path, so other local users cannot use the relay
// to reach a server. Requests and replies are bounded in size (64 KiB and
// 1 MiB) and in time (the time-stamp time-out, one deadline for the
// connection, the request and the whole reply). A refused connection ends
// the request at once, over http and https alike.

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace signtool {

// The environment `environment` ("NAME=value" entries) for osslsigncode,
// which reaches the relay on 127.0.0.1: no_proxy and NO_PROXY name that
// address, so that a proxy of the environment (http_proxy) is not asked for
// it. A proxy cannot reach this machine's relay; the relay itself goes
// through the proxy to the server.
std::vector<std::string> environmentForRelayClients(const std::vector<std::string> &environment);

class TimeStampRelay {
public:
    // The relay of this process, started on first use; null with `error`
    // set when it cannot listen.
    static TimeStampRelay *instance(std::string &error);

    // A local URL for one request to `target`; `route` names it for
    // refusal(). The request has the time-out from when it reaches the
    // relay, or, when `sharesDeadlineOf` names an earlier route (the request
    // it retries), what is left of that one's.
    std::string localUrl(const std::string &target, bool rfc3161, int &route, int sharesDeadlineOf = -1);

    // Why the reply for `route` was refused ("its reply was refused: its
    // nonce is not the one sent") or could not be had ("the server gave no
    // usable answer (...)"); empty when it was handed on.
    std::string refusal(int route) const;
    // Whether the server gave no answer for `route` within the time-out
    // (the relay's own, counted from the request).
    bool timedOut(int route) const;

    // Whether the server's answer for `route` passed the bound of 1 MiB (a
    // Content-Length of gigabytes, a chunked body without end): cut there,
    // osslsigncode got "502 Bad Gateway".
    bool answerTooLarge(int route) const;

    struct State;

private:
    explicit TimeStampRelay(std::shared_ptr<State> state) : m_state(std::move(state)) {}
    std::shared_ptr<State> m_state;
};

// One request sent straight to a time-stamp server the way the relay
// forwards osslsigncode's (the same client, bounds and time-out), for
// signatures made in this process. `body` is empty when there is no
// usable answer; `error` then says why, `timedOut` and `tooLarge` which of
// the two bounds ended it.
struct ServerReply {
    std::string body;
    std::string error;
    bool timedOut = false;
    bool tooLarge = false;
};
// `deadline` bounds the connection, the request and the whole reply; a
// file's retries share the one the first request was given.
ServerReply askTimeStampServer(const std::string &url, bool rfc3161, const std::string &request,
                               std::chrono::steady_clock::time_point deadline);

// The deadline of a file's time stamp: the time-stamp time-out from now.
std::chrono::steady_clock::time_point timeStampDeadline();

// Whether `reply` (a DER TimeStampResp) answers `request` (a DER
// TimeStampReq): granted, with a token whose imprint and nonce are the
// request's. Empty when it does, else what is wrong.
std::string checkTimeStampReply(const std::string &request, const std::string &reply);

} // namespace signtool
