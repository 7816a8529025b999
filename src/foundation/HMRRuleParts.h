#pragma once

#include <QDateTime>
#include <QList>
#include <QString>

#include <optional>

// The parts of recurrence-rule text ("FREQ=WEEKLY;INTERVAL=2;BYDAY=MO,WE") that the recurrence
// conversions use, read by the rules that both calendar-store roads share. The text comes from peers and
// files, so every part is checked: a part that cannot be read is logged and left out, and a part that
// would make the series mean something else than the text says makes the whole rule unusable. A plain
// value; reading keeps no state and may run on any thread.
struct HMRRuleParts final
{
    enum class Road {
        EventKit,
        CalendarStore,
    };

    // One weekday of the BYDAY parts: 1 Sunday to 7 Saturday, with the week number current when it was
    // read (0 for every week, -1 for the last).
    struct Weekday final
    {
        int dayOfTheWeek = 0;
        int weekNumber = 0;
    };

    // Calendar programs offer intervals up to 999; larger ones come only from damaged text and would
    // overflow the date arithmetic of the series expansion.
    static constexpr int kMaxInterval = 999;

    // 0 daily, 1 weekly, 2 monthly, 3 yearly; none when the text has no FREQ of those four.
    std::optional<int> frequency;
    int interval = 1;
    QList<Weekday> weekdays;
    QList<int> daysOfTheMonth;
    QList<int> setPositions; // read on the EventKit road only
    QDateTime until;         // invalid when the text has no UNTIL part
    int count = 0;           // 0 when the text has no usable COUNT part
    // False when a part makes the rule meaningless (an interval out of range): no rule is to be built.
    bool isUsable = true;

    // Reads the text; the road decides the few rules in which the two stores differ.
    static HMRRuleParts read(const QString &text, Road road);

    // The integer at the start of a text, after white space, with an optional sign: "2TU" gives 2. None
    // when there are no digits or the number does not fit 64 bits.
    static std::optional<qint64> leadingInteger(QStringView text);
};
