#include "platform/foundation/Crc32.h"

#include <QtEndian>

#include <array>
#include <cstddef>

#include <zlib.h>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define HM_CRC32_CLMUL 1
#endif

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

#ifdef HM_CRC32_CLMUL

// The CRC register after a whole number of 16-byte blocks (at least four), folded with carry-less
// multiplications: four lanes of 16 bytes are each carried 64 bytes ahead per step, then folded into
// one, which a Barrett reduction brings to 32 bits. The constants are x^k mod P (bit-reflected) for
// the distances folded (k1/k2: 512 +- 32 bits, k3/k4: 128 +- 32, k5: 64), and P with its Barrett
// quotient. The folder index is read whole at every sync, one checked line of a kilobyte per file:
// zlib's tables take about four instructions a byte there, this under half an instruction.
#define HM_CLMUL_TARGET __attribute__((target("pclmul,sse4.1")))

HM_CLMUL_TARGET inline __m128i load(const uchar *at)
{
    return _mm_loadu_si128(reinterpret_cast<const __m128i *>(at));
}

// Carries the lane 128 bits further by the constants' distance and adds the block to it.
HM_CLMUL_TARGET inline __m128i fold(__m128i lane, __m128i constants, __m128i block)
{
    const __m128i low = _mm_clmulepi64_si128(lane, constants, 0x00);
    const __m128i high = _mm_clmulepi64_si128(lane, constants, 0x11);
    return _mm_xor_si128(_mm_xor_si128(high, low), block);
}

HM_CLMUL_TARGET quint32 foldedCrc(quint32 crc, const uchar *bytes, std::size_t length)
{
    alignas(16) static constexpr quint64 k1k2[] = {0x0154442bd4, 0x01c6e41596};
    alignas(16) static constexpr quint64 k3k4[] = {0x01751997d0, 0x00ccaa009e};
    alignas(16) static constexpr quint64 k5k0[] = {0x0163cd6124, 0x0000000000};
    alignas(16) static constexpr quint64 poly[] = {0x01db710641, 0x01f7011641};
    __m128i x1 = _mm_xor_si128(load(bytes), _mm_cvtsi32_si128(int(crc)));
    __m128i x2 = load(bytes + 16), x3 = load(bytes + 32), x4 = load(bytes + 48);
    bytes += 64;
    length -= 64;
    __m128i k = _mm_load_si128(reinterpret_cast<const __m128i *>(k1k2));
    for (; length >= 64; bytes += 64, length -= 64) {
        x1 = fold(x1, k, load(bytes));
        x2 = fold(x2, k, load(bytes + 16));
        x3 = fold(x3, k, load(bytes + 32));
        x4 = fold(x4, k, load(bytes + 48));
    }
    k = _mm_load_si128(reinterpret_cast<const __m128i *>(k3k4));
    x1 = fold(fold(fold(x1, k, x2), k, x3), k, x4);
    for (; length >= 16; bytes += 16, length -= 16)
        x1 = fold(x1, k, load(bytes));
    // 128 bits to 64, then to the 32 of the register.
    const __m128i low32 = _mm_setr_epi32(~0, 0, ~0, 0);
    x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), _mm_clmulepi64_si128(x1, k, 0x10));
    k = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(k5k0));
    x1 = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x1, low32), k, 0x00), _mm_srli_si128(x1, 4));
    k = _mm_load_si128(reinterpret_cast<const __m128i *>(poly));
    __m128i quotient = _mm_clmulepi64_si128(_mm_and_si128(x1, low32), k, 0x10);
    quotient = _mm_clmulepi64_si128(_mm_and_si128(quotient, low32), k, 0x00);
    return quint32(_mm_extract_epi32(_mm_xor_si128(x1, quotient), 1));
}

bool hasCarrylessMultiply()
{
    static const bool has = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
    return has;
}

#endif

} // namespace

quint32 crc32Continued(quint32 crc, QByteArrayView bytes)
{
    const auto *data = reinterpret_cast<const uchar *>(bytes.data());
    auto length = std::size_t(bytes.size());
#ifdef HM_CRC32_CLMUL
    // Whole 16-byte blocks folded, the rest (under 16 bytes) from the tables.
    if (length >= kZlibFrom && hasCarrylessMultiply()) {
        const std::size_t folded = length & ~std::size_t(15);
        const quint32 inner = foldedCrc(~crc, data, folded);
        return ~tabledCrc(inner, data + folded, length - folded);
    }
#endif
    // zlib's own loop for whole files and records; the call costs more than the tables for a few
    // dozen bytes, the length of most identifiers and journal lines.
    if (length >= kZlibFrom)
        return quint32(crc32_z(crc, data, z_size_t(length)));
    return ~tabledCrc(~crc, data, length);
}

} // namespace platform
