#include "TimeStamp.h"

#include "SignArgs.h"

#include <cstdlib>

namespace signtool {

std::optional<TimeStampRequest> firstTimeStampRequest(const SignArgs &args)
{
    if (args.rfc3161Url)
        return TimeStampRequest{true, *args.rfc3161Url, digestName(args.timestampDigest), false};
    if (args.timestampUrl)
        return TimeStampRequest{false, *args.timestampUrl, std::string(), false};
    return std::nullopt;
}

TimeStampStep afterTimeStampAnswer(const TimeStampRequest &request, const TimeStampAnswer &answer,
                                   const std::string &shownName, const std::string &firstMessage)
{
    TimeStampStep step;
    if (answer.stamped) {
        if (request.fallback)
            step.warning = "SignTool Warning: " + request.url
                           + " did not answer the Authenticode time-stamp protocol; the time stamp of " + shownName
                           + " was asked for with RFC 3161 (SHA-256) at the same address.";
        return step;
    }
    step.kind = TimeStampStep::Kind::Fail;
    if (answer.timedOut) {
        // Asking a silent server again would only double the wait.
        step.error = "Time-stamping " + shownName + " failed: the time-stamp server did not answer (" + request.url
                     + ") within " + std::to_string(timeStampTimeoutSeconds()) + " seconds.";
        return step;
    }
    if (!request.rfc3161) {
        // Most servers speak only RFC 3161 today: a URL typed for /t still
        // gets its time stamp.
        step.kind = TimeStampStep::Kind::Retry;
        step.next = TimeStampRequest{true, request.url, "sha256", true};
        return step;
    }
    step.error = "Time-stamping " + shownName + " at " + request.url + " failed: "
                 + (request.fallback ? firstMessage + " (RFC 3161 at the same address: " + answer.message + ")"
                                     : answer.message);
    return step;
}

int timeStampTimeoutSeconds()
{
    if (const char *text = std::getenv("QUILLMARK_TIMESTAMP_TIMEOUT"); text && *text) {
        char *end = nullptr;
        const long seconds = std::strtol(text, &end, 10);
        if (*end == '\0' && seconds >= 1 && seconds <= 3600)
            return static_cast<int>(seconds);
    }
    return 60;
}

std::vector<std::string> timeStampArguments(const TimeStampRequest &request, const std::string &in,
                                            const std::string &out)
{
    std::vector<std::string> argv{"osslsigncode", "add", request.rfc3161 ? "-ts" : "-t", request.url};
    // For RFC 3161, -h is the digest of the request's message imprint.
    if (request.rfc3161)
        argv.insert(argv.end(), {"-h", request.digest});
    argv.insert(argv.end(), {"-in", in, "-out", out});
    return argv;
}

} // namespace signtool
