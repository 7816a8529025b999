#include "app/zip/ZZInflateInputStream.h"

#include "app/zip/ZZError.h"

#include <algorithm>

using platform::PlatformError;

ZZInflateInputStream::ZZInflateInputStream(std::unique_ptr<ZZInputStream> upstream)
    : m_upstream(std::move(upstream)), m_readBuffer(kReadBufferBytes, Qt::Uninitialized)
{
}

ZZInflateInputStream::~ZZInflateInputStream()
{
    if (m_isInflating)
        inflateEnd(&m_stream);
}

std::optional<QByteArray> ZZInflateInputStream::decompressData(QByteArrayView data, quint32 uncompressedSize)
{
    z_stream stream = {};
    if (inflateInit2(&stream, -15) != Z_OK)
        return std::nullopt;
    QByteArray output(static_cast<qsizetype>(uncompressedSize), Qt::Uninitialized);
    // zlib's interface is not const; it only reads the input.
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.data()));
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = reinterpret_cast<Bytef *>(output.data());
    stream.avail_out = uncompressedSize;
    const int result = inflate(&stream, Z_FINISH);
    output.truncate(static_cast<qsizetype>(stream.total_out));
    inflateEnd(&stream);
    if (result != Z_STREAM_END)
        return std::nullopt;
    return output;
}

void ZZInflateInputStream::open()
{
    m_upstream->open();
    if (inflateInit2(&m_stream, -15) != Z_OK) {
        fail({});
        return;
    }
    m_isInflating = true;
    m_status = ZZStreamStatus::Open;
}

void ZZInflateInputStream::close()
{
    if (m_isInflating)
        inflateEnd(&m_stream);
    m_isInflating = false;
    m_upstream->close();
    m_status = ZZStreamStatus::Closed;
}

qint64 ZZInflateInputStream::read(uchar *buffer, qint64 maxLength)
{
    if (m_status == ZZStreamStatus::AtEnd || maxLength <= 0)
        return 0;
    if (m_status != ZZStreamStatus::Open)
        return -1;
    const auto room = static_cast<uInt>(std::min<qint64>(maxLength, 0xffffffffLL));
    m_stream.next_out = buffer;
    m_stream.avail_out = room;
    // Each pass takes more input or produces output; without either the data is cut short.
    while (m_stream.avail_out == room) {
        if (m_stream.avail_in == 0 && !m_isUpstreamDone && !refill())
            return -1;
        const int result = inflate(&m_stream, Z_NO_FLUSH);
        if (result == Z_STREAM_END) {
            m_status = ZZStreamStatus::AtEnd;
            break;
        }
        const bool isStuck = result == Z_BUF_ERROR && m_isUpstreamDone && m_stream.avail_in == 0;
        if ((result != Z_OK && result != Z_BUF_ERROR) || isStuck)
            return fail(makeZipError(ZZErrorCode::ReadLocalFile));
    }
    return room - m_stream.avail_out;
}

bool ZZInflateInputStream::refill()
{
    const qint64 count = m_upstream->read(reinterpret_cast<uchar *>(m_readBuffer.data()), m_readBuffer.size());
    if (count < 0) {
        fail(m_upstream->streamError());
        return false;
    }
    m_isUpstreamDone = count == 0;
    m_stream.next_in = reinterpret_cast<Bytef *>(m_readBuffer.data());
    m_stream.avail_in = static_cast<uInt>(count);
    return true;
}

qint64 ZZInflateInputStream::fail(const PlatformError &error)
{
    m_status = ZZStreamStatus::Error;
    m_error = error;
    return -1;
}
