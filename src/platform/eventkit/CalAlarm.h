#pragma once

#include <QDateTime>

namespace platform {

// A CalendarStore alarm: a trigger relative to the item's start (seconds, negative before it) or an
// absolute trigger date, which wins when set. A plain value, safe to copy to any thread.
class CalAlarm final
{
public:
    CalAlarm() = default;

    static CalAlarm alarm() { return CalAlarm(); }

    double relativeTrigger() const { return m_relativeTrigger; }
    void setRelativeTrigger(double seconds);
    // Invalid for a relative alarm.
    QDateTime absoluteTrigger() const { return m_absoluteTrigger; }
    void setAbsoluteTrigger(const QDateTime &date);

    friend bool operator==(const CalAlarm &, const CalAlarm &) = default;

private:
    double m_relativeTrigger = 0;
    QDateTime m_absoluteTrigger;
};

} // namespace platform
