#include "DerReader.h"

namespace signtool {

std::optional<DerNode> derNodeAt(const Bytes &der, size_t at, size_t limit)
{
    if (limit > der.size() || at >= limit || limit - at < 2 || (der[at] & 0x1F) == 0x1F)
        return std::nullopt;
    DerNode node;
    node.tag = der[at];
    node.start = at;
    size_t pos = at + 1;
    size_t length = der[pos++];
    if (length & 0x80) {
        const size_t bytes = length & 0x7F;
        if (bytes == 0 || bytes > 4 || limit - pos < bytes)
            return std::nullopt;
        length = 0;
        for (size_t i = 0; i < bytes; ++i)
            length = (length << 8) | der[pos++];
    }
    if (limit - pos < length)
        return std::nullopt;
    node.contentStart = pos;
    node.end = pos + length;
    return node;
}

std::optional<std::vector<DerNode>> derChildren(const Bytes &der, const DerNode &parent)
{
    std::vector<DerNode> children;
    for (size_t at = parent.contentStart; at < parent.end;) {
        const auto child = derNodeAt(der, at, parent.end);
        if (!child)
            return std::nullopt;
        children.push_back(*child);
        at = child->end;
    }
    return children;
}

} // namespace signtool
