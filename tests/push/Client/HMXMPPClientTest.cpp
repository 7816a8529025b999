// The push client against Prosody on loopback (TLS with the test CA through HM_TLS_CA_FILE, PLAIN),
// with Debian's slixmpp as an independent sender, and its timers on the virtual clock: the login and
// its status texts, messages to sync requests, the unclaimed request's answer, server kills, push
// mode off, the network going and coming back, a path going silent, and the one-shot timers.

#include "ChildProcess.h"
#include "CuttingProxy.h"
#include "NetworkNamespace.h"
#include "ProsodyServer.h"
#include "VirtualClockGuard.h"

#include "foundation/GlobalVariables.h"
#include "platform/dispatch/VirtualClock.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/UserDefaults.h"
#include "push/Client/HMXMPPClient.h"
#include "sync/HMSyncController.h"
#include "sync/NSData+Encrypt.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QSet>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <atomic>
#include <iostream>

using platform::DispatchQueue;
using platform::VirtualClock;

namespace {

const QString kUser = QStringLiteral("bob#example.com");
const QString kPassword = hexStringValue(md5Digest("secret"));
const QString kDefaultsKey = QStringLiteral("AutoSyncronizationIntervalSeconds");

// The user defaults of these tests live in a folder of their own.
void isolateDefaults()
{
    static QTemporaryDir *const folder = [] {
        auto *dir = new QTemporaryDir;
        qputenv("XDG_CONFIG_HOME", dir->path().toUtf8());
        return dir;
    }();
    (void)folder;
}

void setPushMode(bool on)
{
    isolateDefaults();
    platform::UserDefaults::standardUserDefaults().setInteger(on ? HMXMPPClient::kPushModeInterval : 900, kDefaultsKey);
}

class ClientRecorder final : public HMXMPPClientDelegate
{
public:
    void hmXmppClientDidConnect(HMPushClient *) override { ++connects; }
    void hmXmppClientDidDisconnectWithError(HMPushClient *, quint64 code) override
    {
        (code == 2 ? refusedLogins : disconnects)++;
    }
    void hmXmppClientDidError(HMPushClient *, quint64) override { ++errors; }
    void hmXmppClientDidReceiveNotification(HMPushClient *, quint64, const QVariantMap &) override { ++syncRequests; }

    std::atomic<int> connects{0}, disconnects{0}, refusedLogins{0}, errors{0}, syncRequests{0};
};

bool pumpUntil(const std::function<bool()> &condition, int seconds = 20)
{
    return DispatchQueue::runMainQueueUntil(condition, std::chrono::seconds(seconds));
}

// Moves the virtual clock on and lets the main queue run what fell due.
void advance(double seconds)
{
    VirtualClock::advance(seconds);
    DispatchQueue::runMainQueueUntilEmpty();
}

// Runs the independent client; its printed lines.
QStringList runSender(const ProsodyServer &server, const QString &jid, const QStringList &actions)
{
    looptest::ChildProcess sender;
    looptest::ChildProcess::Options options;
    options.mergeStandardError = false;
    // Debian's interpreter, which has Debian's slixmpp.
    EXPECT_TRUE(sender.start(QStringLiteral("/usr/bin/python3"),
                             QStringList{QStringLiteral(HM_XMPP_SENDER), QStringLiteral("127.0.0.1"),
                                         QString::number(server.port()), jid, QStringLiteral("secret"), server.caFile()} +
                                 actions,
                             options));
    EXPECT_TRUE(sender.waitForFinished(60000));
    return QString::fromUtf8(sender.output()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

// The presences the server received from sessions authenticated as the user, by its log's session ids.
int presencesFrom(const QString &log, const QString &user)
{
    QSet<QString> sessions;
    int count = 0;
    for (const QString &line : log.split(QLatin1Char('\n'))) {
        const QStringList fields = line.split(QLatin1Char('\t'));
        if (fields.size() < 3)
            continue;
        const QString session = fields[0].section(QLatin1Char(' '), -1);
        if (fields[2] == QStringLiteral("Authenticated as ") + user)
            sessions.insert(session);
        // The server logs the unavailable presence it makes itself when a session ends.
        else if (sessions.contains(session) && fields[2].startsWith(QStringLiteral("Received[c2s]: <presence")) &&
                 !fields[2].contains(QStringLiteral("unavailable")))
            ++count;
    }
    return count;
}

struct Fixture
{
    ProsodyServer server;
    std::shared_ptr<HMXMPPClient> client;
    ClientRecorder delegate;

    bool setUp()
    {
        if (!server.isReady() || !server.start() || !server.createAccount(kUser, kPassword) ||
            !server.createAccount(QStringLiteral("alice"), QStringLiteral("secret")))
            return false;
        qputenv("HM_TLS_CA_FILE", server.caFile().toUtf8());
        client = HMXMPPClient::init();
        client->setDelegate(&delegate);
        // The address itself: "localhost" would also try ::1, where the server does not listen.
        client->setHostName(QStringLiteral("127.0.0.1"));
        client->setHostPort(server.port());
        client->setUserName(kUser + QStringLiteral("@localhost"));
        client->setPassword(kPassword);
        client->setDeviceName(QStringLiteral("Profile1"));
        return true;
    }
    ~Fixture()
    {
        if (client)
            client->setDelegate(nullptr);
        client.reset();
        DispatchQueue::runMainQueueUntilEmpty();
    }
};

#define REQUIRE_SERVERS()                                                                                              \
    if (QStandardPaths::findExecutable(QStringLiteral("prosody")).isEmpty())                                           \
        GTEST_SKIP() << "prosody is not installed (scripts/install-deps.sh installs it)";                             \
    const looptest::VirtualClockGuard clock;                                                                                     \
    setPushMode(true);                                                                                                 \
    Fixture fixture;                                                                                                   \
    ASSERT_TRUE(fixture.setUp()) << fixture.server.error().toStdString();                                              \
    auto &client = *fixture.client;                                                                                    \
    auto &delegate = fixture.delegate

} // namespace

TEST(HMXMPPClient, LogsInOverVerifiedTLSAndTurnsChatMessagesIntoSyncRequests)
{
    REQUIRE_SERVERS();
    EXPECT_TRUE(client.hasRepeatingTimer());
    advance(15.0);
    ASSERT_TRUE(pumpUntil([&] { return delegate.connects.load() == 1; }));
    EXPECT_EQ(HMXMPPClient::currentStatus(), QStringLiteral("Connected"));
    EXPECT_TRUE(client.isAuthenticated());
    EXPECT_EQ(client.xmppStream()->myJID()->full(), QStringLiteral("bob#example.com@localhost/Profile1"));
    EXPECT_TRUE(client.xmppStream()->isSecure());
    EXPECT_EQ(client.getStatus(), QString());
    // The sync ten seconds after the stream connected, once.
    EXPECT_EQ(delegate.syncRequests.load(), 0);
    advance(10.0);
    EXPECT_EQ(delegate.syncRequests.load(), 1);
    EXPECT_TRUE(GlobalVariables::getShouldHideSyncStatus());

    GlobalVariables::setQuillnestDeviceId(QStringLiteral("dev42"));
    const QString to = QStringLiteral("bob#example.com@localhost/Profile1");
    const QStringList lines = runSender(fixture.server, QStringLiteral("alice@localhost/sender"),
                                        {QStringLiteral("message:%1:chat:hello").arg(to),
                                         QStringLiteral("message:%1:chat:dev42 CHANGES").arg(to),
                                         QStringLiteral("message:%1:Chat:capital").arg(to),
                                         QStringLiteral("message:%1:-:no type").arg(to),
                                         QStringLiteral("iq:%1").arg(to),
                                         QStringLiteral("message:%1:chat:last").arg(to)});
    ASSERT_TRUE(pumpUntil([&] { return delegate.syncRequests.load() >= 3; }));
    pumpUntil([] { return false; }, 1);
    EXPECT_EQ(delegate.syncRequests.load(), 3);
    EXPECT_TRUE(HMXMPPClient::lastMessageDate().has_value());
    EXPECT_EQ(client.deviceId(), QStringLiteral("dev42"));
    ASSERT_EQ(lines.size(), 2) << lines.join(QLatin1Char('\n')).toStdString();
    EXPECT_TRUE(lines[0].contains(QStringLiteral("feature-not-implemented"))) << lines[0].toStdString();
    EXPECT_TRUE(lines[0].contains(QStringLiteral("code=\"501\""))) << lines[0].toStdString();
    EXPECT_TRUE(lines[0].contains(QStringLiteral("jabber:iq:version"))) << lines[0].toStdString();

    // A status tick while the cloud transport syncs leaves its text standing.
    HMXMPPClient::setStatus(QStringLiteral("Synchronizing"));
    advance(15.0);
    EXPECT_EQ(HMXMPPClient::currentStatus(), QStringLiteral("Synchronizing"));
    // connect on a connected stream changes nothing.
    client.connect();
    EXPECT_EQ(HMXMPPClient::currentStatus(), QStringLiteral("Synchronizing"));
    client.disconnect();
    ASSERT_TRUE(pumpUntil([&] { return delegate.disconnects.load() == 1; }));
    EXPECT_EQ(HMXMPPClient::currentStatus(), QStringLiteral("Disconnected"));
}

TEST(HMXMPPClient, AWrongPasswordIsReportedAndNotRetried)
{
    REQUIRE_SERVERS();
    client.setPassword(QStringLiteral("wrong"));
    client.connect();
    EXPECT_EQ(HMXMPPClient::currentStatus(), QStringLiteral("Connecting..."));
    ASSERT_TRUE(pumpUntil([&] { return delegate.refusedLogins.load() == 1; }));
    EXPECT_EQ(HMXMPPClient::currentStatus(), QStringLiteral("Not authenticated"));
    EXPECT_FALSE(client.isAuthenticated());
    advance(15.0);
    advance(15.0);
    EXPECT_EQ(HMXMPPClient::currentStatus(), QStringLiteral("Not authenticated"));
    EXPECT_EQ(delegate.refusedLogins.load(), 1);
    EXPECT_EQ(delegate.connects.load(), 0);
}

TEST(HMXMPPClient, RidesOutFiveServerKillsWithOneReconnectPerTick)
{
    REQUIRE_SERVERS();
    client.connect();
    ASSERT_TRUE(pumpUntil([&] { return delegate.connects.load() == 1; }));
    for (int kill = 1; kill <= 5; ++kill) {
        fixture.server.kill();
        ASSERT_TRUE(pumpUntil([&] { return delegate.disconnects.load() == kill; }));
        EXPECT_EQ(HMXMPPClient::currentStatus(), QStringLiteral("Disconnected"));
        ASSERT_TRUE(fixture.server.start());
        // Nothing reconnects before the tick; each tick makes at most one attempt.
        pumpUntil([] { return false; }, 1);
        EXPECT_EQ(delegate.connects.load(), kill);
        // The third login happens while a sync runs: the login completes all the same.
        HMSyncController::setIsSynchronizing(kill == 3);
        int ticks = 0;
        while (delegate.connects.load() == kill && ticks < 4) {
            const int disconnectsBefore = delegate.disconnects.load();
            advance(15.0);
            ++ticks;
            pumpUntil([&] { return delegate.connects.load() > kill || delegate.disconnects.load() > disconnectsBefore; });
        }
        ASSERT_EQ(delegate.connects.load(), kill + 1)
            << "kill " << kill << ": " << HMXMPPClient::currentStatus().toStdString();
        EXPECT_EQ(ticks, 1) << "kill " << kill;
        HMSyncController::setIsSynchronizing(false);
        EXPECT_EQ(HMXMPPClient::currentStatus(), QStringLiteral("Connected"));
        advance(10.0);
    }
    pumpUntil([] { return false; }, 1);
    EXPECT_EQ(delegate.connects.load(), 6);
    // One sync request per connection at most: the one-shot after each connect.
    EXPECT_LE(delegate.syncRequests.load(), 6);
    EXPECT_GE(delegate.syncRequests.load(), 5);
}

TEST(HMXMPPClient, PushModeOffOnlyLogsAndTheOneShotTimersNeverDouble)
{
    isolateDefaults();
    const looptest::VirtualClockGuard clock;
    setPushMode(false);
    ClientRecorder delegate;
    auto client = HMXMPPClient::init();
    client->setDelegate(&delegate);
    client->setHostName(QStringLiteral("127.0.0.1"));
    HMXMPPClient::setStatus(QStringLiteral("before"));
    advance(15.0);
    advance(15.0);
    EXPECT_EQ(HMXMPPClient::currentStatus(), QStringLiteral("before"));
    EXPECT_TRUE(client->xmppStream()->isDisconnected());

    // A one-shot timer started twice fires once; a stopped one never.
    client->startNonRepeatingTimerWithInterval(10);
    client->startNonRepeatingTimerWithInterval(10);
    advance(10.0);
    EXPECT_EQ(delegate.syncRequests.load(), 1);
    client->startNonRepeatingTimerWithInterval(10);
    client->stopNonRepeatingTimer();
    advance(10.0);
    EXPECT_EQ(delegate.syncRequests.load(), 1);

    // A save during a sync is retried every 60 s until the sync is over.
    setPushMode(true);
    HMSyncController::setIsSynchronizing(true);
    HMXMPPClient::postNotificationWithString(QString());
    DispatchQueue::runMainQueueUntilEmpty();
    EXPECT_EQ(delegate.syncRequests.load(), 1);
    EXPECT_TRUE(client->hasNonRepeatingTimerWithRetry());
    advance(60.0);
    EXPECT_EQ(delegate.syncRequests.load(), 1);
    HMSyncController::setIsSynchronizing(false);
    advance(60.0);
    EXPECT_EQ(delegate.syncRequests.load(), 2);
    EXPECT_FALSE(client->hasNonRepeatingTimerWithRetry());
    client->setDelegate(nullptr);
    client.reset();
}

namespace {

constexpr char kInNamespace[] = "HM_PUSH_CLIENT_NETNS";


} // namespace

TEST(HMXMPPClientInNamespace, TheNetworkGoingAndComingBackSetsTheStatusAndTheLongSyncTimer)
{
    if (qEnvironmentVariableIsEmpty(kInNamespace))
        GTEST_SKIP() << "runs inside a private network namespace only";
    ASSERT_TRUE(looptest::ip(QStringLiteral("link add hm0 type veth peer name hm1")));
    ASSERT_TRUE(looptest::ip(QStringLiteral("link set hm1 up")));
    ASSERT_TRUE(looptest::ip(QStringLiteral("addr add 10.9.0.2/24 dev hm0")));
    const looptest::VirtualClockGuard clock;
    setPushMode(true);
    ClientRecorder delegate;
    auto client = HMXMPPClient::init();
    client->setDelegate(&delegate);
    client->setHostName(QStringLiteral("127.0.0.1"));
    EXPECT_FALSE(client->reachable());
    // Without a network a tick only says so.
    advance(15.0);
    EXPECT_EQ(HMXMPPClient::currentStatus(), QStringLiteral("No network connection"));
    EXPECT_TRUE(client->xmppStream()->isDisconnected());

    ASSERT_TRUE(looptest::ip(QStringLiteral("link set hm0 up")));
    ASSERT_TRUE(looptest::ip(QStringLiteral("route add default via 10.9.0.1 dev hm0")));
    ASSERT_TRUE(pumpUntil([] { return HMXMPPClient::currentStatus() == QStringLiteral("Connecting..."); }, 5));
    EXPECT_TRUE(client->hasNonRepeatingTimer());
    EXPECT_TRUE(client->hasRepeatingTimer());
    // The sync after the network's return comes 900 s later.
    advance(899.0);
    const int before = delegate.syncRequests.load();
    advance(1.0);
    EXPECT_EQ(delegate.syncRequests.load(), before + 1);

    ASSERT_TRUE(looptest::ip(QStringLiteral("link set hm0 down")));
    ASSERT_TRUE(pumpUntil([] { return HMXMPPClient::currentStatus() == QStringLiteral("No network connection"); }, 5));
    EXPECT_FALSE(client->hasNonRepeatingTimer());
    client->setDelegate(nullptr);
}

TEST(HMXMPPClient, FollowsTheNetworkInAPrivateNamespace)
{
    if (looptest::isInPrivateNamespace(kInNamespace))
        GTEST_SKIP();
    looptest::runInPrivateNamespace(
        kInNamespace, QStringLiteral("HMXMPPClientInNamespace.TheNetworkGoingAndComingBackSetsTheStatusAndTheLongSyncTimer"));
}

// A path that goes silent (a middlebox dropping the connection's packets without a word, as a lost NAT
// mapping or a dead link does): no reset, no close, nothing read. The stream's TCP keep-alive probes
// (after 60 s without traffic, four 15 s apart) end the connection within two minutes; the whitespace
// keep-alive, on the virtual clock here, sends nothing meanwhile. Once the path is back the next tick
// logs in again. The server has not noticed the old session either, so the old resource is taken.
TEST(HMXMPPClientInNamespace, ASilentPathIsNoticedByTheKeepAliveProbesAndRiddenOutAtTheNextTick)
{
    if (qEnvironmentVariableIsEmpty(kInNamespace))
        GTEST_SKIP() << "runs inside a private network namespace only";
    // Loopback for the server, and a default route so that the client sees a network.
    for (const char *command : {"link set lo up", "link add hm0 type veth peer name hm1", "link set hm1 up",
                                "link set hm0 up", "addr add 10.9.0.2/24 dev hm0", "route add default via 10.9.0.1 dev hm0"})
        ASSERT_TRUE(looptest::ip(QLatin1String(command)));
    // The drop rules' table and chain, empty until the path goes silent.
    if (!looptest::nft(QStringLiteral("add table inet silent")))
        GTEST_SKIP() << "nftables does not work in this kernel";
    ASSERT_TRUE(looptest::nft(QStringLiteral("add chain inet silent out { type filter hook output priority 0 ; }")));
    REQUIRE_SERVERS();
    client.connect();
    ASSERT_TRUE(pumpUntil([&] { return delegate.connects.load() == 1; }));

    // Every packet to or from the server's port is dropped from now on, both ways.
    const QString port = QString::number(fixture.server.port());
    for (const QString &command : {QStringLiteral("add rule inet silent out tcp dport %1 drop").arg(port),
                                   QStringLiteral("add rule inet silent out tcp sport %1 drop").arg(port)})
        ASSERT_TRUE(looptest::nft(command));
    QElapsedTimer silence;
    silence.start();
    ASSERT_TRUE(pumpUntil([&] { return delegate.disconnects.load() == 1; }, 200));
    const double noticedAfter = double(silence.elapsed()) / 1000.0;
    std::cout << "the silent path was noticed after " << noticedAfter << " s\n";
    EXPECT_LE(noticedAfter, 60.0 + 4 * 15.0 + 10.0);
    EXPECT_EQ(HMXMPPClient::currentStatus(), QStringLiteral("Disconnected"));

    ASSERT_TRUE(looptest::nft(QStringLiteral("delete table inet silent")));
    // Nothing reconnects before the tick; the tick logs in again.
    pumpUntil([] { return false; }, 1);
    EXPECT_EQ(delegate.connects.load(), 1);
    advance(15.0);
    ASSERT_TRUE(pumpUntil([&] { return delegate.connects.load() == 2; }));
    EXPECT_EQ(HMXMPPClient::currentStatus(), QStringLiteral("Connected"));
    std::cout << "logged in again as " << client.xmppStream()->myJID()->full().toStdString() << "\n";
    advance(10.0);
    pumpUntil([] { return false; }, 1);
    EXPECT_EQ(presencesFrom(fixture.server.logText(), QStringLiteral("bob#example.com@localhost")), 2);
    EXPECT_LE(delegate.syncRequests.load(), 2);
    EXPECT_EQ(delegate.errors.load(), 0);
}

TEST(HMXMPPClient, NoticesASilentPathInAPrivateNamespace)
{
    if (looptest::isInPrivateNamespace(kInNamespace))
        GTEST_SKIP();
    if (QStandardPaths::findExecutable(QStringLiteral("prosody")).isEmpty() ||
        QStandardPaths::findExecutable(QStringLiteral("nft")).isEmpty())
        GTEST_SKIP() << "prosody or nftables is not installed (scripts/install-deps.sh installs them)";
    looptest::runInPrivateNamespace(
        kInNamespace, QStringLiteral("HMXMPPClientInNamespace.ASilentPathIsNoticedByTheKeepAliveProbesAndRiddenOutAtTheNextTick"),
        240);
}

TEST(HMXMPPClient, AProxyCuttingMidStanzaByResetAndByCloseIsRiddenOutAtTheNextTick)
{
    REQUIRE_SERVERS();
    CuttingProxy proxy(fixture.server.port());
    client.setHostPort(proxy.port());
    client.connect();
    ASSERT_TRUE(pumpUntil([&] { return delegate.connects.load() == 1; }));
    const QString to = QStringLiteral("bob#example.com@localhost/Profile1");
    int round = 0;
    for (const CuttingProxy::Cut cut : {CuttingProxy::Cut::Reset, CuttingProxy::Cut::Close, CuttingProxy::Cut::Reset}) {
        ++round;
        proxy.cutAtNextServerBytes(cut);
        // A message without a type: it reaches the client as server bytes and asks for no sync.
        runSender(fixture.server, QStringLiteral("alice@localhost/sender"),
                  {QStringLiteral("message:%1:-:%2").arg(to, QString(300, QLatin1Char('x')))});
        ASSERT_TRUE(pumpUntil([&] { return delegate.disconnects.load() == round; })) << "round " << round;
        EXPECT_EQ(proxy.cuts(), round);
        EXPECT_EQ(HMXMPPClient::currentStatus(), QStringLiteral("Disconnected"));
        advance(15.0);
        ASSERT_TRUE(pumpUntil([&] { return delegate.connects.load() == round + 1; })) << "round " << round;
        EXPECT_EQ(proxy.connections(), round + 1);
        advance(10.0);
    }
    // One presence per connection, at most one sync request per connection, no message delivered.
    pumpUntil([] { return false; }, 1);
    EXPECT_EQ(presencesFrom(fixture.server.logText(), QStringLiteral("bob#example.com@localhost")), 4);
    EXPECT_LE(delegate.syncRequests.load(), 4);
    EXPECT_EQ(delegate.errors.load(), 0);
}
