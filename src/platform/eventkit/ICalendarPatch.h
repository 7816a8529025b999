#pragma once

#include <QByteArray>

#include <optional>

#include <libical/ical.h>

namespace platform::icalpatch {

// The text of a file after a change made to its parse: the file's own text with only what the change
// touched written anew. `before` is the parse of `original`, `after` a changed copy of it. A property
// kept the same by the change (compared by name within its component) keeps its lines byte for byte,
// folding, parameters, order and line ends included, and so do components the change left alone and
// lines libical cannot read. A property the change altered is written where its first line stood;
// a component the change added is written before the end of its parent; one it removed is left out.
// A time written anew for the same moment, in the same form (date or date-time), counts as unchanged,
// so a floating time or a zone libical does not know stays as the file had it. Nothing when the text
// does not hold its calendar the way the parse does (the caller then writes the calendar whole).
std::optional<QByteArray> patchedText(const QByteArray &original, icalcomponent *before, icalcomponent *after);

// A copy of `onto` (another version of `before`, written by someone else meanwhile) with what the
// change from `before` to `after` did to the calendar's components (events, to-dos, zones, told
// apart as patchedText tells them) done to it too: a component the change added or altered takes
// the place of its namesake in `onto`, or is added; one it removed is removed. Everything else is
// as `onto` has it. The caller frees the copy.
icalcomponent *rebasedCalendar(icalcomponent *before, icalcomponent *after, icalcomponent *onto);

} // namespace platform::icalpatch
