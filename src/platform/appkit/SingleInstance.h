#pragma once

#include <QByteArray>
#include <QLockFile>
#include <QObject>
#include <QString>

#include <memory>

class QLocalServer;
class QLocalSocket;

namespace platform {

// One running instance of the application per user session. The first start takes a lock file in
// the application's own folder under the session's runtime folder (made 0700, never through a
// link) and serves a local socket beside it; a later start finds the lock taken, hands its request
// (one short line) to the first over that socket and waits for the first's "ok". A lock left by a
// process that died is taken over. Main thread only.
class SingleInstance final : public QObject
{
    Q_OBJECT

public:
    // The longest request line taken, LF included; a longer one is refused.
    static constexpr qsizetype kMaxRequestBytes = 256;

    // The name is the application's identifier, which names its folder in the runtime folder.
    explicit SingleInstance(const QString &applicationIdentifier);
    ~SingleInstance() override;
    SingleInstance(const SingleInstance &) = delete;
    SingleInstance &operator=(const SingleInstance &) = delete;

    // Whether this process is the first instance (it then holds the lock). Needs no application
    // object, so a second start can hand over before it opens the display.
    bool claim();
    // The first instance's socket starts accepting requests; needs the application object.
    bool listen();
    // A second instance sends the request and waits for the first's answer; true when it took it.
    bool handOver(const QByteArray &request, int timeoutMilliseconds);
    // The folder of the lock and the socket, or empty when it could not be made safe.
    const QString &folder() const { return m_folder; }
    QString errorString() const { return m_errorString; }

signals:
    // A later start's request line, without its LF.
    void requestReceived(const QByteArray &request);

private:
    void acceptConnection();
    void readRequest(QLocalSocket *socket);
    QString socketPath() const;

    // Declared first: making the folder may already report an error.
    QString m_errorString;
    QString m_folder;
    std::unique_ptr<QLockFile> m_lock;
    std::unique_ptr<QLocalServer> m_server;
};

} // namespace platform
