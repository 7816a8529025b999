#pragma once

#include "foundation/Lumberjack/DDAbstractLogger.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>

namespace platform {
class DispatchTimer;
}

// The base of loggers that store messages in a database in batches: a subclass supplies the four
// storage steps (db_log, db_save, db_delete, db_saveAndDelete); this class decides when to save
// (after saveThreshold messages or saveInterval seconds) and when to delete entries older than
// maxAge (every deleteInterval seconds). Everything runs on the logger's own queue; the settings
// reach it directly, not through the logging queue. Made with std::make_shared.
class DDAbstractDatabaseLogger : public DDAbstractLogger
{
public:
    ~DDAbstractDatabaseLogger() override;

    // Unsaved messages that force a save; 0 means no count limit. 500 by default.
    uint64_t saveThreshold() const;
    void setSaveThreshold(uint64_t saveThreshold);
    // Longest time in seconds an unsaved message waits; 0 or less means no save timer. 60 by default.
    double saveInterval() const;
    void setSaveInterval(double saveInterval);
    // Age in seconds beyond which stored entries are deleted; 0 or less means never. 7 days by default.
    double maxAge() const;
    void setMaxAge(double maxAge);
    // Time in seconds between deletions; 0 or less means no delete timer. 300 by default.
    double deleteInterval() const;
    void setDeleteInterval(double deleteInterval);
    // Whether a save also deletes old entries. Off by default.
    bool deleteOnEverySave() const;
    void setDeleteOnEverySave(bool deleteOnEverySave);

    void savePendingLogEntries();
    void deleteOldLogEntries();

    void logMessage(const DDLogMessage &logMessage) override;
    void didAddLogger() override;
    void willRemoveLogger() override;
    void flush() override;

protected:
    explicit DDAbstractDatabaseLogger(const QString &loggerName);

    // The storage steps, run on the logger's queue. db_log answers whether it took the message.
    virtual bool db_log(const DDLogMessage &logMessage);
    virtual void db_save();
    virtual void db_delete();
    virtual void db_saveAndDelete();

private:
    template <typename T>
    T readSetting(const T &setting) const;
    void runOnOwnQueue(std::function<void()> block);
    template <typename T, typename Changed>
    void changeSetting(T &setting, T value, Changed changed);

    void performSaveAndSuspendSaveTimer();
    void createSuspendedSaveTimer();
    void updateAndResumeSaveTimer();
    void destroySaveTimer();
    void performDelete();
    void createAndStartDeleteTimer();
    void updateDeleteTimer();
    void rescheduleOrCreateDeleteTimer();
    void destroyDeleteTimer();

    // Touched only on the logger's queue.
    uint64_t m_saveThreshold = 500;
    double m_saveInterval = 60;
    double m_maxAge = 60 * 60 * 24 * 7;
    double m_deleteInterval = 60 * 5;
    bool m_deleteOnEverySave = false;
    bool m_isSaveTimerSuspended = false;
    uint64_t m_unsavedCount = 0;
    std::optional<std::chrono::steady_clock::time_point> m_unsavedTime;
    std::optional<std::chrono::steady_clock::time_point> m_lastDeleteTime;
    std::shared_ptr<platform::DispatchTimer> m_saveTimer;
    std::shared_ptr<platform::DispatchTimer> m_deleteTimer;
};
