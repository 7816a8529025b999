#pragma once

#include "app/zip/ZZInputStream.h"

#include <QByteArray>
#include <QString>

#include <memory>

typedef struct evp_cipher_ctx_st EVP_CIPHER_CTX;
typedef struct evp_mac_ctx_st EVP_MAC_CTX;

// WinZip AES key strengths 1, 2 and 3 (AES-128, -192, -256); the lengths are -1 for any other value.
struct ZZAESEncryptionStrength
{
    static int getSaltLength(int strength);
    static int getKeyLength(int strength);
    static int getMacLength(int strength);
};

// Decrypts an entry protected with WinZip AES (AES in counter mode, keys from PBKDF2-HMAC-SHA1 with
// 1000 rounds), read from its upstream, which holds dataLength bytes. It also checks the 10-byte
// authentication code (HMAC-SHA1 of the encrypted data) as the last byte is read: a mismatch is a read
// failure (code 3), so damaged or altered content is never handed out as good. One thread at a time.
class ZZAESDecryptInputStream final : public ZZInputStream
{
public:
    static constexpr qsizetype kPasswordVerifierLength = 2;
    static constexpr qsizetype kAuthenticationCodeLength = 10;

    // saltAndVerifier holds the salt and the 2-byte password verifier; fails with code 12 when the
    // password does not give the verifier, with code 3 for an unknown strength.
    static std::unique_ptr<ZZInputStream> create(std::unique_ptr<ZZInputStream> upstream, const QString &password,
                                                 QByteArrayView saltAndVerifier, int strength, qint64 dataLength,
                                                 QByteArrayView authenticationCode, platform::PlatformError *error);
    ~ZZAESDecryptInputStream() override;
    ZZAESDecryptInputStream(const ZZAESDecryptInputStream &) = delete;
    ZZAESDecryptInputStream &operator=(const ZZAESDecryptInputStream &) = delete;

    void open() override { m_upstream->open(); }
    void close() override { m_upstream->close(); }
    qint64 read(uchar *buffer, qint64 maxLength) override;
    ZZStreamStatus streamStatus() const override;
    platform::PlatformError streamError() const override;

private:
    explicit ZZAESDecryptInputStream(std::unique_ptr<ZZInputStream> upstream) : m_upstream(std::move(upstream)) {}

    bool startCiphers(const QByteArray &key, const QByteArray &macKey);
    bool nextKeystreamBlock();
    bool isAuthentic();
    qint64 fail();

    std::unique_ptr<ZZInputStream> m_upstream;
    quint32 m_counterNonce[4] = {0, 0, 0, 0};
    uchar m_keystream[16] = {};
    int m_keystreamPos = 16;
    EVP_CIPHER_CTX *m_aes = nullptr;
    EVP_MAC_CTX *m_mac = nullptr;
    QByteArray m_authenticationCode;
    qint64 m_remainingBytes = 0;
    platform::PlatformError m_error;
    bool m_hasFailed = false;
};
