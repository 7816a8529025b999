// The simulated Outlook's notes: their properties (id, name, iCalendar export, plain text, categories),
// every note's properties, new notes made from a properties record, properties set and notes moved
// between note folders with their ids kept. Note fields: `name`, `content`, `categories` (ids).

#include "OutlookNoteScripts.h"

#include <QJsonArray>

namespace outlookpeer {

namespace {

const QString kTell = QStringLiteral("tell application \u00ABA\u00BB\n");
const QString kEnd = QStringLiteral("\nend tell");

ScriptOutcome missingNote(qint64 id)
{
    return ScriptOutcome::error(kErrorNoSuchObject, QStringLiteral("Can't get note id %1.").arg(id));
}

bool isNoteFolder(const ScriptContext &context, qint64 id)
{
    for (const PeerFolder &folder : context.store.folders(QStringLiteral("note folder"))) {
        if (folder.id == id)
            return true;
    }
    return false;
}

Descriptor noteProperties(const PeerRecord &record)
{
    Descriptor properties = Descriptor::record();
    properties.set(code("pcls"), Descriptor::typeCode(code("cNte")));
    properties.set(code("ID  "), Descriptor::integer(qint32(record.id)));
    properties.set(code("pnam"), Descriptor::text(record.fields.value(QStringLiteral("name")).toString()));
    properties.set(code("iCal"), Descriptor::text(noteICalendar(record)));
    if (record.fields.contains(QStringLiteral("content")))
        properties.set(code("PlTC"), Descriptor::text(record.fields.value(QStringLiteral("content")).toString()));
    Descriptor categories = Descriptor::list();
    for (const QJsonValue &id : record.fields.value(QStringLiteral("categories")).toArray())
        categories.append(Descriptor::objectSpecifier(code("ctgy"), qint32(id.toInteger())));
    properties.set(code("cCtg"), categories);
    return properties;
}

// One label of a properties record; false for one Outlook refuses (nothing is changed then).
bool setNoteProperty(QJsonObject &fields, const QString &label, const ScriptValue &value)
{
    if ((label == u"name" || label == u"plain text content") && value.kind == ScriptValue::Kind::Text) {
        fields[label == u"name" ? QStringLiteral("name") : QStringLiteral("content")] = value.text;
        return true;
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

bool applyNoteProperties(QJsonObject &fields, const ScriptValue &properties)
{
    if (properties.kind != ScriptValue::Kind::Record)
        return false;
    QJsonObject changed = fields;
    for (const auto &[label, value] : properties.fields) {
        if (!setNoteProperty(changed, label, value))
            return false;
    }
    fields = changed;
    return true;
}

// captures: application, [folder], properties. A note made without a name takes its content's first
// line, as Outlook titles notes.
ScriptOutcome createNote(const QList<ScriptValue> &captures, ScriptContext &context)
{
    const QList<PeerFolder> folders = context.store.folders(QStringLiteral("note folder"));
    const qint64 folder = captures.size() == 3 ? captures.at(1).integer : (folders.isEmpty() ? 0 : folders.first().id);
    if (!isNoteFolder(context, folder))
        return ScriptOutcome::error(kErrorNoSuchObject, QStringLiteral("Can't get note folder id %1.").arg(folder));
    PeerRecord record;
    record.folder = folder;
    record.created = context.now;
    record.modified = context.now;
    if (!applyNoteProperties(record.fields, captures.last()))
        return ScriptOutcome::error(kErrorCannotCoerce, QStringLiteral("Can't make the properties into a note."));
    if (!record.fields.contains(QStringLiteral("name")))
        record.fields[QStringLiteral("name")] =
            record.fields.value(QStringLiteral("content")).toString().section(u'\n', 0, 0).section(u'\r', 0, 0);
    if (!context.store.addRecord(RecordKind::Note, record))
        return ScriptOutcome::error(kErrorGeneral, context.store.lastProblem());
    return {Descriptor::objectSpecifier(code("cNte"), qint32(record.id))};
}

// captures: application, id, properties.
ScriptOutcome setNoteProperties(const QList<ScriptValue> &captures, ScriptContext &context)
{
    const qint64 id = captures.value(1).integer;
    std::optional<PeerRecord> record = context.store.record(RecordKind::Note, id);
    if (!record)
        return missingNote(id);
    if (!applyNoteProperties(record->fields, captures.last()))
        return ScriptOutcome::error(kErrorCannotCoerce, QStringLiteral("Can't set the properties of note id %1.").arg(id));
    return storeChangedRecord(context, RecordKind::Note, *record);
}

ScriptOutcome moveNote(const QList<ScriptValue> &captures, ScriptContext &context)
{
    const qint64 id = captures.value(1).integer;
    std::optional<PeerRecord> record = context.store.record(RecordKind::Note, id);
    if (!record)
        return missingNote(id);
    if (!isNoteFolder(context, captures.value(2).integer))
        return ScriptOutcome::error(kErrorNoSuchObject, QStringLiteral("Can't get note folder id %1.").arg(captures.value(2).integer));
    record->folder = captures.value(2).integer;
    return storeChangedRecord(context, RecordKind::Note, *record, Descriptor::objectSpecifier(code("cNte"), qint32(record->id)));
}

// captures: application, then the application again or the folder.
ScriptOutcome listNotes(const QList<ScriptValue> &captures, ScriptContext &context, bool inFolder)
{
    RecordFilter filter;
    if (inFolder) {
        if (!isNoteFolder(context, captures.at(1).integer))
            return ScriptOutcome::error(kErrorNoSuchObject, QStringLiteral("Can't get note folder id %1.").arg(captures.at(1).integer));
        filter.folder = captures.at(1).integer;
    }
    Descriptor list = Descriptor::list();
    for (const PeerRecord &record : context.store.records(RecordKind::Note, filter))
        list.append(noteProperties(record));
    if (!context.store.lastProblem().isEmpty())
        return ScriptOutcome::error(kErrorGeneral, context.store.lastProblem());
    return {list};
}

} // namespace

QString noteICalendar(const PeerRecord &record)
{
    return QStringLiteral("BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//Outlook Peer//Notes//EN\r\nBEGIN:VJOURNAL\r\n"
                          "UID:peer-note-%1\r\nSUMMARY:%2\r\nDTSTAMP:%3\r\nEND:VJOURNAL\r\nEND:VCALENDAR\r\n")
        .arg(record.id)
        .arg(record.fields.value(QStringLiteral("name")).toString(),
             record.modified.toUTC().toString(QStringLiteral("yyyyMMdd'T'HHmmss'Z'")));
}

QString noteWriteKind(const QString &script)
{
    if (script.contains(QLatin1String("make new note ")))
        return QStringLiteral("create note");
    if (script.contains(QLatin1String("set the properties of note id ")))
        return QStringLiteral("set note properties");
    if (script.contains(QLatin1String("move note id ")))
        return QStringLiteral("move note");
    return QString();
}

bool isNoteWriteKind(const QString &kind)
{
    return kind == u"create note" || kind == u"set note properties" || kind == u"move note";
}

void addNoteForms(QList<ScriptForm> &forms)
{
    forms.append({QStringLiteral("note properties"),
                  kTell + QStringLiteral("set theMemos to the properties of note id \u00ABI\u00BB of application \u00ABA\u00BB\nreturn theMemos") + kEnd,
                  [](const QList<ScriptValue> &captures, ScriptContext &context) {
                      const std::optional<PeerRecord> record = context.store.record(RecordKind::Note, captures.value(1).integer);
                      return record ? ScriptOutcome{noteProperties(*record)} : missingNote(captures.value(1).integer);
                  }});
    forms.append({QStringLiteral("note listing"),
                  kTell + QStringLiteral("set theMemos to the properties of every note of application \u00ABA\u00BB\nreturn theMemos") + kEnd,
                  [](const QList<ScriptValue> &captures, ScriptContext &context) { return listNotes(captures, context, false); }});
    forms.append({QStringLiteral("note listing"),
                  kTell + QStringLiteral("set theMemos to the properties of every note in note folder id \u00ABF\u00BB\nreturn theMemos") + kEnd,
                  [](const QList<ScriptValue> &captures, ScriptContext &context) { return listNotes(captures, context, true); }});
    forms.append({QStringLiteral("create note"), kTell + QStringLiteral("set newMemo to make new note with properties \u00ABV\u00BB") + kEnd,
                  createNote});
    forms.append({QStringLiteral("create note"),
                  kTell + QStringLiteral("set newMemo to make new note in note folder id \u00ABF\u00BB with properties \u00ABV\u00BB") + kEnd,
                  createNote});
    forms.append({QStringLiteral("set note properties"),
                  kTell + QStringLiteral("set the properties of note id \u00ABI\u00BB to \u00ABV\u00BB") + kEnd, setNoteProperties});
    forms.append({QStringLiteral("move note"), kTell + QStringLiteral("move note id \u00ABI\u00BB to note folder id \u00ABF\u00BB") + kEnd,
                  moveNote});
}

} // namespace outlookpeer
