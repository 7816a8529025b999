#include "OutlookScripts.h"

#include "OutlookContactScripts.h"
#include "OutlookEventScripts.h"
#include "OutlookFolderScripts.h"
#include "OutlookContactWrites.h"
#include "OutlookEventWrites.h"
#include "OutlookNoteScripts.h"
#include "OutlookTaskScripts.h"

namespace outlookpeer {

namespace {

constexpr int kErrorSyntax = -2741;

const QString kTell = QStringLiteral("tell application \u00ABA\u00BB\n");
const QString kEnd = QStringLiteral("\nend tell");

struct Listing
{
    RecordKind kind;
    QString folderKind; // the kind a folder scope must have; empty: any
    RecordFilter filter;
};

QString folderKindOf(RecordKind kind)
{
    static const char *const kinds[] = {"address book", "calendar", "task folder", "note folder"};
    return QLatin1String(kinds[int(kind)]);
}

std::optional<qint64> folderCapture(const QList<ScriptValue> &captures)
{
    for (const ScriptValue &value : captures) {
        if (value.kind == ScriptValue::Kind::Integer)
            return value.integer;
    }
    return std::nullopt;
}

bool folderExists(const ScriptContext &context, qint64 id, const QString &kind)
{
    for (const PeerFolder &folder : context.store.folders(kind)) {
        if (folder.id == id)
            return true;
    }
    return false;
}

Descriptor occurrenceProperties(const PeerRecord &record)
{
    Descriptor properties = Descriptor::record();
    properties.set(code("pcls"), Descriptor::typeCode(code("cEvt")));
    properties.set(code("ID  "), Descriptor::integer(qint32(record.id)));
    properties.set(code("subj"), Descriptor::text(record.fields.value(QStringLiteral("subject")).toString()));
    properties.set(code("offs"), Descriptor::date(record.start));
    properties.set(code("pMid"), Descriptor::objectSpecifier(code("cEvt"), qint32(record.master)));
    return properties;
}

QByteArray encodeIdList(const QList<RecordStamp> &stamps)
{
    QList<qint64> ids;
    ids.reserve(stamps.size());
    for (const RecordStamp &stamp : stamps)
        ids.append(stamp.id);
    return encodeIntegerList(ids);
}

QByteArray encodeDateList(const QList<RecordStamp> &stamps)
{
    QList<qint64> dates;
    dates.reserve(stamps.size());
    for (const RecordStamp &stamp : stamps)
        dates.append(stamp.modified);
    return outlookpeer::encodeDateList(dates);
}

// "set <var> to the <property> of every <class><scope>" over one kind of record.
ScriptOutcome answerListing(const QString &property, const Listing &listing, const QList<ScriptValue> &captures,
                            ScriptContext &context)
{
    RecordFilter filter = listing.filter;
    filter.folder = folderCapture(captures);
    filter.allEvents = listing.kind == RecordKind::Event && !filter.occurrencesOnly && context.listsOccurrences;
    if (filter.folder && !folderExists(context, *filter.folder, listing.folderKind))
        return ScriptOutcome::error(kErrorNoSuchObject, QStringLiteral("Can't get folder id %1.").arg(*filter.folder));
    if (property != u"properties") {
        const QList<RecordStamp> stamps = context.store.stamps(listing.kind, filter);
        if (!context.store.lastProblem().isEmpty())
            return ScriptOutcome::error(kErrorGeneral, context.store.lastProblem());
        ScriptOutcome outcome;
        outcome.encoded = property == u"id" ? encodeIdList(stamps) : encodeDateList(stamps);
        return outcome;
    }
    Descriptor list = Descriptor::list();
    for (const PeerRecord &record : context.store.records(listing.kind, filter))
        list.append(occurrenceProperties(record));
    if (!context.store.lastProblem().isEmpty())
        return ScriptOutcome::error(kErrorGeneral, context.store.lastProblem());
    return {list};
}

void addListing(QList<ScriptForm> &forms, const QString &kind, const QString &variable, const QString &property,
                const QString &classAndScope, const Listing &listing)
{
    const QString text = kTell + QStringLiteral("set %1 to the %2 of every %3\nreturn %1").arg(variable, property, classAndScope) + kEnd;
    forms.append({kind, text, [property, listing](const QList<ScriptValue> &captures, ScriptContext &context) {
                      return answerListing(property, listing, captures, context);
                  }});
}

void addRecordListings(QList<ScriptForm> &forms)
{
    const QString app = QStringLiteral(" of application \u00ABA\u00BB");
    const Listing contacts{RecordKind::Contact, folderKindOf(RecordKind::Contact), {}};
    const Listing events{RecordKind::Event, folderKindOf(RecordKind::Event), {}};
    const Listing tasks{RecordKind::Task, folderKindOf(RecordKind::Task), {}};
    const Listing notes{RecordKind::Note, folderKindOf(RecordKind::Note), {}};
    Listing openTasks = tasks;
    openTasks.filter.notCompletedOnly = true;
    auto anyFolder = [](Listing listing) { listing.folderKind.clear(); return listing; };
    for (const QString &property : {QStringLiteral("modification date"), QStringLiteral("id")}) {
        const QString kind = property == u"id" ? QStringLiteral("ids") : QStringLiteral("modification dates");
        addListing(forms, kind, QStringLiteral("theContacts"), property, QStringLiteral("contact") + app, contacts);
        addListing(forms, kind, QStringLiteral("theContacts"), property, QStringLiteral("contact in folder id \u00ABF\u00BB"), contacts);
        addListing(forms, kind, QStringLiteral("theEvents"), property, QStringLiteral("calendar event") + app, events);
        addListing(forms, kind, QStringLiteral("theEvents"), property, QStringLiteral("calendar event in calendar id \u00ABF\u00BB"), events);
        addListing(forms, kind, QStringLiteral("theTasks"), property, QStringLiteral("task") + app, tasks);
        addListing(forms, kind, QStringLiteral("theTasks"), property,
                   QStringLiteral("task") + app + QStringLiteral(" where todo flag is not completed"), openTasks);
        addListing(forms, kind, QStringLiteral("theTasks"), property, QStringLiteral("task in task folder id \u00ABF\u00BB"), tasks);
        addListing(forms, kind, QStringLiteral("theMemos"), property, QStringLiteral("note") + app, notes);
        addListing(forms, kind, QStringLiteral("theMemos"), property, QStringLiteral("note in note folder id \u00ABF\u00BB"), notes);
    }
    // The change check's date listings: every record of a class, or those of one folder.
    const QString date = QStringLiteral("modification date");
    const QString dates = QStringLiteral("modification dates");
    const QString theDates = QStringLiteral("theDates");
    addListing(forms, dates, theDates, date, QStringLiteral("contact"), anyFolder(contacts));
    addListing(forms, dates, theDates, date, QStringLiteral("contact in address book id \u00ABF\u00BB"), contacts);
    addListing(forms, dates, theDates, date, QStringLiteral("calendar event"), anyFolder(events));
    addListing(forms, dates, theDates, date, QStringLiteral("calendar event in calendar id \u00ABF\u00BB"), events);
    addListing(forms, dates, theDates, date, QStringLiteral("task"), anyFolder(tasks));
    addListing(forms, dates, theDates, date, QStringLiteral("task in task folder id \u00ABF\u00BB"), tasks);
    // The all-id listings of a folder use the generic "folder id" for every kind.
    addListing(forms, QStringLiteral("ids"), QStringLiteral("theEvents"), QStringLiteral("id"),
               QStringLiteral("calendar event in folder id \u00ABF\u00BB"), anyFolder(events));
    addListing(forms, QStringLiteral("ids"), QStringLiteral("theTasks"), QStringLiteral("id"),
               QStringLiteral("task in folder id \u00ABF\u00BB"), anyFolder(tasks));
    addListing(forms, QStringLiteral("ids"), QStringLiteral("theMemos"), QStringLiteral("id"),
               QStringLiteral("note in folder id \u00ABF\u00BB"), anyFolder(notes));
    Listing occurrences = events;
    occurrences.filter.occurrencesOnly = true;
    addListing(forms, QStringLiteral("exceptions"), QStringLiteral("theEvents"), QStringLiteral("properties"),
               QStringLiteral("calendar event where is occurrence is true"), occurrences);
    addListing(forms, QStringLiteral("exceptions"), QStringLiteral("theEvents"), QStringLiteral("properties"),
               QStringLiteral("calendar event in calendar id \u00ABF\u00BB where is occurrence is true"), occurrences);
}

void addLatestDates(QList<ScriptForm> &forms)
{
    const QString dates = QStringLiteral("modification dates");
    const QString variable = QStringLiteral("theDates");
    const QString property = QStringLiteral("modification date");
    for (RecordKind kind : {RecordKind::Contact, RecordKind::Event, RecordKind::Task}) {
        static const char *const classes[] = {"contact", "calendar event", "task"};
        static const char *const scopes[] = {" in address book id \u00ABF\u00BB", " in calendar id \u00ABF\u00BB",
                                             " in task folder id \u00ABF\u00BB"};
        const Listing listing{kind, folderKindOf(kind), {}};
        const QString cls = QLatin1String(classes[int(kind)]);
        addListing(forms, dates, variable, property, cls, listing);
        addListing(forms, dates, variable, property, cls + QString::fromUtf8(scopes[int(kind)]), listing);
    }
}

ScriptOutcome answerDelete(RecordKind kind, const QList<ScriptValue> &captures, ScriptContext &context)
{
    const qint64 id = captures.value(1).integer;
    if (!context.store.record(kind, id))
        return ScriptOutcome::error(kErrorNoSuchObject, QStringLiteral("Can't get %1 id %2.").arg(kindName(kind)).arg(id));
    if (!context.store.removeRecord(kind, id))
        return ScriptOutcome::error(kErrorGeneral, context.store.lastProblem());
    return {Descriptor::null()};
}

void addDeletes(QList<ScriptForm> &forms)
{
    static const char *const classes[] = {"contact", "calendar event", "task", "note"};
    for (int kind = 0; kind < 4; ++kind) {
        const QString text = kTell + QStringLiteral("delete %1 id \u00ABI\u00BB").arg(QLatin1String(classes[kind])) + kEnd;
        forms.append({QStringLiteral("delete"), text, [kind](const QList<ScriptValue> &captures, ScriptContext &context) {
                          return answerDelete(RecordKind(kind), captures, context);
                      }});
    }
}

void addFolders(QList<ScriptForm> &forms)
{
    for (const char *kind : {"address book", "calendar", "task folder", "note folder"}) {
        const QString folderKind = QLatin1String(kind);
        forms.append({QStringLiteral("folders"),
                      kTell + QStringLiteral("set theFolders to the properties of every %1 of application \u00ABA\u00BB\nreturn theFolders").arg(folderKind) + kEnd,
                      [folderKind](const QList<ScriptValue> &, ScriptContext &context) {
                          if (folderKind == u"address book" && context.unreadableAddressBooks)
                              return ScriptOutcome::error(-2753, QStringLiteral("The variable theFolders is not defined."));
                          Descriptor list = Descriptor::list();
                          for (const PeerFolder &folder : context.store.folders(folderKind))
                              list.append(folderPropertiesWithAccount(folder, context));
                          return ScriptOutcome{list};
                      }});
    }
    for (const char *kind : {"address book", "calendar", "task folder"}) {
        const QString folderKind = QLatin1String(kind);
        forms.append({QStringLiteral("folder ids"),
                      kTell + QStringLiteral("set theFolders to the id of every %1\nreturn theFolders").arg(folderKind) + kEnd,
                      [folderKind](const QList<ScriptValue> &, ScriptContext &context) {
                          Descriptor list = Descriptor::list();
                          for (const PeerFolder &folder : context.store.folders(folderKind))
                              list.append(Descriptor::integer(qint32(folder.id)));
                          return ScriptOutcome{list};
                      }});
    }
}

Descriptor categoryProperties(const PeerCategory &category)
{
    Descriptor properties = Descriptor::record();
    properties.set(code("pnam"), Descriptor::text(category.name));
    properties.set(code("ID  "), Descriptor::integer(qint32(category.id)));
    Descriptor color = Descriptor::list();
    for (int component : category.color)
        color.append(Descriptor::integer(component));
    properties.set(code("colr"), color);
    return properties;
}

ScriptOutcome makeCategory(const QList<ScriptValue> &captures, ScriptContext &context)
{
    PeerCategory category;
    category.name = captures.value(1).text;
    category.color = {0, 0, 0};
    if (captures.size() > 2) {
        const ScriptValue &color = captures.at(2);
        const bool isColor = color.kind == ScriptValue::Kind::List && color.items.size() == 3
            && std::all_of(color.items.begin(), color.items.end(), [](const ScriptValue &item) {
                   return item.kind == ScriptValue::Kind::Integer && item.integer >= 0 && item.integer <= 65535;
               });
        if (!isColor)
            return ScriptOutcome::error(kErrorCannotCoerce, QStringLiteral("Can't make the colour into type RGB color."));
        category.color = {int(color.items[0].integer), int(color.items[1].integer), int(color.items[2].integer)};
    }
    if (!context.store.addCategory(category))
        return ScriptOutcome::error(kErrorGeneral, context.store.lastProblem());
    return {Descriptor::objectSpecifier(code("ctgy"), qint32(category.id))};
}

void addCategories(QList<ScriptForm> &forms)
{
    forms.append({QStringLiteral("categories"),
                  kTell + QStringLiteral("set theCategories to the properties of every category of application \u00ABA\u00BB\nreturn theCategories") + kEnd,
                  [](const QList<ScriptValue> &, ScriptContext &context) {
                      Descriptor list = Descriptor::list();
                      for (const PeerCategory &category : context.store.categories())
                          list.append(categoryProperties(category));
                      return ScriptOutcome{list};
                  }});
    const QString make = QStringLiteral("tell application \u00ABA\u00BB to make new category with properties {name:\u00ABS\u00BB");
    forms.append({QStringLiteral("make category"), make + QStringLiteral(", color:\u00ABV\u00BB}"), makeCategory});
    forms.append({QStringLiteral("make category"), make + QStringLiteral("}"), makeCategory});
}

void addApplicationFacts(QList<ScriptForm> &forms)
{
    forms.append({QStringLiteral("version"),
                  kTell + QStringLiteral("set outlookVersion to version\nreturn outlookVersion") + kEnd,
                  [](const QList<ScriptValue> &captures, ScriptContext &context) {
                      const QString reference = captures.isEmpty() ? QString() : captures.first().text;
                      return ScriptOutcome{Descriptor::text(context.versionTextFor.value(reference, context.versionText))};
                  }});
    for (const char *kind : {"exchange", "imap"}) {
        const QString accountKind = QLatin1String(kind);
        forms.append({QStringLiteral("accounts"),
                      kTell + QStringLiteral("return the email address of every %1 account").arg(accountKind) + kEnd,
                      [accountKind](const QList<ScriptValue> &, ScriptContext &context) {
                          Descriptor list = Descriptor::list();
                          for (const QString &email : context.store.accounts(accountKind))
                              list.append(Descriptor::text(email));
                          return ScriptOutcome{list};
                      }});
    }
}

QList<ScriptForm> makeForms()
{
    QList<ScriptForm> forms;
    addRecordListings(forms);
    addLatestDates(forms);
    addDeletes(forms);
    addFolders(forms);
    addCategories(forms);
    addApplicationFacts(forms);
    addContactForms(forms);
    addEventForms(forms);
    addContactWriteForms(forms);
    addFolderPickerForms(forms);
    addEventWriteForms(forms);
    addNoteForms(forms);
    addTaskForms(forms);
    return forms;
}

QString foundText(const QString &script, qsizetype at)
{
    if (at >= script.size())
        return QStringLiteral("end of script");
    QString token = script.mid(at, 20).section(u'\n', 0, 0);
    return token.isEmpty() ? QStringLiteral("end of line") : QStringLiteral("\"%1\"").arg(token);
}

} // namespace

ScriptOutcome storeChangedRecord(ScriptContext &context, RecordKind kind, PeerRecord &record, const Descriptor &answer)
{
    record.modified = context.now;
    if (!context.store.updateRecord(kind, record))
        return ScriptOutcome::error(kErrorGeneral, context.store.lastProblem());
    return {answer};
}

Descriptor folderProperties(const PeerFolder &folder)
{
    Descriptor properties = Descriptor::record();
    properties.set(code("pnam"), Descriptor::text(folder.name));
    properties.set(code("ID  "), Descriptor::integer(qint32(folder.id)));
    return properties;
}

const QList<ScriptForm> &scriptForms()
{
    static const QList<ScriptForm> forms = makeForms();
    return forms;
}

ScriptOutcome answerScript(const QString &script, ScriptContext &context, QString *kind)
{
    qsizetype furthest = 0;
    for (const ScriptForm &form : scriptForms()) {
        ScriptMatch match;
        if (matchScript(form.text, script, context.datePattern, match)) {
            *kind = form.kind;
            return form.answer(match.captures, context);
        }
        furthest = std::max(furthest, match.failedAt);
    }
    *kind = QStringLiteral("refused");
    const qsizetype line = QStringView(script).left(furthest).count(u'\n') + 1;
    return ScriptOutcome::error(kErrorSyntax, QStringLiteral("Syntax error on line %1: expected a known script but found %2.")
                                                  .arg(line)
                                                  .arg(foundText(script, furthest)));
}

} // namespace outlookpeer
