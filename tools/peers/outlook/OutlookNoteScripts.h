#pragma once

#include "OutlookScripts.h"

namespace outlookpeer {

// Adds the note scripts: "properties of note id" ("note properties"), "properties of every note" of the
// application or in a note folder ("note listing"), "make new note [in note folder id] with
// properties" ("create note"), "set the properties of note id" ("set note properties") and "move note
// id … to note folder id" ("move note", the id kept).
void addNoteForms(QList<ScriptForm> &forms);

// The kind of the note-writing script the text is ("create note", "set note properties", "move note"),
// or an empty text: such a script that is refused is refused before it changes anything.
QString noteWriteKind(const QString &script);
bool isNoteWriteKind(const QString &kind);

// A note's iCalendar export: a VJOURNAL with its name as the SUMMARY, CR LF line ends.
QString noteICalendar(const PeerRecord &record);

} // namespace outlookpeer
