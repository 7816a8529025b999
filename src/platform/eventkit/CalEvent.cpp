#include "platform/eventkit/CalEvent.h"

#include "platform/eventkit/EKEvent.h"

namespace platform {

namespace {

std::optional<CalRecurrenceEnd> calEndFrom(const std::optional<EKRecurrenceEnd> &end)
{
    if (!end)
        return std::nullopt;
    if (end->endDate().isValid())
        return CalRecurrenceEnd::recurrenceEndWithEndDate(end->endDate());
    return CalRecurrenceEnd::recurrenceEndWithOccurrenceCount(end->occurrenceCount());
}

std::optional<EKRecurrenceEnd> ekEndFrom(const std::optional<CalRecurrenceEnd> &end)
{
    if (!end)
        return std::nullopt;
    if (end->usesEndDate())
        return EKRecurrenceEnd::recurrenceEndWithEndDate(end->endDate());
    return EKRecurrenceEnd::recurrenceEndWithOccurrenceCount(end->occurrenceCount());
}

// The week of a monthly or yearly weekday: its own number, else the rule's first set position
// ("the last Wednesday" is also written BYDAY=WE;BYSETPOS=-1).
int weekOf(const EKRecurrenceRule &rule)
{
    const EKRecurrenceDayOfWeek day = rule.daysOfTheWeek().value(0);
    if (day.weekNumber() != 0)
        return day.weekNumber();
    return rule.setPositions().value(0);
}

CalRecurrenceRule calRuleFrom(const EKRecurrenceRule &rule)
{
    const std::optional<CalRecurrenceEnd> end = calEndFrom(rule.recurrenceEnd());
    const int interval = rule.interval();
    const int weekday = rule.daysOfTheWeek().value(0).dayOfTheWeek();
    switch (rule.frequency()) {
    case EKRecurrenceFrequency::Daily:
        return CalRecurrenceRule::initDailyRecurrenceWithInterval(interval, end);
    case EKRecurrenceFrequency::Weekly: {
        QList<int> days;
        for (const EKRecurrenceDayOfWeek &day : rule.daysOfTheWeek())
            days.append(day.dayOfTheWeek());
        return days.isEmpty() ? CalRecurrenceRule::initWeeklyRecurrenceWithInterval(interval, end)
                              : CalRecurrenceRule::initWeeklyRecurrenceWithInterval(interval, days, end);
    }
    case EKRecurrenceFrequency::Monthly:
        if (weekday && weekOf(rule))
            return CalRecurrenceRule::initMonthlyRecurrenceWithInterval(interval, weekday, weekOf(rule), end);
        if (!rule.daysOfTheMonth().isEmpty())
            return CalRecurrenceRule::initMonthlyRecurrenceWithInterval(interval, rule.daysOfTheMonth(), end);
        return CalRecurrenceRule::initMonthlyRecurrenceWithInterval(interval, end);
    case EKRecurrenceFrequency::Yearly:
        if (weekday && weekOf(rule)) {
            return CalRecurrenceRule::initYearlyRecurrenceWithInterval(interval, weekday, weekOf(rule),
                                                                       rule.monthsOfTheYear(), end);
        }
        return CalRecurrenceRule::initYearlyRecurrenceWithInterval(interval, end);
    }
    return CalRecurrenceRule::initDailyRecurrenceWithInterval(interval, end);
}

EKRecurrenceRule ekRuleFrom(const CalRecurrenceRule &rule)
{
    QList<EKRecurrenceDayOfWeek> days;
    for (const CalWeekdayEntry &entry : rule.daysOfTheWeek()) {
        if (const int *plain = std::get_if<int>(&entry))
            days.append(EKRecurrenceDayOfWeek::dayOfWeek(*plain));
        else if (const CalNthWeekDay *nth = std::get_if<CalNthWeekDay>(&entry))
            days.append(EKRecurrenceDayOfWeek::dayOfWeek(nth->dayOfTheWeek(), nth->weekNumber()));
    }
    return EKRecurrenceRule(EKRecurrenceFrequency(int(rule.recurrenceType())), rule.recurrenceInterval(), days,
                            rule.daysOfTheMonth(), rule.monthsOfTheYear(), {}, {}, {}, ekEndFrom(rule.recurrenceEnd()));
}

} // namespace

std::shared_ptr<CalEvent> CalEvent::event()
{
    return std::make_shared<CalEvent>(std::make_shared<EKEvent>());
}

CalEvent::CalEvent(std::shared_ptr<EKEvent> event) : m_event(std::move(event)) {}

QDateTime CalEvent::startDate() const
{
    return m_event->startDate();
}

void CalEvent::setStartDate(const QDateTime &date)
{
    m_event->setStartDate(date);
}

QDateTime CalEvent::endDate() const
{
    return m_event->endDate();
}

void CalEvent::setEndDate(const QDateTime &date)
{
    m_event->setEndDate(date);
}

bool CalEvent::isAllDay() const
{
    return m_event->isAllDay();
}

void CalEvent::setIsAllDay(bool allDay)
{
    m_event->setAllDay(allDay);
}

QString CalEvent::location() const
{
    return m_event->location();
}

void CalEvent::setLocation(const QString &location)
{
    m_event->setLocation(location);
}

QDateTime CalEvent::occurrence() const
{
    return m_event->occurrenceDate();
}

bool CalEvent::isDetached() const
{
    return m_event->isDetached();
}

std::optional<CalRecurrenceRule> CalEvent::recurrenceRule() const
{
    if (!m_event->hasRecurrenceRules())
        return std::nullopt;
    return calRuleFrom(m_event->recurrenceRules().constFirst());
}

void CalEvent::setRecurrenceRule(const std::optional<CalRecurrenceRule> &rule)
{
    m_event->setRecurrenceRules(rule ? QList<EKRecurrenceRule>{ekRuleFrom(*rule)} : QList<EKRecurrenceRule>{});
}

EKCalendarItem &CalEvent::item() const
{
    return *m_event;
}

QDateTime CalEvent::alarmReferenceDate() const
{
    return m_event->startDate();
}

} // namespace platform
