// The simulated Outlook's tasks: their properties (id, name, iCalendar export, plain text, categories,
// start and due dates), every task's properties, new tasks made from a properties record, properties
// set and tasks moved between task folders with their ids kept. Task fields: `name`, `content`,
// `startDate`, `dueDate`, `reminder` (ISO 8601), `priority` ("high", "normal", "low"), `categories`
// (ids), `rrule`, `guid`; `completed` is the record's own.

#include "OutlookTaskScripts.h"

#include "OutlookRecordClassScripts.h"

#include <QJsonArray>
#include <QTimeZone>

namespace outlookpeer {

namespace {

QDateTime fieldDate(const PeerRecord &record, const char *key)
{
    return QDateTime::fromString(record.fields.value(QLatin1String(key)).toString(), Qt::ISODateWithMs);
}

QString icalText(QString text)
{
    text.remove(u'\r');
    return text.replace(u'\\', QStringLiteral("\\\\")).replace(u';', QStringLiteral("\\;")).replace(u',', QStringLiteral("\\,")).replace(u'\n', QStringLiteral("\\n"));
}

QString localText(const QDateTime &date)
{
    return date.toTimeZone(QTimeZone::systemTimeZone()).toString(QStringLiteral("yyyyMMdd'T'HHmmss"));
}

Descriptor taskProperties(const PeerRecord &record)
{
    Descriptor properties = Descriptor::record();
    properties.set(code("pcls"), Descriptor::typeCode(code("cTsk")));
    properties.set(code("ID  "), Descriptor::integer(qint32(record.id)));
    properties.set(code("pnam"), Descriptor::text(record.fields.value(QStringLiteral("name")).toString()));
    properties.set(code("iCal"), Descriptor::text(taskICalendar(record)));
    if (record.fields.contains(QStringLiteral("content")))
        properties.set(code("PlTC"), Descriptor::text(record.fields.value(QStringLiteral("content")).toString()));
    if (const QDateTime start = fieldDate(record, "startDate"); start.isValid())
        properties.set(code("tStr"), Descriptor::date(start));
    if (const QDateTime due = fieldDate(record, "dueDate"); due.isValid())
        properties.set(code("tDue"), Descriptor::date(due));
    properties.set(code("cCtg"), categoriesOf(record));
    return properties;
}

bool setTaskDate(QJsonObject &fields, const QString &key, const ScriptValue &value)
{
    if (value.kind != ScriptValue::Kind::Date)
        return false;
    fields[key] = value.date.toUTC().toString(Qt::ISODateWithMs);
    return true;
}

// One label of a properties record; false for one Outlook refuses (nothing is changed then).
bool setTaskProperty(PeerRecord &record, const QString &label, const ScriptValue &value)
{
    QJsonObject &fields = record.fields;
    const bool isText = value.kind == ScriptValue::Kind::Text;
    const bool isWord = value.kind == ScriptValue::Kind::Enumeration;
    if (label == u"name" || label == u"plain text content") {
        fields[label == u"name" ? QStringLiteral("name") : QStringLiteral("content")] = value.text;
        return isText;
    }
    if (label == u"start date" || label == u"due date" || label == u"reminder date time")
        return setTaskDate(fields, label == u"start date" ? QStringLiteral("startDate") : label == u"due date" ? QStringLiteral("dueDate") : QStringLiteral("reminder"), value);
    if (label == u"todo flag" && isWord && (value.text == u"completed" || value.text == u"not completed")) {
        record.completed = value.text == u"completed";
        return true;
    }
    if (label == u"priority" && isWord && value.text.startsWith(QLatin1String("priority "))) {
        const QString level = value.text.mid(9);
        fields[QStringLiteral("priority")] = level;
        return level == u"high" || level == u"normal" || level == u"low";
    }
    return label == u"category" && setCategoryIds(fields, value);
}

const RecordClass &tasks()
{
    static const RecordClass tasks{RecordKind::Task, QStringLiteral("task"), QStringLiteral("task folder"), code("cTsk"),
                                   QStringLiteral("theTasks"), QStringLiteral("newTask"), taskProperties, setTaskProperty, {}};
    return tasks;
}

} // namespace

QString taskICalendar(const PeerRecord &record)
{
    QStringList lines{QStringLiteral("BEGIN:VCALENDAR"), QStringLiteral("VERSION:2.0"), QStringLiteral("PRODID:-//Outlook Peer//Tasks//EN"),
                      QStringLiteral("BEGIN:VTODO")};
    const QString guid = record.fields.value(QStringLiteral("guid")).toString();
    lines.append(QStringLiteral("UID:") + (guid.isEmpty() ? QStringLiteral("peer-task-%1").arg(record.id) : guid));
    lines.append(QStringLiteral("SUMMARY:") + icalText(record.fields.value(QStringLiteral("name")).toString()));
    if (const QDateTime start = fieldDate(record, "startDate"); start.isValid())
        lines.append(QStringLiteral("DTSTART:") + localText(start));
    if (const QDateTime due = fieldDate(record, "dueDate"); due.isValid())
        lines.append(QStringLiteral("DUE:") + localText(due));
    const QString priority = record.fields.value(QStringLiteral("priority")).toString();
    lines.append(QStringLiteral("PRIORITY:") + (priority == u"high" ? QStringLiteral("3") : priority == u"low" ? QStringLiteral("7") : QStringLiteral("5")));
    if (record.completed)
        lines.append(QStringLiteral("COMPLETED:") + record.modified.toUTC().toString(QStringLiteral("yyyyMMdd'T'HHmmss'Z'")));
    if (const QString rule = record.fields.value(QStringLiteral("rrule")).toString(); !rule.isEmpty())
        lines.append(QStringLiteral("RRULE:") + rule);
    // The trigger's text is universal time, without the "Z".
    if (const QDateTime reminder = fieldDate(record, "reminder"); reminder.isValid())
        lines << QStringLiteral("BEGIN:VALARM") << QStringLiteral("ACTION:DISPLAY")
              << QStringLiteral("TRIGGER;RELATED=DATE-TIME:") + reminder.toUTC().toString(QStringLiteral("yyyyMMdd'T'HHmmss"))
              << QStringLiteral("END:VALARM");
    lines << QStringLiteral("END:VTODO") << QStringLiteral("END:VCALENDAR");
    return lines.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n");
}

QString taskWriteKind(const QString &script)
{
    return recordWriteKind(tasks(), script);
}

bool isTaskWriteKind(const QString &kind)
{
    return isRecordWriteKind(tasks(), kind);
}

void addTaskForms(QList<ScriptForm> &forms)
{
    addRecordClassForms(forms, tasks());
}

} // namespace outlookpeer
