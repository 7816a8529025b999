#include "SocketTestSupport.h"

#include "support/TestSupport.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <chrono>
#include <cstring>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace sockettest {

// ---- RecordingDelegate ----

void RecordingDelegate::record(const QString &event)
{
    const std::lock_guard lock(m_mutex);
    m_events.append(event);
}

void RecordingDelegate::socketDidAcceptNewSocket(GCDAsyncSocket *, const std::shared_ptr<GCDAsyncSocket> &newSocket)
{
    const std::lock_guard lock(m_mutex);
    m_accepted.push_back(newSocket);
    m_events.append(QStringLiteral("accepted"));
}

void RecordingDelegate::socketDidConnectToHost(GCDAsyncSocket *, const QString &host, quint16 port)
{
    const std::lock_guard lock(m_mutex);
    m_connectedHost = host;
    m_connectedPort = port;
    m_events.append(QStringLiteral("connected %1 %2").arg(host).arg(port));
}

void RecordingDelegate::socketDidReadData(GCDAsyncSocket *sock, const QByteArray &data, long tag)
{
    std::function<void(GCDAsyncSocket *, const QByteArray &, long)> onRead;
    {
        const std::lock_guard lock(m_mutex);
        m_bytesRead += std::size_t(data.size());
        if (!m_countsOnly) {
            m_reads.push_back(Read{data, tag});
            m_events.append(QStringLiteral("read %1").arg(tag));
        }
        onRead = m_onRead;
    }
    if (onRead)
        onRead(sock, data, tag);
}

void RecordingDelegate::socketDidReadPartialDataOfLength(GCDAsyncSocket *, std::size_t partialLength, long tag)
{
    record(QStringLiteral("partial read %1 of %2").arg(partialLength).arg(tag));
}

void RecordingDelegate::socketDidWriteDataWithTag(GCDAsyncSocket *sock, long tag)
{
    std::function<void(GCDAsyncSocket *, long)> onWrite;
    {
        const std::lock_guard lock(m_mutex);
        if (!m_countsOnly)
            m_events.append(QStringLiteral("wrote %1").arg(tag));
        onWrite = m_onWrite;
    }
    if (onWrite)
        onWrite(sock, tag);
}

void RecordingDelegate::socketDidWritePartialDataOfLength(GCDAsyncSocket *, std::size_t partialLength, long tag)
{
    record(QStringLiteral("partial write %1 of %2").arg(partialLength).arg(tag));
}

double RecordingDelegate::answerTimeout(double elapsed, std::size_t bytesDone)
{
    const std::lock_guard lock(m_mutex);
    m_timeoutElapsed.push_back(elapsed);
    m_timeoutBytesDone.push_back(bytesDone);
    if (m_timeoutAnswers.empty())
        return 0;
    const double answer = m_timeoutAnswers.front();
    m_timeoutAnswers.pop_front();
    return answer;
}

double RecordingDelegate::socketShouldTimeoutReadWithTag(GCDAsyncSocket *, long, double elapsed, std::size_t bytesDone)
{
    return answerTimeout(elapsed, bytesDone);
}

double RecordingDelegate::socketShouldTimeoutWriteWithTag(GCDAsyncSocket *, long, double elapsed,
                                                          std::size_t bytesDone)
{
    return answerTimeout(elapsed, bytesDone);
}

void RecordingDelegate::socketDidCloseReadStream(GCDAsyncSocket *)
{
    record(QStringLiteral("read stream closed"));
}

void RecordingDelegate::socketDidSecure(GCDAsyncSocket *)
{
    record(QStringLiteral("secured"));
}

void RecordingDelegate::socketDidDisconnect(GCDAsyncSocket *, const platform::PlatformError &err)
{
    const std::lock_guard lock(m_mutex);
    m_disconnects.push_back(err);
    m_events.append(err.isNull() ? QStringLiteral("disconnected")
                                 : QStringLiteral("disconnected %1 %2").arg(err.domain()).arg(err.code()));
}

void RecordingDelegate::setOnRead(std::function<void(GCDAsyncSocket *, const QByteArray &, long)> onRead)
{
    const std::lock_guard lock(m_mutex);
    m_onRead = std::move(onRead);
}

void RecordingDelegate::setOnWrite(std::function<void(GCDAsyncSocket *, long)> onWrite)
{
    const std::lock_guard lock(m_mutex);
    m_onWrite = std::move(onWrite);
}

void RecordingDelegate::setCountsOnly(bool countsOnly)
{
    const std::lock_guard lock(m_mutex);
    m_countsOnly = countsOnly;
}

void RecordingDelegate::scriptTimeoutAnswers(std::vector<double> answers)
{
    const std::lock_guard lock(m_mutex);
    m_timeoutAnswers.assign(answers.begin(), answers.end());
}

QStringList RecordingDelegate::events() const
{
    // A list of its own rather than a shared copy: the delegate queue goes on appending to the
    // recorded one, and a shared block's hand-over happens inside Qt, where ThreadSanitizer cannot see.
    const std::lock_guard lock(m_mutex);
    QStringList events;
    events.reserve(m_events.size());
    for (const QString &event : m_events)
        events.append(event);
    return events;
}

std::vector<RecordingDelegate::Read> RecordingDelegate::reads() const
{
    const std::lock_guard lock(m_mutex);
    return m_reads;
}

std::vector<platform::PlatformError> RecordingDelegate::disconnects() const
{
    const std::lock_guard lock(m_mutex);
    return m_disconnects;
}

std::vector<std::shared_ptr<GCDAsyncSocket>> RecordingDelegate::accepted() const
{
    const std::lock_guard lock(m_mutex);
    return m_accepted;
}

std::vector<double> RecordingDelegate::timeoutElapsed() const
{
    const std::lock_guard lock(m_mutex);
    return m_timeoutElapsed;
}

std::vector<std::size_t> RecordingDelegate::timeoutBytesDone() const
{
    const std::lock_guard lock(m_mutex);
    return m_timeoutBytesDone;
}

std::size_t RecordingDelegate::bytesRead() const
{
    const std::lock_guard lock(m_mutex);
    return m_bytesRead;
}

QString RecordingDelegate::connectedHost() const
{
    const std::lock_guard lock(m_mutex);
    return m_connectedHost;
}

quint16 RecordingDelegate::connectedPort() const
{
    const std::lock_guard lock(m_mutex);
    return m_connectedPort;
}

bool RecordingDelegate::hasEvent(const QString &event) const
{
    const std::lock_guard lock(m_mutex);
    return m_events.contains(event);
}

// ---- Plain descriptors ----

Fd::~Fd()
{
    reset();
}

Fd &Fd::operator=(Fd &&other) noexcept
{
    if (this != &other) {
        reset();
        m_fd = other.release();
    }
    return *this;
}

int Fd::release()
{
    const int fd = m_fd;
    m_fd = -1;
    return fd;
}

void Fd::reset()
{
    if (m_fd != -1)
        ::close(m_fd);
    m_fd = -1;
}

namespace {

sockaddr_storage loopbackSockaddr(int family, quint16 port, socklen_t *length)
{
    sockaddr_storage storage{};
    if (family == AF_INET) {
        auto *address = reinterpret_cast<sockaddr_in *>(&storage);
        address->sin_family = AF_INET;
        address->sin_port = htons(port);
        address->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        *length = sizeof(sockaddr_in);
    } else {
        auto *address = reinterpret_cast<sockaddr_in6 *>(&storage);
        address->sin6_family = AF_INET6;
        address->sin6_port = htons(port);
        address->sin6_addr = in6addr_loopback;
        *length = sizeof(sockaddr_in6);
    }
    return storage;
}

} // namespace

QString loopbackHost(int family)
{
    return family == AF_INET ? QStringLiteral("127.0.0.1") : QStringLiteral("::1");
}

Fd listenPlain(int family, quint16 *port, int backlog)
{
    Fd fd(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    socklen_t length = 0;
    const sockaddr_storage address = loopbackSockaddr(family, 0, &length);
    if (::bind(fd.get(), reinterpret_cast<const sockaddr *>(&address), length) != 0 || ::listen(fd.get(), backlog) != 0)
        return Fd();
    *port = localPortOf(fd.get());
    return fd;
}

Fd connectPlain(int family, quint16 port)
{
    Fd fd(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    socklen_t length = 0;
    const sockaddr_storage address = loopbackSockaddr(family, port, &length);
    if (::connect(fd.get(), reinterpret_cast<const sockaddr *>(&address), length) != 0)
        return Fd();
    return fd;
}

Fd acceptPlain(int listener, int timeoutMs)
{
    pollfd descriptor{listener, POLLIN, 0};
    if (::poll(&descriptor, 1, timeoutMs) != 1)
        return Fd();
    return Fd(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
}

bool writeAllPlain(int fd, const QByteArray &data)
{
    qsizetype done = 0;
    while (done < data.size()) {
        const ssize_t written = ::send(fd, data.constData() + done, std::size_t(data.size() - done), MSG_NOSIGNAL);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        done += written;
    }
    return true;
}

QByteArray readPlain(int fd, std::size_t count, int timeoutMs)
{
    QByteArray result;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    char buffer[65536];
    while (std::size_t(result.size()) < count) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        pollfd descriptor{fd, POLLIN, 0};
        if (left <= 0 || ::poll(&descriptor, 1, int(left)) != 1)
            break;
        const ssize_t got = ::recv(fd, buffer, std::min(sizeof buffer, count - std::size_t(result.size())), 0);
        if (got <= 0)
            break;
        result.append(buffer, got);
    }
    return result;
}

QString localHostOf(int fd)
{
    QString host;
    sockaddr_storage storage{};
    socklen_t length = sizeof storage;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&storage), &length);
    GCDAsyncSocket::getHost(&host, nullptr,
                            QByteArray(reinterpret_cast<const char *>(&storage), qsizetype(length)));
    return host;
}

quint16 localPortOf(int fd)
{
    sockaddr_storage storage{};
    socklen_t length = sizeof storage;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&storage), &length);
    return GCDAsyncSocket::portFromAddress(QByteArray(reinterpret_cast<const char *>(&storage), qsizetype(length)));
}

int openDescriptorCount()
{
    return int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System).size());
}

std::size_t residentBytes()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return std::size_t(line.mid(6).trimmed().split(' ').value(0).toULongLong()) * 1024;
    }
    return 0;
}

SocketUnderTest::SocketUnderTest()
    : delegateQueue(platform::DispatchQueue::createSerial(QStringLiteral("delegate"))),
      socket(GCDAsyncSocket::create(&delegate, delegateQueue))
{
}

SocketUnderTest::~SocketUnderTest()
{
    socket->synchronouslySetDelegate(nullptr);
    for (const auto &acceptedSocket : delegate.accepted())
        acceptedSocket->synchronouslySetDelegate(nullptr);
    // Callbacks already queued finish before the delegate goes.
    delegateQueue->sync([] {});
}

bool waitFor(const std::function<bool()> &condition, int timeoutMs)
{
    return testsupport::waitUntil(condition, std::chrono::milliseconds(timeoutMs));
}

} // namespace sockettest
