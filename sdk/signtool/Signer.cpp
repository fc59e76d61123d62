#include "Signer.h"

#include "CertSelect.h"
#include "DigestSigning.h"
#include "ModuleDeadline.h"
#include "PeImage.h"
#include "SignArgs.h"
#include "SignatureCheck.h"
#include "PeSignatures.h"
#include "TimeStamp.h"
#include "TimeStampClient.h"
#include "TimeStampRelay.h"
#include "ToolSupport.h"
#include "VerifyReport.h"
#include "safefile/ShownText.h"
#include "safefile/SafeWrite.h"

#include <openssl/err.h>
#include <openssl/pem.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <chrono>
#include <ctime>
#include <functional>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <system_error>
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

// The key as unencrypted PEM, written straight into the memory file: no
// copy of it stays on this process's heap.
bool writeKey(int fd, EVP_PKEY *key)
{
    BioPtr bio(BIO_new_fd(fd, BIO_NOCLOSE));
    const bool written = bio && PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
    ERR_clear_error();
    return written;
}

bool writeCertificates(int fd, const std::vector<X509 *> &certificates)
{
    for (X509 *cert : certificates) {
        const std::string pem = certificatePem(cert);
        if (pem.empty() || !writeAll(fd, pem))
            return false;
    }
    return true;
}

// Zeros over the memory file's pages, then none: the key leaves no trace
// in memory once the run is over.
void wipeMemoryFile(int fd)
{
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0)
        return;
    static const char zeros[4096] = {};
    for (off_t at = 0; at < st.st_size; at += sizeof zeros)
        [[maybe_unused]] const ssize_t n = pwrite(fd, zeros, std::min<off_t>(sizeof zeros, st.st_size - at), at);
    [[maybe_unused]] const int rc = ftruncate(fd, 0);
}

// A decrypted key is in this process and in every osslsigncode child: none
// of them may leave a core dump. Children inherit the limit; this process
// is also made undumpable, which a core handler ignoring the limit obeys.
bool forbidCoreDumps()
{
    const rlimit none{0, 0};
    return setrlimit(RLIMIT_CORE, &none) == 0 && prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) == 0;
}

// From this size on, a PE file's digest is made on a thread of its own
// while osslsigncode signs it, the signed copy goes to disk while it is
// written, and it is synced while it is checked: on two cores these cost
// no time. Smaller files are done in one
// go, where a thread would cost more than it saves.
constexpr off_t kWorkAsideBytes = 4 << 20;

// The original's digest of the file digest's algorithm, made while
// osslsigncode reads the same file; invalid when no thread can be started.
std::shared_future<std::optional<KnownDigest>> hashAside(int fd, const EVP_MD *md)
{
    try {
        return std::async(std::launch::async, [fd, md]() -> std::optional<KnownDigest> {
            std::string problem;
            const auto layout = readPeLayout(fd, problem);
            auto digest = layout ? authenticodeDigest(fd, *layout, md) : std::nullopt;
            if (!digest)
                return std::nullopt;
            return KnownDigest{EVP_MD_get_type(md), std::move(*digest)};
        });
    } catch (const std::system_error &) {
        return {};
    }
}

// fsync(2) of `fd` on a thread: 0 or its errno.
std::future<int> syncAside(int fd)
{
    try {
        return std::async(std::launch::async, [fd] { return fsync(fd) == 0 ? 0 : errno; });
    } catch (const std::system_error &) {
        return {};
    }
}

// Whether the signed copy holds the bytes of the file that its digest
// covers while the file provably kept them since its digest was made: held
// its read lease from before until after the comparison. The copy's digest
// is then the file's.
bool provenSameContent(const SignJob &job)
{
    return job.lease.held() && sameDigestedContent(job.opened.file.get(), job.copy.get()) && job.lease.held();
}

// For a large file, while osslsigncode signs it: a PE file's digest on a
// thread, under a read lease, and the copy written out once that digest is
// made (both want the processor osslsigncode leaves free).
void startWorkAside(SignJob &job, const EVP_MD *md)
{
    if (job.format->readsSignaturesInProcess()) {
        // Signed again (without the time stamp that failed), the file may
        // keep the lease it has held since the first attempt.
        if (!job.lease.held())
            job.lease = safefile::ReadLease(job.opened.file.get());
        job.originalDigest = hashAside(job.opened.file.get(), md);
    }
    std::function<bool()> digestMade;
    if (job.originalDigest.valid())
        digestMade = [digest = job.originalDigest] {
            return digest.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
        };
    job.writeback.start(job.folder.descriptor(), job.signedName, std::move(digestMade));
}

std::string linkNote(const std::string &file, nlink_t links)
{
    return "SignTool Warning: " + file + " has " + std::to_string(links)
           + " hard links; the signed file is separate from its other names, which keep the unsigned content.";
}

// What an osslsigncode child may take for its data: it holds the file and
// its signed copy, with room to spare; never what a server's endless answer
// would make of it.
unsigned long long childMemoryLimit(const SignJob &job)
{
    constexpr unsigned long long kBase = 512ULL * 1024 * 1024;
    return kBase + 3ULL * static_cast<unsigned long long>(std::max<off_t>(job.opened.st.st_size, 0));
}

// The certificates of a PEM bundle, in its order.
std::vector<CertPtr> certificatesOfPem(const std::string &pem)
{
    std::vector<CertPtr> certificates;
    BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    while (X509 *cert = bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr)
        certificates.emplace_back(cert);
    ERR_clear_error();
    return certificates;
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
    if (args.digestInFolder) {
        // Each file's signature and certificate come from the folder.
        safefile::WalkProblem problem;
        if (safefile::openFolder(*args.digestInFolder, m_digestFolder, &problem) != 0)
            m_setUpError = "Cannot open the folder " + *args.digestInFolder
                           + " given with /di: " + safefile::walkProblemText(problem) + ".";
        return;
    }
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
        m_extraCertObjects = certificatesOfPem(pem);
        m_extraCerts = Fd(memfd_create("signtool-ac", MFD_CLOEXEC));
        if (!m_extraCerts || !writeAll(m_extraCerts.get(), pem))
            m_setUpError = "Cannot hand the certificates of /ac to osslsigncode: " + errnoText(errno) + ".";
    }
    if (identity.token) {
        // Program files are signed here with the token's key, logged in
        // once for the run; the other formats (and /ph) by osslsigncode,
        // which logs in itself.
        if (identity.tokenKey) {
            m_signingKey.key = identity.tokenKey->key();
            m_signingKey.cert = identity.cert.get();
            for (const auto &extra : m_extraCertObjects)
                m_signingKey.chain.push_back(extra.get());
        }
        return;
    }
    // The PFX is decrypted here, once for the run, not by every child (its
    // key derivation and cipher were part of each child's work). Each child
    // opens /dev/fd/4 and /dev/fd/9 afresh, which reads the memory files
    // from their start.
    Pkcs12Contents &contents = m_pfx;
    std::string detail;
    if (parsePkcs12(identity.pfxData, identity.password, contents, detail) != Pkcs12Status::Ok) {
        m_setUpError = "The PFX file " + identity.pfxPath + " cannot be read any more"
                       + (detail.empty() ? "" : " (" + detail + ")") + ".";
        return;
    }
    if (!forbidCoreDumps()) {
        m_setUpError = "Cannot keep the private key out of core dumps: " + errnoText(errno) + ".";
        return;
    }
    std::vector<X509 *> certificates{contents.cert.get()};
    for (const auto &other : contents.others)
        certificates.push_back(other.get());
    m_certificates = Fd(memfd_create("signtool-certificates", MFD_CLOEXEC));
    m_key = Fd(memfd_create("signtool-key", MFD_CLOEXEC));
    if (!m_certificates || !m_key || !writeCertificates(m_certificates.get(), certificates)
        || !writeKey(m_key.get(), contents.key.get())) {
        m_setUpError = "Cannot hand the certificate to osslsigncode: " + errnoText(errno) + ".";
        wipeMemoryFile(m_key.get());
        return;
    }
    // The same key and certificates for the signatures made here: the
    // signer's, the PFX's chain, then those of /ac, as osslsigncode gets
    // them.
    m_signingKey.key = contents.key.get();
    m_signingKey.cert = contents.cert.get();
    for (const auto &other : contents.others)
        m_signingKey.chain.push_back(other.get());
    for (const auto &extra : m_extraCertObjects)
        m_signingKey.chain.push_back(extra.get());
}

Signer::~Signer()
{
    wipeMemoryFile(m_key.get());
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
    job->format = &formatOf(job->opened.file.get());
    if (const std::string problem = job->format->damage(job->opened.file.get()); !problem.empty()) {
        fail(*job, "Cannot sign " + file + ": the file is truncated or damaged (" + problem + ").");
        return job;
    }

    if (m_args.digestInFolder && !takeIngestedSignature(*job))
        return job;

    job->folder = m_folders.shareIn(job->opened.folder.get(), error);
    if (!job->folder) {
        fail(*job, "Cannot sign " + file + ": " + error + ".");
        return job;
    }
    const std::string extension = copyExtensionOf(job->opened.name);
    job->signedName = job->folder.claim("signed" + extension);
    job->stampedName = job->folder.claim("stamped" + extension);
    const std::string folder = "/dev/fd/" + std::to_string(kOutputFolderFd) + "/";
    std::string input = "/dev/fd/" + std::to_string(kInputFd);
    if (!job->format->readsSignaturesInProcess()) {
        // osslsigncode knows a script by its name's extension: it gets a
        // link of that name, in the private folder, to the opened file.
        job->inputName = job->folder.claim("input" + extension);
        if (symlinkat(input.c_str(), job->folder.descriptor(), job->inputName.c_str()) != 0) {
            fail(*job, "Cannot sign " + file + ": " + errnoText(errno) + ".");
            return job;
        }
        input = folder + job->inputName;
    }
    job->inputPath = input;
    if ((m_args.appendSignature || stampOnly()) && !job->format->readsSignaturesInProcess()) {
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
        PeJudgement judgement = job->format->verify(job->opened.file.get(), policy);
        if (judgement.signatures.empty() || !judgement.signatures.front().signer) {
            fail(*job, "Cannot time-stamp " + file + ": "
                           + (judgement.status == PeJudgement::Status::Unsigned ? std::string("it carries no signature")
                                                                                : "its signature cannot be read")
                           + ".");
            return job;
        }
        const int count = static_cast<int>(judgement.signatures.size());
        if (const std::string refusal = stampIndexProblem(count); !refusal.empty()) {
            fail(*job, "Cannot time-stamp " + file + ": " + refusal + ".");
            return job;
        }
        PeSignature &stamped = judgement.signatures[static_cast<size_t>(m_args.timestampIndex.value_or(0))];
        if (!stamped.signer) {
            fail(*job, "Cannot time-stamp " + file + ": its signature " + std::to_string(stamped.finding.index)
                           + " cannot be read.");
            return job;
        }
        job->stampedSigner = std::move(stamped.signer);
        startStampOnly(*job, count, stamped.finding.digest);
        return job;
    }
    int before = 0;
    if (m_args.appendSignature) {
        before = job->format->signatureCount(job->opened.file.get()).value_or(-1);
        if (before < 0) {
            fail(*job, "Cannot sign " + file + ": its signature is damaged, so no signature can be appended to it.");
            return job;
        }
    }
    startSigning(*job, before);
    return job;
}

// sign /di: the file's signature, made elsewhere, read and checked before
// anything is written.
bool Signer::takeIngestedSignature(SignJob &job) const
{
    if (!job.format->readsSignaturesInProcess()) {
        fail(job, "Cannot sign " + job.file + " in steps (/di): only program files can be; osslsigncode, which "
                                              "signs this format, cannot embed a signature made elsewhere.");
        return false;
    }
    std::string problem;
    std::optional<IngestedSignature> ingested =
        readIngestedSignature(m_digestFolder.get(), *m_args.digestInFolder, fileNameOf(job.file), problem);
    if (!ingested) {
        fail(job, "Cannot sign " + job.file + ": " + problem + ".");
        return false;
    }
    X509_up_ref(ingested->signer.get());
    job.stampedSigner.reset(ingested->signer.get());
    job.ingested = std::make_shared<IngestedSignature>(std::move(*ingested));
    return true;
}

void Signer::startSigning(SignJob &job, int signaturesBefore) const
{
    const bool nest = m_args.appendSignature && signaturesBefore > 0;
    job.expected.signatures = nest ? signaturesBefore + 1 : 1;
    job.expected.newIndex = nest ? signaturesBefore : 0;
    job.expected.fileDigest = digestName(m_args.fileDigest);
    if (job.ingested) {
        std::string name = OBJ_nid2sn(job.ingested->fileDigest.mdType);
        for (char &c : name)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        job.expected.fileDigest = name;
    }
    expectTimeStamp(job);
    if (job.format->signsInProcess(signingNeeds())) {
        startSigningHere(job);
        return;
    }
    job.step = SignJob::Step::Signing;
    job.child = ChildSpec{};
    if (stampsWhileSigning()) {
        job.stampWhileSigning = true;
        job.timeStamping.emplace(m_args, job.file);
        job.child.timeoutSeconds = stampingSignatureTimeoutSeconds(job.opened.st.st_size);
    }
    std::string relayError;
    job.child.argv = signingArguments(job, relayError);
    if (!relayError.empty()) {
        fail(job, relayError);
        return;
    }
    // A token's module may hang in the login or the signature (a network HSM
    // that stopped answering); a PIN pad waits for the user as pinentry does.
    if (m_identity.token)
        job.child.timeoutSeconds = tokenSignatureTimeoutSeconds();
    job.child.fds = {{job.opened.file.get(), kInputFd}, {job.folder.descriptor(), kOutputFolderFd}};
    job.child.memoryLimitBytes = childMemoryLimit(job);
    if (m_key) {
        job.child.fds.push_back({m_certificates.get(), kCertificatesFd});
        job.child.fds.push_back({m_key.get(), kKeyFd});
    }
    if (m_extraCerts)
        job.child.fds.push_back({m_extraCerts.get(), kExtraCertsFd});
    if (m_identity.token && !m_identity.password.empty()) {
        job.password = secretPipe(m_identity.password);
        if (!job.password) {
            fail(job, "Cannot hand the password to osslsigncode: " + errnoText(errno) + ".");
            return;
        }
        job.child.fds.push_back({job.password.get(), kPasswordFd});
    }
    if (job.opened.st.st_size >= kWorkAsideBytes)
        startWorkAside(job, EVP_get_digestbyname(digestName(m_args.fileDigest)));
    job.needsChild = true;
}

SigningNeeds Signer::signingNeeds() const
{
    SigningNeeds needs;
    // A token's key is opened in this process too; a signature made
    // elsewhere (/di) needs no key here.
    needs.keyInMemory = m_signingKey.key != nullptr || m_args.digestInFolder.has_value();
    // The children's path stays reachable for program files: a way round
    // the in-process signer should it ever be in doubt, and what the tests
    // of the children's handling (lying, killed, slow children) sign with.
    const char *engine = std::getenv("QUILLMARK_PE_SIGNER");
    needs.osslsigncodeAsked = engine && std::string(engine) == "osslsigncode";
    return needs;
}

// The signature made in this process: one task of the pool writes the copy
// (reading the file once), checks it and syncs it; then checkEnded puts it
// in the file's place.
void Signer::startSigningHere(SignJob &job) const
{
    job.signedHere = true;
    if (wantsTimeStamp(m_args))
        job.timeStamping.emplace(m_args, job.file);
    job.step = SignJob::Step::Checking;
    job.child = ChildSpec{};
    job.child.task = [this, &job] { return signHere(job); };
    job.needsChild = true;
}

// On a thread of the pool: 0 when the copy is written, checked and synced;
// otherwise checkProblem or syncErrno says why not.
int Signer::signHere(SignJob &job) const
{
    const int folder = job.folder.descriptor();
    job.copyName = job.signedName.c_str();
    job.copy = Fd(openat(folder, job.copyName, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!job.copy) {
        job.checkProblem = "the signed copy cannot be made (" + errnoText(errno) + ")";
        return 1;
    }
    const PeSignResult made = stampOnly() ? stampHere(job) : signFileHere(job);
    if (!made.error.empty()) {
        job.checkProblem = made.error;
        return 1;
    }
    // The copy is not read back: its digest is the one made from the bytes
    // written to it. What was written is checked: its length, its headers,
    // the certificate table and every signature in it, the new one (or the
    // stamped one) verified against its certificate with that digest.
    struct stat copyStat {};
    if (fstat(job.copy.get(), &copyStat) != 0 || static_cast<uint64_t>(copyStat.st_size) != made.size) {
        job.checkProblem = "the signed copy does not have the length that was written (is the disk full?)";
        return 1;
    }
    X509 *signer = job.stampedSigner ? job.stampedSigner.get() : m_identity.cert.get();
    job.checkProblem = checkSignedCopy(job.opened.file.get(), job.copy.get(), signer, job.expected, &made.digest,
                                       &made.digest);
    // The digest stands for the file only if it was not written while it
    // was read: a write changes its times.
    if (job.checkProblem.empty() && changedSinceOpened(job.opened))
        job.checkProblem = "the file was changed while it was signed";
    if (!job.checkProblem.empty())
        return 1;
    if (fsync(job.copy.get()) != 0) {
        job.syncErrno = errno;
        return 2;
    }
    return 0;
}

PeSignResult Signer::signFileHere(SignJob &job) const
{
    PeSignOptions options;
    options.md = EVP_get_digestbyname(digestName(m_args.fileDigest));
    options.description = m_args.description.value_or(std::string());
    options.descriptionUrl = m_args.descriptionUrl.value_or(std::string());
    options.append = m_args.appendSignature;
    options.pageHashes = m_args.pageHashes;
    // The time stamp is asked for on this thread, so requests for many
    // files wait for their servers side by side.
    if (job.timeStamping)
        options.beforeWriting = [&job](PKCS7 *p7, PKCS7_SIGNER_INFO *si) {
            return stampSignature(p7, si, *job.timeStamping) ? std::string() : job.timeStamping->error();
        };
    // The token's module cannot be interrupted: one that hangs in the
    // signature ends the tool, the file as it was (its copy is in the
    // private folder, which the cleaner removes).
    if (m_identity.tokenKey)
        options.keyOperation = [this, &job](const std::function<bool()> &operation) {
            return m_identity.useKey(job.file, operation);
        };
    if (job.ingested) {
        options.md = EVP_get_digestbynid(job.ingested->fileDigest.mdType);
        options.finishedSignature = [&job, stamp = options.beforeWriting](const KnownDigest &made,
                                                                          std::string &error) {
            return completeIngestedSignature(*job.ingested, made, stamp, error);
        };
    }
    return job.format->sign(job.opened.file.get(), job.copy.get(), m_signingKey, options);
}

// "timestamp" of a program file: the stamped signature's time stamp asked
// for on this thread (requests for many files wait side by side), the copy
// hashed with that signature's digest as it is written.
PeSignResult Signer::stampHere(SignJob &job) const
{
    PeStampOptions options;
    options.index = job.expected.newIndex;
    std::string digest = job.expected.fileDigest;
    for (char &c : digest)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    options.md = EVP_get_digestbyname(digest.c_str());
    options.stamp = [&job](PKCS7 *p7, PKCS7_SIGNER_INFO *si) {
        return stampSignature(p7, si, *job.timeStamping) ? std::string() : job.timeStamping->error();
    };
    return job.format->stamp(job.opened.file.get(), job.copy.get(), options);
}

// One signature, made with a key in memory: osslsigncode asks for the time
// stamp itself. A token signs one file at a time and must not wait for a
// server meanwhile; a time stamp for an appended signature, or one whose
// digest (/td) differs from the file's (/fd), is added in a step of its own.
bool Signer::stampsWhileSigning() const
{
    if (m_identity.token || m_args.appendSignature || stampOnly() || !wantsTimeStamp(m_args))
        return false;
    return !m_args.rfc3161Url || m_args.timestampDigest == m_args.fileDigest;
}

// The signing child's command line; with a time stamp, osslsigncode talks
// to the server through the relay (see requestTimeStamp). `error` is set
// when the relay cannot be had.
std::vector<std::string> Signer::signingArguments(SignJob &job, std::string &error) const
{
    const std::string folder = "/dev/fd/" + std::to_string(kOutputFolderFd) + "/";
    // An appended signature is the only case of a new one after others.
    const bool nest = job.expected.newIndex > 0;
    if (!job.stampWhileSigning)
        return osslsigncodeArguments(m_identity, m_args, job.inputPath, folder + job.signedName, nest);
    TimeStampRequest stamp = *job.timeStamping->next();
    TimeStampRelay *relay = TimeStampRelay::instance(error);
    if (!relay)
        return {};
    stamp.url = relay->localUrl(stamp.url, stamp.rfc3161, job.relayRoute);
    return osslsigncodeArguments(m_identity, m_args, job.inputPath, folder + job.signedName, nest, &stamp);
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
    job.expected.newIndex = m_args.timestampIndex.value_or(0);
    job.expected.fileDigest = digest;
    expectTimeStamp(job);
    job.stampInput = job.inputPath;
    job.timeStamping.emplace(m_args, job.file);
    if (job.format->readsSignaturesInProcess() && !signingNeeds().osslsigncodeAsked) {
        // A program file is stamped in this process, as it is signed: one
        // task asks the server, writes the copy and checks it.
        job.signedHere = true;
        job.step = SignJob::Step::Checking;
        job.child = ChildSpec{};
        job.child.task = [this, &job] { return signHere(job); };
        job.needsChild = true;
        return;
    }
    if (m_args.timestampIndex)
        job.stampIndex = *m_args.timestampIndex;
    job.step = SignJob::Step::TimeStamping;
    requestTimeStamp(job);
}

// /tp N names a signature the file has: empty, else why not.
std::string Signer::stampIndexProblem(int signatures) const
{
    const int index = m_args.timestampIndex.value_or(0);
    if (index < signatures)
        return {};
    return "it has no signature " + std::to_string(index) + " (/tp counts from 0, the primary; it carries "
           + std::to_string(signatures) + (signatures == 1 ? " signature)" : " signatures)");
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
    const int count = static_cast<int>(signatures.size());
    if (const std::string refusal = stampIndexProblem(count); !refusal.empty()) {
        fail(job, verb + job.file + ": " + refusal + ".");
        return;
    }
    startStampOnly(job, count, signatures[static_cast<size_t>(m_args.timestampIndex.value_or(0))].digestAlgorithm);
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
    job.writeback.stop();
    job.password = Fd();
    const std::string &file = job.file;
    if (!exit.started) {
        fail(job, "Cannot start osslsigncode: " + errnoText(exit.startErrno) + ".");
        return;
    }
    if (job.stampWhileSigning && !stampedWhileSigning(job, exit))
        return;
    if (exit.timedOut) {
        fail(job, "Signing " + file + " failed: the PKCS#11 module " + safefile::shownText(m_identity.token->modulePath)
                      + " did not answer within " + std::to_string(tokenSignatureTimeoutSeconds())
                      + " seconds; the file was left as it was.");
        return;
    }
    if (exit.exitCode != 0) {
        fail(job, "Signing " + file + " failed: " + signerMessage(exit.output));
        return;
    }
    if (job.stampFailure) {
        // Signed without a time stamp: the time stamp was what failed.
        job.timeStamping->ended(TimeStamping::Attempt::Failed, *job.stampFailure);
        job.stampFailure.reset();
        timeStampAttemptEnded(job, job.stampedName.c_str());
        return;
    }
    if (job.stampWhileSigning) {
        job.timeStamping->ended(TimeStamping::Attempt::Stamped, std::string());
        timeStampAttemptEnded(job, job.signedName.c_str());
        return;
    }
    if (wantsTimeStamp(m_args)) {
        // The time stamp goes into a second copy; the file itself stays as
        // it was until that copy is complete.
        job.timeStamping.emplace(m_args, file);
        // osslsigncode stamps the first signature unless told otherwise;
        // the new one is the last appended.
        if (job.expected.newIndex > 0 && job.format->readsSignaturesInProcess())
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
    const int retried = request.retry ? job.relayRoute : -1;
    const std::string url = relay->localUrl(request.url, request.rfc3161, job.relayRoute, retried);
    job.child.argv = timeStampArguments(request.rfc3161, url, request.digest, input, folder + job.stampedName,
                                        job.stampIndex);
    job.child.fds = {{job.opened.file.get(), kInputFd}, {job.folder.descriptor(), kOutputFolderFd}};
    job.child.memoryLimitBytes = childMemoryLimit(job);
    job.child.timeoutSeconds = timeStampTimeoutSeconds();
    job.needsChild = true;
}

namespace {

// Why the relay did not hand osslsigncode the server's reply, if it did not.
// Whether the server did not answer the relay within the time-out.
bool relayTimedOut(const SignJob &job)
{
    std::string error;
    const TimeStampRelay *relay = TimeStampRelay::instance(error);
    return relay && job.relayRoute >= 0 && relay->timedOut(job.relayRoute);
}

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

// False when the job is done with this child's end: a request with no
// answer ends the file's signing, and a failure makes the file be signed
// again without a time stamp (see signingEnded), since osslsigncode's exit
// code does not tell a failed signature from a failed time stamp.
bool Signer::stampedWhileSigning(SignJob &job, const ChildExit &exit) const
{
    // The child's own time-out also covers reading and writing the file;
    // the request's is the relay's.
    if (exit.timedOut || (exit.exitCode != 0 && relayTimedOut(job))) {
        job.timeStamping->ended(TimeStamping::Attempt::NoAnswer, std::string());
        fail(job, job.timeStamping->error());
        return false;
    }
    if (exit.exitCode != 0 && relayAnswerTooLarge(job)) {
        job.timeStamping->ended(TimeStamping::Attempt::TooLarge, std::string());
        fail(job, job.timeStamping->error());
        return false;
    }
    if (exit.exitCode == 0)
        return true;
    const std::string refused = relayRefusal(job);
    job.stampFailure = refused.empty() ? signerMessage(exit.output) : refused;
    job.stampWhileSigning = false;
    // osslsigncode does not replace an existing file.
    unlinkat(job.folder.descriptor(), job.signedName.c_str(), 0);
    std::string unused;
    job.child.argv = signingArguments(job, unused);
    job.child.timeoutSeconds = 0;
    job.needsChild = true;
    return false;
}

void Signer::timeStampEnded(SignJob &job, const ChildExit &exit) const
{
    TimeStamping &stamping = *job.timeStamping;
    struct stat st {};
    if (relayAnswerTooLarge(job))
        stamping.ended(TimeStamping::Attempt::TooLarge, std::string());
    else if (!exit.started)
        stamping.ended(TimeStamping::Attempt::Failed, "osslsigncode cannot be started: " + errnoText(exit.startErrno));
    else if (exit.timedOut || (exit.exitCode != 0 && relayTimedOut(job)))
        stamping.ended(TimeStamping::Attempt::NoAnswer, std::string());
    else if (exit.exitCode == 0
             && fstatat(job.folder.descriptor(), job.stampedName.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
        stamping.ended(TimeStamping::Attempt::Stamped, std::string());
    else if (const std::string refused = relayRefusal(job); !refused.empty())
        stamping.ended(TimeStamping::Attempt::Failed, refused);
    else
        stamping.ended(TimeStamping::Attempt::Failed, signerMessage(exit.output));
    timeStampAttemptEnded(job, job.stampedName.c_str());
}

// After each request, made by the signing child or by an "add" step of its
// own: the next request, the end of the file's signing or, once stamped, the
// check of `stampedCopy` (with its time stamp).
void Signer::timeStampAttemptEnded(SignJob &job, const char *stampedCopy) const
{
    TimeStamping &stamping = *job.timeStamping;
    if (stamping.next()) {
        job.step = SignJob::Step::TimeStamping;
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
    copyMade(job, stampedCopy);
}

// A program file is checked by this tool itself (checkCopy); for the other
// formats osslsigncode's own verify reads the copy first.
void Signer::copyMade(SignJob &job, const char *copyName) const
{
    if (job.format->readsSignaturesInProcess()) {
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
    // Reading a large file and waiting for the disk: a task of the pool, so
    // that other files go on meanwhile.
    X509 *signer = job.stampedSigner ? job.stampedSigner.get() : m_identity.cert.get();
    const bool large = copyStat.st_size >= kWorkAsideBytes;
    job.child = ChildSpec{};
    job.child.task = [&job, signer, large]() -> int {
        // osslsigncode closes its output without syncing it; renamed over
        // the original before it reaches the disk, a crash could leave the
        // user's file empty or cut short. A large copy is synced while it
        // is checked.
        std::future<int> synced = large ? syncAside(job.copy.get()) : std::future<int>();
        if (job.format->readsSignaturesInProcess()) {
            std::optional<KnownDigest> original;
            if (job.originalDigest.valid())
                original = job.originalDigest.get();
            const bool compared = original && provenSameContent(job);
            job.checkProblem = checkSignedCopy(job.opened.file.get(), job.copy.get(), signer, job.expected,
                                               original ? &*original : nullptr, compared ? &*original : nullptr);
            if (job.checkProblem.empty() && original && changedSinceOpened(job.opened))
                job.checkProblem = "the signed copy does not hold the file's content (was the file changed meanwhile?)";
            if (!job.checkProblem.empty())
                return 1;
        }
        const int syncError = synced.valid() ? synced.get() : (fsync(job.copy.get()) == 0 ? 0 : errno);
        if (syncError != 0) {
            job.syncErrno = syncError;
            return 2;
        }
        return 0;
    };
    job.needsChild = true;
}

void Signer::checkEnded(SignJob &job, const ChildExit &exit) const
{
    const std::string &file = job.file;
    if (job.signedHere && job.timeStamping && !job.timeStamping->stamped() && !job.timeStamping->error().empty()) {
        fail(job, job.timeStamping->error());
        return;
    }
    if (job.signedHere && job.timeStamping) {
        for (const auto &warning : job.timeStamping->warnings())
            job.outcome.lines.push_back({OutputLine::Err, warning});
        job.outcome.warnings += static_cast<int>(job.timeStamping->warnings().size());
    }
    if (!job.checkProblem.empty()) {
        fail(job, failedAction(job) + (job.signedHere ? ": " : ": osslsigncode reported success, but ")
                      + job.checkProblem + "; the file was left as it was.");
        return;
    }
    if (!exit.started || exit.exitCode != 0) {
        const int err = !exit.started ? exit.startErrno : job.syncErrno;
        fail(job, "Cannot write the signed copy of " + file + ": " + errnoText(err ? err : EIO) + ".");
        return;
    }
    // Replacing may write the file in place, which would wait for the lease.
    job.lease.release();
    const Replacement replaced = replaceWithCopy(job.copy.get(), job.folder.descriptor(), job.copyName, job.opened, file);
    if (!replaced.error.empty()) {
        fail(job, replaced.error);
        return;
    }
    job.folder.remove();
    job.replaced = std::move(job.opened.file);
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
    // Right under the line that names the file, so it need not name it
    // again: with the path it would be wider than the window's console.
    if ((m_demo || (job.ingested && isDemoCertificate(job.stampedSigner.get()))) && !stampOnly())
        job.outcome.lines.push_back(
            {OutputLine::Out, "Signed with the demo certificate, which is for trying Quillmark out only."});
    if (m_args.verbose)
        job.outcome.lines.push_back({OutputLine::Out, std::string()});
}

std::vector<std::string> osslsigncodeArguments(const SigningIdentity &identity, const SignArgs &args,
                                               const std::string &in, const std::string &out, bool fileIsSigned,
                                               const TimeStampRequest *stamp)
{
    std::vector<std::string> argv{"osslsigncode", "sign"};
    if (identity.token) {
        // osslsigncode signs through the pkcs11 engine, which logs in with
        // the PIN read from descriptor 3; the key never leaves the token.
        argv.insert(argv.end(), {"-pkcs11module", identity.token->modulePath, "-pkcs11cert",
                                 identity.token->certificateUri(), "-key", identity.token->privateKeyUri()});
        if (!identity.password.empty())
            argv.insert(argv.end(), {"-readpass", "/dev/fd/" + std::to_string(kPasswordFd)});
    } else {
        // The PFX's certificates and its key, decrypted once for the run.
        // Plain PEM needs none of OpenSSL's legacy ciphers, whose provider
        // osslsigncode would otherwise load on every start (a fifth of the
        // time it takes to sign a small file).
        argv.insert(argv.end(), {"-nolegacy", "-certs", "/dev/fd/" + std::to_string(kCertificatesFd), "-key",
                                 "/dev/fd/" + std::to_string(kKeyFd)});
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
    if (stamp)
        argv.insert(argv.end(), {stamp->rfc3161 ? "-ts" : "-t", stamp->url});
    argv.insert(argv.end(), {"-in", in, "-out", out});
    return argv;
}

int stampingSignatureTimeoutSeconds(long long size)
{
    constexpr long long kSlowDiskBytesPerSecond = 8LL << 20;
    return timeStampTimeoutSeconds() + 5 + static_cast<int>(std::min<long long>(size / kSlowDiskBytesPerSecond, 3600));
}

// A chain of intermediates is a few kilobytes; a larger /ac file is refused
// by its size before it is read, rather than read whole into memory.
constexpr off_t kMaxAdditionalCertificatesBytes = 4 * 1024 * 1024;

std::string additionalCertificatesPem(const std::string &path, std::string &error)
{
    std::string data, readError;
    if (!readWholeFile(path, data, readError, kMaxAdditionalCertificatesBytes)) {
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
