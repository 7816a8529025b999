#pragma once

#include "phonelink/CocoaAsyncSocket/GCDAsyncUdpSocketDelegate.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/PlatformError.h"
#include "platform/network/AsyncSocketBase.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QVariant>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>

#include <netinet/in.h>

namespace platform {
class DispatchFdSource;
class DispatchTimer;
} // namespace platform

class GCDAsyncUdpPacket;
class GCDAsyncUdpSendPacket;
class GCDAsyncUdpSpecialPacket;

inline constexpr char GCDAsyncUdpSocketErrorDomain[] = "GCDAsyncUdpSocketErrorDomain";

// The codes of errors in GCDAsyncUdpSocketErrorDomain.
enum class GCDAsyncUdpSocketErrorCode {
    BadConfig = 1,
    BadParam = 2,
    SendTimeout = 3,
    Closed = 4,
    Other = 5,
};

// An asynchronous UDP socket: one object drives up to two datagram sockets (IPv4 and IPv6) from
// readiness sources on its own serial socket queue, and reports every result to its delegate on the
// delegate queue. Every field lives on the socket queue: public operations run there, waiting for it
// when they answer something and queued otherwise (or at once when called on the socket queue).
// Addresses are byte arrays holding a whole socket address (sockaddr_in or sockaddr_in6). Shared
// between queues (std::shared_ptr); thread-safe. Both families go through one path, the family
// (AF_INET or AF_INET6) a parameter; the code stands in GCDAsyncUdpSocket.cpp (set-up) and its
// +Sockets, +Sending, +Receiving and +Multicast files.
class GCDAsyncUdpSocket final : public platform::net::AsyncSocketBase<GCDAsyncUdpSocket, GCDAsyncUdpSocketDelegate>
{
public:
    // The send filter: answers whether to send the datagram (data, destination address, tag).
    using GCDAsyncUdpSocketSendFilterBlock =
        std::function<bool(const QByteArray &data, const QByteArray &address, long tag)>;
    // The receive filter: answers whether to deliver the datagram; the context it leaves is handed to
    // the delegate with it.
    using GCDAsyncUdpSocketReceiveFilterBlock =
        std::function<bool(const QByteArray &data, const QByteArray &address, QVariant *context)>;

    // Use create() (see AsyncSocketBase); without a socket queue it makes its own, "GCDAsyncUdpSocket".
    GCDAsyncUdpSocket(PrivateTag, GCDAsyncUdpSocketDelegate *delegate,
                      std::shared_ptr<platform::DispatchQueue> delegateQueue,
                      std::shared_ptr<platform::DispatchQueue> socketQueue);
    // Closes the sockets, without telling the delegate: the socket is going away.
    ~GCDAsyncUdpSocket();
    GCDAsyncUdpSocket(const GCDAsyncUdpSocket &) = delete;
    GCDAsyncUdpSocket &operator=(const GCDAsyncUdpSocket &) = delete;

    // Delegate, delegate queue, user data and the families enabled: see AsyncSocketBase.

    // Configuration. Getters wait; setters are queued. Families and the send size apply to sockets
    // created afterwards; the receive sizes from the next datagram read.
    bool isIPv4Preferred() const;
    bool isIPv6Preferred() const;
    bool isIPVersionNeutral() const;
    void setPreferIPv4();
    void setPreferIPv6();
    void setIPVersionNeutral();
    quint16 maxReceiveIPv4BufferSize() const { return fieldOnSocketQueue(&GCDAsyncUdpSocket::m_max4ReceiveSize); }
    void setMaxReceiveIPv4BufferSize(quint16 max) { setFieldOnSocketQueue(&GCDAsyncUdpSocket::m_max4ReceiveSize, max); }
    quint32 maxReceiveIPv6BufferSize() const { return fieldOnSocketQueue(&GCDAsyncUdpSocket::m_max6ReceiveSize); }
    void setMaxReceiveIPv6BufferSize(quint32 max) { setFieldOnSocketQueue(&GCDAsyncUdpSocket::m_max6ReceiveSize, max); }
    quint16 maxSendBufferSize() const { return fieldOnSocketQueue(&GCDAsyncUdpSocket::m_maxSendSize); }
    void setMaxSendBufferSize(quint16 max) { setFieldOnSocketQueue(&GCDAsyncUdpSocket::m_maxSendSize, max); }

    // Local endpoint (none or 0 before binding): of the IPv4 socket when open, else of the IPv6 one.
    QByteArray localAddress() { return localEndpointOnSocketQueue(0).address; }
    QString localHost() { return localEndpointOnSocketQueue(0).host; }
    quint16 localPort() { return localEndpointOnSocketQueue(0).port; }
    QByteArray localAddress_IPv4() { return localEndpointOnSocketQueue(AF_INET).address; }
    QString localHost_IPv4() { return localEndpointOnSocketQueue(AF_INET).host; }
    quint16 localPort_IPv4() { return localEndpointOnSocketQueue(AF_INET).port; }
    QByteArray localAddress_IPv6() { return localEndpointOnSocketQueue(AF_INET6).address; }
    QString localHost_IPv6() { return localEndpointOnSocketQueue(AF_INET6).host; }
    quint16 localPort_IPv6() { return localEndpointOnSocketQueue(AF_INET6).port; }
    // Peer endpoint; none or 0 unless connected.
    QByteArray connectedAddress() { return fieldOnSocketQueue(&GCDAsyncUdpSocket::m_cachedConnectedAddress); }
    QString connectedHost() { return fieldOnSocketQueue(&GCDAsyncUdpSocket::m_cachedConnectedHost); }
    quint16 connectedPort() { return fieldOnSocketQueue(&GCDAsyncUdpSocket::m_cachedConnectedPort); }

    bool isConnected() const;
    bool isClosed() const;
    bool isIPv4() const;
    bool isIPv6() const;

    // Binding: port with all interfaces (no interface text), an interface (name, numeric address,
    // "localhost" or "loopback"), or one socket address. Each waits and answers success.
    bool bindToPort(quint16 port, platform::PlatformError *errPtr = nullptr);
    bool bindToPort(quint16 port, const QString &interface, platform::PlatformError *errPtr = nullptr);
    bool bindToAddress(const QByteArray &localAddr, platform::PlatformError *errPtr = nullptr);

    // Connecting: queued behind earlier sends; the result reaches the delegate.
    bool connectToHost(const QString &host, quint16 port, platform::PlatformError *errPtr = nullptr);
    bool connectToAddress(const QByteArray &remoteAddr, platform::PlatformError *errPtr = nullptr);

    bool joinMulticastGroup(const QString &group, platform::PlatformError *errPtr = nullptr);
    bool joinMulticastGroup(const QString &group, const QString &interface, platform::PlatformError *errPtr = nullptr);
    bool leaveMulticastGroup(const QString &group, platform::PlatformError *errPtr = nullptr);
    bool leaveMulticastGroup(const QString &group, const QString &interface, platform::PlatformError *errPtr = nullptr);

    bool enableReusePort(bool flag, platform::PlatformError *errPtr = nullptr);
    bool enableBroadcast(bool flag, platform::PlatformError *errPtr = nullptr);

    // Sending; a timeout below 0 means none. Empty data is ignored without a report.
    void sendData(const QByteArray &data, long tag);
    void sendData(const QByteArray &data, double timeout, long tag);
    void sendData(const QByteArray &data, const QString &host, quint16 port, double timeout, long tag);
    void sendData(const QByteArray &data, const QByteArray &remoteAddr, double timeout, long tag);
    void setSendFilter(GCDAsyncUdpSocketSendFilterBlock filterBlock, std::shared_ptr<platform::DispatchQueue> filterQueue)
    {
        setSendFilter(std::move(filterBlock), std::move(filterQueue), true);
    }
    void setSendFilter(GCDAsyncUdpSocketSendFilterBlock filterBlock, std::shared_ptr<platform::DispatchQueue> filterQueue,
                       bool isAsynchronous);

    // Receiving.
    bool receiveOnce(platform::PlatformError *errPtr = nullptr);
    bool beginReceiving(platform::PlatformError *errPtr = nullptr);
    // Binds to the port and begins receiving, as a listening server starts; on a failure the text to
    // log, naming the step that failed (the socket is closed where receiving failed).
    std::optional<QString> startListening(quint16 port);
    void pauseReceiving();
    void setReceiveFilter(GCDAsyncUdpSocketReceiveFilterBlock filterBlock,
                          std::shared_ptr<platform::DispatchQueue> filterQueue)
    {
        setReceiveFilter(std::move(filterBlock), std::move(filterQueue), true);
    }
    void setReceiveFilter(GCDAsyncUdpSocketReceiveFilterBlock filterBlock,
                          std::shared_ptr<platform::DispatchQueue> filterQueue, bool isAsynchronous);

    // Closing: close waits, and once it returns the socket queues no further report (reports queued
    // before it still arrive on the delegate queue); closeAfterSending is queued and closes once the
    // send queue is empty.
    void close();
    void closeAfterSending();
    void applicationWillEnterForeground();

    // Queue helpers.
    void markSocketQueueTargetQueue(const std::shared_ptr<platform::DispatchQueue> &socketNewTargetQueue);
    void unmarkSocketQueueTargetQueue(const std::shared_ptr<platform::DispatchQueue> &socketOldTargetQueue);
    void performBlock(const std::function<void()> &block);
    // The descriptors, only on the socket queue (-1 elsewhere).
    int socketFD() const;
    int socket4FD() const;
    int socket6FD() const;


private:
    struct LocalEndpoint
    {
        QByteArray address;
        QString host;
        quint16 port = 0;
    };

    // What the socket holds of one address family: its descriptor, its readiness sources (each
    // suspended once at most) and what is known of it.
    struct FamilySocket
    {
        int fd = -1;
        std::shared_ptr<platform::DispatchFdSource> sendSource;
        std::shared_ptr<platform::DispatchFdSource> receiveSource;
        bool isSendSuspended = false;
        bool isReceiveSuspended = false;
        bool canAcceptBytes = false;
        std::uint64_t bytesAvailable = 0;
        bool hasCachedLocal = false;
        LocalEndpoint cachedLocal;
    };

    // A send or receive filter: the block, the queue it runs on and whether the socket waits for it.
    template <typename Block> struct Filter
    {
        Block block;
        std::shared_ptr<platform::DispatchQueue> queue;
        bool isAsynchronous = false;

        bool isSet() const { return block && queue; }
    };
    // Replaces one of the filters; a filter without a block is none.
    template <typename Block>
    void setFilter(Filter<Block> GCDAsyncUdpSocket::*filter, Block block,
                   std::shared_ptr<platform::DispatchQueue> queue, bool isAsynchronous);

    // A field read on the socket queue; a field set there, queued.
    template <typename T>
    T fieldOnSocketQueue(T GCDAsyncUdpSocket::*field) const
    {
        return onSocketQueue<T>([this, field] { return this->*field; });
    }
    template <typename T>
    void setFieldOnSocketQueue(T GCDAsyncUdpSocket::*field, T value)
    {
        queueOnSocketQueue([field, value](GCDAsyncUdpSocket &socket) { socket.*field = value; });
    }
    // Runs an operation that answers success on the socket queue, handing its error to errPtr when it
    // fails with one.
    bool attempt(platform::PlatformError *errPtr, const std::function<bool(platform::PlatformError *)> &operation);

    FamilySocket &familySocket(int family);
    const FamilySocket &familySocket(int family) const;
    // The family of the socket a local endpoint is given of when none is named: IPv4 when open.
    int defaultLocalFamily() const;
    LocalEndpoint localEndpointOnSocketQueue(int family);

    // Errors.
    static platform::PlatformError badConfigError(const QString &errMsg);
    static platform::PlatformError badParamError(const QString &errMsg);
    static platform::PlatformError gaiError(int gai_error);
    static platform::PlatformError errnoErrorWithReason(int errorNumber, const QString &reason);
    static platform::PlatformError sendTimeoutError();
    static platform::PlatformError socketClosedError();
    static platform::PlatformError otherError(const QString &errMsg);

    // Delegate reports; each runs on the socket queue and queues the call on the delegate queue.
    void notifyDidConnectToAddress(const QByteArray &anAddress);
    void notifyDidNotConnect(const platform::PlatformError &error);
    void notifyDidSendDataWithTag(long tag);
    void notifyDidNotSendDataWithTag(long tag, const platform::PlatformError &error);
    void notifyDidReceiveData(const QByteArray &data, const QByteArray &address, const QVariant &context);
    void notifyDidCloseWithError(const platform::PlatformError &error);

    // Sets a configuration error of the message when refused; answers whether not.
    static bool allows(bool isRefused, const QString &message, platform::PlatformError *errPtr);
    bool preOp(platform::PlatformError *errPtr) const;
    bool preBind(platform::PlatformError *errPtr) const;
    bool preConnect(platform::PlatformError *errPtr) const;
    bool preJoin(platform::PlatformError *errPtr) const;
    bool hasAnyFamilyEnabled(platform::PlatformError *errPtr) const;
    // Before setting a socket option: a delegate, and the sockets created.
    bool prepareOption(platform::PlatformError *errPtr);

    // Sockets and their readiness sources.
    bool createSockets(bool useIPv4, bool useIPv6, platform::PlatformError *errPtr);
    bool createSockets(platform::PlatformError *errPtr);
    int createSocket(int domain, platform::PlatformError *errPtr) const;
    void setupSources(int family);
    void setSendSuspended(int family, bool isSuspended);
    void setReceiveSuspended(int family, bool isSuspended);
    void closeSocket(int family);
    void closeSockets();
    void closeWithError(const platform::PlatformError &error);
    void closeWithoutReport();
    void onWriteEvent(int family);
    void onReadEvent(int family, std::int64_t bytesAvailable);

    // Addresses.
    static void convertIntefaceDescription(const QString &interfaceDescription, quint16 port,
                                           QByteArray *interfaceAddr4Ptr, QByteArray *interfaceAddr6Ptr);
    static void convertNumericHost(const QString &numericHost, quint16 port, QByteArray *addr4Ptr,
                                   QByteArray *addr6Ptr);
    // The index of the interface holding a socket address's host; 0 when none does.
    static unsigned int indexOfInterfaceAddr(const QByteArray &interfaceAddr);
    // Why addresses of only the families given cannot be used, the other being off; null when they can.
    platform::PlatformError familyRefusal(bool hasIPv4, bool hasIPv6) const;
    int getAddress(QByteArray *addressPtr, platform::PlatformError *errorPtr, const QList<QByteArray> &addresses) const;
    bool getLocalAddress(LocalEndpoint *endpoint, int socketFD, int family) const;
    // The local endpoint of the family's socket, read from the system once it is bound.
    LocalEndpoint localEndpoint(int family);
    bool bindSockets(const QByteArray &address4, const QByteArray &address6, platform::PlatformError *errPtr);
    bool bindToInterface(quint16 port, const QString &interface, platform::PlatformError *errPtr);
    bool bindToExactAddress(const QByteArray &localAddr, platform::PlatformError *errPtr);

    // Connecting, multicast and sending.
    void asyncResolveHost(const QString &aHost, quint16 port,
                          std::function<void(GCDAsyncUdpSocket &, QList<QByteArray>, platform::PlatformError)> completion);
    bool queueConnect(std::shared_ptr<GCDAsyncUdpSpecialPacket> packet, platform::PlatformError *errPtr);
    void maybeConnect();
    bool connectWithAddress(int family, const QByteArray &address, platform::PlatformError *errPtr);
    bool performMulticastRequest(bool isJoin, const QString &group, const QString &interface,
                                 platform::PlatformError *errPtr);
    bool requestMembership(int family, bool isJoin, const QByteArray &group, const QByteArray &interface,
                           platform::PlatformError *errPtr);
    void queueSendPacket(std::shared_ptr<GCDAsyncUdpPacket> packet);
    void maybeDequeueSend();
    void doPreSend();
    // Settles the current datagram's destination; false, with error set or the lookup still running,
    // when it cannot be sent now.
    bool prepareDestination(GCDAsyncUdpSendPacket &packet, platform::PlatformError *error);
    void runSendFilter(const std::shared_ptr<GCDAsyncUdpSendPacket> &packet);
    void doSend();
    void endCurrentSend();
    void doSendTimeout();
    void setupSendTimerWithTimeout(double timeout);
    void finishFilteredSend(const std::shared_ptr<GCDAsyncUdpPacket> &packet, bool allowed);

    // Receiving.
    struct Received;
    bool startReceiving(std::uint32_t mode, platform::PlatformError *errPtr);
    void queueReceive();
    void doReceive();
    // Reads and hands on one datagram; answers whether the receive step should read another.
    bool receiveOneDatagram();
    // Whether a datagram may be read now; when not, the sources wait as the state asks.
    bool isReadyToReceive();
    int nextReceiveFamily();
    // Reads one datagram of the family's socket; false when there was none or the socket failed.
    bool readDatagram(int family, QByteArray *data, QByteArray *address);
    Received handOn(int family, const QByteArray &data, const QByteArray &address);
    bool isConnectedToAddress(const QByteArray &someAddr) const;
    // Hands on a datagram the asynchronous receive filter has judged, unless the socket has closed
    // since it was read (closeEpoch no longer current).
    void deliverFiltered(std::uint64_t closeEpoch, const QByteArray &data, const QByteArray &address, bool allowed,
                         const QVariant &context);

    Filter<GCDAsyncUdpSocketReceiveFilterBlock> m_receiveFilter;
    Filter<GCDAsyncUdpSocketSendFilterBlock> m_sendFilter;

    std::uint32_t m_flags = 0;
    quint16 m_max4ReceiveSize = 65535;
    quint32 m_max6ReceiveSize = 65535;
    quint16 m_maxSendSize = 65535;

    FamilySocket m_socket4;
    FamilySocket m_socket6;

    std::shared_ptr<platform::DispatchTimer> m_sendTimer;

    std::shared_ptr<GCDAsyncUdpPacket> m_currentSend;
    std::deque<std::shared_ptr<GCDAsyncUdpPacket>> m_sendQueue;

    std::uint32_t m_pendingFilterOperations = 0;
    // Counts closes; a receive filter result read before the latest close is dropped.
    std::uint64_t m_closeEpoch = 0;
    // Reused for every datagram read; each delivery gets a copy of exactly the datagram's bytes.
    QByteArray m_receiveBuffer;

    QByteArray m_cachedConnectedAddress;
    QString m_cachedConnectedHost;
    quint16 m_cachedConnectedPort = 0;
    int m_cachedConnectedFamily = 0;
};
