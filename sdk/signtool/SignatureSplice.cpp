#include "SignatureSplice.h"

#include "DerReader.h"

#include <algorithm>

namespace signtool {

namespace {

const char kNestedSignatureOid[] = "1.3.6.1.4.1.311.2.4.1";
const char kCounterSignatureOid[] = "1.2.840.113549.1.9.6";
const char kRfc3161TokenOid[] = "1.3.6.1.4.1.311.3.3.1";
constexpr unsigned char kUnsignedAttributes = 0xA1;
constexpr unsigned char kCertificates = 0xA0;

Bytes slice(const Bytes &der, size_t from, size_t to)
{
    return Bytes(der.begin() + static_cast<long>(from), der.begin() + static_cast<long>(to));
}

// `der` with the last element of `path` (each element a child of the one
// before, the first the whole) replaced by `replacement`: every element on
// the path is written again around it, nothing else changes.
Bytes splice(const Bytes &der, const std::vector<DerNode> &path, const Bytes &replacement)
{
    Bytes replaced = replacement;
    for (size_t i = path.size() - 1; i > 0; --i) {
        const DerNode &child = path[i];
        const DerNode &parent = path[i - 1];
        replaced = derElement(parent.tag, concat({slice(der, parent.contentStart, child.start), replaced,
                                                  slice(der, child.end, parent.end)}));
    }
    return replaced;
}

// ContentInfo -> [0] -> SignedData: the path, or nullopt.
std::optional<std::vector<DerNode>> signedDataPath(const Bytes &der)
{
    const auto root = derNodeAt(der, 0, der.size());
    if (!root || root->tag != 0x30 || root->end != der.size())
        return std::nullopt;
    const auto rootChildren = derChildren(der, *root);
    if (!rootChildren || rootChildren->size() != 2 || (*rootChildren)[1].tag != 0xA0)
        return std::nullopt;
    const auto explicitChildren = derChildren(der, (*rootChildren)[1]);
    if (!explicitChildren || explicitChildren->size() != 1 || (*explicitChildren)[0].tag != 0x30)
        return std::nullopt;
    return std::vector<DerNode>{*root, (*rootChildren)[1], (*explicitChildren)[0]};
}

// ... -> signerInfos -> the only SignerInfo.
std::optional<std::vector<DerNode>> signerPath(const Bytes &der)
{
    auto path = signedDataPath(der);
    const auto signedData = path ? derChildren(der, path->back()) : std::nullopt;
    if (!signedData || signedData->empty() || signedData->back().tag != 0x31)
        return std::nullopt;
    path->push_back(signedData->back());
    const auto signers = derChildren(der, path->back());
    if (!signers || signers->size() != 1 || (*signers)[0].tag != 0x30)
        return std::nullopt;
    path->push_back((*signers)[0]);
    return path;
}

bool attributeIs(const Bytes &der, const DerNode &attribute, const char *oid)
{
    const auto children = derChildren(der, attribute);
    if (!children || children->empty() || (*children)[0].tag != 0x06)
        return false;
    return slice(der, (*children)[0].start, (*children)[0].end) == oidDer(oid);
}

// The signer's unsigned attributes ([1]), when it has them; `absent` set
// when it has none; nullopt (and `absent` false) when they are written in
// a form that cannot be kept (primitive 0x81).
std::optional<DerNode> unsignedAttributes(const Bytes &der, const DerNode &signer, bool &absent)
{
    absent = false;
    const auto children = derChildren(der, signer);
    if (!children || children->empty())
        return std::nullopt;
    const DerNode &last = children->back();
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
    std::vector<DerNode> path;
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
    const auto list = derChildren(primary, *attributes);
    if (!list)
        return std::nullopt;
    for (const DerNode &attribute : *list) {
        if (!attributeIs(primary, attribute, kNestedSignatureOid))
            continue;
        const auto parts = derChildren(primary, attribute);
        if (!parts || parts->size() != 2 || (*parts)[1].tag != 0x31)
            continue;
        const auto values = derChildren(primary, (*parts)[1]);
        if (!values)
            return std::nullopt;
        for (const DerNode &value : *values) {
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
        const auto list = derChildren(signature, *attributes);
        if (!list)
            return {};
        // A new time stamp replaces the old one, as on Windows.
        Bytes kept;
        for (const DerNode &attribute : *list) {
            if (!attributeIs(signature, attribute, kCounterSignatureOid)
                && !attributeIs(signature, attribute, kRfc3161TokenOid))
                kept = concat({kept, slice(signature, attribute.start, attribute.end)});
        }
        path->push_back(*attributes);
        stamped = splice(signature, *path, derElement(kUnsignedAttributes, concat({kept, stampAttribute})));
    } else {
        const DerNode &signer = path->back();
        stamped = splice(signature, *path,
                         derElement(signer.tag, concat({slice(signature, signer.contentStart, signer.end),
                                                        derElement(kUnsignedAttributes, stampAttribute)})));
    }
    if (certificates.empty())
        return stamped;
    // The time-stamp server's certificates follow the SignedData's own.
    auto dataPath = signedDataPath(stamped);
    const auto parts = dataPath ? derChildren(stamped, dataPath->back()) : std::nullopt;
    if (!parts || parts->size() < 4)
        return {};
    Bytes added;
    for (const Bytes &cert : certificates)
        added = concat({added, cert});
    // version, digestAlgorithms, contentInfo, then [0] certificates if any.
    const DerNode &afterContent = (*parts)[3];
    if (afterContent.tag == kCertificates) {
        dataPath->push_back(afterContent);
        return splice(stamped, *dataPath,
                      derElement(kCertificates, concat({slice(stamped, afterContent.contentStart, afterContent.end),
                                                        added})));
    }
    const DerNode &signedData = dataPath->back();
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
    const DerNode &value = (*appended)[static_cast<size_t>(index - 1)].path.back();
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
