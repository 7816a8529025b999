// The occurrence dates of a record's recurrence keys, and the conversions between the record's
// weekday codes and the stores' weekday numbers.
#include "datasources/calendar/HMBaseCalendarData.h"

#include "foundation/HMOutlookRRuleHelper.h"

#include "foundation/HMRRuleHelper.h"
#include "foundation/Lumberjack/DDLog.h"
#include "platform/foundation/Calendar.h"

#include <functional>

namespace {

// Which member walks, how far, and how each index becomes a date.
struct Walk
{
    const char *name;
    qint64 frequency;
    const char *warning;
    qint64 limit;      // the index past the last one produced
    bool checksWindow; // stops at the end of the listing window
};

qint64 integerValue(const QVariantMap &dictionary, const QString &key)
{
    const QVariant value = dictionary.value(key);
    bool ok = false;
    const qint64 number = value.toLongLong(&ok);
    return ok ? number : qint64(value.toDouble());
}

qint64 occurrenceCount(const QVariantMap &dictionary)
{
    return integerValue(dictionary, QStringLiteral("OCCURS"));
}

// A device record with an interval below 1 would repeat its start tens of thousands of times: it
// counts as 1.
qint64 intervalOf(const QVariantMap &dictionary)
{
    const qint64 interval = integerValue(dictionary, QStringLiteral("INTERVAL"));
    return interval < 1 ? 1 : interval;
}

// The day a monthly or yearly rule falls on: the n-th (above 4: the last) weekday, or a day of the
// month.
struct DayPattern
{
    bool byWeekday = false;
    int weekday = 1;
    int ordinal = 1;
    int dayOfMonth = 1;
};

platform::DateComponents withDayPattern(platform::DateComponents components, const DayPattern &pattern)
{
    if (pattern.byWeekday) {
        components.weekday = pattern.weekday;
        components.weekdayOrdinal = pattern.ordinal;
    } else {
        components.day = pattern.dayOfMonth;
    }
    return components;
}

} // namespace

QList<int> HMBaseCalendarData::appleDaysFromHmDayMask(qint64 mask)
{
    QList<int> days;
    for (int bit = 0; mask > 0 && bit < 63; ++bit, mask >>= 1) {
        if (mask & 1)
            days.append(bit + 1);
    }
    return days;
}

qint64 HMBaseCalendarData::hmDayMaskFromAppleDays(const QList<int> &days)
{
    qint64 mask = 0;
    for (const int day : days) {
        if (day >= 1 && day <= 63)
            mask |= qint64(1) << (day - 1);
    }
    return mask;
}

int HMBaseCalendarData::appleDayFromHmMonthDay(qint64 mask)
{
    const int weekday = HMRRuleHelper::highestWeekdayOfDayMask(mask);
    return weekday == 0 ? 1 : weekday;
}

qint64 HMBaseCalendarData::hmMonthDayFromAppleDay(qint64 weekday)
{
    return HMRRuleHelper::hmDayMaskFromAppleDays({int(weekday)});
}

qint64 HMBaseCalendarData::hmDayOccurrenceFromWeekNumber(int weekNumber)
{
    return weekNumber < 0 ? 5 : weekNumber;
}

namespace {

// The shared walk of the four members: dates D(0), D(1), ... up to the limit, the end of the series'
// last day and (for most members) the end of the window.
std::optional<QList<QDateTime>> walkInstances(const Walk &walk, const QVariantMap &dictionary,
                                              const QDateTime &windowEnd, HMDateUtilities &utilities,
                                              bool onlyReturnLastDate, const std::function<QDateTime(qint64)> &dateAt)
{
    DDLogVerbose(QStringLiteral("Generating %1 Instances...").arg(QLatin1String(walk.name)));
    const qint64 repeat = integerValue(dictionary, QStringLiteral("REPEAT"));
    if (repeat == 0) {
        if (walk.frequency == 4)
            DDLogInfo(QStringLiteral("No recurrence value"));
        return std::nullopt;
    }
    if (repeat != walk.frequency) {
        DDLogInfo(QLatin1String(walk.warning));
        return std::nullopt;
    }
    const QDateTime repeatEnd = dictionary.value(QStringLiteral("NSDATEREPEATEND")).toDateTime();
    const QDateTime endBound = repeatEnd.isValid()
                                   ? utilities.dateByAdding(1, platform::CalendarUnit::Day, repeatEnd).addSecs(-1)
                                   : QDateTime();
    qint64 first = 0;
    if (onlyReturnLastDate && !repeatEnd.isValid() && occurrenceCount(dictionary) > 0)
        first = walk.limit - 1;
    QList<QDateTime> dates;
    for (qint64 index = first; index < walk.limit; ++index) {
        const QDateTime date = dateAt(index);
        if (!date.isValid())
            break;
        if (walk.checksWindow && windowEnd.isValid() && date > windowEnd)
            break;
        if (endBound.isValid() && date > endBound)
            break;
        dates.append(date);
    }
    return dates;
}

} // namespace

namespace {

DayPattern dayPatternOf(const QVariantMap &dictionary)
{
    DayPattern pattern;
    pattern.byWeekday = integerValue(dictionary, QStringLiteral("REPTDAYOPT")) != 0;
    pattern.weekday = HMBaseCalendarData::appleDayFromHmMonthDay(integerValue(dictionary, QStringLiteral("DAYMASK")));
    const qint64 ordinal = integerValue(dictionary, QStringLiteral("DAYOCCUR"));
    pattern.ordinal = ordinal > 4 ? -1 : int(ordinal);
    pattern.dayOfMonth = int(integerValue(dictionary, QStringLiteral("DAYOFMONTH")));
    return pattern;
}

// Whether the month has the pattern's day: a weekday pattern falls in every month.
bool holdsDay(const platform::DateComponents &month, const DayPattern &pattern)
{
    if (pattern.byWeekday || pattern.dayOfMonth <= 28)
        return true;
    const QDate first(month.year.value_or(0), month.month.value_or(0), 1);
    return first.isValid() && pattern.dayOfMonth <= first.daysInMonth();
}

constexpr int kMaxMonthsWithoutTheDay = 48;

// The months of a monthly walk that hold its day, by their index among those months. The walk asks
// for indexes in order (or for one alone), so each answer goes on from the last.
class MonthSteps
{
public:
    template <typename MonthAt>
    std::optional<platform::DateComponents> monthOf(qint64 index, const MonthAt &monthAt, const DayPattern &pattern)
    {
        if (index < m_index) {
            m_index = -1;
            m_step = -1;
        }
        std::optional<platform::DateComponents> month;
        // A month lacks the day at most seven times in a row (the 29th yearly, across a century's
        // end); a walk that never meets its day (the 31st of every twelfth month from April) stops.
        for (int misses = 0; m_index < index; ++misses) {
            if (misses > kMaxMonthsWithoutTheDay)
                return std::nullopt;
            month = monthAt(++m_step);
            if (!month->year)
                return std::nullopt;
            if (holdsDay(*month, pattern)) {
                ++m_index;
                misses = 0;
            }
        }
        return month ? month : std::optional(monthAt(m_step));
    }

private:
    qint64 m_index = -1; // the index of the month last found
    qint64 m_step = -1;  // its step from the start's month
};

} // namespace

std::optional<QList<QDateTime>> HMBaseCalendarData::instancesForDailyRecurrenceStartingOn(const QDateTime &start,
                                                                                          const QVariantMap &dictionary,
                                                                                          bool onlyReturnLastDate)
{
    const qint64 count = occurrenceCount(dictionary);
    const Walk walk{"Daily", 1, "WARNING: Trying to use daily recurrence logic on a non-daily event.",
                    (count > 0 ? count : 40150) + 1, true};
    const qint64 interval = intervalOf(dictionary);
    HMDateUtilities &utilities = dateUtilities();
    return walkInstances(walk, dictionary, calendarDateRangeEnd(), utilities, onlyReturnLastDate, [&](qint64 index) {
        return utilities.dateByAdding(index * interval, platform::CalendarUnit::Day, start);
    });
}

std::optional<QList<QDateTime>>
HMBaseCalendarData::instancesForWeeklyRecurrenceStartingOn(const QDateTime &start, const QVariantMap &dictionary,
                                                           bool onlyReturnLastDate)
{
    const qint64 count = occurrenceCount(dictionary);
    const Walk walk{"Weekly", 2, "WARNING: Trying to use weekly recurrence logic on a non-weekly event.",
                    (count > 0 ? count : 40040) + 1, true};
    HMDateUtilities &utilities = dateUtilities();
    const int startDay = utilities.calendar().component(platform::CalendarUnit::Weekday, start).value_or(1);
    QList<int> days = appleDaysFromHmDayMask(integerValue(dictionary, QStringLiteral("DAYMASK")));
    if (days.isEmpty()) {
        DDLogVerbose(QStringLiteral("No week days found in mask, just using day of event."));
        days = {startDay};
    }
    const qint64 startIndex = std::max<qint64>(0, days.indexOf(startDay));
    const qint64 interval = intervalOf(dictionary);
    const qint64 dayCount = days.size();
    DDLogVerbose(QStringLiteral("index of Start Date Week Day: %1").arg(startIndex));
    return walkInstances(walk, dictionary, calendarDateRangeEnd(), utilities, onlyReturnLastDate, [&](qint64 index) {
        const qint64 weeks = ((index + startIndex) / dayCount) * interval;
        const qint64 extraDays = days[(index + startIndex) % dayCount] - days[startIndex];
        return utilities.dateByAdding(weeks * 7 + extraDays, platform::CalendarUnit::Day, start);
    });
}

std::optional<QList<QDateTime>>
HMBaseCalendarData::instancesForMonthlyRecurrenceStartingOn(const QDateTime &start, const QVariantMap &dictionary,
                                                            bool onlyReturnLastDate)
{
    const qint64 count = occurrenceCount(dictionary);
    const Walk walk{"Monthly", 3, "WARNING: Trying to use monthly recurrence logic on a non-monthly event.",
                    count > 0 ? count + 1 : 1320, true};
    platform::Calendar &calendar = dateUtilities().calendar();
    platform::DateComponents reference = calendar.components(start);
    DDLogVerbose(QStringLiteral("Start Date Day %1").arg(reference.day.value_or(0)));
    const QDateTime referenceDate =
        calendar.date({reference.year, reference.month, 1, reference.hour, reference.minute, reference.second});
    const qint64 interval = intervalOf(dictionary);
    const DayPattern pattern = dayPatternOf(dictionary);
    const auto monthAt = [&](qint64 step) {
        return calendar.components(calendar.adding(step * interval, platform::CalendarUnit::Month, referenceDate));
    };
    // A day of the month that a month lacks (the 31st in April) gives no date in that month: the walk
    // goes on to the next month that has it, and the skipped month counts towards no limit.
    MonthSteps steps;
    return walkInstances(
        walk, dictionary, calendarDateRangeEnd(), dateUtilities(), onlyReturnLastDate, [&](qint64 index) {
            const std::optional<platform::DateComponents> month = steps.monthOf(index, monthAt, pattern);
            if (!month)
                return QDateTime();
            const platform::DateComponents wanted = withDayPattern(
                {month->year, month->month, std::nullopt, month->hour, month->minute, month->second}, pattern);
            return calendar.date(wanted);
        });
}

std::optional<QList<QDateTime>>
HMBaseCalendarData::instancesForYearlyRecurrenceStartingOn(const QDateTime &start, const QVariantMap &dictionary,
                                                           bool onlyReturnLastDate)
{
    const qint64 count = occurrenceCount(dictionary);
    const Walk walk{"Yearly", 4, "WARNING: Trying to use yearly recurrence logic on a non-yearly event.",
                    count > 0 ? count : 120, false};
    DDLogInfo(QStringLiteral("Recurrence start %1").arg(dateUtilities().localDateTimeStringFromDate(start)));
    platform::Calendar &calendar = dateUtilities().calendar();
    const platform::DateComponents startParts = calendar.components(start);
    const QDateTime referenceDate =
        calendar.date({startParts.year, startParts.month, 1, startParts.hour, startParts.minute, startParts.second});
    const qint64 interval = intervalOf(dictionary);
    const qint64 monthKey = integerValue(dictionary, QStringLiteral("MONTH"));
    const int month = monthKey != 0 ? int(monthKey) : startParts.month.value_or(1) + 1;
    const DayPattern pattern = dayPatternOf(dictionary);
    const platform::Calendar systemCalendar;
    return walkInstances(walk, dictionary, QDateTime(), dateUtilities(), onlyReturnLastDate, [&](qint64 index) {
        const platform::DateComponents year =
            calendar.components(calendar.adding(index * interval, platform::CalendarUnit::Year, referenceDate));
        const platform::DateComponents wanted =
            withDayPattern({year.year, month, std::nullopt, year.hour, year.minute, year.second}, pattern);
        return systemCalendar.date(wanted);
    });
}

std::optional<QList<QDateTime>> HMBaseCalendarData::instancesForRecurrenceBetween(const QDateTime &start,
                                                                                  const QDateTime &end,
                                                                                  const QVariantMap &dictionary)
{
    DDLogInfo(QStringLiteral("Generating Instances for Recurring Event"));
    const qint64 repeat = integerValue(dictionary, QStringLiteral("REPEAT"));
    if (repeat == 0) {
        DDLogInfo(QStringLiteral("-- No Recurrence Rule Found."));
        return std::nullopt;
    }
    if (repeat != 1) {
        DDLogWarn(QStringLiteral("Recurrence not handled."));
        return std::nullopt;
    }
    const qint64 interval = intervalOf(dictionary);
    QList<QDateTime> dates;
    for (qint64 index = 0; index <= 40150; ++index) {
        const QDateTime date = dateUtilities().dateByAdding(index * interval, platform::CalendarUnit::Day, start);
        if (!date.isValid() || (end.isValid() && date > end))
            break;
        dates.append(date);
    }
    return dates;
}

// The n-th date of the rule's expansion, not cut by the sync window (the expansion's own limits
// still apply); nullopt when it has fewer dates.
std::optional<QDateTime> HMBaseCalendarData::nthDateOfOutlookRule(const QString &rule, const QDateTime &start, qint64 type,
                                                              qint64 count)
{
    if (type == 0 || count < 1 || !start.isValid())
        return std::nullopt;
    QVariantMap dictionary = HMOutlookRRuleHelper::getDictionaryFromRRule(rule, start);
    dictionary.insert(QStringLiteral("REPEAT"), type);
    const QDateTime windowEnd = calendarDateRangeEnd();
    setCalendarDateRangeEnd(QDateTime());
    std::optional<QList<QDateTime>> dates;
    switch (type) {
    case 1: dates = instancesForDailyRecurrenceStartingOn(start, dictionary, false); break;
    case 2: dates = instancesForWeeklyRecurrenceStartingOn(start, dictionary, false); break;
    case 3: dates = instancesForMonthlyRecurrenceStartingOn(start, dictionary, false); break;
    default: dates = instancesForYearlyRecurrenceStartingOn(start, dictionary, false); break;
    }
    setCalendarDateRangeEnd(windowEnd);
    if (!dates || dates->size() < count || !dates->at(count - 1).isValid())
        return std::nullopt;
    return dates->at(count - 1);
}
