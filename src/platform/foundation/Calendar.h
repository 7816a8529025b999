#pragma once

#include "platform/foundation/TimeZone.h"

#include <QDateTime>

#include <unicode/gregocal.h>

#include <memory>
#include <mutex>
#include <optional>

namespace platform {

// The calendar units, numbered as the platform's calendar-unit flags so that callers holding those
// numbers can convert them directly.
enum class CalendarUnit : unsigned {
    Year = 4,
    Month = 8,
    Day = 16,
    Hour = 32,
    Minute = 64,
    Second = 128,
    Weekday = 512,
    WeekdayOrdinal = 1024,
    WeekOfMonth = 4096,
};

// The parts of a date in a calendar's zone. components() fills every field; date() uses the fields
// that are set.
struct DateComponents
{
    std::optional<int> year;
    std::optional<int> month; // 1 to 12
    std::optional<int> day;   // 1 to 31
    std::optional<int> hour;  // 0 to 23
    std::optional<int> minute;
    std::optional<int> second;
    std::optional<int> weekday;        // 1 Sunday to 7 Saturday
    std::optional<int> weekdayOrdinal; // 1 for the month's first such weekday, 2 for the second, ...
    std::optional<int> weekOfMonth;    // 1 for the week holding the 1st; weeks start on Sunday
};

// The Gregorian calendar with weeks starting on Sunday, in a settable zone (the process's default zone
// at creation). ICU's calendar behind it is built at the first operation that needs it. A value:
// copies are independent. Calls on one object from several threads need no lock as long as none of
// them is setTimeZone().
class Calendar final
{
public:
    Calendar();
    explicit Calendar(const TimeZone &zone);
    Calendar(const Calendar &other);
    Calendar &operator=(const Calendar &other);
    ~Calendar();

    const TimeZone &timeZone() const { return m_zone; }
    void setTimeZone(const TimeZone &zone);

    // The parts of the date in this calendar's zone; all empty for an invalid date.
    DateComponents components(const QDateTime &date) const;
    // One part of the date; std::nullopt for an invalid date.
    std::optional<int> component(CalendarUnit unit, const QDateTime &date) const;

    // The moment the components name in this calendar's zone. Missing date fields count from 1
    // January of year 1, missing time fields from 00:00:00; values out of range carry over (month 13
    // is January of the next year). Without a day, a weekday with its ordinal or its week of the
    // month picks the day. An invalid QDateTime when ICU cannot compute it.
    QDateTime date(const DateComponents &components) const;

    // The date moved by the amount of the unit. Months and years keep the day where the target month
    // has it and otherwise give that month's last day; days keep the wall-clock time across daylight
    // saving changes; hours, minutes and seconds are elapsed time. An invalid QDateTime for an
    // invalid date, another unit, or a result out of range.
    QDateTime adding(qint64 amount, CalendarUnit unit, const QDateTime &date) const;

    // Whole units (year, month, day, hour, minute or second) from the first date to the second,
    // negative when the second is earlier, truncated toward zero. Days and longer count calendar days
    // in this zone, so a day of 23 hours across a daylight saving change is one day. std::nullopt for
    // an invalid date, another unit, or a count beyond 32 bits for days and longer.
    std::optional<qint64> unitsBetween(CalendarUnit unit, const QDateTime &from, const QDateTime &to) const;

private:
    // A fresh ICU calendar at the moment, so that const operations share no mutable state.
    std::unique_ptr<icu::Calendar> icuCalendarAt(UDate moment) const;
    // A fresh copy of the calendar, cleared of its moment.
    std::unique_ptr<icu::Calendar> icuCalendarCopy() const;

    TimeZone m_zone;
    // Built by the first operation; the mutex guards only its building.
    mutable std::mutex m_buildMutex;
    mutable std::unique_ptr<icu::GregorianCalendar> m_calendar;
};

} // namespace platform
