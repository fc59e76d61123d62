#pragma once

// Time stamps for a freshly signed copy, added as a step of its own
// ("osslsigncode add") so that each request runs under a deadline and the
// time stamp's digest (/td) is independent of the file's (/fd):
//   /tr URL  RFC 3161 (osslsigncode -ts) with the digest of /td;
//   /t URL   the Authenticode protocol (-t); a server that does not answer
//            it is asked again with RFC 3161 and SHA-256 at the same
//            address, and the output says so.
// A request that has no answer within the time-out (60 s, or
// $QUILLMARK_TIMESTAMP_TIMEOUT seconds; the RFC 3161 retry of /t has what
// the first request left of it) ends the file's signing with "the
// time-stamp server did not answer", one whose answer passes 1 MB with "the
// time-stamp server's answer was too large"; the caller then leaves the
// file as it was. The requests run as children of the signing pool, so that many files
// wait for their servers at once.

#include <optional>
#include <string>
#include <vector>

namespace signtool {

struct SignArgs;

// One request to a time-stamp server.
struct TimeStampRequest {
    bool rfc3161 = false;
    std::string url;
    const char *digest = nullptr; // the RFC 3161 message imprint's digest
    bool retry = false;           // /t's RFC 3161 retry: what is left of the first request's time-out
};

// The time-stamp step of one file: which requests to make, one after the
// other, and what their ends mean. The caller runs each request (see
// timeStampArguments) under the time-out and reports how it ended.
class TimeStamping {
public:
    enum class Attempt { Stamped, NoAnswer, TooLarge, Failed };

    TimeStamping(const SignArgs &args, std::string shownName);

    // The request to make now; nullopt once the step is over.
    const std::optional<TimeStampRequest> &next() const { return m_next; }
    // How the request of next() ended; `message` is osslsigncode's reason
    // when it Failed.
    void ended(Attempt attempt, const std::string &message);

    bool stamped() const { return m_stamped; }
    const std::string &error() const { return m_error; }          // without "SignTool Error: "
    const std::vector<std::string> &warnings() const { return m_warnings; } // "SignTool Warning: ..." lines

private:
    std::string noAnswer(const std::string &url) const;

    std::string m_shownName;
    std::optional<TimeStampRequest> m_next;
    bool m_fallback = false;      // m_next is the RFC 3161 retry of a /t URL
    std::string m_firstMessage;   // why the Authenticode request failed
    bool m_stamped = false;
    std::string m_error;
    std::vector<std::string> m_warnings;
};

// Whether the command line asks for a time stamp at all.
bool wantsTimeStamp(const SignArgs &args);

// The time-out of one request in seconds.
int timeStampTimeoutSeconds();

// The osslsigncode command line of one request: `rfc3161` picks -ts over -t.
// `signatureIndex` (0 the first, 1.. appended ones) picks the signature to
// stamp; below 0 osslsigncode's default, the first.
std::vector<std::string> timeStampArguments(bool rfc3161, const std::string &url, const char *digest,
                                            const std::string &in, const std::string &out, int signatureIndex = -1);

} // namespace signtool
