#pragma once

#include "platform/eventkit/CalRecurrenceRule.h"
#include "platform/eventkit/EKRecurrenceRule.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <QVariant>
#include <QVariantList>
#include <QVariantMap>

#include <optional>

// The number that joins "REPEAT" and "REPTDAYOPT" of a recurrence dictionary.
enum class HMRecurrenceType {
    None = 0,
    Daily = 1,
    Weekly = 2,
    MonthlyOnWeekday = 3, // the nth weekday of every month
    MonthlyOnDay = 4,     // a day of the month
    YearlyOnWeekday = 5,  // the nth weekday of a month of every year
    YearlyOnDate = 6,
};

// The calendar store whose rule objects carry the conversions.
enum class HMCalendarSDK {
    None = 0,
    EventKit = 1,
    CalendarStore = 2,
};

// Converts between iCalendar recurrence-rule text ("RRULE", RFC 5545) and the recurrence dictionary of a
// record ("REPEAT", "INTERVAL", "DAYMASK", ...), always through the rule object of the calendar store in
// use, and gives the English display texts of a recurrence. Class operations only, no state of its own:
// safe on any thread (it reads the process-wide Outlook-sync state and the store setting).
//
// Values: the dictionaries built here hold qint64 numbers under every key but "NSDATEREPEATEND", a date;
// numbers are read from numbers or from decimal text alike. "None" results are an empty dictionary or a
// null text. "DAYMASK" is a weekday bit mask (bit 0 Sunday to bit 6 Saturday) for every kind of repeat,
// as the phone's record format has it; a rule that takes one weekday takes the highest set. "DAYOCCUR"
// 5 or more, or -1, is the last week.
class HMRRuleHelper final
{
public:
    HMRRuleHelper() = delete;

    // Rule text and recurrence dictionary.
    static HMCalendarSDK whichSDK();
    // The recurrence dictionary of a rule text; empty when no store exists, the text holds no usable
    // rule, or (EventKit) the start is not a date.
    static QVariantMap getDictionaryFromRRule(const QString &rRule, const QDateTime &startDate);
    // "RRULE:FREQ=..." for a record or recurrence dictionary; a null text when it holds no rule.
    static QString rRuleFromDictionary(const QVariantMap &dictionary,
                                       const std::optional<platform::EKRecurrenceRule> &existingRule);
    static QString rRuleFromDictionary(const QVariantMap &dictionary);
    // Tidies the rule text of a CalendarStore rule with the record it was made from.
    static QString fixRecurrenceRule(const QString &rRule, const QVariantMap &dictionary);
    static HMRecurrenceType recurrenceTypeFromHMRepeatType(qint64 repeatType, qint64 dayOption);
    // One weekday entry per set bit of the mask, Sunday first: EKRecurrenceDayOfWeek values under
    // EventKit, weekday numbers (qint64) under CalendarStore, nothing without a store or for a mask <= 0.
    static QVariantList appleDaysFromHmDayMask(qint64 dayMask);
    // The highest weekday (1 Sunday to 7 Saturday) set in the mask; 0 when none is.
    static int highestWeekdayOfDayMask(qint64 dayMask);
    // The mask with bit n-1 set for each weekday n (1 Sunday to 7 Saturday); other numbers are ignored.
    static qint64 hmDayMaskFromAppleDays(const QList<int> &appleDays);
    // One EventKit weekday per set bit, Sunday first, in the week given (-1, the last, for 5 or more).
    static QList<platform::EKRecurrenceDayOfWeek> appleDayAndWeeksFromHmDayMask(qint64 dayMask, qint64 weekOfMonth);
    // Rewrites the recurrence keys of the dictionary for the type, from its "NSDATESTARTDATE".
    static void updateRecurrenceDictionary(QVariantMap &dictionary, HMRecurrenceType recurrenceType);
    // Whether the Outlook version of the process-wide state names Outlook 2011 or later.
    static bool isOutlookSync();

    // Display texts.
    static QString displayStringForRecurrenceDictionary(const QVariantMap &dictionary);
    static QString displayStringForInterval(qint64 interval, HMRecurrenceType recurrenceType);
    // Null for a type outside 0 to 6.
    static QString displayStringForRecurrenceType(int recurrenceType, bool singular);
    static QString displayStringForDayOfWeekMask(qint64 dayMask, bool usingAbreviations);

    // The calendar stores' rule objects.
    static std::optional<platform::EKRecurrenceRule> getEKRecurrenceFromRRule(const QString &rRule);
    static std::optional<platform::CalRecurrenceRule> getCalRecurrenceRuleFromRRule(const QString &rRule,
                                                                                    const QDateTime &startDate);
    static QVariantMap getDictionaryFromEKRecurrence(const platform::EKRecurrenceRule &rule, const QDateTime &startDate,
                                                     qint64 numberOfOccurrences);
    static QVariantMap getDictionaryFromCalRecurrenceRule(const platform::CalRecurrenceRule &rule,
                                                          const QDateTime &startDate);
    static std::optional<platform::EKRecurrenceRule>
    ekRecurrenceRuleFromDictionary(const QVariantMap &dictionary,
                                   const std::optional<platform::EKRecurrenceRule> &existingRule);
    static std::optional<platform::CalRecurrenceRule> calRecurrenceRuleFromDictionary(const QVariantMap &dictionary);
    static QString rRuleFromEKRecurrenceRule(const std::optional<platform::EKRecurrenceRule> &rule);
    static QString rRuleFromCalRecurrenceRule(const std::optional<platform::CalRecurrenceRule> &rule);
    static QString ekRecurrenceRuleToString(const platform::EKRecurrenceRule &rule);
};
