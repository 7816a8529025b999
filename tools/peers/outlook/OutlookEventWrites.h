#pragma once

#include "OutlookScripts.h"

namespace outlookpeer {

// Adds the scripts that write events: "make new calendar event [in calendar id] with properties"
// after the two date lines (with or without a blank before the date's quote), "set the properties
// of calendar event id" with or without the date lines, "set the categories of", "move calendar event
// id … to calendar id", "make new required attendee", "delete required attendee N of calendar event
// id" (one line per attendee, positions as before the deletions), "import ics" with or without "to
// calendar id"; and the listings the writers read (every event's properties, one event's note, its
// attendees, its iCalendar data).
void addEventWriteForms(QList<ScriptForm> &forms);
// The "import ics" forms (OutlookIcsImport.cpp).
void addIcsImportForms(QList<ScriptForm> &forms);

bool isEventWriteKind(const QString &kind);
// The kind of the event-writing script the text is, or an empty text: such a script that is refused
// is refused before it changes anything.
QString eventWriteKind(const QString &script, const QString &datePattern);

} // namespace outlookpeer
