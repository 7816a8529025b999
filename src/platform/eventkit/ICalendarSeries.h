#pragma once

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QString>

#include <memory>

#include <libical/ical.h>

namespace platform {

class EKEvent;

// The changes to a series that saving or removing one occurrence makes inside a VCALENDAR: a series
// and its detached occurrences share one calendar (RECURRENCE-ID), removed occurrences are EXDATEs,
// and a series cut short ends with an UNTIL. Free functions on component trees the caller owns.
namespace icalseries {

// A new VCALENDAR with VERSION and PRODID; the caller frees it.
icalcomponent *newCalendar();
// The item of that UID without RECURRENCE-ID (of the kind), or null.
icalcomponent *masterOf(icalcomponent *calendar, const QString &uid, icalcomponent_kind kind);
// The detached occurrences of that UID.
QList<icalcomponent *> overridesOf(icalcomponent *calendar, const QString &uid);
// The items of one UID in a calendar, as masterOf and overridesOf find them.
struct ItemsOfUid
{
    icalcomponent *event = nullptr; // the VEVENT without RECURRENCE-ID
    icalcomponent *todo = nullptr;  // the VTODO without RECURRENCE-ID
    QList<icalcomponent *> overrides;
};
// Every UID's items, found in one walk of the calendar: a calendar of many items is read in time
// linear in them, where a search per UID would walk it once per item.
QHash<QString, ItemsOfUid> itemsByUid(icalcomponent *calendar);
// The override of the series' occurrence at that original start, or null.
icalcomponent *overrideAt(icalcomponent *calendar, const QString &uid, const QDateTime &occurrence);
bool isRecurring(icalcomponent *master);
// The revision of a series: a digest of its master component's text, the same in every run.
QString revisionOf(icalcomponent *master);
// The event of a VEVENT as a listing gives it before it is placed in a calendar: a series' master
// carries its revision.
std::shared_ptr<EKEvent> eventFromComponent(icalcomponent *item);
// Replaces the occurrence by a detached copy of the master carrying the event's fields.
void detachOccurrence(icalcomponent *calendar, icalcomponent *master, const EKEvent &event);
// Leaves the occurrence out of the series with an EXDATE, and drops its detached copy.
void excludeOccurrence(icalcomponent *calendar, icalcomponent *master, const QDateTime &occurrence);
// Ends the series before the occurrence, and drops the detached copies from it on.
void endSeriesBefore(icalcomponent *calendar, icalcomponent *master, const QDateTime &occurrence);
// How many occurrences the series' rules give before the occurrence, removed ones included (they
// count towards a rule's COUNT).
int occurrencesBefore(icalcomponent *master, const QDateTime &occurrence);
// Removes every item of that UID; answers whether the calendar still holds another item.
bool removeItems(icalcomponent *calendar, const QString &uid);

} // namespace icalseries
} // namespace platform
