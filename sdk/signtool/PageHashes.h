#pragma once

// Authenticode page hashes of a PE file (sign /ph, verify /ph): one digest
// per page, so that Windows' loader can check each page as it maps it
// instead of the whole file. They travel in the signed SpcPeImageData, in
// the place of its file link: a moniker (SpcSerializedObject of class
// a6b586d5-b4a1-2466-ae05-a217da8e60d6) whose data is a SET holding one
// SpcAttributeTypeAndOptionalValue: 1.3.6.1.4.1.311.2.3.1 for SHA-1 page
// hashes, 1.3.6.1.4.1.311.2.3.2 for SHA-256, with a SET of one OCTET STRING
// of entries, each a 4-byte little-endian file offset and a digest:
//  - offset 0: the headers up to SizeOfHeaders without the checksum and the
//    certificate table's entry, padded with zeros to a page;
//  - each section's raw data, in section-table order, page by page, the
//    last page of a section padded with zeros;
//  - the end of the last section's raw data, with a digest of zeros.
// A page is 4096 bytes, the page Windows maps files in. No form exists for
// SHA-384 or SHA-512 page hashes.

#include "DerWriter.h"
#include "PeImage.h"

#include <openssl/evp.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace signtool {

inline constexpr uint32_t kPageSize = 4096;

// The entries of a page-hash table, and the digest they are made with.
struct PageHashTable {
    int mdType = 0; // NID_sha1 or NID_sha256
    Bytes entries;  // (offset, digest) pairs, as stored
};

// The page-hash digest for a file digest of type `mdType`: SHA-1 for SHA-1,
// SHA-256 for SHA-256; null for any other (no form exists for it).
const EVP_MD *pageHashDigestFor(int mdType);

// Why a file digest of `mdType` cannot carry page hashes; empty when it can.
std::string pageHashRefusal(int mdType);

// Makes the page hashes of a PE file from its bytes as they are read, in
// order, without a pass of its own: the pieces the signer copies (or the
// verifier reads) are handed to add() one after the other.
class PageHasher {
public:
    // Reads the file's section table (the headers only); nullopt with
    // `problem` set when the file cannot carry page hashes ("its headers are
    // larger than a page").
    static std::unique_ptr<PageHasher> forFile(int fd, const PeLayout &layout, const EVP_MD *md,
                                               std::string &problem);
    ~PageHasher();
    PageHasher(const PageHasher &) = delete;
    PageHasher &operator=(const PageHasher &) = delete;

    // The bytes [from, from + size) of the file; each piece starts where the
    // one before ended, the first at 0.
    bool add(const unsigned char *data, size_t size, uint64_t from);
    // The table once every page was handed over; nullopt when one was not
    // (a section past where the pieces ended) or a digest failed.
    std::optional<PageHashTable> finish();

private:
    struct Page {
        uint64_t start = 0;
        uint64_t end = 0;     // where its bytes end; the rest of the page is zeros
        bool headers = false; // the first page, with the checksum and the entry left out
    };
    PageHasher() = default;
    bool startPage(size_t index);
    bool endPage(size_t index);

    const EVP_MD *m_md = nullptr;
    PeLayout m_layout;
    std::vector<Page> m_pages;       // in table order
    std::vector<size_t> m_byStart;   // indexes of m_pages by their start
    size_t m_nextToStart = 0;        // into m_byStart
    std::vector<std::pair<size_t, EVP_MD_CTX *>> m_open; // pages begun, not ended
    std::vector<EVP_MD_CTX *> m_spare;
    Bytes m_digests;                 // one per page, in table order
    uint32_t m_endOffset = 0;        // of the last section's raw data
    uint64_t m_seen = 0;
    bool m_failed = false;
};

// The page hashes of the PE file on `fd`, read from its start to its
// certificate table; nullopt with `problem` set when they cannot be made.
std::optional<PageHashTable> pageHashesOfFile(int fd, const PeLayout &layout, const EVP_MD *md,
                                              std::string &problem);

// SpcPeImageData's file link ([0] SpcLink) that carries `table`.
Bytes pageHashLink(const PageHashTable &table);

// The page hashes a signature carries, found in the SpcPeImageData of its
// SpcIndirectDataContent value (`indirect`, the SEQUENCE's content);
// nullopt when it carries none, `problem` set when they cannot be read.
std::optional<PageHashTable> embeddedPageHashes(const unsigned char *indirect, long length, std::string &problem);

// Empty when `embedded` lists exactly the pages `computed` lists, with the
// same digests; otherwise which page does not match, in a few words ("the
// page at offset 0x2000 does not match its page hash").
std::string pageHashMismatch(const PageHashTable &embedded, const PageHashTable &computed);

} // namespace signtool
