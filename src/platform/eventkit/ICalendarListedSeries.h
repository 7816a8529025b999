#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>

#include <memory>
#include <optional>

struct icalcomponent_impl;

namespace platform {

class EKEvent;

// What a listing reads of a file that holds series (and their moved occurrences): each UID's master
// event as the parse gives it (its rules and series revision included), its detached occurrences as
// a listing gives them, and the walk of its rules to a horizon. Kept with the file's description and
// in the folder's index in place of a listed event, so that listing an unchanged series file neither
// parses it nor walks its rules. The text is a mark, then the fields in base64; it names the system
// time zone it was read in, as floating and all-day times depend on it. A text is only made when
// reading it back gives every event field for field: a file it cannot tell whole is parsed.
namespace icallisted {

constexpr char kSeriesMark = '*';
// Series with longer texts (many moved occurrences, say) are parsed when listed.
constexpr qsizetype kMaxListedSeriesBytes = 24 * 1024;

struct ListedDetached
{
    // Its calendar is the listing's to set; its series' rules, occurrence and series start are set.
    std::shared_ptr<EKEvent> event;
    QDateTime recurrenceId;
    // Whether its series has the occurrence it stands in for (true without a series).
    bool isOccurrence = true;
};

struct ListedSeriesItem
{
    std::shared_ptr<EKEvent> master; // as a parse gives it, but its calendar; null without a master
    QList<ListedDetached> detached;
    QList<qint64> starts; // the walk of the master to the horizon, UTC milliseconds ascending
    qint64 lengthSeconds = 0;
};

struct ListedSeries
{
    qint64 horizon = 0; // UTC milliseconds: the walks hold every start before it
    QList<ListedSeriesItem> items; // in the order of the file's UIDs
};

inline bool isListedSeries(QByteArrayView listed)
{
    return listed.startsWith(kSeriesMark);
}

// The listed text of a calendar of events with at least one series, walked to the horizon; empty for
// any other calendar, or one it cannot tell whole within kMaxListedSeriesBytes.
QByteArray listedSeriesOf(icalcomponent_impl *calendar, const QDateTime &horizon);
// The horizon a description made now walks to: the start of a year, so that a file described again
// within the year gets the same text, far enough ahead for the widest listing.
QDateTime listedSeriesHorizon();
// The series the text tells, read in the system time zone of the field; nothing when the text is
// damaged, foreign, or was read in another zone.
std::optional<ListedSeries> readListedSeries(QByteArrayView listed, const QByteArray &zoneField);

} // namespace icallisted
} // namespace platform
