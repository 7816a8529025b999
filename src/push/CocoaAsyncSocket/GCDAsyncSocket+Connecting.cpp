// Connecting to a host or an address, accepting connections, the connected descriptor's readiness
// sources, disconnecting and closing.
#include "push/CocoaAsyncSocket/GCDAsyncSocket+Private.h"

#include "push/CocoaAsyncSocket/GCDAsyncReadPacket.h"
#include "push/CocoaAsyncSocket/GCDAsyncWritePacket.h"
#include "platform/dispatch/DispatchFdSource.h"
#include "platform/crypto/SecureTransport.h"
#include "platform/dispatch/DispatchTimer.h"
#include "platform/foundation/Assert.h"
#include "platform/network/SocketAddress.h"

#include <cerrno>

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

using platform::DispatchFdSource;
using platform::DispatchQueue;
using platform::PlatformError;
using platform::net::DescriptorCloser;
using namespace tcpsocket;

namespace {

constexpr int kListenBacklog = 1024;
// Connections taken per readiness event of a listening socket; the source fires again while more wait.
constexpr int kMaxAcceptsPerEvent = 256;

// Sets a configuration error of the message when refused; answers whether not.
bool allows(bool isRefused, const PlatformError &refusal, PlatformError *errPtr)
{
    if (isRefused)
        *errPtr = refusal;
    return !isRefused;
}

int familyOf(const QByteArray &address)
{
    int family = 0;
    platform::net::getHost(nullptr, nullptr, &family, address);
    return family;
}

} // namespace

// ---- Accepting ----

bool GCDAsyncSocket::acceptOnPort(quint16 port, PlatformError *errPtr)
{
    return acceptOnInterface(QString(), port, errPtr);
}

bool GCDAsyncSocket::acceptOnInterface(const QString &interface, quint16 port, PlatformError *errPtr)
{
    bool result = false;
    PlatformError error;
    runOnSocketQueue([&] { result = acceptOnInterfaceNow(interface, port, &error); });
    if (!result && errPtr != nullptr)
        *errPtr = error;
    return result;
}

bool GCDAsyncSocket::preAccept(PlatformError *errPtr) const
{
    return allows(m_delegate.load() == nullptr,
                  badConfigError(QStringLiteral("Attempting to accept without a delegate. Set a delegate first.")),
                  errPtr) &&
           allows(!m_delegateQueue,
                  badConfigError(
                      QStringLiteral("Attempting to accept without a delegate queue. Set a delegate queue first.")),
                  errPtr) &&
           allows((m_config & kIPv4Disabled) != 0 && (m_config & kIPv6Disabled) != 0,
                  badConfigError(QStringLiteral(
                      "Both IPv4 and IPv6 have been disabled. Must enable at least one protocol first.")),
                  errPtr) &&
           allows((m_flags & kSocketStarted) != 0,
                  badConfigError(QStringLiteral(
                      "Attempting to accept while connected or accepting connections. Disconnect first.")),
                  errPtr);
}

bool GCDAsyncSocket::acceptOnInterfaceNow(const QString &interface, quint16 port, PlatformError *errPtr)
{
    if (!preAccept(errPtr))
        return false;
    m_readQueue.clear();
    m_writeQueue.clear();
    QByteArray interface4;
    QByteArray interface6;
    if (!resolveInterface(interface, port, &interface4, &interface6, errPtr))
        return false;
    if ((m_config & kIPv4Disabled) != 0)
        interface4.clear();
    if ((m_config & kIPv6Disabled) != 0)
        interface6.clear();
    if (!listenOn(interface4, interface6, errPtr))
        return false;
    m_flags |= kSocketStarted;
    return true;
}

bool GCDAsyncSocket::listenOn(const QByteArray &interface4, QByteArray interface6, PlatformError *errPtr)
{
    if (!interface4.isEmpty()) {
        m_socket4FD = createListeningSocket(interface4, errPtr);
        if (m_socket4FD == -1)
            return false;
        m_socket4Closer = std::make_shared<DescriptorCloser>(m_socket4FD);
    }
    if (!interface6.isEmpty()) {
        // Port 0 lets the system choose; both families then listen on the port IPv4 was given.
        if (!interface4.isEmpty() && platform::net::withPort(interface6, 0) == interface6)
            interface6 = platform::net::withPort(interface6, localPort4());
        m_socket6FD = createListeningSocket(interface6, errPtr);
        if (m_socket6FD == -1) {
            closeDescriptors();
            return false;
        }
        m_socket6Closer = std::make_shared<DescriptorCloser>(m_socket6FD);
    }
    const bool isWatched = (m_socket4FD == -1 || setupAcceptSource(m_socket4FD)) &&
                           (m_socket6FD == -1 || setupAcceptSource(m_socket6FD));
    if (!isWatched) {
        *errPtr = otherError(QStringLiteral("Error watching the listening socket for connections"));
        closeDescriptors();
    }
    return isWatched;
}

int GCDAsyncSocket::createListeningSocket(const QByteArray &interfaceAddr, PlatformError *errPtr) const
{
    const int fd = platform::net::openLocalSocket(familyOf(interfaceAddr), SOCK_STREAM,
                                                  "Error enabling address reuse (setsockopt)", errPtr);
    if (fd == -1)
        return -1;
    if (::bind(fd, reinterpret_cast<const sockaddr *>(interfaceAddr.constData()), socklen_t(interfaceAddr.size())) == -1)
        return platform::net::failSocketSetup(fd, "Error in bind() function", errPtr);
    if (::listen(fd, kListenBacklog) == -1)
        return platform::net::failSocketSetup(fd, "Error in listen() function", errPtr);
    return fd;
}

bool GCDAsyncSocket::setupAcceptSource(int fd)
{
    auto source = DispatchFdSource::createRead(fd, m_socketQueue);
    if (!source)
        return false;
    (*source)->setEventHandler([weak = weak_from_this(), fd] {
        if (const auto self = weak.lock())
            self->acceptPending(fd);
    });
    (*source)->setCancelHandler([closer = fd == m_socket4FD ? m_socket4Closer : m_socket6Closer] {});
    (fd == m_socket4FD ? m_accept4Source : m_accept6Source) = *source;
    (*source)->resume();
    return true;
}

void GCDAsyncSocket::acceptPending(int parentSocketFD)
{
    // Readiness gives no count of waiting connections: take them until none is left.
    for (int accepted = 0; accepted < kMaxAcceptsPerEvent; ++accepted) {
        if (!doAccept(parentSocketFD))
            return;
    }
}

bool GCDAsyncSocket::doAccept(int parentSocketFD)
{
    sockaddr_storage peer{};
    socklen_t peerLength = sizeof peer;
    const int childSocketFD =
        ::accept4(parentSocketFD, reinterpret_cast<sockaddr *>(&peer), &peerLength, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (childSocketFD == -1)
        return false;
    if (!m_delegateQueue || m_delegate.load() == nullptr) {
        // Nobody would ever hear of this connection: refuse it rather than keep it open.
        ::close(childSocketFD);
        return true;
    }
    adoptAcceptedSocket(childSocketFD, peer.ss_family);
    return true;
}

void GCDAsyncSocket::adoptAcceptedSocket(int childSocketFD, int family)
{
    const QByteArray peerAddress = platform::net::peerAddressOf(childSocketFD);
    const auto closer = std::make_shared<DescriptorCloser>(childSocketFD);
    GCDAsyncSocketDelegate *const theDelegate = m_delegate.load();
    const auto theDelegateQueue = m_delegateQueue;
    theDelegateQueue->async([self = shared_from_this(), theDelegate, theDelegateQueue, peerAddress, closer,
                             childSocketFD, family] {
        if (self->m_delegate.load() != theDelegate)
            return;
        auto childSocketQueue = theDelegate->newSocketQueueForConnectionFromAddress(peerAddress, self.get());
        auto acceptedSocket = create(theDelegate, theDelegateQueue, std::move(childSocketQueue));
        bool isSetUp = false;
        acceptedSocket->runOnSocketQueue([&] {
            (family == AF_INET ? acceptedSocket->m_socket4FD : acceptedSocket->m_socket6FD) = childSocketFD;
            (family == AF_INET ? acceptedSocket->m_socket4Closer : acceptedSocket->m_socket6Closer) = closer;
            acceptedSocket->m_flags = kSocketStarted | kConnected;
            isSetUp = acceptedSocket->setupReadAndWriteSourcesForNewlyConnectedSocket(childSocketFD);
        });
        if (!isSetUp)
            return;
        theDelegate->socketDidAcceptNewSocket(self.get(), acceptedSocket);
    });
}

// ---- Interfaces ----

void GCDAsyncSocket::getInterfaceAddress4(QByteArray *interfaceAddr4Ptr, QByteArray *interfaceAddr6Ptr,
                                          const QString &interfaceDescription, quint16 port)
{
    const qsizetype colon = interfaceDescription.indexOf(QLatin1Char(':'));
    QString interface = colon < 0 ? interfaceDescription : interfaceDescription.left(colon);
    if (port == 0 && colon >= 0) {
        bool isNumber = false;
        const int portNumber = interfaceDescription.mid(colon + 1).toInt(&isNumber);
        if (isNumber && portNumber >= 1 && portNumber <= 65535)
            port = quint16(portNumber);
    }
    // An empty name, as in ":8080", names no interface: any address.
    if (interface.isEmpty())
        interface = QString();
    platform::net::interfaceAddresses(interface, port, interfaceAddr4Ptr, interfaceAddr6Ptr);
}

bool GCDAsyncSocket::resolveInterface(const QString &interface, quint16 port, QByteArray *address4,
                                      QByteArray *address6, PlatformError *errPtr) const
{
    getInterfaceAddress4(address4, address6, interface, port);
    return allows(address4->isEmpty() && address6->isEmpty(),
                  badParamError(QStringLiteral(
                      "Unknown interface. Specify valid interface by name (e.g. \"en1\") or IP address.")),
                  errPtr) &&
           allows((m_config & kIPv4Disabled) != 0 && address6->isEmpty(),
                  badParamError(QStringLiteral("IPv4 has been disabled and specified interface doesn't support IPv6.")),
                  errPtr) &&
           allows((m_config & kIPv6Disabled) != 0 && address4->isEmpty(),
                  badParamError(QStringLiteral("IPv6 has been disabled and specified interface doesn't support IPv4.")),
                  errPtr);
}

// ---- Connecting ----

bool GCDAsyncSocket::connectToHost(const QString &host, quint16 port, PlatformError *errPtr)
{
    return connectToHost(host, port, QString(), -1, errPtr);
}

bool GCDAsyncSocket::connectToHost(const QString &host, quint16 port, double timeout, PlatformError *errPtr)
{
    return connectToHost(host, port, QString(), timeout, errPtr);
}

bool GCDAsyncSocket::connectToHost(const QString &host, quint16 port, const QString &interface, double timeout,
                                   PlatformError *errPtr)
{
    bool result = false;
    PlatformError error;
    runOnSocketQueue([&] {
        if (host.isEmpty()) {
            error = badParamError(QStringLiteral(
                "Invalid host parameter (nil or \"\"). Should be a domain name or IP address string."));
            return;
        }
        if (!preConnectWithInterface(interface, &error))
            return;
        m_flags |= kSocketStarted;
        const int aConnectIndex = m_connectIndex;
        DispatchQueue::global()->async([weak = weak_from_this(), aConnectIndex, host, port] {
            lookup(weak, aConnectIndex, host, port);
        });
        startConnectTimeout(timeout);
        result = true;
    });
    if (!result && errPtr != nullptr)
        *errPtr = error;
    return result;
}

bool GCDAsyncSocket::preConnectWithInterface(const QString &interface, PlatformError *errPtr)
{
    HM_ASSERT(isOnSocketQueue(), QStringLiteral("Must be dispatched on socketQueue"));
    const bool ok =
        allows(m_delegate.load() == nullptr,
               badConfigError(QStringLiteral("Attempting to connect without a delegate. Set a delegate first.")),
               errPtr) &&
        allows(!m_delegateQueue,
               badConfigError(
                   QStringLiteral("Attempting to connect without a delegate queue. Set a delegate queue first.")),
               errPtr) &&
        allows((m_flags & kSocketStarted) != 0,
               badConfigError(
                   QStringLiteral("Attempting to connect while connected or accepting connections. Disconnect first.")),
               errPtr) &&
        allows((m_config & kIPv4Disabled) != 0 && (m_config & kIPv6Disabled) != 0,
               badConfigError(
                   QStringLiteral("Both IPv4 and IPv6 have been disabled. Must enable at least one protocol first.")),
               errPtr);
    if (!ok)
        return false;
    if (!interface.isEmpty()) {
        QByteArray interface4;
        QByteArray interface6;
        if (!resolveInterface(interface, 0, &interface4, &interface6, errPtr))
            return false;
        m_connectInterface4 = interface4;
        m_connectInterface6 = interface6;
    }
    m_readQueue.clear();
    m_writeQueue.clear();
    return true;
}

void GCDAsyncSocket::lookup(const std::weak_ptr<GCDAsyncSocket> &weak, int aConnectIndex, const QString &host,
                            quint16 port)
{
    QByteArray address4;
    QByteArray address6;
    PlatformError error;
    if (host == QLatin1String("localhost") || host == QLatin1String("loopback")) {
        address4 = platform::net::loopbackAddress(AF_INET, port);
        address6 = platform::net::loopbackAddress(AF_INET6, port);
    } else {
        int gaiCode = 0;
        const QList<QByteArray> found =
            platform::net::resolvedAddresses(host, port, SOCK_STREAM, IPPROTO_TCP, 0, &gaiCode);
        platform::net::firstOfEachFamily(found, &address4, &address6);
        if (gaiCode != 0)
            error = gaiError(gaiCode);
        else if (address4.isEmpty() && address6.isEmpty())
            error = gaiError(EAI_FAIL);
    }
    const auto socket = weak.lock();
    if (!socket)
        return;
    socket->postToSocketQueue([aConnectIndex, address4, address6, error](GCDAsyncSocket &self) {
        if (!error.isNull())
            self.lookupDidFail(aConnectIndex, error);
        else
            self.lookupDidSucceed(aConnectIndex, address4, address6);
    });
}

void GCDAsyncSocket::lookupDidSucceed(int aConnectIndex, const QByteArray &address4, const QByteArray &address6)
{
    HM_ASSERT(!address4.isEmpty() || !address6.isEmpty(), QStringLiteral("Expected at least one valid address"));
    if (aConnectIndex != m_connectIndex)
        return;
    PlatformError error;
    if ((m_config & kIPv4Disabled) != 0 && address6.isEmpty())
        error = otherError(QStringLiteral("IPv4 has been disabled and DNS lookup found no IPv6 address."));
    else if ((m_config & kIPv6Disabled) != 0 && address4.isEmpty())
        error = otherError(QStringLiteral("IPv6 has been disabled and DNS lookup found no IPv4 address."));
    else
        connectWithAddress4(address4, address6, &error);
    if (!error.isNull())
        closeWithError(error);
}

void GCDAsyncSocket::lookupDidFail(int aConnectIndex, const PlatformError &error)
{
    if (aConnectIndex != m_connectIndex)
        return;
    endConnectTimeout();
    closeWithError(error);
}

int GCDAsyncSocket::createConnectSocket(int family, PlatformError *errPtr)
{
    const int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd == -1) {
        *errPtr = errnoErrorWithReason(QStringLiteral("Error in socket() function"));
        return -1;
    }
    (family == AF_INET ? m_socket4FD : m_socket6FD) = fd;
    (family == AF_INET ? m_socket4Closer : m_socket6Closer) = std::make_shared<DescriptorCloser>(fd);
    const QByteArray &interfaceAddr = family == AF_INET ? m_connectInterface4 : m_connectInterface6;
    if (!interfaceAddr.isEmpty()) {
        if (platform::net::withPort(interfaceAddr, 0) != interfaceAddr)
            platform::net::setIntOption(fd, SOL_SOCKET, SO_REUSEADDR, 1);
        if (::bind(fd, reinterpret_cast<const sockaddr *>(interfaceAddr.constData()), socklen_t(interfaceAddr.size())) ==
            -1) {
            *errPtr = errnoErrorWithReason(QStringLiteral("Error in bind() function"));
            return -1;
        }
    }
    // Linux has no per-socket SIGPIPE switch: every write passes MSG_NOSIGNAL instead.
    return fd;
}

bool GCDAsyncSocket::connectWithAddress4(const QByteArray &address4, const QByteArray &address6, PlatformError *errPtr)
{
    HM_ASSERT(isOnSocketQueue(), QStringLiteral("Must be dispatched on socketQueue"));
    const QByteArray usable4 = (m_config & kIPv4Disabled) != 0 ? QByteArray() : address4;
    const QByteArray usable6 = (m_config & kIPv6Disabled) != 0 ? QByteArray() : address6;
    const bool useIPv6 = usable4.isEmpty() || (!usable6.isEmpty() && (m_config & kPreferIPv6) != 0);
    const QByteArray &address = useIPv6 ? usable6 : usable4;
    const int fd = createConnectSocket(useIPv6 ? AF_INET6 : AF_INET, errPtr);
    if (fd == -1)
        return false;
    const int aConnectIndex = m_connectIndex;
    // The blocking connect holds the descriptor open, so that its number is not reused by another
    // socket while it runs even if this socket closes meanwhile.
    const auto closer = useIPv6 ? m_socket6Closer : m_socket4Closer;
    DispatchQueue::global()->async([weak = weak_from_this(), closer, fd, address, aConnectIndex] {
        const int result = ::connect(fd, reinterpret_cast<const sockaddr *>(address.constData()), socklen_t(address.size()));
        const PlatformError error =
            result == 0 ? PlatformError() : errnoErrorWithReason(QStringLiteral("Error in connect() function"));
        if (const auto socket = weak.lock()) {
            socket->postToSocketQueue([aConnectIndex, error](GCDAsyncSocket &self) {
                if (error.isNull())
                    self.didConnect(aConnectIndex);
                else
                    self.didNotConnect(aConnectIndex, error);
            });
        }
    });
    return true;
}

void GCDAsyncSocket::didConnect(int aConnectIndex)
{
    if (aConnectIndex != m_connectIndex)
        return;
    m_flags |= kConnected;
    endConnectTimeout();
    const int fd = connectedFD();
    const QByteArray peer = platform::net::peerAddressOf(fd);
    QString host;
    quint16 port = 0;
    platform::net::getHost(&host, &port, nullptr, peer);
    notifyDelegate([host, port](GCDAsyncSocketDelegate &delegate, GCDAsyncSocket *sock) {
        delegate.socketDidConnectToHost(sock, host, port);
    });
    if (!platform::net::setNonBlocking(fd)) {
        closeWithError(otherError(QStringLiteral("Error enabling non-blocking IO on socket (fcntl)")));
        return;
    }
    if (!setupReadAndWriteSourcesForNewlyConnectedSocket(fd)) {
        closeWithError(otherError(QStringLiteral("Error watching the socket for readiness")));
        return;
    }
    maybeDequeueRead();
    maybeDequeueWrite();
}

void GCDAsyncSocket::didNotConnect(int aConnectIndex, const PlatformError &error)
{
    if (aConnectIndex != m_connectIndex)
        return;
    closeWithError(error);
}

bool GCDAsyncSocket::connectToAddress(const QByteArray &remoteAddr, PlatformError *errPtr)
{
    return connectToAddress(remoteAddr, QString(), -1, errPtr);
}

bool GCDAsyncSocket::connectToAddress(const QByteArray &remoteAddr, double timeout, PlatformError *errPtr)
{
    return connectToAddress(remoteAddr, QString(), timeout, errPtr);
}

bool GCDAsyncSocket::connectToAddress(const QByteArray &remoteAddr, const QString &interface, double timeout,
                                      PlatformError *errPtr)
{
    bool result = false;
    PlatformError error;
    runOnSocketQueue([&] {
        const int family = familyOf(remoteAddr);
        const bool isIPv4 = family == AF_INET && remoteAddr.size() == qsizetype(sizeof(sockaddr_in));
        const bool isIPv6 = family == AF_INET6 && remoteAddr.size() == qsizetype(sizeof(sockaddr_in6));
        const bool ok =
            allows(!isIPv4 && !isIPv6, badParamError(QStringLiteral("A valid IPv4 or IPv6 address was not given")),
                   &error) &&
            allows(isIPv4 && (m_config & kIPv4Disabled) != 0,
                   badParamError(QStringLiteral("IPv4 has been disabled and an IPv4 address was passed.")), &error) &&
            allows(isIPv6 && (m_config & kIPv6Disabled) != 0,
                   badParamError(QStringLiteral("IPv6 has been disabled and an IPv6 address was passed.")), &error) &&
            preConnectWithInterface(interface, &error);
        if (!ok)
            return;
        if (!connectWithAddress4(isIPv4 ? remoteAddr : QByteArray(), isIPv6 ? remoteAddr : QByteArray(), &error)) {
            closeDescriptors();
            m_connectInterface4.clear();
            m_connectInterface6.clear();
            return;
        }
        m_flags |= kSocketStarted;
        startConnectTimeout(timeout);
        result = true;
    });
    if (!result && errPtr != nullptr)
        *errPtr = error;
    return result;
}

// ---- Connect timeout ----

void GCDAsyncSocket::startConnectTimeout(double timeout)
{
    if (timeout < 0)
        return;
    m_connectTimer = startTimer(timeout, [](GCDAsyncSocket &socket) { socket.doConnectTimeout(); });
}

void GCDAsyncSocket::endConnectTimeout()
{
    cancelTimer(m_connectTimer);
    // Every lookup or connect result still on its way belongs to an attempt that is over.
    ++m_connectIndex;
    m_connectInterface4.clear();
    m_connectInterface6.clear();
}

void GCDAsyncSocket::doConnectTimeout()
{
    endConnectTimeout();
    closeWithError(connectTimeoutError());
}

// ---- Readiness sources ----

bool GCDAsyncSocket::setupReadAndWriteSourcesForNewlyConnectedSocket(int socketFD)
{
    auto readSource = DispatchFdSource::createRead(socketFD, m_socketQueue);
    auto writeSource = DispatchFdSource::createWrite(socketFD, m_socketQueue);
    if (!readSource || !writeSource)
        return false;
    const std::weak_ptr<GCDAsyncSocket> weak = weak_from_this();
    (*readSource)->setEventHandler([weak](std::int64_t bytesAvailable) {
        const auto self = weak.lock();
        if (!self)
            return;
        self->onReadEvent(bytesAvailable);
    });
    (*writeSource)->setEventHandler([weak] {
        if (const auto self = weak.lock()) {
            self->m_flags |= kSocketCanAcceptBytes;
            self->doWriteData();
        }
    });
    // Both cancel handlers hold the descriptor; the last one to run closes it, once neither source
    // watches it any more.
    const auto closer = socketFD == m_socket4FD ? m_socket4Closer : m_socket6Closer;
    (*readSource)->setCancelHandler([closer] {});
    (*writeSource)->setCancelHandler([closer] {});
    m_readSource = *readSource;
    m_writeSource = *writeSource;
    m_socketFDBytesAvailable = 0;
    m_flags &= ~kReadSourceSuspended;
    m_readSource->resume();
    m_flags |= kSocketCanAcceptBytes | kWriteSourceSuspended;
    return true;
}

void GCDAsyncSocket::onReadEvent(std::int64_t bytesAvailable)
{
    // The count comes from FIONREAD. Readable with nothing to read is the end of the stream (or a
    // failed connection), unless a read took the bytes after the event was raised: a peek tells.
    m_socketFDBytesAvailable = std::uint64_t(std::max<std::int64_t>(bytesAvailable, 0));
    if (m_socketFDBytesAvailable > 0) {
        doReadData();
        return;
    }
    char byte = 0;
    const ssize_t peeked = ::recv(connectedFD(), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (peeked < 0 && platform::net::isWouldBlock(errno))
        return;
    if (peeked > 0) {
        m_socketFDBytesAvailable = 1;
        doReadData();
        return;
    }
    doReadEOF();
}

void GCDAsyncSocket::suspendReadSource()
{
    setSourceSuspended(m_readSource, kReadSourceSuspended, true);
}

void GCDAsyncSocket::resumeReadSource()
{
    setSourceSuspended(m_readSource, kReadSourceSuspended, false);
}

void GCDAsyncSocket::suspendWriteSource()
{
    setSourceSuspended(m_writeSource, kWriteSourceSuspended, true);
}

void GCDAsyncSocket::resumeWriteSource()
{
    setSourceSuspended(m_writeSource, kWriteSourceSuspended, false);
}

// A source is suspended and resumed in pairs: its flag tells which it needs, so a second call does
// nothing.
void GCDAsyncSocket::setSourceSuspended(const std::shared_ptr<platform::DispatchFdSource> &source,
                                        std::uint32_t suspendedFlag, bool suspended)
{
    if (!source || ((m_flags & suspendedFlag) != 0) == suspended)
        return;
    if (suspended) {
        source->suspend();
        m_flags |= suspendedFlag;
    } else {
        source->resume();
        m_flags &= ~suspendedFlag;
    }
}

int GCDAsyncSocket::connectedFD() const
{
    return m_socket4FD != -1 ? m_socket4FD : m_socket6FD;
}

// ---- Disconnecting and closing ----

void GCDAsyncSocket::disconnect()
{
    runOnSocketQueue([this] {
        if ((m_flags & kSocketStarted) != 0)
            closeWithError(PlatformError());
    });
}

void GCDAsyncSocket::requestDisconnectAfter(std::uint32_t disconnectFlags)
{
    queueOnSocketQueue([disconnectFlags](GCDAsyncSocket &socket) {
        if ((socket.m_flags & kSocketStarted) == 0)
            return;
        socket.m_flags |= kForbidReadsWrites | disconnectFlags;
        socket.maybeClose();
    });
}

void GCDAsyncSocket::disconnectAfterReading()
{
    requestDisconnectAfter(kDisconnectAfterReads);
}

void GCDAsyncSocket::disconnectAfterWriting()
{
    requestDisconnectAfter(kDisconnectAfterWrites);
}

void GCDAsyncSocket::disconnectAfterReadingAndWriting()
{
    requestDisconnectAfter(kDisconnectAfterReads | kDisconnectAfterWrites);
}

void GCDAsyncSocket::maybeClose()
{
    HM_ASSERT(isOnSocketQueue(), QStringLiteral("Must be dispatched on socketQueue"));
    const bool readsDrained = m_readQueue.empty() && !m_currentRead;
    const bool writesDrained = m_writeQueue.empty() && !m_currentWrite;
    bool shouldClose = false;
    if ((m_flags & kDisconnectAfterReads) != 0)
        shouldClose = readsDrained && ((m_flags & kDisconnectAfterWrites) == 0 || writesDrained);
    else if ((m_flags & kDisconnectAfterWrites) != 0)
        shouldClose = writesDrained;
    if (shouldClose)
        closeWithError(PlatformError());
}

void GCDAsyncSocket::closeDescriptors()
{
    // A cancelled source's cancel handler lets go of the descriptor after the source stopped watching.
    for (auto *source : {&m_accept4Source, &m_accept6Source, &m_readSource, &m_writeSource}) {
        if (*source) {
            (*source)->cancel();
            source->reset();
        }
    }
    m_socket4Closer.reset();
    m_socket6Closer.reset();
    m_socket4FD = -1;
    m_socket6FD = -1;
}

void GCDAsyncSocket::closeWithError(const PlatformError &error)
{
    HM_ASSERT(isOnSocketQueue(), QStringLiteral("Must be dispatched on socketQueue"));
    endConnectTimeout();
    if (m_currentRead)
        endCurrent(kReadHalf);
    if (m_currentWrite)
        endCurrent(kWriteHalf);
    m_readQueue.clear();
    m_writeQueue.clear();
    m_preBuffer.reset();
    disposeSSL();
    closeDescriptors();
    m_socketFDBytesAvailable = 0;
    const bool shouldCallDelegate = (m_flags & kSocketStarted) != 0;
    m_flags = 0;
    if (shouldCallDelegate) {
        notifyDelegate([error](GCDAsyncSocketDelegate &delegate, GCDAsyncSocket *sock) {
            delegate.socketDidDisconnect(sock, error);
        });
    }
}
