#pragma once

#include "platform/foundation/NotificationCenter.h"
#include "push/XMPP/Core/XMPPStream.h"
#include "sync/HMPushClient.h"

#include <QDateTime>
#include <QString>

#include <memory>
#include <optional>

class Reachability;

namespace platform {
class RunLoopTimer;
}

inline constexpr char kHMDataDidSaveNotification[] = "kHMDataDidSaveNotification";

// The application's client of the cloud service's push channel: keeps one XMPP stream to the push
// host, logs in with the profile's cloud account over verified TLS, announces its presence and turns
// an incoming chat message into a request to its delegate to sync now. A status tick every 15 s
// reconnects a dropped stream while push mode is on (user default "AutoSyncronizationIntervalSeconds"
// at 119). It also holds the process-wide push status text that the cloud transport sets while it
// syncs.
// Every instance operation runs on the main thread: its timers run there, the stream reports there,
// and notifications posted elsewhere are carried there. Timers and observers hold the client weakly;
// it stops them when it goes away. Made with init().
class HMXMPPClient final : public XMPPStreamDelegate,
                           public HMPushClient,
                           public std::enable_shared_from_this<HMXMPPClient>
{
    struct PrivateTag
    {
        explicit PrivateTag() = default;
    };

public:
    static constexpr quint16 kPushPort = 5222;
    static constexpr qint64 kPushModeInterval = 119;

    // ---- The process-wide status, behind a lock: set from other queues, read anywhere ----
    static void setStatus(const QString &status);
    static QString currentStatus();
    static std::optional<QDateTime> lastMessageDate();
    static void postNotificationWithString(const QString &string);

    // Logs, makes the stream, starts the status timer, the observers and the internet monitor.
    static std::shared_ptr<HMXMPPClient> init();
    explicit HMXMPPClient(PrivateTag);
    ~HMXMPPClient() override;

    const std::shared_ptr<XMPPStream> &xmppStream() const { return m_xmppStream; }
    QString hostName() const { return m_hostName; }
    void setHostName(const QString &hostName) override { m_hostName = hostName; }
    // Ours: the push port (5222 unless configured otherwise).
    quint16 hostPort() const { return m_hostPort; }
    void setHostPort(quint16 port) { m_hostPort = port; }
    QString userName() const { return m_userName; }
    void setUserName(const QString &userName) override { m_userName = userName; }
    QString password() const { return m_password; }
    void setPassword(const QString &password) override { m_password = password; }
    QString deviceName() const { return m_deviceName; }
    void setDeviceName(const QString &deviceName) override { m_deviceName = deviceName; }
    HMXMPPClientDelegate *delegate() const { return m_delegate; }
    void setDelegate(HMXMPPClientDelegate *delegate) override { m_delegate = delegate; }
    bool isAuthenticated() const { return m_isAuthenticated; }
    QString deviceId() const { return m_deviceId; }

    void connect();
    void disconnect() override;
    void checkClientConnectionStatus();
    bool reachable() const;
    void forceSync();
    void runManualSync();
    void runManualSyncWithRetry();
    QString getStatus();
    void addNewObserver();
    void updatePushSyncStatusNotificationWithString(const QString &) {}
    void reachabilityChanged(const Reachability &changed);

    void startFireDateTimer();
    void stopFireDateTimer();
    void startNonRepeatingTimerWithInterval(qint64 seconds);
    void stopNonRepeatingTimer();
    void startNonRepeatingTimerWithRetryAndWithInterval(qint64 seconds);
    void stopNonRepeatingTimerWithRetry();
    bool hasNonRepeatingTimer() const;
    bool hasNonRepeatingTimerWithRetry() const;
    bool hasRepeatingTimer() const;

    // The stream's reports, on the main queue.
    void xmppStreamDidConnect(XMPPStream *sender) override;
    void xmppStreamDidAuthenticate(XMPPStream *sender) override;
    void xmppStreamDidNotAuthenticate(XMPPStream *sender, const std::shared_ptr<platform::NSXMLElement> &error) override;
    void xmppStreamDidReceiveError(XMPPStream *sender, const std::shared_ptr<platform::NSXMLElement> &error) override;
    void xmppStreamDidDisconnect(XMPPStream *sender, const platform::PlatformError &error) override;
    void xmppStreamWillSecureWithSettings(XMPPStream *sender, QVariantMap &settings) override;
    void xmppStreamDidSecure(XMPPStream *sender) override;
    void xmppStreamDidReceiveMessage(XMPPStream *sender, const std::shared_ptr<XMPPMessage> &message) override;

    // Whether push mode is on now.
    static bool isPushModeOn();

private:
    std::shared_ptr<platform::RunLoopTimer> scheduleTimer(double seconds, bool repeats,
                                                          void (HMXMPPClient::*action)());
    void observeOnMainQueue(const char *name, void (HMXMPPClient::*action)(const platform::Notification &));
    void onDataDidSave(const platform::Notification &notification);
    void onReachabilityChanged(const platform::Notification &notification);
    void tellDelegateToSync();

    const std::shared_ptr<XMPPStream> m_xmppStream;
    QString m_hostName;
    quint16 m_hostPort = kPushPort;
    QString m_userName;
    QString m_password;
    QString m_deviceName;
    HMXMPPClientDelegate *m_delegate = nullptr;
    bool m_isAuthenticated = false;
    bool m_isStreamDelegate = false;
    QString m_deviceId;
    QString m_currentStatus;
    std::shared_ptr<platform::RunLoopTimer> m_repeatingTimer;
    std::shared_ptr<platform::RunLoopTimer> m_nonRepeatingTimer;
    std::shared_ptr<platform::RunLoopTimer> m_nonRepeatingTimerWithRetry;
    platform::ObserverToken m_reachabilityObserver;
    platform::ObserverToken m_dataDidSaveObserver;
    std::shared_ptr<Reachability> m_internetReachability;
};
