#include "push/XMPP/Utilities/NSXMLElement+XMPP.h"

#include "platform/foundation/Values.h"
#include "push/XMPP/Utilities/NSNumber+XMPP.h"

#include <charconv>
#include <limits>

using platform::NSXMLElement;
using platform::NSXMLNode;

namespace {

template <typename Value>
using Parser = bool (*)(const QString &, Value *);

// A fixed-width attribute reading: whatever the parse leaves, 0 for a missing attribute.
template <typename Value>
Value parsedAttribute(const NSXMLElement &element, const QString &name, Parser<Value> parse)
{
    Value value = 0;
    parse(attributeStringValueForName(element, name), &value);
    return value;
}

// A fixed-width reading of the element's text: 0 unless the parse succeeds.
template <typename Value>
Value parsedText(const NSXMLElement &element, Parser<Value> parse)
{
    Value value = 0;
    return parse(element.stringValue(), &value) ? value : 0;
}

bool isBlank(QChar character)
{
    return character.isSpace();
}

// The length of the run of ASCII digits at the position.
qsizetype digitRun(const QString &text, qsizetype position)
{
    qsizetype end = position;
    while (end < text.size() && text.at(end) >= QLatin1Char('0') && text.at(end) <= QLatin1Char('9'))
        ++end;
    return end - position;
}

// The longest prefix of a decimal real at the position: digits, a fraction, an exponent.
qsizetype realPrefixLength(const QString &text, qsizetype start)
{
    qsizetype position = start + digitRun(text, start);
    const qsizetype integerDigits = position - start;
    qsizetype fractionDigits = 0;
    if (position < text.size() && text.at(position) == QLatin1Char('.')) {
        fractionDigits = digitRun(text, position + 1);
        if (fractionDigits > 0 || integerDigits > 0)
            position += 1 + fractionDigits;
    }
    if (integerDigits == 0 && fractionDigits == 0)
        return 0;
    if (position < text.size() && (text.at(position) == QLatin1Char('e') || text.at(position) == QLatin1Char('E'))) {
        qsizetype exponent = position + 1;
        if (exponent < text.size() && (text.at(exponent) == QLatin1Char('+') || text.at(exponent) == QLatin1Char('-')))
            ++exponent;
        const qsizetype exponentDigits = digitRun(text, exponent);
        if (exponentDigits > 0)
            position = exponent + exponentDigits;
    }
    return position - start;
}

} // namespace

double doubleValueOfText(const QString &text)
{
    qsizetype position = 0;
    while (position < text.size() && isBlank(text.at(position)))
        ++position;
    bool isNegative = false;
    if (position < text.size() && (text.at(position) == QLatin1Char('+') || text.at(position) == QLatin1Char('-'))) {
        isNegative = text.at(position) == QLatin1Char('-');
        ++position;
    }
    const qsizetype length = realPrefixLength(text, position);
    if (length == 0)
        return 0;
    const QByteArray number = text.mid(position, length).toLatin1();
    double value = 0;
    const auto [end, error] = std::from_chars(number.constData(), number.constData() + number.size(), value);
    if (error == std::errc::result_out_of_range) {
        // Too small to hold reads as 0, too large as infinity.
        const qsizetype exponent = number.indexOf('e') >= 0 ? number.indexOf('e') : number.indexOf('E');
        const bool isTiny = exponent >= 0 && number.at(exponent + 1) == '-';
        value = isTiny ? 0 : std::numeric_limits<double>::infinity();
    }
    return isNegative ? -value : value;
}

std::shared_ptr<NSXMLElement> elementWithName(const QString &name, const QString &xmlns)
{
    auto element = NSXMLElement::elementWithName(name);
    if (!xmlns.isNull())
        setXmlns(*element, xmlns);
    return element;
}

std::vector<std::shared_ptr<NSXMLElement>> elementsForXmlns(const NSXMLElement &element, const QString &ns)
{
    std::vector<std::shared_ptr<NSXMLElement>> found;
    for (const auto &child : element.children()) {
        if (child->kind() != platform::NSXMLNodeKind::Element)
            continue;
        auto childElement = std::static_pointer_cast<NSXMLElement>(child);
        if (xmlns(*childElement) == ns)
            found.push_back(std::move(childElement));
    }
    return found;
}

std::shared_ptr<NSXMLElement> elementForName(const NSXMLElement &element, const QString &name)
{
    for (const auto &child : element.children()) {
        if (child->kind() == platform::NSXMLNodeKind::Element && child->name() == name)
            return std::static_pointer_cast<NSXMLElement>(child);
    }
    return nullptr;
}

std::shared_ptr<NSXMLElement> elementForName(const NSXMLElement &element, const QString &name, const QString &xmlns)
{
    const auto found = element.elementsForLocalName(name, xmlns);
    return found.empty() ? nullptr : found.front();
}

QString xmlns(const NSXMLElement &element)
{
    const QString *const declared = element.namespaceValueForPrefix(QString(QLatin1String("")));
    return declared == nullptr ? QString() : *declared;
}

void setXmlns(NSXMLElement &element, const QString &ns)
{
    element.addNamespaceWithPrefix(QString(QLatin1String("")), ns);
}

QString prettyXMLString(const NSXMLNode &node)
{
    return node.XMLStringWithOptions(platform::NSXMLNodePrettyPrint | platform::NSXMLNodeCompactEmptyElement);
}

QString compactXMLString(const NSXMLNode &node)
{
    return node.XMLStringWithOptions(platform::NSXMLNodeCompactEmptyElement);
}

void addAttributeWithName(NSXMLElement &element, const QString &name, const QString &string)
{
    element.addAttributeWithName(name, string);
}

QString attributeStringValueForName(const NSXMLElement &element, const QString &name)
{
    const QString *const value = element.attributeValueForName(name);
    if (value == nullptr)
        return QString();
    return value->isNull() ? QString(QLatin1String("")) : *value;
}

QString attributeStringValueForName(const NSXMLElement &element, const QString &name, const QString &defaultValue)
{
    return element.attributeValueForName(name) == nullptr ? defaultValue : attributeStringValueForName(element, name);
}

QVariantMap attributesAsDictionary(const NSXMLElement &element)
{
    QVariantMap dictionary;
    for (const auto &attribute : element.attributes())
        dictionary.insert(attribute->name(), attribute->stringValue());
    return dictionary;
}

void addNamespaceWithPrefix(NSXMLElement &element, const QString &prefix, const QString &string)
{
    element.addNamespaceWithPrefix(prefix, string);
}

QString namespaceStringValueForPrefix(const NSXMLElement &element, const QString &prefix)
{
    const QString *const declared =
        element.namespaceValueForPrefix(prefix.isNull() ? QString(QLatin1String("")) : prefix);
    return declared == nullptr ? QString() : *declared;
}

QString namespaceStringValueForPrefix(const NSXMLElement &element, const QString &prefix, const QString &defaultValue)
{
    const QString value = namespaceStringValueForPrefix(element, prefix);
    return value.isNull() ? defaultValue : value;
}

int attributeIntValueForName(const NSXMLElement &element, const QString &name)
{
    return platform::intValueOfText(attributeStringValueForName(element, name));
}

int attributeIntValueForName(const NSXMLElement &element, const QString &name, int defaultValue)
{
    return element.attributeValueForName(name) == nullptr ? defaultValue : attributeIntValueForName(element, name);
}

bool attributeBoolValueForName(const NSXMLElement &element, const QString &name)
{
    return platform::boolValueOfText(attributeStringValueForName(element, name));
}

bool attributeBoolValueForName(const NSXMLElement &element, const QString &name, bool defaultValue)
{
    return element.attributeValueForName(name) == nullptr ? defaultValue : attributeBoolValueForName(element, name);
}

float attributeFloatValueForName(const NSXMLElement &element, const QString &name)
{
    return float(attributeDoubleValueForName(element, name));
}

float attributeFloatValueForName(const NSXMLElement &element, const QString &name, float defaultValue)
{
    return element.attributeValueForName(name) == nullptr ? defaultValue : attributeFloatValueForName(element, name);
}

double attributeDoubleValueForName(const NSXMLElement &element, const QString &name)
{
    return doubleValueOfText(attributeStringValueForName(element, name));
}

double attributeDoubleValueForName(const NSXMLElement &element, const QString &name, double defaultValue)
{
    return element.attributeValueForName(name) == nullptr ? defaultValue : attributeDoubleValueForName(element, name);
}

qint32 attributeInt32ValueForName(const NSXMLElement &element, const QString &name)
{
    return parsedAttribute<qint32>(element, name, parseStringIntoInt32);
}

quint32 attributeUInt32ValueForName(const NSXMLElement &element, const QString &name)
{
    return parsedAttribute<quint32>(element, name, parseStringIntoUInt32);
}

qint64 attributeInt64ValueForName(const NSXMLElement &element, const QString &name)
{
    return parsedAttribute<qint64>(element, name, parseStringIntoInt64);
}

quint64 attributeUInt64ValueForName(const NSXMLElement &element, const QString &name)
{
    return parsedAttribute<quint64>(element, name, parseStringIntoUInt64);
}

qint64 attributeIntegerValueForName(const NSXMLElement &element, const QString &name)
{
    return parsedAttribute<qint64>(element, name, parseStringIntoNSInteger);
}

quint64 attributeUnsignedIntegerValueForName(const NSXMLElement &element, const QString &name)
{
    return parsedAttribute<quint64>(element, name, parseStringIntoNSUInteger);
}

QVariant attributeNumberIntValueForName(const NSXMLElement &element, const QString &name)
{
    return attributeIntValueForName(element, name);
}

QVariant attributeNumberIntValueForName(const NSXMLElement &element, const QString &name, int defaultValue)
{
    return attributeIntValueForName(element, name, defaultValue);
}

QVariant attributeNumberBoolValueForName(const NSXMLElement &element, const QString &name)
{
    return attributeBoolValueForName(element, name);
}

QVariant attributeNumberBoolValueForName(const NSXMLElement &element, const QString &name, bool defaultValue)
{
    return attributeBoolValueForName(element, name, defaultValue);
}

QVariant attributeNumberFloatValueForName(const NSXMLElement &element, const QString &name)
{
    return attributeFloatValueForName(element, name);
}

QVariant attributeNumberDoubleValueForName(const NSXMLElement &element, const QString &name)
{
    return attributeDoubleValueForName(element, name);
}

QVariant attributeNumberInt32ValueForName(const NSXMLElement &element, const QString &name)
{
    return QVariant::fromValue(attributeInt32ValueForName(element, name));
}

QVariant attributeNumberUInt32ValueForName(const NSXMLElement &element, const QString &name)
{
    return QVariant::fromValue(attributeUInt32ValueForName(element, name));
}

QVariant attributeNumberInt64ValueForName(const NSXMLElement &element, const QString &name)
{
    return QVariant::fromValue(attributeInt64ValueForName(element, name));
}

QVariant attributeNumberUInt64ValueForName(const NSXMLElement &element, const QString &name)
{
    return QVariant::fromValue(attributeUInt64ValueForName(element, name));
}

QVariant attributeNumberIntegerValueForName(const NSXMLElement &element, const QString &name)
{
    return QVariant::fromValue(attributeIntegerValueForName(element, name));
}

QVariant attributeNumberUnsignedIntegerValueForName(const NSXMLElement &element, const QString &name)
{
    return QVariant::fromValue(attributeUnsignedIntegerValueForName(element, name));
}

int stringValueAsInt(const NSXMLElement &element)
{
    return platform::intValueOfText(element.stringValue());
}

bool stringValueAsBool(const NSXMLElement &element)
{
    return platform::boolValueOfText(element.stringValue());
}

float stringValueAsFloat(const NSXMLElement &element)
{
    return float(doubleValueOfText(element.stringValue()));
}

double stringValueAsDouble(const NSXMLElement &element)
{
    return doubleValueOfText(element.stringValue());
}

qint32 stringValueAsInt32(const NSXMLElement &element)
{
    return parsedText<qint32>(element, parseStringIntoInt32);
}

quint32 stringValueAsUInt32(const NSXMLElement &element)
{
    return parsedText<quint32>(element, parseStringIntoUInt32);
}

qint64 stringValueAsInt64(const NSXMLElement &element)
{
    return parsedText<qint64>(element, parseStringIntoInt64);
}

quint64 stringValueAsUInt64(const NSXMLElement &element)
{
    return parsedText<quint64>(element, parseStringIntoUInt64);
}

qint64 stringValueAsNSInteger(const NSXMLElement &element)
{
    return parsedText<qint64>(element, parseStringIntoNSInteger);
}

quint64 stringValueAsNSUInteger(const NSXMLElement &element)
{
    return parsedText<quint64>(element, parseStringIntoNSUInteger);
}
