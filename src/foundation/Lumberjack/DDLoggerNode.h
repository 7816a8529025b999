#pragma once

#include <memory>

namespace platform {
class DispatchQueue;
}
class DDLogger;

// A registered logger with the serial queue it is called on. Used only on the logging queue.
class DDLoggerNode final
{
public:
    static std::shared_ptr<DDLoggerNode> nodeWithLogger(const std::shared_ptr<DDLogger> &logger,
                                                        const std::shared_ptr<platform::DispatchQueue> &loggerQueue);

    DDLoggerNode(std::shared_ptr<DDLogger> logger, std::shared_ptr<platform::DispatchQueue> loggerQueue);

    const std::shared_ptr<DDLogger> &logger() const { return m_logger; }
    const std::shared_ptr<platform::DispatchQueue> &loggerQueue() const { return m_loggerQueue; }

private:
    std::shared_ptr<DDLogger> m_logger;
    std::shared_ptr<platform::DispatchQueue> m_loggerQueue;
};
