// SRV lookups against a real DNS server on loopback (dnsmasq with srv-host records), a silent port,
// and a server answering garbage; and the RFC 2782 order under a scripted random source.
#include "push/Utilities/XMPPSRVResolver.h"

#include "DnsmasqServer.h"


#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using platform::PlatformError;

namespace {

// Records the one report of a lookup.
class Recorder final : public XMPPSRVResolverDelegate
{
public:
    void srvResolverDidResolveRecords(XMPPSRVResolver *, const std::vector<XMPPSRVRecord> &records) override
    {
        const std::lock_guard lock(m_mutex);
        m_records = records;
        ++m_reports;
        m_changed.notify_all();
    }
    void srvResolverDidNotResolveDueToError(XMPPSRVResolver *, const PlatformError &error) override
    {
        const std::lock_guard lock(m_mutex);
        m_error = error;
        ++m_reports;
        m_changed.notify_all();
    }
    bool waitForReport(int timeoutMs = 10000)
    {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return m_reports > 0; });
    }
    std::vector<XMPPSRVRecord> records() const
    {
        const std::lock_guard lock(m_mutex);
        return m_records;
    }
    PlatformError error() const
    {
        const std::lock_guard lock(m_mutex);
        return m_error;
    }
    int reports() const
    {
        const std::lock_guard lock(m_mutex);
        return m_reports;
    }

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<XMPPSRVRecord> m_records;
    PlatformError m_error;
    int m_reports = 0;
};

// A UDP socket on a loopback port the system picks.
int udpSocket(quint16 *port)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
    *port = ntohs(address.sin_port);
    return fd;
}

// dnsmasq on loopback answering only from its own records (NXDOMAIN for other names in example.test).
using Dnsmasq = DnsmasqServer;

// A UDP server that answers every query with the reply the function makes of it (none: silent).
class FakeDnsServer
{
public:
    explicit FakeDnsServer(std::function<QByteArray(const QByteArray &)> reply) : m_reply(std::move(reply))
    {
        m_fd = udpSocket(&m_port);
        m_thread = std::thread([this] { run(); });
    }
    ~FakeDnsServer()
    {
        m_stop = true;
        m_thread.join();
        ::close(m_fd);
    }
    QString server() const { return QStringLiteral("127.0.0.1:%1").arg(m_port); }

private:
    void run()
    {
        while (!m_stop) {
            pollfd descriptor{m_fd, POLLIN, 0};
            if (::poll(&descriptor, 1, 50) <= 0)
                continue;
            char buffer[4096];
            sockaddr_in from{};
            socklen_t length = sizeof from;
            const ssize_t got =
                ::recvfrom(m_fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr *>(&from), &length);
            if (got <= 0)
                continue;
            const QByteArray answer = m_reply(QByteArray(buffer, qsizetype(got)));
            if (!answer.isEmpty())
                ::sendto(m_fd, answer.constData(), std::size_t(answer.size()), 0, reinterpret_cast<sockaddr *>(&from),
                         length);
        }
    }

    std::function<QByteArray(const QByteArray &)> m_reply;
    int m_fd = -1;
    quint16 m_port = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

struct Lookup
{
    Lookup(const QString &servers, std::function<std::uint32_t()> random = {})
        : delegateQueue(platform::DispatchQueue::createSerial(QStringLiteral("srv delegate"))),
          resolver(XMPPSRVResolver::initWithdDelegate(&recorder, delegateQueue))
    {
        resolver->setDNSServers(servers);
        if (random)
            resolver->setRandomSource(std::move(random));
    }
    ~Lookup()
    {
        resolver->stop();
        delegateQueue->sync([] {});
    }

    Recorder recorder;
    std::shared_ptr<platform::DispatchQueue> delegateQueue;
    std::shared_ptr<XMPPSRVResolver> resolver;
};

QStringList targets(const std::vector<XMPPSRVRecord> &records)
{
    QStringList result;
    for (const XMPPSRVRecord &record : records)
        result.append(record.target());
    return result;
}

// The query answered with one SRV record (10, 20, 5222, "late.example.test").
QByteArray srvAnswer(const QByteArray &query)
{
    QByteArray reply = query;
    reply[2] = char(0x81);
    reply[3] = char(0x80);
    reply[7] = 1;
    const QByteArray target("\x04" "late" "\x07" "example" "\x04" "test", 19);
    reply += QByteArray("\xc0\x0c\x00\x21\x00\x01\x00\x00\x00\x10", 10);
    reply += char(0);
    reply += char(6 + target.size());
    reply += QByteArray("\x00\x0a\x00\x14\x14\x66", 6) + target;
    return reply;
}

// dnsmasq answers with its records in the reverse of their configured order: these come as a, b, c, d.
const QStringList kWeightedRecords = {
    QStringLiteral("_xmpp-client._tcp.example.test,d.example.test,5225,20,0"),
    QStringLiteral("_xmpp-client._tcp.example.test,c.example.test,5224,10,40"),
    QStringLiteral("_xmpp-client._tcp.example.test,b.example.test,5223,10,60"),
    QStringLiteral("_xmpp-client._tcp.example.test,a.example.test,5222,10,0"),
};

} // namespace

TEST(XMPPSRVResolver, SrvNameFromDomain)
{
    EXPECT_EQ(XMPPSRVResolver::srvNameFromXMPPDomain(QStringLiteral("example.test")),
              QStringLiteral("_xmpp-client._tcp.example.test"));
    EXPECT_TRUE(XMPPSRVResolver::srvNameFromXMPPDomain(QString()).isNull());
}

TEST(XMPPSRVResolver, AnswersFromDnsmasqInWeightedOrder)
{
    Dnsmasq dns(kWeightedRecords);
    // The first draw picks within priority 10 (total 100); later draws use the same value.
    const std::vector<std::pair<std::uint32_t, QString>> draws = {
        {0, QStringLiteral("a.example.test")},   {1, QStringLiteral("b.example.test")},
        {60, QStringLiteral("b.example.test")},  {61, QStringLiteral("c.example.test")},
        {100, QStringLiteral("c.example.test")}, {202, QStringLiteral("a.example.test")}};
    for (const auto &[draw, first] : draws) {
        Lookup lookup(dns.server(), [value = draw] { return value; });
        lookup.resolver->startWithSRVName(XMPPSRVResolver::srvNameFromXMPPDomain(QStringLiteral("example.test")), 5);
        ASSERT_TRUE(lookup.recorder.waitForReport());
        const std::vector<XMPPSRVRecord> records = lookup.recorder.records();
        ASSERT_EQ(records.size(), 4U) << lookup.recorder.error().code();
        EXPECT_EQ(records.front().target(), first) << draw;
        EXPECT_EQ(records.back().target(), QStringLiteral("d.example.test"));
        EXPECT_EQ(records.back().port(), 5225);
        EXPECT_EQ(records.back().priority(), 20);
        EXPECT_EQ(lookup.resolver->srvName(), QStringLiteral("_xmpp-client._tcp.example.test"));
    }
}

TEST(XMPPSRVResolver, WeightZeroRecordsComeReversed)
{
    std::vector<XMPPSRVRecord> records = {XMPPSRVRecord(5, 0, 1, QStringLiteral("x")),
                                          XMPPSRVRecord(5, 0, 2, QStringLiteral("y")),
                                          XMPPSRVRecord(5, 0, 3, QStringLiteral("z"))};
    XMPPSRVResolver::sortResults(records, [] { return 12345U; });
    EXPECT_EQ(targets(records), (QStringList{QStringLiteral("z"), QStringLiteral("y"), QStringLiteral("x")}));
    // A single record needs no draw.
    std::vector<XMPPSRVRecord> single = {XMPPSRVRecord(1, 1, 1, QStringLiteral("only"))};
    XMPPSRVResolver::sortResults(single, []() -> std::uint32_t {
        ADD_FAILURE() << "drew";
        return 0;
    });
    EXPECT_EQ(targets(single), QStringList{QStringLiteral("only")});
    EXPECT_TRUE(XMPPSRVRecord(1, 2, 3, QStringLiteral("t"))
                    .description()
                    .endsWith(QStringLiteral(" target(t) port(3) priority(1) weight(2)>")));
}

TEST(XMPPSRVResolver, NegativeAnswersTimeoutsAndGarbageEndWithErrors)
{
    Dnsmasq dns(kWeightedRecords);
    {
        Lookup lookup(dns.server());
        lookup.resolver->startWithSRVName(QStringLiteral("_xmpp-client._tcp.missing.example.test"), 5);
        ASSERT_TRUE(lookup.recorder.waitForReport());
        EXPECT_EQ(lookup.recorder.error().domain(), QStringLiteral("XMPPSRVResolverErrorDomain"));
        EXPECT_EQ(lookup.recorder.error().code(), -65538);
    }
    {
        FakeDnsServer silent([](const QByteArray &) { return QByteArray(); });
        Lookup lookup(silent.server());
        lookup.resolver->startWithSRVName(QStringLiteral("_xmpp-client._tcp.example.test"), 0.3);
        ASSERT_TRUE(lookup.recorder.waitForReport());
        EXPECT_EQ(lookup.recorder.error().code(), 0);
        EXPECT_EQ(lookup.recorder.error().localizedDescription(), QStringLiteral("Operation timed out"));
    }
    {
        // The question echoed back with an answer that runs past the end.
        FakeDnsServer garbage([](const QByteArray &query) {
            QByteArray reply = query;
            reply[2] = char(0x81);
            reply[3] = char(0x80);
            reply[7] = 3;
            return reply + QByteArray("\xc0\x0c\x00\x21\x00\x01\x00\x00\x00\x10\xff\xff\x01", 13);
        });
        Lookup lookup(garbage.server());
        lookup.resolver->startWithSRVName(QStringLiteral("_xmpp-client._tcp.example.test"), 5);
        ASSERT_TRUE(lookup.recorder.waitForReport());
        EXPECT_NE(lookup.recorder.error().code(), 0);
        EXPECT_TRUE(lookup.recorder.records().empty());
    }
    {
        // Too large for a datagram: the retry over TCP finds nobody.
        FakeDnsServer truncated([](const QByteArray &query) {
            QByteArray reply = query;
            reply[2] = char(0x83);
            return reply;
        });
        Lookup lookup(truncated.server());
        lookup.resolver->startWithSRVName(QStringLiteral("_xmpp-client._tcp.example.test"), 5);
        ASSERT_TRUE(lookup.recorder.waitForReport());
        EXPECT_NE(lookup.recorder.error().code(), 0);
    }
    {
        Lookup lookup(dns.server());
        lookup.resolver->startWithSRVName(QStringLiteral("_xmpp-client._tcp.exämple.test"), 5);
        ASSERT_TRUE(lookup.recorder.waitForReport());
        EXPECT_EQ(lookup.recorder.error().code(), -65540);
    }
}

TEST(XMPPSRVResolver, AStoppedOrReleasedLookupNeverReports)
{
    // Answers 150 ms late, so that every lookup below is cut off while its query is out.
    FakeDnsServer slow([](const QByteArray &query) {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        return srvAnswer(query);
    });
    {
        // The late answer itself is sound: a lookup left alone reports it.
        Lookup lookup(slow.server());
        lookup.resolver->startWithSRVName(QStringLiteral("_xmpp-client._tcp.example.test"), 5);
        ASSERT_TRUE(lookup.recorder.waitForReport());
        ASSERT_EQ(lookup.recorder.records().size(), 1U) << lookup.recorder.error().code();
        EXPECT_EQ(lookup.recorder.records().front().target(), QStringLiteral("late.example.test"));
        EXPECT_EQ(lookup.recorder.records().front().port(), 5222);
    }
    {
        Lookup lookup(slow.server());
        lookup.resolver->startWithSRVName(QStringLiteral("_xmpp-client._tcp.example.test"), 0.1);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        lookup.resolver->stop();
        // Neither the answer nor the time-out after it reaches the delegate.
        EXPECT_FALSE(lookup.recorder.waitForReport(400));
        // Stopped, the resolver starts again.
        lookup.resolver->startWithSRVName(QStringLiteral("_xmpp-client._tcp.example.test"), 5);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        lookup.resolver->stop();
        EXPECT_FALSE(lookup.recorder.waitForReport(400));
    }
    {
        // The owner lets go of the resolver mid-lookup: its sockets and timers go with it.
        Recorder recorder;
        const auto delegateQueue = platform::DispatchQueue::createSerial(QStringLiteral("srv delegate"));
        auto resolver = XMPPSRVResolver::initWithdDelegate(&recorder, delegateQueue);
        resolver->setDNSServers(slow.server());
        resolver->startWithSRVName(QStringLiteral("_xmpp-client._tcp.example.test"), 0.1);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        resolver.reset();
        EXPECT_FALSE(recorder.waitForReport(400));
    }
}

TEST(XMPPSRVResolver, ManyLookupsAtOnceEachReportOnceAndStopsRaceTheirAnswers)
{
    Dnsmasq dns(kWeightedRecords);
    std::vector<std::unique_ptr<Lookup>> lookups;
    for (int i = 0; i < 24; ++i) {
        lookups.push_back(std::make_unique<Lookup>(dns.server()));
        lookups.back()->resolver->startWithSRVName(QStringLiteral("_xmpp-client._tcp.example.test"), 5);
    }
    for (const auto &lookup : lookups) {
        ASSERT_TRUE(lookup->recorder.waitForReport());
        EXPECT_EQ(lookup->recorder.records().size(), 4U) << lookup->recorder.error().code();
    }
    // A stop racing the answer: whatever was reported by the time the delegate queue has drained
    // behind the stop is all there ever is, and at most one report.
    for (int i = 0; i < 40; ++i) {
        Lookup lookup(dns.server());
        lookup.resolver->startWithSRVName(QStringLiteral("_xmpp-client._tcp.example.test"), 5);
        std::this_thread::sleep_for(std::chrono::microseconds(25 * i));
        lookup.resolver->stop();
        lookup.delegateQueue->sync([] {});
        const int reports = lookup.recorder.reports();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        lookup.delegateQueue->sync([] {});
        EXPECT_LE(reports, 1);
        EXPECT_EQ(lookup.recorder.reports(), reports) << i;
    }
    for (const auto &lookup : lookups)
        EXPECT_EQ(lookup->recorder.reports(), 1);
}
