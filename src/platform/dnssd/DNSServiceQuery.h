#pragma once

// One DNS record query over c-ares, in the manner of a DNS service discovery record query. The
// query watches c-ares' own sockets with read (and, for a TCP connection, write) sources on the
// owner's queue and rides c-ares' retry deadline with one monitor timer; each answer record then
// comes to the callback on that queue as an "add" event, all but the last with "more coming", and
// a failed query as one event with its error code (the table in DNSServiceQuery.cpp). The servers
// are the system's unless set. Start it on its queue. Cancelled (or destroyed) on the queue, it
// makes no callback afterwards; from another thread, one already under way on the queue may still
// run to its end, and none starts after that.

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace platform {
class DispatchQueue;
}

namespace platform::dnssd {

using DNSServiceErrorType = std::int32_t;
using DNSServiceFlags = std::uint32_t;

enum : DNSServiceErrorType {
    kDNSServiceErr_NoError = 0,
    kDNSServiceErr_Unknown = -65537,
    kDNSServiceErr_NoSuchName = -65538,
    kDNSServiceErr_NoMemory = -65539,
    kDNSServiceErr_BadParam = -65540,
    kDNSServiceErr_BadState = -65542,
    kDNSServiceErr_Refused = -65553,
    kDNSServiceErr_NoSuchRecord = -65554,
    kDNSServiceErr_ServiceNotRunning = -65563,
    kDNSServiceErr_Timeout = -65568,
};

enum : DNSServiceFlags {
    kDNSServiceFlagsMoreComing = 0x1,
    kDNSServiceFlagsAdd = 0x2,
    kDNSServiceFlagsReturnIntermediates = 0x1000,
};

// The largest DNS answer read.
inline constexpr std::size_t kMaxAnswerBytes = 64 * 1024;

class DNSServiceQuery final
{
public:
    // flags, error code, record type, record class, record data (empty on an error).
    using Callback = std::function<void(DNSServiceFlags, DNSServiceErrorType, std::uint16_t, std::uint16_t,
                                        const QByteArray &)>;

    // Starts the query; the callback runs on queue, never inside start(). servers: "host:port"
    // entries separated by commas, or empty for the system's. A query that cannot start answers
    // null and its code in error.
    static std::unique_ptr<DNSServiceQuery> start(const QByteArray &asciiName, std::uint16_t rrtype,
                                                  std::uint16_t rrclass, const QString &servers,
                                                  std::shared_ptr<DispatchQueue> queue, Callback callback,
                                                  DNSServiceErrorType *error);
    // Cancels the query. Called from inside its own callback, the channel goes once c-ares has
    // returned from the answer it is handing over.
    ~DNSServiceQuery();
    DNSServiceQuery(const DNSServiceQuery &) = delete;
    DNSServiceQuery &operator=(const DNSServiceQuery &) = delete;

    // Splits a DNS reply into the answer records of the type and class asked (bounds checked);
    // false when the reply is malformed. Public for the parser's fuzz target.
    static bool answerRecords(const unsigned char *reply, std::size_t length, std::uint16_t rrtype,
                              std::uint16_t rrclass, std::vector<QByteArray> *records);
    // The error code for a c-ares status.
    static DNSServiceErrorType errorForAresStatus(int status);
    // No more callbacks, and the query's sources and timer stop at once.
    void cancel();

    struct Private;

private:
    explicit DNSServiceQuery(std::shared_ptr<Private> d);
    std::shared_ptr<Private> d;
};

} // namespace platform::dnssd
