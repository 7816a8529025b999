#include "platform/foundation/ConsoleLog.h"

#include "platform/foundation/FileIO.h"

#include <QCoreApplication>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <mutex>

#include <paths.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
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

// How long the system log's socket is taken as it was last found, taking lines or not.
constexpr std::int64_t kSystemLogLookSeconds = 5;
// When the system log's socket was last looked at (monotonic seconds), and whether it took lines;
// both read and written with the console's mutex held.
std::int64_t s_systemLogLookedAt = -kSystemLogLookSeconds;
bool s_systemLogTakesLines = false;

std::int64_t monotonicSeconds()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return now.tv_sec;
}

// Whether a datagram or stream socket connects to the system log's socket, as the system's log call
// tries it.
bool systemLogSocketConnects()
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", _PATH_LOG);
    for (const int type : {SOCK_DGRAM, SOCK_STREAM}) {
        const int fd = ::socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return false;
        const bool connects = ::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
        const int error = errno;
        ::close(fd);
        if (connects || error != EPROTOTYPE)
            return connects;
    }
    return false;
}

// Whether a line sent to the system log can reach it. With no log daemon, the system's log call
// tries to connect again for every line (a socket, a refused connect and a close) and then drops the
// line; such a line is dropped here at once, and the socket is looked at again only every few
// seconds. Called with the console's mutex held.
bool systemLogTakesLines()
{
    const std::int64_t now = monotonicSeconds();
    if (now - s_systemLogLookedAt >= kSystemLogLookSeconds) {
        s_systemLogLookedAt = now;
        s_systemLogTakesLines = systemLogSocketConnects();
    }
    return s_systemLogTakesLines;
}

} // namespace

namespace {

// The line as it goes to a descriptor: stamped with the local time, the process and the thread.
QByteArray stampedLine(const QString &message)
{
    QByteArray bytes = localTimeStamp();
    bytes += processName().toUtf8();
    bytes += threadTag();
    bytes += message.toUtf8();
    if (!bytes.endsWith('\n'))
        bytes += '\n';
    return bytes;
}

// One console line; an error line also reaches standard error wherever the console goes.
void writeConsoleLine(const QString &message, bool isError)
{
    const std::lock_guard lock(s_consoleMutex);
    int descriptor = s_consoleDescriptor;
    if (descriptor == kSystemLog) {
        // The journal stamps the time and the process itself.
        if (systemLogTakesLines()) {
            const QByteArray line = threadTag() + message.toUtf8();
            ::syslog(LOG_USER | (isError ? LOG_ERR : LOG_INFO), "%s", line.constData());
        }
        if (!isError)
            return;
        descriptor = STDERR_FILENO;
    }
    const QByteArray bytes = stampedLine(message);
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
