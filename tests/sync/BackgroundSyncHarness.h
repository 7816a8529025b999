#pragma once

#include "sync/HMBackgroundSyncManager.h"
#include "sync/HMSyncControllerConfigurationProtocol.h"

#include <QByteArray>
#include <QMap>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <condition_variable>
#include <memory>
#include <mutex>

namespace platform {
class UserDefaults;
}
class HMProfile;
class HMProfileManager;

// Records what the background sync manager tells its delegate, in order: "start <id>", and
// "finish <id>" or, for a run that ended in error, "finish <id> errored". Thread-safe.
class RecordingManagerDelegate final : public HMBackgroundSyncManagerDelegate
{
public:
    void syncConfigurationStartedBackgroundSyncWithController(const std::shared_ptr<HMSyncController> &controller) override;
    void syncConfigurationFinishedBackgroundSyncWithController(const std::shared_ptr<HMSyncController> &controller) override;
    QStringList events() const;
    int count(const QString &event) const { return int(events().count(event)); }

private:
    void add(const QString &event);

    mutable std::mutex m_mutex;
    QStringList m_events;
};

// Real sync runs for the background sync manager's tests: Wi-Fi profiles saved by the real profile
// manager in a temporary home, each run by a real HMSyncController against the scripted fake
// transport. The profiles enable no conduit, so a run logs on, logs off and finishes. A test may make
// a profile's runs fail at logon, or hold every run inside its logon until it lets them go.
// Made and used on the test's main thread; the transport's hooks run on the sync queues.
class BackgroundSyncHarness final
{
public:
    BackgroundSyncHarness();
    ~BackgroundSyncHarness();
    BackgroundSyncHarness(const BackgroundSyncHarness &) = delete;
    BackgroundSyncHarness &operator=(const BackgroundSyncHarness &) = delete;

    // A new configuration object for the profile with that file name, made and saved on first use,
    // with background sync at the interval code (0: off).
    std::shared_ptr<HMSyncControllerConfigurationProtocol> configuration(const QString &filename, qint64 intervalCode);
    std::shared_ptr<HMProfile> profile(const QString &filename) const { return m_profiles.value(filename); }
    std::shared_ptr<HMProfileManager> profileManager() const { return m_profileManager; }

    // Runs of this profile fail at logon with the transport's error.
    void failRunsOf(const QString &filename);
    // From now on every run waits inside its logon until released.
    void holdRuns();
    // The runs waiting inside their logon now.
    int heldCount() const;
    // Lets every waiting run go on; while holding, later runs wait again.
    void releaseHeldSyncs();
    // Stops holding and lets every waiting run go on: no later run waits.
    void stopHolding();

private:
    QTemporaryDir m_home;
    QMap<QByteArray, QByteArray> m_savedEnvironment;
    std::unique_ptr<platform::UserDefaults> m_defaults;
    std::shared_ptr<HMProfileManager> m_profileManager;
    QMap<QString, std::shared_ptr<HMProfile>> m_profiles;

    // Shared with the transports, which may outlive a test's last look at them.
    struct Gate
    {
        mutable std::mutex mutex;
        std::condition_variable released;
        bool isHolding = false;
        int heldCount = 0;
        quint64 releases = 0;
        QSet<QString> failing;
    };
    std::shared_ptr<Gate> m_gate = std::make_shared<Gate>();
};
