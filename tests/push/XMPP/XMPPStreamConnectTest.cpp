// The stream finding its server by SRV through dnsmasq, or by host name, connecting to loopback
// listeners, telling its delegates on their own queues, and disconnecting from every state.

#include "StreamTestSupport.h"

#include "DnsmasqServer.h"
#include "NetworkNamespace.h"

#include "platform/foundation/NotificationCenter.h"
#include "push/CocoaAsyncSocket/GCDAsyncSocket.h"

#include <gtest/gtest.h>


#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using platform::DispatchQueue;
using platform::PlatformError;
using streamtest::Listener;
using streamtest::StreamRecorder;

namespace {

constexpr char kInNamespace[] = "HM_XMPP_STREAM_IN_NAMESPACE";

QString srvHost(const QString &domain, const QString &target, quint16 port, int priority, int weight = 0)
{
    return QStringLiteral("_xmpp-client._tcp.%1,%2,%3,%4,%5").arg(domain, target).arg(port).arg(priority).arg(weight);
}

struct Client
{
    explicit Client(const QString &jid = QStringLiteral("alice@example.test"))
    {
        stream->addDelegate(recorder, recorder->queue());
        if (!jid.isEmpty())
            stream->setMyJID(XMPPJID::jidWithString(jid));
    }
    ~Client()
    {
        stream->disconnect();
        stream->removeDelegate(recorder.get());
    }

    std::shared_ptr<XMPPStream> stream = XMPPStream::init();
    std::shared_ptr<StreamRecorder> recorder = std::make_shared<StreamRecorder>();
};

} // namespace

TEST(XMPPStreamConnect, FindsTheServerBySRVThroughDnsmasq)
{
    Listener server;
    DnsmasqServer dns({srvHost(QStringLiteral("example.test"), QStringLiteral("127.0.0.1"), server.port(), 10)});
    ASSERT_TRUE(dns.started());
    Client client;
    client.stream->setSRVDNSServers(dns.server());
    PlatformError error;
    ASSERT_TRUE(client.stream->connect(&error)) << error.description().toStdString();
    // dnsmasq may already have answered (state 2); the held answer of the next test shows state 1.
    EXPECT_GE(client.stream->state(), XMPPStreamStateResolvingSRV);
    ASSERT_TRUE(client.recorder->waitFor(QStringLiteral("socketDidConnect")))
        << client.recorder->events().join(u' ').toStdString();
    EXPECT_EQ(client.stream->state(), XMPPStreamStateOpening);
    EXPECT_EQ(client.recorder->events(),
              (QStringList{QStringLiteral("willConnect"), QStringLiteral("socketDidConnect:%1").arg(server.port())}));
    EXPECT_EQ(dns.queriedNames(), QStringList{QStringLiteral("_xmpp-client._tcp.example.test")});
    EXPECT_FALSE(client.recorder->ranOffItsQueue());
}

TEST(XMPPStreamConnect, RefusingTargetIsPassedOverInRecordOrder)
{
    Listener server;
    const quint16 refused = Listener::refusedPort();
    DnsmasqServer dns({srvHost(QStringLiteral("example.test"), QStringLiteral("127.0.0.1"), server.port(), 20),
                       srvHost(QStringLiteral("example.test"), QStringLiteral("127.0.0.1"), refused, 10)});
    ASSERT_TRUE(dns.started());
    Client client;
    client.stream->setSRVDNSServers(dns.server());
    ASSERT_TRUE(client.stream->connect());
    ASSERT_TRUE(client.recorder->waitFor(QStringLiteral("socketDidConnect")))
        << client.recorder->events().join(u' ').toStdString();
    // The refused target reached no delegate: its failure only moved the stream on.
    EXPECT_EQ(client.recorder->events(),
              (QStringList{QStringLiteral("willConnect"), QStringLiteral("socketDidConnect:%1").arg(server.port())}));
    EXPECT_TRUE(server.waitForAccepted(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(server.accepted(), 1);
}

TEST(XMPPStreamConnect, AllTargetsRefusingEndInOneDisconnect)
{
    const quint16 first = Listener::refusedPort();
    const quint16 second = Listener::refusedPort();
    DnsmasqServer dns({srvHost(QStringLiteral("example.test"), QStringLiteral("127.0.0.1"), first, 10),
                       srvHost(QStringLiteral("example.test"), QStringLiteral("127.0.0.1"), second, 20)});
    ASSERT_TRUE(dns.started());
    Client client;
    client.stream->setSRVDNSServers(dns.server());
    ASSERT_TRUE(client.stream->connect());
    ASSERT_TRUE(client.recorder->waitFor(QStringLiteral("didDisconnect")));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(client.recorder->countOf(QStringLiteral("didDisconnect")), 1);
    EXPECT_EQ(client.recorder->countOf(QStringLiteral("socketDidConnect")), 0);
    ASSERT_EQ(client.recorder->errors().size(), 1U);
    EXPECT_EQ(client.recorder->errors().front().code(), ECONNREFUSED)
        << client.recorder->errors().front().description().toStdString();
    EXPECT_EQ(client.stream->state(), XMPPStreamStateDisconnected);
    // The stream connects again afterwards.
    Listener server;
    client.stream->setHostName(QStringLiteral("127.0.0.1"));
    client.stream->setHostPort(server.port());
    ASSERT_TRUE(client.stream->connect());
    EXPECT_TRUE(client.recorder->waitFor(QStringLiteral("socketDidConnect")));
}

TEST(XMPPStreamConnect, HostNameMakesNoDNSQueryAndUsesHostPort)
{
    Listener server;
    DnsmasqServer dns({srvHost(QStringLiteral("example.test"), QStringLiteral("127.0.0.1"), 1, 10)});
    ASSERT_TRUE(dns.started());
    Client client;
    client.stream->setSRVDNSServers(dns.server());
    EXPECT_EQ(client.stream->hostPort(), 5222);
    client.stream->setHostName(QStringLiteral("127.0.0.1"));
    client.stream->setHostPort(server.port());
    ASSERT_TRUE(client.stream->connect());
    // No lookup comes first: the socket is connecting, or on loopback has already connected and the
    // stream is opening.
    EXPECT_TRUE(client.stream->state() == XMPPStreamStateConnecting || client.stream->state() == XMPPStreamStateOpening)
        << client.stream->state();
    ASSERT_TRUE(client.recorder->waitFor(QStringLiteral("socketDidConnect")))
        << client.recorder->events().join(u' ').toStdString();
    EXPECT_EQ(client.recorder->events().last(), QStringLiteral("socketDidConnect:%1").arg(server.port()));
    EXPECT_TRUE(dns.queriedNames().isEmpty()) << dns.queriedNames().join(QLatin1Char(' ')).toStdString();
}

TEST(XMPPStreamConnect, RefusedConnectsAndTheirCodes)
{
    Listener server;
    {
        Client noJID{QString()};
        PlatformError error;
        EXPECT_FALSE(noJID.stream->connect(&error));
        EXPECT_EQ(error.domain(), QStringLiteral("XMPPStreamErrorDomain"));
        EXPECT_EQ(error.code(), 2);
        EXPECT_EQ(error.localizedDescription(), QStringLiteral("You must set myJID before calling connect."));
        PlatformError other;
        EXPECT_FALSE(noJID.stream->connectTo(XMPPJID::jidWithString(QStringLiteral("bob@example.test")), {}, &other));
        EXPECT_EQ(other.code(), 0);
        EXPECT_EQ(other.localizedDescription(), QStringLiteral("Non P2P streams must use the connect: method"));
        EXPECT_FALSE(noJID.stream->connectP2PWithSocket(nullptr, &other));
        EXPECT_EQ(other.code(), 0);
        EXPECT_EQ(noJID.stream->state(), XMPPStreamStateDisconnected);
    }
    auto p2p = XMPPStream::initP2PFrom(XMPPJID::jidWithString(QStringLiteral("alice@example.test/a")));
    PlatformError error;
    EXPECT_FALSE(p2p->connect(&error));
    EXPECT_EQ(error.code(), 0);
    EXPECT_EQ(error.localizedDescription(),
              QStringLiteral("P2P streams must use either connectTo:withAddress: or connectP2PWithSocket:."));
    EXPECT_FALSE(p2p->connectP2PWithSocket(nullptr, &error));
    EXPECT_EQ(error.code(), 3);
    EXPECT_EQ(error.localizedDescription(), QStringLiteral("Parameter acceptedSocket is nil."));

    Client client;
    client.stream->setHostName(QStringLiteral("127.0.0.1"));
    client.stream->setHostPort(server.port());
    ASSERT_TRUE(client.stream->connect());
    EXPECT_FALSE(client.stream->connect(&error));
    EXPECT_EQ(error.code(), 1);
    EXPECT_EQ(error.localizedDescription(),
              QStringLiteral("Attempting to connect while already connected or connecting."));
    ASSERT_TRUE(client.recorder->waitFor(QStringLiteral("socketDidConnect")))
        << client.recorder->events().join(u' ').toStdString();
    EXPECT_FALSE(client.stream->connect(&error));
    EXPECT_EQ(error.code(), 1);
    // The running connection is left alone and only one attempt was made.
    EXPECT_EQ(client.recorder->countOf(QStringLiteral("willConnect")), 1);
    EXPECT_EQ(client.stream->state(), XMPPStreamStateOpening);
    EXPECT_TRUE(server.waitForAccepted(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(server.accepted(), 1);

    // A host name that does not resolve: the socket's lookup fails after the start, and the
    // delegates hear of it as a disconnect with the lookup's error.
    Client unknown;
    unknown.stream->setHostName(QStringLiteral("no such host name"));
    ASSERT_TRUE(unknown.stream->connect(&error));
    ASSERT_TRUE(unknown.recorder->waitFor(QStringLiteral("didDisconnect")));
    EXPECT_FALSE(unknown.recorder->errors().front().isNull());
    EXPECT_EQ(unknown.stream->state(), XMPPStreamStateDisconnected);
}

// A DNS server that reads one query and answers only when told, with one SRV record.
class HeldDnsServer
{
public:
    HeldDnsServer()
    {
        m_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(m_fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
        socklen_t length = sizeof address;
        ::getsockname(m_fd, reinterpret_cast<sockaddr *>(&address), &length);
        m_port = ntohs(address.sin_port);
    }
    ~HeldDnsServer() { ::close(m_fd); }
    QString server() const { return QStringLiteral("127.0.0.1:%1").arg(m_port); }
    bool readQuery()
    {
        char query[512];
        m_fromLength = sizeof m_from;
        const ssize_t length =
            ::recvfrom(m_fd, query, sizeof query, 0, reinterpret_cast<sockaddr *>(&m_from), &m_fromLength);
        m_query = QByteArray(query, int(std::max<ssize_t>(length, 0)));
        return m_query.size() > 12;
    }
    // The answer: one SRV record naming 127.0.0.1 and the port.
    void answer(quint16 port)
    {
        // The header and the question only: an EDNS record the query may carry is left out.
        int end = 12;
        while (end < m_query.size() && m_query[end] != 0)
            end += 1 + quint8(m_query[end]);
        QByteArray reply = m_query.left(end + 5);
        reply[10] = 0;
        reply[11] = 0;
        reply[2] = char(0x81);
        reply[3] = char(0x80);
        reply[7] = 1;
        const QByteArray target = QByteArray::fromHex("03313237013001300131") + QByteArray(1, '\0');
        QByteArray rdata = QByteArray::fromHex("000a0000");
        rdata.append(char(port >> 8)).append(char(port & 0xff)).append(target);
        reply.append(QByteArray::fromHex("c00c002100010000003c"));
        reply.append(char(rdata.size() >> 8)).append(char(rdata.size() & 0xff)).append(rdata);
        ::sendto(m_fd, reply.constData(), std::size_t(reply.size()), 0, reinterpret_cast<sockaddr *>(&m_from),
                 m_fromLength);
    }

private:
    int m_fd = -1;
    quint16 m_port = 0;
    QByteArray m_query;
    sockaddr_in m_from{};
    socklen_t m_fromLength = 0;
};

TEST(XMPPStreamConnect, StateOneDuringTheLookupThenTwoWithTheAnswer)
{
    HeldDnsServer dns;
    Listener server;
    Client client;
    client.stream->setSRVDNSServers(dns.server());
    ASSERT_TRUE(client.stream->connect());
    ASSERT_TRUE(dns.readQuery());
    EXPECT_EQ(client.stream->state(), XMPPStreamStateResolvingSRV);
    dns.answer(server.port());
    ASSERT_TRUE(client.recorder->waitFor(QStringLiteral("socketDidConnect"), 1, std::chrono::seconds(3)))
        << client.recorder->events().join(u' ').toStdString();
    EXPECT_EQ(client.stream->state(), XMPPStreamStateOpening);
    EXPECT_EQ(client.recorder->events().last(), QStringLiteral("socketDidConnect:%1").arg(server.port()));
}

TEST(XMPPStreamConnect, DisconnectDuringTheLookupReportsAtOnceAndALateAnswerChangesNothing)
{
    HeldDnsServer dns;
    Listener server;
    Client client;
    client.stream->setSRVDNSServers(dns.server());
    ASSERT_TRUE(client.stream->connect());
    EXPECT_EQ(client.stream->state(), XMPPStreamStateResolvingSRV);
    ASSERT_TRUE(dns.readQuery());

    client.stream->disconnect();
    EXPECT_EQ(client.stream->state(), XMPPStreamStateDisconnected);
    ASSERT_TRUE(client.recorder->waitFor(QStringLiteral("didDisconnect")));
    EXPECT_EQ(client.recorder->events(),
              (QStringList{QStringLiteral("willConnect"), QStringLiteral("wasToldToDisconnect"),
                           QStringLiteral("didDisconnect")}));
    dns.answer(server.port());
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(client.stream->state(), XMPPStreamStateDisconnected);
    EXPECT_EQ(client.recorder->events().size(), 3);
    EXPECT_EQ(server.accepted(), 0);
    // A disconnect in state 0 tells nobody.
    client.stream->disconnect();
    EXPECT_EQ(client.recorder->countOf(QStringLiteral("wasToldToDisconnect")), 1);
}

TEST(XMPPStreamConnect, ThreeDelegatesOnThreeQueuesHearEachReportOnceInOrder)
{
    Listener server;
    Client client;
    std::vector<std::shared_ptr<StreamRecorder>> others;
    for (int i = 0; i < 3; ++i) {
        others.push_back(
            std::make_shared<StreamRecorder>(DispatchQueue::createSerial(QStringLiteral("delegate %1").arg(i))));
        client.stream->addDelegate(others.back(), others.back()->queue());
    }
    client.stream->setHostName(QStringLiteral("localhost"));
    client.stream->setHostPort(server.port());
    ASSERT_TRUE(client.stream->connect());
    for (const auto &other : others)
        ASSERT_TRUE(other->waitFor(QStringLiteral("socketDidConnect")));
    client.stream->disconnect();
    const QStringList expected{QStringLiteral("willConnect"), QStringLiteral("socketDidConnect:%1").arg(server.port()),
                               QStringLiteral("wasToldToDisconnect"), QStringLiteral("didDisconnect")};
    for (const auto &other : others) {
        ASSERT_TRUE(other->waitFor(QStringLiteral("didDisconnect")));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_EQ(other->events(), expected);
        EXPECT_FALSE(other->ranOffItsQueue());
    }
    EXPECT_EQ(client.stream->state(), XMPPStreamStateDisconnected);
    // A destroyed delegate is never called again.
    std::weak_ptr<StreamRecorder> gone = others.back();
    others.pop_back();
    EXPECT_TRUE(gone.expired());
    ASSERT_TRUE(client.stream->connect());
    ASSERT_TRUE(others.front()->waitFor(QStringLiteral("socketDidConnect"), 2));
}

TEST(XMPPStreamConnect, DisconnectAfterSendingWritesTheClosingTag)
{
    Listener server;
    Client client;
    client.stream->setResetByteCountPerConnection(true);
    client.stream->setHostName(QStringLiteral("127.0.0.1"));
    client.stream->setHostPort(server.port());
    ASSERT_TRUE(client.stream->connect());
    ASSERT_TRUE(client.recorder->waitFor(QStringLiteral("socketDidConnect")))
        << client.recorder->events().join(u' ').toStdString();
    client.stream->disconnectAfterSending();
    ASSERT_TRUE(client.recorder->waitFor(QStringLiteral("didDisconnect")));
    EXPECT_TRUE(server.waitForReceived(int(client.stream->numberOfBytesSent())));
    // The opening went first; the closing tag last.
    const QByteArray received = server.received();
    EXPECT_TRUE(received.startsWith("<?xml version='1.0'?><stream:stream ")) << received.toStdString();
    EXPECT_TRUE(received.endsWith("</stream:stream>")) << received.toStdString();
    EXPECT_EQ(client.stream->numberOfBytesSent(), std::uint64_t(received.size()));
    EXPECT_EQ(client.recorder->errors().back(), PlatformError());
    // The counters start again at the next connection: at most its own opening is counted.
    ASSERT_TRUE(client.stream->connect());
    EXPECT_LT(client.stream->numberOfBytesSent(), std::uint64_t(received.size()));
}

TEST(XMPPStreamConnect, MyJIDChangesAreNotifiedByTheRules)
{
    auto stream = XMPPStream::init();
    std::atomic<int> posts{0};
    const auto token = platform::NotificationCenter::defaultCenter().addObserver(
        QStringLiteral("XMPPStreamDidChangeMyJID"), stream.get(), [&](const platform::Notification &) { ++posts; });
    const auto alice = XMPPJID::jidWithString(QStringLiteral("alice@example.test"));
    const auto bound = XMPPJID::jidWithString(QStringLiteral("alice@example.test/phone"));
    stream->setMyJID(alice);
    EXPECT_TRUE(stream->myJID()->isEqualToJID(alice));
    EXPECT_EQ(posts.load(), 1);
    stream->setMyJID(XMPPJID::jidWithString(QStringLiteral("alice@example.test")));
    stream->myJID();
    EXPECT_EQ(posts.load(), 1);
    stream->setMyJID_setByServer(bound);
    EXPECT_TRUE(stream->myJID()->isEqualToJID(bound));
    EXPECT_EQ(posts.load(), 2);
    // Behind a server-bound address a new client address changes nothing that shows.
    stream->setMyJID(XMPPJID::jidWithString(QStringLiteral("carol@example.test")));
    EXPECT_TRUE(stream->myJID()->isEqualToJID(bound));
    EXPECT_EQ(posts.load(), 2);
    // A server address equal to the client's changes nothing that shows either.
    auto fresh = XMPPStream::init();
    std::atomic<int> freshPosts{0};
    const auto freshToken = platform::NotificationCenter::defaultCenter().addObserver(
        QStringLiteral("XMPPStreamDidChangeMyJID"), fresh.get(), [&](const platform::Notification &) { ++freshPosts; });
    fresh->setMyJID(bound);
    fresh->setMyJID_setByServer(XMPPJID::jidWithString(QStringLiteral("alice@example.test/phone")));
    fresh->myJID();
    EXPECT_EQ(freshPosts.load(), 1);
}

TEST(XMPPStreamConnect, PeerToPeerInitiatorAndRecipientReportTheirSockets)
{
    class Acceptor final : public GCDAsyncSocketDelegate
    {
    public:
        void socketDidAcceptNewSocket(GCDAsyncSocket *, const std::shared_ptr<GCDAsyncSocket> &newSocket) override
        {
            const std::lock_guard lock(mutex);
            accepted = newSocket;
        }
        std::mutex mutex;
        std::shared_ptr<GCDAsyncSocket> accepted;
    };
    Acceptor acceptor;
    auto acceptQueue = DispatchQueue::createSerial(QStringLiteral("p2p accept"));
    auto listening = GCDAsyncSocket::create(&acceptor, acceptQueue);
    ASSERT_TRUE(listening->acceptOnInterface(QStringLiteral("127.0.0.1"), 0));
    const QByteArray listenAddress = listening->localAddress();

    const auto bob = XMPPJID::jidWithString(QStringLiteral("bob@example.test/desk"));
    auto initiator = XMPPStream::initP2PFrom(XMPPJID::jidWithString(QStringLiteral("alice@example.test/a")));
    auto initiatorRecorder = std::make_shared<StreamRecorder>();
    initiator->addDelegate(initiatorRecorder, initiatorRecorder->queue());
    ASSERT_TRUE(initiator->connectTo(bob, listenAddress));
    ASSERT_TRUE(initiatorRecorder->waitFor(QStringLiteral("socketDidConnect")));
    EXPECT_TRUE(initiator->isP2P());
    EXPECT_TRUE(initiator->isP2PInitiator());
    EXPECT_FALSE(initiator->isP2PRecipient());
    EXPECT_TRUE(initiator->remoteJID()->isEqualToJID(bob));
    EXPECT_EQ(initiatorRecorder->events().first(), QStringLiteral("willConnect"));

    std::shared_ptr<GCDAsyncSocket> accepted;
    for (int i = 0; i < 500 && !accepted; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        const std::lock_guard lock(acceptor.mutex);
        accepted = acceptor.accepted;
    }
    ASSERT_TRUE(accepted);
    auto recipient = XMPPStream::initP2PFrom(bob);
    auto recipientRecorder = std::make_shared<StreamRecorder>();
    recipient->addDelegate(recipientRecorder, recipientRecorder->queue());
    ASSERT_TRUE(recipient->connectP2PWithSocket(accepted));
    // The recipient opens at once; the initiator's opening may already have been read on the XMPP queue,
    // which leaves a peer-to-peer stream connected before this line looks.
    const XMPPStreamState opened = recipient->state();
    EXPECT_TRUE(opened == XMPPStreamStateOpening || opened == XMPPStreamStateConnected) << opened;
    ASSERT_TRUE(recipientRecorder->waitFor(QStringLiteral("socketDidConnect")));
    EXPECT_TRUE(recipient->isP2PRecipient());
    EXPECT_FALSE(recipient->isP2PInitiator());
    EXPECT_EQ(recipientRecorder->countOf(QStringLiteral("willConnect")), 0);
    PlatformError error;
    EXPECT_FALSE(recipient->connectP2PWithSocket(accepted, &error));
    EXPECT_EQ(error.code(), 1);

    // Closing one end reaches the other as a disconnect.
    recipient->disconnect();
    EXPECT_TRUE(recipientRecorder->waitFor(QStringLiteral("didDisconnect")));
    // The acceptor is gone when this test returns: the listening socket forgets it first, so that its
    // disconnect report (queued on another thread) does not call into a destroyed object.
    listening->synchronouslySetDelegate(nullptr);
    listening->disconnect();
}

TEST(XMPPStreamConnect, ConnectAndDisconnectCyclesLeaveDescriptorsAndThreadsAsTheyWere)
{
    Listener server;
    Client client;
    client.stream->setHostName(QStringLiteral("127.0.0.1"));
    client.stream->setHostPort(server.port());
    const auto cycle = [&](int i) {
        if (!client.stream->connect())
            return false;
        if (!client.recorder->waitFor(QStringLiteral("socketDidConnect"), i))
            return false;
        client.stream->disconnect();
        return client.recorder->waitFor(QStringLiteral("didDisconnect"), i);
    };
    ASSERT_TRUE(cycle(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const int descriptors = streamtest::openDescriptorCount();
    const int threads = streamtest::threadCount();
    for (int i = 2; i <= 1001; ++i)
        ASSERT_TRUE(cycle(i)) << "cycle " << i;
    for (int i = 0; i < 100 && streamtest::openDescriptorCount() != descriptors; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(streamtest::openDescriptorCount(), descriptors);
    // Idle workers of the dispatch pool leave after a while; none may stay behind for good.
    for (int i = 0; i < 500 && streamtest::threadCount() > threads; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_LE(streamtest::threadCount(), threads);
    EXPECT_EQ(client.recorder->countOf(QStringLiteral("didDisconnect")), 1001);
}

TEST(XMPPStreamConnect, DestroyedStreamTellsNobodyAndClosesItsSocket)
{
    Listener server;
    auto recorder = std::make_shared<StreamRecorder>();
    {
        auto stream = XMPPStream::init();
        stream->addDelegate(recorder, recorder->queue());
        stream->setMyJID(XMPPJID::jidWithString(QStringLiteral("alice@example.test")));
        stream->setHostName(QStringLiteral("127.0.0.1"));
        stream->setHostPort(server.port());
        ASSERT_TRUE(stream->connect());
        ASSERT_TRUE(recorder->waitFor(QStringLiteral("socketDidConnect")));
    }
    for (int i = 0; i < 200 && server.accepted() == 1 && streamtest::openDescriptorCount() > 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(recorder->countOf(QStringLiteral("didDisconnect")), 0);
    EXPECT_EQ(recorder->countOf(QStringLiteral("wasToldToDisconnect")), 0);
}

// Runs only inside the private namespace the next test makes, where nothing else can hold port 5222.
TEST(XMPPStreamInNamespace, NoSRVRecordsConnectToTheDomainOn5222)
{
    if (!looptest::isInPrivateNamespace(kInNamespace))
        GTEST_SKIP() << "runs inside a private network namespace only";
    ASSERT_TRUE(looptest::ip(QStringLiteral("link set lo up")));
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(5222);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(fd, 4), 0);
    DnsmasqServer dns({}, {QStringLiteral("localhost")});
    ASSERT_TRUE(dns.started());
    Client client(QStringLiteral("alice@localhost"));
    client.stream->setSRVDNSServers(dns.server());
    ASSERT_TRUE(client.stream->connect());
    ASSERT_TRUE(client.recorder->waitFor(QStringLiteral("socketDidConnect")))
        << client.recorder->events().join(u' ').toStdString();
    EXPECT_EQ(client.recorder->events().last(), QStringLiteral("socketDidConnect:5222"));
    EXPECT_EQ(dns.queriedNames(), QStringList{QStringLiteral("_xmpp-client._tcp.localhost")});
    ::close(fd);
}

TEST(XMPPStreamConnect, NoSRVRecordsConnectToTheDomainOn5222InAPrivateNamespace)
{
    if (looptest::isInPrivateNamespace(kInNamespace))
        GTEST_SKIP();
    looptest::runInPrivateNamespace(kInNamespace, QStringLiteral("XMPPStreamInNamespace.*"));
}

TEST(XMPPStreamConnect, OldSchoolSecureConnectMarksTheStreamSecureUntilTheDisconnect)
{
    Listener server;
    Client client;
    client.stream->setHostName(QStringLiteral("127.0.0.1"));
    client.stream->setHostPort(server.port());
    client.stream->setIsAuthenticated(true);
    ASSERT_TRUE(client.stream->oldSchoolSecureConnect());
    EXPECT_TRUE(client.stream->isSecure());
    ASSERT_TRUE(client.recorder->waitFor(QStringLiteral("socketDidConnect")))
        << client.recorder->events().join(u' ').toStdString();
    client.stream->disconnect();
    ASSERT_TRUE(client.recorder->waitFor(QStringLiteral("didDisconnect")));
    // Every flag is clear after the socket's disconnect.
    EXPECT_FALSE(client.stream->isSecure());
    EXPECT_FALSE(client.stream->isAuthenticated());
    PlatformError error;
    client.stream->setMyJID(nullptr);
    EXPECT_FALSE(client.stream->oldSchoolSecureConnect(&error));
    EXPECT_EQ(error.code(), 2);
    EXPECT_FALSE(client.stream->isSecure());
}

TEST(XMPPStreamConnect, DisconnectWhileAnSRVTargetConnectsTriesNoFurtherTarget)
{
    // A listener whose one-place backlog is taken: connects to it stay pending.
    const int full = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(full, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(full, 0), 0);
    socklen_t length = sizeof address;
    ::getsockname(full, reinterpret_cast<sockaddr *>(&address), &length);
    const int filler = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(::connect(filler, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);

    Listener next;
    DnsmasqServer dns(
        {srvHost(QStringLiteral("example.test"), QStringLiteral("127.0.0.1"), ntohs(address.sin_port), 10),
         srvHost(QStringLiteral("example.test"), QStringLiteral("127.0.0.1"), next.port(), 20)});
    ASSERT_TRUE(dns.started());
    Client client;
    client.stream->setSRVDNSServers(dns.server());
    ASSERT_TRUE(client.stream->connect());
    for (int i = 0; i < 1000 && client.stream->state() != XMPPStreamStateConnecting; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(client.stream->state(), XMPPStreamStateConnecting);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    client.stream->disconnect();
    ASSERT_TRUE(client.recorder->waitFor(QStringLiteral("didDisconnect")));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(client.recorder->countOf(QStringLiteral("socketDidConnect")), 0)
        << client.recorder->events().join(u' ').toStdString();
    EXPECT_EQ(next.accepted(), 0);
    EXPECT_EQ(client.stream->state(), XMPPStreamStateDisconnected);
    ::close(filler);
    ::close(full);
}
