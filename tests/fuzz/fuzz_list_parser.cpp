// Feeds arbitrary bytes, read as UTF-8, to the list-reply parser: it must return without crashing or
// reading outside the text, and every row must have come from one line.
#include "foundation/Lumberjack/DDLog.h"
#include "foundation/NSString+stripHtml.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    ddLogLevel.store(LOG_LEVEL_OFF);
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const QList<QVariantMap> rows = dictionaryListFromDelimittedList(text);
    if (rows.size() > text.count(QLatin1Char('\n')) + 1)
        std::abort();
    return 0;
}
