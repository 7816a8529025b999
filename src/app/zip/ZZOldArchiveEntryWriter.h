#pragma once

#include "app/zip/ZZArchiveEntryWriter.h"

#include <QByteArray>

// Carries an entry of the loaded archive into a rewrite: either it keeps its local file where it is
// (an unchanged leading entry) or copies it unchanged to the new position; its central header follows,
// with the local header's new offset. The loaded bytes were checked at load: the local file lies
// inside them.
class ZZOldArchiveEntryWriter final : public ZZArchiveEntryWriter
{
public:
    ZZOldArchiveEntryWriter(const QByteArray &contents, qsizetype centralOffset, qsizetype localOffset,
                            bool canSkipLocalFile);

    // The bytes from the local header to the end of its data and descriptor, as they stand in contents.
    static qint64 localFileLength(const QByteArray &contents, qsizetype centralOffset, qsizetype localOffset);

    quint32 offsetToLocalFileEnd() const override;
    bool writeLocalFileToChannelOutput(ZZChannelOutput &channelOutput, quint32 initialSkip,
                                       platform::PlatformError *error) override;
    bool writeCentralFileHeaderToChannelOutput(ZZChannelOutput &channelOutput, platform::PlatformError *error) override;

private:
    QByteArray m_contents;
    QByteArray m_centralFileHeader;
    qsizetype m_localOffset;
    quint32 m_localFileLength;
    bool m_hasLocalFile;
};
