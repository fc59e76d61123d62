#include "Verifier.h"

#include "CatalogVerify.h"
#include "Pkcs7Files.h"

#include "CertStore.h"
#include "FormatStrategy.h"
#include "PeImage.h"
#include "PeSignatures.h"
#include "Pkcs7Files.h"
#include "Revocation.h"
#include "SafeReplace.h"
#include "SignArgs.h"
#include "TokenStore.h"
#include "ToolSupport.h"
#include "VerifyReport.h"

#include <cctype>
#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace sdktool;

namespace signtool {

namespace {

constexpr int kTrustFd = 4;
constexpr int kFileFd = 5;
constexpr int kFolderFd = 6;
// A local verification; only a damaged system would make it take this long.
constexpr int kVerifyTimeoutSeconds = 120;

const char *const systemBundle = "/etc/ssl/certs/ca-certificates.crt";

// The system's roots and the store's certificates, as PEM.
std::string trustedPem()
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
    return bundle;
}

// The trusted certificates in a memory file, which every osslsigncode child
// opens afresh as /dev/fd/4.
Fd trustFile(const std::string &pem, std::string &error)
{
    Fd fd(memfd_create("signtool-trust", MFD_CLOEXEC));
    if (!fd || !writeAll(fd.get(), pem)) {
        error = "Cannot hand the trusted certificates to osslsigncode: " + errnoText(errno) + ".";
        return Fd();
    }
    return fd;
}

// ".ps1" of "Setup.PS1": letters and digits only, at most 16; else none.
std::string extensionOf(const std::string &name)
{
    const size_t slash = name.rfind('/');
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash) || name.size() - dot > 17
        || dot + 1 == name.size())
        return {};
    for (size_t i = dot + 1; i < name.size(); ++i) {
        if (!std::isalnum(static_cast<unsigned char>(name[i])))
            return {};
    }
    return name.substr(dot);
}

struct VerifyJob {
    std::string file;
    Fd opened;
    const FormatStrategy *format = nullptr; // chosen by the file's content once it is open
    std::string linkName;           // in the run's private folder, for osslsigncode
    std::vector<SignatureFinding> findings;
    std::string fileProblem;        // unsigned, damaged, unreadable: the reason
    std::vector<OutputLine> lines;
    bool ok = false;
    bool done = false; // all its lines are there
    int warnings = 0;
};

void judgedPe(VerifyJob &job, const PeJudgement &judgement)
{
    if (judgement.status == PeJudgement::Status::Unsigned)
        job.fileProblem = "it carries no signature";
    else if (judgement.status == PeJudgement::Status::Damaged)
        job.fileProblem = "its signature is damaged (" + judgement.problem + ")";
    else if (judgement.status == PeJudgement::Status::TooManySignatures)
        job.fileProblem = judgement.problem;
    for (const PeSignature &signature : judgement.signatures)
        job.findings.push_back(signature.finding);
}

// osslsigncode's report of a file of another format.
void judgedByReport(VerifyJob &job, const ChildExit &exit)
{
    if (!exit.started) {
        job.fileProblem = "osslsigncode cannot be started: " + errnoText(exit.startErrno);
        return;
    }
    if (exit.timedOut) {
        job.fileProblem = "osslsigncode took longer than " + std::to_string(kVerifyTimeoutSeconds) + " seconds";
        return;
    }
    const std::vector<ReportedSignature> reported = readVerifyReport(exit.output);
    if (reported.size() > static_cast<size_t>(kMaxPeSignatures)) {
        // The same bound as for program files, whoever read them.
        job.fileProblem = "it carries " + std::to_string(reported.size()) + " signatures, more than the "
                          + std::to_string(kMaxPeSignatures) + " that are checked";
        return;
    }
    for (const ReportedSignature &one : reported)
        job.findings.push_back(findingFromReport(one));
    if (!job.findings.empty())
        return;
    // osslsigncode's own text names the private link it read the file
    // through and repeats itself: only what it means is shown.
    for (const std::string &line : trimmedLines(exit.output)) {
        if (line.find("No signature found") != std::string::npos) {
            job.fileProblem = "it carries no signature";
            return;
        }
        if (line.find("unsupported input file type") != std::string::npos) {
            job.fileProblem = "it is of no format that carries Authenticode signatures";
            return;
        }
    }
    job.fileProblem = "its signature is damaged or the file is not of the format its name says";
}

// Windows Script Host files carry their signature in a comment block that
// osslsigncode does not read: no verdict can be given on them here.
bool scriptHostFile(const std::string &name)
{
    std::string extension = extensionOf(name);
    for (char &c : extension)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return extension == ".js" || extension == ".jse" || extension == ".vbs" || extension == ".vbe"
           || extension == ".wsf";
}

// A reason known before anything is read: the file is empty, or of a kind
// whose signatures cannot be checked here.
std::string problemBeforeReading(const std::string &name, int fd)
{
    struct stat st {};
    if (fstat(fd, &st) == 0 && st.st_size == 0)
        return "it is empty";
    if (scriptHostFile(name))
        return "signatures of Windows Script Host files (" + extensionOf(name)
               + ") cannot be checked here: no verifier on this system reads them";
    return {};
}

// The verdict of a catalog (verify /c, /ad, /as, /ag, or /a after the
// embedded signature failed) in the file's lines.
void finishByCatalog(VerifyJob &job, const SignArgs &args, const CatalogVerdict &verdict)
{
    if (args.verbose) {
        for (const std::string &line : verdict.details)
            job.lines.push_back({OutputLine::Out, "    " + line});
    }
    if (verdict.ok) {
        for (const std::string &warning : verdict.warnings) {
            job.lines.push_back({OutputLine::Err, "SignTool Warning: " + job.file + ": " + warning + "."});
            ++job.warnings;
        }
        job.lines.push_back({OutputLine::Out, "Successfully verified: " + job.file});
    } else {
        job.lines.push_back({OutputLine::Err, "SignTool Error: " + verdict.error});
    }
    if (args.verbose)
        job.lines.push_back({OutputLine::Out, std::string()});
    job.ok = verdict.ok;
    job.done = true;
}

// `catalogs`: verify /a, where a file whose embedded signature fails may
// still be vouched for by a catalog of the database.
void finishJob(VerifyJob &job, const SignArgs &args, CatalogLookup *catalogs = nullptr)
{
    if (args.verbose) {
        for (const SignatureFinding &finding : job.findings) {
            for (const std::string &line : findingLines(finding))
                job.lines.push_back({OutputLine::Out, "    " + line});
        }
    }
    if (job.fileProblem.empty() && args.rootSubject && (!job.format || !job.format->readsSignaturesInProcess()))
        job.fileProblem = "the root of its chain (/r) can be checked in program files only";
    const std::string reason = !job.fileProblem.empty() ? job.fileProblem
                               : args.signatureIndex ? indexedVerdict(job.findings, *args.signatureIndex)
                                                     : fileVerdict(job.findings, args.allSignatures);
    if (args.printDescription) {
        for (const SignatureFinding &finding : job.findings) {
            if (args.signatureIndex ? finding.index != *args.signatureIndex : finding.index > 0 && !args.allSignatures)
                continue;
            const std::string which = job.findings.size() > 1 ? " of signature " + std::to_string(finding.index + 1)
                                                               : std::string();
            job.lines.push_back({OutputLine::Out, "Description" + which + ": "
                                                      + (finding.description.empty() ? std::string("(none)")
                                                                                     : finding.description)});
            job.lines.push_back({OutputLine::Out, "Description URL" + which + ": "
                                                      + (finding.descriptionUrl.empty() ? std::string("(none)")
                                                                                        : finding.descriptionUrl)});
        }
    }
    std::optional<CatalogVerdict> byCatalog;
    if (!reason.empty() && catalogs && job.opened) {
        byCatalog = catalogs->verify(job.opened.get(), job.file);
        if (byCatalog->ok) {
            finishByCatalog(job, args, *byCatalog);
            return;
        }
    }
    if (reason.empty()) {
        job.ok = true;
        // A revocation server that cannot be reached does not fail the
        // file, as on Windows (see sdk/README.md): it is said.
        for (const SignatureFinding &finding : job.findings) {
            if (args.signatureIndex ? finding.index != *args.signatureIndex : finding.index > 0 && !args.allSignatures)
                continue;
            for (const std::string &warning : finding.warnings) {
                job.lines.push_back({OutputLine::Err, "SignTool Warning: " + job.file + ": " + warning + "."});
                ++job.warnings;
            }
        }
        if (args.warnUnstamped && !job.findings.empty() && job.findings.front().stampKind == StampKind::None) {
            job.lines.push_back({OutputLine::Err, "SignTool Warning: " + job.file + " is not time-stamped."});
            ++job.warnings;
        }
        job.lines.push_back({OutputLine::Out, "Successfully verified: " + job.file});
    } else {
        job.lines.push_back({OutputLine::Err, "SignTool Error: " + job.file + " is not validly signed: " + reason + "."});
        // A catalog that lists the file but fails says why it did not help.
        if (byCatalog && !byCatalog->catalog.empty())
            job.lines.push_back({OutputLine::Err, "SignTool Error: " + byCatalog->error});
    }
    if (args.verbose)
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

// A private folder (see SafeReplace.h) in the temporary folder, for the
// links that give osslsigncode each opened file under a name with its
// extension.
PrivateFolder linkFolder(std::string &error)
{
    const char *tmp = std::getenv("TMPDIR");
    const std::string where = tmp && *tmp == '/' ? tmp : "/tmp";
    Fd parent(open(where.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!parent) {
        error = "Cannot open " + where + ": " + errnoText(errno) + ".";
        return {};
    }
    std::string problem;
    PrivateFolder folder = PrivateFolder::create(parent.get(), problem);
    if (!folder)
        error = "Cannot make a temporary folder in " + where + ": " + problem + ".";
    return folder;
}

} // namespace

std::string fileVerdict(const std::vector<SignatureFinding> &signatures, bool all)
{
    if (signatures.empty())
        return "it carries no signature";
    const SignatureFinding &primary = signatures.front();
    if (primary.verdict != Verdict::Good)
        return signatures.size() > 1 ? "its primary signature: " + verdictText(primary) : verdictText(primary);
    if (!all)
        return {};
    for (const SignatureFinding &finding : signatures) {
        if (finding.verdict != Verdict::Good)
            return "its signature " + std::to_string(finding.index + 1) + " (appended): " + verdictText(finding);
    }
    return {};
}

std::string indexedVerdict(const std::vector<SignatureFinding> &signatures, int index)
{
    for (const SignatureFinding &finding : signatures) {
        if (finding.index == index)
            return finding.verdict == Verdict::Good ? std::string() : verdictText(finding);
    }
    return "it has no signature " + std::to_string(index) + " (/ds counts from 0, the primary; it carries "
           + std::to_string(signatures.size()) + ")";
}

VerifyCounts verifyFiles(const SignArgs &args, const std::function<void(const std::vector<OutputLine> &)> &print)
{
    VerifyCounts counts;
    std::string error;
    const std::string pem = trustedPem();
    const StorePtr anchors = trustStoreFromPem(pem);
    TrustPolicy policy;
    policy.anchors = anchors.get();
    policy.now = std::time(nullptr);
    RevocationChecker revocation;
    policy.revocation = &revocation;
    policy.rootSubject = args.rootSubject.value_or(std::string());
    // /c, /ad, /as and /ag verify by a catalog alone; /a tries the
    // embedded signature first.
    std::optional<CatalogLookup> catalogs;
    if (args.catalogFile || args.catalogSearch != CatalogSearch::None)
        catalogs.emplace(args, policy);
    const bool catalogOnly = catalogs && args.catalogSearch != CatalogSearch::All;
    CatalogLookup *fallback = catalogs && !catalogOnly ? &*catalogs : nullptr;
    policy.pageHashes = args.pageHashes;
    Fd trust;
    PrivateFolder links;
    const size_t count = args.files.size();
    std::vector<std::unique_ptr<VerifyJob>> jobs(count);
    size_t printed = 0;
    auto printReady = [&] {
        while (printed < count && jobs[printed] && jobs[printed]->done) {
            print(jobs[printed]->lines);
            ++(jobs[printed]->ok ? counts.verified : counts.errors);
            counts.warnings += jobs[printed]->warnings;
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
        std::string openError;
        job->opened = openToVerify(job->file, openError);
        if (job->opened && catalogOnly) {
            finishByCatalog(*job, args, catalogs->verify(job->opened.get(), job->file));
            job->opened = Fd();
            jobs[i] = std::move(job);
            printReady();
            continue;
        }
        if (job->opened) {
            job->format = &formatOf(job->opened.get());
            const bool byOsslsigncode = !job->format->readsSignaturesInProcess() && !args.verifyPkcs7;
            if (byOsslsigncode && !trust)
                trust = trustFile(pem, openError);
            if (byOsslsigncode && openError.empty() && !links)
                links = linkFolder(openError);
        }
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
        if (std::string early = problemBeforeReading(job->file, job->opened.get()); !early.empty()) {
            job->fileProblem = std::move(early);
            finishJob(*job, args, fallback);
            job->opened = Fd();
            jobs[i] = std::move(job);
            printReady();
            continue;
        }
        ChildSpec child;
        if (args.verifyPkcs7) {
            // verify /p7: a PKCS#7 file of sign /p7, whatever it signs.
            VerifyJob *pending = job.get();
            child.task = [pending, &policy]() -> int {
                Pkcs7Verdict verdict = judgePkcs7File(pending->opened.get(), pending->file, policy);
                pending->fileProblem = std::move(verdict.fileProblem);
                pending->findings = std::move(verdict.findings);
                return 0;
            };
        } else if (job->format->readsSignaturesInProcess()) {
            VerifyJob *pending = job.get();
            child.task = [pending, &policy]() -> int {
                judgedPe(*pending, pending->format->verify(pending->opened.get(), policy));
                return 0;
            };
        } else {
            // osslsigncode tells scripts by their extension: it reads the
            // opened file through a link of such a name to /dev/fd/5.
            job->linkName = std::to_string(i) + extensionOf(job->file);
            const std::string target = "/dev/fd/" + std::to_string(kFileFd);
            if (symlinkat(target.c_str(), links.descriptor(), job->linkName.c_str()) != 0) {
                job->lines.push_back({OutputLine::Err, "SignTool Error: Cannot verify " + job->file + ": "
                                                           + errnoText(errno) + "."});
                job->done = true;
                jobs[i] = std::move(job);
                printReady();
                continue;
            }
            const std::string trustPath = "/dev/fd/" + std::to_string(kTrustFd);
            // -ignore-cdp: no network look-up of revocation lists.
            child.argv = {"osslsigncode", "verify", "-ignore-cdp", "-CAfile", trustPath, "-TSA-CAfile", trustPath,
                          "-in", "/dev/fd/" + std::to_string(kFolderFd) + "/" + job->linkName};
            child.fds = {{trust.get(), kTrustFd}, {job->opened.get(), kFileFd}, {links.descriptor(), kFolderFd}};
            child.timeoutSeconds = kVerifyTimeoutSeconds;
        }
        jobs[i] = std::move(job);
        pool.start(child, [&, i](ChildExit exit) {
            VerifyJob &ended = *jobs[i];
            if (!ended.format->readsSignaturesInProcess() && !args.verifyPkcs7) {
                judgedByReport(ended, exit);
                unlinkat(links.descriptor(), ended.linkName.c_str(), 0);
            }
            finishJob(ended, args, fallback);
            ended.opened = Fd();
            printReady();
        });
    }
    pool.waitForAll();
    printReady();
    return counts;
}

} // namespace signtool
