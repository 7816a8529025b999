#pragma once

#include <QString>

#include <atomic>
#include <cstdint>

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

// The class-level dispatcher of log messages to the registered loggers. Thread-safe.
class DDLog final
{
public:
    // Builds a message from the already formatted text and hands it to every logger: asynchronously,
    // or synchronously so that the call returns only after every logger has handled it. A null text
    // logs nothing.
    static void log(bool asynchronous, int32_t level, int32_t flag, int32_t context, const char *file,
                    const char *function, int32_t line, const void *tag, const QString &message);
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
