#include "OutlookFolderScripts.h"

#include <QJsonArray>
#include <QJsonObject>

namespace outlookpeer {

namespace {

const QString kTell = QStringLiteral("tell application \u00ABA\u00BB\n");
const QString kEnd = QStringLiteral("\nend tell");

ScriptOutcome accountIds(const ScriptContext &context)
{
    Descriptor list = Descriptor::list();
    for (const QJsonValue &account : context.exchangeAccounts)
        list.append(Descriptor::integer(qint32(account.toObject().value(QStringLiteral("id")).toInteger())));
    return {list};
}

ScriptOutcome accountName(const QList<ScriptValue> &captures, const ScriptContext &context)
{
    const QString id = captures.value(1).text;
    for (const QJsonValue &value : context.exchangeAccounts) {
        const QJsonObject account = value.toObject();
        if (QString::number(account.value(QStringLiteral("id")).toInteger()) == id)
            return {Descriptor::text(account.value(QStringLiteral("name")).toString())};
    }
    return ScriptOutcome::error(kErrorNoSuchObject, QStringLiteral("Can't get exchange account id \"%1\".").arg(id));
}

ScriptOutcome folderCount(RecordKind kind, const QString &folderKind, const QList<ScriptValue> &captures,
                          ScriptContext &context)
{
    qint64 folder = -1;
    for (const ScriptValue &value : captures) {
        if (value.kind == ScriptValue::Kind::Integer)
            folder = value.integer;
    }
    bool exists = false;
    for (const PeerFolder &known : context.store.folders(folderKind))
        exists = exists || known.id == folder;
    if (!exists)
        return ScriptOutcome::error(kErrorNoSuchObject, QStringLiteral("Can't get %1 id %2.").arg(folderKind).arg(folder));
    RecordFilter filter;
    filter.folder = folder;
    return {Descriptor::integer(qint32(context.store.stamps(kind, filter).size()))};
}

} // namespace

Descriptor folderPropertiesWithAccount(const PeerFolder &folder, const ScriptContext &context)
{
    Descriptor properties = folderProperties(folder);
    for (const QJsonValue &value : context.exchangeAccounts) {
        const QJsonObject account = value.toObject();
        for (const QJsonValue &held : account.value(QStringLiteral("folders")).toArray()) {
            if (held.toInteger() == folder.id) {
                properties.set(code("cAct"), Descriptor::objectSpecifier(
                                                 code("cExA"), qint32(account.value(QStringLiteral("id")).toInteger())));
                return properties;
            }
        }
    }
    return properties;
}

void addFolderPickerForms(QList<ScriptForm> &forms)
{
    forms.append({QStringLiteral("accounts"),
                  kTell + QStringLiteral("set theId to the id of every exchange account of application \u00ABA\u00BB\nreturn theId") + kEnd,
                  [](const QList<ScriptValue> &, ScriptContext &context) { return accountIds(context); }});
    forms.append({QStringLiteral("accounts"),
                  kTell + QStringLiteral("return the name of exchange account id \u00ABS\u00BB") + kEnd,
                  [](const QList<ScriptValue> &captures, ScriptContext &context) { return accountName(captures, context); }});
    struct Counted
    {
        RecordKind kind;
        const char *counted;
        const char *folderKind;
    };
    static const Counted counts[] = {{RecordKind::Contact, "contacts in address book", "address book"},
                                     {RecordKind::Event, "calendar events in calendar", "calendar"},
                                     {RecordKind::Task, "tasks in task folder", "task folder"},
                                     {RecordKind::Note, "notes in note folder", "note folder"}};
    for (const Counted &count : counts) {
        const QString folderKind = QLatin1String(count.folderKind);
        const RecordKind kind = count.kind;
        forms.append({QStringLiteral("folder count"),
                      kTell + QStringLiteral("set theCount to the count of the %1 id \u00ABF\u00BB\nreturn theCount").arg(QLatin1String(count.counted)) + kEnd,
                      [kind, folderKind](const QList<ScriptValue> &captures, ScriptContext &context) {
                          return folderCount(kind, folderKind, captures, context);
                      }});
    }
}

} // namespace outlookpeer
