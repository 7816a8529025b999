#pragma once

#include "app/zip/ZZChannel.h"

// An archive in a block of memory, shared with its outputs. Empty bytes read as a missing archive, so
// that an archive over an empty block can be created. One thread at a time.
class ZZDataChannel final : public ZZChannel
{
public:
    explicit ZZDataChannel(const QByteArray &data) : m_allData(std::make_shared<QByteArray>(data)) {}

    std::unique_ptr<ZZChannel> temporaryChannel(platform::PlatformError *error) override;
    bool replaceWithChannel(ZZChannel &channel, platform::PlatformError *error) override;
    void removeAsTemporary() override;
    std::optional<QByteArray> newInput(platform::PlatformError *error) override;
    std::unique_ptr<ZZChannelOutput> newOutput(platform::PlatformError *error) override;
    QUrl URL() const override { return {}; }

    // The bytes as they stand now.
    QByteArray allData() const { return *m_allData; }

private:
    std::shared_ptr<QByteArray> m_allData;
};
