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

struct PeLayout {
    uint64_t fileSize = 0;
    uint32_t headerOffset = 0;     // of the "PE\0\0" signature
    bool pe32plus = false;         // 64-bit optional header
    uint64_t checksumOffset = 0;   // 4 bytes, left out of the digest
    uint64_t certEntryOffset = 0;  // the certificate table's directory entry, 8 bytes, left out too
    uint32_t certTableOffset = 0;  // 0: the file carries no certificate table
    uint32_t certTableSize = 0;
};

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

// The certificate table's bytes, nullopt when there is none or it cannot be
// read.
std::optional<std::vector<unsigned char>> certificateTable(int fd, const PeLayout &layout);

} // namespace signtool
