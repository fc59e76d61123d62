#pragma once

// The few DER pieces that the tool writes by hand, where OpenSSL has no
// type for the structure: Microsoft's SpcIndirectDataContent and
// SpcSpOpusInfo, and the Authenticode time-stamp request; and the DER of
// OpenSSL's own objects as bytes.

#include <cstddef>
#include <initializer_list>
#include <vector>

namespace signtool {

using Bytes = std::vector<unsigned char>;

// One DER element: tag, definite length, content.
Bytes derElement(unsigned char tag, const Bytes &content);

// The DER of an OBJECT IDENTIFIER in dotted form; empty when it is none.
Bytes oidDer(const char *oid);

// The parts one after the other.
Bytes concat(std::initializer_list<Bytes> parts);

// The DER of one of OpenSSL's objects, written by its i2d function
// (derOf<PKCS7, i2d_PKCS7>(p7)); empty when it cannot be written.
template <typename T, int (*encode)(const T *, unsigned char **)>
Bytes derOf(const T *value)
{
    const int n = value ? encode(value, nullptr) : 0;
    if (n <= 0)
        return {};
    Bytes out(static_cast<size_t>(n));
    unsigned char *p = out.data();
    if (encode(value, &p) != n)
        return {};
    return out;
}

} // namespace signtool
