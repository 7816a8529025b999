// The simulated Outlook's contact scripts: the properties of one contact (its id, middle name, vCard
// export and categories), and its picture read and set. The vCard export is written as Outlook
// writes it for the prefixes the application's reader keys on (see README.md).

#include "OutlookContactScripts.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>

#include <sys/stat.h>

namespace outlookpeer {

namespace {

constexpr qint64 kMaxPictureBytes = 16 * 1024 * 1024;

QString field(const QJsonObject &fields, const char *key)
{
    return fields.value(QLatin1String(key)).toString();
}

// The vCard type text of a phone kind of the peer's records.
QString phoneType(const QString &kind)
{
    static const QHash<QString, QString> types{
        {QStringLiteral("work"), QStringLiteral("work")},          {QStringLiteral("home"), QStringLiteral("home")},
        {QStringLiteral("cell"), QStringLiteral("cell")},          {QStringLiteral("main"), QStringLiteral("main")},
        {QStringLiteral("workFax"), QStringLiteral("work;type=fax")}, {QStringLiteral("homeFax"), QStringLiteral("home;type=fax")},
        {QStringLiteral("pager"), QStringLiteral("pager")},        {QStringLiteral("assistant"), QStringLiteral("assisstant")},
        {QStringLiteral("other"), QStringLiteral("other")},        {QStringLiteral("custom"), QStringLiteral("custom")}};
    return types.value(kind, QStringLiteral("other"));
}

QString addressLine(const char *type, const QJsonObject &address)
{
    return QStringLiteral("adr;charset=utf-8;type=%1:;;%2;%3;%4;%5;%6\n")
        .arg(QLatin1String(type), vCardEscaped(field(address, "street")), vCardEscaped(field(address, "city")),
             vCardEscaped(field(address, "state")), vCardEscaped(field(address, "zip")),
             vCardEscaped(field(address, "country")));
}

QString nameLines(const QJsonObject &f)
{
    QString text = QStringLiteral("n;charset=utf-8:%1;%2;%3;%4;%5\n")
                       .arg(vCardEscaped(field(f, "lastName")), vCardEscaped(field(f, "firstName")),
                            vCardEscaped(field(f, "middleName")), vCardEscaped(field(f, "prefix")),
                            vCardEscaped(field(f, "suffix")));
    const QString display = QStringList{field(f, "firstName"), field(f, "lastName")}.join(u' ').trimmed();
    text += QStringLiteral("fn;charset=utf-8:%1\n").arg(vCardEscaped(display));
    if (!field(f, "company").isEmpty() || !field(f, "department").isEmpty())
        text += QStringLiteral("org;charset=utf-8:%1;%2\n").arg(vCardEscaped(field(f, "company")), vCardEscaped(field(f, "department")));
    if (!field(f, "jobTitle").isEmpty())
        text += QStringLiteral("title;charset=utf-8:%1\n").arg(vCardEscaped(field(f, "jobTitle")));
    return text;
}

QString phoneAndMailLines(const QJsonObject &f)
{
    QString text;
    for (const QJsonValue &phone : f.value(QStringLiteral("phones")).toArray()) {
        const QJsonObject entry = phone.toObject();
        text += QStringLiteral("tel;charset=utf-8;type=%1:%2\n").arg(phoneType(field(entry, "kind")), vCardEscaped(field(entry, "number")));
    }
    for (const QJsonValue &mail : f.value(QStringLiteral("emails")).toArray()) {
        const QJsonObject entry = mail.toObject();
        text += QStringLiteral("email;charset=utf-8;type=internet;type=%1:%2\n").arg(field(entry, "kind"), vCardEscaped(field(entry, "address")));
    }
    if (f.contains(QStringLiteral("workAddress")))
        text += addressLine("work", f.value(QStringLiteral("workAddress")).toObject());
    if (f.contains(QStringLiteral("homeAddress")))
        text += addressLine("home", f.value(QStringLiteral("homeAddress")).toObject());
    return text;
}

QString otherLines(const QJsonObject &f)
{
    QString text;
    if (!field(f, "webPageWork").isEmpty())
        text += QStringLiteral("url;charset=utf-8;type=work:%1\n").arg(vCardEscaped(field(f, "webPageWork")));
    if (!field(f, "webPageHome").isEmpty())
        text += QStringLiteral("url;charset=utf-8;type=home:%1\n").arg(vCardEscaped(field(f, "webPageHome")));
    if (!field(f, "im").isEmpty())
        text += QStringLiteral("X-ms-imaddress;charset=utf-8;type=pref:%1\n").arg(vCardEscaped(field(f, "im")));
    if (!field(f, "spouse").isEmpty())
        text += QStringLiteral("X-ms-spouse;charset=utf-8:%1\n").arg(vCardEscaped(field(f, "spouse")));
    for (const QJsonValue &child : f.value(QStringLiteral("children")).toArray())
        text += QStringLiteral("X-child;charset=utf-8:%1\n").arg(vCardEscaped(child.toString()));
    if (!field(f, "anniversary").isEmpty())
        text += QStringLiteral("X-ms-anniversary:%1\n").arg(field(f, "anniversary"));
    const QJsonArray custom = f.value(QStringLiteral("custom")).toArray();
    for (qsizetype n = 0; n < custom.size() && n < 8; ++n) {
        if (!custom.at(n).toString().isEmpty())
            text += QStringLiteral("X-custom;charset=utf-8;type=%1:%2\n").arg(n + 1).arg(vCardEscaped(custom.at(n).toString()));
    }
    if (!field(f, "picture").isEmpty())
        text += QStringLiteral("photo;ENCODING=b;type=JPEG:%1\n").arg(field(f, "picture"));
    return text;
}

Descriptor contactProperties(const PeerRecord &record)
{
    Descriptor properties = Descriptor::record();
    properties.set(code("pcls"), Descriptor::typeCode(code("cAbE")));
    properties.set(code("ID  "), Descriptor::integer(qint32(record.id)));
    if (!field(record.fields, "middleName").isEmpty())
        properties.set(code("pMdN"), Descriptor::text(field(record.fields, "middleName")));
    properties.set(code("vCrd"), Descriptor::text(contactVCard(record)));
    Descriptor categories = Descriptor::list();
    for (const QJsonValue &id : record.fields.value(QStringLiteral("categories")).toArray())
        categories.append(Descriptor::objectSpecifier(code("ctgy"), qint32(id.toInteger())));
    properties.set(code("cCtg"), categories);
    return properties;
}

ScriptOutcome answerProperties(const QList<ScriptValue> &captures, ScriptContext &context)
{
    const qint64 id = captures.value(1).integer;
    const std::optional<PeerRecord> record = context.store.record(RecordKind::Contact, id);
    if (!record)
        return ScriptOutcome::error(kErrorNoSuchObject, QStringLiteral("Can't get contact id \"%1\".").arg(id));
    return {contactProperties(*record)};
}

ScriptOutcome answerPicture(const QList<ScriptValue> &captures, ScriptContext &context)
{
    const qint64 id = captures.value(1).integer;
    const std::optional<PeerRecord> record = context.store.record(RecordKind::Contact, id);
    if (!record)
        return ScriptOutcome::error(kErrorNoSuchObject, QStringLiteral("Can't get contact id %1.").arg(id));
    const QByteArray picture = QByteArray::fromBase64(field(record->fields, "picture").toLatin1());
    if (picture.isEmpty())
        return {Descriptor::null()};
    Descriptor result;
    result.kind = 'A';
    result.type = code("JPEG");
    result.data = picture;
    return {result};
}

// The bytes of a regular file (never through a link), at most kMaxPictureBytes; nullopt otherwise.
std::optional<QByteArray> readPictureFile(const QString &path)
{
    struct stat status = {};
    if (::lstat(QFile::encodeName(path).constData(), &status) != 0 || !S_ISREG(status.st_mode)
        || status.st_size > kMaxPictureBytes)
        return std::nullopt;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return file.read(kMaxPictureBytes);
}

ScriptOutcome setPicture(const QList<ScriptValue> &captures, ScriptContext &context)
{
    const QString path = captures.value(0).text;
    const qint64 id = captures.value(2).integer;
    const std::optional<QByteArray> bytes = readPictureFile(path);
    if (!bytes)
        return ScriptOutcome::error(kErrorFileNotFound, QStringLiteral("File %1 wasn't found.").arg(path));
    std::optional<PeerRecord> record = context.store.record(RecordKind::Contact, id);
    if (!record)
        return ScriptOutcome::error(kErrorNoSuchObject, QStringLiteral("Can't get contact id \"%1\".").arg(id));
    record->fields[QStringLiteral("picture")] = QString::fromLatin1(bytes->toBase64());
    return storeChangedRecord(context, RecordKind::Contact, *record);
}

} // namespace

QString vCardEscaped(QString text)
{
    text.replace(QStringLiteral("\\"), QStringLiteral("\\\\"));
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\\n")).replace(QStringLiteral("\n"), QStringLiteral("\\n"));
    text.replace(QStringLiteral(","), QStringLiteral("\\,")).replace(QStringLiteral(";"), QStringLiteral("\\;"));
    return text;
}

QString contactVCard(const PeerRecord &record)
{
    const QJsonObject &f = record.fields;
    QString text = QStringLiteral("begin:vcard\nversion:3.0\n");
    text += nameLines(f) + phoneAndMailLines(f) + otherLines(f);
    // The note is followed by the birthday line, where Outlook's export ends a note.
    if (!field(f, "note").isEmpty())
        text += QStringLiteral("note;charset=utf-8:%1\nbday:%2\n").arg(vCardEscaped(field(f, "note")), field(f, "birthday"));
    else if (!field(f, "birthday").isEmpty())
        text += QStringLiteral("bday:%1\n").arg(field(f, "birthday"));
    return text + QStringLiteral("end:vcard\n");
}

void addContactForms(QList<ScriptForm> &forms)
{
    forms.append({QStringLiteral("contact properties"),
                  QStringLiteral("tell application \u00ABA\u00BB\nset theContacts to the properties of contact id \u00ABI\u00BB of "
                                 "application \u00ABA\u00BB\nreturn theContacts\nend tell"),
                  answerProperties});
    forms.append({QStringLiteral("picture"),
                  QStringLiteral("tell application \u00ABA\u00BB\nset thePicture to image of contact id \u00ABI\u00BB\nreturn "
                                 "thePicture\nend tell"),
                  answerPicture});
    forms.append({QStringLiteral("set image"),
                  QStringLiteral("set theImageFile to a reference to POSIX file \u00ABS\u00BB\nset img_file to open for access "
                                 "theImageFile\nset img_data to read img_file as \"JPEG\"\nclose access img_file\ntell "
                                 "application \u00ABA\u00BB\nset the image of contact id \u00ABI\u00BB to img_data\nend tell"),
                  setPicture});
}

} // namespace outlookpeer
