#include "platform/eventkit/CalendarStoreClasses.h"

#include "platform/foundation/ProcessInfo.h"

#include <atomic>
#include <utility>

namespace platform {

namespace {

std::atomic<CalendarStoreClasses> s_availableClasses{CalendarStoreClasses::EventKitAndCalendarStore};
// Until a test chooses the classes, the system version decides, as it does everywhere else.
std::atomic<bool> s_isChosen{false};

CalendarStoreClasses classesOfTheSystemVersion()
{
    const OperatingSystemVersion version = ProcessInfo::operatingSystemVersion();
    return std::pair(version.majorVersion, version.minorVersion) >= std::pair(10, 8)
               ? CalendarStoreClasses::EventKitAndCalendarStore
               : CalendarStoreClasses::CalendarStoreOnly;
}

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
    s_isChosen.store(true);
}

CalendarStoreClasses availableCalendarStoreClasses()
{
    return s_isChosen.load() ? s_availableClasses.load() : classesOfTheSystemVersion();
}

bool calendarStoreClassExists(const QString &className)
{
    switch (availableCalendarStoreClasses()) {
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
