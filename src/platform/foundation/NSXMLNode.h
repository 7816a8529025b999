#pragma once

#include <QByteArray>
#include <QString>

#include <memory>

namespace platform {

class NSXMLElement;
class NSXMLNodeArena;

// The kinds of node an XML tree holds.
enum class NSXMLNodeKind { Element, Attribute, Namespace, Text };

// Output options of XMLStringWithOptions, combined with "|".
enum NSXMLNodeOptions : unsigned {
    NSXMLNodeOptionsNone = 0,
    // An element without children is written as one self-closing tag, "<a/>", instead of "<a></a>".
    NSXMLNodeCompactEmptyElement = 1u << 2,
    // Each child element on a line of its own, indented by four spaces a level.
    NSXMLNodePrettyPrint = 1u << 17,
};

// One node of an XML tree: an element (see NSXMLElement), an attribute (name and text), a namespace
// (prefix as its name, the empty prefix for the default namespace, and the URI as its text) or a text.
// Nodes are shared objects: a tree owns its nodes, and a node taken out of it lives on while it is
// held. A node belongs to at most one element at a time. Not thread-safe: one thread works on a tree
// at a time, and a tree handed to another queue is handed over whole.
class NSXMLNode
{
public:
    static std::shared_ptr<NSXMLNode> attributeWithName(QString name, QString stringValue);
    static std::shared_ptr<NSXMLNode> namespaceWithName(QString prefix, QString stringValue);
    static std::shared_ptr<NSXMLNode> textWithStringValue(QString stringValue);
    // A text kept as the UTF-8 bytes it was read as, turned into a text each time it is read: a parser
    // makes many texts that nobody reads, and the bytes take half the room.
    static std::shared_ptr<NSXMLNode> textWithUTF8(QByteArray utf8);
    // The same texts, placed in the arena (see NSXMLNodeArena).
    static std::shared_ptr<NSXMLNode> textWithStringValue(QString stringValue, NSXMLNodeArena &arena);
    static std::shared_ptr<NSXMLNode> textWithUTF8(QByteArray utf8, NSXMLNodeArena &arena);

    virtual ~NSXMLNode();
    NSXMLNode(const NSXMLNode &) = delete;
    NSXMLNode &operator=(const NSXMLNode &) = delete;

    NSXMLNodeKind kind() const { return m_kind; }
    // The qualified name ("stream:error"), the prefix of a namespace, empty for a text.
    const QString &name() const { return m_name; }
    void setName(const QString &name) { m_name = name; }
    // The part of the name after its first ":", or the whole name.
    QString localName() const;
    // The part of the name before its first ":", or the empty text.
    QString prefix() const;

    // An attribute's or namespace's text, a text node's text, or the text of an element's descendants.
    virtual QString stringValue() const;
    virtual void setStringValue(const QString &stringValue);

    // The element that holds this node, or null. Not owning: an element clears it when it lets go.
    NSXMLElement *parent() const { return m_parent; }
    // Takes the node out of its element; the caller's reference keeps it alive.
    void detach();

    // A deep copy without a parent.
    virtual std::shared_ptr<NSXMLNode> copy() const;

    // The node as XML text: an element with its descendants, an attribute or namespace as it stands
    // in a start tag (name="value"), a text escaped. Quoting is always by double quotes; "&", "<", ">"
    // are escaped everywhere, "\"" and tab, line feed and carriage return in attribute values, and
    // carriage returns in text. Characters XML cannot carry become U+FFFD, so the text always parses.
    QString XMLString() const { return XMLStringWithOptions(NSXMLNodeOptionsNone); }
    QString XMLStringWithOptions(unsigned options) const;

protected:
    NSXMLNode(NSXMLNodeKind kind, QString name, QString value);

    // Writes the node at the given indentation level (pretty printing only).
    virtual void writeXML(QString &out, unsigned options, int level) const;

private:
    friend class NSXMLElement;

    const NSXMLNodeKind m_kind;
    QString m_name;
    QString m_value;
    // A text's UTF-8 bytes, standing for m_value when not null.
    QByteArray m_utf8;
    NSXMLElement *m_parent = nullptr;
};

// Escaping for XML output, shared by the node kinds.
void appendEscapedText(QString &out, const QString &text);
void appendEscapedAttributeValue(QString &out, const QString &value);
// An attribute (name="value") or a namespace declaration (xmlns:prefix="uri") as a start tag holds it.
void appendAttributeOrNamespace(QString &out, NSXMLNodeKind kind, const QString &name, const QString &value);

} // namespace platform
