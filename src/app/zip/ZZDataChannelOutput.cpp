#include "app/zip/ZZDataChannelOutput.h"

#include "app/zip/ZZError.h"

#include <cerrno>
#include <cstring>
#include <limits>

using platform::PlatformError;

bool ZZDataChannelOutput::seekToOffset(quint32 offset, PlatformError *)
{
    m_offset = offset;
    return true;
}

bool ZZDataChannelOutput::writeData(QByteArrayView data, PlatformError *error)
{
    const qint64 end = static_cast<qint64>(m_offset) + data.size();
    if (end > std::numeric_limits<quint32>::max())
        return failWith(error, PlatformError::fromErrno(EFBIG, QStringLiteral("a zip archive ends at 4 GiB")));
    if (m_offset == m_allData->size()) {
        m_allData->append(data);
    } else {
        if (end > m_allData->size())
            m_allData->resize(static_cast<qsizetype>(end), '\0');
        if (!data.isEmpty())
            std::memcpy(m_allData->data() + m_offset, data.data(), static_cast<size_t>(data.size()));
    }
    m_offset = static_cast<quint32>(end);
    return true;
}

bool ZZDataChannelOutput::truncateAtOffset(quint32 offset, PlatformError *)
{
    m_allData->resize(offset);
    return true;
}
