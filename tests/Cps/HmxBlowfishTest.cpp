#include "Cps/HmxBlowfish.h"

#include "CpsTestSupport.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<unsigned char> fromHex(const std::string &hex)
{
    std::vector<unsigned char> bytes;
    for (std::size_t index = 0; index + 1 < hex.size(); index += 2)
        bytes.push_back(static_cast<unsigned char>(std::stoi(hex.substr(index, 2), nullptr, 16)));
    return bytes;
}

std::string toHex(const unsigned char *bytes, std::size_t count)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string hex;
    for (std::size_t index = 0; index < count; ++index) {
        hex += digits[bytes[index] >> 4];
        hex += digits[bytes[index] & 0xF];
    }
    return hex;
}

std::uint32_t bigEndianWord(const std::vector<unsigned char> &bytes, std::size_t offset)
{
    return std::uint32_t(bytes[offset]) << 24 | std::uint32_t(bytes[offset + 1]) << 16 |
           std::uint32_t(bytes[offset + 2]) << 8 | bytes[offset + 3];
}

std::string blockHex(std::uint32_t left, std::uint32_t right)
{
    const unsigned char bytes[8] = {static_cast<unsigned char>(left >> 24),  static_cast<unsigned char>(left >> 16),
                                    static_cast<unsigned char>(left >> 8),   static_cast<unsigned char>(left),
                                    static_cast<unsigned char>(right >> 24), static_cast<unsigned char>(right >> 16),
                                    static_cast<unsigned char>(right >> 8),  static_cast<unsigned char>(right)};
    return toHex(bytes, 8);
}

// Encrypts the block given in the cipher's big-endian order and answers the result the same way.
std::string encryptedHex(const HmxBlowfish &cipher, const std::string &plainHex)
{
    const std::vector<unsigned char> plain = fromHex(plainHex);
    std::uint32_t left = bigEndianWord(plain, 0);
    std::uint32_t right = bigEndianWord(plain, 4);
    cipher.EncryptBlock(left, right);
    return blockHex(left, right);
}

void swapHalves(unsigned char *block)
{
    std::swap(block[0], block[3]);
    std::swap(block[1], block[2]);
    std::swap(block[4], block[7]);
    std::swap(block[5], block[6]);
}

struct Vector
{
    const char *key;
    const char *plain;
    const char *cipher;
};

// The published electronic-codebook test vectors for Blowfish (key, plaintext, ciphertext, in the
// cipher's big-endian block order).
const Vector kPublishedVectors[] = {
    {"0000000000000000", "0000000000000000", "4EF997456198DD78"},
    {"FFFFFFFFFFFFFFFF", "FFFFFFFFFFFFFFFF", "51866FD5B85ECB8A"},
    {"3000000000000000", "1000000000000001", "7D856F9A613063F2"},
    {"1111111111111111", "1111111111111111", "2466DD878B963C9D"},
    {"0123456789ABCDEF", "1111111111111111", "61F9C3802281B096"},
    {"1111111111111111", "0123456789ABCDEF", "7D0CC630AFDA1EC7"},
    {"0000000000000000", "0000000000000000", "4EF997456198DD78"},
    {"FEDCBA9876543210", "0123456789ABCDEF", "0ACEAB0FC6A0A28D"},
    {"7CA110454A1A6E57", "01A1D6D039776742", "59C68245EB05282B"},
    {"0131D9619DC1376E", "5CD54CA83DEF57DA", "B1B8CC0B250F09A0"},
    {"07A1133E4A0B2686", "0248D43806F67172", "1730E5778BEA1DA4"},
    {"3849674C2602319E", "51454B582DDF440A", "A25E7856CF2651EB"},
    {"04B915BA43FEB5B6", "42FD443059577FA2", "353882B109CE8F1A"},
    {"0113B970FD34F2CE", "059B5E0851CF143A", "48F4D0884C379918"},
    {"0170F175468FB5E6", "0756D8E0774761D2", "432193B78951FC98"},
    {"43297FAD38E373FE", "762514B829BF486A", "13F04154D69D1AE5"},
    {"07A7137045DA2A16", "3BDD119049372802", "2EEDDA93FFD39C79"},
    {"04689104C2FD3B2F", "26955F6835AF609A", "D887E0393C2DA6E3"},
    {"37D06BB516CB7546", "164D5E404F275232", "5F99D04F5B163969"},
    {"1F08260D1AC2465E", "6B056E18759F5CCA", "4A057A3B24D3977B"},
    {"584023641ABA6176", "004BD6EF09176062", "452031C1E4FADA8E"},
    {"025816164629B007", "480D39006EE762F2", "7555AE39F59B87BD"},
    {"49793EBC79B3258F", "437540C8698F3CFA", "53C55F9CB49FC019"},
    {"4FB05E1515AB73A7", "072D43A077075292", "7A8E7BFA937E89A3"},
    {"49E95D6D4CA229BF", "02FE55778117F12A", "CF9C5D7A4986ADB5"},
    {"018310DC409B26D6", "1D9D5C5018F728C2", "D1ABB290658BC778"},
    {"1C587F1C13924FEF", "305532286D6F295A", "55CB3774D13EF201"},
    {"0101010101010101", "0123456789ABCDEF", "FA34EC4847B268B2"},
    {"1F1F1F1F0E0E0E0E", "0123456789ABCDEF", "A790795108EA3CAE"},
    {"E0FEE0FEF1FEF1FE", "0123456789ABCDEF", "C39E072D9FAC631D"},
    {"0000000000000000", "FFFFFFFFFFFFFFFF", "014933E0CDAFF6E4"},
    {"FFFFFFFFFFFFFFFF", "0000000000000000", "F21E9A77B71C49BC"},
    {"0123456789ABCDEF", "0000000000000000", "245946885754369A"},
    {"FEDCBA9876543210", "FFFFFFFFFFFFFFFF", "6B5C5A9C5D9E0A5A"},
};

TEST(HmxBlowfish, MatchesThePublishedVectors)
{
    for (const Vector &vector : kPublishedVectors) {
        SCOPED_TRACE(std::string(vector.key) + " " + vector.plain);
        const std::vector<unsigned char> key = fromHex(vector.key);
        HmxBlowfish cipher;
        cipher.Initialize(key.data(), key.size());
        EXPECT_EQ(encryptedHex(cipher, vector.plain), vector.cipher);
        const std::vector<unsigned char> encrypted = fromHex(vector.cipher);
        std::uint32_t left = bigEndianWord(encrypted, 0);
        std::uint32_t right = bigEndianWord(encrypted, 4);
        cipher.DecryptBlock(left, right);
        EXPECT_EQ(blockHex(left, right), vector.plain);
    }
}

// Keys of one to 24 bytes of one longer key, all on the same block.
TEST(HmxBlowfish, MatchesThePublishedVariableKeyVectors)
{
    const std::vector<unsigned char> key = fromHex("F0E1D2C3B4A5968778695A4B3C2D1E0F0011223344556677");
    const char *ciphers[] = {"F9AD597C49DB005E", "E91D21C1D961A6D6", "E9C2B70A1BC65CF3", "BE1E639408640F05",
                             "B39E44481BDB1E6E", "9457AA83B1928C0D", "8BB77032F960629D", "E87A244E2CC85E82",
                             "15750E7A4F4EC577", "122BA70B3AB64AE0", "3A833C9AFFC537F6", "9409DA87A90F6BF2",
                             "884F80625060B8B4", "1F85031C19E11968", "79D9373A714CA34F", "93142887EE3BE15C",
                             "03429E838CE2D14B", "A4299E27469FF67B", "AFD5AED1C1BC96A8", "10851C0E3858DA9F",
                             "E6F51ED79B9DB21F", "64A6E14AFD36B46F", "80C7D7D45A5479AD", "05044B62FA52D080"};
    for (std::size_t length = 1; length <= key.size(); ++length) {
        SCOPED_TRACE(length);
        HmxBlowfish cipher;
        cipher.Initialize(key.data(), length);
        EXPECT_EQ(encryptedHex(cipher, "FEDCBA9876543210"), ciphers[length - 1]);
    }
}

TEST(HmxBlowfish, TextKeysGiveThePublishedBlocks)
{
    struct Row
    {
        const char *key;
        const char *plain;
        const char *cipher;
    };
    const Row rows[] = {{"abcdefghijklmnopqrstuvwxyz", "424C4F5746495348", "324ED0FEF413A203"},
                        {"Who is John Galt?", "FEDCBA9876543210", "CC91732B8022F684"}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.key);
        HmxBlowfish cipher;
        cipher.Initialize(row.key);
        EXPECT_EQ(encryptedHex(cipher, row.plain), row.cipher);
    }
}

// Buffers are read as little-endian words: the published result appears only when each half is
// byte-swapped before and after.
TEST(HmxBlowfish, BuffersReadHalvesInTheProcessorsOrder)
{
    unsigned char block[16];
    std::memcpy(block, "BLOWFISHBLOWFISH", 16);
    unsigned char swapped[16];
    std::memcpy(swapped, block, 16);
    swapHalves(swapped);
    swapHalves(swapped + 8);
    ASSERT_EQ(HmxBlowfish::EncryptBuffer("abcdefghijklmnopqrstuvwxyz", swapped, 16), 1);
    swapHalves(swapped);
    swapHalves(swapped + 8);
    EXPECT_EQ(toHex(swapped, 16), "324ED0FEF413A203324ED0FEF413A203");
    ASSERT_EQ(HmxBlowfish::EncryptBuffer("abcdefghijklmnopqrstuvwxyz", block, 16), 1);
    EXPECT_NE(toHex(block, 8), "324ED0FEF413A203");
    EXPECT_EQ(toHex(block, 8), toHex(block + 8, 8));
    ASSERT_EQ(HmxBlowfish::DecryptBuffer("abcdefghijklmnopqrstuvwxyz", block, 16), 1);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(block), 16), "BLOWFISHBLOWFISH");
}

TEST(HmxBlowfish, RepeatsTheKeyCyclically)
{
    HmxBlowfish abc;
    abc.Initialize("abc");
    HmxBlowfish abcabc;
    abcabc.Initialize("abcabc");
    EXPECT_TRUE(abc == abcabc);
    HmxBlowfish abd;
    abd.Initialize("abd");
    EXPECT_FALSE(abc == abd);

    const std::string common(72, 'k');
    HmxBlowfish first;
    first.Initialize((common + "first tail beyond 72 bytes").c_str());
    HmxBlowfish second;
    second.Initialize((common + "another tail").c_str());
    EXPECT_TRUE(first == second);
    HmxBlowfish differentAt71;
    differentAt71.Initialize((std::string(71, 'k') + "X" + "first tail beyond 72 bytes").c_str());
    EXPECT_FALSE(first == differentAt71);
}

TEST(HmxBlowfish, AnEmptyKeyKeepsTheInitialTables)
{
    const HmxBlowfish initial;
    HmxBlowfish keyed;
    keyed.Initialize("secret");
    EXPECT_FALSE(keyed == initial);
    keyed.Initialize("");
    EXPECT_TRUE(keyed == initial);
    keyed.Initialize(static_cast<const char *>(nullptr));
    EXPECT_TRUE(keyed == initial);
    std::uint32_t left = 0;
    std::uint32_t right = 0;
    keyed.EncryptBlock(left, right);
    EXPECT_FALSE(left == 0 && right == 0);
    keyed.DecryptBlock(left, right);
    EXPECT_EQ(left, 0u);
    EXPECT_EQ(right, 0u);
}

TEST(HmxBlowfish, ProcessesOnlyWholeBlocks)
{
    struct Row
    {
        const char *name;
        std::int64_t length;
        int expected;
    };
    const Row rows[] = {{"empty", 0, 1},
                        {"negative", -8, 0},
                        {"one byte short", 15, 0},
                        {"one byte over", 9, 0},
                        {"two blocks", 16, 1}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        unsigned char buffer[24];
        for (unsigned index = 0; index < sizeof buffer; ++index)
            buffer[index] = static_cast<unsigned char>(index * 7);
        unsigned char original[24];
        std::memcpy(original, buffer, sizeof buffer);
        EXPECT_EQ(HmxBlowfish::EncryptBuffer("key", buffer, row.length), row.expected);
        const bool changed = std::memcmp(buffer, original, sizeof buffer) != 0;
        EXPECT_EQ(changed, row.expected == 1 && row.length > 0);
        EXPECT_EQ(std::memcmp(buffer + 16, original + 16, 8), 0);
    }
}

TEST(HmxBlowfish, DecryptionRestoresAnyWholeBuffer)
{
    std::vector<unsigned char> buffer(4096);
    unsigned state = 12345;
    for (unsigned char &byte : buffer) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<unsigned char>(state >> 16);
    }
    const std::vector<unsigned char> original = buffer;
    for (const char *key : {"a", "profile password", "\xff\x80\x01"}) {
        SCOPED_TRACE(key);
        HmxBlowfish cipher;
        cipher.Initialize(key);
        ASSERT_EQ(cipher.Encrypt(buffer.data() + 1, 4088), 1);
        EXPECT_NE(buffer, original);
        ASSERT_EQ(cipher.Decrypt(buffer.data() + 1, 4088), 1);
        EXPECT_EQ(buffer, original);
    }
}

} // namespace
