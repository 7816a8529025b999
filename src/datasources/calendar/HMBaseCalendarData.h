#pragma once

#include "sync/HMData.h"
#include "sync/HMIdentifierGraph.h"

#include <QDateTime>
#include <QSet>
#include <QHash>
#include <QList>
#include <QVariantList>
#include <QVariantMap>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

namespace platform {
class CalCalendar;
class CalCalendarItem;
class CalCalendarStore;
class EKCalendar;
class EKEvent;
class EKEventStore;
} // namespace platform

// The shared base of the calendar and task data sources: which Apple store they use (EventKit from
// 10.8 on, CalendarStore before), opening and closing it around the sync stages, the calendars read
// and the one written to, native categories and capability probes, alarm mapping and the expansion
// of a record's recurrence into occurrence dates. One object serves one sync run and is used on the
// run's sync queue; the CalendarStore opening is guarded by the object's own lock.
class HMBaseCalendarData : public HMData
{
public:
    // Data source types: 0 a sync run's, 1 the settings windows' (lists calendars), 3 Google's.
    explicit HMBaseCalendarData(qint64 dataSourceType = 0);
    ~HMBaseCalendarData() override;

    void prepareForUseOnThread() override;
    void stopUsingOnThread() override;
    void saveChanges() override;
    platform::Status syncAppliedChangesToDisk() override;

    // The listing of the road the system takes (isEventKitSystem), and each road's own; a source
    // without a road's listing answers as any data source without one.
    std::optional<QList<HMSyncRecord>> syncRecordObjectsModifiedAfter(const QDateTime &date, bool includeDeletes,
                                                                      const QSet<QString> &excludedHmUids) override;
    virtual std::optional<QList<HMSyncRecord>>
    syncEventKitRecordObjectsModifiedAfter(const QDateTime &date, bool includeDeletes,
                                           const QSet<QString> &excludedHmUids);
    virtual std::optional<QList<HMSyncRecord>>
    syncCalendarStoreRecordObjectsModifiedAfter(const QDateTime &date, bool includeDeletes,
                                                const QSet<QString> &excludedHmUids);

    // The open CalendarStore store, opened with its calendars resolved on first use.
    std::shared_ptr<platform::CalCalendarStore> calendarStore();
    std::shared_ptr<platform::CalCalendar> calendarWithName(const QString &title, bool createNewIfNotFound);
    std::shared_ptr<platform::EKCalendar> ekCalendarWithName(const QString &title, bool createNewIfNotFound);

    // Native categories (the calendars the settings windows offer) and the probes behind them.
    QVariantList nativeCategoryDictionariesForCategorySetting() override;
    QVariantList nativeCategoryDictionariesForNewRecordSetting() override;
    QVariantList eventKitNativeCategoryDictionariesForCategorySetting();
    QVariantList OLDeventKitNativeCategoryDictionariesForCategorySetting();
    bool doesCalendarSupportEvents(const std::shared_ptr<platform::CalCalendar> &calendar);
    bool doesCalendarSupportTasks(const std::shared_ptr<platform::CalCalendar> &calendar);
    bool doesCalendarSupportEKEvents(const std::shared_ptr<platform::EKCalendar> &calendar);
    static bool doesCalendarSupportEKTasks(const std::shared_ptr<platform::EKCalendar> &calendar);

    // Alarms between records (minutes before an event, a task's fire date) and store items.
    void updateCalendarItem(platform::CalCalendarItem &item, const QVariantMap &dictionary);
    void updateEKCalendarItem(platform::EKEvent &item, const QVariantMap &dictionary);
    void updateCalendarDictionary(QVariantMap &dictionary, const platform::CalCalendarItem &item);
    void updateEKCalendarDictionary(QVariantMap &dictionary, const platform::EKEvent &item);

    // Occurrence dates of a record's recurrence, in walk order; nullopt when "REPEAT" is 0 or names
    // another frequency.
    std::optional<QList<QDateTime>> instancesForDailyRecurrenceStartingOn(const QDateTime &start,
                                                                          const QVariantMap &dictionary,
                                                                          bool onlyReturnLastDate);
    std::optional<QList<QDateTime>> instancesForWeeklyRecurrenceStartingOn(const QDateTime &start,
                                                                           const QVariantMap &dictionary,
                                                                           bool onlyReturnLastDate);
    std::optional<QList<QDateTime>> instancesForMonthlyRecurrenceStartingOn(const QDateTime &start,
                                                                            const QVariantMap &dictionary,
                                                                            bool onlyReturnLastDate);
    std::optional<QList<QDateTime>> instancesForYearlyRecurrenceStartingOn(const QDateTime &start,
                                                                           const QVariantMap &dictionary,
                                                                           bool onlyReturnLastDate);
    // The n-th date of an Outlook rule's expansion (type 1 daily to 4 yearly), not cut by the sync
    // window; nullopt when it has fewer dates.
    std::optional<QDateTime> nthDateOfOutlookRule(const QString &rule, const QDateTime &start, qint64 type, qint64 count);
    std::optional<QList<QDateTime>> instancesForRecurrenceBetween(const QDateTime &start, const QDateTime &end,
                                                                  const QVariantMap &dictionary);
    static QList<int> appleDaysFromHmDayMask(qint64 mask);
    // Weekday numbers (1 Sunday to 7 Saturday) to the record's weekday bit mask.
    static qint64 hmDayMaskFromAppleDays(const QList<int> &days);
    // The weekday a monthly or yearly rule on the nth weekday falls on, from its "DAYMASK" (a mask like
    // every rule's): the highest set, Sunday when none is. And back: the weekday's bit.
    static int appleDayFromHmMonthDay(qint64 mask);
    static qint64 hmMonthDayFromAppleDay(qint64 weekday);
    // A rule's week of the month as the record's "DAYOCCUR": the last week (-1) is 5, as the device has it.
    static qint64 hmDayOccurrenceFromWeekNumber(int weekNumber);

    // Whether the system version takes the EventKit road (10.8 and later).
    static bool isEventKitSystem();

    // Fields.
    std::shared_ptr<platform::CalCalendarStore> calendarStoreIfOpen() const;
    void setCalendarStore(std::shared_ptr<platform::CalCalendarStore> store);
    std::shared_ptr<platform::EKEventStore> ekEventStore() const { return m_ekEventStore; }
    void setEkEventStore(std::shared_ptr<platform::EKEventStore> store) { m_ekEventStore = std::move(store); }
    QList<std::shared_ptr<platform::CalCalendar>> calendarsToRead() const { return m_calendarsToRead; }
    QHash<QString, std::shared_ptr<platform::CalCalendar>> categoryCalendarsDictionary() const
    {
        return m_categoryCalendarsDictionary;
    }
    std::shared_ptr<platform::CalCalendar> calendarToWriteTo() const { return m_calendarToWriteTo; }
    QDateTime calendarDateRangeStart() const { return m_calendarDateRangeStart; }
    void setCalendarDateRangeStart(const QDateTime &date) { m_calendarDateRangeStart = date; }
    QDateTime calendarDateRangeEnd() const { return m_calendarDateRangeEnd; }
    void setCalendarDateRangeEnd(const QDateTime &date) { m_calendarDateRangeEnd = date; }
    std::shared_ptr<platform::EKEventStore> storeForEkEvents() const { return m_storeForEkEvents; }
    void setStoreForEkEvents(std::shared_ptr<platform::EKEventStore> store) { m_storeForEkEvents = std::move(store); }
    std::shared_ptr<platform::EKEventStore> storeForEkReminders() const { return m_storeForEkReminders; }
    void setStoreForEkReminders(std::shared_ptr<platform::EKEventStore> store)
    {
        m_storeForEkReminders = std::move(store);
    }
    qint64 counter() const { return m_counter; }
    void setCounter(qint64 counter) { m_counter = counter; }
    qint64 taskCounter() const { return m_taskCounter; }
    void setTaskCounter(qint64 counter) { m_taskCounter = counter; }
    qint64 dateRangeDaysBack() const { return m_dateRangeDaysBack; }
    void setDateRangeDaysBack(qint64 days) { m_dateRangeDaysBack = days; }
    qint64 dataSourceType() const { return m_dataSourceType; }

protected:
    // Who a device record is on the Mac: its "UID", the identifier dictionary of that hmUid and the
    // dictionary's native id. Nothing, after the error line, when the record has no "UID".
    struct RecordIdentity
    {
        QString uid;
        std::optional<QVariantMap> identifier;
        QString nativeId;
    };
    std::optional<RecordIdentity> identityOfRecord(const QVariantMap &record) const;
    // Whether an item's change date (whole seconds, as the files keep it) is later than a sync date
    // (milliseconds). A change in the very second a sync started may have come after the start, so
    // it counts as later; otherwise it would never be sent.
    static bool isChangedAfter(const QDateTime &changed, const QDateTime &syncDate);
    // Whether an item changed in the store after the device's date (any item when there is none),
    // with the comparison logged after the road's mark ("-- " or none).
    bool isStoreItemChangedAfter(const QDateTime &stamp, const QDateTime &date, QLatin1StringView logMark);
    // A listing tells the identifier dictionaries it found an item for by their two identifiers,
    // kept in a set: marking one then costs no search of the whole list.
    static QString foundKeyOf(const QVariantMap &dictionary);
    static QString foundKeyOf(const HMIdentifierGraphEntry &entry);
    // The dictionaries of the list no item was found for: those whose items are gone. Only those are
    // materialised.
    static QList<QVariantMap> dictionariesNotFound(const HMIdentifierGraph::Entries &known, const QSet<QString> &found);
    // The identifiers of the items whose files are still there but no longer read or parse, from the
    // event store given (EventKit) or the CalendarStore store.
    QSet<QString> damagedItemIdentifiers(const std::shared_ptr<platform::EKEventStore> &ekStore);
    // Whether an entry not found by a listing names such an item (an event, a series, or one of its
    // occurrences, "<uid>+<date>+<time>"): logged, and no deletion.
    static bool isItemOfDamagedFile(const QVariantMap &dictionary, const QSet<QString> &damaged);
    // The deletions a listing sends for the dictionaries it found no item for: each dictionary goes and
    // the device is told to delete the item. Not for an item whose file is still there but no longer
    // reads (the event store is opened only when a dictionary is left and the EventKit road is taken),
    // nor for one the data source says stays (stays may rewrite its dictionary).
    void appendDeletionsOfRemaining(const QList<QVariantMap> &remaining,
                                    const std::function<std::shared_ptr<platform::EKEventStore>()> &eventKitStore,
                                    const std::function<bool(const QVariantMap &)> &stays,
                                    QList<HMSyncRecord> &records);

    // The device's modification time of a record ("LASTMODIFIED", local text) moved back by the
    // device's clock difference.
    QDateTime compensatedDeviceTime(const QVariantMap &record, qint64 timeDifference);
    // The conflict rule of the Apple-side applies for an item the Mac changed at macModified: false
    // when the Mac keeps its item; keepItem turns false when a duplicate is to be made instead. No
    // last sync date, or no change since it, is no conflict.
    bool deviceWinsConflict(const QDateTime &macModified, quint64 conflictSetting, const QDateTime &deviceTime,
                            bool &keepItem) const;

    enum class ItemKind { None, Events, Tasks };
    // What the data source lists and probes for, by its class.
    ItemKind itemKind() const;

private:
    void openCalendarStoreLocked();
    void probeEventFolderToWriteTo();
    void startRemindersProbe();
    void probeCalendarToWriteTo();
    std::shared_ptr<platform::CalCalendar> fallbackCalendarNamed(const QString &title);
    QVariantList calendarStoreCategoryDictionaries();
    bool probeWithTestEvent(const std::shared_ptr<platform::EKCalendar> &calendar,
                            const std::shared_ptr<platform::EKEventStore> &store, const QString &failureFormat);

    const qint64 m_dataSourceType;
    std::recursive_mutex m_openMutex;
    std::shared_ptr<platform::CalCalendarStore> m_calendarStore;
    std::shared_ptr<platform::EKEventStore> m_ekEventStore;
    QList<std::shared_ptr<platform::CalCalendar>> m_calendarsToRead;
    QHash<QString, std::shared_ptr<platform::CalCalendar>> m_categoryCalendarsDictionary;
    std::shared_ptr<platform::CalCalendar> m_calendarToWriteTo;
    QDateTime m_calendarDateRangeStart;
    QDateTime m_calendarDateRangeEnd;
    std::shared_ptr<platform::EKEventStore> m_storeForEkEvents;
    std::atomic<qint64> m_counter = 0;
    std::atomic<qint64> m_taskCounter = 0;
    std::atomic<qint64> m_dateRangeDaysBack = 90;
    std::shared_ptr<platform::EKEventStore> m_storeForEkReminders;
};
