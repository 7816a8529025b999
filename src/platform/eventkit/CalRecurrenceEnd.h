#pragma once

#include <QDateTime>
#include <QMetaType>

namespace platform {

// How a CalendarStore recurrence ends: on a date, or after a number of occurrences. An immutable value,
// safe to copy to any thread.
class CalRecurrenceEnd final
{
public:
    CalRecurrenceEnd() = default;

    static CalRecurrenceEnd recurrenceEndWithEndDate(const QDateTime &endDate);
    static CalRecurrenceEnd recurrenceEndWithOccurrenceCount(int occurrenceCount);

    bool usesEndDate() const { return m_endDate.isValid(); }
    // The last moment of the series; invalid when the end is a count.
    QDateTime endDate() const { return m_endDate; }
    // The number of occurrences; 0 when the end is a date.
    int occurrenceCount() const { return m_occurrenceCount; }

    friend bool operator==(const CalRecurrenceEnd &, const CalRecurrenceEnd &) = default;

private:
    QDateTime m_endDate;
    int m_occurrenceCount = 0;
};

} // namespace platform

Q_DECLARE_METATYPE(platform::CalRecurrenceEnd)
