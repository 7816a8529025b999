#include "RestKitTestSupport.h"

#include <gtest/gtest.h>

#include <QCoreApplication>

#include <memory>

namespace {

int s_argc = 1;
char s_name[] = "test_restkit";
char *s_argv[] = {s_name, nullptr};

// The application object lives from before the first test to after the last, and goes while main
// still runs: destroyed during exit it would outlive Qt's own state.
class ApplicationEnvironment final : public testing::Environment
{
public:
    void SetUp() override { ensureApplication(); }
    void TearDown() override { s_application.reset(); }

    static std::unique_ptr<QCoreApplication> s_application;
};

std::unique_ptr<QCoreApplication> ApplicationEnvironment::s_application;

[[maybe_unused]] testing::Environment *const s_environment =
    testing::AddGlobalTestEnvironment(new ApplicationEnvironment);

} // namespace

void ensureApplication()
{
    if (QCoreApplication::instance() == nullptr)
        ApplicationEnvironment::s_application = std::make_unique<QCoreApplication>(s_argc, s_argv);
}

void destroyApplication()
{
    ApplicationEnvironment::s_application.reset();
}

LoopbackServer::LoopbackServer()
{
    // One request per connection: a test's server then stops at once instead of waiting out idle
    // keep-alive connections.
    m_server.set_keep_alive_max_count(1);
}

LoopbackServer::~LoopbackServer()
{
    m_server.stop();
    if (m_thread.joinable())
        m_thread.join();
}

void LoopbackServer::start()
{
    m_port = m_server.bind_to_any_port("127.0.0.1");
    m_thread = std::thread([this] { m_server.listen_after_bind(); });
    // Stopping works only once the accept loop runs; connections made before then wait in the backlog.
    while (!m_server.is_running())
        std::this_thread::yield();
}

void RecordingDelegate::note(const QString &event)
{
    const std::lock_guard lock(m_mutex);
    m_events.append(event);
    m_threads.append(QThread::currentThread());
}

void RecordingDelegate::requestDidStartLoad(platform::RKRequest &)
{
    note(QStringLiteral("start"));
}

void RecordingDelegate::requestDidSendBodyData(platform::RKRequest &, qint64 bytesWritten, qint64 totalBytesWritten,
                                               qint64 totalBytesExpectedToWrite)
{
    const std::lock_guard lock(m_mutex);
    m_sent.chunks += bytesWritten;
    m_sent.total = totalBytesWritten;
    m_sent.expected = totalBytesExpectedToWrite;
}

void RecordingDelegate::requestDidReceiveData(platform::RKRequest &, qint64 bytesReceived, qint64 totalBytesReceived,
                                              qint64 totalBytesExpectedToReceive)
{
    const std::lock_guard lock(m_mutex);
    m_received.chunks += bytesReceived;
    m_received.total = totalBytesReceived;
    m_received.expected = totalBytesExpectedToReceive;
}

RecordingDelegate::Progress RecordingDelegate::sent() const
{
    const std::lock_guard lock(m_mutex);
    return m_sent;
}

RecordingDelegate::Progress RecordingDelegate::received() const
{
    const std::lock_guard lock(m_mutex);
    return m_received;
}

void RecordingDelegate::requestDidReceiveResponse(platform::RKRequest &, const platform::RKResponse &response)
{
    note(QStringLiteral("head %1").arg(response.statusCode()));
}

void RecordingDelegate::requestDidLoadResponse(platform::RKRequest &, const platform::RKResponse &response)
{
    note(QStringLiteral("load %1").arg(response.statusCode()));
    const std::lock_guard lock(m_mutex);
    m_response = response;
    m_ended = true;
}

void RecordingDelegate::requestDidTimeout(platform::RKRequest &)
{
    note(QStringLiteral("timeout"));
}

void RecordingDelegate::requestDidFailLoadWithError(platform::RKRequest &, const platform::PlatformError &error)
{
    note(QStringLiteral("fail %1").arg(error.code()));
    const std::lock_guard lock(m_mutex);
    m_error = error;
    m_ended = true;
}

void RecordingDelegate::requestDidCancelLoad(platform::RKRequest &)
{
    note(QStringLiteral("cancel"));
    const std::lock_guard lock(m_mutex);
    m_ended = true;
}

QStringList RecordingDelegate::events() const
{
    const std::lock_guard lock(m_mutex);
    return m_events;
}

bool RecordingDelegate::hasEnded() const
{
    const std::lock_guard lock(m_mutex);
    return m_ended;
}

platform::RKResponse RecordingDelegate::response() const
{
    const std::lock_guard lock(m_mutex);
    return m_response;
}

platform::PlatformError RecordingDelegate::error() const
{
    const std::lock_guard lock(m_mutex);
    return m_error;
}

bool RecordingDelegate::cameOnlyOnThreadsOtherThan(QThread *thread) const
{
    const std::lock_guard lock(m_mutex);
    return !m_threads.isEmpty() && !m_threads.contains(thread);
}
