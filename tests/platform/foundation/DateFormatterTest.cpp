#include "platform/foundation/DateFormatter.h"

#include "platform/foundation/TimeZoneTestSupport.h"

#include <gtest/gtest.h>

using namespace platform;
using testsupport::utc;
using testsupport::zone;

namespace {

const Locale kPosix(QStringLiteral("en_US_POSIX"));

// Restores the process-wide locale and zone that a test replaced.
class ProcessDefaults : public testing::Test
{
protected:
    void TearDown() override
    {
        Locale::setCurrent(std::nullopt);
        TimeZone::setDefaultTimeZone(std::nullopt);
    }
};

} // namespace

TEST(DateFormatter, FormatsAndParsesEveryPatternInGmtAndInUsPacific)
{
    // A summer moment, so that US/Pacific is on daylight time (-0700) while parsing a time alone lands
    // on 1 January 1970, when it was on standard time (-0800).
    const QDateTime moment = utc("2024-07-15T21:05:09.042Z");
    struct Row
    {
        const char *pattern;
        const char *zone;
        const char *text;
        // The moment the text parses to; null where the pattern names too little of a date to say,
        // and the parsed date must format back to the same text instead.
        const char *parsed;
    };
    const Row rows[] = {
        {"yyyyMMdd", "GMT", "20240715", "2024-07-15T00:00:00Z"},
        {"yyyyMMdd", "US/Pacific", "20240715", "2024-07-15T07:00:00Z"},
        {"HH:mm:ss", "GMT", "21:05:09", "1970-01-01T21:05:09Z"},
        {"HH:mm:ss", "US/Pacific", "14:05:09", "1970-01-01T22:05:09Z"},
        {"yyyyMMdd HH:mm:ss", "GMT", "20240715 21:05:09", "2024-07-15T21:05:09Z"},
        {"yyyyMMdd HH:mm:ss", "US/Pacific", "20240715 14:05:09", "2024-07-15T21:05:09Z"},
        {"yyyy-MM-dd", "GMT", "2024-07-15", "2024-07-15T00:00:00Z"},
        {"yyyy-MM-dd", "US/Pacific", "2024-07-15", "2024-07-15T07:00:00Z"},
        {"yyyy-MM-dd HH:mm:ss", "GMT", "2024-07-15 21:05:09", "2024-07-15T21:05:09Z"},
        {"yyyy-MM-dd HH:mm:ss", "US/Pacific", "2024-07-15 14:05:09", "2024-07-15T21:05:09Z"},
        {"yyyy/MM/dd HH:mm:ss:SSS", "GMT", "2024/07/15 21:05:09:042", "2024-07-15T21:05:09.042Z"},
        {"yyyy/MM/dd HH:mm:ss:SSS", "US/Pacific", "2024/07/15 14:05:09:042", "2024-07-15T21:05:09.042Z"},
        {"yyyy-MM-dd'T'HH:mm:ssZZZ", "GMT", "2024-07-15T21:05:09+0000", "2024-07-15T21:05:09Z"},
        {"yyyy-MM-dd'T'HH:mm:ssZZZ", "US/Pacific", "2024-07-15T14:05:09-0700", "2024-07-15T21:05:09Z"},
        {"c", "GMT", "2", nullptr},
        {"c", "US/Pacific", "2", nullptr},
        {"MM/dd/yyyy HH:mm", "GMT", "07/15/2024 21:05", "2024-07-15T21:05:00Z"},
        {"MM/dd/yyyy HH:mm", "US/Pacific", "07/15/2024 14:05", "2024-07-15T21:05:00Z"},
        {"hh", "GMT", "09", nullptr},
        {"hh", "US/Pacific", "02", nullptr},
        {"a", "GMT", "PM", nullptr},
        {"a", "US/Pacific", "PM", nullptr},
        {"MM/dd/yyyy hh:mm a", "GMT", "07/15/2024 09:05 PM", "2024-07-15T21:05:00Z"},
        {"dd/MM/yyyy HH:mm", "US/Pacific", "15/07/2024 14:05", "2024-07-15T21:05:00Z"},
        {"dd/MM/yyyy hh:mm a", "GMT", "15/07/2024 09:05 PM", "2024-07-15T21:05:00Z"},
        {"yyyy/MM/dd hh:mm a", "US/Pacific", "2024/07/15 02:05 PM", "2024-07-15T21:05:00Z"},
        {"yyyy. M. d. HH:mm", "GMT", "2024. 7. 15. 21:05", "2024-07-15T21:05:00Z"},
        {"yyyy-MM-dd hh:mm a", "US/Pacific", "2024-07-15 02:05 PM", "2024-07-15T21:05:00Z"},
        {"yyyy MM, dd HH:mm", "GMT", "2024 07, 15 21:05", "2024-07-15T21:05:00Z"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(std::string(row.pattern) + " in " + row.zone);
        const DateFormatter formatter(QString::fromLatin1(row.pattern), kPosix, zone(row.zone));
        const QString text = formatter.format(moment);
        EXPECT_EQ(text, QString::fromLatin1(row.text));
        const Result<QDateTime> parsed = formatter.parse(text);
        ASSERT_TRUE(parsed.ok()) << qPrintable(parsed.error().message());
        if (row.parsed)
            EXPECT_EQ(parsed.value(), utc(row.parsed));
        else
            EXPECT_EQ(formatter.format(parsed.value()), text);
    }
}

TEST(DateFormatter, ParsesOnlyTextsThatMatchWholly)
{
    struct Row
    {
        const char *name;
        const char *pattern;
        const char *text;
    };
    const Row rows[] = {
        {"time without colons", "HH:mm:ss", "1200"},
        {"trailing space", "HH:mm:ss", "12:00:00 "},
        {"trailing text", "yyyyMMdd", "20240115x"},
        {"hour out of range", "HH:mm:ss", "25:00:00"},
        {"day the month lacks", "yyyyMMdd", "20240230"},
        {"date without its time", "yyyy-MM-dd HH:mm:ss", "2024-01-15"},
        {"space instead of T, no zone", "yyyy-MM-dd'T'HH:mm:ssZZZ", "2014-03-05 10:20:30"},
        {"empty text", "yyyyMMdd", ""},
        {"letters", "yyyy-MM-dd", "yesterday"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const DateFormatter formatter(QString::fromLatin1(row.pattern), kPosix, TimeZone::gmt());
        const Result<QDateTime> parsed = formatter.parse(QString::fromLatin1(row.text));
        ASSERT_FALSE(parsed.ok()) << qPrintable(parsed.value().toString(Qt::ISODate));
        // The message names the text and the pattern, for the log line that reports it.
        EXPECT_TRUE(
            parsed.error().message().contains(QLatin1Char('"') + QString::fromLatin1(row.text) + QLatin1Char('"')))
            << qPrintable(parsed.error().message());
        EXPECT_TRUE(parsed.error().message().contains(QString::fromLatin1(row.pattern)));
    }

    const DateFormatter formatter(QStringLiteral("yyyyMMdd"), kPosix, TimeZone::gmt());
    const Result<QDateTime> longText = formatter.parse(QString(500, QLatin1Char('7')));
    ASSERT_FALSE(longText.ok());
    EXPECT_LT(longText.error().message().size(), 200) << "a long text is shortened in the message";
}

TEST(DateFormatter, TakesTheZoneOfTheTextWhenItCarriesOne)
{
    DateFormatter formatter(QStringLiteral("yyyy-MM-dd'T'HH:mm:ssZZZ"), kPosix, zone("US/Pacific"));
    EXPECT_EQ(formatter.parse(QStringLiteral("2014-03-05T10:20:30+0100")).value(), utc("2014-03-05T09:20:30Z"));
    EXPECT_EQ(formatter.parse(QStringLiteral("2014-03-05T10:20:30-0800")).value(), utc("2014-03-05T18:20:30Z"));
    // Parsing a zone leaves the formatter's own zone as it was.
    EXPECT_EQ(formatter.timeZone().name(), QStringLiteral("US/Pacific"));
    EXPECT_EQ(formatter.format(utc("2014-03-05T09:20:30Z")), QStringLiteral("2014-03-05T01:20:30-0800"));

    formatter.setTimeZone(TimeZone::gmt());
    EXPECT_EQ(formatter.format(utc("2014-03-05T09:20:30Z")), QStringLiteral("2014-03-05T09:20:30+0000"));
}

TEST(DateFormatter, WritesLocaleStylesAsTheLocaleDoes)
{
    // 24 February 1970, 11:58:20 GMT: the test date from which the system's date pattern is guessed.
    const QDateTime testDate = QDateTime::fromSecsSinceEpoch(4708700, Qt::UTC);
    struct Row
    {
        const char *locale;
        const char *shortDate;
        const char *longDate;
        bool hasTwelveHourClock;
    };
    const Row rows[] = {
        {"en_US", "2/24/70", "February 24, 1970", true},    {"de_DE", "24.02.70", "24. Februar 1970", false},
        {"en_GB", "24/02/1970", "24 February 1970", false}, {"ko_KR", "70. 2. 24.", "1970년 2월 24일", true},
        {"sv_SE", "1970-02-24", "24 februari 1970", false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.locale);
        const Locale locale(QString::fromLatin1(row.locale));
        const DateFormatter shortDate(DateStyle::Short, DateStyle::None, locale, TimeZone::gmt());
        const DateFormatter longDate(DateStyle::Long, DateStyle::None, locale, TimeZone::gmt());
        const DateFormatter shortTime(DateStyle::None, DateStyle::Short, locale, TimeZone::gmt());
        EXPECT_EQ(shortDate.format(testDate), QString::fromUtf8(row.shortDate));
        EXPECT_EQ(longDate.format(testDate), QString::fromUtf8(row.longDate));
        const QString time = shortTime.format(testDate);
        EXPECT_TRUE(time.contains(QStringLiteral("11:58"))) << qPrintable(time);
        EXPECT_EQ(time.contains(shortTime.amSymbol()) || time.contains(shortTime.pmSymbol()), row.hasTwelveHourClock)
            << qPrintable(time);
        // A styled text reads back as the moment it shows.
        EXPECT_EQ(shortTime.parse(time).value(), QDateTime::fromSecsSinceEpoch(11 * 3600 + 58 * 60, Qt::UTC));
    }

    // A styled formatter follows a change of locale with the new locale's pattern.
    DateFormatter styled(DateStyle::Short, DateStyle::Short, Locale(QStringLiteral("en_US")), TimeZone::gmt());
    const QString americanPattern = styled.pattern();
    styled.setLocale(Locale(QStringLiteral("de_DE")));
    EXPECT_NE(styled.pattern(), americanPattern);
    EXPECT_EQ(styled.format(testDate), QStringLiteral("24.02.70, 11:58"));
}

TEST(DateFormatter, KeepsGregorianYearsAndAsciiDigitsInPatternTexts)
{
    // Thai dates default to the Buddhist era and Egyptian Arabic to Arabic-Indic digits; a sync text
    // written under those locales must still read 20240715.
    const QDateTime moment = utc("2024-07-15T12:00:00Z");
    for (const char *locale : {"th_TH", "ar_EG", "ja_JP@calendar=japanese"}) {
        SCOPED_TRACE(locale);
        const DateFormatter formatter(QStringLiteral("yyyyMMdd"), Locale(QString::fromLatin1(locale)), TimeZone::gmt());
        EXPECT_EQ(formatter.format(moment), QStringLiteral("20240715"));
        EXPECT_EQ(formatter.parse(QStringLiteral("20240715")).value(), utc("2024-07-15T00:00:00Z"));
    }
}

TEST_F(ProcessDefaults, NewFormattersTakeTheCurrentLocaleAndTheDefaultZone)
{
    Locale::setCurrent(Locale(QStringLiteral("de_DE")));
    TimeZone::setDefaultTimeZone(zone("US/Pacific"));
    const DateFormatter formatter(QStringLiteral("yyyy-MM-dd HH:mm:ss a"));
    EXPECT_EQ(formatter.locale().identifier(), QStringLiteral("de_DE"));
    EXPECT_EQ(formatter.timeZone().name(), QStringLiteral("US/Pacific"));
    EXPECT_EQ(formatter.format(utc("2024-01-15T20:00:00Z")), QStringLiteral("2024-01-15 12:00:00 PM"));

    const DateFormatter styled(DateStyle::Short, DateStyle::None);
    EXPECT_EQ(styled.format(utc("2024-01-15T20:00:00Z")), QStringLiteral("15.01.24"));
}

TEST(DateFormatter, RefusesNoDateAndAnUnusablePattern)
{
    DateFormatter formatter(QStringLiteral("yyyyMMdd"), kPosix, TimeZone::gmt());
    EXPECT_TRUE(formatter.format(QDateTime()).isNull());

    // A letter that is no pattern field, left unquoted.
    formatter.setPattern(QStringLiteral("yyyy-MM-ddTHH"));
    EXPECT_TRUE(formatter.format(utc("2024-01-15T00:00:00Z")).isNull());
    const Result<QDateTime> parsed = formatter.parse(QStringLiteral("2024-01-15T00"));
    ASSERT_FALSE(parsed.ok());
    EXPECT_TRUE(parsed.error().message().contains(QStringLiteral("yyyy-MM-ddTHH")))
        << qPrintable(parsed.error().message());

    formatter.setPattern(QStringLiteral("yyyyMMdd"));
    EXPECT_EQ(formatter.format(utc("2024-01-15T00:00:00Z")), QStringLiteral("20240115"));
}
