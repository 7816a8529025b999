#pragma once

#include "datasources/calendar/HMBaseCalendarData.h"
#include "outlook/HMOutlookConduitForwards.h"
#include "platform/eventkit/CalEvent.h"
#include "platform/eventkit/EKRecurrenceRule.h"
#include "platform/eventkit/ICalendarListedSeries.h"
#include "platform/foundation/DateFormatter.h"
#include "sync/HMSyncRecord.h"

#include <QDateTime>
#include <QSet>
#include <QStringList>
#include <QVariantMap>

#include <array>
#include <atomic>

class HMIdentifierGraph;
class HMOutlookDatFileHelper;
class HMOutlookIdBookkeeping;
class HMOutlookSQLiteHelper;
class HMProfile;

#include "platform/applescript/NSAppleEventDescriptor.h"
#include "platform/applescript/NSAppleScriptError.h"

namespace platform {
struct EKPredicate;
class EKEventSequence;
} // namespace platform

// The calendar data source (conduit 2, letter "D"). The sync controller drives it through
// HMSyncDataProtocol; for Apple profiles its three entry points choose between EventKit and
// CalendarStore by the system version. One object serves one sync run, on the run's sync queue.
class HMCalendarData : public HMOutlookConduitForwards<HMBaseCalendarData>
{
public:
    explicit HMCalendarData(qint64 dataSourceType = 0);
    ~HMCalendarData() override;

    qint64 commandAction(qint32 action, quint64 syncMethod, quint64 conflictSetting, const QVariantMap &record,
                         qint64 timeDifference) override;
    // Removes the Mac events of the hmUids and their identifier dictionaries. A repeating series is
    // removed whole; a single event or a detached occurrence alone.
    void deleteUidRecords(const QStringList &hmUids) override;
    // The branches of deleteUidRecords, on the store of each road.
    void deleteEventKitUidRecords(const QStringList &hmUids);
    void deleteCalendarStoreUidRecords(const QStringList &hmUids);

    // The EventKit road of the listing and the apply.
    std::optional<QList<HMSyncRecord>>
    syncEventKitRecordObjectsModifiedAfter(const QDateTime &date, bool includeDeletes,
                                           const QSet<QString> &excludedHmUids) override;
    virtual qint64 EKCommandAction(qint32 action, quint64 syncMethod, quint64 conflictSetting,
                                   const QVariantMap &record, qint64 timeDifference);
    // The CalendarStore road of the listing and the apply.
    std::optional<QList<HMSyncRecord>>
    syncCalendarStoreRecordObjectsModifiedAfter(const QDateTime &date, bool includeDeletes,
                                                const QSet<QString> &excludedHmUids) override;
    virtual qint64 calendarStoreCommandAction(qint32 action, quint64 syncMethod, quint64 conflictSetting,
                                              const QVariantMap &record, qint64 timeDifference);

    // The CalendarStore road's record builder, the rule to the record's recurrence keys and back, and
    // the look-ups of a series' first regular occurrence and of its detached occurrence on a day.
    QVariantMap pppDictionaryForEvent(const platform::CalEvent &event, QVariantMap *identifierDictionary,
                                      quint64 syncMethod);
    bool updatePppDictionary(QVariantMap &record, QVariantMap &identifierDictionary, const platform::CalEvent &event);
    bool updateDictionaryWithDailyRecurrenceInfoForRecurrence(QVariantMap &record,
                                                              const platform::CalRecurrenceRule &rule);
    bool updateDictionaryWithWeeklyRecurrenceInfoForRecurrence(QVariantMap &record,
                                                               const platform::CalRecurrenceRule &rule);
    bool updateDictionaryWithMonthlyRecurrenceInfoForRecurrence(QVariantMap &record,
                                                                const platform::CalRecurrenceRule &rule);
    bool updateDictionaryWithYearlyRecurrenceInfoForRecurrence(QVariantMap &record,
                                                               const platform::CalRecurrenceRule &rule);
    bool updateRecurrenceOfEvent(platform::CalEvent &event, const QVariantMap &record);
    std::optional<platform::CalRecurrenceRule>
    dailyRecurrenceRuleFromDictionary(const QVariantMap &record, const std::optional<platform::CalRecurrenceEnd> &end);
    std::optional<platform::CalRecurrenceRule>
    weeklyRecurrenceRuleFromDictionary(const QVariantMap &record, const std::optional<platform::CalRecurrenceEnd> &end);
    std::optional<platform::CalRecurrenceRule>
    monthlyRecurrenceRuleFromDictionary(const QVariantMap &record,
                                        const std::optional<platform::CalRecurrenceEnd> &end);
    std::optional<platform::CalRecurrenceRule>
    yearlyRecurrenceRuleFromDictionary(const QVariantMap &record, const std::optional<platform::CalRecurrenceEnd> &end);
    // The first occurrence of the series in the date range that is not detached (a lone detached one
    // stands in), and the starts of its regular occurrences; null when there is none.
    std::shared_ptr<platform::CalEvent> firstAppleInstanceOfRecurringEventForNativeId(const QString &uid,
                                                                                      QList<QDateTime> *instances);
    std::shared_ptr<platform::CalEvent>
    recurringExceptionInstanceOfAppleInstanceOfRecurringEventForNativeId(const QString &uid,
                                                                         const QDateTime &exceptionDate);

    // The record for one event, and its pieces (the EventKit listing's builders).
    QVariantMap pppDictionaryForEKEvent(const platform::EKEvent &event, QVariantMap *identifierDictionary,
                                        quint64 syncMethod);
    bool updatePppDictionary(QVariantMap &record, QVariantMap *identifierDictionary, const platform::EKEvent &event);
    bool updateDictionaryWithDailyRecurrenceInfoForEKRecurrence(QVariantMap &record,
                                                                const platform::EKRecurrenceRule &rule);
    bool updateDictionaryWithWeeklyRecurrenceInfoForEKRecurrence(QVariantMap &record,
                                                                 const platform::EKRecurrenceRule &rule);
    bool updateDictionaryWithMonthlyRecurrenceInfoForEKRecurrence(QVariantMap &record,
                                                                  const platform::EKRecurrenceRule &rule);
    bool updateDictionaryWithYearlyRecurrenceInfoForEKRecurrence(QVariantMap &record,
                                                                 const platform::EKRecurrenceRule &rule);
    // The starts of a series' regular occurrences as its first occurrence was found: those among the
    // events last read, or, when that read held only the first occurrence of each series, to be taken
    // from the series' walk once it is known how far the record's instances reach.
    struct RegularStarts
    {
        QList<QDateTime> found;
        bool fromWalk = false;
    };
    // The regular occurrence of the series to read it from, and the starts of its regular occurrences;
    // null when none is regular (a lone detached occurrence stands in).
    std::shared_ptr<platform::EKEvent>
    firstAppleInstanceOfEventKitRecurringEventForNativeId(const QString &seriesId, RegularStarts *instances);
    // The occurrences the device's expansion of a series gives (instances) that the series does not
    // hold as it stands: those with no regular occurrence on their local day. An occurrence at another
    // time of day (another zone's daylight saving, say) is no exception; removed and moved ones are.
    static QVariantList exceptionsOfInstances(const QVariantList &instances, const QList<QDateTime> &regularStarts);
    // The same of the series, its regular starts walked only as far as the last instance's day.
    QVariantList exceptionsOfSeries(const QString &seriesId, const QVariantList &instances,
                                    const RegularStarts &regularStarts);
    // The change checksum of an event: CRC-32 of its checksum input, as signed decimal text.
    static QString checksumOfEvent(const platform::EKEvent &event);
    // The checksum's text, logged as it is taken.
    static QString checksumText(quint32 crc);
    // The start of the sync range: now minus the days back (at least 1, else 90; the profile's
    // calendar days back when larger).
    QDateTime dateRangeStartingDate();
    void setProfile(std::shared_ptr<HMProfile> profile) { m_profile = std::move(profile); }

    // The EventKit apply's pieces: the record's recurrence as the event's rule, the rule builders, and
    // the first event of the chosen calendars with the record's title, start and end.
    bool updateRecurrenceOfEKEvent(platform::EKEvent &event, const QVariantMap &record);
    std::optional<platform::EKRecurrenceRule>
    dailyEventKitRecurrenceRuleFromDictionary(const QVariantMap &record,
                                              const std::optional<platform::EKRecurrenceEnd> &end);
    std::optional<platform::EKRecurrenceRule>
    weeklyEventKitRecurrenceRuleFromDictionary(const QVariantMap &record,
                                               const std::optional<platform::EKRecurrenceEnd> &end);
    std::optional<platform::EKRecurrenceRule>
    monthlyEventKitRecurrenceRuleFromDictionary(const QVariantMap &record,
                                                const std::optional<platform::EKRecurrenceEnd> &end);
    std::optional<platform::EKRecurrenceRule>
    yearlyEventKitRecurrenceRuleFromDictionary(const QVariantMap &record,
                                               const std::optional<platform::EKRecurrenceEnd> &end);
    QList<std::shared_ptr<platform::EKEvent>> isDuplicate(const QVariantMap &record);
    // Both dates of the record are there.
    bool validateDictionary(const QVariantMap &record) const;

    // Outlook profiles (HMCalendarData+OutlookReader.cpp): the changed events read from Outlook as
    // sync records, Outlook's deletions and removed occurrences, and the calendar map kept in step.
    std::optional<QList<HMSyncRecord>> syncOutlookRecordObjectsModifiedAfter(
        const QDateTime &date, bool includeDeletes, const QSet<QString> &excludedHmUids) override;
    QDateTime getOutlookLastListCommandDate();
    void deleteOutlookUidRecords(const QStringList &hmUids) override;
    void continueDeleting(const QStringList &hmUids);
    void removeDeletedOutlookIdsFromDatFile();
    QString saveFailure() const override;
    // The moments of the Outlook path the crash tests stop a run at.
    using OutlookStep = HMOutlookConduit::Step;
    static void setOutlookStepHook(std::function<void(OutlookStep)> hook);

    // Outlook's event text to record and the services of the Outlook side
    // (HMCalendarData+OutlookEventText.cpp). Start and end are used when the text's do not parse.
    QVariantMap pppDictionaryForOutlookCalendarEvent(const QString &text, const QDateTime &start, const QDateTime &end,
                                                     const QString &htmlNote);
    static QString correctedString(const QVariant &value);
    static std::optional<QDateTime> dateFromEventDescriptor(const platform::NSAppleEventDescriptor &descriptor);
    static QString escapedString(const QString &text);
    static QString escapeDoubleQuotesAndNewLines(const QString &text);
    static QString escapeDoubleQuotesAndBackslashes(const QString &text);
    static QString escapeDoubleQuotes(const QString &text);
    // 0 Sunday to 6 Saturday.
    static qint64 dayOfTheWeekFromYear(qint64 year, qint64 month, qint64 day);

    // Occurrences and zones (HMCalendarData+OutlookZones.cpp). The queries answer null when Outlook
    // cannot answer.
    QString exceptionIdFromDictionary(const QVariantMap &record, const QString &outlookId);
    QString deleteExceptionIdFromDictionary(const QVariantMap &record, const QString &outlookId);
    std::optional<QDateTime> getStartDateForExceptionRecordWithOutlookId(const QString &outlookId);
    QString getGoogleIdForMasterRecordFromExceptonRecordId(const QString &outlookId);
    std::optional<QDateTime> getStartDateForMasterRecordFromExceptonRecordId(const QString &outlookId);
    std::optional<QDateTime> getStartDateForMasterRecordFromMasterRecordId(const QString &outlookId);
    static double timezoneOffsetFromEventDescriptor(const platform::NSAppleEventDescriptor &descriptor);
    static QString hmTimeZoneFromOutlookTimeZone(const QString &outlookZoneName);
    static QString outlookTimezoneNameFromSysemTimezoneName();
    static QString outlookTimezoneNameFromTimeZoneString(const QVariant &identifier);
    // Rules: the daylight rule, then the standard rule.
    bool isDstFromStartDate(const QDateTime &date, const QStringList &rules);
    QString fixOutlookRRule(const QString &rule, const QDateTime &start);

    // Outlook profiles, the write side (HMCalendarData+OutlookWriter.cpp): a record paired with an
    // Outlook event (or equal to an unpaired one) updates it; any other becomes a new event, by a create
    // script or, for a series with exceptions, by an iCalendar import. Result 1 (not written) or 2.
    qint64 outlookCommandAction(qint32 action, quint64 syncMethod, quint64 conflictSetting, const QVariantMap &record,
                                qint64 timeDifference) override;
    // The id of an Outlook event with the record's subject (any case), start and end; null when none.
    QString isOutlookDuplicate(const QVariantMap &record);
    void addNewOutlookEventWithDictionary(const QVariantMap &record);
    void updateOutlookEventWithUniqueId(const QString &outlookId, const QVariantMap &record);
    static QString makeAttendeeString(const QString &name, const QString &email, const QString &outlookId);
    // What adding the record would send: the create script and the dates it carries, or why nothing
    // is sent (no start, outside the window, the iCalendar road).
    struct OutlookNewEvent
    {
        enum class Road { None, Outside, Import, Script } road = Road::None;
        QString script;
        QDateTime start;
        QDateTime end;
        bool allDay = false;
    };
    OutlookNewEvent planNewOutlookEvent(const QVariantMap &record);
    // The update's main script (the dates and the properties record) for the record.
    QString outlookUpdateScript(const QString &outlookId, const QVariantMap &record, bool updateNote);
    platform::Status syncAppliedChangesToDisk() override;

    // Texts of the write side (HMCalendarData+OutlookProperties.cpp).
    QString propertiesStringFromEventDictionary(const QVariantMap &record, bool updateNote);
    QString outlookRecurrencePropertiesStringFromRRule(const QString &rule, const QDateTime &start);
    // The event as Outlook holds it when an update begins, from one properties script: its plain-text
    // note (null when unread) and its own rule ("" for a single event; nullopt when unread or for a
    // modified occurrence) (HMCalendarData+OutlookRecurrenceUpdate.cpp).
    struct OutlookEventNow
    {
        QString note;
        std::optional<QString> rule;
    };
    OutlookEventNow readOutlookEventNow(const QString &outlookId);
    // Whether the record's rule differs from Outlook's in kind, interval, days, month, day of month or
    // end (the end compared as a last day or a count).
    bool outlookRulesDiffer(const QString &outlookRule, const QString &recordRule, const QVariantMap &record);
    QStringList outlookCategoryFragments(const QVariantMap &record, bool withColorFallback);
    platform::DateFormatter &appleScriptDateFormatter();
    // The iCalendar road (HMCalendarData+OutlookIcs.cpp).
    void makeIcsFileFromDictionary(const QVariantMap &record);
    QString icsTextFromDictionary(const QVariantMap &record, const QString &icalUid);
    QString icalTimeZoneStringFromEventTimeZone(const QString &zoneName);
    QString getOutlookGuidForOutlookEventId(const QString &outlookId);
    QString importIcsFileIntoOutlook(const QString &path, bool isNew);
    void deleteDuplicateOutlookEventAndUpdateDateFile(const QString &outlookId);
    void addCategoriesForEventId(const QString &outlookId, const QVariantMap &record);
    // Text as an iCalendar TEXT value: backslash, ";" and "," escaped, a line break as "\n", CR dropped.
    static QString icalTextValue(const QString &text);
    // An event file's VALARM block for the record's alarm; empty without one.
    static QString icsAlarmText(const QVariantMap &record, const QDateTime &start);
    // Google direct sync's occurrences (HMCalendarData+OutlookGoogleOccurrences.cpp).
    QString googleOccurrenceIcsText(const QString &seriesText, const QVariantMap &record);
    QString handleGoogleUpdateException(const QVariantMap &record);
    QString makeGoogleIcsFileFromVCal(const QString &seriesText, const QVariantMap &record, const QString &occurrenceId,
                                      const QString &parentId);
    void updateOutlookRecurringEvent(const QString &parentId, const QString &scheduledStart);
    QString outlookSeriesText(const QString &seriesId);
    // The days ("yyyyMMdd") an Outlook event's EXDATE lines remove (HMCalendarData+OutlookEventText.cpp).
    static QStringList outlookExdateDays(const QStringList &eventLines);
    void handleGoogleDeletedExceptionRecords(const QVariantList &records);
    // The apply's pairs: the calendar map read once, with the pairs a killed run kept aside merged into
    // it first, and this run's own pairs. A pair kept here is on disk (the confirmed-pairs file) before
    // the next record and joins the map with the stage's one write (syncAppliedChangesToDisk).
    QString outlookIdForDeviceId(const QString &deviceId);
    QString deviceIdForGoogleEventId(const QString &googleEventId);
    void keepOutlookEventPair(const QString &outlookId, const QString &deviceId);
    // Imports the occurrence and cuts its day from its series; true when its Outlook event, paired,
    // is left for the caller to delete.
    bool removeExceptionFromSeries(const QVariantMap &record);
    // Tests keep each event.ics before it is removed.
    static void setOutlookIcsKeeper(std::function<void(const QString &)> keeper);

    // Fields of the Apple side and the shared state the Outlook side keeps here.
    bool ignoreDeletes() const { return m_ignoreDeletes; }
    void setIgnoreDeletes(bool ignoreDeletes) { m_ignoreDeletes = ignoreDeletes; }
    bool isWritingToGoogleDirect() const { return m_isWritingToGoogleDirect; }
    void setIsWritingToGoogleDirect(bool isWriting) { m_isWritingToGoogleDirect = isWriting; }
    QList<std::shared_ptr<platform::EKEvent>> ekEventsArray() const { return m_ekEventsArray; }
    void setEkEventsArray(const QList<std::shared_ptr<platform::EKEvent>> &events);
    const QSet<QString> &exceptionRecordIds() const { return m_exceptionRecordIds; }
    // Created as 0 on first use.
    qint64 exceptionRecordIdCounter() const { return m_exceptionRecordIdCounter; }
    void setExceptionRecordIdCounter(qint64 counter) { m_exceptionRecordIdCounter = counter; }
    qint64 recordCounter() const { return m_recordCounter; }
    void setRecordCounter(qint64 counter) { m_recordCounter = counter; }
    qint64 numberOfInstancesForOutlookRecurringEvent() const { return m_numberOfInstancesForOutlookRecurringEvent; }
    void setNumberOfInstancesForOutlookRecurringEvent(qint64 count)
    {
        m_numberOfInstancesForOutlookRecurringEvent = count;
    }
    QVariantMap &dictionaryOfModifiedExceptions() { return m_dictionaryOfModifiedExceptions; }
    QVariantMap &outlookDupeCheckDictionary() { return m_outlookDupeCheckDictionary; }
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
    // An event's start and end as Outlook's properties give them.
    struct OutlookEventTimes
    {
        QDateTime start;
        QDateTime end;
    };
    HMOutlookDatFileHelper &outlookDatFileHelper();
    void ensureOutlookHelpers();
    HMOutlookConduit &outlookConduit() override;
    void failOutlookRead(const QString &reason);
    QStringList outlookEventCandidates(const QStringList &changed, const QSet<QString> &excludedOutlookIds);
    QSet<QString> excludedOutlookIds(const QSet<QString> &excludedHmUids);
    std::optional<std::pair<QString, QString>> outlookEventText(const platform::NSAppleEventDescriptor &result);
    std::optional<QHash<QString, QString>> readOutlookEventTexts(QStringList &candidates,
                                                                 std::optional<QHash<QString, OutlookEventTimes>> &times);
    QList<HMSyncRecord> outlookEventRecords(const QStringList &candidates, const QHash<QString, QString> &texts,
                                            const QHash<QString, OutlookEventTimes> &times);
    std::optional<HMSyncRecord> outlookEventRecord(HMSyncRecord record, const QString &candidate,
                                                   const QHash<QString, QString> &texts,
                                                   const QHash<QString, OutlookEventTimes> &times);
    bool isOrganizedByGoogleUser(const QString &text);
    bool isOutsideOutlookDateRange(const QVariantMap &record);
    QList<HMSyncRecord> outlookEventDeletions(const QDateTime &date);
    QList<HMSyncRecord> cancelledOutlookOccurrences(const QList<HMSyncRecord> &records);
    std::optional<HMSyncRecord> cancelledOccurrence(const QString &deleted, bool allDay);
    QString seriesOutlookIdOfRecord(const HMSyncRecord &record);
    static QDateTime outlookEventDate(const QStringList &lines, QStringView prefix, const QDateTime &fallback);
    void storeOutlookEventDates(QVariantMap &record, const QStringList &lines, const OutlookEventTimes &times);
    void storeOutlookEventTexts(QVariantMap &record, const QStringList &lines);
    void storeOutlookEventRecurrence(QVariantMap &record, const QStringList &eventLines, const QString &outlookId);
    void storeOutlookEventCategories(QVariantMap &record, const QStringList &lines);
    void noteModifiedOccurrence(QVariantMap &record, const QString &outlookId);
    QStringList outlookExceptionDays(const QStringList &eventLines, const QString &outlookId);
    bool outlookSyncsAttendees();
    QString seriesOutlookIdOfOccurrence(const QString &outlookId);
    bool addSeriesOfChangedOccurrences(QStringList &candidates, const QSet<QString> &excluded,
                                       QHash<QString, QString> &texts, QHash<QString, OutlookEventTimes> &times);

    // The write side's helpers and state.
    bool noteOutlookGone(const std::optional<platform::NSAppleScriptError> &error);
    void failOutlookApply(const QString &reason);
    platform::NSAppleEventDescriptor runOutlookScript(const QString &script,
                                                      std::optional<platform::NSAppleScriptError> &error, bool writes);
    void buildOutlookDupeCache();
    void reportOutlookWriteError(const QVariantMap &record);
    void runCreatedEventScripts(const QString &newId, const OutlookNewEvent &plan, const QVariantMap &record);
    void setNewEventTimeZone(const QString &newId, const OutlookNewEvent &plan, const QVariantMap &record);
    void addOutlookAttendees(const QString &outlookId, const QVariantMap &record);
    void updateOutlookAttendees(const QString &outlookId, const QVariantMap &record);
    void updateAllDayZone(const QString &outlookId, const QDateTime &start, const QDateTime &end, const QVariantMap &record);
    bool isOutlookUpdateSkipped(const QVariantMap &record, bool &recurring);
    bool outlookNoteChanged(const QString &outlookNote, const QVariantMap &record);
    void updateOutlookRecurrence(const QString &outlookId, const QVariantMap &record, const OutlookEventNow &now, bool recurring);
    void sendOutlookRecurrence(const QString &outlookId, const QString &properties, const QString &refusedUid, const QString &logTag);
    bool isRuleEndBeforeWindow(const QString &rule);
    QString outlookDateText(const QDateTime &date);
    QString chosenOutlookCalendar() const;
    QString outlookIcsPath();
    QString outlookRecurrenceEnd(const QStringList &parts);
    static QString outlookBusyWord(const QVariantMap &record, bool allDay);
    static QString outlookPrivateText(const QVariantMap &record);
    static std::pair<QString, QString> outlookReminderTexts(const QVariantMap &record, const QDateTime &start);
    QString outlookCreateScript(const OutlookNewEvent &plan, const QVariantMap &record, const QString &recurrence,
                                const QStringList &fragments);
    static QString categoryPropertyText(const QString &script, const QStringList &fragments);
    static void reachOutlookStep(OutlookStep step);
    QString outlookRecurrenceKind(QString type, const QStringList &parts, const QDateTime &start, qint64 &dayOfMonth);

    std::optional<platform::DateFormatter> m_appleScriptDateFormatter;
    bool m_outlookDupeCacheBuilt = false;
    QMultiHash<QPair<qint64, qint64>, QString> m_outlookDupeIndex;
    bool m_outlookGoneDuringApply = false;
    // The calendar map and the Outlook reader, the read's stamp and the apply's pairs; made with the
    // Outlook helpers.
    std::unique_ptr<HMOutlookConduit> m_outlookEvents;
    // The event being read: its start, and whether it is an occurrence whose series is unknown.
    QDateTime m_outlookEventStart;
    bool m_outlookOccurrenceUnknown = false;
    // While the listing builds its records: the calendar map's device ids by Outlook id.
    std::optional<QHash<QString, QString>> m_mappedDeviceIds;
    // While the listing builds its records: the ids of the records new to the other side by Outlook
    // id, added to in place and handed to the process-wide copy once the listing ends.
    std::optional<QVariantMap> m_insertIdMapping;
    // The series' Outlook id of each occurrence asked about.
    QHash<QString, QString> m_seriesOfOccurrence;
    // By the series' Outlook id, the days of its occurrences Outlook holds changed (read this listing).
    QHash<QString, QSet<QString>> m_changedOccurrenceDays;

    // What a listing decided for one event, whichever store it read: the ids of the event and of its
    // series, whether each is new to the graph, whether the event is sent, and the dictionaries.
    struct ListingPlan
    {
        QString nativeId;
        QString seriesId;
        QString ownUid;
        QString seriesUid;
        bool isNew = false;
        bool seriesIsNew = false;
        bool process = false;
        std::optional<QVariantMap> seriesDictionary; // as found in the graph
        QVariantMap identifierDictionary;            // the ones to save
        std::optional<QVariantMap> seriesIdentifierDictionary;
    };
    // What the CalendarStore listing decided for one event.
    struct CalendarStorePlan : ListingPlan
    {
        bool isOccurrence = false;
        bool isException = false;
        QDateTime listingDate;
        std::optional<QVariantMap> eventDictionary; // as found in the graph
    };
    // How a series ends: on a date (the last moment of the series), or after a count.
    struct RecurrenceEndKeys
    {
        QDateTime endDate;
        int occurrenceCount = 0;
        // The end date is the record's end as it stands (the series' last day), not the day before it.
        bool isRecordEnd = false;
    };

    // The record fields both roads' builders write before the alarm and recurrence, and those after.
    QVariantMap eventRecordFields(const QString &title, const QString &location, const QString &notes,
                                  const QString &calendarTitle, bool allDay, const QDateTime &start,
                                  const QDateTime &end);
    static void appendEmptyEventFields(QVariantMap &record);
    std::optional<QList<QDateTime>> instancesForRecordRecurrence(const QDateTime &start, const QVariantMap &record);
    void writeRecurrenceEndKeys(QVariantMap &record, QVariantMap &identifierDictionary, const QDateTime &start,
                                const std::optional<RecurrenceEndKeys> &end);
    // How a record's series ends in either store: at the last moment of its last day, else after its
    // count of occurrences, else never (an empty end date and a count of 0).
    RecurrenceEndKeys storeEndOfRecord(const QVariantMap &record);
    template <typename End> std::optional<End> recurrenceEndOfRecord(const QVariantMap &record)
    {
        const RecurrenceEndKeys end = storeEndOfRecord(record);
        if (end.endDate.isValid())
            return End::recurrenceEndWithEndDate(end.endDate);
        if (end.occurrenceCount > 0)
            return End::recurrenceEndWithOccurrenceCount(end.occurrenceCount);
        return std::nullopt;
    }
    // The rule a record's "REPEAT" (1 daily to 4 yearly) asks for, made with the record's end by that
    // frequency's maker of the road (makers: daily, weekly, monthly, yearly); none for another number.
    template <typename Rule, typename End>
    using RuleMakers =
        std::array<std::optional<Rule> (HMCalendarData::*)(const QVariantMap &, const std::optional<End> &), 4>;
    template <typename Rule, typename End>
    std::optional<Rule> ruleOfRecord(const QVariantMap &record, qint64 repeat, const RuleMakers<Rule, End> &makers)
    {
        const std::optional<End> end = recurrenceEndOfRecord<End>(record);
        const std::optional<std::size_t> maker = ruleMakerOfRepeat(repeat);
        if (!maker)
            return std::nullopt;
        return (this->*makers.at(*maker))(record, end);
    }
    static std::optional<std::size_t> ruleMakerOfRepeat(qint64 repeat);
    // A rule's keys of the record, written by the writer of its frequency (both stores number their
    // frequencies 0 daily to 3 yearly; writers: daily, weekly, monthly, yearly).
    template <typename Rule> using RecordWriters = std::array<bool (HMCalendarData::*)(QVariantMap &, const Rule &), 4>;
    template <typename Rule>
    void writeRuleOfFrequency(QVariantMap &record, const Rule &rule, int frequency, const RecordWriters<Rule> &writers)
    {
        (this->*writers.at(std::size_t(frequency)))(record, rule);
    }
    void planCalendarStoreEvent(CalendarStorePlan &plan, const platform::CalEvent &event, const QDateTime &date,
                                const QSet<QString> &excludedHmUids);
    void planNewCalendarStoreEvent(CalendarStorePlan &plan);
    void planCalendarStoreSeries(CalendarStorePlan &plan);
    void planKnownCalendarStoreEvent(CalendarStorePlan &plan, const platform::CalEvent &event, const QDateTime &date,
                                     const QSet<QString> &excludedHmUids);
    void appendCalendarStoreSeriesRecord(CalendarStorePlan &plan, QList<HMSyncRecord> &records,
                                         QSet<QString> &seriesSeen);
    void appendCalendarStoreEventRecord(CalendarStorePlan &plan, const platform::CalEvent &event,
                                        QList<HMSyncRecord> &records);
    std::optional<QVariantMap> calendarStoreSeriesRecord(const QString &seriesId, QVariantMap &seriesDictionary);
    static bool isUnchangedSinceLastSent(const QVariantMap &identifierDictionary, const QString &checksum,
                                         const QDateTime &listingDate);
    void storeCalendarStoreChecksum(const QString &hmUid, const QString &seriesOrEventUid, bool recurring,
                                    bool isNewToGraph);
    QList<std::shared_ptr<platform::CalEvent>> calendarStoreEventsOfSeries(const QString &uid);
    std::shared_ptr<platform::CalEvent> calendarStoreEventToWrite(const QString &nativeId, const QVariantMap &record,
                                                                  bool recurring, quint64 conflictSetting,
                                                                  const QDateTime &deviceTime, qint64 &result);
    std::shared_ptr<platform::CalEvent> findCalendarStoreEvent(const QString &nativeId, const QVariantMap &record,
                                                               bool recurring);
    std::shared_ptr<platform::CalEvent> unclaimedCalendarStoreTwin(const QVariantMap &record);
    void writeRecordToCalendarStoreEvent(platform::CalEvent &event, const QVariantMap &record, bool recurring);
    bool saveCalendarStoreEvent(const std::shared_ptr<platform::CalEvent> &event, const QVariantMap &record,
                                bool recurring);
    void removeCalendarStoreExceptionOccurrences(const QString &uid, const QVariantMap &record);
    void deleteUidRecordsFromStore(const QStringList &hmUids, bool eventKit);

    // What the EventKit listing decided for one event.
    struct EventPlan : ListingPlan
    {
        bool hasRules = false;
        bool isSeriesMember = false;
        bool isKnownSeriesException = false;
        QString newChecksum;
        std::optional<QVariantMap> recordDictionary; // as found in the graph
    };

    // One pass of the whole listing over its events.
    struct ListingPass
    {
        const QDateTime &date;
        const QSet<QString> &excludedHmUids;
        const QSet<QString> seriesToRefresh;
        QSet<QString> found;
        QList<HMSyncRecord> &records;
        const HMIdentifierGraph &graph;
        // The entries found unchanged, and their packed bytes, which the graph's entries share.
        QList<HMIdentifierGraphEntry> foundEntries = {};
        QSet<const char *> foundBytes = {};
        // Where the texts of the event looked at are decoded, one event after another.
        QByteArray lookScratch = {};
        // Where the texts of the series looked at are read, one series after another.
        platform::icallisted::ListedSeriesScratch seriesRoom = {};
        // The series whose record is listed: each of its occurrences would send it, and a look
        // through the records listed so far for each made the listing grow with its square.
        QSet<QString> seriesListed = {};
    };

    std::shared_ptr<platform::EKEventStore> ensureEventStore();
    // The calendar device records are written to, looked up once per store and calendar identifier:
    // saving an event checks its calendar again.
    std::shared_ptr<platform::EKCalendar> eventCalendarToWriteTo();
    // Which occurrences of a series a read makes: all of them, or its first regular one and its
    // detached ones (firstAppleInstanceOfEventKitRecurringEventForNativeId then takes the regular
    // starts from the series' walk, with no event made per occurrence).
    enum class OccurrencesRead { All, FirstOfEachSeries };
    // The start and end of a record looked for among the events.
    using RecordSpan = std::pair<QDateTime, QDateTime>;
    // The events of the chosen calendars from three years back to about thirteen years ahead, into
    // ekEventsArray: of one series only when seriesId is set, and only those overlapping the moment
    // when one is given (an event found by its start need not be looked for elsewhere), and only of
    // files holding an event of the title when one is given (with the start and end given: those that
    // may hold an event of the title starting and ending then).
    void readEventKitEvents(const QString &seriesId = QString(), const std::optional<RecordSpan> &around = std::nullopt,
                            const std::optional<QString> &title = std::nullopt,
                            OccurrencesRead occurrences = OccurrencesRead::All);
    // The same events, a sequence per window, made when read. The whole listing reads the first
    // occurrence of each series.
    QList<platform::EKEventSequence> readEventKitSequences(const QString &seriesId = QString(),
                                                           const std::optional<RecordSpan> &around = std::nullopt,
                                                           const std::optional<QString> &title = std::nullopt,
                                                           OccurrencesRead occurrences = OccurrencesRead::All);
    // The series a device record names, its first occurrence and its detached ones, into ekEventsArray:
    // read once for the steps of the record's apply, which find the series and then the record it
    // was sent as. Not read again until another read or a write (forgetSeriesOfRecord).
    void readSeriesOfRecord(const QString &seriesId);
    void forgetSeriesOfRecord() { m_seriesReadForRecord.clear(); }
    // The sequences of the whole listing; ekEventsArray holds only the events read from parsed files.
    QList<platform::EKEventSequence> readEventKitListing();
    void letGoOfMovedOccurrences();
    // Plans the event at the position of the sequence, told unchanged without being made when it can be.
    void listEventAt(ListingPass &pass, const platform::EKEventSequence &sequence, qsizetype index);
    void listEvent(ListingPass &pass, const platform::EKEvent &event);
    bool listUnchangedEvent(ListingPass &pass, const platform::EKEventSequence &sequence, qsizetype index);
    bool listUnchangedSeries(ListingPass &pass, const platform::EKEvent &event);
    // A series placed from its walk, told unchanged from its text, its event unmade.
    bool listUnchangedListedSeries(ListingPass &pass, const platform::EKEventSequence &sequence, qsizetype index);
    // The series' checksum (seriesChecksumCrc) from its master's fields as its text holds them, for a
    // series of no moved occurrence whose occurrence the listing holds starts at occurrenceStart.
    static quint32 listedSeriesChecksumCrc(const platform::icallisted::ListedSeriesLook &look, qint64 occurrenceStart);
    // Adds an event made after the listing was read, as setEkEventsArray would have placed it last.
    void appendEkEvent(const std::shared_ptr<platform::EKEvent> &event);
    bool listUnchangedMovedOccurrence(ListingPass &pass, const platform::EKEvent &event, const QString &nativeId);
    // Notes the record as found by an event that needs no plan, unless the event changed since the
    // sync's date (told by isChanged) and the device did not change the record too: answers whether
    // it was noted.
    static bool noteFoundUnchanged(ListingPass &pass, const HMIdentifierGraphEntry &record, bool isChanged);
    static void noteFound(ListingPass &pass, const HMIdentifierGraphEntry &entry);
    static QList<QVariantMap> dictionariesNotListed(const HMIdentifierGraph::Entries &known, ListingPass &pass);
    void reportListingProgress(qsizetype position, qsizetype total) const;
    // The predicates of readEventKitEvents, a window each.
    QList<platform::EKPredicate> eventKitPredicates(const QString &seriesId, const std::optional<RecordSpan> &around,
                                                    const std::optional<QString> &title);
    // Every regular occurrence's start of the series in the listing's windows, in their order; with a
    // valid walkEnd only those before it, and the series is walked no further.
    QList<QDateTime> regularStartsOfSeries(const QString &seriesId, const QDateTime &walkEnd = {});
    // The native id of a moved occurrence: its series and its start ("<uid>+yyyyMMdd+HH:mm:ss" in GMT).
    QString detachedNativeId(const platform::EKEvent &event);
    QString nativeIdOfEvent(const platform::EKEvent &event);
    // Plans the event under plan.nativeId, which the caller takes (nativeIdOfEvent) first.
    void planEvent(EventPlan &plan, const platform::EKEvent &event, const QDateTime &date,
                   const QSet<QString> &excludedHmUids, const QSet<QString> &seriesToRefresh);
    void planNewEvent(EventPlan &plan, const platform::EKEvent &event);
    QString seriesChecksum(const QString &seriesId);
    // The same checksum as its number, made afresh; nothing when the series is not found.
    std::optional<quint32> seriesChecksumCrc(const QString &seriesId);
    // The series as its checksum reads it: while the listing plans, its regular occurrence at the
    // series' start as the listing read it (no second read of the file); else as the store has it.
    std::shared_ptr<platform::EKEvent> seriesForChecksum(const QString &seriesId);
    QList<std::shared_ptr<platform::EKEvent>> eventsOfSeries(const QString &seriesId) const;
    // Calls visit with each event last read of the series, in their order there, until it answers false.
    template <typename Visit>
    void visitEventsOfSeries(const QString &seriesId, const Visit &visit) const
    {
        const auto first = m_firstPositionBySeries.constFind(seriesId);
        qsizetype position = first == m_firstPositionBySeries.constEnd() ? -1 : *first;
        for (; position >= 0; position = m_nextPositionInSeries.at(position)) {
            if (!visit(m_ekEventsArray.at(position)))
                return;
        }
    }
    void planKnownEvent(EventPlan &plan, const platform::EKEvent &event, const QDateTime &date,
                        const QSet<QString> &excludedHmUids);
    void skipEventsBeforeTheRange(EventPlan &plan, const platform::EKEvent &event);
    // Lists the series' record, once per listing (ListingPass::seriesListed).
    void appendSeriesRecord(EventPlan &plan, QList<HMSyncRecord> &records);
    void appendEventRecord(EventPlan &plan, const platform::EKEvent &event, QList<HMSyncRecord> &records);
    void writeRecurrenceEnd(QVariantMap &record, QVariantMap *identifierDictionary, const platform::EKEvent &event);
    QSet<QString> seriesWithModifiedExceptions(const QDateTime &date);
    std::shared_ptr<platform::EKEvent> findNativeEvent(const QString &nativeId, bool recurring);
    std::shared_ptr<platform::EKEvent> findOccurrenceToRemove(const QString &nativeId, const QString &parentId);
    std::pair<std::shared_ptr<platform::EKEvent>, std::shared_ptr<platform::EKEvent>>
    findEventAndReplacedOccurrence(const QString &nativeId, const QVariantMap &record, bool recurring);
    std::optional<qint64> refusalBeforeLookup(const QVariantMap &record, bool recurring);
    std::pair<QString, QDateTime> writtenChecksumAndDate(const platform::EKEvent &event, bool recurring);
    void rememberAppliedEvent(HMIdentifierGraph &graph, const std::optional<QVariantMap> &identifier,
                              const QString &uid, const platform::EKEvent &event, bool recurring);
    qint64 saveAppliedEvent(const std::shared_ptr<platform::EKEvent> &event, const QVariantMap &record, bool recurring,
                            const std::shared_ptr<platform::EKEvent> &occurrenceToRemove, qint64 result,
                            const std::optional<QVariantMap> &sent);
    bool isBeforeTheSyncRange(const QVariantMap &record, bool recurring);
    // Writes the record into the event. `sent` is the record the event gives now (what the device was
    // sent of it): the dates and the recurrence the device left as they were stay as the event has them.
    void writeRecordToEvent(platform::EKEvent &event, const QVariantMap &record, bool recurring,
                            const std::optional<QVariantMap> &sent);
    void writeRecordDatesToEvent(platform::EKEvent &event, const QVariantMap &record,
                                 const std::optional<QVariantMap> &sent);
    static void moveAllDayEvent(platform::EKEvent &event, const QVariantMap &record, const QVariantMap &sent);
    // The record the existing event gives now, as a listing would send it; nothing for a new one.
    std::optional<QVariantMap> recordSentOfEvent(const platform::EKEvent &event, bool recurring);
    void removeExceptionOccurrences(const platform::EKEvent &saved, const QVariantMap &record,
                                    const std::optional<QVariantMap> &sent);
    void appendDeletions(const QList<QVariantMap> &remaining, QList<HMSyncRecord> &records);
    // Removes the event of the native id from the store the version chose; false when it was there
    // and could not be removed.
    void removeEventKitEvent(const QString &nativeId);
    void removeCalendarStoreEvent(const QString &nativeId);
    void reportDeletionProgress(qint64 position, qint64 total, bool eventKit) const;

    std::atomic<bool> m_ignoreDeletes = false;
    std::atomic<bool> m_isWritingToGoogleDirect = false;
    QList<std::shared_ptr<platform::EKEvent>> m_ekEventsArray;
    QSet<QString> m_exceptionRecordIds;
    qint64 m_exceptionRecordIdCounter = 0;
    std::atomic<qint64> m_recordCounter = 0;
    std::atomic<qint64> m_numberOfInstancesForOutlookRecurringEvent = 0;
    QVariantMap m_dictionaryOfModifiedExceptions;
    QVariantMap m_outlookDupeCheckDictionary;
    QString m_deletionsWarningString;
    std::atomic<qint64> m_eventsAddedToOutlookOnThisSync = 0;
    QVariantMap m_icalTimeZoneDictionary;
    QStringList m_uidsToDeleteInOutlook;
    std::shared_ptr<HMProfile> m_profile;
    QDateTime m_listingRangeStart;
    QHash<QString, QString> m_seriesChecksums;
    std::weak_ptr<platform::EKEventStore> m_storeOfEventCalendar;
    std::shared_ptr<platform::EKCalendar> m_eventCalendarToWriteTo;
    // The events of one series in ekEventsArray, kept with the array as a chain: the position of its
    // first by calendar item identifier, then each position's next of the same series (-1 at the end).
    // No list per series is made (or freed) for the thousands of series of a listing.
    QHash<QString, qsizetype> m_firstPositionBySeries;
    QList<qsizetype> m_nextPositionInSeries;
    // Whether ekEventsArray holds of each series only its first regular occurrence (the whole listing).
    bool m_holdsFirstOccurrencesOnly = false;
    // While the listing plans its events: ekEventsArray then holds what the folders hold now.
    bool m_isPlanningListing = false;
    // The series readSeriesOfRecord last read, while ekEventsArray still holds it as the folders are.
    QString m_seriesReadForRecord;
};
