// Receiving: reading datagrams from whichever family's socket holds them, the receive filter and the
// delivery to the delegate, once or continuously.
#include "phonelink/CocoaAsyncSocket/GCDAsyncUdpSocket+Private.h"

#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/Assert.h"

#include <algorithm>
#include <cerrno>

using platform::DispatchQueue;
using platform::PlatformError;
using namespace udpsocket;

namespace {

// The largest datagram a socket can receive without jumbograms; larger receive sizes are not
// allocated.
constexpr quint32 kMaxDatagramBytes = 65535;

// How many datagrams one receive step reads before letting other work on the socket queue run.
constexpr int kReceiveBatchDatagrams = 64;

} // namespace

// What became of a datagram read: handed to the delegate, dropped, or waiting for the filter.
struct GCDAsyncUdpSocket::Received
{
    bool isDelivered = false;
    bool isIgnored = false;
    bool isWaitingForFilter = false;
};

bool GCDAsyncUdpSocket::receiveOnce(PlatformError *errPtr)
{
    return startReceiving(kReceiveOnce, errPtr);
}

std::optional<QString> GCDAsyncUdpSocket::startListening(quint16 port)
{
    PlatformError error;
    if (!bindToPort(port, &error))
        return QStringLiteral("Error starting server (bind): %1").arg(error.localizedDescription());
    if (!beginReceiving(&error)) {
        close();
        return QStringLiteral("Error starting server (recv): %1").arg(error.localizedDescription());
    }
    return std::nullopt;
}

bool GCDAsyncUdpSocket::beginReceiving(PlatformError *errPtr)
{
    return startReceiving(kReceiveContinuous, errPtr);
}

bool GCDAsyncUdpSocket::startReceiving(std::uint32_t mode, PlatformError *errPtr)
{
    return attempt(errPtr, [&](PlatformError *error) {
        if ((m_flags & mode) != 0)
            return true;
        if ((m_flags & kDidCreateSockets) == 0) {
            *error = badConfigError(
                QStringLiteral("Must bind socket before you can receive data. You can do this explicitly via bind, or "
                               "implicitly via connect or by sending data."));
            return false;
        }
        m_flags |= mode;
        m_flags &= ~(mode == kReceiveOnce ? kReceiveContinuous : kReceiveOnce);
        queueReceive();
        return true;
    });
}

void GCDAsyncUdpSocket::pauseReceiving()
{
    queueOnSocketQueue([](GCDAsyncUdpSocket &socket) {
        socket.m_flags &= ~(kReceiveOnce | kReceiveContinuous);
        for (const int family : kFamilies) {
            if (socket.familySocket(family).bytesAvailable > 0)
                socket.setReceiveSuspended(family, true);
        }
    });
}

void GCDAsyncUdpSocket::setReceiveFilter(GCDAsyncUdpSocketReceiveFilterBlock filterBlock,
                                         std::shared_ptr<DispatchQueue> filterQueue, bool isAsynchronous)
{
    setFilter(&GCDAsyncUdpSocket::m_receiveFilter, std::move(filterBlock), std::move(filterQueue), isAsynchronous);
}

void GCDAsyncUdpSocket::onReadEvent(int family, std::int64_t bytesAvailable)
{
    // A datagram socket has no end of stream: a readable socket that reports no bytes holds an empty
    // datagram (or a pending error), which the receive step consumes. Treating it as an end would let
    // any sender close the listener with one empty datagram.
    familySocket(family).bytesAvailable = bytesAvailable > 0 ? std::uint64_t(bytesAvailable) : 1;
    doReceive();
}

void GCDAsyncUdpSocket::queueReceive()
{
    m_socketQueue->async([weak = weak_from_this()] {
        if (const auto socket = weak.lock())
            socket->doReceive();
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
    queueReceive();
}

bool GCDAsyncUdpSocket::isReadyToReceive()
{
    const bool isReceiving = (m_flags & (kReceiveOnce | kReceiveContinuous)) != 0;
    if (!isReceiving || ((m_flags & kReceiveOnce) != 0 && m_pendingFilterOperations > 0)) {
        // Datagrams stay with the system until receiving starts again.
        for (const int family : kFamilies) {
            if (familySocket(family).bytesAvailable > 0)
                setReceiveSuspended(family, true);
        }
        return false;
    }
    if (m_socket4.bytesAvailable == 0 && m_socket6.bytesAvailable == 0) {
        for (const int family : kFamilies)
            setReceiveSuspended(family, false);
        return false;
    }
    return true;
}

int GCDAsyncUdpSocket::nextReceiveFamily()
{
    if ((m_flags & kDidConnect) != 0)
        return m_socket4.fd != -1 ? AF_INET : AF_INET6;
    if (m_socket4.bytesAvailable > 0 && m_socket6.bytesAvailable > 0) {
        // Both hold datagrams: take turns, so that neither family starves the other.
        m_flags ^= kFlipFlop;
        return (m_flags & kFlipFlop) == 0 ? AF_INET : AF_INET6;
    }
    return m_socket4.bytesAvailable > 0 ? AF_INET : AF_INET6;
}

bool GCDAsyncUdpSocket::readDatagram(int family, QByteArray *data, QByteArray *address)
{
    FamilySocket &socket = familySocket(family);
    HM_ASSERT(socket.bytesAvailable > 0, QStringLiteral("Invalid logic"));
    const quint32 bufferSize =
        std::min(family == AF_INET ? quint32(m_max4ReceiveSize) : m_max6ReceiveSize, kMaxDatagramBytes);
    if (m_receiveBuffer.size() < qsizetype(bufferSize))
        m_receiveBuffer.resize(qsizetype(bufferSize));
    sockaddr_storage sender{};
    socklen_t senderLength = sizeof sender;
    const ssize_t result = ::recvfrom(socket.fd, m_receiveBuffer.data(), bufferSize, 0,
                                      reinterpret_cast<sockaddr *>(&sender), &senderLength);
    const int receiveErrno = errno;
    socket.bytesAvailable =
        result > 0 ? socket.bytesAvailable - std::min<std::uint64_t>(socket.bytesAvailable, result) : 0;
    if (result == 0 || (result < 0 && isWouldBlock(receiveErrno))) {
        for (const int each : kFamilies) {
            if (familySocket(each).bytesAvailable == 0)
                setReceiveSuspended(each, false);
        }
        return false;
    }
    if (result < 0) {
        closeWithError(errnoErrorWithReason(receiveErrno, QStringLiteral("Error in recvfrom() function")));
        return false;
    }
    *data = QByteArray(m_receiveBuffer.constData(), qsizetype(result));
    *address = QByteArray(reinterpret_cast<const char *>(&sender),
                          qsizetype(std::min<socklen_t>(senderLength, sizeof sender)));
    return true;
}

bool GCDAsyncUdpSocket::receiveOneDatagram()
{
    if (!isReadyToReceive())
        return false;
    const int family = nextReceiveFamily();
    QByteArray data;
    QByteArray address;
    if (!readDatagram(family, &data, &address))
        return false;
    const Received received = handOn(family, data, address);

    // Continuous mode drains a burst before waiting for the next read event; receive-once reads on
    // only past an ignored datagram.
    if ((m_flags & kReceiveContinuous) != 0)
        return true;
    if ((m_flags & kReceiveOnce) == 0)
        return false;
    if (received.isDelivered) {
        m_flags &= ~kReceiveOnce;
        return false;
    }
    return received.isIgnored && !received.isWaitingForFilter;
}

GCDAsyncUdpSocket::Received GCDAsyncUdpSocket::handOn(int family, const QByteArray &data, const QByteArray &address)
{
    Received received;
    received.isIgnored =
        (m_flags & kDidConnect) != 0 && (m_cachedConnectedFamily != family || !isConnectedToAddress(address));
    if (received.isIgnored)
        return received;
    if (!m_receiveFilter.isSet()) {
        notifyDidReceiveData(data, address, QVariant());
        received.isDelivered = true;
        return received;
    }
    const GCDAsyncUdpSocketReceiveFilterBlock filter = m_receiveFilter.block;
    if (m_receiveFilter.isAsynchronous) {
        ++m_pendingFilterOperations;
        received.isWaitingForFilter = true;
        m_receiveFilter.queue->async(
            [weak = weak_from_this(), socketQueue = m_socketQueue, filter, data, address, closeEpoch = m_closeEpoch] {
                QVariant context;
                const bool allowed = filter(data, address, &context);
                socketQueue->async([weak, closeEpoch, data, address, allowed, context] {
                    if (const auto socket = weak.lock())
                        socket->deliverFiltered(closeEpoch, data, address, allowed, context);
                });
            });
        return received;
    }
    QVariant context;
    bool allowed = false;
    m_receiveFilter.queue->sync([&] { allowed = filter(data, address, &context); });
    if (allowed)
        notifyDidReceiveData(data, address, context);
    received.isDelivered = allowed;
    received.isIgnored = !allowed;
    return received;
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

bool GCDAsyncUdpSocket::isConnectedToAddress(const QByteArray &someAddr) const
{
    HM_ASSERT((m_flags & kDidConnect) != 0, QStringLiteral("Not connected"));
    HM_ASSERT(!m_cachedConnectedAddress.isEmpty(), QStringLiteral("Expected cached connected address"));
    return isSameEndpoint(m_cachedConnectedAddress, someAddr);
}
