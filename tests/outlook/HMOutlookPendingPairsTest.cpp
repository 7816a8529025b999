// The pairs waiting beside an Outlook id map, folded into it at a commit on real files: a file of any
// size folded whole and as a direct write of the same pairs would store the map; one that cannot be
// read failing the commit with both files left as they were; a fold killed (SIGKILL) at any moment
// losing and doubling nothing once the next commit runs.
#include "outlook/HMOutlookDatFileHelper.h"
#include "outlook/HMOutlookIdBookkeeping.h"

#include "OutlookMapFixture.h"

#include <QFile>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Conduit = HMOutlookDatFileHelper::Conduit;

class PendingPairsTest : public OutlookMapFixture
{
protected:
    static QByteArray contents(const QString &path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(unreadable)");
    }
    static void write(const QString &path, const QByteArray &bytes)
    {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        ASSERT_EQ(file.write(bytes), bytes.size());
    }
    // Folds the waiting pairs as a sync's commit does: the map, then the pairs file removed.
    static bool fold(const std::shared_ptr<HMOutlookDatFileHelper> &map)
    {
        return HMOutlookIdBookkeeping(Conduit::Contacts, map, nullptr).commit({}, {}, {}, {});
    }
    // n pairs "dev<i>" -> "<100000 + i>", one a line.
    static QByteArray pairLines(int n, QVariantMap *pairs)
    {
        QByteArray lines;
        for (int i = 0; i < n; ++i) {
            const QString device = QStringLiteral("dev%1").arg(i, 6, 10, QLatin1Char('0'));
            pairs->insert(device, QString::number(100000 + i));
            lines += device.toUtf8() + '\t' + QByteArray::number(100000 + i) + '\n';
        }
        return lines;
    }
    // The map file a direct commit of the pairs writes, in a map of its own.
    static QByteArray directlyWritten(const QVariantMap &pairs)
    {
        HMOutlookDatFileHelper helper;
        HMOutlookDatFileHelper::Commit commit;
        commit.pairs = pairs;
        EXPECT_TRUE(helper.clearDatFile(QStringLiteral("Memos")));
        EXPECT_TRUE(helper.commitChanges(Conduit::Memos, commit));
        return contents(helper.memoFilePath());
    }
};

} // namespace

// A file of many read pieces, with a line too long to hold a pair across them and a cut last line:
// every whole pair lands in the map, whose bytes are those of a direct commit of the same pairs.
TEST_F(PendingPairsTest, AFileOfAnySizeIsFoldedWholeAsADirectWriteStoresIt)
{
    QVariantMap pairs;
    QByteArray lines = pairLines(30000, &pairs);
    lines.insert(lines.size() / 2, QByteArray(100000, 'x') + "\tlong\n");
    lines += "dev-cut\t12";
    const auto map = std::make_shared<HMOutlookDatFileHelper>();
    write(map->pendingPairsPath(Conduit::Contacts), lines);
    ASSERT_GT(lines.size(), 8 * 64 * 1024);

    EXPECT_EQ(map->getOutlookIdForDeviceId(Conduit::Contacts, QStringLiteral("dev029999")), QStringLiteral("129999"));
    ASSERT_TRUE(fold(map));
    EXPECT_FALSE(QFile::exists(map->pendingPairsPath(Conduit::Contacts)));
    EXPECT_EQ(contents(map->contactFilePath()), directlyWritten(pairs));
}

// Over the cap, a link at the name, a folder there: the commit fails and leaves the map and the pairs
// file byte for byte; the pairs stay readable once the cause is gone, and the next commit folds them.
TEST_F(PendingPairsTest, AFileThatCannotBeReadFailsTheCommitAndKeepsBothFiles)
{
    QVariantMap pairs;
    const QByteArray lines = pairLines(20, &pairs);
    const auto capped = std::make_shared<HMOutlookDatFileHelper>(qint64(lines.size() - 1));
    HMOutlookDatFileHelper::Commit start;
    start.pairs.insert(QStringLiteral("dev000000"), QStringLiteral("1"));
    ASSERT_TRUE(capped->commitChanges(Conduit::Contacts, start));
    const QString pending = capped->pendingPairsPath(Conduit::Contacts);
    const QByteArray mapBefore = contents(capped->contactFilePath());
    write(pending, lines);

    EXPECT_FALSE(fold(capped));
    EXPECT_EQ(contents(capped->contactFilePath()), mapBefore);
    EXPECT_EQ(contents(pending), lines);
    capped->keepForRun(Conduit::Contacts);
    EXPECT_FALSE(fold(capped));
    EXPECT_EQ(contents(capped->contactFilePath()), mapBefore);
    EXPECT_EQ(contents(pending), lines);

    const QString elsewhere = m_home.path() + QStringLiteral("/elsewhere");
    ASSERT_TRUE(QFile::rename(pending, elsewhere));
    ASSERT_TRUE(QFile::link(elsewhere, pending));
    EXPECT_FALSE(fold(std::make_shared<HMOutlookDatFileHelper>()));
    EXPECT_EQ(contents(capped->contactFilePath()), mapBefore);
    EXPECT_EQ(contents(elsewhere), lines);

    ASSERT_TRUE(QFile::remove(pending));
    ASSERT_TRUE(QFile::rename(elsewhere, pending));
    ASSERT_TRUE(fold(std::make_shared<HMOutlookDatFileHelper>()));
    EXPECT_FALSE(QFile::exists(pending));
    EXPECT_EQ(contents(capped->contactFilePath()), directlyWritten(pairs));
}

// A fold killed at moments spread over its run, and one killed between the map's write and the pairs
// file's removal: the next commit leaves every pair once in the map and no pairs file.
TEST_F(PendingPairsTest, AKilledFoldLosesAndDoublesNothing)
{
    QVariantMap pairs;
    const QByteArray lines = pairLines(60000, &pairs);
    const QByteArray expected = directlyWritten(pairs);
    const QString mapPath = HMOutlookDatFileHelper().contactFilePath();
    const QString pending = HMOutlookDatFileHelper().pendingPairsPath(Conduit::Contacts);
    for (const int delayMs : {1, 20, 80, 200, -1}) {
        SCOPED_TRACE(delayMs);
        QFile::remove(mapPath);
        write(pending, lines);
        if (delayMs < 0) { // killed once the map is written: the file is still there
            ASSERT_TRUE(fold(std::make_shared<HMOutlookDatFileHelper>()));
            write(pending, lines);
        } else {
            const pid_t child = ::fork();
            ASSERT_GE(child, 0);
            if (child == 0)
                ::_exit(fold(std::make_shared<HMOutlookDatFileHelper>()) ? 0 : 1);
            ::usleep(useconds_t(delayMs * 1000));
            ::kill(child, SIGKILL);
            int status = 0;
            ::waitpid(child, &status, 0);
        }
        const auto map = std::make_shared<HMOutlookDatFileHelper>();
        EXPECT_EQ(map->dictionaryForDatFile(Conduit::Contacts).value_or(QVariantMap()), pairs);
        ASSERT_TRUE(fold(map));
        EXPECT_FALSE(QFile::exists(pending));
        EXPECT_EQ(contents(mapPath), expected);
    }
}
