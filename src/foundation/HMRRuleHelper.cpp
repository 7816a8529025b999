#include "foundation/HMRRuleHelper.h"

#include "foundation/GlobalVariables.h"
#include "foundation/HMRRuleParts.h"
#include "foundation/HMStringFormatters.h"
#include "foundation/Lumberjack/DDLog.h"
#include "platform/eventkit/CalendarStoreClasses.h"
#include "platform/eventkit/RecurrenceRuleParts.h"
#include "platform/foundation/Calendar.h"
#include "platform/foundation/DateFormatter.h"
#include "platform/foundation/Values.h"

#include <QStringList>

#include <limits>
#include <utility>

using platform::CalNthWeekDay;
using platform::CalRecurrenceEnd;
using platform::CalRecurrenceRule;
using platform::CalRecurrenceType;
using platform::CalWeekdayEntry;
using platform::EKRecurrenceDayOfWeek;
using platform::EKRecurrenceEnd;
using platform::EKRecurrenceFrequency;
using platform::EKRecurrenceRule;

namespace {

const QString kNoStoreMessage = QStringLiteral("No Calendar SDK Found, not handling recurring rrule.");

// The parts of a series' start that the conversions use, in the user's calendar with weeks that begin on
// Sunday; all 0 when the start is not a date.
struct StartParts final
{
    int day = 0;
    int month = 0;
    int weekday = 0;        // 1 Sunday to 7 Saturday
    int weekOfMonth = 0;    // the calendar week of the month the day falls in, 1 to 6
    int weekdayOrdinal = 0; // which such weekday of the month it is, 1 to 5
};

StartParts startPartsOf(const QDateTime &start)
{
    const platform::DateComponents components = platform::Calendar().components(start);
    StartParts parts;
    parts.day = components.day.value_or(0);
    parts.month = components.month.value_or(0);
    parts.weekday = components.weekday.value_or(0);
    parts.weekOfMonth = components.weekOfMonth.value_or(0);
    parts.weekdayOrdinal = components.weekdayOrdinal.value_or(0);
    return parts;
}

qint64 integerForKey(const QVariantMap &dictionary, const char *key)
{
    return platform::integerValue(dictionary.value(QLatin1String(key)));
}

QDateTime dateForKey(const QVariantMap &dictionary, const char *key)
{
    const QVariant value = dictionary.value(QLatin1String(key));
    return platform::isDate(value) ? value.toDateTime() : QDateTime();
}

bool isWeekday(qint64 day)
{
    return day >= 1 && day <= 7;
}

qint64 bitOfWeekday(qint64 day)
{
    return isWeekday(day) ? qint64(1) << (day - 1) : 0;
}

QList<int> weekdaysOfMask(qint64 dayMask)
{
    QList<int> days;
    if (dayMask <= 0)
        return days;
    for (int day = 1; day <= 7; ++day) {
        if (dayMask & bitOfWeekday(day))
            days.append(day);
    }
    return days;
}

// "DAYOCCUR" as a rule's week number: 5 or more is the last week, as is anything below -5.
int weekNumberOf(qint64 dayOccurrence)
{
    if (dayOccurrence >= 5 || dayOccurrence < -5)
        return -1;
    return int(dayOccurrence);
}

QList<int> listOfOne(qint64 value, qint64 lowest, qint64 highest)
{
    if (value == 0 || value < lowest || value > highest)
        return {};
    return {int(value)};
}

// The recurrence keys of a rule, whichever store it came from.
struct RuleReading final
{
    int frequency = -1; // 0 daily, 1 weekly, 2 monthly, 3 yearly, anything else no known frequency
    int interval = 1;
    QList<HMRRuleParts::Weekday> weekdays;
    QList<int> daysOfTheMonth;
    QList<int> monthsOfTheYear;
    qint64 occurrences = 0;
    QDateTime repeatEnd;
};

// The fields of a record's repeat pattern beside its kind of repeat, which writing and reading share.
struct RepeatPattern
{
    qint64 interval = 0;
    qint64 dayMask = 0;
    qint64 dayOccurrence = 0;
    qint64 dayOfMonth = 0;
    qint64 month = 0;
};

// The record's key of each pattern field.
constexpr std::pair<const char *, qint64 RepeatPattern::*> kRepeatPatternKeys[] = {
    {"INTERVAL", &RepeatPattern::interval},     {"DAYMASK", &RepeatPattern::dayMask},
    {"DAYOCCUR", &RepeatPattern::dayOccurrence}, {"DAYOFMONTH", &RepeatPattern::dayOfMonth},
    {"MONTH", &RepeatPattern::month}};

// A record's repeat fields as it stores them.
struct RecordRepeat final : RepeatPattern
{
    qint64 repeat = 0;
    qint64 dayOption = 0;
};

// The record's "DAYMASK" and "DAYOCCUR" of the weekdays a rule repeats on.
void setDayMaskAndOccurrence(RecordRepeat &fields, const QList<HMRRuleParts::Weekday> &weekdays)
{
    if (weekdays.isEmpty())
        return;
    if (fields.repeat == 2) {
        // Weekly rules keep every weekday as a bit mask in both record formats: a single weekday code
        // would drop the other days, and readers of weekly records take the value as a mask.
        for (const HMRRuleParts::Weekday &weekday : weekdays)
            fields.dayMask |= bitOfWeekday(weekday.dayOfTheWeek);
        return;
    }
    // A rule on the nth weekday keeps its first weekday, as a mask like every other rule's.
    const HMRRuleParts::Weekday &first = weekdays.first();
    fields.dayMask = bitOfWeekday(first.dayOfTheWeek);
    fields.dayOccurrence = first.weekNumber;
}

// What a rule's frequency makes of a record's repeat fields.
RecordRepeat recordRepeatOfRule(const RuleReading &rule, const StartParts &start)
{
    RecordRepeat fields;
    fields.dayOfMonth = start.day;
    fields.interval = rule.interval;
    QList<HMRRuleParts::Weekday> weekdays;
    const bool hasWeekdays = !rule.weekdays.isEmpty();
    switch (rule.frequency) {
    case 0:
        fields.repeat = 1;
        break;
    case 1:
        fields.repeat = 2;
        weekdays = hasWeekdays ? rule.weekdays : QList<HMRRuleParts::Weekday>{{start.weekday, start.weekOfMonth}};
        break;
    case 2:
    case 3:
        // Monthly and yearly rules repeat on their weekdays, else on their day of the month.
        fields.repeat = rule.frequency + 1;
        if (rule.frequency == 3)
            fields.month = rule.monthsOfTheYear.isEmpty() ? start.month : rule.monthsOfTheYear.first();
        if (hasWeekdays) {
            fields.dayOption = 1;
            weekdays = rule.weekdays;
        } else if (!rule.daysOfTheMonth.isEmpty()) {
            fields.dayOfMonth = rule.daysOfTheMonth.first();
        }
        break;
    default:
        fields.interval = 1;
        break;
    }
    setDayMaskAndOccurrence(fields, weekdays);
    return fields;
}

void insertRecordRepeat(QVariantMap &dictionary, const RecordRepeat &fields)
{
    dictionary.insert(QStringLiteral("REPEAT"), fields.repeat);
    dictionary.insert(QStringLiteral("REPTDAYOPT"), fields.dayOption);
    for (const auto &[key, field] : kRepeatPatternKeys)
        dictionary.insert(QString::fromLatin1(key), fields.*field);
}

// The repeat fields a type of recurrence gives a series that starts on the given day.
RecordRepeat recordRepeatOf(HMRecurrenceType recurrenceType, const StartParts &start, qint64 interval)
{
    const qint64 weekdayBit = bitOfWeekday(start.weekday);
    RecordRepeat fields;
    fields.interval = interval;
    switch (recurrenceType) {
    case HMRecurrenceType::Daily:
        fields.repeat = 1;
        fields.dayOption = 1;
        break;
    case HMRecurrenceType::Weekly:
        fields.repeat = 2;
        fields.dayMask = weekdayBit;
        break;
    case HMRecurrenceType::MonthlyOnWeekday:
    case HMRecurrenceType::YearlyOnWeekday:
        fields.repeat = recurrenceType == HMRecurrenceType::MonthlyOnWeekday ? 3 : 4;
        fields.dayOption = 1;
        fields.dayMask = weekdayBit;
        fields.dayOccurrence = start.weekdayOrdinal;
        break;
    case HMRecurrenceType::MonthlyOnDay:
    case HMRecurrenceType::YearlyOnDate:
        fields.repeat = recurrenceType == HMRecurrenceType::MonthlyOnDay ? 3 : 4;
        fields.dayOfMonth = start.day;
        break;
    case HMRecurrenceType::None:
        fields.interval = 0;
        break;
    }
    if (recurrenceType == HMRecurrenceType::YearlyOnWeekday || recurrenceType == HMRecurrenceType::YearlyOnDate)
        fields.month = start.month;
    return fields;
}

QVariantMap dictionaryFromReading(const RuleReading &rule, const StartParts &start)
{
    QVariantMap dictionary;
    insertRecordRepeat(dictionary, recordRepeatOfRule(rule, start));
    dictionary.insert(QStringLiteral("OCCURS"), rule.occurrences < 0 ? qint64(0) : rule.occurrences);
    dictionary.insert(QStringLiteral("DAYTYPE"), qint64(0));
    dictionary.insert(QStringLiteral("REPTENDOPT"), qint64(2));
    if (rule.repeatEnd.isValid())
        dictionary.insert(QStringLiteral("NSDATEREPEATEND"), rule.repeatEnd);
    return dictionary;
}

// The recurrence keys of a dictionary that both rule builders read.
struct DictionaryReading : RepeatPattern
{
    HMRecurrenceType type = HMRecurrenceType::None;
    QDateTime repeatEnd;
    qint64 occurrences = 0;
};

DictionaryReading readDictionary(const QVariantMap &dictionary)
{
    DictionaryReading reading;
    reading.type = HMRRuleHelper::recurrenceTypeFromHMRepeatType(integerForKey(dictionary, "REPEAT"),
                                                                 integerForKey(dictionary, "REPTDAYOPT"));
    for (const auto &[key, field] : kRepeatPatternKeys)
        reading.*field = integerForKey(dictionary, key);
    reading.repeatEnd = dateForKey(dictionary, "NSDATEREPEATEND");
    reading.occurrences = integerForKey(dictionary, "OCCURS");
    return reading;
}

bool isIntervalInRange(const DictionaryReading &reading)
{
    if (reading.interval <= HMRRuleParts::kMaxInterval)
        return true;
    DDLogError(QStringLiteral("Recurrence INTERVAL %1 is larger than %2; no rule is made.")
                   .arg(reading.interval)
                   .arg(HMRRuleParts::kMaxInterval));
    return false;
}

// A series ends on its end date; without one, after its count of occurrences; without either, never.
template <typename End> std::optional<End> endOf(const DictionaryReading &reading)
{
    if (reading.repeatEnd.isValid())
        return End::recurrenceEndWithEndDate(reading.repeatEnd);
    if (reading.occurrences > 0 && reading.occurrences <= std::numeric_limits<int>::max())
        return End::recurrenceEndWithOccurrenceCount(int(reading.occurrences));
    return std::nullopt;
}

QString ruleTextFromDescription(const QString &description)
{
    const qsizetype frequencyAt = description.indexOf(QLatin1String("FREQ"));
    if (frequencyAt < 0)
        return QString();
    return QStringLiteral("RRULE:%1").arg(description.mid(frequencyAt));
}

// The rule part "NAME=value" of a rule text, or the empty text.
QString rulePartNamed(const QString &rRule, const QString &name)
{
    const qsizetype at = rRule.indexOf(name + QLatin1Char('='));
    if (at < 0)
        return QString();
    const qsizetype end = rRule.indexOf(QLatin1Char(';'), at);
    return rRule.mid(at, end < 0 ? -1 : end - at);
}

QString weekdayNameText(qint64 day, bool usingAbreviations)
{
    static const char *const names[] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};
    static const char *const abbreviations[] = {"Sun", "Mon", "Tue", "Wed", "Thur", "Fri", "Sat"};
    return HMStringFormatters::localizedWord(QLatin1String(usingAbreviations ? abbreviations[day] : names[day]));
}

QString word(const char *englishWord)
{
    return HMStringFormatters::localizedWord(QLatin1String(englishWord));
}

} // namespace

HMCalendarSDK HMRRuleHelper::whichSDK()
{
    if (platform::calendarStoreClassExists(QStringLiteral("EKRecurrenceRule")))
        return HMCalendarSDK::EventKit;
    DDLogInfo(QStringLiteral("calCalendarStoreClass calendarStore"));
    if (platform::calendarStoreClassExists(QStringLiteral("CalRecurrenceRule")))
        return HMCalendarSDK::CalendarStore;
    return HMCalendarSDK::None;
}

QVariantMap HMRRuleHelper::getDictionaryFromRRule(const QString &rRule, const QDateTime &startDate)
{
    switch (whichSDK()) {
    case HMCalendarSDK::None:
        DDLogError(kNoStoreMessage);
        return QVariantMap();
    case HMCalendarSDK::CalendarStore: {
        const std::optional<CalRecurrenceRule> rule = getCalRecurrenceRuleFromRRule(rRule, startDate);
        return rule ? getDictionaryFromCalRecurrenceRule(*rule, startDate) : QVariantMap();
    }
    case HMCalendarSDK::EventKit:
        break;
    }
    const std::optional<EKRecurrenceRule> rule = getEKRecurrenceFromRRule(rRule);
    if (!rule || !startDate.isValid())
        return QVariantMap();
    const int occurrences = rule->recurrenceEnd() ? rule->recurrenceEnd()->occurrenceCount() : 0;
    return getDictionaryFromEKRecurrence(*rule, startDate, occurrences);
}

QString HMRRuleHelper::rRuleFromDictionary(const QVariantMap &dictionary,
                                           const std::optional<EKRecurrenceRule> &existingRule)
{
    switch (whichSDK()) {
    case HMCalendarSDK::None:
        DDLogError(kNoStoreMessage);
        return QString();
    case HMCalendarSDK::EventKit:
        return rRuleFromEKRecurrenceRule(ekRecurrenceRuleFromDictionary(dictionary, existingRule));
    case HMCalendarSDK::CalendarStore:
        return fixRecurrenceRule(rRuleFromCalRecurrenceRule(calRecurrenceRuleFromDictionary(dictionary)), dictionary);
    }
    return QString();
}

QString HMRRuleHelper::rRuleFromDictionary(const QVariantMap &dictionary)
{
    return rRuleFromDictionary(dictionary, std::nullopt);
}

QString HMRRuleHelper::fixRecurrenceRule(const QString &rRule, const QVariantMap &dictionary)
{
    if (rRule.size() < 2)
        return QString();
    if (rRule.contains(QLatin1String("FREQ=DAILY"))) {
        // A daily rule is written again from the record's interval (a number or decimal text); its end
        // part, an UNTIL date or a COUNT, is kept as the rule wrote it.
        const qint64 interval = integerForKey(dictionary, "INTERVAL");
        QString text = QStringLiteral("RRULE:FREQ=DAILY;INTERVAL=%1").arg(interval < 1 ? 1 : interval);
        QString endPart = rulePartNamed(rRule, QStringLiteral("UNTIL"));
        if (endPart.isEmpty())
            endPart = rulePartNamed(rRule, QStringLiteral("COUNT"));
        if (!endPart.isEmpty())
            text += QLatin1Char(';') + endPart;
        return text;
    }
    if (rRule.contains(QLatin1String("FREQ=WEEKLY"))) {
        const platform::DateFormatter weekdayFormatter(QStringLiteral("c"),
                                                       platform::Locale(QStringLiteral("en_US_POSIX")),
                                                       platform::TimeZone::defaultTimeZone());
        const QString weekdayText = weekdayFormatter.format(dateForKey(dictionary, "NSDATESTARTDATE"));
        DDLogInfo(QStringLiteral("The day of the week is: %1").arg(weekdayText));
        const qint64 weekday = HMRRuleParts::leadingInteger(weekdayText).value_or(0);
        // Without a start there is no weekday to add; an empty part would make the text unreadable.
        if (rRule.contains(QLatin1String("BYDAY=")) || !isWeekday(weekday))
            return rRule;
        return rRule + QStringLiteral(";BYDAY=") + platform::RecurrenceRuleParts::weekdayCode(int(weekday));
    }
    // Monthly and yearly rules are written correctly by the store; a yearly series must not lose its rule.
    if (rRule.contains(QLatin1String("FREQ=MONTHLY")) || rRule.contains(QLatin1String("FREQ=YEARLY")))
        return rRule;
    return QString();
}

HMRecurrenceType HMRRuleHelper::recurrenceTypeFromHMRepeatType(qint64 repeatType, qint64 dayOption)
{
    switch (repeatType) {
    case 1:
        return HMRecurrenceType::Daily;
    case 2:
        return HMRecurrenceType::Weekly;
    case 3:
        return dayOption != 0 ? HMRecurrenceType::MonthlyOnWeekday : HMRecurrenceType::MonthlyOnDay;
    case 4:
        return dayOption != 0 ? HMRecurrenceType::YearlyOnWeekday : HMRecurrenceType::YearlyOnDate;
    default:
        return HMRecurrenceType::None;
    }
}

QVariantList HMRRuleHelper::appleDaysFromHmDayMask(qint64 dayMask)
{
    QVariantList days;
    const HMCalendarSDK sdk = whichSDK();
    for (const int day : weekdaysOfMask(dayMask)) {
        if (sdk == HMCalendarSDK::EventKit)
            days.append(QVariant::fromValue(EKRecurrenceDayOfWeek::dayOfWeek(day)));
        else if (sdk == HMCalendarSDK::CalendarStore)
            days.append(qint64(day));
    }
    return days;
}

int HMRRuleHelper::highestWeekdayOfDayMask(qint64 dayMask)
{
    const QList<int> days = weekdaysOfMask(dayMask);
    return days.isEmpty() ? 0 : days.last();
}

qint64 HMRRuleHelper::hmDayMaskFromAppleDays(const QList<int> &appleDays)
{
    qint64 dayMask = 0;
    for (const int day : appleDays)
        dayMask |= bitOfWeekday(day);
    return dayMask;
}

QList<EKRecurrenceDayOfWeek> HMRRuleHelper::appleDayAndWeeksFromHmDayMask(qint64 dayMask, qint64 weekOfMonth)
{
    QList<EKRecurrenceDayOfWeek> days;
    const int weekNumber = weekNumberOf(weekOfMonth);
    for (const int day : weekdaysOfMask(dayMask))
        days.append(EKRecurrenceDayOfWeek::dayOfWeek(day, weekNumber));
    return days;
}

void HMRRuleHelper::updateRecurrenceDictionary(QVariantMap &dictionary, HMRecurrenceType recurrenceType)
{
    const QVariant intervalValue = dictionary.value(QStringLiteral("INTERVAL"));
    qint64 interval = intervalValue.isValid() ? platform::integerValue(intervalValue) : 1;
    if (interval < 1)
        interval = 1;
    const StartParts start = startPartsOf(dateForKey(dictionary, "NSDATESTARTDATE"));
    insertRecordRepeat(dictionary, recordRepeatOf(recurrenceType, start, interval));
}

bool HMRRuleHelper::isOutlookSync()
{
    const QString version = GlobalVariables::getOutlookVersionNumber();
    return version.startsWith(QLatin1String("14")) || version.startsWith(QLatin1String("15")) ||
           version.startsWith(QLatin1String("16"));
}

namespace {

// A record's recurrence with the words its description names it by.
struct RecurrenceText final : DictionaryReading
{
    QString weekOrdinal;
    QString every;
};

QString dailyText(const RecurrenceText &recurrence)
{
    const qint64 interval = recurrence.interval;
    if (interval == 1)
        return word("EveryDay");
    if (interval > 5)
        return QStringLiteral("%1 %2 %3").arg(recurrence.every).arg(interval).arg(word("days"));
    return QStringLiteral("%1 %2 %3").arg(recurrence.every, HMStringFormatters::ordinalWordForInteger(interval), word("day"));
}

QString weeklyText(const RecurrenceText &recurrence)
{
    const qint64 interval = recurrence.interval;
    const QString &every = recurrence.every;
    const QString days = HMRRuleHelper::displayStringForDayOfWeekMask(recurrence.dayMask, true);
    if (interval == 1)
        return QStringLiteral("%1 %2").arg(every, days.isEmpty() ? word("week") : days);
    if (!days.isEmpty())
        return QStringLiteral("%1 %2 %3").arg(every, HMStringFormatters::ordinalWordForInteger(interval), days);
    if (interval > 5)
        return QStringLiteral("%1 %2 %3").arg(every).arg(interval).arg(word("weeks"));
    return QStringLiteral("%1 %2 %3").arg(every, HMStringFormatters::ordinalWordForInteger(interval), word("week"));
}

QString monthlyText(HMRecurrenceType type, const RecurrenceText &recurrence)
{
    const qint64 interval = recurrence.interval;
    const QString &every = recurrence.every;
    if (type == HMRecurrenceType::MonthlyOnWeekday) {
        const QString days = HMRRuleHelper::displayStringForDayOfWeekMask(recurrence.dayMask, false);
        if (interval == 1)
            return QStringLiteral("%1 %2 %3, %4 %5").arg(every, recurrence.weekOrdinal, days, every, word("month"));
        return QStringLiteral("%1 %2 %3, %4 %5").arg(every).arg(interval).arg(word("months"), recurrence.weekOrdinal, days);
    }
    const QString day = HMStringFormatters::ordinalForInteger(recurrence.dayOfMonth);
    if (interval == 1)
        return QStringLiteral("%1 of the %2").arg(day, word("month"));
    return QStringLiteral("%1 of %2 %3 %4").arg(day, every, HMStringFormatters::ordinalWordForInteger(interval), word("month"));
}

QString yearlyText(HMRecurrenceType type, const RecurrenceText &recurrence)
{
    const qint64 interval = recurrence.interval;
    const QString &every = recurrence.every;
    const QString monthName = HMStringFormatters::monthNameForInteger(recurrence.month);
    if (type == HMRecurrenceType::YearlyOnWeekday) {
        const QString days = HMRRuleHelper::displayStringForDayOfWeekMask(recurrence.dayMask, false);
        if (interval != 0)
            return QStringLiteral("%1 %2 %3 %4 %5").arg(every, word("year"), recurrence.weekOrdinal, days, monthName);
        return QStringLiteral("%1 %2 %3, %4 %5 %6")
            .arg(every, HMStringFormatters::ordinalForInteger(0), word("year"), recurrence.weekOrdinal, days, monthName);
    }
    const QString day = HMStringFormatters::ordinalForInteger(recurrence.dayOfMonth);
    if (interval == 1)
        return QStringLiteral("%1 %2 %3").arg(every, monthName, day);
    return QStringLiteral("%1 %2 %3 %4").arg(every, HMStringFormatters::ordinalWordForInteger(interval), monthName, day);
}

} // namespace

QString HMRRuleHelper::displayStringForRecurrenceDictionary(const QVariantMap &dictionary)
{
    const DictionaryReading reading = readDictionary(dictionary);
    const HMRecurrenceType type = reading.type;
    // Rule objects give the last week as -1; the record format as 5.
    const qint64 dayOccurrence = reading.dayOccurrence;
    const RecurrenceText recurrence{
        reading,
        dayOccurrence > 4 || dayOccurrence < 0 ? word("last") : HMStringFormatters::ordinalForInteger(dayOccurrence),
        word("every")};

    switch (type) {
    case HMRecurrenceType::None:
        return word("None");
    case HMRecurrenceType::Daily:
        return dailyText(recurrence);
    case HMRecurrenceType::Weekly:
        return weeklyText(recurrence);
    case HMRecurrenceType::MonthlyOnWeekday:
    case HMRecurrenceType::MonthlyOnDay:
        return monthlyText(type, recurrence);
    case HMRecurrenceType::YearlyOnWeekday:
    case HMRecurrenceType::YearlyOnDate:
        return yearlyText(type, recurrence);
    }
    return QStringLiteral("<invalid repeat type>");
}

QString HMRRuleHelper::displayStringForInterval(qint64 interval, HMRecurrenceType recurrenceType)
{
    if (recurrenceType == HMRecurrenceType::None)
        return word("Never");
    const int type = int(recurrenceType);
    if (interval == 1)
        return QStringLiteral("%1 %2").arg(word("every"), displayStringForRecurrenceType(type, true));
    return QStringLiteral("%1 %2 %3").arg(word("every")).arg(interval).arg(displayStringForRecurrenceType(type, false));
}

QString HMRRuleHelper::displayStringForRecurrenceType(int recurrenceType, bool singular)
{
    switch (recurrenceType) {
    case 0:
        return word("Never");
    case 1:
        return word(singular ? "day" : "days");
    case 2:
        return word(singular ? "week" : "weeks");
    case 3:
    case 4:
        return word(singular ? "month" : "months");
    case 5:
    case 6:
        return word(singular ? "year" : "years");
    default:
        return QString();
    }
}

QString HMRRuleHelper::displayStringForDayOfWeekMask(qint64 dayMask, bool usingAbreviations)
{
    if (dayMask == 0)
        return QString(QLatin1String(""));
    if (dayMask == 62)
        return word("weekday");
    if (dayMask == 65)
        return word("weekend");
    QStringList names;
    for (int bit = 0; bit < 7; ++bit) {
        if (dayMask & (qint64(1) << bit))
            names.append(weekdayNameText(bit, usingAbreviations));
    }
    return names.join(QStringLiteral(", "));
}

std::optional<EKRecurrenceRule> HMRRuleHelper::getEKRecurrenceFromRRule(const QString &rRule)
{
    const HMRRuleParts parts = HMRRuleParts::read(rRule, HMRRuleParts::Road::EventKit);
    if (!parts.isUsable || !parts.frequency)
        return std::nullopt;
    QList<EKRecurrenceDayOfWeek> days;
    for (const HMRRuleParts::Weekday &weekday : parts.weekdays)
        days.append(EKRecurrenceDayOfWeek::dayOfWeek(weekday.dayOfTheWeek, weekday.weekNumber));
    std::optional<EKRecurrenceEnd> end;
    if (parts.until.isValid())
        end = EKRecurrenceEnd::recurrenceEndWithEndDate(parts.until);
    else if (parts.count > 0)
        end = EKRecurrenceEnd::recurrenceEndWithOccurrenceCount(parts.count);
    return EKRecurrenceRule(EKRecurrenceFrequency(*parts.frequency), parts.interval, days, parts.daysOfTheMonth, {}, {},
                            {}, parts.setPositions, end);
}

std::optional<CalRecurrenceRule> HMRRuleHelper::getCalRecurrenceRuleFromRRule(const QString &rRule, const QDateTime &)
{
    const HMRRuleParts parts = HMRRuleParts::read(rRule, HMRRuleParts::Road::CalendarStore);
    if (!parts.isUsable || !parts.frequency)
        return std::nullopt;
    std::optional<CalRecurrenceEnd> end;
    if (parts.until.isValid())
        end = CalRecurrenceEnd::recurrenceEndWithEndDate(parts.until);
    else if (parts.count > 0)
        end = CalRecurrenceEnd::recurrenceEndWithOccurrenceCount(parts.count);
    const int interval = parts.interval;
    const bool hasWeekdays = !parts.weekdays.isEmpty();
    switch (*parts.frequency) {
    case 0:
        return CalRecurrenceRule::initDailyRecurrenceWithInterval(interval, end);
    case 1: {
        if (!hasWeekdays)
            return CalRecurrenceRule::initWeeklyRecurrenceWithInterval(interval, end);
        QList<int> days;
        for (const HMRRuleParts::Weekday &weekday : parts.weekdays)
            days.append(weekday.dayOfTheWeek);
        return CalRecurrenceRule::initWeeklyRecurrenceWithInterval(interval, days, end);
    }
    case 2:
        if (hasWeekdays) {
            const HMRRuleParts::Weekday &first = parts.weekdays.first();
            return CalRecurrenceRule::initMonthlyRecurrenceWithInterval(interval, first.dayOfTheWeek, first.weekNumber,
                                                                        end);
        }
        if (!parts.daysOfTheMonth.isEmpty())
            return CalRecurrenceRule::initMonthlyRecurrenceWithInterval(interval, parts.daysOfTheMonth, end);
        return CalRecurrenceRule::initMonthlyRecurrenceWithInterval(interval, end);
    case 3:
        if (hasWeekdays) {
            const HMRRuleParts::Weekday &first = parts.weekdays.first();
            return CalRecurrenceRule::initYearlyRecurrenceWithInterval(interval, first.dayOfTheWeek, first.weekNumber,
                                                                       {}, end);
        }
        return CalRecurrenceRule::initYearlyRecurrenceWithInterval(interval, end);
    default:
        return std::nullopt;
    }
}

QVariantMap HMRRuleHelper::getDictionaryFromEKRecurrence(const EKRecurrenceRule &rule, const QDateTime &startDate,
                                                         qint64 numberOfOccurrences)
{
    RuleReading reading;
    reading.frequency = int(rule.frequency());
    reading.interval = rule.interval();
    for (const EKRecurrenceDayOfWeek &day : rule.daysOfTheWeek())
        reading.weekdays.append({day.dayOfTheWeek(), day.weekNumber()});
    reading.daysOfTheMonth = rule.daysOfTheMonth();
    reading.monthsOfTheYear = rule.monthsOfTheYear();
    reading.occurrences = numberOfOccurrences;
    if (numberOfOccurrences <= 0 && rule.recurrenceEnd()) {
        reading.occurrences = rule.recurrenceEnd()->occurrenceCount();
        reading.repeatEnd = rule.recurrenceEnd()->endDate();
    }
    return dictionaryFromReading(reading, startPartsOf(startDate));
}

QVariantMap HMRRuleHelper::getDictionaryFromCalRecurrenceRule(const CalRecurrenceRule &rule, const QDateTime &startDate)
{
    const StartParts start = startPartsOf(startDate);
    RuleReading reading;
    reading.frequency = int(rule.recurrenceType());
    reading.interval = rule.recurrenceInterval();
    for (const CalWeekdayEntry &entry : rule.daysOfTheWeek()) {
        if (const int *day = std::get_if<int>(&entry))
            reading.weekdays.append({*day, start.weekOfMonth});
        else if (const CalNthWeekDay *nth = std::get_if<CalNthWeekDay>(&entry))
            reading.weekdays.append({nth->dayOfTheWeek(), nth->weekNumber()});
    }
    reading.daysOfTheMonth = rule.daysOfTheMonth();
    reading.monthsOfTheYear = rule.monthsOfTheYear();
    if (rule.recurrenceEnd()) {
        reading.occurrences = rule.recurrenceEnd()->occurrenceCount();
        reading.repeatEnd = rule.recurrenceEnd()->endDate();
    }
    return dictionaryFromReading(reading, start);
}

std::optional<EKRecurrenceRule>
HMRRuleHelper::ekRecurrenceRuleFromDictionary(const QVariantMap &dictionary,
                                              const std::optional<EKRecurrenceRule> &existingRule)
{
    const DictionaryReading reading = readDictionary(dictionary);
    if (reading.type == HMRecurrenceType::None || reading.interval < 1 || !isIntervalInRange(reading))
        return std::nullopt;
    const int interval = int(reading.interval);
    const std::optional<EKRecurrenceEnd> end = endOf<EKRecurrenceEnd>(reading);
    const QList<int> dayOfMonth = listOfOne(reading.dayOfMonth, -31, 31);
    const QList<int> month = listOfOne(reading.month, 1, 12);

    QList<EKRecurrenceDayOfWeek> nthDays;
    const int weekNumber = weekNumberOf(reading.dayOccurrence);
    for (const int day : weekdaysOfMask(reading.dayMask))
        nthDays.append(EKRecurrenceDayOfWeek::dayOfWeek(day, weekNumber));

    switch (reading.type) {
    case HMRecurrenceType::Daily:
        return EKRecurrenceRule(EKRecurrenceFrequency::Daily, interval, {}, {}, {}, {}, {}, {}, end);
    case HMRecurrenceType::Weekly: {
        QList<EKRecurrenceDayOfWeek> days;
        for (const int day : weekdaysOfMask(reading.dayMask))
            days.append(EKRecurrenceDayOfWeek::dayOfWeek(day));
        return EKRecurrenceRule(EKRecurrenceFrequency::Weekly, interval, days, {}, {}, {}, {}, {}, end);
    }
    case HMRecurrenceType::MonthlyOnWeekday:
        // The record's weekday wins; the rule the event already has fills in when the record names none.
        if (nthDays.isEmpty() && existingRule)
            nthDays = existingRule->daysOfTheWeek();
        return EKRecurrenceRule(EKRecurrenceFrequency::Monthly, interval, nthDays, {}, {}, {}, {}, {}, end);
    case HMRecurrenceType::MonthlyOnDay:
        return EKRecurrenceRule(EKRecurrenceFrequency::Monthly, interval, {}, dayOfMonth, {}, {}, {}, {}, end);
    case HMRecurrenceType::YearlyOnWeekday:
        return EKRecurrenceRule(EKRecurrenceFrequency::Yearly, interval, nthDays, {}, month, {}, {}, {}, end);
    case HMRecurrenceType::YearlyOnDate:
        return EKRecurrenceRule(EKRecurrenceFrequency::Yearly, interval, {}, dayOfMonth, month, {}, {}, {}, end);
    case HMRecurrenceType::None:
        break;
    }
    return std::nullopt;
}

std::optional<CalRecurrenceRule> HMRRuleHelper::calRecurrenceRuleFromDictionary(const QVariantMap &dictionary)
{
    const DictionaryReading reading = readDictionary(dictionary);
    if (reading.type == HMRecurrenceType::None || !isIntervalInRange(reading))
        return std::nullopt;
    const int interval = reading.interval < 0 ? 0 : int(reading.interval);
    const std::optional<CalRecurrenceEnd> end = endOf<CalRecurrenceEnd>(reading);
    // A rule object that takes one weekday takes the highest the mask names.
    const QList<int> nthDays = weekdaysOfMask(reading.dayMask);
    const int weekNumber = weekNumberOf(reading.dayOccurrence);

    switch (reading.type) {
    case HMRecurrenceType::Daily:
        return CalRecurrenceRule::initDailyRecurrenceWithInterval(interval, end);
    case HMRecurrenceType::Weekly:
        return CalRecurrenceRule::initWeeklyRecurrenceWithInterval(interval, weekdaysOfMask(reading.dayMask), end);
    case HMRecurrenceType::MonthlyOnWeekday:
        if (nthDays.isEmpty())
            return CalRecurrenceRule::initMonthlyRecurrenceWithInterval(interval, end);
        return CalRecurrenceRule::initMonthlyRecurrenceWithInterval(interval, nthDays.last(), weekNumber, end);
    case HMRecurrenceType::MonthlyOnDay: {
        const QList<int> dayOfMonth = listOfOne(reading.dayOfMonth, -31, 31);
        if (dayOfMonth.isEmpty())
            return CalRecurrenceRule::initMonthlyRecurrenceWithInterval(interval, end);
        return CalRecurrenceRule::initMonthlyRecurrenceWithInterval(interval, dayOfMonth, end);
    }
    case HMRecurrenceType::YearlyOnWeekday:
        if (nthDays.isEmpty())
            return CalRecurrenceRule::initYearlyRecurrenceWithInterval(interval, end);
        return CalRecurrenceRule::initYearlyRecurrenceWithInterval(interval, nthDays.last(), weekNumber,
                                                                   listOfOne(reading.month, 1, 12), end);
    case HMRecurrenceType::YearlyOnDate:
        // The day and month come from the event's start.
        return CalRecurrenceRule::initYearlyRecurrenceWithInterval(interval, end);
    case HMRecurrenceType::None:
        break;
    }
    return std::nullopt;
}

QString HMRRuleHelper::rRuleFromEKRecurrenceRule(const std::optional<EKRecurrenceRule> &rule)
{
    if (!rule)
        return QString();
    const QString text = ruleTextFromDescription(rule->description());
    DDLogInfo(QStringLiteral("rRuleDescription %1").arg(text));
    return text;
}

QString HMRRuleHelper::rRuleFromCalRecurrenceRule(const std::optional<CalRecurrenceRule> &rule)
{
    if (!rule)
        return QString();
    return ruleTextFromDescription(rule->description());
}

QString HMRRuleHelper::ekRecurrenceRuleToString(const EKRecurrenceRule &rule)
{
    return QStringLiteral("RRULE:") + rule.description();
}
