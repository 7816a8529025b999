#include "foundation/Lumberjack/DDFileLogger.h"

#include "foundation/Lumberjack/DDLog.h"
#include "foundation/Lumberjack/DDLogFileFormatterDefault.h"
#include "foundation/Lumberjack/DDLogFileInfo.h"
#include "foundation/Lumberjack/DDLogFileManagerDefault.h"
#include "foundation/Lumberjack/DDLogMessage.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/DispatchTimer.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/ConsoleLog.h"
#include "platform/foundation/FileHandle.h"
#include "platform/foundation/FileSystem.h"
#include "platform/foundation/ProcessInfo.h"
#include "platform/foundation/TimeZone.h"

#include <QFileInfo>

#include <algorithm>
#include <utility>

namespace {

const char *const kSettingsSource = "Lumberjack/DDFileLogger";

QString applicationVersion()
{
    return QStringLiteral("Version %1 build %2").arg(platform::Bundle::shortVersion(), platform::Bundle::buildVersion());
}

QString systemTimeZoneDescription()
{
    const platform::TimeZone zone = platform::TimeZone::systemTimeZone();
    const QDateTime now = platform::Clock::now();
    return QStringLiteral("%1 (%2) offset %3").arg(zone.name(), zone.abbreviation(now)).arg(zone.secondsFromGmt(now));
}

// Every line of the text ends with CR LF; a text that already held CR LF keeps its CR and gains one.
QString withLogFileLineEnds(QString text)
{
    if (!text.endsWith(QLatin1Char('\n')))
        text.append(QLatin1Char('\n'));
    text.replace(QStringLiteral("\n"), QStringLiteral("\r\n"));
    return text;
}

} // namespace

DDFileLogger::DDFileLogger()
    : DDFileLogger(std::make_shared<DDLogFileManagerDefault>())
{
}

DDFileLogger::DDFileLogger(std::shared_ptr<DDLogFileManager> logFileManager)
    : DDAbstractLogger(QStringLiteral("cocoa.lumberjack.fileLogger"))
    , m_logFileManager(std::move(logFileManager))
{
    m_formatter = std::make_shared<DDLogFileFormatterDefault>();
}

DDFileLogger::~DDFileLogger()
{
    cancelAgeTimer();
    if (m_currentLogFileHandle) {
        static_cast<void>(m_currentLogFileHandle->synchronize());
        static_cast<void>(m_currentLogFileHandle->close());
    }
}

uint64_t DDFileLogger::maximumFileSize() const
{
    return readOnLoggerQueue(m_maximumFileSize, kSettingsSource);
}

void DDFileLogger::setMaximumFileSize(uint64_t maximumFileSize)
{
    writeOnLoggerQueue(m_maximumFileSize, maximumFileSize, kSettingsSource, [this] { maybeRollLogFileDueToSize(); });
}

double DDFileLogger::rollingFrequency() const
{
    return readOnLoggerQueue(m_rollingFrequency, kSettingsSource);
}

void DDFileLogger::setRollingFrequency(double rollingFrequency)
{
    writeOnLoggerQueue(m_rollingFrequency, rollingFrequency, kSettingsSource, [this] { maybeRollLogFileDueToAge(); });
}

void DDFileLogger::logMessage(const DDLogMessage &logMessage)
{
    const QString text = formattedText(logMessage);
    if (text.isNull())
        return;
    writeText(withLogFileLineEnds(text));
}

void DDFileLogger::willRemoveLogger()
{
    rollLogFileNow();
}

QString DDFileLogger::loggerName() const
{
    return QStringLiteral("cocoa.lumberjack.fileLogger");
}

void DDFileLogger::rollLogFile()
{
    runOnLoggerQueue([this] { rollLogFileNow(); }, kSettingsSource);
}

void DDFileLogger::writeLogFileHeader()
{
    const QString header = logFileHeader();
    if (header.isNull())
        return;
    runOnLoggerQueue([this, header] { writeText(header); }, kSettingsSource);
}

void DDFileLogger::writeUpdatedSystemInfo(const QString &contactManager, const QString &applicationMemory,
                                          const QString &freeMemory)
{
    if (ddLogLevel.load() == 0)
        return;
    const QString block = QStringLiteral("[Synchronize button pressed]\r\nSystem Version: %1\r\nHarrowmere Version: "
                                         "%2\r\nContact Manager: %3\r\nApplication Memory: %4\r\nFree Memory: %5\r\n")
                              .arg(platform::ProcessInfo::operatingSystemVersionString(), applicationVersion(),
                                   contactManager, applicationMemory, freeMemory);
    runOnLoggerQueue([this, block] { writeText(block); }, kSettingsSource);
}

QString DDFileLogger::logFileHeader()
{
    if (ddLogLevel.load() == 0)
        return {};
    return QStringLiteral("[SYSTEM INFO]\r\nSystem Version: %1\r\nHarrowmere Version: %2\r\nSystem Time Zone: %3\r\n\r\n")
        .arg(platform::ProcessInfo::operatingSystemVersionString(), applicationVersion(), systemTimeZoneDescription());
}

std::shared_ptr<DDLogFileInfo> DDFileLogger::currentLogFileInfo()
{
    if (m_currentLogFileInfo)
        return m_currentLogFileInfo;

    const std::vector<std::shared_ptr<DDLogFileInfo>> sortedInfos =
        m_shouldStartNewFile ? std::vector<std::shared_ptr<DDLogFileInfo>>() : m_logFileManager->sortedLogFileInfos();
    if (!sortedInfos.empty()) {
        const std::shared_ptr<DDLogFileInfo> &newest = sortedInfos.front();
        if (!newest->isArchived()) {
            // A file the previous run left within its limits is continued.
            if (newest->fileSize() < m_maximumFileSize && newest->age() < m_rollingFrequency) {
                m_currentLogFileInfo = newest;
            } else {
                newest->setIsArchived(true);
                m_logFileManager->didArchiveLogFile(newest->filePath());
            }
        }
    }
    if (!m_currentLogFileInfo) {
        const platform::Result<QString> newPath = m_logFileManager->createNewLogFile();
        if (!newPath) {
            platform::consoleLog(QStringLiteral("DDFileLogger: %1").arg(newPath.error().message()));
            return nullptr;
        }
        m_currentLogFileInfo = DDLogFileInfo::logFileWithPath(*newPath);
        m_shouldStartNewFile = false;
    }
    return m_currentLogFileInfo;
}

platform::FileHandle *DDFileLogger::openCurrentLogFile()
{
    const std::shared_ptr<DDLogFileInfo> info = currentLogFileInfo();
    if (!info)
        return nullptr;
    platform::Result<std::unique_ptr<platform::FileHandle>> opened =
        platform::FileHandle::openForAppending(info->filePath());
    if (!opened) {
        platform::consoleLog(QStringLiteral("DDFileLogger: %1").arg(opened.error().message()));
        // A file that vanished, or that a folder, a link or anything else now stands in for, is given
        // up for a new one, so that one bad name does not end logging for the run.
        m_currentLogFileInfo.reset();
        m_shouldStartNewFile = opened.error().code() != platform::ErrorCode::IoNotFound;
        return nullptr;
    }
    m_currentLogFileHandle = std::move(*opened);
    scheduleTimerToRollLogFileDueToAge();
    return m_currentLogFileHandle.get();
}

platform::FileHandle *DDFileLogger::currentLogFileHandle()
{
    // A file deleted or moved from outside is closed, and the message that noticed it goes to a new
    // file rather than being lost; a second failure in a row gives the message up.
    for (int attempt = 0; attempt < 2; ++attempt) {
        platform::FileHandle *handle = m_currentLogFileHandle ? m_currentLogFileHandle.get() : openCurrentLogFile();
        if (handle == nullptr) {
            if (m_currentLogFileInfo)
                return nullptr;
            continue;
        }
        const QFileInfo current(m_currentLogFileInfo->filePath());
        if (current.isFile() && !current.isSymLink())
            return handle;
        rollLogFileNow();
    }
    return nullptr;
}

void DDFileLogger::writeText(const QString &text)
{
    platform::FileHandle *handle = currentLogFileHandle();
    if (handle == nullptr)
        return;
    const platform::Status written = handle->write(text.toUtf8());
    if (!written) {
        // A full disk or a failing device: drop the handle without marking the file finished, so the
        // next message opens it again and carries on where this one stopped.
        platform::consoleLog(QStringLiteral("DDFileLogger: %1").arg(written.error().message()));
        m_currentLogFileHandle.reset();
        cancelAgeTimer();
        return;
    }
    maybeRollLogFileDueToSize();
}

void DDFileLogger::maybeRollLogFileDueToSize()
{
    if (m_currentLogFileHandle && m_currentLogFileHandle->offset() >= m_maximumFileSize)
        rollLogFileNow();
}

void DDFileLogger::maybeRollLogFileDueToAge()
{
    if (!m_currentLogFileInfo)
        return;
    if (m_currentLogFileInfo->age() >= m_rollingFrequency)
        rollLogFileNow();
    else
        scheduleTimerToRollLogFileDueToAge();
}

void DDFileLogger::scheduleTimerToRollLogFileDueToAge()
{
    cancelAgeTimer();
    if (!m_currentLogFileInfo)
        return;
    const double secondsLeft = std::max(0.0, m_rollingFrequency - m_currentLogFileInfo->age());
    m_rollingTimer = platform::DispatchTimer::create(loggerQueue());
    m_rollingTimer->setEventHandler([weakSelf = weak_from_this()] {
        if (const auto self = std::static_pointer_cast<DDFileLogger>(weakSelf.lock()))
            self->maybeRollLogFileDueToAge();
    });
    m_rollingTimer->schedule(secondsLeft, 0);
    m_rollingTimer->resume();
}

void DDFileLogger::cancelAgeTimer()
{
    if (!m_rollingTimer)
        return;
    m_rollingTimer->cancel();
    m_rollingTimer.reset();
}

void DDFileLogger::rollLogFileNow()
{
    if (!m_currentLogFileHandle)
        return;
    static_cast<void>(m_currentLogFileHandle->synchronize());
    static_cast<void>(m_currentLogFileHandle->close());
    m_currentLogFileHandle.reset();

    const std::shared_ptr<DDLogFileInfo> finished = std::move(m_currentLogFileInfo);
    m_currentLogFileInfo.reset();
    finished->setIsArchived(true);
    m_logFileManager->didRollAndArchiveLogFile(finished->filePath());
    cancelAgeTimer();
}
