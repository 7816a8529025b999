#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// The Blowfish block cipher (64-bit blocks, 16 rounds, key-dependent P-array and S-boxes) in
// electronic-codebook mode over whole buffers in place. Each 8-byte block is read as two 32-bit
// words in the processor's byte order, the first word the left half. Construction and destruction
// set the tables to the cipher's initial constants, so a destroyed object keeps nothing derived from
// a key. One thread at a time per object.
class HmxBlowfish
{
public:
    HmxBlowfish();
    HmxBlowfish(const HmxBlowfish &) = delete;
    HmxBlowfish &operator=(const HmxBlowfish &) = delete;
    ~HmxBlowfish();

    // Resets the tables and runs the key schedule over the zero-terminated key; an empty key leaves
    // the initial tables. The key repeats cyclically, so only its first 72 bytes matter.
    void Initialize(const char *key);
    // The same over key bytes that may hold zeros.
    void Initialize(const unsigned char *key, std::size_t keyLength);

    void EncryptBlock(std::uint32_t &left, std::uint32_t &right) const;
    void DecryptBlock(std::uint32_t &left, std::uint32_t &right) const;

    // Process every 8-byte block of the buffer in place and answer 1; a negative length or one that
    // is not a multiple of 8 processes nothing and answers 0.
    int Encrypt(void *buffer, std::int64_t length) const;
    int Decrypt(void *buffer, std::int64_t length) const;
    static int EncryptBuffer(const char *key, void *buffer, std::int64_t length);
    static int DecryptBuffer(const char *key, void *buffer, std::int64_t length);

    // Whether both objects hold the same tables.
    bool operator==(const HmxBlowfish &other) const = default;

private:
    static constexpr int kRounds = 16;
    static constexpr std::size_t kBoxSize = 256;

    void resetTables();
    std::uint32_t feistel(std::uint32_t half) const;
    template <typename BlockFunction>
    int processBuffer(void *buffer, std::int64_t length, BlockFunction blockFunction) const;

    std::array<std::uint32_t, kRounds + 2> m_p{};
    std::array<std::array<std::uint32_t, kBoxSize>, 4> m_s{};
};
