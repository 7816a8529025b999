// The CalendarStore road of the calendar listing: the events of the date range that changed since
// the last sync, one record per series (with the dates it skips) and per single event or detached
// occurrence, and the deletions.
#include "datasources/calendar/HMCalendarData.h"

#include "datasources/calendar/HMCalendarStoreChecksum.h"

#include "foundation/GlobalVariables.h"
#include "foundation/HMSyncProgressReporting.h"
#include "foundation/Lumberjack/DDLog.h"
#include "foundation/NSMutableDictionary+HMExtras.h"
#include "platform/eventkit/CalCalendar.h"
#include "platform/eventkit/CalCalendarStore.h"
#include "sync/HMIdentifierGraph.h"
#include "datasources/calendar/HMCalendarDataKeys.h"
#include "sync/HMSyncFields.h"

#include <QTimeZone>

using namespace hmcalendar;

std::optional<QList<HMSyncRecord>>
HMCalendarData::syncCalendarStoreRecordObjectsModifiedAfter(const QDateTime &date, bool includeDeletes,
                                                            const QSet<QString> &excludedHmUids)
{
    DDLogInfo(QStringLiteral("Loading apple events modified after %1")
                  .arg(dateUtilities().localDateTimeStringFromDate(date)));
    DDLogInfo(QStringLiteral("Loading apple events between %1 and %2")
                  .arg(dateUtilities().localDateTimeStringFromDate(calendarDateRangeStart()),
                       dateUtilities().localDateTimeStringFromDate(calendarDateRangeEnd())));
    const std::shared_ptr<platform::CalCalendarStore> store = calendarStore();
    const QList<std::shared_ptr<platform::CalEvent>> events =
        store->eventsWithPredicate(platform::CalCalendarStore::eventPredicateWithStartDate(
            calendarDateRangeStart(), calendarDateRangeEnd(), calendarsToRead()));
    DDLogInfo(QStringLiteral("Found %1 events").arg(events.size()));
    QList<HMSyncRecord> records;
    const std::shared_ptr<HMIdentifierGraph> graph = identifierGraph();
    if (!graph)
        return records;
    // The dictionaries an event was found for, as a set: the others' events are gone.
    const HMIdentifierGraph::Entries known = graph->entries();
    QSet<QString> found;
    QSet<QString> seriesSeen;
    const std::shared_ptr<HMSyncProgressReporting> progress = GlobalVariables::getCurrentSyncProgressController();
    for (qsizetype index = 0; index < events.size(); ++index) {
        if (progress) {
            progress->setOverallMessageDirectly(QString(), double(index + 1) / double(events.size()));
            progress->setUserMessageDirectly(
                QStringLiteral("Reading %1 of %2 Apple Events.").arg(index + 1).arg(events.size()));
        }
        CalendarStorePlan plan;
        planCalendarStoreEvent(plan, *events[index], date, excludedHmUids);
        if (plan.eventDictionary)
            found.insert(foundKeyOf(*plan.eventDictionary));
        if (plan.seriesDictionary)
            found.insert(foundKeyOf(*plan.seriesDictionary));
        if (!plan.process)
            continue;
        if (plan.isOccurrence)
            appendCalendarStoreSeriesRecord(plan, records, seriesSeen);
        if (!plan.isOccurrence || plan.isException)
            appendCalendarStoreEventRecord(plan, *events[index], records);
    }
    if (includeDeletes)
        appendDeletions(dictionariesNotFound(known, found), records);
    return records;
}

void HMCalendarData::planCalendarStoreEvent(CalendarStorePlan &plan, const platform::CalEvent &event,
                                            const QDateTime &date, const QSet<QString> &excludedHmUids)
{
    const std::shared_ptr<HMIdentifierGraph> graph = identifierGraph();
    plan.listingDate = date;
    plan.isException = event.isDetached();
    plan.isOccurrence = plan.isException || event.recurrenceRule().has_value();
    plan.seriesId = event.uid();
    plan.nativeId =
        plan.isOccurrence
            ? QStringLiteral("%1+%2+%3")
                  .arg(event.uid(), dateUtilities().dateGmtStringFromDateFormattedForSync(event.startDate()),
                       dateUtilities().timeGmtStringFromDateFormattedForSync(event.startDate()))
            : event.uid();
    DDLogInfo(QStringLiteral("Loading %1%2 Event: %3 (%4 - %5) Apple ID: %6")
                  .arg(plan.isOccurrence ? QStringLiteral("Recurring") : QStringLiteral("Single"),
                       plan.isException ? QStringLiteral(" Exception") : QString(), event.title(),
                       dateUtilities().localDateTimeStringFromDate(event.startDate()),
                       dateUtilities().localDateTimeStringFromDate(event.endDate()), event.uid()));
    plan.eventDictionary = graph->dictionaryForNativeId(plan.nativeId);
    if (plan.isOccurrence)
        plan.seriesDictionary = graph->dictionaryForNativeId(plan.seriesId);
    // An event or series sent as new whose answer never came goes as new again, under the same id.
    const bool isResent =
        (plan.eventDictionary && isUnconfirmed(*plan.eventDictionary)) ||
        (plan.isOccurrence && !plan.isException && plan.seriesDictionary && isUnconfirmed(*plan.seriesDictionary));
    if (isResent || (!plan.eventDictionary && (!plan.isOccurrence || plan.isException || !plan.seriesDictionary)))
        planNewCalendarStoreEvent(plan);
    else
        planKnownCalendarStoreEvent(plan, event, date, excludedHmUids);
}

// An event the graph does not know: a single event or a detached occurrence gets a new hmUid; an
// occurrence's series keeps its dictionary when it has one, else gets a new one.
void HMCalendarData::planNewCalendarStoreEvent(CalendarStorePlan &plan)
{
    if (!plan.isOccurrence || plan.isException) {
        const QString resentUid = plan.eventDictionary ? plan.eventDictionary->value(kHmUidKey).toString() : QString();
        plan.ownUid = resentUid.isEmpty() ? HMData::newUid() : resentUid;
        plan.isNew = true;
    }
    if (plan.isOccurrence)
        planCalendarStoreSeries(plan);
    plan.identifierDictionary = {{kNativeIdKey, plan.nativeId}};
    if (!plan.ownUid.isEmpty())
        plan.identifierDictionary.insert(kHmUidKey, plan.ownUid);
    plan.process = true;
}

void HMCalendarData::planCalendarStoreSeries(CalendarStorePlan &plan)
{
    if (plan.seriesDictionary && !plan.seriesDictionary->value(kHmUidKey).toString().isEmpty()) {
        plan.seriesIdentifierDictionary = *plan.seriesDictionary;
        plan.seriesUid = plan.seriesDictionary->value(kHmUidKey).toString();
        plan.seriesIsNew = isUnconfirmed(*plan.seriesDictionary);
        return;
    }
    plan.seriesUid = HMData::newUid();
    plan.seriesIsNew = true;
    plan.seriesIdentifierDictionary = QVariantMap{{kNativeIdKey, plan.seriesId}, {kHmUidKey, plan.seriesUid}};
}

void HMCalendarData::planKnownCalendarStoreEvent(CalendarStorePlan &plan, const platform::CalEvent &event,
                                                 const QDateTime &date, const QSet<QString> &excludedHmUids)
{
    DDLogVerbose(QStringLiteral("Found a hmUid for event id"));
    plan.ownUid = plan.eventDictionary ? plan.eventDictionary->value(kHmUidKey).toString() : QString();
    const QString seriesUid = plan.seriesDictionary ? plan.seriesDictionary->value(kHmUidKey).toString() : QString();
    const bool excluded = (!plan.ownUid.isEmpty() && excludedHmUids.contains(plan.ownUid)) ||
                          (!plan.isException && !seriesUid.isEmpty() && excludedHmUids.contains(seriesUid));
    if (excluded) {
        DDLogInfo(QStringLiteral("++ Ignoring Record due to being modified on the device."));
        return;
    }
    if (!isStoreItemChangedAfter(event.dateStamp(), date, QLatin1StringView("-- ")))
        return;
    DDLogInfo(QStringLiteral("-- Event is a modified record, marking for processing"));
    plan.process = true;
    if (plan.isOccurrence)
        planCalendarStoreSeries(plan);
    plan.identifierDictionary = plan.eventDictionary.value_or(QVariantMap{{kNativeIdKey, plan.nativeId}});
}

// The series record goes out once per listing, built from the series' first regular occurrence; the
// dates its rule gives that no regular occurrence holds are its exceptions.
void HMCalendarData::appendCalendarStoreSeriesRecord(CalendarStorePlan &plan, QList<HMSyncRecord> &records,
                                                     QSet<QString> &seriesSeen)
{
    qsizetype known = 0;
    for (const HMSyncRecord &record : std::as_const(records))
        known += record.nativeId() == plan.seriesId ? 1 : 0;
    if (known > 1)
        DDLogWarn(QStringLiteral("-- ++ pppDataForEventId returned more than 1 result, returning first."));
    // Every occurrence of a series shares its modification date: one unchanged series is built once.
    if (known > 0 || seriesSeen.contains(plan.seriesId))
        return;
    seriesSeen.insert(plan.seriesId);
    QVariantMap seriesDictionary = plan.seriesIdentifierDictionary.value_or(QVariantMap());
    const std::optional<QVariantMap> dictionary = calendarStoreSeriesRecord(plan.seriesId, seriesDictionary);
    if (!dictionary)
        return;
    const QString checksum = calendarStoreChecksumOfRecord(*dictionary);
    if (!plan.seriesIsNew && isUnchangedSinceLastSent(seriesDictionary, checksum, plan.listingDate))
        return;
    seriesDictionary.insert(kCrcKey, checksum);
    identifierGraph()->setDictionary(seriesDictionary, plan.seriesUid);
    HMSyncRecord record;
    record.setIsNew(plan.seriesIsNew);
    record.setNativeId(plan.seriesId);
    record.setHmxUid(plan.seriesUid);
    record.setDictionary(*dictionary);
    records.append(record);
    if (plan.seriesIsNew)
        addRecordAddedToDevice(plan.seriesUid);
}

void HMCalendarData::appendCalendarStoreEventRecord(CalendarStorePlan &plan, const platform::CalEvent &event,
                                                    QList<HMSyncRecord> &records)
{
    const QVariantMap dictionary = pppDictionaryForEvent(event, &plan.identifierDictionary, 1);
    plan.identifierDictionary.remove(kInstancesKey);
    const QString checksum = calendarStoreChecksumOfRecord(dictionary);
    if (!plan.isNew && isUnchangedSinceLastSent(plan.identifierDictionary, checksum, plan.listingDate))
        return;
    plan.identifierDictionary.insert(kCrcKey, checksum);
    DDLogInfo(QStringLiteral("-- ++ Adding Record to device"));
    HMSyncRecord record;
    record.setIsNew(plan.isNew);
    record.setHmxUid(plan.ownUid);
    record.setNativeId(plan.nativeId);
    record.setDictionary(dictionary);
    records.append(record);
    if (plan.isNew)
        addRecordAddedToDevice(plan.ownUid);
    identifierGraph()->setDictionary(plan.identifierDictionary, plan.ownUid);
}

// The record of a series as the device gets it: built from its first regular occurrence, with the
// dates its rule gives that no regular occurrence holds as its exceptions. The series' identifier
// dictionary passes through the builder and comes back without the list of occurrence dates.
std::optional<QVariantMap> HMCalendarData::calendarStoreSeriesRecord(const QString &seriesId,
                                                                     QVariantMap &seriesDictionary)
{
    QList<QDateTime> regularStarts;
    const std::shared_ptr<platform::CalEvent> first =
        firstAppleInstanceOfRecurringEventForNativeId(seriesId, &regularStarts);
    if (!first) {
        DDLogWarn(QStringLiteral("-- ++ No instance of the recurring event found. Returning nil"));
        return std::nullopt;
    }
    DDLogInfo(QStringLiteral("-- ++ Found Initial instance of Recurring Event. Creating PPP Data"));
    QVariantMap dictionary = pppDictionaryForEvent(*first, &seriesDictionary, 1);
    const QVariantList exceptions = exceptionsOfInstances(seriesDictionary.value(kInstancesKey).toList(), regularStarts);
    dictionary.insert(key(kHMSyncFieldRecurringNSArrayExceptions), exceptions);
    seriesDictionary.remove(kInstancesKey);
    return dictionary;
}

// An item whose modification date is past the last sync but whose record is the one last sent or
// applied from the device has not changed; a listing that rereads everything sends it all the same.
bool HMCalendarData::isUnchangedSinceLastSent(const QVariantMap &identifierDictionary, const QString &checksum,
                                              const QDateTime &listingDate)
{
    if (!listingDate.isValid() || identifierDictionary.value(kCrcKey).toString() != checksum)
        return false;
    DDLogInfo(QStringLiteral("-- Record is the one last exchanged with the device, not sending it"));
    return true;
}

QVariantMap HMCalendarData::pppDictionaryForEvent(const platform::CalEvent &event, QVariantMap *identifierDictionary,
                                                  quint64)
{
    const bool allDay = event.isAllDay();
    // An all-day event is listed at noon of its days, so that no time zone moves it to another day;
    // its end date is the day after its last day.
    const QDateTime start = allDay ? dateUtilities().dateWithNoonTimeForDate(event.startDate()) : event.startDate();
    const QDateTime end = allDay ? dateUtilities().dateWithNoonTimeForDate(
                                       dateUtilities().dateByAdding(-1, platform::CalendarUnit::Day, event.endDate()))
                                 : event.endDate();
    QVariantMap record =
        eventRecordFields(event.title(), event.location(), event.notes(),
                          event.calendar() ? event.calendar()->title() : QString(), allDay, start, end);
    updateCalendarDictionary(record, event);
    QVariantMap unused;
    updatePppDictionary(record, identifierDictionary ? *identifierDictionary : unused, event);
    appendEmptyEventFields(record);
    return record;
}
