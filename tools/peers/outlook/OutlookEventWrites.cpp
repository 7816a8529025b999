// The simulated Outlook's event writes: an event made from a properties record (with its recurrence
// record), an event's properties set (a time zone keeps the wall-clock times), moved into a calendar
// (keeping its id), its categories set, attendees made and deleted by position, and iCalendar files
// imported (see OutlookIcsImport.cpp). Also the listings the writers read: every event's properties
// (the duplicate test), an event's note, its attendees and its iCalendar data.

#include "OutlookEventWrites.h"

#include "OutlookEventScripts.h"
#include "OutlookRecordClassScripts.h"

#include <QJsonArray>
#include <QTimeZone>

namespace outlookpeer {

namespace {

constexpr int kMaxAttendeeDeletions = 40;

const QString kTell = QStringLiteral("tell application \u00ABA\u00BB\n");
const QString kEnd = QStringLiteral("\nend tell");

// A properties record's time references: the script's startTime and endTime.
struct Times
{
    std::optional<QDateTime> start;
    std::optional<QDateTime> end;
};

std::optional<QString> textOf(const ScriptValue &value)
{
    if (value.kind == ScriptValue::Kind::Text || value.kind == ScriptValue::Kind::Enumeration)
        return value.text;
    if (value.kind == ScriptValue::Kind::Boolean)
        return value.boolean ? QStringLiteral("true") : QStringLiteral("false");
    if (value.kind == ScriptValue::Kind::Integer)
        return QString::number(value.integer);
    if (value.kind == ScriptValue::Kind::Real)
        return QString::number(value.real);
    return std::nullopt;
}

// A boolean written bare or quoted.
std::optional<bool> booleanOf(const ScriptValue &value)
{
    if (value.kind == ScriptValue::Kind::Boolean)
        return value.boolean;
    if (value.kind == ScriptValue::Kind::Text && (value.text == u"true" || value.text == u"false"))
        return value.text == u"true";
    return std::nullopt;
}

std::optional<QDateTime> dateOf(const ScriptValue &value, const Times &times)
{
    if (value.kind == ScriptValue::Kind::Date)
        return value.date;
    if (value.kind == ScriptValue::Kind::Enumeration && value.text == u"startTime")
        return times.start;
    if (value.kind == ScriptValue::Kind::Enumeration && value.text == u"endTime")
        return times.end;
    return std::nullopt;
}

const ScriptValue *fieldOf(const ScriptValue &record, const char *label)
{
    for (const auto &[name, value] : record.fields) {
        if (name == QLatin1String(label))
            return &value;
    }
    return nullptr;
}

QTimeZone zoneOfFields(const QJsonObject &fields)
{
    const QTimeZone zone(fields.value(QStringLiteral("zone")).toString().toUtf8());
    return zone.isValid() ? zone : QTimeZone::utc();
}

// The recurrence record as the rule the peer keeps.
std::optional<QString> ruleOf(const ScriptValue &recurrence)
{
    static const QHash<QString, QString> frequencies{
        {QStringLiteral("daily"), QStringLiteral("DAILY")},           {QStringLiteral("weekly"), QStringLiteral("WEEKLY")},
        {QStringLiteral("absolute monthly"), QStringLiteral("MONTHLY")}, {QStringLiteral("relative monthly"), QStringLiteral("MONTHLY")},
        {QStringLiteral("absolute yearly"), QStringLiteral("YEARLY")},  {QStringLiteral("relative yearly"), QStringLiteral("YEARLY")}};
    const ScriptValue *type = fieldOf(recurrence, "recurrence type");
    if (!type || !frequencies.contains(type->text))
        return std::nullopt;
    QStringList parts{QStringLiteral("FREQ=") + frequencies.value(type->text)};
    if (const ScriptValue *interval = fieldOf(recurrence, "occurrence interval"))
        parts.append(QStringLiteral("INTERVAL=%1").arg(std::max<qint64>(1, interval->integer)));
    QStringList days;
    if (const ScriptValue *week = fieldOf(recurrence, "days of week")) {
        static const char *const names[][2] = {{"monday", "MO"}, {"tuesday", "TU"}, {"wednesday", "WE"}, {"thursday", "TH"},
                                               {"friday", "FR"},  {"saturday", "SA"}, {"sunday", "SU"}};
        for (const auto &name : names) {
            if (const ScriptValue *flag = fieldOf(*week, name[0]); flag && booleanOf(*flag).value_or(false))
                days.append(QLatin1String(name[1]));
        }
    }
    const ScriptValue *ordinal = fieldOf(recurrence, "ordinal");
    if (type->text.startsWith(u"relative") && !days.isEmpty())
        parts.append(QStringLiteral("BYDAY=%1%2").arg(ordinal && ordinal->integer == 5 ? QStringLiteral("-1") : QString::number(ordinal ? ordinal->integer : 1), days.first()));
    else if (type->text == u"weekly" && !days.isEmpty())
        parts.append(QStringLiteral("BYDAY=") + days.join(u','));
    if (const ScriptValue *month = fieldOf(recurrence, "month number"))
        parts.append(QStringLiteral("BYMONTH=%1").arg(month->integer));
    if (const ScriptValue *day = fieldOf(recurrence, "day of month"); day && type->text.startsWith(u"absolute"))
        parts.append(QStringLiteral("BYMONTHDAY=%1").arg(day->integer));
    if (const ScriptValue *end = fieldOf(recurrence, "end date")) {
        const ScriptValue *kind = fieldOf(*end, "end type");
        const ScriptValue *data = fieldOf(*end, "data");
        if (kind && kind->text == u"end date type" && data && data->kind == ScriptValue::Kind::Date)
            parts.append(QStringLiteral("UNTIL=") + data->date.toUTC().toString(QStringLiteral("yyyyMMdd'T'HHmmss'Z'")));
        else if (kind && kind->text == u"end numbered type" && data && data->kind == ScriptValue::Kind::Integer)
            parts.append(QStringLiteral("COUNT=%1").arg(data->integer));
        else if (!kind || kind->text != u"no end type")
            return std::nullopt;
    }
    return parts.join(u';');
}

std::optional<QString> busyOf(const ScriptValue &value)
{
    static const QHash<QString, QString> words{{QStringLiteral("free"), QStringLiteral("free")},
                                               {QStringLiteral("tentative"), QStringLiteral("tentative")},
                                               {QStringLiteral("busy"), QStringLiteral("busy")},
                                               {QStringLiteral("out of office"), QStringLiteral("oof")}};
    const std::optional<QString> text = textOf(value);
    if (!text || !words.contains(text->toLower()))
        return std::nullopt;
    return words.value(text->toLower());
}

// A time zone record {name:..., offset:...}: the event keeps its wall-clock times in the new zone.
bool setZone(PeerRecord &record, const ScriptValue &value)
{
    const ScriptValue *name = fieldOf(value, "name");
    const QTimeZone zone(name ? name->text.toUtf8() : QByteArray());
    if (!zone.isValid())
        return false;
    const QTimeZone old = zoneOfFields(record.fields);
    const QDateTime end = QDateTime::fromString(record.fields.value(QStringLiteral("end")).toString(), Qt::ISODate);
    const auto moved = [&](const QDateTime &date) {
        const QDateTime wall = date.toTimeZone(old);
        return QDateTime(wall.date(), wall.time(), zone).toUTC();
    };
    record.start = moved(record.start);
    if (end.isValid())
        record.fields[QStringLiteral("end")] = moved(end).toString(Qt::ISODateWithMs);
    record.fields[QStringLiteral("zone")] = name->text;
    return true;
}

bool setAlarm(QJsonObject &fields, const ScriptValue *has, const ScriptValue *time)
{
    const std::optional<bool> on = has ? booleanOf(*has) : std::optional<bool>(true);
    if (!on)
        return false;
    if (!*on) {
        fields.remove(QStringLiteral("alarm"));
        return true;
    }
    const std::optional<QString> minutes = time ? textOf(*time) : std::nullopt;
    bool isNumber = false;
    const double value = minutes ? minutes->toDouble(&isNumber) : 0;
    if (isNumber)
        fields[QStringLiteral("alarm")] = qint64(value);
    return isNumber || (minutes && minutes->isEmpty());
}

// One label of a properties record; false (nothing changed by the caller) for one Outlook refuses.
bool setEventProperty(PeerRecord &record, const QString &label, const ScriptValue &value, const Times &times)
{
    QJsonObject &fields = record.fields;
    static const QHash<QString, QString> texts{{QStringLiteral("subject"), QStringLiteral("subject")},
                                               {QStringLiteral("location"), QStringLiteral("location")},
                                               {QStringLiteral("plain text content"), QStringLiteral("note")}};
    if (texts.contains(label) && value.kind == ScriptValue::Kind::Text) {
        fields[texts.value(label)] = value.text;
    } else if (label == u"start time" || label == u"end time") {
        const std::optional<QDateTime> date = dateOf(value, times);
        if (!date || !date->isValid())
            return false;
        if (label == u"start time")
            record.start = date->toUTC();
        else
            fields[QStringLiteral("end")] = date->toUTC().toString(Qt::ISODateWithMs);
    } else if (label == u"all day flag" || label == u"is private") {
        const std::optional<bool> flag = booleanOf(value);
        if (!flag)
            return false;
        fields[label == u"is private" ? QStringLiteral("private") : QStringLiteral("allDay")] = *flag;
    } else if (label == u"free busy status") {
        const std::optional<QString> busy = busyOf(value);
        if (!busy)
            return false;
        fields[QStringLiteral("busy")] = *busy;
    } else if (label == u"category") {
        return setCategoryIds(fields, value);
    } else if (label == u"recurrence") {
        const std::optional<QString> rule = ruleOf(value);
        if (!rule)
            return false;
        fields[QStringLiteral("rrule")] = *rule;
    } else if (label == u"is recurring") {
        // Made single: the series' rule and removed days go; true alone changes nothing.
        const std::optional<bool> flag = booleanOf(value);
        if (!flag)
            return false;
        if (!*flag) {
            fields.remove(QStringLiteral("rrule"));
            fields.remove(QStringLiteral("exdates"));
        }
    } else if (label == u"timezone") {
        return setZone(record, value);
    } else {
        return label == u"has reminder" || label == u"reminder time";
    }
    return true;
}

// The record's labels onto the event: the zone first (it keeps the wall clock), the times after.
bool applyProperties(PeerRecord &record, const ScriptValue &properties, const Times &times)
{
    if (properties.kind != ScriptValue::Kind::Record)
        return properties.kind == ScriptValue::Kind::List && properties.items.isEmpty();
    if (const ScriptValue *zone = fieldOf(properties, "timezone"); zone && !setZone(record, *zone))
        return false;
    for (const auto &[label, value] : properties.fields) {
        if (label != u"timezone" && !setEventProperty(record, label, value, times))
            return false;
    }
    if (fieldOf(properties, "has reminder") || fieldOf(properties, "reminder time"))
        return setAlarm(record.fields, fieldOf(properties, "has reminder"), fieldOf(properties, "reminder time"));
    return true;
}

Times timesOf(const QList<ScriptValue> &captures, const ScriptContext &context)
{
    Times times;
    if (captures.size() >= 2 && captures.at(0).kind == ScriptValue::Kind::Text && captures.at(1).kind == ScriptValue::Kind::Text) {
        const QDateTime start = scriptDate(captures.at(0).text, context.datePattern);
        const QDateTime end = scriptDate(captures.at(1).text, context.datePattern);
        if (start.isValid())
            times.start = start;
        if (end.isValid())
            times.end = end;
    }
    return times;
}

ScriptOutcome missingEvent(qint64 id)
{
    return ScriptOutcome::error(kErrorNoSuchObject, QStringLiteral("Can't get calendar event id %1.").arg(id));
}

std::optional<qint64> defaultCalendar(const ScriptContext &context)
{
    const QList<PeerFolder> calendars = context.store.folders(QStringLiteral("calendar"));
    if (calendars.isEmpty())
        return std::nullopt;
    return calendars.first().id;
}

// captures: start text, end text, application, [folder], properties.
ScriptOutcome createEvent(const QList<ScriptValue> &captures, ScriptContext &context)
{
    const Times times = timesOf(captures, context);
    const bool inFolder = captures.size() == 5;
    const std::optional<qint64> folder = inFolder ? std::optional<qint64>(captures.at(3).integer) : defaultCalendar(context);
    bool known = false;
    for (const PeerFolder &calendar : context.store.folders(QStringLiteral("calendar")))
        known = known || (folder && calendar.id == *folder);
    if (!known)
        return ScriptOutcome::error(kErrorNoSuchObject, QStringLiteral("Can't get calendar id %1.").arg(folder.value_or(0)));
    PeerRecord record;
    record.folder = *folder;
    record.created = context.now;
    record.modified = context.now;
    record.start = times.start.value_or(context.now).toUTC();
    record.fields[QStringLiteral("zone")] = QString::fromUtf8(QTimeZone::systemTimeZoneId());
    record.fields[QStringLiteral("end")] = times.end.value_or(record.start).toUTC().toString(Qt::ISODateWithMs);
    if (!applyProperties(record, captures.last(), times))
        return ScriptOutcome::error(kErrorCannotCoerce, QStringLiteral("Can't make the properties into a calendar event."));
    if (!context.store.addRecord(RecordKind::Event, record))
        return ScriptOutcome::error(kErrorGeneral, context.store.lastProblem());
    return {Descriptor::objectSpecifier(code("cEvt"), qint32(record.id))};
}

// captures: [start text, end text], application, id, properties.
ScriptOutcome setEventProperties(const QList<ScriptValue> &captures, ScriptContext &context)
{
    const qint64 id = captures.at(captures.size() - 2).integer;
    std::optional<PeerRecord> record = context.store.record(RecordKind::Event, id);
    if (!record)
        return missingEvent(id);
    if (!applyProperties(*record, captures.last(), timesOf(captures, context)))
        return ScriptOutcome::error(kErrorCannotCoerce, QStringLiteral("Can't set the properties of calendar event id %1.").arg(id));
    return storeChangedRecord(context, RecordKind::Event, *record);
}

ScriptOutcome setEventCategories(const QList<ScriptValue> &captures, ScriptContext &context)
{
    const qint64 id = captures.value(1).integer;
    std::optional<PeerRecord> record = context.store.record(RecordKind::Event, id);
    if (!record)
        return missingEvent(id);
    if (!setCategoryIds(record->fields, captures.value(2)))
        return ScriptOutcome::error(kErrorCannotCoerce, QStringLiteral("Can't make the categories into a list of categories."));
    return storeChangedRecord(context, RecordKind::Event, *record);
}

ScriptOutcome moveEvent(const QList<ScriptValue> &captures, ScriptContext &context)
{
    const qint64 id = captures.value(1).integer;
    std::optional<PeerRecord> record = context.store.record(RecordKind::Event, id);
    if (!record)
        return missingEvent(id);
    bool known = false;
    for (const PeerFolder &calendar : context.store.folders(QStringLiteral("calendar")))
        known = known || calendar.id == captures.value(2).integer;
    if (!known)
        return ScriptOutcome::error(kErrorNoSuchObject, QStringLiteral("Can't get calendar id %1.").arg(captures.value(2).integer));
    record->folder = captures.value(2).integer;
    return storeChangedRecord(context, RecordKind::Event, *record, Descriptor::objectSpecifier(code("cEvt"), qint32(record->id)));
}

ScriptOutcome makeAttendee(const QList<ScriptValue> &captures, ScriptContext &context)
{
    const qint64 id = captures.value(1).integer;
    std::optional<PeerRecord> record = context.store.record(RecordKind::Event, id);
    if (!record)
        return missingEvent(id);
    const ScriptValue *email = fieldOf(captures.value(2), "email address");
    const ScriptValue *name = email ? fieldOf(*email, "name") : nullptr;
    const ScriptValue *address = email ? fieldOf(*email, "address") : nullptr;
    if (!name || !address || name->kind != ScriptValue::Kind::Text || address->kind != ScriptValue::Kind::Text)
        return ScriptOutcome::error(kErrorCannotCoerce, QStringLiteral("Can't make the properties into an attendee."));
    QJsonArray attendees = record->fields.value(QStringLiteral("attendees")).toArray();
    attendees.append(QJsonObject{{QStringLiteral("name"), name->text}, {QStringLiteral("address"), address->text}});
    record->fields[QStringLiteral("attendees")] = attendees;
    return storeChangedRecord(context, RecordKind::Event, *record, Descriptor::objectSpecifier(code("cAtd"), qint32(attendees.size())));
}

// captures: application, then position and event id per line. Positions count before any deletion.
ScriptOutcome deleteAttendees(const QList<ScriptValue> &captures, ScriptContext &context)
{
    const qint64 id = captures.value(2).integer;
    std::optional<PeerRecord> record = context.store.record(RecordKind::Event, id);
    if (!record)
        return missingEvent(id);
    QJsonArray attendees = record->fields.value(QStringLiteral("attendees")).toArray();
    QList<qint64> positions;
    for (qsizetype i = 1; i + 1 < captures.size(); i += 2) {
        if (captures.at(i + 1).integer != id || captures.at(i).integer < 1 || captures.at(i).integer > attendees.size())
            return ScriptOutcome::error(kErrorNoSuchObject, QStringLiteral("Can't get required attendee %1.").arg(captures.at(i).integer));
        positions.append(captures.at(i).integer);
    }
    std::sort(positions.begin(), positions.end(), std::greater<>());
    positions.erase(std::unique(positions.begin(), positions.end()), positions.end());
    for (const qint64 position : positions)
        attendees.removeAt(position - 1);
    record->fields[QStringLiteral("attendees")] = attendees;
    return storeChangedRecord(context, RecordKind::Event, *record);
}

ScriptOutcome listAttendees(const QList<ScriptValue> &captures, ScriptContext &context)
{
    const std::optional<PeerRecord> record = context.store.record(RecordKind::Event, captures.value(1).integer);
    if (!record)
        return missingEvent(captures.value(1).integer);
    Descriptor list = Descriptor::list();
    for (const QJsonValue &value : record->fields.value(QStringLiteral("attendees")).toArray()) {
        Descriptor address = Descriptor::record();
        address.set(code("pnam"), Descriptor::text(value.toObject().value(QStringLiteral("name")).toString()));
        address.set(code("radd"), Descriptor::text(value.toObject().value(QStringLiteral("address")).toString()));
        Descriptor attendee = Descriptor::record();
        attendee.set(code("pcls"), Descriptor::typeCode(code("cAtd")));
        attendee.set(code("emad"), address);
        list.append(attendee);
    }
    return {list};
}

Descriptor dupeProperties(const PeerRecord &record)
{
    Descriptor properties = Descriptor::record();
    properties.set(code("pcls"), Descriptor::typeCode(code("cEvt")));
    properties.set(code("ID  "), Descriptor::integer(qint32(record.id)));
    properties.set(code("subj"), Descriptor::text(record.fields.value(QStringLiteral("subject")).toString()));
    properties.set(code("offs"), Descriptor::date(record.start));
    properties.set(code("endT"), Descriptor::date(QDateTime::fromString(record.fields.value(QStringLiteral("end")).toString(), Qt::ISODate)));
    return properties;
}

ScriptOutcome listEventProperties(const QList<ScriptValue> &captures, ScriptContext &context)
{
    RecordFilter filter;
    for (const ScriptValue &value : captures) {
        if (value.kind == ScriptValue::Kind::Integer)
            filter.folder = value.integer;
    }
    Descriptor list = Descriptor::list();
    for (const PeerRecord &record : context.store.records(RecordKind::Event, filter))
        list.append(dupeProperties(record));
    if (!context.store.lastProblem().isEmpty())
        return ScriptOutcome::error(kErrorGeneral, context.store.lastProblem());
    return {list};
}

ScriptOutcome eventNote(const QList<ScriptValue> &captures, ScriptContext &context)
{
    const std::optional<PeerRecord> record = context.store.record(RecordKind::Event, captures.value(1).integer);
    if (!record)
        return missingEvent(captures.value(1).integer);
    // Every property, as Outlook answers "the properties of": the note and the iCalendar export too.
    return {eventProperties(*record, context.store)};
}

ScriptOutcome eventICalendarData(const QList<ScriptValue> &captures, ScriptContext &context)
{
    const std::optional<PeerRecord> record = context.store.record(RecordKind::Event, captures.value(1).integer);
    if (!record)
        return missingEvent(captures.value(1).integer);
    return {Descriptor::text(eventICalendar(*record, context.store))};
}

// The date lines as written with and without a blank between "date" and its quote.
QStringList dateHeads()
{
    QStringList heads;
    for (const char *first : {"", " "}) {
        for (const char *second : {"", " "})
            heads.append(QStringLiteral("set startTime to (date%1\u00ABS\u00BB)\nset endTime to (date%2\u00ABS\u00BB)\n")
                             .arg(QLatin1String(first), QLatin1String(second)));
    }
    return heads;
}

void addPropertyForms(QList<ScriptForm> &forms)
{
    const QString make = QStringLiteral("set newEvent to make new calendar event%1 with properties \u00ABV\u00BB");
    const QString set = QStringLiteral("set the properties of calendar event id \u00ABI\u00BB to \u00ABV\u00BB");
    for (const QString &head : dateHeads()) {
        forms.append({QStringLiteral("create event"), head + kTell + make.arg(QString()) + kEnd, createEvent});
        forms.append({QStringLiteral("create event"), head + kTell + make.arg(QStringLiteral(" in calendar id \u00ABF\u00BB")) + kEnd, createEvent});
        forms.append({QStringLiteral("set event properties"), head + kTell + set + kEnd, setEventProperties});
    }
    forms.append({QStringLiteral("set event properties"), kTell + set + kEnd, setEventProperties});
    forms.append({QStringLiteral("set event categories"),
                  kTell + QStringLiteral("set the categories of calendar event id \u00ABI\u00BB to \u00ABV\u00BB") + kEnd, setEventCategories});
    forms.append({QStringLiteral("move event"), kTell + QStringLiteral("move calendar event id \u00ABI\u00BB to calendar id \u00ABF\u00BB") + kEnd,
                  moveEvent});
}

void addAttendeeForms(QList<ScriptForm> &forms)
{
    forms.append({QStringLiteral("make attendee"),
                  kTell + QStringLiteral("make new required attendee at calendar event id \u00ABI\u00BB with properties \u00ABV\u00BB") + kEnd,
                  makeAttendee});
    QString lines;
    for (int count = 1; count <= kMaxAttendeeDeletions; ++count) {
        lines += QStringLiteral("delete required attendee \u00ABF\u00BB of calendar event id \u00ABF\u00BB\n");
        forms.append({QStringLiteral("delete attendees"), kTell + lines + QStringLiteral("end tell"), deleteAttendees});
    }
    forms.append({QStringLiteral("attendee listing"),
                  kTell + QStringLiteral("set theAttendees to the properties of every attendee of calendar event id \u00ABI\u00BB\nreturn "
                                         "theAttendees") + kEnd,
                  listAttendees});
}

void addEventReadForms(QList<ScriptForm> &forms)
{
    forms.append({QStringLiteral("event listing"),
                  kTell + QStringLiteral("set theEvents to the properties of every calendar event of application \u00ABA\u00BB\nreturn theEvents") + kEnd,
                  listEventProperties});
    forms.append({QStringLiteral("event listing"),
                  kTell + QStringLiteral("set theEvents to the properties of every calendar event in calendar id \u00ABF\u00BB\nreturn theEvents") + kEnd,
                  listEventProperties});
    forms.append({QStringLiteral("event note"),
                  kTell + QStringLiteral("set theEvent to the properties of calendar event id \u00ABI\u00BB\nreturn theEvent") + kEnd, eventNote});
    forms.append({QStringLiteral("event icalendar"), kTell + QStringLiteral("return the icalendar data of calendar event id \u00ABI\u00BB") + kEnd,
                  eventICalendarData});
}

QList<ScriptForm> eventWriteForms()
{
    QList<ScriptForm> forms;
    addPropertyForms(forms);
    addAttendeeForms(forms);
    addIcsImportForms(forms);
    addEventReadForms(forms);
    return forms;
}

const QList<ScriptForm> &writeForms()
{
    static const QList<ScriptForm> forms = eventWriteForms();
    return forms;
}

} // namespace

void addEventWriteForms(QList<ScriptForm> &forms)
{
    forms += writeForms();
}

bool isEventWriteKind(const QString &kind)
{
    return kind == u"create event" || kind == u"set event properties" || kind == u"set event categories" || kind == u"move event"
        || kind == u"make attendee" || kind == u"delete attendees" || kind == u"import ics";
}

QString eventWriteKind(const QString &script, const QString &datePattern)
{
    for (const ScriptForm &form : writeForms()) {
        ScriptMatch match;
        if (isEventWriteKind(form.kind) && matchScript(form.text, script, datePattern, match))
            return form.kind;
    }
    return QString();
}

} // namespace outlookpeer
