// The CalendarStore road's recurrence: a store rule to the record's recurrence keys and back, the
// first regular occurrence of a series, and the detached occurrence on a day.
#include "datasources/calendar/HMCalendarData.h"

#include "foundation/Lumberjack/DDLog.h"
#include "foundation/NSDictionary+HMExtras.h"
#include "platform/eventkit/CalCalendarStore.h"
#include "datasources/calendar/HMCalendarDataKeys.h"
#include "datasources/calendar/HMRecurrenceRecordKeys.h"
#include "sync/HMSyncFields.h"

#include <QTimeZone>

#include <limits>

using namespace hmcalendar;
using namespace hmrecurrence;

namespace {

// The first weekday of one week that a monthly or yearly rule lists, if it lists one.
std::optional<platform::CalNthWeekDay> firstNthWeekDay(const platform::CalRecurrenceRule &rule)
{
    for (const platform::CalWeekdayEntry &entry : rule.daysOfTheWeek()) {
        if (const auto *nth = std::get_if<platform::CalNthWeekDay>(&entry))
            return *nth;
    }
    return std::nullopt;
}

} // namespace

std::optional<QList<QDateTime>> HMCalendarData::instancesForRecordRecurrence(const QDateTime &start,
                                                                             const QVariantMap &record)
{
    switch (integerOf(record, kHMSyncFieldRecurringRepeat)) {
    case 1:
        return instancesForDailyRecurrenceStartingOn(start, record, false);
    case 2:
        return instancesForWeeklyRecurrenceStartingOn(start, record, false);
    case 3:
        return instancesForMonthlyRecurrenceStartingOn(start, record, false);
    case 4:
        return instancesForYearlyRecurrenceStartingOn(start, record, false);
    default:
        DDLogWarn(QStringLiteral("Recurrence not handled."));
        return std::nullopt;
    }
}

bool HMCalendarData::updatePppDictionary(QVariantMap &record, QVariantMap &identifierDictionary,
                                         const platform::CalEvent &event)
{
    const std::optional<platform::CalRecurrenceRule> rule = event.recurrenceRule();
    if (!rule && !event.isDetached()) {
        DDLogInfo(QStringLiteral("-- No Recurrence Rule Found."));
        return false;
    }
    if (event.isDetached()) {
        DDLogInfo(QStringLiteral("-- Event is detached, ignoring recurring info and setting parent id to '%1'")
                      .arg(event.uid()));
        record.insert(key(kHMSyncFieldParentId), event.uid());
        return true;
    }
    DDLogInfo(QStringLiteral("-- Reading Apple Recurrence Rule: %1").arg(rule->description()));
    writeRuleOfFrequency<platform::CalRecurrenceRule>(
        record, *rule, int(rule->recurrenceType()),
        {&HMCalendarData::updateDictionaryWithDailyRecurrenceInfoForRecurrence,
         &HMCalendarData::updateDictionaryWithWeeklyRecurrenceInfoForRecurrence,
         &HMCalendarData::updateDictionaryWithMonthlyRecurrenceInfoForRecurrence,
         &HMCalendarData::updateDictionaryWithYearlyRecurrenceInfoForRecurrence});
    // The record's end is the midnight that starts the series' last day, whatever the moment the rule
    // ends on that day: the device reads it as the last day, and written back the rule ends at the last
    // second of that day again, so a series neither grows nor shrinks by a day on each trip.
    std::optional<RecurrenceEndKeys> end;
    if (const std::optional<platform::CalRecurrenceEnd> &ruleEnd = rule->recurrenceEnd()) {
        const QDateTime lastDay =
            ruleEnd->usesEndDate() ? dateUtilities().dateAtMidnightForDate(ruleEnd->endDate()) : QDateTime();
        end = RecurrenceEndKeys{lastDay, ruleEnd->occurrenceCount(), true};
    }
    writeRecurrenceEndKeys(record, identifierDictionary, event.startDate(), end);
    return true;
}

// The record's end is the series' last day, which the device and the occurrence expansion count whole;
// the store's end is the last second of that day, so the last occurrence is kept. A series the device
// ends after a count ("OCCURS") keeps its count.
HMCalendarData::RecurrenceEndKeys HMCalendarData::storeEndOfRecord(const QVariantMap &record)
{
    const QDateTime repeatEnd = record.value(key(kHMSyncFieldRecurringNSDateRepeatEnd)).toDateTime();
    if (repeatEnd.isValid()) {
        const QDateTime lastDay = dateUtilities().dateAtMidnightForDate(repeatEnd);
        return RecurrenceEndKeys{dateUtilities().dateByAdding(1, platform::CalendarUnit::Day, lastDay).addSecs(-1)};
    }
    const qint64 occurrences = integerOf(record, kHMSyncFieldRecurringOccurs);
    return RecurrenceEndKeys{QDateTime(),
                             occurrences > 0 && occurrences <= std::numeric_limits<int>::max() ? int(occurrences) : 0};
}

// A series ending on a date ends on the record the day after the end date given, or on that date
// itself when it is already the record's end; one ending by count gets OCCURS and no end date: the
// expansion's last date is a step past the last occurrence, and a date beside the count would make
// the series end on a date when it comes back.
void HMCalendarData::writeRecurrenceEndKeys(QVariantMap &record, QVariantMap &identifierDictionary,
                                            const QDateTime &start, const std::optional<RecurrenceEndKeys> &end)
{
    if (end && end->endDate.isValid()) {
        record.insert(key(kHMSyncFieldRecurringNSDateRepeatEnd),
                      end->isRecordEnd ? end->endDate
                                       : dateUtilities().dateByAdding(1, platform::CalendarUnit::Day, end->endDate));
    } else if (end) {
        record.insert(key(kHMSyncFieldRecurringOccurs), QString::number(end->occurrenceCount));
    }
    const std::optional<QList<QDateTime>> instances = instancesForRecordRecurrence(start, record);
    QStringList texts;
    for (const QDateTime &date : instances.value_or(QList<QDateTime>()))
        texts.append(date.toString(Qt::ISODate));
    DDLogInfo(QStringLiteral("Recurrence Instances Generated: %1")
                  .arg(texts.isEmpty() ? QStringLiteral("None") : texts.join(QLatin1Char(','))));
    if (!instances)
        return;
    QVariantList dates;
    for (const QDateTime &date : *instances)
        dates.append(date);
    identifierDictionary.insert(kInstancesKey, dates);
}

bool HMCalendarData::updateDictionaryWithDailyRecurrenceInfoForRecurrence(QVariantMap &record,
                                                                          const platform::CalRecurrenceRule &rule)
{
    writeRepeatAndInterval(record, u"1", rule.recurrenceInterval());
    return true;
}

bool HMCalendarData::updateDictionaryWithWeeklyRecurrenceInfoForRecurrence(QVariantMap &record,
                                                                           const platform::CalRecurrenceRule &rule)
{
    DDLogInfo(QStringLiteral("updateDictionary:withWeeklyRecurrenceInfoForRecurrence:"));
    writeRepeatAndInterval(record, u"2", rule.recurrenceInterval());
    QList<int> days;
    for (const platform::CalWeekdayEntry &entry : rule.daysOfTheWeek()) {
        if (const int *day = std::get_if<int>(&entry))
            days.append(*day);
        else
            days.append(std::get<platform::CalNthWeekDay>(entry).dayOfTheWeek());
    }
    writeWeekdayMask(record, days);
    return true;
}

bool HMCalendarData::updateDictionaryWithMonthlyRecurrenceInfoForRecurrence(QVariantMap &record,
                                                                            const platform::CalRecurrenceRule &rule)
{
    writeRepeatAndInterval(record, u"3", rule.recurrenceInterval());
    if (!rule.daysOfTheMonth().isEmpty()) {
        record.insert(key(kHMSyncFieldRecurringDayOfMonth), QString::number(rule.daysOfTheMonth().first()));
        record.insert(key(kHMSyncFieldRecurringRepeatDayOption), QStringLiteral("0"));
    } else if (const std::optional<platform::CalNthWeekDay> day = firstNthWeekDay(rule)) {
        writeNthWeekDay(record, day->dayOfTheWeek(), day->weekNumber());
    }
    return true;
}

bool HMCalendarData::updateDictionaryWithYearlyRecurrenceInfoForRecurrence(QVariantMap &record,
                                                                           const platform::CalRecurrenceRule &rule)
{
    writeRepeatAndInterval(record, u"4", rule.recurrenceInterval());
    if (const std::optional<platform::CalNthWeekDay> day = firstNthWeekDay(rule)) {
        writeNthWeekDay(record, day->dayOfTheWeek(), day->weekNumber());
        if (!rule.monthsOfTheYear().isEmpty())
            record.insert(key(kHMSyncFieldRecurringMonth), QString::number(rule.monthsOfTheYear().first()));
        return true;
    }
    const int day = rule.daysOfTheMonth().value(0);
    if (day > 0)
        record.insert(key(kHMSyncFieldRecurringDayOfMonth), QString::number(day));
    record.insert(key(kHMSyncFieldRecurringRepeatDayOption), QStringLiteral("0"));
    return true;
}

std::optional<std::size_t> HMCalendarData::ruleMakerOfRepeat(qint64 repeat)
{
    if (repeat >= 1 && repeat <= 4)
        return std::size_t(repeat - 1);
    DDLogWarn(QStringLiteral("Recurrence not handled."));
    return std::nullopt;
}

bool HMCalendarData::updateRecurrenceOfEvent(platform::CalEvent &event, const QVariantMap &record)
{
    DDLogInfo(QStringLiteral("Updating Recurring info..."));
    const qint64 repeat = integerOf(record, kHMSyncFieldRecurringRepeat);
    if (repeat == 0)
        return false;
    const std::optional<platform::CalRecurrenceRule> rule =
        ruleOfRecord<platform::CalRecurrenceRule, platform::CalRecurrenceEnd>(
            record, repeat,
            {&HMCalendarData::dailyRecurrenceRuleFromDictionary, &HMCalendarData::weeklyRecurrenceRuleFromDictionary,
             &HMCalendarData::monthlyRecurrenceRuleFromDictionary,
             &HMCalendarData::yearlyRecurrenceRuleFromDictionary});
    DDLogInfo(QStringLiteral("Setting Apple Event Recurrence: %1")
                  .arg(rule ? rule->description() : QStringLiteral("(none)")));
    event.setRecurrenceRule(rule);
    return true;
}

std::optional<platform::CalRecurrenceRule>
HMCalendarData::dailyRecurrenceRuleFromDictionary(const QVariantMap &record,
                                                  const std::optional<platform::CalRecurrenceEnd> &end)
{
    return platform::CalRecurrenceRule::initDailyRecurrenceWithInterval(
        int(integerOf(record, kHMSyncFieldRecurringInterval)), end);
}

std::optional<platform::CalRecurrenceRule>
HMCalendarData::weeklyRecurrenceRuleFromDictionary(const QVariantMap &record,
                                                   const std::optional<platform::CalRecurrenceEnd> &end)
{
    const int interval = int(integerOf(record, kHMSyncFieldRecurringInterval));
    const qint64 mask = integerOf(record, kHMSyncFieldRecurringDayMask);
    if (mask == 0)
        return platform::CalRecurrenceRule::initWeeklyRecurrenceWithInterval(interval, end);
    QList<int> days;
    for (const int day : appleDaysFromHmDayMask(mask)) {
        if (day >= 1 && day <= 7)
            days.append(day);
    }
    return platform::CalRecurrenceRule::initWeeklyRecurrenceWithInterval(interval, days, end);
}

std::optional<platform::CalRecurrenceRule>
HMCalendarData::monthlyRecurrenceRuleFromDictionary(const QVariantMap &record,
                                                    const std::optional<platform::CalRecurrenceEnd> &end)
{
    const int interval = int(integerOf(record, kHMSyncFieldRecurringInterval));
    const qint64 option = integerOf(record, kHMSyncFieldRecurringRepeatDayOption);
    if (option == 1) {
        const RecordNthWeekDay nth = nthWeekDayOf(record);
        return platform::CalRecurrenceRule::initMonthlyRecurrenceWithInterval(interval, nth.appleDay, nth.weekNumber,
                                                                              end);
    }
    if (option != 0)
        return std::nullopt;
    const qint64 dayOfMonth = integerOf(record, kHMSyncFieldRecurringDayOfMonth);
    if (dayOfMonth > 0 && dayOfMonth <= 31)
        return platform::CalRecurrenceRule::initMonthlyRecurrenceWithInterval(interval, {int(dayOfMonth)}, end);
    return platform::CalRecurrenceRule::initMonthlyRecurrenceWithInterval(interval, end);
}

std::optional<platform::CalRecurrenceRule>
HMCalendarData::yearlyRecurrenceRuleFromDictionary(const QVariantMap &record,
                                                   const std::optional<platform::CalRecurrenceEnd> &end)
{
    const int interval = int(integerOf(record, kHMSyncFieldRecurringInterval));
    const QList<int> months = monthsOf(record);
    if (integerOf(record, kHMSyncFieldRecurringRepeatDayOption) == 1) {
        const RecordNthWeekDay nth = nthWeekDayOf(record);
        return platform::CalRecurrenceRule::initYearlyRecurrenceWithInterval(interval, nth.appleDay, nth.weekNumber,
                                                                             months, end);
    }
    if (!months.isEmpty())
        return platform::CalRecurrenceRule::initYearlyRecurrenceWithInterval(interval, months, end);
    return platform::CalRecurrenceRule::initYearlyRecurrenceWithInterval(interval, end);
}

QList<std::shared_ptr<platform::CalEvent>> HMCalendarData::calendarStoreEventsOfSeries(const QString &uid)
{
    const std::shared_ptr<platform::CalCalendarStore> store = calendarStore();
    const QList<std::shared_ptr<platform::CalEvent>> events =
        store->eventsWithPredicate(platform::CalCalendarStore::eventPredicateWithStartDate(
            calendarDateRangeStart(), calendarDateRangeEnd(), uid, calendarsToRead()));
    DDLogVerbose(QStringLiteral("++ %1 recurring instances found.").arg(events.size()));
    return events;
}

std::shared_ptr<platform::CalEvent>
HMCalendarData::firstAppleInstanceOfRecurringEventForNativeId(const QString &uid, QList<QDateTime> *instances)
{
    DDLogVerbose(QStringLiteral("++ Looking up initial recurring event record for id: '%1'").arg(uid));
    DDLogInfo(QStringLiteral("firstAppleInstanceOfRecurringEventForNativeId calendarStore"));
    const QList<std::shared_ptr<platform::CalEvent>> events = calendarStoreEventsOfSeries(uid);
    if (events.isEmpty()) {
        DDLogWarn(QStringLiteral("Recurring event not found in apple."));
        return nullptr;
    }
    DDLogVerbose(QStringLiteral("++ Scanning events to find first non detached event."));
    std::shared_ptr<platform::CalEvent> first;
    QList<QDateTime> starts;
    for (const std::shared_ptr<platform::CalEvent> &event : events) {
        if (event->isDetached())
            continue;
        starts.append(event->startDate());
        if (!first) {
            first = event;
            DDLogInfo(QStringLiteral("++ Loaded recurring event instance of %1 in apple to modify")
                          .arg(dateUtilities().localDateTimeStringFromDate(event->startDate())));
        }
    }
    if (!first) {
        DDLogWarn(QStringLiteral("++ No non-detached event instance found, checking if this is the only instance"));
        if (events.size() == 1)
            first = events.first();
    }
    if (instances && !starts.isEmpty())
        *instances = starts;
    return first;
}

std::shared_ptr<platform::CalEvent>
HMCalendarData::recurringExceptionInstanceOfAppleInstanceOfRecurringEventForNativeId(const QString &uid,
                                                                                     const QDateTime &exceptionDate)
{
    DDLogVerbose(QStringLiteral("++ Looking up recurring exception event record for id: '%1'").arg(uid));
    const QList<std::shared_ptr<platform::CalEvent>> events = calendarStoreEventsOfSeries(uid);
    DDLogVerbose(QStringLiteral("++ Scanning events to find detached event on date '%1'.")
                     .arg(dateUtilities().localDateTimeStringFromDate(exceptionDate)));
    const QDateTime dayStart = dateUtilities().dateAtMidnightForDate(exceptionDate);
    const QDateTime dayEnd = dateUtilities().dateByAdding(1, platform::CalendarUnit::Day, dayStart);
    for (const std::shared_ptr<platform::CalEvent> &event : events) {
        if (event->isDetached() && event->startDate() >= dayStart && event->startDate() <= dayEnd) {
            DDLogInfo(QStringLiteral("++ Loaded recurring event exception instance of %1 in apple to modify")
                          .arg(dateUtilities().localDateTimeStringFromDate(event->startDate())));
            return event;
        }
    }
    DDLogWarn(QStringLiteral("++ No detached event instance found. Must be a new exception..."));
    return nullptr;
}
