#include "wizard/CRC.h"

#include <QtEndian>

#include <array>

namespace {

constexpr std::array<quint32, 256> makeMsbTable()
{
    std::array<quint32, 256> table{};
    for (quint32 i = 0; i < 256; ++i) {
        quint32 reg = i << 24;
        for (int step = 0; step < 8; ++step)
            reg = (reg & 0x80000000u) ? (reg << 1) ^ 0x04C11DB7u : reg << 1;
        table[i] = reg;
    }
    return table;
}

constexpr std::array<quint32, 256> makeLsbTable()
{
    std::array<quint32, 256> table{};
    for (quint32 i = 0; i < 256; ++i) {
        quint32 reg = i;
        for (int step = 0; step < 8; ++step)
            reg = (reg & 1u) ? (reg >> 1) ^ 0xEDB88320u : reg >> 1;
        table[i] = reg;
    }
    return table;
}

// Built at compile time, so concurrent digests share only constant data.
constexpr std::array<quint32, 256> kMsbTable = makeMsbTable();
constexpr std::array<quint32, 256> kLsbTable = makeLsbTable();
static_assert(kMsbTable[1] == 0x04C11DB7u);
static_assert(kLsbTable[128] == 0xEDB88320u);

} // namespace

const quint32 *CrcMsbTable()
{
    return kMsbTable.data();
}

const quint32 *CrcLsbTable()
{
    return kLsbTable.data();
}

quint32 CrcMsbUpdate(quint32 reg, const unsigned char *bytes, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i)
        reg = (reg << 8) ^ kMsbTable[((reg >> 24) ^ bytes[i]) & 0xFFu];
    return reg;
}

quint32 CrcLsbUpdate(quint32 reg, const unsigned char *bytes, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i)
        reg = (reg >> 8) ^ kLsbTable[(reg ^ bytes[i]) & 0xFFu];
    return reg;
}

quint32 CrcFinal(quint32 reg)
{
    return ~qbswap(reg);
}
