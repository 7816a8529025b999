// The cloud's records: the listing of a conduit page by page ("/getdata.php") and the updates in
// batches of five ("/update.php"). Each call runs on the run queue and returns once its reply is
// handled, so the controller never moves on before the cloud said what it has and what it kept.
#include "cloud/HMQuillnestSync.h"

#include "foundation/GlobalVariables.h"
#include "foundation/Lumberjack/DDLog.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/restkit/RKClient.h"
#include "platform/restkit/RKParserRegistry.h"
#include "push/Client/HMXMPPClient.h"
#include "sync/HMSyncClientDelegate.h"
#include "sync/HMSyncTypes.h"

#include <QSet>

#include <algorithm>

using platform::PlatformError;
using platform::RKRequest;
using platform::RKRequestOutcome;

namespace {

constexpr double kListTimeoutSeconds = 30.0;
constexpr double kUpdateTimeoutSeconds = 60.0;
// The longest reply text an aborted listing reports.
constexpr qsizetype kReportedReplyChars = 4096;

QString conduitLetter(quint64 conduit)
{
    static const QStringList letters{QStringLiteral("A"), QStringLiteral("D"), QStringLiteral("T"),
                                     QStringLiteral("M")};
    return conduit >= 1 && conduit <= 4 ? letters.at(qsizetype(conduit - 1)) : QString();
}

QStringList errorLogIds(quint64 conduit)
{
    switch (conduit) {
    case 1:
        return GlobalVariables::getErrorLogContactIds();
    case 2:
        return GlobalVariables::getErrorLogCalendarIds();
    case 3:
        return GlobalVariables::getErrorLogTaskIds();
    case 4:
        return GlobalVariables::getErrorLogMemoIds();
    default:
        return {};
    }
}

bool containsIgnoringCase(const QStringList &ids, const QString &id)
{
    return std::any_of(ids.cbegin(), ids.cend(),
                       [&id](const QString &known) { return known.compare(id, Qt::CaseInsensitive) == 0; });
}

// A cloud flag: 1, "1" or true.
bool isSet(const QVariant &value)
{
    if (value.typeId() == QMetaType::Bool)
        return value.toBool();
    return value.toString().trimmed() == QLatin1String("1");
}

QVariantMap detailedEntry(int action, bool succeeded, const QString &id, const QString &message)
{
    return QVariantMap{{QStringLiteral("ActionKey"), action},
                       {QStringLiteral("ResultKey"), succeeded ? 0 : 1},
                       {QStringLiteral("IdKey"), id},
                       {QStringLiteral("MessageKey"), message}};
}

QStringList idsOf(const QVariantList &list)
{
    QStringList ids;
    for (const QVariant &item : list)
        ids << item.toMap().value(QStringLiteral("Id")).toString();
    return ids;
}

} // namespace

struct HMQuillnestSync::ListedPage
{
    QList<QVariantMap> records;
    qsizetype batchSize = 0;
    QStringList photoIds;
};

struct HMQuillnestSync::BatchAnswers
{
    QList<QVariantMap> detailed;
    QVariantMap confirmedInserts;
    qsizetype unsettled = 0;
};

QString HMQuillnestSync::tableForConduit(quint64 conduit)
{
    static const QStringList tables{QStringLiteral("Contacts"), QStringLiteral("Calendar"), QStringLiteral("Tasks"),
                                    QStringLiteral("Notes")};
    return conduit >= 1 && conduit <= 4 ? tables.at(qsizetype(conduit - 1)) : QString();
}

void HMQuillnestSync::noteStatusSynchronizing()
{
    platform::DispatchQueue::global()->async([] { HMXMPPClient::setStatus(QStringLiteral("Synchronizing")); });
}

RKRequestOutcome HMQuillnestSync::sendAndWait(const QString &path, double timeoutSeconds, const QByteArray &body,
                                              const QString &contentType, qint64 maxReplyBytes)
{
    bool isGoing = false;
    const std::shared_ptr<platform::RKClient> client = clientUnlessGoing(&isGoing);
    if (isGoing)
        return RKRequestOutcome::cancelled();
    if (!client)
        return RKRequestOutcome::failed(
            PlatformError::withDescription(kHttpStatusErrorDomain, 0, QStringLiteral("The cloud client is not set up.")));
    std::shared_ptr<RKRequest> request = newPost(*client, path, timeoutSeconds, maxReplyBytes);
    request->setDelegate(this);
    request->setHTTPBody(body, contentType);
    if (!keepUnlessGoing(request, true))
        return RKRequestOutcome::cancelled();
    RKRequestOutcome outcome = request->sendSynchronously();
    if (outcome.isLoaded() && !outcome.response().isSuccessful()) {
        const int status = outcome.response().statusCode();
        outcome = RKRequestOutcome::failed(httpStatusError(status));
    }
    if (outcome.kind() == RKRequestOutcome::Kind::Failed)
        noteFailure(path, outcome.error());
    return outcome;
}

// Listing ----------------------------------------------------------------------------------------------

QVariantMap HMQuillnestSync::listBody(quint64 conduit, const QDateTime &modifiedSince, qint32 limit,
                                      qint64 offset) const
{
    QVariantMap body = postParameterDictionary();
    const QString table = tableForConduit(conduit);
    if (!table.isEmpty())
        body.insert(QStringLiteral("Table"), table);
    if (modifiedSince.isValid())
        body.insert(QStringLiteral("Modified"), modifiedSince.toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")));
    const QString session = sessionIdentifier();
    body.insert(QStringLiteral("Session"), session.isEmpty() ? QStringLiteral("0") : session);
    body.insert(QStringLiteral("Limit"), QString::number(limit));
    body.insert(QStringLiteral("Offset"), QString::number(offset));
    return body;
}

bool HMQuillnestSync::listRecordsForConduit(quint64 conduit, const QDateTime &modifiedSince)
{
    HMSyncClientDelegate *target = reportTo();
    if (target == nullptr)
        return false;
    // Error recovery: the conduit is listed whole and only the records of the error log are taken.
    const QString letter = conduitLetter(conduit);
    const bool inRecovery = !letter.isEmpty() && GlobalVariables::getErrorRecoverySyncConduits().contains(letter);
    const QStringList recoveryIds = inRecovery ? errorLogIds(conduit) : QStringList();
    qint64 offset = 0;
    {
        const std::lock_guard lock(m_mutex);
        if (m_lastConduitUsedInListMethod != conduit)
            m_offset = 0;
        m_lastConduitUsedInListMethod = conduit;
        offset = m_offset;
    }
    DDLogVerbose(QStringLiteral("In listRecordsForConduit method"));
    noteStatusSynchronizing();
    stopRepeatingTimer();
    qint32 limit = kListLimit;
    const std::optional<QVariantMap> reply = fetchListPage(conduit, inRecovery ? QDateTime() : modifiedSince, offset, limit);
    // A failure or cancel was reported where it happened.
    if (!reply)
        return true;
    ListedPage page = readListedPage(conduit, *reply, limit, inRecovery ? &recoveryIds : nullptr);
    target->listCommandReturnedWithDictionaries(page.records);
    DDLogVerbose(QStringLiteral("Quillnest returned %1 records in current batch").arg(page.batchSize));
    {
        const std::lock_guard lock(m_mutex);
        m_offset += limit;
        m_contactsWithUpdatedPhotos = page.photoIds;
    }
    DDLogVerbose(QStringLiteral("List command returned successful"));
    answerListedPage(*target, conduit, page.batchSize, limit, inRecovery);
    const bool isFirstContactsPage =
        conduit == quint64(HMSyncConduit::Contacts) && offset == 0 && GlobalVariables::getIsOutlookSync();
    const std::optional<qsizetype> photosNotHandedOver = getContactPhotosForUniqueIds(isFirstContactsPage);
    setContactsWithUpdatedPhotosInQuillnest({});
    // A cancel during the downloads was reported by its request.
    if (!photosNotHandedOver)
        return true;
    if (*photosNotHandedOver > 0) {
        endListingForMissingPhotos(*target, *photosNotHandedOver);
        return true;
    }
    target->listCommandFinishedSuccessful(true);
    startFireDateTimer();
    return true;
}

// The run ends before the contacts' listing date can move: the next sync lists these contacts again
// and asks for their pictures once more.
void HMQuillnestSync::endListingForMissingPhotos(HMSyncClientDelegate &target, qsizetype missing)
{
    target.didErrorWithError(
        6, QStringLiteral("The cloud did not hand over the photos of %1 contacts; they are asked for again at the "
                          "next sync.")
               .arg(missing));
    target.writeRemainOnCurrentConduit(false);
    target.listCommandFinishedSuccessful(false);
    target.commandErroredStopProcessing();
}

// One page, asked again with a quarter of the limit while the reply is no JSON object: 512, 128, 32, 8
// and 2, then the run ends. Nothing when the run ends (reported here) or was cancelled (reported by
// the request).
std::optional<QVariantMap> HMQuillnestSync::fetchListPage(quint64 conduit, const QDateTime &since, qint64 offset,
                                                          qint32 &limit)
{
    for (;;) {
        const QVariantMap body = listBody(conduit, since, limit, offset);
        DDLogVerbose(QStringLiteral("Sending request to Quillnest server: %1").arg(loggableJson(body)));
        DDLogVerbose(QStringLiteral("Sending list request"));
        const RKRequestOutcome outcome =
            sendAndWait(QStringLiteral("/getdata.php"), kListTimeoutSeconds, jsonStringFromDictionary(body).toUtf8(),
                        QString::fromLatin1(platform::RKMIMETypeJSON), kMaxReplyBytes);
        HMSyncClientDelegate *target = reportTo();
        if (outcome.kind() == RKRequestOutcome::Kind::Cancelled || target == nullptr)
            return std::nullopt;
        if (outcome.kind() == RKRequestOutcome::Kind::Failed) {
            // The failure ends the waiting call and the run alike.
            handleRKError(outcome.error());
            target->listCommandFinishedSuccessful(false);
            return std::nullopt;
        }
        const QString text = outcome.response().bodyAsString();
        DDLogVerbose(QStringLiteral("Response size: %1").arg(text.size()));
        noteStatusSynchronizing();
        if (std::optional<QVariantMap> reply = dictionaryForJsonString(text))
            return reply;
        limit /= 4;
        if (limit >= 2) {
            DDLogWarn(QStringLiteral("LIST DICTIONARY IS NIL. ADJUSTING LIMIT SIZE to %1").arg(limit));
            continue;
        }
        DDLogError(QStringLiteral("LIST DICTIONARY IS NIL. LIMIT SIZE IS %1. CANNOT REDUCE. ABORTING SYNC.").arg(limit));
        stopRepeatingTimer();
        target->didErrorWithError(6, text.left(kReportedReplyChars));
        target->listCommandFinishedSuccessful(false);
        target->commandErroredStopProcessing();
        return std::nullopt;
    }
}

// The page's records as the controller takes them. A page longer than its limit is cut to the limit:
// the rows beyond would be listed again on the next page.
HMQuillnestSync::ListedPage HMQuillnestSync::readListedPage(quint64 conduit, const QVariantMap &reply, qint32 limit,
                                                            const QStringList *recoveryIds)
{
    ListedPage page;
    QVariantList rows = reply.value(tableForConduit(conduit)).toList();
    if (rows.size() > limit) {
        DDLogWarn(QStringLiteral("The cloud sent %1 records for a page of %2; the first %2 are taken")
                      .arg(rows.size())
                      .arg(limit));
        rows = rows.mid(0, limit);
    }
    page.batchSize = rows.size();
    const QVariantMap map = m_toEngineMaps.value(qsizetype(conduit));
    for (const QVariant &row : std::as_const(rows)) {
        if (row.typeId() != QMetaType::QVariantMap)
            continue;
        QVariantMap record = dictionaryWithKeysRenamed(row.toMap(), map);
        prepareForEngineDictionary(record, conduit);
        const QString uid = record.value(QStringLiteral("UID")).toString();
        if (conduit == 1 && isSet(record.value(QStringLiteral("PHOTO"))) && !isSet(record.value(QStringLiteral("DELETED")))) {
            if (isSafeFileId(uid)) {
                DDLogVerbose(QStringLiteral("Adding photo for uid %1").arg(uid));
                page.photoIds.append(uid);
            } else {
                DDLogError(QStringLiteral("Not fetching the photo of '%1': the id cannot name a file").arg(uid.left(80)));
            }
        }
        if (recoveryIds != nullptr && (uid.isEmpty() || !containsIgnoringCase(*recoveryIds, uid)))
            continue;
        page.records.append(record);
    }
    return page;
}

void HMQuillnestSync::answerListedPage(HMSyncClientDelegate &target, quint64 conduit, qsizetype batchSize,
                                       qint32 limit, bool inRecovery)
{
    if (batchSize == limit) {
        target.writeRemainOnCurrentConduit(true);
        return;
    }
    if (!inRecovery) {
        target.writeRemainOnCurrentConduit(false);
        return;
    }
    // The recovery listing is done: the conduit is listed once more, normally and from the start.
    QString conduits = GlobalVariables::getErrorRecoverySyncConduits();
    conduits.remove(conduitLetter(conduit));
    GlobalVariables::setErrorRecoverySyncConduits(conduits);
    target.writeRemainOnCurrentConduit(true);
    const std::lock_guard lock(m_mutex);
    m_offset = 0;
}

// Updates ----------------------------------------------------------------------------------------------

QVariantMap HMQuillnestSync::updateBody(quint64 conduit, QList<HMSyncRecord> &records, qsizetype first,
                                        qsizetype last)
{
    const QVariantMap map = m_toCloudMaps.value(qsizetype(conduit));
    QVariantList updates;
    QVariantList inserts;
    QVariantList deletes;
    bool statusNoted = false;
    for (qsizetype index = first; index < last; ++index) {
        HMSyncRecord &record = records[index];
        if (record.isNew() && !statusNoted) {
            noteStatusSynchronizing();
            statusNoted = true;
        }
        if (!record.theParentId().isEmpty())
            record.dictionary().insert(QStringLiteral("PARENTID"), record.theParentId());
        if (record.isDelete()) {
            DDLogVerbose(QStringLiteral("Sending deletion"));
            deletes.append(QVariantMap{{QStringLiteral("Id"), record.hmxUid()}});
            continue;
        }
        prepareForQuillnestDictionary(record.dictionary(), conduit);
        QVariantMap cloud = dictionaryWithKeysRenamed(record.dictionary(), map);
        cloud.insert(QStringLiteral("Id"), record.hmxUid());
        DDLogVerbose(record.isNew() ? QStringLiteral("updating/sending record") : QStringLiteral("updating/sending record!"));
        DDLogVerbose(QStringLiteral("recordID %1").arg(record.hmxUid()));
        (record.isNew() ? inserts : updates).append(cloud);
    }
    QVariantMap body = postParameterDictionary();
    const QString table = tableForConduit(conduit);
    if (!table.isEmpty())
        body.insert(QStringLiteral("Table"), table);
    const QString session = sessionIdentifier();
    body.insert(QStringLiteral("Session"), session.isEmpty() ? QStringLiteral("0") : session);
    body.insert(QStringLiteral("Updates"), updates);
    body.insert(QStringLiteral("Inserts"), inserts);
    body.insert(QStringLiteral("Deletes"), deletes);
    return body;
}

bool HMQuillnestSync::updateConduit(quint64 conduit, QList<HMSyncRecord> &records)
{
    HMSyncClientDelegate *target = reportTo();
    if (target == nullptr)
        return false;
    DDLogVerbose(QStringLiteral("In updateConduit method"));
    if (records.isEmpty()) {
        DDLogVerbose(QStringLiteral("Not sending device updates due to no changes since last sync"));
        // Contact photos the cloud did not take in an earlier run still go, in the photo stage.
        const bool photosWait = conduit == 1 && GlobalVariables::getShouldSyncContactPhotos() &&
                                !loadFailedPhotoUploads().isEmpty();
        target->writeRemainOnUpdateConduit(photosWait);
        target->writeUpdatePhotosStage(photosWait);
        target->updateCommandReturnedSuccessful(true);
        return true;
    }
    DDLogVerbose(QStringLiteral("Found %1 device changes to send").arg(records.size()));
    qsizetype first = 0;
    {
        const std::lock_guard lock(m_mutex);
        first = qsizetype(std::clamp<qint64>(m_syncRecordListPartialCount, 0, records.size()));
        if (first == 0)
            m_unsettledRecords = 0;
        m_syncRecordListPartialCount += kUpdateBatchSize;
    }
    if (first >= records.size()) {
        // Every batch went already: nothing is sent twice.
        target->writeUpdatePhotosStage(false);
        target->writeRemainOnUpdateConduit(false);
        target->updateCommandReturnedSuccessful(true);
        return true;
    }
    const qsizetype last = std::min(first + kUpdateBatchSize, records.size());
    const QVariantMap body = updateBody(conduit, records, first, last);
    DDLogVerbose(QStringLiteral("Setting request.params"));
    DDLogVerbose(QStringLiteral("Update Command:\n%1").arg(loggableJson(body)));
    const RKRequestOutcome outcome =
        sendAndWait(QStringLiteral("/update.php"), kUpdateTimeoutSeconds, jsonStringFromDictionary(body).toUtf8(),
                    QString::fromLatin1(platform::RKMIMETypeJSON), kMaxReplyBytes);
    target = reportTo();
    if (outcome.kind() == RKRequestOutcome::Kind::Cancelled || target == nullptr)
        return target != nullptr;
    handleUpdateOutcome(*target, conduit, body, outcome, last >= records.size());
    return true;
}

void HMQuillnestSync::handleUpdateOutcome(HMSyncClientDelegate &target, quint64 conduit, const QVariantMap &body,
                                          const RKRequestOutcome &outcome, bool isLastBatch)
{
    if (outcome.kind() == RKRequestOutcome::Kind::Failed) {
        handleRKError(outcome.error());
        target.writeRemainOnUpdateConduit(false);
        target.updateCommandReturnedSuccessful(false);
        return;
    }
    const std::optional<QVariantMap> reply = dictionaryForJsonString(outcome.response().bodyAsString());
    if (!reply) {
        // The cloud may have kept the batch or not: nothing moves, and the records go again.
        DDLogError(QStringLiteral("Result of update command could not be parsed, possible error."));
        target.didErrorWithError(6, QStringLiteral("The cloud's answer to the update could not be read."));
        target.writeRemainOnUpdateConduit(false);
        target.updateCommandReturnedSuccessful(false);
        target.commandErroredStopProcessing();
        return;
    }
    noteStatusSynchronizing();
    const QVariantList inserts = body.value(QStringLiteral("Inserts")).toList();
    const BatchAnswers answers =
        readUpdateReply(*reply, idsOf(inserts),
                        idsOf(inserts + body.value(QStringLiteral("Updates")).toList() +
                              body.value(QStringLiteral("Deletes")).toList()));
    // The records the cloud kept under the ids sent are confirmed before the next batch goes. An
    // Outlook profile keeps its pairs in its contact map, not in the identifier graph: each is told
    // as the Wi-Fi transport tells its own, so that a run killed later finds it confirmed instead of
    // sending the record again as new.
    if (GlobalVariables::getIsOutlookSync()) {
        for (auto it = answers.confirmedInserts.constBegin(); it != answers.confirmedInserts.constEnd(); ++it)
            target.updateTempWiFiId(it.key(), it.value().toString());
    }
    if (!answers.confirmedInserts.isEmpty())
        target.updateCommandReturnedWithDictionary(answers.confirmedInserts, conduit);
    target.updateCommandReturnedWithDetailedDictionaries(answers.detailed);
    {
        const std::lock_guard lock(m_mutex);
        m_unsettledRecords += answers.unsettled;
    }
    answerUpdateStage(target, conduit, isLastBatch);
}

QList<QVariantMap> HMQuillnestSync::detailedResultsForReply(const QVariantMap &reply)
{
    QList<QVariantMap> detailed;
    const auto addResults = [&detailed](const QVariant &list, int action) {
        for (const QVariant &item : list.toList()) {
            if (item.typeId() != QMetaType::QVariantMap)
                continue;
            const QVariantMap answer = item.toMap();
            const QVariant result = answer.value(QStringLiteral("Result"));
            detailed.append(detailedEntry(action, result.toString() == QLatin1String("1"),
                                          answer.value(QStringLiteral("Id")).toString(), result.toString()));
        }
    };
    addResults(reply.value(QStringLiteral("Inserts")), 0);
    const QVariantMap updates = reply.value(QStringLiteral("Updates")).toMap();
    for (auto it = updates.constBegin(); it != updates.constEnd(); ++it) {
        const QString text = it.value().toString();
        if (text != QLatin1String("OK"))
            DDLogError(QStringLiteral("Failed to insert hmUid '%1'").arg(it.key()));
        detailed.append(detailedEntry(1, text == QLatin1String("OK"), it.key(), text));
    }
    addResults(reply.value(QStringLiteral("Deletes")), 2);
    return detailed;
}

// What the reply settles: only answers for records of this batch count (an answer for another id
// could otherwise delete a record the batch never named); a sent record without a successful answer
// is unsettled and goes again.
HMQuillnestSync::BatchAnswers HMQuillnestSync::readUpdateReply(const QVariantMap &reply, const QStringList &insertIds,
                                                               const QStringList &sentIds)
{
    BatchAnswers answers;
    const QSet<QString> sent(sentIds.cbegin(), sentIds.cend());
    QSet<QString> settled;
    QStringList failedInserts;
    QStringList failedDeletes;
    for (const QVariantMap &entry : detailedResultsForReply(reply)) {
        const QString id = entry.value(QStringLiteral("IdKey")).toString();
        if (!sent.contains(id)) {
            DDLogWarn(QStringLiteral("The cloud answered for '%1', which this batch did not send").arg(id.left(80)));
            continue;
        }
        answers.detailed.append(entry);
        const int action = entry.value(QStringLiteral("ActionKey")).toInt();
        const bool succeeded = entry.value(QStringLiteral("ResultKey")).toInt() == 0;
        if (succeeded)
            settled.insert(id);
        if (succeeded && action == 0 && insertIds.contains(id))
            answers.confirmedInserts.insert(id, id);
        if (!succeeded && action == 0)
            failedInserts << id;
        if (!succeeded && action == 2)
            failedDeletes << id;
    }
    answers.unsettled = sent.size() - settled.size();
    if (answers.unsettled > 0)
        DDLogError(QStringLiteral("Error during update command, continuing processing."));
    if (!failedInserts.isEmpty())
        DDLogError(QStringLiteral("Error inserting records: %1").arg(failedInserts.join(u',')));
    if (!failedDeletes.isEmpty())
        DDLogError(QStringLiteral("Error deleting records: %1").arg(failedDeletes.join(u',')));
    return answers;
}

// After the conduit's last batch: records the cloud refused or never answered end the run in error,
// so that no last-sync date moves and they go again at the next sync.
void HMQuillnestSync::answerUpdateStage(HMSyncClientDelegate &target, quint64 conduit, bool isLastBatch)
{
    if (!isLastBatch) {
        if (conduit != 1)
            target.writeUpdatePhotosStage(false);
        target.writeRemainOnUpdateConduit(true);
        return;
    }
    qsizetype unsettled = 0;
    {
        const std::lock_guard lock(m_mutex);
        unsettled = std::exchange(m_unsettledRecords, 0);
    }
    if (unsettled > 0) {
        target.didErrorWithError(
            6, QStringLiteral("The cloud did not take %1 of the records sent; they go again at the next sync.")
                   .arg(unsettled));
        target.writeUpdatePhotosStage(false);
        target.writeRemainOnUpdateConduit(false);
        target.updateCommandReturnedSuccessful(false);
        return;
    }
    // Contacts: the photo upload follows the last batch.
    target.writeRemainOnUpdateConduit(conduit == 1);
    target.writeUpdatePhotosStage(conduit == 1);
    target.updateCommandReturnedSuccessful(true);
}
