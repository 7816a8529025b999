// The scheduling part of the application delegate: the Outlook autosync timer, the blackout window,
// the autosync check and the hand-over of background profiles, on a fixed clock and with a main window
// and an Outlook change test that the tests script.

#include "app/HMAppDelegate.h"
#include "app/HMAutosyncMainWindow.h"
#include "foundation/GlobalVariables.h"
#include "foundation/QtPrinters.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/RunLoopTimer.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/UserDefaults.h"
#include "sync/HMBackgroundSyncManager.h"
#include "sync/HMConfiguration.h"
#include "sync/HMProfile.h"
#include "sync/HMProfileManager.h"

#include <QDateTime>
#include <QStringList>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

const QString kApple = QStringLiteral("ContactManagerApple");
const QString kOutlook = QStringLiteral("ContactManagerOutlook14");

// Stands in for the main window: counts what the autosync check asks of it and, when told to,
// starts a sync as the real window's Synchronize does.
class FakeMainWindow final : public HMAutosyncMainWindow
{
public:
    void synchronizeProfile(const void *sender) override
    {
        ++synchronizeCount;
        lastSender = sender;
        if (startsSync)
            GlobalVariables::setIsSynchronizing(true);
    }
    void shouldAutosyncQuillnest() override { ++cloudPollCount; }

    bool startsSync = true;
    int synchronizeCount = 0;
    int cloudPollCount = 0;
    const void *lastSender = nullptr;
};

std::shared_ptr<HMProfile> makeProfile(const QString &filename, const QString &contactManager, qint64 intervalCode)
{
    auto profile = std::make_shared<HMProfile>();
    profile->setFilename(filename);
    profile->setContactManagerName(contactManager);
    profile->setBackgroundSyncEnabled(intervalCode > 0);
    profile->setBackgroundSyncInterval(intervalCode);
    return profile;
}

class AppDelegateScheduling : public testing::Test
{
protected:
    void SetUp() override
    {
        setNow(QDateTime(QDate(2026, 12, 7), QTime(12, 0), Qt::UTC));
        platform::Clock::setSource([this] { return QDateTime::fromMSecsSinceEpoch(m_nowMs.load(), Qt::UTC); });
        GlobalVariables::setIsSynchronizing(false);
        GlobalVariables::setLastWakeTime({});
        GlobalVariables::setAdvancedSettingsIsOpen(false);
        GlobalVariables::setQuillnestLastModifiedDictionary({});
        m_window = std::make_shared<FakeMainWindow>();
        m_delegate.setMainWindowSource([this] { return m_window; });
        m_delegate.setOutlookChangeTest([this](const QString &conduits) {
            m_askedConduits << conduits;
            return m_outlookChanged;
        });
    }

    void TearDown() override
    {
        m_delegate.stopOutlookAutosyncTimer();
        platform::Clock::setSource({});
        GlobalVariables::setIsSynchronizing(false);
        GlobalVariables::setLastWakeTime({});
        GlobalVariables::setAdvancedSettingsIsOpen(false);
        GlobalVariables::setQuillnestLastModifiedDictionary({});
    }

    void setNow(const QDateTime &now) { m_nowMs.store(now.toMSecsSinceEpoch()); }
    QDateTime now() const { return QDateTime::fromMSecsSinceEpoch(m_nowMs.load(), Qt::UTC); }
    void advanceSeconds(qint64 seconds) { m_nowMs.fetch_add(seconds * 1000); }
    bool isTimerRunning() const
    {
        const auto timer = m_delegate.outlookAutosyncTimer();
        return timer && timer->isValid();
    }

    std::atomic<qint64> m_nowMs{0};
    HMAppDelegate m_delegate;
    std::shared_ptr<FakeMainWindow> m_window;
    bool m_outlookChanged = false;
    QStringList m_askedConduits;
};

TEST_F(AppDelegateScheduling, TimerIntervalIsTheLastListedCode)
{
    struct Row { const char *name; std::vector<qint64> codes; double seconds; };
    const Row rows[] = {{"15 minutes then manual", {30, 0}, 900},
                        {"manual then four hours", {0, 90}, 14400},
                        {"no listed code", {0, 7}, 60},
                        {"no profile", {}, 60},
                        {"automatic checks every minute", {15}, 60},
                        {"two hours after one hour", {60, 75}, 7200},
                        {"30 minutes", {45}, 1800}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        QList<std::shared_ptr<HMProfile>> profiles;
        for (const qint64 code : row.codes)
            profiles << makeProfile(QStringLiteral("p%1").arg(profiles.size()), kOutlook, code);
        m_delegate.setProfiles(profiles);
        EXPECT_EQ(m_delegate.outlookAutosyncTimerInterval(), row.seconds);
        m_delegate.startOutlookAutosyncTimer();
        ASSERT_TRUE(isTimerRunning());
        EXPECT_EQ(m_delegate.outlookAutosyncTimer()->timeInterval(), row.seconds);
    }
}

TEST_F(AppDelegateScheduling, ChangingTheIntervalLeavesExactlyOneTimer)
{
    const auto profile = makeProfile(QStringLiteral("outlook"), kOutlook, 30);
    m_delegate.setProfiles({profile});
    m_delegate.configureOutlookAutosync(true);
    const auto first = m_delegate.outlookAutosyncTimer();
    ASSERT_TRUE(first && first->isValid());
    EXPECT_EQ(first->timeInterval(), 900.0);

    profile->setBackgroundSyncInterval(60);
    m_delegate.configureOutlookAutosync(true);
    const auto second = m_delegate.outlookAutosyncTimer();
    ASSERT_TRUE(second && second->isValid());
    EXPECT_EQ(second->timeInterval(), 3600.0);
    EXPECT_TRUE(second->repeats());
    EXPECT_FALSE(first->isValid());

    m_delegate.configureOutlookAutosync(false);
    EXPECT_FALSE(isTimerRunning());
    EXPECT_FALSE(second->isValid());
}

TEST_F(AppDelegateScheduling, BlackoutWindowsIncludeBothEndsAndMayWrapMidnight)
{
    struct Row { const char *name; int startMinutes; int endMinutes; QTime time; bool isBlackout; };
    const Row rows[] = {
        {"just before the day window", 480, 1080, QTime(7, 59), true},
        {"at the day window's start", 480, 1080, QTime(8, 0, 0), false},
        {"inside the day window", 480, 1080, QTime(12, 0), false},
        {"at the day window's end", 480, 1080, QTime(18, 0, 0), false},
        {"just after the day window", 480, 1080, QTime(18, 1), true},
        {"night window, late evening", 1320, 360, QTime(23, 0), false},
        {"night window, at its start", 1320, 360, QTime(22, 0), false},
        {"night window, after midnight", 1320, 360, QTime(3, 0), false},
        {"night window, at its end", 1320, 360, QTime(6, 0), false},
        {"night window, just after its end", 1320, 360, QTime(6, 1), true},
        {"night window, at noon", 1320, 360, QTime(12, 0), true},
        {"night window, just before its start", 1320, 360, QTime(21, 59), true},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const auto profile = makeProfile(QStringLiteral("p"), kOutlook, 15);
        profile->setUseBlackoutPeriod(true);
        profile->setSyncBetweenTheseTimesStartMinutes(row.startMinutes);
        profile->setSyncBetweenTheseTimesEndMinutes(row.endMinutes);
        m_delegate.setProfiles({profile});
        setNow(QDateTime(QDate(2026, 12, 7), row.time, Qt::UTC));
        EXPECT_EQ(m_delegate.isBlackoutPeriod(), row.isBlackout);
    }
}

TEST_F(AppDelegateScheduling, OneProfileOutsideItsWindowBlocksTheCheck)
{
    const auto windowed = makeProfile(QStringLiteral("windowed"), kOutlook, 15);
    windowed->setUseBlackoutPeriod(true);
    windowed->setSyncBetweenTheseTimesStartMinutes(480);
    windowed->setSyncBetweenTheseTimesEndMinutes(1080);
    const auto open = makeProfile(QStringLiteral("open"), kOutlook, 15);
    m_delegate.setProfiles({open, windowed});
    m_outlookChanged = true;

    setNow(QDateTime(QDate(2026, 12, 7), QTime(20, 0), Qt::UTC));
    EXPECT_TRUE(m_delegate.isBlackoutPeriod());
    m_delegate.checkForOutlookAutosync();
    EXPECT_TRUE(m_askedConduits.isEmpty());
    EXPECT_EQ(m_window->synchronizeCount, 0);

    windowed->setUseBlackoutPeriod(false);
    EXPECT_FALSE(m_delegate.isBlackoutPeriod());
    m_delegate.checkForOutlookAutosync();
    EXPECT_EQ(m_window->synchronizeCount, 1);
}

TEST_F(AppDelegateScheduling, CheckStopsForWakeSettingsRunningSyncAndRecentSync)
{
    const auto profile = makeProfile(QStringLiteral("outlook"), kOutlook, 15);
    m_delegate.setProfiles({profile});
    m_outlookChanged = true;

    GlobalVariables::setLastWakeTime(now().addSecs(-49));
    m_delegate.checkForOutlookAutosync();
    EXPECT_TRUE(m_askedConduits.isEmpty()) << "49 s after a wake";
    GlobalVariables::setLastWakeTime(now().addSecs(-51));

    GlobalVariables::setAdvancedSettingsIsOpen(true);
    m_delegate.checkForOutlookAutosync();
    EXPECT_TRUE(m_askedConduits.isEmpty()) << "settings window open";
    GlobalVariables::setAdvancedSettingsIsOpen(false);

    GlobalVariables::setIsSynchronizing(true);
    m_delegate.checkForOutlookAutosync();
    EXPECT_TRUE(m_askedConduits.isEmpty()) << "sync running";
    GlobalVariables::setIsSynchronizing(false);

    // A 60 s timer waits until 59 s have passed since the last sync.
    profile->setLastOutlookAutosyncDate(now().addSecs(-30));
    m_delegate.checkForOutlookAutosync();
    EXPECT_TRUE(m_askedConduits.isEmpty()) << "30 s after the last sync";
    profile->setLastOutlookAutosyncDate(now().addSecs(-59));
    m_delegate.checkForOutlookAutosync();
    EXPECT_EQ(m_askedConduits, QStringList{QStringLiteral("ADT")});
    EXPECT_EQ(m_window->synchronizeCount, 1);
    EXPECT_EQ(m_window->lastSender, &m_delegate);
}

TEST_F(AppDelegateScheduling, LongTimerWaitsItsWholeIntervalSinceTheLastSync)
{
    const auto profile = makeProfile(QStringLiteral("outlook"), kOutlook, 30);
    profile->setLastOutlookAutosyncDate(now().addSecs(-898));
    m_delegate.setProfiles({profile});
    m_outlookChanged = true;
    m_delegate.checkForOutlookAutosync();
    EXPECT_TRUE(m_askedConduits.isEmpty());
    advanceSeconds(2);
    m_delegate.checkForOutlookAutosync();
    EXPECT_EQ(m_askedConduits.size(), 1);
}

TEST_F(AppDelegateScheduling, ConduitTextJoinsEveryProfileInOrder)
{
    const auto first = makeProfile(QStringLiteral("first"), kOutlook, 15);
    first->setTaskSyncEnabled(false);
    const auto second = makeProfile(QStringLiteral("second"), kOutlook, 15);
    second->setTaskSyncEnabled(false);
    const auto third = makeProfile(QStringLiteral("third"), kOutlook, 15);
    third->setContactSyncEnabled(false);
    third->setCalendarSyncEnabled(false);
    m_delegate.setProfiles({first, second, third});
    m_delegate.checkForOutlookAutosync();
    EXPECT_EQ(m_askedConduits, QStringList{QStringLiteral("ADADT")});
}

TEST_F(AppDelegateScheduling, TimerRunsAgainWhenTheWindowStartsNoSync)
{
    const auto profile = makeProfile(QStringLiteral("outlook"), kOutlook, 45);
    m_delegate.setProfiles({profile});
    m_outlookChanged = true;

    m_delegate.startOutlookAutosyncTimer();
    m_window->startsSync = true;
    m_delegate.checkForOutlookAutosync();
    EXPECT_EQ(m_window->synchronizeCount, 1);
    EXPECT_FALSE(isTimerRunning()) << "a started sync restarts the timer when it ends";

    GlobalVariables::setIsSynchronizing(false);
    m_delegate.startOutlookAutosyncTimer();
    m_window->startsSync = false;
    m_delegate.checkForOutlookAutosync();
    EXPECT_EQ(m_window->synchronizeCount, 2);
    ASSERT_TRUE(isTimerRunning()) << "a refused sync must not leave automatic syncs stopped";
    EXPECT_EQ(m_delegate.outlookAutosyncTimer()->timeInterval(), 1800.0);
}

TEST_F(AppDelegateScheduling, CloudProfilePollsOncePerCloudInterval)
{
    const auto profile = makeProfile(QStringLiteral("cloud"), kOutlook, 15);
    profile->setSyncMethod(HMSyncMethod::Quillnest);
    profile->setLastOutlookAutosyncDate(now().addSecs(-1000));
    m_delegate.setProfiles({profile});
    GlobalVariables::setQuillnestLastModifiedDictionary({{QStringLiteral("ContactsLastModified"), 1}});

    // Timer 60 s: the cloud interval is 959 s.
    m_delegate.checkForOutlookAutosync();
    EXPECT_EQ(m_window->cloudPollCount, 1);
    EXPECT_EQ(profile->lastQuillnestAutosyncCheck(), now());
    EXPECT_FALSE(GlobalVariables::getQuillnestLastModifiedDictionary().isEmpty())
        << "a cloud profile's change dates are kept for the change test";

    for (int second = 60; second <= 900; second += 60) {
        advanceSeconds(60);
        m_delegate.checkForOutlookAutosync();
    }
    EXPECT_EQ(m_window->cloudPollCount, 1);
    advanceSeconds(60);
    m_delegate.checkForOutlookAutosync();
    EXPECT_EQ(m_window->cloudPollCount, 2);
    EXPECT_EQ(m_window->synchronizeCount, 0);
}

TEST_F(AppDelegateScheduling, WithoutCloudProfilesEveryCheckClearsTheCloudDates)
{
    m_delegate.setProfiles({makeProfile(QStringLiteral("outlook"), kOutlook, 15)});
    GlobalVariables::setQuillnestLastModifiedDictionary({{QStringLiteral("ContactsLastModified"), 1}});
    m_delegate.checkForOutlookAutosync();
    EXPECT_TRUE(GlobalVariables::getQuillnestLastModifiedDictionary().isEmpty());

    // The cloud's dates come as the notification's object, posted from the cloud client's thread; its
    // user info is not read, and the dates outlive the post.
    m_delegate.observeSchedulingNotifications();
    std::thread poster([] {
        const QVariantMap posted{{QStringLiteral("TasksLastModified"), 2}};
        platform::NotificationCenter::defaultCenter().postNotificationName(
            QStringLiteral("kHMQuillnestLastModified"), &posted, {{QStringLiteral("ContactsLastModified"), 9}});
    });
    poster.join();
    const QVariantMap dates{{QStringLiteral("TasksLastModified"), 2}};
    ASSERT_TRUE(platform::DispatchQueue::runMainQueueUntil(
        [&] { return GlobalVariables::getQuillnestLastModifiedDictionary() == dates; }, std::chrono::seconds(10)))
        << "awaited the cloud's dates";
    m_delegate.shouldAutosyncQuillnest(platform::Notification{QStringLiteral("kHMQuillnestLastModified"), nullptr,
                                                              {{QStringLiteral("ContactsLastModified"), 9}}});
    EXPECT_TRUE(GlobalVariables::getQuillnestLastModifiedDictionary().isEmpty());
}

TEST_F(AppDelegateScheduling, GoogleDirectProfilesNeedOutlookRunningAndSyncNowAndThen)
{
    const auto google = makeProfile(QStringLiteral("google"), kOutlook, 15);
    google->setSyncMethod(HMSyncMethod::GoogleDirect);
    google->setLastOutlookAutosyncDate(now().addSecs(-1000));
    m_delegate.setProfiles({google});
    m_delegate.configureBackgroundSyncing();
    EXPECT_TRUE(m_delegate.isGoogleDirectSync());

    QList<HMAppDelegate::RunningApplication> running{{QStringLiteral("org.example.Editor"), true}};
    m_delegate.setRunningApplicationsSource([&running] { return running; });
    m_delegate.checkForOutlookAutosync();
    EXPECT_TRUE(m_askedConduits.isEmpty()) << "Outlook is not running";

    running << HMAppDelegate::RunningApplication{QStringLiteral("COM.MICROSOFT.OUTLOOK"), false};
    EXPECT_FALSE(m_delegate.isOutlookRunning()) << "still launching";
    running.last().isFinishedLaunching = true;
    EXPECT_TRUE(m_delegate.isOutlookRunning());

    // No change found, but more than the cloud interval (959 s) passed: a sync all the same.
    m_delegate.checkForOutlookAutosync();
    EXPECT_EQ(m_askedConduits.size(), 1);
    EXPECT_EQ(m_window->synchronizeCount, 1);
}

TEST_F(AppDelegateScheduling, SyncEndStampsProfilesAndRestartsTheTimer)
{
    const auto outlook = makeProfile(QStringLiteral("outlook"), kOutlook, 60);
    outlook->setPurgeContactsOnNextSync(true);
    outlook->setPurgeMemosOnNextSync(true);
    const auto manual = makeProfile(QStringLiteral("manual"), kApple, 0);
    manual->setPurgeCalendarOnNextSync(true);
    m_delegate.setProfiles({outlook, manual});
    m_delegate.observeSchedulingNotifications();

    // The finishing sync posts on its own queue; the delegate does its work on the main thread.
    std::thread poster([] {
        platform::NotificationCenter::defaultCenter().postNotificationName(QStringLiteral("kSynchronizationDidFinish"));
    });
    poster.join();
    EXPECT_FALSE(outlook->lastOutlookAutosyncDate().isValid()) << "nothing changes off the main thread";
    ASSERT_TRUE(platform::DispatchQueue::runMainQueueUntil([&] { return outlook->lastOutlookAutosyncDate().isValid(); },
                                                           std::chrono::seconds(10)))
        << "awaited the profiles' autosync stamp";
    for (const auto &profile : {outlook, manual}) {
        EXPECT_EQ(profile->lastOutlookAutosyncDate(), now());
        EXPECT_FALSE(profile->purgeContactsOnNextSync());
        EXPECT_FALSE(profile->purgeCalendarOnNextSync());
        EXPECT_FALSE(profile->purgeTasksOnNextSync());
        EXPECT_FALSE(profile->purgeMemosOnNextSync());
    }
    ASSERT_TRUE(isTimerRunning());
    EXPECT_EQ(m_delegate.outlookAutosyncTimer()->timeInterval(), 3600.0);

    // With no profile syncing in the background the end of a sync stops the timer.
    outlook->setBackgroundSyncEnabled(false);
    m_delegate.syncCompleted();
    EXPECT_FALSE(isTimerRunning());
}

TEST_F(AppDelegateScheduling, BackgroundProfilesGoToTheirScheduler)
{
    platform::UserDefaults defaults;
    auto manager = std::make_shared<HMBackgroundSyncManager>(
        defaults, [](std::chrono::milliseconds, std::function<void()>) {}, [] { return false; });
    auto configuration = std::make_shared<HMConfiguration>();
    auto profileManager = std::make_shared<HMProfileManager>(defaults);
    m_delegate.setBackgroundSyncManager(manager);
    m_delegate.setConfiguration(configuration);
    m_delegate.setProfileManager(profileManager);

    const auto apple = makeProfile(QStringLiteral("apple"), kApple, 45);
    const auto outlook = makeProfile(QStringLiteral("outlook"), kOutlook, 90);
    const auto manual = makeProfile(QStringLiteral("manual"), kApple, 0);
    m_delegate.setProfiles({apple, outlook, manual});
    m_delegate.configureBackgroundSyncing();

    const auto listed = manager->syncConfigurations();
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed.front()->configurationId(), QStringLiteral("apple"));
    EXPECT_TRUE(configuration->runInBackground());
    ASSERT_TRUE(isTimerRunning()) << "the Outlook profile runs on the autosync timer";
    EXPECT_EQ(m_delegate.outlookAutosyncTimer()->timeInterval(), 14400.0);
    EXPECT_FALSE(m_delegate.isGoogleDirectSync());

    // Switching the Apple profile's background sync off takes it off the manager.
    apple->setBackgroundSyncEnabled(false);
    m_delegate.configureBackgroundSyncing();
    EXPECT_TRUE(manager->syncConfigurations().empty());
    EXPECT_FALSE(configuration->runInBackground());
}

} // namespace
