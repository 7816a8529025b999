#pragma once

#include <QByteArrayView>
#include <QtGlobal>

namespace platform {

// The CRC-32 that zlib's crc32() gives (the reflected polynomial 0xEDB88320), continued from an
// earlier one (0 to start), with the same bits: stored files keep it. Where the processor multiplies
// without carries, 64 bytes at a time are folded in; the rest is taken eight bytes a step from tables,
// which short inputs (a few dozen bytes) need most. Pure, any thread.
quint32 crc32Continued(quint32 crc, QByteArrayView bytes);

} // namespace platform
