#include "platform/eventkit/EKRecurrenceDayOfWeek.h"

#include "platform/eventkit/RecurrenceRuleParts.h"

namespace platform {

EKRecurrenceDayOfWeek EKRecurrenceDayOfWeek::dayOfWeek(int dayOfTheWeek)
{
    return EKRecurrenceDayOfWeek(dayOfTheWeek, 0);
}

EKRecurrenceDayOfWeek EKRecurrenceDayOfWeek::dayOfWeek(int dayOfTheWeek, int weekNumber)
{
    return EKRecurrenceDayOfWeek(dayOfTheWeek, weekNumber);
}

QString EKRecurrenceDayOfWeek::description() const
{
    const QString code = RecurrenceRuleParts::weekdayCode(m_dayOfTheWeek);
    if (code.isEmpty() || m_weekNumber == 0)
        return code;
    return QString::number(m_weekNumber) + code;
}

} // namespace platform
