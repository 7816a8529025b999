// Feeds arbitrary bytes to the XML dictionary parser with the default options and with every other
// option set. A parse must end cleanly (sanitizers watch memory), and every dictionary it gives must
// read back through the readers and be written out as XML.
#include "google/XMLDictionaryParser.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

// Walks the whole result: every node through the readers, so a malformed shape would show.
void walk(const QVariant &value, int depth)
{
    if (depth > XMLDictionaryParser::kMaxDepth + 2)
        std::abort();
    if (value.typeId() == QMetaType::QVariantList) {
        for (const QVariant &element : value.toList())
            walk(element, depth + 1);
        return;
    }
    if (value.typeId() != QMetaType::QVariantMap)
        return;
    const QVariantMap node = value.toMap();
    (void)xmldictionary::attributes(node);
    (void)xmldictionary::innerText(node);
    (void)xmldictionary::comments(node);
    if (const std::optional<QVariantMap> children = xmldictionary::childNodes(node)) {
        for (const QVariant &child : *children)
            walk(child, depth + 1);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), qsizetype(size));
    XMLDictionaryParser plain;
    if (const std::optional<QVariantMap> root = plain.dictionaryWithData(input)) {
        walk(*root, 0);
        (void)xmldictionary::XMLString(*root);
    }
    XMLDictionaryParser changed;
    changed.setAlwaysUseArrays(true);
    changed.setPreserveComments(true);
    changed.setWrapRootNode(true);
    changed.setCollapseTextNodes(false);
    changed.setStripEmptyNodes(false);
    changed.setTrimWhiteSpace(false);
    changed.setAttributesMode(qint64(size % 4));
    changed.setNodeNameMode(qint64(size % 3));
    if (const std::optional<QVariantMap> root = changed.dictionaryWithData(input))
        walk(*root, 0);
    return 0;
}
