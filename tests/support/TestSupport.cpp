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

namespace {

// The variables pointHomeAt sets, with the subfolder each names ("" for the folder itself).
const std::vector<std::pair<const char *, QString>> kHomeVariables = {{"HOME", QString()},
                                                                      {"XDG_DATA_HOME", QStringLiteral("/data")},
                                                                      {"XDG_CONFIG_HOME", QStringLiteral("/config")},
                                                                      {"XDG_STATE_HOME", QStringLiteral("/state")}};

std::vector<const char *> homeVariableNames()
{
    std::vector<const char *> names;
    for (const auto &[name, subfolder] : kHomeVariables)
        names.push_back(name);
    return names;
}

} // namespace

void pointHomeAt(const QString &folder)
{
    for (const auto &[name, subfolder] : kHomeVariables)
        qputenv(name, QFile::encodeName(folder + subfolder));
}

SavedEnvironment::SavedEnvironment(const std::vector<const char *> &names)
{
    for (const char *name : names) {
        m_saved.emplace_back(name, qEnvironmentVariableIsSet(name) ? std::optional<QByteArray>(qgetenv(name))
                                                                  : std::nullopt);
    }
}

SavedEnvironment::~SavedEnvironment()
{
    for (const auto &[name, value] : m_saved) {
        if (value)
            qputenv(name, *value);
        else
            qunsetenv(name);
    }
}

ScopedHome::ScopedHome(const QString &folder) : m_saved(homeVariableNames())
{
    pointHomeAt(folder);
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
