#include "platform/appkit/SingleInstance.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QThread>

#include <algorithm>
#include <cerrno>

#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

constexpr char kReply[] = "ok\n";
constexpr int kConnectAttemptMilliseconds = 100;

// The application's folder in the runtime folder: made 0700 when missing; an existing one must be a
// real folder (not a link) of this user, and is set to 0700. Empty when it cannot be so.
QString privateRuntimeFolder(const QString &name, QString &error)
{
    const QString runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (runtime.isEmpty()) {
        error = QStringLiteral("no runtime folder");
        return {};
    }
    const QString folder = runtime + QLatin1Char('/') + name;
    const QByteArray path = QFile::encodeName(folder);
    if (::mkdir(path.constData(), 0700) != 0 && errno != EEXIST) {
        error = QStringLiteral("cannot make %1").arg(folder);
        return {};
    }
    struct stat status {};
    if (::lstat(path.constData(), &status) != 0 || !S_ISDIR(status.st_mode) || status.st_uid != ::getuid()
        || ::chmod(path.constData(), 0700) != 0) {
        error = QStringLiteral("%1 is not a private folder of this user").arg(folder);
        return {};
    }
    return folder;
}

} // namespace

SingleInstance::SingleInstance(const QString &applicationIdentifier)
    : m_folder(privateRuntimeFolder(applicationIdentifier, m_errorString))
{
}

SingleInstance::~SingleInstance()
{
    if (m_server)
        m_server->close();
}

QString SingleInstance::socketPath() const
{
    return m_folder + QStringLiteral("/instance");
}

bool SingleInstance::claim()
{
    // Without a safe folder the process runs alone rather than not at all.
    if (m_folder.isEmpty())
        return true;
    m_lock = std::make_unique<QLockFile>(m_folder + QStringLiteral("/instance.lock"));
    // Only a lock whose process is gone is stale, however long the first instance has run.
    m_lock->setStaleLockTime(0);
    if (m_lock->tryLock(0))
        return true;
    m_lock.reset();
    return false;
}

bool SingleInstance::listen()
{
    if (m_folder.isEmpty() || !m_lock)
        return false;
    m_server = std::make_unique<QLocalServer>();
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    // A socket file left by a process that died: the lock is ours, so nobody serves it.
    QLocalServer::removeServer(socketPath());
    if (!m_server->listen(socketPath())) {
        m_errorString = m_server->errorString();
        m_server.reset();
        return false;
    }
    connect(m_server.get(), &QLocalServer::newConnection, this, &SingleInstance::acceptConnection);
    return true;
}

void SingleInstance::acceptConnection()
{
    while (QLocalSocket *const socket = m_server->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { readRequest(socket); });
        if (socket->bytesAvailable() > 0)
            readRequest(socket);
    }
}

void SingleInstance::readRequest(QLocalSocket *socket)
{
    if (!socket->canReadLine()) {
        // A line that does not end within the bound is no request.
        if (socket->bytesAvailable() >= kMaxRequestBytes)
            socket->abort();
        return;
    }
    QByteArray line = socket->readLine(kMaxRequestBytes);
    if (!line.endsWith('\n')) {
        socket->abort();
        return;
    }
    line.chop(1);
    socket->write(kReply);
    socket->flush();
    socket->disconnectFromServer();
    emit requestReceived(line);
}

bool SingleInstance::handOver(const QByteArray &request, int timeoutMilliseconds)
{
    if (m_folder.isEmpty() || request.contains('\n') || request.size() >= kMaxRequestBytes)
        return false;
    QElapsedTimer elapsed;
    elapsed.start();
    QLocalSocket socket;
    // The first instance may hold the lock a moment before its socket listens.
    for (;;) {
        socket.connectToServer(socketPath());
        if (socket.waitForConnected(kConnectAttemptMilliseconds))
            break;
        if (elapsed.hasExpired(timeoutMilliseconds)) {
            m_errorString = QStringLiteral("the running instance does not answer");
            return false;
        }
        QThread::msleep(kConnectAttemptMilliseconds);
    }
    socket.write(request + '\n');
    QByteArray reply;
    while (!reply.endsWith('\n') && reply.size() < qsizetype(sizeof kReply)) {
        const int left = int(std::max<qint64>(1, timeoutMilliseconds - elapsed.elapsed()));
        if (socket.bytesAvailable() == 0 && !socket.waitForReadyRead(left))
            break;
        reply += socket.read(qint64(sizeof kReply) - reply.size());
    }
    if (reply != kReply)
        m_errorString = QStringLiteral("the running instance did not take the request");
    return reply == kReply;
}

} // namespace platform
