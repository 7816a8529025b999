#pragma once

#include <QString>

#include <memory>

namespace platform {
class DispatchQueue;
}
class DDLogFormatter;
class DDLogMessage;

// A destination of log messages. The dispatcher (DDLog) calls every operation but loggerQueue and
// loggerName on the logger's own serial queue. Loggers are shared (std::shared_ptr) between the
// dispatcher and their creator.
class DDLogger
{
public:
    virtual ~DDLogger() = default;

    virtual void logMessage(const DDLogMessage &logMessage) = 0;
    virtual std::shared_ptr<DDLogFormatter> logFormatter() = 0;
    virtual void setLogFormatter(const std::shared_ptr<DDLogFormatter> &formatter) = 0;

    // Told after the logger joined the dispatcher, and before it leaves.
    virtual void didAddLogger() {}
    virtual void willRemoveLogger() {}
    // Writes out whatever the logger still holds.
    virtual void flush() {}
    // The serial queue the logger wants to be called on; null lets the dispatcher make one.
    virtual std::shared_ptr<platform::DispatchQueue> loggerQueue() const { return nullptr; }
    // The label of the queue the dispatcher makes; empty for none.
    virtual QString loggerName() const { return {}; }
};
