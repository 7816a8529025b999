// Reads an application's reply to a script as the script runners do: the frame header (its length
// checked against the cap), then the reply payload (a descriptor tree or an error). A tree that reads
// must survive every reading made of it and encode back to the same tree.
#include "platform/applescript/AppleEventWire.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

using platform::NSAppleEventDescriptor;

void readEverything(const NSAppleEventDescriptor &descriptor, int depth)
{
    (void)descriptor.stringValue();
    (void)descriptor.dateValue();
    (void)descriptor.doubleValue();
    (void)descriptor.descriptorForKeyword(platform::Keyword::KeyData);
    if (depth > platform::AppleEventWire::kMaxDepth + 1)
        std::abort(); // the reader let a tree deeper than its cap through
    for (qint64 i = 1; i <= descriptor.numberOfItems(); ++i)
        readEverything(descriptor.descriptorAtIndex(i), depth + 1);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), qsizetype(size));
    if (input.size() < 4)
        return 0;
    const platform::Result<quint32> length = platform::AppleEventWire::payloadLength(input.left(4));
    if (!length)
        return 0;
    const QByteArray payload = input.mid(4, qsizetype(*length));
    const auto reply = platform::AppleEventWire::decodeReply(payload);
    if (!reply)
        return 0;
    if (const auto *descriptor = std::get_if<NSAppleEventDescriptor>(&*reply)) {
        readEverything(*descriptor, 0);
        // Duplicate keywords collapse and a nil's type is not kept, so the bytes may differ; the tree may not.
        const auto again = platform::AppleEventWire::decodeDescriptor(platform::AppleEventWire::encodeDescriptor(*descriptor));
        if (!again || !(*again == *descriptor))
            std::abort(); // what was read does not write back to the same tree
    }
    return 0;
}
