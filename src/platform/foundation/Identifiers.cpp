#include "platform/foundation/Identifiers.h"

#include <QCryptographicHash>
#include <QUuid>

namespace platform {

QString newUuidText()
{
    return uuidText(QUuid::createUuid());
}

// The digits and hyphens are ASCII: they are raised to capitals as bytes, without the Unicode tables.
QString uuidText(const QUuid &uuid)
{
    return QString::fromLatin1(uuid.toByteArray(QUuid::WithoutBraces).toUpper());
}

// Qt's own MD5: the crypto library would set up its providers and read its configuration for it, which
// costs every process that digests anything several megabytes of memory.
Result<QByteArray> md5Digest(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Md5);
}

Result<QString> md5Text(const QByteArray &bytes)
{
    const Result<QByteArray> digest = md5Digest(bytes);
    if (!digest)
        return digest.error();
    return QString::fromLatin1(digest->toHex().toUpper());
}

} // namespace platform
