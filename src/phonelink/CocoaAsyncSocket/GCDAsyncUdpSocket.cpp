#include "phonelink/CocoaAsyncSocket/GCDAsyncUdpSocket.h"

#include "platform/dispatch/DispatchFdSource.h"
#include "platform/dispatch/DispatchTimer.h"
#include "platform/foundation/Assert.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

using platform::DispatchFdSource;
using platform::DispatchQueue;
using platform::DispatchTimer;
using platform::PlatformError;

// One operation of the send queue: a datagram or a connect request.
class GCDAsyncUdpPacket
{
public:
    virtual ~GCDAsyncUdpPacket() = default;

    bool resolveInProgress = false;
};

// One datagram waiting to be sent.
class GCDAsyncUdpSendPacket final : public GCDAsyncUdpPacket
{
public:
    GCDAsyncUdpSendPacket(QByteArray data, double timeout, long tag)
        : buffer(std::move(data)), timeout(timeout), tag(tag)
    {
    }

    const QByteArray buffer;
    const double timeout;
    const long tag;
    bool filterInProgress = false;
    QList<QByteArray> resolvedAddresses;
    PlatformError resolveError;
    QByteArray address;
    int addressFamily = 0;
};

// A connect request, queued with the datagrams so that connects and sends happen in the order asked.
class GCDAsyncUdpSpecialPacket final : public GCDAsyncUdpPacket
{
public:
    QList<QByteArray> addresses;
    PlatformError error;
};

namespace {

enum : std::uint32_t {
    kDidCreateSockets = 1 << 0,
    kDidBind = 1 << 1,
    kConnecting = 1 << 2,
    kDidConnect = 1 << 3,
    kReceiveOnce = 1 << 4,
    kReceiveContinuous = 1 << 5,
    kIPv4Deactivated = 1 << 6,
    kIPv6Deactivated = 1 << 7,
    kSend4SourceSuspended = 1 << 8,
    kSend6SourceSuspended = 1 << 9,
    kReceive4SourceSuspended = 1 << 10,
    kReceive6SourceSuspended = 1 << 11,
    kSock4CanAcceptBytes = 1 << 12,
    kSock6CanAcceptBytes = 1 << 13,
    kCloseAfterSends = 1 << 15,
    kFlipFlop = 1 << 16,
};

enum : std::uint16_t {
    kIPv4Disabled = 1 << 0,
    kIPv6Disabled = 1 << 1,
    kPreferIPv4 = 1 << 2,
    kPreferIPv6 = 1 << 3,
};

// The largest datagram a socket can receive without jumbograms; larger receive sizes are not
// allocated.
constexpr quint32 kMaxDatagramBytes = 65535;

// How many datagrams one receive step reads before letting other work on the socket queue run.
constexpr int kReceiveBatchDatagrams = 64;

constexpr char kNetDbErrorDomain[] = "kCFStreamErrorDomainNetDB";

// Closes a socket descriptor once the last readiness source using it has been cancelled.
class DescriptorCloser final
{
public:
    explicit DescriptorCloser(int fd) : m_fd(fd) {}
    ~DescriptorCloser() { ::close(m_fd); }
    DescriptorCloser(const DescriptorCloser &) = delete;
    DescriptorCloser &operator=(const DescriptorCloser &) = delete;

private:
    const int m_fd;
};

template <typename SocketAddress>
QByteArray bytesOf(const SocketAddress &address)
{
    return QByteArray(reinterpret_cast<const char *>(&address), sizeof address);
}

// Copies a whole socket address out of a byte array; false when the array is too short.
template <typename SocketAddress>
bool readAddress(const QByteArray &bytes, SocketAddress *address)
{
    if (bytes.size() < qsizetype(sizeof(SocketAddress)))
        return false;
    std::memcpy(address, bytes.constData(), sizeof(SocketAddress));
    return true;
}

QByteArray anyAddress4(quint16 port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    return bytesOf(address);
}

QByteArray anyAddress6(quint16 port)
{
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(port);
    address.sin6_addr = in6addr_any;
    return bytesOf(address);
}

QByteArray loopbackAddress4(quint16 port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return bytesOf(address);
}

QByteArray loopbackAddress6(quint16 port)
{
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(port);
    address.sin6_addr = in6addr_loopback;
    return bytesOf(address);
}

int setIntOption(int fd, int level, int option, int value)
{
    return ::setsockopt(fd, level, option, &value, sizeof value);
}

bool isWouldBlock(int errorNumber)
{
    return errorNumber == EAGAIN || errorNumber == EWOULDBLOCK || errorNumber == EINTR;
}

} // namespace

// ---- Creation and disposal ----

std::shared_ptr<GCDAsyncUdpSocket> GCDAsyncUdpSocket::create(GCDAsyncUdpSocketDelegate *delegate,
                                                             std::shared_ptr<DispatchQueue> delegateQueue,
                                                             std::shared_ptr<DispatchQueue> socketQueue)
{
    return std::make_shared<GCDAsyncUdpSocket>(PrivateTag(), delegate, std::move(delegateQueue),
                                               std::move(socketQueue));
}

GCDAsyncUdpSocket::GCDAsyncUdpSocket(PrivateTag, GCDAsyncUdpSocketDelegate *delegate,
                                     std::shared_ptr<DispatchQueue> delegateQueue,
                                     std::shared_ptr<DispatchQueue> socketQueue)
    : m_delegate(delegate), m_delegateQueue(std::move(delegateQueue))
{
    HM_ASSERT(!socketQueue || socketQueue->kind() != platform::QueueKind::Concurrent,
              QStringLiteral("The given socketQueue parameter must not be a concurrent queue."));
    m_socketQueue = socketQueue ? std::move(socketQueue) : DispatchQueue::createSerial(QStringLiteral("GCDAsyncUdpSocket"));
    m_socketQueue->setSpecific(m_isOnSocketQueueOrTargetQueueKey, this);
}

GCDAsyncUdpSocket::~GCDAsyncUdpSocket()
{
    runOnSocketQueue([this] { closeWithoutReport(); });
    m_socketQueue->setSpecific(m_isOnSocketQueueOrTargetQueueKey, nullptr);
}

bool GCDAsyncUdpSocket::isOnSocketQueue() const
{
    return DispatchQueue::currentSpecific(m_isOnSocketQueueOrTargetQueueKey) == this;
}

void GCDAsyncUdpSocket::runOnSocketQueue(const std::function<void()> &block) const
{
    if (isOnSocketQueue())
        block();
    else
        m_socketQueue->sync(block);
}

void GCDAsyncUdpSocket::queueOnSocketQueue(std::function<void(GCDAsyncUdpSocket &)> block)
{
    if (isOnSocketQueue()) {
        block(*this);
        return;
    }
    m_socketQueue->async([weak = weak_from_this(), block = std::move(block)] {
        if (const auto socket = weak.lock())
            block(*socket);
    });
}

// ---- Delegate and queues ----

GCDAsyncUdpSocketDelegate *GCDAsyncUdpSocket::delegate() const
{
    GCDAsyncUdpSocketDelegate *result = nullptr;
    runOnSocketQueue([&] { result = m_delegate.load(); });
    return result;
}

void GCDAsyncUdpSocket::setDelegate(GCDAsyncUdpSocketDelegate *delegate)
{
    queueOnSocketQueue([delegate](GCDAsyncUdpSocket &socket) { socket.m_delegate = delegate; });
}

void GCDAsyncUdpSocket::synchronouslySetDelegate(GCDAsyncUdpSocketDelegate *delegate)
{
    runOnSocketQueue([&] { m_delegate = delegate; });
}

std::shared_ptr<DispatchQueue> GCDAsyncUdpSocket::delegateQueue() const
{
    return onSocketQueue<std::shared_ptr<DispatchQueue>>([this] { return m_delegateQueue; });
}

void GCDAsyncUdpSocket::setDelegateQueue(std::shared_ptr<DispatchQueue> delegateQueue)
{
    queueOnSocketQueue([delegateQueue](GCDAsyncUdpSocket &socket) { socket.m_delegateQueue = delegateQueue; });
}

void GCDAsyncUdpSocket::synchronouslySetDelegateQueue(std::shared_ptr<DispatchQueue> delegateQueue)
{
    runOnSocketQueue([&] { m_delegateQueue = std::move(delegateQueue); });
}

void GCDAsyncUdpSocket::getDelegate(GCDAsyncUdpSocketDelegate **delegate,
                                    std::shared_ptr<DispatchQueue> *delegateQueue) const
{
    runOnSocketQueue([&] {
        if (delegate != nullptr)
            *delegate = m_delegate.load();
        if (delegateQueue != nullptr)
            *delegateQueue = m_delegateQueue;
    });
}

void GCDAsyncUdpSocket::setDelegate(GCDAsyncUdpSocketDelegate *delegate, std::shared_ptr<DispatchQueue> delegateQueue)
{
    queueOnSocketQueue([delegate, delegateQueue](GCDAsyncUdpSocket &socket) {
        socket.m_delegate = delegate;
        socket.m_delegateQueue = delegateQueue;
    });
}

void GCDAsyncUdpSocket::synchronouslySetDelegate(GCDAsyncUdpSocketDelegate *delegate,
                                                 std::shared_ptr<DispatchQueue> delegateQueue)
{
    runOnSocketQueue([&] {
        m_delegate = delegate;
        m_delegateQueue = std::move(delegateQueue);
    });
}

// ---- Configuration ----

bool GCDAsyncUdpSocket::isIPv4Enabled() const
{
    return onSocketQueue<bool>([this] { return (m_config & kIPv4Disabled) == 0; });
}

void GCDAsyncUdpSocket::setIPv4Enabled(bool flag)
{
    queueOnSocketQueue([flag](GCDAsyncUdpSocket &socket) {
        if (flag)
            socket.m_config &= ~kIPv4Disabled;
        else
            socket.m_config |= kIPv4Disabled;
    });
}

bool GCDAsyncUdpSocket::isIPv6Enabled() const
{
    return onSocketQueue<bool>([this] { return (m_config & kIPv6Disabled) == 0; });
}

void GCDAsyncUdpSocket::setIPv6Enabled(bool flag)
{
    queueOnSocketQueue([flag](GCDAsyncUdpSocket &socket) {
        if (flag)
            socket.m_config &= ~kIPv6Disabled;
        else
            socket.m_config |= kIPv6Disabled;
    });
}

bool GCDAsyncUdpSocket::isIPv4Preferred() const
{
    return onSocketQueue<bool>([this] { return (m_config & kPreferIPv4) != 0; });
}

bool GCDAsyncUdpSocket::isIPv6Preferred() const
{
    return onSocketQueue<bool>([this] { return (m_config & kPreferIPv6) != 0; });
}

bool GCDAsyncUdpSocket::isIPVersionNeutral() const
{
    return onSocketQueue<bool>([this] { return (m_config & (kPreferIPv4 | kPreferIPv6)) == 0; });
}

void GCDAsyncUdpSocket::setPreferIPv4()
{
    queueOnSocketQueue([](GCDAsyncUdpSocket &socket) {
        socket.m_config |= kPreferIPv4;
        socket.m_config &= ~kPreferIPv6;
    });
}

void GCDAsyncUdpSocket::setPreferIPv6()
{
    queueOnSocketQueue([](GCDAsyncUdpSocket &socket) {
        socket.m_config &= ~kPreferIPv4;
        socket.m_config |= kPreferIPv6;
    });
}

void GCDAsyncUdpSocket::setIPVersionNeutral()
{
    queueOnSocketQueue([](GCDAsyncUdpSocket &socket) { socket.m_config &= ~(kPreferIPv4 | kPreferIPv6); });
}

quint16 GCDAsyncUdpSocket::maxReceiveIPv4BufferSize() const
{
    return onSocketQueue<quint16>([this] { return m_max4ReceiveSize; });
}

void GCDAsyncUdpSocket::setMaxReceiveIPv4BufferSize(quint16 max)
{
    queueOnSocketQueue([max](GCDAsyncUdpSocket &socket) { socket.m_max4ReceiveSize = max; });
}

quint32 GCDAsyncUdpSocket::maxReceiveIPv6BufferSize() const
{
    return onSocketQueue<quint32>([this] { return m_max6ReceiveSize; });
}

void GCDAsyncUdpSocket::setMaxReceiveIPv6BufferSize(quint32 max)
{
    queueOnSocketQueue([max](GCDAsyncUdpSocket &socket) { socket.m_max6ReceiveSize = max; });
}

quint16 GCDAsyncUdpSocket::maxSendBufferSize() const
{
    return onSocketQueue<quint16>([this] { return m_maxSendSize; });
}

void GCDAsyncUdpSocket::setMaxSendBufferSize(quint16 max)
{
    queueOnSocketQueue([max](GCDAsyncUdpSocket &socket) { socket.m_maxSendSize = max; });
}

QVariant GCDAsyncUdpSocket::userData() const
{
    return onSocketQueue<QVariant>([this] { return m_userData; });
}

void GCDAsyncUdpSocket::setUserData(const QVariant &userData)
{
    queueOnSocketQueue([userData](GCDAsyncUdpSocket &socket) {
        if (socket.m_userData != userData)
            socket.m_userData = userData;
    });
}

// ---- State queries ----

bool GCDAsyncUdpSocket::isConnected() const
{
    return onSocketQueue<bool>([this] { return (m_flags & kDidConnect) != 0; });
}

bool GCDAsyncUdpSocket::isClosed() const
{
    return onSocketQueue<bool>([this] { return (m_flags & kDidCreateSockets) == 0; });
}

bool GCDAsyncUdpSocket::isIPv4() const
{
    bool result = false;
    runOnSocketQueue([&] {
        result = (m_flags & kDidCreateSockets) != 0 ? m_socket4FD != -1 : (m_config & kIPv4Disabled) == 0;
    });
    return result;
}

bool GCDAsyncUdpSocket::isIPv6() const
{
    bool result = false;
    runOnSocketQueue([&] {
        result = (m_flags & kDidCreateSockets) != 0 ? m_socket6FD != -1 : (m_config & kIPv6Disabled) == 0;
    });
    return result;
}

// ---- Errors ----

PlatformError GCDAsyncUdpSocket::badConfigError(const QString &errMsg)
{
    return PlatformError::withDescription(QString::fromLatin1(GCDAsyncUdpSocketErrorDomain),
                                          qint64(GCDAsyncUdpSocketErrorCode::BadConfig), errMsg);
}

PlatformError GCDAsyncUdpSocket::badParamError(const QString &errMsg)
{
    return PlatformError::withDescription(QString::fromLatin1(GCDAsyncUdpSocketErrorDomain),
                                          qint64(GCDAsyncUdpSocketErrorCode::BadParam), errMsg);
}

PlatformError GCDAsyncUdpSocket::gaiError(int gai_error)
{
    return PlatformError::withDescription(QString::fromLatin1(kNetDbErrorDomain), gai_error,
                                          QString::fromLatin1(gai_strerror(gai_error)));
}

PlatformError GCDAsyncUdpSocket::errnoErrorWithReason(int errorNumber, const QString &reason)
{
    return PlatformError::fromErrno(errorNumber, reason);
}

PlatformError GCDAsyncUdpSocket::sendTimeoutError()
{
    return PlatformError::withDescription(QString::fromLatin1(GCDAsyncUdpSocketErrorDomain),
                                          qint64(GCDAsyncUdpSocketErrorCode::SendTimeout),
                                          QStringLiteral("Send operation timed out"));
}

PlatformError GCDAsyncUdpSocket::socketClosedError()
{
    return PlatformError::withDescription(QString::fromLatin1(GCDAsyncUdpSocketErrorDomain),
                                          qint64(GCDAsyncUdpSocketErrorCode::Closed), QStringLiteral("Socket closed"));
}

PlatformError GCDAsyncUdpSocket::otherError(const QString &errMsg)
{
    return PlatformError::withDescription(QString::fromLatin1(GCDAsyncUdpSocketErrorDomain),
                                          qint64(GCDAsyncUdpSocketErrorCode::Other), errMsg);
}

// ---- Delegate reports ----

void GCDAsyncUdpSocket::notifyDelegate(std::function<void(GCDAsyncUdpSocketDelegate &, GCDAsyncUdpSocket *)> call)
{
    GCDAsyncUdpSocketDelegate *const theDelegate = m_delegate.load();
    const auto self = weak_from_this().lock();
    if (theDelegate == nullptr || !m_delegateQueue || !self)
        return;
    // The delegate is checked again where the call runs: an owner that cleared it on the delegate
    // queue before going away must not be called afterwards.
    m_delegateQueue->async([self, theDelegate, call = std::move(call)] {
        if (self->m_delegate.load() == theDelegate)
            call(*theDelegate, self.get());
    });
}

void GCDAsyncUdpSocket::notifyDidConnectToAddress(const QByteArray &anAddress)
{
    notifyDelegate([anAddress](GCDAsyncUdpSocketDelegate &delegate, GCDAsyncUdpSocket *sock) {
        delegate.udpSocketDidConnectToAddress(sock, anAddress);
    });
}

void GCDAsyncUdpSocket::notifyDidNotConnect(const PlatformError &error)
{
    notifyDelegate([error](GCDAsyncUdpSocketDelegate &delegate, GCDAsyncUdpSocket *sock) {
        delegate.udpSocketDidNotConnect(sock, error);
    });
}

void GCDAsyncUdpSocket::notifyDidSendDataWithTag(long tag)
{
    notifyDelegate([tag](GCDAsyncUdpSocketDelegate &delegate, GCDAsyncUdpSocket *sock) {
        delegate.udpSocketDidSendDataWithTag(sock, tag);
    });
}

void GCDAsyncUdpSocket::notifyDidNotSendDataWithTag(long tag, const PlatformError &error)
{
    notifyDelegate([tag, error](GCDAsyncUdpSocketDelegate &delegate, GCDAsyncUdpSocket *sock) {
        delegate.udpSocketDidNotSendDataWithTag(sock, tag, error);
    });
}

void GCDAsyncUdpSocket::notifyDidReceiveData(const QByteArray &data, const QByteArray &address,
                                             const QVariant &context)
{
    notifyDelegate([data, address, context](GCDAsyncUdpSocketDelegate &delegate, GCDAsyncUdpSocket *sock) {
        delegate.udpSocketDidReceiveData(sock, data, address, context);
    });
}

void GCDAsyncUdpSocket::notifyDidCloseWithError(const PlatformError &error)
{
    notifyDelegate([error](GCDAsyncUdpSocketDelegate &delegate, GCDAsyncUdpSocket *sock) {
        delegate.udpSocketDidClose(sock, error);
    });
}

// ---- Preconditions ----

bool GCDAsyncUdpSocket::preOp(PlatformError *errPtr) const
{
    if (m_delegate.load() == nullptr) {
        *errPtr = badConfigError(QStringLiteral("Attempting to use socket without a delegate. Set a delegate first."));
        return false;
    }
    if (!m_delegateQueue) {
        *errPtr = badConfigError(
            QStringLiteral("Attempting to use socket without a delegate queue. Set a delegate queue first."));
        return false;
    }
    return true;
}

bool GCDAsyncUdpSocket::preBind(PlatformError *errPtr) const
{
    if (!preOp(errPtr))
        return false;
    if ((m_flags & kDidBind) != 0) {
        *errPtr = badConfigError(QStringLiteral("Cannot bind a socket more than once."));
        return false;
    }
    if ((m_flags & (kConnecting | kDidConnect)) != 0) {
        *errPtr = badConfigError(QStringLiteral("Cannot bind after connecting. If needed, bind first, then connect."));
        return false;
    }
    if ((m_config & kIPv4Disabled) != 0 && (m_config & kIPv6Disabled) != 0) {
        *errPtr = badConfigError(
            QStringLiteral("Both IPv4 and IPv6 have been disabled. Must enable at least one protocol first."));
        return false;
    }
    return true;
}

bool GCDAsyncUdpSocket::preConnect(PlatformError *errPtr) const
{
    if (!preOp(errPtr))
        return false;
    if ((m_flags & (kConnecting | kDidConnect)) != 0) {
        *errPtr = badConfigError(QStringLiteral("Cannot connect a socket more than once."));
        return false;
    }
    if ((m_config & kIPv4Disabled) != 0 && (m_config & kIPv6Disabled) != 0) {
        *errPtr = badConfigError(
            QStringLiteral("Both IPv4 and IPv6 have been disabled. Must enable at least one protocol first."));
        return false;
    }
    return true;
}

bool GCDAsyncUdpSocket::preJoin(PlatformError *errPtr) const
{
    if (!preOp(errPtr))
        return false;
    if ((m_flags & kDidBind) == 0) {
        *errPtr = badConfigError(QStringLiteral("Must bind a socket before joining a multicast group."));
        return false;
    }
    if ((m_flags & (kConnecting | kDidConnect)) != 0) {
        *errPtr = badConfigError(QStringLiteral("Cannot join a multicast group if connected."));
        return false;
    }
    return true;
}

// ---- Sockets and readiness sources ----

int GCDAsyncUdpSocket::createSocket(int domain, PlatformError *errPtr) const
{
    const int fd = ::socket(domain, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd == -1) {
        *errPtr = errnoErrorWithReason(errno, QStringLiteral("Error in socket() function"));
        return -1;
    }
    const auto fail = [&](const char *reason) {
        *errPtr = errnoErrorWithReason(errno, QString::fromLatin1(reason));
        ::close(fd);
        return -1;
    };
    const int statusFlags = ::fcntl(fd, F_GETFL, 0);
    if (statusFlags == -1 || ::fcntl(fd, F_SETFL, statusFlags | O_NONBLOCK) == -1)
        return fail("Error enabling non-blocking IO on socket (fcntl)");
    if (setIntOption(fd, SOL_SOCKET, SO_REUSEADDR, 1) == -1)
        return fail("Error enabling address reuse (setsockopt)");
    // Linux has no per-socket SIGPIPE switch: every send passes MSG_NOSIGNAL instead. The IPv6 socket
    // takes only IPv6 traffic, so that the IPv4 socket can hold the same port beside it.
    if (domain == AF_INET6 && setIntOption(fd, IPPROTO_IPV6, IPV6_V6ONLY, 1) == -1)
        return fail("Error enabling IPv6-only mode (setsockopt)");
    if (setIntOption(fd, SOL_SOCKET, SO_SNDBUF, m_maxSendSize) == -1)
        return fail("Error setting send buffer size (setsockopt)");
    if (setIntOption(fd, SOL_SOCKET, SO_RCVBUF, m_maxSendSize) == -1)
        return fail("Error setting receive buffer size (setsockopt)");
    return fd;
}

bool GCDAsyncUdpSocket::createSocket4(bool useIPv4, bool useIPv6, PlatformError *errPtr)
{
    HM_ASSERT(isOnSocketQueue(), QStringLiteral("Must be dispatched on socketQueue"));
    HM_ASSERT((m_flags & kDidCreateSockets) == 0, QStringLiteral("Sockets have already been created"));
    if (useIPv4) {
        m_socket4FD = createSocket(AF_INET, errPtr);
        if (m_socket4FD == -1)
            return false;
    }
    if (useIPv6) {
        m_socket6FD = createSocket(AF_INET6, errPtr);
        if (m_socket6FD == -1) {
            if (m_socket4FD != -1) {
                ::close(m_socket4FD);
                m_socket4FD = -1;
            }
            return false;
        }
    }
    if (useIPv4)
        setupSendAndReceiveSourcesForSocket4();
    if (useIPv6)
        setupSendAndReceiveSourcesForSocket6();
    // A descriptor the event monitor refuses to watch is of no use: close it as if never opened.
    if ((useIPv4 && !m_receive4Source) || (useIPv6 && !m_receive6Source)) {
        *errPtr = otherError(QStringLiteral("Error watching the socket for readiness"));
        closeSocket4();
        closeSocket6();
        return false;
    }
    m_flags |= kDidCreateSockets;
    return true;
}

bool GCDAsyncUdpSocket::createSockets(PlatformError *errPtr)
{
    return createSocket4((m_config & kIPv4Disabled) == 0, (m_config & kIPv6Disabled) == 0, errPtr);
}

void GCDAsyncUdpSocket::setupSendAndReceiveSourcesForSocket4()
{
    setupSources(AF_INET);
}

void GCDAsyncUdpSocket::setupSendAndReceiveSourcesForSocket6()
{
    setupSources(AF_INET6);
}

void GCDAsyncUdpSocket::setupSources(int family)
{
    const bool isIPv4Family = family == AF_INET;
    int &fd = isIPv4Family ? m_socket4FD : m_socket6FD;
    auto send = DispatchFdSource::createWrite(fd, m_socketQueue);
    auto receive = DispatchFdSource::createRead(fd, m_socketQueue);
    if (!send || !receive) {
        ::close(fd);
        fd = -1;
        return;
    }
    const std::weak_ptr<GCDAsyncUdpSocket> weak = weak_from_this();
    (*send)->setEventHandler([weak, family](std::int64_t) {
        if (const auto socket = weak.lock())
            socket->onWriteEvent(family);
    });
    (*receive)->setEventHandler([weak, family](std::int64_t bytesAvailable) {
        if (const auto socket = weak.lock())
            socket->onReadEvent(family, bytesAvailable);
    });
    // Both cancel handlers hold the descriptor; the last one to finish closes it, after both sources
    // have stopped watching it.
    const auto closer = std::make_shared<DescriptorCloser>(fd);
    (*send)->setCancelHandler([closer] {});
    (*receive)->setCancelHandler([closer] {});
    if (isIPv4Family) {
        m_send4Source = *send;
        m_receive4Source = *receive;
        m_socket4FDBytesAvailable = 0;
        m_flags |= kSend4SourceSuspended | kReceive4SourceSuspended | kSock4CanAcceptBytes;
    } else {
        m_send6Source = *send;
        m_receive6Source = *receive;
        m_socket6FDBytesAvailable = 0;
        m_flags |= kSend6SourceSuspended | kReceive6SourceSuspended | kSock6CanAcceptBytes;
    }
}

void GCDAsyncUdpSocket::setSourceSuspended(DispatchFdSource *source, std::uint32_t suspendedFlag, bool isSuspended)
{
    // Sources nest suspensions; the flag keeps this socket's to one.
    if (source == nullptr || ((m_flags & suspendedFlag) != 0) == isSuspended)
        return;
    if (isSuspended) {
        source->suspend();
        m_flags |= suspendedFlag;
    } else {
        source->resume();
        m_flags &= ~suspendedFlag;
    }
}

void GCDAsyncUdpSocket::suspendSend4Source()
{
    setSourceSuspended(m_send4Source.get(), kSend4SourceSuspended, true);
}

void GCDAsyncUdpSocket::suspendSend6Source()
{
    setSourceSuspended(m_send6Source.get(), kSend6SourceSuspended, true);
}

void GCDAsyncUdpSocket::resumeSend4Source()
{
    setSourceSuspended(m_send4Source.get(), kSend4SourceSuspended, false);
}

void GCDAsyncUdpSocket::resumeSend6Source()
{
    setSourceSuspended(m_send6Source.get(), kSend6SourceSuspended, false);
}

void GCDAsyncUdpSocket::suspendReceive4Source()
{
    setSourceSuspended(m_receive4Source.get(), kReceive4SourceSuspended, true);
}

void GCDAsyncUdpSocket::suspendReceive6Source()
{
    setSourceSuspended(m_receive6Source.get(), kReceive6SourceSuspended, true);
}

void GCDAsyncUdpSocket::resumeReceive4Source()
{
    setSourceSuspended(m_receive4Source.get(), kReceive4SourceSuspended, false);
}

void GCDAsyncUdpSocket::resumeReceive6Source()
{
    setSourceSuspended(m_receive6Source.get(), kReceive6SourceSuspended, false);
}

void GCDAsyncUdpSocket::closeSocket4()
{
    if (m_socket4FD == -1)
        return;
    // The cancel handlers close the descriptor once both sources have let go of it.
    if (m_send4Source)
        m_send4Source->cancel();
    if (m_receive4Source)
        m_receive4Source->cancel();
    m_send4Source.reset();
    m_receive4Source.reset();
    m_socket4FD = -1;
    m_socket4FDBytesAvailable = 0;
    m_flags &= ~(kSock4CanAcceptBytes | kSend4SourceSuspended | kReceive4SourceSuspended);
    m_hasCachedLocal4 = false;
    m_cachedLocal4 = {};
}

void GCDAsyncUdpSocket::closeSocket6()
{
    if (m_socket6FD == -1)
        return;
    if (m_send6Source)
        m_send6Source->cancel();
    if (m_receive6Source)
        m_receive6Source->cancel();
    m_send6Source.reset();
    m_receive6Source.reset();
    m_socket6FD = -1;
    m_socket6FDBytesAvailable = 0;
    m_flags &= ~(kSock6CanAcceptBytes | kSend6SourceSuspended | kReceive6SourceSuspended);
    m_hasCachedLocal6 = false;
    m_cachedLocal6 = {};
}

void GCDAsyncUdpSocket::closeSockets()
{
    closeSocket4();
    closeSocket6();
    m_flags &= ~kDidCreateSockets;
}

void GCDAsyncUdpSocket::closeWithoutReport()
{
    HM_ASSERT(isOnSocketQueue(), QStringLiteral("Must be dispatched on socketQueue"));
    endCurrentSend();
    m_sendQueue.clear();
    closeSockets();
    m_flags = 0;
    // Datagrams still in an asynchronous receive filter belong to the closed sockets: once closed,
    // the delegate hears nothing more of them.
    ++m_closeEpoch;
    m_pendingFilterOperations = 0;
    m_cachedConnectedAddress.clear();
    m_cachedConnectedHost.clear();
    m_cachedConnectedPort = 0;
    m_cachedConnectedFamily = 0;
}

void GCDAsyncUdpSocket::closeWithError(const PlatformError &error)
{
    const bool shouldCallDelegate = (m_flags & kDidCreateSockets) != 0;
    closeWithoutReport();
    if (shouldCallDelegate)
        notifyDidCloseWithError(error);
}

void GCDAsyncUdpSocket::close()
{
    runOnSocketQueue([this] { closeWithError(PlatformError()); });
}

void GCDAsyncUdpSocket::closeAfterSending()
{
    queueOnSocketQueue([](GCDAsyncUdpSocket &socket) {
        socket.m_flags |= kCloseAfterSends;
        if (!socket.m_currentSend && socket.m_sendQueue.empty())
            socket.closeWithError(PlatformError());
    });
}

void GCDAsyncUdpSocket::applicationWillEnterForeground()
{
    queueOnSocketQueue([](GCDAsyncUdpSocket &socket) {
        socket.resumeReceive4Source();
        socket.resumeReceive6Source();
    });
}

void GCDAsyncUdpSocket::onWriteEvent(int family)
{
    m_flags |= family == AF_INET ? kSock4CanAcceptBytes : kSock6CanAcceptBytes;
    const auto packet = std::dynamic_pointer_cast<GCDAsyncUdpSendPacket>(m_currentSend);
    if (packet && !packet->resolveInProgress && !packet->filterInProgress) {
        doSend();
        return;
    }
    if (family == AF_INET)
        suspendSend4Source();
    else
        suspendSend6Source();
}

void GCDAsyncUdpSocket::onReadEvent(int family, std::int64_t bytesAvailable)
{
    // A datagram socket has no end of stream: a readable socket that reports no bytes holds an empty
    // datagram (or a pending error), which the receive step consumes. Treating it as an end would let
    // any sender close the listener with one empty datagram.
    const std::uint64_t pending = bytesAvailable > 0 ? std::uint64_t(bytesAvailable) : 1;
    if (family == AF_INET)
        m_socket4FDBytesAvailable = pending;
    else
        m_socket6FDBytesAvailable = pending;
    doReceive();
}

// ---- Queue helpers ----

void GCDAsyncUdpSocket::markSocketQueueTargetQueue(const std::shared_ptr<DispatchQueue> &socketNewTargetQueue)
{
    if (socketNewTargetQueue)
        socketNewTargetQueue->setSpecific(m_isOnSocketQueueOrTargetQueueKey, this);
}

void GCDAsyncUdpSocket::unmarkSocketQueueTargetQueue(const std::shared_ptr<DispatchQueue> &socketOldTargetQueue)
{
    if (socketOldTargetQueue)
        socketOldTargetQueue->setSpecific(m_isOnSocketQueueOrTargetQueueKey, nullptr);
}

void GCDAsyncUdpSocket::performBlock(const std::function<void()> &block)
{
    runOnSocketQueue(block);
}

int GCDAsyncUdpSocket::socketFD() const
{
    if (!isOnSocketQueue())
        return -1;
    return m_socket4FD != -1 ? m_socket4FD : m_socket6FD;
}

int GCDAsyncUdpSocket::socket4FD() const
{
    return isOnSocketQueue() ? m_socket4FD : -1;
}

int GCDAsyncUdpSocket::socket6FD() const
{
    return isOnSocketQueue() ? m_socket6FD : -1;
}

// ---- Addresses ----

void GCDAsyncUdpSocket::convertIntefaceDescription(const QString &interfaceDescription, quint16 port,
                                                   QByteArray *interfaceAddr4Ptr, QByteArray *interfaceAddr6Ptr)
{
    QByteArray addr4;
    QByteArray addr6;
    if (interfaceDescription.isNull()) {
        addr4 = anyAddress4(port);
        addr6 = anyAddress6(port);
    } else if (interfaceDescription == QLatin1String("localhost") || interfaceDescription == QLatin1String("loopback")) {
        addr4 = loopbackAddress4(port);
        addr6 = loopbackAddress6(port);
    } else {
        ifaddrs *interfaces = nullptr;
        if (::getifaddrs(&interfaces) == 0) {
            for (const ifaddrs *cursor = interfaces; cursor != nullptr; cursor = cursor->ifa_next) {
                if (cursor->ifa_addr == nullptr)
                    continue;
                const QString name = QString::fromLocal8Bit(cursor->ifa_name);
                if (cursor->ifa_addr->sa_family == AF_INET && addr4.isEmpty()) {
                    sockaddr_in address{};
                    std::memcpy(&address, cursor->ifa_addr, sizeof address);
                    if (name == interfaceDescription || hostFromSockaddr4(&address) == interfaceDescription) {
                        address.sin_port = htons(port);
                        addr4 = bytesOf(address);
                    }
                } else if (cursor->ifa_addr->sa_family == AF_INET6 && addr6.isEmpty()) {
                    sockaddr_in6 address{};
                    std::memcpy(&address, cursor->ifa_addr, sizeof address);
                    if (name == interfaceDescription || hostFromSockaddr6(&address) == interfaceDescription) {
                        address.sin6_port = htons(port);
                        addr6 = bytesOf(address);
                    }
                }
            }
            ::freeifaddrs(interfaces);
        }
    }
    if (interfaceAddr4Ptr != nullptr)
        *interfaceAddr4Ptr = addr4;
    if (interfaceAddr6Ptr != nullptr)
        *interfaceAddr6Ptr = addr6;
}

void GCDAsyncUdpSocket::convertNumericHost(const QString &numericHost, quint16 port, QByteArray *addr4Ptr,
                                           QByteArray *addr6Ptr)
{
    QByteArray addr4;
    QByteArray addr6;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_protocol = IPPROTO_UDP;
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo *results = nullptr;
    const QByteArray host = numericHost.toLatin1();
    const QByteArray service = QByteArray::number(port);
    if (!numericHost.isEmpty() && ::getaddrinfo(host.constData(), service.constData(), &hints, &results) == 0) {
        for (const addrinfo *cursor = results; cursor != nullptr; cursor = cursor->ai_next) {
            if (cursor->ai_family == AF_INET && addr4.isEmpty() && cursor->ai_addrlen >= sizeof(sockaddr_in))
                addr4 = QByteArray(reinterpret_cast<const char *>(cursor->ai_addr), sizeof(sockaddr_in));
            else if (cursor->ai_family == AF_INET6 && addr6.isEmpty() && cursor->ai_addrlen >= sizeof(sockaddr_in6))
                addr6 = QByteArray(reinterpret_cast<const char *>(cursor->ai_addr), sizeof(sockaddr_in6));
        }
        ::freeaddrinfo(results);
    }
    if (addr4Ptr != nullptr)
        *addr4Ptr = addr4;
    if (addr6Ptr != nullptr)
        *addr6Ptr = addr6;
}

unsigned int GCDAsyncUdpSocket::indexOfInterfaceAddr4(const QByteArray &interfaceAddr4)
{
    sockaddr_in wanted{};
    if (interfaceAddr4.size() != qsizetype(sizeof wanted) || !readAddress(interfaceAddr4, &wanted))
        return 0;
    unsigned int result = 0;
    ifaddrs *interfaces = nullptr;
    if (::getifaddrs(&interfaces) != 0)
        return 0;
    for (const ifaddrs *cursor = interfaces; cursor != nullptr && result == 0; cursor = cursor->ifa_next) {
        if (cursor->ifa_addr == nullptr || cursor->ifa_addr->sa_family != AF_INET)
            continue;
        sockaddr_in address{};
        std::memcpy(&address, cursor->ifa_addr, sizeof address);
        if (address.sin_addr.s_addr == wanted.sin_addr.s_addr)
            result = ::if_nametoindex(cursor->ifa_name);
    }
    ::freeifaddrs(interfaces);
    return result;
}

unsigned int GCDAsyncUdpSocket::indexOfInterfaceAddr6(const QByteArray &interfaceAddr6)
{
    sockaddr_in6 wanted{};
    if (interfaceAddr6.size() != qsizetype(sizeof wanted) || !readAddress(interfaceAddr6, &wanted))
        return 0;
    unsigned int result = 0;
    ifaddrs *interfaces = nullptr;
    if (::getifaddrs(&interfaces) != 0)
        return 0;
    for (const ifaddrs *cursor = interfaces; cursor != nullptr && result == 0; cursor = cursor->ifa_next) {
        if (cursor->ifa_addr == nullptr || cursor->ifa_addr->sa_family != AF_INET6)
            continue;
        sockaddr_in6 address{};
        std::memcpy(&address, cursor->ifa_addr, sizeof address);
        if (std::memcmp(&address.sin6_addr, &wanted.sin6_addr, sizeof wanted.sin6_addr) == 0)
            result = ::if_nametoindex(cursor->ifa_name);
    }
    ::freeifaddrs(interfaces);
    return result;
}

int GCDAsyncUdpSocket::getAddress(QByteArray *addressPtr, PlatformError *errorPtr,
                                  const QList<QByteArray> &addresses) const
{
    HM_ASSERT(!addresses.isEmpty(), QStringLiteral("Expected at least one address"));
    QByteArray address4;
    QByteArray address6;
    bool isIPv4First = false;
    for (const QByteArray &address : addresses) {
        if (isIPv4Address(address) && address4.isEmpty()) {
            address4 = address;
            isIPv4First = address6.isEmpty();
        } else if (isIPv6Address(address) && address6.isEmpty()) {
            address6 = address;
        }
    }
    const bool hasIPv4 = !address4.isEmpty();
    const bool hasIPv6 = !address6.isEmpty();
    const bool isIPv4Disabled = (m_config & kIPv4Disabled) != 0;
    const bool isIPv6Disabled = (m_config & kIPv6Disabled) != 0;
    const bool isIPv4Deactivated = (m_flags & kIPv4Deactivated) != 0;
    const bool isIPv6Deactivated = (m_flags & kIPv6Deactivated) != 0;

    const auto refuse = [&](const char *message) {
        *errorPtr = otherError(QString::fromLatin1(message));
        addressPtr->clear();
        return 0;
    };
    if (isIPv4Disabled && !hasIPv6)
        return refuse("IPv4 has been disabled and DNS lookup found no IPv6 address(es).");
    if (isIPv6Disabled && !hasIPv4)
        return refuse("IPv6 has been disabled and DNS lookup found no IPv4 address(es).");
    if (isIPv4Deactivated && !hasIPv6)
        return refuse("IPv4 has been deactivated due to bind/connect, and DNS lookup found no IPv6 address(es).");
    if (isIPv6Deactivated && !hasIPv4)
        return refuse("IPv6 has been deactivated due to bind/connect, and DNS lookup found no IPv4 address(es).");

    // A family whose socket is disabled or deactivated cannot carry the datagram: choosing it would
    // send on a closed descriptor and close the whole socket, so the other family is taken.
    const bool canUseIPv4 = hasIPv4 && !isIPv4Disabled && !isIPv4Deactivated;
    const bool canUseIPv6 = hasIPv6 && !isIPv6Disabled && !isIPv6Deactivated;
    const bool prefersIPv4 = (m_config & kPreferIPv4) != 0;
    const bool prefersIPv6 = (m_config & kPreferIPv6) != 0;
    HM_ASSERT(!(prefersIPv4 && prefersIPv6), QStringLiteral("Invalid config state"));
    const bool forcesIPv4 = (prefersIPv4 && canUseIPv4) || !canUseIPv6;
    const bool forcesIPv6 = (prefersIPv6 && canUseIPv6) || !canUseIPv4;
    if (forcesIPv4 || (!forcesIPv6 && isIPv4First)) {
        *addressPtr = address4;
        return AF_INET;
    }
    *addressPtr = address6;
    return AF_INET6;
}

bool GCDAsyncUdpSocket::getLocalAddress(LocalEndpoint *endpoint, int socketFD, int family) const
{
    sockaddr_storage storage{};
    socklen_t length = sizeof storage;
    if (::getsockname(socketFD, reinterpret_cast<sockaddr *>(&storage), &length) != 0 || storage.ss_family != family)
        return false;
    const socklen_t expected = family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
    if (length < expected)
        return false;
    endpoint->address = QByteArray(reinterpret_cast<const char *>(&storage), qsizetype(expected));
    getHost(&endpoint->host, &endpoint->port, endpoint->address);
    return true;
}

void GCDAsyncUdpSocket::maybeUpdateCachedLocalAddress4Info()
{
    if (m_hasCachedLocal4 || (m_flags & kDidBind) == 0 || m_socket4FD == -1)
        return;
    m_hasCachedLocal4 = getLocalAddress(&m_cachedLocal4, m_socket4FD, AF_INET);
}

void GCDAsyncUdpSocket::maybeUpdateCachedLocalAddress6Info()
{
    if (m_hasCachedLocal6 || (m_flags & kDidBind) == 0 || m_socket6FD == -1)
        return;
    m_hasCachedLocal6 = getLocalAddress(&m_cachedLocal6, m_socket6FD, AF_INET6);
}

GCDAsyncUdpSocket::LocalEndpoint GCDAsyncUdpSocket::localEndpoint(int family)
{
    if (family == AF_INET) {
        maybeUpdateCachedLocalAddress4Info();
        return m_cachedLocal4;
    }
    maybeUpdateCachedLocalAddress6Info();
    return m_cachedLocal6;
}

QByteArray GCDAsyncUdpSocket::localAddress()
{
    return onSocketQueue<QByteArray>([this] { return localEndpoint(m_socket4FD != -1 ? AF_INET : AF_INET6).address; });
}

QString GCDAsyncUdpSocket::localHost()
{
    return onSocketQueue<QString>([this] { return localEndpoint(m_socket4FD != -1 ? AF_INET : AF_INET6).host; });
}

quint16 GCDAsyncUdpSocket::localPort()
{
    return onSocketQueue<quint16>([this] { return localEndpoint(m_socket4FD != -1 ? AF_INET : AF_INET6).port; });
}

QByteArray GCDAsyncUdpSocket::localAddress_IPv4()
{
    return onSocketQueue<QByteArray>([this] { return localEndpoint(AF_INET).address; });
}

QString GCDAsyncUdpSocket::localHost_IPv4()
{
    return onSocketQueue<QString>([this] { return localEndpoint(AF_INET).host; });
}

quint16 GCDAsyncUdpSocket::localPort_IPv4()
{
    return onSocketQueue<quint16>([this] { return localEndpoint(AF_INET).port; });
}

QByteArray GCDAsyncUdpSocket::localAddress_IPv6()
{
    return onSocketQueue<QByteArray>([this] { return localEndpoint(AF_INET6).address; });
}

QString GCDAsyncUdpSocket::localHost_IPv6()
{
    return onSocketQueue<QString>([this] { return localEndpoint(AF_INET6).host; });
}

quint16 GCDAsyncUdpSocket::localPort_IPv6()
{
    return onSocketQueue<quint16>([this] { return localEndpoint(AF_INET6).port; });
}

QByteArray GCDAsyncUdpSocket::connectedAddress()
{
    return onSocketQueue<QByteArray>([this] { return m_cachedConnectedAddress; });
}

QString GCDAsyncUdpSocket::connectedHost()
{
    return onSocketQueue<QString>([this] { return m_cachedConnectedHost; });
}

quint16 GCDAsyncUdpSocket::connectedPort()
{
    return onSocketQueue<quint16>([this] { return m_cachedConnectedPort; });
}

// ---- Binding ----

bool GCDAsyncUdpSocket::bindSockets(const QByteArray &address4, const QByteArray &address6, PlatformError *errPtr)
{
    const auto bindOne = [&](int fd, const QByteArray &address) {
        if (::bind(fd, reinterpret_cast<const sockaddr *>(address.constData()), socklen_t(address.size())) == 0)
            return true;
        *errPtr = errnoErrorWithReason(errno, QStringLiteral("Error in bind() function"));
        closeSockets();
        return false;
    };
    if (!address4.isEmpty() && !bindOne(m_socket4FD, address4))
        return false;
    return address6.isEmpty() || bindOne(m_socket6FD, address6);
}

bool GCDAsyncUdpSocket::bindToPort(quint16 port, PlatformError *errPtr)
{
    return bindToPort(port, QString(), errPtr);
}

bool GCDAsyncUdpSocket::bindToPort(quint16 port, const QString &interface, PlatformError *errPtr)
{
    bool result = false;
    PlatformError error;
    runOnSocketQueue([&] {
        if (!preBind(&error))
            return;
        QByteArray interface4;
        QByteArray interface6;
        convertIntefaceDescription(interface, port, &interface4, &interface6);
        if (interface4.isEmpty() && interface6.isEmpty()) {
            error = badParamError(
                QStringLiteral("Unknown interface. Specify valid interface by name (e.g. \"en1\") or IP address."));
            return;
        }
        const bool isIPv4Disabled = (m_config & kIPv4Disabled) != 0;
        const bool isIPv6Disabled = (m_config & kIPv6Disabled) != 0;
        if (isIPv4Disabled && interface6.isEmpty()) {
            error = badParamError(QStringLiteral("IPv4 has been disabled and specified interface doesn't support IPv6."));
            return;
        }
        if (isIPv6Disabled && interface4.isEmpty()) {
            error = badParamError(QStringLiteral("IPv6 has been disabled and specified interface doesn't support IPv4."));
            return;
        }
        const bool useIPv4 = !isIPv4Disabled && !interface4.isEmpty();
        const bool useIPv6 = !isIPv6Disabled && !interface6.isEmpty();
        if ((m_flags & kDidCreateSockets) == 0 && !createSocket4(useIPv4, useIPv6, &error))
            return;
        if (!bindSockets(useIPv4 ? interface4 : QByteArray(), useIPv6 ? interface6 : QByteArray(), &error))
            return;
        m_flags |= kDidBind;
        if (!useIPv4)
            m_flags |= kIPv4Deactivated;
        if (!useIPv6)
            m_flags |= kIPv6Deactivated;
        result = true;
    });
    if (!result && errPtr != nullptr)
        *errPtr = error;
    return result;
}

bool GCDAsyncUdpSocket::bindToAddress(const QByteArray &localAddr, PlatformError *errPtr)
{
    bool result = false;
    PlatformError error;
    runOnSocketQueue([&] {
        if (!preBind(&error))
            return;
        const bool isIPv4 = isIPv4Address(localAddr);
        const bool isIPv6 = isIPv6Address(localAddr);
        if (!isIPv4 && !isIPv6) {
            error = badParamError(QStringLiteral("A valid IPv4 or IPv6 address was not given"));
            return;
        }
        if (isIPv4 && (m_config & kIPv4Disabled) != 0) {
            error = badParamError(QStringLiteral("IPv4 has been disabled and an IPv4 address was passed."));
            return;
        }
        if (isIPv6 && (m_config & kIPv6Disabled) != 0) {
            error = badParamError(QStringLiteral("IPv6 has been disabled and an IPv6 address was passed."));
            return;
        }
        if ((m_flags & kDidCreateSockets) == 0 && !createSocket4(isIPv4, isIPv6, &error))
            return;
        const QByteArray exact = localAddr.left(isIPv4 ? sizeof(sockaddr_in) : sizeof(sockaddr_in6));
        if (!bindSockets(isIPv4 ? exact : QByteArray(), isIPv6 ? exact : QByteArray(), &error))
            return;
        m_flags |= kDidBind | (isIPv4 ? kIPv6Deactivated : kIPv4Deactivated);
        result = true;
    });
    if (!result && errPtr != nullptr)
        *errPtr = error;
    return result;
}

// ---- Connecting ----

bool GCDAsyncUdpSocket::connectToHost(const QString &host, quint16 port, PlatformError *errPtr)
{
    bool result = false;
    PlatformError error;
    runOnSocketQueue([&] {
        if (!preConnect(&error))
            return;
        if (host.isEmpty()) {
            error = badParamError(QStringLiteral("The host param is nil. Should be domain name or IP address string."));
            return;
        }
        if ((m_flags & kDidCreateSockets) == 0 && !createSockets(&error))
            return;
        auto packet = std::make_shared<GCDAsyncUdpSpecialPacket>();
        packet->resolveInProgress = true;
        asyncResolveHost(host, port, [packet](GCDAsyncUdpSocket &socket, QList<QByteArray> addresses,
                                              PlatformError lookupError) {
            packet->resolveInProgress = false;
            packet->addresses = std::move(addresses);
            packet->error = std::move(lookupError);
            socket.maybeConnect();
        });
        m_flags |= kConnecting;
        m_sendQueue.push_back(packet);
        maybeDequeueSend();
        result = true;
    });
    if (!result && errPtr != nullptr)
        *errPtr = error;
    return result;
}

bool GCDAsyncUdpSocket::connectToAddress(const QByteArray &remoteAddr, PlatformError *errPtr)
{
    bool result = false;
    PlatformError error;
    runOnSocketQueue([&] {
        if (!preConnect(&error))
            return;
        if (remoteAddr.isEmpty()) {
            error = badParamError(QStringLiteral("The address param is nil. Should be a valid address."));
            return;
        }
        if (!isIPv4Address(remoteAddr) && !isIPv6Address(remoteAddr)) {
            error = badParamError(QStringLiteral("A valid IPv4 or IPv6 address was not given"));
            return;
        }
        if ((m_flags & kDidCreateSockets) == 0 && !createSockets(&error))
            return;
        auto packet = std::make_shared<GCDAsyncUdpSpecialPacket>();
        packet->addresses.append(remoteAddr.left(isIPv4Address(remoteAddr) ? sizeof(sockaddr_in) : sizeof(sockaddr_in6)));
        m_flags |= kConnecting;
        m_sendQueue.push_back(packet);
        maybeDequeueSend();
        result = true;
    });
    if (!result && errPtr != nullptr)
        *errPtr = error;
    return result;
}

void GCDAsyncUdpSocket::maybeConnect()
{
    HM_ASSERT(isOnSocketQueue(), QStringLiteral("Must be dispatched on socketQueue"));
    const auto connectPacket = std::dynamic_pointer_cast<GCDAsyncUdpSpecialPacket>(m_currentSend);
    if (!connectPacket || connectPacket->resolveInProgress)
        return;
    if (!connectPacket->error.isNull()) {
        notifyDidNotConnect(connectPacket->error);
    } else {
        QByteArray address;
        PlatformError error;
        const int family = getAddress(&address, &error, connectPacket->addresses);
        const bool isConnected = !address.isEmpty() && (family == AF_INET ? connectWithAddress4(address, &error)
                                                                           : connectWithAddress6(address, &error));
        if (isConnected) {
            m_flags |= kDidBind | kDidConnect;
            m_cachedConnectedAddress = address;
            getHost(&m_cachedConnectedHost, &m_cachedConnectedPort, address);
            m_cachedConnectedFamily = family;
            notifyDidConnectToAddress(address);
        } else {
            notifyDidNotConnect(error);
        }
    }
    m_flags &= ~kConnecting;
    endCurrentSend();
    maybeDequeueSend();
}

bool GCDAsyncUdpSocket::connectWithAddress4(const QByteArray &address4, PlatformError *errPtr)
{
    if (::connect(m_socket4FD, reinterpret_cast<const sockaddr *>(address4.constData()), socklen_t(address4.size())) !=
        0) {
        *errPtr = errnoErrorWithReason(errno, QStringLiteral("Error in connect() function"));
        return false;
    }
    closeSocket6();
    m_flags |= kIPv6Deactivated;
    return true;
}

bool GCDAsyncUdpSocket::connectWithAddress6(const QByteArray &address6, PlatformError *errPtr)
{
    if (::connect(m_socket6FD, reinterpret_cast<const sockaddr *>(address6.constData()), socklen_t(address6.size())) !=
        0) {
        *errPtr = errnoErrorWithReason(errno, QStringLiteral("Error in connect() function"));
        return false;
    }
    closeSocket4();
    m_flags |= kIPv4Deactivated;
    return true;
}

// ---- Broadcast, port reuse, multicast ----

bool GCDAsyncUdpSocket::enableBroadcast(bool flag, PlatformError *errPtr)
{
    bool result = false;
    PlatformError error;
    runOnSocketQueue([&] {
        if (!preOp(&error))
            return;
        if ((m_flags & kDidCreateSockets) == 0 && !createSockets(&error))
            return;
        if (m_socket4FD == -1)
            return;
        if (setIntOption(m_socket4FD, SOL_SOCKET, SO_BROADCAST, flag ? 1 : 0) != 0) {
            error = errnoErrorWithReason(errno, QStringLiteral("Error in setsockopt() function"));
            return;
        }
        result = true;
    });
    if (!result && errPtr != nullptr && !error.isNull())
        *errPtr = error;
    return result;
}

bool GCDAsyncUdpSocket::enableReusePort(bool flag, PlatformError *errPtr)
{
    bool result = false;
    PlatformError error;
    runOnSocketQueue([&] {
        if (!preOp(&error))
            return;
        if ((m_flags & kDidCreateSockets) == 0 && !createSockets(&error))
            return;
        for (const int fd : {m_socket4FD, m_socket6FD}) {
            if (fd != -1 && setIntOption(fd, SOL_SOCKET, SO_REUSEPORT, flag ? 1 : 0) != 0) {
                error = errnoErrorWithReason(errno, QStringLiteral("Error in setsockopt() function"));
                return;
            }
        }
        result = true;
    });
    if (!result && errPtr != nullptr)
        *errPtr = error;
    return result;
}

bool GCDAsyncUdpSocket::joinMulticastGroup(const QString &group, PlatformError *errPtr)
{
    return joinMulticastGroup(group, QString(), errPtr);
}

bool GCDAsyncUdpSocket::joinMulticastGroup(const QString &group, const QString &interface, PlatformError *errPtr)
{
    return performMulticastRequest(IP_ADD_MEMBERSHIP, group, interface, errPtr);
}

bool GCDAsyncUdpSocket::leaveMulticastGroup(const QString &group, PlatformError *errPtr)
{
    return leaveMulticastGroup(group, QString(), errPtr);
}

bool GCDAsyncUdpSocket::leaveMulticastGroup(const QString &group, const QString &interface, PlatformError *errPtr)
{
    return performMulticastRequest(IP_DROP_MEMBERSHIP, group, interface, errPtr);
}

bool GCDAsyncUdpSocket::performMulticastRequest(int requestType, const QString &group, const QString &interface,
                                                PlatformError *errPtr)
{
    bool result = false;
    PlatformError error;
    runOnSocketQueue([&] {
        if (!preJoin(&error))
            return;
        QByteArray group4;
        QByteArray group6;
        convertNumericHost(group, 0, &group4, &group6);
        if (group4.isEmpty() && group6.isEmpty()) {
            error = badParamError(QStringLiteral("Unknown group. Specify valid group IP address."));
            return;
        }
        QByteArray interface4;
        QByteArray interface6;
        convertIntefaceDescription(interface, 0, &interface4, &interface6);
        if (interface4.isEmpty() && interface6.isEmpty()) {
            error = badParamError(
                QStringLiteral("Unknown interface. Specify valid interface by name (e.g. \"en1\") or IP address."));
            return;
        }
        const bool isJoin = requestType == IP_ADD_MEMBERSHIP;
        if (!group4.isEmpty() && !interface4.isEmpty() && m_socket4FD != -1) {
            sockaddr_in groupAddress{};
            sockaddr_in interfaceAddress{};
            readAddress(group4, &groupAddress);
            readAddress(interface4, &interfaceAddress);
            ip_mreq request{};
            request.imr_multiaddr = groupAddress.sin_addr;
            request.imr_interface = interfaceAddress.sin_addr;
            if (::setsockopt(m_socket4FD, IPPROTO_IP, isJoin ? IP_ADD_MEMBERSHIP : IP_DROP_MEMBERSHIP, &request,
                             sizeof request) != 0) {
                error = errnoErrorWithReason(errno, QStringLiteral("Error in setsockopt() function"));
                return;
            }
            closeSocket6();
            m_flags |= kIPv6Deactivated;
            result = true;
        } else if (!group6.isEmpty() && !interface6.isEmpty() && m_socket6FD != -1) {
            sockaddr_in6 groupAddress{};
            readAddress(group6, &groupAddress);
            ipv6_mreq request{};
            request.ipv6mr_multiaddr = groupAddress.sin6_addr;
            request.ipv6mr_interface = indexOfInterfaceAddr6(interface6);
            if (::setsockopt(m_socket6FD, IPPROTO_IPV6, isJoin ? IPV6_ADD_MEMBERSHIP : IPV6_DROP_MEMBERSHIP, &request,
                             sizeof request) != 0) {
                error = errnoErrorWithReason(errno, QStringLiteral("Error in setsockopt() function"));
                return;
            }
            closeSocket4();
            m_flags |= kIPv4Deactivated;
            result = true;
        } else {
            error = badParamError(QStringLiteral("Socket, group, and interface do not have matching IP versions"));
        }
    });
    if (!result && errPtr != nullptr)
        *errPtr = error;
    return result;
}

// ---- Sending ----

void GCDAsyncUdpSocket::asyncResolveHost(
    const QString &aHost, quint16 port,
    std::function<void(GCDAsyncUdpSocket &, QList<QByteArray>, PlatformError)> completion)
{
    const std::weak_ptr<GCDAsyncUdpSocket> weak = weak_from_this();
    const std::shared_ptr<DispatchQueue> socketQueue = m_socketQueue;
    const auto complete = [weak, socketQueue, completion](QList<QByteArray> addresses, PlatformError error) {
        socketQueue->async([weak, completion, addresses = std::move(addresses), error = std::move(error)] {
            if (const auto socket = weak.lock())
                completion(*socket, addresses, error);
        });
    };
    if (aHost.isEmpty()) {
        complete({}, badParamError(QStringLiteral("The host param is nil. Should be domain name or IP address string.")));
        return;
    }
    DispatchQueue::global()->async([host = aHost, port, complete] {
        QList<QByteArray> addresses;
        addresses.reserve(2);
        if (host == QLatin1String("localhost") || host == QLatin1String("loopback")) {
            addresses.append(loopbackAddress4(port));
            addresses.append(loopbackAddress6(port));
            complete(addresses, PlatformError());
            return;
        }
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_DGRAM;
        hints.ai_protocol = IPPROTO_UDP;
        addrinfo *results = nullptr;
        const QByteArray hostBytes = host.toUtf8();
        const QByteArray service = QByteArray::number(port);
        const int lookupError = ::getaddrinfo(hostBytes.constData(), service.constData(), &hints, &results);
        if (lookupError != 0) {
            complete({}, gaiError(lookupError));
            return;
        }
        for (const addrinfo *cursor = results; cursor != nullptr; cursor = cursor->ai_next) {
            if (cursor->ai_family == AF_INET && cursor->ai_addrlen >= sizeof(sockaddr_in)) {
                addresses.append(QByteArray(reinterpret_cast<const char *>(cursor->ai_addr), sizeof(sockaddr_in)));
            } else if (cursor->ai_family == AF_INET6 && cursor->ai_addrlen >= sizeof(sockaddr_in6)) {
                sockaddr_in6 address{};
                std::memcpy(&address, cursor->ai_addr, sizeof address);
                if (address.sin6_port == 0)
                    address.sin6_port = htons(port);
                addresses.append(bytesOf(address));
            }
        }
        ::freeaddrinfo(results);
        if (addresses.isEmpty())
            complete({}, gaiError(EAI_FAIL));
        else
            complete(addresses, PlatformError());
    });
}

void GCDAsyncUdpSocket::sendData(const QByteArray &data, long tag)
{
    sendData(data, -1.0, tag);
}

void GCDAsyncUdpSocket::sendData(const QByteArray &data, double timeout, long tag)
{
    if (data.isEmpty())
        return;
    queueSendPacket(std::make_shared<GCDAsyncUdpSendPacket>(data, timeout, tag));
}

void GCDAsyncUdpSocket::sendData(const QByteArray &data, const QString &host, quint16 port, double timeout, long tag)
{
    if (data.isEmpty())
        return;
    auto packet = std::make_shared<GCDAsyncUdpSendPacket>(data, timeout, tag);
    packet->resolveInProgress = true;
    asyncResolveHost(host, port, [packet](GCDAsyncUdpSocket &socket, QList<QByteArray> addresses,
                                          PlatformError error) {
        packet->resolveInProgress = false;
        packet->resolvedAddresses = std::move(addresses);
        packet->resolveError = std::move(error);
        if (packet == socket.m_currentSend)
            socket.doPreSend();
    });
    queueSendPacket(packet);
}

void GCDAsyncUdpSocket::sendData(const QByteArray &data, const QByteArray &remoteAddr, double timeout, long tag)
{
    if (data.isEmpty())
        return;
    auto packet = std::make_shared<GCDAsyncUdpSendPacket>(data, timeout, tag);
    packet->address = remoteAddr;
    packet->addressFamily = familyFromAddress(remoteAddr);
    queueSendPacket(packet);
}

void GCDAsyncUdpSocket::queueSendPacket(std::shared_ptr<GCDAsyncUdpPacket> packet)
{
    queueOnSocketQueue([packet = std::move(packet)](GCDAsyncUdpSocket &socket) {
        socket.m_sendQueue.push_back(packet);
        socket.maybeDequeueSend();
    });
}

void GCDAsyncUdpSocket::setSendFilter(GCDAsyncUdpSocketSendFilterBlock filterBlock,
                                      std::shared_ptr<DispatchQueue> filterQueue)
{
    setSendFilter(std::move(filterBlock), std::move(filterQueue), true);
}

void GCDAsyncUdpSocket::setSendFilter(GCDAsyncUdpSocketSendFilterBlock filterBlock,
                                      std::shared_ptr<DispatchQueue> filterQueue, bool isAsynchronous)
{
    HM_ASSERT(!filterBlock || filterQueue,
              QStringLiteral("Must provide a dispatch_queue in which to run the filter block."));
    if (!filterBlock)
        filterQueue.reset();
    queueOnSocketQueue([filterBlock = std::move(filterBlock), filterQueue = std::move(filterQueue),
                        isAsynchronous](GCDAsyncUdpSocket &socket) {
        socket.m_sendFilterBlock = filterBlock;
        socket.m_sendFilterQueue = filterQueue;
        socket.m_sendFilterAsync = isAsynchronous;
    });
}

void GCDAsyncUdpSocket::maybeDequeueSend()
{
    HM_ASSERT(isOnSocketQueue(), QStringLiteral("Must be dispatched on socketQueue"));
    if (m_currentSend)
        return;
    if ((m_flags & kDidCreateSockets) == 0 && !m_sendQueue.empty()) {
        PlatformError error;
        if (!createSockets(&error)) {
            closeWithError(error);
            return;
        }
    }
    while (!m_sendQueue.empty()) {
        m_currentSend = m_sendQueue.front();
        m_sendQueue.pop_front();
        if (std::dynamic_pointer_cast<GCDAsyncUdpSpecialPacket>(m_currentSend)) {
            maybeConnect();
            return;
        }
        const auto packet = std::static_pointer_cast<GCDAsyncUdpSendPacket>(m_currentSend);
        if (!packet->resolveError.isNull()) {
            notifyDidNotSendDataWithTag(packet->tag, packet->resolveError);
            m_currentSend.reset();
            continue;
        }
        doPreSend();
        return;
    }
    if ((m_flags & kCloseAfterSends) != 0)
        closeWithError(PlatformError());
}

void GCDAsyncUdpSocket::doPreSend()
{
    const auto packet = std::static_pointer_cast<GCDAsyncUdpSendPacket>(m_currentSend);
    PlatformError error;
    if ((m_flags & kDidConnect) != 0) {
        if (packet->resolveInProgress || !packet->resolvedAddresses.isEmpty() || !packet->resolveError.isNull() ||
            !packet->address.isEmpty()) {
            error = badConfigError(QStringLiteral("Cannot specify destination of packet for connected socket"));
        } else {
            packet->address = m_cachedConnectedAddress;
            packet->addressFamily = m_cachedConnectedFamily;
        }
    } else if (packet->resolveInProgress) {
        // The lookup's completion starts the send again.
        if ((m_flags & kSock4CanAcceptBytes) != 0)
            suspendSend4Source();
        if ((m_flags & kSock6CanAcceptBytes) != 0)
            suspendSend6Source();
        return;
    } else if (!packet->resolveError.isNull()) {
        error = packet->resolveError;
    } else if (packet->address.isEmpty()) {
        if (packet->resolvedAddresses.isEmpty()) {
            error = badConfigError(QStringLiteral("You must specify destination of packet for a non-connected socket"));
        } else {
            packet->addressFamily = getAddress(&packet->address, &error, packet->resolvedAddresses);
        }
    } else if (packet->addressFamily == 0) {
        // An address that is neither IPv4 nor IPv6 fails this datagram only, instead of failing the
        // system send and closing the whole socket.
        error = badParamError(QStringLiteral("A valid IPv4 or IPv6 address was not given"));
    }

    if (!error.isNull()) {
        notifyDidNotSendDataWithTag(packet->tag, error);
        endCurrentSend();
        maybeDequeueSend();
        return;
    }

    if (!m_sendFilterBlock || !m_sendFilterQueue) {
        doSend();
        return;
    }
    const GCDAsyncUdpSocketSendFilterBlock filter = m_sendFilterBlock;
    if (m_sendFilterAsync) {
        packet->filterInProgress = true;
        m_sendFilterQueue->async(
            [weak = weak_from_this(), socketQueue = m_socketQueue, filter, packet, current = m_currentSend] {
                const bool allowed = filter(packet->buffer, packet->address, packet->tag);
                socketQueue->async([weak, current, allowed] {
                    if (const auto socket = weak.lock())
                        socket->finishFilteredSend(current, allowed);
                });
            });
        return;
    }
    bool allowed = false;
    m_sendFilterQueue->sync([&] { allowed = filter(packet->buffer, packet->address, packet->tag); });
    finishFilteredSend(m_currentSend, allowed);
}

void GCDAsyncUdpSocket::finishFilteredSend(const std::shared_ptr<GCDAsyncUdpPacket> &current, bool allowed)
{
    const auto packet = std::static_pointer_cast<GCDAsyncUdpSendPacket>(current);
    packet->filterInProgress = false;
    if (current != m_currentSend)
        return;
    if (allowed) {
        doSend();
        return;
    }
    notifyDidSendDataWithTag(packet->tag);
    endCurrentSend();
    maybeDequeueSend();
}

void GCDAsyncUdpSocket::doSend()
{
    HM_ASSERT(m_currentSend, QStringLiteral("Invalid logic"));
    const auto packet = std::static_pointer_cast<GCDAsyncUdpSendPacket>(m_currentSend);
    const int fd = packet->addressFamily == AF_INET ? m_socket4FD : m_socket6FD;
    ssize_t result = 0;
    if ((m_flags & kDidConnect) != 0) {
        result = ::send(fd, packet->buffer.constData(), size_t(packet->buffer.size()), MSG_NOSIGNAL);
    } else {
        result = ::sendto(fd, packet->buffer.constData(), size_t(packet->buffer.size()), MSG_NOSIGNAL,
                          reinterpret_cast<const sockaddr *>(packet->address.constData()),
                          socklen_t(packet->address.size()));
    }
    const int sendErrno = errno;
    // A first send binds the socket to a port of the system's choice.
    m_flags |= kDidBind;

    if (result > 0) {
        notifyDidSendDataWithTag(packet->tag);
        endCurrentSend();
        maybeDequeueSend();
        return;
    }
    if (result < 0 && !isWouldBlock(sendErrno)) {
        closeWithError(errnoErrorWithReason(sendErrno, QStringLiteral("Error in send() function.")));
        return;
    }
    // The system has no room yet: the next write event sends again.
    if (m_socket4FD != -1)
        resumeSend4Source();
    if (m_socket6FD != -1)
        resumeSend6Source();
    if (!m_sendTimer && packet->timeout >= 0.0)
        setupSendTimerWithTimeout(packet->timeout);
}

void GCDAsyncUdpSocket::endCurrentSend()
{
    if (m_sendTimer) {
        m_sendTimer->cancel();
        m_sendTimer.reset();
    }
    m_currentSend.reset();
}

void GCDAsyncUdpSocket::doSendTimeout()
{
    const auto packet = std::dynamic_pointer_cast<GCDAsyncUdpSendPacket>(m_currentSend);
    if (!packet)
        return;
    notifyDidNotSendDataWithTag(packet->tag, sendTimeoutError());
    endCurrentSend();
    maybeDequeueSend();
}

void GCDAsyncUdpSocket::setupSendTimerWithTimeout(double timeout)
{
    HM_ASSERT(!m_sendTimer, QStringLiteral("Invalid logic"));
    HM_ASSERT(timeout >= 0.0, QStringLiteral("Invalid logic"));
    m_sendTimer = DispatchTimer::create(m_socketQueue);
    m_sendTimer->setEventHandler([weak = weak_from_this()] {
        if (const auto socket = weak.lock())
            socket->doSendTimeout();
    });
    m_sendTimer->schedule(timeout, 0.0, 0.0);
    m_sendTimer->resume();
}

// ---- Receiving ----

bool GCDAsyncUdpSocket::receiveOnce(PlatformError *errPtr)
{
    return startReceiving(kReceiveOnce, errPtr);
}

bool GCDAsyncUdpSocket::beginReceiving(PlatformError *errPtr)
{
    return startReceiving(kReceiveContinuous, errPtr);
}

bool GCDAsyncUdpSocket::startReceiving(std::uint32_t mode, PlatformError *errPtr)
{
    bool result = false;
    PlatformError error;
    runOnSocketQueue([&] {
        if ((m_flags & mode) != 0) {
            result = true;
            return;
        }
        if ((m_flags & kDidCreateSockets) == 0) {
            error = badConfigError(
                QStringLiteral("Must bind socket before you can receive data. You can do this explicitly via bind, or "
                               "implicitly via connect or by sending data."));
            return;
        }
        m_flags |= mode;
        m_flags &= ~(mode == kReceiveOnce ? kReceiveContinuous : kReceiveOnce);
        m_socketQueue->async([weak = weak_from_this()] {
            if (const auto socket = weak.lock())
                socket->doReceive();
        });
        result = true;
    });
    if (!result && errPtr != nullptr)
        *errPtr = error;
    return result;
}

void GCDAsyncUdpSocket::pauseReceiving()
{
    queueOnSocketQueue([](GCDAsyncUdpSocket &socket) {
        socket.m_flags &= ~(kReceiveOnce | kReceiveContinuous);
        if (socket.m_socket4FDBytesAvailable > 0)
            socket.suspendReceive4Source();
        if (socket.m_socket6FDBytesAvailable > 0)
            socket.suspendReceive6Source();
    });
}

void GCDAsyncUdpSocket::setReceiveFilter(GCDAsyncUdpSocketReceiveFilterBlock filterBlock,
                                         std::shared_ptr<DispatchQueue> filterQueue)
{
    setReceiveFilter(std::move(filterBlock), std::move(filterQueue), true);
}

void GCDAsyncUdpSocket::setReceiveFilter(GCDAsyncUdpSocketReceiveFilterBlock filterBlock,
                                         std::shared_ptr<DispatchQueue> filterQueue, bool isAsynchronous)
{
    HM_ASSERT(!filterBlock || filterQueue,
              QStringLiteral("Must provide a dispatch_queue in which to run the filter block."));
    if (!filterBlock)
        filterQueue.reset();
    queueOnSocketQueue([filterBlock = std::move(filterBlock), filterQueue = std::move(filterQueue),
                        isAsynchronous](GCDAsyncUdpSocket &socket) {
        socket.m_receiveFilterBlock = filterBlock;
        socket.m_receiveFilterQueue = filterQueue;
        socket.m_receiveFilterAsync = isAsynchronous;
    });
}

void GCDAsyncUdpSocket::doReceive()
{
    HM_ASSERT(isOnSocketQueue(), QStringLiteral("Must be dispatched on socketQueue"));
    // A burst is drained here rather than by recursion, so that a flood cannot exhaust the stack; after
    // a batch the rest waits behind whatever else was queued on the socket queue.
    for (int count = 0; count < kReceiveBatchDatagrams; ++count) {
        if (!receiveOneDatagram())
            return;
    }
    m_socketQueue->async([weak = weak_from_this()] {
        if (const auto socket = weak.lock())
            socket->doReceive();
    });
}

bool GCDAsyncUdpSocket::receiveOneDatagram()
{
    const bool isReceiving = (m_flags & (kReceiveOnce | kReceiveContinuous)) != 0;
    if (!isReceiving || ((m_flags & kReceiveOnce) != 0 && m_pendingFilterOperations > 0)) {
        // Datagrams stay with the system until receiving starts again.
        if (m_socket4FDBytesAvailable > 0)
            suspendReceive4Source();
        if (m_socket6FDBytesAvailable > 0)
            suspendReceive6Source();
        return false;
    }
    if (m_socket4FDBytesAvailable == 0 && m_socket6FDBytesAvailable == 0) {
        resumeReceive4Source();
        resumeReceive6Source();
        return false;
    }

    bool isIPv4Socket = false;
    if ((m_flags & kDidConnect) != 0) {
        isIPv4Socket = m_socket4FD != -1;
    } else if (m_socket4FDBytesAvailable > 0 && m_socket6FDBytesAvailable > 0) {
        isIPv4Socket = (m_flags & kFlipFlop) != 0;
        m_flags ^= kFlipFlop;
    } else {
        isIPv4Socket = m_socket4FDBytesAvailable > 0;
    }
    std::uint64_t &bytesAvailable = isIPv4Socket ? m_socket4FDBytesAvailable : m_socket6FDBytesAvailable;
    HM_ASSERT(bytesAvailable > 0, QStringLiteral("Invalid logic"));

    const int fd = isIPv4Socket ? m_socket4FD : m_socket6FD;
    const quint32 bufferSize = std::min(isIPv4Socket ? quint32(m_max4ReceiveSize) : m_max6ReceiveSize, kMaxDatagramBytes);
    if (m_receiveBuffer.size() < qsizetype(bufferSize))
        m_receiveBuffer.resize(qsizetype(bufferSize));
    sockaddr_storage sender{};
    socklen_t senderLength = sizeof sender;
    const ssize_t result = ::recvfrom(fd, m_receiveBuffer.data(), bufferSize, 0, reinterpret_cast<sockaddr *>(&sender),
                                      &senderLength);
    const int receiveErrno = errno;

    if (result > 0)
        bytesAvailable -= std::min<std::uint64_t>(bytesAvailable, std::uint64_t(result));
    else
        bytesAvailable = 0;
    if (result == 0 || (result < 0 && isWouldBlock(receiveErrno))) {
        if (m_socket4FDBytesAvailable == 0)
            resumeReceive4Source();
        if (m_socket6FDBytesAvailable == 0)
            resumeReceive6Source();
        return false;
    }
    if (result < 0) {
        closeWithError(errnoErrorWithReason(receiveErrno, QStringLiteral("Error in recvfrom() function")));
        return false;
    }

    const QByteArray data(m_receiveBuffer.constData(), qsizetype(result));
    const QByteArray address(reinterpret_cast<const char *>(&sender),
                             qsizetype(std::min<socklen_t>(senderLength, sizeof sender)));
    bool isIgnored = false;
    if ((m_flags & kDidConnect) != 0)
        isIgnored = isIPv4Socket ? !isConnectedToAddress4(address) : !isConnectedToAddress6(address);

    bool isDelivered = false;
    bool isWaitingForFilter = false;
    if (!isIgnored && m_receiveFilterBlock && m_receiveFilterQueue) {
        const GCDAsyncUdpSocketReceiveFilterBlock filter = m_receiveFilterBlock;
        if (m_receiveFilterAsync) {
            ++m_pendingFilterOperations;
            isWaitingForFilter = true;
            m_receiveFilterQueue->async([weak = weak_from_this(), socketQueue = m_socketQueue, filter, data, address,
                                         closeEpoch = m_closeEpoch] {
                QVariant context;
                const bool allowed = filter(data, address, &context);
                socketQueue->async([weak, closeEpoch, data, address, allowed, context] {
                    if (const auto socket = weak.lock())
                        socket->deliverFiltered(closeEpoch, data, address, allowed, context);
                });
            });
        } else {
            QVariant context;
            bool allowed = false;
            m_receiveFilterQueue->sync([&] { allowed = filter(data, address, &context); });
            if (allowed) {
                notifyDidReceiveData(data, address, context);
                isDelivered = true;
            } else {
                isIgnored = true;
            }
        }
    } else if (!isIgnored) {
        notifyDidReceiveData(data, address, QVariant());
        isDelivered = true;
    }

    // Continuous mode drains a burst before waiting for the next read event; receive-once reads on
    // only past an ignored datagram.
    if ((m_flags & kReceiveContinuous) != 0)
        return true;
    if ((m_flags & kReceiveOnce) == 0)
        return false;
    if (isDelivered) {
        m_flags &= ~kReceiveOnce;
        return false;
    }
    return isIgnored && !isWaitingForFilter;
}

void GCDAsyncUdpSocket::deliverFiltered(std::uint64_t closeEpoch, const QByteArray &data, const QByteArray &address,
                                        bool allowed, const QVariant &context)
{
    if (closeEpoch != m_closeEpoch)
        return;
    if (m_pendingFilterOperations > 0)
        --m_pendingFilterOperations;
    if (allowed)
        notifyDidReceiveData(data, address, context);
    if ((m_flags & kReceiveOnce) != 0) {
        if (allowed)
            m_flags &= ~kReceiveOnce;
        else if (m_pendingFilterOperations == 0)
            doReceive();
    }
}

bool GCDAsyncUdpSocket::isConnectedToAddress4(const QByteArray &someAddr4) const
{
    HM_ASSERT((m_flags & kDidConnect) != 0, QStringLiteral("Not connected"));
    HM_ASSERT(!m_cachedConnectedAddress.isEmpty(), QStringLiteral("Expected cached connected address"));
    sockaddr_in peer{};
    sockaddr_in sender{};
    if (m_cachedConnectedFamily != AF_INET || !readAddress(m_cachedConnectedAddress, &peer) ||
        !readAddress(someAddr4, &sender) || sender.sin_family != AF_INET)
        return false;
    return peer.sin_addr.s_addr == sender.sin_addr.s_addr && peer.sin_port == sender.sin_port;
}

bool GCDAsyncUdpSocket::isConnectedToAddress6(const QByteArray &someAddr6) const
{
    HM_ASSERT((m_flags & kDidConnect) != 0, QStringLiteral("Not connected"));
    HM_ASSERT(!m_cachedConnectedAddress.isEmpty(), QStringLiteral("Expected cached connected address"));
    sockaddr_in6 peer{};
    sockaddr_in6 sender{};
    if (m_cachedConnectedFamily != AF_INET6 || !readAddress(m_cachedConnectedAddress, &peer) ||
        !readAddress(someAddr6, &sender) || sender.sin6_family != AF_INET6)
        return false;
    return std::memcmp(&peer.sin6_addr, &sender.sin6_addr, sizeof peer.sin6_addr) == 0 &&
           peer.sin6_port == sender.sin6_port;
}

// ---- Address helpers ----

QString GCDAsyncUdpSocket::hostFromSockaddr4(const sockaddr_in *pSockaddr4)
{
    char text[INET_ADDRSTRLEN] = {};
    if (::inet_ntop(AF_INET, &pSockaddr4->sin_addr, text, sizeof text) == nullptr)
        return QString(QLatin1String(""));
    return QString::fromLatin1(text);
}

QString GCDAsyncUdpSocket::hostFromSockaddr6(const sockaddr_in6 *pSockaddr6)
{
    char text[INET6_ADDRSTRLEN] = {};
    if (::inet_ntop(AF_INET6, &pSockaddr6->sin6_addr, text, sizeof text) == nullptr)
        return QString(QLatin1String(""));
    return QString::fromLatin1(text);
}

quint16 GCDAsyncUdpSocket::portFromSockaddr4(const sockaddr_in *pSockaddr4)
{
    return ntohs(pSockaddr4->sin_port);
}

quint16 GCDAsyncUdpSocket::portFromSockaddr6(const sockaddr_in6 *pSockaddr6)
{
    return ntohs(pSockaddr6->sin6_port);
}

bool GCDAsyncUdpSocket::getHost(QString *hostPtr, quint16 *portPtr, int *afPtr, const QByteArray &address)
{
    QString host;
    quint16 port = 0;
    int family = 0;
    sa_family_t addressFamily = AF_UNSPEC;
    if (address.size() >= qsizetype(sizeof(sockaddr_in)))
        std::memcpy(&addressFamily, address.constData() + offsetof(sockaddr, sa_family), sizeof addressFamily);
    if (addressFamily == AF_INET6 && address.size() >= qsizetype(sizeof(sockaddr_in6))) {
        sockaddr_in6 address6{};
        readAddress(address, &address6);
        host = hostFromSockaddr6(&address6);
        port = portFromSockaddr6(&address6);
        family = AF_INET6;
    } else if (addressFamily == AF_INET) {
        sockaddr_in address4{};
        readAddress(address, &address4);
        host = hostFromSockaddr4(&address4);
        port = portFromSockaddr4(&address4);
        family = AF_INET;
    }
    if (hostPtr != nullptr)
        *hostPtr = host;
    if (portPtr != nullptr)
        *portPtr = port;
    if (afPtr != nullptr)
        *afPtr = family;
    return family != 0;
}

bool GCDAsyncUdpSocket::getHost(QString *hostPtr, quint16 *portPtr, const QByteArray &address)
{
    return getHost(hostPtr, portPtr, nullptr, address);
}

QString GCDAsyncUdpSocket::hostFromAddress(const QByteArray &address)
{
    QString host;
    getHost(&host, nullptr, nullptr, address);
    return host;
}

quint16 GCDAsyncUdpSocket::portFromAddress(const QByteArray &address)
{
    quint16 port = 0;
    getHost(nullptr, &port, nullptr, address);
    return port;
}

int GCDAsyncUdpSocket::familyFromAddress(const QByteArray &address)
{
    int family = 0;
    getHost(nullptr, nullptr, &family, address);
    return family;
}

bool GCDAsyncUdpSocket::isIPv4Address(const QByteArray &address)
{
    return familyFromAddress(address) == AF_INET;
}

bool GCDAsyncUdpSocket::isIPv6Address(const QByteArray &address)
{
    return familyFromAddress(address) == AF_INET6;
}
