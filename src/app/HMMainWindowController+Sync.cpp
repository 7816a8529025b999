// Starting a sync from the main window: the calendar access questions, the configuration checks and
// their alerts, the sync-method word, the hand-over to the background sync manager and the progress
// sheet.
#include "app/HMMainWindowController.h"

#include "app/HMAppDelegate.h"
#include "app/HMCalendarAccess.h"
#include "app/HMOutlookAccess.h"
#include "app/stores/HMSyncRegistration.h"
#include "datasources/calendar/HMTaskEventKitHelper.h"
#include "foundation/GlobalVariables.h"
#include "foundation/HMFileManager.h"
#include "foundation/Lumberjack/DDFileLogger.h"
#include "foundation/Lumberjack/DDLog.h"
#include "google/HMGoogleSync.h"
#include "outlook/HMOutlookDatFileHelper.h"
#include "platform/appkit/Alert.h"
#include "platform/appkit/Application.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/ConsoleLog.h"
#include "platform/foundation/UserDefaults.h"
#include "sync/HMBackgroundSyncManager.h"
#include "sync/HMDataConfigurationSource.h"
#include "sync/HMProfile.h"
#include "sync/HMProfileManager.h"

#include <QApplication>
#include <QPointer>
#include <QDir>

namespace {

const QString kSyncMethodSettingKey = QStringLiteral("SyncMethodSetting");
const QString kValidatingText = QStringLiteral("Validating configuration...");
const QString kNoContactManagerText = QStringLiteral("No contact manager selected.");

QString outlookApplicationName()
{
    const QString reference = GlobalVariables::getOutlookApplicationReference();
    return reference.isEmpty() ? QStringLiteral("Microsoft Outlook") : reference;
}

void showValidatingMessage()
{
    GlobalVariables::showSyncUserMessage(kValidatingText);
}

// What a check answers for a profile whose store is not Outlook: no store is refused, the desktop
// stores pass; nothing for Outlook, which the check goes on to examine.
std::optional<QString> answerForNonOutlookStore(HMContactManager manager)
{
    if (manager == HMContactManager::None)
        return kNoContactManagerText;
    if (manager == HMContactManager::Apple) {
        GlobalVariables::setIsOutlookSync(false);
        return QString();
    }
    return std::nullopt;
}

// One Outlook folder choice of a profile, with its script and the text shown when it matches nothing.
struct FolderCheck
{
    QString selection;
    const char *script;
    const char *problem;
};

} // namespace

QString HMMainWindowController::syncMethodWord(quint64 syncMethod)
{
    switch (syncMethod) {
    case 1: return QStringLiteral("wifi");
    case 2: return QStringLiteral("adb");
    case 3: return QStringLiteral("hmsh");
    case 4: return QStringLiteral("quillnest");
    case 6: return QStringLiteral("direct");
    default: return {};
    }
}

void HMMainWindowController::synchronizeProfile(const void *sender)
{
    static_cast<void>(sender);
    askCalendarPermissionsThen(&HMMainWindowController::beginSync);
}

void HMMainWindowController::askCalendarPermissionsThen(void (HMMainWindowController::*next)())
{
    bool eventsPermission = false;
    bool remindersPermission = false;
    if (m_currentProfile && m_currentProfile->contactManager() == HMContactManager::Apple && m_calendarAccess) {
        const HMAuthorizationStatus events = m_calendarAccess->authorizationStatusForEntityType(HMCalendarEntityType::Event);
        DDLogInfo(QStringLiteral("authorizationStatus %1").arg(qint64(events)));
        eventsPermission = events == HMAuthorizationStatus::NotDetermined;
        remindersPermission = m_calendarAccess->authorizationStatusForEntityType(HMCalendarEntityType::Reminder)
                              == HMAuthorizationStatus::NotDetermined;
    }
    const std::weak_ptr<HMMainWindowController *> lifetime = m_lifetime;
    requestCalendarPermission(eventsPermission, remindersPermission, [lifetime, next] {
        if (const auto window = lifetime.lock())
            ((*window)->*next)();
    });
}

void HMMainWindowController::requestCalendarPermission(bool eventsPermission, bool remindersPermission,
                                                       std::function<void()> completion)
{
    DDLogInfo(QStringLiteral("eventsPermission %1").arg(int(eventsPermission)));
    DDLogInfo(QStringLiteral("remindersPermission %1").arg(int(remindersPermission)));
    if (!(eventsPermission || remindersPermission) || !m_calendarAccess) {
        if (completion)
            completion();
        return;
    }
    const HMCalendarEntityType type = eventsPermission ? HMCalendarEntityType::Event : HMCalendarEntityType::Reminder;
    const bool remindersLeft = eventsPermission && remindersPermission;
    const std::weak_ptr<HMMainWindowController *> lifetime = m_lifetime;
    // The answer may come on any thread; the next question and the sync start on the main queue.
    m_calendarAccess->requestAccessToEntityType(type, [lifetime, remindersLeft, completion](bool) {
        platform::DispatchQueue::main()->async([lifetime, remindersLeft, completion] {
            if (const auto window = lifetime.lock())
                (*window)->requestCalendarPermission(false, remindersLeft, completion);
        });
    });
}

QString HMMainWindowController::missingChoiceText(const HMProfile &profile)
{
    if (profile.deviceType() == HMDeviceType::None)
        return QStringLiteral("No Device Type Selected.");
    if (profile.syncMethod() == HMSyncMethod::None)
        return QStringLiteral("No Sync Method Selected.");
    return {};
}

// A start that got as far as setting the flag and then stopped: nothing will end it later, so the
// flag goes back and the phone may start syncs again.
void HMMainWindowController::refuseStart(const QString &alertText)
{
    runAlert(alertText);
    reopenPhoneListener();
}

void HMMainWindowController::reopenPhoneListener()
{
    m_didStartSync = false;
    setupUDPSocket();
}

void HMMainWindowController::runAlert(const QString &messageText)
{
    platform::Alert alert;
    alert.setMessageText(messageText);
    alert.runModal();
}

// The profile's switches that the data sources read during the run.
void HMMainWindowController::publishProfileSwitches(const HMProfile &profile)
{
    GlobalVariables::setIsCalendarSyncEnabled(profile.calendarSyncEnabled());
    GlobalVariables::setIsTaskSyncEnabled(profile.taskSyncEnabled());
    const bool isApple = profile.contactManager() == HMContactManager::Apple;
    GlobalVariables::setIsContactManagerApple(isApple);
    if (isApple)
        GlobalVariables::setIsOutlookSync(false);
}

// Steps 2 to 4 of the start: publishes the profile's switches and runs the two checks; false when
// the start stops here.
bool HMMainWindowController::publishProfileAndCheck()
{
    if (m_currentProfile)
        publishProfileSwitches(*m_currentProfile);
    if (const QString problem = validateConfiguration(); !problem.isNull()) {
        runAlert(problem);
        return false;
    }
    if (const QString problem = validateOutlookFolders(); !problem.isNull())
        return confirmOutlookFolders(problem);
    return true;
}

bool HMMainWindowController::confirmOutlookFolders(const QString &problem)
{
    platform::Application *const application = platform::Application::shared();
    if (application != nullptr)
        application->activateIgnoringOtherApps();
    platform::Alert alert;
    alert.addButtonWithTitle(QStringLiteral("OK"));
    alert.addButtonWithTitle(QStringLiteral("Continue the sync anyway"));
    alert.setMessageText(problem);
    alert.setInformativeText(QString());
    alert.setAlertStyle(platform::AlertStyle::Warning);
    const int answer = alert.runModal();
    if (answer == platform::NSAlertSecondButtonReturn)
        m_cancelSyncAfterFoldersAlert = false;
    else if (answer == platform::NSAlertFirstButtonReturn)
        m_cancelSyncAfterFoldersAlert = true;
    return !m_cancelSyncAfterFoldersAlert;
}

void HMMainWindowController::beginSync()
{
    // The records the last runs could not write to Outlook are handed to this one to list again.
    if (HMOutlookDatFileHelper::hasErrorLog())
        HMOutlookDatFileHelper::loadErrorLogIntoMemory();
    if (!publishProfileAndCheck())
        return;
    cleanUpTempFolder();
    if (m_currentProfile && isOutlookProfile(*m_currentProfile))
        getOutlookEmailAddresses();
    m_didStartSync = true;
    const std::shared_ptr<HMProfile> profile = selectedProfile();
    if (!profile) {
        // Nothing was started, so nothing will clear the flag later.
        m_didStartSync = false;
        return;
    }
    GlobalVariables::setShouldSyncContactPhotos(profile->shouldSyncPhotos() != QLatin1String("no"));
    if (profile->contactManager() == HMContactManager::Apple)
        handOverCalendarIdentifiers(*profile);
    if (const QString missing = missingChoiceText(*profile); !missing.isNull()) {
        refuseStart(missing);
        return;
    }
    writeSyncMethodSetting(syncMethodWord(quint64(profile->syncMethod())));
    if (const platform::Status written = userDefaults().synchronize(); !written)
        DDLogError(QStringLiteral("Could not write the user defaults: %1").arg(written.error().message()));
    if (profile->syncMethod() == HMSyncMethod::GoogleDirect) {
        startGoogleSync(profile);
        return;
    }
    // The sheet is registered before the run starts: a run refused or ended at once reports to the
    // registered sheet from the manager's queue, and must find this one.
    if (window()->isVisible())
        showSyncStatusProgressController();
    startManagerSync(profile);
}

// Sync method 6: a new Google run of the profile, with the progress sheet over the window. A profile
// without tokens gets the sign-in sheet instead of a run that could only fail; without the sheet (no
// opener) the run ends at once with the text that says how to allow access.
void HMMainWindowController::startGoogleSync(const std::shared_ptr<HMProfile> &profile)
{
    GlobalVariables::setIsGoogleDirect(true);
    if ((profile->googleAccessToken().isEmpty() || profile->googleRefreshToken().isEmpty())
        && openAccountSheet(AccountSheet::GoogleDirect)) {
        syncCompleted();
        return;
    }
    const std::shared_ptr<HMGoogleSync> run = HMGoogleSync::create();
    run->setProfile(profile);
    run->setProfileManager(m_profileManager);
    // Google's contacts, events and tasks go to and come from Outlook's (the registered data sources).
    run->setDataSourceFactory([](int conduit) -> std::shared_ptr<HMData> {
        return conduit == 1   ? HMDataConfigurationSource::makeDataSourceOfClass(QStringLiteral("HMContactData"))
               : conduit == 2 ? HMDataConfigurationSource::makeDataSourceOfClass(QStringLiteral("HMCalendarData"))
               : conduit == 3 ? HMDataConfigurationSource::makeDataSourceOfClass(QStringLiteral("HMTaskData"))
                              : nullptr;
    });
    run->setErrorPresenter([](const QString &description) {
        platform::DispatchQueue::main()->async([description] {
            platform::Alert alert;
            alert.addButtonWithTitle(QStringLiteral("OK"));
            alert.setMessageText(description);
            alert.setAlertStyle(platform::AlertStyle::Warning);
            alert.runModal();
        });
    });
    // The run may outlive the window; the label is updated on the main queue while the window lives.
    const QPointer<HMMainWindowController> window(this);
    run->setFinishObserver([window] {
        platform::DispatchQueue::main()->async([window] {
            if (window)
                window->updateLastSyncDateLabel();
        });
    });
    if (!run->hasTokens())
        DDLogInfo(QStringLiteral("The profile %1 holds no Google tokens").arg(profile->name()));
    if (this->window()->isVisible())
        showSyncStatusProgressController();
    run->synchronize();
}

// The calendars and reminder lists the coming sync reads, set before the run starts. No window here
// chooses them, so an Apple profile that names none that exists gets the first writable ones (made
// when there are none), kept in the profile: the sync then has somewhere to read and write.
void HMMainWindowController::handOverCalendarIdentifiers(HMProfile &profile)
{
    if (profile.contactManager() == HMContactManager::Apple && HMSyncRegistration::chooseCalendars(profile)
        && m_profileManager && !m_profileManager->saveProfile(profile))
        DDLogError(QStringLiteral("Could not save the calendars chosen for %1").arg(profile.name()));
    HMTaskEventKitHelper::setTaskCalendarIdentifiersToSync(profile.taskCalendarIdentifiersToSync());
    HMTaskEventKitHelper::setEventCalendarIdentifiersToSync(profile.eventCalendarIdentifiersToSync());
}

void HMMainWindowController::startManagerSync(const std::shared_ptr<HMProfile> &profile)
{
    GlobalVariables::setIsGoogleDirect(false);
    const std::shared_ptr<HMBackgroundSyncManager> manager = m_appDelegate.backgroundSyncManager();
    if (!manager) {
        DDLogError(QStringLiteral("No background sync manager; the sync of %1 was not started").arg(profile->name()));
        syncCompleted();
        return;
    }
    if (manager->runManualBackgroundSyncWithConfiguration(std::make_shared<HMDataConfigurationSource>(m_profileManager, profile)))
        return;
    // Another sync runs. Its end reaches the registered sheet, which then tells this window; without
    // such a sheet nothing would, so the window is ready for the next start at once.
    const bool isSheetShown = m_syncProgressController && m_syncProgressController->isVisible()
                              && GlobalVariables::getCurrentSyncProgressController() == m_syncProgressController;
    if (!isSheetShown)
        syncCompleted();
}

void HMMainWindowController::writeSyncMethodSetting(const QString &word)
{
    if (!word.isNull())
        userDefaults().setObject(word, kSyncMethodSettingKey);
}

QString HMMainWindowController::validateConfiguration()
{
    showValidatingMessage();
    if (const std::shared_ptr<DDFileLogger> logger = m_appDelegate.fileLogger(); logger && m_currentProfile)
        logger->writeUpdatedSystemInfo(contactManagerTitle(m_currentProfile->contactManager()),
                                       m_appDelegate.getApplicationMemory(), m_appDelegate.getFreeMemory());
    const HMContactManager manager = m_currentProfile ? m_currentProfile->contactManager() : HMContactManager::None;
    if (const std::optional<QString> answer = answerForNonOutlookStore(manager))
        return *answer;
    GlobalVariables::setIsOutlookSync(true);
    QString version = m_outlookAccess ? m_outlookAccess->detectOutlookVersionNumber() : QString();
    if (version.contains(QLatin1String("15.16"))) {
        DDLogInfo(QStringLiteral("Received unintelligible response from Outlook. Fixing."));
        version = QStringLiteral("15.16");
    }
    if (!version.isNull())
        GlobalVariables::setOutlookVersionNumber(version);
    const bool is2016 = manager == HMContactManager::Outlook15;
    GlobalVariables::setOutlookVersionNumberInConfiguration(is2016 ? QStringLiteral("15") : QStringLiteral("14"));
    if (version.startsWith(QLatin1String("14"))) {
        return is2016 ? QStringLiteral("Incorrect Outlook version. Your Mac appears to be running Outlook %1, but "
                                       "Harrowmere is configured for Outlook 15").arg(version)
                      : QString();
    }
    if (version.startsWith(QLatin1String("15")) || version.startsWith(QLatin1String("16"))) {
        return is2016 ? QString()
                      : QStringLiteral("Incorrect Outlook version. Your Mac appears to be running Outlook %1, but "
                                       "Harrowmere is configured for Outlook 2011").arg(version);
    }
    DDLogInfo(QStringLiteral("outlookVersion %1").arg(version));
    return QStringLiteral("Unable to find an Outlook installation. Please reinstall the application on this workstation.");
}

QString HMMainWindowController::validateOutlookFolders()
{
    DDLogInfo(QStringLiteral("validateOutlookFolders"));
    showValidatingMessage();
    const HMContactManager manager = m_currentProfile ? m_currentProfile->contactManager() : HMContactManager::None;
    if (const std::optional<QString> answer = answerForNonOutlookStore(manager))
        return *answer;
    const std::shared_ptr<HMProfile> profile = selectedProfile();
    if (!profile)
        return {};
    const FolderCheck checks[] = {
        {profile->outlookContactFolderSelection(), "address book",
         "Invalid contacts folder selected. Please go to Harrowmere Advanced Settngs -> Outlook Folders tab, then "
         "select a valid contacts folder."},
        {profile->outlookCalendarFolderSelection(), "calendar",
         "Invalid calendar folder selected. Please go to Harrowmere Advanced Settngs -> Outlook Folders tab, then "
         "select a valid calendar folder."},
        {profile->outlookTaskFolderSelection(), "task folder",
         "Invalid tasks folder selected. Please go to Harrowmere Advanced Settngs -> Outlook Folders tab, then "
         "select a valid tasks folder."},
    };
    for (const FolderCheck &check : checks) {
        if (check.selection.isEmpty() || check.selection == QLatin1String("allFolders"))
            continue;
        const std::optional<QStringList> folders = outlookFolderIds(QString::fromLatin1(check.script));
        if (!folders || !folders->contains(check.selection))
            return QString::fromLatin1(check.problem);
    }
    return {};
}

std::optional<QStringList> HMMainWindowController::outlookFolderIds(const QString &kind)
{
    if (!m_outlookAccess)
        return std::nullopt;
    return m_outlookAccess->runScript(
        QStringLiteral("tell application \"%1\"\nset theFolders to the id of every %2\nreturn theFolders\nend tell")
            .arg(outlookApplicationName(), kind));
}

void HMMainWindowController::setCurrentSyncMethod()
{
    const std::shared_ptr<HMProfile> profile = selectedProfile();
    if (!profile)
        return;
    const quint64 method = quint64(profile->syncMethod());
    if (method == 0) {
        runAlert(QStringLiteral("No Sync Method Selected."));
        return;
    }
    if (method <= 4)
        writeSyncMethodSetting(syncMethodWord(method));
}

void HMMainWindowController::cleanUpTempFolder()
{
    const QString dataFolder = HMFileManager::dataStorageURL().toLocalFile();
    if (dataFolder.isEmpty())
        return;
    QDir temp(QDir(dataFolder).filePath(QStringLiteral("temp")));
    if (temp.exists() && !temp.removeRecursively())
        DDLogError(QStringLiteral("Could not remove %1").arg(temp.path()));
}

void HMMainWindowController::getOutlookEmailAddresses()
{
    QStringList addresses;
    for (const char *kind : {"exchange account", "imap account"}) {
        const std::optional<QStringList> found = m_outlookAccess ? m_outlookAccess->runScript(
            QStringLiteral("tell application \"%1\"\nreturn the email address of every %2\nend tell")
                .arg(outlookApplicationName(), QString::fromLatin1(kind))) : std::nullopt;
        if (!found)
            continue;
        for (const QString &address : *found) {
            if (!address.isEmpty())
                addresses.append(address);
        }
    }
    GlobalVariables::setAllOutlookEmailAccounts(addresses);
}

std::shared_ptr<HMSyncProgressController> HMMainWindowController::makeProgressSheet()
{
    auto sheet = std::make_shared<HMSyncProgressController>();
    sheet->setDelegate(this);
    sheet->setParentWindow(window());
    if (m_progressSheetPreparer)
        m_progressSheetPreparer(*sheet);
    return sheet;
}

void HMMainWindowController::showSyncStatusProgressController()
{
    if (m_syncProgressController && m_syncProgressController->isVisible())
        return;
    if (m_syncProgressController)
        m_syncProgressController->okButtonSelected();
    if (!m_syncProgressController || !m_dontMakeNewProgressController)
        m_syncProgressController = makeProgressSheet();
    m_syncProgressController->setDelegate(this);
    m_syncProgressController->setParentWindow(window());
    m_syncProgressController->showProgressControllerAsSheet();
    m_modalController = m_syncProgressController.get();
    m_syncStatusControllerIsShowing = true;
    GlobalVariables::setCurrentSyncProgressController(m_syncProgressController);
    const QString pending = GlobalVariables::getSyncInterruptMessage();
    if (!pending.isEmpty()) {
        m_syncProgressController->displayDeletionWarningWithMessage(pending);
        GlobalVariables::setSyncInterruptMessage(QString());
        m_dontMakeNewProgressController = false;
    }
}

void HMMainWindowController::createSyncStatusControllerWithDeletionsWarningDelegate(
    HMDeletionsWarningDelegate *delegate)
{
    QApplication::alert(window());
    m_dontMakeNewProgressController = true;
    if (m_syncProgressController)
        m_syncProgressController->okButtonSelected();
    m_syncProgressController = makeProgressSheet();
    m_syncProgressController->setDeletionsWarningDelegate(delegate);
    GlobalVariables::setCurrentSyncProgressController(m_syncProgressController);
}

bool HMMainWindowController::isProgressControllerVisible()
{
    return m_syncProgressController && m_syncProgressController->isVisible();
}

void HMMainWindowController::syncCompleted()
{
    reopenPhoneListener();
    updateProfileDisplay();
}
