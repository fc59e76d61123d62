#pragma once

// Parts taken out of an Authenticode signature (PKCS#7 SignedData, DER) for
// "remove /c" and "remove /u", by editing its encoding rather than decoding
// and encoding it anew: everything that stays keeps its bytes, so the
// signatures over it stay valid whatever encoder made them (OpenSSL would
// re-sort SETs and re-encode what another signer wrote differently).

#include "DerWriter.h"

#include <string>

namespace signtool {

struct SignatureCut {
    // Every certificate of the SignedData but those that sign something in
    // it: the signer's, and a legacy time stamp's counter-signer's while the
    // time stamp stays. Appended signatures lose theirs alike.
    bool certificates = false;
    // The signers' unauthenticated attributes: time stamps (legacy and RFC
    // 3161) and appended signatures.
    bool unauthenticated = false;
};

// `der` (a ContentInfo of SignedData) without what `cut` names; empty with
// `error` set (a few words) when it is not a SignedData that can be read,
// or when no certificate of a signer would be left.
Bytes cutSignature(const Bytes &der, const SignatureCut &cut, std::string &error);

} // namespace signtool
