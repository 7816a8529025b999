#pragma once

#include <libical/ical.h>

namespace platform {

// Time zones that files define themselves (their VTIMEZONE), shared across the files of a process.
// libical works out a zone's changes of offset from its definition's rules anew for each parsed file,
// which costs far more than parsing the file; files that define a zone alike (those one program
// wrote, say) are read with one zone made from that definition, whose changes are worked out once.
// A parse registers its zones and lets them go when it is freed; a time of a zone no parse
// registered is read with its own zone. Thread-safe.
namespace icalzones {

// Registers the zones the VTIMEZONEs of a parsed VCALENDAR define, each with the shared zone of its
// definition. The tree must not change while registered.
void shareZonesOf(icalcomponent *calendar);
// Forgets the zones of a calendar registered before; called before the calendar is freed.
void forgetZonesOf(icalcomponent *calendar);
// The shared zone that reads as the zone does; the zone itself when none is registered for it.
const icaltimezone *sharedZoneFor(const icaltimezone *zone);

} // namespace icalzones
} // namespace platform
