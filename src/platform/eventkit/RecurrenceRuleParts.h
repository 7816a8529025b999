#pragma once

#include <QDateTime>
#include <QList>
#include <QString>

#include <optional>

namespace platform {

// One weekday of a BYDAY list: weekday 1 Sunday to 7 Saturday, and the week number (0 for every week,
// 1 to 5 for the nth, -1 to -5 counted from the end).
struct RecurrenceWeekday final
{
    int dayOfTheWeek = 0;
    int weekNumber = 0;
};

// The parts of an RFC 5545 recurrence rule, written in the order the calendar stores write them:
// FREQ, INTERVAL, UNTIL or COUNT, BYDAY, BYMONTHDAY, BYMONTH, BYWEEKNO, BYYEARDAY, BYSETPOS. Both stores'
// rule objects fill one of these to give their description text. A plain value, safe to copy anywhere.
struct RecurrenceRuleParts final
{
    int frequency = 0; // 0 DAILY, 1 WEEKLY, 2 MONTHLY, 3 YEARLY, as both stores number them
    int interval = 1;
    QDateTime until; // written in UTC; invalid when the rule does not end on a date
    int count = 0;   // written only when there is no until and it is above 0
    QList<RecurrenceWeekday> byDay;
    QList<int> byMonthDay;
    QList<int> byMonth;
    QList<int> byWeekNo;
    QList<int> byYearDay;
    QList<int> bySetPos;

    // The parts every rule has: its frequency, its interval and its end (on a date or after a count;
    // none repeats for ever). End is either store's recurrence end.
    template <typename End>
    static RecurrenceRuleParts withEnd(int frequency, int interval, const std::optional<End> &end)
    {
        RecurrenceRuleParts parts;
        parts.frequency = frequency;
        parts.interval = interval;
        if (end) {
            parts.until = end->endDate();
            parts.count = end->occurrenceCount();
        }
        return parts;
    }

    // The rule text from "FREQ=" on, such as "FREQ=WEEKLY;INTERVAL=2;BYDAY=MO,WE". An interval below 1 is
    // written as 1; weekdays outside 1 to 7 have no code and are left out; empty lists are not written.
    // The prefix comes first, in the same string: a listing describes the rule of every series.
    QString toText(QLatin1StringView prefix = {}) const;

    // "SU" for 1 to "SA" for 7; the empty text for any other number.
    static QString weekdayCode(int dayOfTheWeek);
};

} // namespace platform
