#include "app/zip/ZZDeflateOutputStream.h"

#include "app/zip/ZZChannelOutput.h"

#include <QByteArray>

#include <algorithm>
#include <cerrno>

using platform::PlatformError;

namespace {

// zlib counts in 32-bit units: larger writes go in pieces of this size.
constexpr qint64 kLargestPiece = 1 << 30;
constexpr int kFlushBufferBytes = 1024;

} // namespace

ZZDeflateOutputStream::ZZDeflateOutputStream(ZZChannelOutput &channelOutput, int compressionLevel)
    : m_channelOutput(channelOutput), m_compressionLevel(compressionLevel)
{
}

ZZDeflateOutputStream::~ZZDeflateOutputStream()
{
    if (m_isDeflating)
        deflateEnd(&m_stream);
}

void ZZDeflateOutputStream::open()
{
    if (deflateInit2(&m_stream, m_compressionLevel, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        m_status = ZZStreamStatus::Error;
        m_error = PlatformError::fromErrno(EINVAL, QStringLiteral("compression level %1").arg(m_compressionLevel));
        return;
    }
    m_isDeflating = true;
    m_status = ZZStreamStatus::Open;
}

qint64 ZZDeflateOutputStream::write(const uchar *buffer, qint64 length)
{
    if (m_status != ZZStreamStatus::Open || length < 0)
        return -1;
    const auto piece = static_cast<uInt>(std::min(length, kLargestPiece));
    QByteArray output(static_cast<qsizetype>(deflateBound(&m_stream, piece)), Qt::Uninitialized);
    m_stream.next_in = const_cast<Bytef *>(buffer); // zlib's interface is not const; it only reads.
    m_stream.avail_in = piece;
    m_stream.next_out = reinterpret_cast<Bytef *>(output.data());
    m_stream.avail_out = static_cast<uInt>(output.size());
    deflate(&m_stream, Z_NO_FLUSH);
    const qint64 consumed = piece - m_stream.avail_in;
    const qsizetype produced = output.size() - m_stream.avail_out;
    if (produced > 0 && !writeOut(reinterpret_cast<const uchar *>(output.constData()), produced))
        return -1;
    m_crc32 = static_cast<quint32>(::crc32(m_crc32, buffer, static_cast<uInt>(consumed)));
    return consumed;
}

void ZZDeflateOutputStream::close()
{
    if (!m_isDeflating) {
        m_status = m_status == ZZStreamStatus::Error ? m_status : ZZStreamStatus::Closed;
        return;
    }
    uchar buffer[kFlushBufferBytes];
    int result = Z_OK;
    // Each call with finish either fills the buffer or ends the stream; a full buffer means more follows.
    while (result == Z_OK && m_status != ZZStreamStatus::Error) {
        m_stream.next_in = nullptr;
        m_stream.avail_in = 0;
        m_stream.next_out = buffer;
        m_stream.avail_out = kFlushBufferBytes;
        result = deflate(&m_stream, Z_FINISH);
        const qsizetype produced = kFlushBufferBytes - m_stream.avail_out;
        if (produced > 0)
            writeOut(buffer, produced);
    }
    deflateEnd(&m_stream);
    m_isDeflating = false;
    if (m_status != ZZStreamStatus::Error)
        m_status = ZZStreamStatus::Closed;
}

bool ZZDeflateOutputStream::writeOut(const uchar *bytes, qsizetype length)
{
    if (m_channelOutput.writeData(QByteArrayView(bytes, length), &m_error))
        return true;
    m_status = ZZStreamStatus::Error;
    return false;
}
