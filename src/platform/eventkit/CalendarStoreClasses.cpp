#include "platform/eventkit/CalendarStoreClasses.h"

#include <atomic>

namespace platform {

namespace {

std::atomic<CalendarStoreClasses> s_availableClasses{CalendarStoreClasses::EventKitAndCalendarStore};

bool isEventKitClass(const QString &className)
{
    return className == QLatin1String("EKRecurrenceRule") || className == QLatin1String("EKRecurrenceEnd") ||
           className == QLatin1String("EKRecurrenceDayOfWeek");
}

bool isCalendarStoreClass(const QString &className)
{
    return className == QLatin1String("CalRecurrenceRule") || className == QLatin1String("CalRecurrenceEnd") ||
           className == QLatin1String("CalNthWeekDay");
}

} // namespace

void setAvailableCalendarStoreClasses(CalendarStoreClasses classes)
{
    s_availableClasses.store(classes);
}

CalendarStoreClasses availableCalendarStoreClasses()
{
    return s_availableClasses.load();
}

bool calendarStoreClassExists(const QString &className)
{
    switch (s_availableClasses.load()) {
    case CalendarStoreClasses::EventKitAndCalendarStore:
        return isEventKitClass(className) || isCalendarStoreClass(className);
    case CalendarStoreClasses::CalendarStoreOnly:
        return isCalendarStoreClass(className);
    case CalendarStoreClasses::None:
        return false;
    }
    return false;
}

} // namespace platform
