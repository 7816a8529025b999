#include "platform/eventkit/CalRecurrenceEnd.h"

namespace platform {

CalRecurrenceEnd CalRecurrenceEnd::recurrenceEndWithEndDate(const QDateTime &endDate)
{
    CalRecurrenceEnd end;
    end.m_endDate = endDate;
    return end;
}

CalRecurrenceEnd CalRecurrenceEnd::recurrenceEndWithOccurrenceCount(int occurrenceCount)
{
    CalRecurrenceEnd end;
    end.m_occurrenceCount = occurrenceCount;
    return end;
}

} // namespace platform
