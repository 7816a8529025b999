#include "app/zip/ZZStandardDecryptInputStream.h"

#include "app/zip/ZZError.h"

using platform::PlatformError;

std::unique_ptr<ZZInputStream> ZZStandardDecryptInputStream::create(std::unique_ptr<ZZInputStream> upstream,
                                                                    const QString &password,
                                                                    QByteArrayView encryptionHeader, quint16 checkValue,
                                                                    quint8 versionMadeBy, PlatformError *error)
{
    std::unique_ptr<ZZStandardDecryptInputStream> stream(new ZZStandardDecryptInputStream(std::move(upstream)));
    stream->m_crypto.initKeys(password.toUtf8());
    uchar header[kEncryptionHeaderLength];
    for (qsizetype index = 0; index < kEncryptionHeaderLength; ++index)
        header[index] = stream->m_crypto.decrypt(static_cast<uchar>(encryptionHeader[index]));
    // Old writers check two bytes, newer ones only the last.
    const bool isLowByteWrong = versionMadeBy < 20 && header[10] != (checkValue & 0xff);
    if (isLowByteWrong || header[11] != (checkValue >> 8)) {
        failWith(error, ZZErrorCode::InvalidPassword);
        return nullptr;
    }
    return stream;
}

qint64 ZZStandardDecryptInputStream::read(uchar *buffer, qint64 maxLength)
{
    const qint64 count = m_upstream->read(buffer, maxLength);
    for (qint64 index = 0; index < count; ++index)
        buffer[index] = m_crypto.decrypt(buffer[index]);
    return count;
}
