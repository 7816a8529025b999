#pragma once

#include <QString>
#include <QVariantMap>

// The change checksum of a record the CalendarStore road builds for the device: the CRC-32 of its
// fields, as unsigned decimal text. The listing sends an item whose modification date is past the
// last sync only when this differs from the checksum stored in its identifier dictionary, which is
// the one of the record last sent or last applied from the device: an item the device itself wrote
// is then not sent back, however the seconds of its save and of the last sync fall.
// The local zone's name and offsets are left out: they say where the Mac is, not what the item is.
QString calendarStoreChecksumOfRecord(const QVariantMap &record);
