// Tasks v1 of the Google peer: the account's task lists and their tasks, listed by page (at most 100
// a page whatever "maxResults" asks, as Google does) with "updatedMin" and "showDeleted", written one
// task at a time. Every write moves its list's "updated". The account's first list is its default
// ("@default"); an account without lists gets "My Tasks" at its first task request.
#include "GooglePeer.h"

#include <httplib.h>

#include <QJsonDocument>
#include <QUrl>

#include <algorithm>

namespace googlepeer {

namespace {

const char kTaskJsonType[] = "application/json; charset=UTF-8";
constexpr int kDefaultTaskPageSize = 20;
constexpr int kLargestTaskPageSize = 100;

QString taskPageToken(qsizetype offset)
{
    return QString::fromLatin1(("t" + QByteArray::number(offset)).toBase64(QByteArray::Base64UrlEncoding));
}

qsizetype offsetOfTaskToken(const QString &token)
{
    const QByteArray plain = QByteArray::fromBase64(token.toLatin1(), QByteArray::Base64UrlEncoding);
    return plain.startsWith('t') ? std::max<qsizetype>(0, plain.mid(1).toLongLong()) : 0;
}

// Google keeps the day of "due" only: the time of day becomes midnight, in the text's own letters.
QString dueDay(const QString &due)
{
    return due.size() >= 10 ? due.left(10) + QStringLiteral("T00:00:00.000Z") : due;
}

// A page of items: the page size, "nextPageToken" while more follow. `repeats`: every page names the
// same next page (an endless list).
QJsonObject pageOf(const QList<QJsonObject> &all, const httplib::Request &request, const char *kind,
                   const std::optional<Switch> &change)
{
    const QString maxText = QString::fromStdString(request.get_param_value("maxResults"));
    int perPage = std::clamp(maxText.isEmpty() ? kDefaultTaskPageSize : maxText.toInt(), 1, kLargestTaskPageSize);
    const bool repeats = change && change->kind == SwitchKind::RepeatedPageToken;
    if (change && (change->kind == SwitchKind::SmallPages || repeats))
        perPage = 2;
    const qsizetype start = repeats ? 0 : offsetOfTaskToken(QString::fromStdString(request.get_param_value("pageToken")));
    QJsonArray items;
    for (qsizetype at = start; at < all.size() && at < start + perPage; ++at)
        items.append(all.at(at));
    QJsonObject page{{QStringLiteral("kind"), QLatin1String(kind)}, {QStringLiteral("etag"), QStringLiteral("\"p\"")},
                     {QStringLiteral("items"), items}};
    if (start + perPage < all.size() || repeats)
        page.insert(QStringLiteral("nextPageToken"), taskPageToken(repeats ? perPage : start + perPage));
    return page;
}

void sendJson(httplib::Response &response, const QJsonObject &object, int status = 200)
{
    response.status = status;
    response.set_content(QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString(), kTaskJsonType);
}

} // namespace

// Called with the lock held.
QJsonArray GooglePeer::taskListsOf(const QString &email)
{
    QJsonObject account = accountOf(email);
    QJsonArray lists = account.value(QStringLiteral("taskLists")).toArray();
    if (!lists.isEmpty())
        return lists;
    lists.append(QJsonObject{{QStringLiteral("kind"), QStringLiteral("tasks#taskList")},
                             {QStringLiteral("id"), QStringLiteral("MDAwMTIzNDU2Nzg5OjA6MA")},
                             {QStringLiteral("title"), QStringLiteral("My Tasks")},
                             {QStringLiteral("updated"), nextEventStamp()}});
    account.insert(QStringLiteral("taskLists"), lists);
    putAccount(email, account);
    saveState();
    return lists;
}

// The list a path segment names ("@default": the first); empty when none. Called with the lock held.
QString GooglePeer::taskListOfPath(const QString &email, const QString &segment)
{
    const QString id = QUrl::fromPercentEncoding(segment.toUtf8());
    const QJsonArray lists = taskListsOf(email);
    if (id == QLatin1String("@default"))
        return lists.first().toObject().value(QStringLiteral("id")).toString();
    for (const QJsonValue &list : lists) {
        if (list.toObject().value(QStringLiteral("id")).toString() == id)
            return id;
    }
    return {};
}

// Called with the lock held.
QJsonObject GooglePeer::tasksOf(const QString &email, const QString &listId) const
{
    return accountOf(email).value(QStringLiteral("tasks")).toObject().value(listId).toObject();
}

// Called with the lock held: the task stored, its list's "updated" moved to the task's, the
// change kept before the answer.
void GooglePeer::storeTask(const QString &email, const QString &listId, const QJsonObject &task)
{
    QJsonObject account = accountOf(email);
    QJsonObject lists = account.value(QStringLiteral("tasks")).toObject();
    QJsonObject tasks = lists.value(listId).toObject();
    tasks.insert(task.value(QStringLiteral("id")).toString(), task);
    lists.insert(listId, tasks);
    account.insert(QStringLiteral("tasks"), lists);
    QJsonArray taskLists = account.value(QStringLiteral("taskLists")).toArray();
    for (qsizetype at = 0; at < taskLists.size(); ++at) {
        QJsonObject list = taskLists.at(at).toObject();
        if (list.value(QStringLiteral("id")).toString() == listId) {
            list.insert(QStringLiteral("updated"), task.value(QStringLiteral("updated")));
            taskLists.replace(at, list);
        }
    }
    account.insert(QStringLiteral("taskLists"), taskLists);
    putAccount(email, account);
    noteRecordChanged({email, QStringLiteral("tasks"), listId, task.value(QStringLiteral("id")).toString()});
    saveState();
}

bool GooglePeer::tasksService(const QString &email, const httplib::Request &request, httplib::Response &response,
                              const std::optional<Switch> &change)
{
    const QString raw = QString::fromStdString(request.target).section(u'?', 0, 0);
    const QStringList parts = raw.split(u'/', Qt::SkipEmptyParts);
    if (parts.size() < 3 || parts[0] != QLatin1String("tasks") || parts[1] != QLatin1String("v1"))
        return false;
    if (parts.size() == 5 && parts[2] == QLatin1String("users") && parts[3] == QLatin1String("@me") &&
        parts[4] == QLatin1String("lists")) {
        if (request.method == "GET")
            listTaskLists(email, request, response, change);
        else if (request.method == "POST")
            insertTaskList(email, request, response);
        else
            sendError(response, 405, QStringLiteral("Method Not Allowed"));
        return true;
    }
    if (parts.size() < 5 || parts.size() > 6 || parts[2] != QLatin1String("lists") || parts[4] != QLatin1String("tasks"))
        return false;
    QString listId;
    {
        const std::lock_guard lock(m_mutex);
        listId = taskListOfPath(email, parts[3]);
    }
    if (listId.isEmpty()) {
        sendError(response, 404, QStringLiteral("Task list not found."));
        return true;
    }
    const QString taskId = parts.size() == 6 ? QUrl::fromPercentEncoding(parts[5].toUtf8()) : QString();
    if (parts.size() == 5 && request.method == "GET")
        listTasks(email, listId, request, response, change);
    else if (parts.size() == 5 && request.method == "POST")
        writeTask(email, listId, QString(), request, response);
    else if (parts.size() == 6 && request.method == "GET")
        getTask(email, listId, taskId, response);
    else if (parts.size() == 6 && request.method == "PUT")
        writeTask(email, listId, taskId, request, response);
    else if (parts.size() == 6 && request.method == "DELETE")
        deleteTask(email, listId, taskId, response);
    else
        sendError(response, 405, QStringLiteral("Method Not Allowed"));
    return true;
}

void GooglePeer::listTaskLists(const QString &email, const httplib::Request &request, httplib::Response &response,
                               const std::optional<Switch> &change)
{
    QList<QJsonObject> lists;
    {
        const std::lock_guard lock(m_mutex);
        for (const QJsonValue &list : taskListsOf(email))
            lists.append(list.toObject());
    }
    sendJson(response, pageOf(lists, request, "tasks#taskLists", change));
}

void GooglePeer::insertTaskList(const QString &email, const httplib::Request &request, httplib::Response &response)
{
    const QJsonObject body = QJsonDocument::fromJson(QByteArray::fromStdString(request.body)).object();
    if (body.value(QStringLiteral("title")).toString().isEmpty()) {
        sendError(response, 400, QStringLiteral("Missing title."));
        return;
    }
    sendJson(response, addTaskList(email, body.value(QStringLiteral("title")).toString(), QString()));
}

QJsonObject GooglePeer::addTaskList(const QString &email, const QString &title, QString id)
{
    const std::lock_guard lock(m_mutex);
    QJsonArray lists = taskListsOf(email);
    if (id.isEmpty()) {
        const int counter = m_state.value(QStringLiteral("counter")).toInt() + 1;
        m_state.insert(QStringLiteral("counter"), counter);
        id = QStringLiteral("TL%1").arg(counter, 6, 10, QLatin1Char('0'));
    }
    const QJsonObject list{{QStringLiteral("kind"), QStringLiteral("tasks#taskList")}, {QStringLiteral("id"), id},
                           {QStringLiteral("title"), title}, {QStringLiteral("updated"), nextEventStamp()}};
    lists.append(list);
    QJsonObject account = accountOf(email);
    account.insert(QStringLiteral("taskLists"), lists);
    putAccount(email, account);
    saveState();
    return list;
}

// Ordered by "updated", then id; "updatedMin" is inclusive; deleted tasks only with showDeleted.
void GooglePeer::listTasks(const QString &email, const QString &listId, const httplib::Request &request,
                           httplib::Response &response, const std::optional<Switch> &change)
{
    const QDateTime updatedMin =
        QDateTime::fromString(QString::fromStdString(request.get_param_value("updatedMin")), Qt::ISODateWithMs);
    if (request.has_param("updatedMin") && !updatedMin.isValid()) {
        sendError(response, 400, QStringLiteral("Invalid updatedMin."));
        return;
    }
    const bool showDeleted = request.get_param_value("showDeleted") == "true";
    const bool showCompleted = request.get_param_value("showCompleted") != "false";
    QList<QJsonObject> listed;
    {
        const std::lock_guard lock(m_mutex);
        const QJsonObject tasks = tasksOf(email, listId);
        for (auto it = tasks.begin(); it != tasks.end(); ++it) {
            const QJsonObject task = it.value().toObject();
            const QDateTime updated = QDateTime::fromString(task.value(QStringLiteral("updated")).toString(), Qt::ISODateWithMs);
            if ((task.value(QStringLiteral("deleted")).toBool() && !showDeleted) ||
                (!showCompleted && task.value(QStringLiteral("status")).toString() == QLatin1String("completed")) ||
                (updatedMin.isValid() && updated < updatedMin))
                continue;
            listed.append(task);
        }
    }
    std::sort(listed.begin(), listed.end(), [](const QJsonObject &a, const QJsonObject &b) {
        const QString left = a.value(QStringLiteral("updated")).toString();
        const QString right = b.value(QStringLiteral("updated")).toString();
        return left != right ? left < right : a.value(QStringLiteral("id")).toString() < b.value(QStringLiteral("id")).toString();
    });
    sendJson(response, pageOf(listed, request, "tasks#tasks", change));
}

void GooglePeer::getTask(const QString &email, const QString &listId, const QString &taskId, httplib::Response &response)
{
    const std::lock_guard lock(m_mutex);
    const QJsonObject tasks = tasksOf(email, listId);
    if (!tasks.contains(taskId)) {
        sendError(response, 404, QStringLiteral("Not Found"));
        return;
    }
    sendJson(response, tasks.value(taskId).toObject());
}

// The fields a client sets; the rest is Google's. An insert gets an id of Google's (a sent "id" is
// not kept); an update replaces the task's fields, 404 for a task the list does not hold.
void GooglePeer::writeTask(const QString &email, const QString &listId, const QString &taskId,
                           const httplib::Request &request, httplib::Response &response)
{
    QJsonParseError error;
    const QJsonObject body = QJsonDocument::fromJson(QByteArray::fromStdString(request.body), &error).object();
    if (error.error != QJsonParseError::NoError) {
        sendError(response, 400, QStringLiteral("Parse Error"));
        return;
    }
    const std::lock_guard lock(m_mutex);
    const QJsonObject tasks = tasksOf(email, listId);
    QString id = taskId;
    if (id.isEmpty()) {
        const int counter = m_state.value(QStringLiteral("counter")).toInt() + 1;
        m_state.insert(QStringLiteral("counter"), counter);
        id = QStringLiteral("T%1").arg(counter, 8, 10, QLatin1Char('0'));
    } else if (!tasks.contains(id)) {
        sendError(response, 404, QStringLiteral("Not Found"));
        return;
    }
    QJsonObject task = mergedTask(tasks.value(id).toObject(), body);
    task.insert(QStringLiteral("id"), id);
    task.insert(QStringLiteral("selfLink"), QStringLiteral("https://www.googleapis.com/tasks/v1/lists/%1/tasks/%2").arg(listId, id));
    storeTask(email, listId, task);
    sendJson(response, task);
}

// Called with the lock held: the client's fields over the old task, stamped.
QJsonObject GooglePeer::mergedTask(QJsonObject task, const QJsonObject &fields)
{
    for (const char *key : {"title", "notes", "status", "due", "deleted", "hidden", "parent", "position"}) {
        if (fields.contains(QLatin1String(key)))
            task.insert(QLatin1String(key), fields.value(QLatin1String(key)));
    }
    if (task.contains(QStringLiteral("due")))
        task.insert(QStringLiteral("due"), dueDay(task.value(QStringLiteral("due")).toString()));
    const QString stamp = nextEventStamp();
    if (task.value(QStringLiteral("status")).toString() == QLatin1String("completed")) {
        if (!task.contains(QStringLiteral("completed")))
            task.insert(QStringLiteral("completed"), stamp);
    } else {
        task.insert(QStringLiteral("status"), QStringLiteral("needsAction"));
        task.remove(QStringLiteral("completed"));
    }
    task.insert(QStringLiteral("kind"), QStringLiteral("tasks#task"));
    task.insert(QStringLiteral("updated"), stamp);
    task.insert(QStringLiteral("etag"), QStringLiteral("\"%1\"").arg(stamp));
    return task;
}

// A deletion marks the task deleted (its "updated" moves); 404 for an unknown task, 410 for one
// deleted before.
void GooglePeer::deleteTask(const QString &email, const QString &listId, const QString &taskId, httplib::Response &response)
{
    const std::lock_guard lock(m_mutex);
    const QJsonObject tasks = tasksOf(email, listId);
    if (!tasks.contains(taskId)) {
        sendError(response, 404, QStringLiteral("Not Found"));
        return;
    }
    QJsonObject task = tasks.value(taskId).toObject();
    if (task.value(QStringLiteral("deleted")).toBool()) {
        sendError(response, 410, QStringLiteral("Resource has been deleted"));
        return;
    }
    task.insert(QStringLiteral("deleted"), true);
    task.insert(QStringLiteral("updated"), nextEventStamp());
    storeTask(email, listId, task);
    response.status = 204;
}

// A user's edit on Google: the task's fields over the task of that id (a new one when the list holds
// none), stamped. Answers the task's id; empty when the list is unknown.
QString GooglePeer::userPutTask(const QString &email, const QString &listId, const QJsonObject &fields)
{
    const std::lock_guard lock(m_mutex);
    const QString list = taskListOfPath(email, listId);
    if (list.isEmpty())
        return {};
    QString id = fields.value(QStringLiteral("id")).toString();
    if (id.isEmpty()) {
        const int counter = m_state.value(QStringLiteral("counter")).toInt() + 1;
        m_state.insert(QStringLiteral("counter"), counter);
        id = QStringLiteral("U%1").arg(counter, 8, 10, QLatin1Char('0'));
    }
    QJsonObject task = mergedTask(tasksOf(email, list).value(id).toObject(), fields);
    task.insert(QStringLiteral("id"), id);
    storeTask(email, list, task);
    return id;
}

// A user's move on Google: the task leaves list `from` and is kept, same id, stamped, in list `to`
// (its list's "updated" moves); no `to`: Google dropped it for good (purged after a deletion). False
// when a list is unknown or `from` does not hold the task.
bool GooglePeer::userMoveTask(const QString &email, const QString &taskId, const QString &from, const QString &to)
{
    const std::lock_guard lock(m_mutex);
    const QString source = taskListOfPath(email, from);
    const QString target = to.isEmpty() ? QString() : taskListOfPath(email, to);
    QJsonObject account = accountOf(email);
    QJsonObject lists = account.value(QStringLiteral("tasks")).toObject();
    QJsonObject tasks = lists.value(source).toObject();
    if (source.isEmpty() || (!to.isEmpty() && target.isEmpty()) || !tasks.contains(taskId))
        return false;
    QJsonObject task = tasks.take(taskId).toObject();
    lists.insert(source, tasks);
    account.insert(QStringLiteral("tasks"), lists);
    putAccount(email, account);
    // The journal keeps the task gone from its old list, or a restarted peer would hold it twice.
    noteRecordChanged({email, QStringLiteral("tasks"), source, taskId});
    if (target.isEmpty()) {
        saveState();
        return true;
    }
    const QString stamp = nextEventStamp();
    task.insert(QStringLiteral("updated"), stamp);
    task.insert(QStringLiteral("etag"), QStringLiteral("\"%1\"").arg(stamp));
    task.insert(QStringLiteral("selfLink"),
                QStringLiteral("https://www.googleapis.com/tasks/v1/lists/%1/tasks/%2").arg(target, taskId));
    storeTask(email, target, task);
    return true;
}

} // namespace googlepeer
