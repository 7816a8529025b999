#include "foundation/Lumberjack/DDLog.h"

#include "foundation/Lumberjack/DDLogMessage.h"
#include "foundation/Lumberjack/DDLogger.h"
#include "foundation/Lumberjack/DDLoggerNode.h"
#include "platform/dispatch/DispatchGroup.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/DispatchSemaphore.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/ProcessInfo.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <vector>

std::atomic<int32_t> ddLogLevel{0};

namespace {

// Messages queued or in progress at once; a caller that would add one more waits.
constexpr long kMaximumQueuedMessages = 1000;

struct ClassLevelAccess
{
    std::function<int32_t()> reader;
    std::function<void(int32_t)> writer;
};

struct LogState
{
    const std::shared_ptr<platform::DispatchQueue> loggingQueue =
        platform::DispatchQueue::createSerial(QStringLiteral("cocoa.lumberjack"));
    const std::shared_ptr<platform::DispatchGroup> loggingGroup = platform::DispatchGroup::create();
    const std::shared_ptr<platform::DispatchSemaphore> queueSemaphore =
        platform::DispatchSemaphore::create(kMaximumQueuedMessages);
    // With one processor the loggers of a message run one after another, without the hops of a group.
    const int processorCount = std::max(1, platform::ProcessInfo::processorCount());
    // Touched only on the logging queue.
    std::vector<std::shared_ptr<DDLoggerNode>> loggers;
    platform::ObserverToken willTerminateObserver;

    std::mutex classesMutex;
    std::map<QString, ClassLevelAccess> classes; // guarded by classesMutex
};

LogState &makeState()
{
    // Never destroyed: worker threads may still log while the process runs its static destructors,
    // and they must find the queue, the loggers and the semaphore in place.
    auto &state = *new LogState;
    state.loggers.reserve(4);
    state.willTerminateObserver = platform::NotificationCenter::defaultCenter().addObserver(
        QStringLiteral("NSApplicationWillTerminateNotification"), nullptr,
        [](const platform::Notification &) { DDLog::applicationWillTerminate(); });
    return state;
}

LogState &logState()
{
    static LogState &state = makeState();
    return state;
}

// One message on the logging queue: every logger handles it before the next message starts.
void logToEveryLogger(LogState &state, const std::shared_ptr<const DDLogMessage> &logMessage)
{
    // One logger (the application registers only its file logger) has nothing to run beside: a sync
    // onto its idle queue runs it on this thread, which spares two thread hops per message.
    if (state.processorCount < 2 || state.loggers.size() == 1) {
        for (const std::shared_ptr<DDLoggerNode> &node : state.loggers)
            node->loggerQueue()->sync([&node, &logMessage] { node->logger()->logMessage(*logMessage); });
    } else {
        for (const std::shared_ptr<DDLoggerNode> &node : state.loggers) {
            state.loggingGroup->async(node->loggerQueue(),
                                      [logger = node->logger(), logMessage] { logger->logMessage(*logMessage); });
        }
        state.loggingGroup->wait();
    }
    state.queueSemaphore->signal();
}

void addLoggerOnLoggingQueue(LogState &state, const std::shared_ptr<DDLogger> &logger)
{
    std::shared_ptr<platform::DispatchQueue> queue = logger->loggerQueue();
    if (!queue)
        queue = platform::DispatchQueue::createSerial(logger->loggerName());
    state.loggers.push_back(DDLoggerNode::nodeWithLogger(logger, queue));
    queue->async([logger] { logger->didAddLogger(); });
}

void tellRemoved(const DDLoggerNode &node)
{
    node.loggerQueue()->async([logger = node.logger()] { logger->willRemoveLogger(); });
}

} // namespace

void DDLog::log(bool asynchronous, int32_t level, int32_t flag, int32_t context, const char *file,
                const char *function, int32_t line, const void *tag, const QString &message)
{
    if (message.isNull())
        return;
    queueLogMessage(std::make_shared<const DDLogMessage>(message, level, flag, context, file, function, line, tag),
                    asynchronous);
}

void DDLog::queueLogMessage(const std::shared_ptr<const DDLogMessage> &logMessage, bool asynchronously)
{
    LogState &state = logState();
    state.queueSemaphore->wait();
    auto job = [&state, logMessage] { logToEveryLogger(state, logMessage); };
    if (asynchronously)
        state.loggingQueue->async(std::move(job));
    else
        state.loggingQueue->sync(job);
}

void DDLog::addLogger(const std::shared_ptr<DDLogger> &logger)
{
    if (!logger)
        return;
    LogState &state = logState();
    state.loggingQueue->async([&state, logger] { addLoggerOnLoggingQueue(state, logger); });
}

void DDLog::removeLogger(const std::shared_ptr<DDLogger> &logger)
{
    if (!logger)
        return;
    LogState &state = logState();
    state.loggingQueue->async([&state, logger] {
        const auto found = std::find_if(state.loggers.begin(), state.loggers.end(),
                                        [&logger](const auto &node) { return node->logger() == logger; });
        if (found == state.loggers.end())
            return;
        tellRemoved(**found);
        state.loggers.erase(found);
    });
}

void DDLog::removeAllLoggers()
{
    LogState &state = logState();
    state.loggingQueue->async([&state] {
        for (const std::shared_ptr<DDLoggerNode> &node : state.loggers)
            tellRemoved(*node);
        state.loggers.clear();
    });
}

void DDLog::flushLog()
{
    LogState &state = logState();
    state.loggingQueue->sync([&state] {
        for (const std::shared_ptr<DDLoggerNode> &node : state.loggers)
            state.loggingGroup->async(node->loggerQueue(), [logger = node->logger()] { logger->flush(); });
        state.loggingGroup->wait();
    });
}

std::shared_ptr<platform::DispatchQueue> DDLog::loggingQueue()
{
    return logState().loggingQueue;
}

bool DDLog::isOnLoggingQueue()
{
    return logState().loggingQueue->isCurrent();
}

void DDLog::applicationWillTerminate()
{
    flushLog();
    // Threads that outlive main may still log while the process destroys its statics, which the
    // loggers use (a file logger's header reads the system's name through a static pattern). The
    // loggers are let go without being told, so a file logger keeps its current file for the next start.
    LogState &state = logState();
    state.loggingQueue->sync([&state] { state.loggers.clear(); });
}

void DDLog::registerClass(const QString &className, std::function<int32_t()> levelReader,
                          std::function<void(int32_t)> levelWriter)
{
    if (!levelReader || !levelWriter)
        return;
    LogState &state = logState();
    const std::lock_guard lock(state.classesMutex);
    state.classes[className] = ClassLevelAccess{std::move(levelReader), std::move(levelWriter)};
}

bool DDLog::isRegisteredClass(const QString &className)
{
    LogState &state = logState();
    const std::lock_guard lock(state.classesMutex);
    return state.classes.count(className) != 0;
}

QStringList DDLog::registeredClassNames()
{
    LogState &state = logState();
    const std::lock_guard lock(state.classesMutex);
    QStringList names;
    for (const auto &entry : state.classes)
        names.append(entry.first);
    return names;
}

int32_t DDLog::logLevelForClassWithName(const QString &className)
{
    std::function<int32_t()> reader;
    {
        LogState &state = logState();
        const std::lock_guard lock(state.classesMutex);
        const auto found = state.classes.find(className);
        if (found == state.classes.end())
            return -1;
        reader = found->second.reader;
    }
    return reader();
}

void DDLog::setLogLevelForClassWithName(int32_t level, const QString &className)
{
    std::function<void(int32_t)> writer;
    {
        LogState &state = logState();
        const std::lock_guard lock(state.classesMutex);
        const auto found = state.classes.find(className);
        if (found == state.classes.end())
            return;
        writer = found->second.writer;
    }
    writer(level);
}
