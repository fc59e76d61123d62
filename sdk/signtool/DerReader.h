#pragma once

// Reading DER by hand, for the edits that must keep every other byte of a
// signature as it is (OpenSSL would encode a structure anew): where each
// element starts and ends, nothing decoded.

#include "DerWriter.h"

#include <cstddef>
#include <optional>
#include <vector>

namespace signtool {

// One element: its tag, where it starts, where its content starts and
// where it ends. Only what DER allows: one-byte tags, definite lengths.
struct DerNode {
    unsigned char tag = 0;
    size_t start = 0;
    size_t contentStart = 0;
    size_t end = 0;
};

// The element at `at`, which must end by `limit` (at most der.size()).
std::optional<DerNode> derNodeAt(const Bytes &der, size_t at, size_t limit);

// The elements that fill `parent`'s content exactly; nullopt otherwise.
std::optional<std::vector<DerNode>> derChildren(const Bytes &der, const DerNode &parent);

} // namespace signtool
