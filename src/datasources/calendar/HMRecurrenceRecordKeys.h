#pragma once

#include "datasources/calendar/HMBaseCalendarData.h"
#include "datasources/calendar/HMCalendarDataKeys.h"
#include "foundation/NSDictionary+HMExtras.h"
#include "sync/HMSyncFields.h"

#include <QList>
#include <QVariantMap>

// The recurrence keys of a calendar record as both stores' roads read and write them: the rule's
// frequency and interval, its weekday mask and its weekday of one week of the month.
namespace hmrecurrence {

// A record field holding a number, 0 when it is missing or no number.
inline qint64 integerOf(const QVariantMap &record, QLatin1StringView name)
{
    return stringForKey(record, hmcalendar::key(name)).toLongLong();
}

// The device's "above 4" is the last such weekday of the month.
inline int weekOfMonth(qint64 occurrence)
{
    return occurrence > 4 ? -1 : int(occurrence);
}

// The weekday of one week of the month a record's rule names, as the stores number them.
struct RecordNthWeekDay
{
    int appleDay;
    int weekNumber;
};

inline RecordNthWeekDay nthWeekDayOf(const QVariantMap &record)
{
    return {HMBaseCalendarData::appleDayFromHmMonthDay(integerOf(record, kHMSyncFieldRecurringDayMask)),
            weekOfMonth(integerOf(record, kHMSyncFieldRecurringDayOccurrence))};
}

// The month of a yearly rule, when the record names one from 1 to 12.
inline QList<int> monthsOf(const QVariantMap &record)
{
    const qint64 month = integerOf(record, kHMSyncFieldRecurringMonth);
    return month >= 1 && month <= 12 ? QList<int>{int(month)} : QList<int>{};
}

// The device's repeat ("1" daily to "4" yearly) and the rule's interval.
inline void writeRepeatAndInterval(QVariantMap &record, QStringView repeat, int interval)
{
    record.insert(hmcalendar::key(kHMSyncFieldRecurringRepeat), repeat.toString());
    record.insert(hmcalendar::key(kHMSyncFieldRecurringInterval), QString::number(interval));
}

// The weekdays of a weekly rule as the device's day mask; nothing when the rule lists none.
inline void writeWeekdayMask(QVariantMap &record, const QList<int> &appleDays)
{
    if (!appleDays.isEmpty())
        record.insert(hmcalendar::key(kHMSyncFieldRecurringDayMask),
                      QString::number(HMBaseCalendarData::hmDayMaskFromAppleDays(appleDays)));
}

// One weekday of one week of the month ("the second Tuesday"), with the day option that says so.
inline void writeNthWeekDay(QVariantMap &record, int appleDay, int weekNumber)
{
    record.insert(hmcalendar::key(kHMSyncFieldRecurringDayMask),
                  QString::number(HMBaseCalendarData::hmMonthDayFromAppleDay(appleDay)));
    record.insert(hmcalendar::key(kHMSyncFieldRecurringDayOccurrence),
                  QString::number(HMBaseCalendarData::hmDayOccurrenceFromWeekNumber(weekNumber)));
    record.insert(hmcalendar::key(kHMSyncFieldRecurringRepeatDayOption), QStringLiteral("1"));
}

} // namespace hmrecurrence
