#include "platform/foundation/Crc32.h"

#include <QtEndian>

#include <array>
#include <cstddef>

#if defined(__x86_64__)
#include <immintrin.h>
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

#if defined(__x86_64__)
#define HM_CARRYLESS __attribute__((target("pclmul,sse4.1")))

// Carry-less folding: four 16-byte lanes are each folded forward over the bytes by a multiple of
// x^512 modulo the polynomial, then into one lane, and that is reduced to 32 bits (Barrett). The
// constants are powers of x modulo the bit-reflected polynomial 0x1DB710641.
HM_CARRYLESS __m128i loadLane(const uchar *bytes)
{
    return _mm_loadu_si128(reinterpret_cast<const __m128i *>(bytes));
}

// The lane moved forward by the distance the constants stand for, added to the bytes found there.
HM_CARRYLESS __m128i foldLane(__m128i lane, __m128i constants, __m128i next)
{
    const __m128i low = _mm_clmulepi64_si128(lane, constants, 0x00);
    const __m128i high = _mm_clmulepi64_si128(lane, constants, 0x11);
    return _mm_xor_si128(_mm_xor_si128(low, high), next);
}

// The lane reduced to 32 bits, by128 being the constants that fold one lane onto the next.
HM_CARRYLESS quint32 reducedLane(__m128i lane, __m128i by128)
{
    const __m128i by64 = _mm_set_epi64x(0, 0x163cd6124);
    const __m128i barrett = _mm_set_epi64x(0x1f7011641, 0x1db710641);
    const __m128i low32 = _mm_set_epi32(0, 0, 0, -1);
    __m128i folded = _mm_xor_si128(_mm_clmulepi64_si128(lane, by128, 0x10), _mm_srli_si128(lane, 8));
    folded = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(folded, low32), by64, 0x00), _mm_srli_si128(folded, 4));
    __m128i quotient = _mm_clmulepi64_si128(_mm_and_si128(folded, low32), barrett, 0x10);
    quotient = _mm_clmulepi64_si128(_mm_and_si128(quotient, low32), barrett, 0x00);
    return quint32(_mm_extract_epi32(_mm_xor_si128(quotient, folded), 1));
}

// The CRC register (inverted, as it runs) after the bytes; the length is a multiple of 16, at least 64.
HM_CARRYLESS quint32 foldedCrc(quint32 crc, const uchar *bytes, std::size_t length)
{
    const __m128i by512 = _mm_set_epi64x(0x1c6e41596, 0x154442bd4);
    const __m128i by128 = _mm_set_epi64x(0x0ccaa009e, 0x1751997d0);
    constexpr std::size_t kLanes = 4;
    __m128i lanes[kLanes] = {_mm_xor_si128(loadLane(bytes), _mm_cvtsi32_si128(int(crc))), loadLane(bytes + 16),
                             loadLane(bytes + 32), loadLane(bytes + 48)};
    std::size_t done = 64;
    for (; done + 64 <= length; done += 64) {
        for (std::size_t lane = 0; lane < kLanes; ++lane)
            lanes[lane] = foldLane(lanes[lane], by512, loadLane(bytes + done + 16 * lane));
    }
    __m128i lane = lanes[0];
    for (std::size_t next = 1; next < kLanes; ++next)
        lane = foldLane(lane, by128, lanes[next]);
    for (; done + 16 <= length; done += 16)
        lane = foldLane(lane, by128, loadLane(bytes + done));
    return reducedLane(lane, by128);
}

#undef HM_CARRYLESS

bool canFoldCrc()
{
    static const bool can = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
    return can;
}
#endif

} // namespace

quint32 crc32Continued(quint32 crc, QByteArrayView bytes)
{
    const auto *data = reinterpret_cast<const uchar *>(bytes.data());
    std::size_t length = std::size_t(bytes.size());
    crc = ~crc;
#if defined(__x86_64__)
    if (length >= 64 && canFoldCrc()) {
        const std::size_t folded = length & ~std::size_t(15);
        crc = foldedCrc(crc, data, folded);
        data += folded;
        length -= folded;
    }
#endif
    return ~tabledCrc(crc, data, length);
}

} // namespace platform
