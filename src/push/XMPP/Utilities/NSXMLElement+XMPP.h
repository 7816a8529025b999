#pragma once

#include "platform/foundation/NSXMLElement.h"

#include <QString>
#include <QVariant>
#include <QVariantMap>

#include <memory>
#include <vector>

// Helpers the XMPP classes use on any element. A missing attribute reads as a null text. Same thread
// rules as the element.

// A new element with the name and, when the URI is not null, that default namespace.
std::shared_ptr<platform::NSXMLElement> elementWithName(const QString &name, const QString &xmlns);

// The child elements whose default namespace (their own "xmlns") is the URI, in order.
std::vector<std::shared_ptr<platform::NSXMLElement>> elementsForXmlns(const platform::NSXMLElement &element,
                                                                      const QString &ns);
// The first child element with the qualified name, or null.
std::shared_ptr<platform::NSXMLElement> elementForName(const platform::NSXMLElement &element, const QString &name);
// The first child element with the local name in the namespace URI, or null.
std::shared_ptr<platform::NSXMLElement> elementForName(const platform::NSXMLElement &element, const QString &name,
                                                       const QString &xmlns);

// The URI of the element's own default namespace node, or a null text.
QString xmlns(const platform::NSXMLElement &element);
void setXmlns(platform::NSXMLElement &element, const QString &ns);

QString prettyXMLString(const platform::NSXMLNode &node);
QString compactXMLString(const platform::NSXMLNode &node);

void addAttributeWithName(platform::NSXMLElement &element, const QString &name, const QString &string);
QString attributeStringValueForName(const platform::NSXMLElement &element, const QString &name);
QString attributeStringValueForName(const platform::NSXMLElement &element, const QString &name,
                                    const QString &defaultValue);
QVariantMap attributesAsDictionary(const platform::NSXMLElement &element);

void addNamespaceWithPrefix(platform::NSXMLElement &element, const QString &prefix, const QString &string);
QString namespaceStringValueForPrefix(const platform::NSXMLElement &element, const QString &prefix);
QString namespaceStringValueForPrefix(const platform::NSXMLElement &element, const QString &prefix,
                                      const QString &defaultValue);

// Attribute readings. The plain text readings (int, bool, float, double) read as the platform reads
// numeric text: leading blanks, an optional sign, as much as fits, 0 when nothing does; bool is true
// when the first non-blank character after a sign and zeros is Y, y, T, t or a digit 1 to 9. The
// fixed-width readings store what the matching parseStringInto... function stores (the clamped value
// on overflow, 0 for a missing attribute). A default is used only when the attribute is missing.
int attributeIntValueForName(const platform::NSXMLElement &element, const QString &name);
int attributeIntValueForName(const platform::NSXMLElement &element, const QString &name, int defaultValue);
bool attributeBoolValueForName(const platform::NSXMLElement &element, const QString &name);
bool attributeBoolValueForName(const platform::NSXMLElement &element, const QString &name, bool defaultValue);
float attributeFloatValueForName(const platform::NSXMLElement &element, const QString &name);
float attributeFloatValueForName(const platform::NSXMLElement &element, const QString &name, float defaultValue);
double attributeDoubleValueForName(const platform::NSXMLElement &element, const QString &name);
double attributeDoubleValueForName(const platform::NSXMLElement &element, const QString &name, double defaultValue);
qint32 attributeInt32ValueForName(const platform::NSXMLElement &element, const QString &name);
quint32 attributeUInt32ValueForName(const platform::NSXMLElement &element, const QString &name);
qint64 attributeInt64ValueForName(const platform::NSXMLElement &element, const QString &name);
quint64 attributeUInt64ValueForName(const platform::NSXMLElement &element, const QString &name);
qint64 attributeIntegerValueForName(const platform::NSXMLElement &element, const QString &name);
quint64 attributeUnsignedIntegerValueForName(const platform::NSXMLElement &element, const QString &name);

// The same readings as numbers (QVariant of the reading's own type).
QVariant attributeNumberIntValueForName(const platform::NSXMLElement &element, const QString &name);
QVariant attributeNumberIntValueForName(const platform::NSXMLElement &element, const QString &name, int defaultValue);
QVariant attributeNumberBoolValueForName(const platform::NSXMLElement &element, const QString &name);
QVariant attributeNumberBoolValueForName(const platform::NSXMLElement &element, const QString &name,
                                         bool defaultValue);
QVariant attributeNumberFloatValueForName(const platform::NSXMLElement &element, const QString &name);
QVariant attributeNumberDoubleValueForName(const platform::NSXMLElement &element, const QString &name);
QVariant attributeNumberInt32ValueForName(const platform::NSXMLElement &element, const QString &name);
QVariant attributeNumberUInt32ValueForName(const platform::NSXMLElement &element, const QString &name);
QVariant attributeNumberInt64ValueForName(const platform::NSXMLElement &element, const QString &name);
QVariant attributeNumberUInt64ValueForName(const platform::NSXMLElement &element, const QString &name);
QVariant attributeNumberIntegerValueForName(const platform::NSXMLElement &element, const QString &name);
QVariant attributeNumberUnsignedIntegerValueForName(const platform::NSXMLElement &element, const QString &name);

// The element's text (stringValue) read the same ways; the fixed-width forms give 0 whenever the
// reading fails (overflow included).
int stringValueAsInt(const platform::NSXMLElement &element);
bool stringValueAsBool(const platform::NSXMLElement &element);
float stringValueAsFloat(const platform::NSXMLElement &element);
double stringValueAsDouble(const platform::NSXMLElement &element);
qint32 stringValueAsInt32(const platform::NSXMLElement &element);
quint32 stringValueAsUInt32(const platform::NSXMLElement &element);
qint64 stringValueAsInt64(const platform::NSXMLElement &element);
quint64 stringValueAsUInt64(const platform::NSXMLElement &element);
qint64 stringValueAsNSInteger(const platform::NSXMLElement &element);
quint64 stringValueAsNSUInteger(const platform::NSXMLElement &element);

// The platform's reading of a real from text, as for the attributes above: a null text reads 0.
double doubleValueOfText(const QString &text);
