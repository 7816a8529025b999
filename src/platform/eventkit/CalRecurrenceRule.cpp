#include "platform/eventkit/CalRecurrenceRule.h"

#include "platform/eventkit/RecurrenceRuleParts.h"

namespace platform {

namespace {

RecurrenceWeekday weekdayOf(const CalWeekdayEntry &entry)
{
    if (const int *number = std::get_if<int>(&entry))
        return {*number, 0};
    const CalNthWeekDay &nth = std::get<CalNthWeekDay>(entry);
    return {nth.dayOfTheWeek(), nth.weekNumber()};
}

} // namespace

CalRecurrenceRule::CalRecurrenceRule(CalRecurrenceType type, int interval, const std::optional<CalRecurrenceEnd> &end)
    : m_recurrenceType(type), m_recurrenceInterval(interval), m_recurrenceEnd(end)
{
}

CalRecurrenceRule CalRecurrenceRule::initDailyRecurrenceWithInterval(int interval,
                                                                     const std::optional<CalRecurrenceEnd> &end)
{
    return CalRecurrenceRule(CalRecurrenceType::Daily, interval, end);
}

CalRecurrenceRule CalRecurrenceRule::initWeeklyRecurrenceWithInterval(int interval,
                                                                      const std::optional<CalRecurrenceEnd> &end)
{
    return CalRecurrenceRule(CalRecurrenceType::Weekly, interval, end);
}

CalRecurrenceRule CalRecurrenceRule::initWeeklyRecurrenceWithInterval(int interval, const QList<int> &daysOfTheWeek,
                                                                      const std::optional<CalRecurrenceEnd> &end)
{
    CalRecurrenceRule rule(CalRecurrenceType::Weekly, interval, end);
    for (const int day : daysOfTheWeek)
        rule.m_daysOfTheWeek.append(day);
    return rule;
}

CalRecurrenceRule CalRecurrenceRule::initMonthlyRecurrenceWithInterval(int interval,
                                                                       const std::optional<CalRecurrenceEnd> &end)
{
    return CalRecurrenceRule(CalRecurrenceType::Monthly, interval, end);
}

CalRecurrenceRule CalRecurrenceRule::initMonthlyRecurrenceWithInterval(int interval, const QList<int> &daysOfTheMonth,
                                                                       const std::optional<CalRecurrenceEnd> &end)
{
    CalRecurrenceRule rule(CalRecurrenceType::Monthly, interval, end);
    rule.m_daysOfTheMonth = daysOfTheMonth;
    return rule;
}

CalRecurrenceRule CalRecurrenceRule::initMonthlyRecurrenceWithInterval(int interval, int dayOfTheWeek,
                                                                       int weekOfTheMonth,
                                                                       const std::optional<CalRecurrenceEnd> &end)
{
    CalRecurrenceRule rule(CalRecurrenceType::Monthly, interval, end);
    rule.m_daysOfTheWeek.append(CalNthWeekDay(dayOfTheWeek, weekOfTheMonth));
    return rule;
}

CalRecurrenceRule CalRecurrenceRule::initYearlyRecurrenceWithInterval(int interval,
                                                                      const std::optional<CalRecurrenceEnd> &end)
{
    return CalRecurrenceRule(CalRecurrenceType::Yearly, interval, end);
}

CalRecurrenceRule CalRecurrenceRule::initYearlyRecurrenceWithInterval(int interval, const QList<int> &monthsOfTheYear,
                                                                      const std::optional<CalRecurrenceEnd> &end)
{
    CalRecurrenceRule rule(CalRecurrenceType::Yearly, interval, end);
    rule.m_monthsOfTheYear = monthsOfTheYear;
    return rule;
}

CalRecurrenceRule CalRecurrenceRule::initYearlyRecurrenceWithInterval(int interval, int dayOfTheWeek,
                                                                      int weekOfTheMonth,
                                                                      const QList<int> &monthsOfTheYear,
                                                                      const std::optional<CalRecurrenceEnd> &end)
{
    CalRecurrenceRule rule(CalRecurrenceType::Yearly, interval, end);
    rule.m_daysOfTheWeek.append(CalNthWeekDay(dayOfTheWeek, weekOfTheMonth));
    rule.m_monthsOfTheYear = monthsOfTheYear;
    return rule;
}

QString CalRecurrenceRule::description() const
{
    RecurrenceRuleParts parts =
        RecurrenceRuleParts::withEnd(int(m_recurrenceType), m_recurrenceInterval, m_recurrenceEnd);
    for (const CalWeekdayEntry &entry : m_daysOfTheWeek)
        parts.byDay.append(weekdayOf(entry));
    parts.byMonthDay = m_daysOfTheMonth;
    parts.byMonth = m_monthsOfTheYear;
    return parts.toText(QLatin1StringView("CalRecurrenceRule RRULE "));
}

} // namespace platform
