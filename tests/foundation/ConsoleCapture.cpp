#include "ConsoleCapture.h"

#include "LogCapture.h"

#include "platform/foundation/ConsoleLog.h"

#include <QRegularExpression>

#include <cstdlib>
#include <unistd.h>

ConsoleCapture::ConsoleCapture()
{
    char path[] = "/tmp/hm-console-capture-XXXXXX";
    m_file = mkstemp(path);
    unlink(path);
    m_previousDescriptor = platform::setConsoleLogDescriptor(m_file);
}

ConsoleCapture::~ConsoleCapture()
{
    platform::setConsoleLogDescriptor(m_previousDescriptor);
    close(m_file);
}

QStringList ConsoleCapture::messages() const
{
    const QByteArray text = readCapturedFile(m_file);
    // Each line reads "<date> <time> <process>[<pid>:<thread>] <message>".
    static const QRegularExpression prefix(QStringLiteral("^\\S+ \\S+ \\S+\\[\\d+:\\d+\\] "));
    QStringList messages;
    for (QString line : QString::fromUtf8(text).split(QLatin1Char('\n'), Qt::SkipEmptyParts))
        messages.append(line.remove(prefix));
    return messages;
}
