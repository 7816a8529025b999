// The CalendarStore road of the task data source: listing the tasks changed since the last sync,
// applying device tasks with their priority, due date, completion and category, and deleting.
#include "datasources/tasks/HMTaskData.h"

#include "datasources/calendar/HMCalendarStoreChecksum.h"

#include "foundation/GlobalVariables.h"
#include "foundation/HMSyncProgressReporting.h"
#include "foundation/Lumberjack/DDLog.h"
#include "foundation/NSDictionary+HMExtras.h"
#include "foundation/NSMutableDictionary+HMExtras.h"
#include "platform/eventkit/CalCalendar.h"
#include "platform/eventkit/CalCalendarStore.h"
#include "platform/foundation/DistributedNotificationCenter.h"
#include "sync/HMIdentifierGraph.h"
#include "datasources/calendar/HMCalendarDataKeys.h"
#include "sync/HMSyncFields.h"

#include <QTimeZone>

using namespace hmcalendar;

namespace {

// The device numbers priorities 1 (high) to 3 (low); the store as iCalendar does, 0 for none.
int devicePriorityFromStore(int priority)
{
    if (priority == platform::CalPriorityHigh)
        return 1;
    if (priority == platform::CalPriorityLow)
        return 3;
    return 2;
}

int storePriorityFromDevice(qint64 priority)
{
    switch (priority) {
    case 0:
        return platform::CalPriorityNone;
    case 1:
        return platform::CalPriorityHigh;
    case 2:
        return platform::CalPriorityMedium;
    default:
        return platform::CalPriorityLow;
    }
}

// The progress of the listing goes to other programs too, and to the progress sheet.
void reportListingProgress(qint64 position, qint64 total)
{
    const QString text = QStringLiteral("Reading %1 of %2 Apple Reminders.").arg(position).arg(total);
    const double fraction = double(position) / double(total);
    (void)platform::DistributedNotificationCenter::defaultCenter().postNotificationName(
        QStringLiteral("HMSyncProgressStepNotification"), QStringLiteral("Tasks"),
        {{QStringLiteral("HMSyncProgressStepMessage"), text},
         {QStringLiteral("HMSyncProgressStepProgress"), fraction}});
    if (const std::shared_ptr<HMSyncProgressReporting> progress = GlobalVariables::getCurrentSyncProgressController()) {
        progress->setOverallMessageDirectly(QString(), fraction);
        progress->setUserMessageDirectly(text);
    }
}

// 1900 is the device's mark for "no due date".
bool isNoDueDateMark(const QDateTime &date)
{
    return date.isValid() && date.toTimeZone(QTimeZone::systemTimeZone()).date().year() == 1900;
}

} // namespace

QVariantMap HMTaskData::pppDictionaryForTask(const platform::CalTask &task, const QVariantMap &, quint64)
{
    QVariantMap record =
        taskRecordWithTitle(task.title(), task.notes(), task.calendar() ? task.calendar()->title() : QString());
    if (task.dueDate().isValid())
        record.insert(key(kHMSyncFieldDueDate), task.dueDate());
    record.insert(key(kHMSyncFieldCompleted), task.isCompleted());
    record.insert(key(kHMSyncFieldPriority), devicePriorityFromStore(task.priority()));
    record.insert(key(kHMSyncFieldMaxPriority), 3);
    updateCalendarDictionary(record, task);
    return record;
}

std::optional<QList<HMSyncRecord>>
HMTaskData::syncCalendarStoreRecordObjectsModifiedAfter(const QDateTime &date, bool includeDeletes,
                                                        const QSet<QString> &excludedHmUids)
{
    DDLogInfo(
        QStringLiteral("Loading apple tasks modified after %1").arg(dateUtilities().localDateTimeStringFromDate(date)));
    const std::shared_ptr<platform::CalCalendarStore> store = calendarStore();
    const QList<std::shared_ptr<platform::CalTask>> tasks =
        store->tasksWithPredicate(platform::CalCalendarStore::taskPredicateWithCalendars(calendarsToRead()));
    QList<HMSyncRecord> records;
    // The dictionaries a task was found for, as a set: the others' tasks are gone.
    const std::optional<HMIdentifierGraph::Entries> known = identifierGraphEntries();
    if (!known)
        return records;
    QSet<QString> found;
    for (qsizetype index = 0; index < tasks.size(); ++index) {
        reportListingProgress(index + 1, tasks.size());
        listCalendarStoreTask(*tasks[index], date, excludedHmUids, found, records);
    }
    if (!includeDeletes)
        return records;
    appendDeletions(dictionariesNotFound(*known, found), records);
    return records;
}

void HMTaskData::listCalendarStoreTask(const platform::CalTask &task, const QDateTime &date,
                                       const QSet<QString> &excludedHmUids, QSet<QString> &found,
                                       QList<HMSyncRecord> &records)
{
    const std::shared_ptr<HMIdentifierGraph> graph = identifierGraph();
    const std::optional<QVariantMap> dictionary = graph->dictionaryForNativeId(task.uid());
    if (dictionary)
        found.insert(foundKeyOf(*dictionary));
    // A task sent as new whose answer never came goes as new again, under the same id.
    if (!dictionary || isUnconfirmed(*dictionary)) {
        const QVariantMap identifier =
            dictionary.value_or(QVariantMap{{kNativeIdKey, task.uid()}, {kHmUidKey, HMData::newUid()}});
        const QVariantMap fields = pppDictionaryForTask(task, identifier, 1);
        appendNewTaskRecord(withChecksumOf(identifier, fields), fields, records);
        return;
    }
    if (!isStoreItemChangedAfter(task.dateStamp(), date, QLatin1StringView()))
        return;
    // A task whose record is the one last sent or applied from the device has not changed, however
    // the seconds of its save and of the last sync fall; a listing that rereads everything sends it.
    const QVariantMap fields = pppDictionaryForTask(task, *dictionary, 1);
    const QVariantMap updated = withChecksumOf(*dictionary, fields);
    if (date.isValid() && updated == *dictionary)
        return;
    appendChangedTaskRecord(updated, excludedHmUids, records, [&] { return fields; });
}

// The checksum of the task's record as its identifier dictionary keeps it.
QVariantMap HMTaskData::withChecksumOf(QVariantMap identifier, const QVariantMap &fields)
{
    identifier.insert(kCrcKey, calendarStoreChecksumOfRecord(fields));
    return identifier;
}

// The save is synchronous, so a task the store refused is known at once: a new one answers 1 and gets
// no identifier dictionary, or the next listing would read it as deleted and delete the device's task.
qint64 HMTaskData::calendarStoreCommandAction(qint32, quint64, quint64 conflictSetting, const QVariantMap &record,
                                              qint64 timeDifference)
{
    const QDateTime deviceTime = countTaskAndCompensate(record, timeDifference);
    const std::optional<RecordIdentity> identity = identityOfRecord(record);
    if (!identity)
        return 0;
    DDLogVerbose(QStringLiteral("Looking up hmUid in identifier graph: '%1'").arg(identity->uid));
    qint64 result = 2;
    const std::shared_ptr<platform::CalTask> task =
        taskToWrite(identity->nativeId, record, conflictSetting, deviceTime, result);
    if (!task)
        return result;
    writeRecordToTask(*task, record);
    const platform::Status saved = calendarStore()->saveTask(task);
    if (!saved) {
        DDLogError(
            QStringLiteral("ERROR: Error saving task %1 (%2) to calendar.")
                .arg(HMData::stringForKey(key(kHMSyncFieldSubject), record),
                     dateUtilities().localDateTimeStringFromDate(record.value(key(kHMSyncFieldDueDate)).toDateTime())));
        DDLogError(QStringLiteral("ERROR INFORMATION: %1").arg(saved.error().message()));
        return result == 3 ? 1 : result;
    }
    const std::shared_ptr<HMIdentifierGraph> graph = identifierGraph();
    if (!identity->identifier && graph) {
        DDLogInfo(QStringLiteral("hmUid did not have a identifier record (means no native id was found)."));
        graph->appendDictionary(QVariantMap{{kHmUidKey, identity->uid}, {kNativeIdKey, task->uid()}});
    }
    // The next listing does not send the task back while its record stays the one written here; a
    // duplicate made under the conflict rule leaves the dictionary naming the earlier task.
    std::optional<QVariantMap> dictionary = graph ? graph->dictionaryForHarrowmereUid(identity->uid) : std::nullopt;
    // A task made anew for a known record whose own task is gone is the one its dictionary names now.
    if (dictionary && !calendarStore()->taskWithUID(dictionary->value(kNativeIdKey).toString()))
        dictionary->insert(kNativeIdKey, task->uid());
    const std::shared_ptr<platform::CalTask> stored = calendarStore()->taskWithUID(task->uid());
    if (dictionary && stored && dictionary->value(kNativeIdKey).toString() == task->uid())
        graph->setDictionary(withChecksumOf(*dictionary, pppDictionaryForTask(*stored, *dictionary, 1)), identity->uid);
    return result;
}

std::shared_ptr<platform::CalTask> HMTaskData::taskToWrite(const QString &nativeId, const QVariantMap &record,
                                                           quint64 conflictSetting, const QDateTime &deviceTime,
                                                           qint64 &result)
{
    // Opening the store resolves the calendar to write to.
    const std::shared_ptr<platform::CalCalendarStore> store = calendarStore();
    std::shared_ptr<platform::CalTask> task;
    if (!nativeId.isEmpty()) {
        DDLogInfo(QStringLiteral("Loading native record '%1'").arg(nativeId));
        task = store->taskWithUID(nativeId);
    }
    bool keepTask = true;
    if (task && !deviceWinsConflict(task->dateStamp(), conflictSetting, deviceTime, keepTask)) {
        result = 1;
        return nullptr;
    }
    if (task && keepTask)
        return task;
    if (!task) {
        if (std::shared_ptr<platform::CalTask> written = unclaimedCalendarStoreTwin(record)) {
            DDLogInfo(QStringLiteral("Found the task an interrupted run wrote for this record"));
            return written;
        }
    }
    DDLogInfo(QStringLiteral("Creating new native record"));
    task = platform::CalTask::task();
    task->setCalendar(calendarToWriteTo());
    result = 3;
    return task;
}

// A run that died after it wrote a device task but before its identifier graph was saved leaves a
// task no identifier dictionary names; the device sends the record again. The task with the record's
// title, notes and due day that nothing claims is that one, and is written again rather than doubled.
std::shared_ptr<platform::CalTask> HMTaskData::unclaimedCalendarStoreTwin(const QVariantMap &record)
{
    const std::shared_ptr<HMIdentifierGraph> graph = identifierGraph();
    if (!graph)
        return nullptr;
    const QString title = HMData::stringForKey(key(kHMSyncFieldSubject), record);
    const QString notes = HMData::stringForKey(key(kHMSyncFieldNote), record);
    const QDateTime due = record.value(key(kHMSyncFieldDueDate)).toDateTime();
    const QDate dueDay = due.isValid() && !isNoDueDateMark(due) ? due.toLocalTime().date() : QDate();
    const QList<std::shared_ptr<platform::CalTask>> tasks =
        calendarStore()->tasksWithPredicate(platform::CalCalendarStore::taskPredicateWithCalendars(calendarsToRead()));
    for (const std::shared_ptr<platform::CalTask> &task : tasks) {
        const QDate taskDay = task->dueDate().isValid() ? task->dueDate().toLocalTime().date() : QDate();
        if (task->title() == title && task->notes() == notes && taskDay == dueDay &&
            !graph->dictionaryForNativeId(task->uid()))
            return task;
    }
    return nullptr;
}

void HMTaskData::writeRecordToTask(platform::CalTask &task, const QVariantMap &record)
{
    task.setTitle(HMData::stringForKey(key(kHMSyncFieldSubject), record));
    task.setNotes(HMData::stringForKey(key(kHMSyncFieldNote), record));
    const QVariant due = record.value(key(kHMSyncFieldDueDate));
    // The device's 1900 mark is no due date, not a task due more than a century ago.
    if (due.isValid() && isNoDueDateMark(due.toDateTime()))
        task.setDueDate(QDateTime());
    else if (due.isValid() && due.toDateTime().isValid())
        setDueDayFromDevice(*task.reminder(), due.toDateTime());
    updateCalendarItem(task, record);
    const int priority = storePriorityFromDevice(record.value(key(kHMSyncFieldPriority)).toLongLong());
    DDLogVerbose(QStringLiteral("Setting Quillpad Priority of %1 to Apple Priority of %2")
                     .arg(record.value(key(kHMSyncFieldPriority)).toLongLong())
                     .arg(priority));
    task.setPriority(priority);
    task.setIsCompleted(HMData::stringForKey(key(kHMSyncFieldCompleted), record) == QLatin1String("1"));
    const QString category = record.value(key(kHMSyncFieldNSArrayCategories)).toList().value(0).toString();
    if (category.isEmpty())
        return;
    if (const std::shared_ptr<platform::CalCalendar> calendar = calendarWithName(category, true)) {
        DDLogInfo(QStringLiteral("Setting Calendar: %1").arg(category));
        task.setCalendar(calendar);
    } else {
        DDLogInfo(QStringLiteral("Could not find calendar for category: %1").arg(category));
    }
}

void HMTaskData::deleteCalendarStoreUidRecords(const QStringList &hmUids)
{
    const std::shared_ptr<platform::CalCalendarStore> store = calendarStore();
    deleteTaskUidRecords(hmUids, QStringLiteral("Deleting %1 of %2 Calendar Tasks."),
                         [&store](const QString &nativeId) -> std::optional<platform::Status> {
                             const std::shared_ptr<platform::CalTask> task = store->taskWithUID(nativeId);
                             if (!task)
                                 return std::nullopt;
                             return store->removeTask(task);
                         });
}
