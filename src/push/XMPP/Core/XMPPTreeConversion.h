#pragma once

#include "platform/foundation/NSXMLElement.h"
#include "platform/foundation/NSXMLNodeArena.h"

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringDecoder>

#include <array>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

typedef unsigned char xmlChar;

// Makes the values of a stream (attribute values, texts) as texts written one after another into
// shared buffers of a few kilobytes: one allocation for many values instead of one each, and values
// that lie together when a stanza is let go. Each value is an ordinary text (QString over UTF-16, or
// QByteArray over UTF-8 bytes) holding a reference to its buffer (writing to it copies it first, as
// for any shared text), ended by a zero as such texts are; a buffer goes with its last value, on
// whichever thread that is, so a value kept long keeps its buffer alive. Used by one thread (or
// serial queue) at a time.
template <typename Char>
class XMPPSharedValueBuffers final
{
public:
    explicit XMPPSharedValueBuffers(qsizetype bufferLength) : m_bufferLength(bufferLength) {}
    ~XMPPSharedValueBuffers() { retire(); }
    XMPPSharedValueBuffers(const XMPPSharedValueBuffers &) = delete;
    XMPPSharedValueBuffers &operator=(const XMPPSharedValueBuffers &) = delete;

    // Where a value of at most the length goes, with room for its end; null when it is longer than
    // a tenth of a buffer (such values are rare and would leave the buffers mostly unused) or no
    // buffer could be had.
    Char *room(qsizetype length);
    // The value of the length just written where room() answered, ended and handed out.
    QArrayDataPointer<Char> take(Char *start, qsizetype length);

private:
    // Lets go of the buffer being filled: its last value frees it.
    void retire();

    // The buffer holds this many references for the values yet to be made, so that none of them is
    // ever its only holder while it is filled; retire() gives back those not handed out.
    static constexpr int kHeldReferences = 1 << 30;
    const qsizetype m_bufferLength;
    QTypedArrayData<Char> *m_buffer = nullptr;
    Char *m_next = nullptr;
    qsizetype m_room = 0;
    int m_made = 0;
};

// The values of a stream as texts (see XMPPSharedValueBuffers).
class XMPPValuePool final
{
public:
    // The UTF-8 bytes as a text, equal to QString::fromUtf8 of them.
    QString text(std::string_view utf8);
    // The same bytes, kept as they are.
    QByteArray bytes(std::string_view utf8);

private:
    XMPPSharedValueBuffers<char16_t> m_texts{2048};
    XMPPSharedValueBuffers<char> m_bytes{16384};
    // Reads each value as QString::fromUtf8 does, a byte order mark opening it left out.
    QStringDecoder m_decoder{QStringConverter::Utf8, QStringConverter::Flag::Stateless};
};

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
    // Opens an element with its namespaces and attributes (the arguments of libxml2's start callback).
    // Every call passes the names of one libxml2 parser, which outlives the conversion.
    void openElement(const xmlChar *localName, const xmlChar *prefix, const xmlChar *uri, int namespaceCount,
                     const xmlChar **namespaces, int attributeCount, const xmlChar **attributes);
    // The first element opened, once it is.
    const std::shared_ptr<platform::NSXMLElement> &root() const { return m_root; }
    // Adds text to the innermost open element.
    void addText(const xmlChar *text, int length);
    // Closes the innermost open element and answers it, complete, when it is the root or a stanza;
    // a deeper element belongs to its parent, and null is answered.
    std::shared_ptr<platform::NSXMLElement> closeElement();
    // Elements open now, the root counted.
    int depth() const { return int(m_open.size()); }

private:
    // The text of a name, URI or prefix ("prefix:name" when a prefix is given).
    QString sharedText(const xmlChar *prefix, const xmlChar *name);
    QString sharedTextByContent(const xmlChar *prefix, const xmlChar *name);
    // Whether the element being opened or an open ancestor in its stanza declares the prefix.
    bool isDeclared(const xmlChar *prefix) const;
    // Declares the prefix's namespace on the element and counts it in scope.
    void declare(platform::NSXMLElement &element, const xmlChar *prefix, const xmlChar *uri);
    void addNamespaces(platform::NSXMLElement &element, const xmlChar *prefix, const xmlChar *uri,
                       int namespaceCount, const xmlChar **namespaces);
    void addAttributes(platform::NSXMLElement &element, int attributeCount, const xmlChar **attributes);
    // Declares the prefix's namespace on the element unless it is in scope within the stanza.
    void declareIfMissing(platform::NSXMLElement &element, const xmlChar *prefix, const xmlChar *uri);
    // Turns the text gathered so far into a text node of the innermost open element.
    void flushText();
    // The UTF-8 text as a text.
    QString valueText(std::string_view utf8) { return m_values.text(utf8); }

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
    // A text up to this long becomes a text at once; a longer one is kept as its UTF-8 bytes, which
    // take half the room, until it is read.
    static constexpr size_t kMaxConvertedTextBytes = 64;
    std::string m_key;
    std::string m_attributeValue;
    XMPPValuePool m_values;
    // The stanzas' elements and texts are placed one after another in blocks.
    platform::NSXMLNodeArena m_arena;
    // The open elements, the root first. The root and the stanza being read are held by the members
    // below, deeper elements by their parent's list in m_children: an element is moved, never copied,
    // from where it is made to where it ends, so building counts no references.
    std::vector<platform::NSXMLElement *> m_open;
    std::shared_ptr<platform::NSXMLElement> m_root;
    std::shared_ptr<platform::NSXMLElement> m_stanza;
    // The prefixes the open elements of the stanza being read declare (the root's left out once it is
    // open), as strings of libxml2's dictionary (null for the default namespace), innermost last: one
    // prefix comes at one address, so the scope is searched by address. m_scopeStarts holds, by index
    // in m_open, where each open element's own declarations begin.
    std::vector<const xmlChar *> m_declaredPrefixes;
    std::vector<size_t> m_scopeStarts;
    // The children of each open element, by its index in m_open, until it closes; the lists keep
    // their room from stanza to stanza.
    std::vector<std::vector<std::shared_ptr<platform::NSXMLNode>>> m_children;
    static constexpr size_t kKeptChildRoom = 256;
    std::string m_text;
    bool m_hasText = false;
};
