#include "push/Client/HMXMPPClient.h"

#include "foundation/GlobalVariables.h"
#include "foundation/Lumberjack/DDLog.h"
#include "platform/dispatch/RunLoopTimer.h"
#include "platform/foundation/UserDefaults.h"
#include "push/CocoaAsyncSocket/GCDAsyncSocket.h"
#include "push/Utilities/Reachability.h"
#include "push/XMPP/Core/XMPPMessage.h"
#include "push/XMPP/Utilities/NSXMLElement+XMPP.h"
#include "sync/HMSyncController.h"

#include <mutex>

using platform::DispatchQueue;
using platform::NSXMLElement;
using platform::RunLoopTimer;

namespace {

constexpr double kStatusTickSeconds = 15.0;
constexpr qint64 kSyncAfterConnectSeconds = 10;
constexpr qint64 kSyncAfterNetworkReturnSeconds = 900;
constexpr qint64 kRetrySeconds = 60;

const QString kConnecting = QStringLiteral("Connecting...");
const QString kConnected = QStringLiteral("Connected");
const QString kNotAuthenticated = QStringLiteral("Not authenticated");
const QString kNotConnected = QStringLiteral("Not connected");
const QString kDisconnected = QStringLiteral("Disconnected");
const QString kNoNetwork = QStringLiteral("No network connection");
const QString kSynchronizing = QStringLiteral("Synchronizing");

// Never destroyed: a status set from a background queue may still run while the program ends.
struct StatusSlot
{
    std::mutex mutex;
    QString text;
    std::optional<QDateTime> lastMessageDate;
};

StatusSlot &slot()
{
    static StatusSlot *const shared = new StatusSlot;
    return *shared;
}

void stopTimer(std::shared_ptr<RunLoopTimer> &timer)
{
    if (timer)
        timer->invalidate();
    timer.reset();
}

} // namespace

// ---- The process-wide status ----

// Writers run on background queues and readers anywhere: the text is guarded, so a reader sees a whole
// old or a whole new text.
void HMXMPPClient::setStatus(const QString &status)
{
    StatusSlot &shared = slot();
    const std::lock_guard lock(shared.mutex);
    shared.text = status;
}

QString HMXMPPClient::currentStatus()
{
    StatusSlot &shared = slot();
    const std::lock_guard lock(shared.mutex);
    return shared.text;
}

std::optional<QDateTime> HMXMPPClient::lastMessageDate()
{
    StatusSlot &shared = slot();
    const std::lock_guard lock(shared.mutex);
    return shared.lastMessageDate;
}

void HMXMPPClient::postNotificationWithString(const QString &)
{
    DDLogError(QStringLiteral("Posting dataDidSaveNotification"));
    platform::NotificationCenter::defaultCenter().postNotificationName(QString::fromLatin1(kHMDataDidSaveNotification));
}

bool HMXMPPClient::isPushModeOn()
{
    return platform::UserDefaults::standardUserDefaults().integerForKey(
               QStringLiteral("AutoSyncronizationIntervalSeconds")) == kPushModeInterval;
}

// ---- Life ----

HMXMPPClient::HMXMPPClient(PrivateTag) : m_xmppStream(XMPPStream::init()) {}

std::shared_ptr<HMXMPPClient> HMXMPPClient::init()
{
    DDLogError(QStringLiteral("Initializing XMPP client"));
    auto client = std::make_shared<HMXMPPClient>(PrivateTag());
    client->setImplemented({XMPPStreamDidConnectOp, XMPPStreamDidAuthenticateOp, XMPPStreamDidNotAuthenticateOp,
                            XMPPStreamDidReceiveErrorOp, XMPPStreamDidDisconnectOp, XMPPStreamWillSecureWithSettingsOp,
                            XMPPStreamDidSecureOp, XMPPStreamDidReceiveMessageOp});
    client->startFireDateTimer();
    client->observeOnMainQueue(kReachabilityChangedNotification, &HMXMPPClient::onReachabilityChanged);
    client->observeOnMainQueue(kHMDataDidSaveNotification, &HMXMPPClient::onDataDidSave);
    // The internet monitor reports changes for as long as the client lives.
    client->m_internetReachability = Reachability::reachabilityForInternetConnection();
    if (client->m_internetReachability)
        client->m_internetReachability->startNotifier();
    return client;
}

HMXMPPClient::~HMXMPPClient()
{
    m_reachabilityObserver = platform::ObserverToken();
    m_dataDidSaveObserver = platform::ObserverToken();
    if (m_internetReachability)
        m_internetReachability->stopNotifier();
    stopTimer(m_repeatingTimer);
    stopTimer(m_nonRepeatingTimer);
    stopTimer(m_nonRepeatingTimerWithRetry);
    m_xmppStream->removeDelegate(this);
    m_xmppStream->disconnect();
}

void HMXMPPClient::observeOnMainQueue(const char *name, void (HMXMPPClient::*action)(const platform::Notification &))
{
    platform::ObserverToken token = platform::NotificationCenter::defaultCenter().addObserver(
        QString::fromLatin1(name), nullptr, [weak = weak_from_this(), action](const platform::Notification &note) {
            // Notifications come on the posting thread; the client works on the main thread.
            DispatchQueue::main()->async([weak, action, note] {
                if (const auto client = weak.lock())
                    (client.get()->*action)(note);
            });
        });
    if (QLatin1String(name) == QLatin1String(kHMDataDidSaveNotification))
        m_dataDidSaveObserver = std::move(token);
    else
        m_reachabilityObserver = std::move(token);
}

void HMXMPPClient::onDataDidSave(const platform::Notification &)
{
    runManualSyncWithRetry();
}

void HMXMPPClient::onReachabilityChanged(const platform::Notification &notification)
{
    // The object is the monitor that changed; only the client's own monitor is known to be alive.
    if (m_internetReachability && notification.object == m_internetReachability.get())
        reachabilityChanged(*m_internetReachability);
}

void HMXMPPClient::addNewObserver()
{
    m_dataDidSaveObserver = platform::ObserverToken();
    observeOnMainQueue(kHMDataDidSaveNotification, &HMXMPPClient::onDataDidSave);
}

// ---- Connecting ----

void HMXMPPClient::connect()
{
    if (m_xmppStream->isConnected())
        return;
    // Registered once, however often the client reconnects: each report reaches it once.
    if (!m_isStreamDelegate) {
        m_xmppStream->addDelegate(shared_from_this(), DispatchQueue::main());
        m_isStreamDelegate = true;
    }
    m_xmppStream->setHostName(m_hostName);
    m_xmppStream->setHostPort(m_hostPort);
    m_xmppStream->setMyJID(XMPPJID::jidWithString(m_userName, m_deviceName));
    m_xmppStream->connect();
    setStatus(kConnecting);
}

void HMXMPPClient::disconnect()
{
    if (m_xmppStream->isConnected())
        m_xmppStream->disconnect();
}

bool HMXMPPClient::reachable() const
{
    const auto internet = m_internetReachability ? m_internetReachability : Reachability::reachabilityForInternetConnection();
    return internet && internet->currentReachabilityStatus() != NotReachable;
}

QString HMXMPPClient::getStatus()
{
    if (!m_xmppStream->isAuthenticated())
        setStatus(kNotAuthenticated);
    else
        setStatus(m_xmppStream->isConnected() ? kConnected : kNotConnected);
    return m_currentStatus;
}

// ---- The status tick and the syncs ----

void HMXMPPClient::checkClientConnectionStatus()
{
    const bool isPushMode = isPushModeOn();
    if (reachable() && isPushMode) {
        // A stream that is not disconnected is connecting or connected: the tick leaves it be, so a
        // tick makes at most one attempt.
        if (!m_xmppStream->isDisconnected()) {
            if (m_xmppStream->isConnected() && currentStatus() != kSynchronizing)
                setStatus(m_xmppStream->isAuthenticated() ? kConnected : kNotAuthenticated);
        } else {
            setStatus(kNotConnected);
            connect();
        }
    } else if (isPushMode) {
        setStatus(kNoNetwork);
    } else {
        DDLogError(QStringLiteral("Push sync not enabled"));
    }
    DDLogError(QStringLiteral("XMPP status: %1").arg(currentStatus()));
}

void HMXMPPClient::reachabilityChanged(const Reachability &changed)
{
    const bool isPushMode = isPushModeOn();
    if (changed.currentReachabilityStatus() != NotReachable && isPushMode) {
        setStatus(kConnecting);
        startNonRepeatingTimerWithInterval(kSyncAfterNetworkReturnSeconds);
        stopFireDateTimer();
        startFireDateTimer();
    } else if (!isPushMode) {
        stopNonRepeatingTimer();
        stopFireDateTimer();
    } else {
        setStatus(kNoNetwork);
        stopNonRepeatingTimer();
        stopFireDateTimer();
        startFireDateTimer();
    }
}

void HMXMPPClient::tellDelegateToSync()
{
    if (m_delegate != nullptr)
        m_delegate->hmXmppClientDidReceiveNotification(this, 0, {});
}

void HMXMPPClient::forceSync()
{
    tellDelegateToSync();
}

void HMXMPPClient::runManualSync()
{
    DDLogError(QStringLiteral("Attempting to start XMPP sync"));
    GlobalVariables::setShouldHideSyncStatus(true);
    tellDelegateToSync();
}

void HMXMPPClient::runManualSyncWithRetry()
{
    checkClientConnectionStatus();
    if (!HMSyncController::getIsSynchronizing() && currentStatus() != kNoNetwork) {
        DDLogError(QStringLiteral("Starting XMPP sync"));
        GlobalVariables::setShouldHideSyncStatus(true);
        tellDelegateToSync();
        stopNonRepeatingTimerWithRetry();
        stopNonRepeatingTimer();
        return;
    }
    DDLogError(QStringLiteral("Unable to start XMPP sync. Will retry in 60 seconds"));
    stopNonRepeatingTimer();
    stopNonRepeatingTimerWithRetry();
    startNonRepeatingTimerWithRetryAndWithInterval(kRetrySeconds);
}

// ---- Timers ----

std::shared_ptr<RunLoopTimer> HMXMPPClient::scheduleTimer(double seconds, bool repeats, void (HMXMPPClient::*action)())
{
    return RunLoopTimer::scheduled(seconds, repeats ? RunLoopTimer::Repeats::Yes : RunLoopTimer::Repeats::No,
                                   [weak = weak_from_this(), action](RunLoopTimer &) {
                                       if (const auto client = weak.lock())
                                           (client.get()->*action)();
                                   });
}

void HMXMPPClient::startFireDateTimer()
{
    stopTimer(m_repeatingTimer);
    m_repeatingTimer = scheduleTimer(kStatusTickSeconds, true, &HMXMPPClient::checkClientConnectionStatus);
}

void HMXMPPClient::stopFireDateTimer()
{
    stopTimer(m_repeatingTimer);
}

// A new one-shot timer replaces the one before it, which is stopped: an orphan would fire a second
// sync request.
void HMXMPPClient::startNonRepeatingTimerWithInterval(qint64 seconds)
{
    stopTimer(m_nonRepeatingTimer);
    m_nonRepeatingTimer = scheduleTimer(double(seconds), false, &HMXMPPClient::runManualSync);
}

void HMXMPPClient::stopNonRepeatingTimer()
{
    stopTimer(m_nonRepeatingTimer);
}

void HMXMPPClient::startNonRepeatingTimerWithRetryAndWithInterval(qint64 seconds)
{
    stopTimer(m_nonRepeatingTimerWithRetry);
    m_nonRepeatingTimerWithRetry = scheduleTimer(double(seconds), false, &HMXMPPClient::runManualSyncWithRetry);
}

void HMXMPPClient::stopNonRepeatingTimerWithRetry()
{
    stopTimer(m_nonRepeatingTimerWithRetry);
}

bool HMXMPPClient::hasNonRepeatingTimer() const
{
    return m_nonRepeatingTimer && m_nonRepeatingTimer->isValid();
}

bool HMXMPPClient::hasNonRepeatingTimerWithRetry() const
{
    return m_nonRepeatingTimerWithRetry && m_nonRepeatingTimerWithRetry->isValid();
}

bool HMXMPPClient::hasRepeatingTimer() const
{
    return m_repeatingTimer && m_repeatingTimer->isValid();
}

// ---- The stream's reports ----

void HMXMPPClient::xmppStreamDidConnect(XMPPStream *sender)
{
    // An offered STARTTLS is taken before any login: the password never crosses the network readable.
    if (!sender->isSecure() && sender->supportsStartTLS() && sender->secureConnection())
        return;
    setStatus(sender->isAuthenticated() ? kConnected : kNotAuthenticated);
    sender->authenticateWithPassword(m_password);
    DDLogError(QStringLiteral("XMPP client did connect"));
    startNonRepeatingTimerWithInterval(kSyncAfterConnectSeconds);
}

void HMXMPPClient::xmppStreamDidAuthenticate(XMPPStream *sender)
{
    DDLogError(QStringLiteral("XMPP client did authenticate"));
    setStatus(kConnected);
    m_isAuthenticated = true;
    sender->sendElement(NSXMLElement::elementWithName(QStringLiteral("presence")));
    if (m_delegate != nullptr)
        m_delegate->hmXmppClientDidConnect(this);
    getStatus();
}

void HMXMPPClient::xmppStreamDidNotAuthenticate(XMPPStream *, const std::shared_ptr<NSXMLElement> &)
{
    setStatus(kNotAuthenticated);
    m_isAuthenticated = false;
    DDLogError(QStringLiteral("XMPPStream Failed to Authenticate"));
    if (m_delegate != nullptr)
        m_delegate->hmXmppClientDidDisconnectWithError(this, 2);
}

void HMXMPPClient::xmppStreamDidReceiveError(XMPPStream *, const std::shared_ptr<NSXMLElement> &error)
{
    const QString description = compactXMLString(*error);
    setStatus(description);
    DDLogError(QStringLiteral("XMPPStream didReceiveError"));
    DDLogError(QStringLiteral("Error: %1").arg(description));
    if (m_delegate != nullptr)
        m_delegate->hmXmppClientDidError(this, 4);
}

void HMXMPPClient::xmppStreamDidDisconnect(XMPPStream *, const platform::PlatformError &error)
{
    setStatus(kDisconnected);
    DDLogError(QStringLiteral("XMPPStream did disconnect"));
    DDLogError(QStringLiteral("Error: %1").arg(error.description()));
    if (m_delegate != nullptr)
        m_delegate->hmXmppClientDidDisconnectWithError(this, 0);
}

// The chain and the push host's name are verified, against the system's store and the program's
// extra CA file.
void HMXMPPClient::xmppStreamWillSecureWithSettings(XMPPStream *, QVariantMap &settings)
{
    const QVariantMap defaults = GCDAsyncSocket::defaultTLSSettings();
    for (auto it = defaults.begin(); it != defaults.end(); ++it)
        settings.insert(it.key(), it.value());
    settings.insert(QString::fromLatin1(kCFStreamSSLPeerName), m_hostName);
}

void HMXMPPClient::xmppStreamDidSecure(XMPPStream *)
{
    DDLogError(QStringLiteral("XMPP stream did secure"));
}

void HMXMPPClient::xmppStreamDidReceiveMessage(XMPPStream *, const std::shared_ptr<XMPPMessage> &message)
{
    m_deviceId = GlobalVariables::getQuillnestDeviceId();
    // The system's own change notices are not requests to sync.
    if ((*message)->stringValue() == QStringLiteral("%1 CHANGES").arg(m_deviceId))
        return;
    DDLogVerbose(QStringLiteral("HMXMPPClient: xmppStream:didReceiveMessage:"));
    if (!message->isChatMessageWithBody())
        return;
    {
        StatusSlot &shared = slot();
        const std::lock_guard lock(shared.mutex);
        shared.lastMessageDate = QDateTime::currentDateTimeUtc();
    }
    const auto body = elementForName(**message, QStringLiteral("body"));
    DDLogError(QStringLiteral("Message body: %1").arg(body ? body->stringValue() : QString()));
    tellDelegateToSync();
}
