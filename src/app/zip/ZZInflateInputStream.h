#pragma once

#include "app/zip/ZZInputStream.h"

#include <QByteArray>

#include <memory>
#include <optional>

#include <zlib.h>

// Inflates a deflated entry's content (raw deflate) read from its upstream. Data that is not a deflate
// stream, or that ends before the deflate stream does, is a read failure (code 3), never a quiet
// short read. One thread at a time.
class ZZInflateInputStream final : public ZZInputStream
{
public:
    explicit ZZInflateInputStream(std::unique_ptr<ZZInputStream> upstream);
    ~ZZInflateInputStream() override;
    ZZInflateInputStream(const ZZInflateInputStream &) = delete;
    ZZInflateInputStream &operator=(const ZZInflateInputStream &) = delete;

    // Inflates the whole of data in one go into uncompressedSize bytes; nothing unless the deflate
    // stream ends there. The answer may be shorter than uncompressedSize when the stream ended early.
    static std::optional<QByteArray> decompressData(QByteArrayView data, quint32 uncompressedSize);

    void open() override;
    void close() override;
    qint64 read(uchar *buffer, qint64 maxLength) override;
    ZZStreamStatus streamStatus() const override { return m_status; }
    platform::PlatformError streamError() const override { return m_error; }

private:
    static constexpr qsizetype kReadBufferBytes = 16384;

    bool refill();
    qint64 fail(const platform::PlatformError &error);

    std::unique_ptr<ZZInputStream> m_upstream;
    QByteArray m_readBuffer;
    ZZStreamStatus m_status = ZZStreamStatus::NotOpen;
    platform::PlatformError m_error;
    z_stream m_stream = {};
    bool m_isInflating = false;
    bool m_isUpstreamDone = false;
};
