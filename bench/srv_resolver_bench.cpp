// 1,000 SRV lookups against dnsmasq on loopback, one after another, for two ways in the same run:
// XMPPSRVResolver (start, answers, ordering, report on a delegate queue) and the same query made
// with c-ares directly (ares_query, ares_parse_srv_reply, a poll loop). Rounds alternate the two
// ways; each round gives a pair, and the ratios printed are the medians of the pairs' ratios, for
// wall time and for this process's CPU time (dnsmasq's own time, which swings with the machine's
// load, is in neither side's CPU time).
// A third figure, for reading the gap: the resolver's thread hand-offs alone, without DNS (see
// handOffRounds).
// With the arguments "resolver HOST:PORT" or "direct HOST:PORT" it makes one round of that kind
// against a server already running and prints nothing, for timing whole processes from outside.
#include "WorkTimes.h"
#include "push/Utilities/XMPPSRVResolver.h"
#include "platform/dispatch/DispatchFdSource.h"
#include "platform/dispatch/DispatchSemaphore.h"

#include <QProcess>

#include <ares.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string_view>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace platform;

namespace {

constexpr int kLookups = 1000;
constexpr int kRounds = 9;
const char kName[] = "_xmpp-client._tcp.example.test";

class Waiter final : public XMPPSRVResolverDelegate
{
public:
    void srvResolverDidResolveRecords(XMPPSRVResolver *, const std::vector<XMPPSRVRecord> &) override { done->signal(); }
    void srvResolverDidNotResolveDueToError(XMPPSRVResolver *, const PlatformError &) override
    {
        ++failures;
        done->signal();
    }
    std::shared_ptr<DispatchSemaphore> done = DispatchSemaphore::create(0);
    int failures = 0;
};

void resolverLookups(const QString &server)
{
    Waiter waiter;
    const auto delegateQueue = DispatchQueue::createSerial(QStringLiteral("bench.delegate"));
    for (int i = 0; i < kLookups; ++i) {
        auto resolver = XMPPSRVResolver::initWithdDelegate(&waiter, delegateQueue);
        resolver->setDNSServers(server);
        resolver->startWithSRVName(QString::fromLatin1(kName), 5);
        waiter.done->wait();
    }
    delegateQueue->sync([] {});
    if (waiter.failures > 0)
        std::fprintf(stderr, "%d resolver failures\n", waiter.failures);
}

// What a lookup pays the dispatch layer, DNS aside: the caller queues a block on a serial queue,
// which sends a datagram to itself; a read source on that queue takes it (the event monitor's
// thread handing it over) and queues a block on the delegate queue, which wakes the caller.
void handOffRounds()
{
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) != 0)
        std::exit(1);
    const auto queue = DispatchQueue::createSerial(QStringLiteral("bench.handoff"));
    const auto delegateQueue = DispatchQueue::createSerial(QStringLiteral("bench.delegate"));
    const auto done = DispatchSemaphore::create(0);
    auto created = DispatchFdSource::createRead(fds[0], queue);
    if (!created)
        std::exit(1);
    const std::shared_ptr<DispatchFdSource> source = *created;
    source->setEventHandler(DispatchBlock([&] {
        char byte = 0;
        (void)::recv(fds[0], &byte, 1, 0);
        delegateQueue->async([&] { done->signal(); });
    }));
    source->resume();
    for (int i = 0; i < kLookups; ++i) {
        queue->async([&] { (void)::send(fds[1], "x", 1, 0); });
        done->wait();
    }
    source->cancel();
    queue->sync([] {});
    delegateQueue->sync([] {});
    ::close(fds[0]);
    ::close(fds[1]);
}

void onAnswer(void *arg, int status, int, unsigned char *reply, int length)
{
    ares_srv_reply *records = nullptr;
    if (status == ARES_SUCCESS && ares_parse_srv_reply(reply, length, &records) == ARES_SUCCESS)
        ares_free_data(records);
    *static_cast<bool *>(arg) = true;
}

void aresLookups(const QString &server)
{
    for (int i = 0; i < kLookups; ++i) {
        ares_channel channel = nullptr;
        ares_init(&channel);
        ares_set_servers_ports_csv(channel, server.toLatin1().constData());
        bool done = false;
        ares_query(channel, kName, 1, 33, onAnswer, &done);
        // Bounded: a server that went away must end the bench, not hold it for good.
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!done) {
            if (std::chrono::steady_clock::now() > giveUp) {
                std::fprintf(stderr, "srv_resolver_bench: the DNS server does not answer\n");
                std::exit(1);
            }
            ares_socket_t sockets[ARES_GETSOCK_MAXNUM];
            const int bits = ares_getsock(channel, sockets, ARES_GETSOCK_MAXNUM);
            std::vector<pollfd> fds;
            for (int s = 0; s < ARES_GETSOCK_MAXNUM; ++s) {
                if (ARES_GETSOCK_READABLE(bits, s))
                    fds.push_back({sockets[s], POLLIN, 0});
            }
            ::poll(fds.data(), fds.size(), 1000);
            for (const pollfd &fd : fds)
                ares_process_fd(channel, (fd.revents & POLLIN) != 0 ? fd.fd : ARES_SOCKET_BAD, ARES_SOCKET_BAD);
            if (fds.empty())
                ares_process_fd(channel, ARES_SOCKET_BAD, ARES_SOCKET_BAD);
        }
        ares_destroy(channel);
    }
}

using benchtimes::Figures;
using benchtimes::measure;

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
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

} // namespace

int main(int argc, char **argv)
{
    ares_library_init(ARES_LIB_INIT_ALL);
    // One round of one kind against a running server, for timing the whole process from outside.
    if (argc == 3 && std::string_view(argv[1]) == "resolver") {
        resolverLookups(QString::fromLocal8Bit(argv[2]));
        return 0;
    }
    if (argc == 3 && std::string_view(argv[1]) == "direct") {
        aresLookups(QString::fromLocal8Bit(argv[2]));
        return 0;
    }
    const quint16 port = freeUdpPort();
    QProcess dnsmasq;
    dnsmasq.start(QStringLiteral("/usr/sbin/dnsmasq"),
                  {QStringLiteral("--keep-in-foreground"), QStringLiteral("--no-resolv"), QStringLiteral("--no-hosts"),
                   QStringLiteral("--conf-file=/dev/null"), QStringLiteral("--listen-address=127.0.0.1"),
                   QStringLiteral("--bind-interfaces"), QStringLiteral("--port=%1").arg(port),
                   QStringLiteral("--pid-file="), QStringLiteral("--log-facility=/dev/null"),
                   QStringLiteral("--srv-host=%1,a.example.test,5222,10,0").arg(QString::fromLatin1(kName)),
                   QStringLiteral("--srv-host=%1,b.example.test,5223,10,60").arg(QString::fromLatin1(kName)),
                   QStringLiteral("--srv-host=%1,c.example.test,5224,10,40").arg(QString::fromLatin1(kName)),
                   QStringLiteral("--srv-host=%1,d.example.test,5225,20,0").arg(QString::fromLatin1(kName))});
    if (!dnsmasq.waitForStarted())
        return 1;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    if (dnsmasq.state() != QProcess::Running) {
        std::fprintf(stderr, "srv_resolver_bench: dnsmasq stopped: %s\n", dnsmasq.readAllStandardError().constData());
        return 1;
    }
    const QString server = QStringLiteral("127.0.0.1:%1").arg(port);
    std::vector<double> resolverSeconds;
    std::vector<double> directSeconds;
    std::vector<double> handOffSeconds;
    std::vector<double> wallRatios;
    std::vector<double> cpuRatios;
    for (int round = 0; round < kRounds; ++round) {
        const Figures direct = measure([&] { aresLookups(server); });
        const Figures resolver = measure([&] { resolverLookups(server); });
        handOffSeconds.push_back(measure(handOffRounds).seconds);
        directSeconds.push_back(direct.seconds);
        resolverSeconds.push_back(resolver.seconds);
        wallRatios.push_back(resolver.seconds / direct.seconds);
        cpuRatios.push_back(resolver.cpuSeconds / std::max(direct.cpuSeconds, 1e-6));
    }
    dnsmasq.kill();
    dnsmasq.waitForFinished();
    std::printf("c-ares directly:  median %.3f s for %d lookups\n", median(directSeconds), kLookups);
    std::printf("XMPPSRVResolver:  median %.3f s for %d lookups\n", median(resolverSeconds), kLookups);
    std::printf("hand-offs alone:  median %.3f s for %d rounds (no DNS)\n", median(handOffSeconds), kLookups);
    std::printf("paired ratios (resolver/direct), median of %d rounds: time %.2f, CPU %.2f (limit 1.30)\n", kRounds,
                median(wallRatios), median(cpuRatios));
    return 0;
}
