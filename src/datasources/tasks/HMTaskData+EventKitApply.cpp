// The EventKit road of applying device tasks to reminders, deleting them, and the duplicate test.
#include "datasources/tasks/HMTaskData.h"

#include "datasources/calendar/HMTaskEventKitHelper.h"
#include "foundation/GlobalVariables.h"
#include "foundation/HMSyncProgressReporting.h"
#include "foundation/Lumberjack/DDLog.h"
#include "foundation/NSDictionary+HMExtras.h"
#include "platform/eventkit/EKEventStore.h"
#include "sync/HMIdentifierGraph.h"
#include "datasources/calendar/HMCalendarDataKeys.h"
#include "sync/HMSyncFields.h"

#include <QTimeZone>

using namespace hmcalendar;

namespace {

QString dayText(const QDateTime &date)
{
    return date.toTimeZone(QTimeZone::systemTimeZone()).toString(QStringLiteral("yyyy-MM-dd"));
}

// Due dates from the device keep their day and fall at 08:00 local time.
// 1900 is the device's mark for "no due date".
bool isNoDueDateMark(const QDateTime &date)
{
    return date.isValid() && date.toTimeZone(QTimeZone::systemTimeZone()).date().year() == 1900;
}

} // namespace

// Every apply counts the record and posts the step; the device's change time comes back compensated.
QDateTime HMTaskData::countTaskAndCompensate(const QVariantMap &record, qint64 timeDifference)
{
    setTaskCounter(taskCounter() + 1);
    if (const auto progress = GlobalVariables::getCurrentSyncProgressController())
        progress->setUserMessageDirectly(QStringLiteral("Reading Quillpad Tasks %1").arg(taskCounter()));
    return compensatedDeviceTime(record, timeDifference);
}

qint64 HMTaskData::ekFrameworkCommandAction(qint32, quint64, quint64 conflictSetting, const QVariantMap &record,
                                            qint64 timeDifference)
{
    const QDateTime deviceTime = countTaskAndCompensate(record, timeDifference);
    const std::shared_ptr<platform::EKEventStore> store = ensureReminderStore();
    const std::optional<RecordIdentity> identity = identityOfRecord(record);
    if (!identity)
        return 0;
    qint64 result = 2;
    const std::shared_ptr<platform::EKReminder> reminder =
        reminderToWrite(identity->nativeId, record, conflictSetting, deviceTime, result);
    if (!reminder)
        return result;
    writeRecordToReminder(*reminder, record);
    const platform::Status saved = store->saveReminder(reminder, false);
    GlobalVariables::setCanSyncTasks(true);
    DDLogInfo(QStringLiteral("Done recieving data"));
    if (!saved) {
        DDLogVerbose(QStringLiteral("Error saving event: %1.").arg(saved.error().message()));
        // A new reminder that never reached the store gets no identifier dictionary, or the next
        // listing would delete the device's task.
        return identity->identifier || result == 2 ? result : 1;
    }
    if (const std::shared_ptr<HMIdentifierGraph> graph = identifierGraph())
        rememberAppliedReminder(*graph, identity->identifier, identity->uid, *reminder);
    return result;
}

// Keeps the reminder's identifier dictionary with the checksum of what was just written (as the store
// gives it back), so the next listing does not send the device's own task back to it.
void HMTaskData::rememberAppliedReminder(HMIdentifierGraph &graph, const std::optional<QVariantMap> &identifier,
                                         const QString &uid, const platform::EKReminder &reminder)
{
    const QString nativeId = reminder.calendarItemIdentifier();
    const auto stored =
        std::dynamic_pointer_cast<platform::EKReminder>(ensureReminderStore()->calendarItemWithIdentifier(nativeId));
    const QString checksum = checksumOfReminder(stored ? *stored : reminder);
    if (identifier) {
        QVariantMap updated = *identifier;
        updated.insert(kCrcKey, checksum);
        // A reminder made anew for a known record (its own was deleted) is the one the entry names now.
        updated.insert(kNativeIdKey, nativeId);
        graph.setDictionary(updated, uid);
        return;
    }
    DDLogInfo(QStringLiteral("hmUid did not have a identifier record (means no native id was found)."));
    graph.appendDictionary(QVariantMap{{kHmUidKey, uid},
                                       {QStringLiteral("isNewRecord"), QStringLiteral("1")},
                                       {kNativeIdKey, nativeId},
                                       {kCrcKey, checksum}});
}

// The reminder the record is written to: the known one, a duplicate, or a new one (result 3); null
// with result 1 when the Mac keeps its reminder.
std::shared_ptr<platform::EKReminder> HMTaskData::reminderToWrite(const QString &nativeId, const QVariantMap &record,
                                                                  quint64 conflictSetting, const QDateTime &deviceTime,
                                                                  qint64 &result)
{
    const std::shared_ptr<platform::EKEventStore> store = ensureReminderStore();
    auto reminder = nativeId.isEmpty()
                        ? nullptr
                        : std::dynamic_pointer_cast<platform::EKReminder>(store->calendarItemWithIdentifier(nativeId));
    bool keepReminder = true;
    if (reminder && !deviceWinsConflict(reminder->lastModifiedDate(), conflictSetting, deviceTime, keepReminder)) {
        result = 1;
        return nullptr;
    }
    if (!keepReminder)
        reminder.reset();
    DDLogInfo(QStringLiteral("Checking for duplicates"));
    const QList<std::shared_ptr<platform::EKReminder>> duplicates = isDuplicate(record);
    if (!duplicates.isEmpty())
        return duplicates.first();
    if (reminder)
        return reminder;
    DDLogInfo(QStringLiteral("Creating new native record"));
    reminder = platform::EKReminder::reminderWithEventStore(nullptr);
    reminder->setCalendar(store->calendarWithIdentifier(categoryIdentifierToWriteTo()));
    result = 3;
    return reminder;
}

void HMTaskData::setDueDayFromDevice(platform::EKReminder &reminder, const QDateTime &date)
{
    const QTimeZone local = QTimeZone::systemTimeZone();
    const QDate day = date.toTimeZone(local).date();
    if (date.toTimeZone(local).time() != QTime(0, 0)) {
        reminder.setDueDate(date, false);
        return;
    }
    const QDateTime current = reminder.dueDate();
    if (current.isValid() && current.toTimeZone(local).date() == day)
        return;
    if (current.isValid() && !reminder.isDueDateAllDay()) {
        reminder.setDueDate(QDateTime(day, current.toTimeZone(local).time(), local).toUTC(), false);
        return;
    }
    reminder.setDueDate(QDateTime(day, QTime(0, 0), local).toUTC(), true);
}

void HMTaskData::writeRecordToReminder(platform::EKReminder &reminder, const QVariantMap &record)
{
    reminder.setTitle(HMData::stringForKey(key(kHMSyncFieldSubject), record));
    reminder.setNotes(HMData::stringForKey(key(kHMSyncFieldNote), record));
    DDLogInfo(QStringLiteral("Checking due date"));
    const QVariant due = record.value(key(kHMSyncFieldDueDate));
    if (due.typeId() == QMetaType::QDateTime && due.toDateTime().isValid()) {
        const QDateTime date = due.toDateTime();
        if (isNoDueDateMark(date))
            reminder.setDueDate(QDateTime());
        else
            setDueDayFromDevice(reminder, date);
    }
    bool completed = HMData::stringForKey(key(kHMSyncFieldCompleted), record) == QLatin1String("1");
    if (record.value(key(kHMSyncFieldPercentComplete)).toLongLong() == 100)
        completed = true;
    if (completed != reminder.isCompleted())
        reminder.setCompleted(completed);
    const QString category = record.value(key(kHMSyncFieldNSArrayCategories)).toList().value(0).toString();
    if (category.isEmpty())
        return;
    if (const auto calendar = ekCalendarWithName(category, false)) {
        DDLogInfo(QStringLiteral("Setting Calendar: %1").arg(category));
        reminder.setCalendar(calendar);
    } else {
        DDLogInfo(QStringLiteral("Could not find calendar for category: %1").arg(category));
    }
}

// The reminder an earlier write made of this record: the same title and notes, and the same due day
// or no due day on either side (the device sends no due date as its 1900 mark or leaves the field
// out). Only a reminder no identifier dictionary names is taken: one that is named is another record's,
// and writing this record over it would lose that one. A run killed after it wrote a device task but
// before its identifier graph was saved leaves such a reminder, and the device sends the record again.
QList<std::shared_ptr<platform::EKReminder>> HMTaskData::isDuplicate(const QVariantMap &record)
{
    const QString title = HMData::stringForKey(key(kHMSyncFieldSubject), record);
    const QString notes = HMData::stringForKey(key(kHMSyncFieldNote), record);
    const QDateTime due = record.value(key(kHMSyncFieldDueDate)).toDateTime();
    const bool hasNoDueDay = !due.isValid() || isNoDueDateMark(due);
    const QString recordDay = hasNoDueDay ? QString() : dayText(due);
    const std::shared_ptr<HMIdentifierGraph> graph = identifierGraph();
    for (const auto &reminder :
         HMTaskEventKitHelper::getTasksArray().value_or(QList<std::shared_ptr<platform::EKReminder>>())) {
        if (reminder->title().isNull() || (graph && graph->dictionaryForNativeId(reminder->calendarItemIdentifier())))
            continue;
        const QString reminderDay = reminder->dueDate().isValid() ? dayText(reminder->dueDate()) : QString();
        // A reminder without notes matches a record with empty notes: skipping it re-created every
        // such task that a killed run had already written.
        const bool sameTexts = reminder->title() == title && reminder->notes().isEmpty() == notes.isEmpty() &&
                               (notes.isEmpty() || reminder->notes() == notes);
        // A record with the no-due-date mark matches whatever the reminder's due day, as before.
        if (sameTexts && (reminderDay == recordDay || isNoDueDateMark(due)))
            return {reminder};
    }
    return {};
}

void HMTaskData::deleteUidRecords(const QStringList &hmUids)
{
    if (GlobalVariables::getIsOutlookSync())
        return;
    if (isEventKitSystem())
        deleteEventKitUidRecords(hmUids);
    else
        deleteCalendarStoreUidRecords(hmUids);
}

void HMTaskData::deleteEventKitUidRecords(const QStringList &hmUids)
{
    const std::shared_ptr<platform::EKEventStore> store = ensureReminderStore();
    deleteTaskUidRecords(hmUids, QStringLiteral("Deleting %1 of %2 Apple Reminders."),
                         [&store](const QString &nativeId) -> std::optional<platform::Status> {
                             auto reminder = std::dynamic_pointer_cast<platform::EKReminder>(
                                 store->calendarItemWithIdentifier(nativeId));
                             if (!reminder)
                                 return std::nullopt;
                             return store->removeReminder(reminder, false);
                         });
}

void HMTaskData::deleteTaskUidRecords(const QStringList &hmUids, const QString &progressFormat,
                                      const std::function<std::optional<platform::Status>(const QString &)> &removeItem)
{
    const std::shared_ptr<HMIdentifierGraph> graph = identifierGraph();
    DDLogInfo(QStringLiteral("-------- Deleting %1 Task Records from Apple Calendar ----------").arg(hmUids.size()));
    qint64 position = 0;
    for (const QString &hmUid : hmUids) {
        DDLogInfo(QStringLiteral("Deleting hmUid '%1' from apple.").arg(hmUid));
        reportProgress(progressFormat, ++position, hmUids.size());
        const std::optional<QVariantMap> dictionary = graph ? graph->dictionaryForHarrowmereUid(hmUid) : std::nullopt;
        if (!dictionary) {
            DDLogInfo(QStringLiteral("hmUid not found in identifier list."));
            continue;
        }
        const QString nativeId = dictionary->value(kNativeIdKey).toString();
        if (!nativeId.isEmpty())
            DDLogInfo(QStringLiteral("Loading native record '%1'").arg(nativeId));
        const std::optional<platform::Status> removed = nativeId.isEmpty() ? std::nullopt : removeItem(nativeId);
        if (!removed) {
            DDLogInfo(QStringLiteral("Native Task not found, so we can't delete it."));
        } else if (!*removed) {
            DDLogError(QStringLiteral("ERROR: Error deleting event %1 from apple calendar.").arg(nativeId));
            DDLogError(QStringLiteral("ERROR INFORMATION: %1").arg(removed->error().message()));
        }
        graph->removeDictionary(*dictionary);
    }
}

void HMTaskData::cleanUpAfterSync()
{
    if (const auto store = storeForEkReminders())
        store->reset();
    setStoreForEkReminders(nullptr);
    HMTaskEventKitHelper::clearTasksArray();
}
