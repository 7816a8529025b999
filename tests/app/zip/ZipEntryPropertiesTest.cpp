// Entry properties and refusals of hand-made archives: methods and encryptions we do not read, names
// in code page 437, modes of MS-DOS tools, and content that does not add up.
#include "ZipTestSupport.h"

#include "app/zip/ZZArchive.h"
#include "app/zip/ZZError.h"
#include "app/zip/ZZOldArchiveEntry.h"

#include <gtest/gtest.h>

using platform::PlatformError;
using namespace ziptest;

namespace {

// One entry "a.txt" written by us; the central header's position is answered through centralOffset.
QByteArray oneEntryArchive(const QByteArray &content, int level, qsizetype *centralOffset = nullptr)
{
    PlatformError error;
    std::unique_ptr<ZZArchive> archive = ZZArchive::initWithData({}, createOptions(), &error);
    if (!archive || !archive->updateEntries({dataEntry(QStringLiteral("a.txt"), content, level)}, &error))
        return {};
    const QByteArray bytes = archive->contents();
    if (centralOffset)
        *centralOffset = qsizetype(quint8(bytes[bytes.size() - 6])) | (qsizetype(quint8(bytes[bytes.size() - 5])) << 8);
    return bytes;
}

std::shared_ptr<ZZArchiveEntry> onlyEntry(const QByteArray &bytes, PlatformError *error)
{
    std::unique_ptr<ZZArchive> archive = ZZArchive::archiveWithData(bytes, error);
    if (!archive || archive->entries().size() != 1)
        return nullptr;
    return archive->entries().first();
}

} // namespace

TEST(ZipEntryProperties, RefusesMethodsAndEncryptionsItCannotRead)
{
    struct Row
    {
        const char *name;
        quint16 method;
        quint16 flag;
        qint64 code;
    };
    const Row rows[] = {
        {"method 12 (bzip2)", 12, 0x0808, 9},
        {"method 14 (lzma)", 14, 0x0808, 9},
        {"strong encryption", 0, 0x0041, 10},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        qsizetype central = 0;
        QByteArray bytes = oneEntryArchive("abc", 0, &central);
        put16(bytes, 6, row.flag);
        put16(bytes, 8, row.method);
        put16(bytes, central + 8, row.flag);
        put16(bytes, central + 10, row.method);
        PlatformError error;
        const std::shared_ptr<ZZArchiveEntry> entry = onlyEntry(bytes, &error);
        ASSERT_TRUE(entry);
        EXPECT_FALSE(entry->newDataWithError(&error));
        EXPECT_EQ(zipErrorCode(error), row.code);
        EXPECT_FALSE(entry->newStreamWithError(&error));
        EXPECT_EQ(zipErrorCode(error), row.code);
        EXPECT_FALSE(entry->newDataProviderWithError(&error));
        EXPECT_EQ(zipErrorCode(error), row.code);
    }
}

TEST(ZipEntryProperties, DecodesNamesByTheirFlag)
{
    struct Row
    {
        const char *name;
        QByteArray rawName;
        quint16 flag;
        QString expected;
        ZZStringEncoding encoding;
    };
    const Row rows[] = {
        {"code page 437", QByteArray("\x80\x81\xe1\xfe.txt", 8), 0x0008, QStringLiteral("\u00c7\u00fc\u00df\u25a0.txt"),
         ZZStringEncoding::CodePage437},
        {"UTF-8 flag", QByteArray("\xc3\x87\xc3\xbc.txt"), 0x0808, QStringLiteral("\u00c7\u00fc.txt"),
         ZZStringEncoding::UTF8},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        PlatformError error;
        std::unique_ptr<ZZArchive> archive = ZZArchive::initWithData({}, createOptions(), &error);
        // A name of the same length as the raw bytes, whose bytes are then replaced in both headers.
        const QString placeholder(row.rawName.size(), u'x');
        ASSERT_TRUE(archive->updateEntries({dataEntry(placeholder, "abc", 0)}, &error));
        QByteArray bytes = archive->contents();
        const qsizetype central = bytes.lastIndexOf(QByteArray("PK\x01\x02", 4));
        bytes.replace(30, row.rawName.size(), row.rawName);
        bytes.replace(central + 46, row.rawName.size(), row.rawName);
        put16(bytes, 6, row.flag);
        put16(bytes, central + 8, row.flag);
        const std::shared_ptr<ZZArchiveEntry> entry = onlyEntry(bytes, &error);
        ASSERT_TRUE(entry);
        EXPECT_EQ(entry->encoding(), row.encoding);
        EXPECT_EQ(entry->fileName().toStdString(), row.expected.toStdString());
        EXPECT_EQ(entry->rawFileName(), row.rawName);
        EXPECT_TRUE(entry->check(&error));
    }
}

TEST(ZipEntryProperties, ReportsModesByTheHostThatWroteThem)
{
    struct Row
    {
        const char *name;
        quint8 host;
        quint32 attributes;
        quint16 mode;
    };
    const Row rows[] = {
        {"UNIX file", 3, 0100600u << 16, 0100600},
        {"UNIX folder", 3, 040700u << 16, 040700},
        {"MS-DOS file", 0, 0x20, 0100644},
        {"MS-DOS read-only file", 0, 0x21, 0100444},
        {"MS-DOS folder", 0, 0x10, 040755},
        {"MS-DOS read-only folder", 0, 0x11, 040555},
        {"NTFS volume label bit as folder", 10, 0x08, 040755},
        {"another host", 19, 0xffffffff, 0},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        qsizetype central = 0;
        QByteArray bytes = oneEntryArchive("abc", 0, &central);
        bytes[central + 5] = char(row.host);
        put32(bytes, central + 38, row.attributes);
        PlatformError error;
        const std::shared_ptr<ZZArchiveEntry> entry = onlyEntry(bytes, &error);
        ASSERT_TRUE(entry);
        EXPECT_EQ(entry->fileMode(), row.mode);
    }
}

TEST(ZipEntryProperties, ReadsTheDosDateInTheLocalTimeZone)
{
    qsizetype central = 0;
    QByteArray bytes = oneEntryArchive("abc", 0, &central);
    PlatformError error;
    EXPECT_EQ(onlyEntry(bytes, &error)->lastModified(), fixedMoment());
    // 30 two-second units roll over into the next minute.
    put16(bytes, central + 12, 30 + 59 * 32 + 23 * 2048);
    EXPECT_EQ(onlyEntry(bytes, &error)->lastModified(), QDateTime(QDate(2024, 3, 16), QTime(0, 0), Qt::UTC));
}

TEST(ZipEntryProperties, RefusesContentThatDoesNotAddUp)
{
    struct Row
    {
        const char *name;
        int level;
        qsizetype dataOffset; // Within the entry's data; -1 for none.
        qsizetype crcOffset;  // Within the central header; -1 for none.
    };
    const Row rows[] = {
        {"deflate stream cut short by a stored end", 9, -1, -1},
        {"stored content differs from its crc-32", 0, 10, -1},
        {"deflated content differs from its crc-32", 6, -1, 16},
    };
    const QByteArray content = sampleBytes(5000, 11);
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        qsizetype central = 0;
        QByteArray bytes = oneEntryArchive(content, row.level, &central);
        if (row.dataOffset >= 0)
            bytes[30 + 5 + row.dataOffset] = char(bytes[30 + 5 + row.dataOffset] ^ 0x55);
        if (row.crcOffset >= 0)
            put32(bytes, central + row.crcOffset, 0x12345678);
        if (row.dataOffset < 0 && row.crcOffset < 0) {
            // The deflate data loses its last block: it no longer ends at its compressed size.
            const quint32 compressedSize =
                quint32(quint8(bytes[central + 20])) | (quint32(quint8(bytes[central + 21])) << 8);
            bytes[30 + 5 + compressedSize - 1] = char(bytes[30 + 5 + compressedSize - 1] ^ 0xff);
            bytes[30 + 5] = char(bytes[30 + 5] & ~1); // clear the final-block bit of the first block
        }
        PlatformError error;
        const std::shared_ptr<ZZArchiveEntry> entry = onlyEntry(bytes, &error);
        ASSERT_TRUE(entry);
        EXPECT_FALSE(entry->newDataWithError(&error));
        EXPECT_EQ(zipErrorCode(error), 3);
    }
}
