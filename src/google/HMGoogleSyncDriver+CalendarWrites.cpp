// The Outlook-to-Google half of the calendar conduit: Outlook's changed events become inserts,
// updates and deletions of Google events, one request per event.
//
// What makes a killed or cut batch safe: the calendar map's Outlook date moves only at the end of the
// batch, and the events whose writes Google did not take are listed beside the map first, to go again
// (+UnansweredWrites). An insert
// carries an id of our own, kept beside the map before it is sent: sent again after an answer that
// never came, it carries the same id, and Google's 409 (the id is taken) pairs it. An answered write's
// "updated" is kept beside the map, so the next listing passes over our own write.
#include "google/HMGoogleSyncDriver.h"

#include "foundation/GlobalVariables.h"
#include "foundation/HMSyncProgressReporting.h"
#include "foundation/Lumberjack/DDLog.h"
#include "google/GoogleEventList.h"
#include "google/GoogleHosts.h"
#include "google/GoogleWrittenEntries.h"
#include "outlook/HMOutlookDatFileHelper.h"
#include "platform/restkit/RKClient.h"
#include "platform/restkit/RKRequest.h"
#include "platform/restkit/RKRequestSerialization.h"
#include "sync/HMData.h"
#include "sync/HMProfile.h"
#include "sync/HMSyncRecord.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>

namespace {

// Google takes event ids in base32hex (digits and lower-case letters): an id of Outlook's (a UUID) goes
// without its dashes, cut to 32 characters, as the series it names was inserted.
QString googleEventId(const QString &id)
{
    return QString(id).remove(u'-').left(32).toLower();
}

// An occurrence's id ("SERIES_20270511T090000Z") with its series part in Google's form; a series part
// Google made (never holding a dash) stays as it is.
QString googleOccurrenceId(const QString &id)
{
    const QString series = id.section(u'_', 0, 0);
    return series.contains(u'-') ? googleEventId(series) + id.mid(series.size()) : id;
}

enum Kind { kInsert = 0, kUpdate = 1, kDelete = 2 };

bool isSuccess(int status)
{
    return status >= 200 && status <= 299;
}

// The ids of inserts as sent, by Outlook id, kept until the batch is wholly answered.
GoogleWrittenEntries sentInserts()
{
    return GoogleWrittenEntries(HMOutlookDatFileHelper().calendarFilePath() + QStringLiteral(".google-sent"));
}

// Google's "updated" of the event its answer holds; empty when the answer is no object or has none.
// The answer holds the whole event but only this member is needed, and building the object was most
// of an answer's cost: it is read by a scan, and an answer the scan cannot read plainly is parsed whole.
QString updatedOfAnswer(const QByteArray &body)
{
    if (std::optional<QString> updated = googleeventlist::topLevelText(body, "updated"))
        return *std::move(updated);
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        DDLogInfo(QStringLiteral("The answer to an event write is not a JSON object"));
        return {};
    }
    return document.object().value(QLatin1String("updated")).toString();
}

// The calendar of a category: the last of the record's categories that names a Google calendar.
QString calendarOfCategories(const QVariantMap &record, const QVariantList &calendars, QString calendarId)
{
    for (const QVariant &category : record.value(QStringLiteral("NSARRAYCATEGORIES")).toList()) {
        for (const QVariant &entry : calendars) {
            const QVariantMap calendar = entry.toMap();
            if (calendar.value(QStringLiteral("name")).toString() == category.toString()) {
                calendarId = calendar.value(QStringLiteral("id")).toString();
                break;
            }
        }
    }
    return calendarId;
}

} // namespace

struct HMGoogleSyncDriver::EventWrite
{
    int kind = kInsert;
    QVariantMap record;
    QString eventId;
    QString calendarId;
    QString outlookId;
    QString hmxUid;
    bool isNew = false; // its pair is made from the answer
    // A new series' occurrences (changed or removed in Outlook): Google names them by the series' id,
    // so they go once Google holds the series, after its insert's answer.
    std::vector<EventWrite> occurrences;
};

void HMGoogleSyncDriver::listOutlookEvents()
{
    if (stopsForCancel())
        return;
    DDLogInfo(QStringLiteral("listOutlookEvents"));
    if (!showsOutlookReading(m_calendarData != nullptr, QStringLiteral("calendar"), 0.4))
        return;
    // The listing before this stage has read past every answer kept by the last sync.
    if (!writtenEvents().clear())
        DDLogError(QStringLiteral("The list of events written to Google could not be emptied"));
    const std::optional<QList<HMSyncRecord>> records =
        outlookChangesToSend(*m_calendarData, QStringLiteral("calendar"));
    if (!records)
        return;
    for (const HMSyncRecord &record : *records)
        DDLogVerbose(QStringLiteral("Sync Record: %1").arg(QString::fromUtf8(
            QJsonDocument(QJsonObject::fromVariantMap(record.dictionary())).toJson(QJsonDocument::Compact))));
    m_recordCounter = 0;
    m_deletionsCounter = 0;
    updateConduit(QStringLiteral("Calendar"), *records);
}

HMGoogleSyncDriver::EventWrite HMGoogleSyncDriver::eventWriteOfRecord(const HMSyncRecord &record, int kind) const
{
    EventWrite write;
    write.kind = kind;
    write.record = record.dictionary();
    write.hmxUid = record.hmxUid();
    write.outlookId = record.outlookUid();
    const qsizetype at = write.hmxUid.indexOf(u'@');
    write.eventId = at < 0 ? write.hmxUid : write.hmxUid.left(at);
    write.calendarId = at < 0 ? QString() : write.hmxUid.mid(at + 1);
    write.isNew = kind == kInsert;
    // The series' Google id, without its calendar.
    if (!record.theParentId().isEmpty())
        write.record.insert(QStringLiteral("PARENTID"), record.theParentId().section(u'@', 0, 0));
    const QString defaultCalendar = GlobalVariables::getDefaultGoogleCalendatIdentifier().isEmpty()
                                        ? QStringLiteral("primary")
                                        : GlobalVariables::getDefaultGoogleCalendatIdentifier();
    if (kind == kInsert && write.eventId.contains(u'_') && write.record.contains(QStringLiteral("PARENTID"))) {
        // A changed occurrence of a series Google holds: Google names it by the series and its
        // original start, and it is written there.
        write.kind = kUpdate;
    } else if (kind == kInsert) {
        write.eventId = googleEventId(write.eventId);
        write.calendarId.clear();
    }
    // An occurrence Outlook changed or cancelled names its series as Outlook does; the series went
    // to Google under its id in Google's form.
    if (write.kind != kInsert && write.eventId.contains(u'_'))
        write.eventId = googleOccurrenceId(write.eventId);
    if (write.calendarId.isEmpty())
        write.calendarId = defaultCalendar;
    if (kind != kDelete && m_profile)
        write.calendarId = calendarOfCategories(write.record, m_profile->allGoogleCalendars(), write.calendarId);
    if (!write.eventId.isEmpty())
        write.record.insert(QStringLiteral("Id"), write.eventId);
    write.record.insert(QStringLiteral("googleCalendarId"), write.calendarId);
    if (!write.outlookId.isEmpty())
        write.record.insert(QStringLiteral("outlookId"), write.outlookId);
    return write;
}

bool HMGoogleSyncDriver::updateConduit(const QString &, const QList<HMSyncRecord> &records)
{
    if (!startsBatch(Conduit::Calendar))
        return false;
    if (records.isEmpty()) {
        DDLogInfo(QStringLiteral("Not sending device updates due to no changes since last sync"));
        return finishEmptyBatch(*m_calendarData, Conduit::Calendar);
    }
    const QList<EventWrite> writes = eventWritesOfRecords(records);
    makeClient(googlehosts::apiHost());
    for (const EventWrite &write : writes) {
        if (stopsForCancel())
            return false;
        m_responseCounter += 1 + qint64(write.occurrences.size());
        sendEventWrite(write);
    }
    checkForEndConduit();
    return true;
}

// Every record goes in this batch: a window left for a later call that never comes would be passed
// over by the date the batch moves. Inserts first (series and single events before occurrences), then
// updates, then deletions; an insert goes with the id it carried before, kept beside the map.
QList<HMGoogleSyncDriver::EventWrite> HMGoogleSyncDriver::eventWritesOfRecords(const QList<HMSyncRecord> &records) const
{
    QList<EventWrite> inserts;
    QList<EventWrite> others;
    // One file kept open for the batch's ids: each is written as it is made, before its insert goes.
    GoogleWrittenEntries sent = sentInserts();
    const QHash<QString, QString> keptIds = sent.load();
    for (const HMSyncRecord &record : records) {
        const int kind = record.isDelete() ? kDelete : record.isNew() ? kInsert : kUpdate;
        if (kind == kDelete && !m_allowDeletesFromOutlook)
            continue;
        EventWrite write = eventWriteOfRecord(record, kind);
        if (write.kind != kInsert) {
            others << write;
            continue;
        }
        if (const QString kept = keptIds.value(write.outlookId); !write.outlookId.isEmpty() && !kept.isEmpty())
            write.record.insert(QStringLiteral("Id"), write.eventId = kept);
        else if (!write.outlookId.isEmpty() && !sent.append(write.outlookId, write.eventId))
            DDLogError(QStringLiteral("The id sent for event %1 could not be kept").arg(write.outlookId));
        // Series and single events go before the occurrences that need them.
        if (write.record.contains(QStringLiteral("PARENTID")))
            inserts.append(write);
        else
            inserts.prepend(write);
    }
    std::stable_sort(others.begin(), others.end(), [](const EventWrite &a, const EventWrite &b) { return a.kind < b.kind; });
    attachOccurrencesToNewSeries(inserts, others);
    return inserts + others;
}

// An occurrence of a series new in this batch is named by the id Outlook's reader gave the series
// (with or without its dashes), not by the id the series goes to Google with: it takes that id, the
// series' calendar, and waits for the series' insert.
void HMGoogleSyncDriver::attachOccurrencesToNewSeries(QList<EventWrite> &inserts, QList<EventWrite> &others)
{
    // Occurrence ids have had their series part put in Google's form already (googleOccurrenceId):
    // the reader's ids are keyed in that form too.
    const auto seriesKey = [](const QString &id) { return id.contains(u'-') ? googleEventId(id) : id.toLower(); };
    QHash<QString, qsizetype> seriesByReaderId;
    for (qsizetype i = 0; i < inserts.size(); ++i) {
        if (!inserts.at(i).record.contains(QStringLiteral("PARENTID")))
            seriesByReaderId.insert(seriesKey(inserts.at(i).hmxUid.section(u'@', 0, 0)), i);
    }
    const auto attach = [&](QList<EventWrite> &writes) {
        for (qsizetype i = writes.size() - 1; i >= 0; --i) {
            EventWrite &write = writes[i];
            // An insert's id holds no "_": only changed and removed occurrences are named so.
            const qsizetype underscore = write.eventId.indexOf(u'_');
            const auto series = underscore <= 0 ? seriesByReaderId.constEnd()
                                                : seriesByReaderId.constFind(seriesKey(write.eventId.left(underscore)));
            if (write.kind == kDelete || series == seriesByReaderId.constEnd())
                continue;
            EventWrite &seriesWrite = inserts[series.value()];
            write.eventId = seriesWrite.eventId + write.eventId.mid(underscore);
            write.calendarId = seriesWrite.calendarId;
            write.record.insert(QStringLiteral("Id"), write.eventId);
            write.record.insert(QStringLiteral("googleCalendarId"), write.calendarId);
            if (write.record.contains(QStringLiteral("PARENTID")))
                write.record.insert(QStringLiteral("PARENTID"), seriesWrite.eventId);
            seriesWrite.occurrences.insert(seriesWrite.occurrences.begin(), std::move(write));
            writes.removeAt(i);
        }
    };
    attach(others);
}

// Once the series' insert is answered: its occurrences go when Google holds the series (it took the
// insert, or answered that it holds the id already); otherwise they go again with the series at the
// next sync. Each was counted as open when the batch began.
void HMGoogleSyncDriver::sendOccurrencesOfSeries(const EventWrite &series, bool seriesHeld)
{
    for (const EventWrite &occurrence : series.occurrences) {
        if (seriesHeld && !m_shouldCancel->load()) {
            sendEventWrite(occurrence);
            continue;
        }
        noteWriteNotTaken(Conduit::Calendar, occurrence.outlookId, occurrence.hmxUid);
        --m_responseCounter;
    }
}

void HMGoogleSyncDriver::sendEventWrite(const EventWrite &write)
{
    const QString calendar = googleeventlist::calendarIdForPath(write.calendarId);
    const QString event = QString::fromLatin1(QUrl::toPercentEncoding(write.eventId));
    const QString path = write.kind == kInsert ? QStringLiteral("calendar/v3/calendars/%1/events").arg(calendar)
                                               : QStringLiteral("calendar/v3/calendars/%1/events/%2").arg(calendar, event);
    const std::weak_ptr<HMGoogleSyncDriver> weak = weak_from_this();
    // One copy of the write (with a new series' occurrences) shared by both answers' callbacks.
    const auto sent = std::make_shared<const EventWrite>(write);
    const auto request = makeRequest(
        path, write.kind == kInsert ? 1 : write.kind == kUpdate ? 2 : 3,
        [weak, sent](int status, const QByteArray &body) {
            if (const std::shared_ptr<HMGoogleSyncDriver> driver = weak.lock())
                driver->eventWriteReturned(*sent, status, body);
        },
        [weak, sent](const QString &description) {
            DDLogError(QStringLiteral("%1: %2")
                           .arg(sent->kind == kInsert   ? QStringLiteral("ERROR[DI]")
                                : sent->kind == kUpdate ? QStringLiteral("ERROR[DU]")
                                                        : QStringLiteral("ERROR[DD]"),
                                description));
            if (const std::shared_ptr<HMGoogleSyncDriver> driver = weak.lock()) {
                driver->noteWriteNotTaken(Conduit::Calendar, sent->outlookId, sent->hmxUid);
                --driver->m_responseCounter;
                driver->sendOccurrencesOfSeries(*sent, false);
            }
        });
    if (write.kind != kDelete) {
        const QString type = write.kind == kInsert ? QStringLiteral("insert") : QStringLiteral("update");
        const QString json = jsonStringFromDictionary(makeParameterDictionary(write.record, type, QStringLiteral("Calendar")));
        request->setParams(platform::RKRequestSerialization::serializationWithData(json.toUtf8(),
                                                                                   QStringLiteral("application/json")));
    }
    request->setMaxResponseBytes(googlehosts::kMaxWriteReplyBytes);
    // Should its answer never come, Google's copy read back before it goes again is taken for ours:
    // read as Google's change, it would make a second Outlook copy of a changed occurrence and keep
    // a new series out of the upload that sends its occurrences.
    if (marksWriteUnanswered(write) && !writtenEvents().append(write.eventId + u'@' + write.calendarId, googleeventlist::kWriteUnanswered))
        DDLogError(QStringLiteral("The write of event %1 could not be noted").arg(write.eventId));
    request->send();
}

bool HMGoogleSyncDriver::marksWriteUnanswered(const EventWrite &write)
{
    return write.kind != kDelete && (write.eventId.contains(u'_') || !write.occurrences.empty());
}

// The pair first, then Google's "updated" beside the map: a kill between the two gives a mapped event
// coming back as a change, never an unpaired copy. A new series' occurrences go after both.
void HMGoogleSyncDriver::eventWriteReturned(const EventWrite &write, int status, const QByteArray &body)
{
    --m_responseCounter;
    if (write.kind == kDelete) {
        ++m_deletionsCounter;
        if (!isSuccess(status) && status != 404 && status != 410)
            noteWriteNotTaken(Conduit::Calendar, write.outlookId, write.hmxUid);
        return;
    }
    ++m_recordCounter;
    if (const auto sheet = GlobalVariables::getCurrentSyncProgressController(); sheet && !m_shouldCancel->load())
        sheet->setUserMessageDirectly(QStringLiteral("Sending events to Google %1").arg(m_recordCounter));
    const bool held = keepEventWriteAnswer(write, status, body);
    sendOccurrencesOfSeries(write, held);
}

// Whether Google holds the event written. An insert answered 409 carried an id Google holds already:
// the copy a lost answer left. The pair is kept before Google's "updated" (or, for a write noted as
// unanswered, before that note is lifted).
bool HMGoogleSyncDriver::keepEventWriteAnswer(const EventWrite &write, int status, const QByteArray &body)
{
    const QString key = write.eventId + u'@' + write.calendarId;
    QString updated;
    bool held = true;
    if (write.kind == kInsert && status == 409) {
        m_calendarData->replaceTempId(write.hmxUid, key);
    } else if (status == 410 && write.record.value(QStringLiteral("STATUS")).toString() == QLatin1String("cancelled")) {
        // An occurrence cancelled again (its series read again after an edit) is gone already: done.
    } else if (!isSuccess(status)) {
        DDLogError(QStringLiteral("%1 Response dictionary %2").arg(status).arg(QString::fromUtf8(body.left(500))));
        noteWriteNotTaken(Conduit::Calendar, write.outlookId, write.hmxUid);
        if (write.kind == kUpdate && !write.isNew)
            forgetsPairGoneFromGoogle(*m_calendarData, write.hmxUid, status);
        held = false;
    } else {
        if (write.isNew)
            m_calendarData->replaceTempId(write.hmxUid, key);
        updated = updatedOfAnswer(body);
    }
    if ((!updated.isEmpty() || marksWriteUnanswered(write)) && !writtenEvents().append(key, updated))
        DDLogError(QStringLiteral("Google's answer for event %1 could not be kept").arg(key));
    return held;
}

void HMGoogleSyncDriver::checkForEndConduit()
{
    if (stopsForCancel())
        return;
    if (m_responseCounter > 0) {
        after(1.0, [](HMGoogleSyncDriver &driver) { driver.checkForEndConduit(); });
        return;
    }
    if (!batchTaken(Conduit::Calendar))
        DDLogError(QStringLiteral("Not every event change was taken by Google; the rest is sent again at the next sync"));
    commitWrites(*m_calendarData, Conduit::Calendar);
    if (batchTaken(Conduit::Calendar) && !sentInserts().clear())
        DDLogError(QStringLiteral("The ids of the events sent could not be forgotten"));
    if (m_delegate != nullptr)
        m_delegate->endConduit();
}
