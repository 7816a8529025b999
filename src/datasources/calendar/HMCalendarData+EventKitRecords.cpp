// The records the EventKit listing sends: one per event or series, built from the event's fields,
// alarms and recurrence.
#include "datasources/calendar/HMCalendarData.h"

#include "foundation/Lumberjack/DDLog.h"
#include "foundation/NSMutableDictionary+HMExtras.h"
#include "platform/eventkit/EKCalendar.h"
#include "platform/eventkit/EKEvent.h"
#include "sync/HMIdentifierGraph.h"
#include "datasources/calendar/HMCalendarDataKeys.h"
#include "datasources/calendar/HMRecurrenceRecordKeys.h"
#include "sync/HMSyncFields.h"

#include <QTimeZone>

using namespace hmcalendar;
using namespace hmrecurrence;

namespace {

// The local zone's standard offset and its current daylight-saving offset, in whole minutes.
QString timeZoneData()
{
    const QTimeZone zone = QTimeZone::systemTimeZone();
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const qint64 daylight = zone.isDaylightTime(now) ? zone.daylightTimeOffset(now) : 0;
    const qint64 standard = zone.offsetFromUtc(now) - daylight;
    return QStringLiteral("%1\t%2").arg(standard / 60).arg(daylight / 60);
}

// Equal to the letter, a null text apart from an empty one.
bool isSameText(const QString &left, const QString &right)
{
    return left.isNull() == right.isNull() && left == right;
}

// The text the last record of this thread was given, when equal: every record of a listing carries
// the zone's name and offsets, which then share one text instead of a copy each.
QString sharedWithLast(const QString &text, QString &last)
{
    if (!isSameText(text, last))
        last = text;
    return last;
}

// The categories of an event of the calendar, shared as sharedWithLast shares a text: the last list
// holds the title it was made for.
QVariantList calendarCategories(const QString &calendarTitle)
{
    thread_local QVariantList last;
    if (last.isEmpty() || !isSameText(calendarTitle, last.constFirst().toString()))
        last = QVariantList{calendarTitle};
    return last;
}

} // namespace

void HMCalendarData::appendSeriesRecord(EventPlan &plan, QList<HMSyncRecord> &records)
{
    RegularStarts regularStarts;
    const std::shared_ptr<platform::EKEvent> first =
        firstAppleInstanceOfEventKitRecurringEventForNativeId(plan.seriesId, &regularStarts);
    if (!first) {
        DDLogError(QStringLiteral("-- ++ No instance of the recurring event found. Returning nil"));
        return;
    }
    DDLogInfo(QStringLiteral("-- ++ Found Initial instance of Recurring Event. Creating PPP Data"));
    QVariantMap seriesDictionary = plan.seriesIdentifierDictionary.value_or(QVariantMap());
    HMSyncRecord record;
    record.setIsNew(plan.seriesIsNew);
    record.setNativeId(plan.seriesId);
    record.setHmxUid(plan.seriesUid);
    QVariantMap dictionary = pppDictionaryForEKEvent(*first, &seriesDictionary, 1);
    if (!seriesDictionary.contains(kInstancesKey))
        DDLogError(QStringLiteral("Did not find any instances... something is awry."));
    const QVariantList exceptions =
        exceptionsOfSeries(plan.seriesId, seriesDictionary.value(kInstancesKey).toList(), regularStarts);
    seriesDictionary.remove(kInstancesKey);
    seriesDictionary.insert(kCrcKey, seriesChecksum(plan.seriesId));
    dictionary.insert(key(kHMSyncFieldRecurringNSArrayExceptions),
                      exceptions.isEmpty() ? QVariant(QString()) : exceptions);
    record.setDictionary(dictionary);
    if (plan.seriesIdentifierDictionary)
        identifierGraph()->setDictionary(seriesDictionary, plan.seriesUid);
    records.append(record);
    if (plan.seriesIsNew)
        addRecordAddedToDevice(plan.seriesUid);
}

// Only a regular start on an instance's local day tells anything: one a day and more after the last
// instance is on a later local day in any zone, so the walk stops there. No instance, no walk.
QVariantList HMCalendarData::exceptionsOfSeries(const QString &seriesId, const QVariantList &instances,
                                                const RegularStarts &regularStarts)
{
    if (!regularStarts.fromWalk)
        return exceptionsOfInstances(instances, regularStarts.found);
    QDateTime last;
    for (const QVariant &instance : instances) {
        const QDateTime date = instance.toDateTime();
        if (date.isValid() && (!last.isValid() || last < date))
            last = date;
    }
    if (!last.isValid())
        return exceptionsOfInstances(instances, {});
    constexpr qint64 kTwoDaysSeconds = 2 * 24 * 3600;
    return exceptionsOfInstances(instances, regularStartsOfSeries(seriesId, last.addSecs(kTwoDaysSeconds)));
}

QVariantList HMCalendarData::exceptionsOfInstances(const QVariantList &instances, const QList<QDateTime> &regularStarts)
{
    const QTimeZone local = QTimeZone::systemTimeZone();
    QSet<QDate> days;
    for (const QDateTime &start : regularStarts)
        days.insert(start.toTimeZone(local).date());
    QVariantList exceptions;
    for (const QVariant &instance : instances) {
        if (!days.contains(instance.toDateTime().toTimeZone(local).date()))
            exceptions.append(instance);
    }
    return exceptions;
}

void HMCalendarData::appendEventRecord(EventPlan &plan, const platform::EKEvent &event, QList<HMSyncRecord> &records)
{
    DDLogInfo(QStringLiteral("-- ++ Adding Record to device"));
    HMSyncRecord record;
    record.setIsNew(plan.isNew);
    record.setHmxUid(plan.ownUid);
    record.setNativeId(plan.nativeId);
    record.setDictionary(pppDictionaryForEKEvent(event, &plan.identifierDictionary, 1));
    plan.identifierDictionary.remove(kInstancesKey);
    if (plan.isKnownSeriesException)
        record.setTheParentId(plan.seriesUid);
    records.append(record);
    if (plan.isNew)
        addRecordAddedToDevice(plan.ownUid);
    identifierGraph()->setDictionary(plan.identifierDictionary, plan.ownUid);
}

QVariantMap HMCalendarData::eventRecordFields(const QString &title, const QString &location, const QString &notes,
                                              const QString &calendarTitle, bool allDay, const QDateTime &start,
                                              const QDateTime &end)
{
    QVariantMap record;
    setHMValueAsString(record, HMData::formattedStringForSync(title), key(kHMSyncFieldSubject));
    setHMValueAsString(record, location, key(kHMSyncFieldLocation));
    setHMValueAsString(record, notes, key(kHMSyncFieldNote));
    thread_local QString lastZoneName;
    thread_local QString lastZoneData;
    record.insert(key(kHMSyncFieldNSArrayCategories), calendarCategories(calendarTitle));
    record.insert(key(kHMSyncFieldEventTimeZone),
                  sharedWithLast(QString::fromUtf8(QTimeZone::systemTimeZoneId()), lastZoneName));
    record.insert(key(kHMSyncFieldTypeNumber), allDay);
    record.insert(key(kHMSyncFieldNSDateStartDate), start);
    record.insert(key(kHMSyncFieldNSDateEndDate), end);
    record.insert(key(kHMSyncFieldTimeZoneData), sharedWithLast(timeZoneData(), lastZoneData));
    record.insert(key(kHMSyncFieldCompleted), QStringLiteral("0"));
    for (QLatin1StringView name :
         {kHMSyncFieldRecurringRepeat, kHMSyncFieldRecurringRepeatDayOption, kHMSyncFieldRecurringInterval,
          kHMSyncFieldRecurringDayMask, kHMSyncFieldRecurringDayOccurrence})
        record.insert(key(name), QString());
    return record;
}

void HMCalendarData::appendEmptyEventFields(QVariantMap &record)
{
    for (QLatin1StringView name : {kHMSyncFieldContacts, kHMSyncFieldPhones, kHMSyncFieldEmails,
                                   kHMSyncFieldCategoryColor, kHMSyncFieldColorIndex})
        record.insert(key(name), QString());
    record.insert(key(kHMSyncFieldPrivate), QStringLiteral("0"));
}

QVariantMap HMCalendarData::pppDictionaryForEKEvent(const platform::EKEvent &event, QVariantMap *identifierDictionary,
                                                    quint64)
{
    // An all-day event is listed at noon of its first and last days, so that no time zone moves it to
    // another day (midnight east of UTC is the day before in GMT).
    const QDateTime start =
        event.isAllDay() ? dateUtilities().dateWithNoonTimeForDate(event.startDate()) : event.startDate();
    const QDateTime end = event.isAllDay() ? dateUtilities().dateWithNoonTimeForDate(event.endDate().addDays(-1))
                                           : event.endDate();
    QVariantMap record =
        eventRecordFields(event.title(), event.location(), event.notes(),
                          event.calendar() ? event.calendar()->title() : QString(), event.isAllDay(), start, end);
    updateEKCalendarDictionary(record, event);
    QVariantMap unused;
    updatePppDictionary(record, identifierDictionary ? identifierDictionary : &unused, event);
    appendEmptyEventFields(record);
    if (event.hasRecurrenceRules())
        record.insert(key(kHMSyncFieldEKRecurrenceRule), QVariant::fromValue(event.recurrenceRules().first()));
    return record;
}

bool HMCalendarData::updatePppDictionary(QVariantMap &record, QVariantMap *identifierDictionary,
                                         const platform::EKEvent &event)
{
    if (!event.hasRecurrenceRules()) {
        DDLogInfo(QStringLiteral("-- No Recurrence Rules Found."));
        return false;
    }
    if (event.isDetached()) {
        DDLogInfo(QStringLiteral("-- Event is detached, ignoring recurring info and setting parent id to '%1'")
                      .arg(event.calendarItemIdentifier()));
        record.insert(key(kHMSyncFieldParentId), event.calendarItemIdentifier());
        return true;
    }
    const platform::EKRecurrenceRule rule = event.recurrenceRules().first();
    DDLogInfo(QStringLiteral("-- Reading Apple Recurrence Rule: %1").arg(rule.description()));
    writeRuleOfFrequency<platform::EKRecurrenceRule>(
        record, rule, int(rule.frequency()),
        {&HMCalendarData::updateDictionaryWithDailyRecurrenceInfoForEKRecurrence,
         &HMCalendarData::updateDictionaryWithWeeklyRecurrenceInfoForEKRecurrence,
         &HMCalendarData::updateDictionaryWithMonthlyRecurrenceInfoForEKRecurrence,
         &HMCalendarData::updateDictionaryWithYearlyRecurrenceInfoForEKRecurrence});
    writeRecurrenceEnd(record, identifierDictionary, event);
    return true;
}

void HMCalendarData::writeRecurrenceEnd(QVariantMap &record, QVariantMap *identifierDictionary,
                                        const platform::EKEvent &event)
{
    // As on the other road: a series ending on a date ends on the record on that date's day.
    const std::optional<platform::EKRecurrenceEnd> end = event.recurrenceRules().first().recurrenceEnd();
    std::optional<RecurrenceEndKeys> keys;
    if (end) {
        const QDateTime lastDay =
            end->endDate().isValid() ? dateUtilities().dateAtMidnightForDate(end->endDate()) : QDateTime();
        keys = RecurrenceEndKeys{lastDay, end->occurrenceCount(), true};
    }
    writeRecurrenceEndKeys(record, *identifierDictionary, event.startDate(), keys);
}

bool HMCalendarData::updateDictionaryWithDailyRecurrenceInfoForEKRecurrence(QVariantMap &record,
                                                                            const platform::EKRecurrenceRule &rule)
{
    writeRepeatAndInterval(record, u"1", rule.interval());
    return true;
}

bool HMCalendarData::updateDictionaryWithWeeklyRecurrenceInfoForEKRecurrence(QVariantMap &record,
                                                                             const platform::EKRecurrenceRule &rule)
{
    writeRepeatAndInterval(record, u"2", rule.interval());
    QList<int> days;
    for (const platform::EKRecurrenceDayOfWeek &day : rule.daysOfTheWeek())
        days.append(day.dayOfTheWeek());
    writeWeekdayMask(record, days);
    return true;
}

bool HMCalendarData::updateDictionaryWithMonthlyRecurrenceInfoForEKRecurrence(QVariantMap &record,
                                                                              const platform::EKRecurrenceRule &rule)
{
    writeRepeatAndInterval(record, u"3", rule.interval());
    if (!rule.daysOfTheMonth().isEmpty()) {
        record.insert(key(kHMSyncFieldRecurringDayOfMonth), QString::number(rule.daysOfTheMonth().first()));
        record.insert(key(kHMSyncFieldRecurringRepeatDayOption), QStringLiteral("0"));
    } else if (!rule.daysOfTheWeek().isEmpty()) {
        const platform::EKRecurrenceDayOfWeek day = rule.daysOfTheWeek().first();
        writeNthWeekDay(record, day.dayOfTheWeek(), day.weekNumber());
    }
    return true;
}

bool HMCalendarData::updateDictionaryWithYearlyRecurrenceInfoForEKRecurrence(QVariantMap &record,
                                                                             const platform::EKRecurrenceRule &rule)
{
    writeRepeatAndInterval(record, u"4", rule.interval());
    if (!rule.daysOfTheWeek().isEmpty()) {
        const platform::EKRecurrenceDayOfWeek day = rule.daysOfTheWeek().first();
        writeNthWeekDay(record, day.dayOfTheWeek(), day.weekNumber());
        if (!rule.monthsOfTheYear().isEmpty())
            record.insert(key(kHMSyncFieldRecurringMonth), QString::number(rule.monthsOfTheYear().first()));
        return true;
    }
    const int day = !rule.daysOfTheMonth().isEmpty()
                        ? rule.daysOfTheMonth().first()
                        : dateUtilities().componentsOf(platform::CalendarUnit::Day,
                                                       record.value(key(kHMSyncFieldNSDateStartDate)).toDateTime());
    if (day > 0)
        record.insert(key(kHMSyncFieldRecurringDayOfMonth), QString::number(day));
    record.insert(key(kHMSyncFieldRecurringRepeatDayOption), QStringLiteral("0"));
    return true;
}

std::shared_ptr<platform::EKEvent>
HMCalendarData::firstAppleInstanceOfEventKitRecurringEventForNativeId(const QString &seriesId,
                                                                      RegularStarts *instances)
{
    DDLogVerbose(QStringLiteral("++ Looking up initial recurring event record for id: '%1'").arg(seriesId));
    const QList<std::shared_ptr<platform::EKEvent>> matches = eventsOfSeries(seriesId);
    std::shared_ptr<platform::EKEvent> first;
    QList<QDateTime> starts;
    for (const auto &event : std::as_const(matches)) {
        if (event->isDetached())
            continue;
        starts.append(event->startDate());
        if (!first) {
            first = event;
            DDLogInfo(QStringLiteral("++ Loaded recurring event instance of %1 in apple to modify").arg(seriesId));
        }
    }
    if (!first) {
        DDLogWarn(QStringLiteral("++ No non-detached event instance found, checking if this is the only instance"));
        if (matches.size() == 1 && matches.first()->isDetached())
            first = matches.first();
    }
    if (instances && m_holdsFirstOccurrencesOnly && first && !first->isDetached())
        *instances = RegularStarts{{}, true};
    else if (instances && !starts.isEmpty())
        *instances = RegularStarts{starts, false};
    return first;
}
