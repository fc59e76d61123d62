#include "TimeStamp.h"

#include "SignArgs.h"
#include "Signer.h"
#include "ToolSupport.h"

#include <cstdlib>
#include <unistd.h>

using namespace sdktool;

namespace signtool {

namespace {

enum class Attempt { Stamped, NoAnswer, Failed };

struct AttemptResult {
    Attempt attempt = Attempt::Failed;
    std::string message; // osslsigncode's reason when Failed
};

AttemptResult request(bool rfc3161, const std::string &url, const char *digest, const std::string &in,
                      const std::string &out)
{
    // A failed try may leave a cut output behind, and osslsigncode does not
    // replace an existing file.
    unlink(out.c_str());
    const ChildResult run
        = runChild(timeStampArguments(rfc3161, url, digest, in, out), nullptr, timeStampTimeoutSeconds());
    AttemptResult result;
    if (!run.started) {
        result.message = "osslsigncode cannot be started: " + errnoText(run.startErrno);
    } else if (run.timedOut) {
        result.attempt = Attempt::NoAnswer;
    } else if (run.exitCode == 0 && access(out.c_str(), F_OK) == 0) {
        result.attempt = Attempt::Stamped;
    } else {
        result.message = signerMessage(run.output);
    }
    if (result.attempt != Attempt::Stamped)
        unlink(out.c_str());
    return result;
}

std::string noAnswer(const std::string &url, const std::string &shownName)
{
    return "Time-stamping " + shownName + " failed: the time-stamp server did not answer (" + url + ") within "
           + std::to_string(timeStampTimeoutSeconds()) + " seconds.";
}

} // namespace

bool wantsTimeStamp(const SignArgs &args)
{
    return args.timestampUrl.has_value() || args.rfc3161Url.has_value();
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

std::vector<std::string> timeStampArguments(bool rfc3161, const std::string &url, const char *digest,
                                            const std::string &in, const std::string &out)
{
    std::vector<std::string> argv{"osslsigncode", "add", rfc3161 ? "-ts" : "-t", url};
    // -h is the digest of the RFC 3161 request's message imprint.
    if (rfc3161)
        argv.insert(argv.end(), {"-h", digest});
    argv.insert(argv.end(), {"-in", in, "-out", out});
    return argv;
}

TimeStampOutcome addTimeStamp(const SignArgs &args, const std::string &in, const std::string &out,
                              const std::string &shownName)
{
    TimeStampOutcome outcome;
    if (args.rfc3161Url) {
        const AttemptResult result = request(true, *args.rfc3161Url, digestName(args.timestampDigest), in, out);
        if (result.attempt == Attempt::NoAnswer)
            outcome.error = noAnswer(*args.rfc3161Url, shownName);
        else if (result.attempt == Attempt::Failed)
            outcome.error = "Time-stamping " + shownName + " at " + *args.rfc3161Url + " failed: " + result.message;
        return outcome;
    }
    if (!args.timestampUrl)
        return outcome;

    const std::string &url = *args.timestampUrl;
    const AttemptResult authenticode = request(false, url, nullptr, in, out);
    if (authenticode.attempt == Attempt::Stamped)
        return outcome;
    if (authenticode.attempt == Attempt::NoAnswer) {
        outcome.error = noAnswer(url, shownName);
        return outcome;
    }
    // Most servers today speak only RFC 3161; a URL typed for /t still works.
    const AttemptResult rfc3161 = request(true, url, "sha256", in, out);
    if (rfc3161.attempt == Attempt::Stamped) {
        outcome.warnings.push_back("SignTool Warning: " + url
                                   + " did not answer the Authenticode time-stamp protocol; the time stamp of "
                                   + shownName + " was asked for with RFC 3161 (SHA-256) at the same address.");
    } else if (rfc3161.attempt == Attempt::NoAnswer) {
        outcome.error = noAnswer(url, shownName);
    } else {
        outcome.error = "Time-stamping " + shownName + " at " + url + " failed: " + authenticode.message
                        + " (RFC 3161 at the same address: " + rfc3161.message + ")";
    }
    return outcome;
}

} // namespace signtool
