// The shared Outlook deletion loop against the simulated Outlook: each record deleted leaves Outlook,
// the id map (one write), the apply's own lookups and the duplicate index, also a pair applied earlier
// in the same run that still waits in the confirmed-pairs file. A pair without an Outlook id has nothing
// to delete in Outlook and only leaves the map.
#include "AppleScripterFixture.h"

#include "outlook/HMOutlookConduit.h"
#include "outlook/HMOutlookDatFileHelper.h"

#include <algorithm>

namespace {

using Conduit = HMOutlookDatFileHelper::Conduit;

QJsonObject task(int id, const char *name)
{
    return {{QStringLiteral("id"), id}, {QStringLiteral("folder"), 3}, {QStringLiteral("name"), QLatin1String(name)}};
}

QList<qint64> taskIdsInOutlook(const OutlookPeerProcess &peer)
{
    QList<qint64> ids;
    for (const QJsonValue &value : peer.dump().value(QStringLiteral("tasks")).toArray())
        ids.append(value.toObject().value(QStringLiteral("id")).toInteger());
    std::sort(ids.begin(), ids.end());
    return ids;
}

class OutlookConduitDeleteTest : public AppleScripterTest
{
protected:
    void SetUp() override
    {
        AppleScripterTest::SetUp();
        GlobalVariables::setIsOutlookSync(true);
        GlobalVariables::setIsGoogleDirect(false);
    }
    void TearDown() override
    {
        GlobalVariables::setIsOutlookSync(false);
        AppleScripterTest::TearDown();
    }
};

TEST_F(OutlookConduitDeleteTest, DeletedRecordsLeaveOutlookTheMapAndTheApplyLookups)
{
    seed({{QStringLiteral("folders"), standardFolders()},
          {QStringLiteral("tasks"), QJsonArray{task(55, "Gone"), task(56, "Kept"), task(77, "Applied")}}});
    HMOutlookDatFileHelper::Commit before;
    before.pairs = {{QStringLiteral("gone"), QStringLiteral("55")},
                    {QStringLiteral("kept"), QStringLiteral("56")},
                    {QStringLiteral("unpaired"), QString()}};
    ASSERT_TRUE(HMOutlookDatFileHelper().commitChanges(Conduit::Tasks, before));

    HMOutlookConduit tasks(Conduit::Tasks, QStringLiteral("task"), QStringLiteral("task"), {});
    // Written to Outlook earlier in this run: its pair is only in the confirmed-pairs file yet.
    tasks.keepAppliedPair(QStringLiteral("77"), QStringLiteral("applied"));
    ASSERT_EQ(tasks.outlookIdForDeviceId(QStringLiteral("applied")), QStringLiteral("77"));
    QVariantMap duplicates{{QStringLiteral("55"), QStringLiteral("gone")},
                           {QStringLiteral("56"), QStringLiteral("kept")},
                           {QStringLiteral("77"), QStringLiteral("applied")}};
    QStringList handed;
    tasks.deleteOutlookRecords({QStringLiteral("gone"), QStringLiteral("applied"), QStringLiteral("unpaired")},
                               &duplicates, QStringLiteral("Deleting task %1"),
                               [&handed](const QString &outlookId) { handed.append(outlookId); });

    EXPECT_EQ(handed, (QStringList{QStringLiteral("55"), QStringLiteral("77"), QString()}));
    EXPECT_EQ(taskIdsInOutlook(m_peer), QList<qint64>{56});
    EXPECT_EQ(duplicates.keys(), QStringList{QStringLiteral("56")});
    // A later record of this run with a deleted record's id finds no Outlook record to update.
    EXPECT_EQ(tasks.outlookIdForDeviceId(QStringLiteral("gone")), QString());
    EXPECT_EQ(tasks.outlookIdForDeviceId(QStringLiteral("applied")), QString());
    EXPECT_EQ(tasks.outlookIdForDeviceId(QStringLiteral("kept")), QStringLiteral("56"));
    EXPECT_EQ(HMOutlookDatFileHelper().getAllDeviceIds(Conduit::Tasks), QStringList{QStringLiteral("kept")});
    EXPECT_FALSE(QFile::exists(HMOutlookDatFileHelper().filePath(Conduit::Tasks) + QStringLiteral(".confirmed")));

    // The page's commit and a later run bring none of them back.
    EXPECT_TRUE(tasks.commitAppliedPairs().ok());
    EXPECT_EQ(HMOutlookDatFileHelper().getAllDeviceIds(Conduit::Tasks), QStringList{QStringLiteral("kept")});
    HMOutlookConduit later(Conduit::Tasks, QStringLiteral("task"), QStringLiteral("task"), {});
    EXPECT_EQ(later.pairs(), (QHash<QString, QString>{{QStringLiteral("56"), QStringLiteral("kept")}}));
}

// A record Outlook answers an error for (here one it does not hold) stays in the map and in the apply's
// lookups; the others are deleted.
TEST_F(OutlookConduitDeleteTest, ARecordOutlookDoesNotDeleteStaysInTheMap)
{
    seed({{QStringLiteral("folders"), standardFolders()},
          {QStringLiteral("tasks"), QJsonArray{task(55, "Gone"), task(56, "Kept")}}});
    HMOutlookDatFileHelper::Commit before;
    before.pairs = {{QStringLiteral("gone"), QStringLiteral("55")},
                    {QStringLiteral("kept"), QStringLiteral("56")},
                    {QStringLiteral("unknown"), QStringLiteral("99")}};
    ASSERT_TRUE(HMOutlookDatFileHelper().commitChanges(Conduit::Tasks, before));

    HMOutlookConduit tasks(Conduit::Tasks, QStringLiteral("task"), QStringLiteral("task"), {});
    QStringList handed;
    tasks.deleteOutlookRecords({QStringLiteral("unknown"), QStringLiteral("gone")}, nullptr,
                               QStringLiteral("Deleting task %1"),
                               [&handed](const QString &outlookId) { handed.append(outlookId); });

    EXPECT_EQ(handed, QStringList{QStringLiteral("55")});
    EXPECT_EQ(taskIdsInOutlook(m_peer), QList<qint64>{56});
    EXPECT_EQ(tasks.outlookIdForDeviceId(QStringLiteral("unknown")), QStringLiteral("99"));
    EXPECT_EQ(tasks.outlookIdForDeviceId(QStringLiteral("gone")), QString());
    QStringList mapped = HMOutlookDatFileHelper().getAllDeviceIds(Conduit::Tasks);
    mapped.sort();
    EXPECT_EQ(mapped, (QStringList{QStringLiteral("kept"), QStringLiteral("unknown")}));
}

} // namespace
