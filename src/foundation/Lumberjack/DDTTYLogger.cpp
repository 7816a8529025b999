#include "foundation/Lumberjack/DDTTYLogger.h"

#include "foundation/Lumberjack/DDLogFormatter.h"
#include "foundation/Lumberjack/DDLogMessage.h"
#include "platform/foundation/DateFormatter.h"
#include "platform/foundation/FileIO.h"
#include "platform/foundation/ProcessInfo.h"

#include <unistd.h>

namespace {

// A failing terminal drops the rest of the line: there is nowhere left to report it.
void writeToStandardError(const QByteArray &bytes)
{
    platform::writeToDescriptor(STDERR_FILENO, bytes);
}

} // namespace

std::shared_ptr<DDTTYLogger> DDTTYLogger::sharedInstance()
{
    static const std::shared_ptr<DDTTYLogger> instance = std::make_shared<DDTTYLogger>(Construct{});
    return instance;
}

DDTTYLogger::DDTTYLogger(Construct)
    : DDAbstractLogger(QStringLiteral("cocoa.lumberjack.ttyLogger"))
    , m_isaTTY(::isatty(STDERR_FILENO) == 1)
    , m_dateFormatter(std::make_unique<platform::DateFormatter>(QStringLiteral("yyyy-MM-dd HH:mm:ss:SSS")))
    , m_app(platform::ProcessInfo::processName().toUtf8())
    , m_pid(QByteArray::number(platform::ProcessInfo::processIdentifier()))
{
}

DDTTYLogger::~DDTTYLogger() = default;

QString DDTTYLogger::loggerName() const
{
    return QStringLiteral("cocoa.lumberjack.ttyLogger");
}

void DDTTYLogger::logMessage(const DDLogMessage &logMessage)
{
    if (!m_isaTTY)
        return;
    QString text = logMessage.logMsg();
    if (m_formatter) {
        text = m_formatter->formatLogMessage(logMessage);
        if (text.isNull())
            return;
        // A formatter that built a line of its own decides the whole line.
        if (text.constData() != logMessage.logMsg().constData()) {
            QByteArray line = text.toUtf8();
            if (!line.endsWith('\n'))
                line.append('\n');
            writeToStandardError(line);
            return;
        }
    }
    QByteArray line = m_dateFormatter->format(logMessage.timestamp()).toUtf8();
    line.append(' ');
    line.append(m_app);
    line.append('[');
    line.append(m_pid);
    line.append(':');
    line.append(logMessage.threadID().left(8).toLatin1());
    line.append("] ");
    line.append(text.toUtf8());
    if (!line.endsWith('\n'))
        line.append('\n');
    writeToStandardError(line);
}
