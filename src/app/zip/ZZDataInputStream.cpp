#include "app/zip/ZZDataInputStream.h"

#include <algorithm>
#include <cstring>

qint64 ZZDataInputStream::read(uchar *buffer, qint64 maxLength)
{
    if (m_status != ZZStreamStatus::Open && m_status != ZZStreamStatus::AtEnd)
        return -1;
    const qint64 count = std::min<qint64>(std::max<qint64>(maxLength, 0), m_end - m_position);
    if (count > 0)
        std::memcpy(buffer, m_bytes.constData() + m_position, static_cast<size_t>(count));
    m_position += count;
    if (m_position == m_end)
        m_status = ZZStreamStatus::AtEnd;
    return count;
}
