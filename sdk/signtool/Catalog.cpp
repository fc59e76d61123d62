#include "Catalog.h"

#include "PeImage.h"

#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

using namespace sdktool;

namespace signtool {

namespace {

const char kIndirectDataOid[] = "1.3.6.1.4.1.311.2.1.4";
const char kNameValueOid[] = "1.3.6.1.4.1.311.12.2.1";

constexpr unsigned char kInteger = 0x02;
constexpr unsigned char kOctetString = 0x04;
constexpr unsigned char kOid = 0x06;
constexpr unsigned char kBmpString = 0x1E;
constexpr unsigned char kSequence = 0x30;
constexpr unsigned char kSet = 0x31;
constexpr unsigned char kExplicit0 = 0xA0;

// One DER element inside bytes that were checked to hold it.
struct Element {
    unsigned char tag = 0;
    const unsigned char *value = nullptr;
    size_t length = 0;
};

// Walks the elements that follow one another in a range: each one's tag
// and definite length are checked against what is left of the range.
class DerReader {
public:
    DerReader(const unsigned char *data, size_t size) : m_p(data), m_end(data + size) {}
    explicit DerReader(const Element &parent) : DerReader(parent.value, parent.length) {}

    bool atEnd() const { return m_p == m_end; }
    bool failed() const { return m_failed; }

    // The next element; false at the end or when it does not fit.
    bool next(Element &element)
    {
        if (m_failed || atEnd())
            return false;
        const size_t left = static_cast<size_t>(m_end - m_p);
        if (left < 2 || (m_p[0] & 0x1F) == 0x1F) // high tag numbers: none in a catalog
            return fail();
        element.tag = m_p[0];
        size_t length = m_p[1];
        size_t header = 2;
        if (length & 0x80) {
            const size_t bytes = length & 0x7F;
            if (bytes == 0 || bytes > 4 || left < 2 + bytes)
                return fail();
            length = 0;
            for (size_t i = 0; i < bytes; ++i)
                length = length << 8 | m_p[2 + i];
            header += bytes;
        }
        if (length > left - header)
            return fail();
        element.value = m_p + header;
        element.length = length;
        m_p += header + length;
        return true;
    }

private:
    bool fail()
    {
        m_failed = true;
        return false;
    }

    const unsigned char *m_p;
    const unsigned char *m_end;
    bool m_failed = false;
};

std::string oidText(const Element &element)
{
    if (element.tag != kOid || element.length == 0 || element.length > 64)
        return {};
    // OBJ_obj2txt reads the DER of the whole element.
    std::vector<unsigned char> der{kOid, static_cast<unsigned char>(element.length)};
    der.insert(der.end(), element.value, element.value + element.length);
    const unsigned char *p = der.data();
    OsslPtr<ASN1_OBJECT> object(d2i_ASN1_OBJECT(nullptr, &p, static_cast<long>(der.size())));
    char text[100];
    if (!object || OBJ_obj2txt(text, sizeof text, object.get(), 1) <= 0)
        return {};
    return text;
}

// A name-value pair: SEQUENCE { tag BMPString, flags INTEGER, value OCTET
// STRING (UTF-16LE) }.
bool readNameValue(const Element &sequence, std::string &name, std::string &value)
{
    if (sequence.tag != kSequence)
        return false;
    DerReader reader(sequence);
    Element tag, flags, text;
    if (!reader.next(tag) || tag.tag != kBmpString || !reader.next(flags) || flags.tag != kInteger
        || !reader.next(text) || text.tag != kOctetString)
        return false;
    // A BMPString is big-endian: turned around to read it like the value.
    std::vector<unsigned char> swapped(tag.value, tag.value + tag.length);
    for (size_t i = 0; i + 1 < swapped.size(); i += 2)
        std::swap(swapped[i], swapped[i + 1]);
    name = utf8FromUtf16le(swapped.data(), swapped.size());
    value = utf8FromUtf16le(text.value, text.length);
    return true;
}

// SpcIndirectDataContent ::= SEQUENCE { SEQUENCE { type, value },
// DigestInfo SEQUENCE { AlgorithmIdentifier, digest OCTET STRING } }.
bool readIndirectHash(const Element &sequence, std::vector<unsigned char> &hash)
{
    if (sequence.tag != kSequence)
        return false;
    DerReader reader(sequence);
    Element data, digestInfo;
    if (!reader.next(data) || !reader.next(digestInfo) || digestInfo.tag != kSequence)
        return false;
    DerReader info(digestInfo);
    Element algorithm, digest;
    if (!info.next(algorithm) || algorithm.tag != kSequence || !info.next(digest) || digest.tag != kOctetString)
        return false;
    hash.assign(digest.value, digest.value + digest.length);
    return true;
}

// Attribute ::= SEQUENCE { type OID, values SET OF ANY }: the first value.
bool readAttribute(const Element &attribute, std::string &oid, Element &value)
{
    if (attribute.tag != kSequence)
        return false;
    DerReader reader(attribute);
    Element type, values;
    if (!reader.next(type) || !reader.next(values) || values.tag != kSet)
        return false;
    oid = oidText(type);
    DerReader set(values);
    return !oid.empty() && set.next(value);
}

bool readMember(const Element &subject, CatalogMember &member, std::string &problem)
{
    DerReader reader(subject);
    Element identifier;
    if (subject.tag != kSequence || !reader.next(identifier) || identifier.tag != kOctetString) {
        problem = "an entry of its list cannot be read";
        return false;
    }
    member.identifier.assign(identifier.value, identifier.value + identifier.length);
    Element attributes;
    if (!reader.next(attributes))
        return !reader.failed() || (problem = "an entry of its list cannot be read", false);
    DerReader each(attributes);
    for (Element attribute; each.next(attribute);) {
        std::string oid;
        Element value;
        if (!readAttribute(attribute, oid, value)) {
            problem = "an attribute of an entry cannot be read";
            return false;
        }
        std::string name, text;
        if (oid == kIndirectDataOid && !readIndirectHash(value, member.indirectHash)) {
            problem = "the digest of an entry cannot be read";
            return false;
        }
        if (oid == kNameValueOid && readNameValue(value, name, text) && name == "File")
            member.fileName = text;
    }
    if (each.failed()) {
        problem = "the attributes of an entry cannot be read";
        return false;
    }
    return true;
}

// Extensions ::= SEQUENCE OF SEQUENCE { OID, critical BOOLEAN OPTIONAL,
// value OCTET STRING }; a catalog's name-value pairs are among them.
void readCatalogAttributes(const Element &explicit0, Catalog &catalog)
{
    DerReader outer(explicit0);
    Element extensions;
    if (!outer.next(extensions) || extensions.tag != kSequence)
        return;
    DerReader each(extensions);
    for (Element extension; each.next(extension);) {
        DerReader parts(extension);
        Element oid, part, value;
        if (extension.tag != kSequence || !parts.next(oid) || oidText(oid) != kNameValueOid)
            continue;
        while (parts.next(part)) {
            if (part.tag == kOctetString)
                value = part;
        }
        if (!value.value)
            continue;
        DerReader inner(value);
        Element pair;
        std::string name, text;
        if (inner.next(pair) && readNameValue(pair, name, text) && name == "OSAttr")
            catalog.osAttr = text;
    }
}

bool parseTrustList(const unsigned char *data, size_t size, Catalog &catalog, std::string &problem)
{
    DerReader outer(data, size);
    Element list;
    if (!outer.next(list) || list.tag != kSequence) {
        problem = "its certificate trust list cannot be read";
        return false;
    }
    DerReader reader(list);
    Element element;
    std::vector<Element> sequences; // subject usage, algorithm, subjects, in this order
    bool usageIsCatalog = false;
    while (reader.next(element)) {
        if (element.tag == kSequence)
            sequences.push_back(element);
        else if (element.tag == kExplicit0)
            readCatalogAttributes(element, catalog);
    }
    if (reader.failed() || sequences.size() < 2) {
        problem = "its certificate trust list cannot be read";
        return false;
    }
    DerReader usages(sequences[0]);
    for (Element usage; usages.next(usage);)
        usageIsCatalog = usageIsCatalog || oidText(usage) == kCatalogListOid;
    if (!usageIsCatalog) {
        problem = "its certificate trust list is not a catalog's (no usage " + std::string(kCatalogListOid) + ")";
        return false;
    }
    if (sequences.size() < 3)
        return true; // a catalog without members
    DerReader subjects(sequences[2]);
    for (Element subject; subjects.next(subject);) {
        CatalogMember member;
        if (!readMember(subject, member, problem))
            return false;
        catalog.members.push_back(std::move(member));
    }
    if (subjects.failed()) {
        problem = "its list of members cannot be read";
        return false;
    }
    return true;
}

// The hash tag as Windows writes it: upper-case hex digits, UTF-16LE.
std::vector<unsigned char> hashTag(const std::vector<unsigned char> &hash)
{
    std::vector<unsigned char> tag;
    for (char c : hexText(hash.data(), hash.size(), true)) {
        tag.push_back(static_cast<unsigned char>(c));
        tag.push_back(0);
    }
    return tag;
}

bool sameTag(const std::vector<unsigned char> &identifier, const std::vector<unsigned char> &tag)
{
    if (identifier.size() != tag.size() && identifier.size() != tag.size() + 2)
        return false; // the latter: a tag stored with its NUL
    for (size_t i = 0; i < tag.size(); ++i) {
        if (std::toupper(identifier[i]) != tag[i])
            return false;
    }
    return identifier.size() == tag.size() || (identifier[tag.size()] == 0 && identifier[tag.size() + 1] == 0);
}

bool parseUnsigned(const std::string &text, unsigned &value)
{
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    value = static_cast<unsigned>(std::stoul(text));
    return true;
}

} // namespace

std::string utf8FromUtf16le(const unsigned char *data, size_t size)
{
    std::string out;
    for (size_t i = 0; i + 1 < size; i += 2) {
        uint32_t unit = data[i] | data[i + 1] << 8;
        if (unit == 0)
            break;
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 3 < size) {
            const uint32_t low = data[i + 2] | data[i + 3] << 8;
            if (low >= 0xDC00 && low <= 0xDFFF) {
                unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
                i += 2;
            }
        }
        if (unit >= 0xD800 && unit <= 0xDFFF)
            unit = 0xFFFD; // a lone surrogate
        if (unit < 0x80) {
            out += static_cast<char>(unit);
        } else if (unit < 0x800) {
            out += static_cast<char>(0xC0 | unit >> 6);
            out += static_cast<char>(0x80 | (unit & 0x3F));
        } else if (unit < 0x10000) {
            out += static_cast<char>(0xE0 | unit >> 12);
            out += static_cast<char>(0x80 | (unit >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (unit & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | unit >> 18);
            out += static_cast<char>(0x80 | (unit >> 12 & 0x3F));
            out += static_cast<char>(0x80 | (unit >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (unit & 0x3F));
        }
    }
    return out;
}

std::optional<Catalog> parseCatalog(const std::string &der, std::string &problem)
{
    Catalog catalog;
    const unsigned char *p = reinterpret_cast<const unsigned char *>(der.data());
    catalog.p7.reset(d2i_PKCS7(nullptr, &p, static_cast<long>(der.size())));
    ERR_clear_error();
    if (!catalog.p7 || !PKCS7_type_is_signed(catalog.p7.get())) {
        problem = "it is not a PKCS#7 signed file";
        return std::nullopt;
    }
    PKCS7 *content = catalog.p7->d.sign->contents;
    char type[80] = "";
    if (!content || !content->type || OBJ_obj2txt(type, sizeof type, content->type, 1) <= 0
        || std::string(type) != kCtlOid) {
        problem = "it holds no certificate trust list";
        return std::nullopt;
    }
    const ASN1_TYPE *list = content->d.other;
    if (!list || list->type != V_ASN1_SEQUENCE || !list->value.sequence) {
        problem = "its certificate trust list cannot be read";
        return std::nullopt;
    }
    if (!parseTrustList(list->value.sequence->data, static_cast<size_t>(list->value.sequence->length), catalog,
                        problem))
        return std::nullopt;
    return catalog;
}

std::optional<Catalog> readCatalog(int fd, std::string &problem)
{
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        problem = "it is not a file";
        return std::nullopt;
    }
    if (st.st_size == 0) {
        problem = "it is empty";
        return std::nullopt;
    }
    if (static_cast<uint64_t>(st.st_size) > kMaxCatalogBytes) {
        problem = "it is larger than " + sizeText(static_cast<off_t>(kMaxCatalogBytes));
        return std::nullopt;
    }
    std::string der(static_cast<size_t>(st.st_size), '\0');
    if (!readAt(fd, 0, der.data(), der.size())) {
        problem = "it cannot be read: " + errnoText(errno ? errno : EIO);
        return std::nullopt;
    }
    return parseCatalog(der, problem);
}

const CatalogMember *findMember(const Catalog &catalog, const std::vector<unsigned char> &hash)
{
    const std::vector<unsigned char> tag = hashTag(hash);
    for (const CatalogMember &member : catalog.members) {
        if (!sameTag(member.identifier, tag) && member.identifier != hash)
            continue;
        if (!member.indirectHash.empty() && member.indirectHash != hash)
            continue;
        return &member;
    }
    return nullptr;
}

std::optional<OsVersion> parseOsVersion(const std::string &text)
{
    const size_t colon = text.find(':');
    if (colon == std::string::npos)
        return std::nullopt;
    OsVersion version;
    if (!parseUnsigned(text.substr(0, colon), version.platform))
        return std::nullopt;
    const std::vector<std::string> parts = splitNonEmpty(text.substr(colon + 1), '.');
    if (parts.size() < 2 || parts.size() > 3 || text.back() == '.' || text.find("..") != std::string::npos)
        return std::nullopt;
    unsigned build = 0;
    if (!parseUnsigned(parts[0], version.major) || !parseUnsigned(parts[1], version.minor)
        || (parts.size() == 3 && !parseUnsigned(parts[2], build)))
        return std::nullopt;
    return version;
}

bool osAttrNames(const std::string &osAttr, const OsVersion &version)
{
    for (const std::string &entry : splitNonEmpty(osAttr, ',')) {
        const std::optional<OsVersion> named = parseOsVersion(trimmed(entry));
        if (named && named->platform == version.platform && named->major == version.major
            && named->minor == version.minor)
            return true;
    }
    return false;
}

} // namespace signtool
