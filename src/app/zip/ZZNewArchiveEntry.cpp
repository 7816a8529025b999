#include "app/zip/ZZNewArchiveEntry.h"

#include "app/zip/ZZNewArchiveEntryWriter.h"

ZZNewArchiveEntry::ZZNewArchiveEntry(QString fileName, quint16 fileMode, QDateTime lastModified, int compressionLevel,
                                     DataBlock dataBlock, StreamBlock streamBlock, DataConsumerBlock dataConsumerBlock)
    : m_fileName(std::move(fileName)), m_fileMode(fileMode), m_lastModified(std::move(lastModified)),
      m_compressionLevel(compressionLevel), m_dataBlock(std::move(dataBlock)), m_streamBlock(std::move(streamBlock)),
      m_dataConsumerBlock(std::move(dataConsumerBlock))
{
}

std::unique_ptr<ZZArchiveEntryWriter> ZZNewArchiveEntry::newWriterCanSkipLocalFile(bool) const
{
    return std::make_unique<ZZNewArchiveEntryWriter>(m_fileName, m_fileMode, m_lastModified, m_compressionLevel,
                                                     m_dataBlock, m_streamBlock, m_dataConsumerBlock);
}
