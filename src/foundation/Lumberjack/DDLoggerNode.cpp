#include "foundation/Lumberjack/DDLoggerNode.h"

#include "foundation/Lumberjack/DDLogger.h"
#include "platform/dispatch/DispatchQueue.h"

#include <utility>

std::shared_ptr<DDLoggerNode> DDLoggerNode::nodeWithLogger(const std::shared_ptr<DDLogger> &logger,
                                                           const std::shared_ptr<platform::DispatchQueue> &loggerQueue)
{
    return std::make_shared<DDLoggerNode>(logger, loggerQueue);
}

DDLoggerNode::DDLoggerNode(std::shared_ptr<DDLogger> logger, std::shared_ptr<platform::DispatchQueue> loggerQueue)
    : m_logger(std::move(logger))
    , m_loggerQueue(std::move(loggerQueue))
{
}
