#pragma once

#include <QDateTime>

#include <optional>

namespace platform {

// Seconds between 1904-01-01 00:00 UTC, the epoch of the platform's long date-times, and 1970-01-01.
constexpr qint64 kLongDateTimeEpochOffset = 2082844800;

// A long date-time ('ldt ') counts whole seconds since 1904-01-01 00:00 UTC. Both ends of the script
// bridge read and write it in UTC: local wall time would make the repeated hour of an autumn clock
// change ambiguous.
qint64 longDateTimeFromDate(const QDateTime &date);
// The instant in UTC; nothing for counts beyond what a date can hold.
std::optional<QDateTime> dateFromLongDateTime(qint64 secondsSince1904);

} // namespace platform
