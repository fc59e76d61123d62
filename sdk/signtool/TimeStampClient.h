#pragma once

// Time stamps for signatures made in this process: the request is made
// here and sent through the relay's HTTP client (TimeStampRelay.h), with
// the same bounds and the same checks of the reply, and the token goes
// into the signer's unsigned attributes before the signature is written
// out. RFC 3161 (/tr, and /t's retry) adds the token as
// 1.3.6.1.4.1.311.3.3.1; the Authenticode protocol (/t) adds the server's
// counter-signature (and its certificates). The signed copy is checked
// afterwards as any other (SignatureCheck.h): imprint, token signature,
// the signer's purpose.

#include "TimeStamp.h"

#include <openssl/pkcs7.h>

#include <string>

namespace signtool {

// Runs the requests of `stamping` one after the other until one stamps the
// signature of `si` (in `p7`) or none is left; true when stamped, otherwise
// stamping.error() says why.
bool stampSignature(PKCS7 *p7, PKCS7_SIGNER_INFO *si, TimeStamping &stamping);

// The DER of an Authenticode time-stamp request for a signature value, and
// the counter-signature in a server's reply (base64 or DER of a PKCS#7
// SignedData), exposed for tests.
std::string authenticodeStampRequest(const unsigned char *signature, size_t size);
std::string decodedAuthenticodeReply(const std::string &reply);

} // namespace signtool
