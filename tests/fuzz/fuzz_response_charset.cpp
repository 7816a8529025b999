// Decodes a reply body in the charset its content type names. The input's first line is the
// Content-Type header's value, the rest the body. Any header and body must decode without a crash.
#include "platform/restkit/RKResponse.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), qsizetype(size));
    const qsizetype lineEnd = input.indexOf('\n');
    const QByteArray contentType = lineEnd < 0 ? input : input.left(lineEnd);
    const QByteArray body = lineEnd < 0 ? QByteArray() : input.mid(lineEnd + 1);
    const platform::RKResponse response(200, {{QByteArrayLiteral("Content-Type"), contentType}}, body);
    static_cast<void>(response.bodyAsString());
    static_cast<void>(response.MIMEType());
    return 0;
}
