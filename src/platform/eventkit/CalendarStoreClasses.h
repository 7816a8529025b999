#pragma once

#include <QString>

namespace platform {

// Which calendar-store class families the process offers. The desktop system picks its store by asking
// whether a class of that name exists; here the answer is a process-wide setting, so that every road
// (EventKit, the older CalendarStore, neither) can be taken on one machine. Thread-safe.
enum class CalendarStoreClasses {
    EventKitAndCalendarStore, // a current system: both families exist, EventKit is preferred
    CalendarStoreOnly,        // an older system without EventKit
    None,                     // neither store exists
};

void setAvailableCalendarStoreClasses(CalendarStoreClasses classes);
CalendarStoreClasses availableCalendarStoreClasses();

// Whether a class of the calendar stores exists under the current setting: the EventKit family
// ("EKRecurrenceRule", "EKRecurrenceEnd", "EKRecurrenceDayOfWeek") or the CalendarStore family
// ("CalRecurrenceRule", "CalRecurrenceEnd", "CalNthWeekDay"). Any other name does not exist.
bool calendarStoreClassExists(const QString &className);

} // namespace platform
