#pragma once

#include "phonelink/CocoaAsyncSocket/GCDAsyncUdpSocketDelegate.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/PlatformError.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QVariant>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>

#include <netinet/in.h>

namespace platform {
class DispatchFdSource;
class DispatchTimer;
} // namespace platform

class GCDAsyncUdpPacket;

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
// between queues (std::shared_ptr); thread-safe.
class GCDAsyncUdpSocket final : public std::enable_shared_from_this<GCDAsyncUdpSocket>
{
    struct PrivateTag
    {
        explicit PrivateTag() = default;
    };

public:
    // The send filter: answers whether to send the datagram (data, destination address, tag).
    using GCDAsyncUdpSocketSendFilterBlock =
        std::function<bool(const QByteArray &data, const QByteArray &address, long tag)>;
    // The receive filter: answers whether to deliver the datagram; the context it leaves is handed to
    // the delegate with it.
    using GCDAsyncUdpSocketReceiveFilterBlock =
        std::function<bool(const QByteArray &data, const QByteArray &address, QVariant *context)>;

    // Without a socket queue the socket makes its own serial queue "GCDAsyncUdpSocket"; a given
    // socket queue must be serial.
    static std::shared_ptr<GCDAsyncUdpSocket> create(GCDAsyncUdpSocketDelegate *delegate = nullptr,
                                                     std::shared_ptr<platform::DispatchQueue> delegateQueue = {},
                                                     std::shared_ptr<platform::DispatchQueue> socketQueue = {});
    // Use create(); the tag keeps the constructor to it.
    GCDAsyncUdpSocket(PrivateTag, GCDAsyncUdpSocketDelegate *delegate,
                      std::shared_ptr<platform::DispatchQueue> delegateQueue,
                      std::shared_ptr<platform::DispatchQueue> socketQueue);
    // Closes the sockets, without telling the delegate: the socket is going away.
    ~GCDAsyncUdpSocket();
    GCDAsyncUdpSocket(const GCDAsyncUdpSocket &) = delete;
    GCDAsyncUdpSocket &operator=(const GCDAsyncUdpSocket &) = delete;

    // Delegate and queues. Getters wait; plain setters are queued; the synchronously forms wait.
    GCDAsyncUdpSocketDelegate *delegate() const;
    void setDelegate(GCDAsyncUdpSocketDelegate *delegate);
    void synchronouslySetDelegate(GCDAsyncUdpSocketDelegate *delegate);
    std::shared_ptr<platform::DispatchQueue> delegateQueue() const;
    void setDelegateQueue(std::shared_ptr<platform::DispatchQueue> delegateQueue);
    void synchronouslySetDelegateQueue(std::shared_ptr<platform::DispatchQueue> delegateQueue);
    void getDelegate(GCDAsyncUdpSocketDelegate **delegate, std::shared_ptr<platform::DispatchQueue> *delegateQueue) const;
    void setDelegate(GCDAsyncUdpSocketDelegate *delegate, std::shared_ptr<platform::DispatchQueue> delegateQueue);
    void synchronouslySetDelegate(GCDAsyncUdpSocketDelegate *delegate,
                                  std::shared_ptr<platform::DispatchQueue> delegateQueue);

    // Configuration. Getters wait; setters are queued. Families and the send size apply to sockets
    // created afterwards; the receive sizes from the next datagram read.
    bool isIPv4Enabled() const;
    void setIPv4Enabled(bool flag);
    bool isIPv6Enabled() const;
    void setIPv6Enabled(bool flag);
    bool isIPv4Preferred() const;
    bool isIPv6Preferred() const;
    bool isIPVersionNeutral() const;
    void setPreferIPv4();
    void setPreferIPv6();
    void setIPVersionNeutral();
    quint16 maxReceiveIPv4BufferSize() const;
    void setMaxReceiveIPv4BufferSize(quint16 max);
    quint32 maxReceiveIPv6BufferSize() const;
    void setMaxReceiveIPv6BufferSize(quint32 max);
    quint16 maxSendBufferSize() const;
    void setMaxSendBufferSize(quint16 max);
    QVariant userData() const;
    void setUserData(const QVariant &userData);

    // Local endpoint (none or 0 before binding): of the IPv4 socket when open, else of the IPv6 one.
    QByteArray localAddress();
    QString localHost();
    quint16 localPort();
    QByteArray localAddress_IPv4();
    QString localHost_IPv4();
    quint16 localPort_IPv4();
    QByteArray localAddress_IPv6();
    QString localHost_IPv6();
    quint16 localPort_IPv6();
    // Peer endpoint; none or 0 unless connected.
    QByteArray connectedAddress();
    QString connectedHost();
    quint16 connectedPort();

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
    void setSendFilter(GCDAsyncUdpSocketSendFilterBlock filterBlock, std::shared_ptr<platform::DispatchQueue> filterQueue);
    void setSendFilter(GCDAsyncUdpSocketSendFilterBlock filterBlock, std::shared_ptr<platform::DispatchQueue> filterQueue,
                       bool isAsynchronous);

    // Receiving.
    bool receiveOnce(platform::PlatformError *errPtr = nullptr);
    bool beginReceiving(platform::PlatformError *errPtr = nullptr);
    void pauseReceiving();
    void setReceiveFilter(GCDAsyncUdpSocketReceiveFilterBlock filterBlock,
                          std::shared_ptr<platform::DispatchQueue> filterQueue);
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

    // Address helpers; any thread.
    static QString hostFromSockaddr4(const sockaddr_in *pSockaddr4);
    static QString hostFromSockaddr6(const sockaddr_in6 *pSockaddr6);
    static quint16 portFromSockaddr4(const sockaddr_in *pSockaddr4);
    static quint16 portFromSockaddr6(const sockaddr_in6 *pSockaddr6);
    // A usable address gives its host text, port and family (AF_INET or AF_INET6) and answers true;
    // anything else gives an empty text, 0 and 0. Each out-parameter may be null.
    static bool getHost(QString *hostPtr, quint16 *portPtr, int *afPtr, const QByteArray &address);
    static bool getHost(QString *hostPtr, quint16 *portPtr, const QByteArray &address);
    static QString hostFromAddress(const QByteArray &address);
    static quint16 portFromAddress(const QByteArray &address);
    static int familyFromAddress(const QByteArray &address);
    static bool isIPv4Address(const QByteArray &address);
    static bool isIPv6Address(const QByteArray &address);

private:
    struct LocalEndpoint
    {
        QByteArray address;
        QString host;
        quint16 port = 0;
    };

    bool isOnSocketQueue() const;
    void runOnSocketQueue(const std::function<void()> &block) const;
    // Runs the read on the socket queue and answers its value.
    template <typename T>
    T onSocketQueue(const std::function<T()> &read) const
    {
        T result{};
        runOnSocketQueue([&] { result = read(); });
        return result;
    }
    void queueOnSocketQueue(std::function<void(GCDAsyncUdpSocket &)> block);

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
    void notifyDelegate(std::function<void(GCDAsyncUdpSocketDelegate &, GCDAsyncUdpSocket *)> call);

    bool preOp(platform::PlatformError *errPtr) const;
    bool preBind(platform::PlatformError *errPtr) const;
    bool preConnect(platform::PlatformError *errPtr) const;
    bool preJoin(platform::PlatformError *errPtr) const;

    // Sockets and their readiness sources.
    bool createSocket4(bool useIPv4, bool useIPv6, platform::PlatformError *errPtr);
    bool createSockets(platform::PlatformError *errPtr);
    int createSocket(int domain, platform::PlatformError *errPtr) const;
    void setupSendAndReceiveSourcesForSocket4();
    void setupSendAndReceiveSourcesForSocket6();
    void setupSources(int family);
    void setSourceSuspended(platform::DispatchFdSource *source, std::uint32_t suspendedFlag, bool isSuspended);
    void suspendSend4Source();
    void suspendSend6Source();
    void resumeSend4Source();
    void resumeSend6Source();
    void suspendReceive4Source();
    void suspendReceive6Source();
    void resumeReceive4Source();
    void resumeReceive6Source();
    void closeSocket4();
    void closeSocket6();
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
    static unsigned int indexOfInterfaceAddr4(const QByteArray &interfaceAddr4);
    static unsigned int indexOfInterfaceAddr6(const QByteArray &interfaceAddr6);
    int getAddress(QByteArray *addressPtr, platform::PlatformError *errorPtr, const QList<QByteArray> &addresses) const;
    bool performMulticastRequest(int requestType, const QString &group, const QString &interface,
                                 platform::PlatformError *errPtr);
    bool getLocalAddress(LocalEndpoint *endpoint, int socketFD, int family) const;
    // The local endpoint of the family's socket, read from the system once it is bound.
    LocalEndpoint localEndpoint(int family);
    void maybeUpdateCachedLocalAddress4Info();
    void maybeUpdateCachedLocalAddress6Info();
    bool bindSockets(const QByteArray &address4, const QByteArray &address6, platform::PlatformError *errPtr);

    // Connecting and sending.
    void asyncResolveHost(const QString &aHost, quint16 port,
                          std::function<void(GCDAsyncUdpSocket &, QList<QByteArray>, platform::PlatformError)> completion);
    void maybeConnect();
    bool connectWithAddress4(const QByteArray &address4, platform::PlatformError *errPtr);
    bool connectWithAddress6(const QByteArray &address6, platform::PlatformError *errPtr);
    void queueSendPacket(std::shared_ptr<GCDAsyncUdpPacket> packet);
    void maybeDequeueSend();
    void doPreSend();
    void doSend();
    void endCurrentSend();
    void doSendTimeout();
    void setupSendTimerWithTimeout(double timeout);
    void finishFilteredSend(const std::shared_ptr<GCDAsyncUdpPacket> &packet, bool allowed);

    // Receiving.
    bool startReceiving(std::uint32_t mode, platform::PlatformError *errPtr);
    void doReceive();
    // Reads and hands on one datagram; answers whether the receive step should read another.
    bool receiveOneDatagram();
    bool isConnectedToAddress4(const QByteArray &someAddr4) const;
    bool isConnectedToAddress6(const QByteArray &someAddr6) const;
    // Hands on a datagram the asynchronous receive filter has judged, unless the socket has closed
    // since it was read (closeEpoch no longer current).
    void deliverFiltered(std::uint64_t closeEpoch, const QByteArray &data, const QByteArray &address, bool allowed,
                         const QVariant &context);

    std::atomic<GCDAsyncUdpSocketDelegate *> m_delegate{nullptr};
    std::shared_ptr<platform::DispatchQueue> m_delegateQueue;

    GCDAsyncUdpSocketReceiveFilterBlock m_receiveFilterBlock;
    std::shared_ptr<platform::DispatchQueue> m_receiveFilterQueue;
    bool m_receiveFilterAsync = false;

    GCDAsyncUdpSocketSendFilterBlock m_sendFilterBlock;
    std::shared_ptr<platform::DispatchQueue> m_sendFilterQueue;
    bool m_sendFilterAsync = false;

    std::uint32_t m_flags = 0;
    std::uint16_t m_config = 0;
    quint16 m_max4ReceiveSize = 65535;
    quint32 m_max6ReceiveSize = 65535;
    quint16 m_maxSendSize = 65535;

    int m_socket4FD = -1;
    int m_socket6FD = -1;

    std::shared_ptr<platform::DispatchQueue> m_socketQueue;

    std::shared_ptr<platform::DispatchFdSource> m_send4Source;
    std::shared_ptr<platform::DispatchFdSource> m_send6Source;
    std::shared_ptr<platform::DispatchFdSource> m_receive4Source;
    std::shared_ptr<platform::DispatchFdSource> m_receive6Source;
    std::shared_ptr<platform::DispatchTimer> m_sendTimer;

    std::shared_ptr<GCDAsyncUdpPacket> m_currentSend;
    std::deque<std::shared_ptr<GCDAsyncUdpPacket>> m_sendQueue;

    std::uint64_t m_socket4FDBytesAvailable = 0;
    std::uint64_t m_socket6FDBytesAvailable = 0;
    std::uint32_t m_pendingFilterOperations = 0;
    // Counts closes; a receive filter result read before the latest close is dropped.
    std::uint64_t m_closeEpoch = 0;
    // Reused for every datagram read; each delivery gets a copy of exactly the datagram's bytes.
    QByteArray m_receiveBuffer;

    bool m_hasCachedLocal4 = false;
    LocalEndpoint m_cachedLocal4;
    bool m_hasCachedLocal6 = false;
    LocalEndpoint m_cachedLocal6;
    QByteArray m_cachedConnectedAddress;
    QString m_cachedConnectedHost;
    quint16 m_cachedConnectedPort = 0;
    int m_cachedConnectedFamily = 0;

    // Marks the socket queue (and queues marked by markSocketQueueTargetQueue) with this socket.
    platform::QueueSpecificKey m_isOnSocketQueueOrTargetQueueKey;

    QVariant m_userData;
};
