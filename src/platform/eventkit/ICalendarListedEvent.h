#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <memory>
#include <optional>

struct icalcomponent_impl;

namespace platform {

class EKEvent;

// What a listing reads of a file that holds one single event (no series, no removed or moved
// occurrences): the event's texts, dates, zone and alarms, kept with the file's description and in
// the folder's index, so that listing an unchanged file needs no parse. The text is percent-encoded
// fields joined by commas; it names the system time zone it was read in, since floating and all-day
// times depend on it.
namespace icallisted {

// Events with longer texts are parsed when listed: the descriptions stay small.
constexpr qsizetype kMaxListedBytes = 2048;

// The system time zone's name as a listed text holds it: a caller reading many texts at once asks
// for it once.
QByteArray systemZoneField();
// The listed text of a calendar holding one single event; empty for any other calendar, or one whose
// texts are too long to keep.
QByteArray listedEventOf(icalcomponent_impl *calendar);
// A text of a listed event as UTF-8; nothing for a text the event does not have.
using ListedText = std::optional<QByteArray>;

// The event the text describes, as reading the file gives it before it is placed in a calendar and
// window; null when the text is damaged or was read in another system time zone.
std::shared_ptr<EKEvent> eventFromListed(QByteArrayView listed, const QByteArray &zoneField = systemZoneField());

// What telling whether a listed event changed since a sync needs of it, read without making the
// event: its start and end in milliseconds since 1970, the date of its last change (invalid when it
// has none), its title and notes. The texts lie within the listed text they were read from, or in the
// scratch buffer they were decoded into: a look is used while both are held, the buffer unchanged.
struct ListedLook
{
    qint64 start = 0;
    qint64 end = 0;
    QDateTime lastModified;
    ListedText title;
    ListedText notes;
};

// Where a field lies within a listed text (which is never longer than kMaxListedBytes).
struct ListedField
{
    quint16 at = 0;
    quint16 size = 0;
};

// What a listing reads of a listed text once, when it places the event: its start and end in
// milliseconds since 1970 (a listing orders its events by them), and, when the whole text is one of
// ours for the event's identifier, what its look is later made of without reading the text again
// (hasLook): the date of its last change and where its title's and notes' fields lie.
struct ListedReading
{
    qint64 start = 0;
    qint64 end = 0;
    qint64 lastModified = 0;
    ListedField title;
    ListedField notes;
    bool hasLastModified = false;
    bool hasLook = false;
    // Of a series' first occurrence placed from its walk (start and end): its text is a series'.
    bool isSeries = false;
};

// The reading of a listed text for the event with the identifier; nothing when the text gives no
// start and end read in this system time zone. A text eventFromListed takes, giving the event the
// identifier and texts that are UTF-8, has a look; any other has none (its event is made).
std::optional<ListedReading> readListed(QByteArrayView listed, QStringView identifier,
                                        const QByteArray &zoneField = systemZoneField());
// The same for an identifier given as its UTF-8.
std::optional<ListedReading> readListedUtf8(QByteArrayView listed, QByteArrayView identifier,
                                            const QByteArray &zoneField = systemZoneField());
// The look of the event a reading of the listed text found one for; its texts decoded into scratch
// where they hold escapes. Nothing when the reading has no look, or the texts are not UTF-8.
std::optional<ListedLook> lookOf(QByteArrayView listed, const ListedReading &reading, QByteArray &scratch);

} // namespace icallisted
} // namespace platform
