#include "Signer.h"

#include "CertSelect.h"
#include "ModuleDeadline.h"
#include "PeImage.h"
#include "SignArgs.h"
#include "SignatureCheck.h"
#include "PeSignatures.h"
#include "TimeStamp.h"
#include "TimeStampRelay.h"
#include "ToolSupport.h"
#include "VerifyReport.h"

#include <openssl/err.h>
#include <openssl/pem.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace sdktool;

namespace signtool {

namespace {

// A pipe already holding `secret` and closed for writing: the child reads it
// to its end. A pipe holds far more than a password, so this never blocks.
Fd secretPipe(const std::string &secret)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return Fd();
    Fd readEnd(fds[0]);
    Fd writeEnd(fds[1]);
    if (!writeAll(writeEnd.get(), secret))
        return Fd();
    return readEnd;
}

// ".ps1" of "Setup.ps1": only letters and digits, at most 16 of them;
// otherwise none.
std::string extensionOf(const std::string &name)
{
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0 || name.size() - dot > 17 || dot + 1 == name.size())
        return {};
    for (size_t i = dot + 1; i < name.size(); ++i) {
        if (!std::isalnum(static_cast<unsigned char>(name[i])))
            return {};
    }
    return name.substr(dot);
}

std::string linkNote(const std::string &file, nlink_t links)
{
    return "SignTool Warning: " + file + " has " + std::to_string(links)
           + " hard links; the signed file is separate from its other names, which keep the unsigned content.";
}

// Five times a module's own answer time (5 minutes by default): a login on
// a PIN pad and a signature of a large file fit, a module that hangs does not.
int tokenSignatureTimeoutSeconds()
{
    return 5 * ModuleDeadline::timeoutSeconds();
}

// What an osslsigncode child may take for its data: it holds the file and
// its signed copy, with room to spare; never what a server's endless answer
// would make of it.
unsigned long long childMemoryLimit(const SignJob &job)
{
    constexpr unsigned long long kBase = 512ULL * 1024 * 1024;
    return kBase + 3ULL * static_cast<unsigned long long>(std::max<off_t>(job.opened.st.st_size, 0));
}

} // namespace

Signer::Signer(const SigningIdentity &identity, const SignArgs &args) : m_identity(identity), m_args(args)
{
    if (args.verbose && identity.cert)
        m_certificateLines = certificateLines(identity);
    m_demo = isDemoCertificate(identity.cert.get());
    // The tool starts the cleaner before any PKCS#11 module could start a
    // thread (it forks); this only makes sure it runs, and never forks.
    if (int startErrno = 0; !PrivateFolder::cleanerRunning(startErrno))
        m_setUpError = "Cannot start the cleaner of temporary folders: "
            + (startErrno ? errnoText(startErrno) : std::string("it was not started")) + ".";
    // osslsigncode's verify reports nothing, not even the digests, when it
    // cannot load a trust list (a system without a CA bundle): it gets the
    // chosen certificate as its own.
    if (stampOnly())
        return; // no certificate: the files keep their signatures
    m_signerPem = Fd(memfd_create("signtool-signer", MFD_CLOEXEC));
    if (!m_signerPem || !writeAll(m_signerPem.get(), certificatePem(identity.cert.get())))
        m_setUpError = "Cannot hand the certificate to osslsigncode: " + errnoText(errno) + ".";
    if (!args.additionalCertificates.empty()) {
        std::string pem;
        for (const std::string &path : args.additionalCertificates) {
            std::string error;
            const std::string more = additionalCertificatesPem(path, error);
            if (more.empty()) {
                m_setUpError = error;
                return;
            }
            pem += more;
        }
        m_extraCerts = Fd(memfd_create("signtool-ac", MFD_CLOEXEC));
        if (!m_extraCerts || !writeAll(m_extraCerts.get(), pem))
            m_setUpError = "Cannot hand the certificates of /ac to osslsigncode: " + errnoText(errno) + ".";
    }
    if (identity.token)
        return;
    // Each child opens /dev/fd/4 afresh, which reads the memory file from
    // its start.
    m_pfx = Fd(memfd_create("signtool-pfx", MFD_CLOEXEC));
    if (!m_pfx || !writeAll(m_pfx.get(), identity.pfxData))
        m_setUpError = "Cannot hand the certificate to osslsigncode: " + errnoText(errno) + ".";
}

void Signer::fail(SignJob &job, const std::string &error) const
{
    job.outcome.signedOk = false;
    job.outcome.lines.push_back({OutputLine::Err, "SignTool Error: " + error});
    if (m_args.verbose)
        job.outcome.lines.push_back({OutputLine::Out, std::string()});
    job.needsChild = false;
    job.folder.remove();
}

std::unique_ptr<SignJob> Signer::prepare(const std::string &file) const
{
    auto job = std::make_unique<SignJob>();
    job->file = file;
    if (m_args.verbose) {
        job->outcome.lines.push_back({OutputLine::Out, (stampOnly() ? "Time-stamping: " : "Signing: ") + file});
        for (const auto &line : m_certificateLines)
            job->outcome.lines.push_back({OutputLine::Out, line});
    }
    if (!m_setUpError.empty()) {
        fail(*job, m_setUpError);
        return job;
    }

    std::string error;
    job->opened = openFileToSign(file, error);
    if (!job->opened.file) {
        fail(*job, error);
        return job;
    }
    const struct stat &st = job->opened.st;
    // A file with no write permission for anyone has been marked read-only
    // on purpose: root is refused too, although it could write it.
    if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
        fail(*job, "Cannot sign " + file + ": the file is read-only.");
        return job;
    }
    if (faccessat(job->opened.folder.get(), job->opened.name.c_str(), W_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) != 0
        && errno == EACCES) {
        fail(*job, "Cannot sign " + file + ": the file is read-only or not readable.");
        return job;
    }
    job->peFile = startsLikePe(job->opened.file.get());
    if (job->peFile) {
        std::string problem;
        if (!readPeLayout(job->opened.file.get(), problem)) {
            fail(*job, "Cannot sign " + file + ": the file is truncated or damaged (" + problem + ").");
            return job;
        }
    }

    job->folder = PrivateFolder::create(job->opened.folder.get(), error);
    if (!job->folder) {
        fail(*job, "Cannot sign " + file + ": " + error + ".");
        return job;
    }
    const std::string extension = extensionOf(job->opened.name);
    job->signedName = "signed" + extension;
    job->stampedName = "stamped" + extension;
    const std::string folder = "/dev/fd/" + std::to_string(kOutputFolderFd) + "/";
    std::string input = "/dev/fd/" + std::to_string(kInputFd);
    if (!job->peFile) {
        // osslsigncode knows a script by its name's extension: it gets a
        // link of that name, in the private folder, to the opened file.
        job->inputName = "input" + extension;
        if (symlinkat(input.c_str(), job->folder.descriptor(), job->inputName.c_str()) != 0) {
            fail(*job, "Cannot sign " + file + ": " + errnoText(errno) + ".");
            return job;
        }
        input = folder + job->inputName;
    }
    job->inputPath = input;
    if ((m_args.appendSignature || stampOnly()) && !job->peFile) {
        // /as and "timestamp": whether the file has signatures (to append
        // to, to stamp), and how many.
        job->step = SignJob::Step::Counting;
        job->child.argv = {"osslsigncode", "verify", "-ignore-cdp", "-in", input};
        job->child.fds = {{job->opened.file.get(), kInputFd}, {job->folder.descriptor(), kOutputFolderFd}};
        job->child.timeoutSeconds = timeStampTimeoutSeconds();
        job->needsChild = true;
        return job;
    }
    if (stampOnly()) {
        TrustPolicy policy;
        policy.stampChains = false;
        policy.now = std::time(nullptr);
        PeJudgement judgement = judgePeFile(job->opened.file.get(), policy);
        if (judgement.signatures.empty() || !judgement.signatures.front().signer) {
            fail(*job, "Cannot time-stamp " + file + ": "
                           + (judgement.status == PeJudgement::Status::Unsigned ? std::string("it carries no signature")
                                                                                : "its signature cannot be read")
                           + ".");
            return job;
        }
        job->stampedSigner = std::move(judgement.signatures.front().signer);
        startStampOnly(*job, static_cast<int>(judgement.signatures.size()), judgement.signatures.front().finding.digest);
        return job;
    }
    int before = 0;
    if (m_args.appendSignature) {
        before = countPeSignatures(job->opened.file.get());
        if (before < 0) {
            fail(*job, "Cannot sign " + file + ": its signature is damaged, so no signature can be appended to it.");
            return job;
        }
    }
    startSigning(*job, before);
    return job;
}

void Signer::startSigning(SignJob &job, int signaturesBefore) const
{
    const bool nest = m_args.appendSignature && signaturesBefore > 0;
    job.expected.signatures = nest ? signaturesBefore + 1 : 1;
    job.expected.newIndex = nest ? signaturesBefore : 0;
    job.expected.fileDigest = digestName(m_args.fileDigest);
    expectTimeStamp(job);
    const std::string folder = "/dev/fd/" + std::to_string(kOutputFolderFd) + "/";
    job.step = SignJob::Step::Signing;
    job.child = ChildSpec{};
    job.child.argv = osslsigncodeArguments(m_identity, m_args, job.inputPath, folder + job.signedName, nest);
    // A token's module may hang in the login or the signature (a network HSM
    // that stopped answering); a PIN pad waits for the user as pinentry does.
    if (m_identity.token)
        job.child.timeoutSeconds = tokenSignatureTimeoutSeconds();
    job.child.fds = {{job.opened.file.get(), kInputFd}, {job.folder.descriptor(), kOutputFolderFd}};
    job.child.memoryLimitBytes = childMemoryLimit(job);
    if (m_pfx)
        job.child.fds.push_back({m_pfx.get(), kPfxFd});
    if (m_extraCerts)
        job.child.fds.push_back({m_extraCerts.get(), kExtraCertsFd});
    if (!m_identity.password.empty()) {
        job.password = secretPipe(m_identity.password);
        if (!job.password) {
            fail(job, "Cannot hand the password to osslsigncode: " + errnoText(errno) + ".");
            return;
        }
        job.child.fds.push_back({job.password.get(), kPasswordFd});
    }
    job.needsChild = true;
}

void Signer::expectTimeStamp(SignJob &job) const
{
    if (m_args.rfc3161Url) {
        job.expected.stamp = StampKind::Rfc3161;
        job.expected.stampDigest = digestName(m_args.timestampDigest);
        job.expected.stampUrl = *m_args.rfc3161Url;
    } else if (m_args.timestampUrl) {
        job.expected.stamp = StampKind::Authenticode;
        job.expected.stampUrl = *m_args.timestampUrl;
    }
}

bool Signer::stampOnly() const
{
    return m_args.verb == Verb::Timestamp;
}

std::string Signer::failedAction(const SignJob &job) const
{
    return (stampOnly() ? "Time-stamping " : "Signing ") + job.file + " failed";
}

// "timestamp": the primary signature gets the time stamp; the copy must
// carry the same signatures, the first one stamped.
void Signer::startStampOnly(SignJob &job, int signatures, const std::string &digest) const
{
    job.expected.signatures = signatures;
    job.expected.newIndex = 0;
    job.expected.fileDigest = digest;
    expectTimeStamp(job);
    job.stampInput = job.inputPath;
    job.timeStamping.emplace(m_args, job.file);
    job.step = SignJob::Step::TimeStamping;
    requestTimeStamp(job);
}

void Signer::countingEnded(SignJob &job, const ChildExit &exit) const
{
    const std::string verb = stampOnly() ? "Cannot time-stamp " : "Cannot sign ";
    if (!exit.started || exit.timedOut) {
        fail(job, verb + job.file + ": its signatures could not be counted ("
                      + (exit.started ? std::string("osslsigncode took too long") : errnoText(exit.startErrno)) + ").");
        return;
    }
    const std::vector<ReportedSignature> signatures = readVerifyReport(exit.output);
    if (!stampOnly()) {
        startSigning(job, static_cast<int>(signatures.size()));
        return;
    }
    if (signatures.empty()) {
        fail(job, verb + job.file + ": it carries no signature.");
        return;
    }
    startStampOnly(job, static_cast<int>(signatures.size()), signatures.front().digestAlgorithm);
}

void Signer::childEnded(SignJob &job, const ChildExit &exit) const
{
    job.needsChild = false;
    switch (job.step) {
    case SignJob::Step::Counting:
        countingEnded(job, exit);
        break;
    case SignJob::Step::Signing:
        signingEnded(job, exit);
        break;
    case SignJob::Step::TimeStamping:
        timeStampEnded(job, exit);
        break;
    case SignJob::Step::Verifying:
        verifyEnded(job, exit);
        break;
    case SignJob::Step::Checking:
        checkEnded(job, exit);
        break;
    }
}

void Signer::signingEnded(SignJob &job, const ChildExit &exit) const
{
    job.password = Fd();
    const std::string &file = job.file;
    if (!exit.started) {
        fail(job, "Cannot start osslsigncode: " + errnoText(exit.startErrno) + ".");
        return;
    }
    if (exit.timedOut) {
        fail(job, "Signing " + file + " failed: the PKCS#11 module " + m_identity.token->modulePath
                      + " did not answer within " + std::to_string(tokenSignatureTimeoutSeconds())
                      + " seconds; the file was left as it was.");
        return;
    }
    if (exit.exitCode != 0) {
        fail(job, "Signing " + file + " failed: " + signerMessage(exit.output));
        return;
    }
    if (wantsTimeStamp(m_args)) {
        // The time stamp goes into a second copy; the file itself stays as
        // it was until that copy is complete.
        job.timeStamping.emplace(m_args, file);
        // osslsigncode stamps the first signature unless told otherwise;
        // the new one is the last appended.
        if (job.expected.newIndex > 0 && job.peFile)
            job.stampIndex = job.expected.newIndex;
        job.step = SignJob::Step::TimeStamping;
        requestTimeStamp(job);
        return;
    }
    copyMade(job, job.signedName.c_str());
}

void Signer::requestTimeStamp(SignJob &job) const
{
    const TimeStampRequest &request = *job.timeStamping->next();
    // A failed try may leave a cut output behind, and osslsigncode does not
    // replace an existing file.
    unlinkat(job.folder.descriptor(), job.stampedName.c_str(), 0);
    const std::string folder = "/dev/fd/" + std::to_string(kOutputFolderFd) + "/";
    job.child = ChildSpec{};
    const std::string input = job.stampInput.empty() ? folder + job.signedName : job.stampInput;
    // osslsigncode talks to the server through the relay, which hands it
    // only a reply that answers its request.
    std::string relayError;
    TimeStampRelay *relay = TimeStampRelay::instance(relayError);
    if (!relay) {
        fail(job, relayError);
        return;
    }
    const std::string url = relay->localUrl(request.url, request.rfc3161, job.relayRoute);
    job.child.argv = timeStampArguments(request.rfc3161, url, request.digest, input, folder + job.stampedName,
                                        job.stampIndex);
    job.child.fds = {{job.opened.file.get(), kInputFd}, {job.folder.descriptor(), kOutputFolderFd}};
    job.child.memoryLimitBytes = childMemoryLimit(job);
    job.child.timeoutSeconds = timeStampTimeoutSeconds();
    job.needsChild = true;
}

namespace {

// Why the relay did not hand osslsigncode the server's reply, if it did not.
std::string relayRefusal(const SignJob &job)
{
    std::string error;
    const TimeStampRelay *relay = TimeStampRelay::instance(error);
    return relay && job.relayRoute >= 0 ? relay->refusal(job.relayRoute) : std::string();
}

// Whether the server's answer passed the relay's bound (TimeStampRelay.h).
bool relayAnswerTooLarge(const SignJob &job)
{
    std::string error;
    const TimeStampRelay *relay = TimeStampRelay::instance(error);
    return relay && job.relayRoute >= 0 && relay->answerTooLarge(job.relayRoute);
}

} // namespace

void Signer::timeStampEnded(SignJob &job, const ChildExit &exit) const
{
    TimeStamping &stamping = *job.timeStamping;
    struct stat st {};
    if (relayAnswerTooLarge(job))
        stamping.ended(TimeStamping::Attempt::TooLarge, std::string());
    else if (!exit.started)
        stamping.ended(TimeStamping::Attempt::Failed, "osslsigncode cannot be started: " + errnoText(exit.startErrno));
    else if (exit.timedOut)
        stamping.ended(TimeStamping::Attempt::NoAnswer, std::string());
    else if (exit.exitCode == 0
             && fstatat(job.folder.descriptor(), job.stampedName.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
        stamping.ended(TimeStamping::Attempt::Stamped, std::string());
    else if (const std::string refused = relayRefusal(job); !refused.empty())
        stamping.ended(TimeStamping::Attempt::Failed, refused);
    else
        stamping.ended(TimeStamping::Attempt::Failed, signerMessage(exit.output));

    if (stamping.next()) {
        requestTimeStamp(job);
        return;
    }
    if (!stamping.stamped()) {
        fail(job, stamping.error());
        return;
    }
    for (const auto &warning : stamping.warnings())
        job.outcome.lines.push_back({OutputLine::Err, warning});
    job.outcome.warnings += static_cast<int>(stamping.warnings().size());
    copyMade(job, job.stampedName.c_str());
}

// A program file is checked by this tool itself (checkCopy); for the other
// formats osslsigncode's own verify reads the copy first.
void Signer::copyMade(SignJob &job, const char *copyName) const
{
    if (job.peFile) {
        checkCopy(job, copyName);
        return;
    }
    job.copyName = copyName;
    job.step = SignJob::Step::Verifying;
    job.child = ChildSpec{};
    const std::string signerPem = "/dev/fd/" + std::to_string(kSignerPemFd);
    // -ignore-cdp: no network look-up of revocation lists.
    job.child.argv = {"osslsigncode", "verify", "-ignore-cdp"};
    job.child.fds = {{job.folder.descriptor(), kOutputFolderFd}};
    if (m_signerPem) {
        job.child.argv.insert(job.child.argv.end(), {"-CAfile", signerPem, "-TSA-CAfile", signerPem});
        job.child.fds.push_back({m_signerPem.get(), kSignerPemFd});
    }
    job.child.argv.insert(job.child.argv.end(), {"-in", "/dev/fd/" + std::to_string(kOutputFolderFd) + "/" + copyName});
    job.child.memoryLimitBytes = childMemoryLimit(job);
    // It may look up revocation lists on the network.
    job.child.timeoutSeconds = timeStampTimeoutSeconds();
    job.needsChild = true;
}

void Signer::verifyEnded(SignJob &job, const ChildExit &exit) const
{
    // Its exit code says whether the chain is trusted, which a private
    // certificate is not; the digests and the signer are what counts here.
    const std::string problem = exit.started && !exit.timedOut
                                    ? checkVerifyReport(exit.output, m_identity.cert.get(), job.expected)
                                    : std::string("the signed copy could not be read back");
    if (!problem.empty()) {
        fail(job, failedAction(job) + ": osslsigncode reported success, but " + problem
                      + "; the file was left as it was.");
        return;
    }
    checkCopy(job, job.copyName);
}

void Signer::checkCopy(SignJob &job, const char *copyName) const
{
    // Whatever osslsigncode left must be a plain file of this process's
    // user with no other name; anything else is not its output.
    job.copy = Fd(openat(job.folder.descriptor(), copyName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat copyStat {};
    if (!job.copy || fstat(job.copy.get(), &copyStat) != 0 || !S_ISREG(copyStat.st_mode)
        || copyStat.st_uid != geteuid() || copyStat.st_nlink != 1 || copyStat.st_size == 0) {
        fail(job, failedAction(job) + ": osslsigncode reported success but wrote no signed copy (is the disk full?).");
        return;
    }
    job.copyName = copyName;
    job.step = SignJob::Step::Checking;
    // Reading a large file twice and waiting for the disk: a task of the
    // pool, so that other files go on meanwhile.
    X509 *signer = job.stampedSigner ? job.stampedSigner.get() : m_identity.cert.get();
    job.child = ChildSpec{};
    job.child.task = [&job, signer]() -> int {
        if (job.peFile) {
            job.checkProblem = checkSignedCopy(job.opened.file.get(), job.copy.get(), signer, job.expected);
            if (!job.checkProblem.empty())
                return 1;
        }
        // osslsigncode closes its output without syncing it; renamed over
        // the original before it reaches the disk, a crash could leave the
        // user's file empty or cut short.
        if (fsync(job.copy.get()) != 0) {
            job.syncErrno = errno;
            return 2;
        }
        return 0;
    };
    job.needsChild = true;
}

void Signer::checkEnded(SignJob &job, const ChildExit &exit) const
{
    const std::string &file = job.file;
    if (!job.checkProblem.empty()) {
        fail(job, failedAction(job) + ": osslsigncode reported success, but " + job.checkProblem
                      + "; the file was left as it was.");
        return;
    }
    if (!exit.started || exit.exitCode != 0) {
        const int err = !exit.started ? exit.startErrno : job.syncErrno;
        fail(job, "Cannot write the signed copy of " + file + ": " + errnoText(err ? err : EIO) + ".");
        return;
    }
    const Replacement replaced = replaceWithCopy(job.copy.get(), job.folder, job.copyName, job.opened, file);
    if (!replaced.error.empty()) {
        fail(job, replaced.error);
        return;
    }
    job.folder.remove();
    if (job.opened.st.st_nlink > 1) {
        job.outcome.lines.push_back({OutputLine::Err, linkNote(file, job.opened.st.st_nlink)});
        ++job.outcome.warnings;
    }
    if (replaced.setIdDropped) {
        job.outcome.lines.push_back({OutputLine::Err, "SignTool Warning: " + file
                                                          + " lost its set-user-ID/set-group-ID bit, since its "
                                                            "content changed."});
        ++job.outcome.warnings;
    }
    job.outcome.signedOk = true;
    job.outcome.lines.push_back({OutputLine::Out, (stampOnly() ? "Successfully timestamped: " : "Successfully signed: ") + file});
    if (m_demo && !stampOnly())
        job.outcome.lines.push_back(
            {OutputLine::Out, file + " was signed with the demo certificate, which is for trying Quillmark out only."});
    if (m_args.verbose)
        job.outcome.lines.push_back({OutputLine::Out, std::string()});
}

std::vector<std::string> osslsigncodeArguments(const SigningIdentity &identity, const SignArgs &args,
                                               const std::string &in, const std::string &out, bool fileIsSigned)
{
    std::vector<std::string> argv{"osslsigncode", "sign"};
    if (identity.token) {
        // osslsigncode signs through the pkcs11 engine, which logs in with
        // the PIN read from descriptor 3; the key never leaves the token.
        argv.insert(argv.end(), {"-pkcs11module", identity.token->modulePath, "-pkcs11cert",
                                 identity.token->certificateUri(), "-key", identity.token->privateKeyUri()});
    } else {
        argv.insert(argv.end(), {"-pkcs12", "/dev/fd/" + std::to_string(kPfxFd)});
    }
    if (!identity.password.empty()) {
        argv.push_back("-readpass");
        argv.push_back("/dev/fd/" + std::to_string(kPasswordFd));
    }
    argv.insert(argv.end(), {"-h", digestName(args.fileDigest)});
    if (!args.additionalCertificates.empty())
        argv.insert(argv.end(), {"-ac", "/dev/fd/" + std::to_string(kExtraCertsFd)});
    if (args.pageHashes)
        argv.push_back("-ph");
    if (args.appendSignature && fileIsSigned)
        argv.push_back("-nest");
    if (args.description && !args.description->empty())
        argv.insert(argv.end(), {"-n", *args.description});
    if (args.descriptionUrl && !args.descriptionUrl->empty())
        argv.insert(argv.end(), {"-i", *args.descriptionUrl});
    argv.insert(argv.end(), {"-in", in, "-out", out});
    return argv;
}

std::string additionalCertificatesPem(const std::string &path, std::string &error)
{
    std::string data, readError;
    if (!readWholeFile(path, data, readError)) {
        error = "Cannot read the certificate file " + path + " given with /ac: " + readError + ".";
        return {};
    }
    std::string pem;
    BioPtr bio(BIO_new_mem_buf(data.data(), static_cast<int>(data.size())));
    while (X509 *cert = bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr) {
        pem += certificatePem(cert);
        X509_free(cert);
    }
    if (pem.empty()) {
        const unsigned char *p = reinterpret_cast<const unsigned char *>(data.data());
        if (X509 *cert = d2i_X509(nullptr, &p, static_cast<long>(data.size()))) {
            pem = certificatePem(cert);
            X509_free(cert);
        }
    }
    ERR_clear_error();
    if (pem.empty())
        error = "The file " + path + " given with /ac holds no certificate (PEM or DER).";
    return pem;
}

std::string signerMessage(const std::string &output)
{
    std::string message;
    for (const std::string &line : trimmedLines(output)) {
        if (line.empty() || line == "Failed" || line == "Succeeded" || line.find(":error:") != std::string::npos
            || line.rfind("Connecting to ", 0) == 0 || line.rfind("Use the \"-ts\" option", 0) == 0)
            continue;
        if (!message.empty())
            message += "; ";
        message += line;
    }
    if (message.size() > 400)
        message = message.substr(0, 397) + "...";
    return message.empty() ? "osslsigncode reported no reason" : message;
}

} // namespace signtool
