#pragma once

// The file digest: reads a file in blocks of 4096 bytes, feeds them to the
// algorithm picked by a selector number and writes the result as lowercase
// hex text. The wizard uses it to tell whether the conversion tool wrote a
// new PFX file, by comparing the texts taken before and after the run.
//
// Provided selectors: 259 (MD5), 260 (CRC-32 MSB first, bytes reversed),
// 261 (reflected CRC-32, same final step), 269-272 (SHA-1, SHA-256,
// SHA-384, SHA-512). Every other selector answers DigestBadSelector.
//
// Sizes and offsets are 64-bit throughout, so files of 4 GiB and more are
// digested whole.

#include <QString>
#include <QtGlobal>

#include <cstddef>
#include <memory>

namespace DigestSelector {
inline constexpr quint32 MD2 = 257;
inline constexpr quint32 MD4 = 258;
inline constexpr quint32 MD5 = 259;
inline constexpr quint32 CRC32Reversed = 260;   // the one the wizard uses
inline constexpr quint32 CRC32Reflected = 261;
inline constexpr quint32 Adler32 = 262;
inline constexpr quint32 Gost = 263;
inline constexpr quint32 Haval128 = 264;
inline constexpr quint32 Haval256 = 268;
inline constexpr quint32 SHA1 = 269;
inline constexpr quint32 SHA256 = 270;
inline constexpr quint32 SHA384 = 271;
inline constexpr quint32 SHA512 = 272;
inline constexpr quint32 Tiger128 = 273;
inline constexpr quint32 Tiger192 = 275;
inline constexpr quint32 RIPEMD128 = 276;
inline constexpr quint32 RIPEMD160 = 277;
} // namespace DigestSelector

// Result codes; with any code but DigestOk the caller's text is untouched.
enum DigestResult : quint32 {
    DigestOk = 0,
    DigestBadSelector = 1,   // not a selector this library provides
    DigestNoContext = 2,
    DigestNoState = 3,       // bytes fed (or a result asked for) before DigestInit
    DigestShortRead = 4,     // the file ended or failed before its measured size; empty file
    DigestOpenFailed = 5,    // the file did not open for measuring
};

inline constexpr qint64 DigestBlockSize = 4096;

class DigestState;

// One digest in progress. DigestInit creates the state, DigestFinal releases
// it; leaving the scope releases it too.
struct DigestContext {
    DigestContext();
    ~DigestContext();
    DigestContext(const DigestContext &) = delete;
    DigestContext &operator=(const DigestContext &) = delete;

    std::unique_ptr<DigestState> state;
    quint32 selector = 0;
    quint32 passes = 0;      // 3 for the HAVAL and Tiger selectors
};

// Digests the whole file (as measured before reading) into `digestText`.
quint32 DigestFile(quint32 selector, const QString &fileName, QString &digestText);

// The file's size in bytes, or -1 when it does not open for reading (it is
// missing, a folder, not readable, or not a regular file: a FIFO there is
// never waited on).
qint64 DigestFileSize(const QString &fileName);

// Feeds the bytes from `offset` up to `size` to the context. False when the
// file does not open or seek, when a read fails, and when the file ends
// before `size`; an empty range counts as a failure too, so an empty file
// never passes for a digested one.
bool DigestFileRange(DigestContext *context, const QString &fileName, qint64 offset, qint64 size);

// Records the selector and creates the algorithm's state: DigestNoContext
// without a context, DigestBadSelector (and no state) for a selector that is
// not provided.
quint32 DigestInit(DigestContext *context, quint32 selector);
// DigestNoContext, DigestNoState before DigestInit (or after DigestFinal),
// else the bytes are fed and DigestOk.
quint32 DigestUpdate(DigestContext *context, const void *bytes, std::size_t count);
// Completes the digest, writes the text and releases the state.
// DigestNoContext; DigestBadSelector for a context never initialised with a
// provided selector, or when OpenSSL refuses the algorithm; DigestNoState
// when the state was already released. The text is written only with
// DigestOk.
quint32 DigestFinal(DigestContext *context, QString &digestText);
