// The simulated Outlook's "import ics": the events of an iCalendar file become events of a calendar.
// Read as a real importer reads them: folded lines, CR LF or LF ends, TZID quoted or bare and resolved
// by name (else by the zone block's standard offset), date-times with or without dashes and colons,
// date-only values, EXDATE lists, TEXT escapes, a UID ending in CR, VALARM triggers. An event whose
// UID names an existing event replaces it (keeping its id, or under a new id with `importGivesNewId`);
// a RECURRENCE-ID whose UID names no series is an event of its own. A VTODO becomes a task of the first
// task folder (SUMMARY, DESCRIPTION, DTSTART, DUE, PRIORITY 1-4 high, 5 normal, 6-9 low, RRULE, the
// VALARM's "TRIGGER;RELATED=DATE-TIME:" read as universal time); a UID Outlook holds replaces that task.

#include "OutlookEventWrites.h"

#include "OutlookContactWrites.h"
#include "OutlookTaskScripts.h"

#include <QJsonArray>
#include <QRegularExpression>
#include <QTimeZone>

namespace outlookpeer {

namespace {

struct IcsLine
{
    QString name;
    QHash<QString, QString> parameters;
    QString value;
};

QStringList unfoldedLines(const QString &text)
{
    QStringList lines;
    for (QString line : text.split(u'\n')) {
        if (line.endsWith(u'\r'))
            line.chop(1);
        if ((line.startsWith(u' ') || line.startsWith(u'\t')) && !lines.isEmpty())
            lines.last() += line.mid(1);
        else
            lines.append(line);
    }
    return lines;
}

// NAME;PARAM=value;PARAM="quoted":value
std::optional<IcsLine> icsLine(const QString &text)
{
    IcsLine line;
    qsizetype at = 0;
    bool quoted = false;
    qsizetype colon = -1;
    for (; at < text.size(); ++at) {
        if (text.at(at) == u'"')
            quoted = !quoted;
        else if (text.at(at) == u':' && !quoted) {
            colon = at;
            break;
        }
    }
    if (colon <= 0)
        return std::nullopt;
    const QStringList head = text.left(colon).split(u';');
    line.name = head.first().toUpper();
    for (qsizetype i = 1; i < head.size(); ++i) {
        QString value = head.at(i).section(u'=', 1);
        if (value.size() >= 2 && value.startsWith(u'"') && value.endsWith(u'"'))
            value = value.mid(1, value.size() - 2);
        line.parameters.insert(head.at(i).section(u'=', 0, 0).toUpper(), value);
    }
    line.value = text.mid(colon + 1);
    return line;
}

QString unescapedText(const QString &value)
{
    QString text;
    for (qsizetype i = 0; i < value.size(); ++i) {
        if (value.at(i) != u'\\' || i + 1 == value.size()) {
            text += value.at(i);
            continue;
        }
        const QChar next = value.at(++i);
        text += (next == u'n' || next == u'N') ? QChar(u'\n') : next;
    }
    return text;
}

// The zones the file's VTIMEZONE blocks name: the system's zone of that name, else the standard offset.
QHash<QString, QTimeZone> fileZones(const QStringList &lines)
{
    QHash<QString, QTimeZone> zones;
    QString id;
    bool inStandard = false;
    for (const QString &text : lines) {
        const std::optional<IcsLine> line = icsLine(text);
        if (!line)
            continue;
        if (line->name == u"TZID")
            id = line->value.trimmed();
        inStandard = (line->name == u"BEGIN" && line->value == u"STANDARD") || (inStandard && line->name != u"END");
        if (inStandard && line->name == u"TZOFFSETTO" && !id.isEmpty() && !zones.contains(id)) {
            const QTimeZone named(id.toUtf8());
            const QString offset = line->value.trimmed();
            const int sign = offset.startsWith(u'-') ? -1 : 1;
            const QString digits = QString(offset).remove(u'-').remove(u'+');
            zones.insert(id, named.isValid() ? named
                                             : QTimeZone(sign * (digits.left(2).toInt() * 3600 + digits.mid(2, 2).toInt() * 60)));
        }
    }
    return zones;
}

struct IcsDate
{
    QDateTime date;
    bool dateOnly = false;
};

IcsDate readDate(const QString &value, const QTimeZone &zone)
{
    QString text = value.trimmed();
    const bool utc = text.endsWith(u'Z');
    if (utc)
        text.chop(1);
    text.remove(u'-').remove(u':');
    if (text.size() == 8) {
        const QDate day = QDate::fromString(text, QStringLiteral("yyyyMMdd"));
        return {QDateTime(day, QTime(0, 0), zone), true};
    }
    const QDateTime local = QDateTime::fromString(text.left(15), QStringLiteral("yyyyMMdd'T'HHmmss"));
    if (!local.isValid())
        return {};
    return {QDateTime(local.date(), local.time(), utc ? QTimeZone::utc() : zone), false};
}

// The alarm of a trigger "-PT15M", "-PT00H15M00S", "-P1D".
std::optional<qint64> triggerMinutes(const QString &value)
{
    static const QRegularExpression pattern(QStringLiteral("^-?P(?:(\\d+)D)?(?:T(?:(\\d+)H)?(?:(\\d+)M)?(?:(\\d+)S)?)?$"));
    const QRegularExpressionMatch match = pattern.match(value.trimmed());
    if (!match.hasMatch())
        return std::nullopt;
    return match.captured(1).toLongLong() * 1440 + match.captured(2).toLongLong() * 60 + match.captured(3).toLongLong();
}

struct ImportedEvent
{
    QJsonObject fields;
    QDateTime start;
    QString uid;
    QDateTime recurrenceId;
    QStringList exdates; // values as written, read once the start is known
    QTimeZone zone;
};

void readEventLine(ImportedEvent &event, const IcsLine &line, const QHash<QString, QTimeZone> &zones, bool inAlarm)
{
    const QString zoneId = line.parameters.value(QStringLiteral("TZID"));
    const QTimeZone zone = zones.value(zoneId, QTimeZone(zoneId.toUtf8()).isValid() ? QTimeZone(zoneId.toUtf8()) : QTimeZone::systemTimeZone());
    QJsonObject &f = event.fields;
    if (inAlarm) {
        if (line.name == u"TRIGGER")
            if (const auto minutes = triggerMinutes(line.value))
                f[QStringLiteral("alarm")] = *minutes;
        return;
    }
    if (line.name == u"DTSTART") {
        const IcsDate date = readDate(line.value, zone);
        event.start = date.date;
        event.zone = zone;
        if (date.dateOnly)
            f[QStringLiteral("allDay")] = true;
        if (!zoneId.isEmpty())
            f[QStringLiteral("zone")] = QString::fromUtf8(zone.id());
    } else if (line.name == u"DTEND") {
        f[QStringLiteral("end")] = readDate(line.value, zone).date.toUTC().toString(Qt::ISODateWithMs);
    } else if (line.name == u"SUMMARY" || line.name == u"DESCRIPTION" || line.name == u"LOCATION") {
        const QString text = unescapedText(line.value);
        const QString key = line.name == u"SUMMARY" ? QStringLiteral("subject") : line.name == u"LOCATION" ? QStringLiteral("location") : QStringLiteral("note");
        if (!(key == u"note" && text == u"\n"))
            f[key] = text;
    } else if (line.name == u"RRULE") {
        f[QStringLiteral("rrule")] = line.value.trimmed();
    } else if (line.name == u"EXDATE") {
        for (const QString &value : line.value.split(u','))
            event.exdates.append(value + u'\u0001' + QString::fromUtf8(zone.id()));
    } else if (line.name == u"UID") {
        event.uid = line.value.trimmed();
    } else if (line.name == u"RECURRENCE-ID") {
        event.recurrenceId = readDate(line.value, zone).date;
    } else if (line.name == u"X-MICROSOFT-CDO-ALLDAYEVENT") {
        f[QStringLiteral("allDay")] = line.value.trimmed().compare(QLatin1String("TRUE"), Qt::CaseInsensitive) == 0;
    } else if (line.name == u"CLASS") {
        f[QStringLiteral("private")] = line.value.trimmed() == u"PRIVATE";
    } else if (line.name == u"X-MICROSOFT-CDO-BUSYSTATUS") {
        f[QStringLiteral("busy")] = line.value.trimmed().toLower();
    }
}

// A date-only EXDATE removes the occurrence on that day at the series' time.
QJsonArray exceptionInstants(const ImportedEvent &event)
{
    QJsonArray instants;
    for (const QString &entry : event.exdates) {
        const QString value = entry.section(u'\u0001', 0, 0);
        const QTimeZone zone(entry.section(u'\u0001', 1).toUtf8());
        IcsDate date = readDate(value, zone.isValid() ? zone : event.zone);
        if (!date.date.isValid())
            continue;
        if (date.dateOnly)
            date.date = QDateTime(date.date.date(), event.start.toTimeZone(event.zone).time(), event.zone);
        instants.append(date.date.toUTC().toString(Qt::ISODateWithMs));
    }
    return instants;
}

QList<ImportedEvent> eventsOf(const QString &text)
{
    const QStringList lines = unfoldedLines(text);
    const QHash<QString, QTimeZone> zones = fileZones(lines);
    QList<ImportedEvent> events;
    bool inEvent = false;
    bool inAlarm = false;
    for (const QString &raw : lines) {
        const std::optional<IcsLine> line = icsLine(raw);
        if (!line)
            continue;
        if (line->name == u"BEGIN" && line->value.trimmed() == u"VEVENT") {
            inEvent = true;
            events.append(ImportedEvent{{}, {}, {}, {}, {}, QTimeZone::systemTimeZone()});
        } else if (line->name == u"END" && line->value.trimmed() == u"VEVENT") {
            inEvent = false;
        } else if (inEvent && line->name == u"BEGIN" && line->value.trimmed() == u"VALARM") {
            inAlarm = true;
        } else if (inEvent && line->name == u"END" && line->value.trimmed() == u"VALARM") {
            inAlarm = false;
        } else if (inEvent) {
            readEventLine(events.last(), *line, zones, inAlarm);
        }
    }
    return events;
}

std::optional<PeerRecord> eventWithGuid(const ScriptContext &context, const QString &guid)
{
    if (guid.isEmpty())
        return std::nullopt;
    for (const PeerRecord &record : context.store.records(RecordKind::Event, {})) {
        // An event without a GUID of its own exports "peer-event-<id>" (see eventICalendar).
        const QString own = record.fields.value(QStringLiteral("guid")).toString();
        if (record.master == 0 && (own.isEmpty() ? QStringLiteral("peer-event-%1").arg(record.id) : own) == guid)
            return record;
    }
    return std::nullopt;
}

std::optional<qint64> storeImported(ImportedEvent &event, qint64 folder, ScriptContext &context)
{
    if (!event.start.isValid())
        return std::nullopt;
    PeerRecord record;
    record.folder = folder;
    record.created = context.now;
    record.modified = context.now;
    record.start = event.start.toUTC();
    event.fields[QStringLiteral("exdates")] = exceptionInstants(event);
    if (!event.fields.contains(QStringLiteral("end")))
        event.fields[QStringLiteral("end")] = record.start.toString(Qt::ISODateWithMs);
    if (!event.uid.isEmpty())
        event.fields[QStringLiteral("guid")] = event.uid;
    record.fields = event.fields;
    const std::optional<PeerRecord> existing = eventWithGuid(context, event.uid);
    if (existing && event.recurrenceId.isValid()) {
        record.master = existing->id;
        record.fields[QStringLiteral("recurrenceId")] = event.recurrenceId.toUTC().toString(Qt::ISODateWithMs);
        record.fields.remove(QStringLiteral("guid"));
    } else if (existing && !context.importGivesNewId) {
        record.id = existing->id;
        record.created = existing->created;
        record.folder = existing->folder;
        return context.store.updateRecord(RecordKind::Event, record) ? std::optional<qint64>(record.id) : std::nullopt;
    }
    if (!context.store.addRecord(RecordKind::Event, record))
        return std::nullopt;
    return record.id;
}


// ---- Tasks -------------------------------------------------------------------------------------------

struct ImportedTask
{
    QJsonObject fields;
    QString uid;
};

void readTaskLine(ImportedTask &task, const IcsLine &line, bool inAlarm)
{
    QJsonObject &f = task.fields;
    const auto instant = [&line] { return readDate(line.value, QTimeZone::systemTimeZone()).date.toUTC().toString(Qt::ISODateWithMs); };
    if (inAlarm) {
        if (line.name == u"TRIGGER" && line.parameters.value(QStringLiteral("RELATED")) == u"DATE-TIME")
            f[QStringLiteral("reminder")] = readDate(line.value, QTimeZone::utc()).date.toUTC().toString(Qt::ISODateWithMs);
        return;
    }
    if (line.name == u"SUMMARY") {
        f[QStringLiteral("name")] = unescapedText(line.value);
    } else if (line.name == u"DESCRIPTION") {
        if (const QString text = unescapedText(line.value); text != u"\n")
            f[QStringLiteral("content")] = text;
    } else if (line.name == u"DTSTART" || line.name == u"DUE") {
        f[line.name == u"DUE" ? QStringLiteral("dueDate") : QStringLiteral("startDate")] = instant();
    } else if (line.name == u"PRIORITY") {
        const int level = line.value.trimmed().toInt();
        f[QStringLiteral("priority")] = level >= 1 && level <= 4 ? QStringLiteral("high") : level >= 6 ? QStringLiteral("low") : QStringLiteral("normal");
    } else if (line.name == u"RRULE") {
        f[QStringLiteral("rrule")] = line.value.trimmed();
    } else if (line.name == u"UID") {
        task.uid = line.value.trimmed();
    }
}

QList<ImportedTask> tasksOf(const QString &text)
{
    QList<ImportedTask> tasks;
    bool inTask = false;
    bool inAlarm = false;
    for (const QString &raw : unfoldedLines(text)) {
        const std::optional<IcsLine> line = icsLine(raw);
        if (!line)
            continue;
        const QString value = line->value.trimmed();
        if (line->name == u"BEGIN" && value == u"VTODO") {
            inTask = true;
            tasks.append(ImportedTask{});
        } else if (line->name == u"END" && value == u"VTODO") {
            inTask = false;
        } else if (inTask && (line->name == u"BEGIN" || line->name == u"END") && value == u"VALARM") {
            inAlarm = line->name == u"BEGIN";
        } else if (inTask) {
            readTaskLine(tasks.last(), *line, inAlarm);
        }
    }
    return tasks;
}

std::optional<qint64> storeImportedTask(const ImportedTask &task, ScriptContext &context)
{
    const QList<PeerFolder> folders = context.store.folders(QStringLiteral("task folder"));
    PeerRecord record;
    record.folder = folders.isEmpty() ? 0 : folders.first().id;
    record.created = context.now;
    record.modified = context.now;
    record.fields = task.fields;
    for (const PeerRecord &existing : context.store.records(RecordKind::Task, {})) {
        const QString own = existing.fields.value(QStringLiteral("guid")).toString();
        if (task.uid.isEmpty() || (own.isEmpty() ? QStringLiteral("peer-task-%1").arg(existing.id) : own) != task.uid)
            continue;
        // Outlook keeps what the file does not say: the note, categories and completion.
        for (auto it = existing.fields.constBegin(); it != existing.fields.constEnd(); ++it) {
            if (!record.fields.contains(it.key()) && it.key() != u"rrule" && it.key() != u"startDate" && it.key() != u"dueDate")
                record.fields.insert(it.key(), it.value());
        }
        record.fields[QStringLiteral("guid")] = task.uid;
        record.completed = existing.completed;
        if (context.importGivesNewId)
            break;
        record.id = existing.id;
        record.created = existing.created;
        record.folder = existing.folder;
        return context.store.updateRecord(RecordKind::Task, record) ? std::optional<qint64>(record.id) : std::nullopt;
    }
    if (!context.store.addRecord(RecordKind::Task, record))
        return std::nullopt;
    return record.id;
}

ScriptOutcome importIcs(const QList<ScriptValue> &captures, ScriptContext &context)
{
    const QString path = captures.value(0).text;
    const std::optional<QString> text = readImportedFile(path);
    if (!text)
        return ScriptOutcome::error(kErrorFileNotFound, QStringLiteral("File %1 wasn't found.").arg(path));
    const QList<PeerFolder> calendars = context.store.folders(QStringLiteral("calendar"));
    qint64 folder = calendars.isEmpty() ? 0 : calendars.first().id;
    if (captures.size() > 2) {
        folder = captures.at(2).integer;
        if (std::none_of(calendars.begin(), calendars.end(), [folder](const PeerFolder &calendar) { return calendar.id == folder; }))
            return ScriptOutcome::error(kErrorNoSuchObject, QStringLiteral("Can't get calendar id %1.").arg(folder));
    }
    Descriptor list = Descriptor::list();
    for (ImportedEvent &event : eventsOf(*text)) {
        const std::optional<qint64> id = storeImported(event, folder, context);
        if (!id)
            return ScriptOutcome::error(kErrorGeneral, QStringLiteral("The file %1 could not be imported.").arg(path));
        list.append(Descriptor::objectSpecifier(code("cEvt"), qint32(*id)));
    }
    for (const ImportedTask &task : tasksOf(*text)) {
        const std::optional<qint64> id = storeImportedTask(task, context);
        if (!id)
            return ScriptOutcome::error(kErrorGeneral, QStringLiteral("The file %1 could not be imported.").arg(path));
        list.append(Descriptor::objectSpecifier(code("cTsk"), qint32(*id)));
    }
    return {list};
}

} // namespace

void addIcsImportForms(QList<ScriptForm> &forms)
{
    const QString head = QStringLiteral("set theFile to a reference to POSIX file \u00ABS\u00BB\ntell application \u00ABA\u00BB\nimport ics theFile");
    forms.append({QStringLiteral("import ics"), head + QStringLiteral("\nend tell"), importIcs});
    forms.append({QStringLiteral("import ics"), head + QStringLiteral(" to calendar id \u00ABF\u00BB\nend tell"), importIcs});
}

} // namespace outlookpeer
