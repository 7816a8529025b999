// A page of the Google Contacts feed read into contact records.
#include "google/GoogleContactFeed.h"

#include "foundation/Lumberjack/DDLog.h"
#include "google/XMLDictionaryParser.h"

#include <QTimeZone>

namespace googlecontactfeed {

namespace {

// 29 December 2015 00:00 UTC: the date of an unreadable "updated" and the start of a first listing.
const QDateTime kDefaultDate = QDateTime(QDate(2015, 12, 29), QTime(0, 0), Qt::UTC);

QVariantList listOf(const QVariant &value)
{
    if (value.typeId() == QMetaType::QVariantList)
        return value.toList();
    if (value.isValid() && !value.isNull())
        return {value};
    return {};
}

QString attribute(const QVariant &node, const char *name)
{
    return node.toMap().value(QLatin1Char('_') + QLatin1String(name)).toString();
}

QDateTime dateOnly(const QString &text)
{
    const QDate date = QDate::fromString(text, QStringLiteral("yyyy-MM-dd"));
    return date.isValid() ? QDateTime(date, QTime(0, 0), QTimeZone::systemTimeZone()) : QDateTime();
}

void readNames(const QVariantMap &entry, QVariantMap &record)
{
    const QVariantMap name = entry.value(QStringLiteral("gd:name")).toMap();
    static const char *const keys[][2] = {{"gd:givenName", "NEWFNAME"},     {"gd:familyName", "NEWLNAME"},
                                          {"gd:additionalName", "MIDNAME"}, {"gd:namePrefix", "SALUTATION"},
                                          {"gd:nameSuffix", "SUFFIX"}};
    for (const auto &key : keys) {
        if (name.contains(QLatin1String(key[0])))
            record.insert(QLatin1String(key[1]), nodeText(name.value(QLatin1String(key[0]))));
    }
    const QVariant organization = entry.value(QStringLiteral("gd:organization"));
    if (organization.typeId() == QMetaType::QVariantMap) {
        const QVariantMap fields = organization.toMap();
        if (fields.contains(QStringLiteral("gd:orgName")))
            record.insert(QStringLiteral("COMPANY"), nodeText(fields.value(QStringLiteral("gd:orgName"))));
        if (fields.contains(QStringLiteral("gd:orgTitle")))
            record.insert(QStringLiteral("TITLE"), nodeText(fields.value(QStringLiteral("gd:orgTitle"))));
    }
}

// The first address of each kind, unless a later one of that kind is the primary one.
void readEmails(const QVariantMap &entry, QVariantMap &record)
{
    static const char *const kinds[][2] = {{"#work", "EMAIL"}, {"#home", "EMAIL2"}, {"#other", "EMAIL3"}};
    for (const QVariant &email : listOf(entry.value(QStringLiteral("gd:email")))) {
        if (email.typeId() != QMetaType::QVariantMap) {
            DDLogInfo(QStringLiteral("NOT A DICTIONARY: %1").arg(email.toString()));
            continue;
        }
        const QString rel = attribute(email, "rel");
        const QString address = attribute(email, "address");
        if (rel.isEmpty() || address.isEmpty())
            continue;
        for (const auto &kind : kinds) {
            const QString key = QLatin1String(kind[1]);
            if (rel.contains(QLatin1String(kind[0])) &&
                (!record.contains(key) || attribute(email, "primary") == QLatin1String("true"))) {
                record.insert(key, address);
                break;
            }
        }
    }
}

void readRelations(const QVariantMap &entry, QVariantMap &record)
{
    QStringList children;
    for (const QVariant &relation : listOf(entry.value(QStringLiteral("gContact:relation")))) {
        const QString rel = attribute(relation, "rel");
        const QString text = nodeText(relation);
        if (rel == QLatin1String("spouse"))
            record.insert(QStringLiteral("SPOUSE"), text);
        else if (rel == QLatin1String("assistant"))
            record.insert(QStringLiteral("ASSISTANT"), text);
        else if (rel == QLatin1String("child"))
            children << text;
    }
    if (!children.isEmpty())
        record.insert(QStringLiteral("CHILDREN"), children.join(QStringLiteral(", ")));
}

void readPhones(const QVariantMap &entry, QVariantMap &record)
{
    static const char *const kinds[][2] = {{"#work_fax", "WORKFAX"}, {"#home_fax", "HOMEFAX"}, {"#work", "WORKPHONE"},
                                           {"#home", "HOMEPHONE"},   {"#other", "OTHERPHONE"}, {"#mobile", "CELLPHONE"},
                                           {"#pager", "PAGER"},      {"#main", "MAINPHONE"}};
    const QVariant value = entry.value(QStringLiteral("gd:phoneNumber"));
    const bool isLone = value.typeId() == QMetaType::QVariantMap;
    for (const QVariant &phone : listOf(value)) {
        const QString rel = attribute(phone, "rel");
        if (rel.isEmpty())
            continue;
        for (const auto &kind : kinds) {
            const QString key = QLatin1String(kind[1]);
            if (rel.contains(QLatin1String(kind[0])) && (isLone || !record.contains(key))) {
                record.insert(key, nodeText(phone));
                break;
            }
        }
    }
}

void readOneAddress(const QVariant &address, const char *const keys[7], QVariantMap &record)
{
    const QVariantMap fields = address.toMap();
    QStringList lines = nodeText(fields.value(QStringLiteral("gd:street"))).split(u'\n');
    lines.removeAll(QString());
    for (int line = 0; line < 3 && line < lines.size(); ++line)
        record.insert(QLatin1String(keys[line]), lines.at(line));
    static const char *const parts[] = {"gd:city", "gd:region", "gd:postcode"};
    for (int part = 0; part < 3; ++part) {
        if (fields.contains(QLatin1String(parts[part])))
            record.insert(QLatin1String(keys[3 + part]), nodeText(fields.value(QLatin1String(parts[part]))));
    }
    // The country only in its attributed form (Google writes it with a code).
    const QVariant country = fields.value(QStringLiteral("gd:country"));
    if (country.typeId() == QMetaType::QVariantMap)
        record.insert(QLatin1String(keys[6]), nodeText(country));
}

void readAddresses(const QVariantMap &entry, QVariantMap &record)
{
    static const char *const work[7] = {"ADDRESS1", "ADDRESS2", "ADDRESS3", "CITY", "STATE", "ZIP", "COUNTRY"};
    static const char *const home[7] = {"HOMEADDR1", "HOMEADDR2", "HOMEADDR3", "HOMECITY",
                                        "HOMESTATE", "HOMEZIP",   "HOMECNTRY"};
    static const char *const other[7] = {"OTHERADDR1", "OTHERADDR2", "OTHERADDR3", "OTHERCITY",
                                         "OTHERSTATE", "OTHERZIP",   "OTHERCNTRY"};
    const QVariantList addresses = listOf(entry.value(QStringLiteral("gd:structuredPostalAddress")));
    bool hasWork = false;
    for (const QVariant &address : addresses)
        hasWork = hasWork || attribute(address, "rel").contains(QLatin1String("#work"));
    bool workDone = false, homeDone = false, otherDone = false;
    for (const QVariant &address : addresses) {
        const QString rel = attribute(address, "rel");
        if (rel.contains(QLatin1String("#work")) && !workDone) {
            readOneAddress(address, work, record);
            workDone = true;
        } else if (rel.contains(QLatin1String("#home")) && !homeDone) {
            readOneAddress(address, home, record);
            homeDone = true;
        } else if (rel.contains(QLatin1String("#other")) && !otherDone) {
            readOneAddress(address, hasWork ? other : work, record);
            otherDone = true;
        }
    }
}

void readDatesAndWeb(const QVariantMap &entry, QVariantMap &record)
{
    const QVariant birthday = entry.value(QStringLiteral("gContact:birthday"));
    if (const QDateTime date = dateOnly(attribute(birthday, "when")); date.isValid())
        record.insert(QStringLiteral("NSDATEBIRTHDAY"), date);
    const QVariant event = entry.value(QStringLiteral("gContact:event"));
    if (event.typeId() == QMetaType::QVariantMap && attribute(event, "rel") == QLatin1String("anniversary")) {
        const QVariant when = event.toMap().value(QStringLiteral("gd:when"));
        if (const QDateTime date = dateOnly(attribute(when, "startTime")); date.isValid())
            record.insert(QStringLiteral("NSDATEANNIVERSARY"), date);
    }
    const QVariant nickname = entry.value(QStringLiteral("gContact:nickname"));
    if (nickname.typeId() == QMetaType::QString)
        record.insert(QStringLiteral("NICKNAME"), nickname.toString());
    const QVariant website = entry.value(QStringLiteral("gContact:website"));
    if (website.typeId() == QMetaType::QVariantMap && attribute(website, "rel") == QLatin1String("home-page"))
        record.insert(QStringLiteral("WEBURL"), attribute(website, "href"));
}

// The titles of the entry's known groups but My Contacts, tab-joined.
QString categoryOf(const QVariantList &memberships, const QMap<QString, QString> &groups)
{
    QStringList titles;
    for (const QVariant &membership : memberships) {
        const QString href = attribute(membership, "href");
        if (href.isEmpty() || attribute(membership, "deleted") != QLatin1String("false") || !groups.contains(href) ||
            href.endsWith(QLatin1String("base/6")))
            continue;
        titles << groups.value(href);
    }
    return titles.join(u'\t');
}

bool hasPhoto(const QVariantMap &entry)
{
    for (const QVariant &link : listOf(entry.value(QStringLiteral("link")))) {
        const QString type = attribute(link, "type");
        if (type.isEmpty())
            continue;
        if (!type.startsWith(QLatin1String("image/")))
            return false;
        if (!attribute(link, "gd:etag").isEmpty())
            return true;
    }
    return false;
}

} // namespace

QDateTime dateOfUpdated(const QString &text)
{
    QDateTime date = QDateTime::fromString(text, QStringLiteral("yyyy-MM-dd'T'HH:mm:ss.zzz'Z'"));
    if (!date.isValid())
        return {};
    date.setTimeSpec(Qt::UTC);
    return date;
}

QString updatedText(const QDateTime &date)
{
    return date.toUTC().toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss.zzz'Z'"));
}

QVariantMap recordOfEntry(const QVariantMap &entry, const QMap<QString, QString> &groups)
{
    QVariantMap record;
    if (entry.contains(QStringLiteral("id")))
        record.insert(QStringLiteral("UID"), nodeText(entry.value(QStringLiteral("id"))));
    if (entry.contains(QStringLiteral("updated")))
        record.insert(QStringLiteral("LASTMODIFIED"), nodeText(entry.value(QStringLiteral("updated"))));
    readNames(entry, record);
    readEmails(entry, record);
    readRelations(entry, record);
    readPhones(entry, record);
    readAddresses(entry, record);
    if (entry.contains(QStringLiteral("content")))
        record.insert(QStringLiteral("NOTE"), nodeText(entry.value(QStringLiteral("content"))));
    readDatesAndWeb(entry, record);
    record.insert(QStringLiteral("CATEGORY"),
                  categoryOf(listOf(entry.value(QStringLiteral("gContact:groupMembershipInfo"))), groups));
    return record;
}

namespace {

// Removed from My Contacts (the membership ending "/6" marked deleted), or a deleted entry as a
// server may also mark it (a "gd:deleted" element).
bool isDeletedEntry(const QVariantMap &entry, const QVariantList &memberships)
{
    if (entry.contains(QStringLiteral("gd:deleted")))
        return true;
    for (const QVariant &membership : memberships) {
        if (attribute(membership, "deleted") == QLatin1String("true") && attribute(membership, "href").endsWith(u"/6"))
            return true;
    }
    return false;
}

void readEntry(const QVariantMap &entry, const Context &context, Page &page)
{
    const QString id = nodeText(entry.value(QStringLiteral("id")));
    const QVariantList memberships = listOf(entry.value(QStringLiteral("gContact:groupMembershipInfo")));
    const bool isOther = memberships.isEmpty() && !entry.contains(QStringLiteral("gd:deleted"));
    if (isOther)
        DDLogVerbose(QStringLiteral("This is an other contact:"));
    const bool isDeleted = isDeletedEntry(entry, memberships);
    if (isDeleted && !id.isEmpty() && context.allowDeletesFromGoogle)
        page.deletions << id;
    if (!entry.contains(QStringLiteral("updated"))) {
        DDLogVerbose(QStringLiteral("Contact is NOT modified!"));
        return;
    }
    const QString updated = nodeText(entry.value(QStringLiteral("updated")));
    QDateTime date = dateOfUpdated(updated);
    if (!date.isValid())
        date = kDefaultDate;
    if (date > page.mostRecent)
        page.mostRecent = date;
    if (isDeleted || date <= context.comparisonDate) {
        DDLogVerbose(QStringLiteral("Contact is NOT modified!"));
        return;
    }
    if (!id.isEmpty() && context.ownWrites.contains(id) && context.ownWrites.value(id) == updated) {
        page.ownWritesSeen << id;
        return;
    }
    page.changedIds << id;
    if (hasPhoto(entry))
        page.photoIds << id;
    if (!isOther)
        page.records << recordOfEntry(entry, context.groups);
}

} // namespace

std::optional<QVariantMap> parseFeed(const QByteArray &body)
{
    XMLDictionaryParser parser = XMLDictionaryParser::sharedInstance();
    parser.setStripEmptyNodes(false);
    return parser.dictionaryWithData(body);
}

bool isFeed(const QVariantMap &parsed)
{
    const QString root = parsed.value(QStringLiteral("__name")).toString();
    return root == QLatin1String("feed") || root == QLatin1String("atom:feed");
}

QVariantList entriesOf(const QVariantMap &feed)
{
    const QVariant entries = feed.value(QStringLiteral("entry"));
    if (entries.typeId() == QMetaType::QVariantList)
        return entries.toList();
    if (entries.typeId() == QMetaType::QVariantMap)
        return {entries};
    return {};
}

QString nodeText(const QVariant &value)
{
    if (value.typeId() == QMetaType::QVariantMap)
        return value.toMap().value(QStringLiteral("__text")).toString();
    if (value.typeId() == QMetaType::QVariantList)
        return {};
    return value.toString();
}

Page readPage(const QVariantMap &feed, const Context &context)
{
    Page page;
    page.mostRecent = context.mostRecent.isValid() ? context.mostRecent : kDefaultDate;
    const QVariantList list = entriesOf(feed);
    page.entryCount = list.size();
    for (const QVariant &entry : list) {
        if (entry.typeId() == QMetaType::QVariantMap)
            readEntry(entry.toMap(), context, page);
    }
    if (!context.allowDeletesFromGoogle)
        page.deletions.clear();
    return page;
}

} // namespace googlecontactfeed
