// XMPPStream: the opening, the feature list, STARTTLS, registration, authentication, binding and the
// session.

#include "foundation/Lumberjack/DDLog.h"
#include "platform/foundation/Assert.h"
#include "push/XMPP/Authentication/XMPPSASLAuthentication.h"
#include "push/XMPP/Core/XMPPIQ.h"
#include "push/XMPP/Core/XMPPParser.h"
#include "push/XMPP/Core/XMPPStream+Private.h"
#include "push/XMPP/Utilities/NSXMLElement+XMPP.h"
#include "sync/HMSyncController.h"

using platform::DispatchQueue;
using platform::NSXMLElement;
using platform::PlatformError;

namespace {

constexpr double kOpeningReadTimeout = 10.0;
constexpr char kWaitUntilConnected[] = "Please wait until the stream is connected.";

void setError(PlatformError *errPtr, const PlatformError &error)
{
    if (errPtr != nullptr)
        *errPtr = error;
}

} // namespace

// Every iq carries an id (servers refuse requests without one).
XMPPIQ negotiationIQ(const QString &type, const std::shared_ptr<NSXMLElement> &child)
{
    return XMPPIQ::iqWithType(type, XMPPStream::generateUUID(), child);
}

// ---- The parsers' reports ----

void XMPPStream::Callbacks::xmppParserDidReadRoot(XMPPParser *sender, const std::shared_ptr<NSXMLElement> &root)
{
    withStream([&](XMPPStream &stream) { stream.parserDidReadRoot(sender, root); });
}

void XMPPStream::Callbacks::xmppParserDidReadElement(XMPPParser *sender, const std::shared_ptr<NSXMLElement> &element)
{
    withStream([&](XMPPStream &stream) { stream.parserDidReadElement(sender, element); });
}

void XMPPStream::Callbacks::xmppParserDidEnd(XMPPParser *sender)
{
    withStream([&](XMPPStream &stream) { stream.parserDidEnd(sender); });
}

void XMPPStream::Callbacks::xmppParserDidFail(XMPPParser *sender, const PlatformError &error)
{
    withStream([&](XMPPStream &stream) { stream.parserDidFail(sender, error); });
}

void XMPPStream::Callbacks::xmppParserDidParseData(XMPPParser *sender)
{
    withStream([&](XMPPStream &stream) { stream.parserDidParseData(sender); });
}

// ---- The opening ----

void XMPPStream::startNegotiation()
{
    assertOnXmppQueue();
    HM_ASSERT(!didStartNegotiation(), QStringLiteral("Invoked after initial negotiation has started"));
    sendOpeningNegotiation();
    notifyDelegates(XMPPStreamDidStartNegotiationOp,
                    [](XMPPStreamDelegate &d, XMPPStream *s) { d.xmppStreamDidStartNegotiation(s); });
    m_asyncSocket->readDataWithTimeout(kOpeningReadTimeout, TAG_XMPP_READ_START);
}

void XMPPStream::sendOpeningNegotiation()
{
    assertOnXmppQueue();
    if (!didStartNegotiation()) {
        const QByteArray declaration = QByteArrayLiteral("<?xml version='1.0'?>");
        m_asyncSocket->writeData(declaration, -1, TAG_XMPP_WRITE_START);
        m_numberOfBytesSent += std::uint64_t(declaration.size());
        setDidStartNegotiation(true);
    }
    // A fresh parser for every opening; the old one's later reports are not wanted.
    if (m_parser)
        m_parser->setDelegate(nullptr, nullptr);
    m_parser = XMPPParser::create(m_callbacks.get(), m_xmppQueue, m_parserQueue);
    const QByteArray header = openingHeader().toUtf8();
    m_asyncSocket->writeData(header, -1, TAG_XMPP_WRITE_START);
    m_numberOfBytesSent += std::uint64_t(header.size());
    m_state = XMPPStreamStateOpening;
}

QString XMPPStream::openingHeader() const
{
    const QString head = QStringLiteral("<stream:stream xmlns='%1' xmlns:stream='%2' version='1.0'")
                             .arg(xmppns::kJabberClient, xmppns::kStreams);
    const auto withTo = [&](const QString &to) { return head + QStringLiteral(" to='%1'>").arg(to); };
    if ((m_config & kP2PMode) == 0) {
        if (m_myJID_setByClient)
            return withTo(m_myJID_setByClient->domain());
        return m_hostName.isEmpty() ? head + QLatin1Char('>') : withTo(m_hostName);
    }
    if (m_myJID_setByClient && m_remoteJID)
        return head + QStringLiteral(" from='%1' to='%2'>").arg(m_myJID_setByClient->bare(), m_remoteJID->bare());
    if (m_myJID_setByClient)
        return head + QStringLiteral(" from='%1'>").arg(m_myJID_setByClient->bare());
    return m_remoteJID ? withTo(m_remoteJID->bare()) : head + QLatin1Char('>');
}

void XMPPStream::parserDidReadRoot(XMPPParser *sender, const std::shared_ptr<NSXMLElement> &root)
{
    if (sender != m_parser.get())
        return;
    m_rootElement = root;
    if ((m_config & kP2PMode) != 0) {
        m_state = XMPPStreamStateConnected;
        if ((m_flags & kP2PInitiator) == 0) {
            m_remoteJID = XMPPJID::jidWithString(attributeStringValueForName(*root, QStringLiteral("from")));
            const auto features = NSXMLElement::elementWithName(QStringLiteral("stream:features"));
            notifyDelegates(XMPPStreamWillSendP2PFeaturesOp, [features](XMPPStreamDelegate &d, XMPPStream *s) {
                d.xmppStreamWillSendP2PFeatures(s, features);
            });
            writeElement(features, TAG_XMPP_WRITE_STREAM, nullptr);
        }
        notifyDidConnect();
        return;
    }
    m_state = XMPPStreamStateNegotiating;
    // A server below version 1.0 sends no feature list: its answer to the login field query takes
    // the list's place.
    if (attributeFloatValueForName(*root, QStringLiteral("version"), 0.0F) < 1.0F) {
        const auto query = elementWithName(QStringLiteral("query"), xmppns::kLegacyAuth);
        writeElement(negotiationIQ(QStringLiteral("get"), query).element(), TAG_XMPP_WRITE_STREAM, nullptr);
    }
}

// ---- Routing ----

void XMPPStream::parserDidReadElement(XMPPParser *sender, const std::shared_ptr<NSXMLElement> &element)
{
    if (sender != m_parser.get())
        return;
    const QString name = element->name();
    if (name == QLatin1String("stream:error") || name == QLatin1String("error")) {
        notifyDidReceiveError(element);
        return;
    }
    switch (m_state) {
    case XMPPStreamStateNegotiating:
        while (m_rootElement->childCount() > 0)
            m_rootElement->removeChildAtIndex(0);
        m_rootElement->addChild(element);
        handleStreamFeatures();
        return;
    case XMPPStreamStateStartTLSRequested: handleStartTLSResponse(element); return;
    case XMPPStreamStateRegistering: handleRegistration(element); return;
    case XMPPStreamStateAuthenticating: handleAuth(element); return;
    case XMPPStreamStateBinding: handleBinding(element); return;
    case XMPPStreamStateStartingSession: handleStartSessionResponse(element); return;
    default: break;
    }
    // While a sync runs the server's stanzas are dropped unread; the negotiation goes on, so that a
    // login under way completes.
    if (HMSyncController::getIsSynchronizing())
        return;
    receiveElement(element);
}

std::shared_ptr<NSXMLElement> XMPPStream::streamFeatures() const
{
    return m_rootElement ? elementForName(*m_rootElement, QStringLiteral("stream:features")) : nullptr;
}

void XMPPStream::handleStreamFeatures()
{
    assertOnXmppQueue();
    const auto features = streamFeatures();
    const auto starttls = features ? elementForName(*features, QStringLiteral("starttls"), xmppns::kTLS) : nullptr;
    if (starttls && elementForName(*starttls, QStringLiteral("required"))) {
        m_state = XMPPStreamStateStartTLSRequested;
        sendStartTLSRequest();
        return;
    }
    if (features && elementForName(*features, QStringLiteral("bind"), xmppns::kBind)) {
        m_state = XMPPStreamStateBinding;
        sendBindRequest(m_myJID_setByClient ? m_myJID_setByClient->resource() : QString());
        return;
    }
    m_state = XMPPStreamStateConnected;
    if ((m_flags & kIsAuthenticated) == 0) {
        setupKeepAliveTimer();
        notifyDidConnect();
    }
}

// ---- Feature tests ----

std::shared_ptr<NSXMLElement> XMPPStream::offeredFeature(const QString &name, const QString &xmlns) const
{
    std::shared_ptr<NSXMLElement> result;
    runOnXmppQueue([&] {
        const auto features = m_state >= XMPPStreamStatePostNegotiation ? streamFeatures() : nullptr;
        result = features ? elementForName(*features, name, xmlns) : nullptr;
    });
    return result;
}

bool XMPPStream::supportsStartTLS() const
{
    return offeredFeature(QStringLiteral("starttls"), xmppns::kTLS) != nullptr;
}

bool XMPPStream::supportsInBandRegistration() const
{
    return offeredFeature(QStringLiteral("register"), xmppns::kRegisterFeature) != nullptr;
}

QStringList XMPPStream::supportedAuthenticationMechanisms() const
{
    QStringList result;
    const auto mechanisms = offeredFeature(QStringLiteral("mechanisms"), xmppns::kSASL);
    // Read on xmppQueue: off it, the stream's own element is not to be touched.
    runOnXmppQueue([&] {
        if (!mechanisms)
            return;
        for (const auto &mechanism : mechanisms->elementsForName(QStringLiteral("mechanism")))
            result.append(mechanism->stringValue());
    });
    return result;
}

bool XMPPStream::supportsAuthenticationMechanism(const QString &mechanismType) const
{
    return supportedAuthenticationMechanisms().contains(mechanismType);
}

bool XMPPStream::supportsDigestMD5Authentication() const
{
    return supportsAuthenticationMechanism(QStringLiteral("DIGEST-MD5"));
}

bool XMPPStream::supportsPlainAuthentication() const
{
    return supportsAuthenticationMechanism(QStringLiteral("PLAIN"));
}

namespace {

// The "query" of the answer to the legacy login field query: the root's last "iq" child.
std::shared_ptr<NSXMLElement> legacyAuthQuery(const std::shared_ptr<NSXMLElement> &root)
{
    if (!root)
        return nullptr;
    const auto iqs = root->elementsForName(QStringLiteral("iq"));
    return iqs.empty() ? nullptr : elementForName(*iqs.back(), QStringLiteral("query"), xmppns::kLegacyAuth);
}

} // namespace

bool XMPPStream::legacyAuthQueryHolds(const QString &field) const
{
    bool result = false;
    runOnXmppQueue([&] {
        const auto query = m_state >= XMPPStreamStatePostNegotiation ? legacyAuthQuery(m_rootElement) : nullptr;
        result = query && elementForName(*query, field);
    });
    return result;
}

bool XMPPStream::supportsDeprecatedPlainAuthentication() const
{
    return legacyAuthQueryHolds(QStringLiteral("password"));
}

bool XMPPStream::supportsDeprecatedDigestAuthentication() const
{
    return legacyAuthQueryHolds(QStringLiteral("digest"));
}

// ---- STARTTLS ----

void XMPPStream::sendStartTLSRequest()
{
    const QByteArray request = QByteArrayLiteral("<starttls xmlns='urn:ietf:params:xml:ns:xmpp-tls'/>");
    m_asyncSocket->writeData(request, -1, TAG_XMPP_WRITE_STREAM);
    m_numberOfBytesSent += std::uint64_t(request.size());
}

bool XMPPStream::secureConnection(PlatformError *errPtr)
{
    bool result = false;
    runOnXmppQueue([&] {
        if (m_state != XMPPStreamStateConnected)
            setError(errPtr, streamError(XMPPStreamInvalidState, kWaitUntilConnected));
        else if ((m_flags & kIsSecure) != 0)
            setError(errPtr, streamError(XMPPStreamInvalidState, "The connection is already secure."));
        else if (!supportsStartTLS())
            setError(errPtr, streamError(XMPPStreamUnsupportedAction, "The server does not support startTLS."));
        else
            result = true;
        if (!result)
            return;
        m_state = XMPPStreamStateStartTLSRequested;
        sendStartTLSRequest();
    });
    return result;
}

void XMPPStream::handleStartTLSResponse(const std::shared_ptr<NSXMLElement> &response)
{
    assertOnXmppQueue();
    if (response->name() == QLatin1String("proceed")) {
        startTLS();
        return;
    }
    if (beginDisconnect())
        m_asyncSocket->disconnect();
}

void XMPPStream::startTLS()
{
    assertOnXmppQueue();
    m_state = XMPPStreamStateSecuring;
    if (!m_multicastDelegate.hasDelegateThatRespondsToSelector(XMPPStreamWillSecureWithSettingsOp)) {
        continueStartTLS({});
        return;
    }
    // Each delegate sees what the earlier ones put in; they are asked off xmppQueue, which they may
    // call into.
    std::shared_ptr<GCDMulticastDelegateEnumerator> delegates = m_multicastDelegate.delegateEnumerator();
    DispatchQueue::global()->async([self = shared_from_this(), delegates] {
        QVariantMap settings;
        std::shared_ptr<GCDDelegate> delegate;
        std::shared_ptr<DispatchQueue> queue;
        while (delegates->getNextDelegate(&delegate, &queue, XMPPStreamWillSecureWithSettingsOp)) {
            if (auto *streamDelegate = dynamic_cast<XMPPStreamDelegate *>(delegate.get()))
                queue->sync([&] { streamDelegate->xmppStreamWillSecureWithSettings(self.get(), settings); });
        }
        self->m_xmppQueue->async([self, settings] { self->continueStartTLS(settings); });
    });
}

void XMPPStream::continueStartTLS(QVariantMap settings)
{
    assertOnXmppQueue();
    if (m_state != XMPPStreamStateSecuring)
        return;
    if (settings.isEmpty()) {
        const QString peerName = !m_hostName.isEmpty() ? m_hostName
                                 : m_myJID_setByClient ? m_myJID_setByClient->domain()
                                                       : QString();
        if (!peerName.isEmpty())
            settings.insert(QString::fromLatin1(kCFStreamSSLPeerName), peerName);
    }
    m_asyncSocket->startTLS(settings);
    m_flags |= kIsSecure;
    if (didStartNegotiation()) {
        sendOpeningNegotiation();
        m_asyncSocket->readDataWithTimeout(-1, TAG_XMPP_READ_STREAM);
    } else {
        startNegotiation();
    }
}

void XMPPStream::Callbacks::socketDidSecure(GCDAsyncSocket *sock)
{
    withStream([&](XMPPStream &stream) { stream.socketDidSecure(sock); });
}

void XMPPStream::socketDidSecure(GCDAsyncSocket *sock)
{
    if (sock == m_asyncSocket.get())
        notifyDelegates(XMPPStreamDidSecureOp, [](XMPPStreamDelegate &d, XMPPStream *s) { d.xmppStreamDidSecure(s); });
}

// ---- Registration ----

bool XMPPStream::registerWithPassword(const QString &password, PlatformError *errPtr)
{
    bool result = false;
    runOnXmppQueue([&] {
        if (m_state != XMPPStreamStateConnected)
            setError(errPtr, streamError(XMPPStreamInvalidState, kWaitUntilConnected));
        else if (!m_myJID_setByClient)
            setError(errPtr, streamError(XMPPStreamInvalidProperty,
                                         "You must set myJID before calling registerWithPassword:error:."));
        else if (!supportsInBandRegistration())
            setError(errPtr, streamError(XMPPStreamUnsupportedAction,
                                         "The server does not support in band registration."));
        else
            result = true;
        if (!result)
            return;
        const auto query = elementWithName(QStringLiteral("query"), xmppns::kRegister);
        query->addChild(NSXMLElement::elementWithName(QStringLiteral("username"), m_myJID_setByClient->user()));
        query->addChild(NSXMLElement::elementWithName(QStringLiteral("password"), password));
        writeElement(negotiationIQ(QStringLiteral("set"), query).element(), TAG_XMPP_WRITE_STREAM, nullptr);
        m_state = XMPPStreamStateRegistering;
    });
    return result;
}

void XMPPStream::handleRegistration(const std::shared_ptr<NSXMLElement> &response)
{
    assertOnXmppQueue();
    m_state = XMPPStreamStateConnected;
    if (attributeStringValueForName(*response, QStringLiteral("type")) == QLatin1String("error")) {
        notifyDelegates(XMPPStreamDidNotRegisterOp, [response](XMPPStreamDelegate &d, XMPPStream *s) {
            d.xmppStreamDidNotRegister(s, response);
        });
    } else {
        notifyDelegates(XMPPStreamDidRegisterOp, [](XMPPStreamDelegate &d, XMPPStream *s) { d.xmppStreamDidRegister(s); });
    }
}

// ---- Authentication ----

bool XMPPStream::authenticate(const std::shared_ptr<XMPPSASLAuthentication> &auth, PlatformError *errPtr)
{
    return resultOnXmppQueue([&] { return startAuthentication(auth, errPtr); });
}

bool XMPPStream::startAuthentication(const std::shared_ptr<XMPPSASLAuthentication> &auth, PlatformError *errPtr)
{
    assertOnXmppQueue();
    if (m_state != XMPPStreamStateConnected) {
        setError(errPtr, streamError(XMPPStreamInvalidState, kWaitUntilConnected));
        return false;
    }
    if (!m_myJID_setByClient) {
        setError(errPtr, streamError(XMPPStreamInvalidProperty, "You must set myJID before calling authenticate:error:."));
        return false;
    }
    // A password must never cross the network readable.
    if (auth->sendsPasswordReadably() && (m_flags & kIsSecure) == 0) {
        setError(errPtr, streamError(XMPPStreamUnsupportedAction,
                                     "The mechanism sends the password readably; secure the connection first."));
        return false;
    }
    m_state = XMPPStreamStateAuthenticating;
    if (!auth->start(errPtr)) {
        m_state = XMPPStreamStateConnected;
        return false;
    }
    m_auth = auth;
    return true;
}

bool XMPPStream::authenticateWithPassword(const QString &password, PlatformError *errPtr)
{
    bool result = false;
    runOnXmppQueue([&] {
        if (m_state != XMPPStreamStateConnected) {
            setError(errPtr, streamError(XMPPStreamInvalidState, kWaitUntilConnected));
            return;
        }
        if (!m_myJID_setByClient) {
            setError(errPtr,
                     streamError(XMPPStreamInvalidProperty, "You must set myJID before calling authenticate:error:."));
            return;
        }
        // Mechanisms that send the password readably are chosen only on a secured stream.
        const bool isSecure = (m_flags & kIsSecure) != 0;
        const auto self = shared_from_this();
        std::shared_ptr<XMPPSASLAuthentication> auth;
        if (supportsDigestMD5Authentication())
            auth = std::make_shared<XMPPDigestMD5Authentication>(self, password);
        else if (isSecure && supportsPlainAuthentication())
            auth = std::make_shared<XMPPPlainAuthentication>(self, password);
        else if (supportsDeprecatedDigestAuthentication())
            auth = std::make_shared<XMPPDeprecatedDigestAuthentication>(self, password);
        else if (isSecure && supportsDeprecatedPlainAuthentication())
            auth = std::make_shared<XMPPDeprecatedPlainAuthentication>(self, password);
        if (auth)
            result = startAuthentication(auth, errPtr);
        else
            setError(errPtr, streamError(XMPPStreamUnsupportedAction, "No suitable authentication method found"));
    });
    return result;
}

void XMPPStream::sendAuthElement(const std::shared_ptr<NSXMLElement> &element)
{
    postOnXmppQueue([element](XMPPStream &stream) {
        if (stream.m_state == XMPPStreamStateAuthenticating)
            stream.writeElement(element, TAG_XMPP_WRITE_STREAM, nullptr);
    });
}

void XMPPStream::handleAuth(const std::shared_ptr<NSXMLElement> &authResponse)
{
    assertOnXmppQueue();
    const int result = m_auth->handleAuth(authResponse);
    switch (result) {
    case XMPPHandleAuthResponseFailed:
        m_state = XMPPStreamStateConnected;
        m_auth.reset();
        notifyDidNotAuthenticate(authResponse);
        return;
    case XMPPHandleAuthResponseSuccess:
        m_flags |= kIsAuthenticated;
        if (m_auth->shouldResendOpeningNegotiationAfterSuccessfulAuthentication() == std::optional<bool>(false)) {
            m_state = XMPPStreamStateConnected;
            m_auth.reset();
            notifyDidAuthenticate();
            return;
        }
        m_auth.reset();
        sendOpeningNegotiation();
        // A secure stream's read callback has already asked for the next bytes.
        if ((m_flags & kIsSecure) == 0)
            m_asyncSocket->readDataWithTimeout(kOpeningReadTimeout, TAG_XMPP_READ_START);
        return;
    case XMPPHandleAuthResponseContinue: return;
    default: {
        const QString text = QStringLiteral("Authentication class (%1) returned invalid response code (%2)")
                                 .arg(m_auth->className())
                                 .arg(result);
        DDLog::log(false, LOG_LEVEL_ERROR, LOG_FLAG_ERROR, 5222, __FILE__, __func__, __LINE__, nullptr, text);
        HM_ASSERT(false, text);
    }
    }
}

// ---- Binding and the session ----

void XMPPStream::sendBindRequest(const QString &resource)
{
    const auto bind = elementWithName(QStringLiteral("bind"), xmppns::kBind);
    if (!resource.isEmpty())
        bind->addChild(NSXMLElement::elementWithName(QStringLiteral("resource"), resource));
    writeElement(negotiationIQ(QStringLiteral("set"), bind).element(), TAG_XMPP_WRITE_STREAM, nullptr);
}

void XMPPStream::handleBinding(const std::shared_ptr<NSXMLElement> &response)
{
    assertOnXmppQueue();
    const auto bind = elementForName(*response, QStringLiteral("bind"), xmppns::kBind);
    const auto jid = bind ? elementForName(*bind, QStringLiteral("jid")) : nullptr;
    if (jid) {
        setMyJID_setByServer(XMPPJID::jidWithString(jid->stringValue()));
        const auto features = streamFeatures();
        if (features && elementForName(*features, QStringLiteral("session"), xmppns::kSession)) {
            const auto session = elementWithName(QStringLiteral("session"), xmppns::kSession);
            writeElement(negotiationIQ(QStringLiteral("set"), session).element(), TAG_XMPP_WRITE_STREAM,
                         nullptr);
            m_state = XMPPStreamStateStartingSession;
        } else {
            m_state = XMPPStreamStateConnected;
            notifyDidAuthenticate();
        }
        return;
    }
    const auto error = elementForName(*response, QStringLiteral("error"));
    const bool isConflict = error && elementForName(*error, QStringLiteral("conflict"), xmppns::kStanzas);
    if (!isConflict ||
        !m_multicastDelegate.hasDelegateThatRespondsToSelector(XMPPStreamAlternativeResourceForConflictingResourceOp)) {
        continueHandleBinding(QString());
        return;
    }
    askForAlternativeResource();
}

// The delegates are asked off xmppQueue, each on its own queue, with the same conflicting resource.
void XMPPStream::askForAlternativeResource()
{
    std::shared_ptr<GCDMulticastDelegateEnumerator> delegates = m_multicastDelegate.delegateEnumerator();
    DispatchQueue::global()->async([self = shared_from_this(), delegates] {
        const XMPPJID::Ptr current = self->myJID();
        const QString conflicting = current ? current->resource() : QString();
        QString alternative;
        std::shared_ptr<GCDDelegate> delegate;
        std::shared_ptr<DispatchQueue> queue;
        while (delegates->getNextDelegate(&delegate, &queue, XMPPStreamAlternativeResourceForConflictingResourceOp)) {
            auto *streamDelegate = dynamic_cast<XMPPStreamDelegate *>(delegate.get());
            QString answer;
            if (streamDelegate != nullptr)
                queue->sync([&] {
                    answer = streamDelegate->xmppStreamAlternativeResourceForConflictingResource(self.get(), conflicting);
                });
            // The last answer given wins.
            if (!answer.isNull())
                alternative = answer;
        }
        self->m_xmppQueue->async([self, alternative] { self->continueHandleBinding(alternative); });
    });
}

void XMPPStream::continueHandleBinding(const QString &alternativeResource)
{
    assertOnXmppQueue();
    if (!alternativeResource.isEmpty() && m_myJID_setByClient)
        setMyJID_setByClient(m_myJID_setByClient->jidWithNewResource(alternativeResource));
    sendBindRequest(alternativeResource);
}

void XMPPStream::handleStartSessionResponse(const std::shared_ptr<NSXMLElement> &response)
{
    assertOnXmppQueue();
    m_state = XMPPStreamStateConnected;
    if (attributeStringValueForName(*response, QStringLiteral("type")) == QLatin1String("result"))
        notifyDidAuthenticate();
    else
        notifyDidNotAuthenticate(response);
}

// ---- Reports ----

void XMPPStream::notifyDidConnect()
{
    notifyDelegates(XMPPStreamDidConnectOp, [](XMPPStreamDelegate &d, XMPPStream *s) { d.xmppStreamDidConnect(s); });
}

void XMPPStream::notifyDidAuthenticate()
{
    notifyDelegates(XMPPStreamDidAuthenticateOp,
                    [](XMPPStreamDelegate &d, XMPPStream *s) { d.xmppStreamDidAuthenticate(s); });
}

void XMPPStream::notifyDidNotAuthenticate(const std::shared_ptr<NSXMLElement> &element)
{
    notifyDelegates(XMPPStreamDidNotAuthenticateOp,
                    [element](XMPPStreamDelegate &d, XMPPStream *s) { d.xmppStreamDidNotAuthenticate(s, element); });
}

void XMPPStream::notifyDidReceiveError(const std::shared_ptr<NSXMLElement> &element)
{
    notifyDelegates(XMPPStreamDidReceiveErrorOp,
                    [element](XMPPStreamDelegate &d, XMPPStream *s) { d.xmppStreamDidReceiveError(s, element); });
}
