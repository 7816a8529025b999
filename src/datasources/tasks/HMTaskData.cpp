#include "datasources/tasks/HMTaskData.h"

#include "datasources/calendar/HMChecksumArchive.h"
#include "datasources/calendar/HMTaskEventKitHelper.h"
#include "foundation/GlobalVariables.h"
#include "foundation/HMSyncProgressReporting.h"
#include "foundation/Lumberjack/DDLog.h"
#include "foundation/NSDictionary+HMExtras.h"
#include "foundation/NSMutableDictionary+HMExtras.h"
#include "platform/eventkit/CalCalendarStore.h"
#include "platform/eventkit/EKEventStore.h"
#include "sync/HMIdentifierGraph.h"
#include "datasources/calendar/HMCalendarDataKeys.h"
#include "sync/HMSyncFields.h"

#include <QTimeZone>

using namespace hmcalendar;

HMTaskData::HMTaskData() = default;

HMTaskData::~HMTaskData() = default;

QString HMTaskData::className() const
{
    return QStringLiteral("HMTaskData");
}

qint64 HMTaskData::commandAction(qint32 action, quint64 syncMethod, quint64 conflictSetting, const QVariantMap &record,
                                 qint64 timeDifference)
{
    if (isEventKitSystem())
        return ekFrameworkCommandAction(action, syncMethod, conflictSetting, record, timeDifference);
    return calendarStoreCommandAction(action, syncMethod, conflictSetting, record, timeDifference);
}

std::shared_ptr<platform::EKEventStore> HMTaskData::ensureReminderStore()
{
    if (!storeForEkReminders())
        setStoreForEkReminders(platform::EKEventStore::create(platform::EKEntityMaskReminder));
    return storeForEkReminders();
}

void HMTaskData::reportProgress(const QString &format, qint64 position, qint64 total) const
{
    const std::shared_ptr<HMSyncProgressReporting> progress = GlobalVariables::getCurrentSyncProgressController();
    if (!progress)
        return;
    progress->setOverallMessageDirectly(QString(), total > 0 ? double(position) / double(total) : 1.0);
    progress->setUserMessageDirectly(format.arg(position).arg(total));
}

QString HMTaskData::checksumOfReminder(const platform::EKReminder &reminder)
{
    QVariantList entries;
    if (reminder.dueDate().isValid())
        entries.append(reminder.dueDate());
    if (!reminder.title().isNull())
        entries.append(reminder.title());
    if (!reminder.notes().isNull())
        entries.append(reminder.notes());
    if (reminder.completionDate().isValid())
        entries.append(reminder.completionDate());
    return QString::number(crc32OfBytes(checksumArchiveOfList("HMRE", entries)));
}

QVariantMap HMTaskData::taskRecordWithTitle(const QString &title, const QString &notes, const QString &listTitle)
{
    QVariantMap record;
    setHMValueAsString(record, title, key(kHMSyncFieldSubject));
    setHMValueAsString(record, notes, key(kHMSyncFieldNote));
    record.insert(key(kHMSyncFieldNSArrayCategories), QVariantList{listTitle});
    return record;
}

QVariantMap HMTaskData::pppDictionaryForEKReminder(const platform::EKReminder &reminder, const QVariantMap &, quint64)
{
    QVariantMap record = taskRecordWithTitle(reminder.title(), reminder.notes(),
                                             reminder.calendar() ? reminder.calendar()->title() : QString());
    if (reminder.dueDate().isValid()) {
        record.insert(key(kHMSyncFieldDueDate), reminder.dueDate());
        record.insert(key(kHMSyncFieldDueTime), QStringLiteral("00:00:00"));
        record.insert(key(kHMSyncFieldHasDueDate), true);
    }
    record.insert(key(kHMSyncFieldCompleted), reminder.isCompleted());
    if (reminder.isCompleted())
        record.insert(key(kHMSyncFieldPercentComplete), QStringLiteral("100"));
    return record;
}

// The reminders come from the fetch started before the sync. A fetch that has not completed within
// the bound gives no deletions: a missing list must never read as "every reminder was deleted".
std::optional<QList<HMSyncRecord>>
HMTaskData::syncEventKitRecordObjectsModifiedAfter(const QDateTime &date, bool includeDeletes,
                                                   const QSet<QString> &excludedHmUids)
{
    DDLogInfo(QStringLiteral("Loading apple tasks modified after %1").arg(date.toString(Qt::ISODate)));
    const bool fetched = HMTaskEventKitHelper::waitForTasksArray(m_fetchPatience);
    const std::optional<QList<std::shared_ptr<platform::EKReminder>>> reminders = HMTaskEventKitHelper::getTasksArray();
    QList<HMSyncRecord> records;
    const std::optional<HMIdentifierGraph::Entries> known = identifierGraphEntries();
    if (!known)
        return records;
    QSet<QString> found;
    const QList<std::shared_ptr<platform::EKReminder>> list =
        reminders.value_or(QList<std::shared_ptr<platform::EKReminder>>());
    for (qsizetype index = 0; index < list.size(); ++index) {
        reportProgress(QStringLiteral("Reading %1 of %2 Apple Reminders."), index + 1, list.size());
        listReminder(*list[index], excludedHmUids, found, records);
    }
    if (!includeDeletes)
        return records;
    if (!fetched || !reminders) {
        DDLogError(QStringLiteral("The reminders were not fetched in time; no deletions are listed in this sync."));
        return records;
    }
    appendDeletions(dictionariesNotFound(*known, found), records);
    return records;
}

void HMTaskData::listReminder(const platform::EKReminder &reminder, const QSet<QString> &excludedHmUids,
                              QSet<QString> &found, QList<HMSyncRecord> &records)
{
    const std::shared_ptr<HMIdentifierGraph> graph = identifierGraph();
    const std::optional<QVariantMap> dictionary = graph->dictionaryForNativeId(reminder.calendarItemIdentifier());
    const QString checksum = checksumOfReminder(reminder);
    if (dictionary)
        found.insert(foundKeyOf(*dictionary));
    // A task sent as new whose answer never came goes as new again, under the same id.
    if (!dictionary || isUnconfirmed(*dictionary)) {
        QVariantMap identifier = dictionary.value_or(
            QVariantMap{{kNativeIdKey, reminder.calendarItemIdentifier()}, {kHmUidKey, HMData::newUid()}});
        identifier.insert(kCrcKey, checksum);
        appendNewTaskRecord(identifier, pppDictionaryForEKReminder(reminder, identifier, 1), records);
        return;
    }
    if (dictionary->value(kCrcKey).toString() == checksum)
        return;
    QVariantMap updated = *dictionary;
    updated.insert(kCrcKey, checksum);
    appendChangedTaskRecord(updated, excludedHmUids, records,
                            [&] { return pppDictionaryForEKReminder(reminder, updated, 1); });
}

void HMTaskData::appendChangedTaskRecord(const QVariantMap &identifier, const QSet<QString> &excludedHmUids,
                                         QList<HMSyncRecord> &records, const std::function<QVariantMap()> &buildRecord)
{
    DDLogInfo(QStringLiteral("Task is a modified record, processing for device update"));
    const QString hmUid = identifier.value(kHmUidKey).toString();
    if (excludedHmUids.contains(hmUid)) {
        DDLogInfo(QStringLiteral("Skipping updating record '%1' due to device modified it.").arg(hmUid));
        return;
    }
    identifierGraph()->setDictionary(identifier, hmUid);
    HMSyncRecord record;
    record.setHmxUid(hmUid);
    record.setDictionary(buildRecord());
    records.append(record);
}

void HMTaskData::appendNewTaskRecord(const QVariantMap &identifier, const QVariantMap &dictionary,
                                     QList<HMSyncRecord> &records)
{
    DDLogInfo(QStringLiteral("Task is being added to device as new record."));
    const QString hmUid = identifier.value(kHmUidKey).toString();
    if (!identifierGraph()->replaceDictionaryForHarrowmereUid(hmUid, identifier))
        identifierGraph()->appendDictionary(identifier);
    HMSyncRecord record;
    record.setIsNew(true);
    record.setHmxUid(hmUid);
    record.setDictionary(dictionary);
    records.append(record);
    addRecordAddedToDevice(hmUid);
}

// A task whose file is still there but no longer reads is not gone: only a file that is gone
// deletes its task.
void HMTaskData::appendDeletions(const QList<QVariantMap> &remaining, QList<HMSyncRecord> &records)
{
    appendDeletionsOfRemaining(
        remaining, [this] { return ensureReminderStore(); },
        [this](const QVariantMap &dictionary) { return isWrittenThisRunAndHeld(dictionary); }, records);
}

// A task this run wrote from the device, missing from the reminders fetched before it: not a deletion
// while the store holds it, and no longer new. One the store no longer holds was deleted since.
bool HMTaskData::isWrittenThisRunAndHeld(const QVariantMap &dictionary)
{
    if (dictionary.value(kIsNewRecordKey).toString() != QLatin1String("1") ||
        !storeHoldsItem(dictionary.value(kNativeIdKey).toString()))
        return false;
    QVariantMap seen = dictionary;
    seen.insert(kIsNewRecordKey, QStringLiteral("0"));
    identifierGraph()->setDictionary(seen, dictionary.value(kHmUidKey).toString());
    return true;
}

bool HMTaskData::storeHoldsItem(const QString &nativeId)
{
    if (nativeId.isEmpty())
        return false;
    if (isEventKitSystem())
        return ensureReminderStore()->calendarItemWithIdentifier(nativeId) != nullptr;
    return calendarStore()->taskWithUID(nativeId) != nullptr;
}

bool HMTaskData::isMappedItemGone(const QString &hmUid)
{
    const std::shared_ptr<HMIdentifierGraph> graph = identifierGraph();
    const std::optional<QVariantMap> dictionary = graph ? graph->dictionaryForHarrowmereUid(hmUid) : std::nullopt;
    // An entry sent as new and never answered names a task the device may not have: not this case.
    if (!dictionary || isUnconfirmed(*dictionary))
        return false;
    const QString nativeId = dictionary->value(kNativeIdKey).toString();
    // A task whose file no longer reads is still there, out of reach until it is mended.
    return !storeHoldsItem(nativeId) &&
           !damagedItemIdentifiers(isEventKitSystem() ? ensureReminderStore() : nullptr).contains(nativeId);
}
