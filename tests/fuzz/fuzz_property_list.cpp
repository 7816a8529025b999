// Parses arbitrary bytes as a property list (XML or binary, as the defaults and trace files are
// read). Whatever parses must write back out and parse again to the same value.
#include "platform/foundation/PropertyList.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const platform::Result<QVariant> value = platform::parsePropertyList(bytes);
    if (!value)
        return 0;
    const platform::Result<QByteArray> written =
        platform::serializePropertyList(*value, platform::PropertyListFormat::Binary);
    if (!written)
        return 0;
    if (!platform::parsePropertyList(*written))
        std::abort();
    return 0;
}
