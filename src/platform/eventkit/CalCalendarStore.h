#pragma once

#include "platform/eventkit/CalCalendar.h"
#include "platform/eventkit/CalEvent.h"
#include "platform/eventkit/CalTask.h"
#include "platform/eventkit/EKEventStore.h"
#include "platform/foundation/Result.h"

#include <QDateTime>
#include <QList>
#include <QStringList>

#include <memory>

namespace platform {

// How far a change to one occurrence of a series reaches in CalendarStore.
enum class CalSpan {
    ThisEvent = 0,
    FutureEvents = 1,
    AllEvents = 2,
};

// What a CalendarStore query asks for: events overlapping a window (of one series, when uid is set),
// or tasks; in the given calendars, or in all when the list is empty.
struct CalPredicate final
{
    bool isForTasks = false;
    QDateTime startDate;
    QDateTime endDate;
    QString uid;
    QStringList calendarUids;
};

// The older calendar store's interface over the same iCalendar folders as the event store: calendars,
// events and tasks, with the spans "this event", "future events" and "all events". Thread-safe as the
// event store underneath is.
class CalCalendarStore final
{
public:
    // The store of the current user's calendars, one for the process.
    static std::shared_ptr<CalCalendarStore> defaultCalendarStore();
    CalCalendarStore();

    // Every calendar, those that take events first.
    QList<std::shared_ptr<CalCalendar>> calendars();
    // The calendars that take events, or tasks: a folder holding only the other kind is left out, one
    // holding nothing yet or both kinds is in both listings.
    QList<std::shared_ptr<CalCalendar>> calendarsTaking(EKEntityType entityType);
    std::shared_ptr<CalCalendar> calendarWithUID(const QString &uid);
    Status saveCalendar(const std::shared_ptr<CalCalendar> &calendar);

    static CalPredicate eventPredicateWithStartDate(const QDateTime &startDate, const QDateTime &endDate,
                                                    const QList<std::shared_ptr<CalCalendar>> &calendars);
    static CalPredicate eventPredicateWithStartDate(const QDateTime &startDate, const QDateTime &endDate,
                                                    const QString &uid,
                                                    const QList<std::shared_ptr<CalCalendar>> &calendars);
    static CalPredicate taskPredicateWithCalendars(const QList<std::shared_ptr<CalCalendar>> &calendars);

    QList<std::shared_ptr<CalEvent>> eventsWithPredicate(const CalPredicate &predicate);
    // The occurrence of the series that the rule gave that start; the series' first occurrence when
    // the date is invalid; null when there is none.
    std::shared_ptr<CalEvent> eventWithUID(const QString &uid, const QDateTime &occurrence);
    Status saveEvent(const std::shared_ptr<CalEvent> &event, CalSpan span);
    Status removeEvent(const std::shared_ptr<CalEvent> &event, CalSpan span);

    QList<std::shared_ptr<CalTask>> tasksWithPredicate(const CalPredicate &predicate);
    std::shared_ptr<CalTask> taskWithUID(const QString &uid);
    Status saveTask(const std::shared_ptr<CalTask> &task);
    Status removeTask(const std::shared_ptr<CalTask> &task);
    // The UIDs of the events and tasks whose files are still there but no longer read or parse.
    QSet<QString> damagedItemUIDs() { return m_store->damagedItemIdentifiers(); }

private:
    std::shared_ptr<EKEvent> seriesOf(const std::shared_ptr<CalEvent> &event);
    Status saveWholeSeries(const std::shared_ptr<CalEvent> &event);

    std::shared_ptr<EKEventStore> m_store;
};

} // namespace platform
