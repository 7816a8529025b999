// Listings, exception records and removals against the simulated Outlook as its own process.
#include "outlook/HMOutlookSQLiteHelper.h"

#include "OutlookPeerProcess.h"
#include "outlook/HMOutlookDatFileHelper.h"
#include "support/TestSupport.h"
#include "sync/HMProfile.h"

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonObject>

namespace {

using Kind = HMOutlookSQLiteHelper::Kind;

QJsonObject record(int id, int folder, const char *modified, QJsonObject more = {})
{
    more[QStringLiteral("id")] = id;
    more[QStringLiteral("folder")] = folder;
    more[QStringLiteral("modified")] = QLatin1String(modified);
    more[QStringLiteral("created")] = QStringLiteral("2026-01-01T00:00:00Z");
    return more;
}

QJsonObject folder(int id, const char *kind, const char *name)
{
    return {{QStringLiteral("id"), id}, {QStringLiteral("kind"), QLatin1String(kind)}, {QStringLiteral("name"), QLatin1String(name)}};
}

QJsonObject seedState()
{
    const QJsonObject start{{QStringLiteral("start"), QStringLiteral("2026-04-01T09:00:00Z")}};
    auto occurrence = [](const char *start) {
        return QJsonObject{{QStringLiteral("master"), 20}, {QStringLiteral("start"), QLatin1String(start)}};
    };
    return QJsonObject{
        {QStringLiteral("folders"), QJsonArray{folder(1, "address book", "Address Book"), folder(42, "address book", "Work"),
                                                folder(2, "calendar", "Calendar"), folder(3, "task folder", "Tasks"),
                                                folder(4, "note folder", "Notes")}},
        {QStringLiteral("contacts"), QJsonArray{record(10, 1, "2026-03-01T09:59:59Z"), record(11, 1, "2026-03-01T10:00:00Z"),
                                                 record(12, 1, "2026-03-01T10:00:01Z"), record(13, 42, "2026-03-01T10:00:05Z")}},
        {QStringLiteral("events"), QJsonArray{record(20, 2, "2026-02-01T10:00:00Z", start), record(22, 2, "2026-02-01T10:00:00Z", start),
                                               record(21, 2, "2026-02-02T10:00:00Z", occurrence("2026-04-08T09:00:00Z")),
                                               record(23, 2, "2026-02-02T10:00:00Z", occurrence("2026-04-15T09:00:00Z"))}},
        {QStringLiteral("tasks"), QJsonArray{record(30, 3, "2026-03-05T10:00:00Z", {{QStringLiteral("completed"), true}}),
                                              record(31, 3, "2026-03-06T10:00:00Z")}},
        {QStringLiteral("notes"), QJsonArray{record(40, 4, "2026-03-07T10:00:00Z")}},
    };
}

const QDateTime kDate = QDateTime::fromString(QStringLiteral("2026-03-01T10:00:00Z"), Qt::ISODate);

class SQLiteHelperTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_peer.isReady());
        testsupport::pointHomeAt(m_peer.home());
        m_peer.seed(seedState());
        m_profile = std::make_shared<HMProfile>();
        m_helper.setProfile(m_profile);
    }
    qint64 scriptCount() const
    {
        return m_peer.control({{QStringLiteral("op"), QStringLiteral("dump")}}).value(QStringLiteral("scripts")).toInteger(-1);
    }
    void refuse(const char *kind) const
    {
        m_peer.control({{QStringLiteral("op"), QStringLiteral("switches")}, {QStringLiteral("refuseKind"), QLatin1String(kind)}});
    }

    OutlookPeerProcess m_peer;
    std::shared_ptr<HMProfile> m_profile;
    HMOutlookSQLiteHelper m_helper;
};

TEST_F(SQLiteHelperTest, ContactsAfterADateAndInAFolder)
{
    EXPECT_EQ(m_helper.getListOfContactIdsModifiedAfter(kDate), (QStringList{"12", "13"}));
    EXPECT_EQ(m_helper.getListOfContactIdsModifiedAfter(QDateTime()), (QStringList{"10", "11", "12", "13"}));
    m_profile->setOutlookContactFolderSelection(QStringLiteral("42"));
    EXPECT_EQ(m_helper.getListOfContactIdsModifiedAfter(kDate), QStringList{QStringLiteral("13")});
    EXPECT_EQ(m_helper.getListOfAllOutlookContactIds(), QStringList{QStringLiteral("13")});
    m_profile->setOutlookContactFolderSelection(QStringLiteral("allFolders"));
    EXPECT_EQ(m_helper.getListOfAllOutlookContactIds()->size(), 4);
    // A selection that is not a number never reaches a script.
    m_profile->setOutlookContactFolderSelection(QStringLiteral("1\nreturn 5"));
    const qint64 before = scriptCount();
    EXPECT_FALSE(m_helper.getListOfContactIdsModifiedAfter(kDate));
    EXPECT_FALSE(m_helper.getListOfAllOutlookContactIds());
    EXPECT_EQ(scriptCount(), before);
}

TEST_F(SQLiteHelperTest, RefusedScriptIsNotAnEmptyList)
{
    m_peer.seed(QJsonObject{{QStringLiteral("contacts"), QJsonArray()}});
    EXPECT_EQ(m_helper.getListOfAllOutlookContactIds(), QStringList());
    refuse("ids");
    EXPECT_EQ(m_helper.getListOfAllOutlookContactIds(), std::nullopt);
    EXPECT_EQ(m_helper.getListOfContactIdsModifiedAfter(kDate), std::nullopt);
    refuse("modification dates");
    EXPECT_EQ(m_helper.getListOfTaskIdsModifiedAfter(kDate), std::nullopt);
}

TEST_F(SQLiteHelperTest, EventsUnmappedAreListedAndExceptionsBuiltAfresh)
{
    HMOutlookDatFileHelper maps;
    ASSERT_TRUE(maps.writeOutlookEventIdForDeviceEventId(QStringLiteral("20"), QStringLiteral("phone-20")));
    ASSERT_TRUE(maps.writeOutlookEventIdForDeviceEventId(QStringLiteral("21"), QStringLiteral("phone-21")));
    ASSERT_TRUE(maps.writeOutlookEventIdForDeviceEventId(QStringLiteral("23"), QStringLiteral("phone-23")));
    const QDateTime late = QDateTime::fromString(QStringLiteral("2026-03-01T00:00:00Z"), Qt::ISODate);
    EXPECT_EQ(m_helper.getListOfEventIdsModifiedAfter(late), QStringList{QStringLiteral("22")});
    EXPECT_TRUE(m_helper.buildDictionaryOfExceptionRecords());
    const QList<QDateTime> dates = m_helper.dictionaryOfExceptionRecords().value(QStringLiteral("20"));
    ASSERT_EQ(dates.size(), 2);
    EXPECT_EQ(dates[0], QDateTime::fromString(QStringLiteral("2026-04-08T09:00:00Z"), Qt::ISODate));
    EXPECT_EQ(dates[1], QDateTime::fromString(QStringLiteral("2026-04-15T09:00:00Z"), Qt::ISODate));
    refuse("exceptions");
    EXPECT_FALSE(m_helper.buildDictionaryOfExceptionRecords());
    EXPECT_TRUE(m_helper.dictionaryOfExceptionRecords().isEmpty());
}

TEST_F(SQLiteHelperTest, CompletedTaskFilter)
{
    EXPECT_EQ(m_helper.getListOfTaskIdsModifiedAfter(QDateTime()), (QStringList{"30", "31"}));
    m_profile->setShouldSyncCompletedTasks(QStringLiteral("no"));
    EXPECT_EQ(m_helper.getListOfTaskIdsModifiedAfter(QDateTime()), QStringList{QStringLiteral("31")});
    m_profile->setOutlookTaskFolderSelection(QStringLiteral("3"));
    EXPECT_EQ(m_helper.getListOfTaskIdsModifiedAfter(QDateTime()), (QStringList{"30", "31"}));
    EXPECT_EQ(m_helper.getListOfMemoIdsModifiedAfter(kDate), QStringList{QStringLiteral("40")});
}

TEST_F(SQLiteHelperTest, Removals)
{
    EXPECT_TRUE(m_helper.removeRecordFromConduit(QStringLiteral("Contacts"), QString()));
    EXPECT_FALSE(m_helper.removeRecordFromConduit(QStringLiteral("Notes"), QStringLiteral("40")));
    EXPECT_TRUE(m_helper.removeRecordFromConduit(QStringLiteral("Memos"), QStringLiteral("40")));
    EXPECT_TRUE(m_helper.removeRecordFromConduit(QStringLiteral("Calendar"), QStringLiteral("22")));
    EXPECT_FALSE(m_helper.removeRecordFromConduit(QStringLiteral("Contacts"), QStringLiteral("999")));
    EXPECT_FALSE(m_helper.removeRecordFromConduit(QStringLiteral("Contacts"), QStringLiteral("10\" or \"11")));
    const QJsonObject state = m_peer.dump();
    EXPECT_TRUE(state.value(QStringLiteral("notes")).toArray().isEmpty());
    EXPECT_EQ(state.value(QStringLiteral("events")).toArray().size(), 3);
    EXPECT_EQ(state.value(QStringLiteral("contacts")).toArray().size(), 4);
    refuse("delete");
    EXPECT_FALSE(m_helper.removeRecordFromConduit(QStringLiteral("Tasks"), QStringLiteral("30")));
}

} // namespace

TEST(OutlookScriptTexts, PropertiesListingAndMakeNewByKindAndFolder)
{
    using Kind = HMOutlookSQLiteHelper::Kind;
    const QString app = HMOutlookSQLiteHelper::outlookApplicationReference();
    const auto expected = [&app](const char *text) { return QString::fromLatin1(text).arg(app); };
    EXPECT_EQ(
        HMOutlookSQLiteHelper::propertiesListingScript(Kind::Events, QString()),
        expected("tell application \"%1\"\nset theEvents to the properties of every calendar event of application "
                 "\"%1\"\nreturn theEvents\nend tell"));
    EXPECT_EQ(
        HMOutlookSQLiteHelper::propertiesListingScript(Kind::Events, QStringLiteral("12")),
        expected("tell application \"%1\"\nset theEvents to the properties of every calendar event in calendar id 12\n"
                 "return theEvents\nend tell"));
    EXPECT_EQ(HMOutlookSQLiteHelper::propertiesListingScript(Kind::Contacts, QStringLiteral("4")),
              expected("tell application \"%1\"\nset theContacts to the properties of every contact in folder id 4\n"
                       "return theContacts\nend tell"));
    EXPECT_EQ(HMOutlookSQLiteHelper::propertiesListingScript(Kind::Memos, QStringLiteral("9")),
              expected("tell application \"%1\"\nset theMemos to the properties of every note in note folder id 9\n"
                       "return theMemos\nend tell"));
    EXPECT_EQ(
        HMOutlookSQLiteHelper::propertiesOfRecordScript(Kind::Events, QStringLiteral("31")),
        expected("tell application \"%1\"\nset theEvents to the properties of calendar event id \"31\" of application "
                 "\"%1\"\nreturn theEvents\nend tell"));
    EXPECT_EQ(
        HMOutlookSQLiteHelper::propertiesOfRecordScript(Kind::Tasks, QStringLiteral("8")),
        expected("tell application \"%1\"\nset theTasks to the properties of task id \"8\" of application \"%1\"\n"
                 "return theTasks\nend tell"));
    EXPECT_EQ(
        HMOutlookSQLiteHelper::makeNewScript(Kind::Tasks, QStringLiteral("newTask"), QString(),
                                             QStringLiteral("{name:\"%2\"}")),
        expected("tell application \"%1\"\nset newTask to make new task with properties {name:\"%2\"}\nend tell"));
    EXPECT_EQ(
        HMOutlookSQLiteHelper::makeNewScript(Kind::Memos, QStringLiteral("newMemo"), QStringLiteral("7"),
                                             QStringLiteral("{}")),
        expected(
            "tell application \"%1\"\nset newMemo to make new note in note folder id 7 with properties {}\nend tell"));
}
