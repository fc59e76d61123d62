#pragma once

// Time stamps for a freshly signed copy, added as a step of its own
// ("osslsigncode add") so that each request runs under a deadline and the
// time stamp's digest (/td) is independent of the file's (/fd):
//   /tr URL  RFC 3161 (osslsigncode -ts) with the digest of /td;
//   /t URL   the Authenticode protocol (-t); a server that does not answer
//            it is asked again with RFC 3161 and SHA-256 at the same
//            address, and the output says so.
// A request that has no answer within the time-out (60 s, or
// $QUILLMARK_TIMESTAMP_TIMEOUT seconds) ends the file's signing with "the
// time-stamp server did not answer"; the caller then leaves the file as it
// was.

#include <string>
#include <vector>

namespace signtool {

struct SignArgs;

struct TimeStampOutcome {
    std::string error;                 // empty on success, without "SignTool Error: "
    std::vector<std::string> warnings; // "SignTool Warning: ..." lines
};

// Time-stamps the signed copy `in` into `out` (a name osslsigncode may
// create) as the command line asks; `shownName` names the file in messages.
TimeStampOutcome addTimeStamp(const SignArgs &args, const std::string &in, const std::string &out,
                              const std::string &shownName);

// Whether the command line asks for a time stamp at all.
bool wantsTimeStamp(const SignArgs &args);

// The time-out of one request in seconds.
int timeStampTimeoutSeconds();

// The osslsigncode command line of one request: `rfc3161` picks -ts over -t.
std::vector<std::string> timeStampArguments(bool rfc3161, const std::string &url, const char *digest,
                                            const std::string &in, const std::string &out);

} // namespace signtool
