// The read side of the tasks conduit: the account's task lists (every page), then every page of each
// list Google changed since the last sync, one request at a time, turned into records and handed to
// the run once the last page of the last list is in.
//
// A reply is judged by its status before its body: a refused page is not parsed, asks for nothing
// more and moves no date, so the next sync reads it again. A list counts as read only once a page
// without "nextPageToken" came: Google answers at most 100 tasks a page.
#include "google/HMGoogleSyncDriver.h"

#include "datasources/tasks/HMTaskData.h"
#include "foundation/GlobalVariables.h"
#include "foundation/HMSyncProgressReporting.h"
#include "foundation/Lumberjack/DDLog.h"
#include "google/GoogleHosts.h"
#include "google/GoogleWrittenEntries.h"
#include "outlook/HMOutlookDatFileHelper.h"
#include "platform/restkit/RKClient.h"
#include "platform/restkit/RKRequest.h"
#include "sync/HMData.h"
#include "sync/HMProfile.h"
#include "sync/HMSyncTypes.h"

namespace {

// Google sends at most 100 a page; a page far beyond that is no page of Google's.
constexpr qsizetype kMaxTaskPageItems = 1000;
// Pages of one run (lists and tasks): a million tasks.
constexpr qint64 kMaxTaskPages = 10000;

const QString kUnreadableTasks = QStringLiteral("Google's list of tasks could not be read; nothing was changed for it.");
const QString kEndlessTasks = QStringLiteral("Google's list of tasks does not end (a page was named twice); nothing "
                                             "was changed for it.");

// The reply as a page: a JSON object with at most kMaxTaskPageItems items; 404 is an empty page.
std::optional<QVariantMap> pageOfReply(int status, const QByteArray &body)
{
    if (status == 404)
        return QVariantMap();
    const std::optional<QVariant> value = HMGoogleSyncDriver::dictionaryForJsonString(QString::fromUtf8(body));
    if (!value || value->typeId() != QMetaType::QVariantMap)
        return std::nullopt;
    const QVariantMap page = value->toMap();
    if (page.value(QStringLiteral("items")).toList().size() > kMaxTaskPageItems)
        return std::nullopt;
    return page;
}

// A two-way run lists the Outlook tasks without a title it sends as new (see +TaskWrites): Google's
// untitled tasks that match one of them (by due day and done state) are its copies, paired here. Their
// lists were kept with the page.
bool pairUntitledTasks(HMData &data, const QList<QVariantMap> &untitled)
{
    if (untitled.isEmpty() || !data.loadUnsettledOutlookAdds())
        return true;
    for (const QVariantMap &record : untitled)
        data.adoptUnconfirmedOutlookAdd(record, quint64(HMSyncConduit::Tasks));
    return data.commitAdoptedOutlookPairs();
}

} // namespace

GoogleWrittenEntries &HMGoogleSyncDriver::writtenTasks()
{
    return GoogleWrittenEntries::ofConduit(m_writtenTasks, Conduit::Tasks);
}

GoogleWrittenEntries HMGoogleSyncDriver::taskListsOfTasks() const
{
    return GoogleWrittenEntries(HMOutlookDatFileHelper().taskFilePath() + QStringLiteral(".google-lists"));
}

const HMGoogleSyncDriver::ListingBasis &HMGoogleSyncDriver::taskListing()
{
    if (!m_taskListing)
        m_taskListing =
            ListingBasis{googlelistdate::storedByListing(HMOutlookDatFileHelper::Conduit::Tasks), writtenTasks().load()};
    return *m_taskListing;
}

void HMGoogleSyncDriver::listGoogleTaskListsAndReadGoogleTasks(bool readGoogleTasks)
{
    if (stopsForCancel())
        return;
    DDLogInfo(QStringLiteral("listGoogleTaskListsAndReadGoogleTasks %1").arg(readGoogleTasks));
    if (!readGoogleTasks && m_taskListsRead) {
        listOutlookTasks();
        return;
    }
    showProgress(QStringLiteral("Requesting tasks lists from Google"), 0.81);
    m_taskLists.clear();
    m_defaultTaskListId.clear();
    m_taskPageTokensSeen.clear();
    m_taskPagesRead = 0;
    sendTaskListsRequest(QString(), readGoogleTasks);
}

// A page of the task lists, read as sendTaskPageRequest reads a page of tasks.
void HMGoogleSyncDriver::sendTaskListsRequest(const QString &pageToken, bool readGoogleTasks)
{
    sendTaskPageRequest(googletasklist::taskListsPath(pageToken), QStringLiteral("TL"),
                        [readGoogleTasks](HMGoogleSyncDriver &driver, int status, const QByteArray &body) {
                            driver.taskListsReturned(readGoogleTasks, status, body);
                        });
}

// The reply's page, logged with its tag; a refused or unreadable reply ends the run and gives none.
std::optional<QVariantMap> HMGoogleSyncDriver::acceptedTaskPage(const char *tag, int status, const QByteArray &body)
{
    DDLogVerbose(QStringLiteral("response.statusCode[%1] %2").arg(QLatin1String(tag)).arg(status));
    if (const QString failure = listingStatusText(status, true); !failure.isEmpty()) {
        cancelSyncWithError(failure);
        return std::nullopt;
    }
    std::optional<QVariantMap> page = pageOfReply(status, body);
    if (!page)
        cancelSyncWithError(kUnreadableTasks);
    return page;
}

// The page's "nextPageToken" to follow, or an empty text at the last page; a token named before, or
// one page too many, ends the run and gives none.
std::optional<QString> HMGoogleSyncDriver::nextTaskPageToken(const QVariantMap &page)
{
    const QString token = page.value(QStringLiteral("nextPageToken")).toString();
    if (token.isEmpty())
        return token;
    if (m_taskPageTokensSeen.contains(token) || ++m_taskPagesRead > kMaxTaskPages) {
        cancelSyncWithError(kEndlessTasks);
        return std::nullopt;
    }
    m_taskPageTokensSeen.insert(token);
    return token;
}

void HMGoogleSyncDriver::taskListsReturned(bool readGoogleTasks, int status, const QByteArray &body)
{
    const std::optional<QVariantMap> reply = acceptedTaskPage("TL", status, body);
    if (!reply)
        return;
    for (const googletasklist::TaskList &list : googletasklist::taskListsOfReply(*reply)) {
        if (m_defaultTaskListId.isEmpty())
            m_defaultTaskListId = list.id;
        m_taskLists.append(list);
    }
    const std::optional<QString> token = nextTaskPageToken(*reply);
    if (!token)
        return;
    if (!token->isEmpty()) {
        sendTaskListsRequest(*token, readGoogleTasks);
        return;
    }
    m_taskListsRead = true;
    DDLogVerbose(QStringLiteral("Task lists %1, default %2").arg(m_taskLists.size()).arg(m_defaultTaskListId));
    if (readGoogleTasks)
        evaluateModifiedDatesForTaskLists();
    else
        listOutlookTasks();
}

void HMGoogleSyncDriver::evaluateModifiedDatesForTaskLists()
{
    m_arrayOfModifiedTaskLists.clear();
    m_taskReading = googletasklist::Reading();
    m_taskListing.reset();
    const bool rereads = m_profile && m_profile->rereadDeviceOnNextSync();
    QDateTime comparison;
    if (rereads) {
        if (const auto tasks = std::dynamic_pointer_cast<HMTaskData>(m_taskData))
            tasks->removeDeletedOutlookIdsFromDatFile();
    } else {
        comparison = taskListing().storedDate;
    }
    // A list whose date could not be read is never read.
    for (const googletasklist::TaskList &list : std::as_const(m_taskLists)) {
        if (list.updated.isValid() && (!comparison.isValid() || list.updated > comparison))
            m_arrayOfModifiedTaskLists.append(list.id);
    }
    DDLogVerbose(QStringLiteral("Modified task lists %1").arg(m_arrayOfModifiedTaskLists.size()));
    if (m_arrayOfModifiedTaskLists.isEmpty()) {
        if (m_delegate != nullptr)
            m_delegate->syncDriverTaskListCommandReturnedWithDictionaries({}, {}, QDateTime());
        return;
    }
    listGoogleTasksForTaskListId(m_arrayOfModifiedTaskLists.first());
}

void HMGoogleSyncDriver::listGoogleTasksForTaskListId(const QString &listId, const QString &pageToken)
{
    if (stopsForCancel())
        return;
    if (pageToken.isEmpty())
        m_taskPageTokensSeen.clear();
    if (m_batchSize == 0)
        m_batchSize = 100;
    showProgress(QStringLiteral("Requesting tasks from Google"), 0.84);
    // From the latest "updated" read on (Google's bound is inclusive; only later tasks are changes): a
    // bound seconds later would pass over a task written in those seconds, among them our own insert
    // whose answer was lost, which the next upload would then double. Rereading asks for every task
    // but the deleted ones.
    const QDateTime stored = taskListing().storedDate;
    const bool rereads = m_profile && m_profile->rereadDeviceOnNextSync();
    const QDateTime since = rereads ? QDateTime() : stored;
    sendTaskPageRequest(googletasklist::tasksPath(listId, since, pageToken), QStringLiteral("T"),
                        [listId](HMGoogleSyncDriver &driver, int status, const QByteArray &body) {
                            driver.taskPageReturned(listId, status, body);
                        });
}

// A page GET on a new client with the task headers: its reply to the handler while the driver
// lives, a failure (no reply) ends the run with its description.
void HMGoogleSyncDriver::sendTaskPageRequest(const QString &path, const QString &tag,
                                             std::function<void(HMGoogleSyncDriver &, int, const QByteArray &)> onReply)
{
    makeClient(googlehosts::apiHost())->setValueForHTTPHeaderField("*", "If-Match");
    sendPageRequest(path, tag, googlehosts::kMaxPageReplyBytes, std::move(onReply));
}

void HMGoogleSyncDriver::taskPageReturned(const QString &listId, int status, const QByteArray &body)
{
    const std::optional<QVariantMap> page = acceptedTaskPage("T", status, body);
    if (!page)
        return;
    readTaskPage(listId, *page);
    if (const auto sheet = GlobalVariables::getCurrentSyncProgressController(); sheet && !m_shouldCancel->load())
        sheet->setUserMessageDirectly(QStringLiteral("Reading Google tasks %1").arg(m_taskReading.recordCounter));

    const std::optional<QString> token = nextTaskPageToken(*page);
    if (!token)
        return;
    if (!token->isEmpty()) {
        listGoogleTasksForTaskListId(listId, *token);
        return;
    }
    m_arrayOfModifiedTaskLists.removeFirst();
    if (!m_arrayOfModifiedTaskLists.isEmpty()) {
        listGoogleTasksForTaskListId(m_arrayOfModifiedTaskLists.first());
        return;
    }
    finishTaskReading();
}

// The page's tasks filed into the reading, and the list of each task kept.
void HMGoogleSyncDriver::readTaskPage(const QString &listId, const QVariantMap &page)
{
    googletasklist::PageContext context;
    context.rereads = m_profile && m_profile->rereadDeviceOnNextSync();
    const QDateTime stored = taskListing().storedDate;
    context.comparisonDate = stored.isValid() ? stored : googletasklist::firstListDate();
    context.allowDeletesFromGoogle = m_allowDeletesFromGoogle;
    for (const googletasklist::TaskList &list : std::as_const(m_taskLists)) {
        if (list.id == listId)
            context.listTitle = list.title;
    }
    context.now = QDateTime::currentDateTimeUtc();
    context.ownWrites = taskListing().ownWrites;
    googletasklist::readPage(page, context, m_taskReading);
    // Where each task lives, for its update or deletion: a task stays in its list.
    QList<std::pair<QString, QString>> places;
    for (const QVariant &item : page.value(QStringLiteral("items")).toList()) {
        if (const QString id = item.toMap().value(QStringLiteral("id")).toString(); !id.isEmpty())
            places.append({id, listId});
    }
    if (!taskListsOfTasks().append(places))
        DDLogError(QStringLiteral("The lists of the tasks read could not be kept"));
}

// The date goes with the records: the run writes it once every record is in Outlook. It moves only
// past what was stored, so a quiet sync leaves it where it was. Tasks without a title only pair with
// Outlook tasks sent as new whose answers were lost; a pair that cannot be kept ends the run before
// anything is applied or sent.
void HMGoogleSyncDriver::finishTaskReading()
{
    for (const QString &id : std::as_const(m_taskReading.readIds))
        addIdToExclude(id);
    if (m_taskData && !pairUntitledTasks(*m_taskData, m_taskReading.untitled)) {
        cancelSyncWithError(QStringLiteral("The tasks Google holds already could not be paired; nothing was sent to Google."));
        return;
    }
    if (!m_taskReading.readIds.isEmpty() && !taskListsOfTasks().compact())
        DDLogError(QStringLiteral("The lists of the tasks read could not be compacted"));
    const QDateTime stored = taskListing().storedDate;
    m_taskListing.reset();
    QDateTime listDate;
    if (m_taskReading.mostRecent.isValid() && (!stored.isValid() || m_taskReading.mostRecent > stored))
        listDate = m_taskReading.mostRecent;
    DDLogVerbose(QStringLiteral("allModifiedTasks %1 allDeletedTasks %2")
                     .arg(m_taskReading.modified.size())
                     .arg(m_taskReading.deleted.size()));
    if (m_delegate != nullptr)
        m_delegate->syncDriverTaskListCommandReturnedWithDictionaries(m_taskReading.modified, m_taskReading.deleted,
                                                                      listDate);
}

// ---- A send-only run's unanswered inserts (see +UnansweredInserts) -------------------------------

bool HMGoogleSyncDriver::readsGoogleTasksFirst() const
{
    return !m_profile || m_profile->taskSyncDirection() != HMSyncDirection::MacToDevice;
}

// After the lists: every list's tasks changed since the earliest unanswered insert, or the Outlook
// read at once when every insert was answered.
void HMGoogleSyncDriver::pairSentTaskInserts()
{
    if (stopsForCancel())
        return;
    if (!hasUnansweredInserts(*m_taskData, HMOutlookDatFileHelper::Conduit::Tasks)) {
        readOutlookTasksToSend();
        return;
    }
    DDLogInfo(QStringLiteral("Some tasks sent to Google as new were never answered: Google's copies are looked for"));
    showProgress(QStringLiteral("Looking for tasks Google holds already"), 0.85);
    m_sentTasksSince = googlesenttimes::listingBound(HMOutlookDatFileHelper::Conduit::Tasks);
    m_taskListsToPair.clear();
    for (const googletasklist::TaskList &list : std::as_const(m_taskLists))
        m_taskListsToPair << list.id;
    if (m_taskListsToPair.isEmpty()) {
        finishPairingSentTasks();
        return;
    }
    requestSentTasksPage({});
}

void HMGoogleSyncDriver::requestSentTasksPage(const QString &pageToken)
{
    if (pageToken.isEmpty())
        m_taskPageTokensSeen.clear();
    sendTaskPageRequest(googletasklist::tasksPath(m_taskListsToPair.first(), m_sentTasksSince, pageToken),
                        QStringLiteral("T"),
                        [](HMGoogleSyncDriver &driver, int status, const QByteArray &body) {
                            driver.sentTasksPageReturned(status, body);
                        });
}

// Each task that matches an unanswered insert is paired with its Outlook task, and its list kept for
// the update that follows; nothing goes to Outlook. A refused or unreadable page ends the run before
// anything is sent.
void HMGoogleSyncDriver::sentTasksPageReturned(int status, const QByteArray &body)
{
    const std::optional<QVariantMap> page = acceptedTaskPage("TS", status, body);
    if (!page)
        return;
    const QString listId = m_taskListsToPair.first();
    QString listTitle;
    for (const googletasklist::TaskList &list : std::as_const(m_taskLists))
        listTitle = list.id == listId ? list.title : listTitle;
    QList<std::pair<QString, QString>> places;
    for (const QVariant &item : page->value(QStringLiteral("items")).toList()) {
        const QVariantMap task = item.toMap();
        if (task.value(QStringLiteral("deleted")).toBool())
            continue;
        const QVariantMap record = googletasklist::recordOfTask(task, listTitle, QDateTime::currentDateTimeUtc());
        if (m_taskData->adoptUnconfirmedOutlookAdd(record, quint64(HMSyncConduit::Tasks)))
            places.append({record.value(QStringLiteral("UID")).toString(), listId});
    }
    if (!taskListsOfTasks().append(places))
        DDLogError(QStringLiteral("The lists of the tasks paired could not be kept"));
    const std::optional<QString> token = nextTaskPageToken(*page);
    if (!token)
        return;
    if (!token->isEmpty()) {
        requestSentTasksPage(*token);
        return;
    }
    m_taskListsToPair.removeFirst();
    if (m_taskListsToPair.isEmpty())
        finishPairingSentTasks();
    else
        requestSentTasksPage({});
}

// The pairs found join the map; the inserts Google does not hold never reached it, and this run's
// Outlook read lists them as new again (the Outlook date did not move past them).
void HMGoogleSyncDriver::finishPairingSentTasks()
{
    if (!m_taskData->commitAdoptedOutlookPairs()) {
        cancelSyncWithError(QStringLiteral("The tasks Google holds already could not be paired; nothing was sent to Google."));
        return;
    }
    if (!forgetSentInserts(*m_taskData, HMOutlookDatFileHelper::Conduit::Tasks)) {
        cancelSyncWithError(QStringLiteral("The list of tasks sent to Google as new could not be emptied; "
                                           "nothing was sent to Google."));
        return;
    }
    readOutlookTasksToSend();
}
