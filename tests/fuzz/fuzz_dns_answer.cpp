// Reads arbitrary bytes as a DNS reply: the answer records split out must lie inside the reply, and
// each SRV record data, decoded, gives a target of plain text or no record.
#include "platform/dnssd/DNSServiceQuery.h"
#include "push/Utilities/XMPPSRVResolver.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<QByteArray> records;
    if (platform::dnssd::DNSServiceQuery::answerRecords(data, size, 33, 1, &records)) {
        for (const QByteArray &rdata : records) {
            if (std::size_t(rdata.size()) > size)
                std::abort();
            XMPPSRVRecord record(0, 0, 0, QString());
            if (XMPPSRVResolver::decodeRecordData(rdata, &record)) {
                for (const QChar c : record.target()) {
                    if (c.unicode() >= 0x80)
                        std::abort();
                }
            }
        }
    }
    // The bytes as one record's data too.
    XMPPSRVRecord record(0, 0, 0, QString());
    XMPPSRVResolver::decodeRecordData(QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)), &record);
    return 0;
}
