#include "app/zip/ZZStoreOutputStream.h"

#include "app/zip/ZZChannelOutput.h"

#include <zlib.h>

#include <algorithm>

void ZZStoreOutputStream::close()
{
    if (m_status != ZZStreamStatus::Error)
        m_status = ZZStreamStatus::Closed;
}

qint64 ZZStoreOutputStream::write(const uchar *buffer, qint64 length)
{
    if (m_status != ZZStreamStatus::Open || length < 0)
        return -1;
    if (!m_channelOutput.writeData(QByteArrayView(buffer, length), &m_error)) {
        m_status = ZZStreamStatus::Error;
        return -1;
    }
    m_crc32 = static_cast<quint32>(crc32_z(m_crc32, buffer, static_cast<z_size_t>(length)));
    m_size += static_cast<quint64>(length);
    return length;
}
