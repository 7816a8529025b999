// The task data source's CalendarStore road over real task folders: listing by change date with the
// priority map, applying with due dates, completion and categories, refused saves and deletions.
#include "datasources/calendar/HMCalendarData.h"
#include "datasources/tasks/HMTaskData.h"
#include "foundation/QtPrinters.h"
#include "platform/eventkit/CalCalendarStore.h"
#include "platform/eventkit/support/CalendarFolderFixture.h"
#include "support/TestSupport.h"
#include "sync/HMIdentifierGraph.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimeZone>

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace platform;
using eventkittest::at;
using eventkittest::ScopedEnvironment;

class CalendarStoreTaskTest : public eventkittest::CalendarFolderTest
{
protected:
    void SetUp() override
    {
        CalendarFolderTest::SetUp();
        m_folder = makeCalendarFolder(QStringLiteral("errands"), QStringLiteral("Errands"));
        makeCalendarFolder(QStringLiteral("archive"), QStringLiteral("Archive"), true);
    }

    HMTaskData &newRun(const QString &writeTo = QStringLiteral("errands"))
    {
        m_data = std::make_unique<HMTaskData>();
        m_data->setIdentifierGraph(m_graph);
        m_data->setCategoryIdentifiersToSync({QStringLiteral("errands")});
        m_data->setCategoryIdentifierToWriteTo(writeTo);
        return *m_data;
    }
    QStringList list(const QDateTime &date, const QSet<QString> &excluded = {})
    {
        m_records =
            newRun().syncCalendarStoreRecordObjectsModifiedAfter(date, true, excluded).value_or(QList<HMSyncRecord>());
        QStringList lines;
        for (const HMSyncRecord &record : std::as_const(m_records)) {
            lines.append(QStringLiteral("%1%2 %3").arg(record.isDelete() ? "delete" : "send",
                                                       record.isNew() ? " new" : "",
                                                       record.dictionary().value("SUBJECT").toString()));
        }
        return lines;
    }
    std::shared_ptr<CalTask> saveTask(const QString &title, int priority, const QDateTime &due = QDateTime())
    {
        auto task = CalTask::task();
        task->setCalendar(m_store.calendarWithUID(QStringLiteral("errands")));
        task->setTitle(title);
        task->setNotes(QStringLiteral("buy & carry"));
        task->setPriority(priority);
        task->setDueDate(due);
        EXPECT_TRUE(m_store.saveTask(task).ok());
        return task;
    }
    QJsonObject todoNamed(const QString &summary) const
    {
        for (const QJsonValue &todo : QJsonDocument::fromJson(todomanList()).array()) {
            if (todo.toObject().value("summary").toString() == summary)
                return todo.toObject();
        }
        ADD_FAILURE() << "todoman does not list " << summary.toStdString();
        return {};
    }

    CalCalendarStore m_store;
    QString m_folder;
    std::shared_ptr<HMIdentifierGraph> m_graph = std::make_shared<HMIdentifierGraph>();
    std::unique_ptr<HMTaskData> m_data;
    QList<HMSyncRecord> m_records;
};

TEST_F(CalendarStoreTaskTest, ListingSendsTasksByTheirChangeDateWithTheDevicePriorities)
{
    struct Row
    {
        const char *title;
        int storePriority;
        qint64 devicePriority;
    };
    const Row rows[] = {{"none", 0, 2}, {"high", 1, 1}, {"medium", 5, 2}, {"low", 9, 3}, {"odd", 3, 2}};
    for (const Row &row : rows)
        saveTask(QString::fromLatin1(row.title), row.storePriority, at("2027-01-20 08:00"));
    EXPECT_EQ(list(QDateTime()).size(), 5);
    for (const Row &row : rows) {
        SCOPED_TRACE(row.title);
        const auto sent = std::find_if(m_records.cbegin(), m_records.cend(), [&](const HMSyncRecord &record) {
            return record.dictionary().value("SUBJECT") == QVariant(QString::fromLatin1(row.title));
        });
        ASSERT_NE(sent, m_records.cend());
        const QVariantMap fields = sent->dictionary();
        EXPECT_EQ(fields.value("PRIORITY"), QVariant(row.devicePriority));
        EXPECT_EQ(fields.value("MAXPRIORITY"), QVariant(3));
        EXPECT_EQ(fields.value("DUEDATE").toDateTime(), at("2027-01-20 08:00"));
        EXPECT_EQ(fields.value("COMPLETED"), QVariant(false));
        EXPECT_EQ(fields.value("NOTE"), QVariant("buy & carry"));
        EXPECT_EQ(fields.value("NSARRAYCATEGORIES"), QVariant(QVariantList{"Errands"}));
        EXPECT_TRUE(sent->isNew());
    }
    EXPECT_EQ(m_data->recordsAddedToDevice().size(), 5);

    const QDateTime lastSync = QDateTime::currentDateTimeUtc().addSecs(60);
    EXPECT_EQ(list(lastSync), QStringList{});
    EXPECT_EQ(list(QDateTime()).size(), 5) << "a nil date sends every known task as changed";
    const QString highUid = m_graph->harrowmereUidForNativeId(
        m_store.tasksWithPredicate(CalCalendarStore::taskPredicateWithCalendars({}))[0]->uid());
    EXPECT_EQ(list(QDateTime(), {highUid}).size(), 4) << "the device changed one in this run";

    for (const auto &task : m_store.tasksWithPredicate(CalCalendarStore::taskPredicateWithCalendars({}))) {
        if (task->title() != QLatin1String("odd")) {
            ASSERT_TRUE(m_store.removeTask(task).ok());
        }
    }
    EXPECT_EQ(list(lastSync), (QStringList{"delete ", "delete ", "delete ", "delete "}));
    EXPECT_EQ(m_graph->identifierDictionaries().size(), 1);
}

TEST_F(CalendarStoreTaskTest, ApplyingWritesTasksTodomanReads)
{
    const ScopedEnvironment zone("TZ", "Europe/Berlin");
    struct Row
    {
        const char *uid;
        const char *title;
        qint64 devicePriority;
        int storePriority;
        const char *completed;
        int todomanPriority;
    };
    const Row rows[] = {{"T0", "no priority", 0, 0, "0", 0},
                        {"T1", "high", 1, 1, "0", 1},
                        {"T2", "medium", 2, 5, "1", 5},
                        {"T3", "low", 3, 9, "0", 9},
                        {"T4", "below zero", -1, 9, "0", 9}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.title);
        const QVariantMap record{{"UID", row.uid},
                                 {"SUBJECT", row.title},
                                 {"NOTE", "forms & receipts\nsecond line"},
                                 {"DUEDATE", at("2027-04-30 17:45", "Europe/Berlin")},
                                 {"PRIORITY", row.devicePriority},
                                 {"COMPLETED", row.completed},
                                 {"PERCENTCOMPLETE", 0},
                                 {"LASTMODIFIED", "2026-03-01 10:00:00"}};
        EXPECT_EQ(newRun().calendarStoreCommandAction(1, 1, 0, record, 0), 3);
        const auto task = m_store.taskWithUID(m_graph->nativeIdForHarrowmereUid(row.uid));
        ASSERT_TRUE(task);
        EXPECT_EQ(task->priority(), row.storePriority);
        EXPECT_EQ(task->dueDate(), at("2027-04-30 17:45", "Europe/Berlin"));
        const QJsonObject todo = todoNamed(QString::fromLatin1(row.title));
        EXPECT_EQ(todo.value("priority").toInt(), row.todomanPriority);
        EXPECT_EQ(todo.value("completed").toBool(), QByteArray(row.completed) == "1");
        EXPECT_EQ(todo.value("description").toString(), QStringLiteral("forms & receipts\nsecond line"));
        EXPECT_EQ(todo.value("due").toInteger(), at("2027-04-30 17:45", "Europe/Berlin").toSecsSinceEpoch());
    }
    EXPECT_EQ(itemFiles(m_folder).size(), 5);

    // The device's 1900 mark clears the due date; a new category gets a calendar of its own.
    const QVariantMap cleared{{"UID", "T1"},
                              {"SUBJECT", "high"},
                              {"DUEDATE", at("1900-01-01 00:00")},
                              {"PRIORITY", 1},
                              {"COMPLETED", "1"},
                              {"NSARRAYCATEGORIES", QVariantList{"Garden"}},
                              {"LASTMODIFIED", "2026-03-01 10:00:00"}};
    EXPECT_EQ(newRun().calendarStoreCommandAction(2, 1, 0, cleared, 0), 2);
    const auto task = m_store.taskWithUID(m_graph->nativeIdForHarrowmereUid("T1"));
    EXPECT_FALSE(task->dueDate().isValid());
    EXPECT_TRUE(task->isCompleted());
    EXPECT_EQ(task->calendar()->title(), QStringLiteral("Garden"));
    EXPECT_TRUE(todoNamed(QStringLiteral("high")).value("due").isNull());
}

TEST_F(CalendarStoreTaskTest, ConflictsRefusedSavesAndDeletions)
{
    const QVariantMap record{{"UID", "C1"}, {"SUBJECT", "Call Ana"}, {"LASTMODIFIED", "2020-01-01 10:00:00"}};
    ASSERT_EQ(newRun().calendarStoreCommandAction(1, 1, 0, record, 0), 3);
    const QString nativeId = m_graph->nativeIdForHarrowmereUid("C1");
    m_graph->setLastSyncDate(m_store.taskWithUID(nativeId)->dateStamp().addSecs(-5));
    EXPECT_EQ(newRun().calendarStoreCommandAction(2, 1, 0, record, 0), 1) << "the Mac's change is newer";
    EXPECT_EQ(newRun().calendarStoreCommandAction(2, 1, 1, record, 0), 1) << "Apple always wins";
    EXPECT_EQ(newRun().calendarStoreCommandAction(2, 1, 3, record, 0), 3) << "duplicate";
    EXPECT_EQ(itemFiles(m_folder).size(), 2);
    EXPECT_EQ(m_graph->nativeIdForHarrowmereUid("C1"), nativeId);
    EXPECT_EQ(newRun().calendarStoreCommandAction(2, 1, 2, record, 0), 2) << "the device wins";

    EXPECT_EQ(
        newRun(QStringLiteral("archive")).calendarStoreCommandAction(1, 1, 0, {{"UID", "C2"}, {"SUBJECT", "x"}}, 0), 1)
        << "a read-only list refuses the new task";
    EXPECT_FALSE(m_graph->dictionaryForHarrowmereUid("C2"));
    EXPECT_EQ(newRun().calendarStoreCommandAction(1, 1, 0, {{"SUBJECT", "No uid"}}, 0), 0);

    newRun().deleteCalendarStoreUidRecords({"C1", "unknown"});
    EXPECT_EQ(itemFiles(m_folder).size(), 1);
    EXPECT_FALSE(m_graph->dictionaryForHarrowmereUid("C1"));
}

// A sync killed while it applies device records leaves whole files: every event and task it saved is
// there exactly once, and none is half written.
TEST_F(CalendarStoreTaskTest, AnApplyKilledMidwayLeavesEveryRecordOnce)
{
    const QString work = makeCalendarFolder(QStringLiteral("work"), QStringLiteral("Work"));
    const QDateTime start = QDateTime::currentDateTimeUtc().addDays(2);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        HMCalendarData events;
        events.setIdentifierGraph(std::make_shared<HMIdentifierGraph>());
        events.setCategoryIdentifiersToSync({QStringLiteral("work")});
        events.setCategoryIdentifierToWriteTo(QStringLiteral("work"));
        HMTaskData &tasks = newRun();
        for (int index = 0; index < 100000; ++index) {
            const QString title = QStringLiteral("Item %1").arg(index);
            const QVariantMap event{{"UID", QStringLiteral("E%1").arg(index)},
                                    {"SUBJECT", title},
                                    {"NSDATESTARTDATE", start.addSecs(index * 3600)},
                                    {"NSDATEENDDATE", start.addSecs(index * 3600 + 1800)}};
            const QVariantMap task{{"UID", QStringLiteral("T%1").arg(index)}, {"SUBJECT", title}};
            if (events.calendarStoreCommandAction(1, 1, 0, event, 0) != 3 ||
                tasks.calendarStoreCommandAction(1, 1, 0, task, 0) != 3)
                ::_exit(1);
        }
        ::_exit(0);
    }
    const bool wroteEnough = testsupport::waitUntil([&] { return itemFiles(m_folder).size() >= 30; });
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(wroteEnough);

    const auto count = [](const QStringList &titles) {
        const QSet<QString> unique(titles.cbegin(), titles.cend());
        EXPECT_EQ(unique.size(), titles.size()) << "a record was written twice";
        for (int index = 0; index < titles.size(); ++index)
            EXPECT_TRUE(unique.contains(QStringLiteral("Item %1").arg(index))) << index;
        return titles.size();
    };
    QStringList taskTitles;
    for (const auto &task : m_store.tasksWithPredicate(CalCalendarStore::taskPredicateWithCalendars({})))
        taskTitles.append(task->title());
    QStringList eventTitles;
    for (const auto &event : m_store.eventsWithPredicate(
             CalCalendarStore::eventPredicateWithStartDate(start.addDays(-1), start.addYears(20), {})))
        eventTitles.append(event->title());
    EXPECT_EQ(count(taskTitles), itemFiles(m_folder).size());
    EXPECT_EQ(count(eventTitles), itemFiles(work).size());
    EXPECT_LE(taskTitles.size(), eventTitles.size()) << "each task is saved after its event";
}

// Files keep change dates in whole seconds, sync dates have milliseconds: a change in the second a
// sync started may have come after it and is sent.
TEST_F(CalendarStoreTaskTest, AChangeInTheSecondASyncStartedIsSent)
{
    const std::shared_ptr<CalTask> task = saveTask(QStringLiteral("Edge"), 0);
    ASSERT_EQ(list(QDateTime()).size(), 1);
    const QList<QVariantMap> sent = m_graph->identifierDictionaries();
    task->setTitle(QStringLiteral("Edge, changed"));
    ASSERT_TRUE(m_store.saveTask(task).ok());
    const QDateTime changed = m_store.taskWithUID(task->uid())->dateStamp();
    ASSERT_EQ(changed.time().msec(), 0);
    struct Row
    {
        const char *name;
        qint64 syncAfterChangeMs;
        int sent;
    };
    const Row rows[] = {{"sync started in that second", 500, 1},
                        {"sync started on that very second", 0, 0},
                        {"sync started a second later", 1000, 0},
                        {"sync started before", -1, 1}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        // Each row starts from the graph as it was before the change was sent.
        m_graph->setIdentifierDictionaries(sent);
        EXPECT_EQ(list(changed.addMSecs(row.syncAfterChangeMs)).size(), row.sent);
    }
}

// The save of a task applied from the device falls after the start of the sync that applied it; the
// next listing still does not send it back, while a later change by another program goes out.
TEST_F(CalendarStoreTaskTest, ATaskFromTheDeviceIsNotSentBackUntilItChanges)
{
    const QVariantMap record{{"UID", "T1"},           {"SUBJECT", "Pay rent"},
                             {"NOTE", "by transfer"}, {"DUEDATE", QDateTime(QDate(2027, 1, 6), QTime(0, 0))},
                             {"PRIORITY", 1},         {"COMPLETED", "0"},
                             {"PERCENTCOMPLETE", 0},  {"LASTMODIFIED", "2026-01-01 10:00:00"}};
    const QDateTime syncStart = QDateTime::currentDateTimeUtc().addSecs(-5);
    ASSERT_EQ(newRun().calendarStoreCommandAction(1, 1, 0, record, 0), 3);
    EXPECT_EQ(list(syncStart), QStringList());
    EXPECT_EQ(list(syncStart), QStringList()) << "a second quiet listing";
    // The device sends the same record again (its answer was lost): still nothing to send back.
    ASSERT_EQ(newRun().calendarStoreCommandAction(2, 1, 0, record, 0), 2);
    EXPECT_EQ(list(syncStart), QStringList());

    const auto task = m_store.taskWithUID(m_graph->nativeIdForHarrowmereUid("T1"));
    ASSERT_TRUE(task);
    task->setIsCompleted(true);
    ASSERT_TRUE(m_store.saveTask(task).ok());
    EXPECT_EQ(list(syncStart), QStringList{QStringLiteral("send Pay rent")});
    EXPECT_EQ(list(syncStart), QStringList()) << "what was sent is not sent twice";
    EXPECT_EQ(list(QDateTime()), QStringList{QStringLiteral("send Pay rent")}) << "a full reread sends it all";
}

// A graph holding a task's dictionary twice (a copy left by an earlier fault) still finds the task:
// only the dictionary whose task is gone becomes a deletion for the device.
TEST_F(CalendarStoreTaskTest, OnlyDictionariesWhoseTasksAreGoneBecomeDeletions)
{
    for (const char *uid : {"T1", "T2"})
        ASSERT_EQ(newRun().calendarStoreCommandAction(1, 1, 0, {{"UID", uid}, {"SUBJECT", uid}}, 0), 3);
    const std::optional<QVariantMap> kept = m_graph->dictionaryForHarrowmereUid(QStringLiteral("T1"));
    ASSERT_TRUE(kept);
    m_graph->appendDictionary(*kept);
    newRun().deleteCalendarStoreUidRecords({QStringLiteral("T2")});
    m_graph->appendDictionary({{"hmUid", "T2"}, {"nativeId", "no-such-task"}});

    EXPECT_EQ(list(QDateTime::currentDateTimeUtc().addSecs(60)), QStringList{"delete "});
    ASSERT_EQ(m_records.size(), 1);
    EXPECT_EQ(m_records.first().hmxUid(), QStringLiteral("T2"));
    EXPECT_TRUE(m_graph->dictionaryForHarrowmereUid(QStringLiteral("T1")));
}
