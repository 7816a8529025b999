#include "app/zip/ZZCentralDirectory.h"

#include "app/zip/ZZError.h"
#include "app/zip/ZZHeaders.h"
#include "app/zip/ZZOldArchiveEntry.h"
#include "app/zip/ZZOldArchiveEntryWriter.h"

using platform::PlatformError;

namespace {

struct EndRecord
{
    qsizetype position = 0;
    quint16 entryCount = 0;
    quint32 directoryOffset = 0;
};

// The last end-record signature that could start a record: no earlier than the longest comment allows,
// no later than 22 bytes before the end.
std::optional<qsizetype> findEndRecord(const QByteArray &bytes)
{
    const auto *data = reinterpret_cast<const uchar *>(bytes.constData());
    const qsizetype last = bytes.size() - zz::kEndOfCentralDirectoryLength;
    const qsizetype first = std::max<qsizetype>(0, last - zz::kMaximumCommentLength);
    for (qsizetype position = last; position >= first; --position) {
        if (zz::readUInt32(data + position) == zz::kEndOfCentralDirectorySignature)
            return position;
    }
    return std::nullopt;
}

std::optional<EndRecord> readEndRecord(const QByteArray &bytes)
{
    const std::optional<qsizetype> position = findEndRecord(bytes);
    if (!position)
        return std::nullopt;
    const auto *record = reinterpret_cast<const uchar *>(bytes.constData()) + *position;
    const quint16 entriesOnDisk = zz::readUInt16(record + 8);
    const quint16 totalEntries = zz::readUInt16(record + 10);
    const quint32 directoryOffset = zz::readUInt32(record + 16);
    const quint16 commentLength = zz::readUInt16(record + 20);
    const bool isValid = zz::readUInt16(record + 4) == 0 && zz::readUInt16(record + 6) == 0 &&
                         entriesOnDisk == totalEntries &&
                         qint64(directoryOffset) + qint64(totalEntries) * zz::kCentralFileHeaderLength <= *position &&
                         *position + zz::kEndOfCentralDirectoryLength + commentLength == bytes.size();
    if (!isValid)
        return std::nullopt;
    return EndRecord{*position, totalEntries, directoryOffset};
}

// Whether the central header at the position, and the local file it points at, lie inside the bytes.
bool isSoundHeader(const QByteArray &bytes, qsizetype position, const EndRecord &end)
{
    const auto *data = reinterpret_cast<const uchar *>(bytes.constData());
    if (position + zz::kCentralFileHeaderLength > end.position)
        return false;
    const ZZCentralFileHeader central(data + position);
    const qint64 localOffset = central.relativeOffsetOfLocalHeader();
    if (central.signature() != zz::kCentralFileHeaderSignature || central.diskNumberStart() != 0 ||
        position + central.length() > end.position || localOffset + zz::kLocalFileHeaderLength > end.directoryOffset) {
        return false;
    }
    const qint64 localFileEnd =
        localOffset + ZZOldArchiveEntryWriter::localFileLength(bytes, position, qsizetype(localOffset));
    return localFileEnd <= bytes.size();
}

} // namespace

std::optional<QList<std::shared_ptr<ZZArchiveEntry>>> readCentralDirectory(const QByteArray &bytes,
                                                                           PlatformError *error)
{
    const std::optional<EndRecord> end = readEndRecord(bytes);
    if (!end) {
        failWith(error, ZZErrorCode::ReadEndOfCentralDirectory);
        return std::nullopt;
    }
    QList<std::shared_ptr<ZZArchiveEntry>> entries;
    entries.reserve(end->entryCount);
    qsizetype position = end->directoryOffset;
    for (int index = 0; index < end->entryCount; ++index) {
        if (!isSoundHeader(bytes, position, *end)) {
            failWith(error, ZZErrorCode::ReadCentralFileHeader, {}, index);
            return std::nullopt;
        }
        const ZZCentralFileHeader central(reinterpret_cast<const uchar *>(bytes.constData()) + position);
        entries.append(std::make_shared<ZZOldArchiveEntry>(bytes, position, central.relativeOffsetOfLocalHeader()));
        position += central.length();
    }
    return entries;
}
