#pragma once

#include "FakeProgressSheet.h"
#include "FakeSyncClient.h"
#include "FakeMacStore.h"
#include "FakeSyncDataSource.h"

#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/UserDefaults.h"
#include "sync/HMSyncController.h"
#include "sync/HMSyncControllerDelegate.h"

#include <QDateTime>
#include <QList>
#include <QMap>
#include <QStringList>
#include <QTemporaryDir>
#include <QVariantMap>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>

class HMDataConfigurationSource;
class HMProfile;
class HMProfileManager;

// Remembers how a controller reported its run to its owner.
class RecordingSyncDelegate final : public HMSyncControllerDelegate
{
public:
    void syncDidStartForController(HMSyncController &) override { ++startCount; }
    void syncDidFinishForController(HMSyncController &controller) override;

    std::atomic<int> startCount = 0;
    std::atomic<int> finishCount = 0;
    std::atomic<bool> finishedOnMainThread = false;
    std::atomic<HMSyncStage> finalStage = HMSyncStage::NotStarted;
    std::mutex mutex;
    QString finalErrorText;
    HMSyncError finalError = HMSyncError::None;
};

// Everything one sync run needs, made real where it can be and fake where the part does not exist
// yet: a temporary data folder with a real profile file saved by the real profile manager, the
// scripted fake transport registered for Wi-Fi, fake data sources for the four conduits and a fake
// progress sheet; and listeners for every notice the run sends. Main thread only; one per test.
class SyncRunHarness final
{
public:
    // The moment the fixed clock shows during the run.
    static QDateTime runTime();

    SyncRunHarness();
    ~SyncRunHarness();
    SyncRunHarness(const SyncRunHarness &) = delete;
    SyncRunHarness &operator=(const SyncRunHarness &) = delete;

    HMProfile &profile() { return *m_profile; }
    std::shared_ptr<HMProfile> sharedProfile() const { return m_profile; }
    std::shared_ptr<HMProfileManager> profileManager() const { return m_profileManager; }
    FakeTransportScript &script() { return m_script; }
    FakeProgressSheet &sheet() { return *m_sheet; }
    // Saves the profile as the windows would before a sync.
    void saveProfile();
    // Makes the controller of the next run (a new transport from the script each time).
    std::shared_ptr<HMSyncController> makeController(const std::shared_ptr<RecordingSyncDelegate> &delegate);
    // Starts a run and waits until it has ended and every reply and notice that could still follow has
    // been delivered. Returns false when the run did not end within the time limit.
    bool runToEnd(const std::shared_ptr<HMSyncController> &controller, const std::shared_ptr<RecordingSyncDelegate> &delegate);
    // Big runs (many thousand records under the sanitizers) may be given longer than the usual limit.
    void setRunTimeLimit(std::chrono::seconds limit) { m_runTimeLimit = limit; }
    // Waits for the end of a run that was started elsewhere.
    bool waitForEnd(const std::shared_ptr<HMSyncController> &controller, const std::shared_ptr<RecordingSyncDelegate> &delegate);
    // The profile as stored in its file now.
    std::shared_ptr<HMProfile> reloadProfile() const;

    FakeSyncClient *transport() const { return m_transport; }
    std::shared_ptr<FakeSyncDataSource> dataSource(const QString &className) const;
    void setDataSourceSetup(std::function<void(FakeSyncDataSource &)> setup) { m_dataSourceSetup = std::move(setup); }
    // From now on the data sources are in-memory Mac stores, one per class kept across runs (as the
    // Mac's own stores are); setup runs on each store when a run makes it.
    void useMacStores(std::function<void(FakeMacStore &)> setup = {});
    std::shared_ptr<FakeMacStore> macStore(const QString &className);

    int didStartNotices() const { return m_didStartNotices; }
    QList<QVariantMap> didFinishNotices() const;
    int synchronizationDidFinishNotices() const { return m_synchronizationDidFinishNotices; }
    int cleanUpNotices() const { return m_cleanUpNotices; }
    // The stages announced by the run, each once where it repeated back to back.
    QStringList stagesSeen() const;

private:
    QTemporaryDir m_home;
    QMap<QByteArray, QByteArray> m_savedEnvironment;
    std::unique_ptr<platform::UserDefaults> m_defaults;
    std::shared_ptr<HMProfileManager> m_profileManager;
    std::shared_ptr<HMProfile> m_profile;
    std::shared_ptr<FakeProgressSheet> m_sheet = std::make_shared<FakeProgressSheet>();
    FakeTransportScript m_script;
    FakeSyncClient *m_transport = nullptr;
    std::function<void(FakeSyncDataSource &)> m_dataSourceSetup;
    bool m_usesMacStores = false;
    std::chrono::seconds m_runTimeLimit{20};
    std::function<void(FakeMacStore &)> m_macStoreSetup;
    QMap<QString, std::shared_ptr<FakeMacStore>> m_macStores;
    mutable std::mutex m_mutex;
    QMap<QString, std::shared_ptr<FakeSyncDataSource>> m_dataSources;
    QList<QVariantMap> m_didFinishNotices;
    QStringList m_stages;
    std::atomic<int> m_didStartNotices = 0;
    std::atomic<int> m_synchronizationDidFinishNotices = 0;
    std::atomic<int> m_cleanUpNotices = 0;
    std::vector<platform::ObserverToken> m_observers;
};
