// The contact feed read entry by entry against the same feed read through the XML dictionary tree,
// the form it was read in before: hand-written feeds with what a server could send (other prefixes,
// CDATA, entities, texts broken by children, lone and repeated elements) give the same records,
// texts compared with their null state and type, and the same bookkeeping. Then the replies no page
// may be read from.
#include "google/GoogleContactFeed.h"
#include "google/XMLDictionaryParser.h"

#include "foundation/Lumberjack/DDLog.h"

#include <QTimeZone>

#include <gtest/gtest.h>

namespace {

// The reading of a page from the dictionary tree, kept as the reference.
namespace treeform {

using googlecontactfeed::Context;
using googlecontactfeed::dateOfUpdated;
using googlecontactfeed::entriesOf;
using googlecontactfeed::nodeText;
using googlecontactfeed::Page;

namespace {

// 29 December 2015 00:00 UTC: the date of an unreadable "updated" and the start of a first listing.

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
        date = googlecontactfeed::defaultDate();
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

Page readPage(const QVariantMap &feed, const Context &context)
{
    Page page;
    page.mostRecent = context.mostRecent.isValid() ? context.mostRecent : googlecontactfeed::defaultDate();
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


} // namespace treeform

// Every value with its type and whether a text is null, one key a line.
QString described(const QVariantMap &record)
{
    QString text;
    for (auto it = record.constBegin(); it != record.constEnd(); ++it) {
        const QVariant &value = it.value();
        text += it.key() + QLatin1Char('=') + QLatin1String(value.typeName()) +
                (value.typeId() == QMetaType::QString && value.toString().isNull() ? QStringLiteral("(null)") : QString()) +
                QLatin1Char(':') + (value.typeId() == QMetaType::QDateTime ? value.toDateTime().toString(Qt::ISODateWithMs)
                                                                           : value.toString()) +
                QLatin1Char('\n');
    }
    return text;
}

std::string described(const QList<QVariantMap> &records)
{
    QStringList texts;
    for (const QVariantMap &record : records)
        texts << described(record);
    return texts.join(QStringLiteral("----\n")).toStdString();
}

void expectSameReading(const QByteArray &feed, const googlecontactfeed::Context &context)
{
    const std::optional<QVariantMap> tree = googlecontactfeed::parseFeed(feed);
    ASSERT_TRUE(tree.has_value() && googlecontactfeed::isFeed(*tree));
    treeform::Page expected = treeform::readPage(*tree, context);
    for (const QVariant &entry : googlecontactfeed::entriesOf(*tree))
        expected.entryIds << googlecontactfeed::nodeText(entry.toMap().value(QStringLiteral("id")));
    const std::optional<googlecontactfeed::Page> page = googlecontactfeed::readFeed(feed, context);
    ASSERT_TRUE(page.has_value());
    EXPECT_EQ(described(page->records), described(expected.records));
    EXPECT_EQ(page->deletions, expected.deletions);
    EXPECT_EQ(page->changedIds, expected.changedIds);
    EXPECT_EQ(page->photoIds, expected.photoIds);
    EXPECT_EQ(page->ownWritesSeen, expected.ownWritesSeen);
    EXPECT_EQ(page->entryIds, expected.entryIds);
    EXPECT_EQ(page->mostRecent, expected.mostRecent);
    EXPECT_EQ(page->entryCount, expected.entryCount);
}

// A feed as Google writes it: namespaces declared on the root, etags, links, several of each field.
const QByteArray kGoogleFeed = R"(<?xml version='1.0' encoding='UTF-8'?>
<feed xmlns='http://www.w3.org/2005/Atom' xmlns:openSearch='http://a9.com/-/spec/opensearch/1.1/' xmlns:gContact='http://schemas.google.com/contact/2008' xmlns:batch='http://schemas.google.com/gdata/batch' xmlns:gd='http://schemas.google.com/g/2005' gd:etag='W/"feed"'>
<id>me@example.com</id><updated>2026-12-09T10:00:00.000Z</updated>
<category scheme='http://schemas.google.com/g/2005#kind' term='http://schemas.google.com/contact/2008#contact'/>
<title>Me's Contacts</title><link rel='next' type='application/atom+xml' href='https://x/next'/>
<openSearch:totalResults>5</openSearch:totalResults><openSearch:startIndex>1</openSearch:startIndex>
<entry gd:etag='"Qn0"'>
 <id>http://www.google.com/m8/feeds/contacts/me%40example.com/base/a1</id>
 <updated>2026-12-01T10:00:00.123Z</updated>
 <app:edited xmlns:app='http://www.w3.org/2007/app'>2026-12-01T10:00:00.123Z</app:edited>
 <category scheme='http://schemas.google.com/g/2005#kind' term='http://schemas.google.com/contact/2008#contact'/>
 <title>Ann B. Lee Jr.</title>
 <link rel='http://schemas.google.com/contacts/2008/rel#photo' type='image/*' href='https://x/photo/a1' gd:etag='"p1"'/>
 <link rel='self' type='application/atom+xml' href='https://x/a1'/>
 <gd:name>
   <gd:fullName>Ann B. Lee Jr.</gd:fullName><gd:givenName>Ann</gd:givenName><gd:additionalName>B.</gd:additionalName>
   <gd:familyName>Lee</gd:familyName><gd:namePrefix>Dr</gd:namePrefix><gd:nameSuffix>Jr.</gd:nameSuffix>
 </gd:name>
 <gContact:nickname>Annie</gContact:nickname>
 <gContact:birthday when='1970-05-06'/>
 <gContact:event rel='anniversary'><gd:when startTime='1999-07-08'/></gContact:event>
 <gContact:website href='https://ann.example' rel='home-page'/>
 <gd:organization rel='http://schemas.google.com/g/2005#work'><gd:orgName>Acme &amp; Sons</gd:orgName><gd:orgTitle>CEO</gd:orgTitle></gd:organization>
 <gd:email rel='http://schemas.google.com/g/2005#home' address='ann@home.example' primary='true'/>
 <gd:email rel='http://schemas.google.com/g/2005#other' address='ann@other.example'/>
 <gd:email rel='http://schemas.google.com/g/2005#other' address='ann2@other.example'/>
 <gd:phoneNumber rel='http://schemas.google.com/g/2005#mobile' uri='tel:+1-555'>+1 555</gd:phoneNumber>
 <gd:phoneNumber rel='http://schemas.google.com/g/2005#main'>100</gd:phoneNumber>
 <gd:phoneNumber rel='http://schemas.google.com/g/2005#pager'>200</gd:phoneNumber>
 <gd:phoneNumber rel='http://schemas.google.com/g/2005#home_fax'>300</gd:phoneNumber>
 <gd:phoneNumber label='car'>400</gd:phoneNumber>
 <gd:structuredPostalAddress rel='http://schemas.google.com/g/2005#home'><gd:formattedAddress>x</gd:formattedAddress>
   <gd:street>5 Home Rd
Flat 3
Floor 2
Door 1</gd:street><gd:postcode>0150</gd:postcode><gd:region>Oslo</gd:region><gd:city>Oslo</gd:city><gd:country code='NO'>Norway</gd:country></gd:structuredPostalAddress>
 <gd:structuredPostalAddress rel='http://schemas.google.com/g/2005#work'><gd:street>1 Work St</gd:street><gd:country>Plain</gd:country></gd:structuredPostalAddress>
 <gd:structuredPostalAddress rel='http://schemas.google.com/g/2005#other'><gd:street>9 Other Ave</gd:street><gd:city>Bergen</gd:city></gd:structuredPostalAddress>
 <gContact:relation rel='spouse'>Bo</gContact:relation><gContact:relation rel='assistant'>Cy</gContact:relation>
 <gContact:relation rel='child'>Kim</gContact:relation>
 <gContact:groupMembershipInfo deleted='false' href='http://www.google.com/m8/feeds/groups/me%40example.com/base/6'/>
 <gContact:groupMembershipInfo deleted='false' href='G1'/>
 <gContact:groupMembershipInfo deleted='true' href='G2'/>
 <gContact:groupMembershipInfo deleted='false' href='unknown'/>
</entry>
<entry gd:etag='"Qn1"'><id>http://x/base/b2</id><updated>2026-12-01T12:00:00.000Z</updated>
 <link rel='http://schemas.google.com/contacts/2008/rel#photo' type='image/*' href='https://x/photo/b2'/>
 <link rel='http://schemas.google.com/contacts/2008/rel#edit-photo' type='image/*' href='https://x/photo/b2' gd:etag='"late"'/>
 <gd:email rel='http://schemas.google.com/g/2005#work' address='w@b2.example'/>
 <gd:phoneNumber rel='http://schemas.google.com/g/2005#work'>7</gd:phoneNumber>
 <gd:structuredPostalAddress rel='http://schemas.google.com/g/2005#other'><gd:street>Only Other</gd:street><gd:region>R</gd:region></gd:structuredPostalAddress>
 <gContact:groupMembershipInfo deleted='false' href='http://www.google.com/m8/feeds/groups/me%40example.com/base/6'/>
</entry>
<entry><id>http://x/base/c3</id><updated>2026-12-01T13:00:00.000Z</updated>
 <link rel='alternate' type='text/html' href='https://x/c3'/><link rel='photo' type='image/*' href='p' gd:etag='"e"'/>
 <gContact:groupMembershipInfo deleted='false' href='G2'/></entry>
<entry><id>http://x/base/gone</id><updated>2026-12-02T00:00:00.000Z</updated>
 <gContact:groupMembershipInfo deleted='true' href='http://www.google.com/m8/feeds/groups/me%40example.com/base/6'/></entry>
<entry><id>http://x/base/other</id><updated>2026-12-02T01:00:00.000Z</updated><title>Other</title></entry>
<entry><id>http://x/base/old</id><updated>2026-11-01T00:00:00.000Z</updated><gContact:groupMembershipInfo deleted='false' href='G1'/></entry>
</feed>
)";

// What a server or a proxy could also write: other prefixes, CDATA, entities and character
// references, comments and instructions inside texts, texts broken by children, elements lone,
// repeated, empty or with text only, an entry with text only, an empty entry, an unreadable date.
const QByteArray kOddFeed = R"(<?xml version="1.0"?>
<atom:feed xmlns:atom="http://www.w3.org/2005/Atom" xmlns:gd="http://schemas.google.com/g/2005">
<entry>
 <id><![CDATA[http://x/base/cdata]]></id>
 <updated>2026-12-03T00:00:00.000Z</updated>
 <content type="text"><![CDATA[Line <one> & ]]>two &amp; three &#233;&#x263A; <!-- a remark --> four<?pi data?></content>
 <gd:name><gd:givenName>  Ann&#10;Marie  </gd:givenName><gd:familyName/><gd:additionalName>X<gd:inner/>Y</gd:additionalName>
   <gd:namePrefix a="1">Dr</gd:namePrefix><gd:nameSuffix>I</gd:nameSuffix><gd:nameSuffix>II</gd:nameSuffix></gd:name>
 <gd:organization><gd:orgName></gd:orgName></gd:organization>
 <gContact:nickname lang="en">Nick</gContact:nickname>
 <gd:email rel="a#work" address="a&amp;b@x.example"/><gd:email rel="x#home" address="&quot;q&quot;@x.example" primary="true"/>
 <gd:email>text only</gd:email><gd:email rel="x#other" address="&#38;amp;@x.example"/>
 <gd:phoneNumber rel="x#home">1<!-- c -->2</gd:phoneNumber>
 <gd:structuredPostalAddress rel="x#work"><gd:street>
   </gd:street><gd:city>C<![CDATA[ity]]></gd:city><gd:country code="SE">Sweden<x/>!</gd:country></gd:structuredPostalAddress>
 <gContact:relation rel="child">A</gContact:relation><gContact:relation rel="child"/><gContact:relation>plain</gContact:relation>
 <gContact:birthday when="--05-06"/>
 <gContact:groupMembershipInfo deleted="false" href="G1"/>
 <gContact:groupMembershipInfo deleted="false" href="G1"/>
</entry>
<entry>just text</entry>
<entry/>
<entry><id>http://x/base/nodate</id><updated>yesterday</updated><gd:name>Text Name</gd:name>
 <gd:phoneNumber rel="x#work">1</gd:phoneNumber><gd:phoneNumber rel="x#work">2</gd:phoneNumber>
 <gContact:nickname><b>bold</b></gContact:nickname><gContact:website rel="home-page">no href</gContact:website>
 <gContact:groupMembershipInfo deleted="false" href="h/base/6"/><entry><id>inner</id></entry></entry>
<entry><id>http://x/base/two-ids</id><id>second</id><updated>2026-12-03T00:00:00.000Z</updated><updated>again</updated>
 <gContact:groupMembershipInfo>text</gContact:groupMembershipInfo></entry>
<entry><id>http://x/base/deleted-mark</id><updated>2026-12-04T00:00:00.000Z</updated><gd:deleted/></entry>
<atom:entry><id>prefixed entries are not this feed's entries</id></atom:entry>
<other><entry><id>nested</id></entry></other>
</atom:feed>)";

} // namespace

TEST(GoogleContactFeed, TheStreamingReaderReadsHandWrittenFeedsAsTheTreeFormDoes)
{
    googlecontactfeed::Context context;
    context.groups = {{"G1", "Work"}, {"G2", "Friends"}, {"http://www.google.com/m8/feeds/groups/me%40example.com/base/6", "Mine"}};
    for (const QByteArray &feed : {kGoogleFeed, kOddFeed}) {
        SCOPED_TRACE(feed.left(120).toStdString());
        expectSameReading(feed, context);
        EXPECT_GE(googlecontactfeed::readFeed(feed, context).value_or(googlecontactfeed::Page()).records.size(), 2);
        googlecontactfeed::Context later = context;
        later.comparisonDate = QDateTime(QDate(2026, 12, 1), QTime(12, 0), Qt::UTC);
        later.mostRecent = QDateTime(QDate(2026, 12, 5), QTime(0, 0), Qt::UTC);
        later.allowDeletesFromGoogle = false;
        later.ownWrites.insert(QStringLiteral("http://x/base/c3"), QStringLiteral("2026-12-01T13:00:00.000Z"));
        later.ownWrites.insert(QStringLiteral("http://x/base/cdata"), QStringLiteral("other text"));
        expectSameReading(feed, later);
    }
    // A lone entry, a lone entry with text only (no entry), a feed without entries, trailing junk
    // after the feed's end (what was read stands).
    for (const char *feed : {"<feed><entry><id>i</id><updated>2026-12-02T00:00:00.000Z</updated>"
                             "<gd:phoneNumber rel='x#home'>9</gd:phoneNumber>"
                             "<gContact:groupMembershipInfo deleted='false' href='h/base/6'/></entry></feed>",
                             "<feed><entry>text</entry></feed>", "<feed/>", "<feed>text<title>t</title></feed>",
                             "<feed><entry><id>j</id><gContact:groupMembershipInfo deleted='false' href='x'/></entry></feed>junk"}) {
        SCOPED_TRACE(feed);
        expectSameReading(feed, context);
    }
    const std::optional<googlecontactfeed::Page> none = googlecontactfeed::readFeed("<feed><entry>text</entry></feed>", context);
    ASSERT_TRUE(none.has_value());
    EXPECT_EQ(none->entryCount, 0);
}

// The replies no page is read from: no XML, no feed, a refused document, and a feed cut before its
// end (the tree form read the entries before the cut, and a short page ends the listing).
TEST(GoogleContactFeed, RepliesThatAreNoWholeFeedGiveNoPage)
{
    QByteArray bomb = "<?xml version='1.0'?>\n<!DOCTYPE lolz [\n<!ENTITY lol 'lol'>\n";
    for (int level = 1; level <= 9; ++level)
        bomb += "<!ENTITY lol" + QByteArray::number(level) + " '" +
                (level == 1 ? QByteArray("&lol;") : "&lol" + QByteArray::number(level - 1) + ";").repeated(10) + "'>\n";
    bomb += "]>\n<feed><entry><id>&lol9;</id></entry></feed>";
    const QByteArray whole = kGoogleFeed;
    const QByteArray cut = whole.left(whole.indexOf("<entry><id>http://x/base/c3"));
    const QByteArray deep = "<feed><entry>" + QByteArray("<a>").repeated(300) + QByteArray("</a>").repeated(300) +
                            "</entry></feed>";
    QByteArray huge = "<feed><entry><id>x</id><content>";
    huge += QByteArray(XMLDictionaryParser::kDefaultMaxInputBytes, 'x');
    huge += "</content></entry></feed>";
    const std::pair<const char *, QByteArray> replies[] = {
        {"empty", QByteArray()},          {"garbage", "not xml at all"},         {"other root", "<entries><entry/></entries>"},
        {"prefixed root", "<a:feed xmlns:a='http://www.w3.org/2005/Atom'><entry><id>x</id></entry></a:feed>"},
        {"bomb", bomb},                   {"cut", cut},                          {"cut in a tag", whole.left(whole.size() / 2)},
        {"deep", deep},                   {"too large", huge}};
    for (const auto &[name, reply] : replies) {
        SCOPED_TRACE(name);
        EXPECT_FALSE(googlecontactfeed::readFeed(reply, {}).has_value());
    }
    // The feed whole is read.
    const std::optional<googlecontactfeed::Page> page = googlecontactfeed::readFeed(whole, {});
    ASSERT_TRUE(page.has_value());
    EXPECT_EQ(page->entryCount, 6);
}

// An "updated" stamp is a UTC time in every zone, times within a local clock change included (run
// again in zones with daylight time), what is no stamp (another layout included) is invalid.
TEST(GoogleContactFeed, UpdatedStampsAreReadAsUtcInEveryZone)
{
    const std::pair<const char *, QDateTime> stamps[] = {
        {"2026-03-29T02:30:00.000Z", QDateTime(QDate(2026, 3, 29), QTime(2, 30), Qt::UTC)},
        {"2026-03-08T02:15:59.999Z", QDateTime(QDate(2026, 3, 8), QTime(2, 15, 59, 999), Qt::UTC)},
        {"2026-10-25T02:30:00.001Z", QDateTime(QDate(2026, 10, 25), QTime(2, 30, 0, 1), Qt::UTC)},
        {"2024-02-29T23:59:59.000Z", QDateTime(QDate(2024, 2, 29), QTime(23, 59, 59), Qt::UTC)}};
    for (const auto &[text, date] : stamps) {
        SCOPED_TRACE(text);
        EXPECT_EQ(googlecontactfeed::dateOfUpdated(QString::fromLatin1(text)), date);
        EXPECT_EQ(googlecontactfeed::updatedText(date), QString::fromLatin1(text));
    }
    for (const char *text : {"2026-02-30T00:00:00.000Z", "2026-12-01T24:00:00.000Z", "2026-12-01T10:00:00.000",
                             "2026-12-01 10:00:00.000Z", "2026-3-29T02:30:00.000Z", "yesterday", "", "2026-12-01T10:00:00.000Z "}) {
        SCOPED_TRACE(text);
        EXPECT_FALSE(googlecontactfeed::dateOfUpdated(QString::fromLatin1(text)).isValid());
    }
    // A listing whose entry was updated in the gap is read at that time, not at the default date.
    const std::optional<googlecontactfeed::Page> page = googlecontactfeed::readFeed(
        "<feed><entry><id>g</id><updated>2026-03-29T02:30:00.000Z</updated></entry></feed>", {});
    ASSERT_TRUE(page.has_value());
    EXPECT_EQ(page->mostRecent, QDateTime(QDate(2026, 3, 29), QTime(2, 30), Qt::UTC));
}
