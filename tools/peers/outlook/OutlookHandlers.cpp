#include "OutlookHandlers.h"

#include <QJsonDocument>
#include <QLocale>
#include <QRegularExpression>

#include <cstring>

namespace outlookpeer {

namespace {

constexpr int kErrorNotHandled = -1708;
constexpr int kErrorWrongCount = -1721;

using Call = HandlerCalls::Call;

// What one answer needs: the call, the store and the kept texts.
struct Request
{
    const Call &call;
    ScriptContext &context;
    HandlerCalls &calls;
};

using Answer = std::function<ScriptOutcome(Request &)>;

struct HandlerForm
{
    int argumentCount = 0; // the application reference included where the handler takes it
    Answer answer;
};

QString codeText(Code value)
{
    QString text;
    for (int shift = 24; shift >= 0; shift -= 8)
        text += QChar(char16_t((value >> shift) & 0xFF));
    return text;
}

std::optional<qint64> integerArgument(const Call &call, size_t index)
{
    const Descriptor &item = call.arguments.at(index);
    if (item.kind != 'A' || item.type != code("long") || item.data.size() != 4)
        return std::nullopt;
    qint32 value = 0;
    std::memcpy(&value, item.data.constData(), 4);
    return value;
}

QString textArgument(const Call &call, size_t index)
{
    return call.arguments.at(index).textValue();
}

ScriptOutcome notInteger(const Call &call, size_t index)
{
    return ScriptOutcome::error(kErrorCannotCoerce, QStringLiteral("Can't make item %1 of the arguments of \u201C%2\u201D into type integer.")
                                                        .arg(index + 1)
                                                        .arg(call.handler));
}

bool isDecimal(const QString &text)
{
    static const QRegularExpression decimal(QStringLiteral("\\A[0-9]{1,18}\\z"));
    return decimal.match(text).hasMatch();
}

QString folderKindOf(RecordKind kind)
{
    static const char *const kinds[] = {"address book", "calendar", "task folder", "note folder"};
    return QLatin1String(kinds[int(kind)]);
}

// The records a handler's folder argument selects; nothing (with the error) for a folder the store
// does not have.
std::optional<RecordFilter> folderFilter(Request &request, RecordKind kind, std::optional<size_t> folderIndex,
                                         ScriptOutcome &failure)
{
    RecordFilter filter;
    if (!folderIndex)
        return filter;
    const QString folder = textArgument(request.call, *folderIndex);
    if (isDecimal(folder)) {
        for (const PeerFolder &known : request.context.store.folders(folderKindOf(kind))) {
            if (known.id == folder.toLongLong()) {
                filter.folder = known.id;
                return filter;
            }
        }
    }
    failure = ScriptOutcome::error(kErrorNoSuchObject, QStringLiteral("Can't get folder id %1.").arg(folder));
    return std::nullopt;
}

std::optional<PeerRecord> recordOf(Request &request, RecordKind kind, const QString &id, ScriptOutcome &failure)
{
    std::optional<PeerRecord> record = isDecimal(id) ? request.context.store.record(kind, id.toLongLong()) : std::nullopt;
    if (!record)
        failure = ScriptOutcome::error(kErrorNoSuchObject, QStringLiteral("Can't get %1 id %2.").arg(kindName(kind), id));
    return record;
}

QString fieldText(const QJsonValue &value)
{
    if (value.isString())
        return value.toString();
    if (value.isArray())
        return QString::fromUtf8(QJsonDocument(value.toArray()).toJson(QJsonDocument::Compact));
    if (value.isObject())
        return QString::fromUtf8(QJsonDocument(value.toObject()).toJson(QJsonDocument::Compact));
    return value.toVariant().toString();
}

// A record's property text: its own "properties" field when it has one, else one "key: value" line
// per property.
QString propertiesText(const PeerRecord &record)
{
    const QJsonValue own = record.fields.value(QStringLiteral("properties"));
    if (own.isString())
        return own.toString();
    QStringList lines{QStringLiteral("id: %1").arg(record.id), QStringLiteral("folder: %1").arg(record.folder),
                      QStringLiteral("modification date: %1").arg(record.modified.toString(Qt::ISODate))};
    for (auto it = record.fields.begin(); it != record.fields.end(); ++it)
        lines.append(it.key() + QStringLiteral(": ") + fieldText(it.value()));
    return lines.join(u'\n');
}

QString nameOf(const PeerRecord &record)
{
    return record.fields.value(QStringLiteral("name")).toString();
}

// A contact's vCard: its own "vcard" field when it has one, else a short card of its name.
QString vcardText(const PeerRecord &record)
{
    const QJsonValue own = record.fields.value(QStringLiteral("vcard"));
    if (own.isString())
        return own.toString();
    return QStringLiteral("BEGIN:VCARD\r\nVERSION:3.0\r\nFN:%1\r\nX-OUTLOOK-ID:%2\r\nEND:VCARD\r\n").arg(nameOf(record)).arg(record.id);
}

// Characters start to end (1-based, inclusive) in UTF-16 units; "" beyond the end.
QString textSlice(const QString &text, qint64 start, qint64 end)
{
    const qint64 first = std::max<qint64>(start, 1);
    const qint64 last = std::min<qint64>(end, text.size());
    return last < first ? QStringLiteral("") : text.mid(first - 1, last - first + 1);
}

QList<RecordStamp> stampsSlice(const QList<RecordStamp> &stamps, qint64 start, qint64 end)
{
    const qint64 first = std::max<qint64>(start, 1);
    const qint64 last = std::min<qint64>(end, stamps.size());
    return last < first ? QList<RecordStamp>() : stamps.mid(first - 1, last - first + 1);
}

using TextMaker = std::function<ScriptOutcome(Request &, QString &text)>;

// A ranged text handler: the whole text (kept between pages) sliced at the range's positions.
ScriptOutcome answerTextRange(Request &request, size_t startIndex, const QString &key, const TextMaker &make)
{
    const std::optional<qint64> start = integerArgument(request.call, startIndex);
    const std::optional<qint64> end = integerArgument(request.call, startIndex + 1);
    if (!start || !end)
        return notInteger(request.call, start ? startIndex + 1 : startIndex);
    const QString *text = request.calls.keptText(key);
    if (!text) {
        QString made;
        const ScriptOutcome failed = make(request, made);
        if (failed.errorNumber != 0)
            return failed;
        text = &request.calls.keepText(key, made);
    }
    return {Descriptor::text(textSlice(*text, *start, *end))};
}

// The property texts of the records the arguments from 1 to idCount name, one after the other on
// lines of their own; empty ids are left out.
TextMaker recordsText(RecordKind kind, size_t idCount, QString (*textOf)(const PeerRecord &))
{
    return [kind, idCount, textOf](Request &request, QString &text) {
        QStringList texts;
        for (size_t i = 1; i <= idCount; ++i) {
            const QString id = textArgument(request.call, i);
            if (id.isEmpty())
                continue;
            ScriptOutcome failure;
            const std::optional<PeerRecord> record = recordOf(request, kind, id, failure);
            if (!record)
                return failure;
            texts.append(textOf(*record));
        }
        text = texts.join(u'\n');
        return ScriptOutcome{};
    };
}

QString keyOf(const Call &call, std::initializer_list<size_t> skipped)
{
    QString key = call.handler;
    for (size_t i = 1; i < call.arguments.size(); ++i) {
        if (std::find(skipped.begin(), skipped.end(), i) == skipped.end())
            key += u'\x1f' + call.arguments[i].textValue();
    }
    return key;
}

HandlerForm recordsTextForm(RecordKind kind, size_t idCount, QString (*textOf)(const PeerRecord &))
{
    return {int(idCount) + 3, [kind, idCount, textOf](Request &request) {
                return answerTextRange(request, idCount + 1, keyOf(request.call, {idCount + 1, idCount + 2}),
                                       recordsText(kind, idCount, textOf));
            }};
}

// The ids of the contacts modified at or after the date text, joined by ",".
HandlerForm contactIdsSinceForm(bool withFolder)
{
    return {withFolder ? 5 : 4, [withFolder](Request &request) {
                return answerTextRange(request, 1, keyOf(request.call, {1, 2}), [withFolder](Request &r, QString &text) {
                    const QString dateText = textArgument(r.call, 3);
                    const QDateTime since = QLocale::c().toDateTime(dateText, qtDatePattern(r.context.datePattern));
                    if (!since.isValid())
                        return ScriptOutcome::error(kErrorCannotCoerce, QStringLiteral("Can't make \"%1\" into type date.").arg(dateText));
                    ScriptOutcome failure;
                    const auto filter = folderFilter(r, RecordKind::Contact, withFolder ? std::optional<size_t>(4) : std::nullopt, failure);
                    if (!filter)
                        return failure;
                    QStringList ids;
                    for (const RecordStamp &stamp : r.context.store.stamps(RecordKind::Contact, *filter)) {
                        if (stamp.modified >= since.toSecsSinceEpoch())
                            ids.append(QString::number(stamp.id));
                    }
                    text = ids.join(u',');
                    return ScriptOutcome{};
                });
            }};
}

// One line per contact of the folder: its id and name, TAB-separated.
HandlerForm dupeCheckForm(bool withFolder)
{
    return {withFolder ? 4 : 3, [withFolder](Request &request) {
                return answerTextRange(request, 1, keyOf(request.call, {1, 2}), [withFolder](Request &r, QString &text) {
                    ScriptOutcome failure;
                    const auto filter = folderFilter(r, RecordKind::Contact, withFolder ? std::optional<size_t>(3) : std::nullopt, failure);
                    if (!filter)
                        return failure;
                    QStringList lines;
                    for (const PeerRecord &record : r.context.store.records(RecordKind::Contact, *filter))
                        lines.append(QStringLiteral("%1\t%2").arg(record.id).arg(nameOf(record)));
                    text = lines.join(u'\n');
                    return ScriptOutcome{};
                });
            }};
}

// A batched list handler: items start to end of the folder's dates or ids, in the store's order.
HandlerForm listRangeForm(RecordKind kind, bool dates, bool withFolder)
{
    return {withFolder ? 4 : 3, [kind, dates, withFolder](Request &request) {
                const std::optional<qint64> start = integerArgument(request.call, 1);
                const std::optional<qint64> end = integerArgument(request.call, 2);
                if (!start || !end)
                    return notInteger(request.call, start ? 2 : 1);
                const QString key = QStringLiteral("stamps\x1f%1\x1f%2").arg(kindName(kind), withFolder ? textArgument(request.call, 3) : QString());
                const QList<RecordStamp> *stamps = request.calls.keptStamps(key);
                if (!stamps) {
                    ScriptOutcome failure;
                    const auto filter = folderFilter(request, kind, withFolder ? std::optional<size_t>(3) : std::nullopt, failure);
                    if (!filter)
                        return failure;
                    stamps = &request.calls.keepStamps(key, request.context.store.stamps(kind, *filter));
                }
                const QList<RecordStamp> slice = stampsSlice(*stamps, *start, *end);
                ScriptOutcome outcome;
                if (dates) {
                    QList<qint64> seconds;
                    for (const RecordStamp &stamp : slice)
                        seconds.append(stamp.modified);
                    outcome.encoded = encodeDateList(seconds);
                    return outcome;
                }
                outcome.result = Descriptor::list();
                for (const RecordStamp &stamp : slice)
                    outcome.result.append(Descriptor::text(QString::number(stamp.id)));
                return outcome;
            }};
}

// A reference to a category by its name: an object specifier whose key data is the name.
Descriptor categoryReference(const QString &name)
{
    Descriptor reference = Descriptor::record();
    reference.type = code("obj ");
    Descriptor form;
    form.kind = 'A';
    form.type = code("enum");
    const Code nameForm = code("name");
    form.data = QByteArray(reinterpret_cast<const char *>(&nameForm), sizeof(nameForm));
    reference.set(code("want"), Descriptor::typeCode(code("ctgy")));
    reference.set(code("form"), form);
    reference.set(code("seld"), Descriptor::text(name));
    reference.set(code("from"), Descriptor::null());
    return reference;
}

// The extra fields ("extraFields", else "MIDDLENAME:" and the middle name) and one reference per
// category the contact's "categories" field names (by name or by category id).
ScriptOutcome answerMiscellaneousFields(Request &request)
{
    ScriptOutcome failure;
    const std::optional<PeerRecord> contact = recordOf(request, RecordKind::Contact, textArgument(request.call, 1), failure);
    if (!contact)
        return failure;
    const QJsonValue own = contact->fields.value(QStringLiteral("extraFields"));
    const QString extraFields = own.isString() ? own.toString()
                                               : QStringLiteral("MIDDLENAME:") + contact->fields.value(QStringLiteral("middleName")).toString();
    Descriptor list = Descriptor::list();
    list.append(Descriptor::text(extraFields));
    const QList<PeerCategory> categories = request.context.store.categories();
    for (const QJsonValue &named : contact->fields.value(QStringLiteral("categories")).toArray()) {
        if (named.isString()) {
            list.append(categoryReference(named.toString()));
            continue;
        }
        for (const PeerCategory &category : categories) {
            if (named.isDouble() && category.id == named.toInteger())
                list.append(categoryReference(category.name));
        }
    }
    return {list};
}

ScriptOutcome answerLengthOfContactProperties(Request &request)
{
    ScriptOutcome failure;
    const std::optional<PeerRecord> contact = recordOf(request, RecordKind::Contact, textArgument(request.call, 1), failure);
    if (!contact)
        return failure;
    return {Descriptor::integer(qint32(std::min<qsizetype>(propertiesText(*contact).size(), INT32_MAX)))};
}

ScriptOutcome answerEmpty(Request &)
{
    return {Descriptor::list()};
}

void addAcceptedOnly(QHash<QString, HandlerForm> &forms)
{
    const std::pair<const char *, int> accepted[] = {
        {"getExchangeAccountAddressBookIds", 2}, {"getExchangeAccountCalendarFolderIds", 2}, {"getCalendarFolders", 1},
        {"getExchangeAccountTaskFolderIds", 2}, {"getTaskFolders", 1}, {"getAllContactModifiedDates", 1},
        {"getAllContactIds", 1}, {"getAllContactModifiedDatesInFolder", 2}, {"getAllContactIdsInFolder", 2},
        {"getAllEventModifiedDates", 1}, {"getAllEventIds", 1}, {"getAllEventModifiedDatesInFolder", 2},
        {"getAllEventIdsInFolder", 2}, {"getAllTaskModifiedDates", 1}, {"getAllTaskIds", 1},
        {"getAllTaskModifiedDatesInFolder", 2}, {"getAllTaskIdsInFolder", 2}, {"getAllContactProperties", 1},
        {"getAllContactPropertiesInFolder", 2}, {"getAllEventProperties", 1}, {"getAllEventPropertiesInFolder", 2},
        {"getAllTaskProperties", 1}, {"getAllTaskPropertiesInFolder", 2}, {"deleteContact", 2}, {"deleteEvent", 2},
        {"deleteTask", 2}, {"getAllCategoryProperties", 1}, {"makeNewCategoryWithName", 2},
        {"makeNewCategoryWithNameAndColor", 3}, {"getPropertiesForContact", 2}, {"getVcardForContact", 2},
        {"getPropertiesForContactsModifiedAfterDate", 2}, {"getPropertiesForContactsInFolderModifiedAfterDate", 3},
        {"createContactWithProperties", 2}, {"createContactInFolderWithProperties", 3}, {"modifyContact", 3},
        {"makeNewContactFromStringList", 2}, {"makeNewContactInFolderFromStringList", 3},
        {"updateContactFromStringList", 3}, {"setContactEmailAddresses", 2}, {"setContactCategories", 2},
        {"setEventCategories", 2}, {"setTaskCategories", 2}, {"createNewEventFromStringList", 4},
        {"createNewEventInFolderFromStringList", 5}, {"updateCalendarEventFromStringList", 3},
        {"createNewTaskFromStringList", 2}, {"createNewTaskInFolderIdFromStringList", 3},
        {"updateTaskFromStringList", 3}, {"setDailyRecurrence", 2}, {"setWeeklyRecurrence", 2},
        {"setMonthlyByDateRecurrence", 2}, {"setMonthlyByDayRecurrence", 2}, {"setYearlyByDateRecurrence", 2},
        {"setYearlyByDayRecurrence", 2}, {"getAllContactsWithRange", 3},
    };
    for (const auto &[name, count] : accepted)
        forms.insert(QLatin1String(name), {count, answerEmpty});
}

void addRanged(QHash<QString, HandlerForm> &forms)
{
    forms.insert(QStringLiteral("getAllContactPropertiesWithRange"), recordsTextForm(RecordKind::Contact, 1, propertiesText));
    forms.insert(QStringLiteral("getAllTwoContactPropertiesWithRange"), recordsTextForm(RecordKind::Contact, 2, propertiesText));
    forms.insert(QStringLiteral("getAllFiveContactPropertiesWithRange"), recordsTextForm(RecordKind::Contact, 5, propertiesText));
    forms.insert(QStringLiteral("getAllCalendarEventPropertiesWithRange"), recordsTextForm(RecordKind::Event, 1, propertiesText));
    forms.insert(QStringLiteral("getAllFiveCalendarEventPropertiesWithRange"), recordsTextForm(RecordKind::Event, 5, propertiesText));
    forms.insert(QStringLiteral("getAllTaskPropertiesWithRange"), recordsTextForm(RecordKind::Task, 1, propertiesText));
    forms.insert(QStringLiteral("getAllFiveTaskPropertiesWithRange"), recordsTextForm(RecordKind::Task, 5, propertiesText));
    forms.insert(QStringLiteral("getVcardForContactWithTextRange"), recordsTextForm(RecordKind::Contact, 1, vcardText));
    forms.insert(QStringLiteral("getAllContactIdsWithRangeAndModifiedDate"), contactIdsSinceForm(false));
    forms.insert(QStringLiteral("getAllContactIdsInFolderWithRangeAndModifiedDate"), contactIdsSinceForm(true));
    forms.insert(QStringLiteral("getContactPropertiesForDupeCheck"), dupeCheckForm(false));
    forms.insert(QStringLiteral("getContactPropertiesInFolderForDupeCheck"), dupeCheckForm(true));
    forms.insert(QStringLiteral("getAllContactModifiedDatesWithRange"), listRangeForm(RecordKind::Contact, true, false));
    forms.insert(QStringLiteral("getAllContactIdsWithRange"), listRangeForm(RecordKind::Contact, false, false));
    const std::pair<const char *, RecordKind> scanned[] = {
        {"Contact", RecordKind::Contact}, {"CalendarEvent", RecordKind::Event}, {"Task", RecordKind::Task}};
    for (const auto &[word, kind] : scanned) {
        for (const bool withFolder : {false, true}) {
            const QString suffix = withFolder ? QStringLiteral("InFolder") : QString();
            forms.insert(QStringLiteral("getAll%1Dates%2").arg(QLatin1String(word), suffix), listRangeForm(kind, true, withFolder));
            forms.insert(QStringLiteral("getAll%1Identifiers%2").arg(QLatin1String(word), suffix), listRangeForm(kind, false, withFolder));
        }
    }
}

const QHash<QString, HandlerForm> &handlerForms()
{
    static const QHash<QString, HandlerForm> forms = [] {
        QHash<QString, HandlerForm> made;
        addAcceptedOnly(made);
        addRanged(made);
        made.insert(QStringLiteral("getAddressBookFolders"), {1, [](Request &request) {
                                                                  Descriptor list = Descriptor::list();
                                                                  for (const PeerFolder &folder : request.context.store.folders(QStringLiteral("address book")))
                                                                      list.append(folderProperties(folder));
                                                                  return ScriptOutcome{list};
                                                              }});
        made.insert(QStringLiteral("getOutlookVersion"),
                    {1, [](Request &request) { return ScriptOutcome{Descriptor::text(request.context.versionText)}; }});
        made.insert(QStringLiteral("getMiscellaneousFieldsForContactId"), {2, answerMiscellaneousFields});
        made.insert(QStringLiteral("getLengthOfContactProperties"), {2, answerLengthOfContactProperties});
        return made;
    }();
    return forms;
}

QJsonValue argumentJson(const Descriptor &argument)
{
    if (argument.kind == 'A' && argument.type == code("long") && argument.data.size() == 4) {
        qint32 value = 0;
        std::memcpy(&value, argument.data.constData(), 4);
        return value;
    }
    const QString text = argument.textValue();
    if (!text.isNull())
        return text;
    return QString::fromLatin1(argument.data.toHex());
}

} // namespace

ScriptOutcome HandlerCalls::answer(const Descriptor &event, ScriptContext &context)
{
    const Descriptor *name = event.find(code("snam"));
    if (event.kind != 'E' || event.eventClass != code("ascr") || event.eventID != code("psbr") || !name)
        return ScriptOutcome::error(kErrorNotHandled, QStringLiteral("The event is not a handler call."));
    Call call{name->textValue(), {}};
    const Descriptor *arguments = event.find(code("----"));
    if (arguments && arguments->kind == 'L')
        call.arguments = arguments->items;
    logCall(event, call);
    const auto form = handlerForms().constFind(call.handler);
    if (form == handlerForms().constEnd())
        return ScriptOutcome::error(kErrorNotHandled, QStringLiteral("The script doesn't understand the \u201C%1\u201D message.").arg(call.handler));
    if (!arguments || arguments->kind != 'L' || call.arguments.size() != size_t(form->argumentCount)) {
        return ScriptOutcome::error(kErrorWrongCount, QStringLiteral("\u201C%1\u201D takes %2 arguments, not %3.")
                                                          .arg(call.handler)
                                                          .arg(form->argumentCount)
                                                          .arg(call.arguments.size()));
    }
    Request request{call, context, *this};
    return form->answer(request);
}

void HandlerCalls::forgetAnswers()
{
    m_texts.clear();
    m_stamps.clear();
}

QJsonArray HandlerCalls::takeLog()
{
    QJsonArray calls;
    for (const LoggedCall &logged : m_log)
        calls.append(logEntry(logged));
    m_log.clear();
    return calls;
}

QJsonObject HandlerCalls::logEntry(const LoggedCall &logged)
{
    QJsonArray arguments;
    QJsonArray types;
    for (const Descriptor &argument : logged.call.arguments) {
        arguments.append(argumentJson(argument));
        types.append(codeText(argument.type));
    }
    const Descriptor *target = logged.target ? &*logged.target : nullptr;
    return QJsonObject{
        {QStringLiteral("handler"), logged.call.handler},
        {QStringLiteral("arguments"), arguments},
        {QStringLiteral("types"), types},
        {QStringLiteral("eventClass"), codeText(logged.eventClass)},
        {QStringLiteral("eventID"), codeText(logged.eventID)},
        {QStringLiteral("returnID"), logged.returnID},
        {QStringLiteral("transactionID"), logged.transactionID},
        {QStringLiteral("targetType"), target ? codeText(target->type) : QString()},
        {QStringLiteral("targetData"), target ? QString::fromLatin1(target->data.toHex()) : QString()},
    };
}

void HandlerCalls::logCall(const Descriptor &event, const Call &call)
{
    m_log.push_back({call, event.eventClass, event.eventID, event.returnID, event.transactionID,
                     event.target.empty() ? std::nullopt : std::optional<Descriptor>(event.target.front())});
    while (qsizetype(m_log.size()) > kMaxLoggedCalls)
        m_log.pop_front();
}

const QString *HandlerCalls::keptText(const QString &key) const
{
    const auto kept = m_texts.constFind(key);
    return kept == m_texts.constEnd() ? nullptr : &*kept;
}

const QString &HandlerCalls::keepText(const QString &key, const QString &text)
{
    if (m_texts.size() >= kMaxKeptAnswers)
        m_texts.clear();
    return *m_texts.insert(key, text);
}

const QList<RecordStamp> *HandlerCalls::keptStamps(const QString &key) const
{
    const auto kept = m_stamps.constFind(key);
    return kept == m_stamps.constEnd() ? nullptr : &*kept;
}

const QList<RecordStamp> &HandlerCalls::keepStamps(const QString &key, const QList<RecordStamp> &stamps)
{
    if (m_stamps.size() >= kMaxKeptAnswers)
        m_stamps.clear();
    return *m_stamps.insert(key, stamps);
}

} // namespace outlookpeer
