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

} // namespace platform::icalpatch
