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

} // namespace testsupport
