// Feeds arbitrary bytes to the CRC-32 the stored files are checked with: taken whole, in two pieces
// cut where the first byte says, and after an earlier CRC taken from the last four bytes, it must
// give zlib's bits every time (the folded path for long inputs and the tables for the rest).
#include "platform/foundation/Crc32.h"

#include <QByteArrayView>

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

quint32 zlibCrc32(quint32 crc, QByteArrayView bytes)
{
    return quint32(::crc32(crc, reinterpret_cast<const Bytef *>(bytes.data()), uInt(bytes.size())));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArrayView bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const quint32 whole = zlibCrc32(0, bytes);
    if (platform::crc32Continued(0, bytes) != whole)
        std::abort();
    const qsizetype cut = bytes.isEmpty() ? 0 : qsizetype(data[0]) * bytes.size() / 256;
    if (platform::crc32Continued(platform::crc32Continued(0, bytes.first(cut)), bytes.sliced(cut)) != whole)
        std::abort();
    quint32 earlier = 0;
    if (size >= 4)
        std::memcpy(&earlier, data + size - 4, sizeof earlier);
    if (platform::crc32Continued(earlier, bytes) != zlibCrc32(earlier, bytes))
        std::abort();
    return 0;
}
