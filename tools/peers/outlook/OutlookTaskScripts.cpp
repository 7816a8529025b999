// The simulated Outlook's tasks: their properties (id, name, iCalendar export, plain text, categories,
// start and due dates), every task's properties, new tasks made from a properties record, properties
// set and tasks moved between task folders with their ids kept. Task fields: `name`, `content`,
// `startDate`, `dueDate`, `reminder` (ISO 8601), `priority` ("high", "normal", "low"), `categories`
// (ids), `rrule`, `guid`; `completed` is the record's own.

#include "OutlookTaskScripts.h"

#include <QJsonArray>
#include <QTimeZone>

namespace outlookpeer {

namespace {

const QString kTell = QStringLiteral("tell application \u00ABA\u00BB\n");
const QString kEnd = QStringLiteral("\nend tell");

ScriptOutcome missingTask(qint64 id)
{
    return ScriptOutcome::error(kErrorNoSuchObject, QStringLiteral("Can't get task id %1.").arg(id));
}

bool isTaskFolder(const ScriptContext &context, qint64 id)
{
    for (const PeerFolder &folder : context.store.folders(QStringLiteral("task folder"))) {
        if (folder.id == id)
            return true;
    }
    return false;
}

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
    Descriptor categories = Descriptor::list();
    for (const QJsonValue &id : record.fields.value(QStringLiteral("categories")).toArray())
        categories.append(Descriptor::objectSpecifier(code("ctgy"), qint32(id.toInteger())));
    properties.set(code("cCtg"), categories);
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
    if (label != u"category" || value.kind != ScriptValue::Kind::List)
        return false;
    QJsonArray ids;
    for (const ScriptValue &item : value.items) {
        if (item.kind != ScriptValue::Kind::CategoryReference)
            return false;
        ids.append(item.integer);
    }
    fields[QStringLiteral("categories")] = ids;
    return true;
}

bool applyTaskProperties(PeerRecord &record, const ScriptValue &properties)
{
    if (properties.kind != ScriptValue::Kind::Record)
        return false;
    PeerRecord changed = record;
    for (const auto &[label, value] : properties.fields) {
        if (!setTaskProperty(changed, label, value))
            return false;
    }
    record = changed;
    return true;
}

// captures: application, [folder], properties.
ScriptOutcome createTask(const QList<ScriptValue> &captures, ScriptContext &context)
{
    const QList<PeerFolder> folders = context.store.folders(QStringLiteral("task folder"));
    const qint64 folder = captures.size() == 3 ? captures.at(1).integer : (folders.isEmpty() ? 0 : folders.first().id);
    if (!isTaskFolder(context, folder))
        return ScriptOutcome::error(kErrorNoSuchObject, QStringLiteral("Can't get task folder id %1.").arg(folder));
    PeerRecord record;
    record.folder = folder;
    record.created = context.now;
    record.modified = context.now;
    if (!applyTaskProperties(record, captures.last()))
        return ScriptOutcome::error(kErrorCannotCoerce, QStringLiteral("Can't make the properties into a task."));
    if (!context.store.addRecord(RecordKind::Task, record))
        return ScriptOutcome::error(kErrorGeneral, context.store.lastProblem());
    return {Descriptor::objectSpecifier(code("cTsk"), qint32(record.id))};
}

// captures: application, id, properties.
ScriptOutcome setTaskProperties(const QList<ScriptValue> &captures, ScriptContext &context)
{
    const qint64 id = captures.value(1).integer;
    std::optional<PeerRecord> record = context.store.record(RecordKind::Task, id);
    if (!record)
        return missingTask(id);
    if (!applyTaskProperties(*record, captures.last()))
        return ScriptOutcome::error(kErrorCannotCoerce, QStringLiteral("Can't set the properties of task id %1.").arg(id));
    return storeChangedRecord(context, RecordKind::Task, *record);
}

ScriptOutcome moveTask(const QList<ScriptValue> &captures, ScriptContext &context)
{
    const qint64 id = captures.value(1).integer;
    std::optional<PeerRecord> record = context.store.record(RecordKind::Task, id);
    if (!record)
        return missingTask(id);
    if (!isTaskFolder(context, captures.value(2).integer))
        return ScriptOutcome::error(kErrorNoSuchObject, QStringLiteral("Can't get task folder id %1.").arg(captures.value(2).integer));
    record->folder = captures.value(2).integer;
    return storeChangedRecord(context, RecordKind::Task, *record, Descriptor::objectSpecifier(code("cTsk"), qint32(record->id)));
}

// captures: application, then the application again or the folder.
ScriptOutcome listTasks(const QList<ScriptValue> &captures, ScriptContext &context, bool inFolder)
{
    RecordFilter filter;
    if (inFolder) {
        if (!isTaskFolder(context, captures.at(1).integer))
            return ScriptOutcome::error(kErrorNoSuchObject, QStringLiteral("Can't get task folder id %1.").arg(captures.at(1).integer));
        filter.folder = captures.at(1).integer;
    }
    Descriptor list = Descriptor::list();
    for (const PeerRecord &record : context.store.records(RecordKind::Task, filter))
        list.append(taskProperties(record));
    if (!context.store.lastProblem().isEmpty())
        return ScriptOutcome::error(kErrorGeneral, context.store.lastProblem());
    return {list};
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
    if (script.contains(QLatin1String("make new task ")))
        return QStringLiteral("create task");
    if (script.contains(QLatin1String("set the properties of task id ")))
        return QStringLiteral("set task properties");
    if (script.contains(QLatin1String("move task id ")))
        return QStringLiteral("move task");
    return QString();
}

bool isTaskWriteKind(const QString &kind)
{
    return kind == u"create task" || kind == u"set task properties" || kind == u"move task";
}

void addTaskForms(QList<ScriptForm> &forms)
{
    forms.append({QStringLiteral("task properties"),
                  kTell + QStringLiteral("set theTasks to the properties of task id \u00ABI\u00BB of application \u00ABA\u00BB\nreturn theTasks") + kEnd,
                  [](const QList<ScriptValue> &captures, ScriptContext &context) {
                      const std::optional<PeerRecord> record = context.store.record(RecordKind::Task, captures.value(1).integer);
                      return record ? ScriptOutcome{taskProperties(*record)} : missingTask(captures.value(1).integer);
                  }});
    forms.append({QStringLiteral("task listing"),
                  kTell + QStringLiteral("set theTasks to the properties of every task of application \u00ABA\u00BB\nreturn theTasks") + kEnd,
                  [](const QList<ScriptValue> &captures, ScriptContext &context) { return listTasks(captures, context, false); }});
    forms.append({QStringLiteral("task listing"),
                  kTell + QStringLiteral("set theTasks to the properties of every task in task folder id \u00ABF\u00BB\nreturn theTasks") + kEnd,
                  [](const QList<ScriptValue> &captures, ScriptContext &context) { return listTasks(captures, context, true); }});
    forms.append({QStringLiteral("create task"), kTell + QStringLiteral("set newTask to make new task with properties \u00ABV\u00BB") + kEnd,
                  createTask});
    forms.append({QStringLiteral("create task"),
                  kTell + QStringLiteral("set newTask to make new task in task folder id \u00ABF\u00BB with properties \u00ABV\u00BB") + kEnd,
                  createTask});
    forms.append({QStringLiteral("set task properties"),
                  kTell + QStringLiteral("set the properties of task id \u00ABI\u00BB to \u00ABV\u00BB") + kEnd, setTaskProperties});
    forms.append({QStringLiteral("move task"), kTell + QStringLiteral("move task id \u00ABI\u00BB to task folder id \u00ABF\u00BB") + kEnd,
                  moveTask});
}

} // namespace outlookpeer
