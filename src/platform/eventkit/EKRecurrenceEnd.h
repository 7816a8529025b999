#pragma once

#include <QDateTime>
#include <QMetaType>

namespace platform {

// How an EventKit recurrence ends: on a date, or after a number of occurrences. An immutable value, safe
// to copy to any thread.
class EKRecurrenceEnd final
{
public:
    EKRecurrenceEnd() = default;

    static EKRecurrenceEnd recurrenceEndWithEndDate(const QDateTime &endDate);
    static EKRecurrenceEnd recurrenceEndWithOccurrenceCount(int occurrenceCount);

    // The last moment of the series; invalid when the end is a count.
    QDateTime endDate() const { return m_endDate; }
    // The number of occurrences; 0 when the end is a date.
    int occurrenceCount() const { return m_occurrenceCount; }

    friend bool operator==(const EKRecurrenceEnd &, const EKRecurrenceEnd &) = default;

private:
    QDateTime m_endDate;
    int m_occurrenceCount = 0;
};

} // namespace platform

Q_DECLARE_METATYPE(platform::EKRecurrenceEnd)
