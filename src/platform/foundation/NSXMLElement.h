#pragma once

#include "platform/foundation/NSXMLNode.h"
#include "platform/foundation/Result.h"

#include <QString>

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

    static std::shared_ptr<NSXMLElement> elementWithName(QString name);
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
    const Nodes &attributes() const { return m_attributes; }
    void addAttribute(std::shared_ptr<NSXMLNode> attribute);
    void removeAttributeForName(const QString &name);
    NSXMLNode *attributeForName(const QString &name) const;

    // Makes room for this many attributes and namespace nodes in all, so that a builder that knows
    // how many it will add grows each list once.
    void reserveAttributes(qsizetype attributeCount);
    void reserveNamespaces(qsizetype namespaceCount);

    // Namespace nodes, by prefix ("" for the default namespace); adding works as for attributes.
    const Nodes &namespaces() const { return m_namespaces; }
    void addNamespace(std::shared_ptr<NSXMLNode> aNamespace);
    void removeNamespaceForPrefix(const QString &prefix);
    NSXMLNode *namespaceForPrefix(const QString &prefix) const;
    // The URI the prefix stands for here: declared on this element or the nearest ancestor that
    // declares it; the empty text when none does.
    QString resolveNamespaceForPrefix(const QString &prefix) const;
    // The URI of this element's own name (its prefix resolved as above).
    QString URI() const { return resolveNamespaceForPrefix(prefix()); }

    // Children: elements and texts only. A child that belongs to another element is taken from it.
    const Nodes &children() const { return m_children; }
    qsizetype childCount() const { return qsizetype(m_children.size()); }
    NSXMLNode *childAtIndex(qsizetype index) const;
    void addChild(std::shared_ptr<NSXMLNode> child);
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
    static void addNamed(Nodes &nodes, NSXMLElement *owner, std::shared_ptr<NSXMLNode> node);

    Nodes m_attributes;
    Nodes m_namespaces;
    Nodes m_children;
};

} // namespace platform
