// The purge of the tasks: every task of every task list, each listing followed page by page (Google
// answers at most 100 tasks a page whatever is asked), then deleted one at a time. The task map is
// cleared only after the last deletion.
#include "google/HMGoogleSyncPurgeDriver.h"

#include "foundation/Lumberjack/DDLog.h"
#include "google/GoogleHosts.h"
#include "google/HMGoogleSyncDriver.h"
#include "platform/restkit/RKClient.h"

void HMGoogleSyncPurgeDriver::purgeTasks()
{
    m_ended = false;
    m_taskListIds.clear();
    m_taskListTitles.clear();
    m_allGoogleTasks.clear();
    m_pageTokensFollowed.clear();
    HMGoogleSyncDriver::showProgress(QStringLiteral("Requesting task lists from Google"), 0.18);
    listGoogleTaskLists(QString());
}

void HMGoogleSyncPurgeDriver::listGoogleTaskLists(const QString &pageToken)
{
    if (stopsForCancel())
        return;
    if (const auto client = makeClient(googlehosts::apiHost()))
        client->setValueForHTTPHeaderField("*", "If-Match");
    send(taskListsPath(pageToken), 0, &HMGoogleSyncPurgeDriver::taskListsReturned, googlehosts::kMaxPageReplyBytes);
}

void HMGoogleSyncPurgeDriver::taskListsReturned(int status, const QByteArray &body)
{
    const std::optional<QVariantMap> response = jsonListing(status, body, QStringLiteral("task lists"));
    if (!response)
        return;
    for (const QVariant &value : response->value(QStringLiteral("items")).toList()) {
        const QVariantMap item = value.toMap();
        const QString id = item.value(QStringLiteral("id")).toString();
        if (id.isEmpty() || !item.contains(QStringLiteral("title")) || m_taskListTitles.contains(id))
            continue;
        m_taskListIds << id;
        m_taskListTitles.insert(id, item.value(QStringLiteral("title")).toString());
    }
    const QString token = response->value(QStringLiteral("nextPageToken")).toString();
    if (!token.isEmpty()) {
        if (!isEndlessListing(token, m_taskListIds.size()))
            listGoogleTaskLists(token);
        return;
    }
    m_pageTokensFollowed.clear();
    DDLogInfo(QStringLiteral("taskListsDictionary.count %1").arg(m_taskListIds.size()));
    if (m_taskListIds.isEmpty())
        checkForEndTaskDeletes();
    else
        listGoogleTasksForTaskListId(m_taskListIds.first(), QString());
}

void HMGoogleSyncPurgeDriver::listGoogleTasksForTaskListId(const QString &taskListId, const QString &pageToken)
{
    if (stopsForCancel())
        return;
    m_currentTaskList = taskListId;
    HMGoogleSyncDriver::showProgress(QStringLiteral("Requesting tasks from Google"), 0.19);
    if (const auto client = makeClient(googlehosts::apiHost()))
        client->setValueForHTTPHeaderField("*", "If-Match");
    send(tasksPath(taskListId, pageToken), 0, &HMGoogleSyncPurgeDriver::tasksReturned, googlehosts::kMaxPageReplyBytes);
}

void HMGoogleSyncPurgeDriver::tasksReturned(int status, const QByteArray &body)
{
    const std::optional<QVariantMap> response = jsonListing(status, body, QStringLiteral("tasks"));
    if (!response)
        return;
    for (const QVariant &value : response->value(QStringLiteral("items")).toList()) {
        const QString id = value.toMap().value(QStringLiteral("id")).toString();
        if (!id.isEmpty())
            m_allGoogleTasks.append({id, m_currentTaskList});
    }
    const QString token = response->value(QStringLiteral("nextPageToken")).toString();
    if (!token.isEmpty()) {
        if (!isEndlessListing(token, m_allGoogleTasks.size()))
            listGoogleTasksForTaskListId(m_currentTaskList, token);
        return;
    }
    m_pageTokensFollowed.clear();
    m_taskListIds.removeAll(m_currentTaskList);
    if (!m_taskListIds.isEmpty())
        listGoogleTasksForTaskListId(m_taskListIds.first(), QString());
    else
        checkForEndTaskDeletes();
}

void HMGoogleSyncPurgeDriver::sendTaskDeletion()
{
    if (stopsForCancel())
        return;
    ++m_deletedTasksCounter;
    HMGoogleSyncDriver::showProgress(QStringLiteral("Deleting tasks on Google %1").arg(m_deletedTasksCounter), 0.2);
    const auto &[taskId, taskListId] = m_allGoogleTasks.first();
    if (const auto client = makeClient(googlehosts::apiHost())) {
        client->setValueForHTTPHeaderField("3.0", "GData-Version");
        client->setValueForHTTPHeaderField("*", "If-Match");
    }
    send(taskDeletionPath(taskListId, taskId), 3, &HMGoogleSyncPurgeDriver::handleTaskDeletionResponse,
         googlehosts::kMaxDeletionReplyBytes);
}

void HMGoogleSyncPurgeDriver::handleTaskDeletionResponse(int status, const QByteArray &body)
{
    DDLogVerbose(QStringLiteral("task deletion %1 %2").arg(status).arg(QString::fromUtf8(body.left(200))));
    if (!deletionTaken(status, QStringLiteral("a task")))
        return;
    m_allGoogleTasks.removeFirst();
    checkForEndTaskDeletes();
}

void HMGoogleSyncPurgeDriver::checkForEndTaskDeletes()
{
    if (stopsForCancel())
        return;
    if (!m_allGoogleTasks.isEmpty()) {
        sendTaskDeletion();
        return;
    }
    clearMap(QStringLiteral("Tasks"));
    finishConduit(QStringLiteral("Tasks"), QStringLiteral("END PURGE!!!"));
}
