#pragma once

#include "platform/eventkit/EKEvent.h"
#include "platform/foundation/KeyedArchiver.h"

#include <QByteArray>

// A copy of some of an event's fields (title, start, end, notes, alarms) that can write and read
// itself with keyed coding, and whose checksum input tells whether the event changed between runs.
// A plain object of the sync queue that made it.
class HMKVCodingEKEvent final : public platform::EKEvent, public platform::KeyedArchivable
{
public:
    HMKVCodingEKEvent() = default;

    // The bytes the change checksum is taken over: the list [startDate, endDate, title, notes],
    // ended at its first missing value, in a fixed serialisation of our own: "HMEV", the entry count
    // (4 bytes, big-endian), then per entry a type byte ('D' a date as 8 bytes of milliseconds since
    // 1970, 'S' a text as its 4-byte UTF-8 length and the UTF-8 bytes). Equal lists give equal bytes
    // in every run; alarms take no part.
    QByteArray checksumArchive() const { return checksumArchiveOf(*this); }
    // The same bytes of any event's four fields, with no copy of it made.
    static QByteArray checksumArchiveOf(const platform::EKEvent &event);
    // The CRC-32 of those bytes, taken as they are made: no archive is built.
    static quint32 checksumCrcOf(const platform::EKEvent &event);

    QString archiveClassName() const override { return QStringLiteral("HMKVCodingEKEvent"); }
    // Encodes "title", "startDate", "endDate", "notes" and "alarms" in this order.
    void encodeWithCoder(platform::KeyedArchiver &coder) const override;
    // Decodes "startDate", "endDate", "title", "notes" and "alarms"; missing keys leave their field.
    void initWithCoder(platform::KeyedUnarchiver &coder) override;
};
