#include "platform/foundation/Calendar.h"

#include "platform/foundation/TimeZoneTestSupport.h"

#include <gtest/gtest.h>

using namespace platform;
using testsupport::utc;
using testsupport::zone;

namespace {

std::string iso(const QDateTime &date)
{
    return date.isValid() ? date.toString(Qt::ISODateWithMs).toStdString() : std::string("invalid");
}

} // namespace

TEST(Calendar, AddsUnitsKeepingMonthEndsAndWallClockTimes)
{
    struct Row
    {
        const char *name;
        const char *zone;
        const char *date;
        qint64 amount;
        CalendarUnit unit;
        const char *expected;
    };
    const Row rows[] = {
        {"31 January plus a month in a leap year", "GMT", "2024-01-31T10:00:00Z", 1, CalendarUnit::Month,
         "2024-02-29T10:00:00.000Z"},
        {"31 January plus a month in a common year", "GMT", "2023-01-31T10:00:00Z", 1, CalendarUnit::Month,
         "2023-02-28T10:00:00.000Z"},
        {"31 March less a month", "GMT", "2024-03-31T00:00:00Z", -1, CalendarUnit::Month, "2024-02-29T00:00:00.000Z"},
        {"a year of months", "GMT", "2024-01-15T08:00:00Z", 12, CalendarUnit::Month, "2025-01-15T08:00:00.000Z"},
        {"29 February plus a year", "GMT", "2024-02-29T08:00:00Z", 1, CalendarUnit::Year, "2025-02-28T08:00:00.000Z"},
        // 9 March 2024 12:00 PST; the clocks go forward on the 10th.
        {"a day across the spring change keeps noon", "US/Pacific", "2024-03-09T20:00:00Z", 1, CalendarUnit::Day,
         "2024-03-10T19:00:00.000Z"},
        {"24 hours across the spring change", "US/Pacific", "2024-03-09T20:00:00Z", 24, CalendarUnit::Hour,
         "2024-03-10T20:00:00.000Z"},
        {"a month across the autumn change keeps the time", "US/Pacific", "2024-10-31T16:00:00Z", 1,
         CalendarUnit::Month, "2024-11-30T17:00:00.000Z"},
        {"minutes", "GMT", "2024-01-01T00:00:00Z", -90, CalendarUnit::Minute, "2023-12-31T22:30:00.000Z"},
        {"seconds keep milliseconds", "GMT", "2024-01-01T00:00:00.250Z", 61, CalendarUnit::Second,
         "2024-01-01T00:01:01.250Z"},
        {"a weekday is no amount to add", "GMT", "2024-01-01T00:00:00Z", 1, CalendarUnit::Weekday, nullptr},
        {"days beyond 32 bits", "GMT", "2024-01-01T00:00:00Z", qint64(1) << 40, CalendarUnit::Day, nullptr},
        {"seconds beyond 64 bits of milliseconds", "GMT", "2024-01-01T00:00:00Z", qint64(1) << 62, CalendarUnit::Second,
         nullptr},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const Calendar calendar(zone(row.zone));
        const QDateTime result = calendar.adding(row.amount, row.unit, utc(row.date));
        EXPECT_EQ(iso(result), row.expected ? std::string(row.expected) : std::string("invalid"));
    }
    EXPECT_FALSE(Calendar(TimeZone::gmt()).adding(1, CalendarUnit::Day, QDateTime()).isValid());
}

TEST(Calendar, CountsWholeUnitsBetweenDatesTowardZero)
{
    struct Row
    {
        const char *name;
        const char *zone;
        const char *from;
        const char *to;
        CalendarUnit unit;
        std::optional<qint64> expected;
    };
    // Midnight of 10 March 2024 in US/Pacific to midnight of the 11th: a calendar day of 23 hours.
    const char *springMidnight = "2024-03-10T08:00:00Z";
    const char *nextMidnight = "2024-03-11T07:00:00Z";
    const Row rows[] = {
        {"a short day is one day", "US/Pacific", springMidnight, nextMidnight, CalendarUnit::Day, 1},
        {"backwards across it", "US/Pacific", nextMidnight, springMidnight, CalendarUnit::Day, -1},
        {"but only 23 hours", "US/Pacific", springMidnight, nextMidnight, CalendarUnit::Hour, 23},
        {"and 82,800 seconds", "US/Pacific", springMidnight, nextMidnight, CalendarUnit::Second, 82800},
        {"the same span in GMT is no whole day", "GMT", springMidnight, nextMidnight, CalendarUnit::Day, 0},
        {"90 seconds are one minute", "GMT", "2024-01-01T00:00:00Z", "2024-01-01T00:01:30Z", CalendarUnit::Minute, 1},
        {"and minus one backwards", "GMT", "2024-01-01T00:01:30Z", "2024-01-01T00:00:00Z", CalendarUnit::Minute, -1},
        {"a second short of a minute", "GMT", "2024-01-01T00:00:00.001Z", "2024-01-01T00:01:00Z", CalendarUnit::Minute,
         0},
        {"months", "GMT", "2024-01-15T00:00:00Z", "2024-03-15T00:00:00Z", CalendarUnit::Month, 2},
        {"a day short of two months", "GMT", "2024-01-15T00:00:00Z", "2024-03-14T23:59:59Z", CalendarUnit::Month, 1},
        {"months backwards", "GMT", "2024-03-15T00:00:00Z", "2023-12-20T00:00:00Z", CalendarUnit::Month, -2},
        {"years", "GMT", "2020-02-29T00:00:00Z", "2024-02-28T00:00:00Z", CalendarUnit::Year, 3},
        {"seconds over a century", "GMT", "1950-01-01T00:00:00Z", "2050-01-01T00:00:00Z", CalendarUnit::Second,
         qint64(3155760000)},
        {"weekdays are not counted", "GMT", "2024-01-01T00:00:00Z", "2024-02-01T00:00:00Z", CalendarUnit::Weekday,
         std::nullopt},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const Calendar calendar(zone(row.zone));
        EXPECT_EQ(calendar.unitsBetween(row.unit, utc(row.from), utc(row.to)), row.expected);
    }
    EXPECT_EQ(Calendar(TimeZone::gmt()).unitsBetween(CalendarUnit::Second, QDateTime(), utc("2024-01-01T00:00:00Z")),
              std::nullopt);
}

TEST(Calendar, GivesComponentsWithSundayAsTheFirstWeekday)
{
    struct Row
    {
        const char *name;
        const char *zone;
        const char *date;
        int year, month, day, hour, minute, second, weekday, weekdayOrdinal, weekOfMonth;
    };
    const Row rows[] = {
        // March 2024 starts on a Friday: its weeks begin on the 1st, 3rd, 10th, 17th, 24th and 31st.
        {"first day, a Friday", "GMT", "2024-03-01T12:00:00Z", 2024, 3, 1, 12, 0, 0, 6, 1, 1},
        {"first Sunday opens week 2", "GMT", "2024-03-03T00:00:00Z", 2024, 3, 3, 0, 0, 0, 1, 1, 2},
        {"third Tuesday", "GMT", "2024-03-19T23:59:59Z", 2024, 3, 19, 23, 59, 59, 3, 3, 4},
        {"fifth Sunday in week 6", "GMT", "2024-03-31T10:20:30Z", 2024, 3, 31, 10, 20, 30, 1, 5, 6},
        {"the same moment in US/Pacific is still 29 February", "US/Pacific", "2024-03-01T05:00:00Z", 2024, 2, 29, 21, 0,
         0, 5, 5, 5},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const DateComponents parts = Calendar(zone(row.zone)).components(utc(row.date));
        EXPECT_EQ(parts.year, row.year);
        EXPECT_EQ(parts.month, row.month);
        EXPECT_EQ(parts.day, row.day);
        EXPECT_EQ(parts.hour, row.hour);
        EXPECT_EQ(parts.minute, row.minute);
        EXPECT_EQ(parts.second, row.second);
        EXPECT_EQ(parts.weekday, row.weekday);
        EXPECT_EQ(parts.weekdayOrdinal, row.weekdayOrdinal);
        EXPECT_EQ(parts.weekOfMonth, row.weekOfMonth);
    }
    EXPECT_EQ(Calendar(TimeZone::gmt()).component(CalendarUnit::Month, utc("2024-12-31T23:00:00Z")), 12);
    EXPECT_EQ(Calendar(TimeZone::gmt()).component(CalendarUnit::Day, QDateTime()), std::nullopt);
}

TEST(Calendar, BuildsDatesFromComponentsInItsZone)
{
    const Calendar pacific(zone("US/Pacific"));
    DateComponents parts;
    parts.year = 2024;
    parts.month = 1;
    parts.day = 15;
    parts.hour = 12;
    EXPECT_EQ(iso(pacific.date(parts)), "2024-01-15T20:00:00.000Z");

    // Month 13 is January of the next year; day 0 the last day of the month before.
    parts.month = 13;
    parts.day = 0;
    EXPECT_EQ(iso(pacific.date(parts)), "2024-12-31T20:00:00.000Z");

    // The second Tuesday of March 2024 (after the spring change) at 09:30.
    DateComponents nth;
    nth.year = 2024;
    nth.month = 3;
    nth.weekday = 3;
    nth.weekdayOrdinal = 2;
    nth.hour = 9;
    nth.minute = 30;
    EXPECT_EQ(iso(pacific.date(nth)), "2024-03-12T16:30:00.000Z");
    // A day, when given, wins over the weekday.
    nth.day = 20;
    EXPECT_EQ(iso(pacific.date(nth)), "2024-03-20T16:30:00.000Z");

    // Components read back the date they came from.
    const QDateTime moment = utc("2024-07-04T18:45:12Z");
    EXPECT_EQ(pacific.date(pacific.components(moment)), moment);
}

TEST(Calendar, ReadsSkippedAndRepeatedWallClockTimesOnTheSideOfTheEarlierOffset)
{
    struct Row
    {
        const char *name;
        const char *zone;
        int year, month, day, hour, minute;
        const char *expected;
    };
    const Row rows[] = {
        // 02:30 does not exist on 10 March 2024 in US/Pacific: read as 02:30 PST, which is 03:30 PDT.
        {"skipped spring hour", "US/Pacific", 2024, 3, 10, 2, 30, "2024-03-10T10:30:00.000Z"},
        {"just after the spring change", "US/Pacific", 2024, 3, 10, 3, 0, "2024-03-10T10:00:00.000Z"},
        // 01:30 happens twice on 3 November 2024: the first time, still on PDT.
        {"repeated autumn hour", "US/Pacific", 2024, 11, 3, 1, 30, "2024-11-03T08:30:00.000Z"},
        {"just after the autumn change", "US/Pacific", 2024, 11, 3, 2, 0, "2024-11-03T10:00:00.000Z"},
        // Sydney's daylight saving runs from October to April.
        {"southern summer", "Australia/Sydney", 2024, 1, 15, 12, 0, "2024-01-15T01:00:00.000Z"},
        {"southern winter", "Australia/Sydney", 2024, 7, 15, 12, 0, "2024-07-15T02:00:00.000Z"},
        {"skipped southern hour", "Australia/Sydney", 2024, 10, 6, 2, 30, "2024-10-05T16:30:00.000Z"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        DateComponents parts;
        parts.year = row.year;
        parts.month = row.month;
        parts.day = row.day;
        parts.hour = row.hour;
        parts.minute = row.minute;
        EXPECT_EQ(iso(Calendar(zone(row.zone)).date(parts)), row.expected);
    }
}

TEST(Calendar, TakesANewZoneForEveryLaterOperationAndCopiesStayApart)
{
    Calendar calendar(TimeZone::gmt());
    const Calendar copy = calendar;
    calendar.setTimeZone(zone("US/Pacific"));
    EXPECT_EQ(calendar.timeZone().name(), QStringLiteral("US/Pacific"));
    const QDateTime moment = utc("2024-01-15T03:00:00Z");
    EXPECT_EQ(calendar.component(CalendarUnit::Day, moment), 14);
    EXPECT_EQ(copy.component(CalendarUnit::Day, moment), 15);
    EXPECT_EQ(copy.timeZone().name(), QStringLiteral("GMT"));
}
