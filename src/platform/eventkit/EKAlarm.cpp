#include "platform/eventkit/EKAlarm.h"

namespace platform {

EKAlarm EKAlarm::alarmWithRelativeOffset(double offsetSeconds)
{
    EKAlarm alarm;
    alarm.setRelativeOffset(offsetSeconds);
    return alarm;
}

EKAlarm EKAlarm::alarmWithAbsoluteDate(const QDateTime &date)
{
    EKAlarm alarm;
    alarm.setAbsoluteDate(date);
    return alarm;
}

// Setting one kind of trigger clears the other, as the platform's alarms do.
void EKAlarm::setRelativeOffset(double offsetSeconds)
{
    m_relativeOffset = offsetSeconds;
    m_absoluteDate = QDateTime();
}

void EKAlarm::setAbsoluteDate(const QDateTime &date)
{
    m_absoluteDate = date.toUTC();
    m_relativeOffset = 0;
}

} // namespace platform
