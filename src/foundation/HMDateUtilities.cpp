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

DateFormatter &ensureFormatter(std::optional<DateFormatter> &formatter, const char *pattern, const TimeZone &zone)
{
    if (!formatter)
        formatter.emplace(QString::fromLatin1(pattern), Locale::current(), zone);
    return *formatter;
}

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

DateFormatter &HMDateUtilities::dateOnlySyncFormatter()
{
    return ensureFormatter(m_dateOnlySyncFormatter, "yyyyMMdd", TimeZone::defaultTimeZone());
}

DateFormatter &HMDateUtilities::timeOnlySyncformatter()
{
    return ensureFormatter(m_timeOnlySyncformatter, "HH:mm:ss", TimeZone::defaultTimeZone());
}

DateFormatter &HMDateUtilities::fullDateSyncFormatter()
{
    return ensureFormatter(m_fullDateSyncFormatter, "yyyyMMdd HH:mm:ss", TimeZone::defaultTimeZone());
}

DateFormatter &HMDateUtilities::dateOnlyGmtSyncFormatter()
{
    return ensureFormatter(m_dateOnlyGmtSyncFormatter, "yyyyMMdd", TimeZone::gmt());
}

DateFormatter &HMDateUtilities::timeOnlyGmtSyncformatter()
{
    return ensureFormatter(m_timeOnlyGmtSyncformatter, "HH:mm:ss", TimeZone::gmt());
}

DateFormatter &HMDateUtilities::fullDateGmtSyncFormatter()
{
    return ensureFormatter(m_fullDateGmtSyncFormatter, "yyyyMMdd HH:mm:ss", TimeZone::gmt());
}

DateFormatter &HMDateUtilities::dateOnlyFormatter()
{
    return ensureFormatter(m_dateOnlyFormatter, "yyyy-MM-dd", TimeZone::defaultTimeZone());
}

DateFormatter &HMDateUtilities::fullDateFormatter()
{
    return ensureFormatter(m_fullDateFormatter, "yyyy-MM-dd HH:mm:ss", TimeZone::defaultTimeZone());
}

DateFormatter &HMDateUtilities::fullDateGmtFormatter()
{
    return ensureFormatter(m_fullDateGmtFormatter, "yyyy-MM-dd HH:mm:ss", TimeZone::gmt());
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
