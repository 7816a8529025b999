#pragma once

#include "app/zip/ZZArchiveEntry.h"
#include "app/zip/ZZArchiveEntryWriter.h"

class ZZOutputStream;

// Writes a new entry: its local header, its content from the entry's callback (deflated or stored)
// and, for an entry with a callback, the data descriptor with crc-32 and sizes; then its central
// header. Made for one rewrite.
class ZZNewArchiveEntryWriter final : public ZZArchiveEntryWriter
{
public:
    ZZNewArchiveEntryWriter(const QString &fileName, quint16 fileMode, const QDateTime &lastModified,
                            int compressionLevel, ZZArchiveEntry::DataBlock dataBlock,
                            ZZArchiveEntry::StreamBlock streamBlock,
                            ZZArchiveEntry::DataConsumerBlock dataConsumerBlock);

    quint32 offsetToLocalFileEnd() const override { return 0; }
    bool writeLocalFileToChannelOutput(ZZChannelOutput &channelOutput, quint32 initialSkip,
                                       platform::PlatformError *error) override;
    bool writeCentralFileHeaderToChannelOutput(ZZChannelOutput &channelOutput, platform::PlatformError *error) override;

    // The DOS time and date of a moment in the system's time zone, as the headers hold them.
    static quint16 dosTime(const QDateTime &moment);
    static quint16 dosDate(const QDateTime &moment);

private:
    // What the content came to.
    struct Sums
    {
        quint32 crc32 = 0;
        quint64 compressedSize = 0;
        quint64 uncompressedSize = 0;
    };

    bool hasCallback() const { return m_dataBlock || m_streamBlock || m_dataConsumerBlock; }
    bool writeContent(ZZChannelOutput &channelOutput, Sums &sums, platform::PlatformError *error);
    bool writeDeflated(ZZChannelOutput &channelOutput, Sums &sums, platform::PlatformError *error);
    bool writeStored(ZZChannelOutput &channelOutput, Sums &sums, platform::PlatformError *error);
    // Hands the stream to the entry's callback (the data callback's bytes are written into it).
    bool runCallback(ZZOutputStream &stream, platform::PlatformError *error);
    bool writeDataDescriptor(ZZChannelOutput &channelOutput, const Sums &sums, platform::PlatformError *error);

    QByteArray m_centralFileHeader;
    QByteArray m_localFileHeader;
    int m_compressionLevel;
    ZZArchiveEntry::DataBlock m_dataBlock;
    ZZArchiveEntry::StreamBlock m_streamBlock;
    ZZArchiveEntry::DataConsumerBlock m_dataConsumerBlock;
};
