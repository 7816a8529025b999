#include "support/TestSupport.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>

#include <sys/inotify.h>
#include <sys/resource.h>
#include <unistd.h>

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

FolderNotices::FolderNotices(const QString &folder, quint32 mask, const QByteArray &suffix)
    : m_descriptor(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)), m_suffix(suffix)
{
    EXPECT_GE(::inotify_add_watch(m_descriptor, QFile::encodeName(folder).constData(), mask), 0);
}

FolderNotices::~FolderNotices()
{
    ::close(m_descriptor);
}

int FolderNotices::count()
{
    alignas(inotify_event) char buffer[64 * 1024];
    for (ssize_t length = 0; (length = ::read(m_descriptor, buffer, sizeof buffer)) > 0;) {
        for (ssize_t at = 0; at < length;) {
            const auto *event = reinterpret_cast<const inotify_event *>(buffer + at);
            if (event->mask & IN_Q_OVERFLOW)
                ADD_FAILURE() << "the watch overflowed";
            if (event->len > 0 && QByteArrayView(static_cast<const char *>(event->name)).endsWith(m_suffix))
                ++m_count;
            at += ssize_t(sizeof(inotify_event)) + ssize_t(event->len);
        }
    }
    return m_count;
}

} // namespace testsupport
