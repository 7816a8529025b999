#include "Cps/HmxBlowfish.h"

#include "Cps/HmxBlowfishTables.h"

#include <cstring>
#include <utility>

HmxBlowfish::HmxBlowfish()
{
    resetTables();
}

// The barrier keeps the compiler from dropping the reset as a store to an object about to die.
HmxBlowfish::~HmxBlowfish()
{
    resetTables();
    asm volatile("" : : "r"(this) : "memory");
}

void HmxBlowfish::resetTables()
{
    m_p = hmxblowfish::kInitialP;
    m_s = {hmxblowfish::kInitialS0, hmxblowfish::kInitialS1, hmxblowfish::kInitialS2, hmxblowfish::kInitialS3};
}

void HmxBlowfish::Initialize(const char *key)
{
    Initialize(reinterpret_cast<const unsigned char *>(key ? key : ""), key ? std::strlen(key) : 0);
}

void HmxBlowfish::Initialize(const unsigned char *key, std::size_t keyLength)
{
    resetTables();
    if (!key || keyLength == 0)
        return;
    std::size_t keyIndex = 0;
    for (std::uint32_t &subkey : m_p) {
        std::uint32_t word = 0;
        for (int byte = 0; byte < 4; ++byte) {
            word = word << 8 | key[keyIndex];
            keyIndex = (keyIndex + 1) % keyLength;
        }
        subkey ^= word;
    }
    std::uint32_t left = 0;
    std::uint32_t right = 0;
    for (std::size_t index = 0; index < m_p.size(); index += 2) {
        EncryptBlock(left, right);
        m_p[index] = left;
        m_p[index + 1] = right;
    }
    for (auto &box : m_s) {
        for (std::size_t index = 0; index < box.size(); index += 2) {
            EncryptBlock(left, right);
            box[index] = left;
            box[index + 1] = right;
        }
    }
}

std::uint32_t HmxBlowfish::feistel(std::uint32_t half) const
{
    return ((m_s[0][half >> 24] + m_s[1][(half >> 16) & 0xFF]) ^ m_s[2][(half >> 8) & 0xFF]) + m_s[3][half & 0xFF];
}

void HmxBlowfish::EncryptBlock(std::uint32_t &left, std::uint32_t &right) const
{
    std::uint32_t l = left;
    std::uint32_t r = right;
    for (int round = 0; round < kRounds; ++round) {
        l ^= m_p[round];
        r ^= feistel(l);
        std::swap(l, r);
    }
    std::swap(l, r);
    r ^= m_p[kRounds];
    l ^= m_p[kRounds + 1];
    left = l;
    right = r;
}

void HmxBlowfish::DecryptBlock(std::uint32_t &left, std::uint32_t &right) const
{
    std::uint32_t l = left;
    std::uint32_t r = right;
    for (int round = kRounds + 1; round > 1; --round) {
        l ^= m_p[round];
        r ^= feistel(l);
        std::swap(l, r);
    }
    std::swap(l, r);
    r ^= m_p[1];
    l ^= m_p[0];
    left = l;
    right = r;
}

// Blocks are copied in and out, so the buffer needs no particular alignment.
template <typename BlockFunction>
int HmxBlowfish::processBuffer(void *buffer, std::int64_t length, BlockFunction blockFunction) const
{
    if (length < 0 || length % 8 != 0 || (length > 0 && !buffer))
        return 0;
    unsigned char *bytes = static_cast<unsigned char *>(buffer);
    for (std::int64_t offset = 0; offset < length; offset += 8) {
        std::uint32_t halves[2];
        std::memcpy(halves, bytes + offset, sizeof halves);
        (this->*blockFunction)(halves[0], halves[1]);
        std::memcpy(bytes + offset, halves, sizeof halves);
    }
    return 1;
}

int HmxBlowfish::Encrypt(void *buffer, std::int64_t length) const
{
    return processBuffer(buffer, length, &HmxBlowfish::EncryptBlock);
}

int HmxBlowfish::Decrypt(void *buffer, std::int64_t length) const
{
    return processBuffer(buffer, length, &HmxBlowfish::DecryptBlock);
}

int HmxBlowfish::EncryptBuffer(const char *key, void *buffer, std::int64_t length)
{
    HmxBlowfish cipher;
    cipher.Initialize(key);
    return cipher.Encrypt(buffer, length);
}

int HmxBlowfish::DecryptBuffer(const char *key, void *buffer, std::int64_t length)
{
    HmxBlowfish cipher;
    cipher.Initialize(key);
    return cipher.Decrypt(buffer, length);
}
