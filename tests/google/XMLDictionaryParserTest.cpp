// The XML dictionary form of the contacts replies, and the bounds on what the parser accepts.
#include "google/XMLDictionaryParser.h"

#include <QFile>
#include <QJsonDocument>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/resource.h>

namespace {

QVariantMap parse(const QString &text)
{
    XMLDictionaryParser parser;
    return parser.dictionaryWithString(text).value_or(QVariantMap());
}

long peakKilobytes()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

} // namespace

TEST(XMLDictionaryParser, ReadsAContactsEntryAsTheGoogleCodeExpects)
{
    const QVariantMap entry = parse(QStringLiteral(
        "<?xml version='1.0' encoding='UTF-8'?>\n"
        "<entry xmlns='http://www.w3.org/2005/Atom' xmlns:gd='http://schemas.google.com/g/2005' gd:etag='&quot;Qn0\"'>\n"
        "  <id>7</id>\n"
        "  <gd:email rel='http://schemas.google.com/g/2005#work' address='a@x.com' primary='true'/>\n"
        "  <gd:email rel='http://schemas.google.com/g/2005#home' address='b@x.com'/>\n"
        "  <title>Ann &amp; Bob</title>\n"
        "  <content type='text'>Note</content>\n"
        "  <empty>   </empty><nothing/>\n"
        "  <mixed>one <b>bold</b> two</mixed>\n"
        "</entry>"));
    EXPECT_EQ(entry.value("__name").toString(), "entry");
    EXPECT_EQ(entry.value("_gd:etag").toString(), "\"Qn0\"");
    EXPECT_EQ(entry.value("_xmlns:gd").toString(), "http://schemas.google.com/g/2005");
    EXPECT_EQ(entry.value("id").toString(), "7");
    const QVariantList emails = entry.value("gd:email").toList();
    ASSERT_EQ(emails.size(), 2);
    EXPECT_EQ(emails.at(0).toMap().value("_address").toString(), "a@x.com");
    EXPECT_EQ(emails.at(0).toMap().value("_primary").toString(), "true");
    EXPECT_FALSE(emails.at(0).toMap().contains("__name"));
    EXPECT_EQ(entry.value("title").toString(), "Ann & Bob");
    const QVariantMap content = entry.value("content").toMap();
    EXPECT_EQ(content.value("__text").toString(), "Note");
    EXPECT_EQ(content.value("_type").toString(), "text");
    EXPECT_FALSE(entry.contains("empty"));
    EXPECT_FALSE(entry.contains("nothing"));
    const QVariantMap mixed = entry.value("mixed").toMap();
    EXPECT_EQ(mixed.value("__text").toStringList(), QStringList({"one", "two"}));
    EXPECT_EQ(mixed.value("b").toString(), "bold");
    EXPECT_EQ(xmldictionary::innerText(mixed), "one\ntwo");
    EXPECT_EQ(xmldictionary::attributes(content)->value("type").toString(), "text");
    EXPECT_EQ(xmldictionary::childNodes(entry)->keys(),
              QStringList({"content", "gd:email", "id", "mixed", "title"}));
    EXPECT_EQ(xmldictionary::stringValueForKeyPath(entry, "gd:email"), QString());
    EXPECT_EQ(xmldictionary::arrayValueForKeyPath(entry, "id")->size(), 1);
    EXPECT_EQ(xmldictionary::dictionaryValueForKeyPath(entry, "title")->value("__text").toString(), "Ann & Bob");
}

TEST(XMLDictionaryParser, OptionsChangeTheFormAsDocumented)
{
    const QString text = QStringLiteral("<feed a='1'><!-- c1 --><entry><id>1</id></entry><blank/></feed>");
    XMLDictionaryParser parser;
    parser.setAlwaysUseArrays(true);
    parser.setPreserveComments(true);
    parser.setNodeNameMode(1);
    parser.setAttributesMode(1);
    const QVariantMap feed = parser.dictionaryWithString(text).value();
    EXPECT_EQ(feed.value("__comments").toStringList(), QStringList({" c1 "}));
    EXPECT_EQ(feed.value("__attributes").toMap().value("a").toString(), "1");
    EXPECT_EQ(feed.value("entry").toList().size(), 1);
    EXPECT_EQ(feed.value("entry").toList().at(0).toMap().value("__name").toString(), "entry");

    XMLDictionaryParser wrapping;
    wrapping.setWrapRootNode(true);
    wrapping.setCollapseTextNodes(false);
    wrapping.setStripEmptyNodes(false);
    wrapping.setAttributesMode(7);
    const QVariantMap wrapped = wrapping.dictionaryWithString(text).value();
    const QVariantMap inner = wrapped.value("feed").toMap();
    EXPECT_FALSE(inner.contains("_a"));
    EXPECT_EQ(inner.value("blank").toMap().value("__text").toString(), "");
    EXPECT_EQ(inner.value("entry").toMap().value("id").toMap().value("__text").toString(), "1");

    XMLDictionaryParser plain;
    plain.setAttributesMode(2);
    plain.setTrimWhiteSpace(false);
    const QVariantMap spaced = plain.dictionaryWithString("<r k='v'><t> x </t></r>").value();
    EXPECT_EQ(spaced.value("k").toString(), "v");
    EXPECT_EQ(spaced.value("t").toString(), " x ");
}

TEST(XMLDictionaryParser, KeepsWhatWasReadBeforeABreakAndRefusesNothingElse)
{
    XMLDictionaryParser parser;
    const std::optional<QVariantMap> cut = parser.dictionaryWithString("<feed><entry><id>1</id></entry><entr");
    ASSERT_TRUE(cut.has_value());
    EXPECT_EQ(cut->value("entry").toMap().value("id").toString(), "1");
    EXPECT_FALSE(parser.lastError().isEmpty());
    EXPECT_FALSE(parser.dictionaryWithString(QString()).has_value());
    EXPECT_FALSE(parser.dictionaryWithString("no xml at all").has_value());
    EXPECT_FALSE(parser.dictionaryWithFile("/nonexistent/feed.xml").has_value());
    // CDATA is text; an undeclared entity stops the parse where it stands.
    EXPECT_EQ(parse("<r><t><![CDATA[<a&b>]]></t></r>").value("t").toString(), "<a&b>");
    const QVariantMap bogus = parse("<r><t>x</t><u>&bogus;</u></r>");
    EXPECT_EQ(bogus.value("t").toString(), "x");
    EXPECT_EQ(bogus.value("u").toString(), "") << QJsonDocument::fromVariant(bogus).toJson().toStdString();
}

TEST(XMLDictionaryParser, RefusesEntityBombsDeepNestingAndHugeDocumentsWithBoundedMemory)
{
    const long before = peakKilobytes();
    XMLDictionaryParser parser;
    QString laughs = QStringLiteral("<?xml version='1.0'?>\n<!DOCTYPE lolz [\n<!ENTITY lol 'lol'>\n");
    for (int level = 1; level <= 9; ++level) {
        const QString reference = level == 1 ? QStringLiteral("&lol;") : QStringLiteral("&lol%1;").arg(level - 1);
        laughs += QStringLiteral("<!ENTITY lol%1 '%2'>\n").arg(level).arg(reference.repeated(10));
    }
    laughs += QStringLiteral("]>\n<lolz>&lol9;</lolz>");
    EXPECT_FALSE(parser.dictionaryWithString(laughs).has_value());
    EXPECT_TRUE(parser.lastError().contains("declaration")) << parser.lastError().toStdString();

    const QByteArray deep = QByteArray("<a>").repeated(10000) + QByteArray("</a>").repeated(10000);
    EXPECT_FALSE(parser.dictionaryWithData(deep).has_value());
    EXPECT_TRUE(parser.lastError().contains("deeper")) << parser.lastError().toStdString();

    QTemporaryDir folder;
    QFile huge(folder.filePath("huge.xml"));
    ASSERT_TRUE(huge.open(QIODevice::WriteOnly));
    huge.write("<r>");
    const QByteArray block(1024 * 1024, 'x');
    for (int megabyte = 0; megabyte < 100; ++megabyte)
        huge.write(block);
    huge.write("</r>");
    huge.close();
    EXPECT_FALSE(parser.dictionaryWithFile(huge.fileName()).has_value());
    EXPECT_TRUE(parser.lastError().contains("larger")) << parser.lastError().toStdString();
    // The file was read only up to the bound, and nothing grew beyond a few copies of it.
    EXPECT_LT(peakKilobytes() - before, 200 * 1024);
}

TEST(XMLDictionaryParser, WritesADictionaryBackAsXML)
{
    const QVariantMap node = parse("<entry k='a&amp;b'><id>7</id><t>x &lt; y</t></entry>");
    const QString xml = xmldictionary::XMLString(node);
    EXPECT_EQ(xml, "<entry k=\"a&amp;b\"><id>7</id>\n<t>x &lt; y</t></entry>");
    EXPECT_EQ(parse(xml), node);
    EXPECT_EQ(xmldictionary::XMLEncodedString("&<>\"'"), "&amp;&lt;&gt;&quot;&apos;");
    EXPECT_EQ(XMLDictionaryParser::XMLStringForNode(QVariantList{1, 2}, "n"), "<n>1</n>\n<n>2</n>");
    EXPECT_EQ(xmldictionary::dictionaryWithXMLString("<a><b>1</b></a>")->value("b").toString(), "1");
}
