#pragma once

#include "platform/foundation/NotificationCenter.h"

#include <QList>
#include <QString>

#include <functional>
#include <memory>

namespace platform {
class RunLoopTimer;
}
class HMAutosyncMainWindow;
class HMBackgroundSyncManager;
class HMConfiguration;
class HMProfile;
class HMProfileManager;

// The application delegate. So far it holds the scheduling of automatic syncs: it sorts the profiles
// that sync in the background between the background sync manager (profiles whose Mac side is not
// Outlook) and the Outlook autosync timer (Outlook profiles), runs the Outlook autosync check each
// time that timer fires, and restarts the timer after every sync. Start-up, logging, the status items
// and menus and the rest of the application shell join this class later, together with the objects
// that fill its profile list and its sources for the main window and for Outlook.
//
// One instance, made at start-up and kept for the life of the process. Main thread only; the
// notification handlers move their work there.
class HMAppDelegate final
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

    HMAppDelegate();
    ~HMAppDelegate();
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

private:
    void scheduleOutlookAutosyncTimer(double intervalSeconds);
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
    // Blocks posted to the main queue hold it weakly, so none runs after the delegate went.
    std::shared_ptr<HMAppDelegate *> m_lifetime;
};
