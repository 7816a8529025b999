#pragma once

#include "app/zip/ZZInputStream.h"

#include <QByteArray>

// Reads a range of an archive's loaded bytes, which it keeps alive. One thread at a time.
class ZZDataInputStream final : public ZZInputStream
{
public:
    ZZDataInputStream(const QByteArray &bytes, qsizetype offset, qsizetype length)
        : m_bytes(bytes), m_position(offset), m_end(offset + length)
    {
    }

    void open() override { m_status = ZZStreamStatus::Open; }
    void close() override { m_status = ZZStreamStatus::Closed; }
    qint64 read(uchar *buffer, qint64 maxLength) override;
    ZZStreamStatus streamStatus() const override { return m_status; }
    platform::PlatformError streamError() const override { return {}; }

private:
    QByteArray m_bytes;
    qsizetype m_position;
    qsizetype m_end;
    ZZStreamStatus m_status = ZZStreamStatus::NotOpen;
};
