#include "ConsoleCapture.h"

#include "platform/foundation/ConsoleLog.h"

#include <QByteArray>
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
    QByteArray text;
    char buffer[4096];
    ssize_t got = 0;
    off_t offset = 0;
    while ((got = pread(m_file, buffer, sizeof buffer, offset)) > 0) {
        text.append(buffer, got);
        offset += got;
    }
    // Each line reads "<date> <time> <process>[<pid>:<thread>] <message>".
    static const QRegularExpression prefix(QStringLiteral("^\\S+ \\S+ \\S+\\[\\d+:\\d+\\] "));
    QStringList messages;
    for (QString line : QString::fromUtf8(text).split(QLatin1Char('\n'), Qt::SkipEmptyParts))
        messages.append(line.remove(prefix));
    return messages;
}
