// Writing archives: the bytes of what we write, the flag and method of each level, the patching of an
// archive that only grows, and the error codes with the archive left as it was.
#include "ZipTestSupport.h"

#include "app/zip/ZZArchive.h"
#include "app/zip/ZZArchiveEntry.h"
#include "app/zip/ZZError.h"
#include "app/zip/ZZNewArchiveEntryWriter.h"

#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>

using platform::PlatformError;
using namespace ziptest;

namespace {

using EntryList = QList<std::shared_ptr<ZZArchiveEntry>>;

std::unique_ptr<ZZArchive> createArchive(const QString &path)
{
    PlatformError error;
    std::unique_ptr<ZZArchive> archive = ZZArchive::initWithURL(QUrl::fromLocalFile(path), createOptions(), &error);
    EXPECT_TRUE(archive) << error.description().toStdString();
    return archive;
}

ino_t inodeOf(const QString &path)
{
    struct stat status = {};
    ::stat(path.toLocal8Bit().constData(), &status);
    return status.st_ino;
}

} // namespace

TEST(ZipWrite, WritesTheSmallestStoredArchiveByteForByte)
{
    // fromHex skips the blanks between the fields.
    const QByteArray expected = QByteArray::fromHex(
        // Local header: version 10, flags 0x0808, stored, DOS time and date, crc and sizes 0, name, data.
        "504b0304 0a00 0808 0000 9d52 6f58 00000000 00000000 00000000 0500 0000 612e747874 616263"
        // Data descriptor.
        "504b0708 c2412435 03000000 03000000"
        // Central header: made by 30 on UNIX, mode 0100644, local header at 0.
        "504b0102 1e 03 0a00 0808 0000 9d52 6f58 c2412435 03000000 03000000 0500 0000 0000 0000 0000"
        "0000a481 00000000 612e747874"
        // End record: one entry, directory of 51 bytes at 54.
        "504b0506 0000 0000 0100 0100 33000000 36000000 0000");
    ASSERT_EQ(expected.size(), 127);

    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("a.zip"));
    std::unique_ptr<ZZArchive> fileArchive = createArchive(path);
    PlatformError error;
    ASSERT_TRUE(fileArchive->updateEntries({dataEntry(QStringLiteral("a.txt"), "abc", 0)}, &error))
        << error.description().toStdString();
    EXPECT_EQ(hex(readFile(path)), hex(expected));
    EXPECT_EQ(hex(fileArchive->contents()), hex(expected));

    std::unique_ptr<ZZArchive> memoryArchive = ZZArchive::initWithData({}, createOptions(), &error);
    ASSERT_TRUE(memoryArchive);
    ASSERT_TRUE(memoryArchive->updateEntries({dataEntry(QStringLiteral("a.txt"), "abc", 0)}, &error));
    EXPECT_EQ(hex(memoryArchive->contents()), hex(expected));
    EXPECT_TRUE(memoryArchive->URL().isEmpty());
    EXPECT_EQ(fileArchive->URL(), QUrl::fromLocalFile(path));
}

TEST(ZipWrite, SetsFlagAndMethodByLevelAndSource)
{
    struct Row
    {
        const char *name;
        int level;
        bool isDirectory;
        quint16 flag;
        quint16 method;
        quint32 externalAttributes;
    };
    const Row rows[] = {
        {"stored", 0, false, 0x0808, 0, 0x81a40000},  {"default level", -1, false, 0x0808, 8, 0x81a40000},
        {"level 1", 1, false, 0x080e, 8, 0x81a40000}, {"level 2", 2, false, 0x080e, 8, 0x81a40000},
        {"level 3", 3, false, 0x080c, 8, 0x81a40000}, {"level 4", 4, false, 0x080c, 8, 0x81a40000},
        {"level 5", 5, false, 0x0808, 8, 0x81a40000}, {"level 6", 6, false, 0x0808, 8, 0x81a40000},
        {"level 7", 7, false, 0x0808, 8, 0x81a40000}, {"level 8", 8, false, 0x080a, 8, 0x81a40000},
        {"level 9", 9, false, 0x080a, 8, 0x81a40000}, {"directory", 0, true, 0x0800, 0, 0x41ed0000},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const std::shared_ptr<ZZArchiveEntry> entry =
            row.isDirectory ? ZZArchiveEntry::archiveEntryWithDirectoryName(QStringLiteral("folder/"))
                            : dataEntry(QStringLiteral("f.txt"), sampleBytes(5000, 7), row.level);
        PlatformError error;
        std::unique_ptr<ZZArchive> archive = ZZArchive::initWithData({}, createOptions(), &error);
        ASSERT_TRUE(archive->updateEntries({entry}, &error)) << error.description().toStdString();
        const QByteArray bytes = archive->contents();
        const qsizetype central = get32(bytes, bytes.size() - 6);
        EXPECT_EQ(get16(bytes, 6), row.flag);
        EXPECT_EQ(get16(bytes, 8), row.method);
        EXPECT_EQ(get16(bytes, central + 8), row.flag);
        EXPECT_EQ(get16(bytes, central + 10), row.method);
        EXPECT_EQ(get32(bytes, central + 38), row.externalAttributes);
        // A directory has no data and no descriptor: its central header follows its local one.
        if (row.isDirectory) {
            EXPECT_EQ(central, 30 + 7);
        }
        ASSERT_EQ(archive->entries().size(), 1);
        EXPECT_TRUE(archive->entries()[0]->check(&error));
    }
}

TEST(ZipWrite, StoresDosTimesRoundedUpToTwoSeconds)
{
    struct Row
    {
        const char *name;
        QTime time;
        quint16 dosTime;
    };
    const Row rows[] = {{"midnight", QTime(0, 0, 0), 0},
                        {"59 seconds as 30 units", QTime(0, 0, 59), 30},
                        {"odd second rounds up", QTime(13, 7, 3), 2 + 7 * 32 + 13 * 2048},
                        {"last moment", QTime(23, 59, 58), 29 + 59 * 32 + 23 * 2048}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(ZZNewArchiveEntryWriter::dosTime(QDateTime(QDate(2020, 1, 1), row.time, Qt::UTC)), row.dosTime);
    }
    EXPECT_EQ(ZZNewArchiveEntryWriter::dosDate(QDateTime(QDate(2024, 3, 15), QTime(), Qt::UTC)), 0x586f);
    // Outside what DOS dates can hold, the nearest moment inside is stored.
    EXPECT_EQ(ZZNewArchiveEntryWriter::dosDate(QDateTime(QDate(1970, 1, 1), QTime(), Qt::UTC)), 1 + 32);
    EXPECT_EQ(ZZNewArchiveEntryWriter::dosDate(QDateTime()), 1 + 32);
}

TEST(ZipWrite, OpensMissingFilesOnlyWhenAskedToCreate)
{
    QTemporaryDir folder;
    const QUrl url = QUrl::fromLocalFile(folder.filePath(QStringLiteral("missing.zip")));
    PlatformError error;
    std::unique_ptr<ZZArchive> created = ZZArchive::initWithURL(url, createOptions(), &error);
    ASSERT_TRUE(created);
    EXPECT_TRUE(created->entries().isEmpty());

    EXPECT_FALSE(ZZArchive::archiveWithURL(url, &error));
    EXPECT_EQ(zipErrorCode(error), 0);
    EXPECT_EQ(underlyingError(error).domain(), QLatin1String(platform::NSCocoaErrorDomain));
    EXPECT_EQ(underlyingError(error).code(), 260);
    EXPECT_FALSE(QFile::exists(url.toLocalFile())) << "opening wrote nothing";
}

TEST(ZipWrite, PatchesAnArchiveInPlaceWhenEntriesAreAppended)
{
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("grow.zip"));
    std::unique_ptr<ZZArchive> archive = createArchive(path);
    PlatformError error;
    ASSERT_TRUE(archive->updateEntries({dataEntry(QStringLiteral("one.txt"), sampleBytes(3000, 1), 6),
                                        dataEntry(QStringLiteral("two.txt"), sampleBytes(10, 2), 0),
                                        dataEntry(QStringLiteral("three.txt"), sampleBytes(7000, 3), 9)},
                                       &error));
    const QByteArray before = readFile(path);
    const qsizetype centralStart = get32(before, before.size() - 6);
    const ino_t inodeBefore = inodeOf(path);

    EntryList grown = archive->entries();
    grown.append(dataEntry(QStringLiteral("four.txt"), sampleBytes(500, 4), -1));
    ASSERT_TRUE(archive->updateEntries(grown, &error)) << error.description().toStdString();
    const QByteArray after = readFile(path);
    EXPECT_EQ(inodeOf(path), inodeBefore) << "the file was patched, not replaced";
    EXPECT_EQ(after.first(centralStart), before.first(centralStart)) << "the three local files stay";
    EXPECT_EQ(get16(after, centralStart), 0x4b50);
    EXPECT_EQ(get32(after, centralStart), 0x04034b50u) << "the new local file starts where the directory was";
    ASSERT_EQ(archive->entries().size(), 4);
    EXPECT_EQ(archive->entries()[3]->fileName(), QStringLiteral("four.txt"));
    EXPECT_EQ(*archive->entries()[3]->newDataWithError(&error), sampleBytes(500, 4));
    EXPECT_EQ(QDir(folder.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
              QStringList{QStringLiteral("grow.zip")});

    // Dropping the first entry changes the archive from its start: it is written anew and renamed over.
    ASSERT_TRUE(archive->updateEntries(archive->entries().mid(1), &error));
    EXPECT_NE(inodeOf(path), inodeBefore);
    ASSERT_EQ(archive->entries().size(), 3);
    EXPECT_EQ(*archive->entries()[0]->newDataWithError(&error), sampleBytes(10, 2));
    EXPECT_EQ(QDir(folder.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).size(), 1);
}

TEST(ZipWrite, KeepsNamesAsGivenAndWritesOnlyTheArchive)
{
    QTemporaryDir outer;
    const QString folder = outer.filePath(QStringLiteral("inner"));
    ASSERT_TRUE(QDir().mkpath(folder));
    const QString path = folder + QStringLiteral("/names.zip");
    std::unique_ptr<ZZArchive> archive = createArchive(path);
    const QStringList names{QStringLiteral("../escape.txt"), QStringLiteral("/absolute.txt"),
                            QStringLiteral("a/../../b.txt")};
    EntryList entries;
    for (const QString &name : names)
        entries.append(dataEntry(name, name.toUtf8(), 6));
    PlatformError error;
    ASSERT_TRUE(archive->updateEntries(entries, &error));
    QStringList stored;
    for (const std::shared_ptr<ZZArchiveEntry> &entry : archive->entries())
        stored.append(entry->fileName());
    EXPECT_EQ(stored, names);
    EXPECT_EQ(QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
              QStringList{QStringLiteral("names.zip")});
    EXPECT_EQ(QDir(outer.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
              QStringList{QStringLiteral("inner")});
}

TEST(ZipWrite, RefusesMoreEntriesThanTheEndRecordCanCount)
{
    EntryList entries;
    for (int index = 0; index < 65536; ++index) {
        entries.append(ZZArchiveEntry::archiveEntryWithFileName(QString::number(index, 36) + u'/', 040755,
                                                                fixedMoment(), 0, {}, {}, {}));
    }
    PlatformError error;
    std::unique_ptr<ZZArchive> archive = ZZArchive::initWithData({}, createOptions(), &error);
    // 65536 entries would be counted as none: the rewrite fails and the archive stays empty.
    EXPECT_FALSE(archive->updateEntries(entries, &error));
    EXPECT_EQ(zipErrorCode(error), 7);
    EXPECT_EQ(underlyingError(error).code(), EOVERFLOW);
    EXPECT_TRUE(archive->entries().isEmpty());

    entries.removeLast();
    ASSERT_TRUE(archive->updateEntries(entries, &error)) << error.description().toStdString();
    const QByteArray bytes = archive->contents();
    EXPECT_EQ(get16(bytes, bytes.size() - 14), 65535);
    EXPECT_EQ(archive->entries().size(), 65535);
    EXPECT_EQ(archive->entries().last()->fileName(), QString::number(65534, 36) + u'/');
}
