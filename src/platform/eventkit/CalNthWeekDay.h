#pragma once

#include <QMetaType>

namespace platform {

// A weekday in one week of the month, as CalendarStore rules list it: weekday 1 Sunday to 7 Saturday,
// week 1 to 5, or -1 for the last. An immutable value, safe to copy to any thread.
class CalNthWeekDay final
{
public:
    CalNthWeekDay() = default;
    CalNthWeekDay(int dayOfTheWeek, int weekNumber) : m_dayOfTheWeek(dayOfTheWeek), m_weekNumber(weekNumber) {}

    int dayOfTheWeek() const { return m_dayOfTheWeek; }
    int weekNumber() const { return m_weekNumber; }

    friend bool operator==(const CalNthWeekDay &, const CalNthWeekDay &) = default;

private:
    int m_dayOfTheWeek = 1;
    int m_weekNumber = 1;
};

} // namespace platform

Q_DECLARE_METATYPE(platform::CalNthWeekDay)
