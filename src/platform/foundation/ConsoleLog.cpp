#include "platform/foundation/ConsoleLog.h"

#include "platform/foundation/FileIO.h"

#include <QCoreApplication>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <mutex>

#include <sys/syscall.h>
#include <syslog.h>
#include <unistd.h>

namespace platform {

namespace {

// The system log: a Linux program's trace belongs in the journal, and standard error, the terminal's,
// is kept for the warnings and errors of the log itself.
constexpr int kSystemLog = -1;

std::mutex s_consoleMutex;
int s_consoleDescriptor = kSystemLog;

QString processName()
{
    if (QCoreApplication::instance() != nullptr)
        return QCoreApplication::applicationName();
    // Without an application object, the name the process was started under.
    return QFileInfo(QString::fromLocal8Bit(program_invocation_name)).fileName();
}

// "yyyy-MM-dd HH:mm:ss.zzz " in local time. Formatted by hand: lines are written per record in
// long runs, and a text date formatter per line would cost more than the line itself.
QByteArray localTimeStamp()
{
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    ::localtime_r(&now.tv_sec, &local);
    char stamp[64];
    const int length = std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d.%03d ", local.tm_year + 1900,
                                     local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                                     int(now.tv_nsec / 1000000));
    return QByteArray(stamp, std::clamp(length, 0, int(sizeof stamp) - 1));
}

// "[<pid>:<thread>] " for the calling thread, made once per thread.
const QByteArray &threadTag()
{
    thread_local const QByteArray tag =
        QStringLiteral("[%1:%2] ").arg(::getpid()).arg(static_cast<qint64>(::syscall(SYS_gettid))).toUtf8();
    return tag;
}

} // namespace

namespace {

// One console line; an error line also reaches standard error wherever the console goes.
void writeConsoleLine(const QString &message, bool isError)
{
    QByteArray bytes = localTimeStamp();
    bytes += processName().toUtf8();
    bytes += threadTag();
    bytes += message.toUtf8();
    if (!bytes.endsWith('\n'))
        bytes += '\n';
    const std::lock_guard lock(s_consoleMutex);
    int descriptor = s_consoleDescriptor;
    if (descriptor == kSystemLog) {
        // The journal stamps the time and the process itself.
        const QByteArray line = threadTag() + message.toUtf8();
        ::syslog(LOG_USER | (isError ? LOG_ERR : LOG_INFO), "%s", line.constData());
        if (!isError)
            return;
        descriptor = STDERR_FILENO;
    }
    // A failing console is given up silently: there is nowhere left to report it.
    writeToDescriptor(descriptor, bytes);
    // A console sent to a file still shows its errors on standard error.
    if (isError && descriptor != STDERR_FILENO)
        writeToDescriptor(STDERR_FILENO, bytes);
}

} // namespace

void consoleLog(const QString &message)
{
    writeConsoleLine(message, false);
}

void consoleLogError(const QString &message)
{
    writeConsoleLine(message, true);
}

int setConsoleLogDescriptor(int descriptor)
{
    const std::lock_guard lock(s_consoleMutex);
    const int previous = s_consoleDescriptor;
    s_consoleDescriptor = descriptor;
    return previous;
}

} // namespace platform
