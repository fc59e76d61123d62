#pragma once

// Ownership of OpenSSL's objects for both tools: one deleter that knows how
// each kind is freed, so that a std::unique_ptr of any of them is written
// the same way everywhere and no object is freed with the wrong function.

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/ocsp.h>
#include <openssl/pkcs12.h>
#include <openssl/pkcs7.h>
#include <openssl/ts.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>

namespace sdktool {

struct OsslDeleter {
    void operator()(BIO *p) const { BIO_free_all(p); }
    void operator()(EVP_PKEY *p) const { EVP_PKEY_free(p); }
    void operator()(X509 *p) const { X509_free(p); }
    void operator()(PKCS12 *p) const { PKCS12_free(p); }
    void operator()(PKCS7 *p) const { PKCS7_free(p); }
    void operator()(STACK_OF(X509) *p) const { sk_X509_pop_free(p, X509_free); }
    void operator()(X509_STORE *p) const { X509_STORE_free(p); }
    void operator()(X509_STORE_CTX *p) const { X509_STORE_CTX_free(p); }
    void operator()(X509_SIG *p) const { X509_SIG_free(p); }
    void operator()(X509_CRL *p) const { X509_CRL_free(p); }
    void operator()(PKCS7_SIGNER_INFO *p) const { PKCS7_SIGNER_INFO_free(p); }
    void operator()(ASN1_OBJECT *p) const { ASN1_OBJECT_free(p); }
    void operator()(EXTENDED_KEY_USAGE *p) const { sk_ASN1_OBJECT_pop_free(p, ASN1_OBJECT_free); }
    void operator()(TS_REQ *p) const { TS_REQ_free(p); }
    void operator()(TS_RESP *p) const { TS_RESP_free(p); }
    void operator()(TS_TST_INFO *p) const { TS_TST_INFO_free(p); }
    void operator()(TS_VERIFY_CTX *p) const { TS_VERIFY_CTX_free(p); }
    void operator()(OCSP_REQUEST *p) const { OCSP_REQUEST_free(p); }
    void operator()(OCSP_RESPONSE *p) const { OCSP_RESPONSE_free(p); }
    void operator()(OCSP_BASICRESP *p) const { OCSP_BASICRESP_free(p); }
    void operator()(OCSP_CERTID *p) const { OCSP_CERTID_free(p); }
};

template <typename T>
using OsslPtr = std::unique_ptr<T, OsslDeleter>;

using BioPtr = OsslPtr<BIO>;
using KeyPtr = OsslPtr<EVP_PKEY>;
using CertPtr = OsslPtr<X509>;
using Pkcs12Ptr = OsslPtr<PKCS12>;
using Pkcs7Ptr = OsslPtr<PKCS7>;
using CertStackPtr = OsslPtr<STACK_OF(X509)>;

} // namespace sdktool
