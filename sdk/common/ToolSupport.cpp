#include "ToolSupport.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/pkcs12err.h>
#include <openssl/provider.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sdktool {

static bool g_legacyLoaded = false;

bool loadProviders()
{
    if (g_legacyLoaded)
        return true;
    // Loading "legacy" explicitly disables the implicit default provider, so
    // both are named.
    const bool legacy = OSSL_PROVIDER_load(nullptr, "legacy") != nullptr;
    OSSL_PROVIDER_load(nullptr, "default");
    ERR_clear_error();
    g_legacyLoaded = legacy;
    return legacy;
}

std::string takeOpensslError()
{
    unsigned long code = 0;
    unsigned long last = 0;
    while ((code = ERR_get_error()) != 0)
        last = code;
    if (last == 0)
        return {};
    const char *reason = ERR_reason_error_string(last);
    if (reason)
        return reason;
    char buf[256];
    ERR_error_string_n(last, buf, sizeof buf);
    return buf;
}

bool isSwitch(const std::string &arg, const char *name)
{
    if (arg.size() < 2 || (arg[0] != '/' && arg[0] != '-'))
        return false;
    return strcasecmp(arg.c_str() + 1, name) == 0;
}

// Why a file that is not a regular file cannot be read as one: reading a
// FIFO would wait for a writer for good, and a device never ends.
static std::string notRegularFileText(mode_t mode)
{
    if (S_ISDIR(mode))
        return "it is a folder";
    if (S_ISFIFO(mode))
        return "it is a FIFO (named pipe), not a regular file";
    if (S_ISSOCK(mode))
        return "it is a socket, not a regular file";
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return "it is a device, not a regular file";
    return "it is not a regular file";
}

std::string sizeText(off_t bytes)
{
    if (bytes % (1024 * 1024) == 0)
        return std::to_string(bytes / (1024 * 1024)) + " MiB";
    if (bytes % 1024 == 0)
        return std::to_string(bytes / 1024) + " KiB";
    return std::to_string(bytes) + " bytes";
}

bool readWholeFile(const std::string &path, std::string &data, std::string &error, off_t maxBytes)
{
    // The check by name spares opening a device at all; the one on the open
    // descriptor settles it, and O_NONBLOCK keeps the open itself from
    // waiting on a FIFO that was swapped in between.
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        error = notRegularFileText(st.st_mode);
        return false;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        error = errnoText(errno);
        return false;
    }
    if (fstat(fd, &st) != 0) {
        error = errnoText(errno);
        ::close(fd);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        error = notRegularFileText(st.st_mode);
        ::close(fd);
        return false;
    }
    // Judged on the descriptor that is read, before any of it is; the
    // reading stops there too, for a file that grows meanwhile.
    const std::string tooLarge = "it is larger than " + sizeText(maxBytes);
    if (st.st_size > maxBytes) {
        error = tooLarge;
        ::close(fd);
        return false;
    }
    data.clear();
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            error = errnoText(errno);
            ::close(fd);
            return false;
        }
        if (n == 0)
            break;
        if (static_cast<off_t>(data.size()) + n > maxBytes) {
            error = tooLarge;
            data.clear();
            ::close(fd);
            return false;
        }
        data.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    return true;
}

std::string trimmed(const std::string &text)
{
    const char *blanks = " \t\r";
    const size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos)
        return std::string();
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

std::vector<std::string> trimmedLines(const std::string &output)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < output.size()) {
        size_t end = output.find('\n', start);
        if (end == std::string::npos)
            end = output.size();
        lines.push_back(trimmed(output.substr(start, end - start)));
        start = end + 1;
    }
    return lines;
}

bool writeAll(int fd, const std::string &data)
{
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0) {
            errno = EIO;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

std::vector<std::string> splitNonEmpty(const std::string &text, char separator)
{
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(separator, start);
        if (end == std::string::npos)
            end = text.size();
        if (end > start)
            parts.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

std::string hexText(const unsigned char *bytes, size_t size, bool upperCase)
{
    const char *hex = upperCase ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string text;
    text.reserve(2 * size);
    for (size_t i = 0; i < size; ++i) {
        text += hex[bytes[i] >> 4];
        text += hex[bytes[i] & 15];
    }
    return text;
}

std::string nameText(const X509_NAME *name)
{
    BioPtr bio(BIO_new(BIO_s_mem()));
    X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_ONELINE & ~ASN1_STRFLGS_ESC_MSB & ~XN_FLAG_SPC_EQ);
    char *data = nullptr;
    const long len = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<size_t>(len));
}

std::string timeText(const ASN1_TIME *time)
{
    BioPtr bio(BIO_new(BIO_s_mem()));
    ASN1_TIME_print(bio.get(), time);
    char *data = nullptr;
    const long len = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<size_t>(len));
}

std::optional<time_t> timeOf(const ASN1_TIME *time)
{
    struct tm tm {};
    if (!time || ASN1_TIME_to_tm(time, &tm) != 1)
        return std::nullopt;
    return timegm(&tm);
}

std::string certificatePem(X509 *cert)
{
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_X509(bio.get(), cert) != 1)
        return std::string();
    char *data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<size_t>(length));
}

std::string sha1Thumbprint(X509 *cert)
{
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (!X509_digest(cert, EVP_sha1(), md, &len))
        return {};
    return hexText(md, len, true);
}

bool isCodeSigningUsable(X509 *cert)
{
    const uint32_t flags = X509_get_extension_flags(cert);
    if (flags & EXFLAG_INVALID)
        return false;
    if ((flags & EXFLAG_KUSAGE) && !(X509_get_key_usage(cert) & KU_DIGITAL_SIGNATURE))
        return false;
    if (!(flags & EXFLAG_XKUSAGE))
        return true;
    // The EKU bits cover only the common purposes; read the list itself so
    // anyExtendedKeyUsage counts too.
    auto *eku = static_cast<EXTENDED_KEY_USAGE *>(X509_get_ext_d2i(cert, NID_ext_key_usage, nullptr, nullptr));
    if (!eku)
        return false;
    bool usable = false;
    for (int i = 0; i < sk_ASN1_OBJECT_num(eku); ++i) {
        const int nid = OBJ_obj2nid(sk_ASN1_OBJECT_value(eku, i));
        if (nid == NID_code_sign || nid == NID_anyExtendedKeyUsage)
            usable = true;
    }
    sk_ASN1_OBJECT_pop_free(eku, ASN1_OBJECT_free);
    return usable;
}

bool isValidAt(X509 *cert, time_t now)
{
    const auto from = timeOf(X509_get0_notBefore(cert));
    const auto until = timeOf(X509_get0_notAfter(cert));
    return from && until && *from <= now && now <= *until;
}

Pkcs12Status parsePkcs12(const std::string &data, const std::string &password, Pkcs12Contents &out,
                         std::string &detail)
{
    BioPtr bio(BIO_new_mem_buf(data.data(), static_cast<int>(data.size())));
    Pkcs12Ptr p12(d2i_PKCS12_bio(bio.get(), nullptr));
    if (!p12) {
        detail = takeOpensslError();
        return Pkcs12Status::NotPkcs12;
    }
    EVP_PKEY *key = nullptr;
    X509 *cert = nullptr;
    STACK_OF(X509) *ca = nullptr;
    ERR_clear_error();
    bool parsed = PKCS12_parse(p12.get(), password.c_str(), &key, &cert, &ca) == 1;
    const unsigned long err = parsed ? 0 : ERR_peek_last_error();
    const bool macFailed = ERR_GET_LIB(err) == ERR_LIB_PKCS12 && ERR_GET_REASON(err) == PKCS12_R_MAC_VERIFY_FAILURE;
    if (!parsed && !macFailed && !g_legacyLoaded && loadProviders()) {
        // Older files use RC2 or 3DES, which only the legacy provider has;
        // loading it only then keeps the common case fast.
        ERR_clear_error();
        parsed = PKCS12_parse(p12.get(), password.c_str(), &key, &cert, &ca) == 1;
    }
    if (!parsed) {
        detail = takeOpensslError();
        if (macFailed)
            return Pkcs12Status::WrongPassword;
        return Pkcs12Status::NotPkcs12;
    }
    for (int i = 0; i < sk_X509_num(ca); ++i)
        out.others.emplace_back(sk_X509_value(ca, i));
    sk_X509_free(ca);
    out.key.reset(key);
    out.cert.reset(cert);
    if (!key || !cert || X509_check_private_key(cert, key) != 1) {
        ERR_clear_error();
        return Pkcs12Status::NoKeyOrCert;
    }
    return Pkcs12Status::Ok;
}

int secondsFromEnvironment(const char *name, int fallback)
{
    if (const char *text = std::getenv(name); text && *text) {
        char *end = nullptr;
        const long seconds = std::strtol(text, &end, 10);
        if (*end == '\0' && seconds >= 1 && seconds <= 3600)
            return static_cast<int>(seconds);
    }
    return fallback;
}

std::string findOnPath(const std::string &name)
{
    if (name.find('/') != std::string::npos)
        return ::access(name.c_str(), X_OK) == 0 ? name : std::string();
    const char *path = std::getenv("PATH");
    std::string dirs = path && *path ? path : "/usr/local/bin:/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos)
            end = dirs.size();
        // An empty entry is the current folder. (Not assigned afterwards:
        // GCC 12 warns about that, -Wrestrict, a false alarm.)
        const std::string dir = end > start ? dirs.substr(start, end - start) : std::string(".");
        const std::string candidate = dir + "/" + name;
        struct stat st {};
        if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return {};
}

std::string ownFolder()
{
    char buf[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        return "./";
    buf[n] = '\0';
    return folderOf(buf) + "/";
}

bool setRandomSerialNumber(X509 *cert)
{
    unsigned char serial[16];
    if (RAND_bytes(serial, sizeof serial) != 1)
        return false;
    serial[0] &= 0x7F; // positive
    BIGNUM *bn = BN_bin2bn(serial, sizeof serial, nullptr);
    const bool set = bn && BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert));
    BN_free(bn);
    return set;
}

bool addCertificateExtension(X509 *cert, int nid, const char *value)
{
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
    X509_EXTENSION *ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    if (!ext)
        return false;
    const bool ok = X509_add_ext(cert, ext, -1) == 1;
    X509_EXTENSION_free(ext);
    return ok;
}

} // namespace sdktool
