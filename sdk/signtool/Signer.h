#pragma once

// Signs files and reports each outcome as the lines the tool prints for it,
// so that a caller may print them at once or keep them until the files
// before it are done. Program files signed with a key in memory (a PFX's,
// or a token's logged in once for the run, TokenStore.h) are signed in
// this process (FormatStrategy.h, PeSigner.h): one task of the pool
// writes the copy, time-stamps it, checks it and syncs it. Everything else
// goes through osslsigncode, as follows.
//
// A file is signed in steps: prepare() opens it once (see OpenedFile.h),
// checks it and takes a share of the private folder for the signed copy
// (see SafeReplace.h, SharedFolders.h); the caller runs the children the job asks for, one after
// the other (alone or in a pool): osslsigncode signing, the time-stamp
// requests, for formats other than PE osslsigncode's verify, and a task that
// checks the final copy (see SignatureCheck.h) and syncs it to disk; only
// then does childEnded() put it in the file's place. osslsigncode gets the
// opened file as /dev/fd/5 and writes into the private folder through
// /dev/fd/6. A PFX (or store file) is decrypted once, by the Signer: each
// child gets its certificates as /dev/fd/4 and its key as /dev/fd/9, both
// memory files of this process (never a file on disk, never an argument;
// the key is wiped when the Signer goes). A token's key stays on the token;
// for osslsigncode's own login its PIN comes through a pipe on descriptor 3. None of these is a name
// another user can swap.

#include "CertStore.h"
#include "FormatStrategy.h"
#include "OpenedFile.h"
#include "ProcessPool.h"
#include "SafeReplace.h"
#include "SharedFolders.h"
#include "SignatureCheck.h"
#include "safefile/EarlyWriteback.h"
#include "safefile/ReadLease.h"
#include "TimeStamp.h"
#include "TimeStampRelay.h"

#include <future>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace signtool {

struct SignArgs;
struct IngestedSignature; // DigestSigning.h

struct OutputLine {
    enum Stream { Out, Err };
    Stream stream = Out;
    std::string text;
};

struct FileOutcome {
    bool signedOk = false;
    int warnings = 0;
    // With /v first "Signing: FILE" and the certificate; warnings; exactly
    // one outcome line: "Successfully signed: FILE" or "SignTool Error: ...".
    std::vector<OutputLine> lines;
};

// One file on its way: the signing child, then the time-stamp requests, if
// any, and the checks of the copy, each a child (or task) of its own. Holds the opened file and the private
// folder until it is finished.
struct SignJob {
    std::string file;     // as given on the command line
    FileOutcome outcome;  // complete once !needsChild
    bool needsChild = false;
    ChildSpec child;      // the next child to run while needsChild

    OpenedFile opened;
    FolderShare folder;
    Fd password;          // the read end of the password pipe
    // The file's format, chosen once by its content when it is opened.
    const FormatStrategy *format = nullptr;
    // This process makes the signature (FormatStrategy::signsInProcess):
    // one task writes, checks and syncs the copy, no child runs.
    bool signedHere = false;
    // Counting: with /as, osslsigncode's verify counts the signatures a file
    // of another format than PE has (a PE file's are counted in-process).
    enum class Step { Counting, Signing, TimeStamping, Verifying, Checking } step = Step::Signing;
    CopyExpectation expected; // what the final copy must carry
    std::optional<TimeStamping> timeStamping; // set once the signed copy is there, when asked for
    int stampIndex = -1;  // with /as: the appended signature, which the time stamp is for
    int relayRoute = -1;  // the time-stamp request's route through the relay (TimeStampRelay.h)
    // The signing child asks for the time stamp itself (one signature, no
    // token): one pass over the file instead of a second "add" run.
    bool stampWhileSigning = false;
    // Why that child failed, while the file is signed again without a time
    // stamp to tell a failed signature from a failed time stamp.
    std::optional<std::string> stampFailure;

    // A large PE file's digest, hashed on a thread while osslsigncode signs
    // it; invalid for small files, which the check reads itself. While the
    // file keeps its read lease from before that digest was made, the copy
    // may be compared with the file instead of being hashed.
    safefile::ReadLease lease;
    std::shared_future<std::optional<KnownDigest>> originalDigest;
    // A large file's signed copy goes to disk while osslsigncode writes it.
    safefile::EarlyWriteback writeback;

    // The job's names in the private folder, with the file's extension last
    // (osslsigncode tells scripts apart by it): the signed copy, the time-stamped one, and
    // a link to the opened file for formats other than PE.
    std::string signedName;
    std::string stampedName;
    std::string inputName;
    std::string inputPath; // the input as osslsigncode names it
    std::string stampInput; // what the time stamp is added to: the signed copy, or for "timestamp" the file
    sdktool::CertPtr stampedSigner; // "timestamp": the signer of the file's primary signature; /di: the .p7u's
    // sign /di: the signature made elsewhere, which this file gets.
    std::shared_ptr<IngestedSignature> ingested;

    // The final copy, checked and synced to disk by a task of the pool.
    const char *copyName = nullptr;
    Fd copy;
    std::string checkProblem; // the task's verdict: empty when the copy is good
    int syncErrno = 0;
    // Once the copy took the file's place: the file it replaced, which the
    // run frees (ReplacedFiles).
    Fd replaced;
};

class Signer {
public:
    Signer(const SigningIdentity &identity, const SignArgs &args);
    ~Signer(); // wipes the key's memory file
    Signer(const Signer &) = delete;
    Signer &operator=(const Signer &) = delete;

    // Empty when the signer is ready; otherwise why no file can be signed.
    const std::string &setUpError() const { return m_setUpError; }

    std::unique_ptr<SignJob> prepare(const std::string &file) const;
    // Takes the end of the job's child; afterwards the job either needs its
    // next child or is finished.
    void childEnded(SignJob &job, const ChildExit &exit) const;

private:
    void fail(SignJob &job, const std::string &error) const;
    void countingEnded(SignJob &job, const ChildExit &exit) const;
    void startSigning(SignJob &job, int signaturesBefore) const;
    void expectTimeStamp(SignJob &job) const;
    void startStampOnly(SignJob &job, int signatures, const std::string &digest) const;
    bool stampOnly() const;
    std::string failedAction(const SignJob &job) const; // "Signing FILE failed" or "Time-stamping FILE failed"
    void signingEnded(SignJob &job, const ChildExit &exit) const;
    bool stampedWhileSigning(SignJob &job, const ChildExit &exit) const;
    void timeStampEnded(SignJob &job, const ChildExit &exit) const;
    void timeStampAttemptEnded(SignJob &job, const char *stampedCopy) const;
    bool stampsWhileSigning() const;
    std::vector<std::string> signingArguments(SignJob &job, std::string &error) const;
    void requestTimeStamp(SignJob &job) const;
    void copyMade(SignJob &job, const char *copyName) const;
    void verifyEnded(SignJob &job, const ChildExit &exit) const;
    void checkCopy(SignJob &job, const char *copyName) const;
    void checkEnded(SignJob &job, const ChildExit &exit) const;
    void startSigningHere(SignJob &job) const;
    int signHere(SignJob &job) const;
    PeSignResult signFileHere(SignJob &job) const;
    PeSignResult stampHere(SignJob &job) const;
    std::string stampIndexProblem(int signatures) const;
    SigningNeeds signingNeeds() const;
    bool takeIngestedSignature(SignJob &job) const;

    const SigningIdentity &m_identity;
    const SignArgs &m_args;
    // The PFX's certificates (the chosen one first) and its decrypted key,
    // in memory files, for every child.
    Fd m_certificates;
    Fd m_key;
    Fd m_signerPem; // the chosen certificate, the trust list when a copy is verified
    Fd m_extraCerts; // the certificates of /ac, as read and checked once
    // The decrypted PFX and the certificates of /ac, for the signatures
    // made in this process (m_signingKey points into them).
    sdktool::Pkcs12Contents m_pfx;
    std::vector<sdktool::CertPtr> m_extraCertObjects;
    SigningKey m_signingKey;
    mutable PrivateFolders m_folders; // shared by the files of a folder
    std::vector<std::string> m_certificateLines; // for /v, the same for every file
    bool m_demo = false; // signs with the demo certificate: every file says so
    Fd m_digestFolder;   // sign /di: the folder of the .p7u and .dig.signed files
    std::string m_setUpError;
};

// The numbers of the descriptors osslsigncode gets.
constexpr int kPasswordFd = 3;
constexpr int kCertificatesFd = 4;
constexpr int kInputFd = 5;
constexpr int kOutputFolderFd = 6;
constexpr int kSignerPemFd = 7;
constexpr int kExtraCertsFd = 8;
constexpr int kKeyFd = 9;

// The osslsigncode command line for signing `in` into `out`. A token's PIN,
// if any, is read from descriptor 3; with a PFX the certificates come from
// descriptor 4 and the key from descriptor 9; the certificates of /ac (as
// PEM) from descriptor 8.
// With /as the signature is appended ("-nest") when `fileIsSigned`; an
// unsigned file gets it as its primary signature. With `stamp`,
// osslsigncode asks for that time stamp itself (its digest is the file's,
// -h).
std::vector<std::string> osslsigncodeArguments(const SigningIdentity &identity, const SignArgs &args,
                                               const std::string &in, const std::string &out,
                                               bool fileIsSigned = true, const TimeStampRequest *stamp = nullptr);

// The time-out of a signing child that also asks for a time stamp: the
// request's own time-out, and time to read and write a file of `size` bytes
// on a slow disk.
int stampingSignatureTimeoutSeconds(long long size);

// The certificates of a file given with /ac, PEM (one or more) or DER, as
// PEM; empty with `error` set when it holds none or cannot be read.
std::string additionalCertificatesPem(const std::string &path, std::string &error);

// osslsigncode's output without its noise (status words, OpenSSL's error
// queue dump), as one line.
std::string signerMessage(const std::string &output);

} // namespace signtool
