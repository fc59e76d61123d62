#include "Remover.h"

#include "PeImage.h"
#include "PeSignatures.h"
#include "SignArgs.h"
#include "ToolSupport.h"
#include "VerifyReport.h"

#include <openssl/evp.h>

#include <cctype>
#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace sdktool;

namespace signtool {

namespace {

// The descriptors an osslsigncode child gets, as for signing.
constexpr int kChildInputFd = 5;
constexpr int kChildFolderFd = 6;
constexpr int kChildTimeoutSeconds = 600;

// openFileToSign speaks of signing; the same refusals read right here with
// the verb of this command.
std::string asChange(std::string message)
{
    static const std::string signing = "Cannot sign ";
    if (message.rfind(signing, 0) == 0)
        message.replace(0, signing.size(), "Cannot change ");
    return message;
}

// The signers of every signature a program file carries, as trust anchors
// of their own: what is judged is whether each signature still verifies,
// not whom the machine trusts.
StorePtr signersAsAnchors(const PeJudgement &judgement)
{
    std::string pem;
    for (const PeSignature &signature : judgement.signatures) {
        if (signature.signer)
            pem += certificatePem(signature.signer.get());
    }
    return trustStoreFromPem(pem);
}

std::optional<std::vector<unsigned char>> contentDigest(int fd)
{
    std::string problem;
    const auto layout = readPeLayout(fd, problem);
    if (!layout || layout->trailingBytes != 0)
        return std::nullopt;
    return authenticodeDigest(fd, *layout, EVP_sha256());
}

// Whether osslsigncode's verify found the file readable and unsigned: it
// says so in its own words per format ("No signature found", "MSI file has
// no signature") and lists no signature.
bool reportsNoSignature(const std::string &report)
{
    std::string lower = report;
    for (char &c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower.find("no signature") != std::string::npos && readVerifyReport(report).empty();
}

// Why the copy of a program file may not replace it; empty when it may.
std::string checkProgramCopy(int originalFd, int copyFd, const RemoveMode &mode)
{
    const auto before = contentDigest(originalFd);
    const auto after = contentDigest(copyFd);
    if (!after)
        return "the new copy is not a complete program file";
    if (!before || *before != *after)
        return "the new copy does not hold the file's content";
    const int left = countPeSignatures(copyFd);
    if (mode.signature)
        return left == 0 ? std::string() : "the new copy still carries a signature";
    TrustPolicy policy;
    policy.stampChains = false;
    policy.now = std::time(nullptr);
    const StorePtr none = trustStoreFromPem(std::string());
    policy.anchors = none.get();
    const StorePtr anchors = signersAsAnchors(judgePeFile(originalFd, policy));
    policy.anchors = anchors.get();
    const PeJudgement was = judgePeFile(originalFd, policy);
    // Nothing to compare the copy with: it is not put in the file's place.
    if (was.signatures.empty())
        return "the file's signatures cannot be read"
               + (was.problem.empty() ? std::string() : " (" + was.problem + ")");
    const PeJudgement is = judgePeFile(copyFd, policy);
    const size_t expected = mode.unauthenticated ? 1 : was.signatures.size();
    if (is.signatures.size() != expected)
        return "the new copy carries " + std::to_string(is.signatures.size()) + " signatures instead of "
               + std::to_string(expected);
    for (size_t i = 0; i < expected; ++i) {
        if (was.signatures[i].finding.verdict == Verdict::Good && is.signatures[i].finding.verdict != Verdict::Good)
            return "a signature of the new copy no longer verifies (" + verdictText(is.signatures[i].finding) + ")";
    }
    if (mode.unauthenticated && is.signatures[0].finding.stampKind != StampKind::None)
        return "the new copy still carries a time stamp";
    return {};
}

struct OneFile {
    const SignArgs &args;
    const std::string &file;
    PrivateFolders &folders;
    FileOutcome outcome;
    OpenedFile opened;
    FolderShare folder;
    std::string copyName;
    Fd copy;

    bool fail(const std::string &error)
    {
        outcome.signedOk = false;
        outcome.lines.push_back({OutputLine::Err, "SignTool Error: " + error});
        if (args.verbose)
            outcome.lines.push_back({OutputLine::Out, std::string()});
        return false;
    }

    bool open()
    {
        std::string error;
        opened = openFileToSign(file, error);
        if (!opened.file)
            return fail(asChange(error));
        // As when signing: a file that nobody may write was made read-only
        // on purpose, root's own included.
        if ((opened.st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0)
            return fail("Cannot change " + file + ": the file is read-only.");
        if (faccessat(opened.folder.get(), opened.name.c_str(), W_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) != 0
            && errno == EACCES)
            return fail("Cannot change " + file + ": the file is read-only or not readable.");
        folder = folders.shareIn(opened.folder.get(), error);
        if (!folder)
            return fail("Cannot change " + file + ": " + error + ".");
        copyName = folder.claim("removed" + copyExtensionOf(opened.name));
        return true;
    }

    bool programFile(const FormatStrategy &format)
    {
        const int fd = opened.file.get();
        if (const std::string damage = format.damage(fd); !damage.empty())
            return fail("Cannot change " + file + ": the file is truncated or damaged (" + damage + ").");
        if (format.signatureCount(fd).value_or(0) == 0)
            return fail(file + " is not signed; there is no signature to remove.");
        copy = Fd(openat(folder.descriptor(), copyName.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                         0600));
        if (!copy)
            return fail("Cannot change " + file + ": the new copy cannot be made (" + errnoText(errno) + ").");
        SignatureCut cut;
        cut.certificates = args.remove.certificates;
        cut.unauthenticated = args.remove.unauthenticated;
        const std::string problem = args.remove.signature ? format.remove(fd, copy.get())
                                                          : format.trimSignature(fd, copy.get(), cut);
        if (!problem.empty())
            return fail("Cannot change " + file + ": " + problem + "; the file was left as it was.");
        if (const std::string wrong = checkProgramCopy(fd, copy.get(), args.remove); !wrong.empty())
            return fail("Removing from " + file + " failed: " + wrong + "; the file was left as it was.");
        return true;
    }

    ChildExit runChild(ChildSpec spec)
    {
        ChildExit ended;
        ProcessPool pool(1);
        pool.start(spec, [&ended](ChildExit exit) { ended = std::move(exit); });
        pool.waitForAll();
        return ended;
    }

    ChildSpec childFor(std::vector<std::string> argv)
    {
        ChildSpec spec;
        spec.argv = std::move(argv);
        spec.fds = {{opened.file.get(), kChildInputFd}, {folder.descriptor(), kChildFolderFd}};
        spec.timeoutSeconds = kChildTimeoutSeconds;
        spec.memoryLimitBytes = 512ULL * 1024 * 1024 + 3ULL * static_cast<unsigned long long>(opened.st.st_size);
        return spec;
    }

    // Formats other than program files: osslsigncode writes the copy, and
    // its own verify must find no signature left in it.
    bool otherFormat(const FormatStrategy &format)
    {
        if (!args.remove.signature)
            return fail("Cannot change " + file + ": " + format.trimSignature(-1, -1, SignatureCut{})
                        + "; the file was left as it was.");
        const std::string inFolder = "/dev/fd/" + std::to_string(kChildFolderFd) + "/";
        // osslsigncode knows a script by its name's extension: a link of
        // that name in the private folder leads to the opened file.
        const std::string inputName = folder.claim("input" + copyExtensionOf(opened.name));
        const std::string input = "/dev/fd/" + std::to_string(kChildInputFd);
        if (symlinkat(input.c_str(), folder.descriptor(), inputName.c_str()) != 0)
            return fail("Cannot change " + file + ": " + errnoText(errno) + ".");
        ChildExit exit = runChild(childFor({"osslsigncode", "verify", "-ignore-cdp", "-in", inFolder + inputName}));
        if (!exit.started)
            return fail("Cannot start osslsigncode: " + errnoText(exit.startErrno) + ".");
        if (!exit.timedOut && reportsNoSignature(exit.output))
            return fail(file + " is not signed; there is no signature to remove.");
        exit = runChild(childFor({"osslsigncode", "remove-signature", "-in", inFolder + inputName, "-out",
                                  inFolder + copyName}));
        if (!exit.started || exit.timedOut || exit.exitCode != 0)
            return fail("Removing the signature of " + file + " failed: "
                        + (exit.timedOut ? std::string("osslsigncode took too long") : signerMessage(exit.output))
                        + "; the file was left as it was.");
        copy = Fd(openat(folder.descriptor(), copyName.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        struct stat copyStat {};
        if (!copy || fstat(copy.get(), &copyStat) != 0 || !S_ISREG(copyStat.st_mode) || copyStat.st_uid != geteuid()
            || copyStat.st_nlink != 1 || copyStat.st_size == 0)
            return fail("Removing the signature of " + file
                        + " failed: osslsigncode reported success but wrote no copy (is the disk full?).");
        exit = runChild(childFor({"osslsigncode", "verify", "-ignore-cdp", "-in", inFolder + copyName}));
        if (!exit.started || exit.timedOut || !reportsNoSignature(exit.output))
            return fail("Removing the signature of " + file
                        + " failed: osslsigncode reported success, but the new copy still carries a signature or "
                          "cannot be read; the file was left as it was.");
        return true;
    }

    bool replace()
    {
        if (changedSinceOpened(opened))
            return fail("Removing from " + file + " failed: the file was changed meanwhile; it was left as it was.");
        if (fsync(copy.get()) != 0)
            return fail("Cannot write the new copy of " + file + ": " + errnoText(errno) + ".");
        const Replacement replaced = replaceWithCopy(copy.get(), folder.descriptor(), copyName.c_str(), opened, file);
        if (!replaced.error.empty())
            return fail(replaced.error);
        if (opened.st.st_nlink > 1) {
            outcome.lines.push_back({OutputLine::Err, "SignTool Warning: " + file + " has "
                                                          + std::to_string(opened.st.st_nlink)
                                                          + " hard links; the changed file is separate from its "
                                                            "other names, which keep the signed content."});
            ++outcome.warnings;
        }
        if (replaced.setIdDropped) {
            outcome.lines.push_back({OutputLine::Err, "SignTool Warning: " + file
                                                          + " lost its set-user-ID/set-group-ID bit, since its "
                                                            "content changed."});
            ++outcome.warnings;
        }
        return true;
    }

    FileOutcome run()
    {
        if (args.verbose)
            outcome.lines.push_back({OutputLine::Out, "Removing from: " + file});
        if (!open())
            return std::move(outcome);
        const FormatStrategy &format = formatOf(opened.file.get());
        const bool made = format.readsSignaturesInProcess() ? programFile(format) : otherFormat(format);
        if (!made || !replace()) {
            folder.remove();
            return std::move(outcome);
        }
        folder.remove();
        outcome.signedOk = true;
        outcome.lines.push_back({OutputLine::Out, removedLine(args, file)});
        if (args.verbose)
            outcome.lines.push_back({OutputLine::Out, std::string()});
        return std::move(outcome);
    }
};

} // namespace

std::string removedLine(const SignArgs &args, const std::string &file)
{
    const RemoveMode &mode = args.remove;
    std::string what;
    if (mode.signature)
        what = "the signature";
    else if (mode.certificates && mode.unauthenticated)
        what = "the other certificates and unauthenticated attributes";
    else if (mode.certificates)
        what = "the other certificates";
    else
        what = "the unauthenticated attributes";
    return "Successfully removed " + what + ": " + file;
}

RemoveCounts removeFromFiles(const SignArgs &args, const std::function<void(const FileOutcome &)> &print)
{
    RemoveCounts counts;
    PrivateFolders folders;
    ReplacedFiles replaced;
    for (const std::string &file : args.files) {
        OneFile one{args, file, folders, {}, {}, {}, {}, {}};
        const FileOutcome outcome = one.run();
        if (outcome.signedOk)
            replaced.add(std::move(one.opened.file), one.opened.st.st_size);
        print(outcome);
        counts.warnings += outcome.warnings;
        ++(outcome.signedOk ? counts.removed : counts.errors);
    }
    return counts;
}

} // namespace signtool
