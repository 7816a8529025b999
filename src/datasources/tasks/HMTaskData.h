#pragma once

#include "datasources/calendar/HMBaseCalendarData.h"

#include <QDateTime>
#include <QStringList>
#include <QVariantMap>

#include <atomic>
#include <chrono>

class HMIdentifierGraph;

namespace platform {
class EKReminder;
}

// The task data source (conduit 3, letter "T"): reminders of the Mac's reminder lists. The sync
// controller drives it through HMSyncDataProtocol; one object serves one sync run, on the run's sync
// queue. For Apple profiles the three entry points choose EventKit or CalendarStore by the system
// version.
class HMTaskData : public HMBaseCalendarData
{
public:
    HMTaskData();
    ~HMTaskData() override;

    std::optional<QList<HMSyncRecord>> syncRecordObjectsModifiedAfter(const QDateTime &date, bool includeDeletes,
                                                                      const QSet<QString> &excludedHmUids) override;
    qint64 commandAction(qint32 action, quint64 syncMethod, quint64 conflictSetting, const QVariantMap &record,
                         qint64 timeDifference) override;
    void deleteUidRecords(const QStringList &hmUids) override;
    void cleanUpAfterSync() override;

    // The EventKit road.
    std::optional<QList<HMSyncRecord>> syncEventKitRecordObjectsModifiedAfter(const QDateTime &date,
                                                                              bool includeDeletes,
                                                                              const QSet<QString> &excludedHmUids);
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

    bool ignoreDeletes() const { return m_ignoreDeletes; }
    void setIgnoreDeletes(bool ignoreDeletes) { m_ignoreDeletes = ignoreDeletes; }
    bool isGoogleDirect() const { return m_isGoogleDirect; }
    void setIsGoogleDirect(bool isGoogleDirect) { m_isGoogleDirect = isGoogleDirect; }

protected:
    QString className() const override;

private:
    std::shared_ptr<platform::EKEventStore> ensureReminderStore();
    void listReminder(const platform::EKReminder &reminder, const QSet<QString> &excludedHmUids,
                      QList<QVariantMap> &remaining, QList<HMSyncRecord> &records);
    void appendDeletions(const QList<QVariantMap> &remaining, QList<HMSyncRecord> &records);
    void rememberAppliedReminder(HMIdentifierGraph &graph, const std::optional<QVariantMap> &identifier,
                                 const QString &uid, const platform::EKReminder &reminder);
    std::shared_ptr<platform::EKReminder> reminderToWrite(const QString &nativeId, const QVariantMap &record,
                                                          quint64 conflictSetting, const QDateTime &deviceTime,
                                                          qint64 &result);
    void writeRecordToReminder(platform::EKReminder &reminder, const QVariantMap &record);
    void reportProgress(const QString &format, qint64 position, qint64 total) const;

    std::atomic<bool> m_ignoreDeletes = false;
    std::atomic<bool> m_isGoogleDirect = false;
    std::chrono::milliseconds m_fetchPatience{15000};
};
