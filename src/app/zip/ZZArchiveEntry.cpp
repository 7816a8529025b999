#include "app/zip/ZZArchiveEntry.h"

#include "app/zip/ZZArchiveEntryWriter.h"
#include "app/zip/ZZDataProvider.h"
#include "app/zip/ZZInputStream.h"
#include "app/zip/ZZNewArchiveEntry.h"

using platform::PlatformError;

std::shared_ptr<ZZArchiveEntry> ZZArchiveEntry::archiveEntryWithFileName(const QString &fileName, bool compress,
                                                                         DataBlock dataBlock)
{
    return archiveEntryWithFileName(fileName, kDefaultFileMode, QDateTime::currentDateTimeUtc(), compress ? -1 : 0,
                                    std::move(dataBlock), {}, {});
}

std::shared_ptr<ZZArchiveEntry> ZZArchiveEntry::archiveEntryWithFileName(const QString &fileName, bool compress,
                                                                         StreamBlock streamBlock)
{
    return archiveEntryWithFileName(fileName, kDefaultFileMode, QDateTime::currentDateTimeUtc(), compress ? -1 : 0, {},
                                    std::move(streamBlock), {});
}

std::shared_ptr<ZZArchiveEntry> ZZArchiveEntry::archiveEntryWithFileName(const QString &fileName, bool compress,
                                                                         DataConsumerBlock dataConsumerBlock)
{
    return archiveEntryWithFileName(fileName, kDefaultFileMode, QDateTime::currentDateTimeUtc(), compress ? -1 : 0, {},
                                    {}, std::move(dataConsumerBlock));
}

std::shared_ptr<ZZArchiveEntry> ZZArchiveEntry::archiveEntryWithDirectoryName(const QString &directoryName)
{
    return archiveEntryWithFileName(directoryName, kDefaultDirectoryMode, QDateTime::currentDateTimeUtc(), 0, {}, {},
                                    {});
}

std::shared_ptr<ZZArchiveEntry> ZZArchiveEntry::archiveEntryWithFileName(const QString &fileName, quint16 fileMode,
                                                                         const QDateTime &lastModified,
                                                                         int compressionLevel, DataBlock dataBlock,
                                                                         StreamBlock streamBlock,
                                                                         DataConsumerBlock dataConsumerBlock)
{
    return std::make_shared<ZZNewArchiveEntry>(fileName, fileMode, lastModified, compressionLevel, std::move(dataBlock),
                                               std::move(streamBlock), std::move(dataConsumerBlock));
}

ZZArchiveEntry::~ZZArchiveEntry() = default;

QString ZZArchiveEntry::fileNameWithEncoding(ZZStringEncoding) const
{
    return {};
}

bool ZZArchiveEntry::check(PlatformError *) const
{
    return true;
}

std::unique_ptr<ZZInputStream> ZZArchiveEntry::newStreamWithError(PlatformError *error) const
{
    return newStreamWithPassword(QString(), error);
}

std::unique_ptr<ZZInputStream> ZZArchiveEntry::newStreamWithPassword(const QString &, PlatformError *) const
{
    return nullptr;
}

std::optional<QByteArray> ZZArchiveEntry::newDataWithError(PlatformError *error) const
{
    return newDataWithPassword(QString(), error);
}

std::optional<QByteArray> ZZArchiveEntry::newDataWithPassword(const QString &, PlatformError *) const
{
    return std::nullopt;
}

std::unique_ptr<ZZDataProvider> ZZArchiveEntry::newDataProviderWithError(PlatformError *error) const
{
    return newDataProviderWithPassword(QString(), error);
}

std::unique_ptr<ZZDataProvider> ZZArchiveEntry::newDataProviderWithPassword(const QString &, PlatformError *) const
{
    return nullptr;
}
