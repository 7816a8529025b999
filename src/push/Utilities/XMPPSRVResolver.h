#pragma once

// The SRV records of an XMPP service, found through DNS and handed over in the order they are to be
// tried (RFC 2782: by priority, then a weighted random choice within a priority).

#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/PlatformError.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace platform {
class DispatchTimer;
namespace dnssd {
class DNSServiceQuery;
}
} // namespace platform

inline constexpr char XMPPSRVResolverErrorDomain[] = "XMPPSRVResolverErrorDomain";

// One SRV answer.
class XMPPSRVRecord final
{
public:
    XMPPSRVRecord(std::uint16_t priority, std::uint16_t weight, std::uint16_t port, QString target);
    static XMPPSRVRecord recordWithPriority(std::uint16_t priority, std::uint16_t weight, std::uint16_t port,
                                            const QString &target);

    std::uint16_t priority() const { return m_priority; }
    std::uint16_t weight() const { return m_weight; }
    std::uint16_t port() const { return m_port; }
    QString target() const { return m_target; }
    std::uint64_t sum() const { return m_sum; }
    void setSum(std::uint64_t sum) { m_sum = sum; }
    std::uint64_t srvResultsIndex() const { return m_srvResultsIndex; }
    void setSrvResultsIndex(std::uint64_t index) { m_srvResultsIndex = index; }
    // -1, 0 or 1 as this record's priority is lower than, equal to or higher than the other's.
    int compareByPriority(const XMPPSRVRecord &other) const;
    QString description() const;

private:
    std::uint16_t m_priority;
    std::uint16_t m_weight;
    std::uint16_t m_port;
    QString m_target;
    std::uint64_t m_sum = 0;
    std::uint64_t m_srvResultsIndex = 0;
};

class XMPPSRVResolver;

// What a resolver tells its owner, on the delegate queue. The defaults log that the delegate does
// not implement the operation.
class XMPPSRVResolverDelegate
{
public:
    virtual ~XMPPSRVResolverDelegate();
    virtual void srvResolverDidResolveRecords(XMPPSRVResolver *sender, const std::vector<XMPPSRVRecord> &records);
    virtual void srvResolverDidNotResolveDueToError(XMPPSRVResolver *sender, const platform::PlatformError &error);
};

class XMPPSRVResolver final : public std::enable_shared_from_this<XMPPSRVResolver>
{
    struct PrivateTag
    {
        explicit PrivateTag() = default;
    };

public:
    // The delegate is not owned and must outlive the lookup's report; both it and dq are required.
    // The resolver runs on rq, or on a serial queue of its own.
    static std::shared_ptr<XMPPSRVResolver> initWithdDelegate(XMPPSRVResolverDelegate *aDelegate,
                                                              std::shared_ptr<platform::DispatchQueue> dq,
                                                              std::shared_ptr<platform::DispatchQueue> rq = {});
    XMPPSRVResolver(PrivateTag, XMPPSRVResolverDelegate *aDelegate, std::shared_ptr<platform::DispatchQueue> dq,
                    std::shared_ptr<platform::DispatchQueue> rq);
    ~XMPPSRVResolver();
    XMPPSRVResolver(const XMPPSRVResolver &) = delete;
    XMPPSRVResolver &operator=(const XMPPSRVResolver &) = delete;

    // "_xmpp-client._tcp." and the domain; null for a null domain.
    static QString srvNameFromXMPPDomain(const QString &xmppDomain);

    void startWithSRVName(const QString &aSRVName, double aTimeout);
    void stop();
    QString srvName() const;
    double timeout() const;

    // Ours: the DNS servers asked ("host:port" entries separated by commas; empty: the system's),
    // and the random source of the weighted choice. Set before a start.
    void setDNSServers(const QString &servers);
    void setRandomSource(std::function<std::uint32_t()> random);

    // The RFC 2782 order of the records.
    static void sortResults(std::vector<XMPPSRVRecord> &results, const std::function<std::uint32_t()> &random);
    // One SRV record's data decoded; false when it does not parse.
    static bool decodeRecordData(const QByteArray &rdata, XMPPSRVRecord *record);

private:
    void startNow(const QString &aSRVName, double aTimeout);
    void startTimeoutTimer();
    void processRecord(const QByteArray &rdata);
    void onAnswer(std::uint32_t flags, std::int32_t errorCode, std::uint16_t rrtype, const QByteArray &rdata);
    void succeed();
    void failWithError(const platform::PlatformError &error);
    // Stops the query, then hands the report of its end to the delegate queue.
    void stopAndReport(std::function<void(XMPPSRVResolverDelegate &, XMPPSRVResolver *)> report);
    void failWithDNSError(std::int32_t dnsError);
    void stopNow();
    void runSync(const std::function<void()> &block) const;

    XMPPSRVResolverDelegate *m_delegate;
    std::shared_ptr<platform::DispatchQueue> m_delegateQueue;
    std::shared_ptr<platform::DispatchQueue> m_resolverQueue;
    QString m_srvName;
    double m_timeout = 0;
    bool m_resolveInProgress = false;
    std::vector<XMPPSRVRecord> m_results;
    // The query watches its own sockets on the resolver queue; it goes (and stops) with stop.
    std::unique_ptr<platform::dnssd::DNSServiceQuery> m_query;
    std::shared_ptr<platform::DispatchTimer> m_timer;
    QString m_dnsServers;
    std::function<std::uint32_t()> m_random;
};
