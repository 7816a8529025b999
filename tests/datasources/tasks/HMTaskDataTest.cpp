// The task data source's EventKit road over real reminder folders: listing with checksums and the
// new-record grace, applying with due dates (a time of day kept), completion and duplicates, and deletions.
#include "datasources/calendar/HMTaskEventKitHelper.h"
#include "datasources/tasks/HMTaskData.h"
#include "foundation/GlobalVariables.h"
#include "foundation/QtPrinters.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/eventkit/support/CalendarFolderFixture.h"
#include "sync/HMIdentifierGraph.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

using namespace platform;
using eventkittest::at;

class HMTaskDataTest : public eventkittest::CalendarFolderTest
{
protected:
    void SetUp() override
    {
        CalendarFolderTest::SetUp();
        makeCalendarFolder(QStringLiteral("errands"), QStringLiteral("Errands"));
        makeCalendarFolder(QStringLiteral("archive"), QStringLiteral("Archive"), true);
        GlobalVariables::setIsTaskSyncEnabled(true);
        HMTaskEventKitHelper::setTaskCalendarIdentifiersToSync({QStringLiteral("errands")});
        m_data.setIdentifierGraph(m_graph);
        m_data.setCategoryIdentifierToWriteTo(QStringLiteral("errands"));
    }
    void TearDown() override
    {
        HMTaskEventKitHelper::clearTasksArray();
        GlobalVariables::setIsTaskSyncEnabled(false);
        CalendarFolderTest::TearDown();
    }

    std::shared_ptr<EKReminder> saveReminder(const QString &title, const QDateTime &due)
    {
        auto store = eventStore();
        auto reminder = EKReminder::reminderWithEventStore(store);
        reminder->setCalendar(store->calendarWithIdentifier(QStringLiteral("errands")));
        reminder->setTitle(title);
        reminder->setNotes(QStringLiteral("buy & carry"));
        reminder->setDueDate(due);
        EXPECT_TRUE(store->saveReminder(reminder, true).ok());
        return reminder;
    }
    // The fetch the background sync manager starts before a sync, run to its end.
    void fetchReminders()
    {
        HMTaskEventKitHelper::clearTasksArray();
        HMTaskEventKitHelper::buildTasksArray();
        ASSERT_TRUE(DispatchQueue::runMainQueueUntil(
            [] { return HMTaskEventKitHelper::waitForTasksArray(std::chrono::milliseconds(0)); },
            std::chrono::seconds(10)))
            << "the reminders fetch did not complete";
    }
    QStringList list(const QSet<QString> &excluded = {})
    {
        QStringList lines;
        const QList<HMSyncRecord> records =
            m_data.syncEventKitRecordObjectsModifiedAfter(QDateTime(), true, excluded).value_or(QList<HMSyncRecord>());
        for (const HMSyncRecord &record : records) {
            lines.append(QStringLiteral("%1%2 %3").arg(record.isDelete() ? "delete" : "send",
                                                       record.isNew() ? " new" : "",
                                                       record.dictionary().value("SUBJECT").toString()));
            m_lastRecords.append(record);
        }
        return lines;
    }

    std::shared_ptr<HMIdentifierGraph> m_graph = std::make_shared<HMIdentifierGraph>();
    HMTaskData m_data;
    QList<HMSyncRecord> m_lastRecords;
};

TEST_F(HMTaskDataTest, ListingSendsNewAndChangedRemindersAndDeletionsByChecksum)
{
    auto milk = saveReminder(QStringLiteral("Buy milk"), at("2026-03-20 08:00"));
    fetchReminders();
    ASSERT_EQ(list(), QStringList{"send new Buy milk"});
    const QVariantMap fields = m_lastRecords.first().dictionary();
    EXPECT_EQ(fields.value("DUEDATE").toDateTime(), at("2026-03-20 08:00"));
    EXPECT_EQ(fields.value("DUETIME"), QVariant("00:00:00"));
    EXPECT_EQ(fields.value("HASDUEDATE"), QVariant(true));
    EXPECT_EQ(fields.value("COMPLETED"), QVariant(false));
    EXPECT_EQ(fields.value("NSARRAYCATEGORIES"), QVariant(QVariantList{"Errands"}));
    EXPECT_FALSE(fields.contains("PERCENTCOMPLETE"));
    const QString hmUid = m_lastRecords.first().hmxUid();

    fetchReminders();
    EXPECT_EQ(list(), QStringList{}) << "a nil date changes nothing: only the checksum decides";
    milk->setNotes(QStringLiteral("two bottles"));
    ASSERT_TRUE(eventStore()->saveReminder(milk, true).ok());
    fetchReminders();
    EXPECT_EQ(list({hmUid}), QStringList{}) << "the device changed it in this run";
    EXPECT_EQ(list(), QStringList{"send Buy milk"}) << "the stored checksum stayed old";
    milk->setCompleted(true);
    ASSERT_TRUE(eventStore()->saveReminder(milk, true).ok());
    fetchReminders();
    m_lastRecords.clear();
    ASSERT_EQ(list(), QStringList{"send Buy milk"});
    EXPECT_EQ(m_lastRecords.first().dictionary().value("PERCENTCOMPLETE"), QVariant("100"));

    ASSERT_TRUE(eventStore()->removeReminder(milk, true).ok());
    fetchReminders();
    EXPECT_EQ(list(), QStringList{"delete "});
    EXPECT_TRUE(m_graph->identifierDictionaries().isEmpty());
}

TEST_F(HMTaskDataTest, AnUnfinishedFetchListsNoDeletions)
{
    saveReminder(QStringLiteral("Call Ana"), QDateTime());
    fetchReminders();
    ASSERT_EQ(list(), QStringList{"send new Call Ana"});
    HMTaskEventKitHelper::clearTasksArray();
    HMTaskEventKitHelper::buildTasksArray(); // the main queue is not pumped: the fetch never ends
    m_data.setFetchPatience(std::chrono::milliseconds(50));
    EXPECT_EQ(list(), QStringList{});
    EXPECT_EQ(m_graph->identifierDictionaries().size(), 1);
    DispatchQueue::runMainQueueUntilEmpty();
}

TEST_F(HMTaskDataTest, ApplyingWritesRemindersTodomanReads)
{
    fetchReminders();
    const QVariantMap task{{"UID", "T1"},
                           {"SUBJECT", "File taxes"},
                           {"NOTE", "forms & receipts"},
                           {"DUEDATE", at("2026-04-30 17:45")},
                           {"COMPLETED", "0"},
                           {"PERCENTCOMPLETE", 0},
                           {"LASTMODIFIED", "2026-03-01 10:00:00"}};
    EXPECT_EQ(m_data.ekFrameworkCommandAction(1, 1, 0, task, 0), 3);
    const auto identifier = m_graph->dictionaryForHarrowmereUid("T1");
    ASSERT_TRUE(identifier);
    EXPECT_EQ(identifier->value("isNewRecord"), QVariant("1"));
    auto reminder = std::dynamic_pointer_cast<EKReminder>(
        eventStore()->calendarItemWithIdentifier(identifier->value("nativeId").toString()));
    ASSERT_TRUE(reminder);
    EXPECT_EQ(reminder->dueDate(), at("2026-04-30 17:45"));
    EXPECT_FALSE(reminder->isDueDateAllDay());

    // The fetch was made before the apply: the new reminder is missing from it, and survives once.
    EXPECT_EQ(list(), QStringList{});
    EXPECT_EQ(m_graph->dictionaryForHarrowmereUid("T1")->value("isNewRecord"), QVariant("0"));

    QVariantMap done = task;
    done.insert("PERCENTCOMPLETE", 100);
    done.insert("DUEDATE", at("1900-01-01 00:00"));
    EXPECT_EQ(m_data.ekFrameworkCommandAction(2, 1, 0, done, 0), 2);
    reminder = std::dynamic_pointer_cast<EKReminder>(
        eventStore()->calendarItemWithIdentifier(reminder->calendarItemIdentifier()));
    EXPECT_TRUE(reminder->isCompleted());
    EXPECT_FALSE(reminder->dueDate().isValid());

    const QJsonArray todos = QJsonDocument::fromJson(todomanList()).array();
    ASSERT_EQ(todos.size(), 1);
    EXPECT_EQ(todos.first().toObject().value("summary").toString(), QStringLiteral("File taxes"));
    EXPECT_TRUE(todos.first().toObject().value("completed").toBool());
}

// A run killed after it wrote a device task without a due date, before its identifier graph was saved:
// the device's record, sent again, is written to that reminder rather than to a second one; another
// record of the same title is never written over a reminder a dictionary names.
TEST_F(HMTaskDataTest, AReminderAKilledRunWroteIsTakenAgainAndANamedOneNever)
{
    const QString errands = root() + QStringLiteral("/errands");
    const QVariantMap record{{"UID", "T5"}, {"SUBJECT", "Call the plumber"}};
    fetchReminders();
    EXPECT_EQ(m_data.ekFrameworkCommandAction(1, 1, 0, record, 0), 3);
    const std::optional<QVariantMap> written = m_graph->dictionaryForHarrowmereUid("T5");
    ASSERT_TRUE(written);
    m_graph->removeDictionaryForHarrowmereUid("T5");

    fetchReminders();
    EXPECT_EQ(m_data.ekFrameworkCommandAction(1, 1, 0, record, 0), 2);
    EXPECT_EQ(itemFiles(errands).size(), 1);
    const std::optional<QVariantMap> again = m_graph->dictionaryForHarrowmereUid("T5");
    ASSERT_TRUE(again);
    EXPECT_EQ(again->value("nativeId"), written->value("nativeId"));

    fetchReminders();
    EXPECT_EQ(m_data.ekFrameworkCommandAction(1, 1, 0, {{"UID", "T6"}, {"SUBJECT", "Call the plumber"}}, 0), 3);
    EXPECT_EQ(itemFiles(errands).size(), 2);
    const std::optional<QVariantMap> other = m_graph->dictionaryForHarrowmereUid("T6");
    ASSERT_TRUE(other);
    EXPECT_NE(other->value("nativeId"), written->value("nativeId"));
}

// A device task the desktop deleted after a later listing had found it: the new-record grace (for a
// reminder the fetch before the run could not hold) no longer hides the deletion, the entry tells the
// reminder is gone, and a reminder made anew for the record is the one its entry names.
TEST_F(HMTaskDataTest, ADeviceTaskDeletedOnTheDesktopIsSentAsDeletedAndOneMadeAnewIsNamed)
{
    const auto removeNamed = [this](const QString &hmUid) {
        const QString nativeId =
            m_graph->dictionaryForHarrowmereUid(hmUid).value_or(QVariantMap()).value("nativeId").toString();
        auto reminder = std::dynamic_pointer_cast<EKReminder>(eventStore()->calendarItemWithIdentifier(nativeId));
        ASSERT_TRUE(reminder) << nativeId.toStdString();
        ASSERT_TRUE(eventStore()->removeReminder(reminder, true).ok());
    };
    const QVariantMap record{{"UID", "T7"}, {"SUBJECT", "Renew passport"}, {"LASTMODIFIED", "2026-03-01 10:00:00"}};
    fetchReminders();
    EXPECT_EQ(m_data.ekFrameworkCommandAction(1, 1, 0, record, 0), 3);
    const QString first = m_graph->dictionaryForHarrowmereUid("T7")->value("nativeId").toString();
    fetchReminders();
    EXPECT_EQ(list(), QStringList{}) << "found by the listing, the device's own task is not sent back";
    EXPECT_FALSE(m_data.isMappedItemGone("T7"));

    removeNamed("T7");
    EXPECT_TRUE(m_data.isMappedItemGone("T7"));
    EXPECT_FALSE(m_data.isMappedItemGone("unknown"));
    // Applied again (the device changed it since), the record gets a reminder of its own once more.
    EXPECT_EQ(m_data.ekFrameworkCommandAction(2, 1, 0, record, 0), 3);
    const QString again = m_graph->dictionaryForHarrowmereUid("T7")->value("nativeId").toString();
    EXPECT_NE(again, first);
    EXPECT_FALSE(m_data.isMappedItemGone("T7"));
    fetchReminders();
    EXPECT_EQ(list(), QStringList{}) << "the reminder made anew is the record's, not a new task";
    EXPECT_EQ(itemFiles(root() + QStringLiteral("/errands")).size(), 1);

    removeNamed("T7");
    fetchReminders();
    EXPECT_EQ(list(), QStringList{"delete "});
    EXPECT_FALSE(m_graph->dictionaryForHarrowmereUid("T7"));
}

TEST_F(HMTaskDataTest, DuplicatesAreUpdatedAndRefusedSavesLeaveNoDictionary)
{
    saveReminder(QStringLiteral("Water plants"), at("2026-05-02 08:00"));
    fetchReminders();
    const QVariantMap same{{"UID", "T2"},
                           {"SUBJECT", "Water plants"},
                           {"NOTE", "buy & carry"},
                           {"DUEDATE", at("2026-05-02 19:00")},
                           {"COMPLETED", "1"}};
    EXPECT_EQ(m_data.ekFrameworkCommandAction(1, 1, 0, same, 0), 2);
    EXPECT_EQ(itemFiles(root() + QStringLiteral("/errands")).size(), 1);

    m_data.setCategoryIdentifierToWriteTo(QStringLiteral("archive"));
    EXPECT_EQ(m_data.ekFrameworkCommandAction(1, 1, 0, {{"UID", "T3"}, {"SUBJECT", "Nowhere"}}, 0), 1);
    EXPECT_FALSE(m_graph->dictionaryForHarrowmereUid("T3"));
    EXPECT_EQ(m_data.ekFrameworkCommandAction(1, 1, 0, {{"SUBJECT", "No uid"}}, 0), 0);

    m_data.deleteEventKitUidRecords({"T2", "unknown"});
    EXPECT_TRUE(itemFiles(root() + QStringLiteral("/errands")).isEmpty());
    EXPECT_FALSE(m_graph->dictionaryForHarrowmereUid("T2"));
}
