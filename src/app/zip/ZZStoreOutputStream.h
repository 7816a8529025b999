#pragma once

#include "app/zip/ZZOutputStream.h"

class ZZChannelOutput;

// Passes a stored (uncompressed) entry's content through to the archive being written, counting its
// size and crc-32. The channel output outlives the stream. One thread at a time.
class ZZStoreOutputStream final : public ZZOutputStream
{
public:
    explicit ZZStoreOutputStream(ZZChannelOutput &channelOutput) : m_channelOutput(channelOutput) {}

    void open() override { m_status = ZZStreamStatus::Open; }
    void close() override;
    qint64 write(const uchar *buffer, qint64 length) override;
    ZZStreamStatus streamStatus() const override { return m_status; }
    platform::PlatformError streamError() const override { return m_error; }

    quint32 crc32() const { return m_crc32; }
    quint64 size() const { return m_size; }

private:
    ZZChannelOutput &m_channelOutput;
    ZZStreamStatus m_status = ZZStreamStatus::NotOpen;
    platform::PlatformError m_error;
    quint32 m_crc32 = 0;
    quint64 m_size = 0;
};
