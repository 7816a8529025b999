// The Contacts data feed (version 3.0, Atom) of the Google peer: contacts listed by start index with
// "updated-min" and "showdeleted", written one entry at a time, their photos, and new groups.
#include "GooglePeer.h"

#include <httplib.h>

#include <QJsonDocument>
#include <QUrl>
#include <QXmlStreamReader>

#include <algorithm>

namespace googlepeer {

namespace {

const char kAtomType[] = "application/atom+xml; charset=UTF-8";
const QString kAtom = QStringLiteral("http://www.w3.org/2005/Atom");
const QString kGd = QStringLiteral("http://schemas.google.com/g/2005");
const QString kContact = QStringLiteral("http://schemas.google.com/contact/2008");

QString escapeText(const QString &text)
{
    QString escaped = text;
    escaped.replace(u'&', QStringLiteral("&amp;")).replace(u'<', QStringLiteral("&lt;")).replace(u'>', QStringLiteral("&gt;"));
    return escaped;
}

QString escapeAttribute(const QString &text)
{
    return escapeText(text).replace(u'\'', QStringLiteral("&apos;")).replace(u'"', QStringLiteral("&quot;"));
}

// Google's prefix of a namespace; empty for Atom, a null text for one it does not keep.
QString prefixOf(QStringView uri)
{
    if (uri == kAtom)
        return QStringLiteral("");
    if (uri == kGd)
        return QStringLiteral("gd:");
    if (uri == kContact)
        return QStringLiteral("gContact:");
    return {};
}

// One element of a client's entry (the reader on its start) written in Google's form, with its
// attributes in single quotes; the full name is picked up on the way.
QString googleForm(QXmlStreamReader &reader, QString &fullName)
{
    const QString prefix = prefixOf(reader.namespaceUri());
    const QString name = prefix + reader.name().toString();
    QString text = QStringLiteral("<") + name;
    for (const QXmlStreamAttribute &attribute : reader.attributes()) {
        const QString attributePrefix =
            attribute.namespaceUri().isEmpty() ? QStringLiteral("") : prefixOf(attribute.namespaceUri());
        if (!attributePrefix.isNull())
            text += QStringLiteral(" %1%2='%3'").arg(attributePrefix, attribute.name().toString(), escapeAttribute(attribute.value().toString()));
    }
    QString inner;
    while (!reader.atEnd()) {
        const QXmlStreamReader::TokenType token = reader.readNext();
        if (token == QXmlStreamReader::EndElement)
            break;
        if (token == QXmlStreamReader::Characters) {
            inner += escapeText(reader.text().toString());
            if (name == QLatin1String("gd:fullName"))
                fullName += reader.text().toString();
        } else if (token == QXmlStreamReader::StartElement) {
            const bool kept = !prefixOf(reader.namespaceUri()).isNull();
            const QString child = googleForm(reader, fullName);
            if (kept)
                inner += child;
        }
    }
    if (prefix.isNull())
        return {};
    return inner.isEmpty() ? text + QStringLiteral("/>") : text + u'>' + inner + QStringLiteral("</") + name + u'>';
}

// The children of the client's entry in Google's form, without those Google makes itself.
bool entryBody(const QByteArray &entry, QString &body, QString &fullName)
{
    QXmlStreamReader reader(entry);
    while (!reader.atEnd() && reader.readNext() != QXmlStreamReader::StartElement) {
    }
    if (reader.name() != QLatin1String("entry") || reader.namespaceUri() != kAtom)
        return false;
    static const QStringList made{QStringLiteral("id"), QStringLiteral("updated"), QStringLiteral("category"),
                                  QStringLiteral("link"), QStringLiteral("title"), QStringLiteral("edited")};
    while (!reader.atEnd()) {
        const QXmlStreamReader::TokenType token = reader.readNext();
        if (token != QXmlStreamReader::StartElement)
            continue;
        const bool skipped = reader.namespaceUri() == kAtom && made.contains(reader.name().toString());
        const QString element = googleForm(reader, fullName);
        if (!skipped)
            body += element;
    }
    return !reader.hasError();
}

QString encodedEmail(const QString &email)
{
    return QString::fromLatin1(QUrl::toPercentEncoding(email));
}

QString feedHead(const QString &email, const QString &updated, qsizetype total, qsizetype start, qsizetype perPage)
{
    return QStringLiteral("<?xml version='1.0' encoding='UTF-8'?><feed xmlns='http://www.w3.org/2005/Atom' "
                          "xmlns:openSearch='http://a9.com/-/spec/opensearch/1.1/' xmlns:gContact='%1' "
                          "xmlns:batch='http://schemas.google.com/gdata/batch' xmlns:gd='%2'><id>%3</id><updated>%4</updated>"
                          "<category scheme='%2#kind' term='%1#contact'/><title>%3's Contacts</title>"
                          "<openSearch:totalResults>%5</openSearch:totalResults><openSearch:startIndex>%6</openSearch:startIndex>"
                          "<openSearch:itemsPerPage>%7</openSearch:itemsPerPage>")
        .arg(kContact, kGd, escapeText(email), updated, QString::number(total), QString::number(start),
             QString::number(perPage));
}

} // namespace

// Called with the lock held.
QJsonObject GooglePeer::contactsOf(const QString &email) const
{
    return accountOf(email).value(QStringLiteral("contacts")).toObject();
}

// Called with the lock held; the change is kept before the answer.
void GooglePeer::storeContact(const QString &email, const QString &id, const QJsonObject &contact)
{
    QJsonObject account = accountOf(email);
    QJsonObject contacts = account.value(QStringLiteral("contacts")).toObject();
    contacts.insert(id, contact);
    account.insert(QStringLiteral("contacts"), contacts);
    putAccount(email, account);
    noteRecordChanged({email, QStringLiteral("contacts"), id});
    saveState();
}

QString GooglePeer::entryText(const QString &email, const QString &id, const QJsonObject &contact, bool deletedElement,
                              bool prefixed) const
{
    const QString base = QStringLiteral("http://www.google.com/m8/feeds/contacts/%1/base/%2").arg(encodedEmail(email), id);
    const QString updated = contact.value(QStringLiteral("updated")).toString();
    QString text = QStringLiteral("<entry gd:etag='&quot;%1&quot;'><id>%2</id><updated>%3</updated>")
                       .arg(QString::number(contact.value(QStringLiteral("etag")).toInt()), base, updated);
    text += QStringLiteral("<app:edited xmlns:app='http://www.w3.org/2007/app'>%1</app:edited>"
                           "<category scheme='%2#kind' term='%3#contact'/>")
                .arg(updated, kGd, kContact);
    if (contact.value(QStringLiteral("deleted")).toBool()) {
        text += QStringLiteral("<title></title>");
        text += deletedElement ? QStringLiteral("<gd:deleted/>")
                               : QStringLiteral("<gContact:groupMembershipInfo deleted='true' "
                                                "href='http://www.google.com/m8/feeds/groups/%1/base/6'/>")
                                     .arg(encodedEmail(email));
        return text + QStringLiteral("</entry>");
    }
    const QString photoEtag = contact.value(QStringLiteral("photoEtag")).toString();
    text += QStringLiteral("<title>%1</title><link rel='http://schemas.google.com/contacts/2008/rel#photo' type='image/*' "
                           "href='https://www.google.com/m8/feeds/photos/media/%2/%3'%4/>"
                           "<link rel='self' type='application/atom+xml' href='https://www.google.com/m8/feeds/contacts/%2/full/%3'/>"
                           "<link rel='edit' type='application/atom+xml' href='https://www.google.com/m8/feeds/contacts/%2/full/%3'/>")
                .arg(escapeText(contact.value(QStringLiteral("title")).toString()), encodedEmail(email), id,
                     photoEtag.isEmpty() ? QString() : QStringLiteral(" gd:etag='&quot;%1&quot;'").arg(photoEtag));
    text += contact.value(QStringLiteral("body")).toString() + QStringLiteral("</entry>");
    if (prefixed) {
        for (const char *tag : {"id", "updated"})
            text.replace(QStringLiteral("<%1>").arg(QLatin1String(tag)), QStringLiteral("<atom:%1>").arg(QLatin1String(tag)))
                .replace(QStringLiteral("</%1>").arg(QLatin1String(tag)), QStringLiteral("</atom:%1>").arg(QLatin1String(tag)));
    }
    return text;
}

// Routes the Contacts paths; false for a path that is none of them.
bool GooglePeer::contactsService(const QString &email, const httplib::Request &request, httplib::Response &response,
                                 const std::optional<Switch> &change)
{
    const QStringList parts = QString::fromStdString(request.path).split(u'/', Qt::SkipEmptyParts);
    if (parts.size() < 5 || parts[0] != QLatin1String("m8") || parts[1] != QLatin1String("feeds"))
        return false;
    // The account is the segment after "contacts", or after "photos/media".
    const bool isPhoto = parts[2] == QLatin1String("photos") && parts[3] == QLatin1String("media");
    const QString account = isPhoto ? parts[4] : parts[3];
    if (account != email && account != QLatin1String("default"))
        return false;
    if (parts[2] == QLatin1String("contacts") && parts[4] == QLatin1String("full")) {
        if (parts.size() == 5 && request.method == "GET")
            contactFeed(email, request, response, change);
        else if (parts.size() == 5 && request.method == "POST")
            writeContact(email, QString(), request, response, change);
        else if (parts.size() == 6 && request.method == "PUT")
            writeContact(email, parts[5], request, response, change);
        else if (parts.size() == 6 && request.method == "DELETE")
            deleteContact(email, parts[5], response);
        else
            return false;
        return true;
    }
    if (isPhoto && parts.size() == 6) {
        contactPhoto(email, parts[5], request, response);
        return true;
    }
    if (parts[2] == QLatin1String("groups") && parts[4] == QLatin1String("full") && parts.size() == 6 &&
        request.method == "DELETE") {
        deleteGroup(email, parts[5], response);
        return true;
    }
    return false;
}

void GooglePeer::contactFeed(const QString &email, const httplib::Request &request, httplib::Response &response,
                             const std::optional<Switch> &change)
{
    const QString minText = QString::fromStdString(request.get_param_value("updated-min"));
    const QDateTime updatedMin = QDateTime::fromString(minText, Qt::ISODateWithMs);
    const bool showDeleted = request.get_param_value("showdeleted") == "true" && updatedMin.isValid();
    // Under repeated-page-token the start index is ignored: every page is the first (an endless feed).
    const bool repeats = change && change->kind == SwitchKind::RepeatedPageToken;
    const qsizetype start = repeats ? 1 : std::max(1, QString::fromStdString(request.get_param_value("start-index")).toInt());
    const QString maxText = QString::fromStdString(request.get_param_value("max-results"));
    const qsizetype perPage = maxText.isEmpty() ? 25 : std::max(1, maxText.toInt());
    QList<std::pair<QString, QJsonObject>> listed;
    {
        const std::lock_guard lock(m_mutex);
        const QJsonObject contacts = contactsOf(email);
        for (auto it = contacts.begin(); it != contacts.end(); ++it) {
            const QJsonObject contact = it.value().toObject();
            const QDateTime updated = QDateTime::fromString(contact.value(QStringLiteral("updated")).toString(), Qt::ISODateWithMs);
            if (contact.value(QStringLiteral("deleted")).toBool() && !showDeleted)
                continue;
            if (updatedMin.isValid() && updated < updatedMin)
                continue;
            listed.append({it.key(), contact});
        }
    }
    std::sort(listed.begin(), listed.end(), [](const auto &a, const auto &b) {
        const QString left = a.second.value(QStringLiteral("updated")).toString();
        const QString right = b.second.value(QStringLiteral("updated")).toString();
        return left != right ? left < right : a.first < b.first;
    });
    const bool deletedElement = change && change->kind == SwitchKind::DeletedElement;
    QString text = feedHead(email, updatedStamp(), listed.size(), start, perPage);
    for (qsizetype at = start - 1; at < listed.size() && at < start - 1 + perPage; ++at)
        text += entryText(email, listed.at(at).first, listed.at(at).second, deletedElement, false);
    text += QStringLiteral("</feed>");
    response.set_content(text.toStdString(), kAtomType);
}

void GooglePeer::writeContact(const QString &email, const QString &id, const httplib::Request &request,
                              httplib::Response &response, const std::optional<Switch> &change)
{
    QString body, fullName;
    if (!entryBody(QByteArray::fromStdString(request.body), body, fullName)) {
        sendError(response, 400, QStringLiteral("Invalid entry"));
        return;
    }
    const std::lock_guard lock(m_mutex);
    QJsonObject contacts = contactsOf(email);
    QString key = id;
    if (key.isEmpty()) {
        const int counter = m_state.value(QStringLiteral("counter")).toInt() + 1;
        m_state.insert(QStringLiteral("counter"), counter);
        key = QStringLiteral("c%1").arg(QString::number(counter, 16).rightJustified(8, u'0'));
    } else if (!contacts.contains(key) || contacts.value(key).toObject().value(QStringLiteral("deleted")).toBool()) {
        sendError(response, 404, QStringLiteral("Contact not found."));
        return;
    }
    QJsonObject contact = contacts.value(key).toObject();
    contact.insert(QStringLiteral("body"), body);
    contact.insert(QStringLiteral("title"), fullName.trimmed());
    contact.insert(QStringLiteral("updated"), m_clock.isValid() ? m_clock.toUTC().toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss.zzz'Z'"))
                                                                : QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss.zzz'Z'")));
    contact.insert(QStringLiteral("etag"), contact.value(QStringLiteral("etag")).toInt() + 1);
    storeContact(email, key, contact);
    const bool prefixed = change && change->kind == SwitchKind::PrefixedReply;
    QString text = entryText(email, key, contact, false, prefixed);
    const QString namespaces = QStringLiteral(" xmlns='%1' xmlns:gContact='%2' xmlns:gd='%3'").arg(kAtom, kContact, kGd);
    const qsizetype innerStart = text.indexOf(u'>') + 1;
    const QString inner = text.mid(innerStart, text.size() - innerStart - 8);
    text = prefixed ? QStringLiteral("<atom:entry xmlns:atom='%1'%2>%3</atom:entry>").arg(kAtom, namespaces, inner)
                    : QStringLiteral("<entry") + namespaces + text.mid(6);
    response.status = id.isEmpty() ? 201 : 200;
    response.set_content(QStringLiteral("<?xml version='1.0' encoding='UTF-8'?>").toStdString() + text.toStdString(), kAtomType);
}

void GooglePeer::deleteContact(const QString &email, const QString &id, httplib::Response &response)
{
    if (!userDeleteContact(email, id)) {
        sendError(response, 404, QStringLiteral("Contact not found."));
        return;
    }
    response.set_content("", kAtomType);
}

// A group goes from the account's groups (its contacts keep their memberships, as Google leaves them);
// Google's system groups cannot be deleted (403), an unknown group answers 404.
void GooglePeer::deleteGroup(const QString &email, const QString &id, httplib::Response &response)
{
    if (id == QLatin1String("6")) {
        sendError(response, 403, QStringLiteral("Cannot delete a system group."));
        return;
    }
    const std::lock_guard lock(m_mutex);
    QJsonObject account = accountOf(email);
    QJsonArray groups = account.value(QStringLiteral("groups")).toArray();
    for (qsizetype at = 0; at < groups.size(); ++at) {
        if (groups.at(at)[QStringLiteral("id")].toString() != id)
            continue;
        groups.removeAt(at);
        account.insert(QStringLiteral("groups"), groups);
        putAccount(email, account);
        saveState();
        response.set_content("", kAtomType);
        return;
    }
    sendError(response, 404, QStringLiteral("Group not found."));
}

void GooglePeer::contactPhoto(const QString &email, const QString &id, const httplib::Request &request,
                              httplib::Response &response)
{
    if (request.method == "PUT") {
        if (!userSetPhoto(email, id, QByteArray::fromStdString(request.body)))
            sendError(response, 404, QStringLiteral("Contact not found."));
        return;
    }
    QByteArray photo;
    {
        const std::lock_guard lock(m_mutex);
        const QJsonObject contact = contactsOf(email).value(id).toObject();
        photo = QByteArray::fromBase64(contact.value(QStringLiteral("photo")).toString().toLatin1());
    }
    if (photo.isEmpty()) {
        sendError(response, 404, QStringLiteral("Photo not found."));
        return;
    }
    response.set_content(photo.toStdString(), "image/jpeg");
}

void GooglePeer::createGroup(const QString &email, const httplib::Request &request, httplib::Response &response)
{
    QXmlStreamReader reader(QByteArray::fromStdString(request.body));
    QString title;
    while (!reader.atEnd()) {
        if (reader.readNext() == QXmlStreamReader::StartElement && reader.name() == QLatin1String("title") &&
            reader.namespaceUri() == kAtom)
            title = reader.readElementText();
    }
    if (reader.hasError() || title.isEmpty()) {
        sendError(response, 400, QStringLiteral("Invalid group entry"));
        return;
    }
    const std::lock_guard lock(m_mutex);
    QJsonObject account = accountOf(email);
    QJsonArray groups = account.value(QStringLiteral("groups")).toArray();
    const int counter = m_state.value(QStringLiteral("counter")).toInt() + 1;
    m_state.insert(QStringLiteral("counter"), counter);
    const QString id = QStringLiteral("g%1").arg(counter, 0, 16);
    groups.append(QJsonObject{{QStringLiteral("id"), id}, {QStringLiteral("title"), title}});
    account.insert(QStringLiteral("groups"), groups);
    putAccount(email, account);
    saveState();
    response.status = 201;
    response.set_content(QStringLiteral("<?xml version='1.0' encoding='UTF-8'?><entry xmlns='%1' xmlns:gd='%2'>"
                                        "<id>http://www.google.com/m8/feeds/groups/%3/base/%4</id><updated>%5</updated>"
                                        "<title>%6</title></entry>")
                             .arg(kAtom, kGd, escapeText(email), id, QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs),
                                  escapeText(title))
                             .toStdString(),
                         kAtomType);
}

QString GooglePeer::userAddContact(const QString &email, const QByteArray &entry)
{
    httplib::Request request;
    request.body = entry.toStdString();
    httplib::Response response;
    writeContact(email, QString(), request, response, std::nullopt);
    if (response.status != 201)
        return {};
    const QString text = QString::fromStdString(response.body);
    const qsizetype start = text.indexOf(QStringLiteral("/base/")) + 6;
    return text.mid(start, text.indexOf(u'<', start) - start);
}

bool GooglePeer::userEditContact(const QString &email, const QString &id, const QByteArray &entry)
{
    httplib::Request request;
    request.body = entry.toStdString();
    httplib::Response response;
    writeContact(email, id, request, response, std::nullopt);
    return response.status == 200;
}

bool GooglePeer::userDeleteContact(const QString &email, const QString &id)
{
    const std::lock_guard lock(m_mutex);
    QJsonObject contacts = contactsOf(email);
    QJsonObject contact = contacts.value(id).toObject();
    if (contact.isEmpty() || contact.value(QStringLiteral("deleted")).toBool())
        return false;
    contact = QJsonObject{{QStringLiteral("deleted"), true},
                          {QStringLiteral("etag"), contact.value(QStringLiteral("etag")).toInt() + 1},
                          {QStringLiteral("updated"), (m_clock.isValid() ? m_clock.toUTC() : QDateTime::currentDateTimeUtc())
                                                          .toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss.zzz'Z'"))}};
    storeContact(email, id, contact);
    return true;
}

// A photo changes the contact's photo link (its etag), not its "updated".
bool GooglePeer::userSetPhoto(const QString &email, const QString &id, const QByteArray &photo)
{
    const std::lock_guard lock(m_mutex);
    QJsonObject contacts = contactsOf(email);
    QJsonObject contact = contacts.value(id).toObject();
    if (contact.isEmpty() || contact.value(QStringLiteral("deleted")).toBool())
        return false;
    contact.insert(QStringLiteral("photo"), QString::fromLatin1(photo.toBase64()));
    contact.insert(QStringLiteral("photoEtag"), QString::fromLatin1(QByteArray::number(qHash(photo), 16)));
    storeContact(email, id, contact);
    return true;
}

} // namespace googlepeer
