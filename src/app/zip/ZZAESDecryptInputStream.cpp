#include "app/zip/ZZAESDecryptInputStream.h"

#include "app/zip/ZZError.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <QtEndian>

#include <algorithm>

using platform::PlatformError;

namespace {

constexpr int kKeyDerivationRounds = 1000;

const EVP_CIPHER *cipherForKeyLength(int keyLength)
{
    switch (keyLength) {
    case 16:
        return EVP_aes_128_ecb();
    case 24:
        return EVP_aes_192_ecb();
    default:
        return EVP_aes_256_ecb();
    }
}

} // namespace

int ZZAESEncryptionStrength::getSaltLength(int strength)
{
    return strength >= 1 && strength <= 3 ? 4 + 4 * strength : -1;
}

int ZZAESEncryptionStrength::getKeyLength(int strength)
{
    return strength >= 1 && strength <= 3 ? 8 + 8 * strength : -1;
}

int ZZAESEncryptionStrength::getMacLength(int strength)
{
    return getKeyLength(strength);
}

std::unique_ptr<ZZInputStream> ZZAESDecryptInputStream::create(std::unique_ptr<ZZInputStream> upstream,
                                                               const QString &password, QByteArrayView saltAndVerifier,
                                                               int strength, qint64 dataLength,
                                                               QByteArrayView authenticationCode, PlatformError *error)
{
    const int saltLength = ZZAESEncryptionStrength::getSaltLength(strength);
    const int keyLength = ZZAESEncryptionStrength::getKeyLength(strength);
    const int macLength = ZZAESEncryptionStrength::getMacLength(strength);
    if (saltLength < 0 || saltAndVerifier.size() != saltLength + kPasswordVerifierLength ||
        authenticationCode.size() != kAuthenticationCodeLength) {
        failWith(error, ZZErrorCode::ReadLocalFile);
        return nullptr;
    }
    const QByteArray secret = password.toUtf8();
    QByteArray derived(keyLength + macLength + kPasswordVerifierLength, Qt::Uninitialized);
    const bool isDerived =
        PKCS5_PBKDF2_HMAC(secret.constData(), int(secret.size()),
                          reinterpret_cast<const uchar *>(saltAndVerifier.data()), saltLength, kKeyDerivationRounds,
                          EVP_sha1(), int(derived.size()), reinterpret_cast<uchar *>(derived.data())) == 1;
    if (!isDerived || derived.last(kPasswordVerifierLength) != saltAndVerifier.last(kPasswordVerifierLength)) {
        failWith(error, ZZErrorCode::InvalidPassword);
        return nullptr;
    }
    std::unique_ptr<ZZAESDecryptInputStream> stream(new ZZAESDecryptInputStream(std::move(upstream)));
    stream->m_authenticationCode = authenticationCode.toByteArray();
    stream->m_remainingBytes = dataLength;
    if (!stream->startCiphers(derived.first(keyLength), derived.sliced(keyLength, macLength))) {
        failWith(error, ZZErrorCode::ReadLocalFile);
        return nullptr;
    }
    if (dataLength == 0 && !stream->isAuthentic()) {
        failWith(error, ZZErrorCode::ReadLocalFile);
        return nullptr;
    }
    return stream;
}

ZZAESDecryptInputStream::~ZZAESDecryptInputStream()
{
    EVP_CIPHER_CTX_free(m_aes);
    EVP_MAC_CTX_free(m_mac);
}

bool ZZAESDecryptInputStream::startCiphers(const QByteArray &key, const QByteArray &macKey)
{
    m_aes = EVP_CIPHER_CTX_new();
    if (!m_aes || EVP_EncryptInit_ex(m_aes, cipherForKeyLength(int(key.size())), nullptr,
                                     reinterpret_cast<const uchar *>(key.constData()), nullptr) != 1) {
        return false;
    }
    EVP_CIPHER_CTX_set_padding(m_aes, 0);
    EVP_MAC *hmac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    m_mac = hmac ? EVP_MAC_CTX_new(hmac) : nullptr;
    EVP_MAC_free(hmac);
    char digest[] = "SHA1";
    const OSSL_PARAM parameters[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                                     OSSL_PARAM_construct_end()};
    return m_mac && EVP_MAC_init(m_mac, reinterpret_cast<const uchar *>(macKey.constData()), size_t(macKey.size()),
                                 parameters) == 1;
}

bool ZZAESDecryptInputStream::nextKeystreamBlock()
{
    // The counter is a little-endian number in the block's first word, starting at 1.
    ++m_counterNonce[0];
    uchar counter[16];
    for (int word = 0; word < 4; ++word)
        qToLittleEndian(m_counterNonce[word], counter + 4 * word);
    int produced = 0;
    if (EVP_EncryptUpdate(m_aes, m_keystream, &produced, counter, sizeof counter) != 1 || produced != 16)
        return false;
    m_keystreamPos = 0;
    return true;
}

qint64 ZZAESDecryptInputStream::read(uchar *buffer, qint64 maxLength)
{
    if (m_hasFailed)
        return -1;
    const qint64 count = m_upstream->read(buffer, std::min(maxLength, m_remainingBytes));
    if (count <= 0)
        return count;
    m_remainingBytes -= count;
    if (EVP_MAC_update(m_mac, buffer, size_t(count)) != 1)
        return fail();
    for (qint64 index = 0; index < count; ++index) {
        if (m_keystreamPos == 16 && !nextKeystreamBlock())
            return fail();
        buffer[index] ^= m_keystream[m_keystreamPos++];
    }
    // The code covers the whole encrypted data: it is checked as its last byte is handed out.
    if (m_remainingBytes == 0 && !isAuthentic())
        return fail();
    return count;
}

qint64 ZZAESDecryptInputStream::fail()
{
    m_hasFailed = true;
    m_error = makeZipError(ZZErrorCode::ReadLocalFile);
    return -1;
}

bool ZZAESDecryptInputStream::isAuthentic()
{
    uchar code[EVP_MAX_MD_SIZE];
    size_t length = 0;
    if (EVP_MAC_final(m_mac, code, &length, sizeof code) != 1 || length < size_t(kAuthenticationCodeLength))
        return false;
    return CRYPTO_memcmp(code, m_authenticationCode.constData(), kAuthenticationCodeLength) == 0;
}

ZZStreamStatus ZZAESDecryptInputStream::streamStatus() const
{
    return m_hasFailed ? ZZStreamStatus::Error : m_upstream->streamStatus();
}

PlatformError ZZAESDecryptInputStream::streamError() const
{
    return m_hasFailed ? m_error : m_upstream->streamError();
}
