#include "platform/foundation/GregorianArithmetic.h"

#include <cmath>

namespace platform::gregorian {

namespace {

bool isLeapYear(int year)
{
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

void setDateOfDays(WallFields &fields, qint64 days)
{
    days += 719468;
    const qint64 era = floorDivide(days, 146097);
    const qint64 dayOfEra = days - era * 146097;
    const qint64 yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const qint64 dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const qint64 shiftedMonth = (5 * dayOfYear + 2) / 153;
    fields.day = int(dayOfYear - (153 * shiftedMonth + 2) / 5 + 1);
    fields.month = int(shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9);
    fields.year = int(yearOfEra + era * 400 + (fields.month <= 2 ? 1 : 0));
}

} // namespace

qint64 floorDivide(qint64 value, qint64 divisor)
{
    const qint64 quotient = value / divisor;
    return quotient * divisor > value ? quotient - 1 : quotient;
}

int daysInMonth(int year, int month)
{
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && isLeapYear(year) ? 29 : kDays[month - 1];
}

qint64 daysFromCivil(qint64 year, int month, int day)
{
    // Years counted from March, so that the leap day ends a year.
    year -= month <= 2 ? 1 : 0;
    const qint64 era = floorDivide(year, 400);
    const qint64 yearOfEra = year - era * 400;
    const qint64 dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const qint64 dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

int weekdayOfDays(qint64 days)
{
    // 1970-01-01 was a Thursday (5).
    const qint64 fromSunday = days + 4;
    return int(fromSunday - floorDivide(fromSunday, 7) * 7) + 1;
}

std::optional<WallFields> plainFieldsOfWallTime(qint64 wallMs)
{
    const qint64 days = floorDivide(wallMs, kMsPerDay);
    qint64 msOfDay = wallMs - days * kMsPerDay;
    WallFields fields;
    setDateOfDays(fields, days);
    if (fields.year < kFirstPlainYear || fields.year > kLastPlainYear)
        return std::nullopt;
    fields.hour = int(msOfDay / kMsPerHour);
    msOfDay %= kMsPerHour;
    fields.minute = int(msOfDay / kMsPerMinute);
    msOfDay %= kMsPerMinute;
    fields.second = int(msOfDay / kMsPerSecond);
    fields.millisecond = int(msOfDay % kMsPerSecond);
    return fields;
}

std::optional<qint64> wallTimeOfFields(const WallFields &fields)
{
    if (fields.year < kFirstPlainYear || fields.year > kLastPlainYear || fields.month < 1 || fields.month > 12 ||
        fields.day < 1 || fields.day > daysInMonth(fields.year, fields.month) || fields.hour < 0 || fields.hour > 23 ||
        fields.minute < 0 || fields.minute > 59 || fields.second < 0 || fields.second > 59 || fields.millisecond < 0 ||
        fields.millisecond > 999)
        return std::nullopt;
    return daysFromCivil(fields.year, fields.month, fields.day) * kMsPerDay + fields.hour * kMsPerHour +
           fields.minute * kMsPerMinute + fields.second * kMsPerSecond + fields.millisecond;
}

std::optional<WallFields> plainFieldsAt(qint64 utcMs, const TimeZone &zone)
{
    if (!(std::fabs(double(utcMs)) < kMaxAbsoluteMs))
        return std::nullopt;
    const std::optional<int32_t> offsetMs = zone.offsetMsAt(double(utcMs));
    if (!offsetMs)
        return std::nullopt;
    return plainFieldsOfWallTime(utcMs + *offsetMs);
}

std::optional<qint64> plainMomentOfWallTime(qint64 wallMs, const TimeZone &zone)
{
    if (!(std::fabs(double(wallMs)) < kMaxAbsoluteMs))
        return std::nullopt;
    const std::optional<int32_t> offsetMs = zone.offsetMsForWallTime(double(wallMs));
    if (!offsetMs)
        return std::nullopt;
    const qint64 utcMs = wallMs - *offsetMs;
    if (zone.offsetMsAt(double(utcMs - kMsPerDay)) != offsetMs ||
        zone.offsetMsAt(double(utcMs + kMsPerDay)) != offsetMs)
        return std::nullopt;
    return utcMs;
}

} // namespace platform::gregorian
