// Feeds arbitrary bytes, read as UTF-8, to the markup stripper: it must return without crashing, and
// what it gives back can only be text that stood in the input.
#include "foundation/NSString+stripHtml.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    if (stripHtml(text).size() > text.size())
        std::abort();
    return 0;
}
