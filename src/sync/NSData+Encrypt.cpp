#include "sync/NSData+Encrypt.h"

#include <openssl/err.h>
#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <memory>

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

struct CipherContextFree
{
    void operator()(EVP_CIPHER_CTX *context) const { EVP_CIPHER_CTX_free(context); }
};
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, CipherContextFree>;

enum class Direction { Encrypt, Decrypt };

// Wipes the derived key when the call ends, whichever way it ends.
struct ScopedKey
{
    Key bytes{};
    ~ScopedKey() { OPENSSL_cleanse(bytes.data(), bytes.size()); }
};

QString lastCryptoError()
{
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0)
        return QStringLiteral("no reason given");
    char text[256] = {};
    ERR_error_string_n(code, text, sizeof text);
    return QString::fromLatin1(text);
}

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

// The bare AES-256 block cipher: the chaining is done by the callers, one block at a time.
Result<CipherContext> makeBlockCipher(const QString &passphrase, Direction direction)
{
    ScopedKey key;
    deriveKey(passphrase, key.bytes);
    CipherContext context(EVP_CIPHER_CTX_new());
    const int encrypting = direction == Direction::Encrypt ? 1 : 0;
    if (!context ||
        EVP_CipherInit_ex(context.get(), EVP_aes_256_ecb(), nullptr, key.bytes.data(), nullptr, encrypting) != 1 ||
        EVP_CIPHER_CTX_set_padding(context.get(), 0) != 1) {
        return Error(ErrorCode::DataOther, QStringLiteral("AES-256 is not available: %1").arg(lastCryptoError()));
    }
    return context;
}

// Runs whole blocks through the cipher, in pieces small enough for the library's int lengths.
bool runBlocks(EVP_CIPHER_CTX *context, const unsigned char *input, unsigned char *output, qsizetype byteCount)
{
    constexpr qsizetype kPieceBytes = 1 << 20;
    for (qsizetype offset = 0; offset < byteCount; offset += kPieceBytes) {
        const int pieceBytes = int(std::min(kPieceBytes, byteCount - offset));
        int written = 0;
        if (EVP_CipherUpdate(context, output + offset, &written, input + offset, pieceBytes) != 1 ||
            written != pieceBytes)
            return false;
    }
    return true;
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

} // namespace

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

    Result<CipherContext> cipher = makeBlockCipher(key, Direction::Encrypt);
    if (!cipher)
        return cipher.error();
    auto *region = reinterpret_cast<unsigned char *>(framed.data() + kMagicBytes);
    const qsizetype regionBytes = plainBytes + fillBytes;
    const unsigned char *previous = kInitialisationVector.data();
    for (qsizetype offset = 0; offset < regionBytes; offset += kBlockBytes) {
        unsigned char *block = region + offset;
        for (qsizetype index = 0; index < kBlockBytes; ++index)
            block[index] ^= previous[index];
        if (!runBlocks(cipher->get(), block, block, kBlockBytes))
            return Error(ErrorCode::DataOther, QStringLiteral("AES-256 encryption failed: %1").arg(lastCryptoError()));
        previous = block;
    }
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
    Result<CipherContext> cipher = makeBlockCipher(key, Direction::Decrypt);
    if (!cipher)
        return cipher.error();

    // In CBC each block deciphers on its own and is then XORed with the cipher block before it, so
    // the whole region goes through the block cipher in one call.
    QByteArray plain(regionBytes, '\0');
    const auto *region = reinterpret_cast<const unsigned char *>(data.constData() + kMagicBytes);
    auto *output = reinterpret_cast<unsigned char *>(plain.data());
    if (!runBlocks(cipher->get(), region, output, regionBytes))
        return Error(ErrorCode::DataOther, QStringLiteral("AES-256 decryption failed: %1").arg(lastCryptoError()));
    for (qsizetype offset = 0; offset < regionBytes; offset += kBlockBytes) {
        const unsigned char *previous = offset == 0 ? kInitialisationVector.data() : region + offset - kBlockBytes;
        for (qsizetype index = 0; index < kBlockBytes; ++index)
            output[offset + index] ^= previous[index];
    }

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
