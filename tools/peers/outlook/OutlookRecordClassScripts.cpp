// The scripts notes and tasks share: a record's properties, every record's properties, records made
// from a properties record, properties set, records moved between folders with their ids kept. A
// refused write (an unknown label or value) changes nothing.

#include "OutlookRecordClassScripts.h"

#include <QJsonArray>

namespace outlookpeer {

namespace {

const QString kTell = QStringLiteral("tell application \u00ABA\u00BB\n");
const QString kEnd = QStringLiteral("\nend tell");

ScriptOutcome missing(const RecordClass &recordClass, qint64 id)
{
    return ScriptOutcome::error(kErrorNoSuchObject, QStringLiteral("Can't get %1 id %2.").arg(recordClass.name).arg(id));
}

bool isFolder(const RecordClass &recordClass, const ScriptContext &context, qint64 id)
{
    for (const PeerFolder &folder : context.store.folders(recordClass.folderKind)) {
        if (folder.id == id)
            return true;
    }
    return false;
}

ScriptOutcome missingFolder(const RecordClass &recordClass, qint64 id)
{
    return ScriptOutcome::error(kErrorNoSuchObject, QStringLiteral("Can't get %1 id %2.").arg(recordClass.folderKind).arg(id));
}

bool applyProperties(const RecordClass &recordClass, PeerRecord &record, const ScriptValue &properties)
{
    if (properties.kind != ScriptValue::Kind::Record)
        return false;
    PeerRecord changed = record;
    for (const auto &[label, value] : properties.fields) {
        if (!recordClass.setProperty(changed, label, value))
            return false;
    }
    record = changed;
    return true;
}

// captures: application, [folder], properties.
ScriptOutcome create(const RecordClass &recordClass, const QList<ScriptValue> &captures, ScriptContext &context)
{
    const QList<PeerFolder> folders = context.store.folders(recordClass.folderKind);
    const qint64 folder = captures.size() == 3 ? captures.at(1).integer : (folders.isEmpty() ? 0 : folders.first().id);
    if (!isFolder(recordClass, context, folder))
        return missingFolder(recordClass, folder);
    PeerRecord record;
    record.folder = folder;
    record.created = context.now;
    record.modified = context.now;
    if (!applyProperties(recordClass, record, captures.last()))
        return ScriptOutcome::error(kErrorCannotCoerce, QStringLiteral("Can't make the properties into a %1.").arg(recordClass.name));
    if (recordClass.completeNew)
        recordClass.completeNew(record);
    if (!context.store.addRecord(recordClass.kind, record))
        return ScriptOutcome::error(kErrorGeneral, context.store.lastProblem());
    return {Descriptor::objectSpecifier(recordClass.classCode, qint32(record.id))};
}

// captures: application, id, properties.
ScriptOutcome setProperties(const RecordClass &recordClass, const QList<ScriptValue> &captures, ScriptContext &context)
{
    const qint64 id = captures.value(1).integer;
    std::optional<PeerRecord> record = context.store.record(recordClass.kind, id);
    if (!record)
        return missing(recordClass, id);
    if (!applyProperties(recordClass, *record, captures.last()))
        return ScriptOutcome::error(kErrorCannotCoerce, QStringLiteral("Can't set the properties of %1 id %2.").arg(recordClass.name).arg(id));
    return storeChangedRecord(context, recordClass.kind, *record);
}

ScriptOutcome move(const RecordClass &recordClass, const QList<ScriptValue> &captures, ScriptContext &context)
{
    const qint64 id = captures.value(1).integer;
    std::optional<PeerRecord> record = context.store.record(recordClass.kind, id);
    if (!record)
        return missing(recordClass, id);
    if (!isFolder(recordClass, context, captures.value(2).integer))
        return missingFolder(recordClass, captures.value(2).integer);
    record->folder = captures.value(2).integer;
    return storeChangedRecord(context, recordClass.kind, *record, Descriptor::objectSpecifier(recordClass.classCode, qint32(record->id)));
}

// captures: application, then the application again or the folder.
ScriptOutcome list(const RecordClass &recordClass, const QList<ScriptValue> &captures, ScriptContext &context, bool inFolder)
{
    RecordFilter filter;
    if (inFolder) {
        if (!isFolder(recordClass, context, captures.at(1).integer))
            return missingFolder(recordClass, captures.at(1).integer);
        filter.folder = captures.at(1).integer;
    }
    Descriptor answer = Descriptor::list();
    for (const PeerRecord &record : context.store.records(recordClass.kind, filter))
        answer.append(recordClass.properties(record));
    if (!context.store.lastProblem().isEmpty())
        return ScriptOutcome::error(kErrorGeneral, context.store.lastProblem());
    return {answer};
}

} // namespace

bool setCategoryIds(QJsonObject &fields, const ScriptValue &value)
{
    if (value.kind != ScriptValue::Kind::List)
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

Descriptor categoriesOf(const PeerRecord &record)
{
    Descriptor categories = Descriptor::list();
    for (const QJsonValue &id : record.fields.value(QStringLiteral("categories")).toArray())
        categories.append(Descriptor::objectSpecifier(code("ctgy"), qint32(id.toInteger())));
    return categories;
}

QString recordWriteKind(const RecordClass &recordClass, const QString &script)
{
    if (script.contains(QStringLiteral("make new %1 ").arg(recordClass.name)))
        return QStringLiteral("create ") + recordClass.name;
    if (script.contains(QStringLiteral("set the properties of %1 id ").arg(recordClass.name)))
        return QStringLiteral("set %1 properties").arg(recordClass.name);
    if (script.contains(QStringLiteral("move %1 id ").arg(recordClass.name)))
        return QStringLiteral("move ") + recordClass.name;
    return QString();
}

bool isRecordWriteKind(const RecordClass &recordClass, const QString &kind)
{
    return kind == QStringLiteral("create ") + recordClass.name || kind == QStringLiteral("set %1 properties").arg(recordClass.name)
        || kind == QStringLiteral("move ") + recordClass.name;
}

void addRecordClassForms(QList<ScriptForm> &forms, const RecordClass &recordClass)
{
    const RecordClass &c = recordClass;
    const QString &n = c.name;
    forms.append({n + QStringLiteral(" properties"),
                  kTell + QStringLiteral("set %1 to the properties of %2 id \u00ABI\u00BB of application \u00ABA\u00BB\nreturn %1").arg(c.variable, n) + kEnd,
                  [c](const QList<ScriptValue> &captures, ScriptContext &context) {
                      const std::optional<PeerRecord> record = context.store.record(c.kind, captures.value(1).integer);
                      return record ? ScriptOutcome{c.properties(*record)} : missing(c, captures.value(1).integer);
                  }});
    forms.append({n + QStringLiteral(" listing"),
                  kTell + QStringLiteral("set %1 to the properties of every %2 of application \u00ABA\u00BB\nreturn %1").arg(c.variable, n) + kEnd,
                  [c](const QList<ScriptValue> &captures, ScriptContext &context) { return list(c, captures, context, false); }});
    forms.append({n + QStringLiteral(" listing"),
                  kTell + QStringLiteral("set %1 to the properties of every %2 in %3 id \u00ABF\u00BB\nreturn %1").arg(c.variable, n, c.folderKind) + kEnd,
                  [c](const QList<ScriptValue> &captures, ScriptContext &context) { return list(c, captures, context, true); }});
    const auto make = [c](const QList<ScriptValue> &captures, ScriptContext &context) { return create(c, captures, context); };
    forms.append({QStringLiteral("create ") + n, kTell + QStringLiteral("set %1 to make new %2 with properties \u00ABV\u00BB").arg(c.newVariable, n) + kEnd, make});
    forms.append({QStringLiteral("create ") + n,
                  kTell + QStringLiteral("set %1 to make new %2 in %3 id \u00ABF\u00BB with properties \u00ABV\u00BB").arg(c.newVariable, n, c.folderKind) + kEnd,
                  make});
    forms.append({QStringLiteral("set %1 properties").arg(n),
                  kTell + QStringLiteral("set the properties of %1 id \u00ABI\u00BB to \u00ABV\u00BB").arg(n) + kEnd,
                  [c](const QList<ScriptValue> &captures, ScriptContext &context) { return setProperties(c, captures, context); }});
    forms.append({QStringLiteral("move ") + n, kTell + QStringLiteral("move %1 id \u00ABI\u00BB to %2 id \u00ABF\u00BB").arg(n, c.folderKind) + kEnd,
                  [c](const QList<ScriptValue> &captures, ScriptContext &context) { return move(c, captures, context); }});
}

} // namespace outlookpeer
