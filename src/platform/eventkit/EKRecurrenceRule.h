#pragma once

#include "platform/eventkit/EKRecurrenceDayOfWeek.h"
#include "platform/eventkit/EKRecurrenceEnd.h"

#include <QList>
#include <QMetaType>
#include <QString>

#include <optional>

namespace platform {

enum class EKRecurrenceFrequency {
    Daily = 0,
    Weekly = 1,
    Monthly = 2,
    Yearly = 3,
};

// An EventKit recurrence rule: how often a series repeats, on which days, and how it ends. A record
// carries one under "EKRECURRENCERULE" (in a QVariant). An immutable value, safe to copy to any thread.
class EKRecurrenceRule final
{
public:
    // A daily rule of interval 1 without an end, so that a rule can sit in a QVariant.
    EKRecurrenceRule() = default;

    // The platform's designated initialiser. An interval below 1 becomes 1: a series always moves on.
    // Empty lists mean the part is not restricted.
    EKRecurrenceRule(EKRecurrenceFrequency frequency, int interval, const QList<EKRecurrenceDayOfWeek> &daysOfTheWeek,
                     const QList<int> &daysOfTheMonth, const QList<int> &monthsOfTheYear,
                     const QList<int> &weeksOfTheYear, const QList<int> &daysOfTheYear, const QList<int> &setPositions,
                     const std::optional<EKRecurrenceEnd> &end);

    EKRecurrenceFrequency frequency() const { return m_frequency; }
    int interval() const { return m_interval; }
    const QList<EKRecurrenceDayOfWeek> &daysOfTheWeek() const { return m_daysOfTheWeek; }
    const QList<int> &daysOfTheMonth() const { return m_daysOfTheMonth; }
    const QList<int> &monthsOfTheYear() const { return m_monthsOfTheYear; }
    const QList<int> &weeksOfTheYear() const { return m_weeksOfTheYear; }
    const QList<int> &daysOfTheYear() const { return m_daysOfTheYear; }
    const QList<int> &setPositions() const { return m_setPositions; }
    const std::optional<EKRecurrenceEnd> &recurrenceEnd() const { return m_recurrenceEnd; }

    // "EKRecurrenceRule RRULE " followed by the rule's RFC 5545 text from "FREQ=" on.
    QString description() const;

    friend bool operator==(const EKRecurrenceRule &, const EKRecurrenceRule &) = default;

private:
    EKRecurrenceFrequency m_frequency = EKRecurrenceFrequency::Daily;
    int m_interval = 1;
    QList<EKRecurrenceDayOfWeek> m_daysOfTheWeek;
    QList<int> m_daysOfTheMonth;
    QList<int> m_monthsOfTheYear;
    QList<int> m_weeksOfTheYear;
    QList<int> m_daysOfTheYear;
    QList<int> m_setPositions;
    std::optional<EKRecurrenceEnd> m_recurrenceEnd;
};

} // namespace platform

Q_DECLARE_METATYPE(platform::EKRecurrenceRule)
