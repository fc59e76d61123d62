#include "TimeStamp.h"

#include "SignArgs.h"
#include "ToolSupport.h"

using namespace sdktool;

namespace signtool {

bool wantsTimeStamp(const SignArgs &args)
{
    return args.timestampUrl.has_value() || args.rfc3161Url.has_value();
}

int timeStampTimeoutSeconds()
{
    return secondsFromEnvironment("QUILLMARK_TIMESTAMP_TIMEOUT", 60);
}

std::vector<std::string> timeStampArguments(bool rfc3161, const std::string &url, const char *digest,
                                            const std::string &in, const std::string &out, int signatureIndex)
{
    std::vector<std::string> argv{"osslsigncode", "add", rfc3161 ? "-ts" : "-t", url};
    // -h is the digest of the RFC 3161 request's message imprint.
    if (rfc3161)
        argv.insert(argv.end(), {"-h", digest});
    if (signatureIndex >= 0)
        argv.insert(argv.end(), {"-index", std::to_string(signatureIndex)});
    argv.insert(argv.end(), {"-in", in, "-out", out});
    return argv;
}

TimeStamping::TimeStamping(const SignArgs &args, std::string shownName) : m_shownName(std::move(shownName))
{
    if (args.rfc3161Url)
        m_next = TimeStampRequest{true, *args.rfc3161Url, digestName(args.timestampDigest)};
    else if (args.timestampUrl)
        m_next = TimeStampRequest{false, *args.timestampUrl, nullptr};
}

std::string TimeStamping::noAnswer(const std::string &url) const
{
    return "Time-stamping " + m_shownName + " failed: the time-stamp server did not answer (" + url + ") within "
           + std::to_string(timeStampTimeoutSeconds()) + " seconds.";
}

void TimeStamping::ended(Attempt attempt, const std::string &message)
{
    if (!m_next)
        return;
    const TimeStampRequest request = *m_next;
    m_next.reset();
    if (attempt == Attempt::Stamped) {
        m_stamped = true;
        if (m_fallback)
            m_warnings.push_back("SignTool Warning: " + request.url
                                 + " did not answer the Authenticode time-stamp protocol; the time stamp of "
                                 + m_shownName + " was asked for with RFC 3161 (SHA-256) at the same address.");
        return;
    }
    if (attempt == Attempt::NoAnswer) {
        m_error = noAnswer(request.url);
        return;
    }
    if (attempt == Attempt::TooLarge) {
        m_error = "Time-stamping " + m_shownName + " failed: the time-stamp server's answer was too large ("
                  + request.url + " sent more than 1 MB); the file was left as it was.";
        return;
    }
    if (request.rfc3161 && !m_fallback) {
        m_error = "Time-stamping " + m_shownName + " at " + request.url + " failed: " + message;
        return;
    }
    if (!request.rfc3161) {
        // Most servers today speak only RFC 3161; a URL typed for /t still
        // works.
        m_firstMessage = message;
        m_fallback = true;
        m_next = TimeStampRequest{true, request.url, "sha256", true};
        return;
    }
    m_error = "Time-stamping " + m_shownName + " at " + request.url + " failed: " + m_firstMessage
              + " (RFC 3161 at the same address: " + message + ")";
}

} // namespace signtool
