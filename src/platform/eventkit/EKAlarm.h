#pragma once

#include <QDateTime>

namespace platform {

// An alarm of an event or a reminder: either relative to the item's start (seconds, negative before
// it) or at an absolute date. An absolute date, when set, wins over the offset. A plain value, safe to
// copy to any thread.
class EKAlarm final
{
public:
    EKAlarm() = default;

    static EKAlarm alarmWithRelativeOffset(double offsetSeconds);
    static EKAlarm alarmWithAbsoluteDate(const QDateTime &date);

    double relativeOffset() const { return m_relativeOffset; }
    void setRelativeOffset(double offsetSeconds);
    // Invalid for a relative alarm.
    QDateTime absoluteDate() const { return m_absoluteDate; }
    void setAbsoluteDate(const QDateTime &date);

    friend bool operator==(const EKAlarm &, const EKAlarm &) = default;

private:
    double m_relativeOffset = 0;
    QDateTime m_absoluteDate;
};

} // namespace platform
