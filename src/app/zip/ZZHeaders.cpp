#include "app/zip/ZZHeaders.h"

namespace zz {

void writeUInt16(QByteArray &bytes, qsizetype offset, quint16 value)
{
    bytes[offset] = static_cast<char>(value & 0xff);
    bytes[offset + 1] = static_cast<char>(value >> 8);
}

void writeUInt32(QByteArray &bytes, qsizetype offset, quint32 value)
{
    for (int index = 0; index < 4; ++index)
        bytes[offset + index] = static_cast<char>((value >> (8 * index)) & 0xff);
}

} // namespace zz

std::optional<ZZExtraField> findExtraField(QByteArrayView extraFields, quint16 headerId)
{
    const auto *bytes = reinterpret_cast<const uchar *>(extraFields.data());
    qsizetype position = 0;
    // Each step moves on by at least 4 bytes, so the walk ends within the block.
    while (extraFields.size() - position >= 4) {
        const quint16 id = zz::readUInt16(bytes + position);
        const quint16 dataSize = zz::readUInt16(bytes + position + 2);
        if (dataSize > extraFields.size() - position - 4)
            return std::nullopt;
        if (id == headerId)
            return ZZExtraField{id, extraFields.sliced(position + 4, dataSize)};
        position += 4 + dataSize;
    }
    return std::nullopt;
}

std::optional<ZZWinZipAESExtraField> winZipAESExtraField(QByteArrayView extraFields)
{
    const std::optional<ZZExtraField> field = findExtraField(extraFields, zz::kWinZipAESExtraFieldId);
    if (!field || field->data.size() < zz::kWinZipAESExtraFieldDataLength)
        return std::nullopt;
    const auto *data = reinterpret_cast<const uchar *>(field->data.data());
    return ZZWinZipAESExtraField{zz::readUInt16(data), zz::readUInt16(data + 2), data[4], zz::readUInt16(data + 5)};
}

QByteArrayView ZZCentralFileHeader::fileName() const
{
    return QByteArrayView(m_bytes + zz::kCentralFileHeaderLength, fileNameLength());
}

QByteArrayView ZZCentralFileHeader::extraFields() const
{
    return QByteArrayView(m_bytes + zz::kCentralFileHeaderLength + fileNameLength(), extraFieldLength());
}

QByteArrayView ZZCentralFileHeader::fileComment() const
{
    return QByteArrayView(m_bytes + zz::kCentralFileHeaderLength + fileNameLength() + extraFieldLength(),
                          fileCommentLength());
}

QByteArrayView ZZLocalFileHeader::fileName() const
{
    return QByteArrayView(m_bytes + zz::kLocalFileHeaderLength, fileNameLength());
}

QByteArrayView ZZLocalFileHeader::extraFields() const
{
    return QByteArrayView(m_bytes + zz::kLocalFileHeaderLength + fileNameLength(), extraFieldLength());
}
