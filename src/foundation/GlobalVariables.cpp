#include "foundation/GlobalVariables.h"

#include "foundation/HMSyncProgressReporting.h"

#include "platform/foundation/Clock.h"
#include "platform/foundation/ConsoleLog.h"
#include "platform/foundation/DateFormatter.h"


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
    std::shared_ptr<HMProfilesController> currentProfileController;
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
HM_GLOBAL_SLOT(CurrentProfileController, std::shared_ptr<HMProfilesController>, currentProfileController)

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

namespace {

// 24 February 1970, 11:58:20 UTC: a day number above 12 and a year that no locale confuses with a
// month, so its short form shows where a locale puts the day, the month and the year.
QDateTime formatTestDate()
{
    return QDateTime::fromSecsSinceEpoch(4708700, Qt::UTC);
}

// The pattern's date part for a short date text of the test date.
QString datePatternForShortDate(const QString &shortText)
{
    if (shortText.startsWith(QStringLiteral("24")) || shortText.startsWith(QStringLiteral("23"))
        || shortText.startsWith(QStringLiteral("25")))
        return QStringLiteral("dd/MM/yyyy");
    if (shortText.startsWith(QStringLiteral("70")))
        return QStringLiteral("yyyy/MM/dd");
    if (shortText.startsWith(QStringLiteral("1970.")))
        return QStringLiteral("yyyy. M. d.");
    if (shortText.startsWith(QStringLiteral("1970-02")))
        return QStringLiteral("yyyy-MM-dd");
    return QStringLiteral("MM/dd/yyyy");
}

} // namespace

QString GlobalVariables::getSystemDateFormat()
{
    const platform::Locale locale = platform::Locale::current();

    const platform::DateFormatter timeFormatter(platform::DateStyle::None, platform::DateStyle::Short, locale);
    const QString timeString = timeFormatter.format(platform::Clock::now());
    const QString amSymbol = timeFormatter.amSymbol();
    const QString pmSymbol = timeFormatter.pmSymbol();
    const bool showsDayHalf = (!amSymbol.isEmpty() && timeString.contains(amSymbol))
        || (!pmSymbol.isEmpty() && timeString.contains(pmSymbol));
    const bool is24Hour = !showsDayHalf;
    platform::consoleLog(QStringLiteral("timeString %1").arg(timeString));
    platform::consoleLog(QStringLiteral("[formatter AMSymbol] %1").arg(amSymbol));
    platform::consoleLog(QStringLiteral("is24h %1").arg(is24Hour ? 1 : 0));

    const QString timePattern = is24Hour ? QStringLiteral(" HH:mm") : QStringLiteral(" hh:mm a");
    const platform::DateFormatter shortFormatter(platform::DateStyle::Short, platform::DateStyle::None, locale);
    const QString shortText = shortFormatter.format(formatTestDate());
    platform::consoleLog(QStringLiteral("dateString %1").arg(shortText));

    if (shortText == QStringLiteral("1970-02-24")) {
        const platform::DateFormatter longFormatter(platform::DateStyle::Long, platform::DateStyle::None, locale);
        const QString longText = longFormatter.format(formatTestDate());
        platform::consoleLog(QStringLiteral("longDateString %1").arg(longText));
        if (longText == QStringLiteral("1970February24,"))
            return QStringLiteral("yyyy MM, dd") + timePattern;
    }

    const platform::DateFormatter posixFormatter(QStringLiteral("MM/dd/yyyy HH:mm"),
                                                 platform::Locale(QStringLiteral("en_US_POSIX")),
                                                 platform::TimeZone::defaultTimeZone());
    platform::consoleLog(QStringLiteral("dateString2 %1").arg(posixFormatter.format(platform::Clock::now())));
    return datePatternForShortDate(shortText) + timePattern;
}

bool GlobalVariables::useLongDateFormat()
{
    const platform::DateFormatter longFormatter(platform::DateStyle::Long, platform::DateStyle::None,
                                                platform::Locale::current());
    const QString longText = longFormatter.format(formatTestDate());
    platform::consoleLog(QStringLiteral("longDateString %1").arg(longText));
    if (longText.isNull())
        return false;
    return !(longText.endsWith(QStringLiteral("23, 1970")) || longText.endsWith(QStringLiteral("24, 1970"))
             || longText.endsWith(QStringLiteral("25, 1970")));
}

void GlobalVariables::showSyncUserMessage(const QString &text)
{
    if (const std::shared_ptr<HMSyncProgressReporting> sheet = getCurrentSyncProgressController())
        sheet->setUserMessageDirectly(text);
}
