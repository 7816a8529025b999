#pragma once

#include "datasources/calendar/HMBaseCalendarData.h"

#include <QDateTime>
#include <QStringList>
#include <QVariantMap>

#include <atomic>

// The calendar data source (conduit 2, letter "D"). The sync controller drives it through
// HMSyncDataProtocol; for Apple profiles its three entry points choose between EventKit and
// CalendarStore by the system version. One object serves one sync run, on the run's sync queue.
class HMCalendarData : public HMBaseCalendarData
{
public:
    explicit HMCalendarData(qint64 dataSourceType = 0);
    ~HMCalendarData() override;

    std::optional<QList<HMSyncRecord>> syncRecordObjectsModifiedAfter(const QDateTime &date, bool includeDeletes,
                                                                     const QSet<QString> &excludedHmUids) override;
    qint64 commandAction(qint32 action, quint64 syncMethod, quint64 conflictSetting, const QVariantMap &record,
                         qint64 timeDifference) override;
    // Removes the Mac events of the hmUids and their identifier dictionaries. A repeating series is
    // removed whole; a single event or a detached occurrence alone.
    void deleteUidRecords(const QStringList &hmUids) override;

    // The EventKit road of the listing and the apply.
    virtual std::optional<QList<HMSyncRecord>> syncEventKitRecordObjectsModifiedAfter(
        const QDateTime &date, bool includeDeletes, const QSet<QString> &excludedHmUids);
    virtual qint64 EKCommandAction(qint32 action, quint64 syncMethod, quint64 conflictSetting,
                                   const QVariantMap &record, qint64 timeDifference);
    // The CalendarStore road of the listing and the apply.
    virtual std::optional<QList<HMSyncRecord>> syncCalendarStoreRecordObjectsModifiedAfter(
        const QDateTime &date, bool includeDeletes, const QSet<QString> &excludedHmUids);
    virtual qint64 calendarStoreCommandAction(qint32 action, quint64 syncMethod, quint64 conflictSetting,
                                              const QVariantMap &record, qint64 timeDifference);

    // Fields of the Apple side and the shared state the Outlook side keeps here.
    bool ignoreDeletes() const { return m_ignoreDeletes; }
    void setIgnoreDeletes(bool ignoreDeletes) { m_ignoreDeletes = ignoreDeletes; }
    bool isWritingToGoogleDirect() const { return m_isWritingToGoogleDirect; }
    void setIsWritingToGoogleDirect(bool isWriting) { m_isWritingToGoogleDirect = isWriting; }
    QList<std::shared_ptr<platform::EKEvent>> ekEventsArray() const { return m_ekEventsArray; }
    void setEkEventsArray(const QList<std::shared_ptr<platform::EKEvent>> &events) { m_ekEventsArray = events; }
    QStringList &exceptionRecordIds() { return m_exceptionRecordIds; }
    // Created as 0 on first use.
    qint64 exceptionRecordIdCounter() const { return m_exceptionRecordIdCounter; }
    void setExceptionRecordIdCounter(qint64 counter) { m_exceptionRecordIdCounter = counter; }
    qint64 recordCounter() const { return m_recordCounter; }
    void setRecordCounter(qint64 counter) { m_recordCounter = counter; }
    qint64 numberOfInstancesForOutlookRecurringEvent() const { return m_numberOfInstancesForOutlookRecurringEvent; }
    void setNumberOfInstancesForOutlookRecurringEvent(qint64 count) { m_numberOfInstancesForOutlookRecurringEvent = count; }
    QVariantMap &dictionaryOfModifiedExceptions() { return m_dictionaryOfModifiedExceptions; }
    QVariantMap &outlookDupeCheckDictionary() { return m_outlookDupeCheckDictionary; }
    QDateTime conduitLastListCommandReturned() const { return m_conduitLastListCommandReturned; }
    void setConduitLastListCommandReturned(const QDateTime &date) { m_conduitLastListCommandReturned = date; }
    QString deletionsWarningString() const { return m_deletionsWarningString; }
    void setDeletionsWarningString(const QString &text) { m_deletionsWarningString = text; }
    qint64 eventsAddedToOutlookOnThisSync() const { return m_eventsAddedToOutlookOnThisSync; }
    void setEventsAddedToOutlookOnThisSync(qint64 count) { m_eventsAddedToOutlookOnThisSync = count; }
    QVariantMap &icalTimeZoneDictionary() { return m_icalTimeZoneDictionary; }
    QStringList uidsToDeleteInOutlook() const { return m_uidsToDeleteInOutlook; }
    void setUidsToDeleteInOutlook(const QStringList &uids) { m_uidsToDeleteInOutlook = uids; }

protected:
    QString className() const override;

private:
    // Removes the event of the native id from the store the version chose; false when it was there
    // and could not be removed.
    void removeEventKitEvent(const QString &nativeId);
    void removeCalendarStoreEvent(const QString &nativeId);
    void reportDeletionProgress(qint64 position, qint64 total, bool eventKit) const;

    std::atomic<bool> m_ignoreDeletes = false;
    std::atomic<bool> m_isWritingToGoogleDirect = false;
    QList<std::shared_ptr<platform::EKEvent>> m_ekEventsArray;
    QStringList m_exceptionRecordIds;
    qint64 m_exceptionRecordIdCounter = 0;
    std::atomic<qint64> m_recordCounter = 0;
    std::atomic<qint64> m_numberOfInstancesForOutlookRecurringEvent = 0;
    QVariantMap m_dictionaryOfModifiedExceptions;
    QVariantMap m_outlookDupeCheckDictionary;
    QDateTime m_conduitLastListCommandReturned;
    QString m_deletionsWarningString;
    std::atomic<qint64> m_eventsAddedToOutlookOnThisSync = 0;
    QVariantMap m_icalTimeZoneDictionary;
    QStringList m_uidsToDeleteInOutlook;
};
