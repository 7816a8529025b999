// Long transfers and many connections: a peer killed mid-transfer, descriptors over many cycles,
// memory over a long read, and a terminator that never comes.
#include "SocketTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <thread>

#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

using platform::PlatformError;
using namespace sockettest;

namespace {

constexpr std::size_t kGigabyte = 1024UL * 1024 * 1024;
constexpr std::size_t kChunk = 64 * 1024;

// A child process that connects to the port and streams a gigabyte to it, or reads a gigabyte from
// it. Only system calls run in the child: the parent has threads.
pid_t startPlainPeer(quint16 port, bool isSender)
{
    const pid_t child = ::fork();
    if (child != 0)
        return child;
    const Fd fd = connectPlain(AF_INET, port);
    static char buffer[kChunk];
    for (std::size_t index = 0; index < sizeof buffer; ++index)
        buffer[index] = char(index);
    std::size_t moved = 0;
    while (fd.get() != -1 && moved < kGigabyte) {
        const ssize_t count = isSender ? ::send(fd.get(), buffer, sizeof buffer, MSG_NOSIGNAL)
                                       : ::recv(fd.get(), buffer, sizeof buffer, 0);
        if (count <= 0)
            break;
        moved += std::size_t(count);
    }
    ::_exit(0);
}

// A wait for short events many times over: no sleeping between checks.
bool spinUntil(const std::function<bool()> &condition)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::yield();
    }
    return true;
}

void killAndReap(pid_t child)
{
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
}

// The server side of a test: listening, with the socket it accepted.
struct AcceptedPeer
{
    AcceptedPeer()
    {
        EXPECT_TRUE(server.socket->acceptOnInterface(QStringLiteral("127.0.0.1"), 0, nullptr));
        port = server.socket->localPort();
    }

    std::shared_ptr<GCDAsyncSocket> waitForConnection()
    {
        EXPECT_TRUE(waitFor([&] { return !server.delegate.accepted().empty(); }));
        return server.delegate.accepted().empty() ? nullptr : server.delegate.accepted().front();
    }

    SocketUnderTest server;
    quint16 port = 0;
};

} // namespace

TEST(GCDAsyncSocketStress, PeerKilledWhileSendingAGigabyteEndsInADisconnectWithAnError)
{
    AcceptedPeer peer;
    peer.server.delegate.setCountsOnly(true);
    const pid_t child = startPlainPeer(peer.port, true);
    const auto accepted = peer.waitForConnection();
    ASSERT_TRUE(accepted);
    // One read of the whole gigabyte: it is still current when the peer dies.
    accepted->readDataToLength(kGigabyte, -1, 0);
    ASSERT_TRUE(waitFor([&] { return !peer.server.delegate.events().filter(QStringLiteral("partial read")).isEmpty(); }));
    killAndReap(child);
    ASSERT_TRUE(waitFor([&] { return peer.server.delegate.disconnects().size() == 1; }));
    EXPECT_FALSE(peer.server.delegate.disconnects().at(0).isNull());
    // The gigabyte read never completed: no read callback.
    EXPECT_EQ(peer.server.delegate.bytesRead(), 0U);
}

TEST(GCDAsyncSocketStress, PeerKilledWhileReceivingAGigabyteEndsInADisconnectWithAnErrorAndNoSignal)
{
    AcceptedPeer peer;
    peer.server.delegate.setCountsOnly(true);
    const QByteArray chunk(qsizetype(kChunk), 'z');
    std::atomic<std::size_t> written{0};
    // Each completed write queues the next until a gigabyte went out.
    peer.server.delegate.setOnWrite([&](GCDAsyncSocket *sock, long tag) {
        written += kChunk;
        if (written < kGigabyte)
            sock->writeData(chunk, -1, tag + 1);
    });
    const pid_t child = startPlainPeer(peer.port, false);
    const auto accepted = peer.waitForConnection();
    ASSERT_TRUE(accepted);
    accepted->writeData(chunk, -1, 0);
    ASSERT_TRUE(waitFor([&] { return written > 16 * kChunk; }));
    killAndReap(child);
    ASSERT_TRUE(waitFor([&] { return peer.server.delegate.disconnects().size() == 1; }));
    const PlatformError error = peer.server.delegate.disconnects().at(0);
    EXPECT_FALSE(error.isNull());
    EXPECT_LT(written.load(), kGigabyte);
    // Still alive after the broken pipe: MSG_NOSIGNAL kept SIGPIPE away.
    EXPECT_EQ(peer.server.delegate.events().filter(QStringLiteral("disconnected")).size(), 1);
}

TEST(GCDAsyncSocketStress, ConnectAndCloseCyclesLeaveTheDescriptorCountAsItWas)
{
    quint16 port = 0;
    const Fd listener = listenPlain(AF_INET, &port, 1024);
    std::atomic<bool> isServing{true};
    // The plain side accepts and drops each connection.
    std::thread acceptor([&] {
        while (isServing) {
            Fd accepted = acceptPlain(listener.get(), 100);
        }
    });
    SocketUnderTest client;
    // Warm-up: the first connect starts the worker threads and the event monitor.
    ASSERT_TRUE(client.socket->connectToHost(QStringLiteral("127.0.0.1"), port, nullptr));
    ASSERT_TRUE(waitFor([&] { return client.delegate.connectedPort() != 0; }));
    client.socket->disconnect();
    client.delegateQueue->sync([] {});
    const int before = openDescriptorCount();
    constexpr int kCycles = 10000;
    for (int cycle = 0; cycle < kCycles; ++cycle) {
        ASSERT_TRUE(client.socket->connectToHost(QStringLiteral("127.0.0.1"), port, nullptr)) << cycle;
        ASSERT_TRUE(spinUntil([&] { return client.socket->isConnected() || client.socket->isDisconnected(); })) << cycle;
        client.socket->disconnect();
    }
    client.delegateQueue->sync([] {});
    // Descriptors close once their sources have let go, on the socket queue.
    EXPECT_TRUE(waitFor([&] { return openDescriptorCount() <= before; })) << openDescriptorCount() << " > " << before;
    isServing = false;
    acceptor.join();
}

TEST(GCDAsyncSocketStress, AGigabyteThroughAllAvailableReadsKeepsMemoryFlat)
{
    AcceptedPeer peer;
    peer.server.delegate.setCountsOnly(true);
    // Every read completes with what is there and queues the next.
    peer.server.delegate.setOnRead([](GCDAsyncSocket *sock, const QByteArray &, long tag) {
        sock->readDataWithTimeout(-1, tag + 1);
    });
    const pid_t child = startPlainPeer(peer.port, true);
    const auto accepted = peer.waitForConnection();
    ASSERT_TRUE(accepted);
    const std::size_t before = residentBytes();
    std::size_t atHalf = 0;
    std::size_t highest = before;
    accepted->readDataWithTimeout(-1, 0);
    ASSERT_TRUE(waitFor(
        [&] {
            highest = std::max(highest, residentBytes());
            if (atHalf == 0 && peer.server.delegate.bytesRead() >= kGigabyte / 2)
                atHalf = highest;
            return peer.server.delegate.bytesRead() >= kGigabyte || !peer.server.delegate.disconnects().empty();
        },
        120000));
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_EQ(peer.server.delegate.bytesRead(), kGigabyte);
    constexpr std::size_t kAllowance = std::size_t(64) * 1024 * 1024;
    // The second half of the transfer adds nothing: memory per read is given back.
    EXPECT_LT(highest - atHalf, kAllowance) << "resident memory grew from " << atHalf << " to " << highest;
#ifndef __SANITIZE_ADDRESS__
    // (AddressSanitizer holds freed blocks in its quarantine, a few hundred megabytes, before reuse.)
    EXPECT_LT(highest - before, kAllowance) << "resident memory grew from " << before << " to " << highest;
#endif
}

TEST(GCDAsyncSocketStress, TerminatorReadOverAHundredMegabytesStopsAtItsMaximum)
{
    AcceptedPeer peer;
    const pid_t child = startPlainPeer(peer.port, true);
    const auto accepted = peer.waitForConnection();
    ASSERT_TRUE(accepted);
    constexpr std::size_t kMaximum = 1024 * 1024;
    // The peer's bytes never hold a CR LF pair.
    accepted->readDataToData(QByteArrayLiteral("\xff\xfe"), -1, kMaximum, 1);
    ASSERT_TRUE(waitFor([&] { return peer.server.delegate.disconnects().size() == 1; }, 30000));
    killAndReap(child);
    EXPECT_EQ(peer.server.delegate.disconnects().at(0).code(), 6);
    std::size_t reported = 0;
    for (const QString &event : peer.server.delegate.events().filter(QStringLiteral("partial read")))
        reported += event.split(QLatin1Char(' ')).at(2).toULongLong();
    EXPECT_EQ(reported, kMaximum);
}
