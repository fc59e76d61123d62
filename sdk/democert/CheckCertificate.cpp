// Set-up helper: checks that a PFX file can serve signtool.exe's certificate
// store, and hands on exactly the bytes it checked.
//
//   quillmark-check-certificate FILE.pfx > COPY
//
// The store takes PKCS#12 files without a password that hold a certificate
// with its private key, valid now and usable for code signing. On success
// the file's bytes go to standard output (the caller installs this copy, so
// a file changed after the check changes nothing) and a line naming the
// certificate to standard error; otherwise only the reason, exit code 1.

#include "ToolSupport.h"

#include "safefile/Descriptor.h"
#include "safefile/PathWalk.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

using namespace sdktool;

namespace {

// Far above any certificate chain with its key.
constexpr size_t kMaxPfxSize = 16 * 1024 * 1024;

int refuse(const std::string &message)
{
    std::fprintf(stderr, "%s\n", message.c_str());
    return 1;
}

std::string sizeRefusal(const std::string &path)
{
    return path + " is too large to be a PFX file (more than " + std::to_string(kMaxPfxSize / (1024 * 1024))
        + " MB).";
}

// Reads the file to check. Root runs this on a name an administrator typed,
// perhaps in a folder other users write to: the path is walked with the
// safe-file link rule, so another user's link never makes root read (and
// install, readable by the groups) a file that user could not read. The
// size is judged on the opened file before a byte is read, and the read
// stops past the bound all the same, for a file that grows meanwhile.
// Returns "" or the reason, a sentence naming `path`.
std::string readCertificateFile(const std::string &path, std::string &data)
{
    const std::string unreadable = path + " cannot be read: ";
    safefile::Place place;
    safefile::WalkProblem problem;
    if (safefile::walkToPlace(path, safefile::FinalLink::Follow, place, &problem) != 0)
        return unreadable + safefile::walkProblemText(problem) + ".";
    if (!place.exists)
        return unreadable + errnoText(ENOENT) + ".";
    // Only a regular file is opened at all: a FIFO or a device would keep
    // the set-up waiting.
    if (!S_ISREG(place.info.st_mode))
        return unreadable + "it is not a regular file.";
    safefile::Descriptor file(
        ::openat(place.folder.get(), place.name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat st {};
    if (!file)
        return unreadable + (errno == ELOOP ? "it was replaced while it was being opened" : errnoText(errno)) + ".";
    if (::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode) || !safefile::sameFile(st, place.info))
        return unreadable + "it was replaced while it was being opened.";
    if (static_cast<unsigned long long>(st.st_size) > kMaxPfxSize)
        return sizeRefusal(path);
    data.clear();
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(file.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return unreadable + errnoText(errno) + ".";
        if (n == 0)
            return std::string();
        data.append(buffer, static_cast<size_t>(n));
        if (data.size() > kMaxPfxSize)
            return sizeRefusal(path);
    }
}

// Why `data` (read from `path`) cannot go into the store; "" when it can.
std::string storeProblem(const std::string &path, const std::string &data, Pkcs12Contents &contents)
{
    std::string detail;
    switch (parsePkcs12(data, std::string(), contents, detail)) {
    case Pkcs12Status::Ok:
        break;
    case Pkcs12Status::NotPkcs12:
        return path + " is not a PFX (PKCS#12) file" + (detail.empty() ? "" : " (" + detail + ")") + ".";
    case Pkcs12Status::WrongPassword:
        return path + " has a password; the certificate store takes PFX files without one. Sign with "
                      "\"Use Personal Information Exchange (PFX) File\" and its password instead, or "
                      "export it again without a password.";
    case Pkcs12Status::NoKeyOrCert:
        return path + " holds no certificate with its private key.";
    }
    X509 *cert = contents.cert.get();
    if (!isValidAt(cert, std::time(nullptr)))
        return "The certificate in " + path + " is not valid now (valid from " + timeText(X509_get0_notBefore(cert))
               + " to " + timeText(X509_get0_notAfter(cert)) + ").";
    if (!isCodeSigningUsable(cert))
        return "The certificate in " + path + " is not meant for code signing.";
    return std::string();
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2)
        return refuse("usage: quillmark-check-certificate FILE.pfx");
    const std::string path = argv[1];
    std::string data;
    if (const std::string problem = readCertificateFile(path, data); !problem.empty())
        return refuse(problem);
    Pkcs12Contents contents;
    if (const std::string problem = storeProblem(path, data, contents); !problem.empty())
        return refuse(problem);
    if (!writeAll(STDOUT_FILENO, data))
        return refuse("cannot hand on the certificate: " + errnoText(errno) + ".");
    std::fprintf(stderr, "%s, valid until %s\n", nameText(X509_get_subject_name(contents.cert.get())).c_str(),
                 timeText(X509_get0_notAfter(contents.cert.get())).c_str());
    return 0;
}
