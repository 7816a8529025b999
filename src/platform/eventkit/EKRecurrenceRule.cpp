#include "platform/eventkit/EKRecurrenceRule.h"

#include "platform/eventkit/RecurrenceRuleParts.h"

namespace platform {

EKRecurrenceRule::EKRecurrenceRule(EKRecurrenceFrequency frequency, int interval,
                                   const QList<EKRecurrenceDayOfWeek> &daysOfTheWeek, const QList<int> &daysOfTheMonth,
                                   const QList<int> &monthsOfTheYear, const QList<int> &weeksOfTheYear,
                                   const QList<int> &daysOfTheYear, const QList<int> &setPositions,
                                   const std::optional<EKRecurrenceEnd> &end)
    : m_frequency(frequency), m_interval(interval < 1 ? 1 : interval), m_daysOfTheWeek(daysOfTheWeek),
      m_daysOfTheMonth(daysOfTheMonth), m_monthsOfTheYear(monthsOfTheYear), m_weeksOfTheYear(weeksOfTheYear),
      m_daysOfTheYear(daysOfTheYear), m_setPositions(setPositions), m_recurrenceEnd(end)
{
}

QString EKRecurrenceRule::description() const
{
    RecurrenceRuleParts parts = RecurrenceRuleParts::withEnd(int(m_frequency), m_interval, m_recurrenceEnd);
    for (const EKRecurrenceDayOfWeek &day : m_daysOfTheWeek)
        parts.byDay.append({day.dayOfTheWeek(), day.weekNumber()});
    parts.byMonthDay = m_daysOfTheMonth;
    parts.byMonth = m_monthsOfTheYear;
    parts.byWeekNo = m_weeksOfTheYear;
    parts.byYearDay = m_daysOfTheYear;
    parts.bySetPos = m_setPositions;
    return parts.toText(QLatin1StringView("EKRecurrenceRule RRULE "));
}

} // namespace platform
