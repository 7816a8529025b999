#include "platform/eventkit/ICalendarListedSeries.h"

#include "platform/eventkit/EKEvent.h"
#include "platform/eventkit/ICalendarCodec.h"
#include "platform/eventkit/ICalendarFolder.h"
#include "platform/eventkit/ICalendarListedEvent.h"
#include "platform/eventkit/ICalendarSeries.h"

#include <QDataStream>
#include <QtEndian>
#include <QIODevice>
#include <QSet>
#include <QSysInfo>
#include <QTimeZone>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>

#include <libical/ical.h>

namespace platform::icallisted {

namespace {

// The version of the fields after the mark: a text of another is foreign and gives way to a parse.
// 2 puts first what telling a series unchanged reads: of each item its walk, then its moved
// occurrences, then its master, whose dates, rules, revision and texts come before its other fields.
constexpr qint32 kVersion = 2;
// Walks longer than this (a series every few minutes, say) are parsed: the walk's own cap is far off.
constexpr qsizetype kMaxStarts = 50000;
constexpr qsizetype kMaxItems = 256;
constexpr qsizetype kMaxListLength = 4096;
// The walks reach this far ahead of the start of the year a description was made in: a listing reads
// of each series its first occurrence from today, which for nearly every series lies within them.
// Other questions, and series without an occurrence in those years, are answered by the parse.
constexpr int kHorizonYearsAhead = 2;

// Reads the fields as QDataStream (version Qt 6.0, big-endian) wrote them, straight from the decoded
// bytes: a listing reads thousands of these texts, and a stream over a buffer costs a virtual read
// and a copy per field. Any field that runs past the end, or a value out of bounds, fails the reader,
// which then reads zeros.
class FieldReader
{
public:
    FieldReader(QByteArrayView bytes, const QTimeZone &systemZone) : m_bytes(bytes), m_systemZone(systemZone) {}

    const QTimeZone &systemZone() const { return m_systemZone; }

    bool isOk() const { return m_isOk; }
    bool atEnd() const { return m_at == m_bytes.size(); }
    void fail() { m_isOk = false; }

    FieldReader &operator>>(quint8 &value) { return readNumber(value); }
    FieldReader &operator>>(qint32 &value) { return readNumber(value); }
    FieldReader &operator>>(quint32 &value) { return readNumber(value); }
    FieldReader &operator>>(qint64 &value) { return readNumber(value); }
    FieldReader &operator>>(bool &value)
    {
        quint8 byte = 0;
        readNumber(byte);
        value = byte != 0;
        return *this;
    }
    FieldReader &operator>>(double &value)
    {
        quint64 bits = 0;
        readNumber(bits);
        std::memcpy(&value, &bits, sizeof value);
        return *this;
    }
    // A length of all ones is a null text; zero an empty one; else the UTF-16 units, big-endian.
    FieldReader &operator>>(QString &text)
    {
        text = QString();
        readTextInto(text);
        return *this;
    }
    // The text read into room, whose memory is used again when it is its own and large enough: a
    // listing reads the texts of thousands of series one after another. Nothing for a null text.
    std::optional<QStringView> readTextInto(QString &room)
    {
        const std::optional<QByteArrayView> bytes = readSized();
        if (!bytes || bytes->size() % 2) {
            if (bytes)
                fail();
            return std::nullopt;
        }
        const qsizetype size = bytes->size() / 2;
        if (room.isNull() || !room.isDetached() || room.capacity() < size)
            room = QString(size, Qt::Uninitialized);
        else
            room.resize(size);
        qFromBigEndian<quint16>(bytes->data(), size, room.data());
        return QStringView(room.constData(), size);
    }
    FieldReader &operator>>(QByteArray &bytes)
    {
        const std::optional<QByteArrayView> read = readSized();
        bytes = read ? read->toByteArray() : QByteArray();
        return *this;
    }
    // The bytes where they lie, for as long as those read from do; empty for a null field.
    FieldReader &operator>>(QByteArrayView &bytes)
    {
        bytes = readSized().value_or(QByteArrayView());
        return *this;
    }

private:
    template <typename Number> FieldReader &readNumber(Number &value)
    {
        value = 0;
        if (!m_isOk || m_bytes.size() - m_at < qsizetype(sizeof(Number))) {
            fail();
            return *this;
        }
        value = qFromBigEndian<Number>(m_bytes.data() + m_at);
        m_at += qsizetype(sizeof(Number));
        return *this;
    }

    // The bytes of a field its length comes before; nothing for a null one, or when the reader fails.
    std::optional<QByteArrayView> readSized()
    {
        quint32 size = 0;
        readNumber(size);
        if (!m_isOk || size == 0xffffffffU)
            return std::nullopt;
        if (qsizetype(size) > m_bytes.size() - m_at) {
            fail();
            return std::nullopt;
        }
        const QByteArrayView bytes = m_bytes.sliced(m_at, qsizetype(size));
        m_at += qsizetype(size);
        return bytes;
    }

    QByteArrayView m_bytes;
    const QTimeZone &m_systemZone;
    qsizetype m_at = 0;
    bool m_isOk = true;
};

// The system time zone the zone field names, made once per field and thread: making it anew reads
// the environment and the zone's data, for each of the thousands of events a listing reads.
const QTimeZone &systemZoneNamed(const QByteArray &zoneField)
{
    thread_local QByteArray field;
    thread_local QTimeZone zone;
    if (field != zoneField || !zone.isValid()) {
        zone = QTimeZone(QByteArray::fromPercentEncoding(zoneField));
        field = zoneField;
    }
    return zone;
}

// The zone of the name, made once per name and thread: a zone made anew looks its name up among
// all the system's and reads its data. Nothing for a name the system does not know. The name may
// be raw data: the zone and the table keep a copy.
std::optional<QTimeZone> namedZone(const QByteArray &id)
{
    constexpr qsizetype kMaxKnownZones = 1024;
    thread_local QHash<QByteArray, QTimeZone> known;
    const auto found = known.constFind(id);
    if (found != known.constEnd())
        return *found;
    // Copied first: the name may lie in bytes the caller lets go, and a zone keeps its name.
    const QByteArray name(id.constData(), id.size());
    if (!QTimeZone::isTimeZoneIdAvailable(name))
        return std::nullopt;
    if (known.size() >= kMaxKnownZones)
        known.clear();
    return *known.insert(name, QTimeZone(name));
}

// The native word whose four bytes lie in memory in this order.
constexpr quint32 wordOfBytes(quint32 first, quint32 second, quint32 third, quint32 fourth)
{
    return QSysInfo::ByteOrder == QSysInfo::LittleEndian ? first | second << 8 | third << 16 | fourth << 24
                                                          : first << 24 | second << 16 | third << 8 | fourth;
}

// A word whose fourth byte is set: any byte that is no base64 digit sets it.
constexpr quint32 kNotDigit = wordOfBytes(0, 0, 0, 1);

// Each base64 digit's six bits where they lie among a group's three bytes, as a word of those bytes
// in memory order, one table per place: a group's word is the or of its four digits' words, stored
// as it is.
constexpr std::array<std::array<quint32, 256>, 4> kBase64Places = [] {
    std::array<std::array<quint32, 256>, 4> places{};
    constexpr char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (std::size_t place = 0; place < places.size(); ++place) {
        places[place].fill(kNotDigit);
        for (quint32 value = 0; value < 64; ++value) {
            const quint32 bits = value << (18 - 6 * place);
            places[place][quint8(digits[value])] = wordOfBytes(bits >> 16 & 0xff, bits >> 8 & 0xff, bits & 0xff, 0);
        }
    }
    return places;
}();

} // namespace

// Four digits at a time, each through the table of its place, so that a group is four loads, three
// ors and one store: the listing decodes every listed series. The bytes go into the array given,
// resized to them; false for a text that is not base64 as toBase64 writes it.
bool decodeBase64Into(QByteArrayView text, QByteArray &bytes)
{
    if (text.isEmpty() || text.size() % 4)
        return false;
    const qsizetype padding = text.endsWith("==") ? 2 : text.endsWith('=') ? 1 : 0;
    bytes.resize(text.size() / 4 * 3 - padding);
    const auto *in = reinterpret_cast<const uchar *>(text.data());
    auto *out = reinterpret_cast<uchar *>(bytes.data());
    quint32 invalid = 0;
    const auto group = [&](qsizetype at, bool hasThird, bool hasFourth) {
        const quint32 word = kBase64Places[0][in[at]] | kBase64Places[1][in[at + 1]] |
                             (hasThird ? kBase64Places[2][in[at + 2]] : 0) |
                             (hasFourth ? kBase64Places[3][in[at + 3]] : 0);
        invalid |= word;
        return word;
    };
    const qsizetype last = text.size() - 4;
    for (qsizetype at = 0; at < last; at += 4, out += 3) {
        // Four bytes are stored, the fourth a spare: the last group's first byte follows it.
        const quint32 word = group(at, true, true);
        std::memcpy(out, &word, sizeof word);
    }
    // The last group, less its padding.
    const quint32 word = group(last, padding < 2, padding < 1);
    std::array<uchar, 4> three{};
    std::memcpy(three.data(), &word, sizeof word);
    std::memcpy(out, three.data(), std::size_t(3 - padding));
    return !(invalid & kNotDigit);
}

std::optional<QByteArray> decodeBase64(QByteArrayView text)
{
    QByteArray bytes;
    return decodeBase64Into(text, bytes) ? std::optional<QByteArray>(std::move(bytes)) : std::nullopt;
}

namespace {

// A date as its milliseconds and how it is kept: invalid, plain UTC (Qt::UTC), or in the shared UTC zone.
// Any other kind is not written: the text could not give it back as it was.
enum class DateKind : quint8 { Invalid = 0, UtcSpec = 1, UtcZone = 2, Other = 3 };

DateKind kindOf(const QDateTime &date)
{
    if (!date.isValid())
        return DateKind::Invalid;
    if (date.timeSpec() == Qt::UTC)
        return DateKind::UtcSpec;
    return date.timeSpec() == Qt::TimeZone && date.timeZone() == icalcodec::utcZone() ? DateKind::UtcZone
                                                                                      : DateKind::Other;
}

void writeDate(QDataStream &out, const QDateTime &date)
{
    const DateKind kind = kindOf(date);
    out << quint8(kind) << (kind == DateKind::Invalid ? qint64(0) : date.toMSecsSinceEpoch());
}

// A date as a text keeps it: its kind and milliseconds, read without a date made.
struct ListedDate
{
    DateKind kind = DateKind::Invalid;
    qint64 milliseconds = 0;

    std::optional<qint64> millisecondsIfValid() const
    {
        return kind == DateKind::Invalid ? std::nullopt : std::optional<qint64>(milliseconds);
    }
    QDateTime date() const
    {
        if (kind == DateKind::UtcSpec)
            return QDateTime::fromMSecsSinceEpoch(milliseconds, Qt::UTC);
        if (kind == DateKind::UtcZone)
            return QDateTime::fromMSecsSinceEpoch(milliseconds, icalcodec::utcZone());
        return QDateTime();
    }
};

ListedDate readListedDate(FieldReader &in)
{
    quint8 kind = 0;
    qint64 milliseconds = 0;
    in >> kind >> milliseconds;
    if (kind > quint8(DateKind::UtcZone)) {
        in.fail();
        return {};
    }
    return {DateKind(kind), kind == quint8(DateKind::Invalid) ? 0 : milliseconds};
}

QDateTime readDate(FieldReader &in)
{
    return readListedDate(in).date();
}

template <typename Item, typename Read> QList<Item> readList(FieldReader &in, const Read &read)
{
    qint32 count = 0;
    in >> count;
    QList<Item> items;
    if (count < 0 || count > kMaxListLength) {
        in.fail();
        return items;
    }
    for (qint32 at = 0; at < count && in.isOk(); ++at)
        items.append(read());
    return items;
}

void writeInts(QDataStream &out, const QList<int> &values)
{
    out << qint32(values.size());
    for (const int value : values)
        out << qint32(value);
}

QList<int> readInts(FieldReader &in)
{
    return readList<int>(in, [&in] {
        qint32 value = 0;
        in >> value;
        return int(value);
    });
}

void writeRule(QDataStream &out, const EKRecurrenceRule &rule)
{
    out << qint32(rule.frequency()) << qint32(rule.interval()) << qint32(rule.daysOfTheWeek().size());
    for (const EKRecurrenceDayOfWeek &day : rule.daysOfTheWeek())
        out << qint32(day.dayOfTheWeek()) << qint32(day.weekNumber());
    for (const QList<int> *values : {&rule.daysOfTheMonth(), &rule.monthsOfTheYear(), &rule.weeksOfTheYear(),
                                     &rule.daysOfTheYear(), &rule.setPositions()})
        writeInts(out, *values);
    const std::optional<EKRecurrenceEnd> &end = rule.recurrenceEnd();
    out << bool(end);
    writeDate(out, end ? end->endDate() : QDateTime());
    out << qint32(end ? end->occurrenceCount() : 0);
}

std::optional<EKRecurrenceEnd> readRecurrenceEnd(FieldReader &in)
{
    bool hasEnd = false;
    in >> hasEnd;
    const QDateTime endDate = readDate(in);
    qint32 count = 0;
    in >> count;
    if (!hasEnd)
        return std::nullopt;
    return endDate.isValid() ? EKRecurrenceEnd::recurrenceEndWithEndDate(endDate)
                             : EKRecurrenceEnd::recurrenceEndWithOccurrenceCount(count);
}

EKRecurrenceRule readRule(FieldReader &in)
{
    qint32 frequency = 0;
    qint32 interval = 0;
    in >> frequency >> interval;
    if (frequency < 0 || frequency > qint32(EKRecurrenceFrequency::Yearly))
        in.fail();
    const QList<EKRecurrenceDayOfWeek> days = readList<EKRecurrenceDayOfWeek>(in, [&in] {
        qint32 day = 0;
        qint32 week = 0;
        in >> day >> week;
        return EKRecurrenceDayOfWeek::dayOfWeek(day, week);
    });
    const QList<int> daysOfTheMonth = readInts(in);
    const QList<int> months = readInts(in);
    const QList<int> weeks = readInts(in);
    const QList<int> daysOfTheYear = readInts(in);
    const QList<int> positions = readInts(in);
    return EKRecurrenceRule(EKRecurrenceFrequency(frequency), interval, days, daysOfTheMonth, months, weeks,
                            daysOfTheYear, positions, readRecurrenceEnd(in));
}

// The zone: the system's, UTC, or one named; the system's is told apart from the same zone named.
void writeZone(QDataStream &out, const QTimeZone &zone)
{
    const quint8 kind = zone == QTimeZone::systemTimeZone() ? 0 : zone == QTimeZone::utc() ? 1 : 2;
    out << kind << (kind == 2 ? zone.id() : QByteArray());
}

QTimeZone readZone(FieldReader &in)
{
    quint8 kind = 0;
    QByteArrayView name;
    in >> kind >> name;
    // Looked up where it lies: the zones are found by name without a copy of it.
    const QByteArray id = QByteArray::fromRawData(name.data(), name.size());
    if (kind == 0)
        return in.systemZone();
    if (kind == 1)
        return QTimeZone::utc();
    if (kind != 2)
        in.fail();
    std::optional<QTimeZone> zone = kind == 2 ? namedZone(id) : std::nullopt;
    if (!zone)
        in.fail();
    return zone ? *zone : QTimeZone(name.toByteArray());
}

// The fields telling whether a series changed come first (readLookFields): its dates, rules,
// revision and texts; the others after them.
void writeEvent(QDataStream &out, const EKEvent &event)
{
    writeDate(out, event.startDate());
    writeDate(out, event.endDate());
    writeDate(out, event.lastModifiedDate());
    out << qint32(event.recurrenceRules().size());
    for (const EKRecurrenceRule &rule : event.recurrenceRules())
        writeRule(out, rule);
    out << event.seriesRevision() << event.title() << event.notes();
    out << event.calendarItemIdentifier() << event.location();
    writeDate(out, event.creationDate());
    out << event.isAllDay();
    writeZone(out, event.timeZone());
    out << qint32(event.alarms().size());
    for (const EKAlarm &alarm : event.alarms()) {
        writeDate(out, alarm.absoluteDate());
        out << alarm.relativeOffset();
    }
    writeDate(out, event.occurrenceDate());
    out << event.isDetached() << event.isSeriesStart();
}

QList<EKAlarm> readAlarms(FieldReader &in)
{
    return readList<EKAlarm>(in, [&in] {
        const QDateTime date = readDate(in);
        double offset = 0;
        in >> offset;
        return date.isValid() ? EKAlarm::alarmWithAbsoluteDate(date) : EKAlarm::alarmWithRelativeOffset(offset);
    });
}

// The fields of an event that tell whether its series changed, the texts read into room.
struct LookFields
{
    ListedDate start;
    ListedDate end;
    ListedDate lastModified;
    QList<EKRecurrenceRule> rules;
    std::optional<QStringView> revision;
    std::optional<QStringView> title;
    std::optional<QStringView> notes;
};

LookFields readLookFields(FieldReader &in, ListedSeriesScratch &room)
{
    LookFields look;
    look.start = readListedDate(in);
    look.end = readListedDate(in);
    look.lastModified = readListedDate(in);
    look.rules = readList<EKRecurrenceRule>(in, [&in] { return readRule(in); });
    look.revision = in.readTextInto(room.revision);
    look.title = in.readTextInto(room.title);
    look.notes = in.readTextInto(room.notes);
    return look;
}

// The text read into room, which it was read into whole: a null one when it was null.
QString textOf(const std::optional<QStringView> &view, const QString &room)
{
    return view ? room : QString();
}

std::shared_ptr<EKEvent> readEvent(FieldReader &in)
{
    ListedSeriesScratch room;
    const LookFields look = readLookFields(in, room);
    QString uid, location;
    in >> uid >> location;
    const QDateTime created = readDate(in);
    bool allDay = false;
    in >> allDay;
    auto event = std::make_shared<EKEvent>(readZone(in));
    event->setCalendarItemIdentifier(uid);
    event->setTitle(textOf(look.title, room.title));
    event->setNotes(textOf(look.notes, room.notes));
    event->setLocation(location);
    event->setCreationDate(created);
    event->setLastModifiedDate(look.lastModified.date());
    event->setAllDay(allDay);
    event->setStartDate(look.start.date());
    event->setEndDate(look.end.date());
    event->setAlarms(readAlarms(in));
    event->setRecurrenceRules(look.rules);
    const QDateTime occurrence = readDate(in);
    bool isDetached = false, isSeriesStart = false;
    in >> isDetached >> isSeriesStart;
    event->setOccurrence(occurrence, isDetached);
    event->setIsSeriesStart(isSeriesStart);
    event->setSeriesRevision(textOf(look.revision, room.revision));
    return event;
}

bool isSameDate(const QDateTime &left, const QDateTime &right)
{
    return left == right && kindOf(left) == kindOf(right) && kindOf(left) != DateKind::Other;
}

bool areSameAlarms(const QList<EKAlarm> &left, const QList<EKAlarm> &right)
{
    return std::equal(left.cbegin(), left.cend(), right.cbegin(), right.cend(), [](const auto &one, const auto &other) {
        return one == other && isSameDate(one.absoluteDate(), other.absoluteDate()) &&
               std::signbit(one.relativeOffset()) == std::signbit(other.relativeOffset());
    });
}

// Every field a listing reads, null texts apart from empty ones, dates in the same kind of zone.
bool isSameEvent(const EKEvent &left, const EKEvent &right)
{
    const auto sameText = [](const QString &one, const QString &other) {
        return one == other && one.isNull() == other.isNull();
    };
    return sameText(left.calendarItemIdentifier(), right.calendarItemIdentifier()) &&
           sameText(left.title(), right.title()) && sameText(left.notes(), right.notes()) &&
           sameText(left.location(), right.location()) && isSameDate(left.creationDate(), right.creationDate()) &&
           isSameDate(left.lastModifiedDate(), right.lastModifiedDate()) && left.isAllDay() == right.isAllDay() &&
           left.timeZone() == right.timeZone() && isSameDate(left.startDate(), right.startDate()) &&
           isSameDate(left.endDate(), right.endDate()) && areSameAlarms(left.alarms(), right.alarms()) &&
           left.recurrenceRules() == right.recurrenceRules() &&
           isSameDate(left.occurrenceDate(), right.occurrenceDate()) && left.isDetached() == right.isDetached() &&
           left.isSeriesStart() == right.isSeriesStart() && sameText(left.seriesRevision(), right.seriesRevision()) &&
           left.isNew() == right.isNew();
}

// Unsigned LEB128: seven bits a byte, the high bit telling that more follow.
void appendVarint(QByteArray &bytes, quint64 value)
{
    do {
        const auto low = char(value & 0x7f);
        value >>= 7;
        bytes.append(value ? char(low | 0x80) : low);
    } while (value);
}

bool readVarint(QByteArrayView bytes, qsizetype &at, quint64 &value)
{
    value = 0;
    for (int shift = 0; shift < 64 && at < bytes.size(); shift += 7) {
        const auto byte = uchar(bytes[at++]);
        value |= quint64(byte & 0x7f) << shift;
        if (!(byte & 0x80))
            return true;
    }
    return false;
}

void writeStarts(QDataStream &out, const ListedStarts &starts)
{
    out << starts.size() << starts.first() << starts.runs();
}

std::optional<ListedStarts> readStarts(FieldReader &in)
{
    qint32 count = 0;
    qint64 first = 0;
    QByteArray runs;
    in >> count >> first >> runs;
    std::optional<ListedStarts> starts = in.isOk() ? ListedStarts::fromRuns(count, first, runs) : std::nullopt;
    if (!starts)
        in.fail();
    return starts;
}

// The walk and the moved occurrences come before the master: a listing that finds a series of no
// moved occurrences places its first occurrence from the walk and reads no more of it.
void writeItem(QDataStream &out, const ListedSeriesItem &item)
{
    out << bool(item.master) << item.lengthSeconds;
    writeStarts(out, item.starts);
    out << qint32(item.detached.size());
    for (const ListedDetached &detached : item.detached) {
        writeEvent(out, *detached.event);
        writeDate(out, detached.recurrenceId);
        out << detached.isOccurrence;
    }
    if (item.master)
        writeEvent(out, *item.master);
}

// What comes before an item's moved occurrences: whether it has a master, its length and walk. The
// walk is checked and kept only when asked for: telling a series unchanged has no use for it.
bool readItemHead(FieldReader &in, ListedSeriesItem &item, bool withStarts = true)
{
    bool hasMaster = false;
    in >> hasMaster >> item.lengthSeconds;
    if (withStarts) {
        item.starts = readStarts(in).value_or(ListedStarts());
        return hasMaster;
    }
    qint32 count = 0;
    qint64 first = 0;
    QByteArrayView runs;
    in >> count >> first >> runs;
    return hasMaster;
}

ListedSeriesItem readItem(FieldReader &in)
{
    ListedSeriesItem item;
    const bool hasMaster = readItemHead(in, item);
    item.detached = readList<ListedDetached>(in, [&in] {
        ListedDetached detached;
        detached.event = readEvent(in);
        detached.recurrenceId = readDate(in);
        in >> detached.isOccurrence;
        return detached;
    });
    if (hasMaster)
        item.master = readEvent(in);
    return item;
}

// The detached occurrence as the listing of its parsed file gives it.
ListedDetached detachedOf(icalcomponent *detached, icalcomponent *master, const ListedSeriesItem &item,
                          const ListedSeries &series)
{
    ListedDetached result{icalseries::eventFromComponent(detached), icalcodec::recurrenceIdOf(detached), true};
    result.event->setOccurrence(result.recurrenceId, true);
    result.event->setIsSeriesStart(false);
    if (!master)
        return result;
    const qint64 at = result.recurrenceId.toMSecsSinceEpoch();
    if (!result.recurrenceId.isValid())
        result.isOccurrence = false;
    else if (at < series.horizon)
        result.isOccurrence = item.starts.contains(at);
    else {
        const ICalendarOccurrences walk = icalcodec::expandOccurrences(master, result.recurrenceId.addSecs(1));
        result.isOccurrence = std::binary_search(walk.starts.cbegin(), walk.starts.cend(), at);
    }
    result.event->setRecurrenceRules(item.master->recurrenceRules());
    result.event->setIsSeriesStart(result.recurrenceId ==
                                   icalcodec::dateFromIcalTime(icalcomponent_get_dtstart(master)));
    return result;
}

std::optional<ListedSeriesItem> itemOf(const icalseries::ItemsOfUid &found, const ListedSeries &series)
{
    ListedSeriesItem item;
    if (found.event) {
        // Walked first, as a listing walks before it reads the master: a walk may change how libical
        // writes a rule out (a calendar scale's), and with it the revision.
        const ICalendarOccurrences walk =
            icalcodec::expandOccurrences(found.event, QDateTime::fromMSecsSinceEpoch(series.horizon, Qt::UTC));
        item.master = icalseries::eventFromComponent(found.event);
        if (walk.starts.size() > kMaxStarts)
            return std::nullopt;
        item.starts = ListedStarts(walk.starts);
        // As every field, the starts are kept only when they read back as they were.
        if (item.starts.all() != walk.starts)
            return std::nullopt;
        item.lengthSeconds = walk.lengthSeconds;
    }
    for (icalcomponent *detached : found.overrides)
        item.detached.append(detachedOf(detached, found.event, item, series));
    return item;
}

// The file's UIDs in the order its description keeps them (the order of their first items).
QStringList uidsInOrder(icalcomponent *calendar)
{
    QStringList uids;
    QSet<QString> seen;
    for (icalcomponent *item = icalcomponent_get_first_component(calendar, ICAL_ANY_COMPONENT); item;
         item = icalcomponent_get_next_component(calendar, ICAL_ANY_COMPONENT)) {
        const char *uid = icalcomponent_get_uid(item);
        const icalcomponent_kind kind = icalcomponent_isa(item);
        if (!uid || (kind != ICAL_VEVENT_COMPONENT && kind != ICAL_VTODO_COMPONENT))
            continue;
        const QString text = QString::fromUtf8(uid);
        if (!seen.contains(text)) {
            seen.insert(text);
            uids.append(text);
        }
    }
    return uids;
}

// Only files of events whose UIDs each have a series or moved occurrences: a file of one single
// event has its own listed text, and to-dos are read elsewhere.
std::optional<ListedSeries> seriesOf(icalcomponent *calendar, const QDateTime &horizon)
{
    const QStringList uids = calendar ? uidsInOrder(calendar) : QStringList();
    if (uids.isEmpty() || uids.size() > kMaxItems || icalcomponent_get_first_component(calendar, ICAL_VTODO_COMPONENT))
        return std::nullopt;
    const QHash<QString, icalseries::ItemsOfUid> items = icalseries::itemsByUid(calendar);
    ListedSeries series{horizon.toMSecsSinceEpoch(), {}};
    bool hasSeries = false;
    for (const QString &uid : uids) {
        const icalseries::ItemsOfUid found = items.value(uid);
        hasSeries = hasSeries || !found.overrides.isEmpty() || (found.event && icalseries::isRecurring(found.event));
        std::optional<ListedSeriesItem> item = itemOf(found, series);
        if (!item)
            return std::nullopt;
        series.items.append(std::move(*item));
    }
    return hasSeries ? std::optional<ListedSeries>(std::move(series)) : std::nullopt;
}

bool isSameItem(const ListedSeriesItem &left, const ListedSeriesItem &right)
{
    const bool sameMaster = left.master && right.master ? isSameEvent(*left.master, *right.master)
                                                        : !left.master && !right.master;
    return sameMaster && left.starts == right.starts && left.lengthSeconds == right.lengthSeconds &&
           std::equal(left.detached.cbegin(), left.detached.cend(), right.detached.cbegin(), right.detached.cend(),
                      [](const ListedDetached &one, const ListedDetached &other) {
                          return isSameEvent(*one.event, *other.event) &&
                                 isSameDate(one.recurrenceId, other.recurrenceId) &&
                                 one.isOccurrence == other.isOccurrence;
                      });
}

QByteArray encode(const ListedSeries &series, const QByteArray &zoneField)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setVersion(QDataStream::Qt_6_0);
    out << kVersion << zoneField << series.horizon << qint32(series.items.size());
    for (const ListedSeriesItem &item : series.items)
        writeItem(out, item);
    return kSeriesMark + bytes.toBase64();
}

} // namespace

// The first start, then runs of equal steps (step, count): a daily series is a few runs a year,
// where the clocks change; one on three weekdays a run a few days long.
ListedStarts::ListedStarts(const QList<qint64> &starts)
    : m_count(qint32(starts.size())), m_first(starts.isEmpty() ? 0 : starts.first())
{
    for (qsizetype at = 1; at < starts.size();) {
        const qint64 step = starts.at(at) - starts.at(at - 1);
        qsizetype count = 1;
        while (at + count < starts.size() && starts.at(at + count) - starts.at(at + count - 1) == step)
            ++count;
        appendVarint(m_runs, quint64(step));
        appendVarint(m_runs, quint64(count));
        at += count;
    }
}

// Each run is checked once here, so that reading the starts later needs no checks: positive steps of
// at most 2^50 ms, the counts adding up, every start within 2^60 ms (36 million years) of 1970.
std::optional<ListedStarts> ListedStarts::fromRuns(qint32 count, qint64 first, const QByteArray &runs)
{
    constexpr qint64 kMaxStart = qint64(1) << 60;
    if (count < 0 || count > kMaxStarts || (count == 0 && !runs.isEmpty()) || first < -kMaxStart || first > kMaxStart)
        return std::nullopt;
    qint64 last = first;
    qint64 seen = count > 0 ? 1 : 0;
    quint64 step = 0, length = 0;
    for (qsizetype at = 0; at < runs.size();) {
        if (!readVarint(runs, at, step) || !readVarint(runs, at, length) || step == 0 || length == 0 ||
            step > quint64(1) << 50 || length > quint64(count - seen) ||
            qint64(step) > (kMaxStart - last) / qint64(length))
            return std::nullopt;
        last += qint64(step) * qint64(length);
        seen += qint64(length);
    }
    if (seen != count)
        return std::nullopt;
    ListedStarts starts;
    starts.m_count = count;
    starts.m_first = first;
    starts.m_runs = runs;
    return starts;
}

QList<qint64> ListedStarts::all() const
{
    QList<qint64> starts;
    starts.reserve(m_count);
    visitFrom(std::numeric_limits<qint64>::min(), [&starts](qint64 start) {
        starts.append(start);
        return true;
    });
    return starts;
}

void ListedStarts::visitFrom(qint64 from, const std::function<bool(qint64)> &visit) const
{
    if (m_count == 0 || (m_first >= from && !visit(m_first)))
        return;
    qint64 last = m_first;
    quint64 step = 0, length = 0;
    for (qsizetype at = 0; at < m_runs.size() && readVarint(m_runs, at, step) && readVarint(m_runs, at, length);) {
        // The run's starts are last + size * k for k from 1 to length: those before from are skipped.
        const auto size = qint64(step);
        const qint64 runEnd = last + size * qint64(length);
        const qint64 firstK = from <= last + size ? 1
                              : from > runEnd     ? qint64(length) + 1
                                                  : (from - last + size - 1) / size;
        for (qint64 k = firstK; k <= qint64(length); ++k) {
            if (!visit(last + size * k))
                return;
        }
        last = runEnd;
    }
}

bool ListedStarts::contains(qint64 start) const
{
    bool found = false;
    visitFrom(start, [&](qint64 at) {
        found = at == start;
        return false;
    });
    return found;
}

QDateTime listedSeriesHorizon()
{
    const QDate today = QDateTime::currentDateTimeUtc().date();
    return QDateTime(QDate(today.year() + kHorizonYearsAhead, 1, 1), QTime(0, 0), Qt::UTC);
}

// The text is read back at once: one that does not give every field as the parse did is not kept.
QByteArray listedSeriesOf(icalcomponent *calendar, const QDateTime &horizon)
{
    const std::optional<ListedSeries> series = seriesOf(calendar, horizon);
    if (!series)
        return QByteArray();
    const QByteArray zoneField = systemZoneField();
    const QByteArray text = encode(*series, zoneField);
    const std::optional<ListedSeries> back =
        text.size() <= kMaxListedSeriesBytes ? readListedSeries(text, zoneField) : std::nullopt;
    const bool isWhole = back && back->horizon == series->horizon &&
                         std::equal(back->items.cbegin(), back->items.cend(), series->items.cbegin(),
                                    series->items.cend(), isSameItem);
    return isWhole ? text : QByteArray();
}

namespace {

// A reader of the first bytes of the text (all of them when it has fewer), decoded into room, past
// its version, zone and horizon; nothing when the text is damaged, foreign or read in another zone.
// A prefix is decoded whole groups of four digits at a time, none of which is padding.
std::optional<FieldReader> readerOf(QByteArrayView listed, const QByteArray &zoneField, qsizetype bytes,
                                    QByteArray &room, qint64 &horizon)
{
    if (!isListedSeries(listed) || listed.size() > kMaxListedSeriesBytes)
        return std::nullopt;
    const QByteArrayView digits = listed.sliced(1);
    if (!decodeBase64Into(digits.first(std::min(digits.size(), (bytes + 2) / 3 * 4)), room))
        return std::nullopt;
    FieldReader in(room, systemZoneNamed(zoneField));
    qint32 version = 0;
    // Compared where it lies: no copy of it is made.
    QByteArrayView zone;
    in >> version >> zone >> horizon;
    if (!in.isOk() || version != kVersion || zone != QByteArrayView(zoneField))
        return std::nullopt;
    return in;
}

// Reads an item of a text of one item, of no moved occurrences, up to its master (which it has).
bool readSoleItemHead(FieldReader &in, ListedSeriesItem &item, bool withStarts)
{
    qint32 items = 0;
    in >> items;
    const bool hasMaster = in.isOk() && items == 1 && readItemHead(in, item, withStarts);
    qint32 detached = -1;
    in >> detached;
    return hasMaster && in.isOk() && detached == 0;
}

} // namespace

std::optional<ListedSeries> readListedSeries(QByteArrayView listed, const QByteArray &zoneField)
{
    // Decoded into room this thread keeps: every field read from it is copied out.
    thread_local QByteArray decoded;
    ListedSeries series;
    std::optional<FieldReader> in = readerOf(listed, zoneField, listed.size(), decoded, series.horizon);
    if (!in)
        return std::nullopt;
    series.items = readList<ListedSeriesItem>(*in, [&in] { return readItem(*in); });
    if (!in->isOk() || !in->atEnd() || series.items.size() > kMaxItems)
        return std::nullopt;
    return series;
}

// The first bytes hold a series' head: its walk and the start of its master, a hundred bytes or so.
std::optional<ListedSeriesSkim> skimListedSeries(QByteArrayView listed, const QByteArray &zoneField)
{
    constexpr qsizetype kHeadBytes = 192;
    thread_local QByteArray decoded;
    for (const qsizetype bytes : {kHeadBytes, listed.size()}) {
        ListedSeriesSkim skim;
        ListedSeriesItem item;
        std::optional<FieldReader> in = readerOf(listed, zoneField, bytes, decoded, skim.horizon);
        const bool isSeries = in && readSoleItemHead(*in, item, true);
        qint32 rules = 0;
        if (isSeries) {
            // The master's start, end and last change, then the count of its rules.
            for (int date = 0; date < 3; ++date)
                readListedDate(*in);
            *in >> rules;
        }
        if (isSeries && in->isOk() && rules > 0) {
            skim.starts = std::move(item.starts);
            skim.lengthSeconds = item.lengthSeconds;
            return skim;
        }
        // What failed may have run past the first bytes (a long zone name, many runs): read from them all.
        if ((in && in->isOk()) || (bytes + 2) / 3 * 4 >= listed.size() - 1)
            return std::nullopt;
    }
    return std::nullopt;
}

std::optional<ListedSeriesLook> lookOfListedSeries(QByteArrayView listed, const QByteArray &zoneField,
                                                   ListedSeriesScratch &room)
{
    qint64 horizon = 0;
    ListedSeriesItem item;
    std::optional<FieldReader> in = readerOf(listed, zoneField, listed.size(), room.decoded, horizon);
    if (!in || !readSoleItemHead(*in, item, false))
        return std::nullopt;
    LookFields fields = readLookFields(*in, room);
    if (!in->isOk() || fields.rules.isEmpty())
        return std::nullopt;
    return ListedSeriesLook{fields.start.millisecondsIfValid(),
                            fields.end.millisecondsIfValid(),
                            fields.lastModified.date(),
                            std::move(fields.rules),
                            fields.revision,
                            fields.title,
                            fields.notes};
}

} // namespace platform::icallisted
