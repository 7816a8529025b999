#include "platform/eventkit/ICalendarListedEvent.h"

#include "platform/eventkit/EKEvent.h"
#include "platform/eventkit/ICalendarCodec.h"
#include "platform/eventkit/ICalendarFolderIndex.h"

#include <QTimeZone>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <limits>
#include <optional>

#include <libical/ical.h>

namespace platform::icallisted {

namespace {

constexpr qsizetype kFieldCount = 12;
constexpr qsizetype kMaxAlarms = 64;
constexpr qsizetype kEscapeRoom = 48;
constexpr qint64 kNoDate = std::numeric_limits<qint64>::min();
constexpr qint64 kMaxMilliseconds = qint64(1) << 53;

// A null text and an empty one differ: each is kept with a mark before it.
QByteArray encodeText(const QString &text)
{
    return text.isNull() ? QByteArray("-") : '+' + text.toUtf8();
}

// A text of an item as libical holds it. An ASCII one is its own UTF-8; any other goes through the text
// an event would hold of it, which mends what is not UTF-8.
QByteArray encodeItemText(const char *text)
{
    const QByteArrayView bytes(text);
    const bool isAscii = std::all_of(bytes.begin(), bytes.end(), [](char byte) { return uchar(byte) < 0x80; });
    if (!bytes.isEmpty() && isAscii)
        return '+' + bytes.toByteArray();
    return encodeText(text ? QString::fromUtf8(text) : QString());
}

using ListedFields = std::array<QByteArrayView, kFieldCount>;

// The comma-separated fields where they stand; nothing when the text is too long or has another
// number of fields.
bool readFields(QByteArrayView listed, ListedFields &fields)
{
    return listed.size() <= kMaxListedBytes && icalindex::splitFields(listed, ',', fields);
}

// The field with its percent escapes decoded, made in one buffer; a '%' that starts no escape
// stays as it is.
QByteArray decoded(QByteArrayView field)
{
    QByteArray bytes = field.toByteArray();
    if (icalindex::holdsByte(field, '%'))
        bytes.truncate(icalindex::percentDecode(field, bytes.data()));
    return bytes;
}

// Whether the field is the one byte: compared in place, as the library's comparison is a call.
bool isByte(QByteArrayView field, char byte)
{
    return field.size() == 1 && field.front() == byte;
}

// A text is marked present ('+', written "%2B") or absent ("-"); any other field is no text. Its
// first bytes are compared in place: four fields an event, in every listing.
bool isTextField(QByteArrayView field)
{
    const bool isEscapedPlus =
        field.size() >= 3 && field[0] == '%' && field[1] == '2' && (field[2] == 'B' || field[2] == 'b');
    return isByte(field, '-') || field.startsWith('+') || isEscapedPlus;
}

// The text of a present field without its mark; of a field isTextField took. The mark is one escape
// or one character, so the rest decodes alike without it.
QByteArrayView markedTextOf(QByteArrayView field)
{
    return field.sliced(field.startsWith('+') ? 1 : 3);
}

// A text's UTF-8 bytes, nothing for an absent text; of a field isTextField took.
ListedText textBytesOf(QByteArrayView field)
{
    if (isByte(field, '-'))
        return ListedText();
    return decoded(markedTextOf(field));
}

// Whether the text of the field, present and taken by isTextField, is one the match takes. A text
// with escapes is decoded on the stack (the field is no longer than a listed text); one without, as
// an identifier nearly always is after its mark, is taken as it stands.
template <typename Match> bool isMatchingText(QByteArrayView field, const Match &match)
{
    const QByteArrayView marked = markedTextOf(field);
    if (!icalindex::holdsByte(marked, '%'))
        return match(marked);
    std::array<char, kMaxListedBytes> bytes;
    return match(QByteArrayView(bytes.data(), icalindex::percentDecode(marked, bytes.data())));
}

// An empty text is present: it stays apart from an absent one.
QString textOf(const ListedText &text)
{
    if (!text)
        return QString();
    return text->isEmpty() ? QStringLiteral("") : QString::fromUtf8(*text);
}

// The fields percent-encoded and joined by commas, in one buffer with room for them, their commas,
// the escapes of the text marks and a few more; nothing when that is longer than a listed text.
QByteArray joinedEncoded(const QByteArrayList &fields)
{
    qsizetype room = fields.size() + kEscapeRoom;
    for (const QByteArray &field : fields)
        room += field.size();
    QByteArray listed;
    listed.reserve(std::min(room, kMaxListedBytes + 1));
    for (qsizetype at = 0; at < fields.size(); ++at) {
        if (at > 0)
            listed.append(',');
        const QByteArray &field = fields.at(at);
        // Numbers and flags hold only characters that stand for themselves: they need no encoding.
        const bool isPlain = std::all_of(field.cbegin(), field.cend(), [](char byte) {
            return (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') || (byte >= '0' && byte <= '9') ||
                   byte == '-' || byte == '.' || byte == '_' || byte == '~';
        });
        listed.append(isPlain ? field : field.toPercentEncoding());
        if (listed.size() > kMaxListedBytes)
            return QByteArray();
    }
    return listed;
}

QByteArray encodeDate(const QDateTime &date)
{
    return date.isValid() ? QByteArray::number(date.toMSecsSinceEpoch()) : QByteArray();
}

QByteArray encodeSeconds(qint64 seconds)
{
    return QByteArray::number(seconds * 1000);
}

// The date of the item's first property of the kind, as reading the event gives it; empty without one.
QByteArray encodePropertyDate(icalcomponent *item, icalproperty_kind kind)
{
    icalproperty *property = icalcomponent_get_first_property(item, kind);
    const std::optional<qint64> seconds =
        property ? icalcodec::secondsFromIcalTime(icalproperty_get_datetime_with_component(property, item))
                 : std::nullopt;
    return seconds ? encodeSeconds(*seconds) : QByteArray();
}

// Reads a date's milliseconds since 1970 into milliseconds, kNoDate for an empty field: a minus
// where negative, then digits, and nothing else. Dates a quarter of a million years away or more are
// not believed: every other number is a valid date. The answer is a flag apart from the number: a
// number wrapped with its flag, read four times an event, is stored piece by piece and read back
// whole, which stalls.
bool readMilliseconds(QByteArrayView field, qint64 &milliseconds)
{
    milliseconds = kNoDate;
    if (field.isEmpty())
        return true;
    const char *const end = field.data() + field.size();
    const auto [stop, problem] = std::from_chars(field.data(), end, milliseconds);
    if (problem != std::errc() || stop != end)
        return false;
    return milliseconds > -kMaxMilliseconds && milliseconds < kMaxMilliseconds;
}

QDateTime dateOf(qint64 milliseconds)
{
    return milliseconds == kNoDate ? QDateTime() : QDateTime::fromMSecsSinceEpoch(milliseconds, icalcodec::utcZone());
}

// The same instant kept as plain UTC, which costs no zone: for dates that are only compared.
QDateTime utcDateOf(qint64 milliseconds)
{
    return milliseconds == kNoDate ? QDateTime() : QDateTime::fromMSecsSinceEpoch(milliseconds, Qt::UTC);
}

// The zone the times were written in: the system's (floating and all-day times), UTC, or one named.
QByteArray encodeZone(const icaltimetype &start)
{
    if (start.is_date || (!start.zone && !icaltime_is_utc(start)))
        return "S";
    return icaltime_is_utc(start) ? QByteArray("U") : 'N' + icalcodec::timeZoneOf(start).id();
}

bool isZoneText(QByteArrayView zone)
{
    return isByte(zone, 'S') || isByte(zone, 'U') ||
           (zone.startsWith('N') && QTimeZone::isTimeZoneIdAvailable(zone.sliced(1).toByteArray()));
}

bool isZoneField(QByteArrayView field)
{
    return icalindex::holdsByte(field, '%') ? isZoneText(decoded(field)) : isZoneText(field);
}

// A zone field isZoneField took.
QTimeZone zoneOf(const QByteArray &field)
{
    if (field == "S")
        return QTimeZone::systemTimeZone();
    return field == "U" ? icalcodec::utcZone() : QTimeZone(field.mid(1));
}

// An offset of whole seconds, as alarms nearly always have, is written as an integer: for every such
// number below 10^15 that is the text the seventeen digits of 'g' give (a negative zero included, which
// both write "0"), at a fraction of the cost.
QByteArray encodeOffset(double offset)
{
    if (std::abs(offset) < 1e15 && offset == std::trunc(offset))
        return QByteArray::number(qint64(offset));
    return QByteArray::number(offset, 'g', 17);
}

QByteArray encodeAlarms(const QList<EKAlarm> &alarms)
{
    QByteArrayList parts;
    for (const EKAlarm &alarm : alarms) {
        parts.append(alarm.absoluteDate().isValid() ? 'a' + encodeDate(alarm.absoluteDate())
                                                    : 'r' + encodeOffset(alarm.relativeOffset()));
    }
    return parts.join(';');
}

// An alarm at a date (milliseconds since 1970) or at an offset from the start.
struct AlarmField
{
    std::optional<qint64> date;
    double offset = 0;
};

// An offset of whole seconds (an optional minus, then at most fifteen digits, as alarms nearly always
// have) is read as an integer: every such number is a double exactly, the one toDouble gives. Any
// other text is read by toDouble.
std::optional<double> offsetOf(QByteArrayView text)
{
    const bool isNegative = text.startsWith('-');
    const QByteArrayView digits = isNegative ? text.sliced(1) : text;
    qint64 value = 0;
    // Negated as a double: "-0" stays the negative zero toDouble reads.
    if (digits.size() <= 15 && !digits.startsWith('-') && icalindex::readDecimal(digits, value))
        return isNegative ? -double(value) : double(value);
    bool isNumber = false;
    const double offset = text.toDouble(&isNumber);
    return isNumber && std::isfinite(offset) ? std::optional<double>(offset) : std::nullopt;
}

std::optional<AlarmField> alarmFieldOf(QByteArrayView part)
{
    if (part.startsWith('a')) {
        qint64 date = kNoDate;
        const bool isRead = readMilliseconds(part.sliced(1), date);
        return isRead && date != kNoDate ? std::optional<AlarmField>(AlarmField{date, 0}) : std::nullopt;
    }
    const std::optional<double> offset = part.startsWith('r') ? offsetOf(part.sliced(1)) : std::nullopt;
    return offset ? std::optional<AlarmField>(AlarmField{std::nullopt, *offset}) : std::nullopt;
}

// Hands each alarm of the field (alarms separated by semicolons) to the visitor; false when one is
// damaged or there are too many.
template <typename Visit> bool visitAlarms(QByteArrayView field, const Visit &visit)
{
    qsizetype count = 0;
    for (qsizetype start = 0; !field.isEmpty() && start <= field.size(); ++count) {
        const qsizetype semicolon = field.indexOf(';', start);
        const qsizetype end = semicolon < 0 ? field.size() : semicolon;
        const std::optional<AlarmField> alarm =
            count < kMaxAlarms ? alarmFieldOf(field.sliced(start, end - start)) : std::nullopt;
        if (!alarm)
            return false;
        visit(*alarm);
        start = end + 1;
    }
    return true;
}

bool areAlarms(QByteArrayView field)
{
    if (icalindex::holdsByte(field, '%'))
        return visitAlarms(decoded(field), [](const AlarmField &) {});
    return visitAlarms(field, [](const AlarmField &) {});
}

// The alarms of a field areAlarms took.
QList<EKAlarm> alarmsOf(QByteArrayView field)
{
    QList<EKAlarm> alarms;
    visitAlarms(decoded(field), [&](const AlarmField &alarm) {
        alarms.append(alarm.date ? EKAlarm::alarmWithAbsoluteDate(dateOf(*alarm.date))
                                 : EKAlarm::alarmWithRelativeOffset(alarm.offset));
    });
    return alarms;
}

// The fields of a whole listed text of ours read in this system time zone, where they stand, and
// its dates in milliseconds. Every field is checked: a text that is not whole and ours tells no
// event. Texts, the zone and the alarms are decoded by those that need them.
struct CheckedFields
{
    ListedFields fields;
    qint64 created = kNoDate, modified = kNoDate, start = kNoDate, end = kNoDate;
};

// The start and end: both read, and present.
bool readTimes(const ListedFields &fields, qint64 &start, qint64 &end)
{
    return readMilliseconds(fields[9], start) && start != kNoDate && readMilliseconds(fields[10], end) &&
           end != kNoDate;
}

// Every field of a text whose times were read but those two.
// An event not changed since it was made is written with its change date the same as its creation
// date: the same digits are compared, not read again.
bool readModified(CheckedFields &checked)
{
    const ListedFields &fields = checked.fields;
    if (fields[6] == fields[5]) {
        checked.modified = checked.created;
        return true;
    }
    return readMilliseconds(fields[6], checked.modified);
}

bool areOtherFieldsOurs(CheckedFields &checked)
{
    const ListedFields &fields = checked.fields;
    const bool areDatesRead = readMilliseconds(fields[5], checked.created) && readModified(checked);
    // A UID is present and not empty: something stands after its mark.
    const bool hasUid = isTextField(fields[1]) && fields[1].size() > (fields[1].startsWith('+') ? 1 : 3);
    return hasUid && isTextField(fields[2]) && isTextField(fields[3]) && isTextField(fields[4]) && areDatesRead &&
           (isByte(fields[7], '0') || isByte(fields[7], '1')) && isZoneField(fields[8]) && areAlarms(fields[11]);
}

bool readCheckedFields(QByteArrayView listed, const QByteArray &zoneField, CheckedFields &checked)
{
    return readFields(listed, checked.fields) && checked.fields[0] == zoneField &&
           readTimes(checked.fields, checked.start, checked.end) && areOtherFieldsOurs(checked);
}

// The only item of the calendar, when it is an event that stands alone.
icalcomponent *singleEventOf(icalcomponent *calendar)
{
    icalcomponent *single = nullptr;
    for (icalcomponent *item = calendar ? icalcomponent_get_first_component(calendar, ICAL_ANY_COMPONENT) : nullptr;
         item; item = icalcomponent_get_next_component(calendar, ICAL_ANY_COMPONENT)) {
        const icalcomponent_kind kind = icalcomponent_isa(item);
        if (kind == ICAL_VTODO_COMPONENT || kind == ICAL_VJOURNAL_COMPONENT ||
            (kind == ICAL_VEVENT_COMPONENT && single))
            return nullptr;
        if (kind == ICAL_VEVENT_COMPONENT)
            single = item;
    }
    const bool standsAlone =
        single && icalcomponent_get_uid(single) && !icaltime_is_null_time(icalcomponent_get_dtstart(single));
    for (const icalproperty_kind kind : {ICAL_RRULE_PROPERTY, ICAL_RDATE_PROPERTY, ICAL_EXDATE_PROPERTY,
                                         ICAL_EXRULE_PROPERTY, ICAL_RECURRENCEID_PROPERTY}) {
        if (!standsAlone || icalcomponent_get_first_property(single, kind))
            return nullptr;
    }
    return single;
}

} // namespace

// The listed text is read from the item's properties as reading the event would give them, without
// making the event: a single event has no rules to read, and its texts are taken as libical holds them.
QByteArray listedEventOf(icalcomponent *calendar)
{
    icalcomponent *item = singleEventOf(calendar);
    if (!item)
        return QByteArray();
    const icaltimetype start = icalcomponent_get_dtstart(item);
    const std::optional<qint64> startSeconds = icalcodec::secondsFromIcalTime(start);
    if (!startSeconds)
        return QByteArray();
    const qint64 length = icalcodec::lengthSeconds(item);
    const QByteArrayList fields{QTimeZone::systemTimeZone().id(),
                                encodeItemText(icalcomponent_get_uid(item)),
                                encodeItemText(icalcomponent_get_summary(item)),
                                encodeItemText(icalcomponent_get_description(item)),
                                encodeItemText(icalcomponent_get_location(item)),
                                encodePropertyDate(item, ICAL_CREATED_PROPERTY),
                                encodePropertyDate(item, ICAL_LASTMODIFIED_PROPERTY),
                                QByteArray(start.is_date ? "1" : "0"),
                                encodeZone(start),
                                encodeSeconds(*startSeconds),
                                encodeSeconds(*startSeconds + length),
                                encodeAlarms(icalcodec::readAlarms(item, length))};
    return joinedEncoded(fields);
}

QByteArray systemZoneField()
{
    return QTimeZone::systemTimeZone().id().toPercentEncoding();
}

std::shared_ptr<EKEvent> eventFromListed(QByteArrayView listed, const QByteArray &zoneField)
{
    CheckedFields checked;
    if (!readCheckedFields(listed, zoneField, checked))
        return nullptr;
    const ListedFields &fields = checked.fields;
    auto event = std::make_shared<EKEvent>(zoneOf(decoded(fields[8])));
    event->setCalendarItemIdentifier(textOf(textBytesOf(fields[1])));
    event->setTitle(textOf(textBytesOf(fields[2])));
    event->setNotes(textOf(textBytesOf(fields[3])));
    event->setLocation(textOf(textBytesOf(fields[4])));
    event->setCreationDate(dateOf(checked.created));
    event->setLastModifiedDate(dateOf(checked.modified));
    event->setAllDay(fields[7] == "1");
    event->setStartDate(dateOf(checked.start));
    event->setEndDate(dateOf(checked.end));
    event->setAlarms(alarmsOf(fields[11]));
    event->setOccurrence(dateOf(checked.start), false);
    return event;
}

namespace {

ListedField fieldWithin(QByteArrayView listed, QByteArrayView field)
{
    return {quint16(field.data() - listed.data()), quint16(field.size())};
}

// Floating and all-day times depend on the zone they were read in: a text read in another is not
// believed. The look is what eventFromListed would give, when the match takes its identifier.
template <typename Match>
std::optional<ListedReading> readWith(QByteArrayView listed, const QByteArray &zoneField, const Match &isIdentifier)
{
    CheckedFields checked;
    const ListedFields &fields = checked.fields;
    if (!readFields(listed, checked.fields) || fields[0] != zoneField || !readTimes(fields, checked.start, checked.end))
        return std::nullopt;
    ListedReading reading{checked.start, checked.end};
    if (!areOtherFieldsOurs(checked) || !isMatchingText(fields[1], isIdentifier))
        return reading;
    reading.lastModified = checked.modified;
    reading.hasLastModified = checked.modified != kNoDate;
    reading.title = fieldWithin(listed, fields[2]);
    reading.notes = fieldWithin(listed, fields[3]);
    reading.hasLook = true;
    return reading;
}

// The text of a field isTextField took, nothing for an absent one; one holding escapes is decoded to
// out, which moves past it.
ListedText textAt(QByteArrayView listed, ListedField field, char *&out)
{
    const QByteArrayView marked = listed.sliced(field.at, field.size);
    if (isByte(marked, '-'))
        return ListedText();
    const QByteArrayView text = markedTextOf(marked);
    if (!icalindex::holdsByte(text, '%'))
        return QByteArray::fromRawData(text.data(), text.size());
    const qsizetype length = icalindex::percentDecode(text, out);
    const QByteArray decoded = QByteArray::fromRawData(out, length);
    out += length;
    return decoded;
}

} // namespace

std::optional<ListedReading> readListed(QByteArrayView listed, QStringView identifier, const QByteArray &zoneField)
{
    return readWith(listed, zoneField, [identifier](QByteArrayView text) {
        const bool isAscii = std::all_of(text.begin(), text.end(), [](char byte) { return uchar(byte) < 0x80; });
        return isAscii ? QLatin1StringView(text) == identifier : QString::fromUtf8(text) == identifier;
    });
}

// UTF-8 of equal texts is equal byte for byte.
std::optional<ListedReading> readListedUtf8(QByteArrayView listed, QByteArrayView identifier,
                                            const QByteArray &zoneField)
{
    return readWith(listed, zoneField, [identifier](QByteArrayView text) { return text == identifier; });
}

// The decoded texts are no longer than their fields, which lie within the listed text.
std::optional<ListedLook> lookOf(QByteArrayView listed, const ListedReading &reading, QByteArray &scratch)
{
    if (!reading.hasLook)
        return std::nullopt;
    scratch.resize(listed.size());
    char *out = scratch.data();
    ListedLook look{reading.start, reading.end, utcDateOf(reading.hasLastModified ? reading.lastModified : kNoDate),
                    textAt(listed, reading.title, out), textAt(listed, reading.notes, out)};
    const auto isSound = [](const ListedText &text) { return !text || QByteArrayView(*text).isValidUtf8(); };
    return isSound(look.title) && isSound(look.notes) ? std::optional<ListedLook>(std::move(look)) : std::nullopt;
}

} // namespace platform::icallisted
