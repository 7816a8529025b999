// The list of records an Outlook sync sent as new, on disk: its lines byte for byte, identities with
// any characters, the owner's only, no link followed, lines that are not whole skipped, a bound.
#include "sync/HMOutlookSentAdds.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <sys/stat.h>

namespace {

QByteArray contentsOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

TEST(HMOutlookSentAdds, KeepsItsEntriesInLinesOfTheOwnersOnlyAndGoesWhenEmpty)
{
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("contacts-outlook.plist.sent"));
    const HMOutlookSentAdds list(path);
    ASSERT_TRUE(list.read().has_value());
    EXPECT_TRUE(list.read()->isEmpty()) << "no file is no entry";

    const QString identity = QStringLiteral("Ann\x1fLee\tTab\nLine\x1f\u00e9t\u00e9");
    ASSERT_TRUE(list.write({{QStringLiteral("tmp-1"), QStringLiteral("101"), identity},
                            {QStringLiteral("tmp-2"), QStringLiteral("102"), QString()},
                            {QStringLiteral("tab\tid"), QStringLiteral("103"), QStringLiteral("x")}}));
    EXPECT_EQ(contentsOf(path), "tmp-1\t101\t" + identity.toUtf8().toBase64() + "\ntmp-2\t102\t\n");
    struct stat status {};
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);

    const std::optional<QList<HMOutlookSentAdds::Entry>> read = list.read();
    ASSERT_TRUE(read.has_value());
    ASSERT_EQ(read->size(), 2);
    EXPECT_EQ(read->at(0).temporaryId, QStringLiteral("tmp-1"));
    EXPECT_EQ(read->at(0).outlookId, QStringLiteral("101"));
    EXPECT_EQ(read->at(0).identity, identity);
    EXPECT_TRUE(read->at(1).identity.isEmpty());

    ASSERT_TRUE(list.write({}));
    EXPECT_FALSE(QFile::exists(path));
    EXPECT_TRUE(list.write({}));
}

TEST(HMOutlookSentAdds, ReadsOnlyWholeLinesOfARegularFileWithinItsBound)
{
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("calendar-outlook.plist.sent"));
    {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        // A torn last line, a line of two fields, one whose identity is no base64, an empty id.
        file.write("t1\t1\tQQ==\nt2\t2\nt3\t3\t!!\n\t4\tQQ==\nt5\t5");
    }
    const std::optional<QList<HMOutlookSentAdds::Entry>> read = HMOutlookSentAdds(path).read();
    ASSERT_TRUE(read.has_value());
    ASSERT_EQ(read->size(), 1);
    EXPECT_EQ(read->at(0).identity, QStringLiteral("A"));

    // A link at the name is neither read nor written through.
    const QString target = folder.filePath(QStringLiteral("elsewhere"));
    ASSERT_TRUE(QFile::rename(path, target));
    ASSERT_TRUE(QFile::link(target, path));
    EXPECT_FALSE(HMOutlookSentAdds(path).read().has_value());
    ASSERT_TRUE(HMOutlookSentAdds(path).write({{QStringLiteral("t9"), QStringLiteral("9"), QString()}}));
    EXPECT_FALSE(QFileInfo(path).isSymLink());
    EXPECT_EQ(contentsOf(target), QByteArray("t1\t1\tQQ==\nt2\t2\nt3\t3\t!!\n\t4\tQQ==\nt5\t5"));

    // A file beyond the bound is not read: the caller takes it as one that holds something.
    QFile big(path);
    ASSERT_TRUE(big.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_TRUE(big.resize(HMOutlookSentAdds::kMaxBytes + 1));
    big.close();
    EXPECT_FALSE(HMOutlookSentAdds(path).read().has_value());
}
