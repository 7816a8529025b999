#pragma once

#include <QDateTime>

namespace platform {

// The trigger both calendar families' alarms share: relative to the item's start (seconds, negative
// before it) or at an absolute date, which wins when set. Setting one kind of trigger clears the
// other, as the platform's alarms do. Each family's alarm (Derived) names the two kinds in its own
// words; an alarm of one family never compares equal to one of the other.
template <typename Derived> class AlarmTrigger
{
public:
    friend bool operator==(const AlarmTrigger &, const AlarmTrigger &) = default;

protected:
    double relative() const { return m_relative; }
    void setRelative(double seconds)
    {
        m_relative = seconds;
        m_absolute = QDateTime();
    }
    // Invalid for a relative alarm.
    QDateTime absolute() const { return m_absolute; }
    void setAbsolute(const QDateTime &date)
    {
        m_absolute = date.toUTC();
        m_relative = 0;
    }

private:
    double m_relative = 0;
    QDateTime m_absolute;
};

} // namespace platform
