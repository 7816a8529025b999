#include "LogCapture.h"

#include "foundation/Lumberjack/DDLog.h"

#include <QByteArray>

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

LogCapture::LogCapture(int32_t level) : m_savedLevel(ddLogLevel.load())
{
    std::fflush(stderr);
    char path[] = "/tmp/hm-log-capture-XXXXXX";
    m_captureFile = mkstemp(path);
    unlink(path);
    m_savedStderr = dup(STDERR_FILENO);
    dup2(m_captureFile, STDERR_FILENO);
    ddLogLevel.store(level);
}

LogCapture::~LogCapture()
{
    ddLogLevel.store(m_savedLevel);
    std::fflush(stderr);
    dup2(m_savedStderr, STDERR_FILENO);
    close(m_savedStderr);
    close(m_captureFile);
}

QByteArray readCapturedFile(int descriptor)
{
    QByteArray text;
    char buffer[4096];
    ssize_t got = 0;
    off_t offset = 0;
    while ((got = pread(descriptor, buffer, sizeof buffer, offset)) > 0) {
        text.append(buffer, got);
        offset += got;
    }
    return text;
}

QStringList LogCapture::lines()
{
    std::fflush(stderr);
    QStringList lines = QString::fromUtf8(readCapturedFile(m_captureFile)).split(QLatin1Char('\n'));
    lines.removeAll(QString());
    return lines;
}
