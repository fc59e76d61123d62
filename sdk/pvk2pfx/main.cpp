// Stand-in for the SDK's pvk2pfx.exe: joins a PVK private key and the
// certificates of an SPC file into a PKCS#12 (PFX) file.
//
//   pvk2pfx.exe -pvk PVK -pi PASSWORD -spc SPC -pfx PFX [-po PASSWORD] [-f] [-legacy]
//
// -pifd N and -pofd N take the password of -pi or -po from the inherited
// descriptor N (3 or more), read to its end, instead of from the command
// line, where every local user can read it in /proc/PID/cmdline: Quillmark's
// window hands the passwords over this way.
//
// Switches start with "-" or "/" and ignore letter case. -pi may be left out
// for a PVK file without a password. The PFX is protected by the -po
// password, or by the -pi password when -po is absent, with AES-256-CBC,
// PBKDF2/HMAC-SHA-256 and a SHA-256 MAC, so OpenSSL 3 reads it without its
// legacy provider. -legacy writes the older form instead (3DES with SHA-1
// key derivation, SHA-1 MAC), which Mono and Windows before 2018 need. The
// SPC file may be DER or PEM PKCS#7 (a bare DER or PEM certificate is taken
// too); the certificate whose public key matches the private key is the
// PFX's own, the others go in as its chain. The PVK and SPC files must be
// regular files: a FIFO or a device is refused rather than waited on, and
// so is a PVK file over 1 MiB or an SPC file over 4 MiB, unread.
//
// Without -f an existing output file (or a link) is left untouched (exit
// code 1); with -f it is replaced through an exclusive temporary file and a
// rename, and a link there is replaced, never followed. The PFX file is
// always readable by its owner only, as it holds a private key, whatever
// the file it replaces allowed. Any failure leaves no output file behind and
// an existing one unchanged. Messages: the result on standard output, errors
// ("pvk2pfx error: ...") on standard error; exit code 0 only when the file
// was written.

#include "ToolSupport.h"
#include "safefile/NoCoreDump.h"
#include "safefile/SecretBuffer.h"
#include "safefile/SecretChannel.h"
#include "safefile/ShownText.h"

#include <openssl/err.h>
#include <openssl/pem.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

using namespace sdktool;

namespace {

// Names in the lines are shown with their control characters escaped, so
// that no file name can forge a line.
void outLine(const std::string &line)
{
    std::fflush(stderr);
    std::printf("%s\n", safefile::shownText(line).c_str());
    std::fflush(stdout);
}

int fail(const std::string &message)
{
    std::fflush(stdout);
    std::fprintf(stderr, "pvk2pfx error: %s\n", safefile::shownText(message).c_str());
    std::fflush(stderr);
    return 1;
}

const char *kUsage = "Usage: pvk2pfx.exe -pvk PVK -pi PASSWORD -spc SPC -pfx PFX [-po PASSWORD] [-f] [-legacy]\n"
                     "       (-pifd N / -pofd N: the -pi / -po password from inherited descriptor N)";

// How long a password's descriptor may take to reach its end: the caller
// fills it before the tool starts.
constexpr int kSecretWaitSeconds = 30;

// A PVK file holds one private key (a few kilobytes even for RSA 16384), an
// SPC file a chain of a few certificates: far larger ones are refused by
// their size, unread, rather than swelling the tool for a minute.
constexpr off_t kMaxPvkBytes = 1024 * 1024;
constexpr off_t kMaxSpcBytes = 4 * 1024 * 1024;

struct Args {
    std::optional<std::string> pvk, pi, spc, pfx, po;
    std::optional<std::string> piFd, poFd; // -pifd, -pofd: descriptor numbers
    bool force = false;
    bool legacy = false;
};

bool isKnownSwitch(const std::string &arg)
{
    for (const char *name : {"pvk", "pi", "spc", "pfx", "po", "pifd", "pofd", "f", "legacy"}) {
        if (isSwitch(arg, name))
            return true;
    }
    return false;
}

// Returns the usage problem, empty when the arguments are complete.
std::string parseArgs(const std::vector<std::string> &argv, Args &args)
{
    for (size_t i = 0; i < argv.size(); ++i) {
        const std::string &arg = argv[i];
        if (isSwitch(arg, "f")) {
            args.force = true;
            continue;
        }
        if (isSwitch(arg, "legacy")) {
            args.legacy = true;
            continue;
        }
        std::optional<std::string> *target = nullptr;
        if (isSwitch(arg, "pvk"))
            target = &args.pvk;
        else if (isSwitch(arg, "pi"))
            target = &args.pi;
        else if (isSwitch(arg, "spc"))
            target = &args.spc;
        else if (isSwitch(arg, "pfx"))
            target = &args.pfx;
        else if (isSwitch(arg, "po"))
            target = &args.po;
        else if (isSwitch(arg, "pifd"))
            target = &args.piFd;
        else if (isSwitch(arg, "pofd"))
            target = &args.poFd;
        else if (!arg.empty() && (arg[0] == '-' || arg[0] == '/') && arg.find('/', 1) == std::string::npos
                 && arg.find('.') == std::string::npos)
            return "Unknown option: " + arg;
        else
            return "Unexpected argument: " + arg;
        if (i + 1 >= argv.size() || isKnownSwitch(argv[i + 1]))
            return "Missing value for option " + arg + ".";
        *target = argv[++i];
    }
    if (args.pi && args.piFd)
        return "The options -pi and -pifd cannot be combined.";
    if (args.po && args.poFd)
        return "The options -po and -pofd cannot be combined.";
    for (const auto *fd : {&args.piFd, &args.poFd}) {
        if (*fd && safefile::secretDescriptorNumber(**fd) < 0)
            return "The value of " + std::string(fd == &args.piFd ? "-pifd" : "-pofd")
                   + " must be the number of an inherited descriptor, 3 or more: " + **fd;
    }
    if (!args.pvk)
        return "The PVK file (-pvk) is missing.";
    if (!args.spc)
        return "The SPC file (-spc) is missing.";
    if (!args.pfx)
        return "The output PFX file (-pfx) is missing.";
    return {};
}

// How the PFX is protected. The modern form is what OpenSSL 3 reads without
// its legacy provider; the legacy one is the form Windows wrote before 2018,
// the only one Mono and those Windows versions open. 3DES (not RC2) for the
// certificates too, so that OpenSSL 3 still reads it without that provider.
struct PfxForm {
    int keyCipher;
    int certCipher;
    const EVP_MD *(*mac)();
};
const PfxForm kModernForm{NID_aes_256_cbc, NID_aes_256_cbc, EVP_sha256};
const PfxForm kLegacyForm{NID_pbe_WithSHA1And3_Key_TripleDES_CBC, NID_pbe_WithSHA1And3_Key_TripleDES_CBC, EVP_sha1};

int passwordCallback(char *buf, int size, int, void *user)
{
    const auto *password = static_cast<const std::string *>(user);
    if (password->size() > static_cast<size_t>(size))
        return -1;
    std::memcpy(buf, password->data(), password->size());
    return static_cast<int>(password->size());
}

uint32_t readLe32(const std::string &data, size_t at)
{
    return static_cast<uint32_t>(static_cast<unsigned char>(data[at]))
           | static_cast<uint32_t>(static_cast<unsigned char>(data[at + 1])) << 8
           | static_cast<uint32_t>(static_cast<unsigned char>(data[at + 2])) << 16
           | static_cast<uint32_t>(static_cast<unsigned char>(data[at + 3])) << 24;
}

CertStackPtr readSpcCertificates(const std::string &data)
{
    CertStackPtr certs(sk_X509_new_null());
    auto takeFrom = [&](PKCS7 *p7) {
        if (!p7 || !PKCS7_type_is_signed(p7) || !p7->d.sign || !p7->d.sign->cert)
            return;
        for (int i = 0; i < sk_X509_num(p7->d.sign->cert); ++i) {
            X509 *cert = sk_X509_value(p7->d.sign->cert, i);
            X509_up_ref(cert);
            sk_X509_push(certs.get(), cert);
        }
    };
    {
        BioPtr bio(BIO_new_mem_buf(data.data(), static_cast<int>(data.size())));
        Pkcs7Ptr p7(d2i_PKCS7_bio(bio.get(), nullptr));
        takeFrom(p7.get());
    }
    if (sk_X509_num(certs.get()) == 0) {
        BioPtr bio(BIO_new_mem_buf(data.data(), static_cast<int>(data.size())));
        Pkcs7Ptr p7(PEM_read_bio_PKCS7(bio.get(), nullptr, nullptr, nullptr));
        takeFrom(p7.get());
    }
    if (sk_X509_num(certs.get()) == 0) {
        BioPtr bio(BIO_new_mem_buf(data.data(), static_cast<int>(data.size())));
        if (X509 *cert = d2i_X509_bio(bio.get(), nullptr))
            sk_X509_push(certs.get(), cert);
    }
    if (sk_X509_num(certs.get()) == 0) {
        BioPtr bio(BIO_new_mem_buf(data.data(), static_cast<int>(data.size())));
        while (X509 *cert = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr))
            sk_X509_push(certs.get(), cert);
    }
    ERR_clear_error();
    return certs;
}

// Takes a password handed over through a descriptor (-pifd, -pofd) into
// `password`; the problem, or empty.
std::string takeHandedPassword(const std::optional<std::string> &fd, const char *option,
                               std::optional<std::string> &password)
{
    if (!fd)
        return {};
    safefile::SecretBuffer secret;
    const std::string problem
        = safefile::readSecret(safefile::secretDescriptorNumber(*fd), kSecretWaitSeconds, secret);
    if (!problem.empty())
        return std::string("The password of ") + option + " cannot be read: " + problem + ".";
    password.emplace().swap(secret.bytes());
    return {};
}

} // namespace

int main(int argc, char **argv)
{
    // Before any password is read: none may end up in a core file or be
    // read by a debugger of the same user.
    safefile::forbidCoreDumps();

    Args args;
    std::vector<std::string> words(argv + 1, argv + argc);
    const std::string usageProblem = parseArgs(words, args);
    for (std::string &word : words)
        safefile::wipeSecret(word); // -pi's and -po's copies among them
    if (!usageProblem.empty()) {
        fail(usageProblem);
        std::fprintf(stderr, "%s\n", kUsage);
        return 1;
    }
    for (const std::string &problem : {takeHandedPassword(args.piFd, "-pi", args.pi),
                                       takeHandedPassword(args.poFd, "-po", args.po)}) {
        if (!problem.empty())
            return fail(problem);
    }
    // Both wiped however main() ends.
    std::string noPassword;
    const safefile::SecretWiper piWiper(args.pi ? *args.pi : noPassword);
    const safefile::SecretWiper poWiper(args.po ? *args.po : noPassword);
    const bool haveLegacy = loadProviders();

    // Refuse early so nothing is read or decrypted for a run that cannot write;
    // the write itself checks again without a race. A link counts as there,
    // even one that leads nowhere.
    struct stat outStat {};
    if (!args.force && lstat(args.pfx->c_str(), &outStat) == 0)
        return fail("The output file " + *args.pfx + " already exists and was left untouched; use -f to replace it.");

    // --- the private key
    std::string pvkData;
    std::string error;
    if (!readWholeFile(*args.pvk, pvkData, error, kMaxPvkBytes))
        return fail("Cannot read the PVK file " + *args.pvk + ": " + error + ".");
    constexpr uint32_t kPvkMagic = 0xB0B5F11E;
    if (pvkData.size() < 24 || readLe32(pvkData, 0) != kPvkMagic)
        return fail(*args.pvk + " is not a PVK file.");
    const bool encrypted = readLe32(pvkData, 12) != 0;
    std::string pvkPassword = args.pi.value_or(std::string());
    const safefile::SecretWiper pvkPasswordWiper(pvkPassword);
    if (encrypted && !haveLegacy)
        return fail("The PVK file is encrypted and OpenSSL's legacy provider, which decrypts it, cannot be loaded.");
    if (encrypted && pvkPassword.empty())
        return fail("The PVK file is protected by a password; give it with -pi.");

    std::string passwordCopy = pvkPassword;
    BioPtr pvkBio(BIO_new_mem_buf(pvkData.data(), static_cast<int>(pvkData.size())));
    KeyPtr key(b2i_PVK_bio_ex(pvkBio.get(), passwordCallback, &passwordCopy, nullptr, nullptr));
    safefile::wipeSecret(passwordCopy);
    if (!key) {
        const std::string reason = takeOpensslError();
        if (encrypted)
            return fail("The PVK password is not correct, or " + *args.pvk + " is damaged.");
        return fail("The PVK file " + *args.pvk + " cannot be read" + (reason.empty() ? "" : " (" + reason + ")")
                    + ".");
    }

    // --- the certificates
    std::string spcData;
    if (!readWholeFile(*args.spc, spcData, error, kMaxSpcBytes))
        return fail("Cannot read the SPC file " + *args.spc + ": " + error + ".");
    CertStackPtr certs = readSpcCertificates(spcData);
    if (sk_X509_num(certs.get()) == 0)
        return fail(*args.spc + " holds no certificates (expected a DER or PEM PKCS#7 file).");

    X509 *own = nullptr;
    CertStackPtr chain(sk_X509_new_null());
    for (int i = 0; i < sk_X509_num(certs.get()); ++i) {
        X509 *cert = sk_X509_value(certs.get(), i);
        if (!own && X509_check_private_key(cert, key.get()) == 1) {
            own = cert;
        } else {
            X509_up_ref(cert);
            sk_X509_push(chain.get(), cert);
        }
    }
    ERR_clear_error();
    if (!own)
        return fail("The private key in " + *args.pvk + " does not belong to any certificate in " + *args.spc + ".");

    // --- the PFX
    const std::string &pfxPassword = args.po ? *args.po : pvkPassword;
    const PfxForm form = args.legacy ? kLegacyForm : kModernForm;
    Pkcs12Ptr p12(PKCS12_create_ex(pfxPassword.c_str(), nullptr, key.get(), own,
                                   sk_X509_num(chain.get()) > 0 ? chain.get() : nullptr, form.keyCipher,
                                   form.certCipher, PKCS12_DEFAULT_ITER, -1, 0, nullptr, nullptr));
    if (!p12 || !PKCS12_set_mac(p12.get(), pfxPassword.c_str(), -1, nullptr, 0, PKCS12_DEFAULT_ITER, form.mac()))
        return fail("Cannot build the PFX file: " + takeOpensslError() + ".");

    BioPtr outBio(BIO_new(BIO_s_mem()));
    if (i2d_PKCS12_bio(outBio.get(), p12.get()) != 1)
        return fail("Cannot encode the PFX file: " + takeOpensslError() + ".");
    char *bytes = nullptr;
    const long length = BIO_get_mem_data(outBio.get(), &bytes);
    const std::string pfxData(bytes, static_cast<size_t>(length));

    switch (writeFileAtomically(*args.pfx, pfxData, args.force, 0600, error)) {
    case WriteResult::Written:
        break;
    case WriteResult::Exists:
        return fail("The output file " + *args.pfx + " already exists and was left untouched; use -f to replace it.");
    case WriteResult::Failed:
        return fail("Cannot write " + *args.pfx + ": " + error + ".");
    }
    outLine("The PFX file was written: " + *args.pfx);
    outLine("    Certificate: " + nameText(X509_get_subject_name(own)));
    return 0;
}
