#pragma once

#include "platform/eventkit/EKAlarm.h"
#include "platform/eventkit/EKRecurrenceRule.h"

#include <QDateTime>
#include <QList>
#include <QTimeZone>

#include <functional>
#include <optional>

#include <libical/ical.h>

namespace platform {

class EKEvent;
class EKReminder;
struct ICalendarOccurrences;

// Conversions between libical's components and the store's items, and the expansion of a series into
// its occurrences. Free functions without state; libical's built-in zone table is the only shared
// thing they touch, and libical guards it itself.
namespace icalcodec {

// A time of a component as a UTC date. A date-only value is midnight of its day in the local zone, and
// so is a floating time of day (one without a zone).
QDateTime dateFromIcalTime(const icaltimetype &time);
// The same instant in seconds since 1970, without making a date; nothing where that gives an invalid one.
std::optional<qint64> secondsFromIcalTime(const icaltimetype &time);
// The UTC zone, made once: the dates of a walk over a series are made in it one by one, and making
// the zone anew for each was more than half the cost of turning a time into a date.
const QTimeZone &utcZone();
// The date as an iCalendar time in the zone (null for a floating time); a date-only value when asked.
icaltimetype icalTimeFromDate(const QDateTime &date, const icaltimezone *zone, bool dateOnly);
// libical's zone for ours: UTC for UTC, the built-in zone of that name, else UTC.
icaltimezone *icalZoneFor(const QTimeZone &zone);
// Ours for a component time's zone; the system's zone for a floating time.
QTimeZone timeZoneOf(const icaltimetype &time);
// Adds the property with a TZID parameter naming its zone (none for UTC, dates and floating times),
// and puts the zone's VTIMEZONE into the calendar when it has none of that name yet.
void addTimeProperty(icalcomponent *calendar, icalcomponent *item, icalproperty *property, const icaltimetype &time);

// The item's alarms: relative ones as seconds from the start (an alarm related to the end counts
// from the start too, given the item's length), absolute ones as dates.
QList<EKAlarm> readAlarms(icalcomponent *item, qint64 lengthSeconds);
// Replaces the item's VALARMs by display alarms for the list, unless they already say the same.
void writeAlarms(icalcomponent *item, const QList<EKAlarm> &alarms, const QString &description);

QList<EKRecurrenceRule> readRules(icalcomponent *item);
// The rules an event of the item carries: its RRULEs; for a series of RDATEs alone whose occurrences
// all start at one local time of day, a daily rule from its start to its last occurrence, the days
// between being its exceptions (what the phone can hold of it); none when the times differ.
QList<EKRecurrenceRule> seriesRules(icalcomponent *item);
// Replaces the item's RRULEs unless they already say the same (seriesRules); an all-day series ends on
// a date.
void writeRules(icalcomponent *item, const QList<EKRecurrenceRule> &rules, bool allDay);

// Fills the event from a VEVENT (the series' master or a detached occurrence).
void readEvent(icalcomponent *item, EKEvent &event);
// Writes the event's fields into a VEVENT, keeping every property it does not set.
void writeEvent(icalcomponent *calendar, icalcomponent *item, const EKEvent &event, bool writeRecurrence);
void readReminder(icalcomponent *item, EKReminder &reminder);
void writeReminder(icalcomponent *calendar, icalcomponent *item, const EKReminder &reminder);
// Stamps DTSTAMP and LAST-MODIFIED with now.
void stampModification(icalcomponent *item);
// Stamps CREATED with now, on an item we make: another program's item without one gains none.
void stampCreation(icalcomponent *item);

// The original starts of a series' occurrences that overlap [windowStart, windowEnd), ascending:
// its rules and RDATEs, without its EXDATEs. A series without rules gives its start when it overlaps.
// The walk stops at the window's end, and after a fixed number of steps for a rule that never gets
// there (logged).
QList<QDateTime> occurrenceStarts(icalcomponent *master, const QDateTime &windowStart, const QDateTime &windowEnd);
// The same walk up to the horizon, kept whole so that windows before the horizon need no new walk.
ICalendarOccurrences expandOccurrences(icalcomponent *master, const QDateTime &horizon);
// The starts of an expansion that overlap [windowStart, windowEnd); the window ends by its horizon.
QList<QDateTime> occurrencesOverlapping(const ICalendarOccurrences &occurrences, const QDateTime &windowStart,
                                        const QDateTime &windowEnd);
// The earliest start of the series that overlaps the window and is not one of the skipped ones; the
// walk stops there.
// The first start of a walk that overlaps the window and is not skipped, as firstOccurrence finds it
// from the series when the walk reaches the window's end. The walk is given by visitStartsFrom, which
// calls its visitor with the walk's starts from the one given on (UTC milliseconds, ascending) for as
// long as the visitor answers true: a kept walk is then read only up to the start found.
using StartVisitor = std::function<bool(qint64 start)>;
std::optional<QDateTime>
firstOccurrenceIn(const std::function<void(qint64 from, const StartVisitor &)> &visitStartsFrom, qint64 lengthSeconds,
                  const QDateTime &windowStart, const QDateTime &windowEnd, const QList<QDateTime> &skipped);
std::optional<QDateTime> firstOccurrence(icalcomponent *master, const QDateTime &windowStart,
                                         const QDateTime &windowEnd, const QList<QDateTime> &skipped);
// The length of an item in seconds (end minus start; 0 without an end).
qint64 lengthSeconds(icalcomponent *item);
// Whether an occurrence of the length reaches into the window; one of no length counts at its start.
bool overlapsWindow(const QDateTime &occurrence, qint64 length, const QDateTime &windowStart,
                    const QDateTime &windowEnd);
// The same for an occurrence from start to end in milliseconds since 1970 (dates a QDateTime holds),
// of the length in whole seconds that QDateTime::secsTo gives between them: no date is made.
bool overlapsWindow(qint64 start, qint64 end, const QDateTime &windowStart, const QDateTime &windowEnd);
// The RECURRENCE-ID of a detached occurrence as a UTC date; invalid for a master.
QDateTime recurrenceIdOf(icalcomponent *item);

} // namespace icalcodec
} // namespace platform
