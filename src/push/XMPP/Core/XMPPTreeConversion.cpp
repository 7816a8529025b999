#include "push/XMPP/Core/XMPPTreeConversion.h"

#include <libxml/tree.h>

#include <cstring>
#include <utility>
#include <vector>

using platform::NSXMLElement;
using platform::NSXMLNode;

namespace {

QString textOf(const xmlChar *text)
{
    return text == nullptr ? QString() : QString::fromUtf8(reinterpret_cast<const char *>(text));
}

} // namespace

QString XMPPTreeConversion::sharedText(const xmlChar *prefix, const xmlChar *name)
{
    if (name == nullptr)
        return QString(QLatin1String(""));
    m_key.clear();
    if (prefix != nullptr) {
        m_key += reinterpret_cast<const char *>(prefix);
        m_key += ':';
    }
    m_key += reinterpret_cast<const char *>(name);
    const QByteArray key = QByteArray::fromRawData(m_key.data(), qsizetype(m_key.size()));
    if (const auto found = m_texts.constFind(key); found != m_texts.constEnd())
        return found.value();
    // A stream that keeps inventing names must not grow the cache without bound.
    if (m_texts.size() >= kMaxCachedTexts)
        m_texts.clear();
    const QString text = QString::fromUtf8(key);
    m_texts.insert(QByteArray(m_key.data(), qsizetype(m_key.size())), text);
    return text;
}

std::shared_ptr<NSXMLElement> XMPPTreeConversion::convertShallow(const xmlNode *node)
{
    auto element = NSXMLElement::elementWithName(sharedText(node->ns != nullptr ? node->ns->prefix : nullptr, node->name));
    for (const xmlNs *ns = node->nsDef; ns != nullptr; ns = ns->next) {
        if (ns->href != nullptr)
            element->addNamespace(NSXMLNode::namespaceWithName(
                ns->prefix == nullptr ? QString(QLatin1String("")) : sharedText(nullptr, ns->prefix),
                sharedText(nullptr, ns->href)));
    }
    for (const xmlAttr *attribute = node->properties; attribute != nullptr; attribute = attribute->next) {
        if (attribute->name == nullptr || attribute->children == nullptr || attribute->children->content == nullptr)
            continue;
        const xmlChar *const prefix = attribute->ns != nullptr ? attribute->ns->prefix : nullptr;
        element->addAttribute(NSXMLNode::attributeWithName(sharedText(prefix, attribute->name),
                                                           textOf(attribute->children->content)));
    }
    return element;
}

std::shared_ptr<NSXMLElement> XMPPTreeConversion::convertTree(const xmlNode *root)
{
    auto converted = convertShallow(root);
    std::vector<std::pair<const xmlNode *, NSXMLElement *>> pending{{root, converted.get()}};
    while (!pending.empty()) {
        const auto [node, element] = pending.back();
        pending.pop_back();
        for (const xmlNode *child = node->children; child != nullptr; child = child->next) {
            if (child->type == XML_TEXT_NODE || child->type == XML_CDATA_SECTION_NODE) {
                if (child->content != nullptr)
                    element->addChild(NSXMLNode::textWithStringValue(textOf(child->content)));
            } else if (child->type == XML_ELEMENT_NODE) {
                auto convertedChild = convertShallow(child);
                element->addChild(convertedChild);
                pending.emplace_back(child, convertedChild.get());
            }
        }
    }
    return converted;
}
