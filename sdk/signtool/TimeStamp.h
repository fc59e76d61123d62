#pragma once

// Time stamps for a freshly signed copy, added as a step of their own
// ("osslsigncode add") so that each request runs under a deadline and the
// time stamp's digest (/td) is independent of the file's (/fd):
//   /tr URL  RFC 3161 (osslsigncode -ts) with the digest of /td;
//   /t URL   the Authenticode protocol (-t); a server that does not answer
//            it is asked again with RFC 3161 and SHA-256 at the same
//            address, and the output says so.
// A request without an answer within the time-out (60 s, or
// $QUILLMARK_TIMESTAMP_TIMEOUT seconds) ends the file's signing with "the
// time-stamp server did not answer"; the caller then leaves the file as it
// was. The decisions are here; the signer runs the requests.

#include <optional>
#include <string>
#include <vector>

namespace signtool {

struct SignArgs;

struct TimeStampRequest {
    bool rfc3161 = false;
    std::string url;
    std::string digest;    // of an RFC 3161 request's imprint
    bool fallback = false; // an RFC 3161 request standing in for /t
};

// How a request ended, as far as the decision needs it.
struct TimeStampAnswer {
    bool timedOut = false;
    bool stamped = false;  // osslsigncode succeeded and wrote its output
    std::string message;   // osslsigncode's reason otherwise
};

struct TimeStampStep {
    enum class Kind { Done, Retry, Fail } kind = Kind::Done;
    TimeStampRequest next; // when Retry
    std::string error;     // when Fail, without "SignTool Error: "
    std::string warning;   // when Done after a fallback: a "SignTool Warning: " line
};

// The first request the command line asks for, or none.
std::optional<TimeStampRequest> firstTimeStampRequest(const SignArgs &args);

// What follows a request's answer; `shownName` names the file in messages.
TimeStampStep afterTimeStampAnswer(const TimeStampRequest &request, const TimeStampAnswer &answer,
                                   const std::string &shownName, const std::string &firstMessage = {});

// The time-out of one request in seconds.
int timeStampTimeoutSeconds();

// The osslsigncode command line of one request.
std::vector<std::string> timeStampArguments(const TimeStampRequest &request, const std::string &in,
                                            const std::string &out);

} // namespace signtool
