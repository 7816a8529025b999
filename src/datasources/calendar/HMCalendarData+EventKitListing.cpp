// The EventKit road of the calendar listing: which events the device must receive, their records,
// series sent once with their exceptions, detached occurrences with their parent, and deletions.
#include "datasources/calendar/HMCalendarData.h"

#include "datasources/calendar/HMChecksumArchive.h"
#include "datasources/calendar/HMKVCodingEKEvent.h"
#include "datasources/calendar/HMTaskEventKitHelper.h"
#include "foundation/GlobalVariables.h"
#include "foundation/HMSyncProgressReporting.h"
#include "foundation/Lumberjack/DDLog.h"
#include "foundation/NSMutableDictionary+HMExtras.h"
#include "platform/eventkit/EKEventStore.h"
#include "platform/foundation/Crc32.h"
#include "sync/HMIdentifierGraph.h"
#include "sync/HMProfile.h"
#include "datasources/calendar/HMCalendarDataKeys.h"
#include "sync/HMSyncFields.h"

#include <QScopeGuard>
#include <QTimeZone>
#include <QVarLengthArray>

#include <array>
#include <charconv>

using namespace hmcalendar;

namespace {

// The four windows of the listing: three years back, then one year, then three times four years.
QList<std::pair<QDateTime, QDateTime>> listingWindows(const HMDateUtilities &utilities)
{
    const QDateTime now = QDateTime::currentDateTimeUtc();
    QDateTime start = utilities.dateMonths(-36, now);
    QList<std::pair<QDateTime, QDateTime>> windows;
    QDateTime end = now.addSecs(31536000);
    windows.append({start, end});
    for (int step = 0; step < 3; ++step) {
        windows.append({end, end.addSecs(126144000)});
        end = end.addSecs(126144000);
    }
    return windows;
}

// How many events ahead of the one it looks at the listing asks for the next ones' texts.
constexpr qsizetype kLookAhead = 4;

// Whether the record keeps a uid, told without making its text when it is kept as UTF-8.
bool hasUid(const HMIdentifierGraphEntry &record)
{
    if (const std::optional<QByteArrayView> uid = record.utf8TextOf(HMIdentifierGraphEntry::WellKnownKey::HmUid))
        return !uid->isEmpty();
    return !record.valueOf(HMIdentifierGraphEntry::WellKnownKey::HmUid).toString().isEmpty();
}

// Whether the record keeps the checksum's text, told without making that text: a text kept as
// UTF-8 is compared as its bytes, any other value as the text it gives.
bool isChecksumText(const HMIdentifierGraphEntry &record, quint32 crc)
{
    std::array<char, 16> digits{};
    const char *const end = std::to_chars(digits.data(), digits.data() + digits.size(), qint32(crc)).ptr;
    const QByteArrayView text(digits.data(), end - digits.data());
    if (const std::optional<QByteArrayView> kept = record.utf8TextOf(kCrcKey))
        return *kept == text;
    return QLatin1StringView(text) == record.value(kCrcKey).toString();
}

// Whether the desktop changed the event since the sync's date. An event last written by a sync
// (from the device's record: the dictionary's written date, when there is a dictionary) is no
// change of the desktop's, even when that write came after the sync's date.
template <typename Dictionary>
bool isChangedSince(const QDateTime &date, const QDateTime &lastModified, const Dictionary *written)
{
    if (date.isValid() && !(date < lastModified))
        return false;
    return !written || written->value(kWrittenModificationDateKey).toDateTime() != lastModified;
}

} // namespace

std::shared_ptr<platform::EKEventStore> HMCalendarData::ensureEventStore()
{
    if (!storeForEkEvents())
        setStoreForEkEvents(platform::EKEventStore::create(platform::EKEntityMaskEvent));
    return storeForEkEvents();
}

QDateTime HMCalendarData::dateRangeStartingDate()
{
    qint64 days = dateRangeDaysBack() >= 1 ? dateRangeDaysBack() : 90;
    if (m_profile && m_profile->dateRangeCalendarDaysBack().isValid())
        days = std::max(days, m_profile->dateRangeCalendarDaysBack().toLongLong());
    return dateUtilities().dateByAdding(-days, platform::CalendarUnit::Day, QDateTime::currentDateTimeUtc());
}

QString HMCalendarData::checksumOfEvent(const platform::EKEvent &event)
{
    // The checksum reads of the copy only its start, end, title and notes: it is taken of the event's.
    return checksumText(HMKVCodingEKEvent::checksumCrcOf(event));
}

QString HMCalendarData::checksumText(quint32 crc)
{
    DDLogVerbose(QStringLiteral("Generating NSCoding event copy"));
    DDLogVerbose(QStringLiteral("Serializing"));
    DDLogInfo(QStringLiteral("CRC32: %1").arg(crc));
    return QString::number(qint32(crc));
}

QList<platform::EKPredicate> HMCalendarData::eventKitPredicates(const QString &seriesId,
                                                                const std::optional<RecordSpan> &around,
                                                                const std::optional<QString> &title)
{
    const std::shared_ptr<platform::EKEventStore> store = ensureEventStore();
    QList<std::shared_ptr<platform::EKCalendar>> calendars;
    for (const QString &identifier : HMTaskEventKitHelper::getEventCalendarIdentifiersToSync()) {
        if (auto calendar = store->calendarWithIdentifier(identifier))
            calendars.append(calendar);
    }
    QList<platform::EKPredicate> predicates;
    if (calendars.isEmpty())
        return predicates;
    // A record's own moment needs none of the listing's windows: they are worked out only for a listing.
    const QList<std::pair<QDateTime, QDateTime>> windows =
        around ? QList<std::pair<QDateTime, QDateTime>>{{around->first, around->first.addSecs(1)}}
               : listingWindows(dateUtilities());
    for (const auto &[start, end] : windows) {
        platform::EKPredicate predicate = store->predicateForEventsWithStartDate(start, end, calendars);
        predicate.uid = seriesId;
        predicate.title = title;
        // A record is compared with the events of its title starting and ending as it does (isDuplicate).
        if (title)
            predicate.titleSpan = around;
        predicates.append(predicate);
    }
    return predicates;
}

// The whole listing plans every regular occurrence of a series alike and sends a series once, from
// its first occurrence: so it reads of each series the first occurrence and the detached ones, and
// the starts of the others only for a series it sends (regularStartsOfSeries).
QList<platform::EKEventSequence> HMCalendarData::readEventKitSequences(const QString &seriesId,
                                                                       const std::optional<RecordSpan> &around,
                                                                       const std::optional<QString> &title,
                                                                       OccurrencesRead occurrences)
{
    const std::shared_ptr<platform::EKEventStore> store = ensureEventStore();
    const bool isWholeListing = seriesId.isEmpty() && !around && !title;
    const bool isFirstOnly = isWholeListing || occurrences == OccurrencesRead::FirstOfEachSeries;
    forgetSeriesOfRecord();
    QSet<QString> seriesRead;
    QList<platform::EKEventSequence> sequences;
    for (platform::EKPredicate predicate : eventKitPredicates(seriesId, around, title)) {
        predicate.firstOccurrenceOnly = isFirstOnly;
        predicate.seriesToLeaveOut = seriesRead;
        sequences.append(store->eventSequenceMatchingPredicate(predicate));
        const QList<std::shared_ptr<platform::EKEvent>> parsed = sequences.last().parsedEvents();
        // Room for every series read, made at once: a set grown an insert at a time is rehashed as it
        // goes. Only when there are some: the set is shared with the window's predicate.
        if (isFirstOnly && !parsed.isEmpty())
            seriesRead.reserve(seriesRead.size() + parsed.size());
        for (const auto &event : parsed) {
            if (isFirstOnly && event->hasRecurrenceRules() && !event->isDetached())
                seriesRead.insert(event->calendarItemIdentifier());
        }
        for (const QString &placed : sequences.last().listedSeriesIdentifiers())
            seriesRead.insert(placed);
    }
    m_holdsFirstOccurrencesOnly = isFirstOnly;
    return sequences;
}

void HMCalendarData::readSeriesOfRecord(const QString &seriesId)
{
    if (!seriesId.isEmpty() && seriesId == m_seriesReadForRecord)
        return;
    readEventKitEvents(seriesId, std::nullopt, std::nullopt, OccurrencesRead::FirstOfEachSeries);
    m_seriesReadForRecord = seriesId;
}

void HMCalendarData::readEventKitEvents(const QString &seriesId, const std::optional<RecordSpan> &around,
                                        const std::optional<QString> &title, OccurrencesRead occurrences)
{
    QList<std::shared_ptr<platform::EKEvent>> events;
    for (const platform::EKEventSequence &sequence : readEventKitSequences(seriesId, around, title, occurrences)) {
        for (qsizetype index = 0; index < sequence.size(); ++index) {
            if (std::shared_ptr<platform::EKEvent> event = sequence.eventAt(index))
                events.append(std::move(event));
        }
    }
    setEkEventsArray(events);
    DDLogInfo(QStringLiteral("Found %1 events").arg(events.size()));
}

// The whole listing keeps of its events only those read from parsed files, which the series'
// records are made from; the others are made, planned and let go one at a time.
QList<platform::EKEventSequence> HMCalendarData::readEventKitListing()
{
    const QList<platform::EKEventSequence> sequences = readEventKitSequences();
    QList<std::shared_ptr<platform::EKEvent>> parsed;
    qsizetype count = 0;
    for (const platform::EKEventSequence &sequence : sequences) {
        parsed.append(sequence.parsedEvents());
        count += sequence.size();
    }
    setEkEventsArray(parsed);
    DDLogInfo(QStringLiteral("Found %1 events").arg(count));
    return sequences;
}

QList<QDateTime> HMCalendarData::regularStartsOfSeries(const QString &seriesId, const QDateTime &walkEnd)
{
    const std::shared_ptr<platform::EKEventStore> store = ensureEventStore();
    QList<QDateTime> starts;
    for (const platform::EKPredicate &predicate : eventKitPredicates(seriesId, std::nullopt, std::nullopt))
        starts.append(store->regularStartsMatchingPredicate(predicate, walkEnd));
    return starts;
}

std::optional<QList<HMSyncRecord>>
HMCalendarData::syncEventKitRecordObjectsModifiedAfter(const QDateTime &date, bool includeDeletes,
                                                       const QSet<QString> &excludedHmUids)
{
    DDLogInfo(QStringLiteral("Loading Apple EventKit events modified after %1").arg(date.toString(Qt::ISODate)));
    QList<platform::EKEventSequence> sequences = readEventKitListing();
    m_listingRangeStart = dateRangeStartingDate();
    m_seriesChecksums.clear();
    const std::shared_ptr<HMIdentifierGraph> graph = identifierGraph();
    QList<HMSyncRecord> records;
    if (!graph)
        return records;
    const HMIdentifierGraph::Entries known = graph->entries();
    ListingPass pass{date, excludedHmUids, seriesWithModifiedExceptions(date), {}, records, *graph};
    qsizetype total = 0;
    for (const platform::EKEventSequence &sequence : sequences)
        total += sequence.size();
    // Most events are found unchanged: the set of their entries is sized for them at once.
    pass.foundBytes.reserve(total);
    pass.foundEntries.reserve(total);
    qsizetype position = 0;
    m_isPlanningListing = true;
    const auto planned = qScopeGuard([this] { m_isPlanningListing = false; });
    // Each window's sequence is let go once read: what it holds of the descriptions goes with it.
    for (platform::EKEventSequence &sequence : sequences) {
        for (qsizetype index = 0; index < sequence.size(); ++index) {
            sequence.prefetchLookAt(index + kLookAhead);
            reportListingProgress(++position, total);
            listEventAt(pass, sequence, index);
        }
        sequence = platform::EKEventSequence();
    }
    if (includeDeletes)
        appendDeletions(dictionariesNotListed(known, pass), records);
    letGoOfMovedOccurrences();
    return records;
}

// The moved occurrences read from parsed files, an event each (hundreds for a series), are let go
// once planned, before the records are sent: every later use of the array reads what it needs first.
void HMCalendarData::letGoOfMovedOccurrences()
{
    QList<std::shared_ptr<platform::EKEvent>> kept;
    for (const std::shared_ptr<platform::EKEvent> &event : std::as_const(m_ekEventsArray)) {
        if (!event->isDetached())
            kept.append(event);
    }
    if (kept.size() != m_ekEventsArray.size())
        setEkEventsArray(kept);
}

void HMCalendarData::listEventAt(ListingPass &pass, const platform::EKEventSequence &sequence, qsizetype index)
{
    if (listUnchangedEvent(pass, sequence, index) || listUnchangedListedSeries(pass, sequence, index))
        return;
    const std::shared_ptr<platform::EKEvent> event = sequence.eventAt(index);
    if (!event)
        return;
    // A series placed from its walk, made now, is planned as one read from its parsed file.
    if (event->hasRecurrenceRules() && !event->isDetached() &&
        !m_firstPositionBySeries.contains(event->calendarItemIdentifier()))
        appendEkEvent(event);
    if (!listUnchangedSeries(pass, *event))
        listEvent(pass, *event);
}

void HMCalendarData::reportListingProgress(qsizetype position, qsizetype total) const
{
    const std::shared_ptr<HMSyncProgressReporting> progress = GlobalVariables::getCurrentSyncProgressController();
    if (!progress)
        return;
    progress->setOverallMessageDirectly(QString(), double(position) / double(total));
    progress->setUserMessageDirectly(QStringLiteral("Reading %1 of %2 Calendar Events.").arg(position).arg(total));
}

// Plans one event of the listing: the dictionaries it was found for (the others' events are gone;
// a series is found once per occurrence, so they are a set), and its records when it is sent.
void HMCalendarData::listEvent(ListingPass &pass, const platform::EKEvent &event)
{
    // The id is taken once per event, whether or not it is planned: a moved occurrence's id counts
    // the ones already taken.
    EventPlan plan;
    plan.nativeId = nativeIdOfEvent(event);
    if (listUnchangedMovedOccurrence(pass, event, plan.nativeId))
        return;
    planEvent(plan, event, pass.date, pass.excludedHmUids, pass.seriesToRefresh);
    if (plan.recordDictionary)
        pass.found.insert(foundKeyOf(*plan.recordDictionary));
    if (plan.seriesDictionary)
        pass.found.insert(foundKeyOf(*plan.seriesDictionary));
    if (plan.process && (plan.isSeriesMember || plan.isKnownSeriesException) &&
        !pass.seriesListed.contains(plan.seriesId)) {
        const qsizetype listed = pass.records.size();
        appendSeriesRecord(plan, pass.records);
        if (pass.records.size() > listed)
            pass.seriesListed.insert(plan.seriesId);
    }
    if (plan.process && (plan.isKnownSeriesException || !plan.isSeriesMember)) {
        appendEventRecord(plan, event, pass.records);
        // A series sent as an event of its own is sent once all the same.
        if (plan.hasRules && !event.isDetached())
            pass.seriesListed.insert(plan.nativeId);
    }
}

// An event its file's description tells whole (a single event, never a series' or detached one),
// whose record the graph knows and of which nothing changed since the last sync, is found without
// being made: planning it whole would find its record and send nothing. Answers whether it was.
bool HMCalendarData::listUnchangedEvent(ListingPass &pass, const platform::EKEventSequence &sequence, qsizetype index)
{
    // An event the description does not tell (one of a parsed file: a series' or a detached one) is
    // told first, before its record is looked for: it is planned whole, or found with its series.
    const std::optional<platform::icallisted::ListedLook> look = sequence.lookAt(index, pass.lookScratch);
    if (!look)
        return false;
    if (!pass.seriesToRefresh.isEmpty() && pass.seriesToRefresh.contains(sequence.identifierAt(index)))
        return false;
    // An identifier the description holds as plain bytes is looked up by them, with no text made.
    const std::optional<QByteArrayView> plain = sequence.plainIdentifierAt(index);
    const std::optional<HMIdentifierGraphEntry> record =
        plain ? pass.graph.entryForNativeIdUtf8(*plain) : pass.graph.entryForNativeId(sequence.identifierAt(index));
    // An event sent as new whose answer never came is planned whole: it goes as new again.
    if (!record || record->isUnconfirmedAdd())
        return false;
    const bool isChanged = isChangedSince(pass.date, look->lastModified, &*record) ||
                           !isChecksumText(*record, eventChecksumCrc(look->start, look->end, look->title, look->notes));
    return noteFoundUnchanged(pass, *record, isChanged);
}

// A moved occurrence the graph knows, of a series whose uid it keeps, unchanged since the last sync:
// planning it would find its record and its series' and send nothing. Answers whether it was found so.
bool HMCalendarData::listUnchangedMovedOccurrence(ListingPass &pass, const platform::EKEvent &event,
                                                  const QString &nativeId)
{
    if (!event.isDetached() || pass.seriesToRefresh.contains(event.eventIdentifier()))
        return false;
    const std::optional<HMIdentifierGraphEntry> record = pass.graph.entryForNativeId(nativeId);
    // An occurrence sent as new whose answer never came is planned whole: it goes as new again.
    if (!record || record->isUnconfirmedAdd())
        return false;
    const std::optional<HMIdentifierGraphEntry> series = pass.graph.entryForNativeId(event.calendarItemIdentifier());
    if (!series || !hasUid(*series))
        return false;
    const bool isChanged = isChangedSince(pass.date, event.lastModifiedDate(), &*record) ||
                           !isChecksumText(*record, HMKVCodingEKEvent::checksumCrcOf(event));
    if (!noteFoundUnchanged(pass, *record, isChanged))
        return false;
    noteFound(pass, *series);
    return true;
}

// A series' regular occurrence, of a series the graph knows and whose checksum it keeps as the
// series stands now, unchanged since the last sync: planning it would find the series' record and
// send nothing. The listing meets one occurrence of each series (its first), so each unchanged series
// is found without a plan. Answers whether it was.
bool HMCalendarData::listUnchangedSeries(ListingPass &pass, const platform::EKEvent &event)
{
    if (event.isDetached() || !event.hasRecurrenceRules())
        return false;
    const QString seriesId = event.calendarItemIdentifier();
    if (pass.seriesToRefresh.contains(seriesId))
        return false;
    const std::optional<HMIdentifierGraphEntry> record = pass.graph.entryForNativeId(seriesId);
    // A series sent as new whose answer never came, or one the graph keeps no uid of, is planned whole.
    if (!record || record->isUnconfirmedAdd() || !hasUid(*record))
        return false;
    const std::optional<quint32> crc = seriesChecksumCrc(seriesId);
    if (!crc)
        return false;
    const bool isChanged =
        isChangedSince(pass.date, event.lastModifiedDate(), &*record) || !isChecksumText(*record, *crc);
    if (noteFoundUnchanged(pass, *record, isChanged))
        return true;
    // The plan of the series asks for the same checksum.
    m_seriesChecksums.insert(seriesId, QString::number(qint32(*crc)));
    return false;
}

// A series placed from its walk has no moved occurrence: its checksum is taken from what its text
// holds of its master, as seriesChecksumCrc takes it from the event, without the event made.
bool HMCalendarData::listUnchangedListedSeries(ListingPass &pass, const platform::EKEventSequence &sequence,
                                               qsizetype index)
{
    const std::optional<QByteArrayView> plain = sequence.plainIdentifierAt(index);
    const std::optional<platform::icallisted::ListedSeriesLook> look =
        plain ? sequence.seriesLookAt(index, pass.seriesRoom) : std::nullopt;
    if (!look)
        return false;
    // Events of the series read from another file would count in its checksum: it is planned whole.
    if (!pass.seriesToRefresh.isEmpty() || !m_firstPositionBySeries.isEmpty()) {
        const QString seriesId = sequence.identifierAt(index);
        if (pass.seriesToRefresh.contains(seriesId) || m_firstPositionBySeries.contains(seriesId))
            return false;
    }
    const std::optional<HMIdentifierGraphEntry> record = pass.graph.entryForNativeIdUtf8(*plain);
    if (!record || record->isUnconfirmedAdd() || !hasUid(*record))
        return false;
    const quint32 crc = listedSeriesChecksumCrc(*look, sequence.startAt(index));
    const bool isChanged = isChangedSince(pass.date, look->lastModified, &*record) || !isChecksumText(*record, crc);
    return noteFoundUnchanged(pass, *record, isChanged);
}

// The occurrence at the series' start, when the listing holds it and it has a length, has the
// master's start and its length in whole seconds (as QDateTime::secsTo counts them); else the
// series is read as the store has it, whose master is the text's.
quint32 HMCalendarData::listedSeriesChecksumCrc(const platform::icallisted::ListedSeriesLook &look,
                                                qint64 occurrenceStart)
{
    const qint64 length = look.start && look.end ? (*look.end - *look.start) / 1000 : 0;
    const bool isStartHeld = look.start && occurrenceStart == *look.start && length != 0;
    const std::optional<qint64> end = isStartHeld ? std::optional<qint64>(*look.start + length * 1000) : look.end;
    return seriesEntriesCrcContinued(eventChecksumCrcOfTexts(look.start, end, look.title, look.notes),
                                     look.rules.first().description(), look.revision.value_or(QStringView()), {});
}

// A record the device changed since the sync is left to the device's change: its event is found
// whatever the desktop did, as planning it would find it and send nothing.
bool HMCalendarData::noteFoundUnchanged(ListingPass &pass, const HMIdentifierGraphEntry &record, bool isChanged)
{
    const auto isExcluded = [&] {
        if (pass.excludedHmUids.isEmpty())
            return false;
        const QString ownUid = record.valueOf(HMIdentifierGraphEntry::WellKnownKey::HmUid).toString();
        return !ownUid.isEmpty() && pass.excludedHmUids.contains(ownUid);
    };
    if (isChanged && !isExcluded())
        return false;
    noteFound(pass, record);
    return true;
}

void HMCalendarData::noteFound(ListingPass &pass, const HMIdentifierGraphEntry &entry)
{
    pass.foundBytes.insert(entry.packed().constData());
    pass.foundEntries.append(entry);
}

// An entry that shares its bytes with one found unchanged was found: it is that dictionary. The
// others are found by their two identifiers, those found unchanged among them, which are only
// worked out when some entry is found by neither.
QList<QVariantMap> HMCalendarData::dictionariesNotListed(const HMIdentifierGraph::Entries &known, ListingPass &pass)
{
    HMIdentifierGraph::Entries unmatched;
    for (const HMIdentifierGraphEntry &entry : known) {
        if (!pass.foundBytes.contains(entry.packed().constData()) && !pass.found.contains(foundKeyOf(entry)))
            unmatched.append(entry);
    }
    if (unmatched.isEmpty())
        return {};
    for (const HMIdentifierGraphEntry &entry : std::as_const(pass.foundEntries))
        pass.found.insert(foundKeyOf(entry));
    return HMBaseCalendarData::dictionariesNotFound(unmatched, pass.found);
}

QSet<QString> HMCalendarData::seriesWithModifiedExceptions(const QDateTime &date)
{
    QSet<QString> series;
    if (!date.isValid())
        return series;
    for (const auto &event : ekEventsArray()) {
        if (!event->isDetached() || !(event->lastModifiedDate() > date))
            continue;
        DDLogInfo(QStringLiteral("-- The exception is a modified record, marking for processing"));
        series.insert(event->eventIdentifier());
    }
    return series;
}

// An event whose file is still there but no longer reads is not gone: only a file that is gone
// deletes its events.
void HMCalendarData::appendDeletions(const QList<QVariantMap> &remaining, QList<HMSyncRecord> &records)
{
    appendDeletionsOfRemaining(remaining, [this] { return ensureEventStore(); }, nullptr, records);
}

QString HMCalendarData::detachedNativeId(const platform::EKEvent &event)
{
    return QStringLiteral("%1+%2+%3")
        .arg(event.calendarItemIdentifier(), dateUtilities().dateGmtStringFromDateFormattedForSync(event.startDate()),
             dateUtilities().timeGmtStringFromDateFormattedForSync(event.startDate()));
}

QString HMCalendarData::nativeIdOfEvent(const platform::EKEvent &event)
{
    if (!event.isDetached())
        return event.calendarItemIdentifier();
    // Moved occurrences of one series at one start get distinct ids: a taken id takes the next number.
    QString nativeId = detachedNativeId(event);
    while (m_exceptionRecordIds.contains(nativeId)) {
        nativeId += QStringLiteral("+%1").arg(m_exceptionRecordIdCounter);
        ++m_exceptionRecordIdCounter;
    }
    m_exceptionRecordIds.insert(nativeId);
    return nativeId;
}

void HMCalendarData::planEvent(EventPlan &plan, const platform::EKEvent &event, const QDateTime &date,
                               const QSet<QString> &excludedHmUids, const QSet<QString> &seriesToRefresh)
{
    const std::shared_ptr<HMIdentifierGraph> graph = identifierGraph();
    plan.seriesId = event.calendarItemIdentifier();
    plan.hasRules = event.hasRecurrenceRules();
    DDLogInfo(QStringLiteral("Loading %1%2 Event: %3 (%4 - %5) Apple ID: %6")
                  .arg(plan.hasRules ? QStringLiteral("Recurring") : QStringLiteral("Single"),
                       event.isDetached() ? QStringLiteral(" exception") : QStringLiteral(" non-exception"),
                       event.title(), dateUtilities().localDateTimeStringFromDate(event.startDate()),
                       dateUtilities().localDateTimeStringFromDate(event.endDate()), plan.seriesId));
    plan.recordDictionary = graph->dictionaryForNativeId(plan.nativeId);
    if (event.isDetached() || plan.hasRules)
        plan.seriesDictionary = graph->dictionaryForNativeId(plan.seriesId);
    if (event.isDetached() && plan.seriesDictionary)
        plan.seriesUid = plan.seriesDictionary->value(kHmUidKey).toString();
    plan.isKnownSeriesException = event.isDetached() && !plan.seriesUid.isEmpty();
    // An event or series sent as new whose answer never came goes as new again, under the same id.
    const bool isResent =
        (plan.recordDictionary && isUnconfirmed(*plan.recordDictionary)) ||
        (plan.hasRules && !event.isDetached() && plan.seriesDictionary && isUnconfirmed(*plan.seriesDictionary));
    const bool isNewEvent = isResent || (!plan.recordDictionary &&
                                         (!plan.seriesDictionary || !plan.hasRules || plan.isKnownSeriesException));
    if (isNewEvent) {
        planNewEvent(plan, event);
    } else {
        planKnownEvent(plan, event, date, excludedHmUids);
        if (seriesToRefresh.contains(event.eventIdentifier()))
            plan.process = true;
        if (plan.process) {
            plan.identifierDictionary = plan.recordDictionary.value_or(QVariantMap{{kNativeIdKey, plan.nativeId}});
            if (!plan.newChecksum.isEmpty())
                plan.identifierDictionary.insert(kCrcKey, plan.newChecksum);
            if (plan.isSeriesMember && plan.seriesDictionary)
                plan.seriesIdentifierDictionary = *plan.seriesDictionary;
        }
    }
    skipEventsBeforeTheRange(plan, event);
}

// An event the graph does not know yet: its own new uid (unless it is a regular occurrence), and its
// series' uid, new when the series is new too. The checksum of what is sent is kept at once, so the
// next sync does not send the same event again.
void HMCalendarData::planNewEvent(EventPlan &plan, const platform::EKEvent &event)
{
    if (!plan.hasRules || plan.isKnownSeriesException) {
        const QString resentUid =
            plan.recordDictionary ? plan.recordDictionary->value(kHmUidKey).toString() : QString();
        plan.ownUid = resentUid.isEmpty() ? HMData::newUid() : resentUid;
        plan.isNew = true;
    }
    if (plan.hasRules) {
        plan.seriesIsNew = !plan.seriesDictionary || isUnconfirmed(*plan.seriesDictionary);
        plan.seriesUid = plan.seriesDictionary ? plan.seriesDictionary->value(kHmUidKey).toString() : HMData::newUid();
        plan.seriesIdentifierDictionary = plan.seriesDictionary
                                              ? *plan.seriesDictionary
                                              : QVariantMap{{kNativeIdKey, plan.seriesId}, {kHmUidKey, plan.seriesUid}};
        plan.isSeriesMember = true;
    }
    plan.identifierDictionary = {{kNativeIdKey, plan.nativeId}};
    if (!plan.ownUid.isEmpty()) {
        plan.identifierDictionary.insert(kHmUidKey, plan.ownUid);
        plan.identifierDictionary.insert(kCrcKey, checksumOfEvent(event));
    }
    plan.process = plan.isNew || plan.seriesIsNew;
}

void HMCalendarData::planKnownEvent(EventPlan &plan, const platform::EKEvent &event, const QDateTime &date,
                                    const QSet<QString> &excludedHmUids)
{
    DDLogVerbose(QStringLiteral("Found a hmUid for event id"));
    if (plan.hasRules && !plan.isKnownSeriesException) {
        plan.seriesUid = plan.seriesDictionary ? plan.seriesDictionary->value(kHmUidKey).toString() : QString();
        plan.isSeriesMember = !plan.seriesUid.isEmpty();
    } else {
        plan.isSeriesMember = plan.hasRules && plan.isKnownSeriesException;
    }
    plan.ownUid = plan.recordDictionary ? plan.recordDictionary->value(kHmUidKey).toString() : QString();
    const bool excluded =
        (!plan.ownUid.isEmpty() && excludedHmUids.contains(plan.ownUid)) ||
        (!plan.isKnownSeriesException && !plan.seriesUid.isEmpty() && excludedHmUids.contains(plan.seriesUid));
    if (excluded) {
        DDLogInfo(QStringLiteral("++ Ignoring Record due to being modified on the device."));
        return;
    }
    const bool isRegularOccurrence = plan.isSeriesMember && !event.isDetached();
    const std::optional<QVariantMap> &written = isRegularOccurrence ? plan.seriesDictionary : plan.recordDictionary;
    if (isChangedSince(date, event.lastModifiedDate(), written ? &*written : nullptr)) {
        DDLogInfo(QStringLiteral("-- Event is a modified record, marking for processing"));
        plan.process = true;
    }
    const QString checksum = isRegularOccurrence ? seriesChecksum(plan.seriesId) : checksumOfEvent(event);
    const QString stored = plan.recordDictionary ? plan.recordDictionary->value(kCrcKey).toString() : QString();
    if (checksum != stored) {
        DDLogInfo(QStringLiteral("Event is a modified record, processing for device update"));
        plan.process = true;
        plan.newChecksum = checksum;
    }
}

// A series is sent as one record, so its change is told by one checksum: its first occurrence's
// start, end, title and notes, its rule, the store's revision of the series (which any write of it,
// ours or another program's, changes) and the places of its detached occurrences. Every regular occurrence of an
// unchanged series then reads as unchanged, and a sync with nothing new sends no series again.
QString HMCalendarData::seriesChecksum(const QString &seriesId)
{
    const auto cached = m_seriesChecksums.constFind(seriesId);
    if (cached != m_seriesChecksums.constEnd())
        return *cached;
    const std::optional<quint32> crc = seriesChecksumCrc(seriesId);
    if (!crc)
        return QString();
    const QString checksum = QString::number(qint32(*crc));
    m_seriesChecksums.insert(seriesId, checksum);
    return checksum;
}

// The CRC of the series' event archive followed by the "HMSE" list [rule, revision, the detached
// occurrences' dates], taken without either archive made.
std::optional<quint32> HMCalendarData::seriesChecksumCrc(const QString &seriesId)
{
    const std::shared_ptr<platform::EKEvent> series = seriesForChecksum(seriesId);
    if (!series)
        return std::nullopt;
    QVarLengthArray<qint64, 16> detached;
    visitEventsOfSeries(seriesId, [&detached](const std::shared_ptr<platform::EKEvent> &event) {
        if (event->isDetached())
            detached.append(event->occurrenceDate().toMSecsSinceEpoch());
        return true;
    });
    return seriesEntriesCrcContinued(HMKVCodingEKEvent::checksumCrcOf(*series),
                                     series->recurrenceRules().value(0).description(), series->seriesRevision(),
                                     detached);
}

// The occurrence at the series' start was made from the series with its own start and length: a
// series of no length is read from the store, whose end may differ from its start's.
std::shared_ptr<platform::EKEvent> HMCalendarData::seriesForChecksum(const QString &seriesId)
{
    std::shared_ptr<platform::EKEvent> found;
    if (m_isPlanningListing) {
        visitEventsOfSeries(seriesId, [&found](const std::shared_ptr<platform::EKEvent> &event) {
            if (!event->isDetached() && event->isSeriesStart() && event->hasRecurrenceRules() &&
                event->startDate().isValid() && event->endDate() != event->startDate())
                found = event;
            return !found;
        });
    }
    return found ? found : ensureEventStore()->eventWithIdentifier(seriesId);
}

void HMCalendarData::skipEventsBeforeTheRange(EventPlan &plan, const platform::EKEvent &event)
{
    if (!plan.process || !event.endDate().isValid())
        return;
    const QDateTime rangeStart = m_listingRangeStart.isValid() ? m_listingRangeStart : dateRangeStartingDate();
    if (!plan.isSeriesMember && event.endDate() < rangeStart) {
        DDLogVerbose(QStringLiteral("Ignoring event: %1").arg(event.title()));
        plan.process = false;
        return;
    }
    const auto &end =
        plan.isSeriesMember && plan.hasRules ? event.recurrenceRules().first().recurrenceEnd() : std::nullopt;
    if (plan.isSeriesMember && end && end->endDate().isValid() && end->endDate() < rangeStart) {
        DDLogVerbose(QStringLiteral("Ignoring recurring event: %1").arg(event.title()));
        plan.process = false;
    }
}
