#include "SignatureEdit.h"

#include "DerReader.h"

#include <algorithm>
#include <optional>
#include <vector>

namespace signtool {

namespace {

const char kSignedDataOid[] = "1.2.840.113549.1.7.2";
const char kCounterSignatureOid[] = "1.2.840.113549.1.9.6";
const char kNestedSignatureOid[] = "1.3.6.1.4.1.311.2.4.1";

// Appended signatures sit in the unsigned attributes of the one before;
// real files nest one level, a few at most. Deeper is no file anyone made.
constexpr int kMaxNesting = 4;

constexpr unsigned char kSequence = 0x30, kSet = 0x31, kContext0 = 0xA0, kContext1 = 0xA1, kInteger = 0x02;

Bytes bytesOf(const Bytes &der, const DerNode &node)
{
    return Bytes(der.begin() + static_cast<long>(node.start), der.begin() + static_cast<long>(node.end));
}

void append(Bytes &to, const Bytes &more)
{
    to.insert(to.end(), more.begin(), more.end());
}

// The issuer and serial number of a certificate (DER), encoded as a
// SignerInfo's IssuerAndSerialNumber names it; empty when it cannot be read.
Bytes issuerAndSerialOf(const Bytes &der, const DerNode &certificate)
{
    const auto parts = derChildren(der, certificate);
    if (!parts || parts->empty() || (*parts)[0].tag != kSequence)
        return {};
    const auto tbs = derChildren(der, (*parts)[0]);
    if (!tbs)
        return {};
    const size_t serial = !tbs->empty() && (*tbs)[0].tag == kContext0 ? 1 : 0; // [0] version
    if (tbs->size() < serial + 3 || (*tbs)[serial].tag != kInteger || (*tbs)[serial + 2].tag != kSequence)
        return {};
    return derElement(kSequence, concat({bytesOf(der, (*tbs)[serial + 2]), bytesOf(der, (*tbs)[serial])}));
}

// The issuer-and-serial names of signers, a handful per signature. (A
// std::set of byte vectors makes GCC 12 warn about its own memcmp.)
class Names {
public:
    void insert(const Bytes &name)
    {
        if (!contains(name))
            m_names.push_back(name);
    }
    bool contains(const Bytes &name) const { return std::find(m_names.begin(), m_names.end(), name) != m_names.end(); }
    const std::vector<Bytes> &all() const { return m_names; }

private:
    std::vector<Bytes> m_names;
};

struct Editor {
    SignatureCut cut;
    std::string error;

    bool fail(const char *why)
    {
        if (error.empty())
            error = why;
        return false;
    }

    // The unsigned attributes [1] of a signer with the appended signatures'
    // certificates cut; the counter-signers' names go to `signers`.
    bool editUnsigned(const Bytes &der, const DerNode &attributes, Names &signers, Bytes &out, int depth)
    {
        const Bytes counterSignature = oidDer(kCounterSignatureOid);
        const Bytes nested = oidDer(kNestedSignatureOid);
        const auto list = derChildren(der, attributes);
        if (!list)
            return fail("its unsigned attributes cannot be read");
        Bytes content;
        for (const DerNode &attribute : *list) {
            const auto parts = derChildren(der, attribute);
            if (attribute.tag != kSequence || !parts || parts->size() != 2 || (*parts)[1].tag != kSet)
                return fail("an unsigned attribute cannot be read");
            const Bytes type = bytesOf(der, (*parts)[0]);
            const auto values = derChildren(der, (*parts)[1]);
            if (!values)
                return fail("an unsigned attribute cannot be read");
            if (type == counterSignature) {
                for (const DerNode &value : *values) {
                    const auto fields = derChildren(der, value);
                    if (value.tag == kSequence && fields && fields->size() > 1)
                        signers.insert(bytesOf(der, (*fields)[1]));
                }
            }
            if (type != nested || !cut.certificates) {
                append(content, bytesOf(der, attribute));
                continue;
            }
            Bytes set;
            for (const DerNode &value : *values) {
                const Bytes edited = editContentInfo(bytesOf(der, value), depth + 1);
                if (edited.empty())
                    return false;
                append(set, edited);
            }
            append(content, derElement(kSequence, concat({type, derElement(kSet, set)})));
        }
        out = derElement(attributes.tag, content);
        return true;
    }

    // One SignerInfo without its unsigned attributes (/u) or with them
    // edited (/c); its issuer and serial number go to `signers`.
    bool editSigner(const Bytes &der, const DerNode &signer, Names &signers, Bytes &out, int depth)
    {
        const auto fields = derChildren(der, signer);
        if (signer.tag != kSequence || !fields || fields->size() < 5 || (*fields)[1].tag != kSequence)
            return fail("its signer cannot be read");
        signers.insert(bytesOf(der, (*fields)[1]));
        Bytes content;
        for (size_t i = 0; i < fields->size(); ++i) {
            const DerNode &field = (*fields)[i];
            // [1], written constructed (DER) or, by some signers, primitive.
            const bool unsignedAttributes = i + 1 == fields->size() && i >= 5 && (field.tag & 0xDF) == 0x81;
            if (unsignedAttributes && cut.unauthenticated)
                continue;
            if (unsignedAttributes && field.tag == kContext1 && cut.certificates) {
                Bytes edited;
                if (!editUnsigned(der, field, signers, edited, depth))
                    return false;
                append(content, edited);
                continue;
            }
            append(content, bytesOf(der, field));
        }
        out = derElement(kSequence, content);
        return true;
    }

    // The certificates [0] with only those of `signers`; every signer
    // (but a counter-signer, which may carry its own elsewhere) must keep
    // its certificate.
    bool keepSignersCertificates(const Bytes &der, const DerNode &certificates, const Names &signers,
                                 const Names &mainSigners, Bytes &out)
    {
        const auto list = derChildren(der, certificates);
        if (!list)
            return fail("its certificates cannot be read");
        Bytes kept;
        Names found;
        for (const DerNode &certificate : *list) {
            const Bytes name = certificate.tag == kSequence ? issuerAndSerialOf(der, certificate) : Bytes();
            if (!name.empty() && signers.contains(name) && !found.contains(name)) {
                append(kept, bytesOf(der, certificate));
                found.insert(name);
            }
        }
        for (const Bytes &name : mainSigners.all()) {
            if (!found.contains(name))
                return fail("the signer's certificate is not in it");
        }
        out = derElement(certificates.tag, kept);
        return true;
    }

    Bytes editContentInfo(const Bytes &der, int depth)
    {
        if (depth > kMaxNesting) {
            fail("its signatures are nested too deeply");
            return {};
        }
        const auto root = derNodeAt(der, 0, der.size());
        const auto top = root && root->tag == kSequence && root->end == der.size() ? derChildren(der, *root)
                                                                                    : std::nullopt;
        if (!top || top->size() != 2 || bytesOf(der, (*top)[0]) != oidDer(kSignedDataOid)
            || (*top)[1].tag != kContext0) {
            fail("it is not a PKCS#7 signature");
            return {};
        }
        const auto wrapped = derChildren(der, (*top)[1]);
        const auto fields = wrapped && wrapped->size() == 1 && (*wrapped)[0].tag == kSequence
                                ? derChildren(der, (*wrapped)[0])
                                : std::nullopt;
        if (!fields || fields->size() < 4 || fields->back().tag != kSet) {
            fail("its SignedData cannot be read");
            return {};
        }
        const auto signerInfos = derChildren(der, fields->back());
        if (!signerInfos || signerInfos->empty()) {
            fail("it has no signer");
            return {};
        }
        Names signers;
        Bytes signersContent;
        for (const DerNode &signer : *signerInfos) {
            Bytes edited;
            if (!editSigner(der, signer, signers, edited, depth))
                return {};
            append(signersContent, edited);
        }
        // The signers proper, whose certificates must stay; counter-signers
        // were added to `signers` as their attributes were read.
        Names mainSigners;
        for (const DerNode &signer : *signerInfos)
            mainSigners.insert(bytesOf(der, (*derChildren(der, signer))[1]));
        Bytes content;
        for (size_t i = 0; i + 1 < fields->size(); ++i) {
            const DerNode &field = (*fields)[i];
            if (i >= 3 && field.tag == kContext0 && cut.certificates) {
                Bytes kept;
                if (!keepSignersCertificates(der, field, signers, mainSigners, kept))
                    return {};
                append(content, kept);
                continue;
            }
            append(content, bytesOf(der, field));
        }
        append(content, derElement(kSet, signersContent));
        return derElement(kSequence, concat({bytesOf(der, (*top)[0]),
                                             derElement(kContext0, derElement(kSequence, content))}));
    }
};

} // namespace

Bytes cutSignature(const Bytes &der, const SignatureCut &cut, std::string &error)
{
    Editor editor;
    editor.cut = cut;
    Bytes edited = editor.editContentInfo(der, 0);
    if (edited.empty())
        error = editor.error.empty() ? "it cannot be read" : editor.error;
    return edited;
}

} // namespace signtool
