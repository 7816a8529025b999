#include "app/zip/ZZDataConsumer.h"

#include "app/zip/ZZOutputStream.h"

std::size_t ZZDataConsumer::putBytes(const void *buffer, std::size_t count)
{
    const auto *bytes = static_cast<const uchar *>(buffer);
    std::size_t taken = 0;
    // Every pass takes at least one byte or stops, so the loop ends.
    while (taken < count) {
        const qint64 written = m_stream.write(bytes + taken, static_cast<qint64>(count - taken));
        if (written <= 0)
            break;
        taken += static_cast<std::size_t>(written);
    }
    return taken;
}
