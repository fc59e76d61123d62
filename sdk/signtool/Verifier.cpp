#include "Verifier.h"

#include "CertStore.h"
#include "SignArgs.h"
#include "TokenStore.h"
#include "ToolSupport.h"

#include <openssl/pem.h>

#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace sdktool;

namespace signtool {

namespace {

constexpr int kTrustFd = 4;
constexpr int kFileFd = 5;
// A local verification; only a damaged system would make it take this long.
constexpr int kVerifyTimeoutSeconds = 120;

const char *const systemBundle = "/etc/ssl/certs/ca-certificates.crt";

// The system's roots and the store's certificates in one memory file, which
// every child opens afresh as /dev/fd/4.
Fd trustList(std::string &error)
{
    std::string bundle;
    std::string readError;
    readWholeFile(systemBundle, bundle, readError); // a system without it trusts the store alone
    if (!bundle.empty() && bundle.back() != '\n')
        bundle += '\n';

    std::vector<std::string> notes;
    std::string storeError;
    for (const SigningIdentity &identity : usableStoreCertificates(storeFolder(), notes, storeError))
        bundle += certificatePem(identity.cert.get());
    std::string registryError;
    for (const TokenCertificate &token : scanTokens(pkcs11Modules(registryError)).certificates)
        bundle += certificatePem(token.cert.get());

    Fd fd(memfd_create("signtool-trust", MFD_CLOEXEC));
    if (!fd || !writeAll(fd.get(), bundle)) {
        error = "Cannot hand the trusted certificates to osslsigncode: " + errnoText(errno) + ".";
        return Fd();
    }
    return fd;
}

struct VerifyJob {
    std::string file;
    Fd opened;
    std::vector<OutputLine> lines;
    bool ok = false;
    bool done = false; // all its lines are there
};

void finishJob(VerifyJob &job, const ChildExit &exit, bool verbose)
{
    if (!exit.started) {
        job.lines.push_back({OutputLine::Err, "SignTool Error: Cannot start osslsigncode: " + errnoText(exit.startErrno)
                                                  + "."});
    } else if (exit.timedOut) {
        job.lines.push_back({OutputLine::Err, "SignTool Error: Verifying " + job.file + " took longer than "
                                                  + std::to_string(kVerifyTimeoutSeconds) + " seconds."});
    } else if (exit.exitCode == 0) {
        if (verbose) {
            for (auto &detail : verifyDetails(exit.output))
                job.lines.push_back({OutputLine::Out, "    " + detail});
        }
        job.ok = true;
        job.lines.push_back({OutputLine::Out, "Successfully verified: " + job.file});
    } else {
        if (verbose) {
            for (auto &detail : verifyDetails(exit.output))
                job.lines.push_back({OutputLine::Out, "    " + detail});
        }
        job.lines.push_back({OutputLine::Err, "SignTool Error: " + job.file + " is not validly signed: "
                                                  + verifyFailureReason(exit.output) + "."});
    }
    if (verbose)
        job.lines.push_back({OutputLine::Out, std::string()});
    job.done = true;
}

// Opens the file once, as a plain file, so that what is verified is what
// was named and a FIFO cannot stall the run.
Fd openToVerify(const std::string &file, std::string &error)
{
    Fd fd(open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (!fd) {
        error = errno == ENOENT ? "File not found: " + file : "Cannot open " + file + ": " + errnoText(errno) + ".";
        return fd;
    }
    struct stat st {};
    if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        error = file + " is not a file.";
        return Fd();
    }
    return fd;
}

} // namespace

std::string verifyFailureReason(const std::string &output)
{
    std::string chainError;
    bool timeStampFailed = false;
    std::string last;
    for (const std::string &line : trimmedLines(output)) {
        if (line.find("No signature found") != std::string::npos)
            return "it carries no signature";
        if (line.find("MISMATCH") != std::string::npos)
            return "its digest does not match the file, which was changed after it was signed";
        if (line.rfind("Error: ", 0) == 0 && chainError.empty())
            chainError = line.substr(7);
        if (line.rfind("Timestamp Server Signature verification: failed", 0) == 0)
            timeStampFailed = true;
        if (!line.empty() && line != "Failed" && line.find(":error:") == std::string::npos)
            last = line;
    }
    if (!chainError.empty())
        return "its certificate does not chain to a trusted root or to a certificate of the store (" + chainError
               + ")";
    if (timeStampFailed)
        return "its time stamp cannot be verified";
    return last.empty() ? "osslsigncode reported no reason" : "osslsigncode reports \"" + last + "\"";
}

std::vector<std::string> verifyDetails(const std::string &output)
{
    std::vector<std::string> details;
    bool signerSeen = false, digestSeen = false;
    for (const std::string &line : trimmedLines(output)) {
        if (!signerSeen && line.rfind("Subject:", 0) == 0) {
            details.push_back("Signed by: " + trimmed(line.substr(8)));
            signerSeen = true;
        } else if (line.rfind("Timestamp time:", 0) == 0) {
            details.push_back("Time stamp: " + trimmed(line.substr(15)));
        } else if (!digestSeen && line.rfind("Message digest algorithm", 0) == 0) {
            digestSeen = true;
            const size_t colon = line.find(':');
            details.push_back("Digest: " + trimmed(line.substr(colon + 1)));
        }
    }
    return details;
}

VerifyCounts verifyFiles(const SignArgs &args, const std::function<void(const std::vector<OutputLine> &)> &print)
{
    VerifyCounts counts;
    std::string error;
    const Fd trust = trustList(error);
    const size_t count = args.files.size();
    std::vector<std::unique_ptr<VerifyJob>> jobs(count);
    size_t printed = 0;
    auto printReady = [&] {
        while (printed < count && jobs[printed] && jobs[printed]->done) {
            print(jobs[printed]->lines);
            ++(jobs[printed]->ok ? counts.verified : counts.errors);
            jobs[printed].reset();
            ++printed;
        }
    };

    ProcessPool pool(args.jobs > 0 ? args.jobs : defaultPoolSize());
    for (size_t i = 0; i < count; ++i) {
        auto job = std::make_unique<VerifyJob>();
        job->file = args.files[i];
        if (args.verbose)
            job->lines.push_back({OutputLine::Out, "Verifying: " + job->file});
        std::string openError = error;
        if (openError.empty())
            job->opened = openToVerify(job->file, openError);
        if (!openError.empty()) {
            job->lines.push_back({OutputLine::Err, "SignTool Error: " + openError});
            if (args.verbose)
                job->lines.push_back({OutputLine::Out, std::string()});
            job->opened = Fd();
            job->done = true;
            jobs[i] = std::move(job);
            printReady();
            continue;
        }
        ChildSpec child;
        const std::string trustPath = "/dev/fd/" + std::to_string(kTrustFd);
        // -ignore-cdp: no network look-up of revocation lists.
        child.argv = {"osslsigncode", "verify", "-ignore-cdp", "-CAfile", trustPath, "-TSA-CAfile", trustPath,
                     "-in", "/dev/fd/" + std::to_string(kFileFd)};
        child.fds = {{trust.get(), kTrustFd}, {job->opened.get(), kFileFd}};
        child.timeoutSeconds = kVerifyTimeoutSeconds;
        jobs[i] = std::move(job);
        pool.start(child, [&, i](ChildExit exit) {
            finishJob(*jobs[i], exit, args.verbose);
            jobs[i]->opened = Fd();
            printReady();
        });
    }
    pool.waitForAll();
    printReady();
    return counts;
}

} // namespace signtool
