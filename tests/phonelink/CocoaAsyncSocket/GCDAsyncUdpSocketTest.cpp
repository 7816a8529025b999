#include "phonelink/CocoaAsyncSocket/GCDAsyncUdpSocket.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/DispatchSemaphore.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <vector>

using platform::DispatchQueue;
using platform::PlatformError;
using testsupport::waitUntil;

namespace {

// Records every callback, in order, for the test thread to read.
class RecordingDelegate final : public GCDAsyncUdpSocketDelegate
{
public:
    struct Datagram
    {
        QByteArray data;
        QString host;
        quint16 port = 0;
        QVariant context;
    };

    void udpSocketDidConnectToAddress(GCDAsyncUdpSocket *, const QByteArray &address) override
    {
        const std::lock_guard lock(m_mutex);
        m_connected.push_back(address);
        m_events.push_back(QStringLiteral("connected"));
    }
    void udpSocketDidNotConnect(GCDAsyncUdpSocket *, const PlatformError &error) override
    {
        const std::lock_guard lock(m_mutex);
        m_notConnected.push_back(error);
        m_events.push_back(QStringLiteral("not connected"));
    }
    void udpSocketDidSendDataWithTag(GCDAsyncUdpSocket *, long tag) override
    {
        const std::lock_guard lock(m_mutex);
        m_sentTags.push_back(tag);
        m_events.push_back(QStringLiteral("sent %1").arg(tag));
    }
    void udpSocketDidNotSendDataWithTag(GCDAsyncUdpSocket *, long tag, const PlatformError &error) override
    {
        const std::lock_guard lock(m_mutex);
        m_failures.emplace_back(tag, error);
        m_events.push_back(QStringLiteral("not sent %1").arg(tag));
    }
    void udpSocketDidReceiveData(GCDAsyncUdpSocket *, const QByteArray &data, const QByteArray &address,
                                 const QVariant &filterContext) override
    {
        Datagram datagram{data, {}, 0, filterContext};
        GCDAsyncUdpSocket::getHost(&datagram.host, &datagram.port, address);
        const std::lock_guard lock(m_mutex);
        m_received.push_back(datagram);
        m_events.push_back(QStringLiteral("received"));
    }
    void udpSocketDidClose(GCDAsyncUdpSocket *, const PlatformError &error) override
    {
        const std::lock_guard lock(m_mutex);
        m_closes.push_back(error);
        m_events.push_back(QStringLiteral("closed"));
    }

    std::vector<long> sentTags() const { return locked(m_sentTags); }
    std::vector<std::pair<long, PlatformError>> failures() const { return locked(m_failures); }
    std::vector<Datagram> received() const { return locked(m_received); }
    std::vector<PlatformError> closes() const { return locked(m_closes); }
    std::vector<QByteArray> connected() const { return locked(m_connected); }
    std::vector<PlatformError> notConnected() const { return locked(m_notConnected); }
    QStringList events() const { return locked(m_events); }
    bool hasReceived(const QByteArray &data) const
    {
        const std::lock_guard lock(m_mutex);
        for (const Datagram &datagram : m_received) {
            if (datagram.data == data)
                return true;
        }
        return false;
    }

private:
    template <typename T>
    T locked(const T &value) const
    {
        const std::lock_guard lock(m_mutex);
        return value;
    }

    mutable std::mutex m_mutex;
    std::vector<long> m_sentTags;
    std::vector<std::pair<long, PlatformError>> m_failures;
    std::vector<Datagram> m_received;
    std::vector<PlatformError> m_closes;
    std::vector<QByteArray> m_connected;
    std::vector<PlatformError> m_notConnected;
    QStringList m_events;
};

QByteArray ipv4Address(const char *host, quint16 port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    inet_pton(AF_INET, host, &address.sin_addr);
    return QByteArray(reinterpret_cast<const char *>(&address), sizeof address);
}

QByteArray ipv6Address(const char *host, quint16 port)
{
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(port);
    inet_pton(AF_INET6, host, &address.sin6_addr);
    return QByteArray(reinterpret_cast<const char *>(&address), sizeof address);
}

// A plain datagram socket for sending raw bytes at a listener.
class RawSender final
{
public:
    explicit RawSender(int family) : m_fd(::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {}
    ~RawSender() { ::close(m_fd); }
    RawSender(const RawSender &) = delete;
    RawSender &operator=(const RawSender &) = delete;

    bool send(const QByteArray &data, const QByteArray &to) const
    {
        return ::sendto(m_fd, data.constData(), size_t(data.size()), 0, reinterpret_cast<const sockaddr *>(to.constData()),
                        socklen_t(to.size())) == data.size();
    }

private:
    const int m_fd;
};

class UdpSocketTest : public testing::Test
{
protected:
    void TearDown() override
    {
        // Dropping a socket does not end it while one of its blocks still runs, and such a block may
        // still report. Closing waits for the socket queue and leaves nothing more to report, so after
        // the delegate queue drains no callback can reach the delegates as they go away.
        for (const auto &socket : m_sockets)
            socket->close();
        m_delegateQueue->sync([] {});
        m_sockets.clear();
    }

    std::shared_ptr<GCDAsyncUdpSocket> makeSocket(RecordingDelegate &delegate)
    {
        m_sockets.push_back(GCDAsyncUdpSocket::create(&delegate, m_delegateQueue));
        return m_sockets.back();
    }

    // A socket bound to a port of the system's choice on both families, receiving continuously.
    std::shared_ptr<GCDAsyncUdpSocket> makeListener(RecordingDelegate &delegate)
    {
        auto socket = makeSocket(delegate);
        PlatformError error;
        EXPECT_TRUE(socket->bindToPort(0, &error)) << error.description().toStdString();
        EXPECT_TRUE(socket->beginReceiving(&error)) << error.description().toStdString();
        return socket;
    }

    RecordingDelegate m_listenerDelegate;
    RecordingDelegate m_senderDelegate;
    std::shared_ptr<DispatchQueue> m_delegateQueue = DispatchQueue::createSerial(QStringLiteral("test.udp.delegate"));
    std::vector<std::shared_ptr<GCDAsyncUdpSocket>> m_sockets;
};

TEST_F(UdpSocketTest, MisuseIsRefusedWithItsMessageOnceAndNothingElse)
{
    struct Row
    {
        const char *name;
        std::function<bool(GCDAsyncUdpSocket &, PlatformError *)> operation;
        bool hasDelegate;
        bool hasQueue;
        qint64 code;
        const char *message;
        QStringList events = {};
    };
    const Row rows[] = {
        {"bind without a delegate", [](GCDAsyncUdpSocket &s, PlatformError *e) { return s.bindToPort(0, e); }, false,
         true, 1, "Attempting to use socket without a delegate. Set a delegate first."},
        {"bind without a delegate queue", [](GCDAsyncUdpSocket &s, PlatformError *e) { return s.bindToPort(0, e); },
         true, false, 1, "Attempting to use socket without a delegate queue. Set a delegate queue first."},
        {"receive before binding", [](GCDAsyncUdpSocket &s, PlatformError *e) { return s.beginReceiving(e); }, true,
         true, 1,
         "Must bind socket before you can receive data. You can do this explicitly via bind, or implicitly via "
         "connect or by sending data."},
        {"receive once before binding", [](GCDAsyncUdpSocket &s, PlatformError *e) { return s.receiveOnce(e); }, true,
         true, 1,
         "Must bind socket before you can receive data. You can do this explicitly via bind, or implicitly via "
         "connect or by sending data."},
        {"bind twice",
         [](GCDAsyncUdpSocket &s, PlatformError *e) { return s.bindToPort(0, e) && s.bindToPort(0, e); }, true, true,
         1, "Cannot bind a socket more than once."},
        {"unknown interface",
         [](GCDAsyncUdpSocket &s, PlatformError *e) { return s.bindToPort(0, QStringLiteral("no-such-if0"), e); }, true,
         true, 2, "Unknown interface. Specify valid interface by name (e.g. \"en1\") or IP address."},
        {"join before binding",
         [](GCDAsyncUdpSocket &s, PlatformError *e) { return s.joinMulticastGroup(QStringLiteral("239.1.2.3"), e); },
         true, true, 1, "Must bind a socket before joining a multicast group."},
        {"connect twice",
         [](GCDAsyncUdpSocket &s, PlatformError *e) {
             return s.connectToAddress(ipv4Address("127.0.0.1", 9), e) &&
                    s.connectToAddress(ipv4Address("127.0.0.1", 9), e);
         },
         true, true, 1, "Cannot connect a socket more than once.", {QStringLiteral("connected")}},
        {"bind to a malformed address",
         [](GCDAsyncUdpSocket &s, PlatformError *e) { return s.bindToAddress(QByteArray(10, '\0'), e); }, true, true,
         2, "A valid IPv4 or IPv6 address was not given"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        RecordingDelegate delegate;
        {
            auto socket = GCDAsyncUdpSocket::create(row.hasDelegate ? &delegate : nullptr,
                                                    row.hasQueue ? m_delegateQueue : nullptr);
            PlatformError error;
            EXPECT_FALSE(row.operation(*socket, &error));
            EXPECT_EQ(error.domain(), QStringLiteral("GCDAsyncUdpSocketErrorDomain"));
            EXPECT_EQ(error.code(), row.code);
            EXPECT_EQ(error.localizedDescription(), QString::fromLatin1(row.message));
        }
        m_delegateQueue->sync([] {});
        EXPECT_EQ(delegate.events(), row.events);
    }
}

TEST_F(UdpSocketTest, ClosingReportsOnlyForSocketsThatWereOpen)
{
    auto fresh = makeSocket(m_senderDelegate);
    fresh->close();
    auto bound = makeSocket(m_listenerDelegate);
    ASSERT_TRUE(bound->bindToPort(0));
    EXPECT_NE(bound->localPort(), 0);
    bound->close();
    bound->close();
    EXPECT_TRUE(bound->isClosed());
    EXPECT_EQ(bound->localPort(), 0);
    m_delegateQueue->sync([] {});
    EXPECT_EQ(m_senderDelegate.events(), QStringList());
    ASSERT_EQ(m_listenerDelegate.closes().size(), 1u);
    EXPECT_TRUE(m_listenerDelegate.closes().front().isNull());
}

TEST_F(UdpSocketTest, ConfigurationKeepsOnePreferenceAndItsSizes)
{
    auto socket = makeSocket(m_senderDelegate);
    EXPECT_TRUE(socket->isIPVersionNeutral());
    socket->setPreferIPv4();
    socket->setPreferIPv6();
    EXPECT_FALSE(socket->isIPv4Preferred());
    EXPECT_TRUE(socket->isIPv6Preferred());
    socket->setIPVersionNeutral();
    EXPECT_TRUE(socket->isIPVersionNeutral());
    EXPECT_EQ(socket->maxReceiveIPv4BufferSize(), 65535);
    socket->setMaxReceiveIPv6BufferSize(9000);
    EXPECT_EQ(socket->maxReceiveIPv6BufferSize(), 9000u);
    socket->setUserData(QStringLiteral("owner"));
    EXPECT_EQ(socket->userData(), QVariant(QStringLiteral("owner")));
    socket->setIPv6Enabled(false);
    EXPECT_FALSE(socket->isIPv6());
    EXPECT_TRUE(socket->isIPv4());
}

TEST_F(UdpSocketTest, BindingFollowsTheInterfaceAndTheEnabledFamilies)
{
    auto loopback = makeSocket(m_listenerDelegate);
    ASSERT_TRUE(loopback->bindToPort(0, QStringLiteral("loopback")));
    EXPECT_EQ(loopback->localHost_IPv4(), QStringLiteral("127.0.0.1"));
    EXPECT_EQ(loopback->localHost_IPv6(), QStringLiteral("::1"));

    struct Row
    {
        const char *name;
        bool isIPv4Enabled;
        bool isIPv6Enabled;
        const char *interface;
        const char *message;
    };
    const Row rows[] = {
        {"IPv6 only on an IPv6 interface", true, false, "::1",
         "IPv6 has been disabled and specified interface doesn't support IPv4."},
        {"IPv4 only on an IPv4 interface", false, true, "127.0.0.1",
         "IPv4 has been disabled and specified interface doesn't support IPv6."},
        {"both families disabled", false, false, "127.0.0.1",
         "Both IPv4 and IPv6 have been disabled. Must enable at least one protocol first."},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        auto socket = makeSocket(m_senderDelegate);
        socket->setIPv4Enabled(row.isIPv4Enabled);
        socket->setIPv6Enabled(row.isIPv6Enabled);
        PlatformError error;
        EXPECT_FALSE(socket->bindToPort(0, QString::fromLatin1(row.interface), &error));
        EXPECT_EQ(error.localizedDescription(), QString::fromLatin1(row.message));
        EXPECT_TRUE(socket->isClosed());
    }

    // An IPv4 interface leaves the IPv6 family deactivated for the sends that follow.
    auto only4 = makeSocket(m_senderDelegate);
    ASSERT_TRUE(only4->bindToPort(0, QStringLiteral("127.0.0.1")));
    EXPECT_EQ(only4->localPort_IPv6(), 0);
    only4->sendData("nowhere", QStringLiteral("::1"), 9, -1, 1);
    ASSERT_TRUE(waitUntil([&] { return m_senderDelegate.failures().size() == 1; })) << "the refused family";
    EXPECT_EQ(m_senderDelegate.failures()[0].second.localizedDescription(),
              QStringLiteral("IPv6 has been deactivated due to bind/connect, and DNS lookup found no IPv4 address(es)."));
}

TEST_F(UdpSocketTest, ReceiveOnceDeliversOneDatagramAndLocalhostFollowsThePreference)
{
    auto listener = makeSocket(m_listenerDelegate);
    ASSERT_TRUE(listener->bindToPort(0));
    ASSERT_TRUE(listener->receiveOnce());
    auto sender = makeSocket(m_senderDelegate);
    sender->setPreferIPv6();
    sender->sendData("one", QStringLiteral("localhost"), listener->localPort_IPv6(), -1, 1);
    sender->sendData("two", QStringLiteral("localhost"), listener->localPort_IPv6(), -1, 2);
    ASSERT_TRUE(waitUntil([&] { return m_senderDelegate.sentTags().size() == 2; })) << "both sends";
    ASSERT_TRUE(waitUntil([&] { return m_listenerDelegate.received().size() == 1; })) << "one delivery";
    EXPECT_EQ(m_listenerDelegate.received()[0].data, QByteArray("one"));
    EXPECT_EQ(m_listenerDelegate.received()[0].host, QStringLiteral("::1"));
    listener->performBlock([] {});
    m_delegateQueue->sync([] {});
    EXPECT_EQ(m_listenerDelegate.received().size(), 1u);

    ASSERT_TRUE(listener->receiveOnce());
    ASSERT_TRUE(waitUntil([&] { return m_listenerDelegate.received().size() == 2; })) << "the waiting datagram";
    EXPECT_EQ(m_listenerDelegate.received()[1].data, QByteArray("two"));
}

TEST_F(UdpSocketTest, ListenerOnBothFamiliesReportsEachSenderHostAndPort)
{
    auto listener = makeListener(m_listenerDelegate);
    const quint16 port4 = listener->localPort_IPv4();
    const quint16 port6 = listener->localPort_IPv6();
    ASSERT_NE(port4, 0);
    ASSERT_NE(port6, 0);
    EXPECT_EQ(listener->localHost_IPv4(), QStringLiteral("0.0.0.0"));
    EXPECT_EQ(listener->localHost_IPv6(), QStringLiteral("::"));

    auto sender = makeSocket(m_senderDelegate);
    sender->sendData("over four", QStringLiteral("127.0.0.1"), port4, -1, 4);
    sender->sendData("over six", QStringLiteral("::1"), port6, -1, 6);
    ASSERT_TRUE(waitUntil([&] { return m_listenerDelegate.received().size() == 2; })) << "both datagrams";
    // The sender's reports travel on the delegate queue apart from the datagrams.
    ASSERT_TRUE(waitUntil([&] { return m_senderDelegate.sentTags().size() == 2; })) << "both reports";

    std::map<QByteArray, RecordingDelegate::Datagram> byData;
    for (const auto &datagram : m_listenerDelegate.received())
        byData[datagram.data] = datagram;
    EXPECT_EQ(byData["over four"].host, QStringLiteral("127.0.0.1"));
    EXPECT_EQ(byData["over four"].port, sender->localPort_IPv4());
    EXPECT_EQ(byData["over six"].host, QStringLiteral("::1"));
    EXPECT_EQ(byData["over six"].port, sender->localPort_IPv6());
    EXPECT_EQ(m_senderDelegate.sentTags(), (std::vector<long>{4, 6}));
}

TEST_F(UdpSocketTest, DatagramsAreReportedSentInOrderAndArriveWhole)
{
    auto listener = makeListener(m_listenerDelegate);
    const quint16 port = listener->localPort();
    auto sender = makeSocket(m_senderDelegate);
    const QByteArray big(60000, 'x');
    sender->sendData("first", QStringLiteral("localhost"), port, -1, 1);
    sender->sendData(big, ipv4Address("127.0.0.1", port), -1, 2);
    sender->sendData("third", QStringLiteral("127.0.0.1"), port, 5.0, 3);
    sender->sendData(QByteArray(), QStringLiteral("127.0.0.1"), port, -1, 99);

    ASSERT_TRUE(waitUntil([&] { return m_listenerDelegate.received().size() == 3; })) << "three datagrams";
    ASSERT_TRUE(waitUntil([&] { return m_senderDelegate.sentTags().size() == 3; })) << "three reports";
    EXPECT_EQ(m_senderDelegate.sentTags(), (std::vector<long>{1, 2, 3}));
    const auto received = m_listenerDelegate.received();
    EXPECT_EQ(received[0].data, QByteArray("first"));
    EXPECT_EQ(received[1].data, big);
    EXPECT_EQ(received[2].data, QByteArray("third"));
    EXPECT_EQ(received[0].host, QStringLiteral("127.0.0.1"));
}

TEST_F(UdpSocketTest, UnknownHostFailsThatDatagramAndTheNextStillGoes)
{
    auto listener = makeListener(m_listenerDelegate);
    const quint16 port = listener->localPort();
    auto sender = makeSocket(m_senderDelegate);
    // Not a valid host name, so the lookup fails without asking any name server.
    sender->sendData("lost", QStringLiteral("unknown host!"), port, -1, 1);
    sender->sendData("kept", QStringLiteral("127.0.0.1"), port, -1, 2);
    sender->sendData("unaddressed", 5.0, 3);

    ASSERT_TRUE(waitUntil([&] { return m_senderDelegate.failures().size() == 2 && !m_senderDelegate.sentTags().empty(); }))
        << "two failures and one send";
    const auto failures = m_senderDelegate.failures();
    EXPECT_EQ(failures[0].first, 1);
    EXPECT_EQ(failures[0].second.domain(), QStringLiteral("kCFStreamErrorDomainNetDB"));
    EXPECT_NE(failures[0].second.code(), 0);
    EXPECT_EQ(failures[1].first, 3);
    EXPECT_EQ(failures[1].second.localizedDescription(),
              QStringLiteral("You must specify destination of packet for a non-connected socket"));
    EXPECT_EQ(m_senderDelegate.sentTags(), (std::vector<long>{2}));
    ASSERT_TRUE(waitUntil([&] { return m_listenerDelegate.hasReceived("kept"); })) << "the datagram after the failure";
    EXPECT_EQ(m_senderDelegate.closes().size(), 0u);
}

TEST_F(UdpSocketTest, ConnectedSocketSendsToItsPeerAndIgnoresOtherSenders)
{
    auto listener = makeListener(m_listenerDelegate);
    const quint16 listenerPort = listener->localPort();
    auto connected = makeSocket(m_senderDelegate);
    ASSERT_TRUE(connected->bindToPort(0, QStringLiteral("loopback")));
    ASSERT_TRUE(connected->connectToHost(QStringLiteral("127.0.0.1"), listenerPort));
    ASSERT_TRUE(waitUntil([&] { return m_senderDelegate.connected().size() == 1; })) << "the connect";
    EXPECT_TRUE(connected->isConnected());
    EXPECT_EQ(connected->connectedHost(), QStringLiteral("127.0.0.1"));
    EXPECT_EQ(connected->connectedPort(), listenerPort);
    ASSERT_TRUE(connected->beginReceiving());

    connected->sendData("to the peer", 1);
    connected->sendData("elsewhere", ipv4Address("127.0.0.1", listenerPort), -1, 2);
    ASSERT_TRUE(waitUntil([&] { return m_senderDelegate.failures().size() == 1; })) << "the refused destination";
    EXPECT_EQ(m_senderDelegate.failures()[0].second.localizedDescription(),
              QStringLiteral("Cannot specify destination of packet for connected socket"));
    ASSERT_TRUE(waitUntil([&] { return m_listenerDelegate.hasReceived("to the peer"); })) << "the datagram to the peer";

    // A stranger's datagram is dropped; the peer's own answer arrives.
    const quint16 connectedPort = connected->localPort();
    RawSender stranger(AF_INET);
    ASSERT_TRUE(stranger.send("stranger", ipv4Address("127.0.0.1", connectedPort)));
    listener->sendData("answer", ipv4Address("127.0.0.1", connectedPort), -1, 7);
    ASSERT_TRUE(waitUntil([&] { return m_senderDelegate.hasReceived("answer"); })) << "the peer's answer";
    EXPECT_FALSE(m_senderDelegate.hasReceived("stranger"));
}

TEST_F(UdpSocketTest, ReceiveFiltersDropDatagramsAndAttachContexts)
{
    auto filterQueue = DispatchQueue::createSerial(QStringLiteral("test.udp.filter"));
    auto listener = makeListener(m_listenerDelegate);
    listener->setReceiveFilter(
        [](const QByteArray &data, const QByteArray &address, QVariant *context) {
            *context = GCDAsyncUdpSocket::portFromAddress(address) != 0 ? QVariant(int(data.size())) : QVariant();
            return !data.startsWith("drop");
        },
        filterQueue);
    const QByteArray to = ipv4Address("127.0.0.1", listener->localPort_IPv4());
    RawSender sender(AF_INET);
    for (const char *text : {"drop 1", "keep", "drop 2", "also kept"})
        ASSERT_TRUE(sender.send(text, to));
    ASSERT_TRUE(waitUntil([&] { return m_listenerDelegate.received().size() == 2; })) << "two kept datagrams";

    // A synchronous filter in receive-once mode reads on past refused datagrams.
    listener->setReceiveFilter(
        [](const QByteArray &data, const QByteArray &, QVariant *) { return data == "wanted"; }, filterQueue, false);
    listener->pauseReceiving();
    ASSERT_TRUE(listener->receiveOnce());
    for (const char *text : {"unwanted", "wanted", "after"})
        ASSERT_TRUE(sender.send(text, to));
    ASSERT_TRUE(waitUntil([&] { return m_listenerDelegate.received().size() == 3; })) << "the wanted datagram";
    const auto received = m_listenerDelegate.received();
    EXPECT_EQ(received[0].data, QByteArray("keep"));
    EXPECT_EQ(received[0].context, QVariant(4));
    EXPECT_EQ(received[1].data, QByteArray("also kept"));
    EXPECT_EQ(received[2].data, QByteArray("wanted"));
    EXPECT_FALSE(received[2].context.isValid());
    listener->performBlock([] {});
    m_delegateQueue->sync([] {});
    EXPECT_FALSE(m_listenerDelegate.hasReceived("after"));
}

TEST_F(UdpSocketTest, PausedListenerKeepsDatagramsUntilReceivingAgain)
{
    auto listener = makeListener(m_listenerDelegate);
    listener->pauseReceiving();
    const QByteArray to = ipv4Address("127.0.0.1", listener->localPort_IPv4());
    RawSender sender(AF_INET);
    ASSERT_TRUE(sender.send("while paused", to));
    const auto waiting = [&] {
        int count = 0;
        listener->performBlock([&] { ioctl(listener->socket4FD(), FIONREAD, &count); });
        return count > 0;
    };
    ASSERT_TRUE(waitUntil(waiting)) << "the datagram waiting in the system";
    listener->performBlock([] {});
    m_delegateQueue->sync([] {});
    EXPECT_TRUE(m_listenerDelegate.received().empty());
    ASSERT_TRUE(listener->beginReceiving());
    ASSERT_TRUE(waitUntil([&] { return m_listenerDelegate.hasReceived("while paused"); })) << "the kept datagram";
}

TEST_F(UdpSocketTest, SendFilterRefusalCountsAsSentAndSendsNothing)
{
    auto listener = makeListener(m_listenerDelegate);
    auto sender = makeSocket(m_senderDelegate);
    sender->setSendFilter([](const QByteArray &data, const QByteArray &, long) { return data != "secret"; },
                          DispatchQueue::createSerial(QStringLiteral("test.udp.sendfilter")));
    const QByteArray to = ipv4Address("127.0.0.1", listener->localPort_IPv4());
    sender->sendData("secret", to, -1, 1);
    sender->sendData("public", to, -1, 2);
    ASSERT_TRUE(waitUntil([&] { return m_listenerDelegate.hasReceived("public"); })) << "the allowed datagram";
    ASSERT_TRUE(waitUntil([&] { return m_senderDelegate.sentTags().size() == 2; })) << "both reports";
    EXPECT_EQ(m_senderDelegate.sentTags(), (std::vector<long>{1, 2}));
    EXPECT_FALSE(m_listenerDelegate.hasReceived("secret"));
}

TEST_F(UdpSocketTest, CloseAfterSendingSendsEverythingThenCloses)
{
    auto listener = makeListener(m_listenerDelegate);
    auto sender = makeSocket(m_senderDelegate);
    const QByteArray to = ipv4Address("127.0.0.1", listener->localPort_IPv4());
    for (long tag = 1; tag <= 3; ++tag)
        sender->sendData(QByteArray::number(tag), to, -1, tag);
    sender->closeAfterSending();
    ASSERT_TRUE(waitUntil([&] { return m_senderDelegate.closes().size() == 1; })) << "the close";
    EXPECT_EQ(m_senderDelegate.events(),
              QStringList({QStringLiteral("sent 1"), QStringLiteral("sent 2"), QStringLiteral("sent 3"),
                           QStringLiteral("closed")}));
}

TEST_F(UdpSocketTest, CloseWhileSendingDropsTheRestWithoutReports)
{
    auto listener = makeListener(m_listenerDelegate);
    auto sender = makeSocket(m_senderDelegate);
    const QByteArray to = ipv4Address("127.0.0.1", listener->localPort_IPv4());
    // The first datagram is held in the send filter while the socket closes under it.
    const auto gate = platform::DispatchSemaphore::create(0);
    std::atomic<bool> isFiltering = false;
    const auto filterQueue = DispatchQueue::createSerial(QStringLiteral("test.udp.gate"));
    sender->setSendFilter(
        [&](const QByteArray &, const QByteArray &, long) {
            isFiltering = true;
            gate->wait();
            return true;
        },
        filterQueue);
    for (long tag = 1; tag <= 5; ++tag)
        sender->sendData(QByteArray::number(tag), to, -1, tag);
    ASSERT_TRUE(waitUntil([&] { return isFiltering.load(); })) << "the first datagram in the filter";
    sender->close();
    gate->signal();
    filterQueue->sync([] {});
    sender->performBlock([] {});
    m_delegateQueue->sync([] {});
    EXPECT_EQ(m_senderDelegate.events(), QStringList({QStringLiteral("closed")}));

    // The closed socket opens again for the next datagram.
    sender->setSendFilter(nullptr, nullptr);
    sender->sendData("again", to, -1, 6);
    ASSERT_TRUE(waitUntil([&] { return m_listenerDelegate.hasReceived("again"); })) << "a send after the close";
    EXPECT_EQ(m_listenerDelegate.received().size(), 1u);
    ASSERT_TRUE(waitUntil([&] { return !m_senderDelegate.sentTags().empty(); })) << "the report of the send";
    EXPECT_EQ(m_senderDelegate.sentTags(), (std::vector<long>{6}));
}

TEST_F(UdpSocketTest, CloseWhileFilteringReceivedDatagramDeliversNothingMore)
{
    auto listener = makeListener(m_listenerDelegate);
    const QByteArray to = ipv4Address("127.0.0.1", listener->localPort_IPv4());
    // The datagram is held in the asynchronous receive filter while the listener closes under it.
    const auto gate = platform::DispatchSemaphore::create(0);
    std::atomic<bool> isFiltering = false;
    const auto filterQueue = DispatchQueue::createSerial(QStringLiteral("test.udp.receivegate"));
    listener->setReceiveFilter(
        [&](const QByteArray &, const QByteArray &, QVariant *) {
            isFiltering = true;
            gate->wait();
            return true;
        },
        filterQueue);
    RawSender sender(AF_INET);
    ASSERT_TRUE(sender.send("held", to));
    ASSERT_TRUE(waitUntil([&] { return isFiltering.load(); })) << "the datagram in the filter";
    listener->close();
    gate->signal();
    filterQueue->sync([] {});
    listener->performBlock([] {});
    m_delegateQueue->sync([] {});
    EXPECT_EQ(m_listenerDelegate.events(), QStringList({QStringLiteral("closed")}));

    // The filter's late answer does not count against the listener's next life either.
    listener->setReceiveFilter(nullptr, nullptr);
    ASSERT_TRUE(listener->bindToPort(0));
    ASSERT_TRUE(listener->receiveOnce());
    ASSERT_TRUE(sender.send("next", ipv4Address("127.0.0.1", listener->localPort_IPv4())));
    ASSERT_TRUE(waitUntil([&] { return m_listenerDelegate.hasReceived("next"); })) << "a datagram after the close";
    EXPECT_FALSE(m_listenerDelegate.hasReceived("held"));
}

TEST_F(UdpSocketTest, EmptyDatagramDoesNotCloseTheListener)
{
    auto listener = makeListener(m_listenerDelegate);
    const QByteArray to = ipv6Address("::1", listener->localPort_IPv6());
    RawSender sender(AF_INET6);
    ASSERT_TRUE(sender.send(QByteArray(), to));
    ASSERT_TRUE(sender.send("after the empty one", to));
    ASSERT_TRUE(waitUntil([&] { return m_listenerDelegate.hasReceived("after the empty one"); })) << "the datagram";
    EXPECT_EQ(m_listenerDelegate.received().size(), 1u);
    EXPECT_TRUE(m_listenerDelegate.closes().empty());
}

TEST_F(UdpSocketTest, FloodOfRandomDatagramsLeavesTheListenerWorking)
{
    auto listener = makeListener(m_listenerDelegate);
    listener->setMaxReceiveIPv4BufferSize(512);
    const QByteArray to4 = ipv4Address("127.0.0.1", listener->localPort_IPv4());
    const QByteArray to6 = ipv6Address("::1", listener->localPort_IPv6());
    RawSender sender4(AF_INET);
    RawSender sender6(AF_INET6);
    std::mt19937 random(12345);
    std::uniform_int_distribution<int> size(0, 2000);
    std::uniform_int_distribution<int> byte(0, 255);
    for (int index = 0; index < 10000; ++index) {
        QByteArray datagram(size(random), '\0');
        for (char &value : datagram)
            value = char(byte(random));
        (index % 2 == 0 ? sender4 : sender6).send(datagram, index % 2 == 0 ? to4 : to6);
    }
    // The system may drop datagrams under the flood; the marker is sent until it arrives.
    bool isMarkerSeen = false;
    for (int attempt = 0; attempt < 200 && !isMarkerSeen; ++attempt) {
        sender4.send("marker", to4);
        isMarkerSeen = waitUntil([&] { return m_listenerDelegate.hasReceived("marker"); }, std::chrono::milliseconds(50));
    }
    EXPECT_TRUE(isMarkerSeen);
    EXPECT_TRUE(m_listenerDelegate.closes().empty());
    for (const auto &datagram : m_listenerDelegate.received())
        EXPECT_LE(datagram.data.size(), datagram.host == QStringLiteral("127.0.0.1") ? 512 : 2000);
}

TEST(UdpSocketAddressTest, AddressesGiveHostPortAndFamilyOnlyWhenWhole)
{
    struct Row
    {
        const char *name;
        QByteArray address;
        bool isUsable;
        QString host;
        quint16 port;
        int family;
    };
    sockaddr_in6 mapped{};
    mapped.sin6_family = AF_INET6;
    mapped.sin6_port = htons(8092);
    inet_pton(AF_INET6, "::ffff:192.0.2.7", &mapped.sin6_addr);
    const Row rows[] = {
        {"IPv4", ipv4Address("127.0.0.1", 8092), true, QStringLiteral("127.0.0.1"), 8092, AF_INET},
        {"IPv6", ipv6Address("fe80::1", 5), true, QStringLiteral("fe80::1"), 5, AF_INET6},
        {"IPv4-mapped sender", QByteArray(reinterpret_cast<const char *>(&mapped), sizeof mapped), true,
         QStringLiteral("::ffff:192.0.2.7"), 8092, AF_INET6},
        {"ten bytes", QByteArray(10, '\x02'), false, QString(), 0, 0},
        {"IPv6 family in IPv4 length", ipv6Address("::1", 1).left(16), false, QString(), 0, 0},
        {"unknown family", QByteArray(28, '\x7f'), false, QString(), 0, 0},
        {"empty", QByteArray(), false, QString(), 0, 0},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        QString host = QStringLiteral("stale");
        quint16 port = 1;
        int family = 1;
        EXPECT_EQ(GCDAsyncUdpSocket::getHost(&host, &port, &family, row.address), row.isUsable);
        EXPECT_EQ(host, row.host);
        EXPECT_EQ(port, row.port);
        EXPECT_EQ(family, row.family);
        EXPECT_EQ(GCDAsyncUdpSocket::isIPv4Address(row.address), row.family == AF_INET);
        EXPECT_EQ(GCDAsyncUdpSocket::isIPv6Address(row.address), row.family == AF_INET6);
    }
}

} // namespace

// Each address family on its own loopback: binding to one address, connecting, talking only with the
// peer, and multicast membership all go through the family's own socket and leave the other closed.
struct FamilyCase
{
    int family;
    const char *loopback;
    const char *group;
};

class UdpSocketFamilyTest : public UdpSocketTest, public testing::WithParamInterface<FamilyCase>
{
protected:
    QByteArray loopbackAddress(quint16 port) const
    {
        return GetParam().family == AF_INET ? ipv4Address(GetParam().loopback, port)
                                            : ipv6Address(GetParam().loopback, port);
    }
    quint16 familyPort(GCDAsyncUdpSocket &socket) const
    {
        return GetParam().family == AF_INET ? socket.localPort_IPv4() : socket.localPort_IPv6();
    }
    quint16 otherFamilyPort(GCDAsyncUdpSocket &socket) const
    {
        return GetParam().family == AF_INET ? socket.localPort_IPv6() : socket.localPort_IPv4();
    }
};

TEST_P(UdpSocketFamilyTest, ConnectedSocketTalksOnlyWithItsPeer)
{
    const QString loopback = QString::fromLatin1(GetParam().loopback);
    auto listener = makeListener(m_listenerDelegate);
    const quint16 listenerPort = familyPort(*listener);
    auto connected = makeSocket(m_senderDelegate);
    PlatformError error;
    ASSERT_TRUE(connected->bindToAddress(loopbackAddress(0), &error)) << error.description().toStdString();
    EXPECT_EQ(connected->localHost(), loopback);
    EXPECT_EQ(otherFamilyPort(*connected), 0) << "the other family stays closed";
    ASSERT_TRUE(connected->connectToAddress(loopbackAddress(listenerPort), &error))
        << error.description().toStdString();
    ASSERT_TRUE(waitUntil([&] { return m_senderDelegate.connected().size() == 1; })) << "the connect";
    EXPECT_EQ(GCDAsyncUdpSocket::familyFromAddress(connected->connectedAddress()), GetParam().family);
    EXPECT_EQ(connected->connectedHost(), loopback);
    EXPECT_EQ(connected->connectedPort(), listenerPort);
    ASSERT_TRUE(connected->beginReceiving());

    connected->sendData("to the peer", 1);
    ASSERT_TRUE(waitUntil([&] { return m_listenerDelegate.hasReceived("to the peer"); }));
    const auto received = m_listenerDelegate.received();
    EXPECT_EQ(received[0].host, loopback);
    EXPECT_EQ(received[0].port, connected->localPort());

    RawSender stranger(GetParam().family);
    ASSERT_TRUE(stranger.send("stranger", loopbackAddress(connected->localPort())));
    listener->sendData("answer", loopbackAddress(connected->localPort()), -1, 7);
    ASSERT_TRUE(waitUntil([&] { return m_senderDelegate.hasReceived("answer"); })) << "the peer's answer";
    EXPECT_FALSE(m_senderDelegate.hasReceived("stranger"));
    EXPECT_EQ(m_senderDelegate.sentTags(), std::vector<long>{1});
}

TEST_P(UdpSocketFamilyTest, MulticastMembershipIsJoinedAndLeftOnTheGroupsFamily)
{
    const QString loopback = QString::fromLatin1(GetParam().loopback);
    const QString group = QString::fromLatin1(GetParam().group);
    auto socket = makeSocket(m_listenerDelegate);
    PlatformError error;
    ASSERT_TRUE(socket->bindToPort(0, &error)) << error.description().toStdString();
    if (!socket->joinMulticastGroup(group, loopback, &error))
        GTEST_SKIP() << "this machine's loopback takes no multicast: " << error.description().toStdString();
    EXPECT_EQ(otherFamilyPort(*socket), 0) << "membership ties the socket to the group's family";
    EXPECT_NE(familyPort(*socket), 0);
    ASSERT_TRUE(socket->leaveMulticastGroup(group, loopback, &error)) << error.description().toStdString();

    // Leaving a group not joined is the system's refusal, reported as such.
    error = PlatformError();
    EXPECT_FALSE(socket->leaveMulticastGroup(group, loopback, &error));
    EXPECT_EQ(error.code(), EADDRNOTAVAIL);
    EXPECT_EQ(error.localizedFailureReason(), QStringLiteral("Error in setsockopt() function"));
    // A group of the closed family finds no socket to carry it.
    const QString otherGroup = GetParam().family == AF_INET ? QStringLiteral("ff15::1") : QStringLiteral("239.255.0.1");
    EXPECT_FALSE(socket->joinMulticastGroup(otherGroup, &error));
    EXPECT_EQ(error.localizedDescription(),
              QStringLiteral("Socket, group, and interface do not have matching IP versions"));
}

INSTANTIATE_TEST_SUITE_P(BothFamilies, UdpSocketFamilyTest,
                         testing::Values(FamilyCase{AF_INET, "127.0.0.1", "239.255.0.1"},
                                         FamilyCase{AF_INET6, "::1", "ff15::1"}),
                         [](const testing::TestParamInfo<FamilyCase> &info) {
                             return std::string(info.param.family == AF_INET ? "IPv4" : "IPv6");
                         });
