#include "SignatureSplice.h"

#include <algorithm>

namespace signtool {

namespace {

const char kNestedSignatureOid[] = "1.3.6.1.4.1.311.2.4.1";
const char kCounterSignatureOid[] = "1.2.840.113549.1.9.6";
const char kRfc3161TokenOid[] = "1.3.6.1.4.1.311.3.3.1";
constexpr unsigned char kUnsignedAttributes = 0xA1;
constexpr unsigned char kCertificates = 0xA0;

// One element: its tag, where it starts, where its content starts and
// where it ends. Definite lengths only, as DER has.
struct Node {
    unsigned char tag = 0;
    size_t start = 0;
    size_t contentStart = 0;
    size_t end = 0;
};

std::optional<Node> nodeAt(const Bytes &der, size_t at, size_t limit)
{
    if (limit > der.size() || at >= limit || limit - at < 2 || (der[at] & 0x1F) == 0x1F)
        return std::nullopt;
    Node node;
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

// The elements that fill `parent`'s content exactly; nullopt otherwise.
std::optional<std::vector<Node>> childrenOf(const Bytes &der, const Node &parent)
{
    std::vector<Node> children;
    for (size_t at = parent.contentStart; at < parent.end;) {
        const auto child = nodeAt(der, at, parent.end);
        if (!child)
            return std::nullopt;
        children.push_back(*child);
        at = child->end;
    }
    return children;
}

Bytes slice(const Bytes &der, size_t from, size_t to)
{
    return Bytes(der.begin() + static_cast<long>(from), der.begin() + static_cast<long>(to));
}

// `der` with the last element of `path` (each element a child of the one
// before, the first the whole) replaced by `replacement`: every element on
// the path is written again around it, nothing else changes.
Bytes splice(const Bytes &der, const std::vector<Node> &path, const Bytes &replacement)
{
    Bytes replaced = replacement;
    for (size_t i = path.size() - 1; i > 0; --i) {
        const Node &child = path[i];
        const Node &parent = path[i - 1];
        replaced = derElement(parent.tag, concat({slice(der, parent.contentStart, child.start), replaced,
                                                  slice(der, child.end, parent.end)}));
    }
    return replaced;
}

// ContentInfo -> [0] -> SignedData: the path, or nullopt.
std::optional<std::vector<Node>> signedDataPath(const Bytes &der)
{
    const auto root = nodeAt(der, 0, der.size());
    if (!root || root->tag != 0x30 || root->end != der.size())
        return std::nullopt;
    const auto rootChildren = childrenOf(der, *root);
    if (!rootChildren || rootChildren->size() != 2 || (*rootChildren)[1].tag != 0xA0)
        return std::nullopt;
    const auto explicitChildren = childrenOf(der, (*rootChildren)[1]);
    if (!explicitChildren || explicitChildren->size() != 1 || (*explicitChildren)[0].tag != 0x30)
        return std::nullopt;
    return std::vector<Node>{*root, (*rootChildren)[1], (*explicitChildren)[0]};
}

// ... -> signerInfos -> the only SignerInfo.
std::optional<std::vector<Node>> signerPath(const Bytes &der)
{
    auto path = signedDataPath(der);
    const auto signedData = path ? childrenOf(der, path->back()) : std::nullopt;
    if (!signedData || signedData->empty() || signedData->back().tag != 0x31)
        return std::nullopt;
    path->push_back(signedData->back());
    const auto signers = childrenOf(der, path->back());
    if (!signers || signers->size() != 1 || (*signers)[0].tag != 0x30)
        return std::nullopt;
    path->push_back((*signers)[0]);
    return path;
}

bool attributeIs(const Bytes &der, const Node &attribute, const char *oid)
{
    const auto children = childrenOf(der, attribute);
    if (!children || children->empty() || (*children)[0].tag != 0x06)
        return false;
    return slice(der, (*children)[0].start, (*children)[0].end) == oidDer(oid);
}

// The signer's unsigned attributes ([1]), when it has them; `absent` set
// when it has none; nullopt (and `absent` false) when they are written in
// a form that cannot be kept (primitive 0x81).
std::optional<Node> unsignedAttributes(const Bytes &der, const Node &signer, bool &absent)
{
    absent = false;
    const auto children = childrenOf(der, signer);
    if (!children || children->empty())
        return std::nullopt;
    const Node &last = children->back();
    constexpr unsigned char kTagNumberMask = 0xDF;
    if ((last.tag & kTagNumberMask) == (kUnsignedAttributes & kTagNumberMask)) {
        if (last.tag != kUnsignedAttributes)
            return std::nullopt;
        return last;
    }
    absent = true;
    return std::nullopt;
}

// Each appended signature's element with the path down to it.
struct Appended {
    std::vector<Node> path;
};

std::optional<std::vector<Appended>> appendedOf(const Bytes &primary)
{
    const auto path = signerPath(primary);
    if (!path)
        return std::nullopt;
    bool absent = false;
    const auto attributes = unsignedAttributes(primary, path->back(), absent);
    std::vector<Appended> found;
    if (!attributes)
        return absent ? std::optional<std::vector<Appended>>(found) : std::nullopt;
    const auto list = childrenOf(primary, *attributes);
    if (!list)
        return std::nullopt;
    for (const Node &attribute : *list) {
        if (!attributeIs(primary, attribute, kNestedSignatureOid))
            continue;
        const auto parts = childrenOf(primary, attribute);
        if (!parts || parts->size() != 2 || (*parts)[1].tag != 0x31)
            continue;
        const auto values = childrenOf(primary, (*parts)[1]);
        if (!values)
            return std::nullopt;
        for (const Node &value : *values) {
            // Counted as the verifier reads them: a value that is no
            // SEQUENCE is no signature.
            if (value.tag != 0x30)
                continue;
            Appended one;
            one.path = *path;
            one.path.insert(one.path.end(), {*attributes, attribute, (*parts)[1], value});
            found.push_back(std::move(one));
        }
    }
    return found;
}

} // namespace

Bytes withTimeStamp(const Bytes &signature, const Bytes &stampAttribute, const std::vector<Bytes> &certificates)
{
    auto path = signerPath(signature);
    if (!path)
        return {};
    bool absent = false;
    const auto attributes = unsignedAttributes(signature, path->back(), absent);
    if (!attributes && !absent)
        return {};
    Bytes stamped;
    if (attributes) {
        const auto list = childrenOf(signature, *attributes);
        if (!list)
            return {};
        // A new time stamp replaces the old one, as on Windows.
        Bytes kept;
        for (const Node &attribute : *list) {
            if (!attributeIs(signature, attribute, kCounterSignatureOid)
                && !attributeIs(signature, attribute, kRfc3161TokenOid))
                kept = concat({kept, slice(signature, attribute.start, attribute.end)});
        }
        path->push_back(*attributes);
        stamped = splice(signature, *path, derElement(kUnsignedAttributes, concat({kept, stampAttribute})));
    } else {
        const Node &signer = path->back();
        stamped = splice(signature, *path,
                         derElement(signer.tag, concat({slice(signature, signer.contentStart, signer.end),
                                                        derElement(kUnsignedAttributes, stampAttribute)})));
    }
    if (certificates.empty())
        return stamped;
    // The time-stamp server's certificates follow the SignedData's own.
    auto dataPath = signedDataPath(stamped);
    const auto parts = dataPath ? childrenOf(stamped, dataPath->back()) : std::nullopt;
    if (!parts || parts->size() < 4)
        return {};
    Bytes added;
    for (const Bytes &cert : certificates)
        added = concat({added, cert});
    // version, digestAlgorithms, contentInfo, then [0] certificates if any.
    const Node &afterContent = (*parts)[3];
    if (afterContent.tag == kCertificates) {
        dataPath->push_back(afterContent);
        return splice(stamped, *dataPath,
                      derElement(kCertificates, concat({slice(stamped, afterContent.contentStart, afterContent.end),
                                                        added})));
    }
    const Node &signedData = dataPath->back();
    return splice(stamped, *dataPath,
                  derElement(signedData.tag,
                             concat({slice(stamped, signedData.contentStart, afterContent.start),
                                     derElement(kCertificates, added),
                                     slice(stamped, afterContent.start, signedData.end)})));
}

int appendedSignatureCount(const Bytes &primary)
{
    const auto appended = appendedOf(primary);
    return appended ? static_cast<int>(appended->size()) : -1;
}

std::optional<Bytes> appendedSignature(const Bytes &primary, int index)
{
    const auto appended = appendedOf(primary);
    if (!appended || index < 1 || static_cast<size_t>(index) > appended->size())
        return std::nullopt;
    const Node &value = (*appended)[static_cast<size_t>(index - 1)].path.back();
    return slice(primary, value.start, value.end);
}

Bytes withAppendedSignature(const Bytes &primary, int index, const Bytes &replacement)
{
    const auto appended = appendedOf(primary);
    if (!appended || index < 1 || static_cast<size_t>(index) > appended->size())
        return {};
    return splice(primary, (*appended)[static_cast<size_t>(index - 1)].path, replacement);
}

} // namespace signtool
