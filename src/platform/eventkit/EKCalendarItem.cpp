#include "platform/eventkit/EKCalendarItem.h"

namespace platform {

void EKCalendarItem::removeAlarm(const EKAlarm &alarm)
{
    m_alarms.removeOne(alarm);
}

} // namespace platform
