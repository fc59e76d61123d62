#pragma once

// Changes to an Authenticode signature (a PKCS#7 SignedData in DER) made in
// its bytes rather than by encoding the structure anew: only the elements
// on the path to what changes are written again (their lengths change),
// every other byte stays as it was. OpenSSL, encoding a signature, would
// sort each SET OF by content, which moves appended signatures (their
// index is their place) and unsigned attributes about.

#include "DerWriter.h"

#include <optional>
#include <vector>

namespace signtool {

// `signature` with its only signer's time stamps (an Authenticode
// counter-signature, an RFC 3161 token) replaced by `stampAttribute` (one
// DER Attribute), placed after the signer's other unsigned attributes, and
// `certificates` (DER) added after the SignedData's own. Empty when the
// signature is not of the form this reads (one signer, DER lengths, [1]
// constructed).
Bytes withTimeStamp(const Bytes &signature, const Bytes &stampAttribute, const std::vector<Bytes> &certificates);

// How many signatures are appended to `primary` (values of its signer's
// 1.3.6.1.4.1.311.2.4.1 attributes, in order); -1 when it cannot be read.
int appendedSignatureCount(const Bytes &primary);

// The DER of appended signature `index` (1 the first appended) of
// `primary`; nullopt when there is none.
std::optional<Bytes> appendedSignature(const Bytes &primary, int index);

// `primary` with appended signature `index` replaced by `replacement`;
// empty when there is no such signature.
Bytes withAppendedSignature(const Bytes &primary, int index, const Bytes &replacement);

} // namespace signtool
