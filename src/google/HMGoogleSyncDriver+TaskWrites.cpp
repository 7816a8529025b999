// The Outlook-to-Google half of the tasks conduit: Outlook's changed tasks become inserts, updates and
// deletions of Google tasks, one request each, in that order.
//
// What makes a killed or cut batch safe: the task map's Outlook date moves only at the end of the
// batch, and the tasks whose writes Google did not take are listed beside the map first, to go again
// (+UnansweredWrites). A deletion answered 410, or 404 with the task in no other list, was taken: the
// task is gone either way. An update or deletion answered 404 is looked for in the account's other
// lists first: the task may have moved there on Google (+TaskLookup). An answered insert's pair is
// kept at once, then Google's "updated" beside the map, so the next listing passes over our own write;
// an insert whose answer never came is found by the next listing and paired with its Outlook task by
// the data source's duplicate test (a send-only run, which reads nothing of Google's, looks for them
// first: see +UnansweredInserts).
#include "google/HMGoogleSyncDriver.h"

#include "foundation/GlobalVariables.h"
#include "foundation/HMSyncProgressReporting.h"
#include "foundation/Lumberjack/DDLog.h"
#include "google/GoogleHosts.h"
#include "google/GoogleWrittenEntries.h"
#include "outlook/HMOutlookDatFileHelper.h"
#include "platform/restkit/RKClient.h"
#include "platform/restkit/RKRequest.h"
#include "platform/restkit/RKRequestSerialization.h"
#include "sync/HMData.h"
#include "sync/HMProfile.h"
#include "sync/HMSyncRecord.h"

namespace {

enum Kind { kInsert = 0, kUpdate = 1, kDelete = 2 };

bool isSuccess(int status)
{
    return status >= 200 && status <= 299;
}

// The records without a title: Google keeps them, but its listing never applies them.
QList<HMSyncRecord> untitledRecords(const QList<HMSyncRecord> &records)
{
    QList<HMSyncRecord> untitled;
    for (const HMSyncRecord &record : records) {
        if (record.dictionary().value(QStringLiteral("SUBJECT")).toString().isEmpty())
            untitled.append(record);
    }
    return untitled;
}

} // namespace

void HMGoogleSyncDriver::listOutlookTasks()
{
    if (stopsForCancel())
        return;
    DDLogInfo(QStringLiteral("listOutlookTasks"));
    if (!showsOutlookReading(m_taskData != nullptr, QStringLiteral("tasks"), 0.9))
        return;
    if (!readsGoogleTasksFirst()) {
        pairSentTaskInserts();
        return;
    }
    // The reading before this stage paired whatever an earlier run sent and never heard back of.
    if (!forgetInsertsLeftBySendOnlyRun(*m_taskData, HMOutlookDatFileHelper::Conduit::Tasks))
        DDLogError(QStringLiteral("The list of tasks sent to Google as new could not be emptied"));
    readOutlookTasksToSend();
}

void HMGoogleSyncDriver::readOutlookTasksToSend()
{
    // The reading before this stage has read past every answer kept by the last sync.
    if (!writtenTasks().clear())
        DDLogError(QStringLiteral("The list of tasks written to Google could not be emptied"));
    if (!taskListsOfTasks().compact())
        DDLogError(QStringLiteral("The lists of the tasks read could not be compacted"));
    const std::optional<QList<HMSyncRecord>> records = outlookChangesToSend(*m_taskData, QStringLiteral("tasks"));
    if (!records)
        return;
    m_recordCounter = 0;
    m_deletionsCounter = 0;
    updateGoogleTasksWithSyncRecordList(*records);
}

QString HMGoogleSyncDriver::getTaskListIdFromTaskDictionary(const QVariantMap &record) const
{
    return googletasklist::listIdOfCategories(record, m_taskLists);
}

// Every record goes in this batch: a window left for a later call that never comes would be passed
// over by the date the batch moves. Inserts, then updates, then deletions.
QList<HMGoogleSyncDriver::TaskWrite> HMGoogleSyncDriver::taskWritesOfRecords(const QList<HMSyncRecord> &records) const
{
    // Google's own name of the default list, for an account that listed none.
    const QString defaultList = m_defaultTaskListId.isEmpty() ? QStringLiteral("@default") : m_defaultTaskListId;
    const QHash<QString, QString> places = taskListsOfTasks().load();
    QSet<QString> listIds;
    for (const googletasklist::TaskList &list : m_taskLists)
        listIds.insert(list.id);
    QList<TaskWrite> writes;
    for (const HMSyncRecord &record : records) {
        const int kind = record.isDelete() ? kDelete : record.isNew() ? kInsert : kUpdate;
        if (kind == kDelete && !m_allowDeletesFromOutlook)
            continue;
        TaskWrite write{kind, record.dictionary(), record.outlookUid(), record.hmxUid(), {}};
        // A task Google holds is written in the list it lives in (a request naming another list
        // finds nothing); a new one goes to the list of its category.
        const QString place = places.value(write.hmxUid);
        write.listId = kind != kInsert && listIds.contains(place) ? place : getTaskListIdFromTaskDictionary(write.record);
        if (write.listId.isEmpty())
            write.listId = defaultList;
        write.record.insert(QStringLiteral("UID"), write.outlookId);
        write.record.insert(QStringLiteral("googleTaskListId"), write.listId);
        if (kind != kInsert)
            write.record.insert(QStringLiteral("UniqueDeviceID"), write.hmxUid);
        writes.append(write);
    }
    std::stable_sort(writes.begin(), writes.end(), [](const TaskWrite &a, const TaskWrite &b) { return a.kind < b.kind; });
    return writes;
}

bool HMGoogleSyncDriver::updateGoogleTasksWithSyncRecordList(const QList<HMSyncRecord> &records)
{
    if (!startsBatch(Conduit::Tasks))
        return false;
    m_taskWritesToLookUp.clear();
    m_taskWritesToResend.clear();
    const QList<TaskWrite> writes = taskWritesOfRecords(records);
    if (writes.isEmpty()) {
        DDLogError(QStringLiteral("Not sending device updates due to no changes since last sync"));
        return finishEmptyBatch(*m_taskData, Conduit::Tasks);
    }
    DDLogInfo(QStringLiteral("Found %1 Outlook changes to send").arg(writes.size()));
    // A two-way run's listing pairs Google's copies of the others by the duplicate test; untitled
    // tasks it never applies, so those are listed for it.
    if (!keepInsertsAboutToBeSent(*m_taskData, HMOutlookDatFileHelper::Conduit::Tasks,
                                  readsGoogleTasksFirst() ? untitledRecords(records) : records)) {
        cancelSyncWithError(QStringLiteral("The tasks about to be sent to Google as new could not be listed on disk; "
                                           "nothing was sent to Google."));
        return false;
    }
    sendTaskUpdates(writes);
    return true;
}

// One client for the batch: "If-Match: *" joins its headers at the first update, so the inserts go
// without it and every update and deletion with it.
void HMGoogleSyncDriver::sendTaskUpdates(const QList<TaskWrite> &writes)
{
    if (stopsForCancel())
        return;
    const std::shared_ptr<platform::RKClient> client = makeClient(googlehosts::apiHost());
    client->setValueForHTTPHeaderField("3.0", "GData-Version");
    for (const TaskWrite &write : writes) {
        if (write.kind != kInsert)
            client->setValueForHTTPHeaderField("*", "If-Match");
        if (write.kind == kInsert)
            showText(QStringLiteral("Preparing to send tasks to Google"));
        ++m_taskResponseCounter;
        sendTaskWrite(write);
    }
    checkForEndTaskUpdates();
}

void HMGoogleSyncDriver::sendTaskWrite(const TaskWrite &write)
{
    const QString path = write.kind == kInsert ? googletasklist::insertPath(write.listId)
                                               : googletasklist::taskPath(write.listId, write.hmxUid);
    const std::weak_ptr<HMGoogleSyncDriver> weak = weak_from_this();
    const auto request = makeRequest(
        path, write.kind == kInsert ? 1 : write.kind == kUpdate ? 2 : 3,
        [weak, write](int status, const QByteArray &body) {
            if (const std::shared_ptr<HMGoogleSyncDriver> driver = weak.lock())
                driver->taskWriteReturned(write, status, body);
        },
        [weak, write](const QString &description) {
            DDLogError(QStringLiteral("ERROR[T%1]: %2").arg(write.kind).arg(description));
            if (const std::shared_ptr<HMGoogleSyncDriver> driver = weak.lock()) {
                driver->noteWriteNotTaken(Conduit::Tasks, write.outlookId, write.hmxUid);
                --driver->m_taskResponseCounter;
            }
        });
    if (write.kind != kDelete) {
        QVariantMap body = makeParameterDictionary(write.record, write.kind == kInsert ? QStringLiteral("insert")
                                                                                      : QStringLiteral("update"),
                                                   QStringLiteral("Tasks"));
        if (write.kind == kUpdate)
            body.insert(QStringLiteral("id"), write.hmxUid);
        request->setParams(platform::RKRequestSerialization::serializationWithData(
            jsonStringFromDictionary(body).toUtf8(), QStringLiteral("application/json")));
    }
    request->setMaxResponseBytes(googlehosts::kMaxWriteReplyBytes);
    request->send();
}

void HMGoogleSyncDriver::taskWriteReturned(const TaskWrite &write, int status, const QByteArray &body)
{
    --m_taskResponseCounter;
    const bool shows = !m_shouldCancel->load();
    // The list no longer holds the task: it may have moved to another list on Google.
    if (status == 404 && write.kind != kInsert && !write.lookedUp) {
        lookUpTaskElsewhere(write);
        return;
    }
    if (write.kind == kDelete) {
        ++m_deletionsCounter;
        if (shows)
            showText(QStringLiteral("Deleting tasks on Google %1").arg(m_deletionsCounter));
        if (!isSuccess(status) && status != 404 && status != 410)
            noteWriteNotTaken(Conduit::Tasks, write.outlookId, write.hmxUid);
        return;
    }
    ++m_recordCounter;
    if (shows)
        showText((write.kind == kInsert ? QStringLiteral("Writing tasks to Google %1") : QStringLiteral("Updating tasks on Google %1"))
                     .arg(m_recordCounter));
    if (!isSuccess(status)) {
        DDLogError(QStringLiteral("%1 Response dictionary %2").arg(status).arg(QString::fromUtf8(body.left(500))));
        noteWriteNotTaken(Conduit::Tasks, write.outlookId, write.hmxUid);
        if (write.kind == kUpdate && status == 410)
            forgetsPairGoneFromGoogle(*m_taskData, write.hmxUid, status);
        return;
    }
    parseTaskUpdateResponseDictionary(write, dictionaryForJsonString(QString::fromUtf8(body)).value_or(QVariant()).toMap());
}

// The pair first, then Google's "updated" beside the map: a kill between the two gives a mapped task
// coming back as a change, never an unpaired copy. The list date stays: it moves only by reading.
void HMGoogleSyncDriver::parseTaskUpdateResponseDictionary(const TaskWrite &write, const QVariantMap &reply)
{
    const QString googleId = reply.value(QStringLiteral("id")).toString();
    if (googleId.isEmpty()) {
        DDLogError(QStringLiteral("Google's answer for task %1 holds no id").arg(write.outlookId));
        noteWriteNotTaken(Conduit::Tasks, write.outlookId, write.hmxUid);
        return;
    }
    if (write.kind == kInsert) {
        m_taskData->replaceTempId(write.hmxUid, googleId);
        if (!taskListsOfTasks().append(googleId, write.listId))
            DDLogError(QStringLiteral("The list of task %1 could not be kept").arg(googleId));
    }
    const QString updated = reply.value(QStringLiteral("updated")).toString();
    if (!updated.isEmpty() && !writtenTasks().append(googleId, updated))
        DDLogError(QStringLiteral("Google's answer for task %1 could not be kept").arg(googleId));
}

void HMGoogleSyncDriver::checkForEndTaskUpdates()
{
    if (stopsForCancel())
        return;
    if (m_taskResponseCounter > 0) {
        after(1.0, [](HMGoogleSyncDriver &driver) { driver.checkForEndTaskUpdates(); });
        return;
    }
    if (!m_taskWritesToLookUp.isEmpty()) {
        lookUpNextTask();
        return;
    }
    if (!batchTaken(Conduit::Tasks))
        DDLogError(QStringLiteral("Not every task change was taken by Google; the rest is sent again at the next sync"));
    commitWrites(*m_taskData, Conduit::Tasks);
    if (!m_taskData->saveFailure().isEmpty()) {
        cancelSyncWithError(m_taskData->saveFailure());
        return;
    }
    // Every insert answered and its pair in the map: the list of those sent has nothing left to pair.
    if (batchTaken(Conduit::Tasks) &&
        !(readsGoogleTasksFirst() ? forgetInsertsLeftBySendOnlyRun(*m_taskData, HMOutlookDatFileHelper::Conduit::Tasks)
                                  : forgetSentInserts(*m_taskData, HMOutlookDatFileHelper::Conduit::Tasks)))
        DDLogError(QStringLiteral("The list of tasks sent to Google as new could not be emptied"));
    if (m_delegate != nullptr)
        m_delegate->endConduit();
}

void HMGoogleSyncDriver::doneWithTasks()
{
    DDLogInfo(QStringLiteral("doneWithTasks"));
}
