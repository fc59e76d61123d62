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

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <string>
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
    std::string error;
    if (!readWholeFile(path, data, error))
        return refuse(path + " cannot be read: " + error + ".");
    if (data.size() > kMaxPfxSize)
        return refuse(path + " is too large to be a PFX file.");
    Pkcs12Contents contents;
    if (const std::string problem = storeProblem(path, data, contents); !problem.empty())
        return refuse(problem);
    if (!writeAll(STDOUT_FILENO, data))
        return refuse("cannot hand on the certificate: " + errnoText(errno) + ".");
    std::fprintf(stderr, "%s, valid until %s\n", nameText(X509_get_subject_name(contents.cert.get())).c_str(),
                 timeText(X509_get0_notAfter(contents.cert.get())).c_str());
    return 0;
}
