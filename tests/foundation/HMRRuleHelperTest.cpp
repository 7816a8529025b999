#include "foundation/HMRRuleHelper.h"

#include "LogCapture.h"
#include "RecurrenceTestSupport.h"
#include "foundation/Lumberjack/DDLog.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/TimeZone.h"

#include <QVariantMap>

#include <initializer_list>
#include <random>
#include <utility>

#include <gtest/gtest.h>

using namespace recurrencetest;
using platform::CalendarStoreClasses;

namespace {

const CalendarStoreClasses kRoads[] = {CalendarStoreClasses::EventKitAndCalendarStore,
                                       CalendarStoreClasses::CalendarStoreOnly};

using Keys = std::initializer_list<std::pair<const char *, qint64>>;

void expectKeys(const QVariantMap &dictionary, Keys keys)
{
    for (const auto &[key, value] : keys) {
        const QVariant found = dictionary.value(QLatin1String(key));
        EXPECT_EQ(found.typeId(), QMetaType::LongLong) << key << " is written as a number";
        EXPECT_EQ(found.toLongLong(), value) << key;
    }
}

QVariantMap dictionaryOf(Keys keys)
{
    QVariantMap dictionary;
    for (const auto &[key, value] : keys)
        dictionary.insert(QLatin1String(key), value);
    return dictionary;
}

} // namespace

TEST(HMRRuleHelper, ReadsRuleTextIntoTheRecurrenceDictionary)
{
    struct Row
    {
        const char *name;
        const char *text;
        QDateTime start;
        Keys keys;
        qint64 outlookDayMask;
        qint64 otherDayMask;
        QDateTime repeatEnd;
    };
    const QDateTime monday = utc(2024, 1, 8, 9);
    const Row rows[] = {
        {"a count",
         "FREQ=DAILY;COUNT=5",
         monday,
         {{"REPEAT", 1}, {"REPTDAYOPT", 0}, {"INTERVAL", 1}, {"OCCURS", 5}, {"DAYOFMONTH", 8}, {"MONTH", 0}},
         0,
         0,
         {}},
        {"a count before the interval",
         "FREQ=DAILY;COUNT=5;INTERVAL=2",
         monday,
         {{"INTERVAL", 2}, {"OCCURS", 5}},
         0,
         0,
         {}},
        {"weekdays in any order", "FREQ=WEEKLY;BYDAY=FR,MO", monday, {{"REPEAT", 2}, {"DAYOCCUR", 0}}, 34, 34, {}},
        {"the last Sunday",
         "FREQ=MONTHLY;BYDAY=-1SU",
         monday,
         {{"REPEAT", 3}, {"REPTDAYOPT", 1}, {"DAYOCCUR", -1}},
         1,
         1,
         {}},
        {"the second Tuesday",
         "FREQ=MONTHLY;BYDAY=2TU",
         utc(2024, 1, 9),
         {{"REPEAT", 3}, {"REPTDAYOPT", 1}, {"DAYOCCUR", 2}},
         4,
         4,
         {}},
        {"a trailing semicolon", "FREQ=WEEKLY;INTERVAL=2;", monday, {{"REPEAT", 2}, {"INTERVAL", 2}}, 2, 2, {}},
        {"a day of the month",
         "FREQ=MONTHLY;BYMONTHDAY=15",
         utc(2024, 1, 15),
         {{"REPEAT", 3}, {"REPTDAYOPT", 0}, {"DAYOFMONTH", 15}},
         0,
         0,
         {}},
        {"a yearly rule takes the start's month",
         "FREQ=YEARLY",
         utc(2024, 3, 15),
         {{"REPEAT", 4}, {"REPTDAYOPT", 0}, {"DAYOFMONTH", 15}, {"MONTH", 3}},
         0,
         0,
         {}},
        {"an end date", "RRULE:FREQ=DAILY;UNTIL=20240301T000000Z", monday, {{"OCCURS", 0}}, 0, 0, utc(2024, 3, 1)},
        {"an end given as a plain date", "FREQ=DAILY;UNTIL=20240301", monday, {{"OCCURS", 0}}, 0, 0, utc(2024, 3, 1)},
        {"lower case and white space", " freq = weekly ; byday = mo ", monday, {{"REPEAT", 2}}, 2, 2, {}},
    };
    for (const CalendarStoreClasses road : kRoads) {
        const StoreRoad storeRoad(road);
        for (const bool isOutlookSync : {true, false}) {
            const OutlookSyncFlag flag(isOutlookSync);
            for (const Row &row : rows) {
                SCOPED_TRACE(testing::Message()
                             << row.name << ", " << roadName(road) << ", Outlook sync " << isOutlookSync);
                const QVariantMap dictionary =
                    HMRRuleHelper::getDictionaryFromRRule(QLatin1String(row.text), row.start);
                expectKeys(dictionary, row.keys);
                expectKeys(dictionary, {{"DAYTYPE", 0}, {"REPTENDOPT", 2}});
                expectKeys(dictionary, {{"DAYMASK", isOutlookSync ? row.outlookDayMask : row.otherDayMask}});
                EXPECT_EQ(dictionary.value(QStringLiteral("NSDATEREPEATEND")).toDateTime(), row.repeatEnd);
            }
        }
    }
}

TEST(HMRRuleHelper, RuleTextRoundTripsThroughDictionaryAndRuleObject)
{
    struct Row
    {
        const char *name;
        const char *text;
        QDateTime start;
        const char *eventKitText;
        const char *calendarStoreText;
    };
    const Row rows[] = {
        {"daily with interval and count", "FREQ=DAILY;INTERVAL=2;COUNT=5", utc(2024, 1, 8, 9),
         "RRULE:FREQ=DAILY;INTERVAL=2;COUNT=5", "RRULE:FREQ=DAILY;INTERVAL=2;COUNT=5"},
        {"daily until a date", "RRULE:FREQ=DAILY;UNTIL=20240301T000000Z", utc(2024, 1, 8, 9),
         "RRULE:FREQ=DAILY;INTERVAL=1;UNTIL=20240301T000000Z", "RRULE:FREQ=DAILY;INTERVAL=1;UNTIL=20240301T000000Z"},
        {"weekly on several weekdays", "FREQ=WEEKLY;INTERVAL=2;BYDAY=WE,MO,FR;UNTIL=20240301T000000Z",
         utc(2024, 1, 8, 9), "RRULE:FREQ=WEEKLY;INTERVAL=2;UNTIL=20240301T000000Z;BYDAY=MO,WE,FR",
         "RRULE:FREQ=WEEKLY;INTERVAL=2;UNTIL=20240301T000000Z;BYDAY=MO,WE,FR"},
        {"weekly on the start's weekday", "FREQ=WEEKLY;COUNT=3", utc(2024, 1, 8, 9),
         "RRULE:FREQ=WEEKLY;INTERVAL=1;COUNT=3;BYDAY=MO", "RRULE:FREQ=WEEKLY;INTERVAL=1;COUNT=3;BYDAY=MO"},
        {"monthly on a day", "FREQ=MONTHLY;BYMONTHDAY=15;COUNT=6", utc(2024, 1, 15, 9),
         "RRULE:FREQ=MONTHLY;INTERVAL=1;COUNT=6;BYMONTHDAY=15", "RRULE:FREQ=MONTHLY;INTERVAL=1;COUNT=6;BYMONTHDAY=15"},
        {"monthly on the second Tuesday", "FREQ=MONTHLY;BYDAY=2TU", utc(2024, 1, 9, 9),
         "RRULE:FREQ=MONTHLY;INTERVAL=1;BYDAY=2TU", "RRULE:FREQ=MONTHLY;INTERVAL=1;BYDAY=2TU"},
        {"every third month on the last Friday", "FREQ=MONTHLY;INTERVAL=3;BYDAY=-1FR;UNTIL=20241231T000000Z",
         utc(2024, 1, 26, 9), "RRULE:FREQ=MONTHLY;INTERVAL=3;UNTIL=20241231T000000Z;BYDAY=-1FR",
         "RRULE:FREQ=MONTHLY;INTERVAL=3;UNTIL=20241231T000000Z;BYDAY=-1FR"},
        {"yearly on a date", "FREQ=YEARLY;BYMONTHDAY=15;BYMONTH=3", utc(2024, 3, 15, 9),
         "RRULE:FREQ=YEARLY;INTERVAL=1;BYMONTHDAY=15;BYMONTH=3", "RRULE:FREQ=YEARLY;INTERVAL=1"},
        {"every other year on the second Sunday of March", "FREQ=YEARLY;INTERVAL=2;BYDAY=2SU;BYMONTH=3;COUNT=4",
         utc(2024, 3, 10, 9), "RRULE:FREQ=YEARLY;INTERVAL=2;COUNT=4;BYDAY=2SU;BYMONTH=3",
         "RRULE:FREQ=YEARLY;INTERVAL=2;COUNT=4;BYDAY=2SU;BYMONTH=3"},
    };
    for (const CalendarStoreClasses road : kRoads) {
        const StoreRoad storeRoad(road);
        for (const bool isOutlookSync : {true, false}) {
            const OutlookSyncFlag flag(isOutlookSync);
            for (const Row &row : rows) {
                SCOPED_TRACE(testing::Message()
                             << row.name << ", " << roadName(road) << ", Outlook sync " << isOutlookSync);
                const QString expected = QLatin1String(
                    road == CalendarStoreClasses::CalendarStoreOnly ? row.calendarStoreText : row.eventKitText);
                QVariantMap dictionary = HMRRuleHelper::getDictionaryFromRRule(QLatin1String(row.text), row.start);
                dictionary.insert(QStringLiteral("NSDATESTARTDATE"), row.start);
                const QString written = HMRRuleHelper::rRuleFromDictionary(dictionary);
                EXPECT_EQ(written, expected);
                // The written text reads back to the same dictionary and is written the same again.
                QVariantMap again = HMRRuleHelper::getDictionaryFromRRule(written, row.start);
                again.insert(QStringLiteral("NSDATESTARTDATE"), row.start);
                EXPECT_EQ(again, dictionary);
                EXPECT_EQ(HMRRuleHelper::rRuleFromDictionary(again), expected);
            }
        }
    }
}

TEST(HMRRuleHelper, WritesRuleTextFromRecurrenceDictionaries)
{
    struct Row
    {
        const char *name;
        QVariantMap dictionary;
        bool isOutlookSync;
        const char *eventKitText; // nullptr: no rule
        const char *calendarStoreText;
    };
    QVariantMap countAndDate = dictionaryOf({{"REPEAT", 1}, {"INTERVAL", 1}, {"OCCURS", 10}});
    countAndDate.insert(QStringLiteral("NSDATEREPEATEND"), utc(2024, 6, 1));
    const QVariantMap textValues{{QStringLiteral("REPEAT"), QStringLiteral("2")},
                                 {QStringLiteral("DAYMASK"), QStringLiteral("42")},
                                 {QStringLiteral("INTERVAL"), QStringLiteral("1")}};
    const QVariantMap badDayOfMonth{{QStringLiteral("REPEAT"), 3},
                                    {QStringLiteral("REPTDAYOPT"), 0},
                                    {QStringLiteral("INTERVAL"), 1},
                                    {QStringLiteral("DAYOFMONTH"), QStringLiteral("x")}};
    const Row rows[] = {
        {"a count without an end date ends after the count",
         dictionaryOf({{"REPEAT", 1}, {"INTERVAL", 1}, {"OCCURS", 10}}), false, "RRULE:FREQ=DAILY;INTERVAL=1;COUNT=10",
         "RRULE:FREQ=DAILY;INTERVAL=1;COUNT=10"},
        {"an end date wins over a count", countAndDate, false, "RRULE:FREQ=DAILY;INTERVAL=1;UNTIL=20240601T000000Z",
         "RRULE:FREQ=DAILY;INTERVAL=1;UNTIL=20240601T000000Z"},
        {"a daily interval given as a number is kept", dictionaryOf({{"REPEAT", 1}, {"INTERVAL", 3}}), false,
         "RRULE:FREQ=DAILY;INTERVAL=3", "RRULE:FREQ=DAILY;INTERVAL=3"},
        {"weekly with interval 0", dictionaryOf({{"REPEAT", 2}, {"INTERVAL", 0}, {"DAYMASK", 2}}), false, nullptr,
         "RRULE:FREQ=WEEKLY;INTERVAL=1;BYDAY=MO"},
        {"numbers given as text", textValues, false, "RRULE:FREQ=WEEKLY;INTERVAL=1;BYDAY=MO,WE,FR",
         "RRULE:FREQ=WEEKLY;INTERVAL=1;BYDAY=MO,WE,FR"},
        {"an nth-weekday repeat without a weekday repeats on the start's day",
         dictionaryOf({{"REPEAT", 3}, {"REPTDAYOPT", 1}, {"INTERVAL", 1}, {"DAYOCCUR", 2}}), false,
         "RRULE:FREQ=MONTHLY;INTERVAL=1", "RRULE:FREQ=MONTHLY;INTERVAL=1"},
        {"the last Tuesday by day mask outside an Outlook sync",
         dictionaryOf({{"REPEAT", 3}, {"REPTDAYOPT", 1}, {"INTERVAL", 1}, {"DAYMASK", 4}, {"DAYOCCUR", 5}}), false,
         "RRULE:FREQ=MONTHLY;INTERVAL=1;BYDAY=-1TU", "RRULE:FREQ=MONTHLY;INTERVAL=1;BYDAY=-1TU"},
        {"the last Tuesday by day mask in an Outlook sync",
         dictionaryOf({{"REPEAT", 3}, {"REPTDAYOPT", 1}, {"INTERVAL", 1}, {"DAYMASK", 4}, {"DAYOCCUR", 5}}), true,
         "RRULE:FREQ=MONTHLY;INTERVAL=1;BYDAY=-1TU", "RRULE:FREQ=MONTHLY;INTERVAL=1;BYDAY=-1TU"},
        {"the second Sunday of March by day mask outside an Outlook sync",
         dictionaryOf(
             {{"REPEAT", 4}, {"REPTDAYOPT", 1}, {"INTERVAL", 1}, {"DAYMASK", 1}, {"DAYOCCUR", 2}, {"MONTH", 3}}),
         false, "RRULE:FREQ=YEARLY;INTERVAL=1;BYDAY=2SU;BYMONTH=3", "RRULE:FREQ=YEARLY;INTERVAL=1;BYDAY=2SU;BYMONTH=3"},
        {"the second Sunday of March by day mask in an Outlook sync",
         dictionaryOf(
             {{"REPEAT", 4}, {"REPTDAYOPT", 1}, {"INTERVAL", 1}, {"DAYMASK", 1}, {"DAYOCCUR", 2}, {"MONTH", 3}}),
         true, "RRULE:FREQ=YEARLY;INTERVAL=1;BYDAY=2SU;BYMONTH=3", "RRULE:FREQ=YEARLY;INTERVAL=1;BYDAY=2SU;BYMONTH=3"},
        {"a day of the month that is not a number", badDayOfMonth, false, "RRULE:FREQ=MONTHLY;INTERVAL=1",
         "RRULE:FREQ=MONTHLY;INTERVAL=1"},
        {"no repeat", dictionaryOf({{"REPEAT", 0}, {"INTERVAL", 1}}), false, nullptr, nullptr},
        {"an unknown repeat", dictionaryOf({{"REPEAT", 5}, {"INTERVAL", 1}}), false, nullptr, nullptr},
        {"an interval too large to mean anything", dictionaryOf({{"REPEAT", 1}, {"INTERVAL", 5000}}), false, nullptr,
         nullptr},
        {"numbers far out of range",
         dictionaryOf({{"REPEAT", 4},
                       {"REPTDAYOPT", 1},
                       {"INTERVAL", 1},
                       {"DAYMASK", -1},
                       {"DAYOCCUR", std::numeric_limits<qint64>::min()},
                       {"MONTH", std::numeric_limits<qint64>::max()},
                       {"OCCURS", 1LL << 40}}),
         true, "RRULE:FREQ=YEARLY;INTERVAL=1", "RRULE:FREQ=YEARLY;INTERVAL=1"},
    };
    for (const CalendarStoreClasses road : kRoads) {
        const StoreRoad storeRoad(road);
        for (const Row &row : rows) {
            SCOPED_TRACE(testing::Message() << row.name << ", " << roadName(road));
            const OutlookSyncFlag flag(row.isOutlookSync);
            const char *expected =
                road == CalendarStoreClasses::CalendarStoreOnly ? row.calendarStoreText : row.eventKitText;
            const QString written = HMRRuleHelper::rRuleFromDictionary(row.dictionary);
            if (expected == nullptr) {
                EXPECT_TRUE(written.isNull()) << qPrintable(written);
            } else {
                EXPECT_EQ(written, QLatin1String(expected));
            }
        }
    }
}

TEST(HMRRuleHelper, MonthlyNthWeekdayFallsBackToTheEventsOwnRule)
{
    const platform::EKRecurrenceRule existing(platform::EKRecurrenceFrequency::Monthly, 1,
                                              {platform::EKRecurrenceDayOfWeek::dayOfWeek(4, 3)}, {}, {}, {}, {}, {},
                                              std::nullopt);
    const QVariantMap noWeekday = dictionaryOf({{"REPEAT", 3}, {"REPTDAYOPT", 1}, {"INTERVAL", 1}});
    EXPECT_EQ(HMRRuleHelper::rRuleFromDictionary(noWeekday, existing),
              QStringLiteral("RRULE:FREQ=MONTHLY;INTERVAL=1;BYDAY=3WE"));

    // A weekday in the record is newer than the rule the event had.
    const QVariantMap friday =
        dictionaryOf({{"REPEAT", 3}, {"REPTDAYOPT", 1}, {"INTERVAL", 1}, {"DAYMASK", 32}, {"DAYOCCUR", 1}});
    EXPECT_EQ(HMRRuleHelper::rRuleFromDictionary(friday, existing),
              QStringLiteral("RRULE:FREQ=MONTHLY;INTERVAL=1;BYDAY=1FR"));
}

TEST(HMRRuleHelper, WithoutACalendarStoreNothingIsConvertedAndTheReasonIsLogged)
{
    const StoreRoad storeRoad(CalendarStoreClasses::None);
    LogCapture errors(LOG_LEVEL_ERROR);
    EXPECT_EQ(HMRRuleHelper::whichSDK(), HMCalendarSDK::None);
    EXPECT_TRUE(HMRRuleHelper::getDictionaryFromRRule(QStringLiteral("FREQ=DAILY"), utc(2024, 1, 8)).isEmpty());
    EXPECT_TRUE(HMRRuleHelper::rRuleFromDictionary(dictionaryOf({{"REPEAT", 1}, {"INTERVAL", 1}})).isNull());
    EXPECT_TRUE(HMRRuleHelper::appleDaysFromHmDayMask(65).isEmpty());
    EXPECT_EQ(errors.lines()
                  .join(QLatin1Char('\n'))
                  .count(QStringLiteral("No Calendar SDK Found, not handling recurring rrule.")),
              2);
}

TEST(HMRRuleHelper, EventKitRoadNeedsAStartDate)
{
    EXPECT_EQ(HMRRuleHelper::whichSDK(), HMCalendarSDK::EventKit);
    EXPECT_TRUE(HMRRuleHelper::getDictionaryFromRRule(QStringLiteral("FREQ=DAILY"), QDateTime()).isEmpty());
    const StoreRoad storeRoad(CalendarStoreClasses::CalendarStoreOnly);
    EXPECT_EQ(HMRRuleHelper::whichSDK(), HMCalendarSDK::CalendarStore);
}

TEST(HMRRuleHelper, EmptyRuleTextIsNoRepeatOnEitherRoad)
{
    for (const CalendarStoreClasses road : kRoads) {
        SCOPED_TRACE(roadName(road));
        const StoreRoad storeRoad(road);
        LogCapture errors(LOG_LEVEL_ERROR);
        EXPECT_TRUE(HMRRuleHelper::getDictionaryFromRRule(QString(), utc(2024, 1, 8)).isEmpty());
        EXPECT_TRUE(HMRRuleHelper::getDictionaryFromRRule(QStringLiteral(""), utc(2024, 1, 8)).isEmpty());
        EXPECT_EQ(errors.lines().join(QLatin1Char('\n')), QString())
            << "records without a repeat are common and not an error";
    }
}

TEST(HMRRuleHelper, CleansCalendarStoreRuleText)
{
    QVariantMap wednesdayStart;
    wednesdayStart.insert(QStringLiteral("NSDATESTARTDATE"), utc(2024, 1, 24, 10));
    QVariantMap intervalText = wednesdayStart;
    intervalText.insert(QStringLiteral("INTERVAL"), QStringLiteral("4"));
    QVariantMap intervalZero = wednesdayStart;
    intervalZero.insert(QStringLiteral("INTERVAL"), QStringLiteral("0"));
    struct Row
    {
        const char *name;
        QString text;
        QVariantMap dictionary;
        QString result;
    };
    const Row rows[] = {
        {"weekly without BYDAY takes the start's weekday", QStringLiteral("RRULE:FREQ=WEEKLY;INTERVAL=1"),
         wednesdayStart, QStringLiteral("RRULE:FREQ=WEEKLY;INTERVAL=1;BYDAY=WE")},
        {"weekly with BYDAY stays", QStringLiteral("RRULE:FREQ=WEEKLY;INTERVAL=1;BYDAY=MO"), wednesdayStart,
         QStringLiteral("RRULE:FREQ=WEEKLY;INTERVAL=1;BYDAY=MO")},
        {"weekly without a start gets no empty part", QStringLiteral("RRULE:FREQ=WEEKLY;INTERVAL=1"), QVariantMap(),
         QStringLiteral("RRULE:FREQ=WEEKLY;INTERVAL=1")},
        {"daily takes the record's interval and keeps its end",
         QStringLiteral("RRULE:FREQ=DAILY;INTERVAL=1;UNTIL=20240301T100000Z"), intervalText,
         QStringLiteral("RRULE:FREQ=DAILY;INTERVAL=4;UNTIL=20240301T100000Z")},
        {"daily keeps a count", QStringLiteral("RRULE:FREQ=DAILY;INTERVAL=1;COUNT=3"), intervalZero,
         QStringLiteral("RRULE:FREQ=DAILY;INTERVAL=1;COUNT=3")},
        {"monthly stays", QStringLiteral("RRULE:FREQ=MONTHLY;INTERVAL=2;BYDAY=2TU"), wednesdayStart,
         QStringLiteral("RRULE:FREQ=MONTHLY;INTERVAL=2;BYDAY=2TU")},
        {"yearly stays", QStringLiteral("RRULE:FREQ=YEARLY;INTERVAL=1"), wednesdayStart,
         QStringLiteral("RRULE:FREQ=YEARLY;INTERVAL=1")},
        {"another frequency is none", QStringLiteral("RRULE:FREQ=HOURLY"), wednesdayStart, QString()},
        {"too short is none", QStringLiteral("R"), wednesdayStart, QString()},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const QString result = HMRRuleHelper::fixRecurrenceRule(row.text, row.dictionary);
        EXPECT_EQ(result, row.result);
        EXPECT_EQ(result.isNull(), row.result.isNull());
    }
}

TEST(HMRRuleHelper, ConvertsDayMasksAndRecurrenceTypes)
{
    EXPECT_EQ(HMRRuleHelper::recurrenceTypeFromHMRepeatType(3, 0), HMRecurrenceType::MonthlyOnDay);
    EXPECT_EQ(HMRRuleHelper::recurrenceTypeFromHMRepeatType(3, 1), HMRecurrenceType::MonthlyOnWeekday);
    EXPECT_EQ(HMRRuleHelper::recurrenceTypeFromHMRepeatType(4, 1), HMRecurrenceType::YearlyOnWeekday);
    EXPECT_EQ(HMRRuleHelper::recurrenceTypeFromHMRepeatType(4, 0), HMRecurrenceType::YearlyOnDate);
    EXPECT_EQ(HMRRuleHelper::recurrenceTypeFromHMRepeatType(1, 7), HMRecurrenceType::Daily);
    EXPECT_EQ(HMRRuleHelper::recurrenceTypeFromHMRepeatType(5, 1), HMRecurrenceType::None);

    const QVariantList eventKitDays = HMRRuleHelper::appleDaysFromHmDayMask(65);
    ASSERT_EQ(eventKitDays.size(), 2);
    EXPECT_EQ(eventKitDays.at(0).value<platform::EKRecurrenceDayOfWeek>(),
              platform::EKRecurrenceDayOfWeek::dayOfWeek(1));
    EXPECT_EQ(eventKitDays.at(1).value<platform::EKRecurrenceDayOfWeek>(),
              platform::EKRecurrenceDayOfWeek::dayOfWeek(7));
    EXPECT_TRUE(HMRRuleHelper::appleDaysFromHmDayMask(0).isEmpty());
    EXPECT_TRUE(HMRRuleHelper::appleDaysFromHmDayMask(-8).isEmpty());
    {
        const StoreRoad storeRoad(CalendarStoreClasses::CalendarStoreOnly);
        EXPECT_EQ(HMRRuleHelper::appleDaysFromHmDayMask(42), (QVariantList{qint64(2), qint64(4), qint64(6)}));
    }

    EXPECT_EQ(HMRRuleHelper::hmDayMaskFromAppleDays({2, 6}), 34);
    EXPECT_EQ(HMRRuleHelper::hmDayMaskFromAppleDays({}), 0);
    EXPECT_EQ(HMRRuleHelper::hmDayMaskFromAppleDays({0, 8, -1, 1}), 1) << "numbers that are no weekday are ignored";

    const QList<platform::EKRecurrenceDayOfWeek> lastWeek = HMRRuleHelper::appleDayAndWeeksFromHmDayMask(6, 5);
    ASSERT_EQ(lastWeek.size(), 2);
    EXPECT_EQ(lastWeek.at(0), platform::EKRecurrenceDayOfWeek::dayOfWeek(2, -1));
    EXPECT_EQ(lastWeek.at(1), platform::EKRecurrenceDayOfWeek::dayOfWeek(3, -1));
    EXPECT_EQ(HMRRuleHelper::appleDayAndWeeksFromHmDayMask(16, 3).first(),
              platform::EKRecurrenceDayOfWeek::dayOfWeek(5, 3));
}

TEST(HMRRuleHelper, BuildsTheRecurrenceKeysOfATypeFromTheStart)
{
    // Wednesday 24 January 2024: the fourth Wednesday of its month.
    struct Row
    {
        HMRecurrenceType type;
        Keys keys;
    };
    const Row rows[] = {
        {HMRecurrenceType::Daily,
         {{"REPEAT", 1},
          {"REPTDAYOPT", 1},
          {"DAYMASK", 0},
          {"DAYOCCUR", 0},
          {"DAYOFMONTH", 0},
          {"MONTH", 0},
          {"INTERVAL", 3}}},
        {HMRecurrenceType::Weekly,
         {{"REPEAT", 2}, {"REPTDAYOPT", 0}, {"DAYMASK", 8}, {"DAYOCCUR", 0}, {"DAYOFMONTH", 0}, {"MONTH", 0}}},
        {HMRecurrenceType::MonthlyOnWeekday,
         {{"REPEAT", 3}, {"REPTDAYOPT", 1}, {"DAYMASK", 8}, {"DAYOCCUR", 4}, {"DAYOFMONTH", 0}, {"MONTH", 0}}},
        {HMRecurrenceType::MonthlyOnDay,
         {{"REPEAT", 3}, {"REPTDAYOPT", 0}, {"DAYMASK", 0}, {"DAYOCCUR", 0}, {"DAYOFMONTH", 24}, {"MONTH", 0}}},
        {HMRecurrenceType::YearlyOnWeekday,
         {{"REPEAT", 4}, {"REPTDAYOPT", 1}, {"DAYMASK", 8}, {"DAYOCCUR", 4}, {"DAYOFMONTH", 0}, {"MONTH", 1}}},
        {HMRecurrenceType::YearlyOnDate,
         {{"REPEAT", 4}, {"REPTDAYOPT", 0}, {"DAYMASK", 0}, {"DAYOCCUR", 0}, {"DAYOFMONTH", 24}, {"MONTH", 1}}},
        {HMRecurrenceType::None,
         {{"REPEAT", 0},
          {"REPTDAYOPT", 0},
          {"DAYMASK", 0},
          {"DAYOCCUR", 0},
          {"DAYOFMONTH", 0},
          {"MONTH", 0},
          {"INTERVAL", 0}}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(int(row.type));
        QVariantMap dictionary;
        dictionary.insert(QStringLiteral("NSDATESTARTDATE"), utc(2024, 1, 24, 10));
        dictionary.insert(QStringLiteral("INTERVAL"), QStringLiteral("3"));
        HMRRuleHelper::updateRecurrenceDictionary(dictionary, row.type);
        expectKeys(dictionary, row.keys);
    }
    QVariantMap noInterval;
    HMRRuleHelper::updateRecurrenceDictionary(noInterval, HMRecurrenceType::Weekly);
    expectKeys(noInterval, {{"INTERVAL", 1}, {"DAYMASK", 0}});
    QVariantMap zeroInterval = dictionaryOf({{"INTERVAL", 0}});
    HMRRuleHelper::updateRecurrenceDictionary(zeroInterval, HMRecurrenceType::Daily);
    expectKeys(zeroInterval, {{"INTERVAL", 1}});
}

TEST(HMRRuleHelper, OutlookSyncIsTheOutlookVersionOfTheSyncState)
{
    const std::pair<const char *, bool> rows[] = {
        {"14.3.9", true}, {"15", true}, {"16.78", true}, {"12.3", false}, {"", false}};
    for (const auto &[version, isOutlook] : rows) {
        GlobalVariables::setOutlookVersionNumber(QLatin1String(version));
        EXPECT_EQ(HMRRuleHelper::isOutlookSync(), isOutlook) << version;
    }
    GlobalVariables::setOutlookVersionNumber(QString());
    EXPECT_FALSE(HMRRuleHelper::isOutlookSync());
}

TEST(HMRRuleHelper, DescribesRecurrencesInEnglish)
{
    struct Row
    {
        Keys keys;
        const char *text;
    };
    const Row rows[] = {
        {{{"REPEAT", 0}}, "None"},
        {{{"REPEAT", 1}, {"INTERVAL", 1}}, "EveryDay"},
        {{{"REPEAT", 1}, {"INTERVAL", 7}}, "every 7 days"},
        {{{"REPEAT", 1}, {"INTERVAL", 2}}, "every other day"},
        {{{"REPEAT", 2}, {"INTERVAL", 1}, {"DAYMASK", 10}}, "every Mon, Wed"},
        {{{"REPEAT", 2}, {"INTERVAL", 1}, {"DAYMASK", 62}}, "every weekday"},
        {{{"REPEAT", 2}, {"INTERVAL", 1}}, "every week"},
        {{{"REPEAT", 2}, {"INTERVAL", 3}, {"DAYMASK", 4}}, "every third Tue"},
        {{{"REPEAT", 2}, {"INTERVAL", 6}}, "every 6 weeks"},
        {{{"REPEAT", 2}, {"INTERVAL", 2}}, "every other week"},
        {{{"REPEAT", 3}, {"REPTDAYOPT", 1}, {"INTERVAL", 1}, {"DAYMASK", 4}, {"DAYOCCUR", 2}},
         "every 2nd Tuesday, every month"},
        {{{"REPEAT", 3}, {"REPTDAYOPT", 1}, {"INTERVAL", 3}, {"DAYMASK", 32}, {"DAYOCCUR", 5}},
         "every 3 months, last Friday"},
        {{{"REPEAT", 3}, {"REPTDAYOPT", 1}, {"INTERVAL", 1}, {"DAYMASK", 32}, {"DAYOCCUR", -1}},
         "every last Friday, every month"},
        {{{"REPEAT", 3}, {"INTERVAL", 1}, {"DAYOFMONTH", 15}}, "15th of the month"},
        {{{"REPEAT", 3}, {"INTERVAL", 2}, {"DAYOFMONTH", 22}}, "22nd of every other month"},
        {{{"REPEAT", 4}, {"REPTDAYOPT", 1}, {"INTERVAL", 1}, {"DAYMASK", 1}, {"DAYOCCUR", 2}, {"MONTH", 3}},
         "every year 2nd Sunday March"},
        {{{"REPEAT", 4}, {"INTERVAL", 1}, {"DAYOFMONTH", 15}, {"MONTH", 3}}, "every March 15th"},
        {{{"REPEAT", 4}, {"INTERVAL", 2}, {"DAYOFMONTH", 21}, {"MONTH", 3}}, "every other March 21st"},
        {{{"REPEAT", 4}, {"INTERVAL", 1}, {"DAYOFMONTH", 1}, {"MONTH", 13}}, "every <month error> 1st"},
    };
    for (const Row &row : rows) {
        const QVariantMap dictionary = dictionaryOf(row.keys);
        EXPECT_EQ(HMRRuleHelper::displayStringForRecurrenceDictionary(dictionary), QLatin1String(row.text));
    }
    EXPECT_EQ(HMRRuleHelper::displayStringForInterval(1, HMRecurrenceType::Weekly), QStringLiteral("every week"));
    EXPECT_EQ(HMRRuleHelper::displayStringForInterval(3, HMRecurrenceType::MonthlyOnDay),
              QStringLiteral("every 3 months"));
    EXPECT_EQ(HMRRuleHelper::displayStringForInterval(2, HMRecurrenceType::None), QStringLiteral("Never"));
    EXPECT_EQ(HMRRuleHelper::displayStringForRecurrenceType(6, true), QStringLiteral("year"));
    EXPECT_TRUE(HMRRuleHelper::displayStringForRecurrenceType(7, true).isNull());
    EXPECT_EQ(HMRRuleHelper::displayStringForDayOfWeekMask(10, true), QStringLiteral("Mon, Wed"));
    EXPECT_EQ(HMRRuleHelper::displayStringForDayOfWeekMask(65, true), QStringLiteral("weekend"));
    EXPECT_EQ(HMRRuleHelper::displayStringForDayOfWeekMask(0, false), QStringLiteral(""));
    EXPECT_EQ(HMRRuleHelper::displayStringForDayOfWeekMask(127, false),
              QStringLiteral("Sunday, Monday, Tuesday, Wednesday, Thursday, Friday, Saturday"));
    EXPECT_EQ(HMRRuleHelper::displayStringForDayOfWeekMask(112, true), QStringLiteral("Thur, Fri, Sat"));
}

TEST(HMRRuleHelper, ReadsDatesAndWeekdaysInTheLocalZone)
{
    const platform::Result<platform::TimeZone> pacific = platform::TimeZone::named(QStringLiteral("US/Pacific"));
    ASSERT_TRUE(pacific.ok());
    platform::TimeZone::setDefaultTimeZone(*pacific);
    // 03:00 UTC on Tuesday 9 January is Monday evening in California.
    const QDateTime mondayEvening = utc(2024, 1, 9, 3);
    const QVariantMap weekly = HMRRuleHelper::getDictionaryFromRRule(QStringLiteral("FREQ=WEEKLY"), mondayEvening);
    const QVariantMap until =
        HMRRuleHelper::getDictionaryFromRRule(QStringLiteral("FREQ=DAILY;UNTIL=20240301T000000Z"), mondayEvening);
    QVariantMap record;
    record.insert(QStringLiteral("NSDATESTARTDATE"), mondayEvening);
    const QString cleaned = HMRRuleHelper::fixRecurrenceRule(QStringLiteral("RRULE:FREQ=WEEKLY;INTERVAL=1"), record);
    platform::TimeZone::setDefaultTimeZone(std::nullopt);

    expectKeys(weekly, {{"DAYMASK", 2}, {"DAYOFMONTH", 8}});
    EXPECT_EQ(until.value(QStringLiteral("NSDATEREPEATEND")).toDateTime(), utc(2024, 3, 1, 8))
        << "midnight of 1 March in California";
    EXPECT_EQ(cleaned, QStringLiteral("RRULE:FREQ=WEEKLY;INTERVAL=1;BYDAY=MO"));
}

TEST(HMRRuleHelper, AnEndThatIsNoDateEndsTheSeriesNow)
{
    const QDateTime now = utc(2025, 6, 30, 12);
    platform::Clock::setSource([now] { return now; });
    for (const char *text :
         {"FREQ=DAILY;UNTIL=2024", "FREQ=DAILY;UNTIL=2024030", "FREQ=DAILY;UNTIL=20241301T000000Z"}) {
        LogCapture errors(LOG_LEVEL_ERROR);
        const QVariantMap dictionary = HMRRuleHelper::getDictionaryFromRRule(QLatin1String(text), utc(2024, 1, 8));
        EXPECT_EQ(dictionary.value(QStringLiteral("NSDATEREPEATEND")).toDateTime(), now) << text;
        EXPECT_TRUE(errors.lines().join(QLatin1Char('\n')).contains(QLatin1String("is not a date"))) << text;
    }
    platform::Clock::setSource({});
}
