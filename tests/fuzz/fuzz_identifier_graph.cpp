// Reads arbitrary bytes as an identifier-graph file and looks an identifier up in what it yields. It
// must end in a graph or a clean error.
#include "foundation/Lumberjack/DDLog.h"
#include "platform/foundation/KeyedUnarchiver.h"
#include "sync/HMIdentifierGraph.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    ddLogLevel.store(LOG_LEVEL_OFF);
    const QByteArray stored(reinterpret_cast<const char *>(data), qsizetype(size));
    const auto graph =
        platform::KeyedUnarchiver::unarchiveObject<HMIdentifierGraph>(stored, QStringLiteral("HMIdentifierGraph"));
    if (graph && *graph) {
        static_cast<void>((*graph)->nativeIdForHarrowmereUid(QStringLiteral("r1")));
        static_cast<void>((*graph)->dictionaryForNativeId(QStringLiteral("r1-mac")));
    }
    return 0;
}
