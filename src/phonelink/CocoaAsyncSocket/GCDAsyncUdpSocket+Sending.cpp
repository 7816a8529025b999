// Sending: looking hosts up, the send queue (datagrams and connect requests in the order asked), the
// send filter, the system send and its timeout.
#include "phonelink/CocoaAsyncSocket/GCDAsyncUdpSocket+Private.h"

#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/DispatchTimer.h"
#include "platform/foundation/Assert.h"

#include <cerrno>

#include <netdb.h>

using platform::DispatchQueue;
using platform::DispatchTimer;
using platform::PlatformError;
using namespace udpsocket;

namespace {

struct Lookup
{
    QList<QByteArray> addresses;
    int error = 0;
};

// The addresses a host name stands for, of both families; "localhost" and "loopback" without asking
// the resolver.
Lookup lookUp(const QString &host, quint16 port)
{
    Lookup lookup;
    if (host == QLatin1String("localhost") || host == QLatin1String("loopback")) {
        lookup.addresses = {loopbackAddress(AF_INET, port), loopbackAddress(AF_INET6, port)};
        return lookup;
    }
    lookup.addresses = resolvedAddresses(host, port, SOCK_DGRAM, IPPROTO_UDP, 0, &lookup.error);
    if (lookup.error == 0 && lookup.addresses.isEmpty())
        lookup.error = EAI_FAIL;
    return lookup;
}

} // namespace

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
        complete({},
                 badParamError(QStringLiteral("The host param is nil. Should be domain name or IP address string.")));
        return;
    }
    DispatchQueue::global()->async([host = aHost, port, complete] {
        const Lookup lookup = lookUp(host, port);
        complete(lookup.addresses, lookup.error != 0 ? gaiError(lookup.error) : PlatformError());
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
    asyncResolveHost(host, port, [packet](GCDAsyncUdpSocket &socket, QList<QByteArray> addresses, PlatformError error) {
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
                                      std::shared_ptr<DispatchQueue> filterQueue, bool isAsynchronous)
{
    setFilter(&GCDAsyncUdpSocket::m_sendFilter, std::move(filterBlock), std::move(filterQueue), isAsynchronous);
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

bool GCDAsyncUdpSocket::prepareDestination(GCDAsyncUdpSendPacket &packet, PlatformError *error)
{
    if ((m_flags & kDidConnect) != 0) {
        if (packet.resolveInProgress || !packet.resolvedAddresses.isEmpty() || !packet.resolveError.isNull() ||
            !packet.address.isEmpty()) {
            *error = badConfigError(QStringLiteral("Cannot specify destination of packet for connected socket"));
            return false;
        }
        packet.address = m_cachedConnectedAddress;
        packet.addressFamily = m_cachedConnectedFamily;
    } else if (packet.resolveInProgress) {
        // The lookup's completion starts the send again.
        for (const int family : kFamilies) {
            if (familySocket(family).canAcceptBytes)
                setSendSuspended(family, true);
        }
        return false;
    } else if (!packet.resolveError.isNull()) {
        *error = packet.resolveError;
    } else if (packet.address.isEmpty()) {
        if (packet.resolvedAddresses.isEmpty())
            *error =
                badConfigError(QStringLiteral("You must specify destination of packet for a non-connected socket"));
        else
            packet.addressFamily = getAddress(&packet.address, error, packet.resolvedAddresses);
    } else if (packet.addressFamily == 0) {
        // An address that is neither IPv4 nor IPv6 fails this datagram only, instead of failing the
        // system send and closing the whole socket.
        *error = badParamError(QStringLiteral("A valid IPv4 or IPv6 address was not given"));
    }
    return error->isNull();
}

void GCDAsyncUdpSocket::doPreSend()
{
    const auto packet = std::static_pointer_cast<GCDAsyncUdpSendPacket>(m_currentSend);
    PlatformError error;
    if (!prepareDestination(*packet, &error)) {
        if (error.isNull())
            return;
        notifyDidNotSendDataWithTag(packet->tag, error);
        endCurrentSend();
        maybeDequeueSend();
        return;
    }
    if (!m_sendFilter.isSet())
        doSend();
    else
        runSendFilter(packet);
}

void GCDAsyncUdpSocket::runSendFilter(const std::shared_ptr<GCDAsyncUdpSendPacket> &packet)
{
    const GCDAsyncUdpSocketSendFilterBlock filter = m_sendFilter.block;
    if (!m_sendFilter.isAsynchronous) {
        bool allowed = false;
        m_sendFilter.queue->sync([&] { allowed = filter(packet->buffer, packet->address, packet->tag); });
        finishFilteredSend(m_currentSend, allowed);
        return;
    }
    packet->filterInProgress = true;
    m_sendFilter.queue->async(
        [weak = weak_from_this(), socketQueue = m_socketQueue, filter, packet, current = m_currentSend] {
            const bool allowed = filter(packet->buffer, packet->address, packet->tag);
            socketQueue->async([weak, current, allowed] {
                if (const auto socket = weak.lock())
                    socket->finishFilteredSend(current, allowed);
            });
        });
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
    const int fd = familySocket(packet->addressFamily).fd;
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
    for (const int family : kFamilies) {
        if (familySocket(family).fd != -1)
            setSendSuspended(family, false);
    }
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

void GCDAsyncUdpSocket::onWriteEvent(int family)
{
    familySocket(family).canAcceptBytes = true;
    const auto packet = std::dynamic_pointer_cast<GCDAsyncUdpSendPacket>(m_currentSend);
    if (packet && !packet->resolveInProgress && !packet->filterInProgress) {
        doSend();
        return;
    }
    setSendSuspended(family, true);
}
