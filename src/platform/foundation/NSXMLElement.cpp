#include "platform/foundation/NSXMLElement.h"

#include <libxml/parser.h>
#include <libxml/parserInternals.h>

#include <algorithm>
#include <limits>
#include <mutex>

namespace platform {

namespace {

constexpr int kIndentSpaces = 4;
// Deeper nesting is refused: libxml2's push parser does not bound it, and nothing legitimate needs it.
constexpr size_t kMaxDepth = 256;
// Destructors of elements nest this deep at most before they let go of descendants from a list.
constexpr int kMaxNestedDestructors = 64;

bool isWhiteSpaceOnly(const QString &text)
{
    return std::all_of(text.begin(), text.end(), [](QChar character) {
        return character == QLatin1Char(' ') || character == QLatin1Char('\t') || character == QLatin1Char('\n') ||
               character == QLatin1Char('\r');
    });
}

QString qualifiedName(const xmlChar *prefix, const xmlChar *localName)
{
    const QString local = QString::fromUtf8(reinterpret_cast<const char *>(localName));
    if (prefix == nullptr || *prefix == 0)
        return local;
    return QString::fromUtf8(reinterpret_cast<const char *>(prefix)) + QLatin1Char(':') + local;
}

QString textOf(const xmlChar *text)
{
    return text == nullptr ? QString() : QString::fromUtf8(reinterpret_cast<const char *>(text));
}

// Builds an element tree from libxml2's SAX2 events of one XML text. Refuses document type
// declarations, entity declarations and processing instructions: a text that declares entities could
// expand them without bound.
class TreeBuilder final
{
public:
    explicit TreeBuilder(xmlParserCtxtPtr context) : m_context(context) {}

    static void installCallbacks(xmlSAXHandler &handler);
    std::shared_ptr<NSXMLElement> takeRoot() { return std::move(m_root); }
    const QString &refusal() const { return m_refusal; }

private:
    static TreeBuilder &of(void *context) { return *static_cast<TreeBuilder *>(context); }
    static void onStart(void *context, const xmlChar *localName, const xmlChar *prefix, const xmlChar *uri,
                        int namespaceCount, const xmlChar **namespaces, int attributeCount, int defaultedCount,
                        const xmlChar **attributes);
    static void onEnd(void *context, const xmlChar *, const xmlChar *, const xmlChar *);
    static void onCharacters(void *context, const xmlChar *text, int length);
    static void onDeclaration(void *context, const xmlChar *, const xmlChar *, const xmlChar *);
    static void onEntity(void *context, const xmlChar *, int, const xmlChar *, const xmlChar *, xmlChar *);
    static void onInstruction(void *context, const xmlChar *, const xmlChar *);
    static void onError(void *, xmlErrorPtr) {}

    void refuse(const QString &what);

    xmlParserCtxtPtr m_context;
    std::shared_ptr<NSXMLElement> m_root;
    std::vector<NSXMLElement *> m_open;
    QString m_refusal;
};

void TreeBuilder::installCallbacks(xmlSAXHandler &handler)
{
    handler.initialized = XML_SAX2_MAGIC;
    handler.startElementNs = onStart;
    handler.endElementNs = onEnd;
    handler.characters = onCharacters;
    handler.internalSubset = onDeclaration;
    handler.entityDecl = onEntity;
    handler.processingInstruction = onInstruction;
    handler.serror = onError;
}

void TreeBuilder::onStart(void *context, const xmlChar *localName, const xmlChar *prefix, const xmlChar *,
                          int namespaceCount, const xmlChar **namespaces, int attributeCount, int,
                          const xmlChar **attributes)
{
    TreeBuilder &builder = of(context);
    if (builder.m_open.size() >= kMaxDepth) {
        builder.refuse(QStringLiteral("elements nested deeper than %1").arg(kMaxDepth));
        return;
    }
    const auto element = NSXMLElement::elementWithName(qualifiedName(prefix, localName));
    for (int index = 0; index < namespaceCount; ++index)
        element->addNamespace(NSXMLNode::namespaceWithName(textOf(namespaces[2 * index]),
                                                           textOf(namespaces[2 * index + 1])));
    for (int index = 0; index < attributeCount; ++index) {
        const xmlChar *const *attribute = attributes + 5 * index;
        QByteArray value(reinterpret_cast<const char *>(attribute[3]), attribute[4] - attribute[3]);
        // Without entity substitution libxml2 hands an "&" in a value on as "&#38;", and only so.
        value.replace("&#38;", "&");
        element->addAttribute(NSXMLNode::attributeWithName(qualifiedName(attribute[1], attribute[0]),
                                                           QString::fromUtf8(value)));
    }
    if (builder.m_open.empty())
        builder.m_root = element;
    else
        builder.m_open.back()->addChild(element);
    builder.m_open.push_back(element.get());
}

void TreeBuilder::onEnd(void *context, const xmlChar *, const xmlChar *, const xmlChar *)
{
    TreeBuilder &builder = of(context);
    if (!builder.m_open.empty())
        builder.m_open.pop_back();
}

void TreeBuilder::onCharacters(void *context, const xmlChar *text, int length)
{
    TreeBuilder &builder = of(context);
    if (builder.m_open.empty())
        return;
    NSXMLElement *const current = builder.m_open.back();
    const QString value = QString::fromUtf8(reinterpret_cast<const char *>(text), length);
    // libxml2 hands long texts over in pieces; they are one text node.
    const qsizetype count = current->childCount();
    NSXMLNode *const last = count > 0 ? current->childAtIndex(count - 1) : nullptr;
    if (last != nullptr && last->kind() == NSXMLNodeKind::Text)
        last->setStringValue(last->stringValue() + value);
    else
        current->addChild(NSXMLNode::textWithStringValue(value));
}

void TreeBuilder::onDeclaration(void *context, const xmlChar *, const xmlChar *, const xmlChar *)
{
    of(context).refuse(QStringLiteral("a document type declaration"));
}

void TreeBuilder::onEntity(void *context, const xmlChar *, int, const xmlChar *, const xmlChar *, xmlChar *)
{
    of(context).refuse(QStringLiteral("an entity declaration"));
}

void TreeBuilder::onInstruction(void *context, const xmlChar *, const xmlChar *)
{
    of(context).refuse(QStringLiteral("a processing instruction"));
}

void TreeBuilder::refuse(const QString &what)
{
    if (m_refusal.isEmpty())
        m_refusal = QStringLiteral("XML text holds %1, which is not accepted").arg(what);
    xmlStopParser(m_context);
}

struct ParserContextDeleter
{
    void operator()(xmlParserCtxtPtr context) const
    {
        if (context->myDoc != nullptr)
            xmlFreeDoc(context->myDoc);
        xmlFreeParserCtxt(context);
    }
};

} // namespace

std::shared_ptr<NSXMLElement> NSXMLElement::elementWithName(QString name)
{
    return std::make_shared<NSXMLElement>(PrivateTag(), std::move(name));
}

std::shared_ptr<NSXMLElement> NSXMLElement::elementWithName(const QString &name, const QString &stringValue)
{
    auto element = elementWithName(name);
    element->setStringValue(stringValue);
    return element;
}

Result<std::shared_ptr<NSXMLElement>> NSXMLElement::elementWithXMLString(const QString &xmlString)
{
    static std::once_flag initialised;
    std::call_once(initialised, [] { xmlInitParser(); });
    const QByteArray utf8 = xmlString.toUtf8();
    if (utf8.size() > std::numeric_limits<int>::max())
        return Error(ErrorCode::DataMalformed, QStringLiteral("XML text of %1 bytes is too long").arg(utf8.size()));
    xmlSAXHandler handler{};
    TreeBuilder::installCallbacks(handler);
    std::unique_ptr<xmlParserCtxt, ParserContextDeleter> context(
        xmlCreatePushParserCtxt(&handler, nullptr, nullptr, 0, nullptr));
    if (!context)
        return Error(ErrorCode::DataOther, QStringLiteral("could not create an XML parser"));
    TreeBuilder builder(context.get());
    context->userData = &builder;
    xmlCtxtUseOptions(context.get(), XML_PARSE_NONET | XML_PARSE_IGNORE_ENC);
    const int result = xmlParseChunk(context.get(), utf8.constData(), int(utf8.size()), 1);
    if (!builder.refusal().isEmpty())
        return Error(ErrorCode::DataMalformed, builder.refusal());
    if (result != 0 || !context->wellFormed) {
        const xmlError *const error = xmlCtxtGetLastError(context.get());
        const QString message = error != nullptr && error->message != nullptr
                                    ? QString::fromUtf8(error->message).trimmed()
                                    : QStringLiteral("not well-formed");
        return Error(ErrorCode::DataMalformed, QStringLiteral("XML text at line %1: %2")
                                                   .arg(error != nullptr ? error->line : 0)
                                                   .arg(message));
    }
    std::shared_ptr<NSXMLElement> root = builder.takeRoot();
    if (!root)
        return Error(ErrorCode::DataMalformed, QStringLiteral("XML text holds no element"));
    return root;
}

NSXMLElement::NSXMLElement(PrivateTag, QString name) : NSXMLNode(NSXMLNodeKind::Element, std::move(name), QString()) {}

NSXMLElement::~NSXMLElement()
{
    // How deep destructors of elements are nested on this thread.
    thread_local int t_nesting = 0;
    for (const auto &node : m_attributes)
        node->m_parent = nullptr;
    for (const auto &node : m_namespaces)
        node->m_parent = nullptr;
    for (const auto &child : m_children)
        child->m_parent = nullptr;
    if (t_nesting < kMaxNestedDestructors) {
        ++t_nesting;
        m_children.clear();
        --t_nesting;
        return;
    }
    // Deeper down, descendants are let go from a list: each is emptied of its children before it is
    // released, so that a deep tree does not nest one destructor call per level.
    Nodes pending = std::move(m_children);
    while (!pending.empty()) {
        std::shared_ptr<NSXMLNode> node = std::move(pending.back());
        pending.pop_back();
        if (node.use_count() != 1 || node->kind() != NSXMLNodeKind::Element)
            continue;
        for (auto &child : static_cast<NSXMLElement *>(node.get())->m_children) {
            child->m_parent = nullptr;
            pending.push_back(std::move(child));
        }
        static_cast<NSXMLElement *>(node.get())->m_children.clear();
    }
}

void NSXMLElement::adopt(NSXMLNode &node)
{
    node.detach();
    node.m_parent = this;
}

std::shared_ptr<NSXMLNode> NSXMLElement::takeNode(const NSXMLNode &node)
{
    Nodes &nodes = node.kind() == NSXMLNodeKind::Attribute   ? m_attributes
                   : node.kind() == NSXMLNodeKind::Namespace ? m_namespaces
                                                             : m_children;
    const auto found =
        std::find_if(nodes.begin(), nodes.end(), [&node](const auto &held) { return held.get() == &node; });
    if (found == nodes.end())
        return nullptr;
    std::shared_ptr<NSXMLNode> taken = std::move(*found);
    nodes.erase(found);
    taken->m_parent = nullptr;
    return taken;
}

void NSXMLElement::addNamed(Nodes &nodes, NSXMLElement *owner, std::shared_ptr<NSXMLNode> node)
{
    for (const auto &existing : nodes) {
        if (existing->name() == node->name()) {
            existing->setStringValue(node->stringValue());
            return;
        }
    }
    owner->adopt(*node);
    nodes.push_back(std::move(node));
}

void NSXMLElement::addAttribute(std::shared_ptr<NSXMLNode> attribute)
{
    if (!attribute || attribute->kind() != NSXMLNodeKind::Attribute || attribute->parent() != nullptr)
        return;
    addNamed(m_attributes, this, std::move(attribute));
}

void NSXMLElement::removeAttributeForName(const QString &name)
{
    const auto found = std::find_if(m_attributes.begin(), m_attributes.end(),
                                    [&name](const auto &node) { return node->name() == name; });
    if (found == m_attributes.end())
        return;
    (*found)->m_parent = nullptr;
    m_attributes.erase(found);
}

NSXMLNode *NSXMLElement::attributeForName(const QString &name) const
{
    for (const auto &node : m_attributes) {
        if (node->name() == name)
            return node.get();
    }
    return nullptr;
}

void NSXMLElement::reserveAttributes(qsizetype attributeCount)
{
    m_attributes.reserve(size_t(std::max<qsizetype>(0, attributeCount)));
}

void NSXMLElement::reserveNamespaces(qsizetype namespaceCount)
{
    m_namespaces.reserve(size_t(std::max<qsizetype>(0, namespaceCount)));
}

void NSXMLElement::addNamespace(std::shared_ptr<NSXMLNode> aNamespace)
{
    if (!aNamespace || aNamespace->kind() != NSXMLNodeKind::Namespace || aNamespace->parent() != nullptr)
        return;
    addNamed(m_namespaces, this, std::move(aNamespace));
}

void NSXMLElement::removeNamespaceForPrefix(const QString &prefix)
{
    const auto found = std::find_if(m_namespaces.begin(), m_namespaces.end(),
                                    [&prefix](const auto &node) { return node->name() == prefix; });
    if (found == m_namespaces.end())
        return;
    (*found)->m_parent = nullptr;
    m_namespaces.erase(found);
}

NSXMLNode *NSXMLElement::namespaceForPrefix(const QString &prefix) const
{
    for (const auto &node : m_namespaces) {
        if (node->name() == prefix)
            return node.get();
    }
    return nullptr;
}

QString NSXMLElement::resolveNamespaceForPrefix(const QString &prefix) const
{
    for (const NSXMLElement *element = this; element != nullptr; element = element->parent()) {
        if (const NSXMLNode *declared = element->namespaceForPrefix(prefix))
            return declared->stringValue();
    }
    return QString();
}

NSXMLNode *NSXMLElement::childAtIndex(qsizetype index) const
{
    if (index < 0 || index >= childCount())
        return nullptr;
    return m_children[size_t(index)].get();
}

void NSXMLElement::addChild(std::shared_ptr<NSXMLNode> child)
{
    insertChild(std::move(child), childCount());
}

void NSXMLElement::insertChild(std::shared_ptr<NSXMLNode> child, qsizetype index)
{
    if (!child || (child->kind() != NSXMLNodeKind::Element && child->kind() != NSXMLNodeKind::Text))
        return;
    for (const NSXMLElement *ancestor = this; ancestor != nullptr; ancestor = ancestor->parent()) {
        if (ancestor == child.get())
            return; // an element cannot hold itself
    }
    adopt(*child);
    index = std::clamp<qsizetype>(index, 0, childCount());
    m_children.insert(m_children.begin() + index, std::move(child));
}

void NSXMLElement::removeChildAtIndex(qsizetype index)
{
    if (index < 0 || index >= childCount())
        return;
    m_children[size_t(index)]->m_parent = nullptr;
    m_children.erase(m_children.begin() + index);
}

std::vector<std::shared_ptr<NSXMLElement>> NSXMLElement::elementsForName(const QString &name) const
{
    std::vector<std::shared_ptr<NSXMLElement>> found;
    for (const auto &child : m_children) {
        if (child->kind() == NSXMLNodeKind::Element && child->name() == name)
            found.push_back(std::static_pointer_cast<NSXMLElement>(child));
    }
    return found;
}

std::vector<std::shared_ptr<NSXMLElement>> NSXMLElement::elementsForLocalName(const QString &localName,
                                                                              const QString &uri) const
{
    std::vector<std::shared_ptr<NSXMLElement>> found;
    for (const auto &child : m_children) {
        if (child->kind() != NSXMLNodeKind::Element || child->localName() != localName)
            continue;
        auto element = std::static_pointer_cast<NSXMLElement>(child);
        if (element->URI() == uri)
            found.push_back(std::move(element));
    }
    return found;
}

QString NSXMLElement::stringValue() const
{
    QString text(QLatin1String("")); // an element without text has the empty text, not none
    std::vector<const NSXMLNode *> pending{this};
    while (!pending.empty()) {
        const NSXMLNode *const node = pending.back();
        pending.pop_back();
        if (node->kind() == NSXMLNodeKind::Text) {
            text += node->stringValue();
            continue;
        }
        const auto &children = static_cast<const NSXMLElement *>(node)->m_children;
        for (auto child = children.rbegin(); child != children.rend(); ++child)
            pending.push_back(child->get());
    }
    return text;
}

void NSXMLElement::setStringValue(const QString &stringValue)
{
    while (!m_children.empty())
        removeChildAtIndex(childCount() - 1);
    if (!stringValue.isEmpty())
        addChild(NSXMLNode::textWithStringValue(stringValue));
}

std::shared_ptr<NSXMLNode> NSXMLElement::copy() const
{
    return copyElement();
}

std::shared_ptr<NSXMLElement> NSXMLElement::copyElement() const
{
    auto copied = elementWithName(name());
    for (const auto &node : m_namespaces)
        copied->addNamespace(node->copy());
    for (const auto &node : m_attributes)
        copied->addAttribute(node->copy());
    for (const auto &child : m_children)
        copied->addChild(child->copy());
    return copied;
}

void NSXMLElement::writeStartTag(QString &out) const
{
    out += QLatin1Char('<');
    out += name();
    for (const auto &node : m_namespaces) {
        out += QLatin1Char(' ');
        node->writeXML(out, NSXMLNodeOptionsNone, 0);
    }
    for (const auto &node : m_attributes) {
        out += QLatin1Char(' ');
        node->writeXML(out, NSXMLNodeOptionsNone, 0);
    }
}

void NSXMLElement::writeXML(QString &out, unsigned options, int level) const
{
    writeStartTag(out);
    if (m_children.empty()) {
        out += (options & NSXMLNodeCompactEmptyElement) ? QStringLiteral("/>") : QStringLiteral("></") + name() + QLatin1Char('>');
        return;
    }
    out += QLatin1Char('>');
    writeChildren(out, options, level);
    out += QLatin1String("</");
    out += name();
    out += QLatin1Char('>');
}

void NSXMLElement::writeChildren(QString &out, unsigned options, int level) const
{
    const bool hasElementChild = std::any_of(m_children.begin(), m_children.end(), [](const auto &child) {
        return child->kind() == NSXMLNodeKind::Element;
    });
    if (!(options & NSXMLNodePrettyPrint) || !hasElementChild) {
        for (const auto &child : m_children)
            child->writeXML(out, options, level + 1);
        return;
    }
    // Pretty printing puts each child on a line of its own; texts of white space alone are layout.
    for (const auto &child : m_children) {
        if (child->kind() == NSXMLNodeKind::Text && isWhiteSpaceOnly(child->stringValue()))
            continue;
        out += QLatin1Char('\n');
        out += QString(kIndentSpaces * (level + 1), QLatin1Char(' '));
        child->writeXML(out, options, level + 1);
    }
    out += QLatin1Char('\n');
    out += QString(kIndentSpaces * level, QLatin1Char(' '));
}

} // namespace platform
