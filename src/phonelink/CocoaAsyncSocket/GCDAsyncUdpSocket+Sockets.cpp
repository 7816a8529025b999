// The socket's descriptors: creating and closing them with their readiness sources, the addresses
// they are bound and connected to, and choosing a family for a destination.
#include "phonelink/CocoaAsyncSocket/GCDAsyncUdpSocket+Private.h"

#include "platform/dispatch/DispatchFdSource.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/Assert.h"

#include <cerrno>
#include <cstring>

#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <unistd.h>

using platform::DispatchFdSource;
using platform::PlatformError;
using namespace udpsocket;

// ---- Sockets and readiness sources ----

int GCDAsyncUdpSocket::createSocket(int domain, PlatformError *errPtr) const
{
    // Linux has no per-socket SIGPIPE switch: every send passes MSG_NOSIGNAL instead.
    const int fd = openLocalSocket(domain, SOCK_DGRAM, "Error enabling IPv6-only mode (setsockopt)", errPtr);
    if (fd == -1)
        return -1;
    if (setIntOption(fd, SOL_SOCKET, SO_SNDBUF, m_maxSendSize) == -1)
        return failSocketSetup(fd, "Error setting send buffer size (setsockopt)", errPtr);
    if (setIntOption(fd, SOL_SOCKET, SO_RCVBUF, m_maxSendSize) == -1)
        return failSocketSetup(fd, "Error setting receive buffer size (setsockopt)", errPtr);
    return fd;
}

bool GCDAsyncUdpSocket::createSockets(bool useIPv4, bool useIPv6, PlatformError *errPtr)
{
    HM_ASSERT(isOnSocketQueue(), QStringLiteral("Must be dispatched on socketQueue"));
    HM_ASSERT((m_flags & kDidCreateSockets) == 0, QStringLiteral("Sockets have already been created"));
    const auto isUsed = [&](int family) { return family == AF_INET ? useIPv4 : useIPv6; };
    for (const int family : kFamilies) {
        if (!isUsed(family))
            continue;
        familySocket(family).fd = createSocket(family, errPtr);
        if (familySocket(family).fd == -1) {
            closeSocket(otherFamily(family));
            return false;
        }
        setupSources(family);
    }
    // A descriptor the event monitor refuses to watch is of no use: close it as if never opened.
    if ((useIPv4 && !m_socket4.receiveSource) || (useIPv6 && !m_socket6.receiveSource)) {
        *errPtr = otherError(QStringLiteral("Error watching the socket for readiness"));
        closeSocket(AF_INET);
        closeSocket(AF_INET6);
        return false;
    }
    m_flags |= kDidCreateSockets;
    return true;
}

bool GCDAsyncUdpSocket::createSockets(PlatformError *errPtr)
{
    return createSockets((m_config & kIPv4Disabled) == 0, (m_config & kIPv6Disabled) == 0, errPtr);
}

void GCDAsyncUdpSocket::setupSources(int family)
{
    FamilySocket &socket = familySocket(family);
    auto send = DispatchFdSource::createWrite(socket.fd, m_socketQueue);
    auto receive = DispatchFdSource::createRead(socket.fd, m_socketQueue);
    if (!send || !receive) {
        ::close(socket.fd);
        socket.fd = -1;
        return;
    }
    const std::weak_ptr<GCDAsyncUdpSocket> weak = weak_from_this();
    (*send)->setEventHandler([weak, family](std::int64_t) {
        if (const auto self = weak.lock())
            self->onWriteEvent(family);
    });
    (*receive)->setEventHandler([weak, family](std::int64_t bytesAvailable) {
        if (const auto self = weak.lock())
            self->onReadEvent(family, bytesAvailable);
    });
    // Both cancel handlers hold the descriptor; the last one to finish closes it, after both sources
    // have stopped watching it.
    const auto closer = std::make_shared<DescriptorCloser>(socket.fd);
    (*send)->setCancelHandler([closer] {});
    (*receive)->setCancelHandler([closer] {});
    socket.sendSource = *send;
    socket.receiveSource = *receive;
    socket.bytesAvailable = 0;
    socket.isSendSuspended = true;
    socket.isReceiveSuspended = true;
    socket.canAcceptBytes = true;
}

namespace {

// Sources nest suspensions; the flag keeps the socket's own to one.
void setSourceSuspended(DispatchFdSource *source, bool &isSourceSuspended, bool isSuspended)
{
    if (source == nullptr || isSourceSuspended == isSuspended)
        return;
    if (isSuspended)
        source->suspend();
    else
        source->resume();
    isSourceSuspended = isSuspended;
}

} // namespace

void GCDAsyncUdpSocket::setSendSuspended(int family, bool isSuspended)
{
    FamilySocket &socket = familySocket(family);
    setSourceSuspended(socket.sendSource.get(), socket.isSendSuspended, isSuspended);
}

void GCDAsyncUdpSocket::setReceiveSuspended(int family, bool isSuspended)
{
    FamilySocket &socket = familySocket(family);
    setSourceSuspended(socket.receiveSource.get(), socket.isReceiveSuspended, isSuspended);
}

void GCDAsyncUdpSocket::closeSocket(int family)
{
    FamilySocket &socket = familySocket(family);
    if (socket.fd == -1)
        return;
    // The cancel handlers close the descriptor once both sources have let go of it.
    if (socket.sendSource)
        socket.sendSource->cancel();
    if (socket.receiveSource)
        socket.receiveSource->cancel();
    socket = FamilySocket();
}

void GCDAsyncUdpSocket::closeSockets()
{
    closeSocket(AF_INET);
    closeSocket(AF_INET6);
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
        for (const int family : kFamilies)
            socket.setReceiveSuspended(family, false);
    });
}

// ---- Addresses ----

void GCDAsyncUdpSocket::convertIntefaceDescription(const QString &interfaceDescription, quint16 port,
                                                   QByteArray *interfaceAddr4Ptr, QByteArray *interfaceAddr6Ptr)
{
    interfaceAddresses(interfaceDescription, port, interfaceAddr4Ptr, interfaceAddr6Ptr);
}

void GCDAsyncUdpSocket::convertNumericHost(const QString &numericHost, quint16 port, QByteArray *addr4Ptr,
                                           QByteArray *addr6Ptr)
{
    int error = 0;
    const QList<QByteArray> found =
        numericHost.isEmpty() ? QList<QByteArray>() : resolvedAddresses(numericHost, port, SOCK_DGRAM, IPPROTO_UDP, AI_NUMERICHOST, &error);
    QByteArray addr4;
    QByteArray addr6;
    firstOfEachFamily(found, &addr4, &addr6);
    if (addr4Ptr != nullptr)
        *addr4Ptr = addr4;
    if (addr6Ptr != nullptr)
        *addr6Ptr = addr6;
}

unsigned int GCDAsyncUdpSocket::indexOfInterfaceAddr(const QByteArray &interfaceAddr)
{
    const int family = familyFromAddress(interfaceAddr);
    if (family == 0 || interfaceAddr.size() != qsizetype(addressSize(family)))
        return 0;
    const QByteArray wanted = hostBytesOf(interfaceAddr);
    unsigned int result = 0;
    ifaddrs *interfaces = nullptr;
    if (::getifaddrs(&interfaces) != 0)
        return 0;
    for (const ifaddrs *cursor = interfaces; cursor != nullptr && result == 0; cursor = cursor->ifa_next) {
        if (cursor->ifa_addr == nullptr || cursor->ifa_addr->sa_family != family)
            continue;
        const QByteArray address(reinterpret_cast<const char *>(cursor->ifa_addr), qsizetype(addressSize(family)));
        if (hostBytesOf(address) == wanted)
            result = ::if_nametoindex(cursor->ifa_name);
    }
    ::freeifaddrs(interfaces);
    return result;
}

PlatformError GCDAsyncUdpSocket::familyRefusal(bool hasIPv4, bool hasIPv6) const
{
    for (const bool isDeactivation : {false, true}) {
        for (const int family : kFamilies) {
            const bool isOff =
                isDeactivation ? (m_flags & deactivatedFlag(family)) != 0 : (m_config & disabledFlag(family)) != 0;
            if (isOff && !(family == AF_INET ? hasIPv6 : hasIPv4)) {
                return otherError(QStringLiteral("%1 has been %2 DNS lookup found no %3 address(es).")
                                      .arg(familyName(family),
                                           isDeactivation ? QStringLiteral("deactivated due to bind/connect, and")
                                                          : QStringLiteral("disabled and"),
                                           familyName(otherFamily(family))));
            }
        }
    }
    return PlatformError();
}

int GCDAsyncUdpSocket::getAddress(QByteArray *addressPtr, PlatformError *errorPtr,
                                  const QList<QByteArray> &addresses) const
{
    HM_ASSERT(!addresses.isEmpty(), QStringLiteral("Expected at least one address"));
    QByteArray address4;
    QByteArray address6;
    firstOfEachFamily(addresses, &address4, &address6);
    const auto has = [&](int family) { return !(family == AF_INET ? address4 : address6).isEmpty(); };
    *errorPtr = familyRefusal(has(AF_INET), has(AF_INET6));
    if (!errorPtr->isNull()) {
        addressPtr->clear();
        return 0;
    }

    // A family whose socket is disabled or deactivated cannot carry the datagram: choosing it would
    // send on a closed descriptor and close the whole socket, so the other family is taken.
    const auto canUse = [&](int family) {
        return has(family) && (m_config & disabledFlag(family)) == 0 && (m_flags & deactivatedFlag(family)) == 0;
    };
    const auto isForced = [&](int family) {
        return ((m_config & preferredFlag(family)) != 0 && canUse(family)) || !canUse(otherFamily(family));
    };
    HM_ASSERT((m_config & (kPreferIPv4 | kPreferIPv6)) != (kPreferIPv4 | kPreferIPv6),
              QStringLiteral("Invalid config state"));
    const bool isIPv4First =
        has(AF_INET) && addresses.indexOf(address4) < (has(AF_INET6) ? addresses.indexOf(address6) : addresses.size());
    if (isForced(AF_INET) || (!isForced(AF_INET6) && isIPv4First)) {
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
    const socklen_t expected = socklen_t(addressSize(family));
    if (length < expected)
        return false;
    endpoint->address = QByteArray(reinterpret_cast<const char *>(&storage), qsizetype(expected));
    getHost(&endpoint->host, &endpoint->port, endpoint->address);
    return true;
}

GCDAsyncUdpSocket::LocalEndpoint GCDAsyncUdpSocket::localEndpoint(int family)
{
    FamilySocket &socket = familySocket(family);
    if (!socket.hasCachedLocal && (m_flags & kDidBind) != 0 && socket.fd != -1)
        socket.hasCachedLocal = getLocalAddress(&socket.cachedLocal, socket.fd, family);
    return socket.cachedLocal;
}

int GCDAsyncUdpSocket::defaultLocalFamily() const
{
    return m_socket4.fd != -1 ? AF_INET : AF_INET6;
}

GCDAsyncUdpSocket::LocalEndpoint GCDAsyncUdpSocket::localEndpointOnSocketQueue(int family)
{
    return onSocketQueue<LocalEndpoint>(
        [this, family] { return localEndpoint(family != 0 ? family : defaultLocalFamily()); });
}

// ---- Binding ----

bool GCDAsyncUdpSocket::bindSockets(const QByteArray &address4, const QByteArray &address6, PlatformError *errPtr)
{
    for (const int family : kFamilies) {
        const QByteArray &address = family == AF_INET ? address4 : address6;
        if (address.isEmpty() ||
            ::bind(familySocket(family).fd, reinterpret_cast<const sockaddr *>(address.constData()),
                   socklen_t(address.size())) == 0)
            continue;
        *errPtr = errnoErrorWithReason(errno, QStringLiteral("Error in bind() function"));
        closeSockets();
        return false;
    }
    return true;
}

bool GCDAsyncUdpSocket::bindToPort(quint16 port, PlatformError *errPtr)
{
    return bindToPort(port, QString(), errPtr);
}

bool GCDAsyncUdpSocket::bindToPort(quint16 port, const QString &interface, PlatformError *errPtr)
{
    return attempt(errPtr, [&](PlatformError *error) { return bindToInterface(port, interface, error); });
}

bool GCDAsyncUdpSocket::bindToInterface(quint16 port, const QString &interface, PlatformError *errPtr)
{
    if (!preBind(errPtr))
        return false;
    QByteArray interface4;
    QByteArray interface6;
    convertIntefaceDescription(interface, port, &interface4, &interface6);
    if (interface4.isEmpty() && interface6.isEmpty()) {
        *errPtr = badParamError(
            QStringLiteral("Unknown interface. Specify valid interface by name (e.g. \"en1\") or IP address."));
        return false;
    }
    for (const int family : kFamilies) {
        if ((m_config & disabledFlag(family)) != 0 && (family == AF_INET ? interface6 : interface4).isEmpty()) {
            *errPtr = badParamError(QStringLiteral("%1 has been disabled and specified interface doesn't support %2.")
                                        .arg(familyName(family), familyName(otherFamily(family))));
            return false;
        }
    }
    const bool useIPv4 = (m_config & kIPv4Disabled) == 0 && !interface4.isEmpty();
    const bool useIPv6 = (m_config & kIPv6Disabled) == 0 && !interface6.isEmpty();
    if ((m_flags & kDidCreateSockets) == 0 && !createSockets(useIPv4, useIPv6, errPtr))
        return false;
    if (!bindSockets(useIPv4 ? interface4 : QByteArray(), useIPv6 ? interface6 : QByteArray(), errPtr))
        return false;
    m_flags |= kDidBind;
    if (!useIPv4)
        m_flags |= kIPv4Deactivated;
    if (!useIPv6)
        m_flags |= kIPv6Deactivated;
    return true;
}

bool GCDAsyncUdpSocket::bindToAddress(const QByteArray &localAddr, PlatformError *errPtr)
{
    return attempt(errPtr, [&](PlatformError *error) { return bindToExactAddress(localAddr, error); });
}

bool GCDAsyncUdpSocket::bindToExactAddress(const QByteArray &localAddr, PlatformError *errPtr)
{
    if (!preBind(errPtr))
        return false;
    const int family = familyFromAddress(localAddr);
    if (family == 0) {
        *errPtr = badParamError(QStringLiteral("A valid IPv4 or IPv6 address was not given"));
        return false;
    }
    if ((m_config & disabledFlag(family)) != 0) {
        *errPtr =
            badParamError(QStringLiteral("%1 has been disabled and an %1 address was passed.").arg(familyName(family)));
        return false;
    }
    const bool isIPv4 = family == AF_INET;
    if ((m_flags & kDidCreateSockets) == 0 && !createSockets(isIPv4, !isIPv4, errPtr))
        return false;
    const QByteArray exact = localAddr.left(qsizetype(addressSize(family)));
    if (!bindSockets(isIPv4 ? exact : QByteArray(), isIPv4 ? QByteArray() : exact, errPtr))
        return false;
    m_flags |= kDidBind | deactivatedFlag(otherFamily(family));
    return true;
}

// ---- Connecting ----

bool GCDAsyncUdpSocket::connectToHost(const QString &host, quint16 port, PlatformError *errPtr)
{
    return attempt(errPtr, [&](PlatformError *error) {
        if (!preConnect(error))
            return false;
        if (host.isEmpty()) {
            *error =
                badParamError(QStringLiteral("The host param is nil. Should be domain name or IP address string."));
            return false;
        }
        auto packet = std::make_shared<GCDAsyncUdpSpecialPacket>();
        packet->resolveInProgress = true;
        if (!queueConnect(packet, error))
            return false;
        asyncResolveHost(host, port,
                         [packet](GCDAsyncUdpSocket &socket, QList<QByteArray> addresses, PlatformError lookupError) {
                             packet->resolveInProgress = false;
                             packet->addresses = std::move(addresses);
                             packet->error = std::move(lookupError);
                             socket.maybeConnect();
                         });
        return true;
    });
}

bool GCDAsyncUdpSocket::connectToAddress(const QByteArray &remoteAddr, PlatformError *errPtr)
{
    return attempt(errPtr, [&](PlatformError *error) {
        if (!preConnect(error))
            return false;
        if (remoteAddr.isEmpty()) {
            *error = badParamError(QStringLiteral("The address param is nil. Should be a valid address."));
            return false;
        }
        const int family = familyFromAddress(remoteAddr);
        if (family == 0) {
            *error = badParamError(QStringLiteral("A valid IPv4 or IPv6 address was not given"));
            return false;
        }
        auto packet = std::make_shared<GCDAsyncUdpSpecialPacket>();
        packet->addresses.append(remoteAddr.left(qsizetype(addressSize(family))));
        return queueConnect(packet, error);
    });
}

bool GCDAsyncUdpSocket::queueConnect(std::shared_ptr<GCDAsyncUdpSpecialPacket> packet, PlatformError *errPtr)
{
    if ((m_flags & kDidCreateSockets) == 0 && !createSockets(errPtr))
        return false;
    m_flags |= kConnecting;
    m_sendQueue.push_back(std::move(packet));
    maybeDequeueSend();
    return true;
}

void GCDAsyncUdpSocket::maybeConnect()
{
    HM_ASSERT(isOnSocketQueue(), QStringLiteral("Must be dispatched on socketQueue"));
    const auto connectPacket = std::dynamic_pointer_cast<GCDAsyncUdpSpecialPacket>(m_currentSend);
    if (!connectPacket || connectPacket->resolveInProgress)
        return;
    QByteArray address;
    PlatformError error = connectPacket->error;
    const int family = error.isNull() ? getAddress(&address, &error, connectPacket->addresses) : 0;
    if (!address.isEmpty() && connectWithAddress(family, address, &error)) {
        m_flags |= kDidBind | kDidConnect;
        m_cachedConnectedAddress = address;
        getHost(&m_cachedConnectedHost, &m_cachedConnectedPort, address);
        m_cachedConnectedFamily = family;
        notifyDidConnectToAddress(address);
    } else {
        notifyDidNotConnect(error);
    }
    m_flags &= ~kConnecting;
    endCurrentSend();
    maybeDequeueSend();
}

bool GCDAsyncUdpSocket::connectWithAddress(int family, const QByteArray &address, PlatformError *errPtr)
{
    if (::connect(familySocket(family).fd, reinterpret_cast<const sockaddr *>(address.constData()),
                  socklen_t(address.size())) != 0) {
        *errPtr = errnoErrorWithReason(errno, QStringLiteral("Error in connect() function"));
        return false;
    }
    closeSocket(otherFamily(family));
    m_flags |= deactivatedFlag(otherFamily(family));
    return true;
}
