#pragma once

#include "platform/eventkit/RecurrenceEndValue.h"

#include <QMetaType>

namespace platform {

// How an EventKit recurrence ends: on a date, or after a number of occurrences.
class EKRecurrenceEnd final : public RecurrenceEndValue<EKRecurrenceEnd>
{
};

} // namespace platform

Q_DECLARE_METATYPE(platform::EKRecurrenceEnd)
