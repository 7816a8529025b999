#pragma once

#include <QString>
#include <QVariantMap>

#include <functional>
#include <memory>

class HMPushClient;

// What a push client tells its owner, each on the main thread: the login and presence are done; the
// client disconnected (2 after a refused login, 0 after the stream closed); a stream error arrived
// (4); a sync is wanted (code 0, no dictionary).
class HMXMPPClientDelegate
{
public:
    virtual ~HMXMPPClientDelegate();

    virtual void hmXmppClientDidConnect(HMPushClient *client) = 0;
    virtual void hmXmppClientDidDisconnectWithError(HMPushClient *client, quint64 code) = 0;
    virtual void hmXmppClientDidError(HMPushClient *client, quint64 code) = 0;
    virtual void hmXmppClientDidReceiveNotification(HMPushClient *client, quint64 notification,
                                                    const QVariantMap &dictionary) = 0;
};

// The push client as the sync core sees it: the sync core does not link the push channel, so the
// program registers a maker of real clients at start-up (HMBackgroundSyncManager::setPushClientMaker).
class HMPushClient
{
public:
    using Maker = std::function<std::shared_ptr<HMPushClient>()>;

    virtual ~HMPushClient();

    // Not owned; the owner clears it before going away.
    virtual void setDelegate(HMXMPPClientDelegate *delegate) = 0;
    virtual void setHostName(const QString &hostName) = 0;
    virtual void setUserName(const QString &userName) = 0;
    virtual void setPassword(const QString &password) = 0;
    virtual void setDeviceName(const QString &deviceName) = 0;
    virtual void disconnect() = 0;
};
