#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <optional>

// The records of the zip format, all integers little-endian. The views below read a record in place;
// whoever makes one has checked that the record's fixed part (and, for the parts with lengths, the
// whole record) lies inside the bytes, so the views themselves never check.
namespace zz {

inline constexpr quint32 kLocalFileHeaderSignature = 0x04034b50;
inline constexpr quint32 kCentralFileHeaderSignature = 0x02014b50;
inline constexpr quint32 kEndOfCentralDirectorySignature = 0x06054b50;
inline constexpr quint32 kDataDescriptorSignature = 0x08074b50;

inline constexpr qsizetype kLocalFileHeaderLength = 30;
inline constexpr qsizetype kCentralFileHeaderLength = 46;
inline constexpr qsizetype kEndOfCentralDirectoryLength = 22;
inline constexpr qsizetype kDataDescriptorLength = 16;
inline constexpr qsizetype kMaximumCommentLength = 65535;

inline constexpr quint16 kWinZipAESExtraFieldId = 0x9901;
inline constexpr qsizetype kWinZipAESExtraFieldDataLength = 7;

inline quint16 readUInt16(const uchar *bytes)
{
    return static_cast<quint16>(bytes[0] | (bytes[1] << 8));
}

inline quint32 readUInt32(const uchar *bytes)
{
    return static_cast<quint32>(bytes[0]) | (static_cast<quint32>(bytes[1]) << 8) |
           (static_cast<quint32>(bytes[2]) << 16) | (static_cast<quint32>(bytes[3]) << 24);
}

// Little-endian writes into a buffer that already holds the position.
void writeUInt16(QByteArray &bytes, qsizetype offset, quint16 value);
void writeUInt32(QByteArray &bytes, qsizetype offset, quint32 value);

} // namespace zz

// The general purpose bit flag of the local and central headers.
enum ZZGeneralPurposeBitFlag : quint16 {
    ZZGeneralPurposeBitFlagNone = 0,
    ZZGeneralPurposeBitFlagEncrypted = 0x0001,
    ZZGeneralPurposeBitFlagNormalCompression = 0x0000,
    ZZGeneralPurposeBitFlagMaximumCompression = 0x0002,
    ZZGeneralPurposeBitFlagFastCompression = 0x0004,
    ZZGeneralPurposeBitFlagSuperFastCompression = 0x0006,
    ZZGeneralPurposeBitFlagSizeInDataDescriptor = 0x0008,
    ZZGeneralPurposeBitFlagStrongEncryption = 0x0040,
    ZZGeneralPurposeBitFlagFileNameUTF8Encoded = 0x0800,
};

// One extra field: its id, and its data (without the 4 bytes of id and size).
struct ZZExtraField
{
    quint16 headerId = 0;
    QByteArrayView data;
};

// Finds the first extra field with the id in a block of extra fields. A field whose stated size runs
// past the block ends the search: nothing past the block is ever read.
std::optional<ZZExtraField> findExtraField(QByteArrayView extraFields, quint16 headerId);

// The fields of a WinZip AES extra field that decryption needs.
struct ZZWinZipAESExtraField
{
    quint16 vendorVersion = 0;
    quint16 vendorId = 0;
    quint8 encryptionStrength = 0;
    quint16 actualCompressionMethod = 0;
};
std::optional<ZZWinZipAESExtraField> winZipAESExtraField(QByteArrayView extraFields);

// A central file header in place (46 bytes, then name, extra fields and comment).
class ZZCentralFileHeader final
{
public:
    explicit ZZCentralFileHeader(const uchar *bytes) : m_bytes(bytes) {}

    quint32 signature() const { return zz::readUInt32(m_bytes); }
    quint8 versionMadeBy() const { return m_bytes[4]; }
    quint8 fileAttributeCompatibility() const { return m_bytes[5]; }
    quint16 versionNeededToExtract() const { return zz::readUInt16(m_bytes + 6); }
    quint16 generalPurposeBitFlag() const { return zz::readUInt16(m_bytes + 8); }
    quint16 compressionMethod() const { return zz::readUInt16(m_bytes + 10); }
    quint16 lastModFileTime() const { return zz::readUInt16(m_bytes + 12); }
    quint16 lastModFileDate() const { return zz::readUInt16(m_bytes + 14); }
    quint32 crc32() const { return zz::readUInt32(m_bytes + 16); }
    quint32 compressedSize() const { return zz::readUInt32(m_bytes + 20); }
    quint32 uncompressedSize() const { return zz::readUInt32(m_bytes + 24); }
    quint16 fileNameLength() const { return zz::readUInt16(m_bytes + 28); }
    quint16 extraFieldLength() const { return zz::readUInt16(m_bytes + 30); }
    quint16 fileCommentLength() const { return zz::readUInt16(m_bytes + 32); }
    quint16 diskNumberStart() const { return zz::readUInt16(m_bytes + 34); }
    quint16 internalFileAttributes() const { return zz::readUInt16(m_bytes + 36); }
    quint32 externalFileAttributes() const { return zz::readUInt32(m_bytes + 38); }
    quint32 relativeOffsetOfLocalHeader() const { return zz::readUInt32(m_bytes + 42); }

    // The whole record's length; the next header starts there.
    qsizetype length() const
    {
        return zz::kCentralFileHeaderLength + fileNameLength() + extraFieldLength() + fileCommentLength();
    }
    QByteArrayView fileName() const;
    QByteArrayView extraFields() const;
    QByteArrayView fileComment() const;
    const uchar *bytes() const { return m_bytes; }

private:
    const uchar *m_bytes;
};

// A local file header in place (30 bytes, then name and extra fields, then the entry's data).
class ZZLocalFileHeader final
{
public:
    explicit ZZLocalFileHeader(const uchar *bytes) : m_bytes(bytes) {}

    quint32 signature() const { return zz::readUInt32(m_bytes); }
    quint16 versionNeededToExtract() const { return zz::readUInt16(m_bytes + 4); }
    quint16 generalPurposeBitFlag() const { return zz::readUInt16(m_bytes + 6); }
    quint16 compressionMethod() const { return zz::readUInt16(m_bytes + 8); }
    quint16 lastModFileTime() const { return zz::readUInt16(m_bytes + 10); }
    quint16 lastModFileDate() const { return zz::readUInt16(m_bytes + 12); }
    quint32 crc32() const { return zz::readUInt32(m_bytes + 14); }
    quint32 compressedSize() const { return zz::readUInt32(m_bytes + 18); }
    quint32 uncompressedSize() const { return zz::readUInt32(m_bytes + 22); }
    quint16 fileNameLength() const { return zz::readUInt16(m_bytes + 26); }
    quint16 extraFieldLength() const { return zz::readUInt16(m_bytes + 28); }

    // From the header to the first byte of the entry's data.
    qsizetype headerLength() const { return zz::kLocalFileHeaderLength + fileNameLength() + extraFieldLength(); }
    QByteArrayView fileName() const;
    QByteArrayView extraFields() const;
    const uchar *fileData() const { return m_bytes + headerLength(); }

private:
    const uchar *m_bytes;
};
