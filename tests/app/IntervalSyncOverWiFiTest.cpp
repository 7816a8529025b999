// Interval syncs of two Wi-Fi profiles against two phone peers on loopback: the background sync
// manager runs them one after the other, never at once, and again one interval later.

#include "BackgroundSyncHarness.h"
#include "ManualStepScheduler.h"
#include "PhonePeer.h"
#include "RestKitTestSupport.h"

#include "foundation/GlobalVariables.h"
#include "foundation/QtPrinters.h"
#include "phonelink/HMWiFiSync.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/UserDefaults.h"
#include "sync/HMBackgroundSyncManager.h"
#include "sync/HMProfile.h"
#include "sync/HMSyncController.h"

#include <QMap>
#include <QStringList>

#include <gtest/gtest.h>

#include <map>

using namespace std::chrono_literals;

namespace {

class IntervalSyncOverWiFi : public testing::Test
{
protected:
    void SetUp() override
    {
        ensureApplication();
        GlobalVariables::setIsSynchronizing(false);

        for (const QString &name : {QStringLiteral("first"), QStringLiteral("second")}) {
            phonepeer::PhonePeer::Options options;
            options.port = 0;
            options.deviceId = QStringLiteral("QP-PEER-") + name.toUpper();
            auto peer = std::make_unique<phonepeer::PhonePeer>(options);
            QString problem;
            ASSERT_TRUE(peer->start(problem)) << problem.toStdString();
            m_ports.insert(name, peer->port());
            // A paired Android phone at the peer's address, syncing "Automatic" in the background.
            const auto configuration = m_harness.configuration(name, 15);
            const auto profile = m_harness.profile(name);
            profile->setDeviceTypeName(QStringLiteral("android"));
            profile->setHhIpAddress(QStringLiteral("127.0.0.1"));
            profile->setHhPassword(peer->deviceId());
            m_configurations.insert(name, configuration);
            m_peers[name] = std::move(peer);
        }

        HMWiFiSync::Timing timing;
        timing.logonPause = 0ms;
        timing.connectionTryWindow = 400ms;
        timing.logonTimeoutSeconds = 5.0;
        timing.commandTimeoutSeconds = 5.0;
        HMSyncController::registerTransport(1, [ports = m_ports, timing](const auto &configuration) {
            auto transport = HMWiFiSync::initWithConfiguration(configuration, timing);
            transport->setServerPort(ports.value(configuration->configurationId()));
            return std::unique_ptr<HMSyncClient>(std::move(transport));
        });

        m_manager = std::make_shared<HMBackgroundSyncManager>(m_defaults, m_scheduler.function(), [] { return false; });
        m_manager->setDelegate(&m_delegate);
    }

    void TearDown() override
    {
        EXPECT_TRUE(platform::DispatchQueue::runMainQueueUntil([] { return !HMSyncController::getIsSynchronizing(); }, 30s));
        platform::DispatchQueue::runMainQueueUntilEmpty();
        m_manager->setDelegate(nullptr);
        m_manager.reset();
        HMSyncController::registerTransport(1, nullptr);
        for (auto &[name, peer] : m_peers)
            peer->stop();
    }

    // Runs the main queue and lets due syncs that wait for a running one look again, 0.1 s of the
    // test clock at a time, until the condition holds.
    bool pumpUntil(const std::function<bool()> &condition)
    {
        const auto deadline = std::chrono::steady_clock::now() + 60s;
        while (std::chrono::steady_clock::now() < deadline) {
            if (platform::DispatchQueue::runMainQueueUntil(condition, 20ms))
                return true;
            m_scheduler.advance(100ms);
        }
        return condition();
    }
    // Whether the events are the start and successful end of one profile, then of the other.
    static bool ranOneAfterTheOther(const QStringList &events)
    {
        if (events.size() != 4)
            return false;
        const QString one = events.at(0).section(QLatin1Char(' '), 1);
        const QString other = events.at(2).section(QLatin1Char(' '), 1);
        return one != other && events.at(0) == QStringLiteral("start ") + one
               && events.at(1) == QStringLiteral("finish ") + one && events.at(2) == QStringLiteral("start ") + other
               && events.at(3) == QStringLiteral("finish ") + other;
    }
    int finishedCount() const
    {
        return int(m_delegate.events().filter(QStringLiteral("finish ")).size());
    }
    // The requests a peer received, without the keep-alive pings.
    QStringList commands(const QString &name) const
    {
        const auto peer = m_peers.find(name);
        if (peer == m_peers.end())
            return {};
        QStringList paths = peer->second->requestLog();
        paths.removeIf([](const QString &path) { return !path.startsWith(QLatin1String("/hmx_log")); });
        return paths;
    }

    platform::UserDefaults m_defaults;
    BackgroundSyncHarness m_harness;
    std::map<QString, std::unique_ptr<phonepeer::PhonePeer>> m_peers;
    QMap<QString, int> m_ports;
    QMap<QString, std::shared_ptr<HMSyncControllerConfigurationProtocol>> m_configurations;
    ManualStepScheduler m_scheduler;
    RecordingManagerDelegate m_delegate;
    std::shared_ptr<HMBackgroundSyncManager> m_manager;
};

TEST_F(IntervalSyncOverWiFi, TwoProfilesRunOneAfterTheOtherAndAgainAfterTheirInterval)
{
    ASSERT_TRUE(m_manager->beginBackgroundExecutionForSyncConfiguration(m_configurations.value("first")));
    ASSERT_TRUE(m_manager->beginBackgroundExecutionForSyncConfiguration(m_configurations.value("second")));
    m_scheduler.advance(0ms);
    ASSERT_TRUE(pumpUntil([&] { return finishedCount() == 2; })) << m_delegate.events().join(", ").toStdString();
    EXPECT_TRUE(ranOneAfterTheOther(m_delegate.events())) << m_delegate.events().join(", ").toStdString();
    // Each sync clears a session left open (a cancel logoff), logs on and logs off.
    const QStringList oneSync{"/hmx_logoff", "/hmx_logon", "/hmx_logoff"};
    EXPECT_EQ(commands(QStringLiteral("first")), oneSync);
    EXPECT_EQ(commands(QStringLiteral("second")), oneSync);

    // "Automatic": both sync again 900 s after their last sync, still one at a time.
    ASSERT_TRUE(platform::DispatchQueue::runMainQueueUntil([] { return !HMSyncController::getIsSynchronizing(); }, 30s));
    m_scheduler.advance(900s);
    ASSERT_TRUE(pumpUntil([&] { return finishedCount() == 4; })) << m_delegate.events().join(", ").toStdString();
    EXPECT_TRUE(ranOneAfterTheOther(m_delegate.events().mid(4))) << m_delegate.events().join(", ").toStdString();
    EXPECT_EQ(commands(QStringLiteral("first")), oneSync + oneSync);
    EXPECT_EQ(commands(QStringLiteral("second")), oneSync + oneSync);
}

} // namespace
