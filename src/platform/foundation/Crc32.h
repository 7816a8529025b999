#pragma once

#include <QByteArrayView>
#include <QtGlobal>

namespace platform {

// The CRC-32 that zlib's crc32() gives (the reflected polynomial 0xEDB88320), continued from an
// earlier one (0 to start), with the same bits: stored files keep it. Long inputs are folded with
// carry-less multiplications where the processor has them (else zlib's); short ones (a few dozen
// bytes) are taken eight bytes a step from tables, without the call. Pure, any thread.
quint32 crc32Continued(quint32 crc, QByteArrayView bytes);

} // namespace platform
