#pragma once

#include "sync/HMPushClient.h"
#include "sync/HMSyncController.h"
#include "sync/HMSyncControllerConfigurationProtocol.h"
#include "sync/HMSyncControllerDelegate.h"

#include <QString>
#include <QVariant>
#include <QtGlobal>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace platform {
class DispatchGroup;
class DispatchQueue;
class UserDefaults;
} // namespace platform
class HMConfiguration;
class HMProfilesController;

// What the background sync manager tells its owner (the application delegate) about the syncs it
// starts, on the main queue, in the order the syncs started and ended; both are optional.
class HMBackgroundSyncManagerDelegate
{
public:
    virtual ~HMBackgroundSyncManagerDelegate() = default;

    virtual void syncConfigurationStartedBackgroundSyncWithController(const std::shared_ptr<HMSyncController> &controller)
    {
        Q_UNUSED(controller);
    }
    virtual void syncConfigurationFinishedBackgroundSyncWithController(const std::shared_ptr<HMSyncController> &controller)
    {
        Q_UNUSED(controller);
    }
};

// Starts every sync that runs through HMSyncController: the manual syncs that the main window, a
// phone-started sync or the status menu ask for, and the interval syncs of each profile that syncs in
// the background. It keeps one entry per profile under interval sync, schedules each profile's next
// sync one interval after the end of a sync that did not fail, holds a due sync back while another
// sync runs, and never lets two syncs run at once. It is the delegate of every controller it starts,
// tells its own delegate when a sync starts and ends, and hands the end result to the progress sheet.
//
// The application delegate makes the one instance at start-up and keeps it for the life of the
// process (std::shared_ptr: queued steps hold it weakly). Thread-safe: its state is guarded by one
// mutex, never held while calling out. Due syncs and manual starts run on its concurrent queue; the
// end of a sync is handled on the main queue, where the controller reports it.
class HMBackgroundSyncManager final : public HMSyncControllerDelegate,
                                      public HMXMPPClientDelegate,
                                      public std::enable_shared_from_this<HMBackgroundSyncManager>
{
public:
    using Configuration = std::shared_ptr<HMSyncControllerConfigurationProtocol>;
    using CustomBlock = std::function<void()>;
    // Runs the step once the delay has passed, on any thread; the manager moves the step onto its own
    // queue. The production scheduler is the manager queue's delayed dispatch; tests drive their own.
    using StepScheduler = std::function<void(std::chrono::milliseconds delay, std::function<void()> step)>;
    // Whether the network is known to be unreachable; an undetermined network counts as reachable.
    using NetworkUnreachableTest = std::function<bool()>;

    // A manager on the standard user defaults that waits on its own queue and asks the REST
    // framework's shared client about the network.
    HMBackgroundSyncManager();
    HMBackgroundSyncManager(platform::UserDefaults &userDefaults, StepScheduler scheduler,
                            NetworkUnreachableTest isNetworkUnreachable);
    ~HMBackgroundSyncManager() override;
    HMBackgroundSyncManager(const HMBackgroundSyncManager &) = delete;
    HMBackgroundSyncManager &operator=(const HMBackgroundSyncManager &) = delete;

    // Seconds between interval syncs for the interval a configuration gives (its profile's stored
    // code times 60): what the label the user chose says. Codes 15 ("Automatic") and 30 ("15
    // Minutes") give 900, 45 gives 1800, 60 gives 3600, 75 gives 7200 and 90 gives 14400. Any other
    // positive number of seconds is taken as it is; no number or one of 0 or less means no interval.
    static std::optional<qint64> secondsBetweenIntervalSyncs(const QVariant &configuredSeconds);

    // Interval sync. Begin answers true when a configuration with the same id is listed already (the
    // new object is then not used) or was added, its first sync due at once; false when it has no
    // interval. End takes the profile off (a pending sync of it does nothing; a running one finishes
    // and is not rescheduled).
    bool beginBackgroundExecutionForSyncConfiguration(const Configuration &configuration);
    void endBackgroundExecutionForSyncConfiguration(const Configuration &configuration);
    // Makes the configuration's next sync fall due after the given seconds. A configuration has one
    // pending step at a time: this one replaces an earlier one, which then does nothing.
    void scheduleSyncInSeconds(qint64 seconds, const Configuration &configuration);
    // Takes every profile off interval sync.
    void clearBackgroundExecution();

    // Starts a sync of the configuration now, on the manager queue, ahead of any due interval sync.
    // Refused (false, logged) when a sync is already running or another manual request waits to
    // start; returns at once either way. A start that loses a race with a sync started elsewhere is
    // refused later and reported to the progress sheet.
    bool runManualBackgroundSyncWithConfiguration(const Configuration &configuration);

    // Pausing stops every pending interval sync; a sync that already runs or already waits for a
    // running one goes on. Resuming schedules each stopped profile's sync once, one interval later.
    void pauseBackgroundSynchronization();
    void restartBackgroundSynchronization();
    bool isPaused() const { return m_isPaused.load(); }

    // The controller of the sync that runs now, manual or interval; nullptr when none runs.
    std::shared_ptr<HMSyncController> syncControllerForCurrentProcess() const;

    // Custom blocks run concurrently in passes on the manager queue; a pass repeats every interval
    // until the interval is -1 (the start value) or the manager is paused when it falls due.
    void addConcurrentCustomBlock(CustomBlock block);
    void setConcurrentCustomBlockExecutionIntervalInSeconds(qint64 seconds);
    void beginConcurrentCustomBlockExecution();
    void clearConcurrentCustomBlocks();
    void executeConcurrentCustomBlocks();

    // The push channel. The program registers the maker of its push clients at start-up; without one
    // no client is made. Turning the push channel off makes a client with the configuration's push
    // settings (35 to 38) only to disconnect it, when any profile is under interval sync.
    static void setPushClientMaker(HMPushClient::Maker maker);
    void turnOffXmppForConfiguration(const Configuration &configuration);
    // HMXMPPClientDelegate: each only logs.
    void hmXmppClientDidConnect(HMPushClient *client) override;
    void hmXmppClientDidDisconnectWithError(HMPushClient *client, quint64 code) override;
    void hmXmppClientDidError(HMPushClient *client, quint64 code) override;
    void hmXmppClientDidReceiveNotification(HMPushClient *client, quint64 notification,
                                            const QVariantMap &dictionary) override;

    // HMSyncControllerDelegate.
    void syncDidStartForController(HMSyncController &controller) override;
    void syncDidFinishForController(HMSyncController &controller) override;

    // Not owned; its owner clears it before going away.
    HMBackgroundSyncManagerDelegate *delegate() const { return m_delegate.load(); }
    void setDelegate(HMBackgroundSyncManagerDelegate *delegate) { m_delegate.store(delegate); }
    // Called before a manual sync of a non-Outlook profile to rebuild the process-wide reminders list.
    void setRemindersListRebuilder(std::function<void()> rebuild);
    std::shared_ptr<HMConfiguration> configuration() const;
    void setConfiguration(std::shared_ptr<HMConfiguration> configuration);
    std::shared_ptr<HMProfilesController> profilesController() const;
    void setProfilesController(std::shared_ptr<HMProfilesController> controller);

    bool isProcessingInBackground() const { return m_isProcessingInBackground.load(); }
    void setIsProcessingInBackground(bool value) { m_isProcessingInBackground.store(value); }
    bool isRunningBackgroundSync() const { return m_isRunningBackgroundSync.load(); }
    void setIsRunningBackgroundSync(bool value) { m_isRunningBackgroundSync.store(value); }
    bool isRunningCustomBlocks() const { return m_isRunningCustomBlocks.load(); }
    void setIsRunningCustomBlocks(bool value) { m_isRunningCustomBlocks.store(value); }
    const std::shared_ptr<platform::DispatchQueue> &syncManagerQueue() const { return m_syncManagerQueue; }
    const std::shared_ptr<platform::DispatchGroup> &syncManagerGroup() const { return m_syncManagerGroup; }
    // The configurations under interval sync, in the order they were begun.
    std::vector<Configuration> syncConfigurations() const;

private:
    // One profile under interval sync.
    struct Entry
    {
        Configuration configuration;
        // The controller of its latest interval sync, or null.
        std::shared_ptr<HMSyncController> controller;
        // Taken up: from the moment a due sync of it starts (waiting included) until its end is
        // handled with a reschedule; for good after an end without one.
        bool isScheduled = false;
        // The token of its one pending due step; 0 when none is pending.
        quint64 pendingStep = 0;
    };

    enum class StartOutcome { Started, SyncRunning, ConfigurationGone };

    // A sync that started and whose end has not been handled yet.
    struct StartedSync
    {
        std::shared_ptr<HMSyncController> controller;
        bool isManual = false;
    };

    void schedule(std::chrono::milliseconds delay, std::function<void(HMBackgroundSyncManager &)> step);
    void runDueSync(const Configuration &configuration, quint64 token);
    // Starts the configuration's interval sync when no sync runs; otherwise waits and tries again.
    void startIntervalSyncWhenIdle(const Configuration &configuration);
    StartOutcome startIntervalSync(const Configuration &configuration);
    void startManualSync(const Configuration &configuration);
    // Calls startProcessing and answers whether the controller really started. Called with the start
    // mutex held, so that no other start of this manager slips in between the check and the start.
    bool startController(const std::shared_ptr<HMSyncController> &controller);
    void reportRefusedManualSync();
    void finishCustomBlockPass();
    // Whether the interval sync that ended should be followed by another, and after how long.
    void rescheduleAfter(HMSyncController &controller);
    Entry *entryFor(const HMSyncControllerConfigurationProtocol *configuration);
    // Whether a configuration with the id is listed. Called with m_mutex held.
    bool isListed(const QString &configurationId) const;
    // Whether this very configuration object is listed.
    bool isListedObject(const Configuration &configuration) const;
    // The manager's own reference to one of its controllers, or nullptr. Called with m_mutex held.
    std::shared_ptr<HMSyncController> sharedController(const HMSyncController &controller) const;

    platform::UserDefaults &m_userDefaults;
    const std::shared_ptr<platform::DispatchQueue> m_syncManagerQueue;
    const std::shared_ptr<platform::DispatchGroup> m_syncManagerGroup;
    StepScheduler m_scheduler;
    NetworkUnreachableTest m_isNetworkUnreachable;
    std::atomic<HMBackgroundSyncManagerDelegate *> m_delegate = nullptr;
    std::atomic<bool> m_isPaused = false;
    std::atomic<bool> m_isProcessingInBackground = false;
    std::atomic<bool> m_isRunningBackgroundSync = false;
    std::atomic<bool> m_isRunningCustomBlocks = false;

    // Held from the check that no sync runs until the controller has started or refused.
    std::mutex m_startMutex;
    // Manual requests accepted and not yet started; due interval syncs wait for them.
    std::atomic<int> m_pendingManualStarts = 0;

    mutable std::mutex m_mutex;
    std::vector<Entry> m_entries;                                 // guarded by m_mutex
    std::shared_ptr<HMSyncController> m_oneTimeCallSyncController; // guarded by m_mutex
    std::shared_ptr<HMSyncController> m_runningController;        // guarded by m_mutex
    std::vector<StartedSync> m_startedSyncs;                      // guarded by m_mutex
    const HMSyncController *m_lastStartedController = nullptr;    // guarded by m_mutex
    quint64 m_lastStepToken = 0;                                  // guarded by m_mutex
    std::vector<CustomBlock> m_concurrentCustomBlocks;            // guarded by m_mutex
    qint64 m_concurrentCustomBlocksTimerSeconds = -1;             // guarded by m_mutex
    std::function<void()> m_rebuildRemindersList;                 // guarded by m_mutex
    std::shared_ptr<HMConfiguration> m_configuration;             // guarded by m_mutex
    std::shared_ptr<HMProfilesController> m_profilesController;   // guarded by m_mutex
};
