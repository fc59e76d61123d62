#pragma once

// The few DER pieces that the tool writes by hand, where OpenSSL has no
// type for the structure: Microsoft's SpcIndirectDataContent and
// SpcSpOpusInfo, and the Authenticode time-stamp request.

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

} // namespace signtool
