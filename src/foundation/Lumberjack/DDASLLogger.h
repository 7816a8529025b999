#pragma once

#include "foundation/Lumberjack/DDAbstractLogger.h"

#include <QByteArray>

#include <memory>

// Sends messages to the system log (syslog) under the process's name. One instance per process,
// made on first use. Messages arrive on its own queue.
class DDASLLogger final : public DDAbstractLogger
{
public:
    static std::shared_ptr<DDASLLogger> sharedInstance();
    ~DDASLLogger() override;

    void logMessage(const DDLogMessage &logMessage) override;
    QString loggerName() const override;

    // The system-log priority of a message logged at the given level: 1 critical (2), 2 error (3),
    // 3 warning (4), any other notice (5).
    static int priorityForLogLevel(int32_t logLevel);

private:
    // Only sharedInstance can name this, so only it can make the instance.
    struct Construct
    {
        explicit Construct() = default;
    };

public:
    explicit DDASLLogger(Construct);

private:
    // The identity syslog keeps a pointer to for the life of the connection.
    const QByteArray m_identity;
};
