#pragma once

#include <QDateTime>

namespace platform {

// How a recurrence ends: on a date, or after a number of occurrences. The value both calendar
// families share; each family derives its own type from it (Derived), so that an end of one family is
// never taken for one of the other. An immutable value, safe to copy to any thread.
template <typename Derived> class RecurrenceEndValue
{
public:
    static Derived recurrenceEndWithEndDate(const QDateTime &endDate)
    {
        Derived end;
        end.m_endDate = endDate;
        return end;
    }

    static Derived recurrenceEndWithOccurrenceCount(int occurrenceCount)
    {
        Derived end;
        end.m_occurrenceCount = occurrenceCount;
        return end;
    }

    // The last moment of the series; invalid when the end is a count.
    QDateTime endDate() const { return m_endDate; }
    // The number of occurrences; 0 when the end is a date.
    int occurrenceCount() const { return m_occurrenceCount; }

    friend bool operator==(const RecurrenceEndValue &, const RecurrenceEndValue &) = default;

private:
    QDateTime m_endDate;
    int m_occurrenceCount = 0;
};

} // namespace platform
