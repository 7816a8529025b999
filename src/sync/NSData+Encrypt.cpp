#include "sync/NSData+Encrypt.h"

// The bare AES block functions, not the EVP interface: the settings file is deciphered in every run,
// and EVP's first use loads the crypto library's configuration and its provider machinery, which
// costs every run about 2 MB of memory for 16-byte blocks that the code below chains itself. The block
// functions are deprecated in OpenSSL 3 but still shipped; they are used in this file only. TLS goes
// through EVP elsewhere and keeps the system's crypto policy.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/aes.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <array>
#include <cstring>
#include <limits>

using platform::Error;
using platform::ErrorCode;
using platform::Result;

namespace {

constexpr quint32 kMagic = 0xd6c7b8a9;
constexpr qsizetype kMagicBytes = 4;
constexpr qsizetype kLengthBytes = 4;
constexpr qsizetype kBlockBytes = 16;
constexpr qsizetype kKeyBytes = 32;
// The length field is read as a signed 32-bit number, and the zero fill must not carry the framed
// size past it either.
constexpr qint64 kMaxPayloadBytes = qint64(std::numeric_limits<qint32>::max()) - kBlockBytes;

using Block = std::array<unsigned char, kBlockBytes>;
using Key = std::array<unsigned char, kKeyBytes>;

// Both constants are part of the file format: changing either makes every stored file unreadable.
constexpr Block kInitialisationVector{0x76, 0x8d, 0x80, 0xb1, 0xe2, 0x4e, 0xdd, 0xdb,
                                      0x01, 0xe0, 0xf4, 0xb9, 0x1c, 0x45, 0xb4, 0x92};
constexpr Key kKeyMask{0xc2, 0xe7, 0xb9, 0xe4, 0x1b, 0x43, 0x09, 0x34, 0xcf, 0x53, 0x7c, 0x8b, 0xa2, 0x13, 0x23, 0x69,
                       0xb4, 0xb2, 0x1e, 0x9d, 0x70, 0x3c, 0x43, 0x0b, 0x42, 0xb9, 0x6c, 0xf8, 0x82, 0x65, 0x14, 0x8b};

// Wipes the derived key and its schedule when the call ends, whichever way it ends.
struct ScopedKey
{
    Key bytes{};
    AES_KEY schedule{};
    ~ScopedKey()
    {
        OPENSSL_cleanse(bytes.data(), bytes.size());
        OPENSSL_cleanse(&schedule, sizeof schedule);
    }
};

void deriveKey(const QString &passphrase, Key &key)
{
    QByteArray bytes = passphrase.toUtf8();
    const qsizetype zero = bytes.indexOf('\0');
    if (zero >= 0)
        bytes.truncate(zero);
    for (qsizetype index = 0; index < kKeyBytes; ++index) {
        const unsigned char pass = bytes.isEmpty() ? 0 : static_cast<unsigned char>(bytes.at(index % bytes.size()));
        key[std::size_t(index)] = kKeyMask[std::size_t(index)] ^ pass;
    }
    OPENSSL_cleanse(bytes.data(), std::size_t(bytes.size()));
}

void xorBlock(unsigned char *target, const unsigned char *with)
{
    for (qsizetype index = 0; index < kBlockBytes; ++index)
        target[index] ^= with[index];
}

// CBC over whole blocks in place: each block is XORed with the cipher block before it (the vector for
// the first) and then enciphered.
void encryptBlocks(const AES_KEY &schedule, const unsigned char *vector, unsigned char *region, qsizetype byteCount)
{
    const unsigned char *previous = vector;
    for (qsizetype offset = 0; offset < byteCount; offset += kBlockBytes) {
        unsigned char *block = region + offset;
        xorBlock(block, previous);
        AES_encrypt(block, block, &schedule);
        previous = block;
    }
}

// CBC the other way: each block deciphers on its own and is then XORed with the cipher block before it.
void decryptBlocks(const AES_KEY &schedule, const unsigned char *vector, const unsigned char *input,
                   unsigned char *output, qsizetype byteCount)
{
    for (qsizetype offset = 0; offset < byteCount; offset += kBlockBytes) {
        AES_decrypt(input + offset, output + offset, &schedule);
        xorBlock(output + offset, offset == 0 ? vector : input + offset - kBlockBytes);
    }
}

void writeLittleEndian32(char *target, quint32 value)
{
    for (int index = 0; index < 4; ++index)
        target[index] = char((value >> (8 * index)) & 0xff);
}

quint32 readLittleEndian32(const char *source)
{
    quint32 value = 0;
    for (int index = 0; index < 4; ++index)
        value |= quint32(static_cast<unsigned char>(source[index])) << (8 * index);
    return value;
}

// The key schedule of a 32-byte key; false when the library refuses it.
bool makeSchedule(const unsigned char *key, bool encrypting, AES_KEY &schedule)
{
    const int status = encrypting ? AES_set_encrypt_key(key, 8 * kKeyBytes, &schedule)
                                  : AES_set_decrypt_key(key, 8 * kKeyBytes, &schedule);
    return status == 0;
}

Error refusedKey()
{
    return Error(ErrorCode::DataOther, QStringLiteral("the AES-256 key schedule could not be made"));
}

} // namespace

Result<QByteArray> cipherAes256Cbc(QByteArrayView key, QByteArrayView vector, QByteArrayView blocks, bool encrypting)
{
    if (key.size() != kKeyBytes || vector.size() != kBlockBytes || blocks.size() % kBlockBytes != 0)
        return Error(ErrorCode::DataOther, QStringLiteral("AES-256-CBC takes a 32-byte key, a 16-byte vector and whole blocks"));
    ScopedKey scoped;
    if (!makeSchedule(reinterpret_cast<const unsigned char *>(key.data()), encrypting, scoped.schedule))
        return refusedKey();
    QByteArray output(blocks.size(), '\0');
    const auto *vectorBytes = reinterpret_cast<const unsigned char *>(vector.data());
    auto *outputBytes = reinterpret_cast<unsigned char *>(output.data());
    if (encrypting) {
        if (!blocks.isEmpty())
            std::memcpy(outputBytes, blocks.data(), std::size_t(blocks.size()));
        encryptBlocks(scoped.schedule, vectorBytes, outputBytes, blocks.size());
    } else {
        decryptBlocks(scoped.schedule, vectorBytes, reinterpret_cast<const unsigned char *>(blocks.data()), outputBytes,
                      blocks.size());
    }
    return output;
}

Result<QByteArray> encryptAESKey(const QByteArray &data, const QString &key)
{
    const qint64 payloadBytes = data.size();
    if (payloadBytes >= kMaxPayloadBytes) {
        return Error(ErrorCode::DataOther,
                     QStringLiteral("a payload of %1 bytes is too large to encrypt").arg(payloadBytes));
    }
    const qsizetype plainBytes = kLengthBytes + qsizetype(payloadBytes);
    const qsizetype fillBytes = (kBlockBytes - plainBytes % kBlockBytes) % kBlockBytes;
    QByteArray framed(kMagicBytes + plainBytes + fillBytes, '\0');
    writeLittleEndian32(framed.data(), kMagic);
    writeLittleEndian32(framed.data() + kMagicBytes, quint32(payloadBytes));
    if (payloadBytes > 0)
        std::memcpy(framed.data() + kMagicBytes + kLengthBytes, data.constData(), std::size_t(payloadBytes));

    ScopedKey scoped;
    deriveKey(key, scoped.bytes);
    if (!makeSchedule(scoped.bytes.data(), true, scoped.schedule))
        return refusedKey();
    encryptBlocks(scoped.schedule, kInitialisationVector.data(),
                  reinterpret_cast<unsigned char *>(framed.data() + kMagicBytes), plainBytes + fillBytes);
    return framed;
}

Result<QByteArray> decryptAESKey(const QByteArray &data, const QString &key)
{
    if (data.size() < kMagicBytes || readLittleEndian32(data.constData()) != kMagic)
        return QByteArray(data);

    const qsizetype regionBytes = data.size() - kMagicBytes;
    if (regionBytes == 0 || regionBytes % kBlockBytes != 0) {
        return Error(ErrorCode::DataTruncated,
                     QStringLiteral("the encrypted part of %1 bytes is not a whole number of %2-byte blocks")
                         .arg(regionBytes)
                         .arg(kBlockBytes));
    }
    ScopedKey scoped;
    deriveKey(key, scoped.bytes);
    if (!makeSchedule(scoped.bytes.data(), false, scoped.schedule))
        return refusedKey();
    QByteArray plain(regionBytes, '\0');
    decryptBlocks(scoped.schedule, kInitialisationVector.data(),
                  reinterpret_cast<const unsigned char *>(data.constData() + kMagicBytes),
                  reinterpret_cast<unsigned char *>(plain.data()), regionBytes);

    const qint64 payloadBytes = qint32(readLittleEndian32(plain.constData()));
    if (payloadBytes < 0 || payloadBytes > regionBytes - kLengthBytes) {
        OPENSSL_cleanse(plain.data(), std::size_t(plain.size()));
        return Error(ErrorCode::DataMalformed,
                     QStringLiteral("the length field (%1) does not fit the %2 bytes that follow it")
                         .arg(payloadBytes)
                         .arg(regionBytes - kLengthBytes));
    }
    return plain.mid(kLengthBytes, qsizetype(payloadBytes));
}

// ---- Digests and encodings ----

namespace {

QByteArray evpDigest(const EVP_MD *type, QByteArrayView data)
{
    QByteArray digest(EVP_MD_get_size(type), '\0');
    unsigned int length = 0;
    EVP_Digest(data.data(), std::size_t(data.size()), reinterpret_cast<unsigned char *>(digest.data()), &length,
               type, nullptr);
    digest.truncate(int(length));
    return digest;
}

constexpr char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int base64Value(char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    return c == '/' ? 63 : -1;
}

} // namespace

QByteArray md5Digest(QByteArrayView data)
{
    return evpDigest(EVP_md5(), data);
}

QByteArray sha1Digest(QByteArrayView data)
{
    return evpDigest(EVP_sha1(), data);
}

QString hexStringValue(QByteArrayView data)
{
    return QString::fromLatin1(data.toByteArray().toHex());
}

QString base64Encoded(QByteArrayView data)
{
    QString text;
    text.reserve((data.size() + 2) / 3 * 4);
    for (qsizetype i = 0; i < data.size(); i += 3) {
        const qsizetype count = std::min<qsizetype>(3, data.size() - i);
        std::uint32_t group = 0;
        for (qsizetype j = 0; j < 3; ++j)
            group = (group << 8) | (j < count ? std::uint8_t(data[i + j]) : 0U);
        for (int j = 0; j < 4; ++j)
            text += j <= count ? QLatin1Char(kBase64Alphabet[(group >> (18 - 6 * j)) & 0x3F]) : QLatin1Char('=');
    }
    return text;
}

QByteArray base64Decoded(QByteArrayView text)
{
    QByteArray bytes;
    bytes.reserve(text.size() / 4 * 3 + 2);
    std::uint32_t group = 0;
    int count = 0;
    for (const char c : text) {
        if (c == '=')
            break;
        const int value = base64Value(c);
        if (value < 0)
            continue;
        group = (group << 6) | std::uint32_t(value);
        if (++count == 4) {
            bytes.append(char(group >> 16)).append(char(group >> 8)).append(char(group));
            group = 0;
            count = 0;
        }
    }
    // A short last group: one or two characters give one byte, three give two.
    if (count == 1)
        bytes.append(char(group << 2));
    else if (count == 2)
        bytes.append(char(group >> 4));
    else if (count == 3)
        bytes.append(char(group >> 10)).append(char(group >> 2));
    return bytes;
}
