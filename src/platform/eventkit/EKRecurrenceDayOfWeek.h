#pragma once

#include <QMetaType>
#include <QString>

namespace platform {

// A weekday of an EventKit recurrence rule: the weekday (1 Sunday to 7 Saturday) and the week it falls
// in (0 every week, 1 to 5 the nth week, -1 the last). An immutable value, safe to copy to any thread.
class EKRecurrenceDayOfWeek final
{
public:
    EKRecurrenceDayOfWeek() = default;

    // A weekday of every week.
    static EKRecurrenceDayOfWeek dayOfWeek(int dayOfTheWeek);
    // A weekday of one week of the month (or of the year in a yearly rule without months).
    static EKRecurrenceDayOfWeek dayOfWeek(int dayOfTheWeek, int weekNumber);

    int dayOfTheWeek() const { return m_dayOfTheWeek; }
    int weekNumber() const { return m_weekNumber; }

    // The weekday as RFC 5545 writes it in BYDAY: "MO", "2TU", "-1SU"; empty for a weekday outside 1 to 7.
    QString description() const;

    friend bool operator==(const EKRecurrenceDayOfWeek &, const EKRecurrenceDayOfWeek &) = default;

private:
    EKRecurrenceDayOfWeek(int dayOfTheWeek, int weekNumber) : m_dayOfTheWeek(dayOfTheWeek), m_weekNumber(weekNumber) {}

    int m_dayOfTheWeek = 1;
    int m_weekNumber = 0;
};

} // namespace platform

Q_DECLARE_METATYPE(platform::EKRecurrenceDayOfWeek)
