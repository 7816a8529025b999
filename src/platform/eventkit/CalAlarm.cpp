#include "platform/eventkit/CalAlarm.h"

namespace platform {

void CalAlarm::setRelativeTrigger(double seconds)
{
    m_relativeTrigger = seconds;
    m_absoluteTrigger = QDateTime();
}

void CalAlarm::setAbsoluteTrigger(const QDateTime &date)
{
    m_absoluteTrigger = date.toUTC();
    m_relativeTrigger = 0;
}

} // namespace platform
