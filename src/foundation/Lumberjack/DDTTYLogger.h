#pragma once

#include "foundation/Lumberjack/DDAbstractLogger.h"

#include <QByteArray>

#include <memory>
#include <mutex>

namespace platform {
class DateFormatter;
}

// Writes messages to standard error when it is a terminal, one write per message:
// "yyyy-MM-dd HH:mm:ss:SSS <process>[<pid>:<thread>] <text>". One instance per process, made on
// first use. Messages arrive on its own queue.
class DDTTYLogger final : public DDAbstractLogger
{
public:
    static std::shared_ptr<DDTTYLogger> sharedInstance();
    ~DDTTYLogger() override;

    void logMessage(const DDLogMessage &logMessage) override;
    QString loggerName() const override;

    bool isaTTY() const { return m_isaTTY; }

private:
    // Only sharedInstance can name this, so only it can make the instance.
    struct Construct
    {
        explicit Construct() = default;
    };

public:
    explicit DDTTYLogger(Construct);

private:
    const bool m_isaTTY;
    std::unique_ptr<platform::DateFormatter> m_dateFormatter; // used on the logger's queue only
    const QByteArray m_app;
    const QByteArray m_pid;
};
