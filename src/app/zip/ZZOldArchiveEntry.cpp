#include "app/zip/ZZOldArchiveEntry.h"

#include "app/zip/ZZAESDecryptInputStream.h"
#include "app/zip/ZZDataInputStream.h"
#include "app/zip/ZZDataProvider.h"
#include "app/zip/ZZError.h"
#include "app/zip/ZZInflateInputStream.h"
#include "app/zip/ZZOldArchiveEntryWriter.h"
#include "app/zip/ZZStandardDecryptInputStream.h"

#include <zlib.h>

using platform::PlatformError;

namespace {

constexpr quint16 kStored = 0;
constexpr quint16 kDeflated = 8;
constexpr quint8 kMsDosCompatibility = 0;
constexpr quint8 kUnixCompatibility = 3;
constexpr quint8 kNtfsCompatibility = 10;
// Deflate never expands data more than 1032 times; a larger declared size is a lie.
constexpr qint64 kLargestDeflateRatio = 1032;

// The upper half of code page 437; the lower half is ASCII.
constexpr char16_t kCodePage437[128] = {
    0x00c7, 0x00fc, 0x00e9, 0x00e2, 0x00e4, 0x00e0, 0x00e5, 0x00e7, 0x00ea, 0x00eb, 0x00e8, 0x00ef, 0x00ee,
    0x00ec, 0x00c4, 0x00c5, 0x00c9, 0x00e6, 0x00c6, 0x00f4, 0x00f6, 0x00f2, 0x00fb, 0x00f9, 0x00ff, 0x00d6,
    0x00dc, 0x00a2, 0x00a3, 0x00a5, 0x20a7, 0x0192, 0x00e1, 0x00ed, 0x00f3, 0x00fa, 0x00f1, 0x00d1, 0x00aa,
    0x00ba, 0x00bf, 0x2310, 0x00ac, 0x00bd, 0x00bc, 0x00a1, 0x00ab, 0x00bb, 0x2591, 0x2592, 0x2593, 0x2502,
    0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557, 0x255d, 0x255c, 0x255b, 0x2510, 0x2514,
    0x2534, 0x252c, 0x251c, 0x2500, 0x253c, 0x255e, 0x255f, 0x255a, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550,
    0x256c, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256b, 0x256a, 0x2518, 0x250c,
    0x2588, 0x2584, 0x258c, 0x2590, 0x2580, 0x03b1, 0x00df, 0x0393, 0x03c0, 0x03a3, 0x03c3, 0x00b5, 0x03c4,
    0x03a6, 0x0398, 0x03a9, 0x03b4, 0x221e, 0x03c6, 0x03b5, 0x2229, 0x2261, 0x00b1, 0x2265, 0x2264, 0x2320,
    0x2321, 0x00f7, 0x2248, 0x00b0, 0x2219, 0x00b7, 0x221a, 0x207f, 0x00b2, 0x25a0, 0x00a0,
};

QString decodeCodePage437(QByteArrayView bytes)
{
    QString text;
    text.reserve(bytes.size());
    for (const char byte : bytes) {
        const auto code = static_cast<uchar>(byte);
        text.append(code < 0x80 ? QChar(code) : QChar(kCodePage437[code - 0x80]));
    }
    return text;
}

} // namespace

ZZOldArchiveEntry::ZZOldArchiveEntry(const QByteArray &contents, qsizetype centralOffset, qsizetype localOffset)
    : m_contents(contents), m_centralOffset(centralOffset), m_localOffset(localOffset),
      m_encryptionMode(encryptionModeOf(central().generalPurposeBitFlag(), central().extraFields()))
{
}

ZZCentralFileHeader ZZOldArchiveEntry::central() const
{
    return ZZCentralFileHeader(reinterpret_cast<const uchar *>(m_contents.constData()) + m_centralOffset);
}

ZZLocalFileHeader ZZOldArchiveEntry::local() const
{
    return ZZLocalFileHeader(reinterpret_cast<const uchar *>(m_contents.constData()) + m_localOffset);
}

ZZOldArchiveEntry::EncryptionMode ZZOldArchiveEntry::encryptionModeOf(quint16 flag, QByteArrayView extraFields)
{
    if (!(flag & ZZGeneralPurposeBitFlagEncrypted))
        return None;
    if (winZipAESExtraField(extraFields))
        return WinZipAES;
    return flag & ZZGeneralPurposeBitFlagStrongEncryption ? Strong : Standard;
}

quint16 ZZOldArchiveEntry::compressionMethod() const
{
    if (m_encryptionMode == WinZipAES) {
        if (const std::optional<ZZWinZipAESExtraField> field = winZipAESExtraField(central().extraFields()))
            return field->actualCompressionMethod;
    }
    return central().compressionMethod();
}

bool ZZOldArchiveEntry::encrypted() const
{
    return central().generalPurposeBitFlag() & ZZGeneralPurposeBitFlagEncrypted;
}

QDateTime ZZOldArchiveEntry::lastModified() const
{
    const quint16 time = central().lastModFileTime();
    const quint16 date = central().lastModFileDate();
    // Out-of-range fields (month 0, 60 seconds) roll over into the next unit, as calendars do.
    const QDate day = QDate((date >> 9) + 1980, 1, 1).addMonths(((date >> 5) & 0x0f) - 1).addDays((date & 0x1f) - 1);
    const int seconds = (time >> 11) * 3600 + ((time >> 5) & 0x3f) * 60 + (time & 0x1f) * 2;
    return QDateTime(day, QTime(0, 0), Qt::LocalTime).addSecs(seconds);
}

quint16 ZZOldArchiveEntry::fileMode() const
{
    const ZZCentralFileHeader header = central();
    const quint32 attributes = header.externalFileAttributes();
    switch (header.fileAttributeCompatibility()) {
    case kUnixCompatibility:
        return static_cast<quint16>(attributes >> 16);
    case kMsDosCompatibility:
    case kNtfsCompatibility: {
        const quint16 permissions = (attributes & 0x01) ? 0444 : 0644;
        const bool isDirectory = attributes & (0x10 | 0x08);
        return static_cast<quint16>(permissions | (isDirectory ? 040111 : 0100000));
    }
    default:
        return 0;
    }
}

ZZStringEncoding ZZOldArchiveEntry::encoding() const
{
    return central().generalPurposeBitFlag() & ZZGeneralPurposeBitFlagFileNameUTF8Encoded
               ? ZZStringEncoding::UTF8
               : ZZStringEncoding::CodePage437;
}

QString ZZOldArchiveEntry::fileNameWithEncoding(ZZStringEncoding encoding) const
{
    const QByteArrayView name = central().fileName();
    return encoding == ZZStringEncoding::UTF8 ? QString::fromUtf8(name) : decodeCodePage437(name);
}

std::unique_ptr<ZZArchiveEntryWriter> ZZOldArchiveEntry::newWriterCanSkipLocalFile(bool canSkipLocalFile) const
{
    return std::make_unique<ZZOldArchiveEntryWriter>(m_contents, m_centralOffset, m_localOffset, canSkipLocalFile);
}

bool ZZOldArchiveEntry::check(PlatformError *error) const
{
    const ZZCentralFileHeader central = this->central();
    const ZZLocalFileHeader local = this->local();
    // A WinZip AES entry names the AES marker as its method in both headers; the actual method sits
    // in the extra field, so the headers are compared with each other.
    const quint16 method = m_encryptionMode == WinZipAES ? central.compressionMethod() : compressionMethod();
    const bool isConsistent =
        local.signature() == zz::kLocalFileHeaderSignature &&
        local.versionNeededToExtract() == central.versionNeededToExtract() &&
        local.generalPurposeBitFlag() == central.generalPurposeBitFlag() &&
        local.lastModFileTime() == central.lastModFileTime() && local.lastModFileDate() == central.lastModFileDate() &&
        local.fileName() == central.fileName() && local.compressionMethod() == method &&
        encryptionModeOf(local.generalPurposeBitFlag(), local.extraFields()) == m_encryptionMode &&
        hasDataDescriptorMatching(local);
    if (!isConsistent)
        return failWith(error, ZZErrorCode::ReadLocalFile);
    return true;
}

// The sizes and crc-32 come from the data descriptor when the local flag says they follow the data,
// else from the local header; either way they must equal the central header's.
bool ZZOldArchiveEntry::hasDataDescriptorMatching(const ZZLocalFileHeader &local) const
{
    const ZZCentralFileHeader central = this->central();
    if (!(local.generalPurposeBitFlag() & ZZGeneralPurposeBitFlagSizeInDataDescriptor)) {
        return local.crc32() == central.crc32() && local.compressedSize() == central.compressedSize() &&
               local.uncompressedSize() == central.uncompressedSize();
    }
    // The load checked that the 16 bytes lie inside the archive.
    const uchar *descriptor = local.fileData() + central.compressedSize();
    return zz::readUInt32(descriptor) == zz::kDataDescriptorSignature &&
           zz::readUInt32(descriptor + 4) == central.crc32() &&
           zz::readUInt32(descriptor + 8) == central.compressedSize() &&
           zz::readUInt32(descriptor + 12) == central.uncompressedSize();
}

bool ZZOldArchiveEntry::checkEncryptionAndCompression(PlatformError *error) const
{
    if (m_encryptionMode == Strong)
        return failWith(error, ZZErrorCode::UnsupportedEncryptionMethod);
    const quint16 method = compressionMethod();
    if (method != kStored && method != kDeflated)
        return failWith(error, ZZErrorCode::UnsupportedCompressionMethod);
    return true;
}

std::optional<ZZOldArchiveEntry::DataRange> ZZOldArchiveEntry::fileData(PlatformError *error) const
{
    const qsizetype start = m_localOffset + local().headerLength();
    const qsizetype length = central().compressedSize();
    qsizetype front = 0;
    qsizetype back = 0;
    if (m_encryptionMode == Standard) {
        front = ZZStandardDecryptInputStream::kEncryptionHeaderLength;
    } else if (m_encryptionMode == WinZipAES) {
        const std::optional<ZZWinZipAESExtraField> field = winZipAESExtraField(central().extraFields());
        const int saltLength = ZZAESEncryptionStrength::getSaltLength(field ? field->encryptionStrength : 0);
        front = saltLength + ZZAESDecryptInputStream::kPasswordVerifierLength;
        back = ZZAESDecryptInputStream::kAuthenticationCodeLength;
        if (saltLength < 0)
            return failWith(error, ZZErrorCode::ReadLocalFile), std::nullopt;
    }
    // The load bounded the whole data; the parts inside it are checked here.
    if (length < front + back)
        return failWith(error, ZZErrorCode::ReadLocalFile), std::nullopt;
    return DataRange{start + front, length - front - back};
}

bool ZZOldArchiveEntry::isPlausibleSize(const DataRange &range) const
{
    const qint64 declared = central().uncompressedSize();
    if (compressionMethod() == kStored)
        return declared == range.length;
    return declared <= (range.length + 1) * kLargestDeflateRatio;
}

std::unique_ptr<ZZInputStream> ZZOldArchiveEntry::newStreamWithPassword(const QString &password,
                                                                        PlatformError *error) const
{
    if (!checkEncryptionAndCompression(error))
        return nullptr;
    const std::optional<DataRange> range = fileData(error);
    return range ? streamForData(*range, password, error) : nullptr;
}

std::unique_ptr<ZZInputStream> ZZOldArchiveEntry::streamForData(const DataRange &range, const QString &password,
                                                                PlatformError *error) const
{
    std::unique_ptr<ZZInputStream> stream = decryptingStream(range, password, error);
    if (stream && compressionMethod() == kDeflated)
        return std::make_unique<ZZInflateInputStream>(std::move(stream));
    return stream;
}

std::unique_ptr<ZZInputStream> ZZOldArchiveEntry::decryptingStream(const DataRange &range, const QString &password,
                                                                   PlatformError *error) const
{
    auto stream = std::make_unique<ZZDataInputStream>(m_contents, range.offset, range.length);
    const QByteArrayView data(m_contents);
    const qsizetype headerStart = m_localOffset + local().headerLength();
    const ZZCentralFileHeader central = this->central();
    if (m_encryptionMode == Standard) {
        const bool hasDescriptor = central.generalPurposeBitFlag() & ZZGeneralPurposeBitFlagSizeInDataDescriptor;
        const quint16 checkValue = hasDescriptor ? central.lastModFileTime() : quint16(central.crc32() >> 16);
        return ZZStandardDecryptInputStream::create(
            std::move(stream), password,
            data.sliced(headerStart, ZZStandardDecryptInputStream::kEncryptionHeaderLength), checkValue,
            central.versionMadeBy(), error);
    }
    if (m_encryptionMode == WinZipAES) {
        const int strength = winZipAESExtraField(central.extraFields())->encryptionStrength;
        const qsizetype authenticationStart = range.offset + range.length;
        return ZZAESDecryptInputStream::create(
            std::move(stream), password, data.sliced(headerStart, range.offset - headerStart), strength, range.length,
            data.sliced(authenticationStart, ZZAESDecryptInputStream::kAuthenticationCodeLength), error);
    }
    return stream;
}

std::optional<QByteArray> ZZOldArchiveEntry::newDataWithPassword(const QString &password, PlatformError *error) const
{
    if (!checkEncryptionAndCompression(error))
        return std::nullopt;
    const std::optional<DataRange> range = fileData(error);
    if (!range)
        return std::nullopt;
    if (!isPlausibleSize(*range))
        return failWith(error, ZZErrorCode::ReadLocalFile), std::nullopt;
    std::optional<QByteArray> content;
    if (m_encryptionMode == None && compressionMethod() == kStored) {
        content = m_contents.sliced(range->offset, range->length);
    } else if (m_encryptionMode == None) {
        content = ZZInflateInputStream::decompressData(QByteArrayView(m_contents).sliced(range->offset, range->length),
                                                       central().uncompressedSize());
    } else {
        std::unique_ptr<ZZInputStream> stream = streamForData(*range, password, error);
        if (!stream)
            return std::nullopt;
        content = readWholeStream(*stream, error);
        if (!content)
            return std::nullopt;
    }
    if (!content)
        return failWith(error, ZZErrorCode::ReadLocalFile), std::nullopt;
    return isSoundContent(*content, error) ? content : std::nullopt;
}

// Reads the declared size and one byte more: content longer than declared is as wrong as shorter.
std::optional<QByteArray> ZZOldArchiveEntry::readWholeStream(ZZInputStream &stream, PlatformError *error) const
{
    QByteArray content(qsizetype(central().uncompressedSize()) + 1, Qt::Uninitialized);
    auto *buffer = reinterpret_cast<uchar *>(content.data());
    qsizetype filled = 0;
    stream.open();
    while (filled < content.size()) {
        const qint64 count = stream.read(buffer + filled, content.size() - filled);
        if (count < 1)
            break;
        filled += count;
    }
    const bool hasFailed = stream.streamStatus() == ZZStreamStatus::Error;
    const PlatformError streamError = stream.streamError();
    stream.close();
    if (hasFailed)
        return failWith(error, streamError), std::nullopt;
    content.truncate(filled);
    return content;
}

bool ZZOldArchiveEntry::isSoundContent(const QByteArray &content, PlatformError *error) const
{
    const ZZCentralFileHeader central = this->central();
    // WinZip AES version 2 leaves the crc-32 out (0); its authentication code vouches for the content.
    const std::optional<ZZWinZipAESExtraField> field = winZipAESExtraField(central.extraFields());
    const bool hasCrc = m_encryptionMode != WinZipAES || !field || field->vendorVersion != 2;
    const auto crc = static_cast<quint32>(
        crc32_z(0, reinterpret_cast<const Bytef *>(content.constData()), static_cast<z_size_t>(content.size())));
    if (content.size() != qsizetype(central.uncompressedSize()) || (hasCrc && crc != central.crc32()))
        return failWith(error, ZZErrorCode::ReadLocalFile);
    return true;
}

std::unique_ptr<ZZDataProvider> ZZOldArchiveEntry::newDataProviderWithPassword(const QString &password,
                                                                               PlatformError *error) const
{
    if (!checkEncryptionAndCompression(error))
        return nullptr;
    const std::optional<DataRange> range = fileData(error);
    if (!range)
        return nullptr;
    const QByteArray contents = m_contents;
    if (m_encryptionMode == None && compressionMethod() == kStored) {
        return std::make_unique<ZZDataProvider>([contents, range = *range]() -> std::unique_ptr<ZZInputStream> {
            return std::make_unique<ZZDataInputStream>(contents, range.offset, range.length);
        });
    }
    // The provider may outlive this entry object: it holds a copy of it, which shares the bytes.
    auto entry = std::make_shared<ZZOldArchiveEntry>(*this);
    return std::make_unique<ZZDataProvider>(
        [entry, password, range = *range]() { return entry->streamForData(range, password, nullptr); });
}
