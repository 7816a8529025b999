// The support key commands pressed on the main window of a launched application, the logging
// switches, the memory figures, the settings reset and the sleep and wake answers.
#include "OutlookPeerProcess.h"
#include "ShellTestSupport.h"

#include "app/HMDatabaseMaintenance.h"
#include "app/HMMainWindowController.h"
#include "app/zip/HMFileRevealer.h"
#include "foundation/GlobalVariables.h"
#include "foundation/Lumberjack/DDLog.h"
#include "foundation/QtPrinters.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/RunLoopTimer.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/NotificationCenter.h"
#include "support/TestSupport.h"
#include "sync/HMBackgroundSyncManager.h"
#include "sync/HMProfile.h"
#include "sync/HMProfileManager.h"

#include <QDialog>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QRegularExpression>

namespace {

const QDateTime kNow(QDate(2026, 12, 7), QTime(12, 0), Qt::UTC);

class Diagnostics : public LaunchedShell
{
protected:
    void SetUp() override
    {
        LaunchedShell::SetUp();
        platform::Clock::setSource([] { return kNow; });
    }

    void launchActive()
    {
        launch();
        int activations = 0;
        const platform::ObserverToken observer = platform::NotificationCenter::defaultCenter().addObserver(
            QStringLiteral("kApplicationDidBecomeActive"), nullptr, [&](const platform::Notification &) { ++activations; });
        m_delegate->applicationDidBecomeActive();
        m_delegate->applicationDidBecomeActive();
        EXPECT_EQ(activations, 2);
        ASSERT_TRUE(m_delegate->hasEventMonitor());
    }

    QStringList settingsFileNames() const
    {
        return QDir(m_home->dataFolder()).entryList({QStringLiteral("*.settings")}, QDir::Files);
    }
};

TEST_F(Diagnostics, ControlLTogglesLoggingWithItsAlertsExpiryAndLogFile)
{
    launchActive();
    EXPECT_TRUE(pressKey(Qt::Key_L, Qt::ControlModifier));
    EXPECT_EQ(ddLogLevel.load(), LOG_LEVEL_INFO);
    EXPECT_EQ(alertTexts(), QStringList{"Logging Enabled"});
    EXPECT_EQ(m_defaults->integerForKey(QStringLiteral("LogLevel")), 7);
    EXPECT_EQ(m_defaults->dateForKey(QStringLiteral("LoggingExpiration")), kNow.addDays(1));
    DDLog::flushLog();
    const QStringList logs = QDir(m_home->logFolder()).entryList({QStringLiteral("log-*.txt")}, QDir::Files);
    ASSERT_EQ(logs.size(), 1) << "log folder " << m_home->logFolder().toStdString();
    QFile log(QDir(m_home->logFolder()).filePath(logs.front()));
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    const QByteArray text = log.readAll();
    EXPECT_TRUE(text.startsWith("[SYSTEM INFO]\r\nSystem Version: ")) << text.left(200).toStdString();
    EXPECT_TRUE(text.contains("\r\nHarrowmere Version: Version ")) << text.toStdString();
    EXPECT_TRUE(text.contains("\r\nSystem Time Zone: ")) << text.toStdString();
    EXPECT_TRUE(text.contains("  Log Level Changed to 7.\r\n")) << text.toStdString();

    EXPECT_TRUE(pressKey(Qt::Key_L, Qt::ControlModifier));
    EXPECT_EQ(ddLogLevel.load(), LOG_LEVEL_OFF);
    EXPECT_EQ(alertTexts(), (QStringList{"Logging Enabled", "Logging Disabled"}));
    EXPECT_EQ(m_defaults->integerForKey(QStringLiteral("LogLevel")), 0);
    EXPECT_FALSE(m_defaults->objectForKey(QStringLiteral("LoggingExpiration")).isValid());
    // The toggle was written to disk: a fresh reader of the file sees it.
    platform::UserDefaults stored(m_home->path() + QStringLiteral("/defaults.plist"));
    EXPECT_EQ(stored.integerForKey(QStringLiteral("LogLevel")), 0);
}

TEST_F(Diagnostics, KeyCommandsDoTheirWorkAndPassOtherKeysOn)
{
    launchActive();
    struct Row { const char *name; int key; Qt::KeyboardModifiers modifiers; bool isConsumed; QStringList alerts; int32_t level; };
    const Row rows[] = {
        {"Control-P raises logging to verbose", Qt::Key_P, Qt::ControlModifier, true, {"Special Logging Enabled"}, 15},
        {"Control-L at verbose turns logging off", Qt::Key_L, Qt::ControlModifier, true, {"Logging Disabled"}, 0},
        {"a plain l passes on", Qt::Key_L, Qt::NoModifier, false, {}, 0},
        {"Control-Y without Shift passes on", Qt::Key_Y, Qt::ControlModifier, false, {}, 0},
        {"Control-Shift-Y runs database maintenance, which finds no database", Qt::Key_Y,
         Qt::ControlModifier | Qt::ShiftModifier, true,
         {"Click OK to begin database maintenance.",
          "Unable to complete database maintenance. Try closing Outlook if it's open."}, 0},
        {"Control-Shift-H switches the cloud to http", Qt::Key_H, Qt::ControlModifier | Qt::ShiftModifier, true,
         {"Quillnest configured for unsecure http protocol"}, 0},
        {"Control-Shift-H again switches it back", Qt::Key_H, Qt::ControlModifier | Qt::ShiftModifier, true,
         {"Quillnest configured for secure http protocol"}, 0},
        {"Alt-Q is not ours", Qt::Key_Q, Qt::AltModifier, false, {}, 0},
    };
    qsizetype alertsBefore = 0;
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(pressKey(row.key, row.modifiers), row.isConsumed);
        EXPECT_EQ(alertTexts().mid(alertsBefore), row.alerts);
        alertsBefore = alertTexts().size();
        EXPECT_EQ(ddLogLevel.load(), row.level);
    }
    EXPECT_FALSE(m_defaults->boolForKey(QStringLiteral("quillnestUseUnsecureHttp")));

    EXPECT_TRUE(pressKey(Qt::Key_D, Qt::ControlModifier));
    EXPECT_TRUE(pressKey(Qt::Key_I, Qt::ControlModifier | Qt::ShiftModifier));
    ASSERT_EQ(m_workspaceRequests.size(), 2);
    EXPECT_EQ(m_workspaceRequests.at(0).first, platform::Workspace::RequestKind::SelectFile);
    EXPECT_EQ(m_workspaceRequests.at(0).second.toLocalFile(), m_home->logFolder());
    EXPECT_EQ(m_workspaceRequests.at(1).second.toLocalFile(), m_home->dataFolder());

    // Once the application is no longer active the commands are not watched.
    m_delegate->applicationWillResignActive();
    EXPECT_FALSE(m_delegate->hasEventMonitor());
    EXPECT_FALSE(pressKey(Qt::Key_L, Qt::ControlModifier));
    EXPECT_EQ(ddLogLevel.load(), LOG_LEVEL_OFF);
}

// Records what the support archive asks the file manager to show.
class RecordingRevealer final : public HMFileRevealer
{
public:
    void revealFile(const QString &path) override { revealed.append(path); }
    QStringList revealed;
};

TEST_F(Diagnostics, ControlShiftEAndBPackTheSupportArchiveInTheLogFolder)
{
    launchActive();
    const auto revealer = std::make_shared<RecordingRevealer>();
    m_delegate->setFileRevealer(revealer);
    const QString archive = m_home->logFolder() + QStringLiteral("/SupportLogs.zip");
    struct Row { const char *name; int key; };
    const Row rows[] = {{"Control-Shift-E", Qt::Key_E}, {"Control-Shift-B", Qt::Key_B}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        QFile::remove(archive);
        const qsizetype revealedBefore = revealer->revealed.size();
        EXPECT_TRUE(pressKey(row.key, Qt::ControlModifier | Qt::ShiftModifier));
        ASSERT_TRUE(testsupport::waitUntil([&] { return revealer->revealed.size() > revealedBefore; }))
            << "awaited the archive's reveal";
        EXPECT_EQ(revealer->revealed.back(), archive);
        QFile zip(archive);
        ASSERT_TRUE(zip.open(QIODevice::ReadOnly)) << archive.toStdString();
        EXPECT_TRUE(zip.read(4) == QByteArray("PK\x03\x04", 4)) << "not a zip archive";
        EXPECT_TRUE(zip.readAll().contains("textFile.txt"));
    }
    // Without Shift the letters are not commands.
    EXPECT_FALSE(pressKey(Qt::Key_E, Qt::ControlModifier));
}

// A maintenance that compacts successfully, to show the success text is reachable.
class CompactingDatabase final : public HMDatabaseMaintenance
{
public:
    bool setSqliteFile() override { return true; }
    bool vacuumDatabase() override { return true; }
};

TEST_F(Diagnostics, DatabaseMaintenanceReportsSuccessOnlyWhenTheVacuumRan)
{
    launch();
    EXPECT_FALSE(HMUnlocatedOutlookDatabase().vacuumDatabase());
    m_delegate->setDatabaseMaintenance(std::make_shared<CompactingDatabase>());
    m_delegate->vacuumSqliteDatabase();
    EXPECT_EQ(alertTexts(), (QStringList{"Click OK to begin database maintenance.", "Database maintenance complete"}));
}

// The command on the simulated Outlook's database: compacted while nobody holds it; refused while
// Outlook holds its lock, and when no database is found at all.
TEST_F(Diagnostics, DatabaseMaintenanceCompactsOutlooksDatabase)
{
    launch();
    OutlookPeerProcess peer;
    ASSERT_TRUE(peer.isReady());
    const QString failed = QStringLiteral("Unable to complete database maintenance. Try closing Outlook if it's open.");
    m_delegate->vacuumSqliteDatabase();
    EXPECT_EQ(alertTexts().last(), failed) << "no database under this home";
    testsupport::pointHomeAt(peer.home());
    m_delegate->vacuumSqliteDatabase();
    EXPECT_EQ(alertTexts().last(), QStringLiteral("Database maintenance complete"));
    peer.control({{QStringLiteral("op"), QStringLiteral("switches")}, {QStringLiteral("lockDatabase"), true}});
    m_delegate->vacuumSqliteDatabase();
    EXPECT_EQ(alertTexts().last(), failed);
    testsupport::pointHomeAt(m_home->path());
}

TEST_F(Diagnostics, VerboseSwitchesSetLevelExpiryAndStoredLevel)
{
    launch();
    m_delegate->turnOnVerboseLog();
    EXPECT_EQ(ddLogLevel.load(), LOG_LEVEL_VERBOSE);
    EXPECT_EQ(m_defaults->dateForKey(QStringLiteral("LoggingExpiration")), kNow.addSecs(172800));
    EXPECT_EQ(m_defaults->integerForKey(QStringLiteral("LogLevel")), 15);
    m_delegate->turnOffVerboseLog();
    EXPECT_EQ(ddLogLevel.load(), LOG_LEVEL_OFF);
    EXPECT_EQ(m_defaults->integerForKey(QStringLiteral("LogLevel")), 0);
    EXPECT_TRUE(alertTexts().isEmpty());
}

TEST_F(Diagnostics, MemoryFiguresAreMegabytesWithOneDecimal)
{
    HMAppDelegate delegate;
    const QRegularExpression figure(QStringLiteral("^ *[0-9]+\\.[0-9] MB$"));
    for (const QString &text : {delegate.getFreeMemory(), delegate.getApplicationMemory()})
        EXPECT_TRUE(figure.match(text).hasMatch()) << text.toStdString();
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^ *[0-9]+\\.[0-9]$")).match(delegate.totalAvailableMemory()).hasMatch());
    EXPECT_GT(delegate.getApplicationMemory().trimmed().section(QLatin1Char(' '), 0, 0).toDouble(), 1.0);
}

TEST_F(Diagnostics, CancelledResetKeepsEveryProfile)
{
    saveProfile(*m_defaults, QStringLiteral("Phone"), QStringLiteral("ContactManagerApple"), 30);
    launch();
    m_alerts->appendReturnCode(platform::NSAlertSecondButtonReturn);
    m_delegate->resetSettingsToDefault();
    ASSERT_TRUE(testsupport::waitUntil([&] { return m_alerts->remainingReturnCodes() == 0 && alertTexts().size() == 1; }));
    platform::DispatchQueue::runMainQueueUntilEmpty();
    const auto alert = m_alerts->recordedAlerts().front();
    EXPECT_EQ(alert.messageText, QStringLiteral("Are you sure you want to reset your settings?"));
    EXPECT_EQ(alert.informativeText, QStringLiteral("Reseting your settings can result in data loss and/or duplication."));
    EXPECT_EQ(alert.buttonTitles, (QStringList{"OK", "Cancel"}));
    EXPECT_EQ(alert.alertStyle, platform::AlertStyle::Warning);
    EXPECT_EQ(settingsFileNames().size(), 1);
    EXPECT_EQ(m_delegate->profiles().size(), 1);
}

TEST_F(Diagnostics, ResetRemovesProfilesTheirAutomaticSyncsAndWhatARunningSyncWritesBack)
{
    saveProfile(*m_defaults, QStringLiteral("Phone"), QStringLiteral("ContactManagerApple"), 30);
    saveProfile(*m_defaults, QStringLiteral("Outlook"), QStringLiteral("ContactManagerOutlook14"), 30);
    launch();
    m_delegate->observeSchedulingNotifications();
    ASSERT_EQ(m_delegate->backgroundSyncManager()->syncConfigurations().size(), 1u);
    ASSERT_TRUE(m_delegate->outlookAutosyncTimer());
    const std::shared_ptr<HMProfile> syncing = m_delegate->profiles().front();
    const auto oldWindow = m_delegate->mainWindowController();
    GlobalVariables::setIsSynchronizing(true);

    m_alerts->appendReturnCode(platform::NSAlertFirstButtonReturn);
    m_delegate->resetSettingsToDefault();
    ASSERT_TRUE(testsupport::waitUntil([&] { return m_delegate->mainWindowController() != oldWindow; }))
        << "awaited the new main window";
    // Only the new window's default profile may be saved meanwhile (the progress sheet of the running
    // sync comes back over the new window, which then saves it).
    const auto hasFileOf = [&](const HMProfile &profile) {
        return settingsFileNames().contains(profile.filename() + QStringLiteral(".settings"));
    };
    EXPECT_EQ(settingsFileNames().size(), hasFileOf(*m_delegate->profiles().front()) ? 1 : 0);
    // The new window finds no profile and starts one new, unsaved default profile.
    ASSERT_EQ(m_delegate->profiles().size(), 1);
    EXPECT_NE(m_delegate->profiles().front(), syncing);
    EXPECT_TRUE(m_delegate->backgroundSyncManager()->syncConfigurations().empty());
    EXPECT_FALSE(m_delegate->outlookAutosyncTimer());
    EXPECT_EQ(m_delegate->mainWindowController()->outlet<QLabel>(QStringLiteral("profileNameLabel"))->text(),
              m_delegate->profiles().front()->name());

    // The sync that ran saves its profile as it ends; the removed profile must not come back.
    HMProfileManager(*m_defaults).saveProfile(*syncing);
    EXPECT_TRUE(hasFileOf(*syncing));
    GlobalVariables::setIsSynchronizing(false);
    platform::NotificationCenter::defaultCenter().postNotificationName(QStringLiteral("kSynchronizationDidFinish"));
    EXPECT_TRUE(testsupport::waitUntil([&] { return !hasFileOf(*syncing); }))
        << "awaited the removal of the written-back profile";
}

TEST_F(Diagnostics, SleepStopsTheAutosyncTimerAndTheWakeCheckRestartsIt)
{
    saveProfile(*m_defaults, QStringLiteral("Outlook"), QStringLiteral("ContactManagerOutlook14"), 30);
    launch();
    ASSERT_TRUE(m_delegate->outlookAutosyncTimer());
    platform::Workspace::sharedWorkspace().notificationCenter().postNotificationName(
        QLatin1String(platform::NSWorkspaceWillSleepNotification));
    EXPECT_TRUE(testsupport::waitUntil([&] { return !m_delegate->outlookAutosyncTimer(); }))
        << "awaited the timer's stop on sleep";
    m_delegate->checkAutosyncTimersAfterWake();
    ASSERT_TRUE(m_delegate->outlookAutosyncTimer());
    EXPECT_EQ(m_delegate->outlookAutosyncTimer()->timeInterval(), 900.0);
    platform::Workspace::sharedWorkspace().notificationCenter().postNotificationName(
        QLatin1String(platform::NSWorkspaceScreensDidSleepNotification));
    EXPECT_TRUE(testsupport::waitUntil([&] { return !m_delegate->outlookAutosyncTimer(); }));
}

} // namespace
