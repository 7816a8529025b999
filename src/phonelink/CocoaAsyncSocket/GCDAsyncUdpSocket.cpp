// The socket's set-up: creation, delegate and queues, configuration, errors and reports, and the
// address helpers. Sockets and binding stand in +Sockets, sending in +Sending, receiving in
// +Receiving, broadcast and multicast in +Multicast.
#include "phonelink/CocoaAsyncSocket/GCDAsyncUdpSocket+Private.h"

#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/Assert.h"
#include "platform/network/SocketErrors.h"

#include <cerrno>
#include <cstring>

#include <arpa/inet.h>
#include <netdb.h>

using platform::DispatchQueue;
using platform::PlatformError;
using namespace udpsocket;


namespace udpsocket {

QString familyName(int family)
{
    return family == AF_INET ? QStringLiteral("IPv4") : QStringLiteral("IPv6");
}

std::uint32_t deactivatedFlag(int family)
{
    return family == AF_INET ? kIPv4Deactivated : kIPv6Deactivated;
}

std::uint16_t preferredFlag(int family)
{
    return family == AF_INET ? kPreferIPv4 : kPreferIPv6;
}

} // namespace udpsocket

// ---- Creation and disposal ----

GCDAsyncUdpSocket::GCDAsyncUdpSocket(PrivateTag, GCDAsyncUdpSocketDelegate *delegate,
                                     std::shared_ptr<DispatchQueue> delegateQueue,
                                     std::shared_ptr<DispatchQueue> socketQueue)
    : AsyncSocketBase(delegate, std::move(delegateQueue), std::move(socketQueue), QStringLiteral("GCDAsyncUdpSocket"))
{
    HM_ASSERT(m_socketQueue->kind() != platform::QueueKind::Concurrent,
              QStringLiteral("The given socketQueue parameter must not be a concurrent queue."));
}

GCDAsyncUdpSocket::~GCDAsyncUdpSocket()
{
    runOnSocketQueue([this] { closeWithoutReport(); });
}

bool GCDAsyncUdpSocket::attempt(PlatformError *errPtr, const std::function<bool(PlatformError *)> &operation)
{
    bool result = false;
    PlatformError error;
    runOnSocketQueue([&] { result = operation(&error); });
    if (!result && errPtr != nullptr && !error.isNull())
        *errPtr = error;
    return result;
}

GCDAsyncUdpSocket::FamilySocket &GCDAsyncUdpSocket::familySocket(int family)
{
    return family == AF_INET ? m_socket4 : m_socket6;
}

const GCDAsyncUdpSocket::FamilySocket &GCDAsyncUdpSocket::familySocket(int family) const
{
    return family == AF_INET ? m_socket4 : m_socket6;
}

// ---- Configuration ----

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
        socket.m_config = std::uint16_t((socket.m_config & ~kPreferIPv6) | kPreferIPv4);
    });
}

void GCDAsyncUdpSocket::setPreferIPv6()
{
    queueOnSocketQueue([](GCDAsyncUdpSocket &socket) {
        socket.m_config = std::uint16_t((socket.m_config & ~kPreferIPv4) | kPreferIPv6);
    });
}

void GCDAsyncUdpSocket::setIPVersionNeutral()
{
    queueOnSocketQueue([](GCDAsyncUdpSocket &socket) { socket.m_config &= ~(kPreferIPv4 | kPreferIPv6); });
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
    return onSocketQueue<bool>(
        [this] { return (m_flags & kDidCreateSockets) != 0 ? m_socket4.fd != -1 : (m_config & kIPv4Disabled) == 0; });
}

bool GCDAsyncUdpSocket::isIPv6() const
{
    return onSocketQueue<bool>(
        [this] { return (m_flags & kDidCreateSockets) != 0 ? m_socket6.fd != -1 : (m_config & kIPv6Disabled) == 0; });
}

// ---- Errors ----

PlatformError GCDAsyncUdpSocket::badConfigError(const QString &errMsg)
{
    return platform::net::socketError(GCDAsyncUdpSocketErrorDomain, qint64(GCDAsyncUdpSocketErrorCode::BadConfig), errMsg);
}

PlatformError GCDAsyncUdpSocket::badParamError(const QString &errMsg)
{
    return platform::net::socketError(GCDAsyncUdpSocketErrorDomain, qint64(GCDAsyncUdpSocketErrorCode::BadParam), errMsg);
}

PlatformError GCDAsyncUdpSocket::gaiError(int gai_error)
{
    return platform::net::gaiError(gai_error);
}

PlatformError GCDAsyncUdpSocket::errnoErrorWithReason(int errorNumber, const QString &reason)
{
    return platform::net::errnoErrorWithReason(errorNumber, reason);
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
    return platform::net::socketError(GCDAsyncUdpSocketErrorDomain, qint64(GCDAsyncUdpSocketErrorCode::Other), errMsg);
}

// ---- Delegate reports ----

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

bool GCDAsyncUdpSocket::allows(bool isRefused, const QString &message, PlatformError *errPtr)
{
    if (isRefused)
        *errPtr = badConfigError(message);
    return !isRefused;
}

bool GCDAsyncUdpSocket::preOp(PlatformError *errPtr) const
{
    return allows(m_delegate.load() == nullptr,
                  QStringLiteral("Attempting to use socket without a delegate. Set a delegate first."), errPtr) &&
           allows(!m_delegateQueue,
                  QStringLiteral("Attempting to use socket without a delegate queue. Set a delegate queue first."),
                  errPtr);
}

bool GCDAsyncUdpSocket::hasAnyFamilyEnabled(PlatformError *errPtr) const
{
    return allows((m_config & kIPv4Disabled) != 0 && (m_config & kIPv6Disabled) != 0,
                  QStringLiteral("Both IPv4 and IPv6 have been disabled. Must enable at least one protocol first."),
                  errPtr);
}

bool GCDAsyncUdpSocket::preBind(PlatformError *errPtr) const
{
    return preOp(errPtr) && allows((m_flags & kDidBind) != 0, QStringLiteral("Cannot bind a socket more than once."), errPtr) &&
           allows((m_flags & (kConnecting | kDidConnect)) != 0,
                  QStringLiteral("Cannot bind after connecting. If needed, bind first, then connect."), errPtr) &&
           hasAnyFamilyEnabled(errPtr);
}

bool GCDAsyncUdpSocket::preConnect(PlatformError *errPtr) const
{
    return preOp(errPtr) &&
           allows((m_flags & (kConnecting | kDidConnect)) != 0, QStringLiteral("Cannot connect a socket more than once."),
                  errPtr) &&
           hasAnyFamilyEnabled(errPtr);
}

bool GCDAsyncUdpSocket::preJoin(PlatformError *errPtr) const
{
    return preOp(errPtr) &&
           allows((m_flags & kDidBind) == 0, QStringLiteral("Must bind a socket before joining a multicast group."),
                  errPtr) &&
           allows((m_flags & (kConnecting | kDidConnect)) != 0,
                  QStringLiteral("Cannot join a multicast group if connected."), errPtr);
}

// ---- Queue helpers ----

void GCDAsyncUdpSocket::markSocketQueueTargetQueue(const std::shared_ptr<DispatchQueue> &socketNewTargetQueue)
{
    if (socketNewTargetQueue)
        socketNewTargetQueue->setSpecific(m_isOnSocketQueueKey, queueMark());
}

void GCDAsyncUdpSocket::unmarkSocketQueueTargetQueue(const std::shared_ptr<DispatchQueue> &socketOldTargetQueue)
{
    if (socketOldTargetQueue)
        socketOldTargetQueue->setSpecific(m_isOnSocketQueueKey, nullptr);
}

void GCDAsyncUdpSocket::performBlock(const std::function<void()> &block)
{
    runOnSocketQueue(block);
}

int GCDAsyncUdpSocket::socketFD() const
{
    if (!isOnSocketQueue())
        return -1;
    return m_socket4.fd != -1 ? m_socket4.fd : m_socket6.fd;
}

int GCDAsyncUdpSocket::socket4FD() const
{
    return isOnSocketQueue() ? m_socket4.fd : -1;
}

int GCDAsyncUdpSocket::socket6FD() const
{
    return isOnSocketQueue() ? m_socket6.fd : -1;
}

