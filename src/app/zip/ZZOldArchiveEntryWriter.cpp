#include "app/zip/ZZOldArchiveEntryWriter.h"

#include "app/zip/ZZChannelOutput.h"
#include "app/zip/ZZError.h"
#include "app/zip/ZZHeaders.h"

#include <cerrno>

using platform::PlatformError;

ZZOldArchiveEntryWriter::ZZOldArchiveEntryWriter(const QByteArray &contents, qsizetype centralOffset,
                                                 qsizetype localOffset, bool canSkipLocalFile)
    : m_contents(contents), m_localOffset(localOffset),
      m_localFileLength(static_cast<quint32>(localFileLength(contents, centralOffset, localOffset))),
      m_hasLocalFile(!canSkipLocalFile)
{
    const ZZCentralFileHeader central(reinterpret_cast<const uchar *>(contents.constData()) + centralOffset);
    m_centralFileHeader = contents.sliced(centralOffset, central.length());
}

qint64 ZZOldArchiveEntryWriter::localFileLength(const QByteArray &contents, qsizetype centralOffset,
                                                qsizetype localOffset)
{
    const auto *bytes = reinterpret_cast<const uchar *>(contents.constData());
    const ZZCentralFileHeader central(bytes + centralOffset);
    const ZZLocalFileHeader local(bytes + localOffset);
    const bool hasDataDescriptor = local.generalPurposeBitFlag() & ZZGeneralPurposeBitFlagSizeInDataDescriptor;
    return local.headerLength() + qint64(central.compressedSize()) +
           (hasDataDescriptor ? zz::kDataDescriptorLength : 0);
}

quint32 ZZOldArchiveEntryWriter::offsetToLocalFileEnd() const
{
    if (m_hasLocalFile)
        return 0;
    return zz::readUInt32(reinterpret_cast<const uchar *>(m_centralFileHeader.constData()) + 42) + m_localFileLength;
}

bool ZZOldArchiveEntryWriter::writeLocalFileToChannelOutput(ZZChannelOutput &channelOutput, quint32 initialSkip,
                                                            PlatformError *error)
{
    if (!m_hasLocalFile)
        return true;
    const quint64 localOffset = quint64(channelOutput.offset()) + initialSkip;
    if (localOffset > 0xffffffffULL)
        return failWith(error, PlatformError::fromErrno(EFBIG, QStringLiteral("a zip archive ends at 4 GiB")));
    zz::writeUInt32(m_centralFileHeader, 42, static_cast<quint32>(localOffset));
    return channelOutput.writeData(QByteArrayView(m_contents).sliced(m_localOffset, m_localFileLength), error);
}

bool ZZOldArchiveEntryWriter::writeCentralFileHeaderToChannelOutput(ZZChannelOutput &channelOutput,
                                                                    PlatformError *error)
{
    return channelOutput.writeData(m_centralFileHeader, error);
}
