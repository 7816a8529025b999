#include "support/TestSupport.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QThread>

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

ScopedFileSizeLimit::ScopedFileSizeLimit(rlim_t maximumBytes)
{
    struct sigaction ignore
    {
    };
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGXFSZ, &ignore, &m_previousAction);
    ::getrlimit(RLIMIT_FSIZE, &m_previous);
    const rlimit capped{maximumBytes, m_previous.rlim_max};
    ::setrlimit(RLIMIT_FSIZE, &capped);
}

ScopedFileSizeLimit::~ScopedFileSizeLimit()
{
    ::setrlimit(RLIMIT_FSIZE, &m_previous);
    ::sigaction(SIGXFSZ, &m_previousAction, nullptr);
}

} // namespace testsupport
