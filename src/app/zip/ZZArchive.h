#pragma once

#include "platform/foundation/PlatformError.h"

#include <QByteArray>
#include <QList>
#include <QUrl>
#include <QVariantMap>

#include <memory>

class ZZArchiveEntry;
class ZZChannel;
class ZZOldArchiveEntry;

// Open option: a true boolean lets a missing archive open as an empty one.
inline constexpr char ZZOpenOptionsCreateIfMissingKey[] = "ZZOpenOptionsCreateIfMissingKey";

// A zip archive in a file or in memory: its bytes as last loaded and the entries of its central
// directory. updateEntries() writes a new list of entries (old ones carried over, new ones written
// from their callbacks) and loads the result. Unchanged leading entries stay where they are: when the
// list only grows at its end, the file is patched after the last unchanged entry; any other change
// writes a new file beside the archive and renames it over the old one.
//
// The caller owns the archive; one thread at a time. Failures answer false or nullptr with an error of
// the library's domain (ZZError.h) and leave the object as it was.
class ZZArchive final
{
public:
    static std::unique_ptr<ZZArchive> archiveWithURL(const QUrl &url, platform::PlatformError *error);
    static std::unique_ptr<ZZArchive> archiveWithData(const QByteArray &data, platform::PlatformError *error);
    static std::unique_ptr<ZZArchive> initWithURL(const QUrl &url, const QVariantMap &options,
                                                  platform::PlatformError *error);
    static std::unique_ptr<ZZArchive> initWithData(const QByteArray &data, const QVariantMap &options,
                                                   platform::PlatformError *error);
    static std::unique_ptr<ZZArchive> initWithChannel(std::unique_ptr<ZZChannel> channel, const QVariantMap &options,
                                                      platform::PlatformError *error);
    ~ZZArchive();
    ZZArchive(const ZZArchive &) = delete;
    ZZArchive &operator=(const ZZArchive &) = delete;

    // The file's URL; empty for an archive in memory.
    QUrl URL() const;
    QByteArray contents() const { return m_contents; }
    QList<std::shared_ptr<ZZArchiveEntry>> entries() const { return m_entries; }

    // Replaces the archive's entries with these, in this order.
    bool updateEntries(const QList<std::shared_ptr<ZZArchiveEntry>> &entries, platform::PlatformError *error);

private:
    explicit ZZArchive(std::unique_ptr<ZZChannel> channel);

    bool loadCanMiss(bool canMiss, platform::PlatformError *error);
    bool writeArchive(const QList<std::shared_ptr<ZZArchiveEntry>> &entries, qsizetype skipIndex,
                      ZZChannel &temporaryChannel, quint32 &initialSkip, platform::PlatformError *error);
    bool putInPlace(ZZChannel &temporaryChannel, quint32 initialSkip, platform::PlatformError *error);

    std::unique_ptr<ZZChannel> m_channel;
    QByteArray m_contents;
    QList<std::shared_ptr<ZZArchiveEntry>> m_entries;
};
