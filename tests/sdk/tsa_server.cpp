// A time-stamp server for tests, on 127.0.0.1 and a port the system picks.
//
//   tsa_server --cert TSA.pem --key TSA.key --mode MODE [--log FILE]
//              [--delay-ms N] [--lifetime SECONDS]
//              [--tls-cert SERVER.pem --tls-key SERVER.key]
//
// With --tls-cert and --tls-key it speaks HTTPS with that certificate: each
// connection's TLS is ended on a thread of its own, which logs the server
// name the client sent ("tls server name NAME", "(none)" for none) and
// hands the request to the same server code through a socket pair.
//
// MODE: "rfc3161" answers RFC 3161 requests only (an Authenticode request
// gets "400 Bad Request"); "authenticode" answers the Authenticode protocol
// only; "both"; "silent" accepts connections and never answers. A server
// that lies answers RFC 3161 with a granted reply that must be refused:
// "wrong-imprint" (the token stamps another digest), "wrong-nonce" (the
// token answers another nonce), "wrong-purpose" (the token is signed by a
// certificate made for TLS servers, not for time stamping) or "garbage"
// (bytes that are no reply at all). A hostile one answers without end: "huge-length" (a Content-Length of
// 4 GB, data until the client goes) or "endless-chunked" (a chunked body
// that never ends). "trickle" answers at once with a chunked body of one
// byte a second, which never ends and never grows large. Each request
// is answered on a thread of its own, after --delay-ms. One line per request
// goes to the log: "rfc3161 sha384" (the imprint's digest) or "authenticode",
// after "proxied to HOST" for a request meant for another host.
//
// MODE "revocation" serves what revocation checks ask for, as the
// certificate of --cert (with --key) would: "GET /crl/NAME" answers the
// file NAME of --folder (a CRL the test wrote and may rewrite), 404 when
// there is none; an OCSP request (POST, application/ocsp-request) is
// answered "good" for each certificate asked about unless the file
// "revoked" of --folder lists its serial number (upper-case hex) with a
// revocation time in seconds since 1970 on a line. Logs "crl NAME" and
// "ocsp".
//
// Prints "PORT n" once listening. Ends by itself after --lifetime seconds
// (default 120) or as soon as its standard input closes, so a test that dies
// leaves no server behind.

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ocsp.h>
#include <openssl/bn.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/ssl.h>
#include <openssl/ts.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <mutex>
#include <string>
#include <thread>

namespace {

struct Options {
    std::string cert, key, mode = "both", log, tlsCert, tlsKey, folder;
    int delayMs = 0;
    int lifetime = 120;
};

X509 *g_cert = nullptr;
EVP_PKEY *g_key = nullptr;
Options g_options;
std::mutex g_logMutex;
SSL_CTX *g_tls = nullptr;

void logLine(const std::string &line)
{
    if (g_options.log.empty())
        return;
    std::lock_guard<std::mutex> lock(g_logMutex);
    std::ofstream(g_options.log, std::ios::app) << line << '\n';
}

std::string bioText(BIO *bio)
{
    char *data = nullptr;
    const long length = BIO_get_mem_data(bio, &data);
    return length > 0 ? std::string(data, static_cast<size_t>(length)) : std::string();
}

std::string base64(const std::string &bytes, bool encode)
{
    BIO *b64 = BIO_new(BIO_f_base64());
    BIO_set_flags(b64, BIO_FLAGS_BASE64_NO_NL);
    std::string result;
    if (encode) {
        BIO *mem = BIO_new(BIO_s_mem());
        BIO_push(b64, mem);
        BIO_write(b64, bytes.data(), static_cast<int>(bytes.size()));
        (void)BIO_flush(b64);
        result = bioText(mem);
    } else {
        std::string clean;
        for (char c : bytes) {
            if (c != '\r' && c != '\n' && c != ' ')
                clean += c;
        }
        BIO *mem = BIO_new_mem_buf(clean.data(), static_cast<int>(clean.size()));
        BIO_push(b64, mem);
        char buffer[4096];
        int n;
        while ((n = BIO_read(b64, buffer, sizeof buffer)) > 0)
            result.append(buffer, static_cast<size_t>(n));
    }
    BIO_free_all(b64);
    return result;
}

// DER: the content of the element at `pos`, moving `pos` past it.
bool derElement(const std::string &der, size_t &pos, unsigned char &tag, std::string &content)
{
    if (pos + 2 > der.size())
        return false;
    tag = static_cast<unsigned char>(der[pos++]);
    size_t length = static_cast<unsigned char>(der[pos++]);
    if (length & 0x80) {
        const size_t bytes = length & 0x7F;
        if (bytes == 0 || bytes > 4 || pos + bytes > der.size())
            return false;
        length = 0;
        for (size_t i = 0; i < bytes; ++i)
            length = (length << 8) | static_cast<unsigned char>(der[pos++]);
    }
    if (pos + length > der.size())
        return false;
    content = der.substr(pos, length);
    pos += length;
    return true;
}

// The signature blob of an Authenticode time-stamp request:
// SEQUENCE { OID, SEQUENCE { OID data, [0] { OCTET STRING blob } } }
bool authenticodeBlob(const std::string &request, std::string &blob)
{
    size_t pos = 0;
    unsigned char tag;
    std::string outer, oid, info, inner, wrapped;
    if (!derElement(request, pos, tag, outer) || tag != 0x30)
        return false;
    pos = 0;
    if (!derElement(outer, pos, tag, oid) || tag != 0x06 || !derElement(outer, pos, tag, info) || tag != 0x30)
        return false;
    pos = 0;
    if (!derElement(info, pos, tag, oid) || !derElement(info, pos, tag, wrapped) || tag != 0xA0)
        return false;
    pos = 0;
    return derElement(wrapped, pos, tag, blob) && tag == 0x04;
}

std::string authenticodeReply(const std::string &body)
{
    std::string blob;
    if (!authenticodeBlob(base64(body, false), blob))
        return std::string();
    BIO *data = BIO_new_mem_buf(blob.data(), static_cast<int>(blob.size()));
    PKCS7 *p7 = PKCS7_sign(g_cert, g_key, nullptr, data, PKCS7_BINARY);
    BIO_free(data);
    if (!p7)
        return std::string();
    unsigned char *der = nullptr;
    const int length = i2d_PKCS7(p7, &der);
    PKCS7_free(p7);
    if (length <= 0)
        return std::string();
    std::string reply(reinterpret_cast<char *>(der), static_cast<size_t>(length));
    OPENSSL_free(der);
    return base64(reply, true);
}

// The request as this server's fault wants it answered: another imprint or
// another nonce than the client sent.
std::string falsifiedRequest(const std::string &body)
{
    const unsigned char *p = reinterpret_cast<const unsigned char *>(body.data());
    TS_REQ *request = d2i_TS_REQ(nullptr, &p, static_cast<long>(body.size()));
    if (!request)
        return body;
    if (g_options.mode == "wrong-imprint") {
        ASN1_OCTET_STRING *digest = TS_MSG_IMPRINT_get_msg(TS_REQ_get_msg_imprint(request));
        if (digest && digest->length > 0)
            digest->data[0] = static_cast<unsigned char>(digest->data[0] ^ 0x5A);
    } else if (g_options.mode == "wrong-nonce") {
        ASN1_INTEGER *nonce = ASN1_INTEGER_new();
        ASN1_INTEGER_set(nonce, 4242);
        TS_REQ_set_nonce(request, nonce);
        ASN1_INTEGER_free(nonce);
    }
    unsigned char *der = nullptr;
    const int length = i2d_TS_REQ(request, &der);
    TS_REQ_free(request);
    std::string changed = length > 0 ? std::string(reinterpret_cast<char *>(der), static_cast<size_t>(length)) : body;
    OPENSSL_free(der);
    return changed;
}

// A key and a self-signed certificate for TLS servers only, made once.
bool tlsSigner(X509 *&cert, EVP_PKEY *&key)
{
    static X509 *madeCert = nullptr;
    static EVP_PKEY *madeKey = nullptr;
    static std::once_flag once;
    std::call_once(once, [] {
        madeKey = EVP_RSA_gen(2048);
        madeCert = X509_new();
        if (!madeKey || !madeCert)
            return;
        X509_set_version(madeCert, 2);
        ASN1_INTEGER_set(X509_get_serialNumber(madeCert), 77);
        X509_gmtime_adj(X509_getm_notBefore(madeCert), -3600);
        X509_gmtime_adj(X509_getm_notAfter(madeCert), 3600L * 24 * 30);
        X509_NAME *name = X509_get_subject_name(madeCert);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char *>("Not A Time-Stamp Server"), -1, -1, 0);
        X509_set_issuer_name(madeCert, name);
        X509_set_pubkey(madeCert, madeKey);
        X509V3_CTX v3;
        X509V3_set_ctx(&v3, madeCert, madeCert, nullptr, nullptr, 0);
        if (X509_EXTENSION *eku = X509V3_EXT_conf_nid(nullptr, &v3, NID_ext_key_usage, "critical,serverAuth")) {
            X509_add_ext(madeCert, eku, -1);
            X509_EXTENSION_free(eku);
        }
        X509_sign(madeCert, madeKey, EVP_sha256());
    });
    cert = madeCert;
    key = madeKey;
    return cert && key;
}

// The token of `response` signed anew by a TLS server's certificate, as
// OpenSSL's responder signs one (which refuses such a signer itself).
void resignToken(TS_RESP *response)
{
    X509 *cert = nullptr;
    EVP_PKEY *key = nullptr;
    PKCS7 *token = TS_RESP_get_token(response);
    if (!token || !tlsSigner(cert, key))
        return;
    const ASN1_OCTET_STRING *info = token->d.sign->contents->d.other->value.octet_string;
    const std::string tstInfo(reinterpret_cast<const char *>(info->data), static_cast<size_t>(info->length));
    PKCS7 *p7 = PKCS7_new();
    PKCS7_set_type(p7, NID_pkcs7_signed);
    ASN1_INTEGER_set(p7->d.sign->version, 3);
    PKCS7_add_certificate(p7, cert);
    PKCS7_SIGNER_INFO *si = PKCS7_add_signature(p7, cert, key, EVP_sha256());
    PKCS7_add_signed_attribute(si, NID_pkcs9_contentType, V_ASN1_OBJECT, OBJ_nid2obj(NID_id_smime_ct_TSTInfo));
    PKCS7 *content = PKCS7_new();
    content->type = OBJ_nid2obj(NID_id_smime_ct_TSTInfo);
    content->d.other = ASN1_TYPE_new();
    ASN1_TYPE_set(content->d.other, V_ASN1_OCTET_STRING, ASN1_OCTET_STRING_new());
    PKCS7_set_content(p7, content);
    BIO *data = PKCS7_dataInit(p7, nullptr);
    BIO_write(data, tstInfo.data(), static_cast<int>(tstInfo.size()));
    PKCS7_dataFinal(p7, data);
    BIO_free_all(data);
    TS_RESP_set_tst_info(response, p7, TS_TST_INFO_dup(TS_RESP_get_tst_info(response)));
}

std::string rfc3161Reply(const std::string &original)
{
    if (g_options.mode == "garbage") {
        logLine("garbage");
        return std::string("\x30\x03\x02\x01\x00 this is no time-stamp reply", 33);
    }
    const std::string body = falsifiedRequest(original);
    BIO *query = BIO_new_mem_buf(body.data(), static_cast<int>(body.size()));
    TS_REQ *request = d2i_TS_REQ_bio(query, nullptr);
    std::string digest = "unknown";
    if (request) {
        const X509_ALGOR *algorithm = TS_MSG_IMPRINT_get_algo(TS_REQ_get_msg_imprint(request));
        digest = OBJ_nid2sn(OBJ_obj2nid(algorithm->algorithm));
        for (char &c : digest)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        TS_REQ_free(request);
    }
    logLine("rfc3161 " + digest);
    (void)BIO_reset(query);

    TS_RESP_CTX *ctx = TS_RESP_CTX_new();
    TS_RESP_CTX_set_signer_cert(ctx, g_cert);
    TS_RESP_CTX_set_signer_key(ctx, g_key);
    ASN1_OBJECT *policy = OBJ_txt2obj("1.3.6.1.4.1.4146.2.3", 1);
    TS_RESP_CTX_set_def_policy(ctx, policy);
    ASN1_OBJECT_free(policy);
    TS_RESP_CTX_add_md(ctx, EVP_sha256());
    TS_RESP_CTX_add_md(ctx, EVP_sha384());
    TS_RESP_CTX_add_md(ctx, EVP_sha512());
    TS_RESP_CTX_add_flags(ctx, TS_ESS_CERT_ID_CHAIN);
    TS_RESP *response = TS_RESP_create_response(ctx, query);
    BIO_free(query);
    if (response && g_options.mode == "wrong-purpose")
        resignToken(response);
    std::string reply;
    if (response) {
        unsigned char *der = nullptr;
        const int length = i2d_TS_RESP(response, &der);
        if (length > 0)
            reply.assign(reinterpret_cast<char *>(der), static_cast<size_t>(length));
        OPENSSL_free(der);
        TS_RESP_free(response);
    }
    TS_RESP_CTX_free(ctx);
    return reply;
}

bool sendAll(int fd, const std::string &data)
{
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

void respond(int fd, int status, const char *contentType, const std::string &body)
{
    const char *reason = status == 200 ? "OK" : "Bad Request";
    const std::string head = "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\nContent-Type: " + contentType
        + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n";
    sendAll(fd, head + body);
}

std::string lowerCase(std::string text)
{
    for (char &c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string fileText(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return in ? text.str() : std::string();
}

// The revocation time the test listed for `serial`, or -1.
long listedRevocation(const std::string &serial)
{
    std::istringstream lines(fileText(g_options.folder + "/revoked"));
    std::string listed;
    long when = 0;
    while (lines >> listed >> when) {
        if (listed == serial)
            return when;
    }
    return -1;
}

std::string ocspReply(const std::string &body)
{
    const unsigned char *p = reinterpret_cast<const unsigned char *>(body.data());
    OCSP_REQUEST *request = d2i_OCSP_REQUEST(nullptr, &p, static_cast<long>(body.size()));
    if (!request)
        return {};
    OCSP_BASICRESP *basic = OCSP_BASICRESP_new();
    ASN1_TIME *thisUpdate = X509_gmtime_adj(nullptr, -60);
    ASN1_TIME *nextUpdate = X509_gmtime_adj(nullptr, 3600);
    for (int i = 0; i < OCSP_request_onereq_count(request); ++i) {
        OCSP_CERTID *id = OCSP_onereq_get0_id(OCSP_request_onereq_get0(request, i));
        ASN1_INTEGER *serial = nullptr;
        OCSP_id_get0_info(nullptr, nullptr, nullptr, &serial, id);
        BIGNUM *number = ASN1_INTEGER_to_BN(serial, nullptr);
        char *hex = number ? BN_bn2hex(number) : nullptr;
        const long revoked = hex ? listedRevocation(hex) : -1;
        OPENSSL_free(hex);
        BN_free(number);
        ASN1_TIME *when = revoked >= 0 ? ASN1_TIME_set(nullptr, static_cast<time_t>(revoked)) : nullptr;
        OCSP_basic_add1_status(basic, id, revoked >= 0 ? V_OCSP_CERTSTATUS_REVOKED : V_OCSP_CERTSTATUS_GOOD,
                               revoked >= 0 ? OCSP_REVOKED_STATUS_KEYCOMPROMISE : -1, when, thisUpdate, nextUpdate);
        ASN1_TIME_free(when);
    }
    std::string reply;
    if (OCSP_basic_sign(basic, g_cert, g_key, EVP_sha256(), nullptr, 0) == 1) {
        OCSP_RESPONSE *response = OCSP_response_create(OCSP_RESPONSE_STATUS_SUCCESSFUL, basic);
        unsigned char *der = nullptr;
        const int length = response ? i2d_OCSP_RESPONSE(response, &der) : -1;
        if (length > 0)
            reply.assign(reinterpret_cast<char *>(der), static_cast<size_t>(length));
        OPENSSL_free(der);
        OCSP_RESPONSE_free(response);
    }
    ASN1_TIME_free(thisUpdate);
    ASN1_TIME_free(nextUpdate);
    OCSP_BASICRESP_free(basic);
    OCSP_REQUEST_free(request);
    return reply;
}

void serveRevocation(int fd, const std::string &head, const std::string &body)
{
    if (head.find("application/ocsp-request") != std::string::npos) {
        logLine("ocsp");
        const std::string reply = ocspReply(body);
        respond(fd, reply.empty() ? 400 : 200, "application/ocsp-response", reply);
        return;
    }
    const size_t at = head.find("get /crl/");
    const std::string name = at == std::string::npos ? "" : head.substr(at + 9, head.find(' ', at + 9) - at - 9);
    logLine("crl " + name);
    const std::string crl = name.empty() || name.find('/') != std::string::npos || name[0] == '.'
                                ? std::string()
                                : fileText(g_options.folder + "/" + name);
    if (crl.empty()) {
        const std::string missing = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
        sendAll(fd, missing);
        return;
    }
    respond(fd, 200, "application/pkix-crl", crl);
}

void serve(int fd)
{
    std::string data;
    char buffer[8192];
    size_t headerEnd = std::string::npos;
    size_t contentLength = 0;
    for (;;) {
        pollfd pfd{fd, POLLIN, 0};
        if (poll(&pfd, 1, 10000) <= 0)
            break;
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        data.append(buffer, static_cast<size_t>(n));
        if (headerEnd == std::string::npos) {
            headerEnd = data.find("\r\n\r\n");
            if (headerEnd != std::string::npos) {
                const std::string head = lowerCase(data.substr(0, headerEnd));
                const size_t at = head.find("content-length:");
                if (at != std::string::npos)
                    contentLength = std::strtoul(head.c_str() + at + 15, nullptr, 10);
            }
        }
        if (headerEnd != std::string::npos && data.size() >= headerEnd + 4 + contentLength)
            break;
    }
    if (headerEnd == std::string::npos) {
        close(fd);
        return;
    }
    const std::string head = lowerCase(data.substr(0, headerEnd));
    const std::string body = data.substr(headerEnd + 4, contentLength);
    // A request for an absolute URL comes from a client that takes this
    // server for its proxy: the host it asked for is logged.
    const size_t target = head.find(' ');
    if (target != std::string::npos && head.compare(target + 1, 7, "http://") == 0)
        logLine("proxied to " + head.substr(target + 8, head.find_first_of(":/ ", target + 8) - target - 8));
    const bool rfc3161 = head.find("application/timestamp-query") != std::string::npos;
    if (g_options.mode == "revocation") {
        serveRevocation(fd, head, body);
        close(fd);
        return;
    }
    if (g_options.delayMs > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(g_options.delayMs));

    // A hostile server: an answer without end, until the client gives up or
    // the server's life is over.
    if (g_options.mode == "huge-length" || g_options.mode == "endless-chunked") {
        logLine(g_options.mode);
        const bool chunked = g_options.mode == "endless-chunked";
        std::string head = "HTTP/1.1 200 OK\r\nContent-Type: application/timestamp-reply\r\n";
        head += chunked ? "Transfer-Encoding: chunked\r\n\r\n" : "Content-Length: 4294967296\r\n\r\n";
        const std::string block(64 * 1024, 'A');
        std::string piece = block;
        if (chunked) {
            char size[32];
            std::snprintf(size, sizeof size, "%zx\r\n", block.size());
            piece = size + block + "\r\n";
        }
        if (sendAll(fd, head)) {
            while (sendAll(fd, piece)) {
            }
        }
        close(fd);
        return;
    }

    // A slow one: headers at once, then a byte now and then, for good.
    if (g_options.mode == "trickle") {
        logLine(g_options.mode);
        std::string head = "HTTP/1.1 200 OK\r\nContent-Type: application/timestamp-reply\r\n"
                           "Transfer-Encoding: chunked\r\n\r\n";
        if (sendAll(fd, head)) {
            while (sendAll(fd, "1\r\nA\r\n"))
                std::this_thread::sleep_for(std::chrono::seconds(1));
        }
        close(fd);
        return;
    }

    const bool lying = g_options.mode == "wrong-imprint" || g_options.mode == "wrong-nonce"
                       || g_options.mode == "wrong-purpose" || g_options.mode == "garbage";
    if (rfc3161 && (g_options.mode == "rfc3161" || g_options.mode == "both" || lying)) {
        const std::string reply = rfc3161Reply(body);
        respond(fd, reply.empty() ? 400 : 200, "application/timestamp-reply", reply);
    } else if (!rfc3161 && (g_options.mode == "authenticode" || g_options.mode == "both")) {
        logLine("authenticode");
        const std::string reply = authenticodeReply(body);
        respond(fd, reply.empty() ? 400 : 200, "application/octet-stream", reply);
    } else {
        logLine(rfc3161 ? "refused rfc3161" : "refused authenticode");
        respond(fd, 400, "text/plain", "not this protocol\n");
    }
    close(fd);
}

// Ends TLS on `client`: the request goes to serve() through a socket pair
// and the answer back, until serve() closes its end.
void serveTls(int client)
{
    const timeval timeout{10, 0};
    setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    SSL *ssl = SSL_new(g_tls);
    int pair[2];
    if (!ssl || SSL_set_fd(ssl, client) != 1 || SSL_accept(ssl) != 1
        || socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        logLine("tls refused");
        SSL_free(ssl);
        close(client);
        return;
    }
    const char *serverName = SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name);
    logLine(std::string("tls server name ") + (serverName ? serverName : "(none)"));
    std::thread(serve, pair[1]).detach();
    char buffer[8192];
    std::string answer;
    bool requestDone = false;
    for (;;) {
        pollfd fds[2] = {{client, POLLIN, 0}, {pair[0], POLLIN, 0}};
        if (SSL_pending(ssl) == 0 && poll(fds, requestDone ? 1 : 2, 10000) <= 0)
            break;
        if (!requestDone && (SSL_pending(ssl) > 0 || fds[0].revents)) {
            const int n = SSL_read(ssl, buffer, sizeof buffer);
            if (n <= 0)
                requestDone = true;
            else if (!sendAll(pair[0], std::string(buffer, static_cast<size_t>(n))))
                break;
        }
        if (fds[1].revents) {
            const ssize_t n = recv(pair[0], buffer, sizeof buffer, 0);
            if (n <= 0)
                break; // serve() is done
            if (SSL_write(ssl, buffer, static_cast<int>(n)) <= 0)
                break;
        }
    }
    SSL_shutdown(ssl);
    SSL_free(ssl);
    close(pair[0]);
    close(client);
}

template <typename T> T *loadPem(const std::string &path, T *(*reader)(BIO *, T **, pem_password_cb *, void *))
{
    BIO *bio = BIO_new_file(path.c_str(), "r");
    if (!bio)
        return nullptr;
    T *object = reader(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    return object;
}

} // namespace

int main(int argc, char **argv)
{
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i], value = argv[i + 1];
        if (name == "--cert")
            g_options.cert = value;
        else if (name == "--key")
            g_options.key = value;
        else if (name == "--mode")
            g_options.mode = value;
        else if (name == "--log")
            g_options.log = value;
        else if (name == "--delay-ms")
            g_options.delayMs = std::atoi(value.c_str());
        else if (name == "--lifetime")
            g_options.lifetime = std::atoi(value.c_str());
        else if (name == "--tls-cert")
            g_options.tlsCert = value;
        else if (name == "--folder")
            g_options.folder = value;
        else if (name == "--tls-key")
            g_options.tlsKey = value;
    }
    if (!g_options.tlsCert.empty()) {
        g_tls = SSL_CTX_new(TLS_server_method());
        if (!g_tls || SSL_CTX_use_certificate_chain_file(g_tls, g_options.tlsCert.c_str()) != 1
            || SSL_CTX_use_PrivateKey_file(g_tls, g_options.tlsKey.c_str(), SSL_FILETYPE_PEM) != 1) {
            std::fprintf(stderr, "tsa_server: cannot read --tls-cert/--tls-key\n");
            return 2;
        }
    }
    // The servers that answer without end, or never, sign nothing.
    if (g_options.mode != "silent" && g_options.mode != "huge-length" && g_options.mode != "endless-chunked"
        && g_options.mode != "trickle") {
        g_cert = loadPem<X509>(g_options.cert, PEM_read_bio_X509);
        g_key = loadPem<EVP_PKEY>(g_options.key, PEM_read_bio_PrivateKey);
        if (!g_cert || !g_key) {
            std::fprintf(stderr, "tsa_server: cannot read --cert/--key\n");
            return 2;
        }
    }

    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0
        || listen(listener, 64) != 0 || getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        std::perror("tsa_server");
        return 2;
    }
    std::printf("PORT %d\n", ntohs(address.sin_port));
    std::fflush(stdout);

    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(g_options.lifetime);
    while (std::chrono::steady_clock::now() < end) {
        pollfd fds[2] = {{listener, POLLIN, 0}, {0, POLLIN, 0}};
        if (poll(fds, 2, 500) <= 0)
            continue;
        if (fds[1].revents) {
            char c;
            if (read(0, &c, 1) <= 0)
                break; // the test is gone
        }
        if (fds[0].revents & POLLIN) {
            const int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0)
                continue;
            if (g_options.mode == "silent") {
                logLine("silent");
                // Kept open and never answered, until the server ends.
                continue;
            }
            std::thread(g_tls ? serveTls : serve, client).detach();
        }
    }
    _exit(0);
}
