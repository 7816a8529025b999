#pragma once

#include "app/zip/ZZOutputStream.h"

#include <zlib.h>

class ZZChannelOutput;

// Compresses a new entry's content into the archive being written: raw deflate (no zlib header) at the
// entry's level, with the running crc-32 of what went in. The channel output outlives the stream.
// One thread at a time.
class ZZDeflateOutputStream final : public ZZOutputStream
{
public:
    ZZDeflateOutputStream(ZZChannelOutput &channelOutput, int compressionLevel);
    ~ZZDeflateOutputStream() override;
    ZZDeflateOutputStream(const ZZDeflateOutputStream &) = delete;
    ZZDeflateOutputStream &operator=(const ZZDeflateOutputStream &) = delete;

    void open() override;
    // Flushes the rest of the compressed data; a failing write keeps its error in streamError().
    void close() override;
    qint64 write(const uchar *buffer, qint64 length) override;
    ZZStreamStatus streamStatus() const override { return m_status; }
    platform::PlatformError streamError() const override { return m_error; }

    // The totals stay readable after close(); they are wider than the format's 32 bits, so that the
    // writer can refuse an entry that does not fit.
    quint32 crc32() const { return m_crc32; }
    quint64 compressedSize() const { return m_stream.total_out; }
    quint64 uncompressedSize() const { return m_stream.total_in; }

private:
    bool writeOut(const uchar *bytes, qsizetype length);

    ZZChannelOutput &m_channelOutput;
    int m_compressionLevel;
    ZZStreamStatus m_status = ZZStreamStatus::NotOpen;
    platform::PlatformError m_error;
    quint32 m_crc32 = 0;
    z_stream m_stream = {};
    bool m_isDeflating = false;
};
