// Failing rewrites: each error code of writing, with the archive, its entries and its bytes left as
// they were and no temporary file left behind.
#include "ZipTestSupport.h"

#include "app/zip/ZZArchive.h"
#include "app/zip/ZZError.h"
#include "app/zip/ZZOutputStream.h"

#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using platform::PlatformError;
using namespace ziptest;

namespace {

using EntryList = QList<std::shared_ptr<ZZArchiveEntry>>;

EntryList threeEntries()
{
    return {dataEntry(QStringLiteral("one.txt"), sampleBytes(2000, 1), 6),
            dataEntry(QStringLiteral("two.txt"), sampleBytes(20, 2), 0),
            dataEntry(QStringLiteral("three.txt"), sampleBytes(3000, 3), -1)};
}

std::shared_ptr<ZZArchiveEntry> failingEntry(const PlatformError &callbackError)
{
    return ZZArchiveEntry::archiveEntryWithFileName(QStringLiteral("bad.txt"), true,
                                                    [callbackError](PlatformError *error) -> std::optional<QByteArray> {
                                                        if (error && !callbackError.isNull())
                                                            *error = callbackError;
                                                        return std::nullopt;
                                                    });
}

QStringList folderEntries(const QString &path)
{
    return QDir(path).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
}

} // namespace

TEST(ZipWriteErrors, FailedCallbackLeavesTheArchiveAsItWas)
{
    struct Row
    {
        const char *name;
        PlatformError callbackError;
        qint64 underlyingDomainCode;
        bool isZipDomain;
    };
    const Row rows[] = {
        {"callback names its error", PlatformError::fromErrno(EACCES), EACCES, false},
        {"callback gives no error", PlatformError(), 13, true},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        QTemporaryDir folder;
        const QString path = folder.filePath(QStringLiteral("keep.zip"));
        PlatformError error;
        std::unique_ptr<ZZArchive> archive = ZZArchive::initWithURL(QUrl::fromLocalFile(path), createOptions(), &error);
        ASSERT_TRUE(archive->updateEntries(threeEntries(), &error));
        const QByteArray before = readFile(path);
        const EntryList entriesBefore = archive->entries();

        // Both an append (patched in place) and a change at the front (new file) fail the same way.
        const std::shared_ptr<ZZArchiveEntry> failing = failingEntry(row.callbackError);
        const std::pair<EntryList, qint64> updates[] = {{entriesBefore + EntryList{failing}, 3},
                                                        {EntryList{failing} + entriesBefore, 0}};
        for (const auto &[update, failingIndex] : updates) {
            EXPECT_FALSE(archive->updateEntries(update, &error));
            EXPECT_EQ(zipErrorCode(error), 5);
            EXPECT_EQ(error.userInfo().value(QString::fromLatin1(ZZEntryIndexKey)).toLongLong(), failingIndex);
            EXPECT_EQ(underlyingError(error).code(), row.underlyingDomainCode);
            EXPECT_EQ(zipErrorCode(underlyingError(error)) >= 0, row.isZipDomain);
            EXPECT_EQ(hex(readFile(path)), hex(before));
            EXPECT_EQ(archive->entries(), entriesBefore);
            EXPECT_EQ(archive->contents(), before);
            EXPECT_EQ(folderEntries(folder.path()), QStringList{QStringLiteral("keep.zip")});
        }
    }
}

TEST(ZipWriteErrors, AWriteFailingAtAnyStepLeavesTheArchiveAsItWas)
{
    PlatformError error;
    std::unique_ptr<ZZArchive> seed = ZZArchive::initWithData({}, createOptions(), &error);
    ASSERT_TRUE(seed->updateEntries(threeEntries(), &error));
    const QByteArray original = seed->contents();

    struct Row
    {
        const char *name;
        bool isAppend;
        QList<qint64> codes; // Of the failures, in the order of the writes.
    };
    // Replacing a data channel copies its bytes without a write, so only patching can fail in step 8.
    const Row rows[] = {{"append, patched in place", true, {5, 5, 5, 6, 6, 6, 6, 7, 8}},
                        {"new first entry, replaced", false, {5, 5, 5, 5, 5, 5, 6, 6, 6, 6, 7}}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        bool hasSucceeded = false;
        QList<qint64> codes;
        // Every write of the rewrite fails once in turn; the step after the last write succeeds.
        for (int failingWrite = 1; failingWrite < 100 && !hasSucceeded; ++failingWrite) {
            SCOPED_TRACE(failingWrite);
            auto writesLeft = std::make_shared<int>(0);
            auto channel = std::make_unique<FailingChannel>(original, writesLeft);
            FailingChannel &channelView = *channel;
            std::unique_ptr<ZZArchive> archive = ZZArchive::initWithChannel(std::move(channel), {}, &error);
            ASSERT_TRUE(archive);
            const EntryList entries = archive->entries();
            const std::shared_ptr<ZZArchiveEntry> added = dataEntry(QStringLiteral("new.txt"), "new content", 9);
            *writesLeft = failingWrite;
            hasSucceeded =
                archive->updateEntries(row.isAppend ? entries + EntryList{added} : EntryList{added} + entries, &error);
            if (hasSucceeded) {
                EXPECT_EQ(archive->entries().size(), 4);
                break;
            }
            codes.append(zipErrorCode(error));
            EXPECT_EQ(underlyingError(error).code(), EIO);
            EXPECT_EQ(channelView.allData(), original);
            EXPECT_EQ(archive->entries(), entries);
        }
        EXPECT_TRUE(hasSucceeded);
        EXPECT_EQ(codes, row.codes);
    }
}

TEST(ZipWriteErrors, ReportsTheTemporaryFileAndTheReplacementFailing)
{
    QTemporaryDir folder;
    PlatformError error;
    // No folder to hold the temporary file: code 4.
    std::unique_ptr<ZZArchive> homeless = ZZArchive::initWithURL(
        QUrl::fromLocalFile(folder.filePath(QStringLiteral("gone/a.zip"))), createOptions(), &error);
    ASSERT_TRUE(homeless);
    EXPECT_FALSE(homeless->updateEntries(threeEntries(), &error));
    EXPECT_EQ(zipErrorCode(error), 4);
    EXPECT_EQ(underlyingError(error).code(), ENOENT);

    // A folder took the archive's name after it was opened: the rename fails, code 8, nothing lost.
    const QString path = folder.filePath(QStringLiteral("taken.zip"));
    std::unique_ptr<ZZArchive> archive = ZZArchive::initWithURL(QUrl::fromLocalFile(path), createOptions(), &error);
    ASSERT_TRUE(QDir().mkpath(path + QStringLiteral("/inside")));
    EXPECT_FALSE(archive->updateEntries(threeEntries(), &error));
    EXPECT_EQ(zipErrorCode(error), 8);
    EXPECT_TRUE(QFileInfo(path + QStringLiteral("/inside")).isDir());
    EXPECT_EQ(folderEntries(folder.path()), QStringList{QStringLiteral("taken.zip")});
}

TEST(ZipWriteErrors, AStreamCallbackWhoseWritesFailFailsTheEntry)
{
    auto writesLeft = std::make_shared<int>(0);
    PlatformError error;
    std::unique_ptr<ZZArchive> archive =
        ZZArchive::initWithChannel(std::make_unique<FailingChannel>(QByteArray(), writesLeft), createOptions(), &error);
    ASSERT_TRUE(archive);
    for (const int level : {0, 6}) {
        SCOPED_TRACE(level);
        // The callback ignores the failed write and claims success: the entry fails all the same.
        const auto entry = ZZArchiveEntry::archiveEntryWithFileName(
            QStringLiteral("s.txt"), ZZArchiveEntry::kDefaultFileMode, fixedMoment(), level, {},
            [](ZZOutputStream &stream, PlatformError *) {
                const QByteArray bytes = sampleBytes(100'000, 5);
                stream.write(reinterpret_cast<const uchar *>(bytes.constData()), bytes.size());
                return true;
            },
            {});
        *writesLeft = 2;
        EXPECT_FALSE(archive->updateEntries({entry}, &error));
        EXPECT_EQ(zipErrorCode(error), 5);
        EXPECT_EQ(underlyingError(error).code(), EIO);
    }
}
