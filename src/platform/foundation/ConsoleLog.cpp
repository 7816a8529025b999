#include "platform/foundation/ConsoleLog.h"

#include "platform/foundation/FileIO.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFileInfo>

#include <cerrno>
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

} // namespace

void consoleLog(const QString &message)
{
    QString line =
        QStringLiteral("%1 %2[%3:%4] %5")
            .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz")), processName())
            .arg(::getpid())
            .arg(static_cast<qint64>(::syscall(SYS_gettid)))
            .arg(message);
    if (!line.endsWith(u'\n'))
        line += u'\n';
    const QByteArray bytes = line.toUtf8();
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
