// XMPPStream: connecting by SRV, host name or peer-to-peer, and disconnecting.

#include "platform/dispatch/DispatchTimer.h"
#include "platform/foundation/Assert.h"
#include "push/XMPP/Authentication/XMPPSASLAuthentication.h"
#include "push/XMPP/Core/XMPPParser.h"
#include "push/XMPP/Core/XMPPStream+Private.h"

using platform::DispatchQueue;
using platform::PlatformError;

namespace {

constexpr double kSRVTimeoutSeconds = 30.0;
constexpr quint16 kDefaultXMPPPort = 5222;
constexpr char kAlreadyConnecting[] = "Attempting to connect while already connected or connecting.";
constexpr char kNotP2POperation[] = "Non P2P streams must use the connect: method";

void setError(PlatformError *errPtr, const PlatformError &error)
{
    if (errPtr != nullptr)
        *errPtr = error;
}

} // namespace

// ---- The callbacks of the socket and the resolver ----

void XMPPStream::Callbacks::socketDidConnectToHost(GCDAsyncSocket *sock, const QString &, quint16)
{
    if (const auto stream = m_stream.lock())
        stream->socketDidConnectToHost(sock);
}

void XMPPStream::Callbacks::socketDidDisconnect(GCDAsyncSocket *sock, const PlatformError &err)
{
    if (const auto stream = m_stream.lock())
        stream->socketDidDisconnect(sock, err);
}

void XMPPStream::Callbacks::srvResolverDidResolveRecords(XMPPSRVResolver *sender,
                                                         const std::vector<XMPPSRVRecord> &records)
{
    if (const auto stream = m_stream.lock())
        stream->srvResolverDidResolveRecords(sender, records);
}

void XMPPStream::Callbacks::srvResolverDidNotResolveDueToError(XMPPSRVResolver *sender, const PlatformError &error)
{
    if (const auto stream = m_stream.lock())
        stream->srvResolverDidNotResolveDueToError(sender, error);
}

// ---- Client connects ----

bool XMPPStream::connect(PlatformError *errPtr)
{
    return resultOnXmppQueue([&] { return connectNow(errPtr); });
}

bool XMPPStream::oldSchoolSecureConnect(PlatformError *errPtr)
{
    bool result = false;
    runOnXmppQueue([&] {
        result = connectNow(errPtr);
        // TLS then starts as soon as the socket connects.
        if (result)
            m_flags |= kIsSecure;
    });
    return result;
}

bool XMPPStream::connectNow(PlatformError *errPtr)
{
    if (m_state != XMPPStreamStateDisconnected) {
        setError(errPtr, streamError(XMPPStreamInvalidState, kAlreadyConnecting));
        return false;
    }
    if ((m_config & kP2PMode) != 0) {
        setError(errPtr, streamError(XMPPStreamInvalidType, "P2P streams must use either connectTo:withAddress: or "
                                                            "connectP2PWithSocket:."));
        return false;
    }
    if (!m_myJID_setByClient) {
        setError(errPtr, streamError(XMPPStreamInvalidProperty, "You must set myJID before calling connect."));
        return false;
    }
    notifyDelegates(XMPPStreamWillConnectOp, [](XMPPStreamDelegate &d, XMPPStream *s) { d.xmppStreamWillConnect(s); });
    if (m_hostName.isEmpty()) {
        m_state = XMPPStreamStateResolvingSRV;
        startSRVResolve();
        return true;
    }
    m_state = XMPPStreamStateConnecting;
    if (connectToHost(m_hostName, m_hostPort, errPtr))
        return true;
    m_state = XMPPStreamStateDisconnected;
    return false;
}

bool XMPPStream::connectToHost(const QString &host, quint16 port, PlatformError *errPtr)
{
    assertOnXmppQueue();
    if (!m_asyncSocket->connectToHost(host, port, errPtr))
        return false;
    resetByteCountsIfAsked();
    return true;
}

void XMPPStream::resetByteCountsIfAsked()
{
    if ((m_config & kResetByteCountPerConnection) == 0)
        return;
    m_numberOfBytesSent = 0;
    m_numberOfBytesReceived = 0;
}

// ---- SRV ----

void XMPPStream::startSRVResolve()
{
    m_srvResolver = XMPPSRVResolver::initWithdDelegate(m_callbacks.get(), m_xmppQueue);
    if (!m_srvDNSServers.isEmpty())
        m_srvResolver->setDNSServers(m_srvDNSServers);
    m_srvResults.clear();
    m_srvResultsIndex = 0;
    m_srvResolver->startWithSRVName(XMPPSRVResolver::srvNameFromXMPPDomain(m_myJID_setByClient->domain()),
                                    kSRVTimeoutSeconds);
}

void XMPPStream::srvResolverDidResolveRecords(XMPPSRVResolver *sender, const std::vector<XMPPSRVRecord> &records)
{
    if (sender != m_srvResolver.get())
        return;
    m_srvResults = records;
    m_srvResultsIndex = 0;
    m_state = XMPPStreamStateConnecting;
    tryNextSrvResult();
}

void XMPPStream::srvResolverDidNotResolveDueToError(XMPPSRVResolver *sender, const PlatformError &)
{
    if (sender != m_srvResolver.get())
        return;
    m_state = XMPPStreamStateConnecting;
    tryNextSrvResult();
}

void XMPPStream::tryNextSrvResult()
{
    assertOnXmppQueue();
    PlatformError error;
    for (; m_srvResultsIndex < m_srvResults.size(); ++m_srvResultsIndex) {
        const XMPPSRVRecord &record = m_srvResults[std::size_t(m_srvResultsIndex)];
        if (connectToHost(record.target(), record.port(), &error))
            return;
    }
    // The address may have been taken away since the connect began.
    if (!m_myJID_setByClient)
        error = streamError(XMPPStreamInvalidProperty, "You must set myJID before calling connect.");
    else if (connectToHost(m_myJID_setByClient->domain(), kDefaultXMPPPort, &error))
        return;
    m_state = XMPPStreamStateDisconnected;
    dropSRV();
    notifyDelegates(XMPPStreamDidDisconnectOp,
                    [error](XMPPStreamDelegate &d, XMPPStream *s) { d.xmppStreamDidDisconnect(s, error); });
}

void XMPPStream::dropSRV()
{
    if (m_srvResolver) {
        m_srvResolver->stop();
        m_srvResolver.reset();
    }
    m_srvResults.clear();
}

// ---- Peer-to-peer connects ----

bool XMPPStream::connectTo(const XMPPJID::Ptr &jid, const QByteArray &remoteAddr, PlatformError *errPtr)
{
    return resultOnXmppQueue([&] { return connectToNewP2PSocket(jid, remoteAddr, errPtr); });
}

bool XMPPStream::connectToNewP2PSocket(const XMPPJID::Ptr &jid, const QByteArray &remoteAddr, PlatformError *errPtr)
{
    if (m_state != XMPPStreamStateDisconnected) {
        setError(errPtr, streamError(XMPPStreamInvalidState, kAlreadyConnecting));
        return false;
    }
    if ((m_config & kP2PMode) == 0) {
        setError(errPtr, streamError(XMPPStreamInvalidType, kNotP2POperation));
        return false;
    }
    HM_ASSERT(!m_asyncSocket, QStringLiteral("Forgot to release the previous asyncSocket instance."));
    m_flags |= kP2PInitiator;
    m_remoteJID = jid;
    notifyDelegates(XMPPStreamWillConnectOp, [](XMPPStreamDelegate &d, XMPPStream *s) { d.xmppStreamWillConnect(s); });
    m_state = XMPPStreamStateConnecting;
    m_asyncSocket = GCDAsyncSocket::create(m_callbacks.get(), m_xmppQueue);
    if (!m_asyncSocket->connectToAddress(remoteAddr, errPtr)) {
        m_state = XMPPStreamStateDisconnected;
        return false;
    }
    resetByteCountsIfAsked();
    return true;
}

bool XMPPStream::connectP2PWithSocket(const std::shared_ptr<GCDAsyncSocket> &acceptedSocket, PlatformError *errPtr)
{
    bool result = false;
    runOnXmppQueue([&] {
        if (m_state != XMPPStreamStateDisconnected)
            setError(errPtr, streamError(XMPPStreamInvalidState, kAlreadyConnecting));
        else if ((m_config & kP2PMode) == 0)
            setError(errPtr, streamError(XMPPStreamInvalidType, kNotP2POperation));
        else if (!acceptedSocket)
            setError(errPtr, streamError(XMPPStreamInvalidParameter, "Parameter acceptedSocket is nil."));
        else
            result = true;
        if (result)
            adoptP2PSocket(acceptedSocket);
    });
    return result;
}

void XMPPStream::adoptP2PSocket(const std::shared_ptr<GCDAsyncSocket> &acceptedSocket)
{
    HM_ASSERT(!m_asyncSocket, QStringLiteral("Forgot to release the previous asyncSocket instance."));
    m_flags &= std::uint8_t(~kP2PInitiator);
    m_asyncSocket = acceptedSocket;
    m_asyncSocket->synchronouslySetDelegate(m_callbacks.get(), m_xmppQueue);
    notifyDelegates(XMPPStreamSocketDidConnectOp, [socket = m_asyncSocket](XMPPStreamDelegate &d, XMPPStream *s) {
        d.xmppStreamSocketDidConnect(s, socket.get());
    });
    m_state = XMPPStreamStateConnecting;
    resetByteCountsIfAsked();
    startNegotiation();
}

// ---- The socket's reports ----

void XMPPStream::socketDidConnectToHost(GCDAsyncSocket *sock)
{
    if (sock != m_asyncSocket.get())
        return;
    notifyDelegates(XMPPStreamSocketDidConnectOp, [socket = m_asyncSocket](XMPPStreamDelegate &d, XMPPStream *s) {
        d.xmppStreamSocketDidConnect(s, socket.get());
    });
    dropSRV();
    enableTcpKeepAlive();
    // An old-school secure connection speaks TLS from its first byte.
    if ((m_config & kP2PMode) == 0 && (m_flags & kIsSecure) != 0)
        startTLS();
    else
        startNegotiation();
}

void XMPPStream::socketDidDisconnect(GCDAsyncSocket *sock, const PlatformError &err)
{
    if (sock != m_asyncSocket.get())
        return;
    if (!m_srvResults.empty() && ++m_srvResultsIndex < m_srvResults.size()) {
        tryNextSrvResult();
        return;
    }
    m_state = XMPPStreamStateDisconnected;
    m_myJID_setByServer.reset();
    m_myPresence.reset();
    m_rootElement.reset();
    dropSRV();
    m_flags = 0;
    m_auth.reset();
    if (m_parser) {
        m_parser->setDelegate(nullptr, nullptr);
        m_parser.reset();
    }
    if (m_keepAliveTimer) {
        m_keepAliveTimer->cancel();
        m_keepAliveTimer.reset();
    }
    failPendingReceipts();
    PlatformError error = err;
    if (!m_parserError.isNull()) {
        error = m_parserError;
        m_parserError = PlatformError();
    }
    notifyDelegates(XMPPStreamDidDisconnectOp,
                    [error](XMPPStreamDelegate &d, XMPPStream *s) { d.xmppStreamDidDisconnect(s, error); });
}

// ---- Disconnecting ----

void XMPPStream::disconnect()
{
    runOnXmppQueue([this] {
        if (beginDisconnect())
            m_asyncSocket->disconnect();
    });
}

void XMPPStream::disconnectAfterSending()
{
    postOnXmppQueue([](XMPPStream &stream) {
        if (!stream.beginDisconnect())
            return;
        const QByteArray closing = QByteArrayLiteral("</stream:stream>");
        stream.m_numberOfBytesSent += std::uint64_t(closing.size());
        stream.m_asyncSocket->writeData(closing, -1, TAG_XMPP_WRITE_STREAM);
        stream.m_asyncSocket->disconnectAfterWriting();
    });
}

// Answers whether the socket is to be closed: not in state 0, nor during the SRV lookup, which ends
// here with a disconnect report without an error.
bool XMPPStream::beginDisconnect()
{
    if (m_state == XMPPStreamStateDisconnected)
        return false;
    notifyDelegates(XMPPStreamWasToldToDisconnectOp,
                    [](XMPPStreamDelegate &d, XMPPStream *s) { d.xmppStreamWasToldToDisconnect(s); });
    if (m_state == XMPPStreamStateResolvingSRV) {
        dropSRV();
        m_state = XMPPStreamStateDisconnected;
        notifyDelegates(XMPPStreamDidDisconnectOp,
                        [](XMPPStreamDelegate &d, XMPPStream *s) { d.xmppStreamDidDisconnect(s, PlatformError()); });
        return false;
    }
    // A disconnect asked for while an SRV target is being tried ends the attempt: the socket's report
    // must not move on to the next target.
    m_srvResults.clear();
    return true;
}
