#include "platform/restkit/RKRequestSerialization.h"

#include <utility>

namespace platform {

RKRequestSerialization::RKRequestSerialization(QByteArray data, QString mimeType)
    : m_data(std::move(data)), m_mimeType(std::move(mimeType))
{
}

RKRequestSerialization RKRequestSerialization::serializationWithData(const QByteArray &data, const QString &mimeType)
{
    return RKRequestSerialization(data, mimeType);
}

} // namespace platform
