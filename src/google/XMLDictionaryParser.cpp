#include "google/XMLDictionaryParser.h"

#include <QFile>
#include <QFileInfo>

#include "platform/foundation/XmlChunk.h"

#include <libxml/parser.h>
#include <libxml/xmlerror.h>

#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

namespace {

const QString kNameKey = QStringLiteral("__name");
const QString kTextKey = QStringLiteral("__text");
const QString kCommentsKey = QStringLiteral("__comments");
const QString kAttributesKey = QStringLiteral("__attributes");

struct XNode;

// A value while the tree is built: a text, a node, a list of values, or the "__attributes" map.
struct XValue
{
    enum class Kind { Text, Node, List, Map };
    Kind kind = Kind::Text;
    QString text;
    std::shared_ptr<XNode> node;
    std::vector<XValue> list;
    QVariantMap map;

    static XValue ofText(QString text) { return XValue{Kind::Text, std::move(text), {}, {}, {}}; }
    static XValue ofNode(std::shared_ptr<XNode> node) { return XValue{Kind::Node, {}, std::move(node), {}, {}}; }
    QVariant toVariant() const;
};

// A node keeps its entries in the order they came; a feed's entry has a score of keys, so a linear
// search is the quickest.
struct XNode
{
    std::vector<std::pair<QString, XValue>> entries;

    XValue *find(const QString &key)
    {
        for (auto &entry : entries) {
            if (entry.first == key)
                return &entry.second;
        }
        return nullptr;
    }
    void set(const QString &key, XValue value)
    {
        if (XValue *found = find(key))
            *found = std::move(value);
        else
            entries.emplace_back(key, std::move(value));
    }
    void remove(const QString &key)
    {
        for (auto it = entries.begin(); it != entries.end(); ++it) {
            if (it->first == key) {
                entries.erase(it);
                return;
            }
        }
    }
    bool hasAttributes() const;
    bool hasChildNodes() const;
    bool hasComments() const { return std::any_of(entries.begin(), entries.end(), [](const auto &entry) { return entry.first == kCommentsKey; }); }
    // The inner text ("__text", a list joined with line feeds); a null text when there is none.
    QString innerText() const;
    QVariantMap toMap() const;
};

bool isReservedKey(const QString &key)
{
    return key == kNameKey || key == kTextKey || key == kCommentsKey;
}

bool XNode::hasAttributes() const
{
    for (const auto &[key, value] : entries) {
        if (key == kAttributesKey)
            return !value.map.isEmpty();
    }
    return std::any_of(entries.begin(), entries.end(), [](const auto &entry) {
        return entry.first.startsWith(QLatin1Char('_')) && !isReservedKey(entry.first);
    });
}

bool XNode::hasChildNodes() const
{
    return std::any_of(entries.begin(), entries.end(), [](const auto &entry) {
        return !entry.first.startsWith(QLatin1Char('_'));
    });
}

QString XNode::innerText() const
{
    for (const auto &[key, value] : entries) {
        if (key != kTextKey)
            continue;
        if (value.kind == XValue::Kind::Text)
            return value.text;
        QStringList texts;
        for (const XValue &piece : value.list)
            texts << piece.text;
        return texts.join(QLatin1Char('\n'));
    }
    return {};
}

QVariant XValue::toVariant() const
{
    switch (kind) {
    case Kind::Text:
        return text;
    case Kind::Node:
        return node->toMap();
    case Kind::Map:
        return map;
    case Kind::List: {
        QVariantList values;
        values.reserve(qsizetype(list.size()));
        for (const XValue &value : list)
            values << value.toVariant();
        return values;
    }
    }
    return {};
}

QVariantMap XNode::toMap() const
{
    QVariantMap map;
    for (const auto &[key, value] : entries)
        map.insert(key, value.toVariant());
    return map;
}

} // namespace

namespace {

// libxml2's first SAX interface driven over a buffer, with the refusals of an untrusted document.
class UntrustedParse final
{
public:
    explicit UntrustedParse(xmldictionary::XMLEvents &events) : m_events(events) {}

    xmldictionary::XMLOutcome run(const QByteArray &data, QString &error);

private:
    static UntrustedParse &of(void *context)
    {
        return *static_cast<UntrustedParse *>(static_cast<xmlParserCtxtPtr>(context)->_private);
    }
    static void onStart(void *context, const xmlChar *name, const xmlChar **attributes)
    {
        of(context).startElement(name, attributes);
    }
    static void onEnd(void *context, const xmlChar *)
    {
        UntrustedParse &parse = of(context);
        if (!parse.m_refused && parse.m_depth > 0) {
            --parse.m_depth;
            parse.m_events.endElement();
        }
    }
    static void onCharacters(void *context, const xmlChar *bytes, int length)
    {
        if (!of(context).m_refused)
            of(context).m_events.characters(reinterpret_cast<const char *>(bytes), length);
    }
    static void onComment(void *context, const xmlChar *text)
    {
        if (!of(context).m_refused)
            of(context).m_events.comment(reinterpret_cast<const char *>(text));
    }
    static void onDeclaration(void *context, const xmlChar *, const xmlChar *, const xmlChar *)
    {
        of(context).refuse(QStringLiteral("a document type declaration is not accepted"));
    }
    static void onEntity(void *context, const xmlChar *, int, const xmlChar *, const xmlChar *, xmlChar *)
    {
        of(context).refuse(QStringLiteral("an entity declaration is not accepted"));
    }
    static void onInstruction(void *, const xmlChar *, const xmlChar *) {}
    // libxml2 keeps the error in its context; nothing is printed.
    static void quiet(void *, const char *, ...) {}

    void startElement(const xmlChar *name, const xmlChar **attributes);
    void refuse(const QString &reason);

    xmldictionary::XMLEvents &m_events;
    xmlParserCtxtPtr m_context = nullptr;
    int m_depth = 0;
    bool m_refused = false;
    QString m_refusal;
};

xmldictionary::XMLOutcome UntrustedParse::run(const QByteArray &data, QString &error)
{
    static std::once_flag initialised;
    std::call_once(initialised, [] { xmlInitParser(); });
    xmlSAXHandler handler{};
    handler.initialized = 1; // the first interface: qualified names as written, namespaces not processed
    handler.startElement = onStart;
    handler.endElement = onEnd;
    handler.characters = onCharacters;
    handler.ignorableWhitespace = onCharacters;
    handler.cdataBlock = onCharacters;
    handler.comment = onComment;
    handler.internalSubset = onDeclaration;
    handler.externalSubset = onDeclaration;
    handler.entityDecl = onEntity;
    handler.processingInstruction = onInstruction;
    handler.warning = quiet;
    handler.error = quiet;
    handler.fatalError = quiet;
    m_context = xmlCreatePushParserCtxt(&handler, nullptr, nullptr, 0, nullptr);
    if (m_context == nullptr) {
        error = QStringLiteral("out of memory");
        return xmldictionary::XMLOutcome::Broken;
    }
    m_context->_private = this;
    xmlCtxtUseOptions(m_context, XML_PARSE_NONET);
    const int status = platform::parseXmlChunk(m_context, data.constData(), int(data.size()), true);
    const xmlError *const failure = xmlCtxtGetLastError(m_context);
    if (status != 0 && failure != nullptr && failure->message != nullptr)
        error = QString::fromUtf8(failure->message).trimmed();
    else if (status != 0)
        error = QStringLiteral("the document is not well-formed");
    xmlFreeParserCtxt(m_context);
    m_context = nullptr;
    if (m_refused) {
        error = m_refusal;
        return xmldictionary::XMLOutcome::Refused;
    }
    return status == 0 ? xmldictionary::XMLOutcome::Read : xmldictionary::XMLOutcome::Broken;
}

void UntrustedParse::startElement(const xmlChar *name, const xmlChar **attributes)
{
    if (m_refused)
        return;
    if (m_depth >= XMLDictionaryParser::kMaxDepth) {
        refuse(QStringLiteral("the document nests deeper than %1 elements").arg(XMLDictionaryParser::kMaxDepth));
        return;
    }
    ++m_depth;
    static const char *const none[] = {nullptr};
    m_events.startElement(reinterpret_cast<const char *>(name),
                          attributes != nullptr ? reinterpret_cast<const char *const *>(attributes) : none);
}

void UntrustedParse::refuse(const QString &reason)
{
    if (!m_refused) {
        m_refused = true;
        m_refusal = reason;
    }
    xmlStopParser(m_context);
}

} // namespace

// The events of a parse turned into the tree, as the class comment describes.
class XMLDictionaryBuilder final : public xmldictionary::XMLEvents
{
public:
    explicit XMLDictionaryBuilder(const XMLDictionaryParser &options) : m_options(options) {}

    // Parses the whole buffer; the root, or nothing with the reason in error.
    std::optional<QVariantMap> parse(const QByteArray &data, QString &error);

    void startElement(const char *name, const char *const *attributes) override;
    void endElement() override;
    void characters(const char *bytes, int length) override { m_text.append(bytes, length); }
    void comment(const char *text) override;

private:
    struct Frame
    {
        std::shared_ptr<XNode> node;
        QString name;
    };

    void addAttributes(XNode &node, const char *const *attributes) const;
    void attach(const std::shared_ptr<XNode> &node, const QString &name);
    void simplify(const Frame &frame);
    void finishText();

    const XMLDictionaryParser &m_options;
    std::shared_ptr<XNode> m_root;
    std::vector<Frame> m_stack;
    QByteArray m_text;
};

std::optional<QVariantMap> XMLDictionaryBuilder::parse(const QByteArray &data, QString &error)
{
    if (xmldictionary::parseUntrusted(data, *this, error) == xmldictionary::XMLOutcome::Refused)
        return std::nullopt;
    if (!m_root)
        return std::nullopt;
    return m_root->toMap();
}

void XMLDictionaryBuilder::startElement(const char *rawName, const char *const *attributes)
{
    finishText();
    const QString name = QString::fromUtf8(rawName);
    auto node = std::make_shared<XNode>();
    if (m_options.m_nodeNameMode == 1 || (m_options.m_nodeNameMode == 0 && !m_root))
        node->set(kNameKey, XValue::ofText(name));
    if (attributes[0] != nullptr)
        addAttributes(*node, attributes);
    if (m_root) {
        attach(node, name);
        return;
    }
    if (m_options.m_wrapRootNode) {
        m_root = std::make_shared<XNode>();
        m_root->set(name, XValue::ofNode(node));
        m_stack.push_back({m_root, QString()});
    } else {
        m_root = node;
    }
    m_stack.push_back({node, name});
}

void XMLDictionaryBuilder::addAttributes(XNode &node, const char *const *attributes) const
{
    QVariantMap all;
    for (const char *const *pair = attributes; pair[0] != nullptr; pair += 2) {
        const QString key = QString::fromUtf8(pair[0]);
        const QString value = xmldictionary::attributeText(pair[1]);
        if (m_options.m_attributesMode == 2)
            node.set(key, XValue::ofText(value));
        else if (m_options.m_attributesMode == 0)
            node.set(QLatin1Char('_') + key, XValue::ofText(value));
        else
            all.insert(key, value);
    }
    if (m_options.m_attributesMode == 1)
        node.set(kAttributesKey, XValue{XValue::Kind::Map, {}, {}, {}, all});
}

void XMLDictionaryBuilder::attach(const std::shared_ptr<XNode> &node, const QString &name)
{
    XNode &parent = *m_stack.back().node;
    if (XValue *existing = parent.find(name)) {
        if (existing->kind != XValue::Kind::List) {
            XValue list{XValue::Kind::List, {}, {}, {}, {}};
            list.list.push_back(std::move(*existing));
            *existing = std::move(list);
        }
        existing->list.push_back(XValue::ofNode(node));
    } else if (m_options.m_alwaysUseArrays) {
        XValue list{XValue::Kind::List, {}, {}, {}, {}};
        list.list.push_back(XValue::ofNode(node));
        parent.set(name, std::move(list));
    } else {
        parent.set(name, XValue::ofNode(node));
    }
    m_stack.push_back({node, name});
}

void XMLDictionaryBuilder::endElement()
{
    if (m_stack.empty())
        return;
    finishText();
    const Frame frame = m_stack.back();
    m_stack.pop_back();
    if (!frame.node->hasAttributes() && !frame.node->hasChildNodes() && !frame.node->hasComments())
        simplify(frame);
}

// An element with only text becomes that text in its parent; an empty one goes (by the options).
void XMLDictionaryBuilder::simplify(const Frame &frame)
{
    if (m_stack.empty() || frame.name.isEmpty())
        return;
    XValue *entry = m_stack.back().node->find(frame.name);
    if (entry == nullptr)
        return;
    XValue *slot = entry->kind == XValue::Kind::List ? (entry->list.empty() ? nullptr : &entry->list.back()) : entry;
    if (slot == nullptr || slot->node != frame.node)
        return;
    const QString text = frame.node->innerText();
    if (!text.isNull() && m_options.m_collapseTextNodes) {
        *slot = XValue::ofText(text);
    } else if (text.isNull() && m_options.m_stripEmptyNodes) {
        if (entry->kind == XValue::Kind::List)
            entry->list.pop_back();
        else
            m_stack.back().node->remove(frame.name);
    } else if (text.isNull() && !m_options.m_collapseTextNodes) {
        frame.node->set(kTextKey, XValue::ofText(QString(QLatin1String(""))));
    }
}

void XMLDictionaryBuilder::comment(const char *text)
{
    if (!m_options.m_preserveComments || m_stack.empty())
        return;
    XNode &node = *m_stack.back().node;
    XValue *comments = node.find(kCommentsKey);
    if (comments == nullptr) {
        node.set(kCommentsKey, XValue{XValue::Kind::List, {}, {}, {}, {}});
        comments = node.find(kCommentsKey);
    }
    comments->list.push_back(XValue::ofText(QString::fromUtf8(text)));
}

void XMLDictionaryBuilder::finishText()
{
    if (m_text.isEmpty())
        return;
    QString text = QString::fromUtf8(m_text);
    m_text.clear();
    if (m_options.m_trimWhiteSpace)
        text = text.trimmed();
    if (text.isEmpty() || m_stack.empty())
        return;
    XNode &node = *m_stack.back().node;
    XValue *existing = node.find(kTextKey);
    if (existing == nullptr) {
        node.set(kTextKey, XValue::ofText(text));
        return;
    }
    if (existing->kind != XValue::Kind::List) {
        XValue list{XValue::Kind::List, {}, {}, {}, {}};
        list.list.push_back(std::move(*existing));
        *existing = std::move(list);
    }
    existing->list.push_back(XValue::ofText(text));
}

// ---- The parser ---------------------------------------------------------------------------------

const XMLDictionaryParser &XMLDictionaryParser::sharedInstance()
{
    static const XMLDictionaryParser shared;
    return shared;
}

std::optional<QVariantMap> XMLDictionaryParser::dictionaryWithData(const QByteArray &data)
{
    m_lastError.clear();
    if (data.isEmpty()) {
        m_lastError = QStringLiteral("the document is empty");
        return std::nullopt;
    }
    if (data.size() > m_maxInputBytes) {
        m_lastError = QStringLiteral("the document is larger than %1 bytes").arg(m_maxInputBytes);
        return std::nullopt;
    }
    XMLDictionaryBuilder builder(*this);
    return builder.parse(data, m_lastError);
}

std::optional<QVariantMap> XMLDictionaryParser::dictionaryWithString(const QString &text)
{
    return dictionaryWithData(text.toUtf8());
}

std::optional<QVariantMap> XMLDictionaryParser::dictionaryWithFile(const QString &path)
{
    m_lastError.clear();
    QFile file(path);
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly)) {
        m_lastError = QStringLiteral("%1 is no readable regular file").arg(path);
        return std::nullopt;
    }
    const QByteArray data = file.read(m_maxInputBytes + 1);
    return dictionaryWithData(data);
}

xmldictionary::XMLOutcome xmldictionary::parseUntrusted(const QByteArray &data, XMLEvents &events, QString &error)
{
    UntrustedParse parse(events);
    return parse.run(data, error);
}

QString xmldictionary::attributeText(const char *value)
{
    if (value == nullptr)
        return QString(QLatin1String(""));
    QString text = QString::fromUtf8(value);
    // Most values hold no reference: they are passed over without a search of the decoded text.
    if (std::strstr(value, "&#38;") != nullptr)
        text.replace(QLatin1String("&#38;"), QLatin1String("&"));
    return text;
}

QString XMLDictionaryParser::XMLStringForNode(const QVariant &node, const QString &nodeName)
{
    using namespace xmldictionary;
    if (node.typeId() == QMetaType::QVariantList) {
        QStringList nodes;
        for (const QVariant &value : node.toList())
            nodes << XMLStringForNode(value, nodeName);
        return nodes.join(QLatin1Char('\n'));
    }
    if (node.typeId() == QMetaType::QVariantMap) {
        const QVariantMap map = node.toMap();
        QString attributeText;
        if (const std::optional<QVariantMap> found = attributes(map)) {
            for (auto it = found->cbegin(); it != found->cend(); ++it)
                attributeText += QStringLiteral(" %1=\"%2\"").arg(XMLEncodedString(it.key()),
                                                                  XMLEncodedString(it.value().toString()));
        }
        const QString inner = innerXML(map);
        if (!inner.isEmpty())
            return QStringLiteral("<%1%2>%3</%1>").arg(nodeName, attributeText, inner);
        return QStringLiteral("<%1%2/>").arg(nodeName, attributeText);
    }
    return QStringLiteral("<%1>%2</%1>").arg(nodeName, XMLEncodedString(node.toString()));
}
