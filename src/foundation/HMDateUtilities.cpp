#include "foundation/HMDateUtilities.h"

#include "platform/foundation/Clock.h"
#include "platform/foundation/ConsoleLog.h"
#include "platform/foundation/Locale.h"
#include "platform/foundation/Values.h"

using platform::CalendarUnit;
using platform::DateFormatter;
using platform::Locale;
using platform::TimeZone;

namespace {

QDateTime parseOrNone(const DateFormatter &formatter, const QString &text)
{
    const platform::Result<QDateTime> date = formatter.parse(text);
    return date ? *date : QDateTime();
}

QString formatOrNone(const DateFormatter &formatter, const QDateTime &date)
{
    return date.isValid() ? formatter.format(date) : QString();
}

// The record's date and time texts joined and parsed with the full formatter, or the date alone with
// the date-only formatter. A value that is not text gives no date.
QDateTime dateFromSyncTexts(const QVariant &dateString, const QVariant &timeString, DateFormatter &fullFormatter,
                            DateFormatter &dateOnlyFormatter)
{
    if (!platform::isText(dateString))
        return QDateTime();
    if (!platform::isNil(timeString) && !platform::isText(timeString))
        return QDateTime();
    const QString dateText = dateString.toString();
    const QString timeText = timeString.toString();
    if (dateText.isEmpty())
        return QDateTime();
    if (timeText.isEmpty())
        return parseOrNone(dateOnlyFormatter, dateText);
    return parseOrNone(fullFormatter, dateText + QLatin1Char(' ') + timeText);
}

} // namespace

HMDateUtilities::HMDateUtilities() = default;

DateFormatter &HMDateUtilities::formatter(Format format)
{
    struct Pattern
    {
        const char *text;
        bool isGmt;
    };
    // By Format.
    static constexpr std::array<Pattern, kFormatCount> kPatterns = {{
        {"yyyyMMdd", false},
        {"HH:mm:ss", false},
        {"yyyyMMdd HH:mm:ss", false},
        {"yyyyMMdd", true},
        {"HH:mm:ss", true},
        {"yyyyMMdd HH:mm:ss", true},
        {"yyyy-MM-dd", false},
        {"yyyy-MM-dd HH:mm:ss", false},
        {"yyyy-MM-dd HH:mm:ss", true},
    }};
    std::optional<DateFormatter> &made = m_formatters[std::size_t(format)];
    if (!made) {
        const Pattern &pattern = kPatterns[std::size_t(format)];
        made.emplace(QString::fromLatin1(pattern.text), Locale::current(),
                     pattern.isGmt ? TimeZone::gmt() : TimeZone::defaultTimeZone());
    }
    return *made;
}

QString HMDateUtilities::dateStringFromDateFormattedForSync(const QDateTime &date)
{
    return formatOrNone(dateOnlySyncFormatter(), date);
}

QString HMDateUtilities::timeStringFromDateFormattedForSync(const QDateTime &date)
{
    return formatOrNone(timeOnlySyncformatter(), date);
}

QString HMDateUtilities::dateGmtStringFromDateFormattedForSync(const QDateTime &date)
{
    return formatOrNone(dateOnlyGmtSyncFormatter(), date);
}

QString HMDateUtilities::timeGmtStringFromDateFormattedForSync(const QDateTime &date)
{
    return formatOrNone(timeOnlyGmtSyncformatter(), date);
}

QString HMDateUtilities::localDateTimeStringFromDate(const QDateTime &date)
{
    return formatOrNone(fullDateFormatter(), date);
}

QString HMDateUtilities::gmtDateTimeStringFromDate(const QDateTime &date)
{
    return formatOrNone(fullDateGmtFormatter(), date);
}

QDateTime HMDateUtilities::dateFromDateString(const QVariant &dateString, const QVariant &timeString)
{
    return dateFromSyncTexts(dateString, timeString, fullDateSyncFormatter(), dateOnlySyncFormatter());
}

QDateTime HMDateUtilities::dateFromGmtDateString(const QVariant &dateString, const QVariant &timeString)
{
    return dateFromSyncTexts(dateString, timeString, fullDateGmtSyncFormatter(), dateOnlyGmtSyncFormatter());
}

QDateTime HMDateUtilities::dateFromDateTimeString(const QString &text)
{
    if (text.isNull() || text == QLatin1String("0000-00-00 00:00:00"))
        return QDateTime();
    return parseOrNone(fullDateFormatter(), text);
}

QDateTime HMDateUtilities::dateFromLocalDateTimeString(const QString &text)
{
    if (text.isEmpty())
        return QDateTime();
    const QDateTime date = parseOrNone(fullDateFormatter(), text);
    if (date.isValid())
        return date;
    fullDateFormatter().setLocale(Locale(QStringLiteral("en_us")));
    return parseOrNone(fullDateFormatter(), text);
}

QDateTime HMDateUtilities::dateFromGmtDateTimeString(const QString &text)
{
    fullDateGmtFormatter().setLocale(Locale::system());
    return parseOrNone(fullDateGmtFormatter(), text);
}

QDateTime HMDateUtilities::dateFromMySqlDateTimeString(const QString &text)
{
    if (text.isNull())
        return QDateTime();
    const DateFormatter formatter(QStringLiteral("yyyy-MM-dd'T'HH:mm:ssZZZ"), Locale(QStringLiteral("en_US_POSIX")),
                                  TimeZone::defaultTimeZone());
    const platform::Result<QDateTime> date = formatter.parse(text);
    if (date)
        return *date;
    platform::consoleLog(QStringLiteral("Date '%1' could not be parsed: %2").arg(text, date.error().message()));
    return QDateTime();
}

QDateTime HMDateUtilities::today() const
{
    return platform::Clock::now();
}

QDateTime HMDateUtilities::dateMonths(qint64 count, const QDateTime &date) const
{
    return m_calendar.adding(count, CalendarUnit::Month, date);
}

QDateTime HMDateUtilities::monthsFromToday(qint64 count) const
{
    return dateMonths(count, today());
}

qint64 HMDateUtilities::minutesFromDate(const QDateTime &from, const QDateTime &to) const
{
    return m_calendar.unitsBetween(CalendarUnit::Minute, from, to).value_or(0);
}

qint64 HMDateUtilities::componentsOf(CalendarUnit unit, const QDateTime &from, const QDateTime &to) const
{
    if (unit != CalendarUnit::Month && unit != CalendarUnit::Day && unit != CalendarUnit::Second)
        return 0;
    return m_calendar.unitsBetween(unit, from, to).value_or(0);
}

int HMDateUtilities::componentsOf(CalendarUnit unit, const QDateTime &date) const
{
    if (unit != CalendarUnit::Month && unit != CalendarUnit::Day && unit != CalendarUnit::Second)
        return 0;
    return m_calendar.component(unit, date).value_or(0);
}

QDateTime HMDateUtilities::dateAtMidnightForDate(const QDateTime &date) const
{
    return dateAtHourOfDay(date, 0);
}

QDateTime HMDateUtilities::dateWithNoonTimeForDate(const QDateTime &date) const
{
    return dateAtHourOfDay(date, 12);
}

QDateTime HMDateUtilities::dateAtMidnightInTimeZone(const TimeZone &zone, const QDateTime &date)
{
    m_calendar.setTimeZone(zone);
    return dateAtMidnightForDate(date);
}

QDateTime HMDateUtilities::dateByAdding(qint64 amount, CalendarUnit unit, const QDateTime &date) const
{
    switch (unit) {
    case CalendarUnit::Month:
    case CalendarUnit::Day:
    case CalendarUnit::Hour:
    case CalendarUnit::Minute:
    case CalendarUnit::Second:
        return m_calendar.adding(amount, unit, date);
    default:
        return date;
    }
}

QDateTime HMDateUtilities::dateAtHourOfDay(const QDateTime &date, int hour) const
{
    const platform::DateComponents parts = m_calendar.components(date);
    if (!parts.year)
        return QDateTime();
    platform::DateComponents dayAtHour;
    dayAtHour.year = parts.year;
    dayAtHour.month = parts.month;
    dayAtHour.day = parts.day;
    dayAtHour.hour = hour;
    dayAtHour.minute = 0;
    dayAtHour.second = 0;
    return m_calendar.date(dayAtHour);
}
