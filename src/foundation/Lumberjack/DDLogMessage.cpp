#include "foundation/Lumberjack/DDLogMessage.h"

#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/ProcessInfo.h"

#include <QThread>

#include <cstring>

namespace {

QString currentThreadName()
{
    const QThread *thread = QThread::currentThread();
    if (thread == nullptr || thread->objectName().isEmpty())
        return {};
    return thread->objectName();
}

} // namespace

DDLogMessage::DDLogMessage(const QString &logMsg, int32_t level, int32_t flag, int32_t context, const char *file,
                           const char *function, int32_t line, const void *tag)
    : m_logMsg(logMsg)
    , m_logLevel(level)
    , m_logFlag(flag)
    , m_logContext(context)
    , m_timestamp(platform::Clock::now())
    , m_file(file)
    , m_function(function)
    , m_lineNumber(line)
    , m_machThreadID(static_cast<uint32_t>(platform::ProcessInfo::threadIdentifier()))
    , m_queueLabel(platform::DispatchQueue::currentLabel().toStdString())
    , m_threadName(currentThreadName())
    , m_tag(tag)
{
}

QString DDLogMessage::threadID() const
{
    return QString::number(m_machThreadID, 16);
}

QString DDLogMessage::fileName() const
{
    return DDFileNameWithoutExtension(m_file);
}

QString DDLogMessage::methodName() const
{
    if (m_function == nullptr)
        return {};
    return QString::fromUtf8(m_function);
}

QString DDFileNameWithoutExtension(const char *filePath)
{
    if (filePath == nullptr)
        return {};
    const char *lastSlash = std::strrchr(filePath, '/');
    const char *nameStart = lastSlash == nullptr ? filePath : lastSlash + 1;
    const char *lastDot = std::strrchr(nameStart, '.');
    const std::size_t length = lastDot == nullptr ? std::strlen(nameStart) : std::size_t(lastDot - nameStart);
    return QString::fromUtf8(nameStart, qsizetype(length));
}
