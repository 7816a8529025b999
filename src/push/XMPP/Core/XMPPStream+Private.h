#pragma once

// What the stream's files share: its callback object for the socket and the SRV resolver, its utility
// run loop and the delegate posting helper.

#include "push/CocoaAsyncSocket/GCDAsyncSocket.h"
#include "push/Utilities/QueueHops.h"
#include "push/Utilities/XMPPSRVResolver.h"
#include "push/XMPP/Core/XMPPParserDelegate.h"
#include "push/XMPP/Core/XMPPStream.h"

#include <condition_variable>
#include <deque>

// The bits of the stream's flags and config.
enum : std::uint8_t {
    kP2PInitiator = 1 << 0,
    kIsSecure = 1 << 1,
    kIsAuthenticated = 1 << 2,
    kDidStartNegotiation = 1 << 3,
};

enum : std::uint8_t {
    kP2PMode = 1 << 0,
    kResetByteCountPerConnection = 1 << 1,
};

// The socket's, the SRV resolver's and the parsers' delegate. All hold their delegate as a plain
// pointer and call it on xmppQueue; this object reaches the stream only while the stream still lives.
class XMPPStream::Callbacks final : public GCDAsyncSocketDelegate,
                                    public XMPPSRVResolverDelegate,
                                    public XMPPParserDelegate
{
public:
    explicit Callbacks(std::weak_ptr<XMPPStream> stream) : m_stream(std::move(stream)) {}

    void socketDidConnectToHost(GCDAsyncSocket *sock, const QString &host, quint16 port) override;
    void socketDidDisconnect(GCDAsyncSocket *sock, const platform::PlatformError &err) override;
    void socketDidReadData(GCDAsyncSocket *sock, const QByteArray &data, long tag) override;
    void socketDidWriteDataWithTag(GCDAsyncSocket *sock, long tag) override;
    void socketDidSecure(GCDAsyncSocket *sock) override;
    void xmppParserDidReadRoot(XMPPParser *sender, const std::shared_ptr<platform::NSXMLElement> &root) override;
    void xmppParserDidReadElement(XMPPParser *sender, const std::shared_ptr<platform::NSXMLElement> &element) override;
    void xmppParserDidEnd(XMPPParser *sender) override;
    void xmppParserDidFail(XMPPParser *sender, const platform::PlatformError &error) override;
    void xmppParserDidParseData(XMPPParser *sender) override;
    void srvResolverDidResolveRecords(XMPPSRVResolver *sender, const std::vector<XMPPSRVRecord> &records) override;
    void srvResolverDidNotResolveDueToError(XMPPSRVResolver *sender, const platform::PlatformError &error) override;

private:
    template <typename Work> void withStream(Work work)
    {
        if (const auto stream = m_stream.lock())
            work(*stream);
    }

    const std::weak_ptr<XMPPStream> m_stream;
};

// The run loop of the stream's utility thread: runs the blocks performed on it, in order, until it is
// stopped. It keeps no reference to the stream. Thread-safe.
class XMPPStream::UtilityRunLoop final
{
public:
    void perform(std::function<void()> block);
    // Ends the loop once the blocks before it have run.
    void stop();
    // The thread's body.
    void run();

private:
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<std::function<void()>> m_blocks;
    bool m_isCancelled = false;
};

// Sets or clears one bit of a flag byte.
inline void setBit(std::uint8_t &bits, std::uint8_t bit, bool isSet)
{
    bits = isSet ? std::uint8_t(bits | bit) : std::uint8_t(bits & ~bit);
}

template <typename Call> auto XMPPStream::resultOnXmppQueue(Call call) const
{
    return queuehops::resultOn(*m_xmppQueue, std::move(call));
}

template <typename Call> void XMPPStream::notifyDelegates(XMPPStreamDelegateOperation operation, Call call)
{
    // The posted calls keep the stream alive until they have run.
    m_multicastDelegate.invoke<XMPPStreamDelegate>(
        operation, [self = shared_from_this(), call = std::move(call)](XMPPStreamDelegate &delegate) {
            call(delegate, self.get());
        });
}

// The namespaces of the negotiation.
namespace xmppns {
inline const QString kJabberClient = QStringLiteral("jabber:client");
inline const QString kStreams = QStringLiteral("http://etherx.jabber.org/streams");
inline const QString kTLS = QStringLiteral("urn:ietf:params:xml:ns:xmpp-tls");
inline const QString kSASL = QStringLiteral("urn:ietf:params:xml:ns:xmpp-sasl");
inline const QString kBind = QStringLiteral("urn:ietf:params:xml:ns:xmpp-bind");
inline const QString kSession = QStringLiteral("urn:ietf:params:xml:ns:xmpp-session");
inline const QString kStanzas = QStringLiteral("urn:ietf:params:xml:ns:xmpp-stanzas");
inline const QString kRegisterFeature = QStringLiteral("http://jabber.org/features/iq-register");
inline const QString kRegister = QStringLiteral("jabber:iq:register");
inline const QString kLegacyAuth = QStringLiteral("jabber:iq:auth");
} // namespace xmppns
