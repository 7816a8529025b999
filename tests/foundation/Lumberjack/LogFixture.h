#pragma once

#include "foundation/Lumberjack/DDFileLogger.h"
#include "foundation/Lumberjack/DDLog.h"
#include "foundation/Lumberjack/DDLogFileInfo.h"
#include "foundation/Lumberjack/DDLogFileManagerDefault.h"
#include "platform/foundation/FileIO.h"

#include <QByteArray>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>
#include <ostream>

// Failure messages show texts as texts.
inline void PrintTo(const QString &text, std::ostream *stream)
{
    *stream << '"' << text.toStdString() << '"';
}

// A file logger on a fresh temporary log folder, registered with the dispatcher at level 7. Each test
// runs in a process of its own under CTest, so the dispatcher starts empty every time.
class FileLoggerFixture : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_folder.isValid());
        ddLogLevel = LOG_LEVEL_INFO;
        manager = std::make_shared<DDLogFileManagerDefault>(logsPath());
        logger = std::make_shared<DDFileLogger>(manager);
    }

    void TearDown() override
    {
        DDLog::removeAllLoggers();
        DDLog::flushLog();
        ddLogLevel = LOG_LEVEL_OFF;
    }

    QString logsPath() const { return m_folder.filePath(QStringLiteral("Logs")); }

    void addLogger() { DDLog::addLogger(logger); }

    // The whole of a file, or of the newest log file.
    static QByteArray contents(const QString &path)
    {
        const platform::Result<QByteArray> bytes = platform::readWholeFile(path);
        return bytes ? *bytes : QByteArray();
    }
    QByteArray newestContents() const
    {
        const QStringList paths = manager->sortedLogFilePaths();
        return paths.isEmpty() ? QByteArray() : contents(paths.front());
    }

    std::shared_ptr<DDLogFileManagerDefault> manager;
    std::shared_ptr<DDFileLogger> logger;

private:
    QTemporaryDir m_folder;
};
