#pragma once

// Test data made at run time, so no key or certificate ever sits in the
// sources: small PE files, self-signed certificates with their keys, and the
// files the signing tools read (PKCS#12, PVK, SPC). Everything is written with
// OpenSSL's C API into a folder the test chooses (usually a QTemporaryDir).
// Also helpers to run a program and to check a signature with an independent
// tool (osslsigncode, openssl).
//
// Typical use:
//
//   QTemporaryDir dir;
//   const auto cert = testdata::makeCertificate();            // valid, codeSigning
//   testdata::writePkcs12(dir.filePath("me.pfx"), cert, "secret");
//   testdata::writePeFile(dir.filePath("app.exe"));
//   auto run = testdata::runProgram(testdata::sdkToolPath("signtool.exe"),
//                                   {"sign", "/f", dir.filePath("me.pfx"), "/p", "secret",
//                                    dir.filePath("app.exe")});
//   QVERIFY(testdata::verifySignature(dir.filePath("app.exe"), caFile).ok());

#include <QByteArray>
#include <QDateTime>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

typedef struct evp_pkey_st EVP_PKEY;
typedef struct x509_st X509;

namespace testdata {

// A private key and its self-signed certificate. Copies share the objects.
struct KeyAndCert {
    std::shared_ptr<EVP_PKEY> key;
    std::shared_ptr<X509> cert;
    bool isNull() const { return !key || !cert; }
    QString subject() const;   // one line, "CN=..., O=..."
    QDateTime notAfter() const;
};

enum class Usage {
    CodeSigning,     // extended key usage codeSigning
    ServerAuthOnly,  // extended key usage serverAuth only: must not sign code
    Unrestricted,    // no extended key usage extension at all
    TimeStamping,    // critical extended key usage timeStamping: a time-stamp server's
};

struct CertOptions {
    QString commonName = QStringLiteral("Quillmark Test Code Signing");
    // Invalid QDateTime means: notBefore one hour ago, notAfter in 365 days.
    // Both may lie in the past, for an expired certificate.
    QDateTime notBefore;
    QDateTime notAfter;
    Usage usage = Usage::CodeSigning;
    int rsaBits = 2048;
    QString subjectAltName = QString(); // e.g. "IP:127.0.0.1"; none when empty
};

// A fresh RSA-2048 key and an X.509 v3 certificate "CN=name" for it, not
// yet signed: issued by `issuer` (by itself when null), valid from `from`
// until `until` seconds from now. The caller adds its extensions, then
// signIssued. A null pair when it cannot be made.
KeyAndCert unsignedCertificate(const KeyAndCert *issuer, const QString &name, long from, long until);
// `pair` signed with SHA-256 by the issuer's key (its own when null); a null
// pair when `extensionsAdded` is false or the signature fails.
KeyAndCert signIssued(const KeyAndCert &pair, const KeyAndCert *issuer, bool extensionsAdded);

// A fresh RSA key and a self-signed X.509 v3 certificate (SHA-256). Returns a
// null KeyAndCert (and a failed QTest check is up to the caller) on error.
KeyAndCert makeCertificate(const CertOptions &options = {});

// PKCS#12 with key and certificate. An empty password writes a file without
// any password (no encryption, no MAC), the form of the signtool store;
// otherwise AES-256 with a SHA-256 MAC.
bool writePkcs12(const QString &path, const KeyAndCert &pair, const QString &password = {});

// Microsoft PVK private key file: plain when the password is empty, otherwise
// encrypted (RC4-128, through a private OpenSSL context with the legacy
// provider, so the test process's default context stays modern-only).
bool writePvk(const QString &path, const KeyAndCert &pair, const QString &password = {});

enum class Encoding { Der, Pem };
// SPC file: a degenerate PKCS#7 SignedData holding the certificate, followed
// by `extraCerts` (for example an unrelated certificate, to check that the
// tool picks the one matching the key).
bool writeSpc(const QString &path, const KeyAndCert &pair, Encoding encoding = Encoding::Der,
              const QList<KeyAndCert> &extraCerts = {});

// The private key as unencrypted PKCS#8 PEM ("BEGIN PRIVATE KEY").
bool writePrivateKeyPem(const QString &path, const KeyAndCert &pair);

// The certificate alone as PEM, for "osslsigncode verify -CAfile".
bool writeCertificatePem(const QString &path, const KeyAndCert &pair);

// A small valid PE executable (1024 bytes: headers and one code section)
// that osslsigncode signs and verifies, 32-bit (PE32) or 64-bit (PE32+).
// `variant` goes into the code section so files can differ.
enum class PeKind { Pe32, Pe32Plus };
QByteArray peFileBytes(quint32 variant = 0, PeKind kind = PeKind::Pe32);
bool writePeFile(const QString &path, quint32 variant = 0);
// The same with its one section grown to make the file about `megabytes`
// MB, written in blocks (the benchmark's files reach 1 GB).
bool writeLargePeFile(const QString &path, quint32 variant, qint64 megabytes);

// Little-endian fields, for tests that build or damage such files.
void putLe16(QByteArray &bytes, int at, quint16 value);
void putLe32(QByteArray &bytes, int at, quint32 value);
void putLe64(QByteArray &bytes, int at, quint64 value);
quint32 le32(const QByteArray &bytes, int at);

QByteArray fileBytes(const QString &path); // empty when unreadable
bool writeBytes(const QString &path, const QByteArray &bytes);

// Removes everything inside the folder, names that are not UTF-8 included:
// QTemporaryDir cannot see those and would leave the folder behind.
void removeFolderContents(const QString &folder);

// Reads a PKCS#12 file through OpenSSL's default context (no legacy
// provider): the key and certificate, or nullopt.
std::optional<KeyAndCert> readPkcs12(const QString &path, const QString &password);
// Same key (public parts compare equal)?
bool sameKey(const KeyAndCert &a, const KeyAndCert &b);

struct RunResult {
    bool started = false;
    bool timedOut = false;
    int exitCode = -1;   // -1 when it did not end normally
    QString output;      // standard output and standard error, merged
    bool ok() const { return started && !timedOut && exitCode == 0; }
};

// Runs a program with an argument vector (no shell), standard input from the
// null device, output merged and captured. `environment` empty: inherited.
RunResult runProgram(const QString &program, const QStringList &arguments,
                     const QProcessEnvironment &environment = {}, int timeoutMs = 120000);

// A tool of the built SDK bin folder, e.g. sdkToolPath("signtool.exe").
QString sdkToolPath(const QString &fileName);

// "osslsigncode verify -in PATH" (with "-CAfile" when given, which a
// self-signed signer needs for the chain to verify). ok() means a valid
// signature; the output holds the signer and the descriptions.
RunResult verifySignature(const QString &path, const QString &caFile = {});

} // namespace testdata
