// The CalendarStore road of applying a device record: find the event the record stands for, settle a
// conflict, write fields, alarm and recurrence, and save with the span the record asks for.
#include "datasources/calendar/HMCalendarData.h"

#include "datasources/calendar/HMCalendarStoreChecksum.h"

#include "foundation/GlobalVariables.h"
#include "foundation/HMSyncProgressReporting.h"
#include "foundation/Lumberjack/DDLog.h"
#include "foundation/NSDictionary+HMExtras.h"
#include "platform/eventkit/CalCalendar.h"
#include "platform/eventkit/CalCalendarStore.h"
#include "sync/HMIdentifierGraph.h"
#include "datasources/calendar/HMCalendarDataKeys.h"
#include "sync/HMSyncFields.h"

using namespace hmcalendar;

namespace {

QDateTime dateOf(const QVariantMap &record, QLatin1StringView name)
{
    return record.value(key(name)).toDateTime();
}

} // namespace

qint64 HMCalendarData::calendarStoreCommandAction(qint32, quint64, quint64 conflictSetting, const QVariantMap &record,
                                                  qint64 timeDifference)
{
    if (GlobalVariables::getunwritableCalendar())
        return 0;
    DDLogVerbose(QStringLiteral("getunwritableCalendar == NO"));
    setCounter(counter() + 1);
    if (const auto progress = GlobalVariables::getCurrentSyncProgressController())
        progress->setUserMessageDirectly(QStringLiteral("Reading Quillpad Events %1").arg(counter()));
    const QDateTime deviceTime = compensatedDeviceTime(record, timeDifference);
    const bool recurring = ::stringForKey(record, key(kHMSyncFieldRecurringRepeat)).toLongLong() != 0;
    DDLogInfo(QStringLiteral("Updating Mac Event: %1 (%2 - %3) %4")
                  .arg(HMData::stringForKey(key(kHMSyncFieldSubject), record),
                       dateUtilities().localDateTimeStringFromDate(dateOf(record, kHMSyncFieldNSDateStartDate)),
                       dateUtilities().localDateTimeStringFromDate(dateOf(record, kHMSyncFieldNSDateEndDate)),
                       recurring ? QStringLiteral("(RECURRING)") : QStringLiteral("(NOT RECURRING)")));
    if (!HMData::stringForKey(key(kHMSyncFieldParentId), record).isEmpty()) {
        DDLogError(QStringLiteral("ERROR: Editing Exceptions Not Supported by the Beta Version"));
        return 0;
    }
    const std::optional<RecordIdentity> identity = identityOfRecord(record);
    if (!identity)
        return 0;
    qint64 result = 2;
    const std::shared_ptr<platform::CalEvent> event =
        calendarStoreEventToWrite(identity->nativeId, record, recurring, conflictSetting, deviceTime, result);
    if (!event)
        return result;
    writeRecordToCalendarStoreEvent(*event, record, recurring);
    if (!saveCalendarStoreEvent(event, record, recurring))
        return result == 3 ? 1 : result;
    if (recurring)
        removeCalendarStoreExceptionOccurrences(event->uid(), record);
    storeCalendarStoreChecksum(identity->uid, event->uid(), recurring, !identity->identifier);
    return result;
}

// Gives an event new to the graph its identifier dictionary, then stores in the dictionary the checksum
// of the record the next listing will build of the event just written: as long as it holds, the event
// goes back to the device only when something else changed it.
void HMCalendarData::storeCalendarStoreChecksum(const QString &hmUid, const QString &seriesOrEventUid, bool recurring,
                                                bool isNewToGraph)
{
    const std::shared_ptr<HMIdentifierGraph> graph = identifierGraph();
    if (!graph)
        return;
    if (isNewToGraph) {
        DDLogInfo(QStringLiteral("hmUid did not have a identifier record (means no native id was found)."));
        graph->appendDictionary(QVariantMap{{kHmUidKey, hmUid}, {kNativeIdKey, seriesOrEventUid}});
    }
    std::optional<QVariantMap> dictionary = graph->dictionaryForHarrowmereUid(hmUid);
    // A duplicate made under the conflict rule leaves the dictionary naming the earlier event.
    if (!dictionary || dictionary->value(kNativeIdKey).toString() != seriesOrEventUid)
        return;
    std::optional<QVariantMap> record;
    if (recurring) {
        record = calendarStoreSeriesRecord(seriesOrEventUid, *dictionary);
    } else if (const auto saved = calendarStore()->eventWithUID(seriesOrEventUid, QDateTime())) {
        record = pppDictionaryForEvent(*saved, nullptr, 1);
    }
    if (!record)
        return;
    dictionary->insert(kCrcKey, calendarStoreChecksumOfRecord(*record));
    graph->setDictionary(*dictionary, hmUid);
}

// The event the record is written to: the known one (result 2) or a new one in the calendar to write
// to (result 3); null with result 1 when the Mac keeps its event.
std::shared_ptr<platform::CalEvent>
HMCalendarData::calendarStoreEventToWrite(const QString &nativeId, const QVariantMap &record, bool recurring,
                                          quint64 conflictSetting, const QDateTime &deviceTime, qint64 &result)
{
    // Opening the store resolves the calendar to write to.
    const std::shared_ptr<platform::CalCalendarStore> store = calendarStore();
    std::shared_ptr<platform::CalEvent> event = findCalendarStoreEvent(nativeId, record, recurring);
    bool keepEvent = true;
    if (event && !deviceWinsConflict(event->dateStamp(), conflictSetting, deviceTime, keepEvent)) {
        result = 1;
        return nullptr;
    }
    if (event && keepEvent)
        return event;
    if (!event) {
        if (const std::shared_ptr<platform::CalEvent> written = unclaimedCalendarStoreTwin(record)) {
            DDLogInfo(QStringLiteral("Found the event an interrupted run wrote for this record"));
            return store->eventWithUID(written->uid(), QDateTime());
        }
    }
    DDLogInfo(QStringLiteral("Creating new native record"));
    event = platform::CalEvent::event();
    event->setCalendar(calendarToWriteTo());
    result = 3;
    return event;
}

// A series is looked for from three months before the record's start to three months after its end.
// Its fields are then written to the series itself rather than to the occurrence found: the found
// occurrence need not be the first (the first may have been removed), and moving the series by that
// occurrence's shift would move it by the gap between the two.
std::shared_ptr<platform::CalEvent> HMCalendarData::findCalendarStoreEvent(const QString &nativeId,
                                                                           const QVariantMap &record, bool recurring)
{
    if (nativeId.isEmpty())
        return nullptr;
    DDLogInfo(QStringLiteral("Loading native record '%1'").arg(nativeId));
    const std::shared_ptr<platform::CalCalendarStore> store = calendarStore();
    if (!recurring)
        return store->eventWithUID(nativeId, QDateTime());
    const QDateTime from = dateUtilities().dateMonths(-3, dateOf(record, kHMSyncFieldNSDateStartDate));
    const QDateTime to = dateUtilities().dateMonths(3, dateOf(record, kHMSyncFieldNSDateEndDate));
    const QList<std::shared_ptr<platform::CalEvent>> events = store->eventsWithPredicate(
        platform::CalCalendarStore::eventPredicateWithStartDate(from, to, nativeId, calendarsToRead()));
    DDLogInfo(QStringLiteral("%1 recurring instances found.").arg(events.size()));
    if (events.isEmpty()) {
        DDLogWarn(QStringLiteral("Recurring event not found in apple."));
        return nullptr;
    }
    DDLogInfo(QStringLiteral("Assuming first event is the earliest, and best use"));
    DDLogInfo(QStringLiteral("Loaded recurring event instance of %1 in apple to modify").arg(nativeId));
    return store->eventWithUID(nativeId, QDateTime());
}

// A run that died after it wrote a device record's event but before its identifier graph was saved
// leaves an event no identifier dictionary names; the device sends the record again. The event with
// the record's title and times that nothing claims is that one, and is written again rather than
// doubled. All-day events are matched by their first day, as the device places them at noon GMT.
std::shared_ptr<platform::CalEvent> HMCalendarData::unclaimedCalendarStoreTwin(const QVariantMap &record)
{
    const QDateTime start = dateOf(record, kHMSyncFieldNSDateStartDate);
    const QDateTime end = dateOf(record, kHMSyncFieldNSDateEndDate);
    const std::shared_ptr<HMIdentifierGraph> graph = identifierGraph();
    if (!start.isValid() || !end.isValid() || !graph)
        return nullptr;
    const QString title = HMData::stringForKey(key(kHMSyncFieldSubject), record);
    const bool allDay = boolForKey(record, key(kHMSyncFieldTypeNumber));
    const QList<std::shared_ptr<platform::CalEvent>> candidates =
        calendarStore()->eventsWithPredicate(platform::CalCalendarStore::eventPredicateWithStartDate(
            start.addDays(-1), start.addDays(1), calendarsToRead()));
    for (const std::shared_ptr<platform::CalEvent> &candidate : candidates) {
        const bool sameTimes = allDay ? candidate->startDate().toLocalTime().date() == start.toLocalTime().date()
                                      : candidate->startDate() == start && candidate->endDate() == end;
        if (candidate->isDetached() || candidate->title() != title || candidate->isAllDay() != allDay || !sameTimes)
            continue;
        if (!graph->dictionaryForNativeId(candidate->uid()))
            return candidate;
    }
    return nullptr;
}

void HMCalendarData::writeRecordToCalendarStoreEvent(platform::CalEvent &event, const QVariantMap &record,
                                                     bool recurring)
{
    event.setTitle(HMData::stringForKey(key(kHMSyncFieldSubject), record));
    event.setLocation(HMData::stringForKey(key(kHMSyncFieldLocation), record));
    event.setNotes(HMData::stringForKey(key(kHMSyncFieldNote), record));
    const QString category = record.value(key(kHMSyncFieldNSArrayCategories)).toList().value(0).toString();
    if (!category.isEmpty()) {
        if (const std::shared_ptr<platform::CalCalendar> calendar = calendarWithName(category, true)) {
            DDLogInfo(QStringLiteral("Setting Calendar: %1").arg(category));
            event.setCalendar(calendar);
        } else {
            DDLogInfo(QStringLiteral("Could not find calendar for category: %1").arg(category));
        }
    }
    event.setIsAllDay(boolForKey(record, key(kHMSyncFieldTypeNumber)));
    event.setStartDate(dateOf(record, kHMSyncFieldNSDateStartDate));
    event.setEndDate(dateOf(record, kHMSyncFieldNSDateEndDate));
    updateCalendarItem(event, record);
    if (recurring)
        updateRecurrenceOfEvent(event, record);
}

bool HMCalendarData::saveCalendarStoreEvent(const std::shared_ptr<platform::CalEvent> &event, const QVariantMap &record,
                                            bool recurring)
{
    DDLogVerbose(QStringLiteral("Try statement"));
    const platform::Status saved =
        calendarStore()->saveEvent(event, recurring ? platform::CalSpan::AllEvents : platform::CalSpan::ThisEvent);
    DDLogVerbose(QStringLiteral("SAVERESULT[%1] %2").arg(recurring ? 1 : 2).arg(int(saved.ok())));
    DDLogVerbose(QStringLiteral("SAVERESULT[3] %1").arg(int(saved.ok())));
    if (saved)
        return true;
    DDLogError(QStringLiteral("ERROR: Error saving event %1 (%2 - %3) to calendar.")
                   .arg(HMData::stringForKey(key(kHMSyncFieldSubject), record),
                        dateUtilities().localDateTimeStringFromDate(dateOf(record, kHMSyncFieldNSDateStartDate)),
                        dateUtilities().localDateTimeStringFromDate(dateOf(record, kHMSyncFieldNSDateEndDate))));
    DDLogError(QStringLiteral("ERROR INFORMATION: %1").arg(saved.error().message()));
    return false;
}

// The occurrences the device's series lacks go from the Mac's series too; otherwise the next listing
// would send them back and undo the deletion on the device. Moved (detached) occurrences stay.
void HMCalendarData::removeCalendarStoreExceptionOccurrences(const QString &uid, const QVariantMap &record)
{
    const QVariantList exceptions = record.value(key(kHMSyncFieldRecurringNSArrayExceptions)).toList();
    const std::shared_ptr<platform::CalCalendarStore> store = calendarStore();
    for (const QVariant &exception : exceptions) {
        const QDateTime dayStart = dateUtilities().dateAtMidnightForDate(exception.toDateTime());
        const QDateTime dayEnd = dateUtilities().dateByAdding(1, platform::CalendarUnit::Day, dayStart);
        const QList<std::shared_ptr<platform::CalEvent>> events = store->eventsWithPredicate(
            platform::CalCalendarStore::eventPredicateWithStartDate(dayStart, dayEnd, uid, {}));
        for (const std::shared_ptr<platform::CalEvent> &event : events) {
            if (event->isDetached() || event->startDate() < dayStart || !(event->startDate() < dayEnd))
                continue;
            if (const platform::Status removed = store->removeEvent(event, platform::CalSpan::ThisEvent); !removed)
                DDLogError(QStringLiteral("ERROR INFORMATION: %1").arg(removed.error().message()));
        }
    }
}
