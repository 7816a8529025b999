// The harrowmere program started headless in a private home, and the launch steps in the test
// process: the start-up trace, the logging expiry, the configuration file and the import of the
// sandboxed edition's settings.
#include "ShellTestSupport.h"

#include "app/HMMainWindowController.h"
#include "foundation/Lumberjack/DDFileLogger.h"
#include "foundation/Lumberjack/DDLog.h"
#include "foundation/Lumberjack/DDLogFileManager.h"
#include "foundation/QtPrinters.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/PropertyList.h"
#include "support/TestSupport.h"
#include "sync/HMConfiguration.h"
#include "sync/HMProfile.h"

#include <QDialog>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

namespace {

const QStringList kNormalLaunchTrace = {
    "applicationWillFinishLaunching", "Normal launch", "applicationDidFinishLaunching",
    "checkForUpgradeFromAppStoreVersion", "configureLogging", "[1]", "[2]", "[3]", "configureUserProfiles",
    "configureBackgroundSyncing", "showMainWindow", "showMainWindow[1]", "newMainWindowController allocated",
    "showWindow called", "showWindow called", "Assigning newWindowController to mainWindowController", "returning"};

QStringList traceWith(QStringList trace, const QString &after, const QString &entry)
{
    trace.insert(trace.indexOf(after) + 1, entry);
    return trace;
}

QStringList loginLaunchTrace()
{
    QStringList trace = kNormalLaunchTrace;
    trace[1] = QStringLiteral("Login launch");
    trace[14] = QStringLiteral("[newMainWindowController paint]");
    return trace;
}

// The trace file's entries in their numbered order; fails the test when a key is not the next number.
QStringList traceEntries(const QString &dataFolder)
{
    const platform::Result<QVariantMap> trace =
        platform::readPropertyListDictionary(dataFolder + QStringLiteral("/startuplog.plist"));
    if (!trace) {
        ADD_FAILURE() << trace.error().message().toStdString();
        return {};
    }
    QStringList entries;
    for (qsizetype number = 1; number <= trace->size(); ++number) {
        const QVariant entry = trace->value(QString::number(number));
        EXPECT_EQ(entry.typeId(), QMetaType::QString) << "entry " << number;
        entries.append(entry.toString());
    }
    return entries;
}

// Starts the program in the home and waits until its start-up trace ends with "returning" while it
// still runs; then stops it. Answers the trace.
QStringList runProgramUntilStarted(const TemporaryHome &home, const QStringList &arguments)
{
    QFile::remove(home.dataFolder() + QStringLiteral("/startuplog.plist"));
    QProcess program;
    program.setEnvironment(home.environment());
    program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    program.start(QStringLiteral(HM_HARROWMERE_PATH), arguments);
    EXPECT_TRUE(program.waitForStarted(10000)) << program.errorString().toStdString();
    const QString tracePath = home.dataFolder() + QStringLiteral("/startuplog.plist");
    const bool isStarted = testsupport::waitUntil([&] {
        const platform::Result<QVariantMap> trace = platform::readPropertyListDictionary(tracePath);
        return program.state() != QProcess::Running
               || (trace && trace->value(QString::number(trace->size())).toString() == QLatin1String("returning"));
    });
    EXPECT_TRUE(isStarted) << "awaited the trace's last entry \"returning\"";
    EXPECT_EQ(program.state(), QProcess::Running) << "the program ended during start-up: " << program.exitCode();
    program.kill();
    program.waitForFinished(10000);
    return traceEntries(home.dataFolder());
}

class ProgramLaunch : public testing::Test
{
protected:
    TemporaryHome m_home;
};

TEST_F(ProgramLaunch, TraceHoldsTheOrderedStepsOfEachLaunchAndOnlyTheLatest)
{
    EXPECT_EQ(runProgramUntilStarted(m_home, {QStringLiteral("--launched-at-login")}), loginLaunchTrace());
    // The second start writes its own entries from "1" over the first start's.
    EXPECT_EQ(runProgramUntilStarted(m_home, {}), kNormalLaunchTrace);

    platform::UserDefaults defaults(platform::UserDefaults::standardDefaultsPath());
    saveProfile(defaults, QStringLiteral("Phone"), QStringLiteral("ContactManagerApple"), 30);
    EXPECT_EQ(runProgramUntilStarted(m_home, {}),
              traceWith(kNormalLaunchTrace, QStringLiteral("configureBackgroundSyncing"), QStringLiteral("showStatusBarMenu")));

    const platform::Result<QVariantMap> configuration =
        platform::readPropertyListDictionary(m_home.dataFolder() + QStringLiteral("/HMConfiguration.plist"));
    ASSERT_TRUE(configuration) << configuration.error().message().toStdString();
    EXPECT_EQ(configuration->keys(), (QStringList{"hmVersion", "lastRunDate", "runInBackground"}));
    EXPECT_EQ(configuration->value(QStringLiteral("runInBackground")), QVariant(true));
    EXPECT_EQ(configuration->value(QStringLiteral("hmVersion")), QVariant(qint64(0)));
}

class ShellLaunch : public LaunchedShell
{
};

TEST_F(ShellLaunch, LoginLaunchLeavesTheApplicationHiddenWithoutTaskBarWindows)
{
    launch({QStringLiteral("--launched-at-login")});
    EXPECT_TRUE(m_delegate->isLoginLaunch());
    EXPECT_TRUE(m_application->isHidden());
    EXPECT_EQ(m_application->activationPolicy(), platform::ActivationPolicy::Accessory);
    ASSERT_TRUE(m_delegate->mainWindowController());
    EXPECT_FALSE(m_delegate->mainWindowController()->window()->isVisible());
    EXPECT_EQ(traceEntries(m_home->dataFolder()), loginLaunchTrace());
}

TEST_F(ShellLaunch, EveryLaunchStartsWithLoggingOffAndDropsAPastExpiry)
{
    const QDateTime now(QDate(2026, 12, 7), QTime(12, 0), Qt::UTC);
    platform::Clock::setSource([now] { return now; });
    struct Row { const char *name; qint64 offsetSeconds; bool staysStored; };
    const Row rows[] = {{"an expiry in the past is removed", -60, false},
                        {"an expiry in the future stays", 3600, true}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        m_defaults->setObject(now.addSecs(row.offsetSeconds), QStringLiteral("LoggingExpiration"));
        ddLogLevel.store(LOG_LEVEL_VERBOSE);
        launch();
        EXPECT_EQ(ddLogLevel.load(), LOG_LEVEL_OFF);
        EXPECT_EQ(m_defaults->dateForKey(QStringLiteral("LoggingExpiration")).isValid(), row.staysStored);
        m_delegate.reset();
        m_application.reset();
    }
}

TEST_F(ShellLaunch, ConfigurationIsStampedWithTheLaunchTimeAndProfilesAreLoaded)
{
    const QDateTime now(QDate(2026, 12, 7), QTime(9, 30), Qt::UTC);
    platform::Clock::setSource([now] { return now; });
    saveProfile(*m_defaults, QStringLiteral("Work phone"), QStringLiteral("ContactManagerApple"), 0);
    launch();
    ASSERT_TRUE(m_delegate->configuration());
    EXPECT_EQ(m_delegate->configuration()->lastRunDate(), now);
    EXPECT_FALSE(m_delegate->configuration()->runInBackground());
    ASSERT_EQ(m_delegate->profiles().size(), 1);
    EXPECT_EQ(m_delegate->profiles().front()->name(), QStringLiteral("Work phone"));
    EXPECT_EQ(m_delegate->backgroundSyncManager()->delegate(), m_delegate.get());
    EXPECT_EQ(m_delegate->statusItem(), nullptr);
    ASSERT_TRUE(m_delegate->mainWindowController());
    EXPECT_TRUE(m_delegate->mainWindowController()->window()->isVisible());

    ASSERT_TRUE(m_delegate->fileLogger());
    EXPECT_EQ(m_delegate->fileLogger()->maximumFileSize(), 20971520u);
    EXPECT_EQ(m_delegate->fileLogger()->rollingFrequency(), 86400.0);
    EXPECT_EQ(m_delegate->fileLogger()->logFileManager()->maximumNumberOfLogFiles(), 4u);
    EXPECT_EQ(m_delegate->fileLogger()->logFileManager()->logsDirectory(), m_home->logFolder());
}

// Writes a file with the given modification time.
void writeFileAt(const QString &path, const QByteArray &bytes, const QDateTime &modified)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
    file.write(bytes);
    file.flush();
    ASSERT_TRUE(file.setFileTime(modified, QFileDevice::FileModificationTime));
}

TEST_F(ShellLaunch, SandboxSettingsAreImportedOnlyWhenNewer)
{
    const QDateTime base(QDate(2026, 11, 1), QTime(8, 0), Qt::UTC);
    struct Row
    {
        const char *name;
        bool hasSource;
        qint64 sourceAgeSeconds;      // the sandbox's settings are this much older than the base
        qint64 destinationAgeSeconds; // the data folder's (negative: none)
        qint64 copiedAgeSeconds;      // the stored copy date, set as the import stores it (negative: none)
        bool isImported;
    };
    const Row rows[] = {
        {"no sandbox folder", false, 0, -1, -1, false},
        {"newer sandbox settings are copied", true, 0, 600, -1, true},
        {"older sandbox settings stay", true, 600, 0, -1, false},
        {"the same state was copied before", true, 0, 600, 0, false},
        {"a later copy date was stored", true, 600, 1200, 0, false},
        {"an earlier copy date lets it copy", true, 0, 1200, 600, true},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        TemporaryHome home;
        platform::UserDefaults defaults;
        const QString sandbox = home.path() + QStringLiteral("/.var/app/com.harrowmere.Harrowmere/data/com.harrowmere.Harrowmere");
        if (row.hasSource) {
            writeFileAt(sandbox + QStringLiteral("/a.settings"), "first", base.addSecs(-row.sourceAgeSeconds));
            writeFileAt(sandbox + QStringLiteral("/nested/b.settings"), "second", base.addSecs(-row.sourceAgeSeconds));
            writeFileAt(sandbox + QStringLiteral("/notes.txt"), "not a setting", base);
        }
        if (row.destinationAgeSeconds >= 0)
            writeFileAt(home.dataFolder() + QStringLiteral("/old.settings"), "kept", base.addSecs(-row.destinationAgeSeconds));
        if (row.copiedAgeSeconds >= 0)
            defaults.setObject(base.addSecs(-row.copiedAgeSeconds).addMSecs(1), QStringLiteral("NSDateSandboxLastModifiedDateAtCopy"));
        HMAppDelegate delegate;
        delegate.setUserDefaults(defaults);
        delegate.checkForUpgradeFromAppStoreVersion();
        const QDir data(home.dataFolder());
        EXPECT_EQ(data.exists(QStringLiteral("a.settings")), row.isImported);
        EXPECT_EQ(data.exists(QStringLiteral("b.settings")), row.isImported);
        EXPECT_FALSE(data.exists(QStringLiteral("notes.txt")));
        if (row.isImported) {
            QFile imported(data.filePath(QStringLiteral("b.settings")));
            ASSERT_TRUE(imported.open(QIODevice::ReadOnly));
            EXPECT_EQ(imported.readAll(), QByteArray("second"));
            EXPECT_EQ(imported.permissions() & (QFileDevice::ReadOther | QFileDevice::ReadGroup), 0);
            EXPECT_EQ(defaults.dateForKey(QStringLiteral("NSDateSandboxLastModifiedDateAtCopy")),
                      base.addSecs(-row.sourceAgeSeconds).addMSecs(1));
        }
    }
}

} // namespace
