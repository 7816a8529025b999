#include "foundation/GlobalVariables.h"

#include <atomic>
#include <mutex>
#include <utility>

namespace {

// Every value that is not a single word: replaced and read whole under s_objectsMutex.
struct ObjectSlots
{
    QDateTime lastSyncEndDate;
    QDateTime lastWakeTime;
    QString quillnestDeviceId;
    QString hmWiFiBuildNumber;
    QString defaultReminderCalendarId;
    QString outlookVersionNumber;
    QString outlookVersionNumberInConfiguration;
    QString quillnestUserName;
    QString outlookApplicationReference;
    QString enabledConduitsForQuillnestConnector;
    QString errorRecoverySyncConduits;
    QString syncInterruptMessage;
    QString defaultGoogleCalendatIdentifier;
    QStringList errorLogContactIds;
    QStringList errorLogCalendarIds;
    QStringList errorLogTaskIds;
    QStringList errorLogMemoIds;
    QStringList allOutlookEmailAccounts;
    QStringList outlookContactIdsWithPhotosToSendToGoogle;
    QVariantMap quillnestLastModifiedDictionary;
    QVariantMap contactIdsWithPhotos;
    QVariantMap idMappingForInsertRecords;
    QVariantMap outlookRecurringEventsAndExceptions;
    std::shared_ptr<HMSyncProgressReporting> currentSyncProgressController;
    std::shared_ptr<HMGoogleSync> googleDirectSyncController;
    std::shared_ptr<HMMainWindowController> mainWindowController;
    std::shared_ptr<platform::ArrayController> currentProfileController;
};

std::mutex s_objectsMutex;
ObjectSlots s_objects;

template <typename T>
T readSlot(T ObjectSlots::*slot)
{
    const std::lock_guard lock(s_objectsMutex);
    return s_objects.*slot;
}

template <typename T>
void storeSlot(T ObjectSlots::*slot, T value)
{
    T previous;
    {
        const std::lock_guard lock(s_objectsMutex);
        previous = std::exchange(s_objects.*slot, std::move(value));
    }
    // The previous value is released here, outside the lock: dropping the last reference to an
    // object may run its destructor, which must be free to use this registry.
}

} // namespace

#define HM_GLOBAL_FLAG(Name)                                                                                    \
    namespace {                                                                                                 \
    std::atomic<bool> s_flag##Name{false};                                                                      \
    }                                                                                                           \
    void GlobalVariables::set##Name(bool value) { s_flag##Name.store(value); }                                 \
    bool GlobalVariables::get##Name() { return s_flag##Name.load(); }

#define HM_GLOBAL_INTEGER(Name)                                                                                 \
    namespace {                                                                                                 \
    std::atomic<qint64> s_integer##Name{0};                                                                     \
    }                                                                                                           \
    void GlobalVariables::set##Name(qint64 value) { s_integer##Name.store(value); }                            \
    qint64 GlobalVariables::get##Name() { return s_integer##Name.load(); }

#define HM_GLOBAL_SLOT(Name, Type, field)                                                                       \
    void GlobalVariables::set##Name(const Type &value) { storeSlot(&ObjectSlots::field, value); }              \
    Type GlobalVariables::get##Name() { return readSlot(&ObjectSlots::field); }

HM_GLOBAL_FLAG(IsCalendarSyncEnabled)
HM_GLOBAL_FLAG(IsTaskSyncEnabled)
HM_GLOBAL_FLAG(ShouldHideSyncStatus)
HM_GLOBAL_FLAG(QuillnestErrorStatus)
HM_GLOBAL_FLAG(ShouldPushSync)
HM_GLOBAL_FLAG(unwritableCalendar)
HM_GLOBAL_FLAG(unwritableEKCalendar)
HM_GLOBAL_FLAG(CanSyncTasks)
HM_GLOBAL_FLAG(IsTaskTabView)
HM_GLOBAL_FLAG(HasValidDefaultReminderCalendar)
HM_GLOBAL_FLAG(IsOutlookSync)
HM_GLOBAL_FLAG(IsWiFiSync)
HM_GLOBAL_FLAG(IsSynchronizing)
HM_GLOBAL_FLAG(AdvancedSettingsIsOpen)
HM_GLOBAL_FLAG(ShouldSyncContactPhotos)
HM_GLOBAL_FLAG(HasOutlookContactsWriteError)
HM_GLOBAL_FLAG(HasOutlookCalendarWriteError)
HM_GLOBAL_FLAG(HasOutlookTasksWriteError)
HM_GLOBAL_FLAG(HasOutlookMemosWriteError)
HM_GLOBAL_FLAG(IsGoogleDirect)
HM_GLOBAL_FLAG(IsProcessingDeletes)
HM_GLOBAL_FLAG(DeletionsWarningIsShowing)
HM_GLOBAL_FLAG(IsContactManagerApple)

HM_GLOBAL_INTEGER(CurrentWifiBatchStartingPosition)
HM_GLOBAL_INTEGER(ContactManagerSetting)
HM_GLOBAL_INTEGER(SyncControllerSecondsDifference)
HM_GLOBAL_INTEGER(ContactAddUpdatesThisSync)
HM_GLOBAL_INTEGER(ContactAddUpdateFailuresThisSync)

HM_GLOBAL_SLOT(LastSyncEndDate, QDateTime, lastSyncEndDate)
HM_GLOBAL_SLOT(LastWakeTime, QDateTime, lastWakeTime)
HM_GLOBAL_SLOT(QuillnestDeviceId, QString, quillnestDeviceId)
HM_GLOBAL_SLOT(HMWiFiBuildNumber, QString, hmWiFiBuildNumber)
HM_GLOBAL_SLOT(DefaultReminderCalendarId, QString, defaultReminderCalendarId)
HM_GLOBAL_SLOT(OutlookVersionNumber, QString, outlookVersionNumber)
HM_GLOBAL_SLOT(OutlookVersionNumberInConfiguration, QString, outlookVersionNumberInConfiguration)
HM_GLOBAL_SLOT(QuillnestUserName, QString, quillnestUserName)
HM_GLOBAL_SLOT(OutlookApplicationReference, QString, outlookApplicationReference)
HM_GLOBAL_SLOT(EnabledConduitsForQuillnestConnector, QString, enabledConduitsForQuillnestConnector)
HM_GLOBAL_SLOT(ErrorRecoverySyncConduits, QString, errorRecoverySyncConduits)
HM_GLOBAL_SLOT(SyncInterruptMessage, QString, syncInterruptMessage)
HM_GLOBAL_SLOT(DefaultGoogleCalendatIdentifier, QString, defaultGoogleCalendatIdentifier)
HM_GLOBAL_SLOT(ErrorLogContactIds, QStringList, errorLogContactIds)
HM_GLOBAL_SLOT(ErrorLogCalendarIds, QStringList, errorLogCalendarIds)
HM_GLOBAL_SLOT(ErrorLogTaskIds, QStringList, errorLogTaskIds)
HM_GLOBAL_SLOT(ErrorLogMemoIds, QStringList, errorLogMemoIds)
HM_GLOBAL_SLOT(AllOutlookEmailAccounts, QStringList, allOutlookEmailAccounts)
HM_GLOBAL_SLOT(OutlookContactIdsWithPhotosToSendToGoogle, QStringList, outlookContactIdsWithPhotosToSendToGoogle)
HM_GLOBAL_SLOT(QuillnestLastModifiedDictionary, QVariantMap, quillnestLastModifiedDictionary)
HM_GLOBAL_SLOT(ContactIdsWithPhotos, QVariantMap, contactIdsWithPhotos)
HM_GLOBAL_SLOT(IdMappingForInsertRecords, QVariantMap, idMappingForInsertRecords)
HM_GLOBAL_SLOT(OutlookRecurringEventsAndExceptions, QVariantMap, outlookRecurringEventsAndExceptions)
HM_GLOBAL_SLOT(CurrentSyncProgressController, std::shared_ptr<HMSyncProgressReporting>, currentSyncProgressController)
HM_GLOBAL_SLOT(MainWindowController, std::shared_ptr<HMMainWindowController>, mainWindowController)
HM_GLOBAL_SLOT(CurrentProfileController, std::shared_ptr<platform::ArrayController>, currentProfileController)

void GlobalVariables::setGoogleDirectSyncControllerController(const std::shared_ptr<HMGoogleSync> &value)
{
    storeSlot(&ObjectSlots::googleDirectSyncController, value);
}

std::shared_ptr<HMGoogleSync> GlobalVariables::getGoogleDirectSyncController()
{
    return readSlot(&ObjectSlots::googleDirectSyncController);
}

void GlobalVariables::incrementContactAddUpdatesThisSync()
{
    s_integerContactAddUpdatesThisSync.fetch_add(1);
}

void GlobalVariables::incrementContactAddUpdateFailuresThisSync()
{
    s_integerContactAddUpdateFailuresThisSync.fetch_add(1);
}

void GlobalVariables::resetContactAddUpdateCountsThisSync()
{
    s_integerContactAddUpdatesThisSync.store(0);
    s_integerContactAddUpdateFailuresThisSync.store(0);
}

void GlobalVariables::addContactIdToOutlookContactIdsWithPhotosToSendToGoogle(const QString &contactId)
{
    const std::lock_guard lock(s_objectsMutex);
    s_objects.outlookContactIdsWithPhotosToSendToGoogle.append(contactId);
}

void GlobalVariables::addOutlookIdToContactIdsWithPhotos(const QString &outlookId, const QString &deviceId)
{
    if (outlookId.isNull() || deviceId.isNull())
        return;
    const std::lock_guard lock(s_objectsMutex);
    s_objects.contactIdsWithPhotos.insert(deviceId, outlookId);
}
