#include "sync/HMBackgroundSyncManager.h"

#include "foundation/GlobalVariables.h"
#include "foundation/HMSyncProgressReporting.h"
#include "foundation/Lumberjack/DDLog.h"
#include "platform/dispatch/DispatchGroup.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/LockedField.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/restkit/RKClient.h"

#include <algorithm>

namespace {

// A due sync that finds another sync running looks again this much later.
constexpr std::chrono::milliseconds kWaitForRunningSync{100};
// In the cloud's push mode the cloud asks for syncs itself and no interval sync follows.
constexpr qint64 kPushModeIntervalSeconds = 119;

const QString kRefusedManualSyncText = QStringLiteral("Another synchronization is running. Please try again when it has finished.");

std::chrono::milliseconds millisecondsFromSeconds(qint64 seconds)
{
    constexpr qint64 kLongestDelaySeconds = std::chrono::milliseconds::max().count() / 1000;
    return std::chrono::milliseconds(std::clamp<qint64>(seconds, 0, kLongestDelaySeconds) * 1000);
}

bool isNetworkKnownUnreachableToSharedClient()
{
    const auto client = platform::RKClient::sharedClient();
    return client && client->isReachabilityDetermined() && !client->isNetworkReachable();
}

} // namespace

HMBackgroundSyncManager::HMBackgroundSyncManager()
    : HMBackgroundSyncManager(platform::UserDefaults::standardUserDefaults(), nullptr, nullptr)
{
}

HMBackgroundSyncManager::HMBackgroundSyncManager(platform::UserDefaults &userDefaults, StepScheduler scheduler,
                                                 NetworkUnreachableTest isNetworkUnreachable)
    : m_userDefaults(userDefaults),
      m_syncManagerQueue(platform::DispatchQueue::createConcurrent(
          platform::Bundle::bundleIdentifier() + QStringLiteral(".backgroundsyncmanagerqueue"))),
      m_syncManagerGroup(platform::DispatchGroup::create()), m_scheduler(std::move(scheduler)),
      m_isNetworkUnreachable(std::move(isNetworkUnreachable))
{
    if (!m_scheduler) {
        m_scheduler = [queue = m_syncManagerQueue](std::chrono::milliseconds delay, std::function<void()> step) {
            queue->after(delay, std::move(step));
        };
    }
    if (!m_isNetworkUnreachable)
        m_isNetworkUnreachable = isNetworkKnownUnreachableToSharedClient;
}

HMBackgroundSyncManager::~HMBackgroundSyncManager() = default;

std::optional<qint64> HMBackgroundSyncManager::secondsBetweenIntervalSyncs(const QVariant &configuredSeconds)
{
    if (!configuredSeconds.isValid())
        return std::nullopt;
    bool isNumber = false;
    const qint64 seconds = configuredSeconds.toLongLong(&isNumber);
    if (!isNumber || seconds <= 0)
        return std::nullopt;
    switch (seconds) {
    case 15 * 60:
    case 30 * 60:
        return 900;
    case 45 * 60:
        return 1800;
    case 60 * 60:
        return 3600;
    case 75 * 60:
        return 7200;
    case 90 * 60:
        return 14400;
    default:
        return seconds;
    }
}

bool HMBackgroundSyncManager::beginBackgroundExecutionForSyncConfiguration(const Configuration &configuration)
{
    DDLogInfo(QStringLiteral("beginBackgroundExecutionForSyncConfiguration"));
    if (!configuration)
        return false;
    bool isAlreadyListed = false;
    {
        std::lock_guard lock(m_mutex);
        isAlreadyListed = isListed(configuration->configurationId());
    }
    if (isAlreadyListed)
        return true;
    if (!secondsBetweenIntervalSyncs(configuration->backgroundSyncInterval())) {
        DDLogError(QStringLiteral("Could not add sync configuration with no interval to background sync manager."));
        return false;
    }
    {
        std::lock_guard lock(m_mutex);
        if (isListed(configuration->configurationId()))
            return true;
        m_entries.push_back(Entry{configuration});
    }
    scheduleSyncInSeconds(0, configuration);
    return true;
}

void HMBackgroundSyncManager::endBackgroundExecutionForSyncConfiguration(const Configuration &configuration)
{
    if (!configuration)
        return;
    const QString configurationId = configuration->configurationId();
    std::lock_guard lock(m_mutex);
    const auto found = std::find_if(m_entries.rbegin(), m_entries.rend(), [&](const Entry &entry) {
        return entry.configuration->configurationId() == configurationId;
    });
    if (found != m_entries.rend())
        m_entries.erase(std::next(found).base());
}

void HMBackgroundSyncManager::clearBackgroundExecution()
{
    std::lock_guard lock(m_mutex);
    m_entries.clear();
}

void HMBackgroundSyncManager::scheduleSyncInSeconds(qint64 seconds, const Configuration &configuration)
{
    quint64 token = 0;
    {
        std::lock_guard lock(m_mutex);
        Entry *entry = entryFor(configuration.get());
        if (!entry)
            return;
        token = ++m_lastStepToken;
        entry->pendingStep = token;
    }
    schedule(millisecondsFromSeconds(seconds), [configuration, token](HMBackgroundSyncManager &manager) {
        manager.runDueSync(configuration, token);
    });
}

void HMBackgroundSyncManager::schedule(std::chrono::milliseconds delay,
                                       std::function<void(HMBackgroundSyncManager &)> step)
{
    const std::weak_ptr<HMBackgroundSyncManager> weakSelf = weak_from_this();
    m_scheduler(delay, [weakSelf, step = std::move(step)] {
        const auto self = weakSelf.lock();
        if (!self)
            return;
        self->m_syncManagerQueue->async([weakSelf, step] {
            if (const auto manager = weakSelf.lock())
                step(*manager);
        });
    });
}

// Runs on the manager queue.
void HMBackgroundSyncManager::runDueSync(const Configuration &configuration, quint64 token)
{
    bool isReplaced = false;
    bool isDropped = false;
    {
        std::lock_guard lock(m_mutex);
        Entry *entry = entryFor(configuration.get());
        if (!entry) {
            isReplaced = isListed(configuration->configurationId());
        } else if (entry->pendingStep != token) {
            // A step that a later schedule replaced, or that a pause stopped, does nothing.
            return;
        } else {
            entry->pendingStep = 0;
            isDropped = m_isPaused.load();
            entry->isScheduled = !isDropped;
        }
    }
    if (isReplaced)
        DDLogWarn(QStringLiteral("Could not find the configuration in the current configuration list, aborting sync"));
    if (isReplaced || isDropped) {
        if (isDropped)
            DDLogInfo(QStringLiteral("Background synchronization is paused; dropping the due sync"));
        return;
    }
    startIntervalSyncWhenIdle(configuration);
}

// Runs on the manager queue.
void HMBackgroundSyncManager::startIntervalSyncWhenIdle(const Configuration &configuration)
{
    switch (startIntervalSync(configuration)) {
    case StartOutcome::Started:
    case StartOutcome::ConfigurationGone:
        return;
    case StartOutcome::SyncRunning:
        // Waits without holding a thread of the queue; the step looks again a little later.
        schedule(kWaitForRunningSync, [configuration](HMBackgroundSyncManager &manager) {
            manager.startIntervalSyncWhenIdle(configuration);
        });
        return;
    }
}

HMBackgroundSyncManager::StartOutcome HMBackgroundSyncManager::startIntervalSync(const Configuration &configuration)
{
    std::lock_guard startLock(m_startMutex);
    if (!isListedObject(configuration)) {
        DDLogInfo(QStringLiteral("The due sync's profile left background sync; the sync does not start"));
        return StartOutcome::ConfigurationGone;
    }
    // An accepted manual request goes first: the user is waiting for it.
    if (HMSyncController::getIsSynchronizing() || m_pendingManualStarts.load() > 0)
        return StartOutcome::SyncRunning;

    const auto controller = HMSyncController::initWithConfiguration(configuration);
    if (!controller)
        return StartOutcome::ConfigurationGone;
    controller->setDelegate(std::weak_ptr<HMSyncControllerDelegate>(shared_from_this()));
    {
        std::lock_guard lock(m_mutex);
        Entry *entry = entryFor(configuration.get());
        if (!entry)
            return StartOutcome::ConfigurationGone;
        entry->controller = controller;
    }
    m_isProcessingInBackground.store(true);
    m_isRunningBackgroundSync.store(true);
    if (startController(controller))
        return StartOutcome::Started;

    DDLogInfo(QStringLiteral("Another synchronization started first; the interval sync waits for it"));
    std::lock_guard lock(m_mutex);
    if (Entry *entry = entryFor(configuration.get()); entry && entry->controller == controller)
        entry->controller.reset();
    return StartOutcome::SyncRunning;
}

bool HMBackgroundSyncManager::startController(const std::shared_ptr<HMSyncController> &controller)
{
    {
        std::lock_guard lock(m_mutex);
        m_lastStartedController = nullptr;
    }
    controller->startProcessing();
    std::lock_guard lock(m_mutex);
    return m_lastStartedController == controller.get();
}

bool HMBackgroundSyncManager::runManualBackgroundSyncWithConfiguration(const Configuration &configuration)
{
    if (!configuration)
        return false;
    const bool isOutlookSync = GlobalVariables::getIsOutlookSync();
    if (!isOutlookSync) {
        GlobalVariables::setunwritableCalendar(false);
        GlobalVariables::setunwritableEKCalendar(false);
    }
    if (HMSyncController::getIsSynchronizing() || m_pendingManualStarts.load() > 0) {
        DDLogWarn(QStringLiteral("A synchronization is running; the manual synchronization was not started"));
        return false;
    }
    if (!isOutlookSync) {
        const std::function<void()> rebuild = platform::lockedCopy(m_mutex, m_rebuildRemindersList);
        if (rebuild)
            rebuild();
    }
    // Windows and the Outlook autosync check see the sync as running from this moment on.
    GlobalVariables::setIsSynchronizing(true);
    ++m_pendingManualStarts;
    DDLogInfo(QStringLiteral("runManualBackgroundSyncWithConfiguration"));
    const std::weak_ptr<HMBackgroundSyncManager> weakSelf = weak_from_this();
    m_syncManagerQueue->async([weakSelf, configuration] {
        if (const auto self = weakSelf.lock())
            self->startManualSync(configuration);
    });
    return true;
}

// Runs on the manager queue.
void HMBackgroundSyncManager::startManualSync(const Configuration &configuration)
{
    std::unique_lock startLock(m_startMutex);
    --m_pendingManualStarts;
    if (HMSyncController::getIsSynchronizing()) {
        startLock.unlock();
        reportRefusedManualSync();
        return;
    }
    m_isRunningBackgroundSync.store(true);
    m_isProcessingInBackground.store(true);
    const auto controller = HMSyncController::initWithConfiguration(configuration);
    if (!controller) {
        startLock.unlock();
        reportRefusedManualSync();
        return;
    }
    controller->setDelegate(std::weak_ptr<HMSyncControllerDelegate>(shared_from_this()));
    {
        std::lock_guard lock(m_mutex);
        m_oneTimeCallSyncController = controller;
    }
    if (startController(controller))
        return;
    startLock.unlock();
    reportRefusedManualSync();
}

void HMBackgroundSyncManager::reportRefusedManualSync()
{
    DDLogWarn(QStringLiteral("A synchronization is running; the manual synchronization was not started"));
    if (!HMSyncController::getIsSynchronizing())
        GlobalVariables::setIsSynchronizing(false);
    if (const auto sheet = GlobalVariables::getCurrentSyncProgressController())
        sheet->syncCompleted(kRefusedManualSyncText);
}

void HMBackgroundSyncManager::pauseBackgroundSynchronization()
{
    DDLogInfo(QStringLiteral("pauseBackgroundSynchronization"));
    std::lock_guard lock(m_mutex);
    m_isPaused.store(true);
    for (Entry &entry : m_entries)
        entry.pendingStep = 0;
}

void HMBackgroundSyncManager::restartBackgroundSynchronization()
{
    DDLogInfo(QStringLiteral("restartBackgroundSynchronization"));
    std::vector<std::pair<Configuration, qint64>> toSchedule;
    {
        std::lock_guard lock(m_mutex);
        m_isPaused.store(false);
        for (const Entry &entry : m_entries) {
            if (entry.isScheduled || entry.pendingStep != 0)
                continue;
            if (const auto seconds = secondsBetweenIntervalSyncs(entry.configuration->backgroundSyncInterval()))
                toSchedule.emplace_back(entry.configuration, *seconds);
        }
    }
    for (const auto &[configuration, seconds] : toSchedule)
        scheduleSyncInSeconds(seconds, configuration);
    executeConcurrentCustomBlocks();
}

std::shared_ptr<HMSyncController> HMBackgroundSyncManager::syncControllerForCurrentProcess() const
{
    return platform::lockedCopy(m_mutex, m_runningController);
}

void HMBackgroundSyncManager::syncDidStartForController(HMSyncController &controller)
{
    std::shared_ptr<HMSyncController> started;
    {
        std::lock_guard lock(m_mutex);
        m_lastStartedController = &controller;
        started = sharedController(controller);
        if (started)
            m_startedSyncs.push_back(StartedSync{started, m_oneTimeCallSyncController == started});
        m_runningController = started;
    }
    if (!started)
        return;
    const std::weak_ptr<HMBackgroundSyncManager> weakSelf = weak_from_this();
    platform::DispatchQueue::main()->async([weakSelf, started] {
        const auto self = weakSelf.lock();
        if (!self)
            return;
        if (HMBackgroundSyncManagerDelegate *delegate = self->delegate())
            delegate->syncConfigurationStartedBackgroundSyncWithController(started);
    });
}

// Runs on the main queue, once for every controller that really ran. The next sync may have started
// already (the controller clears the process's running flag before its end reaches the main queue),
// and a manual one may have replaced the one-time controller: the end is matched to the sync that
// started with this controller.
void HMBackgroundSyncManager::syncDidFinishForController(HMSyncController &controller)
{
    DDLogInfo(QStringLiteral("syncDidFinishForController:"));
    StartedSync finished;
    bool isAnotherSyncRunning = false;
    {
        std::lock_guard lock(m_mutex);
        const auto found = std::find_if(m_startedSyncs.begin(), m_startedSyncs.end(),
                                        [&](const StartedSync &sync) { return sync.controller.get() == &controller; });
        if (found != m_startedSyncs.end()) {
            finished = *found;
            m_startedSyncs.erase(found);
        }
        if (m_runningController.get() == &controller)
            m_runningController.reset();
        isAnotherSyncRunning = m_runningController != nullptr;
    }
    // Already on the main queue: told at once, so the delegate hears this end before the start of a
    // sync that followed it.
    HMBackgroundSyncManagerDelegate *delegate = this->delegate();
    if (finished.controller && delegate) {
        DDLogInfo(QStringLiteral("syncConfigurationFinishedBackgroundSyncWithController:"));
        delegate->syncConfigurationFinishedBackgroundSyncWithController(finished.controller);
    }
    if (const auto sheet = GlobalVariables::getCurrentSyncProgressController())
        sheet->syncCompleted(controller.syncErrorDescription());
    m_isProcessingInBackground.store(isAnotherSyncRunning);
    m_isRunningBackgroundSync.store(isAnotherSyncRunning);

    if (finished.isManual)
        return;
    rescheduleAfter(controller);
}

void HMBackgroundSyncManager::rescheduleAfter(HMSyncController &controller)
{
    if (controller.syncStage() == HMSyncStage::Errored) {
        DDLogInfo(QStringLiteral("Synchronization errored"));
        return;
    }
    if (m_userDefaults.integerForKey(QStringLiteral("AutoSyncronizationIntervalSeconds")) == kPushModeIntervalSeconds
        && m_userDefaults.stringForKey(QStringLiteral("SyncMethodSetting")) == QLatin1String("quillnest"))
        return;
    bool hasEntries = false;
    {
        std::lock_guard lock(m_mutex);
        hasEntries = !m_entries.empty();
    }
    if (!hasEntries) {
        DDLogVerbose(QStringLiteral("[_syncConfigurations count] == 0"));
        return;
    }
    if (m_isNetworkUnreachable()) {
        DDLogInfo(QStringLiteral("The network is unreachable; no further interval sync is scheduled"));
        controller.setSyncStage(HMSyncStage::Errored);
        return;
    }

    Configuration configuration;
    {
        std::lock_guard lock(m_mutex);
        const auto found = std::find_if(m_entries.begin(), m_entries.end(),
                                        [&](const Entry &entry) { return entry.controller.get() == &controller; });
        if (found != m_entries.end()) {
            found->isScheduled = false;
            found->controller.reset();
            configuration = found->configuration;
        }
    }
    if (!configuration) {
        DDLogError(QStringLiteral("Unrecognized controller returned from sync, ignoring"));
        return;
    }
    const qint64 seconds = secondsBetweenIntervalSyncs(configuration->backgroundSyncInterval()).value_or(0);
    if (seconds <= 0)
        return;
    scheduleSyncInSeconds(seconds, configuration);
    DDLogInfo(QStringLiteral("Scheduled another sync in %1 seconds").arg(seconds));
}

void HMBackgroundSyncManager::addConcurrentCustomBlock(CustomBlock block)
{
    std::lock_guard lock(m_mutex);
    m_concurrentCustomBlocks.push_back(std::move(block));
}

void HMBackgroundSyncManager::setConcurrentCustomBlockExecutionIntervalInSeconds(qint64 seconds)
{
    platform::lockedAssign(m_mutex, m_concurrentCustomBlocksTimerSeconds, seconds);
}

void HMBackgroundSyncManager::beginConcurrentCustomBlockExecution()
{
    executeConcurrentCustomBlocks();
}

void HMBackgroundSyncManager::clearConcurrentCustomBlocks()
{
    std::lock_guard lock(m_mutex);
    m_concurrentCustomBlocks.clear();
    m_concurrentCustomBlocksTimerSeconds = -1;
}

void HMBackgroundSyncManager::executeConcurrentCustomBlocks()
{
    DDLogInfo(QStringLiteral("executingConcurrentCustomBlocks"));
    std::vector<CustomBlock> blocks;
    {
        std::lock_guard lock(m_mutex);
        blocks = m_concurrentCustomBlocks;
    }
    for (CustomBlock &block : blocks)
        m_syncManagerGroup->async(m_syncManagerQueue, std::move(block));
    const std::weak_ptr<HMBackgroundSyncManager> weakSelf = weak_from_this();
    m_syncManagerGroup->notify(m_syncManagerQueue, [weakSelf] {
        if (const auto self = weakSelf.lock())
            self->finishCustomBlockPass();
    });
}

// Runs on the manager queue when every block of a pass has finished.
void HMBackgroundSyncManager::finishCustomBlockPass()
{
    m_isProcessingInBackground.store(false);
    m_isRunningCustomBlocks.store(false);
    qint64 seconds = -1;
    {
        std::lock_guard lock(m_mutex);
        seconds = m_concurrentCustomBlocksTimerSeconds;
    }
    if (seconds == -1) {
        DDLogInfo(QStringLiteral("Not Scheduling any more custom blocks for execution"));
        return;
    }
    schedule(millisecondsFromSeconds(seconds), [](HMBackgroundSyncManager &manager) {
        if (manager.isPaused())
            return;
        manager.m_isProcessingInBackground.store(true);
        manager.m_isRunningCustomBlocks.store(true);
        manager.executeConcurrentCustomBlocks();
    });
}

void HMBackgroundSyncManager::setRemindersListRebuilder(std::function<void()> rebuild)
{
    platform::lockedAssign(m_mutex, m_rebuildRemindersList, std::move(rebuild));
}

std::shared_ptr<HMConfiguration> HMBackgroundSyncManager::configuration() const
{
    return platform::lockedCopy(m_mutex, m_configuration);
}

void HMBackgroundSyncManager::setConfiguration(std::shared_ptr<HMConfiguration> configuration)
{
    platform::lockedAssign(m_mutex, m_configuration, std::move(configuration));
}

std::shared_ptr<HMProfilesController> HMBackgroundSyncManager::profilesController() const
{
    return platform::lockedCopy(m_mutex, m_profilesController);
}

void HMBackgroundSyncManager::setProfilesController(std::shared_ptr<HMProfilesController> controller)
{
    platform::lockedAssign(m_mutex, m_profilesController, std::move(controller));
}

std::vector<HMBackgroundSyncManager::Configuration> HMBackgroundSyncManager::syncConfigurations() const
{
    std::lock_guard lock(m_mutex);
    std::vector<Configuration> configurations;
    configurations.reserve(m_entries.size());
    for (const Entry &entry : m_entries)
        configurations.push_back(entry.configuration);
    return configurations;
}

HMBackgroundSyncManager::Entry *HMBackgroundSyncManager::entryFor(const HMSyncControllerConfigurationProtocol *configuration)
{
    const auto found = std::find_if(m_entries.begin(), m_entries.end(),
                                    [&](const Entry &entry) { return entry.configuration.get() == configuration; });
    return found == m_entries.end() ? nullptr : &*found;
}

bool HMBackgroundSyncManager::isListedObject(const Configuration &configuration) const
{
    std::lock_guard lock(m_mutex);
    return std::any_of(m_entries.begin(), m_entries.end(),
                       [&](const Entry &entry) { return entry.configuration == configuration; });
}

std::shared_ptr<HMSyncController> HMBackgroundSyncManager::sharedController(const HMSyncController &controller) const
{
    if (m_oneTimeCallSyncController.get() == &controller)
        return m_oneTimeCallSyncController;
    for (const Entry &entry : m_entries) {
        if (entry.controller.get() == &controller)
            return entry.controller;
    }
    return nullptr;
}

bool HMBackgroundSyncManager::isListed(const QString &configurationId) const
{
    return std::any_of(m_entries.begin(), m_entries.end(), [&](const Entry &entry) {
        return entry.configuration->configurationId() == configurationId;
    });
}

// ---- The push channel ----

namespace {

std::mutex &pushClientMakerMutex()
{
    static std::mutex mutex;
    return mutex;
}

HMPushClient::Maker &pushClientMaker()
{
    static HMPushClient::Maker maker;
    return maker;
}

} // namespace

void HMBackgroundSyncManager::setPushClientMaker(HMPushClient::Maker maker)
{
    const std::lock_guard lock(pushClientMakerMutex());
    pushClientMaker() = std::move(maker);
}

void HMBackgroundSyncManager::turnOffXmppForConfiguration(const Configuration &configuration)
{
    if (syncConfigurations().empty() || !configuration)
        return;
    DDLogInfo(QStringLiteral("Turning off XMPP"));
    HMPushClient::Maker maker;
    {
        const std::lock_guard lock(pushClientMakerMutex());
        maker = pushClientMaker();
    }
    const std::shared_ptr<HMPushClient> client = maker ? maker() : nullptr;
    if (!client)
        return;
    client->setDelegate(this);
    client->setHostName(configuration->stringValueForSetting(35));
    client->setUserName(configuration->stringValueForSetting(36));
    client->setPassword(configuration->stringValueForSetting(37));
    client->setDeviceName(configuration->stringValueForSetting(38));
    client->disconnect();
    client->setDelegate(nullptr);
}

void HMBackgroundSyncManager::hmXmppClientDidConnect(HMPushClient *)
{
    DDLogInfo(QStringLiteral("hmXmppClientDidConnect:"));
}

void HMBackgroundSyncManager::hmXmppClientDidDisconnectWithError(HMPushClient *, quint64)
{
    DDLogInfo(QStringLiteral("hmXmppClient:didDisconnectWithError:"));
}

void HMBackgroundSyncManager::hmXmppClientDidError(HMPushClient *, quint64)
{
    DDLogInfo(QStringLiteral("hmXmppClient:didError:"));
}

void HMBackgroundSyncManager::hmXmppClientDidReceiveNotification(HMPushClient *, quint64, const QVariantMap &)
{
    DDLogInfo(QStringLiteral("XMPP client didReceiveNotification"));
    DDLogInfo(QStringLiteral("hmXmppClient:didReceiveNotification:withDictionary:"));
}
