// The fixed-pattern reader of the date formatter against ICU's general parser: for every text, both
// give the same moment or both refuse it with the same message. The values are random and edge texts
// of the sync patterns, valid and not, in zones with DST gaps and overlaps at odd hours and in locales
// with other digits and calendars. HM_DATE_READER_VALUES sets how many (100,000 by default; a million
// for a thorough run).
#include "platform/foundation/DateFormatter.h"

#include "platform/foundation/TimeZoneTestSupport.h"

#include <gtest/gtest.h>

#include <QList>
#include <QTimeZone>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <random>
#include <string>

using namespace platform;

namespace {

constexpr const char *kPatterns[] = {"yyyyMMdd",
                                     "HH:mm:ss",
                                     "yyyyMMdd HH:mm:ss",
                                     "yyyy-MM-dd",
                                     "yyyy-MM-dd HH:mm:ss",
                                     "yyyy-MM-dd HH:mm:ss:SSS",
                                     "yyyy/MM/dd HH:mm:ss:SSS"};

// Zones with DST at midnight (Sao Paulo, Havana), a half-hour DST (Lord Howe), odd offsets (Kathmandu,
// St Johns), a skipped day (Apia), offsets changed back and forth (Casablanca), and none (GMT).
constexpr const char *kZones[] = {"GMT",
                                  "America/Los_Angeles",
                                  "Europe/Berlin",
                                  "America/Sao_Paulo",
                                  "America/Havana",
                                  "Australia/Lord_Howe",
                                  "Asia/Kathmandu",
                                  "America/St_Johns",
                                  "Pacific/Apia",
                                  "Africa/Casablanca"};

// Locales with other digits (Arabic, Persian) and other calendars (Thai Buddhist, Japanese).
constexpr const char *kLocales[] = {"en_US", "de_DE", "ar_EG", "fa_IR", "th_TH", "ja_JP@calendar=japanese"};

struct Fields
{
    int year = 1970;
    int month = 1;
    int day = 1;
    int hour = 0;
    int minute = 0;
    int second = 0;
    int millisecond = 0;
};

// The text of the fields in the pattern, every field zero-padded to its letters' count.
QString textFor(const QString &pattern, const Fields &fields)
{
    QString text;
    for (qsizetype index = 0; index < pattern.size();) {
        const QChar letter = pattern.at(index);
        qsizetype count = 1;
        while (index + count < pattern.size() && pattern.at(index + count) == letter)
            ++count;
        const int value = letter == u'y'   ? fields.year
                          : letter == u'M' ? fields.month
                          : letter == u'd' ? fields.day
                          : letter == u'H' ? fields.hour
                          : letter == u'm' ? fields.minute
                          : letter == u's' ? fields.second
                          : letter == u'S' ? fields.millisecond
                                           : -1;
        text += value < 0 ? QString(count, letter) : QStringLiteral("%1").arg(value, int(count), 10, QLatin1Char('0'));
        index += count;
    }
    return text;
}

Fields fieldsOfWallTime(qint64 wallMs)
{
    const QDateTime wall = QDateTime::fromMSecsSinceEpoch(wallMs, Qt::UTC);
    return {wall.date().year(),   wall.date().month(),  wall.date().day(), wall.time().hour(),
            wall.time().minute(), wall.time().second(), wall.time().msec()};
}

// The wall times on both sides of every offset change of the zone from 1900 to 2040: the moments
// where a local time is missing or given twice.
QList<qint64> transitionWallTimes(const char *zoneName)
{
    QList<qint64> walls;
    const QTimeZone zone(zoneName);
    const QTimeZone::OffsetDataList transitions = zone.transitions(QDateTime(QDate(1900, 1, 1), QTime(0, 0), Qt::UTC),
                                                                   QDateTime(QDate(2040, 1, 1), QTime(0, 0), Qt::UTC));
    for (const QTimeZone::OffsetData &transition : transitions) {
        const qint64 moment = transition.atUtc.toMSecsSinceEpoch();
        walls.append(moment + qint64(zone.offsetFromUtc(transition.atUtc.addMSecs(-1))) * 1000);
        walls.append(moment + qint64(transition.offsetFromUtc) * 1000);
    }
    return walls;
}

class TextSource
{
public:
    TextSource(std::uint32_t seed, QList<qint64> transitionWalls)
        : m_random(seed), m_transitionWalls(std::move(transitionWalls))
    {
    }

    // A text of the pattern: mostly well formed, some of it beside a zone's offset change, some
    // with fields out of range, some spoiled in one character or more.
    QString next(const QString &pattern)
    {
        const int kind = pick(0, 99);
        QString text = textFor(pattern, kind < 35 && !m_transitionWalls.isEmpty() ? nearTransition() : randomFields());
        if (kind >= 80)
            spoil(text);
        return text;
    }

private:
    int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(m_random); }

    Fields nearTransition()
    {
        const qint64 wall = m_transitionWalls.at(pick(0, int(m_transitionWalls.size()) - 1));
        return fieldsOfWallTime(wall + qint64(pick(-5400, 5400)) * 1000);
    }

    Fields randomFields()
    {
        Fields fields;
        const int era = pick(0, 9);
        fields.year = era < 7 ? pick(1900, 2100) : era < 9 ? pick(0, 9999) : pick(1580, 1584);
        fields.month = pick(0, 99) < 95 ? pick(1, 12) : pick(0, 1) * 13;
        fields.day = pick(0, 99) < 96 ? pick(1, 31) : pick(0, 1) * 32;
        fields.hour = pick(0, 99) < 97 ? pick(0, 23) : 24;
        fields.minute = pick(0, 99) < 98 ? pick(0, 59) : pick(60, 99);
        fields.second = pick(0, 99) < 98 ? pick(0, 59) : pick(60, 99);
        fields.millisecond = pick(0, 999);
        return fields;
    }

    void spoil(QString &text)
    {
        static const char16_t kStrays[] = u"0159-: +.T/a\u00a0\uff11\u0661\u06f5\u0e52";
        const int position = text.isEmpty() ? 0 : pick(0, int(text.size()) - 1);
        const QChar stray(kStrays[pick(0, int(std::size(kStrays)) - 2)]);
        switch (pick(0, 4)) {
        case 0:
            text.remove(position, 1);
            break;
        case 1:
            text.insert(position, stray);
            break;
        case 2:
            text[position] = stray;
            break;
        case 3:
            text.truncate(position);
            break;
        default:
            text = pick(0, 1) ? QLatin1Char(' ') + text : text + stray;
            break;
        }
    }

    std::mt19937 m_random;
    QList<qint64> m_transitionWalls;
};

int valueCount()
{
    const char *setting = std::getenv("HM_DATE_READER_VALUES");
    const int count = setting ? std::atoi(setting) : 0;
    return count > 0 ? count : 100000;
}

// Both readers on one text; a mismatch names the case. Counts the texts the fixed reader took alone.
void expectSameReading(const DateFormatter &formatter, const QString &text, const char *zoneName,
                       int *fixedCount = nullptr)
{
    const Result<QDateTime> fast = formatter.parse(text);
    const Result<QDateTime> general = formatter.parseWithGeneralParser(text);
    const QString where =
        QStringLiteral("\"%1\" as %2 in %3, %4")
            .arg(text, formatter.pattern(), QString::fromLatin1(zoneName), formatter.locale().identifier());
    const std::optional<double> fixed =
        FixedDatePattern::of(formatter.pattern()).value().read(text, formatter.timeZone());
    if (fixed) {
        ASSERT_TRUE(general) << qPrintable(where);
        ASSERT_EQ(qint64(*fixed), general->toMSecsSinceEpoch()) << qPrintable(where);
        if (fixedCount)
            ++*fixedCount;
    }
    ASSERT_EQ(bool(fast), bool(general)) << qPrintable(where);
    if (fast)
        ASSERT_EQ(fast->toMSecsSinceEpoch(), general->toMSecsSinceEpoch()) << qPrintable(where);
    else
        ASSERT_EQ(fast.error().message(), general.error().message()) << qPrintable(where);
}

} // namespace

// One case a zone, so that ctest runs them side by side: the texts take minutes with the sanitizers.
// Each zone has the seed and the locale it had when the zones ran in one case.
class FixedPatternReadingInZone : public testing::TestWithParam<int>
{
};

TEST_P(FixedPatternReadingInZone, ReadsEveryTextAsTheGeneralParserDoes)
{
    const int perCase = valueCount() / int(std::size(kZones) * std::size(kPatterns));
    const std::uint32_t seed = 17 + std::uint32_t(GetParam());
    const char *const zoneName = kZones[GetParam()];
    const TimeZone zone = testsupport::zone(zoneName);
    TextSource source(seed, transitionWallTimes(zoneName));
    ASSERT_TRUE(std::string(zoneName) == "GMT" || !transitionWallTimes(zoneName).isEmpty()) << zoneName;
    for (const char *pattern : kPatterns) {
        const Locale locale(QString::fromLatin1(kLocales[(seed + 1) % std::size(kLocales)]));
        const DateFormatter formatter(QString::fromLatin1(pattern), locale, zone);
        int fixedCount = 0;
        for (int index = 0; index < perCase; ++index)
            ASSERT_NO_FATAL_FAILURE(
                expectSameReading(formatter, source.next(formatter.pattern()), zoneName, &fixedCount));
        // The well-formed texts that name a moment, about two thirds, are read without ICU.
        EXPECT_GT(fixedCount, perCase / 2) << pattern << " in " << zoneName;
    }
}

INSTANTIATE_TEST_SUITE_P(DateFormatterFixedPattern, FixedPatternReadingInZone,
                         testing::Range(0, int(std::size(kZones))), [](const testing::TestParamInfo<int> &info) {
                             std::string name = kZones[info.param];
                             std::replace_if(
                                 name.begin(), name.end(), [](char c) { return !std::isalnum(uchar(c)); }, '_');
                             return name;
                         });

TEST(DateFormatterFixedPattern, ReadsEdgeTextsAsTheGeneralParserDoes)
{
    const char *const texts[] = {
        "",
        " ",
        "0",
        "00000000",
        "00010101",
        "99991231",
        "15821004",
        "15821005",
        "15821014",
        "15821015",
        "20240229",
        "20230229",
        "20240431",
        "20241301",
        "20240001",
        "20240100",
        "19700101",
        "2024071",
        "202407151",
        "00:00:00",
        "23:59:59",
        "24:00:00",
        "12:60:00",
        "12:00:60",
        "1:00:00",
        "01:00:0",
        "01-00-00",
        "010000",
        "20240715 00:00:00",
        " 00:00:00",
        "20240715  00:00:00",
        "20240715T00:00:00",
        "20240715 23:59:59 ",
        "0000-00-00 00:00:00",
        "2024-07-15",
        "2024-7-15",
        "2024-07-15 ",
        "+2024-07-15",
        "-2024-07-15",
        "2024/07/15",
        "12024-07-15",
        "2024-07-15 12:30:45",
        "2024-07-15 12:30",
        "2024-07-15 12:30:45.000",
        "2024-07-15\u00a012:30:45",
        "\uff12\uff10\uff12\uff140715",
        "\u0662\u0660\u0662\u0664\u0660\u0667\u0661\u0665",
        "2024\u06f00715",
        "20240310 02:30:00",
        "2024-03-10 02:30:00",
        "20241103 01:30:00",
        "2024-11-03 01:30:00",
        "20181104",
        "2018-11-04",
        "20181104 00:30:00",
        "20111230",
        "2011-12-30",
        "20111229 23:59:59",
        "20240331 02:30:00",
        "20241027 02:30:00",
        "2024-10-06 02:15:00",
        "2024-04-07 01:45:00",
    };
    // Each zone with two of the locales, so that every locale meets several zones.
    for (std::size_t zoneIndex = 0; zoneIndex < std::size(kZones); ++zoneIndex) {
        const TimeZone zone = testsupport::zone(kZones[zoneIndex]);
        for (std::size_t step = 0; step < 2; ++step) {
            const Locale locale(QString::fromLatin1(kLocales[(zoneIndex + step * 3) % std::size(kLocales)]));
            for (const char *pattern : kPatterns) {
                const DateFormatter formatter(QString::fromLatin1(pattern), locale, zone);
                for (const char *text : texts)
                    ASSERT_NO_FATAL_FAILURE(expectSameReading(formatter, QString::fromUtf8(text), kZones[zoneIndex]));
            }
        }
    }
}

TEST(DateFormatterFixedPattern, FollowsAChangeOfZoneAndOfPattern)
{
    DateFormatter formatter(QStringLiteral("yyyyMMdd HH:mm:ss"), Locale(QStringLiteral("en_US")),
                            testsupport::zone("GMT"));
    EXPECT_EQ(formatter.parse(QStringLiteral("20240715 14:05:09")).value(), testsupport::utc("2024-07-15T14:05:09Z"));
    formatter.setTimeZone(testsupport::zone("America/Los_Angeles"));
    EXPECT_EQ(formatter.parse(QStringLiteral("20240715 14:05:09")).value(), testsupport::utc("2024-07-15T21:05:09Z"));
    // A wall time that the spring change skips names no moment.
    EXPECT_FALSE(formatter.parse(QStringLiteral("20240310 02:30:00")));
    // A wall time that the autumn change gives twice is the earlier moment, on daylight time.
    EXPECT_EQ(formatter.parse(QStringLiteral("20241103 01:30:00")).value(), testsupport::utc("2024-11-03T08:30:00Z"));
    EXPECT_EQ(formatter.parseWithGeneralParser(QStringLiteral("20241103 01:30:00")).value(),
              testsupport::utc("2024-11-03T08:30:00Z"));
    formatter.setLocale(Locale(QStringLiteral("fa_IR")));
    EXPECT_EQ(formatter.parse(QStringLiteral("20240715 14:05:09")).value(), testsupport::utc("2024-07-15T21:05:09Z"));
    formatter.setPattern(QStringLiteral("yyyy-MM-dd"));
    EXPECT_EQ(formatter.parse(QStringLiteral("2024-07-15")).value(), testsupport::utc("2024-07-15T07:00:00Z"));
    EXPECT_FALSE(formatter.parse(QStringLiteral("20240715 14:05:09")));
}
