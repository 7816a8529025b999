#pragma once

#include "platform/eventkit/EKCalendarItem.h"
#include "platform/eventkit/EKRecurrenceRule.h"

#include <QTimeZone>

namespace platform {

class EKEventStore;

// An event, or one occurrence of a repeating event. Every occurrence of a series carries the series'
// identifier (eventIdentifier, equal to calendarItemIdentifier) and its own occurrenceDate, the start
// the rule gave it; a detached occurrence (moved or changed on its own) also has isDetached. Used on
// the queue of the store that gave it out.
class EKEvent : public EKCalendarItem
{
public:
    // A new event of the store, not yet saved.
    static std::shared_ptr<EKEvent> eventWithEventStore(const std::shared_ptr<EKEventStore> &store);

    EKEvent() = default;
    // An event whose times are written in the zone given: a reader that knows the zone makes the
    // event in it, rather than in the system's zone, which is read anew for each event made.
    explicit EKEvent(const QTimeZone &timeZone) : m_timeZone(timeZone) {}

    QString eventIdentifier() const { return calendarItemIdentifier(); }
    QDateTime startDate() const { return m_startDate; }
    void setStartDate(const QDateTime &date) { m_startDate = date.toUTC(); }
    QDateTime endDate() const { return m_endDate; }
    void setEndDate(const QDateTime &date) { m_endDate = date.toUTC(); }
    bool isAllDay() const { return m_allDay; }
    void setAllDay(bool allDay) { m_allDay = allDay; }
    // The zone the event's times are written in; the system's zone for a new event.
    QTimeZone timeZone() const { return m_timeZone; }
    void setTimeZone(const QTimeZone &zone) { m_timeZone = zone; }

    QList<EKRecurrenceRule> recurrenceRules() const { return m_recurrenceRules; }
    void setRecurrenceRules(const QList<EKRecurrenceRule> &rules) { m_recurrenceRules = rules; }
    bool hasRecurrenceRules() const { return !m_recurrenceRules.isEmpty(); }
    void addRecurrenceRule(const EKRecurrenceRule &rule) { m_recurrenceRules.append(rule); }
    void removeRecurrenceRule(const EKRecurrenceRule &rule) { m_recurrenceRules.removeOne(rule); }

    // The start this occurrence has in its series (the start itself for a single event).
    QDateTime occurrenceDate() const { return m_occurrenceDate; }
    bool isDetached() const { return m_isDetached; }

    // The store's side.
    void setOccurrence(const QDateTime &occurrenceDate, bool isDetached);
    // A text that changes whenever the stored series changes (its rule, removed occurrences, any
    // property), whoever wrote it; empty for an event not read from the store.
    QString seriesRevision() const { return m_seriesRevision; }
    void setSeriesRevision(const QString &revision) { m_seriesRevision = revision; }
    // Whether the event is the series' own first occurrence as read from the master component.
    bool isSeriesStart() const { return m_isSeriesStart; }
    void setIsSeriesStart(bool isSeriesStart) { m_isSeriesStart = isSeriesStart; }

private:
    QDateTime m_startDate;
    QDateTime m_endDate;
    bool m_allDay = false;
    QTimeZone m_timeZone = QTimeZone::systemTimeZone();
    QList<EKRecurrenceRule> m_recurrenceRules;
    QDateTime m_occurrenceDate;
    bool m_isDetached = false;
    bool m_isSeriesStart = true;
    QString m_seriesRevision;
};

} // namespace platform
