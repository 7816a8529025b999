// Alarm mapping both ways on both stores: each case writes the record's alarm into an item, saves it
// in the folder, reads it back and turns it into a record again.
#include "datasources/calendar/HMCalendarData.h"
#include "foundation/QtPrinters.h"
#include "platform/eventkit/CalCalendarStore.h"
#include "platform/eventkit/support/CalendarFolderFixture.h"

#include <gtest/gtest.h>

using namespace platform;
using eventkittest::at;

namespace {

// An alarm as "rel -900" or "abs 09:45".
QString describe(const EKAlarm &alarm)
{
    return alarm.absoluteDate().isValid()
               ? QStringLiteral("abs ") + alarm.absoluteDate().toString(QStringLiteral("HH:mm"))
               : QStringLiteral("rel %1").arg(alarm.relativeOffset());
}

QStringList describe(const QList<EKAlarm> &alarms)
{
    QStringList result;
    for (const EKAlarm &alarm : alarms)
        result.append(describe(alarm));
    return result;
}

QList<EKAlarm> alarmsFrom(const QStringList &descriptions)
{
    QList<EKAlarm> alarms;
    for (const QString &text : descriptions) {
        if (text.startsWith(QLatin1String("abs")))
            alarms.append(EKAlarm::alarmWithAbsoluteDate(at(("2026-03-16 " + text.mid(4)).toLatin1().constData())));
        else
            alarms.append(EKAlarm::alarmWithRelativeOffset(text.mid(4).toDouble()));
    }
    return alarms;
}

QList<CalAlarm> calAlarmsFrom(const QList<EKAlarm> &alarms)
{
    QList<CalAlarm> result;
    for (const EKAlarm &alarm : alarms) {
        CalAlarm converted;
        if (alarm.absoluteDate().isValid())
            converted.setAbsoluteTrigger(alarm.absoluteDate());
        else
            converted.setRelativeTrigger(alarm.relativeOffset());
        result.append(converted);
    }
    return result;
}

QList<EKAlarm> ekAlarmsFrom(const QList<CalAlarm> &alarms)
{
    QList<EKAlarm> result;
    for (const CalAlarm &alarm : alarms) {
        result.append(alarm.absoluteTrigger().isValid() ? EKAlarm::alarmWithAbsoluteDate(alarm.absoluteTrigger())
                                                        : EKAlarm::alarmWithRelativeOffset(alarm.relativeTrigger()));
    }
    return result;
}

// An unsaved event from 10:00 to 11:00 on 16 March with the alarms.
std::shared_ptr<EKEvent> tenOClockEvent(const std::shared_ptr<EKEventStore> &store, const QStringList &alarms)
{
    auto event = EKEvent::eventWithEventStore(store);
    event->setStartDate(at("2026-03-16 10:00"));
    event->setEndDate(at("2026-03-16 11:00"));
    event->setAlarms(alarmsFrom(alarms));
    return event;
}

} // namespace

class HMBaseCalendarDataAlarmTest : public eventkittest::CalendarFolderTest
{
};

TEST_F(HMBaseCalendarDataAlarmTest, RecordAlarmsReachEventsOnBothStores)
{
    struct Row
    {
        const char *name;
        QVariantMap record;
        QStringList existing;
        QStringList expected;
    };
    const QVariantMap fifteen{{"NSNUMBERALARMTIME", 15}};
    const Row rows[] = {
        {"new alarm", fifteen, {}, {"rel -900"}},
        {"the same relative alarm stays", fifteen, {"rel -900"}, {"rel -900"}},
        {"an absolute alarm at the same moment stays", fifteen, {"abs 09:45"}, {"abs 09:45"}},
        {"a matching second alarm keeps both",
         {{"NSNUMBERALARMTIME", "15"}},
         {"rel -300", "rel -900"},
         {"rel -300", "rel -900"}},
        {"no match replaces all by the first, changed", fifteen, {"rel -600", "abs 09:00"}, {"rel -900"}},
        {"no alarm keys clear every alarm", {{"TITLE", "x"}}, {"rel -900", "abs 09:00"}, {}},
        {"zero minutes is at the start", {{"NSNUMBERALARMTIME", 0}}, {}, {"rel 0"}},
        {"negative minutes is after the start", {{"NSNUMBERALARMTIME", -10}}, {}, {"rel 600"}},
    };
    makeCalendarFolder(QStringLiteral("work"), QStringLiteral("Work"));
    HMCalendarData data;
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        auto store = eventStore();
        auto event = tenOClockEvent(store, row.existing);
        data.updateEKCalendarItem(*event, row.record);
        ASSERT_TRUE(store->saveEvent(event, EKSpan::ThisEvent, true).ok());
        EXPECT_EQ(describe(eventStore()->eventWithIdentifier(event->eventIdentifier())->alarms()), row.expected);

        CalCalendarStore calendarStore;
        auto calEvent = CalEvent::event();
        calEvent->setCalendar(calendarStore.calendarWithUID(QStringLiteral("work")));
        calEvent->setStartDate(at("2026-03-16 10:00"));
        calEvent->setEndDate(at("2026-03-16 11:00"));
        calEvent->setAlarms(calAlarmsFrom(alarmsFrom(row.existing)));
        data.updateCalendarItem(*calEvent, row.record);
        ASSERT_TRUE(calendarStore.saveEvent(calEvent, CalSpan::ThisEvent).ok());
        const auto read = CalCalendarStore().eventWithUID(calEvent->uid(), QDateTime());
        EXPECT_EQ(describe(ekAlarmsFrom(read->alarms())), row.expected);
    }
}

TEST_F(HMBaseCalendarDataAlarmTest, EventAlarmsReachRecordsOnBothStores)
{
    struct Row
    {
        const char *name;
        QStringList alarms;
        QVariant ekMinutes;
        QVariant calMinutes;
    };
    const Row rows[] = {
        {"15 minutes before", {"rel -900"}, 15, 15},
        {"at the start", {"rel 0"}, 0, 0},
        {"90 seconds before", {"rel -90"}, 1, 1},
        {"after the start", {"rel 300"}, QVariant(), QVariant()},
        {"no alarm", {}, QVariant(), QVariant()},
        {"absolute first, relative second", {"abs 09:30", "rel -600"}, 0, 30},
    };
    makeCalendarFolder(QStringLiteral("work"), QStringLiteral("Work"));
    HMCalendarData data;
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        auto store = eventStore();
        auto event = tenOClockEvent(store, row.alarms);
        ASSERT_TRUE(store->saveEvent(event, EKSpan::ThisEvent, true).ok());

        QVariantMap ekRecord;
        data.updateEKCalendarDictionary(ekRecord, *eventStore()->eventWithIdentifier(event->eventIdentifier()));
        EXPECT_EQ(ekRecord.value(QStringLiteral("NSNUMBERALARMTIME")), row.ekMinutes);
        EXPECT_EQ(ekRecord.contains(QStringLiteral("HASALARM")), row.ekMinutes.isValid());

        QVariantMap calRecord;
        data.updateCalendarDictionary(calRecord,
                                      *CalCalendarStore().eventWithUID(event->eventIdentifier(), QDateTime()));
        EXPECT_EQ(calRecord.value(QStringLiteral("NSNUMBERALARMTIME")), row.calMinutes);
    }
}

TEST_F(HMBaseCalendarDataAlarmTest, TaskAlarmsAreFireDates)
{
    makeCalendarFolder(QStringLiteral("todo"), QStringLiteral("To do"));
    HMCalendarData data;
    CalCalendarStore store;
    // Whole seconds, from one reading of the clock (two readings may fall in different seconds).
    const qint64 nowMs = QDateTime::currentMSecsSinceEpoch();
    const QDateTime later = QDateTime::fromMSecsSinceEpoch(nowMs - nowMs % 1000, Qt::UTC).addDays(2);
    auto task = CalTask::task();
    task->setCalendar(store.calendarWithUID(QStringLiteral("todo")));
    task->setTitle(QStringLiteral("Pay rent"));
    data.updateCalendarItem(*task, {{"NSDATEALARMDATE", later}});
    ASSERT_TRUE(store.saveTask(task).ok());
    const auto read = CalCalendarStore().taskWithUID(task->uid());
    ASSERT_EQ(read->alarms().size(), 1);
    EXPECT_EQ(read->alarms().first().absoluteTrigger(), later);

    QVariantMap record;
    data.updateCalendarDictionary(record, *read);
    EXPECT_EQ(record.value(QStringLiteral("NSDATEALARMDATE")).toDateTime(), later);

    CalAlarm past;
    past.setAbsoluteTrigger(QDateTime::currentDateTimeUtc().addDays(-1));
    read->setAlarms({past});
    QVariantMap pastRecord;
    data.updateCalendarDictionary(pastRecord, *read);
    EXPECT_TRUE(pastRecord.isEmpty());
}
