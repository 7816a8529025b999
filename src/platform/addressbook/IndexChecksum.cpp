#include "platform/addressbook/IndexChecksum.h"

#include <zlib.h>

#include <algorithm>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace platform {

namespace {

// zlib takes at most 4 GiB a call.
constexpr qsizetype kMaxZlibPiece = qsizetype(1) << 30;

quint32 zlibCrc32(quint32 crc, QByteArrayView bytes)
{
    uLong checksum = crc;
    while (!bytes.isEmpty()) {
        const qsizetype piece = std::min(bytes.size(), kMaxZlibPiece);
        checksum = ::crc32(checksum, reinterpret_cast<const Bytef *>(bytes.data()), uInt(piece));
        bytes = bytes.sliced(piece);
    }
    return quint32(checksum);
}

#if defined(__x86_64__)

using Lanes = __m128i;

// The CRC's polynomial and the powers of x that fold 128 bits across 512, across 128 and down to 64,
// bit-reflected as the CRC is; then the polynomial and its Barrett constant for the last reduction.
alignas(16) constexpr quint64 kFoldBy4[] = {0x0154442bd4, 0x01c6e41596};
alignas(16) constexpr quint64 kFoldBy1[] = {0x01751997d0, 0x00ccaa009e};
alignas(16) constexpr quint64 kFoldTo64[] = {0x0163cd6124, 0x0000000000};
alignas(16) constexpr quint64 kBarrett[] = {0x01db710641, 0x01f7011641};

__attribute__((target("pclmul,sse4.1"))) Lanes load(const uchar *at)
{
    return _mm_loadu_si128(reinterpret_cast<const Lanes *>(at));
}

__attribute__((target("pclmul,sse4.1"))) Lanes constants(const quint64 *pair)
{
    return _mm_load_si128(reinterpret_cast<const Lanes *>(pair));
}

// The lanes carried 128 bits on by the constants, with the next 128 bits added.
__attribute__((target("pclmul,sse4.1"))) Lanes folded(Lanes lanes, Lanes by, Lanes next)
{
    const Lanes low = _mm_clmulepi64_si128(lanes, by, 0x00);
    return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(lanes, by, 0x11), low), next);
}

// The 128 bits reduced to the 32-bit remainder.
__attribute__((target("pclmul,sse4.1"))) quint32 reduced(Lanes lanes)
{
    const Lanes low32s = _mm_setr_epi32(~0, 0, ~0, 0);
    lanes = _mm_xor_si128(_mm_srli_si128(lanes, 8), _mm_clmulepi64_si128(lanes, constants(kFoldBy1), 0x10));
    const Lanes high = _mm_srli_si128(lanes, 4);
    const Lanes to64 = _mm_loadl_epi64(reinterpret_cast<const Lanes *>(kFoldTo64));
    lanes = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(lanes, low32s), to64, 0x00), high);
    const Lanes barrett = constants(kBarrett);
    Lanes quotient = _mm_and_si128(_mm_clmulepi64_si128(_mm_and_si128(lanes, low32s), barrett, 0x10), low32s);
    quotient = _mm_clmulepi64_si128(quotient, barrett, 0x00);
    return quint32(_mm_extract_epi32(_mm_xor_si128(lanes, quotient), 1));
}

// The CRC register (not inverted) after the bytes, whose length is a multiple of 16 and at least
// 64: four lanes of 128 bits fold 64 bytes a step, then fold into one.
__attribute__((target("pclmul,sse4.1"))) quint32 foldedCrc(const uchar *bytes, qsizetype length, quint32 crc)
{
    Lanes lanes[4] = {load(bytes), load(bytes + 16), load(bytes + 32), load(bytes + 48)};
    lanes[0] = _mm_xor_si128(lanes[0], _mm_cvtsi32_si128(int(crc)));
    const Lanes by4 = constants(kFoldBy4);
    qsizetype at = 64;
    for (; length - at >= 64; at += 64) {
        for (int lane = 0; lane < 4; ++lane)
            lanes[lane] = folded(lanes[lane], by4, load(bytes + at + 16 * lane));
    }
    const Lanes by1 = constants(kFoldBy1);
    Lanes one = lanes[0];
    for (int lane = 1; lane < 4; ++lane)
        one = folded(one, by1, lanes[lane]);
    for (; length - at >= 16; at += 16)
        one = folded(one, by1, load(bytes + at));
    return reduced(one);
}

bool canFold()
{
    static const bool isSupported = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
    return isSupported;
}

#endif

} // namespace

quint32 continuedCrc32(quint32 crc, QByteArrayView bytes)
{
#if defined(__x86_64__)
    if (bytes.size() >= 64 && canFold()) {
        const qsizetype whole = bytes.size() & ~qsizetype(15);
        crc = ~foldedCrc(reinterpret_cast<const uchar *>(bytes.data()), whole, ~crc);
        bytes = bytes.sliced(whole);
    }
#endif
    return zlibCrc32(crc, bytes);
}

} // namespace platform
