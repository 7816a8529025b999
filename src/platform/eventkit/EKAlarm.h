#pragma once

#include "platform/eventkit/AlarmTrigger.h"

namespace platform {

// An alarm of an event or a reminder: a relative offset or an absolute date. A plain value, safe to
// copy to any thread.
class EKAlarm final : public AlarmTrigger<EKAlarm>
{
public:
    static EKAlarm alarmWithRelativeOffset(double offsetSeconds);
    static EKAlarm alarmWithAbsoluteDate(const QDateTime &date);

    double relativeOffset() const { return relative(); }
    void setRelativeOffset(double offsetSeconds) { setRelative(offsetSeconds); }
    QDateTime absoluteDate() const { return absolute(); }
    void setAbsoluteDate(const QDateTime &date) { setAbsolute(date); }
};

} // namespace platform
