#include "platform/eventkit/CalendarStoreClasses.h"

#include <gtest/gtest.h>

using namespace platform;

TEST(CalendarStoreClasses, TheSettingDecidesWhichClassesExist)
{
    struct Row
    {
        const char *name;
        CalendarStoreClasses setting;
        bool hasEventKit;
        bool hasCalendarStore;
    };
    const Row rows[] = {
        {"current system", CalendarStoreClasses::EventKitAndCalendarStore, true, true},
        {"older system", CalendarStoreClasses::CalendarStoreOnly, false, true},
        {"no store", CalendarStoreClasses::None, false, false},
    };
    const CalendarStoreClasses before = availableCalendarStoreClasses();
    EXPECT_EQ(before, CalendarStoreClasses::EventKitAndCalendarStore) << "a process starts on the current road";
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        setAvailableCalendarStoreClasses(row.setting);
        for (const char *name : {"EKRecurrenceRule", "EKRecurrenceEnd", "EKRecurrenceDayOfWeek"})
            EXPECT_EQ(calendarStoreClassExists(QLatin1String(name)), row.hasEventKit) << name;
        for (const char *name : {"CalRecurrenceRule", "CalRecurrenceEnd", "CalNthWeekDay"})
            EXPECT_EQ(calendarStoreClassExists(QLatin1String(name)), row.hasCalendarStore) << name;
        EXPECT_FALSE(calendarStoreClassExists(QStringLiteral("NSObject")));
    }
    setAvailableCalendarStoreClasses(before);
}
