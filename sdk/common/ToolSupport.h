#pragma once

// Shared plumbing of the stand-in SDK console tools (signtool.exe and
// pvk2pfx.exe): OpenSSL ownership and error text, file reading, certificate
// facts and PATH look-ups. Files are written through the safe-file layer
// that the window shares (platform/safefile). (signtool.exe's
// children run in its own pool, see signtool/ProcessPool.h.)
// Nothing here depends on Qt so the tools stay small and start fast.

#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include "OpenSslPtr.h"
#include "safefile/SafeWrite.h"

#include <sys/types.h>

#include <ctime>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sdktool {

// Loads the "default" and "legacy" providers. Old PFX files (RC2/3DES) and
// encrypted PVK files (RC4) need the legacy one; without it only those fail,
// so a missing legacy provider is reported through the result, not fatal.
// Loading costs a few milliseconds; parsePkcs12 does it only for a file that
// fails without it.
bool loadProviders();

// The newest OpenSSL error reason as one short line ("" when the queue is
// empty); clears the queue.
std::string takeOpensslError();

// A switch on the command line: "/name" or "-name", letter case ignored, as
// the Windows tools accept them.
bool isSwitch(const std::string &arg, const char *name);

// Reads a regular file (after links). Anything else is refused with the
// reason in `error` ("it is a folder", "it is a FIFO (named pipe), not a
// regular file", ...): a FIFO or a device would keep the tool waiting. So is
// a file of more than `maxBytes` ("it is larger than 1 MiB"), by the size of
// the opened file before any of it is read.
bool readWholeFile(const std::string &path, std::string &data, std::string &error,
                   off_t maxBytes = std::numeric_limits<off_t>::max());

// "1 MiB", "64 KiB" or "1000 bytes": a bound on a file's size in messages.
std::string sizeText(off_t bytes);

using safefile::errnoText;

// `text` without blanks, tabs and carriage returns at either end.
std::string trimmed(const std::string &text);
// The lines of a program's output, each trimmed; no empty last line for a
// final line break.
std::vector<std::string> trimmedLines(const std::string &output);

// `size` bytes as hex digits, two a byte, lower case unless `upperCase`.
std::string hexText(const unsigned char *bytes, size_t size, bool upperCase = false);
// `size` random bytes from the kernel as lower-case hex digits: unguessable
// names for temporary files. Empty (errno set) when the kernel has none.
using safefile::randomHex;

// The non-empty parts of `text` between `separator`s ("a//b/" -> a, b).
std::vector<std::string> splitNonEmpty(const std::string &text, char separator);

// Writes all of `data` to `fd`, going on after interruptions and short
// writes; false (errno set) when the descriptor takes no more.
bool writeAll(int fd, const std::string &data);

// Folder part of a path ("." for a bare name), and writing a file so that
// readers see the old or the complete new one: from the safe-file layer
// (safefile/SafeWrite.h), which the window shares.
using safefile::folderOf;
using safefile::WriteResult;
using safefile::writeFileAtomically;

// --- certificate facts -----------------------------------------------------

// The common name of the demo certificate made on each machine
// (quillmark-make-demo-cert); signtool.exe never prefers it to a real one.
inline constexpr const char *kDemoCommonName = "Quillmark Demo Code Signing";

std::string nameText(const X509_NAME *name);     // "CN=..., O=..." one line
std::string timeText(const ASN1_TIME *time);     // "Dec  7 07:39:44 2029 GMT"
std::optional<time_t> timeOf(const ASN1_TIME *time);
std::string sha1Thumbprint(X509 *cert);          // upper-case hex
std::string certificatePem(X509 *cert);          // "" when it cannot be written

// The certificate may sign code: no extended key usage (unrestricted) or one
// that lists codeSigning or anyExtendedKeyUsage; a key usage, when present,
// must allow digitalSignature.
bool isCodeSigningUsable(X509 *cert);

// now within [notBefore, notAfter]
bool isValidAt(X509 *cert, time_t now);

struct Pkcs12Contents {
    KeyPtr key;
    CertPtr cert;
    std::vector<CertPtr> others; // the file's other certificates (its chain), in its order
};
enum class Pkcs12Status { Ok, NotPkcs12, WrongPassword, NoKeyOrCert };
// Reads the bytes of a PKCS#12 file (the caller reads them, so that only a
// regular file is ever read); an empty password also tries "no password".
Pkcs12Status parsePkcs12(const std::string &data, const std::string &password, Pkcs12Contents &out,
                         std::string &detail);

// A time-out in whole seconds from the environment variable `name` (1 to
// 3600), else `fallback`: tests shorten the tools' waits this way.
int secondsFromEnvironment(const char *name, int fallback);

// Locates an executable on PATH; empty when not found.
std::string findOnPath(const std::string &name);

// Folder that holds the running executable, with a trailing "/".
std::string ownFolder();

// Gives a new certificate a random, positive 128-bit serial number; false
// when the random generator fails.
bool setRandomSerialNumber(X509 *cert);

// Adds an X.509 v3 extension given in OpenSSL's configuration syntax
// (e.g. "critical,CA:FALSE") to a self-signed certificate.
bool addCertificateExtension(X509 *cert, int nid, const char *value);

} // namespace sdktool
