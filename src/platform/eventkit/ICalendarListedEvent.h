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

struct ListedTimes
{
    QDateTime start;
    QDateTime end;
};
// The start and end the text gives its event, read without making the event (a listing orders
// its events by them); nothing when the text cannot be one of ours read in this system time zone.
// The rest of the text is checked when the event is made.
std::optional<ListedTimes> listedTimesOf(QByteArrayView listed, const QByteArray &zoneField = systemZoneField());

// What telling whether a listed event changed since a sync needs of it, read without making the
// event: its start and end in milliseconds since 1970, the date of its last change (invalid when it
// has none), its title and notes. The texts may lie within the listed text they were read from: a
// look is used while that text is held (the sequence that gave it lives).
struct ListedLook
{
    qint64 start = 0;
    qint64 end = 0;
    QDateTime lastModified;
    ListedText title;
    ListedText notes;
};
// The look of the event eventFromListed gives when it has the identifier; nothing when it gives
// none, another, or one whose texts are not UTF-8 that reads back as it stands (that event is made).
std::optional<ListedLook> listedLookOf(QByteArrayView listed, QStringView identifier,
                                       const QByteArray &zoneField = systemZoneField());
// The same for an identifier given as its UTF-8.
std::optional<ListedLook> listedLookOfUtf8(QByteArrayView listed, QByteArrayView identifier,
                                           const QByteArray &zoneField = systemZoneField());

} // namespace icallisted
} // namespace platform
