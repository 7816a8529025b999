// XMPPStream: sending and receiving stanzas through the delegates' filter chains, the reads, write
// receipts and the keep-alive.

#include "platform/dispatch/DispatchGroup.h"
#include "platform/dispatch/DispatchSemaphore.h"
#include "platform/dispatch/DispatchTimer.h"
#include "platform/dispatch/VirtualClock.h"
#include "platform/foundation/Assert.h"
#include "push/XMPP/Core/XMPPElementReceipt.h"
#include "push/XMPP/Core/XMPPIQ.h"
#include "push/XMPP/Core/XMPPMessage.h"
#include "push/XMPP/Core/XMPPParser.h"
#include "push/XMPP/Core/XMPPPresence.h"
#include "push/XMPP/Core/XMPPStream+Private.h"
#include "push/XMPP/Utilities/NSXMLElement+XMPP.h"

#include <chrono>
#include <type_traits>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

using platform::DispatchQueue;
using platform::NSXMLElement;
using platform::PlatformError;

namespace {

// TCP keep-alive probes notice a path that went silent: whitespace keep-alives alone only write.
constexpr int kTcpKeepIdleSeconds = 60;
constexpr int kTcpKeepIntervalSeconds = 15;
constexpr int kTcpKeepCount = 4;

void failReceipt(const std::shared_ptr<XMPPElementReceipt> &receipt)
{
    if (receipt)
        receipt->signalFailure();
}

} // namespace

// ---- The socket's reports ----

void XMPPStream::Callbacks::socketDidReadData(GCDAsyncSocket *sock, const QByteArray &data, long)
{
    withStream([&](XMPPStream &stream) { stream.socketDidReadData(sock, data); });
}

void XMPPStream::Callbacks::socketDidWriteDataWithTag(GCDAsyncSocket *sock, long tag)
{
    withStream([&](XMPPStream &stream) { stream.socketDidWriteDataWithTag(sock, tag); });
}

double XMPPStream::now()
{
    const platform::DispatchTime time =
        platform::VirtualClock::isInstalled() ? platform::VirtualClock::now() : platform::DispatchClock::now();
    return std::chrono::duration<double>(time.time_since_epoch()).count();
}

void XMPPStream::enableTcpKeepAlive()
{
    m_asyncSocket->performBlock([socket = m_asyncSocket.get()] {
        const int fd = socket->socketFD();
        if (fd < 0)
            return;
        const int on = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
        ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &kTcpKeepIdleSeconds, sizeof kTcpKeepIdleSeconds);
        ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &kTcpKeepIntervalSeconds, sizeof kTcpKeepIntervalSeconds);
        ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &kTcpKeepCount, sizeof kTcpKeepCount);
    });
}

void XMPPStream::socketDidReadData(GCDAsyncSocket *sock, const QByteArray &data)
{
    if (sock != m_asyncSocket.get())
        return;
    m_lastSendReceiveTime = now();
    m_numberOfBytesReceived += std::uint64_t(data.size());
    if (m_parser)
        m_parser->parseData(data);
    // A secure stream asks for more at once; a plain one once the parser is through, so that a
    // "proceed" is acted on before further bytes are read in clear.
    if ((m_flags & kIsSecure) != 0)
        readNext();
}

void XMPPStream::parserDidParseData(XMPPParser *sender)
{
    if (sender != m_parser.get() || (m_flags & kIsSecure) != 0)
        return;
    if (m_state != XMPPStreamStateSecuring && m_state != XMPPStreamStateDisconnected)
        readNext();
}

void XMPPStream::readNext()
{
    if (m_state == XMPPStreamStateOpening)
        m_asyncSocket->readDataWithTimeout(10.0, TAG_XMPP_READ_START);
    else
        m_asyncSocket->readDataWithTimeout(-1, TAG_XMPP_READ_STREAM);
}

void XMPPStream::parserDidEnd(XMPPParser *sender)
{
    if (sender == m_parser.get())
        m_asyncSocket->disconnect();
}

void XMPPStream::parserDidFail(XMPPParser *sender, const PlatformError &error)
{
    if (sender != m_parser.get())
        return;
    m_parserError = error;
    m_asyncSocket->disconnect();
}

void XMPPStream::socketDidWriteDataWithTag(GCDAsyncSocket *sock, long tag)
{
    if (sock != m_asyncSocket.get())
        return;
    m_lastSendReceiveTime = now();
    if (tag == TAG_XMPP_WRITE_RECEIPT && !m_receipts.empty()) {
        m_receipts.front()->signalSuccess();
        m_receipts.pop_front();
    }
}

void XMPPStream::failPendingReceipts()
{
    for (const auto &receipt : m_receipts)
        receipt->signalFailure();
    m_receipts.clear();
}

// ---- Sending ----

void XMPPStream::sendElement(const std::shared_ptr<NSXMLElement> &element)
{
    if (!element)
        return;
    postOnXmppQueue([element](XMPPStream &stream) {
        if (stream.m_state == XMPPStreamStateConnected)
            stream.sendElementWithTag(element, TAG_XMPP_WRITE_STREAM, nullptr);
    });
}

void XMPPStream::sendElement(const std::shared_ptr<NSXMLElement> &element,
                             std::shared_ptr<XMPPElementReceipt> *receiptPtr)
{
    if (receiptPtr == nullptr) {
        sendElement(element);
        return;
    }
    *receiptPtr = nullptr;
    if (!element)
        return;
    runOnXmppQueue([&] {
        if (m_state != XMPPStreamStateConnected)
            return;
        auto receipt = std::make_shared<XMPPElementReceipt>();
        sendElementWithTag(element, TAG_XMPP_WRITE_RECEIPT, receipt);
        *receiptPtr = std::move(receipt);
    });
}

void XMPPStream::resendMyPresence()
{
    postOnXmppQueue([](XMPPStream &stream) {
        if (stream.m_myPresence && stream.m_myPresence->type() == QLatin1String("available"))
            stream.sendElement(stream.m_myPresence->element());
    });
}

void XMPPStream::writeElement(const std::shared_ptr<NSXMLElement> &element, long tag,
                              const std::shared_ptr<XMPPElementReceipt> &receipt)
{
    const QByteArray data = compactXMLString(*element).toUtf8();
    m_asyncSocket->writeData(data, -1, tag);
    m_numberOfBytesSent += std::uint64_t(data.size());
    // Writes complete in order: the receipt is signalled by its own write's completion.
    if (receipt)
        m_receipts.push_back(receipt);
}

void XMPPStream::sendElementWithTag(const std::shared_ptr<NSXMLElement> &element, long tag,
                                    const std::shared_ptr<XMPPElementReceipt> &receipt)
{
    assertOnXmppQueue();
    const QString name = element->name();
    if (name == QLatin1String("iq"))
        sendIQ(std::make_shared<XMPPIQ>(XMPPIQ::iqFromElement(element)), tag, receipt);
    else if (name == QLatin1String("message"))
        sendMessage(std::make_shared<XMPPMessage>(XMPPMessage::messageFromElement(element)), tag, receipt);
    else if (name == QLatin1String("presence"))
        sendPresence(std::make_shared<XMPPPresence>(XMPPPresence::presenceFromElement(element)), tag, receipt);
    else
        writeElement(element, tag, receipt);
}

template <typename Stanza>
void XMPPStream::notifyStanza(XMPPStreamDelegateOperation operation, StanzaNotice<Stanza> notice,
                              const std::shared_ptr<Stanza> &stanza)
{
    notifyDelegates(operation, [notice, stanza](XMPPStreamDelegate &d, XMPPStream *s) { (d.*notice)(s, stanza); });
}

template <typename Stanza, typename Ask>
void XMPPStream::runFilterChain(XMPPStreamDelegateOperation operation, const std::shared_ptr<DispatchQueue> &chainQueue,
                                std::shared_ptr<Stanza> stanza, Ask ask,
                                std::function<void(XMPPStream &, std::shared_ptr<Stanza>)> continuation,
                                std::function<void()> dropped)
{
    HM_ASSERT(m_state == XMPPStreamStateConnected, QStringLiteral("Invoked with incorrect state"));
    if (!m_multicastDelegate.hasDelegateThatRespondsToSelector(operation)) {
        continuation(*this, std::move(stanza));
        return;
    }
    std::shared_ptr<GCDMulticastDelegateEnumerator> delegates = m_multicastDelegate.delegateEnumerator();
    chainQueue->async([self = shared_from_this(), delegates, operation, stanza, ask, continuation, dropped] {
        std::shared_ptr<Stanza> current = stanza;
        std::shared_ptr<GCDDelegate> delegate;
        std::shared_ptr<DispatchQueue> queue;
        while (delegates->getNextDelegate(&delegate, &queue, operation)) {
            auto *streamDelegate = dynamic_cast<XMPPStreamDelegate *>(delegate.get());
            if (streamDelegate == nullptr)
                continue;
            queue->sync([&] { current = std::invoke(ask, *streamDelegate, self.get(), current); });
            // A delegate that answers nothing stops the stanza; nobody is told.
            if (!current) {
                dropped();
                return;
            }
        }
        self->m_xmppQueue->async([weak = std::weak_ptr<XMPPStream>(self), current, continuation, dropped] {
            const auto stream = weak.lock();
            if (stream && stream->m_state == XMPPStreamStateConnected)
                continuation(*stream, current);
            else
                dropped();
        });
    });
}

template <typename Stanza, typename Ask>
void XMPPStream::sendStanza(std::shared_ptr<Stanza> stanza, long tag, const std::shared_ptr<XMPPElementReceipt> &receipt,
                            const std::shared_ptr<DispatchQueue> &chainQueue, XMPPStreamDelegateOperation willSend,
                            Ask ask, XMPPStreamDelegateOperation didSend, StanzaNotice<Stanza> notice)
{
    runFilterChain<Stanza>(
        willSend, chainQueue, std::move(stanza), ask,
        [tag, receipt, didSend, notice](XMPPStream &stream, std::shared_ptr<Stanza> sent) {
            stream.writeElement(sent->element(), tag, receipt);
            if constexpr (std::is_same_v<Stanza, XMPPPresence>)
                stream.keepBroadcastPresence(sent);
            stream.notifyStanza(didSend, notice, sent);
        },
        [receipt] { failReceipt(receipt); });
}

void XMPPStream::keepBroadcastPresence(const std::shared_ptr<XMPPPresence> &presence)
{
    // A broadcast presence is the one to send again after a reconnect.
    const QString type = presence->type();
    if ((type == QLatin1String("available") || type == QLatin1String("unavailable")) && presence->toStr().isNull())
        m_myPresence = presence;
}

void XMPPStream::sendIQ(const std::shared_ptr<XMPPIQ> &iq, long tag, const std::shared_ptr<XMPPElementReceipt> &receipt)
{
    sendStanza(iq, tag, receipt, m_willSendIqQueue, XMPPStreamWillSendIQOp, &XMPPStreamDelegate::xmppStreamWillSendIQ,
               XMPPStreamDidSendIQOp, &XMPPStreamDelegate::xmppStreamDidSendIQ);
}

void XMPPStream::sendMessage(const std::shared_ptr<XMPPMessage> &message, long tag,
                             const std::shared_ptr<XMPPElementReceipt> &receipt)
{
    sendStanza(message, tag, receipt, m_willSendMessageQueue, XMPPStreamWillSendMessageOp,
               &XMPPStreamDelegate::xmppStreamWillSendMessage, XMPPStreamDidSendMessageOp,
               &XMPPStreamDelegate::xmppStreamDidSendMessage);
}

void XMPPStream::sendPresence(const std::shared_ptr<XMPPPresence> &presence, long tag,
                              const std::shared_ptr<XMPPElementReceipt> &receipt)
{
    sendStanza(presence, tag, receipt, m_willSendPresenceQueue, XMPPStreamWillSendPresenceOp,
               &XMPPStreamDelegate::xmppStreamWillSendPresence, XMPPStreamDidSendPresenceOp,
               &XMPPStreamDelegate::xmppStreamDidSendPresence);
}

// ---- Receiving ----

void XMPPStream::injectElement(const std::shared_ptr<NSXMLElement> &element)
{
    if (!element)
        return;
    postOnXmppQueue([element](XMPPStream &stream) {
        if (stream.m_state == XMPPStreamStateConnected)
            stream.receiveElement(element);
    });
}

void XMPPStream::receiveElement(const std::shared_ptr<NSXMLElement> &element)
{
    assertOnXmppQueue();
    const QString name = element->name();
    // Stanzas arriving between a "proceed" and the TLS handshake, before the stream is connected, are
    // dropped.
    if (m_state != XMPPStreamStateConnected)
        return;
    if (name == QLatin1String("iq")) {
        receiveIQ(std::make_shared<XMPPIQ>(XMPPIQ::iqFromElement(element)));
    } else if (name == QLatin1String("message")) {
        receiveMessage(std::make_shared<XMPPMessage>(XMPPMessage::messageFromElement(element)));
    } else if (name == QLatin1String("presence")) {
        receivePresence(std::make_shared<XMPPPresence>(XMPPPresence::presenceFromElement(element)));
    } else if ((m_config & kP2PMode) != 0 &&
               (name == QLatin1String("stream:features") || name == QLatin1String("features"))) {
        notifyDelegates(XMPPStreamDidReceiveP2PFeaturesOp, [element](XMPPStreamDelegate &d, XMPPStream *s) {
            d.xmppStreamDidReceiveP2PFeatures(s, element);
        });
    } else {
        notifyDidReceiveError(element);
    }
}

void XMPPStream::receiveIQ(const std::shared_ptr<XMPPIQ> &iq)
{
    runFilterChain<XMPPIQ>(
        XMPPStreamWillReceiveIQOp, m_willReceiveIqQueue, iq, &XMPPStreamDelegate::xmppStreamWillReceiveIQ,
        [](XMPPStream &stream, std::shared_ptr<XMPPIQ> received) { stream.continueReceiveIQ(received); }, [] {});
}

template <typename Stanza, typename Ask>
void XMPPStream::receiveStanza(std::shared_ptr<Stanza> stanza, const std::shared_ptr<DispatchQueue> &chainQueue,
                               XMPPStreamDelegateOperation willReceive, Ask ask,
                               XMPPStreamDelegateOperation didReceive, StanzaNotice<Stanza> notice)
{
    runFilterChain<Stanza>(
        willReceive, chainQueue, std::move(stanza), ask,
        [didReceive, notice](XMPPStream &stream, std::shared_ptr<Stanza> received) {
            stream.notifyStanza(didReceive, notice, received);
        },
        [] {});
}

void XMPPStream::receiveMessage(const std::shared_ptr<XMPPMessage> &message)
{
    receiveStanza(message, m_willReceiveMessageQueue, XMPPStreamWillReceiveMessageOp,
                  &XMPPStreamDelegate::xmppStreamWillReceiveMessage, XMPPStreamDidReceiveMessageOp,
                  &XMPPStreamDelegate::xmppStreamDidReceiveMessage);
}

void XMPPStream::receivePresence(const std::shared_ptr<XMPPPresence> &presence)
{
    receiveStanza(presence, m_willReceivePresenceQueue, XMPPStreamWillReceivePresenceOp,
                  &XMPPStreamDelegate::xmppStreamWillReceivePresence, XMPPStreamDidReceivePresenceOp,
                  &XMPPStreamDelegate::xmppStreamDidReceivePresence);
}

void XMPPStream::continueReceiveIQ(const std::shared_ptr<XMPPIQ> &iq)
{
    if (!iq->requiresResponse()) {
        notifyDelegates(XMPPStreamDidReceiveIQOp,
                        [iq](XMPPStreamDelegate &d, XMPPStream *s) { d.xmppStreamDidReceiveIQ(s, iq); });
        return;
    }
    // A request is answered by whichever delegate claims it; one nobody claims gets an error reply.
    std::shared_ptr<GCDMulticastDelegateEnumerator> delegates = m_multicastDelegate.delegateEnumerator();
    const auto claimed = platform::DispatchSemaphore::create(0);
    const auto group = platform::DispatchGroup::create();
    std::shared_ptr<GCDDelegate> delegate;
    std::shared_ptr<DispatchQueue> queue;
    const auto self = shared_from_this();
    while (delegates->getNextDelegate(&delegate, &queue, XMPPStreamDidReceiveIQOp)) {
        group->async(queue, [self, delegate, iq, claimed] {
            auto *streamDelegate = dynamic_cast<XMPPStreamDelegate *>(delegate.get());
            if (streamDelegate != nullptr && streamDelegate->xmppStreamDidReceiveIQ(self.get(), iq))
                claimed->signal();
        });
    }
    m_didReceiveIqQueue->async([self, iq, claimed, group] {
        group->wait();
        if (!claimed->wait(platform::DispatchDuration::zero()))
            self->answerUnclaimedIQ(iq);
    });
}

void XMPPStream::answerUnclaimedIQ(const std::shared_ptr<XMPPIQ> &iq)
{
    const auto error = NSXMLElement::elementWithName(QStringLiteral("error"));
    addAttributeWithName(*error, QStringLiteral("type"), QStringLiteral("cancel"));
    addAttributeWithName(*error, QStringLiteral("code"), QStringLiteral("501"));
    error->addChild(elementWithName(QStringLiteral("feature-not-implemented"), xmppns::kStanzas));
    const XMPPIQ reply = XMPPIQ::iqWithType(QStringLiteral("error"), iq->from(), iq->elementID(), error);
    if (const auto request = iq->childElement())
        reply->insertChild(request->copyElement(), 0);
    sendElement(reply.element());
}

// ---- Keep-alive ----

void XMPPStream::setupKeepAliveTimer()
{
    assertOnXmppQueue();
    if (m_keepAliveTimer) {
        m_keepAliveTimer->cancel();
        m_keepAliveTimer.reset();
    }
    if (m_state != XMPPStreamStateConnected || m_keepAliveInterval <= 0)
        return;
    const double period = m_keepAliveInterval / 4.0;
    m_keepAliveTimer = platform::DispatchTimer::create(m_xmppQueue);
    m_keepAliveTimer->setEventHandler([weak = weak_from_this()] {
        if (const auto stream = weak.lock())
            stream->keepAlive();
    });
    m_keepAliveTimer->schedule(period, period, 1e-9);
    m_keepAliveTimer->resume();
}

void XMPPStream::keepAlive()
{
    assertOnXmppQueue();
    if (m_state != XMPPStreamStateConnected)
        return;
    const double currentTime = now();
    const double elapsed = currentTime - m_lastSendReceiveTime;
    if (elapsed >= 0 && elapsed < m_keepAliveInterval)
        return;
    m_asyncSocket->writeData(m_keepAliveData, -1, TAG_XMPP_WRITE_STREAM);
    m_numberOfBytesSent += std::uint64_t(m_keepAliveData.size());
    m_lastSendReceiveTime = currentTime;
}
