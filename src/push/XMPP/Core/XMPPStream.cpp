#include "push/XMPP/Core/XMPPStream.h"

#include "platform/dispatch/DispatchTimer.h"
#include "platform/foundation/Assert.h"
#include "push/XMPP/Authentication/XMPPSASLAuthentication.h"
#include "push/XMPP/Core/XMPPElementReceipt.h"
#include "push/XMPP/Core/XMPPParser.h"
#include "platform/foundation/Identifiers.h"
#include "platform/foundation/LockedField.h"
#include "platform/foundation/NSXMLElement.h"
#include "platform/foundation/NotificationCenter.h"
#include "push/XMPP/Core/XMPPModule.h"
#include "push/XMPP/Core/XMPPPresence.h"
#include "push/XMPP/Core/XMPPStream+Private.h"
#include "push/XMPP/Utilities/NSXMLElement+XMPP.h"

#include <algorithm>

#include <cxxabi.h>
#include <sys/prctl.h>

using platform::DispatchQueue;
using platform::PlatformError;

namespace {

std::shared_ptr<DispatchQueue> serialQueue(const char *label)
{
    return DispatchQueue::createSerial(QString::fromLatin1(label));
}

} // namespace

QString xmppClassName(const std::type_info &type)
{
    int status = 0;
    char *const demangled = abi::__cxa_demangle(type.name(), nullptr, nullptr, &status);
    const QString name = QString::fromUtf8(status == 0 && demangled != nullptr ? demangled : type.name());
    std::free(demangled);
    return name;
}

// ---- Set-up and destruction ----

std::shared_ptr<XMPPStream> XMPPStream::init()
{
    auto stream = std::make_shared<XMPPStream>(PrivateTag(), false, nullptr);
    stream->m_callbacks = std::make_shared<Callbacks>(stream);
    stream->m_asyncSocket = GCDAsyncSocket::create(stream->m_callbacks.get(), stream->m_xmppQueue);
    return stream;
}

std::shared_ptr<XMPPStream> XMPPStream::initP2PFrom(const XMPPJID::Ptr &myJID)
{
    auto stream = std::make_shared<XMPPStream>(PrivateTag(), true, myJID);
    stream->m_callbacks = std::make_shared<Callbacks>(stream);
    return stream;
}

XMPPStream::XMPPStream(PrivateTag, bool isP2P, const XMPPJID::Ptr &myJID)
    : m_xmppQueue(serialQueue("xmpp")), m_willSendIqQueue(serialQueue("xmpp.willSendIq")),
      m_willSendMessageQueue(serialQueue("xmpp.willSendMessage")),
      m_willSendPresenceQueue(serialQueue("xmpp.willSendPresence")),
      m_willReceiveIqQueue(serialQueue("xmpp.willReceiveIq")),
      m_willReceiveMessageQueue(serialQueue("xmpp.willReceiveMessage")),
      m_willReceivePresenceQueue(serialQueue("xmpp.willReceivePresence")),
      m_didReceiveIqQueue(serialQueue("xmpp.didReceiveIq")), m_myJID_setByClient(myJID),
      m_parserQueue(serialQueue("xmpp.parser")), m_utilityRunLoop(std::make_shared<UtilityRunLoop>())
{
    if (isP2P)
        m_config |= kP2PMode;
    std::thread utilityThread([runLoop = m_utilityRunLoop] { runLoop->run(); });
    m_utilityThreadId = utilityThread.get_id();
    utilityThread.detach();
}

XMPPStream::~XMPPStream()
{
    if (m_asyncSocket) {
        m_asyncSocket->synchronouslySetDelegate(nullptr);
        m_asyncSocket->disconnect();
    }
    if (m_srvResolver)
        m_srvResolver->stop();
    if (m_keepAliveTimer)
        m_keepAliveTimer->cancel();
    for (const auto &receipt : m_receipts)
        receipt->signalFailure();
    // Callbacks already queued on xmppQueue still point at the callback object: it goes with the last
    // of them, and finds the stream gone. The parser's delegate is cleared on the parser queue first,
    // so that no parser event is queued after the release.
    if (m_parser)
        m_parser->setDelegate(nullptr, nullptr);
    m_parserQueue->async([callbacks = std::move(m_callbacks), xmppQueue = m_xmppQueue]() mutable {
        xmppQueue->async([callbacks = std::move(callbacks)] {});
    });
    // The utility thread ends on its own, without being waited for.
    m_utilityRunLoop->stop();
}

void XMPPStream::UtilityRunLoop::perform(std::function<void()> block)
{
    const std::lock_guard lock(m_mutex);
    m_blocks.push_back(std::move(block));
    m_wake.notify_one();
}

void XMPPStream::UtilityRunLoop::stop()
{
    perform([this] { m_isCancelled = true; });
}

void XMPPStream::UtilityRunLoop::run()
{
    // Thread names are limited to 15 characters: the name is cut there.
    ::prctl(PR_SET_NAME, "XMPPUtilityThread", 0, 0, 0);
    std::unique_lock lock(m_mutex);
    while (!m_isCancelled) {
        m_wake.wait(lock, [this] { return !m_blocks.empty(); });
        const std::function<void()> block = std::move(m_blocks.front());
        m_blocks.pop_front();
        lock.unlock();
        block();
        lock.lock();
    }
}

// ---- Queue hops ----

void XMPPStream::runOnXmppQueue(const std::function<void()> &block) const
{
    queuehops::runSync(*m_xmppQueue, block);
}

void XMPPStream::postOnXmppQueue(std::function<void(XMPPStream &)> block)
{
    queuehops::runOrPost(*m_xmppQueue, *this, std::move(block));
}

void XMPPStream::postBitChange(std::uint8_t XMPPStream::*bits, std::uint8_t bit, bool isSet)
{
    postOnXmppQueue([bits, bit, isSet](XMPPStream &stream) { setBit(stream.*bits, bit, isSet); });
}

void XMPPStream::assertOnXmppQueue() const
{
    HM_ASSERT(m_xmppQueue->isCurrent(), QStringLiteral("Invoked on incorrect queue"));
}

PlatformError XMPPStream::streamError(XMPPStreamErrorCode code, const char *text)
{
    return PlatformError::withDescription(QString::fromLatin1(XMPPStreamErrorDomain), code, QString::fromUtf8(text));
}

// ---- Accessors ----

QString XMPPStream::hostName() const
{
    return resultOnXmppQueue([&] { return m_hostName; });
}

void XMPPStream::setHostName(const QString &newHostName)
{
    postOnXmppQueue([newHostName](XMPPStream &stream) { stream.m_hostName = newHostName; });
}

quint16 XMPPStream::hostPort() const
{
    return resultOnXmppQueue([&] { return m_hostPort; });
}

void XMPPStream::setHostPort(quint16 newHostPort)
{
    postOnXmppQueue([newHostPort](XMPPStream &stream) { stream.m_hostPort = newHostPort; });
}

XMPPJID::Ptr XMPPStream::myJID() const
{
    return resultOnXmppQueue([&] { return m_myJID_setByServer ? m_myJID_setByServer : m_myJID_setByClient; });
}

void XMPPStream::postMyJIDChange()
{
    platform::NotificationCenter::defaultCenter().postNotificationName(
        QString::fromLatin1(XMPPStreamDidChangeMyJIDNotification), this);
}

namespace {

bool isSameJID(const XMPPJID::Ptr &a, const XMPPJID::Ptr &b)
{
    if (!a || !b)
        return a == b;
    return a->isEqualToJID(b);
}

} // namespace

void XMPPStream::setMyJID_setByClient(const XMPPJID::Ptr &newMyJID)
{
    postOnXmppQueue([newMyJID](XMPPStream &stream) {
        if (isSameJID(stream.m_myJID_setByClient, newMyJID))
            return;
        stream.m_myJID_setByClient = newMyJID;
        if (!stream.m_myJID_setByServer)
            stream.postMyJIDChange();
    });
}

void XMPPStream::setMyJID_setByServer(const XMPPJID::Ptr &newMyJID)
{
    postOnXmppQueue([newMyJID](XMPPStream &stream) {
        if (isSameJID(stream.m_myJID_setByServer, newMyJID))
            return;
        const XMPPJID::Ptr oldMyJID =
            stream.m_myJID_setByServer ? stream.m_myJID_setByServer : stream.m_myJID_setByClient;
        stream.m_myJID_setByServer = newMyJID;
        if (!isSameJID(oldMyJID, newMyJID))
            stream.postMyJIDChange();
    });
}

XMPPJID::Ptr XMPPStream::remoteJID() const
{
    return resultOnXmppQueue([&] { return m_remoteJID; });
}

std::shared_ptr<XMPPPresence> XMPPStream::myPresence() const
{
    return resultOnXmppQueue([&] { return m_myPresence; });
}

std::shared_ptr<platform::NSXMLElement> XMPPStream::rootElement() const
{
    if (m_xmppQueue->isCurrent())
        return m_rootElement;
    std::shared_ptr<platform::NSXMLElement> result;
    m_xmppQueue->sync([&] { result = m_rootElement ? m_rootElement->copyElement() : nullptr; });
    return result;
}

float XMPPStream::serverXmppStreamVersionNumber() const
{
    return resultOnXmppQueue([&] {
        return m_rootElement ? attributeFloatValueForName(*m_rootElement, QStringLiteral("version"), 0.0F) : 0.0F;
    });
}

double XMPPStream::keepAliveInterval() const
{
    return resultOnXmppQueue([&] { return m_keepAliveInterval; });
}

void XMPPStream::setKeepAliveInterval(double interval)
{
    postOnXmppQueue([interval](XMPPStream &stream) {
        // A running keep-alive needs at least ten seconds between ticks; 0 or less switches it off.
        if (interval == stream.m_keepAliveInterval)
            return;
        stream.m_keepAliveInterval = interval > 0 ? std::max(interval, 10.0) : interval;
        stream.setupKeepAliveTimer();
    });
}

QChar XMPPStream::keepAliveWhitespaceCharacter() const
{
    return resultOnXmppQueue(
        [&] { return m_keepAliveData.isEmpty() ? QChar(u' ') : QString::fromUtf8(m_keepAliveData).front(); });
}

void XMPPStream::setKeepAliveWhitespaceCharacter(QChar keepAliveChar)
{
    // Only whitespace keeps a stream alive without being an element.
    if (keepAliveChar != u' ' && keepAliveChar != u'\n' && keepAliveChar != u'\t')
        return;
    postOnXmppQueue([keepAliveChar](XMPPStream &stream) { stream.m_keepAliveData = QString(keepAliveChar).toUtf8(); });
}

std::uint64_t XMPPStream::numberOfBytesSent() const
{
    return resultOnXmppQueue([&] { return m_numberOfBytesSent; });
}

std::uint64_t XMPPStream::numberOfBytesReceived() const
{
    return resultOnXmppQueue([&] { return m_numberOfBytesReceived; });
}

bool XMPPStream::resetByteCountPerConnection() const
{
    return resultOnXmppQueue([&] { return (m_config & kResetByteCountPerConnection) != 0; });
}

void XMPPStream::setResetByteCountPerConnection(bool flag)
{
    postBitChange(&XMPPStream::m_config, kResetByteCountPerConnection, flag);
}

bool XMPPStream::isP2P() const
{
    return resultOnXmppQueue([&] { return (m_config & kP2PMode) != 0; });
}

bool XMPPStream::isP2PInitiator() const
{
    return resultOnXmppQueue([&] { return (m_config & kP2PMode) != 0 && (m_flags & kP2PInitiator) != 0; });
}

bool XMPPStream::isP2PRecipient() const
{
    return resultOnXmppQueue([&] { return (m_config & kP2PMode) != 0 && (m_flags & kP2PInitiator) == 0; });
}

bool XMPPStream::isSecure() const
{
    return resultOnXmppQueue([&] { return (m_flags & kIsSecure) != 0; });
}

void XMPPStream::setIsSecure(bool flag)
{
    postBitChange(&XMPPStream::m_flags, kIsSecure, flag);
}

bool XMPPStream::isAuthenticated() const
{
    return resultOnXmppQueue([&] { return (m_flags & kIsAuthenticated) != 0; });
}

void XMPPStream::setIsAuthenticated(bool flag)
{
    postBitChange(&XMPPStream::m_flags, kIsAuthenticated, flag);
}

bool XMPPStream::didStartNegotiation() const
{
    assertOnXmppQueue();
    return (m_flags & kDidStartNegotiation) != 0;
}

void XMPPStream::setDidStartNegotiation(bool flag)
{
    assertOnXmppQueue();
    setBit(m_flags, kDidStartNegotiation, flag);
}

XMPPStreamState XMPPStream::state() const
{
    return resultOnXmppQueue([&] { return m_state; });
}

bool XMPPStream::isDisconnected() const
{
    return state() == XMPPStreamStateDisconnected;
}

bool XMPPStream::isConnected() const
{
    return state() == XMPPStreamStateConnected;
}

QVariant XMPPStream::tag() const
{
    return platform::lockedCopy(m_tagMutex, m_userTag);
}

void XMPPStream::setTag(const QVariant &tag)
{
    platform::lockedAssign(m_tagMutex, m_userTag, tag);
}

std::thread::id XMPPStream::xmppUtilityThread() const
{
    return m_utilityThreadId;
}

bool XMPPStream::hasXmppUtilityRunLoop() const
{
    return m_utilityRunLoop != nullptr;
}

void XMPPStream::performOnUtilityThread(std::function<void()> block)
{
    m_utilityRunLoop->perform(std::move(block));
}

QString XMPPStream::generateUUID()
{
    return platform::newUuidText();
}

void XMPPStream::setSRVDNSServers(const QString &servers)
{
    postOnXmppQueue([servers](XMPPStream &stream) { stream.m_srvDNSServers = servers; });
}

// ---- Delegates ----

void XMPPStream::addDelegate(const std::shared_ptr<XMPPStreamDelegate> &delegate,
                             std::shared_ptr<DispatchQueue> delegateQueue)
{
    postOnXmppQueue([delegate, delegateQueue](XMPPStream &stream) {
        stream.m_multicastDelegate.addDelegate(delegate, delegateQueue);
    });
}

void XMPPStream::addUnownedDelegate(XMPPStreamDelegate *delegate, std::shared_ptr<DispatchQueue> delegateQueue)
{
    postOnXmppQueue([delegate, delegateQueue](XMPPStream &stream) {
        stream.m_multicastDelegate.addUnownedDelegate(delegate, delegateQueue);
    });
}

void XMPPStream::removeDelegate(const GCDDelegate *delegate, const DispatchQueue *delegateQueue)
{
    runOnXmppQueue([&] { m_multicastDelegate.removeDelegate(delegate, delegateQueue); });
}
