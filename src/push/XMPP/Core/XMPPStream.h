#pragma once

#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/PlatformError.h"
#include "push/XMPP/Core/XMPPJID.h"
#include "push/XMPP/Core/XMPPStreamDelegate.h"
#include "push/XMPP/Utilities/GCDMulticastDelegate.h"

#include <QByteArray>
#include <QChar>
#include <QHash>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <deque>

class GCDAsyncSocket;
class XMPPElementReceipt;
class XMPPIQ;
class XMPPMessage;
class XMPPModule;
class XMPPParser;
class XMPPPresence;
class XMPPSASLAuthentication;
class XMPPSRVRecord;
class XMPPSRVResolver;

namespace platform {
class DispatchTimer;
class NSXMLElement;
}

inline constexpr char XMPPStreamErrorDomain[] = "XMPPStreamErrorDomain";
inline constexpr char XMPPStreamDidChangeMyJIDNotification[] = "XMPPStreamDidChangeMyJID";

enum XMPPStreamState : std::int32_t {
    XMPPStreamStateDisconnected = 0,
    XMPPStreamStateResolvingSRV = 1,
    XMPPStreamStateConnecting = 2,
    XMPPStreamStateOpening = 3,
    XMPPStreamStateNegotiating = 4,
    XMPPStreamStateStartTLSRequested = 5,
    XMPPStreamStateSecuring = 6,
    XMPPStreamStatePostNegotiation = 7,
    XMPPStreamStateRegistering = 8,
    XMPPStreamStateAuthenticating = 9,
    XMPPStreamStateBinding = 10,
    XMPPStreamStateStartingSession = 11,
    XMPPStreamStateConnected = 12,
};

enum XMPPStreamErrorCode : qint64 {
    XMPPStreamInvalidType = 0,
    XMPPStreamInvalidState = 1,
    XMPPStreamInvalidProperty = 2,
    XMPPStreamInvalidParameter = 3,
    XMPPStreamUnsupportedAction = 4,
};

// The socket tags of the stream's reads and writes.
enum XMPPStreamTag : long {
    TAG_XMPP_READ_START = 100,
    TAG_XMPP_READ_STREAM = 101,
    TAG_XMPP_WRITE_START = 200,
    TAG_XMPP_WRITE_STREAM = 201,
    TAG_XMPP_WRITE_RECEIPT = 202,
};

// A module class as the registry matches it: its name and a test for instances of it or of its
// subclasses.
struct XMPPModuleClass
{
    QString name;
    std::function<bool(const XMPPModule &)> isKindOf;

    template <typename T> static XMPPModuleClass of();
};

// The class name of a module class or of an object's dynamic class.
QString xmppClassName(const std::type_info &type);

template <typename T> XMPPModuleClass XMPPModuleClass::of()
{
    return {xmppClassName(typeid(T)),
            [](const XMPPModule &module) { return dynamic_cast<const T *>(&module) != nullptr; }};
}

// The client end of one XMPP stream (or one end of a peer-to-peer stream): finds the server by SRV or
// takes a host name, connects its socket and reports every step to its delegates, each on its own
// queue. Every field belongs to the stream's serial queue xmppQueue (the tag apart): public
// operations hop onto it, synchronously when they answer something or must finish first, else
// asynchronously, and run at once when already on it. Shared between queues (std::shared_ptr); the
// code stands in XMPPStream.cpp (set-up, accessors, delegates), +Connecting and +Modules.
class XMPPStream final : public std::enable_shared_from_this<XMPPStream>
{
    struct PrivateTag
    {
        explicit PrivateTag() = default;
    };
    class Callbacks;
    class UtilityRunLoop;

public:
    // A client-mode stream.
    static std::shared_ptr<XMPPStream> init();
    // A peer-to-peer stream from the given own address; its socket comes with the connect.
    static std::shared_ptr<XMPPStream> initP2PFrom(const XMPPJID::Ptr &myJID);
    XMPPStream(PrivateTag, bool isP2P, const XMPPJID::Ptr &myJID);
    // Tells no delegate: the socket loses its delegate and closes, the utility thread stops.
    ~XMPPStream();
    XMPPStream(const XMPPStream &) = delete;
    XMPPStream &operator=(const XMPPStream &) = delete;

    // ---- Accessors ----
    QString hostName() const;
    void setHostName(const QString &newHostName);
    quint16 hostPort() const;
    void setHostPort(quint16 newHostPort);
    XMPPJID::Ptr myJID() const;
    void setMyJID(const XMPPJID::Ptr &newMyJID) { setMyJID_setByClient(newMyJID); }
    void setMyJID_setByClient(const XMPPJID::Ptr &newMyJID);
    void setMyJID_setByServer(const XMPPJID::Ptr &newMyJID);
    XMPPJID::Ptr remoteJID() const;
    std::shared_ptr<XMPPPresence> myPresence() const;
    // Off xmppQueue a copy, on it the element itself.
    std::shared_ptr<platform::NSXMLElement> rootElement() const;
    float serverXmppStreamVersionNumber() const;
    double keepAliveInterval() const;
    void setKeepAliveInterval(double interval);
    QChar keepAliveWhitespaceCharacter() const;
    void setKeepAliveWhitespaceCharacter(QChar keepAliveChar);
    std::uint64_t numberOfBytesSent() const;
    std::uint64_t numberOfBytesReceived() const;
    bool resetByteCountPerConnection() const;
    void setResetByteCountPerConnection(bool flag);
    bool isP2P() const;
    bool isP2PInitiator() const;
    bool isP2PRecipient() const;
    bool isSecure() const;
    void setIsSecure(bool flag);
    bool isAuthenticated() const;
    void setIsAuthenticated(bool flag);
    // On xmppQueue only.
    bool didStartNegotiation() const;
    void setDidStartNegotiation(bool flag);
    XMPPStreamState state() const;
    bool isDisconnected() const;
    bool isConnected() const;
    QVariant tag() const;
    void setTag(const QVariant &tag);
    const std::shared_ptr<platform::DispatchQueue> &xmppQueue() const { return m_xmppQueue; }
    // The utility thread's id; its run loop takes blocks through performOnUtilityThread.
    std::thread::id xmppUtilityThread() const;
    bool hasXmppUtilityRunLoop() const;
    // Ours: runs the block on the utility thread's run loop, without waiting.
    void performOnUtilityThread(std::function<void()> block);
    static QString generateUUID();
    // Ours: the DNS servers the SRV lookup asks ("host:port" entries separated by commas; empty:
    // the system's).
    void setSRVDNSServers(const QString &servers);

    // ---- Delegates ----
    // Held weakly; asynchronous.
    void addDelegate(const std::shared_ptr<XMPPStreamDelegate> &delegate,
                     std::shared_ptr<platform::DispatchQueue> delegateQueue);
    // Held unowned, for owners that are not shared: the owner removes itself before it goes away.
    void addUnownedDelegate(XMPPStreamDelegate *delegate, std::shared_ptr<platform::DispatchQueue> delegateQueue);
    // Synchronous; a null queue removes the delegate from every queue.
    void removeDelegate(const GCDDelegate *delegate, const platform::DispatchQueue *delegateQueue);
    void removeDelegate(const GCDDelegate *delegate) { removeDelegate(delegate, nullptr); }

    // ---- Connecting and disconnecting ----
    // Each answers whether the attempt started; an error (domain XMPPStreamErrorDomain, or the socket's)
    // goes to errPtr when given.
    bool connect(platform::PlatformError *errPtr = nullptr);
    bool oldSchoolSecureConnect(platform::PlatformError *errPtr = nullptr);
    bool connectTo(const XMPPJID::Ptr &jid, const QByteArray &remoteAddr, platform::PlatformError *errPtr = nullptr);
    bool connectP2PWithSocket(const std::shared_ptr<GCDAsyncSocket> &acceptedSocket,
                              platform::PlatformError *errPtr = nullptr);
    void disconnect();
    void disconnectAfterSending();

    // ---- Negotiation (+Negotiation) ----
    // Feature tests: from state 7 on they read the server's feature list, below it they answer no.
    bool supportsStartTLS() const;
    bool supportsInBandRegistration() const;
    QStringList supportedAuthenticationMechanisms() const;
    bool supportsAuthenticationMechanism(const QString &mechanismType) const;
    bool supportsDigestMD5Authentication() const;
    bool supportsPlainAuthentication() const;
    bool supportsDeprecatedPlainAuthentication() const;
    bool supportsDeprecatedDigestAuthentication() const;
    // Each answers whether its request was sent; else the error (XMPPStreamErrorDomain) goes to errPtr.
    bool secureConnection(platform::PlatformError *errPtr = nullptr);
    bool registerWithPassword(const QString &password, platform::PlatformError *errPtr = nullptr);
    bool authenticate(const std::shared_ptr<XMPPSASLAuthentication> &auth, platform::PlatformError *errPtr = nullptr);
    bool authenticateWithPassword(const QString &password, platform::PlatformError *errPtr = nullptr);
    // For the mechanisms: written only while authenticating.
    void sendAuthElement(const std::shared_ptr<platform::NSXMLElement> &element);

    // ---- Traffic (+Traffic) ----
    // Written only in state 12; a null element is ignored.
    void sendElement(const std::shared_ptr<platform::NSXMLElement> &element);
    // With a receipt place: synchronous, and the receipt (null when not connected) tells whether the
    // element was written.
    void sendElement(const std::shared_ptr<platform::NSXMLElement> &element,
                     std::shared_ptr<XMPPElementReceipt> *receiptPtr);
    void resendMyPresence();
    // Treats the element as read from the server (state 12 only).
    void injectElement(const std::shared_ptr<platform::NSXMLElement> &element);

    // ---- Modules ----
    void registerModule(const std::shared_ptr<XMPPModule> &module);
    void unregisterModule(const std::shared_ptr<XMPPModule> &module);
    void autoAddDelegate(const std::shared_ptr<GCDDelegate> &delegate,
                         std::shared_ptr<platform::DispatchQueue> delegateQueue, const XMPPModuleClass &aClass);
    // Without a class (null isKindOf), from every module and entry.
    void removeAutoDelegate(const GCDDelegate *delegate, const platform::DispatchQueue *delegateQueue,
                            const XMPPModuleClass &aClass);
    void enumerateModulesWithBlock(const std::function<void(XMPPModule *module, std::size_t idx, bool *stop)> &block);

private:
    void runOnXmppQueue(const std::function<void()> &block) const;
    void postOnXmppQueue(std::function<void(XMPPStream &)> block);
    // The result of a call run on the stream's queue, from any thread.
    template <typename Call> auto resultOnXmppQueue(Call call) const;
    // Sets or clears a bit of the flags or the config, on the stream's queue.
    void postBitChange(std::uint8_t XMPPStream::*bits, std::uint8_t bit, bool isSet);
    void assertOnXmppQueue() const;
    template <typename Call> void notifyDelegates(XMPPStreamDelegateOperation operation, Call call);
    void postMyJIDChange();
    static void notifyModule(XMPPStream &stream, XMPPStreamDelegateOperation operation,
                             const std::shared_ptr<XMPPModule> &module);
    static platform::PlatformError streamError(XMPPStreamErrorCode code, const char *text);

    // Connecting (+Connecting); on xmppQueue.
    bool connectNow(platform::PlatformError *errPtr);
    bool connectToHost(const QString &host, quint16 port, platform::PlatformError *errPtr);
    bool connectToNewP2PSocket(const XMPPJID::Ptr &jid, const QByteArray &remoteAddr, platform::PlatformError *errPtr);
    void adoptP2PSocket(const std::shared_ptr<GCDAsyncSocket> &acceptedSocket);
    void startSRVResolve();
    void srvResolverDidResolveRecords(XMPPSRVResolver *sender, const std::vector<XMPPSRVRecord> &records);
    void srvResolverDidNotResolveDueToError(XMPPSRVResolver *sender, const platform::PlatformError &error);
    void tryNextSrvResult();
    void resetByteCountsIfAsked();
    void socketDidConnectToHost(GCDAsyncSocket *sock);
    void socketDidDisconnect(GCDAsyncSocket *sock, const platform::PlatformError &err);
    bool beginDisconnect();
    void dropSRV();
    void enableTcpKeepAlive();
    void failPendingReceipts();

    // Negotiation (+Negotiation); on xmppQueue.
    void startNegotiation();
    void sendOpeningNegotiation();
    QString openingHeader() const;
    void parserDidReadRoot(XMPPParser *sender, const std::shared_ptr<platform::NSXMLElement> &root);
    void parserDidReadElement(XMPPParser *sender, const std::shared_ptr<platform::NSXMLElement> &element);
    void handleStreamFeatures();
    void sendStartTLSRequest();
    void startTLS();
    void continueStartTLS(QVariantMap settings);
    void handleStartTLSResponse(const std::shared_ptr<platform::NSXMLElement> &response);
    void handleRegistration(const std::shared_ptr<platform::NSXMLElement> &response);
    void handleAuth(const std::shared_ptr<platform::NSXMLElement> &authResponse);
    void handleBinding(const std::shared_ptr<platform::NSXMLElement> &response);
    void askForAlternativeResource();
    void continueHandleBinding(const QString &alternativeResource);
    void handleStartSessionResponse(const std::shared_ptr<platform::NSXMLElement> &response);
    void sendBindRequest(const QString &resource);
    bool startAuthentication(const std::shared_ptr<XMPPSASLAuthentication> &auth, platform::PlatformError *errPtr);
    std::shared_ptr<platform::NSXMLElement> streamFeatures() const;
    // The feature list's child of that name and namespace, from state 7 on; null below it.
    std::shared_ptr<platform::NSXMLElement> offeredFeature(const QString &name, const QString &xmlns) const;
    // Whether the answer to the older login's field query offers the field, from state 7 on.
    bool legacyAuthQueryHolds(const QString &field) const;
    void notifyDidConnect();
    void notifyDidAuthenticate();
    void notifyDidNotAuthenticate(const std::shared_ptr<platform::NSXMLElement> &element);
    void notifyDidReceiveError(const std::shared_ptr<platform::NSXMLElement> &element);

    // Traffic (+Traffic); on xmppQueue.
    void writeElement(const std::shared_ptr<platform::NSXMLElement> &element, long tag,
                      const std::shared_ptr<XMPPElementReceipt> &receipt);
    void sendElementWithTag(const std::shared_ptr<platform::NSXMLElement> &element, long tag,
                            const std::shared_ptr<XMPPElementReceipt> &receipt);
    void sendIQ(const std::shared_ptr<XMPPIQ> &iq, long tag, const std::shared_ptr<XMPPElementReceipt> &receipt);
    void sendMessage(const std::shared_ptr<XMPPMessage> &message, long tag,
                     const std::shared_ptr<XMPPElementReceipt> &receipt);
    void sendPresence(const std::shared_ptr<XMPPPresence> &presence, long tag,
                      const std::shared_ptr<XMPPElementReceipt> &receipt);
    void receiveElement(const std::shared_ptr<platform::NSXMLElement> &element);
    void receiveIQ(const std::shared_ptr<XMPPIQ> &iq);
    void receiveMessage(const std::shared_ptr<XMPPMessage> &message);
    void receivePresence(const std::shared_ptr<XMPPPresence> &presence);
    void continueReceiveIQ(const std::shared_ptr<XMPPIQ> &iq);
    void answerUnclaimedIQ(const std::shared_ptr<XMPPIQ> &iq);
    // A delegate call that tells of one stanza.
    template <typename Stanza>
    using StanzaNotice = void (XMPPStreamDelegate::*)(XMPPStream *, const std::shared_ptr<Stanza> &);
    template <typename Stanza>
    void notifyStanza(XMPPStreamDelegateOperation operation, StanzaNotice<Stanza> notice,
                      const std::shared_ptr<Stanza> &stanza);
    template <typename Stanza, typename Ask>
    void runFilterChain(XMPPStreamDelegateOperation operation, const std::shared_ptr<platform::DispatchQueue> &chainQueue,
                        std::shared_ptr<Stanza> stanza, Ask ask, std::function<void(XMPPStream &, std::shared_ptr<Stanza>)> continuation,
                        std::function<void()> dropped);
    // Sends one stanza through its kind's filter chain (willSend asked on chainQueue), writes what the
    // filters let through and tells the delegates with didSend; a dropped stanza fails its receipt.
    template <typename Stanza, typename Ask>
    void sendStanza(std::shared_ptr<Stanza> stanza, long tag, const std::shared_ptr<XMPPElementReceipt> &receipt,
                    const std::shared_ptr<platform::DispatchQueue> &chainQueue, XMPPStreamDelegateOperation willSend,
                    Ask ask, XMPPStreamDelegateOperation didSend, StanzaNotice<Stanza> notice);
    void keepBroadcastPresence(const std::shared_ptr<XMPPPresence> &presence);
    // Passes one received stanza through its kind's filter chain (willReceive asked on chainQueue) and
    // tells the delegates of what the filters let through with didReceive.
    template <typename Stanza, typename Ask>
    void receiveStanza(std::shared_ptr<Stanza> stanza, const std::shared_ptr<platform::DispatchQueue> &chainQueue,
                       XMPPStreamDelegateOperation willReceive, Ask ask, XMPPStreamDelegateOperation didReceive,
                       StanzaNotice<Stanza> notice);
    void socketDidReadData(GCDAsyncSocket *sock, const QByteArray &data);
    void socketDidWriteDataWithTag(GCDAsyncSocket *sock, long tag);
    void socketDidSecure(GCDAsyncSocket *sock);
    void parserDidParseData(XMPPParser *sender);
    void parserDidEnd(XMPPParser *sender);
    void parserDidFail(XMPPParser *sender, const platform::PlatformError &error);
    void readNext();
    void setupKeepAliveTimer();
    void keepAlive();
    static double now();

    // The queues: the stream's own, then those of the filter chains and the wait on IQ answers.
    const std::shared_ptr<platform::DispatchQueue> m_xmppQueue;
    const std::shared_ptr<platform::DispatchQueue> m_willSendIqQueue;
    const std::shared_ptr<platform::DispatchQueue> m_willSendMessageQueue;
    const std::shared_ptr<platform::DispatchQueue> m_willSendPresenceQueue;
    const std::shared_ptr<platform::DispatchQueue> m_willReceiveIqQueue;
    const std::shared_ptr<platform::DispatchQueue> m_willReceiveMessageQueue;
    const std::shared_ptr<platform::DispatchQueue> m_willReceivePresenceQueue;
    const std::shared_ptr<platform::DispatchQueue> m_didReceiveIqQueue;

    GCDMulticastDelegate m_multicastDelegate;
    XMPPStreamState m_state = XMPPStreamStateDisconnected;
    std::shared_ptr<GCDAsyncSocket> m_asyncSocket;
    std::uint64_t m_numberOfBytesSent = 0;
    std::uint64_t m_numberOfBytesReceived = 0;
    platform::PlatformError m_parserError;
    std::uint8_t m_flags = 0;
    std::uint8_t m_config = 0;
    QString m_hostName;
    quint16 m_hostPort = 5222;
    XMPPJID::Ptr m_myJID_setByClient;
    XMPPJID::Ptr m_myJID_setByServer;
    XMPPJID::Ptr m_remoteJID;
    std::shared_ptr<XMPPPresence> m_myPresence;
    std::shared_ptr<platform::NSXMLElement> m_rootElement;
    double m_keepAliveInterval = 300.0;
    QByteArray m_keepAliveData = QByteArrayLiteral(" ");
    std::vector<std::shared_ptr<XMPPModule>> m_registeredModules;
    QHash<QString, std::shared_ptr<GCDMulticastDelegate>> m_autoDelegateDict;
    std::shared_ptr<XMPPSRVResolver> m_srvResolver;
    std::vector<XMPPSRVRecord> m_srvResults;
    std::uint64_t m_srvResultsIndex = 0;
    QString m_srvDNSServers;
    // The socket's and the resolver's delegate: it reaches the stream through a weak pointer, and
    // outlives the stream until every callback already queued on xmppQueue has run.
    std::shared_ptr<Callbacks> m_callbacks;
    // Every parser of the stream runs on this one queue, so that clearing a parser's delegate there
    // is followed by no further event of it.
    const std::shared_ptr<platform::DispatchQueue> m_parserQueue;
    std::shared_ptr<XMPPParser> m_parser;
    std::shared_ptr<XMPPSASLAuthentication> m_auth;
    // The receipts of elements handed to the socket, in the order of their writes.
    std::deque<std::shared_ptr<XMPPElementReceipt>> m_receipts;
    std::shared_ptr<platform::DispatchTimer> m_keepAliveTimer;
    double m_lastSendReceiveTime = 0;
    std::shared_ptr<UtilityRunLoop> m_utilityRunLoop;
    std::thread::id m_utilityThreadId;

    mutable std::mutex m_tagMutex;
    QVariant m_userTag;
};
