// The XMPP stream's delegate side and its connects, each against the same work done directly, in the
// same run:
// - 1,000,000 reports through a GCDMulticastDelegate to four delegates on four queues, against posting
//   the same calls to the four queues;
// - 200 connects of an XMPPStream by SRV (dnsmasq on loopback) to a loopback listener, each followed
//   by a disconnect, against an XMPPSRVResolver lookup and a GCDAsyncSocket connect and disconnect.
// Prints the medians of rounds and their ratios.
#include "platform/dispatch/DispatchSemaphore.h"
#include "push/CocoaAsyncSocket/GCDAsyncSocket.h"
#include "push/Utilities/XMPPSRVResolver.h"
#include "push/XMPP/Core/XMPPStream.h"

#include <QProcess>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace platform;

namespace {

constexpr int kReports = 1000000;
constexpr int kConnects = 200;
constexpr int kRounds = 5;

double seconds(const std::function<void()> &work)
{
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// ---- Reports ----

class Counter final : public XMPPStreamDelegate
{
public:
    Counter() : XMPPStreamDelegate({XMPPStreamDidSecureOp}) {}
    void xmppStreamDidSecure(XMPPStream *) override { ++calls; }
    std::atomic<std::uint64_t> calls{0};
};

struct Delegates
{
    Delegates()
    {
        for (int i = 0; i < 4; ++i) {
            counters.push_back(std::make_shared<Counter>());
            queues.push_back(DispatchQueue::createSerial(QStringLiteral("bench delegate %1").arg(i)));
        }
    }
    void drain() const
    {
        for (const auto &queue : queues)
            queue->sync([] {});
    }
    std::vector<std::shared_ptr<Counter>> counters;
    std::vector<std::shared_ptr<DispatchQueue>> queues;
};

void multicastReports(Delegates &d, const std::shared_ptr<void> &sender)
{
    GCDMulticastDelegate multicast;
    for (std::size_t i = 0; i < d.counters.size(); ++i)
        multicast.addDelegate(d.counters[i], d.queues[i]);
    for (int i = 0; i < kReports; ++i) {
        multicast.invoke<XMPPStreamDelegate>(XMPPStreamDidSecureOp, [sender](XMPPStreamDelegate &delegate) {
            delegate.xmppStreamDidSecure(static_cast<XMPPStream *>(sender.get()));
        });
    }
    d.drain();
}

void directReports(Delegates &d, const std::shared_ptr<void> &sender)
{
    for (int i = 0; i < kReports; ++i) {
        for (std::size_t n = 0; n < d.counters.size(); ++n) {
            d.queues[n]->async([delegate = d.counters[n], sender] {
                delegate->xmppStreamDidSecure(static_cast<XMPPStream *>(sender.get()));
            });
        }
    }
    d.drain();
}

// ---- Connects ----

// Accepts one connection at a time and holds it until the peer closes it.
class Listener
{
public:
    Listener()
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(m_fd, reinterpret_cast<sockaddr *>(&address), length);
        ::listen(m_fd, 64);
        ::getsockname(m_fd, reinterpret_cast<sockaddr *>(&address), &length);
        port = ntohs(address.sin_port);
        m_thread = std::thread([this] { serve(); });
    }
    ~Listener()
    {
        m_stop = true;
        m_thread.join();
        ::close(m_fd);
    }
    quint16 port = 0;

private:
    void serve()
    {
        int client = -1;
        while (!m_stop) {
            pollfd poll{client >= 0 ? client : m_fd, POLLIN, 0};
            if (::poll(&poll, 1, 20) <= 0)
                continue;
            if (client < 0) {
                client = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
                continue;
            }
            char buffer[512];
            if (::read(client, buffer, sizeof buffer) <= 0) {
                ::close(client);
                client = -1;
            }
        }
        if (client >= 0)
            ::close(client);
    }
    int m_fd = -1;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

class StreamWaiter final : public XMPPStreamDelegate
{
public:
    StreamWaiter() : XMPPStreamDelegate({XMPPStreamSocketDidConnectOp, XMPPStreamDidDisconnectOp}) {}
    void xmppStreamSocketDidConnect(XMPPStream *, GCDAsyncSocket *) override { connected->signal(); }
    void xmppStreamDidDisconnect(XMPPStream *, const PlatformError &) override { disconnected->signal(); }
    std::shared_ptr<DispatchSemaphore> connected = DispatchSemaphore::create(0);
    std::shared_ptr<DispatchSemaphore> disconnected = DispatchSemaphore::create(0);
};

void streamConnects(const QString &dnsServer)
{
    auto stream = XMPPStream::init();
    auto waiter = std::make_shared<StreamWaiter>();
    stream->addDelegate(waiter, DispatchQueue::createSerial(QStringLiteral("bench stream delegate")));
    stream->setMyJID(XMPPJID::jidWithString(QStringLiteral("alice@example.test")));
    stream->setSRVDNSServers(dnsServer);
    for (int i = 0; i < kConnects; ++i) {
        stream->connect();
        waiter->connected->wait();
        stream->disconnect();
        waiter->disconnected->wait();
    }
}

class DirectWaiter final : public XMPPSRVResolverDelegate, public GCDAsyncSocketDelegate
{
public:
    void srvResolverDidResolveRecords(XMPPSRVResolver *, const std::vector<XMPPSRVRecord> &found) override
    {
        records = found;
        resolved->signal();
    }
    void srvResolverDidNotResolveDueToError(XMPPSRVResolver *, const PlatformError &) override { resolved->signal(); }
    void socketDidConnectToHost(GCDAsyncSocket *, const QString &, quint16) override { connected->signal(); }
    void socketDidDisconnect(GCDAsyncSocket *, const PlatformError &) override { disconnected->signal(); }
    std::vector<XMPPSRVRecord> records;
    std::shared_ptr<DispatchSemaphore> resolved = DispatchSemaphore::create(0);
    std::shared_ptr<DispatchSemaphore> connected = DispatchSemaphore::create(0);
    std::shared_ptr<DispatchSemaphore> disconnected = DispatchSemaphore::create(0);
};

// Whether a lookup through the server finds the record (dnsmasq is up).
bool lookupSucceeds(const QString &dnsServer)
{
    DirectWaiter waiter;
    const auto queue = DispatchQueue::createSerial(QStringLiteral("bench readiness"));
    auto resolver = XMPPSRVResolver::initWithdDelegate(&waiter, queue);
    resolver->setDNSServers(dnsServer);
    resolver->startWithSRVName(QStringLiteral("_xmpp-client._tcp.example.test"), 1);
    waiter.resolved->wait();
    queue->sync([] {});
    return !waiter.records.empty();
}

void directConnects(const QString &dnsServer)
{
    DirectWaiter waiter;
    const auto queue = DispatchQueue::createSerial(QStringLiteral("bench direct"));
    auto socket = GCDAsyncSocket::create(&waiter, queue);
    for (int i = 0; i < kConnects; ++i) {
        auto resolver = XMPPSRVResolver::initWithdDelegate(&waiter, queue);
        resolver->setDNSServers(dnsServer);
        resolver->startWithSRVName(QStringLiteral("_xmpp-client._tcp.example.test"), 30);
        waiter.resolved->wait();
        if (waiter.records.empty()) {
            std::fprintf(stderr, "a lookup failed\n");
            continue;
        }
        socket->connectToHost(waiter.records.front().target(), waiter.records.front().port());
        waiter.connected->wait();
        socket->disconnect();
        waiter.disconnected->wait();
    }
    socket->synchronouslySetDelegate(nullptr);
}

quint16 freeUdpPort()
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr *>(&address), length);
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

void benchReports()
{
    Delegates delegates;
    const auto sender = std::make_shared<int>(0);
    std::vector<double> multicast;
    std::vector<double> direct;
    for (int round = 0; round < kRounds; ++round) {
        direct.push_back(seconds([&] { directReports(delegates, sender); }));
        multicast.push_back(seconds([&] { multicastReports(delegates, sender); }));
    }
    std::printf("reports posted directly:   median %.3f s for %d reports to 4 delegates\n", median(direct), kReports);
    std::printf("GCDMulticastDelegate:      median %.3f s\n", median(multicast));
    std::printf("report ratio (multicast/direct): %.2f\n", median(multicast) / median(direct));
}

bool benchConnects()
{
    Listener listener;
    const quint16 port = freeUdpPort();
    QProcess dnsmasq;
    dnsmasq.start(QStringLiteral("/usr/sbin/dnsmasq"),
                  {QStringLiteral("--keep-in-foreground"), QStringLiteral("--no-resolv"), QStringLiteral("--no-hosts"),
                   QStringLiteral("--conf-file=/dev/null"), QStringLiteral("--listen-address=127.0.0.1"),
                   QStringLiteral("--bind-interfaces"), QStringLiteral("--port=%1").arg(port),
                   QStringLiteral("--pid-file="), QStringLiteral("--log-facility=/dev/null"),
                   QStringLiteral("--srv-host=_xmpp-client._tcp.example.test,127.0.0.1,%1,10,0").arg(listener.port)});
    if (!dnsmasq.waitForStarted())
        return false;
    const QString server = QStringLiteral("127.0.0.1:%1").arg(port);
    bool isReady = false;
    for (int attempt = 0; attempt < 50 && !isReady; ++attempt) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        isReady = lookupSucceeds(server);
    }
    if (!isReady) {
        std::fprintf(stderr, "dnsmasq does not answer\n");
        return false;
    }
    std::vector<double> stream;
    std::vector<double> direct;
    for (int round = 0; round < kRounds; ++round) {
        direct.push_back(seconds([&] { directConnects(server); }));
        stream.push_back(seconds([&] { streamConnects(server); }));
    }
    dnsmasq.kill();
    dnsmasq.waitForFinished();
    std::printf("lookup and socket directly: median %.3f s for %d connects\n", median(direct), kConnects);
    std::printf("XMPPStream by SRV:          median %.3f s\n", median(stream));
    std::printf("connect ratio (stream/direct): %.2f\n", median(stream) / median(direct));
    return true;
}

} // namespace

int main()
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    benchReports();
    return benchConnects() ? 0 : 1;
}
