#pragma once

#include "app/zip/ZZArchiveEntryWriter.h"
#include "app/zip/ZZDataProvider.h"
#include "app/zip/ZZInputStream.h"
#include "platform/foundation/PlatformError.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

class ZZDataConsumer;
class ZZOutputStream;

// How an entry's name is encoded.
enum class ZZStringEncoding {
    UTF8,
    CodePage437,
};

// An entry of a zip archive: either one read from an archive (ZZOldArchiveEntry) or one to be written
// (ZZNewArchiveEntry), made with the factories below. Entries are shared: an archive's entry list and
// the caller's lists hold the same objects, and a rewrite tells unchanged entries by identity. An old
// entry keeps the bytes of the load it came from alive. One thread at a time.
class ZZArchiveEntry
{
public:
    // Answers the entry's whole content, or nothing with an error.
    using DataBlock = std::function<std::optional<QByteArray>(platform::PlatformError *error)>;
    // Writes the content into the stream and answers success.
    using StreamBlock = std::function<bool(ZZOutputStream &stream, platform::PlatformError *error)>;
    // Puts the content into the consumer and answers success.
    using DataConsumerBlock = std::function<bool(ZZDataConsumer &consumer, platform::PlatformError *error)>;

    static constexpr quint16 kDefaultFileMode = 0100644;
    static constexpr quint16 kDefaultDirectoryMode = 040755;

    // A file entry (mode 0100644, modified now), deflated at the default level when compress is true.
    static std::shared_ptr<ZZArchiveEntry> archiveEntryWithFileName(const QString &fileName, bool compress,
                                                                    DataBlock dataBlock);
    static std::shared_ptr<ZZArchiveEntry> archiveEntryWithFileName(const QString &fileName, bool compress,
                                                                    StreamBlock streamBlock);
    static std::shared_ptr<ZZArchiveEntry> archiveEntryWithFileName(const QString &fileName, bool compress,
                                                                    DataConsumerBlock dataConsumerBlock);
    // A directory entry (mode 040755, modified now, no data). The name should end with "/".
    static std::shared_ptr<ZZArchiveEntry> archiveEntryWithDirectoryName(const QString &directoryName);
    // An entry with exactly these fields; level 0 stores, -1 to 9 deflate.
    static std::shared_ptr<ZZArchiveEntry> archiveEntryWithFileName(const QString &fileName, quint16 fileMode,
                                                                    const QDateTime &lastModified, int compressionLevel,
                                                                    DataBlock dataBlock, StreamBlock streamBlock,
                                                                    DataConsumerBlock dataConsumerBlock);

    virtual ~ZZArchiveEntry();

    virtual bool compressed() const { return false; }
    virtual bool encrypted() const { return false; }
    virtual QDateTime lastModified() const { return {}; }
    virtual quint32 crc32() const { return 0; }
    virtual quint32 compressedSize() const { return 0; }
    virtual quint32 uncompressedSize() const { return 0; }
    virtual quint16 fileMode() const { return 0; }
    QString fileName() const { return fileNameWithEncoding(encoding()); }
    virtual QByteArray rawFileName() const { return {}; }
    virtual ZZStringEncoding encoding() const { return ZZStringEncoding::UTF8; }
    virtual QString fileNameWithEncoding(ZZStringEncoding encoding) const;

    // Whether the entry's local header agrees with the central directory.
    virtual bool check(platform::PlatformError *error) const;
    // A writer for a rewrite; an old entry at an unchanged leading position may keep its local file.
    virtual std::unique_ptr<ZZArchiveEntryWriter> newWriterCanSkipLocalFile(bool canSkipLocalFile) const = 0;

    // The content as a stream, as bytes, or through a provider; a null password for unencrypted entries.
    std::unique_ptr<ZZInputStream> newStreamWithError(platform::PlatformError *error) const;
    virtual std::unique_ptr<ZZInputStream> newStreamWithPassword(const QString &password,
                                                                 platform::PlatformError *error) const;
    std::optional<QByteArray> newDataWithError(platform::PlatformError *error) const;
    virtual std::optional<QByteArray> newDataWithPassword(const QString &password,
                                                          platform::PlatformError *error) const;
    std::unique_ptr<ZZDataProvider> newDataProviderWithError(platform::PlatformError *error) const;
    virtual std::unique_ptr<ZZDataProvider> newDataProviderWithPassword(const QString &password,
                                                                        platform::PlatformError *error) const;
};
