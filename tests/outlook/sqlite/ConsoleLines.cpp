#include "ConsoleLines.h"

#include "platform/foundation/ConsoleLog.h"

#include <QFile>

ConsoleLines::ConsoleLines()
{
    if (m_file.open())
        m_previousDescriptor = platform::setConsoleLogDescriptor(m_file.handle());
}

ConsoleLines::~ConsoleLines()
{
    if (m_previousDescriptor >= 0)
        platform::setConsoleLogDescriptor(m_previousDescriptor);
}

QStringList ConsoleLines::messages() const
{
    QFile reader(m_file.fileName());
    if (!reader.open(QIODevice::ReadOnly))
        return {};
    QStringList messages;
    // A line reads "<date> <time> <process>[<pid>:<thread>] <message>": the message follows "] ".
    for (const QByteArray &line : reader.readAll().split('\n')) {
        const qsizetype start = line.indexOf("] ");
        if (start >= 0)
            messages.append(QString::fromUtf8(line.mid(start + 2)));
    }
    return messages;
}
