#pragma once

#include <QByteArray>
#include <QString>
#include <QVariant>
#include <QVariantMap>

#include <memory>
#include <optional>

// Turns an XML document into nested dictionaries, lists and texts, the form in which the Google
// Contacts replies are read. Per element, a dictionary (a "node") holds:
//   "__name"        the element's name (the document element only, or every node: nodeNameMode);
//   "_" + name      each attribute (attributesMode 0; 1 puts them all under "__attributes", 2 under
//                   their own names);
//   "__text"        the element's own text, or a list of texts when child elements break it;
//   "__comments"    comment texts (preserveComments);
//   child name      the child's node, or its text when it collapsed, or a list when the name repeats.
// Names are as written in the document, prefix included ("gd:email"): namespaces are not processed.
//
// The input is untrusted: no document type declaration, no entity but the five predefined ones, no
// network; documents deeper than kMaxDepth or larger than maxInputBytes are refused whole. A document
// that breaks off gives the tree built up to the break. One parse at a time per parser.
class XMLDictionaryParser final
{
public:
    static constexpr int kMaxDepth = 256;
    static constexpr qsizetype kDefaultMaxInputBytes = 32 * 1024 * 1024;

    XMLDictionaryParser() = default;

    // One parser made on first use and kept for the process; the class operations parse with copies.
    static const XMLDictionaryParser &sharedInstance();

    bool collapseTextNodes() const { return m_collapseTextNodes; }
    void setCollapseTextNodes(bool value) { m_collapseTextNodes = value; }
    bool stripEmptyNodes() const { return m_stripEmptyNodes; }
    void setStripEmptyNodes(bool value) { m_stripEmptyNodes = value; }
    bool trimWhiteSpace() const { return m_trimWhiteSpace; }
    void setTrimWhiteSpace(bool value) { m_trimWhiteSpace = value; }
    bool alwaysUseArrays() const { return m_alwaysUseArrays; }
    void setAlwaysUseArrays(bool value) { m_alwaysUseArrays = value; }
    bool preserveComments() const { return m_preserveComments; }
    void setPreserveComments(bool value) { m_preserveComments = value; }
    bool wrapRootNode() const { return m_wrapRootNode; }
    void setWrapRootNode(bool value) { m_wrapRootNode = value; }
    qint64 attributesMode() const { return m_attributesMode; }
    void setAttributesMode(qint64 value) { m_attributesMode = value; }
    qint64 nodeNameMode() const { return m_nodeNameMode; }
    void setNodeNameMode(qint64 value) { m_nodeNameMode = value; }
    qsizetype maxInputBytes() const { return m_maxInputBytes; }
    void setMaxInputBytes(qsizetype value) { m_maxInputBytes = value; }

    // The root dictionary; nothing when no element was read or the document was refused.
    std::optional<QVariantMap> dictionaryWithData(const QByteArray &data);
    std::optional<QVariantMap> dictionaryWithString(const QString &text);
    // A regular file only, read up to maxInputBytes.
    std::optional<QVariantMap> dictionaryWithFile(const QString &path);
    // Why the last parse gave nothing or stopped early; empty when it read the whole document.
    QString lastError() const { return m_lastError; }

    // The node (dictionary, list or other value) as XML text under the name.
    static QString XMLStringForNode(const QVariant &node, const QString &nodeName);

private:
    friend class XMLDictionaryBuilder;

    bool m_collapseTextNodes = true;
    bool m_stripEmptyNodes = true;
    bool m_trimWhiteSpace = true;
    bool m_alwaysUseArrays = false;
    bool m_preserveComments = false;
    bool m_wrapRootNode = false;
    qint64 m_attributesMode = 0;
    qint64 m_nodeNameMode = 0;
    qsizetype m_maxInputBytes = kDefaultMaxInputBytes;
    QString m_lastError;
};

// Readers and the writer of a dictionary in that form.
namespace xmldictionary {

// The events of a parse of an untrusted document as libxml2 hands them: names as written (prefix
// included), texts in UTF-8 pieces, attributes as name and value pairs ending with a null name.
class XMLEvents
{
public:
    virtual ~XMLEvents() = default;
    virtual void startElement(const char *name, const char *const *attributes) = 0;
    virtual void endElement() = 0;
    virtual void characters(const char *bytes, int length) = 0;
    virtual void comment(const char *) {}
};

enum class XMLOutcome { Read, Broken, Refused };

// Parses the whole buffer into the events under the rules of the parser (no document type
// declaration, no entity but the five predefined ones, no network, at most kMaxDepth elements
// deep); no event follows a refusal. Read when the document is well formed, Broken when it is not
// (the events stop at the fault), Refused by those rules; why in error. The caller caps the size.
XMLOutcome parseUntrusted(const QByteArray &data, XMLEvents &events, QString &error);
// An attribute's value as text: without entity substitution libxml2 hands an "&" on as "&#38;".
QString attributeText(const char *value);

// Parse with a copy of the shared parser.
std::optional<QVariantMap> dictionaryWithXMLData(const QByteArray &data);
std::optional<QVariantMap> dictionaryWithXMLString(const QString &text);
std::optional<QVariantMap> dictionaryWithXMLFile(const QString &path);

// "__attributes" when present and not empty; else every "_" key but "__name", "__text" and
// "__comments", its first "_" removed; nothing when there is none.
std::optional<QVariantMap> attributes(const QVariantMap &node);
// Every key but "__attributes", "__comments", "__name", "__text" and those beginning with "_".
std::optional<QVariantMap> childNodes(const QVariantMap &node);
QVariantList comments(const QVariantMap &node);
QString nodeName(const QVariantMap &node);
// "__text"; a list of texts joined with a line feed; a null text when there is none.
QString innerText(const QVariantMap &node);
QString innerXML(const QVariantMap &node);
QString XMLString(const QVariantMap &node);

// Key paths are dot-separated keys ("feed.entry").
QVariant valueForKeyPath(const QVariantMap &node, const QString &keyPath);
// A single value wrapped in a list of one; nothing stays nothing.
std::optional<QVariantList> arrayValueForKeyPath(const QVariantMap &node, const QString &keyPath);
// Of a list its first element; of a dictionary its innerText.
QString stringValueForKeyPath(const QVariantMap &node, const QString &keyPath);
// Of a list its first element; a text becomes {"__text": text}.
std::optional<QVariantMap> dictionaryValueForKeyPath(const QVariantMap &node, const QString &keyPath);

// "&" then "<", ">", the double quote and "'" replaced by their entity references.
QString XMLEncodedString(const QString &text);

} // namespace xmldictionary
