#include "platform/foundation/NSXMLNode.h"

#include "platform/foundation/NSXMLElement.h"
#include "platform/foundation/NSXMLNodeArena.h"

namespace platform {

namespace {

// NSXMLNode's constructor is for the factories and NSXMLElement only.
struct MadeNode final : NSXMLNode
{
    MadeNode(NSXMLNodeKind kind, QString name, QString value) : NSXMLNode(kind, std::move(name), std::move(value)) {}
};

constexpr QChar kReplacementCharacter(0xFFFD);

// Room asked of an arena for a text node: the node and its shared pointer's counts.
constexpr std::size_t kPlacedTextBytes = sizeof(MadeNode) + 32;

// Whether XML 1.0 can carry the code point at all (escaped or not).
bool isXmlCharacter(char32_t codePoint)
{
    if (codePoint < 0x20)
        return codePoint == 0x9 || codePoint == 0xA || codePoint == 0xD;
    if (codePoint >= 0xD800 && codePoint <= 0xDFFF)
        return false;
    return codePoint != 0xFFFE && codePoint != 0xFFFF;
}

// Appends the text with each character passed through the escape function, which answers the
// replacement for a character or null to keep it. Lone surrogates and characters XML cannot carry
// become U+FFFD.
template <typename Escape>
void appendEscaped(QString &out, const QString &text, Escape escape)
{
    out.reserve(out.size() + text.size());
    const qsizetype length = text.size();
    for (qsizetype index = 0; index < length; ++index) {
        const QChar character = text.at(index);
        if (character.isHighSurrogate() && index + 1 < length && text.at(index + 1).isLowSurrogate()) {
            out += character;
            out += text.at(++index);
            continue;
        }
        if (!isXmlCharacter(character.unicode())) {
            out += kReplacementCharacter;
            continue;
        }
        if (const char *replacement = escape(character.unicode()))
            out += QLatin1String(replacement);
        else
            out += character;
    }
}

// The replacement of a character of text content; null to keep it.
const char *textEscape(char16_t character)
{
    switch (character) {
    case '&': return "&amp;";
    case '<': return "&lt;";
    case '>': return "&gt;";
    // A raw carriage return would be read back as a line feed.
    case '\r': return "&#xD;";
    default: return nullptr;
    }
}

// The replacement of a character of an attribute value: those of text, the quote and raw white space.
const char *attributeValueEscape(char16_t character)
{
    switch (character) {
    case '"': return "&quot;";
    // Attribute-value normalisation would turn raw white space into plain spaces.
    case '\t': return "&#x9;";
    case '\n': return "&#xA;";
    default: return textEscape(character);
    }
}

} // namespace

void appendEscapedText(QString &out, const QString &text)
{
    appendEscaped(out, text, textEscape);
}

void appendEscapedAttributeValue(QString &out, const QString &value)
{
    appendEscaped(out, value, attributeValueEscape);
}

NSXMLNode::NSXMLNode(NSXMLNodeKind kind, QString name, QString value)
    : m_kind(kind), m_name(std::move(name)), m_value(std::move(value))
{
}

NSXMLNode::~NSXMLNode() = default;

std::shared_ptr<NSXMLNode> NSXMLNode::attributeWithName(QString name, QString stringValue)
{
    return std::make_shared<MadeNode>(NSXMLNodeKind::Attribute, std::move(name), std::move(stringValue));
}

std::shared_ptr<NSXMLNode> NSXMLNode::namespaceWithName(QString prefix, QString stringValue)
{
    return std::make_shared<MadeNode>(NSXMLNodeKind::Namespace, std::move(prefix), std::move(stringValue));
}

std::shared_ptr<NSXMLNode> NSXMLNode::textWithStringValue(QString stringValue)
{
    return std::make_shared<MadeNode>(NSXMLNodeKind::Text, QString(), std::move(stringValue));
}

std::shared_ptr<NSXMLNode> NSXMLNode::textWithUTF8(QByteArray utf8)
{
    auto text = std::make_shared<MadeNode>(NSXMLNodeKind::Text, QString(), QString());
    text->m_utf8 = utf8.isNull() ? QByteArray("") : std::move(utf8);
    return text;
}

std::shared_ptr<NSXMLNode> NSXMLNode::textWithStringValue(QString stringValue, NSXMLNodeArena &arena)
{
    return std::allocate_shared<MadeNode>(NodeArenaAllocator<MadeNode>(arena.blockFor(kPlacedTextBytes)),
                                          NSXMLNodeKind::Text, QString(), std::move(stringValue));
}

std::shared_ptr<NSXMLNode> NSXMLNode::textWithUTF8(QByteArray utf8, NSXMLNodeArena &arena)
{
    auto text = std::allocate_shared<MadeNode>(NodeArenaAllocator<MadeNode>(arena.blockFor(kPlacedTextBytes)),
                                               NSXMLNodeKind::Text, QString(), QString());
    text->m_utf8 = utf8.isNull() ? QByteArray("") : std::move(utf8);
    return text;
}

QString NSXMLNode::localName() const
{
    const qsizetype colon = m_name.indexOf(QLatin1Char(':'));
    return colon < 0 ? m_name : m_name.mid(colon + 1);
}

QString NSXMLNode::prefix() const
{
    const qsizetype colon = m_name.indexOf(QLatin1Char(':'));
    return colon < 0 ? QString() : m_name.left(colon);
}

QString NSXMLNode::stringValue() const
{
    return m_utf8.isNull() ? m_value : QString::fromUtf8(m_utf8);
}

void NSXMLNode::setStringValue(const QString &stringValue)
{
    m_value = stringValue;
    m_utf8 = QByteArray();
}

void NSXMLNode::detach()
{
    if (m_parent == nullptr)
        return;
    // The parent's reference is held until this returns: the node outlives its own removal, and goes
    // only when nobody else holds it.
    const std::shared_ptr<NSXMLNode> parentsReference = m_parent->takeNode(*this);
    if (!parentsReference)
        m_parent = nullptr; // not in the parent's lists: only the link goes
}

std::shared_ptr<NSXMLNode> NSXMLNode::copy() const
{
    auto copied = std::make_shared<MadeNode>(m_kind, m_name, m_value);
    copied->m_utf8 = m_utf8;
    return copied;
}

QString NSXMLNode::XMLStringWithOptions(unsigned options) const
{
    QString out;
    writeXML(out, options, 0);
    return out;
}

void appendAttributeOrNamespace(QString &out, NSXMLNodeKind kind, const QString &name, const QString &value)
{
    if (kind == NSXMLNodeKind::Namespace) {
        out += QLatin1String("xmlns");
        if (!name.isEmpty()) {
            out += QLatin1Char(':');
            out += name;
        }
    } else {
        out += name;
    }
    out += QLatin1String("=\"");
    appendEscapedAttributeValue(out, value);
    out += QLatin1Char('"');
}

void NSXMLNode::writeXML(QString &out, unsigned, int) const
{
    if (m_kind == NSXMLNodeKind::Text)
        appendEscapedText(out, stringValue());
    else
        appendAttributeOrNamespace(out, m_kind, m_name, m_value);
}

} // namespace platform
