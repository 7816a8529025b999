// Reads arbitrary bytes as an identifier-graph file and looks an identifier up in what it yields. It
// must end in a graph or a clean error, and the graph file reader, which packs entries straight from
// the file, must give exactly what the unarchiver gives whenever it reads a file itself.
#include "foundation/Lumberjack/DDLog.h"
#include "platform/foundation/KeyedUnarchiver.h"
#include "sync/HMIdentifierGraph.h"
#include "sync/HMIdentifierGraphArchive.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    ddLogLevel.store(LOG_LEVEL_OFF);
    const QByteArray stored(reinterpret_cast<const char *>(data), qsizetype(size));
    const QString rootKey = QStringLiteral("HMIdentifierGraph");
    const auto graph = platform::KeyedUnarchiver::unarchiveObject<HMIdentifierGraph>(stored, rootKey);
    if (graph && *graph) {
        static_cast<void>((*graph)->nativeIdForHarrowmereUid(QStringLiteral("r1")));
        static_cast<void>((*graph)->dictionaryForNativeId(QStringLiteral("r1-mac")));
    }
    const auto streamed = HMIdentifierGraphArchive::streamedGraph(stored, rootKey);
    if (streamed && (!graph || (*graph)->entries() != (*streamed)->entries() ||
                     (*graph)->lastSyncDate() != (*streamed)->lastSyncDate())) {
        std::abort();
    }
    return 0;
}
