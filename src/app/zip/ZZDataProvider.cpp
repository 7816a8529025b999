#include "app/zip/ZZDataProvider.h"

#include "app/zip/ZZInputStream.h"

#include <algorithm>

namespace {

constexpr long long kSkipPieceBytes = 1024;

} // namespace

ZZDataProvider::ZZDataProvider(StreamBlock streamBlock) : m_streamBlock(std::move(streamBlock)) {}

ZZDataProvider::~ZZDataProvider()
{
    rewind();
}

bool ZZDataProvider::ensureStream()
{
    if (m_stream)
        return true;
    m_stream = m_streamBlock ? m_streamBlock() : nullptr;
    if (!m_stream)
        return false;
    m_stream->open();
    return true;
}

std::size_t ZZDataProvider::getBytes(void *buffer, std::size_t count)
{
    if (!ensureStream())
        return 0;
    auto *bytes = static_cast<uchar *>(buffer);
    std::size_t filled = 0;
    while (filled < count) {
        const qint64 read = m_stream->read(bytes + filled, static_cast<qint64>(count - filled));
        if (read < 1)
            break;
        filled += static_cast<std::size_t>(read);
    }
    return filled;
}

long long ZZDataProvider::skipForward(long long count)
{
    if (count <= 0 || !ensureStream())
        return 0;
    uchar piece[kSkipPieceBytes];
    long long skipped = 0;
    while (skipped < count) {
        const qint64 read = m_stream->read(piece, std::min(kSkipPieceBytes, count - skipped));
        if (read < 1)
            break;
        skipped += read;
    }
    return skipped;
}

void ZZDataProvider::rewind()
{
    if (m_stream)
        m_stream->close();
    m_stream.reset();
}
