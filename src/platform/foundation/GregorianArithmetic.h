#pragma once

#include "platform/foundation/TimeZone.h"

#include <QtGlobal>

#include <optional>

namespace platform::gregorian {

// Date arithmetic of the Gregorian calendar done without ICU, for the dates where it is plain: the
// years 1600 to 9999 (long after the Julian calendar's end, four digits) in zones whose offsets come
// from the system's zone data. Callers take ICU's way for anything else.

constexpr qint64 kMsPerSecond = 1000;
constexpr qint64 kMsPerMinute = 60 * kMsPerSecond;
constexpr qint64 kMsPerHour = 60 * kMsPerMinute;
constexpr qint64 kMsPerDay = 24 * kMsPerHour;
constexpr int kFirstPlainYear = 1600;
constexpr int kLastPlainYear = 9999;
// Beyond any moment of those years, so that the arithmetic stays far from overflow.
constexpr double kMaxAbsoluteMs = 1.0e15;

// The fields of a local wall-clock time.
struct WallFields
{
    int year = 1970;
    int month = 1; // 1 to 12
    int day = 1;
    int hour = 0;
    int minute = 0;
    int second = 0;
    int millisecond = 0;
};

qint64 floorDivide(qint64 value, qint64 divisor);
int daysInMonth(int year, int month);
// Days since 1970-01-01 of a date.
qint64 daysFromCivil(qint64 year, int month, int day);
// The weekday of a day since 1970-01-01: 1 for Sunday to 7 for Saturday.
int weekdayOfDays(qint64 days);

// The fields of a wall-clock time (milliseconds since 1970 on the local clock); std::nullopt outside
// the plain years.
std::optional<WallFields> plainFieldsOfWallTime(qint64 wallMs);
// The wall-clock time of fields in range; std::nullopt for fields that name no time of the plain years.
std::optional<qint64> wallTimeOfFields(const WallFields &fields);

// The local fields of a moment in the zone; std::nullopt where the arithmetic is not plain.
std::optional<WallFields> plainFieldsAt(qint64 utcMs, const TimeZone &zone);
// The moment a wall-clock time names in the zone when the zone keeps one offset for a day on either
// side (no time skipped or given twice nearby); std::nullopt otherwise.
std::optional<qint64> plainMomentOfWallTime(qint64 wallMs, const TimeZone &zone);

} // namespace platform::gregorian
