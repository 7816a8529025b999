#pragma once

// One DNS record query over c-ares, in the manner of a DNS service discovery record query: the
// owner watches one descriptor (fd()) and calls processResult() whenever it is readable; each answer
// record then comes to the callback as an "add" event, all but the last with "more coming", and a
// failed query as one event with its error code (the table in DNSServiceQuery.cpp). The servers are
// the system's unless set. One thread at a time.

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

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

    // Starts the query. servers: "host:port" entries separated by commas, or empty for the system's.
    static std::unique_ptr<DNSServiceQuery> start(const QByteArray &asciiName, std::uint16_t rrtype,
                                                  std::uint16_t rrclass, const QString &servers, Callback callback,
                                                  DNSServiceErrorType *error);
    ~DNSServiceQuery();
    DNSServiceQuery(const DNSServiceQuery &) = delete;
    DNSServiceQuery &operator=(const DNSServiceQuery &) = delete;

    // Readable when the query has work: a reply arrived or a retry is due.
    int fd() const;
    // Handles what is waiting; answers and failures reach the callback from here.
    DNSServiceErrorType processResult();

    // Splits a DNS reply into the answer records of the type and class asked (bounds checked);
    // false when the reply is malformed. Public for the parser's fuzz target.
    static bool answerRecords(const unsigned char *reply, std::size_t length, std::uint16_t rrtype,
                              std::uint16_t rrclass, std::vector<QByteArray> *records);
    // The error code for a c-ares status.
    static DNSServiceErrorType errorForAresStatus(int status);
    // No more callbacks (the owner is stopping; the query may be inside one now).
    void cancel();

    struct Private;

private:
    explicit DNSServiceQuery(std::unique_ptr<Private> d);
    std::unique_ptr<Private> d;
};

} // namespace platform::dnssd
