#include "foundation/Lumberjack/DDLogFileFormatterDefault.h"

#include "foundation/Lumberjack/DDLogMessage.h"
#include "platform/foundation/DateFormatter.h"

DDLogFileFormatterDefault::DDLogFileFormatterDefault()
    : m_dateFormatter(std::make_unique<platform::DateFormatter>(QStringLiteral("yyyy/MM/dd HH:mm:ss:SSS"),
                                                                platform::Locale::current(),
                                                                platform::TimeZone::systemTimeZone()))
{
}

DDLogFileFormatterDefault::~DDLogFileFormatterDefault() = default;

QString DDLogFileFormatterDefault::formatLogMessage(const DDLogMessage &logMessage)
{
    QString timestamp;
    {
        const std::lock_guard lock(m_mutex);
        timestamp = m_dateFormatter->format(logMessage.timestamp());
    }
    return timestamp + QStringLiteral("  ") + logMessage.logMsg();
}
