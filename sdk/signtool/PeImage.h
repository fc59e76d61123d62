#pragma once

// The parts of a PE (Portable Executable) file that signing depends on:
// where the headers, sections and the certificate table lie, checked against
// the file's real size, and the file's Authenticode digest. Read through a
// descriptor with pread, so a file that shrinks meanwhile yields an error,
// never a crash.

#include <openssl/evp.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace signtool {

// Reads exactly `size` bytes at `offset` (through EINTR and short reads);
// false at the end of the file or on an error.
bool readAt(int fd, uint64_t offset, void *buffer, size_t size);

struct PeLayout {
    uint64_t fileSize = 0;
    uint32_t headerOffset = 0;     // of the "PE\0\0" signature
    bool pe32plus = false;         // 64-bit optional header
    uint64_t checksumOffset = 0;   // 4 bytes, left out of the digest
    uint64_t certEntryOffset = 0;  // the certificate table's directory entry, 8 bytes, left out too
    uint32_t certTableOffset = 0;  // 0: the file carries no certificate table
    uint32_t certTableSize = 0;
    // Bytes after the certificate table. The digest ends at the table, so
    // no signature covers them, and a new signature (which replaces the
    // table) would drop them: signing and verifying refuse such a file
    // alike (kTrailingDataProblem).
    uint64_t trailingBytes = 0;
};

inline constexpr const char *kTrailingDataProblem = "data follows its certificate table";

// A file that starts like a program file ("MZ"); anything else is left to
// osslsigncode's other formats (MSI, CAB, scripts).
bool startsLikePe(int fd);

// The layout of the PE file open on `fd`, or nullopt with `problem` saying
// in a few words what is wrong ("the section table runs past the end of
// the file"): a truncated or damaged file that signing would make worse.
std::optional<PeLayout> readPeLayout(int fd, std::string &problem);

// The Authenticode digest: the whole file but the checksum, the certificate
// table's directory entry and the certificate table itself, padded with
// zeros to a multiple of 8 bytes as a signer pads the file. A signed copy of
// a file has the digest of the file it was made from.
std::optional<std::vector<unsigned char>> authenticodeDigest(int fd, const PeLayout &layout, const EVP_MD *md);

// Adds to `ctx` the pieces of the file's bytes [from, to), held in `data`,
// that the Authenticode digest covers: all but the checksum and the
// certificate table's entry.
void hashAuthenticodeCovered(EVP_MD_CTX *ctx, const unsigned char *data, uint64_t from, uint64_t to,
                             const PeLayout &layout);

// A file's Authenticode digest made with the digest of type `mdType`
// (EVP_MD_get_type).
struct KnownDigest {
    int mdType = 0;
    std::vector<unsigned char> value;
};

// Whether the signed PE file on `copyFd` holds, byte for byte, what the
// Authenticode digest of the PE file on `originalFd` covers, so that every
// digest of the copy is the original's: the same bytes but the checksum and
// the certificate table's entry, up to where the original's certificate
// table starts (or its end), then no more than the zeros that pad it to a
// multiple of 8, then the copy's certificate table. Comparing costs far less
// than hashing; false for anything else, including a file that cannot be
// read, and the caller then hashes the copy. Large files are compared on two
// threads.
bool sameDigestedContent(int originalFd, int copyFd);

// The certificate table's bytes, nullopt when there is none or it cannot be
// read.
std::optional<std::vector<unsigned char>> certificateTable(int fd, const PeLayout &layout);

} // namespace signtool
