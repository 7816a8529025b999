#include "platform/eventkit/CalRecurrenceRule.h"

#include <QTimeZone>

#include <gtest/gtest.h>

using namespace platform;

namespace {

QString ruleText(const CalRecurrenceRule &rule)
{
    const QString description = rule.description();
    return description.mid(description.indexOf(QLatin1String("FREQ=")));
}

} // namespace

TEST(CalRecurrenceRule, EachInitialiserGivesItsRuleText)
{
    const std::optional<CalRecurrenceEnd> none;
    const CalRecurrenceEnd onDate =
        CalRecurrenceEnd::recurrenceEndWithEndDate(QDateTime(QDate(2024, 5, 31), QTime(23, 59, 59), QTimeZone::utc()));
    const CalRecurrenceEnd afterFive = CalRecurrenceEnd::recurrenceEndWithOccurrenceCount(5);
    struct Row
    {
        const char *name;
        CalRecurrenceRule rule;
        CalRecurrenceType type;
        const char *text;
    };
    const Row rows[] = {
        {"daily", CalRecurrenceRule::initDailyRecurrenceWithInterval(3, afterFive), CalRecurrenceType::Daily,
         "FREQ=DAILY;INTERVAL=3;COUNT=5"},
        {"weekly", CalRecurrenceRule::initWeeklyRecurrenceWithInterval(1, none), CalRecurrenceType::Weekly,
         "FREQ=WEEKLY;INTERVAL=1"},
        {"weekly on days", CalRecurrenceRule::initWeeklyRecurrenceWithInterval(2, {2, 4}, onDate),
         CalRecurrenceType::Weekly, "FREQ=WEEKLY;INTERVAL=2;UNTIL=20240531T235959Z;BYDAY=MO,WE"},
        {"monthly", CalRecurrenceRule::initMonthlyRecurrenceWithInterval(1, none), CalRecurrenceType::Monthly,
         "FREQ=MONTHLY;INTERVAL=1"},
        {"monthly on days of the month", CalRecurrenceRule::initMonthlyRecurrenceWithInterval(1, QList<int>{15}, none),
         CalRecurrenceType::Monthly, "FREQ=MONTHLY;INTERVAL=1;BYMONTHDAY=15"},
        {"monthly on the nth weekday", CalRecurrenceRule::initMonthlyRecurrenceWithInterval(2, 3, 2, none),
         CalRecurrenceType::Monthly, "FREQ=MONTHLY;INTERVAL=2;BYDAY=2TU"},
        {"yearly", CalRecurrenceRule::initYearlyRecurrenceWithInterval(1, none), CalRecurrenceType::Yearly,
         "FREQ=YEARLY;INTERVAL=1"},
        {"yearly on the nth weekday of months",
         CalRecurrenceRule::initYearlyRecurrenceWithInterval(1, 1, -1, {3}, none), CalRecurrenceType::Yearly,
         "FREQ=YEARLY;INTERVAL=1;BYDAY=-1SU;BYMONTH=3"},
        {"an interval of 0 is kept but written as 1", CalRecurrenceRule::initDailyRecurrenceWithInterval(0, none),
         CalRecurrenceType::Daily, "FREQ=DAILY;INTERVAL=1"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(row.rule.recurrenceType(), row.type);
        EXPECT_EQ(ruleText(row.rule), QString::fromLatin1(row.text));
        EXPECT_TRUE(row.rule.description().startsWith(QLatin1String("CalRecurrenceRule ")));
    }
}

TEST(CalRecurrenceRule, ListsWeekdaysAsNumbersOrNthWeekdays)
{
    const CalRecurrenceRule weekly = CalRecurrenceRule::initWeeklyRecurrenceWithInterval(1, {2, 6}, std::nullopt);
    ASSERT_EQ(weekly.daysOfTheWeek().size(), 2);
    EXPECT_EQ(std::get<int>(weekly.daysOfTheWeek().at(1)), 6);

    const CalRecurrenceRule monthly = CalRecurrenceRule::initMonthlyRecurrenceWithInterval(1, 6, -1, std::nullopt);
    ASSERT_EQ(monthly.daysOfTheWeek().size(), 1);
    const CalNthWeekDay nth = std::get<CalNthWeekDay>(monthly.daysOfTheWeek().first());
    EXPECT_EQ(nth.dayOfTheWeek(), 6);
    EXPECT_EQ(nth.weekNumber(), -1);
    EXPECT_EQ(monthly.recurrenceInterval(), 1);
    EXPECT_FALSE(monthly.recurrenceEnd().has_value());

    const CalRecurrenceEnd end = CalRecurrenceEnd::recurrenceEndWithOccurrenceCount(7);
    EXPECT_FALSE(end.usesEndDate());
    EXPECT_EQ(end.occurrenceCount(), 7);
}
