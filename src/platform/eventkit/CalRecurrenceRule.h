#pragma once

#include "platform/eventkit/CalNthWeekDay.h"
#include "platform/eventkit/CalRecurrenceEnd.h"

#include <QList>
#include <QMetaType>
#include <QString>

#include <optional>
#include <variant>

namespace platform {

enum class CalRecurrenceType {
    Daily = 0,
    Weekly = 1,
    Monthly = 2,
    Yearly = 3,
};

// An entry of a CalendarStore rule's weekday list: a plain weekday number (1 Sunday to 7 Saturday) in
// weekly rules, a weekday of one week in monthly and yearly rules.
using CalWeekdayEntry = std::variant<int, CalNthWeekDay>;

// A CalendarStore recurrence rule, made by one of the store's eight initialisers. An immutable value,
// safe to copy to any thread.
class CalRecurrenceRule final
{
public:
    // A daily rule of interval 1 without an end, so that a rule can sit in a QVariant.
    CalRecurrenceRule() = default;

    // The store's initialisers. The interval is kept as given; an end of none repeats for ever.
    static CalRecurrenceRule initDailyRecurrenceWithInterval(int interval, const std::optional<CalRecurrenceEnd> &end);
    static CalRecurrenceRule initWeeklyRecurrenceWithInterval(int interval, const std::optional<CalRecurrenceEnd> &end);
    static CalRecurrenceRule initWeeklyRecurrenceWithInterval(int interval, const QList<int> &daysOfTheWeek,
                                                              const std::optional<CalRecurrenceEnd> &end);
    static CalRecurrenceRule initMonthlyRecurrenceWithInterval(int interval,
                                                               const std::optional<CalRecurrenceEnd> &end);
    static CalRecurrenceRule initMonthlyRecurrenceWithInterval(int interval, const QList<int> &daysOfTheMonth,
                                                               const std::optional<CalRecurrenceEnd> &end);
    static CalRecurrenceRule initMonthlyRecurrenceWithInterval(int interval, int dayOfTheWeek, int weekOfTheMonth,
                                                               const std::optional<CalRecurrenceEnd> &end);
    static CalRecurrenceRule initYearlyRecurrenceWithInterval(int interval, const std::optional<CalRecurrenceEnd> &end);
    static CalRecurrenceRule initYearlyRecurrenceWithInterval(int interval, const QList<int> &monthsOfTheYear,
                                                              const std::optional<CalRecurrenceEnd> &end);
    static CalRecurrenceRule initYearlyRecurrenceWithInterval(int interval, int dayOfTheWeek, int weekOfTheMonth,
                                                              const QList<int> &monthsOfTheYear,
                                                              const std::optional<CalRecurrenceEnd> &end);

    CalRecurrenceType recurrenceType() const { return m_recurrenceType; }
    int recurrenceInterval() const { return m_recurrenceInterval; }
    const QList<CalWeekdayEntry> &daysOfTheWeek() const { return m_daysOfTheWeek; }
    const QList<int> &daysOfTheMonth() const { return m_daysOfTheMonth; }
    const QList<int> &monthsOfTheYear() const { return m_monthsOfTheYear; }
    const std::optional<CalRecurrenceEnd> &recurrenceEnd() const { return m_recurrenceEnd; }

    // "CalRecurrenceRule RRULE " followed by the rule's RFC 5545 text from "FREQ=" on.
    QString description() const;

    friend bool operator==(const CalRecurrenceRule &, const CalRecurrenceRule &) = default;

private:
    CalRecurrenceRule(CalRecurrenceType type, int interval, const std::optional<CalRecurrenceEnd> &end);

    CalRecurrenceType m_recurrenceType = CalRecurrenceType::Daily;
    int m_recurrenceInterval = 1;
    QList<CalWeekdayEntry> m_daysOfTheWeek;
    QList<int> m_daysOfTheMonth;
    QList<int> m_monthsOfTheYear;
    std::optional<CalRecurrenceEnd> m_recurrenceEnd;
};

} // namespace platform

Q_DECLARE_METATYPE(platform::CalRecurrenceRule)
