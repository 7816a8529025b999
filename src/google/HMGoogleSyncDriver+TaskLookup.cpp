// Task updates and deletions answered 404 by the list they were sent to.
//
// Google names a task by its list and its id, and a task the user moved to another list on Google is
// no longer found where the last sync saw it. Sent again to the same list, the write would be refused
// at every sync and every run would end as not finished. So once every write of the batch is
// answered, each such task is asked for by id in the account's other lists (then in its own again),
// one request at a time:
// - found there: its new list is kept beside the map first, then the write goes again to that list
//   (a kill in between sends it there at the next sync, the Outlook date not having moved);
// - found deleted there, or in no list: Google no longer holds it. A deletion is done; an update
//   forgets its pair, as a contact's or an event's does, and the Outlook task is sent as new once;
// - a look-up not answered (cut, refused, unreadable): the write was not taken and its pair stays,
//   to be looked for again at the next sync. Nothing is forgotten on a guess.
#include "google/HMGoogleSyncDriver.h"

#include "foundation/Lumberjack/DDLog.h"
#include "google/GoogleHosts.h"
#include "google/GoogleQueueStep.h"
#include "google/GoogleTaskList.h"
#include "google/GoogleWrittenEntries.h"
#include "platform/restkit/RKClient.h"
#include "platform/restkit/RKRequest.h"
#include "sync/HMData.h"

namespace {

// A single task: far less than this.
constexpr qint64 kMaxLookupReplyBytes = 1024 * 1024;
constexpr int kUpdate = 1;
constexpr int kDelete = 2;

} // namespace

void HMGoogleSyncDriver::lookUpTaskElsewhere(const TaskWrite &write)
{
    DDLogInfo(QStringLiteral("Task %1 is not in list %2 any more: the other lists are asked for it")
                  .arg(write.hmxUid, write.listId));
    m_taskWritesToLookUp.append(write);
}

// The first write left: the lists it was not sent to, then their look-ups; when none is left, the
// writes whose tasks were found go again.
void HMGoogleSyncDriver::lookUpNextTask()
{
    if (!googlequeue::hasNextEntry(stopsForCancel(), m_taskWritesToLookUp, [this] { resendTaskWrites(); }))
        return;
    // The other lists first; the one that answered 404 last, so that "in none" means in none.
    QString tried = m_taskWritesToLookUp.first().listId;
    if (tried == QLatin1String("@default") && !m_defaultTaskListId.isEmpty())
        tried = m_defaultTaskListId;
    m_taskListsToLook.clear();
    for (const googletasklist::TaskList &list : std::as_const(m_taskLists)) {
        if (list.id != tried)
            m_taskListsToLook << list.id;
    }
    m_taskListsToLook << tried;
    requestTaskInNextList();
}

void HMGoogleSyncDriver::requestTaskInNextList()
{
    if (!googlequeue::hasNextEntry(stopsForCancel(), m_taskListsToLook, [this] { taskNotFoundAnywhere(); }))
        return;
    makeClient(googlehosts::apiHost())->setValueForHTTPHeaderField("3.0", "GData-Version");
    const std::weak_ptr<HMGoogleSyncDriver> weak = weak_from_this();
    const auto request = makeRequest(
        googletasklist::taskPath(m_taskListsToLook.first(), m_taskWritesToLookUp.first().hmxUid), 0,
        [weak](int status, const QByteArray &body) {
            if (const std::shared_ptr<HMGoogleSyncDriver> driver = weak.lock())
                driver->taskLookupReturned(status, body);
        },
        [weak](const QString &description) {
            DDLogError(QStringLiteral("ERROR[TF]: %1").arg(description));
            if (const std::shared_ptr<HMGoogleSyncDriver> driver = weak.lock())
                driver->finishTaskLookup(false);
        });
    request->setMaxResponseBytes(kMaxLookupReplyBytes);
    request->send();
}

// 404: not in this list either. 2xx: the task, if the reply names it. Anything else leaves the
// question open.
void HMGoogleSyncDriver::taskLookupReturned(int status, const QByteArray &body)
{
    DDLogVerbose(QStringLiteral("response.statusCode[TF] %1").arg(status));
    if (status == 404) {
        m_taskListsToLook.removeFirst();
        requestTaskInNextList();
        return;
    }
    const QVariantMap task = status >= 200 && status <= 299
                                 ? dictionaryForJsonString(QString::fromUtf8(body)).value_or(QVariant()).toMap()
                                 : QVariantMap();
    if (task.value(QStringLiteral("id")).toString() != m_taskWritesToLookUp.first().hmxUid) {
        DDLogError(QStringLiteral("Task %1 could not be looked for (HTTP %2); it is sent again at the next sync")
                       .arg(m_taskWritesToLookUp.first().hmxUid)
                       .arg(status));
        finishTaskLookup(false);
        return;
    }
    taskFoundInList(m_taskListsToLook.first(), task.value(QStringLiteral("deleted")).toBool());
}

// The list first, then the write to it: a run ending in between writes to that list next time.
void HMGoogleSyncDriver::taskFoundInList(const QString &listId, bool deleted)
{
    TaskWrite write = m_taskWritesToLookUp.first();
    if (deleted) {
        DDLogInfo(QStringLiteral("Task %1 was deleted on Google in list %2").arg(write.hmxUid, listId));
        taskNotFoundAnywhere();
        return;
    }
    DDLogInfo(QStringLiteral("Task %1 moved on Google to list %2").arg(write.hmxUid, listId));
    if (!taskListsOfTasks().append(write.hmxUid, listId)) {
        DDLogError(QStringLiteral("The list of task %1 could not be kept").arg(write.hmxUid));
        finishTaskLookup(false);
        return;
    }
    write.listId = listId;
    write.record.insert(QStringLiteral("googleTaskListId"), listId);
    write.lookedUp = true;
    m_taskWritesToResend.append(write);
    finishTaskLookup(true);
}

// Google holds the task no more: a deletion is done, an update's pair goes (sent as new next time).
void HMGoogleSyncDriver::taskNotFoundAnywhere()
{
    const TaskWrite &write = m_taskWritesToLookUp.first();
    if (write.kind == kDelete) {
        finishTaskLookup(true);
        return;
    }
    forgetsPairGoneFromGoogle(*m_taskData, write.hmxUid, 404);
    finishTaskLookup(false);
}

void HMGoogleSyncDriver::finishTaskLookup(bool taken)
{
    const TaskWrite write = m_taskWritesToLookUp.takeFirst();
    if (!taken)
        noteWriteNotTaken(Conduit::Tasks, write.outlookId, write.hmxUid);
    lookUpNextTask();
}

// The writes go as the batch's did: updates, then deletions, all with "If-Match: *". Their answers
// end the batch as before; a second 404 is not looked for again in this run.
void HMGoogleSyncDriver::resendTaskWrites()
{
    QList<TaskWrite> writes = std::exchange(m_taskWritesToResend, {});
    std::stable_sort(writes.begin(), writes.end(), [](const TaskWrite &a, const TaskWrite &b) { return a.kind < b.kind; });
    if (!writes.isEmpty()) {
        const std::shared_ptr<platform::RKClient> client = makeClient(googlehosts::apiHost());
        client->setValueForHTTPHeaderField("3.0", "GData-Version");
        client->setValueForHTTPHeaderField("*", "If-Match");
    }
    for (const TaskWrite &write : writes) {
        Q_ASSERT(write.kind == kUpdate || write.kind == kDelete);
        ++m_taskResponseCounter;
        sendTaskWrite(write);
    }
    checkForEndTaskUpdates();
}
