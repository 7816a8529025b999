// The expansion of a record's recurrence keys into occurrence dates, checked against libical's and
// python-dateutil's expansion of the same rule written as an RRULE.
#include "datasources/calendar/HMCalendarData.h"
#include "foundation/QtPrinters.h"
#include "platform/eventkit/ICalendarCodec.h"
#include "platform/eventkit/ICalendarFolder.h"
#include "platform/eventkit/support/CalendarFolderFixture.h"

#include <QProcess>

#include <gtest/gtest.h>

using eventkittest::at;

namespace {

enum class Relation {
    Same,     // the record's walk gives the rule's dates
    OneExtra, // ... and one date more, a step past the last (a counted daily, weekly or monthly walk)
};

QStringList texts(const QList<QDateTime> &dates)
{
    QStringList result;
    for (const QDateTime &date : dates)
        result.append(date.toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm")));
    return result;
}

QStringList libicalDates(const QDateTime &start, const QString &rule, const QDateTime &windowEnd)
{
    const QByteArray text = QStringLiteral("BEGIN:VCALENDAR\r\nVERSION:2.0\r\nBEGIN:VEVENT\r\nUID:x\r\n"
                                           "DTSTART:%1\r\nRRULE:%2\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n")
                                .arg(start.toString(QStringLiteral("yyyyMMdd'T'HHmmss'Z'")), rule)
                                .toUtf8();
    const auto calendar = platform::ICalendarFolder::parseCalendarText(text);
    EXPECT_TRUE(calendar);
    if (!calendar)
        return {};
    icalcomponent *event = icalcomponent_get_first_component(calendar.get(), ICAL_VEVENT_COMPONENT);
    return texts(platform::icalcodec::occurrenceStarts(event, start, windowEnd));
}

QStringList dateutilDates(const QDateTime &start, const QString &rule, const QDateTime &windowEnd)
{
    const QString script =
        QStringLiteral("import sys, datetime\nfrom dateutil.rrule import rrulestr\nfrom dateutil.tz import UTC\n"
                       "start = datetime.datetime.fromisoformat(sys.argv[1]).replace(tzinfo=UTC)\n"
                       "end = datetime.datetime.fromisoformat(sys.argv[3]).replace(tzinfo=UTC)\n"
                       "for d in rrulestr(sys.argv[2], dtstart=start).between(start, end, inc=True):\n"
                       "    print(d.strftime('%Y-%m-%d %H:%M'))\n");
    const QString output = eventkittest::runTool(QStringLiteral("/usr/bin/python3"),
                                                 {QStringLiteral("-c"), script, start.toString(Qt::ISODate).chopped(1),
                                                  rule, windowEnd.addSecs(-1).toString(Qt::ISODate).chopped(1)});
    return output.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

} // namespace

TEST(HMBaseCalendarDataRecurrence, WalksAgreeWithLibicalAndDateutil)
{
    struct Row
    {
        const char *name;
        const char *start;
        QVariantMap keys;
        const char *rule;
        QStringList expected;
        Relation relation;
    };
    const QVariant end4June = at("2026-06-04 00:00");
    const Row rows[] = {
        {"daily every 2 days, 3 times",
         "2026-06-01 09:00",
         {{"REPEAT", 1}, {"INTERVAL", 2}, {"OCCURS", 3}},
         "FREQ=DAILY;INTERVAL=2;COUNT=3",
         {"2026-06-01 09:00", "2026-06-03 09:00", "2026-06-05 09:00", "2026-06-07 09:00"},
         Relation::OneExtra},
        {"daily every 2 days until 4 June",
         "2026-06-01 09:00",
         {{"REPEAT", "1"}, {"INTERVAL", "2"}, {"NSDATEREPEATEND", end4June}},
         "FREQ=DAILY;INTERVAL=2;UNTIL=20260604T235959Z",
         {"2026-06-01 09:00", "2026-06-03 09:00"},
         Relation::Same},
        {"weekly on Monday and Friday, 4 times",
         "2026-06-01 09:00",
         {{"REPEAT", 2}, {"INTERVAL", 1}, {"DAYMASK", 34}, {"OCCURS", 4}},
         "FREQ=WEEKLY;BYDAY=MO,FR;COUNT=4",
         {"2026-06-01 09:00", "2026-06-05 09:00", "2026-06-08 09:00", "2026-06-12 09:00", "2026-06-15 09:00"},
         Relation::OneExtra},
        {"every 2 weeks on Monday, Wednesday and Friday until 30 June",
         "2026-06-01 09:00",
         {{"REPEAT", 2}, {"INTERVAL", 2}, {"DAYMASK", 42}, {"NSDATEREPEATEND", at("2026-06-30 00:00")}},
         "FREQ=WEEKLY;INTERVAL=2;BYDAY=MO,WE,FR;UNTIL=20260630T235959Z",
         {"2026-06-01 09:00", "2026-06-03 09:00", "2026-06-05 09:00", "2026-06-15 09:00", "2026-06-17 09:00",
          "2026-06-19 09:00", "2026-06-29 09:00"},
         Relation::Same},
        {"monthly on the 15th, 3 times",
         "2026-06-15 09:00",
         {{"REPEAT", 3}, {"INTERVAL", 1}, {"DAYOFMONTH", 15}, {"OCCURS", 3}},
         "FREQ=MONTHLY;BYMONTHDAY=15;COUNT=3",
         {"2026-06-15 09:00", "2026-07-15 09:00", "2026-08-15 09:00", "2026-09-15 09:00"},
         Relation::OneExtra},
        {"monthly on the second Tuesday, 4 times",
         "2026-06-09 09:00",
         {{"REPEAT", 3}, {"INTERVAL", 1}, {"REPTDAYOPT", 1}, {"DAYMASK", 4}, {"DAYOCCUR", 2}, {"OCCURS", 4}},
         "FREQ=MONTHLY;BYDAY=2TU;COUNT=4",
         {"2026-06-09 09:00", "2026-07-14 09:00", "2026-08-11 09:00", "2026-09-08 09:00", "2026-10-13 09:00"},
         Relation::OneExtra},
        {"monthly on the last Wednesday up to the window's end",
         "2026-06-24 09:00",
         {{"REPEAT", 3}, {"INTERVAL", 1}, {"REPTDAYOPT", 1}, {"DAYMASK", 8}, {"DAYOCCUR", 5}},
         "FREQ=MONTHLY;BYDAY=-1WE",
         {"2026-06-24 09:00", "2026-07-29 09:00", "2026-08-26 09:00", "2026-09-30 09:00", "2026-10-28 09:00",
          "2026-11-25 09:00", "2026-12-30 09:00"},
         Relation::Same},
        {"every 3 months on the 1st, 2 times",
         "2026-06-01 09:00",
         {{"REPEAT", 3}, {"INTERVAL", 3}, {"DAYOFMONTH", 1}, {"OCCURS", 2}},
         "FREQ=MONTHLY;INTERVAL=3;BYMONTHDAY=1;COUNT=2",
         {"2026-06-01 09:00", "2026-09-01 09:00", "2026-12-01 09:00"},
         Relation::OneExtra},
        {"yearly on 10 March, 3 times",
         "2026-03-10 09:00",
         {{"REPEAT", 4}, {"INTERVAL", 1}, {"MONTH", 3}, {"DAYOFMONTH", 10}, {"OCCURS", 3}},
         "FREQ=YEARLY;BYMONTH=3;BYMONTHDAY=10;COUNT=3",
         {"2026-03-10 09:00", "2027-03-10 09:00", "2028-03-10 09:00"},
         Relation::Same},
        {"yearly on the fourth Thursday of November, 3 times",
         "2026-11-26 09:00",
         {{"REPEAT", 4},
          {"INTERVAL", 1},
          {"MONTH", 11},
          {"REPTDAYOPT", 1},
          {"DAYMASK", 16},
          {"DAYOCCUR", 4},
          {"OCCURS", 3}},
         "FREQ=YEARLY;BYMONTH=11;BYDAY=4TH;COUNT=3",
         {"2026-11-26 09:00", "2027-11-25 09:00", "2028-11-23 09:00"},
         Relation::Same},
        {"monthly on the 31st from 31 January",
         "2026-01-31 09:00",
         {{"REPEAT", 3}, {"INTERVAL", 1}, {"DAYOFMONTH", 31}, {"OCCURS", 4}},
         "FREQ=MONTHLY;BYMONTHDAY=31;COUNT=4",
         {"2026-01-31 09:00", "2026-03-31 09:00", "2026-05-31 09:00", "2026-07-31 09:00", "2026-08-31 09:00"},
         Relation::OneExtra},
        {"every second month on the 29th from 29 December, over a February without it",
         "2025-12-29 09:00",
         {{"REPEAT", 3}, {"INTERVAL", 2}, {"DAYOFMONTH", 29}},
         "FREQ=MONTHLY;INTERVAL=2;BYMONTHDAY=29",
         {"2025-12-29 09:00", "2026-04-29 09:00", "2026-06-29 09:00", "2026-08-29 09:00", "2026-10-29 09:00",
          "2026-12-29 09:00"},
         Relation::Same},
        {"monthly on the 30th from 30 January, to a date",
         "2026-01-30 09:00",
         {{"REPEAT", 3}, {"INTERVAL", 1}, {"DAYOFMONTH", 30}, {"NSDATEREPEATEND", at("2026-04-30 00:00")}},
         "FREQ=MONTHLY;BYMONTHDAY=30;UNTIL=20260430T235959Z",
         {"2026-01-30 09:00", "2026-03-30 09:00", "2026-04-30 09:00"},
         Relation::Same},
    };
    HMCalendarData data;
    const QDateTime windowEnd = at("2027-01-01 00:00");
    data.setCalendarDateRangeEnd(windowEnd);
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const QDateTime start = at(row.start);
        QVariantMap keys = row.keys;
        std::optional<QList<QDateTime>> dates;
        switch (keys.value(QStringLiteral("REPEAT")).toInt()) {
        case 1:
            dates = data.instancesForDailyRecurrenceStartingOn(start, keys, false);
            break;
        case 2:
            dates = data.instancesForWeeklyRecurrenceStartingOn(start, keys, false);
            break;
        case 3:
            dates = data.instancesForMonthlyRecurrenceStartingOn(start, keys, false);
            break;
        default:
            dates = data.instancesForYearlyRecurrenceStartingOn(start, keys, false);
        }
        ASSERT_TRUE(dates);
        const QStringList walked = texts(*dates);
        EXPECT_EQ(walked, row.expected);

        // Without a count or an end date the walk stops at the window's end; the rule is cut there too.
        const bool open = !keys.contains(QStringLiteral("OCCURS")) && !keys.contains(QStringLiteral("NSDATEREPEATEND"));
        const QDateTime ruleEnd = open ? windowEnd.addSecs(1) : at("2031-01-01 00:00");
        const QStringList fromLibical = libicalDates(start, QString::fromLatin1(row.rule), ruleEnd);
        EXPECT_EQ(fromLibical, dateutilDates(start, QString::fromLatin1(row.rule), ruleEnd));
        QStringList comparable = walked;
        if (row.relation == Relation::OneExtra)
            comparable.removeLast();
        EXPECT_EQ(comparable, fromLibical);
    }
}

TEST(HMBaseCalendarDataRecurrence, EdgeCasesOfTheWalks)
{
    HMCalendarData data;
    data.setCalendarDateRangeEnd(at("2026-08-01 00:00"));
    const QDateTime wednesday = at("2026-06-03 09:00");
    EXPECT_FALSE(data.instancesForDailyRecurrenceStartingOn(wednesday, {{"REPEAT", 0}}, false));
    EXPECT_FALSE(data.instancesForDailyRecurrenceStartingOn(wednesday, {{"REPEAT", 2}}, false));
    EXPECT_FALSE(data.instancesForYearlyRecurrenceStartingOn(wednesday, {}, false));
    EXPECT_EQ(texts(*data.instancesForWeeklyRecurrenceStartingOn(
                  wednesday, {{"REPEAT", 2}, {"INTERVAL", 1}, {"DAYMASK", 34}, {"OCCURS", 3}}, false)),
              (QStringList{"2026-06-03 09:00", "2026-06-07 09:00", "2026-06-10 09:00", "2026-06-14 09:00"}));
    EXPECT_EQ(texts(*data.instancesForWeeklyRecurrenceStartingOn(
                  wednesday, {{"REPEAT", 2}, {"INTERVAL", 2}, {"DAYMASK", 0}, {"OCCURS", 2}}, false)),
              (QStringList{"2026-06-03 09:00", "2026-06-17 09:00", "2026-07-01 09:00"}));
    EXPECT_EQ(
        data.instancesForMonthlyRecurrenceStartingOn(wednesday, {{"REPEAT", 3}, {"DAYOFMONTH", 3}}, false)->size(), 2);
    EXPECT_EQ(
        data.instancesForYearlyRecurrenceStartingOn(wednesday, {{"REPEAT", 4}, {"MONTH", 6}, {"DAYOFMONTH", 3}}, false)
            ->size(),
        120);
    EXPECT_EQ(texts(*data.instancesForDailyRecurrenceStartingOn(
                  wednesday, {{"REPEAT", 1}, {"INTERVAL", 0}, {"OCCURS", 2}}, false)),
              (QStringList{"2026-06-03 09:00", "2026-06-04 09:00", "2026-06-05 09:00"}));
    EXPECT_EQ(texts(*data.instancesForDailyRecurrenceStartingOn(wednesday,
                                                                {{"REPEAT", 1}, {"INTERVAL", 1}, {"OCCURS", 5}}, true)),
              QStringList{"2026-06-08 09:00"});
}

TEST(HMBaseCalendarDataRecurrence, WeekdayConversions)
{
    // A rule on the nth weekday takes the highest weekday of its mask; Sunday when the mask names none.
    for (const qint64 mask : {0, -4, 128})
        EXPECT_EQ(HMBaseCalendarData::appleDayFromHmMonthDay(mask), 1) << mask;
    EXPECT_EQ(HMBaseCalendarData::appleDayFromHmMonthDay(4), 3);
    EXPECT_EQ(HMBaseCalendarData::appleDayFromHmMonthDay(64), 7);
    EXPECT_EQ(HMBaseCalendarData::appleDayFromHmMonthDay(34), 6);
    for (const qint64 day : {0, 8})
        EXPECT_EQ(HMBaseCalendarData::hmMonthDayFromAppleDay(day), 0) << day;
    EXPECT_EQ(HMBaseCalendarData::hmMonthDayFromAppleDay(1), 1);
    EXPECT_EQ(HMBaseCalendarData::hmMonthDayFromAppleDay(3), 4);
    EXPECT_EQ(HMBaseCalendarData::hmMonthDayFromAppleDay(7), 64);
    EXPECT_EQ(HMBaseCalendarData::appleDaysFromHmDayMask(65), (QList<int>{1, 7}));
    EXPECT_EQ(HMBaseCalendarData::appleDaysFromHmDayMask(0), QList<int>{});
    EXPECT_EQ(HMBaseCalendarData::appleDaysFromHmDayMask(-3), QList<int>{});
    EXPECT_EQ(HMBaseCalendarData::hmDayMaskFromAppleDays({2, 6}), 34);
}
