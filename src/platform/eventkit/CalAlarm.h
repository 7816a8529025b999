#pragma once

#include "platform/eventkit/AlarmTrigger.h"

namespace platform {

// A CalendarStore alarm: a relative or an absolute trigger. A plain value, safe to copy to any thread.
class CalAlarm final : public AlarmTrigger<CalAlarm>
{
public:
    static CalAlarm alarm() { return CalAlarm(); }

    double relativeTrigger() const { return relative(); }
    void setRelativeTrigger(double seconds) { setRelative(seconds); }
    QDateTime absoluteTrigger() const { return absolute(); }
    void setAbsoluteTrigger(const QDateTime &date) { setAbsolute(date); }
};

} // namespace platform
