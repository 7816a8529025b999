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
#include <unistd.h>

namespace platform {

namespace {

std::mutex s_consoleMutex;
int s_consoleDescriptor = STDERR_FILENO;

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

void consoleLog(const QString &message)
{
    QByteArray bytes = localTimeStamp();
    bytes += processName().toUtf8();
    bytes += threadTag();
    bytes += message.toUtf8();
    if (!bytes.endsWith('\n'))
        bytes += '\n';
    const std::lock_guard lock(s_consoleMutex);
    // A failing console is given up silently: there is nowhere left to report it.
    writeToDescriptor(s_consoleDescriptor, bytes);
}

int setConsoleLogDescriptor(int descriptor)
{
    const std::lock_guard lock(s_consoleMutex);
    const int previous = s_consoleDescriptor;
    s_consoleDescriptor = descriptor;
    return previous;
}

} // namespace platform
