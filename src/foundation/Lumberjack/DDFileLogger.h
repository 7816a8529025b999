#pragma once

#include "foundation/Lumberjack/DDAbstractLogger.h"

#include <QString>

#include <cstdint>
#include <memory>

namespace platform {
class DispatchTimer;
class FileHandle;
}
class DDLogFileInfo;
class DDLogFileManager;

// The logger of the log files: writes every message as UTF-8 lines ended by CR LF at the end of the
// current log file, and starts a new file when the current one reaches its size or its age limit.
// Which files exist and how they are named belongs to its log file manager.
//
// Messages, the limits' checks, the age timer and closing run on the logger's own queue
// ("cocoa.lumberjack.fileLogger"); the settings reach that queue through the logging queue and must
// not be called on it. No file is opened or created until the first message arrives. Made with
// std::make_shared.
class DDFileLogger final : public DDAbstractLogger
{
public:
    // A logger of the default log folder.
    DDFileLogger();
    explicit DDFileLogger(std::shared_ptr<DDLogFileManager> logFileManager);
    // Closes the current file (flushed to disk) without marking it finished, so the next run
    // continues it.
    ~DDFileLogger() override;

    // The size in bytes at which the current file is closed; 1 MiB by default. A new limit is
    // applied at once.
    uint64_t maximumFileSize() const;
    void setMaximumFileSize(uint64_t maximumFileSize);
    // The age in seconds at which the current file is closed, even when nothing is logged; one day by
    // default. A new limit is applied at once.
    double rollingFrequency() const;
    void setRollingFrequency(double rollingFrequency);

    const std::shared_ptr<DDLogFileManager> &logFileManager() const { return m_logFileManager; }

    void logMessage(const DDLogMessage &logMessage) override;
    void willRemoveLogger() override;
    QString loggerName() const override;

    // Closes the current file and marks it finished; the next message starts a new one.
    void rollLogFile();
    // Writes the "[SYSTEM INFO]" block into the current file (nothing while logging is off).
    void writeLogFileHeader();
    // Writes the "[Synchronize button pressed]" block with the contact manager's title and the two
    // memory figures the application supplies (nothing while logging is off). Callable from any
    // thread but the logging queue; the block lands in order with the messages logged before it.
    void writeUpdatedSystemInfo(const QString &contactManager, const QString &applicationMemory,
                                const QString &freeMemory);

    // The text of the "[SYSTEM INFO]" block for the running system, or a null text while logging is
    // off. Thread-safe.
    static QString logFileHeader();

    // The file being written, found or created when none is held. Runs on the logger's queue.
    std::shared_ptr<DDLogFileInfo> currentLogFileInfo();

private:
    // All of these run on the logger's queue.
    platform::FileHandle *currentLogFileHandle();
    platform::FileHandle *openCurrentLogFile();
    void writeText(const QString &text);
    void maybeRollLogFileDueToSize();
    void maybeRollLogFileDueToAge();
    void scheduleTimerToRollLogFileDueToAge();
    void cancelAgeTimer();
    void rollLogFileNow();

    const std::shared_ptr<DDLogFileManager> m_logFileManager;
    // Touched only on the logger's queue.
    std::shared_ptr<DDLogFileInfo> m_currentLogFileInfo;
    // Set when the current file could not be opened: the next file is a new one, not the newest found.
    bool m_shouldStartNewFile = false;
    std::unique_ptr<platform::FileHandle> m_currentLogFileHandle;
    // One-shot, on the logger's queue; fires when the current file reaches its age limit.
    std::shared_ptr<platform::DispatchTimer> m_rollingTimer;
    uint64_t m_maximumFileSize = 1024 * 1024;
    double m_rollingFrequency = 60 * 60 * 24;
};
