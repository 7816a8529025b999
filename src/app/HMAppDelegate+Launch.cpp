// The application delegate's start-up: the launch sequence and its trace, the import of the
// sandboxed edition's settings, logging, configuration and profiles, the main window, and the
// answers to activation, hiding, sleep, wake and appearance changes.
#include "app/HMAppDelegate.h"

#include "app/HMConfigurationManager.h"
#include "app/HMMainWindowController.h"
#include "foundation/GlobalVariables.h"
#include "foundation/HMFileManager.h"
#include "foundation/Lumberjack/DDFileLogger.h"
#include "foundation/Lumberjack/DDLog.h"
#include "foundation/Lumberjack/DDLogFileManager.h"
#include "outlook/HMOutlookDatFileHelper.h"
#include "outlook/HMOutlookSQLiteHelper.h"
#include "platform/appkit/Appearance.h"
#include "platform/appkit/Workspace.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/Assert.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/ConsoleLog.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/UserDefaults.h"
#include "push/Client/HMXMPPClient.h"
#include "sync/HMConfiguration.h"
#include "sync/HMDataConfigurationSource.h"
#include "sync/HMProfile.h"
#include "sync/HMProfileManager.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMenu>
#include <QMenuBar>
#include <QStandardPaths>

#include <map>

namespace {

const QString kStartupLogFileName = QStringLiteral("startuplog.plist");
const QString kSandboxCopyDateKey = QStringLiteral("NSDateSandboxLastModifiedDateAtCopy");
const QString kApplicationDidBecomeActive = QStringLiteral("kApplicationDidBecomeActive");
constexpr quint64 kMaximumLogFileSize = 20971520;
constexpr double kLogRollingFrequencySeconds = 86400.0;
constexpr quint64 kMaximumLogFiles = 4;
constexpr double kWakeCheckDelaySeconds = 15.0;
constexpr int kWindowMenuIndex = 5;
// A settings walk stops after this many items: a sandbox folder is a handful of files.
constexpr int kMaxWalkedItems = 10000;

// The settings files of a folder and its subfolders by date: each file's modification date (the
// previous file's when it has none) plus a thousandth of a second per file found before it, so that no
// two files share a date. Links are not followed.
std::map<QDateTime, QString> settingsFilesByDate(const QString &folder)
{
    std::map<QDateTime, QString> files;
    QDirIterator walk(folder, QDir::Files | QDir::Hidden | QDir::NoSymLinks, QDirIterator::Subdirectories);
    QDateTime previousDate = QDateTime::fromMSecsSinceEpoch(0, Qt::UTC).addYears(-1000);
    qint64 offsetMs = 0;
    for (int count = 0; walk.hasNext() && count < kMaxWalkedItems; ++count) {
        const QFileInfo info(walk.next());
        const QString name = info.fileName();
        if (info.isSymLink() || (!name.contains(QLatin1String("settings")) && !name.contains(QLatin1String("plist"))))
            continue;
        const QDateTime modified = info.lastModified().toUTC();
        if (modified.isValid())
            previousDate = modified;
        files.emplace(previousDate.addMSecs(offsetMs), info.filePath());
        ++offsetMs;
    }
    return files;
}

QDateTime mostRecentDate(const std::map<QDateTime, QString> &files)
{
    return files.empty() ? QDateTime() : files.rbegin()->first;
}

} // namespace

QString HMAppDelegate::dataFolderPath() const
{
    return HMFileManager::dataStorageURL().toLocalFile();
}

void HMAppDelegate::writeStringToFile(const QString &text)
{
    HM_ASSERT(platform::DispatchQueue::isMainThread(), "the start-up trace is written on the main thread");
    ++m_startupLogCounter;
    m_startupLogDictionary.insert(QString::number(m_startupLogCounter), text);
    const QString folder = dataFolderPath();
    if (folder.isEmpty())
        return;
    // The trace only helps support: a failed write must not disturb the start.
    static_cast<void>(platform::writePropertyList(QDir(folder).filePath(kStartupLogFileName), m_startupLogDictionary));
}

void HMAppDelegate::applicationWillFinishLaunching()
{
    writeStringToFile(QStringLiteral("applicationWillFinishLaunching"));
    platform::Application *const application = platform::Application::shared();
    if (application != nullptr && application->mainMenu() == nullptr)
        application->setMainMenu(makeMainMenu());
}

void HMAppDelegate::applicationDidFinishLaunching()
{
    platform::Application *const application = platform::Application::shared();
    m_isLoginLaunch = application != nullptr && application->isLaunchedAsLoginItem();
    if (m_isLoginLaunch) {
        writeStringToFile(QStringLiteral("Login launch"));
        application->hide();
        application->setActivationPolicy(platform::ActivationPolicy::Accessory);
    } else {
        writeStringToFile(QStringLiteral("Normal launch"));
    }
    writeStringToFile(QStringLiteral("applicationDidFinishLaunching"));
    launchStepsUpToProfiles();
    launchStepsFromBackgroundSyncing();
}

void HMAppDelegate::launchStepsUpToProfiles()
{
    checkForUpgradeFromAppStoreVersion();
    writeStringToFile(QStringLiteral("checkForUpgradeFromAppStoreVersion"));
    configureLogging();
    writeStringToFile(QStringLiteral("configureLogging"));
    DDLogInfo(QStringLiteral("Configured Logging"));

    const QDateTime expiration = userDefaults().dateForKey(QLatin1String(kLoggingExpirationKey));
    writeStringToFile(QStringLiteral("[1]"));
    if (expiration.isValid() && expiration < platform::Clock::now())
        userDefaults().removeObjectForKey(QLatin1String(kLoggingExpirationKey));
    writeStringToFile(QStringLiteral("[2]"));
    // Every start begins with logging off; only the logging switches raise it.
    ddLogLevel.store(LOG_LEVEL_OFF);

    configureApplication();
    writeStringToFile(QStringLiteral("[3]"));
    m_backgroundSyncManager = m_backgroundSyncManagerFactory ? m_backgroundSyncManagerFactory()
                                                             : std::make_shared<HMBackgroundSyncManager>();
    m_backgroundSyncManager->setDelegate(this);
    // The sync core does not link the push channel: it makes its push clients through this maker.
    HMBackgroundSyncManager::setPushClientMaker([] { return HMXMPPClient::init(); });
    writeStringToFile(QStringLiteral("configureUserProfiles"));
    DDLogInfo(QStringLiteral("configureUserProfiles"));
    configureUserProfiles();
}

void HMAppDelegate::launchStepsFromBackgroundSyncing()
{
    DDLogInfo(QStringLiteral("configureBackgroundSyncing"));
    writeStringToFile(QStringLiteral("configureBackgroundSyncing"));
    configureBackgroundSyncing();
    if (const platform::Status saved = HMConfigurationManager::saveConfigurationFileForCurrentApplication(*m_configuration);
        !saved)
        DDLogError(QStringLiteral("Could not save the configuration: %1").arg(saved.error().message()));

    if (platform::Application *const application = platform::Application::shared()) {
        application->setActivationPolicy(platform::ActivationPolicy::Regular);
        application->activateIgnoringOtherApps();
    }
    if (m_configuration->runInBackground()) {
        DDLogInfo(QStringLiteral("showStatusBarMenu"));
        writeStringToFile(QStringLiteral("showStatusBarMenu"));
        showStatusBarMenu();
    } else {
        DDLogInfo(QStringLiteral("!_configuration.runInBackground"));
    }
    DDLogInfo(QStringLiteral("showMainWindow"));
    writeStringToFile(QStringLiteral("showMainWindow"));
    showMainWindow();
    observeSchedulingNotifications();
    registerLaunchObservers();
    writeStringToFile(QStringLiteral("returning"));
    hideMainMenuWindowItem();
    setMainStatus();
}

void HMAppDelegate::checkForUpgradeFromAppStoreVersion()
{
    // The sandboxed (Flatpak) edition keeps its data folder under its own home.
    const QString home = QDir::homePath();
    const QString bundleIdentifier = platform::Bundle::bundleIdentifier();
    const QString source = QStringLiteral("%1/.var/app/%2/data/%2").arg(home, bundleIdentifier);
    const QString destination = dataFolderPath();
    if (destination.isEmpty() || !QFileInfo(source).isDir())
        return;
    const std::map<QDateTime, QString> sourceFiles = settingsFilesByDate(source);
    const std::map<QDateTime, QString> destinationFiles = settingsFilesByDate(destination);
    const QDateTime sourceDate = mostRecentDate(sourceFiles);
    const QDateTime destinationDate = mostRecentDate(destinationFiles);
    if (sourceFiles.empty() || (destinationDate.isValid() && sourceDate <= destinationDate))
        return;
    const QDateTime copiedDate = userDefaults().dateForKey(kSandboxCopyDateKey);
    if (copiedDate.isValid() && copiedDate >= sourceDate)
        return;
    userDefaults().setObject(sourceDate, kSandboxCopyDateKey);
    static_cast<void>(userDefaults().synchronize());
    for (const auto &[date, path] : sourceFiles) {
        const QString target = QDir(destination).filePath(QFileInfo(path).fileName());
        // A copy onto an existing file fails and is left so: nothing of the destination is replaced.
        if (QFileInfo(path).isReadable() && QFile::copy(path, target))
            QFile::setPermissions(target, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    }
}

void HMAppDelegate::configureLogging()
{
    m_fileLogger = std::make_shared<DDFileLogger>();
    m_fileLogger->setMaximumFileSize(kMaximumLogFileSize);
    m_fileLogger->setRollingFrequency(kLogRollingFrequencySeconds);
    m_fileLogger->logFileManager()->setMaximumNumberOfLogFiles(kMaximumLogFiles);
    ddLogLevel.store(LOG_LEVEL_OFF);
    DDLog::addLogger(m_fileLogger);
    DDLogVerbose(QStringLiteral("Logging started"));
}

void HMAppDelegate::configureApplication()
{
    std::shared_ptr<HMConfiguration> configuration = HMConfigurationManager::configurationFileForCurrentApplication();
    if (!configuration)
        configuration = HMConfigurationManager::defaultConfiguration();
    configuration->setLastRunDate(platform::Clock::now());
    if (const platform::Status saved = HMConfigurationManager::saveConfigurationFileForCurrentApplication(*configuration);
        !saved)
        DDLogError(QStringLiteral("Could not save the configuration: %1").arg(saved.error().message()));
    m_configuration = configuration;
}

void HMAppDelegate::configureUserProfiles()
{
    m_profileManager = std::make_shared<HMProfileManager>(userDefaults());
    m_profileManager->setConfiguration(m_configuration);
    // Default Outlook folders are saved through this manager; record counts come from the maps.
    const std::weak_ptr<HMProfileManager> manager = m_profileManager;
    HMOutlookSQLiteHelper::setProfileSaver([manager](const HMProfile &profile) {
        const std::shared_ptr<HMProfileManager> strong = manager.lock();
        return strong && strong->saveProfile(profile);
    });
    HMDataConfigurationSource::setOutlookRecordCounter(
        [](const QString &conduitName) { return HMOutlookDatFileHelper().countRecordsForConduit(conduitName); });
    configureOutlookAutosyncCheck();
    platform::Result<QList<std::shared_ptr<HMProfile>>> loaded = m_profileManager->loadProfiles();
    m_profiles = loaded ? std::move(*loaded) : QList<std::shared_ptr<HMProfile>>();
}

void HMAppDelegate::showMainWindow()
{
    writeStringToFile(QStringLiteral("showMainWindow[1]"));
    DDLogInfo(QStringLiteral("showMainWindow"));
    const auto controller = std::make_shared<HMMainWindowController>(*this);
    if (m_mainWindowPreparer)
        m_mainWindowPreparer(*controller);
    writeStringToFile(QStringLiteral("newMainWindowController allocated"));
    DDLogInfo(QStringLiteral("newMainWindowController allocated"));
    controller->showWindow();
    writeStringToFile(QStringLiteral("showWindow called"));
    DDLogInfo(QStringLiteral("showWindow called"));
    platform::Application *const application = platform::Application::shared();
    if (m_isLoginLaunch && application != nullptr) {
        application->hide();
        application->setActivationPolicy(platform::ActivationPolicy::Accessory);
        writeStringToFile(QStringLiteral("[newMainWindowController paint]"));
    } else {
        controller->showWindow();
        writeStringToFile(QStringLiteral("showWindow called"));
        DDLogInfo(QStringLiteral("showWindow called"));
    }
    // The window being replaced goes with its controller; the menu bar it showed is taken back first.
    m_mainWindowController = controller;
    GlobalVariables::setMainWindowController(controller);
    writeStringToFile(QStringLiteral("Assigning newWindowController to mainWindowController"));
    DDLogInfo(QStringLiteral("Assigning newWindowController to mainWindowController"));
}

void HMAppDelegate::registerLaunchObservers()
{
    platform::Workspace &workspace = platform::Workspace::sharedWorkspace();
    workspace.observeSleepAndWake();
    platform::NotificationCenter &center = workspace.notificationCenter();
    const std::weak_ptr<HMAppDelegate *> lifetime = m_lifetime;
    const auto onMainQueue = [lifetime](void (HMAppDelegate::*handler)()) {
        return [lifetime, handler](const platform::Notification &) {
            runOnMainQueue(lifetime, [handler](HMAppDelegate &delegate) { (delegate.*handler)(); });
        };
    };
    m_didSleepObserver = center.addObserver(QLatin1String(platform::NSWorkspaceScreensDidSleepNotification), nullptr,
                                            onMainQueue(&HMAppDelegate::receiveDidSleepNotification));
    m_willSleepObserver = center.addObserver(QLatin1String(platform::NSWorkspaceWillSleepNotification), nullptr,
                                             onMainQueue(&HMAppDelegate::receiveWillSleepNotification));
    m_screenWakeObserver = center.addObserver(QLatin1String(platform::NSWorkspaceScreensDidWakeNotification), nullptr,
                                              onMainQueue(&HMAppDelegate::receiveScreenWakeNotification));
    QObject::connect(&platform::Appearance::shared(), &platform::Appearance::changed, m_connectionContext.get(),
                     [this] { themeChanged(); });
}

namespace {

// The submenu of the main menu's sixth item, where the items that stand for the main window live.
QMenu *mainMenuWindowMenu()
{
    platform::Application *const application = platform::Application::shared();
    QMenuBar *const mainMenu = application != nullptr ? application->mainMenu() : nullptr;
    if (mainMenu == nullptr || mainMenu->actions().size() <= kWindowMenuIndex)
        return nullptr;
    return mainMenu->actions().at(kWindowMenuIndex)->menu();
}

} // namespace

void HMAppDelegate::hideMainMenuWindowItem()
{
    QMenu *const windowMenu = mainMenuWindowMenu();
    if (windowMenu == nullptr)
        return;
    for (QAction *item : windowMenu->actions()) {
        if (item->property("tag").toInt() == kMainWindowMenuItemTag) {
            item->setVisible(false);
            return;
        }
    }
}

void HMAppDelegate::updateMainMenuWindowItems(bool isMainWindowVisible)
{
    QMenu *const windowMenu = mainMenuWindowMenu();
    if (windowMenu == nullptr)
        return;
    for (QAction *item : windowMenu->actions()) {
        // The item's title without its mnemonic.
        if (QString(item->text()).remove(u'&') != QLatin1String("Harrowmere"))
            continue;
        const bool isWindowItem = item->property("tag").toInt() == kMainWindowMenuItemTag;
        item->setVisible(isMainWindowVisible ? !isWindowItem : isWindowItem);
    }
}

void HMAppDelegate::applicationDidBecomeActive()
{
    DDLogVerbose(QStringLiteral("applicationDidBecomeActive"));
    platform::NotificationCenter::defaultCenter().postNotificationName(kApplicationDidBecomeActive);
    platform::Application *const application = platform::Application::shared();
    if (m_eventMonitor != 0 || application == nullptr)
        return;
    m_eventMonitor = application->addLocalMonitorForKeyDownEvents(
        [this](const platform::KeyEvent &event) { return handleKeyDown(event); });
}

void HMAppDelegate::applicationWillResignActive()
{
    DDLogVerbose(QStringLiteral("applicationWillResignActive"));
    if (platform::Application *const application = platform::Application::shared(); application != nullptr)
        application->removeMonitor(m_eventMonitor);
    m_eventMonitor = 0;
}

bool HMAppDelegate::applicationShouldHandleReopen(bool hasVisibleWindows)
{
    DDLogVerbose(QStringLiteral("applicationShouldHandleReopen"));
    if (hasVisibleWindows || !m_mainWindowController)
        return false;
    m_mainWindowController->showWindow();
    return true;
}

void HMAppDelegate::applicationDidHide()
{
    DDLogInfo(QStringLiteral("applicationDidHide"));
    mainWindowVisibilityChanged();
}

void HMAppDelegate::applicationDidUnhide()
{
    DDLogInfo(QStringLiteral("applicationDidUnhide"));
    mainWindowVisibilityChanged();
}

void HMAppDelegate::applicationDidChangeOcclusionState()
{
    DDLogInfo(QStringLiteral("applicationDidChangeOcclusionState"));
    const bool isMainWindowVisible = m_mainWindowController && m_mainWindowController->isWindowLoaded()
                                     && m_mainWindowController->window()->isVisible();
    // A running sync whose progress sheet went out of sight gets it back when its window is seen
    // again; a deletions question on screen is left alone. A hidden window gets no sheet: it would
    // stand alone on the screen.
    if (GlobalVariables::getIsSynchronizing() && m_mainWindowController
        && !m_mainWindowController->isProgressControllerVisible()) {
        if (GlobalVariables::getDeletionsWarningIsShowing())
            return;
        if (isMainWindowVisible)
            m_mainWindowController->showSyncStatusProgressController();
    }
    DDLogInfo(QStringLiteral("."));
    updateMainMenuWindowItems(isMainWindowVisible);
}

void HMAppDelegate::receiveDidSleepNotification()
{
    stopAutosyncForSleep(QStringLiteral("receiveDidSleepNotification"));
}

void HMAppDelegate::receiveWillSleepNotification()
{
    stopAutosyncForSleep(QStringLiteral("receiveWillSleepNotification"));
}

void HMAppDelegate::stopAutosyncForSleep(const QString &notification)
{
    platform::consoleLog(notification);
    DDLogInfo(notification);
    stopOutlookAutosyncTimer();
}

void HMAppDelegate::receiveScreenWakeNotification()
{
    DDLogInfo(QStringLiteral("receiveScreenWakeNotification"));
    const std::weak_ptr<HMAppDelegate *> lifetime = m_lifetime;
    platform::DispatchQueue::main()->after(kWakeCheckDelaySeconds, [lifetime] {
        if (const auto delegate = lifetime.lock())
            (*delegate)->checkAutosyncTimersAfterWake();
    });
}

void HMAppDelegate::checkAutosyncTimersAfterWake()
{
    if (!m_profiles.isEmpty() && m_profiles.front()->backgroundSyncInterval().toLongLong() > 0)
        configureOutlookAutosync(true);
}

void HMAppDelegate::themeChanged()
{
    setMainStatus();
}
