#pragma once

#include "platform/foundation/NSXMLElement.h"

#include <QByteArray>
#include <QHash>
#include <QString>

#include <memory>
#include <string>

typedef struct _xmlNode xmlNode;
typedef struct _xmlNs xmlNs;
typedef unsigned char xmlChar;

// Turns the libxml2 elements the stream parser builds into element trees. An element's name is
// "prefix:name" when its namespace has a prefix; it carries a namespace node for each namespace it
// defines (the empty prefix for the default one), its attributes named the same way, and its texts
// and child elements in order. Names, prefixes and namespace URIs repeat from stanza to stanza, so
// their texts are kept and shared (a bounded cache). Used on the parser queue only.
class XMPPTreeConversion final
{
public:
    // The element with its namespaces and attributes, without children.
    std::shared_ptr<platform::NSXMLElement> convertShallow(const xmlNode *node);
    // The element and all its descendants, walked without recursion.
    std::shared_ptr<platform::NSXMLElement> convertTree(const xmlNode *root);

private:
    // The text of a name, URI or prefix ("prefix:name" when a prefix is given).
    QString sharedText(const xmlChar *prefix, const xmlChar *name);

    static constexpr qsizetype kMaxCachedTexts = 4096;
    QHash<QByteArray, QString> m_texts;
    std::string m_key;
};
