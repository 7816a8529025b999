// The dates worked out without ICU against ICU itself: the date formatter's own texts for numeric
// patterns byte for byte, and the calendar's fields, sums and differences. Random moments and edge
// moments (leap days, year ends, both sides of every offset change, the far past and future where ICU
// takes over) in zones with DST at odd hours, half-hour and negative offsets, each zone set as the
// process's TZ for the formatters, in locales with other digits and calendars. HM_DATE_FORMAT_VALUES
// sets how many moments the formatters meet (a million by default).
#include "platform/foundation/DateFormatter.h"

#include "platform/foundation/Calendar.h"

#include <unicode/gregocal.h>
#include <unicode/smpdtfmt.h>

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

constexpr const char *kPatterns[] = {"yyyy-MM-dd HH:mm:ss:SSS",
                                     "yyyy/MM/dd HH:mm:ss:SSS",
                                     "yyyyMMdd HH:mm:ss",
                                     "yyyy-MM-dd'T'HH:mm:ssZZZ",
                                     "d.M.yyyy 'um' H:m:s Z ''",
                                     "HH:mm:ss",
                                     "H:mm",
                                     "yyyyMMdd",
                                     "yyyy-MM-dd HH:mm:ss"};

// DST at midnight (Sao Paulo, Havana), half-hour DST (Lord Howe), a negative DST (Dublin), odd and
// half-hour offsets (Kathmandu, St Johns, Kolkata), a skipped day (Apia), +14 (Kiritimati), -11
// (Pago Pago), offsets changed back and forth (Casablanca), and none (UTC).
constexpr const char *kZones[] = {"UTC",
                                  "America/Los_Angeles",
                                  "Europe/Berlin",
                                  "Europe/Dublin",
                                  "America/Sao_Paulo",
                                  "America/Havana",
                                  "Australia/Lord_Howe",
                                  "Asia/Kathmandu",
                                  "Asia/Kolkata",
                                  "America/St_Johns",
                                  "Pacific/Apia",
                                  "Pacific/Kiritimati",
                                  "Pacific/Pago_Pago",
                                  "Africa/Casablanca"};

constexpr const char *kLocales[] = {"en_US_POSIX", "de_DE", "ar_EG", "fa_IR", "th_TH", "ja_JP@calendar=japanese"};

constexpr qint64 kMsPerHour = 3600 * 1000;

int momentCount()
{
    const char *setting = std::getenv("HM_DATE_FORMAT_VALUES");
    const int count = setting ? std::atoi(setting) : 0;
    return count > 0 ? count : 1000000;
}

// Sets TZ for the life of the object, so that the formatter takes the zone as the system's.
class ScopedTz
{
public:
    explicit ScopedTz(const char *zone) : m_previous(qgetenv("TZ")), m_hadPrevious(qEnvironmentVariableIsSet("TZ"))
    {
        qputenv("TZ", zone);
        ::tzset();
    }
    ~ScopedTz()
    {
        if (m_hadPrevious)
            qputenv("TZ", m_previous);
        else
            qunsetenv("TZ");
        ::tzset();
    }

private:
    QByteArray m_previous;
    bool m_hadPrevious;
};

// ICU's own formatter for a pattern given by the program: Gregorian calendar, ASCII digits, strict.
std::unique_ptr<icu::SimpleDateFormat> icuFormatter(const char *pattern, const Locale &locale, const TimeZone &zone)
{
    icu::Locale adjusted = locale.icuLocale();
    UErrorCode status = U_ZERO_ERROR;
    adjusted.setKeywordValue("calendar", "gregorian", status);
    adjusted.setKeywordValue("numbers", "latn", status);
    auto format = std::make_unique<icu::SimpleDateFormat>(icu::UnicodeString(pattern), adjusted, status);
    EXPECT_TRUE(U_SUCCESS(status)) << pattern;
    format->setLenient(false);
    format->setTimeZone(zone.icuTimeZone());
    return format;
}

QString icuText(icu::SimpleDateFormat &format, qint64 moment)
{
    icu::UnicodeString text;
    format.format(UDate(moment), text);
    return fromUnicodeString(text);
}

// Moments on both sides of every offset change of the zone from 1800 to 2100.
QList<qint64> transitionMoments(const char *zoneName)
{
    QList<qint64> moments;
    const QTimeZone zone(zoneName);
    const QTimeZone::OffsetDataList transitions = zone.transitions(QDateTime(QDate(1800, 1, 1), QTime(0, 0), Qt::UTC),
                                                                   QDateTime(QDate(2100, 1, 1), QTime(0, 0), Qt::UTC));
    for (const QTimeZone::OffsetData &transition : transitions)
        moments.append(transition.atUtc.toMSecsSinceEpoch());
    return moments;
}

struct Formatters
{
    DateFormatter ours;
    FixedDatePattern fixed;
    std::unique_ptr<icu::SimpleDateFormat> icu;
};

class MomentSource
{
public:
    MomentSource(std::uint32_t seed, QList<qint64> transitions) : m_random(seed), m_transitions(std::move(transitions))
    {
    }

    qint64 next()
    {
        const int kind = pick(0, 99);
        if (kind < 30 && !m_transitions.isEmpty())
            return m_transitions.at(pick(0, int(m_transitions.size()) - 1)) + pick64(-3 * kMsPerHour, 3 * kMsPerHour);
        if (kind < 45)
            return nearYearBoundaryOrLeapDay();
        if (kind < 50)
            return pick64(utcMs(1500, 1, 1), utcMs(1700, 1, 1));
        if (kind < 55)
            return pick64(utcMs(9900, 1, 1), utcMs(10100, 1, 1));
        return pick64(utcMs(1900, 1, 1), utcMs(2100, 1, 1));
    }

private:
    int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(m_random); }
    qint64 pick64(qint64 low, qint64 high) { return std::uniform_int_distribution<qint64>(low, high)(m_random); }

    static qint64 utcMs(int year, int month, int day)
    {
        return QDateTime(QDate(year, month, day), QTime(0, 0), Qt::UTC).toMSecsSinceEpoch();
    }

    // Within a day and a half of a new year or of 29 February (or 1 March) of a year from 1600 to 9999.
    qint64 nearYearBoundaryOrLeapDay()
    {
        const int year = pick(0, 3) == 0 ? pick(1600, 9999) : pick(1896, 2104);
        const qint64 anchor = pick(0, 1) ? utcMs(year, 1, 1) : utcMs(year, 3, 1) - 12 * kMsPerHour;
        return anchor + pick64(-36 * kMsPerHour, 36 * kMsPerHour);
    }

    std::mt19937 m_random;
    QList<qint64> m_transitions;
};

} // namespace

// One case a zone, so that ctest runs them side by side: the million moments take minutes with the
// sanitizers. Each zone has the seed and the locale it had when the zones ran in one case.
class FixedDatePatternInZone : public testing::TestWithParam<int>
{
};

TEST_P(FixedDatePatternInZone, FormatsEveryMomentAsIcuDoes)
{
    const int perZone = momentCount() / int(std::size(kZones));
    const std::uint32_t seed = 41 + std::uint32_t(GetParam());
    const char *const zoneName = kZones[GetParam()];
    const ScopedTz tz(zoneName);
    const TimeZone zone = TimeZone::systemTimeZone();
    ASSERT_EQ(zone.name(), QString::fromLatin1(zoneName));
    ASSERT_TRUE(zone.offsetMsAt(0.0).has_value()) << zoneName;
    MomentSource source(seed, transitionMoments(zoneName));
    const Locale locale(QString::fromLatin1(kLocales[(seed + 1) % std::size(kLocales)]));
    std::vector<Formatters> formatters;
    for (const char *pattern : kPatterns)
        formatters.push_back({DateFormatter(QString::fromLatin1(pattern), locale, TimeZone::defaultTimeZone()),
                              FixedDatePattern::of(QString::fromLatin1(pattern)).value(),
                              icuFormatter(pattern, locale, zone)});
    int fastCount = 0;
    for (int index = 0; index < perZone; ++index) {
        const qint64 moment = source.next();
        Formatters &set = formatters[size_t(index) % formatters.size()];
        const QString expected = icuText(*set.icu, moment);
        const std::optional<QString> fast = set.fixed.format(double(moment), zone);
        fastCount += fast ? 1 : 0;
        ASSERT_EQ(fast.value_or(expected), expected) << moment << " in " << zoneName;
        ASSERT_EQ(set.ours.format(QDateTime::fromMSecsSinceEpoch(moment, Qt::UTC)), expected)
            << moment << " as " << qPrintable(set.ours.pattern()) << " in " << zoneName << ", "
            << qPrintable(locale.identifier());
    }
    // All but the far past and future, and offsets in seconds before standard time, take the fast path.
    EXPECT_GT(fastCount, perZone * 8 / 10) << zoneName;
}

INSTANTIATE_TEST_SUITE_P(FixedDatePattern, FixedDatePatternInZone, testing::Range(0, int(std::size(kZones))),
                         [](const testing::TestParamInfo<int> &info) {
                             std::string name = kZones[info.param];
                             std::replace_if(
                                 name.begin(), name.end(), [](char c) { return !std::isalnum(uchar(c)); }, '_');
                             return name;
                         });

TEST(FixedDatePattern, LeavesZonesOfIcuDataAndOddPatternsToIcu)
{
    // A zone only ICU's data names has no offsets of ours: ICU formats it, and the texts stay ICU's.
    const TimeZone custom = TimeZone::named(QStringLiteral("GMT+05:30")).value();
    EXPECT_FALSE(custom.offsetMsAt(0.0).has_value());
    const QDateTime moment = QDateTime::fromMSecsSinceEpoch(1721077509042, Qt::UTC);
    const Locale posix(QStringLiteral("en_US_POSIX"));
    EXPECT_EQ(DateFormatter(QStringLiteral("yyyy-MM-dd HH:mm:ss:SSS Z"), posix, custom).format(moment),
              QStringLiteral("2024-07-16 02:35:09:042 +0530"));
    // Patterns with other fields or counts, an open quote, and a field given twice go to ICU; quotes
    // are read as ICU reads them.
    const TimeZone utc = TimeZone::named(QStringLiteral("UTC")).value();
    const struct
    {
        const char *pattern;
        bool isFixed;
        const char *text;
    } rows[] = {{"yy-M-d", false, "24-7-15"}, {"yyyyy", false, "02024"},
                {"EEE HH", false, "Mon 21"},  {"hh:mm a", false, "09:05 PM"},
                {"'open", false, "open"},     {"yyyy yyyy", false, "2024 2024"},
                {"SS", false, "04"},          {"ZZZZ", false, "GMT"},
                {"''HH''", true, "'21'"},     {"'It''s' HH'h'", true, "It's 21h"},
                {"'''T'''", true, "'T'"}};
    for (const auto &row : rows) {
        const DateFormatter formatter(QString::fromLatin1(row.pattern), posix, utc);
        EXPECT_EQ(FixedDatePattern::of(QString::fromLatin1(row.pattern)).has_value(), row.isFixed) << row.pattern;
        EXPECT_EQ(formatter.format(moment), QString::fromUtf8(row.text)) << row.pattern;
    }
}

namespace {

// ICU's calendar as the platform calendar sets it up: Gregorian, weeks from Sunday, lenient.
std::unique_ptr<icu::Calendar> icuCalendar(const TimeZone &zone, qint64 moment)
{
    UErrorCode status = U_ZERO_ERROR;
    auto calendar = std::make_unique<icu::GregorianCalendar>(zone.icuTimeZone(), icu::Locale("en_US"), status);
    calendar->setFirstDayOfWeek(UCAL_SUNDAY);
    calendar->setMinimalDaysInFirstWeek(1);
    calendar->setTime(UDate(moment), status);
    EXPECT_TRUE(U_SUCCESS(status));
    return calendar;
}

DateComponents icuComponents(const TimeZone &zone, qint64 moment)
{
    static constexpr std::pair<UCalendarDateFields, std::optional<int> DateComponents::*> kFields[] = {
        {UCAL_YEAR, &DateComponents::year},
        {UCAL_DATE, &DateComponents::day},
        {UCAL_HOUR_OF_DAY, &DateComponents::hour},
        {UCAL_MINUTE, &DateComponents::minute},
        {UCAL_SECOND, &DateComponents::second},
        {UCAL_DAY_OF_WEEK, &DateComponents::weekday},
        {UCAL_DAY_OF_WEEK_IN_MONTH, &DateComponents::weekdayOrdinal},
        {UCAL_WEEK_OF_MONTH, &DateComponents::weekOfMonth}};
    const std::unique_ptr<icu::Calendar> calendar = icuCalendar(zone, moment);
    UErrorCode status = U_ZERO_ERROR;
    DateComponents parts;
    for (const auto &[field, member] : kFields)
        parts.*member = calendar->get(field, status);
    // ICU counts months from 0.
    parts.month = calendar->get(UCAL_MONTH, status) + 1;
    return parts;
}

UCalendarDateFields icuField(CalendarUnit unit)
{
    return unit == CalendarUnit::Day ? UCAL_DATE : unit == CalendarUnit::Month ? UCAL_MONTH : UCAL_YEAR;
}

qint64 icuAdding(const TimeZone &zone, qint64 moment, int amount, CalendarUnit unit)
{
    const std::unique_ptr<icu::Calendar> calendar = icuCalendar(zone, moment);
    UErrorCode status = U_ZERO_ERROR;
    calendar->add(icuField(unit), amount, status);
    return qint64(calendar->getTime(status));
}

qint64 icuUnitsBetween(const TimeZone &zone, qint64 from, qint64 to, CalendarUnit unit)
{
    UErrorCode status = U_ZERO_ERROR;
    return icuCalendar(zone, from)->fieldDifference(UDate(to), icuField(unit), status);
}

// The moment of the fields by ICU, fields set as the platform calendar sets them.
qint64 icuDate(const TimeZone &zone, const DateComponents &parts)
{
    const std::unique_ptr<icu::Calendar> calendar = icuCalendar(zone, 0);
    calendar->clear();
    calendar->set(UCAL_YEAR, *parts.year);
    calendar->set(UCAL_MONTH, *parts.month - 1);
    calendar->set(UCAL_DATE, *parts.day);
    calendar->set(UCAL_HOUR_OF_DAY, *parts.hour);
    calendar->set(UCAL_MINUTE, *parts.minute);
    calendar->set(UCAL_SECOND, *parts.second);
    UErrorCode status = U_ZERO_ERROR;
    return qint64(calendar->getTime(status));
}

void expectSameComponents(const DateComponents &ours, const DateComponents &icu, const std::string &where)
{
    ASSERT_EQ(ours.year, icu.year) << where;
    ASSERT_EQ(ours.month, icu.month) << where;
    ASSERT_EQ(ours.day, icu.day) << where;
    ASSERT_EQ(ours.hour, icu.hour) << where;
    ASSERT_EQ(ours.minute, icu.minute) << where;
    ASSERT_EQ(ours.second, icu.second) << where;
    ASSERT_EQ(ours.weekday, icu.weekday) << where;
    ASSERT_EQ(ours.weekdayOrdinal, icu.weekdayOrdinal) << where;
    ASSERT_EQ(ours.weekOfMonth, icu.weekOfMonth) << where;
}

void expectCalendarAgrees(const Calendar &calendar, MomentSource &source, std::mt19937 &random)
{
    const TimeZone &zone = calendar.timeZone();
    const qint64 moment = source.next();
    const QDateTime date = QDateTime::fromMSecsSinceEpoch(moment, Qt::UTC);
    const std::string where = std::to_string(moment) + " in " + zone.name().toStdString();
    ASSERT_NO_FATAL_FAILURE(expectSameComponents(calendar.components(date), icuComponents(zone, moment), where));
    const CalendarUnit units[] = {CalendarUnit::Day, CalendarUnit::Month, CalendarUnit::Year};
    const CalendarUnit unit = units[random() % 3];
    const int amount = int(random() % 801) - 400;
    ASSERT_EQ(calendar.adding(amount, unit, date).toMSecsSinceEpoch(), icuAdding(zone, moment, amount, unit))
        << where << " + " << amount << " of unit " << unsigned(unit);
    const qint64 other = source.next();
    ASSERT_EQ(calendar.unitsBetween(unit, date, QDateTime::fromMSecsSinceEpoch(other, Qt::UTC)),
              icuUnitsBetween(zone, moment, other, unit))
        << where << " to " << other << " in unit " << unsigned(unit);
    DateComponents wanted = icuComponents(zone, other);
    wanted.weekday.reset();
    // Now and then a field past its range, which carries over.
    if (random() % 10 == 0)
        wanted.day = *wanted.day + 31;
    ASSERT_EQ(calendar.date(wanted).toMSecsSinceEpoch(), icuDate(zone, wanted)) << where << " date of " << other;
}

} // namespace

TEST(PlainCalendar, ComputesEveryDateAsIcuDoes)
{
    // Four comparisons per moment, 40,000 moments by default; HM_DATE_FORMAT_VALUES=25000000 makes a
    // million for a thorough run.
    const int perZone = momentCount() / 25 / int(std::size(kZones));
    std::uint32_t seed = 73;
    for (const char *zoneName : kZones) {
        const TimeZone zone = TimeZone::named(QString::fromLatin1(zoneName)).value();
        MomentSource source(seed, transitionMoments(zoneName));
        std::mt19937 random(seed++);
        const Calendar calendar(zone);
        for (int index = 0; index < perZone; ++index)
            ASSERT_NO_FATAL_FAILURE(expectCalendarAgrees(calendar, source, random));
    }
}
