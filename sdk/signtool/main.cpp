// Stand-in for the SDK's signtool.exe: Authenticode-signs files (SHA-256)
// through osslsigncode. See SignArgs.h for the command line.
//
// Certificate choice:
//   /f PFX [/p PASSWORD]  the certificate and key of that PKCS#12 file;
//   /a                    the best one of the certificate store: among the
//                         certificates valid now, usable for code signing and
//                         with their private key, the one that stays valid
//                         longest (a tie goes to the file name sorted first);
//   neither               the store's only usable certificate, as the Windows
//                         tool does when it finds exactly one.
// The store is a folder of PKCS#12 files (*.pfx, *.p12) without a password:
// $QUILLMARK_CERT_STORE when set, else "certstore" beside this program.
// "Usable for code signing": no extended key usage at all, or one that lists
// codeSigning (or anyExtendedKeyUsage); a key usage, if present, must allow
// digital signatures.
//
// Each file is signed into a temporary file beside it and the signed copy is
// renamed over the original only when osslsigncode succeeded, so a failure
// leaves the original byte for byte as it was. The original's
// permissions (and, where allowed, owner) carry over. A symbolic link is
// followed and its target signed. Read-only files are refused.
//
// The password goes to osslsigncode through a pipe on descriptor 3
// ("-readpass /dev/fd/3"), never on its command line, where other users could
// read it from /proc. Only options that osslsigncode 2.5 (Debian 12) knows are
// used.
//
// Output: one line per file on standard output ("Successfully signed: PATH");
// errors ("SignTool Error: ...") on standard error. With /v also the
// certificate used for each file and the counts of files signed, warnings and
// errors; without it the error count when there were errors. Exit code 0 only
// when every file was signed, 1 otherwise.

#include "SignArgs.h"
#include "ToolSupport.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace sdktool;

namespace {

void outLine(const std::string &line)
{
    std::fflush(stderr);
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void errLine(const std::string &line)
{
    std::fflush(stdout);
    std::fputs(line.c_str(), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

// --- cleanup on a signal ---------------------------------------------------
// The path of the temporary file in use, so a Ctrl+C or a kill
// does not leave a half-signed copy beside the user's file.
char g_tmpFile[PATH_MAX];
volatile sig_atomic_t g_haveTmp = 0;

void onSignal(int sig)
{
    const pid_t child = runningChild;
    if (child > 0) {
        kill(child, SIGKILL);
        int status = 0;
        waitpid(child, &status, 0);
    }
    if (g_haveTmp)
        unlink(g_tmpFile);
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

// --- certificates ------------------------------------------------------------

struct ChosenCert {
    std::string pfxPath;
    std::string password; // empty: none
    CertPtr cert;
};

void printCertificate(X509 *cert)
{
    outLine("The following certificate was selected:");
    outLine("    Issued to: " + nameText(X509_get_subject_name(cert)));
    outLine("    Issued by: " + nameText(X509_get_issuer_name(cert)));
    outLine("    Expires:   " + timeText(X509_get0_notAfter(cert)));
    outLine("    SHA1 hash: " + sha1Thumbprint(cert));
}

std::string storeFolder()
{
    const char *env = std::getenv("QUILLMARK_CERT_STORE");
    if (env && *env)
        return env;
    return ownFolder() + "certstore";
}

bool hasStoreExtension(const std::string &name)
{
    if (name.size() < 4)
        return false;
    const std::string ext = name.substr(name.size() - 4);
    return strcasecmp(ext.c_str(), ".pfx") == 0 || strcasecmp(ext.c_str(), ".p12") == 0;
}

// Picks from the store; `requireSingle` is the no-/a case.
std::optional<ChosenCert> chooseFromStore(bool requireSingle, bool verbose)
{
    const std::string folder = storeFolder();
    std::vector<std::string> names;
    if (DIR *dir = opendir(folder.c_str())) {
        while (const dirent *entry = readdir(dir)) {
            if (hasStoreExtension(entry->d_name))
                names.push_back(entry->d_name);
        }
        closedir(dir);
    } else {
        errLine("SignTool Error: The certificate store " + folder + " cannot be opened: " + errnoText(errno) + ".");
        return std::nullopt;
    }
    std::sort(names.begin(), names.end());

    const time_t now = std::time(nullptr);
    std::vector<ChosenCert> usable;
    for (const auto &name : names) {
        const std::string path = folder + "/" + name;
        Pkcs12Contents contents;
        std::string detail;
        const Pkcs12Status status = openPkcs12(path, std::string(), contents, detail);
        const char *skip = nullptr;
        if (status == Pkcs12Status::WrongPassword)
            skip = "protected by a password";
        else if (status != Pkcs12Status::Ok)
            skip = "no readable certificate with its private key";
        else if (!isValidAt(contents.cert.get(), now))
            skip = "not valid now";
        else if (!isCodeSigningUsable(contents.cert.get()))
            skip = "not for code signing";
        if (skip) {
            if (verbose)
                outLine("Passed over " + path + ": " + skip + ".");
            continue;
        }
        usable.push_back(ChosenCert{path, std::string(), std::move(contents.cert)});
    }

    if (usable.empty()) {
        errLine("SignTool Error: No certificates were found that met all the given criteria (store: " + folder + ").");
        return std::nullopt;
    }
    if (requireSingle && usable.size() > 1) {
        errLine("SignTool Error: The store " + folder + " holds " + std::to_string(usable.size())
                + " usable certificates; choose with /a (the best one) or /f (a PFX file).");
        return std::nullopt;
    }
    // Stable, so equal expiry keeps the name order.
    std::stable_sort(usable.begin(), usable.end(), [](const ChosenCert &a, const ChosenCert &b) {
        return ASN1_TIME_compare(X509_get0_notAfter(a.cert.get()), X509_get0_notAfter(b.cert.get())) > 0;
    });
    return std::move(usable.front());
}

std::optional<ChosenCert> openPfx(const std::string &path, const std::string &password)
{
    Pkcs12Contents contents;
    std::string detail;
    switch (openPkcs12(path, password, contents, detail)) {
    case Pkcs12Status::Ok:
        break;
    case Pkcs12Status::Unreadable:
        errLine("SignTool Error: The PFX file " + path + " cannot be read: " + detail + ".");
        return std::nullopt;
    case Pkcs12Status::NotPkcs12:
        errLine("SignTool Error: " + path + " is not a readable PFX file" + (detail.empty() ? "" : " (" + detail + ")")
                + ".");
        return std::nullopt;
    case Pkcs12Status::WrongPassword:
        errLine(password.empty() ? "SignTool Error: The PFX file " + path + " needs a password (/p)."
                                 : "SignTool Error: The specified PFX password is not correct.");
        return std::nullopt;
    case Pkcs12Status::NoKeyOrCert:
        errLine("SignTool Error: The PFX file " + path + " holds no certificate with its private key.");
        return std::nullopt;
    }
    X509 *cert = contents.cert.get();
    if (!isValidAt(cert, std::time(nullptr))) {
        errLine("SignTool Error: The certificate in " + path + " is not valid now (valid from "
                + timeText(X509_get0_notBefore(cert)) + " to " + timeText(X509_get0_notAfter(cert)) + ").");
        return std::nullopt;
    }
    if (!isCodeSigningUsable(cert)) {
        errLine("SignTool Error: The certificate in " + path + " is not meant for code signing.");
        return std::nullopt;
    }
    return ChosenCert{path, password, std::move(contents.cert)};
}

// osslsigncode reads one block of at most 4095 bytes from the password file,
// drops trailing line breaks and a leading UTF-8 byte order mark.
bool passwordSurvivesReadpass(const std::string &password)
{
    if (password.size() > 4095)
        return false;
    if (!password.empty() && (password.back() == '\n' || password.back() == '\r'))
        return false;
    return password.compare(0, 3, "\xEF\xBB\xBF") != 0;
}

// --- signing -----------------------------------------------------------------

// osslsigncode's output without its noise (status words, OpenSSL's error
// queue dump), as one line.
std::string signerMessage(const std::string &output)
{
    std::string message;
    size_t start = 0;
    while (start < output.size()) {
        size_t end = output.find('\n', start);
        if (end == std::string::npos)
            end = output.size();
        std::string line = output.substr(start, end - start);
        start = end + 1;
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
            line.pop_back();
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

// osslsigncode closes its output without syncing it; renamed over the
// original before it reaches the disk, a crash could leave the user's file
// empty or cut short.
std::string flushToDisk(const std::string &path)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errnoText(errno);
    const bool synced = fsync(fd) == 0;
    const int syncErrno = errno;
    close(fd);
    return synced ? std::string() : errnoText(syncErrno);
}

struct SignJob {
    const signtool::SignArgs &args;
    const ChosenCert &cert;
};

// Returns the error text, empty on success.
std::string signOne(const SignJob &job, const std::string &file)
{
    char resolved[PATH_MAX];
    if (!realpath(file.c_str(), resolved)) {
        if (errno == ENOENT)
            return "File not found: " + file;
        return "Cannot open " + file + ": " + errnoText(errno);
    }
    const std::string target = resolved;
    struct stat st {};
    if (stat(target.c_str(), &st) != 0)
        return "Cannot open " + file + ": " + errnoText(errno);
    if (!S_ISREG(st.st_mode))
        return file + " is not a file.";
    if (access(target.c_str(), R_OK | W_OK) != 0)
        return "Cannot sign " + file + ": " + (errno == EACCES ? std::string("the file is read-only or not readable")
                                                               : errnoText(errno))
               + ".";
    // access() lets root write anything, but a file with no write permission
    // for anyone has been marked read-only on purpose: root is refused too.
    if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0)
        return "Cannot sign " + file + ": the file is read-only.";

    // osslsigncode will not write over an existing file, so the signed copy
    // gets a fresh unguessable name beside the original (same file system,
    // so the final rename is atomic); should the name exist after all,
    // osslsigncode fails and nothing is lost.
    unsigned char random[12];
    if (getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random))
        return "Cannot make a temporary file name: " + errnoText(errno) + ".";
    static const char hex[] = "0123456789abcdef";
    std::string suffix;
    for (unsigned char byte : random) {
        suffix += hex[byte >> 4];
        suffix += hex[byte & 15];
    }
    const std::string tmpFile = folderOf(target) + "/.signtool-" + suffix + ".tmp";
    if (tmpFile.size() >= sizeof g_tmpFile)
        return "The path of " + file + " is too long.";
    std::strcpy(g_tmpFile, tmpFile.c_str());
    g_haveTmp = 1;

    std::vector<std::string> argv{"osslsigncode", "sign", "-pkcs12", job.cert.pfxPath};
    if (!job.cert.password.empty()) {
        argv.push_back("-readpass");
        argv.push_back("/dev/fd/3");
    }
    argv.insert(argv.end(), {"-h", signtool::digestName(job.args.fileDigest)});
    if (job.args.appendSignature)
        argv.push_back("-nest");
    if (job.args.description && !job.args.description->empty())
        argv.insert(argv.end(), {"-n", *job.args.description});
    if (job.args.descriptionUrl && !job.args.descriptionUrl->empty())
        argv.insert(argv.end(), {"-i", *job.args.descriptionUrl});
    if (job.args.timestampUrl)
        argv.insert(argv.end(), {"-t", *job.args.timestampUrl});
    argv.insert(argv.end(), {"-in", target, "-out", tmpFile});

    const ChildResult run = runChild(argv, job.cert.password.empty() ? nullptr : &job.cert.password);

    std::string error;
    struct stat signedStat {};
    if (!run.started) {
        error = "Cannot start osslsigncode: " + errnoText(run.startErrno) + ".";
    } else if (run.exitCode != 0 || stat(tmpFile.c_str(), &signedStat) != 0 || signedStat.st_size == 0) {
        error = "Signing " + file + " failed: " + signerMessage(run.output);
    } else if (const std::string flushError = flushToDisk(tmpFile); !flushError.empty()) {
        error = "Cannot write the signed copy of " + file + ": " + flushError + ".";
    } else {
        chmod(tmpFile.c_str(), st.st_mode & 07777);
        if (signedStat.st_uid != st.st_uid || signedStat.st_gid != st.st_gid) {
            // Only root may give a file away; anyone else keeps their own.
            if (chown(tmpFile.c_str(), st.st_uid, st.st_gid) != 0) {
            }
        }
        if (rename(tmpFile.c_str(), target.c_str()) != 0)
            error = "Cannot replace " + file + " with its signed copy: " + errnoText(errno) + ".";
    }
    if (!error.empty())
        unlink(tmpFile.c_str());
    g_haveTmp = 0;
    return error;
}

} // namespace

int main(int argc, char **argv)
{
    std::vector<std::string> words(argv + 1, argv + argc);
    const signtool::ParseResult parsed = signtool::parseSignArgs(words);
    if (!parsed.args) {
        errLine("SignTool Error: " + parsed.error);
        errLine(signtool::usageText());
        return 1;
    }
    const signtool::SignArgs &args = *parsed.args;
    if (args.showUsage) {
        outLine(signtool::usageText());
        return 0;
    }
    if (args.verb != signtool::Verb::Sign) {
        errLine("SignTool Error: verify is not available in this build.");
        return 1;
    }

    installSignalHandlers();

    if (findOnPath("osslsigncode").empty()) {
        errLine("SignTool Error: osslsigncode was not found on PATH; install the osslsigncode package.");
        return 1;
    }

    std::optional<ChosenCert> cert = args.pfxFile ? openPfx(*args.pfxFile, args.password.value_or(std::string()))
                                                   : chooseFromStore(!args.autoSelect, args.verbose);
    if (cert && !passwordSurvivesReadpass(cert->password)) {
        errLine("SignTool Error: This PFX password cannot be handed to osslsigncode (it is longer than 4095 bytes, "
                "ends in a line break or starts with a byte order mark).");
        cert.reset();
    }
    if (!cert) {
        if (args.verbose) {
            outLine("Number of files successfully Signed: 0");
            outLine("Number of warnings: 0");
        }
        outLine("Number of errors: 1");
        return 1;
    }

    int warnings = 0;
    const auto until = timeOf(X509_get0_notAfter(cert->cert.get()));
    if (until && *until - std::time(nullptr) < 30L * 24 * 3600) {
        errLine("SignTool Warning: The signing certificate expires on " + timeText(X509_get0_notAfter(cert->cert.get()))
                + ".");
        ++warnings;
    }

    const SignJob job{args, *cert};
    int signedCount = 0;
    int errors = 0;
    for (const auto &file : args.files) {
        if (args.verbose) {
            outLine("Signing: " + file);
            printCertificate(cert->cert.get());
        }
        const std::string error = signOne(job, file);
        if (error.empty()) {
            ++signedCount;
            outLine("Successfully signed: " + file);
        } else {
            ++errors;
            errLine("SignTool Error: " + error);
        }
        if (args.verbose)
            outLine("");
    }

    if (args.verbose) {
        outLine("Number of files successfully Signed: " + std::to_string(signedCount));
        outLine("Number of warnings: " + std::to_string(warnings));
        outLine("Number of errors: " + std::to_string(errors));
    } else if (errors > 0) {
        outLine("Number of errors: " + std::to_string(errors));
    }
    return errors == 0 ? 0 : 1;
}
