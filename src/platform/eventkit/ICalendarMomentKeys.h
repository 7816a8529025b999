#pragma once

#include <QByteArray>
#include <QList>
#include <QStringList>

#include <limits>

namespace platform {

struct ICalendarFile;

// Keys of a file's events by title and by when they start, for the test of whether an event of a
// title starts and ends at given moments: a file holding one single event is keyed by its title and
// start, one with series by its titles and the times of day (UTC) at which its occurrences start with
// their lengths, up to the horizon of its listed walks. A file its listed text does not tell (none kept, damaged, read in another zone)
// is keyed by its titles alone and is a candidate at every moment. Two keys may be equal for
// different texts: a file found is still checked, and parsed, by the caller.
namespace icalmoments {

struct FileKeys
{
    QList<quint32> keys; // sorted, each once
    // UTC milliseconds: the starts of series the keys were made from are known before it only.
    qint64 horizon = std::numeric_limits<qint64>::max();
};

// The keys of the described file, its listed text read in the time zone of the field: the same for
// the same description and field, so that the file is found, and dropped, under the keys it was put.
FileKeys keysOf(const ICalendarFile &file, const QByteArray &zoneField);
// The keys under which a file holding an event of the title from start to end (UTC milliseconds) is
// found.
QList<quint32> keysAt(const QString &title, qint64 start, qint64 end);

} // namespace icalmoments
} // namespace platform
