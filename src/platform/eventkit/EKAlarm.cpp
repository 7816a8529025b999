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

} // namespace platform
