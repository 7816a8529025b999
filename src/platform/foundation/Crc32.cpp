#include "platform/foundation/Crc32.h"

#include <QtEndian>

#include <array>
#include <cstddef>

#include <zlib.h>

namespace platform {

namespace {

using CrcTables = std::array<std::array<quint32, 256>, 8>;

// The CRC of one byte, and of one byte followed by one to seven zero bytes: what a step taking
// eight bytes at once adds for each of them.
constexpr CrcTables makeCrcTables()
{
    CrcTables tables{};
    for (quint32 byte = 0; byte < 256; ++byte) {
        quint32 crc = byte;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320U & (0U - (crc & 1U)));
        tables[0][byte] = crc;
    }
    for (std::size_t table = 1; table < tables.size(); ++table) {
        for (std::size_t byte = 0; byte < 256; ++byte)
            tables[table][byte] = (tables[table - 1][byte] >> 8) ^ tables[0][tables[table - 1][byte] & 0xff];
    }
    return tables;
}

constexpr CrcTables kCrcTables = makeCrcTables();

// Inputs this long and longer are handed to zlib.
constexpr std::size_t kZlibFrom = 64;

// The CRC register (inverted, as it runs) after the bytes, eight bytes a step: a byte a step would
// make each wait on the one before.
quint32 tabledCrc(quint32 crc, const uchar *bytes, std::size_t length)
{
    const auto &table = kCrcTables;
    for (; length >= 8; bytes += 8, length -= 8) {
        const quint32 low = qFromLittleEndian<quint32>(bytes) ^ crc;
        const quint32 high = qFromLittleEndian<quint32>(bytes + 4);
        crc = table[7][low & 0xff] ^ table[6][(low >> 8) & 0xff] ^ table[5][(low >> 16) & 0xff] ^ table[4][low >> 24] ^
              table[3][high & 0xff] ^ table[2][(high >> 8) & 0xff] ^ table[1][(high >> 16) & 0xff] ^
              table[0][high >> 24];
    }
    for (; length > 0; ++bytes, --length)
        crc = (crc >> 8) ^ table[0][(crc ^ *bytes) & 0xff];
    return crc;
}

} // namespace

quint32 crc32Continued(quint32 crc, QByteArrayView bytes)
{
    const auto *data = reinterpret_cast<const uchar *>(bytes.data());
    const auto length = std::size_t(bytes.size());
    // zlib's own loop for whole files and records; the call costs more than the tables for a few
    // dozen bytes, the length of most identifiers and journal lines.
    if (length >= kZlibFrom)
        return quint32(crc32_z(crc, data, z_size_t(length)));
    return ~tabledCrc(~crc, data, length);
}

} // namespace platform
