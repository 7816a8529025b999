// The calendar data source over Outlook: the events changed since the last sync read as sync records
// (one properties script per event), Outlook's deletions found through the calendar map, the
// occurrences removed from Outlook's series sent as cancelled occurrences, and the map kept in step
// once the other side has taken the records.
//
// The map's "LastModified" moves only with the commit after the other side answered, to one second
// before the read began: a run killed earlier reads the same events again.

#include "datasources/calendar/HMCalendarData.h"

#include "foundation/GlobalVariables.h"
#include "foundation/HMProfilesController.h"
#include "foundation/HMSyncProgressReporting.h"
#include "foundation/Lumberjack/DDLog.h"
#include "outlook/HMOutlookCategoryHelper.h"
#include "outlook/HMOutlookDatFileHelper.h"
#include "outlook/HMOutlookIdBookkeeping.h"
#include "outlook/HMOutlookSQLiteHelper.h"
#include "outlook/HMOutlookTempFile.h"
#include "platform/applescript/NSAppleScript.h"
#include "platform/foundation/UserDefaults.h"
#include "sync/HMProfile.h"

#include <QFile>
#include <QRegularExpression>
#include <QTimeZone>

#include <algorithm>

using platform::NSAppleEventDescriptor;
using platform::NSAppleScript;
using platform::NSAppleScriptError;
using Conduit = HMOutlookDatFileHelper::Conduit;

namespace {

void showProgress(const QString &text)
{
    if (const auto sheet = GlobalVariables::getCurrentSyncProgressController())
        sheet->setUserMessageDirectly(text);
}

QString propertiesScript(const QString &outlookId)
{
    const QString application = HMOutlookSQLiteHelper::outlookApplicationReference();
    return QStringLiteral("tell application \"%1\"\nset theEvents to the properties of calendar event id \"%2\" of "
                          "application \"%1\"\nreturn theEvents\nend tell")
        .arg(application, outlookId);
}

bool isGoogleDirect()
{
    return platform::UserDefaults::standardUserDefaults().stringForKey(QStringLiteral("SyncMethodSetting")) == u"direct";
}

// The text before the first match of `separator`, the whole text when there is none.
QString before(const QString &text, QChar separator)
{
    const qsizetype at = text.indexOf(separator);
    return at < 0 ? text : text.left(at);
}

} // namespace

void HMCalendarData::reachOutlookStep(OutlookStep step)
{
    callOutlookStepHook<HMCalendarData>(step);
}

void HMCalendarData::setOutlookStepHook(std::function<void(OutlookStep)> hook)
{
    outlookStepHook<HMCalendarData>() = std::move(hook);
}

HMOutlookDatFileHelper &HMCalendarData::outlookDatFileHelper()
{
    ensureOutlookHelpers();
    return m_outlookEvents->map();
}

HMOutlookConduit &HMCalendarData::outlookConduit()
{
    ensureOutlookHelpers();
    return *m_outlookEvents;
}

void HMCalendarData::ensureOutlookHelpers()
{
    if (!m_profile)
        outlookSyncsAttendees(); // takes the current profile
    if (!m_outlookEvents) {
        m_outlookEvents =
            std::make_unique<HMOutlookConduit>(Conduit::Calendar, QStringLiteral("event"), QStringLiteral("calendar"),
                                               callOutlookStepHook<HMCalendarData>);
        m_outlookEvents->setProfile(m_profile);
        // A run killed after the other side confirmed new events and before their commit left them in
        // the confirmed-pairs file: they join the map before anything reads it.
        m_outlookEvents->ids();
    }
}

void HMCalendarData::failOutlookRead(const QString &reason)
{
    ensureOutlookHelpers();
    m_outlookEvents->failRead(reason);
}

QString HMCalendarData::saveFailure() const
{
    return m_outlookEvents && !m_outlookEvents->failure().isEmpty() ? m_outlookEvents->failure() : HMBaseCalendarData::saveFailure();
}

std::optional<QList<HMSyncRecord>> HMCalendarData::syncOutlookRecordObjectsModifiedAfter(
    const QDateTime &date, bool includeDeletes, const QSet<QString> &excludedHmUids)
{
    DDLogInfo(QStringLiteral("Loading Outlook events modified after %1").arg(date.toString(Qt::ISODate)));
    ensureOutlookHelpers();
    // Outlook's dates are whole seconds and the map's date a second before the read began: the read
    // begins in a later second than this run's last write to Outlook, or that write would be read back.
    m_outlookEvents->beginRead();
    if (m_profile && m_profile->outlookCalendarFolderSelection().isEmpty())
        m_outlookEvents->outlook().setDefaultOutlookCalendarFolder();
    const std::optional<QStringList> changed = m_outlookEvents->outlook().getListOfEventIdsModifiedAfter(date);
    if (!changed) {
        failOutlookRead(QStringLiteral("Outlook's changed events could not be listed; nothing was sent."));
        return std::nullopt;
    }
    DDLogInfo(QStringLiteral("tempModifiedRecords.count %1").arg(changed->size()));
    m_dictionaryOfModifiedExceptions.clear();
    m_changedOccurrenceDays.clear();
    const QSet<QString> excluded = excludedOutlookIds(excludedHmUids);
    QStringList candidates = outlookEventCandidates(*changed, excluded);
    std::optional<QHash<QString, OutlookEventTimes>> times;
    std::optional<QHash<QString, QString>> texts = readOutlookEventTexts(candidates, times);
    if (!texts || !addSeriesOfChangedOccurrences(candidates, excluded, *texts, *times))
        return std::nullopt;
    QList<HMSyncRecord> records = outlookEventRecords(candidates, *texts, *times);
    if (includeDeletes)
        records += outlookEventDeletions(date);
    // Only Google takes a record as a cancelled occurrence: the phone's and the cloud's record forms
    // carry no status, so there it would be an event without a title. They have the removed
    // occurrence among the series' exception dates.
    if (isGoogleDirect())
        records += cancelledOutlookOccurrences(records);
    for (HMSyncRecord &record : records) {
        if (record.dictionary().contains(QStringLiteral("PARENTID")))
            record.setIsNew(false);
    }
    m_outlookEvents->readDone();
    return records;
}

// The Outlook ids of the records the other side changed in this sync: not echoed back.
QSet<QString> HMCalendarData::excludedOutlookIds(const QSet<QString> &excludedHmUids)
{
    showProgress(QStringLiteral("Scanning Outlook calendar for changes ..."));
    const QVariantMap map = excludedHmUids.isEmpty()
        ? QVariantMap()
        : m_outlookEvents->map().dictionaryForCalendarDatFile().value_or(QVariantMap());
    QSet<QString> excluded;
    qsizetype n = 0;
    for (const QString &hmUid : excludedHmUids) {
        showProgress(QStringLiteral("Looking for changed records %1").arg(++n));
        const QString outlookId = map.value(hmUid).toString();
        if (!outlookId.isEmpty())
            excluded.insert(outlookId);
    }
    DDLogInfo(QStringLiteral("idsToExlude.count %1").arg(excluded.size()));
    return excluded;
}

QStringList HMCalendarData::outlookEventCandidates(const QStringList &changed, const QSet<QString> &excluded)
{
    QStringList candidates;
    candidates.reserve(changed.size());
    for (qsizetype i = 0; i < changed.size(); ++i) {
        showProgress(QStringLiteral("Scanning Outlook calendar for changes %1").arg(i + 1));
        if (!excluded.contains(changed.at(i)))
            candidates.append(changed.at(i));
    }
    DDLogInfo(QStringLiteral("Done with idsToExlude"));
    showProgress(QStringLiteral("Scanning Outlook calendar for changes ..."));
    return candidates;
}

// A changed occurrence changes its series' exceptions: the series goes with it, read first. False
// when Outlook went away.
bool HMCalendarData::addSeriesOfChangedOccurrences(QStringList &candidates, const QSet<QString> &excluded,
                                                   QHash<QString, QString> &texts, QHash<QString, OutlookEventTimes> &times)
{
    QSet<QString> listed(candidates.cbegin(), candidates.cend());
    QStringList series;
    for (const QString &candidate : std::as_const(candidates)) {
        if (!texts.value(candidate).contains(QStringLiteral("\nRECURRENCE-ID;")))
            continue;
        const QString seriesId = seriesOutlookIdOfOccurrence(candidate);
        if (!seriesId.isEmpty() && !listed.contains(seriesId) && !excluded.contains(seriesId)) {
            listed.insert(seriesId);
            series.append(seriesId);
        }
    }
    if (series.isEmpty())
        return true;
    std::optional<QHash<QString, OutlookEventTimes>> seriesTimes;
    const std::optional<QHash<QString, QString>> seriesTexts = readOutlookEventTexts(series, seriesTimes);
    if (!seriesTexts)
        return false;
    texts.insert(*seriesTexts);
    times.insert(*seriesTimes);
    candidates = series + candidates;
    return true;
}

// The event's iCalendar text as the reader takes it (cut before its end line, with its category
// names), and its start and end; nullopt when the reply lacks the id or the text.
std::optional<std::pair<QString, QString>> HMCalendarData::outlookEventText(const NSAppleEventDescriptor &result)
{
    const QString id = result.descriptorForKeyword(platform::fourCharCode("ID  ")).stringValue();
    QString text = result.descriptorForKeyword(platform::fourCharCode("iCal")).stringValue();
    if (id.isEmpty() || text.isNull())
        return std::nullopt;
    // The end line is a line of its own: a note holding the text "END:VEVENT" ends nothing.
    static const QRegularExpression endLine(QStringLiteral("(^|\\n)END:VEVENT(\\r?\\n|$)"));
    if (const QRegularExpressionMatch end = endLine.match(text); end.hasMatch())
        text.truncate(end.capturedStart() + end.capturedLength(1));
    const QStringList categoryIds = HMOutlookCategoryHelper::categoryIdsOfReply(result);
    if (!categoryIds.isEmpty()) {
        if (!categoryHelper())
            setCategoryHelper(std::make_shared<HMOutlookCategoryHelper>());
        const QString names = categoryHelper()->categoryNameStringFromIdArray(categoryIds);
        if (!names.isNull())
            text = QStringLiteral("%1\nCATEGORIES:%2").arg(text, names);
    }
    return std::make_pair(id, text);
}

// One properties script per event, last to first. An event Outlook cannot answer for is left out;
// Outlook gone ends the read with nothing.
std::optional<QHash<QString, QString>> HMCalendarData::readOutlookEventTexts(
    QStringList &candidates, std::optional<QHash<QString, OutlookEventTimes>> &times)
{
    QHash<QString, QString> texts;
    times.emplace();
    texts.reserve(candidates.size());
    qint64 counter = 1;
    for (qsizetype i = candidates.size() - 1; i >= 0; --i) {
        std::optional<NSAppleScriptError> error;
        const NSAppleEventDescriptor result = HMOutlookSQLiteHelper::isDecimalId(candidates.at(i))
            ? NSAppleScript(propertiesScript(candidates.at(i))).executeAndReturnError(&error)
            : NSAppleEventDescriptor();
        if (error && error->isApplicationGone()) {
            failOutlookRead(QStringLiteral("Outlook did not answer while its events were read (%1); nothing was sent.")
                                .arg(error->number));
            return std::nullopt;
        }
        if (result.numberOfItems() < 1) {
            candidates.removeAt(i);
            continue;
        }
        showProgress(QStringLiteral("Reading modified record %1").arg(counter));
        const std::optional<std::pair<QString, QString>> text = outlookEventText(result);
        if (!text) {
            DDLogInfo(QStringLiteral("Unable to get vCardString from record."));
            candidates.removeAt(i);
            continue;
        }
        texts.insert(text->first, text->second);
        const auto dateAt = [&result](const NSAppleEventDescriptor &descriptor) {
            return dateFromEventDescriptor(descriptor).value_or(QDateTime());
        };
        times->insert(text->first, OutlookEventTimes{dateAt(result.descriptorForKeyword(platform::fourCharCode("offs"))),
                                                     dateAt(result.descriptorForKeyword(platform::fourCharCode("endT")))});
        ++counter;
    }
    DDLogInfo(QStringLiteral("DONE WITH ARRAY! (%1 records)").arg(texts.size()));
    return texts;
}

QList<HMSyncRecord> HMCalendarData::outlookEventRecords(const QStringList &candidates,
                                                        const QHash<QString, QString> &texts,
                                                        const QHash<QString, OutlookEventTimes> &times)
{
    if (candidates.isEmpty())
        return {};
    const bool googleDirect = isGoogleDirect();
    // Read once for the whole listing: the occurrences look their series up in it too.
    m_mappedDeviceIds = m_outlookEvents->ids().deviceIdsByOutlookId();
    m_insertIdMapping = GlobalVariables::getIdMappingForInsertRecords();
    const QHash<QString, QString> &deviceIds = *m_mappedDeviceIds;
    QList<HMSyncRecord> records;
    records.reserve(candidates.size());
    for (const QString &candidate : candidates) {
        HMSyncRecord record;
        record.setIsDelete(false);
        const QString deviceId = deviceIds.value(candidate);
        record.setIsNew(deviceId.isEmpty());
        record.setHmxUid(deviceId.isEmpty() ? newUid() : deviceId);
        if (deviceId.isEmpty() && googleDirect)
            record.setOutlookUid(candidate);
        records.append(record);
    }
    QList<HMSyncRecord> listed;
    for (qsizetype k = 0; k < candidates.size(); ++k) {
        showProgress(QStringLiteral("Sending calendar changes %1").arg(k + 1));
        if (std::optional<HMSyncRecord> record = outlookEventRecord(records[k], candidates.at(k), texts, times))
            listed.append(*record);
    }
    m_mappedDeviceIds.reset();
    GlobalVariables::setIdMappingForInsertRecords(*m_insertIdMapping);
    m_insertIdMapping.reset();
    return listed;
}

bool HMCalendarData::isOrganizedByGoogleUser(const QString &text)
{
    if (!m_profile || m_profile->googleDirectUsername().isEmpty() || m_profile->shouldSyncOrganizerMeetings() == u"yes")
        return false;
    static const QString marker = QStringLiteral("ORGANIZER:MAILTO:");
    for (const QString &line : text.split(u'\n')) {
        if (!line.startsWith(marker) || line.size() <= marker.size())
            continue;
        const QString address = line.mid(marker.size()).remove(u' ');
        if (address.contains(m_profile->googleDirectUsername())) {
            DDLogInfo(QStringLiteral("Ignoring event since ORGANIZER:MAILTO: %1 matches Google email: %2")
                          .arg(address, m_profile->googleDirectUsername()));
            return true;
        }
    }
    return false;
}

std::optional<HMSyncRecord> HMCalendarData::outlookEventRecord(HMSyncRecord record, const QString &candidate,
                                                               const QHash<QString, QString> &texts,
                                                               const QHash<QString, OutlookEventTimes> &times)
{
    const bool googleDirect = isGoogleDirect();
    const QString text = texts.value(candidate);
    const bool ignored = googleDirect && isOrganizedByGoogleUser(text);
    if (!record.hmxUid().isEmpty() && !record.outlookUid().isEmpty() && m_insertIdMapping)
        m_insertIdMapping->insert(record.outlookUid(), record.hmxUid());
    // The rule's count becomes an end instant in GMT for Google only. The phone and the cloud take the
    // end as a day: read as local, that instant falls a day early east of GMT and drops the last occurrence.
    if (googleDirect)
        m_isWritingToGoogleDirect = true;
    const OutlookEventTimes eventTimes = times.value(candidate);
    record.setDictionary(pppDictionaryForOutlookCalendarEvent(QStringLiteral("%1\nOUTLOOKID:%2").arg(text, candidate),
                                                              eventTimes.start, eventTimes.end, QString()));
    if (m_outlookOccurrenceUnknown) {
        // Its series is new to the other side (whose id for it comes with the answer) or Outlook could
        // not name it: the occurrence stays out of the map and goes with a later sync.
        DDLogInfo(QStringLiteral("The series of Outlook occurrence %1 is not known yet; the occurrence goes with a later sync")
                      .arg(candidate));
        return std::nullopt;
    }
    const QString assignedId = record.hmxUid();
    if (googleDirect && record.dictionary().contains(QStringLiteral("PARENTID")) && !before(assignedId, u'@').contains(u'_')) {
        const QString occurrenceId = exceptionIdFromDictionary(record.dictionary(), candidate);
        if (occurrenceId.isEmpty()) {
            DDLogError(QStringLiteral("Outlook occurrence %1 could not be named; it is not sent").arg(candidate));
            return std::nullopt;
        }
        record.setHmxUid(occurrenceId);
    }
    DDLogInfo(QStringLiteral("-- SUBJECT: %1").arg(record.dictionary().value(QStringLiteral("SUBJECT")).toString()));
    DDLogInfo(QStringLiteral("-- RRULE: %1").arg(record.dictionary().value(QStringLiteral("RRULE")).toString()));
    const bool outside = isOutsideOutlookDateRange(record.dictionary());
    DDLogInfo(QStringLiteral("eventIsOutsideDateRange %1").arg(int(outside)));
    if (outside || ignored)
        return std::nullopt;
    addRecordAddedToDevice(assignedId);
    if (record.isNew())
        uniqueIdsDictionary().insert(assignedId, candidate);
    return record;
}

bool HMCalendarData::isOutsideOutlookDateRange(const QVariantMap &record)
{
    const QDateTime rangeStart = dateRangeStartingDate();
    const QString rule = record.value(QStringLiteral("RRULE")).toString();
    if (rule.isEmpty()) {
        const QDateTime end = record.value(QStringLiteral("NSDATEENDDATE")).toDateTime();
        return end.isValid() && end < rangeStart;
    }
    const qsizetype at = rule.indexOf(QStringLiteral("UNTIL="));
    if (at < 0 || at + 6 >= rule.size())
        return false;
    const QString until = rule.mid(at + 6);
    if (!until.contains(u';'))
        return false;
    QDateTime end = QDateTime::fromString(before(until, u';').left(15), QStringLiteral("yyyyMMdd'T'HHmmss"));
    if (!end.isValid())
        return false;
    end.setTimeZone(QTimeZone::systemTimeZone());
    return end < rangeStart;
}

QList<HMSyncRecord> HMCalendarData::outlookEventDeletions(const QDateTime &date)
{
    showProgress(QStringLiteral("Checking for Outlook deletions"));
    const qint64 created = GlobalVariables::getOutlookVersionNumber().startsWith(QLatin1String("14"))
        ? m_outlookEvents->outlook().getCountOfOutlookCalendarEventsCreatedPriorTo(date)
        : m_outlookEvents->outlook().getCountOfOutlook15CalendarEventsCreatedPriorTo(date);
    const qsizetype mapped = m_outlookEvents->map().getAllOutlookEventIdsInDatFile().size();
    if (created == mapped - m_eventsAddedToOutlookOnThisSync)
        return {};
    DDLogInfo(QStringLiteral("Checking for deletions"));
    const std::optional<QStringList> gone = m_outlookEvents->ids().deviceIdsGoneFromOutlook();
    if (!gone)
        return {};
    QList<HMSyncRecord> deletions;
    for (const QString &deviceId : *gone) {
        idsToDeleteArray().append(deviceId);
        deletions.append(HMSyncRecord::deletionOf(deviceId));
    }
    return deletions;
}

// The occurrences a listed series holds as exceptions that no listed record stands for: removed from
// the series in Outlook, they are sent as cancelled occurrences. An occurrence Outlook holds changed is
// not removed, listed or not; nor is one removed from the series for an event of its own the map pairs
// with that occurrence (an occurrence moved on the other side, kept in Outlook apart from its series).
QList<HMSyncRecord> HMCalendarData::cancelledOutlookOccurrences(const QList<HMSyncRecord> &records)
{
    QStringList listedIds;
    listedIds.reserve(records.size());
    for (const HMSyncRecord &record : records)
        listedIds.append(record.hmxUid());
    std::sort(listedIds.begin(), listedIds.end());
    const auto isListed = [&listedIds](const QString &prefix) {
        const auto it = std::lower_bound(listedIds.cbegin(), listedIds.cend(), prefix);
        return it != listedIds.cend() && it->startsWith(prefix);
    };
    std::optional<QVariantMap> pairs;
    QList<HMSyncRecord> cancelled;
    for (const HMSyncRecord &record : records) {
        const QVariant exceptions = record.dictionary().value(QStringLiteral("NSARRAYEXCEPTIONS"));
        if (exceptions.typeId() != QMetaType::QStringList && exceptions.typeId() != QMetaType::QVariantList)
            continue;
        if (!pairs)
            pairs = m_outlookEvents->map().dictionaryForCalendarDatFile().value_or(QVariantMap());
        const QString outlookId = seriesOutlookIdOfRecord(record);
        const QSet<QString> changedDays = m_changedOccurrenceDays.value(outlookId);
        for (const QString &day : exceptions.toStringList()) {
            const QString idPart = QStringLiteral("%1_%2").arg(record.hmxUid(), day);
            QString t = idPart;
            if (const qsizetype at = idPart.indexOf(u'@'); at >= 0) {
                const qsizetype underscore = idPart.lastIndexOf(u'_');
                t = idPart.left(at) + (underscore >= 0 ? idPart.mid(underscore) : QString());
            }
            if (changedDays.contains(day) || isListed(t.remove(u'-')))
                continue;
            std::optional<HMSyncRecord> occurrence =
                cancelledOccurrence(idPart + u';' + outlookId, record.dictionary().value(QStringLiteral("TYPENUMBER")).toBool());
            if (occurrence && !pairs->contains(occurrence->hmxUid()))
                cancelled.append(*occurrence);
        }
    }
    return cancelled;
}

QString HMCalendarData::seriesOutlookIdOfRecord(const HMSyncRecord &record)
{
    QString outlookId = record.outlookUid();
    if (outlookId.isEmpty())
        outlookId = m_outlookEvents->map().getOutlookEventIdForDeviceEventId(record.hmxUid());
    if (outlookId.isEmpty())
        outlookId = uniqueIdsDictionary().value(record.hmxUid()).toString();
    return outlookId;
}

std::optional<HMSyncRecord> HMCalendarData::cancelledOccurrence(const QString &deleted, bool allDay)
{
    const qsizetype underscore = deleted.indexOf(u'_');
    const qsizetype semicolon = deleted.indexOf(u';');
    const QString parent = underscore < 0 ? QString() : deleted.left(underscore);
    const QString outlookId = semicolon < 0 ? QString() : deleted.mid(semicolon + 1);
    const QString day = underscore < 0 ? QString() : deleted.mid(underscore, semicolon < 0 ? -1 : semicolon - underscore);
    const QString eventId = deleteExceptionIdFromDictionary(
        {{QStringLiteral("PARENTID"), parent}, {QStringLiteral("DATESTRING"), day}, {QStringLiteral("TYPENUMBER"), allDay}},
        outlookId);
    if (eventId.isEmpty()) {
        DDLogError(QStringLiteral("The removed occurrence %1 could not be named; it is not sent").arg(deleted));
        return std::nullopt;
    }
    QString dateText = before(eventId, u'@');
    dateText = dateText.mid(std::max<qsizetype>(0, dateText.indexOf(u'_')));
    while (dateText.size() >= 2 && dateText.startsWith(u'_'))
        dateText.remove(0, 1);
    HMSyncRecord record;
    record.setIsNew(false);
    record.setIsDelete(false);
    record.setHmxUid(eventId);
    // The series' Outlook id: should the other side not take the cancellation, the series is read
    // again at the next sync, and with it its removed occurrences.
    record.setOutlookUid(outlookId);
    QVariantMap dictionary{{QStringLiteral("STATUS"), QStringLiteral("cancelled")},
                           {QStringLiteral("TZ_DATA"), QStringLiteral("-480\t60")}};
    // The id holds the occurrence's instant in GMT.
    QDateTime date = QDateTime::fromString(dateText, QStringLiteral("yyyyMMdd'T'HHmmss'Z'"));
    if (date.isValid()) {
        date.setTimeZone(QTimeZone::utc());
        dictionary.insert(QStringLiteral("NSDATESTARTDATE"), date);
        dictionary.insert(QStringLiteral("NSDATEENDDATE"), date);
    }
    record.setDictionary(dictionary);
    return record;
}

// ---- The calendar map ----------------------------------------------------------------------------

QDateTime HMCalendarData::getOutlookLastListCommandDate()
{
    return outlookDatFileHelper().getLastListCommandEvents();
}

void HMCalendarData::removeDeletedOutlookIdsFromDatFile()
{
    ensureOutlookHelpers();
    m_outlookEvents->ids().removeDeletedOutlookIdsFromDatFile();
}

void HMCalendarData::deleteOutlookUidRecords(const QStringList &hmUids)
{
    DDLogInfo(QStringLiteral("uidList %1").arg(hmUids.join(u',')));
    continueDeleting(hmUids);
}

void HMCalendarData::continueDeleting(const QStringList &hmUids)
{
    ensureOutlookHelpers();
    if (!m_ignoreDeletes)
        m_outlookEvents->deleteOutlookRecords(hmUids, &m_outlookDupeCheckDictionary, QStringLiteral("Deleting calendar event %1"));
    m_uidsToDeleteInOutlook.clear();
    GlobalVariables::setIsProcessingDeletes(false);
}
