#include "PeImage.h"

#include <openssl/evp.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <future>
#include <memory>
#include <system_error>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace signtool {

bool readAt(int fd, uint64_t offset, void *buffer, size_t size)
{
    auto *out = static_cast<unsigned char *>(buffer);
    while (size > 0) {
        const ssize_t n = pread(fd, out, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        out += n;
        offset += static_cast<uint64_t>(n);
        size -= static_cast<size_t>(n);
    }
    return true;
}

namespace {

uint16_t le16(const unsigned char *p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t le32(const unsigned char *p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16)
           | (static_cast<uint32_t>(p[3]) << 24);
}

constexpr uint32_t kCoffHeaderSize = 24;      // "PE\0\0" and the COFF file header
constexpr uint32_t kSectionHeaderSize = 40;
constexpr uint32_t kCertificateDirectory = 4; // index in the data directories

bool hashRange(int fd, EVP_MD_CTX *ctx, uint64_t from, uint64_t to, std::vector<unsigned char> &buffer)
{
    while (from < to) {
        const size_t chunk = static_cast<size_t>(std::min<uint64_t>(buffer.size(), to - from));
        if (!readAt(fd, from, buffer.data(), chunk) || EVP_DigestUpdate(ctx, buffer.data(), chunk) != 1)
            return false;
        from += chunk;
    }
    return true;
}

// Where the digest ends: at the certificate table, or at the end of an
// unsigned file.
uint64_t digestEnd(const PeLayout &layout)
{
    return layout.certTableOffset != 0 ? layout.certTableOffset : layout.fileSize;
}

constexpr size_t kCompareChunk = 1 << 20;

// Compares the pieces of a range up to `to` that `next` hands out, one at a
// time, until none is left or one differs; several threads may share them.
void comparePieces(int a, int b, uint64_t to, std::atomic<uint64_t> &next, std::atomic<bool> &differs)
{
    const uint64_t first = next.load();
    if (first >= to)
        return;
    const size_t size = static_cast<size_t>(std::min<uint64_t>(kCompareChunk, to - first));
    std::vector<unsigned char> left(size), right(size);
    while (!differs.load(std::memory_order_relaxed)) {
        const uint64_t start = next.fetch_add(size);
        if (start >= to)
            return;
        const size_t chunk = static_cast<size_t>(std::min<uint64_t>(size, to - start));
        if (!readAt(a, start, left.data(), chunk) || !readAt(b, start, right.data(), chunk)
            || std::memcmp(left.data(), right.data(), chunk) != 0)
            differs = true;
    }
}

// Whether [from, to) holds the same bytes in both files.
bool sameBytesIn(int a, int b, uint64_t from, uint64_t to)
{
    std::atomic<uint64_t> next{from};
    std::atomic<bool> differs{false};
    comparePieces(a, b, to, next, differs);
    return !differs;
}

// The same on this thread and one more once the range is large enough to
// pay for it. Each takes the next piece as it is done with one: a fixed
// half each left one thread waiting for the other, since the page cache
// serves one part of a copy that is being written back slower than another.
bool sameBytesSplit(int a, int b, uint64_t from, uint64_t to)
{
    constexpr uint64_t kSplitFrom = 16 * kCompareChunk;
    if (to - from < kSplitFrom)
        return sameBytesIn(a, b, from, to);
    std::atomic<uint64_t> next{from};
    std::atomic<bool> differs{false};
    std::future<void> helper;
    try {
        helper = std::async(std::launch::async, comparePieces, a, b, to, std::ref(next), std::ref(differs));
    } catch (const std::system_error &) {
        // No second thread: this one takes every piece.
    }
    comparePieces(a, b, to, next, differs);
    if (helper.valid())
        helper.get();
    return !differs;
}

bool onlyZerosIn(int fd, uint64_t from, uint64_t to)
{
    unsigned char bytes[8] = {};
    if (to - from > sizeof bytes || !readAt(fd, from, bytes, static_cast<size_t>(to - from)))
        return false;
    return std::all_of(bytes, bytes + (to - from), [](unsigned char c) { return c == 0; });
}

} // namespace

bool startsLikePe(int fd)
{
    unsigned char magic[2];
    return readAt(fd, 0, magic, sizeof magic) && magic[0] == 'M' && magic[1] == 'Z';
}

std::optional<PeLayout> readPeLayout(int fd, std::string &problem)
{
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        problem = "its size cannot be read";
        return std::nullopt;
    }
    PeLayout layout;
    layout.fileSize = static_cast<uint64_t>(st.st_size);
    const uint64_t size = layout.fileSize;

    unsigned char dos[64];
    if (size < sizeof dos || !readAt(fd, 0, dos, sizeof dos) || dos[0] != 'M' || dos[1] != 'Z') {
        problem = "the DOS header is incomplete";
        return std::nullopt;
    }
    layout.headerOffset = le32(dos + 0x3C);
    unsigned char coff[kCoffHeaderSize];
    if (uint64_t(layout.headerOffset) + kCoffHeaderSize > size || !readAt(fd, layout.headerOffset, coff, sizeof coff)) {
        problem = "the PE header lies past the end of the file";
        return std::nullopt;
    }
    if (coff[0] != 'P' || coff[1] != 'E' || coff[2] != 0 || coff[3] != 0) {
        problem = "the PE signature is missing";
        return std::nullopt;
    }
    const uint32_t sectionCount = le16(coff + 6);
    const uint32_t optionalSize = le16(coff + 20);
    const uint64_t optionalOffset = uint64_t(layout.headerOffset) + kCoffHeaderSize;
    if (optionalOffset + optionalSize > size) {
        problem = "the optional header runs past the end of the file";
        return std::nullopt;
    }
    std::vector<unsigned char> optional(optionalSize);
    if (optionalSize < 2 || !readAt(fd, optionalOffset, optional.data(), optional.size())) {
        problem = "the optional header is missing";
        return std::nullopt;
    }
    const uint16_t magic = le16(optional.data());
    if (magic != 0x10B && magic != 0x20B) {
        problem = "the optional header is of an unknown kind";
        return std::nullopt;
    }
    layout.pe32plus = magic == 0x20B;
    const uint32_t directoriesAt = layout.pe32plus ? 112 : 96;
    const uint32_t countAt = directoriesAt - 4;
    if (optionalSize < directoriesAt + 8 * (kCertificateDirectory + 1)
        || le32(optional.data() + countAt) <= kCertificateDirectory) {
        problem = "the optional header has no certificate table entry";
        return std::nullopt;
    }
    const uint32_t sizeOfHeaders = le32(optional.data() + 60);
    if (sizeOfHeaders > size) {
        problem = "the headers run past the end of the file";
        return std::nullopt;
    }
    layout.checksumOffset = optionalOffset + 64;
    layout.certEntryOffset = optionalOffset + directoriesAt + 8 * kCertificateDirectory;
    const unsigned char *certEntry = optional.data() + directoriesAt + 8 * kCertificateDirectory;
    layout.certTableOffset = le32(certEntry);
    layout.certTableSize = le32(certEntry + 4);

    const uint64_t sectionsAt = optionalOffset + optionalSize;
    if (sectionsAt + uint64_t(sectionCount) * kSectionHeaderSize > size) {
        problem = "the section table runs past the end of the file";
        return std::nullopt;
    }
    std::vector<unsigned char> sections(size_t(sectionCount) * kSectionHeaderSize);
    if (!sections.empty() && !readAt(fd, sectionsAt, sections.data(), sections.size())) {
        problem = "the section table cannot be read";
        return std::nullopt;
    }
    for (uint32_t i = 0; i < sectionCount; ++i) {
        const unsigned char *section = sections.data() + size_t(i) * kSectionHeaderSize;
        const uint32_t rawSize = le32(section + 16);
        const uint32_t rawOffset = le32(section + 20);
        if (rawSize != 0 && uint64_t(rawOffset) + rawSize > size) {
            std::string name;
            for (int c = 0; c < 8 && section[c]; ++c)
                name += static_cast<char>(section[c]);
            problem = "the section \"" + name + "\" runs past the end of the file";
            return std::nullopt;
        }
    }
    if (layout.certTableOffset != 0 || layout.certTableSize != 0) {
        if (layout.certTableOffset < sectionsAt
            || uint64_t(layout.certTableOffset) + layout.certTableSize > size) {
            problem = "its certificate table lies outside the file";
            return std::nullopt;
        }
        layout.trailingBytes = size - (uint64_t(layout.certTableOffset) + layout.certTableSize);
    }
    return layout;
}

std::optional<std::vector<unsigned char>> authenticodeDigest(int fd, const PeLayout &layout, const EVP_MD *md)
{
    const uint64_t end = digestEnd(layout);
    if (!md || end < layout.certEntryOffset + 8)
        return std::nullopt;
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!ctx || EVP_DigestInit_ex(ctx.get(), md, nullptr) != 1)
        return std::nullopt;
    std::vector<unsigned char> buffer(static_cast<size_t>(std::clamp<uint64_t>(end, 4096, 1 << 20)));
    if (!hashRange(fd, ctx.get(), 0, layout.checksumOffset, buffer)
        || !hashRange(fd, ctx.get(), layout.checksumOffset + 4, layout.certEntryOffset, buffer)
        || !hashRange(fd, ctx.get(), layout.certEntryOffset + 8, end, buffer))
        return std::nullopt;
    if (end % 8 != 0) {
        static const unsigned char zeros[8] = {};
        if (EVP_DigestUpdate(ctx.get(), zeros, 8 - end % 8) != 1)
            return std::nullopt;
    }
    std::vector<unsigned char> digest(EVP_MAX_MD_SIZE);
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(ctx.get(), digest.data(), &length) != 1)
        return std::nullopt;
    digest.resize(length);
    return digest;
}

bool sameDigestedContent(int originalFd, int copyFd)
{
    std::string problem;
    const auto original = readPeLayout(originalFd, problem);
    const auto copy = readPeLayout(copyFd, problem);
    if (!original || !copy || copy->certTableOffset == 0 || original->checksumOffset != copy->checksumOffset
        || original->certEntryOffset != copy->certEntryOffset)
        return false;
    const uint64_t end = digestEnd(*original);
    const uint64_t padded = (end + 7) / 8 * 8;
    const uint64_t copyEnd = copy->certTableOffset;
    if (end < original->certEntryOffset + 8 || (copyEnd != end && copyEnd != padded))
        return false;
    // Up to `end` both digests hash the same bytes; after it the original's
    // is padded with zeros to `padded`, which the copy either holds as
    // bytes before its table or leaves to the same padding.
    return sameBytesIn(originalFd, copyFd, 0, original->checksumOffset)
           && sameBytesIn(originalFd, copyFd, original->checksumOffset + 4, original->certEntryOffset)
           && sameBytesSplit(originalFd, copyFd, original->certEntryOffset + 8, end)
           && onlyZerosIn(copyFd, end, copyEnd);
}

std::optional<std::vector<unsigned char>> certificateTable(int fd, const PeLayout &layout)
{
    if (layout.certTableOffset == 0 || layout.certTableSize == 0)
        return std::nullopt;
    std::vector<unsigned char> table(layout.certTableSize);
    if (!readAt(fd, layout.certTableOffset, table.data(), table.size()))
        return std::nullopt;
    return table;
}

void hashAuthenticodeCovered(EVP_MD_CTX *ctx, const unsigned char *data, uint64_t from, uint64_t to,
                             const PeLayout &layout)
{
    const uint64_t gaps[2][2] = {{layout.checksumOffset, layout.checksumOffset + 4},
                                 {layout.certEntryOffset, layout.certEntryOffset + 8}};
    uint64_t at = from;
    for (const auto &gap : gaps) {
        if (gap[1] <= at || gap[0] >= to)
            continue;
        if (gap[0] > at)
            EVP_DigestUpdate(ctx, data + (at - from), gap[0] - at);
        at = std::max(at, gap[1]);
    }
    if (at < to)
        EVP_DigestUpdate(ctx, data + (at - from), to - at);
}

} // namespace signtool
