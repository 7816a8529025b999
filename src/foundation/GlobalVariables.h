#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <memory>

class HMGoogleSync;
class HMMainWindowController;
class HMProfilesController;
class HMSyncProgressReporting;

// The process-wide registry through which windows, the sync controller, the transports and the data
// sources share the facts of the current sync and a few application-wide objects. It has no
// instances: every value is process-wide and starts as false, 0, empty or null; nothing is persisted.
//
// Thread-safe: any thread reads and writes any value. Flags and counters are atomic; texts, dates,
// lists, dictionaries and object slots are replaced and read whole under one lock, so a reader sees
// either the old or the new value. Getters of lists and dictionaries return copies; a caller that
// changes one stores it back with the setter.
class GlobalVariables final
{
public:
    GlobalVariables() = delete;

    // Flags.
    static void setIsCalendarSyncEnabled(bool value);
    static bool getIsCalendarSyncEnabled();
    static void setIsTaskSyncEnabled(bool value);
    static bool getIsTaskSyncEnabled();
    static void setShouldHideSyncStatus(bool value);
    static bool getShouldHideSyncStatus();
    static void setQuillnestErrorStatus(bool value);
    static bool getQuillnestErrorStatus();
    static void setShouldPushSync(bool value);
    static bool getShouldPushSync();
    static void setunwritableCalendar(bool value);
    static bool getunwritableCalendar();
    static void setunwritableEKCalendar(bool value);
    static bool getunwritableEKCalendar();
    static void setCanSyncTasks(bool value);
    static bool getCanSyncTasks();
    static void setIsTaskTabView(bool value);
    static bool getIsTaskTabView();
    static void setHasValidDefaultReminderCalendar(bool value);
    static bool getHasValidDefaultReminderCalendar();
    static void setIsOutlookSync(bool value);
    static bool getIsOutlookSync();
    static void setIsWiFiSync(bool value);
    static bool getIsWiFiSync();
    static void setIsSynchronizing(bool value);
    static bool getIsSynchronizing();
    static void setAdvancedSettingsIsOpen(bool value);
    static bool getAdvancedSettingsIsOpen();
    static void setShouldSyncContactPhotos(bool value);
    static bool getShouldSyncContactPhotos();
    static void setHasOutlookContactsWriteError(bool value);
    static bool getHasOutlookContactsWriteError();
    static void setHasOutlookCalendarWriteError(bool value);
    static bool getHasOutlookCalendarWriteError();
    static void setHasOutlookTasksWriteError(bool value);
    static bool getHasOutlookTasksWriteError();
    static void setHasOutlookMemosWriteError(bool value);
    static bool getHasOutlookMemosWriteError();
    static void setIsGoogleDirect(bool value);
    static bool getIsGoogleDirect();
    static void setIsProcessingDeletes(bool value);
    static bool getIsProcessingDeletes();
    static void setDeletionsWarningIsShowing(bool value);
    static bool getDeletionsWarningIsShowing();
    static void setIsContactManagerApple(bool value);
    static bool getIsContactManagerApple();

    // Integers.
    static void setCurrentWifiBatchStartingPosition(qint64 value);
    static qint64 getCurrentWifiBatchStartingPosition();
    static void setContactManagerSetting(qint64 value);
    static qint64 getContactManagerSetting();
    static void setSyncControllerSecondsDifference(qint64 value);
    static qint64 getSyncControllerSecondsDifference();
    static void setContactAddUpdatesThisSync(qint64 value);
    static qint64 getContactAddUpdatesThisSync();
    static void setContactAddUpdateFailuresThisSync(qint64 value);
    static qint64 getContactAddUpdateFailuresThisSync();
    static void incrementContactAddUpdatesThisSync();
    static void incrementContactAddUpdateFailuresThisSync();
    // Sets both "this sync" contact counters back to 0. The sync run calls it when it starts, so
    // that decisions at its end are made on this run's counts, not on the totals since launch.
    static void resetContactAddUpdateCountsThisSync();

    // Dates (a null QDateTime when none is stored).
    static void setLastSyncEndDate(const QDateTime &value);
    static QDateTime getLastSyncEndDate();
    static void setLastWakeTime(const QDateTime &value);
    static QDateTime getLastWakeTime();

    // Texts (a null QString when none is stored).
    static void setQuillnestDeviceId(const QString &value);
    static QString getQuillnestDeviceId();
    static void setHMWiFiBuildNumber(const QString &value);
    static QString getHMWiFiBuildNumber();
    static void setDefaultReminderCalendarId(const QString &value);
    static QString getDefaultReminderCalendarId();
    static void setOutlookVersionNumber(const QString &value);
    static QString getOutlookVersionNumber();
    static void setOutlookVersionNumberInConfiguration(const QString &value);
    static QString getOutlookVersionNumberInConfiguration();
    static void setQuillnestUserName(const QString &value);
    static QString getQuillnestUserName();
    static void setOutlookApplicationReference(const QString &value);
    static QString getOutlookApplicationReference();
    static void setEnabledConduitsForQuillnestConnector(const QString &value);
    static QString getEnabledConduitsForQuillnestConnector();
    static void setErrorRecoverySyncConduits(const QString &value);
    static QString getErrorRecoverySyncConduits();
    static void setSyncInterruptMessage(const QString &value);
    static QString getSyncInterruptMessage();
    static void setDefaultGoogleCalendatIdentifier(const QString &value);
    static QString getDefaultGoogleCalendatIdentifier();

    // Lists of texts.
    static void setErrorLogContactIds(const QStringList &value);
    static QStringList getErrorLogContactIds();
    static void setErrorLogCalendarIds(const QStringList &value);
    static QStringList getErrorLogCalendarIds();
    static void setErrorLogTaskIds(const QStringList &value);
    static QStringList getErrorLogTaskIds();
    static void setErrorLogMemoIds(const QStringList &value);
    static QStringList getErrorLogMemoIds();
    static void setAllOutlookEmailAccounts(const QStringList &value);
    static QStringList getAllOutlookEmailAccounts();
    static void setOutlookContactIdsWithPhotosToSendToGoogle(const QStringList &value);
    static QStringList getOutlookContactIdsWithPhotosToSendToGoogle();
    // Appends the id to the list of Outlook contacts whose photos go to Google.
    static void addContactIdToOutlookContactIdsWithPhotosToSendToGoogle(const QString &contactId);

    // Dictionaries.
    static void setQuillnestLastModifiedDictionary(const QVariantMap &value);
    static QVariantMap getQuillnestLastModifiedDictionary();
    static void setContactIdsWithPhotos(const QVariantMap &value);
    static QVariantMap getContactIdsWithPhotos();
    // Stores the Outlook id under the device id; a null id on either side stores nothing.
    static void addOutlookIdToContactIdsWithPhotos(const QString &outlookId, const QString &deviceId);
    static void setIdMappingForInsertRecords(const QVariantMap &value);
    static QVariantMap getIdMappingForInsertRecords();
    static void setOutlookRecurringEventsAndExceptions(const QVariantMap &value);
    static QVariantMap getOutlookRecurringEventsAndExceptions();

    // Application-wide objects, held strongly until replaced.
    static void setCurrentSyncProgressController(const std::shared_ptr<HMSyncProgressReporting> &value);
    static std::shared_ptr<HMSyncProgressReporting> getCurrentSyncProgressController();
    // Shows the text as the running sync's user message; nothing while no sync shows its progress.
    static void showSyncUserMessage(const QString &text);
    static void setGoogleDirectSyncControllerController(const std::shared_ptr<HMGoogleSync> &value);
    static std::shared_ptr<HMGoogleSync> getGoogleDirectSyncController();
    static void setMainWindowController(const std::shared_ptr<HMMainWindowController> &value);
    static std::shared_ptr<HMMainWindowController> getMainWindowController();
    static void setCurrentProfileController(const std::shared_ptr<HMProfilesController> &value);
    static std::shared_ptr<HMProfilesController> getCurrentProfileController();

    // The date-and-time pattern that matches how the current locale writes a short date and a
    // short time: one of twelve fixed patterns, the 12-hour form ending in " a". Worked out afresh on
    // every call from the platform's current locale.
    static QString getSystemDateFormat();
    // Whether the current locale's long date of 24 February 1970 does not end in a day-first form
    // ("23, 1970", "24, 1970" or "25, 1970").
    static bool useLongDateFormat();
};
