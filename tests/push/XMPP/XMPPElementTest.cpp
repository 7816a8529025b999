// The element helpers and the stanza views over real parsed elements.
#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/KeyedUnarchiver.h"
#include "push/XMPP/Core/XMPPIQ.h"
#include "push/XMPP/Core/XMPPMessage.h"
#include "push/XMPP/Core/XMPPPresence.h"
#include "push/XMPP/Utilities/NSNumber+XMPP.h"
#include "push/XMPP/Utilities/NSXMLElement+XMPP.h"

#include <gtest/gtest.h>

#include <limits>

using platform::NSXMLElement;

namespace {

std::shared_ptr<NSXMLElement> parsed(const char *xml)
{
    auto element = NSXMLElement::elementWithXMLString(QString::fromUtf8(xml));
    EXPECT_TRUE(element) << xml;
    return element ? element.value() : NSXMLElement::elementWithName(QStringLiteral("unparsed"));
}

template <typename Stanza> Stanza roundTrip(const Stanza &stanza)
{
    platform::KeyedArchiver archiver;
    archiver.encodeObject(stanza, QStringLiteral("root"));
    const auto data = archiver.finishEncoding();
    EXPECT_TRUE(data);
    auto decoded =
        platform::KeyedUnarchiver::unarchiveObject<Stanza>(data ? *data : QByteArray(), QStringLiteral("root"));
    EXPECT_TRUE(decoded);
    return decoded ? *decoded.value() : Stanza();
}

} // namespace

TEST(XMPPElementHelpers, ReadAttributesAsTheTypesAsk)
{
    const auto element = parsed("<e big='4294967296' neg='-2147483649' empty='' word='12abc' real=' -1.5e3x' "
                                "yes=' +007' no='0' huge='99999999999999999999' max='18446744073709551615'>"
                                "4294967296</e>");
    const NSXMLElement &e = *element;
    EXPECT_EQ(attributeInt32ValueForName(e, QStringLiteral("big")), std::numeric_limits<qint32>::max());
    EXPECT_EQ(stringValueAsInt32(e), 0);
    EXPECT_EQ(stringValueAsUInt32(e), 0u);
    EXPECT_EQ(stringValueAsInt64(e), 4294967296LL);
    EXPECT_EQ(attributeInt32ValueForName(e, QStringLiteral("neg")), std::numeric_limits<qint32>::min());
    EXPECT_EQ(attributeUInt32ValueForName(e, QStringLiteral("big")), std::numeric_limits<quint32>::max());
    EXPECT_EQ(attributeInt64ValueForName(e, QStringLiteral("huge")), std::numeric_limits<qint64>::max());
    EXPECT_EQ(attributeUInt64ValueForName(e, QStringLiteral("max")), std::numeric_limits<quint64>::max());
    EXPECT_EQ(attributeIntegerValueForName(e, QStringLiteral("word")), 12);
    EXPECT_EQ(attributeUnsignedIntegerValueForName(e, QStringLiteral("missing")), 0u);
    EXPECT_EQ(attributeIntValueForName(e, QStringLiteral("big")), std::numeric_limits<int>::max());
    EXPECT_EQ(attributeIntValueForName(e, QStringLiteral("empty"), 42), 0);
    EXPECT_EQ(attributeIntValueForName(e, QStringLiteral("missing"), 42), 42);
    EXPECT_EQ(attributeIntValueForName(e, QStringLiteral("word")), 12);
    EXPECT_DOUBLE_EQ(attributeDoubleValueForName(e, QStringLiteral("real")), -1500.0);
    EXPECT_FLOAT_EQ(attributeFloatValueForName(e, QStringLiteral("real")), -1500.0f);
    EXPECT_DOUBLE_EQ(attributeDoubleValueForName(e, QStringLiteral("missing"), 2.5), 2.5);
    EXPECT_DOUBLE_EQ(attributeDoubleValueForName(e, QStringLiteral("word")), 12.0);
    EXPECT_TRUE(attributeBoolValueForName(e, QStringLiteral("yes")));
    EXPECT_FALSE(attributeBoolValueForName(e, QStringLiteral("no"), true));
    EXPECT_TRUE(attributeBoolValueForName(e, QStringLiteral("missing"), true));
    EXPECT_EQ(attributeNumberInt32ValueForName(e, QStringLiteral("big")), QVariant::fromValue(qint32(2147483647)));
    EXPECT_EQ(attributeNumberBoolValueForName(e, QStringLiteral("yes")), QVariant(true));
    EXPECT_EQ(attributeStringValueForName(e, QStringLiteral("missing")), QString());
    EXPECT_TRUE(attributeStringValueForName(e, QStringLiteral("missing")).isNull());
    EXPECT_FALSE(attributeStringValueForName(e, QStringLiteral("empty")).isNull());
    EXPECT_EQ(attributeStringValueForName(e, QStringLiteral("missing"), QStringLiteral("d")), QStringLiteral("d"));
    EXPECT_EQ(attributesAsDictionary(e).value(QStringLiteral("word")), QVariant(QStringLiteral("12abc")));
    EXPECT_EQ(attributesAsDictionary(e).size(), 9);
}

TEST(XMPPElementHelpers, ParseNumbersAndBytesAsTheCLibraryDoes)
{
    struct Row
    {
        const char *text;
        qint32 value;
        bool ok;
    };
    const Row rows[] = {{"42", 42, true},
                        {"  -7", -7, true},
                        {"2147483647", 2147483647, true},
                        {"2147483648", 2147483647, false},
                        {"-2147483649", -2147483647 - 1, false},
                        {"", 0, true},
                        {"x", 0, true},
                        {"99999999999999999999", 2147483647, false}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.text);
        qint32 value = 1;
        EXPECT_EQ(parseStringIntoInt32(QString::fromLatin1(row.text), &value), row.ok);
        EXPECT_EQ(value, row.value);
    }
    qint32 value = 1;
    EXPECT_FALSE(parseStringIntoInt32(QString(), &value));
    EXPECT_EQ(value, 0);
    quint32 unsignedValue = 0;
    EXPECT_FALSE(parseStringIntoUInt32(QStringLiteral("-1"), &unsignedValue));
    EXPECT_EQ(unsignedValue, 4294967295u);
    quint64 wide = 0;
    EXPECT_FALSE(parseStringIntoUInt64(QStringLiteral("18446744073709551616"), &wide));

    const QByteArray bytes("\x01\x02\x03\x04\x05", 5);
    EXPECT_EQ(extractUInt16FromData(bytes, 0, true), 0x0102);
    EXPECT_EQ(extractUInt16FromData(bytes, 0, false), 0x0201);
    EXPECT_EQ(extractUInt16FromData(bytes.left(1), 0, true), 0);
    EXPECT_EQ(extractUInt32FromData(bytes, 1, true), 0x02030405u);
    EXPECT_EQ(extractUInt32FromData(bytes, 2, true), 0u);
    EXPECT_EQ(extractUInt8FromData(bytes, 4), 5);
    EXPECT_EQ(extractUInt8FromData(bytes, 5), 0);
    EXPECT_EQ(extractUInt32FromData(bytes, 0xFFFFFFFFu, false), 0u);
    int local = 0;
    EXPECT_EQ(numberWithPtr(&local).toLongLong(), qint64(reinterpret_cast<quintptr>(&local)));
}

TEST(XMPPElementHelpers, FindChildrenAndNamespaces)
{
    const auto element = parsed("<iq xmlns='jabber:client' xmlns:x='urn:x'><query xmlns='urn:q'/><x:item/>"
                                "<query xmlns='urn:other'>t</query>text<bind xmlns='urn:q'/></iq>");
    EXPECT_EQ(xmlns(*element), QStringLiteral("jabber:client"));
    EXPECT_EQ(namespaceStringValueForPrefix(*element, QStringLiteral("x")), QStringLiteral("urn:x"));
    EXPECT_EQ(namespaceStringValueForPrefix(*element, QStringLiteral("y"), QStringLiteral("d")), QStringLiteral("d"));
    EXPECT_EQ(compactXMLString(*elementForName(*element, QStringLiteral("query"), QStringLiteral("urn:other"))),
              QStringLiteral("<query xmlns=\"urn:other\">t</query>"));
    EXPECT_EQ(elementForName(*element, QStringLiteral("item"), QStringLiteral("urn:x"))->name(),
              QStringLiteral("x:item"));
    EXPECT_EQ(elementForName(*element, QStringLiteral("x:item"))->name(), QStringLiteral("x:item"));
    EXPECT_EQ(elementForName(*element, QStringLiteral("none")), nullptr);
    const auto inQ = elementsForXmlns(*element, QStringLiteral("urn:q"));
    ASSERT_EQ(inQ.size(), 2u);
    EXPECT_EQ(inQ[1]->name(), QStringLiteral("bind"));
    EXPECT_TRUE(elementsForXmlns(*element, QStringLiteral("urn:none")).empty());

    const auto made = elementWithName(QStringLiteral("presence"), QStringLiteral("jabber:client"));
    addAttributeWithName(*made, QStringLiteral("to"), QStringLiteral("a&b<\"c\">"));
    addNamespaceWithPrefix(*made, QStringLiteral("p"), QStringLiteral("urn:p"));
    made->addChild(NSXMLElement::elementWithName(QStringLiteral("status"), QStringLiteral("Out & about")));
    made->addChild(NSXMLElement::elementWithName(QStringLiteral("show")));
    EXPECT_EQ(compactXMLString(*made), QStringLiteral("<presence xmlns=\"jabber:client\" xmlns:p=\"urn:p\" "
                                                      "to=\"a&amp;b&lt;&quot;c&quot;&gt;\"><status>Out &amp; "
                                                      "about</status><show/></presence>"));
    EXPECT_EQ(prettyXMLString(*made), QStringLiteral("<presence xmlns=\"jabber:client\" xmlns:p=\"urn:p\" "
                                                     "to=\"a&amp;b&lt;&quot;c&quot;&gt;\">\n    <status>Out &amp; "
                                                     "about</status>\n    <show/>\n</presence>"));
}

TEST(XMPPStanzas, IqReadsItsTypeAndChildren)
{
    const XMPPIQ get = XMPPIQ::iqFromElement(parsed("<iq type='GET' id='1'><error/>text<query xmlns='q'/></iq>"));
    EXPECT_EQ(get.type(), QStringLiteral("get"));
    EXPECT_TRUE(get.isGetIQ() && get.requiresResponse() && !get.isSetIQ() && !get.isResultIQ());
    EXPECT_EQ(get.childElement()->name(), QStringLiteral("query"));
    EXPECT_EQ(get.childErrorElement()->name(), QStringLiteral("error"));
    EXPECT_EQ(get.elementID(), QStringLiteral("1"));

    const XMPPIQ onlyError = XMPPIQ::iqFromElement(parsed("<iq type='error'><ERROR code='5'/></iq>"));
    EXPECT_EQ(onlyError.childElement(), nullptr);
    EXPECT_TRUE(onlyError.isErrorIQ() && !onlyError.requiresResponse());
    EXPECT_EQ(onlyError.childErrorElement()->name(), QStringLiteral("ERROR"));
    EXPECT_TRUE(XMPPIQ().type().isNull());

    const auto to = XMPPJID::jidWithString(QStringLiteral("Server.Example/R"));
    const auto bind = NSXMLElement::elementWithName(QStringLiteral("bind"));
    EXPECT_EQ(compactXMLString(*XMPPIQ::iqWithType(QStringLiteral("set"), to, QStringLiteral("b1"), bind)),
              QStringLiteral("<iq type=\"set\" to=\"server.example/R\" id=\"b1\"><bind/></iq>"));
    EXPECT_EQ(compactXMLString(*XMPPIQ::iqWithType(QStringLiteral("get"), QStringLiteral("7"))),
              QStringLiteral("<iq type=\"get\" id=\"7\"/>"));
    EXPECT_EQ(compactXMLString(*XMPPIQ::iq()), QStringLiteral("<iq/>"));
    EXPECT_EQ(compactXMLString(*XMPPIQ::iqWithType(QStringLiteral("get"), bind->copyElement())),
              QStringLiteral("<iq type=\"get\"><bind/></iq>"));
}

TEST(XMPPStanzas, MessageAndPresenceReadTheirFields)
{
    const auto element = parsed("<message type='Chat'><body/></message>");
    const XMPPMessage message = XMPPMessage::messageFromElement(element);
    EXPECT_EQ(message.element().get(), element.get());
    EXPECT_FALSE(message.isChatMessage());
    EXPECT_TRUE(message.isMessageWithBody());
    EXPECT_TRUE(
        XMPPMessage::messageFromElement(parsed("<message type='chat'><body/></message>")).isChatMessageWithBody());
    EXPECT_FALSE(message.errorMessage());

    const auto error =
        XMPPMessage::messageFromElement(
            parsed("<message type='error'><error code='404' type='cancel'><item-not-found/></error></message>"))
            .errorMessage();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain(), QStringLiteral("urn:ietf:params:xml:ns:xmpp-stanzas"));
    EXPECT_EQ(error->code(), 404);
    EXPECT_EQ(error->localizedDescription(),
              QStringLiteral("<error code=\"404\" type=\"cancel\"><item-not-found/></error>"));
    const auto bare = XMPPMessage::messageFromElement(parsed("<message type='error'/>")).errorMessage();
    ASSERT_TRUE(bare);
    EXPECT_EQ(bare->code(), 0);
    EXPECT_TRUE(bare->userInfo().isEmpty());
    EXPECT_EQ(compactXMLString(
                  *XMPPMessage::messageWithType(QStringLiteral("chat"), XMPPJID::jidWithString(QStringLiteral("a@b")))),
              QStringLiteral("<message type=\"chat\" to=\"a@b\"/>"));

    const XMPPPresence presence = XMPPPresence::presenceFromElement(
        parsed("<presence from='a@b/c'><show>away</show><status>Lunch</status><priority> 5x</priority></presence>"));
    EXPECT_EQ(presence.type(), QStringLiteral("available"));
    EXPECT_EQ(presence.show(), QStringLiteral("away"));
    EXPECT_EQ(presence.status(), QStringLiteral("Lunch"));
    EXPECT_EQ(presence.priority(), 5);
    EXPECT_EQ(presence.intShow(), 2);
    EXPECT_EQ(presence.from()->full(), QStringLiteral("a@b/c"));
    const XMPPPresence unavailable = XMPPPresence::presenceFromElement(parsed("<presence type='UNAVAILABLE'/>"));
    EXPECT_EQ(unavailable.type(), QStringLiteral("unavailable"));
    EXPECT_EQ(unavailable.intShow(), 3);
    EXPECT_EQ(unavailable.priority(), 0);
    EXPECT_TRUE(unavailable.show().isNull());
    EXPECT_TRUE(XMPPPresence::presenceFromElement(parsed("<presence type='error'/>")).isErrorPresence());
    struct Row
    {
        const char *show;
        int value;
    };
    for (const Row &row : {Row{"dnd", 0}, Row{"xa", 1}, Row{"away", 2}, Row{"chat", 4}, Row{"DND", 3}}) {
        XMPPPresence shown;
        shown->addChild(NSXMLElement::elementWithName(QStringLiteral("show"), QString::fromLatin1(row.show)));
        EXPECT_EQ(shown.intShow(), row.value) << row.show;
    }
}

TEST(XMPPStanzas, CodingAndCopyingKeepClassAndText)
{
    const XMPPIQ iq =
        XMPPIQ::iqFromElement(parsed("<iq type='get' id='q&amp;1'>\n  <query xmlns='urn:q'>A &lt; B</query>\n</iq>"));
    const XMPPIQ decoded = roundTrip(iq);
    EXPECT_EQ(decoded.archiveClassName(), QStringLiteral("XMPPIQ"));
    EXPECT_EQ(compactXMLString(*decoded), compactXMLString(*iq));
    EXPECT_TRUE(decoded.isGetIQ());
    const XMPPMessage message = roundTrip(XMPPMessage::messageWithType(QStringLiteral("chat")));
    EXPECT_EQ(compactXMLString(*message), QStringLiteral("<message type=\"chat\"/>"));
    const XMPPPresence presence = roundTrip(XMPPPresence::presenceWithType(QStringLiteral("unavailable")));
    EXPECT_EQ(presence.type(), QStringLiteral("unavailable"));

    // An archive of one class does not decode as another.
    platform::KeyedArchiver archiver;
    archiver.encodeObject(iq, QStringLiteral("root"));
    const auto data = archiver.finishEncoding();
    ASSERT_TRUE(data);
    EXPECT_FALSE(platform::KeyedUnarchiver::unarchiveObject<XMPPMessage>(*data, QStringLiteral("root")));

    const XMPPIQ copied = iq.copy();
    EXPECT_NE(copied.element().get(), iq.element().get());
    copied->removeAttributeForName(QStringLiteral("id"));
    EXPECT_EQ(iq.elementID(), QStringLiteral("q&1"));
    EXPECT_TRUE(copied.elementID().isNull());
}
