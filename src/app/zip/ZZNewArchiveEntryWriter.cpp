#include "app/zip/ZZNewArchiveEntryWriter.h"

#include "app/zip/ZZChannelOutput.h"
#include "app/zip/ZZDataConsumer.h"
#include "app/zip/ZZDeflateOutputStream.h"
#include "app/zip/ZZError.h"
#include "app/zip/ZZHeaders.h"
#include "app/zip/ZZStoreOutputStream.h"

#include <zlib.h>

#include <cerrno>
#include <limits>

using platform::PlatformError;

namespace {

constexpr quint16 kVersionNeededToExtract = 10;
constexpr quint8 kVersionMadeBy = 30;
constexpr quint8 kUnixFileAttributeCompatibility = 3;
constexpr quint32 kLargest32 = std::numeric_limits<quint32>::max();

quint16 levelBits(int compressionLevel)
{
    switch (compressionLevel) {
    case 1:
    case 2:
        return ZZGeneralPurposeBitFlagSuperFastCompression;
    case 3:
    case 4:
        return ZZGeneralPurposeBitFlagFastCompression;
    case 8:
    case 9:
        return ZZGeneralPurposeBitFlagMaximumCompression;
    default:
        return ZZGeneralPurposeBitFlagNormalCompression;
    }
}

// DOS dates start in 1980 and end in 2107: a moment outside is stored as the nearest one inside.
QDateTime dosMoment(const QDateTime &moment)
{
    const QDateTime local = moment.isValid() ? moment.toLocalTime() : QDateTime();
    const QDateTime first(QDate(1980, 1, 1), QTime(0, 0));
    const QDateTime last(QDate(2107, 12, 31), QTime(23, 59, 58));
    if (!local.isValid() || local < first)
        return first;
    return local > last ? last : local;
}

// Each pass takes input or fails: the streams take all they are given or report a failure.
bool writeWhole(ZZOutputStream &stream, const QByteArray &data)
{
    const auto *bytes = reinterpret_cast<const uchar *>(data.constData());
    qint64 taken = 0;
    while (taken < data.size()) {
        const qint64 written = stream.write(bytes + taken, data.size() - taken);
        if (written <= 0)
            return false;
        taken += written;
    }
    return true;
}

PlatformError tooLargeError()
{
    return PlatformError::fromErrno(EFBIG, QStringLiteral("a zip entry holds at most 4 GiB"));
}

} // namespace

ZZNewArchiveEntryWriter::ZZNewArchiveEntryWriter(const QString &fileName, quint16 fileMode,
                                                 const QDateTime &lastModified, int compressionLevel,
                                                 ZZArchiveEntry::DataBlock dataBlock,
                                                 ZZArchiveEntry::StreamBlock streamBlock,
                                                 ZZArchiveEntry::DataConsumerBlock dataConsumerBlock)
    : m_compressionLevel(compressionLevel), m_dataBlock(std::move(dataBlock)), m_streamBlock(std::move(streamBlock)),
      m_dataConsumerBlock(std::move(dataConsumerBlock))
{
    const QByteArray name = fileName.toUtf8();
    const auto nameLength = static_cast<quint16>(std::min<qsizetype>(name.size(), 0xffff));
    const quint16 flag = levelBits(compressionLevel) |
                         (hasCallback() ? ZZGeneralPurposeBitFlagSizeInDataDescriptor : 0) |
                         ZZGeneralPurposeBitFlagFileNameUTF8Encoded;
    const quint16 method = compressionLevel != 0 ? Z_DEFLATED : 0;
    m_localFileHeader = QByteArray(zz::kLocalFileHeaderLength, '\0');
    zz::writeUInt32(m_localFileHeader, 0, zz::kLocalFileHeaderSignature);
    zz::writeUInt16(m_localFileHeader, 4, kVersionNeededToExtract);
    zz::writeUInt16(m_localFileHeader, 6, flag);
    zz::writeUInt16(m_localFileHeader, 8, method);
    zz::writeUInt16(m_localFileHeader, 10, dosTime(lastModified));
    zz::writeUInt16(m_localFileHeader, 12, dosDate(lastModified));
    zz::writeUInt16(m_localFileHeader, 26, nameLength);
    m_localFileHeader += name;
    m_centralFileHeader = QByteArray(zz::kCentralFileHeaderLength, '\0');
    zz::writeUInt32(m_centralFileHeader, 0, zz::kCentralFileHeaderSignature);
    m_centralFileHeader[4] = static_cast<char>(kVersionMadeBy);
    m_centralFileHeader[5] = static_cast<char>(kUnixFileAttributeCompatibility);
    // From the version needed to the name length the two headers agree, 24 bytes in all.
    m_centralFileHeader.replace(6, 24, m_localFileHeader.sliced(4, 24));
    zz::writeUInt32(m_centralFileHeader, 38, static_cast<quint32>(fileMode) << 16);
    m_centralFileHeader += name;
}

quint16 ZZNewArchiveEntryWriter::dosTime(const QDateTime &moment)
{
    const QTime time = dosMoment(moment).time();
    return static_cast<quint16>((time.second() + 1) / 2 + time.minute() * 32 + time.hour() * 2048);
}

quint16 ZZNewArchiveEntryWriter::dosDate(const QDateTime &moment)
{
    const QDate date = dosMoment(moment).date();
    return static_cast<quint16>(date.day() + date.month() * 32 + (date.year() - 1980) * 512);
}

bool ZZNewArchiveEntryWriter::writeLocalFileToChannelOutput(ZZChannelOutput &channelOutput, quint32 initialSkip,
                                                            PlatformError *error)
{
    const quint64 localOffset = quint64(channelOutput.offset()) + initialSkip;
    if (localOffset > kLargest32 || m_localFileHeader.size() - zz::kLocalFileHeaderLength > 0xffff)
        return failWith(error, tooLargeError());
    zz::writeUInt32(m_centralFileHeader, 42, static_cast<quint32>(localOffset));
    if (!channelOutput.writeData(m_localFileHeader, error))
        return false;
    if (!hasCallback())
        return true;
    Sums sums;
    if (!writeContent(channelOutput, sums, error)) {
        if (error && error->isNull())
            *error = makeZipError(ZZErrorCode::LocalFileWriteEnded);
        return false;
    }
    if (sums.compressedSize > kLargest32 || sums.uncompressedSize > kLargest32)
        return failWith(error, tooLargeError());
    zz::writeUInt32(m_centralFileHeader, 16, sums.crc32);
    zz::writeUInt32(m_centralFileHeader, 20, static_cast<quint32>(sums.compressedSize));
    zz::writeUInt32(m_centralFileHeader, 24, static_cast<quint32>(sums.uncompressedSize));
    return writeDataDescriptor(channelOutput, sums, error);
}

bool ZZNewArchiveEntryWriter::writeContent(ZZChannelOutput &channelOutput, Sums &sums, PlatformError *error)
{
    return m_compressionLevel != 0 ? writeDeflated(channelOutput, sums, error)
                                   : writeStored(channelOutput, sums, error);
}

bool ZZNewArchiveEntryWriter::writeDeflated(ZZChannelOutput &channelOutput, Sums &sums, PlatformError *error)
{
    ZZDeflateOutputStream stream(channelOutput, m_compressionLevel);
    stream.open();
    const bool isWritten = stream.streamStatus() == ZZStreamStatus::Open && runCallback(stream, error);
    stream.close();
    // A failed write, also one in the final flush, leaves its error in the stream.
    if (stream.streamStatus() == ZZStreamStatus::Error)
        return failWith(error, stream.streamError());
    sums = {stream.crc32(), stream.compressedSize(), stream.uncompressedSize()};
    return isWritten;
}

bool ZZNewArchiveEntryWriter::writeStored(ZZChannelOutput &channelOutput, Sums &sums, PlatformError *error)
{
    if (m_dataBlock) {
        const std::optional<QByteArray> data = m_dataBlock(error);
        if (!data || !channelOutput.writeData(*data, error))
            return false;
        const auto size = static_cast<quint64>(data->size());
        sums = {static_cast<quint32>(crc32_z(0, reinterpret_cast<const Bytef *>(data->constData()), data->size())),
                size, size};
        return true;
    }
    ZZStoreOutputStream stream(channelOutput);
    stream.open();
    const bool isWritten = runCallback(stream, error);
    stream.close();
    if (stream.streamStatus() == ZZStreamStatus::Error)
        return failWith(error, stream.streamError());
    sums = {stream.crc32(), stream.size(), stream.size()};
    return isWritten;
}

bool ZZNewArchiveEntryWriter::runCallback(ZZOutputStream &stream, PlatformError *error)
{
    if (m_dataBlock) {
        const std::optional<QByteArray> data = m_dataBlock(error);
        return data && writeWhole(stream, *data);
    }
    if (m_streamBlock)
        return m_streamBlock(stream, error);
    ZZDataConsumer consumer(stream);
    return m_dataConsumerBlock(consumer, error);
}

bool ZZNewArchiveEntryWriter::writeDataDescriptor(ZZChannelOutput &channelOutput, const Sums &sums,
                                                  PlatformError *error)
{
    QByteArray descriptor(zz::kDataDescriptorLength, '\0');
    zz::writeUInt32(descriptor, 0, zz::kDataDescriptorSignature);
    zz::writeUInt32(descriptor, 4, sums.crc32);
    zz::writeUInt32(descriptor, 8, static_cast<quint32>(sums.compressedSize));
    zz::writeUInt32(descriptor, 12, static_cast<quint32>(sums.uncompressedSize));
    return channelOutput.writeData(descriptor, error);
}

bool ZZNewArchiveEntryWriter::writeCentralFileHeaderToChannelOutput(ZZChannelOutput &channelOutput,
                                                                    PlatformError *error)
{
    return channelOutput.writeData(m_centralFileHeader, error);
}
