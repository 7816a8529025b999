#pragma once

#include "platform/eventkit/EKRecurrenceRule.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

#include <functional>
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

// The walk of a master to the horizon (UTC milliseconds, ascending) as a listing keeps it: the first
// start, then runs of equal steps. The starts are read from the runs when asked for: a listing that
// wants a series' first occurrence from today reads the runs up to it, and no list of them is made.
class ListedStarts
{
public:
    ListedStarts() = default;
    explicit ListedStarts(const QList<qint64> &starts);
    // The runs as a text holds them; nothing when they do not make count starts within bounds.
    static std::optional<ListedStarts> fromRuns(qint32 count, qint64 first, const QByteArray &runs);

    qint32 size() const { return m_count; }
    qint64 first() const { return m_first; }
    const QByteArray &runs() const { return m_runs; }
    QList<qint64> all() const;
    // Calls visit with each start from the one given on, in order, for as long as it answers true.
    void visitFrom(qint64 from, const std::function<bool(qint64)> &visit) const;
    bool contains(qint64 start) const;
    // The runs are made alike from alike starts: equal runs are equal walks.
    bool operator==(const ListedStarts &) const = default;

private:
    qint32 m_count = 0;
    qint64 m_first = 0;
    QByteArray m_runs; // (step, count) pairs as unsigned LEB128 varints
};

struct ListedSeriesItem
{
    std::shared_ptr<EKEvent> master; // as a parse gives it, but its calendar; null without a master
    QList<ListedDetached> detached;
    ListedStarts starts; // the walk of the master to the horizon
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

// The bytes of a padded base64 text as toBase64 writes it; nothing for any other text (a byte that
// is no digit, padding but at the end, a length not a multiple of four, an empty text).
std::optional<QByteArray> decodeBase64(QByteArrayView text);
// The same into the array given, resized to the bytes (room it already has is kept for the next).
bool decodeBase64Into(QByteArrayView text, QByteArray &bytes);
// The listed text of a calendar of events with at least one series, walked to the horizon; empty for
// any other calendar, or one it cannot tell whole within kMaxListedSeriesBytes.
QByteArray listedSeriesOf(icalcomponent_impl *calendar, const QDateTime &horizon);
// The horizon a description made now walks to: the start of a year, so that a file described again
// within the year gets the same text, far enough ahead for the widest listing.
QDateTime listedSeriesHorizon();
// The series the text tells, read in the system time zone of the field; nothing when the text is
// damaged, foreign, or was read in another zone.
std::optional<ListedSeries> readListedSeries(QByteArrayView listed, const QByteArray &zoneField);

// What a listing that reads each series once needs of a text of one series with a rule and no moved
// occurrences to place the series' first occurrence in a window: its walk, read without its events.
struct ListedSeriesSkim
{
    ListedStarts starts;
    qint64 lengthSeconds = 0;
    qint64 horizon = 0;
};

// Nothing for a text of several items, of moved occurrences, of no rule, damaged, foreign or read in
// another zone: its events are made from readListedSeries (or the file).
std::optional<ListedSeriesSkim> skimListedSeries(QByteArrayView listed, const QByteArray &zoneField);

// Room the look of one series after another is read into: its texts are read into memory kept.
struct ListedSeriesScratch
{
    QByteArray decoded;
    QString title;
    QString notes;
    QString revision;
};

// What telling whether such a series changed reads of its master: its dates, rules, revision and
// texts (nothing for a null text), the texts lying in the room they were read into.
struct ListedSeriesLook
{
    std::optional<qint64> start; // in milliseconds since 1970; nothing when invalid
    std::optional<qint64> end;
    QDateTime lastModified;
    QList<EKRecurrenceRule> rules;
    std::optional<QStringView> revision;
    std::optional<QStringView> title;
    std::optional<QStringView> notes;
};

// The look of a text skimListedSeries takes, without the master made; nothing for any other text.
// Used while room is held, unchanged.
std::optional<ListedSeriesLook> lookOfListedSeries(QByteArrayView listed, const QByteArray &zoneField,
                                                   ListedSeriesScratch &room);

} // namespace icallisted
} // namespace platform
