#pragma once

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <optional>

// Tasks v1 replies (task lists and pages of tasks, as JSON objects) read into task records, and the
// texts of the task requests. Pure functions of their arguments and the local time zone.
namespace googletasklist {

// One task list of the account: its title and its "updated" moment (invalid when unreadable).
struct TaskList
{
    QString id;
    QString title;
    QDateTime updated;
};

// What one reading keeps across its lists and pages.
struct Reading
{
    QList<QVariantMap> modified;  // records to apply to Outlook
    // Tasks without a title: never applied to Outlook (Google keeps blank tasks a user never meant),
    // only paired with an Outlook task sent as new whose answer was lost.
    QList<QVariantMap> untitled;
    QStringList deleted;          // Google ids to delete in Outlook
    QStringList readIds;          // the "id" of every task taken (left out of the Outlook upload)
    QDateTime mostRecent;         // the latest "updated" read, taken or not
    qint64 recordCounter = 0;
};

struct PageContext
{
    QDateTime comparisonDate;     // tasks not later than this are not changes
    bool rereads = false;         // every task is a change
    bool allowDeletesFromGoogle = true;
    QString listTitle;            // the category of the tasks read
    QDateTime now;
    // Google id to "updated" text of tasks this program wrote: a task still carrying that text is our
    // own write coming back.
    QHash<QString, QString> ownWrites;
};

// The first list date a sync compares with when it has none: 2015-12-29 00:00 UTC.
QDateTime firstListDate();

// A task's "due" (the day Google keeps): read as local wall time, its "Z" taken as a letter, so the
// day written is the day read whatever the zone; with or without milliseconds.
QDateTime dateOfDue(const QString &text);
// A local moment as "due": "yyyy-MM-ddTHH:mm:ss.zzzZ" in local wall time.
QString dueText(const QDateTime &date);

// The lists of one reply, in their order; elements that are no object or lack an id or title are
// left out.
QList<TaskList> taskListsOfReply(const QVariantMap &reply);

// The record of one task item of the list titled `listTitle` (none: no category).
QVariantMap recordOfTask(const QVariantMap &item, const QString &listTitle, const QDateTime &now);
// Every item of the page, filed into the reading.
void readPage(const QVariantMap &page, const PageContext &context, Reading &reading);

// Request paths (relative to the API host, no leading "/").
// The account's lists; an empty token asks for the first page.
QString taskListsPath(const QString &pageToken);
// One page of a list's tasks; an invalid date reads the whole list without deleted tasks.
QString tasksPath(const QString &listId, const QDateTime &updatedMin, const QString &pageToken);
// The writes.
QString insertPath(const QString &listId);
QString taskPath(const QString &listId, const QString &taskId);

// The task list of a record: the list whose title equals one of its categories, the last category
// that names one winning; empty when none does.
QString listIdOfCategories(const QVariantMap &record, const QList<TaskList> &lists);

} // namespace googletasklist
