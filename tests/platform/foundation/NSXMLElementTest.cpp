// The XML tree: building, output byte for byte, parsing texts, copying and detaching.
#include "platform/foundation/NSXMLElement.h"
#include "platform/foundation/NSXMLNodeArena.h"

#include <gtest/gtest.h>

#include <array>
#include <thread>
#include <vector>

using platform::NSXMLElement;
using platform::NSXMLNode;
using platform::NSXMLNodeKind;

namespace {

QString compact(const NSXMLNode &node)
{
    return node.XMLStringWithOptions(platform::NSXMLNodeCompactEmptyElement);
}

} // namespace

TEST(NSXMLElement, WritesAttributesNamespacesAndTextsEscaped)
{
    const auto element = NSXMLElement::elementWithName(QStringLiteral("stream:error"));
    element->addNamespace(NSXMLNode::namespaceWithName(QStringLiteral("stream"), QStringLiteral("urn:s")));
    element->addNamespace(NSXMLNode::namespaceWithName(QString(), QStringLiteral("urn:d")));
    element->addAttribute(NSXMLNode::attributeWithName(QStringLiteral("b"), QStringLiteral("1\t2\n3\r\"&<>'")));
    element->addAttribute(NSXMLNode::attributeWithName(QStringLiteral("a"), QStringLiteral("x")));
    element->addAttribute(NSXMLNode::attributeWithName(QStringLiteral("b"), QStringLiteral("replaced")));
    element->addChild(NSXMLNode::textWithStringValue(QStringLiteral("a<b & c>d\r\n\"'") + QChar(0x1) + QChar(0xD800)));
    element->addChild(NSXMLElement::elementWithName(QStringLiteral("empty")));
    EXPECT_EQ(element->XMLString(),
              QStringLiteral("<stream:error xmlns:stream=\"urn:s\" xmlns=\"urn:d\" b=\"replaced\" a=\"x\">a&lt;b &amp; "
                             "c&gt;d&#xD;\n\"'\uFFFD\uFFFD<empty></empty></stream:error>"));
    element->attributeForName(QStringLiteral("b"))->setStringValue(QStringLiteral("1\t2\n3\r\"&<>'"));
    EXPECT_EQ(compact(*element->attributeForName(QStringLiteral("b"))),
              QStringLiteral("b=\"1&#x9;2&#xA;3&#xD;&quot;&amp;&lt;&gt;'\""));
    // What is written reads back as the same tree.
    const auto reread = NSXMLElement::elementWithXMLString(compact(*element));
    ASSERT_TRUE(reread) << reread.error().message().toStdString();
    EXPECT_EQ(compact(*reread.value()), compact(*element));
    EXPECT_EQ(reread.value()->attributeForName(QStringLiteral("b"))->stringValue(), QStringLiteral("1\t2\n3\r\"&<>'"));
    EXPECT_EQ(reread.value()->URI(), QStringLiteral("urn:s"));
}

TEST(NSXMLElement, PrettyPrintsChildElementsOnTheirOwnLines)
{
    const auto parsed = NSXMLElement::elementWithXMLString(
        QStringLiteral("<iq type='get'>\n <query xmlns='q'><item a='1'/><item>text</item></query> </iq>"));
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed.value()->XMLStringWithOptions(platform::NSXMLNodePrettyPrint | platform::NSXMLNodeCompactEmptyElement),
              QStringLiteral("<iq type=\"get\">\n    <query xmlns=\"q\">\n        <item a=\"1\"/>\n        "
                             "<item>text</item>\n    </query>\n</iq>"));
    // Compact output keeps the white space it read.
    EXPECT_EQ(compact(*parsed.value()),
              QStringLiteral("<iq type=\"get\">\n <query xmlns=\"q\"><item a=\"1\"/><item>text</item></query> </iq>"));
}

TEST(NSXMLElement, ParsesTextsAndRefusesDeclarations)
{
    const auto parsed = NSXMLElement::elementWithXMLString(
        QStringLiteral("<?xml version='1.0' encoding='ISO-8859-1'?><!-- note --><a x='&amp;&#65;&lt;'>1<![CDATA[<2>]]>"
                       "&#x263A;<b>3</b>4</a>"));
    ASSERT_TRUE(parsed) << parsed.error().message().toStdString();
    const NSXMLElement &a = *parsed.value();
    EXPECT_EQ(a.attributeForName(QStringLiteral("x"))->stringValue(), QStringLiteral("&A<"));
    EXPECT_EQ(a.stringValue(), QStringLiteral("1<2>\u263A34"));
    ASSERT_EQ(a.childCount(), 3);
    EXPECT_EQ(a.childAtIndex(0)->kind(), NSXMLNodeKind::Text);
    EXPECT_EQ(a.elementsForName(QStringLiteral("b")).size(), 1u);

    struct Row
    {
        const char *name;
        const char *text;
    };
    const Row refused[] = {
        {"document type", "<!DOCTYPE a [<!ENTITY e 'x'>]><a>&e;</a>"},
        {"external document type", "<!DOCTYPE a SYSTEM 'file:///etc/passwd'><a/>"},
        {"instruction", "<a><?php echo 1 ?></a>"},
        {"undeclared entity", "<a>&e;</a>"},
        {"two roots", "<a/><b/>"},
        {"no element", "  "},
        {"unclosed", "<a><b></a>"},
        {"too deep", nullptr},
    };
    for (const Row &row : refused) {
        SCOPED_TRACE(row.name);
        const QString text = row.text != nullptr ? QString::fromLatin1(row.text)
                                                 : QStringLiteral("<a>").repeated(100000) + QStringLiteral("</a>").repeated(100000);
        const auto result = NSXMLElement::elementWithXMLString(text);
        ASSERT_FALSE(result);
        EXPECT_FALSE(result.error().message().isEmpty());
    }
}

TEST(NSXMLElement, CopiesDeeplyAndDetachesNodes)
{
    const auto parsed = NSXMLElement::elementWithXMLString(QStringLiteral("<a xmlns:p='u' k='v'><b>t</b>tail</a>"));
    ASSERT_TRUE(parsed);
    const auto original = parsed.value();
    const auto copied = original->copyElement();
    EXPECT_EQ(compact(*copied), compact(*original));
    EXPECT_EQ(copied->parent(), nullptr);
    const auto b = original->elementsForName(QStringLiteral("b")).front();
    EXPECT_EQ(b->parent(), original.get());
    b->detach();
    EXPECT_EQ(b->parent(), nullptr);
    EXPECT_EQ(compact(*original), QStringLiteral("<a xmlns:p=\"u\" k=\"v\">tail</a>"));
    EXPECT_EQ(compact(*copied), QStringLiteral("<a xmlns:p=\"u\" k=\"v\"><b>t</b>tail</a>"));
    // A node held elsewhere moves when added to another element, and an element cannot hold itself.
    copied->addChild(b);
    EXPECT_EQ(b->parent(), copied.get());
    b->addChild(copied);
    EXPECT_EQ(copied->parent(), nullptr);
    // Nodes held only by their element go when detached through a plain pointer, each from its list.
    original->attributeForName(QStringLiteral("k"))->detach();
    EXPECT_TRUE(original->attributes().empty());
    original->namespaceForPrefix(QStringLiteral("p"))->detach();
    EXPECT_TRUE(original->namespaces().empty());
    original->addChild(NSXMLNode::textWithStringValue(QStringLiteral("more")));
    original->childAtIndex(0)->detach();
    EXPECT_EQ(compact(*original), QStringLiteral("<a>more</a>"));
    original->addNamespace(NSXMLNode::namespaceWithName(QStringLiteral("p"), QStringLiteral("u")));
    original->setStringValue(QStringLiteral("new"));
    EXPECT_EQ(compact(*original), QStringLiteral("<a xmlns:p=\"u\">new</a>"));
    original->setStringValue(QString());
    EXPECT_EQ(original->childCount(), 0);
    EXPECT_FALSE(original->stringValue().isNull());
}

TEST(NSXMLElement, LetsGoOfADeepTreeWithoutRecursion)
{
    // Built from the bottom up, so each new parent has no ancestors to check.
    auto root = NSXMLElement::elementWithName(QStringLiteral("c"), QStringLiteral("bottom"));
    for (int level = 0; level < 200000; ++level) {
        auto parent = NSXMLElement::elementWithName(QStringLiteral("c"));
        parent->addChild(root);
        root = parent;
    }
    EXPECT_EQ(root->stringValue(), QStringLiteral("bottom"));
    root.reset();
}

TEST(NSXMLElement, KeepsAttributesAndNamespacesWithoutNodesUntilOneIsAskedFor)
{
    const auto element = NSXMLElement::elementWithName(QStringLiteral("p:item"));
    element->reserveAttributesAndNamespaces(4);
    element->addAttributeWithName(QStringLiteral("b"), QStringLiteral("1"));
    element->addNamespaceWithPrefix(QStringLiteral("p"), QStringLiteral("urn:p"));
    element->addAttributeWithName(QStringLiteral("a"), QStringLiteral("\u00e9&\""));
    element->addNamespaceWithPrefix(QString(), QStringLiteral("urn:d"));
    element->addAttributeWithName(QStringLiteral("b"), QStringLiteral("2")); // replaces in place
    const auto child = NSXMLElement::elementWithName(QStringLiteral("p:c"));
    element->addChild(child);
    const QString written = QStringLiteral("<p:item xmlns:p=\"urn:p\" xmlns=\"urn:d\" b=\"2\" a=\"\u00e9&amp;&quot;\"><p:c/></p:item>");
    EXPECT_EQ(compact(*element), written);
    ASSERT_NE(element->attributeValueForName(QStringLiteral("a")), nullptr);
    EXPECT_EQ(*element->attributeValueForName(QStringLiteral("a")), QStringLiteral("\u00e9&\""));
    EXPECT_EQ(element->attributeValueForName(QStringLiteral("p")), nullptr);
    EXPECT_EQ(element->namespaceValueForPrefix(QStringLiteral("b")), nullptr);
    EXPECT_EQ(child->URI(), QStringLiteral("urn:p"));

    // A node asked for later holds the value; changes through it and through the element meet.
    NSXMLNode *const b = element->attributeForName(QStringLiteral("b"));
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->parent(), element.get());
    EXPECT_EQ(b, element->attributeForName(QStringLiteral("b")));
    b->setStringValue(QStringLiteral("3"));
    EXPECT_EQ(*element->attributeValueForName(QStringLiteral("b")), QStringLiteral("3"));
    element->addAttributeWithName(QStringLiteral("b"), QStringLiteral("4"));
    EXPECT_EQ(b->stringValue(), QStringLiteral("4"));
    b->setName(QStringLiteral("renamed"));
    EXPECT_EQ(element->attributeValueForName(QStringLiteral("b")), nullptr);
    EXPECT_EQ(*element->attributeValueForName(QStringLiteral("renamed")), QStringLiteral("4"));

    // The lists hand out nodes in order, kind by kind; a node kept outlives its removal.
    const auto attributes = element->attributes();
    ASSERT_EQ(attributes.size(), 2u);
    EXPECT_EQ(attributes[0]->name(), QStringLiteral("renamed"));
    EXPECT_EQ(attributes[1]->stringValue(), QStringLiteral("\u00e9&\""));
    const auto namespaces = element->namespaces();
    ASSERT_EQ(namespaces.size(), 2u);
    EXPECT_EQ(namespaces[1]->name(), QString());
    element->removeAttributeForName(QStringLiteral("a"));
    EXPECT_EQ(attributes[1]->parent(), nullptr);
    EXPECT_EQ(attributes[1]->stringValue(), QStringLiteral("\u00e9&\""));
    namespaces[0]->detach();
    EXPECT_EQ(child->URI(), QString());
    EXPECT_EQ(compact(*element), QStringLiteral("<p:item xmlns=\"urn:d\" renamed=\"4\"><p:c/></p:item>"));

    // A copy has values of its own; a removed node can join another element.
    const auto copied = element->copyElement();
    copied->attributeForName(QStringLiteral("renamed"))->setStringValue(QStringLiteral("copy"));
    EXPECT_EQ(*element->attributeValueForName(QStringLiteral("renamed")), QStringLiteral("4"));
    copied->addAttribute(attributes[1]);
    EXPECT_EQ(attributes[1]->parent(), copied.get());
    EXPECT_EQ(compact(*copied), QStringLiteral("<p:item xmlns=\"urn:d\" renamed=\"copy\" a=\"\u00e9&amp;&quot;\"><p:c/></p:item>"));
    // The element going first leaves its handed-out nodes without a parent.
    NSXMLElement::Nodes kept;
    {
        const auto temporary = copied->copyElement();
        kept = temporary->attributes();
        EXPECT_EQ(kept.front()->parent(), temporary.get());
    }
    EXPECT_EQ(kept.front()->parent(), nullptr);
    EXPECT_EQ(compact(*kept.back()), QStringLiteral("a=\"\u00e9&amp;&quot;\""));
}

TEST(NSXMLElement, ThreadsReadingOneTreeGetTheSameNodes)
{
    // A received stanza goes to several delegates on their own threads; reading must not race, and a
    // node asked for at once on several threads is made once.
    constexpr int kThreads = 8;
    constexpr int kAttributes = 64;
    for (int round = 0; round < 20; ++round) {
        const auto element = NSXMLElement::elementWithName(QStringLiteral("message"));
        for (int index = 0; index < kAttributes; ++index)
            element->addAttributeWithName(QStringLiteral("a%1").arg(index), QStringLiteral("v%1").arg(index));
        element->addNamespaceWithPrefix(QString(), QStringLiteral("jabber:client"));
        std::vector<std::vector<const NSXMLNode *>> seen(kThreads);
        std::vector<std::thread> threads;
        for (int thread = 0; thread < kThreads; ++thread) {
            threads.emplace_back([&, thread] {
                for (int index = kAttributes - 1; index >= 0; --index) {
                    const QString name = QStringLiteral("a%1").arg(index);
                    const QString *const value = element->attributeValueForName(name);
                    EXPECT_TRUE(value != nullptr && *value == QStringLiteral("v%1").arg(index));
                    seen[size_t(thread)].push_back(element->attributeForName(name));
                }
                seen[size_t(thread)].push_back(element->namespaces().front().get());
                EXPECT_EQ(element->URI(), QStringLiteral("jabber:client"));
            });
        }
        for (auto &thread : threads)
            thread.join();
        for (int thread = 1; thread < kThreads; ++thread)
            EXPECT_EQ(seen[size_t(thread)], seen[0]);
    }
}

TEST(NSXMLElement, NodesPlacedInAnArenaOutliveItAndAreFreedOnAnyThread)
{
    std::vector<std::shared_ptr<NSXMLElement>> kept;
    std::shared_ptr<std::array<char, 3 * platform::NSXMLNodeArena::kBlockBytes>> large;
    {
        platform::NSXMLNodeArena arena;
        // Enough stanzas to fill many blocks; every seventh is kept, the others go at once.
        for (int index = 0; index < 2000; ++index) {
            // Their lists are placed too, and grow past that room later (below, and here for some).
            const auto stanza = NSXMLElement::elementWithName(QStringLiteral("message"), arena);
            stanza->reserveAttributesAndNamespaces(1, arena);
            stanza->addAttributeWithName(QStringLiteral("id"), QString::number(index));
            stanza->reserveChildren(1, arena);
            if (index % 3 == 0)
                stanza->reserveChildren(4, arena);
            const auto body = NSXMLElement::elementWithName(QStringLiteral("body"), arena);
            body->reserveChildren(1, arena);
            body->addChild(index % 2 == 0 ? NSXMLNode::textWithUTF8(QByteArray("\xc3\xa9t\xc3\xa9 ") + QByteArray::number(index), arena)
                                          : NSXMLNode::textWithStringValue(QStringLiteral("\u263A %1").arg(index), arena));
            stanza->addChild(body);
            if (index % 7 == 0)
                kept.push_back(stanza);
        }
        // What a block cannot hold comes from the heap.
        large = std::allocate_shared<std::array<char, 3 * platform::NSXMLNodeArena::kBlockBytes>>(
            platform::NodeArenaAllocator<char>(arena.blockFor(sizeof(*large))));
        large->fill('x');
    }
    EXPECT_EQ(large->back(), 'x');
    // Kept elements change on this thread while others in the same blocks go on another.
    std::thread freeing([&] {
        for (size_t position = 0; position < kept.size(); position += 2)
            kept[position].reset();
    });
    for (size_t position = 1; position < kept.size(); position += 2) {
        for (int extra = 0; extra < 20; ++extra)
            kept[position]->addChild(NSXMLElement::elementWithName(QStringLiteral("x")));
        for (int extra = 0; extra < 20; ++extra)
            kept[position]->removeChildAtIndex(1);
        kept[position]->addAttributeWithName(QStringLiteral("to"), QStringLiteral("a@b"));
        kept[position]->removeAttributeForName(QStringLiteral("to"));
    }
    freeing.join();
    for (size_t position = 1; position < kept.size(); position += 2) {
        const int index = int(position) * 7;
        EXPECT_EQ(compact(*kept[position]),
                  QStringLiteral("<message id=\"%1\"><body>%2</body></message>")
                      .arg(index)
                      .arg(index % 2 == 0 ? QStringLiteral("\u00e9t\u00e9 %1").arg(index) : QStringLiteral("\u263A %1").arg(index)));
        const auto copied = kept[position]->copyElement();
        kept[position].reset();
        EXPECT_EQ(copied->elementsForName(QStringLiteral("body")).front()->stringValue().right(int(QString::number(index).size())),
                  QString::number(index));
    }
}

// A builder's children join in one go, under the same rules as addChild one by one: new nodes are
// adopted, a node of another element is taken from it, and neither the element itself, an ancestor
// nor an attribute becomes a child.
TEST(NSXMLElement, AddsABuildersChildrenAsAddChildWould)
{
    platform::NSXMLNodeArena arena;
    const auto element = NSXMLElement::elementWithName(QStringLiteral("a"), arena);
    element->addNewNamespaceWithPrefix(QStringLiteral("p"), QStringLiteral("urn:p"));
    element->addNewAttributeWithName(QStringLiteral("id"), QStringLiteral("1"));
    element->addNewAttributeWithName(QStringLiteral("p:x"), QStringLiteral("<2>"));
    const auto other = NSXMLElement::elementWithName(QStringLiteral("other"));
    const auto taken = NSXMLElement::elementWithName(QStringLiteral("c"));
    other->addChild(taken);
    const auto built = NSXMLElement::elementWithName(QStringLiteral("b"), arena);
    NSXMLElement::Nodes children{built,   NSXMLNode::textWithStringValue(QStringLiteral("t&"), arena),
                                taken,   NSXMLNode::attributeWithName(QStringLiteral("n"), QStringLiteral("v")),
                                element, nullptr,
                                NSXMLNode::textWithUTF8(QByteArray("\xc3\xa9"), arena)};
    element->addChildren(children, arena);
    EXPECT_EQ(compact(*element), QStringLiteral("<a xmlns:p=\"urn:p\" id=\"1\" p:x=\"&lt;2&gt;\"><b/>t&amp;<c/>\u00e9</a>"));
    EXPECT_EQ(built->parent(), element.get());
    EXPECT_EQ(taken->parent(), element.get());
    EXPECT_EQ(other->childCount(), 0);
    EXPECT_EQ(element->parent(), nullptr);

    // Once the element has a parent, its ancestors are looked for.
    const auto outer = NSXMLElement::elementWithName(QStringLiteral("outer"));
    outer->addChild(element);
    NSXMLElement::Nodes more{outer, NSXMLElement::elementWithName(QStringLiteral("d"))};
    built->addChildren(more, arena);
    EXPECT_EQ(compact(*outer), QStringLiteral("<outer><a xmlns:p=\"urn:p\" id=\"1\" p:x=\"&lt;2&gt;\"><b><d/></b>t&amp;<c/>\u00e9</a></outer>"));
}
