#pragma once

// Signing in steps, as Microsoft's SignTool does it, so that a key that
// never leaves an HSM or another machine can sign program files:
//
//   sign /dg DIR FILE...   (the certificate chosen as usual; no private key
//                          is used) writes DIR/FILE.dig, the base64 of the
//                          digest the key must sign (the signed attributes'
//                          hash, under /fd), and DIR/FILE.p7u, the
//                          Authenticode signature without its value; /dxml
//                          also DIR/FILE.dig.xml, the same in XML;
//   sign /ds FILE.dig...   signs each digest with the chosen key into
//                          FILE.dig.signed (base64) beside it;
//   sign /di DIR FILE...   puts DIR/FILE.dig.signed into DIR/FILE.p7u and
//                          embeds that signature in FILE, as ordinary signing
//                          does (Signer.h): the signature must verify with
//                          the .p7u's certificate, and the file's digest,
//                          made while it is copied, must be the one the .p7u
//                          signs, or the file changed since /dg. /t and /tr
//                          stamp it there.
//
// FILE stands for the file's name without its folder. The folder's files
// are read without following a link (only regular files, bounded in size)
// and written through exclusive temporaries renamed over the name, so a
// link planted in a shared folder is replaced, never written through.
// Program files only: osslsigncode, which signs the other formats, cannot
// split its signing this way.

#include "PeSigner.h"

#include <openssl/pkcs7.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace signtool {

using Bytes = std::vector<unsigned char>;

// Base64 without line breaks, and back (blanks and line ends ignored;
// nullopt when it is not base64).
std::string base64Text(const Bytes &bytes);
std::optional<Bytes> fromBase64(const std::string &text);

// The digest a signer's key signs: the DER of its signed attributes (as the
// SET they are signed as) hashed with `md`.
std::optional<Bytes> signedAttributesDigest(PKCS7_SIGNER_INFO *si, const EVP_MD *md);

// The signature value of `key` over a digest made with `md` (PKCS#1 v1.5
// with the digest's DigestInfo for RSA, DER for ECDSA), as
// PKCS7_SIGNER_INFO_sign makes it; empty with `error` set on failure.
Bytes signDigestValue(EVP_PKEY *key, const EVP_MD *md, const Bytes &digest, std::string &error);

// FILE.dig.xml: the digest, its algorithm and the signer's certificate.
std::string digestXml(const Bytes &digest, const EVP_MD *md, X509 *cert);

// The digest a .dig file holds: its base64 text, or the <Digest> of the XML
// form; nullopt when it holds neither.
std::optional<Bytes> digestOfDigFile(const std::string &content);

// A .p7u with its .dig.signed put in: the signature, its signer and the
// file digest it vouches for.
struct IngestedSignature {
    sdktool::Pkcs7Ptr p7;
    sdktool::CertPtr signer;
    KnownDigest fileDigest;
    std::string p7uShown; // "DIR/FILE.p7u", for messages
};

// Reads DIR/FILE.p7u and DIR/FILE.dig.signed (`folder` open on DIR, shown
// as `folderShown`) and checks that the signature verifies with the
// certificate the .p7u names; nullopt with `error` set (the end of a
// sentence) otherwise.
std::optional<IngestedSignature> readIngestedSignature(int folder, const std::string &folderShown,
                                                       const std::string &fileName, std::string &error);

// The SignedData (DER) to embed once the file's digest `made` is known:
// refused when it is not the one the .p7u signs (the file changed after
// /dg). `beforeWriting` adds the time stamp.
Bytes completeIngestedSignature(IngestedSignature &ingested, const KnownDigest &made,
                                const std::function<std::string(PKCS7 *, PKCS7_SIGNER_INFO *)> &beforeWriting,
                                std::string &error);

// The name of `path` without its folder.
std::string fileNameOf(const std::string &path);

// Files of a folder of the steps, without following links.
bool readInFolder(int folder, const std::string &name, size_t maxBytes, std::string &data, std::string &error);
std::string writeInFolder(int folder, const std::string &name, const std::string &data);

} // namespace signtool
