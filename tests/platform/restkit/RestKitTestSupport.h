#pragma once

#include "platform/restkit/RKRequestDelegate.h"

#include <httplib.h>

#include <QString>
#include <QStringList>
#include <QThread>

#include <mutex>
#include <thread>

// Makes the application object the framework's network thread needs, once per test executable.
void ensureApplication();
// Destroys the application object now, as a program's end does (Qt's post routines run).
void destroyApplication();

// A loopback HTTP server on a port of its own, run on a thread for one test.
class LoopbackServer final
{
public:
    LoopbackServer();
    ~LoopbackServer();

    httplib::Server &server() { return m_server; }
    // Binds to 127.0.0.1 on a free port and starts answering; call after adding the handlers.
    void start();
    int port() const { return m_port; }
    QString baseUrl() const { return QStringLiteral("http://127.0.0.1:%1").arg(m_port); }

private:
    httplib::Server m_server;
    std::thread m_thread;
    int m_port = 0;
};

// A delegate that writes down every callback, with the thread it came on. Thread-safe.
class RecordingDelegate final : public platform::RKRequestDelegate
{
public:
    void requestDidStartLoad(platform::RKRequest &request) override;
    void requestDidSendBodyData(platform::RKRequest &request, qint64 bytesWritten, qint64 totalBytesWritten,
                                qint64 totalBytesExpectedToWrite) override;
    void requestDidReceiveData(platform::RKRequest &request, qint64 bytesReceived, qint64 totalBytesReceived,
                               qint64 totalBytesExpectedToReceive) override;
    void requestDidReceiveResponse(platform::RKRequest &request, const platform::RKResponse &response) override;
    void requestDidLoadResponse(platform::RKRequest &request, const platform::RKResponse &response) override;
    void requestDidTimeout(platform::RKRequest &request) override;
    void requestDidFailLoadWithError(platform::RKRequest &request, const platform::PlatformError &error) override;
    void requestDidCancelLoad(platform::RKRequest &request) override;

    QStringList events() const;
    bool hasEnded() const;
    platform::RKResponse response() const;
    platform::PlatformError error() const;
    bool cameOnlyOnThreadsOtherThan(QThread *thread) const;
    // Progress: the chunks added up, and the last totals reported.
    struct Progress
    {
        qint64 chunks = 0;
        qint64 total = 0;
        qint64 expected = 0;
    };
    Progress sent() const;
    Progress received() const;

private:
    void note(const QString &event);

    mutable std::mutex m_mutex;
    QStringList m_events;
    QList<QThread *> m_threads;
    platform::RKResponse m_response;
    platform::PlatformError m_error;
    bool m_ended = false;
    Progress m_sent;
    Progress m_received;
};
