#pragma once

#include "foundation/Lumberjack/DDLogFileManager.h"

#include <atomic>
#include <memory>

// The log folder of the application: names and creates new log files ("log-XXXXXX.txt", six
// upper-case hexadecimal digits), lists and sorts the existing ones and deletes the oldest finished
// files beyond a count. Its operations run on whatever queue calls them and share nothing but the
// file system and the count, which is atomic. Made with std::make_shared.
class DDLogFileManagerDefault final : public DDLogFileManager,
                                      public std::enable_shared_from_this<DDLogFileManagerDefault>
{
public:
    // A manager of the given folder, or of the default folder for a null path.
    explicit DDLogFileManagerDefault(const QString &logsDirectory = QString());

    // The application's log folder: <state folder>/<process name>/Logs.
    static QString defaultLogsDirectory();
    // Whether a folder entry is a log file: "log-", then six characters of "0123456789ABCDEF", and
    // anything after them.
    static bool isLogFile(const QString &fileName);
    // The first six characters of a new UUID's text: upper-case hexadecimal digits.
    static QString generateShortUUID();

    QString logsDirectory() override;
    QStringList unsortedLogFilePaths() override;
    QStringList unsortedLogFileNames() override;
    std::vector<std::shared_ptr<DDLogFileInfo>> unsortedLogFileInfos() override;
    QStringList sortedLogFilePaths() override;
    QStringList sortedLogFileNames() override;
    std::vector<std::shared_ptr<DDLogFileInfo>> sortedLogFileInfos() override;

    // Creates a new log file that starts with the "[SYSTEM INFO]" block (when logging is on), then
    // deletes the oldest finished files beyond the count.
    platform::Result<QString> createNewLogFile() override;

    quint64 maximumNumberOfLogFiles() const override;
    // A change of the count deletes the files beyond the new count, later, on the logging queue.
    void setMaximumNumberOfLogFiles(quint64 maximumNumberOfLogFiles) override;

    // Deletes every finished file beyond the newest maximumNumberOfLogFiles; the newest file, when not
    // archived, is the one being written and is never deleted.
    void deleteOldLogFiles();

private:
    QString m_logsDirectory;
    std::atomic<quint64> m_maximumNumberOfLogFiles{5};
};
