#include "platform/foundation/NSXMLElement.h"

#include "platform/foundation/NSXMLNodeArena.h"
#include "platform/foundation/XmlChunk.h"

#include <libxml/parser.h>
#include <libxml/parserInternals.h>

#include <algorithm>
#include <array>
#include <cstdint>
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
    element->reserveAttributesAndNamespaces(namespaceCount + attributeCount);
    for (int index = 0; index < namespaceCount; ++index)
        element->addNamespaceWithPrefix(textOf(namespaces[2 * index]), textOf(namespaces[2 * index + 1]));
    for (int index = 0; index < attributeCount; ++index) {
        const xmlChar *const *attribute = attributes + 5 * index;
        QByteArray value(reinterpret_cast<const char *>(attribute[3]), attribute[4] - attribute[3]);
        // Without entity substitution libxml2 hands an "&" in a value on as "&#38;", and only so.
        value.replace("&#38;", "&");
        element->addAttributeWithName(qualifiedName(attribute[1], attribute[0]), QString::fromUtf8(value));
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

std::shared_ptr<NSXMLElement> NSXMLElement::elementWithName(QString name, NSXMLNodeArena &arena)
{
    // Room for the element and its shared pointer's counts.
    NSXMLNodeArena::Block *const block = arena.blockFor(sizeof(NSXMLElement) + 32);
    return std::allocate_shared<NSXMLElement>(NodeArenaAllocator<NSXMLElement>(block), PrivateTag(), std::move(name));
}

std::shared_ptr<NSXMLElement> NSXMLElement::elementWithName(const QString &name, const QString &stringValue)
{
    auto element = elementWithName(name);
    element->setStringValue(stringValue);
    return element;
}

Result<std::shared_ptr<NSXMLElement>> NSXMLElement::elementWithXMLString(const QString &xmlString)
{
    const QByteArray utf8 = xmlString.toUtf8();
    if (utf8.size() > std::numeric_limits<int>::max())
        return Error(ErrorCode::DataMalformed, QStringLiteral("XML text of %1 bytes is too long").arg(utf8.size()));
    xmlSAXHandler handler{};
    TreeBuilder::installCallbacks(handler);
    std::unique_ptr<xmlParserCtxt, ParserContextDeleter> context(
        createXmlPushParser(handler, nullptr, XML_PARSE_NONET | XML_PARSE_IGNORE_ENC));
    if (!context)
        return Error(ErrorCode::DataOther, QStringLiteral("could not create an XML parser"));
    TreeBuilder builder(context.get());
    context->userData = &builder;
    const int result = parseXmlChunk(context.get(), utf8.constData(), int(utf8.size()), true);
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
    for (const Named &named : m_named) {
        if (named.node)
            named.node->m_parent = nullptr;
    }
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
    ChildNodes pending = std::move(m_children);
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
    std::shared_ptr<NSXMLNode> taken;
    if (node.kind() == NSXMLNodeKind::Attribute || node.kind() == NSXMLNodeKind::Namespace) {
        const auto found = std::find_if(m_named.begin(), m_named.end(),
                                        [&node](const Named &named) { return named.node.get() == &node; });
        if (found == m_named.end())
            return nullptr;
        taken = std::move(found->node);
        found->madeNode.store(nullptr, std::memory_order_relaxed);
        m_named.erase(found);
    } else {
        const auto found = std::find_if(m_children.begin(), m_children.end(),
                                        [&node](const auto &held) { return held.get() == &node; });
        if (found == m_children.end())
            return nullptr;
        taken = std::move(*found);
        m_children.erase(found);
    }
    taken->m_parent = nullptr;
    return taken;
}

NSXMLElement::Named::Named(NSXMLNodeKind kind, QString name, QString value, std::shared_ptr<NSXMLNode> node)
    : kind(kind), name(std::move(name)), value(std::move(value)), node(std::move(node)), madeNode(this->node.get())
{
}

NSXMLElement::Named::Named(Named &&other) noexcept
    : kind(other.kind), name(std::move(other.name)), value(std::move(other.value)), node(std::move(other.node)),
      madeNode(node.get())
{
    other.madeNode.store(nullptr, std::memory_order_relaxed);
}

NSXMLElement::Named &NSXMLElement::Named::operator=(Named &&other) noexcept
{
    kind = other.kind;
    name = std::move(other.name);
    value = std::move(other.value);
    node = std::move(other.node);
    madeNode.store(node.get(), std::memory_order_relaxed);
    other.madeNode.store(nullptr, std::memory_order_relaxed);
    return *this;
}

NSXMLElement::Named *NSXMLElement::findNamed(NSXMLNodeKind kind, const QString &name) const
{
    for (Named &named : m_named) {
        if (named.kind == kind && named.nameOf() == name)
            return &named;
    }
    return nullptr;
}

const QString *NSXMLElement::namedValue(NSXMLNodeKind kind, const QString &name) const
{
    const Named *const named = findNamed(kind, name);
    return named == nullptr ? nullptr : &named->valueOf();
}

// Makes the node of an attribute or namespace declaration the first time one is asked for. Threads
// that only read a tree may ask at once: one makes the node under a lock (one of a few, by element),
// the others see it published.
NSXMLNode *NSXMLElement::nodeOf(Named &named) const
{
    if (NSXMLNode *const made = named.madeNode.load(std::memory_order_acquire))
        return made;
    static std::array<std::mutex, 16> locks;
    const std::lock_guard lock(locks[(reinterpret_cast<std::uintptr_t>(this) >> 6) % locks.size()]);
    if (NSXMLNode *const made = named.madeNode.load(std::memory_order_relaxed))
        return made;
    named.node = named.kind == NSXMLNodeKind::Attribute ? NSXMLNode::attributeWithName(named.name, named.value)
                                                        : NSXMLNode::namespaceWithName(named.name, named.value);
    named.node->m_parent = const_cast<NSXMLElement *>(this);
    named.madeNode.store(named.node.get(), std::memory_order_release);
    return named.node.get();
}

NSXMLElement::Nodes NSXMLElement::namedNodes(NSXMLNodeKind kind) const
{
    Nodes nodes;
    for (Named &named : m_named) {
        if (named.kind == kind) {
            nodeOf(named);
            nodes.push_back(named.node);
        }
    }
    return nodes;
}

NSXMLNode *NSXMLElement::namedNode(NSXMLNodeKind kind, const QString &name) const
{
    Named *const named = findNamed(kind, name);
    return named == nullptr ? nullptr : nodeOf(*named);
}

// Adds a node of the kind that belongs to no element, or gives its value to the one of its name.
void NSXMLElement::addNamedNode(NSXMLNodeKind kind, std::shared_ptr<NSXMLNode> node)
{
    if (!node || node->kind() != kind || node->parent() != nullptr)
        return;
    if (Named *const existing = findNamed(node->kind(), node->name())) {
        if (existing->node)
            existing->node->setStringValue(node->stringValue());
        else
            existing->value = node->stringValue();
        return;
    }
    adopt(*node);
    m_named.emplace_back(kind, QString(), QString(), std::move(node));
}

void NSXMLElement::addNamedValue(NSXMLNodeKind kind, QString name, QString value)
{
    if (Named *const existing = findNamed(kind, name)) {
        if (existing->node)
            existing->node->setStringValue(value);
        else
            existing->value = std::move(value);
        return;
    }
    m_named.emplace_back(kind, std::move(name), std::move(value), nullptr);
}

void NSXMLElement::removeNamed(NSXMLNodeKind kind, const QString &name)
{
    const auto found = std::find_if(m_named.begin(), m_named.end(), [kind, &name](const Named &named) {
        return named.kind == kind && named.nameOf() == name;
    });
    if (found == m_named.end())
        return;
    if (found->node)
        found->node->m_parent = nullptr;
    m_named.erase(found);
}

void NSXMLElement::addAttribute(std::shared_ptr<NSXMLNode> attribute)
{
    addNamedNode(NSXMLNodeKind::Attribute, std::move(attribute));
}

void NSXMLElement::addAttributeWithName(QString name, QString stringValue)
{
    addNamedValue(NSXMLNodeKind::Attribute, std::move(name), std::move(stringValue));
}

void NSXMLElement::addNewAttributeWithName(QString name, QString stringValue)
{
    m_named.emplace_back(NSXMLNodeKind::Attribute, std::move(name), std::move(stringValue), nullptr);
}

void NSXMLElement::removeAttributeForName(const QString &name)
{
    removeNamed(NSXMLNodeKind::Attribute, name);
}

NSXMLNode *NSXMLElement::attributeForName(const QString &name) const
{
    return namedNode(NSXMLNodeKind::Attribute, name);
}

void NSXMLElement::reserveAttributesAndNamespaces(qsizetype count)
{
    if (count > 0)
        m_named.reserve(m_named.size() + size_t(count));
}

namespace {

// Grows the list by the count into the arena. A list is placed once at most: its placement remembers
// one block to give its items back to.
template <typename List>
void reserveInArena(List &list, NodeListPlacement &placement, qsizetype count, NSXMLNodeArena &arena)
{
    if (count <= 0)
        return;
    const size_t wanted = list.size() + size_t(count);
    if (placement.block == nullptr)
        placement.offered = arena.blockFor(wanted * sizeof(typename List::value_type));
    list.reserve(wanted);
    placement.offered = nullptr;
}

} // namespace

void NSXMLElement::reserveAttributesAndNamespaces(qsizetype count, NSXMLNodeArena &arena)
{
    reserveInArena(m_named, m_namedPlacement, count, arena);
}

void NSXMLElement::reserveChildren(qsizetype count, NSXMLNodeArena &arena)
{
    reserveInArena(m_children, m_childrenPlacement, count, arena);
}

void NSXMLElement::addNamespace(std::shared_ptr<NSXMLNode> aNamespace)
{
    addNamedNode(NSXMLNodeKind::Namespace, std::move(aNamespace));
}

void NSXMLElement::addNamespaceWithPrefix(QString prefix, QString uri)
{
    addNamedValue(NSXMLNodeKind::Namespace, std::move(prefix), std::move(uri));
}

void NSXMLElement::addNewNamespaceWithPrefix(QString prefix, QString uri)
{
    m_named.emplace_back(NSXMLNodeKind::Namespace, std::move(prefix), std::move(uri), nullptr);
}

void NSXMLElement::removeNamespaceForPrefix(const QString &prefix)
{
    removeNamed(NSXMLNodeKind::Namespace, prefix);
}

NSXMLNode *NSXMLElement::namespaceForPrefix(const QString &prefix) const
{
    return namedNode(NSXMLNodeKind::Namespace, prefix);
}

QString NSXMLElement::resolveNamespaceForPrefix(const QString &prefix) const
{
    for (const NSXMLElement *element = this; element != nullptr; element = element->parent()) {
        if (const QString *const declared = element->namespaceValueForPrefix(prefix))
            return *declared;
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

void NSXMLElement::addChildren(Nodes &children, NSXMLNodeArena &arena)
{
    reserveChildren(qsizetype(children.size()), arena);
    for (auto &child : children) {
        // An element of no element has no ancestor but itself, so a node of no element, as a builder
        // makes them, needs neither taking from a parent nor looking for up the tree.
        const bool isNew = child && child->m_parent == nullptr && m_parent == nullptr && child.get() != this &&
                           (child->kind() == NSXMLNodeKind::Element || child->kind() == NSXMLNodeKind::Text);
        if (!isNew) {
            addChild(std::move(child));
            continue;
        }
        child->m_parent = this;
        m_children.push_back(std::move(child));
    }
}

void NSXMLElement::insertChild(std::shared_ptr<NSXMLNode> child, qsizetype index)
{
    if (!child || (child->kind() != NSXMLNodeKind::Element && child->kind() != NSXMLNodeKind::Text))
        return;
    // An element cannot hold itself. Only an element with children can be an ancestor, so a text or an
    // empty element, as a builder adds them, is not looked for up the tree.
    const bool mayBeAncestor = child->kind() == NSXMLNodeKind::Element &&
                               !static_cast<const NSXMLElement &>(*child).m_children.empty();
    for (const NSXMLElement *ancestor = this; ancestor != nullptr; ancestor = mayBeAncestor ? ancestor->parent() : nullptr) {
        if (ancestor == child.get())
            return;
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
    copied->m_named.reserve(m_named.size());
    for (const Named &named : m_named)
        copied->m_named.emplace_back(named.kind, named.nameOf(), named.valueOf(), nullptr);
    for (const auto &child : m_children)
        copied->addChild(child->copy());
    return copied;
}

void NSXMLElement::writeStartTag(QString &out) const
{
    out += QLatin1Char('<');
    out += name();
    // Namespace declarations first, then attributes, each in the order added.
    for (const NSXMLNodeKind kind : {NSXMLNodeKind::Namespace, NSXMLNodeKind::Attribute}) {
        for (const Named &named : m_named) {
            if (named.kind != kind)
                continue;
            out += QLatin1Char(' ');
            appendAttributeOrNamespace(out, kind, named.nameOf(), named.valueOf());
        }
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
