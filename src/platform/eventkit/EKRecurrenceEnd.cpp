#include "platform/eventkit/EKRecurrenceEnd.h"

namespace platform {

EKRecurrenceEnd EKRecurrenceEnd::recurrenceEndWithEndDate(const QDateTime &endDate)
{
    EKRecurrenceEnd end;
    end.m_endDate = endDate;
    return end;
}

EKRecurrenceEnd EKRecurrenceEnd::recurrenceEndWithOccurrenceCount(int occurrenceCount)
{
    EKRecurrenceEnd end;
    end.m_occurrenceCount = occurrenceCount;
    return end;
}

} // namespace platform
