#pragma once

#include "push/CocoaAsyncSocket/GCDAsyncSocketDelegate.h"
#include "push/CocoaAsyncSocket/GCDAsyncSocketPreBuffer.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/PlatformError.h"
#include "platform/network/AsyncSocketBase.h"

#include <QByteArray>
#include <QString>
#include <QVariant>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>

#include <netinet/in.h>

namespace platform {
class DispatchFdSource;
class DispatchTimer;
namespace net {
class DescriptorCloser;
}
} // namespace platform

namespace platform::crypto {
class SSLContext;
}

class GCDAsyncReadPacket;
class GCDAsyncWritePacket;

inline constexpr char GCDAsyncSocketErrorDomain[] = "GCDAsyncSocketErrorDomain";

// The keys of startTLS's settings (a missing key leaves the TLS layer's default).
inline constexpr char kCFStreamSSLIsServer[] = "kCFStreamSSLIsServer";
inline constexpr char kCFStreamSSLPeerName[] = "kCFStreamSSLPeerName";
inline constexpr char kCFStreamSSLAllowsAnyRoot[] = "kCFStreamSSLAllowsAnyRoot";
inline constexpr char kCFStreamSSLAllowsExpiredRoots[] = "kCFStreamSSLAllowsExpiredRoots";
inline constexpr char kCFStreamSSLValidatesCertificateChain[] = "kCFStreamSSLValidatesCertificateChain";
inline constexpr char kCFStreamSSLAllowsExpiredCertificates[] = "kCFStreamSSLAllowsExpiredCertificates";
// A list of PEM texts: the identity (private key and certificate), then further chain certificates.
inline constexpr char kCFStreamSSLCertificates[] = "kCFStreamSSLCertificates";
inline constexpr char kCFStreamSSLLevel[] = "kCFStreamSSLLevel";
inline constexpr char kCFStreamSocketSecurityLevelSSLv2[] = "kCFStreamSocketSecurityLevelSSLv2";
inline constexpr char kCFStreamSocketSecurityLevelSSLv3[] = "kCFStreamSocketSecurityLevelSSLv3";
inline constexpr char kCFStreamSocketSecurityLevelTLSv1[] = "kCFStreamSocketSecurityLevelTLSv1";
inline constexpr char kCFStreamSocketSecurityLevelNegotiatedSSL[] = "kCFStreamSocketSecurityLevelNegotiatedSSL";
inline constexpr char GCDAsyncSocketSSLCipherSuites[] = "GCDAsyncSocketSSLCipherSuites";
inline constexpr char GCDAsyncSocketSSLDiffieHellmanParameters[] = "GCDAsyncSocketSSLDiffieHellmanParameters";
// Ours: a PEM file of certificates trusted besides the system's store (programs fill it from the
// environment variable HM_TLS_CA_FILE).
inline constexpr char HMStreamSSLTrustedCAFile[] = "HMStreamSSLTrustedCAFile";

// The codes of errors in GCDAsyncSocketErrorDomain.
enum GCDAsyncSocketError : qint64 {
    GCDAsyncSocketNoError = 0,
    GCDAsyncSocketBadConfigError = 1,
    GCDAsyncSocketBadParamError = 2,
    GCDAsyncSocketConnectTimeoutError = 3,
    GCDAsyncSocketReadTimeoutError = 4,
    GCDAsyncSocketWriteTimeoutError = 5,
    GCDAsyncSocketReadMaxedOutError = 6,
    GCDAsyncSocketClosedError = 7,
    GCDAsyncSocketOtherError = 8,
};

// An asynchronous TCP socket: connects to a host or an address over IPv4 or IPv6 (or listens and
// accepts), and carries out queued reads and writes as its descriptor becomes ready, reporting every
// result to its delegate on the delegate queue. Every field lives on the socket's own serial queue:
// public operations run there, waiting for it when they answer something and queued otherwise (at
// once when called on the socket queue). Addresses are byte arrays holding a whole sockaddr_in or
// sockaddr_in6. Shared between queues (std::shared_ptr); thread-safe. The code stands in
// GCDAsyncSocket.cpp (set-up, errors, queries, the steps and timeouts both halves share) and its
// +Connecting, +Reading and +Writing files.
class GCDAsyncSocket final : public platform::net::AsyncSocketBase<GCDAsyncSocket, GCDAsyncSocketDelegate>
{
public:
    // Use create() (see AsyncSocketBase); without a socket queue it makes its own, "GCDAsyncSocket".
    GCDAsyncSocket(PrivateTag, GCDAsyncSocketDelegate *aDelegate, std::shared_ptr<platform::DispatchQueue> dq,
                   std::shared_ptr<platform::DispatchQueue> sq);
    // Closes the socket without telling the delegate: the socket is going away.
    ~GCDAsyncSocket();
    GCDAsyncSocket(const GCDAsyncSocket &) = delete;
    GCDAsyncSocket &operator=(const GCDAsyncSocket &) = delete;

    // Delegate, delegate queue, user data and the families enabled: see AsyncSocketBase.

    // Configuration, kept across connections. Getters wait; setters are queued.
    bool autoDisconnectOnClosedReadStream() const;
    void setAutoDisconnectOnClosedReadStream(bool flag);
    bool isIPv4PreferredOverIPv6() const;
    void setPreferIPv4OverIPv6(bool flag);

    // Listening; waits and answers whether it started. The interface is a name, a numeric address,
    // "localhost" or "loopback", optionally followed by ":<port>" (used when the port is 0).
    bool acceptOnPort(quint16 port, platform::PlatformError *errPtr = nullptr);
    bool acceptOnInterface(const QString &interface, quint16 port, platform::PlatformError *errPtr = nullptr);

    // Connecting; waits and answers whether the attempt started (the result reaches the delegate). A
    // negative timeout means none; a null interface means any.
    bool connectToHost(const QString &host, quint16 port, platform::PlatformError *errPtr = nullptr);
    bool connectToHost(const QString &host, quint16 port, double timeout, platform::PlatformError *errPtr = nullptr);
    bool connectToHost(const QString &host, quint16 port, const QString &interface, double timeout,
                       platform::PlatformError *errPtr = nullptr);
    bool connectToAddress(const QByteArray &remoteAddr, platform::PlatformError *errPtr = nullptr);
    bool connectToAddress(const QByteArray &remoteAddr, double timeout, platform::PlatformError *errPtr = nullptr);
    bool connectToAddress(const QByteArray &remoteAddr, const QString &interface, double timeout,
                          platform::PlatformError *errPtr = nullptr);

    // Disconnecting: disconnect waits; the after-forms are queued and close once the named queues
    // have drained, refusing new reads and writes meanwhile.
    void disconnect();
    void disconnectAfterReading();
    void disconnectAfterWriting();
    void disconnectAfterReadingAndWriting();

    // Status; each waits for the socket queue.
    bool isDisconnected() const;
    bool isConnected() const;
    QString connectedHost() const { return hostFromAddress(preferredEndAddress(End::Peer)); }
    quint16 connectedPort() const { return portFromAddress(preferredEndAddress(End::Peer)); }
    QString localHost() const { return hostFromAddress(preferredEndAddress(End::Local)); }
    quint16 localPort() const { return portFromAddress(preferredEndAddress(End::Local)); }
    QByteArray connectedAddress() const;
    QByteArray localAddress() const;
    bool isIPv4() const;
    bool isIPv6() const;

    // For callers already on the socket queue; without that family's descriptor the host is empty and
    // the port 0.
    QString connectedHost4() const { return hostFromAddress(endAddress(m_socket4FD, End::Peer)); }
    QString connectedHost6() const { return hostFromAddress(endAddress(m_socket6FD, End::Peer)); }
    quint16 connectedPort4() const { return portFromAddress(endAddress(m_socket4FD, End::Peer)); }
    quint16 connectedPort6() const { return portFromAddress(endAddress(m_socket6FD, End::Peer)); }
    QString localHost4() const { return hostFromAddress(endAddress(m_socket4FD, End::Local)); }
    QString localHost6() const { return hostFromAddress(endAddress(m_socket6FD, End::Local)); }
    quint16 localPort4() const { return portFromAddress(endAddress(m_socket4FD, End::Local)); }
    quint16 localPort6() const { return portFromAddress(endAddress(m_socket6FD, End::Local)); }
    // The descriptors; -1 off the socket queue.
    int socketFD() const;
    int socket4FD() const;
    int socket6FD() const;
    // Runs the block on the socket queue and waits for it; not from the socket queue.
    void performBlock(const std::function<void()> &block);

    // Reading. Timeouts in seconds, negative for none. A caller's buffer receives the bytes after
    // offset (it must already be that long); the delegate gets a copy of the bytes read.
    void readDataWithTimeout(double timeout, long tag);
    void readDataWithTimeout(double timeout, std::shared_ptr<QByteArray> buffer, std::size_t offset, long tag);
    void readDataWithTimeout(double timeout, std::shared_ptr<QByteArray> buffer, std::size_t offset,
                             std::size_t length, long tag);
    void readDataToLength(std::size_t length, double timeout, long tag);
    void readDataToLength(std::size_t length, double timeout, std::shared_ptr<QByteArray> buffer, std::size_t offset,
                          long tag);
    void readDataToData(const QByteArray &data, double timeout, long tag);
    void readDataToData(const QByteArray &data, double timeout, std::shared_ptr<QByteArray> buffer,
                        std::size_t offset, long tag);
    void readDataToData(const QByteArray &data, double timeout, std::size_t length, long tag);
    void readDataToData(const QByteArray &data, double timeout, std::shared_ptr<QByteArray> buffer,
                        std::size_t offset, std::size_t length, long tag);
    // Waits; NaN (and zeros) without a current read.
    float progressOfReadReturningTag(long *tagPtr, std::size_t *donePtr, std::size_t *totalPtr) const;

    // Writing; empty data is ignored without a report.
    void writeData(const QByteArray &data, double timeout, long tag);
    // Waits; NaN (and zeros) without a current write.
    float progressOfWriteReturningTag(long *tagPtr, std::size_t *donePtr, std::size_t *totalPtr) const;

    // ---- TLS ----
    // Queues TLS behind every read and write queued so far; the handshake starts once both queues
    // reach it. A second request on one connection does nothing.
    void startTLS(const QVariantMap &tlsSettings = {});
    bool isSecure() const;
    bool usingSecureTransportForTLS() const { return true; }
    bool usingCFStreamForTLS() const { return false; }
    // The settings a program's TLS uses by default: the CA file of HM_TLS_CA_FILE when it is set.
    static QVariantMap defaultTLSSettings();

    // Terminators for readDataToData.
    static QByteArray CRLFData();
    static QByteArray CRData();
    static QByteArray LFData();
    static QByteArray ZeroData();

private:
    // Which end of a descriptor's connection an address names.
    enum class End { Peer, Local };
    // The socket address of the descriptor's end; empty without a descriptor (-1).
    static QByteArray endAddress(int fd, End end);
    // The address of the end of the descriptor the status speaks of (IPv4 first); waits for the socket
    // queue.
    QByteArray preferredEndAddress(End end) const;

    // Errors.
    static platform::PlatformError badConfigError(const QString &errMsg);
    static platform::PlatformError badParamError(const QString &errMsg);
    static platform::PlatformError gaiError(int gai_error);
    static platform::PlatformError errnoErrorWithReason(const QString &reason);
    static platform::PlatformError errnoError();
    static platform::PlatformError connectTimeoutError();
    static platform::PlatformError readMaxedOutError();
    static platform::PlatformError readTimeoutError();
    static platform::PlatformError writeTimeoutError();
    static platform::PlatformError connectionClosedError();
    static platform::PlatformError otherError(const QString &errMsg);
    static platform::PlatformError sslError(std::int32_t ssl_error);

    // Asks the delegate on its queue and hands the answer back on the socket queue.
    void askDelegate(std::function<double(GCDAsyncSocketDelegate &, GCDAsyncSocket *)> question,
                     std::function<void(GCDAsyncSocket &, double)> answer);

    // Connecting and accepting (+Connecting).
    bool preConnectWithInterface(const QString &interface, platform::PlatformError *errPtr);
    static void lookup(const std::weak_ptr<GCDAsyncSocket> &weak, int aConnectIndex, const QString &host,
                       quint16 port);
    void lookupDidSucceed(int aConnectIndex, const QByteArray &address4, const QByteArray &address6);
    void lookupDidFail(int aConnectIndex, const platform::PlatformError &error);
    bool connectWithAddress4(const QByteArray &address4, const QByteArray &address6, platform::PlatformError *errPtr);
    int createConnectSocket(int family, platform::PlatformError *errPtr);
    void didConnect(int aConnectIndex);
    void didNotConnect(int aConnectIndex, const platform::PlatformError &error);
    void startConnectTimeout(double timeout);
    void endConnectTimeout();
    void doConnectTimeout();
    static void getInterfaceAddress4(QByteArray *interfaceAddr4Ptr, QByteArray *interfaceAddr6Ptr,
                                     const QString &interfaceDescription, quint16 port);
    bool resolveInterface(const QString &interface, quint16 port, QByteArray *address4, QByteArray *address6,
                          platform::PlatformError *errPtr) const;
    bool preAccept(platform::PlatformError *errPtr) const;
    bool acceptOnInterfaceNow(const QString &interface, quint16 port, platform::PlatformError *errPtr);
    bool listenOn(const QByteArray &interface4, QByteArray interface6, platform::PlatformError *errPtr);
    int createListeningSocket(const QByteArray &interfaceAddr, platform::PlatformError *errPtr) const;
    bool setupAcceptSource(int fd);
    void acceptPending(int parentSocketFD);
    bool doAccept(int parentSocketFD);
    void adoptAcceptedSocket(int childSocketFD, int family);
    bool setupReadAndWriteSourcesForNewlyConnectedSocket(int socketFD);
    void onReadEvent(std::int64_t bytesAvailable);
    void suspendReadSource();
    void resumeReadSource();
    void suspendWriteSource();
    void resumeWriteSource();
    void setSourceSuspended(const std::shared_ptr<platform::DispatchFdSource> &source, std::uint32_t suspendedFlag,
                            bool suspended);
    void maybeClose();
    void closeWithError(const platform::PlatformError &error);
    void closeDescriptors();
    int connectedFD() const;
    void requestDisconnectAfter(std::uint32_t disconnectFlags);

    // Reading (+Reading).
    void queueRead(std::shared_ptr<GCDAsyncReadPacket> packet);
    void maybeDequeueRead();
    void doReadData();
    std::size_t readFromPreBuffer(bool *done, platform::PlatformError *error);
    std::size_t readFromSocket(std::size_t estimate, bool *done, bool *waiting, platform::PlatformError *error);
    std::size_t takeReadBytes(std::size_t bytesRead, bool readIntoPreBuffer, bool *done,
                              platform::PlatformError *error);
    // The end of a read run: completion or progress, then close, end of stream or waiting.
    void finishReadRun(bool done, bool waiting, bool socketEOF, std::size_t totalBytesReadForCurrentRead,
                       const platform::PlatformError &error);
    void doReadEOF();
    void completeCurrentRead();

    // Writing (+Writing).
    void maybeDequeueWrite();
    void doWriteData();
    void completeCurrentWrite();

    // What tells the read half from the write half in the steps both take alike (see kReadHalf and
    // kWriteHalf). Made for GCDAsyncReadPacket and GCDAsyncWritePacket.
    template <typename Packet> struct Half
    {
        std::deque<std::shared_ptr<Packet>> GCDAsyncSocket::*queue;
        std::shared_ptr<Packet> GCDAsyncSocket::*current;
        std::shared_ptr<platform::DispatchTimer> GCDAsyncSocket::*timer;
        std::uint32_t startingTLSFlag;     // set while a TLS start waits in the half
        std::uint32_t pausedFlag;          // set while the delegate decides on more time
        std::uint32_t disconnectAfterFlag; // set when the socket closes after the half's last packet
        double (GCDAsyncSocketDelegate::*shouldTimeout)(GCDAsyncSocket *, long, double, std::size_t);
        void (GCDAsyncSocket::*maybeDequeue)(); // starts the next packet when none is under way
        void (GCDAsyncSocket::*moveBytes)();    // the run that carries out the packet under way
        void (GCDAsyncSocket::*suspendSource)(); // stops the half's readiness source firing
        platform::PlatformError (*timeoutError)();
    };
    static const Half<GCDAsyncReadPacket> kReadHalf;
    static const Half<GCDAsyncWritePacket> kWriteHalf;
    // Queues the packet on the socket queue, unless the socket has not started or takes no more.
    template <typename Packet> void enqueue(const Half<Packet> &half, std::shared_ptr<Packet> packet);
    // With no packet under way on a connected socket, makes the queue's first packet the one under
    // way: a TLS start marks the half and starts TLS, any other starts its timer and its run. With
    // the queue empty and the socket to close after the half's packets, closes it unless the other
    // half, likewise asked, still has packets. Answers whether the half stays idle and open.
    template <typename Packet, typename Other>
    bool startNextPacketOrClose(const Half<Packet> &half, const Half<Other> &other);
    // Whether the half has reached a TLS start: the handshake goes on once the other half has too,
    // until then the half's source is suspended.
    template <typename Packet, typename Other>
    bool waitsForTLS(const Half<Packet> &half, const Half<Other> &other);
    // Stops the timer of the packet under way and lets the packet go.
    template <typename Packet> void endCurrent(const Half<Packet> &half);
    template <typename Packet> void setupTimer(const Half<Packet> &half, double timeout);
    // The packet under way ran out of time: the half pauses and the delegate is asked for more.
    template <typename Packet> void doTimeout(const Half<Packet> &half);
    // A positive extension, while the packet is still under way, grows its timeout and its timer and
    // resumes the half; otherwise the socket closes with the half's timeout error.
    template <typename Packet>
    void doTimeoutWithExtension(const Half<Packet> &half, const std::shared_ptr<Packet> &packet, double extension);

    // A one-shot timer on the socket queue running the handler after the timeout.
    // ---- TLS (socket queue) ----
    void maybeStartTLS();
    void ssl_startTLS();
    bool applyTLSSettings(const QVariantMap &tlsSettings);
    void ssl_continueSSLHandshake();
    void flushSSLBuffers();
    std::int32_t sslReadWithBuffer(void *buffer, std::size_t *bufferLength);
    std::int32_t sslWriteWithBuffer(const void *buffer, std::size_t *bufferLength);
    static std::int32_t SSLReadFunction(void *connection, void *data, std::size_t *dataLength);
    static std::int32_t SSLWriteFunction(void *connection, const void *data, std::size_t *dataLength);
    std::size_t sslReadIntoTarget(char *target, std::size_t bytesToRead, bool *waiting,
                                  platform::PlatformError *error);
    std::size_t plainReadIntoTarget(char *target, std::size_t bytesToRead, bool *waiting,
                                    platform::PlatformError *error);
    std::size_t sslWriteCurrent(bool *waiting, platform::PlatformError *error);
    std::size_t plainWriteCurrent(bool *waiting, platform::PlatformError *error);
    void disposeSSL();

    std::shared_ptr<platform::DispatchTimer> startTimer(double timeout, std::function<void(GCDAsyncSocket &)> handler);
    // Cancels the timer, if any, and lets it go.
    static void cancelTimer(std::shared_ptr<platform::DispatchTimer> &timer);

    std::uint32_t m_flags = 0;

    int m_socket4FD = -1;
    int m_socket6FD = -1;
    // Each descriptor closes when its last holder lets go: the socket, its sources' cancel handlers
    // and a blocking connect still running on another queue.
    std::shared_ptr<platform::net::DescriptorCloser> m_socket4Closer;
    std::shared_ptr<platform::net::DescriptorCloser> m_socket6Closer;
    int m_connectIndex = 0;
    QByteArray m_connectInterface4;
    QByteArray m_connectInterface6;

    std::shared_ptr<platform::DispatchFdSource> m_accept4Source;
    std::shared_ptr<platform::DispatchFdSource> m_accept6Source;
    std::shared_ptr<platform::DispatchTimer> m_connectTimer;
    std::shared_ptr<platform::DispatchFdSource> m_readSource;
    std::shared_ptr<platform::DispatchFdSource> m_writeSource;
    std::shared_ptr<platform::DispatchTimer> m_readTimer;
    std::shared_ptr<platform::DispatchTimer> m_writeTimer;

    std::deque<std::shared_ptr<GCDAsyncReadPacket>> m_readQueue;
    std::deque<std::shared_ptr<GCDAsyncWritePacket>> m_writeQueue;
    std::shared_ptr<GCDAsyncReadPacket> m_currentRead;
    std::shared_ptr<GCDAsyncWritePacket> m_currentWrite;

    std::uint64_t m_socketFDBytesAvailable = 0;
    GCDAsyncSocketPreBuffer m_preBuffer{4096};

    std::unique_ptr<platform::crypto::SSLContext> m_sslContext;
    std::unique_ptr<GCDAsyncSocketPreBuffer> m_sslPreBuffer;
    std::size_t m_sslWriteCachedLength = 0;
    std::int32_t m_sslErrCode = 0;
};
