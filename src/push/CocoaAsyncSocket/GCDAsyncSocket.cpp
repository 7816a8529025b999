// The socket's set-up: creation, delegate and queues, configuration, errors and reports, status
// queries, the address helpers and the steps the read and the write half take alike (queueing,
// starting a packet, its timer and timeout). Connecting, accepting and closing stand in +Connecting,
// reading in +Reading, writing in +Writing.
#include "push/CocoaAsyncSocket/GCDAsyncSocket+Private.h"

#include "push/CocoaAsyncSocket/GCDAsyncReadPacket.h"
#include "push/CocoaAsyncSocket/GCDAsyncWritePacket.h"
#include "platform/crypto/SecureTransport.h"
#include "platform/dispatch/DispatchTimer.h"
#include "platform/foundation/Assert.h"
#include "platform/network/SocketAddress.h"
#include "platform/network/SocketErrors.h"

#include <cerrno>
#include <cmath>

using platform::DispatchQueue;
using platform::PlatformError;
using namespace tcpsocket;

// ---- Creation and disposal ----

GCDAsyncSocket::GCDAsyncSocket(PrivateTag, GCDAsyncSocketDelegate *aDelegate, std::shared_ptr<DispatchQueue> dq,
                               std::shared_ptr<DispatchQueue> sq)
    : AsyncSocketBase(aDelegate, std::move(dq), std::move(sq), QStringLiteral("GCDAsyncSocket"))
{
    HM_ASSERT(m_socketQueue->kind() != platform::QueueKind::Concurrent,
              QStringLiteral("The given socketQueue parameter must not be a concurrent queue."));
}

GCDAsyncSocket::~GCDAsyncSocket()
{
    // No report: the delegate's view of this socket ends with it.
    m_delegate = nullptr;
    runOnSocketQueue([this] { closeWithError(PlatformError()); });
}

// ---- Configuration ----

bool GCDAsyncSocket::autoDisconnectOnClosedReadStream() const
{
    return !hasConfigBit(kAllowHalfDuplexConnection);
}

void GCDAsyncSocket::setAutoDisconnectOnClosedReadStream(bool flag)
{
    setConfigBit(kAllowHalfDuplexConnection, !flag);
}

bool GCDAsyncSocket::isIPv4PreferredOverIPv6() const
{
    return !hasConfigBit(kPreferIPv6);
}

void GCDAsyncSocket::setPreferIPv4OverIPv6(bool flag)
{
    setConfigBit(kPreferIPv6, !flag);
}

// ---- Errors ----

namespace {

PlatformError socketError(GCDAsyncSocketError code, const QString &message)
{
    return platform::net::socketError(GCDAsyncSocketErrorDomain, code, message);
}

} // namespace

PlatformError GCDAsyncSocket::badConfigError(const QString &errMsg)
{
    return socketError(GCDAsyncSocketBadConfigError, errMsg);
}

PlatformError GCDAsyncSocket::badParamError(const QString &errMsg)
{
    return socketError(GCDAsyncSocketBadParamError, errMsg);
}

PlatformError GCDAsyncSocket::gaiError(int gai_error)
{
    return platform::net::gaiError(gai_error);
}

PlatformError GCDAsyncSocket::errnoErrorWithReason(const QString &reason)
{
    return platform::net::errnoErrorWithReason(errno, reason);
}

PlatformError GCDAsyncSocket::errnoError()
{
    return platform::net::errnoError(errno);
}

// The texts of codes 3 to 7 would come from a "GCDAsyncSocket" strings table; none is shipped, so
// the default texts stand.
PlatformError GCDAsyncSocket::connectTimeoutError()
{
    return socketError(GCDAsyncSocketConnectTimeoutError, QStringLiteral("Attempt to connect to host timed out"));
}

PlatformError GCDAsyncSocket::readMaxedOutError()
{
    return socketError(GCDAsyncSocketReadMaxedOutError, QStringLiteral("Read operation reached set maximum length"));
}

PlatformError GCDAsyncSocket::readTimeoutError()
{
    return socketError(GCDAsyncSocketReadTimeoutError, QStringLiteral("Read operation timed out"));
}

PlatformError GCDAsyncSocket::writeTimeoutError()
{
    return socketError(GCDAsyncSocketWriteTimeoutError, QStringLiteral("Write operation timed out"));
}

PlatformError GCDAsyncSocket::connectionClosedError()
{
    return socketError(GCDAsyncSocketClosedError, QStringLiteral("Socket closed by remote peer"));
}

PlatformError GCDAsyncSocket::otherError(const QString &errMsg)
{
    return socketError(GCDAsyncSocketOtherError, errMsg);
}

// ---- Delegate reports ----

void GCDAsyncSocket::askDelegate(std::function<double(GCDAsyncSocketDelegate &, GCDAsyncSocket *)> question,
                                 std::function<void(GCDAsyncSocket &, double)> answer)
{
    GCDAsyncSocketDelegate *const theDelegate = m_delegate.load();
    const auto self = weak_from_this().lock();
    if (theDelegate == nullptr || !m_delegateQueue || !self) {
        answer(*this, 0);
        return;
    }
    m_delegateQueue->async([self, theDelegate, question = std::move(question), answer = std::move(answer)] {
        const double reply = self->m_delegate.load() == theDelegate ? question(*theDelegate, self.get()) : 0.0;
        self->postToSocketQueue([answer, reply](GCDAsyncSocket &socket) { answer(socket, reply); });
    });
}

// ---- Status ----

bool GCDAsyncSocket::isDisconnected() const
{
    return onSocketQueue<bool>([this] { return (m_flags & kSocketStarted) == 0; });
}

bool GCDAsyncSocket::isConnected() const
{
    return onSocketQueue<bool>([this] { return (m_flags & kConnected) != 0; });
}

namespace {

// The descriptor the status of both families is read from: IPv4 first.
int preferredFD(int fd4, int fd6)
{
    return fd4 != -1 ? fd4 : fd6;
}

} // namespace

QByteArray GCDAsyncSocket::endAddress(int fd, End end)
{
    if (fd == -1)
        return {};
    return end == End::Peer ? platform::net::peerAddressOf(fd) : platform::net::localAddressOf(fd);
}

QByteArray GCDAsyncSocket::preferredEndAddress(End end) const
{
    return onSocketQueue<QByteArray>([this, end] { return endAddress(preferredFD(m_socket4FD, m_socket6FD), end); });
}

QByteArray GCDAsyncSocket::connectedAddress() const
{
    return onSocketQueue<QByteArray>(
        [this] { return endAddress(m_socket6FD != -1 ? m_socket6FD : m_socket4FD, End::Peer); });
}

QByteArray GCDAsyncSocket::localAddress() const
{
    return onSocketQueue<QByteArray>(
        [this] { return endAddress(m_socket6FD != -1 ? m_socket6FD : m_socket4FD, End::Local); });
}

bool GCDAsyncSocket::isIPv4() const
{
    return onSocketQueue<bool>([this] { return m_socket4FD != -1; });
}

bool GCDAsyncSocket::isIPv6() const
{
    return onSocketQueue<bool>([this] { return m_socket6FD != -1; });
}

int GCDAsyncSocket::socketFD() const
{
    return isOnSocketQueue() ? preferredFD(m_socket4FD, m_socket6FD) : -1;
}

int GCDAsyncSocket::socket4FD() const
{
    return isOnSocketQueue() ? m_socket4FD : -1;
}

int GCDAsyncSocket::socket6FD() const
{
    return isOnSocketQueue() ? m_socket6FD : -1;
}

void GCDAsyncSocket::performBlock(const std::function<void()> &block)
{
    HM_ASSERT(!isOnSocketQueue(), QStringLiteral("performBlock must not be called from the socket queue"));
    m_socketQueue->sync(block);
}

// ---- Progress ----

namespace {

float progressOf(std::size_t done, std::size_t total)
{
    return total == 0 ? 1.0F : float(double(done) / double(total));
}

} // namespace

float GCDAsyncSocket::progressOfReadReturningTag(long *tagPtr, std::size_t *donePtr, std::size_t *totalPtr) const
{
    float result = std::nanf("");
    runOnSocketQueue([&] {
        // The TLS request counts as no read.
        const GCDAsyncReadPacket *packet = m_currentRead && !m_currentRead->special ? m_currentRead.get() : nullptr;
        if (tagPtr != nullptr)
            *tagPtr = packet != nullptr ? packet->tag : 0;
        if (donePtr != nullptr)
            *donePtr = packet != nullptr ? packet->bytesDone : 0;
        if (totalPtr != nullptr)
            *totalPtr = packet != nullptr ? packet->readLength : 0;
        if (packet != nullptr)
            result = progressOf(packet->bytesDone, packet->readLength);
    });
    return result;
}

float GCDAsyncSocket::progressOfWriteReturningTag(long *tagPtr, std::size_t *donePtr, std::size_t *totalPtr) const
{
    float result = std::nanf("");
    runOnSocketQueue([&] {
        const GCDAsyncWritePacket *packet = m_currentWrite && !m_currentWrite->special ? m_currentWrite.get() : nullptr;
        const std::size_t total = packet != nullptr ? std::size_t(packet->buffer.size()) : 0;
        if (tagPtr != nullptr)
            *tagPtr = packet != nullptr ? packet->tag : 0;
        if (donePtr != nullptr)
            *donePtr = packet != nullptr ? packet->bytesDone : 0;
        if (totalPtr != nullptr)
            *totalPtr = total;
        if (packet != nullptr)
            result = progressOf(packet->bytesDone, total);
    });
    return result;
}

// ---- Timers ----

std::shared_ptr<platform::DispatchTimer> GCDAsyncSocket::startTimer(double timeout,
                                                                   std::function<void(GCDAsyncSocket &)> handler)
{
    auto timer = platform::DispatchTimer::create(m_socketQueue);
    timer->setEventHandler([weak = weak_from_this(), handler = std::move(handler)] {
        if (const auto socket = weak.lock())
            handler(*socket);
    });
    timer->schedule(platform::durationFromSeconds(timeout), platform::DispatchDuration::zero());
    timer->resume();
    return timer;
}

void GCDAsyncSocket::cancelTimer(std::shared_ptr<platform::DispatchTimer> &timer)
{
    if (!timer)
        return;
    timer->cancel();
    timer.reset();
}

// ---- The steps the read and the write half take alike ----

const GCDAsyncSocket::Half<GCDAsyncReadPacket> GCDAsyncSocket::kReadHalf = {
    &GCDAsyncSocket::m_readQueue,
    &GCDAsyncSocket::m_currentRead,
    &GCDAsyncSocket::m_readTimer,
    kStartingReadTLS,
    kReadsPaused,
    kDisconnectAfterReads,
    &GCDAsyncSocketDelegate::socketShouldTimeoutReadWithTag,
    &GCDAsyncSocket::maybeDequeueRead,
    &GCDAsyncSocket::doReadData,
    &GCDAsyncSocket::suspendReadSource,
    &GCDAsyncSocket::readTimeoutError};
const GCDAsyncSocket::Half<GCDAsyncWritePacket> GCDAsyncSocket::kWriteHalf = {
    &GCDAsyncSocket::m_writeQueue,
    &GCDAsyncSocket::m_currentWrite,
    &GCDAsyncSocket::m_writeTimer,
    kStartingWriteTLS,
    kWritesPaused,
    kDisconnectAfterWrites,
    &GCDAsyncSocketDelegate::socketShouldTimeoutWriteWithTag,
    &GCDAsyncSocket::maybeDequeueWrite,
    &GCDAsyncSocket::doWriteData,
    &GCDAsyncSocket::suspendWriteSource,
    &GCDAsyncSocket::writeTimeoutError};

template <typename Packet> void GCDAsyncSocket::enqueue(const Half<Packet> &half, std::shared_ptr<Packet> packet)
{
    queueOnSocketQueue([&half, packet = std::move(packet)](GCDAsyncSocket &socket) {
        if ((socket.m_flags & kSocketStarted) == 0 || (socket.m_flags & kForbidReadsWrites) != 0)
            return;
        (socket.*half.queue).push_back(packet);
        (socket.*half.maybeDequeue)();
    });
}

template <typename Packet, typename Other>
bool GCDAsyncSocket::startNextPacketOrClose(const Half<Packet> &half, const Half<Other> &other)
{
    HM_ASSERT(isOnSocketQueue(), QStringLiteral("Must be dispatched on socketQueue"));
    std::deque<std::shared_ptr<Packet>> &queue = this->*half.queue;
    if (this->*half.current || (m_flags & kConnected) == 0)
        return false;
    if (queue.empty()) {
        if ((m_flags & half.disconnectAfterFlag) == 0)
            return true;
        const bool otherPending = !(this->*other.queue).empty() || this->*other.current;
        if ((m_flags & other.disconnectAfterFlag) == 0 || !otherPending)
            closeWithError(PlatformError());
        return false;
    }
    const std::shared_ptr<Packet> packet = queue.front();
    this->*half.current = packet;
    queue.pop_front();
    if (packet->special) {
        m_flags |= half.startingTLSFlag;
        maybeStartTLS();
        return false;
    }
    setupTimer(half, packet->timeout);
    (this->*half.moveBytes)();
    return false;
}

template <typename Packet, typename Other>
bool GCDAsyncSocket::waitsForTLS(const Half<Packet> &half, const Half<Other> &other)
{
    if ((m_flags & half.startingTLSFlag) == 0)
        return false;
    if ((m_flags & other.startingTLSFlag) != 0 && m_sslContext)
        ssl_continueSSLHandshake();
    else
        (this->*half.suspendSource)();
    return true;
}

template <typename Packet> void GCDAsyncSocket::endCurrent(const Half<Packet> &half)
{
    cancelTimer(this->*half.timer);
    (this->*half.current).reset();
}

template <typename Packet> void GCDAsyncSocket::setupTimer(const Half<Packet> &half, double timeout)
{
    if (timeout < 0)
        return;
    this->*half.timer = startTimer(timeout, [&half](GCDAsyncSocket &socket) { socket.doTimeout(half); });
}

template <typename Packet> void GCDAsyncSocket::doTimeout(const Half<Packet> &half)
{
    const std::shared_ptr<Packet> packet = this->*half.current;
    if (!packet)
        return;
    // The half moves no bytes while the delegate decides, so bytesDone holds still.
    m_flags |= half.pausedFlag;
    const long tag = packet->tag;
    const double elapsed = packet->timeout;
    const std::size_t bytesDone = packet->bytesDone;
    askDelegate(
        [&half, tag, elapsed, bytesDone](GCDAsyncSocketDelegate &delegate, GCDAsyncSocket *sock) {
            return (delegate.*half.shouldTimeout)(sock, tag, elapsed, bytesDone);
        },
        [&half, packet](GCDAsyncSocket &socket, double extension) {
            socket.doTimeoutWithExtension(half, packet, extension);
        });
}

template <typename Packet>
void GCDAsyncSocket::doTimeoutWithExtension(const Half<Packet> &half, const std::shared_ptr<Packet> &packet,
                                            double extension)
{
    // The packet may have gone, or another taken its place, while the delegate decided.
    if (this->*half.current != packet)
        return;
    if (extension <= 0.0) {
        closeWithError(half.timeoutError());
        return;
    }
    packet->timeout += extension;
    (this->*half.timer)->schedule(platform::durationFromSeconds(extension), platform::DispatchDuration::zero());
    m_flags &= ~half.pausedFlag;
    (this->*half.moveBytes)();
}

template void GCDAsyncSocket::enqueue(const Half<GCDAsyncReadPacket> &, std::shared_ptr<GCDAsyncReadPacket>);
template void GCDAsyncSocket::enqueue(const Half<GCDAsyncWritePacket> &, std::shared_ptr<GCDAsyncWritePacket>);
template bool GCDAsyncSocket::startNextPacketOrClose(const Half<GCDAsyncReadPacket> &,
                                                     const Half<GCDAsyncWritePacket> &);
template bool GCDAsyncSocket::startNextPacketOrClose(const Half<GCDAsyncWritePacket> &,
                                                     const Half<GCDAsyncReadPacket> &);
template bool GCDAsyncSocket::waitsForTLS(const Half<GCDAsyncReadPacket> &, const Half<GCDAsyncWritePacket> &);
template bool GCDAsyncSocket::waitsForTLS(const Half<GCDAsyncWritePacket> &, const Half<GCDAsyncReadPacket> &);
template void GCDAsyncSocket::endCurrent(const Half<GCDAsyncReadPacket> &);
template void GCDAsyncSocket::endCurrent(const Half<GCDAsyncWritePacket> &);

QByteArray GCDAsyncSocket::CRLFData()
{
    return QByteArrayLiteral("\r\n");
}

QByteArray GCDAsyncSocket::CRData()
{
    return QByteArrayLiteral("\r");
}

QByteArray GCDAsyncSocket::LFData()
{
    return QByteArrayLiteral("\n");
}

QByteArray GCDAsyncSocket::ZeroData()
{
    return QByteArray(1, '\0');
}
