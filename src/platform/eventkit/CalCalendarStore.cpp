#include "platform/eventkit/CalCalendarStore.h"

#include "platform/eventkit/EKCalendar.h"

#include <mutex>

namespace platform {

namespace {

// An occurrence moved away from its place is looked for this far around it.
constexpr qint64 kOccurrenceSearchDays = 366;

QStringList uidsOf(const QList<std::shared_ptr<CalCalendar>> &calendars)
{
    QStringList uids;
    for (const std::shared_ptr<CalCalendar> &calendar : calendars) {
        if (calendar)
            uids.append(calendar->uid());
    }
    return uids;
}

EKPredicate ekPredicateFrom(const CalPredicate &predicate)
{
    EKPredicate converted;
    converted.entityType = predicate.isForTasks ? EKEntityType::Reminder : EKEntityType::Event;
    converted.startDate = predicate.startDate.toUTC();
    converted.endDate = predicate.endDate.toUTC();
    converted.calendarIdentifiers = predicate.calendarUids;
    converted.uid = predicate.uid;
    return converted;
}

} // namespace

std::shared_ptr<CalCalendarStore> CalCalendarStore::defaultCalendarStore()
{
    // Never destroyed: a sync still running on a worker may use the store while the process exits.
    static const auto *s_store = new std::shared_ptr<CalCalendarStore>(std::make_shared<CalCalendarStore>());
    return *s_store;
}

CalCalendarStore::CalCalendarStore() : m_store(EKEventStore::create(EKEntityMaskEvent | EKEntityMaskReminder)) {}

QList<std::shared_ptr<CalCalendar>> CalCalendarStore::calendars()
{
    QList<std::shared_ptr<CalCalendar>> result;
    QSet<QString> seen;
    for (EKEntityType type : {EKEntityType::Event, EKEntityType::Reminder}) {
        for (const std::shared_ptr<CalCalendar> &calendar : calendarsTaking(type)) {
            if (!seen.contains(calendar->uid()))
                result.append(calendar);
            seen.insert(calendar->uid());
        }
    }
    return result;
}

QList<std::shared_ptr<CalCalendar>> CalCalendarStore::calendarsTaking(EKEntityType entityType)
{
    QList<std::shared_ptr<CalCalendar>> result;
    for (const std::shared_ptr<EKCalendar> &calendar : m_store->calendarsForEntityType(entityType))
        result.append(std::make_shared<CalCalendar>(calendar));
    return result;
}

std::shared_ptr<CalCalendar> CalCalendarStore::calendarWithUID(const QString &uid)
{
    const std::shared_ptr<EKCalendar> calendar = m_store->calendarWithIdentifier(uid);
    return calendar ? std::make_shared<CalCalendar>(calendar) : nullptr;
}

Status CalCalendarStore::saveCalendar(const std::shared_ptr<CalCalendar> &calendar)
{
    if (!calendar)
        return Error(ErrorCode::DataMissing, QStringLiteral("no calendar to save"));
    return m_store->saveCalendar(calendar->ekCalendar(), true);
}

CalPredicate CalCalendarStore::eventPredicateWithStartDate(const QDateTime &startDate, const QDateTime &endDate,
                                                           const QList<std::shared_ptr<CalCalendar>> &calendars)
{
    return eventPredicateWithStartDate(startDate, endDate, QString(), calendars);
}

CalPredicate CalCalendarStore::eventPredicateWithStartDate(const QDateTime &startDate, const QDateTime &endDate,
                                                           const QString &uid,
                                                           const QList<std::shared_ptr<CalCalendar>> &calendars)
{
    CalPredicate predicate;
    predicate.startDate = startDate;
    predicate.endDate = endDate;
    predicate.uid = uid;
    predicate.calendarUids = uidsOf(calendars);
    return predicate;
}

CalPredicate CalCalendarStore::taskPredicateWithCalendars(const QList<std::shared_ptr<CalCalendar>> &calendars)
{
    CalPredicate predicate;
    predicate.isForTasks = true;
    predicate.calendarUids = uidsOf(calendars);
    return predicate;
}

QList<std::shared_ptr<CalEvent>> CalCalendarStore::eventsWithPredicate(const CalPredicate &predicate)
{
    QList<std::shared_ptr<CalEvent>> events;
    if (predicate.isForTasks)
        return events;
    for (const std::shared_ptr<EKEvent> &event : m_store->eventsMatchingPredicate(ekPredicateFrom(predicate)))
        events.append(std::make_shared<CalEvent>(event));
    return events;
}

std::shared_ptr<CalEvent> CalCalendarStore::eventWithUID(const QString &uid, const QDateTime &occurrence)
{
    if (!occurrence.isValid()) {
        const std::shared_ptr<EKEvent> series = m_store->eventWithIdentifier(uid);
        return series ? std::make_shared<CalEvent>(series) : nullptr;
    }
    for (const qint64 days : {qint64(1), kOccurrenceSearchDays}) {
        CalPredicate predicate =
            eventPredicateWithStartDate(occurrence.addDays(-days), occurrence.addDays(days), uid, {});
        for (const std::shared_ptr<CalEvent> &event : eventsWithPredicate(predicate)) {
            if (event->occurrence() == occurrence.toUTC())
                return event;
        }
    }
    return nullptr;
}

std::shared_ptr<EKEvent> CalCalendarStore::seriesOf(const std::shared_ptr<CalEvent> &event)
{
    if (!event || event->uid().isEmpty())
        return nullptr;
    return m_store->eventWithIdentifier(event->uid());
}

// "All events" changes the series itself: the occurrence's fields go to the series, and its start
// moves by as much as the occurrence was moved.
Status CalCalendarStore::saveWholeSeries(const std::shared_ptr<CalEvent> &event)
{
    const std::shared_ptr<EKEvent> changed = event->ekEvent();
    const std::shared_ptr<EKEvent> series = seriesOf(event);
    if (!series)
        return Error(ErrorCode::IoNotFound, QStringLiteral("event %1 is no longer in the store").arg(event->uid()));
    const qint64 shift = changed->occurrenceDate().secsTo(changed->startDate());
    const qint64 length = changed->startDate().secsTo(changed->endDate());
    auto merged = std::make_shared<EKEvent>(*changed);
    merged->setStartDate(series->startDate().addSecs(shift));
    merged->setEndDate(merged->startDate().addSecs(length));
    merged->setOccurrence(series->startDate(), false);
    merged->setIsSeriesStart(true);
    const Status saved = m_store->saveEvent(merged, EKSpan::FutureEvents, true);
    if (saved)
        *changed = *merged;
    return saved;
}

Status CalCalendarStore::saveEvent(const std::shared_ptr<CalEvent> &event, CalSpan span)
{
    if (!event)
        return Error(ErrorCode::DataMissing, QStringLiteral("no event to save"));
    const std::shared_ptr<EKEvent> ekEvent = event->ekEvent();
    if (span == CalSpan::AllEvents && !ekEvent->eventIdentifier().isEmpty() && !ekEvent->isSeriesStart())
        return saveWholeSeries(event);
    return m_store->saveEvent(ekEvent, span == CalSpan::ThisEvent ? EKSpan::ThisEvent : EKSpan::FutureEvents, true);
}

Status CalCalendarStore::removeEvent(const std::shared_ptr<CalEvent> &event, CalSpan span)
{
    if (!event)
        return Error(ErrorCode::DataMissing, QStringLiteral("no event to remove"));
    if (span == CalSpan::AllEvents) {
        const std::shared_ptr<EKEvent> series = seriesOf(event);
        if (!series)
            return Error(ErrorCode::IoNotFound, QStringLiteral("event %1 is no longer in the store").arg(event->uid()));
        return m_store->removeEvent(series, EKSpan::FutureEvents, true);
    }
    return m_store->removeEvent(event->ekEvent(), span == CalSpan::ThisEvent ? EKSpan::ThisEvent : EKSpan::FutureEvents,
                                true);
}

QList<std::shared_ptr<CalTask>> CalCalendarStore::tasksWithPredicate(const CalPredicate &predicate)
{
    QList<std::shared_ptr<CalTask>> tasks;
    if (!predicate.isForTasks)
        return tasks;
    for (const std::shared_ptr<EKReminder> &reminder : m_store->remindersMatchingPredicate(ekPredicateFrom(predicate)))
        tasks.append(std::make_shared<CalTask>(reminder));
    return tasks;
}

std::shared_ptr<CalTask> CalCalendarStore::taskWithUID(const QString &uid)
{
    auto reminder = std::dynamic_pointer_cast<EKReminder>(m_store->calendarItemWithIdentifier(uid));
    return reminder ? std::make_shared<CalTask>(reminder) : nullptr;
}

Status CalCalendarStore::saveTask(const std::shared_ptr<CalTask> &task)
{
    if (!task)
        return Error(ErrorCode::DataMissing, QStringLiteral("no task to save"));
    return m_store->saveReminder(task->reminder(), true);
}

Status CalCalendarStore::removeTask(const std::shared_ptr<CalTask> &task)
{
    if (!task)
        return Error(ErrorCode::DataMissing, QStringLiteral("no task to remove"));
    return m_store->removeReminder(task->reminder(), true);
}

} // namespace platform
