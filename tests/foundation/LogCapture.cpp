#include "LogCapture.h"

#include "foundation/Lumberjack/DDAbstractLogger.h"
#include "foundation/Lumberjack/DDLog.h"
#include "foundation/Lumberjack/DDLogMessage.h"

#include <QByteArray>

#include <mutex>
#include <unistd.h>

// Keeps the text of every message it is given.
class LogRecorder final : public DDAbstractLogger
{
public:
    LogRecorder()
        : DDAbstractLogger(QStringLiteral("test.logCapture"))
    {
    }

    void logMessage(const DDLogMessage &logMessage) override
    {
        const std::lock_guard lock(m_mutex);
        m_texts.append(logMessage.logMsg());
    }

    QStringList texts() const
    {
        const std::lock_guard lock(m_mutex);
        return m_texts;
    }

private:
    mutable std::mutex m_mutex;
    QStringList m_texts;
};

LogCapture::LogCapture(int32_t level)
    : m_savedLevel(ddLogLevel.load())
    , m_recorder(std::make_shared<LogRecorder>())
{
    DDLog::addLogger(m_recorder);
    ddLogLevel.store(level);
}

LogCapture::~LogCapture()
{
    ddLogLevel.store(m_savedLevel);
    DDLog::removeLogger(m_recorder);
    DDLog::flushLog();
}

QByteArray readCapturedFile(int descriptor)
{
    QByteArray text;
    char buffer[4096];
    ssize_t got = 0;
    off_t offset = 0;
    while ((got = pread(descriptor, buffer, sizeof buffer, offset)) > 0) {
        text.append(buffer, got);
        offset += got;
    }
    return text;
}

QStringList LogCapture::lines()
{
    DDLog::flushLog();
    QStringList lines;
    for (const QString &text : m_recorder->texts())
        lines += text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    return lines;
}
