// Stand-in for the SDK's signtool.exe: Authenticode-signs files through
// osslsigncode (2.9 or later) and verifies them. See SignArgs.h for the
// command line, CertStore.h for the choice of certificate (a PFX file, the
// store folder or a PKCS#11 token), Signer.h for the steps of one file,
// SafeReplace.h for how the signed copy takes the file's place, SignRun.h
// for the run over the files and Verifier.h for "verify /pa".
//
// Each file is signed into a private temporary folder beside it and the
// signed copy is renamed over the original only when it was checked to be
// complete and to carry the new signature, so a failure leaves the original
// byte for byte as it was. The original's permissions (less set-id bits) and,
// where allowed, owner carry over. A symbolic link of the user's own or of
// root is followed and its target signed. Read-only files are refused.
//
// Several files are signed at a time (a pool of osslsigncode children, /mt N
// of them, see ProcessPool.h), but each file's lines are printed together
// and in the order of the command line, as if they had been signed one after
// another.
//
// Secrets never go on osslsigncode's command line, where other users could
// read them from /proc: the PFX password or the token PIN (asked once per
// run through pinentry) comes through a pipe on descriptor 3
// ("-readpass /dev/fd/3"). Every wait has a bound: time-stamp requests
// ($QUILLMARK_TIMESTAMP_TIMEOUT), the PIN dialog, each PKCS#11 module
// ($QUILLMARK_PKCS11_TIMEOUT, see ModuleDeadline.h) and verifications.
//
// Output: one line per file on standard output ("Successfully signed:
// PATH", control characters of a name escaped: safefile/ShownText.h); errors ("SignTool Error: ...") and warnings on standard error. With
// /v also the certificate used for each file and the counts of files signed,
// warnings and errors; without it the success count when every file was
// signed, else the error count; with /q errors only. Exit code 0 only when
// every file was signed (or verified), 1 otherwise.

#include "CatalogCommand.h"
#include "CertStore.h"
#include "DigestSteps.h"
#include "FilePatterns.h"
#include "ModuleDeadline.h"
#include "Pkcs7Files.h"
#include "ProcessPool.h"
#include "Remover.h"
#include "SafeReplace.h"
#include "SignArgs.h"
#include "SignRun.h"
#include "Signer.h"
#include "Verifier.h"
#include "ToolSupport.h"
#include "safefile/ReadLease.h"
#include "safefile/NoCoreDump.h"
#include "safefile/SecretBuffer.h"
#include "safefile/SecretChannel.h"
#include "safefile/ShownText.h"
#include "safefile/TrustedProgram.h"

#include <csignal>
#include <cstdio>
#include <ctime>
#include <unistd.h>

using namespace sdktool;
using namespace signtool;

namespace {

// Each line is one line: a file name (or any text from outside) that holds
// a line break or an escape sequence is shown escaped, so that it can
// neither forge a line ("Successfully signed: ...") nor move the cursor.
void outLine(const std::string &line)
{
    std::fflush(stderr);
    std::fputs(safefile::shownText(line).c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void errLine(const std::string &line)
{
    std::fflush(stdout);
    std::fputs(safefile::shownText(line).c_str(), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

// A warning of several lines (each within the 80 columns of a console),
// each line shown escaped on its own.
void errLines(const std::string &text)
{
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        errLine(text.substr(start, end - start));
    errLine(text.substr(start));
}

// The usage text, lines of its own.
void usageTo(FILE *stream)
{
    std::fflush(stream == stdout ? stderr : stdout);
    std::fputs(usageText(), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}

// How long the password's descriptor may take to reach its end: the
// caller fills it before the tool starts.
constexpr int kSecretWaitSeconds = 30;

// /q: errors only.
bool g_quiet = false;

bool isError(const std::string &line)
{
    return line.rfind("SignTool Error: ", 0) == 0;
}

void printLines(const std::vector<OutputLine> &lines)
{
    for (const auto &line : lines) {
        if (g_quiet && !isError(line.text))
            continue;
        if (line.stream == OutputLine::Err)
            errLine(line.text);
        else
            outLine(line.text);
    }
}

void writeText(int fd, const char *text, size_t size)
{
    [[maybe_unused]] const ssize_t n = write(fd, text, size);
}

// A PKCS#11 module that never returns ends the run from the watchdog's
// thread, while the main thread is stuck in the module and may hold any lock
// (stdio's, malloc's): only write(2) here.
[[noreturn]] void moduleDidNotAnswer(const std::string &message)
{
    static const char prefix[] = "SignTool Error: ";
    static const char summary[] = "Number of errors: 1\n";
    writeText(2, prefix, sizeof prefix - 1);
    writeText(2, message.data(), message.size());
    writeText(2, "\n", 1);
    if (!g_quiet)
        writeText(1, summary, sizeof summary - 1);
    _exit(1);
}

// A Ctrl+C or a kill must not leave osslsigncode running (the children
// would die with the tool anyway); the temporary folders are removed by
// their cleaners once the tool is gone.
void onSignal(int sig)
{
    ProcessPool::killRunning();
    _exit(128 + sig);
}

void installSignalHandlers()
{
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        sigaction(sig, &sa, nullptr);
}

// With /v the three counts; without, the success count when all went
// well, else the error count; with /q nothing.
void printSummary(const SignArgs &args, const char *verb, int done, int warnings, int errors)
{
    if (args.quiet)
        return;
    if (args.verbose || errors == 0)
        outLine(std::string("Number of files successfully ") + verb + ": " + std::to_string(done));
    if (args.verbose)
        outLine("Number of warnings: " + std::to_string(warnings));
    if (args.verbose || errors > 0)
        outLine("Number of errors: " + std::to_string(errors));
}

} // namespace

int main(int argc, char **argv)
{
    // Before any secret is read: a PIN or password must not end up in a core
    // file, nor be readable by a debugger of the same user.
    safefile::forbidCoreDumps();
    // Before any thread: a large file's read lease is given up on a thread
    // of its own when another program opens the file for writing.
    safefile::ReadLease::keepBreaksOffOtherThreads();

    std::vector<std::string> words(argv + 1, argv + argc);
    ParseResult parsed = parseSignArgs(words);
    for (std::string &word : words)
        safefile::wipeSecret(word); // /p's copy among them
    if (!parsed.args) {
        errLine("SignTool Error: " + parsed.error);
        usageTo(stderr);
        return 1;
    }
    SignArgs &parsedArgs = *parsed.args;
    if (parsedArgs.passwordFd && !parsedArgs.showUsage) {
        safefile::SecretBuffer secret;
        if (const std::string problem = safefile::readSecret(*parsedArgs.passwordFd, kSecretWaitSeconds, secret);
            !problem.empty()) {
            errLine("SignTool Error: The PFX password (/pfd) cannot be read: " + problem + ".");
            return 1;
        }
        parsedArgs.password.emplace().swap(secret.bytes());
    }
    std::string noPassword;
    const safefile::SecretWiper passwordWiper(parsedArgs.password ? *parsedArgs.password : noPassword);
    if (parsedArgs.showUsage) {
        usageTo(stdout);
        return 0;
    }
    SignArgs expandedArgs = parsedArgs;
    const safefile::SecretWiper copyWiper(expandedArgs.password ? *expandedArgs.password : noPassword);
    const ExpandedFiles expanded = expandFilePatterns(expandedArgs.files);
    expandedArgs.files = expanded.files;
    const SignArgs &args = expandedArgs;
    g_quiet = args.quiet;
    // A pattern without a match is an error of its own; the other files
    // are still signed or verified.
    const int unmatched = static_cast<int>(expanded.unmatched.size());
    for (const std::string &pattern : expanded.unmatched)
        errLine("SignTool Error: File not found: " + pattern);

    installSignalHandlers();
    ModuleDeadline::onExpiry(moduleDidNotAnswer);

    // catdb copies catalogs in and out of the database: no osslsigncode.
    if (args.verb == Verb::CatDb) {
        const CatdbCounts counts = catdbFiles(args, printLines);
        printSummary(args, args.removeCatalogs ? "Removed" : "Added", counts.done, 0, counts.errors + unmatched);
        return counts.errors + unmatched == 0 ? 0 : 1;
    }

    const std::string osslsigncode = findOnPath("osslsigncode");
    if (osslsigncode.empty()) {
        errLine("SignTool Error: osslsigncode was not found on PATH; install the osslsigncode package.");
        return 1;
    }
    // Running as root, osslsigncode runs with root's rights: only one that
    // no other user can have placed or changed.
    if (const std::string refusal = safefile::programRefusalForRoot(osslsigncode); !refusal.empty()) {
        errLine("SignTool Error: osslsigncode is not used: " + refusal + ".");
        return 1;
    }

    if (args.verb == Verb::Verify) {
        // The cleaner of temporary folders forks off before a PKCS#11
        // module may start threads of its own.
        PrivateFolder::startCleaner();
        const VerifyCounts counts = verifyFiles(args, printLines);
        printSummary(args, "Verified", counts.verified, counts.warnings, counts.errors + unmatched);
        return counts.errors + unmatched == 0 ? 0 : 1;
    }
    if (args.verb == Verb::Timestamp && args.stampPkcs7) {
        int warnings = 0;
        for (const std::string &warning : digestWarnings(args)) {
            if (!args.quiet)
                errLines(warning);
            ++warnings;
        }
        const RunCounts counts =
            stampPkcs7Files(args, [](const FileOutcome &outcome) { printLines(outcome.lines); });
        printSummary(args, "Timestamped", counts.signedFiles, warnings + counts.warnings, counts.errors + unmatched);
        return counts.errors + unmatched == 0 ? 0 : 1;
    }
    if (args.verb == Verb::Remove) {
        PrivateFolder::startCleaner();
        const RemoveCounts counts
            = removeFromFiles(args, [](const FileOutcome &outcome) { printLines(outcome.lines); });
        printSummary(args, "Removed", counts.removed, counts.warnings, counts.errors + unmatched);
        return counts.errors + unmatched == 0 ? 0 : 1;
    }
    if (args.verb == Verb::Timestamp) {
        PrivateFolder::startCleaner();
        int warnings = 0;
        for (const std::string &warning : digestWarnings(args)) {
            if (!args.quiet)
                errLines(warning);
            ++warnings;
        }
        const SigningIdentity none; // the files keep their signatures and signers
        const Signer stamper(none, args);
        const RunCounts counts = signInOrder(stamper, args.files, args.jobs, false,
                                             [](const FileOutcome &outcome) { printLines(outcome.lines); });
        printSummary(args, "Timestamped", counts.signedFiles, warnings + counts.warnings, counts.errors + unmatched);
        return counts.errors + unmatched == 0 ? 0 : 1;
    }
    std::string problem = descriptionProblem(args);
    if (problem.empty())
        problem = storeNameProblem(args, storeFolder());
    if (!problem.empty()) {
        errLine("SignTool Error: " + problem);
        if (!args.quiet)
            outLine("Number of errors: " + std::to_string(1 + unmatched));
        return 1;
    }

    // The cleaner of temporary folders forks off before a PKCS#11 module
    // may start threads of its own.
    PrivateFolder::startCleaner();

    if (args.digestInFolder) {
        // The signatures and their certificates come from the folder: no
        // certificate is chosen, no key used.
        int warnings = 0;
        for (const std::string &warning : digestWarnings(args)) {
            if (!args.quiet)
                errLines(warning);
            ++warnings;
        }
        const SigningIdentity none;
        const Signer ingester(none, args);
        const RunCounts counts = signInOrder(ingester, args.files, args.jobs, false,
                                             [](const FileOutcome &outcome) { printLines(outcome.lines); });
        printSummary(args, "Signed", counts.signedFiles, warnings + counts.warnings, counts.errors + unmatched);
        return counts.errors + unmatched == 0 ? 0 : 1;
    }

    // /dg uses the certificate alone, which may come without its key.
    IdentityChoice choice = args.digestOutFolder ? chooseDigestCertificate(args) : chooseIdentity(args);
    const safefile::SecretWiper pinWiper(choice.identity ? choice.identity->password : noPassword);
    if (args.verbose) {
        for (const auto &note : choice.notes)
            outLine(note);
        if (args.debug || !choice.identity) {
            for (const auto &note : choice.moduleNotes)
                outLine(note);
        }
    }
    if (!choice.identity) {
        errLine("SignTool Error: " + choice.error);
        if (!args.verbose) {
            for (const auto &refused : choice.refusedModules)
                errLine(refused);
        }
        if (args.verbose) {
            outLine("Number of files successfully Signed: 0");
            outLine("Number of warnings: 0");
        }
        if (!args.quiet)
            outLine("Number of errors: " + std::to_string(1 + unmatched));
        return 1;
    }
    const SigningIdentity &identity = *choice.identity;

    int warnings = 0;
    if (args.jobs > ProcessPool::kMaxSize) {
        if (!args.quiet)
            errLine("SignTool Warning: /mt " + std::to_string(args.jobs) + " was lowered to "
                    + std::to_string(ProcessPool::kMaxSize) + ", the most files signed at a time.");
        ++warnings;
    }
    for (const std::string &warning : digestWarnings(args)) {
        if (!args.quiet)
            errLines(warning);
        ++warnings;
    }
    const auto until = timeOf(X509_get0_notAfter(identity.cert.get()));
    if (until && *until - std::time(nullptr) < 30L * 24 * 3600) {
        if (!args.quiet)
            errLine("SignTool Warning: The signing certificate expires on "
                + timeText(X509_get0_notAfter(identity.cert.get())) + ".");
        ++warnings;
    }

    if (args.digestOutFolder || args.signDigests || args.pkcs7Folder) {
        const auto print = [](const FileOutcome &outcome) { printLines(outcome.lines); };
        const RunCounts counts = args.digestOutFolder ? generateDigests(args, identity, print)
                                 : args.signDigests   ? signDigestFiles(args, identity, print)
                                                      : signPkcs7Files(args, identity, print);
        printSummary(args, args.digestOutFolder ? "Prepared" : "Signed", counts.signedFiles,
                     warnings + counts.warnings, counts.errors + unmatched);
        return counts.errors + unmatched == 0 ? 0 : 1;
    }

    // A token signs one file at a time: it is one device, and several
    // processes logging in to it at once fail on some tokens (osslsigncode's
    // children; this process's own signatures take turns in TokenKey). Time
    // stamps (the long waits) still run side by side.
    const Signer signer(identity, args);
    const RunCounts counts = signInOrder(signer, args.files, args.jobs, identity.token.has_value(),
                                         [](const FileOutcome &outcome) { printLines(outcome.lines); });
    printSummary(args, "Signed", counts.signedFiles, warnings + counts.warnings, counts.errors + unmatched);
    return counts.errors + unmatched == 0 ? 0 : 1;
}
