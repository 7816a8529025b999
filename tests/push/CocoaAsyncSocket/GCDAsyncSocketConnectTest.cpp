// Connecting, accepting, disconnecting and the checks that refuse a connect or an accept, on real
// loopback sockets whose other end is plain POSIX code.
#include "SocketTestSupport.h"

#include "platform/dispatch/VirtualClock.h"
#include "platform/network/SocketAddress.h"

#include <gtest/gtest.h>

#include <QDir>

#include <cerrno>

#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>

using platform::PlatformError;
using namespace sockettest;

namespace {

const int kFamilies[] = {AF_INET, AF_INET6};

QString familyName(int family)
{
    return family == AF_INET ? QStringLiteral("IPv4") : QStringLiteral("IPv6");
}

// Whether the family's loopback address can be used here (IPv6 may be switched off).
bool hasLoopback(int family)
{
    quint16 port = 0;
    return listenPlain(family, &port).get() != -1;
}

} // namespace

TEST(GCDAsyncSocketConnect, ConnectsToAPlainListenerAndReportsBothEnds)
{
    for (const int family : kFamilies) {
        SCOPED_TRACE(familyName(family).toStdString());
        if (!hasLoopback(family))
            continue;
        quint16 port = 0;
        const Fd listener = listenPlain(family, &port);
        SocketUnderTest client;
        PlatformError error;
        ASSERT_TRUE(client.socket->connectToHost(loopbackHost(family), port, &error)) << error.description().toStdString();
        const Fd server = acceptPlain(listener.get());
        ASSERT_NE(server.get(), -1);
        ASSERT_TRUE(waitFor([&] { return client.delegate.connectedPort() != 0; }));
        EXPECT_EQ(client.delegate.connectedHost(), loopbackHost(family));
        EXPECT_EQ(client.delegate.connectedPort(), port);
        EXPECT_TRUE(client.socket->isConnected());
        EXPECT_EQ(client.socket->connectedHost(), loopbackHost(family));
        EXPECT_EQ(client.socket->connectedPort(), port);
        EXPECT_EQ(client.socket->localHost(), loopbackHost(family));
        // The plain end sees the socket's own port as its peer.
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        ::getpeername(server.get(), reinterpret_cast<sockaddr *>(&peer), &length);
        EXPECT_EQ(client.socket->localPort(),
                  GCDAsyncSocket::portFromAddress(QByteArray(reinterpret_cast<const char *>(&peer), qsizetype(length))));
        EXPECT_EQ(client.socket->isIPv4(), family == AF_INET);
        EXPECT_EQ(client.socket->isIPv6(), family == AF_INET6);
        EXPECT_EQ(GCDAsyncSocket::portFromAddress(client.socket->connectedAddress()), port);

        // An orderly disconnect reports no error, and the same object connects again.
        client.socket->disconnect();
        ASSERT_TRUE(waitFor([&] { return client.delegate.disconnects().size() == 1; }));
        EXPECT_TRUE(client.delegate.disconnects().at(0).isNull());
        EXPECT_TRUE(client.socket->isDisconnected());
        EXPECT_EQ(readPlain(server.get(), 1, 2000), QByteArray());
        ASSERT_TRUE(client.socket->connectToAddress(platform::net::loopbackAddress(family, port), &error));
        const Fd again = acceptPlain(listener.get());
        ASSERT_NE(again.get(), -1);
        ASSERT_TRUE(waitFor([&] { return client.socket->isConnected(); }));
        // A disconnect of an idle socket tells nobody anything.
        client.socket->disconnect();
        client.socket->disconnect();
        ASSERT_TRUE(waitFor([&] { return client.delegate.disconnects().size() == 2; }));
        client.delegateQueue->sync([] {});
        EXPECT_EQ(client.delegate.disconnects().size(), 2U);
    }
}

TEST(GCDAsyncSocketConnect, AcceptsOnBothFamiliesWithOnePortAndReportsThePeer)
{
    SocketUnderTest server;
    PlatformError error;
    ASSERT_TRUE(server.socket->acceptOnPort(0, &error)) << error.description().toStdString();
    quint16 port4 = 0;
    quint16 port6 = 0;
    server.socket->performBlock([&] {
        port4 = server.socket->localPort4();
        port6 = server.socket->localPort6();
    });
    ASSERT_NE(port4, 0);
    if (hasLoopback(AF_INET6)) {
        EXPECT_EQ(port6, port4);
    }
    for (const int family : kFamilies) {
        SCOPED_TRACE(familyName(family).toStdString());
        if (!hasLoopback(family))
            continue;
        const std::size_t before = server.delegate.accepted().size();
        const Fd client = connectPlain(family, port4);
        ASSERT_NE(client.get(), -1);
        ASSERT_TRUE(waitFor([&] { return server.delegate.accepted().size() == before + 1; }));
        const auto accepted = server.delegate.accepted().back();
        EXPECT_TRUE(accepted->isConnected());
        EXPECT_EQ(accepted->connectedHost(), loopbackHost(family));
        EXPECT_EQ(accepted->connectedPort(), localPortOf(client.get()));
        EXPECT_EQ(accepted->localPort(), port4);
        // The accepted socket carries data both ways.
        accepted->writeData(QByteArrayLiteral("hello"), -1, 1);
        EXPECT_EQ(readPlain(client.get(), 5), QByteArrayLiteral("hello"));
        accepted->readDataToLength(3, -1, 2);
        ASSERT_TRUE(writeAllPlain(client.get(), QByteArrayLiteral("abc")));
        ASSERT_TRUE(waitFor([&] { return !server.delegate.reads().empty(); }));
        EXPECT_EQ(server.delegate.reads().back().data, QByteArrayLiteral("abc"));
        accepted->disconnect();
        EXPECT_EQ(readPlain(client.get(), 1, 2000), QByteArray());
        ASSERT_TRUE(waitFor([&] { return server.delegate.disconnects().size() == before + 1; }));
    }
    server.socket->disconnect();
    // The listening descriptors close once their sources' cancel handlers have run on the socket queue.
    server.socket->performBlock([] {});
    EXPECT_EQ(connectPlain(AF_INET, port4).get(), -1);
}

// A port another listener holds refuses the bind: the accept fails with the system's error and the
// step's reason, the socket stays disconnected, and each refused attempt closes its descriptor.
TEST(GCDAsyncSocketConnect, ListeningOnAHeldPortFailsAtBindAndKeepsNoDescriptor)
{
    quint16 heldPort = 0;
    const Fd holder = listenPlain(AF_INET, &heldPort);
    ASSERT_NE(holder.get(), -1);
    const auto openDescriptors = [] { return QDir(QStringLiteral("/proc/self/fd")).count(); };
    const auto before = openDescriptors();
    constexpr int kAttempts = 40;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        SocketUnderTest server;
        PlatformError error;
        ASSERT_FALSE(server.socket->acceptOnInterface(QStringLiteral("127.0.0.1"), heldPort, &error));
        EXPECT_EQ(error.domain(), QStringLiteral("NSPOSIXErrorDomain"));
        EXPECT_EQ(error.code(), EADDRINUSE);
        EXPECT_EQ(error.userInfo().value(QStringLiteral("NSLocalizedFailureReason")).toString(),
                  QStringLiteral("Error in bind() function"));
        EXPECT_TRUE(server.socket->isDisconnected());
    }
    // Queues and their threads may hold a few descriptors of their own; a leak holds one an attempt.
    EXPECT_LT(openDescriptors(), before + kAttempts / 2);
}

TEST(GCDAsyncSocketConnect, InterfaceDescriptionsNameTheLoopbackOrFail)
{
    // "lo:<port>" with port 0 listens on that port of the loopback interface.
    quint16 freePort = 0;
    {
        const Fd probe = listenPlain(AF_INET, &freePort);
    }
    SocketUnderTest server;
    PlatformError error;
    ASSERT_TRUE(server.socket->acceptOnInterface(QStringLiteral("lo:%1").arg(freePort), 0, &error))
        << error.description().toStdString();
    EXPECT_EQ(server.socket->localPort(), freePort);
    EXPECT_EQ(server.socket->localHost(), QStringLiteral("127.0.0.1"));
    const Fd client = connectPlain(AF_INET, freePort);
    EXPECT_NE(client.get(), -1);
    ASSERT_TRUE(waitFor([&] { return server.delegate.accepted().size() == 1; }));

    SocketUnderTest unknown;
    ASSERT_FALSE(unknown.socket->acceptOnInterface(QStringLiteral("nosuchif0"), 0, &error));
    EXPECT_EQ(error.domain(), QStringLiteral("GCDAsyncSocketErrorDomain"));
    EXPECT_EQ(error.code(), 2);
    EXPECT_EQ(error.localizedDescription(),
              QStringLiteral("Unknown interface. Specify valid interface by name (e.g. \"en1\") or IP address."));
    EXPECT_TRUE(unknown.socket->isDisconnected());

    // Connecting from the loopback interface binds to it.
    quint16 port = 0;
    const Fd listener = listenPlain(AF_INET, &port);
    SocketUnderTest viaLoopback;
    ASSERT_TRUE(viaLoopback.socket->connectToHost(QStringLiteral("127.0.0.1"), port, QStringLiteral("lo"), -1, &error));
    const Fd accepted = acceptPlain(listener.get());
    ASSERT_NE(accepted.get(), -1);
    ASSERT_TRUE(waitFor([&] { return viaLoopback.socket->isConnected(); }))
        << viaLoopback.delegate.events().join(QLatin1Char(',')).toStdString();
    EXPECT_EQ(viaLoopback.socket->localHost(), QStringLiteral("127.0.0.1"));
}

TEST(GCDAsyncSocketConnect, RefusesEachConnectAndAcceptWithTheFirstCheckThatFails)
{
    struct Row
    {
        const char *name;
        std::function<bool(SocketUnderTest &, PlatformError *)> attempt;
        qint64 code;
        const char *text;
    };
    const auto withoutDelegate = [](SocketUnderTest &s) { s.socket->synchronouslySetDelegate(nullptr); };
    const auto withoutQueue = [](SocketUnderTest &s) { s.socket->synchronouslySetDelegateQueue(nullptr); };
    const auto bothOff = [](SocketUnderTest &s) {
        s.socket->setIPv4Enabled(false);
        s.socket->setIPv6Enabled(false);
    };
    const QString port = QStringLiteral("9");
    const Row rows[] = {
        {"empty host before the delegate",
         [&](SocketUnderTest &s, PlatformError *e) {
             withoutDelegate(s);
             return s.socket->connectToHost(QString(), 80, e);
         },
         2, "Invalid host parameter (nil or \"\"). Should be a domain name or IP address string."},
        {"no delegate",
         [&](SocketUnderTest &s, PlatformError *e) {
             withoutDelegate(s);
             bothOff(s);
             return s.socket->connectToHost(QStringLiteral("localhost"), 80, e);
         },
         1, "Attempting to connect without a delegate. Set a delegate first."},
        {"no delegate queue",
         [&](SocketUnderTest &s, PlatformError *e) {
             withoutQueue(s);
             return s.socket->connectToHost(QStringLiteral("localhost"), 80, e);
         },
         1, "Attempting to connect without a delegate queue. Set a delegate queue first."},
        {"already accepting",
         [&](SocketUnderTest &s, PlatformError *e) {
             s.socket->acceptOnInterface(QStringLiteral("localhost"), 0, nullptr);
             bothOff(s);
             return s.socket->connectToHost(QStringLiteral("localhost"), 80, e);
         },
         1, "Attempting to connect while connected or accepting connections. Disconnect first."},
        {"both protocols off",
         [&](SocketUnderTest &s, PlatformError *e) {
             bothOff(s);
             return s.socket->connectToHost(QStringLiteral("localhost"), 80, QStringLiteral("nosuchif0"), -1, e);
         },
         1, "Both IPv4 and IPv6 have been disabled. Must enable at least one protocol first."},
        {"unknown interface",
         [&](SocketUnderTest &s, PlatformError *e) {
             return s.socket->connectToHost(QStringLiteral("localhost"), 80, QStringLiteral("nosuchif0"), -1, e);
         },
         2, "Unknown interface. Specify valid interface by name (e.g. \"en1\") or IP address."},
        {"IPv4 off, interface without IPv6",
         [&](SocketUnderTest &s, PlatformError *e) {
             s.socket->setIPv4Enabled(false);
             return s.socket->connectToHost(QStringLiteral("localhost"), 80, QStringLiteral("127.0.0.1"), -1, e);
         },
         2, "IPv4 has been disabled and specified interface doesn't support IPv6."},
        {"address of 10 bytes",
         [&](SocketUnderTest &s, PlatformError *e) { return s.socket->connectToAddress(QByteArray(10, '\0'), e); }, 2,
         "A valid IPv4 or IPv6 address was not given"},
        {"IPv4 address with IPv4 off",
         [&](SocketUnderTest &s, PlatformError *e) {
             s.socket->setIPv4Enabled(false);
             return s.socket->connectToAddress(platform::net::loopbackAddress(AF_INET, 80), e);
         },
         2, "IPv4 has been disabled and an IPv4 address was passed."},
        {"IPv6 address with IPv6 off",
         [&](SocketUnderTest &s, PlatformError *e) {
             s.socket->setIPv6Enabled(false);
             return s.socket->connectToAddress(platform::net::loopbackAddress(AF_INET6, 80), e);
         },
         2, "IPv6 has been disabled and an IPv6 address was passed."},
        {"accept without a delegate",
         [&](SocketUnderTest &s, PlatformError *e) {
             withoutDelegate(s);
             bothOff(s);
             return s.socket->acceptOnPort(0, e);
         },
         1, "Attempting to accept without a delegate. Set a delegate first."},
        {"accept without a delegate queue",
         [&](SocketUnderTest &s, PlatformError *e) {
             withoutQueue(s);
             return s.socket->acceptOnPort(0, e);
         },
         1, "Attempting to accept without a delegate queue. Set a delegate queue first."},
        {"accept with both protocols off",
         [&](SocketUnderTest &s, PlatformError *e) {
             s.socket->acceptOnInterface(QStringLiteral("localhost"), 0, nullptr);
             bothOff(s);
             return s.socket->acceptOnPort(0, e);
         },
         1, "Both IPv4 and IPv6 have been disabled. Must enable at least one protocol first."},
        {"accept while accepting",
         [&](SocketUnderTest &s, PlatformError *e) {
             s.socket->acceptOnInterface(QStringLiteral("localhost"), 0, nullptr);
             return s.socket->acceptOnInterface(QStringLiteral("nosuchif0"), 0, e);
         },
         1, "Attempting to accept while connected or accepting connections. Disconnect first."},
        {"accept on an unknown interface",
         [&](SocketUnderTest &s, PlatformError *e) {
             return s.socket->acceptOnInterface(QStringLiteral("nosuchif0:") + port, 0, e);
         },
         2, "Unknown interface. Specify valid interface by name (e.g. \"en1\") or IP address."},
        {"accept on IPv4 only with IPv4 off",
         [&](SocketUnderTest &s, PlatformError *e) {
             s.socket->setIPv4Enabled(false);
             return s.socket->acceptOnInterface(QStringLiteral("127.0.0.1"), 0, e);
         },
         2, "IPv4 has been disabled and specified interface doesn't support IPv6."},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        SocketUnderTest subject;
        PlatformError error;
        EXPECT_FALSE(row.attempt(subject, &error));
        EXPECT_EQ(error.domain(), QStringLiteral("GCDAsyncSocketErrorDomain"));
        EXPECT_EQ(error.code(), row.code);
        EXPECT_EQ(error.localizedDescription(), QString::fromUtf8(row.text));
        subject.delegateQueue->sync([] {});
        EXPECT_TRUE(subject.delegate.disconnects().empty());
    }
}

TEST(GCDAsyncSocketConnect, SecondConnectWhileTheFirstRunsIsRefused)
{
    quint16 port = 0;
    const Fd listener = listenPlain(AF_INET, &port);
    SocketUnderTest client;
    ASSERT_TRUE(client.socket->connectToHost(QStringLiteral("127.0.0.1"), port, nullptr));
    PlatformError error;
    EXPECT_FALSE(client.socket->connectToHost(QStringLiteral("127.0.0.1"), port, &error));
    EXPECT_EQ(error.code(), 1);
    EXPECT_EQ(error.localizedDescription(),
              QStringLiteral("Attempting to connect while connected or accepting connections. Disconnect first."));
}

TEST(GCDAsyncSocketConnect, LocalhostAndLoopbackNeedNoResolverAndFollowTheEnabledFamily)
{
    quint16 port = 0;
    const Fd listener4 = listenPlain(AF_INET, &port);
    struct Row
    {
        const char *name;
        const char *host;
        bool ipv4Enabled;
        bool preferIPv4;
        const char *expected;
    };
    const Row rows[] = {
        {"localhost, IPv4 preferred", "localhost", true, true, "127.0.0.1"},
        {"loopback is not a resolver name", "loopback", true, true, "127.0.0.1"},
        {"IPv4 disabled", "localhost", false, true, "::1"},
        {"IPv6 preferred", "localhost", true, false, "::1"},
    };
    // The IPv6 listener takes the same port where it is free.
    Fd listener6;
    if (hasLoopback(AF_INET6)) {
        listener6 = Fd(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
        platform::net::setIntOption(listener6.get(), IPPROTO_IPV6, IPV6_V6ONLY, 1);
        const QByteArray address = platform::net::loopbackAddress(AF_INET6, port);
        if (::bind(listener6.get(), reinterpret_cast<const sockaddr *>(address.constData()), socklen_t(address.size())) != 0 ||
            ::listen(listener6.get(), 4) != 0)
            listener6.reset();
    }
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        if (QByteArray(row.expected) == "::1" && listener6.get() == -1)
            continue;
        SocketUnderTest client;
        client.socket->setIPv4Enabled(row.ipv4Enabled);
        client.socket->setPreferIPv4OverIPv6(row.preferIPv4);
        ASSERT_TRUE(client.socket->connectToHost(QString::fromLatin1(row.host), port, nullptr));
        const Fd server = acceptPlain(QByteArray(row.expected) == "::1" ? listener6.get() : listener4.get());
        ASSERT_NE(server.get(), -1);
        ASSERT_TRUE(waitFor([&] { return client.delegate.connectedPort() != 0; }));
        EXPECT_EQ(client.delegate.connectedHost(), QString::fromLatin1(row.expected));
    }
}

TEST(GCDAsyncSocketConnect, ConnectTimesOutAgainstAFullBacklogAndIgnoresTheLateResult)
{
    // A listener that never accepts, with its backlog filled by plain connects: further connects get
    // no answer from the system until the backlog frees.
    quint16 port = 0;
    const Fd listener = listenPlain(AF_INET, &port, 0);
    std::vector<Fd> fillers;
    for (int attempt = 0; attempt < 8; ++attempt) {
        Fd filler(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        const QByteArray address = platform::net::loopbackAddress(AF_INET, port);
        ::connect(filler.get(), reinterpret_cast<const sockaddr *>(address.constData()), socklen_t(address.size()));
        pollfd descriptor{filler.get(), POLLOUT, 0};
        const bool answered = ::poll(&descriptor, 1, 300) == 1;
        fillers.push_back(std::move(filler));
        if (!answered)
            break;
    }
    platform::VirtualClock::install();
    SocketUnderTest client;
    ASSERT_TRUE(client.socket->connectToHost(QStringLiteral("127.0.0.1"), port, 2.0, nullptr));
    platform::VirtualClock::advance(1.9);
    client.delegateQueue->sync([] {});
    EXPECT_TRUE(client.delegate.disconnects().empty());
    platform::VirtualClock::advance(0.1);
    ASSERT_TRUE(waitFor([&] { return client.delegate.disconnects().size() == 1; }));
    platform::VirtualClock::uninstall();
    EXPECT_EQ(client.delegate.disconnects().at(0).code(), 3);
    EXPECT_EQ(client.delegate.disconnects().at(0).localizedDescription(),
              QStringLiteral("Attempt to connect to host timed out"));
    EXPECT_TRUE(client.socket->isDisconnected());

    // Freeing the backlog lets the abandoned connect finish in the system; the socket ignores it.
    while (acceptPlain(listener.get(), 50).get() != -1) {
    }
    Fd late = acceptPlain(listener.get(), 4000);
    client.delegateQueue->sync([] {});
    EXPECT_FALSE(client.socket->isConnected());
    EXPECT_EQ(client.delegate.connectedPort(), 0);
    EXPECT_EQ(client.delegate.events(), QStringList{QStringLiteral("disconnected GCDAsyncSocketErrorDomain 3")});
}

TEST(GCDAsyncSocketConnect, ANegativeTimeoutNeverTimesOut)
{
    platform::VirtualClock::install();
    quint16 port = 0;
    const Fd listener = listenPlain(AF_INET, &port);
    SocketUnderTest client;
    ASSERT_TRUE(client.socket->connectToHost(QStringLiteral("127.0.0.1"), port, -1, nullptr));
    platform::VirtualClock::advance(3600.0);
    const Fd accepted = acceptPlain(listener.get());
    ASSERT_NE(accepted.get(), -1);
    ASSERT_TRUE(waitFor([&] { return client.socket->isConnected(); }));
    platform::VirtualClock::uninstall();
    EXPECT_TRUE(client.delegate.disconnects().empty());
}

TEST(GCDAsyncSocketConnect, AddressHelpersReadOnlyWholeAddresses)
{
    QString host;
    quint16 port = 0;
    EXPECT_FALSE(GCDAsyncSocket::getHost(&host, &port, QByteArray(10, '\0')));
    // 16 bytes whose family says IPv6 are too short for an IPv6 address.
    QByteArray shortIPv6 = platform::net::loopbackAddress(AF_INET6, 80).left(16);
    EXPECT_FALSE(GCDAsyncSocket::getHost(&host, &port, shortIPv6));
    EXPECT_TRUE(GCDAsyncSocket::getHost(&host, &port, platform::net::loopbackAddress(AF_INET6, 5222)));
    EXPECT_EQ(host, QStringLiteral("::1"));
    EXPECT_EQ(port, 5222);
    EXPECT_EQ(GCDAsyncSocket::hostFromAddress(platform::net::loopbackAddress(AF_INET, 1)), QStringLiteral("127.0.0.1"));
    EXPECT_EQ(GCDAsyncSocket::portFromAddress(QByteArray(3, 'x')), 0);
    EXPECT_EQ(GCDAsyncSocket::CRLFData(), QByteArray("\r\n"));
    EXPECT_EQ(GCDAsyncSocket::CRData(), QByteArray("\r"));
    EXPECT_EQ(GCDAsyncSocket::LFData(), QByteArray("\n"));
    EXPECT_EQ(GCDAsyncSocket::ZeroData(), QByteArray(1, '\0'));
}

TEST(GCDAsyncSocketConnect, ALookupWithoutAnAddressOfAnEnabledFamilyClosesWithCode8)
{
    struct Row
    {
        const char *name;
        const char *host;
        int disabledFamily;
        const char *text;
    };
    const Row rows[] = {
        {"IPv4 off, only an IPv4 address", "127.0.0.1", AF_INET,
         "IPv4 has been disabled and DNS lookup found no IPv6 address."},
        {"IPv6 off, only an IPv6 address", "::1", AF_INET6,
         "IPv6 has been disabled and DNS lookup found no IPv4 address."},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        SocketUnderTest client;
        if (row.disabledFamily == AF_INET)
            client.socket->setIPv4Enabled(false);
        else
            client.socket->setIPv6Enabled(false);
        // The numeric host passes the checks before the lookup; the lookup's answer fails after it.
        ASSERT_TRUE(client.socket->connectToHost(QString::fromLatin1(row.host), 9, nullptr));
        ASSERT_TRUE(waitFor([&] { return client.delegate.disconnects().size() == 1; }));
        EXPECT_EQ(client.delegate.disconnects().at(0).domain(), QStringLiteral("GCDAsyncSocketErrorDomain"));
        EXPECT_EQ(client.delegate.disconnects().at(0).code(), 8);
        EXPECT_EQ(client.delegate.disconnects().at(0).localizedDescription(), QString::fromLatin1(row.text));
        EXPECT_TRUE(client.socket->isDisconnected());
    }
}

TEST(GCDAsyncSocketConnect, ARefusedConnectClosesWithThePosixError)
{
    quint16 port = 0;
    {
        const Fd probe = listenPlain(AF_INET, &port);
    }
    SocketUnderTest client;
    ASSERT_TRUE(client.socket->connectToHost(QStringLiteral("127.0.0.1"), port, nullptr));
    ASSERT_TRUE(waitFor([&] { return client.delegate.disconnects().size() == 1; }));
    const PlatformError error = client.delegate.disconnects().at(0);
    EXPECT_EQ(error.domain(), QStringLiteral("NSPOSIXErrorDomain"));
    EXPECT_EQ(error.code(), ECONNREFUSED);
    EXPECT_EQ(error.localizedFailureReason(), QStringLiteral("Error in connect() function"));
    EXPECT_EQ(client.delegate.connectedPort(), 0);
}
