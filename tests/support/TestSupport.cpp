#include "support/TestSupport.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QThread>

#include <csignal>

#include <sys/resource.h>

namespace testsupport {

bool waitUntil(const std::function<bool()> &condition, std::chrono::milliseconds deadline)
{
    QDeadlineTimer timer(deadline);
    while (!condition()) {
        if (timer.hasExpired())
            return false;
        if (QCoreApplication::instance() != nullptr)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        else
            QThread::msleep(1);
    }
    return true;
}

void pointHomeAt(const QString &folder)
{
    qputenv("HOME", QFile::encodeName(folder));
    qputenv("XDG_DATA_HOME", QFile::encodeName(folder + QStringLiteral("/data")));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(folder + QStringLiteral("/config")));
    qputenv("XDG_STATE_HOME", QFile::encodeName(folder + QStringLiteral("/state")));
}

QString sourceDir()
{
    return qEnvironmentVariable("HM_SOURCE_DIR", QStringLiteral(HM_SOURCE_DIR_DEFAULT));
}

QString binaryDir()
{
    return qEnvironmentVariable("HM_BINARY_DIR", QStringLiteral(HM_BINARY_DIR_DEFAULT));
}

void runWithFileSizeLimit(quint64 maximumBytes, const std::function<void()> &run)
{
    struct sigaction ignore
    {
    };
    ignore.sa_handler = SIG_IGN;
    struct sigaction previousAction
    {
    };
    ::sigaction(SIGXFSZ, &ignore, &previousAction);
    rlimit previous{};
    ::getrlimit(RLIMIT_FSIZE, &previous);
    const rlimit capped{rlim_t(maximumBytes), previous.rlim_max};
    ::setrlimit(RLIMIT_FSIZE, &capped);
    run();
    ::setrlimit(RLIMIT_FSIZE, &previous);
    ::sigaction(SIGXFSZ, &previousAction, nullptr);
}

} // namespace testsupport
