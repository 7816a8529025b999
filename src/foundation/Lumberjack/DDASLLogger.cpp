#include "foundation/Lumberjack/DDASLLogger.h"

#include "foundation/Lumberjack/DDLogFormatter.h"
#include "foundation/Lumberjack/DDLogMessage.h"
#include "platform/foundation/ProcessInfo.h"

#include <syslog.h>

std::shared_ptr<DDASLLogger> DDASLLogger::sharedInstance()
{
    static const std::shared_ptr<DDASLLogger> instance = std::make_shared<DDASLLogger>(Construct{});
    return instance;
}

DDASLLogger::DDASLLogger(Construct)
    : DDAbstractLogger(QStringLiteral("cocoa.lumberjack.aslLogger"))
    , m_identity(platform::ProcessInfo::processName().toUtf8())
{
    ::openlog(m_identity.constData(), LOG_PID, LOG_USER);
}

DDASLLogger::~DDASLLogger()
{
    ::closelog();
}

QString DDASLLogger::loggerName() const
{
    return QStringLiteral("cocoa.lumberjack.aslLogger");
}

int DDASLLogger::priorityForLogLevel(int32_t logLevel)
{
    switch (logLevel) {
    case 1:
        return LOG_CRIT;
    case 2:
        return LOG_ERR;
    case 3:
        return LOG_WARNING;
    default:
        return LOG_NOTICE;
    }
}

void DDASLLogger::logMessage(const DDLogMessage &logMessage)
{
    const QString text = formattedText(logMessage);
    if (text.isNull())
        return;
    ::syslog(priorityForLogLevel(logMessage.logLevel()), "%s", text.toUtf8().constData());
}
