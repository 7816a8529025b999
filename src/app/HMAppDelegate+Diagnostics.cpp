// The application delegate's support commands: the key commands, the logging switches, the memory
// figures of the log headers, Outlook database maintenance, the cloud's http switch and the reset of
// every setting.
#include "app/HMAppDelegate.h"

#include "app/HMDatabaseMaintenance.h"
#include "app/HMMainWindowController.h"
#include "app/zip/HMSupportLogArchive.h"
#include "foundation/GlobalVariables.h"
#include "foundation/HMFileManager.h"
#include "foundation/Lumberjack/DDFileLogger.h"
#include "foundation/Lumberjack/DDLog.h"
#include "foundation/Lumberjack/DDLogFileManager.h"
#include "platform/appkit/Alert.h"
#include "platform/appkit/Workspace.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/ConsoleLog.h"
#include "platform/foundation/UserDefaults.h"
#include "sync/HMDataConfigurationSource.h"
#include "sync/HMProfile.h"
#include "sync/HMProfileManager.h"

#include <QFile>

#include <optional>

#include <unistd.h>

namespace {

const QString kLogLevelKey = QStringLiteral("LogLevel");
const QString kUnsecureHttpKey = QStringLiteral("quillnestUseUnsecureHttp");
constexpr qint64 kVerboseLogSeconds = 172800;
constexpr double kBytesPerMegabyte = 1048576.0;
constexpr qint64 kMaxProcFileBytes = 64 * 1024;

bool hasCommand(const platform::KeyEvent &event, const char *letter, bool needsShift = false)
{
    if (!event.modifierFlags.testFlag(Qt::ControlModifier))
        return false;
    if (needsShift && !event.modifierFlags.testFlag(Qt::ShiftModifier))
        return false;
    return event.characters == QLatin1String(letter);
}

// A small file of /proc, read up to a limit; empty when it cannot be read.
QByteArray readProcFile(const char *path)
{
    QFile file(QString::fromLatin1(path));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.read(kMaxProcFileBytes);
}

// The figures of /proc/meminfo in kibibytes, by field name.
struct MemoryCounts
{
    double freeKiB = 0;
    double activeKiB = 0;
    double inactiveKiB = 0;
    double unevictableKiB = 0;
};

std::optional<MemoryCounts> systemMemoryCounts()
{
    const QByteArray meminfo = readProcFile("/proc/meminfo");
    if (meminfo.isEmpty())
        return std::nullopt;
    MemoryCounts counts;
    for (const QByteArray &line : meminfo.split('\n')) {
        const QList<QByteArray> words = line.simplified().split(' ');
        if (words.size() < 2)
            continue;
        const double kibibytes = words.at(1).toDouble();
        if (words.front() == "MemFree:")
            counts.freeKiB = kibibytes;
        else if (words.front() == "Active:")
            counts.activeKiB = kibibytes;
        else if (words.front() == "Inactive:")
            counts.inactiveKiB = kibibytes;
        else if (words.front() == "Unevictable:")
            counts.unevictableKiB = kibibytes;
    }
    return counts;
}

// The page size, the system's memory counts and the process's resident pages, each read once per
// figure; a value that cannot be read is reported on the console and counts as 0.
struct MemoryFigures
{
    double pageSize = 0;
    MemoryCounts counts;
    double residentPages = 0;
};

MemoryFigures readMemoryFigures()
{
    MemoryFigures figures;
    const long pageSize = sysconf(_SC_PAGESIZE);
    if (pageSize <= 0)
        platform::consoleLog(QStringLiteral("getting page size"));
    else
        figures.pageSize = double(pageSize);
    if (const std::optional<MemoryCounts> counts = systemMemoryCounts())
        figures.counts = *counts;
    else
        platform::consoleLog(QStringLiteral("Failed to get VM statistics."));
    const QList<QByteArray> statm = readProcFile("/proc/self/statm").split(' ');
    if (statm.size() >= 2)
        figures.residentPages = statm.at(1).toDouble();
    return figures;
}

QString megabytes(double bytes, const char *format)
{
    return QString::asprintf(format, bytes / kBytesPerMegabyte);
}

} // namespace

bool HMAppDelegate::handleKeyDown(const platform::KeyEvent &event)
{
    if (hasCommand(event, "l")) {
        toggleLogging();
    } else if (hasCommand(event, "p")) {
        enableSpecialLogging();
    } else if (hasCommand(event, "d")) {
        revealLogsFolder();
    } else if (hasCommand(event, "e", true) || hasCommand(event, "b", true)) {
        makeLogArchive();
    } else if (hasCommand(event, "y", true)) {
        vacuumSqliteDatabase();
    } else if (hasCommand(event, "h", true)) {
        changeQuillnestHttp();
    } else if (hasCommand(event, "i", true)) {
        revealDataFolder();
    } else {
        return false;
    }
    return true;
}

void HMAppDelegate::makeLogArchive()
{
    HMSupportLogArchive::makeLogArchive(HMSupportLogArchive::defaultSources(), m_fileRevealer);
}

void HMAppDelegate::showAlert(const QString &messageText)
{
    platform::Alert alert;
    alert.setMessageText(messageText);
    alert.runModal();
}

void HMAppDelegate::toggleLogging()
{
    const int32_t level = ddLogLevel.load();
    if (level == LOG_LEVEL_OFF || level == LOG_LEVEL_WARN) {
        ddLogLevel.store(LOG_LEVEL_INFO);
        showAlert(QStringLiteral("Logging Enabled"));
        userDefaults().setInteger(LOG_LEVEL_INFO, kLogLevelKey);
        userDefaults().setObject(platform::Clock::now().addDays(1), QLatin1String(kLoggingExpirationKey));
    } else {
        ddLogLevel.store(LOG_LEVEL_OFF);
        showAlert(QStringLiteral("Logging Disabled"));
        userDefaults().setInteger(LOG_LEVEL_OFF, kLogLevelKey);
        userDefaults().removeObjectForKey(QLatin1String(kLoggingExpirationKey));
    }
    if (const platform::Status written = userDefaults().synchronize(); !written)
        platform::consoleLog(QStringLiteral("Could not write the user defaults: %1").arg(written.error().message()));
    DDLogWarn(QStringLiteral("Log Level Changed to %1.").arg(ddLogLevel.load()));
}

void HMAppDelegate::enableSpecialLogging()
{
    showAlert(QStringLiteral("Special Logging Enabled"));
    DDLogWarn(QStringLiteral("Special Logging Enabled (Verbose)"));
    ddLogLevel.store(LOG_LEVEL_VERBOSE);
    userDefaults().setInteger(LOG_LEVEL_VERBOSE, kLogLevelKey);
    userDefaults().setObject(platform::Clock::now().addDays(1), QLatin1String(kLoggingExpirationKey));
}

void HMAppDelegate::revealLogsFolder()
{
    if (!m_fileLogger)
        return;
    const QString folder = m_fileLogger->logFileManager()->logsDirectory();
    DDLogInfo(QStringLiteral("Logs located at '%1'").arg(folder));
    platform::Workspace::sharedWorkspace().selectFile(folder, QString());
}

void HMAppDelegate::revealDataFolder()
{
    platform::Workspace::sharedWorkspace().selectFile(dataFolderPath(), QString());
}

void HMAppDelegate::turnOnVerboseLog()
{
    ddLogLevel.store(LOG_LEVEL_VERBOSE);
    userDefaults().setObject(platform::Clock::now().addSecs(kVerboseLogSeconds), QLatin1String(kLoggingExpirationKey));
    userDefaults().setInteger(LOG_LEVEL_VERBOSE, kLogLevelKey);
    static_cast<void>(userDefaults().synchronize());
}

void HMAppDelegate::turnOffVerboseLog()
{
    ddLogLevel.store(LOG_LEVEL_OFF);
    userDefaults().setInteger(LOG_LEVEL_OFF, kLogLevelKey);
    static_cast<void>(userDefaults().synchronize());
}

QString HMAppDelegate::getFreeMemory() const
{
    const MemoryFigures figures = readMemoryFigures();
    return megabytes((figures.counts.freeKiB + figures.counts.inactiveKiB) * 1024.0, "% 3.1f MB");
}

QString HMAppDelegate::getApplicationMemory() const
{
    const MemoryFigures figures = readMemoryFigures();
    return megabytes(figures.residentPages * figures.pageSize, "% 3.1f MB");
}

QString HMAppDelegate::totalAvailableMemory() const
{
    const MemoryFigures figures = readMemoryFigures();
    const MemoryCounts &counts = figures.counts;
    const double totalBytes = (counts.freeKiB + counts.activeKiB + counts.inactiveKiB + counts.unevictableKiB) * 1024.0;
    const double pages = figures.pageSize > 0 ? totalBytes / figures.pageSize : 0;
    platform::consoleLog(QStringLiteral("total %1").arg(pages, 0, 'f', 6));
    return megabytes(totalBytes, "% 3.1f");
}

void HMAppDelegate::logMemory() const
{
    DDLogVerbose(QStringLiteral("Application memory usage:%1\nFree system memory:%2\n")
                     .arg(getApplicationMemory(), getFreeMemory()));
}

void HMAppDelegate::vacuumSqliteDatabase()
{
    showAlert(QStringLiteral("Click OK to begin database maintenance."));
    const std::shared_ptr<HMDatabaseMaintenance> maintenance =
        m_databaseMaintenance ? m_databaseMaintenance : std::make_shared<HMOutlookDatabase>();
    maintenance->setSqliteFile();
    const bool isDone = maintenance->vacuumDatabase();
    showAlert(isDone ? QStringLiteral("Database maintenance complete")
                     : QStringLiteral("Unable to complete database maintenance. Try closing Outlook if it's open."));
}

void HMAppDelegate::changeQuillnestHttp()
{
    const bool wasUnsecure = userDefaults().boolForKey(kUnsecureHttpKey);
    userDefaults().setBool(!wasUnsecure, kUnsecureHttpKey);
    const QString message = wasUnsecure ? QStringLiteral("Quillnest configured for secure http protocol")
                                        : QStringLiteral("Quillnest configured for unsecure http protocol");
    static_cast<void>(userDefaults().synchronize());
    showAlert(message);
}

void HMAppDelegate::resetSettingsToDefault()
{
    auto alert = std::make_shared<platform::Alert>();
    alert->setAlertStyle(platform::AlertStyle::Warning);
    alert->addButtonWithTitle(QStringLiteral("OK"));
    // OK deletes every profile: Enter and Escape keep them.
    alert->setHarmlessButton(alert->addButtonWithTitle(QStringLiteral("Cancel")));
    alert->setMessageText(QStringLiteral("Are you sure you want to reset your settings?"));
    alert->setInformativeText(QStringLiteral("Reseting your settings can result in data loss and/or duplication."));
    m_resetAlert = alert;
    QWidget *const parent = m_mainWindowController ? m_mainWindowController->window() : nullptr;
    const std::weak_ptr<HMAppDelegate *> lifetime = m_lifetime;
    alert->beginSheetModalForWindow(parent, [lifetime](int returnCode) {
        if (const auto delegate = lifetime.lock())
            (*delegate)->alertDidEnd(returnCode);
    });
}

void HMAppDelegate::alertDidEnd(int returnCode)
{
    // The alert is still handing out this answer; it goes once the handler has returned.
    platform::DispatchQueue::main()->async([alert = std::exchange(m_resetAlert, nullptr)] {});
    if (returnCode != platform::NSAlertFirstButtonReturn)
        return;
    if (m_mainWindowController)
        m_mainWindowController->close();
    // The removed profiles must neither stay in the list nor keep syncing on their own.
    stopAutomaticSyncsOfAllProfiles();
    if (GlobalVariables::getIsSynchronizing())
        m_profilesRemovedDuringSync = m_profiles;
    m_profiles.clear();
    HMProfileManager(userDefaults()).deleteProfiles();
    showMainWindow();
}

void HMAppDelegate::stopAutomaticSyncsOfAllProfiles()
{
    stopOutlookAutosyncTimer();
    if (!m_backgroundSyncManager)
        return;
    for (const auto &profile : std::as_const(m_profiles)) {
        m_backgroundSyncManager->endBackgroundExecutionForSyncConfiguration(
            std::make_shared<HMDataConfigurationSource>(m_profileManager, profile));
    }
}

void HMAppDelegate::deleteRemovedProfileFiles()
{
    if (m_profilesRemovedDuringSync.isEmpty())
        return;
    HMProfileManager manager(userDefaults());
    for (const auto &profile : std::as_const(m_profilesRemovedDuringSync))
        manager.deleteProfile(*profile);
    m_profilesRemovedDuringSync.clear();
}
