#pragma once

#include "app/HMWorkspaceFileRevealer.h"
#include "platform/appkit/Application.h"
#include "platform/appkit/ApplicationDelegate.h"
#include "platform/foundation/NotificationCenter.h"
#include "sync/HMBackgroundSyncManager.h"

#include <QList>
#include <QString>
#include <QVariantMap>

#include <functional>
#include <memory>

class QAction;
class QMenu;
class QMenuBar;
class QObject;
namespace platform {
class Alert;
class RunLoopTimer;
class StatusItem;
class UserDefaults;
}
class DDFileLogger;
class HMAutosyncMainWindow;
class HMConfiguration;
class HMDatabaseMaintenance;
class HMMainWindowController;
class HMProfile;
class HMProfileManager;

// The application delegate. It builds the running system when launching finishes, in a fixed order
// recorded in the start-up trace "startuplog.plist" (HMAppDelegate+Launch.cpp); it schedules automatic
// syncs, sorting the profiles that sync in the background between the background sync manager
// (profiles whose desktop side is not Outlook) and the Outlook autosync timer (Outlook profiles)
// (HMAppDelegate.cpp); it keeps the two status items and their menus and answers the main menu
// (HMAppDelegate+StatusItems.cpp); and it answers the support key commands, the logging switches and
// the settings reset (HMAppDelegate+Diagnostics.cpp). It owns the configuration, the profile manager
// with the loaded profiles, the background sync manager, the file logger, the main window and the
// status items for the life of the process.
//
// One instance, made by main and kept for the life of the process. Main thread only; the
// notification handlers move their work there.
class HMAppDelegate final : public platform::ApplicationDelegate, public HMBackgroundSyncManagerDelegate
{
public:
    // One running application, as the autosync check looks at it.
    struct RunningApplication
    {
        QString bundleIdentifier;
        bool isFinishedLaunching = false;
    };
    // Answers the main window, making it when there is none yet; nullptr when there is no window.
    using MainWindowSource = std::function<std::shared_ptr<HMAutosyncMainWindow>()>;
    // Outlook's change test: whether the given conduits ("A", "D", "T", possibly repeated) changed
    // in Outlook or in the cloud since their last sync, so that a sync should start now.
    using OutlookChangeTest = std::function<bool(const QString &conduits)>;
    // The applications that run now, in the system's order.
    using RunningApplicationsSource = std::function<QList<RunningApplication>()>;

    using BackgroundSyncManagerFactory = std::function<std::shared_ptr<HMBackgroundSyncManager>()>;

    // The tag of the pause/resume item of the square item's menu, and of the main menu's item that
    // stands for the main window.
    static constexpr int kPauseResumeItemTag = 101;
    static constexpr int kMainWindowMenuItemTag = 14462;

    HMAppDelegate();
    ~HMAppDelegate() override;
    HMAppDelegate(const HMAppDelegate &) = delete;
    HMAppDelegate &operator=(const HMAppDelegate &) = delete;

    // Every stored profile in list order; every loop of the scheduling runs over them in that order.
    QList<std::shared_ptr<HMProfile>> profiles() const { return m_profiles; }
    void setProfiles(const QList<std::shared_ptr<HMProfile>> &profiles) { m_profiles = profiles; }
    std::shared_ptr<HMProfileManager> profileManager() const { return m_profileManager; }
    void setProfileManager(std::shared_ptr<HMProfileManager> manager) { m_profileManager = std::move(manager); }
    std::shared_ptr<HMBackgroundSyncManager> backgroundSyncManager() const { return m_backgroundSyncManager; }
    void setBackgroundSyncManager(std::shared_ptr<HMBackgroundSyncManager> manager)
    {
        m_backgroundSyncManager = std::move(manager);
    }
    std::shared_ptr<HMConfiguration> configuration() const { return m_configuration; }
    void setConfiguration(std::shared_ptr<HMConfiguration> configuration) { m_configuration = std::move(configuration); }
    // The window the autosync check asks; without a source it is the main window controller.
    void setMainWindowSource(MainWindowSource source) { m_mainWindowSource = std::move(source); }
    void setOutlookChangeTest(OutlookChangeTest test) { m_outlookChangeTest = std::move(test); }
    void setRunningApplicationsSource(RunningApplicationsSource source) { m_runningApplications = std::move(source); }

    // The running Outlook autosync timer, or nullptr while it is stopped.
    std::shared_ptr<platform::RunLoopTimer> outlookAutosyncTimer() const { return m_outlookAutosyncTimer; }
    // Whether some profile syncs directly with Google; set by configureBackgroundSyncing.
    bool isGoogleDirectSync() const { return m_isGoogleDirectSync; }

    // Hands every profile with background sync to its scheduler and takes every other one off the
    // background sync manager; sets the configuration's runInBackground.
    void configureBackgroundSyncing();
    void configureOutlookAutosync(bool on);
    void startOutlookAutosyncTimer();
    // Starts the timer afresh when some profile syncs in the background, else stops it.
    void resetOutlookAutosyncTimer();
    void stopOutlookAutosyncTimer();
    // Seconds between firings of the Outlook autosync timer for the current profiles.
    double outlookAutosyncTimerInterval() const;

    // Whether now lies outside the sync window of some profile that has one.
    bool isBlackoutPeriod() const;
    // The timer's check: decides whether to synchronise now, poll the cloud, or wait.
    void checkForOutlookAutosync();
    // After any sync: stamps every profile's last autosync date, clears its purge flags and restarts
    // the timer.
    void syncCompleted();
    // Keeps the cloud's change dates (the notification's user info) for the next change test.
    void shouldAutosyncQuillnest(const platform::Notification &notification);
    bool isOutlookRunning() const;
    void checkForAutosyncGoogleDirect() const;

    // Observes "kSynchronizationDidFinish" (syncCompleted) and "kHMQuillnestLastModified"
    // (shouldAutosyncQuillnest) on the application's centre until the delegate goes. Both may be
    // posted on any thread; the work is done on the main queue.
    void observeSchedulingNotifications();

    // ---- Start-up (HMAppDelegate+Launch.cpp) ----
    void applicationWillFinishLaunching() override;
    void applicationDidFinishLaunching() override;
    void applicationDidBecomeActive() override;
    void applicationWillResignActive() override;
    bool applicationShouldHandleReopen(bool hasVisibleWindows) override;
    void applicationDidHide() override;
    void applicationDidUnhide() override;
    void applicationDidChangeOcclusionState() override;

    // Appends one entry to the start-up trace and writes the whole trace of this process.
    void writeStringToFile(const QString &text);
    void checkForUpgradeFromAppStoreVersion();
    void configureLogging();
    void configureApplication();
    void configureUserProfiles();
    // Where the Outlook autosync check asks (HMAppDelegate+Outlook.cpp): Outlook's change test on a
    // new database reader each time, and the main window that synchronises; a test's own choices
    // set before launch stay.
    void configureOutlookAutosyncCheck();
    void showMainWindow();

    void receiveDidSleepNotification();
    void receiveWillSleepNotification();
    // Either sleep notification, named in the logs: the Outlook autosync timer stops.
    void stopAutosyncForSleep(const QString &notification);
    void receiveScreenWakeNotification();
    void checkAutosyncTimersAfterWake();
    void themeChanged();

    bool isLoginLaunch() const { return m_isLoginLaunch; }
    std::shared_ptr<DDFileLogger> fileLogger() const { return m_fileLogger; }
    std::shared_ptr<HMMainWindowController> mainWindowController() const { return m_mainWindowController; }
    qint64 startupLogCounter() const { return m_startupLogCounter; }
    QVariantMap startupLogDictionary() const { return m_startupLogDictionary; }
    // The user defaults the delegate reads and writes; the standard ones unless a test sets others,
    // which must outlive the delegate.
    platform::UserDefaults &userDefaults() const;
    void setUserDefaults(platform::UserDefaults &userDefaults) { m_userDefaults = &userDefaults; }
    // Makes the background sync manager at start-up; a plain manager unless a test sets another.
    void setBackgroundSyncManagerFactory(BackgroundSyncManagerFactory factory)
    {
        m_backgroundSyncManagerFactory = std::move(factory);
    }
    // Prepares each new main window before it first shows (tests set its clock and listener port).
    void setMainWindowPreparer(std::function<void(HMMainWindowController &)> preparer)
    {
        m_mainWindowPreparer = std::move(preparer);
    }
    // The delegate of the running application, or null.
    static HMAppDelegate *sharedDelegate();

    // ---- Status items and menus (HMAppDelegate+StatusItems.cpp) ----
    void setMainStatus();
    bool isDarkMode() const;
    void updateStatusMenu(bool isMainWindowShown);
    // Whether the main window is on screen: made, shown and not hidden with the application.
    bool isMainWindowOnScreen() const;
    // The main window was shown or hidden: the status menu and the window menu follow it.
    void mainWindowVisibilityChanged();
    void showInterface();
    void hideInterface();
    void synchronizeMenuOptionSelected();
    void showStatusBarMenu();
    void updateStatusBarMenu();
    void pauseAutoSynchronizationSelected();
    void startAutoSynchronizationSelected();
    void startAnimatingStatusIcon();
    void updateAnimationForStatusIcon();
    void stopAnimatingStatusIcon();
    void showMainWindowSelected();
    void showHelp();
    // The preferences and developer options windows of the application menu; each opening makes a
    // new window, kept until the next opening replaces it.
    void showPreferences();
    void developerPreferencesSelected();
    QObject *preferencesWindowController() const { return m_preferencesWindowController.get(); }
    QObject *developerPrefsWindowController() const { return m_developerPrefsWindowController.get(); }
    void forceSynchronizationSelected();
    // The main menu: the application, edit, synchronisation, window and help menus.
    std::unique_ptr<QMenuBar> makeMainMenu();

    platform::StatusItem *theItem() const { return m_theItem.get(); }
    platform::StatusItem *statusItem() const { return m_statusItem.get(); }
    QMenu *statusMenu() const { return m_statusMenu.get(); }
    qint64 syncStatusAnimationFrame() const { return m_syncStatusAnimationFrame; }
    std::shared_ptr<platform::RunLoopTimer> syncStatusAnimationTimer() const { return m_syncStatusAnimationTimer; }

    void syncConfigurationStartedBackgroundSyncWithController(const std::shared_ptr<HMSyncController> &controller) override;
    void syncConfigurationFinishedBackgroundSyncWithController(
        const std::shared_ptr<HMSyncController> &controller) override;

    // ---- Diagnostics (HMAppDelegate+Diagnostics.cpp) ----
    // The key-down monitor's handler: answers true when it consumed the event.
    bool handleKeyDown(const platform::KeyEvent &event);
    bool hasEventMonitor() const { return m_eventMonitor != 0; }
    void turnOnVerboseLog();
    void turnOffVerboseLog();
    QString getFreeMemory() const;
    QString getApplicationMemory() const;
    QString totalAvailableMemory() const;
    void logMemory() const;
    void vacuumSqliteDatabase();
    void changeQuillnestHttp();
    void resetSettingsToDefault();
    void alertDidEnd(int returnCode);
    // The Outlook database maintenance the vacuum command runs.
    void setDatabaseMaintenance(std::shared_ptr<HMDatabaseMaintenance> maintenance)
    {
        m_databaseMaintenance = std::move(maintenance);
    }
    // Packs the crash reports and log files into "SupportLogs.zip" in the log folder off the main
    // thread and reveals it when done.
    void makeLogArchive();
    // Shows the support archive to the user; the desktop's file manager unless a test sets another.
    void setFileRevealer(std::shared_ptr<HMFileRevealer> revealer) { m_fileRevealer = std::move(revealer); }

private:
    // The user default holding when the raised log level ends.
    static constexpr char kLoggingExpirationKey[] = "LoggingExpiration";

    void launchStepsUpToProfiles();
    void launchStepsFromBackgroundSyncing();
    void registerLaunchObservers();
    void hideMainMenuWindowItem();
    void updateMainMenuWindowItems(bool isMainWindowVisible);
    void toggleLogging();
    void enableSpecialLogging();
    void revealLogsFolder();
    void revealDataFolder();
    QString dataFolderPath() const;
    void stopAutomaticSyncsOfAllProfiles();
    void deleteRemovedProfileFiles();
    void showAlert(const QString &messageText);
    void addMenuItem(QMenu &menu, const QString &title, std::function<void(HMAppDelegate &)> action);

    void scheduleOutlookAutosyncTimer(double intervalSeconds);
    // The steps of checkForOutlookAutosync.
    bool isAutosyncHeldBack(const QDateTime &now) const;
    bool isTooSoonForAutosync(const QDateTime &now, double interval) const;
    QString enabledConduits(bool &usesCloud) const;
    void pollOrSyncWhenDue(const QDateTime &now, double interval, bool usesCloud);
    static bool isCloudPollDue(const HMProfile &profile, const QDateTime &now, double cloudInterval);
    bool anyProfileSyncsInBackground() const;
    // Synchronises the main window's current profile with the timer stopped, and starts the timer
    // again when that did not start a sync, so automatic syncs go on.
    void synchronizeFromTimer();
    std::shared_ptr<HMAutosyncMainWindow> mainWindow() const;
    // Posts the work to the main queue, where it runs only while the delegate behind the lifetime
    // token lives.
    static void runOnMainQueue(const std::weak_ptr<HMAppDelegate *> &lifetime,
                               std::function<void(HMAppDelegate &)> work);

    QList<std::shared_ptr<HMProfile>> m_profiles;
    std::shared_ptr<HMProfileManager> m_profileManager;
    std::shared_ptr<HMBackgroundSyncManager> m_backgroundSyncManager;
    std::shared_ptr<HMConfiguration> m_configuration;
    std::shared_ptr<platform::RunLoopTimer> m_outlookAutosyncTimer;
    bool m_isGoogleDirectSync = false;
    MainWindowSource m_mainWindowSource;
    OutlookChangeTest m_outlookChangeTest;
    RunningApplicationsSource m_runningApplications;
    platform::ObserverToken m_syncFinishedObserver;
    platform::ObserverToken m_quillnestModifiedObserver;
    platform::ObserverToken m_didSleepObserver;
    platform::ObserverToken m_willSleepObserver;
    platform::ObserverToken m_screenWakeObserver;

    platform::Application::MonitorId m_eventMonitor = 0;
    qint64 m_syncStatusAnimationFrame = 0;
    std::shared_ptr<platform::RunLoopTimer> m_syncStatusAnimationTimer;
    bool m_isLoginLaunch = false;
    std::shared_ptr<HMMainWindowController> m_mainWindowController;
    std::unique_ptr<QMenu> m_statusMenu;
    std::unique_ptr<platform::StatusItem> m_statusItem;
    std::unique_ptr<QMenu> m_mainStatusMenu;
    std::unique_ptr<platform::StatusItem> m_theItem;
    std::shared_ptr<DDFileLogger> m_fileLogger;
    qint64 m_startupLogCounter = 0;
    QVariantMap m_startupLogDictionary;
    platform::UserDefaults *m_userDefaults = nullptr;
    // The context of the delegate's Qt connections, which end when it goes.
    std::unique_ptr<QObject> m_connectionContext;
    std::unique_ptr<QObject> m_preferencesWindowController;
    std::unique_ptr<QObject> m_developerPrefsWindowController;
    BackgroundSyncManagerFactory m_backgroundSyncManagerFactory;
    std::function<void(HMMainWindowController &)> m_mainWindowPreparer;
    std::shared_ptr<HMDatabaseMaintenance> m_databaseMaintenance;
    // Kept for the life of the process: the archive, written off the main thread, holds it weakly.
    std::shared_ptr<HMFileRevealer> m_fileRevealer = std::make_shared<HMWorkspaceFileRevealer>();
    // The reset question while it is on screen.
    std::shared_ptr<platform::Alert> m_resetAlert;
    // Profiles removed by a settings reset while a sync ran: that sync may write one of them back
    // when it ends, so their files are removed once more then.
    QList<std::shared_ptr<HMProfile>> m_profilesRemovedDuringSync;
    // Blocks posted to the main queue hold it weakly, so none runs after the delegate went.
    std::shared_ptr<HMAppDelegate *> m_lifetime;
};
