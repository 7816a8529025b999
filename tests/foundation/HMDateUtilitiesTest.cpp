#include "foundation/HMDateUtilities.h"

#include "ConsoleCapture.h"
#include "QtPrinters.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/Locale.h"

#include <gtest/gtest.h>

using platform::CalendarUnit;
using platform::TimeZone;

namespace {

// Runs each case with Berlin as the process's local zone, so that local and GMT texts differ.
class SyncDates : public testing::Test
{
protected:
    void SetUp() override { TimeZone::setDefaultTimeZone(TimeZone::named(QStringLiteral("Europe/Berlin")).value()); }
    void TearDown() override
    {
        TimeZone::setDefaultTimeZone(std::nullopt);
        platform::Clock::setSource({});
    }

    static QDateTime utc(int year, int month, int day, int hour = 0, int minute = 0, int second = 0)
    {
        return QDateTime(QDate(year, month, day), QTime(hour, minute, second), Qt::UTC);
    }
};

} // namespace

TEST_F(SyncDates, ParsesRecordDateAndTimeTextsLocallyAndInGmt)
{
    HMDateUtilities dates;
    const QVariant day(QStringLiteral("20240115"));
    const QVariant noon(QStringLiteral("12:00:00"));

    EXPECT_EQ(dates.dateFromDateString(day, noon), utc(2024, 1, 15, 11)) << "noon in Berlin";
    EXPECT_EQ(dates.dateFromDateString(day, QVariant(QString())), utc(2024, 1, 14, 23)) << "an empty time";
    EXPECT_EQ(dates.dateFromDateString(day, QVariant()), utc(2024, 1, 14, 23)) << "no time";
    EXPECT_FALSE(dates.dateFromDateString(day, QStringLiteral("1200")).isValid());
    EXPECT_FALSE(dates.dateFromDateString(QVariant(), QVariant()).isValid());
    EXPECT_FALSE(dates.dateFromDateString(QVariant(), noon).isValid()) << "a time without a date";
    EXPECT_FALSE(dates.dateFromDateString(20240115, noon).isValid()) << "a date that is not text";
    EXPECT_FALSE(dates.dateFromDateString(day, 12).isValid()) << "a time that is not text";
    EXPECT_FALSE(dates.dateFromDateString(QStringLiteral("20240230"), noon).isValid()) << "no such day";

    EXPECT_EQ(dates.dateFromGmtDateString(day, noon), utc(2024, 1, 15, 12));
    EXPECT_EQ(dates.dateFromGmtDateString(day, QVariant()), utc(2024, 1, 15));
    EXPECT_FALSE(dates.dateFromGmtDateString(20240115, noon).isValid()) << "a number is refused, not misread";
}

TEST_F(SyncDates, FormatsTheSyncTextsOfADate)
{
    HMDateUtilities dates;
    const QDateTime lateEvening = utc(2024, 1, 15, 23, 30, 5);
    EXPECT_EQ(dates.dateStringFromDateFormattedForSync(lateEvening), QStringLiteral("20240116"));
    EXPECT_EQ(dates.timeStringFromDateFormattedForSync(lateEvening), QStringLiteral("00:30:05"));
    EXPECT_EQ(dates.dateGmtStringFromDateFormattedForSync(lateEvening), QStringLiteral("20240115"));
    EXPECT_EQ(dates.timeGmtStringFromDateFormattedForSync(lateEvening), QStringLiteral("23:30:05"));
    EXPECT_EQ(dates.localDateTimeStringFromDate(lateEvening), QStringLiteral("2024-01-16 00:30:05"));
    EXPECT_EQ(dates.gmtDateTimeStringFromDate(lateEvening), QStringLiteral("2024-01-15 23:30:05"));
    EXPECT_TRUE(dates.dateStringFromDateFormattedForSync(QDateTime()).isNull());
    EXPECT_TRUE(dates.gmtDateTimeStringFromDate(QDateTime()).isNull());

    // What is written reads back as the same moment.
    EXPECT_EQ(dates.dateFromDateString(dates.dateStringFromDateFormattedForSync(lateEvening),
                                       dates.timeStringFromDateFormattedForSync(lateEvening)),
              lateEvening);
    EXPECT_EQ(dates.dateFromGmtDateTimeString(dates.gmtDateTimeStringFromDate(lateEvening)), lateEvening);
}

TEST_F(SyncDates, ReadsDateTimeTextsWithTheirFallbacks)
{
    HMDateUtilities dates;
    EXPECT_FALSE(dates.dateFromDateTimeString(QStringLiteral("0000-00-00 00:00:00")).isValid());
    EXPECT_FALSE(dates.dateFromDateTimeString(QString()).isValid());
    EXPECT_EQ(dates.dateFromDateTimeString(QStringLiteral("2024-07-01 10:00:00")), utc(2024, 7, 1, 8));

    EXPECT_EQ(dates.dateFromLocalDateTimeString(QStringLiteral("2024-07-01 10:00:00")), utc(2024, 7, 1, 8));
    EXPECT_NE(dates.fullDateFormatter().locale().identifier(), QStringLiteral("en_us"));
    EXPECT_FALSE(dates.dateFromLocalDateTimeString(QStringLiteral("1 July 2024")).isValid());
    EXPECT_EQ(dates.fullDateFormatter().locale().identifier(), QStringLiteral("en_us"))
        << "a failed parse leaves the formatter in en_us for good";
    EXPECT_EQ(dates.localDateTimeStringFromDate(utc(2024, 7, 1, 8)), QStringLiteral("2024-07-01 10:00:00"));

    EXPECT_EQ(dates.dateFromGmtDateTimeString(QStringLiteral("2024-07-01 10:00:00")), utc(2024, 7, 1, 10));
    EXPECT_EQ(dates.fullDateGmtFormatter().locale(), platform::Locale::system());
}

TEST_F(SyncDates, ReadsCloudTimeStampsAndReportsOthersOnTheConsole)
{
    HMDateUtilities dates;
    ConsoleCapture console;
    EXPECT_EQ(dates.dateFromMySqlDateTimeString(QStringLiteral("2014-03-05T10:20:30+0100")), utc(2014, 3, 5, 9, 20, 30));
    EXPECT_EQ(dates.dateFromMySqlDateTimeString(QStringLiteral("2014-03-05T10:20:30-0800")), utc(2014, 3, 5, 18, 20, 30));
    EXPECT_TRUE(console.messages().isEmpty());

    EXPECT_FALSE(dates.dateFromMySqlDateTimeString(QStringLiteral("2014-03-05 10:20:30")).isValid());
    const QStringList messages = console.messages();
    ASSERT_EQ(messages.size(), 1);
    EXPECT_TRUE(messages.first().startsWith(QStringLiteral("Date '2014-03-05 10:20:30' could not be parsed: ")))
        << messages.first().toStdString();
    EXPECT_FALSE(dates.dateFromMySqlDateTimeString(QString()).isValid());
    EXPECT_EQ(console.messages().size(), 1) << "no text is not reported";
}

TEST_F(SyncDates, DoesCalendarArithmeticInTheCalendarsZone)
{
    HMDateUtilities dates;
    const QDateTime endOfJanuary = utc(2024, 1, 31, 10);
    EXPECT_EQ(dates.dateMonths(1, endOfJanuary), utc(2024, 2, 29, 10)) << "the last day of February";
    EXPECT_EQ(dates.dateMonths(-2, endOfJanuary), utc(2023, 11, 30, 10));

    platform::Clock::setSource([] { return QDateTime(QDate(2024, 3, 31), QTime(12, 0), Qt::UTC); });
    EXPECT_EQ(dates.today(), utc(2024, 3, 31, 12));
    EXPECT_EQ(dates.monthsFromToday(-1), utc(2024, 2, 29, 13)) << "14:00 in Berlin, across the clock change";

    const QDateTime start = utc(2024, 5, 1, 10);
    EXPECT_EQ(dates.minutesFromDate(start, start.addSecs(90)), 1);
    EXPECT_EQ(dates.minutesFromDate(start, start.addSecs(-90)), -1);
    EXPECT_EQ(dates.minutesFromDate(start, QDateTime()), 0);
    EXPECT_EQ(dates.componentsOf(CalendarUnit::Day, start, start.addDays(3).addSecs(-1)), 2);
    EXPECT_EQ(dates.componentsOf(CalendarUnit::Second, start, start.addSecs(-75)), -75);
    EXPECT_EQ(dates.componentsOf(CalendarUnit::Month, start, utc(2024, 8, 1, 10)), 3);
    EXPECT_EQ(dates.componentsOf(CalendarUnit::Month, utc(2024, 8, 31, 23, 30)), 9) << "September in Berlin";
    EXPECT_EQ(dates.componentsOf(CalendarUnit::Day, utc(2024, 8, 31, 23, 30)), 1);
    EXPECT_EQ(dates.componentsOf(CalendarUnit::Second, utc(2024, 8, 31, 23, 30, 42)), 42);

    EXPECT_EQ(dates.dateByAdding(2, CalendarUnit::Day, start), utc(2024, 5, 3, 10));
    EXPECT_EQ(dates.dateByAdding(-30, CalendarUnit::Minute, start), utc(2024, 5, 1, 9, 30));
    const auto week = static_cast<CalendarUnit>(256);
    EXPECT_EQ(dates.dateByAdding(1, week, start), start) << "a unit outside the five leaves the date";
    EXPECT_EQ(dates.dateByAdding(1, CalendarUnit::Year, start), start);
}

TEST_F(SyncDates, FindsMidnightAndNoonOfTheDayAndCanMoveToAnotherZoneForGood)
{
    HMDateUtilities dates;
    const QDateTime lateEvening = utc(2024, 7, 10, 22, 30); // 00:30 on 11 July in Berlin
    EXPECT_EQ(dates.dateAtMidnightForDate(lateEvening), utc(2024, 7, 10, 22));
    EXPECT_EQ(dates.dateWithNoonTimeForDate(lateEvening), utc(2024, 7, 11, 10));
    EXPECT_FALSE(dates.dateAtMidnightForDate(QDateTime()).isValid());

    const TimeZone pacific = TimeZone::named(QStringLiteral("US/Pacific")).value();
    EXPECT_EQ(dates.dateAtMidnightInTimeZone(pacific, lateEvening), utc(2024, 7, 10, 7));
    EXPECT_EQ(dates.calendar().timeZone(), pacific);
    EXPECT_EQ(dates.dateWithNoonTimeForDate(lateEvening), utc(2024, 7, 10, 19)) << "the calendar keeps the zone";
    EXPECT_EQ(dates.dateStringFromDateFormattedForSync(lateEvening), QStringLiteral("20240711"))
        << "the formatters keep the process's zone";
}
