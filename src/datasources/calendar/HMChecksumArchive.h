#pragma once

#include <QByteArray>
#include <QVariantList>

// The bytes the change checksums of events and reminders are taken over, in one fixed serialisation
// of our own, so that equal lists give equal bytes in every run: the four-byte magic, the entry count
// (4 bytes, big-endian), then per entry a type byte ('D' a date as 8 bytes of milliseconds since 1970,
// 'S' a text as its 4-byte UTF-8 length and the UTF-8 bytes). Entries of other types are left out.
QByteArray checksumArchiveOfList(const QByteArray &magic, const QVariantList &entries);

// zlib's CRC-32 (initial value 0) of the bytes.
quint32 crc32OfBytes(const QByteArray &bytes);
