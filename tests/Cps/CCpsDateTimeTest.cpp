#include "Cps/CCpsDateTime.h"

#include "CpsTestSupport.h"

#include <string>

namespace {

std::string fields(const CCpsDateTime &date)
{
    char text[48];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", date.GetYear(), date.GetMonth(), date.GetDay(),
                  date.GetHour(), date.GetMinute(), date.GetSecond());
    return text;
}

std::string spanFields(const CCpsDateTimeSpan &span)
{
    return std::to_string(span.GetDays()) + "d " + std::to_string(span.GetHours()) + "h " +
           std::to_string(span.GetMinutes()) + "m " + std::to_string(span.GetSeconds()) + "s";
}

// Every date test runs once in a fixed zone and once in a zone with daylight saving.
class CCpsDateTimeInZone : public testing::TestWithParam<const char *>
{
protected:
    bool hasDaylightSaving() const { return std::string(GetParam()) == cpstest::kDaylightSavingZone; }

    cpstest::ScopedTimeZone m_zone{GetParam()};
};

INSTANTIATE_TEST_SUITE_P(Zones, CCpsDateTimeInZone, testing::Values(cpstest::kFixedZone, cpstest::kDaylightSavingZone),
                         [](const testing::TestParamInfo<const char *> &info) {
                             return std::string(info.param) == cpstest::kFixedZone ? "Fixed" : "DaylightSaving";
                         });

TEST_P(CCpsDateTimeInZone, ParsesCompactSeparatedAndTwelveHourTexts)
{
    struct Row
    {
        const char *text;
        const char *expected;
    };
    const Row rows[] = {
        {"20240305 14:07:09", "2024-03-05 14:07:09"},
        {"20240305\t 14:07:09 \r\n", "2024-03-05 14:07:09"},
        {"2024-03-05 2:30 pm", "2024-03-05 14:30:00"},
        {"2024-03-05 2:30 PM", "2024-03-05 14:30:00"},
        {"2024-03-05 12:30 pm", "2024-03-05 12:30:00"},
        {"2024/03/05 12:15", "2024-03-05 00:15:00"},
        {"2024-03-05", "2024-03-05 00:00:00"},
        {"2024-3", "0000-00-00 00:00:00"},
        {"2024x3X5 10:11:12", "2024-03-05 10:11:12"},
        {"2024-03-05 9:5", "2024-03-05 00:00:00"},
        {"2024-03-05 23:59:58 extra", "2024-03-05 23:59:58"},
        {"abcd-ef-gh ij:kl:mn", "0000-00-00 00:00:00"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(fields(CCpsDateTime(row.text)), row.expected);
    }
    EXPECT_EQ(fields(CCpsDateTime(nullptr)), "0000-00-00 00:00:00");
}

TEST_P(CCpsDateTimeInZone, FormatsWithModifiers)
{
    const CCpsDateTime morning(2024, 3, 5, 9, 7, 3);
    const CCpsDateTime lateEvening(2024, 3, 5, 23, 0, 0);
    const CCpsDateTime beforeTheChange(2024, 3, 30, 23, 30, 0);
    struct Row
    {
        const char *format;
        const CCpsDateTime &date;
        const char *expected;
    };
    const Row rows[] = {
        {"%Y-%m-%d %H:%M:%S", morning, "2024-03-05 09:07:03"},
        {"%#H:%M", morning, "9:07"},
        {"%I %p", morning, "09 "},
        {"%$t", morning, "5th"},
        {"%$n", morning, "1st"},
        {"%+1d", morning, "06"},
        {"%+-1d", morning, "04"},
        {"%+0d", morning, "06"},
        {"%j", morning, "%j not supported"},
        {"%U%W%X%Z%c%x", morning,
         "%U not supported%W not supported%X not supported%Z not supported"
         "%c not supported%x not supported"},
        {"%%", morning, "%"},
        {"%+2H %+2H", lateEvening, "01 03"},
        {"%d %+2H %d", lateEvening, "05 01 06"},
        {"%y/%#y %#m/%#d", morning, "24/24 3/5"},
        {"%I", lateEvening, "11"},
        {"%w %$w", morning, "2 2nd"},
        {"%d %!d %!1d %d", morning, "05 03 04 04"},
        {"%+30M:%S", morning, "37:03"},
        {"%+1d %d", beforeTheChange, "31 31"},
        {"%+1d %H:%M", beforeTheChange, "31 23:30"},
        {"open %", morning, "open "},
        {"%q|", morning, "|"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.format);
        EXPECT_EQ(std::string(row.date.Format(row.format).GetString()), row.expected);
    }
    EXPECT_EQ(std::string(morning.Format("%+2").GetString()), "");
}

TEST_P(CCpsDateTimeInZone, OrdinalsFollowEnglishRules)
{
    struct Row
    {
        int day;
        const char *expected;
    };
    const Row rows[] = {{1, "1st 1st"},   {2, "2nd 1st"},   {3, "3rd 1st"},   {4, "4th 1st"},
                        {11, "11th 2nd"}, {12, "12th 2nd"}, {13, "13th 2nd"}, {21, "21st 3rd"},
                        {22, "22nd 4th"}, {23, "23rd 4th"}, {29, "29th 4th"}, {31, "31st 4th"}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.day);
        EXPECT_EQ(std::string(CCpsDateTime(2024, 1, row.day, 0, 0, 0).Format("%$t %$n").GetString()), row.expected);
    }
}

TEST_P(CCpsDateTimeInZone, AddsMonthsAndKeepsDaysInTheMonth)
{
    struct Row
    {
        CCpsDateTime date;
        int months;
        const char *expected;
    };
    const Row rows[] = {
        {CCpsDateTime(2024, 1, 31, 8, 0, 0), 1, "2024-02-29 08:00:00"},
        {CCpsDateTime(2023, 1, 31, 8, 0, 0), 1, "2023-02-28 08:00:00"},
        {CCpsDateTime(2024, 5, 10, 0, 0, 0), -13, "2023-04-10 00:00:00"},
        {CCpsDateTime(2024, 3, 1, 0, 0, 0), 12, "2025-03-01 00:00:00"},
        {CCpsDateTime(2024, 12, 31, 0, 0, 0), 2, "2025-02-28 00:00:00"},
        {CCpsDateTime(2024, 1, 15, 0, 0, 0), -1, "2023-12-15 00:00:00"},
        {CCpsDateTime(2024, 1, 15, 0, 0, 0), -12, "2023-01-15 00:00:00"},
        {CCpsDateTime(2024, 1, 15, 0, 0, 0), 0, "2024-01-15 00:00:00"},
        {CCpsDateTime(2024, 3, 31, 0, 0, 0), -1, "2024-02-29 00:00:00"},
        {CCpsDateTime(2024, 8, 31, 0, 0, 0), 1, "2024-09-30 00:00:00"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(fields(row.date) + " + " + std::to_string(row.months));
        CCpsDateTime date(row.date);
        date.AddMonths(row.months);
        EXPECT_EQ(fields(date), row.expected);
    }
}

TEST_P(CCpsDateTimeInZone, SubtractsIntoSpansWithOneSign)
{
    const CCpsDateTime later(2024, 3, 6, 0, 0, 1);
    const CCpsDateTime earlier(2024, 3, 5, 0, 0, 0);
    EXPECT_EQ(spanFields(later - earlier), "1d 0h 0m 1s");
    EXPECT_EQ(spanFields(earlier - later), "-1d 0h 0m -1s");
    EXPECT_EQ(spanFields(CCpsDateTime(2024, 3, 5, 10, 30, 0) - CCpsDateTime(2024, 3, 5, 12, 0, 0)), "0d -1h -30m 0s");
    // Calendar days count whole days also on the day the clocks change.
    EXPECT_EQ(spanFields(CCpsDateTime(2024, 3, 31, 12, 0, 0) - CCpsDateTime(2024, 3, 30, 12, 0, 0)), "1d 0h 0m 0s");
    EXPECT_EQ(spanFields(CCpsDateTime(2024, 10, 27, 12, 0, 0) - CCpsDateTime(2024, 10, 26, 12, 0, 0)), "1d 0h 0m 0s");
    const std::string acrossTheNight = hasDaylightSaving() ? "0d 1h 0m 0s" : "0d 2h 0m 0s";
    EXPECT_EQ(spanFields(CCpsDateTime(2024, 3, 31, 3, 0, 0) - CCpsDateTime(2024, 3, 31, 1, 0, 0)), acrossTheNight);
}

TEST_P(CCpsDateTimeInZone, AddingADifferenceGivesTheDateBack)
{
    const CCpsDateTime dates[] = {CCpsDateTime(2024, 3, 30, 12, 0, 0),    CCpsDateTime(2024, 3, 31, 1, 30, 0),
                                  CCpsDateTime(2024, 3, 31, 3, 30, 0),    CCpsDateTime(2024, 4, 2, 0, 15, 0),
                                  CCpsDateTime(2024, 10, 26, 23, 59, 59), CCpsDateTime(2024, 10, 27, 4, 0, 0),
                                  CCpsDateTime(2024, 12, 31, 23, 0, 0),   CCpsDateTime(2023, 6, 1, 6, 6, 6)};
    for (const CCpsDateTime &first : dates) {
        for (const CCpsDateTime &second : dates) {
            SCOPED_TRACE(fields(first) + " - " + fields(second));
            const CCpsDateTimeSpan span = first - second;
            EXPECT_EQ(fields(second + span), fields(first)) << spanFields(span);
        }
    }
}

TEST_P(CCpsDateTimeInZone, AddsSpansAsDaysAndElapsedTime)
{
    const CCpsDateTime noon(2024, 3, 30, 12, 0, 0);
    EXPECT_EQ(fields(noon + CCpsDateTimeSpan(1, 0, 0, 0)), "2024-03-31 12:00:00");
    EXPECT_EQ(fields(noon + CCpsDateTimeSpan(0, 0, 0, 86400 * 2 + 61)),
              hasDaylightSaving() ? "2024-04-01 13:01:01" : "2024-04-01 12:01:01");
    EXPECT_EQ(fields(noon - CCpsDateTimeSpan(30, 12, 0, 0)), "2024-02-29 00:00:00");
    EXPECT_EQ(fields(CCpsDateTime(2024, 3, 31, 1, 30, 0) + CCpsDateTimeSpan(0, 1, 0, 0)),
              hasDaylightSaving() ? "2024-03-31 03:30:00" : "2024-03-31 02:30:00");
    EXPECT_EQ(fields(CCpsDateTime(2024, 12, 31, 23, 59, 59) + CCpsDateTimeSpan("0:0:1")), "2025-01-01 00:00:00");
}

TEST_P(CCpsDateTimeInZone, ReadsSpansFromText)
{
    struct Row
    {
        const char *text;
        const char *expected;
    };
    const Row rows[] = {{"12:34:56", "0d 12h 34m 56s"},
                        {"1:2:3 rest", "0d 1h 2m 3s"},
                        {"1:2", "0d 0h 0m 0s"},
                        {"10:20", "0d 10h 20m 0s"},
                        {nullptr, "0d 0h 0m 0s"}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.text ? row.text : "null");
        EXPECT_EQ(spanFields(CCpsDateTimeSpan(row.text)), row.expected);
    }
}

TEST_P(CCpsDateTimeInZone, ComparesFieldByField)
{
    const CCpsDateTime earlier(2024, 3, 5, 10, 0, 1);
    const CCpsDateTime later(2024, 3, 5, 10, 0, 2);
    EXPECT_FALSE(earlier == later);
    EXPECT_TRUE(earlier != later);
    EXPECT_TRUE(later > earlier);
    EXPECT_TRUE(earlier < later);
    EXPECT_TRUE(later >= earlier);
    EXPECT_FALSE(earlier >= later);
    EXPECT_TRUE(earlier <= CCpsDateTime(earlier));
    EXPECT_FALSE(earlier < CCpsDateTime(earlier));
    EXPECT_TRUE(CCpsDateTime(2023, 12, 31, 23, 59, 59) < CCpsDateTime(2024, 1, 1, 0, 0, 0));
}

TEST_P(CCpsDateTimeInZone, ConvertsToAndFromCalendarTime)
{
    const CCpsDateTime date(2024, 7, 1, 12, 0, 0);
    EXPECT_EQ(date.GetTime(), hasDaylightSaving() ? 1719828000 : 1719835200);
    EXPECT_EQ(CCpsDateTime(2024, 3, 5, 0, 0, 0).GetDayOfWeek(), 3);
    EXPECT_EQ(CCpsDateTime(2024, 3, 3, 0, 0, 0).GetDayOfWeek(), 1);
    EXPECT_TRUE(date.IsValid());
    CCpsDateTime now;
    const std::time_t before = std::time(nullptr);
    const CCpsDateTime answered = CCpsDateTime::GetCurrentTime(now);
    const std::time_t after = std::time(nullptr);
    EXPECT_EQ(fields(answered), fields(now));
    EXPECT_GE(now.GetTime(), before);
    EXPECT_LE(now.GetTime(), after);
    const CCpsDateTime fromText(CCpsDateTime::GetCurrentTimeText().GetString());
    EXPECT_GE(fromText.GetTime(), before);
}

TEST_P(CCpsDateTimeInZone, TellsSecondsBetweenTexts)
{
    EXPECT_EQ(CCpsString::SecondsBetween("2024-03-05 10:00:30", "2024-03-05 10:00:00"), 30);
    EXPECT_EQ(CCpsString::SecondsBetween("2024-03-05 10:00:00", "2024-03-05 10:00:30"), -30);
    EXPECT_EQ(CCpsString::SecondsBetween("2024-03-31 03:01:00", "2024-03-31 01:59:00"),
              hasDaylightSaving() ? 120 : 3720);
    EXPECT_TRUE(CCpsString::IsWithinSeconds("20240305 10:00:00", "2024-03-05 10:00:05", 5));
    EXPECT_FALSE(CCpsString::IsWithinSeconds("20240305 10:00:00", "2024-03-05 10:00:06", 5));
    EXPECT_FALSE(CCpsString::IsWithinSeconds("1900-01-01 00:00:00", "2100-01-01 00:00:00", 100));
}

TEST_P(CCpsDateTimeInZone, NamesComeFromTheTablesOnceFilled)
{
    const CCpsDateTime date(2024, 3, 5, 15, 0, 0);
    EXPECT_EQ(std::string(date.Format("[%A][%B][%p]").GetString()), "[][][]");
    CCpsDateTime::SetMonthName(3, "March");
    CCpsDateTime::SetDayName(3, 0, "Tuesday");
    CCpsDateTime::SetDayName(3, 2, "Tue");
    CCpsDateTime::SetAmPmText("am", "pm");
    EXPECT_EQ(std::string(date.Format("%A %2a %3B %p %1p").GetString()), "Tuesday Tu Mar pm p");
    EXPECT_EQ(std::string(CCpsDateTime::GetMonthName(13).GetString()), "");
    EXPECT_EQ(std::string(CCpsDateTime::GetDayName(0, 0).GetString()), "");
    EXPECT_EQ(std::string(CCpsDateTime::GetAmPmText("AM").GetString()), "am");
    EXPECT_EQ(std::string(CCpsDateTime::GetAmPmText(nullptr).GetString()), "pm");
    CCpsDateTime::SetMonthName(3, "");
    CCpsDateTime::SetDayName(3, 0, "");
    CCpsDateTime::SetDayName(3, 2, "");
    CCpsDateTime::SetAmPmText("", "");
}

} // namespace
