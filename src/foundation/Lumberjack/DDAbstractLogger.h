#pragma once

#include "foundation/Lumberjack/DDLogger.h"

#include <functional>

// The base of every logger: owns the logger's serial queue (labelled with its name) and its
// formatter. The formatter is read and replaced only on the logger's queue; the accessors below
// reach that queue from elsewhere through the logging queue, so they come after every message
// logged before the call. They must not be called on the logging queue itself. Loggers are made
// with std::make_shared: work they hand to their queue holds only a weak reference to them.
class DDAbstractLogger : public DDLogger, public std::enable_shared_from_this<DDAbstractLogger>
{
public:
    ~DDAbstractLogger() override;

    // Does nothing; subclasses write the message.
    void logMessage(const DDLogMessage &logMessage) override;
    std::shared_ptr<DDLogFormatter> logFormatter() override;
    // Replaces the formatter when the new one is a different object.
    void setLogFormatter(const std::shared_ptr<DDLogFormatter> &formatter) override;
    std::shared_ptr<platform::DispatchQueue> loggerQueue() const override;
    QString loggerName() const override;

    bool isOnLoggerQueue() const;

protected:
    // Makes the logger's queue, labelled with the name (none for an empty name).
    explicit DDAbstractLogger(const QString &loggerName = QStringLiteral("DDAbstractLogger"));

    // Runs the block on the logger's queue and waits for it: directly when already there, otherwise
    // through the logging queue. Called on the logging queue it refuses, reporting
    // "Core architecture requirement failure" under the given source, and answers false.
    bool runSynchronouslyOnLoggerQueue(const std::function<void()> &block, const char *source) const;
    // A setting touched only on the logger's queue, read there as above; the type's default when
    // refused.
    template <typename T>
    T readOnLoggerQueue(const T &setting, const char *source) const
    {
        T value{};
        runSynchronouslyOnLoggerQueue([&value, &setting] { value = setting; }, source);
        return value;
    }
    // Runs the block on the logger's queue: directly when already there, otherwise later, through
    // the logging queue, and then only when the logger still exists. Refuses on the logging queue
    // as above.
    bool runOnLoggerQueue(std::function<void()> block, const char *source);
    // Stores the value in a setting touched only on the logger's queue, there as above, and then runs
    // `applied` there (the setting outlives the block: it runs only while the logger exists).
    template <typename T>
    void writeOnLoggerQueue(T &setting, T value, const char *source, std::function<void()> applied = nullptr)
    {
        runOnLoggerQueue(
            [&setting, value = std::move(value), applied = std::move(applied)] {
                setting = value;
                if (applied)
                    applied();
            },
            source);
    }

    // The message's text as the formatter makes it, or as logged where there is no formatter; null
    // when the formatter drops the message. Called on the logger's queue.
    QString formattedText(const DDLogMessage &logMessage) const;

    // The formatter; touched only on the logger's queue.
    std::shared_ptr<DDLogFormatter> m_formatter;

private:
    QString m_loggerName;
    std::shared_ptr<platform::DispatchQueue> m_loggerQueue;
};
