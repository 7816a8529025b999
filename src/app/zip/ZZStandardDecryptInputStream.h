#pragma once

#include "app/zip/ZZInputStream.h"
#include "app/zip/ZZStandardCryptoEngine.h"

#include <QByteArray>
#include <QString>

#include <memory>

// Decrypts an entry protected with the traditional zip encryption, read from its upstream. One thread
// at a time.
class ZZStandardDecryptInputStream final : public ZZInputStream
{
public:
    static constexpr qsizetype kEncryptionHeaderLength = 12;

    // Starts the keys from the password and the 12-byte encryption header; fails with code 12 when the
    // header's check bytes do not match the check value (the entry's DOS time when sizes follow the
    // data, else the top 16 bits of its crc-32).
    static std::unique_ptr<ZZInputStream> create(std::unique_ptr<ZZInputStream> upstream, const QString &password,
                                                 QByteArrayView encryptionHeader, quint16 checkValue,
                                                 quint8 versionMadeBy, platform::PlatformError *error);

    void open() override { m_upstream->open(); }
    void close() override { m_upstream->close(); }
    qint64 read(uchar *buffer, qint64 maxLength) override;
    ZZStreamStatus streamStatus() const override { return m_upstream->streamStatus(); }
    platform::PlatformError streamError() const override { return m_upstream->streamError(); }

private:
    explicit ZZStandardDecryptInputStream(std::unique_ptr<ZZInputStream> upstream) : m_upstream(std::move(upstream)) {}

    std::unique_ptr<ZZInputStream> m_upstream;
    ZZStandardCryptoEngine m_crypto;
};
