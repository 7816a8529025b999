#pragma once

#include "app/zip/ZZChannelOutput.h"

#include <QByteArray>

#include <memory>

// Writes into the growable bytes of a data channel, which it shares. Writes past the end lengthen the
// bytes; a write that would carry them past 4 GiB fails (EFBIG). One thread at a time.
class ZZDataChannelOutput final : public ZZChannelOutput
{
public:
    explicit ZZDataChannelOutput(std::shared_ptr<QByteArray> allData) : m_allData(std::move(allData)) {}

    quint32 offset() const override { return m_offset; }
    bool seekToOffset(quint32 offset, platform::PlatformError *error) override;
    bool writeData(QByteArrayView data, platform::PlatformError *error) override;
    bool truncateAtOffset(quint32 offset, platform::PlatformError *error) override;
    void close() override {}

private:
    std::shared_ptr<QByteArray> m_allData;
    quint32 m_offset = 0;
};
