#include "TimeStampClient.h"

#include "DerWriter.h"
#include "TimeStampRelay.h"
#include "ToolSupport.h"

#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/ts.h>
#include <openssl/x509.h>

#include <cctype>
#include <memory>

using namespace sdktool;

namespace signtool {

namespace {

const char kRfc3161TokenOid[] = "1.3.6.1.4.1.311.3.3.1";
const char kAuthenticodeStampRequestOid[] = "1.3.6.1.4.1.311.3.2.1";

bool addUnsigned(PKCS7_SIGNER_INFO *si, ASN1_OBJECT *type, const std::string &der)
{
    X509_ATTRIBUTE *attribute = X509_ATTRIBUTE_create_by_OBJ(nullptr, type, V_ASN1_SEQUENCE,
                                                             reinterpret_cast<const unsigned char *>(der.data()),
                                                             static_cast<int>(der.size()));
    if (!attribute)
        return false;
    if (!si->unauth_attr)
        si->unauth_attr = sk_X509_ATTRIBUTE_new_null();
    if (!si->unauth_attr || sk_X509_ATTRIBUTE_push(si->unauth_attr, attribute) <= 0) {
        X509_ATTRIBUTE_free(attribute);
        return false;
    }
    return true;
}

// The RFC 3161 request: the imprint of the signature value under `digest`,
// a random nonce, and the server's certificate asked for.
std::string rfc3161Request(const ASN1_OCTET_STRING *signature, const char *digest)
{
    const EVP_MD *md = EVP_get_digestbyname(digest);
    unsigned char imprint[EVP_MAX_MD_SIZE];
    unsigned int imprintLength = 0;
    if (!md || EVP_Digest(signature->data, static_cast<size_t>(signature->length), imprint, &imprintLength, md,
                          nullptr) != 1)
        return {};
    std::unique_ptr<TS_REQ, sdktool::OsslDeleter> request(TS_REQ_new());
    TS_MSG_IMPRINT *messageImprint = TS_MSG_IMPRINT_new();
    X509_ALGOR *algorithm = X509_ALGOR_new();
    BIGNUM *random = BN_new();
    ASN1_INTEGER *nonce = nullptr;
    bool ok = request && messageImprint && algorithm && random
              && X509_ALGOR_set0(algorithm, OBJ_nid2obj(EVP_MD_get_type(md)), V_ASN1_NULL, nullptr) == 1
              && TS_MSG_IMPRINT_set_algo(messageImprint, algorithm) == 1
              && TS_MSG_IMPRINT_set_msg(messageImprint, imprint, static_cast<int>(imprintLength)) == 1
              && TS_REQ_set_version(request.get(), 1) == 1
              && TS_REQ_set_msg_imprint(request.get(), messageImprint) == 1
              && BN_rand(random, 64, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) == 1
              && (nonce = BN_to_ASN1_INTEGER(random, nullptr)) != nullptr
              && TS_REQ_set_nonce(request.get(), nonce) == 1 && TS_REQ_set_cert_req(request.get(), 1) == 1;
    TS_MSG_IMPRINT_free(messageImprint);
    X509_ALGOR_free(algorithm);
    BN_free(random);
    ASN1_INTEGER_free(nonce);
    std::string out;
    const int n = ok ? i2d_TS_REQ(request.get(), nullptr) : 0;
    if (n > 0) {
        out.resize(static_cast<size_t>(n));
        unsigned char *p = reinterpret_cast<unsigned char *>(out.data());
        i2d_TS_REQ(request.get(), &p);
    }
    ERR_clear_error();
    return out;
}

TimeStamping::Attempt noAnswer(const ServerReply &reply, std::string &message)
{
    if (reply.tooLarge)
        return TimeStamping::Attempt::TooLarge;
    if (reply.timedOut)
        return TimeStamping::Attempt::NoAnswer;
    message = "the server gave no usable answer (" + reply.error + ")";
    return TimeStamping::Attempt::Failed;
}

TimeStamping::Attempt rfc3161Attempt(PKCS7_SIGNER_INFO *si, const TimeStampRequest &wanted,
                                     std::chrono::steady_clock::time_point deadline, std::string &message)
{
    const std::string request = rfc3161Request(si->enc_digest, wanted.digest ? wanted.digest : "sha256");
    if (request.empty()) {
        message = "the request cannot be made";
        return TimeStamping::Attempt::Failed;
    }
    const ServerReply reply = askTimeStampServer(wanted.url, true, request, deadline);
    if (reply.body.empty())
        return noAnswer(reply, message);
    if (const std::string refused = checkTimeStampReply(request, reply.body); !refused.empty()) {
        message = "its reply was refused: " + refused;
        return TimeStamping::Attempt::Failed;
    }
    const unsigned char *p = reinterpret_cast<const unsigned char *>(reply.body.data());
    std::unique_ptr<TS_RESP, sdktool::OsslDeleter> response(d2i_TS_RESP(nullptr, &p, static_cast<long>(reply.body.size())));
    PKCS7 *token = response ? TS_RESP_get_token(response.get()) : nullptr;
    const int n = token ? i2d_PKCS7(token, nullptr) : 0;
    std::string der(static_cast<size_t>(std::max(n, 0)), '\0');
    unsigned char *out = reinterpret_cast<unsigned char *>(der.data());
    ASN1_OBJECT *type = OBJ_txt2obj(kRfc3161TokenOid, 1);
    const bool added = n > 0 && i2d_PKCS7(token, &out) == n && type && addUnsigned(si, type, der);
    ASN1_OBJECT_free(type);
    ERR_clear_error();
    if (!added) {
        message = "its reply was refused: its token cannot be read";
        return TimeStamping::Attempt::Failed;
    }
    return TimeStamping::Attempt::Stamped;
}

TimeStamping::Attempt authenticodeAttempt(PKCS7 *p7, PKCS7_SIGNER_INFO *si, const TimeStampRequest &wanted,
                                          std::chrono::steady_clock::time_point deadline, std::string &message)
{
    const std::string der = authenticodeStampRequest(si->enc_digest->data, static_cast<size_t>(si->enc_digest->length));
    std::string body(4 * ((der.size() + 2) / 3) + 1, '\0');
    const int encoded = EVP_EncodeBlock(reinterpret_cast<unsigned char *>(body.data()),
                                        reinterpret_cast<const unsigned char *>(der.data()), static_cast<int>(der.size()));
    body.resize(static_cast<size_t>(std::max(encoded, 0)));
    const ServerReply reply = askTimeStampServer(wanted.url, false, body, deadline);
    if (reply.body.empty())
        return noAnswer(reply, message);
    const std::string replyDer = decodedAuthenticodeReply(reply.body);
    const unsigned char *p = reinterpret_cast<const unsigned char *>(replyDer.data());
    Pkcs7Ptr answer(replyDer.empty() ? nullptr : d2i_PKCS7(nullptr, &p, static_cast<long>(replyDer.size())));
    STACK_OF(PKCS7_SIGNER_INFO) *signers = answer && PKCS7_type_is_signed(answer.get())
                                               ? PKCS7_get_signer_info(answer.get())
                                               : nullptr;
    ERR_clear_error();
    if (!signers || sk_PKCS7_SIGNER_INFO_num(signers) != 1) {
        message = "the server gave no usable answer (no Authenticode time stamp)";
        return TimeStamping::Attempt::Failed;
    }
    PKCS7_SIGNER_INFO *counter = sk_PKCS7_SIGNER_INFO_value(signers, 0);
    const int n = i2d_PKCS7_SIGNER_INFO(counter, nullptr);
    std::string counterDer(static_cast<size_t>(std::max(n, 0)), '\0');
    unsigned char *out = reinterpret_cast<unsigned char *>(counterDer.data());
    bool added = n > 0 && i2d_PKCS7_SIGNER_INFO(counter, &out) == n
                 && addUnsigned(si, OBJ_nid2obj(NID_pkcs9_countersignature), counterDer);
    // The counter-signer's certificates travel with the signature.
    STACK_OF(X509) *certificates = answer->d.sign->cert;
    for (int i = 0; added && i < sk_X509_num(certificates); ++i) {
        X509 *cert = sk_X509_value(certificates, i);
        bool known = false;
        for (int j = 0; j < sk_X509_num(p7->d.sign->cert); ++j)
            known = known || X509_cmp(cert, sk_X509_value(p7->d.sign->cert, j)) == 0;
        added = known || PKCS7_add_certificate(p7, cert) == 1;
    }
    ERR_clear_error();
    if (!added) {
        message = "its reply cannot be added to the signature";
        return TimeStamping::Attempt::Failed;
    }
    return TimeStamping::Attempt::Stamped;
}

} // namespace

std::string authenticodeStampRequest(const unsigned char *signature, size_t size)
{
    // TimeStampRequest ::= SEQUENCE { countersignatureType OBJECT IDENTIFIER,
    //   content ContentInfo { data, [0] EXPLICIT OCTET STRING signature } }
    const Bytes value(signature, signature + size);
    const Bytes content = derElement(
        0x30, concat({oidDer("1.2.840.113549.1.7.1"), derElement(0xA0, derElement(0x04, value))}));
    const Bytes request = derElement(0x30, concat({oidDer(kAuthenticodeStampRequestOid), content}));
    return std::string(request.begin(), request.end());
}

std::string decodedAuthenticodeReply(const std::string &reply)
{
    if (!reply.empty() && static_cast<unsigned char>(reply[0]) == 0x30)
        return reply; // DER as it is
    std::string text;
    for (char c : reply) {
        if (!std::isspace(static_cast<unsigned char>(c)))
            text += c;
    }
    if (text.empty() || text.size() % 4 != 0)
        return {};
    std::string der(text.size() / 4 * 3, '\0');
    const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char *>(der.data()),
                                  reinterpret_cast<const unsigned char *>(text.data()), static_cast<int>(text.size()));
    if (n < 0)
        return {};
    size_t length = static_cast<size_t>(n);
    for (size_t i = text.size(); i > 0 && text[i - 1] == '=' && length > 0; --i)
        --length; // EVP_DecodeBlock counts the padding as zeros
    der.resize(length);
    return der;
}

bool stampSignature(PKCS7 *p7, PKCS7_SIGNER_INFO *si, TimeStamping &stamping)
{
    // One deadline for the file: /t's retry as RFC 3161 gets what is left
    // of it, so a slow server costs the time the message names, not twice.
    const auto deadline = timeStampDeadline();
    while (const std::optional<TimeStampRequest> wanted = stamping.next()) {
        std::string message;
        const TimeStamping::Attempt attempt = wanted->rfc3161 ? rfc3161Attempt(si, *wanted, deadline, message)
                                                              : authenticodeAttempt(p7, si, *wanted, deadline, message);
        stamping.ended(attempt, message);
    }
    return stamping.stamped();
}

} // namespace signtool
