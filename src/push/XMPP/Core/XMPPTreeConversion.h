#pragma once

#include "platform/foundation/NSXMLElement.h"
#include "platform/foundation/NSXMLNodeArena.h"

#include <QByteArray>
#include <QHash>
#include <QString>

#include <array>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

typedef unsigned char xmlChar;

// Builds the element trees of a stream straight from libxml2's SAX2 events, with no libxml2 tree in
// between. The first element opened is the stream's root; each element opened under it starts a
// stanza of its own (the root never holds it), and deeper elements join their parent (when it
// closes, so that its list of children is made once, in the arena). An element's
// name is "prefix:name" when its namespace has a prefix; it carries a namespace node for each
// namespace it declares (the empty prefix for the default one) and for each namespace its name or an
// attribute uses that no element of its stanza declares (a stanza is complete on its own, even when
// the root declared the namespace); the "xml" prefix is XML's own and never declared. Texts are kept
// in order, pieces of one text joined. Names, prefixes and namespace URIs repeat from stanza to
// stanza, so their texts are kept and shared (a bounded cache, over texts that live as long as the
// process and count no references). Used on the parser queue only.
class XMPPTreeConversion final
{
public:
    // Opens an element with its namespaces and attributes (the arguments of libxml2's start callback)
    // and answers it. Every call passes the names of one libxml2 parser, which outlives the conversion.
    std::shared_ptr<platform::NSXMLElement> openElement(const xmlChar *localName, const xmlChar *prefix,
                                                        const xmlChar *uri, int namespaceCount,
                                                        const xmlChar **namespaces, int attributeCount,
                                                        const xmlChar **attributes);
    // Adds text to the innermost open element.
    void addText(const xmlChar *text, int length);
    // Closes the innermost open element and answers it, complete.
    std::shared_ptr<platform::NSXMLElement> closeElement();
    // Elements open now, the root counted.
    int depth() const { return int(m_open.size()); }

private:
    // The text of a name, URI or prefix ("prefix:name" when a prefix is given).
    QString sharedText(const xmlChar *prefix, const xmlChar *name);
    QString sharedTextByContent(const xmlChar *prefix, const xmlChar *name);
    // Whether the element being opened or an open ancestor in its stanza declares the prefix.
    bool isDeclared(const platform::NSXMLElement &element, const QString &prefix) const;
    void addNamespaces(platform::NSXMLElement &element, const xmlChar *prefix, const xmlChar *uri,
                       int namespaceCount, const xmlChar **namespaces);
    void addAttributes(platform::NSXMLElement &element, int attributeCount, const xmlChar **attributes);
    // Declares the prefix's namespace on the element unless it is in scope within the stanza.
    void declareIfMissing(platform::NSXMLElement &element, const xmlChar *prefix, const xmlChar *uri);
    // Turns the text gathered so far into a text node of the innermost open element.
    void flushText();
    // The UTF-8 text as a text, shared with earlier equal ones when it is short.
    QString sharedValue(std::string_view utf8);

    static constexpr qsizetype kMaxCachedTexts = 4096;
    QHash<QByteArray, QString> m_texts;
    // libxml2 hands names, prefixes and URIs on as strings of its parser's dictionary, so one name comes
    // at one address again and again: a small table by address answers most lookups without reading
    // the text. The dictionary keeps each string at its address until the parser goes, and the parser
    // outlives its conversion (XMPPParser owns both), so an address stands for one text.
    struct AddressEntry
    {
        const xmlChar *prefix = nullptr;
        const xmlChar *name = nullptr;
        QString text;
    };
    static constexpr size_t kAddressSlots = 256;
    std::array<AddressEntry, kAddressSlots> m_byAddress;
    // Attribute values and short texts repeat from stanza to stanza too (types, the server's and the
    // user's addresses, a presence's show): a short one is looked up by content in a table of fixed
    // size, each slot holding the last value that fell in it, so repeats share one text and the table
    // never grows.
    struct ValueEntry
    {
        std::string bytes;
        QString text;
    };
    static constexpr int kValueSlotBits = 9;
    static constexpr size_t kValueSlots = size_t(1) << kValueSlotBits;
    static constexpr size_t kMaxSharedValueBytes = 64;
    std::vector<ValueEntry> m_values = std::vector<ValueEntry>(kValueSlots);
    std::string m_key;
    std::string m_attributeValue;
    // The stanzas' elements and texts are placed one after another in blocks.
    platform::NSXMLNodeArena m_arena;
    std::vector<std::shared_ptr<platform::NSXMLElement>> m_open;
    // The children of each open element, by its index in m_open, until it closes; the lists keep
    // their room from stanza to stanza.
    std::vector<std::vector<std::shared_ptr<platform::NSXMLNode>>> m_children;
    static constexpr size_t kKeptChildRoom = 256;
    std::string m_text;
    bool m_hasText = false;
};
