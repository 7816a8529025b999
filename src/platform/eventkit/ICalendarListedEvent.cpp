#include "platform/eventkit/ICalendarListedEvent.h"

#include "platform/eventkit/EKEvent.h"
#include "platform/eventkit/ICalendarCodec.h"

#include <QTimeZone>

#include <array>
#include <cmath>
#include <optional>

#include <libical/ical.h>

namespace platform::icallisted {

namespace {

constexpr qsizetype kFieldCount = 12;
constexpr qsizetype kMaxAlarms = 64;

// A null text and an empty one differ: each is kept with a mark before it.
QByteArray encodeText(const QString &text)
{
    return text.isNull() ? QByteArray("-") : '+' + text.toUtf8();
}

using ListedFields = std::array<QByteArrayView, kFieldCount>;

// The zone a parse gives UTC times in; made once, as every listed event reads several dates in it.
const QTimeZone &utcZone()
{
    static const QTimeZone utc = QTimeZone::utc();
    return utc;
}

// The comma-separated fields where they stand; nothing when the text is too long or has another
// number of fields.
std::optional<ListedFields> fieldsOf(const QByteArray &listed)
{
    if (listed.size() > kMaxListedBytes)
        return std::nullopt;
    const QByteArrayView text(listed);
    ListedFields fields;
    qsizetype start = 0;
    for (QByteArrayView &field : fields) {
        if (start > text.size())
            return std::nullopt;
        const qsizetype comma = text.indexOf(',', start);
        const qsizetype end = comma < 0 ? text.size() : comma;
        field = text.sliced(start, end - start);
        start = end + 1;
    }
    if (start != text.size() + 1)
        return std::nullopt;
    return fields;
}

// Only a field holding an escape is decoded; dates and marks are written as they are.
QByteArray decoded(QByteArrayView field)
{
    return field.contains('%') ? QByteArray::fromPercentEncoding(field.toByteArray()) : field.toByteArray();
}

// A text without escapes, the most of them, is read where it stands.
std::optional<QString> decodeText(QByteArrayView field)
{
    if (field == "-")
        return QString();
    if (!field.contains('%'))
        return field.startsWith('+') ? std::optional<QString>(QString::fromUtf8(field.sliced(1))) : std::nullopt;
    const QByteArray text = decoded(field);
    if (!text.startsWith('+'))
        return std::nullopt;
    return QString::fromUtf8(QByteArrayView(text).sliced(1));
}

QByteArray encodeDate(const QDateTime &date)
{
    return date.isValid() ? QByteArray::number(date.toMSecsSinceEpoch()) : QByteArray();
}

std::optional<QDateTime> decodeDate(QByteArrayView field)
{
    if (field.isEmpty())
        return QDateTime();
    bool isNumber = false;
    const qint64 milliseconds = field.toLongLong(&isNumber);
    if (!isNumber)
        return std::nullopt;
    const QDateTime date = QDateTime::fromMSecsSinceEpoch(milliseconds, utcZone());
    return date.isValid() ? std::optional<QDateTime>(date) : std::nullopt;
}

// The zone the times were written in: the system's (floating and all-day times), UTC, or one named.
QByteArray encodeZone(const icaltimetype &start, const QTimeZone &zone)
{
    if (start.is_date || (!start.zone && !icaltime_is_utc(start)))
        return "S";
    return icaltime_is_utc(start) ? QByteArray("U") : 'N' + zone.id();
}

std::optional<QTimeZone> decodeZone(const QByteArray &field)
{
    if (field == "S")
        return QTimeZone::systemTimeZone();
    if (field == "U")
        return utcZone();
    if (!field.startsWith('N') || !QTimeZone::isTimeZoneIdAvailable(field.mid(1)))
        return std::nullopt;
    return QTimeZone(field.mid(1));
}

QByteArray encodeAlarms(const QList<EKAlarm> &alarms)
{
    QByteArrayList parts;
    for (const EKAlarm &alarm : alarms) {
        parts.append(alarm.absoluteDate().isValid() ? 'a' + encodeDate(alarm.absoluteDate())
                                                    : 'r' + QByteArray::number(alarm.relativeOffset(), 'g', 17));
    }
    return parts.join(';');
}

std::optional<EKAlarm> decodeAlarm(QByteArrayView part)
{
    if (part.isEmpty())
        return std::nullopt;
    bool isNumber = false;
    const double offset = part.sliced(1).toDouble(&isNumber);
    const std::optional<QDateTime> date = part.startsWith('a') ? decodeDate(part.sliced(1)) : std::nullopt;
    if (date && date->isValid())
        return EKAlarm::alarmWithAbsoluteDate(*date);
    if (part.startsWith('r') && isNumber && std::isfinite(offset))
        return EKAlarm::alarmWithRelativeOffset(offset);
    return std::nullopt;
}

// The alarms separated by semicolons, read where they stand.
std::optional<QList<EKAlarm>> decodeAlarms(QByteArrayView field)
{
    QList<EKAlarm> alarms;
    for (qsizetype start = 0; !field.isEmpty() && start <= field.size();) {
        const qsizetype semicolon = field.indexOf(';', start);
        const qsizetype end = semicolon < 0 ? field.size() : semicolon;
        const std::optional<EKAlarm> alarm =
            alarms.size() < kMaxAlarms ? decodeAlarm(field.sliced(start, end - start)) : std::nullopt;
        if (!alarm)
            return std::nullopt;
        alarms.append(*alarm);
        start = end + 1;
    }
    return alarms;
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

QByteArray listedEventOf(icalcomponent *calendar)
{
    icalcomponent *item = singleEventOf(calendar);
    if (!item)
        return QByteArray();
    EKEvent event;
    icalcodec::readEvent(item, event);
    if (!event.startDate().isValid() || event.hasRecurrenceRules())
        return QByteArray();
    const QByteArrayList fields{QTimeZone::systemTimeZone().id(),
                                encodeText(event.calendarItemIdentifier()),
                                encodeText(event.title()),
                                encodeText(event.notes()),
                                encodeText(event.location()),
                                encodeDate(event.creationDate()),
                                encodeDate(event.lastModifiedDate()),
                                QByteArray(event.isAllDay() ? "1" : "0"),
                                encodeZone(icalcomponent_get_dtstart(item), event.timeZone()),
                                encodeDate(event.startDate()),
                                encodeDate(event.endDate()),
                                encodeAlarms(event.alarms())};
    QByteArrayList encoded;
    for (const QByteArray &field : fields)
        encoded.append(field.toPercentEncoding());
    const QByteArray listed = encoded.join(',');
    return listed.size() <= kMaxListedBytes ? listed : QByteArray();
}

QByteArray systemZoneField()
{
    return QTimeZone::systemTimeZone().id().toPercentEncoding();
}

// Floating and all-day times depend on the zone they were read in: a text read in another is
// not believed.
std::optional<ListedTimes> listedTimesOf(const QByteArray &listed, const QByteArray &zoneField)
{
    const std::optional<ListedFields> fields = fieldsOf(listed);
    if (!fields || (*fields)[0] != zoneField)
        return std::nullopt;
    const std::optional<QDateTime> start = decodeDate((*fields)[9]);
    const std::optional<QDateTime> end = decodeDate((*fields)[10]);
    if (!start || !start->isValid() || !end || !end->isValid())
        return std::nullopt;
    return ListedTimes{*start, *end};
}

// Every field is checked: a text that is not whole and ours is no event.
std::shared_ptr<EKEvent> eventFromListed(const QByteArray &listed, const QByteArray &zoneField)
{
    const std::optional<ListedFields> read = fieldsOf(listed);
    if (!read || (*read)[0] != zoneField)
        return nullptr;
    const ListedFields &fields = *read;
    const std::optional<QString> uid = decodeText(fields[1]), title = decodeText(fields[2]),
                                 notes = decodeText(fields[3]), location = decodeText(fields[4]);
    const std::optional<QDateTime> created = decodeDate(fields[5]), modified = decodeDate(fields[6]),
                                   start = decodeDate(fields[9]), end = decodeDate(fields[10]);
    const std::optional<QTimeZone> zone = decodeZone(decoded(fields[8]));
    const std::optional<QList<EKAlarm>> alarms = decodeAlarms(decoded(fields[11]));
    const bool isWhole = uid && !uid->isEmpty() && title && notes && location && created && modified && start &&
                         start->isValid() && end && end->isValid() && zone && alarms &&
                         (fields[7] == "0" || fields[7] == "1");
    if (!isWhole)
        return nullptr;
    auto event = std::make_shared<EKEvent>();
    event->setCalendarItemIdentifier(*uid);
    event->setTitle(*title);
    event->setNotes(*notes);
    event->setLocation(*location);
    event->setCreationDate(*created);
    event->setLastModifiedDate(*modified);
    event->setAllDay(fields[7] == "1");
    event->setTimeZone(*zone);
    event->setStartDate(*start);
    event->setEndDate(*end);
    event->setAlarms(*alarms);
    event->setOccurrence(*start, false);
    return event;
}

} // namespace platform::icallisted
