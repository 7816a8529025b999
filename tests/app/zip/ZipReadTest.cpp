// Reading archives that zip, Python's zipfile and 7z wrote (stored, deflated, traditional password,
// WinZip AES of each strength), as data, as a stream and through a provider, and the entry properties
// and refusals of hand-made archives.
#include "ZipTestSupport.h"

#include "app/zip/ZZArchive.h"
#include "app/zip/ZZDataProvider.h"
#include "app/zip/ZZError.h"
#include "app/zip/ZZInputStream.h"
#include "app/zip/ZZOldArchiveEntry.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

using platform::PlatformError;
using namespace ziptest;

namespace {

QString samplePath(const QString &name)
{
    return testsupport::sourceDir() + QStringLiteral("/tests/app/zip/samples/") + name;
}

QByteArray sampleContent(const QString &entryName)
{
    return readFile(samplePath(QStringLiteral("content/") + entryName));
}

QByteArray readStream(ZZInputStream &stream)
{
    QByteArray bytes;
    uchar buffer[1000];
    stream.open();
    qint64 count = 0;
    while ((count = stream.read(buffer, sizeof buffer)) > 0)
        bytes.append(reinterpret_cast<const char *>(buffer), count);
    stream.close();
    return count < 0 ? QByteArray("(read failed)") : bytes;
}

// Reads through a provider in uneven pieces, with a skip and a rewind on the way.
QByteArray readProvider(ZZDataProvider &provider)
{
    char scratch[700];
    provider.getBytes(scratch, 10);
    provider.skipForward(5000);
    provider.rewind();
    QByteArray bytes;
    std::size_t count = 0;
    while ((count = provider.getBytes(scratch, sizeof scratch)) > 0)
        bytes.append(scratch, qsizetype(count));
    return bytes;
}

struct Sample
{
    const char *file;
    const char *password;
    quint16 method;
    ZZOldArchiveEntry::EncryptionMode encryption;
    int fileCount;
};

const Sample kSamples[] = {
    {"zip-stored.zip", nullptr, 0, ZZOldArchiveEntry::None, 3},
    {"zip-deflated.zip", nullptr, 8, ZZOldArchiveEntry::None, 3},
    {"zip-streamed.zip", nullptr, 8, ZZOldArchiveEntry::None, 1},
    {"zip-traditional.zip", "secret", 8, ZZOldArchiveEntry::Standard, 3},
    {"zip-traditional-streamed.zip", "secret", 8, ZZOldArchiveEntry::Standard, 1},
    {"python-stored.zip", nullptr, 0, ZZOldArchiveEntry::None, 3},
    {"python-deflated.zip", nullptr, 8, ZZOldArchiveEntry::None, 3},
    {"7z-stored.zip", nullptr, 0, ZZOldArchiveEntry::None, 3},
    {"7z-deflated.zip", nullptr, 8, ZZOldArchiveEntry::None, 3},
    {"7z-traditional.zip", "secret", 8, ZZOldArchiveEntry::Standard, 3},
    {"7z-aes128.zip", "secret", 8, ZZOldArchiveEntry::WinZipAES, 3},
    {"7z-aes192.zip", "secret", 8, ZZOldArchiveEntry::WinZipAES, 3},
    {"7z-aes256.zip", "secret", 8, ZZOldArchiveEntry::WinZipAES, 3},
    {"7z-aes256-stored.zip", "secret", 0, ZZOldArchiveEntry::WinZipAES, 3},
};

} // namespace

namespace {

// The entry's content as data, as a stream and through a provider, against the file it was made from.
void expectContentReadsBack(const ZZOldArchiveEntry &entry, const Sample &sample)
{
    PlatformError error;
    const QString password = QString::fromLatin1(sample.password);
    const QByteArray expected = sampleContent(entry.fileName());
    ASSERT_FALSE(expected.isEmpty());
    EXPECT_EQ(entry.encrypted(), sample.password != nullptr);
    EXPECT_EQ(entry.encryptionMode(), sample.encryption);
    // Tools store what does not shrink; the text always does.
    if (sample.method == 0 || entry.fileName() == QLatin1String("data.txt")) {
        EXPECT_EQ(entry.compressionMethod(), sample.method);
    }
    EXPECT_EQ(entry.uncompressedSize(), quint32(expected.size()));
    EXPECT_TRUE(entry.lastModified().isValid());
    const std::optional<QByteArray> data = entry.newDataWithPassword(password, &error);
    ASSERT_TRUE(data) << error.description().toStdString();
    EXPECT_EQ(*data, expected);
    std::unique_ptr<ZZInputStream> stream = entry.newStreamWithPassword(password, &error);
    ASSERT_TRUE(stream);
    EXPECT_EQ(readStream(*stream), expected);
    std::unique_ptr<ZZDataProvider> provider = entry.newDataProviderWithPassword(password, &error);
    ASSERT_TRUE(provider);
    EXPECT_EQ(readProvider(*provider), expected);
}

} // namespace

TEST(ZipRead, ReadsWhatOtherProgramsWroteByteForByte)
{
    for (const Sample &sample : kSamples) {
        SCOPED_TRACE(sample.file);
        PlatformError error;
        std::unique_ptr<ZZArchive> archive =
            ZZArchive::archiveWithURL(QUrl::fromLocalFile(samplePath(QString::fromLatin1(sample.file))), &error);
        ASSERT_TRUE(archive) << error.description().toStdString();
        int fileCount = 0;
        for (const std::shared_ptr<ZZArchiveEntry> &entry : archive->entries()) {
            SCOPED_TRACE(entry->fileName().toStdString());
            const auto *old = dynamic_cast<ZZOldArchiveEntry *>(entry.get());
            ASSERT_NE(old, nullptr);
            EXPECT_TRUE(entry->check(&error)) << error.description().toStdString();
            if (entry->fileName().endsWith(u'/')) {
                EXPECT_EQ(entry->fileMode() & 0170000, 040000);
                continue;
            }
            ++fileCount;
            expectContentReadsBack(*old, sample);
        }
        EXPECT_EQ(fileCount, sample.fileCount);
    }
}

TEST(ZipRead, RefusesAWrongPasswordWithCode12)
{
    for (const Sample &sample : kSamples) {
        if (!sample.password)
            continue;
        SCOPED_TRACE(sample.file);
        PlatformError error;
        std::unique_ptr<ZZArchive> archive =
            ZZArchive::archiveWithURL(QUrl::fromLocalFile(samplePath(QString::fromLatin1(sample.file))), &error);
        ASSERT_TRUE(archive);
        for (const std::shared_ptr<ZZArchiveEntry> &entry : archive->entries()) {
            if (entry->fileName().endsWith(u'/'))
                continue;
            SCOPED_TRACE(entry->fileName().toStdString());
            for (const QString &wrong : {QStringLiteral("Secret"), QString()}) {
                error = {};
                EXPECT_FALSE(entry->newDataWithPassword(wrong, &error));
                EXPECT_EQ(zipErrorCode(error), 12);
                EXPECT_FALSE(entry->newStreamWithPassword(wrong, &error));
                EXPECT_EQ(zipErrorCode(error), 12);
            }
        }
    }
}
