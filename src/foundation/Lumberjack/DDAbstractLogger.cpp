#include "foundation/Lumberjack/DDAbstractLogger.h"

#include "foundation/Lumberjack/DDLog.h"
#include "foundation/Lumberjack/DDLogFormatter.h"
#include "foundation/Lumberjack/DDLogMessage.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/Assert.h"
#include "platform/foundation/ConsoleLog.h"

#include <utility>

namespace {

bool refuseOnLoggingQueue(const char *source)
{
    if (!DDLog::isOnLoggingQueue())
        return false;
    // A synchronous hop from the logging queue through itself would wait for itself forever.
    platform::consoleLog(QStringLiteral("%1: Core architecture requirement failure").arg(QString::fromUtf8(source)));
    HM_ASSERT(false, QStringLiteral("Core architecture requirement failure"));
    return true;
}

} // namespace

DDAbstractLogger::DDAbstractLogger(const QString &loggerName)
    : m_loggerName(loggerName)
    , m_loggerQueue(platform::DispatchQueue::createSerial(loggerName))
{
}

DDAbstractLogger::~DDAbstractLogger() = default;

void DDAbstractLogger::logMessage(const DDLogMessage &)
{
}

std::shared_ptr<DDLogFormatter> DDAbstractLogger::logFormatter()
{
    return readOnLoggerQueue(m_formatter, "Lumberjack/DDLog");
}

void DDAbstractLogger::setLogFormatter(const std::shared_ptr<DDLogFormatter> &formatter)
{
    writeOnLoggerQueue(m_formatter, formatter, "Lumberjack/DDLog");
}

std::shared_ptr<platform::DispatchQueue> DDAbstractLogger::loggerQueue() const
{
    return m_loggerQueue;
}

QString DDAbstractLogger::loggerName() const
{
    return m_loggerName;
}

QString DDAbstractLogger::formattedText(const DDLogMessage &logMessage) const
{
    if (m_formatter)
        return m_formatter->formatLogMessage(logMessage);
    return logMessage.logMsg();
}

bool DDAbstractLogger::isOnLoggerQueue() const
{
    return m_loggerQueue->isCurrent();
}

bool DDAbstractLogger::runSynchronouslyOnLoggerQueue(const std::function<void()> &block, const char *source) const
{
    if (isOnLoggerQueue()) {
        block();
        return true;
    }
    if (refuseOnLoggingQueue(source))
        return false;
    DDLog::loggingQueue()->sync([this, &block] { m_loggerQueue->sync(block); });
    return true;
}

bool DDAbstractLogger::runOnLoggerQueue(std::function<void()> block, const char *source)
{
    if (isOnLoggerQueue()) {
        block();
        return true;
    }
    if (refuseOnLoggingQueue(source))
        return false;
    // The caller may drop its last reference before the block runs: then the block is dropped too.
    DDLog::loggingQueue()->async([queue = m_loggerQueue, weakSelf = weak_from_this(), block = std::move(block)] {
        queue->sync([&weakSelf, &block] {
            if (const std::shared_ptr<DDAbstractLogger> self = weakSelf.lock())
                block();
        });
    });
    return true;
}
