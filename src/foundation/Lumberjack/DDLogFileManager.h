#pragma once

#include "platform/foundation/Result.h"

#include <QString>
#include <QStringList>

#include <memory>
#include <vector>

class DDLogFileInfo;

// What the file logger needs of whoever owns the log folder: the files in it, newest first, and a new
// file when the current one is finished.
class DDLogFileManager
{
public:
    virtual ~DDLogFileManager() = default;

    // The folder's path; the folder is created when missing.
    virtual QString logsDirectory() = 0;
    virtual QStringList unsortedLogFilePaths() = 0;
    virtual QStringList unsortedLogFileNames() = 0;
    virtual std::vector<std::shared_ptr<DDLogFileInfo>> unsortedLogFileInfos() = 0;
    // Newest first, by creation date.
    virtual QStringList sortedLogFilePaths() = 0;
    virtual QStringList sortedLogFileNames() = 0;
    virtual std::vector<std::shared_ptr<DDLogFileInfo>> sortedLogFileInfos() = 0;
    // Makes a new log file and answers its path.
    virtual platform::Result<QString> createNewLogFile() = 0;
    // How many finished files remain beside the current one.
    virtual quint64 maximumNumberOfLogFiles() const = 0;
    virtual void setMaximumNumberOfLogFiles(quint64 maximumNumberOfLogFiles) = 0;

    // Told when the logger marked a file finished while looking for its current file, and when it
    // closed its current file.
    virtual void didArchiveLogFile(const QString &logFilePath) { static_cast<void>(logFilePath); }
    virtual void didRollAndArchiveLogFile(const QString &logFilePath) { static_cast<void>(logFilePath); }
};
