// The EventKit road of applying a device record: find the event the record stands for (or its
// duplicate), settle a conflict, write fields, recurrence and alarms, save, and remove the
// occurrences the record lists as exceptions.
#include "datasources/calendar/HMCalendarData.h"
#include "datasources/calendar/HMChecksumArchive.h"

#include "datasources/calendar/HMTaskEventKitHelper.h"
#include "foundation/GlobalVariables.h"
#include "foundation/HMSyncProgressReporting.h"
#include "foundation/Lumberjack/DDLog.h"
#include "foundation/NSDictionary+HMExtras.h"
#include "platform/eventkit/EKEventStore.h"
#include "sync/HMIdentifierGraph.h"
#include "datasources/calendar/HMCalendarDataKeys.h"
#include "datasources/calendar/HMRecurrenceRecordKeys.h"
#include "sync/HMSyncFields.h"

#include <QHash>
#include <QTimeZone>

#include <utility>

using namespace hmcalendar;
using namespace hmrecurrence;

namespace {

// The fields of a record that tell its recurrence.
const QLatin1StringView kRecurrenceFields[] = {
    kHMSyncFieldRecurringRepeat,         kHMSyncFieldRecurringInterval,   kHMSyncFieldRecurringDayMask,
    kHMSyncFieldRecurringRepeatDayOption, kHMSyncFieldRecurringDayOfMonth, kHMSyncFieldRecurringDayOccurrence,
    kHMSyncFieldRecurringMonth,          kHMSyncFieldRecurringOccurs,     kHMSyncFieldRecurringNSDateRepeatEnd};

// The fields of a record that tell its alarm.
const QLatin1StringView kAlarmFields[] = {kHMSyncFieldNSNumberAlarmTime, kHMSyncFieldNSDateAlarmDate};

// Whether the two records say the same in the fields: the series' end by its local day (the device
// carries its day only), other dates as moments, the rest as texts (a missing field says what an
// empty one does).
template <std::size_t Count>
bool hasSameFields(const QVariantMap &record, const QVariantMap &other, const QLatin1StringView (&names)[Count])
{
    for (const QLatin1StringView name : names) {
        const QVariant left = record.value(key(name));
        const QVariant right = other.value(key(name));
        const bool areDates = left.typeId() == QMetaType::QDateTime && right.typeId() == QMetaType::QDateTime;
        const QTimeZone local = QTimeZone::systemTimeZone();
        const bool isDay = name == kHMSyncFieldRecurringNSDateRepeatEnd;
        const bool isSame = !areDates ? left.toString() == right.toString()
                            : isDay   ? left.toDateTime().toTimeZone(local).date() ==
                                          right.toDateTime().toTimeZone(local).date()
                                      : left.toDateTime() == right.toDateTime();
        if (!isSame)
            return false;
    }
    return true;
}

QDateTime dateOf(const QVariantMap &record, QLatin1StringView name)
{
    return record.value(key(name)).toDateTime();
}

} // namespace

bool HMCalendarData::validateDictionary(const QVariantMap &record) const
{
    return dateOf(record, kHMSyncFieldNSDateStartDate).isValid() && dateOf(record, kHMSyncFieldNSDateEndDate).isValid();
}

// Reasons to leave a record alone before its event is looked for: a result code, or nothing.
std::optional<qint64> HMCalendarData::refusalBeforeLookup(const QVariantMap &record, bool recurring)
{
    if (!validateDictionary(record))
        return 1;
    DDLogVerbose(GlobalVariables::getunwritableCalendar() ? QStringLiteral("getunwritableCalendar == YES")
                                                          : QStringLiteral("getunwritableCalendar == NO"));
    if (GlobalVariables::getunwritableCalendar())
        return 0;
    setCounter(counter() + 1);
    if (const auto progress = GlobalVariables::getCurrentSyncProgressController())
        progress->setUserMessageDirectly(QStringLiteral("Reading Quillpad Events %1").arg(counter()));
    DDLogInfo(QStringLiteral("Updating Mac Event: %1 (%2 - %3) %4")
                  .arg(HMData::stringForKey(key(kHMSyncFieldSubject), record),
                       dateUtilities().localDateTimeStringFromDate(dateOf(record, kHMSyncFieldNSDateStartDate)),
                       dateUtilities().localDateTimeStringFromDate(dateOf(record, kHMSyncFieldNSDateEndDate)),
                       recurring ? QStringLiteral("(RECURRING)") : QStringLiteral("(NOT RECURRING)")));
    if (isBeforeTheSyncRange(record, recurring))
        return 1;
    if (HMData::stringForKey(key(kHMSyncFieldUid), record).isEmpty()) {
        DDLogError(QStringLiteral("ERROR: Unique ID field not found. Aborting AddUpdateContact"));
        return 0;
    }
    return std::nullopt;
}

qint64 HMCalendarData::EKCommandAction(qint32, quint64, quint64 conflictSetting, const QVariantMap &record,
                                       qint64 timeDifference)
{
    const bool recurring = integerOf(record, kHMSyncFieldRecurringRepeat) != 0;
    const std::shared_ptr<platform::EKEventStore> store = ensureEventStore();
    // What the record is compared with and what it is saved over are the folders as one look found
    // them: not read again by each step.
    const platform::EKEventStore::OneLook look(*store);
    // A series read for an earlier record may have been written since.
    forgetSeriesOfRecord();
    if (const std::optional<qint64> refusal = refusalBeforeLookup(record, recurring))
        return *refusal;
    const QDateTime deviceTime = compensatedDeviceTime(record, timeDifference);
    const std::optional<RecordIdentity> identity = identityOfRecord(record);
    if (!identity)
        return 0;
    const std::shared_ptr<HMIdentifierGraph> graph = identifierGraph();
    auto [event, occurrenceToRemove] = findEventAndReplacedOccurrence(identity->nativeId, record, recurring);
    // Only a record that names no event of ours is matched by title and times: a record already
    // mapped is written to its own event, never to another one that happens to look the same.
    const bool isMapped = event != nullptr;
    bool keepEvent = true;
    if (event && !deviceWinsConflict(event->lastModifiedDate(), conflictSetting, deviceTime, keepEvent))
        return 1;
    if (!keepEvent)
        event.reset();
    if (const auto duplicates = isMapped ? QList<std::shared_ptr<platform::EKEvent>>() : isDuplicate(record);
        !duplicates.isEmpty())
        event = duplicates.first();
    qint64 result = 2;
    const std::optional<QVariantMap> sent = event ? recordSentOfEvent(*event, recurring) : std::nullopt;
    if (!event) {
        DDLogInfo(QStringLiteral("Creating new native record"));
        event = platform::EKEvent::eventWithEventStore(store);
        result = 3;
    }
    writeRecordToEvent(*event, record, recurring, sent);
    result = saveAppliedEvent(event, record, recurring, occurrenceToRemove, result, sent);
    if (result >= 2 && graph)
        rememberAppliedEvent(*graph, identity->identifier, identity->uid, *event, recurring);
    DDLogInfo(QStringLiteral("actionResult: %1").arg(result));
    return result;
}

// The event the record stands for, and the occurrence it replaces. A moved occurrence the device
// changed is changed where it stands, under its UID and RECURRENCE-ID: not written anew as an event of
// its own.
std::pair<std::shared_ptr<platform::EKEvent>, std::shared_ptr<platform::EKEvent>>
HMCalendarData::findEventAndReplacedOccurrence(const QString &nativeId, const QVariantMap &record, bool recurring)
{
    std::shared_ptr<platform::EKEvent> event = findNativeEvent(nativeId, recurring);
    std::shared_ptr<platform::EKEvent> occurrence =
        findOccurrenceToRemove(nativeId, HMData::stringForKey(key(kHMSyncFieldParentId), record));
    if (!event && occurrence && occurrence->isDetached() && !recurring)
        event = std::exchange(occurrence, nullptr);
    return {event, occurrence};
}

// The checksum and change date of the event as the store gives back what was just written (an all-day
// event's dates read as local days): for a single event, what a listing reads of the text the store
// keeps to list it, with no event made; else the event made again. Not looked up again on disk: a
// change another program made since is not ours to checksum, or the next listing would take it for
// the device's own and never send it.
std::pair<QString, QDateTime> HMCalendarData::writtenChecksumAndDate(const platform::EKEvent &event, bool recurring)
{
    const QString nativeId = event.calendarItemIdentifier();
    if (event.isDetached())
        return {recurring ? seriesChecksum(nativeId) : checksumOfEvent(event), QDateTime()};
    const std::shared_ptr<platform::EKEventStore> store = ensureEventStore();
    std::pair<QString, QDateTime> fromLook;
    const auto takeLook = [&fromLook](const platform::icallisted::ListedLook &look) {
        fromLook = {checksumText(eventChecksumCrc(look.start, look.end, look.title, look.notes)), look.lastModified};
    };
    if (!recurring && store->visitKnownEventLook(nativeId, takeLook))
        return fromLook;
    const std::shared_ptr<platform::EKEvent> stored = store->knownEventWithIdentifier(nativeId);
    return {recurring ? seriesChecksum(nativeId) : checksumOfEvent(stored ? *stored : event),
            stored ? stored->lastModifiedDate() : QDateTime()};
}

// Keeps the event's identifier dictionary with the checksum of what was just written, so the next
// listing sees the device's own record as unchanged and does not send it back.
void HMCalendarData::rememberAppliedEvent(HMIdentifierGraph &graph, const std::optional<QVariantMap> &identifier,
                                          const QString &uid, const platform::EKEvent &event, bool recurring)
{
    const QString nativeId = event.calendarItemIdentifier();
    m_seriesChecksums.remove(nativeId);
    const auto [checksum, written] = writtenChecksumAndDate(event, recurring);
    m_seriesChecksums.remove(nativeId);
    QVariantMap updated = identifier.value_or(QVariantMap{{kHmUidKey, uid}, {kNativeIdKey, nativeId}});
    updated.insert(kCrcKey, checksum);
    if (event.isDetached())
        updated.insert(kNativeIdKey, detachedNativeId(event));
    updated.insert(kWrittenModificationDateKey, written);
    if (identifier) {
        graph.setDictionary(updated, uid);
        return;
    }
    DDLogInfo(QStringLiteral("hmUid did not have a identifier record (means no native id was found)."));
    graph.appendDictionary(updated);
}

// Saves the written event, removes the occurrences the record lists and the one it replaces. A new
// event that never reached the store answers 1: it gets no identifier dictionary, or the next listing
// would read the missing event as deleted and delete the device's record.
qint64 HMCalendarData::saveAppliedEvent(const std::shared_ptr<platform::EKEvent> &event, const QVariantMap &record,
                                        bool recurring, const std::shared_ptr<platform::EKEvent> &occurrenceToRemove,
                                        qint64 result, const std::optional<QVariantMap> &sent)
{
    DDLogVerbose(QStringLiteral("Attempting To Save Event."));
    const std::shared_ptr<platform::EKEventStore> store = ensureEventStore();
    forgetSeriesOfRecord();
    // Durable with the page (syncAppliedChangesToDisk), before the graph names the event.
    const platform::Status saved =
        store->saveEvent(event, recurring ? platform::EKSpan::FutureEvents : platform::EKSpan::ThisEvent, false);
    removeExceptionOccurrences(*event, record, sent);
    if (occurrenceToRemove)
        (void)store->removeEvent(occurrenceToRemove, platform::EKSpan::ThisEvent, false);
    if (saved)
        return result;
    DDLogError(QStringLiteral("ERROR: Error saving event %1 (%2 - %3) to calendar.")
                   .arg(event->title(), dateUtilities().localDateTimeStringFromDate(event->startDate()),
                        dateUtilities().localDateTimeStringFromDate(event->endDate())));
    DDLogError(QStringLiteral("ERROR INFORMATION: %1").arg(saved.error().message()));
    return result == 3 ? 1 : result;
}

bool HMCalendarData::isBeforeTheSyncRange(const QVariantMap &record, bool recurring)
{
    const QDateTime rangeStart = dateRangeStartingDate();
    const QDateTime repeatEnd = dateOf(record, kHMSyncFieldRecurringNSDateRepeatEnd);
    if (recurring && repeatEnd.isValid() && repeatEnd < rangeStart) {
        DDLogVerbose(
            QStringLiteral("Ignoring recurring event: %1").arg(HMData::stringForKey(key(kHMSyncFieldSubject), record)));
        return true;
    }
    if (!recurring && dateOf(record, kHMSyncFieldNSDateEndDate) < rangeStart) {
        DDLogInfo(QStringLiteral("Ignoring event: %1").arg(HMData::stringForKey(key(kHMSyncFieldSubject), record)));
        return true;
    }
    return false;
}

std::shared_ptr<platform::EKEvent> HMCalendarData::findNativeEvent(const QString &nativeId, bool recurring)
{
    if (nativeId.isEmpty())
        return nullptr;
    DDLogInfo(QStringLiteral("Loading native record '%1'").arg(nativeId));
    if (!recurring)
        return ensureEventStore()->eventWithIdentifier(nativeId);
    readSeriesOfRecord(nativeId);
    for (const auto &candidate : ekEventsArray()) {
        if (candidate->calendarItemIdentifier() != nativeId)
            continue;
        DDLogInfo(QStringLiteral("Loaded recurring event instance of %1 in apple to modify").arg(nativeId));
        return ensureEventStore()->eventWithIdentifier(candidate->calendarItemIdentifier());
    }
    DDLogWarn(QStringLiteral("Recurring event not found in apple."));
    return nullptr;
}

// The occurrence a device-changed occurrence replaces. Its native id holds the occurrence's start
// as a GMT date ("<series>+yyyyMMdd+HH:mm:ss"), so the start is compared in GMT as well: in the
// Mac's own zone an occurrence near midnight would fall on another day and be missed.
std::shared_ptr<platform::EKEvent> HMCalendarData::findOccurrenceToRemove(const QString &nativeId,
                                                                          const QString &parentId)
{
    if (nativeId.isEmpty() || (parentId.isEmpty() && !nativeId.contains(QLatin1Char('+'))))
        return nullptr;
    const QString seriesPart = nativeId.section(QLatin1Char('+'), 0, 0);
    const QString datePart = nativeId.section(QLatin1Char('+'), 1, 1);
    readEventKitEvents(seriesPart);
    // A moved occurrence of that day is what the record stands for, before an occurrence of the rule
    // that happens to start then: that one stays.
    std::shared_ptr<platform::EKEvent> found;
    for (const auto &candidate : ekEventsArray()) {
        if (candidate->eventIdentifier() != seriesPart ||
            dateUtilities().dateGmtStringFromDateFormattedForSync(candidate->startDate()) != datePart)
            continue;
        if (candidate->isDetached())
            return candidate;
        found = candidate;
    }
    return found;
}

QList<std::shared_ptr<platform::EKEvent>> HMCalendarData::isDuplicate(const QVariantMap &record)
{
    const QString title = HMData::stringForKey(key(kHMSyncFieldSubject), record);
    const QDateTime start = dateOf(record, kHMSyncFieldNSDateStartDate);
    const QDateTime end = dateOf(record, kHMSyncFieldNSDateEndDate);
    // A match starts where the record starts and has its title: only the events overlapping that
    // moment in files holding that title are read.
    readEventKitEvents(QString(), RecordSpan{start, end}, title);
    for (const auto &candidate : ekEventsArray()) {
        if (candidate->title() != title || candidate->startDate() != start || candidate->endDate() != end)
            continue;
        // A moved occurrence is its own match: its identifier names its series, which may not be here.
        if (candidate->isDetached())
            return {candidate};
        if (auto found = ensureEventStore()->eventWithIdentifier(candidate->calendarItemIdentifier()))
            return {found};
    }
    return {};
}

std::optional<QVariantMap> HMCalendarData::recordSentOfEvent(const platform::EKEvent &event, bool recurring)
{
    const QString nativeId = event.calendarItemIdentifier();
    if (nativeId.isEmpty())
        return std::nullopt;
    // The series as the listing reads it, so the record is the one the listing sent: read once with
    // the event's lookup when it is the same series.
    if (recurring)
        readSeriesOfRecord(nativeId);
    RegularStarts regularStarts;
    const std::shared_ptr<platform::EKEvent> first =
        recurring ? firstAppleInstanceOfEventKitRecurringEventForNativeId(nativeId, &regularStarts) : nullptr;
    if (recurring && !first)
        return std::nullopt;
    QVariantMap identifierDictionary;
    QVariantMap sent = pppDictionaryForEKEvent(first ? *first : event, &identifierDictionary, 1);
    if (recurring) {
        sent.insert(key(kHMSyncFieldRecurringNSArrayExceptions),
                    exceptionsOfSeries(nativeId, identifierDictionary.value(kInstancesKey).toList(), regularStarts));
    }
    return sent;
}

void HMCalendarData::writeRecordToEvent(platform::EKEvent &event, const QVariantMap &record, bool recurring,
                                        const std::optional<QVariantMap> &sent)
{
    event.setTitle(HMData::stringForKey(key(kHMSyncFieldSubject), record));
    event.setLocation(HMData::stringForKey(key(kHMSyncFieldLocation), record));
    event.setNotes(HMData::stringForKey(key(kHMSyncFieldNote), record));
    writeRecordDatesToEvent(event, record, sent);
    event.setCalendar(eventCalendarToWriteTo());
    // Alarms the device left as they were stay as the item has them (those the device cannot carry too).
    if (!(sent && hasSameFields(record, *sent, kAlarmFields)))
        updateEKCalendarItem(event, record);
    if (recurring && !(sent && hasSameFields(record, *sent, kRecurrenceFields)))
        updateRecurrenceOfEKEvent(event, record);
}

// The device's dates as a change of what it was sent: dates it left alone are not written (a series
// keeps its own first start, a floating or a zoned time its form), and moved ones move the event (a
// series: from its own start) by as much as the device moved them.
void HMCalendarData::writeRecordDatesToEvent(platform::EKEvent &event, const QVariantMap &record,
                                             const std::optional<QVariantMap> &sent)
{
    const bool allDay = boolForKey(record, key(kHMSyncFieldTypeNumber));
    const QDateTime start = dateOf(record, kHMSyncFieldNSDateStartDate);
    const QDateTime end = dateOf(record, kHMSyncFieldNSDateEndDate);
    const bool isSameKind = sent && allDay == boolForKey(*sent, key(kHMSyncFieldTypeNumber)) &&
                            event.startDate().isValid() && event.endDate().isValid();
    if (isSameKind && allDay) {
        moveAllDayEvent(event, record, *sent);
        return;
    }
    if (isSameKind) {
        const QDateTime sentStart = dateOf(*sent, kHMSyncFieldNSDateStartDate);
        const QDateTime sentEnd = dateOf(*sent, kHMSyncFieldNSDateEndDate);
        event.setStartDate(event.startDate().addSecs(sentStart.secsTo(start)));
        event.setEndDate(event.endDate().addSecs(sentEnd.secsTo(end)));
        return;
    }
    event.setAllDay(allDay);
    DDLogInfo(QStringLiteral("All day status after setAllDay %1").arg(int(event.isAllDay())));
    event.setStartDate(start);
    event.setEndDate(end);
}

// The device's all-day record runs from noon GMT of its first day to noon GMT of the day after its
// last; the one it was sent from noon of the event's first local day to noon of its last.
void HMCalendarData::moveAllDayEvent(platform::EKEvent &event, const QVariantMap &record, const QVariantMap &sent)
{
    const QTimeZone local = QTimeZone::systemTimeZone();
    const QDate firstDay = dateOf(record, kHMSyncFieldNSDateStartDate).toUTC().date();
    const qint64 days = firstDay.daysTo(dateOf(record, kHMSyncFieldNSDateEndDate).toUTC().date());
    const QDate sentFirstDay = dateOf(sent, kHMSyncFieldNSDateStartDate).toTimeZone(local).date();
    const qint64 sentDays = sentFirstDay.daysTo(dateOf(sent, kHMSyncFieldNSDateEndDate).toTimeZone(local).date()) + 1;
    if (firstDay == sentFirstDay && days == sentDays)
        return;
    const QDateTime start = event.startDate().addDays(sentFirstDay.daysTo(firstDay));
    event.setStartDate(start);
    event.setEndDate(start.addDays(std::max<qint64>(days, 1)));
}

std::shared_ptr<platform::EKCalendar> HMCalendarData::eventCalendarToWriteTo()
{
    const std::shared_ptr<platform::EKEventStore> store = ensureEventStore();
    const QString identifier = categoryIdentifierToWriteTo();
    if (!m_eventCalendarToWriteTo || m_storeOfEventCalendar.lock() != store ||
        m_eventCalendarToWriteTo->calendarIdentifier() != identifier) {
        m_eventCalendarToWriteTo = store->calendarWithIdentifier(identifier);
        m_storeOfEventCalendar = store;
    }
    return m_eventCalendarToWriteTo;
}

// Only the exceptions the device added since it was sent the series remove occurrences: one it was
// sent stands for a day the series has no occurrence on as the file says it, never for a deletion.
void HMCalendarData::removeExceptionOccurrences(const platform::EKEvent &saved, const QVariantMap &record,
                                                const std::optional<QVariantMap> &sent)
{
    QVariantList exceptions = record.value(key(kHMSyncFieldRecurringNSArrayExceptions)).toList();
    const QTimeZone local = QTimeZone::systemTimeZone();
    QSet<QDate> sentDays;
    for (const QVariant &exception : sent ? sent->value(key(kHMSyncFieldRecurringNSArrayExceptions)).toList()
                                          : QVariantList())
        sentDays.insert(exception.toDateTime().toTimeZone(local).date());
    exceptions.removeIf([&](const QVariant &exception) {
        return sentDays.contains(exception.toDateTime().toTimeZone(local).date());
    });
    DDLogInfo(QStringLiteral("Has exceptions: %1").arg(int(!exceptions.isEmpty())));
    if (exceptions.isEmpty())
        return;
    readEventKitEvents(saved.calendarItemIdentifier());
    // The series' regular occurrences by their local day, each day worked out once: a series with
    // many exceptions is not walked once per exception.
    QHash<QDate, QList<std::shared_ptr<platform::EKEvent>>> occurrencesByDay;
    for (const auto &candidate : ekEventsArray()) {
        // A moved occurrence is the device's own record; only regular ones are removed here.
        if (candidate->calendarItemIdentifier() == saved.calendarItemIdentifier() && !candidate->isDetached())
            occurrencesByDay[candidate->startDate().toTimeZone(local).date()].append(candidate);
    }
    QList<std::shared_ptr<platform::EKEvent>> doomed;
    for (const QVariant &exception : exceptions)
        doomed.append(occurrencesByDay.value(exception.toDateTime().toTimeZone(local).date()));
    // One write of the series' file for all of them, not one per occurrence.
    (void)ensureEventStore()->removeOccurrences(doomed, false);
}

bool HMCalendarData::updateRecurrenceOfEKEvent(platform::EKEvent &event, const QVariantMap &record)
{
    DDLogInfo(QStringLiteral("Updating Recurring info..."));
    const qint64 repeat = integerOf(record, kHMSyncFieldRecurringRepeat);
    if (repeat == 0)
        return false;
    const std::optional<platform::EKRecurrenceRule> rule =
        ruleOfRecord<platform::EKRecurrenceRule, platform::EKRecurrenceEnd>(
            record, repeat,
            {&HMCalendarData::dailyEventKitRecurrenceRuleFromDictionary,
             &HMCalendarData::weeklyEventKitRecurrenceRuleFromDictionary,
             &HMCalendarData::monthlyEventKitRecurrenceRuleFromDictionary,
             &HMCalendarData::yearlyEventKitRecurrenceRuleFromDictionary});
    event.setRecurrenceRules(rule ? QList<platform::EKRecurrenceRule>{*rule} : QList<platform::EKRecurrenceRule>{});
    return true;
}

std::optional<platform::EKRecurrenceRule>
HMCalendarData::dailyEventKitRecurrenceRuleFromDictionary(const QVariantMap &record,
                                                          const std::optional<platform::EKRecurrenceEnd> &end)
{
    return platform::EKRecurrenceRule(platform::EKRecurrenceFrequency::Daily,
                                      int(integerOf(record, kHMSyncFieldRecurringInterval)), {}, {}, {}, {}, {}, {},
                                      end);
}

std::optional<platform::EKRecurrenceRule>
HMCalendarData::weeklyEventKitRecurrenceRuleFromDictionary(const QVariantMap &record,
                                                           const std::optional<platform::EKRecurrenceEnd> &end)
{
    QList<platform::EKRecurrenceDayOfWeek> days;
    for (const int day : appleDaysFromHmDayMask(integerOf(record, kHMSyncFieldRecurringDayMask))) {
        if (day <= 7)
            days.append(platform::EKRecurrenceDayOfWeek::dayOfWeek(day));
    }
    return platform::EKRecurrenceRule(platform::EKRecurrenceFrequency::Weekly,
                                      int(integerOf(record, kHMSyncFieldRecurringInterval)), days, {}, {}, {}, {}, {},
                                      end);
}

std::optional<platform::EKRecurrenceRule>
HMCalendarData::monthlyEventKitRecurrenceRuleFromDictionary(const QVariantMap &record,
                                                            const std::optional<platform::EKRecurrenceEnd> &end)
{
    const int interval = int(integerOf(record, kHMSyncFieldRecurringInterval));
    const qint64 option = integerOf(record, kHMSyncFieldRecurringRepeatDayOption);
    if (option == 1) {
        const RecordNthWeekDay nth = nthWeekDayOf(record);
        const auto day = platform::EKRecurrenceDayOfWeek::dayOfWeek(nth.appleDay, nth.weekNumber);
        return platform::EKRecurrenceRule(platform::EKRecurrenceFrequency::Monthly, interval, {day}, {}, {}, {}, {}, {},
                                          end);
    }
    if (option != 0)
        return std::nullopt;
    const qint64 dayOfMonth = integerOf(record, kHMSyncFieldRecurringDayOfMonth);
    return platform::EKRecurrenceRule(platform::EKRecurrenceFrequency::Monthly, interval, {},
                                      dayOfMonth > 0 ? QList<int>{int(dayOfMonth)} : QList<int>{}, {}, {}, {}, {}, end);
}

std::optional<platform::EKRecurrenceRule>
HMCalendarData::yearlyEventKitRecurrenceRuleFromDictionary(const QVariantMap &record,
                                                           const std::optional<platform::EKRecurrenceEnd> &end)
{
    const int interval = int(integerOf(record, kHMSyncFieldRecurringInterval));
    const QList<int> months = monthsOf(record);
    if (integerOf(record, kHMSyncFieldRecurringRepeatDayOption) == 1) {
        const RecordNthWeekDay nth = nthWeekDayOf(record);
        const auto day = platform::EKRecurrenceDayOfWeek::dayOfWeek(nth.appleDay, nth.weekNumber);
        return platform::EKRecurrenceRule(platform::EKRecurrenceFrequency::Yearly, interval, {day}, {}, months, {}, {},
                                          {}, end);
    }
    return platform::EKRecurrenceRule(platform::EKRecurrenceFrequency::Yearly, interval, {}, {}, months, {}, {}, {},
                                      end);
}
