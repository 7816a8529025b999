// Lines appended to a file kept open between appends, on real files: nothing appended after the file
// was removed or replaced is lost in the old one, no link is followed, and the confirmed pairs of an
// Outlook conduit written before and after a commit all reach the map.
#include "outlook/HMAppendedLinesFile.h"
#include "outlook/HMOutlookDatFileHelper.h"
#include "outlook/HMOutlookIdBookkeeping.h"

#include "foundation/GlobalVariables.h"
#include "platform/foundation/UserDefaults.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QSaveFile>
#include <QTemporaryDir>

#include <sys/stat.h>

namespace {

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<none>");
}

TEST(AppendedLinesFile, LinesAfterARemovalOrARewriteLandInTheFileThePathNames)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("lines"));
    HMAppendedLinesFile lines(path);
    EXPECT_TRUE(lines.append("a\n"));
    EXPECT_TRUE(lines.append("b\n"));
    EXPECT_EQ(contents(path), QByteArray("a\nb\n"));
    struct stat info {};
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    ASSERT_TRUE(QFile::remove(path));
    EXPECT_TRUE(lines.append("c\n"));
    EXPECT_EQ(contents(path), QByteArray("c\n"));

    QSaveFile rewrite(path);
    ASSERT_TRUE(rewrite.open(QIODevice::WriteOnly));
    rewrite.write("x\n");
    ASSERT_TRUE(rewrite.commit());
    EXPECT_TRUE(lines.append("d\n"));
    EXPECT_EQ(contents(path), QByteArray("x\nd\n"));

    HMAppendedLinesFile copy(lines);
    EXPECT_TRUE(copy.append("e\n"));
    EXPECT_TRUE(lines.append("f\n"));
    EXPECT_EQ(contents(path), QByteArray("x\nd\ne\nf\n"));
}

TEST(AppendedLinesFile, ALinkAtThePathIsNeitherFollowedNorWritten)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString target = dir.filePath(QStringLiteral("target"));
    const QString path = dir.filePath(QStringLiteral("lines"));
    QFile file(target);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("mine\n");
    file.close();
    ASSERT_TRUE(QFile::link(target, path));
    HMAppendedLinesFile lines(path);
    EXPECT_FALSE(lines.append("a\n"));
    EXPECT_EQ(contents(target), QByteArray("mine\n"));
    EXPECT_TRUE(lines.append(QByteArray()));
}

// A full disk refuses a line: the file keeps no part of it, and once there is room the next line
// follows the earlier ones whole.
TEST(AppendedLinesFile, ALineAFullDiskRefusesLeavesNoPartOfItBehind)
{
    const QTemporaryDir dir;
    HMAppendedLinesFile lines(dir.filePath(QStringLiteral("lines")));
    ASSERT_TRUE(dir.isValid() && lines.append("dev-1\t101\n"));
    testsupport::runWithFileSizeLimit(14, [&lines] { EXPECT_FALSE(lines.append("dev-2\t102\n")); });
    EXPECT_EQ(contents(lines.path()), QByteArray("dev-1\t101\n"));
    EXPECT_TRUE(lines.append("dev-3\t103\n"));
    EXPECT_EQ(contents(lines.path()), QByteArray("dev-1\t101\ndev-3\t103\n"));
}

// A run confirms pairs, commits them into the map (the side file goes), confirms more, and something
// else removes the side file meanwhile: every pair confirmed after the file went is in the new file,
// and the next commit brings it into the map.
TEST(AppendedLinesFile, ConfirmedPairsAfterACommitReachTheMap)
{
    QTemporaryDir home;
    ASSERT_TRUE(home.isValid());
    testsupport::pointHomeAt(home.path());
    platform::UserDefaults::standardUserDefaults().setObject(QVariant(), QStringLiteral("SyncMethodSetting"));
    GlobalVariables::setOutlookVersionNumberInConfiguration(QString());
    using Conduit = HMOutlookDatFileHelper::Conduit;
    auto map = std::make_shared<HMOutlookDatFileHelper>();
    ASSERT_TRUE(map->clearDatFile(QStringLiteral("Contacts")));
    HMOutlookIdBookkeeping ids(Conduit::Contacts, map, nullptr);
    ASSERT_TRUE(ids.appendConfirmedPair(QStringLiteral("dev-1"), QStringLiteral("101")));
    ASSERT_TRUE(ids.commit({}, {}, {}, {}));
    EXPECT_FALSE(QFile::exists(ids.confirmedPairsPath()));

    ASSERT_TRUE(ids.appendConfirmedPair(QStringLiteral("dev-2"), QStringLiteral("102")));
    EXPECT_EQ(contents(ids.confirmedPairsPath()), QByteArray("dev-2\t102\n"));
    ASSERT_TRUE(QFile::remove(ids.confirmedPairsPath()));
    ASSERT_TRUE(ids.appendConfirmedPair(QStringLiteral("dev-3"), QStringLiteral("103")));
    EXPECT_EQ(contents(ids.confirmedPairsPath()), QByteArray("dev-3\t103\n"));
    ASSERT_TRUE(ids.commit({}, {}, {}, {}));
    const QHash<QString, QString> pairs = ids.deviceIdsByOutlookId();
    EXPECT_EQ(pairs.value(QStringLiteral("101")), QStringLiteral("dev-1"));
    EXPECT_EQ(pairs.value(QStringLiteral("103")), QStringLiteral("dev-3"));
    EXPECT_FALSE(pairs.contains(QStringLiteral("102")));
}

} // namespace
