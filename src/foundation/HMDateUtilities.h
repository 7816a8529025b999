#pragma once

#include "platform/foundation/Calendar.h"
#include "platform/foundation/DateFormatter.h"
#include "platform/foundation/TimeZone.h"

#include <QDateTime>
#include <QString>
#include <QVariant>

#include <array>
#include <cstddef>
#include <optional>

// Formats and parses the date and time texts of sync records and of the wire, and does the calendar
// arithmetic of the sync code. Every owner (a data source, the sync controller, a transport) makes its
// own instance and uses it on its own queue only: the formatters and the calendar are mutable state.
// Dates go in and come out as UTC QDateTime values; an invalid QDateTime stands for no date, and no
// date in gives none out.
class HMDateUtilities final
{
public:
    HMDateUtilities();
    HMDateUtilities(const HMDateUtilities &) = delete;
    HMDateUtilities &operator=(const HMDateUtilities &) = delete;

    // The user's calendar as it was when the object was made, in the process's default zone until
    // dateAtMidnightInTimeZone() changes it.
    platform::Calendar &calendar() { return m_calendar; }

    // The formatters, each made on first use and kept. "Local" is the process's default zone.
    platform::DateFormatter &dateOnlySyncFormatter() { return formatter(Format::DateOnlySync); }
    platform::DateFormatter &timeOnlySyncformatter() { return formatter(Format::TimeOnlySync); }
    platform::DateFormatter &fullDateSyncFormatter() { return formatter(Format::FullDateSync); }
    platform::DateFormatter &dateOnlyGmtSyncFormatter() { return formatter(Format::DateOnlyGmtSync); }
    platform::DateFormatter &timeOnlyGmtSyncformatter() { return formatter(Format::TimeOnlyGmtSync); }
    platform::DateFormatter &fullDateGmtSyncFormatter() { return formatter(Format::FullDateGmtSync); }
    platform::DateFormatter &dateOnlyFormatter() { return formatter(Format::DateOnly); }
    platform::DateFormatter &fullDateFormatter() { return formatter(Format::FullDate); }
    platform::DateFormatter &fullDateGmtFormatter() { return formatter(Format::FullDateGmt); }

    // Formatting; a null text for no date.
    QString dateStringFromDateFormattedForSync(const QDateTime &date);
    QString timeStringFromDateFormattedForSync(const QDateTime &date);
    QString dateGmtStringFromDateFormattedForSync(const QDateTime &date);
    QString timeGmtStringFromDateFormattedForSync(const QDateTime &date);
    QString localDateTimeStringFromDate(const QDateTime &date);
    QString gmtDateTimeStringFromDate(const QDateTime &date);

    // The local sync date ("yyyyMMdd") and time ("HH:mm:ss") of a record. A date without a time (none
    // or empty) gives the start of that day. Values that are not text give no date.
    QDateTime dateFromDateString(const QVariant &dateString, const QVariant &timeString);
    // The same in GMT.
    QDateTime dateFromGmtDateString(const QVariant &dateString, const QVariant &timeString);

    // "yyyy-MM-dd HH:mm:ss" in the local zone; "0000-00-00 00:00:00" is no date.
    QDateTime dateFromDateTimeString(const QString &text);
    // "yyyy-MM-dd HH:mm:ss" in the local zone. When the text does not parse in the user's locale the
    // local full-date formatter changes to "en_us" for good and parses again.
    QDateTime dateFromLocalDateTimeString(const QString &text);
    // "yyyy-MM-dd HH:mm:ss" in GMT; the GMT full-date formatter takes the neutral locale for good.
    QDateTime dateFromGmtDateTimeString(const QString &text);
    // The cloud's time stamps, "yyyy-MM-dd'T'HH:mm:ssZZZ" whose offset sets the zone. A text that does
    // not match is written to the console.
    QDateTime dateFromMySqlDateTimeString(const QString &text);

    // The current moment (not the start of the day).
    QDateTime today() const;
    // The date moved by whole calendar months; a day the target month lacks becomes its last day.
    QDateTime dateMonths(qint64 count, const QDateTime &date) const;
    QDateTime monthsFromToday(qint64 count) const;
    // Whole minutes from the first date to the second, truncated toward zero; 0 without two dates.
    qint64 minutesFromDate(const QDateTime &from, const QDateTime &to) const;
    // Whole units (months, days or seconds) from the first date to the second; 0 for other units or
    // without two dates.
    qint64 componentsOf(platform::CalendarUnit unit, const QDateTime &from, const QDateTime &to) const;
    // The month (1-12), day of the month or second (0-59) of the date; 0 for other units or no date.
    int componentsOf(platform::CalendarUnit unit, const QDateTime &date) const;
    // 00:00:00 and 12:00:00 of the date's day in the calendar's zone.
    QDateTime dateAtMidnightForDate(const QDateTime &date) const;
    QDateTime dateWithNoonTimeForDate(const QDateTime &date) const;
    // Moves the calendar to the zone for good, then gives 00:00:00 of the date's day there.
    QDateTime dateAtMidnightInTimeZone(const platform::TimeZone &zone, const QDateTime &date);
    // The date plus the amount of a month, day, hour, minute or second; any other unit leaves it as is.
    QDateTime dateByAdding(qint64 amount, platform::CalendarUnit unit, const QDateTime &date) const;

private:
    enum class Format {
        DateOnlySync,    // "yyyyMMdd", local
        TimeOnlySync,    // "HH:mm:ss", local
        FullDateSync,    // "yyyyMMdd HH:mm:ss", local
        DateOnlyGmtSync, // "yyyyMMdd", GMT
        TimeOnlyGmtSync, // "HH:mm:ss", GMT
        FullDateGmtSync, // "yyyyMMdd HH:mm:ss", GMT
        DateOnly,        // "yyyy-MM-dd", local
        FullDate,        // "yyyy-MM-dd HH:mm:ss", local
        FullDateGmt,     // "yyyy-MM-dd HH:mm:ss", GMT
    };
    static constexpr std::size_t kFormatCount = std::size_t(Format::FullDateGmt) + 1;
    // The formatter of the format, made on first use.
    platform::DateFormatter &formatter(Format format);
    QDateTime dateAtHourOfDay(const QDateTime &date, int hour) const;

    platform::Calendar m_calendar;
    std::array<std::optional<platform::DateFormatter>, kFormatCount> m_formatters;
};
