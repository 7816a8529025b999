// The background sync manager on a clock the tests move: interval syncs, manual syncs, pause and
// resume, waiting for a running sync, and the end of a sync deciding what follows.

#include "ManualStepScheduler.h"
#include "BackgroundSyncHarness.h"

#include "foundation/GlobalVariables.h"
#include "foundation/QtPrinters.h"
#include "foundation/HMSyncProgressReporting.h"
#include "foundation/LogCapture.h"
#include "foundation/Lumberjack/DDLog.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/UserDefaults.h"
#include "sync/HMProfile.h"
#include "support/TestSupport.h"
#include "sync/HMBackgroundSyncManager.h"

#include <QStringList>

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

using namespace std::chrono_literals;

namespace {

// Keeps what the manager reports to the progress sheet.
class RecordingSheet final : public HMSyncProgressReporting
{
public:
    void setUserMessageDirectly(const QString &) override {}
    void setUserMessageDirectly(const QString &, double) override {}
    void setOverallMessageDirectly(const QString &, double) override {}
    void syncCompleted(const QString &errorText) override
    {
        std::lock_guard lock(mutex);
        completions << errorText;
    }
    void displayDeletionWarningWithMessage(const QString &) override {}
    void displayReauthorizationButtons() override {}

    std::mutex mutex;
    QStringList completions;
};

class BackgroundSyncManager : public testing::Test
{
protected:
    void SetUp() override
    {
        GlobalVariables::setIsSynchronizing(false);
        m_manager = std::make_shared<HMBackgroundSyncManager>(m_defaults, m_scheduler.function(),
                                                              [this] { return m_isNetworkUnreachable.load(); });
        m_manager->setDelegate(&m_delegate);
        GlobalVariables::setCurrentSyncProgressController(m_sheet);
    }

    void TearDown() override
    {
        // A run a chain started late may reach its logon only now: none may wait any more.
        m_harness.stopHolding();
        EXPECT_TRUE(waitForIdle()) << "awaited the end of every sync";
        m_manager->setDelegate(nullptr);
        GlobalVariables::setCurrentSyncProgressController(nullptr);
        GlobalVariables::setIsSynchronizing(false);
    }

    // Runs the main queue and lets the manager queue finish its steps, moving the test clock in
    // steps of 0.1 s (the pace at which a due sync looks for the end of a running one) until the
    // condition holds.
    bool pumpUntil(const std::function<bool()> &condition, std::chrono::seconds realLimit = 20s)
    {
        const auto deadline = std::chrono::steady_clock::now() + realLimit;
        while (std::chrono::steady_clock::now() < deadline) {
            drainManagerQueue();
            if (platform::DispatchQueue::runMainQueueUntil(condition, 5ms))
                return true;
            m_scheduler.advance(100ms);
        }
        return condition();
    }
    // Waits until every step queued on the manager queue so far has run.
    void drainManagerQueue()
    {
        std::atomic<bool> drained = false;
        m_manager->syncManagerQueue()->barrierAsync([&drained] { drained = true; });
        platform::DispatchQueue::runMainQueueUntil([&drained] { return drained.load(); }, 10s);
    }
    // Lets every step and every main-queue delivery run without moving the clock.
    void settle()
    {
        for (int round = 0; round < 3; ++round) {
            drainManagerQueue();
            platform::DispatchQueue::runMainQueueUntilEmpty();
        }
    }
    bool waitForIdle()
    {
        return pumpUntil([] { return !HMSyncController::getIsSynchronizing(); }) && (settle(), true);
    }
    void advance(std::chrono::milliseconds by)
    {
        m_scheduler.advance(by);
        settle();
    }

    platform::UserDefaults m_defaults;
    ManualStepScheduler m_scheduler;
    std::atomic<bool> m_isNetworkUnreachable = false;
    BackgroundSyncHarness m_harness;
    RecordingManagerDelegate m_delegate;
    std::shared_ptr<RecordingSheet> m_sheet = std::make_shared<RecordingSheet>();
    std::shared_ptr<HMBackgroundSyncManager> m_manager;
};

TEST(BackgroundSyncIntervals, LabelsGiveTheSecondsTheySay)
{
    struct Row { const char *label; QVariant configured; std::optional<qint64> seconds; };
    const Row rows[] = {{"Manual (background sync off)", QVariant(), std::nullopt},
                        {"Manual with background sync on", 0, std::nullopt},
                        {"Automatic", 15 * 60, 900},
                        {"15 Minutes", 30 * 60, 900},
                        {"30 Minutes", 45 * 60, 1800},
                        {"One Hour", 60 * 60, 3600},
                        {"Two Hours", 75 * 60, 7200},
                        {"Four Hours", 90 * 60, 14400},
                        {"an unlisted number of seconds", 120, 120},
                        {"a negative number", -60, std::nullopt},
                        {"a text", QStringLiteral("soon"), std::nullopt}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.label);
        EXPECT_EQ(HMBackgroundSyncManager::secondsBetweenIntervalSyncs(row.configured), row.seconds);
    }
}

TEST_F(BackgroundSyncManager, IntervalProfileSyncsAtOnceThenOneIntervalAfterEachSync)
{
    const auto configuration = m_harness.configuration(QStringLiteral("apple"), 90);
    ASSERT_TRUE(m_manager->beginBackgroundExecutionForSyncConfiguration(configuration));
    advance(0ms);
    ASSERT_TRUE(pumpUntil([&] { return m_delegate.count(QStringLiteral("finish apple")) == 1; }));
    ASSERT_TRUE(waitForIdle());

    // "Four Hours" waits four hours after the end of the sync, not 90 minutes.
    advance(4h - 1s);
    EXPECT_EQ(m_delegate.count(QStringLiteral("start apple")), 1);
    advance(1s);
    ASSERT_TRUE(pumpUntil([&] { return m_delegate.count(QStringLiteral("finish apple")) == 2; }));
    EXPECT_EQ(m_delegate.events(), (QStringList{"start apple", "finish apple", "start apple", "finish apple"}));
    const QStringList completions = m_sheet->completions;
    EXPECT_FALSE(completions.isEmpty());
    EXPECT_EQ(completions.count(QString()), completions.size()) << "every run ended as a success";
}

TEST_F(BackgroundSyncManager, BeginningAProfileTwiceKeepsOneEntryAndOneChain)
{
    ASSERT_TRUE(m_manager->beginBackgroundExecutionForSyncConfiguration(m_harness.configuration("apple", 15)));
    EXPECT_TRUE(m_manager->beginBackgroundExecutionForSyncConfiguration(m_harness.configuration("apple", 90)));
    EXPECT_FALSE(m_manager->beginBackgroundExecutionForSyncConfiguration(m_harness.configuration("off", 0)));
    ASSERT_EQ(m_manager->syncConfigurations().size(), 1u);

    advance(0ms);
    ASSERT_TRUE(waitForIdle());
    advance(15min);
    ASSERT_TRUE(waitForIdle());
    EXPECT_EQ(m_delegate.count(QStringLiteral("start apple")), 2) << "the first object's 900 s interval holds";
}

TEST_F(BackgroundSyncManager, ErroredRunIsNotRescheduled)
{
    m_harness.failRunsOf(QStringLiteral("failing"));
    ASSERT_TRUE(m_manager->beginBackgroundExecutionForSyncConfiguration(m_harness.configuration("failing", 15)));
    advance(0ms);
    ASSERT_TRUE(pumpUntil([&] { return m_delegate.count(QStringLiteral("finish failing errored")) == 1; }));
    ASSERT_TRUE(waitForIdle());
    advance(24h);
    EXPECT_EQ(m_delegate.count(QStringLiteral("start failing")), 1);
    ASSERT_EQ(m_sheet->completions.size(), 1);
    EXPECT_FALSE(m_sheet->completions.front().isEmpty()) << "the sheet shows why the sync did not finish";
}

TEST_F(BackgroundSyncManager, UnreachableNetworkEndsTheChain)
{
    ASSERT_TRUE(m_manager->beginBackgroundExecutionForSyncConfiguration(m_harness.configuration("apple", 15)));
    m_isNetworkUnreachable = true;
    advance(0ms);
    ASSERT_TRUE(pumpUntil([&] { return m_delegate.count(QStringLiteral("finish apple")) == 1; }));
    ASSERT_TRUE(waitForIdle());
    advance(1h);
    EXPECT_EQ(m_delegate.count(QStringLiteral("start apple")), 1);
}

TEST_F(BackgroundSyncManager, CloudPushModeSchedulesNoIntervalSync)
{
    m_defaults.setInteger(119, QStringLiteral("AutoSyncronizationIntervalSeconds"));
    m_defaults.setObject(QStringLiteral("quillnest"), QStringLiteral("SyncMethodSetting"));
    ASSERT_TRUE(m_manager->beginBackgroundExecutionForSyncConfiguration(m_harness.configuration("apple", 15)));
    advance(0ms);
    ASSERT_TRUE(waitForIdle());
    advance(1h);
    EXPECT_EQ(m_delegate.count(QStringLiteral("start apple")), 1);
}

TEST_F(BackgroundSyncManager, TwoDueProfilesRunOneAfterTheOther)
{
    m_harness.holdRuns();
    ASSERT_TRUE(m_manager->beginBackgroundExecutionForSyncConfiguration(m_harness.configuration("first", 15)));
    ASSERT_TRUE(m_manager->beginBackgroundExecutionForSyncConfiguration(m_harness.configuration("second", 15)));
    advance(0ms);
    ASSERT_TRUE(pumpUntil([&] { return m_harness.heldCount() == 1 && m_delegate.events().size() == 1; }));
    // Both are due; whichever started first, the other waits however long that one runs.
    advance(10s);
    EXPECT_EQ(m_harness.heldCount(), 1);
    const QStringList started = m_delegate.events();
    ASSERT_EQ(started.size(), 1);
    const QString one = started.front().section(QLatin1Char(' '), 1);
    const QString other = one == QLatin1String("first") ? QStringLiteral("second") : QStringLiteral("first");

    m_harness.releaseHeldSyncs();
    ASSERT_TRUE(pumpUntil([&] { return m_harness.heldCount() == 1 && m_delegate.count("start " + other) == 1; }));
    m_harness.releaseHeldSyncs();
    ASSERT_TRUE(pumpUntil([&] { return m_delegate.count("finish " + other) == 1; }));
    EXPECT_EQ(m_delegate.events(), (QStringList{"start " + one, "finish " + one, "start " + other, "finish " + other}));
}

TEST_F(BackgroundSyncManager, DueSyncWaitsForASyncStartedElsewhere)
{
    m_harness.holdRuns();
    const auto outsider = HMSyncController::initWithConfiguration(m_harness.configuration("outsider", 0));
    outsider->startProcessing();
    ASSERT_TRUE(HMSyncController::getIsSynchronizing());

    ASSERT_TRUE(m_manager->beginBackgroundExecutionForSyncConfiguration(m_harness.configuration("apple", 15)));
    advance(0ms);
    advance(5s);
    EXPECT_TRUE(m_delegate.events().isEmpty());
    m_harness.releaseHeldSyncs();
    ASSERT_TRUE(pumpUntil([&] { return m_harness.heldCount() == 1; })) << "the waiting profile starts";
    m_harness.releaseHeldSyncs();
    ASSERT_TRUE(pumpUntil([&] { return m_delegate.count(QStringLiteral("finish apple")) == 1; }));
    ASSERT_TRUE(waitForIdle());
    advance(15min);
    EXPECT_EQ(m_delegate.count(QStringLiteral("start apple")), 2) << "its chain goes on";
}

TEST_F(BackgroundSyncManager, ManualSyncWhileAnotherRunsIsRefusedAndCancelReachesTheRunningSync)
{
    // A manual sync runs and ends first, so the manager keeps it as its one-time controller.
    ASSERT_TRUE(m_manager->runManualBackgroundSyncWithConfiguration(m_harness.configuration("manual", 0)));
    ASSERT_TRUE(pumpUntil([&] { return m_delegate.count(QStringLiteral("finish manual")) == 1; }));
    ASSERT_TRUE(waitForIdle());
    EXPECT_EQ(m_manager->syncControllerForCurrentProcess(), nullptr);

    m_harness.holdRuns();
    ASSERT_TRUE(m_manager->beginBackgroundExecutionForSyncConfiguration(m_harness.configuration("apple", 15)));
    advance(0ms);
    ASSERT_TRUE(pumpUntil([&] { return m_harness.heldCount() == 1; }));
    const auto current = m_manager->syncControllerForCurrentProcess();
    ASSERT_NE(current, nullptr);
    EXPECT_EQ(current->controllerConfiguration()->configurationId(), QStringLiteral("apple"));

    {
        LogCapture log(LOG_LEVEL_WARN);
        EXPECT_FALSE(m_manager->runManualBackgroundSyncWithConfiguration(m_harness.configuration("manual", 0)));
        EXPECT_TRUE(log.lines().contains(
            QStringLiteral("A synchronization is running; the manual synchronization was not started")))
            << log.lines().join(QLatin1Char('\n')).toStdString();
    }
    m_harness.releaseHeldSyncs();
    ASSERT_TRUE(pumpUntil([&] { return m_delegate.count(QStringLiteral("finish apple")) == 1; }));
    ASSERT_TRUE(waitForIdle());
    EXPECT_EQ(m_delegate.count(QStringLiteral("start manual")), 1) << "the refused request started nothing";
    EXPECT_FALSE(GlobalVariables::getIsSynchronizing());
}

TEST_F(BackgroundSyncManager, AcceptedManualSyncGoesBeforeADueIntervalSync)
{
    ASSERT_TRUE(m_manager->beginBackgroundExecutionForSyncConfiguration(m_harness.configuration("apple", 15)));
    ASSERT_TRUE(m_manager->runManualBackgroundSyncWithConfiguration(m_harness.configuration("manual", 0)));
    EXPECT_TRUE(GlobalVariables::getIsSynchronizing()) << "windows see the accepted sync at once";
    advance(0ms);
    ASSERT_TRUE(pumpUntil([&] { return m_delegate.count(QStringLiteral("finish apple")) == 1; }));
    EXPECT_EQ(m_delegate.events(), (QStringList{"start manual", "finish manual", "start apple", "finish apple"}));
}

TEST_F(BackgroundSyncManager, BackToBackManualSyncsEachReportTheirEnd)
{
    ASSERT_TRUE(m_manager->runManualBackgroundSyncWithConfiguration(m_harness.configuration("first", 0)));
    // The first run is over, but its end has not reached the main queue when the second starts.
    ASSERT_TRUE(testsupport::waitUntil(
        [] { return !HMSyncController::getIsSynchronizing() && !GlobalVariables::getIsSynchronizing(); }));
    ASSERT_TRUE(m_delegate.events().isEmpty()) << "the main queue has not run yet";
    ASSERT_TRUE(m_manager->runManualBackgroundSyncWithConfiguration(m_harness.configuration("second", 0)));
    ASSERT_TRUE(pumpUntil([&] { return m_delegate.count(QStringLiteral("finish second")) == 1; }));
    EXPECT_EQ(m_delegate.events(), (QStringList{"start first", "finish first", "start second", "finish second"}));
}

TEST_F(BackgroundSyncManager, PauseStopsPendingSyncsAndResumeRestartsEachOnce)
{
    ASSERT_TRUE(m_manager->beginBackgroundExecutionForSyncConfiguration(m_harness.configuration("first", 15)));
    ASSERT_TRUE(m_manager->beginBackgroundExecutionForSyncConfiguration(m_harness.configuration("second", 45)));
    advance(0ms);
    ASSERT_TRUE(pumpUntil([&] { return m_delegate.count("finish first") == 1 && m_delegate.count("finish second") == 1; }));
    ASSERT_TRUE(waitForIdle());

    m_manager->pauseBackgroundSynchronization();
    EXPECT_TRUE(m_manager->isPaused());
    advance(2h);
    EXPECT_EQ(m_delegate.count(QStringLiteral("start first")), 1);
    EXPECT_EQ(m_delegate.count(QStringLiteral("start second")), 1);

    // Resuming twice must not give either profile a second chain.
    m_manager->restartBackgroundSynchronization();
    m_manager->restartBackgroundSynchronization();
    EXPECT_FALSE(m_manager->isPaused());
    advance(15min);
    ASSERT_TRUE(pumpUntil([&] { return m_delegate.count(QStringLiteral("finish first")) == 2; }));
    ASSERT_TRUE(waitForIdle());
    EXPECT_EQ(m_delegate.count(QStringLiteral("start first")), 2);
    EXPECT_EQ(m_delegate.count(QStringLiteral("start second")), 1);
    advance(15min);
    ASSERT_TRUE(pumpUntil([&] {
        return m_delegate.count(QStringLiteral("finish first")) == 3 && m_delegate.count(QStringLiteral("finish second")) == 2;
    })) << m_delegate.events().join(QLatin1Char(' ')).toStdString();
    ASSERT_TRUE(waitForIdle());
    EXPECT_EQ(m_delegate.count(QStringLiteral("start first")), 3);
    EXPECT_EQ(m_delegate.count(QStringLiteral("start second")), 2);
}

TEST_F(BackgroundSyncManager, EndedProfileSyncsNoMoreAndANewObjectStartsOneChain)
{
    const auto first = m_harness.configuration("apple", 15);
    ASSERT_TRUE(m_manager->beginBackgroundExecutionForSyncConfiguration(first));
    advance(0ms);
    ASSERT_TRUE(waitForIdle());
    m_manager->endBackgroundExecutionForSyncConfiguration(m_harness.configuration("apple", 15));
    EXPECT_TRUE(m_manager->syncConfigurations().empty());
    advance(1h);
    EXPECT_EQ(m_delegate.count(QStringLiteral("start apple")), 1);

    ASSERT_TRUE(m_manager->beginBackgroundExecutionForSyncConfiguration(m_harness.configuration("apple", 15)));
    advance(0ms);
    ASSERT_TRUE(waitForIdle());
    advance(15min);
    ASSERT_TRUE(waitForIdle());
    EXPECT_EQ(m_delegate.count(QStringLiteral("start apple")), 3);
}

TEST_F(BackgroundSyncManager, CustomBlocksRunInPassesUntilCleared)
{
    std::atomic<int> runs = 0;
    m_manager->addConcurrentCustomBlock([&runs] { ++runs; });
    m_manager->addConcurrentCustomBlock([&runs] { ++runs; });
    m_manager->setConcurrentCustomBlockExecutionIntervalInSeconds(5);
    m_manager->beginConcurrentCustomBlockExecution();
    ASSERT_TRUE(pumpUntil([&] { return runs.load() == 2; }, 10s));
    settle();
    advance(5s);
    ASSERT_TRUE(pumpUntil([&] { return runs.load() == 4; }, 10s));
    m_manager->clearConcurrentCustomBlocks();
    settle();
    advance(5s);
    advance(5s);
    EXPECT_EQ(runs.load(), 4);
}

} // namespace

namespace {

// A push client that records what it was handed.
class RecordingPushClient final : public HMPushClient
{
public:
    void setDelegate(HMXMPPClientDelegate *delegate) override { calls << (delegate ? "delegate" : "no delegate"); }
    void setHostName(const QString &hostName) override { calls << "host " + hostName; }
    void setUserName(const QString &userName) override { calls << "user " + userName; }
    void setPassword(const QString &password) override { calls << "password " + password; }
    void setDeviceName(const QString &deviceName) override { calls << "device " + deviceName; }
    void disconnect() override { calls << QStringLiteral("disconnect"); }

    QStringList calls;
};

} // namespace

TEST_F(BackgroundSyncManager, TurningOffXmppHandsThePushSettingsToANewClientOnlyWhileProfilesAreListed)
{
    int made = 0;
    auto client = std::make_shared<RecordingPushClient>();
    HMBackgroundSyncManager::setPushClientMaker([&] {
        ++made;
        return client;
    });
    const auto configuration = m_harness.configuration(QStringLiteral("apple"), 90);
    m_harness.profile(QStringLiteral("apple"))->setHhUserId(QStringLiteral("bob@example.com"));
    m_harness.profile(QStringLiteral("apple"))->setHhPassword(QStringLiteral("secret"));
    m_manager->turnOffXmppForConfiguration(configuration);
    EXPECT_EQ(made, 0);
    ASSERT_TRUE(m_manager->beginBackgroundExecutionForSyncConfiguration(configuration));
    m_manager->turnOffXmppForConfiguration(configuration);
    EXPECT_EQ(made, 1);
    EXPECT_EQ(client->calls, QStringList({QStringLiteral("delegate"),
                                          QStringLiteral("host ") + configuration->stringValueForSetting(35),
                                          QStringLiteral("user bob#example.com@localhost"),
                                          QStringLiteral("password 5ebe2294ecd0e0f08eab7690d2a6ee69"),
                                          QStringLiteral("device apple"), QStringLiteral("disconnect"),
                                          QStringLiteral("no delegate")}));
    HMBackgroundSyncManager::setPushClientMaker({});
    waitForIdle();
}
