#pragma once

#include "foundation/GlobalVariables.h"
#include "platform/eventkit/CalendarStoreClasses.h"

#include "QtPrinters.h"

#include <QDateTime>
#include <QString>
#include <QTimeZone>

#include <gtest/gtest.h>

// Shared by the recurrence tests: the store road and the Outlook-sync flag for one scope.
namespace recurrencetest {

// Takes one calendar-store road for the scope and restores the current one after it.
class StoreRoad final
{
public:
    explicit StoreRoad(platform::CalendarStoreClasses classes) { platform::setAvailableCalendarStoreClasses(classes); }
    ~StoreRoad()
    {
        platform::setAvailableCalendarStoreClasses(platform::CalendarStoreClasses::EventKitAndCalendarStore);
    }
    StoreRoad(const StoreRoad &) = delete;
    StoreRoad &operator=(const StoreRoad &) = delete;
};

// Sets the process-wide Outlook-sync flag for the scope.
class OutlookSyncFlag final
{
public:
    explicit OutlookSyncFlag(bool isOutlookSync) { GlobalVariables::setIsOutlookSync(isOutlookSync); }
    ~OutlookSyncFlag() { GlobalVariables::setIsOutlookSync(false); }
    OutlookSyncFlag(const OutlookSyncFlag &) = delete;
    OutlookSyncFlag &operator=(const OutlookSyncFlag &) = delete;
};

inline QDateTime utc(int year, int month, int day, int hour = 0, int minute = 0)
{
    return QDateTime(QDate(year, month, day), QTime(hour, minute), QTimeZone::utc());
}

inline const char *roadName(platform::CalendarStoreClasses classes)
{
    return classes == platform::CalendarStoreClasses::CalendarStoreOnly ? "CalendarStore road" : "EventKit road";
}

} // namespace recurrencetest
