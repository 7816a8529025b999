// The Outlook autosync check on the whole road: the timer's check asks the main window to
// synchronise, the window takes the background sync manager's manual road, a real sync controller
// runs against the scripted fake transport, and the end of the sync brings the timer back.

#include "BackgroundSyncHarness.h"

#include "app/HMAppDelegate.h"
#include "app/HMAutosyncMainWindow.h"
#include "foundation/GlobalVariables.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/RunLoopTimer.h"
#include "platform/foundation/UserDefaults.h"
#include "sync/HMBackgroundSyncManager.h"
#include "sync/HMProfile.h"
#include "sync/HMSyncController.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

// Synchronises its current profile as the main window does: through the manager's manual road.
class ManualRoadWindow final : public HMAutosyncMainWindow
{
public:
    ManualRoadWindow(std::shared_ptr<HMBackgroundSyncManager> manager,
                     std::shared_ptr<HMSyncControllerConfigurationProtocol> configuration)
        : m_manager(std::move(manager)), m_configuration(std::move(configuration))
    {
    }
    void synchronizeProfile(const void *) override
    {
        ++requests;
        if (m_manager->runManualBackgroundSyncWithConfiguration(m_configuration))
            ++accepted;
    }
    void shouldAutosyncQuillnest() override {}

    int requests = 0;
    int accepted = 0;

private:
    std::shared_ptr<HMBackgroundSyncManager> m_manager;
    std::shared_ptr<HMSyncControllerConfigurationProtocol> m_configuration;
};

class AutosyncRun : public testing::Test
{
protected:
    void SetUp() override
    {
        GlobalVariables::setIsSynchronizing(false);
        GlobalVariables::setLastWakeTime({});
        GlobalVariables::setAdvancedSettingsIsOpen(false);
        m_manager = std::make_shared<HMBackgroundSyncManager>(
            m_defaults, [](std::chrono::milliseconds, std::function<void()>) {}, [] { return false; });
        m_configuration = m_harness.configuration(QStringLiteral("outlook"), 30);
        m_window = std::make_shared<ManualRoadWindow>(m_manager, m_configuration);
        m_delegate.setProfiles({m_harness.profile(QStringLiteral("outlook"))});
        m_delegate.setBackgroundSyncManager(m_manager);
        m_delegate.setMainWindowSource([this] { return m_window; });
        m_delegate.setOutlookChangeTest([](const QString &) { return true; });
        m_delegate.observeSchedulingNotifications();
    }

    void TearDown() override
    {
        m_harness.releaseHeldSyncs();
        EXPECT_TRUE(platform::DispatchQueue::runMainQueueUntil([] { return !HMSyncController::getIsSynchronizing(); }, 20s));
        platform::DispatchQueue::runMainQueueUntilEmpty();
        m_delegate.stopOutlookAutosyncTimer();
        GlobalVariables::setIsSynchronizing(false);
    }

    bool isTimerRunning() const
    {
        const auto timer = m_delegate.outlookAutosyncTimer();
        return timer && timer->isValid();
    }

    platform::UserDefaults m_defaults;
    BackgroundSyncHarness m_harness;
    std::shared_ptr<HMBackgroundSyncManager> m_manager;
    std::shared_ptr<HMSyncControllerConfigurationProtocol> m_configuration;
    std::shared_ptr<ManualRoadWindow> m_window;
    HMAppDelegate m_delegate;
};

TEST_F(AutosyncRun, CheckStartsASyncWhoseEndRestartsTheTimer)
{
    m_delegate.startOutlookAutosyncTimer();
    m_delegate.checkForOutlookAutosync();
    EXPECT_EQ(m_window->accepted, 1);
    EXPECT_FALSE(isTimerRunning()) << "the timer waits for the end of the sync";

    const auto profile = m_harness.profile(QStringLiteral("outlook"));
    ASSERT_TRUE(platform::DispatchQueue::runMainQueueUntil(
        [&] { return profile->lastOutlookAutosyncDate().isValid() && isTimerRunning(); }, 20s))
        << "awaited the end of the sync to stamp the profile and restart the timer";
    EXPECT_EQ(m_delegate.outlookAutosyncTimer()->timeInterval(), 900.0);
}

} // namespace
