#include "app/zip/ZZStandardCryptoEngine.h"

#include <zlib.h>

namespace {

quint32 crcUpdate(quint32 crc, uchar byte)
{
    const z_crc_t *table = get_crc_table();
    return static_cast<quint32>(table[(crc ^ byte) & 0xff]) ^ (crc >> 8);
}

} // namespace

void ZZStandardCryptoEngine::initKeys(const QByteArray &password)
{
    m_keys[0] = 0x12345678;
    m_keys[1] = 0x23456789;
    m_keys[2] = 0x34567890;
    for (const char byte : password)
        updateKeys(static_cast<uchar>(byte));
}

void ZZStandardCryptoEngine::updateKeys(uchar plainByte)
{
    m_keys[0] = crcUpdate(m_keys[0], plainByte);
    m_keys[1] = (m_keys[1] + (m_keys[0] & 0xff)) * 134775813u + 1;
    m_keys[2] = crcUpdate(m_keys[2], static_cast<uchar>(m_keys[1] >> 24));
}

uchar ZZStandardCryptoEngine::decryptByte() const
{
    const quint32 temp = (m_keys[2] | 2) & 0xffff;
    return static_cast<uchar>(((temp * (temp ^ 1)) >> 8) & 0xff);
}

uchar ZZStandardCryptoEngine::decrypt(uchar cipherByte)
{
    const auto plainByte = static_cast<uchar>(cipherByte ^ decryptByte());
    updateKeys(plainByte);
    return plainByte;
}
