#pragma once

#include "platform/foundation/NSXMLNode.h"
#include "platform/foundation/NSXMLNodeArena.h"
#include "platform/foundation/Result.h"

#include <QString>

#include <atomic>
#include <memory>
#include <vector>

namespace platform {

// An XML element: a qualified name, attributes in the order they were added, namespace nodes, and
// child elements and texts in order. Same sharing and thread rules as NSXMLNode.
class NSXMLElement : public NSXMLNode
{
    struct PrivateTag
    {
    };

public:
    using Nodes = std::vector<std::shared_ptr<NSXMLNode>>;
    // The children, in a list that a builder may place in its arena (see reserveChildren).
    using ChildNodes = std::vector<std::shared_ptr<NSXMLNode>, NodeListAllocator<std::shared_ptr<NSXMLNode>>>;

    static std::shared_ptr<NSXMLElement> elementWithName(QString name);
    // The same element, placed in the arena (see NSXMLNodeArena).
    static std::shared_ptr<NSXMLElement> elementWithName(QString name, NSXMLNodeArena &arena);
    // An element holding one text child with the value (none when the value is empty).
    static std::shared_ptr<NSXMLElement> elementWithName(const QString &name, const QString &stringValue);
    // Parses an XML text whose one top-level node is an element: white space and texts are kept as they
    // are, entity and character references are decoded. A document type declaration, an entity
    // declaration or a processing instruction is refused, as is nesting deeper than 256 elements.
    static Result<std::shared_ptr<NSXMLElement>> elementWithXMLString(const QString &xmlString);

    NSXMLElement(PrivateTag, QString name);
    ~NSXMLElement() override;

    // Attributes, by qualified name. Adding one under a name already present replaces its value in
    // place; a node that is not an attribute, or one that belongs to another element, is not added.
    // The element keeps names and values itself and makes an attribute's node only when one is asked
    // for (attributes(), attributeForName); from then on that node holds the name and value.
    Nodes attributes() const { return namedNodes(NSXMLNodeKind::Attribute); }
    void addAttribute(std::shared_ptr<NSXMLNode> attribute);
    // Adds or replaces an attribute without making a node for it.
    void addAttributeWithName(QString name, QString stringValue);
    // Adds an attribute the element does not have yet, without looking for one of its name: for a
    // builder whose XML parser has already refused a start tag naming an attribute twice.
    void addNewAttributeWithName(QString name, QString stringValue);
    void removeAttributeForName(const QString &name);
    NSXMLNode *attributeForName(const QString &name) const;
    // The attribute's value, or null when there is none; no node is made. Valid until the element or
    // the attribute changes.
    const QString *attributeValueForName(const QString &name) const { return namedValue(NSXMLNodeKind::Attribute, name); }

    // Makes room for this many more attributes and namespace declarations (they share one list), so
    // that a builder that knows how many it will add grows the list once.
    void reserveAttributesAndNamespaces(qsizetype count);
    // The same for an element placed in the arena: the room is placed in the arena as well. Only the
    // thread building through the arena calls these, before the element is handed to anyone.
    void reserveAttributesAndNamespaces(qsizetype count, NSXMLNodeArena &arena);
    // Makes room for this many more children, placed in the arena; see above.
    void reserveChildren(qsizetype count, NSXMLNodeArena &arena);

    // Namespace declarations, by prefix ("" for the default namespace); adding and the making of
    // nodes work as for attributes.
    Nodes namespaces() const { return namedNodes(NSXMLNodeKind::Namespace); }
    void addNamespace(std::shared_ptr<NSXMLNode> aNamespace);
    void addNamespaceWithPrefix(QString prefix, QString uri);
    // Adds a declaration of a prefix the element does not declare yet; see addNewAttributeWithName.
    void addNewNamespaceWithPrefix(QString prefix, QString uri);
    void removeNamespaceForPrefix(const QString &prefix);
    NSXMLNode *namespaceForPrefix(const QString &prefix) const;
    // The URI declared for the prefix on this element, or null; no node is made. Valid as above.
    const QString *namespaceValueForPrefix(const QString &prefix) const { return namedValue(NSXMLNodeKind::Namespace, prefix); }
    // The URI the prefix stands for here: declared on this element or the nearest ancestor that
    // declares it; the empty text when none does.
    QString resolveNamespaceForPrefix(const QString &prefix) const;
    // The URI of this element's own name (its prefix resolved as above).
    QString URI() const { return resolveNamespaceForPrefix(prefix()); }

    // Children: elements and texts only. A child that belongs to another element is taken from it.
    const ChildNodes &children() const { return m_children; }
    qsizetype childCount() const { return qsizetype(m_children.size()); }
    NSXMLNode *childAtIndex(qsizetype index) const;
    void addChild(std::shared_ptr<NSXMLNode> child);
    // Adds the nodes as children in order, as addChild would one by one, with their room placed in
    // the arena (see reserveChildren); the list is left holding null pointers.
    void addChildren(Nodes &children, NSXMLNodeArena &arena);
    void insertChild(std::shared_ptr<NSXMLNode> child, qsizetype index);
    void removeChildAtIndex(qsizetype index);
    // The child elements whose qualified name is the name, in order.
    std::vector<std::shared_ptr<NSXMLElement>> elementsForName(const QString &name) const;
    // The child elements with the local name whose own name's namespace is the URI, in order.
    std::vector<std::shared_ptr<NSXMLElement>> elementsForLocalName(const QString &localName,
                                                                    const QString &uri) const;

    // The concatenated text of every descendant, in document order.
    QString stringValue() const override;
    // Replaces every child by one text child with the value (no child for the empty text).
    void setStringValue(const QString &stringValue) override;

    std::shared_ptr<NSXMLNode> copy() const override;
    // The same deep copy, as an element.
    std::shared_ptr<NSXMLElement> copyElement() const;

protected:
    void writeXML(QString &out, unsigned options, int level) const override;

private:
    void adopt(NSXMLNode &node);
    friend class NSXMLNode;
    // Takes the node out of whichever list holds it and answers the reference that list held.
    std::shared_ptr<NSXMLNode> takeNode(const NSXMLNode &node);
    void writeStartTag(QString &out) const;
    void writeChildren(QString &out, unsigned options, int level) const;

    // An attribute or a namespace declaration. Until a node is asked for, the name and value are kept
    // here; once one is made, the node holds them. Readers may share a tree across threads, so a node
    // is made under a lock and published through madeNode; node is set before it and not changed
    // while the element is only read.
    struct Named
    {
        NSXMLNodeKind kind;
        QString name;
        QString value;
        std::shared_ptr<NSXMLNode> node;
        std::atomic<NSXMLNode *> madeNode{nullptr};

        Named(NSXMLNodeKind kind, QString name, QString value, std::shared_ptr<NSXMLNode> node);
        Named(Named &&other) noexcept;
        Named &operator=(Named &&other) noexcept;
        ~Named() = default;

        const NSXMLNode *made() const { return madeNode.load(std::memory_order_acquire); }
        const QString &nameOf() const { return made() != nullptr ? made()->m_name : name; }
        const QString &valueOf() const { return made() != nullptr ? made()->m_value : value; }
    };
    Named *findNamed(NSXMLNodeKind kind, const QString &name) const;
    const QString *namedValue(NSXMLNodeKind kind, const QString &name) const;
    NSXMLNode *nodeOf(Named &named) const;
    Nodes namedNodes(NSXMLNodeKind kind) const;
    NSXMLNode *namedNode(NSXMLNodeKind kind, const QString &name) const;
    void addNamedNode(NSXMLNodeKind kind, std::shared_ptr<NSXMLNode> node);
    void addNamedValue(NSXMLNodeKind kind, QString name, QString value);
    void removeNamed(NSXMLNodeKind kind, const QString &name);

    // Where the two lists below keep their items; declared first, as the lists use them to the end.
    NodeListPlacement m_namedPlacement;
    NodeListPlacement m_childrenPlacement;
    // Namespace declarations and attributes, each kind in the order added. Mutable: nodes are made
    // when a const accessor hands one out.
    mutable std::vector<Named, NodeListAllocator<Named>> m_named{NodeListAllocator<Named>(&m_namedPlacement)};
    ChildNodes m_children{NodeListAllocator<std::shared_ptr<NSXMLNode>>(&m_childrenPlacement)};
};

} // namespace platform
