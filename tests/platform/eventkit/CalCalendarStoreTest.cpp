// The older calendar store's interface over the same folders: spans 0, 1 and 2, tasks and alarms.
#include "platform/eventkit/support/CalendarFolderFixture.h"
#include "foundation/QtPrinters.h"

#include "platform/eventkit/CalCalendarStore.h"

#include <QTimeZone>

#include <gtest/gtest.h>

using namespace platform;
using namespace eventkittest;

class CalCalendarStoreTest : public CalendarFolderTest
{
};

namespace {

QStringList describe(const QList<std::shared_ptr<CalEvent>> &events)
{
    QStringList lines;
    for (const auto &event : events)
        lines.append(event->startDate().toString(QStringLiteral("MM-dd HH:mm ")) + event->title());
    return lines;
}

} // namespace

TEST_F(CalCalendarStoreTest, SpansReachTheOccurrencesTheySay)
{
    struct Row
    {
        const char *name;
        bool remove;
        CalSpan span;
        int index;
        QStringList expected;
    };
    const Row rows[] = {
        {"remove this", true, CalSpan::ThisEvent, 1, {"03-02 09:00 Weekly", "03-16 09:00 Weekly"}},
        {"remove future", true, CalSpan::FutureEvents, 1, {"03-02 09:00 Weekly"}},
        {"remove all from a later one", true, CalSpan::AllEvents, 2, {}},
        {"change this",
         false,
         CalSpan::ThisEvent,
         1,
         {"03-02 09:00 Weekly", "03-09 10:00 Changed", "03-16 09:00 Weekly"}},
        {"change future",
         false,
         CalSpan::FutureEvents,
         1,
         {"03-02 09:00 Weekly", "03-09 10:00 Changed", "03-16 10:00 Changed"}},
        {"change all from a later one",
         false,
         CalSpan::AllEvents,
         2,
         {"03-02 10:00 Changed", "03-09 10:00 Changed", "03-16 10:00 Changed"}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const QString name = QString::fromLatin1(row.name).replace(QLatin1Char(' '), QLatin1Char('-'));
        makeCalendarFolder(name, name);
        CalCalendarStore store;
        auto calendar = store.calendarWithUID(name);
        ASSERT_TRUE(calendar);
        auto event = CalEvent::event();
        event->setCalendar(calendar);
        event->setTitle(QStringLiteral("Weekly"));
        event->setStartDate(at("2026-03-02 09:00"));
        event->setEndDate(at("2026-03-02 10:00"));
        event->setRecurrenceRule(CalRecurrenceRule::initWeeklyRecurrenceWithInterval(
            1, CalRecurrenceEnd::recurrenceEndWithOccurrenceCount(3)));
        ASSERT_TRUE(store.saveEvent(event, CalSpan::ThisEvent).ok());
        const CalPredicate window =
            CalCalendarStore::eventPredicateWithStartDate(at("2026-03-01 00:00"), at("2026-04-01 00:00"), {calendar});
        auto occurrence = store.eventsWithPredicate(window).value(row.index);
        ASSERT_TRUE(occurrence);
        if (row.remove) {
            ASSERT_TRUE(store.removeEvent(occurrence, row.span).ok());
        } else {
            occurrence->setTitle(QStringLiteral("Changed"));
            occurrence->setStartDate(occurrence->startDate().addSecs(3600));
            occurrence->setEndDate(occurrence->endDate().addSecs(3600));
            ASSERT_TRUE(store.saveEvent(occurrence, row.span).ok());
        }
        EXPECT_EQ(describe(CalCalendarStore().eventsWithPredicate(window)), row.expected);
    }
}

TEST_F(CalCalendarStoreTest, FindsAnOccurrenceByItsPlaceInTheSeries)
{
    makeCalendarFolder(QStringLiteral("work"), QStringLiteral("Work"));
    CalCalendarStore store;
    auto event = CalEvent::event();
    event->setCalendar(store.calendarWithUID(QStringLiteral("work")));
    event->setTitle(QStringLiteral("Daily"));
    event->setStartDate(at("2026-03-02 09:00"));
    event->setEndDate(at("2026-03-02 10:00"));
    event->setRecurrenceRule(CalRecurrenceRule::initDailyRecurrenceWithInterval(1, std::nullopt));
    ASSERT_TRUE(store.saveEvent(event, CalSpan::ThisEvent).ok());
    auto third = store.eventWithUID(event->uid(), at("2026-03-04 09:00"));
    ASSERT_TRUE(third);
    third->setStartDate(at("2026-05-20 09:00"));
    third->setEndDate(at("2026-05-20 10:00"));
    ASSERT_TRUE(store.saveEvent(third, CalSpan::ThisEvent).ok());

    const auto moved = store.eventWithUID(event->uid(), at("2026-03-04 09:00"));
    ASSERT_TRUE(moved);
    EXPECT_TRUE(moved->isDetached());
    EXPECT_EQ(moved->startDate(), at("2026-05-20 09:00"));
    EXPECT_EQ(store.eventWithUID(event->uid(), QDateTime())->startDate(), at("2026-03-02 09:00"));
    EXPECT_FALSE(store.eventWithUID(event->uid(), at("2026-03-04 09:30")));
    EXPECT_EQ(store.eventWithUID(event->uid(), QDateTime())->recurrenceRule(),
              CalRecurrenceRule::initDailyRecurrenceWithInterval(1, std::nullopt));
}

TEST_F(CalCalendarStoreTest, TasksKeepPriorityDueDateCompletionAndAlarms)
{
    makeCalendarFolder(QStringLiteral("todo"), QStringLiteral("To do"));
    CalCalendarStore store;
    auto list = store.calendarWithUID(QStringLiteral("todo"));
    EXPECT_EQ(list->type(), CalCalendar::CalCalendarTypeLocal);
    EXPECT_TRUE(list->isEditable());
    auto task = CalTask::task();
    task->setCalendar(list);
    task->setTitle(QStringLiteral("Renew passport"));
    task->setPriority(CalPriorityMedium);
    task->setDueDate(at("2026-06-01 08:00"));
    CalAlarm alarm;
    alarm.setAbsoluteTrigger(at("2026-05-31 18:00"));
    task->addAlarm(alarm);
    ASSERT_TRUE(store.saveTask(task).ok());

    auto read = CalCalendarStore().taskWithUID(task->uid());
    ASSERT_TRUE(read);
    EXPECT_EQ(read->priority(), int(CalPriorityMedium));
    EXPECT_EQ(read->dueDate(), at("2026-06-01 08:00"));
    EXPECT_EQ(read->alarms(), QList<CalAlarm>{alarm});
    EXPECT_EQ(read->nextAlarmDate(), at("2026-05-31 18:00"));
    read->setIsCompleted(true);
    ASSERT_TRUE(store.saveTask(read).ok());
    const auto tasks = store.tasksWithPredicate(CalCalendarStore::taskPredicateWithCalendars({list}));
    ASSERT_EQ(tasks.size(), 1);
    EXPECT_TRUE(tasks.first()->isCompleted());
    EXPECT_TRUE(tasks.first()->completedDate().isValid());
    ASSERT_TRUE(store.removeTask(tasks.first()).ok());
    EXPECT_TRUE(itemFiles(root() + QStringLiteral("/todo")).isEmpty());
}
