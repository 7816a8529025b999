#include "SyncRunHarness.h"

#include "foundation/GlobalVariables.h"
#include "foundation/Lumberjack/DDLog.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/DistributedNotificationCenter.h"
#include "sync/HMDataConfigurationSource.h"
#include "sync/HMProfile.h"
#include "sync/HMProfileManager.h"
#include "support/TestSupport.h"

#include <QTimeZone>

namespace {

const char *const kEnvironment[] = {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_STATE_HOME"};
const char *const kDataClasses[] = {"HMContactData", "HMCalendarData", "HMTaskData", "HMMemoData"};

} // namespace

void RecordingSyncDelegate::syncDidFinishForController(HMSyncController &controller)
{
    {
        const std::lock_guard lock(mutex);
        finalErrorText = controller.syncErrorDescription();
        finalError = controller.syncError();
    }
    finalStage = controller.syncStage();
    finishedOnMainThread = platform::DispatchQueue::isMainThread();
    ++finishCount;
}

QDateTime SyncRunHarness::runTime()
{
    return QDateTime(QDate(2026, 3, 1), QTime(10, 0, 0), Qt::UTC);
}

SyncRunHarness::SyncRunHarness()
{
    for (const char *name : kEnvironment) {
        if (qEnvironmentVariableIsSet(name))
            m_savedEnvironment.insert(name, qgetenv(name));
    }
    testsupport::pointHomeAt(m_home.path());
    platform::Clock::setSource([] { return runTime(); });

    GlobalVariables::setQuillnestErrorStatus(false);
    GlobalVariables::setIsOutlookSync(false);
    GlobalVariables::setunwritableCalendar(false);
    GlobalVariables::setunwritableEKCalendar(false);
    GlobalVariables::setSyncControllerSecondsDifference(0);
    GlobalVariables::setErrorRecoverySyncConduits(QString());
    GlobalVariables::setCurrentSyncProgressController(m_sheet);

    m_defaults = std::make_unique<platform::UserDefaults>(m_home.path() + QStringLiteral("/defaults.plist"));
    m_profileManager = std::make_shared<HMProfileManager>(*m_defaults);
    m_profile = m_profileManager->newProfile();
    m_profile->setSyncMethodName(QStringLiteral("wifi"));
    m_profile->setContactManagerName(QStringLiteral("ContactManagerApple"));
    m_profile->setContactManager(HMContactManager::Apple);
    m_profile->setTaskSyncEnabled(false);
    m_profile->setMemoSyncEnabled(false);

    for (const char *className : kDataClasses) {
        const QString name = QLatin1String(className);
        HMDataConfigurationSource::registerDataSourceClass(name, [this, name]() -> std::shared_ptr<HMData> {
            if (m_usesMacStores) {
                const std::shared_ptr<FakeMacStore> store = macStore(name);
                if (m_macStoreSetup)
                    m_macStoreSetup(*store);
                return store;
            }
            auto source = std::make_shared<FakeSyncDataSource>(name);
            if (m_dataSourceSetup)
                m_dataSourceSetup(*source);
            const std::lock_guard lock(m_mutex);
            m_dataSources.insert(name, source);
            return source;
        });
    }
    HMSyncController::registerTransport(1, [this](const auto &) {
        auto transport = std::make_unique<FakeSyncClient>(m_script);
        m_transport = transport.get();
        return transport;
    });

    auto &distributed = platform::DistributedNotificationCenter::defaultCenter();
    m_observers.push_back(distributed.addObserver(QStringLiteral("HMSyncDidStartNotification"), {},
                                                  [this](const auto &) { ++m_didStartNotices; }));
    m_observers.push_back(distributed.addObserver(QStringLiteral("HMSyncDidFinishNotification"), {},
                                                  [this](const platform::DistributedNotification &notice) {
                                                      const std::lock_guard lock(m_mutex);
                                                      m_didFinishNotices.append(notice.userInfo);
                                                  }));
    m_observers.push_back(distributed.addObserver(QStringLiteral("HMSyncProgressStateNotification"), {},
                                                  [this](const platform::DistributedNotification &notice) {
                                                      if (!notice.object.startsWith(QLatin1String("HMSyncStage")))
                                                          return;
                                                      const std::lock_guard lock(m_mutex);
                                                      if (m_stages.isEmpty() || m_stages.last() != notice.object)
                                                          m_stages.append(notice.object);
                                                  }));
    auto &application = platform::NotificationCenter::defaultCenter();
    m_observers.push_back(application.addObserver(QStringLiteral("kSynchronizationDidFinish"), nullptr,
                                                  [this](const auto &) { ++m_synchronizationDidFinishNotices; }));
    m_observers.push_back(application.addObserver(QStringLiteral("kHMCleanUpAfterSync"), nullptr,
                                                  [this](const auto &) { ++m_cleanUpNotices; }));
}

SyncRunHarness::~SyncRunHarness()
{
    m_observers.clear();
    for (const char *className : kDataClasses)
        HMDataConfigurationSource::registerDataSourceClass(QLatin1String(className), nullptr);
    HMSyncController::registerTransport(1, nullptr);
    GlobalVariables::setCurrentSyncProgressController(nullptr);
    platform::Clock::setSource(nullptr);
    for (const char *name : kEnvironment) {
        if (m_savedEnvironment.contains(name))
            qputenv(name, m_savedEnvironment.value(name));
        else
            qunsetenv(name);
    }
}

void SyncRunHarness::saveProfile()
{
    m_profileManager->saveProfile(*m_profile);
}

std::shared_ptr<HMSyncController> SyncRunHarness::makeController(const std::shared_ptr<RecordingSyncDelegate> &delegate)
{
    auto configuration = std::make_shared<HMDataConfigurationSource>(m_profileManager, m_profile);
    std::shared_ptr<HMSyncController> controller = HMSyncController::initWithConfiguration(configuration);
    controller->setDelegate(delegate);
    return controller;
}

bool SyncRunHarness::runToEnd(const std::shared_ptr<HMSyncController> &controller,
                              const std::shared_ptr<RecordingSyncDelegate> &delegate)
{
    controller->startProcessing();
    return waitForEnd(controller, delegate);
}

bool SyncRunHarness::waitForEnd(const std::shared_ptr<HMSyncController> &controller,
                                const std::shared_ptr<RecordingSyncDelegate> &delegate)
{
    const bool ended = platform::DispatchQueue::runMainQueueUntil(
        [&] { return delegate->finishCount > 0 && !HMSyncController::getIsSynchronizing(); }, m_runTimeLimit);
    // Let every reply still on its way arrive, and whatever the run queue and the main queue then
    // schedule, so that a second end would be seen.
    for (int round = 0; round < 3; ++round) {
        if (m_transport)
            m_transport->drainReplies();
        if (controller->syncQueue())
            controller->syncQueue()->sync([] {});
        platform::DispatchQueue::runMainQueueUntilEmpty();
    }
    return ended;
}

std::shared_ptr<HMProfile> SyncRunHarness::reloadProfile() const
{
    HMProfileManager reader(*m_defaults);
    const auto loaded = reader.loadProfiles();
    if (!loaded)
        return nullptr;
    for (const std::shared_ptr<HMProfile> &candidate : loaded.value()) {
        if (candidate->filename() == m_profile->filename())
            return candidate;
    }
    return nullptr;
}

void SyncRunHarness::useMacStores(std::function<void(FakeMacStore &)> setup)
{
    m_usesMacStores = true;
    m_macStoreSetup = std::move(setup);
}

std::shared_ptr<FakeMacStore> SyncRunHarness::macStore(const QString &className)
{
    const std::lock_guard lock(m_mutex);
    std::shared_ptr<FakeMacStore> &store = m_macStores[className];
    if (!store)
        store = std::make_shared<FakeMacStore>(className);
    return store;
}

std::shared_ptr<FakeSyncDataSource> SyncRunHarness::dataSource(const QString &className) const
{
    const std::lock_guard lock(m_mutex);
    return m_dataSources.value(className);
}

QList<QVariantMap> SyncRunHarness::didFinishNotices() const
{
    const std::lock_guard lock(m_mutex);
    return m_didFinishNotices;
}

QStringList SyncRunHarness::stagesSeen() const
{
    const std::lock_guard lock(m_mutex);
    return m_stages;
}
