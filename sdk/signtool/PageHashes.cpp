#include "PageHashes.h"

#include <openssl/objects.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace signtool {

namespace {

const char kPageHashesSha1Oid[] = "1.3.6.1.4.1.311.2.3.1";
const char kPageHashesSha256Oid[] = "1.3.6.1.4.1.311.2.3.2";
const unsigned char kPageHashClass[16] = {0xa6, 0xb5, 0x86, 0xd5, 0xb4, 0xa1, 0x24, 0x66,
                                          0xae, 0x05, 0xa2, 0x17, 0xda, 0x8e, 0x60, 0xd6};
constexpr uint32_t kCoffHeaderSize = 24;
constexpr uint32_t kSectionHeaderSize = 40;
constexpr size_t kOffsetSize = 4;

uint16_t le16(const unsigned char *p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t le32(const unsigned char *p)
{
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

void putLe32(unsigned char *p, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<unsigned char>(value >> (8 * i));
}

// One DER element read from a bounded range: its tag and its content.
struct Der {
    unsigned char tag = 0;
    const unsigned char *content = nullptr;
    size_t length = 0;
    const unsigned char *next = nullptr; // just after it
};

std::optional<Der> readDer(const unsigned char *at, const unsigned char *end)
{
    if (!at || end - at < 2 || (at[0] & 0x1F) == 0x1F)
        return std::nullopt;
    Der der;
    der.tag = at[0];
    const unsigned char *p = at + 1;
    size_t length = *p++;
    if (length & 0x80) {
        const size_t bytes = length & 0x7F;
        if (bytes == 0 || bytes > 4 || static_cast<size_t>(end - p) < bytes)
            return std::nullopt;
        length = 0;
        for (size_t i = 0; i < bytes; ++i)
            length = (length << 8) | *p++;
    }
    if (static_cast<size_t>(end - p) < length)
        return std::nullopt;
    der.content = p;
    der.length = length;
    der.next = p + length;
    return der;
}

std::optional<Der> firstChild(const Der &parent, unsigned char tag)
{
    auto child = readDer(parent.content, parent.content + parent.length);
    return child && child->tag == tag ? child : std::nullopt;
}

bool isOid(const Der &der, const char *oid)
{
    const Bytes expected = oidDer(oid);
    return der.tag == 0x06 && expected.size() == der.length + 2
           && std::memcmp(expected.data() + 2, der.content, der.length) == 0;
}

std::string hexOffset(uint64_t offset)
{
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(offset));
    return text;
}

} // namespace

const EVP_MD *pageHashDigestFor(int mdType)
{
    if (mdType == NID_sha1)
        return EVP_sha1();
    if (mdType == NID_sha256)
        return EVP_sha256();
    return nullptr;
}

std::string pageHashRefusal(int mdType)
{
    if (pageHashDigestFor(mdType))
        return {};
    return "page hashes exist as SHA-1 and SHA-256 only (Windows defines no other form): sign with /fd sha256, "
           "or without /ph";
}

std::unique_ptr<PageHasher> PageHasher::forFile(int fd, const PeLayout &layout, const EVP_MD *md, std::string &problem)
{
    if (!md) {
        problem = "no page-hash digest";
        return nullptr;
    }
    unsigned char coff[kCoffHeaderSize];
    if (!readAt(fd, layout.headerOffset, coff, sizeof coff)) {
        problem = "its headers cannot be read";
        return nullptr;
    }
    const uint32_t sectionCount = le16(coff + 6);
    const uint32_t optionalSize = le16(coff + 20);
    const uint64_t optionalOffset = uint64_t(layout.headerOffset) + kCoffHeaderSize;
    unsigned char sizeOfHeadersBytes[4];
    if (optionalSize < 64 || !readAt(fd, optionalOffset + 60, sizeOfHeadersBytes, 4)) {
        problem = "its headers cannot be read";
        return nullptr;
    }
    const uint32_t sizeOfHeaders = le32(sizeOfHeadersBytes);
    // The header page holds what Windows maps as the headers; they must
    // hold the fields left out of it and fit in a page.
    if (sizeOfHeaders < layout.certEntryOffset + 8) {
        problem = "its headers (SizeOfHeaders) end before its data directories";
        return nullptr;
    }
    if (sizeOfHeaders > kPageSize) {
        problem = "its headers are larger than a page";
        return nullptr;
    }
    std::vector<unsigned char> table(size_t(sectionCount) * kSectionHeaderSize);
    if (!table.empty() && !readAt(fd, optionalOffset + optionalSize, table.data(), table.size())) {
        problem = "its section table cannot be read";
        return nullptr;
    }
    const uint64_t contentEnd = layout.certTableOffset != 0 ? layout.certTableOffset : layout.fileSize;
    std::unique_ptr<PageHasher> hasher(new PageHasher());
    hasher->m_md = md;
    hasher->m_layout = layout;
    hasher->m_pages.push_back({0, sizeOfHeaders, true});
    // As many pages as a file of this size has, plus a partial one per
    // section: sections whose data overlap cannot make the work grow past
    // that.
    const uint64_t maxPages = 2 + sectionCount + contentEnd / kPageSize;
    for (uint32_t i = 0; i < sectionCount; ++i) {
        const unsigned char *section = table.data() + size_t(i) * kSectionHeaderSize;
        const uint32_t rawSize = le32(section + 16);
        const uint32_t rawOffset = le32(section + 20);
        if (rawSize == 0)
            continue;
        if (uint64_t(rawOffset) + rawSize > contentEnd) {
            problem = "a section runs past the end of its content";
            return nullptr;
        }
        // The checksum and the entry change when the file is signed; a page
        // holding them could not keep its hash.
        if (rawOffset < layout.certEntryOffset + 8 && uint64_t(rawOffset) + rawSize > layout.checksumOffset) {
            problem = "a section overlaps its headers";
            return nullptr;
        }
        for (uint64_t at = 0; at < rawSize; at += kPageSize) {
            if (hasher->m_pages.size() >= maxPages) {
                problem = "its sections overlap";
                return nullptr;
            }
            hasher->m_pages.push_back({rawOffset + at, rawOffset + std::min<uint64_t>(at + kPageSize, rawSize), false});
        }
        hasher->m_endOffset = rawOffset + rawSize;
    }
    hasher->m_byStart.resize(hasher->m_pages.size());
    for (size_t i = 0; i < hasher->m_byStart.size(); ++i)
        hasher->m_byStart[i] = i;
    std::stable_sort(hasher->m_byStart.begin(), hasher->m_byStart.end(), [&](size_t a, size_t b) {
        return hasher->m_pages[a].start < hasher->m_pages[b].start;
    });
    hasher->m_digests.assign(hasher->m_pages.size() * static_cast<size_t>(EVP_MD_get_size(md)), 0);
    return hasher;
}

PageHasher::~PageHasher()
{
    for (auto &open : m_open)
        EVP_MD_CTX_free(open.second);
    for (EVP_MD_CTX *ctx : m_spare)
        EVP_MD_CTX_free(ctx);
}

bool PageHasher::startPage(size_t index)
{
    EVP_MD_CTX *ctx = nullptr;
    if (!m_spare.empty()) {
        ctx = m_spare.back();
        m_spare.pop_back();
    } else {
        ctx = EVP_MD_CTX_new();
    }
    if (!ctx || EVP_DigestInit_ex(ctx, m_md, nullptr) != 1) {
        EVP_MD_CTX_free(ctx);
        return false;
    }
    m_open.emplace_back(index, ctx);
    return true;
}

bool PageHasher::endPage(size_t slot)
{
    const auto [index, ctx] = m_open[slot];
    const Page &page = m_pages[index];
    static const unsigned char zeros[kPageSize] = {};
    const uint64_t padding = kPageSize - (page.end - page.start);
    const size_t size = static_cast<size_t>(EVP_MD_get_size(m_md));
    unsigned int length = 0;
    const bool ok = (padding == 0 || EVP_DigestUpdate(ctx, zeros, padding) == 1)
                    && EVP_DigestFinal_ex(ctx, m_digests.data() + index * size, &length) == 1 && length == size;
    m_spare.push_back(ctx);
    m_open.erase(m_open.begin() + static_cast<long>(slot));
    return ok;
}

bool PageHasher::add(const unsigned char *data, size_t size, uint64_t from)
{
    if (m_failed || from != m_seen) {
        m_failed = true;
        return false;
    }
    const uint64_t to = from + size;
    m_seen = to;
    while (m_nextToStart < m_byStart.size() && m_pages[m_byStart[m_nextToStart]].start < to) {
        if (!startPage(m_byStart[m_nextToStart++])) {
            m_failed = true;
            return false;
        }
    }
    for (size_t slot = 0; slot < m_open.size();) {
        const Page &page = m_pages[m_open[slot].first];
        const uint64_t a = std::max(page.start, from), b = std::min(page.end, to);
        if (a < b) {
            if (page.headers)
                hashAuthenticodeCovered(m_open[slot].second, data + (a - from), a, b, m_layout);
            else if (EVP_DigestUpdate(m_open[slot].second, data + (a - from), b - a) != 1)
                m_failed = true;
        }
        if (page.end <= to) {
            m_failed = !endPage(slot) || m_failed;
            continue; // the next page moved into this slot
        }
        ++slot;
    }
    return !m_failed;
}

std::optional<PageHashTable> PageHasher::finish()
{
    if (m_failed || !m_open.empty() || m_nextToStart != m_byStart.size())
        return std::nullopt;
    const size_t size = static_cast<size_t>(EVP_MD_get_size(m_md));
    const size_t entry = kOffsetSize + size;
    PageHashTable table;
    table.mdType = EVP_MD_get_type(m_md);
    table.entries.assign((m_pages.size() + 1) * entry, 0);
    for (size_t i = 0; i < m_pages.size(); ++i) {
        putLe32(table.entries.data() + i * entry, static_cast<uint32_t>(m_pages[i].start));
        std::memcpy(table.entries.data() + i * entry + kOffsetSize, m_digests.data() + i * size, size);
    }
    putLe32(table.entries.data() + m_pages.size() * entry, m_endOffset);
    return table;
}

std::optional<PageHashTable> pageHashesOfFile(int fd, const PeLayout &layout, const EVP_MD *md, std::string &problem)
{
    std::unique_ptr<PageHasher> hasher = PageHasher::forFile(fd, layout, md, problem);
    if (!hasher)
        return std::nullopt;
    const uint64_t end = layout.certTableOffset != 0 ? layout.certTableOffset : layout.fileSize;
    std::vector<unsigned char> buffer(static_cast<size_t>(std::clamp<uint64_t>(end, 1, 1 << 20)));
    for (uint64_t at = 0; at < end;) {
        const size_t size = static_cast<size_t>(std::min<uint64_t>(buffer.size(), end - at));
        if (!readAt(fd, at, buffer.data(), size) || !hasher->add(buffer.data(), size, at)) {
            problem = "the file cannot be read";
            return std::nullopt;
        }
        at += size;
    }
    auto table = hasher->finish();
    if (!table)
        problem = "its page hashes cannot be made";
    return table;
}

Bytes pageHashLink(const PageHashTable &table)
{
    const char *oid = table.mdType == NID_sha1 ? kPageHashesSha1Oid : kPageHashesSha256Oid;
    const Bytes attribute =
        derElement(0x30, concat({oidDer(oid), derElement(0x31, derElement(0x04, table.entries))}));
    const Bytes serialized = derElement(0x31, attribute);
    const Bytes classId(kPageHashClass, kPageHashClass + sizeof kPageHashClass);
    // SpcLink's moniker: [1] IMPLICIT SpcSerializedObject.
    const Bytes moniker = derElement(0xA1, concat({derElement(0x04, classId), derElement(0x04, serialized)}));
    return derElement(0xA0, moniker);
}

std::optional<PageHashTable> embeddedPageHashes(const unsigned char *indirect, long length, std::string &problem)
{
    problem.clear();
    if (!indirect || length <= 0)
        return std::nullopt;
    const unsigned char *end = indirect + length;
    // SpcIndirectDataContent's data: SEQUENCE { type, SpcPeImageData }.
    const auto data = readDer(indirect, end);
    const auto type = data && data->tag == 0x30 ? firstChild(*data, 0x06) : std::nullopt;
    const auto imageData = type ? readDer(type->next, data->content + data->length) : std::nullopt;
    if (!imageData || imageData->tag != 0x30)
        return std::nullopt;
    const unsigned char *imageEnd = imageData->content + imageData->length;
    // flags BIT STRING, then [0] EXPLICIT SpcLink, both optional.
    std::optional<Der> field = readDer(imageData->content, imageEnd);
    if (field && field->tag == 0x03)
        field = readDer(field->next, imageEnd);
    if (!field || field->tag != 0xA0)
        return std::nullopt;
    const auto link = readDer(field->content, field->content + field->length);
    if (!link || link->tag != 0xA1)
        return std::nullopt; // a URL or file link: no page hashes
    const auto classId = firstChild(*link, 0x04);
    if (!classId || classId->length != sizeof kPageHashClass
        || std::memcmp(classId->content, kPageHashClass, sizeof kPageHashClass) != 0)
        return std::nullopt;
    problem = "its page hashes cannot be read";
    const auto serialized = readDer(classId->next, link->content + link->length);
    const auto set = serialized && serialized->tag == 0x04
                         ? readDer(serialized->content, serialized->content + serialized->length)
                         : std::nullopt;
    const auto attribute = set && set->tag == 0x31 ? firstChild(*set, 0x30) : std::nullopt;
    const auto oid = attribute ? firstChild(*attribute, 0x06) : std::nullopt;
    const auto values = oid ? readDer(oid->next, attribute->content + attribute->length) : std::nullopt;
    const auto octets = values && values->tag == 0x31 ? firstChild(*values, 0x04) : std::nullopt;
    if (!octets)
        return std::nullopt;
    PageHashTable table;
    if (isOid(*oid, kPageHashesSha1Oid)) {
        table.mdType = NID_sha1;
    } else if (isOid(*oid, kPageHashesSha256Oid)) {
        table.mdType = NID_sha256;
    } else {
        problem = "its page hashes are of an unknown kind";
        return std::nullopt;
    }
    const size_t entry = kOffsetSize + static_cast<size_t>(EVP_MD_get_size(pageHashDigestFor(table.mdType)));
    if (octets->length < 2 * entry || octets->length % entry != 0)
        return std::nullopt;
    table.entries.assign(octets->content, octets->content + octets->length);
    problem.clear();
    return table;
}

std::string pageHashMismatch(const PageHashTable &embedded, const PageHashTable &computed)
{
    if (embedded.mdType != computed.mdType)
        return "its page hashes were made with another digest";
    const size_t entry = kOffsetSize + static_cast<size_t>(EVP_MD_get_size(pageHashDigestFor(embedded.mdType)));
    const size_t common = std::min(embedded.entries.size(), computed.entries.size()) / entry;
    for (size_t i = 0; i < common; ++i) {
        const unsigned char *mine = computed.entries.data() + i * entry;
        const unsigned char *theirs = embedded.entries.data() + i * entry;
        if (std::memcmp(mine, theirs, kOffsetSize) != 0)
            return "its page hashes list a page at offset " + hexOffset(le32(theirs)) + " where the file has one at "
                   + hexOffset(le32(mine));
        if (std::memcmp(mine + kOffsetSize, theirs + kOffsetSize, entry - kOffsetSize) != 0)
            return i == 0 ? std::string("its headers do not match their page hash")
                          : "the page at offset " + hexOffset(le32(mine)) + " does not match its page hash";
    }
    if (embedded.entries.size() != computed.entries.size())
        return "its page hashes list " + std::to_string(embedded.entries.size() / entry - 1) + " pages, the file has "
               + std::to_string(computed.entries.size() / entry - 1);
    return {};
}

} // namespace signtool
