#pragma once

#include "platform/eventkit/RecurrenceEndValue.h"

#include <QMetaType>

namespace platform {

// How a CalendarStore recurrence ends: on a date, or after a number of occurrences.
class CalRecurrenceEnd final : public RecurrenceEndValue<CalRecurrenceEnd>
{
public:
    bool usesEndDate() const { return endDate().isValid(); }
};

} // namespace platform

Q_DECLARE_METATYPE(platform::CalRecurrenceEnd)
