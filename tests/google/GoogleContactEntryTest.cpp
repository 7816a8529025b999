// The contact texts of a Google run, written by hand: the entries sent for contacts and groups, and a
// feed read into records.
#include "google/GoogleContactEntry.h"
#include "google/GoogleContactFeed.h"
#include "google/HMGoogleSyncDriver.h"
#include "google/XMLDictionaryParser.h"

#include <QTimeZone>

#include <gtest/gtest.h>

namespace {

const QString kHead = QStringLiteral(
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<atom:entry xmlns:atom=\"http://www.w3.org/2005/Atom\"\n"
    "xmlns:gd=\"http://schemas.google.com/g/2005\" xmlns:gContact='http://schemas.google.com/contact/2008'>\n"
    "<atom:category scheme=\"http://schemas.google.com/g/2005#kind\"\n"
    "term=\"http://schemas.google.com/contact/2008#contact\"/>\n");

const QString kNoEmails = QStringLiteral("<gd:email rel=\"http://schemas.google.com/g/2005#work\"\n"
                                         "primary=\"true\"\n"
                                         "address=\"\"/>\n"
                                         "<gd:email rel=\"http://schemas.google.com/g/2005#home\"\n"
                                         "address=\"\"/>\n"
                                         "<gd:email rel=\"http://schemas.google.com/g/2005#other\"\n"
                                         "address=\"\"/>\n");

const QString kMyContacts = QStringLiteral(
    "<gContact:groupMembershipInfo deleted='false' href=\"http://www.google.com/m8/feeds/groups/me@example.com/base/6\"/>\n");

QString entry(const QVariantMap &record, const QMap<QString, QString> &groups = {})
{
    return QString::fromUtf8(googlecontactentry::contactEntry(record, groups, QStringLiteral("me@example.com")));
}

googlecontactfeed::Page readPage(const QByteArray &text, const googlecontactfeed::Context &context)
{
    const std::optional<googlecontactfeed::Page> page = googlecontactfeed::readFeed(text, context);
    EXPECT_TRUE(page.has_value());
    return page.value_or(googlecontactfeed::Page());
}

} // namespace

TEST(GoogleContactEntry, EntriesAreWrittenPieceByPiece)
{
    // No names at all: five empty name elements and a full name of one blank; no address, no phone.
    EXPECT_EQ(entry({}), kHead + QStringLiteral("<gd:name>\n<gd:givenName></gd:givenName>\n<gd:familyName></gd:familyName>\n"
                                                "<gd:additionalName></gd:additionalName>\n<gd:namePrefix></gd:namePrefix>\n"
                                                "<gd:nameSuffix></gd:nameSuffix>\n<gd:fullName> </gd:fullName>\n</gd:name>\n"
                                                "<atom:content type=\"text\"></atom:content>\n") +
                             kNoEmails + kMyContacts + QStringLiteral("</atom:entry>"));

    // Each special character escaped once; a note cannot end the entry.
    const QString note = entry({{"NOTE", "a & b < c </atom:entry> \"q\""}});
    EXPECT_TRUE(note.contains("<atom:content type=\"text\">a &amp; b &lt; c &lt;/atom:entry&gt; &quot;q&quot;</atom:content>\n"))
        << note.toStdString();

    // Texts beyond ASCII go in as UTF-8, a character outside the basic plane whole, escapes beside them.
    const QByteArray wide = googlecontactentry::contactEntry({{"NOTE", QString::fromUtf8("n\u00e9&\U0001F600<\u00e9")}}, {},
                                                             QStringLiteral("me@example.com"));
    EXPECT_TRUE(wide.contains("<atom:content type=\"text\">n\xc3\xa9&amp;\xf0\x9f\x98\x80&lt;\xc3\xa9</atom:content>\n"))
        << wide.toStdString();

    // Names: the full name from prefix, given, middle, family and suffix, double blanks made one.
    const QString names = entry({{"SALUTATION", "Dr."}, {"NEWFNAME", "Ann"}, {"NEWLNAME", "Lee"}, {"SUFFIX", "Jr."}});
    EXPECT_TRUE(names.contains("<gd:fullName>Dr. Ann Lee Jr.</gd:fullName>\n")) << names.toStdString();

    // A phone past label slot 10 is found; a phone labelled "7" only is an "other" one.
    const QString phone12 = entry({{"PHONE12", "555 12"}, {"PHONELABEL12", "3"}, {"PHONE2", "777"}, {"PHONELABEL2", "7"}});
    EXPECT_TRUE(phone12.contains(kNoEmails + "<gd:phoneNumber rel=\"http://schemas.google.com/g/2005#work\">\n555 12\n"
                                             "</gd:phoneNumber>\n<gd:phoneNumber rel=\"http://schemas.google.com/g/2005#other\">\n"
                                             "777\n</gd:phoneNumber>\n" + kMyContacts))
        << phone12.toStdString();
    EXPECT_EQ(googlecontactentry::phoneNumberForLabel("WORKPHONE", {{"PHONE12", "5"}, {"PHONELABEL12", "3"}}), "5");
    EXPECT_TRUE(googlecontactentry::phoneNumberForLabel("WORKPHONE", {{"PHONELABEL3", "3"}}).isNull());
    EXPECT_TRUE(googlecontactentry::phoneNumberForLabel("SPOUSE", {{"PHONE1", "5"}, {"PHONELABEL1", "3"}}).isNull());

    // Organization, both addresses, the known categories, the birthday.
    const QMap<QString, QString> groups{{"http://www.google.com/m8/feeds/groups/me@example.com/base/77", "Work"},
                                        {"http://www.google.com/m8/feeds/groups/me@example.com/base/a&b", "Friends"}};
    const QVariantMap full{{"COMPANY", "A & Co"},       {"PROFESSION", "Boss"},     {"ADDRESS1", "1 Main St"},
                           {"ADDRESS2", "Floor 2"},     {"CITY", "Springfield"},   {"STATE", "IL"},
                           {"ZIP", "62701"},            {"COUNTRY", "USA"},         {"HOMEADDR1", "\n9 Elm\n"},
                           {"HOMECITY", "東京"},        {"NSARRAYCATEGORIES", QStringList{"Work", "Friends", "None"}},
                           {"NSDATEBIRTHDAY", QDateTime(QDate(1980, 2, 29), QTime(0, 0), QTimeZone::systemTimeZone())}};
    EXPECT_EQ(entry(full, groups).mid(entry({}).indexOf("<gd:email")),
              kNoEmails +
                  "<gd:organization rel=\"http://schemas.google.com/g/2005#other\">\n<gd:orgName>A &amp; Co</gd:orgName>\n"
                  "<gd:orgTitle>Boss</gd:orgTitle>\n</gd:organization>"
                  "<gd:structuredPostalAddress\nrel=\"http://schemas.google.com/g/2005#work\">\n<gd:city>Springfield</gd:city>\n"
                  "<gd:street>1 Main St\nFloor 2</gd:street>\n<gd:region>IL</gd:region>\n<gd:postcode>62701</gd:postcode>\n"
                  "<gd:country>USA</gd:country>\n<gd:formattedAddress>1 Main St Floor 2\r Springfield, IL 62701\r USA"
                  "</gd:formattedAddress>\n</gd:structuredPostalAddress>\n"
                  "<gd:structuredPostalAddress\nrel=\"http://schemas.google.com/g/2005#home\">\n<gd:city>東京</gd:city>\n"
                  "<gd:street>9 Elm</gd:street>\n<gd:region></gd:region>\n<gd:postcode></gd:postcode>\n"
                  "<gd:country></gd:country>\n<gd:formattedAddress>9 Elm\r 東京,  \r</gd:formattedAddress>\n"
                  "</gd:structuredPostalAddress>\n" +
                  kMyContacts +
                  "<gContact:groupMembershipInfo deleted='false' href=\"http://www.google.com/m8/feeds/groups/me@example.com/base/77\"/>\n"
                  "<gContact:groupMembershipInfo deleted='false' href=\"http://www.google.com/m8/feeds/groups/me@example.com/base/a&amp;b\"/>\n"
                  "<gContact:birthday when='1980-02-29'/>\n</atom:entry>");

    // An address of blanks, commas and line ends only is left out; a country alone makes one.
    const QString blankAddress = entry({{"ADDRESS1", "\n , \n"}, {"CITY", " "}, {"HOMEZIP", ","}, {"HOMECNTRY", ""}});
    EXPECT_FALSE(blankAddress.contains("structuredPostalAddress")) << blankAddress.toStdString();
    EXPECT_TRUE(entry({{"COUNTRY", "Peru"}})
                    .contains("<gd:structuredPostalAddress\nrel=\"http://schemas.google.com/g/2005#work\">\n<gd:city></gd:city>\n"
                              "<gd:street></gd:street>\n<gd:region></gd:region>\n<gd:postcode></gd:postcode>\n"
                              "<gd:country>Peru</gd:country>\n<gd:formattedAddress>\r ,  \r Peru</gd:formattedAddress>\n"
                              "</gd:structuredPostalAddress>\n"));

    // The group entry: five lines, CR LF between them.
    EXPECT_EQ(googlecontactentry::groupEntry("Kids & <Pets>"),
              "<atom:entry xmlns:atom='http://www.w3.org/2005/Atom' xmlns:gd='http://schemas.google.com/g/2005'>\r\n"
              "  <atom:category scheme='http://schemas.google.com/g/2005#kind'\r\n"
              "    term='http://schemas.google.com/contact/2008#group'/>\r\n"
              "  <atom:title type='text'>Kids &amp; &lt;Pets&gt;</atom:title>\r\n"
              "</atom:entry>");
    EXPECT_EQ(googlecontactentry::convertDictionaryToXML({{"a", "x&y"}, {"b", QVariantMap{{"c", "1"}}}}, "root"),
              "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<root>\n<a>x&amp;y</a>\n<b>\n<c>1</c>\n</b>\n</root>\n");
}

TEST(GoogleContactEntry, ACorrectedStringUndoesCalendarEscapes)
{
    EXPECT_EQ(HMGoogleSyncDriver::correctedString(QStringLiteral("Lunch\\, then\\; coffee\\n")), "Lunch, then; coffee");
    EXPECT_EQ(HMGoogleSyncDriver::correctedString(QStringLiteral("a\\nb<br>c\\\\d")), "a\r\nb\r\nc\\d");
    EXPECT_EQ(HMGoogleSyncDriver::correctedString(42), "");
    EXPECT_EQ(HMGoogleSyncDriver::getSubstringFromXML("<a><id>x</id></a>", "id"), "x");
    EXPECT_EQ(HMGoogleSyncDriver::getSubstringFromXML("<id>x", "id"), "");
}

TEST(GoogleContactFeed, AHandWrittenFeedIsReadIntoItsRecords)
{
    const QByteArray feed = R"(<?xml version='1.0' encoding='UTF-8'?>
<feed xmlns='http://www.w3.org/2005/Atom' xmlns:gd='http://schemas.google.com/g/2005' xmlns:gContact='http://schemas.google.com/contact/2008'>
<entry><id>http://www.google.com/m8/feeds/contacts/me%40example.com/base/a1</id><updated>2026-12-01T10:00:00.123Z</updated>
<link rel='http://schemas.google.com/contacts/2008/rel#photo' type='image/*' href='x' gd:etag='"e1"'/>
<gd:name><gd:givenName>Ann</gd:givenName><gd:familyName>Lee</gd:familyName></gd:name>
<content type='text'>Line one
&amp; two</content>
<gd:email rel='http://schemas.google.com/g/2005#work' address='first@w.com'/>
<gd:email rel='http://schemas.google.com/g/2005#work' address='primary@w.com' primary='true'/>
<gd:email rel='http://schemas.google.com/g/2005#home' address='h@h.com'/>
<gd:email address='norel@x.com'/>
<gd:phoneNumber rel='http://schemas.google.com/g/2005#home'>111</gd:phoneNumber>
<gd:phoneNumber rel='http://schemas.google.com/g/2005#home'>222</gd:phoneNumber>
<gd:phoneNumber rel='http://schemas.google.com/g/2005#work_fax'>333</gd:phoneNumber>
<gd:structuredPostalAddress rel='http://schemas.google.com/g/2005#other'><gd:street>1 A St

Apt 2</gd:street><gd:city>Oslo</gd:city><gd:country code='NO'>Norway</gd:country></gd:structuredPostalAddress>
<gd:organization rel='http://schemas.google.com/g/2005#other'><gd:orgName>Acme</gd:orgName><gd:orgTitle>CEO</gd:orgTitle></gd:organization>
<gContact:birthday when='1970-05-06'/>
<gContact:relation rel='child'>Kim</gContact:relation><gContact:relation rel='child'>Lou</gContact:relation>
<gContact:groupMembershipInfo deleted='false' href='http://www.google.com/m8/feeds/groups/me%40example.com/base/6'/>
<gContact:groupMembershipInfo deleted='false' href='G1'/>
<gContact:groupMembershipInfo deleted='false' href='G2'/>
</entry>
<entry><id>http://x/base/gone</id><updated>2026-12-01T11:00:00.000Z</updated>
<gContact:groupMembershipInfo deleted='true' href='http://www.google.com/m8/feeds/groups/me%40example.com/base/6'/></entry>
<entry><id>http://x/base/other</id><updated>2026-12-01T09:00:00.000Z</updated><title>Other contact</title></entry>
<entry><id>http://x/base/old</id><updated>2026-11-01T09:00:00.000Z</updated>
<gContact:groupMembershipInfo deleted='false' href='G1'/></entry>
</feed>)";
    googlecontactfeed::Context context;
    context.groups = {{"G1", "Work"}, {"G2", "Friends"}};
    context.comparisonDate = QDateTime(QDate(2026, 11, 1), QTime(9, 0), Qt::UTC);
    const googlecontactfeed::Page page = readPage(feed, context);
    ASSERT_EQ(page.records.size(), 1);
    const QVariantMap expected{{"UID", "http://www.google.com/m8/feeds/contacts/me%40example.com/base/a1"},
                               {"LASTMODIFIED", "2026-12-01T10:00:00.123Z"},
                               {"NEWFNAME", "Ann"},
                               {"NEWLNAME", "Lee"},
                               {"NOTE", "Line one\n& two"},
                               {"EMAIL", "primary@w.com"},
                               {"EMAIL2", "h@h.com"},
                               {"HOMEPHONE", "111"},
                               {"WORKFAX", "333"},
                               {"ADDRESS1", "1 A St"},
                               {"ADDRESS2", "Apt 2"},
                               {"CITY", "Oslo"},
                               {"COUNTRY", "Norway"},
                               {"COMPANY", "Acme"},
                               {"TITLE", "CEO"},
                               {"CHILDREN", "Kim, Lou"},
                               {"NSDATEBIRTHDAY", QDateTime(QDate(1970, 5, 6), QTime(0, 0), QTimeZone::systemTimeZone())},
                               {"CATEGORY", "Work\tFriends"}};
    EXPECT_EQ(page.records.first(), expected);
    EXPECT_EQ(page.deletions, QStringList{"http://x/base/gone"});
    // The other contact is no record, but it was read as changed.
    EXPECT_EQ(page.changedIds, QStringList({"http://www.google.com/m8/feeds/contacts/me%40example.com/base/a1", "http://x/base/other"}));
    EXPECT_EQ(page.photoIds, QStringList{"http://www.google.com/m8/feeds/contacts/me%40example.com/base/a1"});
    EXPECT_EQ(page.mostRecent, QDateTime(QDate(2026, 12, 1), QTime(11, 0), Qt::UTC));
    EXPECT_EQ(page.entryCount, 4);

    // Deletions only when allowed; our own write coming back is passed over; a lone entry is one entry.
    context.allowDeletesFromGoogle = false;
    context.ownWrites.insert("http://www.google.com/m8/feeds/contacts/me%40example.com/base/a1", "2026-12-01T10:00:00.123Z");
    const googlecontactfeed::Page second = readPage(feed, context);
    EXPECT_TRUE(second.deletions.isEmpty());
    EXPECT_TRUE(second.records.isEmpty());
    EXPECT_EQ(second.ownWritesSeen.size(), 1);
    const googlecontactfeed::Page lone = readPage(
        QByteArray("<feed><entry><id>i</id><updated>2026-12-02T00:00:00.000Z</updated><gd:phoneNumber rel='x#home'>9</gd:phoneNumber>"
               "<gContact:groupMembershipInfo deleted='false' href='h/base/6'/></entry></feed>"),
        {});
    ASSERT_EQ(lone.records.size(), 1);
    EXPECT_EQ(lone.records.first().value("HOMEPHONE"), "9");
    EXPECT_EQ(lone.records.first().value("CATEGORY"), "");
    // A deleted entry marked the other way a server may mark it.
    const googlecontactfeed::Page marked = readPage(
        QByteArray("<feed><entry><id>d</id><updated>2026-12-02T00:00:00.000Z</updated><gd:deleted/></entry></feed>"), {});
    EXPECT_EQ(marked.deletions, QStringList{"d"});
    EXPECT_TRUE(marked.records.isEmpty());
}
