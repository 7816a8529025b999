#pragma once

#include "OutlookScripts.h"

namespace outlookpeer {

// Adds the event scripts: "properties of calendar event id" (kind "event properties") and the queries
// about an occurrence and its series (kind "occurrence": its recurrence id, its master's id and
// properties, both time zones, a series' start time).
void addEventForms(QList<ScriptForm> &forms);

// An event's iCalendar export as Outlook writes it: CR LF line ends folded at 75 octets, the zone
// block with BYMONTH after BYDAY, quoted TZID on DTSTART and DTEND, one EXDATE line per date, the
// "CFTIMEZONE:" line and an alarm trigger in hours, minutes and seconds.
QString eventICalendar(const PeerRecord &record, const OutlookStore &store);
// The properties record "properties of calendar event id" answers: id, subject, start, end, the
// iCalendar export, the plain-text note and the categories.
Descriptor eventProperties(const PeerRecord &record, const OutlookStore &store);

} // namespace outlookpeer
