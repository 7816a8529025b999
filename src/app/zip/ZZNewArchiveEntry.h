#pragma once

#include "app/zip/ZZArchiveEntry.h"

// An entry to be written by the next rewrite of an archive: its name, mode, date, compression level
// and the callback that supplies its content (data, stream or consumer, tried in that order; none for
// a directory).
class ZZNewArchiveEntry final : public ZZArchiveEntry
{
public:
    ZZNewArchiveEntry(QString fileName, quint16 fileMode, QDateTime lastModified, int compressionLevel,
                      DataBlock dataBlock, StreamBlock streamBlock, DataConsumerBlock dataConsumerBlock);

    bool compressed() const override { return m_compressionLevel != 0; }
    QDateTime lastModified() const override { return m_lastModified; }
    quint16 fileMode() const override { return m_fileMode; }
    QByteArray rawFileName() const override { return m_fileName.toUtf8(); }
    QString fileNameWithEncoding(ZZStringEncoding) const override { return m_fileName; }

    std::unique_ptr<ZZArchiveEntryWriter> newWriterCanSkipLocalFile(bool canSkipLocalFile) const override;

private:
    QString m_fileName;
    quint16 m_fileMode;
    QDateTime m_lastModified;
    int m_compressionLevel;
    DataBlock m_dataBlock;
    StreamBlock m_streamBlock;
    DataConsumerBlock m_dataConsumerBlock;
};
