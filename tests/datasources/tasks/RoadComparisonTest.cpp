// Both roads of the calendar and task data sources on one data set: what each lists for the device
// from the same folders, and what each writes into empty folders from the same device records. The
// differences between the roads are listed in full; every one is by design.
#include "datasources/calendar/CalendarRecordTestSupport.h"
#include "datasources/calendar/HMCalendarData.h"
#include "datasources/calendar/HMTaskEventKitHelper.h"
#include "datasources/tasks/HMTaskData.h"
#include "foundation/GlobalVariables.h"
#include "foundation/QtPrinters.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/eventkit/support/CalendarFolderFixture.h"
#include "platform/foundation/UserDefaults.h"
#include "sync/HMIdentifierGraph.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTimeZone>

#include <gtest/gtest.h>

using namespace platform;
using calendartest::lineDifferences;
using calendartest::localAt;
using calendartest::nextFirstOfMarch;
using calendartest::storedItems;
using eventkittest::ScopedEnvironment;

namespace {

QString text(const QVariant &value)
{
    if (value.typeId() == QMetaType::QDateTime)
        return value.toDateTime().toUTC().toString(Qt::ISODate);
    if (value.typeId() == QMetaType::QVariantList) {
        QStringList parts;
        for (const QVariant &entry : value.toList())
            parts.append(text(entry));
        return QStringLiteral("[%1]").arg(parts.join(QLatin1Char(',')));
    }
    if (!value.isValid())
        return QStringLiteral("(none)");
    return value.toString();
}

// "SUBJECT KEY: eventkit | calendarstore" for every key whose values differ between the roads.
QStringList differences(const QList<HMSyncRecord> &eventKit, const QList<HMSyncRecord> &calendarStore)
{
    QStringList lines;
    QMap<QString, QVariantMap> byTitle;
    for (const HMSyncRecord &record : calendarStore)
        byTitle.insert(record.dictionary().value("SUBJECT").toString(), record.dictionary());
    for (const HMSyncRecord &record : eventKit) {
        const QString title = record.dictionary().value("SUBJECT").toString();
        if (!byTitle.contains(title)) {
            lines.append(title + QStringLiteral(": only on EventKit"));
            continue;
        }
        const QVariantMap mine = record.dictionary();
        const QVariantMap theirs = byTitle.take(title);
        QStringList keys = mine.keys() + theirs.keys();
        keys.removeDuplicates();
        keys.sort();
        for (const QString &key : keys) {
            if (text(mine.value(key)) != text(theirs.value(key)))
                lines.append(
                    QStringLiteral("%1 %2: %3 | %4").arg(title, key, text(mine.value(key)), text(theirs.value(key))));
        }
    }
    for (const QString &title : byTitle.keys())
        lines.append(title + QStringLiteral(": only on CalendarStore"));
    return lines;
}

} // namespace

class RoadComparisonTest : public eventkittest::CalendarFolderTest
{
protected:
    void SetUp() override
    {
        CalendarFolderTest::SetUp();
        GlobalVariables::setIsTaskSyncEnabled(true);
        HMTaskEventKitHelper::setEventCalendarIdentifiersToSync({QStringLiteral("work")});
        HMTaskEventKitHelper::setTaskCalendarIdentifiersToSync({QStringLiteral("errands")});
    }
    void TearDown() override
    {
        HMTaskEventKitHelper::clearTasksArray();
        GlobalVariables::setIsTaskSyncEnabled(false);
        CalendarFolderTest::TearDown();
    }

    // Points the stores at a root holding empty "work" and "errands" folders.
    void useRoot(const QString &root) const
    {
        for (const auto &[name, title] : {std::pair{"work", "Work"}, std::pair{"errands", "Errands"}}) {
            const QString path = root + QLatin1Char('/') + QLatin1String(name);
            ASSERT_TRUE(QDir().mkpath(path));
            QFile displayName(path + QStringLiteral("/displayname"));
            ASSERT_TRUE(displayName.open(QIODevice::WriteOnly));
            displayName.write(title);
        }
        UserDefaults::standardUserDefaults().setObject(root, EKEventStore::kCalendarsFolderKey);
    }
    void fetchReminders() const
    {
        HMTaskEventKitHelper::clearTasksArray();
        HMTaskEventKitHelper::buildTasksArray();
        ASSERT_TRUE(DispatchQueue::runMainQueueUntil(
            [] { return HMTaskEventKitHelper::waitForTasksArray(std::chrono::milliseconds(0)); },
            std::chrono::seconds(10)));
    }
    template <class Data>
    std::unique_ptr<Data> dataSource(const std::shared_ptr<HMIdentifierGraph> &graph, const QString &writeTo) const
    {
        auto data = std::make_unique<Data>();
        data->setIdentifierGraph(graph);
        data->setCategoryIdentifiersToSync({writeTo});
        data->setCategoryIdentifierToWriteTo(writeTo);
        return data;
    }
    // What one road sends of the folders under the current root, events then tasks.
    QList<HMSyncRecord> listOnRoad(bool eventKit)
    {
        auto events = dataSource<HMCalendarData>(std::make_shared<HMIdentifierGraph>(), QStringLiteral("work"));
        auto tasks = dataSource<HMTaskData>(std::make_shared<HMIdentifierGraph>(), QStringLiteral("errands"));
        if (eventKit)
            fetchReminders();
        const auto eventRecords = eventKit ? events->syncEventKitRecordObjectsModifiedAfter(QDateTime(), true, {})
                                           : events->syncCalendarStoreRecordObjectsModifiedAfter(QDateTime(), true, {});
        const auto taskRecords = eventKit ? tasks->syncEventKitRecordObjectsModifiedAfter(QDateTime(), true, {})
                                          : tasks->syncCalendarStoreRecordObjectsModifiedAfter(QDateTime(), true, {});
        return eventRecords.value_or(QList<HMSyncRecord>()) + taskRecords.value_or(QList<HMSyncRecord>());
    }
    // Applies the device's records on one road into the folders under the current root; each is new.
    void applyOnRoad(bool eventKit, const QList<QVariantMap> &eventRecords, const QList<QVariantMap> &taskRecords)
    {
        const auto graph = std::make_shared<HMIdentifierGraph>();
        auto events = dataSource<HMCalendarData>(graph, QStringLiteral("work"));
        expectAllNew(eventRecords, [&](const QVariantMap &record) {
            return eventKit ? events->EKCommandAction(1, 1, 0, record, 0)
                            : events->calendarStoreCommandAction(1, 1, 0, record, 0);
        });
        if (eventKit)
            fetchReminders();
        auto tasks = dataSource<HMTaskData>(graph, QStringLiteral("errands"));
        expectAllNew(taskRecords, [&](const QVariantMap &record) {
            return eventKit ? tasks->ekFrameworkCommandAction(1, 1, 0, record, 0)
                            : tasks->calendarStoreCommandAction(1, 1, 0, record, 0);
        });
    }
    static void expectAllNew(const QList<QVariantMap> &records, const std::function<qint64(const QVariantMap &)> &apply)
    {
        for (const QVariantMap &record : records)
            EXPECT_EQ(apply(record), 3) << record.value("SUBJECT").toString().toStdString();
    }
};

TEST_F(RoadComparisonTest, BothRoadsSendTheSameRecordsOfOneDataSet)
{
    const ScopedEnvironment zone("TZ", "Europe/Berlin");
    const QDate march = nextFirstOfMarch();
    const QDate monday = march.addDays((8 - march.dayOfWeek()) % 7);
    useRoot(root());
    auto store = eventStore();
    auto add = [&](const QString &title, const QDateTime &start, const QDateTime &end, bool allDay,
                   const QList<EKRecurrenceRule> &rules) {
        auto event = EKEvent::eventWithEventStore(store);
        event->setCalendar(store->calendarWithIdentifier(QStringLiteral("work")));
        event->setTitle(title);
        event->setNotes(QStringLiteral("line one\nline two & more"));
        event->setLocation(QStringLiteral("Room 4"));
        event->setAllDay(allDay);
        event->setStartDate(start);
        event->setEndDate(end);
        event->setRecurrenceRules(rules);
        event->setAlarms({EKAlarm::alarmWithRelativeOffset(-900)});
        ASSERT_TRUE(store->saveEvent(event, EKSpan::FutureEvents, true).ok());
    };
    add(QStringLiteral("Dentist"), localAt(march.addDays(3), 14), localAt(march.addDays(3), 15), false, {});
    add(QStringLiteral("Holiday"), localAt(march, 0), localAt(march.addDays(1), 0), true, {});
    const auto untilMay = EKRecurrenceEnd::recurrenceEndWithEndDate(
        QDateTime(QDate(march.year(), 5, 31), QTime(23, 59, 59), QTimeZone::systemTimeZone()).toUTC());
    add(QStringLiteral("Swim"), localAt(monday, 7), localAt(monday, 8), false,
        {EKRecurrenceRule(EKRecurrenceFrequency::Weekly, 2,
                          {EKRecurrenceDayOfWeek::dayOfWeek(2), EKRecurrenceDayOfWeek::dayOfWeek(4)}, {}, {}, {}, {},
                          {}, untilMay)});
    add(QStringLiteral("Rent"), localAt(march.addDays(14), 9), localAt(march.addDays(14), 10), false,
        {EKRecurrenceRule(EKRecurrenceFrequency::Monthly, 1, {}, {15}, {}, {}, {}, {},
                          EKRecurrenceEnd::recurrenceEndWithOccurrenceCount(5))});
    auto reminder = EKReminder::reminderWithEventStore(store);
    reminder->setCalendar(store->calendarWithIdentifier(QStringLiteral("errands")));
    reminder->setTitle(QStringLiteral("File taxes"));
    reminder->setNotes(QStringLiteral("forms & receipts"));
    reminder->setDueDate(localAt(march.addDays(20), 8));
    ASSERT_TRUE(store->saveReminder(reminder, true).ok());

    const QList<HMSyncRecord> eventKit = listOnRoad(true);
    const QList<HMSyncRecord> calendarStore = listOnRoad(false);
    ASSERT_EQ(eventKit.size(), 5);
    ASSERT_EQ(calendarStore.size(), 5);
    const QStringList expected{
        // The alarm flag and the rule object (kept in memory, never sent) are EventKit's own keys.
        QStringLiteral("Holiday HASALARM: 1 | (none)"),
        QStringLiteral("Swim EKRECURRENCERULE:  | (none)"),
        QStringLiteral("Swim HASALARM: 1 | (none)"),
        // EventKit sends "no exceptions" as an empty text, CalendarStore as an empty list.
        QStringLiteral("Swim NSARRAYEXCEPTIONS:  | []"),
        QStringLiteral("Dentist HASALARM: 1 | (none)"),
        QStringLiteral("Rent EKRECURRENCERULE:  | (none)"),
        QStringLiteral("Rent HASALARM: 1 | (none)"),
        // Reminders carry a due time and flag, CalendarStore tasks their priorities.
        QStringLiteral("File taxes DUETIME: 00:00:00 | (none)"),
        QStringLiteral("File taxes HASDUEDATE: true | (none)"),
        QStringLiteral("File taxes MAXPRIORITY: (none) | 3"),
        QStringLiteral("File taxes PRIORITY: (none) | 2"),
    };
    QStringList found = differences(eventKit, calendarStore);
    found.sort();
    QStringList sortedExpected = expected;
    sortedExpected.sort();
    EXPECT_EQ(found, sortedExpected);
}

TEST_F(RoadComparisonTest, BothRoadsStoreTheSameFilesOfOneDataSet)
{
    const ScopedEnvironment zone("TZ", "America/Los_Angeles");
    const QDate march = nextFirstOfMarch();
    const QDate monday = march.addDays((8 - march.dayOfWeek()) % 7);
    const QVariantMap base{{"NOTE", "line one\nline two & more"},
                           {"LOCATION", "Room 4"},
                           {"NSARRAYCATEGORIES", QVariantList{"Work"}},
                           {"TYPENUMBER", false},
                           {"NSNUMBERALARMTIME", 15},
                           {"LASTMODIFIED", "2026-01-01 10:00:00"}};
    auto event = [&](const char *uid, const char *title, const QDateTime &start, const QDateTime &end,
                     QVariantMap extra) {
        extra.insert(base);
        return calendartest::deviceEvent(uid, title, start, end, extra);
    };
    const QList<QVariantMap> events{
        event("E1", "Dentist", localAt(march.addDays(3), 14), localAt(march.addDays(3), 15), {}),
        event("E2", "Holiday", localAt(march, 0), localAt(march.addDays(1), 0), {{"TYPENUMBER", true}}),
        event("E3", "Swim", localAt(monday, 7), localAt(monday, 8),
              {{"REPEAT", "2"},
               {"INTERVAL", "2"},
               {"DAYMASK", "10"},
               {"NSDATEREPEATEND", localAt(QDate(march.year(), 6, 1), 0)},
               {"NSARRAYEXCEPTIONS", QVariantList{localAt(monday.addDays(2), 7)}}}),
    };
    const QList<QVariantMap> tasks{{{"UID", "T1"},
                                    {"SUBJECT", "File taxes"},
                                    {"NOTE", "forms & receipts"},
                                    {"DUEDATE", localAt(march.addDays(20), 8)},
                                    {"PRIORITY", 0},
                                    {"COMPLETED", "1"},
                                    {"PERCENTCOMPLETE", 100},
                                    {"NSARRAYCATEGORIES", QVariantList{"Errands"}},
                                    {"LASTMODIFIED", "2026-01-01 10:00:00"}}};
    const QString eventKitRoot = root();
    const QString calendarStoreRoot = root() + QStringLiteral("-calendarstore");
    useRoot(eventKitRoot);
    applyOnRoad(true, events, tasks);
    useRoot(calendarStoreRoot);
    applyOnRoad(false, events, tasks);

    const QStringList eventKitItems = storedItems(eventKitRoot);
    const QStringList calendarStoreItems = storedItems(calendarStoreRoot);
    ASSERT_EQ(eventKitItems.size(), 4);
    ASSERT_EQ(calendarStoreItems.size(), 4);
    // Both roads end the series on the last second of the record's end date, the series' last day.
    EXPECT_EQ(lineDifferences(eventKitItems, calendarStoreItems), QStringList{});
}
