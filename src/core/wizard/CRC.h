#pragma once

// CRC-32 registers for the file digest: the most-significant-bit-first form
// of polynomial 0x04C11DB7 and the reflected (least-significant-bit-first)
// form of 0xEDB88320. Both start from 0xFFFFFFFF and end with the same step:
// the register's four bytes reversed, then every bit inverted.

#include <QtGlobal>

#include <cstddef>

inline constexpr quint32 CrcInitialRegister = 0xFFFFFFFFu;

// Entry i is i << 24 after eight shift-and-conditional-XOR steps with
// 0x04C11DB7; entry 1 is 0x04C11DB7 itself.
const quint32 *CrcMsbTable();
// Entry i is i after eight right-shift-and-conditional-XOR steps with
// 0xEDB88320.
const quint32 *CrcLsbTable();

quint32 CrcMsbUpdate(quint32 reg, const unsigned char *bytes, std::size_t count);
quint32 CrcLsbUpdate(quint32 reg, const unsigned char *bytes, std::size_t count);

// Reverses the register's bytes and complements the result. For the MSB-first
// register this makes the value the CRC-32/BZIP2 checksum with its four bytes
// in reverse order ("abc" gives 0x73bb8c64).
quint32 CrcFinal(quint32 reg);
