#include "push/XMPP/Core/XMPPTreeConversion.h"

#include <libxml/xmlstring.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string_view>
#include <utility>
#include <vector>

using platform::NSXMLElement;
using platform::NSXMLNode;

namespace {

const xmlChar kXmlPrefix[] = "xml";

QString emptyText()
{
    return QString(QLatin1String(""));
}

// An attribute value's UTF-8 bytes. libxml2 hands an "&" in a value on as "&#38;" (and nothing
// else undecoded) when it does not substitute entities; the buffer is used only for such a value.
std::string_view decodedAttributeValue(const xmlChar *begin, const xmlChar *end, std::string &buffer)
{
    const std::string_view value(reinterpret_cast<const char *>(begin), size_t(end - begin));
    if (value.find("&#38;") == std::string_view::npos)
        return value;
    buffer.assign(value);
    for (size_t found = buffer.find("&#38;"); found != std::string::npos; found = buffer.find("&#38;", found + 1))
        buffer.replace(found, 5, 1, '&');
    return buffer;
}

// The texts of names, prefixes and namespace URIs, kept for the whole life of the process and handed
// out as texts over that memory: copying or letting go of such a text counts no references, and a
// stanza copies and lets go of a score of them. Every parser of the process shares them (a new
// connection finds the names already there), and they are bounded: past kMaxCharacters, a name is an
// ordinary text of its own.
class PermanentTexts final
{
public:
    static PermanentTexts &shared()
    {
        // Never destroyed: stanzas holding these texts may be let go after static destruction began.
        static PermanentTexts *const texts = new PermanentTexts;
        return *texts;
    }

    QString textOf(const QByteArray &utf8)
    {
        const std::lock_guard lock(m_mutex);
        if (const auto found = m_texts.constFind(utf8); found != m_texts.constEnd())
            return found.value();
        QString text = QString::fromUtf8(utf8);
        // The empty text takes no room: it is handed out as made.
        if (text.isEmpty() || m_characters + text.size() > kMaxCharacters)
            return text;
        m_storage.push_back(std::make_unique<QChar[]>(size_t(text.size())));
        std::copy(text.cbegin(), text.cend(), m_storage.back().get());
        m_characters += text.size();
        text = QString::fromRawData(m_storage.back().get(), text.size());
        m_texts.insert(utf8, text);
        return text;
    }

private:
    static constexpr qsizetype kMaxCharacters = 64 * 1024;
    std::mutex m_mutex;
    QHash<QByteArray, QString> m_texts;
    std::vector<std::unique_ptr<QChar[]>> m_storage;
    qsizetype m_characters = 0;
};

} // namespace

QString XMPPTreeConversion::sharedText(const xmlChar *prefix, const xmlChar *name)
{
    if (name == nullptr)
        return emptyText();
    const auto address = [](const xmlChar *text) { return reinterpret_cast<std::uintptr_t>(text); };
    // Fibonacci hashing of both addresses: dictionary strings lie close together, so the high bits
    // of the product spread them where the low bits of the addresses would not.
    const std::uint64_t mixed = std::uint64_t(address(name)) * 0x9E3779B97F4A7C15ULL ^
                                std::uint64_t(address(prefix)) * 0xC2B2AE3D27D4EB4FULL;
    AddressEntry &entry = m_byAddress[size_t(mixed >> 56) % kAddressSlots];
    if (entry.name != name || entry.prefix != prefix)
        entry = AddressEntry{prefix, name, sharedTextByContent(prefix, name)};
    return entry.text;
}

QString XMPPTreeConversion::sharedTextByContent(const xmlChar *prefix, const xmlChar *name)
{
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
    QByteArray ownKey(m_key.data(), qsizetype(m_key.size()));
    const QString text = PermanentTexts::shared().textOf(ownKey);
    m_texts.insert(std::move(ownKey), text);
    return text;
}

// Values and texts are made anew each time: ids and texts are one-off, and looking repeated values up
// in a table to share their texts cost more (in cache misses and reference counting) than it saved.
// They share buffers instead of being an allocation each (see XMPPSharedValueBuffers).
template <typename Char>
void XMPPSharedValueBuffers<Char>::retire()
{
    if (m_buffer == nullptr)
        return;
    const int unused = kHeldReferences - m_made;
    if (m_buffer->ref_.fetchAndAddOrdered(-unused) == unused)
        QTypedArrayData<Char>::deallocate(m_buffer);
    m_buffer = nullptr;
}

template <typename Char>
Char *XMPPSharedValueBuffers<Char>::room(qsizetype length)
{
    if (length + 1 > m_bufferLength / 10)
        return nullptr;
    if (m_buffer == nullptr || m_room < length + 1) {
        retire();
        const auto [buffer, characters] = QTypedArrayData<Char>::allocate(m_bufferLength);
        if (buffer == nullptr)
            return nullptr;
        buffer->ref_.storeRelaxed(kHeldReferences);
        m_buffer = buffer;
        m_next = characters;
        m_room = m_bufferLength;
        m_made = 0;
    }
    return m_next;
}

template <typename Char>
QArrayDataPointer<Char> XMPPSharedValueBuffers<Char>::take(Char *start, qsizetype length)
{
    start[length] = Char(0);
    m_next = start + length + 1;
    m_room -= length + 1;
    ++m_made;
    // The value takes one of the references the buffer holds for it.
    return QArrayDataPointer<Char>(m_buffer, start, length);
}

template class XMPPSharedValueBuffers<char16_t>;
template class XMPPSharedValueBuffers<char>;

QString XMPPValuePool::text(std::string_view utf8)
{
    // UTF-16 takes at most one unit for each UTF-8 byte.
    char16_t *const start = utf8.empty() ? nullptr : m_texts.room(qsizetype(utf8.size()));
    if (start == nullptr)
        return QString::fromUtf8(utf8.data(), qsizetype(utf8.size()));
    const QChar *const end = m_decoder.appendToBuffer(reinterpret_cast<QChar *>(start),
                                                      QByteArrayView(utf8.data(), qsizetype(utf8.size())));
    return QString(m_texts.take(start, qsizetype(reinterpret_cast<const char16_t *>(end) - start)));
}

QByteArray XMPPValuePool::bytes(std::string_view utf8)
{
    char *const start = utf8.empty() ? nullptr : m_bytes.room(qsizetype(utf8.size()));
    if (start == nullptr)
        return QByteArray(utf8.data(), qsizetype(utf8.size()));
    std::memcpy(start, utf8.data(), utf8.size());
    return QByteArray(m_bytes.take(start, qsizetype(utf8.size())));
}

bool XMPPTreeConversion::isDeclared(const xmlChar *prefix) const
{
    return std::find(m_declaredPrefixes.rbegin(), m_declaredPrefixes.rend(), prefix) != m_declaredPrefixes.rend();
}

void XMPPTreeConversion::declare(NSXMLElement &element, const xmlChar *prefix, const xmlChar *uri)
{
    // libxml2 refuses a start tag declaring a prefix twice, and the others are looked for first.
    element.addNewNamespaceWithPrefix(prefix == nullptr ? emptyText() : sharedText(nullptr, prefix),
                                      sharedText(nullptr, uri));
    m_declaredPrefixes.push_back(prefix);
}

void XMPPTreeConversion::declareIfMissing(NSXMLElement &element, const xmlChar *prefix, const xmlChar *uri)
{
    if (uri == nullptr || (prefix != nullptr && xmlStrEqual(prefix, kXmlPrefix) != 0))
        return;
    if (!isDeclared(prefix))
        declare(element, prefix, uri);
}

void XMPPTreeConversion::addNamespaces(NSXMLElement &element, const xmlChar *prefix, const xmlChar *uri,
                                       int namespaceCount, const xmlChar **namespaces)
{
    for (int index = 0; index < namespaceCount; ++index) {
        if (namespaces[2 * index + 1] != nullptr)
            declare(element, namespaces[2 * index], namespaces[2 * index + 1]);
    }
    declareIfMissing(element, prefix, uri);
}

void XMPPTreeConversion::addAttributes(NSXMLElement &element, int attributeCount, const xmlChar **attributes)
{
    for (int index = 0; index < attributeCount; ++index) {
        const xmlChar *const *attribute = attributes + 5 * index;
        const xmlChar *const prefix = attribute[1];
        const xmlChar *const uri = attribute[2];
        if (prefix != nullptr)
            declareIfMissing(element, prefix, uri);
        // libxml2 refuses a start tag naming an attribute twice (prefix and local name), so no
        // attribute of this name is there yet.
        element.addNewAttributeWithName(
            sharedText(prefix, attribute[0]),
            valueText(decodedAttributeValue(attribute[3], attribute[4], m_attributeValue)));
    }
}

void XMPPTreeConversion::openElement(const xmlChar *localName, const xmlChar *prefix, const xmlChar *uri,
                                     int namespaceCount, const xmlChar **namespaces, int attributeCount,
                                     const xmlChar **attributes)
{
    flushText();
    // A prefix no namespace is bound to is dropped from the name, as libxml2 reports it unbound.
    auto element = NSXMLElement::elementWithName(sharedText(uri != nullptr ? prefix : nullptr, localName), m_arena);
    // The declared namespaces, possibly the element's own, and the attributes share one list; an
    // element with none of them most often needs none (its parent declares its namespace).
    if (namespaceCount + attributeCount > 0)
        element->reserveAttributesAndNamespaces(namespaceCount + 1 + attributeCount, m_arena);
    m_scopeStarts.push_back(m_declaredPrefixes.size());
    addNamespaces(*element, prefix, uri, namespaceCount, namespaces);
    addAttributes(*element, attributeCount, attributes);
    // A stanza carries its own copy of what the root declares, so the root's declarations leave the
    // scope once the root is open.
    if (m_open.empty())
        m_declaredPrefixes.clear();
    m_open.push_back(element.get());
    if (m_children.size() < m_open.size())
        m_children.resize(m_open.size());
    // A stanza stands alone; deeper elements join their parent when it closes.
    if (m_open.size() == 1)
        m_root = std::move(element);
    else if (m_open.size() == 2)
        m_stanza = std::move(element);
    else
        m_children[m_open.size() - 2].push_back(std::move(element));
}

void XMPPTreeConversion::addText(const xmlChar *text, int length)
{
    m_text.append(reinterpret_cast<const char *>(text), size_t(length));
    m_hasText = true;
}

void XMPPTreeConversion::flushText()
{
    if (!m_hasText)
        return;
    if (!m_open.empty())
        m_children[m_open.size() - 1].push_back(
            m_text.size() > kMaxConvertedTextBytes
                ? NSXMLNode::textWithUTF8(m_values.bytes(m_text), m_arena)
                : NSXMLNode::textWithStringValue(valueText(m_text), m_arena));
    m_text.clear();
    m_hasText = false;
}

std::shared_ptr<NSXMLElement> XMPPTreeConversion::closeElement()
{
    if (m_open.empty())
        return nullptr;
    flushText();
    NSXMLElement *const element = m_open.back();
    m_open.pop_back();
    m_declaredPrefixes.resize(m_scopeStarts.back());
    m_scopeStarts.pop_back();
    // The children join the element now that their number is known: their list is placed once.
    auto &children = m_children[m_open.size()];
    element->addChildren(children, m_arena);
    // A list that held a very long run of children gives its room back rather than keep it.
    if (children.capacity() > kKeptChildRoom)
        children = {};
    children.clear();
    if (m_open.empty())
        return m_root;
    return m_open.size() == 1 ? std::move(m_stanza) : nullptr;
}
