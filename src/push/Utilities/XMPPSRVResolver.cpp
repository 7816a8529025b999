// SRV lookups: the query on the resolver queue, its answers decoded into records, their RFC 2782
// order, and one report to the delegate.
#include "push/Utilities/XMPPSRVResolver.h"

#include "foundation/Lumberjack/DDLog.h"
#include "platform/dispatch/DispatchTimer.h"
#include "platform/dnssd/DNSServiceQuery.h"
#include "platform/foundation/Assert.h"
#include "push/Utilities/QueueHops.h"

#include <QFileInfo>
#include <QRandomGenerator>

#include <ares.h>

#include <algorithm>

using platform::PlatformError;
using namespace platform::dnssd;

namespace {

constexpr std::uint16_t kTypeSRV = 33;
constexpr std::uint16_t kClassIN = 1;

QString thisFile()
{
    return QFileInfo(QStringLiteral(__FILE__)).completeBaseName();
}

} // namespace

// ---- XMPPSRVRecord ----

XMPPSRVRecord::XMPPSRVRecord(std::uint16_t priority, std::uint16_t weight, std::uint16_t port, QString target)
    : m_priority(priority), m_weight(weight), m_port(port), m_target(std::move(target))
{
}

XMPPSRVRecord XMPPSRVRecord::recordWithPriority(std::uint16_t priority, std::uint16_t weight, std::uint16_t port,
                                                const QString &target)
{
    return XMPPSRVRecord(priority, weight, port, target);
}

int XMPPSRVRecord::compareByPriority(const XMPPSRVRecord &other) const
{
    return m_priority < other.m_priority ? -1 : (m_priority > other.m_priority ? 1 : 0);
}

QString XMPPSRVRecord::description() const
{
    return QStringLiteral("<XMPPSRVRecord:0x%1 target(%2) port(%3) priority(%4) weight(%5)>")
        .arg(quintptr(this), 0, 16)
        .arg(m_target)
        .arg(m_port)
        .arg(m_priority)
        .arg(m_weight);
}

// ---- The delegate's defaults ----

XMPPSRVResolverDelegate::~XMPPSRVResolverDelegate() = default;

void XMPPSRVResolverDelegate::srvResolverDidResolveRecords(XMPPSRVResolver *, const std::vector<XMPPSRVRecord> &)
{
    DDLogWarn(QStringLiteral("%1: delegate doesn't implement %2").arg(thisFile(), QStringLiteral("srvResolver:didResolveRecords:")));
}

void XMPPSRVResolverDelegate::srvResolverDidNotResolveDueToError(XMPPSRVResolver *, const PlatformError &)
{
    DDLogWarn(QStringLiteral("%1: delegate doesn't implement %2")
                  .arg(thisFile(), QStringLiteral("srvResolver:didNotResolveDueToError:")));
}

// ---- XMPPSRVResolver ----

std::shared_ptr<XMPPSRVResolver> XMPPSRVResolver::initWithdDelegate(XMPPSRVResolverDelegate *aDelegate,
                                                                    std::shared_ptr<platform::DispatchQueue> dq,
                                                                    std::shared_ptr<platform::DispatchQueue> rq)
{
    return std::make_shared<XMPPSRVResolver>(PrivateTag(), aDelegate, std::move(dq), std::move(rq));
}

XMPPSRVResolver::XMPPSRVResolver(PrivateTag, XMPPSRVResolverDelegate *aDelegate,
                                 std::shared_ptr<platform::DispatchQueue> dq,
                                 std::shared_ptr<platform::DispatchQueue> rq)
    : m_delegate(aDelegate), m_delegateQueue(std::move(dq)), m_resolverQueue(std::move(rq)),
      m_random([] { return QRandomGenerator::system()->generate(); })
{
    HM_ASSERT(aDelegate != nullptr, QStringLiteral("Invalid parameter not satisfying: aDelegate != nil"));
    HM_ASSERT(m_delegateQueue != nullptr, QStringLiteral("Invalid parameter not satisfying: dq != NULL"));
    if (!m_resolverQueue)
        m_resolverQueue = platform::DispatchQueue::createSerial(QStringLiteral("XMPPSRVResolver"));
    m_results.reserve(2);
}

XMPPSRVResolver::~XMPPSRVResolver()
{
    // Nothing else holds the timer now; the query cancels its sources as it goes.
    m_query.reset();
    if (m_timer)
        m_timer->cancel();
}

QString XMPPSRVResolver::srvNameFromXMPPDomain(const QString &xmppDomain)
{
    if (xmppDomain.isNull())
        return QString();
    return QStringLiteral("_xmpp-client._tcp.%1").arg(xmppDomain);
}

void XMPPSRVResolver::runSync(const std::function<void()> &block) const
{
    queuehops::runSync(*m_resolverQueue, block);
}

void XMPPSRVResolver::setDNSServers(const QString &servers)
{
    runSync([&] { m_dnsServers = servers; });
}

void XMPPSRVResolver::setRandomSource(std::function<std::uint32_t()> random)
{
    runSync([&] { m_random = std::move(random); });
}

QString XMPPSRVResolver::srvName() const
{
    return queuehops::resultOn(*m_resolverQueue, [this] { return m_srvName; });
}

double XMPPSRVResolver::timeout() const
{
    return queuehops::resultOn(*m_resolverQueue, [this] { return m_timeout; });
}

void XMPPSRVResolver::startWithSRVName(const QString &aSRVName, double aTimeout)
{
    if (m_resolverQueue->isCurrent()) {
        startNow(aSRVName, aTimeout);
        return;
    }
    m_resolverQueue->async([self = shared_from_this(), aSRVName, aTimeout] { self->startNow(aSRVName, aTimeout); });
}

void XMPPSRVResolver::startNow(const QString &aSRVName, double aTimeout)
{
    if (m_resolveInProgress)
        return;
    m_srvName = aSRVName;
    m_timeout = aTimeout;
    bool isAscii = true;
    for (const QChar c : aSRVName)
        isAscii = isAscii && c.unicode() < 0x80;
    if (!isAscii) {
        failWithDNSError(kDNSServiceErr_BadParam);
        return;
    }
    const std::weak_ptr<XMPPSRVResolver> weak = weak_from_this();
    DNSServiceErrorType error = kDNSServiceErr_NoError;
    m_query = DNSServiceQuery::start(
        aSRVName.toLatin1(), kTypeSRV, kClassIN, m_dnsServers, m_resolverQueue,
        [weak](DNSServiceFlags flags, DNSServiceErrorType code, std::uint16_t rrtype, std::uint16_t,
               const QByteArray &rdata) {
            if (const auto self = weak.lock())
                self->onAnswer(flags, code, rrtype, rdata);
        },
        &error);
    if (!m_query) {
        failWithDNSError(error);
        return;
    }
    if (m_timeout > 0.0)
        startTimeoutTimer();
    m_resolveInProgress = true;
}

// A one-shot timer on the resolver queue that ends the lookup with code 0 when it fires.
void XMPPSRVResolver::startTimeoutTimer()
{
    m_timer = platform::DispatchTimer::create(m_resolverQueue);
    m_timer->setEventHandler([weak = weak_from_this()] {
        if (const auto self = weak.lock())
            self->failWithError(PlatformError::withDescription(QString::fromLatin1(XMPPSRVResolverErrorDomain), 0,
                                                               QStringLiteral("Operation timed out")));
    });
    m_timer->schedule(platform::durationFromSeconds(m_timeout), platform::DispatchDuration::zero());
    m_timer->resume();
}

void XMPPSRVResolver::onAnswer(std::uint32_t flags, std::int32_t errorCode, std::uint16_t rrtype,
                               const QByteArray &rdata)
{
    HM_ASSERT(m_resolverQueue->isCurrent(), QStringLiteral("Invoked on incorrect queue"));
    if ((flags & kDNSServiceFlagsAdd) == 0)
        return;
    if (errorCode != kDNSServiceErr_NoError || rrtype != kTypeSRV) {
        failWithDNSError(errorCode);
        return;
    }
    processRecord(rdata);
    if ((flags & kDNSServiceFlagsMoreComing) == 0)
        succeed();
}

void XMPPSRVResolver::processRecord(const QByteArray &rdata)
{
    if (rdata.isNull()) {
        DDLogWarn(QStringLiteral("%1: %2 - rdata == NULL").arg(thisFile(), QString::fromLatin1(__func__)));
        return;
    }
    XMPPSRVRecord record(0, 0, 0, QString());
    if (decodeRecordData(rdata, &record))
        m_results.push_back(std::move(record));
}

bool XMPPSRVResolver::decodeRecordData(const QByteArray &rdata, XMPPSRVRecord *record)
{
    if (rdata.size() > 0xFFFF)
        return false;
    // A reply of one question and one answer around the data: empty names, type 33, class 1, TTL 666.
    QByteArray message("\x00\x00\x84\x00\x00\x01\x00\x01\x00\x00\x00\x00", 12);
    message.append("\x00\x00\x21\x00\x01", 5);
    message.append("\x00\x00\x21\x00\x01\x00\x00\x02\x9a", 9);
    message.append(char(rdata.size() >> 8)).append(char(rdata.size() & 0xFF)).append(rdata);
    ares_srv_reply *reply = nullptr;
    const int status = ares_parse_srv_reply(reinterpret_cast<const unsigned char *>(message.constData()),
                                            int(message.size()), &reply);
    if (status != ARES_SUCCESS || reply == nullptr) {
        if (reply != nullptr)
            ares_free_data(reply);
        return false;
    }
    const QByteArray host(reply->host);
    const bool isText = std::all_of(host.begin(), host.end(), [](char c) { return (unsigned char)c < 0x80; });
    if (isText)
        *record = XMPPSRVRecord(reply->priority, reply->weight, reply->port, QString::fromLatin1(host));
    ares_free_data(reply);
    return isText;
}

void XMPPSRVResolver::sortResults(std::vector<XMPPSRVRecord> &results, const std::function<std::uint32_t()> &random)
{
    std::stable_sort(results.begin(), results.end(),
                     [](const XMPPSRVRecord &a, const XMPPSRVRecord &b) { return a.compareByPriority(b) < 0; });
    std::vector<XMPPSRVRecord> ordered;
    ordered.reserve(results.size());
    while (!results.empty()) {
        if (results.size() == 1) {
            ordered.push_back(results.front());
            results.clear();
            break;
        }
        // The run of the first priority: weight-0 records in front (sum 0), the others with running sums.
        std::vector<XMPPSRVRecord *> group;
        std::uint64_t total = 0;
        for (std::size_t i = 0; i < results.size() && results[i].priority() == results.front().priority(); ++i) {
            XMPPSRVRecord &record = results[i];
            record.setSrvResultsIndex(i);
            if (record.weight() == 0) {
                record.setSum(0);
                group.insert(group.begin(), &record);
            } else {
                total += record.weight();
                record.setSum(total);
                group.push_back(&record);
            }
        }
        const std::uint64_t r = std::uint64_t(random()) % (total + 1);
        const auto chosen = std::find_if(group.begin(), group.end(), [r](const XMPPSRVRecord *x) { return x->sum() >= r; });
        const std::size_t index = std::size_t((*chosen)->srvResultsIndex());
        ordered.push_back(results[index]);
        results.erase(results.begin() + std::ptrdiff_t(index));
    }
    results = std::move(ordered);
}

void XMPPSRVResolver::succeed()
{
    sortResults(m_results, m_random);
    stopAndReport([records = m_results](XMPPSRVResolverDelegate &delegate, XMPPSRVResolver *sender) {
        delegate.srvResolverDidResolveRecords(sender, records);
    });
}

void XMPPSRVResolver::failWithError(const PlatformError &error)
{
    stopAndReport([error](XMPPSRVResolverDelegate &delegate, XMPPSRVResolver *sender) {
        delegate.srvResolverDidNotResolveDueToError(sender, error);
    });
}

// The query is stopped before the delegate hears of its end: the report then reaches the delegate
// queue as this block's last step, so that a thread taking over from this one is not held up by the
// clean-up.
void XMPPSRVResolver::stopAndReport(std::function<void(XMPPSRVResolverDelegate &, XMPPSRVResolver *)> report)
{
    XMPPSRVResolverDelegate *const delegate = m_delegate;
    const std::shared_ptr<platform::DispatchQueue> delegateQueue = m_delegateQueue;
    stopNow();
    if (delegateQueue)
        delegateQueue->async(
            [self = shared_from_this(), delegate, report = std::move(report)] { report(*delegate, self.get()); });
}

void XMPPSRVResolver::failWithDNSError(std::int32_t dnsError)
{
    failWithError(PlatformError(QString::fromLatin1(XMPPSRVResolverErrorDomain), dnsError));
}

void XMPPSRVResolver::stop()
{
    runSync([this] { stopNow(); });
}

void XMPPSRVResolver::stopNow()
{
    m_delegate = nullptr;
    m_delegateQueue.reset();
    m_results.clear();
    // Cancels the query's sources; inside the query's own callback its channel lives on until
    // c-ares returns.
    m_query.reset();
    if (m_timer) {
        m_timer->cancel();
        m_timer.reset();
    }
    m_resolveInProgress = false;
}
