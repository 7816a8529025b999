// Reads and writes over a connected loopback pair: the socket under test on one end, plain POSIX
// code on the other.
#include "SocketTestSupport.h"

#include "platform/dispatch/VirtualClock.h"

#include <gtest/gtest.h>

#include <cmath>

#include <sys/socket.h>

using platform::PlatformError;
using namespace sockettest;

namespace {

// A socket connected to a plain peer.
struct ConnectedPair
{
    explicit ConnectedPair(int family = AF_INET)
    {
        quint16 port = 0;
        listener = listenPlain(family, &port);
        EXPECT_TRUE(client.socket->connectToHost(loopbackHost(family), port, nullptr));
        peer = acceptPlain(listener.get());
        EXPECT_NE(peer.get(), -1);
        EXPECT_TRUE(waitFor([&] { return client.socket->isConnected(); }));
    }

    GCDAsyncSocket &socket() { return *client.socket; }
    RecordingDelegate &delegate() { return client.delegate; }
    // Waits until every callback queued so far has run.
    void settle() { client.delegateQueue->sync([] {}); }

    Fd listener;
    SocketUnderTest client;
    Fd peer;
};

} // namespace

TEST(GCDAsyncSocketRead, TerminatorReadReportsProgressAndKeepsWhatFollows)
{
    for (const int family : {AF_INET, AF_INET6}) {
        quint16 probePort = 0;
        if (listenPlain(family, &probePort).get() == -1)
            continue;
        ConnectedPair pair(family);
        pair.socket().readDataToData(GCDAsyncSocket::CRLFData(), -1, 1);
        ASSERT_TRUE(writeAllPlain(pair.peer.get(), QByteArrayLiteral("abc\r")));
        ASSERT_TRUE(waitFor([&] { return pair.delegate().hasEvent(QStringLiteral("partial read 4 of 1")); }));
        ASSERT_TRUE(writeAllPlain(pair.peer.get(), QByteArrayLiteral("\ndef")));
        ASSERT_TRUE(waitFor([&] { return pair.delegate().reads().size() == 1; }));
        EXPECT_EQ(pair.delegate().reads().at(0).data, QByteArrayLiteral("abc\r\n"));
        // "def" waits in the pre-buffer for the next read, which completes from it alone.
        long tag = -1;
        std::size_t done = 1;
        std::size_t total = 1;
        EXPECT_TRUE(std::isnan(pair.socket().progressOfReadReturningTag(&tag, &done, &total)));
        EXPECT_EQ(done, 0U);
        pair.socket().readDataWithTimeout(-1, 2);
        ASSERT_TRUE(waitFor([&] { return pair.delegate().reads().size() == 2; }));
        EXPECT_EQ(pair.delegate().reads().at(1).data, QByteArrayLiteral("def"));
        EXPECT_EQ(pair.delegate().events(),
                  (QStringList{QStringLiteral("connected %1 %2").arg(loopbackHost(family)).arg(pair.delegate().connectedPort()),
                               QStringLiteral("partial read 4 of 1"), QStringLiteral("read 1"), QStringLiteral("read 2")}));
    }
}

TEST(GCDAsyncSocketRead, TerminatorSplitAcrossArrivalsAndReadsQueuedTogether)
{
    ConnectedPair pair;
    const QByteArray term = QByteArrayLiteral("<END>");
    pair.socket().readDataToData(term, -1, 1);
    pair.socket().readDataToData(term, -1, 2);
    pair.socket().readDataToLength(4, -1, 3);
    // Each piece arrives alone; the terminator straddles the arrivals.
    for (const QByteArray &piece : {QByteArrayLiteral("one<E"), QByteArrayLiteral("ND>two<"), QByteArrayLiteral("END"),
                                    QByteArrayLiteral(">rest")}) {
        const std::size_t expected = pair.delegate().events().size() + 1;
        ASSERT_TRUE(writeAllPlain(pair.peer.get(), piece));
        ASSERT_TRUE(waitFor([&] { return std::size_t(pair.delegate().events().size()) >= expected; }));
    }
    ASSERT_TRUE(waitFor([&] { return pair.delegate().reads().size() == 3; }));
    EXPECT_EQ(pair.delegate().reads().at(0).data, QByteArrayLiteral("one<END>"));
    EXPECT_EQ(pair.delegate().reads().at(1).data, QByteArrayLiteral("two<END>"));
    EXPECT_EQ(pair.delegate().reads().at(2).data, QByteArrayLiteral("rest"));
}

TEST(GCDAsyncSocketRead, TerminatorReadPastItsMaximumClosesWithCode6)
{
    ConnectedPair pair;
    pair.socket().readDataToData(GCDAsyncSocket::LFData(), -1, 10, 1);
    ASSERT_TRUE(writeAllPlain(pair.peer.get(), QByteArrayLiteral("0123456789abc")));
    ASSERT_TRUE(waitFor([&] { return pair.delegate().disconnects().size() == 1; }));
    EXPECT_EQ(pair.delegate().disconnects().at(0).code(), 6);
    EXPECT_EQ(pair.delegate().disconnects().at(0).localizedDescription(),
              QStringLiteral("Read operation reached set maximum length"));
    EXPECT_TRUE(pair.delegate().reads().empty());
}

TEST(GCDAsyncSocketRead, BadRequestsAreDroppedWithoutACallback)
{
    ConnectedPair pair;
    auto shortBuffer = std::make_shared<QByteArray>(QByteArrayLiteral("ab"));
    pair.socket().readDataToLength(0, -1, 1);
    pair.socket().readDataToData(QByteArray(), -1, 2);
    pair.socket().readDataToData(QByteArrayLiteral("\r\n"), -1, 1, 3);
    pair.socket().readDataWithTimeout(-1, shortBuffer, 3, 4);
    pair.socket().readDataToLength(2, -1, 5);
    ASSERT_TRUE(writeAllPlain(pair.peer.get(), QByteArrayLiteral("xy")));
    ASSERT_TRUE(waitFor([&] { return pair.delegate().reads().size() == 1; }));
    pair.settle();
    EXPECT_EQ(pair.delegate().reads().at(0).tag, 5);
    EXPECT_EQ(pair.delegate().reads().at(0).data, QByteArrayLiteral("xy"));

    // Reads and writes on an idle socket are dropped too.
    SocketUnderTest idle;
    idle.socket->readDataWithTimeout(-1, 1);
    idle.socket->writeData(QByteArrayLiteral("x"), -1, 1);
    idle.socket->writeData(QByteArray(), -1, 2);
    idle.delegateQueue->sync([] {});
    EXPECT_TRUE(idle.delegate.events().isEmpty());
}

TEST(GCDAsyncSocketRead, ReadsIntoTheCallersBufferAfterItsOffset)
{
    ConnectedPair pair;
    auto buffer = std::make_shared<QByteArray>(QByteArrayLiteral("HEAD:"));
    pair.socket().readDataToLength(4, -1, buffer, 5, 1);
    ASSERT_TRUE(writeAllPlain(pair.peer.get(), QByteArrayLiteral("body")));
    ASSERT_TRUE(waitFor([&] { return pair.delegate().reads().size() == 1; }));
    EXPECT_EQ(pair.delegate().reads().at(0).data, QByteArrayLiteral("body"));
    EXPECT_EQ(*buffer, QByteArrayLiteral("HEAD:body"));

    // An all-available read into a longer buffer overwrites after the offset and keeps the rest.
    auto longer = std::make_shared<QByteArray>(QByteArrayLiteral("0123456789"));
    pair.socket().readDataWithTimeout(-1, longer, 2, 3, 2);
    ASSERT_TRUE(writeAllPlain(pair.peer.get(), QByteArrayLiteral("ab")));
    ASSERT_TRUE(waitFor([&] { return pair.delegate().reads().size() == 2; }));
    EXPECT_EQ(pair.delegate().reads().at(1).data, QByteArrayLiteral("ab"));
    EXPECT_EQ(*longer, QByteArrayLiteral("01ab456789"));
}

TEST(GCDAsyncSocketRead, ReadTimeoutIsExtendedByTheDelegateOrClosesWithCode4)
{
    platform::VirtualClock::install();
    ConnectedPair pair;
    pair.delegate().scriptTimeoutAnswers({5.0, 0.0});
    pair.socket().readDataToLength(10, 10.0, 7);
    ASSERT_TRUE(writeAllPlain(pair.peer.get(), QByteArrayLiteral("abc")));
    ASSERT_TRUE(waitFor([&] { return pair.delegate().hasEvent(QStringLiteral("partial read 3 of 7")); }));
    platform::VirtualClock::advance(10.0);
    ASSERT_TRUE(waitFor([&] { return pair.delegate().timeoutElapsed().size() == 1; }));
    // The extension re-arms the timer after the answer comes back.
    pair.socket().performBlock([] {});
    platform::VirtualClock::advance(4.9);
    pair.settle();
    EXPECT_EQ(pair.delegate().timeoutElapsed().size(), 1U);
    platform::VirtualClock::advance(0.1);
    ASSERT_TRUE(waitFor([&] { return pair.delegate().disconnects().size() == 1; }));
    platform::VirtualClock::uninstall();
    EXPECT_EQ(pair.delegate().timeoutElapsed(), (std::vector<double>{10.0, 15.0}));
    EXPECT_EQ(pair.delegate().timeoutBytesDone(), (std::vector<std::size_t>{3, 3}));
    EXPECT_EQ(pair.delegate().disconnects().at(0).code(), 4);
    EXPECT_EQ(pair.delegate().disconnects().at(0).localizedDescription(), QStringLiteral("Read operation timed out"));
    EXPECT_TRUE(pair.delegate().reads().empty());
}

TEST(GCDAsyncSocketRead, PeerCloseWhileReadingClosesWithCode7)
{
    ConnectedPair pair;
    pair.socket().readDataToLength(10, -1, 1);
    ASSERT_TRUE(writeAllPlain(pair.peer.get(), QByteArrayLiteral("abc")));
    pair.peer.reset();
    ASSERT_TRUE(waitFor([&] { return pair.delegate().disconnects().size() == 1; }));
    EXPECT_EQ(pair.delegate().disconnects().at(0).code(), 7);
    EXPECT_EQ(pair.delegate().disconnects().at(0).localizedDescription(), QStringLiteral("Socket closed by remote peer"));
    EXPECT_TRUE(pair.delegate().reads().empty());
}

TEST(GCDAsyncSocketRead, HalfDuplexKeepsWritingAfterThePeerClosedItsSide)
{
    ConnectedPair pair;
    pair.socket().setAutoDisconnectOnClosedReadStream(false);
    EXPECT_FALSE(pair.socket().autoDisconnectOnClosedReadStream());
    pair.socket().readDataToLength(100, -1, 1);
    ::shutdown(pair.peer.get(), SHUT_WR);
    ASSERT_TRUE(waitFor([&] { return pair.delegate().hasEvent(QStringLiteral("read stream closed")); }));
    pair.socket().writeData(QByteArrayLiteral("still here"), -1, 2);
    EXPECT_EQ(readPlain(pair.peer.get(), 10), QByteArrayLiteral("still here"));
    ASSERT_TRUE(waitFor([&] { return pair.delegate().hasEvent(QStringLiteral("wrote 2")); }));
    pair.settle();
    EXPECT_EQ(pair.delegate().events().count(QStringLiteral("read stream closed")), 1);
    EXPECT_TRUE(pair.delegate().disconnects().empty());
    EXPECT_TRUE(pair.socket().isConnected());
}

TEST(GCDAsyncSocketRead, PreBufferedBytesAreReadAfterThePeerClosedThenTheSocketCloses)
{
    ConnectedPair pair;
    pair.socket().readDataToData(GCDAsyncSocket::LFData(), -1, 1);
    ASSERT_TRUE(writeAllPlain(pair.peer.get(), QByteArrayLiteral("line\nxyz")));
    pair.peer.reset();
    ASSERT_TRUE(waitFor([&] { return pair.delegate().reads().size() == 1; }));
    pair.socket().performBlock([] {});
    pair.socket().readDataToLength(3, -1, 2);
    ASSERT_TRUE(waitFor([&] { return pair.delegate().disconnects().size() == 1; }));
    EXPECT_EQ(pair.delegate().reads().at(1).data, QByteArrayLiteral("xyz"));
    EXPECT_EQ(pair.delegate().events().mid(1),
              (QStringList{QStringLiteral("read 1"), QStringLiteral("read 2"),
                           QStringLiteral("disconnected GCDAsyncSocketErrorDomain 7")}));
}

TEST(GCDAsyncSocketWrite, WritesQueuedBeforeTheConnectGoOutInOrderAfterIt)
{
    quint16 port = 0;
    const Fd listener = listenPlain(AF_INET, &port);
    SocketUnderTest client;
    ASSERT_TRUE(client.socket->connectToHost(QStringLiteral("127.0.0.1"), port, nullptr));
    client.socket->writeData(QByteArrayLiteral("first,"), -1, 1);
    client.socket->writeData(QByteArrayLiteral("second"), -1, 2);
    const Fd peer = acceptPlain(listener.get());
    EXPECT_EQ(readPlain(peer.get(), 12), QByteArrayLiteral("first,second"));
    ASSERT_TRUE(waitFor([&] { return client.delegate.hasEvent(QStringLiteral("wrote 2")); }));
    EXPECT_EQ(client.delegate.events(),
              (QStringList{QStringLiteral("connected 127.0.0.1 %1").arg(port), QStringLiteral("wrote 1"),
                           QStringLiteral("wrote 2")}));
}

TEST(GCDAsyncSocketWrite, AWriteTheSocketTakesInPartsReportsEachPart)
{
    ConnectedPair pair;
    // More than the socket buffers hold: the first part goes out, the rest waits for the peer.
    QByteArray data(32 * 1024 * 1024, '\0');
    for (qsizetype index = 0; index < data.size(); ++index)
        data[index] = char(index * 7 + index / 4096);
    pair.socket().writeData(data, -1, 9);
    ASSERT_TRUE(waitFor([&] { return !pair.delegate().events().filter(QStringLiteral("partial write")).isEmpty(); }));
    long tag = 0;
    std::size_t done = 0;
    std::size_t total = 0;
    const float progress = pair.socket().progressOfWriteReturningTag(&tag, &done, &total);
    EXPECT_EQ(tag, 9);
    EXPECT_EQ(total, std::size_t(data.size()));
    EXPECT_GT(done, 0U);
    EXPECT_LT(progress, 1.0F);
    EXPECT_EQ(readPlain(pair.peer.get(), std::size_t(data.size()), 30000), data);
    ASSERT_TRUE(waitFor([&] { return pair.delegate().hasEvent(QStringLiteral("wrote 9")); }));
    std::size_t reported = 0;
    const QStringList events = pair.delegate().events();
    for (const QString &event : events.filter(QStringLiteral("partial write")))
        reported += event.split(QLatin1Char(' ')).at(2).toULongLong();
    // The parts reported before completion, then the last part with the completion.
    EXPECT_GT(reported, 0U);
    EXPECT_LT(reported, std::size_t(data.size()));
    EXPECT_EQ(events.last(), QStringLiteral("wrote 9"));
}

TEST(GCDAsyncSocketWrite, WriteTimeoutWithoutExtensionClosesWithCode5)
{
    platform::VirtualClock::install();
    ConnectedPair pair;
    pair.socket().writeData(QByteArray(64 * 1024 * 1024, 'w'), 5.0, 3);
    ASSERT_TRUE(waitFor([&] { return !pair.delegate().events().filter(QStringLiteral("partial write")).isEmpty(); }));
    std::size_t done = 0;
    pair.socket().progressOfWriteReturningTag(nullptr, &done, nullptr);
    platform::VirtualClock::advance(5.0);
    ASSERT_TRUE(waitFor([&] { return pair.delegate().disconnects().size() == 1; }));
    platform::VirtualClock::uninstall();
    EXPECT_EQ(pair.delegate().disconnects().at(0).code(), 5);
    EXPECT_EQ(pair.delegate().disconnects().at(0).localizedDescription(), QStringLiteral("Write operation timed out"));
    EXPECT_EQ(pair.delegate().timeoutElapsed(), std::vector<double>{5.0});
    EXPECT_EQ(pair.delegate().timeoutBytesDone(), std::vector<std::size_t>{done});
    EXPECT_FALSE(pair.delegate().hasEvent(QStringLiteral("wrote 3")));
}

TEST(GCDAsyncSocketWrite, DisconnectAfterWritingClosesAfterTheLastCallback)
{
    ConnectedPair pair;
    pair.socket().readDataToLength(5, -1, 10);
    pair.socket().writeData(QByteArrayLiteral("one"), -1, 1);
    pair.socket().writeData(QByteArrayLiteral("two"), -1, 2);
    pair.socket().disconnectAfterWriting();
    // Requests after the call are dropped.
    pair.socket().writeData(QByteArrayLiteral("three"), -1, 3);
    pair.socket().readDataToLength(1, -1, 11);
    EXPECT_EQ(readPlain(pair.peer.get(), 100, 5000), QByteArrayLiteral("onetwo"));
    ASSERT_TRUE(waitFor([&] { return pair.delegate().disconnects().size() == 1; }));
    EXPECT_EQ(pair.delegate().events().mid(1),
              (QStringList{QStringLiteral("wrote 1"), QStringLiteral("wrote 2"), QStringLiteral("disconnected")}));
}

TEST(GCDAsyncSocketWrite, DisconnectAfterReadingAndWritingWaitsForBoth)
{
    ConnectedPair pair;
    pair.socket().readDataToLength(3, -1, 1);
    pair.socket().writeData(QByteArrayLiteral("out"), -1, 2);
    pair.socket().disconnectAfterReadingAndWriting();
    EXPECT_EQ(readPlain(pair.peer.get(), 3), QByteArrayLiteral("out"));
    pair.settle();
    EXPECT_TRUE(pair.delegate().disconnects().empty());
    ASSERT_TRUE(writeAllPlain(pair.peer.get(), QByteArrayLiteral("in!")));
    ASSERT_TRUE(waitFor([&] { return pair.delegate().disconnects().size() == 1; }));
    EXPECT_TRUE(pair.delegate().disconnects().at(0).isNull());
    EXPECT_EQ(pair.delegate().reads().at(0).data, QByteArrayLiteral("in!"));
}
