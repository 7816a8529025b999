#pragma once

#include "datasources/calendar/HMBaseCalendarData.h"
#include "datasources/tasks/OutlookDuplicateIndex.h"
#include "outlook/HMOutlookConduitForwards.h"
#include "platform/eventkit/CalTask.h"
#include "platform/foundation/DateFormatter.h"
#include "platform/foundation/Result.h"

#include <QDateTime>
#include <QStringList>
#include <QVariantMap>

#include <atomic>
#include <chrono>
#include <functional>

class HMIdentifierGraph;
class HMProfile;

namespace platform {
class EKReminder;
class NSAppleEventDescriptor;
}

// The task data source (conduit 3, letter "T"): reminders of the Mac's reminder lists. The sync
// controller drives it through HMSyncDataProtocol; one object serves one sync run, on the run's sync
// queue. For Apple profiles the three entry points choose EventKit or CalendarStore by the system
// version. For Outlook profiles it reads and writes Outlook's tasks (HMTaskData+OutlookReader.cpp,
// +OutlookWriter.cpp), their pairs kept in the task map by the shared Outlook conduit bookkeeping.
class HMTaskData : public HMOutlookConduitForwards<HMBaseCalendarData>
{
public:
    HMTaskData();
    ~HMTaskData() override;

    qint64 commandAction(qint32 action, quint64 syncMethod, quint64 conflictSetting, const QVariantMap &record,
                         qint64 timeDifference) override;
    void deleteUidRecords(const QStringList &hmUids) override;
    void cleanUpAfterSync() override;
    bool isMappedItemGone(const QString &hmUid) override;

    // The CalendarStore road: tasks listed by their change date, applied with the priority map and
    // saved at once.
    std::optional<QList<HMSyncRecord>>
    syncCalendarStoreRecordObjectsModifiedAfter(const QDateTime &date, bool includeDeletes,
                                                const QSet<QString> &excludedHmUids) override;
    qint64 calendarStoreCommandAction(qint32 action, quint64 syncMethod, quint64 conflictSetting,
                                      const QVariantMap &record, qint64 timeDifference);
    QVariantMap pppDictionaryForTask(const platform::CalTask &task, const QVariantMap &identifierDictionary,
                                     quint64 syncMethod);
    // The fields both roads' task records begin with: subject, note, and the task's list as its one
    // category (an empty one for a task in no list).
    static QVariantMap taskRecordWithTitle(const QString &title, const QString &notes, const QString &listTitle);
    // Removes the tasks of the hmUids and their identifier dictionaries (the CalendarStore branch of
    // deleteUidRecords).
    void deleteCalendarStoreUidRecords(const QStringList &hmUids);

    // The EventKit road.
    std::optional<QList<HMSyncRecord>>
    syncEventKitRecordObjectsModifiedAfter(const QDateTime &date, bool includeDeletes,
                                           const QSet<QString> &excludedHmUids) override;
    qint64 ekFrameworkCommandAction(qint32 action, quint64 syncMethod, quint64 conflictSetting,
                                    const QVariantMap &record, qint64 timeDifference);
    QList<std::shared_ptr<platform::EKReminder>> isDuplicate(const QVariantMap &record);
    QVariantMap pppDictionaryForEKReminder(const platform::EKReminder &reminder,
                                           const QVariantMap &identifierDictionary, quint64 syncMethod);
    // The change checksum of a reminder: CRC-32 of its due date, title, notes and completion date (those
    // it has), as unsigned decimal text.
    static QString checksumOfReminder(const platform::EKReminder &reminder);

    // Removes the reminders of the hmUids and their identifier dictionaries (the EventKit branch of
    // deleteUidRecords).
    void deleteEventKitUidRecords(const QStringList &hmUids);
    // How long the listing waits for the reminders fetch started before the sync (15 s).
    void setFetchPatience(std::chrono::milliseconds patience) { m_fetchPatience = patience; }

    // ---- Outlook profiles: the listing and the task text (HMTaskData+OutlookReader.cpp) ----
    std::optional<QList<HMSyncRecord>> syncOutlookRecordObjectsModifiedAfter(
        const QDateTime &date, bool includeDeletes, const QSet<QString> &excludedHmUids) override;
    // The task text (its iCalendar text, "CATEGORIES:" line, "PLAINTEXTNOTE:" and "OUTLOOKID:") as a
    // record.
    QVariantMap pppDictionaryForOutlookTask(const QString &text);
    // The rule with its COUNT part turned into UNTIL, the n-th date of the rule from the start.
    QString getRecurringEndDateForWithStartDate(const QDateTime &start, const QString &rule);
    // Outlook's task text unescaped: "\;", "\,", "\\" and "\n" (CR LF); a trailing "\n" cut.
    static QString correctedString(const QVariant &value);
    // The task map, kept by the shared Outlook conduit bookkeeping (HMOutlookConduitForwards).
    void deleteOutlookUidRecords(const QStringList &hmUids) override;
    QString saveFailure() const override;
    platform::Status syncAppliedChangesToDisk() override;
    void setOutlookProfile(std::shared_ptr<HMProfile> profile);
    // Drops from the task map the pairs whose Outlook task is gone (a reread of the other side).
    void removeDeletedOutlookIdsFromDatFile();
    // The moments of the Outlook task path the crash tests stop a run at.
    static void setOutlookTaskStepHook(std::function<void(HMOutlookConduit::Step)> hook);

    // ---- Outlook profiles: the write side (HMTaskData+OutlookWriter.cpp) ----
    qint64 outlookCommandAction(qint32 action, quint64 syncMethod, quint64 conflictSetting, const QVariantMap &record,
                                qint64 timeDifference) override;
    QString isOutlookDuplicate(const QVariantMap &record);
    void addNewOutlookTaskWithDictionary(const QVariantMap &record);
    void updateOutlookTaskWithUniqueId(const QString &outlookId, const QVariantMap &record);
    // The one-task iCalendar file of a recurring task, imported into Outlook.
    void makeIcsFileFromDictionary(const QVariantMap &record);
    // Its text (line feeds, none after the last line); the UID line only with an iCalendar UID.
    QString icsTextFromTaskDictionary(const QVariantMap &record, const QString &icalUid);
    QString importIcsFileIntoOutlook(const QString &path, bool isNew);
    QString getOutlookGuidForOutlookTaskId(const QString &outlookId);
    QString propertiesStringFromTaskDictionary(const QVariantMap &record);

    bool ignoreDeletes() const { return m_ignoreDeletes; }
    void setIgnoreDeletes(bool ignoreDeletes) { m_ignoreDeletes = ignoreDeletes; }
    bool isGoogleDirect() const { return m_isGoogleDirect; }
    void setIsGoogleDirect(bool isGoogleDirect) { m_isGoogleDirect = isGoogleDirect; }

protected:
    QString className() const override;

private:
    std::shared_ptr<platform::EKEventStore> ensureReminderStore();
    void listReminder(const platform::EKReminder &reminder, const QSet<QString> &excludedHmUids, QSet<QString> &found,
                      QList<HMSyncRecord> &records);
    // A task the device has not seen: its identifier dictionary (holding a new hmUid) goes into the
    // graph and its record, marked new, into the list.
    void appendNewTaskRecord(const QVariantMap &identifier, const QVariantMap &dictionary,
                             QList<HMSyncRecord> &records);
    // A known task that changed: sent unless the device changed it in this run, with its identifier
    // dictionary (as given) stored in the graph.
    void appendChangedTaskRecord(const QVariantMap &identifier, const QSet<QString> &excludedHmUids,
                                 QList<HMSyncRecord> &records, const std::function<QVariantMap()> &buildRecord);
    QDateTime countTaskAndCompensate(const QVariantMap &record, qint64 timeDifference);
    void appendDeletions(const QList<QVariantMap> &remaining, QList<HMSyncRecord> &records);
    bool isWrittenThisRunAndHeld(const QVariantMap &dictionary);
    // Whether the store holds the item of the native id, whichever road is taken.
    bool storeHoldsItem(const QString &nativeId);
    void rememberAppliedReminder(HMIdentifierGraph &graph, const std::optional<QVariantMap> &identifier,
                                 const QString &uid, const platform::EKReminder &reminder);
    std::shared_ptr<platform::EKReminder> reminderToWrite(const QString &nativeId, const QVariantMap &record,
                                                          quint64 conflictSetting, const QDateTime &deviceTime,
                                                          qint64 &result);
    void writeRecordToReminder(platform::EKReminder &reminder, const QVariantMap &record);
    // The device's due date is a day (read as local midnight): a reminder due that day keeps its due
    // date as it stands; on another day it keeps its form, a due day stays a day and a time of day
    // stays that time; one without a due date gets the day. A record with a time of day sets that time.
    static void setDueDayFromDevice(platform::EKReminder &reminder, const QDateTime &date);
    void reportProgress(const QString &format, qint64 position, qint64 total) const;
    static QVariantMap withChecksumOf(QVariantMap identifier, const QVariantMap &fields);
    void listCalendarStoreTask(const platform::CalTask &task, const QDateTime &date,
                               const QSet<QString> &excludedHmUids, QSet<QString> &found,
                               QList<HMSyncRecord> &records);
    std::shared_ptr<platform::CalTask> taskToWrite(const QString &nativeId, const QVariantMap &record,
                                                   quint64 conflictSetting, const QDateTime &deviceTime,
                                                   qint64 &result);
    std::shared_ptr<platform::CalTask> unclaimedCalendarStoreTwin(const QVariantMap &record);
    void writeRecordToTask(platform::CalTask &task, const QVariantMap &record);
    // The deletion loop of both roads; removeItem removes the item of a native id and answers nullopt
    // when there is none.
    void deleteTaskUidRecords(const QStringList &hmUids, const QString &progressFormat,
                              const std::function<std::optional<platform::Status>(const QString &)> &removeItem);

    HMOutlookConduit &outlookTasks();
    HMOutlookConduit &outlookConduit() override { return outlookTasks(); }
    void ensureOutlookTaskFolder();
    QString outlookTaskFolder();
    void storeOutlookTaskDates(QVariantMap &record, const QStringList &lines);
    void storeOutlookTaskCategories(QVariantMap &record, const QStringList &lines);
    void buildOutlookTaskDupeCache();
    static QString duplicateKey(const QString &name, const QString &note, const QDateTime &start, const QDateTime &due);
    platform::NSAppleEventDescriptor runOutlookTaskScript(const QString &script, bool writes, bool &failed);
    QString outlookTaskCategoryText(const QVariantMap &record);
    QString outlookDateText(const QDateTime &date);

    std::unique_ptr<HMOutlookConduit> m_outlookTasks;
    // Outlook's unpaired tasks by what a duplicate shares, listed on the run's first duplicate test.
    std::optional<OutlookDuplicateIndex> m_outlookDuplicates;
    // The dates of Outlook's scripts in the user's short date format, worked out once: finding that
    // format builds and tries several formatters, too dear for each date of each task.
    std::optional<platform::DateFormatter> m_outlookDateFormatter;
    qint64 m_recordCounter = 0;
    bool m_outlookGoneDuringApply = false;
    bool m_outlookFolderChecked = false;
    std::atomic<bool> m_ignoreDeletes = false;
    std::atomic<bool> m_isGoogleDirect = false;
    std::chrono::milliseconds m_fetchPatience{15000};
};
