#include "app/HMAppDelegate.h"

#include "app/HMAutosyncMainWindow.h"
#include "app/HMDatabaseMaintenance.h"
#include "app/HMMainWindowController.h"
#include "foundation/GlobalVariables.h"
#include "foundation/Lumberjack/DDFileLogger.h"
#include "foundation/Lumberjack/DDLog.h"
#include "platform/appkit/Alert.h"
#include "platform/appkit/StatusItem.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/RunLoopTimer.h"
#include "platform/foundation/Assert.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/ConsoleLog.h"
#include "platform/foundation/UserDefaults.h"
#include "sync/HMBackgroundSyncManager.h"
#include "sync/HMConfiguration.h"
#include "sync/HMDataConfigurationSource.h"
#include "sync/HMProfile.h"
#include "sync/HMProfileManager.h"

#include <QDate>
#include <QDateTime>
#include <QMenu>
#include <QMenuBar>

#include <optional>

namespace {

constexpr double kDefaultTimerSeconds = 60.0;
// A check within this many seconds of a wake waits: the network is often not back yet.
constexpr double kWakeSettleSeconds = 50.0;
// The cloud is polled when this much more than one timer interval has passed since the last sync.
constexpr double kCloudPollExtraSeconds = 899.0;

const QString kSynchronizationDidFinish = QStringLiteral("kSynchronizationDidFinish");
const QString kHMQuillnestLastModified = QStringLiteral("kHMQuillnestLastModified");
const QString kOutlookBundleIdentifier = QStringLiteral("com.microsoft.Outlook");

// The timer's seconds for a stored interval code. "Automatic" checks for Outlook changes every
// minute; the others fire as often as their labels say.
std::optional<double> timerSecondsForIntervalCode(qint64 code)
{
    switch (code) {
    case 15:
        return 60.0;
    case 30:
        return 900.0;
    case 45:
        return 1800.0;
    case 60:
        return 3600.0;
    case 75:
        return 7200.0;
    case 90:
        return 14400.0;
    default:
        return std::nullopt;
    }
}

qint64 intervalCode(const HMProfile &profile)
{
    return profile.backgroundSyncInterval().toLongLong();
}

// Whether the minute of the day lies outside the window from start to end, both ends inside. A window
// whose start lies after its end spans midnight: from the start to the end of the day and from
// midnight to the end.
bool isOutsideSyncWindow(double minuteOfDay, double startMinutes, double endMinutes)
{
    if (startMinutes <= endMinutes)
        return minuteOfDay < startMinutes || minuteOfDay > endMinutes;
    return minuteOfDay < startMinutes && minuteOfDay > endMinutes;
}

double secondsSince(const QDateTime &date, const QDateTime &now)
{
    return double(date.msecsTo(now)) / 1000.0;
}

} // namespace

HMAppDelegate::HMAppDelegate()
    : m_connectionContext(std::make_unique<QObject>()), m_lifetime(std::make_shared<HMAppDelegate *>(this))
{
}

HMAppDelegate::~HMAppDelegate()
{
    if (m_outlookAutosyncTimer)
        m_outlookAutosyncTimer->invalidate();
    if (m_syncStatusAnimationTimer)
        m_syncStatusAnimationTimer->invalidate();
    if (m_backgroundSyncManager && m_backgroundSyncManager->delegate() == this)
        m_backgroundSyncManager->setDelegate(nullptr);
    if (platform::Application *const application = platform::Application::shared()) {
        if (m_eventMonitor != 0)
            application->removeMonitor(m_eventMonitor);
        if (application->delegate() == this)
            application->setDelegate(nullptr);
    }
    if (m_fileLogger)
        DDLog::removeLogger(m_fileLogger);
    // The windows go with the application object; nothing may keep one past the delegate.
    if (m_mainWindowController && GlobalVariables::getMainWindowController() == m_mainWindowController)
        GlobalVariables::setMainWindowController(nullptr);
}

platform::UserDefaults &HMAppDelegate::userDefaults() const
{
    return m_userDefaults != nullptr ? *m_userDefaults : platform::UserDefaults::standardUserDefaults();
}

HMAppDelegate *HMAppDelegate::sharedDelegate()
{
    platform::Application *const application = platform::Application::shared();
    return application != nullptr ? dynamic_cast<HMAppDelegate *>(application->delegate()) : nullptr;
}

void HMAppDelegate::configureBackgroundSyncing()
{
    HM_ASSERT(platform::DispatchQueue::isMainThread(), "configureBackgroundSyncing runs on the main thread");
    m_isGoogleDirectSync = false;
    for (const auto &profile : std::as_const(m_profiles)) {
        if (profile->syncMethod() == HMSyncMethod::GoogleDirect)
            m_isGoogleDirectSync = true;
    }

    bool handedToManager = false;
    for (const auto &profile : std::as_const(m_profiles)) {
        const bool usesOutlook = profile->contactManagerName().contains(QLatin1String("Outlook"));
        if (profile->backgroundSyncEnabled() && usesOutlook) {
            configureOutlookAutosync(true);
            continue;
        }
        if (!m_backgroundSyncManager)
            continue;
        auto source = std::make_shared<HMDataConfigurationSource>(m_profileManager, profile);
        if (!profile->backgroundSyncEnabled()) {
            m_backgroundSyncManager->endBackgroundExecutionForSyncConfiguration(source);
            continue;
        }
        if (m_backgroundSyncManager->beginBackgroundExecutionForSyncConfiguration(source))
            handedToManager = true;
    }
    if (m_configuration)
        m_configuration->setRunInBackground(handedToManager);
}

void HMAppDelegate::configureOutlookAutosync(bool on)
{
    if (on) {
        platform::consoleLog(QStringLiteral("Autosync On!"));
        startOutlookAutosyncTimer();
    } else {
        platform::consoleLog(QStringLiteral("Autosync Off!"));
        stopOutlookAutosyncTimer();
    }
}

double HMAppDelegate::outlookAutosyncTimerInterval() const
{
    double seconds = kDefaultTimerSeconds;
    for (const auto &profile : std::as_const(m_profiles)) {
        if (const auto listed = timerSecondsForIntervalCode(intervalCode(*profile)))
            seconds = *listed;
    }
    return seconds;
}

void HMAppDelegate::startOutlookAutosyncTimer()
{
    HM_ASSERT(platform::DispatchQueue::isMainThread(), "the autosync timer is started on the main thread");
    const double interval = outlookAutosyncTimerInterval();
    DDLogInfo(QStringLiteral("startOutlookAutosyncTimer"));
    scheduleOutlookAutosyncTimer(interval);
}

void HMAppDelegate::resetOutlookAutosyncTimer()
{
    HM_ASSERT(platform::DispatchQueue::isMainThread(), "the autosync timer is reset on the main thread");
    const double interval = outlookAutosyncTimerInterval();
    if (!anyProfileSyncsInBackground()) {
        stopOutlookAutosyncTimer();
        return;
    }
    DDLogInfo(QStringLiteral("resetOutlookAutosyncTimer"));
    scheduleOutlookAutosyncTimer(interval);
}

void HMAppDelegate::stopOutlookAutosyncTimer()
{
    HM_ASSERT(platform::DispatchQueue::isMainThread(), "the autosync timer is stopped on the main thread");
    DDLogInfo(QStringLiteral("stopOutlookAutosyncTimer"));
    if (m_outlookAutosyncTimer)
        m_outlookAutosyncTimer->invalidate();
    m_outlookAutosyncTimer.reset();
}

void HMAppDelegate::scheduleOutlookAutosyncTimer(double intervalSeconds)
{
    if (m_outlookAutosyncTimer)
        m_outlookAutosyncTimer->invalidate();
    const std::weak_ptr<HMAppDelegate *> lifetime = m_lifetime;
    m_outlookAutosyncTimer = platform::RunLoopTimer::scheduled(
        intervalSeconds, platform::RunLoopTimer::Repeats::Yes, [lifetime](platform::RunLoopTimer &) {
            if (const auto delegate = lifetime.lock())
                (*delegate)->checkForOutlookAutosync();
        });
}

bool HMAppDelegate::anyProfileSyncsInBackground() const
{
    for (const auto &profile : std::as_const(m_profiles)) {
        if (profile->backgroundSyncEnabled())
            return true;
    }
    return false;
}

bool HMAppDelegate::isBlackoutPeriod() const
{
    const QDateTime now = platform::Clock::now();
    const QDateTime startOfToday = now.toLocalTime().date().startOfDay();
    if (!startOfToday.isValid())
        return false;
    const double minuteOfDay = double(startOfToday.msecsTo(now)) / 60000.0;
    for (const auto &profile : std::as_const(m_profiles)) {
        if (!profile->useBlackoutPeriod())
            continue;
        const double startMinutes = profile->syncBetweenTheseTimesStartMinutes().toDouble();
        const double endMinutes = profile->syncBetweenTheseTimesEndMinutes().toDouble();
        if (isOutsideSyncWindow(minuteOfDay, startMinutes, endMinutes))
            return true;
    }
    return false;
}

void HMAppDelegate::checkForOutlookAutosync()
{
    HM_ASSERT(platform::DispatchQueue::isMainThread(), "the autosync check runs on the main thread");
    if (isBlackoutPeriod())
        return;
    const double interval = outlookAutosyncTimerInterval();
    const QDateTime now = platform::Clock::now();
    if (isAutosyncHeldBack(now) || isTooSoonForAutosync(now, interval))
        return;

    bool usesCloud = false;
    const QString conduits = enabledConduits(usesCloud);
    if (!usesCloud)
        GlobalVariables::setQuillnestLastModifiedDictionary({});
    DDLogInfo(QStringLiteral("conduits enabled: %1").arg(conduits));

    const bool shouldSync = m_outlookChangeTest && m_outlookChangeTest(conduits);
    DDLogInfo(QStringLiteral("shouldAutosync %1").arg(int(shouldSync)));
    if (shouldSync) {
        synchronizeFromTimer();
        return;
    }
    pollOrSyncWhenDue(now, interval, usesCloud);
}

// Whether the machine woke a moment ago, the settings are open, the desktop program a direct sync
// reads from is not running, or a sync is running.
bool HMAppDelegate::isAutosyncHeldBack(const QDateTime &now) const
{
    const QDateTime lastWake = GlobalVariables::getLastWakeTime();
    if (lastWake.isValid() && secondsSince(lastWake, now) < kWakeSettleSeconds) {
        DDLogInfo(QStringLiteral("Not autosyncing due to last wake time."));
        return true;
    }
    if (GlobalVariables::getAdvancedSettingsIsOpen()) {
        DDLogInfo(QStringLiteral("Not autosyncing due to settings window open."));
        return true;
    }
    if (m_isGoogleDirectSync && !isOutlookRunning())
        return true;

    const bool isSynchronizing = GlobalVariables::getIsSynchronizing();
    DDLogInfo(QStringLiteral("checkForOutlookAutosync"));
    DDLogInfo(QStringLiteral("Sync running: %1").arg(int(isSynchronizing)));
    return isSynchronizing;
}

// Whether any profile autosynced less than an interval ago.
bool HMAppDelegate::isTooSoonForAutosync(const QDateTime &now, double interval) const
{
    for (const auto &profile : std::as_const(m_profiles)) {
        const QDateTime lastAutosync = profile->lastOutlookAutosyncDate();
        if (!lastAutosync.isValid())
            continue;
        const double passed = secondsSince(lastAutosync, now);
        if (passed < interval - 1.0) {
            DDLogInfo(QStringLiteral("Not autosyncing due to last autosync date (to soon): %1")
                          .arg(passed, 0, 'f', 6));
            return true;
        }
    }
    return false;
}

// The letters of the conduits the profiles sync (A contacts, D calendars, T tasks), and whether any
// profile syncs through the cloud.
QString HMAppDelegate::enabledConduits(bool &usesCloud) const
{
    QString conduits;
    for (const auto &profile : std::as_const(m_profiles)) {
        if (profile->contactSyncEnabled())
            conduits += QLatin1Char('A');
        if (profile->calendarSyncEnabled())
            conduits += QLatin1Char('D');
        if (profile->taskSyncEnabled())
            conduits += QLatin1Char('T');
        if (profile->syncMethod() == HMSyncMethod::Quillnest)
            usesCloud = true;
    }
    return conduits;
}

// With no change seen in the desktop program: asks the cloud for changes once its poll is due, or
// syncs a direct sync once the longer interval has passed.
void HMAppDelegate::pollOrSyncWhenDue(const QDateTime &now, double interval, bool usesCloud)
{
    const double cloudInterval = interval + kCloudPollExtraSeconds;
    for (const auto &profile : std::as_const(m_profiles)) {
        const QDateTime lastAutosync = profile->lastOutlookAutosyncDate();
        if (!lastAutosync.isValid())
            continue;
        const double passed = secondsSince(lastAutosync, now);
        if (usesCloud && passed > cloudInterval) {
            DDLogInfo(QStringLiteral("15 minute check for Quillnest modifications"));
            if (!isCloudPollDue(*profile, now, cloudInterval))
                continue;
            profile->setLastQuillnestAutosyncCheck(now);
            if (const auto window = mainWindow())
                window->shouldAutosyncQuillnest();
            return;
        }
        if (passed > cloudInterval && m_isGoogleDirectSync) {
            synchronizeFromTimer();
            return;
        }
    }
}

bool HMAppDelegate::isCloudPollDue(const HMProfile &profile, const QDateTime &now, double cloudInterval)
{
    const QDateTime lastCheck = profile.lastQuillnestAutosyncCheck();
    if (!lastCheck.isValid())
        return true;
    const double sinceCheck = secondsSince(lastCheck, now);
    if (sinceCheck <= cloudInterval)
        return false;
    DDLogInfo(QStringLiteral("Time interval since last check: %1").arg(sinceCheck, 0, 'f', 6));
    return true;
}

void HMAppDelegate::synchronizeFromTimer()
{
    stopOutlookAutosyncTimer();
    if (const auto window = mainWindow())
        window->synchronizeProfile(this);
    else
        DDLogError(QStringLiteral("The autosync check found no main window to synchronise from"));
    // The window's own checks may refuse; then no sync ends to restart the timer, so restart it here.
    if (!GlobalVariables::getIsSynchronizing()) {
        DDLogInfo(QStringLiteral("The autosync check started no sync; restarting the timer"));
        startOutlookAutosyncTimer();
    }
}

std::shared_ptr<HMAutosyncMainWindow> HMAppDelegate::mainWindow() const
{
    if (m_mainWindowSource)
        return m_mainWindowSource();
    return m_mainWindowController;
}

void HMAppDelegate::syncCompleted()
{
    HM_ASSERT(platform::DispatchQueue::isMainThread(), "syncCompleted runs on the main thread");
    deleteRemovedProfileFiles();
    const QDateTime now = platform::Clock::now();
    for (const auto &profile : std::as_const(m_profiles)) {
        profile->setLastOutlookAutosyncDate(now);
        profile->setPurgeContactsOnNextSync(false);
        profile->setPurgeCalendarOnNextSync(false);
        profile->setPurgeTasksOnNextSync(false);
        profile->setPurgeMemosOnNextSync(false);
    }
    resetOutlookAutosyncTimer();
}

void HMAppDelegate::shouldAutosyncQuillnest(const platform::Notification &notification)
{
    // The dates travel as the notification's object: the cloud client posts a pointer to its
    // QVariantMap, which lives while the (synchronous) post delivers it. The user info carries nothing.
    const auto *dates = static_cast<const QVariantMap *>(notification.object);
    GlobalVariables::setQuillnestLastModifiedDictionary(dates != nullptr ? *dates : QVariantMap());
}

bool HMAppDelegate::isOutlookRunning() const
{
    const QList<RunningApplication> applications = m_runningApplications ? m_runningApplications()
                                                                         : QList<RunningApplication>();
    for (const RunningApplication &application : applications) {
        platform::consoleLog(QStringLiteral("a.bundleIdentifier %1").arg(application.bundleIdentifier));
        if (application.bundleIdentifier.compare(kOutlookBundleIdentifier, Qt::CaseInsensitive) == 0)
            return application.isFinishedLaunching;
    }
    return false;
}

void HMAppDelegate::checkForAutosyncGoogleDirect() const
{
    const QList<RunningApplication> applications = m_runningApplications ? m_runningApplications()
                                                                         : QList<RunningApplication>();
    for (const RunningApplication &application : applications) {
        if (application.bundleIdentifier.compare(kOutlookBundleIdentifier, Qt::CaseInsensitive) != 0)
            continue;
        platform::consoleLog(QStringLiteral("Outlook is running!"));
        platform::consoleLog(application.isFinishedLaunching ? QStringLiteral("outlookFinishedLaunching!")
                                                             : QStringLiteral("Outlook not FinishedLaunching!"));
        return;
    }
    platform::consoleLog(QStringLiteral("Outlook not running!"));
}

void HMAppDelegate::observeSchedulingNotifications()
{
    auto &center = platform::NotificationCenter::defaultCenter();
    const std::weak_ptr<HMAppDelegate *> lifetime = m_lifetime;
    // The finishing sync posts on its own queue; profiles and the timer belong to the main thread.
    m_syncFinishedObserver =
        center.addObserver(kSynchronizationDidFinish, nullptr, [lifetime](const platform::Notification &) {
            runOnMainQueue(lifetime, [](HMAppDelegate &delegate) { delegate.syncCompleted(); });
        });
    // The dates the notification's object points at live only while it is posted: they are copied
    // here, on the posting thread, and handed to the main thread as the object of a notification of
    // their own.
    m_quillnestModifiedObserver = center.addObserver(
        kHMQuillnestLastModified, nullptr, [lifetime](const platform::Notification &notification) {
            const auto *posted = static_cast<const QVariantMap *>(notification.object);
            const auto dates = posted != nullptr ? std::make_shared<const QVariantMap>(*posted) : nullptr;
            runOnMainQueue(lifetime, [dates](HMAppDelegate &delegate) {
                delegate.shouldAutosyncQuillnest(
                    platform::Notification{kHMQuillnestLastModified, dates.get(), QVariantMap()});
            });
        });
}

void HMAppDelegate::runOnMainQueue(const std::weak_ptr<HMAppDelegate *> &lifetime,
                                   std::function<void(HMAppDelegate &)> work)
{
    platform::DispatchQueue::main()->async([lifetime, work = std::move(work)] {
        if (const auto delegate = lifetime.lock())
            work(**delegate);
    });
}
