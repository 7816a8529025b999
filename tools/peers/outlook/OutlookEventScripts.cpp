// The simulated Outlook's event scripts: the properties of one event (its id, start, end, iCalendar
// export, plain-text note and categories) and the queries about a modified occurrence and its series.
// The export is written in the line forms Outlook writes (see README.md).

#include "OutlookEventScripts.h"

#include <QJsonArray>
#include <QTimeZone>

namespace outlookpeer {

namespace {

QString field(const QJsonObject &fields, const char *key)
{
    return fields.value(QLatin1String(key)).toString();
}

QDateTime instant(const QJsonObject &fields, const char *key)
{
    return QDateTime::fromString(field(fields, key), Qt::ISODate);
}

// The zone name Outlook writes for a system zone.
QString outlookZoneName(const QString &zone)
{
    static const QHash<QString, QString> names{{QStringLiteral("America/Los_Angeles"), QStringLiteral("US/Pacific")},
                                               {QStringLiteral("America/Denver"), QStringLiteral("US/Mountain")},
                                               {QStringLiteral("America/Chicago"), QStringLiteral("US/Central")},
                                               {QStringLiteral("America/New_York"), QStringLiteral("US/Eastern")}};
    return names.value(zone, zone);
}

QTimeZone zoneOf(const PeerRecord &record)
{
    const QString name = field(record.fields, "zone");
    const QTimeZone zone(name.isEmpty() ? QByteArray("UTC") : name.toUtf8());
    return zone.isValid() ? zone : QTimeZone::utc();
}

QString offsetText(int seconds)
{
    const int minutes = std::abs(seconds) / 60;
    return QStringLiteral("%1%2%3")
        .arg(QChar(seconds < 0 ? u'-' : u'+'))
        .arg(minutes / 60, 2, 10, QLatin1Char('0'))
        .arg(minutes % 60, 2, 10, QLatin1Char('0'));
}

// One zone part (STANDARD or DAYLIGHT) from the year's transition into it.
QString zonePart(const char *name, const QTimeZone::OffsetData &into, int offsetBefore)
{
    const QDateTime local = into.atUtc.toOffsetFromUtc(offsetBefore);
    const QDate day = local.date();
    const int ordinal = day.day() + 7 > day.daysInMonth() ? -1 : (day.day() - 1) / 7 + 1;
    static const char *const codes[] = {"MO", "TU", "WE", "TH", "FR", "SA", "SU"};
    return QStringLiteral("BEGIN:%1\r\nDTSTART:1601%2T%3\r\nRRULE:FREQ=YEARLY;BYDAY=%4%5;BYMONTH=%6\r\nTZOFFSETFROM:%7\r\n"
                          "TZOFFSETTO:%8\r\nEND:%1\r\n")
        .arg(QLatin1String(name), local.toString(QStringLiteral("MMdd")), local.toString(QStringLiteral("HHmmss")))
        .arg(ordinal)
        .arg(QLatin1String(codes[day.dayOfWeek() - 1]))
        .arg(day.month())
        .arg(offsetText(offsetBefore), offsetText(into.offsetFromUtc));
}

// The zone block of the event's year: both parts with their rules, or STANDARD alone.
QString zoneBlock(const QTimeZone &zone, const QString &name, const QDateTime &at)
{
    QString text = QStringLiteral("BEGIN:VTIMEZONE\r\nTZID:%1\r\n").arg(name);
    const int year = at.toTimeZone(zone).date().year();
    const QTimeZone::OffsetDataList changes =
        zone.hasTransitions() ? zone.transitions(QDateTime(QDate(year, 1, 1), QTime(0, 0), QTimeZone::utc()),
                                                 QDateTime(QDate(year, 12, 31), QTime(23, 59), QTimeZone::utc()))
                              : QTimeZone::OffsetDataList();
    QString standard;
    QString daylight;
    for (const QTimeZone::OffsetData &change : changes) {
        const int before = zone.offsetFromUtc(change.atUtc.addSecs(-1));
        if (change.daylightTimeOffset > 0 && daylight.isEmpty())
            daylight = zonePart("DAYLIGHT", change, before);
        else if (change.daylightTimeOffset == 0 && standard.isEmpty())
            standard = zonePart("STANDARD", change, before);
    }
    if (standard.isEmpty() || daylight.isEmpty()) {
        const QString offset = offsetText(zone.standardTimeOffset(at));
        return text + QStringLiteral("BEGIN:STANDARD\r\nDTSTART:16010101T000000\r\nTZOFFSETFROM:%1\r\nTZOFFSETTO:%1\r\n"
                                     "END:STANDARD\r\nEND:VTIMEZONE\r\n").arg(offset);
    }
    return text + standard + daylight + QStringLiteral("END:VTIMEZONE\r\n");
}

QString escaped(QString text)
{
    text.replace(QStringLiteral("\\"), QStringLiteral("\\\\"));
    text.replace(QStringLiteral(","), QStringLiteral("\\,")).replace(QStringLiteral(";"), QStringLiteral("\\;"));
    // Outlook writes a line break of a note as two escaped line feeds.
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n")).replace(QStringLiteral("\n"), QStringLiteral("\\n\\n"));
    return text;
}

// Lines longer than 75 octets go on in continuation lines that begin with a space.
QString folded(const QString &line)
{
    QString out;
    qsizetype octets = 0;
    for (const QChar c : line) {
        const qsizetype size = c.unicode() < 0x80 ? 1 : (c.unicode() < 0x800 || c.isLowSurrogate() ? 2 : 3);
        if (octets + size > 75 && !c.isLowSurrogate()) {
            out += QStringLiteral("\r\n ");
            octets = 1;
        }
        out += c;
        octets += size;
    }
    return out + QStringLiteral("\r\n");
}

QString localValue(const QDateTime &date, const QTimeZone &zone)
{
    return date.toTimeZone(zone).toString(QStringLiteral("yyyyMMdd'T'HHmmss"));
}

QString dateLines(const PeerRecord &record, const QTimeZone &zone, const QString &zoneName)
{
    const QDateTime end = instant(record.fields, "end");
    QString text;
    if (record.fields.value(QStringLiteral("allDay")).toBool()) {
        text += QStringLiteral("DTSTART;VALUE=DATE:%1\r\n").arg(record.start.toTimeZone(zone).toString(QStringLiteral("yyyyMMdd")));
        text += QStringLiteral("DTEND;VALUE=DATE:%1\r\n").arg(end.toTimeZone(zone).toString(QStringLiteral("yyyyMMdd")));
    } else {
        text += QStringLiteral("DTSTART;TZID=\"%1\":%2\r\n").arg(zoneName, localValue(record.start, zone));
        text += QStringLiteral("DTEND;TZID=\"%1\":%2\r\n").arg(zoneName, localValue(end, zone));
    }
    const QString rule = field(record.fields, "rrule");
    if (!rule.isEmpty())
        text += QStringLiteral("RRULE:%1\r\n").arg(rule);
    for (const QJsonValue &date : record.fields.value(QStringLiteral("exdates")).toArray())
        text += QStringLiteral("EXDATE;TZID=\"%1\":%2\r\n").arg(zoneName, localValue(QDateTime::fromString(date.toString(), Qt::ISODate), zone));
    if (record.master != 0)
        text += QStringLiteral("RECURRENCE-ID;TZID=\"%1\":%2\r\n").arg(zoneName, localValue(instant(record.fields, "recurrenceId"), zone));
    return text;
}

QString peopleLines(const PeerRecord &record)
{
    QString text;
    if (!field(record.fields, "organizer").isEmpty())
        text += folded(QStringLiteral("ORGANIZER;CN=\"%1\":MAILTO:%1").arg(field(record.fields, "organizer")));
    for (const QJsonValue &value : record.fields.value(QStringLiteral("attendees")).toArray()) {
        const QJsonObject attendee = value.toObject();
        text += folded(QStringLiteral("ATTENDEE;CN=\"%1\";RSVP=TRUE:MAILTO:%2").arg(field(attendee, "name"), field(attendee, "address")));
    }
    return text;
}

QString alarmLines(const PeerRecord &record)
{
    if (!record.fields.contains(QStringLiteral("alarm")))
        return QString();
    const qint64 minutes = record.fields.value(QStringLiteral("alarm")).toInteger();
    return QStringLiteral("BEGIN:VALARM\r\nTRIGGER;RELATED=START:-PT%1H%2M0S\r\nACTION:DISPLAY\r\nDESCRIPTION:Reminder\r\nEND:VALARM\r\n")
        .arg(minutes / 60)
        .arg(minutes % 60);
}

std::optional<PeerRecord> eventOf(const QList<ScriptValue> &captures, ScriptContext &context, bool master)
{
    std::optional<PeerRecord> record = context.store.record(RecordKind::Event, captures.value(1).integer);
    if (record && master)
        record = record->master != 0 ? context.store.record(RecordKind::Event, record->master) : std::nullopt;
    return record;
}

ScriptOutcome missing(const QList<ScriptValue> &captures)
{
    return ScriptOutcome::error(kErrorNoSuchObject, QStringLiteral("Can't get calendar event id %1.").arg(captures.value(1).integer));
}

using Answer = std::function<Descriptor(const PeerRecord &, ScriptContext &)>;

void addQuery(QList<ScriptForm> &forms, const QString &query, bool ofMaster, const Answer &answer)
{
    const QString text = QStringLiteral("tell application \u00ABA\u00BB\nreturn the %1 of %2calendar event id \u00ABI\u00BB\nend tell")
                             .arg(query, ofMaster ? QStringLiteral("the master of ") : QString());
    forms.append({QStringLiteral("occurrence"), text, [ofMaster, answer](const QList<ScriptValue> &captures, ScriptContext &context) {
                      const std::optional<PeerRecord> record = eventOf(captures, context, ofMaster);
                      return record ? ScriptOutcome{answer(*record, context)} : missing(captures);
                  }});
}

Descriptor zoneOffset(const PeerRecord &record)
{
    Descriptor zone = Descriptor::record();
    zone.set(code("pOff"), Descriptor::text(QString::number(zoneOf(record).offsetFromUtc(record.start))));
    return zone;
}

} // namespace

Descriptor eventProperties(const PeerRecord &record, const OutlookStore &store)
{
    Descriptor properties = Descriptor::record();
    properties.set(code("pcls"), Descriptor::typeCode(code("cEvt")));
    properties.set(code("ID  "), Descriptor::integer(qint32(record.id)));
    properties.set(code("subj"), Descriptor::text(field(record.fields, "subject")));
    properties.set(code("offs"), Descriptor::date(record.start));
    properties.set(code("endT"), Descriptor::date(instant(record.fields, "end")));
    properties.set(code("iCal"), Descriptor::text(eventICalendar(record, store)));
    properties.set(code("PlTC"), Descriptor::text(field(record.fields, "note")));
    Descriptor categories = Descriptor::list();
    for (const QJsonValue &id : record.fields.value(QStringLiteral("categories")).toArray())
        categories.append(Descriptor::objectSpecifier(code("ctgy"), qint32(id.toInteger())));
    properties.set(code("cCtg"), categories);
    return properties;
}

QString eventICalendar(const PeerRecord &record, const OutlookStore &)
{
    const QTimeZone zone = zoneOf(record);
    const QString zoneName = outlookZoneName(QString::fromUtf8(zone.id()));
    const QJsonObject &f = record.fields;
    QString text = QStringLiteral("BEGIN:VCALENDAR\r\nPRODID:-//Microsoft Corporation//Outlook for Mac MIMEDIR//EN\r\nVERSION:2.0\r\n");
    text += zoneBlock(zone, zoneName, record.start);
    text += QStringLiteral("BEGIN:VEVENT\r\n");
    text += folded(QStringLiteral("UID:%1").arg(field(f, "guid").isEmpty() ? QStringLiteral("peer-event-%1").arg(record.id) : field(f, "guid")));
    text += folded(QStringLiteral("SUMMARY:%1").arg(escaped(field(f, "subject"))));
    if (!field(f, "location").isEmpty())
        text += folded(QStringLiteral("LOCATION:%1").arg(escaped(field(f, "location"))));
    text += folded(QStringLiteral("DESCRIPTION:%1").arg(field(f, "note").isEmpty() ? QStringLiteral("\\n") : escaped(field(f, "note"))));
    text += dateLines(record, zone, zoneName);
    text += QStringLiteral("X-MICROSOFT-CDO-ALLDAYEVENT:%1\r\n").arg(f.value(QStringLiteral("allDay")).toBool() ? "TRUE" : "FALSE");
    text += QStringLiteral("CLASS:%1\r\n").arg(f.value(QStringLiteral("private")).toBool() ? "PRIVATE" : "PUBLIC");
    const QString busy = field(f, "busy").toUpper();
    text += QStringLiteral("X-MICROSOFT-CDO-BUSYSTATUS:%1\r\n").arg(busy.isEmpty() ? QStringLiteral("BUSY") : busy);
    text += peopleLines(record);
    text += QStringLiteral("CFTIMEZONE:%1\r\n").arg(zoneName);
    text += alarmLines(record);
    return text + QStringLiteral("END:VEVENT\r\nEND:VCALENDAR\r\n");
}

void addEventForms(QList<ScriptForm> &forms)
{
    forms.append({QStringLiteral("event properties"),
                  QStringLiteral("tell application \u00ABA\u00BB\nset theEvents to the properties of calendar event id \u00ABI\u00BB of "
                                 "application \u00ABA\u00BB\nreturn theEvents\nend tell"),
                  [](const QList<ScriptValue> &captures, ScriptContext &context) {
                      const std::optional<PeerRecord> record = eventOf(captures, context, false);
                      return record ? ScriptOutcome{eventProperties(*record, context.store)} : missing(captures);
                  }});
    addQuery(forms, QStringLiteral("recurrence id"), false, [](const PeerRecord &record, ScriptContext &) {
        return Descriptor::date(instant(record.fields, "recurrenceId"));
    });
    addQuery(forms, QStringLiteral("id"), true, [](const PeerRecord &record, ScriptContext &) {
        return Descriptor::integer(qint32(record.id));
    });
    addQuery(forms, QStringLiteral("properties"), true, [](const PeerRecord &record, ScriptContext &context) {
        return eventProperties(record, context.store);
    });
    addQuery(forms, QStringLiteral("timezone"), true, [](const PeerRecord &record, ScriptContext &) { return zoneOffset(record); });
    addQuery(forms, QStringLiteral("timezone"), false, [](const PeerRecord &record, ScriptContext &) { return zoneOffset(record); });
    addQuery(forms, QStringLiteral("start time"), false, [](const PeerRecord &record, ScriptContext &) {
        return Descriptor::date(record.start);
    });
}

} // namespace outlookpeer
