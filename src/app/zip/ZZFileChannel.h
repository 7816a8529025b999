#pragma once

#include "app/zip/ZZChannel.h"

#include <QString>

// An archive in a file. Reads take the whole file into memory (at most kMaximumArchiveBytes, regular
// files only); outputs write the file in place, without following a link at its name. A rewrite goes to
// a file of the same name in a private folder beside the archive, which is then renamed over it, so a
// reader sees the old archive or the new one, never a half-written one. One thread at a time.
class ZZFileChannel final : public ZZChannel
{
public:
    // The largest archive the format can address: 4 GiB of entries and directory, the end record and
    // the longest comment.
    static constexpr qint64 kMaximumArchiveBytes = 0xffffffffLL + 22 + 65535;

    explicit ZZFileChannel(const QUrl &url) : m_url(url) {}

    std::unique_ptr<ZZChannel> temporaryChannel(platform::PlatformError *error) override;
    bool replaceWithChannel(ZZChannel &channel, platform::PlatformError *error) override;
    void removeAsTemporary() override;
    std::optional<QByteArray> newInput(platform::PlatformError *error) override;
    std::unique_ptr<ZZChannelOutput> newOutput(platform::PlatformError *error) override;
    QUrl URL() const override { return m_url; }

private:
    QString path() const { return m_url.toLocalFile(); }

    QUrl m_url;
};
