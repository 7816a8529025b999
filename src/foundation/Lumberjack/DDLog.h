#pragma once

#include <QString>
#include <QStringList>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

namespace platform {
class DispatchQueue;
}
class DDLogMessage;
class DDLogger;

// The process-wide log level: a mask of the flags below. 0 switches logging off, 1 errors only,
// 3 warnings, 7 info, 15 verbose. Only the application shell and the settings windows change it.
extern std::atomic<int32_t> ddLogLevel;

constexpr int32_t LOG_FLAG_ERROR = 1;
constexpr int32_t LOG_FLAG_WARN = 2;
constexpr int32_t LOG_FLAG_INFO = 4;
constexpr int32_t LOG_FLAG_VERBOSE = 8;

constexpr int32_t LOG_LEVEL_OFF = 0;
constexpr int32_t LOG_LEVEL_ERROR = LOG_FLAG_ERROR;
constexpr int32_t LOG_LEVEL_WARN = LOG_LEVEL_ERROR | LOG_FLAG_WARN;
constexpr int32_t LOG_LEVEL_INFO = LOG_LEVEL_WARN | LOG_FLAG_INFO;
constexpr int32_t LOG_LEVEL_VERBOSE = LOG_LEVEL_INFO | LOG_FLAG_VERBOSE;

// The class-level dispatcher of log messages to the registered loggers. Any thread logs: the message
// is built on the caller's thread and handed to one serial queue, "cocoa.lumberjack", which gives it
// to every logger on the logger's own queue and moves on only when every logger has handled it. At
// most 1000 messages wait or are in progress; a caller that would add the 1001st waits until one is
// done. The dispatcher's state is made on first use and lives until the process ends; on first use
// it also starts flushing when the application posts "NSApplicationWillTerminateNotification".
//
// Thread-safe, except that addLogger, removeLogger, flushLog and the loggers' settings must not be
// called from a logger's logMessage (they wait for the logging queue that is running it).
class DDLog final
{
public:
    DDLog() = delete;

    // Builds a message from the already formatted text and hands it to every logger: asynchronously,
    // or synchronously so that the call returns only after every logger has handled it. A null text
    // logs nothing.
    static void log(bool asynchronous, int32_t level, int32_t flag, int32_t context, const char *file,
                    const char *function, int32_t line, const void *tag, const QString &message);

    // Waits for room in the backlog, then queues the message for every logger; a synchronous call
    // returns when every logger has handled it.
    static void queueLogMessage(const std::shared_ptr<const DDLogMessage> &logMessage, bool asynchronously);

    // Registers or unregisters a logger, in order with the messages logged before the call. Adding a
    // logger twice makes it receive every message twice. A null logger is ignored.
    static void addLogger(const std::shared_ptr<DDLogger> &logger);
    static void removeLogger(const std::shared_ptr<DDLogger> &logger);
    static void removeAllLoggers();

    // Returns when every message logged before the call has reached every logger and every logger
    // has flushed.
    static void flushLog();

    // The serial queue on which every message, registration and flush is handled.
    static std::shared_ptr<platform::DispatchQueue> loggingQueue();
    // Whether the calling code runs on the logging queue.
    static bool isOnLoggingQueue();

    // Flushes, then lets every logger go: what is logged afterwards reaches none. Runs when the
    // application posts its will-terminate notification.
    static void applicationWillTerminate();

    // Per-class levels. A class takes part by registering its name with the reader and writer of its
    // own level; no class of the system does, so a lookup of any class finds nothing.
    static void registerClass(const QString &className, std::function<int32_t()> levelReader,
                              std::function<void(int32_t)> levelWriter);
    static bool isRegisteredClass(const QString &className);
    static QStringList registeredClassNames();
    // The class's level, or -1 (every bit set) for a class that is not registered.
    static int32_t logLevelForClassWithName(const QString &className);
    // Sets the class's level when it is registered; does nothing otherwise.
    static void setLogLevelForClassWithName(int32_t level, const QString &className);
};

// A log site: tests the process-wide level against its own flag, and only when the flag is set
// evaluates its message expression (a QString) and logs it. Errors are synchronous, the rest not.
#define HM_LOG_IF(asynchronous, flag, message)                                                                   \
    do {                                                                                                        \
        const int32_t hmLogLevelNow = ddLogLevel.load(std::memory_order_relaxed);                              \
        if (hmLogLevelNow & (flag))                                                                             \
            DDLog::log((asynchronous), hmLogLevelNow, (flag), 0, __FILE__, __func__, __LINE__, nullptr, (message)); \
    } while (0)

#define DDLogError(message) HM_LOG_IF(false, LOG_FLAG_ERROR, message)
#define DDLogWarn(message) HM_LOG_IF(true, LOG_FLAG_WARN, message)
#define DDLogInfo(message) HM_LOG_IF(true, LOG_FLAG_INFO, message)
#define DDLogVerbose(message) HM_LOG_IF(true, LOG_FLAG_VERBOSE, message)
