#include "google/GoogleTaskList.h"

#include "google/GoogleEventList.h"

#include <QRegularExpression>
#include <QTimeZone>
#include <QUrl>

namespace googletasklist {

namespace {

QString pathSegment(const QString &id)
{
    return QString::fromLatin1(QUrl::toPercentEncoding(id));
}

bool isCompleted(const QVariantMap &item)
{
    return item.value(QStringLiteral("status")).toString().compare(QLatin1String("completed"), Qt::CaseInsensitive) == 0;
}

// Whether the item is a change for this reading; the latest "updated" moves either way.
bool isTaken(const QVariantMap &item, const PageContext &context, Reading &reading)
{
    const QDateTime updated = googleeventlist::dateOfUpdated(item.value(QStringLiteral("updated")).toString());
    if (!updated.isValid())
        return context.rereads;
    if (!reading.mostRecent.isValid() || updated > reading.mostRecent)
        reading.mostRecent = updated;
    return context.rereads || !context.comparisonDate.isValid() || updated > context.comparisonDate;
}

} // namespace

QDateTime firstListDate()
{
    return QDateTime(QDate(2015, 12, 29), QTime(0, 0), Qt::UTC);
}

QDateTime dateOfDue(const QString &text)
{
    static const QRegularExpression pattern(QStringLiteral("^(\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d)(\\.\\d{1,3})?Z$"));
    const QRegularExpressionMatch match = pattern.match(text);
    if (!match.hasMatch())
        return {};
    const QDateTime wall = QDateTime::fromString(match.captured(1), QStringLiteral("yyyy-MM-dd'T'HH:mm:ss"));
    if (!wall.isValid())
        return {};
    const int millis = match.captured(2).isEmpty() ? 0 : match.captured(2).mid(1).leftJustified(3, u'0').toInt();
    return QDateTime(wall.date(), wall.time().addMSecs(millis), QTimeZone::systemTimeZone());
}

QString dueText(const QDateTime &date)
{
    return date.toTimeZone(QTimeZone::systemTimeZone()).toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss.zzz'Z'"));
}

QList<TaskList> taskListsOfReply(const QVariantMap &reply)
{
    QList<TaskList> lists;
    const QVariant items = reply.value(QStringLiteral("items"));
    if (items.typeId() != QMetaType::QVariantList)
        return lists;
    for (const QVariant &value : items.toList()) {
        if (value.typeId() != QMetaType::QVariantMap)
            continue;
        const QVariantMap entry = value.toMap();
        TaskList list{entry.value(QStringLiteral("id")).toString(), entry.value(QStringLiteral("title")).toString(),
                      googleeventlist::dateOfUpdated(entry.value(QStringLiteral("updated")).toString())};
        if (!list.id.isEmpty() && entry.contains(QStringLiteral("title")))
            lists.append(list);
    }
    return lists;
}

QVariantMap recordOfTask(const QVariantMap &item, const QString &listTitle, const QDateTime &now)
{
    QVariantMap record;
    const auto copyText = [&](const char *from, const char *to) {
        if (item.contains(QLatin1String(from)))
            record.insert(QLatin1String(to), item.value(QLatin1String(from)).toString());
    };
    copyText("id", "UID");
    copyText("title", "SUBJECT");
    copyText("status", "status");
    copyText("notes", "NOTE");
    const bool completed = isCompleted(item);
    record.insert(QStringLiteral("COMPLETED"), completed);
    // Reopened on Google, a task is reopened in Outlook too.
    record.insert(QStringLiteral("PERCENTCOMPLETE"), qint64(completed ? 100 : 0));
    if (const QDateTime due = dateOfDue(item.value(QStringLiteral("due")).toString()); due.isValid())
        record.insert(QStringLiteral("DUEDATE"), due);
    record.insert(QStringLiteral("DELETED"), item.value(QStringLiteral("deleted")).toBool());
    if (!listTitle.isEmpty())
        record.insert(QStringLiteral("NSARRAYCATEGORIES"), QStringList{listTitle});
    const QDateTime updated = googleeventlist::dateOfUpdated(item.value(QStringLiteral("updated")).toString());
    record.insert(QStringLiteral("NSDATELASTMODIFIEDGOOGLE"), updated.isValid() ? updated : now);
    return record;
}

void readPage(const QVariantMap &page, const PageContext &context, Reading &reading)
{
    for (const QVariant &value : page.value(QStringLiteral("items")).toList()) {
        if (value.typeId() != QMetaType::QVariantMap)
            continue;
        const QVariantMap item = value.toMap();
        if (!isTaken(item, context, reading))
            continue;
        const QString id = item.value(QStringLiteral("id")).toString();
        // Our own write coming back is no change.
        if (!id.isEmpty() && context.ownWrites.contains(id) &&
            context.ownWrites.value(id) == item.value(QStringLiteral("updated")).toString())
            continue;
        const QVariantMap record = recordOfTask(item, context.listTitle, context.now);
        if (!id.isEmpty())
            reading.readIds.append(id);
        if (record.value(QStringLiteral("DELETED")).toBool() && context.allowDeletesFromGoogle) {
            if (!id.isEmpty())
                reading.deleted.append(id);
        } else if (!id.isEmpty() && !record.value(QStringLiteral("SUBJECT")).toString().isEmpty()) {
            reading.modified.append(record);
            ++reading.recordCounter;
        } else if (!id.isEmpty() && !record.value(QStringLiteral("DELETED")).toBool()) {
            reading.untitled.append(record);
        }
    }
}

QString taskListsPath(const QString &pageToken)
{
    const QString path = QStringLiteral("tasks/v1/users/@me/lists");
    return pageToken.isEmpty() ? path : path + QStringLiteral("?pageToken=") + googleeventlist::escapedPageToken(pageToken);
}

QString tasksPath(const QString &listId, const QDateTime &updatedMin, const QString &pageToken)
{
    QString path = QStringLiteral("tasks/v1/lists/%1/tasks?maxResults=100000").arg(pathSegment(listId));
    if (updatedMin.isValid())
        path += QStringLiteral("&showDeleted=true&updatedMin=") + googleeventlist::updatedText(updatedMin);
    if (!pageToken.isEmpty())
        path += QStringLiteral("&pageToken=") + googleeventlist::escapedPageToken(pageToken);
    return path;
}

QString insertPath(const QString &listId)
{
    return QStringLiteral("tasks/v1/lists/%1/tasks").arg(pathSegment(listId));
}

QString taskPath(const QString &listId, const QString &taskId)
{
    return QStringLiteral("tasks/v1/lists/%1/tasks/%2").arg(pathSegment(listId), pathSegment(taskId));
}

QString listIdOfCategories(const QVariantMap &record, const QList<TaskList> &lists)
{
    QString found;
    for (const QString &category : record.value(QStringLiteral("NSARRAYCATEGORIES")).toStringList()) {
        for (const TaskList &list : lists) {
            if (list.title == category) {
                found = list.id;
                break;
            }
        }
    }
    return found;
}

} // namespace googletasklist
