// The simulated Outlook's contact writes: a vCard file imported as a new contact, a contact's
// properties set from a record literal (labels left out leave their property; a category list
// replaces the contact's categories), a contact moved into another address book under the next
// unused id, the properties listing the duplicate search reads, and a new address book.

#include "OutlookContactWrites.h"

#include <QFile>
#include <QJsonArray>

#include <sys/stat.h>

namespace outlookpeer {

namespace {

constexpr qint64 kMaxImportedBytes = 4 * 1024 * 1024;

const QString kTell = QStringLiteral("tell application \u00ABA\u00BB\n");
const QString kEnd = QStringLiteral("\nend tell");

// vCard 3.0 escapes undone: "\n" or "\N" a line feed, "\," "\;" "\\" the character.
QString unescaped(QStringView text)
{
    QString value;
    value.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] != u'\\' || i + 1 == text.size()) {
            value += text[i];
            continue;
        }
        const QChar next = text[++i];
        value += (next == u'n' || next == u'N') ? QChar(u'\n') : next;
    }
    return value;
}

// The value split at the semicolons no backslash escapes, each part unescaped.
QStringList components(QStringView value)
{
    QStringList parts;
    qsizetype start = 0;
    for (qsizetype i = 0; i <= value.size(); ++i) {
        if (i < value.size() && value[i] == u'\\') {
            ++i;
            continue;
        }
        if (i == value.size() || value[i] == u';') {
            parts.append(unescaped(value.mid(start, i - start)));
            start = i + 1;
        }
    }
    return parts;
}

// One content line: its name (lower case), its type parameters (lower case) and its raw value.
struct ContentLine
{
    QString name;
    QStringList types;
    QString value;
};

std::optional<ContentLine> contentLine(const QString &line)
{
    const qsizetype colon = line.indexOf(u':');
    if (colon <= 0)
        return std::nullopt;
    const QStringList head = line.left(colon).split(u';');
    ContentLine content{head.first().toLower(), {}, line.mid(colon + 1)};
    for (qsizetype i = 1; i < head.size(); ++i) {
        if (head[i].startsWith(QLatin1String("type="), Qt::CaseInsensitive))
            content.types += head[i].mid(5).toLower().split(u',');
    }
    return content;
}

QString phoneKind(const QStringList &types)
{
    if (types.contains(QStringLiteral("fax")))
        return types.contains(QStringLiteral("home")) ? QStringLiteral("homeFax") : QStringLiteral("workFax");
    if (types.contains(QStringLiteral("main")))
        return QStringLiteral("main");
    for (const char *kind : {"cell", "pager", "custom", "home", "work"}) {
        if (types.contains(QLatin1String(kind)))
            return QLatin1String(kind);
    }
    return QStringLiteral("other");
}

QJsonObject addressFrom(const QStringList &parts)
{
    QJsonObject address;
    const char *const keys[] = {"street", "city", "state", "zip", "country"};
    for (int i = 0; i < 5; ++i) {
        if (!parts.value(i + 2).isEmpty())
            address[QLatin1String(keys[i])] = parts.value(i + 2);
    }
    return address;
}

void setText(QJsonObject &fields, const char *key, const QString &value)
{
    if (!value.isEmpty())
        fields[QLatin1String(key)] = value;
}

void readNameLine(QJsonObject &fields, QStringView value)
{
    // The application writes a blank after the colon; it is no part of the family name.
    const QStringList parts = components(value.startsWith(u' ') ? value.mid(1) : value);
    const char *const keys[] = {"lastName", "firstName", "middleName", "prefix", "suffix"};
    for (int i = 0; i < 5; ++i)
        setText(fields, keys[i], parts.value(i));
}

void readContentLine(QJsonObject &fields, const ContentLine &line)
{
    const QString text = unescaped(line.value);
    if (line.name == u"n") {
        readNameLine(fields, line.value);
    } else if (line.name == u"title") {
        setText(fields, "jobTitle", text);
    } else if (line.name == u"org") {
        const QStringList parts = components(line.value);
        setText(fields, "company", parts.value(0));
        setText(fields, "department", parts.value(1));
    } else if (line.name == u"note" || line.name == u"bday" || line.name == u"nickname" || line.name == u"x-ms-spouse"
               || line.name == u"x-ms-anniversary") {
        static const QHash<QString, const char *> keys{{QStringLiteral("note"), "note"}, {QStringLiteral("bday"), "birthday"},
                                                       {QStringLiteral("nickname"), "nickname"}, {QStringLiteral("x-ms-spouse"), "spouse"},
                                                       {QStringLiteral("x-ms-anniversary"), "anniversary"}};
        setText(fields, keys.value(line.name), text);
    } else if (line.name == u"adr") {
        const QJsonObject address = addressFrom(components(line.value));
        if (!address.isEmpty())
            fields[line.types.contains(QStringLiteral("home")) ? QStringLiteral("homeAddress") : QStringLiteral("workAddress")] = address;
    } else if ((line.name == u"tel" || line.name == u"email") && !text.isEmpty()) {
        const bool isPhone = line.name == u"tel";
        const QString kind = isPhone ? phoneKind(line.types)
                                     : (line.types.contains(QStringLiteral("home")) ? QStringLiteral("home")
                                        : line.types.contains(QStringLiteral("other")) ? QStringLiteral("other") : QStringLiteral("work"));
        QJsonArray list = fields.value(isPhone ? QStringLiteral("phones") : QStringLiteral("emails")).toArray();
        list.append(QJsonObject{{QStringLiteral("kind"), kind}, {isPhone ? QStringLiteral("number") : QStringLiteral("address"), text}});
        fields[isPhone ? QStringLiteral("phones") : QStringLiteral("emails")] = list;
    } else if (line.name == u"x-child" && !text.isEmpty()) {
        QJsonArray children = fields.value(QStringLiteral("children")).toArray();
        children.append(text);
        fields[QStringLiteral("children")] = children;
    }
}

qint64 defaultAddressBook(const ScriptContext &context)
{
    const QList<PeerFolder> books = context.store.folders(QStringLiteral("address book"));
    return books.isEmpty() ? 0 : books.first().id;
}

ScriptOutcome importVCard(const QList<ScriptValue> &captures, ScriptContext &context)
{
    const QString path = captures.value(0).text;
    const std::optional<QString> text = readImportedFile(path);
    if (!text)
        return ScriptOutcome::error(kErrorFileNotFound, QStringLiteral("File %1 wasn't found.").arg(path));
    const std::optional<QJsonObject> fields = contactFromVCard(*text);
    if (!fields)
        return ScriptOutcome::error(kErrorGeneral, QStringLiteral("The file %1 holds no contact.").arg(path));
    PeerRecord record;
    record.folder = defaultAddressBook(context);
    record.created = context.now;
    record.modified = context.now;
    record.fields = *fields;
    if (!context.store.addRecord(RecordKind::Contact, record))
        return ScriptOutcome::error(kErrorGeneral, context.store.lastProblem());
    Descriptor list = Descriptor::list();
    list.append(Descriptor::objectSpecifier(code("cAbE"), qint32(record.id)));
    return {list};
}

} // namespace

std::optional<QJsonObject> contactFromVCard(const QString &text)
{
    // Folded lines (a line break and a blank or tab) are joined first.
    QString unfolded = text;
    unfolded.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    unfolded.replace(QStringLiteral("\n "), QString()).replace(QStringLiteral("\n\t"), QString());
    const QStringList lines = unfolded.split(u'\n');
    if (lines.isEmpty() || lines.first().compare(QLatin1String("begin:vcard"), Qt::CaseInsensitive) != 0)
        return std::nullopt;
    QJsonObject fields;
    for (const QString &line : lines) {
        if (line.compare(QLatin1String("end:vcard"), Qt::CaseInsensitive) == 0)
            return fields;
        if (const std::optional<ContentLine> content = contentLine(line))
            readContentLine(fields, *content);
    }
    return std::nullopt;
}

namespace {

// A record literal's text value; nullopt when the value is not text.
std::optional<QString> textOf(const ScriptValue &value)
{
    if (value.kind != ScriptValue::Kind::Text)
        return std::nullopt;
    return value.text;
}

void setPhone(QJsonObject &fields, const QString &kind, const QString &number)
{
    QJsonArray phones = fields.value(QStringLiteral("phones")).toArray();
    for (qsizetype i = 0; i < phones.size(); ++i) {
        if (phones[i].toObject().value(QStringLiteral("kind")).toString() == kind) {
            phones[i] = QJsonObject{{QStringLiteral("kind"), kind}, {QStringLiteral("number"), number}};
            fields[QStringLiteral("phones")] = phones;
            return;
        }
    }
    phones.append(QJsonObject{{QStringLiteral("kind"), kind}, {QStringLiteral("number"), number}});
    fields[QStringLiteral("phones")] = phones;
}

void setAddressPart(QJsonObject &fields, const QString &address, const QString &part, const QString &text)
{
    QJsonObject object = fields.value(address).toObject();
    object[part] = text;
    fields[address] = object;
}

std::optional<QJsonArray> emailsOf(const ScriptValue &value)
{
    QJsonArray emails;
    for (const ScriptValue &item : value.items) {
        QString address;
        QString kind = QStringLiteral("work");
        for (const auto &[label, field] : item.fields) {
            if (label == u"address" && field.kind == ScriptValue::Kind::Text)
                address = field.text;
            else if (label == u"type" && field.kind == ScriptValue::Kind::Enumeration)
                kind = field.text;
        }
        if (item.kind != ScriptValue::Kind::Record || address.isEmpty())
            return std::nullopt;
        emails.append(QJsonObject{{QStringLiteral("kind"), kind}, {QStringLiteral("address"), address}});
    }
    return emails;
}

// The list properties: children, e-mail addresses and categories (each replaces the whole list).
bool setListProperty(QJsonObject &fields, const QString &label, const ScriptValue &value)
{
    if (value.kind != ScriptValue::Kind::List)
        return false;
    QJsonArray list;
    if (label == u"email addresses") {
        const std::optional<QJsonArray> emails = emailsOf(value);
        if (!emails)
            return false;
        list = *emails;
    }
    for (const ScriptValue &item : value.items) {
        if (label == u"children" && item.kind == ScriptValue::Kind::Text)
            list.append(item.text);
        else if (label == u"category" && item.kind == ScriptValue::Kind::CategoryReference)
            list.append(item.integer);
        else if (label != u"email addresses")
            return false;
    }
    if (label != u"children" && label != u"category" && label != u"email addresses")
        return false;
    fields[label == u"children" ? QStringLiteral("children") : label == u"category" ? QStringLiteral("categories") : QStringLiteral("emails")] = list;
    return true;
}

// Sets one labelled property; false when the label or its value is not one a contact takes.
bool setProperty(QJsonObject &fields, const QString &label, const ScriptValue &value)
{
    static const QHash<QString, QString> texts{
        {QStringLiteral("title"), QStringLiteral("prefix")}, {QStringLiteral("first name"), QStringLiteral("firstName")},
        {QStringLiteral("middle name"), QStringLiteral("middleName")}, {QStringLiteral("last name"), QStringLiteral("lastName")},
        {QStringLiteral("suffix"), QStringLiteral("suffix")}, {QStringLiteral("nickname"), QStringLiteral("nickname")},
        {QStringLiteral("company"), QStringLiteral("company")}, {QStringLiteral("job title"), QStringLiteral("jobTitle")},
        {QStringLiteral("department"), QStringLiteral("department")}, {QStringLiteral("spouse"), QStringLiteral("spouse")},
        {QStringLiteral("plain text note"), QStringLiteral("note")}};
    static const QHash<QString, QString> phones{
        {QStringLiteral("phone"), QStringLiteral("main")}, {QStringLiteral("mobile number"), QStringLiteral("cell")},
        {QStringLiteral("home phone number"), QStringLiteral("home")}, {QStringLiteral("business fax number"), QStringLiteral("workFax")},
        {QStringLiteral("business phone number"), QStringLiteral("work")}, {QStringLiteral("pager number"), QStringLiteral("pager")},
        {QStringLiteral("home fax number"), QStringLiteral("homeFax")}, {QStringLiteral("custom phone 1"), QStringLiteral("custom")}};
    static const QHash<QString, QPair<QString, QString>> addresses{
        {QStringLiteral("business street address"), {QStringLiteral("workAddress"), QStringLiteral("street")}},
        {QStringLiteral("business city"), {QStringLiteral("workAddress"), QStringLiteral("city")}},
        {QStringLiteral("business state"), {QStringLiteral("workAddress"), QStringLiteral("state")}},
        {QStringLiteral("business zip"), {QStringLiteral("workAddress"), QStringLiteral("zip")}},
        {QStringLiteral("business country"), {QStringLiteral("workAddress"), QStringLiteral("country")}},
        {QStringLiteral("home street address"), {QStringLiteral("homeAddress"), QStringLiteral("street")}},
        {QStringLiteral("home city"), {QStringLiteral("homeAddress"), QStringLiteral("city")}},
        {QStringLiteral("home state"), {QStringLiteral("homeAddress"), QStringLiteral("state")}},
        {QStringLiteral("home zip"), {QStringLiteral("homeAddress"), QStringLiteral("zip")}},
        {QStringLiteral("home country"), {QStringLiteral("homeAddress"), QStringLiteral("country")}}};
    const std::optional<QString> text = textOf(value);
    if (texts.contains(label) && text)
        fields[texts.value(label)] = *text;
    else if (phones.contains(label) && text)
        setPhone(fields, phones.value(label), *text);
    else if (addresses.contains(label) && text)
        setAddressPart(fields, addresses.value(label).first, addresses.value(label).second, *text);
    else if ((label == u"birthday" || label == u"anniversary") && value.kind == ScriptValue::Kind::Date)
        fields[label] = value.date.toString(QStringLiteral("yyyy-MM-dd"));
    else
        return setListProperty(fields, label, value);
    return true;
}

} // namespace

namespace {

ScriptOutcome setContactProperties(const QList<ScriptValue> &captures, ScriptContext &context)
{
    const qint64 id = captures.value(1).integer;
    const ScriptValue &properties = captures.value(2);
    std::optional<PeerRecord> record = context.store.record(RecordKind::Contact, id);
    if (!record)
        return ScriptOutcome::error(kErrorNoSuchObject, QStringLiteral("Can't get contact id \"%1\".").arg(id));
    if (properties.kind != ScriptValue::Kind::Record && !(properties.kind == ScriptValue::Kind::List && properties.items.isEmpty()))
        return ScriptOutcome::error(kErrorCannotCoerce, QStringLiteral("Can't make the properties into type record."));
    QJsonObject fields = record->fields;
    for (const auto &[label, value] : properties.fields) {
        if (!setProperty(fields, label, value))
            return ScriptOutcome::error(kErrorCannotCoerce, QStringLiteral("Can't set %1 of contact id %2.").arg(label).arg(id));
    }
    record->fields = fields;
    return storeChangedRecord(context, RecordKind::Contact, *record);
}

ScriptOutcome moveContact(const QList<ScriptValue> &captures, ScriptContext &context)
{
    const qint64 id = captures.value(1).integer;
    const qint64 folder = captures.value(2).integer;
    std::optional<PeerRecord> record = context.store.record(RecordKind::Contact, id);
    if (!record)
        return ScriptOutcome::error(kErrorNoSuchObject, QStringLiteral("Can't get contact id %1.").arg(id));
    bool isBook = false;
    for (const PeerFolder &book : context.store.folders(QStringLiteral("address book")))
        isBook = isBook || book.id == folder;
    if (!isBook)
        return ScriptOutcome::error(kErrorNoSuchObject, QStringLiteral("Can't get address book id %1.").arg(folder));
    record->modified = context.now;
    if (!context.store.renumberRecord(RecordKind::Contact, *record, folder))
        return ScriptOutcome::error(kErrorGeneral, context.store.lastProblem());
    return {Descriptor::objectSpecifier(code("cAbE"), qint32(record->id))};
}

Descriptor dupeCheckProperties(const PeerRecord &record)
{
    const auto text = [&record](const char *key) { return Descriptor::text(record.fields.value(QLatin1String(key)).toString()); };
    Descriptor properties = Descriptor::record();
    properties.set(code("pcls"), Descriptor::typeCode(code("cAbE")));
    properties.set(code("ID  "), Descriptor::integer(qint32(record.id)));
    properties.set(code("pFrN"), text("firstName"));
    properties.set(code("pLsN"), text("lastName"));
    properties.set(code("Cmpy"), text("company"));
    properties.set(code("PlTN"), text("note"));
    Descriptor emails = Descriptor::list();
    for (const QJsonValue &mail : record.fields.value(QStringLiteral("emails")).toArray()) {
        Descriptor entry = Descriptor::record();
        entry.set(code("radd"), Descriptor::text(mail.toObject().value(QStringLiteral("address")).toString()));
        emails.append(entry);
    }
    properties.set(code("EmAd"), emails);
    return properties;
}

ScriptOutcome listContacts(const QList<ScriptValue> &captures, ScriptContext &context)
{
    RecordFilter filter;
    for (const ScriptValue &value : captures) {
        if (value.kind == ScriptValue::Kind::Integer)
            filter.folder = value.integer;
    }
    Descriptor list = Descriptor::list();
    for (const PeerRecord &record : context.store.records(RecordKind::Contact, filter))
        list.append(dupeCheckProperties(record));
    if (!context.store.lastProblem().isEmpty())
        return ScriptOutcome::error(kErrorGeneral, context.store.lastProblem());
    return {list};
}

ScriptOutcome makeAddressBook(const QList<ScriptValue> &captures, ScriptContext &context)
{
    PeerFolder folder{0, QStringLiteral("address book"), captures.value(1).text};
    if (!context.store.addFolder(folder))
        return ScriptOutcome::error(kErrorGeneral, context.store.lastProblem());
    return {Descriptor::objectSpecifier(code("cFld"), qint32(folder.id))};
}

QList<ScriptForm> contactWriteForms()
{
    const QString import = QStringLiteral("\ntell application \u00ABA\u00BB\nimport vcf theFile") + kEnd;
    return {
        {QStringLiteral("import vcf text"), QStringLiteral("set theFile to \u00ABS\u00BB") + import, importVCard},
        {QStringLiteral("import vcf file"), QStringLiteral("set theFile to a reference to POSIX file \u00ABS\u00BB") + import, importVCard},
        {QStringLiteral("set contact properties"), kTell + QStringLiteral("set the properties of contact id \u00ABI\u00BB to \u00ABV\u00BB") + kEnd,
         setContactProperties},
        {QStringLiteral("move contact"), kTell + QStringLiteral("move contact id \u00ABI\u00BB to address book id \u00ABF\u00BB") + kEnd,
         moveContact},
        {QStringLiteral("contact listing"),
         kTell + QStringLiteral("set theContacts to the properties of every contact of application \u00ABA\u00BB\nreturn theContacts") + kEnd,
         listContacts},
        {QStringLiteral("contact listing"),
         kTell + QStringLiteral("set theContacts to the properties of every contact in folder id \u00ABF\u00BB\nreturn theContacts") + kEnd,
         listContacts},
        {QStringLiteral("make address book"),
         kTell + QStringLiteral("make new address book with properties {name:\u00ABS\u00BB}") + kEnd, makeAddressBook},
    };
}

const QList<ScriptForm> &writeForms()
{
    static const QList<ScriptForm> forms = contactWriteForms();
    return forms;
}

} // namespace

std::optional<QString> readImportedFile(const QString &path)
{
    struct stat status = {};
    if (::lstat(QFile::encodeName(path).constData(), &status) != 0 || !S_ISREG(status.st_mode) || status.st_size > kMaxImportedBytes)
        return std::nullopt;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return QString::fromUtf8(file.read(kMaxImportedBytes));
}

void addContactWriteForms(QList<ScriptForm> &forms)
{
    forms += writeForms();
}

bool isContactWriteKind(const QString &kind)
{
    return kind != u"contact listing" && std::any_of(writeForms().begin(), writeForms().end(), [&kind](const ScriptForm &form) {
               return form.kind == kind;
           });
}

bool contactWriteHolds(const QString &script, const QString &datePattern, const QString &text)
{
    if (text.isEmpty())
        return false;
    if (script.contains(text))
        return true;
    for (const ScriptForm &form : writeForms()) {
        ScriptMatch match;
        if (form.kind.startsWith(QLatin1String("import vcf")) && matchScript(form.text, script, datePattern, match))
            return readImportedFile(match.captures.value(0).text).value_or(QString()).contains(text);
    }
    return false;
}

QString contactWriteKind(const QString &script, const QString &datePattern)
{
    for (const ScriptForm &form : writeForms()) {
        ScriptMatch match;
        if (form.kind != u"contact listing" && matchScript(form.text, script, datePattern, match))
            return form.kind;
    }
    return QString();
}

} // namespace outlookpeer
