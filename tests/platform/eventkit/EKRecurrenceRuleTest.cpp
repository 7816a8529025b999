#include "platform/eventkit/EKRecurrenceRule.h"

#include <QTimeZone>
#include <QVariant>

#include <gtest/gtest.h>

using namespace platform;

namespace {

QString ruleText(const EKRecurrenceRule &rule)
{
    const QString description = rule.description();
    return description.mid(description.indexOf(QLatin1String("FREQ=")));
}

} // namespace

TEST(EKRecurrenceRule, DescriptionCarriesTheRfc5545RuleFromFreqOn)
{
    struct Row
    {
        const char *name;
        EKRecurrenceRule rule;
        const char *text;
    };
    const QDateTime untilInBerlin(QDate(2024, 3, 1), QTime(1, 0), QTimeZone(3600));
    const Row rows[] = {
        {"daily without end", EKRecurrenceRule(EKRecurrenceFrequency::Daily, 1, {}, {}, {}, {}, {}, {}, std::nullopt),
         "FREQ=DAILY;INTERVAL=1"},
        {"weekly on several days until a date, written in UTC",
         EKRecurrenceRule(EKRecurrenceFrequency::Weekly, 2,
                          {EKRecurrenceDayOfWeek::dayOfWeek(2), EKRecurrenceDayOfWeek::dayOfWeek(4)}, {}, {}, {}, {},
                          {}, EKRecurrenceEnd::recurrenceEndWithEndDate(untilInBerlin)),
         "FREQ=WEEKLY;INTERVAL=2;UNTIL=20240301T000000Z;BYDAY=MO,WE"},
        {"monthly on the last Sunday after a count",
         EKRecurrenceRule(EKRecurrenceFrequency::Monthly, 1, {EKRecurrenceDayOfWeek::dayOfWeek(1, -1)}, {}, {}, {}, {},
                          {}, EKRecurrenceEnd::recurrenceEndWithOccurrenceCount(10)),
         "FREQ=MONTHLY;INTERVAL=1;COUNT=10;BYDAY=-1SU"},
        {"yearly with every list",
         EKRecurrenceRule(EKRecurrenceFrequency::Yearly, 3, {EKRecurrenceDayOfWeek::dayOfWeek(7, 2)}, {15, -1}, {3, 9},
                          {20}, {100}, {-1}, std::nullopt),
         "FREQ=YEARLY;INTERVAL=3;BYDAY=2SA;BYMONTHDAY=15,-1;BYMONTH=3,9;BYWEEKNO=20;BYYEARDAY=100;BYSETPOS=-1"},
        {"an interval below 1 moves on every time",
         EKRecurrenceRule(EKRecurrenceFrequency::Daily, 0, {}, {}, {}, {}, {}, {}, std::nullopt),
         "FREQ=DAILY;INTERVAL=1"},
        {"a weekday outside 1 to 7 has no code and is left out",
         EKRecurrenceRule(EKRecurrenceFrequency::Weekly, 1,
                          {EKRecurrenceDayOfWeek::dayOfWeek(9), EKRecurrenceDayOfWeek::dayOfWeek(6)}, {}, {}, {}, {},
                          {}, std::nullopt),
         "FREQ=WEEKLY;INTERVAL=1;BYDAY=FR"},
        {"an end of a single-digit month, day and time, and one in another year once in UTC",
         EKRecurrenceRule(EKRecurrenceFrequency::Daily, 1, {}, {}, {}, {}, {}, {},
                          EKRecurrenceEnd::recurrenceEndWithEndDate(
                              QDateTime(QDate(2031, 1, 1), QTime(0, 59, 7), QTimeZone(3600)))),
         "FREQ=DAILY;INTERVAL=1;UNTIL=20301231T235907Z"},
        {"no weekday with a code writes no BYDAY; a long count and lists of large numbers are written whole",
         EKRecurrenceRule(EKRecurrenceFrequency::Monthly, 2147483647, {EKRecurrenceDayOfWeek::dayOfWeek(0, 3)},
                          {-31, 1, 31}, {}, {}, {-366, 366}, {}, EKRecurrenceEnd::recurrenceEndWithOccurrenceCount(123456)),
         "FREQ=MONTHLY;INTERVAL=2147483647;COUNT=123456;BYMONTHDAY=-31,1,31;BYYEARDAY=-366,366"},
        {"an end beyond the year 9999 is written as the date writes it",
         EKRecurrenceRule(EKRecurrenceFrequency::Yearly, 1, {}, {}, {}, {}, {}, {},
                          EKRecurrenceEnd::recurrenceEndWithEndDate(
                              QDateTime(QDate(10000, 2, 3), QTime(4, 5, 6), QTimeZone::utc()))),
         "FREQ=YEARLY;INTERVAL=1;UNTIL=100000203T040506Z"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(ruleText(row.rule), QString::fromLatin1(row.text));
        EXPECT_EQ(row.rule.description(), QLatin1String("EKRecurrenceRule RRULE ") + QString::fromLatin1(row.text));
    }
}

TEST(EKRecurrenceRule, TravelsInARecordAndKeepsItsParts)
{
    const EKRecurrenceRule rule(EKRecurrenceFrequency::Monthly, 2, {EKRecurrenceDayOfWeek::dayOfWeek(3, 2)}, {}, {}, {},
                                {}, {}, EKRecurrenceEnd::recurrenceEndWithOccurrenceCount(4));
    QVariantMap record;
    record.insert(QStringLiteral("EKRECURRENCERULE"), QVariant::fromValue(rule));
    const EKRecurrenceRule carried = record.value(QStringLiteral("EKRECURRENCERULE")).value<EKRecurrenceRule>();
    EXPECT_EQ(carried, rule);
    EXPECT_EQ(carried.frequency(), EKRecurrenceFrequency::Monthly);
    EXPECT_EQ(carried.daysOfTheWeek().first().dayOfTheWeek(), 3);
    EXPECT_EQ(carried.daysOfTheWeek().first().weekNumber(), 2);
    EXPECT_EQ(carried.daysOfTheWeek().first().description(), QStringLiteral("2TU"));
    ASSERT_TRUE(carried.recurrenceEnd().has_value());
    EXPECT_EQ(carried.recurrenceEnd()->occurrenceCount(), 4);
    EXPECT_FALSE(carried.recurrenceEnd()->endDate().isValid());
}
